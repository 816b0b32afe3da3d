// Output of hct-sim: the report table, the layout line and diagram, the rewrite outlook, the trace
// split into lines, and a small JSON emitter. Pure functions of the facts a session gathered.
#pragma once

#include "formats.h"

#include "../../report/report.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace hct_sim {

// ---- JSON ----------------------------------------------------------------------------------------
class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;  // keys in insertion order

    Json() = default;  // null
    Json(bool value) : value_(value) {}
    Json(int value) : value_(int64_t(value)) {}
    Json(unsigned value) : value_(int64_t(value)) {}
    Json(long value) : value_(int64_t(value)) {}
    Json(unsigned long value) : value_(int64_t(value)) {}
    Json(long long value) : value_(int64_t(value)) {}
    Json(unsigned long long value) : value_(int64_t(value)) {}
    Json(std::string value) : value_(std::move(value)) {}
    Json(const char *value) : value_(std::string(value)) {}
    static Json MakeArray() { Json j; j.value_ = Array{}; return j; }
    static Json MakeObject() { Json j; j.value_ = Object{}; return j; }

    Json &Push(Json value);                   // on an array
    Json &Set(std::string key, Json value);   // on an object; returns *this
    // Two-space indentation; arrays of plain values stay on one line.
    std::string Dump() const;

private:
    void DumpTo(std::string &out, int depth) const;
    std::variant<std::nullptr_t, bool, int64_t, std::string, Array, Object> value_;
};
std::string JsonQuote(std::string_view text);

// ---- bytes and layout ----------------------------------------------------------------------------
std::string HexPairs(const Bytes &bytes);  // "00 05 fb 30 01"
// "total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20"
std::string LayoutLine(const REPORT_LAYOUT &layout);
Json LayoutJson(const REPORT_LAYOUT &layout);
// A picture of the report bits as the driver numbers them, most significant bit of each byte first.
// `shapes` only adds a remark when the mouse puts a Report ID byte in front of these bits.
std::string LayoutDiagram(const REPORT_LAYOUT &layout, const std::vector<InputReportShape> &shapes = {});
// A field's value read the driver's way (report bit n = bit 7-(n%8) of byte n/8), two's complement.
// Bits past the end of the report read as 0.
int64_t FieldValue(const Bytes &report, uint32_t offset, uint32_t size);

// ---- will the driver ever rewrite this mouse's reports? --------------------------------------------
struct RewriteOutlook {
    bool ever = false;
    std::vector<std::string> reasons;  // why not; empty when ever
    std::vector<std::string> notes;    // cautions that do not stop it
};
RewriteOutlook JudgeRewrite(const REPORT_LAYOUT &layout, const std::vector<InputReportShape> &shapes);
std::string OutlookText(const RewriteOutlook &outlook, const REPORT_LAYOUT &layout,
                        const std::vector<InputReportShape> &shapes);
std::string ShapesText(const std::vector<InputReportShape> &shapes);  // "one 5-byte report" ...
Json LayoutReportJson(const REPORT_LAYOUT &layout, const std::vector<InputReportShape> &shapes,
                      const RewriteOutlook &outlook);

// ---- run -------------------------------------------------------------------------------------------
struct ReportRow {
    Bytes sent;      // as the bus driver put it into the transfer buffer
    Bytes received;  // as the class driver read it when the request completed
    bool delivered = true;
    int64_t time = 0;  // virtual time (100 ns units) the class driver received it
};
struct RunFacts {
    std::string mouse;        // what was plugged: the built-in mouse, a file, a recording
    std::string capture;      // a replayed capture: what was taken from where; empty otherwise
    size_t descriptorBytes = 0;
    std::string probeReply;
    bool featureOn = true;
    std::string controlLink;  // the link the application opened
    uint32_t controlStatus = 0;
    REPORT_LAYOUT layout{};
    bool mouseFound = false;
    bool featureReady = false;
    std::vector<ReportRow> rows;
    std::vector<InputReportShape> shapes;
    std::vector<std::string> violations;  // rules the host layer saw broken
};
size_t RewrittenCount(const std::vector<ReportRow> &rows);
// What the driver did with one report, in words.
std::string RowNote(const ReportRow &row, const REPORT_LAYOUT &layout, bool featureOn);
std::string ReportTable(const RunFacts &facts);
std::string RunText(const RunFacts &facts);  // header, table and summary
Json RunJson(const RunFacts &facts);

// ---- trace -----------------------------------------------------------------------------------------
// The concatenated DbgPrint output cut at every "\n\r"; an empty piece before the first one is
// dropped. Other control characters are shown as \n, \r, \t or \xNN.
std::vector<std::string> TraceLines(std::string_view trace);
std::string Readable(std::string_view text);

}  // namespace hct_sim

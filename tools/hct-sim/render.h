// Output of hct-sim: the report table, the layout line and diagram, the rewrite outlook, the trace
// split into lines, and a small JSON emitter. Pure functions of the facts a session gathered.
#pragma once

#include "formats.h"
#include "warning.h"

#include "../../report/report.h"

#include <cstdint>
#include <iosfwd>
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
    Json &Merge(const Json &other);           // sets every member of the object `other`
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

// ---- what a descriptor is, beyond its layout ------------------------------------------------------
// The class driver asks for the report descriptor with its length + 64 in the 16-bit wLength of
// the request: a descriptor longer than this cannot be asked for whole.
inline constexpr size_t kLongestRequestableDescriptor = 0xFFFF - 64;
struct DescriptorTraits {
    size_t bytes = 0;
    bool mouse = true;  // it declares an application collection of usage Mouse (Generic Desktop 0x02)
    // The largest Report Size and Report Count items with more than one data byte whose value does
    // not fit the first byte (the driver reads only that byte); 0: none.
    uint32_t wideReportSize = 0;
    uint32_t wideReportCount = 0;
    bool Requestable() const { return bytes <= kLongestRequestableDescriptor; }
    const char *Device() const { return mouse ? "mouse" : "device"; }
};
DescriptorTraits DescribeDescriptor(const Bytes &descriptor);
// Every warning about a descriptor: what DescriptorWarnings finds, and a length the class driver
// cannot request.
std::vector<Warning> AllDescriptorWarnings(const Bytes &descriptor);
Json WarningsJson(const std::vector<Warning> &warnings);

// ---- will the driver ever rewrite this device's reports? -------------------------------------------
struct RewriteOutlook {
    bool ever = false;
    std::vector<Warning> reasons;  // why not, each with a stable code; empty when ever
    std::vector<Warning> notes;    // cautions that do not stop it
    std::vector<std::string> missing;  // the kinds the walk did not locate ("X", "AC pan")
    std::string device = "mouse";      // "mouse", or "device" when the descriptor is not a mouse's
};
RewriteOutlook JudgeRewrite(const REPORT_LAYOUT &layout, const std::vector<InputReportShape> &shapes,
                            const DescriptorTraits &traits = {});
std::string OutlookText(const RewriteOutlook &outlook, const REPORT_LAYOUT &layout,
                        const std::vector<InputReportShape> &shapes);
std::string ShapesText(const std::vector<InputReportShape> &shapes);  // "one 5-byte report" ...
Json LayoutReportJson(const REPORT_LAYOUT &layout, const std::vector<InputReportShape> &shapes,
                      const RewriteOutlook &outlook);
// A descriptor the class driver cannot request whole: the sentence that says so, and its fields.
std::string UnrequestableText(const DescriptorTraits &traits);
Json DescriptorJson(const DescriptorTraits &traits);

// How a report's length stands to the input reports the descriptor declares: "" when one of them
// has its length, else the sentence (shorter than all, longer than all, or none of its length).
std::string DeclaredLengthNote(size_t length, const std::vector<InputReportShape> &shapes);
const char *DeclaredLengthCode(size_t length, const std::vector<InputReportShape> &shapes);  // null: declared

// ---- run -------------------------------------------------------------------------------------------
struct ReportRow {
    Bytes sent;      // as the bus driver put it into the transfer buffer
    Bytes received;  // as the class driver read it when the request completed
    bool delivered = true;
    int64_t time = 0;  // virtual time (100 ns units) the class driver received it
    // The read came back failed (the report did not fit the read: data overrun); with its statuses.
    bool failed = false;
    uint32_t status = 0;
    uint32_t usbdStatus = 0;
    uint32_t readLength = 0;  // bytes the class driver's read asked for
    // false: a failed transfer of a replayed capture, which holds none of the bytes the mouse sent.
    bool sentKnown = true;
};

// What the driver did with one report.
enum class RowKind { Rewritten, Unchanged, LayoutIncomplete, WheelNarrow, LengthDiffers, TooLong, Failed, NotDelivered };
const char *RowKindCode(RowKind kind);  // "rewritten", "length-differs", ...
RowKind Classify(const ReportRow &row, const REPORT_LAYOUT &layout);
struct RowCounts {
    size_t total = 0;
    size_t rewritten = 0;
    size_t unchanged = 0;  // examined and left alone
    size_t layoutIncomplete = 0;
    size_t wheelNarrow = 0;
    size_t lengthDiffers = 0;
    size_t tooLong = 0;  // longer than the driver looks at: passed on unexamined
    size_t failed = 0;
    size_t notDelivered = 0;
    void Add(RowKind kind);
};

struct RunFacts {
    std::string mouse;        // what was plugged: the built-in mouse, a file, a recording
    std::string capture;      // a replayed capture: what was taken from where; empty otherwise
    size_t descriptorBytes = 0;
    std::string probeReply;   // the text the bus answers string 200 with, unless probeAnswer
    std::string probeOrigin;  // where probeReply comes from, when that needs saying
    Bytes probeAnswer;        // the captured mouse's own answer to string 200, when the capture holds one
    bool featureOn = true;
    std::string controlLink;  // the link the application opened
    uint32_t controlStatus = 0;
    REPORT_LAYOUT layout{};
    bool mouseFound = false;
    bool featureReady = false;
    std::vector<ReportRow> rows;  // empty when the session streams its rows
    RowCounts counts;             // of every row, kept or streamed (RunText counts `rows` when empty)
    bool changedOnly = false;     // the table lists only the rows the driver changed
    std::vector<InputReportShape> shapes;
    std::vector<std::string> violations;  // rules the host layer saw broken
    std::vector<Warning> warnings;        // about the input, as printed on standard error
};
size_t RewrittenCount(const std::vector<ReportRow> &rows);
// What the driver did with one report, in words.
std::string RowNote(const ReportRow &row, const REPORT_LAYOUT &layout, bool featureOn);

// The report table, a row at a time: the number column as wide as the largest number, a report
// longer than kBytesPerTableLine bytes wrapped onto further lines, its length in the note.
inline constexpr size_t kBytesPerTableLine = 16;
struct TableShape {
    size_t numberWidth = 4;
    size_t bytesPerLine = 0;
    size_t column = 31;
};
TableShape MakeTableShape(size_t rows, size_t widestReport);
std::string ReportTableHeader(const TableShape &shape);
std::string ReportTableRow(size_t number, const ReportRow &row, const REPORT_LAYOUT &layout, bool featureOn,
                           const TableShape &shape);
std::string ReportTable(const RunFacts &facts);
std::string RunHeaderText(const RunFacts &facts);   // up to the table's title
std::string RunSummaryText(const RunFacts &facts);  // from facts.counts
std::string RunText(const RunFacts &facts);  // header, table and summary
Json ReportRowJson(size_t number, const ReportRow &row, const REPORT_LAYOUT &layout, bool featureOn);
Json CountsJson(const RowCounts &counts);
Json RunHeadJson(const RunFacts &facts);  // what comes before "reports"
Json RunTailJson(const RunFacts &facts);  // what comes after, from facts.counts
Json RunJson(const RunFacts &facts);

// One JSON document written as it goes: the head's members, then "reports" one row at a time,
// then further members, and arrays of strings one item at a time.
class JsonStream {
public:
    JsonStream(std::ostream &out, const Json &head);
    void Row(const Json &row);
    void EndReports();
    void Members(const Json &members);  // every member of an object
    void BeginArray(const std::string &key);
    void ArrayItem(const std::string &text);
    void EndArray();
    void End();

private:
    std::ostream &out_;
    size_t rows_ = 0;
    size_t items_ = 0;
};

// ---- trace -----------------------------------------------------------------------------------------
// The concatenated DbgPrint output cut at every "\n\r"; an empty piece before the first one is
// dropped. Other control characters are shown as \n, \r, \t or \xNN.
std::vector<std::string> TraceLines(std::string_view trace);
std::string Readable(std::string_view text);

}  // namespace hct_sim

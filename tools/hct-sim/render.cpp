#include "render.h"

#include "../../sim/usb_limits.h"

#include <ostream>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>

namespace hct_sim {

namespace {

std::string Hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::string Byte2(uint8_t value) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%02x", value);
    return buffer;
}

std::string Signed(int64_t value) { return (value > 0 ? "+" : "") + std::to_string(value); }

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string Join(const std::vector<std::string> &parts, const std::string &separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
    return out;
}

bool LayoutComplete(const REPORT_LAYOUT &l) {
    return l.TotalSize && l.XSize && l.YSize && l.WheelSize && l.AcPanSize;
}

}  // namespace

// ---- JSON ----------------------------------------------------------------------------------------
Json &Json::Push(Json value) {
    std::get<Array>(value_).push_back(std::move(value));
    return *this;
}

Json &Json::Set(std::string key, Json value) {
    std::get<Object>(value_).emplace_back(std::move(key), std::move(value));
    return *this;
}

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                // Bytes outside printable ASCII are kept as code points U+0000..U+00FF, so the text
                // stays valid JSON whatever a device or a trace holds.
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

void Json::DumpTo(std::string &out, int depth) const {
    const std::string indent(size_t(depth + 1) * 2, ' ');
    const std::string close(size_t(depth) * 2, ' ');
    if (std::holds_alternative<std::nullptr_t>(value_)) {
        out += "null";
    } else if (auto b = std::get_if<bool>(&value_)) {
        out += *b ? "true" : "false";
    } else if (auto n = std::get_if<int64_t>(&value_)) {
        out += std::to_string(*n);
    } else if (auto s = std::get_if<std::string>(&value_)) {
        out += JsonQuote(*s);
    } else if (auto a = std::get_if<Array>(&value_)) {
        const bool flat = std::all_of(a->begin(), a->end(), [](const Json &j) {
            return !std::holds_alternative<Array>(j.value_) && !std::holds_alternative<Object>(j.value_);
        });
        if (a->empty()) {
            out += "[]";
        } else if (flat) {
            out += "[";
            for (size_t i = 0; i < a->size(); ++i) {
                if (i) out += ", ";
                (*a)[i].DumpTo(out, depth + 1);
            }
            out += "]";
        } else {
            out += "[\n";
            for (size_t i = 0; i < a->size(); ++i) {
                out += indent;
                (*a)[i].DumpTo(out, depth + 1);
                out += i + 1 < a->size() ? ",\n" : "\n";
            }
            out += close + "]";
        }
    } else if (auto o = std::get_if<Object>(&value_)) {
        if (o->empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        for (size_t i = 0; i < o->size(); ++i) {
            out += indent + JsonQuote((*o)[i].first) + ": ";
            (*o)[i].second.DumpTo(out, depth + 1);
            out += i + 1 < o->size() ? ",\n" : "\n";
        }
        out += close + "}";
    }
}

Json &Json::Merge(const Json &other) {
    if (auto o = std::get_if<Object>(&other.value_))
        for (const auto &[key, value] : *o) Set(key, value);
    return *this;
}

std::string Json::Dump() const {
    std::string out;
    DumpTo(out, 0);
    return out + "\n";
}

// ---- bytes and layout ----------------------------------------------------------------------------
std::string HexPairs(const Bytes &bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) out += (i ? " " : "") + Byte2(bytes[i]);
    return out;
}

std::string LayoutLine(const REPORT_LAYOUT &l) {
    auto field = [](const char *name, uint32_t size, uint32_t offset) {
        return std::string(" ") + name + "=" + Hex(size) + "@" + Hex(offset);
    };
    return "total=" + Hex(l.TotalSize) + field("x", l.XSize, l.XOffset) + field("y", l.YSize, l.YOffset) +
           field("wheel", l.WheelSize, l.WheelOffset) + field("acpan", l.AcPanSize, l.AcPanOffset);
}

Json LayoutJson(const REPORT_LAYOUT &l) {
    auto field = [](uint32_t size, uint32_t offset) {
        return Json::MakeObject().Set("size", size).Set("offset", offset).Set("found", size != 0);
    };
    return Json::MakeObject()
        .Set("total_size", l.TotalSize)
        .Set("x", field(l.XSize, l.XOffset))
        .Set("y", field(l.YSize, l.YOffset))
        .Set("wheel", field(l.WheelSize, l.WheelOffset))
        .Set("ac_pan", field(l.AcPanSize, l.AcPanOffset))
        .Set("line", LayoutLine(l));
}

int64_t FieldValue(const Bytes &report, uint32_t offset, uint32_t size) {
    if (size == 0 || size > 63) return 0;
    uint64_t value = 0;
    for (uint64_t n = offset; n < uint64_t(offset) + size; ++n) {
        const size_t byte = size_t(n / 8);
        const unsigned bit = (byte < report.size()) ? (report[byte] >> (7 - n % 8)) & 1u : 0u;
        value = (value << 1) | bit;
    }
    if (value >> (size - 1)) return int64_t(value) - (int64_t(1) << size);
    return int64_t(value);
}

// Where the drawn bits lie on the wire, report ID by report ID: each report's bits follow its own ID
// byte, while the driver counts the Input bits of all reports one after the other.
static std::string ReportIdNote(const REPORT_LAYOUT &l, const std::vector<InputReportShape> &shapes) {
    std::string out = "  the mouse sends a Report ID byte in front of each report's bits; the driver does not count it,\n"
                      "  and counts the Input bits of all reports one after the other, as drawn here; on the wire:\n";
    const std::pair<const char *, std::pair<uint32_t, uint32_t>> fields[] = {{"X", {l.XSize, l.XOffset}},
                                                                            {"Y", {l.YSize, l.YOffset}},
                                                                            {"wheel", {l.WheelSize, l.WheelOffset}},
                                                                            {"AC pan", {l.AcPanSize, l.AcPanOffset}}};
    for (const InputReportShape &s : shapes) {
        uint64_t wire = s.reportId != 0 ? 8 : 0;
        for (const auto &[first, bits] : s.stretches) {
            const int64_t shift = int64_t(wire) - int64_t(first);
            const uint64_t by = uint64_t(shift < 0 ? -shift : shift);
            std::string moved = shift == 0 ? "where drawn"
                                : by == 8  ? std::string("one byte ") + (shift > 0 ? "later" : "earlier")
                                : by % 8 == 0 ? std::to_string(by / 8) + " bytes " + (shift > 0 ? "later" : "earlier")
                                              : std::to_string(by) + " bits " + (shift > 0 ? "later" : "earlier");
            std::string in;
            for (const auto &[name, field] : fields)
                if (field.first != 0 && field.second >= first && field.second < first + bits) in += (in.empty() ? "" : ", ") + std::string(name);
            out += "    " + (s.reportId != 0 ? "report ID " + std::to_string(s.reportId) : std::string("the report without ID")) +
                   ": drawn bits " + std::to_string(first) + " to " + std::to_string(first + bits - 1) + " are its bits " +
                   std::to_string(wire) + " to " + std::to_string(wire + bits - 1) + " (" + moved + ")" +
                   (in.empty() ? "" : ": " + in) + "\n";
            wire += bits;
        }
    }
    return out;
}

std::string LayoutDiagram(const REPORT_LAYOUT &l, const std::vector<InputReportShape> &shapes) {
    const uint32_t total = l.TotalSize;
    if (total == 0) return "  (no Input bits: the descriptor declares no input report fields)\n";
    const uint32_t bytes = total / 8;
    // Each bit is drawn from the four fields as it is reached: nothing here grows with TotalSize,
    // which a descriptor merely declares. In a report of more than kDrawnWhole bytes, the rows that
    // hold none of the four fields are left out, each run of them named in one line.
    struct Field {
        uint32_t size, offset;
        char mark;
    };
    const Field fields[] = {{l.XSize, l.XOffset, 'X'}, {l.YSize, l.YOffset, 'Y'}, {l.WheelSize, l.WheelOffset, 'W'},
                            {l.AcPanSize, l.AcPanOffset, 'P'}};
    auto end = [total](const Field &f) { return std::min<uint64_t>(uint64_t(f.offset) + f.size, total); };
    auto cell = [&](uint64_t n) {
        char c = '.';
        for (const Field &f : fields)
            if (n >= f.offset && n < end(f)) c = c == '.' ? f.mark : '#';
        return c;
    };
    auto holdsField = [&](uint64_t from, uint64_t to) {  // bits [from, to)
        return std::any_of(std::begin(fields), std::end(fields), [&](const Field &f) { return f.offset < to && end(f) > from && end(f) > f.offset; });
    };
    bool overlap = false;
    for (size_t i = 0; i < 4; ++i)
        for (size_t j = i + 1; j < 4; ++j)
            overlap = overlap || (std::max(fields[i].offset, fields[j].offset) < std::min(end(fields[i]), end(fields[j])));
    std::string out = "  report bits as the driver numbers them: bit 0 is the top bit of byte 0, each byte\n"
                      "  drawn from its most significant bit (7) down to bit 0\n";
    constexpr uint32_t kPerRow = 8;
    constexpr uint32_t kDrawnWhole = 64;
    std::optional<uint32_t> skippedFrom;  // the first byte of the run of rows left out so far
    auto endSkip = [&](uint32_t upTo) {
        if (skippedFrom)
            out += "  bytes " + std::to_string(*skippedFrom) + " to " + std::to_string(upTo - 1) +
                   ": none of X, Y, wheel and AC pan, not drawn\n";
        skippedFrom.reset();
    };
    for (uint32_t first = 0; first < bytes; first += kPerRow) {
        const uint32_t last = std::min(bytes, first + kPerRow);
        if (bytes > kDrawnWhole && !holdsField(uint64_t(first) * 8, uint64_t(last) * 8)) {
            if (!skippedFrom) skippedFrom = first;
            continue;
        }
        endSkip(first);
        std::string head = "  byte ", bits = "  bit  ", body = "       ";
        for (uint32_t b = first; b < last; ++b) {
            head += Pad(std::to_string(b), 9);
            bits += "76543210 ";
            for (uint64_t n = uint64_t(b) * 8; n < uint64_t(b) * 8 + 8; ++n) body += cell(n);
            body += " ";
        }
        for (std::string *row : {&head, &bits, &body}) {
            while (!row->empty() && row->back() == ' ') row->pop_back();
            out += *row + "\n";
        }
    }
    endSkip(bytes);
    out += "  X = X, Y = Y, W = wheel, P = AC pan, . = other bits (buttons, padding, other fields)";
    if (overlap) out += ", # = two kinds overlap";
    out += "\n";
    const bool oneStretchFromBit0 = shapes.size() == 1 && shapes[0].stretches.size() <= 1 &&
                                    (shapes[0].stretches.empty() || shapes[0].stretches[0].first == 0);
    if (std::any_of(shapes.begin(), shapes.end(), [](const InputReportShape &s) { return s.reportId != 0; })) {
        if (oneStretchFromBit0)
            out += "  the mouse sends a Report ID byte in front of its report bits; the driver does not count it,\n"
                   "  so on the wire every field lies one byte later than drawn here\n";
        else
            out += ReportIdNote(l, shapes);
    }
    if (shapes.size() > 1)
        out += "  the bits of all " + std::to_string(shapes.size()) + " input reports are drawn one after the other, as the driver counts them\n";
    return out;
}

// ---- descriptor traits ---------------------------------------------------------------------------
DescriptorTraits DescribeDescriptor(const Bytes &d) {
    DescriptorTraits t;
    t.bytes = d.size();
    t.mouse = false;
    uint32_t page = 0;
    std::vector<uint32_t> usages;  // local usages since the last main item, page in the high half
    for (size_t pos = 0; pos < d.size();) {
        const uint8_t prefix = d[pos];
        if (prefix == 0xFE) {
            pos += 3 + (pos + 1 < d.size() ? d[pos + 1] : 0);
            continue;
        }
        static constexpr size_t kDataBytes[4] = {0, 1, 2, 4};
        const size_t size = kDataBytes[prefix & 3];
        uint32_t value = 0;
        for (size_t k = 0; k < size && pos + 1 + k < d.size(); ++k) value |= uint32_t(d[pos + 1 + k]) << (8 * k);
        const unsigned type = (prefix >> 2) & 3, tag = prefix >> 4;
        if (type == 1 && tag == 0) page = value;
        if (type == 1 && (tag == 7 || tag == 9) && value > 0xFF) (tag == 7 ? t.wideReportSize : t.wideReportCount) = std::max(tag == 7 ? t.wideReportSize : t.wideReportCount, value);
        if (type == 2 && tag == 0) usages.push_back(size == 4 ? value : (page << 16) | value);
        if (type == 0) {
            if (tag == 0xA && value == 1 && !usages.empty() && usages.back() == 0x00010002u) t.mouse = true;
            usages.clear();
        }
        pos += 1 + size;
    }
    return t;
}

std::vector<Warning> AllDescriptorWarnings(const Bytes &descriptor) {
    std::vector<Warning> warnings = DescriptorWarnings(descriptor);
    const DescriptorTraits traits = DescribeDescriptor(descriptor);
    if (!traits.Requestable()) warnings.push_back({"descriptor-too-long-to-request", UnrequestableText(traits)});
    return warnings;
}

Json WarningsJson(const std::vector<Warning> &warnings) {
    Json out = Json::MakeArray();
    for (const Warning &w : warnings) out.Push(Json::MakeObject().Set("code", w.code).Set("message", w.message));
    return out;
}

std::string UnrequestableText(const DescriptorTraits &t) {
    return "the descriptor is " + std::to_string(t.bytes) + " bytes long: the class driver asks for it with its length + 64 = " +
           std::to_string(t.bytes + 64) + " bytes, which does not fit the 16-bit wLength of the request; what the system's "
           "class driver does then is not known, so what the driver records is not known either";
}

Json DescriptorJson(const DescriptorTraits &t) {
    return Json::MakeObject()
        .Set("bytes", t.bytes)
        .Set("is_mouse", t.mouse)
        .Set("request_length", t.bytes + 64)
        .Set("requestable", t.Requestable())
        .Set("wide_report_size", t.wideReportSize ? Json(t.wideReportSize) : Json())
        .Set("wide_report_count", t.wideReportCount ? Json(t.wideReportCount) : Json());
}

const char *DeclaredLengthCode(size_t length, const std::vector<InputReportShape> &shapes) {
    if (shapes.empty()) return "no-input-report-declared";
    bool shorter = true, longer = true;
    for (const auto &s : shapes) {
        if (s.bytes == length) return nullptr;
        shorter = shorter && length < s.bytes;
        longer = longer && length > s.bytes;
    }
    return shorter ? "shorter-than-declared" : longer ? "longer-than-declared" : "length-not-declared";
}

std::string DeclaredLengthNote(size_t length, const std::vector<InputReportShape> &shapes) {
    const char *code = DeclaredLengthCode(length, shapes);
    if (!code) return "";
    const std::string n = std::to_string(length) + (length == 1 ? " byte" : " bytes");
    if (shapes.empty()) return n + ": the descriptor declares no input report";
    std::vector<std::string> lengths;
    for (const auto &s : shapes) lengths.push_back(std::to_string(s.bytes));
    const std::string declared = (shapes.size() == 1 ? "the input report the descriptor declares (" : "every input report the descriptor declares (") +
                                 Join(lengths, ", ") + " bytes)";
    if (std::string_view(code) == "shorter-than-declared") return n + ": shorter than " + declared;
    if (std::string_view(code) == "longer-than-declared") return n + ": longer than " + declared;
    return n + ": no input report the descriptor declares has this length (" + Join(lengths, ", ") + " bytes)";
}

// ---- outlook -----------------------------------------------------------------------------------
std::string ShapesText(const std::vector<InputReportShape> &shapes) {
    if (shapes.empty()) return "no input report";
    std::vector<std::string> parts;
    for (const auto &s : shapes) {
        std::string part = std::to_string(s.bytes) + " bytes";
        std::vector<std::string> about;
        if (s.reportId != 0) about.push_back("Report ID " + std::to_string(s.reportId) + ", then " + std::to_string((s.bits + 7) / 8));
        if (s.bytes > sim::kMaxInterruptTransfer)
            about.push_back("more than one interrupt transfer carries: the class driver reads " +
                            std::to_string(sim::kMaxInterruptTransfer) + " bytes, a longer report fails as a data overrun");
        if (!about.empty()) part += " (" + Join(about, "; ") + ")";
        parts.push_back(part);
    }
    return (shapes.size() == 1 ? "input reports of " : "input reports of ") + Join(parts, ", ");
}

RewriteOutlook JudgeRewrite(const REPORT_LAYOUT &l, const std::vector<InputReportShape> &shapes, const DescriptorTraits &traits) {
    RewriteOutlook o;
    o.device = traits.Device();
    std::vector<std::string> &missing = o.missing;
    if (!l.XSize) missing.push_back("X");
    if (!l.YSize) missing.push_back("Y");
    if (!l.WheelSize) missing.push_back("wheel");
    if (!l.AcPanSize) missing.push_back("AC pan");
    if (!missing.empty())
        o.reasons.push_back({"fields-not-located", "the descriptor walk did not locate " + Join(missing, ", ") +
                                                       ": the driver examines no report unless X, Y, wheel and AC pan are all found"});
    if (l.WheelSize && l.WheelSize < 8)
        o.reasons.push_back({"wheel-narrow", "the wheel is " + std::to_string(l.WheelSize) +
                                                 " bits wide: the driver rewrites only a wheel of 8 bits or more"});
    const uint32_t expected = l.TotalSize / 8;
    if (expected > kMaxReportBytes)
        o.reasons.push_back({"layout-too-long", "the layout spans " + std::to_string(expected) + " bytes: the driver looks only at reports of 1 to " +
                                                    std::to_string(kMaxReportBytes) + " bytes"});
    std::vector<const InputReportShape *> matching;
    for (const auto &s : shapes)
        if (s.bytes == expected) matching.push_back(&s);
    const bool anyId = std::any_of(shapes.begin(), shapes.end(), [](const auto &s) { return s.reportId != 0; });
    if (expected != 0 && expected <= kMaxReportBytes && matching.empty()) {
        const std::string device = o.device;
        if (shapes.empty()) {
            o.reasons.push_back({"no-input-report", "the descriptor declares no input report"});
        } else if (shapes.size() > 1) {
            o.reasons.push_back({"reports-summed", "the layout sums the fields of " + std::to_string(shapes.size()) +
                                                       " input reports to " + std::to_string(expected) + " bytes, but the " + device + " sends " +
                                                       ShapesText(shapes) + ": no report is TotalSize/8 = " + std::to_string(expected) +
                                                       " bytes long"});
        } else if (anyId) {
            o.reasons.push_back({"report-id-byte", "a Report ID byte stands in front of every report: the " + device + " sends " +
                                                       std::to_string(shapes[0].bytes) + "-byte reports, the driver rewrites only reports of TotalSize/8 = " +
                                                       std::to_string(expected) + " bytes (it does not count the ID byte)"});
        } else {
            // The driver takes only the first data byte of Report Size and Report Count: said only
            // when the descriptor has such an item whose value that byte does not hold.
            std::string why;
            if (traits.wideReportSize || traits.wideReportCount)
                why = " (it reads only the first byte of Report Size and Report Count, and this descriptor has " +
                      std::string(traits.wideReportSize ? "a Report Size of " + std::to_string(traits.wideReportSize) : "") +
                      (traits.wideReportSize && traits.wideReportCount ? " and " : "") +
                      (traits.wideReportCount ? "a Report Count of " + std::to_string(traits.wideReportCount) : "") + ")";
            o.reasons.push_back({"length-differs", "the " + device + " sends " + std::to_string(shapes[0].bytes) +
                                                       "-byte reports, the driver rewrites only reports of TotalSize/8 = " +
                                                       std::to_string(expected) + " bytes" + why});
        }
    }
    if (o.reasons.empty()) {
        o.ever = true;
        if (shapes.size() > 1)
            o.notes.push_back({"reports-summed", "only the " + std::to_string(expected) +
                                                     "-byte reports are examined, and their wheel and AC pan bits are looked for at "
                                                     "offsets that count the fields of all reports together"});
        if (anyId && !matching.empty() && matching[0]->reportId != 0)
            o.notes.push_back({"report-id-counted", "the Report ID byte is counted as report data at bit 0"});
    }
    return o;
}

std::string OutlookText(const RewriteOutlook &o, const REPORT_LAYOUT &l, const std::vector<InputReportShape> &shapes) {
    std::string out = "device sends: " + ShapesText(shapes) + "; the driver examines " +
                      (o.missing.empty() ? "reports of TotalSize/8 = " + std::to_string(l.TotalSize / 8) + " bytes"
                                         : std::string("no report (the walk did not locate ") + Join(o.missing, ", ") + ")") +
                      "\n";
    if (o.ever) {
        out += "rewrite: yes: with the feature on, a report whose AC pan is not zero gets its wheel field overwritten";
        if (l.WheelSize == 8 && l.WheelOffset % 8 == 0) out += " (0x30 for a positive pan, 0xc0 for a negative one)";
        out += "\n";
    } else {
        out += "rewrite: never: the driver will pass every report of this " + o.device + " unchanged\n";
        for (const auto &r : o.reasons) out += "  because " + r.message + "\n";
    }
    for (const auto &n : o.notes) out += "  note: " + n.message + "\n";
    return out;
}

Json LayoutReportJson(const REPORT_LAYOUT &l, const std::vector<InputReportShape> &shapes, const RewriteOutlook &o) {
    Json reports = Json::MakeArray();
    for (const auto &s : shapes) {
        Json report = Json::MakeObject().Set("report_id", s.reportId).Set("bits", s.bits).Set("bytes", s.bytes);
        report.Set("read_capped_at", s.bytes > sim::kMaxInterruptTransfer ? Json(sim::kMaxInterruptTransfer) : Json());
        reports.Push(std::move(report));
    }
    Json missing = Json::MakeArray();
    for (const auto &m : o.missing) missing.Push(m);
    return Json::MakeObject()
        .Set("layout", LayoutJson(l))
        .Set("input_reports", std::move(reports))
        .Set("examined_length", o.missing.empty() ? Json(l.TotalSize / 8) : Json())
        .Set("rewrite", Json::MakeObject()
                            .Set("ever", o.ever)
                            .Set("reasons", WarningsJson(o.reasons))
                            .Set("notes", WarningsJson(o.notes))
                            .Set("not_located", std::move(missing)));
}

// ---- run -----------------------------------------------------------------------------------------
RowKind Classify(const ReportRow &row, const REPORT_LAYOUT &l) {
    if (row.failed) return RowKind::Failed;
    if (!row.delivered) return RowKind::NotDelivered;
    if (row.sent != row.received) return RowKind::Rewritten;
    if (row.sent.size() > kMaxReportBytes) return RowKind::TooLong;
    if (!LayoutComplete(l)) return RowKind::LayoutIncomplete;
    if (l.WheelSize < 8) return RowKind::WheelNarrow;
    if (row.sent.size() != l.TotalSize / 8) return RowKind::LengthDiffers;
    return RowKind::Unchanged;
}

const char *RowKindCode(RowKind kind) {
    switch (kind) {
    case RowKind::Rewritten: return "rewritten";
    case RowKind::Unchanged: return "examined-unchanged";
    case RowKind::LayoutIncomplete: return "layout-incomplete";
    case RowKind::WheelNarrow: return "wheel-narrow";
    case RowKind::LengthDiffers: return "length-differs";
    case RowKind::TooLong: return "too-long";
    case RowKind::Failed: return "transfer-failed";
    case RowKind::NotDelivered: return "not-delivered";
    }
    return "";
}

void RowCounts::Add(RowKind kind) {
    ++total;
    switch (kind) {
    case RowKind::Rewritten: ++rewritten; break;
    case RowKind::Unchanged: ++unchanged; break;
    case RowKind::LayoutIncomplete: ++layoutIncomplete; break;
    case RowKind::WheelNarrow: ++wheelNarrow; break;
    case RowKind::LengthDiffers: ++lengthDiffers; break;
    case RowKind::TooLong: ++tooLong; break;
    case RowKind::Failed: ++failed; break;
    case RowKind::NotDelivered: ++notDelivered; break;
    }
}

size_t RewrittenCount(const std::vector<ReportRow> &rows) {
    return size_t(std::count_if(rows.begin(), rows.end(), [](const ReportRow &r) { return r.delivered && r.sent != r.received; }));
}

std::string RowNote(const ReportRow &row, const REPORT_LAYOUT &l, bool featureOn) {
    if (row.failed) {
        std::string note = "transfer failed (USBD status " + Hex(row.usbdStatus);
        if (row.usbdStatus == 0xC000000C && !row.sentKnown)
            note += ", data overrun on a read of " + std::to_string(row.readLength) + "; the capture holds none of the bytes sent";
        else if (row.usbdStatus == 0xC000000C)
            note += ", data overrun: " + std::to_string(row.sent.size()) + " bytes for a read of " + std::to_string(row.readLength);
        return note + "): not examined";
    }
    if (!row.delivered) return "not delivered to the class driver";
    const int64_t pan = FieldValue(row.sent, l.AcPanOffset, l.AcPanSize);
    switch (Classify(row, l)) {
    case RowKind::Rewritten:
        if (l.WheelSize == 8 && l.WheelOffset % 8 == 0 && l.WheelOffset / 8 < row.received.size())
            return "pan " + Signed(pan) + ": wheel set to " + Hex(row.received[l.WheelOffset / 8]);
        return "pan " + Signed(pan) + ": wheel rewritten";
    case RowKind::LayoutIncomplete: return "not examined: layout incomplete";
    case RowKind::WheelNarrow: return "unchanged: wheel narrower than 8 bits";
    case RowKind::LengthDiffers:
        return "unchanged: " + std::to_string(row.sent.size()) + " bytes, driver expects " + std::to_string(l.TotalSize / 8);
    case RowKind::TooLong: return "not examined: the driver passes it on as it came, for it looks only at reports of 1 to " + std::to_string(kMaxReportBytes) + " bytes";
    default: break;
    }
    if (pan == 0) return "pan 0: unchanged";
    if (!featureOn) return "pan " + Signed(pan) + ", feature off: unchanged";
    return "unchanged";
}

TableShape MakeTableShape(size_t rows, size_t widestReport) {
    TableShape shape;
    shape.numberWidth = std::max<size_t>(std::to_string(std::max<size_t>(rows, 1)).size() + 1, 4);
    shape.bytesPerLine = std::min(widestReport, kBytesPerTableLine);
    shape.column = std::max<size_t>(shape.bytesPerLine * 3 + 2, 31);
    return shape;
}

std::string ReportTableHeader(const TableShape &shape) {
    return "  " + Pad("#", shape.numberWidth) + Pad("sent by the mouse (bus)", shape.column) +
           Pad("received by the class driver", shape.column) + "what the driver did\n";
}

std::string ReportTableRow(size_t number, const ReportRow &r, const REPORT_LAYOUT &layout, bool featureOn, const TableShape &shape) {
    // Each side as lines of at most bytesPerLine bytes: a long report wraps onto lines of its own.
    auto lines = [&](const Bytes &bytes, bool marks) {
        std::vector<std::string> out;
        for (size_t k = 0; k < bytes.size(); ++k) {
            if (k % kBytesPerTableLine == 0) out.emplace_back();
            const bool changed = marks && (k >= r.sent.size() || r.sent[k] != bytes[k]);
            out.back() += Byte2(bytes[k]) + (changed ? "*" : " ");
        }
        for (auto &line : out)
            if (!marks && !line.empty()) line.pop_back();
        if (out.empty()) out.emplace_back();
        return out;
    };
    const auto sent = r.sentKnown ? lines(r.sent, false) : std::vector<std::string>{"?"};
    const auto received = r.delivered ? lines(r.received, true) : std::vector<std::string>{"-"};
    std::string note = RowNote(r, layout, featureOn);
    if (r.sent.size() > kBytesPerTableLine) note += " (" + std::to_string(r.sent.size()) + " bytes)";
    std::string out;
    const size_t height = std::max(sent.size(), received.size());
    for (size_t i = 0; i < height; ++i) {
        std::string line = "  " + Pad(i == 0 ? std::to_string(number) : "", shape.numberWidth) +
                           Pad(i < sent.size() ? sent[i] : "", shape.column) +
                           Pad(i < received.size() ? received[i] : "", shape.column) + (i == 0 ? note : "");
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string ReportTable(const RunFacts &f) {
    size_t widest = 0;
    for (const auto &r : f.rows) widest = std::max({widest, r.sent.size(), r.received.size()});
    const TableShape shape = MakeTableShape(f.rows.size(), widest);
    std::string out = ReportTableHeader(shape);
    for (size_t i = 0; i < f.rows.size(); ++i) out += ReportTableRow(i + 1, f.rows[i], f.layout, f.featureOn, shape);
    if (f.rows.empty()) out += "  (no reports)\n";
    return out;
}

std::string StartLine(const RunFacts &f) {
    std::string out = "the bus answers the string request at index 200 with ";
    if (!f.probeAnswer.empty()) {
        out += "the capture's own answer: " + HexPairs(f.probeAnswer);
        return out;
    }
    out += JsonQuote(f.probeReply);
    if (!f.probeOrigin.empty()) out += ", " + f.probeOrigin;
    return out;
}

std::string RunHeaderText(const RunFacts &f) {
    std::string out;
    out += "hct-sim run: one mouse session through the filter driver\n";
    out += "  mouse        " + f.mouse + ", report descriptor of " + std::to_string(f.descriptorBytes) + " bytes\n";
    if (!f.capture.empty()) out += "  capture      " + f.capture + "\n";
    out += "  start        " + StartLine(f) + "\n";
    out += "  control      " + f.controlLink + " opened, feature switched " + (f.featureOn ? "on" : "off");
    if (f.controlStatus != 0) out += " (request failed: status " + Hex(f.controlStatus) + ")";
    out += "\n\n";
    out += std::string("Reports (hex bytes; * marks a byte the driver changed") + (f.changedOnly ? "; only the rows it changed" : "") + ")\n";
    return out;
}

std::string RunSummaryText(const RunFacts &f) {
    const RowCounts &c = f.counts;
    std::string out;
    out += "\nSummary\n";
    out += "  layout         " + LayoutLine(f.layout) + "  (sizes@offsets in bits)\n";
    out += std::string("  MouseFound     ") + (f.mouseFound ? "yes" : "no") + "\n";
    out += std::string("  FeatureReady   ") + (f.featureReady ? "yes (the reply begins with START)" : "no (the reply does not begin with START)") + "\n";
    out += std::string("  feature        ") + (f.featureOn ? "on" : "off") + "\n";
    out += "  rewritten      " + std::to_string(c.rewritten) + " of " + std::to_string(c.total) + " reports\n";
    auto line = [&](size_t n, const std::string &label, const std::string &what) {
        if (n != 0) out += "  " + Pad(label, 15) + std::to_string(n) + what + "\n";
    };
    line(c.unchanged, "left alone", " examined: pan 0, or the feature off");
    line(c.layoutIncomplete, "not examined", ": layout incomplete");
    line(c.lengthDiffers, "left alone", " examined: length differs from TotalSize/8 (" + std::to_string(f.layout.TotalSize / 8) + " bytes)");
    line(c.tooLong, "not examined", ": longer than " + std::to_string(kMaxReportBytes) + " bytes");
    line(c.failed, "not examined", ": failed transfer");
    line(c.wheelNarrow, "not rewritten", ": wheel narrower than 8 bits");
    line(c.notDelivered, "not delivered", " to the class driver");
    if (!f.violations.empty()) {
        out += "  kernel rules broken:\n";
        for (const auto &v : f.violations) out += "    " + v + "\n";
    }
    return out;
}

RunFacts WithCounts(const RunFacts &f) {
    RunFacts copy = f;
    if (copy.counts.total == 0)
        for (const auto &r : copy.rows) copy.counts.Add(Classify(r, copy.layout));
    return copy;
}

std::string RunText(const RunFacts &facts) {
    const RunFacts f = WithCounts(facts);
    return RunHeaderText(f) + ReportTable(f) + RunSummaryText(f);
}

Json ReportRowJson(size_t number, const ReportRow &r, const REPORT_LAYOUT &layout, bool featureOn) {
    Json changed = Json::MakeArray();
    for (size_t k = 0; k < r.received.size(); ++k)
        if (k >= r.sent.size() || r.sent[k] != r.received[k]) changed.Push(k);
    Json row = Json::MakeObject()
                   .Set("number", number)
                   .Set("sent", r.sentKnown ? Json(HexPairs(r.sent)) : Json())
                   .Set("received", r.delivered ? Json(HexPairs(r.received)) : Json())
                   .Set("changed_bytes", std::move(changed))
                   .Set("length", r.sentKnown ? Json(r.sent.size()) : Json())
                   .Set("kind", RowKindCode(Classify(r, layout)))
                   .Set("pan", r.sentKnown && layout.AcPanSize ? Json(FieldValue(r.sent, layout.AcPanOffset, layout.AcPanSize)) : Json())
                   .Set("note", RowNote(r, layout, featureOn))
                   .Set("usbd_status", r.failed ? Json(r.usbdStatus) : Json())
                   .Set("status", r.failed ? Json(r.status) : Json())
                   .Set("read_length", r.failed ? Json(r.readLength) : Json());
    return row;
}

Json RunHeadJson(const RunFacts &f) {
    Json json = Json::MakeObject();
    json.Set("mouse", f.mouse);
    json.Set("capture", f.capture.empty() ? Json() : Json(f.capture));
    json.Set("descriptor_bytes", f.descriptorBytes);
    const bool answered = !f.probeAnswer.empty();
    json.Set("probe_reply", answered ? Json() : Json(f.probeReply))
        .Set("probe_answer", answered ? Json(HexPairs(f.probeAnswer)) : Json())
        .Set("probe_reply_from", answered ? Json("capture") : f.probeOrigin.empty() ? Json() : Json(f.probeOrigin));
    return json.Set("warnings", WarningsJson(f.warnings))
        .Set("feature", f.featureOn ? "on" : "off")
        .Set("control_link", f.controlLink)
        .Set("control_status", f.controlStatus)
        .Set("layout", LayoutJson(f.layout))
        .Set("mouse_found", f.mouseFound)
        .Set("feature_ready", f.featureReady);
}

Json CountsJson(const RowCounts &c) {
    return Json::MakeObject()
        .Set("total", c.total)
        .Set("rewritten", c.rewritten)
        .Set("examined_unchanged", c.unchanged)
        .Set("layout_incomplete", c.layoutIncomplete)
        .Set("wheel_narrow", c.wheelNarrow)
        .Set("length_differs", c.lengthDiffers)
        .Set("too_long", c.tooLong)
        .Set("transfer_failed", c.failed)
        .Set("not_delivered", c.notDelivered);
}

Json RunTailJson(const RunFacts &f) {
    Json violations = Json::MakeArray();
    for (const auto &v : f.violations) violations.Push(v);
    return Json::MakeObject()
        .Set("reports_rewritten", f.counts.rewritten)
        .Set("report_counts", CountsJson(f.counts))
        .Set("violations", std::move(violations));
}

Json RunJson(const RunFacts &facts) {
    const RunFacts f = WithCounts(facts);
    Json reports = Json::MakeArray();
    for (size_t i = 0; i < f.rows.size(); ++i) reports.Push(ReportRowJson(i + 1, f.rows[i], f.layout, f.featureOn));
    Json json = RunHeadJson(f);
    json.Set("reports", std::move(reports));
    const Json tail = RunTailJson(f);
    json.Merge(tail);
    return json;
}

// ---- streaming JSON ------------------------------------------------------------------------------
JsonStream::JsonStream(std::ostream &out, const Json &head) : out_(out) {
    std::string text = head.Dump();  // "{\n  ...\n}\n"
    text.resize(text.size() - 3);    // without "\n}\n"
    out_ << text << ",\n  \"reports\": [";
}

void JsonStream::Row(const Json &row) {
    std::string text = row.Dump();
    text.pop_back();
    std::string indented;
    for (char c : text) {
        indented += c;
        if (c == '\n') indented += "    ";
    }
    out_ << (rows_++ ? ",\n    " : "\n    ") << indented;
}

void JsonStream::EndReports() { out_ << (rows_ ? "\n  ]" : "]"); }

void JsonStream::Members(const Json &members) {
    const std::string text = members.Dump();  // "{\n  ...\n}\n", or "{}\n"
    if (text.size() > 4) out_ << "," << text.substr(1, text.size() - 4);
}

void JsonStream::BeginArray(const std::string &key) {
    out_ << ",\n  " << JsonQuote(key) << ": [";
    items_ = 0;
}

void JsonStream::ArrayItem(const std::string &text) { out_ << (items_++ ? ", " : "") << JsonQuote(text); }

void JsonStream::EndArray() { out_ << "]"; }

void JsonStream::End() { out_ << "\n}\n" << std::flush; }

// ---- trace ---------------------------------------------------------------------------------------
std::string Readable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    return out;
}

std::vector<std::string> TraceLines(std::string_view trace) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        const size_t cut = trace.find("\n\r", start);
        const std::string_view piece = trace.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start);
        if (!(lines.empty() && start == 0 && piece.empty())) lines.push_back(Readable(piece));
        if (cut == std::string_view::npos) break;
        start = cut + 2;
    }
    return lines;
}

}  // namespace hct_sim

#include "paste.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

namespace hct_sim {

const char *const kPasteFormsRead =
    "hex bytes (05 01 09 02 or 05010902), a C array of 0x05 (xxd -i), a Python or JavaScript list "
    "([0x05, 0x01]), a b'\\x05\\x01' literal, the hex dumps of Wireshark (Copy as Hex Dump), od -tx1, "
    "hexdump -C and xxd, usbhid-dump output, or a hid-recorder recording (R: line)";

const char *PasteFormName(PasteForm form) {
    switch (form) {
    case PasteForm::HexText: return "hex bytes";
    case PasteForm::CArray: return "a C array";
    case PasteForm::List: return "a Python or JavaScript list";
    case PasteForm::BytesLiteral: return "a b'' literal";
    case PasteForm::WiresharkDump: return "a Wireshark hex dump";
    case PasteForm::OdDump: return "an od -tx1 dump";
    case PasteForm::HexdumpDump: return "a hexdump -C dump";
    case PasteForm::XxdDump: return "an xxd dump";
    case PasteForm::UsbhidDump: return "usbhid-dump output";
    case PasteForm::Recording: return "a hid-recorder recording";
    }
    return "?";
}

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::string Quoted(std::string_view s) {
    if (s.size() > 24) s = s.substr(0, 24);
    return "\"" + std::string(s) + (s.size() == 24 ? "...\"" : "\"");
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value & 0xffu);
    return text;
}

struct Line {
    std::string_view text;
    int number;
};

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    int number = 1;
    for (size_t start = 0; start <= text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back({line, number});
        start = end + 1;
    }
    return lines;
}

// ---- numbers as C, Python and JavaScript write them: 0x05 hex, 5 decimal, 05 refused -----------
// Returns false (and sets `decimal` when the number is a decimal one above 9, where the two differ).
uint8_t LanguageNumber(std::string_view token, const std::string &source, int line, bool &decimalAbove9) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        unsigned value = 0;
        for (char c : token.substr(2)) {
            if (!IsHexDigit(c)) throw InputError(source, line, Quoted(token) + " is not a number");
            value = value * 16 + HexValue(c);
            if (value > 0xff) throw InputError(source, line, Quoted(token) + " is above 0xff: a byte is 0x00 to 0xff");
        }
        return uint8_t(value);
    }
    if (!token.empty() && std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (token.size() > 1 && token[0] == '0')
            throw InputError(source, line,
                             Quoted(token) + " has a leading zero: C and JavaScript read it as octal, Python refuses it, "
                                             "so it is not read as hex or decimal; write 0x" + std::string(token.substr(1)) +
                                             " for hex");
        unsigned value = 0;
        for (char c : token) {
            value = value * 10 + unsigned(c - '0');
            if (value > 255) throw InputError(source, line, Quoted(token) + " is above 255: a byte is 0 to 255");
        }
        if (value > 9) decimalAbove9 = true;
        return uint8_t(value);
    }
    throw InputError(source, line,
                     Quoted(token) + " is not a number as C, Python and JavaScript write one (0x" + std::string(token) +
                         " for hex)");
}

// The numbers between `open` and `close` of a comment-free text; the text around them is the
// declaration or call (`static const uint8_t d[] = {`, `bytes([`, `};`) and must hold no number.
Bytes LanguageNumbers(std::string_view text, char open, char close, const std::string &source, bool &decimalAbove9) {
    const size_t first = text.find(open);
    const size_t last = text.rfind(close);
    if (last == std::string_view::npos || last < first)
        throw InputError(source, 0, std::string("the ") + open + " is never closed by " + close);
    Bytes bytes;
    int line = 1 + int(std::count(text.begin(), text.begin() + long(first), '\n'));
    size_t i = first + 1;
    while (i < last) {
        const char c = text[i];
        if (c == '\n') ++line;
        if (IsSpace(c) || c == ',') {
            ++i;
            continue;
        }
        if (c == open || c == close)
            throw InputError(source, line, std::string("a nested ") + open + ": give one flat list of bytes");
        size_t j = i;
        while (j < last && !IsSpace(text[j]) && text[j] != ',' && text[j] != open && text[j] != close) ++j;
        if (text.substr(i, 3) == "...") {
            // node's console.log shows the first 100 items of an array, then "... N more items".
            const size_t end = std::min(text.find('\n', i), size_t(last));
            throw InputError(source, line,
                             "the list was cut: " + Quoted(Trim(text.substr(i, end - i))) +
                                 " stands for bytes it does not show (node's console.log shows the first 100 items of an "
                                 "array): print it whole, with console.log(JSON.stringify(list))");
        }
        bytes.push_back(LanguageNumber(text.substr(i, j - i), source, line, decimalAbove9));
        i = j;
    }
    return bytes;
}

// ---- b'\x05\x01' and "\x05\x01" ----------------------------------------------------------------
bool StartsLiteral(std::string_view s) {
    return (s.size() >= 2 && (s[0] == 'b' || s[0] == 'B') && (s[1] == '\'' || s[1] == '"')) || (!s.empty() && s[0] == '"');
}

// Skips an assignment or call in front: `rdesc = b'...'`, `bytes(b'...')`, `bytearray(b"...")`.
std::string_view LiteralStart(std::string_view text) {
    text = Trim(text);
    for (size_t i = 0; i < text.size() && i < 64; ++i) {
        const char c = text[i];
        if (StartsLiteral(text.substr(i)) && (i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1])))) {
            const std::string_view before = text.substr(0, i);
            if (std::all_of(before.begin(), before.end(), [](char b) {
                    return std::isalnum(static_cast<unsigned char>(b)) || b == '_' || b == '=' || b == '(' || b == ' ' || b == '\t';
                }))
                return text.substr(i);
            return {};
        }
        if (c == '\'' || c == '"') return {};
    }
    return {};
}

Bytes ReadLiterals(std::string_view text, const std::string &source, int firstLine) {
    Bytes bytes;
    int line = firstLine;
    size_t i = 0;
    auto fail = [&](const std::string &what) { throw InputError(source, line, what); };
    while (true) {
        while (i < text.size() && (IsSpace(text[i]) || text[i] == '\\')) {
            if (text[i] == '\n') ++line;
            ++i;
        }
        if (i >= text.size() || !StartsLiteral(text.substr(i))) break;
        const bool python = text[i] != '"';
        if (python) ++i;
        const char quote = text[i++];
        while (true) {
            if (i >= text.size() || text[i] == '\n') fail(std::string("the string is never closed by its ") + quote);
            const char c = text[i++];
            if (c == quote) break;
            if (static_cast<unsigned char>(c) >= 0x80)
                fail("a character that is not ASCII inside the string: a b'' literal holds ASCII and \\x escapes only");
            if (c != '\\') {
                bytes.push_back(uint8_t(c));
                continue;
            }
            if (i >= text.size()) fail("a \\ at the end of the string");
            const char e = text[i++];
            static const std::string_view kSimple = "\\'\"abfnrtv";
            static const char kValues[] = {'\\', '\'', '"', '\a', '\b', '\f', '\n', '\r', '\t', '\v'};
            if (const size_t k = kSimple.find(e); k != std::string_view::npos) {
                bytes.push_back(uint8_t(kValues[k]));
            } else if (e == 'x') {
                if (i + 2 > text.size() || !IsHexDigit(text[i]) || !IsHexDigit(text[i + 1])) fail("\\x needs two hex digits");
                if (!python && i + 2 < text.size() && IsHexDigit(text[i + 2]))
                    fail("\\x" + std::string(text.substr(i, 3)) +
                         ": in a C string \\x takes every hex digit that follows; end the string after two");
                bytes.push_back(uint8_t(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
                i += 2;
            } else if (e >= '0' && e <= '7') {
                unsigned value = unsigned(e - '0');
                for (int n = 0; n < 2 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++n) value = value * 8 + unsigned(text[i++] - '0');
                if (value > 0xff) fail("an octal escape above \\377");
                bytes.push_back(uint8_t(value));
            } else {
                fail(std::string("\\") + e + " is no escape of a byte string");
            }
        }
    }
    while (i < text.size() && (IsSpace(text[i]) || text[i] == ')' || text[i] == ';' || text[i] == ',')) {
        if (text[i] == '\n') ++line;
        ++i;
    }
    if (i < text.size()) fail(Quoted(text.substr(i)) + " after the string");
    return bytes;
}

// ---- hex dumps with an offset column -----------------------------------------------------------
// The first word of a line when it can be an offset column: 4 to 16 hex digits, maybe with ':' (xxd).
struct OffsetWord {
    std::string_view digits;
    bool colon = false;
    std::string_view rest;  // after it
};

std::optional<OffsetWord> OffsetOf(std::string_view line) {
    size_t n = 0;
    while (n < line.size() && IsHexDigit(line[n])) ++n;
    if (n < 4 || n > 16) return std::nullopt;
    OffsetWord word{line.substr(0, n), false, line.substr(n)};
    if (!word.rest.empty() && word.rest[0] == ':') {
        word.colon = true;
        word.rest.remove_prefix(1);
    }
    if (!word.rest.empty() && !IsSpace(word.rest[0])) return std::nullopt;
    return word;
}

// A line that begins as a dump's line does: an offset, then a byte or a group of bytes.
bool OffsetShaped(std::string_view line) {
    const auto word = OffsetOf(line);
    if (!word) return false;
    const std::string_view rest = Trim(word->rest);
    size_t n = 0;
    while (n < rest.size() && IsHexDigit(rest[n])) ++n;
    return n >= 2 && (n == rest.size() || IsSpace(rest[n]) || rest[n] == '|');
}

char Shown(uint8_t byte) { return byte >= 0x20 && byte < 0x7f ? char(byte) : '.'; }

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

// The bytes of one dump line after its offset; the ASCII column, when there, must show them.
Bytes DumpLineBytes(std::string_view rest, bool xxd, const std::string &source, int number, bool &sawAscii) {
    std::optional<std::string_view> ascii;
    std::string_view hex = rest;
    if (const size_t bar = rest.find('|'); bar != std::string_view::npos) {
        hex = rest.substr(0, bar);
        std::string_view shown = rest.substr(bar + 1);
        if (!shown.empty() && TrimRight(shown).back() == '|') shown = TrimRight(shown).substr(0, TrimRight(shown).size() - 1);
        ascii = shown;
    }
    struct Token {
        size_t at;
        std::string_view text;
    };
    std::vector<Token> tokens;
    for (size_t i = 0; i < hex.size();) {
        if (IsSpace(hex[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < hex.size() && !IsSpace(hex[j])) ++j;
        tokens.push_back({i, hex.substr(i, j - i)});
        i = j;
    }
    auto isBytes = [&](std::string_view t) {
        return (xxd ? t.size() % 2 == 0 && !t.empty() : t.size() == 2) && std::all_of(t.begin(), t.end(), IsHexDigit);
    };
    Bytes bytes;
    size_t k = 0;
    for (; k < tokens.size(); ++k) {
        if (!ascii) {
            // Is the rest of the line, after a gap of two blanks or more, the ASCII column of the bytes so far?
            const size_t at = tokens[k].at;
            const bool gap = at >= 2 && IsSpace(hex[at - 1]) && IsSpace(hex[at - 2]);
            if (gap && !bytes.empty()) {
                std::string shown;
                for (uint8_t b : bytes) shown += Shown(b);
                if (TrimRight(hex.substr(at)) == TrimRight(shown)) {
                    sawAscii = true;
                    return bytes;
                }
            }
        }
        if (!isBytes(tokens[k].text)) break;
        for (size_t d = 0; d < tokens[k].text.size(); d += 2)
            bytes.push_back(uint8_t(HexValue(tokens[k].text[d]) * 16 + HexValue(tokens[k].text[d + 1])));
    }
    if (k < tokens.size())
        throw InputError(source, number,
                         Quoted(tokens[k].text) + " is neither a byte of the dump nor the start of its ASCII column (which "
                                                  "must show the line's bytes, '.' for each one not printable)");
    if (ascii) {
        std::string shown;
        for (uint8_t b : bytes) shown += Shown(b);
        if (TrimRight(*ascii) != TrimRight(shown))
            throw InputError(source, number, "the ASCII column |" + std::string(*ascii) + "| does not show the line's bytes");
        sawAscii = true;
    }
    return bytes;
}

Paste ReadDump(const std::vector<Line> &lines, const std::string &source) {
    struct Row {
        int number;
        std::string_view offset;
        bool star;
        bool hasBytes;
        Bytes bytes;
    };
    std::vector<Row> rows;
    bool xxd = false, bar = false, ascii = false;
    size_t digits = 0;
    for (const Line &line : lines) {
        const std::string_view text = TrimRight(line.text);
        if (Trim(text).empty()) continue;
        if (Trim(text) == "*") {
            rows.push_back({line.number, {}, true, false, {}});
            continue;
        }
        const auto word = OffsetOf(text);
        if (!word)
            throw InputError(source, line.number,
                             "the line does not begin with an offset, as every line of the hex dump before it does");
        if (rows.empty()) {
            xxd = word->colon;
            digits = word->digits.size();
            // Words of 4 or 6 digits after the offset: hexdump's and od's defaults.
            const std::string_view first = Trim(word->rest);
            size_t n = 0;
            while (n < first.size() && IsHexDigit(first[n])) ++n;
            if (!xxd && (n == 4 || n == 6))
                throw InputError(source, line.number,
                                 n == 4 ? "a dump of 2-byte words (hexdump's or od -x's default), whose byte order is the "
                                          "machine's: give hexdump -C or od -tx1 instead"
                                        : "a dump of octal words (od's default): give od -tx1 instead");
        }
        if (word->colon != xxd || word->digits.size() != digits)
            throw InputError(source, line.number, "its offset " + Quoted(word->digits) + " is not written as the first line's is");
        bar = bar || word->rest.find('|') != std::string_view::npos;
        const bool has = !Trim(word->rest).empty();
        rows.push_back({line.number, word->digits, false, has, has ? DumpLineBytes(word->rest, xxd, source, line.number, ascii) : Bytes{}});
    }
    PasteForm form = xxd ? PasteForm::XxdDump
                     : (bar || digits == 8) ? PasteForm::HexdumpDump
                     : (digits == 6 || digits == 7) ? PasteForm::OdDump
                                                    : PasteForm::WiresharkDump;
    // The offsets must follow from the bytes: in hex, or (od's default) octal, or decimal (od -Ad).
    const std::vector<int> radices = digits == 7 ? std::vector<int>{8, 16, 10} : std::vector<int>{16, 8, 10};
    std::string firstFault;
    for (int radix : radices) {
        Bytes out;
        std::string fault;
        bool star = false;
        size_t previous = 0;  // bytes of the last line before a '*'
        Bytes last;
        for (const Row &row : rows) {
            if (row.star) {
                star = true;
                continue;
            }
            uint64_t offset = 0;
            bool ok = true;
            for (char c : row.offset) {
                const unsigned d = HexValue(c);
                if (int(d) >= radix) ok = false;
                offset = offset * unsigned(radix) + d;
            }
            if (!ok) {
                fault = "line " + std::to_string(row.number) + ": " + Quoted(row.offset) + " is no offset in base " + std::to_string(radix);
                break;
            }
            if (out.empty() && offset != 0 && !star) {
                fault = "line " + std::to_string(row.number) + ": the dump begins at offset " + std::string(row.offset) +
                        ", not 0: its first bytes are missing";
                break;
            }
            if (star) {
                if (previous == 0 || offset < out.size() || (offset - out.size()) % previous != 0 ||
                    offset > kMaxDescriptorBytes) {
                    fault = "line " + std::to_string(row.number) + ": the \"*\" before offset " + std::string(row.offset) +
                            " repeats no whole number of the line before it";
                    break;
                }
                while (out.size() < offset) out.insert(out.end(), last.begin(), last.end());
                star = false;
            }
            if (offset != out.size()) {
                fault = "line " + std::to_string(row.number) + ": offset " + std::string(row.offset) + " does not follow from the " +
                        std::to_string(out.size()) + " bytes before it: a line of the dump is missing or was cut";
                break;
            }
            out.insert(out.end(), row.bytes.begin(), row.bytes.end());
            if (!row.bytes.empty()) {
                previous = row.bytes.size();
                last = row.bytes;
            }
            if (out.size() > kMaxDescriptorBytes) break;
        }
        if (fault.empty() && star) fault = "the dump ends with \"*\": the offset that tells how far it repeats is missing";
        if (fault.empty()) {
            if (out.empty()) throw InputError(source, 0, std::string(PasteFormName(form)) + " without bytes");
            Paste paste{form, std::move(out), {}};
            if (form == PasteForm::HexdumpDump && !ascii)
                paste.warnings.push_back({"dump-without-ascii", "read as a hexdump -C dump without its ASCII column"});
            return paste;
        }
        if (firstFault.empty()) firstFault = fault;
    }
    throw InputError(source, 0, std::string(PasteFormName(form)) + ": " + firstFault);
}

// ---- usbhid-dump: "BBB:DDD:III:DESCRIPTOR   sec.usec", then " XX" bytes, a blank line -----------
bool UsbhidHeader(std::string_view line, std::string_view &address, std::string_view &entity) {
    if (line.size() < 13) return false;
    for (size_t i = 0; i < 12; ++i)
        if ((i % 4 == 3) != (line[i] == ':') || (i % 4 != 3 && !std::isdigit(static_cast<unsigned char>(line[i])))) return false;
    address = line.substr(0, 11);
    std::string_view rest = line.substr(12);
    size_t n = 0;
    while (n < rest.size() && std::isupper(static_cast<unsigned char>(rest[n]))) ++n;
    entity = rest.substr(0, n);
    return n > 0;
}

Paste ReadUsbhidDump(const std::vector<Line> &lines, const std::string &source) {
    struct Entry {
        std::string address;
        Bytes bytes;
    };
    std::vector<Entry> descriptors;
    size_t streams = 0;
    Entry *into = nullptr;
    for (const Line &line : lines) {
        std::string_view address, entity;
        if (UsbhidHeader(line.text, address, entity)) {
            into = nullptr;
            if (entity == "DESCRIPTOR") {
                descriptors.push_back({std::string(address), {}});
                into = &descriptors.back();
            } else {
                ++streams;
            }
            continue;
        }
        const std::string_view text = Trim(line.text);
        if (text.empty()) {
            into = nullptr;
            continue;
        }
        if (!into) {
            if (streams != 0) continue;  // a report of the stream
            throw InputError(source, line.number, "a line of usbhid-dump output outside any DESCRIPTOR or STREAM entry");
        }
        for (size_t i = 0; i < text.size();) {
            if (IsSpace(text[i])) {
                ++i;
                continue;
            }
            if (i + 2 > text.size() || !IsHexDigit(text[i]) || !IsHexDigit(text[i + 1]) || (i + 2 < text.size() && !IsSpace(text[i + 2])))
                throw InputError(source, line.number, Quoted(text.substr(i)) + " is not a two-digit hex byte");
            into->bytes.push_back(uint8_t(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
            i += 2;
        }
    }
    if (descriptors.empty())
        throw InputError(source, 0,
                         "usbhid-dump output without a DESCRIPTOR entry (" + std::to_string(streams) +
                             " STREAM entries of reports): take it again with usbhid-dump -e descriptor");
    if (descriptors.size() > 1) {
        std::string list;
        for (const Entry &e : descriptors) list += (list.empty() ? "" : ", ") + e.address;
        throw InputError(source, 0,
                         "usbhid-dump output with the report descriptors of " + std::to_string(descriptors.size()) +
                             " interfaces (bus:device:interface " + list +
                             "): keep the one of the mouse, or take it again with usbhid-dump -a BUS:DEV -i IFACE");
    }
    if (descriptors[0].bytes.empty()) throw InputError(source, 0, "usbhid-dump output whose DESCRIPTOR entry holds no bytes");
    return {PasteForm::UsbhidDump, std::move(descriptors[0].bytes), {}};
}

// What the text looks like, for a refusal: its first non-blank line, shortened.
std::string FirstLineOf(std::string_view text) {
    for (const Line &line : SplitLines(text))
        if (!Trim(line.text).empty()) return "line " + std::to_string(line.number) + " begins " + Quoted(Trim(line.text));
    return "it holds only blanks";
}

Warning DecimalWarning(PasteForm form) {
    return {"decimal-numbers", std::string("the numbers of ") + PasteFormName(form) +
                                   " written without 0x are read as decimal, as C, Python and JavaScript read them"};
}

}  // namespace

std::string PasteText(std::string_view raw, const std::string &source) {
    if (std::optional<std::string> text = FromUtf16(raw, source)) return *text;
    const std::string_view text = WithoutByteOrderMark(raw);
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 || IsSpace(char(c))) continue;
        if (c == 0 && text.size() >= 4 && text.size() % 2 == 0 &&
            ((text[0] != 0 && text[1] == 0) || (text[0] == 0 && text[1] != 0)))
            throw InputError(source, 0,
                             "it seems to be UTF-16 text without its byte-order mark (every other byte 0): save it as "
                             "UTF-8, or as UTF-16 with its mark");
        const unsigned char first = static_cast<unsigned char>(raw[0]);
        throw InputError(source, 0,
                         "binary data, not text (byte " + Hex2(c) + " at offset " + std::to_string(i + raw.size() - text.size()) +
                             ")" +
                             (first == 0x05 || first == 0x06
                                  ? ": it begins as a report descriptor does (a Usage Page item); give --binary to read its raw bytes"
                                  : ": give --binary if it holds a raw report descriptor"));
    }
    return std::string(text);
}

namespace {
Paste ReadAnyPaste(std::string_view raw, const std::string &source);
}

Paste ReadPaste(std::string_view raw, const std::string &source) {
    Paste paste = ReadAnyPaste(raw, source);
    if (paste.bytes.size() > kMaxDescriptorBytes)
        throw InputError(source, 0,
                         "descriptor of " + std::to_string(paste.bytes.size()) + " bytes: a USB descriptor holds at most " +
                             std::to_string(kMaxDescriptorBytes));
    return paste;
}

namespace {
Paste ReadAnyPaste(std::string_view raw, const std::string &source) {
    RefuseCapture(raw, source);
    const std::string whole = PasteText(raw, source);
    const std::string_view text = whole;
    if (LooksLikeRecording(text)) {
        Recording recording = ParseRecording(text, source);
        return {PasteForm::Recording, std::move(recording.descriptor), {}};
    }
    const std::vector<Line> lines = SplitLines(text);
    const Line *first = nullptr;
    for (const Line &line : lines)
        if (!Trim(line.text).empty()) {
            first = &line;
            break;
        }
    if (!first) throw InputError(source, 0, "empty descriptor: no hex bytes found");
    std::string_view address, entity;
    if (UsbhidHeader(first->text, address, entity)) return ReadUsbhidDump(lines, source);
    if (const std::string_view literal = LiteralStart(text); !literal.empty()) {
        const int at = 1 + int(std::count(text.data(), literal.data(), '\n'));
        Bytes bytes = ReadLiterals(literal, source, at);
        if (bytes.empty()) throw InputError(source, 0, "empty descriptor: the string holds no bytes");
        return {PasteForm::BytesLiteral, std::move(bytes), {}};
    }
    if (OffsetShaped(TrimRight(first->text))) return ReadDump(lines, source);
    const std::string clean = BlankComments(text, source, 1);
    // Braces make a C array (its declaration may hold "[]"); brackets without them a list.
    // The text before the bytes can only be their declaration or assignment (`static const uint8_t
    // d[63] = {`, `rdesc: bytes = bytes([`, `const d = new Uint8Array([`): text of another shape that
    // holds a bracket (lsusb's "Usage Page, data= [ 0x01 ]") is none of the two.
    for (PasteForm form : {PasteForm::CArray, PasteForm::List}) {
        const char open = form == PasteForm::List ? '[' : '{';
        const size_t at = clean.find(open);
        if (at == std::string::npos) continue;
        const std::string_view declaration = std::string_view(clean).substr(0, at);
        const char *const allowed = form == PasteForm::List ? "_=(.: \t\r\n" : "_=()[]*.,\"' \t\r\n";
        if (!std::all_of(declaration.begin(), declaration.end(), [&](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || (c != 0 && std::strchr(allowed, c) != nullptr);
            }))
            continue;
        bool decimal = false;
        Paste paste{form, LanguageNumbers(clean, open, form == PasteForm::List ? ']' : '}', source, decimal), {}};
        if (paste.bytes.empty()) throw InputError(source, 0, std::string("empty descriptor: ") + PasteFormName(form) + " without bytes");
        if (decimal) paste.warnings.push_back(DecimalWarning(form));
        // xxd -i ends with "unsigned int NAME_len = N;": it must count the bytes read.
        if (const size_t len = clean.rfind("_len = "); form == PasteForm::CArray && len != std::string::npos && len > clean.rfind('}')) {
            unsigned long count = 0;
            if (std::sscanf(clean.c_str() + len + 7, "%lu", &count) == 1 && count != paste.bytes.size())
                throw InputError(source, 0,
                                 "the C array holds " + std::to_string(paste.bytes.size()) + " bytes but its length says " +
                                     std::to_string(count) + ": part of it is missing");
        }
        return paste;
    }
    try {
        return {PasteForm::HexText, HexWords(clean, source, 1), {}};
    } catch (const InputError &e) {
        if (e.line() == 0) throw;  // no bytes at all: no form to name
        if (e.message().rfind("\"*\" is not a hex byte", 0) == 0)
            throw InputError(e.source(), e.line(),
                             "a \"*\" line, which od and hexdump write for lines that repeat the line before, in a dump "
                             "without its offset column: nothing tells how many lines it stands for; give od -An -v -tx1, "
                             "or keep the offsets (od -Ax -tx1, hexdump -C)");
        // Text of nothing but hex digits and separators is hex text with a fault of its own (an odd
        // digit count, say): its message alone is true. Only other text is none of the forms.
        if (clean.find_first_not_of("0123456789abcdefABCDEFxX \t\r\n,;") == std::string::npos) throw;
        throw InputError(e.source(), e.line(),
                         e.message() + "; the text is none of the forms read (" + FirstLineOf(text) + "): " + kPasteFormsRead);
    }
}

}  // namespace

bool IsBytesLiteralLine(std::string_view line) { return !LiteralStart(line).empty(); }

Bytes ReadReportLine(std::string_view line, const std::string &source, int number) {
    if (IsBytesLiteralLine(line)) return ReadLiterals(LiteralStart(line), source, number);
    if (OffsetShaped(Trim(line)))
        throw InputError(source, number,
                         Quoted(Trim(line)) + " begins with what looks like a hex dump's offset column: write each report's "
                                              "bytes alone, one report a line");
    for (char open : {'[', '{'}) {
        if (line.find(open) == std::string_view::npos) continue;
        bool decimal = false;
        try {
            return LanguageNumbers(line, open, open == '[' ? ']' : '}', source, decimal);
        } catch (const InputError &e) {
            throw InputError(source, number, e.message());
        }
    }
    return HexWords(line, source, number);
}

void RefuseTextAsBinary(const Bytes &bytes, const std::string &source, const std::string &why) {
    if (bytes.empty() || !std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return (b >= 0x20 && b < 0x7f) || IsSpace(char(b)); }))
        return;
    const std::string_view text(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    try {
        const Paste paste = ReadPaste(text, source);
        throw InputError(source, 0,
                         "the file is text, " + std::string(PasteFormName(paste.form)) + " of " + std::to_string(paste.bytes.size()) +
                             " bytes, not raw bytes; it was read as raw bytes " + why);
    } catch (const InputError &e) {
        if (std::string_view(e.what()).find("the file is text") != std::string_view::npos) throw;
    }
}

}  // namespace hct_sim

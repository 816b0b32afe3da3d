#include "formats.h"

#include "paste.h"

#include <deque>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

namespace hct_sim {

namespace {

std::string Where(const std::string &source, int line) {
    return line > 0 ? source + ":" + std::to_string(line) : source;
}

// A folder opens as a stream that reads nothing: say what it is instead.
void RefuseFolder(const std::filesystem::path &path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw InputError(path.string(), 0, "a folder, not a file: name a file in it");
}


const char *CaptureFileKind(std::string_view head) {
    if (head.size() < 4) return nullptr;
    const uint32_t magic = uint32_t(uint8_t(head[0])) | uint32_t(uint8_t(head[1])) << 8 | uint32_t(uint8_t(head[2])) << 16 |
                           uint32_t(uint8_t(head[3])) << 24;
    switch (magic) {
    case 0xA1B2C3D4: case 0xD4C3B2A1: case 0xA1B23C4D: case 0x4D3CB2A1: return "pcap";
    case 0x0A0D0D0A: return "pcapng";
    default: return nullptr;
    }
}



// Replaces comments by blanks and keeps every line feed, so that positions still give line numbers.
std::string StripComments(std::string_view text, const std::string &source, int firstLine) {
    std::string out(text);
    int line = firstLine;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\n') {
            ++line;
        } else if (out[i] == '#' || (out[i] == '/' && i + 1 < out.size() && out[i + 1] == '/')) {
            while (i < out.size() && out[i] != '\n') out[i++] = ' ';
            --i;
        } else if (out[i] == '/' && i + 1 < out.size() && out[i + 1] == '*') {
            const int opened = line;
            size_t j = i + 2;
            while (j + 1 < out.size() && !(out[j] == '*' && out[j + 1] == '/')) ++j;
            if (j + 1 >= out.size()) throw InputError(source, opened, "comment \"/*\" is never closed");
            for (size_t k = i; k <= j + 1; ++k) {
                if (out[k] == '\n') ++line;
                else out[k] = ' ';
            }
            i = j + 1;
        }
    }
    return out;
}

// True when a "/*" in `text` from `from` on (outside line comments; `from` itself outside any
// comment) is not closed in it.
bool OpensBlockComment(std::string_view text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == '#' || (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/')) {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const size_t close = text.find("*/", i + 2);
            if (close == std::string_view::npos) return true;
            i = close + 1;
        }
    }
    return false;
}

// A pasted C array: what stands before the first '{' and after the last '}' is its declaration.
void BlankDeclaration(std::string &text) {
    const size_t open = text.find('{');
    if (open == std::string::npos) return;
    const size_t close = text.rfind('}');
    auto blank = [&](size_t from, size_t to) {
        for (size_t k = from; k < to && k < text.size(); ++k)
            if (text[k] != '\n') text[k] = ' ';
    };
    blank(0, open + 1);
    if (close != std::string::npos && close > open) blank(close, text.size());
}

bool IsSeparator(char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ';' || c == '{' || c == '}';
}

void AppendToken(std::string_view token, Bytes &out, const std::string &source, int line) {
    if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        std::string_view digits = token.substr(2);
        if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsHexDigit))
            throw InputError(source, line, "\"" + std::string(token) + "\" is not a hex byte");
        unsigned value = 0;
        for (char c : digits) {
            value = value * 16 + HexValue(c);
            if (value > 0xff)
                throw InputError(source, line, "\"" + std::string(token) + "\" is above 0xff: a byte is 0x00 to 0xff");
        }
        out.push_back(uint8_t(value));
        return;
    }
    if (std::any_of(token.begin(), token.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f; }))
        throw InputError(source, line, "binary data, not text: give --binary if the file holds a raw report descriptor");
    if (!std::all_of(token.begin(), token.end(), IsHexDigit))
        throw InputError(source, line, "\"" + std::string(token) + "\" is not a hex byte");
    if (token.size() % 2 != 0)
        throw InputError(source, line,
                         "odd number of hex digits in \"" + std::string(token) + "\": write each byte as two digits");
    for (size_t i = 0; i < token.size(); i += 2) out.push_back(uint8_t(HexValue(token[i]) * 16 + HexValue(token[i + 1])));
}

// Hex bytes of an already comment-free text, line numbers counted from firstLine.
Bytes HexBytes(std::string_view text, const std::string &source, int firstLine) {
    Bytes out;
    int line = firstLine;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\n') {
            ++line;
            ++i;
            continue;
        }
        if (IsSeparator(text[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && !IsSeparator(text[j])) ++j;
        AppendToken(text.substr(i, j - i), out, source, line);
        i = j;
    }
    return out;
}

bool IsBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

void CheckReport(const Bytes &report, const std::string &source, int line) {
    if (report.empty()) throw InputError(source, line, "report of no bytes");
    if (report.size() > kMaxReadReportBytes)
        throw InputError(source, line,
                         "report of " + std::to_string(report.size()) + " bytes: one interrupt transfer carries at most " +
                             std::to_string(kMaxReadReportBytes));
}

void CheckDescriptorSize(const Bytes &descriptor, const std::string &source, int line) {
    if (descriptor.size() > kMaxDescriptorBytes)
        throw InputError(source, line,
                         "descriptor of " + std::to_string(descriptor.size()) + " bytes: a USB descriptor holds at most " +
                             std::to_string(kMaxDescriptorBytes));
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == text.size()) break;
        start = end + 1;
    }
    return lines;
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        size_t j = i;
        while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j]))) ++j;
        if (j > i) words.push_back(text.substr(i, j - i));
        i = j;
    }
    return words;
}

bool ParseDecimal(std::string_view word, unsigned long &value) {
    if (word.empty() || word.size() > 9) return false;
    value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + unsigned(c - '0');
    }
    return true;
}

// "<len> <hex> ..." of an R: or E: line; the bytes must number <len>.
Bytes CountedBytes(const std::vector<std::string_view> &words, size_t first, const std::string &source, int line,
                   const char *what) {
    unsigned long count = 0;
    if (first >= words.size() || !ParseDecimal(words[first], count))
        throw InputError(source, line, std::string(what) + " needs a decimal byte count");
    Bytes bytes;
    for (size_t k = first + 1; k < words.size(); ++k) {
        if (words[k].size() != 2 || !IsHexDigit(words[k][0]) || !IsHexDigit(words[k][1]))
            throw InputError(source, line, "\"" + std::string(words[k]) + "\" is not a two-digit hex byte");
        bytes.push_back(uint8_t(HexValue(words[k][0]) * 16 + HexValue(words[k][1])));
    }
    if (bytes.size() != count)
        throw InputError(source, line,
                         std::string(what) + " announces " + std::to_string(count) + " bytes but holds " +
                             std::to_string(bytes.size()));
    return bytes;
}

bool IsTimestamp(std::string_view word) {
    const size_t dot = word.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == word.size()) return false;
    auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return digits(word.substr(0, dot)) && digits(word.substr(dot + 1));
}

std::string Rest(std::string_view line) {
    std::string_view rest = line.substr(2);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) rest.remove_prefix(1);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.remove_suffix(1);
    return std::string(rest);
}

}  // namespace

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') return unsigned(c - '0');
    return unsigned(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

InputError::InputError(std::string source, int line, const std::string &message)
    : std::runtime_error(Where(source, line) + ": " + message), source_(std::move(source)), line_(line), message_(message) {}

Bytes ParseHexDescriptor(std::string_view text, const std::string &source) {
    Bytes bytes = ReadPaste(text, source).bytes;
    CheckDescriptorSize(bytes, source, 0);
    return bytes;
}

Bytes HexWords(std::string_view commentFree, const std::string &source, int firstLine) {
    std::string text(commentFree);
    BlankDeclaration(text);
    Bytes bytes = HexBytes(text, source, firstLine);
    if (bytes.empty() && firstLine == 1) throw InputError(source, 0, "empty descriptor: no hex bytes found");
    return bytes;
}

std::string BlankComments(std::string_view text, const std::string &source, int firstLine) {
    return StripComments(text, source, firstLine);
}

namespace {

// The reports of text whose comments are stripped, its first line numbered `number`.
void ReportsOfLines(std::string_view clean, const std::string &source, int number, std::deque<Bytes> &out) {
    for (std::string_view line : Lines(clean)) {
        if (!IsBlank(line)) {
            Bytes report = ReadReportLine(line, source, number);
            CheckReport(report, source, number);
            out.push_back(std::move(report));
        }
        ++number;
    }
}

// UTF-16 code units (no byte-order mark) as UTF-8.
std::string Utf8OfUtf16(std::string_view raw, bool little, const std::string &source) {
    const auto u = [&](size_t i) { return uint32_t(static_cast<unsigned char>(raw[i])); };
    const auto unit = [&](size_t i) { return little ? u(i) | u(i + 1) << 8 : u(i) << 8 | u(i + 1); };
    if (raw.size() % 2 != 0) throw InputError(source, 0, "UTF-16 text of an odd number of bytes: its last character is cut");
    std::string out;
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xE000) {  // a surrogate pair
            if (c >= 0xDC00 || i + 3 >= raw.size() || unit(i + 2) < 0xDC00 || unit(i + 2) >= 0xE000)
                throw InputError(source, 0, "UTF-16 text with a broken surrogate pair");
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> FromUtf16(std::string_view raw, const std::string &source) {
    if (raw.size() < 2) return std::nullopt;
    const unsigned char a = static_cast<unsigned char>(raw[0]), b = static_cast<unsigned char>(raw[1]);
    if (!((a == 0xFF && b == 0xFE) || (a == 0xFE && b == 0xFF))) return std::nullopt;
    return Utf8OfUtf16(raw.substr(2), a == 0xFF, source);
}

namespace {

// A file of reports that is a capture: named, with what replays it.
void RefuseCaptureAsReports(std::string_view head, const std::string &source) {
    if (const char *kind = CaptureFileKind(head))
        throw InputError(source, 0,
                         std::string("a ") + kind + " capture, not a file of reports: hct-sim run --capture " + source +
                             " replays the reports it holds");
}

}  // namespace

// ---- files read a line at a time ----------------------------------------------------------------
struct LineFile {
    std::ifstream in;
    std::string source;
    uint64_t size = 0;
    int number = 0;  // lines read
    int utf16 = 0;   // 1 little endian, 2 big endian (the file began with that byte-order mark)
    std::string raw;
    explicit LineFile(const std::filesystem::path &path) : in(path, std::ios::binary), source(path.string()) {
        RefuseFolder(path);
        if (!in) throw InputError(source, 0, std::string("cannot open: ") + std::strerror(errno ? errno : ENOENT));
        std::error_code error;
        size = std::filesystem::file_size(path, error);
        if (error) size = 0;
        char mark[2] = {0, 0};
        if (in.read(mark, 2) && ((mark[0] == '\xFF' && mark[1] == '\xFE') || (mark[0] == '\xFE' && mark[1] == '\xFF')))
            utf16 = mark[0] == '\xFF' ? 1 : 2;
        else {
            in.clear();
            in.seekg(0);
        }
    }
    bool Next(std::string &line) {
        if (utf16 != 0) {
            raw.clear();
            char unit[2];
            bool any = false;
            while (true) {
                in.read(unit, 2);
                if (in.gcount() == 1) throw InputError(source, 0, "UTF-16 text of an odd number of bytes: its last character is cut");
                if (in.gcount() == 0) break;
                any = true;
                const char low = utf16 == 1 ? unit[0] : unit[1], high = utf16 == 1 ? unit[1] : unit[0];
                if (low == '\n' && high == 0) break;
                raw.append(unit, 2);
            }
            if (!any) {
                if (in.bad()) throw InputError(source, 0, "cannot read");
                return false;
            }
            line = Utf8OfUtf16(raw, utf16 == 1, source);
        } else if (!std::getline(in, line)) {
            if (in.bad()) throw InputError(source, 0, "cannot read");
            return false;
        }
        ++number;
        if (number == 1 && WithoutByteOrderMark(line).size() != line.size()) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
    uint64_t Position() {
        const auto at = in.tellg();
        return at < 0 ? size : uint64_t(at);
    }
};

// The lines of a text in memory, handed out as LineFile hands out a file's: a UTF-16 text a line
// at a time as well, each converted when it is handed out.
struct TextLines {
    std::vector<std::string_view> lines;
    std::string source;
    int utf16 = 0;  // as LineFile's
    size_t at = 0;
    int number = 0;
    bool Next(std::string &line) {
        if (at >= lines.size()) return false;
        const std::string_view piece = lines[at++];
        if (utf16 != 0) {
            if (piece.size() % 2 != 0) throw InputError(source, 0, "UTF-16 text of an odd number of bytes: its last character is cut");
            line = Utf8OfUtf16(piece, utf16 == 1, source);
            if (!line.empty() && line.back() == '\r') line.pop_back();
        } else {
            line.assign(piece);
        }
        ++number;
        if (number == 1 && WithoutByteOrderMark(line).size() != line.size()) line.erase(0, 3);
        return true;
    }
};

// A text's lines to be read as a file's are.
TextLines LinesOf(std::string_view text, const std::string &source) {
    TextLines lines{{}, source};
    const unsigned char a = text.size() >= 2 ? static_cast<unsigned char>(text[0]) : 0, b = text.size() >= 2 ? static_cast<unsigned char>(text[1]) : 0;
    if ((a == 0xFF && b == 0xFE) || (a == 0xFE && b == 0xFF)) {
        lines.utf16 = a == 0xFF ? 1 : 2;
        size_t start = 2, i = 2;
        for (; i + 1 < text.size(); i += 2) {
            const char low = lines.utf16 == 1 ? text[i] : text[i + 1], high = lines.utf16 == 1 ? text[i + 1] : text[i];
            if (low == '\n' && high == 0) {
                lines.lines.push_back(text.substr(start, i - start));
                start = i + 2;
            }
        }
        if (start < text.size()) lines.lines.push_back(text.substr(start));
    } else {
        lines.lines = Lines(text);
        if (!text.empty() && text.back() == '\n') lines.lines.pop_back();  // as getline ends
    }
    return lines;
}

namespace {

// Reads lines from `file` until some report is ready: a b'' literal line whole ('#' and "//" are
// bytes in it), else the line with any "/*" comment that runs over the lines after it. A line
// wholly inside the comment is kept as its bare line feed (the lines after it keep their numbers),
// and each line is looked at once: a long commented-out block costs a byte a line.
template <typename Lines>
bool ReadReports(Lines &file, std::string &line, std::string &chunk, std::deque<Bytes> &ready) {
    while (ready.empty()) {
        if (!file.Next(line)) return false;
        const int first = file.number;
        if (IsBytesLiteralLine(line)) {
            Bytes report = ReadReportLine(line, file.source, first);
            CheckReport(report, file.source, first);
            ready.push_back(std::move(report));
            break;
        }
        chunk = line;
        bool open = OpensBlockComment(chunk, 0);
        while (open && file.Next(line)) {
            chunk += '\n';
            const size_t close = line.find("*/");
            if (close == std::string::npos) continue;
            const size_t after = chunk.size() + close + 2;
            chunk += line;
            open = OpensBlockComment(chunk, after);
        }
        ReportsOfLines(StripComments(chunk, file.source, first), file.source, first, ready);
    }
    return true;
}

}  // namespace

std::vector<Bytes> ParseReportLines(std::string_view text, const std::string &source) {
    RefuseCaptureAsReports(text, source);
    TextLines lines = LinesOf(text, source);
    std::deque<Bytes> ready;
    std::vector<Bytes> found;
    std::string line, chunk;
    while (ReadReports(lines, line, chunk, ready)) {
        found.push_back(std::move(ready.front()));
        ready.pop_front();
    }
    if (found.empty()) throw InputError(source, 0, "no reports: write one report per line, as hex bytes");
    return found;
}

struct ReportFile::State {
    explicit State(const std::filesystem::path &path) : file(path) {}
    LineFile file;
    std::deque<Bytes> ready;  // parsed, not yet handed out (a comment block of several lines)
    std::string chunk;
    std::string line;
};

// A capture is named as one before its first line is read, by every reader of the file: the scan
// and the replay after it refuse it alike.
ReportFile::ReportFile(const std::filesystem::path &path) {
    {
        std::ifstream head(path, std::ios::binary);
        char bytes[4] = {};
        head.read(bytes, 4);
        RefuseCaptureAsReports(std::string_view(bytes, size_t(head.gcount())), path.string());
    }
    state_ = std::make_unique<State>(path);
}
ReportFile::~ReportFile() = default;

bool ReportFile::Next(Bytes &report) {
    State &s = *state_;
    if (!ReadReports(s.file, s.line, s.chunk, s.ready)) return false;
    report.swap(s.ready.front());
    s.ready.pop_front();
    return true;
}

uint64_t ReportFile::Position() const { return state_->file.Position(); }
uint64_t ReportFile::Size() const { return state_->file.size; }

ReportFileFacts ScanReportFile(const std::filesystem::path &path) {
    ReportFile file(path);
    ReportFileFacts facts;
    for (Bytes report; file.Next(report);) {
        ++facts.count;
        facts.longest = std::max(facts.longest, report.size());
    }
    if (facts.count == 0) throw InputError(path.string(), 0, "no reports: write one report per line, as hex bytes");
    return facts;
}

Bytes ParseReportWord(std::string_view text, const std::string &source) {
    Bytes report = IsBytesLiteralLine(text) ? ReadReportLine(text, source, 0)
                                            : ReadReportLine(StripComments(text, source, 1), source, 0);
    CheckReport(report, source, 0);
    return report;
}

namespace {

RecordedDevice *FindDevice(RecordingState &state, long index) {
    for (RecordedDevice &d : state.devices)
        if (d.index == index) return &d;
    return nullptr;
}

// One line of a recording; an E: report of the recording's device goes to `report` (true returned).
bool RecordingLine(std::string_view line, int number, const std::string &source, RecordingState &state, Recording &recording,
                   Bytes &report) {
    if (IsBlank(line) || line.front() == '#') return false;
    if (line.size() < 2 || line[1] != ':' || (line.size() > 2 && line[2] != ' ' && line[2] != '\t'))
        throw InputError(source, number, "not a recording line: expected \"R:\", \"E:\", \"N:\", \"P:\", \"I:\", \"D:\" or \"#\"");
    const auto words = Words(line.substr(2));
    long &device = state.device;
    long &chosen = state.chosen;
    const bool mine = chosen < 0 ? (state.wanted < 0 || device == state.wanted) : device == chosen;
    switch (line[0]) {
    case 'D': {
        unsigned long index = 0;
        if (words.size() != 1 || !ParseDecimal(words[0], index))
            throw InputError(source, number, "D: needs one decimal device index");
        device = long(index);
        break;
    }
    case 'R': {
        Bytes descriptor = CountedBytes(words, 0, source, number, "R:");
        if (descriptor.empty()) throw InputError(source, number, "empty descriptor");
        CheckDescriptorSize(descriptor, source, number);
        if (FindDevice(state, device)) throw InputError(source, number, "a second R: line for the same device");
        if (state.devices.size() >= kMaxRecordedDevices)
            throw InputError(source, number, "more than " + std::to_string(kMaxRecordedDevices) + " devices in one recording");
        state.devices.push_back({device, {}, {}, 0});
        if (chosen < 0 && mine) {
            chosen = device;
            recording.descriptor = std::move(descriptor);
            recording.device = device;
        }
        break;
    }
    case 'E': {
        if (words.empty() || !IsTimestamp(words[0]))
            throw InputError(source, number, "E: needs a time stamp <sec>.<usec>");
        report = CountedBytes(words, 1, source, number, "E:");
        RecordedDevice *of = FindDevice(state, device);
        if (!of) throw InputError(source, number, "E: before the R: line of its device");
        ++of->reports;
        if (device != chosen) {
            ++recording.skippedReports;
            break;
        }
        CheckReport(report, source, number);
        ++recording.reportCount;
        recording.longestReport = std::max(recording.longestReport, report.size());
        state.timestamp = words[0];
        return true;
    }
    case 'N':
        if (RecordedDevice *of = FindDevice(state, device)) of->name = Rest(line);
        if (mine) recording.name = Rest(line);
        break;
    case 'P':
        if (mine) recording.physicalPath = Rest(line);
        break;
    case 'I': {
        if (words.size() != 3 || !std::all_of(words.begin(), words.end(), [](std::string_view w) {
                return !w.empty() && std::all_of(w.begin(), w.end(), IsHexDigit);
            }))
            throw InputError(source, number, "I: needs three hex numbers: bus vendor product");
        if (RecordedDevice *of = FindDevice(state, device)) of->ids = Rest(line);
        if (mine) recording.ids = Rest(line);
        break;
    }
    default:
        throw InputError(source, number,
                         std::string("unknown line type \"") + line[0] + ":\" (known: R: E: N: P: I: D: and #)");
    }
    return false;
}

// The end of a recording: the device asked for must be there, and one device must have an R: line.
void FinishRecording(RecordingState &state, Recording &recording, const std::string &source) {
    recording.devices = std::move(state.devices);
    if (state.wanted >= 0 && state.chosen != state.wanted) {
        std::string list;
        for (const RecordedDevice &d : recording.devices)
            list += (list.empty() ? "" : ", ") + std::to_string(d.index) + (d.name.empty() ? "" : " (" + d.name + ")");
        throw InputError(source, 0,
                         "the recording holds no device " + std::to_string(state.wanted) +
                             (list.empty() ? "" : ": its devices are " + list));
    }
    if (recording.descriptor.empty()) throw InputError(source, 0, "no R: line: the recording holds no report descriptor");
}

}  // namespace

Recording ParseRecording(std::string_view text, const std::string &source, long device) {
    TextLines lines = LinesOf(text, source);  // as the file read a line at a time is read
    Recording recording;
    RecordingState state;
    state.wanted = device;
    Bytes report;
    for (std::string line; lines.Next(line);) {
        if (RecordingLine(line, lines.number, source, state, recording, report)) {
            recording.reports.push_back(std::move(report));
            recording.timestamps.emplace_back(state.timestamp);
        }
    }
    FinishRecording(state, recording, source);
    return recording;
}

struct RecordingFile::State {
    explicit State(const std::filesystem::path &path) : file(path) {}
    LineFile file;
    RecordingState parse;
    Recording facts;
    std::string line;
};

RecordingFile::RecordingFile(const std::filesystem::path &path, long device) : state_(std::make_unique<State>(path)) {
    state_->parse.wanted = device;
}
RecordingFile::~RecordingFile() = default;

bool RecordingFile::Next(Bytes &report) {
    State &s = *state_;
    while (s.file.Next(s.line))
        if (RecordingLine(s.line, s.file.number, s.file.source, s.parse, s.facts, report)) return true;
    return false;
}

uint64_t RecordingFile::Position() const { return state_->file.Position(); }
uint64_t RecordingFile::Size() const { return state_->file.size; }

Recording ScanRecording(const std::filesystem::path &path, long device) {
    RecordingFile file(path, device);
    for (Bytes report; file.Next(report);) {
    }
    Recording recording = std::move(file.state_->facts);
    FinishRecording(file.state_->parse, recording, path.string());
    return recording;
}

bool LooksLikeRecording(std::string_view text) {
    for (std::string_view line : Lines(text)) {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.size() >= 2 && line[1] == ':' && std::string_view("REDNPI").find(line[0]) != std::string_view::npos)
            return true;
    }
    return false;
}

std::string ReadFileText(const std::filesystem::path &path) {
    RefuseFolder(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path.string(), 0, std::string("cannot open: ") + std::strerror(errno ? errno : ENOENT));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw InputError(path.string(), 0, "cannot read");
    return text.str();
}

Bytes ReadFileBytes(const std::filesystem::path &path) {
    const std::string text = ReadFileText(path);
    return Bytes(text.begin(), text.end());
}

bool IsBinaryDescriptorName(const std::filesystem::path &path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".bin" || ext == ".rdesc";
}

Bytes LoadDescriptor(const std::filesystem::path &path, bool binary) {
    if (binary || IsBinaryDescriptorName(path)) {
        Bytes bytes = ReadFileBytes(path);
        RefuseCapture(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), path.string());
        if (bytes.empty()) throw InputError(path.string(), 0, "empty descriptor: the file has no bytes");
        RefuseTextAsBinary(bytes, path.string(),
                           binary ? "as --binary asks: leave out --binary"
                                  : "for its name ends in " + path.extension().string() + ": rename it (to .txt) to have it read as text");
        CheckDescriptorSize(bytes, path.string(), 0);
        return bytes;
    }
    return ParseHexDescriptor(ReadFileText(path), path.string());
}

std::vector<Warning> DescriptorWarnings(const Bytes &d) {
    std::vector<Warning> warnings;
    size_t open = 0;  // collections not yet closed
    size_t pos = 0;
    bool walked = true;  // the driver's walk has not ended yet
    auto hex = [](uint8_t prefix) { return std::string("0x") + "0123456789abcdef"[prefix >> 4] + "0123456789abcdef"[prefix & 15]; };
    while (pos < d.size()) {
        const uint8_t prefix = d[pos];
        static constexpr size_t kDataBytes[4] = {0, 1, 2, 4};
        // A long item: its prefix, a size byte, a tag byte and that many data bytes.
        const size_t length = prefix == 0xFE ? (pos + 1 < d.size() ? 3 + size_t(d[pos + 1]) : 3) : 1 + kDataBytes[prefix & 3];
        if (walked && prefix != 0xFE && ((prefix >> 2) & 3) == 3) {
            walked = false;
            const size_t after = d.size() - std::min(d.size(), pos + 1);
            warnings.push_back({"walk-ends-at-reserved-item",
                                "byte " + std::to_string(pos) + " (" + hex(prefix) + ") is a reserved item: the driver's walk ends there, and the " +
                                    std::to_string(after) + (after == 1 ? " byte after it adds" : " bytes after it add") + " nothing to the layout"});
        }
        if (pos + length > d.size()) {
            if (walked)
                warnings.push_back({"descriptor-cut-off", "the descriptor is cut off inside its last item: byte " + std::to_string(pos) + " (" +
                                                              hex(prefix) + ") begins an item of " + std::to_string(length) + " bytes, and " +
                                                              std::to_string(d.size() - pos) + (d.size() - pos == 1 ? " is" : " are") + " there"});
            break;
        }
        if (prefix != 0xFE && ((prefix >> 2) & 3) == 0) {
            if ((prefix >> 4) == 0xA) ++open;
            else if ((prefix >> 4) == 0xC && open != 0) --open;
        }
        pos += length;
    }
    if (open != 0)
        warnings.push_back({"collections-not-closed", std::to_string(open) + (open == 1 ? " collection is" : " collections are") +
                                                          " never closed: the descriptor has no End Collection for " + (open == 1 ? "it" : "them")});
    return warnings;
}

std::string_view WithoutByteOrderMark(std::string_view text) {
    return text.substr(0, 3) == "\xEF\xBB\xBF" ? text.substr(3) : text;
}


void RefuseCapture(std::string_view head, const std::string &source) {
    if (const char *kind = CaptureFileKind(head))
        throw InputError(source, 0, std::string("a ") + kind + " capture, not a report descriptor: use hct-sim run --capture " + source);
}

std::vector<InputReportShape> InputReportShapes(const Bytes &descriptor) {
    struct Globals {
        uint32_t size = 0;
        uint32_t count = 0;
        unsigned id = 0;
    };
    Globals now;
    std::vector<Globals> stack;
    std::vector<unsigned> order;
    std::map<unsigned, uint64_t> bits;
    std::map<unsigned, std::vector<std::pair<uint64_t, uint64_t>>> stretches;
    uint64_t counted = 0;  // Input bits of all reports so far
    size_t pos = 0;
    while (pos < descriptor.size()) {
        const uint8_t prefix = descriptor[pos];
        if (prefix == 0xFE) {
            if (pos + 1 >= descriptor.size()) break;
            pos += 3 + size_t(descriptor[pos + 1]);
            continue;
        }
        static constexpr size_t kDataBytes[4] = {0, 1, 2, 4};
        const size_t length = kDataBytes[prefix & 3];
        if (pos + 1 + length > descriptor.size()) break;
        uint32_t value = 0;
        for (size_t k = 0; k < length; ++k) value |= uint32_t(descriptor[pos + 1 + k]) << (8 * k);
        const unsigned type = (prefix >> 2) & 3;
        const unsigned tag = prefix >> 4;
        if (type == 1) {
            switch (tag) {
            case 0x7: now.size = value; break;
            case 0x9: now.count = value; break;
            case 0x8: now.id = value; break;
            case 0xA: stack.push_back(now); break;
            case 0xB:
                if (!stack.empty()) {
                    now = stack.back();
                    stack.pop_back();
                }
                break;
            default: break;
            }
        } else if (type == 0 && tag == 0x8) {
            if (!bits.count(now.id)) order.push_back(now.id);
            const uint64_t n = uint64_t(now.size) * now.count;
            bits[now.id] += n;
            auto &mine = stretches[now.id];
            if (n != 0 && !mine.empty() && mine.back().first + mine.back().second == counted) mine.back().second += n;
            else if (n != 0) mine.emplace_back(counted, n);
            counted += n;
        }
        pos += 1 + length;
    }
    std::vector<InputReportShape> shapes;
    for (unsigned id : order) {
        const uint64_t b = std::min<uint64_t>(bits[id], UINT32_MAX - 8);
        shapes.push_back({id, uint32_t(b), uint32_t((b + 7) / 8 + (id != 0 ? 1 : 0)), std::move(stretches[id])});
    }
    return shapes;
}

}  // namespace hct_sim

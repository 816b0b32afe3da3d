// Input formats of hct-sim: report descriptors and input reports as people paste them (hex text, C
// arrays, raw binary) and hid-recorder recordings. Pure functions over text and bytes; every failure
// is an InputError that names the file and the line.
#pragma once

#include "warning.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hct_sim {

using Bytes = std::vector<uint8_t>;

// The driver looks at completed input reports of 1 to 32 bytes only; longer ones it passes on
// unexamined.
inline constexpr size_t kMaxReportBytes = 32;
// The longest report read: the most one interrupt transfer carries (4 MB).
inline constexpr size_t kMaxReadReportBytes = 4194304;
// The class driver asks for the report descriptor with a 16-bit wLength.
inline constexpr size_t kMaxDescriptorBytes = 0xFFFF;

// Bad input: what() reads "source:line: message", or "source: message" when the fault is the
// whole file (line 0).
class InputError : public std::runtime_error {
public:
    InputError(std::string source, int line, const std::string &message);
    const std::string &source() const { return source_; }
    int line() const { return line_; }
    const std::string &message() const { return message_; }  // without "source:line: "

private:
    std::string source_;
    int line_;
    std::string message_;
};

// A descriptor pasted in any form the paste reader knows (paste.h): its bytes. Throws on a text
// that is none of them, and on an empty result.
Bytes ParseHexDescriptor(std::string_view text, const std::string &source);

// Hex text: "05 01 09 02", "0x05 0x01", "05010902", any whitespace and commas: the bytes of a text
// whose comments are blanked, its first line numbered `firstLine`. Throws on an odd digit count, a
// byte above 0xff, anything that is not hex, and on an empty result.
Bytes HexWords(std::string_view commentFree, const std::string &source, int firstLine);
// The text with "//", "#" and "/* */" comments replaced by blanks, line feeds kept.
std::string BlankComments(std::string_view text, const std::string &source, int firstLine);

// One report per non-blank line, each line hex bytes, a C array, a list or a b'' literal. Throws on
// a line that holds no byte, a report longer than one interrupt transfer carries, and a text
// without any report.
std::vector<Bytes> ParseReportLines(std::string_view text, const std::string &source);

// One report given as a command-line word ("00 05 fb 00 01" or "0005fb0001").
Bytes ParseReportWord(std::string_view text, const std::string &source);

// A recording in the hid-recorder format: "R: <len> <hex>" the report descriptor, "E: <sec>.<usec>
// <len> <hex>" an input report, "N:" name, "P:" physical path, "I:" bus vendor product, "D:" device
// index, "#" comments. One device of a recording is kept (the first with an R: line unless another
// is asked for); events of the others are skipped and counted, and every device is listed.
struct RecordedDevice {
    long index = 0;  // its "D:" number
    std::string name;
    std::string ids;
    size_t reports = 0;  // its E: lines
};
// A recording names at most this many devices; more are refused.
inline constexpr size_t kMaxRecordedDevices = 256;
struct Recording {
    long device = 0;  // the index of the device kept
    std::vector<RecordedDevice> devices;  // every device with an R: line, in the order they came
    Bytes descriptor;
    std::vector<Bytes> reports;
    std::vector<std::string> timestamps;  // "sec.usec", as written, one per report
    std::string name;
    std::string physicalPath;
    std::string ids;  // "bus vendor product", as written
    size_t skippedReports = 0;  // E: lines of other devices
    size_t reportCount = 0;     // E: lines of its device (reports holds them unless scanned)
    size_t longestReport = 0;
};
// `device`: the "D:" index of the device to keep, or -1 for the first (the default).
Recording ParseRecording(std::string_view text, const std::string &source, long device = -1);

// ---- files read a line at a time: memory stays the same whatever their length ----
// The reports of a file in the form ParseReportLines reads, one at a time.
class ReportFile {
public:
    explicit ReportFile(const std::filesystem::path &path);
    ~ReportFile();
    bool Next(Bytes &report);  // false after the last one; InputError on a bad line
    uint64_t Position() const;  // bytes read
    uint64_t Size() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
struct ReportFileFacts {
    size_t count = 0;
    size_t longest = 0;
};
// Reads the whole file once: every line checked, the reports counted (throws without any).
ReportFileFacts ScanReportFile(const std::filesystem::path &path);

// The E: reports of a recording's device, one at a time.
struct RecordingState {
    long device = 0;   // the device the lines below belong to ("D:")
    long wanted = -1;  // the device asked for (-1: the first)
    long chosen = -1;  // the device whose descriptor was kept
    std::vector<RecordedDevice> devices;  // every one seen with an R: line
    std::string timestamp;  // of the latest report
};
class RecordingFile {
public:
    explicit RecordingFile(const std::filesystem::path &path, long device = -1);
    ~RecordingFile();
    bool Next(Bytes &report);
    uint64_t Position() const;
    uint64_t Size() const;

private:
    friend Recording ScanRecording(const std::filesystem::path &path, long device);
    struct State;
    std::unique_ptr<State> state_;
};
// Reads the whole recording once: its descriptor, name and counts, no reports kept.
Recording ScanRecording(const std::filesystem::path &path, long device = -1);
// True when some line begins with a recording tag ("R:", "E:", "N:", "P:", "I:", "D:"); such a
// line is never valid hex text.
bool LooksLikeRecording(std::string_view text);

// File access. A missing or unreadable file is an InputError with line 0.
std::string ReadFileText(const std::filesystem::path &path);
Bytes ReadFileBytes(const std::filesystem::path &path);
// ".bin" and ".rdesc" files hold raw descriptor bytes.
bool IsBinaryDescriptorName(const std::filesystem::path &path);
// Reads a descriptor file as raw bytes (binary) or hex text; throws on an empty descriptor, on a
// pcap or pcapng capture, naming it, and on hex text read as raw bytes.
Bytes LoadDescriptor(const std::filesystem::path &path, bool binary);
// What a descriptor leaves unfinished: a reserved item that ends the driver's walk, its last item
// cut off (when the walk gets that far), collections never closed. Empty when none.
std::vector<Warning> DescriptorWarnings(const Bytes &descriptor);
// A hex digit of either case, and its value (the readers of every text form share them).
bool IsHexDigit(char c);
unsigned HexValue(char c);

// A text that begins with a UTF-16 byte-order mark, as UTF-8; nothing for any other text.
std::optional<std::string> FromUtf16(std::string_view raw, const std::string &source);
// The text without the UTF-8 byte-order mark some editors put in front.
std::string_view WithoutByteOrderMark(std::string_view text);
// A descriptor file that begins as a pcap or pcapng file does: an InputError saying so and what
// replays it.
void RefuseCapture(std::string_view head, const std::string &source);

// What the device will really send: one input report per Report ID (ID 0: the descriptor has no
// Report ID item before the Input item), its Input bits summed by the HID item rules (Report Size and
// Report Count with all their data bytes, Push and Pop), plus the ID byte in front when the ID is
// not 0.
struct InputReportShape {
    unsigned reportId;
    uint32_t bits;   // Input bits, the ID byte not counted
    uint32_t bytes;  // bytes on the wire: bits rounded up, plus 1 for a Report ID
    // Where its Input bits lie when the Input bits of all reports are counted one after the other
    // in the descriptor's order, as the driver counts them: (first bit, bits) of each stretch.
    std::vector<std::pair<uint64_t, uint64_t>> stretches = {};
};
std::vector<InputReportShape> InputReportShapes(const Bytes &descriptor);

}  // namespace hct_sim

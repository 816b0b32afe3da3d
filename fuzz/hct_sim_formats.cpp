// Fuzzes hct-sim's text readers: the paste reader (every form a descriptor is pasted in: hex text,
// C arrays, lists, b'' literals, the hex dumps of Wireshark, od, hexdump -C and xxd, usbhid-dump
// output, UTF-16 text), report lines, single report words, and hid-recorder recordings. Bad input may only end in an InputError naming the source; what
// a reader accepts must respect its limits, and whatever it accepts is fed to the layout shapes as
// the tool does.
//
// The readers of files a line at a time (ReportFile and ScanReportFile, RecordingFile and
// ScanRecording) are run against the whole-text parsers on the same text, written to a file of
// this process: they must hand out exactly the same reports, or both refuse the text.
#include "fuzz_check.h"

#include "tools/hct-sim/formats.h"
#include "tools/hct-sim/paste.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

const std::string kSource = "fuzz.txt";

void CheckError(const hct_sim::InputError &e, const std::string &source = kSource)
{
    FUZZ_CHECK(e.source() == source);
    FUZZ_CHECK(e.line() >= 0);
    FUZZ_CHECK(std::string_view(e.what()).substr(0, source.size()) == source);
}

template <typename Fn>
void Guarded(Fn fn)
{
    try {
        fn();
    } catch (const hct_sim::InputError &e) {
        CheckError(e);
    }
}

// An error as the reader reported it: its line, and its message without the "source:line: " the
// two paths write differently.
struct Refusal {
    int line;
    std::string message;
};

Refusal RefusalOf(const hct_sim::InputError &e, const std::string &source)
{
    CheckError(e, source);
    const std::string where = e.line() > 0 ? source + ":" + std::to_string(e.line()) + ": " : source + ": ";
    const std::string_view what(e.what());
    FUZZ_CHECK(what.substr(0, where.size()) == where);
    return {e.line(), std::string(what.substr(where.size()))};
}

// The file the line-at-a-time readers read: one per process, rewritten for each input, removed at
// exit. Its name is kept in plain storage: the removal runs after static objects are destroyed.
char gTextFileName[64];

void RemoveTextFile()
{
    std::remove(gTextFileName);
}

const std::filesystem::path &TextFile()
{
    static const std::filesystem::path path = [] {
        const std::string name = (std::filesystem::temp_directory_path() / "hct-sim-fuzz-XXXXXX").string();
        FUZZ_CHECK(name.size() < sizeof gTextFileName);
        std::copy(name.begin(), name.end(), gTextFileName);
        const int fd = mkstemp(gTextFileName);
        FUZZ_CHECK(fd >= 0);
        close(fd);
        std::atexit(RemoveTextFile);
        return std::filesystem::path(gTextFileName);
    }();
    return path;
}

const std::filesystem::path &WriteTextFile(std::string_view text)
{
    const std::filesystem::path &path = TextFile();
    std::FILE *f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), f) == text.size());
    FUZZ_CHECK(std::fclose(f) == 0);
    return path;
}

// Both refuse: the same fault, at the same line.
void CheckSameRefusal(const Refusal &whole, const Refusal &streamed)
{
    FUZZ_CHECK(streamed.line == whole.line);
    FUZZ_CHECK(streamed.message == whole.message);
}

// The reports a line-at-a-time reader hands out until its end, or the refusal that stopped it.
template <typename Reader>
std::pair<std::vector<hct_sim::Bytes>, std::optional<Refusal>> Stream(const std::filesystem::path &path,
                                                                      const std::string &source)
{
    std::vector<hct_sim::Bytes> streamed;
    try {
        Reader file(path);
        for (hct_sim::Bytes report; file.Next(report);) {
            FUZZ_CHECK(!report.empty() && report.size() <= hct_sim::kMaxReadReportBytes);
            streamed.push_back(report);
        }
        hct_sim::Bytes after;
        FUZZ_CHECK(!file.Next(after));  // the end stays the end
        FUZZ_CHECK(file.Position() == file.Size());
    } catch (const hct_sim::InputError &e) {
        return {std::move(streamed), RefusalOf(e, source)};
    }
    return {std::move(streamed), std::nullopt};
}

// A --reports file: the scan the tool runs first (every line checked, reports counted), then the
// reports handed out one at a time, against ParseReportLines on the same text.
void CheckReportFile(std::string_view text)
{
    // The whole text is named as the file is: a message may name its source again (what to run on
    // it instead).
    const std::filesystem::path &path = WriteTextFile(text);
    const std::string source = path.string();
    std::optional<std::vector<hct_sim::Bytes>> whole;
    std::optional<Refusal> wholeRefusal;
    try {
        whole = hct_sim::ParseReportLines(text, source);
    } catch (const hct_sim::InputError &e) {
        wholeRefusal = RefusalOf(e, source);
    }
    std::optional<hct_sim::ReportFileFacts> facts;
    std::optional<Refusal> scanRefusal;
    try {
        facts = hct_sim::ScanReportFile(path);
    } catch (const hct_sim::InputError &e) {
        scanRefusal = RefusalOf(e, source);
    }
    const auto [streamed, streamRefusal] = Stream<hct_sim::ReportFile>(path, source);

    if (whole) {
        FUZZ_CHECK(facts && !streamRefusal);
        FUZZ_CHECK(streamed == *whole);
        FUZZ_CHECK(facts->count == whole->size());
        size_t longest = 0;
        for (const auto &r : *whole) longest = std::max(longest, r.size());
        FUZZ_CHECK(facts->longest == longest);
        return;
    }
    FUZZ_CHECK(scanRefusal.has_value());
    // The replay after a scan that passed cannot fail; after one that failed it fails where the
    // scan did (or, a text without any report, hands out nothing and the scan names the file).
    if (streamRefusal) {
        CheckSameRefusal(*scanRefusal, *streamRefusal);
    } else {
        FUZZ_CHECK(scanRefusal->line == 0 && streamed.empty());
    }
    // ParseReportLines reads the lines in order as the file is read: the same fault, at the same line.
    CheckSameRefusal(*wholeRefusal, *scanRefusal);
}

// A --recording file: the scan (descriptor, name, counts; no reports kept), then its device's
// reports one at a time, against ParseRecording on the same text.
void CheckRecordingFile(std::string_view text)
{
    const std::filesystem::path &path = WriteTextFile(text);
    const std::string source = path.string();
    std::optional<hct_sim::Recording> whole;
    std::optional<Refusal> wholeRefusal;
    try {
        whole = hct_sim::ParseRecording(text, source);
    } catch (const hct_sim::InputError &e) {
        wholeRefusal = RefusalOf(e, source);
    }
    std::optional<hct_sim::Recording> scanned;
    std::optional<Refusal> scanRefusal;
    try {
        scanned = hct_sim::ScanRecording(path);
    } catch (const hct_sim::InputError &e) {
        scanRefusal = RefusalOf(e, source);
    }
    const auto [streamed, streamRefusal] = Stream<hct_sim::RecordingFile>(path, source);

    if (whole) {
        FUZZ_CHECK(scanned && !streamRefusal);
        FUZZ_CHECK(scanned->reports.empty() && scanned->timestamps.empty());
        FUZZ_CHECK(scanned->descriptor == whole->descriptor);
        FUZZ_CHECK(scanned->name == whole->name);
        FUZZ_CHECK(scanned->physicalPath == whole->physicalPath);
        FUZZ_CHECK(scanned->ids == whole->ids);
        FUZZ_CHECK(scanned->reportCount == whole->reportCount);
        FUZZ_CHECK(scanned->skippedReports == whole->skippedReports);
        FUZZ_CHECK(scanned->longestReport == whole->longestReport);
        FUZZ_CHECK(streamed == whole->reports);
        return;
    }
    // Both read the lines in order and check the same things of each: the same fault, at the same
    // line. A recording without a descriptor is refused by the scan at its end; the replay alone
    // (never run without the scan) hands out nothing then, as no E: line precedes an R: line.
    FUZZ_CHECK(scanRefusal.has_value());
    CheckSameRefusal(*wholeRefusal, *scanRefusal);
    if (streamRefusal) {
        CheckSameRefusal(*scanRefusal, *streamRefusal);
    } else {
        FUZZ_CHECK(scanRefusal->line == 0 && streamed.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte picks the reader, so that one corpus serves all of them: 0xf0 to 0xff the files
    // read a line at a time against the whole-text parsers (bit 1 set: recordings, clear: report
    // lines), any other byte a whole-text reader by its value modulo 4.
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    // A copy of exactly the text's size: ASan catches a read past its end.
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string_view view(text);

    if (selector >= 0xf0) {
        if (selector & 2)
            CheckRecordingFile(view);
        else
            CheckReportFile(view);
        return 0;
    }
    switch (selector % 4) {
    case 0:
        // The paste reader: whatever form it names, the bytes are within a descriptor's limits, and
        // ParseHexDescriptor gives the same ones; raw bytes that are such a text are refused as text.
        Guarded([&] {
            const hct_sim::Paste paste = hct_sim::ReadPaste(view, kSource);
            FUZZ_CHECK(!paste.bytes.empty() && paste.bytes.size() <= hct_sim::kMaxDescriptorBytes);
            FUZZ_CHECK(std::string(hct_sim::PasteFormName(paste.form)) != "?");
            FUZZ_CHECK(hct_sim::ParseHexDescriptor(view, kSource) == paste.bytes);
            for (const auto &shape : hct_sim::InputReportShapes(paste.bytes))
                FUZZ_CHECK(shape.bytes >= (shape.bits + 7) / 8);
        });
        Guarded([&] { hct_sim::RefuseTextAsBinary(hct_sim::Bytes(view.begin(), view.end()), kSource, "(fuzz)"); });
        break;
    case 1:
        Guarded([&] {
            const auto reports = hct_sim::ParseReportLines(view, kSource);
            FUZZ_CHECK(!reports.empty());
            for (const auto &r : reports)
                FUZZ_CHECK(!r.empty() && r.size() <= hct_sim::kMaxReadReportBytes);
        });
        break;
    case 2:
        Guarded([&] {
            const hct_sim::Bytes r = hct_sim::ParseReportWord(view, kSource);
            FUZZ_CHECK(!r.empty() && r.size() <= hct_sim::kMaxReadReportBytes);
        });
        break;
    default:
        (void)hct_sim::LooksLikeRecording(view);
        Guarded([&] {
            const hct_sim::Recording rec = hct_sim::ParseRecording(view, kSource);
            FUZZ_CHECK(rec.timestamps.size() == rec.reports.size());
            FUZZ_CHECK(rec.reportCount == rec.reports.size());
            FUZZ_CHECK(rec.descriptor.size() <= hct_sim::kMaxDescriptorBytes);
            (void)hct_sim::InputReportShapes(rec.descriptor);
        });
        break;
    }
    return 0;
}

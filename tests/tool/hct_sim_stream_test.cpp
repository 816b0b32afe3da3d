// hct-sim at real size: a replay that streams (the simulated class driver and bus keep nothing per
// report, the heap the same after 70 000 reports as after 80 000), the table past 9 999 rows and
// with long reports, and nothing cut or made up: a report longer than the read fails as the USB
// stack fails it, and `rewrite` shows the driver exactly the bytes given. Its own binary: it counts the
// heap through a replaced global operator new.
#include "tests/tool/cli_harness.h"
#include "tools/hct-sim/render.h"
#include "tools/hct-sim/session.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// ---- the heap in use, by every operator new of the process ----------------------------------------
namespace {
std::atomic<long long> g_heapBytes{0};
}
void *operator new(size_t size) {
    void *p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    g_heapBytes += (long long)malloc_usable_size(p);
    return p;
}
void operator delete(void *p) noexcept {
    if (!p) return;
    g_heapBytes -= (long long)malloc_usable_size(p);
    std::free(p);
}
void operator delete(void *p, size_t) noexcept { operator delete(p); }

namespace {

using hct_sim::Bytes;

const Bytes kPanRight = {0x00, 0x03, 0xFE, 0x00, 0x01};
const Bytes kIdle = {0x00, 0x00, 0x00, 0x00, 0x00};

using tooltest::Cli;
using tooltest::Contains;
using tooltest::LinesOf;
using tooltest::Outcome;

class Stream : public tooltest::TempDirTest {};

// ---- nothing kept per report -------------------------------------------------------------------------
TEST_F(Stream, ALongReplayKeepsNothingPerReportInTheNeighboursOrTheSession) {
    // The kernel layer remembers the first 65 536 calls of each faultable service (one IRP a report)
    // and the latest 4 096 freed IRPs: past those, nothing may grow.
    constexpr size_t kReports = 80000;
    constexpr size_t kEarly = 70000;
    hct_sim::SessionOptions options;
    options.keepRecords = false;
    options.keepTrace = false;
    size_t fed = 0;
    options.nextReport = [&](Bytes &report, int64_t &delay, uint32_t &) {
        if (fed == kReports) return false;
        report = fed++ % 2 ? kIdle : kPanRight;
        delay = 10000;  // 1 ms
        return true;
    };
    size_t rows = 0;
    size_t rewritten = 0;
    long long heapEarly = 0;
    long long heapLate = 0;
    options.onRow = [&](const hct_sim::ReportRow &row, const hct_sim::RunFacts &facts) {
        ++rows;
        rewritten += row.sent != row.received;
        EXPECT_TRUE(row.delivered);
        if (rows == kEarly) heapEarly = g_heapBytes;
        if (rows == kReports) heapLate = g_heapBytes;
        EXPECT_EQ(facts.counts.total, rows);
    };
    const hct_sim::SessionResult result = hct_sim::RunSession(options);
    EXPECT_TRUE(result.facts.violations.empty()) << result.facts.violations.front();
    EXPECT_EQ(rows, kReports);
    EXPECT_EQ(rewritten, kReports / 2);
    EXPECT_EQ(result.facts.counts.rewritten, kReports / 2);
    EXPECT_EQ(result.facts.counts.unchanged, kReports / 2);
    EXPECT_TRUE(result.facts.rows.empty());
    EXPECT_TRUE(result.trace.empty());
    // The class driver's requests with its run of reads kept as one, whatever the number of reads.
    EXPECT_LT(result.classUrbFunctions.size(), 12u);
    // 10 000 more reports, not one more byte of heap in use (a record of 40 bytes a report would
    // be 400 000).
    EXPECT_LE(heapLate - heapEarly, 4096) << "heap grew from " << heapEarly << " to " << heapLate << " bytes";
}

TEST_F(Stream, ARecordingIsReadALineAtATimeItsFirstDevicesReportsTakenTheOthersCounted) {
    hct_sim::Bytes report;
    // A recording: the reports of its first device, the others skipped and counted.
    const std::string recording = File("rec.txt", "R: 3 05 01 c0\nE: 0.000001 5 00 03 fe 00 01\nD: 1\nR: 2 05 01\n"
                                                  "E: 0.000002 2 01 02\nD: 0\nE: 0.000003 5 00 00 00 00 00\n");
    const hct_sim::Recording scanned = hct_sim::ScanRecording(recording);
    EXPECT_EQ(scanned.reportCount, 2u);
    EXPECT_EQ(scanned.skippedReports, 1u);
    EXPECT_TRUE(scanned.reports.empty());
    hct_sim::RecordingFile replay(recording);
    std::vector<Bytes> got;
    while (replay.Next(report)) got.push_back(report);
    EXPECT_EQ(got, (std::vector<Bytes>{kPanRight, kIdle}));
}

TEST_F(Stream, WhatIsWrittenAsItGoesEqualsTheSameSessionKeptWhole) {
    // The JSON document, written row by row, is byte for byte the one built from the kept session
    // (the members of the tail, null without a capture, a trace or a written capture).
    hct_sim::SessionOptions kept;
    kept.reports = hct_sim::DefaultReports();
    kept.mouse = "built-in 5-button mouse with wheel and AC pan";
    const hct_sim::SessionResult whole = hct_sim::RunSession(kept);
    ASSERT_EQ(whole.facts.rows.size(), 5u);
    EXPECT_EQ(Cli({"run", "--json"}).out, hct_sim::RunJson(whole.facts)
                                          .Set("trace", hct_sim::Json())
                                          .Set("capture_facts", hct_sim::Json())
                                          .Set("urb_functions", hct_sim::Json())
                                          .Set("written_capture", hct_sim::Json())
                                          .Dump());  // no capture, no trace

    // The trace, spooled and cut into lines as it is read back in 64 KiB pieces (600 reports write
    // about 216 KB of it: lines cross the pieces' edges), is the one the kernel layer kept whole.
    std::string lines;
    for (int i = 0; i < 600; ++i) lines += i % 2 ? "00 00 00 00 ff\n" : "00 03 fe 00 01\n";
    const std::string file = File("r.txt", lines);
    kept.reports = hct_sim::ParseReportLines(lines, file);
    kept.probeOrigin.clear();
    const hct_sim::SessionResult traced = hct_sim::RunSession(kept);
    ASSERT_GT(traced.trace.size(), 3u * 65536u);
    std::string expected = "\nDriver trace (DbgPrint, one line per \"\\n\\r\")\n";
    for (const std::string &line : hct_sim::TraceLines(traced.trace)) expected += line + "\n";
    const Outcome r = Cli({"run", "--reports", file, "--trace"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_GT(r.out.size(), expected.size());
    EXPECT_TRUE(r.out.compare(r.out.size() - expected.size(), expected.size(), expected) == 0);
    const Outcome raw = Cli({"run", "--reports", file, "--trace=raw"});
    EXPECT_TRUE(raw.out.compare(raw.out.size() - traced.trace.size(), traced.trace.size(), traced.trace) == 0);
}

// ---- the table at any size ---------------------------------------------------------------------------
TEST_F(Stream, TheTableKeepsItsColumnsPast9999RowsAndWrapsLongReports) {
    std::string lines;
    for (int i = 0; i < 10001; ++i) lines += i % 2 ? "00 00 00 00 00\n" : "00 03 fe 00 01\n";
    const Outcome r = Cli({"run", "--reports", File("many.txt", lines)});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto out = LinesOf(r.out);
    auto row = [&](const std::string &number) {
        for (const auto &line : out)
            if (line.rfind("  " + number + " ", 0) == 0) return line;
        return std::string();
    };
    // Every row's bytes where row 1 has them: no number runs into them.
    const std::string first = row("1");
    ASSERT_FALSE(first.empty()) << r.out.substr(0, 2000);
    const size_t bytesAt = first.find("00 03 fe");
    EXPECT_EQ(bytesAt, 2u + 6u);  // "10001" and a space
    for (const std::string number : {"2", "9999", "10000", "10001"}) {
        const std::string line = row(number);
        ASSERT_FALSE(line.empty()) << number;
        EXPECT_EQ(line.find(" 00 ") + 1, bytesAt) << line;
    }
    EXPECT_EQ(row("9999").substr(bytesAt, 14), "00 03 fe 00 01");
    EXPECT_EQ(row("10000").substr(bytesAt, 14), "00 00 00 00 00");
    EXPECT_TRUE(Contains(r.out, "  rewritten      5001 of 10001 reports\n"));

    // A report of 40 bytes on a row of its own lines, each byte there, its length said.
    hct_sim::RunFacts facts;
    Bytes longReport(40);
    for (size_t i = 0; i < longReport.size(); ++i) longReport[i] = uint8_t(i);
    facts.rows.push_back({longReport, longReport, true});
    const auto table = LinesOf(hct_sim::ReportTable(facts));
    ASSERT_EQ(table.size(), 4u) << hct_sim::ReportTable(facts);
    EXPECT_TRUE(Contains(table[1], "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f")) << table[1];
    EXPECT_TRUE(Contains(table[1], "(40 bytes)")) << table[1];
    EXPECT_TRUE(Contains(table[2], "10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f")) << table[2];
    EXPECT_TRUE(Contains(table[3], "20 21 22 23 24 25 26 27")) << table[3];
}

TEST_F(Stream, ChangedOnlyListsTheRowsTheDriverChangedAndTheSummaryCountsEveryReportByWhatTheDriverDid) {
    const std::string reports = File("r.txt", "00 00 00 00 00\n00 03 fe 00 01\n00 00 00 01\n00 00 00 00 00 00 00 00 00\n");
    const Outcome r = Cli({"run", "--reports", reports, "--changed-only"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(Contains(r.out, "  1   ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  2   00 03 fe 00 01                 00 03 fe 30*01                 pan +1: wheel set to 0x30\n"));
    EXPECT_FALSE(Contains(r.out, "  3   ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  rewritten      1 of 4 reports\n"
                                "  left alone     1 examined: pan 0, or the feature off\n"
                                "  left alone     1 examined: length differs from TotalSize/8 (5 bytes)\n"
                                "  not examined   1: failed transfer\n"))
        << r.out;
}

// ---- nothing cut, nothing made up ---------------------------------------------------------------------
TEST_F(Stream, AReplayedReportLongerThanTheReadFailsAndItsRowSaysSo) {
    const std::string reports = File("r.txt", "00 03 fe 00 01\n00 03 fe 00 01 00 00 00 00\n00 00 00 00 ff\n");
    const Outcome r = Cli({"run", "--reports", reports, "--trace"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "  2   00 03 fe 00 01 00 00 00 00     -                              transfer failed (USBD status "
                                "0xc000000c, data overrun: 9 bytes for a read of 5): not examined\n"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "  3   00 00 00 00 ff                 00 00 00 c0*ff")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  rewritten      2 of 3 reports\n"));
    EXPECT_TRUE(Contains(r.out, "  not examined   1: failed transfer\n"));
    // The driver saw the failed transfer: its status and no bytes.
    EXPECT_TRUE(Contains(r.out, "Status = 0xc000000c, Transfer Length = 0x0")) << r.out;
}

TEST_F(Stream, RewriteShowsTheDriverTheWholeReportAndSaysWhenTheDescriptorDeclaresNoneThatLong) {
    const std::string d = HCT_EXAMPLES_DIR "/my-mouse.txt";  // the built-in mouse
    const std::string reports = File("reports.txt", "00 03 fe 00 01 07 08\n00 03 fe 00 01\n");
    Outcome r = Cli({"rewrite", d, "--reports", reports});
    ASSERT_EQ(r.code, 0) << r.err;
    // Seven bytes in, seven bytes out: the driver looks only at reports of TotalSize/8 bytes.
    EXPECT_EQ(r.out, "00 03 fe 00 01 07 08  # 7 bytes: longer than the input report the descriptor declares (5 bytes)\n"
                     "00 03 fe 30 01\n");
    EXPECT_EQ(r.err, "hct-sim: warning: " + reports +
                         ": a report of 7 bytes is longer than any input report the descriptor declares (5 bytes); "
                         "the class driver's reads are made 7 bytes long so that it arrives whole, but a real device with "
                         "this descriptor never sends it\n");
    r = Cli({"rewrite", d, "00 03 fe 00 01"});
    EXPECT_EQ(r.out, "00 03 fe 30 01\n");
    EXPECT_EQ(r.err, "");
}

}  // namespace

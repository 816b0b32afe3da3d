// hct-sim run --write-capture: every record read back byte by byte with libpcap and checked against
// USBPcap's layout and against what the session did; the written capture replayed by run --capture;
// bad paths; an output that names an input refused, and only a complete file put in place.
#include "tests/tool/cli_harness.h"
#include "tools/hct-sim/capture.h"
#include "tools/hct-sim/capture_writer.h"
#include "tools/hct-sim/session.h"
#include "tools/hct-sim/usbpcap.h"

#include "sim/default_mouse.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <array>
#include <fstream>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using hct_sim::Bytes;
namespace up = hct_sim::usbpcap;

uint32_t Le(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes; i-- > 0;) v = v << 8 | p[i];
    return uint32_t(v);
}

// One record as the file holds it, its header fields checked against the record's length.
struct Record {
    uint64_t irp = 0;
    uint32_t status = 0;
    uint16_t function = 0;
    bool up = false;
    unsigned bus = 0;
    unsigned device = 0;
    uint8_t endpoint = 0;
    uint8_t transfer = 0;
    int stage = -1;
    Bytes data;
    int64_t time = 0;  // nanoseconds since 1970
};

std::vector<Record> ReadRecords(const std::string &path) {
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
    EXPECT_NE(pcap, nullptr) << errbuf;
    if (!pcap) return {};
    EXPECT_EQ(pcap_datalink(pcap), 249);
    std::vector<Record> out;
    pcap_pkthdr *h;
    const u_char *p;
    int got;
    while ((got = pcap_next_ex(pcap, &h, &p)) == 1) {
        const size_t n = out.size() + 1;
        EXPECT_EQ(h->caplen, h->len) << "record " << n;
        EXPECT_GE(h->caplen, up::kHeader) << "record " << n;
        if (h->caplen < up::kHeader) break;
        Record r;
        const size_t header = Le(p + up::kHeaderLength, 2);
        r.irp = uint64_t(Le(p + up::kIrpId, 4)) | uint64_t(Le(p + up::kIrpId + 4, 4)) << 32;
        r.status = Le(p + up::kStatus, 4);
        r.function = uint16_t(Le(p + up::kFunction, 2));
        EXPECT_EQ(p[up::kInfo] & ~1, 0) << "record " << n;
        r.up = p[up::kInfo] & 1;
        r.bus = Le(p + up::kBus, 2);
        r.device = Le(p + up::kDevice, 2);
        r.endpoint = p[up::kEndpoint];
        r.transfer = p[up::kTransfer];
        const size_t length = Le(p + up::kDataLength, 4);
        // The header's length is the control header exactly for control transfers, and the record
        // holds exactly the header and the data it announces.
        EXPECT_EQ(header, r.transfer == up::kTransferControl ? up::kControlHeader : up::kHeader) << "record " << n;
        EXPECT_EQ(h->caplen, header + length) << "record " << n;
        if (h->caplen != header + length || header < up::kHeader) break;
        if (header == up::kControlHeader) r.stage = p[up::kStage];
        r.data.assign(p + header, p + header + length);
        r.time = int64_t(h->ts.tv_sec) * 1000000000 + h->ts.tv_usec;
        out.push_back(std::move(r));
    }
    EXPECT_EQ(got, PCAP_ERROR_BREAK) << pcap_geterr(pcap);
    pcap_close(pcap);
    return out;
}

using tooltest::Cli;
using tooltest::Outcome;

class WriteCapture : public tooltest::TempDirTest {};

const Bytes kSent[] = {{0x00, 0x03, 0xfe, 0x00, 0x01}, {0x00, 0x00, 0x00, 0x00, 0xff}, {0x01, 0x05, 0xfb, 0x01, 0x00},
                       {0x01, 0x00, 0x00, 0x00, 0x7f}, {0x00, 0x00, 0x00, 0x00, 0x00}};
const Bytes kReceived[] = {{0x00, 0x03, 0xfe, 0x30, 0x01}, {0x00, 0x00, 0x00, 0xc0, 0xff}, {0x01, 0x05, 0xfb, 0x01, 0x00},
                           {0x01, 0x00, 0x00, 0x30, 0x7f}, {0x00, 0x00, 0x00, 0x00, 0x00}};

}  // namespace

// The built-in mouse: the class driver's requests in both views, converted in place below the filter
// (and so seen converted above it on the way back), the probe below only, the reports as the mouse
// sent them below and as rewritten above.
TEST_F(WriteCapture, BothViewsHoldEveryUrbAsUsbpcapRecordsIt) {
    const Outcome r = Cli({"run", "--write-capture", Path("s.pcap")});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto records = ReadRecords(Path("s.pcap"));
    EXPECT_NE(r.out.find("Capture written: " + Path("s.pcap") + ", " + std::to_string(records.size()) + " USBPcap records"),
              std::string::npos)
        << r.out;

    std::map<unsigned, std::vector<const Record *>> views;
    for (const Record &rec : records) {
        EXPECT_EQ(rec.device, 1u);
        views[rec.bus].push_back(&rec);
    }
    ASSERT_EQ(views.size(), 2u);
    auto downFunctions = [](const std::vector<const Record *> &view) {
        std::vector<uint16_t> out;
        for (const Record *rec : view)
            if (!rec->up) out.push_back(rec->function);
        return out;
    };
    const std::vector<uint16_t> sequence = {0x0B, 0x0B, 0x0B, 0x00, 0x1B, 0x28, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09};
    EXPECT_EQ(downFunctions(views[2]), sequence);
    std::vector<uint16_t> below = {0x0B};  // the filter's string request comes first
    below.insert(below.end(), sequence.begin(), sequence.end());
    EXPECT_EQ(downFunctions(views[1]), below);

    // The probe's setup stage and data below; every control transfer back converted in both views
    // (SELECT_CONFIGURATION stays itself), at the stage its data makes it; the reports below as sent,
    // above as received, the two reads the removal ended failed with USBD_STATUS_DEVICE_GONE. (The
    // descriptors' bytes: the round-trip test replays them.)
    const Record &probe = *views[1][0];
    EXPECT_EQ(probe.stage, up::kStageSetup);
    EXPECT_EQ(probe.data, (Bytes{0x80, 0x06, 0xC8, 0x03, 0x09, 0x04, 0xFF, 0x00}));
    EXPECT_EQ(views[1][1]->data, Bytes({'S', 'T', 'A', 'R', 'T'}));
    for (unsigned bus : {1u, 2u}) {
        SCOPED_TRACE(bus);
        std::map<uint64_t, Bytes> setups;
        std::vector<Bytes> reports;
        std::vector<uint32_t> failed;
        for (const Record *rec : views[bus]) {
            if (rec->transfer == up::kTransferControl && !rec->up) {
                EXPECT_EQ(rec->stage, up::kStageSetup);
                setups[rec->irp] = rec->data;
            } else if (rec->transfer == up::kTransferControl) {
                ASSERT_TRUE(setups.count(rec->irp));
                EXPECT_EQ(rec->function, setups[rec->irp][1] == 0x09 ? 0x00 : 0x08);
                EXPECT_EQ(rec->stage, rec->function == 0 ? up::kStageComplete : rec->data.empty() ? up::kStageStatus : up::kStageData);
            } else {
                EXPECT_EQ(rec->endpoint, 0x81);
                EXPECT_TRUE((rec->up && rec->status == 0) || rec->data.empty());  // data only in a report
                if (rec->up && rec->status == 0) reports.push_back(rec->data);
                if (rec->up && rec->status != 0) failed.push_back(rec->status);
            }
        }
        EXPECT_EQ(reports, bus == 1 ? std::vector<Bytes>(std::begin(kSent), std::end(kSent))
                                    : std::vector<Bytes>(std::begin(kReceived), std::end(kReceived)));
        EXPECT_EQ(failed, (std::vector<uint32_t>{0xC0007000, 0xC0007000}));
    }
}

// A written capture replayed gives the same reports, layout and rewrites; a replay of it writes the
// reports at the first capture's times again.
TEST_F(WriteCapture, RunCaptureReplaysAWrittenCaptureAsTheSessionThatWroteIt) {
    // The sessions of every input kind are compared whole by the round-trip test; here what the replay
    // says of a capture that holds both views.
    ASSERT_EQ(Cli({"run", "--write-capture", Path("first.pcap")}).code, 0);
    const Outcome replay = Cli({"run", "--capture", Path("first.pcap")});
    ASSERT_EQ(replay.code, 0) << replay.err;
    EXPECT_NE(replay.out.find("the view below, device 1.1, is replayed, not device 2.1"), std::string::npos) << replay.out;
    EXPECT_NE(replay.out.find("the simulated class driver sent the 7 requests the capture recorded, in the same order"),
              std::string::npos)
        << replay.out;

    // Reports at gaps of 8 ms and 992.0005 ms on the simulated clock, written, replayed, written again.
    hct_sim::SessionOptions options;
    options.reports = {kSent[0], kSent[1], kSent[2]};
    options.reportDelays = {0, 80000, 9920005};
    {
        hct_sim::CaptureWriter writer(Path("timed.pcap"));
        options.tap = &writer;
        hct_sim::RunSession(options);
        writer.Close();
    }
    ASSERT_EQ(Cli({"run", "--capture", Path("timed.pcap"), "--write-capture", Path("timed2.pcap")}).code, 0);
    const auto first = hct_sim::ReadCapture(Path("timed.pcap"));
    const auto second = hct_sim::ReadCapture(Path("timed2.pcap"));
    for (const auto *c : {&first, &second}) {
        ASSERT_EQ(c->device.reports.size(), 3u);
        EXPECT_EQ(c->device.reports[1].time - c->device.reports[0].time, 8000000);
        EXPECT_EQ(c->device.reports[2].time - c->device.reports[1].time, 992000500);
        EXPECT_EQ(c->otherView, (hct_sim::DeviceAddress{2, 1}));
    }
    // The replay's clock starts at the first capture's first record.
    EXPECT_EQ(second.firstStamp, first.firstStamp);
}

// Two runs of one session write the same bytes, in two processes (where the heap lies elsewhere): an IRP's id is the next number of a counter when it first goes down, kept while it is
// outstanding in either view, so a request has one id below and above the filter.
TEST_F(WriteCapture, TwoRunsOfOneSessionWriteByteIdenticalFilesWithIrpIdsFromACounter) {
    auto bytesOf = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    auto program = [](const std::string &arguments) {
        return std::system((std::string(HCT_SIM_BINARY) + " " + arguments + " >/dev/null 2>&1").c_str());
    };
    const std::string reports = File("reports.txt", "00 05 fb 00 01\n00 00 00 00 81 00 00\n");
    const std::vector<std::string> sessions = {"run --probe-reply HELLO", "run --reports " + reports,
                                               "run --capture " + Path("a0.pcap")};
    for (size_t k = 0; k < sessions.size(); ++k) {
        SCOPED_TRACE(sessions[k]);
        const std::string a = Path("a" + std::to_string(k) + ".pcap"), b = Path("b" + std::to_string(k) + ".pcap");
        ASSERT_EQ(program(sessions[k] + " --write-capture " + a), 0);
        ASSERT_EQ(program(sessions[k] + " --write-capture " + b), 0);
        const std::string written = bytesOf(a);
        ASSERT_FALSE(written.empty());
        EXPECT_TRUE(written == bytesOf(b)) << "two processes wrote different captures";

        // Ids 1, 2, 3 ... in order of first appearance; every completion answers a request of its id
        // outstanding in its view; a request the class driver sends has the same id below.
        const auto records = ReadRecords(a);
        uint64_t last = 0;
        std::map<std::pair<unsigned, uint64_t>, bool> outstanding;
        std::map<uint64_t, std::set<unsigned>> views;
        for (size_t i = 0; i < records.size(); ++i) {
            const Record &rec = records[i];
            EXPECT_LE(rec.irp, last + 1) << "record " << i + 1;
            last = std::max(last, rec.irp);
            if (rec.up) EXPECT_EQ(outstanding.erase({rec.bus, rec.irp}), 1u) << "record " << i + 1;
            else outstanding[{rec.bus, rec.irp}] = true;
            views[rec.irp].insert(rec.bus);
        }
        EXPECT_GT(last, 10u);
        for (const auto &[id, buses] : views)
            if (buses.count(2)) {
                EXPECT_EQ(buses.size(), 2u) << "id " << id << " above the filter only";
            }
    }
}

TEST_F(WriteCapture, BadPathsGetOneMessageAndExitCode2AndBadInputLeavesTheFileAlone) {
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {dir_.string(), "hct-sim: " + dir_.string() + ": cannot write the capture: it is a folder\n"},
        {Path("none/s.pcap"), "hct-sim: " + Path("none/s.pcap") + ": cannot write the capture: No such file or directory\n"},
        {"/dev/full", "hct-sim: /dev/full: cannot write the capture: No space left on device\n"},
    };
    for (const auto &c : cases) {
        const Outcome r = Cli({"run", "--write-capture", c.path});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out, "");
    }
    const std::string kept = File("kept.pcap", "not yet");
    const Outcome r = Cli({"run", "--reports", Path("missing.txt"), "--write-capture", kept});
    EXPECT_EQ(r.code, 2);
    std::ifstream in(kept);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not yet");
}

TEST_F(WriteCapture, AFailedScriptRunStillWritesItsWholeCapture) {
    // A script whose step does not turn out as it says fails the run (exit 1); the session ran to its
    // end and its capture is complete, the report that failed the check among it.
    const std::string script = File("bad.txt", "on\nreport 00 03 fe 00 01 -> 00 03 fe 00 01\nunplug\n");
    const Outcome r = Cli({"run", "--script", script, "--write-capture", Path("failed.pcap")});
    EXPECT_EQ(r.code, 1) << r.err;
    const auto records = ReadRecords(Path("failed.pcap"));
    bool rewritten = false;
    for (const Record &rec : records)
        rewritten |= rec.bus == 2 && rec.up && rec.data == kReceived[0];
    EXPECT_TRUE(rewritten);
    EXPECT_EQ(records.back().status, 0xC0007000u);  // the reads failed by the unplug come last
}

// An output that names an input is refused before anything is read; what is written goes to a
// temporary file beside the file named (through a link: beside the file it names), renamed into
// place when complete, and removed when the run ends any other way.
TEST_F(WriteCapture, AnOutputNamingAnInputIsRefusedAndOnlyACompleteFileTakesTheNamedOnesPlace) {
    ASSERT_EQ(Cli({"run", "--write-capture", Path("in.pcap")}).code, 0);
    const std::string in = Path("in.pcap"), reports = File("r.txt", "00 03 fe 00 01\n");
    std::filesystem::create_hard_link(in, Path("hard.pcap"));
    std::filesystem::create_symlink(in, Path("soft.pcap"));
    auto bytesOf = [](const std::string &path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const std::string before = bytesOf(in);
    const struct {
        std::string input, output, how;
    } cases[] = {
        {in, in, "the same file"},
        {in, (dir_ / "." / "in.pcap").string(), "the same file"},
        {in, Path("hard.pcap"), "a hard link to it"},
        {in, Path("soft.pcap"), "a symbolic link to it"},
        {reports, reports, "the same file"},
    };
    for (const auto &c : cases) {
        const bool capture = c.input == in;
        const Outcome r = Cli({"run", capture ? "--capture" : "--reports", c.input, "--write-capture", c.output});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, "hct-sim: " + c.output + ": --write-capture names the input of " + (capture ? "--capture " : "--reports ") +
                             c.input + " (" + c.how + "): writing it would destroy that input; give another file (nothing was "
                             "read or written)\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(bytesOf(in), before);
    // Written through the symbolic link: the file it names replaced whole, the link kept.
    ASSERT_EQ(Cli({"run", "--reports", reports, "--write-capture", Path("soft.pcap")}).code, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(Path("soft.pcap")));
    EXPECT_NE(bytesOf(in), before);
    EXPECT_EQ(hct_sim::ReadCapture(in).device.reportCount, 1u);
    // A writer not closed (the run failed, or Ctrl-C's handler removed its file) leaves nothing behind.
    {
        hct_sim::CaptureWriter unfinished(Path("new.pcap"));
        hct_sim::RemoveUnfinishedOutputs();
    }
    { hct_sim::CaptureWriter failed(Path("other.pcap")); }
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"in.pcap", "hard.pcap", "soft.pcap", "r.txt"}));
}

// USB captures written here with libpcap's own writer (and re-wrapped as pcapng), as USBPcap
// (Windows) and usbmon (Linux, both header sizes) would have written them: the reader on its own,
// then replayed by `hct-sim run` through the driver and the simulated stack.
#include "tests/tool/cli_harness.h"
#include "tools/hct-sim/capture.h"
#include "tools/hct-sim/session.h"

#include "sim/default_mouse.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using hct_sim::Bytes;
using hct_sim::DeviceAddress;
using Setup = std::array<uint8_t, 8>;

constexpr int64_t kSecond = 1000000000;

void Put(Bytes &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

// One USBPcap record: the base header, the stage byte for control transfers, the data.
struct Usbpcap {
    uint64_t irp;
    uint16_t function;
    bool up;  // completion, on the way back to the class driver
    DeviceAddress device;
    uint8_t endpoint;
    uint8_t transfer;  // 1 interrupt, 2 control, 3 bulk
    Bytes data = {};
    int stage = -1;    // control: 0 setup, 1 data, 2 status, 3 complete
    uint32_t status = 0;

    Bytes Record() const {
        Bytes r;
        Put(r, stage >= 0 ? 28 : 27, 2);
        Put(r, irp, 8);
        Put(r, status, 4);
        Put(r, function, 2);
        Put(r, up ? 1 : 0, 1);
        Put(r, device.bus, 2);
        Put(r, device.address, 2);
        Put(r, endpoint, 1);
        Put(r, transfer, 1);
        Put(r, data.size(), 4);
        if (stage >= 0) Put(r, uint8_t(stage), 1);
        r.insert(r.end(), data.begin(), data.end());
        return r;
    }
};

// One usbmon record with the 48- or 64-byte header, in this machine's byte order as usbmon writes it.
struct Usbmon {
    uint64_t id;
    char type;  // 'S' submit, 'C' complete
    uint8_t transfer;
    uint8_t endpoint;
    DeviceAddress device;
    std::optional<Setup> setup = {};
    Bytes data = {};
    int32_t status = 0;
    std::optional<uint32_t> announced = {};  // the header's data length, when it lies

    Bytes Record(size_t headerLength) const {
        Bytes r(headerLength, 0);
        auto set = [&](size_t at, auto value) { std::memcpy(&r[at], &value, sizeof value); };
        set(0, id);
        r[8] = uint8_t(type);
        r[9] = transfer;
        r[10] = endpoint;
        r[11] = uint8_t(device.address);
        set(12, uint16_t(device.bus));
        r[14] = setup ? 0 : '-';
        r[15] = data.empty() ? '<' : 0;
        set(28, status);
        set(32, uint32_t(data.size()));
        set(36, announced.value_or(uint32_t(data.size())));
        if (setup) std::memcpy(&r[40], setup->data(), 8);
        r.insert(r.end(), data.begin(), data.end());
        return r;
    }
};

// libpcap's writer, nanosecond timestamps.
class CaptureWriter {
public:
    CaptureWriter(const std::filesystem::path &path, int linkType)
        : path_(path), pcap_(pcap_open_dead_with_tstamp_precision(linkType, 262144, PCAP_TSTAMP_PRECISION_NANO)),
          dumper_(pcap_dump_open(pcap_, path.c_str())) {}
    ~CaptureWriter() { Close(); }
    void Add(const Bytes &record, int64_t time) {
        pcap_pkthdr header{};
        header.ts.tv_sec = time / kSecond;
        header.ts.tv_usec = time % kSecond;
        header.caplen = header.len = bpf_u_int32(record.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper_), &header, record.data());
    }
    std::string Close() {
        if (dumper_) pcap_dump_close(dumper_);
        if (pcap_) pcap_close(pcap_);
        dumper_ = nullptr;
        pcap_ = nullptr;
        return path_.string();
    }

private:
    std::filesystem::path path_;
    pcap_t *pcap_;
    pcap_dumper_t *dumper_;
};

// The capture as editcap (Wireshark's) writes it again: as pcapng, or with each record cut to a snap
// length of `snap` bytes (its original length kept, as a capture tool with that snap length writes it).
std::string Editcap(const std::string &in, const std::string &out, const std::string &options) {
    EXPECT_EQ(std::system(("editcap " + options + " '" + in + "' '" + out + "'").c_str()), 0) << "editcap " << options;
    return out;
}
std::string ToPcapng(const std::string &pcap, const std::string &out) { return Editcap(pcap, out, "-F pcapng"); }

// ---- the mouse in the captures ---------------------------------------------------------------------
const DeviceAddress kMouse{1, 5};
const DeviceAddress kKeyboard{1, 4};

Bytes ReportDescriptor() { return sim::DefaultMouseDescriptor(); }
// The same mouse with a third 8-bit axis after X and Y: reports of 6 bytes.
Bytes SixByteDescriptor() {
    Bytes d = ReportDescriptor();
    const Bytes xy = {0x75, 0x08, 0x95, 0x02};
    std::search(d.begin(), d.end(), xy.begin(), xy.end())[3] = 0x03;
    return d;
}
const Bytes kDeviceDescriptor = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x34, 0x12,
                                 0x78, 0x56, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01};
Bytes ConfigurationDescriptor() {
    return {0x09, 0x02, 0x32, 0x00, 0x02, 0x01, 0x00, 0xA0, 0x32,   // configuration, 50 bytes
            0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, 0x02, 0x00,   // interface 0: HID, boot mouse
            0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, uint8_t(ReportDescriptor().size()), 0x00,
            0x07, 0x05, 0x81, 0x03, 0x05, 0x00, 0x0A,               // interrupt IN 0x81
            0x09, 0x04, 0x01, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00,   // interface 1: vendor-specific
            0x07, 0x05, 0x82, 0x03, 0x08, 0x00, 0x01};              // interrupt IN 0x82
}
const Bytes kLanguages = {0x04, 0x03, 0x09, 0x04};
const Bytes kProduct = {0x0A, 0x03, 'M', 0, 'o', 0, 'u', 0, 's', 0};
const std::vector<Bytes> kReports = {{0x00, 0x03, 0xFE, 0x00, 0x01}, {0x00, 0x00, 0x00, 0x00, 0xFF}, {0x01, 0x05, 0xFB, 0x01, 0x00}};
const std::vector<int64_t> kReportTimes = {2 * kSecond, 2 * kSecond + 8000000, 3 * kSecond + 500};

// What Windows sends a mouse, as USBPcap records it at the PDO: the class driver's sequence (each
// descriptor request coming back as a control transfer), reads kept outstanding, the product string
// fetched later; a keyboard and a second endpoint of the mouse report as well. Without
// `reportDescriptorRead` the enumeration lacks the report descriptor's request; without
// `readsGoingDown` the mouse's reads are only there as they came back; `endpoint` is where its
// reports come (0x82: its vendor interface's).
std::string WriteWindowsCapture(const std::filesystem::path &path, bool enumeration = true, const Bytes &probeAnswer = {},
                                bool reportDescriptorRead = true, bool readsGoingDown = true, uint8_t endpoint = 0x81) {
    CaptureWriter w(path, 249);
    int64_t t = kSecond;
    auto add = [&](const Usbpcap &u) { w.Add(u.Record(), t += 1000); };
    auto control = [&](uint64_t irp, uint16_t function, Setup setup, const Bytes &data, int upStage = 1) {
        add({irp, function, false, kMouse, 0x80, 2, Bytes(setup.begin(), setup.end()), 0});
        add({irp, uint16_t(function == 0 ? 0 : 8), true, kMouse, 0x80, 2, data, data.empty() ? upStage : 1});
    };
    const Bytes config = ConfigurationDescriptor();
    if (enumeration) {
        control(0xA0, 0x0B, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}, kDeviceDescriptor);
        control(0xA0, 0x0B, {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00}, Bytes(config.begin(), config.begin() + 9));
        control(0xA0, 0x0B, {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, uint8_t(config.size()), 0x00}, config);
        control(0xB0, 0x00, {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, {}, 3);
        control(0xC0, 0x1B, {0x21, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {}, 2);
        const uint8_t asked = uint8_t(ReportDescriptor().size() + 64);
        if (reportDescriptorRead) control(0xD0, 0x28, {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, asked, 0x00}, ReportDescriptor());
    } else {
        // A report descriptor request that stalls: its setup stage is all the capture holds of it.
        add({0xD0, 0x28, false, kMouse, 0x80, 2, {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x7F, 0x00}, 0});
        add({0xD0, 0x08, true, kMouse, 0x80, 2, {}, 2, 0xC0000004});
    }
    auto read = [&](uint64_t irp) {
        if (readsGoingDown) add({irp, 0x09, false, kMouse, endpoint, 1});
    };
    read(0xE0);
    read(0xE1);
    for (size_t i = 0; i < kReports.size(); ++i) {
        t = kReportTimes[i] - 1000;
        add({i % 2 ? 0xE1u : 0xE0u, 0x09, true, kMouse, endpoint, 1, kReports[i]});
        read(i % 2 ? 0xE1 : 0xE0);
        add({0xF0, 0x09, true, kKeyboard, 0x81, 1, Bytes(8, 0)});
        if (i == 0 && enumeration) {
            control(0xA1, 0x0B, {0x80, 0x06, 0x00, 0x03, 0x00, 0x00, 0xFF, 0x00}, kLanguages);
            control(0xA1, 0x0B, {0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0xFF, 0x00}, kProduct);
            if (!probeAnswer.empty())  // what the mouse answered the filter's string request
                control(0xA2, 0x0B, {0x80, 0x06, 0xC8, 0x03, 0x09, 0x04, 0xFF, 0x00}, probeAnswer);
        }
    }
    // The mouse's second interface, a stack of its own on Windows: not the mouse's requests.
    control(0xC1, 0x1B, {0x21, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, {}, 2);
    add({0xE2, 0x09, false, kMouse, 0x82, 1});
    add({0xE2, 0x09, true, kMouse, 0x82, 1, {0x02, 0x01}});
    add({0xE0, 0x09, true, kMouse, 0x81, 1, {}, -1, 0xC0010000});  // the last read cancelled
    return w.Close();
}

// The same mouse on Linux: usbmon's submissions and completions, the root hub's status endpoint.
std::string WriteLinuxCapture(const std::filesystem::path &path, int linkType, bool enumeration) {
    CaptureWriter w(path, linkType);
    const size_t header = linkType == 220 ? 64 : 48;
    int64_t t = kSecond;
    auto add = [&](const Usbmon &u) { w.Add(u.Record(header), t += 1000); };
    uint64_t id = 0x1000;
    auto control = [&](Setup setup, const Bytes &data) {
        add({++id, 'S', 2, 0x80, kMouse, setup});
        add({id, 'C', 2, 0x80, kMouse, std::nullopt, data});
    };
    const Bytes config = ConfigurationDescriptor();
    if (enumeration) {
        control({0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00}, kDeviceDescriptor);
        control({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00}, Bytes(config.begin(), config.begin() + 9));
        control({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, uint8_t(config.size()), 0x00}, config);
        control({0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0xFF, 0x00}, kProduct);
        control({0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, {});
        control({0x81, 0x06, 0x00, 0x22, 0x00, 0x00, uint8_t(ReportDescriptor().size() + 64), 0x00}, ReportDescriptor());
    }
    add({0x2000, 'C', 1, 0x81, {1, 1}, std::nullopt, {0x04}});  // the root hub: a port changed
    for (size_t i = 0; i < kReports.size(); ++i) {
        add({0x3000, 'S', 1, 0x81, kMouse});
        t = kReportTimes[i] - 1000;
        add({0x3000, 'C', 1, 0x81, kMouse, std::nullopt, kReports[i]});
    }
    add({0x3000, 'S', 1, 0x81, kMouse});
    add({0x3000, 'C', 1, 0x81, kMouse, std::nullopt, {}, -2});  // unlinked when the capture stopped
    if (!enumeration)  // a tool reads the head of the configuration: no interfaces in it
        control({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00}, Bytes(config.begin(), config.begin() + 9));
    return w.Close();
}

class Capture : public tooltest::TempDirTest {};

void ExpectReports(const hct_sim::CapturedDevice &device) {
    ASSERT_EQ(device.reports.size(), kReports.size());
    for (size_t i = 0; i < kReports.size(); ++i) {
        EXPECT_EQ(device.reports[i].bytes, kReports[i]) << i;
        EXPECT_EQ(device.reports[i].time, kReportTimes[i] - kSecond - 1000) << i;
    }
}

// Windows (pcap and pcapng) and Linux (both usbmon header sizes) give the same mouse: exactly the
// data stages (a reader that took a setup stage, 80 06 00 01 ..., gets other bytes), its reports at
// their times, and for USBPcap each request once as it went down (not as it came back, 0x0008), a
// run of reads re-sent as they complete kept as one, so that the list does not grow with the reports.
TEST_F(Capture, EveryKindOfCaptureGivesTheMouseFromDataStagesItsReportsAndTheUrbFunctionsSentDown) {
    using K = hct_sim::CaptureKind;
    const std::string pcap = WriteWindowsCapture(Path("mouse.pcap"));
    const std::map<uint8_t, Bytes> windowsStrings = {{0, kLanguages}, {2, kProduct}}, linuxStrings = {{2, kProduct}};
    const std::vector<uint16_t> sentDown = {0x0B, 0x0B, 0x0B, 0x00, 0x1B, 0x28, 0x09, 0x0B, 0x0B, 0x09};
    const struct {
        std::string file;
        K kind;
        bool pcapng;
        const std::map<uint8_t, Bytes> &strings;
        std::vector<uint16_t> urbFunctions;
        size_t skipped;  // Windows: the keyboard's 3, the mouse's second endpoint's 1; Linux: the root hub's
        std::vector<DeviceAddress> devices;
    } cases[] = {
        {pcap, K::Usbpcap, false, windowsStrings, sentDown, 4, {kMouse, kKeyboard}},
        {ToPcapng(pcap, Path("mouse.pcapng")), K::Usbpcap, true, windowsStrings, sentDown, 4, {kMouse, kKeyboard}},
        {WriteLinuxCapture(Path("189.pcap"), 189, true), K::Usbmon, false, linuxStrings, {}, 1, {kMouse, {1, 1}}},
        {WriteLinuxCapture(Path("220.pcap"), 220, true), K::UsbmonMmapped, false, linuxStrings, {}, 1, {kMouse, {1, 1}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const auto capture = hct_sim::ReadCapture(c.file);
        EXPECT_EQ(capture.kind, c.kind);
        EXPECT_EQ(capture.pcapng, c.pcapng);
        const auto &d = capture.device;
        EXPECT_EQ(d.address, kMouse);
        EXPECT_EQ(d.endpoint, 0x81);
        EXPECT_EQ(d.interfaceNumber, 0);
        EXPECT_EQ(d.deviceDescriptor, kDeviceDescriptor);
        EXPECT_EQ(d.configurationDescriptor, ConfigurationDescriptor());
        EXPECT_EQ(d.reportDescriptor, ReportDescriptor());
        EXPECT_EQ(d.stringDescriptors, c.strings);
        ExpectReports(d);
        EXPECT_EQ(d.urbFunctions, c.urbFunctions);
        EXPECT_EQ(d.reportCount, d.reports.size());
        EXPECT_EQ(capture.skippedReports, c.skipped);
        EXPECT_EQ(capture.devices, c.devices);
    }
    EXPECT_EQ(hct_sim::ReadCapture(pcap).device.reports[0].record, 15u);
    EXPECT_EQ(hct_sim::UrbFunctionName(0x28), "GET_DESCRIPTOR_FROM_INTERFACE");
}

TEST_F(Capture, BadCapturesGetOneMessageNamingTheFileAndRecord) {
    auto message = [](const std::string &path, hct_sim::CaptureChoice choice = {}) -> std::string {
        try {
            hct_sim::ReadCapture(path, choice);
        } catch (const hct_sim::InputError &e) {
            return e.what();
        }
        return "no error";
    };
    const std::string good = WriteWindowsCapture(Path("good.pcap"));

    struct Case {
        std::string file;
        std::string expected;
        hct_sim::CaptureChoice choice = {};
    };
    std::vector<Case> cases;
    cases.push_back({File("text.pcap", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}), ": not a pcap or pcapng capture"});
    {
        CaptureWriter w(Path("ether.pcap"), DLT_EN10MB);
        w.Add(Bytes(60, 0), 0);
        cases.push_back({w.Close(), ": link type 1 (EN10MB) is no USB capture"});
    }
    {
        CaptureWriter w(Path("short.pcap"), 249);
        w.Add(Usbpcap{1, 9, true, kMouse, 0x81, 1, {1, 2, 3}}.Record(), 0);
        w.Add(Bytes(10, 0), 1);
        cases.push_back({w.Close(), ": record 2: USBPcap record of 10 bytes: its header alone takes 27"});
    }
    {
        CaptureWriter w(Path("lies.pcap"), 220);
        Usbmon lie{1, 'C', 1, 0x81, kMouse, std::nullopt, {1, 2}};
        lie.announced = 8;
        w.Add(lie.Record(64), 0);
        cases.push_back({w.Close(), ": record 1: truncated: the header announces 8 data bytes, the record holds 2"});
    }
    {
        CaptureWriter w(Path("disk.pcap"), 189);  // a storage device: bulk transfers only
        w.Add(Usbmon{7, 'S', 3, 0x02, {2, 3}, std::nullopt, Bytes(31, 0x55)}.Record(48), 0);
        w.Add(Usbmon{7, 'C', 3, 0x81, {2, 3}, std::nullopt, Bytes(13, 0x53)}.Record(48), 1);
        cases.push_back({w.Close(), ": no HID mouse in the capture"});
    }
    hct_sim::CaptureChoice absent;
    absent.device = DeviceAddress{9, 9};
    cases.push_back({good, ": device 9.9 is not in the capture (devices in it: 1.5, 1.4)", absent});
    cases.push_back({WriteLinuxCapture(Path("six.pcap"), 220, false),
                     ": no device in the capture sends interrupt-IN reports of the lengths the given report descriptor declares "
                     "(6 bytes); the reports it holds: 1.5 endpoint 0x81: 3 reports of 5 bytes; 1.1 endpoint 0x81: 1 report of "
                     "1 byte: choose the mouse with --device BUS.ADDR, or give the report descriptor of the device that sent them",
                     {std::nullopt, SixByteDescriptor()}});
    cases.push_back({WriteLinuxCapture(Path("two.pcap"), 220, false), ": the capture holds no enumeration, and several devices send interrupt-IN reports (1.5, 1.1): give the "
                     "mouse's report descriptor with --descriptor FILE, or choose one with --device BUS.ADDR"});
    for (const Case &c : cases) {
        const std::string text = message(c.file, c.choice);
        EXPECT_EQ(text.rfind(c.file + c.expected, 0), 0u) << text;
    }
    // The fault is named where it lies: the record number of the truncation is the last record's.
    EXPECT_EQ(hct_sim::ReadCapture(good).records, 32u);
}

// ---- replay through the whole stack ------------------------------------------------------------------
using tooltest::Cli;
using tooltest::Contains;
using tooltest::LinesOf;
using tooltest::Outcome;

// The built-in mouse's report descriptor as raw bytes (the README's example).
const std::string kMouseRdesc = HCT_EXAMPLES_DIR "/mouse.rdesc";

}  // namespace

TEST_F(Capture, RunReplaysAWindowsMouseAndShowsWhereItsUrbFunctionsDifferFromTheSimulatedClassDriver) {
    const std::string path = WriteWindowsCapture(Path("mouse.pcap"));
    const Outcome r = Cli({"run", "--capture", path});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_TRUE(Contains(r.out, "  mouse        device 1.5 of " + path + " (USBPcap, pcap), report descriptor of 63 bytes\n"));
    EXPECT_TRUE(Contains(r.out, "  capture      device, configuration and report descriptors, 2 string descriptor(s), 3 report(s) "
                                "from the capture; 4 report(s) of other devices and endpoints skipped (1.4 endpoint 0x81: 3 "
                                "reports of 8 bytes; 1.5 endpoint 0x82: 1 report of 2 bytes)\n"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "  1   00 03 fe 00 01                 00 03 fe 30*01")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  rewritten      2 of 3 reports"));
    // The class driver's sequence matches up to the reads; the capture's later string requests and
    // the reads after them are the capture's alone.
    const std::string urbs = r.out.substr(r.out.find("URB functions sent to the device"));
    const std::string same = "  = GET_DESCRIPTOR_FROM_DEVICE        GET_DESCRIPTOR_FROM_DEVICE\n";
    EXPECT_TRUE(Contains(urbs, same + same + same +
                                   "  = SELECT_CONFIGURATION              SELECT_CONFIGURATION\n"
                                   "  = CLASS_INTERFACE                   CLASS_INTERFACE\n"
                                   "  = GET_DESCRIPTOR_FROM_INTERFACE     GET_DESCRIPTOR_FROM_INTERFACE\n"
                                   "  = BULK_OR_INTERRUPT_TRANSFER        BULK_OR_INTERRUPT_TRANSFER\n"
                                   "  - GET_DESCRIPTOR_FROM_DEVICE\n  - GET_DESCRIPTOR_FROM_DEVICE\n"
                                   "  - BULK_OR_INTERRUPT_TRANSFER\n"))
        << urbs;
    const Outcome json = Cli({"run", "--capture", path, "--json"});
    EXPECT_TRUE(Contains(json.out, "\"same\": false")) << json.out;

    // A usbmon capture records no URB functions; the descriptor comes from a file.
    const std::string late = WriteLinuxCapture(Path("late.pcap"), 220, false);
    const Outcome linux = Cli({"run", "--capture", late, "--descriptor", kMouseRdesc});
    ASSERT_EQ(linux.code, 0) << linux.err;
    EXPECT_TRUE(Contains(linux.out, "  capture      3 report(s) from the capture; report descriptor from " + kMouseRdesc +
                                        " (the capture holds none); 1 report(s) of other devices and endpoints skipped (1.1 "
                                        "endpoint 0x81: 1 report of 1 byte)\n"))
        << linux.out;
    EXPECT_TRUE(Contains(linux.out, "  rewritten      2 of 3 reports"));
    EXPECT_FALSE(Contains(linux.out, "URB functions"));
}

TEST_F(Capture, RunRefusesWhatItCannotReplayWithExitCode2) {
    const std::string late = WriteLinuxCapture(Path("late.pcap"), 189, false);
    const std::string windows = WriteWindowsCapture(Path("mouse.pcap"));
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"run", "--capture", late, "--device", "1.5"},
         "hct-sim: " + late + ": the capture holds no report descriptor of device 1.5 (the capture seems to start after "
                              "the mouse was plugged in): give one with --descriptor FILE\n"},
        {{"run", "--capture", windows, "--device", "7.7"},
         "hct-sim: " + windows + ": device 7.7 is not in the capture (devices in it: 1.5, 1.4)\n"},
        {{"run", "--capture", Path("none.pcap")}, "hct-sim: " + Path("none.pcap") + ": cannot open: "},
        {{"run", "--capture", windows, "--device", "1"}, "hct-sim run: --device takes BUS.ADDR in decimal (1.5), not \"1\""},
        {{"run", "--device", "1.5"}, "hct-sim run: --device chooses a device of a --capture"},
        {{"run", "--capture", windows, "--reports", late}, "hct-sim run: --capture brings its own reports"},
    };
    for (const auto &c : cases) {
        const Outcome r = Cli(c.args);
        EXPECT_EQ(r.code, 2) << c.error;
        EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Capture, TheStartLineSaysWhereTheAnswerToString200ComesFrom) {
    // The mouse's own answer in the capture: a string descriptor, "START" in UTF-16, which the
    // driver's byte compare does not take for the raw text it looks for.
    const std::string own = WriteWindowsCapture(Path("own.pcap"), true, {0x0C, 0x03, 'S', 0, 'T', 0, 'A', 0, 'R', 0, 'T', 0});
    const std::string none = WriteWindowsCapture(Path("none.pcap"));
    const struct {
        std::vector<std::string> args;
        std::string start, ready;
    } cases[] = {
        {{own}, "with the capture's own answer: 0c 03 53 00 54 00 41 00 52 00 54 00\n", "no (the reply does not begin with START)"},
        {{own, "--probe-reply", "START"}, "with \"START\", given with --probe-reply, instead of the capture's own answer\n", "yes"},
        {{none}, "with \"START\", the built-in default (the capture holds no answer to it)\n", "yes"},
        {{none, "--probe-reply", "STOP"}, "with \"STOP\", given with --probe-reply (the capture holds no answer to it)\n", "no"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"run", "--capture"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = Cli(args);
        EXPECT_TRUE(Contains(r.out, "  start        the bus answers the string request at index 200 " + c.start)) << r.out;
        EXPECT_TRUE(Contains(r.out, "  FeatureReady   " + c.ready)) << r.out;
    }
}

// ---- what the messages about a capture say: only what the capture shows -------------------------------
namespace {

// A hub (device class 9: its device descriptor, as a tool read it) with its one-byte status reports,
// beside a mouse and a keyboard that the capture holds no enumeration of.
std::string WriteCaptureWithAHub(const std::filesystem::path &path, bool keyboard) {
    CaptureWriter w(path, 249);
    int64_t t = kSecond;
    auto add = [&](const Usbpcap &u) { w.Add(u.Record(), t += 1000); };
    const DeviceAddress hub{1, 1};
    const Bytes hubDescriptor = {0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6b, 0x1d,
                                 0x02, 0x00, 0x00, 0x01, 0x03, 0x02, 0x01, 0x01};
    add({0x10, 0x0B, false, hub, 0x80, 2, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}, 0});
    add({0x10, 0x08, true, hub, 0x80, 2, hubDescriptor, 1});
    for (size_t i = 0; i < kReports.size(); ++i) {
        add({0x20, 0x09, false, hub, 0x81, 1});
        add({0x20, 0x09, true, hub, 0x81, 1, {0x02, 0x00}});
        add({0x30, 0x09, false, kMouse, 0x81, 1});
        add({0x30, 0x09, true, kMouse, 0x81, 1, kReports[i]});
        if (keyboard) add({0x40, 0x09, true, kKeyboard, 0x81, 1, Bytes(8, 0)});
    }
    return w.Close();
}

}  // namespace

TEST_F(Capture, AHubIsNoCandidateForTheMouseAndTheListsSayItWasLeftOut) {
    const std::string both = WriteCaptureWithAHub(Path("hub.pcap"), true);
    Outcome r = Cli({"run", "--capture", both});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "hct-sim: " + both + ": the capture holds no enumeration, and several devices send interrupt-IN reports "
                                          "(1.5, 1.4; left out: hub 1.1 (device class 9)): give the mouse's report descriptor "
                                          "with --descriptor FILE, or choose one with --device BUS.ADDR\n");
    r = Cli({"run", "--capture", both, "--device", "1.1"});
    EXPECT_EQ(r.err, "hct-sim: " + both + ": device 1.1 is a hub (device class 9), not a HID device\n");

    // With the hub left out the mouse is the one device left: it is replayed, and the line says what
    // was not taken for it.
    const std::string one = WriteCaptureWithAHub(Path("one.pcap"), false);
    r = Cli({"run", "--capture", one});
    EXPECT_EQ(r.err, "hct-sim: " + one + ": the capture holds no report descriptor of device 1.5 (the capture seems to start "
                                         "after the mouse was plugged in): give one with --descriptor FILE\n");
    r = Cli({"run", "--capture", one, "--descriptor", kMouseRdesc});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "  mouse        device 1.5 of " + one));
    EXPECT_TRUE(Contains(r.out, "; left out of the candidates for the mouse: hub 1.1 (device class 9)\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "  rewritten      2 of 3 reports"));
    // Chosen by hand, no hub is said to be left out.
    r = Cli({"run", "--capture", one, "--descriptor", Path("mouse.rdesc"), "--device", "1.5"});
    EXPECT_FALSE(Contains(r.out, "left out of the candidates")) << r.out;
}

TEST_F(Capture, AnEnumerationWithoutTheReportDescriptorReadIsToldAsSuch) {
    const std::string path = WriteWindowsCapture(Path("mouse.pcap"), true, {}, false);
    const Outcome r = Cli({"run", "--capture", path});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "hct-sim: " + path + ": the capture holds the device and configuration descriptors of device 1.5 but "
                                          "no read of its report descriptor: give one with --descriptor FILE\n");
    EXPECT_EQ(Cli({"run", "--capture", path, "--descriptor", kMouseRdesc}).code, 0);

    // No enumeration, and the one request for the report descriptor stalled: that is what is said.
    const std::string stalled = WriteWindowsCapture(Path("stalled.pcap"), false);
    const Outcome r2 = Cli({"run", "--capture", stalled, "--device", "1.5"});
    EXPECT_EQ(r2.code, 2);
    EXPECT_EQ(r2.err, "hct-sim: " + stalled + ": the capture holds no report descriptor of device 1.5: its report descriptor "
                                             "request failed (USBD status 0xc0000004): give one with --descriptor FILE\n");
}

TEST_F(Capture, TheUrbTableSaysWhatTheCaptureHeldComingBackOnly) {
    // The mouse's reads only as they came back.
    const std::string path = WriteWindowsCapture(Path("mouse.pcap"), true, {}, true, false);
    const Outcome r = Cli({"run", "--capture", path});
    ASSERT_EQ(r.code, 0) << r.err;
    // Three reports and the read the removal cancelled.
    EXPECT_TRUE(Contains(r.out, "  + coming back only (4)              BULK_OR_INTERRUPT_TRANSFER\n"))
        << r.out;
    EXPECT_FALSE(Contains(r.out, "  +                                  BULK_OR_INTERRUPT_TRANSFER")) << r.out;
    const Outcome json = Cli({"run", "--capture", path, "--json"});
    EXPECT_TRUE(Contains(json.out, "\"+ BULK_OR_INTERRUPT_TRANSFER (the capture: 4 coming back, none going down)\"")) << json.out;
    // Reads the capture holds going down as well get no such words.
    const Outcome whole = Cli({"run", "--capture", WriteWindowsCapture(Path("whole.pcap"))});
    EXPECT_FALSE(Contains(whole.out, "coming back only")) << whole.out;
}

// ---- cut captures: replayed as far as their whole records go ---------------------------------------------
namespace {

Bytes BytesOf(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

}  // namespace

TEST_F(Capture, ACutCaptureIsReplayedAsFarAsItsWholeRecordsGoSaysWhereItIsCutAndExits3) {
    const std::string pcap = WriteWindowsCapture(Path("mouse.pcap"));
    const std::string pcapng = ToPcapng(pcap, Path("mouse.pcapng"));
    const Bytes whole = BytesOf(pcap);
    // The file's end inside the third report's record (record 25 of 32: 24 header bytes, 16 a record).
    size_t at = 24;
    for (int i = 0; i < 24; ++i) at += 16 + (whole[at + 8] | whole[at + 9] << 8);
    const struct {
        std::string file;
        std::vector<std::string> extra;
        std::string warning;
        size_t reports;
        const char *field;
        double value;
    } cases[] = {
        {File("last.pcap", Bytes(whole.begin(), whole.end() - 3)), {}, "the capture ends inside record 32: the 31 whole records before it are replayed", 3, "ends_inside_record", 32},
        {File("middle.pcap", Bytes(whole.begin(), whole.begin() + long(at) + 20)), {}, "the capture ends inside record 25: the 24 whole records before it are replayed", 2, "ends_inside_record", 25},
        {File("last.pcapng", [&] { Bytes b = BytesOf(pcapng); return Bytes(b.begin(), b.end() - 3); }()), {}, "the capture ends inside record 32", 3, "ends_inside_record", 32},
        // Cut to 32 bytes: the mouse's 5-byte reports (27 + 5) whole; cut: the 9 setup stages (28 + 8),
        // 5 descriptors longer than 4 bytes and the keyboard's 3 reports of 8 bytes.
        {Editcap(pcap, Path("snap.pcapng"), "-s 32"), {"--descriptor", kMouseRdesc, "--device", "1.5"}, "17 records were cut to the snap length of 32 bytes: take the capture again with a larger snap length", 3, "snap_cut_records", 17},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> args = {"run", "--capture", c.file};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Outcome r = Cli(args);
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_TRUE(Contains(r.err, "hct-sim: warning: " + c.file + ": " + c.warning)) << r.err;
        EXPECT_EQ(r.err.find("warning: "), r.err.rfind("warning: ")) << "named once: " << r.err;
        EXPECT_TRUE(Contains(r.out, std::to_string(c.reports) + " report(s) from the capture")) << r.out;
        args.push_back("--json");
        const std::string json = Cli(args).out;
        EXPECT_TRUE(Contains(json, "\"" + std::string(c.field) + "\": " + std::to_string(int(c.value)))) << json;
        EXPECT_TRUE(Contains(json, "\"incomplete\": true"));
    }
    EXPECT_EQ(Cli({"run", "--capture", pcap}).code, 0);  // whole: no such word, exit 0
}

// ---- advice that leads somewhere ------------------------------------------------------------------------
TEST_F(Capture, TheWarningsSayWhereTheReportsWentAndWhichDevicesSendTheLengthsTheDescriptorDeclares) {
    // The mouse interface (0, endpoint 0x81) sends nothing; its reports come on endpoint 0x82 of its
    // vendor-specific interface 1.
    const std::string vendorPath = WriteWindowsCapture(Path("vendor.pcap"), true, {}, true, true, 0x82);
    const std::string six = File("six.rdesc", SixByteDescriptor());
    const struct {
        std::vector<std::string> args;
        std::string warning;
    } cases[] = {
        {{"run", "--capture", vendorPath}, "no interrupt-IN report of device 1.5 came on the mouse interface's endpoint 0x81 "
                                           "(interface 0); its reports went to endpoint 0x82 (interface 1, vendor-specific): 4 reports\n"},
        {{"run", "--capture", WriteWindowsCapture(Path("mouse.pcap")), "--descriptor", six},
         "the report descriptor declares input reports of 6 bytes, but 1.5 endpoint 0x81: 3 reports of 5 bytes; no device in "
         "the capture sends reports of the declared lengths\n"},
        {{"run", "--capture", WriteCaptureWithAHub(Path("hub.pcap"), true), "--descriptor", kMouseRdesc, "--device", "1.4"},
         "the report descriptor declares input reports of 5 bytes, but 1.4 endpoint 0x81: 3 reports of 8 bytes; reports of the "
         "declared lengths came from 1.5 endpoint 0x81: 3 reports of 5 bytes: choose one with --device BUS.ADDR\n"},
    };
    for (const auto &c : cases) {
        const Outcome r = Cli(c.args);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(Contains(r.err, "hct-sim: warning: " + c.args[2] + ": " + c.warning)) << r.err;
    }
}

// A capture of 3000 devices besides the mouse, one report each: lists and messages stay short.
TEST_F(Capture, ManyDevicesGiveBoundedListsTheMostActiveFirst) {
    CaptureWriter w(Path("many.pcap"), 249);
    for (unsigned i = 0; i < 3000; ++i) w.Add(Usbpcap{i, 9, true, {2, i}, 0x81, 1, Bytes(1 + i % 3, 0)}.Record(), i);
    for (unsigned i = 0; i < 2; ++i) w.Add(Usbpcap{9, 9, true, {2, 7}, 0x81, 1, Bytes(3, 0)}.Record(), 5000 + i);
    const std::string path = w.Close();
    Outcome r = Cli({"run", "--capture", path, "--device", "9.9"});
    EXPECT_EQ(r.err, "hct-sim: " + path + ": device 9.9 is not in the capture (devices in it: 2.7, 2.0, 2.1, 2.2, 2.3, 2.4, 2.5, "
                                          "2.6 and 1015 more, and 1977 records of devices past the first 1023, not told apart)\n");
    r = Cli({"run", "--capture", path, "--device", "2.7", "--descriptor", kMouseRdesc});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "; 2999 report(s) of other devices and endpoints skipped (2.0 endpoint 0x81: 1 report of 1 byte;"));
    EXPECT_TRUE(Contains(r.out, "; and 1014 more endpoints; the rest from devices past the first 1023 the capture names, not told apart)")) << r.out;
    EXPECT_LT(r.err.size(), 1000u);
    for (const std::string &line : LinesOf(r.out)) EXPECT_LT(line.size(), 1000u);
}

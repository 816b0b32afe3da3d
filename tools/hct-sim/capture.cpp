#include "capture.h"

#include "usbpcap.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

namespace hct_sim {

namespace {

constexpr int kLinkUsbpcap = usbpcap::kLinkType;
constexpr int kLinkUsbLinux = 189;
constexpr int kLinkUsbLinuxMmapped = 220;

constexpr size_t kUsbpcapHeader = usbpcap::kHeader;
constexpr size_t kUsbpcapControlHeader = usbpcap::kControlHeader;
constexpr size_t kUsbmonHeader = 48;
constexpr size_t kUsbmonMmappedHeader = 64;

// usbmon numbers its transfer types as USBPcap does.
constexpr uint8_t kTransferInterrupt = usbpcap::kTransferInterrupt;
constexpr uint8_t kTransferControl = usbpcap::kTransferControl;

constexpr uint8_t kStageSetup = usbpcap::kStageSetup;
constexpr uint8_t kStageData = usbpcap::kStageData;
constexpr uint8_t kStageComplete = usbpcap::kStageComplete;

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;
constexpr uint8_t kDescriptorReport = 0x22;
constexpr uint8_t kClassHid = 3;
constexpr uint8_t kProtocolMouse = 2;
constexpr uint16_t kUrbRead = 0x0009;  // URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER

using Setup = std::array<uint8_t, 8>;

// What one device's bookkeeping keeps at most, so that memory does not grow with the capture: report
// lengths per endpoint (a descriptor declares at most 256 input reports), requests for the URB
// comparison (which compares the first 400), requests outstanding.
constexpr size_t kKeptLengths = 256;
constexpr size_t kKeptRequests = 4096;
constexpr size_t kKeptOutstanding = 4096;

uint16_t Le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t *p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }
uint64_t Le64(const uint8_t *p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

// usbmon headers are in the byte order of the machine that captured them; libpcap turns them into
// this machine's order as it reads.
template <class T>
T Native(const uint8_t *p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// One URB as a record shows it, reduced to what the reader uses.
struct Event {
    DeviceAddress device;
    uint64_t id = 0;  // USBPcap: the IRP; usbmon: the URB
    bool completion = false;
    uint8_t transfer = 0xFF;
    uint8_t endpoint = 0;
    bool succeeded = false;       // a completion with status 0
    bool failedTransfer = false;  // USBPcap: a completion the stack failed, not by a cancel or removal
    uint32_t usbdStatus = 0;      // USBPcap: the URB's status
    std::optional<Setup> setup;   // a control transfer on its way down
    bool hasData = false;         // a completion that carries the transfer's data (never a setup stage)
    const uint8_t *data = nullptr;
    size_t dataLength = 0;
    std::optional<uint16_t> function;  // USBPcap, on the way down
    std::optional<uint16_t> completedFunction;  // USBPcap, on the way back up
};

// The completed interrupt-IN transfers of one endpoint: counted, and kept only when asked for.
struct EndpointReports {
    size_t count = 0;
    size_t longest = 0;
    std::set<size_t> lengths;  // the lengths seen, at most kKeptLengths of them
    bool moreLengths = false;  // more lengths than those
    // The times and lengths of all of them folded into one number: two endpoints with the same
    // reports at the same times have the same signature, without keeping the reports.
    uint64_t signature = 0;
    std::vector<CapturedReport> kept;
    size_t size() const { return count; }
};

struct DeviceState {
    std::map<uint8_t, EndpointReports> reports;  // by endpoint
    Bytes device;
    Bytes configuration;
    std::map<unsigned, Bytes> reportDescriptors;  // by interface
    std::map<uint8_t, Bytes> strings;
    std::optional<Bytes> probeAnswer;  // the first successful answer to string 200, raw
    // Requests for a report descriptor that came back, by interface.
    struct Reads {
        size_t count = 0;
        size_t failed = 0;
        uint32_t status = 0;  // of the latest that failed; 0 for usbmon, which records none
    };
    std::map<unsigned, Reads> reportDescriptorReads;
    std::map<uint8_t, size_t> failedTransfers;  // by endpoint
    // A request and what it is for: an interface (a class or descriptor request to it), an endpoint
    // (a transfer on it), or the whole device (-1, 0).
    struct Request {
        uint16_t function;
        int interface;
        uint8_t endpoint;
    };
    std::vector<Request> functions;
    // Endpoints whose latest read is the last request in `functions` that is a read of theirs, with
    // no other kind of request after it: a run of reads is kept as its first.
    std::set<uint8_t> readRun;
    std::set<uint64_t> down;            // requests seen going down and not back yet
    // USBPcap: requests by URB function and endpoint (0 for control), going down and coming back.
    std::map<std::pair<uint16_t, uint8_t>, size_t> sentDown;
    std::map<std::pair<uint16_t, uint8_t>, size_t> cameBack;
    std::map<uint64_t, Setup> setups;   // control transfers waiting for their data
};

void KeepLonger(Bytes &slot, const uint8_t *data, size_t length) {
    if (length > slot.size()) slot.assign(data, data + length);
}

// A GET_DESCRIPTOR's data stage, by the setup packet that asked for it.
void OnControlData(DeviceState &state, const Setup &s, const uint8_t *data, size_t length) {
    if ((s[0] & 0x80) == 0 || s[1] != 6) return;
    length = std::min<size_t>(length, Le16(&s[6]));
    const uint8_t index = s[2];
    const uint8_t type = s[3];
    // A descriptor names its own type in its second byte: what does not is no descriptor of that
    // type (a capture tool that put the setup packet there, a stalled request).
    const bool selfNamed = length >= 2 && data[1] == type;
    switch (type) {
    case kDescriptorDevice:
        if (selfNamed) KeepLonger(state.device, data, length);
        break;
    case kDescriptorConfiguration:
        if (selfNamed) KeepLonger(state.configuration, data, length);
        break;
    case kDescriptorString:
        if (selfNamed) KeepLonger(state.strings[index], data, length);
        break;
    case kDescriptorReport:
        if ((s[0] & 0x1F) == 1 && length > 0) KeepLonger(state.reportDescriptors[Le16(&s[4]) & 0xFF], data, length);
        break;
    default:
        break;
    }
}

class RecordError {
public:
    explicit RecordError(std::string message) : message(std::move(message)) {}
    std::string message;
};

Event ParseUsbpcap(const uint8_t *p, size_t length) {
    if (length < kUsbpcapHeader)
        throw RecordError("USBPcap record of " + std::to_string(length) + " bytes: its header alone takes " +
                          std::to_string(kUsbpcapHeader));
    using namespace usbpcap;
    const size_t headerLength = Le16(p + kHeaderLength);
    const uint32_t status = Le32(p + kStatus);
    const uint32_t dataLength = Le32(p + kDataLength);
    Event e;
    e.id = Le64(p + kIrpId);
    e.completion = (p[kInfo] & kInfoCompletion) != 0;
    e.device = {Le16(p + kBus), Le16(p + kDevice)};
    e.endpoint = p[kEndpoint];
    e.transfer = p[kTransfer];
    if (headerLength < kUsbpcapHeader || headerLength > length)
        throw RecordError("USBPcap header length " + std::to_string(headerLength) + " does not fit a record of " +
                          std::to_string(length) + " bytes");
    if (dataLength > length - headerLength)
        throw RecordError("truncated: the header announces " + std::to_string(dataLength) + " data bytes, the record holds " +
                          std::to_string(length - headerLength));
    const uint8_t *data = p + headerLength;
    if (!e.completion) e.function = Le16(p + kFunction);
    else e.completedFunction = Le16(p + kFunction);
    e.succeeded = e.completion && status == 0;
    e.usbdStatus = status;
    // USBD_ERROR set: the transfer failed. A read cancelled or ended by the device's removal is the
    // end of a session, not something the mouse sent.
    constexpr uint32_t kUsbdCanceled = 0xC0010000;
    constexpr uint32_t kUsbdDeviceGone = 0xC0007000;
    e.failedTransfer = e.completion && (status >> 30) == 3 && status != kUsbdCanceled && status != kUsbdDeviceGone;
    if (e.transfer == kTransferControl) {
        if (headerLength < kUsbpcapControlHeader)
            throw RecordError("USBPcap control record without its stage byte (header length " + std::to_string(headerLength) + ")");
        const uint8_t stage = p[kStage];
        if (!e.completion && stage == kStageSetup && dataLength >= 8) {
            Setup setup;
            std::memcpy(setup.data(), data, 8);
            e.setup = setup;
        }
        if (e.completion && (stage == kStageData || stage == kStageComplete)) {
            e.hasData = true;
            e.data = data;
            e.dataLength = dataLength;
        }
    } else if (e.completion) {
        e.hasData = true;
        e.data = data;
        e.dataLength = dataLength;
    }
    return e;
}

Event ParseUsbmon(const uint8_t *p, size_t length, size_t headerLength) {
    if (length < headerLength)
        throw RecordError("usbmon record of " + std::to_string(length) + " bytes: its header alone takes " +
                          std::to_string(headerLength));
    const char type = char(p[8]);
    const uint32_t captured = Native<uint32_t>(p + 36);
    if (captured > length - headerLength)
        throw RecordError("truncated: the header announces " + std::to_string(captured) + " data bytes, the record holds " +
                          std::to_string(length - headerLength));
    Event e;
    e.id = Native<uint64_t>(p);
    e.transfer = p[9];
    e.endpoint = p[10];
    e.device = {Native<uint16_t>(p + 12), p[11]};
    e.completion = type == 'C';
    e.succeeded = e.completion && Native<int32_t>(p + 28) == 0;
    if (type == 'S' && e.transfer == kTransferControl && p[14] == 0) {
        Setup setup;
        std::memcpy(setup.data(), p + 40, 8);
        e.setup = setup;
    }
    if (e.completion && p[15] == 0) {
        e.hasData = true;
        e.data = p + headerLength;
        e.dataLength = captured;
    }
    return e;
}

// ---- which device is the mouse ---------------------------------------------------------------------

struct HidInterface {
    unsigned number = 0;
    uint8_t protocol = 0;
    uint8_t endpoint = 0;  // its first interrupt-IN endpoint; 0: none
};

std::vector<HidInterface> HidInterfaces(const Bytes &c) {
    std::vector<HidInterface> found;
    HidInterface *current = nullptr;
    size_t pos = 0;
    while (pos + 2 <= c.size()) {
        const size_t length = c[pos];
        if (length < 2 || pos + length > c.size()) break;
        const uint8_t type = c[pos + 1];
        if (type == kDescriptorInterface && length >= 9) {
            current = nullptr;
            const unsigned number = c[pos + 2];
            const bool known = std::any_of(found.begin(), found.end(), [&](const HidInterface &i) { return i.number == number; });
            if (c[pos + 5] == kClassHid && !known) {
                found.push_back({number, c[pos + 7], 0});
                current = &found.back();
            }
        } else if (type == kDescriptorEndpoint && length >= 7 && current && current->endpoint == 0 &&
                   (c[pos + 2] & 0x80) && (c[pos + 3] & 3) == 3) {
            current->endpoint = c[pos + 2];
        }
        pos += length;
    }
    return found;
}

// A report descriptor with an application collection of usage Generic Desktop / Mouse.
bool DeclaresMouse(const Bytes &d) {
    uint32_t page = 0;
    uint32_t usage = 0;
    bool haveUsage = false;
    size_t pos = 0;
    while (pos < d.size()) {
        const uint8_t prefix = d[pos];
        if (prefix == 0xFE) {
            if (pos + 1 >= d.size()) break;
            pos += 3 + size_t(d[pos + 1]);
            continue;
        }
        static constexpr size_t kDataBytes[4] = {0, 1, 2, 4};
        const size_t length = kDataBytes[prefix & 3];
        if (pos + 1 + length > d.size()) break;
        uint32_t value = 0;
        for (size_t k = 0; k < length; ++k) value |= uint32_t(d[pos + 1 + k]) << (8 * k);
        const unsigned type = (prefix >> 2) & 3;
        const unsigned tag = prefix >> 4;
        if (type == 1 && tag == 0) {
            page = value;
        } else if (type == 2 && tag == 0 && !haveUsage) {
            usage = length == 4 ? value : (page << 16 | value);
            haveUsage = true;
        } else if (type == 0) {
            if (tag == 0xA && value == 1 && haveUsage && usage == 0x00010002) return true;
            haveUsage = false;
        }
        pos += 1 + length;
    }
    return false;
}

bool Fits(const EndpointReports &reports, const std::vector<InputReportShape> &shapes) {
    return reports.count != 0 && !reports.moreLengths && std::all_of(reports.lengths.begin(), reports.lengths.end(), [&](size_t length) {
        return std::any_of(shapes.begin(), shapes.end(), [&](const InputReportShape &s) { return s.bytes == length; });
    });
}

enum class Verdict { Mouse, Possible, OtherHid, NotHid, Hub };

constexpr uint8_t kClassHub = 9;

// A hub by its descriptors: device class 9, or an interface of class 9.
bool IsHub(const DeviceState &state) {
    if (state.device.size() >= 5 && state.device[1] == kDescriptorDevice && state.device[4] == kClassHub) return true;
    const Bytes &c = state.configuration;
    for (size_t pos = 0; pos + 2 <= c.size() && c[pos] >= 2 && pos + c[pos] <= c.size(); pos += c[pos])
        if (c[pos + 1] == kDescriptorInterface && c[pos] >= 9 && c[pos + 5] == kClassHub) return true;
    return false;
}

struct Judgement {
    Verdict verdict = Verdict::NotHid;
    int interface = -1;
    uint8_t endpoint = 0;
};

// Mouse: its descriptors say so. Possible: no enumeration in the capture, but interrupt-IN reports
// (that fit the descriptor given apart, when there is one).
Judgement Judge(const DeviceState &state, const std::vector<InputReportShape> &hint) {
    if (IsHub(state)) return {Verdict::Hub, -1, 0};
    auto hasReports = [&](uint8_t endpoint) { return endpoint != 0 && state.reports.count(endpoint) != 0; };
    // The 9-byte first read of a configuration holds no interfaces: only a whole one tells.
    const bool whole = state.configuration.size() >= 4 && state.configuration.size() >= Le16(&state.configuration[2]);
    const auto interfaces = whole ? HidInterfaces(state.configuration) : std::vector<HidInterface>{};
    std::optional<Judgement> mouse;
    for (const HidInterface &i : interfaces) {
        const auto rd = state.reportDescriptors.find(i.number);
        const bool isMouse = rd != state.reportDescriptors.end() ? DeclaresMouse(rd->second) : i.protocol == kProtocolMouse;
        if (isMouse && (!mouse || (!hasReports(mouse->endpoint) && hasReports(i.endpoint))))
            mouse = Judgement{Verdict::Mouse, int(i.number), i.endpoint};
    }
    if (mouse) return *mouse;
    auto busiest = [&](bool fitting) {
        uint8_t best = 0;
        size_t most = 0;
        for (const auto &[endpoint, reports] : state.reports)
            if (reports.size() > most && (!fitting || Fits(reports, hint))) {
                best = endpoint;
                most = reports.size();
            }
        return best;
    };
    if (!whole) {
        for (const auto &[number, descriptor] : state.reportDescriptors)
            if (DeclaresMouse(descriptor)) return {Verdict::Mouse, int(number), busiest(false)};
    }
    if (!interfaces.empty() || !state.reportDescriptors.empty())
        return {Verdict::OtherHid, interfaces.empty() ? int(state.reportDescriptors.begin()->first) : int(interfaces[0].number),
                interfaces.empty() ? busiest(false) : interfaces[0].endpoint};
    if (whole || state.reports.empty()) return {Verdict::NotHid, -1, 0};
    const uint8_t endpoint = busiest(!hint.empty());
    if (endpoint == 0) return {Verdict::NotHid, -1, 0};
    return {Verdict::Possible, -1, endpoint};
}

size_t ReportsOf(const DeviceState &state) {
    size_t count = 0;
    for (const auto &[endpoint, reports] : state.reports) count += reports.count;
    return count;
}

// The devices named, the most reports first, at most kListedDevices of them, then "and N more".
std::string AddressList(std::map<DeviceAddress, DeviceState> &devices, std::vector<DeviceAddress> list, size_t untracked = 0) {
    std::stable_sort(list.begin(), list.end(),
                     [&](DeviceAddress a, DeviceAddress b) { return ReportsOf(devices[a]) > ReportsOf(devices[b]); });
    std::string out;
    for (size_t i = 0; i < list.size() && i < kListedDevices; ++i) out += (i == 0 ? "" : ", ") + AddressText(list[i]);
    if (list.size() > kListedDevices) out += " and " + std::to_string(list.size() - kListedDevices) + " more";
    if (untracked != 0)
        out += ", and " + std::to_string(untracked) + " records of devices past the first " + std::to_string(devices.size()) +
               ", not told apart";
    return out.empty() ? "none" : out;
}

// What each endpoint of a whole configuration belongs to: its interface's number and class.
std::map<uint8_t, std::pair<unsigned, uint8_t>> EndpointInterfaces(const Bytes &c) {
    std::map<uint8_t, std::pair<unsigned, uint8_t>> found;
    std::pair<unsigned, uint8_t> current{0, 0};
    for (size_t pos = 0; pos + 2 <= c.size() && c[pos] >= 2 && pos + c[pos] <= c.size(); pos += c[pos]) {
        if (c[pos + 1] == kDescriptorInterface && c[pos] >= 9) current = {c[pos + 2], c[pos + 5]};
        else if (c[pos + 1] == kDescriptorEndpoint && c[pos] >= 7) found.try_emplace(c[pos + 2], current);
    }
    return found;
}

std::string ClassName(uint8_t c) {
    switch (c) {
    case 1: return "audio";
    case 2: return "communications";
    case 3: return "HID";
    case 7: return "printer";
    case 8: return "mass storage";
    case 0x0A: return "CDC data";
    case 0x0E: return "video";
    case 0xE0: return "wireless controller";
    case 0xEF: return "miscellaneous";
    case 0xFE: return "application specific";
    case 0xFF: return "vendor-specific";
    default: return "class " + std::to_string(c);
    }
}

std::string Hex8(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", unsigned(value));
    return text;
}

SkippedEndpoint Skipped(DeviceAddress device, uint8_t endpoint, const EndpointReports &reports) {
    SkippedEndpoint s{device, endpoint, reports.count, {}, 0};
    for (size_t length : reports.lengths)
        if (s.lengths.size() < kListedLengths) s.lengths.push_back(length);
        else ++s.moreLengths;
    return s;
}

// The endpoints that sent interrupt-IN reports, the most first, at most kListedDevices; `more`: the rest.
std::vector<SkippedEndpoint> ReportingEndpoints(std::map<DeviceAddress, DeviceState> &devices, const std::vector<DeviceAddress> &order,
                                                size_t &more, std::optional<DeviceAddress> except = {}, uint8_t exceptEndpoint = 0) {
    std::vector<SkippedEndpoint> all;
    for (const DeviceAddress &d : order)
        for (const auto &[endpoint, reports] : devices[d].reports)
            if (reports.count != 0 && !(except && d == *except && (exceptEndpoint == 0 || endpoint == exceptEndpoint)))
                all.push_back(Skipped(d, endpoint, reports));
    std::stable_sort(all.begin(), all.end(), [](const SkippedEndpoint &a, const SkippedEndpoint &b) { return a.reports > b.reports; });
    more = all.size() > kListedDevices ? all.size() - kListedDevices : 0;
    if (more != 0) all.resize(kListedDevices);
    return all;
}

// "5 bytes", "5 or 8 bytes": the lengths of the input reports a descriptor declares.
std::string LengthsText(const std::vector<InputReportShape> &shapes) {
    std::set<size_t> lengths;
    for (const InputReportShape &s : shapes) lengths.insert(s.bytes);
    std::string out;
    size_t i = 0;
    for (size_t length : lengths) {
        if (i == kListedLengths) return out + " bytes and " + std::to_string(lengths.size() - i) + " more lengths";
        out += (i == 0 ? "" : i + 1 == lengths.size() ? " or " : ", ") + std::to_string(length);
        ++i;
    }
    return out.empty() ? "none" : out + " bytes";
}

// Two mice that are one mouse seen twice, below and above a filter driver: the same device address
// on two buses, the same number of reports at the same times.
bool TwoViews(std::map<DeviceAddress, DeviceState> &devices, DeviceAddress a, DeviceAddress b) {
    if (a.address != b.address || a.bus == b.bus) return false;
    const Judgement ja = Judge(devices[a], {});
    const Judgement jb = Judge(devices[b], {});
    const auto &ra = devices[a].reports[ja.endpoint];
    const auto &rb = devices[b].reports[jb.endpoint];
    return ra.count == rb.count && ra.signature == rb.signature;
}

// The device to replay: the one asked for, else the one mouse the capture shows.
std::pair<DeviceAddress, Judgement> ChooseDevice(std::map<DeviceAddress, DeviceState> &devices,
                                                 const std::vector<DeviceAddress> &order, const CaptureChoice &choice,
                                                 const std::string &source, std::optional<DeviceAddress> &otherView,
                                                 std::vector<DeviceAddress> &hubsLeftOut, size_t untracked) {
    std::vector<InputReportShape> hint;
    if (!choice.descriptor.empty()) hint = InputReportShapes(choice.descriptor);
    DeviceAddress chosen;
    Judgement judgement;
    if (choice.device) {
        const auto it = devices.find(*choice.device);
        if (it == devices.end())
            throw InputError(source, 0,
                             "device " + AddressText(*choice.device) + " is not in the capture (devices in it: " +
                                 AddressList(devices, order, untracked) + ")");
        chosen = *choice.device;
        judgement = Judge(it->second, {});
        if (judgement.verdict == Verdict::Hub)
            throw InputError(source, 0, "device " + AddressText(chosen) + " is a hub (device class 9), not a HID device");
        if (judgement.verdict == Verdict::NotHid)
            throw InputError(source, 0,
                             "device " + AddressText(chosen) +
                                 " is no HID device: the capture shows neither a HID interface nor interrupt-IN reports of it");
    } else {
        std::vector<DeviceAddress> mice;
        std::vector<DeviceAddress> reporting;
        std::vector<DeviceAddress> possible;
        std::vector<DeviceAddress> &hubs = hubsLeftOut;
        for (const DeviceAddress &d : order) {
            const Judgement j = Judge(devices[d], hint);
            if (j.verdict == Verdict::Mouse) {
                mice.push_back(d);
                if (devices[d].reports.count(j.endpoint)) reporting.push_back(d);
            } else if (j.verdict == Verdict::Possible) {
                possible.push_back(d);
            } else if (j.verdict == Verdict::Hub) {
                hubs.push_back(d);
            }
        }
        // What the lists of candidates below leave out.
        const std::string hubNote = hubs.empty() ? std::string()
                                                 : std::string(hubs.size() == 1 ? "; left out: hub " : "; left out: hubs ") +
                                                       AddressList(devices, hubs) + " (device class 9)";
        const std::vector<DeviceAddress> &pick = reporting.size() == 1 ? reporting : !mice.empty() ? mice : possible;
        if (pick.empty() && !hint.empty()) {
            std::string senders;
            size_t more = 0;
            for (const SkippedEndpoint &e : ReportingEndpoints(devices, order, more))
                senders += (senders.empty() ? "" : "; ") + SkippedEndpointText(e);
            if (more != 0) senders += "; and " + std::to_string(more) + " more endpoints";
            if (!senders.empty())
                throw InputError(source, 0,
                                 "no device in the capture sends interrupt-IN reports of the lengths the given report "
                                 "descriptor declares (" + LengthsText(hint) + "); the reports it holds: " + senders +
                                     hubNote + ": choose the mouse with --device BUS.ADDR, or give the report descriptor of the "
                                     "device that sent them");
        }
        if (pick.empty())
            throw InputError(source, 0,
                             "no HID mouse in the capture: no device has a mouse interface in its descriptors or sends "
                             "interrupt-IN reports (devices in it: " + AddressList(devices, order, untracked) + hubNote + ")");
        if (pick.size() == 2 && !mice.empty() && TwoViews(devices, pick[0], pick[1])) {
            chosen = std::min(pick[0], pick[1]);
            otherView = std::max(pick[0], pick[1]);
            return {chosen, Judge(devices[chosen], hint)};
        }
        if (pick.size() > 1 && mice.empty() && hint.empty())
            throw InputError(source, 0,
                             "the capture holds no enumeration, and several devices send interrupt-IN reports (" +
                                 AddressList(devices, pick) + hubNote +
                                 "): give the mouse's report descriptor with --descriptor FILE, or choose one with --device BUS.ADDR");
        if (pick.size() > 1)
            throw InputError(source, 0,
                             "the capture holds several devices that may be the mouse (" + AddressList(devices, pick) + hubNote +
                                 "): choose one with --device BUS.ADDR");
        chosen = pick[0];
        judgement = Judge(devices[chosen], hint);
    }

    return {chosen, judgement};
}

// libpcap's words for a file that ends inside a record (pcap and pcapng alike).
bool EndsInside(const std::string &why) { return why.find("truncated") != std::string::npos; }

// A record that holds less than its own header announces is cut to the snap length when the file
// says it holds less than the record was (caplen below len); what it holds is that length. (usbmon's
// len counts an IN request's whole buffer: caplen below len alone, in a record whole by its own
// header, is no cut.)
bool SnapCut(const pcap_pkthdr &header) { return header.caplen < header.len; }

// Warnings on what the chosen device's reports are: none on the mouse interface while the device
// sent reports on another; lengths the report descriptor does not declare.
void Advise(Capture &capture, std::map<DeviceAddress, DeviceState> &devices, const DeviceState &state, const Judgement &judgement,
            const Bytes &descriptor) {
    const CapturedDevice &device = capture.device;
    const std::string where = "device " + AddressText(device.address);
    if (device.reportCount == 0 && !state.reports.empty()) {
        const auto interfaces = EndpointInterfaces(state.configuration);
        std::string went;
        for (const auto &[endpoint, reports] : state.reports) {
            went += (went.empty() ? "" : "; ") + std::string("endpoint ") + Hex8(endpoint);
            if (const auto it = interfaces.find(endpoint); it != interfaces.end())
                went += " (interface " + std::to_string(it->second.first) + ", " + ClassName(it->second.second) + ")";
            went += ": " + std::to_string(reports.count) + " report" + (reports.count == 1 ? "" : "s");
        }
        const std::string mouse = judgement.endpoint != 0 ? "on the mouse interface's endpoint " + Hex8(judgement.endpoint)
                                                          : "on an interrupt-IN endpoint of the mouse interface";
        capture.warnings.push_back({"reports-on-another-interface", "no interrupt-IN report of " + where + " came " + mouse +
                                                                         (judgement.interface >= 0 ? " (interface " + std::to_string(judgement.interface) + ")" : "") +
                                                                         "; its reports went to " + went});
    }
    const auto shapes = InputReportShapes(descriptor);
    const auto it = state.reports.find(judgement.endpoint);
    if (shapes.empty() || judgement.endpoint == 0 || it == state.reports.end() || Fits(it->second, shapes)) return;
    std::string fitting;
    size_t listed = 0;
    size_t more = 0;
    for (const DeviceAddress &d : capture.devices)
        for (const auto &[endpoint, reports] : devices[d].reports)
            if (!(d == device.address && endpoint == judgement.endpoint) && Fits(reports, shapes)) {
                if (listed++ < kListedDevices) fitting += (fitting.empty() ? "" : "; ") + SkippedEndpointText(Skipped(d, endpoint, reports));
                else ++more;
            }
    if (more != 0) fitting += "; and " + std::to_string(more) + " more endpoints";
    capture.warnings.push_back(
        {"report-length-mismatch",
         "the report descriptor declares input reports of " + LengthsText(shapes) + ", but " + SkippedEndpointText(Skipped(device.address, judgement.endpoint, it->second)) +
             (fitting.empty() ? "; no device in the capture sends reports of the declared lengths"
                              : "; reports of the declared lengths came from " + fitting + ": choose one with --device BUS.ADDR")});
}

struct PcapCloser {
    void operator()(pcap_t *p) const { pcap_close(p); }
};

}  // namespace

const char *CaptureKindName(CaptureKind kind) {
    switch (kind) {
    case CaptureKind::Usbpcap: return "USBPcap";
    case CaptureKind::Usbmon: return "usbmon";
    case CaptureKind::UsbmonMmapped: return "usbmon (mmapped)";
    }
    return "?";
}

std::string SkippedEndpointText(const SkippedEndpoint &s) {
    std::string out = AddressText(s.device) + " endpoint " + Hex8(s.endpoint) + ": " + std::to_string(s.reports) +
                      (s.reports == 1 ? " report of " : " reports of ");
    for (size_t i = 0; i < s.lengths.size(); ++i)
        out += (i == 0 ? "" : i + 1 == s.lengths.size() && s.moreLengths == 0 ? " or " : ", ") + std::to_string(s.lengths[i]);
    out += s.lengths.size() == 1 && s.lengths[0] == 1 ? " byte" : " bytes";
    if (s.moreLengths != 0) out += " and " + std::to_string(s.moreLengths) + " more lengths";
    return out;
}

std::string AddressText(DeviceAddress device) { return std::to_string(device.bus) + "." + std::to_string(device.address); }

std::optional<DeviceAddress> ParseDeviceAddress(std::string_view text) {
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    auto number = [](std::string_view s) -> std::optional<unsigned> {
        if (s.empty() || s.size() > 5 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        const unsigned value = unsigned(std::stoul(std::string(s)));
        return value <= 0xFFFF ? std::optional<unsigned>(value) : std::nullopt;
    };
    const auto bus = number(text.substr(0, dot));
    const auto address = number(text.substr(dot + 1));
    if (!bus || !address) return std::nullopt;
    return DeviceAddress{*bus, *address};
}

Capture ReadCapture(const std::filesystem::path &path, const CaptureChoice &choice) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw InputError(path.string(), 0, "a folder, not a file: name a file in it");
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) throw InputError(path.string(), 0, std::string("cannot open: ") + std::strerror(errno));
    return ReadCaptureStream(file, path.string(), choice);
}

Capture ReadCaptureStream(std::FILE *file, const std::string &source, const CaptureChoice &choice) {
    Capture capture;
    uint8_t magic[4] = {};
    capture.pcapng = std::fread(magic, 1, sizeof magic, file) == sizeof magic && Le32(magic) == 0x0A0D0D0A;
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, PcapCloser> pcap;
    if (std::fseek(file, 0, SEEK_SET) == 0)
        pcap.reset(pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_NANO, errbuf));
    if (!pcap) {
        std::fclose(file);  // libpcap leaves the stream open when it refuses it
        throw InputError(source, 0, std::string("not a pcap or pcapng capture (libpcap: ") + errbuf + ")");
    }
    const int link = pcap_datalink(pcap.get());
    size_t headerLength = 0;
    switch (link) {
    case kLinkUsbpcap: capture.kind = CaptureKind::Usbpcap; break;
    case kLinkUsbLinux: capture.kind = CaptureKind::Usbmon; headerLength = kUsbmonHeader; break;
    case kLinkUsbLinuxMmapped: capture.kind = CaptureKind::UsbmonMmapped; headerLength = kUsbmonMmappedHeader; break;
    default: {
        const char *name = pcap_datalink_val_to_name(link);
        throw InputError(source, 0,
                         "link type " + std::to_string(link) + (name ? std::string(" (") + name + ")" : std::string()) +
                             " is no USB capture: hct-sim reads USBPcap (249) and Linux usbmon (189, 220) records");
    }
    }

    std::map<DeviceAddress, DeviceState> devices;
    const size_t room = kTrackedDevices - (choice.device ? 1 : 0);  // one kept for the device asked for
    size_t &untrackedReports = capture.untrackedReports;
    __int128 base = 0;
    size_t record = 0;
    for (;;) {
        struct pcap_pkthdr *header = nullptr;
        const u_char *bytes = nullptr;
        const int got = pcap_next_ex(pcap.get(), &header, &bytes);
        if (got == PCAP_ERROR_BREAK) break;
        ++record;
        const std::string where = "record " + std::to_string(record) + ": ";
        if (got != 1) {
            const std::string why = pcap_geterr(pcap.get());
            if (EndsInside(why)) {  // the whole records before it are replayed
                capture.endsInsideRecord = record--;
                break;
            }
            throw InputError(source, 0, where + "libpcap cannot read it (libpcap: " + why + ")");
        }
        // No test of caplen against len: for usbmon, len counts the whole URB (an IN request's buffer
        // on its submission), not what the record holds. The header's own data length is what counts.
        // pcapng stamps run to 64 bits: a nonsense stamp must not overflow the arithmetic.
        const __int128 stamp = __int128(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;
        if (record == 1) {
            base = stamp;
            capture.firstStamp = int64_t(std::clamp<__int128>(stamp, INT64_MIN, INT64_MAX));
        }
        const int64_t time = int64_t(std::clamp<__int128>(stamp - base, INT64_MIN, INT64_MAX));
        Event e;
        try {
            e = capture.kind == CaptureKind::Usbpcap ? ParseUsbpcap(bytes, header->caplen)
                                                     : ParseUsbmon(bytes, header->caplen, headerLength);
        } catch (const RecordError &error) {
            if (!SnapCut(*header)) throw InputError(source, 0, where + error.message);
            ++capture.snapCutRecords;
            capture.snapLength = std::max<uint32_t>(capture.snapLength, header->caplen);
            continue;
        }
        auto it = devices.find(e.device);
        if (it == devices.end()) {
            // Past the devices told apart only the records are counted: memory stays bounded.
            if (devices.size() >= room && choice.device != e.device) {
                ++capture.untrackedRecords;
                if (e.completion && e.transfer == kTransferInterrupt && (e.endpoint & 0x80) && e.succeeded && e.hasData && e.dataLength > 0)
                    ++untrackedReports;
                continue;
            }
            it = devices.try_emplace(e.device).first;
            capture.devices.push_back(e.device);
        }
        DeviceState &state = it->second;
        if (state.down.size() > kKeptOutstanding) state.down.clear();     // requests that never came back
        if (state.setups.size() > kKeptOutstanding) state.setups.clear();
        // The filter's own request for string descriptor 200 is no request of the class driver's.
        const bool probe = e.setup && (*e.setup)[0] == 0x80 && (*e.setup)[1] == 6 && (*e.setup)[2] == 200 &&
                           (*e.setup)[3] == kDescriptorString;
        if (e.function && state.down.insert(e.id).second && !probe) {
            DeviceState::Request request{*e.function, -1, 0};
            if (e.transfer != kTransferControl) request.endpoint = e.endpoint;
            else if (e.setup && ((*e.setup)[0] & 0x1F) == 1) request.interface = (*e.setup)[4];
            else if (e.setup && ((*e.setup)[0] & 0x1F) == 2) request.endpoint = (*e.setup)[4];
            // The comparison counts a run of reads once: the list keeps one entry per run, so that it
            // does not grow with the reports.
            const bool read = request.function == kUrbRead && request.interface < 0;
            if (!read) state.readRun.clear();
            if ((!read || state.readRun.insert(request.endpoint).second) && state.functions.size() < kKeptRequests)
                state.functions.push_back(request);
        }
        if (e.completion) state.down.erase(e.id);
        if (e.function && !probe) ++state.sentDown[{*e.function, e.transfer == kTransferControl ? uint8_t(0) : e.endpoint}];
        if (e.completedFunction) ++state.cameBack[{*e.completedFunction, e.transfer == kTransferControl ? uint8_t(0) : e.endpoint}];
        if (e.setup) state.setups[e.id] = *e.setup;
        if (!e.completion) continue;
        if (e.transfer == kTransferControl) {
            const auto setup = state.setups.find(e.id);
            if (setup == state.setups.end()) continue;
            if (e.succeeded && e.hasData) OnControlData(state, setup->second, e.data, e.dataLength);
            // The filter's string request: its answer as it came back, whatever it holds.
            const Setup &s = setup->second;
            if ((s[0] & 0x80) && (s[0] & 0x1F) == 1 && s[1] == 6 && s[3] == kDescriptorReport) {
                DeviceState::Reads &reads = state.reportDescriptorReads[Le16(&s[4]) & 0xFF];
                ++reads.count;
                if (!e.succeeded) {
                    ++reads.failed;
                    reads.status = e.usbdStatus;
                }
            }
            if (e.succeeded && !state.probeAnswer && s[0] == 0x80 && s[1] == 6 && s[2] == 200 && s[3] == kDescriptorString)
                state.probeAnswer = e.hasData ? Bytes(e.data, e.data + std::min<size_t>(e.dataLength, Le16(&s[6]))) : Bytes{};
            state.setups.erase(setup);
        } else if (e.transfer == kTransferInterrupt && (e.endpoint & 0x80) && e.succeeded && e.hasData && e.dataLength > 0) {
            EndpointReports &reports = state.reports[e.endpoint];
            ++reports.count;
            reports.longest = std::max(reports.longest, e.dataLength);
            if (reports.lengths.size() < kKeptLengths || reports.lengths.count(e.dataLength)) reports.lengths.insert(e.dataLength);
            else reports.moreLengths = true;
            reports.signature = (reports.signature ^ (uint64_t(time) * 0x9E3779B97F4A7C15ull + e.dataLength)) * 0x100000001B3ull;
            if (choice.keepReports) reports.kept.push_back({Bytes(e.data, e.data + e.dataLength), time, record});
        } else if (e.transfer == kTransferInterrupt && (e.endpoint & 0x80) && e.failedTransfer) {
            ++state.failedTransfers[e.endpoint];  // counted; CaptureReports gives them in order
        }
    }
    capture.records = record;

    if (capture.endsInsideRecord != 0)
        capture.warnings.push_back({"capture-ends-inside-record", "the capture ends inside record " + std::to_string(capture.endsInsideRecord) +
                                                                     ": the " + std::to_string(record) +
                                                                     " whole records before it are replayed"});
    if (capture.snapCutRecords != 0)
        capture.warnings.push_back({"records-cut-to-snap-length",
                                    std::to_string(capture.snapCutRecords) + " record" + (capture.snapCutRecords == 1 ? " was" : "s were") +
                                        " cut to the snap length of " + std::to_string(capture.snapLength) +
                                        " bytes: take the capture again with a larger snap length (the cut records are left out of the replay)"});
    const auto [chosen, judgement] =
        ChooseDevice(devices, capture.devices, choice, source, capture.otherView, capture.hubsLeftOut, capture.untrackedRecords);
    DeviceState &state = devices[chosen];
    CapturedDevice &device = capture.device;
    device.address = chosen;
    device.endpoint = judgement.endpoint;
    device.interfaceNumber = judgement.interface;
    // A part (the 8 bytes Linux reads first, the 9-byte head of a configuration) would make the
    // simulated device answer with less than a device has: only whole descriptors are taken.
    if (state.device.size() >= 18) device.deviceDescriptor = state.device;
    if (state.configuration.size() >= 4 && state.configuration.size() >= Le16(&state.configuration[2]))
        device.configurationDescriptor = state.configuration;
    if (judgement.interface >= 0 && state.reportDescriptors.count(unsigned(judgement.interface)))
        device.reportDescriptor = state.reportDescriptors[unsigned(judgement.interface)];
    if (const auto it = state.reportDescriptorReads.find(unsigned(std::max(judgement.interface, 0)));
        it != state.reportDescriptorReads.end()) {
        device.reportDescriptorReads = it->second.count;
        device.reportDescriptorFailures = it->second.failed;
        device.reportDescriptorFailure = it->second.status;
    }
    device.stringDescriptors = state.strings;
    device.probeAnswer = state.probeAnswer;
    // A composite device's other functions have stacks of their own on Windows: their requests are
    // not the mouse's.
    for (const DeviceState::Request &r : state.functions) {
        const bool otherInterface = r.interface >= 0 && judgement.interface >= 0 && r.interface != judgement.interface;
        const bool otherEndpoint = (r.endpoint & 0x7F) != 0 && device.endpoint != 0 && r.endpoint != device.endpoint;
        if (!otherInterface && !otherEndpoint) device.urbFunctions.push_back(r.function);
    }
    // What came back with no request of its kind seen going down (reads sent before the capture
    // began and re-sent unrecorded, or a capture tool that keeps only completions).
    auto mine = [&](uint8_t endpoint) { return (endpoint & 0x7F) == 0 || device.endpoint == 0 || endpoint == device.endpoint; };
    std::set<uint16_t> sent;
    for (const auto &[key, count] : state.sentDown)
        if (mine(key.second)) sent.insert(key.first);
    for (const auto &[key, count] : state.cameBack)
        if (mine(key.second) && !sent.count(key.first)) device.completedOnly[key.first] += count;
    for (const auto &[address, s] : devices)
        if (address != capture.otherView)
            for (const auto &[endpoint, reports] : s.reports) capture.skippedReports += reports.size();
    capture.skippedReports += untrackedReports;
    {
        std::vector<DeviceAddress> others;
        for (const DeviceAddress &d : capture.devices)
            if (d != capture.otherView) others.push_back(d);
        capture.skipped = ReportingEndpoints(devices, others, capture.moreSkipped, chosen, judgement.endpoint == 0 ? 0xFF : judgement.endpoint);
    }
    if (const auto it = state.reports.find(judgement.endpoint); judgement.endpoint != 0 && it != state.reports.end()) {
        device.reports = std::move(it->second.kept);
        device.reportCount = it->second.count;
        device.longestReport = it->second.longest;
    }
    if (const auto it = state.failedTransfers.find(judgement.endpoint); judgement.endpoint != 0 && it != state.failedTransfers.end())
        device.failedTransfers = it->second;
    capture.skippedReports -= device.reportCount;
    Advise(capture, devices, state, judgement, choice.descriptor.empty() ? device.reportDescriptor : choice.descriptor);
    return capture;
}

struct CaptureReports::State {
    std::string source;
    std::unique_ptr<pcap_t, PcapCloser> pcap;
    std::FILE *file = nullptr;  // owned by pcap
    CaptureKind kind = CaptureKind::Usbpcap;
    DeviceAddress device;
    uint8_t endpoint = 0;
    uint64_t size = 0;
    __int128 base = 0;
    size_t record = 0;
};

CaptureReports::CaptureReports(const std::filesystem::path &path, const Capture &capture) : state_(std::make_unique<State>()) {
    State &s = *state_;
    s.source = path.string();
    s.kind = capture.kind;
    s.device = capture.device.address;
    s.endpoint = capture.device.endpoint;
    std::error_code error;
    s.size = std::filesystem::file_size(path, error);
    if (error) s.size = 0;
    s.file = std::fopen(path.c_str(), "rb");
    if (!s.file) throw InputError(s.source, 0, std::string("cannot open: ") + std::strerror(errno));
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    s.pcap.reset(pcap_fopen_offline_with_tstamp_precision(s.file, PCAP_TSTAMP_PRECISION_NANO, errbuf));
    if (!s.pcap) {
        std::fclose(s.file);
        throw InputError(s.source, 0, std::string("not a pcap or pcapng capture (libpcap: ") + errbuf + ")");
    }
}

CaptureReports::~CaptureReports() = default;

uint64_t CaptureReports::Size() const { return state_->size; }

uint64_t CaptureReports::Position() const {
    const long at = std::ftell(state_->file);
    return at < 0 ? 0 : uint64_t(at);
}

bool CaptureReports::Next(CapturedReport &report) {
    State &s = *state_;
    if (s.endpoint == 0) return false;
    const size_t headerLength = s.kind == CaptureKind::Usbmon ? kUsbmonHeader : kUsbmonMmappedHeader;
    for (;;) {
        struct pcap_pkthdr *header = nullptr;
        const u_char *bytes = nullptr;
        const int got = pcap_next_ex(s.pcap.get(), &header, &bytes);
        if (got == PCAP_ERROR_BREAK) return false;
        ++s.record;
        if (got != 1 && EndsInside(pcap_geterr(s.pcap.get()))) return false;  // the reading said so already
        if (got != 1)
            throw InputError(s.source, 0, "record " + std::to_string(s.record) + ": libpcap cannot read it (libpcap: " +
                                              pcap_geterr(s.pcap.get()) + ")");
        const __int128 stamp = __int128(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;
        if (s.record == 1) s.base = stamp;
        Event e;
        try {
            e = s.kind == CaptureKind::Usbpcap ? ParseUsbpcap(bytes, header->caplen) : ParseUsbmon(bytes, header->caplen, headerLength);
        } catch (const RecordError &error) {
            if (SnapCut(*header)) continue;
            throw InputError(s.source, 0, "record " + std::to_string(s.record) + ": " + error.message);
        }
        if (e.device != s.device || !e.completion || e.transfer != kTransferInterrupt || e.endpoint != s.endpoint ||
            !(e.endpoint & 0x80))
            continue;
        if (e.failedTransfer) {
            report.bytes.clear();
        } else {
            if (!e.succeeded || !e.hasData || e.dataLength == 0) continue;
            report.bytes.assign(e.data, e.data + e.dataLength);
        }
        report.failedUsbdStatus = e.failedTransfer ? e.usbdStatus : 0;
        report.time = int64_t(std::clamp<__int128>(stamp - s.base, INT64_MIN, INT64_MAX));
        report.record = s.record;
        return true;
    }
}

UrbComparison CompareUrbFunctions(const std::vector<uint16_t> &captured, const std::vector<uint16_t> &simulated) {
    constexpr uint16_t kRead = 0x0009;
    constexpr size_t kLimit = 400;
    auto collapse = [](const std::vector<uint16_t> &in) {
        std::vector<uint16_t> out;
        for (uint16_t f : in)
            if (!(f == kRead && !out.empty() && out.back() == kRead)) out.push_back(f);
        if (out.size() > kLimit) out.resize(kLimit);
        return out;
    };
    const auto a = collapse(captured);
    const auto b = collapse(simulated);
    // lcs[i][j]: the longest common subsequence of a[i..] and b[j..].
    std::vector<std::vector<uint16_t>> lcs(a.size() + 1, std::vector<uint16_t>(b.size() + 1, 0));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            lcs[i][j] = a[i] == b[j] ? uint16_t(lcs[i + 1][j + 1] + 1) : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    UrbComparison result;
    result.compared = std::max(a.size(), b.size());
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            result.lines.push_back({'=', a[i++]});
            ++j;
        } else if (j == b.size() || (i < a.size() && lcs[i + 1][j] >= lcs[i][j + 1])) {
            result.lines.push_back({'-', a[i++]});
            result.same = false;
        } else {
            result.lines.push_back({'+', b[j++]});
            result.same = false;
        }
    }
    return result;
}

std::string UrbComparisonLine(const UrbComparison::Line &line, const std::map<uint16_t, size_t> &completedOnly) {
    std::string out = std::string(1, line.mark) + " " + UrbFunctionName(line.function);
    if (const auto it = completedOnly.find(line.function); line.mark == '+' && it != completedOnly.end())
        out += " (the capture: " + std::to_string(it->second) + " coming back, none going down)";
    return out;
}

std::string UrbComparisonText(const UrbComparison &c, const std::map<uint16_t, size_t> &completedOnly) {
    std::string out;
    if (c.same) {
        out += "  the simulated class driver sent the " + std::to_string(c.lines.size()) +
               " requests the capture recorded, in the same order\n";
        return out;
    }
    std::string header = "    capture";
    header.resize(38, ' ');
    out += header + "simulated class driver   (- the capture only, + the simulation only)\n";
    for (const auto &line : c.lines) {
        std::string name = UrbFunctionName(line.function);
        std::string left = line.mark == '+' ? "" : name;
        if (const auto it = completedOnly.find(line.function); line.mark == '+' && it != completedOnly.end())
            left = "coming back only (" + std::to_string(it->second) + ")";
        std::string right = line.mark == '-' ? "" : name;
        left.resize(std::max<size_t>(left.size() + 1, 34), ' ');
        out += std::string("  ") + line.mark + " " + left + right;
        while (!out.empty() && out.back() == ' ') out.pop_back();
        out += "\n";
    }
    if (c.compared >= 400) out += "  (the first 400 requests of each side compared)\n";
    return out;
}

std::string UrbFunctionName(uint16_t function) {
    static constexpr const char *kNames[] = {
        "SELECT_CONFIGURATION", "SELECT_INTERFACE", "ABORT_PIPE", "TAKE_FRAME_LENGTH_CONTROL",
        "RELEASE_FRAME_LENGTH_CONTROL", "GET_FRAME_LENGTH", "SET_FRAME_LENGTH", "GET_CURRENT_FRAME_NUMBER",
        "CONTROL_TRANSFER", "BULK_OR_INTERRUPT_TRANSFER", "ISOCH_TRANSFER", "GET_DESCRIPTOR_FROM_DEVICE",
        "SET_DESCRIPTOR_TO_DEVICE", "SET_FEATURE_TO_DEVICE", "SET_FEATURE_TO_INTERFACE", "SET_FEATURE_TO_ENDPOINT",
        "CLEAR_FEATURE_TO_DEVICE", "CLEAR_FEATURE_TO_INTERFACE", "CLEAR_FEATURE_TO_ENDPOINT", "GET_STATUS_FROM_DEVICE",
        "GET_STATUS_FROM_INTERFACE", "GET_STATUS_FROM_ENDPOINT", "RESERVED_0X0016", "VENDOR_DEVICE",
        "VENDOR_INTERFACE", "VENDOR_ENDPOINT", "CLASS_DEVICE", "CLASS_INTERFACE",
        "CLASS_ENDPOINT", "RESERVE_0X001D", "SYNC_RESET_PIPE_AND_CLEAR_STALL", "CLASS_OTHER",
        "VENDOR_OTHER", "GET_STATUS_FROM_OTHER", "CLEAR_FEATURE_TO_OTHER", "SET_FEATURE_TO_OTHER",
        "GET_DESCRIPTOR_FROM_ENDPOINT", "SET_DESCRIPTOR_TO_ENDPOINT", "GET_CONFIGURATION", "GET_INTERFACE",
        "GET_DESCRIPTOR_FROM_INTERFACE", "SET_DESCRIPTOR_TO_INTERFACE", "GET_MS_FEATURE_DESCRIPTOR",
    };
    if (function < std::size(kNames)) return kNames[function];
    switch (function) {
    case 0x0030: return "SYNC_RESET_PIPE";
    case 0x0031: return "SYNC_CLEAR_STALL";
    case 0x0032: return "CONTROL_TRANSFER_EX";
    default: break;
    }
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", unsigned(function));
    return text;
}

}  // namespace hct_sim

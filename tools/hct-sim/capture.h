// USB captures as users make them: pcap or pcapng files (read with libpcap) holding USBPcap records
// (Windows, link type 249) or Linux usbmon records (link types 189 and 220). From one capture the
// reader takes one HID mouse: its descriptors from the data stages of the control transfers, its
// completed interrupt-IN transfers as reports, and for USBPcap the URB functions sent down to it.
// Plain data, no simulation; every failure is an InputError naming the file and, where there is
// one, the record.
#pragma once

#include "formats.h"
#include "warning.h"

#include <compare>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hct_sim {

enum class CaptureKind {
    Usbpcap,        // link type 249: Windows, URBs at the device's PDO
    Usbmon,         // link type 189: Linux, 48-byte header
    UsbmonMmapped,  // link type 220: Linux, 64-byte header
};
const char *CaptureKindName(CaptureKind kind);

struct DeviceAddress {
    unsigned bus = 0;
    unsigned address = 0;
    auto operator<=>(const DeviceAddress &) const = default;
};
std::string AddressText(DeviceAddress device);  // "1.5"
// "BUS.ADDR", both decimal; nullopt for anything else.
std::optional<DeviceAddress> ParseDeviceAddress(std::string_view text);

struct CapturedReport {
    Bytes bytes;
    int64_t time = 0;   // nanoseconds since the capture's first record
    size_t record = 0;  // 1-based record number in the file
    // USBPcap: a transfer the device's stack failed (a data overrun: the mouse sent more than the
    // read asked for), with the USBD status it came back with; its bytes are then empty, the
    // capture holds none. Reads ended by a cancel or the device's removal are not taken.
    uint32_t failedUsbdStatus = 0;
};

struct CapturedDevice {
    DeviceAddress address;
    uint8_t endpoint = 0;         // interrupt-IN endpoint whose reports were taken; 0: none seen
    int interfaceNumber = -1;     // the mouse interface; -1 when the capture holds no configuration
    Bytes deviceDescriptor;         // empty when the capture does not hold it whole
    Bytes configurationDescriptor;  // with all its interfaces and endpoints; empty as above
    Bytes reportDescriptor;       // of the mouse interface
    // Requests for the mouse interface's report descriptor that came back, how many of them failed,
    // and the USBD status of the latest that failed (0 for usbmon, which records none).
    size_t reportDescriptorReads = 0;
    size_t reportDescriptorFailures = 0;
    uint32_t reportDescriptorFailure = 0;
    std::map<uint8_t, Bytes> stringDescriptors;  // by index, whole descriptors (length, type 3, text)
    std::vector<CapturedReport> reports;  // empty unless CaptureChoice::keepReports; no failed transfers
    size_t reportCount = 0;    // the completed interrupt-IN transfers taken as reports
    size_t longestReport = 0;  // bytes of the longest of them
    size_t failedTransfers = 0;  // failed interrupt-IN transfers of the endpoint (USBPcap), replayed as failed
    // The answer to the filter's string request at index 200 as it came back, raw bytes as they are
    // (a mouse need not answer with a string descriptor, and the driver matches the raw bytes);
    // nullopt when the capture holds no successful answer.
    std::optional<Bytes> probeAnswer;
    // USBPcap only: the URB function of each request on its way down to the device, in order, one
    // entry per request (the setup and data records of one control transfer count once; a run of
    // interrupt reads counts once, as CompareUrbFunctions counts it); requests to the device's other
    // interfaces and endpoints, and the filter's own request for string descriptor 200, left out.
    std::vector<uint16_t> urbFunctions;
    // USBPcap only: URB functions the capture holds coming back from the device but never going
    // down to it, with how many came back (the same requests left out as above).
    std::map<uint16_t, size_t> completedOnly;
};

// The interrupt-IN reports of one endpoint the replay left out, and their lengths.
struct SkippedEndpoint {
    DeviceAddress device;
    uint8_t endpoint = 0;
    size_t reports = 0;
    std::vector<size_t> lengths;  // the first kListedLengths distinct lengths, shortest first
    size_t moreLengths = 0;       // distinct lengths past those
};
std::string SkippedEndpointText(const SkippedEndpoint &skipped);  // "1.4 endpoint 0x81: 3 reports of 8 bytes"

inline constexpr size_t kTrackedDevices = 1024;  // devices told apart; the records of any others only counted
inline constexpr size_t kListedDevices = 8;      // devices a message or list names, the most active first
inline constexpr size_t kListedLengths = 4;

struct Capture {
    CaptureKind kind = CaptureKind::Usbpcap;
    bool pcapng = false;
    size_t records = 0;  // whole records read
    CapturedDevice device;
    size_t skippedReports = 0;  // completed interrupt-IN transfers of other devices and endpoints
    // The endpoints whose reports were skipped, the most reports first, at most kListedDevices, and
    // how many more there were.
    std::vector<SkippedEndpoint> skipped;
    size_t moreSkipped = 0;
    // The first kTrackedDevices devices the capture names, in order of appearance; the records of
    // devices past those are counted, not told apart (a capture of real devices names far fewer).
    std::vector<DeviceAddress> devices;
    size_t untrackedRecords = 0;
    size_t untrackedReports = 0;  // interrupt-IN reports among them, counted in skippedReports
    // A cut capture: the record the file ends inside (0: it ends after a whole record), and the
    // records cut to the snap length (left out of the replay), with that length: what the longest
    // of them holds (a file need not record its snap length).
    size_t endsInsideRecord = 0;
    size_t snapCutRecords = 0;
    uint32_t snapLength = 0;
    // What the capture shows that a user must know: cut records, reports elsewhere, lengths that do
    // not fit the report descriptor.
    std::vector<Warning> warnings;
    int64_t firstStamp = 0;  // the first record's time, nanoseconds since 1970
    // The same mouse seen a second time (hct-sim run --write-capture writes it below and above the
    // filter: the same device address on another bus, the same reports at the same times): the
    // device chosen is the view with the lower bus number, what the bus driver saw; this is the other.
    std::optional<DeviceAddress> otherView;
    // Devices whose descriptors say they are hubs (device class 9), left out of the candidates for
    // the mouse when none was asked for.
    std::vector<DeviceAddress> hubsLeftOut;
};

struct CaptureChoice {
    std::optional<DeviceAddress> device;  // --device; default: the mouse the capture shows
    // A report descriptor given apart (--descriptor): without an enumeration in the capture, the
    // device whose report lengths fit it is the mouse.
    Bytes descriptor;
    // Keep every report in CapturedDevice::reports; false: only count them (CaptureReports then
    // reads them one at a time).
    bool keepReports = true;
};

Capture ReadCapture(const std::filesystem::path &path, const CaptureChoice &choice = {});
// The same from an open stream, which is closed here in every case (fuzzing reads from fmemopen).
Capture ReadCaptureStream(std::FILE *file, const std::string &source, const CaptureChoice &choice = {});

// The chosen device's reports, read again from the file one record at a time: what a replay feeds
// while memory stays the same whatever the length of the capture. Every failure is an InputError
// naming the file and the record.
class CaptureReports {
public:
    CaptureReports(const std::filesystem::path &path, const Capture &capture);
    ~CaptureReports();
    CaptureReports(const CaptureReports &) = delete;
    CaptureReports &operator=(const CaptureReports &) = delete;
    // The next report or failed transfer, in the order of the file (its bytes reuse `report`'s
    // storage); false after the last one.
    bool Next(CapturedReport &report);
    uint64_t Position() const;  // bytes of the file read so far
    uint64_t Size() const;      // bytes of the file

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Where the URB functions a capture recorded for a device and the ones the simulated class driver
// sent differ, aligned as a longest common subsequence. A run of interrupt reads
// (BULK_OR_INTERRUPT_TRANSFER) counts once on either side: how many reads a driver keeps outstanding
// and re-sends is no difference in sequence.
struct UrbComparison {
    struct Line {
        char mark;  // '=' both, '-' the capture only, '+' the simulation only
        uint16_t function;
    };
    std::vector<Line> lines;
    bool same = true;
    size_t compared = 0;  // entries per side looked at (long captures are cut)
};
UrbComparison CompareUrbFunctions(const std::vector<uint16_t> &captured, const std::vector<uint16_t> &simulated);
// `completedOnly`: functions the capture holds coming back only (CapturedDevice::completedOnly); a
// line the simulation alone sent down says so in the capture's column.
std::string UrbComparisonText(const UrbComparison &comparison, const std::map<uint16_t, size_t> &completedOnly = {});
// One line of the comparison as the JSON output lists it: "= NAME", "- NAME", "+ NAME", the last with
// what the capture held coming back.
std::string UrbComparisonLine(const UrbComparison::Line &line, const std::map<uint16_t, size_t> &completedOnly = {});

// URB function names as the DDK spells them without the URB_FUNCTION_ prefix; "0x00NN" when unknown.
std::string UrbFunctionName(uint16_t function);

}  // namespace hct_sim

// Fuzzes hct-sim's capture reader with arbitrary files: libpcap reads them from memory (fmemopen),
// the reader either takes a mouse out of them or throws an InputError, and what it takes is
// consistent with the capture it came from.
#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tools/hct-sim/capture.h"

namespace {

void Read(const uint8_t *data, size_t size, const hct_sim::CaptureChoice &choice)
{
    std::FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!file)
        return;
    try {
        const hct_sim::Capture capture = hct_sim::ReadCaptureStream(file, "fuzz", choice);
        const hct_sim::CapturedDevice &device = capture.device;
        bool named = false;
        for (const auto &address : capture.devices)
            named = named || address == device.address;
        FUZZ_CHECK(named);
        FUZZ_CHECK(capture.skippedReports + device.reports.size() <= capture.records);
        FUZZ_CHECK(device.reportCount == device.reports.size());
        size_t lastRecord = 0;
        for (const auto &report : device.reports) {
            FUZZ_CHECK(!report.bytes.empty());
            FUZZ_CHECK(report.record > lastRecord && report.record <= capture.records);
            lastRecord = report.record;
        }
        if (!device.reports.empty())
            FUZZ_CHECK(device.endpoint & 0x80);
        if (capture.kind != hct_sim::CaptureKind::Usbpcap)
            FUZZ_CHECK(device.urbFunctions.empty());
        for (const auto &[index, descriptor] : device.stringDescriptors)
            FUZZ_CHECK(descriptor.size() >= 2 && descriptor[1] == 3);
        if (!device.deviceDescriptor.empty())
            FUZZ_CHECK(device.deviceDescriptor[1] == 1);
    } catch (const hct_sim::InputError &) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Read(data, size, {});
    // With a descriptor given apart, as `--descriptor` does: a mouse with a 5-byte report.
    hct_sim::CaptureChoice choice;
    choice.descriptor = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x05, 0x81, 0x06, 0xC0};
    Read(data, size, choice);
    // And a device asked for by number, taken from the input's last byte.
    if (size > 0) {
        choice.device = hct_sim::DeviceAddress{1u + (data[size - 1] >> 6), data[size - 1] & 0x3Fu};
        Read(data, size, choice);
    }
    return 0;
}

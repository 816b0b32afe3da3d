// The USB device the simulated bus plays: its descriptors (device, configuration with the HID
// descriptor and the interrupt-IN endpoint, report, strings) and what it answers on endpoint 0. The
// bus driver's own behaviour (URB checks, the in-place conversion, configuration handles) is in
// usb_port.h.
#pragma once

#include "config.h"
#include "usb_limits.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

inline constexpr UCHAR kHidInterfaceClass = 0x03;
inline constexpr UCHAR kHidDescriptorType = 0x21;
inline constexpr UCHAR kReportDescriptorType = 0x22;

struct EndpointInfo {
    UCHAR address = 0;  // bit 7: IN
    UCHAR attributes = 0;
    USHORT maxPacketSize = 0;
    UCHAR interval = 0;
    bool InterruptIn() const
    {
        return (address & USB_ENDPOINT_DIRECTION_MASK) && (attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT;
    }
};

struct InterfaceInfo {
    UCHAR number = 0;
    UCHAR alternate = 0;
    UCHAR interfaceClass = 0;
    UCHAR subClass = 0;
    UCHAR protocol = 0;
    std::vector<uint8_t> hidDescriptor;  // the HID descriptor's bytes, empty when there is none
    USHORT reportLength = 0;             // its wDescriptorLength for the report descriptor
    std::vector<EndpointInfo> endpoints;
};

struct ConfigurationInfo {
    UCHAR value = 0;  // bConfigurationValue
    USHORT totalLength = 0;
    UCHAR interfaceCount = 0;  // bNumInterfaces
    std::vector<InterfaceInfo> interfaces;
    // The first HID interface (alternate setting 0) with an interrupt-IN endpoint, if any.
    const InterfaceInfo *HidInterface() const;
};

// Reads a whole configuration descriptor. Fails with a sentence in `problem` when a descriptor runs
// past the end, wTotalLength disagrees with the bytes, or an interface lists more endpoints than follow.
std::optional<ConfigurationInfo> ParseConfiguration(std::span<const uint8_t> bytes, std::string *problem);

// An 18-byte device descriptor for a full-speed USB 1.1 HID mouse.
std::vector<uint8_t> DefaultDeviceDescriptor();
// Configuration 1: one boot-mouse HID interface whose HID descriptor announces `reportDescriptor`'s
// length, one interrupt-IN endpoint (0x81, 10 ms) sized for the largest input report.
std::vector<uint8_t> BuildConfigurationDescriptor(std::span<const uint8_t> reportDescriptor);
// The largest input report in bytes, the report ID byte included when the device numbers its
// reports; 0 when the descriptor declares no input. Walks the items as a HID parser does (global
// Report Size/Count/ID with Push/Pop); an item that runs past the end ends the walk. What a
// descriptor declares, not what the class driver reads: see ClassReadLength.
ULONG LargestInputReport(std::span<const uint8_t> reportDescriptor);
// The class driver's read for a largest input report of `largest` bytes: that many, capped at
// kMaxInterruptTransfer.
inline ULONG ClassReadLength(ULONG largest) { return largest < kMaxInterruptTransfer ? largest : kMaxInterruptTransfer; }

// The device's descriptors with the defaults filled in where the configuration left them empty.
void CompleteDescriptors(MouseConfig &config);

// What the device does with one setup packet on endpoint 0.
struct ControlReply {
    UrbAnswer answer;
    ULONG limit = 0;      // at most this many bytes go back (the setup packet's wLength)
    std::string problem;  // not empty: a request this bus refuses as malformed
};
ControlReply AnswerControl(const MouseConfig &config, const std::array<uint8_t, 8> &setup);

}  // namespace sim

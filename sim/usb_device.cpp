// The simulated USB mouse as a device: descriptors and endpoint-0 answers.
#include "usb_device.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace sim {

namespace {

constexpr UCHAR kGetDescriptor = 0x06;
constexpr UCHAR kSetIdle = 0x0A;
constexpr UCHAR kProbeIndex = 200;

USHORT Word(const uint8_t *p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

std::string Num(size_t n) { return std::to_string(n); }

std::string Hex(unsigned n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x", n);
    return text;
}

}  // namespace

// ---- UrbAnswer: the device's answer to one kind of control request -------------------------
UrbAnswer UrbAnswer::Bytes(std::vector<uint8_t> bytes)
{
    UrbAnswer a;
    a.data = std::move(bytes);
    return a;
}
UrbAnswer UrbAnswer::Text(std::string_view text) { return Bytes(std::vector<uint8_t>(text.begin(), text.end())); }
UrbAnswer UrbAnswer::Failure(USBD_STATUS usbd, NTSTATUS status, std::vector<uint8_t> bytes)
{
    UrbAnswer a = Bytes(std::move(bytes));
    a.usbdStatus = usbd;
    a.status = status;
    return a;
}
UrbAnswer UrbAnswer::Stall() { return Failure(kUsbdStallPid, STATUS_UNSUCCESSFUL); }
UrbAnswer UrbAnswer::HoldUntilCancelled(USBD_STATUS cancelUsbd, NTSTATUS cancelStatus)
{
    UrbAnswer a;
    a.kind = Kind::HoldUntilCancelled;
    a.cancelUsbdStatus = cancelUsbd;
    a.cancelStatus = cancelStatus;
    return a;
}
UrbAnswer UrbAnswer::HoldForever()
{
    UrbAnswer a;
    a.kind = Kind::HoldForever;
    return a;
}
UrbAnswer &UrbAnswer::After(int64_t delay100ns)
{
    delay = delay100ns;
    completion = Completion::Pending;
    return *this;
}
UrbAnswer &UrbAnswer::Sync()
{
    completion = Completion::Synchronous;
    return *this;
}
UrbAnswer &UrbAnswer::Pend()
{
    completion = Completion::Pending;
    return *this;
}
UrbAnswer &UrbAnswer::Length(ULONG reported)
{
    reportedLength = reported;
    return *this;
}

const InterfaceInfo *ConfigurationInfo::HidInterface() const
{
    for (const InterfaceInfo &i : interfaces)
        if (i.interfaceClass == kHidInterfaceClass && i.alternate == 0 &&
            std::any_of(i.endpoints.begin(), i.endpoints.end(), [](const EndpointInfo &e) { return e.InterruptIn(); }))
            return &i;
    return nullptr;
}

std::optional<ConfigurationInfo> ParseConfiguration(std::span<const uint8_t> bytes, std::string *problem)
{
    auto fail = [problem](std::string text) -> std::optional<ConfigurationInfo> {
        if (problem)
            *problem = std::move(text);
        return std::nullopt;
    };
    if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return fail("the configuration descriptor does not start with a 9-byte configuration header");
    ConfigurationInfo info;
    info.totalLength = Word(&bytes[2]);
    info.interfaceCount = bytes[4];
    info.value = bytes[5];
    if (info.totalLength < bytes[0] || info.totalLength > bytes.size())
        return fail("wTotalLength " + Num(info.totalLength) + " does not fit the " + Num(bytes.size()) +
                    " bytes of the configuration descriptor");
    std::vector<UCHAR> declaredEndpoints;
    for (size_t at = bytes[0]; at < info.totalLength;) {
        const UCHAR length = bytes[at];
        const UCHAR type = at + 1 < info.totalLength ? bytes[at + 1] : 0;
        if (length < 2 || at + length > info.totalLength)
            return fail("the descriptor at byte " + Num(at) + " of the configuration runs past wTotalLength");
        const uint8_t *d = &bytes[at];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            InterfaceInfo i;
            i.number = d[2];
            i.alternate = d[3];
            i.interfaceClass = d[5];
            i.subClass = d[6];
            i.protocol = d[7];
            info.interfaces.push_back(std::move(i));
            declaredEndpoints.push_back(d[4]);
        } else if (type == kHidDescriptorType && length >= 9 && !info.interfaces.empty()) {
            InterfaceInfo &i = info.interfaces.back();
            i.hidDescriptor.assign(d, d + length);
            for (size_t k = 0; k < d[5] && 6 + 3 * k + 3 <= length; ++k)
                if (d[6 + 3 * k] == kReportDescriptorType) {
                    i.reportLength = Word(&d[7 + 3 * k]);
                    break;
                }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
                   !info.interfaces.empty()) {
            info.interfaces.back().endpoints.push_back(EndpointInfo{d[2], d[3], Word(&d[4]), d[6]});
        }
        at += length;
    }
    for (size_t k = 0; k < info.interfaces.size(); ++k)
        if (info.interfaces[k].endpoints.size() != declaredEndpoints[k])
            return fail("interface " + Num(info.interfaces[k].number) + " declares " + Num(declaredEndpoints[k]) +
                        " endpoints and " + Num(info.interfaces[k].endpoints.size()) + " follow");
    return info;
}

std::vector<uint8_t> DefaultDeviceDescriptor()
{
    return {
        18, USB_DEVICE_DESCRIPTOR_TYPE,
        0x10, 0x01,  // USB 1.1
        0x00, 0x00, 0x00,  // class, subclass and protocol per interface
        8,           // endpoint 0 packet size of a low/full-speed mouse
        0x09, 0x12,  // idVendor 0x1209
        0x01, 0x00,  // idProduct 0x0001
        0x00, 0x01,  // bcdDevice 1.00
        0, 0, 0,     // no manufacturer, product or serial number strings
        1,           // one configuration
    };
}

std::vector<uint8_t> BuildConfigurationDescriptor(std::span<const uint8_t> reportDescriptor)
{
    const auto reportLength = static_cast<USHORT>(std::min<size_t>(reportDescriptor.size(), 0xFFFF));
    const ULONG largest = LargestInputReport(reportDescriptor);
    const auto packet = static_cast<USHORT>(largest == 0 ? 8 : std::min<ULONG>(largest, 64));
    std::vector<uint8_t> bytes = {
        // configuration 1, one interface, bus-powered with remote wakeup, 100 mA
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 34, 0, 1, 1, 0, 0xA0, 50,
        // interface 0: HID, boot subclass, mouse protocol, one endpoint
        9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, kHidInterfaceClass, 1, 2, 0,
        // HID 1.11, no country, one class descriptor: the report descriptor and its length
        9, kHidDescriptorType, 0x11, 0x01, 0, 1, kReportDescriptorType, UCHAR(reportLength & 0xFF), UCHAR(reportLength >> 8),
        // endpoint 0x81: interrupt IN, polled every 10 ms
        7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_INTERRUPT, UCHAR(packet & 0xFF), UCHAR(packet >> 8), 10,
    };
    return bytes;
}

ULONG LargestInputReport(std::span<const uint8_t> d)
{
    struct Globals {
        uint64_t size = 0;
        uint64_t count = 0;
        UCHAR id = 0;
    };
    Globals g;
    std::vector<Globals> stack;
    std::map<UCHAR, uint64_t> bits;  // input bits per report ID
    for (size_t at = 0; at < d.size();) {
        const UCHAR prefix = d[at];
        if (prefix == 0xFE) {  // long item: skipped whole
            if (at + 1 >= d.size())
                break;
            at += 3 + d[at + 1];
            continue;
        }
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (at + 1 + size > d.size())
            break;
        uint32_t value = 0;
        for (size_t k = 0; k < size; ++k)
            value |= uint32_t(d[at + 1 + k]) << (8 * k);
        const UCHAR type = (prefix >> 2) & 3;
        const UCHAR tag = prefix >> 4;
        if (type == 0 && tag == 0x8) {
            bits[g.id] = std::min<uint64_t>(bits[g.id] + g.size * g.count, uint64_t(1) << 40);
        } else if (type == 1) {
            switch (tag) {
            case 0x7: g.size = value; break;
            case 0x8: g.id = static_cast<UCHAR>(value); break;
            case 0x9: g.count = value; break;
            case 0xA: stack.push_back(g); break;
            case 0xB:
                if (!stack.empty()) {
                    g = stack.back();
                    stack.pop_back();
                }
                break;
            default: break;
            }
        }
        at += 1 + size;
    }
    uint64_t largest = 0;
    for (const auto &[id, n] : bits)
        if (n != 0)
            largest = std::max(largest, (n + 7) / 8 + (id != 0 ? 1 : 0));
    return static_cast<ULONG>(std::min<uint64_t>(largest, 0xFFFFFFFF));
}

void CompleteDescriptors(MouseConfig &config)
{
    if (config.deviceDescriptor.empty())
        config.deviceDescriptor = DefaultDeviceDescriptor();
    if (config.configurationDescriptor.empty())
        config.configurationDescriptor = BuildConfigurationDescriptor(config.reportDescriptor);
}

ControlReply AnswerControl(const MouseConfig &config, const std::array<uint8_t, 8> &setup)
{
    ControlReply reply;
    reply.limit = Word(&setup[6]);
    const UCHAR requestType = setup[0];
    const UCHAR request = setup[1];
    const UCHAR index = setup[2];
    const UCHAR type = setup[3];
    const USHORT wIndex = Word(&setup[4]);
    auto bytes = [&reply](const std::vector<uint8_t> &data) {
        reply.answer = UrbAnswer::Bytes(data);
        return reply;
    };

    if (request == kGetDescriptor && requestType == 0x81 && index == 0 && type == kReportDescriptorType) {
        reply.answer = config.descriptorAnswer.value_or(UrbAnswer::Bytes(config.reportDescriptor));
        return reply;
    }
    if (request == kGetDescriptor && requestType == 0x80 && type == USB_STRING_DESCRIPTOR_TYPE) {
        auto it = config.stringDescriptors.find(index);
        if (index != kProbeIndex && it != config.stringDescriptors.end())
            return bytes(it->second);
        if (config.expectProbeFields && (index != kProbeIndex || wIndex != 0x0409 || reply.limit != 255))
            reply.problem = "string descriptor request index " + Num(index) + " language 0x" + Hex(wIndex) +
                            " length " + Num(reply.limit) +
                            ", expected index 200, language 0x0409, 255 bytes, or one of the device's strings";
        reply.answer = config.stringAnswer;
        return reply;
    }
    if (request == kGetDescriptor && requestType == 0x80 && index == 0 && type == USB_DEVICE_DESCRIPTOR_TYPE)
        return bytes(config.deviceDescriptor);
    if (request == kGetDescriptor && requestType == 0x80 && index == 0 && type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return bytes(config.configurationDescriptor);
    if (request == kGetDescriptor && requestType == 0x81 && index == 0 && type == kHidDescriptorType) {
        if (auto info = ParseConfiguration(config.configurationDescriptor, nullptr))
            for (const InterfaceInfo &i : info->interfaces)
                if (i.number == wIndex && !i.hidDescriptor.empty())
                    return bytes(i.hidDescriptor);
    }
    if (request == kSetIdle && requestType == 0x21) {
        reply.answer = UrbAnswer{};  // acknowledged, no data stage
        return reply;
    }
    reply.answer = config.otherControlAnswer;
    return reply;
}

}  // namespace sim

// The port driver's URB handling, after drivers/usb/usbport/urb.c in ReactOS and what USB captures of
// Windows show: a descriptor request sent down as GET_DESCRIPTOR_FROM_INTERFACE comes back up as
// URB_FUNCTION_CONTROL_TRANSFER with the setup packet in place.
#include "usb_port.h"

#include <cstring>

namespace sim::port {

namespace {

// bmRequestType: direction, type, recipient; bRequest of the standard requests.
constexpr UCHAR kIn = 0x80;
constexpr UCHAR kClass = 0x20, kVendor = 0x40;
constexpr UCHAR kToDevice = 0, kToInterface = 1, kToEndpoint = 2, kToOther = 3;
constexpr UCHAR kGetStatus = 0x00, kClearFeature = 0x01, kSetFeature = 0x03, kGetDescriptor = 0x06, kSetDescriptor = 0x07;

enum class Kind { None, Descriptor, Status, Feature, VendorOrClass };

struct Converted {
    Kind kind = Kind::None;
    int requestType = 0;  // direction (descriptor and status requests), type and recipient
    UCHAR request = 0;    // bRequest; vendor and class requests bring their own
};

Converted Conversion(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return {Kind::Descriptor, kIn | kToDevice, kGetDescriptor};
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: return {Kind::Descriptor, kIn | kToInterface, kGetDescriptor};
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return {Kind::Descriptor, kIn | kToEndpoint, kGetDescriptor};
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE: return {Kind::Descriptor, kToDevice, kSetDescriptor};
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE: return {Kind::Descriptor, kToInterface, kSetDescriptor};
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT: return {Kind::Descriptor, kToEndpoint, kSetDescriptor};
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: return {Kind::Status, kIn | kToDevice, kGetStatus};
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE: return {Kind::Status, kIn | kToInterface, kGetStatus};
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: return {Kind::Status, kIn | kToEndpoint, kGetStatus};
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: return {Kind::Status, kIn | kToOther, kGetStatus};
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return {Kind::Feature, kToDevice, kSetFeature};
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE: return {Kind::Feature, kToInterface, kSetFeature};
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: return {Kind::Feature, kToEndpoint, kSetFeature};
    case URB_FUNCTION_SET_FEATURE_TO_OTHER: return {Kind::Feature, kToOther, kSetFeature};
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return {Kind::Feature, kToDevice, kClearFeature};
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE: return {Kind::Feature, kToInterface, kClearFeature};
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: return {Kind::Feature, kToEndpoint, kClearFeature};
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return {Kind::Feature, kToOther, kClearFeature};
    case URB_FUNCTION_VENDOR_DEVICE: return {Kind::VendorOrClass, kVendor | kToDevice, 0};
    case URB_FUNCTION_VENDOR_INTERFACE: return {Kind::VendorOrClass, kVendor | kToInterface, 0};
    case URB_FUNCTION_VENDOR_ENDPOINT: return {Kind::VendorOrClass, kVendor | kToEndpoint, 0};
    case URB_FUNCTION_VENDOR_OTHER: return {Kind::VendorOrClass, kVendor | kToOther, 0};
    case URB_FUNCTION_CLASS_DEVICE: return {Kind::VendorOrClass, kClass | kToDevice, 0};
    case URB_FUNCTION_CLASS_INTERFACE: return {Kind::VendorOrClass, kClass | kToInterface, 0};
    case URB_FUNCTION_CLASS_ENDPOINT: return {Kind::VendorOrClass, kClass | kToEndpoint, 0};
    case URB_FUNCTION_CLASS_OTHER: return {Kind::VendorOrClass, kClass | kToOther, 0};
    default: return {};
    }
}

// Each converted request shares the control transfer's layout up to the setup packet.
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == sizeof(_URB_CONTROL_TRANSFER) &&
              sizeof(_URB_CONTROL_GET_STATUS_REQUEST) == sizeof(_URB_CONTROL_TRANSFER) &&
              sizeof(_URB_CONTROL_FEATURE_REQUEST) == sizeof(_URB_CONTROL_TRANSFER) &&
              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == sizeof(_URB_CONTROL_TRANSFER));

void PutWord(uint8_t *p, USHORT v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

size_t RecordLength(USHORT function)
{
    if (function == URB_FUNCTION_CONTROL_TRANSFER || Conversion(function).kind != Kind::None)
        return sizeof(_URB_CONTROL_TRANSFER);
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    return 0;
}

bool ConvertsInPlace(USHORT function) { return Conversion(function).kind != Kind::None; }

std::array<uint8_t, 8> SetupOf(const URB &urb)
{
    std::array<uint8_t, 8> setup{};
    const USHORT function = urb.UrbHeader.Function;
    if (function == URB_FUNCTION_CONTROL_TRANSFER) {
        std::memcpy(setup.data(), urb.UrbControlTransfer.SetupPacket, 8);
        return setup;
    }
    const Converted c = Conversion(function);
    switch (c.kind) {
    case Kind::None:
        return setup;
    case Kind::Descriptor: {
        const auto &d = urb.UrbControlDescriptorRequest;
        setup = {UCHAR(c.requestType), c.request, d.Index, d.DescriptorType};
        PutWord(&setup[4], d.LanguageId);
        PutWord(&setup[6], static_cast<USHORT>(d.TransferBufferLength));
        return setup;
    }
    case Kind::Status: {
        const auto &s = urb.UrbControlGetStatusRequest;
        setup = {UCHAR(c.requestType), c.request, 0, 0};
        PutWord(&setup[4], s.Index);
        PutWord(&setup[6], static_cast<USHORT>(s.TransferBufferLength));
        return setup;
    }
    case Kind::Feature: {
        const auto &f = urb.UrbControlFeatureRequest;
        setup = {UCHAR(c.requestType), c.request};
        PutWord(&setup[2], f.FeatureSelector);
        PutWord(&setup[4], f.Index);
        return setup;  // no data stage
    }
    case Kind::VendorOrClass: {
        const auto &v = urb.UrbControlVendorClassRequest;
        const UCHAR direction = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? kIn : 0;
        setup = {static_cast<uint8_t>(direction | c.requestType), v.Request};
        PutWord(&setup[2], v.Value);
        PutWord(&setup[4], v.Index);
        PutWord(&setup[6], static_cast<USHORT>(v.TransferBufferLength));
        return setup;
    }
    }
    return setup;
}

void ConvertToControlTransfer(URB &urb)
{
    const Converted c = Conversion(urb.UrbHeader.Function);
    if (c.kind == Kind::None)
        return;
    const std::array<uint8_t, 8> setup = SetupOf(urb);
    auto &t = urb.UrbControlTransfer;
    if (c.kind == Kind::Feature) {
        // The feature request's transfer fields are reserved: the control transfer has no data stage.
        t.TransferBufferLength = 0;
        t.TransferBuffer = nullptr;
        t.TransferBufferMDL = nullptr;
    }
    std::memcpy(t.SetupPacket, setup.data(), 8);
    // Only a vendor or class request brings flags of its own; in the others the field is reserved.
    const ULONG kept = c.kind == Kind::VendorOrClass ? t.TransferFlags & ~ULONG(USBD_TRANSFER_DIRECTION_IN) : 0;
    t.TransferFlags = kept | USBD_SHORT_TRANSFER_OK |
                      ((setup[0] & kIn) ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT);
    t.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
}

std::optional<Refusal> Accept(URB &urb, const Configuration *selected)
{
    auto refuse = [](std::string problem, USBD_STATUS usbd = kUsbdInvalidParameter) {
        return std::optional<Refusal>(Refusal{usbd, std::move(problem)});
    };
    const USHORT function = urb.UrbHeader.Function;
    const size_t expected = RecordLength(function);
    if (expected == 0)
        return refuse({}, kUsbdInvalidUrbFunction);
    if (urb.UrbHeader.Length != expected)
        return refuse("URB function 0x" + std::to_string(function) + " with header Length " +
                      std::to_string(urb.UrbHeader.Length) + ", expected " + std::to_string(expected));
    // From here on a descriptor, status, feature, class or vendor request is a control transfer, and
    // whoever looks at the URB when it completes sees it as one.
    if (ConvertsInPlace(function))
        ConvertToControlTransfer(urb);

    const auto &t = urb.UrbControlTransfer;
    const ULONG length = t.TransferBufferLength;
    if (length != 0 && t.TransferBuffer == nullptr && t.TransferBufferMDL == nullptr)
        return refuse("URB with TransferBufferLength " + std::to_string(length) + " and no buffer");
    if (t.TransferBuffer == nullptr && t.TransferBufferMDL != nullptr && length > t.TransferBufferMDL->ByteCount)
        return refuse("TransferBufferLength beyond the MDL's ByteCount");
    if (t.UrbLink != nullptr)
        return refuse("linked URBs are not supported by this bus");
    if (urb.UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER) {
        if ((t.SetupPacket[0] & 0x80) && !(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN))
            return refuse("device-to-host control transfer without USBD_TRANSFER_DIRECTION_IN");
        return std::nullopt;
    }
    if (!(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN))
        return refuse("interrupt transfer to the mouse (no USBD_TRANSFER_DIRECTION_IN)");
    // Once a configuration is selected a read must name its interrupt-IN pipe; before that the bus
    // takes reads on the one pipe the mouse has (a class driver that never selects).
    if (selected != nullptr) {
        const Pipe *pipe = selected->FindPipe(t.PipeHandle);
        if (pipe == nullptr || pipe->type != UsbdPipeTypeInterrupt || !(pipe->endpointAddress & USB_ENDPOINT_DIRECTION_MASK))
            return refuse("interrupt transfer on a pipe handle that is not the selected configuration's interrupt-IN pipe",
                          kUsbdInvalidPipeHandle);
    }
    return std::nullopt;
}

Configuration::Configuration(const ConfigurationInfo &info)
{
    size_t pipes = 0;
    for (const InterfaceInfo &i : info.interfaces) {
        firstPipe_.push_back(pipes);
        pipes += i.endpoints.size();
    }
    block_ = std::make_unique<uint8_t[]>(1 + info.interfaces.size() + pipes);
    uint8_t *next = block_.get() + 1 + info.interfaces.size();
    for (const InterfaceInfo &i : info.interfaces)
        for (const EndpointInfo &e : i.endpoints)
            pipes_.push_back(Pipe{next++, e.address, static_cast<USBD_PIPE_TYPE>(e.attributes & USB_ENDPOINT_TYPE_MASK)});
}

const Pipe *Configuration::FindPipe(USBD_PIPE_HANDLE handle) const
{
    for (const Pipe &p : pipes_)
        if (p.handle == handle)
            return &p;
    return nullptr;
}

std::string SelectConfiguration(URB &urb, const ConfigurationInfo &device, std::optional<Configuration> &selected)
{
    auto &s = urb.UrbSelectConfiguration;
    const size_t length = s.Hdr.Length;
    if (length < sizeof(_URB_SELECT_CONFIGURATION))
        return "SELECT_CONFIGURATION with header Length " + std::to_string(length) + ", at least " +
               std::to_string(sizeof(_URB_SELECT_CONFIGURATION)) + " expected";
    if (s.ConfigurationDescriptor == nullptr) {
        selected.reset();
        s.ConfigurationHandle = nullptr;
        return {};
    }
    const USB_CONFIGURATION_DESCRIPTOR &d = *s.ConfigurationDescriptor;
    if (d.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || d.bConfigurationValue != device.value ||
        d.bNumInterfaces != device.interfaceCount || d.wTotalLength != device.totalLength)
        return "SELECT_CONFIGURATION with a configuration descriptor the device did not return (value " +
               std::to_string(d.bConfigurationValue) + ", " + std::to_string(d.bNumInterfaces) + " interfaces, " +
               std::to_string(d.wTotalLength) + " bytes)";

    Configuration configuration(device);
    auto *bytes = reinterpret_cast<uint8_t *>(&urb);
    size_t at = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (unsigned n = 0; n < d.bNumInterfaces; ++n) {
        if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > length)
            return "SELECT_CONFIGURATION: interface information " + std::to_string(n) + " lies past the header Length";
        auto &info = *reinterpret_cast<USBD_INTERFACE_INFORMATION *>(bytes + at);
        size_t k = 0;
        while (k < device.interfaces.size() && (device.interfaces[k].number != info.InterfaceNumber ||
                                                device.interfaces[k].alternate != info.AlternateSetting))
            ++k;
        if (k == device.interfaces.size())
            return "SELECT_CONFIGURATION names interface " + std::to_string(info.InterfaceNumber) + " setting " +
                   std::to_string(info.AlternateSetting) + ", which the configuration does not have";
        const InterfaceInfo &i = device.interfaces[k];
        const size_t expected = GET_USBD_INTERFACE_SIZE(i.endpoints.size());
        if (info.Length != expected || at + expected > length)
            return "SELECT_CONFIGURATION: interface " + std::to_string(i.number) + " information of Length " +
                   std::to_string(info.Length) + ", " + std::to_string(expected) + " expected within the URB";
        info.Class = i.interfaceClass;
        info.SubClass = i.subClass;
        info.Protocol = i.protocol;
        info.InterfaceHandle = configuration.InterfaceHandle(k);
        info.NumberOfPipes = static_cast<ULONG>(i.endpoints.size());
        USBD_PIPE_INFORMATION *pipes = info.Pipes;  // as many as the Length says, past the declared one
        for (size_t e = 0; e < i.endpoints.size(); ++e) {
            USBD_PIPE_INFORMATION &pipe = pipes[e];
            pipe.MaximumPacketSize = i.endpoints[e].maxPacketSize;
            pipe.EndpointAddress = i.endpoints[e].address;
            pipe.Interval = i.endpoints[e].interval;
            pipe.PipeType = configuration.PipeOf(k, e).type;
            pipe.PipeHandle = configuration.PipeOf(k, e).handle;
        }
        at += expected;
    }
    s.ConfigurationHandle = configuration.Handle();
    selected.emplace(std::move(configuration));
    return {};
}

}  // namespace sim::port

// What the USB port driver does to a URB before a device sees it: the record length each function
// must have, the in-place conversion of descriptor, status, feature, class and vendor requests into
// URB_FUNCTION_CONTROL_TRANSFER (the setup packet written over the request's own fields, which lie
// where _URB_CONTROL_TRANSFER.SetupPacket lies; the direction and short-transfer flags; the header's
// Function), and SELECT_CONFIGURATION with the configuration, interface and pipe handles it hands
// out. The completion routines above the bus see the URB as the port driver left it.
#pragma once

#include "usb_device.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim::port {

// The header Length a URB of `function` must give (its DDK record's size); 0 for a function this
// bus does not serve. SELECT_CONFIGURATION has a length of its own, checked by SelectConfiguration.
size_t RecordLength(USHORT function);

// Descriptor, status, feature, class and vendor requests: what the port driver sends as a control
// transfer on the default pipe.
bool ConvertsInPlace(USHORT function);

// The setup packet a URB stands for: a control transfer's own, the one the port driver builds for a
// request it converts, zeros for anything else. `urb` must be at least RecordLength(function) long.
std::array<uint8_t, 8> SetupOf(const URB &urb);

// Turns a request for which ConvertsInPlace holds into URB_FUNCTION_CONTROL_TRANSFER in place.
void ConvertToControlTransfer(URB &urb);

class Configuration;

// Why the port driver refuses a URB before the device sees it.
struct Refusal {
    USBD_STATUS usbd = kUsbdInvalidParameter;
    std::string problem;  // empty: refused without complaint (a function this bus does not serve)
};

// Checks a transfer or control request as the port driver does (header Length, buffer, MDL, link,
// direction, and once a configuration is selected the read's pipe), converting a request it sends as
// a control transfer in place on the way. SELECT_CONFIGURATION goes to SelectConfiguration instead.
std::optional<Refusal> Accept(URB &urb, const Configuration *selected);

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR endpointAddress = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
};

// A selected configuration: the handles SELECT_CONFIGURATION handed out, valid until the next
// selection or the device's removal. The handles are addresses inside a block this object owns.
class Configuration {
public:
    explicit Configuration(const ConfigurationInfo &info);
    USBD_CONFIGURATION_HANDLE Handle() const { return block_.get(); }
    USBD_INTERFACE_HANDLE InterfaceHandle(size_t k) const { return block_.get() + 1 + k; }
    const std::vector<Pipe> &Pipes() const { return pipes_; }
    const Pipe &PipeOf(size_t interface, size_t endpoint) const { return pipes_[firstPipe_[interface] + endpoint]; }
    const Pipe *FindPipe(USBD_PIPE_HANDLE handle) const;

private:
    std::unique_ptr<uint8_t[]> block_;
    std::vector<Pipe> pipes_;
    std::vector<size_t> firstPipe_;  // per interface of the configuration
};

// Answers SELECT_CONFIGURATION from the device's configuration: checks the caller's configuration
// descriptor and interface list against the device, fills in the interface and pipe information and
// the handles, and replaces `selected`. A null ConfigurationDescriptor unconfigures the device.
// Returns what is wrong with the request, empty when it succeeded.
std::string SelectConfiguration(URB &urb, const ConfigurationInfo &device, std::optional<Configuration> &selected);

}  // namespace sim::port

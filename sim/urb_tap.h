// An observer of the URBs a simulated mouse's stack carries, at the two places a USB capture tool
// could sit: where the bus driver receives and completes them (below the filter, at the PDO) and
// where the class driver sends them and gets them back (above the filter). hct-sim writes a USB
// capture from it. Null in MouseConfig: no observer, nothing is done.
#pragma once

#include "../platform/kernel.h"

#include <cstdint>

namespace sim {

enum class UrbPoint : uint8_t {
    Bus,    // the bus driver: as it received the URB (before converting anything) and as it completes it
    Class,  // the class driver: as it sends the URB down and as it comes back to it
};

enum class UrbStage : uint8_t {
    Submit,    // on the way down
    Complete,  // on the way back up
};

// The URB as it is at that moment: at the bus's submit still as its sender built it, at the bus's
// completion converted in place and with the device's answer, at the class driver's completion with
// whatever the filter changed in it. Valid only during OnUrb.
struct UrbEvent {
    UrbPoint point;
    UrbStage stage;
    const void *irp;
    const URB *urb;
    NTSTATUS status;  // the IRP's status on completion; 0 on submit
    int64_t time;     // virtual time, 100 ns units
};

class UrbTap {
public:
    // Called on the thread that sends or completes the URB, possibly several at once.
    virtual void OnUrb(const UrbEvent &event) = 0;

protected:
    ~UrbTap() = default;
};

}  // namespace sim

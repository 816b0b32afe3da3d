// The simulated Plug and Play manager: loads the bus and class drivers, plugs mice (bus PDO, then the
// lower filter's AddDevice, then the class driver's AddDevice) and sends PnP and power requests to
// the top of each mouse's stack as the real one does (IoAllocateIrp with the stack's StackSize,
// status STATUS_NOT_SUPPORTED, a completion routine on the creator's level, a wait).
#pragma once

#include "config.h"
#include "hid_class.h"
#include "usb_bus.h"

#include <memory>
#include <vector>

namespace sim {

enum class MouseState {
    AddFailed,  // the filter's or the class driver's AddDevice failed; only the PDO exists
    Added,      // stack built, not started
    Started,
    StartFailed,
    Stopped,
    SurpriseRemoved,
    Removed,    // IRP_MN_REMOVE_DEVICE sent and the PDO deleted
};

class Mouse {
public:
    UsbBus &Bus() { return *bus_; }
    HidClass &Class() { return *class_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The filter's device object when a filter was given, else the class device: the device attached
    // directly above the PDO, or above the neighbour filter when there is one. Dangling after removal.
    PDEVICE_OBJECT FilterDevice() const { return filterDevice_; }
    // The neighbour filter's device object (MouseConfig::neighbour), null when there is none.
    // Dangling after removal.
    PDEVICE_OBJECT Neighbour() const { return neighbour_; }
    void *FilterExtension() const { return filterDevice_ ? filterDevice_->DeviceExtension : nullptr; }
    PDEVICE_OBJECT ClassDevice() const { return classDevice_; }
    PDEVICE_OBJECT Top() const { return classDevice_ ? classDevice_ : filterDevice_; }
    MouseState State() const { return state_; }
    NTSTATUS AddStatus() const { return addStatus_; }         // the failing AddDevice's status
    NTSTATUS LastStatus() const { return lastStatus_; }       // final status of the last PnP request
    unsigned Index() const { return index_; }                 // 0 for the first mouse plugged

    // Shorthand for Bus().FeedReport(...).
    void Feed(std::vector<uint8_t> bytes, const ReportOptions &options = {}) { bus_->FeedReport(std::move(bytes), options); }
    template <size_t N>
    void Feed(const std::array<uint8_t, N> &bytes, const ReportOptions &options = {}) { bus_->FeedReport(bytes, options); }

private:
    friend class PnpManager;
    std::shared_ptr<UsbBus> bus_;
    std::shared_ptr<HidClass> class_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT filterDevice_ = nullptr;
    PDEVICE_OBJECT classDevice_ = nullptr;
    PDEVICE_OBJECT neighbour_ = nullptr;
    std::optional<NeighbourFilter> neighbourConfig_;
    MouseState state_ = MouseState::AddFailed;
    NTSTATUS addStatus_ = STATUS_SUCCESS;
    NTSTATUS lastStatus_ = STATUS_SUCCESS;
    unsigned index_ = 0;
};

class PnpManager {
public:
    // `filterDriver`: the lower filter's driver object (loaded by the caller with hk::LoadDriver), or
    // null for a stack without a filter (class driver directly on the bus). Loads the bus and class
    // drivers; must be created after hk::Reset().
    explicit PnpManager(PDRIVER_OBJECT filterDriver);
    // Unloads the bus and class drivers when every mouse was removed; otherwise leaves the kernel as
    // it is (the next hk::Reset() forgets it).
    ~PnpManager();
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    PDRIVER_OBJECT BusDriver() const { return busDriver_; }
    PDRIVER_OBJECT ClassDriver() const { return classDriver_; }
    PDRIVER_OBJECT FilterDriver() const { return filterDriver_; }
    PDRIVER_OBJECT NeighbourDriver() const { return neighbourDriver_; }  // null until a mouse needs it

    // A neighbour filter for every mouse plugged from now on whose config names none (empty: none).
    void SetNeighbour(std::optional<NeighbourFilter> neighbour) { defaultNeighbour_ = neighbour; }

    // Creates the PDO, calls the filter's AddDevice, then the class driver's. A failed AddDevice
    // leaves the mouse in MouseState::AddFailed with AddStatus() set; Remove() then deletes the PDO.
    Mouse &Plug(const MouseConfig &config = {});
    // Plug in two steps, for tests that arm a fault (hk::FailNth) between the bus's own device
    // creation and the drivers' AddDevice routines: Connect creates the PDO only.
    Mouse &Connect(const MouseConfig &config = {});
    NTSTATUS AddDevices(Mouse &mouse);
    // IRP_MN_START_DEVICE; returns the final status (never STATUS_PENDING).
    NTSTATUS Start(Mouse &mouse);
    // Plug then Start.
    Mouse &PlugAndStart(const MouseConfig &config = {}, NTSTATUS *startStatus = nullptr);
    // Any other PnP minor (query remove, stop, surprise removal, query capabilities, 0x18, ...).
    NTSTATUS Send(Mouse &mouse, UCHAR minor);
    // Power request (IRP_MN_QUERY_POWER / IRP_MN_SET_POWER / other minors) through PoCallDriver.
    NTSTATUS Power(Mouse &mouse, UCHAR minor);
    // Optionally IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE, then the PDO is deleted.
    // Returns the final status of the remove request.
    NTSTATUS Remove(Mouse &mouse, bool surpriseFirst = false);

    std::vector<Mouse *> Mice();
    // Runs deferred work until nothing is due or scheduled (hk::RunUntilIdle()).
    static void Settle();

private:
    NTSTATUS SendPnp(Mouse &mouse, UCHAR major, UCHAR minor);

    PDRIVER_OBJECT filterDriver_;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PDRIVER_OBJECT classDriver_ = nullptr;
    PDRIVER_OBJECT neighbourDriver_ = nullptr;
    std::optional<NeighbourFilter> defaultNeighbour_;
    std::vector<std::unique_ptr<Mouse>> mice_;
};

// The simulation's machine by its other name.
using Machine = PnpManager;

// Sends one request with IoAllocateIrp to `target` (not necessarily the top of a stack) as a
// creator that waits for it, and returns the final status. For requests the PnP manager and the
// application do not send: an internal device control request to the extra device, a device
// control request to the filter device, an unknown major code, ...
struct Request {
    UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    PVOID argument1 = nullptr;  // Parameters.Others.Argument1 (the URB for SUBMIT_URB)
    ULONG powerType = 0;        // IRP_MJ_POWER: Parameters.Power.Type (0 system, 1 device power)
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    NTSTATUS initialStatus = STATUS_NOT_SUPPORTED;
    ULONG_PTR initialInformation = 0;  // what a creator left in the status block
};
struct RequestResult {
    NTSTATUS dispatchStatus = 0;  // what IofCallDriver returned
    NTSTATUS status = 0;          // Irp->IoStatus.Status at completion
    ULONG_PTR information = 0;
    bool pendingReturned = false;
};
RequestResult SendRequest(PDEVICE_OBJECT target, const Request &request);

}  // namespace sim

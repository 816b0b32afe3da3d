// The simulated USB bus driver and the mouse's physical device object (PDO). It is a real driver on
// the host kernel layer: its own DRIVER_OBJECT and dispatch routines, URBs pended with
// IoMarkIrpPending and a cancel routine, completed with IofCompleteRequest at DISPATCH_LEVEL from
// deferred work (hk::Defer). One UsbBus object is one plugged mouse; the driver object is shared.
#pragma once

#include "config.h"
#include "usb_port.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// One request the bus driver received, as it arrived (fields of the URB on the way down).
struct BusRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;  // device control and internal device control
    bool hasUrb = false;
    USHORT urbLength = 0;
    USHORT urbFunction = 0;
    ULONG transferFlags = 0;
    ULONG transferBufferLength = 0;  // as it came down
    bool hasTransferBuffer = false;
    bool hasMdl = false;
    USHORT mdlFlags = 0;
    // The setup packet the request stands for: a control transfer's own, or the one the bus builds
    // for a descriptor, status, feature, class or vendor request it converts in place.
    std::array<uint8_t, 8> setup{};
    UCHAR descriptorIndex = 0;  // requests converted in place: wValue and wIndex of that setup
    UCHAR descriptorType = 0;
    USHORT languageId = 0;
    int64_t time = 0;  // virtual time of arrival
};

// Counts of what happened to URBs, for tests.
struct BusCounters {
    uint64_t urbsCompleted = 0;
    uint64_t urbsCancelled = 0;     // completed by the cancel routine
    uint64_t urbsFailedGone = 0;    // failed at surprise removal / removal / after it
    uint64_t reportsDelivered = 0;  // fed reports that completed an interrupt read
};

class UsbBus : public std::enable_shared_from_this<UsbBus> {
public:
    // Creates the PDO (named "\Device\SimUsbPdo-<n>") with the bus driver object.
    UsbBus(PDRIVER_OBJECT busDriver, const MouseConfig &config);
    ~UsbBus();
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    bool PdoDeleted() const { return pdo_ == nullptr; }

    // ---- the device's input reports ----
    // Delivers one input report at DISPATCH_LEVEL (deferred work, after options.delay): fills the
    // oldest pending interrupt read's buffer (TransferBuffer, else the MDL's StartVa+ByteOffset) with
    // up to its TransferBufferLength bytes, writes the USBD status and the reported length, and
    // completes the read. With no read pending the report waits for the next one. Call
    // hk::RunUntilIdle() (or wait in the kernel) for the delivery to happen.
    void FeedReport(std::vector<uint8_t> bytes, const ReportOptions &options = {});
    template <size_t N>
    void FeedReport(const std::array<uint8_t, N> &bytes, const ReportOptions &options = {})
    {
        FeedReport(std::vector<uint8_t>(bytes.begin(), bytes.end()), options);
    }
    size_t PendingInterruptReads() const;  // interrupt reads waiting at the bus
    size_t QueuedReports() const;          // fed reports waiting for a read
    size_t PendingUrbs() const;            // every URB the bus holds (reads, held control requests)

    // Completes every URB held by a HoldForever answer at that moment (deferred work at DISPATCH_LEVEL,
    // `delay` from now). A violation handler for "WaitNeverSatisfied" can call it to end a hung wait.
    void ReleaseHeld(USBD_STATUS usbd = kUsbdDevNotResponding, NTSTATUS status = STATUS_UNSUCCESSFUL,
                     int64_t delay = 0);

    // ---- changing behaviour after the plug ----
    void SetStringAnswer(const UrbAnswer &answer);
    void SetDescriptorAnswer(const UrbAnswer &answer);
    void SetOtherControlAnswer(const UrbAnswer &answer);
    void SetStartAnswers(std::vector<StartAnswer> answers);
    void SetPnpStatus(UCHAR minor, NTSTATUS status);
    void SetStrict(bool strict);

    // ---- what the bus saw ----
    std::vector<BusRequest> Log() const;  // empty unless MouseConfig::keepRecords
    // Called with every request as it arrives, under the bus's lock (it must not call the bus).
    void SetRequestObserver(std::function<void(const BusRequest &)> observer);
    std::vector<BusRequest> UrbLog(USHORT function) const;  // URB requests of one function
    size_t StringRequests() const;      // requests for a string descriptor (setup 80 06 xx 03)
    size_t DescriptorRequests() const;  // requests for the report descriptor (setup 81 06 00 22)
    bool Configured() const;            // a configuration is selected (SELECT_CONFIGURATION)
    BusCounters Counters() const;
    void ClearLog();
    bool Started() const;
    bool Gone() const;  // surprise-removed or removed: every URB now fails at once

    UrbTap *Tap() const { return config_.urbTap; }  // MouseConfig::urbTap

    // The PnP manager's part after IRP_MN_REMOVE_DEVICE has come back: the child is reported missing
    // and its PDO deleted. Everything above must have detached by then.
    void DeletePdo();

    // The bus driver's DriverEntry (what the PnP manager loads with hk::LoadDriver).
    static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

    // Used by the bus driver's static dispatch and cancel routines.
    NTSTATUS Dispatch(PIRP irp);
    void CancelIrp(PIRP irp);

private:
    struct Pending;
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchUrb(PIRP irp, BusRequest &record);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS Answer(PIRP irp, PURB urb, const UrbAnswer &answer, PUCHAR buffer, ULONG capacity);
    NTSTATUS PendIrp(Pending entry, uint64_t *id);
    void CompleteLater(uint64_t id, int64_t delay);
    void CompleteById(uint64_t id);
    void Arrive(std::vector<uint8_t> bytes, ReportOptions options);
    void DeliverReports();
    void FailAllPending(USBD_STATUS usbd, NTSTATUS status);
    NTSTATUS Malformed(PIRP irp, PURB urb, const std::string &what, USBD_STATUS usbd = kUsbdInvalidParameter);
    bool ClaimLocked(Pending &entry);
    void KeepLocked(const BusRequest &record);
    Completion CompletionOf(const UrbAnswer &answer) const;

    mutable std::mutex mutex_;
    MouseConfig config_;                       // descriptors completed with the defaults
    std::optional<ConfigurationInfo> device_;  // config_.configurationDescriptor, read once
    std::optional<port::Configuration> selected_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<BusRequest> log_;
    std::function<void(const BusRequest &)> requestObserver_;
    BusCounters counters_;
    std::deque<std::unique_ptr<Pending>> pending_;
    struct Report {
        std::vector<uint8_t> bytes;
        ReportOptions options;
    };
    std::deque<Report> reports_;     // fed, waiting for a read
    size_t reportsInFlight_ = 0;     // fed, delivery deferred
    size_t startIndex_ = 0;
    bool started_ = false;
    bool gone_ = false;
    uint64_t nextId_ = 1;
};

}  // namespace sim

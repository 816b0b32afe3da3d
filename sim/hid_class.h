// The simulated HID class driver above the filter: its own DRIVER_OBJECT, an AddDevice that attaches
// its device object on top of the mouse's stack, PnP and power pass-down, and after each successful
// start the requests the system's HID-over-USB class driver sends (device and configuration
// descriptors, SELECT_CONFIGURATION, SET_IDLE, the report descriptor; see ClassSequence) and N
// interrupt reads kept outstanding, each one an IOCTL_INTERNAL_USB_SUBMIT_URB request built with
// IoAllocateIrp and completed back to it through its completion routine. One HidClass object is one
// mouse's class device.
#pragma once

#include "config.h"
#include "usb_device.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

// One interrupt read as it came back to the class driver, the bytes exactly as the drivers below
// left them (TransferBufferLength bytes of the buffer, at most the buffer's size).
struct ReadRecord {
    std::vector<uint8_t> bytes;
    NTSTATUS status = 0;
    USBD_STATUS usbdStatus = 0;
    ULONG transferLength = 0;
    bool cancelled = false;  // Irp->Cancel was set
    int64_t time = 0;
};

// One request of the class driver's own on the default pipe (or SELECT_CONFIGURATION) as it came
// back: the URB as the drivers below left it.
struct ControlRecord {
    USHORT sentFunction = 0;         // the URB function the class driver built
    USHORT function = 0;             // UrbHeader.Function when it came back
    std::array<uint8_t, 8> setup{};  // the bytes at _URB_CONTROL_TRANSFER.SetupPacket when it came back
    ULONG transferFlags = 0;         // when it came back
    ULONG requestedLength = 0;
    ULONG transferLength = 0;
    NTSTATUS status = 0;
    USBD_STATUS usbdStatus = 0;
    std::vector<uint8_t> bytes;      // the data stage, at most the buffer
};

// The report descriptor request as it came back.
struct DescriptorRecord {
    bool fetched = false;
    NTSTATUS status = 0;
    USBD_STATUS usbdStatus = 0;
    ULONG transferLength = 0;
    std::vector<uint8_t> bytes;
};

class HidClass : public std::enable_shared_from_this<HidClass> {
public:
    HidClass(PDRIVER_OBJECT classDriver, const MouseConfig &config);
    ~HidClass();
    HidClass(const HidClass &) = delete;
    HidClass &operator=(const HidClass &) = delete;

    // Calls the class driver's AddDevice for this mouse: creates the class device and attaches it on
    // top of the stack above `pdo`. Called by the PnP manager.
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo);

    PDEVICE_OBJECT Device() const { return fdo_; }      // null after removal
    PDEVICE_OBJECT LowerDevice() const { return lower_; }  // what AddDevice attached to

    // Every completed interrupt read, successful or not, in order of completion.
    std::vector<ReadRecord> Reads() const;
    // Only the successful ones (status STATUS_SUCCESS and USBD success).
    std::vector<ReadRecord> Reports() const;
    void ClearReads();
    DescriptorRecord Descriptor() const;
    size_t DescriptorFetches() const;
    // The class driver's own requests after each start, in order (the interrupt reads excluded).
    std::vector<ControlRecord> Controls() const;
    ULONG ReadLength() const;  // the buffer of each interrupt read
    // Called with every completed interrupt read as it comes back, before the next read is sent
    // (whether or not MouseConfig::keepRecords keeps it).
    void SetReadObserver(std::function<void(const ReadRecord &)> observer);
    unsigned ReadsInFlight() const;  // reads sent down and not yet back
    bool Started() const;
    bool Removing() const;
    uint64_t ReadsSubmitted() const;

    // The class driver's DriverEntry (what the PnP manager loads with hk::LoadDriver).
    static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

    // Used by the class driver's static routines (hid_class.cpp).
    NTSTATUS OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchPass(PIRP irp);
    void ReadCompleted(unsigned slot, PIRP irp);
    struct Slot;

private:
    NTSTATUS Enumerate();
    NTSTATUS FetchDescriptor();
    NTSTATUS SendAndWait(PURB urb);
    ControlRecord SendControl(USHORT function, ULONG length, const std::function<void(URB &)> &fill);
    ControlRecord GetDescriptor(USHORT function, UCHAR type, UCHAR index, USHORT languageId, ULONG length);
    NTSTATUS SelectConfiguration(const std::vector<uint8_t> &configuration, const ConfigurationInfo &info);
    void KeepDescriptor(const ControlRecord &record);
    void StartReads();
    void SubmitRead(unsigned slot);
    void Recycle(unsigned slot);
    void StopReads(bool cancel);
    void FreeSlotBuffer(Slot &slot);  // the read's buffer and its MDL
    void FreeSlotResources(Slot &slot);

    mutable std::mutex mutex_;
    MouseConfig config_;
    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<ReadRecord> reads_;
    std::function<void(const ReadRecord &)> readObserver_;
    DescriptorRecord descriptor_;
    size_t descriptorFetches_ = 0;
    std::vector<ControlRecord> controls_;
    ULONG readLength_ = 0;
    USBD_PIPE_HANDLE interruptPipe_ = nullptr;  // null: no configuration selected
    uint64_t readsSubmitted_ = 0;
    bool started_ = false;
    bool stopping_ = true;
    bool removing_ = false;
    bool cancelling_ = false;
    KEVENT idle_;
};

}  // namespace sim

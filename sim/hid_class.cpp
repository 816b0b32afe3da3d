// The simulated HID class driver. Each interrupt read lives in a slot: buffer and URB for the life of
// the class device (the buffer sized for the largest input report, at most one interrupt transfer), a fresh IRP (IoAllocateIrp) per read. The read's completion routine runs on the
// creator's level, records what came back and returns STATUS_MORE_PROCESSING_REQUIRED; deferred work
// then frees the IRP and sends the next read. Stopping and removal wait until every slot is idle.
#include "hid_class.h"

#include "../platform/host/hostkernel.h"
#include "registry.h"
#include "sim.h"

#include <algorithm>
#include <cstring>

namespace sim {

using detail::CompleteIrp;
using detail::SimExtension;

namespace {

constexpr ULONG kClassTag = 0x48696D53;  // "SmiH" as bytes: the simulated class driver's pool
constexpr NTSTATUS kStatusDeviceDataError = (NTSTATUS)0xC000009C;           // STATUS_DEVICE_DATA_ERROR
constexpr NTSTATUS kStatusDeviceConfigurationError = (NTSTATUS)0xC0000182;  // STATUS_DEVICE_CONFIGURATION_ERROR

detail::Registry<HidClass> &Classes()
{
    static detail::Registry<HidClass> registry;
    return registry;
}

thread_local HidClass *t_adding = nullptr;

NTSTATUS NTAPI ClassAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (t_adding == nullptr)
        return STATUS_UNSUCCESSFUL;
    return t_adding->OnAddDevice(driver, pdo);
}

NTSTATUS NTAPI ClassPnp(PDEVICE_OBJECT device, PIRP irp)
{
    HidClass *cls = Classes().Find(device, detail::kClassMagic);
    if (cls == nullptr)
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    return cls->DispatchPnp(irp);
}

NTSTATUS NTAPI ClassPower(PDEVICE_OBJECT device, PIRP irp)
{
    HidClass *cls = Classes().Find(device, detail::kClassMagic);
    if (cls == nullptr) {
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    }
    return cls->DispatchPower(irp);
}

NTSTATUS NTAPI ClassPass(PDEVICE_OBJECT device, PIRP irp)
{
    HidClass *cls = Classes().Find(device, detail::kClassMagic);
    if (cls == nullptr)
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    return cls->DispatchPass(irp);
}

VOID NTAPI ClassUnload(PDRIVER_OBJECT) {}

// Hands a request the class driver waits for back to it: signal, and keep the IRP.
NTSTATUS NTAPI SignalAndHold(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

struct HidClass::Slot {
    enum class State { Idle, InFlight, Completed };
    HidClass *owner = nullptr;
    unsigned index = 0;
    PUCHAR buffer = nullptr;
    ULONG bufferLength = 0;
    ULONG filled = 0;  // the leading bytes of the buffer the last read brought back
    PURB urb = nullptr;
    PMDL mdl = nullptr;
    bool mdlLocked = false;
    PIRP irp = nullptr;
    State state = State::Idle;
    bool failed = false;
};

namespace {

NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *slot = static_cast<HidClass::Slot *>(context);
    slot->owner->ReadCompleted(slot->index, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS NTAPI HidClass::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &major : driver->MajorFunction)
        major = ClassPass;
    driver->MajorFunction[IRP_MJ_PNP] = ClassPnp;
    driver->MajorFunction[IRP_MJ_POWER] = ClassPower;
    driver->DriverExtension->AddDevice = ClassAddDevice;
    driver->DriverUnload = ClassUnload;
    return STATUS_SUCCESS;
}

HidClass::HidClass(PDRIVER_OBJECT classDriver, const MouseConfig &config) : config_(config), driver_(classDriver)
{
    KeInitializeEvent(&idle_, NotificationEvent, FALSE);
    Classes().Add(this);
}

HidClass::~HidClass() { Classes().Remove(this); }

NTSTATUS HidClass::AddDevice(PDEVICE_OBJECT pdo)
{
    t_adding = this;
    NTSTATUS status = driver_->DriverExtension->AddDevice(driver_, pdo);
    t_adding = nullptr;
    return status;
}

NTSTATUS HidClass::OnAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SimExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (status != STATUS_SUCCESS)
        return status;
    auto *ext = static_cast<SimExtension *>(fdo->DeviceExtension);
    ext->magic = detail::kClassMagic;
    ext->owner = this;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard lock(mutex_);
    fdo_ = fdo;
    lower_ = lower;
    return STATUS_SUCCESS;
}

NTSTATUS HidClass::DispatchPass(PIRP irp)
{
    if (lower_ == nullptr || fdo_ == nullptr)
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower_, irp);
}

NTSTATUS HidClass::DispatchPower(PIRP irp)
{
    PoStartNextPowerIrp(irp);
    if (lower_ == nullptr)
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_, irp);
}

NTSTATUS HidClass::DispatchPnp(PIRP irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalAndHold, &event, TRUE, TRUE, TRUE);
        if (IofCallDriver(lower_, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        {
            std::lock_guard lock(mutex_);
            readLength_ = std::max(config_.readBufferLength, config_.minimumReadLength);
            interruptPipe_ = nullptr;
        }
        if (status == STATUS_SUCCESS && config_.fetchDescriptor)
            status = config_.classSequence == ClassSequence::System ? Enumerate() : FetchDescriptor();
        if (status == STATUS_SUCCESS) {
            {
                std::lock_guard lock(mutex_);
                started_ = true;
            }
            StartReads();
        }
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_STOP_DEVICE:
        StopReads(true);
        {
            std::lock_guard lock(mutex_);
            started_ = false;
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL: {
        std::lock_guard lock(mutex_);
        removing_ = true;
        stopping_ = true;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        {
            std::lock_guard lock(mutex_);
            removing_ = true;
            stopping_ = true;
        }
        if (config_.cancelReadsBeforeRemove)
            StopReads(true);
        PDEVICE_OBJECT fdo = fdo_;
        PDEVICE_OBJECT lower = lower_;
        // Detached before the request goes down, so that each driver below finds nothing attached
        // above it when it deletes its own device object (the host kernel checks that strictly).
        IoDetachDevice(lower);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IofCallDriver(lower, irp);
        // The bus failed whatever it still held; anything left is cancelled and waited for before
        // the slots and the device go.
        StopReads(true);
        for (auto &slot : slots_)
            FreeSlotResources(*slot);
        {
            std::lock_guard lock(mutex_);
            started_ = false;
            fdo_ = nullptr;
            lower_ = nullptr;
        }
        IoDeleteDevice(fdo);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower_, irp);
}

NTSTATUS HidClass::SendAndWait(PURB urb)
{
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndHold, &event, TRUE, TRUE, TRUE);
    if (config_.urbTap)
        config_.urbTap->OnUrb({UrbPoint::Class, UrbStage::Submit, irp, urb, 0, hk::Now()});
    if (IofCallDriver(lower_, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    if (config_.urbTap)
        config_.urbTap->OnUrb({UrbPoint::Class, UrbStage::Complete, irp, urb, status, hk::Now()});
    IoFreeIrp(irp);
    return status;
}

// Every control request has the control transfer's size and its transfer fields in the same place;
// `fill` writes the function's own fields.
ControlRecord HidClass::SendControl(USHORT function, ULONG length, const std::function<void(URB &)> &fill)
{
    ControlRecord record;
    record.sentFunction = function;
    record.requestedLength = length;
    constexpr size_t urbBytes = sizeof(_URB_CONTROL_TRANSFER);
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, kClassTag));
    PUCHAR buffer = length ? static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kClassTag)) : nullptr;
    if (urb == nullptr || (length != 0 && buffer == nullptr)) {
        if (buffer)
            ExFreePool(buffer);
        if (urb)
            ExFreePool(urb);
        record.status = STATUS_INSUFFICIENT_RESOURCES;
        return record;
    }
    std::memset(urb, 0, urbBytes);
    if (buffer)
        std::memset(buffer, 0, length);
    auto &t = urb->UrbControlTransfer;
    t.Hdr.Length = urbBytes;
    t.Hdr.Function = function;
    t.TransferBufferLength = length;
    t.TransferBuffer = buffer;
    fill(*urb);

    record.status = SendAndWait(urb);
    record.function = t.Hdr.Function;
    std::memcpy(record.setup.data(), t.SetupPacket, 8);
    record.transferFlags = t.TransferFlags;
    record.transferLength = t.TransferBufferLength;
    record.usbdStatus = t.Hdr.Status;
    if (buffer)
        record.bytes.assign(buffer, buffer + std::min(length, t.TransferBufferLength));
    if (buffer)
        ExFreePool(buffer);
    ExFreePool(urb);
    std::lock_guard lock(mutex_);
    controls_.push_back(record);
    return record;
}

ControlRecord HidClass::GetDescriptor(USHORT function, UCHAR type, UCHAR index, USHORT languageId, ULONG length)
{
    return SendControl(function, length, [&](URB &urb) {
        auto &d = urb.UrbControlDescriptorRequest;
        d.Index = index;
        d.DescriptorType = type;
        d.LanguageId = languageId;
    });
}

void HidClass::KeepDescriptor(const ControlRecord &r)
{
    std::lock_guard lock(mutex_);
    descriptor_ = DescriptorRecord{true, r.status, r.usbdStatus, r.transferLength, r.bytes};
    ++descriptorFetches_;
}

// What the system's HID-over-USB class driver sends after a successful start, as USB captures of
// Windows show it. A failed step fails the start with its status, except SET_IDLE, which many mice
// stall.
NTSTATUS HidClass::Enumerate()
{
    const ControlRecord device =
        GetDescriptor(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, sizeof(USB_DEVICE_DESCRIPTOR));
    if (device.status != STATUS_SUCCESS)
        return device.status;
    const ControlRecord head = GetDescriptor(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                             0, 0, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    if (head.status != STATUS_SUCCESS)
        return head.status;
    if (head.bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return kStatusDeviceDataError;
    const ULONG total = head.bytes[2] | (head.bytes[3] << 8);
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return kStatusDeviceDataError;
    const ControlRecord whole =
        GetDescriptor(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total);
    if (whole.status != STATUS_SUCCESS)
        return whole.status;
    const auto configuration = ParseConfiguration(whole.bytes, nullptr);
    const InterfaceInfo *hid = configuration ? configuration->HidInterface() : nullptr;
    if (hid == nullptr || hid->reportLength == 0)
        return kStatusDeviceConfigurationError;
    if (NTSTATUS status = SelectConfiguration(whole.bytes, *configuration); status != STATUS_SUCCESS)
        return status;

    SendControl(URB_FUNCTION_CLASS_INTERFACE, 0, [hid](URB &urb) {
        auto &v = urb.UrbControlVendorClassRequest;
        v.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
        v.Request = 0x0A;  // SET_IDLE: duration 0 (report only on change), all reports
        v.Value = 0;
        v.Index = hid->number;
    });

    // Asks for more than the HID descriptor announces, as the system's class driver does.
    const ControlRecord report = GetDescriptor(URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, kReportDescriptorType, 0,
                                               hid->number, ULONG(hid->reportLength) + 64);
    KeepDescriptor(report);
    if (report.status != STATUS_SUCCESS)
        return report.status;
    // A descriptor may declare reports longer than any interrupt transfer: the read is capped at
    // what the USB stack moves in one, so that the buffer never follows what is merely declared.
    if (const ULONG largest = LargestInputReport(report.bytes)) {
        std::lock_guard lock(mutex_);
        readLength_ = std::max(ClassReadLength(largest), config_.minimumReadLength);
    }
    return STATUS_SUCCESS;
}

// SELECT_CONFIGURATION for setting 0 of every interface, built as USBD_CreateConfigurationRequestEx
// builds it; the interrupt-IN pipe's handle is kept for the reads.
NTSTATUS HidClass::SelectConfiguration(const std::vector<uint8_t> &configuration, const ConfigurationInfo &info)
{
    std::vector<const InterfaceInfo *> chosen;
    size_t urbBytes = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (const InterfaceInfo &i : info.interfaces)
        if (i.alternate == 0) {
            chosen.push_back(&i);
            urbBytes += GET_USBD_INTERFACE_SIZE(i.endpoints.size());
        }
    urbBytes = std::max(urbBytes, sizeof(_URB_SELECT_CONFIGURATION));
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, kClassTag));
    auto descriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, configuration.size(), kClassTag));
    if (urb == nullptr || descriptor == nullptr) {
        if (urb)
            ExFreePool(urb);
        if (descriptor)
            ExFreePool(descriptor);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(urb, 0, urbBytes);
    std::memcpy(descriptor, configuration.data(), configuration.size());
    auto &s = urb->UrbSelectConfiguration;
    s.Hdr.Length = static_cast<USHORT>(urbBytes);
    s.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    s.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor);
    auto *at = reinterpret_cast<PUCHAR>(&s.Interface);
    for (const InterfaceInfo *i : chosen) {
        auto &interface = *reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(i->endpoints.size()));
        interface.InterfaceNumber = i->number;
        interface.AlternateSetting = 0;
        interface.NumberOfPipes = static_cast<ULONG>(i->endpoints.size());
        PUSBD_PIPE_INFORMATION pipes = interface.Pipes;
        for (size_t e = 0; e < i->endpoints.size(); ++e)
            pipes[e].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        at += interface.Length;
    }

    ControlRecord record;
    record.sentFunction = URB_FUNCTION_SELECT_CONFIGURATION;
    record.status = SendAndWait(urb);
    record.function = s.Hdr.Function;
    record.usbdStatus = s.Hdr.Status;
    USBD_PIPE_HANDLE pipe = nullptr;
    at = reinterpret_cast<PUCHAR>(&s.Interface);
    for (const InterfaceInfo *i : chosen) {
        auto &interface = *reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        PUSBD_PIPE_INFORMATION pipes = interface.Pipes;
        for (size_t e = 0; e < i->endpoints.size() && i->interfaceClass == kHidInterfaceClass && !pipe; ++e)
            if ((pipes[e].EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) && pipes[e].PipeType == UsbdPipeTypeInterrupt)
                pipe = pipes[e].PipeHandle;
        at += interface.Length;
    }
    ExFreePool(descriptor);
    ExFreePool(urb);
    std::lock_guard lock(mutex_);
    controls_.push_back(record);
    if (record.status != STATUS_SUCCESS)
        return record.status;
    if (pipe == nullptr)
        return kStatusDeviceConfigurationError;
    interruptPipe_ = pipe;
    return STATUS_SUCCESS;
}

// The report descriptor through a control transfer the class driver builds itself: nothing for the
// bus to convert.
NTSTATUS HidClass::FetchDescriptor()
{
    const ULONG length = config_.descriptorRequestLength;
    const ControlRecord record = SendControl(URB_FUNCTION_CONTROL_TRANSFER, length, [length](URB &urb) {
        auto &t = urb.UrbControlTransfer;
        t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        const UCHAR setup[8] = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, UCHAR(length & 0xFF), UCHAR((length >> 8) & 0xFF)};
        std::memcpy(t.SetupPacket, setup, 8);
    });
    KeepDescriptor(record);
    return record.status;
}

void HidClass::StartReads()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        while (slots_.size() < config_.readsOutstanding) {
            auto slot = std::make_unique<Slot>();
            slot->owner = this;
            slot->index = static_cast<unsigned>(slots_.size());
            slots_.push_back(std::move(slot));
        }
        for (auto &slot : slots_)
            slot->failed = false;
    }
    for (unsigned i = 0; i < slots_.size(); ++i)
        SubmitRead(i);
}

void HidClass::SubmitRead(unsigned index)
{
    std::unique_lock lock(mutex_);
    Slot &slot = *slots_[index];
    if (stopping_ || slot.state != Slot::State::Idle || lower_ == nullptr)
        return;
    const ULONG length = readLength_;
    bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;

    // A restart may have found a different largest report: the slot's buffer follows it.
    if (slot.buffer != nullptr && slot.bufferLength != length)
        FreeSlotBuffer(slot);

    if (slot.urb == nullptr)
        slot.urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kClassTag));
    if (slot.buffer == nullptr && length != 0) {
        slot.buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kClassTag));
        slot.bufferLength = length;
        slot.filled = 0;
    }
    if (slot.urb == nullptr || (length != 0 && slot.buffer == nullptr))
        return;  // out of pool: this read is lost, as a real class driver would lose it

    // An unmapped MDL is rebuilt for every read sent at PASSIVE_LEVEL, so that each one reaches the
    // drivers below unmapped; at DISPATCH_LEVEL the read keeps the MDL it had.
    if (config_.bufferForm == BufferForm::MdlLockedUnmapped && slot.mdl != nullptr && passive) {
        MmUnlockPages(slot.mdl);
        IoFreeMdl(slot.mdl);
        slot.mdl = nullptr;
    }
    if (config_.bufferForm != BufferForm::TransferBuffer && slot.mdl == nullptr && length != 0) {
        slot.mdl = IoAllocateMdl(slot.buffer, length, FALSE, FALSE, nullptr);
        if (slot.mdl == nullptr)
            return;
        switch (config_.bufferForm) {
        case BufferForm::MdlNonPagedPool:
            MmBuildMdlForNonPagedPool(slot.mdl);
            break;
        case BufferForm::MdlMapped:
            MmProbeAndLockPages(slot.mdl, KernelMode, IoWriteAccess);
            slot.mdlLocked = true;
            MmMapLockedPages(slot.mdl, KernelMode);
            break;
        case BufferForm::MdlLockedUnmapped:
            MmProbeAndLockPages(slot.mdl, KernelMode, IoWriteAccess);
            slot.mdlLocked = true;
            break;
        case BufferForm::TransferBuffer:
            break;
        }
    }

    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    if (irp == nullptr)
        return;
    std::memset(slot.urb, 0, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    // Each read finds the start of its buffer zeroed: the first page and whatever the last read
    // brought back, not the whole buffer, so that a read costs what its reports hold, not what the
    // descriptor declares (the system's class driver clears nothing; what lies past the bytes a
    // read brought back is no one's to look at).
    if (slot.buffer)
        std::memset(slot.buffer, 0, std::min(slot.bufferLength, std::max<ULONG>(slot.filled, 4096)));
    slot.filled = 0;
    auto &t = slot.urb->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = interruptPipe_;
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = length;
    t.TransferBuffer = config_.bufferForm == BufferForm::TransferBuffer ? slot.buffer : nullptr;
    t.TransferBufferMDL = config_.bufferForm == BufferForm::TransferBuffer ? nullptr : slot.mdl;

    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = slot.urb;
    IoSetCompletionRoutine(irp, ReadDone, &slot, TRUE, TRUE, TRUE);
    slot.irp = irp;
    slot.state = Slot::State::InFlight;
    ++readsSubmitted_;
    PDEVICE_OBJECT lower = lower_;
    lock.unlock();
    if (config_.urbTap)
        config_.urbTap->OnUrb({UrbPoint::Class, UrbStage::Submit, irp, slot.urb, 0, hk::Now()});
    IofCallDriver(lower, irp);
}

void HidClass::ReadCompleted(unsigned index, PIRP irp)
{
    Slot &slot = *slots_[index];
    if (config_.urbTap)
        config_.urbTap->OnUrb({UrbPoint::Class, UrbStage::Complete, irp, slot.urb, irp->IoStatus.Status, hk::Now()});
    ReadRecord record;
    record.status = irp->IoStatus.Status;
    record.usbdStatus = slot.urb->UrbHeader.Status;
    record.transferLength = slot.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    record.cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE);  // IoCancelIrp may be setting it now
    record.time = hk::Now();
    if (slot.buffer) {
        slot.filled = std::min(record.transferLength, slot.bufferLength);
        record.bytes.assign(slot.buffer, slot.buffer + slot.filled);
    }
    bool ok = record.status == STATUS_SUCCESS;
    if (readObserver_)
        readObserver_(record);
    {
        std::lock_guard lock(mutex_);
        if (config_.keepRecords)
            reads_.push_back(std::move(record));
        slot.state = Slot::State::Completed;
        slot.failed = !ok;
        if (stopping_)
            KeSetEvent(&idle_, 0, FALSE);
    }
    std::weak_ptr<HidClass> weak = weak_from_this();
    hk::Defer(
        [weak, index] {
            if (auto self = weak.lock())
                self->Recycle(index);
        },
        0, config_.resubmitIrql);
}

void HidClass::Recycle(unsigned index)
{
    PIRP irp;
    bool again;
    {
        std::lock_guard lock(mutex_);
        Slot &slot = *slots_[index];
        // While StopReads is cancelling, IRPs stay allocated: it may still hold their addresses.
        if (slot.state != Slot::State::Completed || cancelling_)
            return;
        irp = slot.irp;
        slot.irp = nullptr;
        slot.state = Slot::State::Idle;
        again = !stopping_ && (!slot.failed || config_.resubmitAfterFailure);
    }
    IoFreeIrp(irp);
    if (again)
        SubmitRead(index);
}

void HidClass::StopReads(bool cancel)
{
    std::vector<PIRP> inFlight;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (cancel) {
            cancelling_ = true;
            for (auto &slot : slots_)
                if (slot->state == Slot::State::InFlight)
                    inFlight.push_back(slot->irp);
        }
    }
    for (PIRP irp : inFlight)
        IoCancelIrp(irp);
    {
        std::lock_guard lock(mutex_);
        cancelling_ = false;
    }
    for (;;) {
        KeClearEvent(&idle_);
        std::vector<PIRP> done;
        bool busy = false;
        {
            std::lock_guard lock(mutex_);
            for (auto &slot : slots_) {
                if (slot->state == Slot::State::Completed) {
                    done.push_back(slot->irp);
                    slot->irp = nullptr;
                    slot->state = Slot::State::Idle;
                } else if (slot->state == Slot::State::InFlight) {
                    busy = true;
                }
            }
        }
        for (PIRP irp : done)
            IoFreeIrp(irp);
        if (!busy)
            return;
        KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr);
    }
}

void HidClass::FreeSlotBuffer(Slot &slot)
{
    if (slot.mdl) {
        if (slot.mdlLocked)
            MmUnlockPages(slot.mdl);
        IoFreeMdl(slot.mdl);
        slot.mdl = nullptr;
        slot.mdlLocked = false;
    }
    if (slot.buffer) {
        ExFreePool(slot.buffer);
        slot.buffer = nullptr;
    }
}

void HidClass::FreeSlotResources(Slot &slot)
{
    FreeSlotBuffer(slot);
    if (slot.urb) {
        ExFreePool(slot.urb);
        slot.urb = nullptr;
    }
}

void HidClass::SetReadObserver(std::function<void(const ReadRecord &)> observer)
{
    std::lock_guard lock(mutex_);
    readObserver_ = std::move(observer);
}

std::vector<ReadRecord> HidClass::Reads() const
{
    std::lock_guard lock(mutex_);
    return reads_;
}
std::vector<ReadRecord> HidClass::Reports() const
{
    std::lock_guard lock(mutex_);
    std::vector<ReadRecord> out;
    for (const auto &r : reads_)
        if (r.status == STATUS_SUCCESS && r.usbdStatus == 0)
            out.push_back(r);
    return out;
}
void HidClass::ClearReads()
{
    std::lock_guard lock(mutex_);
    reads_.clear();
}
DescriptorRecord HidClass::Descriptor() const
{
    std::lock_guard lock(mutex_);
    return descriptor_;
}
size_t HidClass::DescriptorFetches() const
{
    std::lock_guard lock(mutex_);
    return descriptorFetches_;
}
std::vector<ControlRecord> HidClass::Controls() const
{
    std::lock_guard lock(mutex_);
    return controls_;
}
ULONG HidClass::ReadLength() const
{
    std::lock_guard lock(mutex_);
    return readLength_;
}
unsigned HidClass::ReadsInFlight() const
{
    std::lock_guard lock(mutex_);
    unsigned n = 0;
    for (const auto &slot : slots_)
        n += slot->state == Slot::State::InFlight;
    return n;
}
bool HidClass::Started() const
{
    std::lock_guard lock(mutex_);
    return started_;
}
bool HidClass::Removing() const
{
    std::lock_guard lock(mutex_);
    return removing_;
}
uint64_t HidClass::ReadsSubmitted() const
{
    std::lock_guard lock(mutex_);
    return readsSubmitted_;
}

}  // namespace sim

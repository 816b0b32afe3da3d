// The simulated HID class driver. Each interrupt read lives in a slot: buffer and URB for the life of
// the class device, a fresh IRP (IoAllocateIrp) per read. The read's completion routine runs on the
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
        if (status == STATUS_SUCCESS && config_.fetchDescriptor)
            status = FetchDescriptor();
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

NTSTATUS HidClass::FetchDescriptor()
{
    ULONG length = config_.descriptorRequestLength;
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_TRANSFER), kClassTag));
    PUCHAR buffer = length ? static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kClassTag)) : nullptr;
    PIRP irp = (urb && (buffer || !length)) ? IoAllocateIrp(lower_->StackSize, FALSE) : nullptr;
    if (irp == nullptr) {
        if (buffer)
            ExFreePool(buffer);
        if (urb)
            ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(urb, 0, sizeof(_URB_CONTROL_TRANSFER));
    if (buffer)
        std::memset(buffer, 0, length);
    auto &t = urb->UrbControlTransfer;
    t.Hdr.Length = sizeof(_URB_CONTROL_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = length;
    t.TransferBuffer = buffer;
    const UCHAR setup[8] = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, UCHAR(length & 0xFF), UCHAR((length >> 8) & 0xFF)};
    std::memcpy(t.SetupPacket, setup, 8);

    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndHold, &event, TRUE, TRUE, TRUE);
    if (IofCallDriver(lower_, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);

    DescriptorRecord record;
    record.fetched = true;
    record.status = irp->IoStatus.Status;
    record.usbdStatus = t.Hdr.Status;
    record.transferLength = t.TransferBufferLength;
    if (buffer)
        record.bytes.assign(buffer, buffer + std::min(length, t.TransferBufferLength));
    IoFreeIrp(irp);
    if (buffer)
        ExFreePool(buffer);
    ExFreePool(urb);

    std::lock_guard lock(mutex_);
    descriptor_ = record;
    ++descriptorFetches_;
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
    ULONG length = config_.readBufferLength;
    bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;

    if (slot.urb == nullptr)
        slot.urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kClassTag));
    if (slot.buffer == nullptr && length != 0)
        slot.buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kClassTag));
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
    if (slot.buffer)
        std::memset(slot.buffer, 0, length);
    auto &t = slot.urb->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
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
    IofCallDriver(lower, irp);
}

void HidClass::ReadCompleted(unsigned index, PIRP irp)
{
    Slot &slot = *slots_[index];
    ReadRecord record;
    record.status = irp->IoStatus.Status;
    record.usbdStatus = slot.urb->UrbHeader.Status;
    record.transferLength = slot.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    record.cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE);  // IoCancelIrp may be setting it now
    record.time = hk::Now();
    if (slot.buffer)
        record.bytes.assign(slot.buffer, slot.buffer + std::min(record.transferLength, config_.readBufferLength));
    bool ok = record.status == STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
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

void HidClass::FreeSlotResources(Slot &slot)
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
    if (slot.urb) {
        ExFreePool(slot.urb);
        slot.urb = nullptr;
    }
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

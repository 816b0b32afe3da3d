// The simulated USB bus driver. Pending URBs sit in `pending_` with a cancel routine set; whoever
// takes one out (deferred completion, report delivery, removal, the cancel routine) first wins the
// IoSetCancelRoutine(irp, nullptr) exchange under the bus lock, so each URB is completed exactly once,
// and always outside the lock because completion runs the drivers above.
#include "usb_bus.h"

#include "usb_port.h"

#include "../platform/host/hostkernel.h"
#include "registry.h"
#include "sim.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace sim {

using detail::SimExtension;

namespace {

detail::Registry<UsbBus> &Buses()
{
    static detail::Registry<UsbBus> registry;
    return registry;
}

// Live buses whose mouse has a URB observer: with none, a completion looks no further.
std::atomic<unsigned> g_observedBuses{0};

// Every request the bus driver completes passes here: a URB is shown to the mouse's observer, if it
// has one, as it goes back up.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (g_observedBuses.load(std::memory_order_relaxed) != 0 && stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        stack->Parameters.Others.Argument1 != nullptr) {
        UsbBus *bus = Buses().Find(stack->DeviceObject, detail::kBusMagic);
        if (bus != nullptr && bus->Tap() != nullptr)
            bus->Tap()->OnUrb({UrbPoint::Bus, UrbStage::Complete, irp,
                               static_cast<const URB *>(stack->Parameters.Others.Argument1), status, hk::Now()});
    }
    return detail::CompleteIrp(irp, status, information);
}

std::atomic<unsigned> g_pdoCounter{0};

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    UsbBus *bus = Buses().Find(device, detail::kBusMagic);
    if (bus == nullptr)
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    return bus->Dispatch(irp);
}

VOID NTAPI BusCancel(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (UsbBus *bus = Buses().Find(device, detail::kBusMagic))
        bus->CancelIrp(irp);
}

VOID NTAPI BusUnload(PDRIVER_OBJECT) {}

std::string Hex(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// The transfers the bus completes share the layout of their transfer fields.
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBufferLength) ==
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength));
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL) ==
              offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL));

void Fill(PURB urb, PUCHAR buffer, ULONG capacity, const std::vector<uint8_t> &data,
          std::optional<ULONG> reportedLength, USBD_STATUS usbd)
{
    ULONG copied = std::min<ULONG>(capacity, static_cast<ULONG>(data.size()));
    if (copied != 0 && buffer != nullptr)
        std::memcpy(buffer, data.data(), copied);
    urb->UrbControlTransfer.TransferBufferLength = reportedLength.value_or(copied);
    urb->UrbHeader.Status = usbd;
}

// An input report on an interrupt read of `capacity` bytes; returns the IRP's status. A device that
// sends more than the read asked for babbles: the host controller ends the transfer with
// USBD_STATUS_DATA_OVERRUN and hands up no data, and the port driver completes the IRP with
// STATUS_UNSUCCESSFUL, the status it gives every USBD error but the resource and parameter ones. The
// bytes are never cut to the read's length and passed up as a good report. Options that set a USBD
// status or a reported length of their own are a test's deliberate answer and are taken as given.
NTSTATUS FillReport(PURB urb, PUCHAR buffer, ULONG capacity, const std::vector<uint8_t> &bytes,
                    const ReportOptions &o)
{
    if (bytes.size() > capacity && o.usbdStatus == kUsbdSuccess && !o.reportedLength && !o.status) {
        Fill(urb, buffer, capacity, {}, 0, kUsbdDataOverrun);
        return STATUS_UNSUCCESSFUL;
    }
    Fill(urb, buffer, capacity, bytes, o.reportedLength, o.usbdStatus);
    return o.status.value_or(o.usbdStatus == kUsbdSuccess ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
}

}  // namespace

// ---- the bus driver -------------------------------------------------------------------------
enum class PendingKind { Answer, Interrupt };

struct UsbBus::Pending {
    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    PendingKind kind = PendingKind::Answer;
    bool cancelable = true;
    UrbAnswer answer;
    PUCHAR buffer = nullptr;
    ULONG capacity = 0;
};

NTSTATUS NTAPI UsbBus::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &major : driver->MajorFunction)
        major = BusDispatch;
    driver->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

UsbBus::UsbBus(PDRIVER_OBJECT busDriver, const MouseConfig &config) : config_(config)
{
    if (config_.urbTap != nullptr)
        ++g_observedBuses;
    CompleteDescriptors(config_);
    device_ = ParseConfiguration(config_.configurationDescriptor, nullptr);
    std::u16string name = u"\\Device\\SimUsbPdo-";
    for (char c : std::to_string(g_pdoCounter++))
        name.push_back(static_cast<char16_t>(c));
    UNICODE_STRING uname;
    RtlInitUnicodeString(&uname, name.c_str());
    NTSTATUS status = IoCreateDevice(busDriver, sizeof(SimExtension), &uname, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
    if (status != STATUS_SUCCESS || pdo_ == nullptr) {
        pdo_ = nullptr;
        hk::Violate(kRuleUnexpectedRequest, "the simulated bus could not create its PDO (injected fault?)");
        return;
    }
    auto *ext = static_cast<SimExtension *>(pdo_->DeviceExtension);
    ext->magic = detail::kBusMagic;
    ext->owner = this;
    pdo_->Flags |= config_.pdoFlags & ~ULONG(DO_DEVICE_INITIALIZING);
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    Buses().Add(this);
}

UsbBus::~UsbBus()
{
    if (config_.urbTap != nullptr)
        --g_observedBuses;
    Buses().Remove(this);
}

void UsbBus::DeletePdo()
{
    if (pdo_ == nullptr)
        return;
    Buses().Remove(this);
    IoDeleteDevice(pdo_);
    pdo_ = nullptr;
}

Completion UsbBus::CompletionOf(const UrbAnswer &answer) const
{
    if (answer.delay > 0)
        return Completion::Pending;
    // Complete-at-once: a bus driver may answer inside its dispatch routine whatever it can answer
    // at once; only an answer that asks to be pended is.
    if (!answer.completion && hk::CurrentIoMode() == hk::IoMode::CompleteAtOnce)
        return Completion::Synchronous;
    return answer.completion.value_or(config_.urbCompletion);
}

NTSTATUS UsbBus::Dispatch(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BusRequest record;
    record.major = stack->MajorFunction;
    record.minor = stack->MinorFunction;
    record.time = hk::Now();

    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        {
            std::lock_guard lock(mutex_);
            KeepLocked(record);
        }
        return DispatchPnp(irp);
    case IRP_MJ_POWER:
        {
            std::lock_guard lock(mutex_);
            KeepLocked(record);
        }
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        record.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        if (record.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            return DispatchUrb(irp, record);
        {
            std::lock_guard lock(mutex_);
            KeepLocked(record);
        }
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    case IRP_MJ_DEVICE_CONTROL:
        record.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        {
            std::lock_guard lock(mutex_);
            KeepLocked(record);
        }
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        {
            std::lock_guard lock(mutex_);
            KeepLocked(record);
        }
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MJ_SYSTEM_CONTROL:
        {
            std::lock_guard lock(mutex_);
            KeepLocked(record);
        }
        // Not a WMI provider: the request goes back as it came.
        {
            NTSTATUS status = irp->IoStatus.Status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
    default:
        {
            std::lock_guard lock(mutex_);
            KeepLocked(record);
        }
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS UsbBus::DispatchPnp(PIRP irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    std::unique_lock lock(mutex_);
    auto overridden = config_.pnpStatus.find(minor);

    if (minor == IRP_MN_START_DEVICE) {
        StartAnswer answer = config_.startAnswers.empty()
                                 ? StartAnswer{}
                                 : config_.startAnswers[std::min(startIndex_, config_.startAnswers.size() - 1)];
        ++startIndex_;
        if (answer.completion == Completion::Synchronous) {
            started_ = answer.status == STATUS_SUCCESS;
            lock.unlock();
            return CompleteIrp(irp, answer.status);
        }
        lock.unlock();
        IoMarkIrpPending(irp);
        std::weak_ptr<UsbBus> weak = weak_from_this();
        hk::Defer(
            [weak, irp, status = answer.status] {
                if (auto self = weak.lock()) {
                    std::lock_guard l(self->mutex_);
                    self->started_ = status == STATUS_SUCCESS;
                }
                CompleteIrp(irp, status);
            },
            answer.delay);
        return STATUS_PENDING;
    }

    NTSTATUS status = irp->IoStatus.Status;
    switch (minor) {
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        gone_ = true;
        started_ = false;
        reports_.clear();
        selected_.reset();
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        // The stopped device is unconfigured: its pipe handles are gone.
        started_ = false;
        selected_.reset();
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    if (overridden != config_.pnpStatus.end())
        status = overridden->second;
    bool failPending = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
    const int64_t failDelay = config_.failHeldAfterRemovalDelay;
    lock.unlock();

    // A device that is gone answers nothing more: every URB still held fails, so that nothing the
    // drivers above sent stays outstanding across the removal.
    if (failPending && failDelay > 0) {
        std::weak_ptr<UsbBus> weak = weak_from_this();
        hk::Defer(
            [weak] {
                if (auto self = weak.lock())
                    self->FailAllPending(kUsbdDeviceGone, STATUS_NO_SUCH_DEVICE);
            },
            failDelay);
    } else if (failPending) {
        FailAllPending(kUsbdDeviceGone, STATUS_NO_SUCH_DEVICE);
    }

    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbBus::Malformed(PIRP irp, PURB urb, const std::string &what, USBD_STATUS usbd)
{
    bool strict;
    {
        std::lock_guard lock(mutex_);
        strict = config_.strict;
    }
    if (strict)
        hk::Violate(kRuleUnexpectedRequest, what + " (IRP " + Hex(irp) + ")");
    if (urb != nullptr)
        urb->UrbHeader.Status = usbd;
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
}

NTSTATUS UsbBus::DispatchUrb(PIRP irp, BusRequest &record)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb != nullptr) {
        record.hasUrb = true;
        record.urbLength = urb->UrbHeader.Length;
        record.urbFunction = urb->UrbHeader.Function;
        // Fields beyond the header are read only when the header says the record holds them.
        const size_t recordLength = port::RecordLength(record.urbFunction);
        if (recordLength != 0 && record.urbLength >= recordLength) {
            const auto &t = urb->UrbControlTransfer;
            record.transferFlags = t.TransferFlags;
            record.transferBufferLength = t.TransferBufferLength;
            record.hasTransferBuffer = t.TransferBuffer != nullptr;
            record.hasMdl = t.TransferBufferMDL != nullptr;
            record.mdlFlags = t.TransferBufferMDL ? t.TransferBufferMDL->MdlFlags : 0;
            record.setup = port::SetupOf(*urb);
            if (port::ConvertsInPlace(record.urbFunction)) {
                record.descriptorIndex = record.setup[2];
                record.descriptorType = record.setup[3];
                record.languageId = static_cast<USHORT>(record.setup[4] | (record.setup[5] << 8));
            }
        }
    }
    bool gone;
    {
        std::lock_guard lock(mutex_);
        KeepLocked(record);
        gone = gone_;
    }
    if (urb != nullptr && config_.urbTap != nullptr)
        config_.urbTap->OnUrb({UrbPoint::Bus, UrbStage::Submit, irp, urb, 0, record.time});
    if (urb == nullptr)
        return Malformed(irp, nullptr, "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB");
    if (gone) {
        urb->UrbHeader.Status = kUsbdDeviceGone;
        {
            std::lock_guard lock(mutex_);
            ++counters_.urbsFailedGone;
        }
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    }

    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION)
        return SelectConfiguration(irp, urb);
    std::optional<port::Refusal> refusal;
    {
        std::lock_guard lock(mutex_);
        refusal = port::Accept(*urb, selected_ ? &*selected_ : nullptr);
    }
    if (refusal && refusal->problem.empty()) {
        urb->UrbHeader.Status = refusal->usbd;
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    if (refusal)
        return Malformed(irp, urb, refusal->problem, refusal->usbd);

    auto &t = urb->UrbControlTransfer;
    PUCHAR buffer = detail::UrbBuffer(t.TransferBuffer, t.TransferBufferMDL);
    const ULONG length = t.TransferBufferLength;
    if (urb->UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER) {
        std::array<uint8_t, 8> setup;
        std::memcpy(setup.data(), t.SetupPacket, 8);
        ControlReply reply;
        {
            std::lock_guard lock(mutex_);
            reply = AnswerControl(config_, setup);
        }
        if (!reply.problem.empty())
            return Malformed(irp, urb, reply.problem);
        return Answer(irp, urb, reply.answer, buffer, std::min(length, reply.limit));
    }
    const ULONG capacity = length;

    // An interrupt read: answered by the next report the device sends.
    const bool atOnceMode = hk::CurrentIoMode() == hk::IoMode::CompleteAtOnce;
    std::unique_lock lock(mutex_);
    if (!reports_.empty() && (atOnceMode || config_.queuedReportCompletion == Completion::Synchronous)) {
        Report report = std::move(reports_.front());
        reports_.pop_front();
        ++counters_.reportsDelivered;
        ++counters_.urbsCompleted;
        lock.unlock();
        return CompleteIrp(irp, FillReport(urb, buffer, capacity, report.bytes, report.options));
    }
    bool deliver = !reports_.empty();
    lock.unlock();

    Pending entry;
    entry.irp = irp;
    entry.urb = urb;
    entry.kind = PendingKind::Interrupt;
    entry.buffer = buffer;
    entry.capacity = capacity;
    uint64_t id = 0;
    NTSTATUS status = PendIrp(std::move(entry), &id);
    if (deliver) {
        std::weak_ptr<UsbBus> weak = weak_from_this();
        hk::Defer([weak] {
            if (auto self = weak.lock())
                self->DeliverReports();
        });
    }
    return status;
}

// The port driver sets the configuration on the device and answers at once, inside its dispatch
// routine.
NTSTATUS UsbBus::SelectConfiguration(PIRP irp, PURB urb)
{
    std::unique_lock lock(mutex_);
    if (!device_) {
        // The device's own configuration descriptor is broken: nothing can be selected from it.
        lock.unlock();
        urb->UrbHeader.Status = kUsbdInvalidParameter;
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    const std::string problem = port::SelectConfiguration(*urb, *device_, selected_);
    if (problem.empty())
        ++counters_.urbsCompleted;
    lock.unlock();
    if (!problem.empty())
        return Malformed(irp, urb, problem);
    urb->UrbHeader.Status = kUsbdSuccess;
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS UsbBus::Answer(PIRP irp, PURB urb, const UrbAnswer &answer, PUCHAR buffer, ULONG capacity)
{
    if (answer.kind == UrbAnswer::Kind::Answer && CompletionOf(answer) == Completion::Synchronous) {
        {
            std::lock_guard lock(mutex_);
            ++counters_.urbsCompleted;
        }
        Fill(urb, buffer, capacity, answer.data, answer.reportedLength, answer.usbdStatus);
        return CompleteIrp(irp, answer.status);
    }
    Pending entry;
    entry.irp = irp;
    entry.urb = urb;
    entry.kind = PendingKind::Answer;
    entry.cancelable = answer.kind != UrbAnswer::Kind::HoldForever;
    entry.answer = answer;
    entry.buffer = buffer;
    entry.capacity = capacity;
    uint64_t id = 0;
    NTSTATUS status = PendIrp(std::move(entry), &id);
    if (answer.kind == UrbAnswer::Kind::Answer)
        CompleteLater(id, answer.delay);
    return status;
}

NTSTATUS UsbBus::PendIrp(Pending entry, uint64_t *id)
{
    PIRP irp = entry.irp;
    IoMarkIrpPending(irp);
    std::unique_lock lock(mutex_);
    entry.id = nextId_++;
    *id = entry.id;
    if (entry.cancelable) {
        IoSetCancelRoutine(irp, BusCancel);
        // Cancelled before the routine was in place: IoCancelIrp found none to call, so the request
        // is ours to complete as cancelled.
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            ++counters_.urbsCancelled;
            lock.unlock();
            entry.urb->UrbControlTransfer.TransferBufferLength = 0;
            entry.urb->UrbHeader.Status = entry.answer.cancelUsbdStatus;
            CompleteIrp(irp, entry.answer.cancelStatus);
            return STATUS_PENDING;
        }
    }
    pending_.push_back(std::make_unique<Pending>(std::move(entry)));
    return STATUS_PENDING;
}

bool UsbBus::ClaimLocked(Pending &entry)
{
    if (!entry.cancelable)
        return true;
    // Null: the cancel routine has been called (or is about to be) and will take the request out.
    return IoSetCancelRoutine(entry.irp, nullptr) != nullptr;
}

void UsbBus::CompleteLater(uint64_t id, int64_t delay)
{
    std::weak_ptr<UsbBus> weak = weak_from_this();
    hk::Defer(
        [weak, id] {
            if (auto self = weak.lock())
                self->CompleteById(id);
        },
        delay);
}

void UsbBus::CompleteById(uint64_t id)
{
    std::unique_ptr<Pending> entry;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(pending_.begin(), pending_.end(), [id](const auto &p) { return p->id == id; });
        if (it == pending_.end() || !ClaimLocked(**it))
            return;
        entry = std::move(*it);
        pending_.erase(it);
        ++counters_.urbsCompleted;
    }
    Fill(entry->urb, entry->buffer, entry->capacity, entry->answer.data, entry->answer.reportedLength,
         entry->answer.usbdStatus);
    CompleteIrp(entry->irp, entry->answer.status);
}

void UsbBus::CancelIrp(PIRP irp)
{
    std::unique_ptr<Pending> entry;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(pending_.begin(), pending_.end(), [irp](const auto &p) { return p->irp == irp; });
        if (it == pending_.end())
            return;
        entry = std::move(*it);
        pending_.erase(it);
        ++counters_.urbsCancelled;
    }
    entry->urb->UrbControlTransfer.TransferBufferLength = 0;
    entry->urb->UrbHeader.Status = entry->answer.cancelUsbdStatus;
    NTSTATUS status = entry->answer.cancelStatus;
    if (entry->answer.cancelDelay > 0) {
        // The bus driver completes the cancelled request late: it is no longer cancelable and
        // belongs to nobody else meanwhile.
        hk::Defer([irp, status] { CompleteIrp(irp, status); }, entry->answer.cancelDelay);
        return;
    }
    CompleteIrp(irp, status);
}

void UsbBus::FeedReport(std::vector<uint8_t> bytes, const ReportOptions &options)
{
    {
        std::lock_guard lock(mutex_);
        if (gone_)
            return;
        ++reportsInFlight_;
    }
    std::weak_ptr<UsbBus> weak = weak_from_this();
    hk::Defer(
        [weak, bytes = std::move(bytes), options]() mutable {
            if (auto self = weak.lock())
                self->Arrive(std::move(bytes), options);
        },
        options.delay);
}

void UsbBus::Arrive(std::vector<uint8_t> bytes, ReportOptions options)
{
    {
        std::lock_guard lock(mutex_);
        --reportsInFlight_;
        if (gone_)
            return;
        reports_.push_back(Report{std::move(bytes), options});
    }
    DeliverReports();
}

void UsbBus::DeliverReports()
{
    for (;;) {
        std::unique_ptr<Pending> entry;
        Report report;
        {
            std::lock_guard lock(mutex_);
            if (reports_.empty())
                return;
            auto it = pending_.begin();
            for (; it != pending_.end(); ++it)
                if ((*it)->kind == PendingKind::Interrupt && ClaimLocked(**it))
                    break;
            if (it == pending_.end())
                return;  // the report waits for the next read
            entry = std::move(*it);
            pending_.erase(it);
            report = std::move(reports_.front());
            reports_.pop_front();
            ++counters_.reportsDelivered;
            ++counters_.urbsCompleted;
        }
        CompleteIrp(entry->irp, FillReport(entry->urb, entry->buffer, entry->capacity, report.bytes, report.options));
    }
}

void UsbBus::FailAllPending(USBD_STATUS usbd, NTSTATUS status)
{
    std::vector<std::unique_ptr<Pending>> failed;
    {
        std::lock_guard lock(mutex_);
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (ClaimLocked(**it)) {
                failed.push_back(std::move(*it));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
        counters_.urbsFailedGone += failed.size();
    }
    for (auto &entry : failed) {
        entry->urb->UrbControlTransfer.TransferBufferLength = 0;
        entry->urb->UrbHeader.Status = usbd;
        CompleteIrp(entry->irp, status);
    }
}

void UsbBus::ReleaseHeld(USBD_STATUS usbd, NTSTATUS status, int64_t delay)
{
    std::weak_ptr<UsbBus> weak = weak_from_this();
    hk::Defer([weak, usbd, status] {
        auto self = weak.lock();
        if (!self)
            return;
        std::vector<std::unique_ptr<Pending>> held;
        {
            std::lock_guard lock(self->mutex_);
            for (auto it = self->pending_.begin(); it != self->pending_.end();) {
                if (!(*it)->cancelable) {
                    held.push_back(std::move(*it));
                    it = self->pending_.erase(it);
                } else {
                    ++it;
                }
            }
            self->counters_.urbsCompleted += held.size();
        }
        for (auto &entry : held) {
            entry->urb->UrbControlTransfer.TransferBufferLength = 0;
            entry->urb->UrbHeader.Status = usbd;
            CompleteIrp(entry->irp, status);
        }
    }, delay);
}

// ---- configuration and observation ------------------------------------------------------------
void UsbBus::SetStringAnswer(const UrbAnswer &answer)
{
    std::lock_guard lock(mutex_);
    config_.stringAnswer = answer;
}
void UsbBus::SetDescriptorAnswer(const UrbAnswer &answer)
{
    std::lock_guard lock(mutex_);
    config_.descriptorAnswer = answer;
}
void UsbBus::SetOtherControlAnswer(const UrbAnswer &answer)
{
    std::lock_guard lock(mutex_);
    config_.otherControlAnswer = answer;
}
void UsbBus::SetStartAnswers(std::vector<StartAnswer> answers)
{
    std::lock_guard lock(mutex_);
    config_.startAnswers = std::move(answers);
    startIndex_ = 0;
}
void UsbBus::SetPnpStatus(UCHAR minor, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    config_.pnpStatus[minor] = status;
}
void UsbBus::SetStrict(bool strict)
{
    std::lock_guard lock(mutex_);
    config_.strict = strict;
}

size_t UsbBus::PendingInterruptReads() const
{
    std::lock_guard lock(mutex_);
    return std::count_if(pending_.begin(), pending_.end(),
                         [](const auto &p) { return p->kind == PendingKind::Interrupt; });
}
size_t UsbBus::QueuedReports() const
{
    std::lock_guard lock(mutex_);
    return reports_.size() + reportsInFlight_;
}
size_t UsbBus::PendingUrbs() const
{
    std::lock_guard lock(mutex_);
    return pending_.size();
}
void UsbBus::KeepLocked(const BusRequest &record)
{
    if (config_.keepRecords)
        log_.push_back(record);
    if (requestObserver_)
        requestObserver_(record);
}
void UsbBus::SetRequestObserver(std::function<void(const BusRequest &)> observer)
{
    std::lock_guard lock(mutex_);
    requestObserver_ = std::move(observer);
}

std::vector<BusRequest> UsbBus::Log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}
std::vector<BusRequest> UsbBus::UrbLog(USHORT function) const
{
    std::lock_guard lock(mutex_);
    std::vector<BusRequest> out;
    for (const auto &r : log_)
        if (r.hasUrb && r.urbFunction == function)
            out.push_back(r);
    return out;
}
size_t UsbBus::StringRequests() const
{
    std::lock_guard lock(mutex_);
    return std::count_if(log_.begin(), log_.end(), [](const BusRequest &r) {
        return r.hasUrb && r.setup[0] == 0x80 && r.setup[1] == 0x06 && r.setup[3] == USB_STRING_DESCRIPTOR_TYPE;
    });
}
size_t UsbBus::DescriptorRequests() const
{
    std::lock_guard lock(mutex_);
    return std::count_if(log_.begin(), log_.end(), [](const BusRequest &r) {
        return r.hasUrb && r.setup[0] == 0x81 && r.setup[1] == 0x06 && r.setup[2] == 0x00 && r.setup[3] == 0x22;
    });
}
bool UsbBus::Configured() const
{
    std::lock_guard lock(mutex_);
    return selected_.has_value();
}
BusCounters UsbBus::Counters() const
{
    std::lock_guard lock(mutex_);
    return counters_;
}
void UsbBus::ClearLog()
{
    std::lock_guard lock(mutex_);
    log_.clear();
}
bool UsbBus::Started() const
{
    std::lock_guard lock(mutex_);
    return started_;
}
bool UsbBus::Gone() const
{
    std::lock_guard lock(mutex_);
    return gone_;
}

}  // namespace sim

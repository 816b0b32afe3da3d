// The simulated Plug and Play manager and the generic request sender.
#include "machine.h"

#include "../platform/host/hostkernel.h"
#include "neighbour_filter.h"

#include <atomic>
#include <string>

namespace sim {

namespace {

std::atomic<unsigned> g_machineCounter{0};

std::u16string Numbered(std::u16string base, unsigned n)
{
    for (char c : std::to_string(n))
        base.push_back(static_cast<char16_t>(c));
    return base;
}

// The creator's completion routine: the creator waits on the event and frees the IRP itself, so the
// request stops here and is not marked pending (there is no location of ours to mark).
NTSTATUS NTAPI CreatorDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

RequestResult SendRequest(PDEVICE_OBJECT target, const Request &request)
{
    RequestResult result;
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) {
        result.dispatchStatus = result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    irp->IoStatus.Status = request.initialStatus;
    irp->IoStatus.Information = request.initialInformation;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->MinorFunction = request.minor;
    next->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
    next->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
    if (request.argument1 != nullptr)
        next->Parameters.Others.Argument1 = request.argument1;
    if (request.major == IRP_MJ_POWER)
        next->Parameters.Power.Type = request.powerType;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, CreatorDone, &event, TRUE, TRUE, TRUE);
    result.dispatchStatus =
        request.major == IRP_MJ_POWER ? PoCallDriver(target, irp) : IofCallDriver(target, irp);
    if (result.dispatchStatus == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    result.pendingReturned = irp->PendingReturned;
    IoFreeIrp(irp);
    return result;
}

PnpManager::PnpManager(PDRIVER_OBJECT filterDriver) : filterDriver_(filterDriver)
{
    unsigned n = g_machineCounter++;
    busDriver_ = hk::LoadDriver(Numbered(u"\\Driver\\SimUsbHub", n), UsbBus::DriverEntry);
    classDriver_ = hk::LoadDriver(Numbered(u"\\Driver\\SimHidClass", n), HidClass::DriverEntry);
}

PnpManager::~PnpManager()
{
    for (auto &mouse : mice_)
        if (mouse->state_ != MouseState::Removed)
            return;  // devices remain: unloading would only add noise to what the test reports
    if (neighbourDriver_)
        hk::UnloadDriver(neighbourDriver_);
    if (classDriver_)
        hk::UnloadDriver(classDriver_);
    if (busDriver_)
        hk::UnloadDriver(busDriver_);
}

Mouse &PnpManager::Connect(const MouseConfig &config)
{
    auto mouse = std::make_unique<Mouse>();
    mouse->index_ = static_cast<unsigned>(mice_.size());
    mouse->bus_ = std::make_shared<UsbBus>(busDriver_, config);
    mouse->class_ = std::make_shared<HidClass>(classDriver_, config);
    mouse->pdo_ = mouse->bus_->Pdo();
    mouse->neighbourConfig_ = config.neighbour ? config.neighbour : defaultNeighbour_;
    mouse->state_ = MouseState::AddFailed;
    mice_.push_back(std::move(mouse));
    return *mice_.back();
}

NTSTATUS PnpManager::AddDevices(Mouse &mouse)
{
    if (mouse.pdo_ == nullptr) {
        mouse.addStatus_ = STATUS_NO_SUCH_DEVICE;
        return mouse.addStatus_;
    }
    if (mouse.neighbourConfig_ && mouse.neighbour_ == nullptr) {
        if (neighbourDriver_ == nullptr)
            neighbourDriver_ = hk::LoadDriver(u"\\Driver\\SimNeighbourFilter", neighbour::DriverEntry);
        mouse.neighbour_ = neighbour::AddDevice(neighbourDriver_, mouse.pdo_, *mouse.neighbourConfig_);
        if (mouse.neighbour_ == nullptr) {
            mouse.addStatus_ = STATUS_INSUFFICIENT_RESOURCES;
            mouse.state_ = MouseState::AddFailed;
            return mouse.addStatus_;
        }
    }
    PDEVICE_OBJECT below = mouse.neighbour_ != nullptr ? mouse.neighbour_ : mouse.pdo_;
    if (filterDriver_ != nullptr) {
        NTSTATUS status = filterDriver_->DriverExtension->AddDevice(filterDriver_, mouse.pdo_);
        mouse.filterDevice_ = below->AttachedDevice;
        if (status != STATUS_SUCCESS) {
            mouse.addStatus_ = status;
            mouse.state_ = MouseState::AddFailed;
            return status;
        }
    }
    NTSTATUS status = mouse.class_->AddDevice(mouse.pdo_);
    if (status != STATUS_SUCCESS) {
        mouse.addStatus_ = status;
        mouse.state_ = MouseState::AddFailed;
        // The device node failed: the drivers already in the stack get their removal.
        if (mouse.pdo_->AttachedDevice != nullptr)
            SendPnp(mouse, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        return status;
    }
    mouse.classDevice_ = mouse.class_->Device();
    if (filterDriver_ == nullptr)
        mouse.filterDevice_ = below->AttachedDevice;
    mouse.addStatus_ = STATUS_SUCCESS;
    mouse.state_ = MouseState::Added;
    return STATUS_SUCCESS;
}

Mouse &PnpManager::Plug(const MouseConfig &config)
{
    Mouse &mouse = Connect(config);
    AddDevices(mouse);
    return mouse;
}

Mouse &PnpManager::PlugAndStart(const MouseConfig &config, NTSTATUS *startStatus)
{
    Mouse &mouse = Plug(config);
    NTSTATUS status = mouse.state_ == MouseState::Added ? Start(mouse) : mouse.addStatus_;
    if (startStatus)
        *startStatus = status;
    return mouse;
}

NTSTATUS PnpManager::SendPnp(Mouse &mouse, UCHAR major, UCHAR minor)
{
    if (mouse.pdo_ == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    Request request;
    request.major = major;
    request.minor = minor;
    request.initialStatus = STATUS_NOT_SUPPORTED;
    RequestResult result = SendRequest(IoGetAttachedDevice(mouse.pdo_), request);
    mouse.lastStatus_ = result.status;
    return result.status;
}

NTSTATUS PnpManager::Start(Mouse &mouse)
{
    NTSTATUS status = SendPnp(mouse, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    if (mouse.state_ != MouseState::AddFailed && mouse.state_ != MouseState::Removed)
        mouse.state_ = status == STATUS_SUCCESS ? MouseState::Started : MouseState::StartFailed;
    return status;
}

NTSTATUS PnpManager::Send(Mouse &mouse, UCHAR minor)
{
    if (minor == IRP_MN_REMOVE_DEVICE)
        return Remove(mouse);
    if (minor == IRP_MN_START_DEVICE)
        return Start(mouse);
    NTSTATUS status = SendPnp(mouse, IRP_MJ_PNP, minor);
    if (mouse.state_ != MouseState::AddFailed) {
        if (minor == IRP_MN_STOP_DEVICE && status == STATUS_SUCCESS)
            mouse.state_ = MouseState::Stopped;
        if (minor == IRP_MN_SURPRISE_REMOVAL)
            mouse.state_ = MouseState::SurpriseRemoved;
    }
    return status;
}

NTSTATUS PnpManager::Power(Mouse &mouse, UCHAR minor) { return SendPnp(mouse, IRP_MJ_POWER, minor); }

NTSTATUS PnpManager::Remove(Mouse &mouse, bool surpriseFirst)
{
    if (mouse.state_ == MouseState::Removed || mouse.pdo_ == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    if (surpriseFirst && mouse.state_ != MouseState::SurpriseRemoved)
        Send(mouse, IRP_MN_SURPRISE_REMOVAL);
    NTSTATUS status = SendPnp(mouse, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    // The bus reports the child missing: its PDO goes once everything above has detached.
    mouse.bus_->DeletePdo();
    mouse.pdo_ = nullptr;
    mouse.state_ = MouseState::Removed;
    return status;
}

std::vector<Mouse *> PnpManager::Mice()
{
    std::vector<Mouse *> out;
    for (auto &m : mice_)
        out.push_back(m.get());
    return out;
}

void PnpManager::Settle() { hk::RunUntilIdle(); }

}  // namespace sim

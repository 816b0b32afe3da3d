// IRPs: allocation, the stack-location helpers, IofCallDriver, IofCompleteRequest, threaded
// requests and cancellation, with the stack geometry of the NT I/O manager:
// - IoAllocateIrp(n): CurrentLocation n+1, the current pointer one past the array; the creator
//   owns no location, the first driver gets the last element.
// - IofCallDriver moves down one location; IofCompleteRequest walks back up, zeroing each
//   location before calling the completion routine stored in it, which belongs to the driver
//   one level up (the creator's routine gets a null device object).
// Every dispatch and completion routine call is wrapped so that the pending rules can be checked
// without touching an IRP that may already be gone.
#include "internal.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hk::detail {

namespace {

PIO_STACK_LOCATION Stack(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

// What a stack helper hands back after reporting misuse, so that the caller's write lands in
// harmless memory instead of the IRP header in front of the array.
thread_local IO_STACK_LOCATION tlsScratchLocation;

PIO_STACK_LOCATION Scratch()
{
    memset(&tlsScratchLocation, 0, sizeof tlsScratchLocation);
    return &tlsScratchLocation;
}

std::string Describe(PIRP irp) { return "IRP " + Ptr(irp); }

// The mutex must be held.
PIRP AllocateIrpLocked(State &s, CCHAR stackSize)
{
    int n = stackSize < 0 ? 0 : stackSize;
    size_t bytes = sizeof(IRP) + static_cast<size_t>(n) * sizeof(IO_STACK_LOCATION);
    auto *irp = static_cast<PIRP>(calloc(1, bytes));
    if (irp == nullptr) {
        return nullptr;
    }
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = static_cast<CHAR>(n);
    irp->CurrentLocation = static_cast<CHAR>(n + 1);
    irp->Tail.Overlay.CurrentStackLocation = Stack(irp) + n;
    irp->RequestorMode = KernelMode;
    irp->Host = new HkIrpState;
    irp->Host->serial = s.nextSerial++;
    irp->Host->frames.resize(static_cast<size_t>(n) + 2);
    irp->Host->marked.assign(static_cast<size_t>(n) + 2, 0);
    irp->Host->pendingPromised.assign(static_cast<size_t>(n) + 2, 0);
    irp->Host->pendingReported.assign(static_cast<size_t>(n) + 2, 0);
    s.irps[irp] = irp->Host->serial;
    s.freedIrps.erase(irp);
    ++s.irpAllocations;
    return irp;
}

bool LiveWithSerial(State &s, PIRP irp, uint64_t serial)
{
    auto it = s.irps.find(irp);
    return it != s.irps.end() && it->second == serial;
}

// Reports IrpUsedAfterFree and returns false if the IRP is not a live one.
bool CheckLive(PIRP irp, const char *service)
{
    {
        std::lock_guard<std::mutex> lock(Mutex());
        if (IrpLive(irp)) {
            return true;
        }
    }
    Violate(rule::IrpUsedAfterFree, std::string(service) + " on " + Describe(irp) + ", which is not a live IRP");
    return false;
}

bool MayForwardAtDispatch(UCHAR major)
{
    return major == IRP_MJ_POWER || major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL ||
           major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
}

// A second completion from inside the dispatch routine that already completed the IRP: the
// calling thread's innermost dispatch call for this IRP has been walked past, and the thread is
// not inside one of the IRP's completion routines (which own it again when they return
// STATUS_MORE_PROCESSING_REQUIRED). The mutex must be held.
bool CompletedByThisDispatchAlready(HkIrpState *host, uint64_t thread)
{
    if (std::find(host->routineThreads.begin(), host->routineThreads.end(), thread) != host->routineThreads.end()) {
        return false;
    }
    for (const auto &frames : host->frames) {
        for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
            if ((*it)->thread == thread) {
                return (*it)->walkedPast;
            }
        }
    }
    return false;
}

void ClearLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    memset(&sp->Parameters, 0, sizeof sp->Parameters);
    sp->FileObject = nullptr;
}

// The end of the walk for an IRP the I/O manager owns. An error without pending finishes at once
// with no status block and no event, as on NT; otherwise the APC on the building thread does it.
void FinishWalk(PIRP irp)
{
    bool threaded;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        irp->Host->phase = HkIrpState::Phase::Done;
        threaded = irp->Host->threaded;
    }
    if (!threaded) {
        return;  // the creator's IoFreeIrp ends it
    }
    if (NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned) {
        FinishThreadedIrp(irp, false);
        return;
    }
    QueueCompletionApc(irp);
}

}  // namespace

bool IrpLive(PIRP irp) { return S().irps.count(irp) != 0; }

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PIRP AllocateThreadedIrp(CCHAR stackSize, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    PIRP irp = AllocateIrpLocked(s, stackSize);
    if (irp == nullptr) {
        return nullptr;
    }
    ThreadState &me = Me();
    irp->Host->threaded = true;
    irp->Host->threadId = me.id;
    irp->Tail.Overlay.Thread = &me;
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    return irp;
}

void FreeIrpMemory(PIRP irp)
{
    State &s = S();
    HkIrpState *host = irp->Host;
    if (host->ownsSystemBuffer) {
        free(irp->AssociatedIrp.SystemBuffer);
    }
    if (host->ownsMdl && irp->MdlAddress != nullptr) {
        DeleteMdl(irp->MdlAddress);
    }
    s.freedIrps[irp] = host->phase == HkIrpState::Phase::Done;
    s.irps.erase(irp);
    delete host;
    free(irp);
}

void QueueCompletionApc(PIRP irp)
{
    bool mine = false;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        auto it = s.threads.find(irp->Host->threadId);
        if (it != s.threads.end()) {
            it->second->apcs.push_back(irp);
            it->second->apcsQueued.store(true, std::memory_order_release);
            mine = it->second == &Me();
            Cv().notify_all();
            irp = nullptr;
        }
    }
    if (irp != nullptr) {
        FinishThreadedIrp(irp, false);  // the building thread is gone
    } else if (mine) {
        DeliverApcs();
    }
}

void FinishThreadedIrp(PIRP irp, bool writeStatus)
{
    if (writeStatus) {
        HkIrpState *host = irp->Host;
        if (host->ownsSystemBuffer && host->outputBuffer != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
            size_t bytes = std::min<size_t>(irp->IoStatus.Information, host->outputLength);
            memcpy(host->outputBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        if (irp->UserIosb != nullptr) {
            irp->UserIosb->Status = irp->IoStatus.Status;
            irp->UserIosb->Information = irp->IoStatus.Information;
        }
        if (irp->UserEvent != nullptr) {
            KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    std::lock_guard<std::mutex> lock(Mutex());
    FreeIrpMemory(irp);
}

void ForgetThreadIrps(uint64_t threadId)
{
    std::lock_guard<std::mutex> lock(Mutex());
    for (auto &entry : S().irps) {
        HkIrpState *host = entry.first->Host;
        if (host->threaded && host->threadId == threadId) {
            host->threadId = 0;
            entry.first->Tail.Overlay.Thread = nullptr;
        }
    }
}

}  // namespace hk::detail

using namespace hk;
using namespace hk::detail;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    std::lock_guard<std::mutex> lock(Mutex());
    NTSTATUS ignored;
    if (ShouldFail(Fault::AllocateIrp, &ignored)) {
        return nullptr;
    }
    return AllocateIrpLocked(S(), StackSize);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    CheckIrql(DISPATCH_LEVEL, "IoFreeIrp");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    if (!IrpLive(Irp)) {
        reports.Add(rule::IrpUsedAfterFree, "IoFreeIrp on " + Describe(Irp) + ", which is not a live IRP");
        return;
    }
    if (Irp->Host->threaded) {
        reports.Add(rule::ThreadedIrpFreed, "IoFreeIrp on " + Describe(Irp) + ", which the I/O manager frees itself");
        return;
    }
    FreeIrpMemory(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    CheckIrql(APC_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        NTSTATUS ignored;
        const bool known = s.devices.count(DeviceObject) != 0;
        if (ShouldFail(Fault::BuildIoctlIrp, &ignored, FaultSite{0, known ? DeviceObject->DriverObject : nullptr}) ||
            !known) {
            return nullptr;
        }
    }
    irp = AllocateThreadedIrp(DeviceObject->StackSize, Event, IoStatusBlock);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION next = Stack(irp) + irp->StackCount - 1;
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    HkIrpState *host = irp->Host;
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED:
        if (InputBufferLength != 0 || OutputBufferLength != 0) {
            size_t bytes = std::max(InputBufferLength, OutputBufferLength);
            irp->AssociatedIrp.SystemBuffer = calloc(1, bytes);
            host->ownsSystemBuffer = true;
            if (InputBuffer != nullptr && InputBufferLength != 0) {
                memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            }
            host->outputBuffer = OutputBuffer;
            host->outputLength = OutputBuffer != nullptr ? OutputBufferLength : 0;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer != nullptr && InputBufferLength != 0) {
            irp->AssociatedIrp.SystemBuffer = malloc(InputBufferLength);
            memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            host->ownsSystemBuffer = true;
        }
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            std::lock_guard<std::mutex> lock(Mutex());
            irp->MdlAddress = NewMdl(OutputBuffer, OutputBufferLength);
            irp->MdlAddress->MdlFlags |= MDL_PAGES_LOCKED;
            host->ownsMdl = true;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    if (!CheckLive(Irp, "IoGetCurrentIrpStackLocation")) {
        return Scratch();
    }
    return Irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    if (!CheckLive(Irp, "IoGetNextIrpStackLocation")) {
        return Scratch();
    }
    if (Irp->CurrentLocation <= 1) {
        Violate(rule::NoMoreStackLocations, "IoGetNextIrpStackLocation on " + Describe(Irp) + " at its lowest location");
        return Scratch();
    }
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    if (!CheckLive(Irp, "IoSkipCurrentIrpStackLocation")) {
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Violate(rule::NoMoreStackLocations, "IoSkipCurrentIrpStackLocation on " + Describe(Irp) + " by its creator, which owns no location");
        return;
    }
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

VOID IoSetNextIrpStackLocation(PIRP Irp)
{
    if (!CheckLive(Irp, "IoSetNextIrpStackLocation")) {
        return;
    }
    if (Irp->CurrentLocation <= 1) {
        Violate(rule::NoMoreStackLocations, "IoSetNextIrpStackLocation on " + Describe(Irp) + " at its lowest location");
        return;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    if (!CheckLive(Irp, "IoCopyCurrentIrpStackLocationToNext")) {
        return;
    }
    if (Irp->CurrentLocation <= 1 || Irp->CurrentLocation > Irp->StackCount) {
        Violate(rule::NoMoreStackLocations, "IoCopyCurrentIrpStackLocationToNext on " + Describe(Irp) + " at location " +
                                                std::to_string(Irp->CurrentLocation) + " of " + std::to_string(Irp->StackCount));
        return;
    }
    PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION next = current - 1;
    memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, BOOLEAN InvokeOnSuccess,
                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    if (!CheckLive(Irp, "IoSetCompletionRoutine")) {
        return;
    }
    if (Irp->CurrentLocation <= 1) {
        Violate(rule::NoMoreStackLocations, "IoSetCompletionRoutine on " + Describe(Irp) + " at its lowest location");
        return;
    }
    PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = static_cast<UCHAR>((InvokeOnSuccess ? SL_INVOKE_ON_SUCCESS : 0) | (InvokeOnError ? SL_INVOKE_ON_ERROR : 0) |
                                       (InvokeOnCancel ? SL_INVOKE_ON_CANCEL : 0));
}

VOID IoMarkIrpPending(PIRP Irp)
{
    if (!CheckLive(Irp, "IoMarkIrpPending")) {
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        // The creator's completion routine has no location of its own: the mark would land past
        // the end of the stack array.
        Violate(rule::MarkPendingOnCreatorLocation, "IoMarkIrpPending on " + Describe(Irp) + " by the creator's completion routine");
        return;
    }
    Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    std::lock_guard<std::mutex> lock(Mutex());
    Irp->Host->marked[static_cast<size_t>(Irp->CurrentLocation)] = 1;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckIrql(DISPATCH_LEVEL, "IofCallDriver");
    Reports reports;
    uint64_t serial;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        if (!IrpLive(Irp)) {
            reports.Add(rule::IrpUsedAfterFree, "IofCallDriver with " + Describe(Irp) + ", which is not a live IRP");
            return STATUS_INVALID_PARAMETER;
        }
        if (Irp->Host->phase == HkIrpState::Phase::Done) {
            reports.Add(rule::IrpUsedAfterFree, "IofCallDriver with " + Describe(Irp) + ", which was already completed");
            return STATUS_INVALID_PARAMETER;
        }
        if (DeviceObject == nullptr || S().devices.count(DeviceObject) == 0) {
            reports.Add(rule::InvalidDeviceObject, "IofCallDriver to " + Ptr(DeviceObject) + ", which is not a device object");
            return STATUS_INVALID_PARAMETER;
        }
        serial = Irp->Host->serial;
        if (Irp->Host->threaded && Irp->CurrentLocation > Irp->StackCount && Irp->CurrentLocation > 0 && Irql() >= APC_LEVEL) {
            reports.Add(rule::IrqlTooHigh, "threaded " + Describe(Irp) + " sent at IRQL " + std::to_string(Irql()) +
                                               ": its completion APC could not run");
        }
    }
    if (Irp->CurrentLocation <= 1) {
        reports.Add(rule::NoMoreStackLocations, "IofCallDriver with " + Describe(Irp) + " that has no stack location left for " +
                                                    Ptr(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = DeviceObject;
    UCHAR major = location->MajorFunction;
    int level = Irp->CurrentLocation;
    if (Irql() == DISPATCH_LEVEL && !MayForwardAtDispatch(major)) {
        reports.Add(rule::IrqlTooHigh, "IofCallDriver of major function " + Hex(major) + " at DISPATCH_LEVEL");
    }
    HkCallFrame frame;
    frame.level = level;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        frame.thread = Me().id;
        HkIrpState *host = Irp->Host;
        host->frames[level].push_back(&frame);
        host->marked[level] = (location->Control & SL_PENDING_RETURNED) != 0;
        host->pendingPromised[level] = 0;
        host->pendingReported[level] = 0;
    }
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major] : nullptr;
    if (dispatch == nullptr) {
        dispatch = InvalidDeviceRequest;
    }
    KIRQL before = Irql();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (Irql() != before) {
        reports.Add(rule::IrqlNotRestored, "dispatch routine for major " + Hex(major) + " of " + Ptr(DeviceObject) +
                                               " entered at IRQL " + std::to_string(before) + ", returned at " + std::to_string(Irql()));
        SetIrql(before);
    }
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        bool live = LiveWithSerial(s, Irp, serial);
        if (live) {
            auto &frames = Irp->Host->frames[level];
            frames.erase(std::remove(frames.begin(), frames.end(), &frame), frames.end());
        }
        // Only a report needs the text: formatting it for every call would cost more than the call.
        auto who = [&] { return "dispatch routine of " + Ptr(DeviceObject) + " for major " + Hex(major) + ", " + Describe(Irp); };
        if (status == STATUS_PENDING) {
            bool marked = frame.walkedPast ? frame.markedAtWalk : live && Irp->Host->marked[level];
            if (!marked) {
                if (!frame.walkedPast && live) {
                    // Its completion routine may still mark the location; the walk decides.
                    Irp->Host->pendingPromised[level] = 1;
                } else {
                    reports.Add(rule::PendingNotMarked, who() + " returned STATUS_PENDING without IoMarkIrpPending");
                }
            }
        } else if (!frame.walkedPast) {
            if (live) {
                reports.Add(rule::NotCompletedNotPending, who() + " returned " + Hex(static_cast<ULONG>(status)) +
                                                              " without completing the IRP or returning STATUS_PENDING");
            }
        } else if (frame.completedHere && status != frame.statusAtWalk) {
            reports.Add(rule::StatusMismatch, who() + " returned " + Hex(static_cast<ULONG>(status)) + " but completed it with " +
                                                  Hex(static_cast<ULONG>(frame.statusAtWalk)));
        }
    }
    reports.Flush();
    DeliverApcs();
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR)
{
    CheckIrql(DISPATCH_LEVEL, "IofCompleteRequest");
    Reports reports;
    HkIrpState *host;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        if (!IrpLive(Irp)) {
            auto freed = s.freedIrps.find(Irp);
            bool wasCompleted = freed != s.freedIrps.end() && freed->second;
            reports.Add(wasCompleted ? rule::DoubleCompletion : rule::IrpUsedAfterFree,
                        "IofCompleteRequest on " + Describe(Irp) + (wasCompleted ? ", completed and freed already" : ", which is not a live IRP"));
            return;
        }
        host = Irp->Host;
        if (host->phase != HkIrpState::Phase::Active || Irp->CurrentLocation > Irp->StackCount + 1 ||
            CompletedByThisDispatchAlready(host, Me().id)) {
            reports.Add(rule::DoubleCompletion, "IofCompleteRequest on " + Describe(Irp) + ", which is already completed");
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            reports.Add(rule::CompleteWithPending, "IofCompleteRequest on " + Describe(Irp) + " with status STATUS_PENDING");
            return;
        }
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
            reports.Add(rule::CancelRoutineSetAtCompletion, "IofCompleteRequest on " + Describe(Irp) + " with its cancel routine still set");
        }
        host->phase = HkIrpState::Phase::Completing;
    }
    reports.Flush();
    const int top = Irp->StackCount;
    bool first = true;
    while (Irp->CurrentLocation <= top) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        int level = Irp->CurrentLocation;
        UCHAR control = sp->Control;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        // Re-read at every level: a routine below may have changed the status or the IRP may
        // have been cancelled meanwhile.
        NTSTATUS status = Irp->IoStatus.Status;
        bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) != 0;
        bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (cancelled && (control & SL_INVOKE_ON_CANCEL));
        uint64_t thread = 0;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            auto &frames = host->frames[level];
            if (first && !frames.empty() && !frames.back()->walkedPast) {
                frames.back()->completedHere = true;
            }
            first = false;
            for (HkCallFrame *frame : frames) {
                if (!frame->walkedPast) {
                    frame->walkedPast = true;
                    frame->markedAtWalk = Irp->PendingReturned;
                    frame->statusAtWalk = status;
                }
            }
            if (host->pendingPromised[level] && !Irp->PendingReturned && !host->pendingReported[level]) {
                reports.Add(rule::PendingNotMarked, "the driver at location " + std::to_string(level) + " of " + Describe(Irp) +
                                                        " returned STATUS_PENDING and never marked it pending");
            }
            host->pendingPromised[level] = 0;
            host->pendingReported[level] = 0;
            host->marked[level] = 0;
            if (invoke) {
                host->phase = HkIrpState::Phase::Active;  // the routine's driver owns the IRP while it runs
                thread = Me().id;
                host->routineThreads.push_back(thread);
            }
        }
        reports.Flush();
        ClearLocation(sp);
        if (!invoke) {
            if (Irp->CurrentLocation <= top && Irp->PendingReturned) {
                Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
                std::lock_guard<std::mutex> lock(Mutex());
                host->marked[static_cast<size_t>(Irp->CurrentLocation)] = 1;
            }
            continue;
        }
        int owner = Irp->CurrentLocation;
        bool pendingReturned = Irp->PendingReturned;
        PDEVICE_OBJECT device = owner > top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        uint64_t serial = host->serial;
        KIRQL before = Irql();
        NTSTATUS result = routine(device, Irp, sp->Context);
        bool live;
        {
            // One look at the IRP after the routine: whether it is still there, and if the walk goes
            // on, whether the routine propagated the pending mark.
            std::lock_guard<std::mutex> lock(Mutex());
            live = LiveWithSerial(S(), Irp, serial);
            if (live) {
                auto &threads = host->routineThreads;
                auto it = std::find(threads.begin(), threads.end(), thread);
                if (it != threads.end()) {
                    threads.erase(it);
                }
            }
            if (live && result != STATUS_MORE_PROCESSING_REQUIRED) {
                host->phase = HkIrpState::Phase::Completing;
                if (pendingReturned && owner <= top && !host->marked[static_cast<size_t>(owner)]) {
                    reports.Add(rule::PendingNotPropagated, "completion routine at location " + std::to_string(owner) + " of " +
                                                                Describe(Irp) + " saw PendingReturned and did not call IoMarkIrpPending");
                    host->pendingReported[static_cast<size_t>(owner)] = 1;
                }
            }
        }
        if (Irql() != before) {
            Violate(rule::IrqlNotRestored, "completion routine of " + Describe(Irp) + " entered at IRQL " + std::to_string(before) +
                                               ", returned at " + std::to_string(Irql()));
            SetIrql(before);
        }
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            return;  // the IRP belongs to the routine's driver again and may already be gone
        }
        if (!live) {
            reports.Add(rule::IrpUsedAfterFree, "completion routine freed " + Describe(Irp) +
                                                    " and did not return STATUS_MORE_PROCESSING_REQUIRED");
            return;
        }
        reports.Flush();
    }
    FinishWalk(Irp);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    CheckIrql(DISPATCH_LEVEL, "IoCancelIrp");
    {
        Reports reports;
        std::lock_guard<std::mutex> lock(Mutex());
        if (!IrpLive(Irp)) {
            reports.Add(rule::IrpUsedAfterFree, "IoCancelIrp on " + Describe(Irp) + ", which is not a live IRP");
            return FALSE;
        }
        if (Irp->Host->phase == HkIrpState::Phase::Done) {
            // On NT the completion APC would have freed it by now.
            reports.Add(rule::IrpUsedAfterFree, "IoCancelIrp on " + Describe(Irp) + ", which has already been completed");
            return FALSE;
        }
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = __atomic_exchange_n(&Irp->CancelRoutine, nullptr, __ATOMIC_ACQ_REL);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    routine(device, Irp);
    bool stillHeld;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        stillHeld = S().cancelOwner == Me().id;
    }
    if (stillHeld) {
        Violate(rule::IrqlNotRestored, "cancel routine returned still holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    } else if (Irql() != irql) {
        Violate(rule::IrqlNotRestored, "cancel routine returned at IRQL " + std::to_string(Irql()));
        SetIrql(irql);
    }
    return TRUE;
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    {
        Reports reports;
        std::lock_guard<std::mutex> lock(Mutex());
        if (!IrpLive(Irp)) {
            reports.Add(rule::IrpUsedAfterFree, "IoSetCancelRoutine on " + Describe(Irp) + ", which is not a live IRP");
            return nullptr;
        }
        if (CancelRoutine != nullptr && Irp->Host->phase == HkIrpState::Phase::Done) {
            reports.Add(rule::CancelRoutineSetAtCompletion, "IoSetCancelRoutine on " + Describe(Irp) + ", which is already completed");
        }
    }
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_ACQ_REL);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    CheckIrql(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    *Irql = hk::detail::Irql();
    {
        std::unique_lock<std::mutex> lock(Mutex());
        State &s = S();
        uint64_t me = Me().id;
        if (s.cancelOwner == me) {
            fprintf(stderr, "\n*** host kernel: cancel spin lock acquired twice by one thread (deadlock)\n");
            fflush(stderr);
            abort();
        }
        Cv().wait(lock, [&] { return S().cancelOwner == 0; });
        S().cancelOwner = me;
    }
    SetIrql(DISPATCH_LEVEL);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    {
        std::lock_guard<std::mutex> lock(Mutex());
        if (S().cancelOwner == Me().id) {
            S().cancelOwner = 0;
            Cv().notify_all();
        }
    }
    SetIrql(Irql);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    CheckIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    CheckLive(Irp, "PoStartNextPowerIrp");
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

}  // extern "C"

namespace hk {

size_t OutstandingIrps()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().irps.size();
}

uint64_t IrpAllocations()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().irpAllocations;
}

}  // namespace hk

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

#if defined(__SANITIZE_ADDRESS__)
#define HK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HK_ASAN 1
#endif
#endif
#ifdef HK_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace hk::detail {

thread_local constinit HkActor *tlsActor = nullptr;

namespace {

// Requests whose cancel routine was set while their Cancel flag was already up, by this thread: the
// routine can never be called, so the driver must have taken it back before it lets go of them.
thread_local std::vector<std::pair<PIRP, uint64_t>> tlsSetAfterCancel;
thread_local constinit bool tlsAnySetAfterCancel = false;  // tlsSetAfterCancel is not empty: one cheap test

// Set by the deferred work that finishes a completion force-pending held back.
thread_local bool tlsResumeHeld = false;

PIO_STACK_LOCATION Stack(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

// After its final completion an IRP belongs to whoever frees or reuses it; until then every field a
// driver can see is poisoned, so that a touch by a driver that let it go faults under ASan. The
// layer's own pointer (Host) stays readable.
void Poison(PIRP irp, bool poison)
{
    HkIrpState *host = irp->Host;
    if (host->poisoned == poison) {
        return;
    }
    host->poisoned = poison;
#ifdef HK_ASAN
    size_t locations = (host->frames.size() - 2) * sizeof(IO_STACK_LOCATION);
    if (poison) {
        ASAN_POISON_MEMORY_REGION(irp, offsetof(IRP, Host));
        ASAN_POISON_MEMORY_REGION(Stack(irp), locations);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(irp, offsetof(IRP, Host));
        ASAN_UNPOISON_MEMORY_REGION(Stack(irp), locations);
    }
#endif
}

// What a stack helper hands back after reporting misuse, so that the caller's write lands in
// harmless memory instead of the IRP header in front of the array.
thread_local IO_STACK_LOCATION tlsScratchLocation;

PIO_STACK_LOCATION Scratch()
{
    memset(&tlsScratchLocation, 0, sizeof tlsScratchLocation);
    return &tlsScratchLocation;
}

std::string Describe(PIRP irp) { return "IRP " + Ptr(irp); }

// Logs a stack-location operation on an IRP the caller owns, with the caller's own location.
void LogLocationOp(KernelOp::Kind kind, PIRP irp, PDEVICE_OBJECT device = nullptr)
{
    const HkCallFrame *frame = DispatchFrameFor(irp);
    PIO_STACK_LOCATION current = irp->Tail.Overlay.CurrentStackLocation;
    const bool inArray = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
    KernelOp op;
    op.kind = kind;
    op.device = device;
    op.irp = irp;
    op.major = inArray ? current->MajorFunction : UCHAR(0);
    op.minor = inArray ? current->MinorFunction : UCHAR(0);
    op.location = irp->CurrentLocation;
    op.callerLocation = frame != nullptr ? frame->level : 0;
    op.irpSerial = irp->Host->serial;
    LogOp(std::move(op));
}

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

std::string NotOwnedBySender(const char *service, PIRP irp, const HkCallFrame *frame)
{
    return std::string(service) + " on " + Describe(irp) + " by the dispatch routine of " + Ptr(frame->device) +
           (frame->completed ? " after it completed the request" : " after it sent the request down: it has not come back to this driver");
}

// Reports and returns false unless the caller may use the IRP: it must be live, not past its final
// completion, and not one that the dispatch routine now running sent down and has not got back.
bool CheckLive(PIRP irp, const char *service)
{
    if (HkCallFrame *frame = DispatchFrameFor(irp); frame != nullptr && !__atomic_load_n(&frame->owns, __ATOMIC_ACQUIRE)) {
        Violate(rule::IrpNotOwned, NotOwnedBySender(service, irp, frame));
        return false;
    }
    bool done;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        if (!IrpLive(irp)) {
            done = false;
        } else if (irp->Host->phase != HkIrpState::Phase::Done) {
            return true;
        } else {
            done = true;
        }
    }
    if (done) {
        Violate(rule::IrpNotOwned, std::string(service) + " on " + Describe(irp) + " after its final completion");
    } else {
        Violate(rule::IrpUsedAfterFree, std::string(service) + " on " + Describe(irp) + ", which is not a live IRP");
    }
    return false;
}

}  // namespace

// Reports a cancel routine a driver set on a cancelled request and never took back.
void CheckCancelRechecked()
{
    if (!tlsAnySetAfterCancel) {
        return;
    }
    tlsAnySetAfterCancel = false;
    std::vector<std::pair<PIRP, uint64_t>> set;
    set.swap(tlsSetAfterCancel);
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    for (auto [irp, serial] : set) {
        if (LiveWithSerial(S(), irp, serial) && !irp->Host->poisoned && __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr &&
            __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE)) {
            reports.Add(rule::CancelNotRechecked, "cancel routine set on " + Describe(irp) +
                                                      ", which was already cancelled, and left there: Irp->Cancel must be tested again after IoSetCancelRoutine");
        }
    }
}

namespace {

// PnP minor codes some driver may handle; a status change of any other is a fault of the changer.
bool KnownPnpMinor(UCHAR minor) { return minor <= 0x19 && minor != 0x0E; }

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

// The end of the walk. An IRP the creator allocated goes back to it (poisoned until it frees or
// reuses it). For one the I/O manager owns, an error without pending finishes at once with no status
// block and no event, as on NT; otherwise the APC on the building thread does it.
void FinishWalk(PIRP irp)
{
    {
        std::lock_guard<std::mutex> lock(Mutex());
        irp->Host->phase = HkIrpState::Phase::Done;
        if (!irp->Host->threaded) {
            Poison(irp, true);
            return;
        }
    }
    if (NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned) {
        FinishThreadedIrp(irp, false);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Poison(irp, true);
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
    Poison(irp, false);
    if (host->ownsSystemBuffer) {
        free(irp->AssociatedIrp.SystemBuffer);
    }
    if (host->ownsMdl && irp->MdlAddress != nullptr) {
        DeleteMdl(irp->MdlAddress);
    }
    const uint64_t seq = s.nextFreedSeq++;
    s.freedIrps[irp] = {host->phase == HkIrpState::Phase::Done, seq};
    if (s.freedOrder.size() < State::kRememberedFreedIrps) {
        s.freedOrder.emplace_back(irp, seq);
    } else {  // the slot of the oldest: it is forgotten unless it was freed again since
        auto &slot = s.freedOrder[seq % State::kRememberedFreedIrps];
        const auto it = s.freedIrps.find(slot.first);
        if (it != s.freedIrps.end() && it->second.seq == slot.second) s.freedIrps.erase(it);
        slot = {irp, seq};
    }
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
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Poison(irp, false);
    }
    if (writeStatus) {
        HkIrpState *host = irp->Host;
        if (host->ownsSystemBuffer && host->outputBuffer != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
            // As on NT, Information bytes are copied back whatever the output length said; only the
            // system buffer's own end bounds what the layer reads.
            size_t bytes = irp->IoStatus.Information;
            if (bytes > host->outputLength) {
                Violate(rule::InformationTooLarge, Describe(irp) + " completed with Information " + std::to_string(bytes) +
                                                       " for an output buffer of " + std::to_string(host->outputLength) + " bytes");
            }
            memcpy(host->outputBuffer, irp->AssociatedIrp.SystemBuffer, std::min<size_t>(bytes, host->systemLength));
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
            if (!host->poisoned) {
                entry.first->Tail.Overlay.Thread = nullptr;
            }
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
    if (Irp->Host->inFlight) {
        reports.Add(rule::IrpNotOwned, "IoFreeIrp on " + Describe(Irp) + ", which the drivers it was sent to still hold");
        return;
    }
    FreeIrpMemory(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    CheckIrql(DISPATCH_LEVEL, "IoReuseIrp");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    if (!IrpLive(Irp)) {
        reports.Add(rule::IrpUsedAfterFree, "IoReuseIrp on " + Describe(Irp) + ", which is not a live IRP");
        return;
    }
    HkIrpState *host = Irp->Host;
    if (host->threaded || host->inFlight) {
        reports.Add(rule::IrpNotOwned, "IoReuseIrp on " + Describe(Irp) + ", which its creator does not hold");
        return;
    }
    Poison(Irp, false);
    const int n = static_cast<int>(host->frames.size()) - 2;
    PMDL mdl = Irp->MdlAddress;
    memset(Irp, 0, offsetof(IRP, Host));
    memset(Stack(Irp), 0, static_cast<size_t>(n) * sizeof(IO_STACK_LOCATION));
    Irp->Type = 6;
    Irp->Size = static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(n) * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = static_cast<CHAR>(n);
    Irp->CurrentLocation = static_cast<CHAR>(n + 1);
    Irp->Tail.Overlay.CurrentStackLocation = Stack(Irp) + n;
    Irp->IoStatus.Status = Iostatus;
    Irp->MdlAddress = mdl;  // the creator's to free, as on NT
    host->phase = HkIrpState::Phase::Active;
    std::fill(host->marked.begin(), host->marked.end(), 0);
    std::fill(host->pendingPromised.begin(), host->pendingPromised.end(), 0);
    std::fill(host->pendingReported.begin(), host->pendingReported.end(), 0);
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
            host->systemLength = bytes;
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
    if (OpLogOn()) {
        LogLocationOp(KernelOp::Kind::SkipLocation, Irp);
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
    if (OpLogOn()) {
        LogLocationOp(KernelOp::Kind::CopyLocation, Irp);
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
    HkCallFrame *outer = DispatchFrameFor(Irp);  // the dispatch routine passing it on, if any
    if (outer != nullptr && !__atomic_load_n(&outer->owns, __ATOMIC_ACQUIRE)) {
        reports.Add(rule::IrpNotOwned, NotOwnedBySender("IofCallDriver", Irp, outer));
        return STATUS_INVALID_PARAMETER;
    }
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
        if (Irp->CurrentLocation == Irp->StackCount + 1 && Irp->CurrentLocation > 1) {
            Irp->Host->inFlight = true;  // until the walk comes back to its creator
        }
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
    const bool logged = OpLogOn();
    if (logged) {
        KernelOp op;
        op.kind = KernelOp::Kind::CallDriver;
        op.actor = outer != nullptr ? outer->device : nullptr;
        op.device = DeviceObject;
        op.irp = Irp;
        op.major = major;
        op.minor = location->MinorFunction;
        op.location = level + 1;
        op.callerLocation = outer != nullptr ? outer->level : 0;
        op.irpSerial = serial;
        // A sender that skipped hands on its own location; one that copied or set the next one hands
        // on the location below it, where its completion routine, if any, stands.
        op.sent = outer == nullptr ? KernelOp::Sent::ByCreator
                                   : level == outer->level ? KernelOp::Sent::Skipped : KernelOp::Sent::Copied;
        if (op.sent != KernelOp::Sent::Skipped &&
            (location->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)) != 0) {
            op.routine = location->CompletionRoutine;
        }
        LogOp(std::move(op));
    }
    if (Irql() == DISPATCH_LEVEL && !MayForwardAtDispatch(major)) {
        reports.Add(rule::IrqlTooHigh, "IofCallDriver of major function " + Hex(major) + " at DISPATCH_LEVEL");
    }
    HkCallFrame frame;
    frame.level = level;
    frame.irp = Irp;
    frame.device = DeviceObject;
    frame.major = major;
    frame.minor = location->MinorFunction;
    if (major == IRP_MJ_PNP) {
        frame.statusAtEntry = Irp->IoStatus.Status;
        if (outer != nullptr) {
            outer->statusAtForward = frame.statusAtEntry;
        }
    }
    if (outer != nullptr) {
        // Skipped: the location holds the routine of the driver above the sender, not its own.
        outer->forwarded = true;
        outer->forwardPlain = level == outer->level ||
                              (location->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)) == 0;
        __atomic_store_n(&outer->owns, false, __ATOMIC_RELEASE);
    }
    HkCallFrame *previousRemove = nullptr;
    const bool remove = major == IRP_MJ_PNP && frame.minor == IRP_MN_REMOVE_DEVICE;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        frame.thread = Me().id;
        if (major == IRP_MJ_PNP) {
            frame.lowerAtEntry = DeviceObject->Host->lower;
        }
        HkIrpState *host = Irp->Host;
        host->frames[level].push_back(&frame);
        host->marked[level] = (location->Control & SL_PENDING_RETURNED) != 0;
        host->pendingPromised[level] = 0;
        host->pendingReported[level] = 0;
        if (remove) {
            previousRemove = DeviceObject->Host->removeFrame;
            DeviceObject->Host->removeFrame = &frame;
        }
    }
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major] : nullptr;
    if (dispatch == nullptr) {
        dispatch = InvalidDeviceRequest;
    }
    if (dispatch == InvalidDeviceRequest && DeviceObject->AttachedDevice != nullptr && DeviceObject->Host->lower != nullptr) {
        reports.Add(rule::DispatchEntryMissing, "major function " + Hex(major) + " reached " + Ptr(DeviceObject) +
                                                    ", a filter in the middle of its stack, whose driver left that entry empty");
    }
    KIRQL before = Irql();
    NTSTATUS status;
    {
        ActorScope actor(&frame);
        status = dispatch(DeviceObject, Irp);
    }
    if (Irql() != before) {
        reports.Add(rule::IrqlNotRestored, "dispatch routine for major " + Hex(major) + " of " + Ptr(DeviceObject) +
                                               " entered at IRQL " + std::to_string(before) + ", returned at " + std::to_string(Irql()));
        SetIrql(before);
    }
    if (tlsAnySetAfterCancel) {
        CheckCancelRechecked();
    }
    const NTSTATUS returned = status;
    if (frame.forcedPending) {
        status = STATUS_PENDING;  // the location was marked when its completion was held back
    }
    if (logged) {
        KernelOp op;
        op.kind = KernelOp::Kind::DispatchReturn;
        op.actor = DeviceObject;
        op.device = DeviceObject;
        op.irp = Irp;
        op.major = major;
        op.minor = frame.minor;
        op.location = level;
        op.status = status;
        op.irpSerial = serial;
        LogOp(std::move(op));
    }
    if (outer != nullptr) {
        outer->forwardStatus = status;
        __atomic_store_n(&outer->forwardReturned, true, __ATOMIC_RELEASE);
    }
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        bool live = LiveWithSerial(s, Irp, serial);
        if (live) {
            auto &frames = Irp->Host->frames[level];
            frames.erase(std::remove(frames.begin(), frames.end(), &frame), frames.end());
            if (Irp->Host->heldForCreator && frames.empty() && level == static_cast<int>(Irp->Host->frames.size()) - 2) {
                Irp->Host->heldForCreator = false;  // back with its creator
                Poison(Irp, false);
            }
        }
        if (remove && s.devices.count(DeviceObject) != 0 && DeviceObject->Host->removeFrame == &frame) {
            DeviceObject->Host->removeFrame = previousRemove;
        }
        // Only a report needs the text: formatting it for every call would cost more than the call.
        auto who = [&] { return "dispatch routine of " + Ptr(DeviceObject) + " for major " + Hex(major) + ", " + Describe(Irp); };
        if (frame.forcedPending) {
            if (returned != STATUS_PENDING && returned != frame.forcedStatus) {
                reports.Add(rule::StatusMismatch, who() + " returned " + Hex(static_cast<ULONG>(returned)) + " but completed it with " +
                                                      Hex(static_cast<ULONG>(frame.forcedStatus)));
            }
        } else if (status == STATUS_PENDING) {
            bool marked = frame.walkedPast ? frame.markedAtWalk : live && Irp->Host->marked[level];
            if (!marked) {
                if (!frame.walkedPast && live) {
                    // Its completion routine may still mark the location; the walk decides.
                    Irp->Host->pendingPromised[level] = 1;
                } else {
                    reports.Add(rule::PendingNotMarked, who() + " returned STATUS_PENDING without IoMarkIrpPending");
                }
            }
        } else {
            bool marked = frame.walkedPast ? frame.markedAtWalk : live && Irp->Host->marked[level];
            if (marked) {
                // NT would complete it a second time, through the APC of the pending return.
                reports.Add(rule::PendingMarkedNotReturned, who() + " marked it pending and returned " + Hex(static_cast<ULONG>(status)));
            }
            if (!frame.walkedPast) {
                if (live) {
                    reports.Add(rule::NotCompletedNotPending, who() + " returned " + Hex(static_cast<ULONG>(status)) +
                                                                  " without completing the IRP or returning STATUS_PENDING");
                }
            } else if (frame.completedHere && status != frame.statusAtWalk) {
                reports.Add(rule::StatusMismatch, who() + " returned " + Hex(static_cast<ULONG>(status)) + " but completed it with " +
                                                      Hex(static_cast<ULONG>(frame.statusAtWalk)));
            }
        }
        if (frame.forwarded && frame.forwardPlain && frame.forwardReturned && status != frame.forwardStatus) {
            reports.Add(rule::PassThroughStatusChanged, who() + " passed it down without a completion routine, IofCallDriver returned " +
                                                            Hex(static_cast<ULONG>(frame.forwardStatus)) + ", the routine returned " +
                                                            Hex(static_cast<ULONG>(status)));
        }
        if (major == IRP_MJ_PNP && frame.lowerAtEntry != nullptr) {
            if (!frame.forwarded && frame.completedHere && frame.statusAtWalk == STATUS_NOT_SUPPORTED) {
                reports.Add(rule::PnpStatusChanged, who() + ", minor " + Hex(frame.minor) +
                                                        ": failed with STATUS_NOT_SUPPORTED instead of passing it down");
            } else if (frame.forwarded && !KnownPnpMinor(frame.minor) && frame.statusAtForward != frame.statusAtEntry) {
                reports.Add(rule::PnpStatusChanged, who() + ", minor " + Hex(frame.minor) + ", which no driver handles: status " +
                                                        Hex(static_cast<ULONG>(frame.statusAtEntry)) + " changed to " +
                                                        Hex(static_cast<ULONG>(frame.statusAtForward)) + " on the way down");
            }
        }
        if (frame.heldLock != nullptr && !frame.forwarded && status != STATUS_PENDING) {
            auto it = s.removeLocks.find(frame.heldLock);
            if (it != s.removeLocks.end() && it->second.tags.count(Irp) != 0) {
                reports.Add(rule::RemoveLockHeldAtReturn, who() + " finished it still holding remove lock " + Ptr(frame.heldLock) +
                                                              " acquired for it");
            }
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
    if (tlsResumeHeld) {
        tlsResumeHeld = false;  // a completion force-pending held back: checked when it was made
        host = Irp->Host;
        goto walk;
    }
    {  // the checks, in a scope of their own so that the resumed walk can skip them
    HkCallFrame *frame = DispatchFrameFor(Irp);
    if (frame != nullptr && !__atomic_load_n(&frame->owns, __ATOMIC_ACQUIRE)) {
        if (frame->completed) {
            reports.Add(rule::DoubleCompletion, "IofCompleteRequest on " + Describe(Irp) + " a second time by the dispatch routine of " +
                                                    Ptr(frame->device));
        } else {
            reports.Add(rule::IrpNotOwned, NotOwnedBySender("IofCompleteRequest", Irp, frame));
        }
        return;
    }
    bool force = false;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        if (!IrpLive(Irp)) {
            auto freed = s.freedIrps.find(Irp);
            bool wasCompleted = freed != s.freedIrps.end() && freed->second.completed;
            reports.Add(wasCompleted ? rule::DoubleCompletion : rule::IrpUsedAfterFree,
                        "IofCompleteRequest on " + Describe(Irp) + (wasCompleted ? ", completed and freed already" : ", which is not a live IRP"));
            return;
        }
        host = Irp->Host;
        if (host->phase != HkIrpState::Phase::Active || Irp->CurrentLocation > Irp->StackCount + 1 ||
            CompletedByThisDispatchAlready(host, Me().id) || (frame != nullptr && frame->forcedPending)) {
            reports.Add(rule::DoubleCompletion, "IofCompleteRequest on " + Describe(Irp) + ", which is already completed");
            return;
        }
        if (!host->threaded && Irp->CurrentLocation == Irp->StackCount + 1) {
            // Nothing is left to complete: the creator got it back and must free or reuse it.
            reports.Add(rule::CreatorCompletedOwnIrp, "IofCompleteRequest on " + Describe(Irp) +
                                                          " by the driver that allocated it, after it came back: IoFreeIrp it instead");
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
        if (OpLogOn()) {
            KernelOp op;
            op.kind = KernelOp::Kind::Complete;
            op.device = Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            op.irp = Irp;
            op.location = Irp->CurrentLocation;
            op.irpSerial = host->serial;
            LogOpLocked(std::move(op));
        }
        if (frame != nullptr) {
            // Completed by its own dispatch routine, which lets go of it here.
            frame->completed = true;
            __atomic_store_n(&frame->owns, false, __ATOMIC_RELEASE);
        }
        // Force-pending: a simulated driver completing inside its own dispatch routine has its
        // completion held at its location and finished later, as if it had pended the request.
        // IRP_MN_REMOVE_DEVICE is left alone: a bus driver completes the removal of its child
        // before its dispatch routine returns, and the filter relies on that when it answers
        // removal with STATUS_SUCCESS whatever came back from below.
        PIO_STACK_LOCATION at = Irp->Tail.Overlay.CurrentStackLocation;
        bool removal = at->MajorFunction == IRP_MJ_PNP && at->MinorFunction == IRP_MN_REMOVE_DEVICE;
        if (s.mode == IoMode::ForcePending && !removal && frame != nullptr && frame->level == Irp->CurrentLocation &&
            frame->device->Host->simulated) {
            force = true;
            frame->forcedPending = true;
            frame->forcedStatus = Irp->IoStatus.Status;
            __atomic_store_n(&frame->owns, false, __ATOMIC_RELEASE);
            Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
            host->marked[static_cast<size_t>(Irp->CurrentLocation)] = 1;
        }
    }
    reports.Flush();
    if (force) {
        uint64_t serial = Irp->Host->serial;
        Defer([Irp, serial] {
            {
                std::lock_guard<std::mutex> lock(Mutex());
                if (!LiveWithSerial(S(), Irp, serial)) {
                    return;
                }
            }
            tlsResumeHeld = true;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
        });
        return;
    }
    }
walk:
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
        int owner = Irp->CurrentLocation;
        HkCallFrame *ownerFrame = nullptr;
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
            if (owner > top) {
                host->inFlight = false;
            }
            if (invoke) {
                host->phase = HkIrpState::Phase::Active;  // the routine's driver owns the IRP while it runs
                thread = Me().id;
                host->routineThreads.push_back(thread);
                // ... and so does its dispatch routine, if it is still running.
                auto &above = host->frames[static_cast<size_t>(owner)];
                if (owner <= top && !above.empty() && !above.back()->walkedPast) {
                    ownerFrame = above.back();
                    __atomic_store_n(&ownerFrame->owns, true, __ATOMIC_RELEASE);
                }
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
        bool pendingReturned = Irp->PendingReturned;
        PDEVICE_OBJECT device = owner > top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        uint64_t serial = host->serial;
        KIRQL before = Irql();
        NTSTATUS result;
        {
            ActorScope actor(nullptr);
            result = routine(device, Irp, sp->Context);
        }
        if (tlsAnySetAfterCancel) {
            CheckCancelRechecked();
        }
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
                if (ownerFrame != nullptr) {
                    auto &above = host->frames[static_cast<size_t>(owner)];
                    if (!above.empty() && above.back() == ownerFrame) {  // its dispatch routine has not returned
                        __atomic_store_n(&ownerFrame->owns, false, __ATOMIC_RELEASE);
                    }
                }
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
            // The IRP belongs to the routine's driver again and may already be gone. Complete-at-once:
            // the creator took it back while its own IofCallDriver is still running; it might have
            // freed it in the routine, so nobody below may touch it until that call returns.
            if (owner > top) {
                std::lock_guard<std::mutex> lock(Mutex());
                // Not when the routine sent it down again (reuse): then it is in flight once more.
                if (S().mode == IoMode::CompleteAtOnce && LiveWithSerial(S(), Irp, serial) && !host->frames[static_cast<size_t>(top)].empty() &&
                    !host->poisoned && !host->inFlight) {
                    host->heldForCreator = true;
                    Poison(Irp, true);
                }
            }
            return;
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
    {
        ActorScope actor(nullptr);
        routine(device, Irp);
    }
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
    uint64_t serial;
    {
        Reports reports;
        if (HkCallFrame *frame = DispatchFrameFor(Irp); frame != nullptr && !__atomic_load_n(&frame->owns, __ATOMIC_ACQUIRE)) {
            reports.Add(rule::IrpNotOwned, NotOwnedBySender("IoSetCancelRoutine", Irp, frame));
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(Mutex());
        if (!IrpLive(Irp)) {
            reports.Add(rule::IrpUsedAfterFree, "IoSetCancelRoutine on " + Describe(Irp) + ", which is not a live IRP");
            return nullptr;
        }
        if (Irp->Host->phase == HkIrpState::Phase::Done) {
            reports.Add(CancelRoutine != nullptr ? rule::CancelRoutineSetAtCompletion : rule::IrpNotOwned,
                        "IoSetCancelRoutine on " + Describe(Irp) + ", which is already completed");
            return nullptr;
        }
        serial = Irp->Host->serial;
    }
    PDRIVER_CANCEL previous = __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_ACQ_REL);
    if (CancelRoutine != nullptr && __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE)) {
        tlsSetAfterCancel.emplace_back(Irp, serial);
        tlsAnySetAfterCancel = true;
    }
    return previous;
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

// Before Vista the power manager starts the next power request of the device when each driver calls
// this, and it must be called while the current stack location is still the caller's: before it
// skips or copies its location and sends the request on, or completes it.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    CheckIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    if (HkCallFrame *frame = DispatchFrameFor(Irp); frame != nullptr) {
        const bool owns = __atomic_load_n(&frame->owns, __ATOMIC_ACQUIRE);
        const int location = owns ? Irp->CurrentLocation : 0;
        if (OpLogOn()) {
            KernelOp op;
            op.kind = KernelOp::Kind::StartNextPowerIrp;
            op.irp = Irp;
            op.major = frame->major;
            op.minor = frame->minor;
            op.location = location;
            op.callerLocation = frame->level;
            op.irpSerial = Irp->Host->serial;
            LogOp(std::move(op));
        }
        if (!owns || location != frame->level) {
            Violate(rule::StartNextPowerIrpOffLocation,
                    "PoStartNextPowerIrp on " + Describe(Irp) + " by the dispatch routine of " + Ptr(frame->device) +
                        (!owns ? (frame->completed ? " after it completed the request" : " after it sent the request down")
                               : " at location " + std::to_string(location) + ", its own being " + std::to_string(frame->level) +
                                     ": its location was already skipped or set"));
            return;
        }
    } else if (OpLogOn()) {
        if (!CheckLive(Irp, "PoStartNextPowerIrp")) {
            return;
        }
        LogLocationOp(KernelOp::Kind::StartNextPowerIrp, Irp);
        return;
    }
    CheckLive(Irp, "PoStartNextPowerIrp");
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (OpLogOn()) {
        const HkCallFrame *frame = DispatchFrameFor(Irp);
        if (frame == nullptr || __atomic_load_n(&frame->owns, __ATOMIC_ACQUIRE)) {
            if (CheckLive(Irp, "PoCallDriver")) {
                LogLocationOp(KernelOp::Kind::PoCallDriver, Irp, DeviceObject);
            }
        }
    }
    return IofCallDriver(DeviceObject, Irp);
}

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

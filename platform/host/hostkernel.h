// The host kernel layer's own interface: what tests, the simulated neighbours (sim/) and the
// command-line tools use to run drivers in user mode. The kernel services themselves are declared
// in nt.h under their NT names.
//
// Model in brief:
// - One kernel per process, reset by hk::Reset() at the start of every test.
// - Every thread has its own IRQL (PASSIVE_LEVEL when it starts). Services check the IRQL they are
//   called at and report a violation when it is too high.
// - Time is virtual. hk::Defer() schedules work ("the hardware did something") at a virtual time;
//   deferred work runs at DISPATCH_LEVEL when a thread calls hk::RunDue()/hk::Advance()/
//   hk::RunUntilIdle(), or while a thread waits in KeWaitForSingleObject: a waiting thread runs due
//   work, and when nothing is due it moves the clock to the next piece of work or to its own
//   timeout, whichever comes first. A 2-second timeout therefore costs no real time.
// - Real threads may also signal events; an untimed wait with nothing deferred waits for them up to
//   the watchdog's real-time limit, then reports the rule "WaitNeverSatisfied".
// - Threaded IRPs (IoBuildDeviceIoControlRequest) finish as on NT: after the last completion
//   routine, a kernel APC on the thread that built the IRP writes the status block, signals the
//   event and frees the IRP; the APC runs when that thread is at PASSIVE_LEVEL (at once if it is
//   the completing thread, else at its next wait or its next return to PASSIVE_LEVEL). As on NT,
//   an IRP that failed with an error status without pending writes no status block and signals no
//   event.
// - Ownership: a dispatch routine owns its request until it completes it or sends it down; after
//   IofCallDriver it owns it again only when its own completion routine returns
//   STATUS_MORE_PROCESSING_REQUIRED. An IRP service it calls on the request meanwhile is refused
//   (IrpNotOwned). After its final completion an IRP is poisoned for ASan until freed or reused.
// - Verifier: a broken rule calls the violation handler with the rule's name. The default handler
//   prints the violation and aborts, like a bug check; tests install their own handler.
#pragma once

#include "nt.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hk {

// ---- lifecycle and verifier -----------------------------------------------------------------
struct Violation {
    std::string rule;    // e.g. "DoubleCompletion"
    std::string detail;  // free text: the IRP, device, routine involved
};
using ViolationHandler = std::function<void(const Violation &)>;

// Fresh kernel: empty namespace, pool, trace, clock at 0, no faults, no violations, default
// handler restored, watchdog at its default. Objects left from an earlier test are forgotten
// (not freed) so that one failing test cannot poison the next.
void Reset();
void SetViolationHandler(ViolationHandler handler);
const std::vector<Violation> &Violations();  // every violation since Reset(), in order
void Violate(const char *rule, std::string detail);  // used by the layer and by the simulation

// Rule names reported by the layer (the strings tests compare against).
namespace rule {
inline constexpr const char *DoubleCompletion = "DoubleCompletion";
inline constexpr const char *CompleteWithPending = "CompleteWithPending";
inline constexpr const char *PendingNotMarked = "PendingNotMarked";              // dispatch returned STATUS_PENDING without IoMarkIrpPending
inline constexpr const char *StatusMismatch = "StatusMismatch";                  // dispatch returned X but the completed IRP says Y
inline constexpr const char *NotCompletedNotPending = "NotCompletedNotPending";  // dispatch returned non-pending, IRP still owned
inline constexpr const char *PendingNotPropagated = "PendingNotPropagated";      // completion routine ignored PendingReturned
inline constexpr const char *MarkPendingOnCreatorLocation = "MarkPendingOnCreatorLocation";
inline constexpr const char *NoMoreStackLocations = "NoMoreStackLocations";
inline constexpr const char *IrqlTooHigh = "IrqlTooHigh";                        // a service called above its IRQL
inline constexpr const char *IrqlNotRestored = "IrqlNotRestored";                // a routine returned at another IRQL
inline constexpr const char *ThreadedIrpFreed = "ThreadedIrpFreed";              // IoFreeIrp on an IRP the I/O manager owns
inline constexpr const char *IrpUsedAfterFree = "IrpUsedAfterFree";
inline constexpr const char *DeleteAttachedDevice = "DeleteAttachedDevice";
inline constexpr const char *DeleteDeletedDevice = "DeleteDeletedDevice";
inline constexpr const char *DetachNotAttached = "DetachNotAttached";
inline constexpr const char *PoolLeak = "PoolLeak";
inline constexpr const char *BadPoolFree = "BadPoolFree";                        // double or foreign free
inline constexpr const char *ZeroPoolAllocation = "ZeroPoolAllocation";
inline constexpr const char *RemoveLockMisuse = "RemoveLockMisuse";
inline constexpr const char *CancelRoutineSetAtCompletion = "CancelRoutineSetAtCompletion";
inline constexpr const char *WaitNeverSatisfied = "WaitNeverSatisfied";
inline constexpr const char *DeviceObjectLeak = "DeviceObjectLeak";
inline constexpr const char *BadUnicodeString = "BadUnicodeString";
inline constexpr const char *MdlNotLocked = "MdlNotLocked";
inline constexpr const char *InvalidDeviceObject = "InvalidDeviceObject";            // a request sent to a device object that does not exist
inline constexpr const char *IrpNotOwned = "IrpNotOwned";                        // an I/O service on an IRP its caller sent down and did not get back
inline constexpr const char *PendingMarkedNotReturned = "PendingMarkedNotReturned";  // marked pending, returned another status
inline constexpr const char *PassThroughStatusChanged = "PassThroughStatusChanged";  // passed down without a routine, returned other than IoCallDriver did
inline constexpr const char *CreatorCompletedOwnIrp = "CreatorCompletedOwnIrp";  // IoCompleteRequest by the creator of an IoAllocateIrp IRP
inline constexpr const char *PnpStatusChanged = "PnpStatusChanged";              // a PnP request failed with STATUS_NOT_SUPPORTED, or its status changed, by a driver that passes it on
inline constexpr const char *DispatchEntryMissing = "DispatchEntryMissing";      // a driver in a device stack left a major function to the I/O manager
inline constexpr const char *RemoveLockHeldAtReturn = "RemoveLockHeldAtReturn";  // a dispatch routine finished a request still holding the remove lock taken for it
inline constexpr const char *DeleteBeforeRemoveReturned = "DeleteBeforeRemoveReturned";  // IoDeleteDevice while the remove request is still on its way down
inline constexpr const char *CancelNotRechecked = "CancelNotRechecked";          // a cancel routine set on a cancelled IRP and left there
inline constexpr const char *EventNotInitialized = "EventNotInitialized";        // a wait or event service on something KeInitializeEvent never set up
inline constexpr const char *InformationTooLarge = "InformationTooLarge";        // a buffered request completed with more bytes than its output buffer
inline constexpr const char *StartNextPowerIrpOffLocation = "StartNextPowerIrpOffLocation";  // PoStartNextPowerIrp by a dispatch routine whose stack location is no longer current
}  // namespace rule

// ---- I/O modes ----------------------------------------------------------------------------------
// Normal: deferred work runs only inside waits and the run calls below.
// CrossThread: deferred work runs on a work thread of the layer as soon as it is due, at any moment
//   (also while the thread that deferred it is still inside IofCallDriver); `seed` drives the random
//   pauses that place each piece of work, so a run can be repeated. Waits and the run calls then
//   only wait for that thread.
// ForcePending: as Driver Verifier's force-pending option, a request that a simulated driver
//   (MarkSimulated) completes inside its dispatch routine is held at that location, marked pending
//   and finished later from deferred work; IofCallDriver returns STATUS_PENDING.
// CompleteAtOnce: the opposite. The simulated bus answers inside its dispatch routine whatever it
//   can (URBs whose answer sets no delay, reads for a report already waiting), and an IRP whose
//   creator's completion routine took it back with STATUS_MORE_PROCESSING_REQUIRED while the
//   creator's own IofCallDriver is still running is poisoned until that call returns: the creator
//   may free or reuse it from the routine, so under ASan any touch by a driver in between (a
//   dispatch routine reading its request after IoCallDriver returned) is a use after poison.
enum class IoMode { Normal, CrossThread, ForcePending, CompleteAtOnce };
void SetIoMode(IoMode mode, uint64_t seed = 1);  // Reset() returns to Normal
IoMode CurrentIoMode();
void MarkSimulated(PDRIVER_OBJECT driver);

// Checks what must hold between tests: no live pool block, no device object, no name, no
// outstanding IRP. Reports PoolLeak / DeviceObjectLeak violations for what it finds and returns
// false if anything was found.
bool CheckClean();

// ---- ordered log of kernel operations ---------------------------------------------------------
// Off unless a test turns it on (one relaxed load per logged service while off). Records, in the
// order they happen, the operations whose order a driver's teardown and power path fix.
struct KernelOp {
    enum class Kind {
        CreateDevice,       // device, name
        DeleteDevice,       // device, name (carried out, not refused)
        CreateLink,         // name = the link, target = the device name
        DeleteLink,         // name = the link (found and deleted)
        Attach,             // device = the device attached, other = the device it went on top of
        Detach,             // device = the device detached from, other = the device that was on it
        PoolFree,           // block, tag, size
        CallDriver,         // IofCallDriver: device = target, irp, major/minor, location
        DispatchReturn,     // a dispatch routine returned: device = its device, status = what IofCallDriver returns for it
        SkipLocation,       // IoSkipCurrentIrpStackLocation: location before the skip
        CopyLocation,       // IoCopyCurrentIrpStackLocationToNext: location
        StartNextPowerIrp,  // PoStartNextPowerIrp: location (0 when the caller no longer owned the IRP)
        PoCallDriver,       // PoCallDriver: device = target, location (IofCallDriver follows)
        Print,              // DbgPrint: text = the trace entry
        Complete,           // IofCompleteRequest: device = the driver whose location was current (the completer), location
    };
    // How a request reached the driver a CallDriver entry names: sent by a caller that owns no
    // location for it (its creator, or code outside any dispatch routine), or by a dispatch routine
    // that skipped its own location (the receiver gets that location) or copied or set the next one
    // (the receiver gets a location of its own).
    enum class Sent { ByCreator, Skipped, Copied };
    Kind kind = Kind::CreateDevice;
    // The device whose dispatch routine the calling thread runs (innermost), null in completion
    // routines, deferred work and code outside any driver.
    PDEVICE_OBJECT actor = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT other = nullptr;
    std::u16string name;
    std::u16string target;
    std::string text;
    const void *block = nullptr;
    ULONG tag = 0;
    size_t size = 0;
    PIRP irp = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    int location = 0;        // the IRP's CurrentLocation when the service was called
    int callerLocation = 0;  // the location of the calling dispatch routine for that IRP, 0 if none
    NTSTATUS status = 0;
    uint64_t irpSerial = 0;  // tells apart IRPs that had the same address in turn (0 for no IRP)
    Sent sent = Sent::ByCreator;                   // CallDriver
    PIO_COMPLETION_ROUTINE routine = nullptr;      // CallDriver: the routine the sender set for itself, null after a skip
};
void SetKernelOpLog(bool on);          // turning it on starts an empty log; Reset() turns it off
std::vector<KernelOp> KernelOps();     // a copy of the log so far
std::string Describe(const KernelOp &op);  // one line, for test messages
// One driver an IRP reached: the device, the stack location it received the IRP in (1 is the
// lowest) and how the sender passed it on.
struct Delivery {
    PDEVICE_OBJECT device = nullptr;
    int location = 0;
    KernelOp::Sent sent = KernelOp::Sent::ByCreator;
    PIO_COMPLETION_ROUTINE routine = nullptr;  // the sender's own completion routine, null after a skip
};
// Every driver the IRP with that serial (KernelOp::irpSerial) reached while the log was on, in order.
std::vector<Delivery> Route(uint64_t irpSerial);

// ---- trace (DbgPrint) -------------------------------------------------------------------------
const std::vector<std::string> &TraceEntries();  // one entry per DbgPrint call, formatted, exact bytes
std::string TraceText();                         // all entries concatenated
void ClearTrace();
void SetTraceEcho(bool echo);       // also write every entry to stderr as it is printed
void SetTraceEnabled(bool enabled); // off: DbgPrint returns at once without formatting (debug filter off)
uint64_t DbgPrintCalls();           // calls made, also while disabled

// ---- pool -------------------------------------------------------------------------------------
struct PoolBlock {
    const void *address;
    size_t size;
    ULONG tag;
};
std::vector<PoolBlock> LivePool();
size_t LivePoolCount();
size_t LivePoolCount(ULONG tag);
uint64_t PoolAllocations();  // successful ExAllocatePoolWithTag calls since Reset()
uint64_t PoolFrees();

// ---- failure injection ------------------------------------------------------------------------
enum class Fault { Pool, CreateDevice, CreateSymbolicLink, BuildIoctlIrp, AttachDevice, AllocateIrp };
// The nth call from now (1 = the next one) of that kind fails: the pool returns null,
// IoCreateDevice/IoCreateSymbolicLink return `status`, IoBuildDeviceIoControlRequest and
// IoAllocateIrp return null, IoAttachDeviceToDeviceStack returns null. Several may be armed.
void FailNth(Fault kind, unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void FailAlways(Fault kind, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void ClearFaults();
uint64_t Calls(Fault kind);  // calls made of that kind since Reset(), failed ones included
// Who made a call that injection counts, as far as the call itself tells: the tag asked for (Pool);
// the driver object creating the device (CreateDevice); the driver of the device a link names
// (CreateSymbolicLink); the driver of the target device (BuildIoctlIrp); the driver of the device
// being attached (AttachDevice); nothing for IoAllocateIrp, which also counts the I/O manager's
// IRPs for OpenFile, DeviceIoControl and SendMajor.
struct FaultSite {
    ULONG tag = 0;
    PDRIVER_OBJECT driver = nullptr;
    bool failed = false;  // this call was made to fail
};
// The calls of that kind since Reset(), in order, the first kMaxFaultSites of them: element i is
// call number i + 1.
inline constexpr size_t kMaxFaultSites = 1 << 16;
std::vector<FaultSite> FaultSites(Fault kind);

// ---- IRQL ---------------------------------------------------------------------------------------
KIRQL CurrentIrql();
// Raises (or lowers) the calling thread's IRQL for its lifetime; going back to PASSIVE_LEVEL
// delivers the thread's pending APCs.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope &) = delete;
    IrqlScope &operator=(const IrqlScope &) = delete;

private:
    KIRQL previous_;
};

// ---- virtual clock and deferred work ----------------------------------------------------------
int64_t Now();  // virtual time in 100 ns units since Reset()
// Runs fn at virtual time Now()+delay (in 100 ns units) at the given IRQL, in whichever thread
// runs due work. Work due at the same time runs in the order it was deferred.
void Defer(std::function<void()> fn, int64_t delay100ns = 0, KIRQL irql = DISPATCH_LEVEL);
bool RunDue();                   // runs all work due now; true if any ran
void Advance(int64_t delta100ns); // moves the clock, running work as it falls due
void RunUntilIdle();              // runs all deferred work, moving the clock as needed
size_t DeferredCount();
uint64_t WaitCalls();             // KeWaitForSingleObject calls since Reset()
// Real time an untimed wait with nothing deferred waits for another thread before reporting
// WaitNeverSatisfied. After the report the wait goes on (the handler may have deferred work that
// ends it); if still nothing can end it, the process aborts.
void SetWatchdog(std::chrono::milliseconds limit);
constexpr int64_t Ms(int64_t ms) { return ms * 10000; }  // milliseconds in 100 ns units
// Runs in the waiting thread each time a wait with a non-zero timeout gives up, just before
// KeWaitForSingleObject returns STATUS_TIMEOUT: lets a test make work fall due between a timeout
// and what the caller does next. Null removes it.
void SetWaitTimeoutHook(std::function<void()> hook);

// ---- drivers and the object namespace ---------------------------------------------------------
// Creates a driver object named `name` (e.g. u"\\Driver\\hct") and calls `entry` at PASSIVE_LEVEL
// with a registry path. Returns null if DriverEntry failed.
PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, NTSTATUS *entryStatus = nullptr);
// Calls DriverUnload (if set) and frees the driver object; reports DeviceObjectLeak if the driver
// still has device objects.
void UnloadDriver(PDRIVER_OBJECT driver);
// Resolves a device name ("\Device\X"), a link ("\DosDevices\X", "\??\X") or a Win32 device path
// ("\\.\X"); links are followed. Case-insensitive. Null if nothing has that name.
PDEVICE_OBJECT LookupDevice(std::u16string_view name);
bool NameExists(std::u16string_view name);
std::vector<std::u16string> Names();        // every device name and link name that exists
std::u16string DeviceName(PDEVICE_OBJECT);  // the name given at creation, empty if unnamed
bool IsDeleted(PDEVICE_OBJECT);             // IoDeleteDevice was called (object may live on while referenced)
size_t LiveDeviceCount();                   // device objects not yet freed
// Occupies a name in the namespace as another driver would (for collision tests).
void ReserveName(std::u16string_view name);
void ReleaseName(std::u16string_view name);

// ---- IRPs in flight ---------------------------------------------------------------------------
size_t OutstandingIrps();  // allocated and not yet freed (threaded ones included)
uint64_t IrpAllocations(); // IoAllocateIrp/IoBuildDeviceIoControlRequest calls since Reset()

// ---- user-mode handles (what an application's CreateFile/DeviceIoControl/CloseHandle do) -----
using Handle = uintptr_t;  // 0 is never a valid handle
// Opens `path` (a Win32 path "\\.\X", or an NT name), sends IRP_MJ_CREATE to the top of the
// device's stack and waits for it. On success the handle keeps the device object alive (a
// reference), as the object manager does, until CloseFile.
NTSTATUS OpenFile(std::u16string_view path, Handle *handle);
// METHOD_BUFFERED device control through a handle: the I/O manager's system buffer, copy-back of
// Information bytes, and a wait when the driver pends. `information` may be null.
NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                         ULONG_PTR *information = nullptr);
// Sends any major function without data through a handle (read/write with no buffer, flush, ...).
NTSTATUS SendMajor(Handle handle, UCHAR major, UCHAR minor = 0);
// IRP_MJ_CLEANUP then IRP_MJ_CLOSE; drops the reference. Returns the cleanup status.
NTSTATUS CloseFile(Handle handle);

}  // namespace hk

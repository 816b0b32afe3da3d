// Private state of the host kernel layer, shared by its source files. Nothing outside
// platform/host includes this.
//
// Locking: one mutex guards every table below, and one condition variable wakes waiters. The mutex
// is never held while driver code, deferred work or the violation handler runs, because those call
// back into the layer. Records the driver owns (IRP fields, device object fields) are touched
// without the mutex, as the kernel touches them for whoever owns the IRP at that moment.
#pragma once

#include "hostkernel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Status values the layer returns that the driver itself never names.
#define HK_STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define HK_STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define HK_STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define HK_STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024)
#define HK_STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)

// A short list of plain values whose first N live in place. The bookkeeping of calls and completion
// routines in flight holds one or two entries per location; keeping them in place means that
// sending a request down and completing it allocates nothing beyond the IRP itself.
template <typename T, size_t N>
class HkSmallList {
public:
    HkSmallList() = default;
    HkSmallList(const HkSmallList &other) { *this = other; }
    HkSmallList(HkSmallList &&other) noexcept { *this = other; }
    HkSmallList &operator=(const HkSmallList &other)
    {
        if (this != &other) {
            clear();
            for (const T &v : other) {
                push_back(v);
            }
        }
        return *this;
    }
    ~HkSmallList()
    {
        if (data_ != place_) {
            delete[] data_;
        }
    }

    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }
    std::reverse_iterator<T *> rbegin() { return std::reverse_iterator<T *>(end()); }
    std::reverse_iterator<T *> rend() { return std::reverse_iterator<T *>(begin()); }
    std::reverse_iterator<const T *> rbegin() const { return std::reverse_iterator<const T *>(end()); }
    std::reverse_iterator<const T *> rend() const { return std::reverse_iterator<const T *>(begin()); }
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    T &back() { return data_[size_ - 1]; }
    void clear() { size_ = 0; }
    void push_back(const T &v)
    {
        if (size_ == capacity_) {
            T *grown = new T[capacity_ * 2];
            std::copy(begin(), end(), grown);
            if (data_ != place_) {
                delete[] data_;
            }
            data_ = grown;
            capacity_ *= 2;
        }
        data_[size_++] = v;
    }
    T *erase(T *first, T *last)
    {
        T *kept = std::copy(last, end(), first);
        size_ = static_cast<size_t>(kept - data_);
        return first;
    }
    T *erase(T *at) { return erase(at, at + 1); }
    // As a multiset without order: insert, find, count.
    void insert(const T &v) { push_back(v); }
    T *find(const T &v) { return std::find(begin(), end(), v); }
    size_t count(const T &v) const { return static_cast<size_t>(std::count(begin(), end(), v)); }

private:
    static_assert(std::is_trivially_copyable_v<T> && N > 0);
    T place_[N]{};
    T *data_ = place_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

// One IofCallDriver call in progress at one stack location. It lives in IofCallDriver's frame; the
// completion walk fills it in when it passes the location, so the checks after the dispatch routine
// returns never need the IRP itself, which may be gone by then.
struct HkCallFrame {
    int level = 0;
    uint64_t thread = 0;
    bool walkedPast = false;
    bool markedAtWalk = false;
    bool completedHere = false;  // the innermost call at the location where the walk began
    NTSTATUS statusAtWalk = 0;
    // Ownership: the dispatch routine owns the request until it sends it down, and again only when
    // its own completion routine returns STATUS_MORE_PROCESSING_REQUIRED. Written by the walk on any
    // thread, hence the atomic accesses.
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lowerAtEntry = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    bool owns = true;
    bool forwarded = false;        // sent down by this dispatch routine
    bool forwardPlain = false;     // ... with no completion routine of its own
    bool forwardReturned = false;  // ... and that IofCallDriver has returned
    bool forcedPending = false;    // its completion was held back (force-pending mode)
    bool completed = false;        // it completed the request itself
    NTSTATUS forwardStatus = 0;
    NTSTATUS statusAtEntry = 0;
    NTSTATUS statusAtForward = 0;
    NTSTATUS forcedStatus = 0;
    const void *heldLock = nullptr;  // a remove lock it took with the request as tag
};

// What the calling thread is running, innermost first: a dispatch routine for an IRP, or something
// that may act on any IRP it holds (a completion or cancel routine, deferred work). Lives on the
// stack of the call that runs it.
struct HkActor {
    HkCallFrame *frame;  // null: not a dispatch routine
    HkActor *prev;
};

struct HkIrpState {
    enum class Phase { Active, Completing, Done };
    uint64_t serial = 0;
    Phase phase = Phase::Active;
    bool threaded = false;
    uint64_t threadId = 0;  // the building thread, for the completion APC
    // METHOD_BUFFERED / direct-I/O resources the I/O manager owns for a built control request.
    bool ownsSystemBuffer = false;
    bool ownsMdl = false;
    void *outputBuffer = nullptr;
    ULONG outputLength = 0;
    size_t systemLength = 0;
    // Indexed by stack location, 0..StackCount+1.
    std::vector<HkSmallList<HkCallFrame *, 2>> frames;
    std::vector<uint8_t> marked;           // IoMarkIrpPending side log (completion clears Control)
    std::vector<uint8_t> pendingPromised;  // dispatch returned STATUS_PENDING before the mark
    std::vector<uint8_t> pendingReported;  // one report per location and fault
    HkSmallList<uint64_t, 4> routineThreads;  // threads inside one of its completion routines
    bool inFlight = false;                 // sent by its creator, not yet back at the creator's level
    bool poisoned = false;                 // driver-visible bytes poisoned after final completion
    bool heldForCreator = false;           // complete-at-once: poisoned until the creator's IofCallDriver returns
};

struct HkDeviceState {
    uint64_t serial = 0;
    std::u16string name;
    bool deleted = false;
    PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned
    size_t extensionSize = 0;
    bool simulated = false;               // its driver's requests are forced pending in that mode
    HkCallFrame *removeFrame = nullptr;   // the IRP_MN_REMOVE_DEVICE dispatch in progress
};

namespace hk::detail {

struct ThreadState {
    uint64_t id = 0;
    uint64_t generation = 0;
    KIRQL irql = PASSIVE_LEVEL;
    std::deque<PIRP> apcs;  // IRPs whose completion APC waits for this thread (under the mutex)
    // Whether apcs holds any, set with every change of it: the thread itself tests it without the
    // mutex, so that a return to PASSIVE_LEVEL with nothing queued costs one load.
    std::atomic<bool> apcsQueued{false};
    bool holdsCancelLock = false;
};

struct NameEntry {
    enum class Kind { Device, Link, Reserved };
    Kind kind = Kind::Device;
    std::u16string display;
    PDEVICE_OBJECT device = nullptr;
    std::u16string target;  // links: the canonical name they point at
};

struct DeferredWork {
    std::function<void()> fn;
    KIRQL irql;
};

struct DriverRecord {
    size_t liveDevices = 0;
    bool simulated = false;
    bool unloaded = false;
    std::u16string name;
    std::u16string registryPath;
};

struct RemoveLockShadow {
    LONG count = 1;
    bool removed = false;
    // One entry per acquisition, in no order. Acquiring and releasing for every request allocates
    // nothing while a few requests hold the lock.
    HkSmallList<const void *, 8> tags;
};

struct HandleRecord {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

struct State {
    uint64_t generation = 0;
    uint64_t nextSerial = 1;

    std::vector<Violation> violations;
    ViolationHandler handler;

    std::unordered_map<uint64_t, ThreadState *> threads;
    uint64_t nextThreadId = 1;

    std::vector<std::string> trace;
    bool traceEcho = false;  // the debug print filter and the call counter live in trace.cpp

    struct PoolInfo {
        size_t size;
        ULONG tag;
        POOL_TYPE type;
    };
    std::unordered_map<const void *, PoolInfo> pool;
    uint64_t poolAllocations = 0;
    uint64_t poolFrees = 0;

    static constexpr int kFaultKinds = 6;
    struct FaultArm {
        std::vector<std::pair<uint64_t, NTSTATUS>> nth;  // absolute call numbers
        bool always = false;
        NTSTATUS alwaysStatus = 0;
        uint64_t calls = 0;
        std::vector<FaultSite> sites;  // one per call
    } faults[kFaultKinds];

    int64_t now = 0;
    uint64_t nextWorkSeq = 0;
    std::map<std::pair<int64_t, uint64_t>, DeferredWork> deferred;
    uint64_t workRunner = 0;  // thread id running deferred work, 0 if none
    int workDepth = 0;
    uint64_t waitCalls = 0;
    IoMode mode = IoMode::Normal;
    uint64_t seed = 0;
    bool workerRunning = false;  // cross-thread mode: the work thread is alive
    bool workerStop = false;
    std::chrono::milliseconds watchdog{10000};
    std::function<void()> waitTimeoutHook;

    std::map<std::u16string, NameEntry> names;  // canonical (upper-case, "\??\" form) -> entry
    std::unordered_set<PDEVICE_OBJECT> devices;
    std::unordered_map<PDRIVER_OBJECT, DriverRecord> drivers;

    std::unordered_map<PIRP, uint64_t> irps;       // live IRP -> serial
    // Freed IRP -> had been completed, for the latest kRememberedFreedIrps frees: an allocator that
    // does not hand the same addresses out again (ASan's) must not make a long run grow without end.
    struct FreedIrp {
        bool completed;
        uint64_t seq;
    };
    static constexpr size_t kRememberedFreedIrps = 1 << 12;
    std::unordered_map<PIRP, FreedIrp> freedIrps;
    std::vector<std::pair<PIRP, uint64_t>> freedOrder;  // a ring: entry seq % kRememberedFreedIrps
    uint64_t nextFreedSeq = 0;
    uint64_t irpAllocations = 0;

    std::unordered_set<PMDL> mdls;
    std::map<const void *, RemoveLockShadow> removeLocks;

    uint64_t cancelOwner = 0;  // thread holding the cancel spin lock

    std::map<Handle, HandleRecord> handles;
    Handle nextHandle = 4;
    // Buffers of requests a driver never finished: kept, not freed, so a late write stays harmless.
    std::vector<void *> orphans;

    std::vector<KernelOp> ops;  // the ordered log, while gOpLogOn
};

// Inline: every service takes the mutex at least once.
extern std::mutex *gMutex;
extern std::condition_variable *gCv;
extern State *gState;
inline std::mutex &Mutex() { return *gMutex; }
inline std::condition_variable &Cv() { return *gCv; }
inline State &S() { return *gState; }  // the mutex must be held

// Violations found while the mutex is held are queued here and reported once it is released
// (the handler may call back into the layer). Declare before the lock guard.
class Reports {
public:
    Reports() = default;
    Reports(const Reports &) = delete;
    Reports &operator=(const Reports &) = delete;
    ~Reports() { Flush(); }
    void Add(const char *rule, std::string detail) { pending_.push_back({rule, std::move(detail)}); }
    void Flush()
    {
        if (!pending_.empty()) {
            Report();
        }
    }

private:
    void Report();
    std::vector<Violation> pending_;
};

// The ordered log of kernel operations (hk::SetKernelOpLog). Test OpLogOn() first: it is the only
// cost while the log is off.
extern std::atomic<bool> gOpLogOn;
inline bool OpLogOn() { return gOpLogOn.load(std::memory_order_relaxed); }
void LogOpLocked(KernelOp op);  // the mutex must be held; fills in the actor
void LogOp(KernelOp op);        // takes the mutex

// Thread and IRQL.
ThreadState &Me();                  // the calling thread's record; the mutex must be held
// The calling thread's IRQL; a Reset since the thread last looked puts it back to PASSIVE_LEVEL.
extern std::atomic<uint64_t> gGeneration;
extern constinit thread_local KIRQL tlsIrql;
extern constinit thread_local uint64_t tlsIrqlGeneration;
inline KIRQL Irql()
{
    uint64_t generation = gGeneration.load(std::memory_order_relaxed);
    if (tlsIrqlGeneration != generation) {
        tlsIrqlGeneration = generation;
        tlsIrql = PASSIVE_LEVEL;
    }
    return tlsIrql;
}
void SetIrql(KIRQL irql);           // lowering below APC_LEVEL delivers the thread's APCs
void DeliverApcs();                 // runs the calling thread's queued completion APCs if below APC_LEVEL
// Reports IrqlTooHigh when the calling thread is above `max`. Returns false if it was.
bool ReportIrqlTooHigh(KIRQL max, const char *service);
inline bool CheckIrql(KIRQL max, const char *service) { return Irql() <= max || ReportIrqlTooHigh(max, service); }

// Trace: the debug print filter back on and the DbgPrint counter at 0 (hk::Reset).
void ResetTraceSwitches();

// Failure injection; the mutex must be held. True if this call of `kind` must fail.
bool ShouldFail(Fault kind, NTSTATUS *status, FaultSite site = {});

// Deferred work: runs one piece of due work if any and if no other thread is running work.
// Returns true if it ran one. Must be called without the mutex.
bool RunOneDue();

// Actors: what the calling thread runs (see HkActor).
extern thread_local constinit HkActor *tlsActor;
class ActorScope {
public:
    explicit ActorScope(HkCallFrame *frame) : actor_{frame, tlsActor} { tlsActor = &actor_; }
    ~ActorScope() { tlsActor = actor_.prev; }
    ActorScope(const ActorScope &) = delete;
    ActorScope &operator=(const ActorScope &) = delete;

private:
    HkActor actor_;
};
// The dispatch routine the calling thread is running for `irp`, if that is the innermost actor.
inline HkCallFrame *DispatchFrameFor(PIRP irp)
{
    HkActor *a = tlsActor;
    return a != nullptr && a->frame != nullptr && a->frame->irp == irp ? a->frame : nullptr;
}
// Reports CancelNotRechecked for cancel routines this thread set on cancelled IRPs and left there.
void CheckCancelRechecked();
// Cross-thread mode: starts or stops the work thread. The mutex must not be held.
void StartWorker();
void StopWorker();

// IRPs.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
bool IrpLive(PIRP irp);  // the mutex must be held
// An IRP that finishes by an APC on the calling thread, as the I/O manager builds for user I/O.
PIRP AllocateThreadedIrp(CCHAR stackSize, PKEVENT event, PIO_STATUS_BLOCK iosb);
void QueueCompletionApc(PIRP irp);
void FinishThreadedIrp(PIRP irp, bool writeStatus);  // the completion APC's work
void FreeIrpMemory(PIRP irp);  // the mutex must be held
void ForgetThreadIrps(uint64_t threadId);
void ForgetRemoveLocksIn(const void *begin, size_t size);  // the mutex must be held
bool RemoveLockHeldIn(const void *begin, size_t size);     // the mutex must be held

// MDLs; the mutex must be held.
PMDL NewMdl(PVOID virtualAddress, ULONG length);
void DeleteMdl(PMDL mdl);

// Devices.
void ReleaseDeviceReference(PDEVICE_OBJECT device);
std::u16string Canonical(std::u16string_view name);
std::u16string Narrow16(PCUNICODE_STRING s);
bool ValidUnicodeString(PCUNICODE_STRING s, const char *service, Reports &reports);
std::string Utf8(std::u16string_view s);
std::string Hex(uint64_t v);
std::string Ptr(const void *p);

}  // namespace hk::detail

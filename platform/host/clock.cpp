// Virtual clock, deferred work, dispatcher events and waits.
//
// Deferred work stands for what hardware and DPCs do: it runs at its IRQL in whichever thread
// asks for it, one piece at a time across all threads, so that work due at the same time runs in
// the order it was deferred. A waiting thread runs due work itself and otherwise moves the clock
// to the next piece of work or to its own timeout, so timeouts cost no real time.
#include "internal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace hk::detail {

namespace {

thread_local bool tlsWorker = false;  // this thread is the cross-thread mode's work thread

constexpr LONG kEventMagic = 0x4B450000;  // KeInitializeEvent's mark in Type ('KE')

// Cross-thread mode: work due now, which only the work thread may run. The mutex must be held.
bool DueForWorker(const State &s)
{
    return s.mode == IoMode::CrossThread && !s.deferred.empty() && s.deferred.begin()->first.first <= s.now;
}

void WorkerMain(uint64_t generation, uint64_t seed)
{
    tlsWorker = true;
    std::mt19937_64 random(seed);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(Mutex());
            Cv().wait(lock, [&] {
                const State &s = S();
                return s.generation != generation || s.workerStop || (DueForWorker(s) && s.workRunner == 0);
            });
            State &s = S();
            if (s.generation != generation) {
                return;
            }
            if (s.workerStop) {
                s.workerRunning = false;
                Cv().notify_all();
                return;
            }
        }
        // Lands the work anywhere in what the other threads are doing: at once, after a few
        // yields, or after a short sleep.
        uint64_t r = random();
        switch (r % 4) {
        case 0:
            break;
        case 1:
        case 2:
            for (uint64_t i = (r >> 8) % 64; i > 0; --i) {
                std::this_thread::yield();
            }
            break;
        default:
            std::this_thread::sleep_for(std::chrono::microseconds((r >> 8) % 300));
            break;
        }
        RunOneDue();
    }
}

}  // namespace

void StartWorker()
{
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    if (s.workerRunning) {
        return;
    }
    s.workerRunning = true;
    s.workerStop = false;
    std::thread(WorkerMain, s.generation, s.seed).detach();
}

void StopWorker()
{
    std::unique_lock<std::mutex> lock(Mutex());
    if (!S().workerRunning) {
        return;
    }
    S().workerStop = true;
    Cv().notify_all();
    Cv().wait(lock, [] { return !S().workerRunning; });
}

bool EventInitialized(PKEVENT event, const char *service)
{
    if ((__atomic_load_n(&event->Type, __ATOMIC_RELAXED) & ~0xFF) == kEventMagic) {
        return true;
    }
    Violate(rule::EventNotInitialized, std::string(service) + " on " + Ptr(event) + ", which KeInitializeEvent never initialised");
    return false;
}

bool RunOneDue()
{
    DeferredWork work;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        ThreadState &me = Me();
        if (s.workRunner != 0 && s.workRunner != me.id) {
            return false;
        }
        if (s.mode == IoMode::CrossThread && !tlsWorker) {
            return false;
        }
        auto first = s.deferred.begin();
        if (first == s.deferred.end() || first->first.first > s.now) {
            return false;
        }
        work = std::move(first->second);
        s.deferred.erase(first);
        s.workRunner = me.id;
        ++s.workDepth;
    }
    KIRQL previous = Irql();
    SetIrql(work.irql);
    {
        ActorScope actor(nullptr);  // hardware or a DPC, on behalf of whichever driver holds the IRPs
        work.fn();
    }
    CheckCancelRechecked();
    KIRQL after = Irql();
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        if (--s.workDepth == 0) {
            s.workRunner = 0;
        }
        Cv().notify_all();
    }
    if (after != work.irql) {
        Violate(rule::IrqlNotRestored, "deferred work entered at IRQL " + std::to_string(work.irql) + " and returned at " +
                                           std::to_string(after));
    }
    SetIrql(previous);
    return true;
}

namespace {

// Waits while another thread runs deferred work that is due now. Returns false when there is
// nothing left to wait for.
bool WaitForOtherRunner()
{
    std::unique_lock<std::mutex> lock(Mutex());
    State &s = S();
    ThreadState &me = Me();
    if ((s.workRunner == 0 || s.workRunner == me.id) && !(DueForWorker(s) && !tlsWorker)) {
        return false;
    }
    Cv().wait(lock);
    return true;
}

NTSTATUS GiveUp(bool poll)
{
    std::function<void()> hook;
    if (!poll) {
        std::lock_guard<std::mutex> lock(Mutex());
        hook = S().waitTimeoutHook;
    }
    if (hook) {
        hook();
    }
    return STATUS_TIMEOUT;
}

bool TryConsume(PKEVENT event)
{
    if (__atomic_load_n(&event->SignalState, __ATOMIC_ACQUIRE) == 0) {
        return false;
    }
    if ((event->Type & 0xFF) == SynchronizationEvent) {
        __atomic_store_n(&event->SignalState, 0, __ATOMIC_RELEASE);
    }
    return true;
}

}  // namespace

}  // namespace hk::detail

namespace hk {

using namespace detail;

int64_t Now()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().now;
}

void Defer(std::function<void()> fn, int64_t delay100ns, KIRQL irql)
{
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    int64_t when = s.now + (delay100ns > 0 ? delay100ns : 0);
    s.deferred.emplace(std::make_pair(when, s.nextWorkSeq++), DeferredWork{std::move(fn), irql});
    Cv().notify_all();
}

bool RunDue()
{
    bool ran = false;
    for (;;) {
        if (RunOneDue()) {
            ran = true;
            continue;
        }
        if (!WaitForOtherRunner()) {
            return ran;
        }
    }
}

void Advance(int64_t delta100ns)
{
    int64_t target;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        target = S().now + (delta100ns > 0 ? delta100ns : 0);
    }
    for (;;) {
        RunDue();
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        auto first = s.deferred.begin();
        if (first != s.deferred.end() && first->first.first <= target) {
            s.now = std::max(s.now, first->first.first);
            Cv().notify_all();
            continue;
        }
        s.now = std::max(s.now, target);
        Cv().notify_all();
        break;
    }
    RunDue();
}

void RunUntilIdle()
{
    for (;;) {
        RunDue();
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        if (s.deferred.empty() && s.workRunner == 0) {
            return;
        }
        if (!s.deferred.empty()) {
            s.now = std::max(s.now, s.deferred.begin()->first.first);
        }
        Cv().notify_all();
    }
}

size_t DeferredCount()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().deferred.size();
}

uint64_t WaitCalls()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().waitCalls;
}

void SetWaitTimeoutHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(Mutex());
    S().waitTimeoutHook = std::move(hook);
}

void SetWatchdog(std::chrono::milliseconds limit)
{
    std::lock_guard<std::mutex> lock(Mutex());
    S().watchdog = limit;
}

}  // namespace hk

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Type = hk::detail::kEventMagic | Type;
    __atomic_store_n(&Event->SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG, BOOLEAN)
{
    using namespace hk::detail;
    CheckIrql(DISPATCH_LEVEL, "KeSetEvent");
    if (!EventInitialized(Event, "KeSetEvent")) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    LONG previous = __atomic_exchange_n(&Event->SignalState, 1, __ATOMIC_ACQ_REL);
    Cv().notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    using namespace hk::detail;
    CheckIrql(DISPATCH_LEVEL, "KeClearEvent");
    if (!EventInitialized(Event, "KeClearEvent")) {
        return;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    __atomic_store_n(&Event->SignalState, 0, __ATOMIC_RELEASE);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) { return __atomic_load_n(&Event->SignalState, __ATOMIC_ACQUIRE); }

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    using namespace hk;
    using namespace hk::detail;
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    CheckIrql(poll ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject");
    auto *event = static_cast<PKEVENT>(Object);
    if (event == nullptr) {
        Violate(rule::WaitNeverSatisfied, "KeWaitForSingleObject on a null object");
        return STATUS_INVALID_PARAMETER;
    }
    if (!EventInitialized(event, "KeWaitForSingleObject")) {
        return STATUS_INVALID_PARAMETER;
    }
    bool timed = Timeout != nullptr;
    int64_t deadline = 0;
    std::chrono::steady_clock::time_point realLimit;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        ++s.waitCalls;
        if (timed) {
            // Negative: relative to now; positive: an absolute (virtual) time.
            deadline = Timeout->QuadPart <= 0 ? s.now - Timeout->QuadPart : Timeout->QuadPart;
        }
        realLimit = std::chrono::steady_clock::now() + s.watchdog;
    }
    bool reported = false;
    for (;;) {
        DeliverApcs();
        std::unique_lock<std::mutex> lock(Mutex());
        State &s = S();
        ThreadState &me = Me();
        if (TryConsume(event)) {
            return STATUS_SUCCESS;
        }
        if (timed && s.now >= deadline) {
            lock.unlock();
            return GiveUp(poll);
        }
        if (!me.apcs.empty() && Irql() < APC_LEVEL) {
            continue;
        }
        bool otherRunning = (s.workRunner != 0 && s.workRunner != me.id) || (DueForWorker(s) && !tlsWorker);
        if (!otherRunning) {
            auto first = s.deferred.begin();
            if (first != s.deferred.end()) {
                int64_t when = first->first.first;
                if (when <= s.now) {
                    lock.unlock();
                    RunOneDue();
                    continue;
                }
                if (!timed || when <= deadline) {
                    s.now = when;
                    Cv().notify_all();
                    continue;
                }
            }
            if (timed) {
                s.now = deadline;
                lock.unlock();
                return GiveUp(poll);
            }
        }
        if (otherRunning) {
            Cv().wait(lock);
            continue;
        }
        // Untimed, nothing deferred: only another real thread can end this wait.
        if (Cv().wait_until(lock, realLimit) != std::cv_status::timeout) {
            continue;
        }
        if (TryConsume(event)) {
            return STATUS_SUCCESS;
        }
        if (!s.deferred.empty() || s.workRunner != 0 || (!me.apcs.empty() && Irql() < APC_LEVEL)) {
            continue;
        }
        if (reported) {
            fprintf(stderr, "\n*** host kernel: wait on event %p can never be satisfied; stopping\n", Object);
            fflush(stderr);
            abort();
        }
        reported = true;
        auto limit = s.watchdog;
        lock.unlock();
        Violate(rule::WaitNeverSatisfied, "untimed wait on event " + Ptr(Object) + " with nothing deferred and no thread setting it within " +
                                              std::to_string(limit.count()) + " ms");
        realLimit = std::chrono::steady_clock::now() + limit;
    }
}

}  // extern "C"

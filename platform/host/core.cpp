// Kernel state, verifier, per-thread IRQL, failure injection, the between-tests check, and the
// interlocked operations.
#include "internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace hk::detail {

// Never destroyed: thread-exit hooks of the main thread may still need them during exit, and
// the state of earlier tests stays reachable (forgotten, not leaked) in the graveyard.
std::mutex *gMutex = new std::mutex;
std::condition_variable *gCv = new std::condition_variable;
State *gState = new State;
std::atomic<uint64_t> gGeneration{0};

constinit thread_local KIRQL tlsIrql = PASSIVE_LEVEL;
constinit thread_local uint64_t tlsIrqlGeneration = 0;

namespace {

std::vector<State *> *gGraveyard = new std::vector<State *>;

struct ThreadHolder {
    ThreadState *ts = nullptr;
    ~ThreadHolder();
};
thread_local ThreadHolder tlsThread;

ThreadHolder::~ThreadHolder()
{
    if (ts == nullptr) {
        return;
    }
    std::deque<PIRP> orphans;
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(*gMutex);
        State &s = *gState;
        auto it = s.threads.find(ts->id);
        if (ts->generation == s.generation && it != s.threads.end() && it->second == ts) {
            s.threads.erase(it);
            orphans.swap(ts->apcs);
            ts->apcsQueued.store(false, std::memory_order_relaxed);
            id = ts->id;
        }
    }
    // The thread's stack is gone: its requests are disassociated, no status block is written.
    if (id != 0) {
        ForgetThreadIrps(id);
    }
    for (PIRP irp : orphans) {
        FinishThreadedIrp(irp, false);
    }
    delete ts;
    ts = nullptr;  // a later call from another thread-exit hook registers the thread anew
}

}  // namespace

void Reports::Report()
{
    std::vector<Violation> pending;
    pending.swap(pending_);
    for (auto &v : pending) {
        Violate(v.rule.c_str(), std::move(v.detail));
    }
}

ThreadState &Me()
{
    State &s = S();
    ThreadState *ts = tlsThread.ts;
    // Registered in this kernel: only the thread's own exit takes it out of the table again.
    if (ts != nullptr && ts->id != 0 && ts->generation == s.generation) {
        return *ts;
    }
    if (ts == nullptr) {
        ts = new ThreadState;
        tlsThread.ts = ts;
    }
    auto it = s.threads.find(ts->id);
    if (ts->generation != s.generation || it == s.threads.end() || it->second != ts) {
        ts->generation = s.generation;
        ts->id = s.nextThreadId++;
        ts->apcs.clear();
        ts->apcsQueued.store(false, std::memory_order_relaxed);
        ts->holdsCancelLock = false;
        s.threads[ts->id] = ts;
    }
    return *ts;
}

void SetIrql(KIRQL irql)
{
    Irql();
    tlsIrql = irql;
    if (irql < APC_LEVEL) {
        DeliverApcs();
    }
}

void DeliverApcs()
{
    if (Irql() >= APC_LEVEL) {
        return;
    }
    if (ThreadState *ts = tlsThread.ts; ts != nullptr && !ts->apcsQueued.load(std::memory_order_acquire)) {
        return;
    }
    for (;;) {
        PIRP irp = nullptr;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            ThreadState &me = Me();
            if (me.apcs.empty()) {
                return;
            }
            irp = me.apcs.front();
            me.apcs.pop_front();
            me.apcsQueued.store(!me.apcs.empty(), std::memory_order_relaxed);
        }
        tlsIrql = APC_LEVEL;
        FinishThreadedIrp(irp, true);
        tlsIrql = PASSIVE_LEVEL;
    }
}

bool ReportIrqlTooHigh(KIRQL max, const char *service)
{
    KIRQL irql = Irql();
    Violate(rule::IrqlTooHigh,
            std::string(service) + " called at IRQL " + std::to_string(irql) + ", allowed up to " + std::to_string(max));
    return false;
}

bool ShouldFail(Fault kind, NTSTATUS *status, FaultSite site)
{
    auto &arm = S().faults[static_cast<int>(kind)];
    ++arm.calls;
    site.failed = arm.always;
    if (arm.always) {
        *status = arm.alwaysStatus;
    }
    for (auto it = arm.nth.begin(); !site.failed && it != arm.nth.end(); ++it) {
        if (it->first == arm.calls) {
            *status = it->second;
            arm.nth.erase(it);
            site.failed = true;
            break;
        }
    }
    // Bounded, so that a kernel kept for millions of fuzz inputs does not grow without end.
    if (arm.sites.size() < kMaxFaultSites) {
        arm.sites.push_back(site);
    }
    return site.failed;
}

std::string Hex(uint64_t v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string Ptr(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string Utf8(std::u16string_view s)
{
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace hk::detail

namespace hk {

using namespace detail;

void Reset()
{
    StopWorker();
    {
        std::lock_guard<std::mutex> lock(Mutex());
        gGraveyard->push_back(gState);
        auto *fresh = new State;
        fresh->generation = gGeneration.fetch_add(1) + 1;
        gState = fresh;
        gOpLogOn.store(false, std::memory_order_relaxed);
        ResetTraceSwitches();
        Cv().notify_all();
    }
    Irql();
}

void SetViolationHandler(ViolationHandler handler)
{
    std::lock_guard<std::mutex> lock(Mutex());
    S().handler = std::move(handler);
}

const std::vector<Violation> &Violations()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().violations;
}

void Violate(const char *ruleName, std::string detail)
{
    Violation v{ruleName, std::move(detail)};
    ViolationHandler handler;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        S().violations.push_back(v);
        handler = S().handler;
    }
    if (handler) {
        handler(v);
        return;
    }
    // Like a bug check: stop where the fault is, so the debugger or the core shows the culprit.
    fprintf(stderr, "\n*** host kernel: rule %s broken: %s\n", v.rule.c_str(), v.detail.c_str());
    fflush(stderr);
    abort();
}

bool CheckClean()
{
    std::vector<Violation> found;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        State &s = S();
        for (const auto &[address, info] : s.pool) {
            found.push_back({rule::PoolLeak, "pool block " + Ptr(address) + " of " + std::to_string(info.size) +
                                                 " bytes, tag " + Hex(info.tag) + " still allocated"});
        }
        for (const auto &entry : s.irps) {
            found.push_back({rule::PoolLeak, "IRP " + Ptr(entry.first) + " never freed"});
        }
        for (PMDL mdl : s.mdls) {
            found.push_back({rule::PoolLeak, "MDL " + Ptr(mdl) + " never freed"});
        }
        for (PDEVICE_OBJECT device : s.devices) {
            found.push_back({rule::DeviceObjectLeak, "device object " + Ptr(device) + " \"" +
                                                         Utf8(device->Host->name) + "\"" +
                                                         (device->Host->deleted ? " deleted but still referenced" : " never deleted")});
        }
        for (const auto &[key, entry] : s.names) {
            if (entry.kind == NameEntry::Kind::Link) {
                found.push_back({rule::DeviceObjectLeak, "symbolic link \"" + Utf8(entry.display) + "\" never deleted"});
            }
        }
    }
    for (auto &v : found) {
        Violate(v.rule.c_str(), v.detail);
    }
    return found.empty();
}

void FailNth(Fault kind, unsigned n, NTSTATUS status)
{
    if (n == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    auto &arm = S().faults[static_cast<int>(kind)];
    arm.nth.push_back({arm.calls + n, status});
}

void FailAlways(Fault kind, NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(Mutex());
    auto &arm = S().faults[static_cast<int>(kind)];
    arm.always = true;
    arm.alwaysStatus = status;
}

void ClearFaults()
{
    std::lock_guard<std::mutex> lock(Mutex());
    for (auto &arm : S().faults) {
        arm.nth.clear();
        arm.always = false;
    }
}

uint64_t Calls(Fault kind)
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().faults[static_cast<int>(kind)].calls;
}

std::vector<FaultSite> FaultSites(Fault kind)
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().faults[static_cast<int>(kind)].sites;
}

KIRQL CurrentIrql() { return Irql(); }

void SetIoMode(IoMode mode, uint64_t seed)
{
    StopWorker();
    {
        std::lock_guard<std::mutex> lock(Mutex());
        S().mode = mode;
        S().seed = seed;
        Cv().notify_all();
    }
    if (mode == IoMode::CrossThread) {
        StartWorker();
    }
}

IoMode CurrentIoMode()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().mode;
}

void MarkSimulated(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    s.drivers[driver].simulated = true;
    for (PDEVICE_OBJECT device : s.devices) {
        if (device->DriverObject == driver) {
            device->Host->simulated = true;
        }
    }
}


IrqlScope::IrqlScope(KIRQL irql) : previous_(Irql()) { SetIrql(irql); }
IrqlScope::~IrqlScope() { SetIrql(previous_); }

}  // namespace hk

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) { return hk::detail::Irql(); }

LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

LONG InterlockedIncrement(LONG volatile *Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedDecrement(LONG volatile *Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

}  // extern "C"

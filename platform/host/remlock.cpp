// Remove locks. The lock record in the driver's extension is kept as the free build keeps it
// (IoCount starting at 1 as a bias, Removed, a synchronization event); a shadow per lock records
// which tags hold it, so that releases of tags never acquired, waits without holding the lock and
// teardown while it is held are reported.
#include "internal.h"

namespace hk::detail {

void ForgetRemoveLocksIn(const void *begin, size_t size)
{
    if (begin == nullptr || size == 0) {
        return;
    }
    auto &locks = S().removeLocks;
    auto first = locks.lower_bound(begin);
    auto last = locks.lower_bound(static_cast<const char *>(begin) + size);
    locks.erase(first, last);
}

bool RemoveLockHeldIn(const void *begin, size_t size)
{
    if (begin == nullptr || size == 0) {
        return false;
    }
    auto &locks = S().removeLocks;
    for (auto it = locks.lower_bound(begin); it != locks.end() && it->first < static_cast<const char *>(begin) + size; ++it) {
        if (!it->second.tags.empty()) {
            return true;
        }
    }
    return false;
}

}  // namespace hk::detail

using namespace hk;
using namespace hk::detail;

extern "C" {

VOID NTAPI IoInitializeRemoveLock(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG)
{
    CheckIrql(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    auto &locks = S().removeLocks;
    auto it = locks.find(Lock);
    if (it != locks.end() && (it->second.removed || !it->second.tags.empty())) {
        reports.Add(rule::RemoveLockMisuse, "IoInitializeRemoveLock on " + Ptr(Lock) + ", which is in use or was already waited on");
    }
    locks[Lock] = RemoveLockShadow{};
    Lock->Removed = FALSE;
    __atomic_store_n(&Lock->IoCount, 1, __ATOMIC_RELEASE);
    KeInitializeEvent(&Lock->RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag)
{
    CheckIrql(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = S().removeLocks.find(RemoveLock);
    if (it == S().removeLocks.end()) {
        reports.Add(rule::RemoveLockMisuse, "IoAcquireRemoveLock on " + Ptr(RemoveLock) + ", which was never initialised");
        return STATUS_DELETE_PENDING;
    }
    if (it->second.removed || RemoveLock->Removed) {
        return STATUS_DELETE_PENDING;
    }
    it->second.tags.insert(Tag);
    __atomic_add_fetch(&RemoveLock->IoCount, 1, __ATOMIC_ACQ_REL);
    if (HkCallFrame *frame = DispatchFrameFor(static_cast<PIRP>(Tag)); frame != nullptr) {
        frame->heldLock = RemoveLock;  // taken for the request its dispatch routine is handling
    }
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag)
{
    CheckIrql(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    bool last = false;
    {
        Reports reports;
        std::lock_guard<std::mutex> lock(Mutex());
        auto it = S().removeLocks.find(RemoveLock);
        if (it == S().removeLocks.end()) {
            reports.Add(rule::RemoveLockMisuse, "IoReleaseRemoveLock on " + Ptr(RemoveLock) + ", which was never initialised");
            return;
        }
        auto held = it->second.tags.find(Tag);
        if (held == it->second.tags.end()) {
            // NT's free build only counts: the release still goes through, and may end a
            // IoReleaseRemoveLockAndWait while another holder is still using the device.
            reports.Add(rule::RemoveLockMisuse, "IoReleaseRemoveLock on " + Ptr(RemoveLock) + " with tag " + Ptr(Tag) +
                                                    ", which does not hold it");
        } else {
            it->second.tags.erase(held);
        }
        last = __atomic_sub_fetch(&RemoveLock->IoCount, 1, __ATOMIC_ACQ_REL) == 0;
    }
    if (last) {
        KeSetEvent(&RemoveLock->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK RemoveLock, PVOID Tag)
{
    CheckIrql(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    bool wait;
    {
        Reports reports;
        std::lock_guard<std::mutex> lock(Mutex());
        auto it = S().removeLocks.find(RemoveLock);
        if (it == S().removeLocks.end()) {
            reports.Add(rule::RemoveLockMisuse, "IoReleaseRemoveLockAndWait on " + Ptr(RemoveLock) + ", which was never initialised");
            return;
        }
        if (it->second.removed) {
            reports.Add(rule::RemoveLockMisuse, "IoReleaseRemoveLockAndWait on " + Ptr(RemoveLock) + " a second time");
            return;
        }
        auto held = it->second.tags.find(Tag);
        if (held == it->second.tags.end()) {
            reports.Add(rule::RemoveLockMisuse, "IoReleaseRemoveLockAndWait on " + Ptr(RemoveLock) + " with tag " + Ptr(Tag) +
                                                    ", which does not hold it");
        } else {
            it->second.tags.erase(held);
            __atomic_sub_fetch(&RemoveLock->IoCount, 1, __ATOMIC_ACQ_REL);
        }
        it->second.removed = true;
        RemoveLock->Removed = TRUE;
        // Drop the bias: from now on the holder whose release brings the count to zero signals.
        wait = __atomic_sub_fetch(&RemoveLock->IoCount, 1, __ATOMIC_ACQ_REL) > 0;
    }
    if (wait) {
        KeWaitForSingleObject(&RemoveLock->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    }
}

}  // extern "C"

// Non-paged and paged pool, tracked block by block. Each block is its own malloc of the exact size
// so that the address sanitizer reports overruns and use after free at the faulting access.
#include "internal.h"

#include <cstdlib>

using namespace hk;
using namespace hk::detail;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    CheckIrql(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (NumberOfBytes == 0) {
        Violate(rule::ZeroPoolAllocation, "ExAllocatePoolWithTag of 0 bytes, tag " + Hex(Tag));
    }
    std::lock_guard<std::mutex> lock(Mutex());
    State &s = S();
    NTSTATUS ignored;
    if (ShouldFail(Fault::Pool, &ignored, FaultSite{Tag})) {
        return nullptr;
    }
    // A zero-byte request still gets a distinct block, as the kernel hands out a minimal one.
    void *block = malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (block == nullptr) {
        return nullptr;
    }
    s.pool[block] = State::PoolInfo{NumberOfBytes, Tag, PoolType};
    ++s.poolAllocations;
    return block;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Reports reports;
    std::unique_lock<std::mutex> lock(Mutex());
    State &s = S();
    auto it = s.pool.find(P);
    if (P == nullptr || it == s.pool.end()) {
        reports.Add(rule::BadPoolFree, "free of " + Ptr(P) + ", which is not an allocated pool block (double or foreign free)");
        return;
    }
    if (Tag != 0 && it->second.tag != Tag) {
        reports.Add(rule::BadPoolFree, "block " + Ptr(P) + " allocated with tag " + Hex(it->second.tag) + " freed with tag " + Hex(Tag));
        return;
    }
    POOL_TYPE type = it->second.type;
    if (OpLogOn()) {
        KernelOp op;
        op.kind = KernelOp::Kind::PoolFree;
        op.block = P;
        op.tag = it->second.tag;
        op.size = it->second.size;
        LogOpLocked(std::move(op));
    }
    ForgetRemoveLocksIn(P, it->second.size);
    s.pool.erase(it);
    ++s.poolFrees;
    free(P);
    lock.unlock();
    CheckIrql(type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExFreePool");
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"

namespace hk {

std::vector<PoolBlock> LivePool()
{
    std::lock_guard<std::mutex> lock(Mutex());
    std::vector<PoolBlock> blocks;
    for (const auto &[address, info] : S().pool) {
        blocks.push_back({address, info.size, info.tag});
    }
    return blocks;
}

size_t LivePoolCount()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().pool.size();
}

size_t LivePoolCount(ULONG tag)
{
    std::lock_guard<std::mutex> lock(Mutex());
    size_t n = 0;
    for (const auto &entry : S().pool) {
        n += entry.second.tag == tag ? 1 : 0;
    }
    return n;
}

uint64_t PoolAllocations()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().poolAllocations;
}

uint64_t PoolFrees()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().poolFrees;
}

}  // namespace hk

// Memory descriptor lists. Host memory is one address space, so the system address of a
// described buffer is the buffer itself; what is checked is the state an MDL must be in.
#include "internal.h"

#include <cstdlib>

namespace hk::detail {

PMDL NewMdl(PVOID virtualAddress, ULONG length)
{
    auto *mdl = static_cast<PMDL>(calloc(1, sizeof(MDL)));
    auto address = reinterpret_cast<uintptr_t>(virtualAddress);
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<uintptr_t>(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl->ByteCount = length;
    S().mdls.insert(mdl);
    return mdl;
}

void DeleteMdl(PMDL mdl)
{
    S().mdls.erase(mdl);
    free(mdl);
}

}  // namespace hk::detail

using namespace hk;
using namespace hk::detail;

namespace {

PVOID SystemAddress(PMDL mdl) { return static_cast<char *>(mdl->StartVa) + mdl->ByteOffset; }

bool LiveMdl(PMDL mdl, const char *service)
{
    {
        std::lock_guard<std::mutex> lock(Mutex());
        if (S().mdls.count(mdl) != 0) {
            return true;
        }
    }
    Violate(rule::MdlNotLocked, std::string(service) + " on " + Ptr(mdl) + ", which is not an allocated MDL");
    return false;
}

}  // namespace

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp)
{
    CheckIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    std::lock_guard<std::mutex> lock(Mutex());
    PMDL mdl = NewMdl(VirtualAddress, Length);
    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) {
                last = last->Next;
            }
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    CheckIrql(DISPATCH_LEVEL, "IoFreeMdl");
    Reports reports;
    std::lock_guard<std::mutex> lock(Mutex());
    if (S().mdls.count(Mdl) == 0) {
        reports.Add(rule::BadPoolFree, "IoFreeMdl on " + Ptr(Mdl) + ", which is not an allocated MDL");
        return;
    }
    DeleteMdl(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    CheckIrql(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    if (!LiveMdl(MemoryDescriptorList, "MmBuildMdlForNonPagedPool")) {
        return;
    }
    MemoryDescriptorList->MdlFlags = static_cast<CSHORT>(MemoryDescriptorList->MdlFlags | MDL_SOURCE_IS_NONPAGED_POOL);
    MemoryDescriptorList->MappedSystemVa = SystemAddress(MemoryDescriptorList);
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE, int)
{
    CheckIrql(DISPATCH_LEVEL, "MmProbeAndLockPages");
    if (!LiveMdl(MemoryDescriptorList, "MmProbeAndLockPages")) {
        return;
    }
    MemoryDescriptorList->MdlFlags = static_cast<CSHORT>(MemoryDescriptorList->MdlFlags | MDL_PAGES_LOCKED);
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    CheckIrql(DISPATCH_LEVEL, "MmUnlockPages");
    if (!LiveMdl(MemoryDescriptorList, "MmUnlockPages")) {
        return;
    }
    if ((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        Violate(rule::MdlNotLocked, "MmUnlockPages on " + Ptr(MemoryDescriptorList) + ", whose pages are not locked");
        return;
    }
    // Unlocking also drops a system mapping made of the locked pages.
    MemoryDescriptorList->MdlFlags =
        static_cast<CSHORT>(MemoryDescriptorList->MdlFlags & ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
}

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE)
{
    CheckIrql(DISPATCH_LEVEL, "MmMapLockedPages");
    if (!LiveMdl(MemoryDescriptorList, "MmMapLockedPages")) {
        return nullptr;
    }
    if ((MemoryDescriptorList->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) != 0) {
        // Its pages are mapped already and were never locked: a second system mapping is undefined
        // on NT. The address is MappedSystemVa (what MmGetSystemAddressForMdlSafe returns for it).
        Violate(rule::MdlNotLocked, "MmMapLockedPages on " + Ptr(MemoryDescriptorList) +
                                        ", built for non-paged pool: its pages are never locked or mapped again");
        return SystemAddress(MemoryDescriptorList);
    }
    if ((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        Violate(rule::MdlNotLocked, "MmMapLockedPages on " + Ptr(MemoryDescriptorList) + ", whose pages are not locked");
        return nullptr;
    }
    MemoryDescriptorList->MdlFlags = static_cast<CSHORT>(MemoryDescriptorList->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = SystemAddress(MemoryDescriptorList);
    return MemoryDescriptorList->MappedSystemVa;
}

}  // extern "C"

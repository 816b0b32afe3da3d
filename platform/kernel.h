// The one header the driver includes for the kernel and the USB stack.
// A Windows kernel build (-DKPLAT_WINDOWS_KERNEL=1) gets the DDK headers that mingw-w64 ships; the
// host build gets our own declarations of the same names, implemented by the user-mode kernel
// layer in platform/host/.
#pragma once

#if defined(KPLAT_WINDOWS_KERNEL) && KPLAT_WINDOWS_KERNEL

#ifndef NOMINMAX
#define NOMINMAX
#endif
// wdm.h would otherwise define these intrinsics a second time, which C++ rejects.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// Without it ExAllocatePoolWithTag quietly becomes ExAllocatePool and drops the tag.
#ifndef POOL_TAGGING
#define POOL_TAGGING 1
#endif
extern "C" {
#include <ddk/wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <ddk/usbdlib.h>
}
#define KPLAT_WIDE(s) L##s

#else

#include "host/nt.h"

#endif

// Relaxed single-byte/word accesses for fields that one path writes while a completion routine
// reads them on another processor: the same single mov on x86, and no data race for the tools.
template <typename T>
inline T KplatLoadRelaxed(const volatile T *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
template <typename T>
inline void KplatStoreRelaxed(volatile T *p, T v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

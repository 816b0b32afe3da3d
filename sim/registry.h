// Private to the simulation: finds the C++ object behind a simulated driver's device object. The
// device extension carries the object's address; the registry says whether that object still lives,
// so a request reaching a device whose owner is gone is refused instead of touching freed memory.
#pragma once

#include "../platform/kernel.h"

#include <cstdint>
#include <mutex>
#include <unordered_set>

namespace sim::detail {

struct SimExtension {
    uint32_t magic;
    void *owner;
};

inline constexpr uint32_t kBusMagic = 0x53425553;    // "SUBS"
inline constexpr uint32_t kClassMagic = 0x53444948;  // "HIDS"

template <typename T>
class Registry {
public:
    void Add(T *object)
    {
        std::lock_guard lock(mutex_);
        live_.insert(object);
    }
    void Remove(T *object)
    {
        std::lock_guard lock(mutex_);
        live_.erase(object);
    }
    // The owner of `device` if it is one of ours and still alive, else null.
    T *Find(PDEVICE_OBJECT device, uint32_t magic)
    {
        if (device == nullptr || device->DeviceExtension == nullptr)
            return nullptr;
        auto *ext = static_cast<SimExtension *>(device->DeviceExtension);
        if (ext->magic != magic)
            return nullptr;
        std::lock_guard lock(mutex_);
        auto *owner = static_cast<T *>(ext->owner);
        return live_.count(owner) ? owner : nullptr;
    }

private:
    std::mutex mutex_;
    std::unordered_set<T *> live_;
};

inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The transfer buffer of a URB as the bus driver sees it: TransferBuffer, else the MDL's described
// address (StartVa + ByteOffset), without mapping anything.
inline PUCHAR UrbBuffer(PVOID transferBuffer, PMDL mdl)
{
    if (transferBuffer != nullptr)
        return static_cast<PUCHAR>(transferBuffer);
    if (mdl != nullptr)
        return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
    return nullptr;
}

}  // namespace sim::detail

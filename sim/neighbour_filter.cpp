// The neighbour filter: every request goes down as it came (skip, call the device below, no
// completion routine), power requests the way a pre-Vista filter passes them, and at removal the
// request goes down before the device detaches and deletes itself, as WDM filters do.
#include "neighbour_filter.h"

#include "registry.h"

namespace sim::neighbour {

namespace {

constexpr uint32_t kNeighbourMagic = 0x5242474E;  // "NGBR"

struct NeighbourExtension {
    uint32_t magic;
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device)
{
    auto *ext = static_cast<NeighbourExtension *>(device->DeviceExtension);
    return ext != nullptr && ext->magic == kNeighbourMagic ? ext->lower : nullptr;
}

NTSTATUS NTAPI Pass(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT lower = LowerOf(device);
    if (lower == nullptr)
        return detail::CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    PDEVICE_OBJECT lower = LowerOf(device);
    if (lower == nullptr)
        return detail::CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT lower = LowerOf(device);
    if (lower == nullptr || IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return Pass(device, irp);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IofCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &major : driver->MajorFunction)
        major = Pass;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, const NeighbourFilter &config)
{
    PDEVICE_OBJECT device = nullptr;
    if (IoCreateDevice(driver, sizeof(NeighbourExtension), nullptr, config.deviceType, config.characteristics, FALSE,
                       &device) != STATUS_SUCCESS)
        return nullptr;
    auto *ext = static_cast<NeighbourExtension *>(device->DeviceExtension);
    ext->magic = kNeighbourMagic;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == nullptr) {
        IoDeleteDevice(device);
        return nullptr;
    }
    device->StackSize = static_cast<CCHAR>(device->StackSize + config.extraStackLocations);
    device->Flags |= config.flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

}  // namespace sim::neighbour

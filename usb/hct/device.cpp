// Creation and naming of the filter device and the extra (control) device of each mouse.
//
// Names are found by trying numbers from 0 upward until the object namespace accepts one; the
// namespace's collision status is the only coordination between mice, so two calls can never end up
// with the same name. Nothing of the naming is remembered between calls.
#include "hct.h"

#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

constexpr ULONG kDeviceFlagsFromPdo = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE;

// A name string over a 128-byte block of non-paged pool; null Buffer when the pool is short.
void AllocateName(PUNICODE_STRING Name)
{
    Name->Length = 0;
    Name->MaximumLength = HCT_NAME_BYTES;
    Name->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, HCT_NAME_BYTES, HCT_POOL_TAG));
}

// The working data of one AddDevice or CreateExtraDO call: the device name in pool, the number
// string in the caller's frame, and the one counter that the device search and then the link search
// share, so that a link's number follows its device's.
struct NameSearch {
    UNICODE_STRING deviceName;
    UNICODE_STRING number;
    WCHAR numberStorage[HCT_NUMBER_BYTES / sizeof(WCHAR)];
    ULONG counter;
};

// False when the pool has no room for the device name.
bool BeginNameSearch(NameSearch &Search)
{
    AllocateName(&Search.deviceName);
    if (Search.deviceName.Buffer == nullptr)
        return false;
    RtlInitUnicodeString(&Search.number, nullptr);
    Search.number.MaximumLength = HCT_NUMBER_BYTES;
    Search.number.Buffer = Search.numberStorage;
    Search.counter = 0;
    return true;
}

// Builds Base followed by the counter's digits in Name and calls Create until it succeeds, fails with
// anything but a collision, or the counter reaches the attempt limit.
template <typename CreateFn>
NTSTATUS SearchName(NameSearch &Search, PUNICODE_STRING Name, PCWSTR Base, CreateFn Create)
{
    NTSTATUS status;
    do {
        __builtin_memset(Name->Buffer, 0, Name->MaximumLength);
        Name->Length = 0;
        RtlAppendUnicodeToString(Name, Base);
        RtlIntegerToUnicodeString(Search.counter, 10, &Search.number);
        ++Search.counter;
        RtlAppendUnicodeStringToString(Name, &Search.number);
        status = Create();
    } while (status == HCT_STATUS_OBJECT_NAME_COLLISION && Search.counter < HCT_NAME_ATTEMPTS);
    return status;
}

}  // namespace

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (PhysicalDeviceObject == nullptr || DriverObject == nullptr)
        return HCT_STATUS_UNSUCCESSFUL;
    DbgPrint("\n\r Device Lower Filter - Add Device ");

    NameSearch search;
    if (!BeginNameSearch(search))
        return HCT_STATUS_INSUFFICIENT_RESOURCES;
    PUNICODE_STRING deviceName = &search.deviceName;
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
    NTSTATUS status;

    status = SearchName(search, deviceName, KPLAT_WIDE("\\Device\\MClassFilterL"), [&] {
        return IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                              &filter);
    });
    if (status != HCT_STATUS_SUCCESS)
        goto free_name;

    extension = static_cast<PDEVICE_EXTENSION>(filter->DeviceExtension);
    if (extension == nullptr) {
        status = HCT_STATUS_UNSUCCESSFUL;
        goto delete_device;
    }
    __builtin_memset(extension, 0, sizeof(*extension));
    extension->Self = filter;
    extension->ExtensionKind = FILTER_DO_KIND;
    extension->ExtraExtension = nullptr;
    IoInitializeRemoveLock(&extension->RemoveLock, HCT_POOL_TAG, 0, 0);

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(filter, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == nullptr) {
        status = HCT_STATUS_UNSUCCESSFUL;
        goto delete_device;
    }
    // The buffering and power bits come from the mouse's own device object, not from whatever the
    // attach returned.
    filter->Flags |= PhysicalDeviceObject->Flags & kDeviceFlagsFromPdo;
    filter->Flags &= ~DO_DEVICE_INITIALIZING;

    extension->MouseFound = FALSE;
    extension->FeatureReady = FALSE;
    extension->Layout = REPORT_LAYOUT{};
    extension->FeatureEnabled = FALSE;

    AllocateName(&extension->SymbolicLinkName);
    if (extension->SymbolicLinkName.Buffer == nullptr) {
        status = HCT_STATUS_INSUFFICIENT_RESOURCES;
        goto detach;
    }
    status = SearchName(search, &extension->SymbolicLinkName, KPLAT_WIDE("\\DosDevices\\SLN_MClassFilterL"),
                        [&] { return IoCreateSymbolicLink(&extension->SymbolicLinkName, deviceName); });
    if (status != HCT_STATUS_SUCCESS)
        goto free_link_name;
    DbgPrint("\n\r Device Lower Filter - Add Device Successfully ");

    status = CreateExtraDO(DriverObject, extension);
    if (status == HCT_STATUS_SUCCESS) {
        ExFreePool(deviceName->Buffer);
        return HCT_STATUS_SUCCESS;
    }

    IoDeleteSymbolicLink(&extension->SymbolicLinkName);
free_link_name:
    ExFreePool(extension->SymbolicLinkName.Buffer);
detach:
    IoDetachDevice(extension->LowerDeviceObject);
delete_device:
    IoDeleteDevice(filter);
free_name:
    ExFreePool(deviceName->Buffer);
    DbgPrint("\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0x%x", (unsigned)status);
    return status;
}

NTSTATUS CreateExtraDO(PDRIVER_OBJECT DriverObject, PDEVICE_EXTENSION FilterExtension)
{
    NameSearch search;
    if (!BeginNameSearch(search))
        return HCT_STATUS_INSUFFICIENT_RESOURCES;
    PUNICODE_STRING deviceName = &search.deviceName;
    PDEVICE_OBJECT device = nullptr;
    PEXTRA_DEVICE_EXTENSION extra = nullptr;
    NTSTATUS status;

    status = SearchName(search, deviceName, KPLAT_WIDE("\\Device\\MouseExtra"), [&] {
        return IoCreateDevice(DriverObject, sizeof(EXTRA_DEVICE_EXTENSION), deviceName, FILE_DEVICE_UNKNOWN, 0,
                              FALSE, &device);
    });
    if (status != HCT_STATUS_SUCCESS) {
        DbgPrint("\n\r[CreateExtraDO] ERROR!!  Can't Create Extra-Device-Object ");
        goto free_name;
    }
    DbgPrint("\n\r[CreateExtraDO] Create Extra-Device-Object Successfully");

    extra = static_cast<PEXTRA_DEVICE_EXTENSION>(device->DeviceExtension);
    extra->ExtensionKind = EXTRA_DO_KIND;
    extra->Self = device;
    extra->FilterExtension = FilterExtension;
    IoInitializeRemoveLock(&extra->RemoveLock, HCT_POOL_TAG, 0, 0);
    AllocateName(&extra->SymbolicLinkName);
    FilterExtension->ExtraExtension = extra;
    // The control device takes both buffering bits and the power bit whatever the mouse has.
    device->Flags |= kDeviceFlagsFromPdo;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (extra->SymbolicLinkName.Buffer == nullptr) {
        status = HCT_STATUS_INSUFFICIENT_RESOURCES;
        goto delete_device;
    }

    status = SearchName(search, &extra->SymbolicLinkName, KPLAT_WIDE("\\DosDevices\\SLN_MouseExtra"),
                        [&] { return IoCreateSymbolicLink(&extra->SymbolicLinkName, deviceName); });
    if (status != HCT_STATUS_SUCCESS) {
        DbgPrint("\n\r[CreateExtraDO] ERROR!!  Can't Create Symbolic Link ");
        goto free_link_name;
    }
    DbgPrint("\n\r[CreateExtraDO] Create Symbolic Link Successfully");
    ExFreePool(deviceName->Buffer);
    return HCT_STATUS_SUCCESS;

free_link_name:
    ExFreePool(extra->SymbolicLinkName.Buffer);
delete_device:
    IoDeleteDevice(device);
free_name:
    ExFreePool(deviceName->Buffer);
    FilterExtension->ExtraExtension = nullptr;
    return status;
}

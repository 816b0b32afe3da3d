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

// The number string lives in the caller's frame.
void PrepareNumber(PUNICODE_STRING Number, WCHAR (&Storage)[HCT_NUMBER_BYTES / sizeof(WCHAR)])
{
    RtlInitUnicodeString(Number, nullptr);
    Number->MaximumLength = HCT_NUMBER_BYTES;
    Number->Buffer = Storage;
}

// Builds Base followed by the counter's digits in Name and calls Create until it succeeds, fails with
// anything but a collision, or the counter reaches the attempt limit. The counter goes on from where
// the caller's previous search stopped, so a link search starts after its device's number.
template <typename CreateFn>
NTSTATUS SearchName(PUNICODE_STRING Name, PCWSTR Base, PUNICODE_STRING Number, ULONG &Counter, CreateFn Create)
{
    NTSTATUS status;
    do {
        __builtin_memset(Name->Buffer, 0, Name->MaximumLength);
        Name->Length = 0;
        RtlAppendUnicodeToString(Name, Base);
        RtlIntegerToUnicodeString(Counter, 10, Number);
        ++Counter;
        RtlAppendUnicodeStringToString(Name, Number);
        status = Create();
    } while (status == HCT_STATUS_OBJECT_NAME_COLLISION && Counter < HCT_NAME_ATTEMPTS);
    return status;
}

}  // namespace

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (PhysicalDeviceObject == nullptr || DriverObject == nullptr)
        return HCT_STATUS_UNSUCCESSFUL;
    DbgPrint("\n\r Device Lower Filter - Add Device ");

    UNICODE_STRING deviceName;
    AllocateName(&deviceName);
    if (deviceName.Buffer == nullptr)
        return HCT_STATUS_INSUFFICIENT_RESOURCES;

    WCHAR numberStorage[HCT_NUMBER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING number;
    PrepareNumber(&number, numberStorage);
    ULONG counter = 0;
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
    NTSTATUS status;

    status = SearchName(&deviceName, KPLAT_WIDE("\\Device\\MClassFilterL"), &number, counter, [&] {
        return IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
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
    status = SearchName(&extension->SymbolicLinkName, KPLAT_WIDE("\\DosDevices\\SLN_MClassFilterL"), &number, counter,
                        [&] { return IoCreateSymbolicLink(&extension->SymbolicLinkName, &deviceName); });
    if (status != HCT_STATUS_SUCCESS)
        goto free_link_name;
    DbgPrint("\n\r Device Lower Filter - Add Device Successfully ");

    status = CreateExtraDO(DriverObject, extension);
    if (status == HCT_STATUS_SUCCESS) {
        ExFreePool(deviceName.Buffer);
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
    ExFreePool(deviceName.Buffer);
    DbgPrint("\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0x%x", (unsigned)status);
    return status;
}

NTSTATUS CreateExtraDO(PDRIVER_OBJECT DriverObject, PDEVICE_EXTENSION FilterExtension)
{
    UNICODE_STRING deviceName;
    AllocateName(&deviceName);
    if (deviceName.Buffer == nullptr)
        return HCT_STATUS_INSUFFICIENT_RESOURCES;

    WCHAR numberStorage[HCT_NUMBER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING number;
    PrepareNumber(&number, numberStorage);
    ULONG counter = 0;
    PDEVICE_OBJECT device = nullptr;
    PEXTRA_DEVICE_EXTENSION extra = nullptr;
    NTSTATUS status;

    status = SearchName(&deviceName, KPLAT_WIDE("\\Device\\MouseExtra"), &number, counter, [&] {
        return IoCreateDevice(DriverObject, sizeof(EXTRA_DEVICE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0,
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

    status = SearchName(&extra->SymbolicLinkName, KPLAT_WIDE("\\DosDevices\\SLN_MouseExtra"), &number, counter,
                        [&] { return IoCreateSymbolicLink(&extra->SymbolicLinkName, &deviceName); });
    if (status != HCT_STATUS_SUCCESS) {
        DbgPrint("\n\r[CreateExtraDO] ERROR!!  Can't Create Symbolic Link ");
        goto free_link_name;
    }
    DbgPrint("\n\r[CreateExtraDO] Create Symbolic Link Successfully");
    ExFreePool(deviceName.Buffer);
    return HCT_STATUS_SUCCESS;

free_link_name:
    ExFreePool(extra->SymbolicLinkName.Buffer);
delete_device:
    IoDeleteDevice(device);
free_name:
    ExFreePool(deviceName.Buffer);
    FilterExtension->ExtraExtension = nullptr;
    return status;
}

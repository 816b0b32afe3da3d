// The driver's records and routines, shared by driverentry.cpp, device.cpp, urb.cpp and report.cpp.
#pragma once

#include "../../platform/kernel.h"
#include "../../report/report.h"
#include "hctioctl.h"

// ---------------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------------
constexpr ULONG FILTER_DO_KIND = 1;
constexpr ULONG EXTRA_DO_KIND = 2;

// Every allocation of the driver: non-paged pool, tag "Wdm " (reads as the bytes 'W' 'd' 'm' ' ').
constexpr ULONG HCT_POOL_TAG = 0x206D6457;
constexpr USHORT HCT_NAME_BYTES = 128;   // device-name and link-name buffers
constexpr USHORT HCT_NUMBER_BYTES = 40;  // the number string, on the stack
constexpr ULONG HCT_NAME_ATTEMPTS = 100;

// Status values as this driver answers them. Its design names 0xC00000BB STATUS_INVALID_DEVICE_REQUEST
// and prescribes it for refusals; the DDK's headers call that value STATUS_NOT_SUPPORTED.
constexpr NTSTATUS HCT_STATUS_SUCCESS = (NTSTATUS)0x00000000;
constexpr NTSTATUS HCT_STATUS_TIMEOUT = (NTSTATUS)0x00000102;
constexpr NTSTATUS HCT_STATUS_PENDING = (NTSTATUS)0x00000103;
constexpr NTSTATUS HCT_STATUS_UNSUCCESSFUL = (NTSTATUS)0xC0000001;
constexpr NTSTATUS HCT_STATUS_INVALID_PARAMETER = (NTSTATUS)0xC000000D;
constexpr NTSTATUS HCT_STATUS_MORE_PROCESSING_REQUIRED = (NTSTATUS)0xC0000016;
constexpr NTSTATUS HCT_STATUS_OBJECT_NAME_COLLISION = (NTSTATUS)0xC0000035;
constexpr NTSTATUS HCT_STATUS_INSUFFICIENT_RESOURCES = (NTSTATUS)0xC000009A;
constexpr NTSTATUS HCT_STATUS_INVALID_DEVICE_REQUEST = (NTSTATUS)0xC00000BB;
// A control request that arrives through a handle kept open across the mouse's removal. Win32
// programs see ERROR_DEVICE_REMOVED ("The device has been removed."), which says what happened.
constexpr NTSTATUS HCT_STATUS_DEVICE_REMOVED = (NTSTATUS)0xC00002B6;
// An internal request that arrives after removal has begun (the remove lock refuses it).
constexpr NTSTATUS HCT_STATUS_DELETE_PENDING = (NTSTATUS)0xC0000056;

constexpr ULONG HCT_IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003;
constexpr USHORT HCT_URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
constexpr USHORT HCT_URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT HCT_URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr ULONG HCT_MAX_REPORT_BYTES = 32;

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------
struct _EXTRA_DEVICE_EXTENSION;

// The filter device's record. The fields up to and including the layout are the driver's record as
// it has always been; the remove lock after them guards the record against completions of requests
// passed down earlier and against teardown while they are in flight.
typedef struct _DEVICE_EXTENSION {
    ULONG ExtensionKind;  // FILTER_DO_KIND
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDeviceObject;
    UNICODE_STRING SymbolicLinkName;
    struct _EXTRA_DEVICE_EXTENSION *ExtraExtension;
    volatile UCHAR MouseFound;
    volatile UCHAR FeatureReady;
    volatile UCHAR FeatureEnabled;
    REPORT_LAYOUT Layout;  // TotalSize, XSize, XOffset, YSize, YOffset, WheelSize, WheelOffset, AcPanSize, AcPanOffset
    IO_REMOVE_LOCK RemoveLock;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// The extra (control) device's record. Its remove lock lets the teardown wait for a control request
// in flight before it cuts the link to the filter record.
typedef struct _EXTRA_DEVICE_EXTENSION {
    ULONG ExtensionKind;  // EXTRA_DO_KIND
    PDEVICE_OBJECT Self;
    PDEVICE_EXTENSION FilterExtension;
    UNICODE_STRING SymbolicLinkName;
    IO_REMOVE_LOCK RemoveLock;
} EXTRA_DEVICE_EXTENSION, *PEXTRA_DEVICE_EXTENSION;

static_assert(offsetof(DEVICE_EXTENSION, ExtensionKind) == 0, "ExtensionKind leads both records");
static_assert(offsetof(EXTRA_DEVICE_EXTENSION, ExtensionKind) == 0, "ExtensionKind leads both records");
static_assert(offsetof(DEVICE_EXTENSION, Self) == offsetof(EXTRA_DEVICE_EXTENSION, Self), "common head");
static_assert(sizeof(((DEVICE_EXTENSION *)nullptr)->ExtensionKind) == 4, "32-bit kind");
static_assert(offsetof(DEVICE_EXTENSION, Self) < offsetof(DEVICE_EXTENSION, LowerDeviceObject) &&
                  offsetof(DEVICE_EXTENSION, LowerDeviceObject) < offsetof(DEVICE_EXTENSION, SymbolicLinkName) &&
                  offsetof(DEVICE_EXTENSION, SymbolicLinkName) < offsetof(DEVICE_EXTENSION, ExtraExtension) &&
                  offsetof(DEVICE_EXTENSION, ExtraExtension) < offsetof(DEVICE_EXTENSION, MouseFound),
              "filter record fields in their order");
static_assert(offsetof(DEVICE_EXTENSION, FeatureReady) == offsetof(DEVICE_EXTENSION, MouseFound) + 1 &&
                  offsetof(DEVICE_EXTENSION, FeatureEnabled) == offsetof(DEVICE_EXTENSION, MouseFound) + 2,
              "three one-byte flags side by side");
static_assert(sizeof(UNICODE_STRING) == 2 * sizeof(USHORT) + sizeof(void *) + (sizeof(void *) == 8 ? 4 : 0),
              "counted string: Length, MaximumLength, Buffer");
// The bus driver turns a descriptor request into a control transfer in the same URB, and the
// completion routine reads it back as one: the request's Index/DescriptorType/LanguageId are the
// setup packet's wValue and wIndex, and the byte count lies where both records keep it.
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) ==
                      offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) + 2 &&
                  offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) ==
                      offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) + 3 &&
                  offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) ==
                      offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) + 4 &&
                  offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
                      offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength) &&
                  sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == sizeof(struct _URB_CONTROL_TRANSFER),
              "a descriptor request converted in place reads as a control transfer");
#if defined(KPLAT_WINDOWS_KERNEL) && KPLAT_WINDOWS_KERNEL && defined(__i386__)
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "the probe's URB is 80 bytes on x86");
#endif

// ---------------------------------------------------------------------------------------------
// Routines
// ---------------------------------------------------------------------------------------------
extern "C" {
DRIVER_INITIALIZE DriverEntry;
}
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH FilterPass;
DRIVER_DISPATCH PowerDispatch;
DRIVER_DISPATCH CommonDispatch;
DRIVER_DISPATCH InternalIoctlDispatch;
DRIVER_DISPATCH DeviceControlDispatch;
IO_COMPLETION_ROUTINE InternalIOCTLComplete;
IO_COMPLETION_ROUTINE AnyComplete;

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS CreateExtraDO(PDRIVER_OBJECT DriverObject, PDEVICE_EXTENSION FilterExtension);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb, PLARGE_INTEGER Timeout);
VOID LogUrbStatus(USBD_STATUS Status);
BOOLEAN IsTargetMouse(PDEVICE_OBJECT DeviceObject);
BOOLEAN ProbeFeatureString(PDEVICE_OBJECT DeviceObject);

VOID ParseReportDescriptor(PDEVICE_EXTENSION Extension, PUCHAR Buffer, ULONG Length);
VOID ReassignReport(PDEVICE_EXTENSION Extension, PUCHAR Report, ULONG Length);

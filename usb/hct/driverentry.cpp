// Entry point, dispatch routines and completion routines of the mouse filter.
//
// The filter device sits between the HID class driver and the USB bus driver; the extra device is a
// stand-alone control device for user mode. One dispatch table serves both, so every routine first
// tells them apart by the ExtensionKind at the head of the device's record.
#include "hct.h"

// Trace lines are fixed texts without conversions, printed as the format itself.
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

namespace {

constexpr const char *kMajorLines[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
    "\n\r Device Lower Filter - IRP_MJ_CREATE",
    "\n\r Device Lower Filter - IRP_MJ_CREATE_NAMED_PIPE",
    "\n\r Device Lower Filter - IRP_MJ_CLOSE",
    "\n\r Device Lower Filter - IRP_MJ_READ",
    "\n\r Device Lower Filter - IRP_MJ_WRITE",
    "\n\r Device Lower Filter - IRP_MJ_QUERY_INFORMATION",
    "\n\r Device Lower Filter - IRP_MJ_SET_INFORMATION",
    "\n\r Device Lower Filter - IRP_MJ_QUERY_EA",
    "\n\r Device Lower Filter - IRP_MJ_SET_EA",
    "\n\r Device Lower Filter - IRP_MJ_FLUSH_BUFFERS",
    "\n\r Device Lower Filter - IRP_MJ_QUERY_VOLUME_INFORMATION",
    "\n\r Device Lower Filter - IRP_MJ_SET_VOLUME_INFORMATION",
    "\n\r Device Lower Filter - IRP_MJ_DIRECTORY_CONTROL",
    "\n\r Device Lower Filter - IRP_MJ_FILE_SYSTEM_CONTROL",
    nullptr,  // device control and power have routines of their own and no line here
    "\n\r Device Lower Filter - IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "\n\r Device Lower Filter - IRP_MJ_SHUTDOWN",
    "\n\r Device Lower Filter - IRP_MJ_LOCK_CONTROL",
    "\n\r Device Lower Filter - IRP_MJ_CLEANUP",
    "\n\r Device Lower Filter - IRP_MJ_CREATE_MAILSLOT",
    "\n\r Device Lower Filter - IRP_MJ_QUERY_SECURITY",
    "\n\r Device Lower Filter - IRP_MJ_SET_SECURITY",
    nullptr,
    "\n\r Device Lower Filter - IRP_MJ_SYSTEM_CONTROL",
    "\n\r Device Lower Filter - IRP_MJ_DEVICE_CHANGE",
    "\n\r Device Lower Filter - IRP_MJ_QUERY_QUOTA",
    "\n\r Device Lower Filter - IRP_MJ_SET_QUOTA",
    "\n\r Device Lower Filter - IRP_MJ_PNP",
};
constexpr const char kUnknownMajorLine[] = "\n\r Device Lower Filter - UNKNOW MAJOR FUNCTION = =";

constexpr const char *kPnpMinorLines[] = {
    "\n\r   IRP_MJ_PNP (IRP_MN_START_DEVICE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_REMOVE_DEVICE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_REMOVE_DEVICE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_CANCEL_REMOVE_DEVICE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_STOP_DEVICE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_STOP_DEVICE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_CANCEL_STOP_DEVICE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_DEVICE_RELATIONS)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_INTERFACE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_CAPABILITIES)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_RESOURCES)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_RESOURCE_REQUIREMENTS)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_DEVICE_TEXT)",
    "\n\r   IRP_MJ_PNP (IRP_MN_FILTER_RESOURCE_REQUIREMENTS)",
    nullptr,  // 0x0E has no line
    "\n\r   IRP_MJ_PNP (IRP_MN_READ_CONFIG)",
    "\n\r   IRP_MJ_PNP (IRP_MN_WRITE_CONFIG)",
    "\n\r   IRP_MJ_PNP (IRP_MN_EJECT)",
    "\n\r   IRP_MJ_PNP (IRP_MN_SET_LOCK)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_ID)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_PNP_DEVICE_STATE)",
    "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_BUS_INFORMATION)",
    "\n\r   IRP_MJ_PNP (IRP_MN_DEVICE_USAGE_NOTIFICATION)",
    "\n\r   IRP_MJ_PNP (IRP_MN_SURPRISE_REMOVAL)",
};
constexpr ULONG kPnpMinorLineCount = sizeof(kPnpMinorLines) / sizeof(kPnpMinorLines[0]);
static_assert(kPnpMinorLineCount == 0x18, "minor lines up to IRP_MN_SURPRISE_REMOVAL");

inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// The two refusals a routine that passes requests down starts with: a device object without a
// record, and the extra device, which has nothing below it. True when the request was completed.
bool Refused(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS *Status)
{
    if (Extension == nullptr) {
        *Status = CompleteRequest(Irp, HCT_STATUS_INVALID_PARAMETER, 0);
        return true;
    }
    if (Extension->ExtensionKind == EXTRA_DO_KIND) {
        *Status = CompleteRequest(Irp, HCT_STATUS_INVALID_DEVICE_REQUEST, 0);
        return true;
    }
    return false;
}

// Hands a request to the next driver with this driver's stack location unchanged and forgets it.
NTSTATUS PassDown(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

// The data buffer of a finished transfer: its plain buffer, else the system address of its MDL.
// The mapping stays with the MDL; whoever owns the MDL undoes it.
PUCHAR TransferData(PVOID Buffer, PMDL Mdl)
{
    if (Buffer != nullptr)
        return static_cast<PUCHAR>(Buffer);
    if (Mdl == nullptr)
        return nullptr;
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return static_cast<PUCHAR>(Mdl->MappedSystemVa);
    return static_cast<PUCHAR>(MmMapLockedPages(Mdl, KernelMode));
}

bool LayoutUsable(PDEVICE_EXTENSION Extension)
{
    const REPORT_LAYOUT &layout = Extension->Layout;
    return KplatLoadRelaxed(&layout.TotalSize) != 0 && KplatLoadRelaxed(&layout.XSize) != 0 &&
           KplatLoadRelaxed(&layout.YSize) != 0 && KplatLoadRelaxed(&layout.WheelSize) != 0 &&
           KplatLoadRelaxed(&layout.AcPanSize) != 0;
}

// Looks at a URB the bus driver has finished: the report descriptor feeds the layout, an input
// report may be rewritten. Never changes the request's status.
void InspectCompletedUrb(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != HCT_IOCTL_INTERNAL_USB_SUBMIT_URB)
        return;
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == nullptr)
        return;
    if (KplatLoadRelaxed(&Extension->MouseFound) == 0)
        return;

    const USHORT function = urb->UrbHeader.Function;
    DbgPrint("\n\r urb->UrbHeader.Function = 0x%x", (unsigned)function);

    if (function == HCT_URB_FUNCTION_CONTROL_TRANSFER) {
        struct _URB_CONTROL_TRANSFER &transfer = urb->UrbControlTransfer;
        const UCHAR *setup = transfer.SetupPacket;
        DbgPrint("\n\r Setup Package");
        DbgPrint("\n\r    %x %x %x %x %x %x %x %x ", setup[0], setup[1], setup[2], setup[3], setup[4], setup[5],
                 setup[6], setup[7]);
        // GET_DESCRIPTOR, recipient interface, index 0, HID report descriptor. The URB status is not
        // looked at: a failed transfer leaves a byte count of 0, which parses nothing.
        if (setup[0] == 0x81 && setup[1] == 0x06 && setup[2] == 0x00 && setup[3] == 0x22) {
            const ULONG length = transfer.TransferBufferLength;
            PUCHAR data = TransferData(transfer.TransferBuffer, transfer.TransferBufferMDL);
            if (data != nullptr)
                ParseReportDescriptor(Extension, data, length);
        }
        return;
    }

    if (function != HCT_URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return;
    if (!LayoutUsable(Extension))
        return;

    struct _URB_BULK_OR_INTERRUPT_TRANSFER &transfer = urb->UrbBulkOrInterruptTransfer;
    DbgPrint("\n\r-----------------------------------------");
    DbgPrint("\n\r Bulk Transfer Completed");
    DbgPrint("\n\r Status = 0x%x, Transfer Length = 0x%x", (unsigned)urb->UrbHeader.Status,
             (unsigned)transfer.TransferBufferLength);
    DbgPrint("\n\r-----------------------------------------");
    if (urb->UrbHeader.Status != 0)
        return;
    const ULONG length = transfer.TransferBufferLength;
    if (length == 0 || length > HCT_MAX_REPORT_BYTES)
        return;
    PUCHAR data = TransferData(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (data == nullptr)
        return;
    ReassignReport(Extension, data, length);
}

// Removal: the request goes down first; then, once every request this filter passed down with a
// completion routine has come back, both devices and both links are torn down, the extra device
// first. The bus driver fails its pending transfers when it sees the removal, so the wait ends.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    // Held across the pass-down so that the wait below is the only thing that can end it.
    IoAcquireRemoveLock(&Extension->RemoveLock, Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    // The answer below does not depend on this status: a bus driver completes removal of its child
    // in its own dispatch routine and may not fail it.
    IoCallDriver(Extension->LowerDeviceObject, Irp);
    IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);

    PEXTRA_DEVICE_EXTENSION extra = Extension->ExtraExtension;
    if (extra != nullptr) {
        // A handle may outlive the extra device object: let a control request in flight finish, then
        // cut the record's link to the filter record so later ones are refused.
        IoAcquireRemoveLock(&extra->RemoveLock, Irp);
        IoReleaseRemoveLockAndWait(&extra->RemoveLock, Irp);
        extra->FilterExtension = nullptr;
        IoDeleteSymbolicLink(&extra->SymbolicLinkName);
        ExFreePool(extra->SymbolicLinkName.Buffer);
        extra->SymbolicLinkName.Buffer = nullptr;
        IoDeleteDevice(extra->Self);
    }
    IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
    ExFreePool(Extension->SymbolicLinkName.Buffer);
    Extension->SymbolicLinkName.Buffer = nullptr;
    IoDetachDevice(Extension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return HCT_STATUS_SUCCESS;
}

// TURN_ON / TURN_OFF through the extra device. The remove lock keeps the filter record alive for the
// length of the store; once removal has begun the request is refused.
NTSTATUS SwitchFeature(PEXTRA_DEVICE_EXTENSION Extra, PIRP Irp, UCHAR Enabled)
{
    if (!NT_SUCCESS(IoAcquireRemoveLock(&Extra->RemoveLock, Irp)))
        return HCT_STATUS_DEVICE_REMOVED;
    NTSTATUS status = HCT_STATUS_DEVICE_REMOVED;
    PDEVICE_EXTENSION filter = Extra->FilterExtension;
    if (filter != nullptr) {
        KplatStoreRelaxed(&filter->FeatureEnabled, Enabled);
        status = HCT_STATUS_SUCCESS;
    }
    IoReleaseRemoveLock(&Extra->RemoveLock, Irp);
    return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    DbgPrint("\n\r Device Lower Filter LOAD !!");
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        DriverObject->MajorFunction[i] = FilterPass;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CommonDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CommonDispatch;
    DriverObject->MajorFunction[IRP_MJ_READ] = CommonDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = CommonDispatch;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalIoctlDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CommonDispatch;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = CommonDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = CommonDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControlDispatch;
    return HCT_STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    (void)DriverObject;
    // Every device object, link and name buffer went with its device's removal.
    DbgPrint("\n\r Device Lower Filter UNLOAD!!");
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI FilterPass(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DbgPrint("\n\r Device Lower Filter - FilterPass !!");
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    if (Refused(extension, Irp, &status))
        return status;
    return PassDown(extension, Irp);
}

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    NTSTATUS status;
    if (Refused(extension, Irp, &status))
        return status;
    DbgPrint("\n\r Device Lower Filter - IRP_MJ_POWER");
    // Must run while the current stack location is still this driver's.
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI CommonDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (extension == nullptr)
        return CompleteRequest(Irp, HCT_STATUS_INVALID_PARAMETER, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack == nullptr)
        return CompleteRequest(Irp, HCT_STATUS_INVALID_PARAMETER, 0);
    const UCHAR major = stack->MajorFunction;
    const UCHAR minor = stack->MinorFunction;

    if (extension->ExtensionKind == EXTRA_DO_KIND) {
        DbgPrint("[DefaultHandler] EXTRA DO");
        const bool openOrClose = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE;
        return CompleteRequest(Irp, openOrClose ? HCT_STATUS_SUCCESS : HCT_STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    const char *majorLine = major <= IRP_MJ_MAXIMUM_FUNCTION ? kMajorLines[major] : nullptr;
    DbgPrint(majorLine != nullptr ? majorLine : kUnknownMajorLine);
    if (major == IRP_MJ_PNP && minor < kPnpMinorLineCount && kPnpMinorLines[minor] != nullptr)
        DbgPrint(kPnpMinorLines[minor]);
    DbgPrint("\n\r");

    if (major == IRP_MJ_PNP && minor == IRP_MN_START_DEVICE)
        return StartDevice(DeviceObject, Irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE)
        return RemoveDevice(DeviceObject, extension, Irp);
    return PassDown(extension, Irp);
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, AnyComplete, &event, TRUE, TRUE, TRUE);
    // The event lives in this frame; the wait below (or a lower driver that did not pend, and so has
    // already completed the request) guarantees AnyComplete has run before the frame goes away.
    if (IoCallDriver(extension->LowerDeviceObject, Irp) == HCT_STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);

    const NTSTATUS status = Irp->IoStatus.Status;
    if (status == HCT_STATUS_SUCCESS) {
        // Both verdicts are in place before the drivers above learn that the device has started.
        const BOOLEAN found = IsTargetMouse(DeviceObject);
        KplatStoreRelaxed(&extension->MouseFound, found);
        if (found)
            KplatStoreRelaxed(&extension->FeatureReady, ProbeFeatureString(DeviceObject));
    }
    if (KplatLoadRelaxed(&extension->MouseFound))
        DbgPrint("\n\r-----Vorik Mouse Found");
    if (KplatLoadRelaxed(&extension->FeatureReady))
        DbgPrint("\n\r-----Vorik Mouse Tesk Functionality Start......");
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Hands the start request back to StartDevice. It does not mark the request pending even when a
// lower driver pended it: StartDevice completes the request itself and returns its final status,
// never STATUS_PENDING, and a request marked pending must be answered with STATUS_PENDING.
NTSTATUS NTAPI AnyComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return HCT_STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI InternalIoctlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    NTSTATUS refusal;
    if (Refused(extension, Irp, &refusal))
        return refusal;
    DbgPrint("\n\r Device Lower Filter - IRP_MJ_INTERNAL_DEVICE_CONTROL");
    // Released by InternalIOCTLComplete: removal waits for it before the record goes away.
    const NTSTATUS lock = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(lock))
        return CompleteRequest(Irp, lock, 0);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, InternalIOCTLComplete, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(extension->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI InternalIOCTLComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    InspectCompletedUrb(extension, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);  // last touch of the record
    return HCT_STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (extension == nullptr)
        return CompleteRequest(Irp, HCT_STATUS_INVALID_PARAMETER, 0);

    if (extension->ExtensionKind == EXTRA_DO_KIND) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        if (stack == nullptr)
            return CompleteRequest(Irp, HCT_STATUS_INVALID_PARAMETER, 0);
        DbgPrint("[DefaultHandler] EXTRA DO");
        PEXTRA_DEVICE_EXTENSION extra = reinterpret_cast<PEXTRA_DEVICE_EXTENSION>(extension);
        NTSTATUS status;
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_VORIK_TESKMOUSE_TURN_ON:
            DbgPrint("[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_ON");
            status = SwitchFeature(extra, Irp, 1);
            break;
        case IOCTL_VORIK_TESKMOUSE_TURN_OFF:
            DbgPrint("[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_OFF");
            status = SwitchFeature(extra, Irp, 0);
            break;
        default:
            status = HCT_STATUS_INVALID_PARAMETER;
            break;
        }
        return CompleteRequest(Irp, status, 0);
    }

    DbgPrint("\n\r Device Lower Filter - IRP_MJ_DEVICE_CONTROL");
    return PassDown(extension, Irp);
}

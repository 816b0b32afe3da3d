/* A stand-in for the HID class driver above hct.sys, for running the filter under Wine.
 *
 * Wine's PnP manager loads only a device's own service, never its LowerFilters, so AddDevice builds
 * the stack Windows would build: it loads the filter's service, calls the filter's AddDevice with the
 * mouse's PDO, and then attaches itself on top. After start it fetches the HID report descriptor the
 * way the class driver does, with a GET_DESCRIPTOR control transfer; interrupt-IN transfers are sent
 * when the harness asks, through \\.\HctWineUpper, and what comes back up is kept for the harness. */
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
#include "hctwine.h"
#include "wkernel.h"

#define TRACE(...) DbgPrint("hctwine-upper: " __VA_ARGS__)

#define FILTER_SERVICE_KEY L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\hct"
#define FILTER_DRIVER_NAME L"\\Driver\\hct"

NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING, ULONG, PACCESS_STATE, ACCESS_MASK, POBJECT_TYPE,
                                       KPROCESSOR_MODE, PVOID, PVOID *);

enum node_kind { NODE_CONTROL = 1, NODE_FUNCTION };

struct node
{
    enum node_kind kind;
    DEVICE_OBJECT *lower; /* the top of the stack below, the filter when it attached */
};

static DEVICE_OBJECT *control_device, *function_device;
static KSPIN_LOCK lock; /* guards state and the one interrupt transfer */
static struct hctwine_upper_state state;
static URB read_urb;
static UCHAR read_buffer[HCTWINE_MAX_REPORT];

static NTSTATUS submit_urb_and_wait(DEVICE_OBJECT *lower, URB *urb)
{
    IO_STATUS_BLOCK io;
    KEVENT done;
    IRP *irp;
    NTSTATUS status;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, NULL, 0, NULL, 0, TRUE, &done, &io);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = io.Status;
    }
    return status;
}

/* What the class driver does once the device has started: fetch the report descriptor. */
static void fetch_report_descriptor(DEVICE_OBJECT *lower)
{
    static UCHAR descriptor[256];
    struct _URB_CONTROL_TRANSFER *t;
    URB urb;
    NTSTATUS status;

    RtlZeroMemory(&urb, sizeof(urb));
    t = &urb.UrbControlTransfer;
    t->Hdr.Length = sizeof(*t);
    t->Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    t->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_DEFAULT_PIPE_TRANSFER;
    t->TransferBuffer = descriptor;
    t->TransferBufferLength = sizeof(descriptor);
    t->SetupPacket[0] = 0x81; /* device to host, standard, interface */
    t->SetupPacket[1] = 0x06; /* GET_DESCRIPTOR */
    t->SetupPacket[2] = 0x00; /* index 0 */
    t->SetupPacket[3] = 0x22; /* HID report descriptor */
    t->SetupPacket[6] = sizeof(descriptor) & 0xff;
    t->SetupPacket[7] = sizeof(descriptor) >> 8;
    status = submit_urb_and_wait(lower, &urb);
    state.descriptor_status = status;
    state.descriptor_length = NT_SUCCESS(status) ? t->TransferBufferLength : 0;
    TRACE("report descriptor: %#lx, %lu bytes, URB status %#lx\n", status, state.descriptor_length,
          urb.UrbHeader.Status);
}

/* ------------------------------------------------------------------ interrupt-IN transfers */

static NTSTATUS NTAPI read_done(DEVICE_OBJECT *device, IRP *irp, void *context)
{
    KIRQL irql;
    ULONG length = read_urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    (void)device; (void)context;
    KeAcquireSpinLock(&lock, &irql);
    state.last_read_status = irp->IoStatus.Status;
    state.last_read_usbd = read_urb.UrbHeader.Status;
    state.last_length = NT_SUCCESS(irp->IoStatus.Status) && length <= HCTWINE_MAX_REPORT ? length : 0;
    RtlZeroMemory(state.last_report, sizeof(state.last_report));
    RtlCopyMemory(state.last_report, read_buffer, state.last_length);
    state.reads_completed++;
    state.read_pending = 0;
    KeReleaseSpinLock(&lock, irql);
    TRACE("interrupt transfer back: %#lx, %lu bytes\n", irp->IoStatus.Status, state.last_length);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED; /* the IRP was ours and is gone */
}

static NTSTATUS post_read(void)
{
    struct node *node;
    IO_STACK_LOCATION *next;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *t;
    KIRQL irql;
    IRP *irp;

    KeAcquireSpinLock(&lock, &irql);
    if (!function_device || !state.started || state.surprise_removed || state.read_pending)
    {
        KeReleaseSpinLock(&lock, irql);
        return STATUS_DEVICE_NOT_READY;
    }
    state.read_pending = 1;
    KeReleaseSpinLock(&lock, irql);

    node = function_device->DeviceExtension;
    irp = IoAllocateIrp(node->lower->StackSize, FALSE);
    if (!irp)
    {
        state.read_pending = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(&read_urb, sizeof(read_urb));
    RtlZeroMemory(read_buffer, sizeof(read_buffer));
    t = &read_urb.UrbBulkOrInterruptTransfer;
    t->Hdr.Length = sizeof(*t);
    t->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t->TransferBuffer = read_buffer;
    t->TransferBufferLength = 8; /* the endpoint's packet size, more than the 5-byte report */
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &read_urb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, read_done, NULL, TRUE, TRUE, TRUE);
    IoCallDriver(node->lower, irp);
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ the function device */

static NTSTATUS function_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = pass_down_and_wait(node->lower, irp);
        state.start_status = status;
        TRACE("start went through the stack: %#lx\n", status);
        finish(irp, status, irp->IoStatus.Information);
        if (NT_SUCCESS(status))
        {
            fetch_report_descriptor(node->lower);
            state.started = 1;
        }
        return status;
    case IRP_MN_SURPRISE_REMOVAL:
        state.surprise_removed = 1;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(node->lower, irp);
        IoDetachDevice(node->lower);
        function_device = NULL;
        IoDeleteDevice(device);
        state.attached = 0;
        state.removed = 1;
        TRACE("function device removed\n");
        return status;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(node->lower, irp);
}

/* The PnP manager's part that Wine leaves out: put the filter service's device below ours. */
static NTSTATUS attach_filter(DEVICE_OBJECT *pdo, DRIVER_OBJECT **filter_driver)
{
    UNICODE_STRING text;
    DRIVER_OBJECT *driver = NULL;
    NTSTATUS status;

    *filter_driver = NULL;
    RtlInitUnicodeString(&text, FILTER_SERVICE_KEY);
    status = ZwLoadDriver(&text);
    TRACE("ZwLoadDriver(hct) -> %#lx\n", status);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED) return status;
    RtlInitUnicodeString(&text, FILTER_DRIVER_NAME);
    status = ObReferenceObjectByName(&text, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL, (void **)&driver);
    if (!NT_SUCCESS(status)) return status;
    if (!driver->DriverExtension || !driver->DriverExtension->AddDevice)
        status = STATUS_INVALID_DEVICE_REQUEST;
    else
        status = driver->DriverExtension->AddDevice(driver, pdo);
    TRACE("filter AddDevice -> %#lx\n", status);
    if (NT_SUCCESS(status)) *filter_driver = driver;
    ObDereferenceObject(driver);
    return status;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    DRIVER_OBJECT *filter_driver;
    DEVICE_OBJECT *fdo;
    struct node *node;
    NTSTATUS status;

    RtlZeroMemory(&state, sizeof(state));
    state.filter_status = attach_filter(pdo, &filter_driver);
    status = IoCreateDevice(driver, sizeof(struct node), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                            FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    node = fdo->DeviceExtension;
    RtlZeroMemory(node, sizeof(*node));
    node->kind = NODE_FUNCTION;
    node->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!node->lower)
    {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    state.filter_attached = filter_driver && node->lower->DriverObject == filter_driver;
    fdo->Flags |= node->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    function_device = fdo;
    state.attached = 1;
    TRACE("function device attached (filter below: %lu)\n", state.filter_attached);
    return STATUS_SUCCESS;
}

/* ------------------------------------------------------------------ dispatch */

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    if (node->kind == NODE_FUNCTION) return function_pnp(device, irp);
    return finish(irp, STATUS_NOT_SUPPORTED, 0);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    if (node->kind != NODE_FUNCTION) return finish(irp, STATUS_NOT_SUPPORTED, 0);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(node->lower, irp);
}

static NTSTATUS NTAPI dispatch_control(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    if (node->kind != NODE_CONTROL) return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_HCTWINE_POST_READ:
        return finish(irp, post_read(), 0);
    case IOCTL_HCTWINE_UPPER_STATE:
    {
        KIRQL irql;
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(state))
            return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&lock, &irql);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &state, sizeof(state));
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_SUCCESS, sizeof(state));
    }
    default:
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI dispatch_create_close(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    return finish(irp, node->kind == NODE_CONTROL ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
}

static VOID NTAPI unload(DRIVER_OBJECT *driver)
{
    (void)driver;
    delete_control_device(L"\\DosDevices\\HctWineUpper", control_device);
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    struct node *node;
    NTSTATUS status;
    (void)registry_path;

    KeInitializeSpinLock(&lock);
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;

    status = create_control_device(driver, L"\\Device\\HctWineUpper", L"\\DosDevices\\HctWineUpper", sizeof(struct node),
                                   &control_device);
    if (!NT_SUCCESS(status)) return status;
    node = control_device->DeviceExtension;
    node->kind = NODE_CONTROL;
    control_device->Flags &= ~DO_DEVICE_INITIALIZING;
    TRACE("loaded\n");
    return STATUS_SUCCESS;
}

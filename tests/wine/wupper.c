/* A stand-in for the HID class driver above hct.sys, for running the filter under Wine.
 *
 * Wine's PnP manager loads only a device's own service, never its LowerFilters, so AddDevice builds
 * the stack Windows would build: it loads the filter's service, calls the filter's AddDevice with the
 * mouse's PDO, and then attaches itself on top. Once the start request has gone through, it sends
 * what the system's class driver sends (descriptors, configuration, SET_IDLE, the report
 * descriptor) and keeps interrupt-IN transfers at the mouse; what comes back up is kept for the
 * harness, which reads it through \\.\HctWineUpper. */
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
static KSPIN_LOCK lock; /* guards state */
static struct hctwine_upper_state state;
static USBD_PIPE_HANDLE pipe_handle; /* the interrupt-IN pipe SELECT_CONFIGURATION gave */

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

/* ------------------------------------------------------------------ after start */

static NTSTATUS get_descriptor(DEVICE_OBJECT *lower, USHORT function, UCHAR type, USHORT index_or_interface,
                               void *buffer, ULONG *length)
{
    URB urb;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *r = &urb.UrbControlDescriptorRequest;
    NTSTATUS status;
    RtlZeroMemory(&urb, sizeof(urb));
    r->Hdr.Length = sizeof(*r);
    r->Hdr.Function = function;
    r->TransferBuffer = buffer;
    r->TransferBufferLength = *length;
    r->DescriptorType = type;
    r->LanguageId = index_or_interface;
    status = submit_urb_and_wait(lower, &urb);
    if (NT_SUCCESS(status) && urb.UrbHeader.Function != URB_FUNCTION_CONTROL_TRANSFER)
        status = STATUS_UNSUCCESSFUL; /* the USB stack hands every descriptor request back converted */
    *length = NT_SUCCESS(status) ? r->TransferBufferLength : 0;
    return status;
}

/* The largest input report of a report descriptor, in bytes (with its report ID byte when the
 * descriptor uses IDs), as the class driver sizes its interrupt reads. 0 when there is none. */
static ULONG largest_input_report(const UCHAR *d, ULONG length)
{
    ULONG bits[256], size = 0, count = 0, id = 0, largest = 0, i = 0, k;
    BOOLEAN ids = FALSE;
    RtlZeroMemory(bits, sizeof(bits));
    while (i < length)
    {
        UCHAR prefix = d[i];
        ULONG n = prefix & 3 ? 1u << ((prefix & 3) - 1) : 0, value = 0;
        if (prefix == 0xfe) /* long item: skipped whole */
        {
            if (i + 1 >= length) break;
            i += 3 + d[i + 1];
            continue;
        }
        if (i + 1 + n > length) break;
        for (k = 0; k < n; k++) value |= (ULONG)d[i + 1 + k] << (8 * k);
        switch (prefix & 0xfc)
        {
        case 0x74: size = value; break;               /* Report Size */
        case 0x94: count = value; break;              /* Report Count */
        case 0x84: id = value & 0xff; ids = TRUE; break; /* Report ID */
        case 0x80: bits[id] += size * count; break;   /* Input */
        default: break;
        }
        i += 1 + n;
    }
    for (k = 0; k < 256; k++)
        if (bits[k] && (bits[k] + 7) / 8 + (ids ? 1 : 0) > largest) largest = (bits[k] + 7) / 8 + (ids ? 1 : 0);
    return largest;
}

/* What the system's HID-over-USB class driver sends once the device has started: the device
 * descriptor, the configuration descriptor (its first 9 bytes, then wTotalLength), the
 * configuration's selection, SET_IDLE, and the report descriptor asked for with wReportLength + 64
 * bytes. Returns the largest input report's length, which the interrupt reads then ask for. */
static NTSTATUS system_sequence(DEVICE_OBJECT *lower)
{
    static UCHAR device[18], configuration[256], report[1024];
    static struct _URB_SELECT_CONFIGURATION select;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST idle;
    const UCHAR *iface = NULL, *hid = NULL, *endpoint = NULL;
    ULONG length, total, i, report_length;
    NTSTATUS status;

    length = sizeof(device);
    status = get_descriptor(lower, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_DEVICE_DESCRIPTOR_TYPE, 0, device, &length);
    if (!NT_SUCCESS(status) || length != sizeof(device)) return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    length = 9;
    status = get_descriptor(lower, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0,
                            configuration, &length);
    if (!NT_SUCCESS(status) || length != 9) return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    total = configuration[2] | configuration[3] << 8;
    if (total < 9 || total > sizeof(configuration)) return STATUS_DEVICE_DATA_ERROR;
    length = total;
    status = get_descriptor(lower, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0,
                            configuration, &length);
    if (!NT_SUCCESS(status) || length != total) return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;

    /* The first HID interface, its HID descriptor and its interrupt-IN endpoint. */
    for (i = 0; i + 2 <= total && configuration[i] >= 2 && i + configuration[i] <= total; i += configuration[i])
    {
        const UCHAR *d = configuration + i;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= 9)
        {
            if (iface) break;
            if (d[5] == 3) iface = d;
        }
        else if (iface && d[1] == 0x21 && d[0] >= 9 && !hid) hid = d;
        else if (iface && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= 7 && (d[2] & 0x80) && (d[3] & 3) == 3)
            endpoint = d;
    }
    if (!iface || !hid || !endpoint) return STATUS_DEVICE_CONFIGURATION_ERROR;
    report_length = hid[7] | hid[8] << 8;

    RtlZeroMemory(&select, sizeof(select));
    select.Hdr.Length = sizeof(select);
    select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.ConfigurationDescriptor = (USB_CONFIGURATION_DESCRIPTOR *)configuration;
    select.Interface.Length = sizeof(select.Interface);
    select.Interface.InterfaceNumber = iface[2];
    select.Interface.AlternateSetting = iface[3];
    select.Interface.Pipes[0].MaximumTransferSize = 4096;
    status = submit_urb_and_wait(lower, (URB *)&select);
    if (!NT_SUCCESS(status)) return status;
    if (!select.ConfigurationHandle || select.Interface.NumberOfPipes != 1 ||
        select.Interface.Pipes[0].EndpointAddress != endpoint[2])
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    pipe_handle = select.Interface.Pipes[0].PipeHandle;

    /* SET_IDLE(0, all reports): the mouse reports only on change. Its failure is not fatal. */
    RtlZeroMemory(&idle, sizeof(idle));
    idle.Hdr.Length = sizeof(idle);
    idle.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    idle.Request = 0x0a;
    idle.Index = iface[2];
    submit_urb_and_wait(lower, (URB *)&idle);

    length = report_length + 64;
    if (length > sizeof(report)) return STATUS_DEVICE_DATA_ERROR;
    status = get_descriptor(lower, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x22, iface[2], report, &length);
    state.descriptor_status = status;
    state.descriptor_length = length;
    TRACE("report descriptor: %#lx, %lu bytes\n", status, length);
    if (!NT_SUCCESS(status)) return status;
    state.read_length = largest_input_report(report, length);
    return state.read_length && state.read_length <= HCTWINE_MAX_REPORT ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
}

/* ------------------------------------------------------------------ interrupt-IN transfers */

/* The class driver keeps HCTWINE_READS interrupt transfers at the mouse and sends each one again
 * as soon as it is back, until one fails or the device is going away. */
static struct read_slot
{
    URB urb;
    UCHAR buffer[HCTWINE_MAX_REPORT];
} slots[HCTWINE_READS];
static KEVENT reads_idle; /* set while no transfer is out */

static void send_read(ULONG index);

static NTSTATUS NTAPI read_done(DEVICE_OBJECT *device, IRP *irp, void *context)
{
    struct read_slot *slot = context;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG length = slot->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    BOOLEAN again;
    KIRQL irql;
    (void)device;
    IoFreeIrp(irp);
    TRACE("interrupt transfer back: %#lx, %lu bytes\n", status, NT_SUCCESS(status) ? length : 0);
    KeAcquireSpinLock(&lock, &irql);
    state.last_read_status = status;
    state.last_read_usbd = slot->urb.UrbHeader.Status;
    state.last_length = NT_SUCCESS(status) && length <= HCTWINE_MAX_REPORT ? length : 0;
    RtlZeroMemory(state.last_report, sizeof(state.last_report));
    RtlCopyMemory(state.last_report, slot->buffer, state.last_length);
    again = NT_SUCCESS(status) && !state.surprise_removed && !state.removed;
    if (!again && --state.reads_outstanding == 0) KeSetEvent(&reads_idle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&lock, irql);
    /* Sent again before the harness learns of this one, so that it finds the mouse holding all. */
    if (again) send_read((ULONG)(slot - slots));
    InterlockedIncrement((LONG *)&state.reads_completed);
    return STATUS_MORE_PROCESSING_REQUIRED; /* the IRP was ours and is gone */
}

static void send_read(ULONG index)
{
    struct node *node = function_device->DeviceExtension;
    struct read_slot *slot = &slots[index];
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *t = &slot->urb.UrbBulkOrInterruptTransfer;
    IO_STACK_LOCATION *next;
    KIRQL irql;
    IRP *irp = IoAllocateIrp(node->lower->StackSize, FALSE);
    if (!irp)
    {
        KeAcquireSpinLock(&lock, &irql);
        if (--state.reads_outstanding == 0) KeSetEvent(&reads_idle, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&lock, irql);
        return;
    }
    RtlZeroMemory(slot, sizeof(*slot));
    t->Hdr.Length = sizeof(*t);
    t->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t->PipeHandle = pipe_handle;
    t->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t->TransferBuffer = slot->buffer;
    t->TransferBufferLength = state.read_length;
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &slot->urb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, read_done, slot, TRUE, TRUE, TRUE);
    IoCallDriver(node->lower, irp);
}

static void start_reads(void)
{
    ULONG i;
    KeClearEvent(&reads_idle);
    state.reads_outstanding = HCTWINE_READS;
    for (i = 0; i < HCTWINE_READS; i++) send_read(i);
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
        TRACE("start went through the stack: %#lx\n", status);
        if (NT_SUCCESS(status)) status = system_sequence(node->lower);
        state.start_status = status;
        if (NT_SUCCESS(status))
        {
            state.started = 1;
            start_reads();
        }
        return finish(irp, status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
        state.surprise_removed = 1;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        state.removed = 1;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(node->lower, irp);
        /* The bus fails what it still holds; the slots must be free before the device goes. */
        KeWaitForSingleObject(&reads_idle, Executive, KernelMode, FALSE, NULL);
        IoDetachDevice(node->lower);
        function_device = NULL;
        IoDeleteDevice(device);
        state.attached = 0;
        TRACE("function device removed\n");
        /* The PnP manager's other part: a filter whose last device is gone is unloaded. */
        {
            UNICODE_STRING key;
            RtlInitUnicodeString(&key, FILTER_SERVICE_KEY);
            TRACE("ZwUnloadDriver(hct) -> %#lx\n", ZwUnloadDriver(&key));
        }
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
    KeInitializeEvent(&reads_idle, NotificationEvent, TRUE);
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

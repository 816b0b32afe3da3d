/* A root-enumerated stand-in for the USB bus driver, for running hct.sys under Wine.
 *
 * The bus FDO reports a child PDO for each USB mouse the harness has plugged in. The mouse answers
 * the URBs a mouse's stack sends, after the USB stack's own in-place conversion of descriptor,
 * class and vendor requests into control transfers; the report descriptor is the default simulated
 * mouse's (sim/default_mouse.h), the string descriptor at index 200 the raw bytes "START".
 * Interrupt-IN transfers are held until the harness feeds a report through \\.\HctWineBus. */
#define DRIVER_TAG "bus"
#define CONTROL_NAME L"HctWineBus"
#include "wkernel.h"
#include "mouse_descriptor.h" /* generated: hid_report_descriptor[] */

#define POOL_TAG 'bWcH'

static struct mouse
{
    DEVICE_OBJECT *pdo;
    LIST_ENTRY held_reads;
    struct hctwine_bus_state state;
} mice[HCTWINE_MICE];

static DRIVER_OBJECT *bus_driver;
static DEVICE_OBJECT *bus_fdo;

static const UCHAR device_descriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 8, 0x34, 0x12, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 1};
/* Configuration, interface (HID, boot, mouse), HID descriptor with wReportLength, interrupt-IN
 * endpoint 0x81 of 8 bytes every 10 ms. */
static const UCHAR configuration_descriptor[34] = {
    9, 2, 34, 0, 1, 1, 0, 0xa0, 50,
    9, 4, 0, 0, 1, 3, 1, 2, 0,
    9, 0x21, 0x11, 0x01, 0, 1, 0x22, sizeof(hid_report_descriptor) & 0xff, sizeof(hid_report_descriptor) >> 8,
    7, 5, 0x81, 3, 8, 0, 10};
static const UCHAR probe_reply[] = {'S', 'T', 'A', 'R', 'T'};

static ULONG copy_out(void *to, ULONG room, const void *from, ULONG size)
{
    ULONG n = room < size ? room : size;
    if (to && n) RtlCopyMemory(to, from, n);
    return to ? n : 0;
}

static struct mouse *mouse_at(DEVICE_OBJECT *pdo) { return &mice[node_of(pdo)->index]; }

static BOOLEAN reported(const struct mouse *m) { return m->pdo && node_of(m->pdo)->reported; }

static VOID NTAPI cancel_held_read(DEVICE_OBJECT *device, IRP *irp)
{
    struct mouse *m = mouse_at(device);
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    m->state.reads_waiting--;
    KeReleaseSpinLock(&lock, irql);
    TRACE("interrupt transfer cancelled\n");
    finish(irp, STATUS_CANCELLED, 0);
}

/* The oldest held transfer whose cancel routine could still be taken back, or NULL. A transfer
 * whose cancel routine has already started stays in the queue until that routine removes it. */
static IRP *take_held_read(struct mouse *m)
{
    KIRQL irql;
    LIST_ENTRY *entry;
    IRP *taken = NULL;
    KeAcquireSpinLock(&lock, &irql);
    for (entry = m->held_reads.Flink; entry != &m->held_reads; entry = entry->Flink)
    {
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL))
        {
            RemoveEntryList(entry);
            m->state.reads_waiting--;
            taken = irp;
            break;
        }
    }
    KeReleaseSpinLock(&lock, irql);
    return taken;
}

static void complete_held_read(IRP *irp, NTSTATUS status, USBD_STATUS usbd, const UCHAR *report, ULONG length)
{
    URB *urb = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &urb->UrbBulkOrInterruptTransfer;
    transfer->TransferBufferLength = copy_out(transfer->TransferBuffer, transfer->TransferBufferLength, report, length);
    urb->UrbHeader.Status = usbd;
    TRACE("interrupt transfer completed: %#lx, %lu bytes\n", status, transfer->TransferBufferLength);
    finish(irp, status, 0);
}

static void fail_held_reads(struct mouse *m)
{
    IRP *irp;
    while ((irp = take_held_read(m)))
        complete_held_read(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, NULL, 0);
}

static NTSTATUS hold_read(struct mouse *m, IRP *irp)
{
    BOOLEAN cancelled;
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (!reported(m))
    {
        KeReleaseSpinLock(&lock, irql);
        return finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&m->held_reads, &irp->Tail.Overlay.ListEntry);
    m->state.reads_waiting++;
    IoSetCancelRoutine(irp, cancel_held_read);
    cancelled = irp->Cancel && IoSetCancelRoutine(irp, NULL);
    if (cancelled)
    {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        m->state.reads_waiting--;
    }
    KeReleaseSpinLock(&lock, irql);
    if (cancelled) finish(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
}

/* The port driver's in-place conversion: a descriptor, class or vendor request becomes a control
 * transfer in the URB itself, the setup packet written where _URB_CONTROL_TRANSFER.SetupPacket
 * lies, and every driver above sees URB_FUNCTION_CONTROL_TRANSFER when the request completes. */
static void convert_in_place(URB *urb)
{
    UCHAR setup[8];
    ULONG length, flags;
    USHORT function = urb->UrbHeader.Function;
    RtlZeroMemory(setup, sizeof(setup));
    switch (function)
    {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST *r = &urb->UrbControlDescriptorRequest;
        setup[0] = 0x80 | (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0 :
                           function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1 : 2);
        setup[1] = 0x06; /* GET_DESCRIPTOR */
        setup[2] = r->Index;
        setup[3] = r->DescriptorType;
        setup[4] = r->LanguageId & 0xff; /* language, or the interface or endpoint number */
        setup[5] = r->LanguageId >> 8;
        length = r->TransferBufferLength;
        flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: case URB_FUNCTION_VENDOR_INTERFACE: case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER: case URB_FUNCTION_CLASS_DEVICE: case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: case URB_FUNCTION_CLASS_OTHER:
    {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *r = &urb->UrbControlVendorClassRequest;
        BOOLEAN vendor = function <= URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        /* recipient: device, interface, endpoint in the order of the functions, or other */
        UCHAR to = function == URB_FUNCTION_CLASS_OTHER || function == URB_FUNCTION_VENDOR_OTHER ? 3 :
                   (function - URB_FUNCTION_VENDOR_DEVICE) % 3;
        BOOLEAN in = (r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        setup[0] = (in ? 0x80 : 0) | (vendor ? 0x40 : 0x20) | to | r->RequestTypeReservedBits;
        setup[1] = r->Request;
        setup[2] = r->Value & 0xff;
        setup[3] = r->Value >> 8;
        setup[4] = r->Index & 0xff;
        setup[5] = r->Index >> 8;
        length = r->TransferBufferLength;
        flags = r->TransferFlags | (in ? USBD_SHORT_TRANSFER_OK : 0);
        break;
    }
    default:
        return;
    }
    setup[6] = length & 0xff;
    setup[7] = (length >> 8) & 0xff;
    urb->UrbControlTransfer.TransferFlags = flags;
    RtlCopyMemory(urb->UrbControlTransfer.SetupPacket, setup, sizeof(setup));
    urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
}

static NTSTATUS default_pipe(struct mouse *m, URB *urb)
{
    struct _URB_CONTROL_TRANSFER *t = &urb->UrbControlTransfer;
    const UCHAR *s = t->SetupPacket;
    ULONG asked = s[6] | (ULONG)s[7] << 8;
    ULONG room = t->TransferBufferLength < asked ? t->TransferBufferLength : asked;
    const void *data = NULL;
    ULONG size = 0;

    TRACE("control transfer %02x %02x %02x %02x %02x %02x %02x %02x length %lu\n", s[0], s[1], s[2], s[3], s[4],
          s[5], s[6], s[7], t->TransferBufferLength);
    if (s[0] == 0x80 && s[1] == 0x06 && s[3] == USB_DEVICE_DESCRIPTOR_TYPE)
        data = device_descriptor, size = sizeof(device_descriptor);
    else if (s[0] == 0x80 && s[1] == 0x06 && s[3] == USB_CONFIGURATION_DESCRIPTOR_TYPE && s[2] == 0)
        data = configuration_descriptor, size = sizeof(configuration_descriptor);
    else if (s[0] == 0x80 && s[1] == 0x06 && s[3] == USB_STRING_DESCRIPTOR_TYPE && s[2] == 200)
    {
        data = probe_reply, size = sizeof(probe_reply);
        InterlockedIncrement((LONG *)&m->state.string_requests);
    }
    else if (s[0] == 0x81 && s[1] == 0x06 && s[2] == 0 && s[3] == 0x22 && s[4] == 0)
    {
        data = hid_report_descriptor, size = sizeof(hid_report_descriptor);
        InterlockedIncrement((LONG *)&m->state.hid_requests);
    }
    else if (s[0] == 0x21 && s[1] == 0x0a && s[4] == 0) /* SET_IDLE to interface 0 */
    {
        InterlockedIncrement((LONG *)&m->state.set_idle_requests);
        t->TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    if (!data)
    {
        t->TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    t->TransferBufferLength = copy_out(t->TransferBuffer, room, data, size);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

static NTSTATUS select_configuration(struct mouse *m, URB *urb)
{
    struct _URB_SELECT_CONFIGURATION *c = &urb->UrbSelectConfiguration;
    USBD_INTERFACE_INFORMATION *i = &c->Interface;
    const UCHAR *endpoint = configuration_descriptor + 9 + 9 + 9;
    if (urb->UrbHeader.Length < sizeof(*c) || !c->ConfigurationDescriptor ||
        i->Length < sizeof(*i) || i->InterfaceNumber != 0 || i->AlternateSetting != 0)
    {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    c->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)&configuration_descriptor;
    i->Class = 3;
    i->SubClass = 1;
    i->Protocol = 2;
    i->InterfaceHandle = (USBD_INTERFACE_HANDLE)&configuration_descriptor[9];
    i->NumberOfPipes = 1;
    i->Pipes[0].EndpointAddress = endpoint[2];
    i->Pipes[0].PipeType = UsbdPipeTypeInterrupt;
    i->Pipes[0].MaximumPacketSize = endpoint[4] | endpoint[5] << 8;
    i->Pipes[0].Interval = endpoint[6];
    i->Pipes[0].PipeHandle = (USBD_PIPE_HANDLE)endpoint;
    InterlockedIncrement((LONG *)&m->state.configurations_selected);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI dispatch_internal(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    URB *urb = stack->Parameters.Others.Argument1;
    struct mouse *m;
    NTSTATUS status;
    if (node_of(device)->kind != NODE_MOUSE_PDO ||
        stack->Parameters.DeviceIoControl.IoControlCode != (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB)
        return finish(irp, STATUS_NOT_SUPPORTED, 0);
    if (!urb) return finish(irp, STATUS_INVALID_PARAMETER, 0);
    m = mouse_at(device);
    convert_in_place(urb);
    switch (urb->UrbHeader.Function)
    {
    case URB_FUNCTION_CONTROL_TRANSFER:
        status = default_pipe(m, urb);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        status = select_configuration(m, urb);
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return hold_read(m, irp);
    default:
        TRACE("URB function %#x not supported\n", urb->UrbHeader.Function);
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    return finish(irp, status, 0);
}

static NTSTATUS mouse_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = node_of(device);
    struct mouse *m = &mice[node->index];
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR information = irp->IoStatus.Information;

    switch (stack->MinorFunction)
    {
    case IRP_MN_QUERY_ID:
    {
        /* What the USB hub driver reports for a HID boot mouse with a serial number, the instance ID
         * (each mouse keeps its node across replugs). The literals add a multi-string's second NUL. */
        static const WCHAR device_id[] = L"USB\\VID_1234&PID_0001";
        static const WCHAR instance_ids[HCTWINE_MICE][8] = {L"HCT0001", L"HCT0002"};
        static const WCHAR hardware_ids[] = L"USB\\VID_1234&PID_0001&REV_0100\0USB\\VID_1234&PID_0001\0";
        static const WCHAR compatible_ids[] =
            L"USB\\Class_03&SubClass_01&Prot_02\0USB\\Class_03&SubClass_01\0USB\\Class_03\0";
        const WCHAR *instance_id = instance_ids[node->index];
        const WCHAR *id = NULL;
        SIZE_T bytes = 0;
        NTSTATUS status = irp->IoStatus.Status;
        switch (stack->Parameters.QueryId.IdType)
        {
        case BusQueryDeviceID: id = device_id; bytes = sizeof(device_id); break;
        case BusQueryInstanceID: id = instance_id; bytes = (wcslen(instance_id) + 1) * sizeof(WCHAR); break;
        case BusQueryHardwareIDs: id = hardware_ids; bytes = sizeof(hardware_ids); break;
        case BusQueryCompatibleIDs: id = compatible_ids; bytes = sizeof(compatible_ids); break;
        default: break;
        }
        if (id)
        {
            WCHAR *copy = ExAllocatePoolWithTag(PagedPool, bytes, POOL_TAG);
            if (copy) RtlCopyMemory(copy, id, bytes);
            information = (ULONG_PTR)copy;
            status = copy ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
        return finish(irp, status, information);
    }
    case IRP_MN_QUERY_CAPABILITIES:
        stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = TRUE;
        stack->Parameters.DeviceCapabilities.Capabilities->Removable = TRUE;
        break;
    case IRP_MN_START_DEVICE:
        TRACE("mouse %lu PDO started\n", node->index + 1);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        TRACE("mouse PDO surprise removal\n");
        m->state.surprise_removed = 1;
        fail_held_reads(m);
        break;
    case IRP_MN_REMOVE_DEVICE:
        TRACE("mouse PDO removal (reported %d)\n", node->reported);
        fail_held_reads(m);
        m->state.removed = 1;
        if (!node->reported)
        {
            finish(irp, STATUS_SUCCESS, 0);
            m->pdo = NULL;
            IoDeleteDevice(device);
            return STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        break;
    default: /* not the bus driver's to answer: left as it came */
        return finish(irp, irp->IoStatus.Status, information);
    }
    return finish(irp, STATUS_SUCCESS, information);
}

static NTSTATUS plug_mouse(ULONG index)
{
    struct mouse *m = &mice[index];
    DEVICE_OBJECT *pdo;
    NTSTATUS status;
    KIRQL irql;
    if (!bus_fdo) return STATUS_DEVICE_NOT_READY;
    if (m->pdo) return STATUS_OBJECT_NAME_EXISTS; /* still plugged, or its removal not yet done */
    status = create_node(bus_driver, NODE_MOUSE_PDO, NULL, &pdo);
    if (!NT_SUCCESS(status)) return status;
    node_of(pdo)->reported = TRUE;
    node_of(pdo)->index = index;
    KeAcquireSpinLock(&lock, &irql);
    RtlZeroMemory(&m->state, sizeof(m->state));
    m->pdo = pdo;
    KeReleaseSpinLock(&lock, irql);
    IoInvalidateDeviceRelations(node_of(bus_fdo)->pdo, BusRelations);
    return STATUS_SUCCESS;
}

static NTSTATUS unplug_mouse(ULONG index)
{
    struct mouse *m = &mice[index];
    if (!bus_fdo || !reported(m)) return STATUS_DEVICE_NOT_READY;
    node_of(m->pdo)->reported = FALSE;
    IoInvalidateDeviceRelations(node_of(bus_fdo)->pdo, BusRelations);
    return STATUS_SUCCESS;
}

static NTSTATUS bus_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;

    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = pass_down_and_wait(node_of(device)->lower, irp);
        TRACE("bus started (%#lx)\n", status);
        return finish(irp, status, irp->IoStatus.Information);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
        {
            DEVICE_RELATIONS *relations = ExAllocatePoolWithTag(PagedPool, sizeof(*relations) + HCTWINE_MICE * sizeof(DEVICE_OBJECT *), POOL_TAG);
            if (!relations) return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            ULONG i;
            relations->Count = 0;
            for (i = 0; i < HCTWINE_MICE; i++)
                if (reported(&mice[i]))
                {
                    ObReferenceObject(mice[i].pdo);
                    relations->Objects[relations->Count++] = mice[i].pdo;
                }
            TRACE("bus relations: %lu mice\n", relations->Count);
            irp->IoStatus.Information = (ULONG_PTR)relations;
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        bus_fdo = NULL;
        return remove_node(device, irp, NULL);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return pass_down(device, irp);
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    enum node_kind kind = node_of(device)->kind;
    if (kind == NODE_BUS_FDO) return bus_pnp(device, irp);
    if (kind == NODE_MOUSE_PDO) return mouse_pnp(device, irp);
    return finish(irp, STATUS_NOT_SUPPORTED, 0);
}

static NTSTATUS NTAPI dispatch_control(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode, in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG index;
    NTSTATUS status = control_request(device, irp, &index);
    IRP *held;

    if (!NT_SUCCESS(status)) return status;
    switch (code)
    {
    case IOCTL_HCTWINE_PLUG:
    case IOCTL_HCTWINE_UNPLUG:
        status = code == (ULONG)IOCTL_HCTWINE_PLUG ? plug_mouse(index) : unplug_mouse(index);
        TRACE("%s mouse %lu -> %#lx\n", code == (ULONG)IOCTL_HCTWINE_PLUG ? "plug" : "unplug", index + 1, status);
        return finish(irp, status, 0);
    case IOCTL_HCTWINE_FEED:
        if (in < sizeof(ULONG) + 1 || in > sizeof(ULONG) + HCTWINE_MAX_REPORT)
            return finish(irp, STATUS_INVALID_PARAMETER, 0);
        if (!(held = take_held_read(&mice[index]))) return finish(irp, STATUS_DEVICE_NOT_READY, 0);
        complete_held_read(held, STATUS_SUCCESS, USBD_STATUS_SUCCESS, (UCHAR *)irp->AssociatedIrp.SystemBuffer + sizeof(ULONG),
                           in - sizeof(ULONG));
        return finish(irp, STATUS_SUCCESS, 0);
    case IOCTL_HCTWINE_BUS_STATE:
        return finish_with_state(irp, &mice[index].state, sizeof(mice[index].state));
    case IOCTL_HCTWINE_MARK:
        /* A line in the log between two parts of a session: the trace is compared up to it. */
        TRACE("mark %lu\n", index);
        return finish(irp, STATUS_SUCCESS, 0);
    default:
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *root_pdo)
{
    DEVICE_OBJECT *fdo;
    NTSTATUS status;
    if (bus_fdo) return STATUS_DEVICE_ALREADY_ATTACHED;
    status = create_node(driver, NODE_BUS_FDO, root_pdo, &fdo);
    if (!NT_SUCCESS(status)) return status;
    node_of(fdo)->pdo = root_pdo;
    bus_fdo = fdo;
    TRACE("bus FDO attached\n");
    return STATUS_SUCCESS;
}

static void init(DRIVER_OBJECT *driver)
{
    ULONG i;
    bus_driver = driver;
    for (i = 0; i < HCTWINE_MICE; i++) InitializeListHead(&mice[i].held_reads);
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
}

/* A stand-in for the HID class driver above hct.sys, for running the filter under Wine.
 *
 * Wine's PnP manager never loads a device's LowerFilters, so AddDevice plays that part of Windows'
 * PnP manager, and only that part: it reads the LowerFilters of the node's instance key, loads each
 * listed filter in list order, calls its AddDevice with the mouse's PDO (the first listed lowest),
 * then attaches itself on top; a filter that fails fails the AddDevice, and a filter whose last
 * device is gone is unloaded. After the start, it sends what the system's class driver sends and
 * keeps interrupt-IN transfers at the mouse; what comes back up is kept for the harness. */
#define DRIVER_TAG "upper"
#define CONTROL_NAME L"HctWineUpper"
#include "wkernel.h"
#include <ntstrsafe.h>

#define SERVICES_KEY L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\"
#define ENUM_KEY L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\"
#define POOL_TAG 'uWcH'
#define MAX_FILTERS 4

NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING, ULONG, PACCESS_STATE, ACCESS_MASK, POBJECT_TYPE,
                                       KPROCESSOR_MODE, PVOID, PVOID *);

/* The class driver keeps HCTWINE_READS interrupt transfers at each mouse and sends each one again
 * as soon as it is back, until one fails or the device is going away. */
struct read_slot
{
    URB urb;
    UCHAR buffer[HCTWINE_MAX_REPORT];
    struct mouse *mouse;
};

static struct mouse
{
    DEVICE_OBJECT *function_device;
    struct hctwine_upper_state state;
    USBD_PIPE_HANDLE pipe_handle; /* the interrupt-IN pipe SELECT_CONFIGURATION gave */
    struct read_slot slots[HCTWINE_READS];
    KEVENT reads_idle; /* set while no transfer is out */
    DRIVER_OBJECT *filters[MAX_FILTERS]; /* referenced while this mouse's stack uses them */
    WCHAR filter_names[MAX_FILTERS][32];
    ULONG filter_count;
} mice[HCTWINE_MICE];

static NTSTATUS call_and_wait(DEVICE_OBJECT *device, IRP *irp, KEVENT *done, IO_STATUS_BLOCK *io)
{
    NTSTATUS status = IoCallDriver(device, irp);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(done, Executive, KernelMode, FALSE, NULL);
    return io->Status;
}

static NTSTATUS submit_urb_and_wait(DEVICE_OBJECT *lower, URB *urb)
{
    IO_STATUS_BLOCK io;
    KEVENT done;
    IRP *irp;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, NULL, 0, NULL, 0, TRUE, &done, &io);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    return call_and_wait(lower, irp, &done, &io);
}

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

static NTSTATUS get_device_descriptor(DEVICE_OBJECT *lower, UCHAR type, void *buffer, ULONG length)
{
    ULONG got = length;
    NTSTATUS status = get_descriptor(lower, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, type, 0, buffer, &got);
    return NT_SUCCESS(status) && got != length ? STATUS_DEVICE_DATA_ERROR : status;
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

/* What the system's HID-over-USB class driver sends once the device has started, in its order,
 * with its lengths; the interrupt reads then ask for the largest input report. */
static NTSTATUS system_sequence(struct mouse *m, DEVICE_OBJECT *lower)
{
    static UCHAR device[18], configuration[256], report[1024];
    static struct _URB_SELECT_CONFIGURATION select;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST idle;
    const UCHAR *iface = NULL, *hid = NULL, *endpoint = NULL;
    ULONG length, total, i, report_length;
    NTSTATUS status;

    status = get_device_descriptor(lower, USB_DEVICE_DESCRIPTOR_TYPE, device, sizeof(device));
    if (!NT_SUCCESS(status)) return status;
    status = get_device_descriptor(lower, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, 9);
    if (!NT_SUCCESS(status)) return status;
    total = configuration[2] | configuration[3] << 8;
    if (total < 9 || total > sizeof(configuration)) return STATUS_DEVICE_DATA_ERROR;
    status = get_device_descriptor(lower, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, total);
    if (!NT_SUCCESS(status)) return status;

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
    m->pipe_handle = select.Interface.Pipes[0].PipeHandle;

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
    m->state.descriptor_status = status;
    m->state.descriptor_length = length;
    TRACE("report descriptor: %#lx, %lu bytes\n", status, length);
    if (!NT_SUCCESS(status)) return status;
    m->state.read_length = largest_input_report(report, length);
    return m->state.read_length && m->state.read_length <= HCTWINE_MAX_REPORT ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR;
}

static void send_read(struct mouse *m, ULONG index);

static NTSTATUS NTAPI read_done(DEVICE_OBJECT *device, IRP *irp, void *context)
{
    struct read_slot *slot = context;
    struct mouse *m = slot->mouse;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG length = slot->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    BOOLEAN again;
    KIRQL irql;
    IoFreeIrp(irp);
    TRACE("interrupt transfer back: %#lx, %lu bytes\n", status, NT_SUCCESS(status) ? length : 0);
    KeAcquireSpinLock(&lock, &irql);
    m->state.last_read_status = status;
    m->state.last_read_usbd = slot->urb.UrbHeader.Status;
    m->state.last_length = NT_SUCCESS(status) && length <= HCTWINE_MAX_REPORT ? length : 0;
    RtlZeroMemory(m->state.last_report, sizeof(m->state.last_report));
    RtlCopyMemory(m->state.last_report, slot->buffer, m->state.last_length);
    again = NT_SUCCESS(status) && !m->state.surprise_removed && !m->state.removed;
    if (!again && --m->state.reads_outstanding == 0) KeSetEvent(&m->reads_idle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&lock, irql);
    /* Sent again before the harness learns of this one, so that it finds the mouse holding all. */
    if (again) send_read(m, (ULONG)(slot - m->slots));
    InterlockedIncrement((LONG *)&m->state.reads_completed);
    return STATUS_MORE_PROCESSING_REQUIRED; /* the IRP was ours and is gone */
}

static void send_read(struct mouse *m, ULONG index)
{
    struct node *node = node_of(m->function_device);
    struct read_slot *slot = &m->slots[index];
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *t = &slot->urb.UrbBulkOrInterruptTransfer;
    IO_STACK_LOCATION *next;
    KIRQL irql;
    IRP *irp = IoAllocateIrp(node->lower->StackSize, FALSE);
    if (!irp)
    {
        KeAcquireSpinLock(&lock, &irql);
        if (--m->state.reads_outstanding == 0) KeSetEvent(&m->reads_idle, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&lock, irql);
        return;
    }
    RtlZeroMemory(slot, sizeof(*slot));
    slot->mouse = m;
    t->Hdr.Length = sizeof(*t);
    t->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t->PipeHandle = m->pipe_handle;
    t->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t->TransferBuffer = slot->buffer;
    t->TransferBufferLength = m->state.read_length;
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &slot->urb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, read_done, slot, TRUE, TRUE, TRUE);
    IoCallDriver(node->lower, irp);
}

static void start_reads(struct mouse *m)
{
    ULONG i;
    KeClearEvent(&m->reads_idle);
    m->state.reads_outstanding = HCTWINE_READS;
    for (i = 0; i < HCTWINE_READS; i++) send_read(m, i);
}

/* The PnP manager's other part: a filter whose last device object is gone is unloaded. */
static void release_filters(struct mouse *m)
{
    ULONG i;
    for (i = m->filter_count; i-- > 0;)
    {
        DRIVER_OBJECT *driver = m->filters[i];
        BOOLEAN unused = driver->DeviceObject == NULL;
        WCHAR key[96];
        UNICODE_STRING text;
        ObDereferenceObject(driver);
        m->filters[i] = NULL;
        if (!unused) continue;
        RtlStringCbPrintfW(key, sizeof(key), SERVICES_KEY L"%ls", m->filter_names[i]);
        RtlInitUnicodeString(&text, key);
        TRACE("mouse %lu: ZwUnloadDriver(%ls) -> %#lx\n", (ULONG)(m - mice) + 1, m->filter_names[i], ZwUnloadDriver(&text));
    }
    m->filter_count = 0;
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = node_of(device);
    struct mouse *m = &mice[node->index];
    NTSTATUS status;

    if (node->kind != NODE_FUNCTION) return finish(irp, STATUS_NOT_SUPPORTED, 0);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = pass_down_and_wait(node->lower, irp);
        TRACE("mouse %lu: start went through the stack: %#lx\n", node->index + 1, status);
        if (NT_SUCCESS(status)) status = system_sequence(m, node->lower);
        m->state.start_status = status;
        if (NT_SUCCESS(status))
        {
            m->state.started = 1;
            start_reads(m);
        }
        return finish(irp, status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
        m->state.surprise_removed = 1;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        /* The bus fails what it still holds; the slots must be free before the device goes. */
        status = remove_node(device, irp, &m->reads_idle);
        m->function_device = NULL;
        TRACE("mouse %lu: function device removed\n", (ULONG)(m - mice) + 1);
        release_filters(m);
        m->state.attached = 0;
        m->state.removed = 1;
        return status;
    default:
        break;
    }
    return pass_down(device, irp);
}

static WCHAR *query_id(DEVICE_OBJECT *pdo, BUS_QUERY_ID_TYPE type)
{
    IO_STATUS_BLOCK io;
    KEVENT done;
    IRP *irp;
    IO_STACK_LOCATION *next;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, NULL, 0, NULL, &done, &io);
    if (!irp) return NULL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_ID;
    next->Parameters.QueryId.IdType = type;
    return NT_SUCCESS(call_and_wait(pdo, irp, &done, &io)) ? (WCHAR *)io.Information : NULL;
}

static void append_name(char *list, size_t size, const WCHAR *name, int n)
{
    size_t at = strlen(list);
    RtlStringCbPrintfA(list + at, size - at, "%s%.*ls", at ? "," : "", n, name);
}

/* The node's LowerFilters into m->filter_names, read where Windows' PnP manager reads it, the
 * instance key; no value (or no instance key) is no filter. */
static NTSTATUS read_lower_filters(DEVICE_OBJECT *pdo, struct mouse *m, ULONG *count)
{
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512]; /* two mice may be added at once */
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    WCHAR *device_id = query_id(pdo, BusQueryDeviceID), *instance_id = query_id(pdo, BusQueryInstanceID);
    WCHAR path[256];
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG got = 0, i;
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    *count = 0;
    if (device_id && instance_id)
        status = RtlStringCbPrintfW(path, sizeof(path), ENUM_KEY L"%ls\\%ls", device_id, instance_id);
    if (device_id) ExFreePool(device_id);
    if (instance_id) ExFreePool(instance_id);
    if (!NT_SUCCESS(status)) return status;
    TRACE("mouse %lu: instance key %ls\n", (ULONG)(m - mice) + 1, path);
    RtlInitUnicodeString(&text, path);
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&text, L"LowerFilters");
    status = ZwQueryValueKey(key, &text, KeyValuePartialInformation, info, sizeof(buffer) - sizeof(WCHAR), &got);
    ZwClose(key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    if (info->Type != REG_MULTI_SZ) return STATUS_INVALID_PARAMETER; /* the PnP manager takes only a multi-string */
    /* Each entry up to its NUL; a last entry without one ends at the data's end. */
    for (i = 0; i < info->DataLength / sizeof(WCHAR);)
    {
        const WCHAR *entry = (const WCHAR *)info->Data + i;
        ULONG n = 0;
        while (i + n < info->DataLength / sizeof(WCHAR) && entry[n]) n++;
        i += n + 1;
        if (!n) break; /* the empty string ends the list */
        if (*count == MAX_FILTERS || n >= 32) return STATUS_BUFFER_OVERFLOW;
        RtlCopyMemory(m->filter_names[*count], entry, n * sizeof(WCHAR));
        m->filter_names[*count][n] = 0;
        append_name(m->state.lower_filters, sizeof(m->state.lower_filters), entry, (int)n);
        (*count)++;
    }
    return STATUS_SUCCESS;
}

/* Loads the next filter the node lists and calls its AddDevice with the PDO. */
static NTSTATUS load_filter(struct mouse *m, DEVICE_OBJECT *pdo)
{
    const WCHAR *name = m->filter_names[m->filter_count];
    WCHAR path[96];
    UNICODE_STRING text;
    DRIVER_OBJECT *driver = NULL;
    NTSTATUS status;

    RtlStringCbPrintfW(path, sizeof(path), SERVICES_KEY L"%ls", name);
    RtlInitUnicodeString(&text, path);
    status = ZwLoadDriver(&text);
    TRACE("mouse %lu: ZwLoadDriver(%ls) -> %#lx\n", (ULONG)(m - mice) + 1, name, status);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED) return status;
    RtlStringCbPrintfW(path, sizeof(path), L"\\Driver\\%ls", name);
    RtlInitUnicodeString(&text, path);
    status = ObReferenceObjectByName(&text, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL, (void **)&driver);
    if (!NT_SUCCESS(status)) return status;
    if (!driver->DriverExtension || !driver->DriverExtension->AddDevice)
        status = STATUS_INVALID_DEVICE_REQUEST;
    else
        status = driver->DriverExtension->AddDevice(driver, pdo);
    TRACE("mouse %lu: %ls AddDevice -> %#lx\n", (ULONG)(m - mice) + 1, name, status);
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(driver);
        return status;
    }
    m->filters[m->filter_count++] = driver;
    return STATUS_SUCCESS;
}

/* The drivers between the PDO and `top` (exclusive), lowest first, "hct,hctwpass". */
static void describe_stack(struct mouse *m, DEVICE_OBJECT *pdo, DEVICE_OBJECT *top)
{
    DEVICE_OBJECT *d;
    m->state.stack[0] = 0;
    for (d = pdo->AttachedDevice; d && d != top; d = d->AttachedDevice)
    {
        const UNICODE_STRING *name = &d->DriverObject->DriverName;
        const WCHAR *last = name->Buffer;
        USHORT i, n = name->Length / sizeof(WCHAR);
        for (i = 0; i < n; i++) if (name->Buffer[i] == L'\\') last = name->Buffer + i + 1;
        append_name(m->state.stack, sizeof(m->state.stack), last, (int)(n - (last - name->Buffer)));
    }
}

/* The mouse a PDO is, by its instance ID (HCT0001, HCT0002). */
static ULONG mouse_index(DEVICE_OBJECT *pdo)
{
    WCHAR *id = query_id(pdo, BusQueryInstanceID);
    ULONG index = HCTWINE_MICE, n;
    if (!id) return index;
    n = (ULONG)wcslen(id);
    if (n && id[n - 1] >= L'1' && id[n - 1] < L'1' + HCTWINE_MICE) index = id[n - 1] - L'1';
    ExFreePool(id);
    return index;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    ULONG count = 0, i, index = mouse_index(pdo), adds;
    struct mouse *m;
    DEVICE_OBJECT *fdo;
    NTSTATUS status;

    if (index >= HCTWINE_MICE) return STATUS_NO_SUCH_DEVICE;
    m = &mice[index];
    if (m->function_device) return STATUS_DEVICE_ALREADY_ATTACHED;
    adds = m->state.add_devices;
    RtlZeroMemory(&m->state, sizeof(m->state));
    m->state.add_devices = adds + 1;
    KeSetEvent(&m->reads_idle, IO_NO_INCREMENT, FALSE);
    status = read_lower_filters(pdo, m, &count);
    TRACE("mouse %lu: LowerFilters: \"%s\" (%#lx)\n", index + 1, m->state.lower_filters, status);
    for (i = 0; NT_SUCCESS(status) && i < count; i++) status = load_filter(m, pdo);
    m->state.filter_status = status;
    if (!NT_SUCCESS(status))
    {
        /* The device does not start; what the filters attached goes with the PDO's removal. */
        TRACE("mouse %lu: a filter failed: the device is not started\n", index + 1);
        release_filters(m);
        return status;
    }
    status = create_node(driver, NODE_FUNCTION, pdo, &fdo);
    if (!NT_SUCCESS(status)) return status;
    node_of(fdo)->index = index;
    describe_stack(m, pdo, fdo);
    TRACE("mouse %lu: filters loaded, lowest first: \"%s\"\n", index + 1, m->state.stack);
    m->function_device = fdo;
    m->state.attached = 1;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI dispatch_control(DEVICE_OBJECT *device, IRP *irp)
{
    ULONG index;
    NTSTATUS status = control_request(device, irp, &index);
    if (!NT_SUCCESS(status)) return status;
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode != (ULONG)IOCTL_HCTWINE_UPPER_STATE)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return finish_with_state(irp, &mice[index].state, sizeof(mice[index].state));
}

static void init(DRIVER_OBJECT *driver)
{
    ULONG i;
    for (i = 0; i < HCTWINE_MICE; i++) KeInitializeEvent(&mice[i].reads_idle, NotificationEvent, TRUE);
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
}

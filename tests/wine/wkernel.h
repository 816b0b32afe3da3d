/* Kernel-mode helpers shared by the fake bus and the fake upper driver of the Wine test. Each is
 * a separate image, so the helpers are static and included into both. */
#ifndef HCTWINE_KERNEL_H
#define HCTWINE_KERNEL_H

static NTSTATUS finish(IRP *irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI signal_event(DEVICE_OBJECT *device, IRP *irp, void *context)
{
    (void)device; (void)irp;
    KeSetEvent((KEVENT *)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the request down and waits until the drivers below are done with it; the caller still
 * owns it and completes it. */
static NTSTATUS pass_down_and_wait(DEVICE_OBJECT *lower, IRP *irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signal_event, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

/* The control device the harness opens, with a zeroed extension of `size` bytes and its link; the
 * caller fills the extension and clears DO_DEVICE_INITIALIZING. */
static NTSTATUS create_control_device(DRIVER_OBJECT *driver, const WCHAR *device_name, const WCHAR *link_name,
                                      ULONG size, DEVICE_OBJECT **device)
{
    UNICODE_STRING name, link;
    NTSTATUS status;
    RtlInitUnicodeString(&name, device_name);
    RtlInitUnicodeString(&link, link_name);
    status = IoCreateDevice(driver, size, &name, HCTWINE_DEVICE_TYPE, 0, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory((*device)->DeviceExtension, size);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status))
    {
        IoDeleteDevice(*device);
        *device = NULL;
    }
    return status;
}

static void delete_control_device(const WCHAR *link_name, DEVICE_OBJECT *device)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, link_name);
    IoDeleteSymbolicLink(&link);
    if (device) IoDeleteDevice(device);
}

#endif

/* A lower filter of someone else's that a mouse already lists before hct is installed: it attaches
 * where the PnP manager puts it and passes every request down unchanged. The Wine test lists it in
 * the mouse's LowerFilters to show that installing and removing hct keeps other filters, in order. */
#include <ntddk.h>

#define TRACE(...) DbgPrint("hctwine-pass: " __VA_ARGS__)

struct node
{
    DEVICE_OBJECT *lower;
};

static NTSTATUS NTAPI pass_down(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(node->lower, irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(node->lower, irp);
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    struct node *node = device->DeviceExtension;
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return pass_down(device, irp);
    IoSkipCurrentIrpStackLocation(irp);
    status = IoCallDriver(node->lower, irp);
    IoDetachDevice(node->lower);
    IoDeleteDevice(device);
    TRACE("removed\n");
    return status;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    DEVICE_OBJECT *device;
    struct node *node;
    NTSTATUS status = IoCreateDevice(driver, sizeof(*node), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                     &device);
    if (!NT_SUCCESS(status)) return status;
    node = device->DeviceExtension;
    node->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!node->lower)
    {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= node->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    TRACE("attached\n");
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(DRIVER_OBJECT *driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    ULONG i;
    (void)registry_path;
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) driver->MajorFunction[i] = pass_down;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    TRACE("loaded\n");
    return STATUS_SUCCESS;
}

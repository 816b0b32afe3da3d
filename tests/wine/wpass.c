/* A lower filter of someone else's that a mouse already lists before hct is installed: it attaches
 * where the PnP manager puts it and passes every request down unchanged. The Wine test lists it in
 * the mouse's LowerFilters to show that installing and removing hct keeps other filters, in order. */
#define DRIVER_TAG "pass"
#include "wkernel.h"

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return pass_down(device, irp);
    status = remove_node(device, irp, NULL);
    TRACE("removed\n");
    return status;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    DEVICE_OBJECT *device;
    NTSTATUS status = create_node(driver, NODE_FILTER, pdo, &device);
    if (NT_SUCCESS(status)) TRACE("attached\n");
    return status;
}

static void init(DRIVER_OBJECT *driver)
{
    ULONG i;
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) driver->MajorFunction[i] = pass_down;
}

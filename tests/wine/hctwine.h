/* Control codes and records shared by the fake bus, the fake upper driver and the harness of the
 * Wine end-to-end test. Kernel and user mode both include this after their own headers. */
#ifndef HCTWINE_H
#define HCTWINE_H

#define HCTWINE_DEVICE_TYPE 0x8000

#define HCTWINE_MICE 2 /* mice the fake bus can report, instance IDs HCT0001 and HCT0002 */

/* \\.\HctWineBus: the fake bus's control device. Every request's input begins with a ULONG, the
 * mouse's index (0 or 1). */
#define IOCTL_HCTWINE_PLUG   CTL_CODE(HCTWINE_DEVICE_TYPE, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HCTWINE_UNPLUG CTL_CODE(HCTWINE_DEVICE_TYPE, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input: the index, then the report (1 to 32 bytes) for the oldest transfer held (else STATUS_DEVICE_NOT_READY). */
#define IOCTL_HCTWINE_FEED   CTL_CODE(HCTWINE_DEVICE_TYPE, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: struct hctwine_bus_state. */
#define IOCTL_HCTWINE_BUS_STATE CTL_CODE(HCTWINE_DEVICE_TYPE, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Writes "hctwine-bus: mark N" to the log: scripts/wine-e2e.sh compares the driver's trace up to it. */
#define IOCTL_HCTWINE_MARK CTL_CODE(HCTWINE_DEVICE_TYPE, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* \\.\HctWineUpper, the fake function driver's control device. Input: the index. Output: the state. */
#define IOCTL_HCTWINE_UPPER_STATE CTL_CODE(HCTWINE_DEVICE_TYPE, 0x812, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define HCTWINE_MAX_REPORT 32
#define HCTWINE_READS 2 /* interrupt-IN transfers the class driver keeps at the mouse */

struct hctwine_bus_state
{
    ULONG reads_waiting;    /* interrupt-IN transfers the mouse holds */
    ULONG string_requests;  /* string descriptor requests for index 200 answered */
    ULONG hid_requests;     /* HID report descriptor requests answered */
    ULONG set_idle_requests;
    ULONG configurations_selected;
    ULONG surprise_removed;
    ULONG removed;          /* the PDO has seen IRP_MN_REMOVE_DEVICE */
};

struct hctwine_upper_state
{
    ULONG attached;          /* the upper device object exists */
    ULONG add_devices;       /* AddDevice calls for this mouse */
    LONG filter_status;      /* status of reading LowerFilters and loading and attaching each filter */
    char lower_filters[64];  /* the node's LowerFilters as read at AddDevice, entries joined by ',' ("" none) */
    char stack[96];          /* the drivers between the PDO and the class driver, lowest first, joined by ',' */
    ULONG started;           /* START went through the whole stack and succeeded */
    LONG start_status;
    LONG descriptor_status;  /* the report descriptor request, as the upper driver saw it */
    ULONG descriptor_length;
    ULONG read_length;       /* bytes each interrupt-IN transfer asks for: the largest input report */
    ULONG reads_completed;   /* interrupt-IN transfers that came back */
    ULONG reads_outstanding; /* sent and not yet back for good */
    LONG last_read_status;   /* IRP status of the last one */
    LONG last_read_usbd;     /* URB status of the last one */
    ULONG last_length;
    UCHAR last_report[HCTWINE_MAX_REPORT];
    ULONG surprise_removed;
    ULONG removed;
};

#endif

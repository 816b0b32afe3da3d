// The driver's own USB requests at device start: synchronous URB submission with a timeout, the
// identity test, the string-descriptor probe, and the trace of USB status codes.
#include "hct.h"

#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

struct UrbStatusText {
    ULONG code;
    const char *text;
};

// Compared as whole 32-bit patterns, state bits included. These are the values this driver has
// always traced them under; CANCELED in particular is 0x00010000 here, not the DDK's 0xC0010000.
constexpr UrbStatusText kUrbStatusTexts[] = {
    {0x00000000, "The URB status = USBD_STATUS_SUCCESS , Operation succeed !! \n"},
    {0xC0000003, "The URB status = USBD_STATUS_DATA_TOGGLE_MISMATCH , Error !! \n"},
    {0xC0000004, "The URB status = USBD_STATUS_STALL_PID , Error !! \n"},
    {0xC0000005, "The URB status = USBD_STATUS_DEV_NOT_RESPONDING , Error !! \n"},
    {0xC0000006, "The URB status = USBD_STATUS_PID_CHECK_FAILURE , Error !! \n"},
    {0xC0000008, "The URB status = USBD_STATUS_DATA_OVERRUN , Error !! \n"},
    {0xC0000009, "The URB status = USBD_STATUS_DATA_UNDERRUN , Error !! \n"},
    {0xC000000C, "The URB status = USBD_STATUS_BUFFER_OVERRUN , Error !! \n"},
    {0xC000000D, "The URB status = USBD_STATUS_BUFFER_UNDERRUN , Error !! \n"},
    {0xC000000F, "The URB status = USBD_STATUS_NOT_ACCESSED , Error !! \n"},
    {0xC0000030, "The URB status = USBD_STATUS_ENDPOINT_HALTED , Error !! \n"},
    {0x80000100, "The URB status = USBD_STATUS_NO_MEMORY , Error !! \n"},
    {0x80000200, "The URB status = USBD_STATUS_INVALID_URB_FUNCTION , Error !! \n"},
    {0x80000300, "The URB status = USBD_STATUS_INVALID_PARAMETER , Error !! \n"},
    {0x80000400, "The URB status = USBD_STATUS_ERROR_BUSY , Error !! \n"},
    {0x80000500, "The URB status = USBD_STATUS_REQUEST_FAILED , Error !! \n"},
    {0x80000600, "The URB status = USBD_STATUS_INVALID_PIPE_HANDLE , Error !! \n"},
    {0x80000700, "The URB status = USBD_STATUS_NO_BANDWIDTH , Error !! \n"},
    {0x80000800, "The URB status = USBD_STATUS_INTERNAL_HC_ERROR , Error !! \n"},
    {0x80000900, "The URB status = USBD_STATUS_ERROR_SHORT_TRANSFER , Error !! \n"},
    {0xC0000A00, "The URB status = USBD_STATUS_BAD_START_FRAME , Error !! \n"},
    {0x00010000, "The URB status = USBD_STATUS_CANCELED , Error !! \n"},
    {0x00020000, "The URB status = USBD_STATUS_CANCELING , Error !! \n"},
    {0x40000000, "The URB status = USBD_STATUS_PENDING , Please wait the completion of the operation !! \n"},
};
static_assert(sizeof(kUrbStatusTexts) / sizeof(kUrbStatusTexts[0]) == 24, "24 known USB status codes");

// Who owns the IRP once the timed wait has given up on it. The waiting side and the completion
// routine each exchange the state once; whichever of them comes second finishes the completion.
enum : LONG {
    kIrpCancelable = 0,  // nobody has given up yet
    kCancelStarted = 1,  // the waiter is about to cancel: the IRP must stay valid until it has
    kCancelDone = 2,     // the cancel has been issued
    kIrpCompleted = 3,   // the completion routine has run
};

constexpr ULONG kProbeReplyBytes = 255;
constexpr UCHAR kProbeStringIndex = 200;
constexpr USHORT kProbeLanguage = 0x0409;
constexpr LONGLONG kProbeTimeout = -20000000;  // 2 s, relative, in 100 ns units

// The IRP was built by this driver, so there is no stack location of ours to mark pending here.
NTSTATUS NTAPI SubmitUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    LONG volatile *state = static_cast<LONG volatile *>(Context);
    if (InterlockedExchange(state, kIrpCompleted) == kCancelStarted)
        return HCT_STATUS_MORE_PROCESSING_REQUIRED;  // the canceller still needs the IRP; it completes it again
    return HCT_STATUS_SUCCESS;
}

}  // namespace

VOID LogUrbStatus(USBD_STATUS Status)
{
    for (const UrbStatusText &row : kUrbStatusTexts) {
        if (static_cast<ULONG>(Status) == row.code) {
            DbgPrint(row.text);
            return;
        }
    }
    DbgPrint("Unknown Error Code, Code = 0x%x", static_cast<unsigned>(Status));
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb, PLARGE_INTEGER Timeout)
{
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = HCT_STATUS_SUCCESS;
    ioStatus.Information = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONG volatile state = kIrpCancelable;

    PIRP irp = IoBuildDeviceIoControlRequest(HCT_IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &ioStatus);
    if (irp == nullptr)
        return HCT_STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    // Keeps the IRP from being freed between a timed-out wait and the cancel.
    IoSetCompletionRoutine(irp, SubmitUrbComplete, const_cast<LONG *>(&state), TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == HCT_STATUS_PENDING) {
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, Timeout) == HCT_STATUS_TIMEOUT) {
            // If the request completed on its own since the wait gave up, the I/O manager has
            // already taken the IRP back and there is nothing left to cancel.
            if (InterlockedExchange(&state, kCancelStarted) == kIrpCancelable) {
                IoCancelIrp(irp);
                if (InterlockedExchange(&state, kCancelDone) == kIrpCompleted)
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
            // As long as the bus driver takes to complete the cancelled request.
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
    } else {
        // A request that failed at once gets no status block from the I/O manager.
        ioStatus.Status = status;
    }
    LogUrbStatus(Urb->UrbHeader.Status);
    return ioStatus.Status;
}

BOOLEAN IsTargetMouse(PDEVICE_OBJECT DeviceObject)
{
    (void)DeviceObject;
    return TRUE;
}

BOOLEAN ProbeFeatureString(PDEVICE_OBJECT DeviceObject)
{
    constexpr ULONG urbBytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, HCT_POOL_TAG));
    if (urb == nullptr)
        return FALSE;
    PUCHAR reply = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kProbeReplyBytes, HCT_POOL_TAG));
    if (reply == nullptr) {
        ExFreePool(urb);
        return FALSE;
    }
    __builtin_memset(urb, 0, urbBytes);
    __builtin_memset(reply, 0, kProbeReplyBytes);

    struct _URB_CONTROL_DESCRIPTOR_REQUEST &request = urb->UrbControlDescriptorRequest;
    request.Hdr.Length = static_cast<USHORT>(urbBytes);
    request.Hdr.Function = HCT_URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBufferLength = kProbeReplyBytes;
    request.TransferBuffer = reply;
    request.TransferBufferMDL = nullptr;
    request.UrbLink = nullptr;
    request.Index = kProbeStringIndex;
    request.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
    request.LanguageId = kProbeLanguage;

    LARGE_INTEGER timeout;
    timeout.QuadPart = kProbeTimeout;
    const NTSTATUS status = SubmitUrbSync(DeviceObject, urb, &timeout);
    const BOOLEAN verdict = (status == HCT_STATUS_SUCCESS &&
                             hct_report::MatchFeatureString(reply, request.TransferBufferLength))
                                ? TRUE
                                : FALSE;
    ExFreePool(urb);
    ExFreePool(reply);
    return verdict;
}

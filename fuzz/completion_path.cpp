// Fuzzes the filter's URB completion path through the real dispatch and completion routines: a
// report descriptor from the input is fetched first (so a layout may exist), then one URB of any
// function, setup packet, USB status, byte count and buffer form comes back from a fake bus driver,
// synchronously or pended. Any verifier violation, leak, sanitizer report or crash is a finding.
//
// Input: [0] flags, [1..2] URB function, [3..10] setup packet, [11..14] USBD status,
//        [15..16] reported byte count, [17] descriptor length, then the descriptor, then the data.
#include "sim/sim.h"
#include "usb/hct/hct.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

enum Flags : uint8_t {
    kUseMdl = 0x01,
    kMdlMapped = 0x02,
    kMdlNonPaged = 0x04,
    kPend = 0x08,
    kFeatureOn = 0x10,
    kNullBuffer = 0x20,
};

// What the fake bus answers to the next URB.
struct Answer {
    USBD_STATUS usbd = 0;
    ULONG reported = 0;
    std::vector<uint8_t> data;
    bool pend = false;
} g_answer;

void FinishUrb(PIRP irp)
{
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    // Every transfer form keeps its buffer fields at the same place as the bulk transfer's.
    struct _URB_BULK_OR_INTERRUPT_TRANSFER &t = urb->UrbBulkOrInterruptTransfer;
    uint8_t *buffer = static_cast<uint8_t *>(t.TransferBuffer);
    if (buffer == nullptr && t.TransferBufferMDL != nullptr)
        buffer = static_cast<uint8_t *>(t.TransferBufferMDL->StartVa) + t.TransferBufferMDL->ByteOffset;
    // A real bus never reports more bytes than the buffer it was given.
    const ULONG count = std::min<ULONG>(g_answer.reported, t.TransferBufferLength);
    const size_t copied = std::min<size_t>(count, g_answer.data.size());
    if (buffer != nullptr && copied != 0)
        memcpy(buffer, g_answer.data.data(), copied);
    t.TransferBufferLength = count;
    urb->UrbHeader.Status = g_answer.usbd;
    irp->IoStatus.Status = g_answer.usbd == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI FakeBusDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        stack->Parameters.Others.Argument1 != nullptr) {
        if (!g_answer.pend) {
            FinishUrb(irp);
            return irp->IoStatus.Status;
        }
        IoMarkIrpPending(irp);
        hk::Defer([irp] { FinishUrb(irp); }, 1);
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = stack->MajorFunction == IRP_MJ_PNP ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FakeBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &routine : driver->MajorFunction)
        routine = FakeBusDispatch;
    return STATUS_SUCCESS;
}

void Check(bool ok)
{
    if (!ok)
        abort();
}

void SendUrb(PDEVICE_OBJECT filter, PURB urb)
{
    sim::Request request;
    request.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    request.argument1 = urb;
    sim::SendRequest(filter, request);
    hk::RunUntilIdle();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 18)
        return 0;
    const uint8_t flags = data[0];
    const USHORT function = static_cast<USHORT>(data[1] | data[2] << 8);
    uint8_t setup[8];
    memcpy(setup, data + 3, 8);
    USBD_STATUS usbd;
    memcpy(&usbd, data + 11, 4);
    const ULONG reported = static_cast<ULONG>(data[15] | data[16] << 8);
    const size_t descriptorLength = std::min<size_t>(data[17], size - 18);
    const std::vector<uint8_t> descriptor(data + 18, data + 18 + descriptorLength);
    const std::vector<uint8_t> payload(data + 18 + descriptorLength, data + size);

    // One kernel for the whole run: a reset keeps the old kernel's memory on purpose (a stale
    // reference must not hit freed memory), which a million inputs would pile up. Each input leaves
    // the kernel clean instead, which the check at its end enforces.
    static const bool kernelReady = [] {
        hk::Reset();
        hk::SetTraceEnabled(false);
        return true;
    }();
    (void)kernelReady;
    PDRIVER_OBJECT filterDriver = hk::LoadDriver(u"\\Driver\\hct", DriverEntry);
    PDRIVER_OBJECT busDriver = hk::LoadDriver(u"\\Driver\\fuzzbus", FakeBusEntry);
    PDEVICE_OBJECT pdo = nullptr;
    UNICODE_STRING pdoName;
    RtlInitUnicodeString(&pdoName, u"\\Device\\FuzzPdo");
    Check(IoCreateDevice(busDriver, 0, &pdoName, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo) == STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Check(AddDevice(filterDriver, pdo) == STATUS_SUCCESS);
    PDEVICE_OBJECT filter = pdo->AttachedDevice;
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(filter->DeviceExtension);
    extension->MouseFound = TRUE;  // what a successful start leaves behind
    extension->FeatureEnabled = (flags & kFeatureOn) ? 1 : 0;

    // The class driver's descriptor request, answered with the input's descriptor.
    std::vector<uint8_t> descriptorBuffer(256);
    URB fetch{};
    fetch.UrbControlTransfer.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
    fetch.UrbControlTransfer.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    fetch.UrbControlTransfer.TransferBuffer = descriptorBuffer.data();
    fetch.UrbControlTransfer.TransferBufferLength = static_cast<ULONG>(descriptorBuffer.size());
    const uint8_t getReportDescriptor[8] = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01};
    memcpy(fetch.UrbControlTransfer.SetupPacket, getReportDescriptor, 8);
    g_answer = {0, static_cast<ULONG>(descriptor.size()), descriptor, (flags & kPend) != 0};
    SendUrb(filter, &fetch);

    // The fuzzed URB.
    std::vector<uint8_t> buffer(64, 0xEE);
    PMDL mdl = nullptr;
    URB urb{};
    urb.UrbHeader.Length = sizeof(URB);
    urb.UrbHeader.Function = function;
    struct _URB_CONTROL_TRANSFER &t = urb.UrbControlTransfer;
    t.TransferBufferLength = static_cast<ULONG>(buffer.size());
    memcpy(t.SetupPacket, setup, 8);
    if (flags & kUseMdl) {
        mdl = IoAllocateMdl(buffer.data(), static_cast<ULONG>(buffer.size()), FALSE, FALSE, nullptr);
        Check(mdl != nullptr);
        if (flags & kMdlNonPaged) {
            MmBuildMdlForNonPagedPool(mdl);
        } else {
            MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
            if (flags & kMdlMapped)
                MmMapLockedPages(mdl, KernelMode);
        }
        t.TransferBufferMDL = mdl;
    } else if (!(flags & kNullBuffer)) {
        t.TransferBuffer = buffer.data();
    }
    g_answer = {usbd, reported, payload, (flags & kPend) != 0};
    SendUrb(filter, &urb);

    if (mdl != nullptr) {
        if (!(flags & kMdlNonPaged))
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    sim::Request remove;
    remove.major = IRP_MJ_PNP;
    remove.minor = IRP_MN_REMOVE_DEVICE;
    sim::SendRequest(filter, remove);
    IoDeleteDevice(pdo);
    hk::UnloadDriver(busDriver);
    hk::UnloadDriver(filterDriver);
    Check(hk::CheckClean());
    return 0;
}

// The simulated neighbours on their own: the class driver straight on the bus, and with a small
// filter of this file between them that reads every completed report the way a filter must (mapping
// an unmapped MDL). Every kernel rule broken fails the test, and the kernel must be clean at the end.
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- a pass-through lower filter that peeks at completed interrupt transfers -----------------
namespace peek {

struct Extension {
    PDEVICE_OBJECT lower;
};

std::vector<std::vector<uint8_t>> g_seen;  // report bytes as the filter read them
bool g_mapped = false;                     // the filter had to map an MDL itself

NTSTATUS NTAPI Pass(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<Extension *>(device->DeviceExtension);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<Extension *>(device->DeviceExtension);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return Pass(device, irp);
    auto *ext = static_cast<Extension *>(device->DeviceExtension);
    PDEVICE_OBJECT lower = ext->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI PeekDone(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
        irp->IoStatus.Status != STATUS_SUCCESS)
        return STATUS_SUCCESS;
    auto &t = urb->UrbBulkOrInterruptTransfer;
    PUCHAR data = static_cast<PUCHAR>(t.TransferBuffer);
    if (data == nullptr && t.TransferBufferMDL != nullptr) {
        PMDL mdl = t.TransferBufferMDL;
        if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
            data = static_cast<PUCHAR>(mdl->MappedSystemVa);
        } else {
            data = static_cast<PUCHAR>(MmMapLockedPages(mdl, KernelMode));
            g_mapped = true;
        }
    }
    if (data != nullptr)
        g_seen.emplace_back(data, data + std::min<ULONG>(t.TransferBufferLength, 32));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI InternalIoctl(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<Extension *>(device->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PeekDone, nullptr, TRUE, TRUE, TRUE);
    return IofCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (status != STATUS_SUCCESS)
        return status;
    auto *ext = static_cast<Extension *>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &major : driver->MajorFunction)
        major = Pass;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalIoctl;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

}  // namespace peek

// ---- a string-descriptor request sent and waited for the way the filter's probe does ---------
struct ProbeResult {
    NTSTATUS dispatchStatus = 0;
    NTSTATUS status = 0;
    bool timedOut = false;
    USBD_STATUS usbd = 0;
    ULONG length = 0;
    std::vector<uint8_t> bytes;
};

NTSTATUS NTAPI HoldAndSignal(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

ProbeResult Probe(PDEVICE_OBJECT target, int64_t timeout100ns, UCHAR index = 200)
{
    ProbeResult result;
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    uint8_t buffer[255] = {};
    auto &d = urb.UrbControlDescriptorRequest;
    d.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.TransferBufferLength = sizeof buffer;
    d.TransferBuffer = buffer;
    d.Index = index;
    d.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
    d.LanguageId = 0x0409;

    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, HoldAndSignal, &event, TRUE, TRUE, TRUE);
    result.dispatchStatus = IofCallDriver(target, irp);
    if (result.dispatchStatus == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -timeout100ns;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            result.timedOut = true;
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
    }
    result.status = irp->IoStatus.Status;
    result.usbd = d.Hdr.Status;
    result.length = d.TransferBufferLength;
    result.bytes.assign(buffer, buffer + std::min<ULONG>(d.TransferBufferLength, sizeof buffer));
    IoFreeIrp(irp);
    return result;
}

std::vector<uint8_t> V(std::initializer_list<uint8_t> bytes) { return bytes; }
template <size_t N>
std::vector<uint8_t> V(const std::array<uint8_t, N> &bytes)
{
    return {bytes.begin(), bytes.end()};
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hk::Reset();
        hk::SetViolationHandler([this](const hk::Violation &v) { violations_.push_back(v); });
        peek::g_seen.clear();
        peek::g_mapped = false;
    }
    void TearDown() override
    {
        if (pnp_) {
            for (sim::Mouse *mouse : pnp_->Mice())
                if (mouse->State() != sim::MouseState::Removed)
                    pnp_->Remove(*mouse);
            pnp_.reset();
        }
        if (filter_)
            hk::UnloadDriver(filter_);
        hk::RunUntilIdle();
        EXPECT_EQ(hk::OutstandingIrps(), 0u);
        hk::CheckClean();
        for (const auto &v : violations_)
            ADD_FAILURE() << "kernel rule broken: " << v.rule << ": " << v.detail;
    }
    size_t TakeViolations(const std::string &rule)
    {
        auto before = violations_.size();
        violations_.erase(std::remove_if(violations_.begin(), violations_.end(),
                                         [&](const hk::Violation &v) { return v.rule == rule; }),
                          violations_.end());
        return before - violations_.size();
    }
    sim::PnpManager &Machine(bool withFilter)
    {
        if (withFilter)
            filter_ = hk::LoadDriver(u"\\Driver\\SimPeek", peek::DriverEntry);
        pnp_ = std::make_unique<sim::PnpManager>(filter_);
        return *pnp_;
    }

    PDRIVER_OBJECT filter_ = nullptr;
    std::unique_ptr<sim::PnpManager> pnp_;
    std::vector<hk::Violation> violations_;
};

// ---- stack building and the read loop ---------------------------------------------------------
TEST_F(SimTest, ClassDriverOnTheBusFetchesTheDescriptorThenKeepsItsReadsPendingUntilReportsArrive)
{
    auto &pnp = Machine(false);
    sim::Mouse &mouse = pnp.Plug();
    ASSERT_EQ(mouse.State(), sim::MouseState::Added);
    EXPECT_EQ(mouse.FilterDevice(), mouse.ClassDevice());
    EXPECT_EQ(mouse.Pdo()->AttachedDevice, mouse.ClassDevice());

    EXPECT_EQ(pnp.Start(mouse), STATUS_SUCCESS);
    sim::DescriptorRecord descriptor = mouse.Class().Descriptor();
    EXPECT_TRUE(descriptor.fetched);
    EXPECT_EQ(descriptor.status, STATUS_SUCCESS);
    EXPECT_EQ(descriptor.bytes, sim::DefaultMouseDescriptor());
    auto controls = mouse.Bus().UrbLog(URB_FUNCTION_CONTROL_TRANSFER);
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].setup, (std::array<uint8_t, 8>{0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(controls[0].transferBufferLength, 4096u);
    EXPECT_EQ(mouse.Bus().PendingInterruptReads(), 2u);

    mouse.Feed(sim::kReportPanRight);
    mouse.Feed(sim::kReportPanLeft);
    mouse.Feed(sim::kReportNoPan);  // one more than reads outstanding: waits at the bus
    sim::PnpManager::Settle();
    auto reports = mouse.Class().Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].bytes, V(sim::kReportPanRight));
    EXPECT_EQ(reports[1].bytes, V(sim::kReportPanLeft));
    EXPECT_EQ(reports[2].bytes, V(sim::kReportNoPan));
    EXPECT_EQ(reports[0].transferLength, 5u);
    EXPECT_EQ(mouse.Bus().PendingInterruptReads(), 2u);
    EXPECT_EQ(mouse.Bus().QueuedReports(), 0u);

    EXPECT_EQ(pnp.Remove(mouse), STATUS_SUCCESS);
    EXPECT_TRUE(mouse.Bus().PdoDeleted());
    EXPECT_EQ(mouse.Class().Device(), nullptr);
}

TEST_F(SimTest, ReadsRecordTheStatusesAndLengthsTheBusReportedAndAFailedReadIsNotResent)
{
    auto &pnp = Machine(true);
    sim::MouseConfig config;
    config.readBufferLength = 40;
    sim::Mouse &mouse = pnp.PlugAndStart(config);
    ASSERT_EQ(mouse.State(), sim::MouseState::Started);
    EXPECT_NE(mouse.FilterDevice(), mouse.ClassDevice());

    mouse.Feed(sim::kReportPanRight, sim::ReportOptions::WithLength(33));
    mouse.Feed(sim::kReportPanRight, sim::ReportOptions::WithLength(0));
    sim::PnpManager::Settle();
    mouse.Feed(sim::kReportIdle, sim::ReportOptions::Failed(sim::kUsbdStallPid));
    sim::PnpManager::Settle();

    auto reads = mouse.Class().Reads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].transferLength, 33u);
    EXPECT_EQ(reads[0].bytes.size(), 33u);
    EXPECT_EQ(reads[1].transferLength, 0u);
    EXPECT_TRUE(reads[1].bytes.empty());
    EXPECT_EQ(reads[2].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reads[2].usbdStatus, sim::kUsbdStallPid);
    EXPECT_EQ(mouse.Class().Reports().size(), 2u);
    EXPECT_EQ(mouse.Bus().PendingInterruptReads(), 1u);
}

class SimBufferFormTest : public SimTest, public ::testing::WithParamInterface<sim::BufferForm> {};

TEST_P(SimBufferFormTest, ReportsReachAFilterAndTheClassDriverInEachBufferForm)
{
    auto &pnp = Machine(true);
    sim::MouseConfig config;
    config.bufferForm = GetParam();
    sim::Mouse &mouse = pnp.PlugAndStart(config);
    ASSERT_EQ(mouse.State(), sim::MouseState::Started);

    for (int round = 0; round < 3; ++round) {
        mouse.Feed(sim::kReportPanRight);
        sim::PnpManager::Settle();
    }
    ASSERT_EQ(mouse.Class().Reports().size(), 3u);
    EXPECT_EQ(mouse.Class().Reports()[2].bytes, V(sim::kReportPanRight));
    ASSERT_EQ(peek::g_seen.size(), 3u);
    EXPECT_EQ(peek::g_seen[2], V(sim::kReportPanRight));

    auto reads = mouse.Bus().UrbLog(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(reads.size(), 5u);  // two at the start, one more after each report
    for (const auto &r : reads) {
        switch (GetParam()) {
        case sim::BufferForm::TransferBuffer:
            EXPECT_TRUE(r.hasTransferBuffer);
            EXPECT_FALSE(r.hasMdl);
            break;
        case sim::BufferForm::MdlNonPagedPool:
            EXPECT_TRUE(r.hasMdl && (r.mdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
            break;
        case sim::BufferForm::MdlMapped:
            EXPECT_TRUE(r.hasMdl && (r.mdlFlags & MDL_MAPPED_TO_SYSTEM_VA));
            break;
        case sim::BufferForm::MdlLockedUnmapped:
            EXPECT_TRUE(r.hasMdl && (r.mdlFlags & MDL_PAGES_LOCKED));
            EXPECT_FALSE(r.mdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL));
            break;
        }
        if (GetParam() != sim::BufferForm::TransferBuffer) {
            EXPECT_FALSE(r.hasTransferBuffer);
        }
    }
    EXPECT_EQ(peek::g_mapped, GetParam() == sim::BufferForm::MdlLockedUnmapped);
}

INSTANTIATE_TEST_SUITE_P(Forms, SimBufferFormTest,
                         ::testing::Values(sim::BufferForm::TransferBuffer, sim::BufferForm::MdlNonPagedPool,
                                           sim::BufferForm::MdlMapped, sim::BufferForm::MdlLockedUnmapped));

// ---- the string descriptor 200 -----------------------------------------------------------------
TEST_F(SimTest, StringRequestIsAnsweredAsConfiguredPendingSynchronousOrLate)
{
    auto &pnp = Machine(false);
    sim::Mouse &mouse = pnp.PlugAndStart();
    PDEVICE_OBJECT pdo = mouse.Pdo();
    const int64_t twoSeconds = hk::Ms(2000);

    ProbeResult r = Probe(pdo, twoSeconds);
    EXPECT_EQ(r.dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.length, 5u);
    EXPECT_EQ(r.bytes, V({'S', 'T', 'A', 'R', 'T'}));

    mouse.Bus().SetStringAnswer(sim::UrbAnswer::Stall().Sync());
    r = Probe(pdo, twoSeconds);
    EXPECT_EQ(r.dispatchStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.usbd, sim::kUsbdStallPid);

    mouse.Bus().SetStringAnswer(sim::UrbAnswer::Text("start...").After(hk::Ms(1900)));
    int64_t before = hk::Now();
    r = Probe(pdo, twoSeconds);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.length, 8u);
    EXPECT_EQ(hk::Now() - before, hk::Ms(1900));

    // Too late: cancelled at 2 s; the answer due at 3 s finds nothing left to complete.
    mouse.Bus().SetStringAnswer(sim::UrbAnswer::Text("START").After(hk::Ms(3000)));
    r = Probe(pdo, twoSeconds);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(r.usbd, sim::kUsbdCanceled);
    EXPECT_EQ(r.length, 0u);
    hk::RunUntilIdle();

    auto held = sim::UrbAnswer::HoldUntilCancelled(sim::kUsbdCanceledDdk, STATUS_CANCELLED);
    held.cancelDelay = hk::Ms(500);
    mouse.Bus().SetStringAnswer(held);
    before = hk::Now();
    r = Probe(pdo, twoSeconds);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.usbd, sim::kUsbdCanceledDdk);
    EXPECT_EQ(hk::Now() - before, hk::Ms(2500));
    EXPECT_EQ(mouse.Bus().Counters().urbsCancelled, 2u);

    // A device that ignores the cancel: only ReleaseHeld ends the request.
    mouse.Bus().SetStringAnswer(sim::UrbAnswer::HoldForever());
    mouse.Bus().ReleaseHeld(sim::kUsbdDevNotResponding, STATUS_UNSUCCESSFUL, hk::Ms(5000));
    before = hk::Now();
    r = Probe(pdo, twoSeconds);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.usbd, sim::kUsbdDevNotResponding);
    EXPECT_EQ(hk::Now() - before, hk::Ms(5000));
    EXPECT_EQ(mouse.Bus().Counters().urbsCancelled, 2u);
    EXPECT_EQ(mouse.Bus().StringRequests(), 6u);
}

TEST_F(SimTest, BusReportsAStringRequestWithUnexpectedFields)
{
    auto &pnp = Machine(false);
    sim::Mouse &mouse = pnp.PlugAndStart();
    ProbeResult r = Probe(mouse.Pdo(), hk::Ms(2000), 201);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.usbd, sim::kUsbdInvalidParameter);
    EXPECT_EQ(TakeViolations(sim::kRuleUnexpectedRequest), 1u);
}

// ---- start, stop, removal ----------------------------------------------------------------------
TEST_F(SimTest, StartThatPendsOrFailsIsReportedWithItsFinalStatus)
{
    auto &pnp = Machine(true);
    sim::MouseConfig config;
    config.startAnswers = {{STATUS_SUCCESS, sim::Completion::Pending, hk::Ms(100)}, {STATUS_UNSUCCESSFUL}};
    sim::Mouse &mouse = pnp.Plug(config);
    EXPECT_EQ(pnp.Start(mouse), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), hk::Ms(100));
    EXPECT_EQ(mouse.Class().ReadsInFlight(), 2u);

    // Stop cancels the class driver's reads; the restart fails below, so nothing is fetched again.
    EXPECT_EQ(pnp.Send(mouse, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(mouse.Bus().PendingInterruptReads(), 0u);
    EXPECT_EQ(mouse.Class().Reads().size(), 2u);
    EXPECT_TRUE(mouse.Class().Reads()[0].cancelled);
    EXPECT_EQ(pnp.Start(mouse), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mouse.State(), sim::MouseState::StartFailed);
    EXPECT_EQ(mouse.Class().DescriptorFetches(), 1u);
    EXPECT_EQ(mouse.Class().ReadsInFlight(), 0u);

    // Unknown minors come back with the PnP manager's STATUS_NOT_SUPPORTED untouched.
    EXPECT_EQ(pnp.Send(mouse, 0x18), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pnp.Power(mouse, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
}

TEST_F(SimTest, SurpriseRemovalFailsEveryPendingUrbAndNoReportIsDeliveredAfterIt)
{
    auto &pnp = Machine(true);
    sim::Mouse &mouse = pnp.PlugAndStart();
    sim::Mouse &second = pnp.PlugAndStart();
    EXPECT_EQ(second.Index(), 1u);

    EXPECT_EQ(pnp.Send(mouse, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(mouse.Bus().PendingUrbs(), 0u);
    auto reads = mouse.Class().Reads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(reads[0].usbdStatus, sim::kUsbdDeviceGone);

    mouse.Feed(sim::kReportPanRight);
    second.Feed(sim::kReportPanLeft);
    sim::PnpManager::Settle();
    EXPECT_EQ(mouse.Class().Reports().size(), 0u);
    EXPECT_EQ(mouse.Bus().PendingInterruptReads(), 0u);
    EXPECT_EQ(second.Class().Reports().size(), 1u);

    EXPECT_EQ(pnp.Remove(mouse), STATUS_SUCCESS);
    EXPECT_EQ(pnp.Remove(second, true), STATUS_SUCCESS);
}

TEST_F(SimTest, RemovalWithReadsPendingFailsThemBelowAndLeavesNothingOutstanding)
{
    auto &pnp = Machine(true);
    sim::Mouse &mouse = pnp.PlugAndStart();
    ASSERT_EQ(mouse.Bus().PendingInterruptReads(), 2u);
    EXPECT_EQ(pnp.Remove(mouse), STATUS_SUCCESS);
    EXPECT_EQ(mouse.Bus().Counters().urbsFailedGone, 2u);
    EXPECT_EQ(hk::OutstandingIrps(), 0u);
    EXPECT_EQ(mouse.State(), sim::MouseState::Removed);
}

}  // namespace

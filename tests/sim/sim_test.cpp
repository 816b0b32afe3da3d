// The simulated neighbours on their own: the class driver straight on the bus. (With the filter
// between them they are exercised by the stack tests.) Every kernel rule broken fails the test, and
// the kernel must be clean at the end.
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {



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
    sim::PnpManager &Machine()
    {
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
    auto &pnp = Machine();
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
    auto &pnp = Machine();
    sim::MouseConfig config;
    config.readBufferLength = 40;
    sim::Mouse &mouse = pnp.PlugAndStart(config);
    ASSERT_EQ(mouse.State(), sim::MouseState::Started);

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




// ---- the string descriptor 200 -----------------------------------------------------------------

TEST_F(SimTest, BusReportsAStringRequestWithUnexpectedFields)
{
    auto &pnp = Machine();
    sim::Mouse &mouse = pnp.PlugAndStart();
    ProbeResult r = Probe(mouse.Pdo(), hk::Ms(2000), 201);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.usbd, sim::kUsbdInvalidParameter);
    EXPECT_EQ(TakeViolations(sim::kRuleUnexpectedRequest), 1u);
}

// ---- start, stop, removal ----------------------------------------------------------------------

TEST_F(SimTest, SurpriseRemovalFailsEveryPendingUrbAndNoReportIsDeliveredAfterIt)
{
    auto &pnp = Machine();
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


}  // namespace

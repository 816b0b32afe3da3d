// The shared dispatch routine: its trace of each request, the extra device's open and close, and
// the removal of both device objects with requests still outstanding below.
#include "stack_fixture.h"

namespace stack {
namespace {

class PnpTest : public StackTest {};

TEST_F(PnpTest, PnpRequestsAreTracedByNameAndPassedDownWithTheBusStatus)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    size_t mark = TraceMark();
    pnp_->Send(mouse, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(mouse.Bus().Log().back().minor, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(TraceSince(mark), (Lines{"\n\r Device Lower Filter - IRP_MJ_PNP",
                                       "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_CAPABILITIES)", "\n\r"}));

    // A minor without a row: the major line and the line break only; the bus's answer comes back.
    mouse.Bus().SetPnpStatus(0x18, (NTSTATUS)0xC0000001);
    mark = TraceMark();
    EXPECT_EQ(pnp_->Send(mouse, 0x18), (NTSTATUS)0xC0000001);
    EXPECT_EQ(TraceSince(mark), (Lines{"\n\r Device Lower Filter - IRP_MJ_PNP", "\n\r"}));
    EXPECT_EQ(mouse.Bus().Log().back().minor, 0x18);
}

TEST_F(PnpTest, TheWholeLifeOfAMouseLeavesExactlyThisTrace)
{
    sim::MouseConfig quiet;  // no class traffic after the start, so the trace is the PnP path's alone
    quiet.fetchDescriptor = false;
    quiet.readsOutstanding = 0;
    quiet.stringAnswer = sim::UrbAnswer::HoldUntilCancelled();
    const size_t mark = TraceMark();
    sim::Mouse &mouse = pnp_->PlugAndStart(quiet);
    EXPECT_EQ(pnp_->Send(mouse, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->Remove(mouse), STATUS_SUCCESS);
    EXPECT_EQ(TraceSince(mark),
              Concat({kAddDeviceLines,
                      {"\n\r Device Lower Filter - IRP_MJ_PNP", "\n\r   IRP_MJ_PNP (IRP_MN_START_DEVICE)", "\n\r",
                       "The URB status = USBD_STATUS_CANCELED , Error !! \n", "\n\r-----Vorik Mouse Found",
                       "\n\r Device Lower Filter - IRP_MJ_PNP", "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_REMOVE_DEVICE)", "\n\r",
                       "\n\r Device Lower Filter - IRP_MJ_PNP", "\n\r   IRP_MJ_PNP (IRP_MN_REMOVE_DEVICE)", "\n\r"}}));
    EXPECT_EQ(hk::LivePoolCount(), 0u);
    EXPECT_TRUE(hk::Names().empty()) << "names left behind";
}

TEST_F(PnpTest, MajorCodesWithoutARowPrintTheFallbackLine)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    // Only seven codes reach this routine through the table; route two more to it to see its lines.
    filter_->MajorFunction[IRP_MJ_SHUTDOWN] = CommonDispatch;
    filter_->MajorFunction[IRP_MJ_POWER] = CommonDispatch;
    size_t mark = TraceMark();
    sim::SendRequest(mouse.FilterDevice(), {.major = IRP_MJ_SHUTDOWN});
    EXPECT_EQ(TraceSince(mark), (Lines{"\n\r Device Lower Filter - IRP_MJ_SHUTDOWN", "\n\r"}));
    mark = TraceMark();
    sim::SendRequest(mouse.FilterDevice(), {.major = IRP_MJ_POWER, .minor = IRP_MN_QUERY_POWER});
    EXPECT_EQ(TraceSince(mark), (Lines{"\n\r Device Lower Filter - UNKNOW MAJOR FUNCTION = =", "\n\r"}));
    EXPECT_EQ(mouse.Bus().Log().back().major, IRP_MJ_POWER);
    filter_->MajorFunction[IRP_MJ_SHUTDOWN] = FilterPass;
    filter_->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
}

TEST_F(PnpTest, ExtraDeviceOpensAndClosesAndRefusesEverythingElseWithoutPassingItOn)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    const size_t busRequests = mouse.Bus().Log().size();
    sim::Application app;
    size_t mark = TraceMark();
    ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
    EXPECT_EQ(TraceSince(mark), (Lines{"[DefaultHandler] EXTRA DO"}));
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP}) {
        mark = TraceMark();
        EXPECT_EQ(app.SendMajor(major), HCT_STATUS_INVALID_DEVICE_REQUEST) << int(major);
        EXPECT_EQ(TraceSince(mark), (Lines{"[DefaultHandler] EXTRA DO"}));
    }
    mark = TraceMark();
    EXPECT_EQ(app.Close(), HCT_STATUS_INVALID_DEVICE_REQUEST);  // cleanup refused; the close itself succeeds
    EXPECT_EQ(TraceSince(mark), (Lines{"[DefaultHandler] EXTRA DO", "[DefaultHandler] EXTRA DO"}));
    EXPECT_EQ(mouse.Bus().Log().size(), busRequests);
}

TEST_F(PnpTest, RequestsOnADeviceWithoutRecordAreRefusedSilently)
{
    PDEVICE_OBJECT bare = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\HctBare");
    ASSERT_EQ(IoCreateDevice(filter_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &bare), STATUS_SUCCESS);
    bare->Flags &= ~DO_DEVICE_INITIALIZING;
    const size_t mark = TraceMark();
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
        sim::RequestResult r = sim::SendRequest(bare, {.major = major, .initialInformation = 0x55});
        EXPECT_EQ(r.status, HCT_STATUS_INVALID_PARAMETER) << int(major);
        EXPECT_EQ(r.information, 0u);
    }
    // FilterPass writes its line before it looks at the device; the others write nothing.
    EXPECT_EQ(TraceSince(mark), Lines{});
    sim::SendRequest(bare, {.major = IRP_MJ_FLUSH_BUFFERS});
    EXPECT_EQ(TraceSince(mark), (Lines{"\n\r Device Lower Filter - FilterPass !!"}));
    IoDeleteDevice(bare);
}

TEST_F(PnpTest, SurpriseRemovalReleasesNothingAndTheControlDeviceStillWorks)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    const size_t mark = TraceMark();
    EXPECT_EQ(pnp_->Send(mouse, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    // The bus fails the reads it held; they come back through the completion routine afterwards.
    Lines trace = TraceSince(mark);
    trace.resize(std::min<size_t>(trace.size(), 3));
    EXPECT_EQ(trace, (Lines{"\n\r Device Lower Filter - IRP_MJ_PNP", "\n\r   IRP_MJ_PNP (IRP_MN_SURPRISE_REMOVAL)",
                            "\n\r"}));
    for (const char16_t *name : {u"\\Device\\MClassFilterL0", u"\\DosDevices\\SLN_MClassFilterL1",
                                 u"\\Device\\MouseExtra0", u"\\DosDevices\\SLN_MouseExtra1"})
        EXPECT_TRUE(hk::NameExists(name));
    sim::Application app;
    ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
    EXPECT_EQ(app.TurnOn(), STATUS_SUCCESS);
    EXPECT_EQ(Extension(mouse)->FeatureEnabled, 1);
}

TEST_F(PnpTest, RemovalGoesDownFirstThenTearsDownBothDevices)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    ASSERT_EQ(mouse.Bus().PendingInterruptReads(), 2u);
    const size_t mark = TraceMark();
    EXPECT_EQ(pnp_->Remove(mouse), STATUS_SUCCESS);
    // The reads the bus failed at removal came back through the completion routine before the
    // record went away.
    Lines trace = TraceSince(mark);
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(Lines(trace.begin(), trace.begin() + 3),
              (Lines{"\n\r Device Lower Filter - IRP_MJ_PNP", "\n\r   IRP_MJ_PNP (IRP_MN_REMOVE_DEVICE)", "\n\r"}));
    EXPECT_EQ(mouse.Bus().Log().back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(mouse.Bus().PendingUrbs(), 0u);
    for (const char16_t *name : {u"\\Device\\MClassFilterL0", u"\\DosDevices\\SLN_MClassFilterL1",
                                 u"\\Device\\MouseExtra0", u"\\DosDevices\\SLN_MouseExtra1"})
        EXPECT_FALSE(hk::NameExists(name));
    EXPECT_EQ(hk::LivePoolCount(HCT_POOL_TAG), 0u);
}

TEST_F(PnpTest, RemovalWaitsForReadsTheBusCompletesOnlyLater)
{
    // The class driver cancels nothing and the bus fails its reads from deferred work well after
    // the remove request came back from it: the teardown must wait for those completions, which
    // read the filter's record, before it deletes the record (the address sanitizer watches).
    sim::MouseConfig config;
    config.failHeldAfterRemovalDelay = hk::Ms(10);
    sim::Mouse &mouse = pnp_->PlugAndStart(config);
    sim::Mouse &other = pnp_->PlugAndStart(config);
    sim::Application app;
    ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
    ASSERT_EQ(app.TurnOn(), STATUS_SUCCESS);
    const int64_t before = hk::Now();
    EXPECT_EQ(pnp_->Remove(mouse), STATUS_SUCCESS);
    EXPECT_GE(hk::Now() - before, hk::Ms(10));
    EXPECT_EQ(mouse.Bus().PendingUrbs(), 0u);
    EXPECT_EQ(mouse.Bus().Counters().urbsFailedGone, 2u);
    // The other mouse is untouched by the first one's removal.
    other.Feed(sim::kReportPanRight);
    sim::PnpManager::Settle();
    EXPECT_EQ(other.Class().Reports().back().bytes, (std::vector<uint8_t>{0x00, 0x03, 0xFE, 0x00, 0x01}));
    app.Close();
}

// While removal waits for the reads the bus fails only later, an internal request that reaches the
// filter is refused with STATUS_DELETE_PENDING and goes no further.
TEST_F(PnpTest, InternalRequestArrivingWhileRemovalWaitsIsRefusedWithDeletePending)
{
    sim::MouseConfig config;
    config.failHeldAfterRemovalDelay = hk::Ms(10);
    sim::Mouse &mouse = pnp_->PlugAndStart(config);
    constexpr ULONG kLateCode = 0x00220FFF;
    PDEVICE_OBJECT filter = mouse.FilterDevice();
    sim::RequestResult late{};
    bool sent = false;
    // Virtual time moves only inside the removal's wait: the request arrives once removal has begun.
    hk::Defer([&] {
        late = sim::SendRequest(filter, {.ioControlCode = kLateCode});
        sent = true;
    }, hk::Ms(5));
    const size_t mark = TraceMark();
    EXPECT_EQ(pnp_->Remove(mouse), STATUS_SUCCESS);
    ASSERT_TRUE(sent);
    EXPECT_EQ(late.dispatchStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(late.status, STATUS_DELETE_PENDING);
    const Lines trace = TraceSince(mark);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), std::string("\n\r Device Lower Filter - IRP_MJ_INTERNAL_DEVICE_CONTROL")), 1);
    for (const sim::BusRequest &r : mouse.Bus().Log())
        EXPECT_NE(r.ioControlCode, kLateCode);
}

TEST_F(PnpTest, RemovalAfterSurpriseRemovalAndAfterAFailedStartLeavesNothingBehind)
{
    sim::Mouse &surprised = pnp_->PlugAndStart();
    EXPECT_EQ(pnp_->Remove(surprised, /*surpriseFirst=*/true), STATUS_SUCCESS);
    sim::MouseConfig failing;
    failing.startAnswers = {{.status = STATUS_UNSUCCESSFUL}};
    sim::Mouse &never = pnp_->Plug(failing);
    EXPECT_EQ(pnp_->Start(never), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp_->Remove(never), STATUS_SUCCESS);
    EXPECT_TRUE(hk::Names().empty() || std::none_of(hk::Names().begin(), hk::Names().end(), [](const std::u16string &n) {
                    return n.find(u"MClassFilterL") != std::u16string::npos || n.find(u"MouseExtra") != std::u16string::npos;
                }));
    EXPECT_EQ(hk::LivePoolCount(HCT_POOL_TAG), 0u);
}

}  // namespace
}  // namespace stack

// The shared dispatch routine over a mouse's life: what a surprise removal leaves, and the removal
// of both device objects with requests still outstanding below. Each request kind on its own, with
// its trace and how it goes down: request_kinds_test.cpp.
#include "stack_fixture.h"

namespace stack {
namespace {

class PnpTest : public StackTest {};

TEST_F(PnpTest, SurpriseRemovalReleasesNothingAndTheControlDeviceStillWorks)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    EXPECT_EQ(pnp_->Send(mouse, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    for (const char16_t *name : {u"\\Device\\MClassFilterL0", u"\\DosDevices\\SLN_MClassFilterL1",
                                 u"\\Device\\MouseExtra0", u"\\DosDevices\\SLN_MouseExtra1"})
        EXPECT_TRUE(hk::NameExists(name));
    sim::Application app;
    ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
    EXPECT_EQ(app.TurnOn(), STATUS_SUCCESS);
    EXPECT_EQ(Extension(mouse)->FeatureEnabled, 1);
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

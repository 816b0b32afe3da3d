// Real threads: applications switch the feature while input reports complete on other threads at
// DISPATCH_LEVEL. Built into the ThreadSanitizer run as well: no data race may be reported, and
// every report reaches the class driver either rewritten or unchanged, never half of each.
#include "stack_fixture.h"

#include <atomic>
#include <thread>

namespace stack {
namespace {

class ConcurrencyTest : public StackTest {};

TEST_F(ConcurrencyTest, TogglingWhileReportsCompleteOnOtherThreads)
{
    sim::MouseConfig config;
    config.readsOutstanding = 4;
    config.resubmitIrql = DISPATCH_LEVEL;
    sim::Mouse &mouse = pnp_->PlugAndStart(config);
    hk::SetTraceEnabled(false);  // keeps the run short; the trace is checked elsewhere

    constexpr int kReportsPerFeeder = 300;
    std::atomic<bool> feeding{true};
    std::vector<std::thread> togglers;
    for (int t = 0; t < 2; ++t)
        togglers.emplace_back([&, t] {
            sim::Application app;
            ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
            for (int i = 0; feeding.load(); ++i)
                ASSERT_EQ((i + t) % 2 ? app.TurnOn() : app.TurnOff(), STATUS_SUCCESS);
            app.Close();
        });
    std::vector<std::thread> feeders;
    for (int f = 0; f < 2; ++f)
        feeders.emplace_back([&] {
            for (int i = 0; i < kReportsPerFeeder; ++i) {
                mouse.Feed(i % 2 ? sim::kReportPanLeft : sim::kReportPanRight);
                hk::RunDue();
            }
        });
    for (std::thread &t : feeders)
        t.join();
    feeding = false;
    for (std::thread &t : togglers)
        t.join();
    sim::PnpManager::Settle();
    hk::SetTraceEnabled(true);

    const auto reads = mouse.Class().Reports();
    EXPECT_EQ(reads.size(), 2u * kReportsPerFeeder);
    size_t rewritten = 0;
    for (const sim::ReadRecord &r : reads) {
        ASSERT_EQ(r.bytes.size(), 5u);
        const bool right = r.bytes[4] == 0x01;
        const uint8_t wheel = r.bytes[3];
        EXPECT_TRUE(wheel == 0x00 || wheel == (right ? 0x30 : 0xC0)) << int(wheel);
        rewritten += wheel != 0;
    }
    // Both states were seen while the switch was flipping.
    EXPECT_GT(rewritten, 0u);
    EXPECT_LT(rewritten, reads.size());
}

}  // namespace
}  // namespace stack

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

    // Feeding starts only once each state has been set at least once, so the reports complete while
    // both states exist; which state a given report meets is up to the scheduler and is not asserted.
    constexpr int kReportsPerFeeder = 300;
    std::atomic<bool> feeding{true};
    std::atomic<int> onsSet{0}, offsSet{0}, togglersFailed{0};
    std::vector<std::thread> togglers;
    for (int t = 0; t < 2; ++t)
        togglers.emplace_back([&, t] {
            sim::Application app;
            if (app.Open(1) != STATUS_SUCCESS) {
                ++togglersFailed;
                return;
            }
            for (int i = 0; feeding.load(); ++i) {
                const bool on = (i + t) % 2;
                const NTSTATUS status = on ? app.TurnOn() : app.TurnOff();
                if (status != STATUS_SUCCESS) {
                    ++togglersFailed;
                    break;
                }
                ++(on ? onsSet : offsSet);
            }
            app.Close();
        });
    std::vector<std::thread> feeders;
    for (int f = 0; f < 2; ++f)
        feeders.emplace_back([&] {
            while ((onsSet.load() == 0 || offsSet.load() == 0) && togglersFailed.load() == 0)
                std::this_thread::yield();
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
    ASSERT_EQ(togglersFailed.load(), 0);
    EXPECT_GT(onsSet.load(), 0);
    EXPECT_GT(offsSet.load(), 0);

    // None lost, each one whole: every byte but the wheel as sent, the wheel either untouched or
    // the value for its pan's direction.
    const auto reads = mouse.Class().Reports();
    ASSERT_EQ(reads.size(), 2u * kReportsPerFeeder);
    size_t rights = 0;
    for (const sim::ReadRecord &r : reads) {
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.bytes.size(), 5u);
        const bool right = r.bytes[4] == sim::kReportPanRight[4];
        const auto &sent = right ? sim::kReportPanRight : sim::kReportPanLeft;
        rights += right;
        for (size_t b : {0u, 1u, 2u, 4u})
            EXPECT_EQ(r.bytes[b], sent[b]) << "byte " << b;
        const uint8_t wheel = r.bytes[3];
        EXPECT_TRUE(wheel == 0x00 || wheel == (right ? 0x30 : 0xC0)) << int(wheel);
    }
    EXPECT_EQ(rights, size_t(kReportsPerFeeder));

    // The switch still obeys its last command once the race is over.
    sim::Application app;
    ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
    for (const bool on : {true, false}) {
        ASSERT_EQ(on ? app.TurnOn() : app.TurnOff(), STATUS_SUCCESS);
        mouse.Class().ClearReads();
        mouse.Feed(sim::kReportPanRight);
        sim::PnpManager::Settle();
        ASSERT_EQ(mouse.Class().Reports().size(), 1u);
        EXPECT_EQ(mouse.Class().Reports()[0].bytes[3], on ? 0x30 : 0x00);
    }
    app.Close();
    hk::SetTraceEnabled(true);
}

}  // namespace
}  // namespace stack

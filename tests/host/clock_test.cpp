// The virtual clock, deferred work and dispatcher events, with one test of real threads.
#include "toy.h"

#include <thread>

namespace {

class Clock : public HostTest {};

LARGE_INTEGER Relative(int64_t ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -hk::Ms(ms);
    return t;
}

}  // namespace

TEST_F(Clock, TwoSecondTimeoutCostsNoRealTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(2000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    // Waiting the timeout out in real time would take the whole 2 seconds; any shorter real time
    // shows the clock moved instead, however loaded the machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(hk::Now(), hk::Ms(2000));
    EXPECT_EQ(hk::WaitCalls(), 1u);
}

TEST_F(Clock, TimeoutHookRunsWhenATimedWaitGivesUpButNotForAPoll)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int hooks = 0;
    hk::SetWaitTimeoutHook([&] {
        ++hooks;
        hk::Advance(1);  // work due just after the timeout runs before the caller goes on
    });
    std::string order;
    hk::Defer([&] { order += "late"; }, hk::Ms(100) + 1);
    LARGE_INTEGER timeout = Relative(100), zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(order, "late");
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(hooks, 1);
    hk::SetWaitTimeoutHook(nullptr);
}

TEST_F(Clock, DeferredWorkRunsByTimeThenInTheOrderItWasDeferred)
{
    std::string order;
    hk::Defer([&] { order += 'A'; }, hk::Ms(20));
    hk::Defer([&] { order += 'B'; }, hk::Ms(10));
    hk::Defer([&] { order += 'C'; }, hk::Ms(10));
    hk::Defer([&] { order += 'D'; });
    EXPECT_EQ(hk::DeferredCount(), 4u);
    EXPECT_TRUE(hk::RunDue());
    EXPECT_EQ(order, "D");
    hk::Advance(hk::Ms(15));
    EXPECT_EQ(order, "DBC");
    EXPECT_EQ(hk::Now(), hk::Ms(15));
    hk::RunUntilIdle();
    EXPECT_EQ(order, "DBCA");
    EXPECT_EQ(hk::Now(), hk::Ms(20));
    EXPECT_FALSE(hk::RunDue());
}

TEST_F(Clock, DeferredWorkRunsAtItsIrqlAndWorkItDefersRunsAfterIt)
{
    std::vector<KIRQL> seen;
    hk::Defer([&] {
        seen.push_back(KeGetCurrentIrql());
        hk::Defer([&] { seen.push_back(KeGetCurrentIrql()); }, 0, PASSIVE_LEVEL);
    });
    hk::RunUntilIdle();
    EXPECT_EQ(seen, (std::vector<KIRQL>{DISPATCH_LEVEL, PASSIVE_LEVEL}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Clock, WaitingThreadRunsDueWorkAndStopsTheClockWhenSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    hk::Defer([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }, hk::Ms(10));
    hk::Defer([] {}, hk::Ms(5000));
    LARGE_INTEGER timeout = Relative(2000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), hk::Ms(10));
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(hk::Now(), hk::Ms(2010)) << "work due later than the timeout waits";
    EXPECT_EQ(hk::DeferredCount(), 1u);
    hk::RunUntilIdle();
}

TEST_F(Clock, SynchronizationEventsWakeOneWaitNotificationEventsStaySignalled)
{
    KEVENT sync, note;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&note, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&sync, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&sync, IO_NO_INCREMENT, FALSE), 1) << "returns the previous state";
    KeSetEvent(&note, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&note, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&note), 1);
}

TEST_F(Clock, EventSetByAnotherRealThreadEndsAnUntimedWait)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    int rounds = 0;
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            ++rounds;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (int i = 0; i < 20; ++i) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
    other.join();
    EXPECT_EQ(rounds, 20);
    EXPECT_EQ(hk::Now(), 0);
    EXPECT_TRUE(Rules().empty());
}

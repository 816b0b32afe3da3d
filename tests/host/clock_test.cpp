// The virtual clock, deferred work and dispatcher events.
#include "toy.h"

namespace {

class Clock : public HostTest {};

}  // namespace

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
    LARGE_INTEGER timeout;
    timeout.QuadPart = -hk::Ms(2000);
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


// Requests built with IoBuildDeviceIoControlRequest: they finish by an APC on the building thread,
// which writes the status block, signals the event and frees the IRP -- except for an error
// completed without pending -- and they can be cancelled.
#include "toy.h"

#include <atomic>
#include <thread>

namespace {

class ThreadedIrp : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        iosb_.Status = kUntouched;
        iosb_.Information = 77;
    }

    PIRP Build(PDEVICE_OBJECT target, BOOLEAN internal = TRUE)
    {
        return IoBuildDeviceIoControlRequest(0x220003, target, nullptr, 0, nullptr, 0, internal, &event_, &iosb_);
    }

    static constexpr NTSTATUS kUntouched = static_cast<NTSTATUS>(0x12345678);
    KEVENT event_;
    IO_STATUS_BLOCK iosb_;
};

// A bus that keeps its requests cancelable until the test or deferred work finishes them.
struct Bus {
    PIRP pending = nullptr;
    int cancelled = 0;
    KIRQL irqlInCancel = 0xFF;
    KIRQL cancelIrql = 0xFF;
};
Bus *gBus = nullptr;

VOID NTAPI CancelPending(PDEVICE_OBJECT, PIRP irp)
{
    gBus->irqlInCancel = KeGetCurrentIrql();
    gBus->cancelIrql = irp->CancelIrql;
    ++gBus->cancelled;
    gBus->pending = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

TEST_F(ThreadedIrp, BuiltRequestTakesTheTargetsStackAndCarriesTheCodeInTheNextLocation)
{
    PDEVICE_OBJECT bottom = Bottom();
    PDEVICE_OBJECT top = PassThrough(bottom);
    for (BOOLEAN internal : {TRUE, FALSE}) {
        PIRP irp = Build(top, internal);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, 2);
        EXPECT_EQ(irp->CurrentLocation, 3);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(next->MajorFunction, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x220003u);
        EXPECT_EQ(irp->UserIosb, &iosb_);
        EXPECT_EQ(irp->UserEvent, &event_);
        EXPECT_NE(irp->Tail.Overlay.Thread, nullptr);
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    }
    EXPECT_EQ(hk::OutstandingIrps(), 0u);
}

TEST_F(ThreadedIrp, SuccessCompletedOnTheBuildingThreadIsReportedBeforeCallDriverReturns)
{
    PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 5); });
    PIRP irp = Build(bottom);
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Information, 5u);
    EXPECT_EQ(KeReadStateEvent(&event_), 1);
    EXPECT_EQ(hk::OutstandingIrps(), 0u);
}

TEST_F(ThreadedIrp, ErrorWithoutPendingWritesNoStatusBlockAndSetsNoEvent)
{
    PDEVICE_OBJECT bottom = Bottom(STATUS_UNSUCCESSFUL);
    PIRP irp = Build(bottom);
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(iosb_.Status, kUntouched);
    EXPECT_EQ(KeReadStateEvent(&event_), 0);
    EXPECT_EQ(hk::OutstandingIrps(), 0u) << "freed all the same";
}

TEST_F(ThreadedIrp, ErrorAfterPendingIsReportedThroughTheStatusBlock)
{
    PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        hk::Defer([irp] { Complete(irp, STATUS_UNSUCCESSFUL); }, hk::Ms(10));
        return STATUS_PENDING;
    });
    PIRP irp = Build(bottom);
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hk::Now(), hk::Ms(10));
    EXPECT_EQ(hk::OutstandingIrps(), 0u);
}

TEST_F(ThreadedIrp, CompletionOnAnotherThreadWaitsForTheBuilderToRunItsApc)
{
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = Build(bottom);
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    std::thread completer([&] {
        hk::IrqlScope dispatch(DISPATCH_LEVEL);
        Complete(held, STATUS_SUCCESS, 3);
    });
    completer.join();
    EXPECT_EQ(iosb_.Status, kUntouched) << "the APC runs on the building thread only";
    EXPECT_EQ(hk::OutstandingIrps(), 1u);
    EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb_.Information, 3u);
    EXPECT_EQ(hk::OutstandingIrps(), 0u);
}

TEST_F(ThreadedIrp, TimedOutRequestIsCancelledAtDispatchLevelUnderTheCancelLock)
{
    Bus bus;
    gBus = &bus;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        bus.pending = irp;
        IoSetCancelRoutine(irp, CancelPending);
        return STATUS_PENDING;
    });
    PIRP irp = Build(bottom);
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -hk::Ms(2000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000)) << "virtual time";
    EXPECT_EQ(hk::Now(), hk::Ms(2000));
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bus.cancelled, 1);
    EXPECT_EQ(bus.irqlInCancel, DISPATCH_LEVEL);
    EXPECT_EQ(bus.cancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(iosb_.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(Rules().empty());
    gBus = nullptr;
}

TEST_F(ThreadedIrp, RequestHeldBackByItsRoutineSurvivesCompletionBetweenTimeoutAndCancel)
{
    // The bus finishes at 1.5 s, after the 1 s wait timed out and before the cancel is issued.
    PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        hk::Defer([irp] { Complete(irp, STATUS_SUCCESS); }, hk::Ms(1500));
        return STATUS_PENDING;
    });
    KEVENT routineDone;
    KeInitializeEvent(&routineDone, NotificationEvent, FALSE);
    PIRP irp = Build(bottom);
    IoSetCompletionRoutine(irp, SignalAndKeep, &routineDone, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -hk::Ms(1000);
    ASSERT_EQ(KeWaitForSingleObject(&routineDone, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    hk::Advance(hk::Ms(600));
    EXPECT_FALSE(IoCancelIrp(irp)) << "still ours, nothing left to cancel";
    KeWaitForSingleObject(&routineDone, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb_.Status, kUntouched);
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // hand it back to the I/O manager
    EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event_), 1);
    EXPECT_EQ(hk::OutstandingIrps(), 0u);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(ThreadedIrp, CancellingAfterTheCompletionApcRanTouchesAFreedIrp)
{
    PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        hk::Defer([irp] { Complete(irp, STATUS_SUCCESS); }, hk::Ms(1500));
        return STATUS_PENDING;
    });
    PIRP irp = Build(bottom);
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -hk::Ms(1000);
    ASSERT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    hk::Advance(hk::Ms(600));
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::IrpUsedAfterFree});
    EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);
}

TEST_F(ThreadedIrp, ConcurrentRequestsFromSeveralThreadsAllFinish)
{
    PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode & 4) {
            return Complete(irp, STATUS_SUCCESS, 1);
        }
        IoMarkIrpPending(irp);
        hk::Defer([irp] { Complete(irp, STATUS_SUCCESS, 1); }, hk::Ms(1));
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = PassThrough(bottom);
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                KEVENT event;
                KeInitializeEvent(&event, NotificationEvent, FALSE);
                IO_STATUS_BLOCK iosb{};
                PIRP irp = IoBuildDeviceIoControlRequest(0x220003 | ((i + t) % 2 ? 4 : 0), top, nullptr, 0, nullptr, 0, TRUE,
                                                         &event, &iosb);
                if (IoCallDriver(top, irp) == STATUS_PENDING) {
                    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                }
                done += iosb.Information == 1 ? 1 : 0;
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(done.load(), 100);
    EXPECT_EQ(hk::OutstandingIrps(), 0u);
    EXPECT_TRUE(Rules().empty());
}

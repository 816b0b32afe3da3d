// Requests built with IoBuildDeviceIoControlRequest: they finish by an APC on the building thread,
// which writes the status block, signals the event and frees the IRP -- except for an error
// completed without pending -- and they can be cancelled.
#include "toy.h"

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

// How the I/O manager finishes the request: a success at once, or anything after pending, writes
// the status block and sets the event before the builder goes on; an error at once writes neither.
// The IRP is freed in every case.
TEST_F(ThreadedIrp, StatusBlockAndEventFollowTheWayTheRequestEnded)
{
    struct Case {
        bool pend;
        NTSTATUS status;
        ULONG_PTR information;
        bool reported;
    };
    const Case *now = nullptr;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        if (!now->pend)
            return Complete(irp, now->status, now->information);
        IoMarkIrpPending(irp);
        hk::Defer([irp, c = *now] { Complete(irp, c.status, c.information); }, hk::Ms(10));
        return STATUS_PENDING;
    });
    for (const Case &c : {Case{false, STATUS_SUCCESS, 5, true}, Case{false, STATUS_UNSUCCESSFUL, 0, false},
                          Case{true, STATUS_UNSUCCESSFUL, 2, true}, Case{true, STATUS_SUCCESS, 3, true}}) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.status << (c.pend ? " after pending" : " at once"));
        now = &c;
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        iosb_.Status = kUntouched;
        iosb_.Information = 77;
        PIRP irp = Build(bottom);
        EXPECT_EQ(IoCallDriver(bottom, irp), c.pend ? STATUS_PENDING : c.status);
        if (c.pend)
            EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(iosb_.Status, c.reported ? c.status : kUntouched);
        EXPECT_EQ(iosb_.Information, c.reported ? c.information : 77u);
        EXPECT_EQ(KeReadStateEvent(&event_), c.reported ? 1 : 0);
        EXPECT_EQ(hk::OutstandingIrps(), 0u);
    }
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


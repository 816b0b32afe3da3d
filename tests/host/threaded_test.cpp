// Requests built with IoBuildDeviceIoControlRequest: they finish by an APC on the building thread,
// which writes the status block and signals the event -- except for an error completed without
// pending -- and frees the IRP.
#include "toy.h"

namespace {

class ThreadedIrp : public HostTest {};

}  // namespace

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
    constexpr NTSTATUS kUntouched = static_cast<NTSTATUS>(0x12345678);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
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
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb.Status = kUntouched;
        iosb.Information = 77;
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bottom, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        EXPECT_EQ(IoCallDriver(bottom, irp), c.pend ? STATUS_PENDING : c.status);
        if (c.pend) {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        }
        EXPECT_EQ(iosb.Status, c.reported ? c.status : kUntouched);
        EXPECT_EQ(iosb.Information, c.reported ? c.information : 77u);
        EXPECT_EQ(KeReadStateEvent(&event), c.reported ? 1 : 0);
        EXPECT_EQ(hk::OutstandingIrps(), 0u);
    }
}

// Faults that pass unnoticed on a lenient kernel: each toy driver below commits one, and the test
// shows the rule that names it. Grouped by what the rule protects: who owns a request, what a
// filter may change, the objects a driver waits on or tears down, and the I/O modes.
#include "toy.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

class Ownership : public HostTest {};
class FilterDuties : public HostTest {};
class Teardown : public HostTest {};

VOID NTAPI CompleteAsCancelled(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI OnlySomeMajors(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
        driver->MajorFunction[major] = ToyDispatch;
    }
    return STATUS_SUCCESS;
}

}  // namespace

// ---- fault 1: the request belongs to the drivers below from IoCallDriver until it comes back -----

TEST_F(Ownership, DispatchTouchingTheRequestAfterPassingItDownIsIrpNotOwned)
{
    for (bool pending : {false, true}) {
        PDEVICE_OBJECT bottom = pending ? Device([](PDEVICE_OBJECT, PIRP irp) { return PendAndCompleteLater(irp, STATUS_SUCCESS); })
                                        : Bottom(STATUS_SUCCESS);
        PDEVICE_OBJECT filter = Device(
            [](PDEVICE_OBJECT self, PIRP irp) {
                NTSTATUS status = SkipTo(Ext(self)->lower, irp);
                IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4 = nullptr;  // may be freed by now
                IoCompleteRequest(irp, IO_NO_INCREMENT);                                   // ... or completed again
                return status;
            },
            bottom);
        Sent sent;
        Send(filter, sent);
        EXPECT_EQ(Count(hk::rule::IrpNotOwned), pending ? 4u : 2u);
        EXPECT_EQ(sent.seen.calls, 1) << "the refused completion did not complete it twice";
    }
    EXPECT_EQ(Count(hk::rule::DoubleCompletion), 0u);
}

TEST_F(Ownership, CreatorFreeingARequestStillBelowIsIrpNotOwned)
{
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    Sent sent;
    Send(bottom, sent);
    IoFreeIrp(sent.irp);
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::IrpNotOwned});
    Complete(held, STATUS_SUCCESS);
    IoFreeIrp(sent.irp);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(Ownership, RequestIsPoisonedFromItsFinalCompletionUntilItsCreatorReusesIt)
{
    PDEVICE_OBJECT bottom = Bottom(STATUS_SUCCESS);
    PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    ASSERT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);  // no routine: the walk ran to its end
    EXPECT_DEATH((void)*static_cast<volatile NTSTATUS *>(&irp->IoStatus.Status), "use-after-poison");
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    IoFreeIrp(irp);
    EXPECT_TRUE(Rules().empty());
}

// Complete-at-once: the bus answers inside its dispatch routine, and the creator, which may free the
// request in its completion routine on Windows, gets it back before the filter's IoCallDriver has
// returned. A filter that reads its request after passing it down touches poisoned memory; the
// creator itself, once its own call has returned, and a filter whose routine kept the request, do not.
TEST_F(Ownership, InCompleteAtOnceModeARequestTakenBackByItsCreatorIsPoisonedUntilItsCallReturns)
{
    hk::SetIoMode(hk::IoMode::CompleteAtOnce);
    PDEVICE_OBJECT bottom = Bottom(STATUS_SUCCESS);
    PDEVICE_OBJECT readsAfterCall = Device(
        [](PDEVICE_OBJECT self, PIRP irp) {
            (void)SkipTo(Ext(self)->lower, irp);
            return *static_cast<volatile NTSTATUS *>(&irp->IoStatus.Status);
        },
        bottom);
    EXPECT_DEATH(
        {
            Sent sent;
            Send(readsAfterCall, sent);
        },
        "use-after-poison");

    PDEVICE_OBJECT keepsIt = Device(
        [](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE, TRUE,
                TRUE);
            EXPECT_EQ(IoCallDriver(Ext(self)->lower, irp), STATUS_SUCCESS);
            return Complete(irp, irp->IoStatus.Status);  // its own again: the routine kept it
        },
        bottom);
    for (PDEVICE_OBJECT top : {PassThrough(bottom), keepsIt}) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        Seen seen;
        IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);  // back with its creator: readable again
        IoFreeIrp(irp);
    }
    EXPECT_TRUE(Rules().empty());
}
#endif

// ---- fault 4: a creator's own IRP that came back is freed, not completed --------------------------

TEST_F(Ownership, CreatorCompletingItsOwnIrpAgainIsCreatorCompletedOwnIrp)
{
    PDEVICE_OBJECT bottom = Bottom(STATUS_SUCCESS);
    Sent sent;
    sent.irp = IoAllocateIrp(bottom->StackSize, FALSE);
    IoSetCompletionRoutine(sent.irp, RecordCompletion, &sent.seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bottom, sent.irp), STATUS_SUCCESS);
    ASSERT_EQ(sent.seen.calls, 1);
    IoCompleteRequest(sent.irp, IO_NO_INCREMENT);
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::CreatorCompletedOwnIrp});
    EXPECT_EQ(sent.seen.calls, 1);
    IoFreeIrp(sent.irp);
}

// ---- what a filter may change -----------------------------------------------------------------------

TEST_F(FilterDuties, PnpRequestFailedWithNotSupportedOrChangedOnTheWayIsPnpStatusChanged)
{
    auto leaves = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, irp->IoStatus.Status); };
    PDEVICE_OBJECT bus = Device(leaves);
    PDEVICE_OBJECT refusing = Device([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_NOT_SUPPORTED); }, Device(leaves));
    PDEVICE_OBJECT meddling = Device(
        [](PDEVICE_OBJECT self, PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;  // on a minor it knows nothing of
            return SkipTo(Ext(self)->lower, irp);
        },
        bus);
    Sent refused, changed, honest;
    Send(refusing, refused, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    Send(meddling, changed, IRP_MJ_PNP, 0x42);
    EXPECT_EQ(Rules(), (std::vector<std::string>{hk::rule::PnpStatusChanged, hk::rule::PnpStatusChanged}));
    Send(meddling, honest, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);  // a known minor it may answer
    Send(bus, honest, IRP_MJ_PNP, 0x42);                          // the bottom of the stack leaves it
    EXPECT_EQ(Count(hk::rule::PnpStatusChanged), 2u);
}

TEST_F(FilterDuties, MajorFunctionsLeftToTheIoManagerAreDispatchEntryMissing)
{
    PDRIVER_OBJECT partial = hk::LoadDriver(u"\\Driver\\partial", OnlySomeMajors);
    ASSERT_NE(partial, nullptr);
    PDEVICE_OBJECT bottom = Bottom();
    PDEVICE_OBJECT middle = nullptr;
    ASSERT_EQ(IoCreateDevice(partial, sizeof(ToyExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &middle), STATUS_SUCCESS);
    Dispatch pass = [](PDEVICE_OBJECT self, PIRP irp) { return SkipTo(Ext(self)->lower, irp); };
    Ext(middle)->dispatch = &pass;
    Ext(middle)->lower = IoAttachDeviceToDeviceStack(middle, bottom);
    EXPECT_EQ(Count(hk::rule::DispatchEntryMissing), 2u) << "neither PnP nor power";
    middle->Flags &= ~DO_DEVICE_INITIALIZING;
    PDEVICE_OBJECT top = PassThrough(middle);
    Sent read, internal;
    Send(top, read, IRP_MJ_READ);
    EXPECT_EQ(Count(hk::rule::DispatchEntryMissing), 3u) << "a read refused in the middle of the stack";
    EXPECT_EQ(read.seen.status, STATUS_INVALID_DEVICE_REQUEST);
    Send(top, internal, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(Count(hk::rule::DispatchEntryMissing), 3u);
    IoDetachDevice(middle);
    IoDetachDevice(bottom);
    IoDeleteDevice(middle);
    Ext(top)->lower = nullptr;
    hk::UnloadDriver(partial);
}

TEST_F(FilterDuties, RemoveLockStillHeldWhenTheRequestIsFinishedIsRemoveLockHeldAtReturn)
{
    PDEVICE_OBJECT device = Device([](PDEVICE_OBJECT self, PIRP irp) {
        IoAcquireRemoveLock(&Ext(self)->removeLock, irp);
        return Complete(irp, STATUS_SUCCESS);  // and no release
    });
    IoInitializeRemoveLock(&Ext(device)->removeLock, 'kcoL', 0, 0);
    Sent sent;
    Send(device, sent);
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::RemoveLockHeldAtReturn});
    IoReleaseRemoveLock(&Ext(device)->removeLock, sent.irp);
}

TEST_F(FilterDuties, CancelRoutineSetOnACancelledRequestWithoutATestIsCancelNotRechecked)
{
    auto pend = [](bool recheck) {
        return [recheck](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CompleteAsCancelled);
            if (recheck && irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                Complete(irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        };
    };
    for (bool recheck : {true, false}) {
        PDEVICE_OBJECT device = Device(pend(recheck));
        Sent sent;
        sent.irp = IoAllocateIrp(device->StackSize, FALSE);
        IoSetCompletionRoutine(sent.irp, RecordCompletion, &sent.seen, TRUE, TRUE, TRUE);
        EXPECT_FALSE(IoCancelIrp(sent.irp)) << "nothing to call yet; only the flag is set";
        EXPECT_EQ(IoCallDriver(device, sent.irp), STATUS_PENDING);
        EXPECT_EQ(Count(hk::rule::CancelNotRechecked), recheck ? 0u : 1u);
        EXPECT_EQ(sent.seen.calls, recheck ? 1 : 0);
        if (!recheck) {
            IoSetCancelRoutine(sent.irp, nullptr);
            Complete(sent.irp, STATUS_CANCELLED);
        }
        IoFreeIrp(sent.irp);
    }
}

TEST_F(FilterDuties, BufferedOutputLongerThanTheBufferIsInformationTooLargeAndStillCopied)
{
    Device([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 8); }, nullptr, u"\\Device\\Ctl");
    hk::Handle handle = 0;
    ASSERT_EQ(hk::OpenFile(u"\\Device\\Ctl", &handle), STATUS_SUCCESS);
    char in[16] = "0123456789abcde";
    char out[16] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(hk::DeviceIoControl(handle, CTL_CODE(0x22, 0x800, METHOD_BUFFERED, 0), in, sizeof in, out, 4, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::InformationTooLarge});
    EXPECT_EQ(information, 8u);
    EXPECT_EQ(std::string(out), "01234567") << "eight bytes copied back over a four-byte buffer, as NT does";
    EXPECT_EQ(hk::CloseFile(handle), STATUS_SUCCESS);
}

// ---- objects waited on and torn down ----------------------------------------------------------------

TEST_F(Teardown, WaitingOnOrSettingAnEventNeverInitialisedIsEventNotInitialized)
{
    KEVENT garbage;
    memset(&garbage, 0, sizeof garbage);  // zeroed pool looks like a notification event, but is none
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, &zero), STATUS_INVALID_PARAMETER);
    KeSetEvent(&garbage, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(garbage.SignalState, 0);
    EXPECT_EQ(Count(hk::rule::EventNotInitialized), 2u);
    KeInitializeEvent(&garbage, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(Count(hk::rule::EventNotInitialized), 2u);
}

TEST_F(Teardown, DeletingTheDeviceBeforeTheRemoveRequestCameBackIsDeleteBeforeRemoveReturned)
{
    PDEVICE_OBJECT bus = Bottom(STATUS_SUCCESS);
    auto remover = [](bool early) {
        return [early](PDEVICE_OBJECT self, PIRP irp) {
            PDEVICE_OBJECT lower = Ext(self)->lower;
            if (early) {
                IoDetachDevice(lower);
                IoDeleteDevice(self);
                return SkipTo(lower, irp);
            }
            NTSTATUS status = SkipTo(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(self);
            return status;
        };
    };
    for (bool early : {false, true}) {
        PDEVICE_OBJECT filter = Device(remover(early), bus);
        Sent sent;
        Send(filter, sent, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        EXPECT_TRUE(hk::IsDeleted(filter));
        EXPECT_EQ(Count(hk::rule::DeleteBeforeRemoveReturned), early ? 1u : 0u);
    }
}

// ---- I/O modes ----------------------------------------------------------------------------------------

class Modes : public HostTest {};

TEST_F(Modes, CrossThreadWorkRunsOnTheLayersOwnThreadAtDispatchLevel)
{
    hk::SetIoMode(hk::IoMode::CrossThread, 7);
    const auto self = std::this_thread::get_id();
    std::atomic<int> ran{0};
    std::atomic<bool> elsewhere{true};
    for (int i = 0; i < 20; ++i) {
        hk::Defer(
            [&] {
                elsewhere = elsewhere && std::this_thread::get_id() != self && KeGetCurrentIrql() == DISPATCH_LEVEL;
                ++ran;
            },
            i % 3 == 0 ? 0 : hk::Ms(i));
    }
    hk::RunUntilIdle();
    EXPECT_EQ(ran.load(), 20);
    EXPECT_TRUE(elsewhere.load());
    EXPECT_EQ(hk::Now(), hk::Ms(19));
    hk::SetIoMode(hk::IoMode::Normal);
}

TEST_F(Modes, ForcePendingHoldsASimulatedDriversCompletionUntilDeferredWorkRuns)
{
    PDEVICE_OBJECT bottom = Bottom(STATUS_SUCCESS);
    PDEVICE_OBJECT filter = Watch(bottom, [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        if (irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return STATUS_CONTINUE_COMPLETION;
    });
    hk::MarkSimulated(driver_);
    hk::SetIoMode(hk::IoMode::ForcePending);
    Sent sent;
    sent.irp = IoAllocateIrp(filter->StackSize, FALSE);
    IoSetCompletionRoutine(sent.irp, RecordCompletion, &sent.seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(filter, sent.irp), STATUS_PENDING);
    EXPECT_EQ(sent.seen.calls, 0);
    hk::RunUntilIdle();
    EXPECT_EQ(sent.seen.calls, 1);
    EXPECT_TRUE(sent.seen.pendingReturned);
    EXPECT_EQ(sent.seen.status, STATUS_SUCCESS);
    IoFreeIrp(sent.irp);
    EXPECT_TRUE(Rules().empty());
}

// ---- fault 6: a power request's next one is started while the location is still the caller's ----

TEST_F(FilterDuties, StartingTheNextPowerIrpAfterTheSkipOrThePassDownIsStartNextPowerIrpOffLocation)
{
    enum class Order { StartSkipCall, SkipStartCall, SkipCallStart, CopyCallStart, CompleteThenStart };
    struct Case {
        Order order;
        size_t reports;
    };
    for (const Case c : {Case{Order::StartSkipCall, 0}, Case{Order::SkipStartCall, 1}, Case{Order::SkipCallStart, 1},
                         Case{Order::CopyCallStart, 1}, Case{Order::CompleteThenStart, 1}}) {
        const size_t before = Count(hk::rule::StartNextPowerIrpOffLocation);
        PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, STATUS_SUCCESS);
        });
        PDEVICE_OBJECT filter = Device(
            [order = c.order](PDEVICE_OBJECT self, PIRP irp) {
                PDEVICE_OBJECT lower = Ext(self)->lower;
                NTSTATUS status = STATUS_SUCCESS;
                switch (order) {
                case Order::StartSkipCall:
                    PoStartNextPowerIrp(irp);
                    IoSkipCurrentIrpStackLocation(irp);
                    return PoCallDriver(lower, irp);
                case Order::SkipStartCall:
                    IoSkipCurrentIrpStackLocation(irp);
                    PoStartNextPowerIrp(irp);  // the location is the lower driver's now
                    return PoCallDriver(lower, irp);
                case Order::SkipCallStart:
                    IoSkipCurrentIrpStackLocation(irp);
                    status = PoCallDriver(lower, irp);
                    PoStartNextPowerIrp(irp);  // sent down: not this driver's any more
                    return status;
                case Order::CopyCallStart:
                    IoCopyCurrentIrpStackLocationToNext(irp);
                    status = PoCallDriver(lower, irp);
                    PoStartNextPowerIrp(irp);
                    return status;
                case Order::CompleteThenStart:
                    status = Complete(irp, STATUS_SUCCESS);
                    PoStartNextPowerIrp(irp);
                    return status;
                }
                return status;
            },
            bottom);
        Sent sent;
        Send(filter, sent, IRP_MJ_POWER, IRP_MN_SET_POWER);
        EXPECT_EQ(sent.seen.calls, 1);
        EXPECT_EQ(sent.seen.status, STATUS_SUCCESS);
        EXPECT_EQ(Count(hk::rule::StartNextPowerIrpOffLocation) - before, c.reports) << "order " << int(c.order);
    }
    // Reported under its own name only: the late calls are not also IrpNotOwned.
    EXPECT_EQ(Count(hk::rule::IrpNotOwned), 0u);
}

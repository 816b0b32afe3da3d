// Stack geometry of IoCallDriver / IoCompleteRequest, completion routine invocation and pending
// propagation, as the NT I/O manager does them.
#include "toy.h"

namespace {

class IrpGeometry : public HostTest {};
class Completion : public HostTest {};

PIO_STACK_LOCATION Array(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    ++*static_cast<int *>(context);
    return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

TEST_F(IrpGeometry, AllocatedIrpStartsPastTheArrayAndEachCallMovesOneLocationDown)
{
    struct Look {
        int location;
        PIO_STACK_LOCATION current;
        PDEVICE_OBJECT device;
    };
    std::vector<Look> looks;
    auto look = [&](PIRP irp) {
        looks.push_back({irp->CurrentLocation, IoGetCurrentIrpStackLocation(irp), IoGetCurrentIrpStackLocation(irp)->DeviceObject});
    };
    int marker = 0;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        look(irp);
        IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument2 = &marker;
        return Complete(irp, STATUS_SUCCESS);
    });
    // The top driver's routine runs on its own location, with its own device object, once the
    // location below it was cleared.
    struct Observed {
        PDEVICE_OBJECT device = nullptr;
        PIO_STACK_LOCATION current = nullptr;
        IO_STACK_LOCATION lower{};
    } observed;
    PDEVICE_OBJECT top = Device(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            look(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT device, PIRP irp, PVOID context) -> NTSTATUS {
                    auto *o = static_cast<Observed *>(context);
                    o->device = device;
                    o->current = IoGetCurrentIrpStackLocation(irp);
                    o->lower = o->current[-1];
                    return STATUS_CONTINUE_COMPLETION;
                },
                &observed, TRUE, TRUE, TRUE);
            return IoCallDriver(Ext(self)->lower, irp);
        },
        bottom);
    ASSERT_EQ(top->StackSize, 2);

    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation, Array(irp) + 2);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), Array(irp) + 1);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoGetNextIrpStackLocation(irp)->MinorFunction = 9;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &marker;
    Seen seen;
    IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);

    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    ASSERT_EQ(looks.size(), 2u);
    EXPECT_EQ(looks[0].location, 2);
    EXPECT_EQ(looks[0].current, Array(irp) + 1);
    EXPECT_EQ(looks[0].device, top);
    EXPECT_EQ(looks[1].location, 1);
    EXPECT_EQ(looks[1].current, Array(irp));
    EXPECT_EQ(looks[1].device, bottom);
    EXPECT_EQ(observed.device, top);
    EXPECT_EQ(observed.current, Array(irp) + 1);
    EXPECT_EQ(observed.lower.MinorFunction, 0);
    EXPECT_EQ(observed.lower.Parameters.Others.Argument1, nullptr);
    EXPECT_EQ(observed.lower.Parameters.Others.Argument2, nullptr);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.device, nullptr) << "the creator owns no location and gets no device object";
    EXPECT_EQ(irp->CurrentLocation, 3);
    IoFreeIrp(irp);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(IrpGeometry, CallingDownFromTheLowestLocationReportsNoMoreStackLocations)
{
    PDEVICE_OBJECT bottom = Bottom();
    PDEVICE_OBJECT top = Device(
        [](PDEVICE_OBJECT self, PIRP irp) {
            // Forgot to copy or skip: the lower driver would need a location below this one.
            NTSTATUS status = IoCallDriver(Ext(self)->lower, irp);
            return Complete(irp, status);
        },
        bottom);
    Seen seen;
    PIRP irp = IoAllocateIrp(1, FALSE);  // one location too few for this stack
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    EXPECT_EQ(Count(hk::rule::NoMoreStackLocations), 1u);
    EXPECT_EQ(seen.calls, 1);
    IoFreeIrp(irp);
}

TEST_F(IrpGeometry, CopyToNextStopsBeforeTheRoutineAndSetCompletionRoutineWritesOnlyInvokeBits)
{
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);  // now owner of location 2, as a driver in its dispatch routine
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    int marker = 0;
    current->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    current->MinorFunction = 7;
    current->Flags = 3;
    current->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
    current->Parameters.Others.Argument1 = &marker;
    current->DeviceObject = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
    current->FileObject = reinterpret_cast<PFILE_OBJECT>(0x2000);
    current->CompletionRoutine = RecordCompletion;
    current->Context = &marker;

    IoCopyCurrentIrpStackLocationToNext(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next, current - 1);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(next->MinorFunction, 7);
    EXPECT_EQ(next->Flags, 3);
    EXPECT_EQ(next->Control, 0) << "the copy clears Control";
    EXPECT_EQ(next->Parameters.Others.Argument1, &marker);
    EXPECT_EQ(next->DeviceObject, current->DeviceObject);
    EXPECT_EQ(next->FileObject, current->FileObject);
    EXPECT_EQ(next->CompletionRoutine, nullptr) << "the upper driver's routine must not be copied";
    EXPECT_EQ(next->Context, nullptr);

    next->Control = 0xFF;
    IoSetCompletionRoutine(irp, RecordCompletion, &marker, TRUE, FALSE, TRUE);
    EXPECT_EQ(next->Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL);
    EXPECT_EQ(next->CompletionRoutine, RecordCompletion);
    EXPECT_EQ(next->Context, &marker);

    current->Control = 0;
    IoMarkIrpPending(irp);
    EXPECT_EQ(current->Control, SL_PENDING_RETURNED);
    EXPECT_EQ(next->Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL);
    IoFreeIrp(irp);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(Completion, RoutineIsInvokedByTheCurrentStatusSeverityAndTheCancelFlag)
{
    struct Case {
        NTSTATUS status;
        bool cancelled;
        bool onSuccess, onError, onCancel;
        bool invoked;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_TIMEOUT, false, true, false, false, true},               // informational counts as success
        {static_cast<NTSTATUS>(0x80000005), false, true, false, false, false},  // a warning is not success
        {static_cast<NTSTATUS>(0x80000005), false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {STATUS_CANCELLED, false, false, false, true, false},  // keyed on the Cancel flag, not the status
        {STATUS_SUCCESS, true, false, false, true, true},
        {STATUS_SUCCESS, false, false, true, true, false},
    };
    const Case *now = nullptr;
    int filterCalls = 0;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, now->status); });
    PDEVICE_OBJECT filter = Device(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, PropagatePending, &filterCalls, now->onSuccess, now->onError, now->onCancel);
            return IoCallDriver(Ext(self)->lower, irp);
        },
        bottom);
    for (const Case &c : cases) {
        now = &c;
        filterCalls = 0;
        Seen seen;
        PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
        IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
        if (c.cancelled) {
            EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine: only the flag is set";
            EXPECT_TRUE(irp->Cancel);
        }
        EXPECT_EQ(IoCallDriver(filter, irp), c.status);
        EXPECT_EQ(filterCalls, c.invoked ? 1 : 0) << "status " << std::hex << c.status << " cancelled " << c.cancelled;
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.status, c.status);
        IoFreeIrp(irp);
    }
    EXPECT_TRUE(Rules().empty());
}

TEST_F(Completion, StatusChangedByALowerRoutineDecidesWhichUpperRoutinesRun)
{
    struct Fail {
        static NTSTATUS NTAPI Run(PDEVICE_OBJECT, PIRP irp, PVOID)
        {
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            return STATUS_CONTINUE_COMPLETION;
        }
    };
    int onErrorCalls = 0;
    PDEVICE_OBJECT bottom = Bottom(STATUS_SUCCESS);
    PDEVICE_OBJECT upper = Watch(Watch(bottom, Fail::Run), PropagatePending, &onErrorCalls, FALSE, TRUE, FALSE);
    Sent sent;
    Send(upper, sent);
    EXPECT_EQ(onErrorCalls, 1);
    EXPECT_EQ(sent.seen.status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Rules().empty()) << "passing on IoCallDriver's status is right even when a routine changed the IRP's";
}

TEST_F(Completion, KernelPropagatesPendingOnlyWhereNoRoutineRuns)
{
    int routineCalls = 0;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) { return PendAndCompleteLater(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT skipper = PassThrough(bottom);
    PDEVICE_OBJECT top = PassThrough(Watch(skipper, PropagatePending, &routineCalls));
    Sent sent;
    Send(top, sent);
    EXPECT_EQ(sent.status, STATUS_PENDING);
    EXPECT_EQ(routineCalls, 1);
    EXPECT_EQ(sent.seen.calls, 1);
    EXPECT_TRUE(sent.seen.pendingReturned);
    EXPECT_TRUE(Rules().empty());
}

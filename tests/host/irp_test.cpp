// Stack geometry of IoCallDriver / IoCompleteRequest, completion routine invocation and pending
// propagation, as the NT I/O manager does them.
#include "toy.h"

#include <cstring>

namespace {

class IrpGeometry : public HostTest {};
class Completion : public HostTest {};

PIO_STACK_LOCATION Array(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

// A new driver-allocated IRP with a recording creator routine, sent to `device`.
NTSTATUS SendNew(PDEVICE_OBJECT device, Seen &seen, PIRP *sent = nullptr)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device, irp);
    if (sent != nullptr) {
        *sent = irp;
    }
    return status;
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

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
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        look(irp);
        return Complete(irp, STATUS_SUCCESS);
    });
    PDEVICE_OBJECT top = Device(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            look(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
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

TEST_F(Completion, RoutineRunsOnItsOwnLocationAfterTheLowerOneWasCleared)
{
    int marker = 0;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument2 = &marker;
        return Complete(irp, STATUS_SUCCESS);
    });
    struct Observed {
        PDEVICE_OBJECT device = nullptr;
        PIO_STACK_LOCATION current = nullptr;
        PVOID lowerArgument1 = nullptr;
        PVOID lowerArgument2 = nullptr;
        UCHAR lowerMinor = 0xFF;
    } observed;
    struct Routine {
        static NTSTATUS NTAPI Run(PDEVICE_OBJECT device, PIRP irp, PVOID context)
        {
            auto *o = static_cast<Observed *>(context);
            o->device = device;
            o->current = IoGetCurrentIrpStackLocation(irp);
            o->lowerArgument1 = (o->current - 1)->Parameters.Others.Argument1;
            o->lowerArgument2 = (o->current - 1)->Parameters.Others.Argument2;
            o->lowerMinor = (o->current - 1)->MinorFunction;
            return STATUS_CONTINUE_COMPLETION;
        }
    };
    PIO_STACK_LOCATION filterLocation = nullptr;
    PDEVICE_OBJECT filter = Device(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            filterLocation = IoGetCurrentIrpStackLocation(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Routine::Run, &observed, TRUE, TRUE, TRUE);
            return IoCallDriver(Ext(self)->lower, irp);
        },
        bottom);
    Seen seen;
    PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 9;
    next->Parameters.Others.Argument1 = &marker;
    IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
    IoCallDriver(filter, irp);
    EXPECT_EQ(observed.device, filter);
    EXPECT_EQ(observed.current, filterLocation);
    EXPECT_EQ(observed.lowerArgument1, nullptr);
    EXPECT_EQ(observed.lowerArgument2, nullptr);
    EXPECT_EQ(observed.lowerMinor, 0);
    IoFreeIrp(irp);
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
    PDEVICE_OBJECT lower = Device(
        [](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Fail::Run, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(Ext(self)->lower, irp);
        },
        bottom);
    PDEVICE_OBJECT upper = Device(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, PropagatePending, &onErrorCalls, FALSE, TRUE, FALSE);
            return IoCallDriver(Ext(self)->lower, irp);
        },
        lower);
    Seen seen;
    PIRP irp = nullptr;
    SendNew(upper, seen, &irp);
    EXPECT_EQ(onErrorCalls, 1);
    EXPECT_EQ(seen.status, STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
    EXPECT_TRUE(Rules().empty()) << "passing on IoCallDriver's status is right even when a routine changed the IRP's";
}

TEST_F(Completion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain)
{
    std::vector<std::string> order;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) { return PendAndCompleteLater(irp, STATUS_SUCCESS); });
    // The start-device shape: forward, wait for the routine, then complete it upward.
    PDEVICE_OBJECT filter = Device(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, SignalAndKeep, &event, TRUE, TRUE, TRUE);
            if (IoCallDriver(Ext(self)->lower, irp) == STATUS_PENDING) {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            }
            order.push_back("filter has it back");
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        },
        bottom);
    Seen seen;
    PIRP irp = nullptr;
    EXPECT_EQ(SendNew(filter, seen, &irp), STATUS_SUCCESS);
    EXPECT_EQ(order.size(), 1u);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_FALSE(seen.pendingReturned) << "the filter returned its own status, not STATUS_PENDING";
    IoFreeIrp(irp);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(Completion, KernelPropagatesPendingOnlyWhereNoRoutineRuns)
{
    int routineCalls = 0;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) { return PendAndCompleteLater(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT skipper = PassThrough(bottom);
    PDEVICE_OBJECT filter = Device(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, PropagatePending, &routineCalls, TRUE, TRUE, TRUE);
            return IoCallDriver(Ext(self)->lower, irp);
        },
        skipper);
    PDEVICE_OBJECT top = PassThrough(filter);
    Seen seen;
    PIRP irp = nullptr;
    EXPECT_EQ(SendNew(top, seen, &irp), STATUS_PENDING);
    EXPECT_EQ(seen.calls, 0);
    hk::RunUntilIdle();
    EXPECT_EQ(routineCalls, 1);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_TRUE(seen.pendingReturned);
    IoFreeIrp(irp);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(Completion, MajorsADriverLeftEmptyAreRefusedAsInvalidDeviceRequests)
{
    PDRIVER_OBJECT bare = hk::LoadDriver(u"\\Driver\\bare", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
        return STATUS_SUCCESS;
    });
    ASSERT_NE(bare, nullptr);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_EQ(device->DeviceExtension, nullptr);
    Seen seen;
    PIRP irp = nullptr;
    EXPECT_EQ(SendNew(device, seen, &irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(seen.status, STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
    hk::UnloadDriver(bare);
    EXPECT_TRUE(Rules().empty());
}

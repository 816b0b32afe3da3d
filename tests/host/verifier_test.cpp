// Each verifier rule fires on a small driver broken in that one way, and the well-behaved shapes
// of the same requests report nothing.
#include "toy.h"

#include <optional>

namespace {

class Verifier : public HostTest {};

NTSTATUS NTAPI ContinueWithoutPropagating(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_CONTINUE_COMPLETION; }

NTSTATUS NTAPI MarkOnCreatorLevel(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);  // wrong here: the creator has no location
    }
    ++*static_cast<int *>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

}  // namespace

// One request sent to a toy stack (a device, and a second one on top where given) that breaks one
// rule: the rules reported for it, and what the creator's routine saw.
TEST_F(Verifier, EachFaultOfOneRequestReportsItsRules)
{
    using namespace hk::rule;
    std::optional<hk::IrqlScope> raised;
    PIRP held = nullptr;
    const Dispatch pends = [](PDEVICE_OBJECT, PIRP irp) { return PendAndCompleteLater(irp, STATUS_SUCCESS); };
    // On top of the faulty device: nothing, a pass-through, a pass-through returning its own status,
    // a filter whose routine ignores PendingReturned.
    enum class Top { None, Pass, Lies, Watch };
    struct Row {
        std::vector<std::string> rules;
        Dispatch bottom;
        Top top = Top::None;
        std::optional<bool> pendingReturned = std::nullopt;
        std::optional<NTSTATUS> returned = std::nullopt;
        int calls = 1;  // of the creator's routine
    };
    const Row rows[] = {
        {{DoubleCompletion},
         [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return Complete(irp, STATUS_SUCCESS);
         }},
        {{CompleteWithPending},
         [](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_PENDING;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return Complete(irp, STATUS_SUCCESS);
         }},
        {{PendingNotMarked},
         [](PDEVICE_OBJECT, PIRP irp) {
             hk::Defer([irp] { Complete(irp, STATUS_SUCCESS); }, hk::Ms(5));
             return STATUS_PENDING;
         },
         Top::None, false},
        {{PendingNotMarked},
         [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         }},
        {{PendingMarkedNotReturned},
         [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return Complete(irp, STATUS_SUCCESS);
         }},
        {{PendingMarkedNotReturned, NotCompletedNotPending},  // the second: it still holds the request
         [](PDEVICE_OBJECT, PIRP irp) {
             PendAndCompleteLater(irp, STATUS_SUCCESS);
             return STATUS_SUCCESS;
         }},
        {{StatusMismatch},  // once, against the completing driver
         [](PDEVICE_OBJECT, PIRP irp) {
             Complete(irp, STATUS_UNSUCCESSFUL);
             return STATUS_SUCCESS;
         },
         Top::Pass},
        {{PassThroughStatusChanged}, [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }, Top::Lies},
        // It shares the pended location, and the request is still below when it returns.
        {{PassThroughStatusChanged, PendingMarkedNotReturned, NotCompletedNotPending}, pends, Top::Lies},
        {{PendingNotPropagated}, pends, Top::Watch, std::nullopt, STATUS_PENDING},
        {{IrqlNotRestored},
         [&](PDEVICE_OBJECT, PIRP irp) {
             raised.emplace(DISPATCH_LEVEL);
             return Complete(irp, STATUS_SUCCESS);
         }},
        {{CancelRoutineSetAtCompletion},
         [](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, IgnoreCancel);
             return Complete(irp, STATUS_SUCCESS);
         }},
        {{NotCompletedNotPending},
         [&](PDEVICE_OBJECT, PIRP irp) {
             held = irp;
             return STATUS_SUCCESS;
         },
         Top::None, std::nullopt, std::nullopt, 0},
        {{IrpNotOwned},
         [](PDEVICE_OBJECT, PIRP irp) {
             NTSTATUS status = Complete(irp, STATUS_SUCCESS);
             IoMarkIrpPending(irp);  // too late: the request is on its way up
             return status;
         },
         Top::None, false},
    };
    for (const Row &row : rows) {
        const size_t before = hk::Violations().size();
        PDEVICE_OBJECT bottom = Device(row.bottom);
        PDEVICE_OBJECT top = row.top == Top::None    ? bottom
                             : row.top == Top::Pass  ? PassThrough(bottom)
                             : row.top == Top::Watch ? Watch(bottom, ContinueWithoutPropagating)
                                                     : Device(
                                                           [](PDEVICE_OBJECT self, PIRP irp) {
                                                               SkipTo(Ext(self)->lower, irp);
                                                               return STATUS_UNSUCCESSFUL;
                                                           },
                                                           bottom);
        Sent sent;
        Send(top, sent);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller gets its IRQL back";
        raised.reset();
        std::vector<std::string> rules = Rules();
        rules.erase(rules.begin(), rules.begin() + static_cast<ptrdiff_t>(before));
        std::vector<std::string> expected = row.rules;
        std::sort(rules.begin(), rules.end());
        std::sort(expected.begin(), expected.end());
        SCOPED_TRACE(row.rules.front());
        EXPECT_EQ(rules, expected);
        EXPECT_EQ(sent.seen.calls, row.calls);
        if (sent.seen.calls == 0) {
            Complete(held, STATUS_SUCCESS);
            IoFreeIrp(sent.irp);
        }
        if (row.pendingReturned) {
            EXPECT_EQ(bool(sent.seen.pendingReturned), *row.pendingReturned);
        }
        if (row.returned) {
            EXPECT_EQ(sent.status, *row.returned);
        }
    }
}

TEST_F(Verifier, CreatorRoutineMarkingPendingIsMarkPendingOnCreatorLocation)
{
    PDEVICE_OBJECT bottom = Device([](PDEVICE_OBJECT, PIRP irp) { return PendAndCompleteLater(irp, STATUS_SUCCESS); });
    int calls = 0;
    PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
    IoSetCompletionRoutine(irp, MarkOnCreatorLevel, &calls, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    hk::RunUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::MarkPendingOnCreatorLocation});
    IoFreeIrp(irp);
}

TEST_F(Verifier, ServicesCalledAboveTheirIrqlAreIrqlTooHigh)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{}, oneMs{};
    oneMs.QuadPart = -hk::Ms(1);
    PDEVICE_OBJECT device = nullptr;
    PVOID paged = nullptr;
    {
        hk::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
        EXPECT_TRUE(Rules().empty()) << "a zero timeout may be polled at DISPATCH_LEVEL";
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneMs);
        paged = ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
        IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    {
        hk::IrqlScope apc(APC_LEVEL);
        UNICODE_STRING number{0, 0, nullptr};
        RtlIntegerToUnicodeString(5, 10, &number);
    }
    EXPECT_EQ(Count(hk::rule::IrqlTooHigh), 4u);
    ExFreePool(paged);
    IoDeleteDevice(device);
}

TEST_F(Verifier, ThreadedIrpsBelongToTheIoManager)
{
    PDEVICE_OBJECT bottom = Bottom(STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bottom, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::ThreadedIrpFreed});
    EXPECT_EQ(hk::OutstandingIrps(), 1u) << "the free was refused";

    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_SUCCESS);
    EXPECT_EQ(hk::OutstandingIrps(), 0u) << "the completion APC freed it";
    EXPECT_FALSE(IoCancelIrp(irp));
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(Count(hk::rule::IrpUsedAfterFree), 1u);
    EXPECT_EQ(Count(hk::rule::DoubleCompletion), 1u);
}

TEST_F(Verifier, DeviceLifecycleMistakesAreReportedAndNotCarriedOut)
{
    PDEVICE_OBJECT bottom = Bottom();
    PDEVICE_OBJECT top = PassThrough(bottom);
    IoDeleteDevice(bottom);  // still has `top` attached
    IoDeleteDevice(top);     // never detached from `bottom`
    EXPECT_EQ(Count(hk::rule::DeleteAttachedDevice), 2u);
    EXPECT_FALSE(hk::IsDeleted(bottom));
    EXPECT_FALSE(hk::IsDeleted(top));

    IoDetachDevice(bottom);
    IoDetachDevice(bottom);
    EXPECT_EQ(Count(hk::rule::DetachNotAttached), 1u);
    IoDeleteDevice(top);
    IoDeleteDevice(top);
    EXPECT_EQ(Count(hk::rule::DeleteDeletedDevice), 1u);

    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Count(hk::rule::InvalidDeviceObject), 1u);
    EXPECT_EQ(irp->CurrentLocation, 3) << "nothing was sent";
    IoFreeIrp(irp);
}

TEST_F(Verifier, PoolMisuseIsReportedAndTheBadFreeIsNotPerformed)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, 'looP');
    int local = 0;
    ExFreePool(&local);
    ExFreePoolWithTag(block, 'gnrW');
    EXPECT_EQ(hk::LivePoolCount(), 1u);
    ExFreePool(block);
    ExFreePool(block);
    EXPECT_EQ(Count(hk::rule::BadPoolFree), 3u);
    PVOID empty = ExAllocatePoolWithTag(NonPagedPool, 0, 'looP');
    EXPECT_EQ(Count(hk::rule::ZeroPoolAllocation), 1u);
    ExFreePool(empty);
    EXPECT_EQ(hk::PoolFrees(), 2u);
}

TEST_F(Verifier, RemoveLockMisuseIsReported)
{
    PDEVICE_OBJECT device = Bottom();
    PIO_REMOVE_LOCK lock = &Ext(device)->removeLock;
    int user = 0, stranger = 0, remover = 0;
    IoInitializeRemoveLock(lock, 'kcoL', 0, 0);
    EXPECT_EQ(lock->IoCount, 1);
    ASSERT_EQ(IoAcquireRemoveLock(lock, &user), STATUS_SUCCESS);
    IoReleaseRemoveLock(lock, &stranger);  // never acquired with this tag
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::RemoveLockMisuse});
    // The stray release counted as on NT: the removal goes through while `user` still holds the lock.
    ASSERT_EQ(IoAcquireRemoveLock(lock, &remover), STATUS_SUCCESS);
    const uint64_t waits = hk::WaitCalls();
    IoReleaseRemoveLockAndWait(lock, &remover);
    EXPECT_EQ(hk::WaitCalls(), waits);
    EXPECT_EQ(lock->IoCount, 0);
    IoReleaseRemoveLock(lock, &user);

    PDEVICE_OBJECT held = Bottom();
    IoInitializeRemoveLock(&Ext(held)->removeLock, 'kcoL', 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&Ext(held)->removeLock, &user), STATUS_SUCCESS);
    const size_t before = Count(hk::rule::RemoveLockMisuse);
    IoDeleteDevice(held);  // while `user` holds its lock
    EXPECT_EQ(Count(hk::rule::RemoveLockMisuse), before + 1);
    EXPECT_TRUE(hk::IsDeleted(held));
}

TEST_F(Verifier, RemoveLockWaitWithoutHoldingIsMisuseAndLaterAcquiresFail)
{
    PDEVICE_OBJECT device = Bottom();
    PIO_REMOVE_LOCK lock = &Ext(device)->removeLock;
    int tag = 0;
    IoInitializeRemoveLock(lock, 'kcoL', 0, 0);
    IoReleaseRemoveLockAndWait(lock, &tag);
    EXPECT_EQ(Rules(), std::vector<std::string>{hk::rule::RemoveLockMisuse});
    EXPECT_EQ(IoAcquireRemoveLock(lock, &tag), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock->IoCount, 0);
}

TEST_F(Verifier, MappingAnUnlockedMdlIsMdlNotLocked)
{
    char buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), nullptr);
    MmUnlockPages(mdl);
    EXPECT_EQ(Count(hk::rule::MdlNotLocked), 2u);
    IoFreeMdl(mdl);
    // An MDL built for non-paged pool is mapped already and never locked: mapping it again is the
    // same fault (its address is MappedSystemVa).
    static char pool[64];
    PMDL nonPaged = IoAllocateMdl(pool, sizeof pool, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(nonPaged);
    EXPECT_EQ(MmMapLockedPages(nonPaged, KernelMode), pool);
    EXPECT_EQ(Count(hk::rule::MdlNotLocked), 3u);
    IoFreeMdl(nonPaged);
}

TEST_F(Verifier, MalformedCountedStringsAreBadUnicodeString)
{
    WCHAR text[] = u"\\??\\X";
    UNICODE_STRING odd{3, 12, text};
    UNICODE_STRING longer{14, 12, text};
    UNICODE_STRING device{10, 12, text};
    EXPECT_EQ(IoCreateSymbolicLink(&odd, &device), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&device, &longer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Count(hk::rule::BadUnicodeString), 2u);
    EXPECT_TRUE(hk::Names().empty());
}

TEST_F(Verifier, WatchdogReportsAWaitNothingCanEndThenLetsTheHandlerRescueIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    hk::SetWatchdog(std::chrono::milliseconds(50));
    int reports = 0;
    hk::SetViolationHandler([&](const hk::Violation &v) {
        if (v.rule == hk::rule::WaitNeverSatisfied) {
            ++reports;
            hk::Defer([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
        }
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(reports, 1);
}

TEST_F(Verifier, CheckCleanReportsWhatATestLeftBehind)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, 'kaeL');
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_FALSE(hk::CheckClean());
    EXPECT_EQ(Count(hk::rule::PoolLeak), 1u);
    EXPECT_EQ(Count(hk::rule::DeviceObjectLeak), 1u);
    ExFreePool(block);
    IoDeleteDevice(device);
}


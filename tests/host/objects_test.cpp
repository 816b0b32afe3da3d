// The object namespace, device objects and stacks, user-mode handles, pool, failure injection,
// counted strings, the trace, MDLs and remove locks.
#include "toy.h"

#include <cstring>

namespace {

class Objects : public HostTest {
protected:
    NTSTATUS Create(const char16_t *name, PDEVICE_OBJECT *device)
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return IoCreateDevice(driver_, sizeof(ToyExtension), &text, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    }
    NTSTATUS Link(const char16_t *link, const char16_t *target)
    {
        UNICODE_STRING l, t;
        RtlInitUnicodeString(&l, link);
        RtlInitUnicodeString(&t, target);
        return IoCreateSymbolicLink(&l, &t);
    }
    NTSTATUS Unlink(const char16_t *link)
    {
        UNICODE_STRING l;
        RtlInitUnicodeString(&l, link);
        return IoDeleteSymbolicLink(&l);
    }
};

struct Log {
    std::vector<UCHAR> majors;
    std::vector<PFILE_OBJECT> files;
};

}  // namespace

TEST_F(Objects, NamesAreCaseInsensitivePerDirectoryAndLinksResolveToTheirDevice)
{
    // The caller's buffer is reused after the call: the kernel keeps its own copy of the name.
    char16_t buffer[32] = u"\\Device\\Toy0";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, buffer);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    memcpy(buffer, u"\\Device\\Gone", sizeof u"\\Device\\Gone");
    EXPECT_EQ(hk::DeviceName(device), u"\\Device\\Toy0");

    PDEVICE_OBJECT twin = nullptr;
    EXPECT_EQ(Create(u"\\DEVICE\\toy0", &twin), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(twin, nullptr);
    EXPECT_EQ(Link(u"\\DosDevices\\SLN_Toy1", u"\\Device\\Toy0"), STATUS_SUCCESS);
    EXPECT_EQ(Link(u"\\??\\sln_toy1", u"\\Device\\Toy0"), STATUS_OBJECT_NAME_COLLISION) << "\\DosDevices is \\??";
    EXPECT_EQ(Link(u"\\DosDevices\\Toy0", u"\\Device\\Toy0"), STATUS_SUCCESS) << "another directory";
    EXPECT_EQ(hk::LookupDevice(u"\\\\.\\SLN_TOY1"), device);
    EXPECT_EQ(hk::LookupDevice(u"\\??\\Toy0"), device);
    EXPECT_EQ(hk::LookupDevice(u"\\device\\TOY0"), device);
    EXPECT_EQ(hk::Names().size(), 3u);

    IoDeleteDevice(device);
    EXPECT_FALSE(hk::NameExists(u"\\Device\\Toy0")) << "the name goes at once";
    EXPECT_TRUE(hk::NameExists(u"\\DosDevices\\SLN_Toy1"));
    EXPECT_EQ(hk::LookupDevice(u"\\\\.\\SLN_Toy1"), nullptr) << "a link to a name nobody holds";
    EXPECT_EQ(Unlink(u"\\??\\SLN_TOY1"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(u"\\??\\SLN_TOY1"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Unlink(u"\\DosDevices\\Toy0"), STATUS_SUCCESS);

    hk::ReserveName(u"\\Device\\Taken");
    EXPECT_EQ(Create(u"\\Device\\TAKEN", &twin), STATUS_OBJECT_NAME_COLLISION);
    hk::ReleaseName(u"\\Device\\Taken");
    EXPECT_TRUE(hk::Names().empty());
}

TEST_F(Objects, NewDeviceIsInitializingWithAZeroedExtensionAndAttachesToTheTopOfTheStack)
{
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 100, nullptr, 0x22, 0, FALSE, &pdo), STATUS_SUCCESS);
    EXPECT_EQ(pdo->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING));
    EXPECT_EQ(pdo->StackSize, 1);
    EXPECT_EQ(pdo->DeviceType, 0x22u);
    EXPECT_EQ(pdo->DriverObject, driver_);
    EXPECT_EQ(driver_->DeviceObject, pdo);
    auto *bytes = static_cast<unsigned char *>(pdo->DeviceExtension);
    EXPECT_TRUE(std::all_of(bytes, bytes + 100, [](unsigned char b) { return b == 0; }));

    PDEVICE_OBJECT fdo = nullptr, filter = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, 0x22, 0, FALSE, &fdo), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, 0x22, 0, FALSE, &filter), STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), nullptr) << "the PDO is still initializing";
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    EXPECT_EQ(fdo->StackSize, 2);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo) << "attaches above the current top";
    EXPECT_EQ(filter->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
    EXPECT_EQ(hk::LiveDeviceCount(), 3u);

    IoDetachDevice(fdo);
    IoDeleteDevice(filter);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(Objects, OpenHandleKeepsADeletedDeviceAliveUntilTheLastClose)
{
    Log log;
    PDEVICE_OBJECT bottom = Device([&](PDEVICE_OBJECT, PIRP irp) {
        log.majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        log.files.push_back(IoGetCurrentIrpStackLocation(irp)->FileObject);
        return Complete(irp, STATUS_SUCCESS);
    }, nullptr, u"\\Device\\Named0");
    PDEVICE_OBJECT top = PassThrough(bottom);
    ASSERT_EQ(Link(u"\\DosDevices\\Named1", u"\\Device\\Named0"), STATUS_SUCCESS);

    hk::Handle handle = 0;
    EXPECT_EQ(hk::OpenFile(u"\\\\.\\Missing", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(hk::OpenFile(u"\\\\.\\named1", &handle), STATUS_SUCCESS);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(log.files.size(), 1u);
    EXPECT_EQ(log.files[0]->DeviceObject, bottom) << "the file is on the named device, the request went to the top";

    IoDetachDevice(bottom);
    IoDeleteDevice(top);
    IoDeleteDevice(bottom);
    EXPECT_TRUE(hk::IsDeleted(bottom));
    EXPECT_FALSE(hk::NameExists(u"\\Device\\Named0"));
    EXPECT_EQ(hk::LiveDeviceCount(), 1u);
    Ext(bottom)->lower = nullptr;  // the extension is still valid memory

    EXPECT_EQ(hk::SendMajor(handle, IRP_MJ_FLUSH_BUFFERS), STATUS_SUCCESS);
    EXPECT_EQ(hk::CloseFile(handle), STATUS_SUCCESS);
    EXPECT_EQ(hk::CloseFile(handle), static_cast<NTSTATUS>(0xC0000008));
    EXPECT_EQ(log.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_EQ(Unlink(u"\\DosDevices\\Named1"), STATUS_SUCCESS);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(Objects, DeviceIoControlUsesASystemBufferAndWaitsForAPendedRequest)
{
    PDEVICE_OBJECT device = Device([](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            return Complete(irp, STATUS_SUCCESS);
        }
        auto *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 3u);
        buffer[0] = static_cast<char>(buffer[0] + 1);
        IoMarkIrpPending(irp);
        hk::Defer([irp] { Complete(irp, STATUS_SUCCESS, 4); }, hk::Ms(3));
        return STATUS_PENDING;
    }, nullptr, u"\\Device\\Ctl");
    hk::Handle handle = 0;
    ASSERT_EQ(hk::OpenFile(u"\\Device\\Ctl", &handle), STATUS_SUCCESS);
    char out[4] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(hk::DeviceIoControl(handle, CTL_CODE(0x22, 0x800, METHOD_BUFFERED, 0), "abc", 3, out, sizeof out, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(std::string(out, 3), "bbc");
    EXPECT_EQ(hk::Now(), hk::Ms(3));
    EXPECT_EQ(hk::CloseFile(handle), STATUS_SUCCESS);
    (void)device;
}

TEST_F(Objects, InjectedFailuresHitExactlyTheArmedCalls)
{
    hk::FailNth(hk::Fault::Pool, 2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, 'tsaF');
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, 'tsaF');
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, 'tsaF');
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(hk::Calls(hk::Fault::Pool), 3u);
    EXPECT_EQ(hk::PoolAllocations(), 2u);
    EXPECT_EQ(hk::LivePoolCount('tsaF'), 2u);
    ExFreePool(first);
    ExFreePool(third);

    PDEVICE_OBJECT device = nullptr;
    hk::FailAlways(hk::Fault::CreateDevice, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Create(u"\\Device\\F", &device), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Create(u"\\Device\\F", &device), STATUS_OBJECT_NAME_COLLISION);
    hk::ClearFaults();
    ASSERT_EQ(Create(u"\\Device\\F", &device), STATUS_SUCCESS);
    hk::FailNth(hk::Fault::CreateSymbolicLink, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Link(u"\\??\\F", u"\\Device\\F"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(hk::NameExists(u"\\??\\F"));
    hk::FailNth(hk::Fault::BuildIoctlIrp, 1);
    hk::FailNth(hk::Fault::AllocateIrp, 1);
    hk::FailNth(hk::Fault::AttachDevice, 1);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb), nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, 0x22, 0, FALSE, &upper), STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, device), nullptr);
    EXPECT_EQ(hk::Calls(hk::Fault::CreateDevice), 4u);
    EXPECT_EQ(hk::IrpAllocations(), 0u);
    IoDeleteDevice(upper);
    IoDeleteDevice(device);
}

TEST_F(Objects, CountedStringsFollowTheRunTimeLibrary)
{
    WCHAR digits[5];
    UNICODE_STRING number{0, sizeof digits, digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &number), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(number.Buffer, number.Length / 2), u"1234");
    EXPECT_EQ(digits[4], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &number), static_cast<NTSTATUS>(0x80000005)) << "no room for the null";
    EXPECT_EQ(std::u16string(number.Buffer, number.Length / 2), u"1234");
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 10, &number), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(number.Buffer, number.Length / 2), u"0");
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &number), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(number.Buffer, number.Length / 2), u"BEEF");

    WCHAR storage[8];
    std::fill(std::begin(storage), std::end(storage), u'#');
    UNICODE_STRING name{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&name, u"ab"), STATUS_SUCCESS);
    EXPECT_EQ(storage[2], 0) << "terminated while there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&name, u"cdefghi"), static_cast<NTSTATUS>(0xC0000023));
    EXPECT_EQ(name.Length, 4);
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"cdefgh");
    EXPECT_EQ(tail.Length, 12);
    EXPECT_EQ(tail.MaximumLength, 14);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&name, &tail), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), u"abcdefgh");
    EXPECT_EQ(name.Length, name.MaximumLength) << "full: no terminator written past the end";
    RtlInitUnicodeString(&tail, nullptr);
    EXPECT_EQ(tail.Length, 0);
    EXPECT_EQ(tail.Buffer, nullptr);
}

TEST_F(Objects, DbgPrintKeepsOneExactEntryPerCallUnlessDisabled)
{
    DbgPrint("\n\r Device Lower Filter - %s = 0x%x", "IRP_MJ_PNP", 0xc0000035u);
    DbgPrint("The URB status = %s , Error !! \n", "USBD_STATUS_STALL_PID");
    ASSERT_EQ(hk::TraceEntries().size(), 2u);
    EXPECT_EQ(hk::TraceEntries()[0], "\n\r Device Lower Filter - IRP_MJ_PNP = 0xc0000035");
    EXPECT_EQ(hk::TraceText(), hk::TraceEntries()[0] + hk::TraceEntries()[1]);
    hk::SetTraceEnabled(false);
    DbgPrint("hidden");
    EXPECT_EQ(hk::TraceEntries().size(), 2u);
    EXPECT_EQ(hk::DbgPrintCalls(), 3u);
    hk::ClearTrace();
    EXPECT_TRUE(hk::TraceText().empty());
}

TEST_F(Objects, MdlFlagsTrackNonPagedSourceLockingAndMapping)
{
    alignas(4096) static char page[8192];
    PMDL pool = IoAllocateMdl(page + 100, 50, FALSE, FALSE, nullptr);
    EXPECT_EQ(pool->StartVa, page);
    EXPECT_EQ(pool->ByteOffset, 100u);
    EXPECT_EQ(pool->ByteCount, 50u);
    MmBuildMdlForNonPagedPool(pool);
    EXPECT_EQ(pool->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(pool->MappedSystemVa, page + 100);

    PMDL locked = IoAllocateMdl(page + 4200, 10, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(locked, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmMapLockedPages(locked, KernelMode), page + 4200);
    EXPECT_EQ(locked->MdlFlags, MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MmUnlockPages(locked);
    EXPECT_EQ(locked->MdlFlags, 0);
    IoFreeMdl(locked);
    IoFreeMdl(pool);
    EXPECT_TRUE(Rules().empty());
}

TEST_F(Objects, RemoveLockWaitLastsUntilTheRequestInFlightReleases)
{
    PDEVICE_OBJECT device = Bottom();
    PIO_REMOVE_LOCK lock = &Ext(device)->removeLock;
    IoInitializeRemoveLock(lock, 'kcoL', 0, 0);
    int request = 0, removal = 0;
    ASSERT_EQ(IoAcquireRemoveLock(lock, &request), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(lock, &removal), STATUS_SUCCESS);
    EXPECT_EQ(lock->IoCount, 3);
    hk::Defer([&] { IoReleaseRemoveLock(lock, &request); }, hk::Ms(10));
    IoReleaseRemoveLockAndWait(lock, &removal);
    EXPECT_EQ(hk::Now(), hk::Ms(10));
    EXPECT_EQ(lock->IoCount, 0);
    EXPECT_TRUE(lock->Removed);
    EXPECT_EQ(IoAcquireRemoveLock(lock, &request), STATUS_DELETE_PENDING);
    EXPECT_TRUE(Rules().empty());
}

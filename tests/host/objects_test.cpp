// User-mode handles: an open file keeps its device object alive after the device is deleted.
#include "toy.h"

#include <cstring>

namespace {

class Objects : public HostTest {
protected:
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


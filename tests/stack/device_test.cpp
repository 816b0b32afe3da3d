// The driver's frame: the dispatch table, and the creation, naming and unwinding of each mouse's
// two device objects (what each request kind does on each device is request_kinds_test.cpp's).
#include "stack_fixture.h"

namespace stack {
namespace {

class DeviceTest : public StackTest {
protected:
    // A mouse's PDO without the rest of the stack, so that the counts and failures below are the
    // filter's AddDevice alone.
    std::shared_ptr<sim::UsbBus> BarePdo() { return std::make_shared<sim::UsbBus>(pnp_->BusDriver(), sim::MouseConfig{}); }
};

std::u16string Number(int i)
{
    const std::string digits = std::to_string(i);
    return std::u16string(digits.begin(), digits.end());
}

TEST_F(DeviceTest, DriverEntryRoutesTenMajorsToOwnRoutinesAndTheRestToFilterPass)
{
    const auto &mj = filter_->MajorFunction;
    int passThrough = 0;
    for (PDRIVER_DISPATCH routine : mj)
        passThrough += routine == FilterPass;
    EXPECT_EQ(passThrough, 18);
    for (int code : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP, IRP_MJ_SYSTEM_CONTROL,
                     IRP_MJ_PNP})
        EXPECT_EQ(mj[code], CommonDispatch) << code;
    EXPECT_EQ(mj[IRP_MJ_INTERNAL_DEVICE_CONTROL], InternalIoctlDispatch);
    EXPECT_EQ(mj[IRP_MJ_DEVICE_CONTROL], DeviceControlDispatch);
    EXPECT_EQ(mj[IRP_MJ_POWER], PowerDispatch);
    EXPECT_EQ(filter_->DriverExtension->AddDevice, AddDevice);
    EXPECT_EQ(filter_->DriverUnload, DriverUnload);
    EXPECT_EQ(hk::TraceEntries().front(), "\n\r Device Lower Filter LOAD !!");
}

TEST_F(DeviceTest, FirstAndSecondMouseGetConsecutiveNamesAndLinksOneAbove)
{
    const size_t mark = TraceMark();
    sim::Mouse &first = pnp_->Plug();
    EXPECT_EQ(TraceSince(mark), kAddDeviceLines);
    sim::Mouse &second = pnp_->Plug();
    ASSERT_EQ(first.State(), sim::MouseState::Added);
    ASSERT_EQ(second.State(), sim::MouseState::Added);

    EXPECT_EQ(hk::LookupDevice(u"\\Device\\MClassFilterL0"), first.FilterDevice());
    EXPECT_EQ(hk::LookupDevice(u"\\DosDevices\\SLN_MClassFilterL1"), first.FilterDevice());
    EXPECT_EQ(hk::LookupDevice(u"\\Device\\MClassFilterL1"), second.FilterDevice());
    EXPECT_EQ(hk::LookupDevice(u"\\DosDevices\\SLN_MClassFilterL2"), second.FilterDevice());

    PEXTRA_DEVICE_EXTENSION extra1 = Extension(first)->ExtraExtension;
    PEXTRA_DEVICE_EXTENSION extra2 = Extension(second)->ExtraExtension;
    ASSERT_NE(extra1, nullptr);
    ASSERT_NE(extra2, nullptr);
    EXPECT_EQ(hk::LookupDevice(u"\\Device\\MouseExtra0"), extra1->Self);
    EXPECT_EQ(hk::LookupDevice(u"\\\\.\\SLN_MouseExtra1"), extra1->Self);
    EXPECT_EQ(hk::LookupDevice(u"\\Device\\MouseExtra1"), extra2->Self);
    EXPECT_EQ(hk::LookupDevice(u"\\DosDevices\\SLN_MouseExtra2"), extra2->Self);

    // The records point at each other and start with nothing found and nothing switched on.
    PDEVICE_EXTENSION ext = Extension(first);
    EXPECT_EQ(ext->ExtensionKind, FILTER_DO_KIND);
    EXPECT_EQ(ext->Self, first.FilterDevice());
    EXPECT_EQ(ext->LowerDeviceObject, Below(first));
    EXPECT_EQ(extra1->ExtensionKind, EXTRA_DO_KIND);
    EXPECT_EQ(extra1->FilterExtension, ext);
    EXPECT_EQ(ext->MouseFound + ext->FeatureReady + ext->FeatureEnabled, 0);
    const REPORT_LAYOUT zero{};
    EXPECT_EQ(memcmp(&ext->Layout, &zero, sizeof zero), 0);
    EXPECT_EQ(ext->SymbolicLinkName.MaximumLength, HCT_NAME_BYTES);

    // Only the two link buffers stay allocated per mouse.
    EXPECT_EQ(hk::LivePoolCount(HCT_POOL_TAG), 4u);
}

TEST_F(DeviceTest, AllHundredDeviceNamesTakenFailsWithCollisionAfterExactlyHundredAttempts)
{
    for (int i = 0; i < 100; ++i)
        hk::ReserveName(u"\\Device\\MClassFilterL" + Number(i));
    auto bus = BarePdo();
    const uint64_t before = hk::Calls(hk::Fault::CreateDevice);
    const size_t mark = TraceMark();
    EXPECT_EQ(AddDevice(filter_, bus->Pdo()), HCT_STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(hk::Calls(hk::Fault::CreateDevice) - before, 100u);
    bus->DeletePdo();
    EXPECT_EQ(TraceSince(mark), (Lines{"\n\r Device Lower Filter - Add Device ",
                                       "\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0xc0000035"}));
    EXPECT_EQ(hk::LivePoolCount(), 0u);
    for (int i = 0; i < 100; ++i)
        hk::ReleaseName(u"\\Device\\MClassFilterL" + Number(i));
}

TEST_F(DeviceTest, DeviceNinetyNineGetsOneLinkAttemptWithNumberHundred)
{
    for (int i = 0; i < 99; ++i)
        hk::ReserveName(u"\\Device\\MClassFilterL" + Number(i));
    hk::ReserveName(u"\\DosDevices\\SLN_MClassFilterL100");
    auto bus = BarePdo();
    const uint64_t links = hk::Calls(hk::Fault::CreateSymbolicLink);
    EXPECT_EQ(AddDevice(filter_, bus->Pdo()), HCT_STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(hk::Calls(hk::Fault::CreateSymbolicLink) - links, 1u);
    bus->DeletePdo();
    EXPECT_FALSE(hk::NameExists(u"\\Device\\MClassFilterL99"));  // the device was deleted again
    EXPECT_EQ(hk::LivePoolCount(), 0u);

    hk::ReleaseName(u"\\DosDevices\\SLN_MClassFilterL100");
    sim::Mouse &next = pnp_->Plug();
    EXPECT_EQ(next.State(), sim::MouseState::Added);
    EXPECT_TRUE(hk::NameExists(u"\\DosDevices\\SLN_MClassFilterL100"));
    for (int i = 0; i < 99; ++i)
        hk::ReleaseName(u"\\Device\\MClassFilterL" + Number(i));
}

// A symbolic link of AddDevice or CreateExtraDO failing with a status of its own: that status comes
// back unchanged, exactly its own lines are written, and nothing of the call remains (the low
// resources sweep fails every other step, with the status a failed allocation has).
struct FailureCase {
    const char *name;
    hk::Fault fault;
    unsigned nth;
    NTSTATUS injected;
    NTSTATUS expected;
    Lines lines;
};

class AddDeviceFailureTest : public DeviceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AddDeviceFailureTest, UnwindsEverythingAndReturnsTheFailingStepsStatus)
{
    const FailureCase &c = GetParam();
    auto bus = BarePdo();
    const auto namesBefore = hk::Names();
    const size_t devicesBefore = hk::LiveDeviceCount();
    const size_t poolBefore = hk::LivePoolCount();
    hk::FailNth(c.fault, c.nth, c.injected);
    const size_t mark = TraceMark();
    EXPECT_EQ(AddDevice(filter_, bus->Pdo()), c.expected);
    hk::ClearFaults();
    EXPECT_EQ(TraceSince(mark), c.lines);
    EXPECT_EQ(hk::Names(), namesBefore);
    EXPECT_EQ(hk::LiveDeviceCount(), devicesBefore);
    EXPECT_EQ(hk::LivePoolCount(), poolBefore);
    EXPECT_EQ(bus->Pdo()->AttachedDevice, nullptr);
    bus->DeletePdo();
}

const char kEntry[] = "\n\r Device Lower Filter - Add Device ";
const char kSuccess[] = "\n\r Device Lower Filter - Add Device Successfully ";
const char kExtraDeviceOk[] = "\n\r[CreateExtraDO] Create Extra-Device-Object Successfully";

INSTANTIATE_TEST_SUITE_P(
    EveryStep, AddDeviceFailureTest,
    ::testing::Values(
        FailureCase{"Link", hk::Fault::CreateSymbolicLink, 1, (NTSTATUS)0xC0000022, (NTSTATUS)0xC0000022,
                    {kEntry, "\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0xc0000022"}},
        FailureCase{"ExtraLink", hk::Fault::CreateSymbolicLink, 2, (NTSTATUS)0xC0000022, (NTSTATUS)0xC0000022,
                    {kEntry, kSuccess, kExtraDeviceOk, "\n\r[CreateExtraDO] ERROR!!  Can't Create Symbolic Link ",
                     "\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0xc0000022"}}),
    [](const ::testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.name); });

// A collision on the extra link is not a single failure: the search goes on until the counter
// reaches the limit. Reserving every candidate shows the link failure line and the full unwind.
TEST_F(DeviceTest, ExtraLinkSearchExhaustedUnwindsBothDevices)
{
    for (int i = 1; i <= 100; ++i)
        hk::ReserveName(u"\\DosDevices\\SLN_MouseExtra" + Number(i));
    auto bus = BarePdo();
    const size_t mark = TraceMark();
    EXPECT_EQ(AddDevice(filter_, bus->Pdo()), HCT_STATUS_OBJECT_NAME_COLLISION);
    bus->DeletePdo();
    EXPECT_EQ(TraceSince(mark), (Lines{kEntry, kSuccess, kExtraDeviceOk,
                                       "\n\r[CreateExtraDO] ERROR!!  Can't Create Symbolic Link ",
                                       "\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0xc0000035"}));
    EXPECT_FALSE(hk::NameExists(u"\\Device\\MouseExtra0"));
    EXPECT_FALSE(hk::NameExists(u"\\Device\\MClassFilterL0"));
    EXPECT_FALSE(hk::NameExists(u"\\DosDevices\\SLN_MClassFilterL1"));
    EXPECT_EQ(hk::LivePoolCount(), 0u);
    for (int i = 1; i <= 100; ++i)
        hk::ReleaseName(u"\\DosDevices\\SLN_MouseExtra" + Number(i));
}

TEST_F(DeviceTest, AddDeviceWithoutPdoOrDriverFailsSilently)
{
    const size_t mark = TraceMark();
    EXPECT_EQ(AddDevice(filter_, nullptr), HCT_STATUS_UNSUCCESSFUL);
    EXPECT_EQ(AddDevice(nullptr, reinterpret_cast<PDEVICE_OBJECT>(filter_)), HCT_STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(TraceSince(mark).empty());
}

TEST_F(DeviceTest, UnloadWritesItsLineAndNothingElse)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    pnp_->Remove(mouse);
    const size_t mark = TraceMark();
    pnp_.reset();
    hk::UnloadDriver(filter_);
    EXPECT_EQ(TraceSince(mark), (Lines{"\n\r Device Lower Filter UNLOAD!!"}));
    filter_ = hk::LoadDriver(u"\\Driver\\hct", DriverEntry);  // TearDown unloads it again
    pnp_ = std::make_unique<sim::PnpManager>(filter_);
}

}  // namespace
}  // namespace stack

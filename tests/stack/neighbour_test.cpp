// Neighbours unlike the PDO: a second lower filter between the mouse's PDO and the filter, with
// other buffering and power bits, another device type and characteristics, and a larger StackSize.
// The filter's flags come from the PDO it was given, never from the device the attach returned; its
// type and characteristics are its own; its StackSize follows the device it attached to.
#include "stack_fixture.h"

namespace stack {
namespace {

class NeighbourTest : public StackTest {};

constexpr ULONG kCopiedBits = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE;

TEST_F(NeighbourTest, FilterFlagsComeFromThePdoAndItsStackSizeFromTheDeviceItAttachedTo)
{
    struct Case {
        ULONG pdoFlags;
        std::optional<ULONG> neighbourFlags;  // none: the filter sits on the PDO
        ULONG expected;                       // the filter's whole Flags word
    };
    const Case cases[] = {
        {DO_POWER_PAGABLE, DO_BUFFERED_IO, DO_POWER_PAGABLE},
        {DO_DIRECT_IO | DO_POWER_PAGABLE, DO_BUFFERED_IO, DO_DIRECT_IO | DO_POWER_PAGABLE},
        {DO_BUFFERED_IO, DO_DIRECT_IO | DO_POWER_PAGABLE, DO_BUFFERED_IO},
        {0, kCopiedBits, 0},
        {kCopiedBits, 0, kCopiedBits},
        // Bits other than the three stay the PDO's own.
        {DO_EXCLUSIVE | DO_BUFFERED_IO, DO_DIRECT_IO, DO_BUFFERED_IO},
        {DO_BUFFERED_IO | DO_POWER_PAGABLE, std::nullopt, DO_BUFFERED_IO | DO_POWER_PAGABLE},
    };
    pnp_->SetNeighbour(std::nullopt);  // each case says whether it has one
    for (const Case &c : cases) {
        SCOPED_TRACE("PDO flags " + std::to_string(c.pdoFlags) + ", neighbour " +
                     (c.neighbourFlags ? std::to_string(*c.neighbourFlags) : std::string("none")));
        sim::MouseConfig config;
        config.pdoFlags = c.pdoFlags;
        if (c.neighbourFlags)
            config.neighbour = sim::NeighbourFilter{.flags = *c.neighbourFlags};
        sim::Mouse &mouse = pnp_->PlugAndStart(config);
        ASSERT_EQ(mouse.State(), sim::MouseState::Started);
        PDEVICE_OBJECT filter = mouse.FilterDevice();
        PDEVICE_OBJECT below = c.neighbourFlags ? mouse.Neighbour() : mouse.Pdo();
        ASSERT_NE(below, nullptr);
        ASSERT_EQ(below->AttachedDevice, filter);
        EXPECT_EQ(Extension(mouse)->LowerDeviceObject, below);
        if (c.neighbourFlags) {
            // The fixture's premise: the device below is unlike the PDO.
            ASSERT_EQ(below->Flags & kCopiedBits, *c.neighbourFlags);
            ASSERT_NE(below->StackSize, mouse.Pdo()->StackSize + 1);
        }

        EXPECT_EQ(filter->Flags, c.expected) << "flags from the PDO, initialising cleared";
        EXPECT_EQ(filter->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
        EXPECT_EQ(filter->Characteristics, 0u);
        EXPECT_EQ(filter->StackSize, below->StackSize + 1);
        EXPECT_EQ(mouse.ClassDevice()->StackSize, filter->StackSize + 1);

        // The extra device: all three bits whatever the PDO has, on no stack.
        PDEVICE_OBJECT extra = Extension(mouse)->ExtraExtension->Self;
        EXPECT_EQ(extra->Flags, kCopiedBits);
        EXPECT_EQ(extra->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
        EXPECT_EQ(extra->Characteristics, 0u);
        EXPECT_EQ(extra->StackSize, 1);
        EXPECT_EQ(extra->AttachedDevice, nullptr);
        pnp_->Remove(mouse);
    }
}

// The whole road through the neighbour: start and probes, the report descriptor, a rewritten report,
// the control device, and removal with reads still pending below.
TEST_F(NeighbourTest, TheRoadOfAReportIsTheSameAboveASecondLowerFilter)
{
    sim::MouseConfig config;
    config.neighbour = sim::NeighbourFilter{.flags = DO_DIRECT_IO, .extraStackLocations = 3};
    const size_t mark = TraceMark();
    sim::Mouse &mouse = pnp_->PlugAndStart(config);
    ASSERT_EQ(mouse.State(), sim::MouseState::Started);
    const Lines trace = TraceSince(mark);
    EXPECT_NE(std::find(trace.begin(), trace.end(), "\n\r-----Vorik Mouse Found"), trace.end());
    EXPECT_NE(std::find(trace.begin(), trace.end(), "\n\r-----Vorik Mouse Tesk Functionality Start......"), trace.end());
    EXPECT_EQ(Extension(mouse)->Layout.AcPanOffset, 0x20u);
    sim::Application app;
    ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
    ASSERT_EQ(app.TurnOn(), STATUS_SUCCESS);
    mouse.Feed(sim::kReportPanRight);
    sim::PnpManager::Settle();
    ASSERT_FALSE(mouse.Class().Reports().empty());
    EXPECT_EQ(mouse.Class().Reports().back().bytes, (std::vector<uint8_t>{0x00, 0x03, 0xFE, 0x30, 0x01}));
    EXPECT_EQ(pnp_->Power(mouse, IRP_MN_SET_POWER), STATUS_SUCCESS);
    app.Close();
    EXPECT_EQ(pnp_->Remove(mouse), STATUS_SUCCESS);
    EXPECT_EQ(mouse.Bus().PendingUrbs(), 0u);
    EXPECT_EQ(hk::LivePoolCount(HCT_POOL_TAG), 0u);
}

}  // namespace
}  // namespace stack

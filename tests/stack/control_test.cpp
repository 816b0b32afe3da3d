// The control device: an application switches the rewrite of its own mouse on and off, and nothing
// else it sends changes anything.
#include "mouse_fixture.h"

namespace stack {
namespace {

using ControlTest = MouseTest;

const Bytes kUntouched = {0x00, 0x03, 0xFE, 0x00, 0x01};  // a pan to the right
const Bytes kRewritten = {0x00, 0x03, 0xFE, 0x30, 0x01};

TEST_F(ControlTest, TurnOnAndOffSwitchTheRewriteWithTheirTrace)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    ASSERT_EQ(app_.Open(1), STATUS_SUCCESS);
    size_t mark = TraceMark();
    ULONG_PTR information = 99;
    EXPECT_EQ(app_.Ioctl(IOCTL_VORIK_TESKMOUSE_TURN_ON, nullptr, 0, nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(TraceSince(mark), (Lines{"[DefaultHandler] EXTRA DO", "[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_ON"}));
    EXPECT_EQ(Deliver(mouse, kUntouched).second, kRewritten);
    EXPECT_EQ(app_.TurnOn(), STATUS_SUCCESS);  // repeating is harmless
    EXPECT_EQ(Extension(mouse)->FeatureEnabled, 1);

    mark = TraceMark();
    EXPECT_EQ(app_.TurnOff(), STATUS_SUCCESS);
    EXPECT_EQ(TraceSince(mark), (Lines{"[DefaultHandler] EXTRA DO", "[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_OFF"}));
    EXPECT_EQ(Deliver(mouse, kUntouched).second, kUntouched);
    EXPECT_EQ(app_.TurnOff(), STATUS_SUCCESS);
    EXPECT_EQ(Extension(mouse)->FeatureEnabled, 0);

    // Buffers are neither required nor looked at, and nothing comes back in them.
    std::vector<uint8_t> in(100, 0xAA), out(100, 0x55);
    EXPECT_EQ(app_.Ioctl(IOCTL_VORIK_TESKMOUSE_TURN_ON, in.data(), 100, out.data(), 100, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(100, 0x55));
    EXPECT_EQ(Extension(mouse)->FeatureEnabled, 1);
}

TEST_F(ControlTest, NeighbouringCodesAreRefusedAndChangeNothing)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    ASSERT_EQ(app_.Open(1), STATUS_SUCCESS);
    ASSERT_EQ(app_.TurnOn(), STATUS_SUCCESS);
    for (ULONG code : {0x00222808u /* next function */, 0x00222801u, 0x00222802u, 0x00222803u /* other methods */,
                       0x00226800u, 0x0022A800u, 0x0022E800u /* other access */, 0x00000000u, 0xFFFFFFFFu}) {
        const size_t mark = TraceMark();
        ULONG_PTR information = 99;
        EXPECT_EQ(app_.Ioctl(code, nullptr, 0, nullptr, 0, &information), HCT_STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(information, 0u);
        EXPECT_EQ(TraceSince(mark), (Lines{"[DefaultHandler] EXTRA DO"}));
        EXPECT_EQ(Extension(mouse)->FeatureEnabled, 1);
    }
}

TEST_F(ControlTest, EachApplicationSwitchesOnlyItsOwnMouse)
{
    sim::Mouse &first = pnp_->PlugAndStart();
    sim::Mouse &second = pnp_->PlugAndStart();
    sim::Application one, two;
    ASSERT_EQ(one.Open(1), STATUS_SUCCESS);
    ASSERT_EQ(two.Open(2), STATUS_SUCCESS);
    ASSERT_EQ(two.TurnOn(), STATUS_SUCCESS);
    EXPECT_EQ(Extension(first)->FeatureEnabled, 0);
    EXPECT_EQ(Deliver(first, kUntouched).second, kUntouched);
    EXPECT_EQ(Deliver(second, kUntouched).second, kRewritten);
    ASSERT_EQ(one.TurnOn(), STATUS_SUCCESS);
    ASSERT_EQ(two.TurnOff(), STATUS_SUCCESS);
    EXPECT_EQ(Deliver(first, kUntouched).second, kRewritten);
    EXPECT_EQ(Deliver(second, kUntouched).second, kUntouched);
}

TEST_F(ControlTest, SwitchingDoesNotDependOnTheStartVerdicts)
{
    sim::Mouse &mouse = pnp_->Plug();  // never started: MouseFound and FeatureReady are 0
    ASSERT_EQ(app_.Open(1), STATUS_SUCCESS);
    EXPECT_EQ(app_.TurnOn(), STATUS_SUCCESS);
    EXPECT_EQ(Extension(mouse)->FeatureEnabled, 1);
}

// The application keeps its handle while the mouse is removed: the extra device object lives on
// with its handle, and a control request through it is refused instead of reaching the freed
// filter record (the address sanitizer would catch the write).
TEST_F(ControlTest, HandleHeldAcrossRemovalIsRefusedNotHonoured)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    ASSERT_EQ(app_.Open(1), STATUS_SUCCESS);
    ASSERT_EQ(app_.TurnOn(), STATUS_SUCCESS);
    PDEVICE_OBJECT extra = Extension(mouse)->ExtraExtension->Self;
    ASSERT_EQ(pnp_->Remove(mouse), STATUS_SUCCESS);
    EXPECT_TRUE(hk::IsDeleted(extra));
    EXPECT_FALSE(hk::NameExists(u"\\DosDevices\\SLN_MouseExtra1"));

    const size_t mark = TraceMark();
    EXPECT_EQ(app_.TurnOff(), HCT_STATUS_DEVICE_REMOVED);
    EXPECT_EQ(app_.TurnOn(), HCT_STATUS_DEVICE_REMOVED);
    EXPECT_EQ(TraceSince(mark), (Lines{"[DefaultHandler] EXTRA DO", "[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_OFF",
                                       "[DefaultHandler] EXTRA DO", "[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_ON"}));
    EXPECT_EQ(app_.Ioctl(0x00222808), HCT_STATUS_INVALID_PARAMETER);
    app_.Close();
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);  // the last handle took the extra device object with it
    // A new application finds no device to open.
    sim::Application late;
    EXPECT_NE(late.Open(1), STATUS_SUCCESS);
}

}  // namespace
}  // namespace stack

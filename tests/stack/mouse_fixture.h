// One started mouse and its application, with the trace lines of the filter's paths: the control
// transfer a class driver sends, the interrupt read with its report, the start and the probe.
#pragma once

#include "stack_fixture.h"

#include <array>
#include <utility>

namespace stack {

inline const char kInternalLine[] = "\n\r Device Lower Filter - IRP_MJ_INTERNAL_DEVICE_CONTROL";
inline const char kDashes[] = "\n\r-----------------------------------------";
inline const char kBefore[] = "\n\r Datat In Buffer Before re-assign";
inline const char kAfter[] = "\n\r Datat In Buffer After re-assign";
inline const char kFound[] = "\n\r-----Vorik Mouse Found";
inline const char kReady[] = "\n\r-----Vorik Mouse Tesk Functionality Start......";
inline const char kUrbSuccess[] = "The URB status = USBD_STATUS_SUCCESS , Operation succeed !! \n";
inline const Lines kStartRequestLines = {"\n\r Device Lower Filter - IRP_MJ_PNP", "\n\r   IRP_MJ_PNP (IRP_MN_START_DEVICE)",
                                         "\n\r"};

using Bytes = std::vector<uint8_t>;

// The status lines of an interrupt transfer coming back up.
inline Lines BulkLines(unsigned usbd, unsigned length)
{
    char status[64];
    snprintf(status, sizeof status, "\n\r Status = 0x%x, Transfer Length = 0x%x", usbd, length);
    return {"\n\r urb->UrbHeader.Function = 0x9", kDashes, "\n\r Bulk Transfer Completed", status, kDashes};
}

inline std::string SetupLine(const std::array<uint8_t, 8> &s)
{
    char text[64];
    snprintf(text, sizeof text, "\n\r    %x %x %x %x %x %x %x %x ", s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
    return text;
}

// What the filter writes for a control transfer coming back up with this setup packet.
inline Lines ControlLines(const std::array<uint8_t, 8> &setup)
{
    return {kInternalLine, "\n\r urb->UrbHeader.Function = 0x8", "\n\r Setup Package", SetupLine(setup)};
}

// The nine lines of a layout the filter writes when it parses a report descriptor.
inline Lines LayoutLines(const REPORT_LAYOUT &l)
{
    const std::pair<const char *, uint32_t> rows[] = {
        {"\n\r total size = 0x%x", l.TotalSize},     {"\n\r x size = 0x%x", l.XSize},
        {"\n\r x offset = 0x%x", l.XOffset},     {"\n\r y size = 0x%x", l.YSize},
        {"\n\r y offset = 0x%x", l.YOffset},     {"\n\r wheel size = 0x%x", l.WheelSize},
        {"\n\r wheel offset = 0x%x", l.WheelOffset}, {"\n\r ac pan size = 0x%x", l.AcPanSize},
        {"\n\r ac pan offset = 0x%x", l.AcPanOffset},
    };
    Lines lines;
    char text[64];
    for (const auto &[format, value] : rows) {
        snprintf(text, sizeof text, format, value);
        lines.push_back(text);
    }
    return lines;
}

// The layout of the default 5-button mouse with wheel and AC pan: X, Y, wheel, pan, 8 bits each
// after the buttons' byte.
inline constexpr REPORT_LAYOUT kDefaultLayout = {0x28, 8, 8, 8, 0x10, 8, 0x18, 8, 0x20};

class MouseTest : public StackTest {
protected:
    void TearDown() override
    {
        if (app_.IsOpen())
            app_.Close();
        StackTest::TearDown();
    }

    // Plugs and starts a mouse, then opens its control device and switches the feature.
    sim::Mouse &Ready(const sim::MouseConfig &config = {}, bool featureOn = true)
    {
        sim::Mouse &mouse = pnp_->PlugAndStart(config);
        EXPECT_EQ(mouse.State(), sim::MouseState::Started);
        EXPECT_EQ(app_.Open(1), STATUS_SUCCESS);
        EXPECT_EQ(featureOn ? app_.TurnOn() : app_.TurnOff(), STATUS_SUCCESS);
        EXPECT_EQ(app_.Close(), HCT_STATUS_INVALID_DEVICE_REQUEST);  // cleanup is refused, close succeeds
        return mouse;
    }

    // Feeds one report and returns the trace it caused and the bytes the class driver read (as many
    // as the bus reported, up to what it copied).
    std::pair<Lines, Bytes> Deliver(sim::Mouse &mouse, const Bytes &report, const sim::ReportOptions &options = {})
    {
        const size_t reads = mouse.Class().Reads().size();
        const size_t mark = TraceMark();
        mouse.Feed(report, options);
        sim::PnpManager::Settle();
        const auto all = mouse.Class().Reads();
        EXPECT_EQ(all.size(), reads + 1);
        return {TraceSince(mark), all.empty() ? Bytes{} : all.back().bytes};
    }

    // Sends a control transfer of the class driver's kind with this setup packet and returns the
    // trace of it.
    Lines Control(sim::Mouse &mouse, const std::array<uint8_t, 8> &setup, uint8_t *buffer = nullptr)
    {
        URB urb{};
        uint8_t own[256] = {};
        urb.UrbControlTransfer.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
        urb.UrbControlTransfer.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
        urb.UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        urb.UrbControlTransfer.TransferBuffer = buffer != nullptr ? buffer : own;
        urb.UrbControlTransfer.TransferBufferLength = sizeof own;
        memcpy(urb.UrbControlTransfer.SetupPacket, setup.data(), 8);
        const size_t mark = TraceMark();
        sim::SendRequest(mouse.FilterDevice(), {.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB, .argument1 = &urb});
        return TraceSince(mark);
    }

    sim::Application app_;
};

}  // namespace stack

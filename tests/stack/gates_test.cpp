// Both sides of every gate of the completion path and the start path, through the whole stack: the
// value that passes and its nearest neighbours that must not (each bit of the setup packet's first
// four bytes, non-zero USB statuses without the error bits, the report lengths 0, 1, 32 and 33,
// layouts with a field one short or missing, MouseFound off, the start's and the probe's statuses,
// each letter of the probe's reply), and for each what the filter does: parsed or not, rewritten or
// not, and the exact trace. Expected values are written out here as the filter's rules state them.
#include "mouse_fixture.h"

#include "tests/support/mouse_descriptors.h"

namespace stack {
namespace {

using mice::MouseShape;
using Layout = REPORT_LAYOUT;

hid::Bytes MouseDescriptor(const MouseShape &shape) { return mice::FiveButtonMouse(shape).bytes(); }

// Buttons, X, Y, wheel, pan, 8 bits each after the buttons' byte.
constexpr Layout kDefault = mice::kFiveButtonLayout;
// X, Y, wheel, pan, then the buttons.
constexpr Layout kButtonsLast = {0x28, 8, 0, 8, 8, 8, 0x10, 8, 0x18};

class GateTest : public MouseTest {
protected:
    static sim::MouseConfig Config(const MouseShape &shape = {})
    {
        sim::MouseConfig config;
        config.reportDescriptor = MouseDescriptor(shape);
        config.minimumReadLength = 64;       // room for reports longer than the layout says
        config.resubmitAfterFailure = true;  // a failed read is sent again, as a successful one is
        return config;
    }
};

// ---- the report descriptor gate: setup bytes 0 to 3 exactly 81 06 00 22 ------------------------

// Every single-bit neighbour of the four tested setup bytes, and the three the filter's rules name
// (device recipient, index 1, HID class descriptor), is answered by the device with a report
// descriptor of another layout and must not be parsed: the setup dump alone, the layout as it was.
// The exact bytes are parsed whatever follows them (interface number, length asked for) and
// whatever the bus said about the transfer.
TEST_F(GateTest, ReportDescriptorGateTakesExactlyTheFirstFourSetupBytes)
{
    sim::Mouse &mouse = pnp_->PlugAndStart(Config());
    ASSERT_EQ(Extension(mouse)->Layout, kDefault);
    const Bytes other = MouseDescriptor({.buttonsLast = true});
    mouse.Bus().SetOtherControlAnswer(sim::UrbAnswer::Bytes(other));

    const std::array<uint8_t, 8> exact = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01};
    std::vector<std::array<uint8_t, 8>> misses;
    for (int byte = 0; byte < 4; byte++)
        for (int bit = 0; bit < 8; bit++) {
            std::array<uint8_t, 8> s = exact;
            s[byte] ^= static_cast<uint8_t>(1u << bit);
            misses.push_back(s);
        }
    misses.push_back({0x80, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01});
    misses.push_back({0x81, 0x06, 0x01, 0x22, 0x00, 0x00, 0x00, 0x01});
    misses.push_back({0x81, 0x06, 0x00, 0x21, 0x00, 0x00, 0x00, 0x01});  // the device answers its HID descriptor
    for (const auto &setup : misses) {
        EXPECT_EQ(Control(mouse, setup), ControlLines(setup)) << SetupLine(setup);
        EXPECT_EQ(Extension(mouse)->Layout, kDefault) << SetupLine(setup);
    }

    // The accepted side: the same four bytes with any interface number and length, the answer
    // alternating between two descriptors so that every parse shows in the layout.
    struct Accepted {
        std::array<uint8_t, 8> setup;
        sim::UrbAnswer answer;
        Layout layout;
    };
    const Accepted accepted[] = {
        {{0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01}, sim::UrbAnswer::Bytes(other), kButtonsLast},
        {{0x81, 0x06, 0x00, 0x22, 0x01, 0x00, 0x00, 0x01}, sim::UrbAnswer::Bytes(MouseDescriptor({})), kDefault},
        {{0x81, 0x06, 0x00, 0x22, 0xFF, 0x7F, 0x00, 0x01}, sim::UrbAnswer::Bytes(other), kButtonsLast},
        {{0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0xFF, 0xFF}, sim::UrbAnswer::Bytes(MouseDescriptor({})), kDefault},
        // The URB status is not looked at on this path: a failed transfer with bytes is parsed.
        {{0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01},
         sim::UrbAnswer::Failure(sim::kUsbdStallPid, STATUS_UNSUCCESSFUL, other), kButtonsLast},
        {{0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01},
         sim::UrbAnswer::Failure(0x00010000, STATUS_SUCCESS, MouseDescriptor({})), kDefault},
    };
    for (const Accepted &a : accepted) {
        mouse.Bus().SetDescriptorAnswer(a.answer);
        EXPECT_EQ(Control(mouse, a.setup), Concat({ControlLines(a.setup), LayoutLines(a.layout)})) << SetupLine(a.setup);
        EXPECT_EQ(Extension(mouse)->Layout, a.layout) << SetupLine(a.setup);
    }

    // An empty answer to the exact request parses nothing and keeps the layout.
    mouse.Bus().SetDescriptorAnswer(sim::UrbAnswer::Bytes(other).Length(0));
    EXPECT_EQ(Control(mouse, exact), ControlLines(exact));
    EXPECT_EQ(Extension(mouse)->Layout, kDefault);
}

// ---- the USB status gate: exactly USBD_STATUS_SUCCESS ------------------------------------------

// A report with a pan to the right is rewritten only when its URB's status is 0. Every status with
// a single bit set (among them USBD_STATUS_CANCELED 0x00010000, CANCELING 0x00020000, PENDING
// 0x40000000, and 0x00000001, none with the error bits) stops after the four status lines, the
// report as the device sent it, even though the request itself succeeded. The request's own
// status is not what the gate looks at: a failed request whose URB status is 0 is rewritten.
TEST_F(GateTest, UsbStatusGateRewritesOnlyAZeroUrbStatus)
{
    sim::Mouse &mouse = Ready(Config());
    const Bytes pan = {0x00, 0x03, 0xFE, 0x00, 0x01};
    const Bytes rewritten = {0x00, 0x03, 0xFE, 0x30, 0x01};

    std::vector<ULONG> misses;
    for (int bit = 0; bit < 32; bit++)
        misses.push_back(1u << bit);
    misses.push_back(0xC0000004);  // USBD_STATUS_STALL_PID
    misses.push_back(0x00030000);
    for (ULONG usbd : misses) {
        const auto [trace, bytes] = Deliver(mouse, pan, {.usbdStatus = (USBD_STATUS)usbd, .status = STATUS_SUCCESS});
        EXPECT_EQ(trace, Concat({BulkLines(usbd, 5), {kInternalLine}})) << std::hex << usbd;
        EXPECT_EQ(bytes, pan) << std::hex << usbd;
    }

    for (NTSTATUS irpStatus : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, (NTSTATUS)0x00000001}) {
        const auto [trace, bytes] = Deliver(mouse, pan, {.usbdStatus = 0, .status = irpStatus});
        EXPECT_EQ(trace, Concat({BulkLines(0, 5), Dump(kBefore, pan), Dump(kAfter, rewritten), {kInternalLine}}))
            << std::hex << irpStatus;
        EXPECT_EQ(bytes, rewritten) << std::hex << irpStatus;
    }
}

// ---- the length gate: 1 to 32 bytes ------------------------------------------------------------

// Byte counts 0 and 33 stop after the status lines; 1 and 32 reach the rewrite (which, with the
// 5-byte layout, dumps them twice unchanged). With a layout of exactly 32 bytes a 32-byte report is
// rewritten; with one of 33 bytes, a 33-byte report is still not looked at.
TEST_F(GateTest, LengthGateLetsThroughOneToThirtyTwoBytes)
{
    sim::Mouse &mouse = Ready(Config());
    Bytes big(33);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<uint8_t>(0x41 + i);
    big[4] = 0x01;  // a pan to the right where the layout has it
    for (ULONG length : {0u, 33u}) {
        const auto [trace, bytes] = Deliver(mouse, big, {.reportedLength = length});
        EXPECT_EQ(trace, Concat({BulkLines(0, length), {kInternalLine}})) << length;
    }
    for (ULONG length : {1u, 4u, 6u, 32u}) {
        const Bytes seen(big.begin(), big.begin() + length);
        const auto [trace, bytes] = Deliver(mouse, big, {.reportedLength = length});
        EXPECT_EQ(trace, Concat({BulkLines(0, length), Dump(kBefore, seen), Dump(kAfter, seen), {kInternalLine}}))
            << length;
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), length)), seen) << length;
    }
}

TEST_F(GateTest, ThirtyTwoByteLayoutIsRewrittenAndThirtyThreeIsNotLookedAt)
{
    for (uint8_t trailing : {27, 28}) {
        const ULONG bytesInReport = 5u + trailing;
        sim::Mouse &mouse = Ready(Config({.trailingConstantBytes = trailing}));
        ASSERT_EQ(Extension(mouse)->Layout.TotalSize, bytesInReport * 8);
        Bytes report(bytesInReport, 0x00);
        report[1] = 0x03;
        report[4] = 0xFF;  // a pan to the left
        report.back() = 0x5A;
        Bytes after = report;
        after[3] = 0xC0;
        const auto [trace, bytes] = Deliver(mouse, report);
        if (bytesInReport == 32) {
            EXPECT_EQ(trace, Concat({BulkLines(0, 32), Dump(kBefore, report), Dump(kAfter, after), {kInternalLine}}));
            EXPECT_EQ(bytes, after);
        } else {
            EXPECT_EQ(trace, Concat({BulkLines(0, 33), {kInternalLine}}));
            EXPECT_EQ(bytes, report);
        }
        pnp_->Remove(mouse);
    }
}

// ---- the layout gate: TotalSize, X, Y, wheel and pan sizes all non-zero; offsets not tested ------

enum class Seen { FunctionLineOnly, BeforeDumpOnly, Rewritten };

struct LayoutCase {
    const char *name;
    MouseShape shape;
    Layout layout;
    Bytes report;
    Seen seen;
    Bytes after;  // when rewritten
};

class LayoutGateTest : public GateTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LayoutGateTest, ReportIsInspectedOnlyWithEveryFieldLocated)
{
    const LayoutCase &c = GetParam();
    sim::Mouse &mouse = Ready(Config(c.shape));
    ASSERT_EQ(Extension(mouse)->Layout, c.layout);
    const auto [trace, bytes] = Deliver(mouse, c.report);
    switch (c.seen) {
    case Seen::FunctionLineOnly:
        EXPECT_EQ(trace, (Lines{"\n\r urb->UrbHeader.Function = 0x9", kInternalLine}));
        EXPECT_EQ(bytes, c.report);
        break;
    case Seen::BeforeDumpOnly:
        EXPECT_EQ(trace, Concat({BulkLines(0, 5), Dump(kBefore, c.report), {kInternalLine}}));
        EXPECT_EQ(bytes, c.report);
        break;
    case Seen::Rewritten:
        EXPECT_EQ(trace, Concat({BulkLines(0, 5), Dump(kBefore, c.report), Dump(kAfter, c.after), {kInternalLine}}));
        EXPECT_EQ(bytes, c.after);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutGateTest,
    ::testing::Values(
        LayoutCase{"Complete", {}, kDefault, {0x00, 0x03, 0xFE, 0x00, 0x01}, Seen::Rewritten, {0x00, 0x03, 0xFE, 0x30, 0x01}},
        // X at bit 0: an offset of 0 is a located field.
        LayoutCase{"XAtOffsetZero", {.buttonsLast = true}, kButtonsLast, {0x03, 0xFE, 0x00, 0xFF, 0x00}, Seen::Rewritten,
                   {0x03, 0xFE, 0xC0, 0xFF, 0x00}},
        // Usage Rx (0x33) instead of X, Ry (0x34) instead of Y, Dial (0x37) instead of Wheel, AC
        // Pan's neighbour 0x0237 instead of AC Pan: that field is not located, the rest are.
        LayoutCase{"NoX", {.xUsage = 0x33}, {0x28, 0, 0, 8, 0x10, 8, 0x18, 8, 0x20}, {0x00, 0x03, 0xFE, 0x00, 0x01},
                   Seen::FunctionLineOnly, {}},
        LayoutCase{"NoY", {.yUsage = 0x34}, {0x28, 8, 8, 0, 0, 8, 0x18, 8, 0x20}, {0x00, 0x03, 0xFE, 0x00, 0x01},
                   Seen::FunctionLineOnly, {}},
        LayoutCase{"NoWheel", {.wheelUsage = 0x37}, {0x28, 8, 8, 8, 0x10, 0, 0, 8, 0x20}, {0x00, 0x03, 0xFE, 0x00, 0x01},
                   Seen::FunctionLineOnly, {}},
        LayoutCase{"NoPan", {.acPanUsage = hid::Usage16(0x0237)}, {0x28, 8, 8, 8, 0x10, 8, 0x18, 0, 0}, {0x00, 0x03, 0xFE, 0x00, 0x01},
                   Seen::FunctionLineOnly, {}},
        // A wheel one bit short of 8 passes the layout gate and stops the rewrite after the first
        // dump; so does a wheel of 1 bit. A pan of 1 bit is enough.
        LayoutCase{"WheelOfSevenBits", {.wheelBits = 7}, {0x28, 8, 8, 8, 0x10, 7, 0x18, 8, 0x20},
                   {0x00, 0x03, 0xFE, 0x00, 0x01}, Seen::BeforeDumpOnly, {}},
        LayoutCase{"WheelOfOneBit", {.wheelBits = 1}, {0x28, 8, 8, 8, 0x10, 1, 0x18, 8, 0x20},
                   {0x00, 0x03, 0xFE, 0x00, 0x01}, Seen::BeforeDumpOnly, {}},
        LayoutCase{"PanOfOneBit", {.panBits = 1}, {0x28, 8, 8, 8, 0x10, 8, 0x18, 1, 0x20}, {0x00, 0x03, 0xFE, 0x00, 0x80},
                   Seen::Rewritten, {0x00, 0x03, 0xFE, 0xC0, 0x80}},
        LayoutCase{"PanOfOneBitClear", {.panBits = 1}, {0x28, 8, 8, 8, 0x10, 8, 0x18, 1, 0x20},
                   {0x00, 0x03, 0xFE, 0x00, 0x7F}, Seen::BeforeDumpOnly, {}}),
    [](const ::testing::TestParamInfo<LayoutCase> &info) { return std::string(info.param.name); });

// ---- MouseFound -----------------------------------------------------------------------------

// With MouseFound cleared on a started mouse (which the start never does, so it is set here by
// hand), neither a report descriptor nor a report is looked at: the dispatch lines alone, layout
// and report as they were. Set again, both are.
TEST_F(GateTest, MouseFoundOffStopsBothPathsBeforeTheirFirstLine)
{
    sim::Mouse &mouse = Ready(Config());
    const Bytes other = MouseDescriptor({.buttonsLast = true});
    mouse.Bus().SetDescriptorAnswer(sim::UrbAnswer::Bytes(other));
    const std::array<uint8_t, 8> setup = {0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01};
    const Bytes pan = {0x00, 0x03, 0xFE, 0x00, 0x01};

    Extension(mouse)->MouseFound = 0;
    EXPECT_EQ(Control(mouse, setup), (Lines{kInternalLine}));
    EXPECT_EQ(Extension(mouse)->Layout, kDefault);
    auto [trace, bytes] = Deliver(mouse, pan);
    EXPECT_EQ(trace, (Lines{kInternalLine}));
    EXPECT_EQ(bytes, pan);

    Extension(mouse)->MouseFound = 1;
    mouse.Bus().SetDescriptorAnswer(sim::UrbAnswer::Bytes(MouseDescriptor({})));
    EXPECT_EQ(Control(mouse, setup), Concat({ControlLines(setup), LayoutLines(kDefault)}));
    std::tie(trace, bytes) = Deliver(mouse, pan);
    EXPECT_EQ(bytes, (Bytes{0x00, 0x03, 0xFE, 0x30, 0x01}));
}

// ---- the start path: the start's status, the probe's status, its reply -------------------------

// Only a start the drivers below complete with exactly STATUS_SUCCESS, at once or after pending,
// runs the probes; every other code, the other success, informational and warning codes included,
// leaves both flags FALSE, writes neither line and is returned as it is. The probe's verdict is TRUE
// only when its request ends with exactly STATUS_SUCCESS, at once or after pending, and the reply
// spells START; the start succeeds either way, and the URB status line is the one of the URB's own
// status.
TEST_F(GateTest, StartAndProbeStatusGatesTakeOnlyExactlySuccess)
{
    for (bool probe : {false, true})
    for (bool later : {false, true})
    for (NTSTATUS status : {(NTSTATUS)0x00000000, (NTSTATUS)0x00000001, (NTSTATUS)0x00000102, (NTSTATUS)0x40000000,
                            (NTSTATUS)0x80000005, (NTSTATUS)0xC0000001}) {
        SCOPED_TRACE(::testing::Message() << (probe ? "probe " : "start ") << std::hex << status << (later ? " pending" : " at once"));
        sim::MouseConfig config;
        if (probe) {
            config.stringAnswer = sim::UrbAnswer::Failure(0, status, {'S', 'T', 'A', 'R', 'T'});
            later ? config.stringAnswer.Pend() : config.stringAnswer.Sync();
        } else {
            config.startAnswers = {{.status = status, .completion = later ? sim::Completion::Pending : sim::Completion::Synchronous}};
        }
        config.fetchDescriptor = false;
        config.readsOutstanding = 0;
        sim::Mouse &mouse = pnp_->Plug(config);
        const size_t mark = TraceMark();
        EXPECT_EQ(pnp_->Start(mouse), probe ? STATUS_SUCCESS : status);
        const bool started = probe || status == 0, ready = status == 0;
        Lines expected = started ? Concat({kStartRequestLines, {kUrbSuccess, kFound}}) : kStartRequestLines;
        if (ready)
            expected.push_back(kReady);
        EXPECT_EQ(TraceSince(mark), expected);
        EXPECT_EQ(mouse.Bus().StringRequests(), started ? 1u : 0u);
        EXPECT_EQ(Extension(mouse)->MouseFound, started ? 1 : 0);
        EXPECT_EQ(Extension(mouse)->FeatureReady, ready ? 1 : 0);
        pnp_->Remove(mouse);
    }
}

// Each of the five letters in both cases passes; its neighbours (one below, one above, with the top
// bit set, with the top bit and the case bit changed) do not, and neither does a reply one byte
// short. Bytes after the fifth do not matter.
TEST_F(GateTest, ProbeReplyGateTakesEachLetterInEitherCaseAndNothingNextToIt)
{
    struct Reply {
        std::string bytes;
        std::optional<ULONG> count;
        bool ready;
    };
    std::vector<Reply> replies = {{"START", {}, true}, {"start", {}, true}, {"START", 4u, false},
                                  {"STARTING", 5u, true}, {"STARX\x01", {}, false}};
    const std::string word = "START";
    for (size_t i = 0; i < word.size(); i++) {
        const uint8_t letter = static_cast<uint8_t>(word[i]);
        for (uint8_t v : {uint8_t(letter ^ 0x20), uint8_t(letter - 1), uint8_t(letter + 1), uint8_t(letter ^ 0x80),
                          uint8_t(letter ^ 0xA0), uint8_t((letter ^ 0x20) - 1), uint8_t((letter ^ 0x20) + 1)}) {
            std::string bytes = word;
            bytes[i] = static_cast<char>(v);
            replies.push_back({bytes, {}, v == (letter ^ 0x20)});
        }
    }
    for (const Reply &r : replies) {
        sim::MouseConfig config;
        config.stringAnswer = sim::UrbAnswer::Text(r.bytes);
        if (r.count)
            config.stringAnswer.Length(*r.count);
        config.fetchDescriptor = false;
        config.readsOutstanding = 0;
        sim::Mouse &mouse = pnp_->Plug(config);
        EXPECT_EQ(pnp_->Start(mouse), STATUS_SUCCESS);
        EXPECT_EQ(Extension(mouse)->FeatureReady, r.ready ? 1 : 0) << ::testing::PrintToString(r.bytes);
        pnp_->Remove(mouse);
    }
}

}  // namespace
}  // namespace stack

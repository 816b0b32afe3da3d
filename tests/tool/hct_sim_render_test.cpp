// hct-sim's output: the layout diagram, the verdict on whether the driver will ever rewrite
// a mouse's reports, the trace split into lines, and the JSON emitter.
#include "tools/hct-sim/render.h"

#include <gtest/gtest.h>

namespace {

using hct_sim::Bytes;
using hct_sim::InputReportShape;

constexpr REPORT_LAYOUT kMouse = {0x28, 8, 8, 8, 0x10, 8, 0x18, 8, 0x20};

TEST(FieldValue, ReadsBitsMostSignificantFirstAsTheDriverDoes) {
    const Bytes report = {0x00, 0x03, 0xfe, 0x00, 0xff};
    EXPECT_EQ(hct_sim::FieldValue(report, 0x20, 8), -1);
    EXPECT_EQ(hct_sim::FieldValue(report, 0x08, 8), 3);
    // Report bit 0 is the top bit of byte 0: a 4-bit field at bit 16 is the high nibble of 0xfe.
    EXPECT_EQ(hct_sim::FieldValue(report, 16, 4), -1);
    EXPECT_EQ(hct_sim::FieldValue(report, 20, 4), -2);
    // Bits beyond the report read as 0 instead of reaching past it.
    EXPECT_EQ(hct_sim::FieldValue({0x7f}, 4, 8), -16);  // 1111 then 0000
}

TEST(LayoutDiagram, DrawsEachFieldInTheBitsTheDriverWillTouch) {
    // A 4-bit wheel at bit 4: the low nibble of byte 0 in the driver's order.
    const REPORT_LAYOUT narrow = {0x10, 0, 0, 0, 0, 4, 4, 4, 0};
    const std::string picture = hct_sim::LayoutDiagram(narrow);
    EXPECT_NE(picture.find("PPPPWWWW ........"), std::string::npos) << picture;
}

// A descriptor may declare a layout of up to 2^32 bits: the diagram is drawn from the four fields,
// the rows of a report longer than 64 bytes that hold none of them named instead of drawn; a
// report of up to 64 bytes is drawn whole.
TEST(LayoutDiagram, AReportLongerThan64BytesDrawsOnlyTheRowsHoldingTheFields) {
    // 64 bytes, X in byte 0: all eight rows, the empty ones too.
    const std::string whole = hct_sim::LayoutDiagram(REPORT_LAYOUT{512, 8, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_NE(whole.find("  byte 56       57       58       59       60       61       62       63\n"), std::string::npos) << whole;
    EXPECT_EQ(whole.find("not drawn"), std::string::npos) << whole;
    // 65 bytes: the first row, then one line for bytes 8 to 64.
    const std::string longer = hct_sim::LayoutDiagram(REPORT_LAYOUT{520, 8, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_NE(longer.find("       XXXXXXXX ........ ........ ........ ........ ........ ........ ........\n"
                          "  bytes 8 to 64: none of X, Y, wheel and AC pan, not drawn\n"
                          "  X = X,"),
              std::string::npos)
        << longer;

    // 2^32 - 8 bits, the fields in bytes 4096 to 4099 and the pan overlapping the wheel in byte
    // 4100: a few rows, whatever the length.
    const REPORT_LAYOUT huge = {0xFFFFFFF8u, 8, 4096 * 8, 8, 4097 * 8, 12, 4098 * 8, 8, 4099 * 8 + 2};
    const std::string picture = hct_sim::LayoutDiagram(huge);
    EXPECT_LT(picture.size(), 2000u) << picture;
    EXPECT_NE(picture.find("  bytes 0 to 4095: none of X, Y, wheel and AC pan, not drawn\n"
                           "  byte 4096     4097     4098     4099     4100     4101     4102     4103\n"
                           "  bit  76543210 76543210 76543210 76543210 76543210 76543210 76543210 76543210\n"
                           "       XXXXXXXX YYYYYYYY WWWWWWWW WW##PPPP PP...... ........ ........ ........\n"
                           "  bytes 4104 to 536870910: none of X, Y, wheel and AC pan, not drawn\n"
                           "  X = X, Y = Y, W = wheel, P = AC pan, . = other bits (buttons, padding, other fields), # = two kinds overlap\n"),
              std::string::npos)
        << picture;
    // Fields that overlap only past the end of the report are not said to overlap.
    const std::string past = hct_sim::LayoutDiagram(REPORT_LAYOUT{16, 8, 16, 8, 16, 0, 0, 0, 0});
    EXPECT_EQ(past.find('#'), std::string::npos) << past;
}

// Each verdict with its reason's code, and the first words of its sentence; "device" where the
// descriptor is not a mouse's, and the driver's first-byte reading named only where an item has a
// value beyond it (the descriptors that show the rest are the messages tests').
TEST(JudgeRewrite, GivesEachReasonWithItsCode) {
    REPORT_LAYOUT narrow = kMouse;
    narrow.WheelSize = 4;
    const REPORT_LAYOUT summed = {0x48, 8, 8, 8, 0x10, 8, 0x18, 8, 0x40}, wide = {0x200, 8, 8, 8, 0x10, 8, 0x18, 8, 0x20};
    const hct_sim::DescriptorTraits mouse, keyboard{0, false};
    const struct {
        REPORT_LAYOUT layout;
        std::vector<InputReportShape> shapes;
        hct_sim::DescriptorTraits traits;
        std::string code, sentence;  // code "": the driver will rewrite
    } cases[] = {
        {kMouse, {{0, 40, 5}}, mouse, "", ""},
        {summed, {{1, 32, 5}, {2, 40, 6}}, mouse, "reports-summed", "the layout sums the fields of 2 input reports"},
        {narrow, {{0, 40, 5}}, mouse, "wheel-narrow", "the wheel is 4 bits wide"},
        {wide, {{0, 512, 64}}, mouse, "layout-too-long", "the layout spans 64 bytes"},
        {kMouse, {}, mouse, "no-input-report", "the descriptor declares no input report"},
        {kMouse, {{0, 48, 6}}, keyboard, "length-differs", "the device sends 6-byte reports, the driver rewrites only reports of TotalSize/8 = 5 bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        const auto outlook = hct_sim::JudgeRewrite(c.layout, c.shapes, c.traits);
        EXPECT_EQ(outlook.ever, c.code.empty());
        const std::string text = hct_sim::OutlookText(outlook, c.layout, c.shapes);
        if (c.code.empty()) {
            EXPECT_TRUE(outlook.reasons.empty());
            EXPECT_NE(text.find("rewrite: yes"), std::string::npos) << text;
            continue;
        }
        ASSERT_EQ(outlook.reasons.size(), 1u);
        EXPECT_EQ(outlook.reasons[0].code, c.code);
        EXPECT_EQ(outlook.reasons[0].message.rfind(c.sentence, 0), 0u) << outlook.reasons[0].message;
        EXPECT_EQ(text.find("(it reads only the first byte"), std::string::npos) << text;
        EXPECT_NE(text.find(std::string("rewrite: never: the driver will pass every report of this ") + (c.traits.mouse ? "mouse" : "device")),
                  std::string::npos) << text;
    }
}

TEST(RowNote, TellsWhyAReportPassedUnchanged) {
    EXPECT_EQ(hct_sim::RowNote({{0, 3, 0xfe, 0, 1}, {0, 3, 0xfe, 0x30, 1}, true}, kMouse, true), "pan +1: wheel set to 0x30");
    EXPECT_EQ(hct_sim::RowNote({{0, 0, 0, 0, 0xff}, {0, 0, 0, 0xc0, 0xff}, true}, kMouse, true), "pan -1: wheel set to 0xc0");
    EXPECT_EQ(hct_sim::RowNote({{1, 5, 0xfb, 1, 0}, {1, 5, 0xfb, 1, 0}, true}, kMouse, true), "pan 0: unchanged");
    EXPECT_EQ(hct_sim::RowNote({{0, 0, 0, 0, 1}, {0, 0, 0, 0, 1}, true}, kMouse, false), "pan +1, feature off: unchanged");
    EXPECT_EQ(hct_sim::RowNote({{1, 0, 0, 0, 0, 1}, {1, 0, 0, 0, 0, 1}, true}, kMouse, true),
              "unchanged: 6 bytes, driver expects 5");
    const Bytes longer(33, 0);
    EXPECT_EQ(hct_sim::RowNote({longer, longer, true}, kMouse, true), "not examined: the driver passes it on as it came, for it looks only at reports of 1 to 32 bytes");
}

TEST(TraceLines, CutTheTraceAtEveryLineFeedCarriageReturnAndShowOtherControls) {
    const auto lines = hct_sim::TraceLines("\n\r Device Lower Filter LOAD !!\n\r one\tstatus\n\n\r\n\rlast \x01");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], " Device Lower Filter LOAD !!");
    EXPECT_EQ(lines[1], " one\\tstatus\\n");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "last \\x01");
    // Text before the first cut is a line of its own; an empty trace has none.
    EXPECT_EQ(hct_sim::TraceLines("head\n\rtail"), (std::vector<std::string>{"head", "tail"}));
    EXPECT_TRUE(hct_sim::TraceLines("").empty());
}

// Values of every kind are read back by the command tests; a string's escapes are shown here.
TEST(Json, EscapesQuotesBackslashesAndControlCharacters) {
    const hct_sim::Json json = hct_sim::Json::MakeObject().Set("name", "a \"quoted\"\\ line\n\x01\xff");
    EXPECT_EQ(json.Dump(), "{\n  \"name\": \"a \\\"quoted\\\"\\\\ line\\n\\u0001\\u00ff\"\n}\n");
}

}  // namespace

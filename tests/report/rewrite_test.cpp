// The input report rewrite: which reports change, into what, and that no other bit moves.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "report/report.h"
#include "tests/report/mouse_descriptors.h"
#include "tests/support/hid_builder.h"

namespace {

using hct_report::RewriteReport;
using hct_report::RewriteResult;
using Report = std::vector<uint8_t>;

struct Outcome {
    RewriteResult result;
    Report report;
};

// Rewrites a heap copy of exactly the report's size, so a write past the end trips ASan.
Outcome Rewrite(const REPORT_LAYOUT &layout, Report report, bool featureEnabled = true)
{
    auto exact = hid::ExactCopy(report.data(), report.size());
    const RewriteResult result = RewriteReport(layout, featureEnabled, exact.get(), static_cast<uint32_t>(report.size()));
    return {result, Report(exact.get(), exact.get() + report.size())};
}

REPORT_LAYOUT WithWheelAndPan(uint32_t total, uint32_t wheelSize, uint32_t wheelOffset, uint32_t panSize,
                              uint32_t panOffset)
{
    REPORT_LAYOUT layout = mice::kFiveButtonLayout;
    layout.TotalSize = total;
    layout.WheelSize = wheelSize;
    layout.WheelOffset = wheelOffset;
    layout.AcPanSize = panSize;
    layout.AcPanOffset = panOffset;
    return layout;
}

bool Bit(const Report &r, uint32_t n) { return (r[n / 8] >> (7 - n % 8)) & 1; }

struct Case {
    Report before;
    Report after;
};

TEST(RewriteReport, NonZeroPanSetsTheWheelToAFixedStepOfThePansSign)
{
    const Case cases[] = {
        {{0x00, 0x05, 0xFB, 0x00, 0x01}, {0x00, 0x05, 0xFB, 0x30, 0x01}},
        {{0x00, 0x00, 0x00, 0x00, 0xFF}, {0x00, 0x00, 0x00, 0xC0, 0xFF}},
        {{0x00, 0x00, 0x00, 0xFF, 0x01}, {0x00, 0x00, 0x00, 0x30, 0x01}},  // the wheel's own value does not matter
        {{0x00, 0x00, 0x00, 0x30, 0xFF}, {0x00, 0x00, 0x00, 0xC0, 0xFF}},
        {{0x00, 0x00, 0x00, 0x00, 0x80}, {0x00, 0x00, 0x00, 0xC0, 0x80}},  // -128 is negative
        {{0x00, 0x00, 0x00, 0x00, 0x7F}, {0x00, 0x00, 0x00, 0x30, 0x7F}},
        {{0x1F, 0x81, 0x7F, 0xAA, 0x02}, {0x1F, 0x81, 0x7F, 0x30, 0x02}},  // buttons, X, Y pass unchanged
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.before));
        const Outcome out = Rewrite(mice::kFiveButtonLayout, c.before);
        EXPECT_EQ(out.result, RewriteResult::Rewritten);
        EXPECT_EQ(out.report, c.after);
    }
}

TEST(RewriteReport, ZeroPanChangesNothingAndAsksOnlyForTheBeforeDump)
{
    const Outcome out = Rewrite(mice::kFiveButtonLayout, {0x01, 0x02, 0x03, 0x04, 0x00});
    EXPECT_EQ(out.result, RewriteResult::BeforeOnly);
    EXPECT_EQ(out.report, (Report{0x01, 0x02, 0x03, 0x04, 0x00}));
}

TEST(RewriteReport, FeatureOffLeavesTheReportUnchanged)
{
    const Outcome out = Rewrite(mice::kFiveButtonLayout, {0x00, 0x05, 0xFB, 0x00, 0x01}, false);
    EXPECT_EQ(out.result, RewriteResult::Unchanged);
    EXPECT_EQ(out.report, (Report{0x00, 0x05, 0xFB, 0x00, 0x01}));
}

TEST(RewriteReport, ReportOfAnotherLengthIsLeftUnchanged)
{
    for (const Report &r : {Report{0x00, 0x05, 0xFB, 0x01}, Report{0x01, 0x00, 0x05, 0xFB, 0x00, 0x01}}) {
        SCOPED_TRACE(r.size());
        const Outcome out = Rewrite(mice::kFiveButtonLayout, r);
        EXPECT_EQ(out.result, RewriteResult::Unchanged);
        EXPECT_EQ(out.report, r);
    }
}

TEST(RewriteReport, WheelNarrowerThanEightBitsIsNeverRewritten)
{
    const REPORT_LAYOUT layout = WithWheelAndPan(0x28, 4, 0x18, 8, 0x20);
    for (bool enabled : {true, false}) {
        const Outcome out = Rewrite(layout, {0x00, 0x00, 0x00, 0x00, 0x01}, enabled);
        EXPECT_EQ(out.result, RewriteResult::BeforeOnly);
        EXPECT_EQ(out.report, (Report{0x00, 0x00, 0x00, 0x00, 0x01}));
    }
}

TEST(RewriteReport, SixteenBitWheelGetsTheStepInItsSecondByte)
{
    const REPORT_LAYOUT layout = WithWheelAndPan(0x30, 16, 0x18, 8, 0x28);
    EXPECT_EQ(Rewrite(layout, {0x00, 0x00, 0x00, 0x12, 0x34, 0x05}).report, (Report{0x00, 0x00, 0x00, 0x00, 0x30, 0x05}));
    EXPECT_EQ(Rewrite(layout, {0x00, 0x00, 0x00, 0x12, 0x34, 0xF0}).report, (Report{0x00, 0x00, 0x00, 0x00, 0xC0, 0xF0}));
}

TEST(RewriteReport, WheelAtTheStartOfTheReportIsRewrittenInPlace)
{
    const REPORT_LAYOUT layout = WithWheelAndPan(0x18, 8, 0, 8, 0x10);
    const Outcome out = Rewrite(layout, {0xFF, 0x00, 0x01});
    EXPECT_EQ(out.result, RewriteResult::Rewritten);
    EXPECT_EQ(out.report, (Report{0x30, 0x00, 0x01}));
}

// Report bit n is bit 7 - n%8 of byte n/8. A wheel at bit 3 covers the low five bits of byte 0 and
// the top three of byte 1; in the HID (least significant first) order it would cover other bits.
TEST(RewriteReport, FieldsOffByteBoundariesAreAddressedMostSignificantBitFirst)
{
    const REPORT_LAYOUT wheelAt3 = WithWheelAndPan(0x18, 8, 3, 8, 0x10);
    EXPECT_EQ(Rewrite(wheelAt3, {0xFF, 0xFF, 0x01}).report, (Report{0xE6, 0x1F, 0x01}));
    EXPECT_EQ(Rewrite(wheelAt3, {0xFF, 0xFF, 0x80}).report, (Report{0xF8, 0x1F, 0x80}));

    // The pan's sign is its first bit: report bit 11 is bit 4 of byte 1.
    const REPORT_LAYOUT panAt11 = WithWheelAndPan(0x18, 8, 3, 8, 11);
    EXPECT_EQ(Rewrite(panAt11, {0x00, 0x10, 0x00}).report, (Report{0x18, 0x10, 0x00}));
    EXPECT_EQ(Rewrite(panAt11, {0x00, 0x08, 0x00}).report, (Report{0x06, 0x08, 0x00}));
}

TEST(RewriteReport, LayoutReachingPastTheReportIsTreatedAsALengthMismatch)
{
    for (const REPORT_LAYOUT &layout : {WithWheelAndPan(0x18, 16, 0x10, 8, 0), WithWheelAndPan(0x18, 8, 0, 16, 0x10),
                                        WithWheelAndPan(0x18, 8, 0xFFFFFFF8, 8, 0x10)}) {
        const Outcome out = Rewrite(layout, {0x00, 0x00, 0x01});
        EXPECT_EQ(out.result, RewriteResult::Unchanged);
        EXPECT_EQ(out.report, (Report{0x00, 0x00, 0x01}));
    }
}

// Random reports under layouts with fields at odd offsets and widths and with whole-byte fields
// (which take a path of their own): every bit outside the wheel field keeps its value, and the
// wheel field holds exactly the step of the pan's sign.
TEST(RewriteReport, NothingOutsideTheWheelFieldChanges)
{
    const REPORT_LAYOUT layouts[] = {
        mice::kFiveButtonLayout,
        WithWheelAndPan(0x18, 8, 3, 8, 11),
        WithWheelAndPan(0x20, 13, 5, 7, 19),
        WithWheelAndPan(0x100, 9, 0xF7, 3, 0x40),
        WithWheelAndPan(0x10, 9, 7, 3, 0),
        WithWheelAndPan(0x30, 16, 0x18, 16, 0x08),
        WithWheelAndPan(0x38, 24, 0x20, 8, 0),
        WithWheelAndPan(0x20, 8, 0x18, 24, 0),
        WithWheelAndPan(0x20, 8, 0x10, 8, 0x10),  // wheel and pan on the same byte
    };
    std::mt19937 random(1234);
    for (const REPORT_LAYOUT &layout : layouts) {
        for (int round = 0; round < 200; round++) {
            Report before(layout.TotalSize / 8);
            for (uint8_t &b : before)
                b = static_cast<uint8_t>(random());
            if (round % 4 == 0) {  // a zero pan, whatever its width
                for (uint32_t i = 0; i < layout.AcPanSize; i++)
                    before[(layout.AcPanOffset + i) / 8] &= static_cast<uint8_t>(~(0x80u >> ((layout.AcPanOffset + i) % 8)));
            }
            const Outcome out = Rewrite(layout, before);

            bool panNonZero = false;
            for (uint32_t i = 0; i < layout.AcPanSize; i++)
                panNonZero |= Bit(before, layout.AcPanOffset + i);
            ASSERT_EQ(out.result, panNonZero ? RewriteResult::Rewritten : RewriteResult::BeforeOnly);

            const uint32_t last = layout.WheelOffset + layout.WheelSize - 1;
            const bool negative = Bit(before, layout.AcPanOffset);
            for (uint32_t n = 0; n < layout.TotalSize; n++) {
                const bool inWheel = n >= layout.WheelOffset && n <= last;
                if (!panNonZero || !inWheel) {
                    ASSERT_EQ(Bit(out.report, n), Bit(before, n)) << "bit " << n;
                    continue;
                }
                const uint32_t d = last - n;
                const bool expected = negative ? (d == 6 || d == 7) : (d == 4 || d == 5);
                ASSERT_EQ(Bit(out.report, n), expected) << "wheel bit " << n;
            }
        }
    }
}

}  // namespace

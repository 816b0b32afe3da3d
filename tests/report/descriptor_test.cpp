// The report descriptor walk: where X, Y, wheel and AC pan land, and how it treats hostile bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "report/report.h"
#include "tests/report/mouse_descriptors.h"
#include "tests/support/hid_builder.h"

namespace {

using namespace hid;
using mice::FiveButtonMouse;
using mice::kFiveButtonLayout;
using mice::MouseShape;

constexpr REPORT_LAYOUT kGarbage = {0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5,
                                    0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5};

// Parses from a heap block of exactly the descriptor's size, so a read past the end trips ASan.
REPORT_LAYOUT Parse(const Bytes &bytes)
{
    auto exact = ExactCopy(bytes.data(), bytes.size());
    REPORT_LAYOUT layout = kGarbage;
    EXPECT_TRUE(hct_report::ParseLayout(exact.get(), static_cast<uint32_t>(bytes.size()), &layout));
    return layout;
}

REPORT_LAYOUT Parse(const Descriptor &d) { return Parse(d.bytes()); }

REPORT_LAYOUT Layout(uint32_t total, uint32_t xs, uint32_t xo, uint32_t ys, uint32_t yo, uint32_t ws, uint32_t wo,
                     uint32_t ps, uint32_t po)
{
    return {total, xs, xo, ys, yo, ws, wo, ps, po};
}

// One Input item of `count` fields of `bits` each, preceded by the given Usage items.
Descriptor Fields(std::initializer_list<Bytes> usages, uint8_t bits, uint8_t count)
{
    Descriptor d(usages);
    d.Add({ReportSize(bits), ReportCount(count), Input(kDataVarRel)});
    return d;
}

TEST(ParseLayout, FiveButtonMouseLocatesXYWheelAndPan)
{
    EXPECT_EQ(Parse(FiveButtonMouse()), kFiveButtonLayout);
}

TEST(ParseLayout, ReportIdItemAddsNoBits)
{
    EXPECT_EQ(Parse(FiveButtonMouse({.reportId = true})), kFiveButtonLayout);
}

TEST(ParseLayout, UsageRangeLocatesNothingButTheBitPositionStillAdvances)
{
    EXPECT_EQ(Parse(FiveButtonMouse({.xyAsRange = true})), Layout(0x28, 0, 0, 0, 0, 8, 0x18, 8, 0x20));
}

TEST(ParseLayout, TwoByteGenericDesktopPageSelectsNoDesktopUsages)
{
    EXPECT_EQ(Parse(FiveButtonMouse({.desktopPage16 = true})), Layout(0x28, 0, 0, 0, 0, 0, 0, 8, 0x20));
}

TEST(ParseLayout, AcPanIsRecognisedOnlyAsTwoByteUsageOnTheConsumerPage)
{
    const REPORT_LAYOUT noPan = Layout(0x28, 8, 8, 8, 0x10, 8, 0x18, 0, 0);
    EXPECT_EQ(Parse(FiveButtonMouse({.acPanUsage = Usage(0x38)})), noPan) << "1-byte usage";
    EXPECT_EQ(Parse(FiveButtonMouse({.acPanUsage = Usage32(0x000C0238)})), noPan) << "4-byte extended usage";

    // 0x0238 on the Generic Desktop page, and 0x38 on the Consumer page, are neither pan nor wheel.
    EXPECT_EQ(Parse(Descriptor{UsagePage(0x01), Usage16(0x0238), UsagePage(0x0C), Usage(0x38), ReportSize(8),
                               ReportCount(2), Input(kDataVarRel)}),
              Layout(0x10, 0, 0, 0, 0, 0, 0, 0, 0));
}

TEST(ParseLayout, TotalSizeRoundsTheInputBitsUpToWholeBytes)
{
    EXPECT_EQ(Parse(Fields({}, 1, 33)).TotalSize, 0x28u);
    EXPECT_EQ(Parse(Fields({}, 8, 4)).TotalSize, 0x20u);
    EXPECT_EQ(Parse(Fields({}, 1, 1)).TotalSize, 0x8u);
    EXPECT_EQ(Parse(Descriptor{UsagePage(0x01), Usage(0x30)}), Layout(0, 0, 0, 0, 0, 0, 0, 0, 0));
}

TEST(ParseLayout, OutputAndFeatureItemsAddNoBits)
{
    Descriptor d{UsagePage(0x01), ReportSize(8), ReportCount(4), Output(kDataVarAbs), Feature(kDataVarAbs),
                 Usage(0x38), ReportCount(1), Input(kDataVarRel)};
    EXPECT_EQ(Parse(d), Layout(8, 0, 0, 0, 0, 8, 0, 0, 0));
}

TEST(ParseLayout, FourByteItemIsSteppedOverWhole)
{
    // The Logical Maximum's data bytes 09 30 81 02 would read as "Usage X, Input" if the walk
    // stepped over fewer than five bytes.
    Descriptor d{UsagePage(0x01), ReportSize(8), ReportCount(1), LogicalMaximum32(0x02813009), Usage(0x38),
                 Input(kDataVarRel)};
    EXPECT_EQ(Parse(d), Layout(8, 0, 0, 0, 0, 8, 0, 0, 0));
}

TEST(ParseLayout, ReportSizeAndCountTakeOnlyTheirFirstDataByte)
{
    Descriptor d{UsagePage(0x01), Usage(0x30), ReportSize16(0x0108), ReportCount16(0x0201), Input(kDataVarRel)};
    EXPECT_EQ(Parse(d), Layout(8, 8, 0, 0, 0, 0, 0, 0, 0));
}

TEST(ParseLayout, ReservedShortItemEndsTheWalkWithTheFieldsFoundBeforeIt)
{
    for (const Bytes &reserved : {ReservedItem(0x0, 0), ReservedItem(0x5, 1), ReservedItem(0xF, 4)}) {
        Descriptor d{UsagePage(0x01), Usage(0x30), ReportSize(8), ReportCount(1), Input(kDataVarRel), reserved,
                     Usage(0x31), Input(kDataVarRel)};
        SCOPED_TRACE(::testing::PrintToString(reserved));
        EXPECT_EQ(Parse(d), Layout(8, 8, 0, 0, 0, 0, 0, 0, 0));
    }
}

TEST(ParseLayout, LongItemIsSteppedOverWithoutReadingItsData)
{
    // Read as short items, the first long item's data would be "Usage Y, Input".
    Descriptor d{UsagePage(0x01), ReportSize(8), ReportCount(1), LongItem(0x10, Raw({0x09, 0x31, 0x81, 0x02})),
                 Usage(0x30), Input(kDataVarRel), LongItem(0x11, {}), Usage(0x38), Input(kDataVarRel)};
    EXPECT_EQ(Parse(d), Layout(0x10, 8, 0, 0, 0, 8, 8, 0, 0));
}

TEST(ParseLayout, LastFieldOfAKindWins)
{
    Descriptor d = Fields({UsagePage(0x01), Usage(0x30)}, 8, 1);
    d.Add({Usage(0x31), Usage(0x30), ReportSize(16), ReportCount(2), Input(kDataVarRel)});
    EXPECT_EQ(Parse(d), Layout(0x28, 16, 0x18, 16, 8, 0, 0, 0, 0));
}

TEST(ParseLayout, FieldsBeyondTheQueuedUsagesAreLocatedAsNothing)
{
    Descriptor d = Fields({UsagePage(0x01), Usage(0x30), Usage(0x31)}, 8, 3);
    d.Add({Usage(0x38), ReportCount(1), Input(kDataVarRel)});
    EXPECT_EQ(Parse(d), Layout(0x20, 8, 0, 8, 8, 8, 0x18, 0, 0));
}

TEST(ParseLayout, UsagesBeyondTheReportCountAreDroppedWithTheQueue)
{
    Descriptor d = Fields({UsagePage(0x01), Usage(0x30), Usage(0x31)}, 8, 1);
    d.Add({Input(kDataVarRel)});
    EXPECT_EQ(Parse(d), Layout(0x10, 8, 0, 0, 0, 0, 0, 0, 0));
}

TEST(ParseLayout, UsageQueuedBeforeOutputOrFeatureIsTakenByTheNextInput)
{
    for (const Bytes &main : {Feature(kDataVarAbs), Output(kDataVarAbs), EndCollection()}) {
        Descriptor d{UsagePage(0x01), Usage(0x30), ReportSize(8), ReportCount(1), main, Usage(0x38),
                     Input(kDataVarRel)};
        SCOPED_TRACE(::testing::PrintToString(main));
        EXPECT_EQ(Parse(d), Layout(8, 8, 0, 0, 0, 0, 0, 0, 0));
    }
}

TEST(ParseLayout, CollectionEmptiesTheQueue)
{
    Descriptor d{UsagePage(0x01), Usage(0x30), Collection(kPhysical), Usage(0x38), ReportSize(8), ReportCount(1),
                 Input(kDataVarRel)};
    EXPECT_EQ(Parse(d), Layout(8, 0, 0, 0, 0, 8, 0, 0, 0));
}

TEST(ParseLayout, NullBufferOrZeroLengthLeavesAnEarlierLayoutUntouched)
{
    REPORT_LAYOUT layout = kFiveButtonLayout;
    const uint8_t byte = 0x81;
    EXPECT_FALSE(hct_report::ParseLayout(nullptr, 10, &layout));
    EXPECT_FALSE(hct_report::ParseLayout(&byte, 0, &layout));
    EXPECT_EQ(layout, kFiveButtonLayout);
}

TEST(ParseLayout, EveryParseReplacesAllNineFields)
{
    REPORT_LAYOUT layout = kFiveButtonLayout;
    const Bytes onlyX = Fields({UsagePage(0x01), Usage(0x30)}, 4, 1).bytes();
    ASSERT_TRUE(hct_report::ParseLayout(onlyX.data(), static_cast<uint32_t>(onlyX.size()), &layout));
    EXPECT_EQ(layout, Layout(8, 4, 0, 0, 0, 0, 0, 0, 0));
}

// More than 64 usages before one Input: the first 64 are kept and the walk goes on, so a 65th X is
// not located but later Input items still are, and TotalSize still covers every field.
TEST(ParseLayout, UsagesBeyondTheSixtyFourthAreRefusedAndTheWalkGoesOn)
{
    Descriptor d{UsagePage(0x01)};
    for (int i = 0; i < 63; i++)
        d.Add({Usage(0x40)});
    d.Add({Usage(0x31), Usage(0x30), ReportSize(1), ReportCount(70), Input(kDataVarAbs)});
    d.Add({Usage(0x38), ReportSize(8), ReportCount(1), Input(kDataVarRel)});
    EXPECT_EQ(Parse(d), Layout(0x50, 0, 0, 1, 63, 8, 70, 0, 0));
}

TEST(ParseLayout, ReportSizeOrCountWithoutDataBytesIsZero)
{
    Descriptor count0{UsagePage(0x01), ReportSize(8), ReportCount(2), ReportCountNoData(), Usage(0x30),
                      Input(kDataVarRel), Usage(0x38), ReportCount(1), Input(kDataVarRel)};
    EXPECT_EQ(Parse(count0), Layout(8, 0, 0, 0, 0, 8, 0, 0, 0));

    Descriptor size0{UsagePage(0x01), ReportSize(8), ReportCount(2), ReportSizeNoData(), Usage(0x30),
                     Input(kDataVarRel), Usage(0x38), ReportSize(8), ReportCount(1), Input(kDataVarRel)};
    EXPECT_EQ(Parse(size0), Layout(8, 0, 0, 0, 0, 8, 0, 0, 0));
}

TEST(ParseLayout, ItemRunningPastTheEndIsNotActedOn)
{
    // The final Input's flag byte is missing: its 16 bits are not counted.
    Bytes cut = Fields({UsagePage(0x01), Usage(0x30), Usage(0x31)}, 8, 2).bytes();
    cut.pop_back();
    EXPECT_EQ(Parse(cut), Layout(0, 0, 0, 0, 0, 0, 0, 0, 0));
}

TEST(ParseLayout, LongItemWhoseHeaderOrDataRunsPastTheEndEndsTheWalk)
{
    const Bytes head = Fields({UsagePage(0x01), Usage(0x30)}, 8, 1).bytes();
    for (const Bytes &tail : {Raw({0xFE}), Raw({0xFE, 0x04}), Raw({0xFE, 0x04, 0x10}), Raw({0xFE, 0x04, 0x10, 1, 2, 3}),
                              Raw({0xFE, 0xFF, 0x10, 0x09, 0x38, 0x81, 0x02})}) {
        Bytes d = head;
        d.insert(d.end(), tail.begin(), tail.end());
        SCOPED_TRACE(::testing::PrintToString(tail));
        EXPECT_EQ(Parse(d), Layout(8, 8, 0, 0, 0, 0, 0, 0, 0));
    }
}

// Cutting a descriptor anywhere gives the layout of the items that lie wholly before the cut, and
// never reads the byte past it.
TEST(ParseLayout, TruncatedDescriptorGivesTheLayoutOfItsWholeItems)
{
    Descriptor d = FiveButtonMouse({.reportId = true});
    d.Add({LongItem(0x20, Raw({0x01, 0x02, 0x03})), LogicalMaximum32(0x7FFFFFFF), UsagePage(0x01), Usage(0x30),
           ReportSize(8), ReportCount(1), Input(kDataVarRel)});
    const Bytes all = d.bytes();
    const std::vector<size_t> starts = d.itemStarts();

    std::vector<size_t> bounds = d.itemStarts();
    bounds.push_back(all.size());

    for (size_t cut = 1; cut < all.size(); cut++) {
        const size_t whole = *std::prev(std::upper_bound(bounds.begin(), bounds.end(), cut));
        if (whole == cut)
            continue;
        SCOPED_TRACE(cut);
        const REPORT_LAYOUT expected =
            whole == 0 ? Layout(0, 0, 0, 0, 0, 0, 0, 0, 0) : Parse(Bytes(all.begin(), all.begin() + whole));
        EXPECT_EQ(Parse(Bytes(all.begin(), all.begin() + cut)), expected);
    }
}

}  // namespace

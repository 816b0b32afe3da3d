// The report descriptor walk: where X, Y, wheel and AC pan land, and how it treats hostile bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "report/report.h"
#include "tests/support/hid_builder.h"
#include "tests/support/mouse_descriptors.h"

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

// One descriptor, the layout it gives (Parse starts from a layout of garbage, so every one of the
// nine fields is replaced by every parse).
struct LayoutCase {
    const char *what;
    Bytes descriptor;
    REPORT_LAYOUT layout;
};

Bytes SixtyFiveUsages()
{
    // More than 64 usages before one Input: the first 64 are kept and the walk goes on, so a 65th X
    // is not located but later Input items still are, and TotalSize still covers every field.
    Descriptor d{UsagePage(0x01)};
    for (int i = 0; i < 63; i++)
        d.Add({Usage(0x40)});
    d.Add({Usage(0x31), Usage(0x30), ReportSize(1), ReportCount(70), Input(kDataVarAbs)});
    d.Add({Usage(0x38), ReportSize(8), ReportCount(1), Input(kDataVarRel)});
    return d.bytes();
}

Bytes WithoutLastByte(Bytes bytes)
{
    bytes.pop_back();
    return bytes;
}

TEST(ParseLayout, EachDescriptorGivesItsLayout)
{
    const REPORT_LAYOUT noPan = Layout(0x28, 8, 8, 8, 0x10, 8, 0x18, 0, 0);
    Descriptor lastWins = Fields({UsagePage(0x01), Usage(0x30)}, 8, 1);
    lastWins.Add({Usage(0x31), Usage(0x30), ReportSize(16), ReportCount(2), Input(kDataVarRel)});
    Descriptor beyondQueue = Fields({UsagePage(0x01), Usage(0x30), Usage(0x31)}, 8, 3);
    beyondQueue.Add({Usage(0x38), ReportCount(1), Input(kDataVarRel)});
    Descriptor beyondCount = Fields({UsagePage(0x01), Usage(0x30), Usage(0x31)}, 8, 1);
    beyondCount.Add({Input(kDataVarRel)});
    const LayoutCase cases[] = {
        {"five-button mouse", FiveButtonMouse().bytes(), kFiveButtonLayout},
        {"a Report ID item adds no bits", FiveButtonMouse({.reportId = true}).bytes(), kFiveButtonLayout},
        {"a usage range locates nothing, the bit position still advances", FiveButtonMouse({.xyAsRange = true}).bytes(),
         Layout(0x28, 0, 0, 0, 0, 8, 0x18, 8, 0x20)},
        {"a 2-byte Generic Desktop page selects no desktop usages", FiveButtonMouse({.desktopPage16 = true}).bytes(),
         Layout(0x28, 0, 0, 0, 0, 0, 0, 8, 0x20)},
        {"AC pan as a 1-byte usage", FiveButtonMouse({.acPanUsage = Usage(0x38)}).bytes(), noPan},
        {"AC pan as a 4-byte extended usage", FiveButtonMouse({.acPanUsage = Usage32(0x000C0238)}).bytes(), noPan},
        {"0x0238 on the desktop page and 0x38 on the consumer page are neither pan nor wheel",
         Descriptor{UsagePage(0x01), Usage16(0x0238), UsagePage(0x0C), Usage(0x38), ReportSize(8), ReportCount(2),
                    Input(kDataVarRel)}.bytes(),
         Layout(0x10, 0, 0, 0, 0, 0, 0, 0, 0)},
        {"33 bits round up to 5 bytes", Fields({}, 1, 33).bytes(), Layout(0x28, 0, 0, 0, 0, 0, 0, 0, 0)},
        {"4 bytes", Fields({}, 8, 4).bytes(), Layout(0x20, 0, 0, 0, 0, 0, 0, 0, 0)},
        {"1 bit rounds up to a byte", Fields({}, 1, 1).bytes(), Layout(8, 0, 0, 0, 0, 0, 0, 0, 0)},
        {"no Input item", Descriptor{UsagePage(0x01), Usage(0x30)}.bytes(), Layout(0, 0, 0, 0, 0, 0, 0, 0, 0)},
        {"Output and Feature items add no bits",
         Descriptor{UsagePage(0x01), ReportSize(8), ReportCount(4), Output(kDataVarAbs), Feature(kDataVarAbs), Usage(0x38),
                    ReportCount(1), Input(kDataVarRel)}.bytes(),
         Layout(8, 0, 0, 0, 0, 8, 0, 0, 0)},
        // The Logical Maximum's data bytes 09 30 81 02 would read as "Usage X, Input" if the walk
        // stepped over fewer than five bytes.
        {"a 4-byte item is stepped over whole",
         Descriptor{UsagePage(0x01), ReportSize(8), ReportCount(1), LogicalMaximum32(0x02813009), Usage(0x38),
                    Input(kDataVarRel)}.bytes(),
         Layout(8, 0, 0, 0, 0, 8, 0, 0, 0)},
        {"Report Size and Count take only their first data byte",
         Descriptor{UsagePage(0x01), Usage(0x30), ReportSize16(0x0108), ReportCount16(0x0201), Input(kDataVarRel)}.bytes(),
         Layout(8, 8, 0, 0, 0, 0, 0, 0, 0)},
        // Read as short items, the first long item's data would be "Usage Y, Input".
        {"a long item is stepped over without reading its data",
         Descriptor{UsagePage(0x01), ReportSize(8), ReportCount(1), LongItem(0x10, Raw({0x09, 0x31, 0x81, 0x02})),
                    Usage(0x30), Input(kDataVarRel), LongItem(0x11, {}), Usage(0x38), Input(kDataVarRel)}.bytes(),
         Layout(0x10, 8, 0, 0, 0, 8, 8, 0, 0)},
        {"the last field of a kind wins", lastWins.bytes(), Layout(0x28, 16, 0x18, 16, 8, 0, 0, 0, 0)},
        {"fields beyond the queued usages are located as nothing", beyondQueue.bytes(), Layout(0x20, 8, 0, 8, 8, 8, 0x18, 0, 0)},
        {"usages beyond the Report Count are dropped with the queue", beyondCount.bytes(), Layout(0x10, 8, 0, 0, 0, 0, 0, 0, 0)},
        {"a collection empties the queue",
         Descriptor{UsagePage(0x01), Usage(0x30), Collection(kPhysical), Usage(0x38), ReportSize(8), ReportCount(1),
                    Input(kDataVarRel)}.bytes(),
         Layout(8, 0, 0, 0, 0, 8, 0, 0, 0)},
        {"a 4-bit X alone", Fields({UsagePage(0x01), Usage(0x30)}, 4, 1).bytes(), Layout(8, 4, 0, 0, 0, 0, 0, 0, 0)},
        {"usages beyond the 64th are refused and the walk goes on", SixtyFiveUsages(), Layout(0x50, 0, 0, 1, 63, 8, 70, 0, 0)},
        {"Report Count without data bytes is 0",
         Descriptor{UsagePage(0x01), ReportSize(8), ReportCount(2), ReportCountNoData(), Usage(0x30), Input(kDataVarRel),
                    Usage(0x38), ReportCount(1), Input(kDataVarRel)}.bytes(),
         Layout(8, 0, 0, 0, 0, 8, 0, 0, 0)},
        {"Report Size without data bytes is 0",
         Descriptor{UsagePage(0x01), ReportSize(8), ReportCount(2), ReportSizeNoData(), Usage(0x30), Input(kDataVarRel),
                    Usage(0x38), ReportSize(8), ReportCount(1), Input(kDataVarRel)}.bytes(),
         Layout(8, 0, 0, 0, 0, 8, 0, 0, 0)},
        // The final Input's flag byte is missing: its 16 bits are not counted.
        {"an item running past the end is not acted on",
         WithoutLastByte(Fields({UsagePage(0x01), Usage(0x30), Usage(0x31)}, 8, 2).bytes()), Layout(0, 0, 0, 0, 0, 0, 0, 0, 0)},
    };
    for (const LayoutCase &c : cases)
        EXPECT_EQ(Parse(c.descriptor), c.layout) << c.what;
}

// An 8-bit X alone is what each of these gives: a reserved short item ends the walk with the fields
// found before it; a usage queued before an Output, a Feature or an End Collection is taken by the
// next Input; a long item whose header or data runs past the end ends the walk.
TEST(ParseLayout, EachOfTheseGivesTheFirstXAlone)
{
    std::vector<Bytes> descriptors;
    for (const Bytes &reserved : {ReservedItem(0x0, 0), ReservedItem(0x5, 1), ReservedItem(0xF, 4)})
        descriptors.push_back(Descriptor{UsagePage(0x01), Usage(0x30), ReportSize(8), ReportCount(1), Input(kDataVarRel),
                                         reserved, Usage(0x31), Input(kDataVarRel)}.bytes());
    for (const Bytes &main : {Feature(kDataVarAbs), Output(kDataVarAbs), EndCollection()})
        descriptors.push_back(
            Descriptor{UsagePage(0x01), Usage(0x30), ReportSize(8), ReportCount(1), main, Usage(0x38), Input(kDataVarRel)}.bytes());
    for (const Bytes &tail : {Raw({0xFE}), Raw({0xFE, 0x04}), Raw({0xFE, 0x04, 0x10}), Raw({0xFE, 0x04, 0x10, 1, 2, 3}),
                              Raw({0xFE, 0xFF, 0x10, 0x09, 0x38, 0x81, 0x02})}) {
        descriptors.push_back(Fields({UsagePage(0x01), Usage(0x30)}, 8, 1).bytes());
        descriptors.back().insert(descriptors.back().end(), tail.begin(), tail.end());
    }
    for (const Bytes &d : descriptors)
        EXPECT_EQ(Parse(d), Layout(8, 8, 0, 0, 0, 0, 0, 0, 0)) << ::testing::PrintToString(d);
}

TEST(ParseLayout, NullBufferOrZeroLengthLeavesAnEarlierLayoutUntouched)
{
    REPORT_LAYOUT layout = kFiveButtonLayout;
    const uint8_t byte = 0x81;
    EXPECT_FALSE(hct_report::ParseLayout(nullptr, 10, &layout));
    EXPECT_FALSE(hct_report::ParseLayout(&byte, 0, &layout));
    EXPECT_EQ(layout, kFiveButtonLayout);
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

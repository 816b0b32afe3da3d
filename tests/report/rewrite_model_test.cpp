// The rewrite against its rules written out bit by bit (tests/support/rewrite_model.h), on 200,000
// seeded random layouts and reports: whole-byte fields, byte-aligned fields whose sizes are not
// whole bytes (the edge between the rewrite's byte path and its bit path), unaligned fields, wheel
// and pan in either order and overlapping, every report length from 1 to 32, length mismatches, the
// feature on and off. HCT_REWRITE_SEED=n draws another set; a mismatch names the seed and the case.
#include <gtest/gtest.h>

#include <cstdlib>

#include "report/report.h"
#include "tests/support/hid_builder.h"
#include "tests/support/rewrite_model.h"

namespace {

using rewrite_model::Dumps;
using hct_report::RewriteResult;

uint64_t Seed()
{
    const char *text = std::getenv("HCT_REWRITE_SEED");
    return text != nullptr ? std::strtoull(text, nullptr, 0) : 0x5EED0001;
}

RewriteResult ResultOf(Dumps d)
{
    switch (d) {
    case Dumps::BeforeOnly: return RewriteResult::BeforeOnly;
    case Dumps::BothUnchanged: return RewriteResult::Unchanged;
    case Dumps::BothRewritten: return RewriteResult::Rewritten;
    }
    return RewriteResult::Unchanged;
}

TEST(RewriteModel, TwoHundredThousandRandomLayoutsAndReportsFollowTheBitRules)
{
    constexpr uint64_t kCases = 200000;
    const uint64_t seed = Seed();
    rewrite_model::Generator generator(seed);
    uint64_t shapes[4] = {}, rewritten = 0, alignedOddRewritten = 0, mismatched = 0;
    uint64_t failures = 0;
    for (uint64_t i = 0; i < kCases && failures < 5; i++) {
        const rewrite_model::Case c = generator.Next(i);
        const rewrite_model::Expected want = rewrite_model::Model(c.layout, c.featureEnabled, c.report);
        // A heap block of exactly the report's size: a touch beyond it trips the address sanitizer.
        auto buffer = hid::ExactCopy(c.report.data(), c.report.size());
        const RewriteResult got =
            hct_report::RewriteReport(c.layout, c.featureEnabled, buffer.get(), static_cast<uint32_t>(c.report.size()));
        const rewrite_model::Report after(buffer.get(), buffer.get() + c.report.size());
        if (got != ResultOf(want.dumps) || after != want.after) {
            ++failures;
            ADD_FAILURE() << rewrite_model::Describe(seed, c) << "\n  expected " << static_cast<int>(ResultOf(want.dumps))
                          << ": " << rewrite_model::Hex(want.after) << "\n  got      " << static_cast<int>(got) << ": "
                          << rewrite_model::Hex(after);
        }
        shapes[static_cast<int>(c.shape)]++;
        rewritten += want.dumps == Dumps::BothRewritten;
        alignedOddRewritten += want.dumps == Dumps::BothRewritten && c.shape == rewrite_model::Shape::AlignedOddSize;
        mismatched += c.report.size() != c.layout.TotalSize / 8;
    }
    // The draw reaches every class of case often enough to mean something.
    EXPECT_GT(shapes[0], kCases / 5);
    EXPECT_GT(shapes[1], kCases / 4);
    EXPECT_GT(shapes[2], kCases / 3);
    EXPECT_GT(shapes[3], kCases / 40);
    EXPECT_GT(rewritten, kCases / 3);
    EXPECT_GT(alignedOddRewritten, kCases / 10);
    EXPECT_GT(mismatched, kCases / 20);
}

// The generator is what the test's claim rests on: check that it draws what it says it draws.
TEST(RewriteModel, TheDrawCoversEveryLengthSizeAndOrder)
{
    rewrite_model::Generator generator(Seed());
    bool length[33] = {}, wheelSize[33] = {}, panSize[33] = {};
    bool wheelFirst = false, panFirst = false, alignedOddWheel = false, alignedOddPan = false, atEnd = false, atStart = false;
    for (uint64_t i = 0; i < 20000; i++) {
        const rewrite_model::Case c = generator.Next(i);
        const REPORT_LAYOUT &l = c.layout;
        length[c.report.size()] = true;
        wheelSize[l.WheelSize] = true;
        panSize[l.AcPanSize] = true;
        if (c.shape == rewrite_model::Shape::Overlapping)
            continue;
        wheelFirst |= l.WheelOffset < l.AcPanOffset;
        panFirst |= l.AcPanOffset < l.WheelOffset;
        if (c.shape == rewrite_model::Shape::AlignedOddSize) {
            EXPECT_EQ(l.WheelOffset % 8, 0u);
            EXPECT_EQ(l.AcPanOffset % 8, 0u);
            alignedOddWheel |= l.WheelSize % 8 != 0 && l.WheelSize > 8;
            alignedOddPan |= l.AcPanSize % 8 != 0 && l.AcPanSize > 8;
        }
        atEnd |= l.WheelOffset + l.WheelSize == c.report.size() * 8 || l.AcPanOffset + l.AcPanSize == c.report.size() * 8;
        atStart |= l.WheelOffset == 0 || l.AcPanOffset == 0;
    }
    for (int n = 1; n <= 32; n++) {
        EXPECT_TRUE(length[n]) << "report length " << n;
        EXPECT_TRUE(wheelSize[n]) << "wheel size " << n;
        EXPECT_TRUE(panSize[n]) << "pan size " << n;
    }
    EXPECT_TRUE(wheelFirst && panFirst && alignedOddWheel && alignedOddPan && atEnd && atStart);
}

}  // namespace

// ReassignReport, the filter's rewrite with its two dumps, against the rewrite's rules written out
// bit by bit (tests/support/rewrite_model.h) on seeded random layouts and reports: the bytes it
// leaves and the exact trace (the before dump; the after dump unless the wheel is narrower than 8
// bits or the pan is zero). The report suite runs the pure rewrite on many more cases of the same
// draw; this one holds the driver's routine, trace included, to it. HCT_REWRITE_SEED=n draws
// another set; a mismatch names the seed and the case.
#include "stack_fixture.h"

#include "tests/support/hid_builder.h"
#include "tests/support/rewrite_model.h"

namespace stack {
namespace {

class RewriteTraceTest : public StackTest {};

TEST_F(RewriteTraceTest, RandomLayoutsAndReportsGiveTheRulesBytesAndDumps)
{
    constexpr uint64_t kCases = 10000;
    const char *text = std::getenv("HCT_REWRITE_SEED");
    const uint64_t seed = (text != nullptr ? std::strtoull(text, nullptr, 0) : 0x5EED0001) ^ 0x7ACE;
    rewrite_model::Generator generator(seed);
    DEVICE_EXTENSION extension{};
    extension.ExtensionKind = FILTER_DO_KIND;
    int failures = 0;
    for (uint64_t i = 0; i < kCases && failures < 5; i++) {
        const rewrite_model::Case c = generator.Next(i);
        const rewrite_model::Expected want = rewrite_model::Model(c.layout, c.featureEnabled, c.report);
        extension.Layout = c.layout;
        extension.FeatureEnabled = c.featureEnabled ? 1 : 0;
        auto buffer = hid::ExactCopy(c.report.data(), c.report.size());
        hk::ClearTrace();
        ReassignReport(&extension, buffer.get(), static_cast<ULONG>(c.report.size()));
        const rewrite_model::Report after(buffer.get(), buffer.get() + c.report.size());
        Lines expected = Dump("\n\r Datat In Buffer Before re-assign", c.report);
        if (want.dumps != rewrite_model::Dumps::BeforeOnly) {
            const Lines second = Dump("\n\r Datat In Buffer After re-assign", want.after);
            expected.insert(expected.end(), second.begin(), second.end());
        }
        const Lines &got = hk::TraceEntries();
        // No field of the record is written.
        const bool recordKept = memcmp(&extension.Layout, &c.layout, sizeof c.layout) == 0 &&
                                extension.FeatureEnabled == (c.featureEnabled ? 1 : 0);
        if (after != want.after || got != expected || !recordKept) {
            ++failures;
            ADD_FAILURE() << rewrite_model::Describe(seed, c) << "\n  expected " << rewrite_model::Hex(want.after) << ", "
                          << expected.size() << " trace entries\n  got      " << rewrite_model::Hex(after) << ", "
                          << got.size() << " trace entries" << (recordKept ? "" : ", the record written");
        }
    }
    hk::ClearTrace();
}

}  // namespace
}  // namespace stack

// Fuzzes the report descriptor walk with arbitrary descriptor bytes, then rewrites a few reports
// with the layout it produced. libFuzzer hands over a heap block of exactly `size` bytes, so any read
// past the descriptor's end is caught by ASan.
#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "report/report.h"

namespace {

bool Bit(const uint8_t *r, uint32_t n) { return (r[n / 8] >> (7 - n % 8)) & 1; }

void CheckFieldInside(uint32_t size, uint32_t offset, uint32_t total)
{
    FUZZ_CHECK(static_cast<uint64_t>(offset) + size <= total);
}

// Rewrites a copy of `bytes` in a block of exactly `length` bytes and checks what may change.
void CheckRewrite(const REPORT_LAYOUT &layout, bool enabled, const uint8_t *bytes, uint32_t length)
{
    std::unique_ptr<uint8_t[]> report(new uint8_t[length]);
    std::memcpy(report.get(), bytes, length);
    const hct_report::RewriteResult result = hct_report::RewriteReport(layout, enabled, report.get(), length);

    if (result != hct_report::RewriteResult::Rewritten) {
        FUZZ_CHECK(std::memcmp(report.get(), bytes, length) == 0);
        return;
    }
    FUZZ_CHECK(enabled);
    FUZZ_CHECK(layout.WheelSize >= 8);
    FUZZ_CHECK(length == layout.TotalSize / 8);
    const uint32_t last = layout.WheelOffset + layout.WheelSize - 1;
    for (uint32_t n = 0; n < length * 8; n++) {
        if (n < layout.WheelOffset || n > last)
            FUZZ_CHECK(Bit(report.get(), n) == Bit(bytes, n));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint32_t length = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);

    REPORT_LAYOUT layout;
    std::memset(&layout, 0x5A, sizeof(layout));
    const bool parsed = hct_report::ParseLayout(data, length, &layout);
    FUZZ_CHECK(parsed == (length != 0));
    if (!parsed)
        return 0;

    FUZZ_CHECK(layout.TotalSize % 8 == 0);
    CheckFieldInside(layout.XSize, layout.XOffset, layout.TotalSize);
    CheckFieldInside(layout.YSize, layout.YOffset, layout.TotalSize);
    CheckFieldInside(layout.WheelSize, layout.WheelOffset, layout.TotalSize);
    CheckFieldInside(layout.AcPanSize, layout.AcPanOffset, layout.TotalSize);

    REPORT_LAYOUT again;
    FUZZ_CHECK(hct_report::ParseLayout(data, length, &again));
    FUZZ_CHECK(std::memcmp(&layout, &again, sizeof(layout)) == 0);

    // Report bytes taken from the input itself: one report of the layout's own length when that is
    // a length the driver passes on (1 to 32 bytes), and a few of other lengths.
    uint8_t bytes[32] = {};
    std::memcpy(bytes, data, size < sizeof(bytes) ? size : sizeof(bytes));
    const uint32_t lengths[] = {layout.TotalSize / 8, 1, 5, 32};
    for (uint32_t reportLength : lengths) {
        if (reportLength < 1 || reportLength > 32)
            continue;
        CheckRewrite(layout, false, bytes, reportLength);
        CheckRewrite(layout, true, bytes, reportLength);
    }

    const bool match = hct_report::MatchFeatureString(data, length);
    FUZZ_CHECK(match == (size >= 5 && (data[0] | 0x20) == 's' && (data[1] | 0x20) == 't' &&
                         (data[2] | 0x20) == 'a' && (data[3] | 0x20) == 'r' && (data[4] | 0x20) == 't'));
    return 0;
}

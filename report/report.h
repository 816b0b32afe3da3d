// Pure functions over HID report descriptor and input report bytes: no kernel calls, no allocation,
// no state. The driver calls them from its URB completion routine and writes the trace around them;
// tests, fuzzers, benchmarks and tools call them directly.
#pragma once

#include <cstdint>

// Where X, Y, wheel and AC pan lie in the mouse's input report, all in bits. Sizes are field widths,
// offsets bit positions counted over all Input fields of the descriptor in declaration order (a
// Report ID byte is not counted). A size of 0: the descriptor yielded no such field.
struct REPORT_LAYOUT {
    uint32_t TotalSize;
    uint32_t XSize;
    uint32_t XOffset;
    uint32_t YSize;
    uint32_t YOffset;
    uint32_t WheelSize;
    uint32_t WheelOffset;
    uint32_t AcPanSize;
    uint32_t AcPanOffset;
};
static_assert(sizeof(REPORT_LAYOUT) == 9 * sizeof(uint32_t), "nine 32-bit values, no padding");

namespace hct_report {

// Walks the descriptor and computes the layout. Returns false, leaving *layout untouched, when
// `data` is null or `length` is 0; otherwise writes all nine fields and returns true. Never reads
// outside data[0 .. length-1].
bool ParseLayout(const uint8_t *data, uint32_t length, REPORT_LAYOUT *layout);

// What the rewrite did, which decides the trace around it.
enum class RewriteResult {
    BeforeOnly,  // wheel narrower than 8 bits, or AC pan zero: only the "before" dump is written
    Unchanged,   // length differs from TotalSize/8, or the feature is off: both dumps, equal
    Rewritten,   // the wheel field was rewritten: both dumps
};

// Rewrites the wheel field of one input report in place when `featureEnabled` and the AC pan field
// is non-zero. Report bit n is bit 7-(n%8) of byte n/8 (most significant bit first). The caller
// guarantees 1 <= length <= 32 and a layout whose TotalSize, XSize, YSize, WheelSize and AcPanSize
// are non-zero; fields that would reach past the report are treated as not matching the length.
RewriteResult RewriteReport(const REPORT_LAYOUT &layout, bool featureEnabled, uint8_t *report, uint32_t length);

// True exactly when count >= 5 and bytes 0..4 spell START, each letter in either case.
bool MatchFeatureString(const uint8_t *data, uint32_t count);

}  // namespace hct_report

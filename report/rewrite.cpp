// Input report rewrite: a non-zero AC pan value replaces the wheel value with a fixed step whose
// sign follows the pan. Runs in the URB completion routine on the report buffer of the request being
// completed, before the class driver above sees it.
#include "report/report.h"

namespace hct_report {
namespace {

// Report bits are numbered most significant first: report bit n is bit 7 - (n % 8) of byte n / 8.
// This is deliberately not the HID order (least significant first); for whole bytes on byte
// boundaries both name the same bytes, and the mice this filter serves use only such fields.
bool ReportBit(const uint8_t *report, uint32_t n)
{
    return ((report[n / 8] >> (7 - n % 8)) & 1) != 0;
}

void SetReportBit(uint8_t *report, uint32_t n, bool value)
{
    const uint8_t mask = static_cast<uint8_t>(1u << (7 - n % 8));
    if (value)
        report[n / 8] |= mask;
    else
        report[n / 8] &= static_cast<uint8_t>(~mask);
}

// Bits counted from the last bit of the wheel field: 0x30 (+48) and 0xC0 (-64) in an 8-bit field.
// Both fit in the field's last byte.
constexpr uint32_t kPositiveStep = (1u << 4) | (1u << 5);
constexpr uint32_t kNegativeStep = (1u << 6) | (1u << 7);
static_assert(kPositiveStep <= 0xFF && kNegativeStep <= 0xFF, "the step lies in the wheel field's last byte");

constexpr uint32_t kMinWheelBits = 8;  // the step's bits 4 to 7 must lie inside the field

bool FieldInside(uint32_t offset, uint32_t size, uint32_t reportBits)
{
    return static_cast<uint64_t>(offset) + size <= reportBits;
}

// The rewrite bit by bit, for fields of any width at any offset; the caller has checked that both
// lie inside the report.
[[gnu::noinline]] RewriteResult RewriteBits(const REPORT_LAYOUT &layout, uint8_t *report)
{
    bool panNonZero = false;
    for (uint32_t i = 0; i < layout.AcPanSize && !panNonZero; i++)
        panNonZero = ReportBit(report, layout.AcPanOffset + i);
    if (!panNonZero)
        return RewriteResult::BeforeOnly;

    const bool negative = ReportBit(report, layout.AcPanOffset);
    const uint32_t step = negative ? kNegativeStep : kPositiveStep;
    const uint32_t last = layout.WheelOffset + layout.WheelSize - 1;
    for (uint32_t d = 0; d < layout.WheelSize; d++)
        SetReportBit(report, last - d, d < 32 && ((step >> d) & 1) != 0);
    return RewriteResult::Rewritten;
}

}  // namespace

RewriteResult RewriteReport(const REPORT_LAYOUT &layout, bool featureEnabled, uint8_t *report, uint32_t length)
{
    if (layout.WheelSize < kMinWheelBits)
        return RewriteResult::BeforeOnly;
    // Off: unchanged whatever the report's length (the checks below would only say the same).
    if (!featureEnabled)
        return RewriteResult::Unchanged;

    // A layout from one descriptor and a report from a device that answers with another length (a
    // Report ID byte in front, or one of several reports) must not be touched; a layout whose fields
    // reach past the report is treated the same way, so no bit outside the buffer is ever addressed.
    // With the length equal to TotalSize / 8 the report has fewer than 2^32 bits.
    if (report == nullptr || length != layout.TotalSize / 8)
        return RewriteResult::Unchanged;
    const uint32_t wheelOffset = layout.WheelOffset, wheelSize = layout.WheelSize;
    const uint32_t panOffset = layout.AcPanOffset, panSize = layout.AcPanSize;

    if (((wheelOffset | wheelSize | panOffset | panSize) & 7) == 0) {
        // Whole bytes on byte boundaries, as every mouse this filter serves has them: the same result
        // as RewriteBits, a byte at a time. Counted in bytes every sum below stays under 2^31.
        const uint32_t wheelByte = wheelOffset / 8, wheelBytes = wheelSize / 8;
        const uint32_t panByte = panOffset / 8, panBytes = panSize / 8;
        if (wheelByte + wheelBytes > length || panByte + panBytes > length)
            return RewriteResult::Unchanged;
        const uint8_t *pan = report + panByte;
        bool any = false;
        for (uint32_t i = 0; i < panBytes && !any; i++)
            any = pan[i] != 0;
        if (!any)
            return RewriteResult::BeforeOnly;
        // The direction is taken before the wheel is written: a layout read while another descriptor
        // is parsed can mix two descriptors' fields and let them share bytes.
        const bool negative = (pan[0] & 0x80) != 0;
        // The step lies in the wheel field's last byte; the bytes before it become 0.
        uint8_t *wheel = report + wheelByte;
        for (uint32_t i = 0; i + 1 < wheelBytes; i++)
            wheel[i] = 0;
        wheel[wheelBytes - 1] = static_cast<uint8_t>(negative ? kNegativeStep : kPositiveStep);
        return RewriteResult::Rewritten;
    }

    const uint32_t reportBits = length * 8;
    if (!FieldInside(wheelOffset, wheelSize, reportBits) || !FieldInside(panOffset, panSize, reportBits))
        return RewriteResult::Unchanged;
    return RewriteBits(layout, report);
}

}  // namespace hct_report

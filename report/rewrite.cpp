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
constexpr uint32_t kPositiveStep = (1u << 4) | (1u << 5);
constexpr uint32_t kNegativeStep = (1u << 6) | (1u << 7);

constexpr uint32_t kMinWheelBits = 8;  // the step's bits 4 to 7 must lie inside the field

bool FieldInside(uint32_t offset, uint32_t size, uint32_t reportBits)
{
    return static_cast<uint64_t>(offset) + size <= reportBits;
}

}  // namespace

RewriteResult RewriteReport(const REPORT_LAYOUT &layout, bool featureEnabled, uint8_t *report, uint32_t length)
{
    if (layout.WheelSize < kMinWheelBits)
        return RewriteResult::BeforeOnly;

    // A layout from one descriptor and a report from a device that answers with another length (a
    // Report ID byte in front, or one of several reports) must not be touched; a layout whose fields
    // reach past the report is treated the same way, so no bit outside the buffer is ever addressed.
    const uint64_t reportBits = static_cast<uint64_t>(length) * 8;
    if (report == nullptr || length != layout.TotalSize / 8 || reportBits > 0xFFFFFFFFu ||
        !FieldInside(layout.WheelOffset, layout.WheelSize, static_cast<uint32_t>(reportBits)) ||
        !FieldInside(layout.AcPanOffset, layout.AcPanSize, static_cast<uint32_t>(reportBits)))
        return RewriteResult::Unchanged;

    if (!featureEnabled)
        return RewriteResult::Unchanged;

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

}  // namespace hct_report

// Mouse report descriptors shared by the report and stack tests, built from HID items.
#pragma once

#include <cstdint>
#include <ostream>

#include "report/report.h"
#include "tests/support/hid_builder.h"

namespace mice {

// The parts of a 5-button mouse that the variants below change.
struct MouseShape {
    bool reportId = false;           // a Report ID item inside the application collection
    bool xyAsRange = false;          // X and Y given as Usage Minimum 0x30 .. Usage Maximum 0x31
    bool desktopPage16 = false;      // the Generic Desktop page written as a 2-byte Usage Page
    hid::Bytes acPanUsage = hid::Usage16(0x0238);
    uint8_t xUsage = 0x30, yUsage = 0x31, wheelUsage = 0x38;
    uint8_t wheelBits = 8, panBits = 8;  // each padded to a whole byte
    bool buttonsLast = false;            // X first, at bit 0
    uint8_t trailingConstantBytes = 0;
};

// Buttons 5 x 1 bit + 3 constant bits, X and Y 8 bits each, wheel 8 bits, AC pan 8 bits.
inline hid::Descriptor FiveButtonMouse(const MouseShape &shape = {})
{
    using namespace hid;
    Descriptor d{UsagePage(0x01), Usage(0x02), Collection(kApplication)};
    // Item by item, so that each keeps its own start (Descriptor::itemStarts).
    const auto buttons = [&d] {
        d.Add({UsagePage(0x09), UsageMinimum(0x01), UsageMaximum(0x05), LogicalMinimum(0), LogicalMaximum(1),
               ReportCount(5), ReportSize(1), Input(kDataVarAbs), ReportCount(1), ReportSize(3), Input(kConstant)});
    };
    if (shape.reportId)
        d.Add({ReportId(0x01)});
    d.Add({Usage(0x01), Collection(kPhysical)});
    if (!shape.buttonsLast)
        buttons();
    d.Add({shape.desktopPage16 ? UsagePage16(0x0001) : UsagePage(0x01)});
    if (shape.xyAsRange)
        d.Add({UsageMinimum(0x30), UsageMaximum(0x31)});
    else
        d.Add({Usage(shape.xUsage), Usage(shape.yUsage)});
    d.Add({LogicalMinimum(-127), LogicalMaximum(127), ReportSize(8), ReportCount(2), Input(kDataVarRel),
           Usage(shape.wheelUsage), ReportSize(shape.wheelBits), ReportCount(1), Input(kDataVarRel)});
    if (shape.wheelBits % 8)
        d.Add({ReportSize(static_cast<uint8_t>(8 - shape.wheelBits % 8)), Input(kConstant)});
    d.Add({UsagePage(0x0C), shape.acPanUsage, ReportSize(shape.panBits), ReportCount(1), Input(kDataVarRel)});
    if (shape.panBits % 8)
        d.Add({ReportSize(static_cast<uint8_t>(8 - shape.panBits % 8)), Input(kConstant)});
    if (shape.buttonsLast)
        buttons();
    if (shape.trailingConstantBytes)
        d.Add({ReportSize(8), ReportCount(shape.trailingConstantBytes), Input(kConstant)});
    d.Add({EndCollection(), EndCollection()});
    return d;
}

constexpr REPORT_LAYOUT kFiveButtonLayout = {0x28, 8, 8, 8, 0x10, 8, 0x18, 8, 0x20};

}  // namespace mice

inline bool operator==(const REPORT_LAYOUT &a, const REPORT_LAYOUT &b)
{
    return a.TotalSize == b.TotalSize && a.XSize == b.XSize && a.XOffset == b.XOffset && a.YSize == b.YSize &&
           a.YOffset == b.YOffset && a.WheelSize == b.WheelSize && a.WheelOffset == b.WheelOffset &&
           a.AcPanSize == b.AcPanSize && a.AcPanOffset == b.AcPanOffset;
}

inline void PrintTo(const REPORT_LAYOUT &l, std::ostream *os)
{
    *os << std::hex << "{total 0x" << l.TotalSize << ", x " << l.XSize << "@0x" << l.XOffset << ", y " << l.YSize
        << "@0x" << l.YOffset << ", wheel " << l.WheelSize << "@0x" << l.WheelOffset << ", pan " << l.AcPanSize
        << "@0x" << l.AcPanOffset << "}" << std::dec;
}

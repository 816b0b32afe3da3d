// The driver's side of descriptor parsing and report rewriting: the pure work is in report/, this
// file moves its results into the filter's record and writes the trace. Both run in the URB
// completion routine, possibly on several processors at once: no allocation, no wait, and the
// shared fields are written and read with single relaxed accesses.
#include "hct.h"

#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

void DumpReport(const char *Title, const UCHAR *Report, ULONG Length)
{
    DbgPrint(Title);
    for (ULONG i = 0; i < Length; ++i)
        DbgPrint(" 0x%x", Report[i]);
    DbgPrint("\n\r");
}

}  // namespace

VOID ParseReportDescriptor(PDEVICE_EXTENSION Extension, PUCHAR Buffer, ULONG Length)
{
    REPORT_LAYOUT found;
    if (!hct_report::ParseLayout(Buffer, Length, &found))
        return;
    REPORT_LAYOUT &layout = Extension->Layout;
    KplatStoreRelaxed(&layout.TotalSize, found.TotalSize);
    KplatStoreRelaxed(&layout.XSize, found.XSize);
    KplatStoreRelaxed(&layout.XOffset, found.XOffset);
    KplatStoreRelaxed(&layout.YSize, found.YSize);
    KplatStoreRelaxed(&layout.YOffset, found.YOffset);
    KplatStoreRelaxed(&layout.WheelSize, found.WheelSize);
    KplatStoreRelaxed(&layout.WheelOffset, found.WheelOffset);
    KplatStoreRelaxed(&layout.AcPanSize, found.AcPanSize);
    KplatStoreRelaxed(&layout.AcPanOffset, found.AcPanOffset);
    DbgPrint("\n\r total size = 0x%x", (unsigned)found.TotalSize);
    DbgPrint("\n\r x size = 0x%x", (unsigned)found.XSize);
    DbgPrint("\n\r x offset = 0x%x", (unsigned)found.XOffset);
    DbgPrint("\n\r y size = 0x%x", (unsigned)found.YSize);
    DbgPrint("\n\r y offset = 0x%x", (unsigned)found.YOffset);
    DbgPrint("\n\r wheel size = 0x%x", (unsigned)found.WheelSize);
    DbgPrint("\n\r wheel offset = 0x%x", (unsigned)found.WheelOffset);
    DbgPrint("\n\r ac pan size = 0x%x", (unsigned)found.AcPanSize);
    DbgPrint("\n\r ac pan offset = 0x%x", (unsigned)found.AcPanOffset);
}

VOID ReassignReport(PDEVICE_EXTENSION Extension, PUCHAR Report, ULONG Length)
{
    DumpReport("\n\r Datat In Buffer Before re-assign", Report, Length);
    const REPORT_LAYOUT &shared = Extension->Layout;
    REPORT_LAYOUT layout;
    layout.TotalSize = KplatLoadRelaxed(&shared.TotalSize);
    layout.XSize = KplatLoadRelaxed(&shared.XSize);
    layout.XOffset = KplatLoadRelaxed(&shared.XOffset);
    layout.YSize = KplatLoadRelaxed(&shared.YSize);
    layout.YOffset = KplatLoadRelaxed(&shared.YOffset);
    layout.WheelSize = KplatLoadRelaxed(&shared.WheelSize);
    layout.WheelOffset = KplatLoadRelaxed(&shared.WheelOffset);
    layout.AcPanSize = KplatLoadRelaxed(&shared.AcPanSize);
    layout.AcPanOffset = KplatLoadRelaxed(&shared.AcPanOffset);
    // Read once: a TURN_ON/TURN_OFF racing with this report decides for the next one.
    const bool enabled = KplatLoadRelaxed(&Extension->FeatureEnabled) != 0;
    if (hct_report::RewriteReport(layout, enabled, Report, Length) == hct_report::RewriteResult::BeforeOnly)
        return;
    DumpReport("\n\r Datat In Buffer After re-assign", Report, Length);
}

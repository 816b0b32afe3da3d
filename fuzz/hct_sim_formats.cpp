// Fuzzes hct-sim's text readers: hex text and C arrays (descriptor and report lines), single report
// words, and hid-recorder recordings. Bad input may only end in an InputError naming the source; what
// a reader accepts must respect its limits, and whatever it accepts is fed to the layout shapes as
// the tool does.
#include "fuzz_check.h"

#include "tools/hct-sim/formats.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

const std::string kSource = "fuzz.txt";

void CheckError(const hct_sim::InputError &e)
{
    FUZZ_CHECK(e.source() == kSource);
    FUZZ_CHECK(e.line() >= 0);
    FUZZ_CHECK(std::string_view(e.what()).substr(0, kSource.size()) == kSource);
}

template <typename Fn>
void Guarded(Fn fn)
{
    try {
        fn();
    } catch (const hct_sim::InputError &e) {
        CheckError(e);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte picks the reader, so that one corpus serves all of them.
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    // A copy of exactly the text's size: ASan catches a read past its end.
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string_view view(text);

    switch (selector % 4) {
    case 0:
        Guarded([&] {
            const hct_sim::Bytes d = hct_sim::ParseHexDescriptor(view, kSource);
            FUZZ_CHECK(!d.empty());
            for (const auto &shape : hct_sim::InputReportShapes(d))
                FUZZ_CHECK(shape.bytes >= (shape.bits + 7) / 8);
        });
        break;
    case 1:
        Guarded([&] {
            const auto reports = hct_sim::ParseReportLines(view, kSource);
            FUZZ_CHECK(!reports.empty());
            for (const auto &r : reports)
                FUZZ_CHECK(!r.empty() && r.size() <= hct_sim::kMaxReportBytes);
        });
        break;
    case 2:
        Guarded([&] {
            const hct_sim::Bytes r = hct_sim::ParseReportWord(view, kSource);
            FUZZ_CHECK(!r.empty() && r.size() <= hct_sim::kMaxReportBytes);
        });
        break;
    default:
        (void)hct_sim::LooksLikeRecording(view);
        Guarded([&] {
            const hct_sim::Recording rec = hct_sim::ParseRecording(view, kSource);
            FUZZ_CHECK(rec.timestamps.size() == rec.reports.size());
            FUZZ_CHECK(rec.reportCount == rec.reports.size());
            FUZZ_CHECK(rec.descriptor.size() <= hct_sim::kMaxDescriptorBytes);
            (void)hct_sim::InputReportShapes(rec.descriptor);
        });
        break;
    }
    return 0;
}

// Reply test of the feature probe: the device's answer to string descriptor 200 must begin with the
// letters START in any mixture of cases. The bytes are taken raw, as the device sent them: a standard
// string descriptor (length byte, type byte, UTF-16 text) does not match.
#include "report/report.h"

namespace hct_report {
namespace {

struct AcceptedByte {
    uint8_t upper;
    uint8_t lower;
};

constexpr AcceptedByte kFeatureWord[] = {
    {'S', 's'}, {'T', 't'}, {'A', 'a'}, {'R', 'r'}, {'T', 't'},
};
constexpr uint32_t kFeatureWordLength = sizeof(kFeatureWord) / sizeof(kFeatureWord[0]);

}  // namespace

bool MatchFeatureString(const uint8_t *data, uint32_t count)
{
    if (data == nullptr || count < kFeatureWordLength)
        return false;
    for (uint32_t i = 0; i < kFeatureWordLength; i++) {
        if (data[i] != kFeatureWord[i].upper && data[i] != kFeatureWord[i].lower)
            return false;
    }
    return true;
}

}  // namespace hct_report

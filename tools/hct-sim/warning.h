// A warning hct-sim gives about its input: printed on standard error as "hct-sim: warning: ..." and
// listed in the JSON output as {"code": ..., "message": ...}. The code is stable (lower case words
// joined by '-', such as "descriptor-cut-off"), so that scripts can test for it; the message is the
// sentence a person reads.
#pragma once

#include <string>

namespace hct_sim {

struct Warning {
    std::string code;
    std::string message;
};

}  // namespace hct_sim

// A scripted mouse session (`hct-sim run --script FILE`): the steps of a scenario file, played on
// the simulated stack in order. The same file drives the Wine harness (tests/wine/harness.c), so
// the driver's trace of one session can be compared between the host build and the real image.
#pragma once

#include "formats.h"
#include "render.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {
class Mouse;
class PnpManager;
}

namespace hct_sim {

struct ScriptStep {
    enum class Kind { On, Off, Ioctl, Report, Unplug };
    Kind kind = Kind::On;
    uint32_t code = 0;  // Ioctl: the control code
    Bytes sent;         // Report: what the mouse sends
    Bytes expected;     // Report: what the class driver must receive
    int line = 0;
};

// One step a line: "on", "off" (open the control device, TURN_ON / TURN_OFF, close, as hctctl
// does), "ioctl CODE" (the same with another code, hex), "report BYTES -> BYTES", "unplug" (surprise
// removal, then removal, with the class driver's reads outstanding; the last step when present).
// '#' starts a comment line. Throws InputError naming the line.
std::vector<ScriptStep> ParseScript(std::string_view text, const std::string &source);

// Plays the steps on a started mouse. Reports go into facts.rows; a report that does not arrive as
// expected, or a control request whose outcome differs from the driver's contract, goes into
// faults ("FILE:LINE: what"). Returns true when the script unplugged the mouse.
bool PlayScript(const std::vector<ScriptStep> &steps, const std::string &source, sim::PnpManager &pnp, sim::Mouse &mouse,
                const std::u16string &controlPath, RunFacts &facts, std::vector<std::string> &faults);

}  // namespace hct_sim

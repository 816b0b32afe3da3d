// One mouse session through the real driver: load it into the host kernel, plug a simulated mouse
// (PnP manager, bus driver, class driver), start it, let the class driver fetch the report descriptor,
// switch the feature through the extra device as an application does, feed reports, remove the mouse
// and unload the driver.
#pragma once

#include "formats.h"
#include "render.h"
#include "script.h"

#include "../../sim/urb_tap.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <map>
#include <string>
#include <vector>

namespace hct_sim {

struct SessionOptions {
    Bytes descriptor;           // empty: the built-in mouse
    std::string mouse;          // how the output names the mouse
    std::vector<Bytes> reports;
    std::string probeReply = "START";
    bool switchFeature = true;  // open the extra device and send TURN_ON or TURN_OFF
    bool featureOn = true;
    // A captured device (run --capture): its descriptors (empty: the simulation's own) and the
    // virtual time before each report, in 100 ns units (empty: none).
    Bytes deviceDescriptor;
    Bytes configurationDescriptor;
    std::map<uint8_t, Bytes> stringDescriptors;
    std::vector<int64_t> reportDelays;
    std::string capture;  // what was taken from where, in one line
    // Non-empty: these steps replace the switch and the reports above (hct-sim run --script).
    std::vector<ScriptStep> script;
    std::string scriptSource;
    // Shown every URB below and above the filter (run --write-capture); null: none.
    sim::UrbTap *tap = nullptr;

    // The captured mouse's own answer to string 200 (empty: the bus answers with probeReply), and
    // where probeReply comes from when that needs saying (the start line names it).
    Bytes probeAnswer;
    std::string probeOrigin;
    // The class driver's reads are at least this long (0: as the descriptor sizes them).
    uint32_t minimumReadLength = 0;

    // ---- a long replay ----
    // When set, the reports come from here one at a time, with the virtual time before each (false:
    // no more), instead of `reports` and `reportDelays`. A non-zero `failedUsbdStatus` is a transfer
    // that failed in a replayed capture: the bus fails the read with that USBD status, and the row's
    // bytes are unknown (`report` is not sent).
    std::function<bool(Bytes &report, int64_t &delay, uint32_t &failedUsbdStatus)> nextReport;
    // When set, onReady is called once before the first report with the facts known by then, and
    // each row goes to onRow as soon as the class driver has it instead of into facts.rows.
    std::function<void(const RunFacts &)> onReady;
    std::function<void(const ReportRow &, const RunFacts &)> onRow;
    // When set, the driver's trace goes here piece by piece as the session runs instead of into
    // SessionResult::trace. keepTrace false: the debug print filter is off, nothing is formatted.
    std::function<void(std::string_view)> onTrace;
    bool keepTrace = true;
    // false: the simulated class driver and bus keep no record per read or request.
    bool keepRecords = true;
};

struct SessionResult {
    RunFacts facts;
    std::string trace;  // every DbgPrint of the session, concatenated, exact bytes
    // URB functions the bus received while the mouse was plugged, without the filter's own string
    // request at index 200; a run of interrupt reads is kept as one.
    std::vector<uint16_t> classUrbFunctions;
    std::vector<std::string> scriptFaults;  // steps of a script that did not turn out as it says
};

// Starts from a fresh kernel (hk::Reset) and leaves it clean when the driver behaved.
SessionResult RunSession(const SessionOptions &options);
// For a process that runs very many sessions (the fuzzer): false makes each session start in the
// kernel the one before left, which must be clean (hk::CheckClean), with its trace emptied, instead
// of a fresh one; a reset keeps every old kernel's memory on purpose, some kilobytes a session.
void SetFreshKernelPerSession(bool fresh);

// The length of the class driver's interrupt reads for this report descriptor: its largest input
// report (the class driver's default buffer when it declares none).
uint32_t DeclaredReadLength(const Bytes &descriptor);

Bytes DefaultDescriptor();
std::vector<Bytes> DefaultReports();  // positive, negative and zero pan, and an idle report

}  // namespace hct_sim

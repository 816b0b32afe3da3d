// `hct-sim run --capture` over captures of 10 000 to 1 000 000 reports (grown from the small USBPcap
// capture of the fuzz corpus, one report a millisecond): the whole replay, reading, simulated stack,
// driver and table written to /dev/null. Complexity() fits the time against the number of reports;
// a replay that streams is O(N). Not part of the test command: bench/replay.sh and docs/performance.md.
#include "grow_capture.h"

#include "tools/hct-sim/cli.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace {

std::string CaptureOf(long reports) {
    static std::map<long, std::string> made;
    auto &path = made[reports];
    if (path.empty()) {
        path = (std::filesystem::temp_directory_path() / ("hct-replay-bench-" + std::to_string(reports) + ".pcap")).string();
        const std::string error = grow::GrowCapture(HCT_SOURCE_DIR "/fuzz/corpus/captures/usbpcap-enumeration.pcap", path.c_str(),
                                                    (unsigned long long)reports);
        if (!error.empty()) {
            std::cerr << "replay_bench: " << error << "\n";
            std::exit(2);
        }
    }
    return path;
}

void Replay(benchmark::State &state) {
    const std::string path = CaptureOf(state.range(0));
    std::ofstream out("/dev/null");
    std::ostringstream err;
    std::istringstream in;
    for (auto _ : state) {
        const int code = hct_sim::RunCli({"run", "--capture", path}, out, err, in);
        if (code != 0) state.SkipWithError(("hct-sim run exited with " + std::to_string(code) + ": " + err.str()).c_str());
    }
    state.SetComplexityN(state.range(0));
    state.counters["reports/s"] = benchmark::Counter(double(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(Replay)->RangeMultiplier(10)->Range(10000, 1000000)->Iterations(1)->Unit(benchmark::kMillisecond)->Complexity()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// A fixed number of input reports through the whole stack, for counting instructions under
// callgrind (bench/callgrind.sh). Only the report loop is collected: the program switches
// collection on just before the first counted report and off after the last, so plugging, start,
// descriptor fetch and removal do not dilute the figures. Outside valgrind the client requests do
// nothing and the program runs as a plain loop.
//
//   bench_report_count STACK TRACE REPORTS
//     STACK   bare (class driver directly on the bus), off (filter, feature off), on (feature on)
//     TRACE   quiet (debug print filter off) or traced (every DbgPrint formatted and kept)
//
// It prints the per-report DbgPrint calls, pool allocations and waits, and fails (exit 1) when a
// report allocated pool or waited: the per-report path must do neither.
#include "sim/sim.h"
#include "usb/hct/hct.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

int Usage()
{
    fprintf(stderr, "usage: bench_report_count bare|off|on quiet|traced REPORTS\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return Usage();
    const std::string_view stack = argv[1];
    const std::string_view trace = argv[2];
    const long reports = strtol(argv[3], nullptr, 10);
    if ((stack != "bare" && stack != "off" && stack != "on") || (trace != "quiet" && trace != "traced") || reports <= 0)
        return Usage();
    const bool traced = trace == "traced";

    hk::Reset();
    PDRIVER_OBJECT filter = stack == "bare" ? nullptr : hk::LoadDriver(u"\\Driver\\hct", DriverEntry);
    uint64_t prints = 0, allocations = 0, waits = 0, delivered = 0;
    {
        sim::PnpManager pnp(filter);
        sim::MouseConfig config;
        config.resubmitIrql = DISPATCH_LEVEL;  // the class driver re-sends its read at once, as HID class does
        sim::Mouse &mouse = pnp.PlugAndStart(config);
        if (stack == "on") {
            sim::Application app;
            app.Open(1);
            app.TurnOn();
            app.Close();
        }
        hk::SetTraceEnabled(traced);
        // One report before counting: first-use growth of the layer's and the simulation's tables
        // belongs to no report in particular.
        mouse.Feed(sim::kReportPanRight);
        hk::RunDue();
        hk::ClearTrace();

        const uint64_t prints0 = hk::DbgPrintCalls();
        const uint64_t allocations0 = hk::PoolAllocations();
        const uint64_t waits0 = hk::WaitCalls();
        const size_t reads0 = mouse.Class().Reports().size();
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < reports; ++i) {
            mouse.Feed(sim::kReportPanRight);
            hk::RunDue();
            if (traced)
                hk::ClearTrace();
        }
        CALLGRIND_TOGGLE_COLLECT;
        prints = hk::DbgPrintCalls() - prints0;
        allocations = hk::PoolAllocations() - allocations0;
        waits = hk::WaitCalls() - waits0;
        delivered = mouse.Class().Reports().size() - reads0;
        hk::SetTraceEnabled(true);
        pnp.Remove(mouse);
    }
    if (filter)
        hk::UnloadDriver(filter);

    const double n = static_cast<double>(reports);
    printf("reports %ld delivered %llu dbgprint_per_report %.3f pool_allocations %llu waits %llu\n", reports,
           static_cast<unsigned long long>(delivered), static_cast<double>(prints) / n,
           static_cast<unsigned long long>(allocations), static_cast<unsigned long long>(waits));
    if (delivered != static_cast<uint64_t>(reports)) {
        fprintf(stderr, "bench_report_count: %llu of %ld reports reached the class driver\n",
                static_cast<unsigned long long>(delivered), reports);
        return 1;
    }
    if (allocations != 0 || waits != 0) {
        fprintf(stderr, "bench_report_count: the report path allocated pool or waited\n");
        return 1;
    }
    return 0;
}

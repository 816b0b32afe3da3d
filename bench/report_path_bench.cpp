// One input report from the bus driver's completion to the class driver, through the filter and,
// for comparison, through the same stack without it (a bare pass-through). The filter's extra cost
// is the inspection, the rewrite and, unless the debug print filter is off, its trace formatting.
// Timings vary with the machine and its load; bench/callgrind.sh counts instructions instead.
#include "report/report.h"
#include "sim/sim.h"
#include "usb/hct/hct.h"

#include <benchmark/benchmark.h>

namespace {

enum class Stack { Bare, FilterFeatureOff, FilterFeatureOn };

void ReportThroughStack(benchmark::State &state, Stack kind, bool trace)
{
    hk::Reset();
    PDRIVER_OBJECT filter = kind == Stack::Bare ? nullptr : hk::LoadDriver(u"\\Driver\\hct", DriverEntry);
    {
        sim::PnpManager pnp(filter);
        sim::MouseConfig config;
        config.resubmitIrql = DISPATCH_LEVEL;  // the class driver re-sends its read at once
        sim::Mouse &mouse = pnp.PlugAndStart(config);
        sim::Application app;
        if (kind == Stack::FilterFeatureOn) {
            app.Open(1);
            app.TurnOn();
            app.Close();
        }
        hk::SetTraceEnabled(trace);
        const uint64_t allocations = hk::PoolAllocations();
        const uint64_t waits = hk::WaitCalls();
        const uint64_t prints = hk::DbgPrintCalls();
        for (auto _ : state) {
            mouse.Feed(sim::kReportPanRight);
            hk::RunDue();
            if (trace)
                hk::ClearTrace();
        }
        // Per report: no pool allocation and no wait, ever; the DbgPrint calls the trace costs.
        state.counters["pool_allocations"] = static_cast<double>(hk::PoolAllocations() - allocations);
        state.counters["waits"] = static_cast<double>(hk::WaitCalls() - waits);
        state.counters["dbgprint_per_report"] =
            benchmark::Counter(static_cast<double>(hk::DbgPrintCalls() - prints), benchmark::Counter::kAvgIterations);
        if (hk::PoolAllocations() != allocations || hk::WaitCalls() != waits)
            state.SkipWithError("the report path allocated pool or waited");
        hk::SetTraceEnabled(true);
        pnp.Remove(mouse);
    }
    if (filter)
        hk::UnloadDriver(filter);
}

void ParseDefaultDescriptor(benchmark::State &state)
{
    REPORT_LAYOUT layout;
    for (auto _ : state) {
        hct_report::ParseLayout(sim::kDefaultMouseDescriptor.data(), sim::kDefaultMouseDescriptor.size(), &layout);
        benchmark::DoNotOptimize(layout);
    }
}

void RewriteOneReport(benchmark::State &state)
{
    const REPORT_LAYOUT layout{0x28, 8, 8, 8, 0x10, 8, 0x18, 8, 0x20};
    uint8_t report[5] = {0x00, 0x03, 0xFE, 0x00, 0x01};
    for (auto _ : state) {
        benchmark::DoNotOptimize(hct_report::RewriteReport(layout, true, report, sizeof report));
        report[3] = 0;
    }
}

}  // namespace

BENCHMARK_CAPTURE(ReportThroughStack, bare_pass_through, Stack::Bare, false);
BENCHMARK_CAPTURE(ReportThroughStack, filter_feature_off_no_trace, Stack::FilterFeatureOff, false);
BENCHMARK_CAPTURE(ReportThroughStack, filter_feature_on_no_trace, Stack::FilterFeatureOn, false);
BENCHMARK_CAPTURE(ReportThroughStack, filter_feature_on_traced, Stack::FilterFeatureOn, true);
BENCHMARK(ParseDefaultDescriptor);
BENCHMARK(RewriteOneReport);
BENCHMARK_MAIN();

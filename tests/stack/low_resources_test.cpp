// Low resources, as Driver Verifier simulates them but exhaustively: on each path (AddDevice with
// CreateExtraDO, the start with its probe, the control requests), every pool allocation and every
// IoCreateDevice, IoCreateSymbolicLink, IoAttachDeviceToDeviceStack, IoBuildDeviceIoControlRequest and
// IoAllocateIrp fails in turn, the first, the second, ..., until a run reaches no such call. The
// neighbours allocate as well (the class driver, the PnP manager), and what they allocate is theirs to
// change, so a failed call is told apart by who made it and, for the filter's own calls, by its
// place among them; every failure of any caller must leave nothing behind and break no kernel rule.
#include "mouse_fixture.h"

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace stack {
namespace {

const char kEntry[] = "\n\r Device Lower Filter - Add Device ";
const char kAddOk[] = "\n\r Device Lower Filter - Add Device Successfully ";
const char kExtraOk[] = "\n\r[CreateExtraDO] Create Extra-Device-Object Successfully";
const char kExtraFail[] = "\n\r[CreateExtraDO] ERROR!!  Can't Create Extra-Device-Object ";
const char kLinkFail[] = "\n\r[CreateExtraDO] ERROR!!  Can't Create Symbolic Link ";
const char kFail9a[] = "\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0xc000009a";
const char kFail01[] = "\n\r Device Lower Filter -- Add Device Fail!! Error Code = 0xc0000001";

enum class Path { Add, Start, Control };
const char *Name(Path p) { return p == Path::Add ? "add" : p == Path::Start ? "start" : "control"; }

const hk::Fault kKinds[] = {hk::Fault::Pool,          hk::Fault::CreateDevice, hk::Fault::CreateSymbolicLink,
                            hk::Fault::AttachDevice,  hk::Fault::BuildIoctlIrp, hk::Fault::AllocateIrp};
const char *Name(hk::Fault f)
{
    switch (f) {
    case hk::Fault::Pool: return "pool";
    case hk::Fault::CreateDevice: return "IoCreateDevice";
    case hk::Fault::CreateSymbolicLink: return "IoCreateSymbolicLink";
    case hk::Fault::AttachDevice: return "IoAttachDeviceToDeviceStack";
    case hk::Fault::BuildIoctlIrp: return "IoBuildDeviceIoControlRequest";
    case hk::Fault::AllocateIrp: return "IoAllocateIrp";
    }
    return "?";
}

// What the filter's nth call of a kind on a path failing must give: the path's status and the
// filter's trace lines on that path. On the start path the status is the start's and the lines run
// up to the verdict lines; `falseVerdict` says the failure only costs the feature's verdict.
struct Expected {
    Path path;
    hk::Fault kind;
    unsigned filterCall;
    const char *what;
    NTSTATUS status;
    Lines lines;
    bool falseVerdict = false;
};

const std::vector<Expected> kExpected = {
    {Path::Add, hk::Fault::Pool, 1, "AddDevice name buffer", HCT_STATUS_INSUFFICIENT_RESOURCES, {kEntry}},
    {Path::Add, hk::Fault::Pool, 2, "AddDevice link buffer", HCT_STATUS_INSUFFICIENT_RESOURCES, {kEntry, kFail9a}},
    {Path::Add, hk::Fault::Pool, 3, "CreateExtraDO name buffer", HCT_STATUS_INSUFFICIENT_RESOURCES,
     {kEntry, kAddOk, kFail9a}},
    {Path::Add, hk::Fault::Pool, 4, "CreateExtraDO link buffer", HCT_STATUS_INSUFFICIENT_RESOURCES,
     {kEntry, kAddOk, kExtraOk, kFail9a}},
    {Path::Add, hk::Fault::CreateDevice, 1, "filter device", HCT_STATUS_INSUFFICIENT_RESOURCES, {kEntry, kFail9a}},
    {Path::Add, hk::Fault::CreateDevice, 2, "extra device", HCT_STATUS_INSUFFICIENT_RESOURCES,
     {kEntry, kAddOk, kExtraFail, kFail9a}},
    {Path::Add, hk::Fault::CreateSymbolicLink, 1, "filter link", HCT_STATUS_INSUFFICIENT_RESOURCES, {kEntry, kFail9a}},
    {Path::Add, hk::Fault::CreateSymbolicLink, 2, "extra link", HCT_STATUS_INSUFFICIENT_RESOURCES,
     {kEntry, kAddOk, kExtraOk, kLinkFail, kFail9a}},
    {Path::Add, hk::Fault::AttachDevice, 1, "attach", HCT_STATUS_UNSUCCESSFUL, {kEntry, kFail01}},
    {Path::Start, hk::Fault::Pool, 1, "probe URB", STATUS_SUCCESS, Concat({kStartRequestLines, {kFound}}), true},
    {Path::Start, hk::Fault::Pool, 2, "probe reply buffer", STATUS_SUCCESS, Concat({kStartRequestLines, {kFound}}), true},
    {Path::Start, hk::Fault::BuildIoctlIrp, 1, "probe IRP", STATUS_SUCCESS, Concat({kStartRequestLines, {kFound}}), true},
};

class LowResourcesTest : public StackTest {
protected:
    // Whether the filter made this call, from what the call itself shows: its pool tag, the driver
    // creating a device or owning the device a link names, the driver of an attached device; an IRP
    // built for the bus driver's device directly (everyone else sends to the top of the stack below
    // them, which is the filter). The filter allocates no IRP with IoAllocateIrp.
    bool FiltersCall(hk::Fault kind, const hk::FaultSite &site, sim::Mouse &mouse) const
    {
        switch (kind) {
        case hk::Fault::Pool: return site.tag == HCT_POOL_TAG;
        // The filter builds its probe for the device it attached to: the bus's, or a neighbour's.
        case hk::Fault::BuildIoctlIrp: return site.driver != nullptr && site.driver == Below(mouse)->DriverObject;
        case hk::Fault::AllocateIrp: return false;
        default: return site.driver == filter_;
        }
    }

    // A fresh kernel and stack for the next run; the previous one is checked as every test's is.
    void Restart()
    {
        TearDown();
        violations_.clear();
        hk::SetTraceEnabled(true);
        SetUp();
    }

    // Everything up to the path, without faults: the returned mouse is ready for it.
    sim::Mouse &Prepare(Path path)
    {
        if (path == Path::Add)
            return pnp_->Connect({});
        sim::Mouse &mouse = pnp_->Plug({});
        if (path == Path::Control) {
            EXPECT_EQ(pnp_->Start(mouse), STATUS_SUCCESS);
            sim::PnpManager::Settle();
        }
        return mouse;
    }

    // The path itself: its status (for the control path the first request that failed, if any).
    NTSTATUS Run(Path path, sim::Mouse &mouse)
    {
        switch (path) {
        case Path::Add:
            return pnp_->AddDevices(mouse);
        case Path::Start: {
            const NTSTATUS status = pnp_->Start(mouse);
            sim::PnpManager::Settle();  // and the class driver's own start-up traffic
            return status;
        }
        case Path::Control: {
            sim::Application app;
            NTSTATUS status = app.Open(1);
            for (auto step : {&sim::Application::TurnOn, &sim::Application::TurnOff})
                if (status == STATUS_SUCCESS)
                    status = (app.*step)();
            const NTSTATUS closed = app.IsOpen() ? app.Close() : STATUS_SUCCESS;
            return status != STATUS_SUCCESS ? status : closed;
        }
        }
        return STATUS_UNSUCCESSFUL;
    }

    // The mouse still does its work: the feature switches on through the control device and a pan
    // gets the wheel rewritten.
    void ExpectUsable(sim::Mouse &mouse)
    {
        sim::Application app;
        ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
        ASSERT_EQ(app.TurnOn(), STATUS_SUCCESS);
        mouse.Class().ClearReads();
        mouse.Feed(sim::kReportPanRight);
        sim::PnpManager::Settle();
        ASSERT_EQ(mouse.Class().Reports().size(), 1u);
        EXPECT_EQ(mouse.Class().Reports()[0].bytes[3], 0x30);
        app.Close();
    }
};

TEST_F(LowResourcesTest, EveryAllocationAndObjectCreationFailingInTurn)
{
    std::set<std::tuple<Path, hk::Fault, unsigned>> filterCallsHit;
    std::map<std::string, unsigned> pointsSwept;
    for (Path path : {Path::Add, Path::Start, Path::Control}) {
        for (hk::Fault kind : kKinds) {
            for (unsigned n = 1;; ++n) {
                std::ostringstream label;
                label << Name(path) << " path, " << Name(kind) << " call " << n;
                SCOPED_TRACE(label.str());
                Restart();
                sim::Mouse &mouse = Prepare(path);
                const uint64_t before = hk::Calls(kind);
                const auto namesBefore = hk::Names();
                const size_t mark = TraceMark();
                hk::FailNth(kind, n);
                const NTSTATUS status = Run(path, mouse);
                hk::ClearFaults();
                const Lines trace = TraceSince(mark);
                const auto sites = hk::FaultSites(kind);
                if (sites.size() < before + n)
                    break;  // the path made fewer calls: every one of them has failed once
                ++pointsSwept[std::string(Name(path)) + " " + Name(kind)];
                const hk::FaultSite &failed = sites[before + n - 1];
                ASSERT_TRUE(failed.failed);
                if (!FiltersCall(kind, failed, mouse)) {
                    // A neighbour's failure: theirs to report; the filter only has to stay sound,
                    // which the restart's kernel check verifies. The I/O manager refusing an
                    // application's request reaches the application, and the mouse works on.
                    if (path == Path::Control) {
                        EXPECT_EQ(status, HCT_STATUS_INSUFFICIENT_RESOURCES);
                        ExpectUsable(mouse);
                    }
                    continue;
                }
                unsigned ordinal = 0;
                for (size_t i = before; i < before + n; ++i)
                    ordinal += FiltersCall(kind, sites[i], mouse);
                filterCallsHit.insert({path, kind, ordinal});
                const auto expected = std::find_if(kExpected.begin(), kExpected.end(), [&](const Expected &e) {
                    return e.path == path && e.kind == kind && e.filterCall == ordinal;
                });
                ASSERT_NE(expected, kExpected.end()) << "the filter's call " << ordinal << " has no expected outcome";
                SCOPED_TRACE(expected->what);
                EXPECT_EQ(status, expected->status);
                if (path == Path::Add) {
                    EXPECT_EQ(trace, expected->lines);
                    EXPECT_EQ(mouse.State(), sim::MouseState::AddFailed);
                    EXPECT_EQ(Below(mouse)->AttachedDevice, nullptr);
                    EXPECT_EQ(hk::LivePoolCount(HCT_POOL_TAG), 0u);
                    EXPECT_EQ(hk::Names(), namesBefore);
                } else {
                    // The start request's lines and the verdict; no URB status line, since nothing was
                    // sent, and no feature line. What the class driver does afterwards is its own.
                    const auto found = std::find(trace.begin(), trace.end(), std::string(kFound));
                    ASSERT_NE(found, trace.end());
                    EXPECT_EQ(Lines(trace.begin(), found + 1), expected->lines);
                    EXPECT_EQ(std::count(trace.begin(), trace.end(), std::string(kReady)), 0);
                    EXPECT_EQ(Extension(mouse)->MouseFound, 1);
                    EXPECT_EQ(Extension(mouse)->FeatureReady, 0);
                    EXPECT_EQ(hk::LivePoolCount(HCT_POOL_TAG), 2u);  // the two link buffers only
                    ExpectUsable(mouse);
                }
            }
        }
    }
    // Every failure the filter must handle was reached, and no other call of the filter exists.
    for (const Expected &e : kExpected)
        EXPECT_TRUE(filterCallsHit.count({e.path, e.kind, e.filterCall})) << e.what << " was never reached";
    EXPECT_EQ(filterCallsHit.size(), kExpected.size());
    // On the control path only the I/O manager allocates: the IRPs of open and the two controls.
    for (hk::Fault kind : kKinds)
        EXPECT_EQ(pointsSwept[std::string("control ") + Name(kind)], kind == hk::Fault::AllocateIrp ? 3u : 0u)
            << Name(kind);
    for (const auto &[what, points] : pointsSwept)
        std::printf("failure points swept: %-40s %u\n", what.c_str(), points);
}

}  // namespace
}  // namespace stack

// Every request each dispatch routine can receive, on the filter device, on the extra device and on a
// device object without a record: the status, the trace, whether the request goes down and how (the
// stack location the next driver gets it in, read from the host kernel's log), PoStartNextPowerIrp
// and which driver completes it.
#include "stack_fixture.h"

#include <sstream>

namespace stack {
namespace {

using Sent = hk::KernelOp::Sent;
using Kind = hk::KernelOp::Kind;

constexpr NTSTATUS kSuccess = 0x00000000, kInvalidParameter = (NTSTATUS)0xC000000D, kInvalidRequest = (NTSTATUS)0xC00000BB;
constexpr const char *kPassLine = "\n\r Device Lower Filter - FilterPass !!";
constexpr const char *kExtraLine = "[DefaultHandler] EXTRA DO";
constexpr const char *kPnpLine = "\n\r Device Lower Filter - IRP_MJ_PNP";

// What one request did, from the trace and the kernel's log.
struct Seen {
    ULONG_PTR information = 0;    // of a request sent straight to the device, at completion
    Lines trace;
    std::vector<hk::Delivery> route;
    NTSTATUS returned = 0;        // what the target's dispatch routine returned
    NTSTATUS belowReturned = 0;   // what the dispatch routine of the device below the target returned
    std::vector<PDEVICE_OBJECT> completers;  // each driver that called IofCompleteRequest, in order
    std::vector<int> startNext;   // the locations the target called PoStartNextPowerIrp at
    size_t linesBeforeDown = 0;   // trace lines the target wrote before it sent the request on
    std::string log;
};

// How a request leaves the target: completed there, or passed to the device below, which gets the
// target's own location (skipped) or one of its own (copied, with the target's completion routine).
enum class Down { No, Skipped, Copied };

struct Expect {
    NTSTATUS status = 0;  // for a request completed by the target; one passed down returns the lower status
    Lines trace;
    Down down = Down::No;
    PIO_COMPLETION_ROUTINE routine = nullptr;
    bool startsNextPowerIrp = false;
};

class RequestKindsTest : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        sim::MouseConfig quiet;  // no class traffic of its own: every line and step is the request's
        quiet.fetchDescriptor = false;
        quiet.readsOutstanding = 0;
        quiet.stringAnswer = sim::UrbAnswer::HoldUntilCancelled();
        mouse_ = &pnp_->Plug(quiet);
        pdo_ = mouse_->Pdo();
        below_ = Below(*mouse_);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\HctBare");
        ASSERT_EQ(IoCreateDevice(filter_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &bare_), STATUS_SUCCESS);
        bare_->Flags &= ~DO_DEVICE_INITIALIZING;
        std::copy(std::begin(filter_->MajorFunction), std::end(filter_->MajorFunction), std::begin(table_));
    }
    void TearDown() override
    {
        std::copy(std::begin(table_), std::end(table_), std::begin(filter_->MajorFunction));
        hk::SetKernelOpLog(false);
        IoDeleteDevice(bare_);
        StackTest::TearDown();
    }

    PDEVICE_OBJECT Filter() { return mouse_->FilterDevice(); }
    PDEVICE_OBJECT Extra() { return Extension(*mouse_)->ExtraExtension->Self; }

    // Sends one request (through `send`) and gathers what became of the first one that reached
    // `target` with that major and minor code.
    Seen Observe(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, const std::function<void(Seen &)> &send)
    {
        Seen seen;
        const size_t mark = TraceMark();
        hk::SetKernelOpLog(true);
        send(seen);
        const std::vector<hk::KernelOp> ops = hk::KernelOps();
        hk::SetKernelOpLog(false);
        seen.trace = TraceSince(mark);
        std::ostringstream log;
        for (const hk::KernelOp &op : ops)
            log << "\n  " << hk::Describe(op);
        seen.log = log.str();
        uint64_t serial = 0;
        for (const hk::KernelOp &op : ops)
            if (serial == 0 && op.kind == Kind::CallDriver && op.device == target && op.major == major && op.minor == minor)
                serial = op.irpSerial;
        seen.route = hk::Route(serial);
        PDEVICE_OBJECT below = nullptr;
        for (size_t i = 0; i + 1 < seen.route.size(); ++i)
            if (seen.route[i].device == target)
                below = seen.route[i + 1].device;
        bool down = false;
        for (const hk::KernelOp &op : ops) {
            if (op.kind == Kind::Print && op.actor == target && !down)
                ++seen.linesBeforeDown;
            if (op.irpSerial != serial)
                continue;
            if (op.kind == Kind::CallDriver && op.actor == target)
                down = true;
            if (op.kind == Kind::DispatchReturn && op.device == target)
                seen.returned = op.status;
            if (op.kind == Kind::DispatchReturn && below != nullptr && op.device == below)
                seen.belowReturned = op.status;
            if (op.kind == Kind::Complete)
                seen.completers.push_back(op.device);
            if (op.kind == Kind::StartNextPowerIrp && op.actor == target)
                seen.startNext.push_back(op.location);
        }
        return seen;
    }
    Seen Send(PDEVICE_OBJECT target, sim::Request request)
    {
        request.initialInformation = 0x55;
        return Observe(target, request.major, request.minor,
                       [&](Seen &seen) { seen.information = sim::SendRequest(target, request).information; });
    }

    // Checks a request against what the description fixes for it. `completedAbove` is for a request
    // the target completes itself after the drivers below did (the start request).
    void Check(const Seen &seen, PDEVICE_OBJECT target, const Expect &expect, bool completedAbove = false)
    {
        SCOPED_TRACE("the log was" + seen.log);
        EXPECT_EQ(seen.trace, expect.trace);
        auto at = std::find_if(seen.route.begin(), seen.route.end(), [&](const hk::Delivery &d) { return d.device == target; });
        ASSERT_NE(at, seen.route.end()) << "the request never reached the device";
        // The creator owns no location: the first driver gets the top one, the IRP's last.
        EXPECT_EQ(seen.route.front().sent, Sent::ByCreator);
        if (!hk::IsDeleted(seen.route.front().device)) {
            EXPECT_EQ(seen.route.front().location, seen.route.front().device->StackSize);
        }
        const int location = at->location;
        EXPECT_EQ(seen.startNext, expect.startsNextPowerIrp ? std::vector<int>{location} : std::vector<int>{});
        std::vector<PDEVICE_OBJECT> completers;  // the target's and those of the drivers below it
        for (PDEVICE_OBJECT device : seen.completers)
            if (std::none_of(seen.route.begin(), at, [&](const hk::Delivery &d) { return d.device == device; }))
                completers.push_back(device);
        if (expect.down == Down::No) {
            EXPECT_EQ(at + 1, seen.route.end()) << "went on to another driver";
            EXPECT_EQ(completers, std::vector<PDEVICE_OBJECT>{target});
            EXPECT_EQ(seen.returned, expect.status);
            EXPECT_EQ(seen.information, 0u);
            return;
        }
        ASSERT_NE(at + 1, seen.route.end()) << "not passed down";
        const hk::Delivery &next = at[1];
        EXPECT_EQ(next.device, below_);
        if (expect.down == Down::Skipped) {
            EXPECT_EQ(next.sent, Sent::Skipped);
            EXPECT_EQ(next.location, location) << "a request passed through arrives in the filter's own location";
        } else {
            EXPECT_EQ(next.sent, Sent::Copied);
            EXPECT_EQ(next.location, location - 1) << "a request watched arrives in a location of its own";
        }
        EXPECT_EQ(next.routine, expect.routine);
        EXPECT_EQ(seen.linesBeforeDown, expect.trace.size()) << "every line is written before the request goes down";
        std::vector<PDEVICE_OBJECT> expected{pdo_};
        if (completedAbove)
            expected.push_back(target);
        EXPECT_EQ(completers, expected) << "the bus driver completes what goes down";
        if (!completedAbove) {
            EXPECT_EQ(seen.returned, seen.belowReturned) << "the lower driver's status, unchanged";
        }
    }

    sim::Mouse *mouse_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr, below_ = nullptr;
    PDEVICE_OBJECT bare_ = nullptr;
    PDRIVER_DISPATCH table_[0x1C] = {};
};

// The routine each major code goes to, and the line the common dispatch routine prints for it.
enum class Routine { Pass, Common, Power, DeviceControl, Internal };
struct MajorRow {
    UCHAR major;
    Routine routine;
    const char *commonLine;
};
const MajorRow kMajors[] = {
    {0x00, Routine::Common, "\n\r Device Lower Filter - IRP_MJ_CREATE"},
    {0x01, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_CREATE_NAMED_PIPE"},
    {0x02, Routine::Common, "\n\r Device Lower Filter - IRP_MJ_CLOSE"},
    {0x03, Routine::Common, "\n\r Device Lower Filter - IRP_MJ_READ"},
    {0x04, Routine::Common, "\n\r Device Lower Filter - IRP_MJ_WRITE"},
    {0x05, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_QUERY_INFORMATION"},
    {0x06, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_SET_INFORMATION"},
    {0x07, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_QUERY_EA"},
    {0x08, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_SET_EA"},
    {0x09, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_FLUSH_BUFFERS"},
    {0x0A, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_QUERY_VOLUME_INFORMATION"},
    {0x0B, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_SET_VOLUME_INFORMATION"},
    {0x0C, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_DIRECTORY_CONTROL"},
    {0x0D, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_FILE_SYSTEM_CONTROL"},
    {0x0E, Routine::DeviceControl, "\n\r Device Lower Filter - UNKNOW MAJOR FUNCTION = ="},
    {0x0F, Routine::Internal, "\n\r Device Lower Filter - IRP_MJ_INTERNAL_DEVICE_CONTROL"},
    {0x10, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_SHUTDOWN"},
    {0x11, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_LOCK_CONTROL"},
    {0x12, Routine::Common, "\n\r Device Lower Filter - IRP_MJ_CLEANUP"},
    {0x13, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_CREATE_MAILSLOT"},
    {0x14, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_QUERY_SECURITY"},
    {0x15, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_SET_SECURITY"},
    {0x16, Routine::Power, "\n\r Device Lower Filter - UNKNOW MAJOR FUNCTION = ="},
    {0x17, Routine::Common, "\n\r Device Lower Filter - IRP_MJ_SYSTEM_CONTROL"},
    {0x18, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_DEVICE_CHANGE"},
    {0x19, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_QUERY_QUOTA"},
    {0x1A, Routine::Pass, "\n\r Device Lower Filter - IRP_MJ_SET_QUOTA"},
    {0x1B, Routine::Common, "\n\r Device Lower Filter - IRP_MJ_PNP"},
};

// One request of each major code: a power request queries, a PnP request has a minor no driver
// handles, a device control request is TURN_ON, an internal one has a code that is not a URB.
sim::Request RequestFor(UCHAR major)
{
    return {.major = major, .minor = UCHAR(major == 0x16 ? 0x03 : major == 0x1B ? 0x18 : 0),
            .ioControlCode = major == 0x0E ? 0x00222800u : major == 0x0F ? 0x00220FFFu : 0u};
}

Expect ThroughTheTable(const MajorRow &row, int device /* 0 filter, 1 extra, 2 without record */)
{
    if (device == 2)
        return {.status = kInvalidParameter, .trace = row.routine == Routine::Pass ? Lines{kPassLine} : Lines{}};
    switch (row.routine) {
    case Routine::Pass:
        return device == 0 ? Expect{.trace = {kPassLine}, .down = Down::Skipped}
                           : Expect{.status = kInvalidRequest, .trace = {kPassLine}};
    case Routine::Common:
        if (device == 0)
            return {.trace = {row.commonLine, "\n\r"}, .down = Down::Skipped};
        return {.status = row.major == 0x00 || row.major == 0x02 ? kSuccess : kInvalidRequest, .trace = {kExtraLine}};
    case Routine::Power:
        return device == 0 ? Expect{.trace = {"\n\r Device Lower Filter - IRP_MJ_POWER"}, .down = Down::Skipped,
                                    .startsNextPowerIrp = true}
                           : Expect{.status = kInvalidRequest};
    case Routine::DeviceControl:
        return device == 0 ? Expect{.trace = {"\n\r Device Lower Filter - IRP_MJ_DEVICE_CONTROL"}, .down = Down::Skipped}
                           : Expect{.status = kSuccess, .trace = {kExtraLine, "[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_ON"}};
    case Routine::Internal:
        return device == 0 ? Expect{.trace = {"\n\r Device Lower Filter - IRP_MJ_INTERNAL_DEVICE_CONTROL"},
                                    .down = Down::Copied, .routine = InternalIOCTLComplete}
                           : Expect{.status = kInvalidRequest};
    }
    return {};
}

// Every major code through the driver's own dispatch table, then every major code given to the
// common dispatch routine (its line table holds a row for codes the table sends elsewhere).
TEST_F(RequestKindsTest, EveryMajorCodeOnEveryDevice)
{
    ASSERT_EQ(pnp_->Start(*mouse_), STATUS_SUCCESS);
    for (bool common : {false, true}) {
        if (common)
            std::fill(std::begin(filter_->MajorFunction), std::end(filter_->MajorFunction), CommonDispatch);
        for (const MajorRow &row : kMajors) {
            const PDEVICE_OBJECT devices[] = {Filter(), Extra(), bare_};
            for (int device = 0; device < 3; ++device) {
                SCOPED_TRACE((common ? "all to the common routine, major " : "major ") + std::to_string(row.major) +
                             " on device " + std::to_string(device));
                Expect expect = ThroughTheTable(row, device);
                if (common && device == 0)
                    expect = {.trace = {row.commonLine, "\n\r"}, .down = Down::Skipped};
                if (common && device == 1)
                    expect = {.status = row.major == 0x00 || row.major == 0x02 ? kSuccess : kInvalidRequest, .trace = {kExtraLine}};
                if (common && device == 2)
                    expect = {.status = kInvalidParameter};
                Check(Send(devices[device], RequestFor(row.major)), devices[device], expect);
                if (row.major == 0x0E && !common) {
                    EXPECT_EQ(Extension(*mouse_)->FeatureEnabled, device == 0 ? 0 : 1) << "TURN_ON acts on the extra device only";
                }
            }
        }
    }
}

// Every power minor, system and device power alike: the line, PoStartNextPowerIrp on the filter's
// own location, the skip; on the extra device a refusal without either.
TEST_F(RequestKindsTest, EveryPowerMinorOnBothDevices)
{
    ASSERT_EQ(pnp_->Start(*mouse_), STATUS_SUCCESS);
    const struct {
        UCHAR minor;
        ULONG type;
    } rows[] = {{0x00 /* WAIT_WAKE */, 0}, {0x01 /* POWER_SEQUENCE */, 0}, {0x02 /* SET_POWER */, 0},
                {0x02, 1},                 {0x03 /* QUERY_POWER */, 0},    {0x03, 1}};
    for (const auto &row : rows) {
        SCOPED_TRACE("power minor " + std::to_string(row.minor) + (row.type ? ", device power" : ", system power"));
        const sim::Request request{.major = 0x16, .minor = row.minor, .powerType = row.type};
        Check(Send(Filter(), request), Filter(),
              {.trace = {"\n\r Device Lower Filter - IRP_MJ_POWER"}, .down = Down::Skipped, .startsNextPowerIrp = true});
        Check(Send(Extra(), request), Extra(), {.status = kInvalidRequest});
    }
}

// Every PnP minor as the PnP manager sends it to the top of the stack, and the same minor on the
// extra device; the removal last.
TEST_F(RequestKindsTest, EveryPnpMinorOnBothDevices)
{
    const std::pair<UCHAR, const char *> rows[] = {
        {0x00, "\n\r   IRP_MJ_PNP (IRP_MN_START_DEVICE)"},
        {0x01, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_REMOVE_DEVICE)"},
        {0x03, "\n\r   IRP_MJ_PNP (IRP_MN_CANCEL_REMOVE_DEVICE)"},
        {0x05, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_STOP_DEVICE)"},
        {0x06, "\n\r   IRP_MJ_PNP (IRP_MN_CANCEL_STOP_DEVICE)"},
        {0x07, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_DEVICE_RELATIONS)"},
        {0x08, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_INTERFACE)"},
        {0x09, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_CAPABILITIES)"},
        {0x0A, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_RESOURCES)"},
        {0x0B, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_RESOURCE_REQUIREMENTS)"},
        {0x0C, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_DEVICE_TEXT)"},
        {0x0D, "\n\r   IRP_MJ_PNP (IRP_MN_FILTER_RESOURCE_REQUIREMENTS)"},
        {0x0E, nullptr},
        {0x0F, "\n\r   IRP_MJ_PNP (IRP_MN_READ_CONFIG)"},
        {0x10, "\n\r   IRP_MJ_PNP (IRP_MN_WRITE_CONFIG)"},
        {0x11, "\n\r   IRP_MJ_PNP (IRP_MN_EJECT)"},
        {0x12, "\n\r   IRP_MJ_PNP (IRP_MN_SET_LOCK)"},
        {0x13, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_ID)"},
        {0x14, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_PNP_DEVICE_STATE)"},
        {0x15, "\n\r   IRP_MJ_PNP (IRP_MN_QUERY_BUS_INFORMATION)"},
        {0x16, "\n\r   IRP_MJ_PNP (IRP_MN_DEVICE_USAGE_NOTIFICATION)"},
        {0x18, nullptr},
        {0x19, nullptr},
        {0x04, "\n\r   IRP_MJ_PNP (IRP_MN_STOP_DEVICE)"},
        {0x17, "\n\r   IRP_MJ_PNP (IRP_MN_SURPRISE_REMOVAL)"},
        {0x02, "\n\r   IRP_MJ_PNP (IRP_MN_REMOVE_DEVICE)"},
    };
    for (const auto &row : rows) {
        const UCHAR minor = row.first;  // a named copy: the lambda below captures it
        const char *const line = row.second;
        SCOPED_TRACE("PnP minor " + std::to_string(minor));
        Check(Send(Extra(), {.major = 0x1B, .minor = minor}), Extra(), {.status = kInvalidRequest, .trace = {kExtraLine}});
        PDEVICE_OBJECT filter = Filter();
        Seen seen = Observe(filter, 0x1B, minor, [&](Seen &) { pnp_->Send(*mouse_, minor); });
        Expect expect{.trace = line ? Lines{kPnpLine, line, "\n\r"} : Lines{kPnpLine, "\n\r"}, .down = Down::Skipped};
        if (minor == 0x00) {  // handed to the start path, which watches it and completes it itself
            expect.down = Down::Copied;
            expect.routine = AnyComplete;
            seen.trace.resize(std::min<size_t>(seen.trace.size(), 3));
        }
        Check(seen, filter, expect, minor == 0x00);
        if (minor == 0x00 || minor == 0x02) {
            EXPECT_EQ(seen.returned, kSuccess);
        }
    }
    EXPECT_FALSE(hk::NameExists(u"\\Device\\MClassFilterL0"));
    EXPECT_FALSE(hk::NameExists(u"\\Device\\MouseExtra0"));
}

}  // namespace
}  // namespace stack

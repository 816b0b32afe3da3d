// Device start: the start request sent down and waited for, the identity test and the string probe
// with its timed submission, cancel and status log, and the verdicts they leave in the record.
#include "mouse_fixture.h"

#include <chrono>

namespace stack {
namespace {

const char kUrbCanceled[] = "The URB status = USBD_STATUS_CANCELED , Error !! \n";
const char kUrbStall[] = "The URB status = USBD_STATUS_STALL_PID , Error !! \n";

class StartTest : public StackTest {
protected:
    // Plugs a mouse whose string descriptor 200 answers `answer`, starts it, and returns the trace of
    // the start request up to the filter's completion of it (the class driver's traffic cut off).
    Lines StartWith(const sim::UrbAnswer &answer, sim::Mouse **out = nullptr, NTSTATUS *status = nullptr)
    {
        sim::MouseConfig config;
        config.stringAnswer = answer;
        config.fetchDescriptor = false;
        config.readsOutstanding = 0;
        sim::Mouse &mouse = pnp_->Plug(config);
        const size_t mark = TraceMark();
        const NTSTATUS s = pnp_->Start(mouse);
        if (out)
            *out = &mouse;
        if (status)
            *status = s;
        return TraceSince(mark);
    }
};

TEST_F(StartTest, SuccessfulStartProbesOnceWithTheDocumentedRequestAndFreesIt)
{
    sim::Mouse *mouse = nullptr;
    NTSTATUS status = 0;
    EXPECT_EQ(StartWith(sim::UrbAnswer::Text("START"), &mouse, &status),
              Concat({kStartRequestLines, {kUrbSuccess, kFound, kReady}}));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Extension(*mouse)->MouseFound, 1);
    EXPECT_EQ(Extension(*mouse)->FeatureReady, 1);
    EXPECT_EQ(Extension(*mouse)->FeatureEnabled, 0);  // the probe does not switch the feature

    const auto probes = mouse->Bus().UrbLog(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(probes[0].urbLength, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    EXPECT_EQ(probes[0].descriptorIndex, 200);
    EXPECT_EQ(probes[0].descriptorType, USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(probes[0].languageId, 0x0409);
    EXPECT_EQ(probes[0].transferBufferLength, 255u);
    EXPECT_EQ(probes[0].setup, (std::array<uint8_t, 8>{0x80, 0x06, 200, 0x03, 0x09, 0x04, 0xFF, 0x00}));  // as the bus sends it
    EXPECT_TRUE(probes[0].hasTransferBuffer);
    EXPECT_FALSE(probes[0].hasMdl);
    EXPECT_EQ(hk::LivePoolCount(HCT_POOL_TAG), 2u);  // only the two link buffers remain
}

TEST_F(StartTest, FailedRestartKeepsTheEarlierVerdictsAndWritesTheirLinesAgain)
{
    sim::MouseConfig config;
    config.startAnswers = {{}, {.status = (NTSTATUS)0xC000009A}};
    sim::Mouse &mouse = pnp_->PlugAndStart(config);
    ASSERT_EQ(Extension(mouse)->FeatureReady, 1);
    EXPECT_EQ(pnp_->Send(mouse, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    const size_t mark = TraceMark();
    EXPECT_EQ(pnp_->Start(mouse), (NTSTATUS)0xC000009A);
    EXPECT_EQ(TraceSince(mark), Concat({kStartRequestLines, {kFound, kReady}}));
    EXPECT_EQ(mouse.Bus().StringRequests(), 1u);
    EXPECT_EQ(Extension(mouse)->MouseFound, 1);
}

// What the device answers to string descriptor 200 decides FeatureReady, and nothing else.
struct ProbeCase {
    const char *name;
    sim::UrbAnswer answer;
    bool ready;
    const char *statusLine;
};

class ProbeReplyTest : public StartTest, public ::testing::WithParamInterface<ProbeCase> {};

// A request held until it is cancelled, then completed by the bus `delay` after the cancel.
sim::UrbAnswer CompletedAfterTheCancel(int64_t delay)
{
    sim::UrbAnswer answer = sim::UrbAnswer::HoldUntilCancelled();
    answer.cancelDelay = delay;
    return answer;
}

TEST_P(ProbeReplyTest, VerdictAndStatusLine)
{
    const ProbeCase &c = GetParam();
    sim::Mouse *mouse = nullptr;
    NTSTATUS status = 0;
    Lines expected = Concat({kStartRequestLines, {c.statusLine, kFound}});
    if (c.ready)
        expected.push_back(kReady);
    EXPECT_EQ(StartWith(c.answer, &mouse, &status), expected);
    EXPECT_EQ(status, STATUS_SUCCESS);  // a failed probe never fails the start
    EXPECT_EQ(Extension(*mouse)->MouseFound, 1);
    EXPECT_EQ(Extension(*mouse)->FeatureReady, c.ready ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ProbeReplyTest,
    ::testing::Values(
        ProbeCase{"LowerCaseWithMore", sim::UrbAnswer::Text("start..."), true, kUrbSuccess},
        ProbeCase{"MixedCase", sim::UrbAnswer::Text("StArT"), true, kUrbSuccess},
        ProbeCase{"Shifted", sim::UrbAnswer::Text("XSTART"), false, kUrbSuccess},
        ProbeCase{"StandardStringDescriptor",
                  sim::UrbAnswer::Bytes({0x0C, 0x03, 'S', 0, 'T', 0, 'A', 0, 'R', 0, 'T', 0}), false, kUrbSuccess},
        ProbeCase{"StallAtOnce", sim::UrbAnswer::Stall().Sync(), false, kUrbStall},
        ProbeCase{"StallLater", sim::UrbAnswer::Stall(), false, kUrbStall},
        ProbeCase{"FailedDespiteGoodBytes",
                  sim::UrbAnswer::Failure(sim::kUsbdStallPid, STATUS_UNSUCCESSFUL, {'S', 'T', 'A', 'R', 'T'}), false,
                  kUrbStall},
        // Failed at once: no status block is written, so only IoCallDriver's status tells.
        ProbeCase{"FailedAtOnceDespiteGoodBytes",
                  sim::UrbAnswer::Failure(sim::kUsbdStallPid, STATUS_UNSUCCESSFUL, {'S', 'T', 'A', 'R', 'T'}).Sync(), false,
                  kUrbStall},
        ProbeCase{"FailureWithoutUrbStatus", sim::UrbAnswer::Failure(0, STATUS_UNSUCCESSFUL), false, kUrbSuccess},
        ProbeCase{"UnknownUsbStatus", sim::UrbAnswer::Failure((USBD_STATUS)0xC0000001, STATUS_UNSUCCESSFUL), false,
                  "Unknown Error Code, Code = 0xc0000001"},
        ProbeCase{"AnsweredJustInTime", sim::UrbAnswer::Text("START").After(hk::Ms(1999)), true, kUrbSuccess},
        ProbeCase{"AnsweredTooLate", sim::UrbAnswer::Text("START").After(hk::Ms(2100)), false, kUrbCanceled},
        ProbeCase{"NoAnswerUntilCancelled", sim::UrbAnswer::HoldUntilCancelled(), false, kUrbCanceled},
        ProbeCase{"CompletedFromInsideTheCancelRoutine", CompletedAfterTheCancel(0), false, kUrbCanceled},
        ProbeCase{"CompletedWellAfterTheCancel", CompletedAfterTheCancel(hk::Ms(3000)), false, kUrbCanceled},
        ProbeCase{"CancelReportedWithDdkCode", sim::UrbAnswer::HoldUntilCancelled(sim::kUsbdCanceledDdk), false,
                  "Unknown Error Code, Code = 0xc0010000"}),
    [](const ::testing::TestParamInfo<ProbeCase> &info) { return std::string(info.param.name); });

// The five moments at which the probe's request can end relative to its 2-second timeout. In every
// one the request is gone, the pool is clean and nothing touches freed memory or the probe's frame
// (the address sanitizer watches) when the start returns.
TEST_F(StartTest, TimeoutCostsNoRealTimeAndCancelsExactlyOnce)
{
    const auto real = std::chrono::steady_clock::now();
    sim::Mouse *mouse = nullptr;
    const int64_t before = hk::Now();
    StartWith(sim::UrbAnswer::HoldUntilCancelled(), &mouse);
    EXPECT_GE(hk::Now() - before, hk::Ms(2000));
    // The real 2 seconds would show; anything shorter means the virtual clock moved.
    EXPECT_LT(std::chrono::steady_clock::now() - real, std::chrono::milliseconds(2000));
    EXPECT_EQ(mouse->Bus().Counters().urbsCancelled, 1u);
    EXPECT_EQ(mouse->Bus().PendingUrbs(), 0u);
}

TEST_F(StartTest, RequestThatCompletesOnItsOwnAfterTheTimeoutIsNotCancelled)
{
    // The answer falls due the moment the timed wait gives up: the request completes between the
    // timeout and the cancel, and the cancel is skipped because the IRP is already gone.
    hk::SetWaitTimeoutHook([] { hk::Advance(1); });
    sim::Mouse *mouse = nullptr;
    EXPECT_EQ(StartWith(sim::UrbAnswer::Text("START").After(hk::Ms(2000) + 1), &mouse),
              Concat({kStartRequestLines, {kUrbSuccess, kFound, kReady}}));
    hk::SetWaitTimeoutHook(nullptr);
    EXPECT_EQ(mouse->Bus().Counters().urbsCancelled, 0u);
    EXPECT_EQ(mouse->Bus().PendingUrbs(), 0u);
}

TEST_F(StartTest, RequestThatIgnoresTheCancelHangsTheStartAndTheWatchdogSaysSo)
{
    sim::Mouse *mouse = nullptr;
    hk::SetWatchdog(std::chrono::milliseconds(0));
    hk::SetViolationHandler([&](const hk::Violation &v) {
        violations_.push_back(v);
        if (v.rule == hk::rule::WaitNeverSatisfied)
            for (sim::Mouse *m : pnp_->Mice())
                m->Bus().ReleaseHeld();
    });
    StartWith(sim::UrbAnswer::HoldForever(), &mouse);
    EXPECT_EQ(TakeViolations(hk::rule::WaitNeverSatisfied), 1u);
    EXPECT_EQ(Extension(*mouse)->FeatureReady, 0);
}

}  // namespace
}  // namespace stack

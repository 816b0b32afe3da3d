// Orders the driver fixes that no trace shows: the steps of the teardown at removal, read from the
// host kernel's ordered log of operations, step by step.
#include "stack_fixture.h"

#include <sstream>

namespace stack {
namespace {

constexpr ULONG kWdmTag = 'W' | ('d' << 8) | ('m' << 16) | (' ' << 24);  // "Wdm " as the pool stores it

using Kind = hk::KernelOp::Kind;

std::string Show(const std::vector<hk::KernelOp> &ops)
{
    std::ostringstream text;
    for (const hk::KernelOp &op : ops)
        text << "\n  " << hk::Describe(op);
    return text.str();
}

// The operations the dispatch routine of `device` made, for `irp` or for no IRP at all (objects,
// links, pool): requests other threads send through the same device meanwhile are left out.
std::vector<hk::KernelOp> MadeBy(const std::vector<hk::KernelOp> &ops, PDEVICE_OBJECT device, PIRP irp)
{
    std::vector<hk::KernelOp> mine;
    for (const hk::KernelOp &op : ops)
        if (op.actor == device && (op.irp == nullptr || op.irp == irp))
            mine.push_back(op);
    return mine;
}

// The request the device above sent to `device` with this major and minor code (the first one).
PIRP SentTo(const std::vector<hk::KernelOp> &ops, PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    for (const hk::KernelOp &op : ops)
        if (op.kind == Kind::CallDriver && op.device == device && op.major == major && op.minor == minor)
            return op.irp;
    return nullptr;
}

class OrderTest : public StackTest {
protected:
    void TearDown() override
    {
        hk::SetKernelOpLog(false);
        StackTest::TearDown();
    }
};

// One step the test expects, with what it checks beyond the kind.
struct Step {
    Kind kind;
    PDEVICE_OBJECT device = nullptr;       // CallDriver, DeleteDevice, Detach: the device
    PDEVICE_OBJECT other = nullptr;        // Detach: the device that was on it
    std::u16string name;                   // DeleteLink
    const void *block = nullptr;           // PoolFree
    int locationFromCaller = 0;            // SkipLocation, CallDriver: location - caller's
};

void ExpectSteps(const std::vector<hk::KernelOp> &ops, const std::vector<Step> &steps, const std::string &what)
{
    ASSERT_EQ(ops.size(), steps.size()) << what << ": the operations were" << Show(ops);
    for (size_t i = 0; i < steps.size(); ++i) {
        const hk::KernelOp &op = ops[i];
        const Step &step = steps[i];
        SCOPED_TRACE(what + ", step " + std::to_string(i + 1) + ": " + hk::Describe(op));
        EXPECT_EQ(op.kind, step.kind) << "the operations were" << Show(ops);
        switch (step.kind) {
        case Kind::CallDriver:
            EXPECT_EQ(op.device, step.device);
            [[fallthrough]];
        case Kind::SkipLocation:
            EXPECT_EQ(op.location - op.callerLocation, step.locationFromCaller);
            break;
        case Kind::Detach:
            EXPECT_EQ(op.other, step.other);
            [[fallthrough]];
        case Kind::DeleteDevice:
            EXPECT_EQ(op.device, step.device);
            break;
        case Kind::DeleteLink:
            EXPECT_EQ(op.name, step.name);
            break;
        case Kind::PoolFree:
            EXPECT_EQ(op.block, step.block);
            EXPECT_EQ(op.tag, kWdmTag);
            break;
        default:
            break;
        }
    }
}

// The removal, for a mouse directly on its PDO and for one with a second lower filter in between,
// and with a bus that fails the remove request: the request goes down first (skipped, so the driver
// below gets this driver's location), then the extra link, its buffer, the extra device, the filter
// link, its buffer, the detach from the device the attach returned, the filter device; the routine
// returns STATUS_SUCCESS whatever the drivers below made of the request.
TEST_F(OrderTest, RemovalSendsTheRequestDownFirstThenTearsDownStepByStep)
{
    struct Case {
        const char *name;
        bool neighbour;
        std::optional<NTSTATUS> busRemoveStatus;
    };
    const Case cases[] = {
        {"on the PDO", false, std::nullopt},
        {"above a second lower filter", true, std::nullopt},
        {"bus fails the remove", false, STATUS_UNSUCCESSFUL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::MouseConfig config;
        if (c.neighbour)
            config.neighbour = sim::NeighbourFilter{};
        if (c.busRemoveStatus)
            config.pnpStatus[IRP_MN_REMOVE_DEVICE] = *c.busRemoveStatus;
        sim::Mouse &mouse = pnp_->PlugAndStart(config);
        ASSERT_EQ(mouse.State(), sim::MouseState::Started);
        PDEVICE_OBJECT filter = mouse.FilterDevice();
        PDEVICE_EXTENSION extension = Extension(mouse);
        PDEVICE_OBJECT below = Below(mouse);
        ASSERT_EQ(extension->LowerDeviceObject, below);
        ASSERT_NE(extension->ExtraExtension, nullptr);
        PDEVICE_OBJECT extra = extension->ExtraExtension->Self;
        const void *extraLinkBuffer = extension->ExtraExtension->SymbolicLinkName.Buffer;
        const void *filterLinkBuffer = extension->SymbolicLinkName.Buffer;

        hk::SetKernelOpLog(true);
        pnp_->Remove(mouse);
        const std::vector<hk::KernelOp> ops = hk::KernelOps();
        hk::SetKernelOpLog(false);

        PIRP remove = SentTo(ops, filter, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        ASSERT_NE(remove, nullptr) << Show(ops);
        std::vector<hk::KernelOp> steps;
        for (const hk::KernelOp &op : MadeBy(ops, filter, remove))
            if (op.kind != Kind::Print)
                steps.push_back(op);
        ExpectSteps(steps,
                    {
                        {.kind = Kind::SkipLocation, .locationFromCaller = 0},
                        {.kind = Kind::CallDriver, .device = below, .locationFromCaller = 1},
                        {.kind = Kind::DeleteLink, .name = u"\\DosDevices\\SLN_MouseExtra1"},
                        {.kind = Kind::PoolFree, .block = extraLinkBuffer},
                        {.kind = Kind::DeleteDevice, .device = extra},
                        {.kind = Kind::DeleteLink, .name = u"\\DosDevices\\SLN_MClassFilterL1"},
                        {.kind = Kind::PoolFree, .block = filterLinkBuffer},
                        {.kind = Kind::Detach, .device = below, .other = filter},
                        {.kind = Kind::DeleteDevice, .device = filter},
                        {.kind = Kind::DispatchReturn},
                    },
                    c.name);
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back().status, STATUS_SUCCESS);
        // What came back from below, for the record: the bus's own answer.
        for (const hk::KernelOp &op : ops) {
            if (op.kind == Kind::DispatchReturn && op.irp == remove && op.device == below) {
                EXPECT_EQ(op.status, c.busRemoveStatus.value_or(STATUS_SUCCESS));
            }
        }
        EXPECT_EQ(hk::LivePoolCount(kWdmTag), 0u);
        // A bus that fails a removal breaks the rules itself; the filter's fixed answer then differs
        // from what IoCallDriver returned, which the layer reports for a plain pass-down.
        EXPECT_EQ(TakeViolations(hk::rule::PassThroughStatusChanged), c.busRemoveStatus ? 1u : 0u);
    }
}

}  // namespace
}  // namespace stack

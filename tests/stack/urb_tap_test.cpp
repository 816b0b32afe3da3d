// What the URB observer (MouseConfig::urbTap) is shown: every URB at the bus driver as it arrived and
// as it completes, and at the class driver as it went down and came back; the same IRP in the same
// order at both places whether the drivers complete at once, pended or on another thread, and the
// data resolved from a transfer buffer or an MDL. hct-sim's capture writer relies on all of it.
#include "stack_fixture.h"

#include <cstring>
#include <map>
#include <mutex>

namespace stack {
namespace {

struct Seen {
    sim::UrbPoint point;
    sim::UrbStage stage;
    const void *irp;
    USHORT function;
    std::array<uint8_t, 8> setup;  // the bytes at SetupPacket as they are then
    std::vector<uint8_t> data;      // an interrupt transfer coming back: TransferBufferLength bytes
};

class Recorder final : public sim::UrbTap {
public:
    void OnUrb(const sim::UrbEvent &e) override
    {
        Seen s{e.point, e.stage, e.irp, e.urb->UrbHeader.Function, {}, {}};
        const auto &t = e.urb->UrbControlTransfer;
        if (s.function != URB_FUNCTION_SELECT_CONFIGURATION && s.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            std::memcpy(s.setup.data(), t.SetupPacket, 8);
        if (s.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.stage == sim::UrbStage::Complete) {
            const uint8_t *buffer = t.TransferBuffer ? static_cast<const uint8_t *>(t.TransferBuffer)
                                    : t.TransferBufferMDL
                                        ? static_cast<const uint8_t *>(t.TransferBufferMDL->StartVa) + t.TransferBufferMDL->ByteOffset
                                        : nullptr;
            if (buffer)
                s.data.assign(buffer, buffer + t.TransferBufferLength);
        }
        std::lock_guard lock(mutex_);
        seen_.push_back(s);
    }
    std::vector<Seen> Seen_() const
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
};

class UrbTapTest : public StackTest, public ::testing::WithParamInterface<sim::BufferForm> {};

TEST_P(UrbTapTest, EachUrbIsShownBelowAndAboveTheFilterInOrderWithItsData)
{
    Recorder recorder;
    sim::MouseConfig config;
    config.bufferForm = GetParam();
    config.urbTap = &recorder;
    sim::Mouse &mouse = pnp_->PlugAndStart(config);
    ASSERT_EQ(mouse.State(), sim::MouseState::Started);
    sim::Application app;
    ASSERT_EQ(app.Open(1), STATUS_SUCCESS);
    ASSERT_EQ(app.TurnOn(), STATUS_SUCCESS);
    app.Close();
    mouse.Feed(sim::kReportPanRight);
    sim::PnpManager::Settle();
    pnp_->Remove(mouse);
    const std::vector<Seen> seen = recorder.Seen_();

    // Per IRP: what happened to it, in order. An IRP address may be reused once its request is done.
    using sim::UrbPoint;
    using sim::UrbStage;
    std::map<const void *, std::vector<const Seen *>> open;
    std::vector<std::vector<const Seen *>> done;
    for (const Seen &s : seen) {
        auto &steps = open[s.irp];
        steps.push_back(&s);
        const bool last = s.stage == UrbStage::Complete && (s.point == UrbPoint::Class || steps.size() == 2);
        if (last) {
            done.push_back(steps);
            open.erase(s.irp);
        }
    }
    EXPECT_TRUE(open.empty());

    size_t probes = 0, reports = 0, converted = 0;
    for (const auto &steps : done) {
        if (steps.size() == 2) {  // the filter's own request: the bus driver's view only
            ++probes;
            EXPECT_EQ(steps[0]->point, UrbPoint::Bus);
            EXPECT_EQ(steps[0]->function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
            EXPECT_EQ(steps[1]->function, URB_FUNCTION_CONTROL_TRANSFER);
            EXPECT_EQ(steps[1]->setup, (std::array<uint8_t, 8>{0x80, 0x06, 0xC8, 0x03, 0x09, 0x04, 0xFF, 0x00}));
            continue;
        }
        ASSERT_EQ(steps.size(), 4u);
        const std::pair<UrbPoint, UrbStage> order[] = {{UrbPoint::Class, UrbStage::Submit},
                                                       {UrbPoint::Bus, UrbStage::Submit},
                                                       {UrbPoint::Bus, UrbStage::Complete},
                                                       {UrbPoint::Class, UrbStage::Complete}};
        for (size_t k = 0; k < 4; ++k)
            EXPECT_EQ(std::make_pair(steps[k]->point, steps[k]->stage), order[k]) << k;
        // Nothing changes a request between the class driver and the bus's arrival; the bus converts it
        // in place, and the class driver gets back what the bus completed.
        EXPECT_EQ(steps[1]->function, steps[0]->function);
        EXPECT_EQ(steps[3]->function, steps[2]->function);
        if (steps[0]->function != steps[2]->function) {
            ++converted;
            EXPECT_EQ(steps[2]->function, URB_FUNCTION_CONTROL_TRANSFER);
        }
        if (steps[0]->function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !steps[2]->data.empty()) {
            ++reports;
            EXPECT_EQ(steps[2]->data, (std::vector<uint8_t>{0x00, 0x03, 0xFE, 0x00, 0x01}));  // as the mouse sent it
            EXPECT_EQ(steps[3]->data, (std::vector<uint8_t>{0x00, 0x03, 0xFE, 0x30, 0x01}));  // as the filter left it
        }
    }
    EXPECT_EQ(probes, 1u);
    EXPECT_EQ(reports, 1u);
    EXPECT_EQ(converted, 5u);  // three descriptors of the device, SET_IDLE, the report descriptor
}

INSTANTIATE_TEST_SUITE_P(BufferForms, UrbTapTest,
                         ::testing::Values(sim::BufferForm::TransferBuffer, sim::BufferForm::MdlNonPagedPool,
                                           sim::BufferForm::MdlLockedUnmapped));

}  // namespace
}  // namespace stack

// The road of the report descriptor and of each input report through the filter: interception on
// the way down, inspection on the way up, the layout, the rewrite, and everything that must be left
// alone.
#include "mouse_fixture.h"

#include <functional>

namespace stack {
namespace {

const Lines kStartLines = Concat({kStartRequestLines, {kUrbSuccess, kFound, kReady}});

Bytes Report(const std::array<uint8_t, 5> &a) { return {a.begin(), a.end()}; }

using RoadTest = MouseTest;

std::vector<USHORT> Functions(const std::vector<sim::ControlRecord> &records, bool sent)
{
    std::vector<USHORT> out;
    for (const auto &r : records)
        out.push_back(sent ? r.sentFunction : r.function);
    return out;
}

// The system's class driver sends descriptor and class requests that the bus turns into control
// transfers in place: the filter sees each one come back as function 0x8 with its setup packet, and
// takes the layout from the report descriptor request it never saw as a control transfer going down.
TEST_F(RoadTest, StartParsesTheConvertedDescriptorRequestOnTheWayUpWithTheExactTrace)
{
    const size_t mark = TraceMark();
    sim::Mouse &mouse = pnp_->PlugAndStart();
    ASSERT_EQ(mouse.State(), sim::MouseState::Started);
    const Lines expected = Concat({kAddDeviceLines, kStartLines,
                                   ControlLines({0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}),   // device descriptor
                                   ControlLines({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00}),    // configuration, header
                                   ControlLines({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x22, 0x00}),   // configuration, all 34 bytes
                                   {kInternalLine, "\n\r urb->UrbHeader.Function = 0x0"},  // SELECT_CONFIGURATION
                                   ControlLines({0x21, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),    // SET_IDLE
                                   ControlLines({0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x7F, 0x00}),  // report descriptor: 63 + 64
                                   LayoutLines(kDefaultLayout), {kInternalLine, kInternalLine}});
    EXPECT_EQ(TraceSince(mark), expected);

    const REPORT_LAYOUT &l = Extension(mouse)->Layout;
    EXPECT_EQ(LayoutLines(l), LayoutLines(kDefaultLayout));

    // The class driver's URBs, as built and as they came back up through the filter.
    const auto controls = mouse.Class().Controls();
    EXPECT_EQ(Functions(controls, true),
              (std::vector<USHORT>{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                   URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_SELECT_CONFIGURATION,
                                   URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE}));
    EXPECT_EQ(Functions(controls, false),
              (std::vector<USHORT>{URB_FUNCTION_CONTROL_TRANSFER, URB_FUNCTION_CONTROL_TRANSFER,
                                   URB_FUNCTION_CONTROL_TRANSFER, URB_FUNCTION_SELECT_CONFIGURATION,
                                   URB_FUNCTION_CONTROL_TRANSFER, URB_FUNCTION_CONTROL_TRANSFER}));
    ASSERT_EQ(controls.size(), 6u);
    const sim::ControlRecord &report = controls[5];
    EXPECT_EQ(report.setup, (std::array<uint8_t, 8>{0x81, 0x06, 0x00, 0x22, 0x00, 0x00, 0x7F, 0x00}));
    EXPECT_EQ(report.transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(report.requestedLength, 127u);
    EXPECT_EQ(report.transferLength, 63u);
    EXPECT_EQ(controls[4].transferFlags, ULONG(USBD_SHORT_TRANSFER_OK));  // SET_IDLE: host to device
    // The class driver got the descriptor untouched, and reads the largest input report on the
    // interrupt pipe of the configuration it selected.
    EXPECT_EQ(mouse.Class().Descriptor().bytes, sim::DefaultMouseDescriptor());
    EXPECT_TRUE(mouse.Bus().Configured());
    EXPECT_EQ(mouse.Class().ReadLength(), 5u);
    const auto reads = mouse.Bus().UrbLog(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].transferBufferLength, 5u);
}

struct FormCase {
    sim::BufferForm form;
    const char *name;
};

class ReportFormTest : public RoadTest, public ::testing::WithParamInterface<FormCase> {};

// The per-report path, resubmitted at DISPATCH_LEVEL, neither allocates nor waits.
TEST_P(ReportFormTest, PanRewritesTheWheelWhenOnAndNothingWhenOff)
{
    sim::MouseConfig config;
    config.bufferForm = GetParam().form;
    config.resubmitIrql = DISPATCH_LEVEL;
    sim::Mouse &mouse = Ready(config);
    const uint64_t allocations = hk::PoolAllocations(), waits = hk::WaitCalls();

    const Bytes right = Report(sim::kReportPanRight), noPan = Report(sim::kReportNoPan);
    const Bytes rewritten = {0x00, 0x03, 0xFE, 0x30, 0x01};
    EXPECT_EQ(Deliver(mouse, right),
              std::pair(Concat({BulkLines(0, 5), Dump(kBefore, right), Dump(kAfter, rewritten), {kInternalLine}}), rewritten));
    EXPECT_EQ(Deliver(mouse, Report(sim::kReportPanLeft)).second, (Bytes{0x00, 0x00, 0x00, 0xC0, 0xFF}));
    // A zero pan is left alone and only the first dump is written.
    EXPECT_EQ(Deliver(mouse, noPan), std::pair(Concat({BulkLines(0, 5), Dump(kBefore, noPan), {kInternalLine}}), noPan));
    EXPECT_EQ(hk::PoolAllocations(), allocations);
    EXPECT_EQ(hk::WaitCalls(), waits);

    ASSERT_EQ(app_.Open(1), STATUS_SUCCESS);
    ASSERT_EQ(app_.TurnOff(), STATUS_SUCCESS);
    EXPECT_EQ(Deliver(mouse, right),
              std::pair(Concat({BulkLines(0, 5), Dump(kBefore, right), Dump(kAfter, right), {kInternalLine}}), right));
}

INSTANTIATE_TEST_SUITE_P(BufferForms, ReportFormTest,
                         ::testing::Values(FormCase{sim::BufferForm::TransferBuffer, "TransferBuffer"},
                                           FormCase{sim::BufferForm::MdlNonPagedPool, "MdlNonPagedPool"},
                                           FormCase{sim::BufferForm::MdlMapped, "MdlMapped"},
                                           FormCase{sim::BufferForm::MdlLockedUnmapped, "MdlLockedUnmapped"}),
                         [](const ::testing::TestParamInfo<FormCase> &info) { return std::string(info.param.name); });

// Descriptor, status, feature, class and vendor requests all reach the device as control transfers
// built in the URB itself; the filter sees each come back as one and leaves it as the bus left it.
TEST_F(RoadTest, EveryRequestTheBusConvertsComesBackAsAControlTransferWithItsSetupInPlace)
{
    sim::Mouse &mouse = pnp_->PlugAndStart();
    struct Case {
        USHORT function;
        std::function<void(URB &)> fill;
        ULONG length;
        std::array<uint8_t, 8> setup;
        ULONG flags;
    };
    const Case cases[] = {
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
         [](URB &u) { u.UrbControlDescriptorRequest.DescriptorType = 0x21; },
         9, {0x81, 0x06, 0x00, 0x21, 0x00, 0x00, 0x09, 0x00}, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK},
        {URB_FUNCTION_GET_STATUS_FROM_DEVICE, [](URB &) {}, 2, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00},
         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK},
        {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, [](URB &u) { u.UrbControlFeatureRequest.Index = 0x81; }, 0,
         {0x02, 0x03, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00}, USBD_SHORT_TRANSFER_OK},
        {URB_FUNCTION_VENDOR_DEVICE,
         [](URB &u) {
             auto &v = u.UrbControlVendorClassRequest;
             v.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
             v.Request = 0x01;
             v.Value = 0x0203;
             v.Index = 0x0405;
         },
         4, {0xC0, 0x01, 0x03, 0x02, 0x05, 0x04, 0x04, 0x00}, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK},
    };
    for (const Case &c : cases) {
        URB urb{};
        uint8_t buffer[16] = {};
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
        urb.UrbHeader.Function = c.function;
        urb.UrbControlTransfer.TransferBufferLength = c.length;
        urb.UrbControlTransfer.TransferBuffer = c.length ? buffer : nullptr;
        c.fill(urb);
        const size_t mark = TraceMark();
        sim::SendRequest(mouse.FilterDevice(), {.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB, .argument1 = &urb});
        EXPECT_EQ(TraceSince(mark), ControlLines(c.setup)) << c.function;
        EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_CONTROL_TRANSFER) << c.function;
        EXPECT_EQ(std::to_array(urb.UrbControlTransfer.SetupPacket), c.setup) << c.function;
        EXPECT_EQ(urb.UrbControlTransfer.TransferFlags, c.flags) << c.function;
    }
    EXPECT_EQ(Extension(mouse)->Layout.TotalSize, 0x28u);  // none of them is the report descriptor
}

// A descriptor may declare input reports longer than one interrupt transfer carries (4 MB, 4194304
// bytes, at every speed): the class driver reads the largest input report, never more than that,
// so its buffers do not follow what a descriptor merely declares; a report that fits arrives whole,
// and the slots' pool goes with the mouse.
TEST_F(RoadTest, ClassDriverReadsTheLargestInputReportButNeverMoreThanOneInterruptTransfer)
{
    const struct {
        uint32_t count;  // Report Count of one ID-less report of bytes
        ULONG read;
    } cases[] = {{5, 5}, {4194304, 4194304}, {4194305, 4194304}, {0x1FFFFFFF, 4194304}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        sim::MouseConfig config;
        config.reportDescriptor = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x75, 0x08, 0x97,
                                   uint8_t(c.count), uint8_t(c.count >> 8), uint8_t(c.count >> 16), uint8_t(c.count >> 24),
                                   0x81, 0x02, 0xC0};
        sim::Mouse &mouse = pnp_->PlugAndStart(config);
        ASSERT_EQ(mouse.State(), sim::MouseState::Started);
        EXPECT_EQ(mouse.Class().ReadLength(), c.read);
        const auto reads = mouse.Bus().UrbLog(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        ASSERT_EQ(reads.size(), 2u);
        EXPECT_EQ(reads[0].transferBufferLength, c.read);
        EXPECT_EQ(reads[1].transferBufferLength, c.read);
        const std::vector<uint8_t> report = {0x01, 0x02, 0x03, 0x04, 0x05};
        EXPECT_EQ(Deliver(mouse, report).second, report);
        EXPECT_EQ(pnp_->Remove(mouse), STATUS_SUCCESS);
        EXPECT_EQ(hk::LivePoolCount(0x48696D53), 0u);  // "SmiH": the class driver's slots
    }
}

// A device with descriptors of its own (numbered reports, its HID interface at number 1 with the
// interrupt pipe at 0x82, strings): the class driver follows its configuration, and the bus answers
// the strings it has and refuses, as a port driver does, requests that do not fit the device.
TEST_F(RoadTest, ClassDriverAndBusFollowTheDevicesOwnDescriptors)
{
    sim::MouseConfig config;
    config.reportDescriptor = sim::DefaultMouseDescriptor();
    config.reportDescriptor.insert(config.reportDescriptor.begin() + 6, {0x85, 0x02});  // Report ID 2
    const auto length = static_cast<uint8_t>(config.reportDescriptor.size());
    config.configurationDescriptor = {9, 2, 34, 0, 1, 1, 0, 0x80, 50,
                                      9, 4, 1, 0, 1, 3, 1, 2, 0,
                                      9, 0x21, 0x11, 0x01, 0, 1, 0x22, length, 0,
                                      7, 5, 0x82, 3, 8, 0, 4};
    config.stringDescriptors[2] = {8, 3, 'P', 0, 'a', 0, 'd', 0};
    sim::Mouse &mouse = Ready(config);
    const auto controls = mouse.Class().Controls();
    ASSERT_EQ(controls.size(), 6u);
    EXPECT_EQ(controls[4].setup, (std::array<uint8_t, 8>{0x21, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(controls[5].setup, (std::array<uint8_t, 8>{0x81, 0x06, 0x00, 0x22, 0x01, 0x00, uint8_t(length + 64), 0x00}));
    EXPECT_EQ(mouse.Class().ReadLength(), 6u);  // the report ID byte and five bytes of fields
    const auto reads = mouse.Bus().UrbLog(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].transferBufferLength, 6u);

    auto getString = [&](UCHAR index, std::vector<uint8_t> *bytes) {
        URB urb{};
        uint8_t buffer[255] = {};
        auto &d = urb.UrbControlDescriptorRequest;
        d.Hdr.Length = sizeof d;
        d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        d.TransferBufferLength = sizeof buffer;
        d.TransferBuffer = buffer;
        d.Index = index;
        d.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
        d.LanguageId = 0x0409;
        const NTSTATUS status = sim::SendRequest(mouse.FilterDevice(), {.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB,
                                                                        .argument1 = &urb}).status;
        bytes->assign(buffer, buffer + std::min<ULONG>(sizeof buffer, urb.UrbControlTransfer.TransferBufferLength));
        return status;
    };
    std::vector<uint8_t> bytes;
    EXPECT_EQ(getString(2, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, config.stringDescriptors[2]);
    EXPECT_EQ(getString(3, &bytes), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeViolations(sim::kRuleUnexpectedRequest), 1u);

    // A read on no pipe of the selected configuration, and a configuration the device never returned.
    URB read{};
    uint8_t buffer[6];
    read.UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    read.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    read.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    read.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    read.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof buffer;
    EXPECT_EQ(sim::SendRequest(mouse.FilterDevice(), {.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB, .argument1 = &read}).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read.UrbHeader.Status, sim::kUsbdInvalidPipeHandle);
    std::vector<uint8_t> other = config.configurationDescriptor;
    other[5] = 2;  // bConfigurationValue
    alignas(8) uint8_t select[sizeof(struct _URB_SELECT_CONFIGURATION) + 64] = {};
    auto &s = reinterpret_cast<URB *>(select)->UrbSelectConfiguration;
    s.Hdr.Length = sizeof select;
    s.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    s.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(other.data());
    EXPECT_EQ(sim::SendRequest(mouse.FilterDevice(), {.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB, .argument1 = select}).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeViolations(sim::kRuleUnexpectedRequest), 2u);
    EXPECT_TRUE(mouse.Bus().Configured());
}

// A configuration the class driver cannot use (as a capture may hold one) fails the start before any
// configuration is selected; nothing is parsed, nothing is left behind.
TEST_F(RoadTest, AConfigurationTheClassDriverCannotUseFailsTheStart)
{
    const std::vector<uint8_t> good = sim::BuildConfigurationDescriptor(sim::DefaultMouseDescriptor());
    auto changed = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> bytes = good;
        bytes[at] = value;
        return bytes;
    };
    for (const auto &configuration : {changed(2, 40),   // wTotalLength past the bytes the device returns
                                      changed(13, 2),   // the interface declares two endpoints, one follows
                                      changed(29, 0x01),  // the only endpoint is OUT
                                      changed(24, 0x21)}) {  // the HID descriptor names no report descriptor
        sim::MouseConfig config;
        config.configurationDescriptor = configuration;
        NTSTATUS status = STATUS_SUCCESS;
        sim::Mouse &mouse = pnp_->PlugAndStart(config, &status);
        EXPECT_EQ(status, (NTSTATUS)0xC0000182);  // STATUS_DEVICE_CONFIGURATION_ERROR
        EXPECT_EQ(mouse.State(), sim::MouseState::StartFailed);
        EXPECT_EQ(mouse.Class().Controls().size(), 3u);  // the descriptors, no SELECT_CONFIGURATION
        EXPECT_FALSE(mouse.Bus().Configured());
        EXPECT_EQ(Extension(mouse)->Layout.TotalSize, 0u);
        pnp_->Remove(mouse);
    }
}

}  // namespace
}  // namespace stack

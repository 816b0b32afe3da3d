#include "session.h"

#include "../../platform/host/hostkernel.h"
#include "../../sim/sim.h"
#include "../../usb/hct/hct.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace hct_sim {

namespace {

bool gFreshKernel = true;  // SetFreshKernelPerSession

// The filter's own string request at start; the bus answers it with the probe reply.
constexpr uint8_t kProbeStringIndex = 200;

std::string StatusText(const char *what, NTSTATUS status) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%s: status 0x%08x", what, static_cast<unsigned>(status));
    return buffer;
}

// "\DosDevices\SLN_MouseExtra1" as a Win32 program opens it: "\\.\SLN_MouseExtra1".
std::u16string Win32Path(const UNICODE_STRING &link) {
    std::u16string name;
    if (link.Buffer) name.assign(link.Buffer, link.Length / sizeof(WCHAR));
    const std::u16string prefix = u"\\DosDevices\\";
    if (name.rfind(prefix, 0) == 0) name = name.substr(prefix.size());
    return u"\\\\.\\" + name;
}

}  // namespace

void SetFreshKernelPerSession(bool fresh) { gFreshKernel = fresh; }

Bytes DefaultDescriptor() { return sim::DefaultMouseDescriptor(); }

uint32_t DeclaredReadLength(const Bytes &descriptor) {
    const ULONG largest = sim::LargestInputReport(descriptor);
    return largest != 0 ? largest : sim::MouseConfig{}.readBufferLength;
}

std::vector<Bytes> DefaultReports() {
    auto bytes = [](const auto &array) { return Bytes(array.begin(), array.end()); };
    return {bytes(sim::kReportPanRight), bytes(sim::kReportPanLeft), bytes(sim::kReportNoPan),
            bytes(sim::kReportPanRightFast), bytes(sim::kReportIdle)};
}

SessionResult RunSession(const SessionOptions &options) {
    SessionResult result;
    RunFacts &facts = result.facts;
    facts.mouse = options.mouse;
    facts.capture = options.capture;
    facts.probeReply = options.probeReply;
    facts.probeOrigin = options.probeOrigin;
    facts.probeAnswer = options.probeAnswer;
    facts.featureOn = options.featureOn;
    const Bytes descriptor = options.descriptor.empty() ? DefaultDescriptor() : options.descriptor;
    facts.descriptorBytes = descriptor.size();
    facts.shapes = InputReportShapes(descriptor);

    if (gFreshKernel) hk::Reset();
    else hk::ClearTrace();
    // A broken rule is reported with the session's output instead of ending the process, so that a
    // user sees the whole session and what went wrong in it.
    hk::SetViolationHandler([&facts](const hk::Violation &v) { facts.violations.push_back(v.rule + ": " + v.detail); });
    hk::SetWatchdog(std::chrono::milliseconds(2000));
    hk::SetTraceEnabled(options.keepTrace);
    // The trace so far goes to the caller's sink and is dropped here, so that it does not grow.
    auto flushTrace = [&options] {
        if (!options.onTrace) return;
        for (const std::string &entry : hk::TraceEntries()) options.onTrace(entry);
        hk::ClearTrace();
    };

    NTSTATUS entryStatus = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = hk::LoadDriver(u"\\Driver\\hct", DriverEntry, &entryStatus);
    if (!driver) {
        facts.violations.push_back(StatusText("DriverEntry failed", entryStatus));
        result.trace = hk::TraceText();
        return result;
    }
    {
        sim::PnpManager pnp(driver);
        sim::MouseConfig config;
        config.reportDescriptor = descriptor;
        config.descriptorRequestLength = std::max<ULONG>(config.descriptorRequestLength, ULONG(descriptor.size()));
        config.stringAnswer = options.probeAnswer.empty() ? sim::UrbAnswer::Text(options.probeReply)
                                                          : sim::UrbAnswer::Bytes(options.probeAnswer);
        config.keepRecords = options.keepRecords;
        config.minimumReadLength = options.minimumReadLength;
        // After a failed read (a report that did not fit it) the system's class driver resets the
        // pipe and reads on; a replay goes on the same way instead of losing one read for good.
        config.resubmitAfterFailure = true;
        config.deviceDescriptor = options.deviceDescriptor;
        config.configurationDescriptor = options.configurationDescriptor;
        config.urbTap = options.tap;
        for (const auto &[index, bytes] : options.stringDescriptors)
            if (index != kProbeStringIndex) config.stringDescriptors[index] = bytes;
        sim::Mouse &mouse = pnp.Plug(config);
        bool unplugged = false;
        // Each read as it comes back (the one the latest report completed), and the URB functions
        // the class driver sent, a run of reads kept as one: nothing here grows per report.
        sim::ReadRecord read;
        bool readBack = false;
        mouse.Class().SetReadObserver([&](const sim::ReadRecord &r) {
            read.bytes.assign(r.bytes.begin(), r.bytes.end());
            read.status = r.status;
            read.usbdStatus = r.usbdStatus;
            read.time = r.time;
            readBack = true;
        });
        mouse.Bus().SetRequestObserver([&result](const sim::BusRequest &request) {
            const bool probe = request.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
                               request.descriptorType == USB_STRING_DESCRIPTOR_TYPE &&
                               request.descriptorIndex == kProbeStringIndex;
            auto &functions = result.classUrbFunctions;
            const bool repeatedRead = request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !functions.empty() &&
                                      functions.back() == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            if (request.hasUrb && !probe && !repeatedRead) functions.push_back(request.urbFunction);
        });
        if (mouse.State() == sim::MouseState::AddFailed) {
            facts.violations.push_back(StatusText("AddDevice failed", mouse.AddStatus()));
        } else {
            const NTSTATUS started = pnp.Start(mouse);
            sim::PnpManager::Settle();
            if (started != STATUS_SUCCESS) facts.violations.push_back(StatusText("start failed", started));
            const auto *extension = static_cast<const DEVICE_EXTENSION *>(mouse.FilterExtension());

            sim::Application app;
            if (!options.script.empty()) {
                const std::u16string path = extension && extension->ExtraExtension
                                                ? Win32Path(extension->ExtraExtension->SymbolicLinkName)
                                                : std::u16string();
                facts.controlLink.assign(path.begin(), path.end());
                if (extension) {  // read now: an unplug step deletes the record
                    facts.layout = extension->Layout;
                    facts.mouseFound = extension->MouseFound != 0;
                    facts.featureReady = extension->FeatureReady != 0;
                }
                unplugged = PlayScript(options.script, options.scriptSource, pnp, mouse, path, facts, result.scriptFaults);
                if (unplugged) extension = nullptr;
            } else if (options.switchFeature && extension && extension->ExtraExtension) {
                const UNICODE_STRING &link = extension->ExtraExtension->SymbolicLinkName;
                const std::u16string path = Win32Path(link);
                facts.controlLink.assign(path.begin(), path.end());
                NTSTATUS status = app.OpenPath(path);
                if (status == STATUS_SUCCESS) status = options.featureOn ? app.TurnOn() : app.TurnOff();
                facts.controlStatus = uint32_t(status);
            }

            if (extension) {  // known from the start on: the rows below are judged by it
                facts.layout = extension->Layout;
                facts.mouseFound = extension->MouseFound != 0;
                facts.featureReady = extension->FeatureReady != 0;
            }
            const ULONG readLength = mouse.Class().ReadLength();
            if (options.script.empty() && options.onReady) options.onReady(facts);
            flushTrace();
            Bytes report;
            ReportRow row;
            for (size_t i = 0; options.script.empty(); ++i) {
                int64_t delay = 0;
                uint32_t failure = 0;
                if (options.nextReport) {
                    if (!options.nextReport(report, delay, failure)) break;
                } else {
                    if (i >= options.reports.size()) break;
                    report = options.reports[i];
                    delay = i < options.reportDelays.size() ? options.reportDelays[i] : 0;
                }
                readBack = false;
                if (failure != 0) {
                    report.clear();
                    sim::ReportOptions failed = sim::ReportOptions::Failed(USBD_STATUS(failure));
                    failed.delay = delay;
                    mouse.Feed(report, failed);
                } else {
                    mouse.Feed(report, sim::ReportOptions::After(delay));
                }
                sim::PnpManager::Settle();
                row.sent.assign(report.begin(), report.end());
                row.sentKnown = failure == 0;
                row.received.clear();
                row.delivered = readBack && read.status == STATUS_SUCCESS;
                row.failed = readBack && read.status != STATUS_SUCCESS;
                row.status = uint32_t(read.status);
                row.usbdStatus = uint32_t(read.usbdStatus);
                row.readLength = readLength;
                row.time = readBack ? read.time : 0;
                if (row.delivered) row.received.assign(read.bytes.begin(), read.bytes.end());
                facts.counts.Add(Classify(row, facts.layout));
                if (options.onRow) options.onRow(row, facts);
                else facts.rows.push_back(row);
                flushTrace();
            }

            if (extension) {
                facts.layout = extension->Layout;
                facts.mouseFound = extension->MouseFound != 0;
                facts.featureReady = extension->FeatureReady != 0;
            }
            if (app.IsOpen()) app.Close();
        }
        if (!unplugged) {
            const NTSTATUS removed = pnp.Remove(mouse);
            if (removed != STATUS_SUCCESS) facts.violations.push_back(StatusText("removal failed", removed));
            sim::PnpManager::Settle();
        }
    }
    hk::UnloadDriver(driver);
    hk::CheckClean();
    flushTrace();
    result.trace = hk::TraceText();
    // The handler above writes into this session's result, which the caller now owns.
    hk::SetViolationHandler([](const hk::Violation &v) {
        std::fprintf(stderr, "hct-sim: kernel rule broken after the session: %s: %s\n", v.rule.c_str(), v.detail.c_str());
    });
    return result;
}

}  // namespace hct_sim

#include "cli.h"

#include "capture.h"
#include "capture_writer.h"
#include "formats.h"
#include "paste.h"
#include "render.h"
#include "session.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>

namespace hct_sim {

namespace {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr const char *kTopHelp =
    "Usage: hct-sim <command> [options]\n"
    "\n"
    "Runs the mouse filter driver in user mode, under a simulated USB bus driver, HID class driver,\n"
    "Plug and Play manager and application, and shows what it does to a mouse's reports.\n"
    "\n"
    "Commands:\n"
    "  run       one whole mouse session: plug, start, switch the feature, feed reports, remove\n"
    "  layout    where X, Y, wheel and AC pan lie in a mouse's report, and whether the driver\n"
    "            will ever rewrite its reports\n"
    "  rewrite   send reports through the driver and print what the class driver received\n"
    "\n"
    "'hct-sim <command> --help' describes each command; 'hct-sim --version' prints the version.\n"
    "Exit codes: 0 success, 1 the driver broke a kernel rule (or a --script step did not turn out as\n"
    "it says), 2 bad input or usage, 3 the input was incomplete (a capture cut inside a record or\n"
    "to a small snap length): what it holds was replayed, standard error says what is missing.\n";

constexpr const char *kRunHelp =
    "Usage: hct-sim run [options]\n"
    "\n"
    "Plugs a simulated USB mouse under the filter driver and runs one session through the real driver\n"
    "code: the start (the driver asks the mouse for string 200 and looks for START), the class\n"
    "driver's fetch of the report descriptor (the driver learns the report layout from it), an\n"
    "application switching the extra-scroll feature on the control device, a few input reports, and\n"
    "the removal. With the feature on, the driver overwrites the wheel of every report whose AC pan\n"
    "(horizontal scroll) is not zero: 0x30 for a positive pan, 0xc0 for a negative one.\n"
    "Prints each report as the mouse sent it and as the class driver received it.\n"
    "\n"
    "The built-in mouse has 5 buttons, X, Y, a wheel and AC pan in a 5-byte report.\n"
    "\n"
    "Options:\n"
    "  --descriptor FILE   report descriptor to plug instead (in any form layout reads);\n"
    "                      without --reports the built-in reports are sent\n"
    "  --reports FILE      input reports, one per line as hex bytes, a C array, a list or a b''\n"
    "                      literal (the driver passes reports of more than 32 bytes on unexamined)\n"
    "  --recording FILE    a hid-recorder recording: its R: line is the descriptor, its E: lines\n"
    "                      the reports\n"
    "  --capture FILE      a USB capture (pcap or pcapng; USBPcap from Windows, usbmon from Linux):\n"
    "                      the mouse's descriptors and its interrupt-IN reports, replayed at their\n"
    "                      captured times; with --descriptor when the capture lacks the enumeration.\n"
    "                      A capture cut short (inside a record, or to a small snap length) is\n"
    "                      replayed as far as its whole records go, said on standard error, exit 3\n"
    "  --device BUS.ADDR   the capture's device to replay (default: the mouse it shows); with\n"
    "                      --recording, N: the recording's device N (its D: index; default: the first)\n"
    "  --binary            the descriptor file holds raw bytes (implied for .bin and .rdesc)\n"
    "  --probe-reply TEXT  the mouse's answer to the string request at index 200 (default START)\n"
    "  --feature on|off    switch the feature on or off (default on)\n"
    "  --script FILE       play a scenario instead of the switch and the reports: one step a line,\n"
    "                      on | off | ioctl CODE (open the control device, send, close) |\n"
    "                      report BYTES -> BYTES (what the class driver must receive) | unplug\n"
    "                      (surprise removal, then removal, reads outstanding); see\n"
    "                      tests/wine/scenario.txt\n"
    "  --write-capture FILE\n"
    "                      write every URB of the session to FILE, a pcap capture of link type\n"
    "                      USBPcap for Wireshark: bus 1 what the bus driver received and completed\n"
    "                      (below the filter), bus 2 what the class driver sent and got back (above it);\n"
    "                      written beside FILE and renamed into place when complete (an interrupted\n"
    "                      or failed run leaves FILE as it was); refused when FILE is an input\n"
    "  --changed-only      list only the reports the driver changed (the summary counts them all)\n"
    "  --trace             print the driver's debug trace afterwards, one line per \"\\n\\r\"\n"
    "  --trace=raw         print the table as usual, then the trace bytes untouched (not split\n"
    "                      into lines; not with --json)\n"
    "  --json              print the same facts as JSON\n"
    "  -h, --help          this text\n"
    "\n"
    "Reports are replayed one at a time and printed as they go; a long replay shows its progress on\n"
    "standard error when that is a terminal. A report longer than the class driver's read (the\n"
    "largest input report the descriptor declares) fails as the USB stack fails it: a data overrun,\n"
    "which the driver sees as a failed transfer.\n";

constexpr const char *kLayoutHelp =
    "Usage: hct-sim layout [FILE] [--diagram] [--json] [--binary]\n"
    "\n"
    "Plugs and starts a mouse with the report descriptor in FILE (without FILE: the built-in mouse),\n"
    "lets the class driver fetch the descriptor through the driver, and\n"
    "prints the layout the driver recorded, on one line:\n"
    "  total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20\n"
    "(each field: size@offset in bits, in hexadecimal). Then it tells whether the driver will ever\n"
    "rewrite this device's reports, judged from the report lengths the device really sends, and why not.\n"
    "For a descriptor too long for the class driver to request (its length + 64 past 65535) the line\n"
    "is the walk of the descriptor's own bytes, and says so: what the driver records is not known.\n"
    "FILE is the descriptor as it was copied: hex bytes, a C array (xxd -i), a Python or JavaScript\n"
    "list, a b'' literal, a hex dump of Wireshark, od -tx1, hexdump -C or xxd, usbhid-dump output or a\n"
    "hid-recorder recording (its R: line), in UTF-8 or UTF-16 with its byte-order mark; or raw bytes\n"
    "(.bin, .rdesc, --binary).\n"
    "\n"
    "Options:\n"
    "  --diagram   draw the report's bits and where X, Y, wheel and AC pan lie\n"
    "  --json      print the same facts as JSON (fields in docs/json.md)\n"
    "  --binary    FILE holds raw descriptor bytes\n"
    "  -h, --help  this text\n";

constexpr const char *kRewriteHelp =
    "Usage: hct-sim rewrite FILE [--feature on|off] [--binary] [--json] [BYTES ... | --reports REPORTS]\n"
    "\n"
    "Plugs a device with the report descriptor in FILE, switches the feature (default on) and sends\n"
    "reports through the driver; prints what the class driver received, one report per line as hex\n"
    "pairs (\"-\" when nothing was received).\n"
    "The bytes after FILE are one report, however they are split into words: 00 00 00 00 01,\n"
    "\"00 00 00 00 01\" and 0000000001 are the same 5-byte report. Several reports come one a line from\n"
    "--reports REPORTS or, without BYTES and --reports, from standard input; they are read as they\n"
    "are sent, so any number of them can be given.\n"
    "A report shorter or longer than every input report the descriptor declares gets a note on its\n"
    "line after \"  # \" (a comment, so that the output can be read back as reports). The class\n"
    "driver's reads are made long enough for the longest report, so that each reaches the driver\n"
    "whole; when one is longer than any input report the descriptor declares, a warning says so.\n"
    "A descriptor too long for the class driver to request (its length + 64 past 65535) is refused:\n"
    "what the system's class driver does with it is not known.\n"
    "\n"
    "Options:\n"
    "  --feature on|off  switch the feature on or off (default on)\n"
    "  --reports FILE    the reports, one per line as hex bytes\n"
    "  --binary          FILE holds raw descriptor bytes\n"
    "  --json            print the same facts as JSON (fields in docs/json.md)\n"
    "  -h, --help        this text\n";

// Words after the command: options (with "--name value" or "--name=value") and positionals.
struct Parsed {
    std::map<std::string, std::string> options;
    std::vector<std::string> positionals;
    bool has(const std::string &name) const { return options.count(name) != 0; }
};

Parsed ParseWords(const std::vector<std::string> &words, const std::set<std::string> &flags,
                  const std::set<std::string> &valued) {
    Parsed parsed;
    bool onlyPositionals = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (onlyPositionals || word.size() < 2 || word[0] != '-') {
            parsed.positionals.push_back(word);
            continue;
        }
        if (word == "--") {
            onlyPositionals = true;
            continue;
        }
        std::string name = word == "-h" ? "--help" : word;
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (flags.count(name)) {
            if (value && !(name == "--trace" && valued.count("--trace=")))
                throw UsageError("option " + name + " takes no value");
            parsed.options[name] = value.value_or("");
        } else if (valued.count(name)) {
            if (!value) {
                if (i + 1 >= words.size()) throw UsageError("option " + name + " needs a value");
                value = words[++i];
            }
            parsed.options[name] = *value;
        } else {
            throw UsageError("unknown option " + word);
        }
    }
    return parsed;
}

bool FeatureOption(const Parsed &parsed) {
    if (!parsed.has("--feature")) return true;
    const std::string &v = parsed.options.at("--feature");
    if (v == "on") return true;
    if (v == "off") return false;
    throw UsageError("--feature takes on or off, not \"" + v + "\"");
}

// A descriptor file, or a recording given where a descriptor is expected; what the paste reader
// warns about the form goes to standard error.
struct LoadedDescriptor {
    Bytes descriptor;
    std::optional<Recording> recording;
};

LoadedDescriptor LoadDescriptorFile(const std::string &path, bool binary, std::ostream &err) {
    if (!binary && !IsBinaryDescriptorName(path)) {
        const std::string whole = ReadFileText(path);
        RefuseCapture(whole, path);
        const std::string text = PasteText(whole, path);
        if (LooksLikeRecording(text)) {
            Recording recording = ParseRecording(text, path);
            Bytes descriptor = recording.descriptor;
            return {std::move(descriptor), std::move(recording)};
        }
        Paste paste = ReadPaste(text, path);
        for (const Warning &warning : paste.warnings) err << "hct-sim: warning: " << path << ": " << warning.message << "\n";
        return {std::move(paste.bytes), std::nullopt};
    }
    return {LoadDescriptor(path, true), std::nullopt};
}

// The devices of a recording of several: each with its name, ids and report count, and which one
// is replayed (the default named as the default).
std::string RecordedDevicesText(const Recording &recording, bool chosen) {
    if (recording.devices.size() < 2) return "";
    std::string out = "; device " + std::to_string(recording.device) + " of the recording's " +
                      std::to_string(recording.devices.size()) + " replayed" +
                      (chosen ? "" : " (the default: the first; --device N replays another)") + ":";
    for (const RecordedDevice &d : recording.devices)
        out += " device " + std::to_string(d.index) + (d.name.empty() ? "" : " \"" + d.name + "\"") +
               (d.ids.empty() ? "" : " (ids " + d.ids + ")") + ", " + std::to_string(d.reports) + " report(s);";
    out.pop_back();
    return out;
}

// What became of the requests for a captured mouse's report descriptor, when none gave it.
std::string ReportDescriptorReadText(const CapturedDevice &device) {
    const size_t reads = device.reportDescriptorReads;
    const size_t failed = device.reportDescriptorFailures;
    if (reads == 0) return "no read of its report descriptor";
    std::string out = reads == 1 ? "its report descriptor request" : "its " + std::to_string(reads) + " report descriptor requests";
    if (failed == 0) return out + (reads == 1 ? " came" : " all came") + " back without the descriptor";
    out += failed == reads ? (reads == 1 ? " failed" : " all failed") : " came back without the descriptor, " + std::to_string(failed) + " failing";
    if (device.reportDescriptorFailure != 0) {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08x", unsigned(device.reportDescriptorFailure));
        out += std::string(failed == 1 ? " (USBD status " : " (the last with USBD status ") + status + ")";
    }
    return out;
}

// Each warning on standard error, "hct-sim: warning: SOURCE: message"; the same warnings go into the JSON.
void PrintWarnings(const std::vector<Warning> &warnings, const std::string &source, std::ostream &err) {
    for (const Warning &warning : warnings) err << "hct-sim: warning: " << source << ": " << warning.message << "\n";
}

// A line on standard error for each thing a user's descriptor leaves unfinished; the warnings given.
std::vector<Warning> WarnAboutDescriptor(const Bytes &descriptor, const std::string &source, std::ostream &err) {
    std::vector<Warning> warnings = AllDescriptorWarnings(descriptor);
    PrintWarnings(warnings, source, err);
    return warnings;
}

// Plays a captured mouse: its descriptors, its reports at their captured times. `descriptorPath` is a
// --descriptor file already loaded into options.descriptor, which then stands for the capture's.
Capture ApplyCapture(const Parsed &p, const std::string &descriptorPath, SessionOptions &options, std::ostream &err) {
    const std::string &path = p.options.at("--capture");
    CaptureChoice choice;
    choice.descriptor = descriptorPath.empty() ? Bytes{} : options.descriptor;
    choice.keepReports = false;  // read again one at a time as they are replayed (CaptureReports)
    if (p.has("--device")) {
        choice.device = ParseDeviceAddress(p.options.at("--device"));
        if (!choice.device) throw UsageError("--device takes BUS.ADDR in decimal (1.5), not \"" + p.options.at("--device") + "\"");
    }
    Capture capture = ReadCapture(path, choice);
    // Said before any refusal below: what the capture lacks is often why.
    for (const Warning &w : capture.warnings) err << "hct-sim: warning: " << path << ": " << w.message << "\n";
    const CapturedDevice &device = capture.device;
    const std::string where = "device " + AddressText(device.address);
    if (descriptorPath.empty()) {
        const bool hasDevice = !device.deviceDescriptor.empty();
        const bool configuration = !device.configurationDescriptor.empty();
        if (device.reportDescriptor.empty() && (hasDevice || configuration))
            throw InputError(path, 0,
                             "the capture holds the " +
                                 std::string(hasDevice && configuration ? "device and configuration descriptors"
                                             : hasDevice              ? "device descriptor"
                                                                      : "configuration descriptor") +
                                 " of " + where + " but " + ReportDescriptorReadText(device) + ": give one with --descriptor FILE");
        if (device.reportDescriptor.empty() && device.reportDescriptorReads != 0)
            throw InputError(path, 0,
                             "the capture holds no report descriptor of " + where + ": " + ReportDescriptorReadText(device) +
                                 ": give one with --descriptor FILE");
        if (device.reportDescriptor.empty())
            throw InputError(path, 0,
                             "the capture holds no report descriptor of " + where +
                                 " (the capture seems to start after the mouse was plugged in): give one with --descriptor FILE");
        options.descriptor = device.reportDescriptor;
    }
    options.deviceDescriptor = device.deviceDescriptor;
    options.configurationDescriptor = device.configurationDescriptor;
    options.stringDescriptors = device.stringDescriptors;
    options.reports.clear();
    options.reportDelays.clear();
    // The mouse's own answer to the filter's string request, when the capture holds one: its bytes
    // as they came back, for the driver matches the raw bytes.
    if (device.probeAnswer) {
        if (p.has("--probe-reply")) {
            options.probeOrigin = "given with --probe-reply, instead of the capture's own answer";
        } else if (device.probeAnswer->empty()) {
            options.probeReply.clear();
            options.probeOrigin = "the capture's own answer, which held no bytes";
        } else {
            options.probeAnswer = *device.probeAnswer;
        }
    } else {
        options.probeOrigin = p.has("--probe-reply") ? "given with --probe-reply (the capture holds no answer to it)"
                                                     : "the built-in default (the capture holds no answer to it)";
    }
    options.mouse = where + " of " + path + " (" + CaptureKindName(capture.kind) + ", " + (capture.pcapng ? "pcapng" : "pcap") + ")";

    std::vector<std::string> taken;
    if (!device.deviceDescriptor.empty()) taken.push_back("device");
    if (!device.configurationDescriptor.empty()) taken.push_back("configuration");
    if (descriptorPath.empty()) taken.push_back("report");
    std::string line;
    for (size_t i = 0; i < taken.size(); ++i) line += (i == 0 ? "" : i + 1 == taken.size() ? " and " : ", ") + taken[i];
    if (!taken.empty()) line += taken.size() == 1 ? " descriptor" : " descriptors";
    if (!device.stringDescriptors.empty())
        line += (line.empty() ? "" : ", ") + std::to_string(device.stringDescriptors.size()) + " string descriptor(s)";
    line += (line.empty() ? "" : ", ") + std::to_string(device.reportCount) + " report(s)" +
            (device.failedTransfers ? " and " + std::to_string(device.failedTransfers) + " failed transfer(s)" : "") +
            " from the capture";
    if (!descriptorPath.empty())
        line += "; report descriptor from " + descriptorPath +
                (device.reportDescriptor.empty() ? " (the capture holds none)" : " (instead of the capture's)");
    if (capture.skippedReports != 0) {
        line += "; " + std::to_string(capture.skippedReports) + " report(s) of other devices and endpoints skipped (";
        for (size_t i = 0; i < capture.skipped.size(); ++i) line += (i == 0 ? "" : "; ") + SkippedEndpointText(capture.skipped[i]);
        if (capture.moreSkipped != 0) line += "; and " + std::to_string(capture.moreSkipped) + " more endpoints";
        if (capture.untrackedReports != 0)
            line += std::string(capture.skipped.empty() ? "" : "; ") + "the rest from devices past the first " +
                    std::to_string(capture.devices.size()) + " the capture names, not told apart";
        line += ")";
    }
    if (!capture.hubsLeftOut.empty() && !p.has("--device"))
        line += "; left out of the candidates for the mouse: " + std::string(capture.hubsLeftOut.size() == 1 ? "hub " : "hubs ") +
                [&] {
                    std::string list;
                    for (size_t i = 0; i < capture.hubsLeftOut.size() && i < kListedDevices; ++i)
                        list += (i == 0 ? "" : ", ") + AddressText(capture.hubsLeftOut[i]);
                    if (capture.hubsLeftOut.size() > kListedDevices)
                        list += " and " + std::to_string(capture.hubsLeftOut.size() - kListedDevices) + " more";
                    return list;
                }() + " (device class 9)";
    if (capture.otherView)
        line += "; the capture shows the mouse twice, below and above a filter (as run --write-capture writes it): "
                "the view below, device " + AddressText(device.address) + ", is replayed, not device " +
                AddressText(*capture.otherView);
    options.capture = line;
    return capture;
}

// Whether the progress line is on the terminal now: what a signal handler clears before the process
// ends (Ctrl-C).
volatile std::sig_atomic_t g_progressShown = 0;
constexpr char kClearLine[] = "\r\033[K";

extern "C" void OnInterrupt(int signal) {
    if (g_progressShown) (void)!::write(STDERR_FILENO, kClearLine, sizeof kClearLine - 1);
    RemoveUnfinishedOutputs();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// For a run's length: Ctrl-C, a hang-up, a termination or a closed pipe clears the progress line
// and removes a capture half written; the handlers before are put back after.
class InterruptCleanup {
public:
    InterruptCleanup() {
        for (size_t i = 0; i < std::size(kSignals); ++i) old_[i] = std::signal(kSignals[i], OnInterrupt);
    }
    ~InterruptCleanup() {
        for (size_t i = 0; i < std::size(kSignals); ++i) std::signal(kSignals[i], old_[i]);
    }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    void (*old_[std::size(kSignals)])(int) = {};
};

// A progress line on standard error while a long replay runs, when standard error is a terminal:
// reports done, share of the file read, rate. Nothing otherwise. When the rows go to a terminal as
// well, the line is cleared before a row is written and drawn again after the rows are out.
class Progress {
public:
    Progress(std::ostream &out, std::ostream &err, size_t total, std::function<double()> share)
        : out_(out), err_(err), total_(total), share_(std::move(share)), on_(&err == &std::cerr && isatty(STDERR_FILENO) != 0),
          rowsOnTerminal_(on_ && &out == &std::cout && isatty(STDOUT_FILENO) != 0), begun_(std::chrono::steady_clock::now()) {}
    ~Progress() { Done(); }
    // Before a row goes to `out`.
    void BeforeRow() {
        if (rowsOnTerminal_ && drawn_) Done();
    }
    void Update(size_t done) {
        if (!on_ || done % 1024 != 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - shown_ < std::chrono::milliseconds(200)) return;
        shown_ = now;
        if (rowsOnTerminal_) out_.flush();  // no row is left to land after the line
        const double seconds = std::chrono::duration<double>(now - begun_).count();
        char line[160];
        const double share = share_ ? 100.0 * share_() : total_ ? 100.0 * double(done) / double(total_) : 0.0;
        std::snprintf(line, sizeof line, "\rhct-sim: %zu of %zu reports, %.0f%% of the %s, %.0f reports/s ", done, total_,
                      share, share_ ? "file read" : "input", seconds > 0 ? double(done) / seconds : 0.0);
        err_ << line << std::flush;
        drawn_ = true;
        g_progressShown = 1;
    }
    void Done() {
        if (drawn_) err_ << kClearLine << std::flush;
        drawn_ = false;
        g_progressShown = 0;
    }

private:
    std::ostream &out_;
    std::ostream &err_;
    size_t total_;
    std::function<double()> share_;
    bool on_;
    bool rowsOnTerminal_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point begun_;
    std::chrono::steady_clock::time_point shown_{};
};

// The capture's facts as fields of their own (the sentences of the "capture" line and the warnings).
Json CaptureFactsJson(const Capture &c, const std::string &path) {
    auto address = [](DeviceAddress d) { return Json::MakeObject().Set("bus", d.bus).Set("address", d.address); };
    const CapturedDevice &d = c.device;
    Json skipped = Json::MakeArray();
    for (const SkippedEndpoint &e : c.skipped) {
        Json lengths = Json::MakeArray();
        for (size_t length : e.lengths) lengths.Push(length);
        skipped.Push(address(e.device).Set("endpoint", e.endpoint).Set("reports", e.reports).Set("lengths", std::move(lengths)).Set("more_lengths", e.moreLengths));
    }
    Json hubs = Json::MakeArray();
    for (const DeviceAddress &h : c.hubsLeftOut) hubs.Push(address(h));
    Json warnings = Json::MakeArray();
    for (const Warning &w : c.warnings) warnings.Push(Json::MakeObject().Set("code", w.code).Set("message", w.message));
    return Json::MakeObject()
        .Set("file", path)
        .Set("format", c.pcapng ? "pcapng" : "pcap")
        .Set("kind", CaptureKindName(c.kind))
        .Set("records", c.records)
        .Set("device", address(d.address))
        .Set("endpoint", d.endpoint != 0 ? Json(unsigned(d.endpoint)) : Json())
        .Set("interface", d.interfaceNumber >= 0 ? Json(d.interfaceNumber) : Json())
        .Set("reports", d.reportCount)
        .Set("failed_transfers", d.failedTransfers)
        .Set("skipped_reports", c.skippedReports)
        .Set("skipped_endpoints", std::move(skipped))
        .Set("more_skipped_endpoints", c.moreSkipped)
        .Set("untracked_records", c.untrackedRecords)
        .Set("untracked_reports", c.untrackedReports)
        .Set("ends_inside_record", c.endsInsideRecord != 0 ? Json(c.endsInsideRecord) : Json())
        .Set("snap_cut_records", c.snapCutRecords)
        .Set("snap_length", c.snapLength)
        .Set("incomplete", c.endsInsideRecord != 0 || c.snapCutRecords != 0)
        .Set("other_view", c.otherView ? address(*c.otherView) : Json())
        .Set("hubs_left_out", std::move(hubs))
        .Set("warnings", std::move(warnings));
}

int Finish(const SessionResult &result, std::ostream &err) {
    if (result.facts.violations.empty()) return 0;
    err << "hct-sim: the driver broke " << result.facts.violations.size() << " kernel rule(s)\n";
    return 1;
}

int Run(const std::vector<std::string> &words, std::ostream &out, std::ostream &err) {
    const Parsed p = ParseWords(words, {"--help", "--binary", "--trace", "--json", "--changed-only"},
                                {"--descriptor", "--reports", "--recording", "--capture", "--device", "--probe-reply",
                                 "--feature", "--trace=", "--script", "--write-capture"});
    if (p.has("--help")) {
        out << kRunHelp;
        return 0;
    }
    if (!p.positionals.empty()) throw UsageError("unexpected argument \"" + p.positionals[0] + "\"");
    if (p.has("--write-capture")) {  // before anything is read
        std::vector<std::pair<std::string, std::string>> inputs;
        for (const char *option : {"--capture", "--descriptor", "--reports", "--recording", "--script"})
            if (p.has(option)) inputs.emplace_back(option, p.options.at(option));
        RefuseOutputThatIsAnInput("--write-capture", p.options.at("--write-capture"), inputs);
    }
    const InterruptCleanup cleanup;
    if (p.has("--recording") && (p.has("--descriptor") || p.has("--reports")))
        throw UsageError("--recording brings its own descriptor and reports: leave out --descriptor and --reports");
    if (p.has("--capture") && (p.has("--recording") || p.has("--reports")))
        throw UsageError("--capture brings its own reports: leave out --recording and --reports");
    if (p.has("--device") && !p.has("--capture") && !p.has("--recording"))
        throw UsageError("--device chooses a device of a --capture or a --recording");
    const std::string traceMode = p.has("--trace") ? p.options.at("--trace") : "none";
    if (traceMode != "none" && traceMode != "" && traceMode != "raw")
        throw UsageError("--trace takes no value or =raw, not \"" + traceMode + "\"");
    if (traceMode == "raw" && p.has("--json"))
        throw UsageError("--json and --trace=raw do not go together: the raw trace bytes are not JSON (--json --trace "
                         "gives the trace in the document, one string per line)");

    SessionOptions options;
    options.featureOn = FeatureOption(p);
    if (p.has("--probe-reply")) options.probeReply = p.options.at("--probe-reply");
    options.mouse = "built-in 5-button mouse with wheel and AC pan";
    options.descriptor = DefaultDescriptor();
    options.reports = DefaultReports();
    std::optional<Recording> recording;
    std::optional<ReportFileFacts> reportFile;
    if (p.has("--recording")) {
        const std::string &path = p.options.at("--recording");
        long device = -1;
        if (p.has("--device")) {
            const std::string &word = p.options.at("--device");
            if (word.empty() || word.size() > 9 || !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }))
                throw UsageError("--device takes a recording's device number (its D: index, 0, 1, ...), not \"" + word + "\"");
            device = std::stol(word);
        }
        recording = ScanRecording(path, device);  // read again a line at a time as it is replayed
        options.descriptor = recording->descriptor;
        options.reports.clear();
        options.mouse = "recording " + path + (recording->name.empty() ? "" : " (" + recording->name + ")") +
                        RecordedDevicesText(*recording, device >= 0);
        if (recording->skippedReports != 0)
            options.mouse += "; " + std::to_string(recording->skippedReports) +
                             " input report(s) of other devices in the recording skipped";
    }
    if (p.has("--descriptor")) {
        const std::string &path = p.options.at("--descriptor");
        LoadedDescriptor loaded = LoadDescriptorFile(path, p.has("--binary"), err);
        options.descriptor = loaded.descriptor;
        options.mouse = "mouse of " + path;
        if (loaded.recording) options.reports = loaded.recording->reports;
    }
    if (p.has("--reports")) {
        const std::string &path = p.options.at("--reports");
        reportFile = ScanReportFile(path);  // read again a line at a time as it is replayed
        options.reports.clear();
    }
    // A mouse of the user's: its answer to string 200 is not known, the built-in mouse's stands in.
    if ((p.has("--recording") || p.has("--descriptor")) && !p.has("--probe-reply"))
        options.probeOrigin = "the built-in default (the mouse's own answer is not known)";
    std::optional<Capture> capture;
    if (p.has("--capture")) capture = ApplyCapture(p, p.has("--descriptor") ? p.options.at("--descriptor") : "", options, err);

    std::vector<Warning> warnings;
    if (p.has("--descriptor")) warnings = WarnAboutDescriptor(options.descriptor, p.options.at("--descriptor"), err);
    else if (p.has("--recording")) warnings = WarnAboutDescriptor(options.descriptor, p.options.at("--recording"), err);
    else if (capture) warnings = WarnAboutDescriptor(options.descriptor, p.options.at("--capture"), err);

    if (p.has("--script")) {
        if (p.has("--reports") || p.has("--recording") || p.has("--capture") || p.has("--feature"))
            throw UsageError("--script brings its own reports and switching: leave out --reports, --recording, --capture and --feature");
        const std::string &path = p.options.at("--script");
        options.script = ParseScript(ReadFileText(path), path);
        options.scriptSource = path;
    }

    // Opened once every input has been read: bad input leaves an existing file alone.
    std::optional<CaptureWriter> writer;
    if (p.has("--write-capture")) {
        // A replayed capture keeps its own dates: the session's clock starts at its first record.
        writer.emplace(p.options.at("--write-capture"), capture ? capture->firstStamp : 0);
        options.tap = &*writer;
    }
    const bool changedOnly = p.has("--changed-only");
    const bool json = p.has("--json");

    // Where the reports come from, one at a time: the capture read again record by record, else
    // the reports in memory (a recording, a --reports file, the built-in ones).
    std::unique_ptr<CaptureReports> captured;
    std::unique_ptr<RecordingFile> recorded;
    std::unique_ptr<ReportFile> reportLines;
    std::function<double()> share;  // of the file read, for the progress line
    CapturedReport next;
    int64_t lastTime = 0;
    size_t total = options.reports.size();
    size_t widest = 0;
    for (const Bytes &r : options.reports) widest = std::max(widest, r.size());
    auto shareOf = [](const auto *file) { return [file] { return file->Size() ? double(file->Position()) / double(file->Size()) : 0.0; }; };
    if (capture) {
        captured = std::make_unique<CaptureReports>(p.options.at("--capture"), *capture);
        total = capture->device.reportCount + capture->device.failedTransfers;
        widest = capture->device.longestReport;
        share = shareOf(captured.get());
    } else if (recording) {
        recorded = std::make_unique<RecordingFile>(p.options.at("--recording"), recording->device);
        total = recording->reportCount;
        widest = recording->longestReport;
        share = shareOf(recorded.get());
    } else if (reportFile) {
        reportLines = std::make_unique<ReportFile>(p.options.at("--reports"));
        total = reportFile->count;
        widest = reportFile->longest;
        share = shareOf(reportLines.get());
    }
    Progress progress(out, err, total, share);
    size_t fed = 0;
    options.nextReport = [&](Bytes &report, int64_t &delay, uint32_t &failure) {
        if (captured) {
            if (!captured->Next(next)) return false;
            // The gaps between reports on the virtual clock, in 100 ns units; a stamp earlier than
            // the one before counts as no gap, a gap of more than an hour (a capture left running)
            // as an hour.
            constexpr int64_t kHour = int64_t(36000000000);
            const __int128 gap = fed == 0 ? 0 : (__int128(next.time) - lastTime) / 100;
            delay = int64_t(std::clamp<__int128>(gap, 0, kHour));
            lastTime = next.time;
            report.swap(next.bytes);
            failure = next.failedUsbdStatus;
        } else if (recorded || reportLines) {
            if (!(recorded ? recorded->Next(report) : reportLines->Next(report))) return false;
            delay = 0;
        } else {
            if (fed >= options.reports.size()) return false;
            report = options.reports[fed];
            delay = fed < options.reportDelays.size() ? options.reportDelays[fed] : 0;
        }
        ++fed;
        progress.Update(fed);
        return true;
    };

    const TableShape shape = MakeTableShape(total, widest);
    std::unique_ptr<JsonStream> stream;
    bool headed = false;
    size_t listed = 0;
    auto head = [&](const RunFacts &facts) {
        if (headed) return;
        headed = true;
        RunFacts shown = facts;
        shown.changedOnly = changedOnly;
        shown.warnings = warnings;
        if (json) {
            stream = std::make_unique<JsonStream>(out, RunHeadJson(shown));
        } else {
            out << RunHeaderText(shown) << ReportTableHeader(shape);
        }
    };
    options.onReady = head;
    options.onRow = [&](const ReportRow &row, const RunFacts &facts) {
        if (changedOnly && Classify(row, facts.layout) != RowKind::Rewritten) return;
        ++listed;
        const size_t number = facts.counts.total;
        progress.BeforeRow();
        if (json) stream->Row(ReportRowJson(number, row, facts.layout, facts.featureOn));
        else out << ReportTableRow(number, row, facts.layout, facts.featureOn, shape);
    };
    // The trace waits in a temporary file until the table is out, whatever its length.
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> spool(nullptr, std::fclose);
    const bool script = !options.script.empty();
    if (!script) {
        options.keepRecords = false;
        options.keepTrace = traceMode != "none";
        if (options.keepTrace) {
            spool.reset(std::tmpfile());
            if (!spool) throw InputError("<trace>", 0, "cannot create a temporary file for the trace");
            options.onTrace = [&spool](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), spool.get()); };
        }
    }

    SessionResult result = RunSession(options);
    if (writer) writer->Close();
    progress.Done();
    if (script) result.facts.counts = RowCounts{};
    RunFacts &facts = result.facts;
    facts.changedOnly = changedOnly;
    if (script)
        for (const auto &r : facts.rows) facts.counts.Add(Classify(r, facts.layout));
    if (!headed) head(facts);
    if (script) {  // the script's rows were kept: list them now
        for (size_t i = 0; i < facts.rows.size(); ++i)
            if (!changedOnly || Classify(facts.rows[i], facts.layout) == RowKind::Rewritten) {
                ++listed;
                if (json) stream->Row(ReportRowJson(i + 1, facts.rows[i], facts.layout, facts.featureOn));
                else out << ReportTableRow(i + 1, facts.rows[i], facts.layout, facts.featureOn, shape);
            }
    }

    // The trace: from the spool, or (a script) from the session.
    auto eachTraceChunk = [&](const std::function<void(std::string_view)> &use) {
        if (!spool) {
            use(result.trace);
            return;
        }
        std::rewind(spool.get());
        std::string chunk(1 << 16, '\0');
        for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), spool.get())) != 0;) use(std::string_view(chunk.data(), got));
    };
    // The trace cut at every "\n\r" as TraceLines cuts it, without holding it whole.
    auto eachTraceLine = [&](const std::function<void(const std::string &)> &use) {
        std::string pending;
        bool first = true;
        eachTraceChunk([&](std::string_view chunk) {
            pending.append(chunk);
            size_t start = 0;
            for (size_t cut; (cut = pending.find("\n\r", start)) != std::string::npos; start = cut + 2) {
                if (!(first && cut == 0)) use(Readable(std::string_view(pending).substr(start, cut - start)));
                first = false;
            }
            pending.erase(0, start);
        });
        use(Readable(pending));
    };

    // USBPcap records the URBs at the device's PDO, where the simulated bus sees them.
    std::optional<UrbComparison> urbs;
    if (capture && capture->kind == CaptureKind::Usbpcap)
        urbs = CompareUrbFunctions(capture->device.urbFunctions, result.classUrbFunctions);
    if (json) {
        Json tail = RunTailJson(facts);
        stream->EndReports();
        stream->Members(tail);
        if (traceMode == "") {
            stream->BeginArray("trace");
            eachTraceLine([&](const std::string &line) { stream->ArrayItem(line); });
            stream->EndArray();
        }
        else
            stream->Members(Json::MakeObject().Set("trace", Json()));
        stream->Members(Json::MakeObject().Set("capture_facts", capture ? CaptureFactsJson(*capture, p.options.at("--capture")) : Json()));
        Json compared;  // null: no USBPcap capture to compare with
        if (urbs) {
            Json lines = Json::MakeArray();
            for (const auto &line : urbs->lines) lines.Push(UrbComparisonLine(line, capture->device.completedOnly));
            compared = Json::MakeObject().Set("same", urbs->same).Set("lines", std::move(lines));
        }
        stream->Members(Json::MakeObject().Set("urb_functions", std::move(compared)));
        stream->Members(Json::MakeObject().Set("written_capture", writer ? Json::MakeObject()
                                                                               .Set("file", writer->Path())
                                                                               .Set("records", writer->Records())
                                                                               .Set("bus_below_filter", CaptureWriter::kBusBelow)
                                                                               .Set("bus_above_filter", CaptureWriter::kBusAbove)
                                                                         : Json()));
        stream->End();
    } else {
        if (facts.counts.total == 0) out << "  (no reports)\n";
        else if (changedOnly && listed == 0) out << "  (the driver changed none of the " << facts.counts.total << " reports)\n";
        out << RunSummaryText(facts);
        if (writer)
            out << "\nCapture written: " << writer->Path() << ", " << writer->Records()
                << " USBPcap records; bus 1 what the bus driver received and completed (below the filter),\n"
                   "bus 2 what the class driver sent and got back (above it)\n";
        if (urbs) {
            out << "\nURB functions sent to the device: the capture's against the simulated class driver's\n"
                   "(a run of interrupt reads counts once; the filter's own string request is left out)\n"
                << UrbComparisonText(*urbs, capture->device.completedOnly);
        }
        if (traceMode == "") {
            out << "\nDriver trace (DbgPrint, one line per \"\\n\\r\")\n";
            eachTraceLine([&](const std::string &line) { out << line << "\n"; });
        }
    }
    if (traceMode == "raw") eachTraceChunk([&](std::string_view chunk) { out.write(chunk.data(), std::streamsize(chunk.size())); });
    out.flush();
    for (const std::string &fault : result.scriptFaults) err << "hct-sim: " << fault << "\n";
    const int finished = Finish(result, err);
    if (finished == 0 && !result.scriptFaults.empty()) return 1;
    if (finished == 0 && capture && (capture->endsInsideRecord != 0 || capture->snapCutRecords != 0)) return 3;
    return finished;
}

int Layout(const std::vector<std::string> &words, std::ostream &out, std::ostream &err) {
    const Parsed p = ParseWords(words, {"--help", "--binary", "--diagram", "--json"}, {});
    if (p.has("--help")) {
        out << kLayoutHelp;
        return 0;
    }
    if (p.positionals.size() > 1) throw UsageError("layout takes one descriptor FILE");
    SessionOptions options;
    options.descriptor = DefaultDescriptor();
    options.mouse = "built-in 5-button mouse with wheel and AC pan";
    std::vector<Warning> warnings;
    if (!p.positionals.empty()) {
        const std::string &path = p.positionals[0];
        options.descriptor = LoadDescriptorFile(path, p.has("--binary"), err).descriptor;
        options.mouse = "mouse of " + path;
        warnings = WarnAboutDescriptor(options.descriptor, path, err);
    }
    options.switchFeature = false;
    const SessionResult result = RunSession(options);
    const DescriptorTraits traits = DescribeDescriptor(options.descriptor);
    // A descriptor the class driver cannot ask for whole: what the driver records is not known, and
    // the walk of the bytes themselves is shown instead, said to be that.
    REPORT_LAYOUT layout = result.facts.layout;
    if (!traits.Requestable()) hct_report::ParseLayout(options.descriptor.data(), uint32_t(options.descriptor.size()), &layout);
    const auto &shapes = result.facts.shapes;
    const RewriteOutlook outlook = JudgeRewrite(layout, shapes, traits);
    if (p.has("--json")) {
        Json json = LayoutReportJson(layout, shapes, outlook);
        json.Set("layout_from", traits.Requestable() ? "driver" : "walk-of-descriptor-bytes")
            .Set("mouse_found", result.facts.mouseFound)
            .Set("descriptor", DescriptorJson(traits))
            .Set("warnings", WarningsJson(warnings))
            .Set("diagram", p.has("--diagram") ? Json(LayoutDiagram(layout, shapes)) : Json());
        Json violations = Json::MakeArray();
        for (const auto &v : result.facts.violations) violations.Push(v);
        json.Set("violations", std::move(violations));
        out << json.Dump();
    } else {
        out << LayoutLine(layout) << "\n";
        if (!traits.Requestable())
            out << "  (the walk of the descriptor's own " << traits.bytes << " bytes, not a layout the driver records: "
                << UnrequestableText(traits) << "; what follows holds if the driver were given them all)\n";
        if (p.has("--diagram")) out << LayoutDiagram(layout, shapes);
        out << OutlookText(outlook, layout, shapes);
    }
    return Finish(result, err);
}

// A spool of standard input in a temporary file, removed with it: the reports are read from it a
// line at a time as from a --reports file.
class StdinSpool {
public:
    explicit StdinSpool(std::istream &in) {
        std::string name = (std::filesystem::temp_directory_path() / "hct-sim-stdin-XXXXXX").string();
        const int fd = ::mkstemp(name.data());
        if (fd < 0) throw InputError("<stdin>", 0, "cannot create a temporary file to hold standard input");
        path_ = name;
        std::string chunk(1 << 16, '\0');
        for (;;) {
            in.read(chunk.data(), std::streamsize(chunk.size()));
            const std::streamsize got = in.gcount();
            if (got <= 0) break;
            for (ssize_t done = 0; done < got;) {
                const ssize_t n = ::write(fd, chunk.data() + done, size_t(got - done));
                if (n <= 0) {
                    ::close(fd);
                    throw InputError("<stdin>", 0, "cannot write the temporary file that holds standard input");
                }
                done += n;
            }
        }
        ::close(fd);
    }
    ~StdinSpool() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

int Rewrite(const std::vector<std::string> &words, std::ostream &out, std::ostream &err, std::istream &in) {
    const Parsed p = ParseWords(words, {"--help", "--binary", "--json"}, {"--feature", "--reports"});
    if (p.has("--help")) {
        out << kRewriteHelp;
        return 0;
    }
    if (p.positionals.empty()) throw UsageError("rewrite needs a descriptor FILE");
    if (p.positionals.size() > 1 && p.has("--reports"))
        throw UsageError("give the report on the command line or the reports with --reports, not both");
    SessionOptions options;
    options.featureOn = FeatureOption(p);
    const std::string &path = p.positionals[0];
    options.descriptor = LoadDescriptorFile(path, p.has("--binary"), err).descriptor;
    options.mouse = "mouse of " + path;
    const DescriptorTraits traits = DescribeDescriptor(options.descriptor);
    if (!traits.Requestable())
        throw InputError(path, 0, UnrequestableText(traits) + " (hct-sim layout " + path + " shows what the walk gives for its bytes)");
    std::vector<Warning> warnings = WarnAboutDescriptor(options.descriptor, path, err);

    // The words after FILE are one report, as people write one ("00 00 00 00 01"); several reports
    // come a line each from --reports or standard input, read a line at a time.
    std::optional<StdinSpool> spool;
    std::string source;  // the file the reports are read from, and how messages name it
    size_t longest = 0;
    if (p.positionals.size() > 1) {
        for (size_t i = 1; i < p.positionals.size(); ++i) {
            const Bytes part = ParseReportWord(p.positionals[i], "report argument " + std::to_string(i));
            options.reports.resize(1);
            options.reports[0].insert(options.reports[0].end(), part.begin(), part.end());
        }
        longest = options.reports[0].size();
    } else {
        if (!p.has("--reports")) spool.emplace(in);
        source = spool ? spool->Path() : p.options.at("--reports");
    }
    const std::string shown = spool ? "<stdin>" : source;
    // Standard input's messages name it, not the spool.
    auto named = [&](const auto &read) {
        try {
            return read();
        } catch (const InputError &e) {
            if (!spool || e.source() != source) throw;
            const std::string prefix = source + (e.line() ? ":" + std::to_string(e.line()) : "") + ": ";
            throw InputError(shown, e.line(), std::string(e.what()).substr(prefix.size()));
        }
    };
    std::unique_ptr<ReportFile> lines;
    if (!source.empty()) {
        longest = named([&] { return ScanReportFile(source).longest; });
        lines = std::make_unique<ReportFile>(source);
        options.nextReport = [&](Bytes &report, int64_t &delay, uint32_t &) {
            delay = 0;
            return named([&] { return lines->Next(report); });
        };
    }
    // The driver is shown exactly the bytes given: the class driver's reads are made long enough for
    // the longest of them, and it is said when the descriptor declares no input report that long.
    const uint32_t declared = DeclaredReadLength(options.descriptor);
    options.minimumReadLength = uint32_t(longest);
    if (longest > declared) {
        const Warning longer{"read-longer-than-declared",
                             "a report of " + std::to_string(longest) + " bytes is longer than any input report the descriptor declares (" +
                                 std::to_string(declared) + " bytes); the class driver's reads are made " + std::to_string(longest) +
                                 " bytes long so that it arrives whole, but a real device with this descriptor never sends it"};
        PrintWarnings({longer}, spool ? shown : source.empty() ? "rewrite" : source, err);
        warnings.push_back(longer);
    }
    // Nothing is kept per report: no trace (rewrite prints none), no record per read or request.
    options.keepTrace = false;
    options.keepRecords = false;
    const bool json = p.has("--json");
    std::unique_ptr<JsonStream> stream;
    std::vector<InputReportShape> shapes;
    options.onReady = [&](const RunFacts &facts) {
        shapes = facts.shapes;
        if (!json) return;
        Json lengths = Json::MakeArray();
        for (const auto &s : facts.shapes) lengths.Push(s.bytes);
        stream = std::make_unique<JsonStream>(out, Json::MakeObject()
                                                       .Set("descriptor_file", path)
                                                       .Set("descriptor", DescriptorJson(traits))
                                                       .Set("reports_from", shown.empty() ? "command-line" : shown)
                                                       .Set("feature", facts.featureOn ? "on" : "off")
                                                       .Set("control_status", facts.controlStatus)
                                                       .Set("layout", LayoutJson(facts.layout))
                                                       .Set("mouse_found", facts.mouseFound)
                                                       .Set("declared_report_lengths", std::move(lengths))
                                                       .Set("read_length", std::max<size_t>(declared, longest))
                                                       .Set("warnings", WarningsJson(warnings)));
    };
    size_t number = 0;
    options.onRow = [&](const ReportRow &row, const RunFacts &facts) {
        ++number;
        const std::string note = DeclaredLengthNote(row.sent.size(), shapes);
        if (json) {
            Json item = ReportRowJson(number, row, facts.layout, facts.featureOn);
            const char *code = DeclaredLengthCode(row.sent.size(), shapes);
            item.Set("declared_length", code ? Json(code) : Json()).Set("length_note", note.empty() ? Json() : Json(note));
            stream->Row(item);
            return;
        }
        std::string line = row.delivered ? HexPairs(row.received) : "-";
        std::string comment = note;
        if (Classify(row, facts.layout) == RowKind::TooLong) comment += (comment.empty() ? "" : "; ") + RowNote(row, facts.layout, facts.featureOn);
        out << line << (comment.empty() ? "" : "  # " + comment) << "\n";
    };
    const SessionResult result = RunSession(options);
    if (json) {
        if (!stream) options.onReady(result.facts);
        Json violations = Json::MakeArray();
        for (const auto &v : result.facts.violations) violations.Push(v);
        stream->EndReports();
        stream->Members(Json::MakeObject().Set("report_counts", CountsJson(result.facts.counts)).Set("violations", std::move(violations)));
        stream->End();
    }
    return Finish(result, err);
}

}  // namespace

int RunCli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, std::istream &in) {
    if (args.empty()) {
        err << kTopHelp;
        return 2;
    }
    const std::string &command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        out << kTopHelp;
        return 0;
    }
    if (command == "--version") {
        out << "hct-sim " << HCT_SIM_VERSION << "\n";
        return 0;
    }
    const std::vector<std::string> words(args.begin() + 1, args.end());
    try {
        if (command == "run") return Run(words, out, err);
        if (command == "layout") return Layout(words, out, err);
        if (command == "rewrite") return Rewrite(words, out, err, in);
        err << "hct-sim: unknown command \"" << command << "\" (commands: run, layout, rewrite; see hct-sim --help)\n";
        return 2;
    } catch (const UsageError &e) {
        err << "hct-sim " << command << ": " << e.what() << " (see hct-sim " << command << " --help)\n";
        return 2;
    } catch (const InputError &e) {
        err << "hct-sim: " << e.what() << "\n";
        return 2;
    }
}

}  // namespace hct_sim

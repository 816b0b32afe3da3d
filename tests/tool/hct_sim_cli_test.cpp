// hct-sim's subcommands, run in-process through the real driver, host kernel and simulated stack,
// and the built program's exit codes and speed as a user meets them.
#include "tests/tool/cli_harness.h"
#include "tests/tool/json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <fstream>
#include <vector>

namespace {

using tooltest::Cli;
using tooltest::Contains;
using tooltest::LinesOf;
using tooltest::Outcome;
using Bytes = std::vector<uint8_t>;

std::string HexPairsOf(const Bytes &bytes) {
    std::string out;
    char b[4];
    for (uint8_t x : bytes) out += (std::snprintf(b, sizeof b, out.empty() ? "%02x" : " %02x", x), b);
    return out;
}

// The built-in mouse as hex text and its recording (the README's examples), and the same mouse with
// Report ID 1 in front of its report (85 01 before its Usage (Pointer)).
const std::string kMouse = HCT_EXAMPLES_DIR "/my-mouse.txt", kRecording = HCT_EXAMPLES_DIR "/mouse.hidrec";
const std::string kReportIdMouseHex = [] {
    std::ifstream in(kMouse);
    std::string text(std::istreambuf_iterator<char>(in), {});
    return text.insert(text.find("\n09 01") + 1, "85 01\n");
}();

class HctSim : public tooltest::TempDirTest {};

using tooltest::JsonValue;
using tooltest::ParseJson;

// ---- every command: exit code, output and messages -----------------------------------------------
// Each command line with its exit code, parts of its standard output, and a part of its standard
// error ("" for none at all). An exit code of 2 (bad input or usage) comes with no output.
TEST_F(HctSim, EachCommandLineGivesItsExitCodeOutputAndMessages) {
    const std::string mouse = kMouse, id = File("id.txt", kReportIdMouseHex), rec = kRecording;
    const std::string odd = File("odd.txt", "05 01\n09 02\n05 1\n");
    const std::string rawDescriptor = File("x.rdesc", std::string("\x05\x01\x09\x30\x75\x08\x95\x01\x81\x06", 10));
    // The version is the one the driver package's INF states (DriverVer = date,version).
    std::ifstream inf(HCT_DRIVER_INF);
    std::string version;
    for (std::string line; std::getline(inf, line);)
        if (line.rfind("DriverVer", 0) == 0) version = line.substr(line.find(',') + 1, line.find_last_not_of(" \r\n") - line.find(','));
    ASSERT_FALSE(version.empty());
    const std::string rawTraceJson = "--json and --trace=raw do not go together: the raw trace bytes are not JSON (--json --trace "
                                     "gives the trace in the document, one string per line) (see hct-sim run --help)\n";
    const struct {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> out;
        std::string err;
    } cases[] = {
        {{"run"}, 0, {"00 03 fe 30*01", "00 00 00 c0*ff", "01 05 fb 01 00  ", "pan 0: unchanged", "MouseFound     yes", "FeatureReady   yes",
                      "layout         total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20", "rewritten      3 of 5 reports"}, ""},
        {{"run", "--feature", "off"}, 0, {"rewritten      0 of 5 reports", "pan +1, feature off: unchanged"}, ""},
        // FeatureReady only decides a trace line: the rewrite still follows the switch.
        {{"run", "--probe-reply=NOPE"}, 0, {"FeatureReady   no", "rewritten      3 of 5 reports"}, ""},
        // The driver dumps a report of another length before and after: it examined it, then left it.
        {{"run", "--descriptor", id, "--reports", File("r.txt", "01 00 00 00 00 01\n01 00 00 00 00 ff\n")}, 0,
         {"unchanged: 6 bytes, driver expects 5", "rewritten      0 of 2 reports", "left alone     2 examined: length differs from TotalSize/8 (5 bytes)\n"}, ""},
        {{"run", "--recording", rec}, 0, {"(Example Mouse)", "00 03 fe 30*01"}, ""},
        {{"run", "--trace"}, 0, {"\n Device Lower Filter LOAD !!\n", "\n Device Lower Filter - Add Device \n", "\n total size = 0x28\n",
                                "\n Device Lower Filter - Add Device Successfully \n", "\n Datat In Buffer After re-assign 0x0 0x3 0xfe 0x30 0x1\n"}, ""},
        {{"run", "--trace=raw"}, 0, {"\n\r Device Lower Filter LOAD !!\n\r", "\n\r-----Vorik Mouse Found"}, ""},
        {{"layout", mouse}, 0, {"total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20\n", "rewrite: yes"}, ""},
        {{"layout", "--diagram", mouse}, 0, {"........ XXXXXXXX YYYYYYYY WWWWWWWW PPPPPPPP"}, ""},
        {{"layout", id}, 0, {"total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20\n", "rewrite: never", "Report ID byte"}, ""},
        {{"layout", rawDescriptor}, 0, {"total=0x8 x=0x8@0x0 y=0x0@0x0 wheel=0x0@0x0 acpan=0x0@0x0\n", "did not locate Y, wheel, AC pan"}, ""},
        // Bad input: one message naming the file and the line (each reader's messages are the
        // formats tests' business).
        {{"layout", odd}, 2, {}, "hct-sim: " + odd + ":3: odd number of hex digits in \"1\": write each byte as two digits\n"},
        {{"layout", File("empty.bin", "")}, 2, {}, "empty descriptor"},
        {{"rewrite", mouse, "00 05 0x100"}, 2, {}, "hct-sim: report argument 1: \"0x100\" is above 0xff: a byte is 0x00 to 0xff\n"},
        // Usage mistakes, and help.
        {{}, 2, {}, "Usage: hct-sim <command>"},
        {{"frobnicate"}, 2, {}, "unknown command"},
        {{"run", "--colour"}, 2, {}, "hct-sim run: unknown option --colour (see hct-sim run --help)\n"},
        {{"run", "--feature", "maybe"}, 2, {}, "--feature takes on or off"},
        {{"run", "--probe-reply"}, 2, {}, "needs a value"},
        {{"run", "--trace=cooked"}, 2, {}, "--trace takes no value or =raw"},
        {{"run", "--json", "--trace=raw"}, 2, {}, rawTraceJson},
        {{"run", "--trace=raw", "--json"}, 2, {}, rawTraceJson},
        {{"layout", "a.txt", "b.txt"}, 2, {}, "layout takes one descriptor FILE"},
        {{"rewrite"}, 2, {}, "rewrite needs a descriptor FILE"},
        {{"run", "--help"}, 0, {"Usage: hct-sim run"}, ""},
        {{"layout", "--help"}, 0, {"Usage: hct-sim layout"}, ""},
        {{"rewrite", "--help"}, 0, {"Usage: hct-sim rewrite"}, ""},
        {{"--help"}, 0, {"Commands:"}, ""},
        {{"--version"}, 0, {"hct-sim " + version + "\n"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0] + " " + c.args.back());
        const Outcome r = Cli(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        for (const std::string &part : c.out) EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
        if (c.code == 2) EXPECT_EQ(r.out, "");
        if (c.err.empty()) EXPECT_EQ(r.err, "");
        else EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    }
    EXPECT_EQ(Cli({"layout"}).out, Cli({"layout", mouse}).out);  // without FILE: the built-in mouse, the same descriptor
}

// The Wine test's scenario, played on the host: switching on and off through a fresh handle each
// time, a control code the driver refuses, reports held to what the class driver must receive, and
// an unplug with the reads outstanding, surprise removal first.
TEST_F(HctSim, RunScriptPlaysTheWineScenarioAndHoldsEachStepToWhatItSays) {
    const Outcome r = Cli({"run", "--script", HCT_WINE_SCENARIO, "--trace"});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_TRUE(Contains(r.out, "rewritten      2 of 4 reports")) << r.out;
    const auto lines = LinesOf(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "   IRP_MJ_PNP (IRP_MN_SURPRISE_REMOVAL)"), lines.end()) << r.out;

    const Outcome wrong = Cli({"run", "--script", File("s.txt", "# no 'on'\nreport 00 03 fe 00 01 -> 00 03 fe 30 01\nunplug\n")});
    EXPECT_EQ(wrong.code, 1);
    EXPECT_TRUE(Contains(wrong.err, "s.txt:2: the class driver received \"00 03 fe 00 01\", not \"00 03 fe 30 01\""))
        << wrong.err;

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"on\njump\n", "bad.txt:2: not a step"},
        {"unplug\non\n", "bad.txt:2: nothing can follow \"unplug\""},
        {"ioctl 22x\n", "bad.txt:1: ioctl needs one hex control code"},
        {"report 00 01\n", "bad.txt:1: a report step reads"},
        {"# nothing\n", "bad.txt: no steps"},
    };
    for (const auto &[text, message] : bad) {
        const Outcome b = Cli({"run", "--script", File("bad.txt", text)});
        EXPECT_EQ(b.code, 2) << text;
        EXPECT_TRUE(Contains(b.err, message)) << b.err;
    }
    EXPECT_EQ(Cli({"run", "--script", HCT_WINE_SCENARIO, "--feature", "on"}).code, 2);
}

TEST_F(HctSim, RunJsonCarriesTheSessionsFactsAsValues) {
    const Outcome r = Cli({"run", "--json", "--trace"});
    EXPECT_EQ(r.code, 0) << r.err;
    const JsonValue j = ParseJson(r.out);
    EXPECT_TRUE(j["mouse_found"].boolean && j["feature_ready"].boolean);
    EXPECT_EQ(j["report_counts"]["examined_unchanged"].number, 2);
    EXPECT_EQ(j["reports"][0]["received"].text, "00 03 fe 30 01");
    EXPECT_EQ(j["reports"][0]["changed_bytes"][0].number, 3);
    EXPECT_EQ(j["reports"][0]["pan"].number, 1);
    EXPECT_EQ(j["reports"][0]["kind"].text, "rewritten");
    EXPECT_EQ(j["trace"][0].text, " Device Lower Filter LOAD !!");
    const JsonValue layout = ParseJson(Cli({"layout", "--json", File("id.h", kReportIdMouseHex)}).out);
    EXPECT_EQ(layout["rewrite"]["reasons"][0]["code"].text, "report-id-byte");
    EXPECT_EQ(layout["input_reports"][0]["bytes"].number, 6);
    EXPECT_EQ(layout["examined_length"].number, 5);
}

// Whether `path` ("a.b", "a[].b") is in `v`: a null object holds every path below it, each item of
// a list holds the rest.
bool Holds(const JsonValue &v, const std::string &path) {
    const size_t cut = path.find_first_of(".[");
    const std::string key = path.substr(0, cut);
    if (!v.members.count(key)) return false;
    const JsonValue &m = v[key];
    if (cut == std::string::npos || m.kind == JsonValue::Null) return true;
    if (path[cut] == '.') return Holds(m, path.substr(cut + 1));
    return std::all_of(m.items.begin(), m.items.end(), [&](const JsonValue &item) { return Holds(item, path.substr(cut + 3)); });
}

// Every field docs/json.md lists is in the document of its command for every kind of input. The
// doc's tables before the first command's heading are shared: a command is held to those whose
// first key its own table lists.
TEST_F(HctSim, EveryDocumentedJsonFieldIsInTheDocumentForEveryKindOfInput) {
    std::map<std::string, std::vector<std::string>> fields;  // by command; "" the shared ones
    std::ifstream doc(HCT_JSON_DOC);
    std::string section;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0) section = line.rfind("## `", 0) == 0 ? line.substr(4, line.find(' ', 4) - 4) : line == "## Fields shared by the commands" ? "" : "-";
        else if (line.rfind("| `", 0) == 0 && section != "-") fields[section].push_back(line.substr(3, line.find('`', 3) - 3));
    }
    ASSERT_EQ(fields.size(), 4u);
    ASSERT_EQ(Cli({"run", "--write-capture", Path("s.pcap")}).code, 0);
    std::ifstream in(kMouse);
    const std::string d = File("cut.txt", std::string(std::istreambuf_iterator<char>(in), {}) + "95\n");
    const std::string reports = File("r.txt", "00 03 fe 00 01\n01\n"), rec = kRecording;
    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"layout"}, ""}, {{"layout", d, "--diagram"}, ""}, {{"layout", File("id.txt", kReportIdMouseHex)}, ""},
        {{"rewrite", d, "00 05 fb 00 01"}, ""}, {{"rewrite", d}, "00\n00 00 00 00 00 01\n"}, {{"rewrite", d, "--reports", reports}, ""},
        {{"run"}, ""}, {{"run", "--descriptor", d, "--reports", reports, "--trace"}, ""}, {{"run", "--recording", rec}, ""},
        {{"run", "--capture", Path("s.pcap")}, ""}, {{"run", "--script", HCT_WINE_SCENARIO}, ""}, {{"run", "--write-capture", Path("w.pcap")}, ""},
    };
    for (const auto &[args, input] : runs) {
        std::vector<std::string> json = args;
        json.push_back("--json");
        const Outcome r = Cli(json, input);
        SCOPED_TRACE(r.out);
        ASSERT_EQ(r.code, 0) << r.err;
        const JsonValue v = ParseJson(r.out);
        const auto &own = fields[args[0]];
        for (const std::string &field : fields[""])
            if (std::find(own.begin(), own.end(), field.substr(0, field.find_first_of(".["))) != own.end()) EXPECT_TRUE(Holds(v, field)) << field;
        for (const std::string &field : own) EXPECT_TRUE(Holds(v, field)) << field;
    }
}

// The bytes on the command line are one report, however split into words; several reports come a
// line each from --reports or standard input. A length no declared input report has is said on
// its line after "  # ", what the class driver received still first.
TEST_F(HctSim, RewriteTakesOneReportFromTheCommandLineAndOneALineFromAFileOrStdin) {
    const std::string d = kMouse, id = File("id.txt", kReportIdMouseHex);
    const std::string lines = "00 00 00 ff 01\n# comment\n\n0x00,0x00,0x00,0x00,0x80\r\n", rf = File("r.txt", lines);
    const std::string five = "  # 6 bytes: longer than the input report the descriptor declares (5 bytes)";
    const struct {
        std::vector<std::string> args;
        std::string input, out;
    } cases[] = {
        {{"rewrite", d, "--feature", "on", "00", "00", "00", "00", "01"}, "", "00 00 00 30 01\n"},
        {{"rewrite", d, "00 05 fb 00 01"}, "", "00 05 fb 30 01\n"},
        {{"rewrite", d, "0000", "0000ff"}, "", "00 00 00 c0 ff\n"},
        {{"rewrite", d, "--feature=off", "00 05 fb 00 01"}, "", "00 05 fb 00 01\n"},
        {{"rewrite", d}, lines, "00 00 00 30 01\n00 00 00 c0 80\n"},
        {{"rewrite", d, "--reports", rf}, "", "00 00 00 30 01\n00 00 00 c0 80\n"},
        {{"rewrite", d, "00"}, "", "00  # 1 byte: shorter than the input report the descriptor declares (5 bytes)\n"},
        {{"rewrite", d, "00 00 00 00 00 01"}, "", "00 00 00 00 00 01" + five + "\n"},
        {{"rewrite", id, "01 00 05 fb 00 01"}, "", "01 00 05 fb 00 01\n"},
        {{"rewrite", id}, "01 00 05 fb 00 01\n00 05 fb 00 01\n",
         "01 00 05 fb 00 01\n00 05 fb 30 01  # 5 bytes: shorter than the input report the descriptor declares (6 bytes)\n"},
        {{"rewrite", d, std::string(48, '0'), std::string(18, '0') + "01"}, "",
         HexPairsOf(Bytes(33, 0)) + " 01  # 34 bytes: longer than the input report the descriptor "
                                    "declares (5 bytes); not examined: the driver passes it on as it came, for it looks only at reports of 1 to 32 bytes\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        const Outcome r = Cli(c.args, c.input);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
    // A report longer than every declared one: the reads are made that long, and a warning says so.
    EXPECT_EQ(Cli({"rewrite", d}, "00\n00 00 00 00 00 01\n").err,
              "hct-sim: warning: <stdin>: a report of 6 bytes is longer than any input report the descriptor declares (5 bytes); "
              "the class driver's reads are made 6 bytes long so that it arrives whole, but a real device with this descriptor never sends it\n");
    // Standard input's lines are named as its own.
    const Outcome bad = Cli({"rewrite", d}, "00 05\n0x100\n");
    EXPECT_EQ(bad.code, 2);
    EXPECT_EQ(bad.err.rfind("hct-sim: <stdin>:2: ", 0), 0u) << bad.err;
    EXPECT_EQ(Cli({"rewrite", d, "00", "--reports", rf}).code, 2);
}

// ---- bounded whatever a descriptor declares ---------------------------------------------------------
// Report Count 0x1fffffff: a 26-byte descriptor declaring a 512 MB report (Report ID 1) and a
// 5-byte one (Report ID 2).
const char *const kHugeCountHex = "05 01 09 02 a1 01 85 01 75 08 97 ff ff ff 1f 81 02 85 02 75 08 95 04 81 02 c0\n";

// One ID-less report of `count` bytes: Report Size 8, Report Count as four bytes.
std::string OneReportOf(uint32_t count) {
    char hex[96];
    std::snprintf(hex, sizeof hex, "05 01 09 02 a1 01 75 08 97 %02x %02x %02x %02x 81 02 c0\n", count & 0xff,
                  (count >> 8) & 0xff, (count >> 16) & 0xff, count >> 24);
    return hex;
}

// The class driver reads the largest input report, but never more than one interrupt transfer
// carries (4 MB, 4194304 bytes): the report's entry says so when it declares more, and only then.
TEST_F(HctSim, AReportLongerThanOneInterruptTransferIsSaidToBeReadCapped) {
    const std::string capped = "more than one interrupt transfer carries: the class driver reads 4194304 bytes, "
                               "a longer report fails as a data overrun";
    Outcome r = Cli({"layout", File("huge.txt", kHugeCountHex)});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "device sends: input reports of 536870912 bytes (Report ID 1, then 536870911; " + capped +
                                    "), 5 bytes (Report ID 2, then 4); "))
        << r.out;
    r = Cli({"layout", Path("huge.txt"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const JsonValue json = ParseJson(r.out);
    EXPECT_EQ(json["input_reports"][0]["read_capped_at"].number, 4194304);
    EXPECT_EQ(json["input_reports"][1]["read_capped_at"].kind, JsonValue::Null);

    // Both sides of the cap.
    r = Cli({"layout", File("at.txt", OneReportOf(4194304))});
    EXPECT_TRUE(Contains(r.out, "device sends: input reports of 4194304 bytes; ")) << r.out;
    r = Cli({"layout", File("over.txt", OneReportOf(4194305))});
    EXPECT_TRUE(Contains(r.out, "device sends: input reports of 4194305 bytes (" + capped + "); ")) << r.out;
}

// ---- the built program -------------------------------------------------------------------------
// The 26-byte descriptor that declares a 512 MB report: layout (with the diagram and as JSON) and
// rewrite each stay under 64 MB at their peak, as the kernel counts it for the process (in a
// process started fresh by /usr/bin/time), and well under the seconds reads of the declared size
// took.
TEST_F(HctSim, TheProgramStaysSmallForADescriptorThatDeclaresHugeReports) {
    const std::string file = File("huge.txt", kHugeCountHex);
    for (const std::string args : {"layout " + file, "layout " + file + " --diagram --json", "rewrite " + file + " 0102"}) {
        const std::string command =
            std::string("/usr/bin/time -o /dev/fd/3 -f '%x %M %U' ") + HCT_SIM_BINARY + " " + args + " 3>&1 >/dev/null 2>&1";
        std::unique_ptr<FILE, int (*)(FILE *)> pipe(::popen(command.c_str(), "r"), ::pclose);
        ASSERT_TRUE(pipe);
        int code = -1;
        long peakKb = 0;
        double cpu = 0;
        ASSERT_EQ(std::fscanf(pipe.get(), "%d %ld %lf", &code, &peakKb, &cpu), 3) << args;
        EXPECT_EQ(code, 0) << args;
        EXPECT_LT(peakKb, 64 * 1024) << args << ": peak in kB";
        EXPECT_LT(cpu, 5.0) << args;
    }
}

}  // namespace

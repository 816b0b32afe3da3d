// hct-sim's subcommands, run in-process through the real driver, host kernel and simulated stack,
// and the built program's exit codes and speed as a user meets them.
#include "tests/tool/cli_harness.h"
#include "tests/tool/json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <fstream>
#include <vector>

namespace {

using tooltest::Cli;
using tooltest::Contains;
using tooltest::LinesOf;
using tooltest::Outcome;

// The built-in mouse as hex text, and the same mouse with Report ID 1 in front of its report.
const char *const kMouseHex =
    "05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 05 15 00 25 01 95 05 75 01 81 02\n"
    "95 01 75 03 81 01 05 01 09 30 09 31 15 81 25 7F 75 08 95 02 81 06\n"
    "09 38 95 01 81 06 05 0C 0A 38 02 81 06 C0 C0\n";
const char *const kReportIdMouseHex =
    "0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,\n"
    "0x85, 0x01, // Report ID (1)\n"
    "0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29, 0x05, 0x15, 0x00, 0x25, 0x01, 0x95, 0x05,\n"
    "0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x03, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31,\n"
    "0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0x09, 0x38, 0x95, 0x01, 0x81, 0x06,\n"
    "0x05, 0x0C, 0x0A, 0x38, 0x02, 0x81, 0x06, 0xC0, 0xC0,\n";

class HctSim : public tooltest::TempDirTest {};

using tooltest::JsonValue;
using tooltest::ParseJson;

// ---- run ---------------------------------------------------------------------------------------
TEST_F(HctSim, RunShowsEachReportAsSentAndAsReceivedWithTheWheelRewrittenForPan) {
    const Outcome r = Cli({"run"});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Contains(r.out, "00 03 fe 00 01")) << r.out;
    EXPECT_TRUE(Contains(r.out, "00 03 fe 30*01")) << r.out;   // pan +1: wheel 0x30
    EXPECT_TRUE(Contains(r.out, "00 00 00 c0*ff")) << r.out;   // pan -1: wheel 0xc0
    EXPECT_TRUE(Contains(r.out, "01 05 fb 01 00  ")) << r.out;  // pan 0: untouched, nothing marked
    EXPECT_TRUE(Contains(r.out, "pan 0: unchanged"));
    EXPECT_TRUE(Contains(r.out, "layout         total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20"));
    EXPECT_TRUE(Contains(r.out, "MouseFound     yes"));
    EXPECT_TRUE(Contains(r.out, "FeatureReady   yes"));
    EXPECT_TRUE(Contains(r.out, "rewritten      3 of 5 reports"));
    EXPECT_FALSE(Contains(r.out, "kernel rules broken"));
}

TEST_F(HctSim, RunWithTheFeatureOffOrAnotherProbeReplyChangesWhatTheDriverDoes) {
    const Outcome off = Cli({"run", "--feature", "off"});
    EXPECT_EQ(off.code, 0) << off.err;
    EXPECT_TRUE(Contains(off.out, "rewritten      0 of 5 reports")) << off.out;
    EXPECT_TRUE(Contains(off.out, "pan +1, feature off: unchanged"));

    const Outcome reply = Cli({"run", "--probe-reply=NOPE"});
    EXPECT_EQ(reply.code, 0) << reply.err;
    EXPECT_TRUE(Contains(reply.out, "FeatureReady   no")) << reply.out;
    // FeatureReady only decides a trace line: the rewrite still follows the switch.
    EXPECT_TRUE(Contains(reply.out, "rewritten      3 of 5 reports"));
}

TEST_F(HctSim, RunTakesDescriptorReportsAndRecordingFiles) {
    const std::string d = File("id.txt", kReportIdMouseHex);
    const std::string reports = File("r.txt", "01 00 00 00 00 01\n01 00 00 00 00 ff\n");
    const Outcome r = Cli({"run", "--descriptor", d, "--reports", reports});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "unchanged: 6 bytes, driver expects 5")) << r.out;
    EXPECT_TRUE(Contains(r.out, "rewritten      0 of 2 reports"));

    const std::string rec = File("m.rec", std::string("# mouse\nD: 0\nR: 63 ") + "05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 05 15 00 25 01 95 05 75 01 81 02 "
                                          "95 01 75 03 81 01 05 01 09 30 09 31 15 81 25 7F 75 08 95 02 81 06 "
                                          "09 38 95 01 81 06 05 0C 0A 38 02 81 06 C0 C0\nN: Recorded Mouse\n"
                                          "E: 000000.000000 5 00 00 00 00 02\n");
    const Outcome fromRecording = Cli({"run", "--recording", rec});
    EXPECT_EQ(fromRecording.code, 0) << fromRecording.err;
    EXPECT_TRUE(Contains(fromRecording.out, "(Recorded Mouse)"));
    EXPECT_TRUE(Contains(fromRecording.out, "00 00 00 30*02")) << fromRecording.out;
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

TEST_F(HctSim, RunTraceShowsTheDriversDbgPrintLinesExactly) {
    const Outcome r = Cli({"run", "--trace"});
    EXPECT_EQ(r.code, 0) << r.err;
    const auto lines = LinesOf(r.out);
    auto has = [&](const std::string &line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has(" Device Lower Filter LOAD !!")) << r.out;
    EXPECT_TRUE(has(" Device Lower Filter - Add Device ")) << r.out;
    EXPECT_TRUE(has(" Device Lower Filter - Add Device Successfully ")) << r.out;
    EXPECT_TRUE(has(" total size = 0x28"));
    EXPECT_TRUE(has(" Datat In Buffer After re-assign 0x0 0x3 0xfe 0x30 0x1"));

    const Outcome raw = Cli({"run", "--trace=raw"});
    EXPECT_EQ(raw.code, 0);
    EXPECT_TRUE(Contains(raw.out, "\n\r Device Lower Filter LOAD !!\n\r")) << raw.out;
}

TEST_F(HctSim, RunJsonParsesAndCarriesTheSessionsFacts) {
    const Outcome r = Cli({"run", "--json", "--trace"});
    EXPECT_EQ(r.code, 0) << r.err;
    const JsonValue j = ParseJson(r.out);
    EXPECT_TRUE(j["mouse_found"].boolean);
    EXPECT_TRUE(j["feature_ready"].boolean);
    EXPECT_EQ(j["feature"].text, "on");
    EXPECT_EQ(j["layout"]["total_size"].number, 40);
    EXPECT_EQ(j["layout"]["ac_pan"]["offset"].number, 32);
    EXPECT_EQ(j["reports_rewritten"].number, 3);
    ASSERT_EQ(j["reports"].items.size(), 5u);
    EXPECT_EQ(j["reports"][0]["sent"].text, "00 03 fe 00 01");
    EXPECT_EQ(j["reports"][0]["received"].text, "00 03 fe 30 01");
    EXPECT_EQ(j["reports"][0]["changed_bytes"][0].number, 3);
    EXPECT_EQ(j["trace"][0].text, " Device Lower Filter LOAD !!");
    EXPECT_TRUE(j["violations"].items.empty());
}

// ---- layout ------------------------------------------------------------------------------------
TEST_F(HctSim, LayoutPrintsTheRecordedLayoutOnOneLineAndSaysTheDriverWillRewrite) {
    const Outcome r = Cli({"layout", File("mouse.txt", kMouseHex)});
    EXPECT_EQ(r.code, 0) << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20");
    EXPECT_TRUE(Contains(r.out, "rewrite: yes")) << r.out;
    EXPECT_EQ(Cli({"layout"}).out, r.out);  // without FILE: the built-in mouse, the same descriptor

    const Outcome drawn = Cli({"layout", "--diagram", File("mouse.txt", kMouseHex)});
    EXPECT_TRUE(Contains(drawn.out, "........ XXXXXXXX YYYYYYYY WWWWWWWW PPPPPPPP")) << drawn.out;
}

TEST_F(HctSim, LayoutOfAReportIdMouseWarnsThatNoReportWillEverBeRewritten) {
    const std::string d = File("id.h", kReportIdMouseHex);
    const Outcome r = Cli({"layout", d});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(LinesOf(r.out)[0], "total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20");
    EXPECT_TRUE(Contains(r.out, "rewrite: never")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Report ID byte")) << r.out;

    const JsonValue j = ParseJson(Cli({"layout", "--json", d}).out);
    EXPECT_FALSE(j["rewrite"]["ever"].boolean);
    EXPECT_EQ(j["input_reports"][0]["bytes"].number, 6);
    EXPECT_EQ(j["input_reports"][0]["report_id"].number, 1);
    EXPECT_EQ(j["examined_length"].number, 5);
    EXPECT_EQ(j["layout"]["line"].text, "total=0x28 x=0x8@0x8 y=0x8@0x10 wheel=0x8@0x18 acpan=0x8@0x20");
}

TEST_F(HctSim, LayoutReadsRawBinaryDescriptors) {
    const unsigned char raw[] = {0x05, 0x01, 0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x81, 0x06};
    const std::string bin = File("x.rdesc", std::string(reinterpret_cast<const char *>(raw), sizeof raw));
    const Outcome r = Cli({"layout", bin});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(LinesOf(r.out)[0], "total=0x8 x=0x8@0x0 y=0x0@0x0 wheel=0x0@0x0 acpan=0x0@0x0");
    EXPECT_TRUE(Contains(r.out, "did not locate Y, wheel, AC pan")) << r.out;
}

// ---- rewrite -----------------------------------------------------------------------------------
TEST_F(HctSim, RewritePrintsWhatTheClassDriverReceivedOnePerLine) {
    const std::string d = File("mouse.txt", kMouseHex);
    Outcome r = Cli({"rewrite", d, "--feature", "on", "00 05 fb 00 01", "00000000ff", "0102030400"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "00 05 fb 30 01\n00 00 00 c0 ff\n01 02 03 04 00\n");

    r = Cli({"rewrite", d, "--feature=off", "00 05 fb 00 01"});
    EXPECT_EQ(r.out, "00 05 fb 00 01\n");

    r = Cli({"rewrite", d}, "00 00 00 ff 01\n# comment\n\n00 00 00 00 80\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "00 00 00 30 01\n00 00 00 c0 80\n");

    r = Cli({"rewrite", File("id.txt", kReportIdMouseHex), "01 00 05 fb 00 01"});
    EXPECT_EQ(r.out, "01 00 05 fb 00 01\n");
}

// ---- bad input and usage -----------------------------------------------------------------------
TEST_F(HctSim, BadInputGetsOneMessageNamingFileAndLineAndExitCode2) {
    const std::string odd = File("odd.txt", "05 01\n09 02\n05 1\n");
    Outcome r = Cli({"layout", odd});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "hct-sim: " + odd + ":3: odd number of hex digits in \"1\": write each byte as two digits\n");
    EXPECT_EQ(r.out, "");

    r = Cli({"layout", (dir_ / "missing.txt").string()});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "missing.txt: cannot open")) << r.err;

    r = Cli({"run", "--reports", File("long.txt", std::string(33 * 3, ' ') + std::string(66, 'a'))});
    EXPECT_EQ(r.code, 0) << r.err;  // passed on by the driver unexamined

    r = Cli({"layout", File("empty.txt", "/* nothing */\n")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "empty descriptor")) << r.err;

    r = Cli({"layout", File("empty.bin", "")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "empty descriptor")) << r.err;

    r = Cli({"rewrite", File("mouse.txt", kMouseHex), "00 05 0x100"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "hct-sim: report argument 1: \"0x100\" is above 0xff: a byte is 0x00 to 0xff\n");

    r = Cli({"run", "--recording", File("bad.rec", "R: 2 05 01\nE: 0.0 3 00 01\n")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "bad.rec:2: E: announces 3 bytes but holds 2")) << r.err;
}

TEST_F(HctSim, UsageMistakesExitWith2AndHelpWith0) {
    EXPECT_EQ(Cli({}).code, 2);
    EXPECT_EQ(Cli({"frobnicate"}).code, 2);
    Outcome r = Cli({"run", "--colour"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "hct-sim run: unknown option --colour (see hct-sim run --help)\n");
    EXPECT_EQ(Cli({"run", "--feature", "maybe"}).code, 2);
    EXPECT_EQ(Cli({"run", "--probe-reply"}).code, 2);
    EXPECT_EQ(Cli({"run", "--trace=cooked"}).code, 2);
    EXPECT_EQ(Cli({"layout", "a.txt", "b.txt"}).code, 2);
    EXPECT_EQ(Cli({"rewrite"}).code, 2);

    for (const char *command : {"run", "layout", "rewrite"}) {
        r = Cli({command, "--help"});
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(Contains(r.out, std::string("Usage: hct-sim ") + command)) << r.out;
    }
    r = Cli({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(Contains(r.out, "Commands:"));
}

TEST_F(HctSim, JsonRefusesTheRawTraceAndVersionPrintsTheDriverPackagesVersion) {
    // The raw trace's bytes are not JSON: asked for both, the tool refuses before anything runs,
    // whichever comes first; --json --trace keeps the trace in the document.
    for (const auto &args : {std::vector<std::string>{"run", "--json", "--trace=raw"}, {"run", "--trace=raw", "--json"}}) {
        const Outcome r = Cli(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "hct-sim run: --json and --trace=raw do not go together: the raw trace bytes are not JSON "
                         "(--json --trace gives the trace in the document, one string per line) (see hct-sim run --help)\n");
    }
    const Outcome lines = Cli({"run", "--json", "--trace"});
    ASSERT_EQ(lines.code, 0) << lines.err;
    EXPECT_FALSE(ParseJson(lines.out)["trace"].items.empty());
    const Outcome raw = Cli({"run", "--trace=raw"});
    ASSERT_EQ(raw.code, 0) << raw.err;
    EXPECT_TRUE(Contains(raw.out, "\n\r-----Vorik Mouse Found")) << raw.out;

    // The version is the one the driver package's INF states (DriverVer = date,version).
    std::ifstream inf(HCT_DRIVER_INF);
    std::string version;
    for (std::string line; std::getline(inf, line);)
        if (line.rfind("DriverVer", 0) == 0) version = line.substr(line.find(',') + 1);
    while (!version.empty() && std::isspace(static_cast<unsigned char>(version.back()))) version.pop_back();
    ASSERT_FALSE(version.empty());
    const Outcome v = Cli({"--version"});
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out, "hct-sim " + version + "\n");
    EXPECT_EQ(v.err, "");
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
    EXPECT_EQ(json["input_reports"][1].members.count("read_capped_at"), 0u);

    // Both sides of the cap.
    r = Cli({"layout", File("at.txt", OneReportOf(4194304))});
    EXPECT_TRUE(Contains(r.out, "device sends: input reports of 4194304 bytes; ")) << r.out;
    EXPECT_EQ(ParseJson(Cli({"layout", Path("at.txt"), "--json"}).out)["input_reports"][0].members.count("read_capped_at"), 0u);
    r = Cli({"layout", File("over.txt", OneReportOf(4194305))});
    EXPECT_TRUE(Contains(r.out, "device sends: input reports of 4194305 bytes (" + capped + "); ")) << r.out;
}

// ---- the built program -------------------------------------------------------------------------
struct Program {
    int code;
    std::string out;
};

Program Execute(const std::string &arguments) {
    const std::string command = std::string(HCT_SIM_BINARY) + " " + arguments + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return {-1, ""};
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) out.append(buffer, n);
    const int status = ::pclose(pipe.release());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// How long the process takes is the machine's business (the virtual clock's own promise is checked
// by the start tests); what it prints and returns is the program's.
TEST_F(HctSim, TheProgramRunsTheDefaultSession) {
    const Program p = Execute("run");
    EXPECT_EQ(p.code, 0);
    EXPECT_TRUE(Contains(p.out, "rewritten      3 of 5 reports")) << p.out;

    EXPECT_EQ(Execute("layout " + (dir_ / "nothing.txt").string()).code, 2);
    EXPECT_EQ(Execute("run --no-such-option").code, 2);
}

// The 26-byte descriptor that declares a 512 MB report: layout (with the diagram and as JSON) and
// rewrite each stay under 64 MB at their peak, as the kernel counts it for the process (wait4, in
// a process started fresh by peak_memory), and well under the seconds reads of the declared size
// took.
TEST_F(HctSim, TheProgramStaysSmallForADescriptorThatDeclaresHugeReports) {
    const std::string file = File("huge.txt", kHugeCountHex);
    for (const std::string args : {"layout " + file, "layout " + file + " --diagram --json", "rewrite " + file + " 0102 02000000ff"}) {
        const std::string command = std::string(HCT_PEAK_MEMORY) + " " + HCT_SIM_BINARY + " " + args;
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

// hctctl's own logic against a fake system. The commands are rows of tables: the machine before,
// the command line, the exit code, what is printed, every change in its order and the state after.
// Around them, the pure parts: the LowerFilters edits, which nodes are mice, PE images, image
// paths and pending renames; and the switching of the control links under --keep.
#include "tools/hctctl/hctctl_logic.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tool/hctctl_fake.h"

namespace {

using hctctl::DeviceNode;
using hctctl::Machine;
using hctctl_test::FakeSystem;
using hctctl_test::Strings;
using hctctl_test::UsbMouse;
using State = FakeSystem::State;
using Words = std::vector<const char *>;

const std::string kMouse1 = "USB\\VID_1234&PID_0001\\1&1";
const std::string kMouse2 = "USB\\VID_1234&PID_0001\\1&2";
const std::string kInstalled = FakeSystem::kInstalled;
const std::string kStaged = kInstalled + ".new";
const std::string kOurs = "\\SystemRoot\\System32\\drivers\\hct.sys";
const std::string kCopy = "copy C:\\pkg\\x64\\hct.sys -> " + kInstalled;
const std::string kCreate = "create service hct " + kOurs;
const std::string kConfigure = "configure service hct start 3 " + kOurs;
const std::string kRemove = "remove " + kInstalled;

std::string Set(const std::string &id, const std::string &entries)
{
    return "set LowerFilters " + id + " = [" + entries + "]";
}
std::string Delete(const std::string &id) { return "delete LowerFilters " + id; }
std::string Restart(const std::string &id) { return "restart " + id; }

using Fact = std::function<void(FakeSystem &)>;  // one thing true of the machine before
using Change = std::function<void(State &)>;     // one thing a command changes

// A USB mouse plugged in, with its LowerFilters value (none: no value).
Fact Mouse(const std::string &instance, std::optional<Strings> value = {}, const std::string &vidpid = "VID_1234&PID_0001")
{
    return [=](FakeSystem &f) { f.state.nodes.push_back({UsbMouse(instance, vidpid), value}); };
}

// What install leaves besides the values: hct.sys copied, the service hct of demand start naming it.
void Installed(State &s)
{
    s.files[kInstalled] = s.files[FakeSystem::kImage];
    s.services["hct"] = {1, 3, 1, kOurs};
}

// The first mouse, its value with hct first, installed.
Fact InstalledOn1(Strings value = {"hct"})
{
    return [=](FakeSystem &f) {
        Mouse("1&1", value)(f);
        Installed(f.state);
    };
}

Fact Fails(const char *op, int nth = 1)
{
    return [=](FakeSystem &f) { f.Fail(op, nth); };
}

// A fact of the state alone.
Fact Given(Change change)
{
    return [=](FakeSystem &f) { change(f.state); };
}

Change Value(const std::string &id, std::optional<Strings> value)
{
    return [=](State &s) { s.Find(id)->value = value; };
}

// What uninstall leaves once no node lists hct: no service, no file.
void Uninstalled(State &s)
{
    s.services.clear();
    s.files.erase(kInstalled);
}

struct Row {
    const char *name;
    std::vector<Fact> given;  // the machine before, from the fake's defaults
    Words words;
    int code = hctctl::kExitOk;
    Strings log = {};   // every change, restart and request, in order
    Strings says = {};  // pieces of what is printed (out and err)
    std::vector<Change> after = {};  // applied to the state before, it gives the state after
    Strings never = {};  // what is not printed
};

class HctctlRun : public testing::Test {
protected:
    FakeSystem fake;
    std::string out, err;

    int Run(const std::vector<Fact> &given, const Words &words)
    {
        fake = FakeSystem{};
        for (const Fact &g : given)
            g(fake);
        Words argv{"hctctl"};
        argv.insert(argv.end(), words.begin(), words.end());
        argv.push_back(nullptr);
        const hctctl::Args args = hctctl::Parse(int(argv.size() - 1), argv.data());
        EXPECT_TRUE(args.ok) << args.error;
        std::ostringstream o, e;
        const int code = hctctl::Run(args, fake, o, e);
        out = o.str();
        err = e.str();
        return code;
    }

    void Play(const Row &row)
    {
        FakeSystem before;
        for (const Fact &g : row.given)
            g(before);
        State expected = before.state;
        for (const Change &c : row.after)
            c(expected);
        EXPECT_EQ(Run(row.given, row.words), row.code) << row.name << "\n" << out << err;
        EXPECT_EQ(fake.log, row.log) << row.name;
        const std::string said = out + err;
        for (const std::string &s : row.says)
            EXPECT_NE(said.find(s), std::string::npos) << row.name << ": no '" << s << "' in\n" << said;
        for (const std::string &s : row.never)
            EXPECT_EQ(said.find(s), std::string::npos) << row.name << ": '" << s << "' in\n" << said;
        EXPECT_TRUE(fake.state == expected) << row.name;
    }
};

// The state after an install on the first mouse: its value as given.
std::vector<Change> Gets(Strings value)
{
    return {Installed, Value(kMouse1, std::move(value))};
}

// ---- the refusals: each with its own code, one message, and not one change ---------------------

TEST_F(HctctlRun, EachRefusalHasItsOwnCodeOneMessageAndChangesNothing)
{
    const Fact mouse = Mouse("1&1", Strings{"foo"}), second = Mouse("1&2"), installed = InstalledOn1();
    const Fact x86Tool = [](FakeSystem &f) { f.tool = Machine::X86; };
    const std::vector<Row> rows{
        {"no image", {mouse, [](FakeSystem &f) { f.state.files.clear(); }}, {"install"}, hctctl::kExitNoImage, {},
         {"no hct.sys beside hctctl.exe"}},
        {"x86 image on x64", {mouse, [](FakeSystem &f) { f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X86); }},
         {"install"}, hctctl::kExitWrongArchitecture, {}, {"is a driver for x86 and this Windows is x64"}},
        {"not an image", {mouse, [](FakeSystem &f) { f.state.files[FakeSystem::kImage] = {'M', 'Z', 0, 0}; }}, {"install"},
         hctctl::kExitWrongArchitecture, {}, {"not a Windows driver image"}},
        {"x86 tool on x64", {mouse, x86Tool}, {"install"}, hctctl::kExitWrongArchitecture, {},
         {"built for x86 and this Windows is x64"}},
        // The package has no ARM64 folder: no message may point at one.
        {"ARM64 Windows", {mouse, [](FakeSystem &f) { f.native = Machine::Arm64; }}, {"install"},
         hctctl::kExitWrongArchitecture, {}, {"x64 and x86 Windows only"}, {}, {"ARM64 folder"}},
        {"not administrator", {mouse, [](FakeSystem &f) { f.admin = false; }}, {"install"}, hctctl::kExitNotAdministrator,
         {}, {"install changes the system: run it from an administrator prompt"}},
        {"unknown device", {mouse}, {"install", "--device", "USB\\VID_9999&PID_9999"}, hctctl::kExitUnknownDevice, {},
         {"no device node has the instance ID or hardware ID USB\\VID_9999&PID_9999", "hctctl list"}},
        {"a prefix of an ID is no ID", {mouse}, {"install", "--device", "USB\\VID_1234"}, hctctl::kExitUnknownDevice},
        {"no mouse", {}, {"install"}, hctctl::kExitNoMouse, {}, {"no USB mouse found"}},
        {"the one mouse not plugged in", {mouse, [](FakeSystem &f) { f.state.nodes[0].node.present = false; }}, {"install"},
         hctctl::kExitNoMouse},
        {"several mice", {mouse, second}, {"install"}, hctctl::kExitSeveralDevices, {},
         {"2 USB mice found; name one with --device ID (or use --all)", "  " + kMouse1, "  " + kMouse2}},
        {"a hardware ID two nodes share", {mouse, second}, {"install", "--device", "USB\\VID_1234&PID_0001"},
         hctctl::kExitSeveralDevices, {}, {"2 device nodes have the hardware ID", "instance ID", "  " + kMouse1, "  " + kMouse2}},
        {"another driver's service", {mouse, [](FakeSystem &f) { f.state.services["hct"] = {1, 3, 1, "C:\\other\\hct.sys"}; }},
         {"install"}, hctctl::kExitServiceConflict, {}, {"C:\\other\\hct.sys", "sc delete hct"}},
        {"service marked for deletion", {mouse, [](FakeSystem &f) { f.state.services["hct"] = {1, 3, 1, kOurs, true, true}; }},
         {"install"}, hctctl::kExitServiceMarked, {}, {"marked for deletion"}},
        {"x64 with test signing off", {mouse, [](FakeSystem &f) { f.integrity.options = hctctl::kCodeIntegrityEnabled; }},
         {"install"}, hctctl::kExitSigningPolicy, {}, {"bcdedit /set testsigning on", "state unknown here"}},
        {"x64 with test signing off and Secure Boot on",
         {mouse, [](FakeSystem &f) { f.integrity = {0, hctctl::kCodeIntegrityEnabled, hctctl::Tristate::On}; }}, {"install"},
         hctctl::kExitSigningPolicy, {}, {"Secure Boot must be off", "on here: turn it off in the firmware"}},
        {"uninstall, not administrator", {installed, [](FakeSystem &f) { f.admin = false; }}, {"uninstall"},
         hctctl::kExitNotAdministrator, {}, {"uninstall changes the system"}},
        // A 32-bit hctctl.exe on 64-bit Windows sees SysWOW64 for System32\drivers.
        {"uninstall, x86 tool on x64", {installed, x86Tool}, {"uninstall"}, hctctl::kExitWrongArchitecture, {},
         {"built for x86 and this Windows is x64"}},
        {"uninstall --all, x86 tool on x64", {installed, x86Tool}, {"uninstall", "--all"}, hctctl::kExitWrongArchitecture},
        {"uninstall, two nodes list hct", {installed, Mouse("1&2", Strings{"hct"})}, {"uninstall"},
         hctctl::kExitSeveralDevices, {},
         {"2 device nodes list hct; name one with --device ID (or use --all)", "  " + kMouse1, "  " + kMouse2}},
        {"uninstall, unknown device", {installed}, {"uninstall", "--device", "USB\\VID_9999&PID_9999"},
         hctctl::kExitUnknownDevice},
    };
    std::set<int> codes;
    for (const Row &row : rows) {
        Play(row);
        EXPECT_TRUE(out.empty()) << row.name << ": " << out;
        EXPECT_EQ(err.rfind("hctctl: ", 0), 0u) << row.name << ": " << err;
        // One message: the lists of candidates and the steps follow its first line, indented.
        for (size_t at = err.find('\n'); at != std::string::npos && at + 1 < err.size(); at = err.find('\n', at + 1))
            EXPECT_EQ(err[at + 1], ' ') << row.name << ": " << err;
        codes.insert(row.code);
    }
    EXPECT_EQ(codes, (std::set<int>{4, 5, 6, 7, 8, 9, 10, 12, 13}));
}

// ---- install -----------------------------------------------------------------------------------

TEST_F(HctctlRun, InstallCopiesCreatesPutsHctFirstAndRestartsOrUndoesWhatItDid)
{
    const Fact fresh = Mouse("1&1"), second = Mouse("1&2"), installed = InstalledOn1();
    // An older file and a service of ours set to start at boot.
    const Fact older = [](FakeSystem &f) {
        f.state.files[kInstalled] = hctctl_test::PeImage(Machine::X64, 7);
        f.state.services["hct"] = {1, 1, 1, kOurs};
    };
    const Fact foo = Mouse("1&1", Strings{"foo"});
    const std::string other = "USB\\VID_5555&PID_0002\\7&1";
    const std::vector<Row> rows{
        {"the other filters stay, after hct", {Mouse("1&1", Strings{"foo", "bar"})}, {"install"}, hctctl::kExitOk,
         {kCopy, kCreate, Set(kMouse1, "hct,foo,bar"), Restart(kMouse1)},
         {"test signing is on", "unplug the mouse and plug it in again", "after the replug or restart: hctctl list",
          "hctctl: installed"},
         Gets({"hct", "foo", "bar"})},
        {"no value before", {fresh}, {"install"}, hctctl::kExitOk, {kCopy, kCreate, Set(kMouse1, "hct"), Restart(kMouse1)},
         {}, Gets({"hct"})},
        {"again: nothing changes", {installed}, {"install"}, hctctl::kExitOk, {},
         {"is already this driver", "already lists hct first"}},
        {"a new build: copied, the device restarted though its value is right",
         {installed, [](FakeSystem &f) { f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X64, 1); }},
         {"install"}, hctctl::kExitOk, {kCopy, Restart(kMouse1)}, {}, {Installed}},
        {"the service disabled by hand is updated, not created",
         {installed, [](FakeSystem &f) { f.state.services["hct"].start = 4; }}, {"install"}, hctctl::kExitOk, {kConfigure},
         {"updated the service hct"}, {Installed}},
        // Our file under another spelling is ours, and gets the spelling Wine's kernel can load too.
        {"our file spelt relative to %SystemRoot%",
         {installed, [](FakeSystem &f) { f.state.services["hct"].imagePath = "System32\\drivers\\hct.sys"; }},
         {"install"}, hctctl::kExitOk, {kConfigure}, {}, {Installed}},
        {"--all", {fresh, second}, {"install", "--all"}, hctctl::kExitOk,
         {kCopy, kCreate, Set(kMouse1, "hct"), Set(kMouse2, "hct"), Restart(kMouse1), Restart(kMouse2)}, {},
         {Installed, Value(kMouse1, Strings{"hct"}), Value(kMouse2, Strings{"hct"})}},
        {"--device, an instance ID in another case", {fresh, second}, {"install", "--device", "usb\\vid_1234&pid_0001\\1&2"},
         hctctl::kExitOk, {kCopy, kCreate, Set(kMouse2, "hct"), Restart(kMouse2)}, {},
         {Installed, Value(kMouse2, Strings{"hct"})}},
        {"--device, the hardware ID of one node", {fresh, Mouse("7&1", {}, "VID_5555&PID_0002")},
         {"install", "--device", "USB\\VID_5555&PID_0002"}, hctctl::kExitOk,
         {kCopy, kCreate, Set(other, "hct"), Restart(other)}, {}, {Installed, Value(other, Strings{"hct"})}},
        {"--device, a node not known as a mouse",
         {fresh, [](FakeSystem &f) { f.state.nodes[0].node.compatibleIds = {"USB\\Class_03"}; }},
         {"install", "--device", kMouse1.c_str()}, hctctl::kExitOk, {kCopy, kCreate, Set(kMouse1, "hct"), Restart(kMouse1)},
         {"is not known as a USB mouse node; hct goes below its function driver all the same"}, Gets({"hct"})},
        // Each step made to fail in turn: the undoing runs in reverse order and leaves the state found.
        {"copy fails", {fresh, Fails("copy")}, {"install"}, hctctl::kExitStepFailed, {kCopy + " FAILED"}, {"install undone"}},
        {"create fails", {fresh, Fails("create-service")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kCreate + " FAILED", kRemove}, {"install undone"}},
        {"set fails", {fresh, Fails("set")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kCreate, Set(kMouse1, "hct") + " FAILED", "delete service hct", kRemove}, {"install undone"}},
        {"the second of two values fails", {fresh, second, Fails("set", 2)}, {"install", "--all"}, hctctl::kExitStepFailed,
         {kCopy, kCreate, Set(kMouse1, "hct"), Set(kMouse2, "hct") + " FAILED", Delete(kMouse1), "delete service hct", kRemove}},
        {"copy over an older one fails", {foo, older, Fails("copy")}, {"install"}, hctctl::kExitStepFailed, {kCopy + " FAILED"}},
        {"update of our service fails", {foo, older, Fails("configure-service")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kConfigure + " FAILED", "write " + kInstalled}},
        {"set after an update fails", {foo, older, Fails("set")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kConfigure, Set(kMouse1, "hct,foo") + " FAILED", "configure service hct start 1 " + kOurs, "write " + kInstalled}},
        // The steps after a failed undo still run: the file goes, the value stays untouched.
        {"an undo fails", {fresh, Fails("set"), Fails("delete-service")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kCreate, Set(kMouse1, "hct") + " FAILED", "delete service hct FAILED", kRemove},
         {"remove it with: sc delete hct", "install partly undone"},
         {[](State &s) { s.services["hct"] = {1, 3, 1, kOurs}; }}},
    };
    for (const Row &row : rows)
        Play(row);
}

// What 64-bit Windows answers about signatures decides; 32-bit Windows is not asked (its answer
// here would refuse).
TEST_F(HctctlRun, InstallGoesOnWhereWindowsLoadsTheTestSignedImage)
{
    auto answer = [](hctctl::CodeIntegrity ci) { return Fact([=](FakeSystem &f) { f.integrity = ci; }); };
    const Fact mouse = Mouse("1&1"), enforced = answer({0, hctctl::kCodeIntegrityEnabled});
    const Fact x86 = [](FakeSystem &f) {
        f.native = f.tool = Machine::X86;
        f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X86);
    };
    const Strings steps{kCopy, kCreate, Set(kMouse1, "hct"), Restart(kMouse1)};
    const std::vector<Row> rows{
        {"code integrity off", {mouse, answer({0, 0})}, {"install"}, hctctl::kExitOk, steps, {"no driver signature is checked"},
         Gets({"hct"})},
        {"the state unreadable", {mouse, answer({0xC0000003, 0})}, {"install"}, hctctl::kExitOk, steps,
         {"could not be read (status 0xC0000003)"}, Gets({"hct"})},
        // Measured: Wine answers "enforced, no test signing" and loads unsigned drivers all the same.
        {"Wine", {mouse, answer({0, hctctl::kCodeIntegrityEnabled, hctctl::Tristate::Unknown, true})}, {"install"},
         hctctl::kExitOk, steps, {"Wine: its loader loads drivers without checking a signature"}, Gets({"hct"})},
        {"x86 Windows", {mouse, x86, enforced}, {"install"}, hctctl::kExitOk, steps, {"hctctl: installed"}, Gets({"hct"}),
         {"signing", "code integrity"}},
    };
    for (const Row &row : rows)
        Play(row);
}

// After a restart that worked, each answer of CM_Get_DevNode_Status; where the restart did not
// happen or waits for a reboot, the check is left to then.
TEST_F(HctctlRun, AfterTheRestartANodeWithAProblemGetsItsValueBackAndTheProblemNamed)
{
    const Strings steps{kCopy, kCreate, Set(kMouse1, "hct,foo"), Restart(kMouse1)};
    const Strings putBack{kCopy, kCreate, Set(kMouse1, "hct,foo"), Restart(kMouse1), Set(kMouse1, "foo"), Restart(kMouse1)};
    const Fact mouse = Mouse("1&1", Strings{"foo"});
    const Fact restarts = [](FakeSystem &f) { f.restart = {hctctl::RestartOutcome::Restarted, 0}; };
    auto status = [](hctctl::NodeStatus st) { return Fact([=](FakeSystem &f) { f.status = st; }); };
    auto problem = [&](uint32_t p) { return status({0, true, hctctl::kDnHasProblem, p}); };
    // What a node with a problem is told, besides the problem.
    auto back = [](const std::string &problemText) {
        return Strings{problemText, "its LowerFilters put back: foo", "the service hct and hct.sys stay"};
    };
    const std::vector<Row> rows{
        {"started", {mouse, restarts, status({0, true, hctctl::kDnStarted, 0})}, {"install"}, hctctl::kExitOk, steps,
         {"restarted " + kMouse1, "came back after the restart: no problem code"}, Gets({"hct", "foo"})},
        {"52", {mouse, restarts, problem(52)}, {"install"}, hctctl::kExitNodeProblem, putBack,
         back("problem code 52 (CM_PROB_UNSIGNED_DRIVER): Windows cannot verify the signature"), Gets({"foo"})},
        {"39", {mouse, restarts, problem(39)}, {"install"}, hctctl::kExitNodeProblem, putBack,
         back("problem code 39 (CM_PROB_DRIVER_FAILED_LOAD): a driver of its stack would not load"), Gets({"foo"})},
        {"31", {mouse, restarts, problem(31)}, {"install"}, hctctl::kExitNodeProblem, putBack,
         back("problem code 31 (CM_PROB_FAILED_ADD)"), Gets({"foo"})},
        {"28", {mouse, restarts, problem(28)}, {"install"}, hctctl::kExitNodeProblem, putBack,
         back("problem code 28 (CM_PROB_FAILED_INSTALL)"), Gets({"foo"})},
        {"10", {mouse, restarts, problem(10)}, {"install"}, hctctl::kExitNodeProblem, putBack,
         back("problem code 10 (CM_PROB_FAILED_START): the device could not start"), Gets({"foo"})},
        {"43", {mouse, restarts, problem(43)}, {"install"}, hctctl::kExitNodeProblem, putBack, back("problem code 43\n"),
         Gets({"foo"})},
        {"a problem where there was no value: it goes again", {Mouse("1&1"), restarts, problem(52)}, {"install"},
         hctctl::kExitNodeProblem, {kCopy, kCreate, Set(kMouse1, "hct"), Restart(kMouse1), Delete(kMouse1), Restart(kMouse1)},
         {"its LowerFilters put back: (no value)"}, {Installed}},
        // Not a failure: the check comes after the restart.
        {"14", {mouse, restarts, problem(14)}, {"install"}, hctctl::kExitOk, steps,
         {"once Windows restarts", "after the replug or restart: hctctl list"}, Gets({"hct", "foo"})},
        {"Wine's stub", {mouse, restarts, status({0, false, 0, 0})}, {"install"}, hctctl::kExitOk, steps,
         {"unknown (CM_Get_DevNode_Status gave none)"}, Gets({"hct", "foo"})},
        {"a reboot needed", {mouse, [](FakeSystem &f) { f.restart.outcome = hctctl::RestartOutcome::NeedsReboot; }},
         {"install"}, hctctl::kExitOk, steps, {"restart Windows (or replug the mouse)", "after the replug or restart: hctctl list"},
         Gets({"hct", "foo"})},
    };
    for (const Row &row : rows)
        Play(row);
}

// The file's own renames pending for the next restart: an uninstall's deletion is cancelled, a
// loaded image is replaced then and nothing restarted now.
TEST_F(HctctlRun, InstallCancelsTheFilesPendingDeletionAndSchedulesTheReplacementOfALoadedOne)
{
    const Fact loaded = [](FakeSystem &f) {
        f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X64, 1);  // a new build
        f.copyOverError = hctctl::win32::kSharingViolation;
    };
    // As an uninstall with the driver loaded leaves it: the file, its deletion pending, and another's.
    const Fact uninstalledLoaded = [](FakeSystem &f) {
        f.state.files[kInstalled] = f.state.files[FakeSystem::kImage];
        f.state.AddPending("C:\\other.tmp", "");
        f.state.AddPending(kInstalled, "");
    };
    const Change othersOnly = [](State &s) {
        s.pending.clear();
        s.AddPending("C:\\other.tmp", "");  // the other entry byte for byte
    };
    const Change scheduled = [](State &s) {
        s.files[kStaged] = s.files[FakeSystem::kImage];
        s.AddPending(kStaged, "!" + kInstalled);
    };
    const std::string copyStaged = "copy C:\\pkg\\x64\\hct.sys -> " + kStaged;
    const std::string schedule = "replace at restart " + kInstalled + " by " + kStaged;
    const std::vector<Row> rows{
        {"after an uninstall while loaded", {Mouse("1&1"), uninstalledLoaded}, {"install"}, hctctl::kExitOk,
         {"write pending renames", kCreate, Set(kMouse1, "hct"), Restart(kMouse1)}, {"cancelled the deletion of " + kInstalled},
         {Installed, Value(kMouse1, Strings{"hct"}), othersOnly}},
        {"over a loaded image", {InstalledOn1(), loaded}, {"install"}, hctctl::kExitRestartRequired,
         {kCopy, copyStaged, schedule}, {"done, restart required"}, {scheduled}},
        {"over a loaded image, a later step fails",
         {InstalledOn1(), loaded, [](FakeSystem &f) { f.state.services["hct"].start = 4; }, Fails("configure-service")},
         {"install"}, hctctl::kExitStepFailed,
         {kCopy, copyStaged, schedule, kConfigure + " FAILED", "delete pending renames", "remove " + kStaged},
         {"install undone"}},
    };
    for (const Row &row : rows)
        Play(row);
}

// ---- uninstall, list, on and off ---------------------------------------------------------------

TEST_F(HctctlRun, UninstallPutsBackEachValueAndRemovesServiceAndFileOnceNoNodeListsHct)
{
    const Fact installed = InstalledOn1(), second = Mouse("1&2", Strings{"hct"});
    const Fact unplugged1 = [](FakeSystem &f) { f.state.nodes[0].node.present = false; };
    const Change deleted = [](State &s) { s.AddPending(kInstalled, ""); };
    const std::vector<Row> rows{
        {"hct all the value held: the value goes", {installed}, {"uninstall"}, hctctl::kExitOk,
         {Delete(kMouse1), Restart(kMouse1), "delete service hct", kRemove}, {"hctctl: uninstalled"},
         {Uninstalled, Value(kMouse1, {})}},
        {"the other filters stay in order", {InstalledOn1({"hct", "foo", "bar"})}, {"uninstall"}, hctctl::kExitOk,
         {Set(kMouse1, "foo,bar"), Restart(kMouse1), "delete service hct", kRemove}, {},
         {Uninstalled, Value(kMouse1, Strings{"foo", "bar"})}},
        {"nothing installed", {Mouse("1&1", Strings{"foo"})}, {"uninstall"}, hctctl::kExitOk, {},
         {"hctctl: nothing to uninstall"}},
        {"another node still lists hct", {installed, second}, {"uninstall", "--device", kMouse2.c_str()}, hctctl::kExitOk,
         {Delete(kMouse2), Restart(kMouse2)}, {"the service hct and its file stay: still listed by " + kMouse1},
         {Value(kMouse2, {})}},
        // A node not plugged in loads hct when it comes back.
        {"one not plugged in still lists hct", {installed, second, unplugged1}, {"uninstall", "--device", kMouse2.c_str()},
         hctctl::kExitOk, {Delete(kMouse2), Restart(kMouse2)}, {"still listed by " + kMouse1}, {Value(kMouse2, {})}},
        {"--all, one not plugged in", {installed, second, unplugged1}, {"uninstall", "--all"}, hctctl::kExitOk,
         {Delete(kMouse1), Delete(kMouse2), Restart(kMouse1), Restart(kMouse2), "delete service hct", kRemove}, {},
         {Uninstalled, Value(kMouse1, {}), Value(kMouse2, {})}},
        {"a failed value edit puts back the ones before", {InstalledOn1({"hct", "foo"}), second, Fails("delete-value")},
         {"uninstall", "--all"}, hctctl::kExitStepFailed,
         {Set(kMouse1, "foo"), Delete(kMouse2) + " FAILED", Set(kMouse1, "hct,foo")}, {"uninstall undone"}},
        {"another driver's service is left alone",
         {[](FakeSystem &f) { f.state.services["hct"] = {1, 3, 1, "C:\\other\\hct.sys"}; }}, {"uninstall"},
         hctctl::kExitServiceConflict, {}, {"C:\\other\\hct.sys", "left alone"}},
        {"a service that cannot be deleted", {installed, Fails("delete-service")}, {"uninstall"}, hctctl::kExitStepFailed,
         {Delete(kMouse1), Restart(kMouse1), "delete service hct FAILED", kRemove}, {"remove it with: sc delete hct"},
         {Value(kMouse1, {}), [](State &s) { s.files.erase(kInstalled); }}},
        {"the driver loaded: the service marked, the file deleted at the restart",
         {installed, [](FakeSystem &f) { f.state.services["hct"].running = true; }, Fails("remove")}, {"uninstall"},
         hctctl::kExitOk,
         {Delete(kMouse1), Restart(kMouse1), "delete service hct", kRemove + " FAILED", "remove at restart " + kInstalled},
         {"marked for deletion", "it is deleted at the next restart"},
         {Value(kMouse1, {}), [](State &s) { s.services.clear(); }, deleted}},
        // Once the driver is unloaded (replug), uninstall again finishes.
        {"again after the replug", {Mouse("1&1"), Given([](State &s) { s.files[kInstalled] = {}; }), Given(deleted)},
         {"uninstall"}, hctctl::kExitOk, {kRemove}, {"no device node lists hct"}, {[](State &s) { s.files.erase(kInstalled); }}},
    };
    for (const Row &row : rows)
        Play(row);
}

// list shows; on and off switch. Neither changes anything, and the 32-bit tool on 64-bit Windows
// may run them.
TEST_F(HctctlRun, ListShowsAndOnAndOffSwitchTheLinksPresent)
{
    const Fact listed = [](FakeSystem &f) {
        DeviceNode named = UsbMouse("1&1");
        named.name = "USB Optical Mouse";  // the HID child's bus-reported name
        f.state.nodes.push_back({named, Strings{"hct", "foo"}});
        Mouse("1&2")(f);
        DeviceNode keyboard = UsbMouse("3&1", "VID_4444&PID_0003");
        keyboard.compatibleIds = {"USB\\Class_03&SubClass_01&Prot_01"};
        f.state.nodes.push_back({keyboard, {}});
        Installed(f.state);
        f.status = {0, true, hctctl::kDnHasProblem, 52};
        f.links = {1, 3};
    };
    const Fact installed = InstalledOn1();
    const Fact x86Tool = [](FakeSystem &f) { f.tool = Machine::X86; };
    // Each state in which a node that lists hct does not start, now or after the next restart.
    auto links = [](std::set<unsigned> present) { return Fact([=](FakeSystem &f) { f.links = present; }); };
    auto refuses = [](unsigned link, uint32_t e) { return Fact([=](FakeSystem &f) { f.refuse[link] = e; }); };
    const std::string link1 = "\\\\.\\SLN_MouseExtra1", link4 = "\\\\.\\SLN_MouseExtra4", b = "    broken:       ";
    const std::vector<Row> rows{
        {"list", {listed}, {"list"}, hctctl::kExitOk, {},
         {kMouse1 + "\n    name:         USB Optical Mouse\n    hardware ID:  USB\\VID_1234&PID_0001&REV_0100\n"
                    "    service:      HidUsb\n    status:       problem code 52 (CM_PROB_UNSIGNED_DRIVER)",
          "LowerFilters: hct, foo\n    hct:          yes, first",
          kMouse2 + "\n    name:         USB Input Device (the node's description: no bus-reported name)\n",
          "LowerFilters: (no value)\n    hct:          no\n", link1 + " -> \\Device\\MouseExtra0\n", "\\\\.\\SLN_MouseExtra3"},
         {}, {"broken:", "VID_4444"}},
        {"no service", {installed, Given([](State &s) { s.services.clear(); })}, {"list"}, hctctl::kExitOk, {},
         {b + "hct is listed but there is no service hct"}},
        {"another driver's service", {installed, Given([](State &s) { s.services["hct"].imagePath = "C:\\x.sys"; })},
         {"list"}, hctctl::kExitOk, {}, {b + "the service hct is another driver's"}},
        {"service marked", {installed, Given([](State &s) { s.services["hct"].markedForDeletion = true; })}, {"list"},
         hctctl::kExitOk, {}, {b + "the service hct is marked for deletion"}},
        {"file missing", {installed, Given([](State &s) { s.files.erase(kInstalled); })}, {"list"}, hctctl::kExitOk, {},
         {b + kInstalled + " is missing"}},
        {"file to be deleted", {installed, Given([](State &s) { s.AddPending(kInstalled, ""); })}, {"list"},
         hctctl::kExitOk, {}, {b + kInstalled + " is deleted at the next restart"}},
        {"file to be replaced", {installed, Given([](State &s) { s.AddPending(kStaged, "!" + kInstalled); })}, {"list"},
         hctctl::kExitOk, {}, {b + kInstalled + " is replaced at the next restart"}},
        {"on: every link present, each named", {links({1, 4})}, {"on"}, hctctl::kExitOk, {"on 1", "on 4"},
         {"hctctl: extra scroll turned on (" + link1 + ")\nhctctl: extra scroll turned on (" + link4 + ")\n"}, {},
         {"failed"}},
        {"off: one link refuses", {links({1, 4}), refuses(4, hctctl::win32::kInvalidParameter)}, {"off"},
         hctctl::kExitRefused, {"off 1", "off 4"}, {"turned off (" + link1 + ")", "SLN_MouseExtra4 failed: error 87"}},
        {"on: no link", {}, {"on"}, hctctl::kExitNoDevice, {}, {"not installed"}},
        {"on N: not there", {links({1})}, {"on", "2"}, hctctl::kExitNoDevice, {}, {"opening \\\\.\\SLN_MouseExtra2 failed"}},
        {"on N: refused", {links({2}), refuses(2, hctctl::win32::kDeviceRemoved)}, {"on", "2"}, hctctl::kExitRefused,
         {"on 2"}, {"error 1617"}},
        {"list from the 32-bit tool", {installed, x86Tool}, {"list"}, hctctl::kExitOk, {}, {kMouse1}},
        {"on from the 32-bit tool", {installed, x86Tool, links({1})}, {"on"}, hctctl::kExitOk, {"on 1"}},
        {"off N from the 32-bit tool", {installed, x86Tool, links({1})}, {"off", "1"}, hctctl::kExitOk, {"off 1"}},
    };
    for (const Row &row : rows)
        Play(row);
}

// ---- on --keep: each arrival once, within two seconds, nothing opened while idle ----------------

TEST_F(HctctlRun, KeepSwitchesEachArrivalOnceAndStopsAsTold)
{
    struct Keep {
        const char *name;
        std::vector<Fact> given;
        Words words;
        std::vector<std::pair<uint64_t, unsigned>> latest;  // each request sent: by when, and its link
        uint64_t stopsFrom, stopsBy;
        Strings says;
        size_t errLines = 0;
    };
    const Fact link1 = [](FakeSystem &f) { f.links = {1}; };
    const Fact arrivals = [](FakeSystem &f) {
        f.timeline[5500] = {1, 2};   // a second mouse
        f.timeline[9000] = {2};      // the first unplugged
        f.timeline[12300] = {1, 2};  // and plugged in again: a new arrival
    };
    const std::vector<Keep> rows{
        {"arrivals, an unplug and a replug", {link1, arrivals}, {"on", "--keep", "--for", "20"},
         {{0, 1}, {5500 + 2000, 2}, {12300 + 2000, 1}}, 20000, 21000,
         {"turned on (\\\\.\\SLN_MouseExtra2)", "20 s passed: stopped"}},
        {"Ctrl+C", {link1, [](FakeSystem &f) { f.stopAt = 3200; }}, {"on", "--keep"}, {{0, 1}}, 3200, 3200,
         {"hctctl: stopped"}},
        {"the stop file", {[](FakeSystem &f) { f.filesAt[4100] = "C:\\stop-hctctl"; }},
         {"on", "--keep", "--stop-file", "C:\\stop-hctctl"}, {}, 4100, 5000, {"C:\\stop-hctctl exists: stopped"}},
        // A refused arrival is reported once, not retried every second.
        {"a refused arrival", {link1, [](FakeSystem &f) { f.refuse[1] = hctctl::win32::kInvalidParameter; }},
         {"on", "--keep", "--for", "5"}, {{0, 1}}, 5000, 6000, {}, 2},
    };
    for (const Keep &k : rows) {
        EXPECT_EQ(Run(k.given, k.words), hctctl::kExitOk) << k.name << ": " << err;
        ASSERT_EQ(fake.switched.size(), k.latest.size()) << k.name;
        for (size_t i = 0; i < k.latest.size(); ++i) {
            EXPECT_EQ(fake.switched[i].second, k.latest[i].second) << k.name << " " << i;
            EXPECT_LE(fake.switched[i].first, k.latest[i].first) << k.name << " " << i;
        }
        EXPECT_GE(fake.now, k.stopsFrom) << k.name;
        EXPECT_LE(fake.now, k.stopsBy) << k.name;
        for (unsigned w : fake.waits)
            EXPECT_LE(w, 1000u) << k.name;  // at most a second between looks
        EXPECT_LE(fake.looks, fake.now / 1000 + 4) << k.name;  // about one look a second: no busy loop
        for (const std::string &s : k.says)
            EXPECT_NE(out.find(s), std::string::npos) << k.name << ": " << out;
        EXPECT_EQ(size_t(std::count(err.begin(), err.end(), '\n')), k.errLines) << k.name << ": " << err;
    }
}

// ---- the pure parts ----------------------------------------------------------------------------

// hct goes first, never twice, the others keep their order; out, it takes every hct in any case.
TEST(HctctlFilters, InsertPutsHctFirstOnceAndRemoveTakesOutEveryHct)
{
    struct Case {
        Strings entries, first, without;
        bool lists;
    };
    const std::vector<Case> cases{
        {{}, {"hct"}, {}, false},
        {{"foo", "bar"}, {"hct", "foo", "bar"}, {"foo", "bar"}, false},
        {{"hct"}, {"hct"}, {}, true},
        {{"hct", "foo"}, {"hct", "foo"}, {"foo"}, true},
        {{"foo", "HCT", "bar", "hCt"}, {"hct", "foo", "bar"}, {"foo", "bar"}, true},
        // A name that merely contains hct is another filter.
        {{"hctx", "xhct"}, {"hct", "hctx", "xhct"}, {"hctx", "xhct"}, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hctctl::WithFilterFirst(c.entries, "hct"), c.first) << testing::PrintToString(c.entries);
        EXPECT_EQ(hctctl::WithoutFilter(c.entries, "hct"), c.without) << testing::PrintToString(c.entries);
        EXPECT_EQ(hctctl::ListsFilter(c.entries, "hct"), c.lists) << testing::PrintToString(c.entries);
    }
}

TEST(HctctlFilters, MultiStringValuesSplitAndJoinWithinTheirLength)
{
    const char16_t value[] = u"hct\0foo\0\0";
    EXPECT_EQ(hctctl::SplitMultiString(value, 9), (std::vector<std::u16string>{u"hct", u"foo"}));
    // The last string without its terminator, and nothing read past the count.
    const char16_t cut[] = {u'a', 0, u'b', u'c', u'X'};
    EXPECT_EQ(hctctl::SplitMultiString(cut, 4), (std::vector<std::u16string>{u"a", u"bc"}));
    // An empty value, and one that is a single NUL.
    EXPECT_TRUE(hctctl::SplitMultiString(value, 0).empty());
    EXPECT_TRUE(hctctl::SplitMultiString(u"\0", 1).empty());
    // Join writes each string with its NUL and the closing NUL.
    EXPECT_EQ(hctctl::JoinMultiString(std::vector<std::u16string>{u"hct", u"foo"}), std::u16string(value, 9));
    EXPECT_EQ(hctctl::JoinMultiString(std::vector<std::u16string>{}), std::u16string(1, u'\0'));
}

// A hardware ID under USB\ and either the boot mouse compatible ID, in any case, or a child of class Mouse.
TEST(HctctlDevices, AUsbMouseNodeHasAUsbHardwareIdAndTheBootMouseCompatibleIdOrAMouseChild)
{
    const std::vector<std::tuple<const char *, std::function<void(DeviceNode &)>, bool>> cases{
        {"the boot mouse", [](DeviceNode &) {}, true},
        {"in lower case", [](DeviceNode &n) { n.compatibleIds = {"usb\\class_03&subclass_01&prot_02"}; }, true},
        {"a keyboard", [](DeviceNode &n) { n.compatibleIds = {"USB\\Class_03&SubClass_01&Prot_01", "USB\\Class_03"}; }, false},
        {"not of the boot subclass", [](DeviceNode &n) { n.compatibleIds = {"USB\\Class_03&SubClass_00&Prot_00"}; }, false},
        {"not of the boot subclass, a Mouse child (Windows)",
         [](DeviceNode &n) {
             n.compatibleIds = {"USB\\Class_03"};
             n.mouseChild = true;
         },
         true},
        // The HID node above the USB node never sees a URB: not a place for the filter.
        {"the HID node",
         [](DeviceNode &n) {
             n.hardwareIds = {"HID\\VID_1234&PID_0001", "HID_DEVICE_SYSTEM_MOUSE"};
             n.mouseChild = true;
         },
         false},
    };
    for (const auto &[name, change, mouse] : cases) {
        DeviceNode n = UsbMouse("1&1");
        change(n);
        EXPECT_EQ(hctctl::IsUsbMouseNode(n), mouse) << name;
    }
}

TEST(HctctlImage, MachineOfAPeImageAndTheServicePathsThatAreOurs)
{
    EXPECT_EQ(hctctl::PeMachine(hctctl_test::PeImage(Machine::X86)), Machine::X86);
    EXPECT_EQ(hctctl::PeMachine(hctctl_test::PeImage(Machine::X64)), Machine::X64);
    EXPECT_EQ(hctctl::PeMachine(hctctl_test::PeImage(Machine(0x01c4))), Machine::Unknown);  // ARMv7
    std::vector<uint8_t> cut = hctctl_test::PeImage(Machine::X64);
    cut.resize(0x85);  // machine field cut in half
    EXPECT_EQ(hctctl::PeMachine(cut), Machine::Unknown);
    std::vector<uint8_t> far = hctctl_test::PeImage(Machine::X64);
    far[0x3f] = 0x7f;  // e_lfanew far past the end
    EXPECT_EQ(hctctl::PeMachine(far), Machine::Unknown);
    EXPECT_EQ(hctctl::PeMachine(std::vector<uint8_t>{'M', 'Z'}), Machine::Unknown);

    const char *drivers = "C:\\Windows\\System32\\drivers";
    for (const char *p : {"System32\\drivers\\hct.sys", "system32\\DRIVERS\\hct.sys",
                          "\\SystemRoot\\System32\\drivers\\hct.sys", "%SystemRoot%\\system32\\drivers\\hct.sys",
                          "C:\\Windows\\System32\\drivers\\hct.sys", "\\??\\C:\\WINDOWS\\system32\\drivers\\hct.sys"})
        EXPECT_TRUE(hctctl::IsOwnImagePath(p, drivers)) << p;
    for (const char *p : {"System32\\drivers\\other.sys", "C:\\tools\\hct.sys", "\\SystemRoot\\hct.sys", ""})
        EXPECT_FALSE(hctctl::IsOwnImagePath(p, drivers)) << p;
}

// '|' stands for a NUL: the UTF-16LE bytes of a REG_MULTI_SZ.
std::vector<uint8_t> Multi(const std::string &text)
{
    std::vector<uint8_t> b;
    for (char c : text)
        b.insert(b.end(), {uint8_t(c == '|' ? 0 : c), 0});
    return b;
}

TEST(HctctlPending, OnlyThePairsOfTheFileGoEveryOtherByteStays)
{
    const std::string hct = "C:\\Windows\\System32\\drivers\\hct.sys";
    struct Case {
        std::string value, left;
        unsigned removed;
        bool deletion, replacement;
    };
    const std::vector<Case> cases{
        {"\\??\\" + hct + "|||", "|", 1, true, false},
        {"\\??\\C:\\a.tmp||\\??\\C:\\WINDOWS\\system32\\DRIVERS\\HCT.SYS||\\??\\C:\\b.new|!\\??\\C:\\b.dll||",
         "\\??\\C:\\a.tmp||\\??\\C:\\b.new|!\\??\\C:\\b.dll||", 1, true, false},
        {"\\??\\" + hct + ".new|!\\??\\" + hct + "||", "|", 1, false, true},
        {"\\??\\" + hct + ".new|!\\??\\" + hct + "|\\??\\" + hct + "|||", "|", 2, true, true},  // upgrade, then uninstall
        {"\\??\\C:\\hct.sys||\\??\\" + hct + "2||", "\\??\\C:\\hct.sys||\\??\\" + hct + "2||", 0, false, false},
        {"\\??\\" + hct + "|", "", 1, true, false},  // cut short: nothing past the end read
        {"", "", 0, false, false},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> raw = Multi(c.value), left = Multi(c.left);
        raw.push_back(0x7f), left.push_back(0x7f);  // an odd byte at the end stays too
        const hctctl::PendingEdit e = hctctl::WithoutPendingFor(raw, hct);
        EXPECT_EQ(e.value, left) << c.value;
        EXPECT_EQ(e.removed, c.removed) << c.value;
        EXPECT_EQ(e.deletion, c.deletion) << c.value;
        EXPECT_EQ(e.replacement, c.replacement) << c.value;
        EXPECT_EQ(e.empty, c.left.size() <= 1) << c.value;
    }
}

}  // namespace

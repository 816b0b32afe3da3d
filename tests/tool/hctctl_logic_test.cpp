// hctctl's own logic against a fake system. The commands are the rows of one table: the machine
// before, the command line, the exit code, what is printed, every change in its order and the state
// after. Around it, the pure parts: the LowerFilters edits, which nodes are mice, PE images, image
// paths and pending renames.
#include "tools/hctctl/hctctl_logic.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tool/hctctl_fake.h"

namespace {

using hctctl::DeviceNode;
using hctctl::Machine;
using hctctl_test::FakeSystem;
using hctctl_test::Strings;
using hctctl_test::UsbMouse;
using State = FakeSystem::State;

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

// What uninstall takes away once no node lists hct.
const Change kNoService = [](State &s) { s.services.clear(); };
const Change kNoFile = [](State &s) { s.files.erase(kInstalled); };

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

// The state after an install on the first mouse: its value as given.
std::vector<Change> Gets(Strings value)
{
    return {Installed, Value(kMouse1, std::move(value))};
}

struct Row {
    std::string name;
    std::vector<Fact> given;  // the machine before, from the fake's defaults
    std::vector<const char *> words;
    int code = hctctl::kExitOk;
    Strings log = {};   // every change, restart and request, in order
    Strings says = {};  // pieces of what is printed (out and err)
    std::vector<Change> after = {};  // applied to the state before, it gives the state after
    Strings never = {};  // what is not printed
    uint64_t stops = 0;  // on --keep: when (virtual ms) it stops, within a second
};

// The exit codes that leave everything as it was, each for its own reason: the refusals.
const std::set<int> kRefusals{4, 5, 6, 7, 8, 9, 10, 12, 13};

// Runs a row's command on its machine and checks all it expects. Returns the code of a refusal
// (nothing changed, one message on err and nothing on out), else 0.
int Play(const Row &row)
{
    FakeSystem fake;
    for (const Fact &g : row.given)
        g(fake);
    State expected = fake.state;
    for (const Change &c : row.after)
        c(expected);
    std::ostringstream o, e;
    const int code = hctctl::Run(hctctl_test::ParseWords(row.words), fake, o, e);  // each row's words parse
    const std::string out = o.str(), err = e.str();
    const std::string said = out + err;
    EXPECT_EQ(code, row.code) << row.name << "\n" << said;
    EXPECT_EQ(fake.log, row.log) << row.name;
    EXPECT_TRUE(fake.state == expected) << row.name;
    for (const std::string &s : row.says)
        EXPECT_NE(said.find(s), std::string::npos) << row.name << ": no '" << s << "' in\n" << said;
    for (const std::string &s : row.never)
        EXPECT_EQ(said.find(s), std::string::npos) << row.name << ": '" << s << "' in\n" << said;
    // on --keep: at most a second between looks, about one look a second (no busy loop), each
    // request within two seconds of its link's arrival.
    EXPECT_LE(fake.longestWait, 1000u) << row.name;
    EXPECT_LE(fake.looks, fake.now / 1000 + 4) << row.name;
    EXPECT_LE(fake.slowest, 2000u) << row.name;
    EXPECT_GE(fake.now, row.stops) << row.name;
    EXPECT_LE(fake.now, row.stops + 1000) << row.name;
    if (!row.log.empty() || !kRefusals.count(code))
        return 0;
    EXPECT_TRUE(out.empty()) << row.name << ": " << out;
    EXPECT_EQ(err.rfind("hctctl: ", 0), 0u) << row.name << ": " << err;
    // One message: the lists of candidates and the steps follow its first line, indented.
    for (size_t at = err.find('\n'); at != std::string::npos && at + 1 < err.size(); at = err.find('\n', at + 1))
        EXPECT_EQ(err[at + 1], ' ') << row.name << ": " << err;
    return code;
}

const Fact kFoo = Mouse("1&1", Strings{"foo"});  // the first mouse, another filter listed
const Fact kFresh = Mouse("1&1");  // no value
const Fact kInstalledOn1 = InstalledOn1();
const Fact kX86Tool = [](FakeSystem &f) { f.tool = Machine::X86; };
const Fact kUnplugged1 = [](FakeSystem &f) { f.state.nodes[0].node.present = false; };
const Change kFileDeletedAtRestart = [](State &s) { s.AddPending(kInstalled, ""); };
// Install on the first mouse, where nothing was there before.
const Strings kSteps{kCopy, kCreate, Set(kMouse1, "hct"), Restart(kMouse1)};

TEST(HctctlRun, EachCommandGivesItsCodeMessagesChangesInOrderAndStateAfter)
{
    const Strings both{"  " + kMouse1, "  " + kMouse2};  // the candidates listed
    // An older file and a service of ours set to start at boot.
    const Fact older = [](FakeSystem &f) {
        f.state.files[kInstalled] = hctctl_test::PeImage(Machine::X64, 7);
        f.state.services["hct"] = {1, 1, 1, kOurs};
    };
    const Fact newBuild = [](FakeSystem &f) { f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X64, 1); };
    const Fact loaded = [](FakeSystem &f) { f.copyOverError = hctctl::win32::kSharingViolation; };
    auto integrity = [](hctctl::CodeIntegrity ci) { return Fact([=](FakeSystem &f) { f.integrity = ci; }); };
    const Fact x86 = [](FakeSystem &f) {
        f.native = f.tool = Machine::X86;
        f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X86);
        f.integrity = {0, hctctl::kCodeIntegrityEnabled};  // were it asked, install would refuse
    };
    const Fact restarts = [](FakeSystem &f) { f.restart = {hctctl::RestartOutcome::Restarted, 0}; };
    auto status = [](hctctl::NodeStatus st) { return Fact([=](FakeSystem &f) { f.status = st; }); };
    auto problem = [&](uint32_t p) { return status({0, true, hctctl::kDnHasProblem, p}); };
    // As an uninstall with the driver loaded leaves it: the file, its deletion pending, and another's.
    const Fact uninstalledLoaded = [](FakeSystem &f) {
        f.state.files[kInstalled] = f.state.files[FakeSystem::kImage];
        f.state.AddPending("C:\\other.tmp", "");
        f.state.AddPending(kInstalled, "");
    };
    const Change othersKept = [](State &s) {
        s.pending.clear();
        s.AddPending("C:\\other.tmp", "");  // the other entry byte for byte
    };
    const Change scheduled = [](State &s) {
        s.files[kStaged] = s.files[FakeSystem::kImage];
        s.AddPending(kStaged, "!" + kInstalled);
    };
    const std::string other = "USB\\VID_5555&PID_0002\\7&1";
    const std::string copyStaged = "copy C:\\pkg\\x64\\hct.sys -> " + kStaged;
    const std::string schedule = "replace at restart " + kInstalled + " by " + kStaged;
    const Strings fooSteps{kCopy, kCreate, Set(kMouse1, "hct,foo"), Restart(kMouse1)};
    const Strings putBack{kCopy, kCreate, Set(kMouse1, "hct,foo"), Restart(kMouse1), Set(kMouse1, "foo"), Restart(kMouse1)};
    const std::string later = "after the replug or restart: hctctl list";
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
    auto links = [](std::set<unsigned> present) { return Fact([=](FakeSystem &f) { f.links = present; }); };
    auto refuses = [](unsigned link, uint32_t e) { return Fact([=](FakeSystem &f) { f.refuse[link] = e; }); };
    const Fact arrivals = [](FakeSystem &f) {
        f.timeline[5500] = {1, 2};   // a second mouse
        f.timeline[9000] = {2};      // the first unplugged
        f.timeline[12300] = {1, 2};  // and plugged in again: a new arrival
    };
    const std::string link1 = "\\\\.\\SLN_MouseExtra1";

    std::vector<Row> rows{
        // The refusals.
        {"no image", {kFoo, [](FakeSystem &f) { f.state.files.clear(); }}, {"install"}, hctctl::kExitNoImage, {},
         {"no hct.sys beside hctctl.exe"}},
        {"x86 image on x64", {kFoo, [](FakeSystem &f) { f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X86); }},
         {"install"}, hctctl::kExitWrongArchitecture, {}, {"is a driver for x86 and this Windows is x64"}},
        // A 32-bit hctctl.exe on 64-bit Windows sees SysWOW64 for System32\drivers.
        {"x86 tool on x64", {kFoo, kX86Tool}, {"install"}, hctctl::kExitWrongArchitecture, {},
         {"built for x86 and this Windows is x64"}},
        {"uninstall, x86 tool on x64", {kInstalledOn1, kX86Tool}, {"uninstall", "--all"}, hctctl::kExitWrongArchitecture,
         {}, {"built for x86 and this Windows is x64"}},
        // The package has no ARM64 folder: no message may point at one.
        {"ARM64 Windows", {kFoo, [](FakeSystem &f) { f.native = Machine::Arm64; }}, {"install"},
         hctctl::kExitWrongArchitecture, {}, {"x64 and x86 Windows only"}, {}, {"ARM64 folder"}},
        {"not administrator", {kFoo, [](FakeSystem &f) { f.admin = false; }}, {"install"}, hctctl::kExitNotAdministrator,
         {}, {"install changes the system: run it from an administrator prompt"}},
        {"unknown device", {kFoo}, {"install", "--device", "USB\\VID_9999&PID_9999"}, hctctl::kExitUnknownDevice, {},
         {"no device node has the instance ID or hardware ID USB\\VID_9999&PID_9999", "hctctl list"}},
        {"a prefix of an ID is no ID", {kFoo}, {"install", "--device", "USB\\VID_1234"}, hctctl::kExitUnknownDevice},
        {"no mouse", {}, {"install"}, hctctl::kExitNoMouse, {}, {"no USB mouse found"}},
        {"the one mouse not plugged in", {kFoo, kUnplugged1}, {"install"}, hctctl::kExitNoMouse},
        {"several mice", {kFoo, Mouse("1&2")}, {"install"}, hctctl::kExitSeveralDevices, {},
         {"2 USB mice found; name one with --device ID (or use --all)", both[0], both[1]}},
        {"a hardware ID two nodes share", {kFoo, Mouse("1&2")}, {"install", "--device", "USB\\VID_1234&PID_0001"},
         hctctl::kExitSeveralDevices, {}, {"2 device nodes have the hardware ID", "by its instance ID", both[0], both[1]}},
        {"uninstall, two nodes list hct", {kInstalledOn1, Mouse("1&2", Strings{"hct"})}, {"uninstall"},
         hctctl::kExitSeveralDevices, {}, {"2 device nodes list hct; name one with --device ID", both[0], both[1]}},
        {"service marked for deletion", {kFoo, [](FakeSystem &f) { f.state.services["hct"] = {1, 3, 1, kOurs, true, true}; }},
         {"install"}, hctctl::kExitServiceMarked, {}, {"marked for deletion"}},
        {"x64 with test signing off", {kFoo, [](FakeSystem &f) { f.integrity.options = hctctl::kCodeIntegrityEnabled; }},
         {"install"}, hctctl::kExitSigningPolicy, {}, {"Secure Boot must be off", "bcdedit /set testsigning on"}},

        // Install.
        // hct first and once, in any case; the others after it in their order; a name holding hct is another's.
        {"install: hct first", {Mouse("1&1", Strings{"foo", "HCT", "hctx", "bar", "Hct", "xhct"})}, {"install"}, hctctl::kExitOk,
         {kCopy, kCreate, Set(kMouse1, "hct,foo,hctx,bar,xhct"), Restart(kMouse1)},
         {"test signing is on", "unplug the mouse and plug it in again", later, "hctctl: installed"},
         Gets({"hct", "foo", "hctx", "bar", "xhct"})},
        {"install again: nothing changes", {InstalledOn1({"hct", "foo"})}, {"install"}, hctctl::kExitOk, {},
         {"is already this driver", "already lists hct first"}},
        {"install a new build: copied, the device restarted though its value is right", {kInstalledOn1, newBuild},
         {"install"}, hctctl::kExitOk, {kCopy, Restart(kMouse1)}, {}, {Installed}},
        {"install, the service disabled by hand: updated, not created",
         {kInstalledOn1, [](FakeSystem &f) { f.state.services["hct"].start = 4; }}, {"install"}, hctctl::kExitOk,
         {kConfigure}, {"updated the service hct"}, {Installed}},
        {"install --all", {kFresh, Mouse("1&2")}, {"install", "--all"}, hctctl::kExitOk,
         {kCopy, kCreate, Set(kMouse1, "hct"), Set(kMouse2, "hct"), Restart(kMouse1), Restart(kMouse2)}, {},
         {Installed, Value(kMouse1, Strings{"hct"}), Value(kMouse2, Strings{"hct"})}},
        {"install --device, an instance ID in another case", {kFresh, Mouse("1&2")},
         {"install", "--device", "usb\\vid_1234&pid_0001\\1&2"}, hctctl::kExitOk,
         {kCopy, kCreate, Set(kMouse2, "hct"), Restart(kMouse2)}, {}, {Installed, Value(kMouse2, Strings{"hct"})}},
        {"install --device, the hardware ID of one node", {kFresh, Mouse("7&1", {}, "VID_5555&PID_0002")},
         {"install", "--device", "USB\\VID_5555&PID_0002"}, hctctl::kExitOk,
         {kCopy, kCreate, Set(other, "hct"), Restart(other)}, {}, {Installed, Value(other, Strings{"hct"})}},
        // Each step made to fail in turn: the undoing runs in reverse order and leaves the state found.
        {"install, copy fails", {kFresh, Fails("copy")}, {"install"}, hctctl::kExitStepFailed, {kCopy + " FAILED"},
         {"install undone"}},
        {"install, create fails", {kFresh, Fails("create-service")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kCreate + " FAILED", kRemove}, {"install undone"}},
        {"install, set fails", {kFresh, Fails("set")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kCreate, Set(kMouse1, "hct") + " FAILED", "delete service hct", kRemove}, {"install undone"}},
        {"install, the second of two values fails", {kFresh, Mouse("1&2"), Fails("set", 2)}, {"install", "--all"},
         hctctl::kExitStepFailed,
         {kCopy, kCreate, Set(kMouse1, "hct"), Set(kMouse2, "hct") + " FAILED", Delete(kMouse1), "delete service hct", kRemove}},
        {"install over an older one, copy fails", {kFoo, older, Fails("copy")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy + " FAILED"}},
        {"install, the update of our service fails", {kFoo, older, Fails("configure-service")}, {"install"},
         hctctl::kExitStepFailed, {kCopy, kConfigure + " FAILED", "write " + kInstalled}},
        {"install, set after an update fails", {kFoo, older, Fails("set")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kConfigure, Set(kMouse1, "hct,foo") + " FAILED", "configure service hct start 1 " + kOurs, "write " + kInstalled}},
        // The steps after a failed undo still run: the file goes, the value stays untouched.
        {"install, an undo fails", {kFresh, Fails("set"), Fails("delete-service")}, {"install"}, hctctl::kExitStepFailed,
         {kCopy, kCreate, Set(kMouse1, "hct") + " FAILED", "delete service hct FAILED", kRemove},
         {"remove it with: sc delete hct", "install partly undone"},
         {[](State &s) { s.services["hct"] = {1, 3, 1, kOurs}; }}},
        // What 64-bit Windows answers about signatures decides; 32-bit Windows is not asked.
        {"install, code integrity off", {kFresh, integrity({0, 0})}, {"install"}, hctctl::kExitOk, kSteps,
         {"no driver signature is checked"}, Gets({"hct"})},
        {"install, the code-integrity state unreadable", {kFresh, integrity({0xC0000003, 0})}, {"install"}, hctctl::kExitOk,
         kSteps, {"could not be read (status 0xC0000003)"}, Gets({"hct"})},
        // Measured: Wine answers "enforced, no test signing" and loads unsigned drivers all the same.
        {"install in Wine", {kFresh, integrity({0, hctctl::kCodeIntegrityEnabled, hctctl::Tristate::Unknown, true})},
         {"install"}, hctctl::kExitOk, kSteps, {"Wine: its loader loads drivers without checking a signature"}, Gets({"hct"})},
        {"install on x86 Windows", {kFresh, x86}, {"install"}, hctctl::kExitOk, kSteps, {"hctctl: installed"}, Gets({"hct"}),
         {"signing", "code integrity"}},
        // After a restart that worked, each answer of CM_Get_DevNode_Status (the problems further down).
        {"install, the node started", {kFoo, restarts, status({0, true, hctctl::kDnStarted, 0})}, {"install"},
         hctctl::kExitOk, fooSteps, {"restarted " + kMouse1, "came back after the restart: no problem code"},
         Gets({"hct", "foo"})},
        {"install, a problem where there was no value: it goes again", {kFresh, restarts, problem(52)}, {"install"},
         hctctl::kExitNodeProblem, {kCopy, kCreate, Set(kMouse1, "hct"), Restart(kMouse1), Delete(kMouse1), Restart(kMouse1)},
         {"its LowerFilters put back: (no value)"}, {Installed}},
        // Not a failure: the check comes after the restart, as where the restart waits for a reboot.
        {"install, problem 14", {kFoo, restarts, problem(14)}, {"install"}, hctctl::kExitOk, fooSteps,
         {"once Windows restarts", later}, Gets({"hct", "foo"})},
        {"install, a reboot needed", {kFoo, [](FakeSystem &f) { f.restart.outcome = hctctl::RestartOutcome::NeedsReboot; }},
         {"install"}, hctctl::kExitOk, fooSteps, {"restart Windows (or replug the mouse)", later}, Gets({"hct", "foo"})},
        {"install, Wine's status stub", {kFoo, restarts, status({0, false, 0, 0})}, {"install"}, hctctl::kExitOk, fooSteps,
         {"unknown (CM_Get_DevNode_Status gave none)"}, Gets({"hct", "foo"})},
        // The file's own renames for the next restart: an uninstall's deletion is cancelled, a loaded
        // image replaced then, and no device restarted now.
        {"install after an uninstall while loaded", {kFresh, uninstalledLoaded}, {"install"}, hctctl::kExitOk,
         {"write pending renames", kCreate, Set(kMouse1, "hct"), Restart(kMouse1)}, {"cancelled the deletion of " + kInstalled},
         {Installed, Value(kMouse1, Strings{"hct"}), othersKept}},
        {"install over a loaded image", {kInstalledOn1, newBuild, loaded}, {"install"}, hctctl::kExitRestartRequired,
         {kCopy, copyStaged, schedule}, {"done, restart required"}, {scheduled}},
        {"install over a loaded image, a later step fails",
         {kInstalledOn1, newBuild, loaded, [](FakeSystem &f) { f.state.services["hct"].start = 4; }, Fails("configure-service")},
         {"install"}, hctctl::kExitStepFailed,
         {kCopy, copyStaged, schedule, kConfigure + " FAILED", "delete pending renames", "remove " + kStaged}, {"install undone"}},

        // Uninstall.
        {"uninstall, hct all the value held: the value goes", {kInstalledOn1}, {"uninstall"}, hctctl::kExitOk,
         {Delete(kMouse1), Restart(kMouse1), "delete service hct", kRemove}, {"hctctl: uninstalled"},
         {kNoService, kNoFile, Value(kMouse1, {})}},
        // Every hct goes, in any case; the others stay in their order.
        {"uninstall, the other filters stay", {InstalledOn1({"Hct", "foo", "hctx", "HCT", "bar"})}, {"uninstall"},
         hctctl::kExitOk, {Set(kMouse1, "foo,hctx,bar"), Restart(kMouse1), "delete service hct", kRemove}, {},
         {kNoService, kNoFile, Value(kMouse1, Strings{"foo", "hctx", "bar"})}},
        {"uninstall, nothing installed", {Mouse("1&1", Strings{"foo", "hct2"})}, {"uninstall"}, hctctl::kExitOk, {},
         {"hctctl: nothing to uninstall"}},
        // A node not plugged in loads hct when it comes back: the service and the file stay for it.
        {"uninstall, another node not plugged in lists hct", {kInstalledOn1, Mouse("1&2", Strings{"hct"}), kUnplugged1},
         {"uninstall", "--device", kMouse2.c_str()}, hctctl::kExitOk, {Delete(kMouse2), Restart(kMouse2)},
         {"the service hct and its file stay: still listed by " + kMouse1}, {Value(kMouse2, {})}},
        {"uninstall --all, one not plugged in", {kInstalledOn1, Mouse("1&2", Strings{"hct"}), kUnplugged1},
         {"uninstall", "--all"}, hctctl::kExitOk,
         {Delete(kMouse1), Delete(kMouse2), Restart(kMouse1), Restart(kMouse2), "delete service hct", kRemove}, {},
         {kNoService, kNoFile, Value(kMouse1, {}), Value(kMouse2, {})}},
        {"uninstall, a failed value edit puts back the ones before",
         {InstalledOn1({"hct", "foo"}), Mouse("1&2", Strings{"hct"}), Fails("delete-value")}, {"uninstall", "--all"},
         hctctl::kExitStepFailed, {Set(kMouse1, "foo"), Delete(kMouse2) + " FAILED", Set(kMouse1, "hct,foo")},
         {"uninstall undone"}},
        {"uninstall, another driver's service is left alone",
         {kInstalledOn1, [](FakeSystem &f) { f.state.services["hct"].imagePath = "C:\\other\\hct.sys"; }}, {"uninstall"},
         hctctl::kExitServiceConflict, {Delete(kMouse1), Restart(kMouse1)}, {"C:\\other\\hct.sys", "left alone"},
         {Value(kMouse1, {})}},
        {"uninstall, a service that cannot be deleted", {kInstalledOn1, Fails("delete-service")}, {"uninstall"},
         hctctl::kExitStepFailed, {Delete(kMouse1), Restart(kMouse1), "delete service hct FAILED", kRemove},
         {"remove it with: sc delete hct"}, {Value(kMouse1, {}), kNoFile}},
        {"uninstall, the driver loaded: the service marked, the file deleted at the restart",
         {kInstalledOn1, [](FakeSystem &f) { f.state.services["hct"].running = true; }, Fails("remove")}, {"uninstall"},
         hctctl::kExitOk,
         {Delete(kMouse1), Restart(kMouse1), "delete service hct", kRemove + " FAILED", "remove at restart " + kInstalled},
         {"marked for deletion", "it is deleted at the next restart"},
         {Value(kMouse1, {}), kNoService, kFileDeletedAtRestart}},
        // Once the driver is unloaded (replug), uninstall again finishes.
        {"uninstall again after the replug", {kFresh, Given([](State &s) { s.files[kInstalled] = {}; }), Given(kFileDeletedAtRestart)},
         {"uninstall"}, hctctl::kExitOk, {kRemove}, {"no device node lists hct"}, {kNoFile}},

        // list, on and off change nothing; the 32-bit tool on 64-bit Windows may run them.
        {"list", {listed}, {"list"}, hctctl::kExitOk, {},
         {kMouse1 + "\n    name:         USB Optical Mouse\n    hardware ID:  USB\\VID_1234&PID_0001&REV_0100\n"
                    "    service:      HidUsb\n    status:       problem code 52 (CM_PROB_UNSIGNED_DRIVER)",
          "LowerFilters: hct, foo\n    hct:          yes, first",
          kMouse2 + "\n    name:         USB Input Device (the node's description: no bus-reported name)\n",
          "LowerFilters: (no value)\n    hct:          no\n", link1 + " -> \\Device\\MouseExtra0\n", "\\\\.\\SLN_MouseExtra3"},
         {}, {"broken:", "VID_4444"}},
        {"list from the 32-bit tool", {kInstalledOn1, kX86Tool}, {"list"}, hctctl::kExitOk, {}, {kMouse1}},
        {"on: every link present, up to 100, each named", {links({1, 100})}, {"on"}, hctctl::kExitOk, {"on 1", "on 100"},
         {"hctctl: extra scroll turned on (" + link1 + ")\nhctctl: extra scroll turned on (\\\\.\\SLN_MouseExtra100)\n"}, {},
         {"failed"}},
        {"off: one link refuses", {links({1, 4}), refuses(4, hctctl::win32::kInvalidParameter)}, {"off"},
         hctctl::kExitRefused, {"off 1", "off 4"}, {"turned off (" + link1 + ")", "SLN_MouseExtra4 failed: error 87"}},
        {"on: no link", {}, {"on"}, hctctl::kExitNoDevice, {}, {"not installed"}},
        {"on N: not there", {links({1})}, {"on", "2"}, hctctl::kExitNoDevice, {}, {"opening \\\\.\\SLN_MouseExtra2 failed"}},
        {"on N: refused", {links({2}), refuses(2, hctctl::win32::kDeviceRemoved)}, {"on", "2"}, hctctl::kExitRefused,
         {"on 2"}, {"error 1617"}},
        {"on from the 32-bit tool", {kInstalledOn1, kX86Tool, links({1})}, {"on"}, hctctl::kExitOk, {"on 1"}},
        {"off N from the 32-bit tool", {kInstalledOn1, kX86Tool, links({1})}, {"off", "1"}, hctctl::kExitOk, {"off 1"}},
        // on --keep: each arrival switched once, nothing opened while the set of mice stays; a refused
        // arrival reported once, not retried every second.
        {"on --keep: arrivals, an unplug and a replug", {links({1}), arrivals}, {"on", "--keep", "--for", "20"},
         hctctl::kExitOk, {"on 1", "on 2", "on 1"}, {"turned on (\\\\.\\SLN_MouseExtra2)", "20 s passed: stopped"}, {}, {},
         20000},
        {"on --keep: Ctrl+C", {links({1}), [](FakeSystem &f) { f.stopAt = 3200; }}, {"on", "--keep"}, hctctl::kExitOk,
         {"on 1"}, {"hctctl: stopped"}, {}, {}, 3200},
        {"on --keep: the stop file", {[](FakeSystem &f) { f.fileAt = {4100, "C:\\stop-hctctl"}; }},
         {"on", "--keep", "--stop-file", "C:\\stop-hctctl"}, hctctl::kExitOk, {}, {"C:\\stop-hctctl exists: stopped"}, {}, {},
         4100},
        {"on --keep: a refused arrival", {links({1}), refuses(1, hctctl::win32::kInvalidParameter)},
         {"on", "--keep", "--for", "5"}, hctctl::kExitOk, {"on 1"}, {"error 87"}, {}, {}, 5000},
    };
    // A node with a problem after the restart gets its value back, and the problem named.
    for (const auto &[p, text] : std::vector<std::pair<uint32_t, std::string>>{
             {52, "52 (CM_PROB_UNSIGNED_DRIVER): Windows cannot verify the signature"},
             {39, "39 (CM_PROB_DRIVER_FAILED_LOAD): a driver of its stack would not load"}, {31, "31 (CM_PROB_FAILED_ADD)"},
             {28, "28 (CM_PROB_FAILED_INSTALL)"}, {10, "10 (CM_PROB_FAILED_START): the device could not start"}, {43, "43\n"}})
        rows.push_back({"install, problem " + std::to_string(p) + " after the restart", {kFoo, restarts, problem(p)},
                        {"install"}, hctctl::kExitNodeProblem, putBack,
                        {"problem code " + text, "its LowerFilters put back: foo", "the service hct and hct.sys stay"},
                        Gets({"foo"})});
    // Each state in which a node that lists hct does not start, now or after the next restart.
    for (const auto &[breakIt, says] : std::vector<std::pair<Change, std::string>>{
             {kNoService, "hct is listed but there is no service hct"},
             {[](State &s) { s.services["hct"].imagePath = "C:\\x.sys"; }, "the service hct is another driver's"},
             {[](State &s) { s.services["hct"].markedForDeletion = true; }, "the service hct is marked for deletion"},
             {kNoFile, kInstalled + " is missing"},
             {kFileDeletedAtRestart, kInstalled + " is deleted at the next restart"},
             {[](State &s) { s.AddPending(kStaged, "!" + kInstalled); }, kInstalled + " is replaced at the next restart"}})
        rows.push_back(
            {"list, broken: " + says, {kInstalledOn1, Given(breakIt)}, {"list"}, hctctl::kExitOk, {}, {"    broken:       " + says}});
    // Our file under another spelling (relative to %SystemRoot%, \SystemRoot\..., in full, with \??\) is
    // ours, and gets the spelling Wine's kernel can load too; any other file is another driver's.
    auto imagePath = [](const char *p) { return Fact([=](FakeSystem &f) { f.state.services["hct"].imagePath = p; }); };
    for (const char *p : {"System32\\drivers\\hct.sys", "system32\\DRIVERS\\hct.sys", "%SystemRoot%\\system32\\drivers\\hct.sys",
                          "\\SYSTEMROOT\\System32\\drivers\\HCT.sys", "C:\\Windows\\System32\\drivers\\hct.sys",
                          "\\??\\C:\\WINDOWS\\system32\\drivers\\hct.sys"})
        rows.push_back({std::string("install, our file spelt ") + p, {kInstalledOn1, imagePath(p)}, {"install"}, 0,
                        {kConfigure}, {}, {Installed}});
    for (const char *p : {"C:\\other\\hct.sys", "System32\\drivers\\other.sys", "C:\\tools\\hct.sys", "\\SystemRoot\\hct.sys", ""})
        rows.push_back({std::string("install, another driver's service at ") + p, {kInstalledOn1, imagePath(p)}, {"install"},
                        hctctl::kExitServiceConflict, {}, {std::string("the image path ") + p + ", not", "sc delete hct"}});
    // What is not a PE image of a machine Windows runs on; the last is ARMv7's.
    std::vector<uint8_t> cut = hctctl_test::PeImage(Machine::X64);
    std::vector<uint8_t> far = cut;
    cut.resize(0x85);  // the machine field cut in half
    far[0x3f] = 0x7f;  // e_lfanew far past the end
    for (const std::vector<uint8_t> &image : {cut, far, {'M', 'Z'}, {'M', 'Z', 0, 0}, hctctl_test::PeImage(Machine(0x01c4))})
        rows.push_back({"install, " + std::to_string(image.size()) + " bytes that are no Windows driver image",
                        {kFoo, Given([=](State &s) { s.files[FakeSystem::kImage] = image; })}, {"install"},
                        hctctl::kExitWrongArchitecture, {}, {"is not a Windows driver image"}});
    std::set<int> refusals;
    for (const Row &row : rows)
        refusals.insert(Play(row));
    refusals.erase(0);
    EXPECT_EQ(refusals, kRefusals);  // each one met
}

// ---- the pure parts ----------------------------------------------------------------------------

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
// The HID node above the USB node never sees a URB: not a place for the filter.
TEST(HctctlDevices, AUsbMouseNodeHasAUsbHardwareIdAndTheBootMouseCompatibleIdOrAMouseChild)
{
    const Strings usb{"USB\\VID_1234&PID_0001&REV_0100", "USB\\VID_1234&PID_0001"};
    const std::vector<std::tuple<Strings, Strings, bool, bool>> cases{
        {usb, {"usb\\class_03&subclass_01&prot_02"}, false, true},
        {usb, {"USB\\Class_03&SubClass_00&Prot_00", "USB\\Class_03"}, false, false},
        {usb, {"USB\\Class_03&SubClass_00&Prot_00", "USB\\Class_03"}, true, true},  // Windows: a child of class Mouse
        {{"HID\\VID_1234&PID_0001", "HID_DEVICE_SYSTEM_MOUSE"}, {"USB\\Class_03&SubClass_01&Prot_02"}, true, false},
    };
    for (const auto &[hardware, compatible, mouseChild, mouse] : cases) {
        const DeviceNode n{"USB\\VID_1234&PID_0001\\1&1", hardware, compatible, "USB Input Device", "", "HidUsb", true, mouseChild};
        EXPECT_EQ(hctctl::IsUsbMouseNode(n), mouse) << hardware[0] << " " << compatible[0] << " " << mouseChild;
    }
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
    // The value, what is left of it, the pairs taken out, whether one deleted and one replaced the file.
    const std::vector<std::tuple<std::string, std::string, unsigned, bool, bool>> cases{
        {"\\??\\" + hct + "|||", "|", 1, true, false},
        {"\\??\\C:\\a.tmp||\\??\\C:\\WINDOWS\\system32\\DRIVERS\\HCT.SYS||\\??\\C:\\b.new|!\\??\\C:\\b.dll||",
         "\\??\\C:\\a.tmp||\\??\\C:\\b.new|!\\??\\C:\\b.dll||", 1, true, false},
        {"\\??\\" + hct + ".new|!\\??\\" + hct + "||", "|", 1, false, true},
        {"\\??\\" + hct + ".new|!\\??\\" + hct + "|\\??\\" + hct + "|||", "|", 2, true, true},  // upgrade, then uninstall
        {"\\??\\C:\\hct.sys||\\??\\" + hct + "2||", "\\??\\C:\\hct.sys||\\??\\" + hct + "2||", 0, false, false},
        {"\\??\\" + hct + "|", "", 1, true, false},  // cut short: nothing past the end read
        {"", "", 0, false, false},
    };
    for (const auto &[value, left, removed, deletion, replacement] : cases) {
        std::vector<uint8_t> raw = Multi(value), rest = Multi(left);
        raw.push_back(0x7f), rest.push_back(0x7f);  // an odd byte at the end stays too
        const hctctl::PendingEdit e = hctctl::WithoutPendingFor(raw, hct);
        EXPECT_EQ(std::tie(e.value, e.removed, e.deletion, e.replacement, e.empty),
                  std::tuple(rest, removed, deletion, replacement, left.size() <= 1))
            << value;
    }
}

}  // namespace

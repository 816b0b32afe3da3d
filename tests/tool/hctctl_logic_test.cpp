// hctctl's own logic against a fake system: the LowerFilters edits, which nodes are mice and which
// one a command takes, the order of the install steps and their undoing when one fails, the
// refusals that change nothing, and the switching of the control links once and under --keep.
#include "tools/hctctl/hctctl_logic.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tool/hctctl_fake.h"

namespace {

using hctctl::Args;
using hctctl::Command;
using hctctl::DeviceNode;
using hctctl::Machine;
using hctctl_test::FakeSystem;
using hctctl_test::UsbMouse;
using Strings = std::vector<std::string>;

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result RunWords(FakeSystem &fake, const std::vector<const char *> &words)
{
    std::vector<const char *> argv{"hctctl"};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.push_back(nullptr);
    const Args args = hctctl::Parse(int(argv.size() - 1), argv.data());
    EXPECT_TRUE(args.ok) << args.error;
    std::ostringstream out, err;
    const int code = hctctl::Run(args, fake, out, err);
    return {code, out.str(), err.str()};
}

size_t Lines(const std::string &s)
{
    return size_t(std::count(s.begin(), s.end(), '\n'));
}

const std::string kMouse1 = "USB\\VID_1234&PID_0001\\1&1";
const std::string kMouse2 = "USB\\VID_1234&PID_0001\\1&2";
const std::string kCopy = "copy C:\\pkg\\x64\\hct.sys -> C:\\windows\\system32\\drivers\\hct.sys";

// ---- LowerFilters edits ------------------------------------------------------------------------

TEST(HctctlFilters, InsertPutsHctFirstKeepsTheOthersInOrderAndNeverTwice)
{
    const Strings none;
    EXPECT_EQ(hctctl::WithFilterFirst(none, "hct"), (Strings{"hct"}));
    EXPECT_EQ(hctctl::WithFilterFirst(Strings{"foo"}, "hct"), (Strings{"hct", "foo"}));
    EXPECT_EQ(hctctl::WithFilterFirst(Strings{"foo", "bar"}, "hct"), (Strings{"hct", "foo", "bar"}));
    // Already listed, in any case and any place: one entry, first, with the others' order kept.
    EXPECT_EQ(hctctl::WithFilterFirst(Strings{"hct", "foo"}, "hct"), (Strings{"hct", "foo"}));
    EXPECT_EQ(hctctl::WithFilterFirst(Strings{"foo", "HCT", "bar", "Hct"}, "hct"), (Strings{"hct", "foo", "bar"}));
    // A name that merely contains hct is another filter.
    EXPECT_EQ(hctctl::WithFilterFirst(Strings{"hctx", "xhct"}, "hct"), (Strings{"hct", "hctx", "xhct"}));
}

TEST(HctctlFilters, RemoveTakesOutEveryHctInAnyCaseAndKeepsTheRest)
{
    EXPECT_EQ(hctctl::WithoutFilter(Strings{"hct"}, "hct"), Strings{});
    EXPECT_EQ(hctctl::WithoutFilter(Strings{}, "hct"), Strings{});
    EXPECT_EQ(hctctl::WithoutFilter(Strings{"foo", "Hct", "bar", "HCT"}, "hct"), (Strings{"foo", "bar"}));
    EXPECT_EQ(hctctl::WithoutFilter(Strings{"hctx", "foo"}, "hct"), (Strings{"hctx", "foo"}));
    EXPECT_TRUE(hctctl::ListsFilter(Strings{"foo", "hCt"}, "hct"));
    EXPECT_FALSE(hctctl::ListsFilter(Strings{"foo", "hct2"}, "hct"));
    EXPECT_FALSE(hctctl::ListsFilter(Strings{}, "hct"));
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

// ---- what is a USB mouse, which node is meant --------------------------------------------------

TEST(HctctlDevices, AUsbMouseNodeHasAUsbHardwareIdAndTheBootMouseCompatibleIdOrAMouseChild)
{
    DeviceNode m = UsbMouse("1&1");
    EXPECT_TRUE(hctctl::IsUsbMouseNode(m));
    DeviceNode lower = m;
    for (std::string &c : lower.compatibleIds)
        for (char &ch : c)
            ch = char(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_TRUE(hctctl::IsUsbMouseNode(lower));

    DeviceNode keyboard = m;
    keyboard.compatibleIds = {"USB\\Class_03&SubClass_01&Prot_01", "USB\\Class_03&SubClass_01", "USB\\Class_03"};
    EXPECT_FALSE(hctctl::IsUsbMouseNode(keyboard));
    DeviceNode nonBoot = m;
    nonBoot.compatibleIds = {"USB\\Class_03&SubClass_00&Prot_00", "USB\\Class_03"};
    EXPECT_FALSE(hctctl::IsUsbMouseNode(nonBoot));
    nonBoot.mouseChild = true;  // Windows: the HID mouse node below it is of class Mouse
    EXPECT_TRUE(hctctl::IsUsbMouseNode(nonBoot));

    // The HID node above the USB node never sees a URB: not a place for the filter.
    DeviceNode hid = m;
    hid.hardwareIds = {"HID\\VID_1234&PID_0001", "HID_DEVICE_SYSTEM_MOUSE"};
    hid.mouseChild = true;
    EXPECT_FALSE(hctctl::IsUsbMouseNode(hid));
}

TEST(HctctlDevices, DeviceIsAnInstanceIdOrAHardwareIdOfExactlyOneNode)
{
    std::vector<DeviceNode> nodes{UsbMouse("1&1"), UsbMouse("1&2"), UsbMouse("7&1", "VID_5555&PID_0002")};
    std::ostringstream err;
    hctctl::Choice c = hctctl::FindDevice(nodes, "usb\\vid_1234&pid_0001\\1&2", err);
    ASSERT_EQ(c.exitCode, hctctl::kExitOk);
    ASSERT_EQ(c.nodes.size(), 1u);
    EXPECT_EQ(c.nodes[0], &nodes[1]);

    c = hctctl::FindDevice(nodes, "USB\\VID_5555&PID_0002", err);
    ASSERT_EQ(c.exitCode, hctctl::kExitOk);
    EXPECT_EQ(c.nodes[0], &nodes[2]);
    EXPECT_TRUE(err.str().empty());

    // Two mice of one model share the hardware ID: both listed, the instance ID asked for.
    c = hctctl::FindDevice(nodes, "USB\\VID_1234&PID_0001&REV_0100", err);
    EXPECT_EQ(c.exitCode, hctctl::kExitSeveralDevices);
    EXPECT_TRUE(c.nodes.empty());
    EXPECT_NE(err.str().find(kMouse1), std::string::npos);
    EXPECT_NE(err.str().find(kMouse2), std::string::npos);

    std::ostringstream err2;
    c = hctctl::FindDevice(nodes, "USB\\VID_1234", err2);  // a prefix is not an ID
    EXPECT_EQ(c.exitCode, hctctl::kExitUnknownDevice);
    EXPECT_NE(err2.str().find("hctctl list"), std::string::npos);
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

// ---- install -----------------------------------------------------------------------------------

TEST(HctctlInstall, CopiesCreatesTheServicePutsHctFirstThenRestartsInThatOrder)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"), true, {"foo", "bar"});
    const Result r = RunWords(fake, {"install"});
    EXPECT_EQ(r.code, hctctl::kExitOk) << r.err;
    EXPECT_EQ(fake.log, (Strings{kCopy, "create service hct \\SystemRoot\\System32\\drivers\\hct.sys",
                                 "set LowerFilters " + kMouse1 + " = [hct,foo,bar]", "restart " + kMouse1}));
    const auto &svc = fake.state.services.at("hct");
    EXPECT_EQ(svc.type, 1u);   // SERVICE_KERNEL_DRIVER
    EXPECT_EQ(svc.start, 3u);  // SERVICE_DEMAND_START
    EXPECT_EQ(fake.state.files.at(FakeSystem::kInstalled), fake.state.files.at(FakeSystem::kImage));
}

TEST(HctctlInstall, AgainChangesNothingAndAnExistingServiceIsUpdatedNotRecreated)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"));
    ASSERT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
    fake.log.clear();
    const Result r = RunWords(fake, {"install"});
    EXPECT_EQ(r.code, hctctl::kExitOk);
    EXPECT_TRUE(fake.log.empty()) << fake.log.front();
    EXPECT_EQ(fake.FindNode(kMouse1)->filters, Strings{"hct"});
    // A new build: copied, and the device restarted though its value is already right.
    fake.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X64, 1);
    EXPECT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
    EXPECT_EQ(fake.log, (Strings{kCopy, "restart " + kMouse1}));

    fake.state.services["hct"].start = 4;  // disabled by hand
    fake.log.clear();
    EXPECT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
    EXPECT_EQ(fake.log, Strings{"configure service hct start 3 \\SystemRoot\\System32\\drivers\\hct.sys"});

    // Our file under another spelling is ours, and gets the spelling Wine's kernel can load too.
    fake.state.services["hct"].imagePath = "System32\\drivers\\hct.sys";
    fake.log.clear();
    EXPECT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
    EXPECT_EQ(fake.log, Strings{"configure service hct start 3 \\SystemRoot\\System32\\drivers\\hct.sys"});
}

struct Failure {
    const char *op;
    Strings log;  // what the fake sees, the failed step and the undoing included
};

// Each step made to fail in turn, from a machine where nothing was there and from one where an
// older file, a service of ours set to start at boot and another filter were: the undoing runs in
// reverse order and leaves exactly the state found.
TEST(HctctlInstall, AFailedStepUndoesTheStepsBeforeItInReverseOrder)
{
    const std::string copy = kCopy;
    const std::string create = "create service hct \\SystemRoot\\System32\\drivers\\hct.sys";
    const std::string set1 = "set LowerFilters " + kMouse1 + " = [hct]";
    const std::string set2 = "set LowerFilters " + kMouse2 + " = [hct]";
    const std::string remove = "remove C:\\windows\\system32\\drivers\\hct.sys";
    const std::vector<Failure> fresh{
        {"copy", {copy + " FAILED"}},
        {"create-service", {copy, create + " FAILED", remove}},
        {"set", {copy, create, set1 + " FAILED", "delete service hct", remove}},
    };
    for (const Failure &f : fresh) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"));
        const FakeSystem::State before = fake.state;
        fake.Fail(f.op);
        const Result r = RunWords(fake, {"install"});
        EXPECT_EQ(r.code, hctctl::kExitStepFailed) << f.op;
        EXPECT_EQ(fake.log, f.log) << f.op;
        EXPECT_TRUE(fake.state == before) << f.op;
        EXPECT_NE(r.err.find("install undone"), std::string::npos) << r.err;
    }

    // The second of two values fails: the first goes back, then the service, then the file.
    {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"));
        fake.AddNode(UsbMouse("1&2"));
        const FakeSystem::State before = fake.state;
        fake.Fail("set", 2);
        EXPECT_EQ(RunWords(fake, {"install", "--all"}).code, hctctl::kExitStepFailed);
        EXPECT_EQ(fake.log, (Strings{copy, create, set1, set2 + " FAILED", "delete LowerFilters " + kMouse1,
                                     "delete service hct", remove}));
        EXPECT_TRUE(fake.state == before);
    }

    const std::string configure = "configure service hct start 3 \\SystemRoot\\System32\\drivers\\hct.sys";
    const std::string restore = "configure service hct start 1 \\SystemRoot\\System32\\drivers\\hct.sys";
    const std::string setFoo = "set LowerFilters " + kMouse1 + " = [hct,foo]";
    const std::string putBack = "write C:\\windows\\system32\\drivers\\hct.sys";
    const std::vector<Failure> older{
        {"copy", {copy + " FAILED"}},
        {"configure-service", {copy, configure + " FAILED", putBack}},
        {"set", {copy, configure, setFoo + " FAILED", restore, putBack}},
    };
    for (const Failure &f : older) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"), true, {"foo"});
        fake.state.files[FakeSystem::kInstalled] = hctctl_test::PeImage(Machine::X64, 7);
        fake.state.services["hct"] = {1, 1, 1, "\\SystemRoot\\System32\\drivers\\hct.sys", false};
        const FakeSystem::State before = fake.state;
        fake.Fail(f.op);
        EXPECT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitStepFailed) << f.op;
        EXPECT_EQ(fake.log, f.log) << f.op;
        EXPECT_TRUE(fake.state == before) << f.op;
    }
}

TEST(HctctlInstall, AnUndoThatFailsIsReportedWithWhatIsLeftToDoByHand)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"));
    fake.Fail("set");
    fake.Fail("delete-service");
    const Result r = RunWords(fake, {"install"});
    EXPECT_EQ(r.code, hctctl::kExitStepFailed);
    EXPECT_NE(r.err.find("sc delete hct"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("partly undone"), std::string::npos) << r.err;
    // The steps after the failed undo still ran: the file is gone, the value untouched.
    EXPECT_EQ(fake.state.files.count(FakeSystem::kInstalled), 0u);
    EXPECT_FALSE(fake.FindNode(kMouse1)->hasValue);
}

TEST(HctctlUninstall, AServiceThatCannotBeDeletedIsNamedWithTheCommandThatDeletesIt)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"));
    ASSERT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
    fake.Fail("delete-service");
    const Result r = RunWords(fake, {"uninstall"});
    EXPECT_EQ(r.code, hctctl::kExitStepFailed);
    EXPECT_NE(r.err.find("sc delete hct"), std::string::npos) << r.err;
    EXPECT_FALSE(fake.FindNode(kMouse1)->hasValue);
}

struct Refusal {
    const char *name;
    int code;
    const char *says;
    std::function<void(FakeSystem &, std::vector<const char *> &)> setUp;
};

// Every refusal: its own exit code, one message, and not one change.
TEST(HctctlInstall, EachRefusalHasItsOwnCodeOneMessageAndChangesNothing)
{
    const char *ours = "\\SystemRoot\\System32\\drivers\\hct.sys";
    using W = std::vector<const char *>;
    const std::vector<Refusal> cases{
        {"no image", hctctl::kExitNoImage, "no hct.sys beside hctctl.exe",
         [](FakeSystem &f, W &) { f.state.files.erase(FakeSystem::kImage); }},
        {"x86 image on x64", hctctl::kExitWrongArchitecture, "is a driver for x86",
         [](FakeSystem &f, W &) { f.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X86); }},
        {"not an image", hctctl::kExitWrongArchitecture, "not a Windows driver image",
         [](FakeSystem &f, W &) { f.state.files[FakeSystem::kImage] = {'M', 'Z', 0, 0}; }},
        {"x86 tool on x64", hctctl::kExitWrongArchitecture, "built for x86", [](FakeSystem &f, W &) { f.tool = Machine::X86; }},
        // The package has no ARM64 folder: no message may point at one.
        {"ARM64 Windows", hctctl::kExitWrongArchitecture, "x64 and x86 Windows only",
         [](FakeSystem &f, W &) { f.native = Machine::Arm64; }},
        {"not administrator", hctctl::kExitNotAdministrator, "administrator", [](FakeSystem &f, W &) { f.admin = false; }},
        {"unknown device", hctctl::kExitUnknownDevice, "no device node has",
         [](FakeSystem &, W &w) { w = {"install", "--device", "USB\\VID_9999&PID_9999"}; }},
        {"no mouse", hctctl::kExitNoMouse, "no USB mouse found", [](FakeSystem &f, W &) { f.state.nodes.clear(); }},
        {"several mice", hctctl::kExitSeveralDevices, "--device", [](FakeSystem &f, W &) { f.AddNode(UsbMouse("1&2")); }},
        {"shared hardware ID", hctctl::kExitSeveralDevices, "instance ID",
         [](FakeSystem &f, W &w) {
             f.AddNode(UsbMouse("1&2"));
             w = {"install", "--device", "USB\\VID_1234&PID_0001"};
         }},
        {"foreign service", hctctl::kExitServiceConflict, "C:\\other\\hct.sys",
         [](FakeSystem &f, W &) { f.state.services["hct"] = {1, 3, 1, "C:\\other\\hct.sys", false}; }},
        {"service marked for deletion", hctctl::kExitServiceMarked, "marked for deletion",
         [&](FakeSystem &f, W &) { f.state.services["hct"] = {1, 3, 1, ours, true, true}; }},
        {"x64 with test signing off", hctctl::kExitSigningPolicy, "bcdedit /set testsigning on",
         [](FakeSystem &f, W &) { f.integrity.options = hctctl::kCodeIntegrityEnabled; }},
    };
    std::set<int> codes;
    for (const Refusal &c : cases) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"), true, {"foo"});
        std::vector<const char *> words{"install"};
        c.setUp(fake, words);
        const FakeSystem::State before = fake.state;
        const Result r = RunWords(fake, words);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind("hctctl: ", 0), 0u) << c.name;
        EXPECT_EQ(r.err.find("ARM64 folder"), std::string::npos) << c.name;
        // One message: the lists of candidates and the steps follow the one line, indented.
        for (size_t at = r.err.find('\n'); at != std::string::npos && at + 1 < r.err.size(); at = r.err.find('\n', at + 1))
            EXPECT_EQ(r.err[at + 1], ' ') << c.name << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << c.name << ": " << r.out;
        EXPECT_TRUE(fake.log.empty()) << c.name << ": " << fake.log.front();
        EXPECT_TRUE(fake.state == before) << c.name;
        codes.insert(c.code);
    }
    EXPECT_EQ(codes.size(), 9u);  // the two "several" and four "architecture" cases share their codes
}

// What 64-bit Windows answers about signatures decides; 32-bit Windows is not asked.
TEST(HctctlInstall, GoesOnWhereWindowsLoadsTheTestSignedImage)
{
    struct Answer {
        const char *name;
        Machine native;
        hctctl::CodeIntegrity integrity;
        const char *says;  // "" for nothing said
    };
    const uint32_t on = hctctl::kCodeIntegrityEnabled, test = hctctl::kCodeIntegrityTestSign;
    const std::vector<Answer> answers{
        {"x64, test signing on", Machine::X64, {0, on | test}, "test signing is on"},
        {"x64, code integrity off", Machine::X64, {0, 0}, "no driver signature is checked"},
        {"x64, the state unreadable", Machine::X64, {0xC0000003, 0}, "could not be read"},
        // Measured: Wine answers "enforced, no test signing" and loads unsigned drivers all the same.
        {"Wine", Machine::X64, {0, on, hctctl::Tristate::Unknown, true}, "Wine: its loader loads drivers without"},
        {"x86 Windows", Machine::X86, {0, on}, ""},
    };
    for (const Answer &a : answers) {
        FakeSystem fake;
        fake.native = fake.tool = a.native;
        fake.state.files[FakeSystem::kImage] = hctctl_test::PeImage(a.native);
        fake.integrity = a.integrity;
        fake.AddNode(UsbMouse("1&1"));
        const Result r = RunWords(fake, {"install"});
        EXPECT_EQ(r.code, hctctl::kExitOk) << a.name << ": " << r.err;
        EXPECT_EQ(fake.integrityQueries, a.native == Machine::X64 ? 1u : 0u) << a.name;
        EXPECT_NE(r.out.find(*a.says ? a.says : "hctctl: copied"), std::string::npos) << a.name << ": " << r.out;
        EXPECT_EQ(fake.FindNode(kMouse1)->filters, Strings{"hct"}) << a.name;
    }
}

// After a restart that worked, each answer of CM_Get_DevNode_Status.
TEST(HctctlInstall, AfterTheRestartANodeWithAProblemGetsItsValueBackAndTheProblemNamed)
{
    struct Answer {
        hctctl::NodeStatus status;
        int code;
        const char *says;
    };
    const uint32_t problem = hctctl::kDnHasProblem;
    const std::vector<Answer> answers{
        {{0, true, hctctl::kDnStarted, 0}, hctctl::kExitOk, "came back after the restart"},
        {{0, true, problem, 52}, hctctl::kExitNodeProblem, "problem code 52 (CM_PROB_UNSIGNED_DRIVER): Windows cannot verify the signature"},
        {{0, true, problem, 39}, hctctl::kExitNodeProblem, "problem code 39 (CM_PROB_DRIVER_FAILED_LOAD): a driver of its stack would not load"},
        {{0, true, problem, 31}, hctctl::kExitNodeProblem, "problem code 31 (CM_PROB_FAILED_ADD)"},
        {{0, true, problem, 28}, hctctl::kExitNodeProblem, "problem code 28 (CM_PROB_FAILED_INSTALL)"},
        {{0, true, problem, 10}, hctctl::kExitNodeProblem, "problem code 10 (CM_PROB_FAILED_START): the device could not start"},
        {{0, true, problem, 43}, hctctl::kExitNodeProblem, "problem code 43\n"},
        {{0, true, problem, 14}, hctctl::kExitOk, "once Windows restarts"},  // not a failure: the check comes later
        {{0, false, 0, 0}, hctctl::kExitOk, "unknown (CM_Get_DevNode_Status gave none)"},  // Wine's stub
    };
    for (const Answer &a : answers) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"), true, {"foo"});
        fake.restart = {hctctl::RestartOutcome::Restarted, 0};
        fake.status = a.status;
        const Result r = RunWords(fake, {"install"});
        const std::string said = r.out + r.err, p = std::to_string(a.status.problem);
        EXPECT_EQ(r.code, a.code) << p << ": " << said;
        EXPECT_NE(said.find(a.says), std::string::npos) << p << ": " << said;
        const Strings restarted{"set LowerFilters " + kMouse1 + " = [hct,foo]", "restart " + kMouse1};
        Strings tail(fake.log.begin() + 2, fake.log.end());  // after the copy and the service
        if (a.code == hctctl::kExitOk) {
            EXPECT_EQ(tail, restarted) << p;
            continue;
        }
        EXPECT_EQ(tail, (Strings{restarted[0], restarted[1], "set LowerFilters " + kMouse1 + " = [foo]", "restart " + kMouse1}))
            << p;
        EXPECT_NE(r.err.find("its LowerFilters put back: foo"), std::string::npos) << r.err;
    }
    // Where the restart could not happen (Wine) or waits for a reboot, the check is left to then, with list.
    for (const hctctl::RestartOutcome o : {hctctl::RestartOutcome::Failed, hctctl::RestartOutcome::NeedsReboot}) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"));
        fake.restart.outcome = o;
        const std::string out = RunWords(fake, {"install"}).out;
        EXPECT_NE(out.find(o == hctctl::RestartOutcome::Failed ? "unplug the mouse and plug it in again" : "restart Windows"),
                  std::string::npos) << out;
        EXPECT_NE(out.find("after the replug or restart: hctctl list"), std::string::npos) << out;
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

TEST(HctctlInstall, AfterAnUninstallWithTheDriverLoadedCancelsThePendingDeletion)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"));
    ASSERT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
    fake.state.services["hct"].running = true;
    fake.AddPending("C:\\other.tmp", "");
    const std::vector<uint8_t> others = fake.state.pending;
    fake.Fail("remove");
    ASSERT_EQ(RunWords(fake, {"uninstall"}).code, hctctl::kExitOk);
    EXPECT_EQ(fake.log.back(), std::string("remove at restart ") + FakeSystem::kInstalled);
    fake.log.clear();
    const Result r = RunWords(fake, {"install"});
    EXPECT_EQ(r.code, hctctl::kExitOk) << r.err;
    EXPECT_EQ(fake.log[0], "write pending renames");
    EXPECT_EQ(fake.state.pending, others);  // the other entry byte for byte
    EXPECT_NE(r.out.find("cancelled the deletion of C:\\windows\\system32\\drivers\\hct.sys"), std::string::npos) << r.out;
    EXPECT_EQ(RunWords(fake, {"list"}).out.find("broken:"), std::string::npos);
}

TEST(HctctlInstall, OverALoadedImageSchedulesTheReplacementAndSaysARestartIsNeeded)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"));
    ASSERT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
    fake.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X64, 1);  // a new build
    fake.copyOverError = hctctl::win32::kSharingViolation;
    fake.log.clear();
    const Result r = RunWords(fake, {"install"});
    EXPECT_EQ(r.code, hctctl::kExitRestartRequired) << r.err;
    const std::string staged = std::string(FakeSystem::kInstalled) + ".new";
    EXPECT_EQ(fake.log, (Strings{kCopy, "copy C:\\pkg\\x64\\hct.sys -> " + staged,
                                 "replace at restart " + std::string(FakeSystem::kInstalled) + " by " + staged}));
    EXPECT_EQ(fake.state.files.at(staged), fake.state.files.at(FakeSystem::kImage));
    EXPECT_NE(r.out.find("done, restart required"), std::string::npos) << r.out;
    EXPECT_NE(RunWords(fake, {"list"}).out.find("is replaced at the next restart"), std::string::npos);
    // A later step failing takes the schedule and the copy back.
    const FakeSystem::State scheduled = fake.state;
    fake.state.files[FakeSystem::kImage] = hctctl_test::PeImage(Machine::X64, 2);
    fake.state.services["hct"].start = 4;
    fake.Fail("configure-service");
    const FakeSystem::State before = fake.state;
    EXPECT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitStepFailed);
    EXPECT_TRUE(fake.state == before);
    EXPECT_FALSE(scheduled == before);
}

// The 32-bit tool on 64-bit Windows sees SysWOW64 for System32\drivers: it changes nothing.
TEST(HctctlWow64, InstallAndUninstallAreRefusedListOnAndOffWork)
{
    const std::vector<std::pair<std::vector<const char *>, int>> commands{
        {{"install"}, hctctl::kExitWrongArchitecture}, {{"uninstall"}, hctctl::kExitWrongArchitecture},
        {{"uninstall", "--all"}, hctctl::kExitWrongArchitecture}, {{"list"}, hctctl::kExitOk},
        {{"on"}, hctctl::kExitOk}, {{"off", "1"}, hctctl::kExitOk}};
    for (const auto &[words, code] : commands) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"), true, {"hct"});
        fake.state.services["hct"] = {1, 3, 1, "\\SystemRoot\\System32\\drivers\\hct.sys"};
        fake.state.files[FakeSystem::kInstalled] = fake.state.files[FakeSystem::kImage];
        fake.tool = Machine::X86;
        fake.links = {1};
        const FakeSystem::State before = fake.state;
        const Result r = RunWords(fake, words);
        EXPECT_EQ(r.code, code) << words[0] << ": " << r.err;
        EXPECT_TRUE(fake.state == before && fake.log.empty()) << words[0];
        if (code != hctctl::kExitOk)
            EXPECT_NE(r.err.find("built for x86 and this Windows is x64"), std::string::npos) << r.err;
    }
}

// ---- uninstall ---------------------------------------------------------------------------------

TEST(HctctlUninstall, LeavesEveryValueAsItWasBeforeInstallAndRemovesServiceAndFile)
{
    struct Before {
        bool hasValue;
        Strings filters;
    };
    for (const Before &b : std::vector<Before>{{false, {}}, {true, {"foo"}}, {true, {"foo", "bar"}}}) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"), b.hasValue, b.filters);
        const FakeSystem::State before = fake.state;
        ASSERT_EQ(RunWords(fake, {"install"}).code, hctctl::kExitOk);
        EXPECT_EQ(fake.FindNode(kMouse1)->filters.front(), "hct");
        fake.log.clear();
        const Result r = RunWords(fake, {"uninstall"});
        EXPECT_EQ(r.code, hctctl::kExitOk) << r.err;
        EXPECT_TRUE(fake.state == before) << r.out;
        EXPECT_EQ(fake.log.back(), "remove C:\\windows\\system32\\drivers\\hct.sys");
        EXPECT_EQ(fake.log[fake.log.size() - 2], "delete service hct");
        EXPECT_EQ(fake.log[fake.log.size() - 3], "restart " + kMouse1);
        EXPECT_EQ(fake.log[0], b.hasValue ? "set LowerFilters " + kMouse1 + " = [" + b.filters[0] +
                                                (b.filters.size() > 1 ? "," + b.filters[1] : "") + "]"
                                          : "delete LowerFilters " + kMouse1);
        fake.log.clear();
        EXPECT_NE(RunWords(fake, {"uninstall"}).out.find("hctctl: nothing to uninstall"), std::string::npos);
        EXPECT_TRUE(fake.log.empty());
    }
}

TEST(HctctlUninstall, KeepsServiceAndFileWhileAnotherNodeStillListsHct)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"));
    fake.AddNode(UsbMouse("1&2"));
    ASSERT_EQ(RunWords(fake, {"install", "--all"}).code, hctctl::kExitOk);
    // Two nodes list hct: uninstall without a choice refuses, changing nothing.
    const FakeSystem::State installed = fake.state;
    fake.log.clear();
    EXPECT_EQ(RunWords(fake, {"uninstall"}).code, hctctl::kExitSeveralDevices);
    EXPECT_TRUE(fake.log.empty());
    EXPECT_TRUE(fake.state == installed);

    const Result one = RunWords(fake, {"uninstall", "--device", kMouse2.c_str()});
    EXPECT_EQ(one.code, hctctl::kExitOk);
    EXPECT_FALSE(fake.FindNode(kMouse2)->hasValue);
    EXPECT_EQ(fake.state.services.count("hct"), 1u);
    EXPECT_EQ(fake.state.files.count(FakeSystem::kInstalled), 1u);
    EXPECT_NE(one.out.find("still listed by " + kMouse1), std::string::npos) << one.out;

    // A node not plugged in still counts: it loads hct when it comes back.
    fake.state.nodes[0].node.present = false;
    EXPECT_EQ(RunWords(fake, {"uninstall", "--all"}).code, hctctl::kExitOk);
    EXPECT_FALSE(fake.FindNode(kMouse1)->hasValue);
    EXPECT_EQ(fake.state.services.count("hct"), 0u);
    EXPECT_EQ(fake.state.files.count(FakeSystem::kInstalled), 0u);
}

TEST(HctctlUninstall, AFailedValueEditPutsBackTheOnesBefore)
{
    FakeSystem fake;
    fake.AddNode(UsbMouse("1&1"), true, {"foo"});
    fake.AddNode(UsbMouse("1&2"));
    ASSERT_EQ(RunWords(fake, {"install", "--all"}).code, hctctl::kExitOk);
    const FakeSystem::State installed = fake.state;
    fake.log.clear();
    fake.Fail("delete-value");
    EXPECT_EQ(RunWords(fake, {"uninstall", "--all"}).code, hctctl::kExitStepFailed);
    EXPECT_EQ(fake.log, (Strings{"set LowerFilters " + kMouse1 + " = [foo]", "delete LowerFilters " + kMouse2 + " FAILED",
                                 "set LowerFilters " + kMouse1 + " = [hct,foo]"}));
    EXPECT_TRUE(fake.state == installed);
}

TEST(HctctlUninstall, AServiceOfAnotherDriverOrAFileInUseIsNotForcedAway)
{
    FakeSystem fake;
    fake.state.services["hct"] = {1, 3, 1, "C:\\other\\hct.sys", false};
    EXPECT_EQ(RunWords(fake, {"uninstall"}).code, hctctl::kExitServiceConflict);
    EXPECT_EQ(fake.state.services.count("hct"), 1u);

    FakeSystem busy;
    busy.AddNode(UsbMouse("1&1"));
    ASSERT_EQ(RunWords(busy, {"install"}).code, hctctl::kExitOk);
    busy.state.services["hct"].running = true;
    busy.Fail("remove");
    const Result r = RunWords(busy, {"uninstall"});
    EXPECT_EQ(r.code, hctctl::kExitOk) << r.err;
    EXPECT_NE(r.out.find("marked for deletion"), std::string::npos) << r.out;
    EXPECT_EQ(busy.log.back(), "remove at restart C:\\windows\\system32\\drivers\\hct.sys");
    // Once the driver is unloaded (replug), uninstall again finishes: nothing lists hct, the file goes.
    const Result again = RunWords(busy, {"uninstall"});
    EXPECT_EQ(again.code, hctctl::kExitOk) << again.err;
    EXPECT_EQ(busy.state.files.count(FakeSystem::kInstalled), 0u);
    EXPECT_NE(again.out.find("no device node lists hct"), std::string::npos) << again.out;
}

// ---- list --------------------------------------------------------------------------------------

TEST(HctctlList, ShowsEachMouseNodeItsNameStatusValueAndTheLinksWithoutTyingThemToNodes)
{
    FakeSystem fake;
    DeviceNode named = UsbMouse("1&1");
    named.name = "USB Optical Mouse";  // the HID child's bus-reported name
    fake.AddNode(named, true, {"hct", "foo"});
    fake.AddNode(UsbMouse("1&2"));
    DeviceNode keyboard = UsbMouse("3&1", "VID_4444&PID_0003");
    keyboard.compatibleIds = {"USB\\Class_03&SubClass_01&Prot_01"};
    fake.AddNode(keyboard);
    fake.state.services["hct"] = {1, 3, 1, "\\SystemRoot\\System32\\drivers\\hct.sys"};
    fake.state.files[FakeSystem::kInstalled] = {};
    fake.status = {0, true, hctctl::kDnHasProblem, 52};
    fake.links = {1, 3};
    const Result r = RunWords(fake, {"list"});
    EXPECT_EQ(r.code, hctctl::kExitOk);
    EXPECT_NE(r.out.find(kMouse1 + "\n    name:         USB Optical Mouse\n"
                         "    hardware ID:  USB\\VID_1234&PID_0001&REV_0100\n    service:      HidUsb\n"
                         "    status:       problem code 52 (CM_PROB_UNSIGNED_DRIVER)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("LowerFilters: hct, foo\n    hct:          yes, first"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kMouse2 + "\n    name:         USB Input Device (the node's description: no bus-reported name)\n"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("LowerFilters: (no value)\n    hct:          no\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("broken:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("VID_4444"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\\\.\\SLN_MouseExtra1 -> \\Device\\MouseExtra0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\\\.\\SLN_MouseExtra3"), std::string::npos);
    EXPECT_TRUE(fake.log.empty());
    EXPECT_TRUE(fake.switched.empty());  // listing opens no link
}

// Each state in which a node that lists hct does not start, now or after the next restart.
TEST(HctctlList, FlagsEveryBrokenStateItCanSee)
{
    const char *ours = "\\SystemRoot\\System32\\drivers\\hct.sys";
    const std::vector<std::pair<const char *, std::function<void(FakeSystem &)>>> states{
        {"there is no service hct", [](FakeSystem &f) { f.state.services.clear(); }},
        {"the service hct is another driver's", [](FakeSystem &f) { f.state.services["hct"].imagePath = "C:\\x.sys"; }},
        {"the service hct is marked for deletion", [](FakeSystem &f) { f.state.services["hct"].markedForDeletion = true; }},
        {"hct.sys is missing", [](FakeSystem &f) { f.state.files.erase(FakeSystem::kInstalled); }},
        {"hct.sys is deleted at the next restart", [](FakeSystem &f) { f.AddPending(FakeSystem::kInstalled, ""); }},
        {"hct.sys is replaced at the next restart", [](FakeSystem &f) { f.AddPending("C:\\n", std::string("!") + FakeSystem::kInstalled); }},
    };
    for (const auto &[says, breakIt] : states) {
        FakeSystem fake;
        fake.AddNode(UsbMouse("1&1"), true, {"hct"});
        fake.state.services["hct"] = {1, 3, 1, ours};
        fake.state.files[FakeSystem::kInstalled] = {};
        breakIt(fake);
        const std::string out = RunWords(fake, {"list"}).out;
        EXPECT_NE(out.find(std::string("    broken:       ") + ""), std::string::npos) << says << ": " << out;
        EXPECT_NE(out.find(says), std::string::npos) << says << ": " << out;
    }
}

// ---- on, off -----------------------------------------------------------------------------------

TEST(HctctlSwitch, WithoutANumberEveryLinkPresentIsSwitchedAndNamed)
{
    FakeSystem fake;
    fake.links = {1, 4};
    Result r = RunWords(fake, {"on"});
    EXPECT_EQ(r.code, hctctl::kExitOk);
    EXPECT_EQ(r.out, "hctctl: extra scroll turned on (\\\\.\\SLN_MouseExtra1)\n"
                     "hctctl: extra scroll turned on (\\\\.\\SLN_MouseExtra4)\n");
    EXPECT_TRUE(r.err.empty()) << r.err;

    fake.refuse[4] = hctctl::win32::kInvalidParameter;
    r = RunWords(fake, {"off"});
    EXPECT_EQ(r.code, hctctl::kExitRefused);
    EXPECT_NE(r.out.find("turned off (\\\\.\\SLN_MouseExtra1)"), std::string::npos);
    EXPECT_NE(r.err.find("SLN_MouseExtra4 failed: error 87"), std::string::npos) << r.err;

    fake.links.clear();
    r = RunWords(fake, {"on"});
    EXPECT_EQ(r.code, hctctl::kExitNoDevice);
    EXPECT_NE(r.err.find("not installed"), std::string::npos);
    r = RunWords(fake, {"on", "2"});
    EXPECT_EQ(r.code, hctctl::kExitNoDevice);
}

TEST(HctctlKeep, SwitchesEachArrivalOnceWithinTwoSecondsAndOpensNothingWhileIdle)
{
    FakeSystem fake;
    fake.links = {1};
    fake.timeline[5500] = {1, 2};    // a second mouse
    fake.timeline[9000] = {2};       // the first unplugged
    fake.timeline[12300] = {1, 2};   // and plugged in again: a new arrival
    const Result r = RunWords(fake, {"on", "--keep", "--for", "20"});
    EXPECT_EQ(r.code, hctctl::kExitOk) << r.err;
    ASSERT_EQ(fake.switched.size(), 3u);
    EXPECT_EQ(fake.switched[0], (std::pair<uint64_t, unsigned>{0, 1}));
    EXPECT_EQ(fake.switched[1].second, 2u);
    EXPECT_LE(fake.switched[1].first, 5500u + 2000u);
    EXPECT_EQ(fake.switched[2].second, 1u);
    EXPECT_LE(fake.switched[2].first, 12300u + 2000u);
    EXPECT_GE(fake.now, 20000u);
    for (unsigned w : fake.waits)
        EXPECT_LE(w, 1000u);  // at most a second between looks
    // About one look a second for 20 s: no busy loop.
    EXPECT_LE(fake.looks, 20u + 3u + 1u);
    EXPECT_NE(r.out.find("turned on (\\\\.\\SLN_MouseExtra2)"), std::string::npos) << r.out;
}

TEST(HctctlKeep, StopsOnCtrlCOrOnceTheStopFileExists)
{
    FakeSystem fake;
    fake.links = {1};
    fake.stopAt = 3200;
    Result r = RunWords(fake, {"on", "--keep"});
    EXPECT_EQ(r.code, hctctl::kExitOk);
    EXPECT_EQ(fake.now, 3200u);
    EXPECT_EQ(fake.switched.size(), 1u);

    FakeSystem file;
    file.filesAt[4100] = "C:\\stop-hctctl";
    r = RunWords(file, {"on", "--keep", "--stop-file", "C:\\stop-hctctl"});
    EXPECT_EQ(r.code, hctctl::kExitOk);
    EXPECT_LE(file.now, 5000u);
    EXPECT_NE(r.out.find("C:\\stop-hctctl exists: stopped"), std::string::npos) << r.out;

    // A refused arrival is reported once, not retried every second.
    FakeSystem refused;
    refused.links = {1};
    refused.refuse[1] = hctctl::win32::kInvalidParameter;
    r = RunWords(refused, {"on", "--keep", "--for", "5"});
    EXPECT_EQ(refused.switched.size(), 1u);
    EXPECT_EQ(Lines(r.err), 2u) << r.err;
}

}  // namespace

// The portable half of hctctl: what the command line means, which link names are tried, and what
// the user is told when Windows refuses.
#include "tools/hctctl/hctctl_args.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using hctctl::Args;
using hctctl::Command;
namespace win32 = hctctl::win32;

Args ParseWords(const std::vector<const char *> &words)
{
    std::vector<const char *> argv{"hctctl"};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.push_back(nullptr);
    return hctctl::Parse(static_cast<int>(argv.size() - 1), argv.data());
}

// What each accepted command line means: commands and options in any case, values kept as typed.
TEST(HctctlParse, EachAcceptedCommandLineMeansWhatItSays)
{
    struct Case {
        std::vector<const char *> words;
        Command command;
        unsigned link = 0;  // 0: every link present
        std::string device = "";
        bool all = false, keep = false;
        unsigned forSeconds = 0;  // 0: until stopped
        std::string stopFile = "";
    };
    const std::vector<Case> cases{
        {{"on"}, Command::On},
        {{"OFF"}, Command::Off},
        {{"on", "1"}, Command::On, 1},
        {{"off", "42"}, Command::Off, 42},
        {{"on", "100"}, Command::On, 100},
        {{"LIST"}, Command::List},
        {{"install"}, Command::Install},
        {{"Uninstall", "--device", "USB\\VID_1234&PID_0001\\1&2"}, Command::Uninstall, 0, "USB\\VID_1234&PID_0001\\1&2"},
        {{"install", "--DEVICE=USB\\VID_1234&PID_0001"}, Command::Install, 0, "USB\\VID_1234&PID_0001"},
        {{"uninstall", "--all"}, Command::Uninstall, 0, "", true},
        {{"on", "--keep", "--for", "30", "--stop-file", "C:\\stop"}, Command::On, 0, "", false, true, 30, "C:\\stop"},
        {{"on", "--keep"}, Command::On, 0, "", false, true},
        {{"on", "--for=5", "--keep"}, Command::On, 0, "", false, true, 5},
        {{"--help"}, Command::Help}, {{"-h"}, Command::Help}, {{"/?"}, Command::Help}, {{"help"}, Command::Help},
    };
    for (const Case &c : cases) {
        const Args a = ParseWords(c.words);
        ASSERT_TRUE(a.ok) << c.words[0] << ": " << a.error;
        EXPECT_EQ(a.command, c.command) << c.words[0];
        EXPECT_EQ(a.link, c.link) << c.words[0];
        EXPECT_EQ(a.device, c.device) << c.words[0];
        EXPECT_EQ(a.all, c.all) << c.words[0];
        EXPECT_EQ(a.keep, c.keep) << c.words[0];
        EXPECT_EQ(a.forSeconds, c.forSeconds) << c.words[0];
        EXPECT_EQ(a.stopFile, c.stopFile) << c.words[0];
    }
}

TEST(HctctlParse, LinkNumberOutsideOneToHundredOrNotDecimalIsAUsageError)
{
    for (const char *bad : {"0", "101", "-1", "+1", "1x", "x", "", " 1", "0x10", "4294967297", "99999999999999999999"}) {
        const Args a = ParseWords({"off", bad});
        EXPECT_FALSE(a.ok) << "'" << bad << "' accepted";
        EXPECT_NE(a.error.find("1 to 100"), std::string::npos) << a.error;
    }
}

// Each refused command line, with a word of its reason.
TEST(HctctlParse, MissingUnknownSurplusOrMisplacedWordsAreUsageErrors)
{
    const char *const argv0[] = {"hctctl", nullptr};
    EXPECT_NE(hctctl::Parse(1, argv0).error.find("missing command"), std::string::npos);
    EXPECT_FALSE(hctctl::Parse(0, nullptr).ok);
    const std::vector<std::pair<std::vector<const char *>, const char *>> refused{
        {{"toggle"}, "'toggle'"}, {{"on", "1", "2"}, "too many"}, {{"--help", "on"}, "no arguments"},
        {{"install", "--device"}, "needs a value"}, {{"install", "--device="}, "needs a value"},
        {{"install", "--device", "a", "--all"}, "exclude"}, {{"install", "--device", "a", "--device", "b"}, "twice"},
        {{"install", "1"}, "not an option"}, {{"install", "--keep"}, "not an option"}, {{"list", "--all"}, "not an option"},
        {{"off", "--keep"}, "not an option"}, {{"on", "--keep", "2"}, "no link number"}, {{"on", "--for", "5"}, "belong"},
        {{"on", "--stop-file", "x"}, "belong"}, {{"on", "--device", "x"}, "not an option"},
        {{"on", "--keep", "--for", "0"}, "1 to 604800"}, {{"on", "--keep", "--for", "-1"}, "1 to 604800"},
        {{"on", "--keep", "--for", "x"}, "1 to 604800"}, {{"on", "--keep", "--for", "604801"}, "1 to 604800"},
        {{"on", "--keep", "--for", ""}, "needs a value"},
    };
    for (const auto &[words, why] : refused) {
        const Args a = ParseWords(words);
        EXPECT_FALSE(a.ok) << words.back();
        EXPECT_NE(a.error.find(why), std::string::npos) << words.back() << ": " << a.error;
    }
}

TEST(HctctlUsage, NamesTheCommandsTheLinkAndEveryExitCode)
{
    const std::string u = hctctl::Usage("hctctl");
    EXPECT_NE(u.find("hctctl on|off [N]"), std::string::npos);
    EXPECT_NE(u.find("\\\\.\\SLN_MouseExtraN"), std::string::npos);
    for (const char *cmd : {"hctctl list", "hctctl install [--device ID | --all]",
                            "hctctl uninstall [--device ID | --all]", "on --keep [--for SECONDS] [--stop-file PATH]"})
        EXPECT_NE(u.find(cmd), std::string::npos) << cmd;
    for (const char *code : {"0 done", "1 usage error", "2 no device", "3 the driver refused", "4 not an administrator",
                             "5 hct.sys or hctctl.exe of the wrong architecture", "6 no hct.sys beside hctctl.exe",
                             "7 unknown device", "8 no USB mouse found", "9 several devices",
                             "10 a service hct with another image path", "11 a step failed",
                             "12 the service hct is marked for deletion", "13 64-bit Windows would refuse the test-signed",
                             "14 a mouse had a problem after the restart", "3010 done, restart required"})
        EXPECT_NE(u.find(code), std::string::npos) << code;
}

TEST(HctctlUsage, AUsageErrorIsItsReasonAndOneLinePointingToHelp)
{
    EXPECT_EQ(hctctl::UsageError(ParseWords({"toggle"})),
              "hctctl: unknown command 'toggle': expected list, install, uninstall, on, off or --help\n"
              "hctctl --help lists the commands, their options and the exit codes\n");
}

TEST(HctctlLinkPath, IsTheWin32NameOfTheExtraDevicesLink)
{
    EXPECT_EQ(hctctl::LinkPath(1), "\\\\.\\SLN_MouseExtra1");
    EXPECT_EQ(hctctl::LinkPath(100), "\\\\.\\SLN_MouseExtra100");
}

TEST(HctctlExplain, MissingLinkPointsAtInstallationAndThePluggedMouse)
{
    for (uint32_t e : {win32::kFileNotFound, win32::kPathNotFound}) {
        const std::string m = hctctl::ExplainOpenError(e);
        EXPECT_NE(m.find("not installed"), std::string::npos) << m;
        EXPECT_NE(m.find("not plugged in"), std::string::npos) << m;
    }
    EXPECT_NE(hctctl::ExplainOpenError(win32::kAccessDenied).find("administrator"), std::string::npos);
}

TEST(HctctlExplain, RefusedRequestsSayWhatHappened)
{
    EXPECT_NE(hctctl::ExplainRequestError(win32::kDeviceRemoved).find("removed"), std::string::npos);
    EXPECT_NE(hctctl::ExplainRequestError(win32::kInvalidParameter).find("different version"), std::string::npos);
    EXPECT_NE(hctctl::ExplainRequestError(win32::kNotSupported).find("does not belong"), std::string::npos);
    // Anything else still gets a sentence, never an empty line.
    EXPECT_FALSE(hctctl::ExplainRequestError(12345).empty());
    EXPECT_FALSE(hctctl::ExplainOpenError(12345).empty());
}

TEST(HctctlChooseOpenError, PrefersAnErrorThatTellsMoreThanNoSuchLink)
{
    const std::array<uint32_t, 4> mixed{win32::kFileNotFound, win32::kFileNotFound, win32::kAccessDenied,
                                        win32::kPathNotFound};
    EXPECT_EQ(hctctl::ChooseOpenError(mixed), win32::kAccessDenied);

    const std::array<uint32_t, 2> missing{win32::kPathNotFound, win32::kFileNotFound};
    EXPECT_EQ(hctctl::ChooseOpenError(missing), win32::kPathNotFound);

    EXPECT_EQ(hctctl::ChooseOpenError({}), win32::kFileNotFound);
}

}  // namespace

// The portable half of hctctl: what the command line means, which link names are tried, and what
// the user is told when Windows refuses.
#include "tools/hctctl/hctctl_args.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/tool/hctctl_fake.h"

namespace {

using hctctl::Args;
using hctctl::Command;
using hctctl_test::ParseWords;
namespace win32 = hctctl::win32;

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
        EXPECT_EQ(std::tie(a.command, a.link, a.device, a.all, a.keep, a.forSeconds, a.stopFile),
                  std::tie(c.command, c.link, c.device, c.all, c.keep, c.forSeconds, c.stopFile))
            << testing::PrintToString(c.words);
    }
}

// Each refused command line, with a word of its reason: a link number is decimal, 1 to 100.
TEST(HctctlParse, MissingUnknownSurplusOrMisplacedWordsAndBadNumbersAreUsageErrors)
{
    const char *const argv0[] = {"hctctl", nullptr};
    EXPECT_NE(hctctl::Parse(1, argv0).error.find("missing command"), std::string::npos);
    EXPECT_FALSE(hctctl::Parse(0, nullptr).ok);
    std::vector<std::pair<std::vector<const char *>, const char *>> refused{
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
    for (const char *bad : {"0", "101", "-1", "+1", "1x", "x", "", " 1", "0x10", "4294967297", "99999999999999999999"})
        refused.push_back({{"off", bad}, "1 to 100"});
    for (const auto &[words, why] : refused) {
        const Args a = ParseWords(words);
        EXPECT_FALSE(a.ok) << testing::PrintToString(words);
        EXPECT_NE(a.error.find(why), std::string::npos) << testing::PrintToString(words) << ": " << a.error;
    }
}

TEST(HctctlUsage, NamesTheCommandsTheLinkAndEveryExitCode)
{
    const std::string u = hctctl::Usage("hctctl");
    for (const char *said : {"hctctl list", "hctctl install [--device ID | --all]", "hctctl uninstall [--device ID | --all]",
                             "hctctl on|off [N]", "on --keep [--for SECONDS] [--stop-file PATH]", "\\\\.\\SLN_MouseExtraN",
                             "0 done", "1 usage error", "2 no device", "3 the driver refused", "4 not an administrator",
                             "5 hct.sys or hctctl.exe of the wrong architecture", "6 no hct.sys beside hctctl.exe",
                             "7 unknown device", "8 no USB mouse found", "9 several devices",
                             "10 a service hct with another image path", "11 a step failed",
                             "12 the service hct is marked for deletion", "13 64-bit Windows would refuse the test-signed",
                             "14 a mouse had a problem after the restart", "3010 done, restart required"})
        EXPECT_NE(u.find(said), std::string::npos) << said;
}

TEST(HctctlUsage, AUsageErrorIsItsReasonAndOneLinePointingToHelp)
{
    EXPECT_EQ(hctctl::UsageError(ParseWords({"toggle"})),
              "hctctl: unknown command 'toggle': expected list, install, uninstall, on, off or --help\n"
              "hctctl --help lists the commands, their options and the exit codes\n");
}

// What a failed open or request most likely means; any other error still gets a sentence.
TEST(HctctlExplain, EachErrorSaysWhatMostLikelyHappened)
{
    const auto open = hctctl::ExplainOpenError;
    const auto request = hctctl::ExplainRequestError;
    const std::vector<std::tuple<std::string (*)(uint32_t), uint32_t, const char *>> cases{
        {open, win32::kFileNotFound, "not installed"}, {open, win32::kFileNotFound, "not plugged in"},
        {open, win32::kPathNotFound, "not installed"}, {open, win32::kPathNotFound, "not plugged in"},
        {open, win32::kAccessDenied, "administrator"}, {request, win32::kDeviceRemoved, "removed"},
        {request, win32::kInvalidParameter, "different version"}, {request, win32::kNotSupported, "does not belong"},
        {open, 12345, " "}, {request, 12345, " "},  // a sentence all the same
    };
    for (const auto &[explain, error, word] : cases)
        EXPECT_NE(explain(error).find(word), std::string::npos) << error << ": " << explain(error);
}

// Of the errors met trying links 1 to 100: the first that tells more than "no such link", else the first.
TEST(HctctlChooseOpenError, PrefersAnErrorThatTellsMoreThanNoSuchLink)
{
    const std::vector<std::pair<std::vector<uint32_t>, uint32_t>> cases{
        {{win32::kFileNotFound, win32::kFileNotFound, win32::kAccessDenied, win32::kPathNotFound}, win32::kAccessDenied},
        {{win32::kPathNotFound, win32::kFileNotFound}, win32::kPathNotFound},
        {{}, win32::kFileNotFound},
    };
    for (const auto &[errors, chosen] : cases)
        EXPECT_EQ(hctctl::ChooseOpenError(errors), chosen) << testing::PrintToString(errors);
}

}  // namespace

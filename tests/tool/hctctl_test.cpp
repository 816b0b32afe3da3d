// The portable half of hctctl: what the command line means, which link names are tried, and what
// the user is told when Windows refuses.
#include "tools/hctctl/hctctl_args.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using hctctl::Args;
using hctctl::Command;
namespace win32 = hctctl::win32;

Args ParseWords(std::initializer_list<const char *> words)
{
    std::vector<const char *> argv{"hctctl"};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.push_back(nullptr);
    return hctctl::Parse(static_cast<int>(argv.size() - 1), argv.data());
}

TEST(HctctlParse, OnAndOffWithoutNumberSearchAllLinks)
{
    const Args on = ParseWords({"on"});
    ASSERT_TRUE(on.ok) << on.error;
    EXPECT_EQ(on.command, Command::On);
    EXPECT_EQ(on.link, 0u);

    const Args off = ParseWords({"OFF"});
    ASSERT_TRUE(off.ok) << off.error;
    EXPECT_EQ(off.command, Command::Off);
    EXPECT_EQ(off.link, 0u);
}

TEST(HctctlParse, LinkNumberSelectsOneLinkWithinTheDriversRange)
{
    for (unsigned n : {1u, 2u, 42u, 100u}) {
        const std::string text = std::to_string(n);
        const Args a = ParseWords({"on", text.c_str()});
        ASSERT_TRUE(a.ok) << text << ": " << a.error;
        EXPECT_EQ(a.link, n);
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

TEST(HctctlParse, MissingUnknownOrSurplusWordsAreUsageErrors)
{
    const char *const argv0[] = {"hctctl", nullptr};
    const Args none = hctctl::Parse(1, argv0);
    EXPECT_FALSE(none.ok);
    EXPECT_NE(none.error.find("missing command"), std::string::npos);

    EXPECT_FALSE(hctctl::Parse(0, nullptr).ok);

    const Args unknown = ParseWords({"toggle"});
    EXPECT_FALSE(unknown.ok);
    EXPECT_NE(unknown.error.find("'toggle'"), std::string::npos) << unknown.error;

    EXPECT_FALSE(ParseWords({"on", "1", "2"}).ok);
    EXPECT_FALSE(ParseWords({"--help", "on"}).ok);
}

TEST(HctctlParse, InstallAndUninstallTakeADeviceOrAllButNotBoth)
{
    const Args plain = ParseWords({"install"});
    ASSERT_TRUE(plain.ok) << plain.error;
    EXPECT_EQ(plain.command, Command::Install);
    EXPECT_TRUE(plain.device.empty());
    EXPECT_FALSE(plain.all);

    const Args dev = ParseWords({"Uninstall", "--device", "USB\\VID_1234&PID_0001\\1&2"});
    ASSERT_TRUE(dev.ok) << dev.error;
    EXPECT_EQ(dev.command, Command::Uninstall);
    EXPECT_EQ(dev.device, "USB\\VID_1234&PID_0001\\1&2");  // kept as typed
    const Args eq = ParseWords({"install", "--DEVICE=USB\\VID_1234&PID_0001"});
    ASSERT_TRUE(eq.ok) << eq.error;
    EXPECT_EQ(eq.device, "USB\\VID_1234&PID_0001");
    EXPECT_TRUE(ParseWords({"uninstall", "--all"}).all);

    EXPECT_FALSE(ParseWords({"install", "--device"}).ok);
    EXPECT_FALSE(ParseWords({"install", "--device="}).ok);
    EXPECT_FALSE(ParseWords({"install", "--device", "a", "--all"}).ok);
    EXPECT_FALSE(ParseWords({"install", "--device", "a", "--device", "b"}).ok);
    EXPECT_FALSE(ParseWords({"install", "1"}).ok);
    EXPECT_FALSE(ParseWords({"install", "--keep"}).ok);
    EXPECT_FALSE(ParseWords({"list", "--all"}).ok);
    EXPECT_TRUE(ParseWords({"LIST"}).ok);
}

TEST(HctctlParse, KeepBelongsToOnWithoutANumberAndForAndStopFileToKeep)
{
    const Args keep = ParseWords({"on", "--keep", "--for", "30", "--stop-file", "C:\\stop"});
    ASSERT_TRUE(keep.ok) << keep.error;
    EXPECT_TRUE(keep.keep);
    EXPECT_EQ(keep.forSeconds, 30u);
    EXPECT_EQ(keep.stopFile, "C:\\stop");
    const Args plain = ParseWords({"on", "--keep"});
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.forSeconds, 0u);  // until stopped
    EXPECT_TRUE(ParseWords({"on", "--for=5", "--keep"}).ok);

    EXPECT_FALSE(ParseWords({"off", "--keep"}).ok);
    EXPECT_FALSE(ParseWords({"on", "--keep", "2"}).ok);
    EXPECT_FALSE(ParseWords({"on", "--for", "5"}).ok);
    EXPECT_FALSE(ParseWords({"on", "--stop-file", "x"}).ok);
    for (const char *bad : {"0", "-1", "x", "604801", ""})
        EXPECT_FALSE(ParseWords({"on", "--keep", "--for", bad}).ok) << bad;
    EXPECT_FALSE(ParseWords({"on", "--device", "x"}).ok);
}

TEST(HctctlParse, HelpInEachCommonSpelling)
{
    for (const char *h : {"--help", "-h", "/?", "help"}) {
        const Args a = ParseWords({h});
        ASSERT_TRUE(a.ok) << h;
        EXPECT_EQ(a.command, Command::Help) << h;
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

// The portable half of hctctl, the console tool that installs the hct filter below a USB mouse and
// switches the extra scroll on or off through the driver's control device: command-line parsing,
// the link names and the explanations of Win32 errors. No Windows headers here, so the host build
// tests it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace hctctl {

// Exit codes of the tool. Each refusal has its own, so that a script can tell them apart.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoDevice = 2;           // no control link could be opened
constexpr int kExitRefused = 3;            // a link opened but the driver refused the request
constexpr int kExitNotAdministrator = 4;   // install/uninstall from a prompt without administrator rights
constexpr int kExitWrongArchitecture = 5;  // hct.sys (or hctctl.exe itself) is not for this Windows
constexpr int kExitNoImage = 6;            // no hct.sys beside hctctl.exe
constexpr int kExitUnknownDevice = 7;      // --device names no device node
constexpr int kExitNoMouse = 8;            // no USB mouse node to install on
constexpr int kExitSeveralDevices = 9;     // several candidates and no --device (or an ambiguous one)
constexpr int kExitServiceConflict = 10;   // a service "hct" exists with another image path
constexpr int kExitStepFailed = 11;        // a system call failed; what was changed has been undone
constexpr int kExitServiceMarked = 12;     // the service hct is marked for deletion: restart first
constexpr int kExitSigningPolicy = 13;     // 64-bit Windows would refuse the test-signed hct.sys
constexpr int kExitNodeProblem = 14;       // a node had a problem after the restart: its value put back
constexpr int kExitRestartRequired = 3010; // done, restart required (the installers' ERROR_SUCCESS_REBOOT_REQUIRED)

// Link numbers the driver can hand out: the first mouse gets 1, and the name search stops at 100.
constexpr unsigned kFirstLink = 1;
constexpr unsigned kLastLink = 100;

enum class Command { Help, List, Install, Uninstall, On, Off };

struct Args {
    bool ok = false;
    Command command = Command::Help;
    unsigned link = 0;       // on/off: 0 means every link present
    std::string device;      // install/uninstall --device: an instance ID or a hardware ID
    bool all = false;        // install/uninstall --all
    bool keep = false;       // on --keep
    unsigned forSeconds = 0; // on --keep --for S: stop after S seconds (0: until stopped)
    std::string stopFile;    // on --keep --stop-file PATH: stop once PATH exists
    std::string error;       // why parsing failed, when !ok
};

// argv[0] is the program name. Commands and options are matched in any case.
Args Parse(int argc, const char *const *argv);

std::string Usage(std::string_view program);
// What a usage error prints: its reason, then one line pointing to --help.
std::string UsageError(const Args &args);

// "\\.\SLN_MouseExtra<n>", the Win32 name of the extra device's link number n.
std::string LinkPath(unsigned n);
// "SLN_MouseExtra<n>", the link's name in the DOS device namespace.
std::string LinkName(unsigned n);

// Win32 error codes the explanations know. Kept here so this file needs no Windows headers.
namespace win32 {
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kInvalidFunction = 1;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidData = 13;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kNotSupported = 50;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kDeletePending = 303;
constexpr uint32_t kNoSuchDevice = 433;
constexpr uint32_t kServiceMarkedForDelete = 1072;
constexpr uint32_t kServiceExists = 1073;
constexpr uint32_t kDeviceNotConnected = 1167;
constexpr uint32_t kUserMappedFile = 1224;
constexpr uint32_t kDeviceRemoved = 1617;
}  // namespace win32

// What a failed open of a link most likely means, in words for the user.
std::string ExplainOpenError(uint32_t error);

// What a failed TURN_ON/TURN_OFF request most likely means.
std::string ExplainRequestError(uint32_t error);

// Of the errors met while trying links 1..100, the one worth reporting: the first that is not a
// plain "no such link" (access denied, say, tells more), else the first.
uint32_t ChooseOpenError(std::span<const uint32_t> errors);

// True for the errors an open of a link that does not exist gives.
bool IsMissingLink(uint32_t error);

}  // namespace hctctl

// The portable half of hctctl, the console tool that switches the extra scroll of an attached
// mouse on or off through the driver's control device: command-line parsing, the link names and
// the explanations of Win32 errors. No Windows headers here, so the host build tests it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace hctctl {

// Exit codes of the tool.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitNoDevice = 2;  // no link could be opened
constexpr int kExitRefused = 3;   // the link opened but the driver refused the request

// Link numbers the driver can hand out: the first mouse gets 1, and the name search stops at 100.
constexpr unsigned kFirstLink = 1;
constexpr unsigned kLastLink = 100;

enum class Command { Help, On, Off };

struct Args {
    bool ok = false;
    Command command = Command::Help;
    unsigned link = 0;  // 0: try kFirstLink..kLastLink and take the first that opens
    std::string error;  // why parsing failed, when !ok
};

// argv[0] is the program name. Accepts "on"/"off" (any case) with an optional link number, or
// "--help", "-h", "/?" alone.
Args Parse(int argc, const char *const *argv);

std::string Usage(std::string_view program);

// "\\.\SLN_MouseExtra<n>", the Win32 name of the extra device's link number n.
std::string LinkPath(unsigned n);

// Win32 error codes the explanations know. Kept here so this file needs no Windows headers.
namespace win32 {
constexpr uint32_t kInvalidFunction = 1;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kNotSupported = 50;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kDeletePending = 303;
constexpr uint32_t kNoSuchDevice = 433;
constexpr uint32_t kDeviceNotConnected = 1167;
constexpr uint32_t kDeviceRemoved = 1617;
}  // namespace win32

// What a failed open of a link most likely means, in words for the user.
std::string ExplainOpenError(uint32_t error);

// What a failed TURN_ON/TURN_OFF request most likely means.
std::string ExplainRequestError(uint32_t error);

// Of the errors met while trying links 1..100, the one worth reporting: the first that is not a
// plain "no such link" (access denied, say, tells more), else the first.
uint32_t ChooseOpenError(std::span<const uint32_t> errors);

}  // namespace hctctl

#include "hctctl_args.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "usb/hct/hctioctl.h"

namespace hctctl {
namespace {

std::string Lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

Args Fail(std::string why)
{
    Args a;
    a.error = std::move(why);
    return a;
}

bool IsMissingLink(uint32_t error)
{
    return error == win32::kFileNotFound || error == win32::kPathNotFound;
}

}  // namespace

Args Parse(int argc, const char *const *argv)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr)
        return Fail("missing command: expected on, off or --help");

    const std::string command = Lower(argv[1]);
    if (command == "--help" || command == "-h" || command == "/?" || command == "help") {
        if (argc > 2)
            return Fail("--help takes no arguments");
        Args a;
        a.ok = true;
        a.command = Command::Help;
        return a;
    }

    Args a;
    if (command == "on")
        a.command = Command::On;
    else if (command == "off")
        a.command = Command::Off;
    else
        return Fail("unknown command '" + std::string(argv[1]) + "': expected on, off or --help");

    if (argc > 3)
        return Fail("too many arguments: expected " + command + " [N]");

    if (argc == 3) {
        const std::string_view text = argv[2] ? argv[2] : "";
        unsigned n = 0;
        // Digits only: from_chars would also take a leading '-' for a signed type, and the
        // number must be exactly what the user sees in the link's name.
        const bool digits =
            !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (!digits || ec != std::errc() || end != text.data() + text.size() || n < kFirstLink || n > kLastLink)
            return Fail("link number must be " + std::to_string(kFirstLink) + " to " + std::to_string(kLastLink) +
                        ", not '" + std::string(text) + "'");
        a.link = n;
    }
    a.ok = true;
    return a;
}

std::string Usage(std::string_view program)
{
    const std::string p(program);
    return "usage: " + p + " on|off [N]\n"
           "       " + p + " --help\n"
           "\n"
           "Switches the extra scroll of a mouse that the hct filter driver is attached to.\n"
           "  on    the mouse's horizontal scroll is also reported as vertical wheel steps\n"
           "  off   the mouse's reports pass unchanged\n"
           "  N     the link number: \\\\.\\" HCT_EXTRA_LINK_BASE "N, 1 for the first mouse.\n"
           "        Without N, links " + std::to_string(kFirstLink) + " to " + std::to_string(kLastLink) +
           " are tried and the first that opens is used.\n"
           "\n"
           "Exit codes: 0 done, 1 usage error, 2 no device could be opened,\n"
           "            3 the driver refused the request.\n";
}

std::string LinkPath(unsigned n)
{
    return "\\\\.\\" HCT_EXTRA_LINK_BASE + std::to_string(n);
}

std::string ExplainOpenError(uint32_t error)
{
    switch (error) {
    case win32::kFileNotFound:
    case win32::kPathNotFound:
        return "no such device: the driver is not installed as the mouse's filter, the mouse is not "
               "plugged in, or it was plugged in before the driver was installed (replug it or restart)";
    case win32::kAccessDenied:
        return "access denied: run the command from an administrator prompt";
    case win32::kSharingViolation:
        return "the device is held open exclusively by another program";
    case win32::kDeviceRemoved:
    case win32::kDeletePending:
    case win32::kNoSuchDevice:
    case win32::kDeviceNotConnected:
        return "the mouse is being removed: plug it in again";
    case win32::kInvalidFunction:
    case win32::kNotSupported:
        return "the device refused to be opened: this link does not belong to the hct driver's control device";
    default:
        return "the device could not be opened";
    }
}

std::string ExplainRequestError(uint32_t error)
{
    switch (error) {
    case win32::kDeviceRemoved:
    case win32::kDeletePending:
    case win32::kNoSuchDevice:
    case win32::kDeviceNotConnected:
        return "the mouse was removed: plug it in again and repeat the command";
    case win32::kInvalidParameter:
        return "the driver does not know this control code: the installed driver is a different version";
    case win32::kInvalidFunction:
    case win32::kNotSupported:
        return "the device does not take control requests: this link does not belong to the hct driver's "
               "control device";
    case win32::kAccessDenied:
        return "access denied: run the command from an administrator prompt";
    default:
        return "the driver refused the request";
    }
}

uint32_t ChooseOpenError(std::span<const uint32_t> errors)
{
    for (uint32_t e : errors)
        if (!IsMissingLink(e))
            return e;
    return errors.empty() ? win32::kFileNotFound : errors.front();
}

}  // namespace hctctl

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

bool ParseNumber(std::string_view text, unsigned lo, unsigned hi, unsigned *out)
{
    // Digits only: from_chars would also take a leading '-' for a signed type, and the number must
    // be exactly what the user typed.
    const bool digits =
        !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (!digits || ec != std::errc() || end != text.data() + text.size() || n < lo || n > hi)
        return false;
    *out = n;
    return true;
}

// "--name VALUE" or "--name=VALUE" at argv[*i]; moves *i past what it took.
bool TakeValue(int argc, const char *const *argv, int *i, std::string_view name, std::string *value,
               std::string *error)
{
    const std::string_view word = argv[*i] ? argv[*i] : "";
    const std::string lower = Lower(word);
    if (lower.size() > name.size() && lower.compare(0, name.size(), name) == 0 && lower[name.size()] == '=') {
        *value = std::string(word.substr(name.size() + 1));
    } else if (*i + 1 < argc && argv[*i + 1] != nullptr) {
        *value = argv[++*i];
    } else {
        *error = std::string(name) + " needs a value";
        return false;
    }
    if (value->empty()) {
        *error = std::string(name) + " needs a value";
        return false;
    }
    return true;
}

bool IsOption(const std::string &lower, std::string_view name)
{
    return lower == name || (lower.size() > name.size() && lower.compare(0, name.size(), name) == 0 &&
                             lower[name.size()] == '=');
}

constexpr unsigned kMaxForSeconds = 7 * 24 * 3600;

}  // namespace

bool IsMissingLink(uint32_t error)
{
    return error == win32::kFileNotFound || error == win32::kPathNotFound;
}

Args Parse(int argc, const char *const *argv)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr)
        return Fail("missing command: expected list, install, uninstall, on, off or --help");

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
    if (command == "list")
        a.command = Command::List;
    else if (command == "install")
        a.command = Command::Install;
    else if (command == "uninstall")
        a.command = Command::Uninstall;
    else if (command == "on")
        a.command = Command::On;
    else if (command == "off")
        a.command = Command::Off;
    else
        return Fail("unknown command '" + std::string(argv[1]) +
                    "': expected list, install, uninstall, on, off or --help");

    const bool installing = a.command == Command::Install || a.command == Command::Uninstall;
    const bool switching = a.command == Command::On || a.command == Command::Off;
    bool haveFor = false;
    bool haveLink = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view word = argv[i] ? argv[i] : "";
        const std::string lower = Lower(word);
        std::string error;
        if (installing && IsOption(lower, "--device")) {
            if (!a.device.empty())
                return Fail("--device given twice");
            if (!TakeValue(argc, argv, &i, "--device", &a.device, &error))
                return Fail(error);
        } else if (installing && lower == "--all") {
            a.all = true;
        } else if (a.command == Command::On && lower == "--keep") {
            a.keep = true;
        } else if (switching && IsOption(lower, "--for")) {
            std::string value;
            if (!TakeValue(argc, argv, &i, "--for", &value, &error))
                return Fail(error);
            if (!ParseNumber(value, 1, kMaxForSeconds, &a.forSeconds))
                return Fail("--for takes a number of seconds from 1 to " + std::to_string(kMaxForSeconds) +
                            ", not '" + value + "'");
            haveFor = true;
        } else if (switching && IsOption(lower, "--stop-file")) {
            if (!TakeValue(argc, argv, &i, "--stop-file", &a.stopFile, &error))
                return Fail(error);
        } else if (switching && !word.empty() && word[0] != '-') {
            if (haveLink)
                return Fail("too many arguments: expected " + command + " [N]");
            if (!ParseNumber(word, kFirstLink, kLastLink, &a.link))
                return Fail("link number must be " + std::to_string(kFirstLink) + " to " +
                            std::to_string(kLastLink) + ", not '" + std::string(word) + "'");
            haveLink = true;
        } else if (switching && word.empty()) {
            return Fail("link number must be " + std::to_string(kFirstLink) + " to " + std::to_string(kLastLink) +
                        ", not ''");
        } else if (switching && word.size() > 1 && std::isdigit(static_cast<unsigned char>(word[1]))) {
            return Fail("link number must be " + std::to_string(kFirstLink) + " to " + std::to_string(kLastLink) +
                        ", not '" + std::string(word) + "'");
        } else {
            return Fail("'" + std::string(word) + "' is not an option of " + command);
        }
    }
    if (a.all && !a.device.empty())
        return Fail("--device and --all exclude each other");
    if (a.keep && haveLink)
        return Fail("--keep switches on every mouse as it appears: it takes no link number");
    if ((haveFor || !a.stopFile.empty()) && !a.keep)
        return Fail("--for and --stop-file belong to on --keep");
    a.ok = true;
    return a;
}

std::string Usage(std::string_view program)
{
    const std::string p(program);
    return "usage: " + p + " list\n"
           "       " + p + " install [--device ID | --all]\n"
           "       " + p + " uninstall [--device ID | --all]\n"
           "       " + p + " on|off [N]\n"
           "       " + p + " on --keep [--for SECONDS] [--stop-file PATH]\n"
           "       " + p + " --help\n"
           "\n"
           "Installs the hct filter driver below a USB mouse and switches its extra scroll: with it on,\n"
           "the mouse's horizontal scroll is also reported as vertical wheel steps.\n"
           "\n"
           "  list       the USB device nodes a HID mouse sits on: instance ID, name, hardware ID,\n"
           "             service, status (a problem code in words), LowerFilters and whether hct is\n"
           "             among them, and every broken state of hct it sees; then the hct control links\n"
           "             present. Which link belongs to which mouse cannot be told from user mode.\n"
           "  install    (administrator) on 64-bit Windows first asks whether Windows loads a\n"
           "             test-signed driver; copies hct.sys from beside hctctl.exe into\n"
           "             %SystemRoot%\\System32\\drivers (over a loaded one: replaced at the next\n"
           "             restart), cancels a pending deletion of it, creates or updates the kernel\n"
           "             service hct (demand start) and puts hct first in the node's LowerFilters\n"
           "             (directly above the bus driver), then restarts the device and checks that\n"
           "             it came back; one that did not gets its LowerFilters back. A step that\n"
           "             fails undoes the ones before it.\n"
           "  uninstall  (administrator) takes hct out of the node's LowerFilters, keeping every other\n"
           "             entry, deletes the value when hct was its only entry, restarts the device, and\n"
           "             removes the service and the file once no node lists hct.\n"
           "  --device ID  the node: its instance ID as list prints it, or a hardware ID that only one\n"
           "             node has. Without it: install takes the only USB mouse node, uninstall the\n"
           "             only node that lists hct. --all: every USB mouse node (install), every node\n"
           "             that lists hct (uninstall).\n"
           "  on, off    switch the extra scroll through link N (\\\\.\\" HCT_EXTRA_LINK_BASE "N, 1 for the\n"
           "             first mouse), or without N through every link " + std::to_string(kFirstLink) + " to " +
           std::to_string(kLastLink) + " present, each named.\n"
           "  on --keep  stays running and switches on each mouse whose link appears (replug, resume,\n"
           "             boot) within two seconds; opens only links that newly appeared. Stops on\n"
           "             Ctrl+C or Ctrl+Break, after --for SECONDS, or once the file --stop-file PATH\n"
           "             exists (looked at once a second).\n"
           "\n"
           "Exit codes: 0 done, 1 usage error, 2 no device could be opened,\n"
           "            3 the driver refused the request, 4 not an administrator,\n"
           "            5 hct.sys or hctctl.exe of the wrong architecture for this Windows,\n"
           "            6 no hct.sys beside hctctl.exe, 7 unknown device,\n"
           "            8 no USB mouse found, 9 several devices: give --device,\n"
           "            10 a service hct with another image path exists,\n"
           "            11 a step failed (what had been changed was undone, or the message says what\n"
           "               is left), 12 the service hct is marked for deletion: replug or restart\n"
           "               first, 13 64-bit Windows would refuse the test-signed hct.sys (test\n"
           "               signing is off): nothing was changed, the message gives the steps,\n"
           "            14 a mouse had a problem after the restart: its LowerFilters were put back,\n"
           "            3010 done, restart required (hct.sys is replaced when Windows restarts).\n";
}

std::string UsageError(const Args &args)
{
    return "hctctl: " + args.error + "\nhctctl --help lists the commands, their options and the exit codes\n";
}

std::string LinkPath(unsigned n)
{
    return "\\\\.\\" + LinkName(n);
}

std::string LinkName(unsigned n)
{
    return HCT_EXTRA_LINK_BASE + std::to_string(n);
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

// hctctl: switches the extra scroll of a mouse that the hct filter driver is attached to, through
// the driver's control device \\.\SLN_MouseExtraN.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <string>
#include <vector>

// After winioctl.h, so that its layout checks against CTL_CODE are compiled here too.
#include "usb/hct/hctioctl.h"
#include "hctctl_args.h"

namespace {

std::wstring Widen(const std::string &s)
{
    return std::wstring(s.begin(), s.end());  // link names are plain ASCII
}

// The system's text for a Win32 error, without its trailing line break.
std::string SystemMessage(DWORD error)
{
    char *text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : std::string();
    if (text)
        LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "unknown error" : out;
}

void PrintError(const char *what, const std::string &link, DWORD error, const std::string &meaning)
{
    std::fprintf(stderr, "hctctl: %s %s failed: error %lu (%s)\n       %s\n", what, link.c_str(),
                 static_cast<unsigned long>(error), SystemMessage(error).c_str(), meaning.c_str());
}

HANDLE OpenLink(unsigned n, DWORD *error)
{
    // Both control codes are FILE_ANY_ACCESS: the handle needs no read or write rights.
    HANDLE h = CreateFileW(Widen(hctctl::LinkPath(n)).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return h;
}

}  // namespace

int main(int argc, char **argv)
{
    const hctctl::Args args = hctctl::Parse(argc, argv);
    if (!args.ok) {
        std::fprintf(stderr, "hctctl: %s\n\n%s", args.error.c_str(), hctctl::Usage("hctctl").c_str());
        return hctctl::kExitUsage;
    }
    if (args.command == hctctl::Command::Help) {
        std::fputs(hctctl::Usage("hctctl").c_str(), stdout);
        return hctctl::kExitOk;
    }

    HANDLE h = INVALID_HANDLE_VALUE;
    unsigned link = args.link;
    if (link != 0) {
        DWORD error = ERROR_SUCCESS;
        h = OpenLink(link, &error);
        if (h == INVALID_HANDLE_VALUE) {
            PrintError("opening", hctctl::LinkPath(link), error, hctctl::ExplainOpenError(error));
            return hctctl::kExitNoDevice;
        }
    } else {
        std::vector<uint32_t> errors;
        for (unsigned n = hctctl::kFirstLink; n <= hctctl::kLastLink && h == INVALID_HANDLE_VALUE; ++n) {
            DWORD error = ERROR_SUCCESS;
            h = OpenLink(n, &error);
            if (h == INVALID_HANDLE_VALUE)
                errors.push_back(error);
            else
                link = n;
        }
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD error = hctctl::ChooseOpenError(errors);
            const std::string range = hctctl::LinkPath(hctctl::kFirstLink) + " .. " +
                                      std::to_string(hctctl::kLastLink);
            PrintError("opening", range, error, hctctl::ExplainOpenError(error));
            return hctctl::kExitNoDevice;
        }
    }

    const bool on = args.command == hctctl::Command::On;
    const DWORD code = on ? IOCTL_VORIK_TESKMOUSE_TURN_ON : IOCTL_VORIK_TESKMOUSE_TURN_OFF;
    DWORD returned = 0;
    const BOOL done = DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned, nullptr);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    CloseHandle(h);

    const std::string path = hctctl::LinkPath(link);
    if (!done) {
        PrintError(on ? "turning the extra scroll on through" : "turning the extra scroll off through", path, error,
                   hctctl::ExplainRequestError(error));
        return hctctl::kExitRefused;
    }
    std::printf("hctctl: extra scroll turned %s (%s)\n", on ? "on" : "off", path.c_str());
    return hctctl::kExitOk;
}

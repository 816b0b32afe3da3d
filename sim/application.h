// What a Win32 program does with the filter's extra device: CreateFile on "\\.\SLN_MouseExtra<N>",
// DeviceIoControl with the two control codes, CloseHandle (cleanup, then close). Every call returns
// the NTSTATUS the program's request ended with.
#pragma once

#include "../platform/host/hostkernel.h"
#include "../usb/hct/hctioctl.h"

#include <string>

namespace sim {

class Application {
public:
    Application() = default;
    ~Application();  // closes a handle still open
    Application(const Application &) = delete;
    Application &operator=(const Application &) = delete;

    // Opens "\\.\SLN_MouseExtra<linkNumber>" (the first mouse's link is 1). A handle already open is
    // closed first.
    NTSTATUS Open(unsigned linkNumber);
    // Opens any Win32 or NT path.
    NTSTATUS OpenPath(std::u16string_view path);
    NTSTATUS Ioctl(ULONG code, const void *in = nullptr, ULONG inLength = 0, void *out = nullptr, ULONG outLength = 0,
                   ULONG_PTR *information = nullptr);
    NTSTATUS TurnOn() { return Ioctl(IOCTL_VORIK_TESKMOUSE_TURN_ON); }
    NTSTATUS TurnOff() { return Ioctl(IOCTL_VORIK_TESKMOUSE_TURN_OFF); }
    // Read, write, flush, ... without data through the handle.
    NTSTATUS SendMajor(UCHAR major, UCHAR minor = 0);
    // Cleanup then close; returns the cleanup status. STATUS_INVALID_HANDLE-like
    // (STATUS_INVALID_PARAMETER) when nothing is open.
    NTSTATUS Close();

    bool IsOpen() const { return handle_ != 0; }
    hk::Handle Handle() const { return handle_; }

    static std::u16string LinkPath(unsigned linkNumber);  // u"\\\\.\\SLN_MouseExtra<N>"

private:
    hk::Handle handle_ = 0;
};

}  // namespace sim

// DbgPrint: one trace entry per call, formatted as printf would, bytes exactly as produced.
#include "internal.h"

#include <cstdarg>
#include <cstdio>

using namespace hk::detail;

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    bool enabled;
    bool echo;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        ++S().dbgPrintCalls;
        enabled = S().traceEnabled;
        echo = S().traceEcho;
    }
    if (!enabled || Format == nullptr) {
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, Format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        vsnprintf(text.data(), text.size(), Format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    if (echo) {
        fwrite(text.data(), 1, text.size(), stderr);
        fflush(stderr);
    }
    std::lock_guard<std::mutex> lock(Mutex());
    S().trace.push_back(std::move(text));
    return STATUS_SUCCESS;
}

namespace hk {

const std::vector<std::string> &TraceEntries()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().trace;
}

std::string TraceText()
{
    std::lock_guard<std::mutex> lock(Mutex());
    std::string all;
    for (const auto &entry : S().trace) {
        all += entry;
    }
    return all;
}

void ClearTrace()
{
    std::lock_guard<std::mutex> lock(Mutex());
    S().trace.clear();
}

void SetTraceEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(Mutex());
    S().traceEcho = echo;
}

void SetTraceEnabled(bool enabled)
{
    std::lock_guard<std::mutex> lock(Mutex());
    S().traceEnabled = enabled;
}

uint64_t DbgPrintCalls()
{
    std::lock_guard<std::mutex> lock(Mutex());
    return S().dbgPrintCalls;
}

}  // namespace hk

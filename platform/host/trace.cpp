// DbgPrint: one trace entry per call, formatted as printf would, bytes exactly as produced.
#include "internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

using namespace hk::detail;

namespace hk::detail {

// The debug print filter and the call counter sit outside the locked state: a filtered-off
// DbgPrint, as on Windows, returns after one flag test and costs its caller next to nothing.
std::atomic<bool> gTraceEnabled{true};
std::atomic<uint64_t> gDbgPrintCalls{0};

void ResetTraceSwitches()
{
    gTraceEnabled.store(true, std::memory_order_release);
    gDbgPrintCalls.store(0, std::memory_order_relaxed);
}

}  // namespace hk::detail

namespace {

// The debug print filter is on: the entry as printf would format it, kept and maybe echoed.
[[gnu::noinline]] void Record(PCSTR Format, va_list args)
{
    bool echo;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        echo = S().traceEcho;
    }
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
    if (echo) {
        fwrite(text.data(), 1, text.size(), stderr);
        fflush(stderr);
    }
    std::lock_guard<std::mutex> lock(Mutex());
    S().trace.push_back(std::move(text));
}

}  // namespace

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    gDbgPrintCalls.fetch_add(1, std::memory_order_relaxed);
    if (!gTraceEnabled.load(std::memory_order_acquire) || Format == nullptr) {
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    Record(Format, args);
    va_end(args);
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

void SetTraceEnabled(bool enabled) { gTraceEnabled.store(enabled, std::memory_order_release); }

uint64_t DbgPrintCalls() { return gDbgPrintCalls.load(std::memory_order_relaxed); }

}  // namespace hk

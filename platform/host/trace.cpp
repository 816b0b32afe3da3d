// DbgPrint: one trace entry per call, formatted as printf would, bytes exactly as produced.
#include "internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

using namespace hk::detail;

// The debug print filter and the call counter sit outside the locked state: a filtered-off
// DbgPrint, as on Windows, returns after counting the call and testing one flag, and costs its
// caller next to nothing. C names, hidden: the entry below reaches them without relocations.
extern "C" {
[[gnu::visibility("hidden")]] std::atomic<uint64_t> hkDbgPrintCalls{0};
[[gnu::visibility("hidden")]] std::atomic<bool> hkTraceEnabled{true};
[[gnu::visibility("hidden")]] ULONG __cdecl hkDbgPrintFiltered(PCSTR Format, ...);
}

namespace hk::detail {

void ResetTraceSwitches()
{
    hkTraceEnabled.store(true, std::memory_order_release);
    hkDbgPrintCalls.store(0, std::memory_order_relaxed);
}

}  // namespace hk::detail

namespace {

// The debug print filter is on: the entry as printf would format it, kept and maybe echoed.
void Record(PCSTR Format, va_list args)
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
    if (OpLogOn()) {
        hk::KernelOp op;
        op.kind = hk::KernelOp::Kind::Print;
        op.text = text;
        LogOpLocked(std::move(op));
    }
    S().trace.push_back(std::move(text));
}

}  // namespace

// DbgPrint once the call is counted and the filter found on.
extern "C" ULONG __cdecl hkDbgPrintFiltered(PCSTR Format, ...)
{
    if (Format == nullptr) {
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    Record(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

#if defined(__x86_64__) && defined(__ELF__)
// A variadic C function saves every argument register before its first statement; this entry
// counts, tests and returns without touching them, and jumps to the formatting one with the
// caller's arguments as they came (registers, stack and %al untouched).
asm(R"(
    .text
    .globl DbgPrint
    .type DbgPrint, @function
    .p2align 4
DbgPrint:
    lock addq $1, hkDbgPrintCalls(%rip)
    cmpb $0, hkTraceEnabled(%rip)
    jne hkDbgPrintFiltered
    xorl %eax, %eax
    ret
    .size DbgPrint, .-DbgPrint
)");
#else
extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    hkDbgPrintCalls.fetch_add(1, std::memory_order_relaxed);
    if (!hkTraceEnabled.load(std::memory_order_acquire) || Format == nullptr) {
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    Record(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}
#endif

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

void SetTraceEnabled(bool enabled) { hkTraceEnabled.store(enabled, std::memory_order_release); }

uint64_t DbgPrintCalls() { return hkDbgPrintCalls.load(std::memory_order_relaxed); }

}  // namespace hk

// Counted wide strings with the run-time library's semantics: appends fail without changing the
// destination when there is no room, and add a terminating null only when room is left for it.
#include "internal.h"

#include <cstring>

using namespace hk;
using namespace hk::detail;

namespace hk::detail {

bool ValidUnicodeString(PCUNICODE_STRING s, const char *service, Reports &reports)
{
    if (s == nullptr) {
        reports.Add(rule::BadUnicodeString, std::string(service) + ": null UNICODE_STRING");
        return false;
    }
    if (s->Length > s->MaximumLength || (s->Length & 1) != 0 || (s->MaximumLength & 1) != 0 ||
        (s->Buffer == nullptr && s->MaximumLength != 0)) {
        reports.Add(rule::BadUnicodeString, std::string(service) + ": Length " + std::to_string(s->Length) +
                                                ", MaximumLength " + std::to_string(s->MaximumLength) +
                                                (s->Buffer == nullptr ? ", no buffer" : ""));
        return false;
    }
    return true;
}

std::u16string Narrow16(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

}  // namespace hk::detail

namespace {

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

NTSTATUS AppendChars(PUNICODE_STRING destination, const WCHAR *source, size_t bytes)
{
    if (bytes == 0) {
        return STATUS_SUCCESS;
    }
    if (destination->Length + bytes > destination->MaximumLength) {
        return HK_STATUS_BUFFER_TOO_SMALL;
    }
    memmove(reinterpret_cast<char *>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    if (destination->Length < destination->MaximumLength) {
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    Reports reports;
    if (!ValidUnicodeString(Destination, "RtlAppendUnicodeToString", reports)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    return AppendChars(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    Reports reports;
    if (!ValidUnicodeString(Destination, "RtlAppendUnicodeStringToString", reports) ||
        !ValidUnicodeString(Source, "RtlAppendUnicodeStringToString", reports)) {
        return STATUS_INVALID_PARAMETER;
    }
    return AppendChars(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    CheckIrql(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
    Reports reports;
    if (!ValidUnicodeString(String, "RtlIntegerToUnicodeString", reports)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    char16_t digits[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : u'A' + (d - 10));
        Value /= Base;
    } while (Value != 0);
    // The digits and their terminating null must fit; otherwise the string is left as it was.
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) {
        return HK_STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i) {
        String->Buffer[i] = digits[n - 1 - i];
    }
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // extern "C"

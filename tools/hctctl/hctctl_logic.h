// hctctl's own logic, free of Windows headers: the LowerFilters edits, which device nodes are USB
// mice, the choice of the node, the order of the install and uninstall steps with their undoing,
// and the switching of the control links. The system is reached only through System
// (hctctl_system.h), so the host build tests all of it against a fake.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hctctl_args.h"
#include "hctctl_system.h"

namespace hctctl {

// The service and file names, and the image path the service gets: \SystemRoot\..., as INF
// installs write it. Windows also reads a path relative to %SystemRoot%, but Wine's kernel then
// looks relative to its current directory and fails to load the driver.
inline constexpr std::string_view kFilterName = "hct";
inline constexpr std::string_view kServiceName = "hct";
inline constexpr std::string_view kImageFile = "hct.sys";
inline constexpr std::string_view kImagePath = "\\SystemRoot\\System32\\drivers\\hct.sys";

// The compatible ID of a USB HID interface of the boot subclass with the mouse protocol.
inline constexpr std::string_view kMouseCompatibleId = "USB\\Class_03&SubClass_01&Prot_02";

bool SameText(std::string_view a, std::string_view b);  // ASCII, any case

// LowerFilters edits. Entries compare in any case, as the PnP manager compares service names.
bool ListsFilter(std::span<const std::string> entries, std::string_view name);
// name first (attached first: lowest, directly above the bus driver), every other entry after it in
// its order, name never twice.
std::vector<std::string> WithFilterFirst(std::span<const std::string> entries, std::string_view name);
// Every entry but name, in order.
std::vector<std::string> WithoutFilter(std::span<const std::string> entries, std::string_view name);

// A USB node a HID mouse sits on: a hardware ID under USB\ and either the compatible ID of a boot
// mouse interface or (known on Windows only) a child node of class Mouse.
bool IsUsbMouseNode(const DeviceNode &node);

// The machine field of a PE image; Unknown when bytes are not a PE image.
// The machine of an IMAGE_FILE_MACHINE_* code; Unknown for any other.
Machine MachineOfCode(uint16_t code);
Machine PeMachine(std::span<const uint8_t> bytes);
std::string MachineName(Machine m);

// Whether a service's image path names the file install puts in driversDirectory, in any of the
// spellings the SCM and INF installs use (relative to %SystemRoot%, \SystemRoot\..., the full
// path, with or without \??\).
bool IsOwnImagePath(std::string_view imagePath, std::string_view driversDirectory);

// REG_MULTI_SZ to and from a list: strings separated by one NUL, ended by an empty string. A value
// whose last string lacks its NUL still gives that string; nothing is read past count.
template <class C>
std::vector<std::basic_string<C>> SplitMultiString(const C *data, size_t count)
{
    std::vector<std::basic_string<C>> out;
    size_t i = 0;
    while (i < count) {
        size_t j = i;
        while (j < count && data[j] != C(0))
            ++j;
        if (j == i)
            break;
        out.emplace_back(data + i, data + j);
        i = j + 1;
    }
    return out;
}

template <class C>
std::basic_string<C> JoinMultiString(const std::vector<std::basic_string<C>> &entries)
{
    std::basic_string<C> out;
    for (const auto &e : entries) {
        out += e;
        out.push_back(C(0));
    }
    out.push_back(C(0));
    return out;
}

// PendingFileRenameOperations: a REG_MULTI_SZ (UTF-16LE) of pairs, a source ("\\??\\C:\\...") and a
// target: empty for a delete, with "!" before it for a replace. WithoutPendingFor takes out every
// pair whose source or target is path (any case, with or without \\??\\ and !) and keeps every other
// byte as it was, the closing empty string and anything after it included.
struct PendingEdit {
    std::vector<uint8_t> value;
    unsigned removed = 0;
    bool deletion = false;     // a pair taken out deleted path (or renamed it away)
    bool replacement = false;  // a pair taken out replaced path
    bool empty = false;        // no pair is left: the value can go
};
PendingEdit WithoutPendingFor(std::span<const uint8_t> value, std::string_view path);

// A CM_PROB_ code in words, with its number.
std::string ProblemText(uint32_t problem);

// Which nodes a command acts on.
struct Choice {
    int exitCode = kExitOk;            // kExitOk, or why no choice was made
    std::vector<const DeviceNode *> nodes;
};

// --device: an instance ID, or a hardware ID that exactly one node has.
Choice FindDevice(std::span<const DeviceNode> nodes, std::string_view id, std::ostream &err);

// The command itself. out gets what was done, err the refusals and failures.
int Run(const Args &args, System &system, std::ostream &out, std::ostream &err);

}  // namespace hctctl

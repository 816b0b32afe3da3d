// A stand-in for what hctctl reaches on Windows, behaving as Windows and Wine were measured to:
// an absent LowerFilters value reads as ERROR_INVALID_DATA, writing an empty list leaves an empty
// value (only a delete removes it), CreateService on an existing name fails with
// ERROR_SERVICE_EXISTS, a missing service queries as ERROR_SERVICE_DOES_NOT_EXIST, and a device
// restart fails with ERROR_DI_DO_DEFAULT as in Wine unless told otherwise. Windows' other answers
// are its defaults: x64 with test signing on, every node started, no renames pending. It logs every
// call that changes something, every device restart and every request sent through a link, in
// order, and any call that changes something can be made to fail. Its clock moves only in Wait.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/hctctl/hctctl_logic.h"
#include "tools/hctctl/hctctl_system.h"

namespace hctctl_test {

using hctctl::DeviceNode;
using hctctl::Machine;
using hctctl::ServiceConfig;
using Strings = std::vector<std::string>;
namespace win32 = hctctl::win32;

// hctctl's command line: argv[0] and these words.
inline hctctl::Args ParseWords(const std::vector<const char *> &words)
{
    std::vector<const char *> argv{"hctctl"};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.push_back(nullptr);
    return hctctl::Parse(int(argv.size() - 1), argv.data());
}

// As much of a PE image as the tool reads: the MZ header pointing at "PE\0\0" and the machine.
inline std::vector<uint8_t> PeImage(Machine m, uint8_t fill = 0)
{
    std::vector<uint8_t> b(0x200, fill);
    b[0] = 'M', b[1] = 'Z', b[0x3c] = 0x80, b[0x3d] = b[0x3e] = b[0x3f] = 0;
    b[0x80] = 'P', b[0x81] = 'E', b[0x82] = b[0x83] = 0;
    b[0x84] = uint8_t(uint16_t(m) & 0xff), b[0x85] = uint8_t(uint16_t(m) >> 8);
    return b;
}

// A mouse as the Wine stand-in bus reports it.
inline DeviceNode UsbMouse(const std::string &instance, const std::string &vidpid = "VID_1234&PID_0001")
{
    DeviceNode n;
    n.instanceId = "USB\\" + vidpid + "\\" + instance;
    n.hardwareIds = {"USB\\" + vidpid + "&REV_0100", "USB\\" + vidpid};
    n.compatibleIds = {"USB\\Class_03&SubClass_01&Prot_02", "USB\\Class_03&SubClass_01", "USB\\Class_03"};
    n.description = "USB Input Device";
    n.service = "HidUsb";
    return n;
}

class FakeSystem final : public hctctl::System {
public:
    static constexpr const char *kImage = "C:\\pkg\\x64\\hct.sys";
    static constexpr const char *kInstalled = "C:\\windows\\system32\\drivers\\hct.sys";

    struct Node {
        DeviceNode node;
        std::optional<Strings> value;  // LowerFilters: none when absent
        bool operator==(const Node &) const = default;
    };

    // Everything the tool may change, to compare before and after.
    struct State {
        std::vector<Node> nodes;
        std::map<std::string, ServiceConfig> services;
        std::map<std::string, std::vector<uint8_t>> files;
        std::vector<uint8_t> pending;  // PendingFileRenameOperations, raw
        bool pendingPresent = false;
        bool operator==(const State &) const = default;

        Node *Find(const std::string &id)
        {
            for (Node &n : nodes)
                if (hctctl::SameText(n.node.instanceId, id))
                    return &n;
            return nullptr;
        }

        // Appends a pair as MoveFileEx does: \??\ before each path, the closing empty string kept last.
        void AddPending(const std::string &from, const std::string &to)
        {
            if (pending.size() >= 2)
                pending.resize(pending.size() - 2);
            for (const std::string &s : {"\\??\\" + from, to.empty() ? to : to.substr(0, 1) + "\\??\\" + to.substr(1)}) {
                for (char c : s)
                    pending.insert(pending.end(), {uint8_t(c), 0});
                pending.insert(pending.end(), {0, 0});
            }
            pending.insert(pending.end(), {0, 0});
            pendingPresent = true;
        }
    };

    State state;
    bool admin = true;
    Machine native = Machine::X64, tool = Machine::X64;
    hctctl::CodeIntegrity integrity{0, hctctl::kCodeIntegrityEnabled | hctctl::kCodeIntegrityTestSign};
    hctctl::NodeStatus status{0, true, hctctl::kDnStarted, 0};  // every node's, after any restart
    uint32_t copyOverError = 0;  // CopyOver onto kInstalled fails with this (32: the image is loaded)
    hctctl::RestartResult restart{hctctl::RestartOutcome::Failed, 0xE000020E};  // ERROR_DI_DO_DEFAULT
    Strings log;  // changes, restarts and requests sent through a link, in order

    // Control links present, changed by the timeline as the virtual clock passes.
    std::set<unsigned> links;
    std::map<unsigned, uint32_t> refuse;                  // link -> request error (none: 0)
    std::map<uint64_t, std::set<unsigned>> timeline;      // at ms -> links present from then
    std::pair<uint64_t, std::string> fileAt{UINT64_MAX, ""};  // a file that exists from then on (ms)
    uint64_t now = 0, stopAt = UINT64_MAX;                // Wait reports Stop (Ctrl+C) from stopAt
    unsigned longestWait = 0;                             // the longest timeout Wait was given
    unsigned looks = 0;
    std::map<unsigned, uint64_t> since;                   // link -> when it last appeared
    uint64_t slowest = 0;                                 // the longest a link waited for its request, ms

    FakeSystem() { state.files[kImage] = PeImage(Machine::X64); }

    // The nth call (from 1) of an operation fails with ERROR_ACCESS_DENIED.
    void Fail(const std::string &op, int nth = 1) { fails_[op] = nth; }

    uint32_t Nodes(std::vector<DeviceNode> *nodes) override
    {
        nodes->clear();
        for (const Node &n : state.nodes)
            nodes->push_back(n.node);
        return 0;
    }

    uint32_t GetLowerFilters(const std::string &id, std::vector<std::string> *entries) override
    {
        const Node *n = state.Find(id);
        if (!n || !n->value)
            return n ? win32::kInvalidData : 0xE000020B;  // ERROR_NO_SUCH_DEVINST
        *entries = *n->value;
        return 0;
    }

    uint32_t SetLowerFilters(const std::string &id, const std::vector<std::string> &entries) override
    {
        std::string text;
        for (const std::string &e : entries)
            text += (text.empty() ? "" : ",") + e;
        return Step("set LowerFilters " + id + " = [" + text + "]", "set", [&] {
            state.Find(id)->value = entries;  // an empty list leaves an empty value
            return 0u;
        });
    }

    uint32_t DeleteLowerFilters(const std::string &id) override
    {
        return Step("delete LowerFilters " + id, "delete-value", [&] {
            state.Find(id)->value.reset();
            return 0u;
        });
    }

    hctctl::RestartResult RestartDevice(const std::string &id) override
    {
        log.push_back("restart " + id);
        return restart;
    }

    uint32_t QueryService(const std::string &name, ServiceConfig *config) override
    {
        return Lookup(state.services, name, config, win32::kServiceDoesNotExist);
    }

    uint32_t CreateKernelService(const std::string &name, const std::string &path) override
    {
        return Step("create service " + name + " " + path, "create-service", [&] {
            return state.services.emplace(name, ServiceConfig{1, 3, 1, path}).second ? 0u : win32::kServiceExists;
        });
    }

    uint32_t ConfigureService(const std::string &name, const ServiceConfig &c) override
    {
        return Step("configure service " + name + " start " + std::to_string(c.start) + " " + c.imagePath,
                    "configure-service", [&] {
                        const bool running = state.services.at(name).running;  // the tool updates only what it found
                        (state.services[name] = c).running = running;
                        return 0u;
                    });
    }

    uint32_t DeleteService(const std::string &name) override
    {
        return Step("delete service " + name, "delete-service",
                    [&] { return state.services.erase(name) ? 0u : win32::kServiceDoesNotExist; });
    }

    std::string ToolDirectory() override { return "C:\\pkg\\x64"; }
    std::string DriversDirectory() override { return "C:\\windows\\system32\\drivers"; }
    bool FileExists(const std::string &path) override
    {
        return state.files.count(path) != 0 || (path == fileAt.second && now >= fileAt.first);
    }

    uint32_t ReadFile(const std::string &path, std::vector<uint8_t> *bytes) override
    {
        return Lookup(state.files, path, bytes, win32::kFileNotFound);
    }

    uint32_t CopyOver(const std::string &from, const std::string &to) override
    {
        return Step("copy " + from + " -> " + to, "copy", [&] {
            if (copyOverError && to == kInstalled)
                return copyOverError;
            state.files[to] = state.files.at(from);  // the tool copies only what it has read
            return 0u;
        });
    }

    uint32_t WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) override
    {
        return Step("write " + path, "write", [&] { return state.files[path] = bytes, 0u; });
    }

    uint32_t RemoveFile(const std::string &path) override
    {
        return Step("remove " + path, "remove", [&] { return state.files.erase(path) ? 0u : win32::kFileNotFound; });
    }

    uint32_t RemoveFileAtRestart(const std::string &path) override
    {
        return Step("remove at restart " + path, "remove-at-restart", [&] {
            return state.AddPending(path, ""), 0u;
        });
    }

    uint32_t ReplaceAtRestart(const std::string &from, const std::string &to) override
    {
        return Step("replace at restart " + to + " by " + from, "replace-at-restart", [&] {
            return state.AddPending(from, "!" + to), 0u;
        });
    }

    uint32_t ReadPendingRenames(std::vector<uint8_t> *value, bool *present) override
    {
        *value = state.pending;
        *present = state.pendingPresent;
        return 0;
    }

    uint32_t WritePendingRenames(const std::vector<uint8_t> &value, bool present) override
    {
        return Step(present ? "write pending renames" : "delete pending renames", "write-pending", [&] {
            state.pending = present ? value : std::vector<uint8_t>{};
            state.pendingPresent = present;
            return 0u;
        });
    }

    bool IsAdministrator() override { return admin; }
    Machine NativeMachine() override { return native; }
    Machine ToolMachine() override { return tool; }
    hctctl::CodeIntegrity QueryCodeIntegrity() override { return integrity; }
    hctctl::NodeStatus QueryNodeStatus(const std::string &) override { return status; }

    std::vector<hctctl::LinkInfo> Links() override
    {
        ++looks;
        std::vector<hctctl::LinkInfo> out;
        for (unsigned n : links)
            out.push_back({n, "\\Device\\MouseExtra" + std::to_string(n - 1)});
        return out;
    }

    hctctl::SwitchResult Switch(unsigned link, bool on) override
    {
        if (!links.count(link))
            return {win32::kFileNotFound, 0};
        log.push_back((on ? "on " : "off ") + std::to_string(link));
        slowest = std::max(slowest, now - since[link]);
        return {0, refuse[link]};
    }

    // The clock moves only here. A change of the links ends the wait early, as an arrival notice does.
    hctctl::WaitResult Wait(unsigned ms) override
    {
        longestWait = std::max(longestWait, ms);
        const uint64_t until = now + ms;
        const auto next = timeline.begin();
        if (next != timeline.end() && next->first <= until && next->first < stopAt) {
            now = std::max(now, next->first);
            for (unsigned n : next->second)
                if (!links.count(n))
                    since[n] = now;
            links = next->second;
            timeline.erase(next);
            return hctctl::WaitResult::Changed;
        }
        if (stopAt <= until) {
            now = std::max(now, stopAt);
            return hctctl::WaitResult::Stop;
        }
        now = until;
        return hctctl::WaitResult::Timeout;
    }

    uint64_t NowMs() override { return now; }
    std::string Describe(uint32_t) override { return "system text"; }

private:
    template <class V>
    static uint32_t Lookup(const std::map<std::string, V> &map, const std::string &key, V *out, uint32_t missing)
    {
        const auto it = map.find(key);
        if (it == map.end())
            return missing;
        *out = it->second;
        return 0;
    }

    // Logs a change and runs it, unless it is the one chosen to fail.
    template <class F>
    uint32_t Step(const std::string &what, const std::string &op, F &&change)
    {
        const auto it = fails_.find(op);
        if (it != fails_.end() && --it->second == 0) {
            log.push_back(what + " FAILED");
            return win32::kAccessDenied;
        }
        log.push_back(what);
        return change();
    }

    std::map<std::string, int> fails_;  // operation -> calls left until the one that fails
};

}  // namespace hctctl_test

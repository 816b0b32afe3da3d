// A stand-in for what hctctl reaches on Windows, behaving as Windows and Wine were measured to:
// an absent LowerFilters value reads as ERROR_INVALID_DATA, writing an empty list leaves an empty
// value (only a delete removes it), CreateService on an existing name fails with
// ERROR_SERVICE_EXISTS, a missing service queries as ERROR_SERVICE_DOES_NOT_EXIST, and a device
// restart fails with ERROR_DI_DO_DEFAULT as in Wine unless told otherwise. It records every call
// that changes something, in order, and any one of them can be made to fail.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/hctctl/hctctl_logic.h"
#include "tools/hctctl/hctctl_system.h"

namespace hctctl_test {

using hctctl::DeviceNode;
using hctctl::Machine;
using hctctl::ServiceConfig;

// A PE header of the given machine, as much of an image as the tool reads.
inline std::vector<uint8_t> PeImage(Machine m, uint8_t fill = 0)
{
    std::vector<uint8_t> b(0x200, fill);
    b[0] = 'M';
    b[1] = 'Z';
    b[0x3c] = 0x80;
    b[0x3d] = b[0x3e] = b[0x3f] = 0;
    b[0x80] = 'P';
    b[0x81] = 'E';
    b[0x82] = b[0x83] = 0;
    b[0x84] = uint8_t(uint16_t(m) & 0xff);
    b[0x85] = uint8_t(uint16_t(m) >> 8);
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
    static constexpr const char *kToolDir = "C:\\pkg\\x64";
    static constexpr const char *kDriversDir = "C:\\windows\\system32\\drivers";
    static constexpr const char *kImage = "C:\\pkg\\x64\\hct.sys";
    static constexpr const char *kInstalled = "C:\\windows\\system32\\drivers\\hct.sys";
    static constexpr uint32_t kDiDoDefault = 0xE000020E;

    struct Node {
        DeviceNode node;
        bool hasValue = false;
        std::vector<std::string> filters;
        bool operator==(const Node &o) const
        {
            return node.instanceId == o.node.instanceId && hasValue == o.hasValue && filters == o.filters;
        }
    };

    // Everything the tool may change, to compare before and after.
    struct State {
        std::vector<Node> nodes;
        std::map<std::string, ServiceConfig> services;
        std::map<std::string, std::vector<uint8_t>> files;
        bool operator==(const State &o) const
        {
            if (!(nodes == o.nodes) || files != o.files || services.size() != o.services.size())
                return false;
            for (const auto &[k, v] : services) {
                const auto it = o.services.find(k);
                if (it == o.services.end() || it->second.type != v.type || it->second.start != v.start ||
                    it->second.errorControl != v.errorControl || it->second.imagePath != v.imagePath)
                    return false;
            }
            return true;
        }
    };

    State state;
    bool admin = true;
    Machine native = Machine::X64;
    Machine tool = Machine::X64;
    hctctl::RestartResult restart{hctctl::RestartOutcome::Failed, kDiDoDefault};

    std::vector<std::string> log;  // changes and restarts, in order

    // The nth call (from 1) of an operation fails with failError.
    void Fail(const std::string &op, int nth = 1) { fails_[op] = nth; }
    uint32_t failError = 5;

    // Control links: present now, changed by the timeline as the virtual clock passes.
    std::set<unsigned> links;
    std::map<unsigned, uint32_t> refuse;                 // link -> request error
    std::map<uint64_t, std::set<unsigned>> timeline;     // at ms -> links present from then
    uint64_t now = 0;
    uint64_t stopAt = UINT64_MAX;                         // Wait reports Stop (Ctrl+C) from then
    std::map<uint64_t, std::string> filesAt;              // at ms -> a file appears
    std::vector<std::pair<uint64_t, unsigned>> switched;  // (ms, link) of every request sent
    std::vector<unsigned> waits;                          // every Wait's timeout
    unsigned looks = 0;

    FakeSystem()
    {
        state.files[kImage] = PeImage(Machine::X64);
    }

    Node &AddNode(const DeviceNode &n, bool hasValue = false, std::vector<std::string> filters = {})
    {
        state.nodes.push_back({n, hasValue, std::move(filters)});
        return state.nodes.back();
    }

    Node *FindNode(const std::string &id)
    {
        for (Node &n : state.nodes)
            if (hctctl::SameText(n.node.instanceId, id))
                return &n;
        return nullptr;
    }

    // Operations that change something, i.e. everything but reads and restarts.
    std::vector<std::string> Changes() const
    {
        std::vector<std::string> out;
        for (const std::string &l : log)
            if (l.rfind("restart ", 0) != 0)
                out.push_back(l);
        return out;
    }

    uint32_t Nodes(std::vector<DeviceNode> *nodes) override
    {
        nodes->clear();
        for (const Node &n : state.nodes)
            nodes->push_back(n.node);
        return 0;
    }

    uint32_t GetLowerFilters(const std::string &id, std::vector<std::string> *entries) override
    {
        Node *n = FindNode(id);
        if (!n)
            return 0xE000020B;  // ERROR_NO_SUCH_DEVINST
        if (!n->hasValue)
            return hctctl::win32::kInvalidData;
        *entries = n->filters;
        return 0;
    }

    uint32_t SetLowerFilters(const std::string &id, const std::vector<std::string> &entries) override
    {
        std::string text;
        for (const std::string &e : entries)
            text += (text.empty() ? "" : ",") + e;
        if (const uint32_t e = Step("set LowerFilters " + id + " = [" + text + "]", "set"))
            return e;
        Node *n = FindNode(id);
        n->hasValue = true;  // an empty list leaves an empty value, as in Wine
        n->filters = entries;
        return 0;
    }

    uint32_t DeleteLowerFilters(const std::string &id) override
    {
        if (const uint32_t e = Step("delete LowerFilters " + id, "delete-value"))
            return e;
        Node *n = FindNode(id);
        n->hasValue = false;
        n->filters.clear();
        return 0;
    }

    hctctl::RestartResult RestartDevice(const std::string &id) override
    {
        log.push_back("restart " + id);
        return restart;
    }

    uint32_t QueryService(const std::string &name, ServiceConfig *config) override
    {
        const auto it = state.services.find(name);
        if (it == state.services.end())
            return hctctl::win32::kServiceDoesNotExist;
        *config = it->second;
        return 0;
    }

    uint32_t CreateKernelService(const std::string &name, const std::string &path) override
    {
        if (const uint32_t e = Step("create service " + name + " " + path, "create-service"))
            return e;
        if (state.services.count(name))
            return hctctl::win32::kServiceExists;
        state.services[name] = {hctctl::kServiceKernelDriver, hctctl::kServiceDemandStart,
                                hctctl::kServiceErrorNormal, path, false};
        return 0;
    }

    uint32_t ConfigureService(const std::string &name, const ServiceConfig &c) override
    {
        if (const uint32_t e = Step("configure service " + name + " start " + std::to_string(c.start) + " " +
                                        c.imagePath,
                                    "configure-service"))
            return e;
        if (!state.services.count(name))
            return hctctl::win32::kServiceDoesNotExist;
        const bool running = state.services[name].running;
        state.services[name] = c;
        state.services[name].running = running;
        return 0;
    }

    uint32_t DeleteService(const std::string &name) override
    {
        if (const uint32_t e = Step("delete service " + name, "delete-service"))
            return e;
        if (!state.services.erase(name))
            return hctctl::win32::kServiceDoesNotExist;
        return 0;
    }

    std::string ToolDirectory() override { return kToolDir; }
    std::string DriversDirectory() override { return kDriversDir; }
    bool FileExists(const std::string &path) override { return state.files.count(path) != 0; }

    uint32_t ReadFile(const std::string &path, std::vector<uint8_t> *bytes) override
    {
        const auto it = state.files.find(path);
        if (it == state.files.end())
            return hctctl::win32::kFileNotFound;
        *bytes = it->second;
        return 0;
    }

    uint32_t CopyOver(const std::string &from, const std::string &to) override
    {
        if (const uint32_t e = Step("copy " + from + " -> " + to, "copy"))
            return e;
        const auto it = state.files.find(from);
        if (it == state.files.end())
            return hctctl::win32::kFileNotFound;
        state.files[to] = it->second;
        return 0;
    }

    uint32_t WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) override
    {
        if (const uint32_t e = Step("write " + path, "write"))
            return e;
        state.files[path] = bytes;
        return 0;
    }

    uint32_t RemoveFile(const std::string &path) override
    {
        if (const uint32_t e = Step("remove " + path, "remove"))
            return e;
        return state.files.erase(path) ? 0 : hctctl::win32::kFileNotFound;
    }

    uint32_t RemoveFileAtRestart(const std::string &path) override
    {
        return Step("remove at restart " + path, "remove-at-restart");
    }

    bool IsAdministrator() override { return admin; }
    Machine NativeMachine() override { return native; }
    Machine ToolMachine() override { return tool; }

    std::vector<hctctl::LinkInfo> Links() override
    {
        ++looks;
        std::vector<hctctl::LinkInfo> out;
        for (unsigned n : links)
            out.push_back({n, "\\Device\\MouseExtra" + std::to_string(n - 1)});
        return out;
    }

    hctctl::SwitchResult Switch(unsigned link, bool) override
    {
        if (!links.count(link))
            return {hctctl::win32::kFileNotFound, 0};
        switched.emplace_back(now, link);
        const auto it = refuse.find(link);
        return {0, it == refuse.end() ? 0u : it->second};
    }

    hctctl::WaitResult Wait(unsigned ms) override
    {
        waits.push_back(ms);
        const uint64_t until = now + ms;
        // A change of the links wakes the wait early, as a device arrival notice does.
        for (auto it = timeline.begin(); it != timeline.end(); it = timeline.begin()) {
            if (it->first > until)
                break;
            if (stopAt <= it->first)
                break;
            now = std::max(now, it->first);
            links = it->second;
            timeline.erase(it);
            Files();
            return hctctl::WaitResult::Changed;
        }
        if (stopAt <= until) {
            now = std::max(now, stopAt);
            return hctctl::WaitResult::Stop;
        }
        now = until;
        Files();
        return hctctl::WaitResult::Timeout;
    }

    uint64_t NowMs() override { return now; }
    std::string Describe(uint32_t) override { return "system text"; }

private:
    void Files()
    {
        for (auto it = filesAt.begin(); it != filesAt.end() && it->first <= now; it = filesAt.erase(it))
            state.files[it->second] = {};
    }

    // Logs a change and fails it when it is the one chosen to fail.
    uint32_t Step(const std::string &what, const std::string &op)
    {
        const auto it = fails_.find(op);
        if (it != fails_.end() && --it->second == 0) {
            log.push_back(what + " FAILED");
            return failError;
        }
        log.push_back(what);
        return 0;
    }

    std::map<std::string, int> fails_;  // operation -> calls left until the one that fails
};

}  // namespace hctctl_test

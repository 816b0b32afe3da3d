#include "hctctl_logic.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace hctctl {
namespace {

char LowerChar(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), LowerChar);
    return out;
}

bool StartsWith(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

std::string Join(std::span<const std::string> entries)
{
    std::string out;
    for (const std::string &e : entries) {
        if (!out.empty())
            out += ", ";
        out += e;
    }
    return out;
}

// A node's LowerFilters as read: absent, or present with its entries (possibly none).
struct Filters {
    bool present = false;
    std::vector<std::string> entries;
    bool operator==(const Filters &) const = default;
};

uint32_t ReadFilters(System &system, const std::string &id, Filters *filters)
{
    std::vector<std::string> entries;
    const uint32_t error = system.GetLowerFilters(id, &entries);
    if (error == win32::kSuccess) {
        filters->present = true;
        filters->entries = std::move(entries);
        return error;
    }
    filters->present = false;
    filters->entries.clear();
    // Both Windows and Wine report a value that is not there as ERROR_INVALID_DATA.
    return error == win32::kInvalidData || error == win32::kFileNotFound ? win32::kSuccess : error;
}

// Puts the value back as it was: absent stays absent (a real delete: writing an empty list would
// leave an empty value behind), present gets its old entries.
uint32_t WriteFilters(System &system, const std::string &id, const Filters &filters)
{
    return filters.present ? system.SetLowerFilters(id, filters.entries) : system.DeleteLowerFilters(id);
}

std::string FiltersText(const Filters &f)
{
    if (!f.present)
        return "(no value)";
    if (f.entries.empty())
        return "(empty value)";
    return Join(f.entries);
}

std::string ErrorText(System &system, uint32_t error)
{
    // SetupAPI's own codes (0xE000xxxx) read better in hexadecimal, as its headers spell them.
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(error));
    return "error " + (error > 0xFFFF ? std::string(hex) : std::to_string(error)) + " (" + system.Describe(error) +
           ")";
}

std::string FirstOr(const std::vector<std::string> &v, std::string_view none)
{
    return v.empty() ? std::string(none) : v.front();
}

// As Device Manager names the mouse: its HID child's bus-reported name, else the node's description.
std::string NameOf(const DeviceNode &n)
{
    if (!n.name.empty())
        return n.name;
    return (n.description.empty() ? std::string("(none)") : n.description) + " (the node's description: no bus-reported name)";
}

void PrintCandidates(std::ostream &err, std::span<const DeviceNode *const> nodes)
{
    for (const DeviceNode *n : nodes)
        err << "  " << n->instanceId << "\n      " << FirstOr(n->hardwareIds, "(no hardware ID)") << ", "
            << NameOf(*n) << "\n";
}

std::vector<const DeviceNode *> PresentMice(std::span<const DeviceNode> nodes)
{
    std::vector<const DeviceNode *> out;
    for (const DeviceNode &n : nodes)
        if (n.present && IsUsbMouseNode(n))
            out.push_back(&n);
    return out;
}

void PrintRestart(System &system, std::ostream &out, const std::string &id, const RestartResult &r)
{
    switch (r.outcome) {
    case RestartOutcome::Restarted:
        out << "hctctl: restarted " << id << "\n";
        break;
    case RestartOutcome::NeedsReboot:
        out << "hctctl: " << id << " changes once Windows restarts: restart Windows (or replug the mouse)\n";
        break;
    case RestartOutcome::Failed:
        // Wine's SetupDiCallClassInstaller fails this request, at times without setting an error.
        out << "hctctl: could not restart " << id << ": "
            << (r.error ? ErrorText(system, r.error) : std::string("the class installer gave no error code"))
            << "\n        unplug the mouse and plug it in again (or restart Windows) for the change to take effect\n";
        break;
    }
}

std::string ImageOf(System &system)
{
    return system.ToolDirectory() + "\\" + std::string(kImageFile);
}

std::string InstalledImage(System &system)
{
    return system.DriversDirectory() + "\\" + std::string(kImageFile);
}

// The package has an x64 and an x86 folder, nothing else.
std::string FolderAdvice(Machine native)
{
    if (native == Machine::X64 || native == Machine::X86)
        return "run the hctctl.exe of the package's " + MachineName(native) + " folder";
    return "the package holds builds for x64 and x86 Windows only";
}

// A 32-bit hctctl.exe on 64-bit Windows sees SysWOW64 where System32\drivers is: install would put
// hct.sys where the kernel never looks, uninstall would miss the real one. Both refuse it.
int CheckToolMachine(System &system, const char *command, std::ostream &err)
{
    const Machine native = system.NativeMachine();
    const Machine tool = system.ToolMachine();
    if (tool == native)
        return kExitOk;
    err << "hctctl: this hctctl.exe is built for " << MachineName(tool) << " and this Windows is "
        << MachineName(native) << ": it cannot " << command << " the driver here (" << FolderAdvice(native)
        << "). Nothing was changed\n";
    return kExitWrongArchitecture;
}

std::string Hex(uint32_t v)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", unsigned(v));
    return hex;
}

// 64-bit Windows loads a test-signed driver only with test signing on; 32-bit Windows checks no
// signature of a demand-start driver, so it is not asked.
int CheckSigningPolicy(System &system, std::ostream &out, std::ostream &err)
{
    if (system.NativeMachine() != Machine::X64)
        return kExitOk;
    const CodeIntegrity ci = system.QueryCodeIntegrity();
    if (ci.wine) {
        out << "hctctl: Wine: its loader loads drivers without checking a signature, so its code-integrity "
               "answer (status " << Hex(ci.status) << ", options " << Hex(ci.options) << ") is not taken as a policy\n";
        return kExitOk;
    }
    if (ci.status != 0) {
        out << "hctctl: note: the code-integrity state could not be read (status " << Hex(ci.status)
            << "): if test signing is off, Windows refuses hct.sys; the check after the restart would see that\n";
        return kExitOk;
    }
    if (!(ci.options & kCodeIntegrityEnabled)) {
        out << "hctctl: code integrity is off on this Windows: no driver signature is checked\n";
        return kExitOk;
    }
    if (ci.options & kCodeIntegrityTestSign) {
        out << "hctctl: test signing is on: Windows loads the test-signed hct.sys\n";
        return kExitOk;
    }
    const char *secureBoot = ci.secureBoot == Tristate::On    ? "on here: turn it off in the firmware setup"
                             : ci.secureBoot == Tristate::Off ? "off here"
                                                              : "state unknown here: check it in the firmware setup";
    err << "hctctl: this 64-bit Windows loads only drivers with a signature it trusts (code integrity on, test "
           "signing off): it would refuse the test-signed hct.sys, and a mouse whose filter does not load stops "
           "working. Nothing was changed. To allow test-signed drivers:\n"
        << "  1. Secure Boot must be off, it forbids test signing (" << secureBoot << ")\n"
        << "  2. with BitLocker on the system drive, suspend it first or it asks for its recovery key:\n"
           "     manage-bde -protectors -disable C: -RebootCount 1\n"
           "  3. bcdedit /set testsigning on (from an administrator prompt)\n"
           "  4. restart Windows, then run hctctl install again\n";
    return kExitSigningPolicy;
}

// ---- install -----------------------------------------------------------------------------------

enum class ServiceStep { Untouched, Created, Configured };

// What install changed so far, to be undone in reverse order when a later step fails.
struct InstallDone {
    bool fileWritten = false;
    bool fileExisted = false;
    std::vector<uint8_t> oldFile;
    bool stagedWritten = false;  // the copy beside a loaded image
    bool stagedExisted = false;  // from an earlier upgrade, with these bytes
    std::vector<uint8_t> oldStaged;
    bool pendingWritten = false;
    bool oldPendingPresent = false;
    std::vector<uint8_t> oldPending;
    ServiceStep service = ServiceStep::Untouched;
    ServiceConfig oldService;
    std::vector<std::pair<std::string, Filters>> values;  // node, value before
};

// Returns true when everything was put back.
bool UndoInstall(System &system, const InstallDone &done, std::ostream &err)
{
    bool all = true;
    for (auto it = done.values.rbegin(); it != done.values.rend(); ++it) {
        const uint32_t e = WriteFilters(system, it->first, it->second);
        if (e != win32::kSuccess) {
            all = false;
            err << "hctctl: could not put back LowerFilters of " << it->first << ": " << ErrorText(system, e)
                << "\n        it was " << FiltersText(it->second) << ": set it by hand (see docs, recovery)\n";
        }
    }
    const std::string name(kServiceName);
    if (done.service == ServiceStep::Created) {
        const uint32_t e = system.DeleteService(name);
        if (e != win32::kSuccess) {
            all = false;
            err << "hctctl: could not delete the service hct just created: " << ErrorText(system, e)
                << "\n        remove it with: sc delete hct\n";
        }
    } else if (done.service == ServiceStep::Configured) {
        const uint32_t e = system.ConfigureService(name, done.oldService);
        if (e != win32::kSuccess) {
            all = false;
            err << "hctctl: could not put back the configuration of the service hct: " << ErrorText(system, e)
                << "\n";
        }
    }
    if (done.pendingWritten) {
        const uint32_t e = system.WritePendingRenames(done.oldPending, done.oldPendingPresent);
        if (e != win32::kSuccess) {
            all = false;
            err << "hctctl: could not put back PendingFileRenameOperations: " << ErrorText(system, e) << "\n";
        }
    }
    if (done.stagedWritten) {
        const std::string staged = InstalledImage(system) + ".new";
        if (const uint32_t e = done.stagedExisted ? system.WriteFile(staged, done.oldStaged) : system.RemoveFile(staged);
            e != win32::kSuccess) {
            all = false;
            err << "hctctl: could not delete " << staged << ": " << ErrorText(system, e) << "\n";
        }
    }
    if (done.fileWritten) {
        const std::string dst = InstalledImage(system);
        const uint32_t e = done.fileExisted ? system.WriteFile(dst, done.oldFile) : system.RemoveFile(dst);
        if (e != win32::kSuccess) {
            all = false;
            err << "hctctl: could not " << (done.fileExisted ? "put back the earlier " : "delete ") << dst << ": "
                << ErrorText(system, e) << "\n";
        }
    }
    return all;
}

int FailInstall(System &system, const InstallDone &done, std::ostream &err)
{
    if (UndoInstall(system, done, err))
        err << "hctctl: install undone: the registry and the files are as they were\n";
    else
        err << "hctctl: install partly undone: see the lines above for what is left\n";
    return kExitStepFailed;
}

// Install and uninstall change the system: both refuse a user who is not an administrator before
// anything else, then list the device nodes. kExitOk when both went well.
static int AdministratorWithNodes(System &system, const char *command, std::vector<DeviceNode> &nodes, std::ostream &err)
{
    if (!system.IsAdministrator()) {
        err << "hctctl: " << command << " changes the system: run it from an administrator prompt "
               "(Terminal or Command Prompt, \"Run as administrator\"). Nothing was changed.\n";
        return kExitNotAdministrator;
    }
    if (const uint32_t e = system.Nodes(&nodes); e != win32::kSuccess) {
        err << "hctctl: cannot list the device nodes: " << ErrorText(system, e) << "\n";
        return kExitStepFailed;
    }
    return kExitOk;
}

int Install(const Args &args, System &system, std::ostream &out, std::ostream &err)
{
    // Refusals first: nothing is changed before every one of them has been passed.
    const std::string image = ImageOf(system);
    if (!system.FileExists(image)) {
        err << "hctctl: no " << kImageFile << " beside hctctl.exe (looked for " << image
            << "): run the hctctl.exe of the package folder that holds the driver\n";
        return kExitNoImage;
    }
    std::vector<uint8_t> bytes;
    if (const uint32_t e = system.ReadFile(image, &bytes); e != win32::kSuccess) {
        err << "hctctl: cannot read " << image << ": " << ErrorText(system, e) << "\n";
        return kExitNoImage;
    }
    if (const int refused = CheckToolMachine(system, "install", err); refused != kExitOk)
        return refused;
    const Machine native = system.NativeMachine();
    const Machine machine = PeMachine(bytes);
    if (machine != native) {
        if (machine == Machine::Unknown)
            err << "hctctl: " << image << " is not a Windows driver image\n";
        else
            err << "hctctl: " << image << " is a driver for " << MachineName(machine) << " and this Windows is "
                << MachineName(native) << ": " << FolderAdvice(native) << "\n";
        return kExitWrongArchitecture;
    }
    std::vector<DeviceNode> nodes;
    if (const int refused = AdministratorWithNodes(system, "install", nodes, err); refused != kExitOk)
        return refused;
    std::vector<const DeviceNode *> targets;
    if (!args.device.empty()) {
        Choice c = FindDevice(nodes, args.device, err);
        if (c.exitCode != kExitOk)
            return c.exitCode;
        targets = std::move(c.nodes);
        if (!IsUsbMouseNode(*targets.front()))
            out << "hctctl: note: " << targets.front()->instanceId
                << " is not known as a USB mouse node; hct goes below its function driver all the same\n";
    } else {
        targets = PresentMice(nodes);
        if (targets.empty()) {
            err << "hctctl: no USB mouse found (a node with a USB\\ hardware ID and the compatible ID "
                << kMouseCompatibleId << "): plug the mouse in, or name its node with --device ID\n";
            return kExitNoMouse;
        }
        if (targets.size() > 1 && !args.all) {
            err << "hctctl: " << targets.size() << " USB mice found; name one with --device ID (or use --all):\n";
            PrintCandidates(err, targets);
            return kExitSeveralDevices;
        }
    }

    const std::string name(kServiceName);
    ServiceConfig service;
    bool serviceExists = false;
    if (const uint32_t e = system.QueryService(name, &service); e == win32::kSuccess) {
        serviceExists = true;
        if (!IsOwnImagePath(service.imagePath, system.DriversDirectory())) {
            err << "hctctl: a service named hct already exists with the image path " << service.imagePath
                << ", not " << kImagePath << ": it is not this driver's. Nothing was changed; remove it "
                << "(sc delete hct) if it is a leftover\n";
            return kExitServiceConflict;
        }
        // It would vanish as soon as the loaded driver unloads, and the node would then list a
        // filter without a service: a mouse that does not start.
        if (service.markedForDeletion) {
            err << "hctctl: the service hct is marked for deletion (uninstalled while its driver was loaded): "
                   "unplug the mouse or restart Windows, then install again. Nothing was changed\n";
            return kExitServiceMarked;
        }
    } else if (e != win32::kServiceDoesNotExist) {
        err << "hctctl: cannot query the service hct: " << ErrorText(system, e) << "\n";
        return kExitStepFailed;
    }

    std::vector<std::pair<const DeviceNode *, Filters>> before;
    std::vector<uint8_t> pending;
    bool pendingPresent = false;
    if (const uint32_t e = system.ReadPendingRenames(&pending, &pendingPresent); e != win32::kSuccess) {
        err << "hctctl: cannot read PendingFileRenameOperations: " << ErrorText(system, e) << "\n";
        return kExitStepFailed;
    }
    for (const DeviceNode *n : targets) {
        Filters f;
        if (const uint32_t e = ReadFilters(system, n->instanceId, &f); e != win32::kSuccess) {
            err << "hctctl: cannot read LowerFilters of " << n->instanceId << ": " << ErrorText(system, e) << "\n";
            return kExitStepFailed;
        }
        before.emplace_back(n, std::move(f));
    }
    if (const int refused = CheckSigningPolicy(system, out, err); refused != kExitOk)
        return refused;

    // 1. The file.
    InstallDone done;
    const std::string dst = InstalledImage(system);
    done.fileExisted = system.FileExists(dst);
    if (done.fileExisted) {
        if (const uint32_t e = system.ReadFile(dst, &done.oldFile); e != win32::kSuccess) {
            err << "hctctl: cannot read the " << dst << " already there: " << ErrorText(system, e)
                << ". Nothing was changed\n";
            return kExitStepFailed;
        }
    }
    // An uninstall while the driver was loaded left the file's deletion pending: after the restart
    // the service and the value would name a file that is gone.
    const PendingEdit edit = WithoutPendingFor(pending, dst);
    done.oldPending = pending;
    done.oldPendingPresent = pendingPresent;
    if (edit.removed) {
        if (const uint32_t e = system.WritePendingRenames(edit.value, !edit.empty); e != win32::kSuccess) {
            err << "hctctl: writing PendingFileRenameOperations failed: " << ErrorText(system, e) << "\n";
            return FailInstall(system, done, err);
        }
        done.pendingWritten = true;
        out << "hctctl: cancelled the "
            << (edit.replacement && edit.deletion ? "replacement and the deletion"
                : edit.replacement                ? "replacement"
                                                  : "deletion")
            << " of " << dst << " pending for the next restart (PendingFileRenameOperations, its other entries kept)\n";
    }
    const bool fileChanges = !done.fileExisted || done.oldFile != bytes;
    bool replaceAtRestart = false;
    if (fileChanges) {
        const uint32_t e = system.CopyOver(image, dst);
        if (e == win32::kSharingViolation || e == win32::kUserMappedFile) {
            // The loaded image cannot be written: the new one waits beside it for the restart.
            const std::string staged = dst + ".new";
            done.stagedExisted = system.FileExists(staged) && system.ReadFile(staged, &done.oldStaged) == win32::kSuccess;
            if (const uint32_t c = system.CopyOver(image, staged); c != win32::kSuccess) {
                err << "hctctl: copying " << image << " to " << staged << " failed: " << ErrorText(system, c) << "\n";
                return FailInstall(system, done, err);
            }
            done.stagedWritten = true;
            if (const uint32_t m = system.ReplaceAtRestart(staged, dst); m != win32::kSuccess) {
                err << "hctctl: scheduling the replacement of " << dst << " failed: " << ErrorText(system, m) << "\n";
                return FailInstall(system, done, err);
            }
            done.pendingWritten = true;
            replaceAtRestart = true;
            out << "hctctl: " << dst << " is in use (" << ErrorText(system, e) << "): copied the new one to " << staged
                << ", which replaces it when Windows restarts\n";
        } else if (e != win32::kSuccess) {
            err << "hctctl: copying " << image << " to " << dst << " failed: " << ErrorText(system, e) << "\n";
            return FailInstall(system, done, err);
        } else {
            done.fileWritten = true;
            out << "hctctl: copied " << image << " to " << dst << "\n";
        }
    } else {
        out << "hctctl: " << dst << " is already this driver\n";
    }

    // 2. The service.
    if (!serviceExists) {
        if (const uint32_t e = system.CreateKernelService(name, std::string(kImagePath)); e != win32::kSuccess) {
            err << "hctctl: creating the service hct failed: " << ErrorText(system, e) << "\n";
            return FailInstall(system, done, err);
        }
        done.service = ServiceStep::Created;
        out << "hctctl: created the service hct (kernel driver, demand start, " << kImagePath << ")\n";
    } else if (service.type != kServiceKernelDriver || service.start != kServiceDemandStart ||
               service.errorControl != kServiceErrorNormal || service.imagePath != kImagePath) {
        ServiceConfig wanted = service;
        wanted.imagePath = std::string(kImagePath);
        wanted.type = kServiceKernelDriver;
        wanted.start = kServiceDemandStart;
        wanted.errorControl = kServiceErrorNormal;
        if (const uint32_t e = system.ConfigureService(name, wanted); e != win32::kSuccess) {
            err << "hctctl: updating the service hct failed: " << ErrorText(system, e) << "\n";
            return FailInstall(system, done, err);
        }
        done.service = ServiceStep::Configured;
        done.oldService = service;
        out << "hctctl: updated the service hct (kernel driver, demand start, " << kImagePath << ")\n";
    } else {
        out << "hctctl: the service hct is already there (" << service.imagePath << ")\n";
    }

    // 3. The values.
    std::vector<std::pair<std::string, Filters>> restart;  // node, value before
    for (const auto &[node, old] : before) {
        Filters now{true, WithFilterFirst(old.entries, kFilterName)};
        if (now == old) {
            out << "hctctl: " << node->instanceId << " already lists hct first: LowerFilters " << FiltersText(old)
                << "\n";
            if (fileChanges)
                restart.emplace_back(node->instanceId, old);
            continue;
        }
        if (const uint32_t e = system.SetLowerFilters(node->instanceId, now.entries); e != win32::kSuccess) {
            err << "hctctl: writing LowerFilters of " << node->instanceId << " failed: " << ErrorText(system, e)
                << "\n";
            return FailInstall(system, done, err);
        }
        done.values.emplace_back(node->instanceId, old);
        out << "hctctl: LowerFilters of " << node->instanceId << ": " << FiltersText(old) << " -> "
            << FiltersText(now) << "\n";
        restart.emplace_back(node->instanceId, old);
    }

    if (replaceAtRestart) {
        out << "hctctl: done, restart required: restart Windows to load the new hct.sys (no device was restarted: "
               "the loaded image stays in use until then); then hctctl list shows each mouse's status\n";
        return kExitRestartRequired;
    }
    // 4. The restart, and the mouse's state after it. A restart that did not happen undoes nothing:
    // the next replug or restart loads the filter.
    bool later = false;
    int result = kExitOk;
    for (const auto &[id, old] : restart) {
        const RestartResult r = system.RestartDevice(id);
        PrintRestart(system, out, id, r);
        if (r.outcome != RestartOutcome::Restarted) {
            later = true;
            continue;
        }
        const NodeStatus st = system.QueryNodeStatus(id);
        if (!st.known) {
            out << "hctctl: the status of " << id << " after the restart is unknown (CM_Get_DevNode_Status "
                << (st.error ? "failed, CONFIGRET " + std::to_string(st.error) : std::string("gave none"))
                << "): check that the mouse moves; hctctl list shows its status\n";
            continue;
        }
        if (!(st.status & kDnHasProblem)) {
            out << "hctctl: " << id << " came back after the restart: no problem code\n";
            continue;
        }
        if (st.problem == kProblemNeedRestart) {
            out << "hctctl: " << id << ": " << ProblemText(st.problem) << "\n";
            later = true;
            continue;
        }
        // hct goes out of the value, and the node gets the stack it had without it.
        Filters back = old;
        back.entries = WithoutFilter(old.entries, kFilterName);
        if (back.entries.empty() && ListsFilter(old.entries, kFilterName))
            back.present = false;
        err << "hctctl: " << id << " did not come back after the restart: " << ProblemText(st.problem) << "\n";
        if (const uint32_t e = WriteFilters(system, id, back); e != win32::kSuccess)
            err << "        putting back its LowerFilters (" << FiltersText(back) << ") failed: " << ErrorText(system, e)
                << ": set it by hand (see docs, recovery)\n";
        else
            err << "        its LowerFilters put back: " << FiltersText(back) << "\n";
        PrintRestart(system, out, id, system.RestartDevice(id));
        result = kExitNodeProblem;
    }
    if (later)
        out << "hctctl: whether the mouse works shows after the replug or restart: hctctl list then gives each "
               "node's status and problem code\n";
    if (result != kExitOk) {
        err << "hctctl: not installed on the node(s) above; the service hct and hct.sys stay (hctctl uninstall "
               "removes them)\n";
        return result;
    }
    out << "hctctl: installed\n";
    return kExitOk;
}

// ---- uninstall ---------------------------------------------------------------------------------

int RemoveServiceAndFile(System &system, std::ostream &out, std::ostream &err)
{
    const std::string name(kServiceName);
    int result = kExitOk;
    ServiceConfig service;
    const uint32_t q = system.QueryService(name, &service);
    if (q == win32::kSuccess) {
        if (!IsOwnImagePath(service.imagePath, system.DriversDirectory())) {
            err << "hctctl: the service hct has the image path " << service.imagePath << ", not " << kImagePath
                << ": it is not this driver's, left alone\n";
            return kExitServiceConflict;
        }
        if (const uint32_t e = system.DeleteService(name); e == win32::kSuccess) {
            if (service.running)
                out << "hctctl: the service hct is marked for deletion: Windows removes it once the driver is "
                       "unloaded (unplug the mouse or restart)\n";
            else
                out << "hctctl: removed the service hct\n";
        } else if (e == win32::kServiceMarkedForDelete) {
            out << "hctctl: the service hct is already marked for deletion\n";
        } else {
            err << "hctctl: deleting the service hct failed: " << ErrorText(system, e)
                << "\n        remove it with: sc delete hct\n";
            result = kExitStepFailed;
        }
    } else if (q == win32::kServiceDoesNotExist) {
        out << "hctctl: no service hct\n";
    } else {
        err << "hctctl: cannot query the service hct: " << ErrorText(system, q) << "\n";
        return kExitStepFailed;
    }

    const std::string dst = InstalledImage(system);
    if (!system.FileExists(dst))
        return result;
    if (const uint32_t e = system.RemoveFile(dst); e == win32::kSuccess) {
        out << "hctctl: deleted " << dst << "\n";
    } else if (const uint32_t later = system.RemoveFileAtRestart(dst); later == win32::kSuccess) {
        out << "hctctl: " << dst << " is in use (" << ErrorText(system, e)
            << "): it is deleted at the next restart, or run hctctl uninstall again once the mouse is unplugged\n";
    } else {
        err << "hctctl: deleting " << dst << " failed: " << ErrorText(system, e) << "; delete it by hand\n";
        result = kExitStepFailed;
    }
    return result;
}

int Uninstall(const Args &args, System &system, std::ostream &out, std::ostream &err)
{
    if (const int refused = CheckToolMachine(system, "uninstall", err); refused != kExitOk)
        return refused;
    std::vector<DeviceNode> nodes;
    if (const int refused = AdministratorWithNodes(system, "uninstall", nodes, err); refused != kExitOk)
        return refused;

    // Every node's value: the service may go only when none lists hct, present or not (a node not
    // plugged in now still loads its filters when it comes back).
    std::vector<Filters> values(nodes.size());
    std::vector<const DeviceNode *> listing;
    std::vector<std::string> unreadable;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (ReadFilters(system, nodes[i].instanceId, &values[i]) != win32::kSuccess)
            unreadable.push_back(nodes[i].instanceId);
        else if (ListsFilter(values[i].entries, kFilterName))
            listing.push_back(&nodes[i]);
    }

    std::vector<const DeviceNode *> targets;
    if (!args.device.empty()) {
        Choice c = FindDevice(nodes, args.device, err);
        if (c.exitCode != kExitOk)
            return c.exitCode;
        if (std::find(listing.begin(), listing.end(), c.nodes.front()) == listing.end())
            out << "hctctl: " << c.nodes.front()->instanceId << " does not list hct in LowerFilters: nothing to take out\n";
        else
            targets = std::move(c.nodes);
    } else if (args.all || listing.size() <= 1) {
        targets = listing;
        ServiceConfig service;
        if (targets.empty() && unreadable.empty() &&
            system.QueryService(std::string(kServiceName), &service) == win32::kServiceDoesNotExist &&
            !system.FileExists(InstalledImage(system))) {
            out << "hctctl: nothing to uninstall: no device node lists hct, there is no service hct and no "
                << InstalledImage(system) << "\n";
            return kExitOk;
        }
        if (targets.empty())
            out << "hctctl: no device node lists hct in LowerFilters\n";
    } else {
        err << "hctctl: " << listing.size() << " device nodes list hct; name one with --device ID (or use --all):\n";
        PrintCandidates(err, listing);
        return kExitSeveralDevices;
    }

    auto valueOf = [&](const DeviceNode *n) -> const Filters & { return values[size_t(n - nodes.data())]; };
    std::vector<std::pair<std::string, Filters>> changed;
    for (const DeviceNode *n : targets) {
        const Filters &old = valueOf(n);
        const Filters now{true, WithoutFilter(old.entries, kFilterName)};
        // The value goes when hct was all it held: that is the value install created (an empty
        // value and none mean the same to the PnP manager).
        const uint32_t e = now.entries.empty() ? system.DeleteLowerFilters(n->instanceId)
                                               : system.SetLowerFilters(n->instanceId, now.entries);
        if (e != win32::kSuccess) {
            err << "hctctl: writing LowerFilters of " << n->instanceId << " failed: " << ErrorText(system, e) << "\n";
            bool all = true;
            for (auto it = changed.rbegin(); it != changed.rend(); ++it) {
                if (const uint32_t u = WriteFilters(system, it->first, it->second); u != win32::kSuccess) {
                    all = false;
                    err << "hctctl: could not put back LowerFilters of " << it->first << ": " << ErrorText(system, u)
                        << "\n";
                }
            }
            err << (all ? "hctctl: uninstall undone: the registry is as it was\n"
                        : "hctctl: uninstall partly undone: see the lines above\n");
            return kExitStepFailed;
        }
        changed.emplace_back(n->instanceId, old);
        out << "hctctl: LowerFilters of " << n->instanceId << ": " << FiltersText(old) << " -> "
            << (now.entries.empty() ? std::string("(no value)") : FiltersText(now)) << "\n";
    }
    for (const auto &[id, old] : changed)
        PrintRestart(system, out, id, system.RestartDevice(id));

    std::vector<std::string> still;
    for (const DeviceNode *n : listing)
        if (std::find(targets.begin(), targets.end(), n) == targets.end())
            still.push_back(n->instanceId);
    if (!still.empty() || !unreadable.empty()) {
        out << "hctctl: the service hct and its file stay: ";
        if (!still.empty())
            out << "still listed by " << Join(still);
        if (!unreadable.empty())
            out << (still.empty() ? "" : "; ") << "LowerFilters unreadable for " << Join(unreadable);
        out << "\n";
        return kExitOk;
    }
    const int r = RemoveServiceAndFile(system, out, err);
    if (r == kExitOk)
        out << "hctctl: uninstalled\n";
    return r;
}

// ---- list --------------------------------------------------------------------------------------

std::string StatusText(const NodeStatus &st)
{
    if (!st.known)
        return "unknown (CM_Get_DevNode_Status " +
               (st.error ? "failed, CONFIGRET " + std::to_string(st.error) : std::string("gave none")) + ")";
    if (st.status & kDnHasProblem)
        return ProblemText(st.problem);
    return st.status & kDnStarted ? "started, no problem code" : "no problem code, not started";
}

// What stops a node that lists hct from starting, now or after the next restart.
std::vector<std::string> BrokenStates(System &system)
{
    std::vector<std::string> out;
    const std::string dst = InstalledImage(system);
    ServiceConfig service;
    const uint32_t q = system.QueryService(std::string(kServiceName), &service);
    if (q == win32::kServiceDoesNotExist)
        out.push_back("hct is listed but there is no service hct: the mouse does not start (hctctl install repairs it)");
    else if (q == win32::kSuccess && !IsOwnImagePath(service.imagePath, system.DriversDirectory()))
        out.push_back("the service hct is another driver's (image path " + service.imagePath + ")");
    else if (q == win32::kSuccess && service.markedForDeletion)
        out.push_back("the service hct is marked for deletion: once its driver unloads the mouse does not start "
                      "(restart, then hctctl install)");
    std::vector<uint8_t> pending;
    bool present = false;
    PendingEdit p;
    if (system.ReadPendingRenames(&pending, &present) == win32::kSuccess)
        p = WithoutPendingFor(pending, dst);
    if (!system.FileExists(dst) && !p.replacement)
        out.push_back(dst + " is missing: the mouse does not start (hctctl install repairs it)");
    if (p.deletion)
        out.push_back(dst + " is deleted at the next restart (PendingFileRenameOperations): after it the mouse "
                      "does not start (hctctl install cancels that)");
    if (p.replacement)
        out.push_back(dst + " is replaced at the next restart (PendingFileRenameOperations): restart Windows to "
                      "load the new one");
    return out;
}

int List(System &system, std::ostream &out, std::ostream &err)
{
    std::vector<DeviceNode> nodes;
    if (const uint32_t e = system.Nodes(&nodes); e != win32::kSuccess) {
        err << "hctctl: cannot list the device nodes: " << ErrorText(system, e) << "\n";
        return kExitStepFailed;
    }
    const std::vector<std::string> broken = BrokenStates(system);
    unsigned shown = 0;
    for (const DeviceNode &n : nodes) {
        Filters f;
        const uint32_t e = ReadFilters(system, n.instanceId, &f);
        const bool listsHct = e == win32::kSuccess && ListsFilter(f.entries, kFilterName);
        if (!IsUsbMouseNode(n) && !listsHct)
            continue;
        ++shown;
        out << n.instanceId << "\n"
            << "    name:         " << NameOf(n) << "\n"
            << "    hardware ID:  " << FirstOr(n.hardwareIds, "(none)") << "\n"
            << "    service:      " << (n.service.empty() ? "(none)" : n.service) << "\n";
        if (n.present)
            out << "    status:       " << StatusText(system.QueryNodeStatus(n.instanceId)) << "\n";
        out << "    LowerFilters: " << (e == win32::kSuccess ? FiltersText(f) : "unreadable, " + ErrorText(system, e))
            << "\n"
            << "    hct:          "
            << (!listsHct                                  ? "no"
                : SameText(f.entries.front(), kFilterName) ? "yes, first (directly above the bus driver)"
                                                           : "yes, not first")
            << "\n";
        if (!n.present)
            out << "    present:      no (not plugged in)\n";
        if (!IsUsbMouseNode(n))
            out << "    note:         lists hct but is not known as a USB mouse node\n";
        if (listsHct)
            for (const std::string &b : broken)
                out << "    broken:       " << b << "\n";
    }
    if (shown == 0)
        out << "no USB mouse found\n";

    const std::vector<LinkInfo> links = system.Links();
    out << "hct control links present:";
    if (links.empty())
        out << " none (no mouse with hct loaded below it is plugged in)\n";
    else
        out << "\n";
    for (const LinkInfo &l : links)
        out << "    " << LinkPath(l.number) << (l.target.empty() ? "" : " -> " + l.target) << "\n";
    if (!links.empty())
        out << "(a link cannot be tied to a device node from user mode: each mouse with hct gets the lowest "
               "free number when it is plugged in)\n";
    return kExitOk;
}

// ---- on, off -----------------------------------------------------------------------------------

void PrintSwitchError(System &system, std::ostream &err, bool on, unsigned link, const SwitchResult &r)
{
    if (r.openError != win32::kSuccess)
        err << "hctctl: opening " << LinkPath(link) << " failed: " << ErrorText(system, r.openError) << "\n       "
            << ExplainOpenError(r.openError) << "\n";
    else
        err << "hctctl: turning the extra scroll " << (on ? "on" : "off") << " through " << LinkPath(link)
            << " failed: " << ErrorText(system, r.requestError) << "\n       " << ExplainRequestError(r.requestError)
            << "\n";
}

void PrintSwitched(std::ostream &out, bool on, unsigned link)
{
    out << "hctctl: extra scroll turned " << (on ? "on" : "off") << " (" << LinkPath(link) << ")" << std::endl;
}

int SwitchOnce(const Args &args, System &system, std::ostream &out, std::ostream &err)
{
    const bool on = args.command == Command::On;
    if (args.link != 0) {
        const SwitchResult r = system.Switch(args.link, on);
        if (r.openError != win32::kSuccess || r.requestError != win32::kSuccess) {
            PrintSwitchError(system, err, on, args.link, r);
            return r.openError != win32::kSuccess ? kExitNoDevice : kExitRefused;
        }
        PrintSwitched(out, on, args.link);
        return kExitOk;
    }
    // Every link that opens. A link that is not there costs no request at the driver.
    std::vector<uint32_t> openErrors;
    unsigned switched = 0;
    bool refused = false;
    for (unsigned n = kFirstLink; n <= kLastLink; ++n) {
        const SwitchResult r = system.Switch(n, on);
        if (r.openError != win32::kSuccess) {
            openErrors.push_back(r.openError);
            if (!IsMissingLink(r.openError))
                PrintSwitchError(system, err, on, n, r);
        } else if (r.requestError != win32::kSuccess) {
            PrintSwitchError(system, err, on, n, r);
            refused = true;
        } else {
            PrintSwitched(out, on, n);
            ++switched;
        }
    }
    if (refused)
        return kExitRefused;
    if (switched == 0) {
        const uint32_t e = ChooseOpenError(openErrors);
        if (IsMissingLink(e))
            err << "hctctl: opening " << LinkPath(kFirstLink) << " .. " << kLastLink << " failed: "
                << ErrorText(system, e) << "\n       " << ExplainOpenError(e) << "\n";
        return kExitNoDevice;
    }
    return kExitOk;
}

int Keep(const Args &args, System &system, std::ostream &out, std::ostream &err)
{
    const uint64_t start = system.NowMs();
    const uint64_t end = args.forSeconds ? start + uint64_t(args.forSeconds) * 1000 : 0;
    out << "hctctl: switching on every hct mouse as it appears; stop with Ctrl+C"
        << (args.forSeconds ? ", after " + std::to_string(args.forSeconds) + " s" : std::string())
        << (args.stopFile.empty() ? std::string() : ", or once " + args.stopFile + " exists") << std::endl;
    // Links seen at the last look. Only a link not seen then is opened: one open and one request per
    // arrival, so the driver's trace gets nothing while the set of mice stays as it is.
    std::set<unsigned> known;
    for (;;) {
        std::set<unsigned> now;
        for (const LinkInfo &l : system.Links())
            now.insert(l.number);
        for (unsigned n : now) {
            if (known.count(n))
                continue;
            const SwitchResult r = system.Switch(n, true);
            if (r.openError == win32::kSuccess && r.requestError == win32::kSuccess)
                PrintSwitched(out, true, n);
            else
                PrintSwitchError(system, err, true, n, r);
            err.flush();
        }
        known = std::move(now);

        if (!args.stopFile.empty() && system.FileExists(args.stopFile)) {
            out << "hctctl: " << args.stopFile << " exists: stopped" << std::endl;
            return kExitOk;
        }
        unsigned wait = 1000;
        if (end) {
            const uint64_t t = system.NowMs();
            if (t >= end) {
                out << "hctctl: " << args.forSeconds << " s passed: stopped" << std::endl;
                return kExitOk;
            }
            wait = unsigned(std::min<uint64_t>(wait, end - t));
        }
        if (system.Wait(wait) == WaitResult::Stop) {
            out << "hctctl: stopped" << std::endl;
            return kExitOk;
        }
    }
}

}  // namespace

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerChar(a[i]) != LowerChar(b[i]))
            return false;
    return true;
}

bool ListsFilter(std::span<const std::string> entries, std::string_view name)
{
    return std::any_of(entries.begin(), entries.end(), [&](const std::string &e) { return SameText(e, name); });
}

std::vector<std::string> WithFilterFirst(std::span<const std::string> entries, std::string_view name)
{
    std::vector<std::string> out{std::string(name)};
    for (const std::string &e : entries)
        if (!SameText(e, name))
            out.push_back(e);
    return out;
}

std::vector<std::string> WithoutFilter(std::span<const std::string> entries, std::string_view name)
{
    std::vector<std::string> out;
    for (const std::string &e : entries)
        if (!SameText(e, name))
            out.push_back(e);
    return out;
}

bool IsUsbMouseNode(const DeviceNode &node)
{
    if (!std::any_of(node.hardwareIds.begin(), node.hardwareIds.end(),
                     [](const std::string &id) { return StartsWith(id, "USB\\"); }))
        return false;
    return node.mouseChild || std::any_of(node.compatibleIds.begin(), node.compatibleIds.end(),
                                          [](const std::string &id) { return SameText(id, kMouseCompatibleId); });
}

PendingEdit WithoutPendingFor(std::span<const uint8_t> value, std::string_view path)
{
    PendingEdit edit;
    const size_t units = value.size() / 2;
    auto unit = [&](size_t i) { return char16_t(value[2 * i] | value[2 * i + 1] << 8); };
    auto stringEnd = [&](size_t i) {
        while (i < units && unit(i) != 0)
            ++i;
        return i;
    };
    auto names = [&](size_t from, size_t to) {
        std::string s;
        for (size_t i = from; i < to; ++i) {
            if (unit(i) >= 0x80)
                return false;  // the path is ASCII, as %SystemRoot% is
            s.push_back(char(unit(i)));
        }
        if (!s.empty() && s.front() == '!')
            s.erase(0, 1);
        if (StartsWith(s, "\\??\\"))
            s.erase(0, 4);
        return SameText(s, path);
    };
    size_t at = 0, kept = 0;  // kept: units up to here are copied or dropped
    unsigned pairs = 0;
    while (at < units) {
        const size_t sourceEnd = stringEnd(at);
        if (sourceEnd == at)
            break;  // the closing empty string
        const size_t target = std::min(sourceEnd + 1, units);
        const size_t targetEnd = stringEnd(target);
        const size_t next = std::min(targetEnd + 1, units);
        const bool targetNames = target < targetEnd && names(target, targetEnd);
        if (names(at, sourceEnd) || targetNames) {
            edit.value.insert(edit.value.end(), value.begin() + 2 * kept, value.begin() + 2 * at);
            kept = next;
            ++edit.removed;
            (targetNames ? edit.replacement : edit.deletion) = true;
        } else {
            ++pairs;
        }
        at = next;
    }
    edit.value.insert(edit.value.end(), value.begin() + 2 * std::min(kept, units), value.end());
    edit.empty = pairs == 0;
    return edit;
}

std::string ProblemText(uint32_t problem)
{
    const std::string code = "problem code " + std::to_string(problem);
    switch (problem) {
    case 10:
        return code + " (CM_PROB_FAILED_START): the device could not start";
    case 14:
        return code + " (CM_PROB_NEED_RESTART): the change takes effect once Windows restarts";
    case 22:
        return code + " (CM_PROB_DISABLED): the device is disabled";
    case 28:
        return code + " (CM_PROB_FAILED_INSTALL): the device's drivers are not installed";
    case 31:
        return code + " (CM_PROB_FAILED_ADD): a driver of its stack could not add the device";
    case 39:
        return code + " (CM_PROB_DRIVER_FAILED_LOAD): a driver of its stack would not load (a missing or damaged "
                      "file, or a service that is gone)";
    case 52:
        return code + " (CM_PROB_UNSIGNED_DRIVER): Windows cannot verify the signature of a driver of its stack "
                      "(most likely hct.sys, which carries a test signature: it loads only with test signing on)";
    default:
        return code;
    }
}

Machine MachineOfCode(uint16_t code)
{
    switch (code) {
    case 0x014c:
        return Machine::X86;
    case 0x8664:
        return Machine::X64;
    case 0xaa64:
        return Machine::Arm64;
    default:
        return Machine::Unknown;
    }
}

Machine PeMachine(std::span<const uint8_t> bytes)
{
    auto u16 = [&](size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); };
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')
        return Machine::Unknown;
    const size_t pe = size_t(bytes[0x3c]) | size_t(bytes[0x3d]) << 8 | size_t(bytes[0x3e]) << 16 |
                      size_t(bytes[0x3f]) << 24;
    if (pe > bytes.size() || bytes.size() - pe < 6 || bytes[pe] != 'P' || bytes[pe + 1] != 'E' || bytes[pe + 2] ||
        bytes[pe + 3])
        return Machine::Unknown;
    return MachineOfCode(u16(pe + 4));
}

std::string MachineName(Machine m)
{
    switch (m) {
    case Machine::X86:
        return "x86";
    case Machine::X64:
        return "x64";
    case Machine::Arm64:
        return "ARM64";
    default:
        return "an unknown machine";
    }
}

bool IsOwnImagePath(std::string_view imagePath, std::string_view driversDirectory)
{
    std::string p = Lower(imagePath);
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.size() >= 2 && p.front() == '"' && p.back() == '"')
        p = p.substr(1, p.size() - 2);
    if (p.rfind("\\??\\", 0) == 0)
        p = p.substr(4);
    const std::string tail = "system32\\drivers\\" + std::string(kImageFile);
    std::string full = Lower(driversDirectory) + "\\" + std::string(kImageFile);
    std::replace(full.begin(), full.end(), '/', '\\');
    for (std::string_view root : {"", "\\systemroot\\", "%systemroot%\\", "%windir%\\"})
        if (p == std::string(root) + tail)
            return true;
    return p == full;
}

Choice FindDevice(std::span<const DeviceNode> nodes, std::string_view id, std::ostream &err)
{
    Choice c;
    for (const DeviceNode &n : nodes)
        if (SameText(n.instanceId, id)) {
            c.nodes.push_back(&n);
            return c;
        }
    for (const DeviceNode &n : nodes)
        if (std::any_of(n.hardwareIds.begin(), n.hardwareIds.end(),
                        [&](const std::string &h) { return SameText(h, id); }))
            c.nodes.push_back(&n);
    if (c.nodes.empty()) {
        err << "hctctl: no device node has the instance ID or hardware ID " << id
            << ": hctctl list shows the USB mice and their IDs\n";
        c.exitCode = kExitUnknownDevice;
    } else if (c.nodes.size() > 1) {
        err << "hctctl: " << c.nodes.size() << " device nodes have the hardware ID " << id
            << "; name one by its instance ID:\n";
        PrintCandidates(err, c.nodes);
        c.nodes.clear();
        c.exitCode = kExitSeveralDevices;
    }
    return c;
}

int Run(const Args &args, System &system, std::ostream &out, std::ostream &err)
{
    switch (args.command) {
    case Command::Help:
        out << Usage("hctctl");
        return kExitOk;
    case Command::List:
        return List(system, out, err);
    case Command::Install:
        return Install(args, system, out, err);
    case Command::Uninstall:
        return Uninstall(args, system, out, err);
    case Command::On:
    case Command::Off:
        return args.keep ? Keep(args, system, out, err) : SwitchOnce(args, system, out, err);
    }
    return kExitUsage;
}

}  // namespace hctctl

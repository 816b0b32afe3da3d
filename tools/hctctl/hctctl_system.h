// What hctctl needs from Windows, behind one small interface: the device nodes and their
// LowerFilters value (SetupAPI), the service control manager, files, the caller's rights and the
// machine, the device restart, and the driver's control links. hctctl.cpp implements it with the
// Win32 calls; the host tests implement it with a fake that behaves as Windows and Wine were
// measured to behave. Every call returns a Win32 error code, 0 for success.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hctctl {

// One device node as SetupAPI lists it (strings in UTF-8).
struct DeviceNode {
    std::string instanceId;                  // e.g. USB\VID_1234&PID_0001\5&2a0c3f1&0&1
    std::vector<std::string> hardwareIds;    // SPDRP_HARDWAREID, most specific first
    std::vector<std::string> compatibleIds;  // SPDRP_COMPATIBLEIDS
    std::string description;                 // SPDRP_DEVICEDESC (a USB HID node's is "USB Input Device")
    std::string name;                        // the bus-reported name of its HID child, as Device Manager
                                             // shows the mouse (Windows only; Wine reports none)
    std::string service;                     // SPDRP_SERVICE, the function driver
    bool present = true;                     // plugged in now (Wine lists removed nodes as present)
    bool mouseChild = false;                 // one of its children is of class Mouse (Windows only)
    bool operator==(const DeviceNode &) const = default;
};

// The machine field of a PE image header, and of the Windows the tool runs on.
enum class Machine : uint16_t { Unknown = 0, X86 = 0x014c, X64 = 0x8664, Arm64 = 0xaa64 };

// A service's configuration as QueryServiceConfigW gives it.
struct ServiceConfig {
    uint32_t type = 0;          // SERVICE_KERNEL_DRIVER is 1
    uint32_t start = 0;         // SERVICE_DEMAND_START is 3
    uint32_t errorControl = 0;  // SERVICE_ERROR_NORMAL is 1
    std::string imagePath;
    bool running = false;       // its driver is loaded: a delete only marks it
    bool markedForDeletion = false;  // deleted while loaded: goes when the driver unloads
    bool operator==(const ServiceConfig &) const = default;
};

constexpr uint32_t kServiceKernelDriver = 1;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceErrorNormal = 1;

enum class RestartOutcome {
    Restarted,    // DIF_PROPERTYCHANGE succeeded and flagged nothing
    NeedsReboot,  // it succeeded but set DI_NEEDREBOOT or DI_NEEDRESTART
    Failed,       // it failed (Wine: always, ERROR_DI_DO_DEFAULT)
};

struct RestartResult {
    RestartOutcome outcome = RestartOutcome::Failed;
    uint32_t error = 0;
};

// A control link present in the DOS device namespace, found without opening it.
struct LinkInfo {
    unsigned number = 0;
    std::string target;  // what the link points at, e.g. \Device\MouseExtra0
};

// What sending TURN_ON or TURN_OFF through one link gave.
struct SwitchResult {
    uint32_t openError = 0;     // CreateFileW; nonzero means no request was sent
    uint32_t requestError = 0;  // DeviceIoControl
};

enum class WaitResult { Timeout, Changed, Stop };

enum class Tristate { Unknown, Off, On };

// Whether the kernel checks driver signatures. NtQuerySystemInformation(SystemCodeIntegrityInformation,
// class 103) gives SYSTEM_CODEINTEGRITY_INFORMATION {Length, CodeIntegrityOptions}; Secure Boot comes
// from SystemSecureBootInformation (145), else HKLM\SYSTEM\CurrentControlSet\Control\SecureBoot\State
// UEFISecureBootEnabled. Measured in Wine 8.0 (64-bit prefix): class 103 succeeds with options 0x1
// (enforced, no test signing) whatever is loaded, class 145 fails with STATUS_INVALID_INFO_CLASS and
// the registry value is absent.
struct CodeIntegrity {
    uint32_t status = 0;   // NTSTATUS of the class 103 query; options mean nothing unless 0
    uint32_t options = 0;
    Tristate secureBoot = Tristate::Unknown;
    bool wine = false;     // ntdll exports wine_get_version: Wine's loader checks no signature
};
constexpr uint32_t kCodeIntegrityEnabled = 0x01;   // CODEINTEGRITY_OPTION_ENABLED
constexpr uint32_t kCodeIntegrityTestSign = 0x02;  // CODEINTEGRITY_OPTION_TESTSIGN

// A node's state as CM_Get_DevNode_Status gives it. Wine's call is a stub (measured, Wine 8.0): it
// returns CR_SUCCESS and fills in nothing, which reads as known = false (a real node always has
// some DN_ flag set).
struct NodeStatus {
    uint32_t error = 0;  // the CONFIGRET, 0 for CR_SUCCESS
    bool known = false;
    uint32_t status = 0;   // DN_ flags
    uint32_t problem = 0;  // CM_PROB_ code, meaningful with DN_HAS_PROBLEM
};
constexpr uint32_t kDnStarted = 0x8;        // DN_STARTED
constexpr uint32_t kDnHasProblem = 0x400;   // DN_HAS_PROBLEM
constexpr uint32_t kProblemNeedRestart = 14;  // CM_PROB_NEED_RESTART: not a failure, a restart to come

class System {
public:
    virtual ~System() = default;

    // Device nodes: every node SetupAPI knows, present or not.
    virtual uint32_t Nodes(std::vector<DeviceNode> *nodes) = 0;
    // SPDRP_LOWERFILTERS of a node. An absent value is an error: ERROR_INVALID_DATA, as both
    // Windows and Wine report it.
    virtual uint32_t GetLowerFilters(const std::string &instanceId, std::vector<std::string> *entries) = 0;
    // Writes the value (REG_MULTI_SZ). An empty list leaves an empty value, as Wine does.
    virtual uint32_t SetLowerFilters(const std::string &instanceId, const std::vector<std::string> &entries) = 0;
    // Removes the value itself.
    virtual uint32_t DeleteLowerFilters(const std::string &instanceId) = 0;
    // DIF_PROPERTYCHANGE with DICS_PROPCHANGE: the PnP manager rebuilds the node's stack.
    virtual RestartResult RestartDevice(const std::string &instanceId) = 0;

    // Services. QueryService gives ERROR_SERVICE_DOES_NOT_EXIST (1060) for a service not there.
    virtual uint32_t QueryService(const std::string &name, ServiceConfig *config) = 0;
    virtual uint32_t CreateKernelService(const std::string &name, const std::string &imagePath) = 0;
    // Sets type, start, error control and image path of an existing service.
    virtual uint32_t ConfigureService(const std::string &name, const ServiceConfig &config) = 0;
    virtual uint32_t DeleteService(const std::string &name) = 0;

    // Files (Windows paths).
    virtual std::string ToolDirectory() = 0;     // where hctctl.exe lies
    virtual std::string DriversDirectory() = 0;  // %SystemRoot%\System32\drivers
    virtual bool FileExists(const std::string &path) = 0;
    virtual uint32_t ReadFile(const std::string &path, std::vector<uint8_t> *bytes) = 0;
    virtual uint32_t CopyOver(const std::string &from, const std::string &to) = 0;
    virtual uint32_t WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) = 0;
    virtual uint32_t RemoveFile(const std::string &path) = 0;
    // For a file in use (a loaded driver's image): deleted at the next restart.
    virtual uint32_t RemoveFileAtRestart(const std::string &path) = 0;
    // MoveFileEx(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT): to is replaced by
    // from at the next restart.
    virtual uint32_t ReplaceAtRestart(const std::string &from, const std::string &to) = 0;
    // HKLM\SYSTEM\CurrentControlSet\Control\Session Manager PendingFileRenameOperations, as the raw
    // bytes of its REG_MULTI_SZ. An absent value reads as success with present false; writing with
    // present false deletes it.
    virtual uint32_t ReadPendingRenames(std::vector<uint8_t> *value, bool *present) = 0;
    virtual uint32_t WritePendingRenames(const std::vector<uint8_t> &value, bool present) = 0;

    // The caller and the machine.
    virtual bool IsAdministrator() = 0;         // member of Administrators, elevated
    virtual Machine NativeMachine() = 0;        // the Windows the tool runs on
    virtual Machine ToolMachine() = 0;          // what hctctl.exe itself was built for
    virtual CodeIntegrity QueryCodeIntegrity() = 0;
    virtual NodeStatus QueryNodeStatus(const std::string &instanceId) = 0;

    // Control links.
    virtual std::vector<LinkInfo> Links() = 0;  // present links, none opened
    virtual SwitchResult Switch(unsigned link, bool on) = 0;
    // Waits up to ms milliseconds for a device arrival notice or a stop request (Ctrl+C).
    virtual WaitResult Wait(unsigned ms) = 0;
    virtual uint64_t NowMs() = 0;

    // The system's text for a Win32 error.
    virtual std::string Describe(uint32_t error) = 0;
};

namespace win32 {
constexpr uint32_t kServiceDoesNotExist = 1060;
}  // namespace win32

}  // namespace hctctl

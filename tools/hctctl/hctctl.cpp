// hctctl: installs the hct filter driver below a USB mouse and switches its extra scroll through the
// driver's control device \\.\SLN_MouseExtraN. This file is the Windows half: the System interface
// (hctctl_system.h) on SetupAPI, the service control manager and the file and device calls. What the
// tool does with them is in hctctl_logic.cpp.
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <dbt.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

// After winioctl.h, so that its layout checks against CTL_CODE are compiled here too.
#include "usb/hct/hctioctl.h"
#include "hctctl_args.h"
#include "hctctl_logic.h"

namespace {

using hctctl::CodeIntegrity;
using hctctl::DeviceNode;
using hctctl::NodeStatus;
using hctctl::Tristate;
using hctctl::LinkInfo;
using hctctl::Machine;
using hctctl::RestartOutcome;
using hctctl::RestartResult;
using hctctl::ServiceConfig;
using hctctl::SwitchResult;
using hctctl::WaitResult;

// DEVPKEY_Device_Children (devpkey.h), spelt out here so that no GUID object needs initguid.h.
// MAX_DEVICE_ID_LEN of cfgmgr32.h.
constexpr DWORD kMaxDeviceIdLength = 200;

const DEVPROPKEY kDeviceChildren = {
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 9};
// DEVPKEY_Device_BusReportedDeviceDesc: the product string the device gave its bus.
const DEVPROPKEY kBusReportedName = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

std::wstring Wide(const std::string &s)
{
    if (s.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring &s)
{
    if (s.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// A wide string from a buffer of count characters that may or may not end in a NUL.
std::wstring FromBuffer(const wchar_t *p, size_t count)
{
    size_t n = 0;
    while (n < count && p[n])
        ++n;
    return std::wstring(p, n);
}

HANDLE g_stop = nullptr;  // set by Ctrl+C and Ctrl+Break
bool g_changed = false;   // a device arrived since the last look

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        if (g_stop)
            SetEvent(g_stop);
        return TRUE;
    }
    return FALSE;
}

LRESULT CALLBACK OnWindowMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_DEVICECHANGE && (wp == DBT_DEVNODES_CHANGED || wp == DBT_DEVICEARRIVAL)) {
        g_changed = true;
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

class WinSystem final : public hctctl::System {
public:
    ~WinSystem() override
    {
        if (notify_)
            UnregisterDeviceNotification(notify_);
        if (window_)
            DestroyWindow(window_);
        if (set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
    }

    // ---- device nodes --------------------------------------------------------------------------

    uint32_t Nodes(std::vector<DeviceNode> *nodes) override
    {
        nodes->clear();
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set_);
            set_ = INVALID_HANDLE_VALUE;
            data_.clear();
        }
        // Every node, plugged in or not: a node away now still loads its filters when it comes back.
        set_ = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        if (set_ == INVALID_HANDLE_VALUE)
            return GetLastError();
        const std::set<std::wstring> present = PresentIds();

        std::map<std::wstring, std::wstring> classOf;  // upper-case instance ID -> class name
        std::vector<std::wstring> ids;
        for (DWORD i = 0;; ++i) {
            SP_DEVINFO_DATA d{};
            d.cbSize = sizeof d;
            if (!SetupDiEnumDeviceInfo(set_, i, &d))
                break;
            wchar_t id[kMaxDeviceIdLength + 1] = {};
            if (!SetupDiGetDeviceInstanceIdW(set_, &d, id, kMaxDeviceIdLength, nullptr))
                continue;
            DeviceNode n;
            n.instanceId = Narrow(id);
            n.hardwareIds = StringList(d, SPDRP_HARDWAREID);
            n.compatibleIds = StringList(d, SPDRP_COMPATIBLEIDS);
            n.description = Narrow(Property(d, SPDRP_DEVICEDESC));
            n.service = Narrow(Property(d, SPDRP_SERVICE));
            n.present = present.empty() || present.count(Upper(id)) != 0;
            classOf[Upper(id)] = Property(d, SPDRP_CLASS);
            data_[Upper(id)] = d;
            ids.push_back(id);
            nodes->push_back(std::move(n));
        }
        // A USB node with a child of class Mouse. Wine has no such property and gives none.
        for (size_t i = 0; i < nodes->size(); ++i) {
            DEVPROPTYPE type = 0;
            DWORD size = 0;
            SP_DEVINFO_DATA &d = data_[Upper(ids[i])];
            SetupDiGetDevicePropertyW(set_, &d, &kDeviceChildren, &type, nullptr, 0, &size, 0);
            if (size == 0 || size > 65536)
                continue;
            std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, L'\0');
            if (!SetupDiGetDevicePropertyW(set_, &d, &kDeviceChildren, &type, reinterpret_cast<BYTE *>(buf.data()),
                                           size, &size, 0))
                continue;
            for (const std::wstring &child : hctctl::SplitMultiString(buf.data(), size / sizeof(wchar_t))) {
                const auto c = classOf.find(Upper(child));
                if (c == classOf.end() || _wcsicmp(c->second.c_str(), L"Mouse") != 0)
                    continue;
                (*nodes)[i].mouseChild = true;
                // Device Manager names the mouse by its HID child's bus-reported name.
                const auto cd = data_.find(Upper(child));
                if (cd != data_.end() && (*nodes)[i].name.empty())
                    (*nodes)[i].name = Narrow(StringProperty(cd->second, kBusReportedName));
            }
        }
        for (size_t i = 0; i < nodes->size(); ++i)
            if ((*nodes)[i].name.empty())
                (*nodes)[i].name = Narrow(StringProperty(data_[Upper(ids[i])], kBusReportedName));
        return ERROR_SUCCESS;
    }

    uint32_t GetLowerFilters(const std::string &instanceId, std::vector<std::string> *entries) override
    {
        SP_DEVINFO_DATA *d = Find(instanceId);
        if (!d)
            return ERROR_NO_SUCH_DEVINST;
        std::vector<wchar_t> buf;
        const DWORD e = Read(*d, SPDRP_LOWERFILTERS, &buf);
        if (e != ERROR_SUCCESS)
            return e;
        entries->clear();
        for (const std::wstring &w : hctctl::SplitMultiString(buf.data(), buf.size()))
            entries->push_back(Narrow(w));
        return ERROR_SUCCESS;
    }

    uint32_t SetLowerFilters(const std::string &instanceId, const std::vector<std::string> &entries) override
    {
        SP_DEVINFO_DATA *d = Find(instanceId);
        if (!d)
            return ERROR_NO_SUCH_DEVINST;
        std::vector<std::wstring> wide;
        for (const std::string &e : entries)
            wide.push_back(Wide(e));
        const std::wstring value = hctctl::JoinMultiString(wide);
        if (!SetupDiSetDeviceRegistryPropertyW(set_, d, SPDRP_LOWERFILTERS,
                                               reinterpret_cast<const BYTE *>(value.data()),
                                               DWORD(value.size() * sizeof(wchar_t))))
            return GetLastError();
        return ERROR_SUCCESS;
    }

    uint32_t DeleteLowerFilters(const std::string &instanceId) override
    {
        SP_DEVINFO_DATA *d = Find(instanceId);
        if (!d)
            return ERROR_NO_SUCH_DEVINST;
        // Windows deletes the value when it is set to nothing; Wine leaves an empty value instead.
        // The instance key is writable only by SYSTEM on Windows, so the direct delete below is
        // the second way, for where the first one left the value.
        SetupDiSetDeviceRegistryPropertyW(set_, d, SPDRP_LOWERFILTERS, nullptr, 0);
        std::vector<wchar_t> buf;
        DWORD e = Read(*d, SPDRP_LOWERFILTERS, &buf);
        if (e == ERROR_INVALID_DATA || e == ERROR_FILE_NOT_FOUND)
            return ERROR_SUCCESS;
        HKEY key = nullptr;
        const std::wstring path = L"SYSTEM\\CurrentControlSet\\Enum\\" + Wide(instanceId);
        LSTATUS r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key);
        if (r == ERROR_SUCCESS) {
            r = RegDeleteValueW(key, L"LowerFilters");
            RegCloseKey(key);
        }
        e = Read(*d, SPDRP_LOWERFILTERS, &buf);
        if (e == ERROR_INVALID_DATA || e == ERROR_FILE_NOT_FOUND)
            return ERROR_SUCCESS;
        return r != ERROR_SUCCESS ? DWORD(r) : ERROR_INVALID_DATA;
    }

    RestartResult RestartDevice(const std::string &instanceId) override
    {
        // The PnP manager stops the stack, reads LowerFilters again and starts it. Nothing else
        // restarts a device here: Wine aborts a program that calls SetupDiChangeState or
        // CM_Disable_DevNode/CM_Enable_DevNode.
        RestartResult r;
        SP_DEVINFO_DATA *d = Find(instanceId);
        if (!d) {
            r.error = ERROR_NO_SUCH_DEVINST;
            return r;
        }
        SP_PROPCHANGE_PARAMS p{};
        p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        p.StateChange = DICS_PROPCHANGE;
        p.Scope = DICS_FLAG_GLOBAL;
        p.HwProfile = 0;
        if (!SetupDiSetClassInstallParamsW(set_, d, &p.ClassInstallHeader, sizeof p)) {
            r.error = GetLastError();
            return r;
        }
        const BOOL called = SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_, d);
        r.error = called ? ERROR_SUCCESS : GetLastError();
        SetupDiSetClassInstallParamsW(set_, d, nullptr, 0);
        if (!called)
            return r;
        SP_DEVINSTALL_PARAMS_W ip{};
        ip.cbSize = sizeof ip;
        r.outcome = SetupDiGetDeviceInstallParamsW(set_, d, &ip) && (ip.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART))
                        ? RestartOutcome::NeedsReboot
                        : RestartOutcome::Restarted;
        return r;
    }

    // ---- services ------------------------------------------------------------------------------

    uint32_t QueryService(const std::string &name, ServiceConfig *config) override
    {
        Scm scm(SC_MANAGER_CONNECT);
        if (!scm.h)
            return GetLastError();
        SC_HANDLE s = OpenServiceW(scm.h, Wide(name).c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
        if (!s)
            return GetLastError();
        DWORD need = 0;
        QueryServiceConfigW(s, nullptr, 0, &need);
        std::vector<BYTE> buf(need ? need : sizeof(QUERY_SERVICE_CONFIGW));
        auto *q = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buf.data());
        DWORD e = ERROR_SUCCESS;
        if (QueryServiceConfigW(s, q, DWORD(buf.size()), &need)) {
            config->type = q->dwServiceType;
            config->start = q->dwStartType;
            config->errorControl = q->dwErrorControl;
            config->imagePath = q->lpBinaryPathName ? Narrow(q->lpBinaryPathName) : std::string();
            SERVICE_STATUS status{};
            config->running = QueryServiceStatus(s, &status) && status.dwCurrentState != SERVICE_STOPPED;
            // A marked service still answers queries; only a change tells (needs administrator
            // rights, which install has).
            if (SC_HANDLE c = OpenServiceW(scm.h, Wide(name).c_str(), SERVICE_CHANGE_CONFIG)) {
                config->markedForDeletion =
                    !ChangeServiceConfigW(c, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr) &&
                    GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
                CloseServiceHandle(c);
            }
        } else {
            e = GetLastError();
        }
        CloseServiceHandle(s);
        return e;
    }

    uint32_t CreateKernelService(const std::string &name, const std::string &imagePath) override
    {
        Scm scm(SC_MANAGER_CREATE_SERVICE);
        if (!scm.h)
            return GetLastError();
        SC_HANDLE s = CreateServiceW(scm.h, Wide(name).c_str(), L"hct mouse filter", SERVICE_ALL_ACCESS,
                                     SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     Wide(imagePath).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!s)
            return GetLastError();
        CloseServiceHandle(s);
        return ERROR_SUCCESS;
    }

    uint32_t ConfigureService(const std::string &name, const ServiceConfig &c) override
    {
        Scm scm(SC_MANAGER_CONNECT);
        if (!scm.h)
            return GetLastError();
        SC_HANDLE s = OpenServiceW(scm.h, Wide(name).c_str(), SERVICE_CHANGE_CONFIG);
        if (!s)
            return GetLastError();
        const BOOL ok = ChangeServiceConfigW(s, c.type, c.start, c.errorControl, Wide(c.imagePath).c_str(), nullptr,
                                             nullptr, nullptr, nullptr, nullptr, nullptr);
        const DWORD e = ok ? ERROR_SUCCESS : GetLastError();
        CloseServiceHandle(s);
        return e;
    }

    uint32_t DeleteService(const std::string &name) override
    {
        Scm scm(SC_MANAGER_CONNECT);
        if (!scm.h)
            return GetLastError();
        SC_HANDLE s = OpenServiceW(scm.h, Wide(name).c_str(), DELETE);
        if (!s)
            return GetLastError();
        const BOOL ok = ::DeleteService(s);
        const DWORD e = ok ? ERROR_SUCCESS : GetLastError();
        CloseServiceHandle(s);
        return e;
    }

    // ---- files ---------------------------------------------------------------------------------

    std::string ToolDirectory() override
    {
        std::vector<wchar_t> buf(MAX_PATH);
        for (;;) {
            const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
            if (n == 0)
                return ".";
            if (n < buf.size()) {
                std::wstring path(buf.data(), n);
                const size_t slash = path.find_last_of(L"\\/");
                return slash == std::wstring::npos ? "." : Narrow(path.substr(0, slash));
            }
            buf.resize(buf.size() * 2);
        }
    }

    std::string DriversDirectory() override
    {
        wchar_t buf[MAX_PATH] = {};
        const UINT n = GetSystemWindowsDirectoryW(buf, MAX_PATH);
        const std::wstring root = n && n < MAX_PATH ? std::wstring(buf, n) : std::wstring(L"C:\\Windows");
        return Narrow(root) + "\\System32\\drivers";
    }

    bool FileExists(const std::string &path) override
    {
        return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    uint32_t ReadFile(const std::string &path, std::vector<uint8_t> *bytes) override
    {
        HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        LARGE_INTEGER size{};
        DWORD e = ERROR_SUCCESS;
        // A driver image is a few hundred kilobytes; anything over 64 MB is not one.
        if (!GetFileSizeEx(h, &size))
            e = GetLastError();
        else if (size.QuadPart > 64 * 1024 * 1024)
            e = ERROR_FILE_TOO_LARGE;
        if (e == ERROR_SUCCESS) {
            bytes->assign(size_t(size.QuadPart), 0);
            DWORD got = 0;
            if (!::ReadFile(h, bytes->data(), DWORD(bytes->size()), &got, nullptr))
                e = GetLastError();
            else
                bytes->resize(got);
        }
        CloseHandle(h);
        return e;
    }

    uint32_t CopyOver(const std::string &from, const std::string &to) override
    {
        return CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE) ? ERROR_SUCCESS : GetLastError();
    }

    uint32_t WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) override
    {
        HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        DWORD put = 0;
        DWORD e = ::WriteFile(h, bytes.data(), DWORD(bytes.size()), &put, nullptr) ? ERROR_SUCCESS : GetLastError();
        if (e == ERROR_SUCCESS && put != bytes.size())
            e = ERROR_WRITE_FAULT;
        CloseHandle(h);
        return e;
    }

    uint32_t RemoveFile(const std::string &path) override
    {
        return DeleteFileW(Wide(path).c_str()) ? ERROR_SUCCESS : GetLastError();
    }

    uint32_t RemoveFileAtRestart(const std::string &path) override
    {
        return MoveFileExW(Wide(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? ERROR_SUCCESS
                                                                                     : GetLastError();
    }

    uint32_t ReplaceAtRestart(const std::string &from, const std::string &to) override
    {
        return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }

    uint32_t ReadPendingRenames(std::vector<uint8_t> *value, bool *present) override
    {
        value->clear();
        *present = false;
        DWORD size = 0;
        LSTATUS r = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingRenames, RRF_RT_REG_MULTI_SZ, nullptr,
                                 nullptr, &size);
        if (r == ERROR_FILE_NOT_FOUND)
            return ERROR_SUCCESS;
        if (r != ERROR_SUCCESS)
            return DWORD(r);
        value->resize(size);
        r = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingRenames, RRF_RT_REG_MULTI_SZ | RRF_NOEXPAND,
                         nullptr, value->data(), &size);
        if (r != ERROR_SUCCESS)
            return DWORD(r);
        value->resize(size);
        *present = true;
        return ERROR_SUCCESS;
    }

    uint32_t WritePendingRenames(const std::vector<uint8_t> &value, bool present) override
    {
        HKEY key = nullptr;
        LSTATUS r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key);
        if (r != ERROR_SUCCESS)
            return DWORD(r);
        r = present ? RegSetValueExW(key, kPendingRenames, 0, REG_MULTI_SZ, value.data(), DWORD(value.size()))
                    : RegDeleteValueW(key, kPendingRenames);
        RegCloseKey(key);
        return r == ERROR_FILE_NOT_FOUND && !present ? ERROR_SUCCESS : DWORD(r);
    }

    // ---- the caller and the machine ------------------------------------------------------------

    bool IsAdministrator() override
    {
        // Under UAC an unelevated administrator's token holds the group for deny only, and the
        // check says no, as it should: the SCM and SetupAPI would refuse the changes.
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID admins = nullptr;
        if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                      &admins))
            return false;
        BOOL member = FALSE;
        if (!CheckTokenMembership(nullptr, admins, &member))
            member = FALSE;
        FreeSid(admins);
        return member != FALSE;
    }

    Machine NativeMachine() override
    {
        // IsWow64Process2 (Windows 10 1511 on) also sees through x64 emulation on ARM64.
        using IsWow64Process2Fn = BOOL(WINAPI *)(HANDLE, USHORT *, USHORT *);
        if (HMODULE k = GetModuleHandleW(L"kernel32.dll")) {
            auto fn = reinterpret_cast<IsWow64Process2Fn>(
                reinterpret_cast<void *>(GetProcAddress(k, "IsWow64Process2")));
            USHORT process = 0, native = 0;
            if (fn && fn(GetCurrentProcess(), &process, &native))
                return ToMachine(native);
        }
        SYSTEM_INFO si{};
        GetNativeSystemInfo(&si);
        switch (si.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            return Machine::X64;
        case PROCESSOR_ARCHITECTURE_INTEL:
            return Machine::X86;
        case 12:  // PROCESSOR_ARCHITECTURE_ARM64
            return Machine::Arm64;
        default:
            return Machine::Unknown;
        }
    }

    Machine ToolMachine() override
    {
#if defined(__x86_64__)
        return Machine::X64;
#elif defined(__i386__)
        return Machine::X86;
#else
        return Machine::Unknown;
#endif
    }

    CodeIntegrity QueryCodeIntegrity() override
    {
        CodeIntegrity ci;
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        using QueryFn = LONG(WINAPI *)(ULONG, void *, ULONG, ULONG *);
        auto query = ntdll ? reinterpret_cast<QueryFn>(
                                 reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                           : nullptr;
        ci.wine = ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
        if (!query) {
            ci.status = 0xC0000002;  // STATUS_NOT_IMPLEMENTED
            return ci;
        }
        struct {
            ULONG Length;
            ULONG CodeIntegrityOptions;
        } info{sizeof info, 0};
        ULONG got = 0;
        ci.status = uint32_t(query(103, &info, sizeof info, &got));  // SystemCodeIntegrityInformation
        ci.options = info.CodeIntegrityOptions;
        struct {
            BOOLEAN SecureBootEnabled;
            BOOLEAN SecureBootCapable;
        } boot{};
        DWORD enabled = 0, size = sizeof enabled;
        if (query(145, &boot, sizeof boot, &got) == 0)  // SystemSecureBootInformation
            ci.secureBoot = boot.SecureBootEnabled ? Tristate::On : Tristate::Off;
        else if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State",
                              L"UEFISecureBootEnabled", RRF_RT_REG_DWORD, nullptr, &enabled, &size) == ERROR_SUCCESS)
            ci.secureBoot = enabled ? Tristate::On : Tristate::Off;
        return ci;
    }

    NodeStatus QueryNodeStatus(const std::string &instanceId) override
    {
        NodeStatus st;
        SP_DEVINFO_DATA *d = Find(instanceId);
        if (!d) {
            st.error = CR_NO_SUCH_DEVNODE;
            return st;
        }
        ULONG status = 0, problem = 0;
        st.error = CM_Get_DevNode_Status(&status, &problem, d->DevInst, 0);
        // Wine answers CR_SUCCESS and leaves both untouched: no flag at all is no answer.
        st.known = st.error == CR_SUCCESS && status != 0;
        st.status = status;
        st.problem = problem;
        return st;
    }

    // ---- control links -------------------------------------------------------------------------

    std::vector<LinkInfo> Links() override
    {
        // QueryDosDeviceW reads the link object itself: nothing reaches the driver.
        std::vector<LinkInfo> out;
        for (unsigned n = hctctl::kFirstLink; n <= hctctl::kLastLink; ++n) {
            wchar_t target[512];
            const DWORD got = QueryDosDeviceW(Wide(hctctl::LinkName(n)).c_str(), target, 512);
            if (got)
                out.push_back({n, Narrow(FromBuffer(target, got))});
        }
        return out;
    }

    SwitchResult Switch(unsigned link, bool on) override
    {
        SwitchResult r;
        // Both control codes are FILE_ANY_ACCESS: the handle needs no read or write rights.
        HANDLE h = CreateFileW(Wide(hctctl::LinkPath(link)).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            r.openError = GetLastError();
            return r;
        }
        DWORD returned = 0;
        if (!DeviceIoControl(h, on ? IOCTL_VORIK_TESKMOUSE_TURN_ON : IOCTL_VORIK_TESKMOUSE_TURN_OFF, nullptr, 0,
                             nullptr, 0, &returned, nullptr))
            r.requestError = GetLastError();
        CloseHandle(h);
        return r;
    }

    WaitResult Wait(unsigned ms) override
    {
        if (!g_stop)
            return Sleep(ms), WaitResult::Timeout;
        WatchDevices();
        const DWORD start = GetTickCount();
        for (;;) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= ms)
                return WaitResult::Timeout;
            const DWORD w = MsgWaitForMultipleObjects(1, &g_stop, FALSE, ms - spent, QS_ALLINPUT);
            if (w == WAIT_OBJECT_0)
                return WaitResult::Stop;
            if (w == WAIT_TIMEOUT)
                return WaitResult::Timeout;
            if (w != WAIT_OBJECT_0 + 1)
                return Sleep(ms - spent), WaitResult::Timeout;
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&m);
                DispatchMessageW(&m);
            }
            if (g_changed) {
                g_changed = false;
                return WaitResult::Changed;
            }
        }
    }

    uint64_t NowMs() override
    {
        return GetTickCount64();
    }

    std::string Describe(uint32_t error) override
    {
        wchar_t *text = nullptr;
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
        std::wstring out = n && text ? std::wstring(text, n) : std::wstring();
        if (text)
            LocalFree(text);
        while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ' || out.back() == L'.'))
            out.pop_back();
        if (!out.empty())
            return Narrow(out);
        switch (error) {
        case 0xE000020E:
            return "the class installer left the request to the default action (ERROR_DI_DO_DEFAULT)";
        case ERROR_NO_SUCH_DEVINST:
            return "no such device instance";
        default:
            return "no text for this error";
        }
    }

private:
    struct Scm {
        explicit Scm(DWORD access) : h(OpenSCManagerW(nullptr, nullptr, access)) {}
        ~Scm()
        {
            if (h)
                CloseServiceHandle(h);
        }
        SC_HANDLE h;
    };

    static std::wstring Upper(std::wstring s)
    {
        for (wchar_t &c : s)
            if (c >= L'a' && c <= L'z')
                c = wchar_t(c - L'a' + L'A');
        return s;
    }

    static Machine ToMachine(USHORT m) { return hctctl::MachineOfCode(m); }

    std::set<std::wstring> PresentIds()
    {
        std::set<std::wstring> out;
        HDEVINFO present = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
        if (present == INVALID_HANDLE_VALUE)
            return out;
        for (DWORD i = 0;; ++i) {
            SP_DEVINFO_DATA d{};
            d.cbSize = sizeof d;
            if (!SetupDiEnumDeviceInfo(present, i, &d))
                break;
            wchar_t id[kMaxDeviceIdLength + 1] = {};
            if (SetupDiGetDeviceInstanceIdW(present, &d, id, kMaxDeviceIdLength, nullptr))
                out.insert(Upper(id));
        }
        SetupDiDestroyDeviceInfoList(present);
        return out;
    }

    SP_DEVINFO_DATA *Find(const std::string &instanceId)
    {
        if (set_ == INVALID_HANDLE_VALUE) {
            std::vector<DeviceNode> ignored;
            if (Nodes(&ignored) != ERROR_SUCCESS)
                return nullptr;
        }
        const auto it = data_.find(Upper(Wide(instanceId)));
        return it == data_.end() ? nullptr : &it->second;
    }

    // A registry property in wide characters, with room for the terminators a value may lack.
    DWORD Read(SP_DEVINFO_DATA &d, DWORD property, std::vector<wchar_t> *out)
    {
        DWORD type = 0;
        DWORD size = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(set_, &d, property, &type, nullptr, 0, &size)) {
            const DWORD e = GetLastError();
            if (e != ERROR_INSUFFICIENT_BUFFER)
                return e;
        }
        out->assign(size / sizeof(wchar_t) + 2, L'\0');
        if (size && !SetupDiGetDeviceRegistryPropertyW(set_, &d, property, &type,
                                                       reinterpret_cast<BYTE *>(out->data()), size, &size))
            return GetLastError();
        out->resize(size / sizeof(wchar_t));
        return ERROR_SUCCESS;
    }

    std::wstring Property(SP_DEVINFO_DATA &d, DWORD property)
    {
        std::vector<wchar_t> buf;
        return Read(d, property, &buf) == ERROR_SUCCESS ? FromBuffer(buf.data(), buf.size()) : std::wstring();
    }

    std::wstring StringProperty(SP_DEVINFO_DATA &d, const DEVPROPKEY &key)
    {
        DEVPROPTYPE type = 0;
        DWORD size = 0;
        SetupDiGetDevicePropertyW(set_, &d, &key, &type, nullptr, 0, &size, 0);
        if (size == 0 || size > 4096)
            return {};
        std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
        if (!SetupDiGetDevicePropertyW(set_, &d, &key, &type, reinterpret_cast<BYTE *>(buf.data()), size, &size, 0) ||
            type != DEVPROP_TYPE_STRING)
            return {};
        return FromBuffer(buf.data(), size / sizeof(wchar_t));
    }

    std::vector<std::string> StringList(SP_DEVINFO_DATA &d, DWORD property)
    {
        std::vector<wchar_t> buf;
        std::vector<std::string> out;
        if (Read(d, property, &buf) == ERROR_SUCCESS)
            for (const std::wstring &w : hctctl::SplitMultiString(buf.data(), buf.size()))
                out.push_back(Narrow(w));
        return out;
    }

    // A hidden window for WM_DEVICECHANGE: DBT_DEVNODES_CHANGED reaches top-level windows, and the
    // registration adds DBT_DEVICEARRIVAL for every device interface. Without a desktop (a service
    // session, Wine without a display) creating it fails and the once-a-second look alone remains.
    void WatchDevices()
    {
        if (watchTried_)
            return;
        watchTried_ = true;
        WNDCLASSW wc{};
        wc.lpfnWndProc = OnWindowMessage;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"hctctlDeviceWatch";
        if (!RegisterClassW(&wc))
            return;
        window_ = CreateWindowExW(0, wc.lpszClassName, L"hctctl", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  wc.hInstance, nullptr);
        if (!window_)
            return;
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        notify_ = RegisterDeviceNotificationW(window_, &filter,
                                              DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::map<std::wstring, SP_DEVINFO_DATA> data_;  // upper-case instance ID -> node in set_
    bool watchTried_ = false;
    HWND window_ = nullptr;
    HDEVNOTIFY notify_ = nullptr;
};

}  // namespace

int main(int argc, char **argv)
{
    const hctctl::Args args = hctctl::Parse(argc, argv);
    if (!args.ok) {
        std::fputs(hctctl::UsageError(args).c_str(), stderr);
        return hctctl::kExitUsage;
    }
    // Each line reaches a redirected output as it is written: on --keep runs until it is stopped.
    std::cout.setf(std::ios::unitbuf);
    if (args.keep) {
        g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    WinSystem system;
    return hctctl::Run(args, system, std::cout, std::cerr);
}

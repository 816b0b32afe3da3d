/* User-mode side of the Wine end-to-end test of hct.sys, installed by hctctl itself.
 *
 *   hctwine install <inf>        creates the root device of the fake bus and installs its driver
 *   hctwine test <scenario> <package dir> <dir without hct.sys> <dir with the other width's hct.sys>
 *                <dir with another build of hct.sys>
 *                                the steps scripts/wine-e2e.sh lists; exit status 0 only when every
 *                                check passed
 *   hctwine uninstall            removes the root device of the fake bus
 *
 * LowerFilters, the service hct and %SystemRoot%\System32\drivers\hct.sys are read back before and
 * after each step that changes or must not change them, and compared. */
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>
#include <assert.h> /* static_assert in hctioctl.h */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "hctwine.h"
#include "../../usb/hct/hctioctl.h"

#define ROOT_HARDWARE_ID "hctwine_root_bus"
#define ROOT_INSTANCE "ROOT\\HCTWINE\\0000"

/* Polls until `done` holds, every `step` ms; gives up once `ms` have passed. */
#define POLL_UNTIL(done, ms, step) for (DWORD t0_ = GetTickCount(); !(done) && (Sleep(step), GetTickCount() - t0_ < (ms));)

static int failures;

static void check(int ok, const char *what, ...)
{
    va_list args;
    va_start(args, what);
    printf("%s: ", ok ? "PASS" : "FAIL");
    vprintf(what, args);
    printf("\n");
    va_end(args);
    if (!ok) failures++;
}

/* Says why a step could not be done: a printf format, the last error appended. */
static int fail(const char *what, ...)
{
    DWORD error = GetLastError();
    va_list args;
    va_start(args, what);
    printf("FAIL: ");
    vprintf(what, args);
    printf(": error %lu\n", error);
    va_end(args);
    return 1;
}

/* The bytes as text, " 00 03 FE", in `text` (room for HCTWINE_MAX_REPORT bytes). */
static const char *hex(char *text, const UCHAR *bytes, ULONG length)
{
    ULONG i;
    text[0] = 0;
    for (i = 0; i < length && i < HCTWINE_MAX_REPORT; i++) sprintf(text + 3 * i, " %02X", bytes[i]);
    return text;
}

static int install(const char *inf)
{
    static const char hardware_id[] = ROOT_HARDWARE_ID "\0";
    SP_DEVINFO_DATA device = {sizeof(device)};
    char copied[MAX_PATH];
    BOOL reboot = FALSE;
    HDEVINFO set;
    BOOL created;
    GUID class_guid;
    char class_name[64];

    if (!SetupDiGetINFClassA(inf, &class_guid, class_name, sizeof(class_name), NULL))
        return fail("%s is not a readable INF", inf);
    /* The mouse is installed later, when the bus reports it: its INF must be where setup looks. */
    if (!SetupCopyOEMInfA(inf, NULL, SPOST_NONE, 0, copied, sizeof(copied), NULL, NULL))
        return fail("SetupCopyOEMInf(%s)", inf);
    set = SetupDiCreateDeviceInfoList(&class_guid, NULL);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
    created = SetupDiCreateDeviceInfoA(set, ROOT_INSTANCE, &class_guid, NULL, NULL, 0, &device) &&
              SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)hardware_id,
                                                sizeof(hardware_id)) &&
              SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    if (!created) fail("creating the root device " ROOT_INSTANCE);
    SetupDiDestroyDeviceInfoList(set);
    if (!created) return 1;
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, ROOT_HARDWARE_ID, inf, INSTALLFLAG_FORCE, &reboot))
        return fail("installing the fake bus on " ROOT_INSTANCE);
    printf("installed: INF copied to %s, fake bus on " ROOT_INSTANCE "\n", copied);
    return 0;
}

static int uninstall(void)
{
    SP_DEVINFO_DATA device = {sizeof(device)};
    HDEVINFO set = SetupDiGetClassDevsA(NULL, "ROOT", NULL, DIGCF_ALLCLASSES);
    char id[256];
    DWORD i;
    int removed = 0;

    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevs");
    for (i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++)
    {
        if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof(id), NULL) || _stricmp(id, ROOT_INSTANCE))
            continue;
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            removed++;
        else
            fail("removing %s", id);
    }
    SetupDiDestroyDeviceInfoList(set);
    printf("uninstalled: %d root device(s) removed\n", removed);
    return removed ? 0 : 1;
}

#define MOUSE1 0
#define MOUSE2 1
static const char *const instance_ids[HCTWINE_MICE] = {"USB\\VID_1234&PID_0001\\HCT0001", "USB\\VID_1234&PID_0001\\HCT0002"};
static HANDLE bus = INVALID_HANDLE_VALUE, upper = INVALID_HANDLE_VALUE;

static HANDLE open_link(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       0, NULL);
}

static HANDLE open_link_waiting(const char *path, DWORD ms)
{
    HANDLE h;
    POLL_UNTIL((h = open_link(path)) != INVALID_HANDLE_VALUE, ms, 50);
    return h;
}

/* A request to a fake driver about one mouse; its answer, `size` bytes, zeroed when there is none. */
static BOOL request(HANDLE h, DWORD code, ULONG mouse, void *answer, DWORD size)
{
    DWORD got = 0;
    if (answer) memset(answer, 0, size);
    return h != INVALID_HANDLE_VALUE && DeviceIoControl(h, code, &mouse, sizeof(mouse), answer, size, &got, NULL) &&
           got == size;
}

static BOOL bus_state(ULONG mouse, struct hctwine_bus_state *s)
{
    return request(bus, IOCTL_HCTWINE_BUS_STATE, mouse, s, sizeof(*s));
}

static BOOL upper_state(ULONG mouse, struct hctwine_upper_state *s)
{
    if (upper == INVALID_HANDLE_VALUE) upper = open_link("\\\\.\\HctWineUpper");
    return request(upper, IOCTL_HCTWINE_UPPER_STATE, mouse, s, sizeof(*s));
}

/* Plugs a mouse in and waits until its stack is built and started, or its AddDevice failed. */
static BOOL plug(ULONG mouse, struct hctwine_upper_state *u)
{
    struct hctwine_upper_state before;
    struct hctwine_bus_state b;
    BOOL plugged;
    upper_state(mouse, &before);
    /* A PDO is gone only once its removal has run to its end. */
    POLL_UNTIL(plugged = request(bus, IOCTL_HCTWINE_PLUG, mouse, NULL, 0), 10000, 50);
    if (!plugged)
    {
        printf("  plugging mouse %lu in failed: error %lu\n", mouse + 1, GetLastError());
        return FALSE;
    }
    if (upper == INVALID_HANDLE_VALUE) upper = open_link_waiting("\\\\.\\HctWineUpper", 20000);
    POLL_UNTIL(upper_state(mouse, u) && u->add_devices > before.add_devices &&
                   (u->filter_status || u->started || u->start_status),
               20000, 50);
    /* and the class driver's reads are held by the mouse */
    POLL_UNTIL(!u->started || !bus_state(mouse, &b) || b.reads_waiting >= HCTWINE_READS, 10000, 20);
    printf("  mouse %lu plugged in: LowerFilters \"%s\", filters loaded below the class driver (lowest first): \"%s\", "
           "AddDevice %#lx, start %#lx\n",
           mouse + 1, u->lower_filters, u->stack, (unsigned long)u->filter_status, (unsigned long)u->start_status);
    return u->add_devices > before.add_devices;
}

/* Unplugs a mouse and waits until the whole stack has seen the removal. */
static BOOL unplug_and_wait(ULONG mouse)
{
    struct hctwine_upper_state u;
    struct hctwine_bus_state b;
    BOOL gone;
    if (!request(bus, IOCTL_HCTWINE_UNPLUG, mouse, NULL, 0)) return FALSE;
    POLL_UNTIL(gone = bus_state(mouse, &b) && b.removed && (!upper_state(mouse, &u) || !u.attached), 20000, 50);
    return gone;
}

/* Where Windows restarts the device (DIF_PROPERTYCHANGE), Wine cannot: the bus drops the mouse
 * and reports it again, which builds its stack anew from its node's LowerFilters. */
static BOOL replug_after(ULONG mouse, DWORD unplugged_ms, struct hctwine_upper_state *u)
{
    BOOL ok = unplug_and_wait(mouse);
    check(ok, "mouse %lu unplugged (its stack removed)", mouse + 1);
    if (unplugged_ms) Sleep(unplugged_ms);
    return ok && plug(mouse, u);
}

static BOOL replug(ULONG mouse, struct hctwine_upper_state *u) { return replug_after(mouse, 0, u); }

/* Feeds one report to a mouse, and returns what came back up to the class driver. */
static BOOL report_round_trip(ULONG mouse, const UCHAR *report, ULONG length, struct hctwine_upper_state *seen, BOOL quiet)
{
    struct hctwine_bus_state b;
    struct hctwine_upper_state before, u;
    UCHAR input[sizeof(ULONG) + HCTWINE_MAX_REPORT];
    char text[3 * HCTWINE_MAX_REPORT + 1];
    DWORD got;

    if (!upper_state(mouse, &before) || !bus_state(mouse, &b)) return FALSE;
    if (b.reads_waiting != HCTWINE_READS)
    {
        printf("  mouse %lu holds %lu interrupt transfer(s), not %d\n", mouse + 1, b.reads_waiting, HCTWINE_READS);
        return FALSE;
    }
    memcpy(input, &mouse, sizeof(mouse));
    memcpy(input + sizeof(mouse), report, length);
    if (!DeviceIoControl(bus, IOCTL_HCTWINE_FEED, input, sizeof(mouse) + length, NULL, 0, &got, NULL))
    {
        printf("  feeding the report failed: error %lu\n", GetLastError());
        return FALSE;
    }
    POLL_UNTIL(!upper_state(mouse, &u) || u.reads_completed != before.reads_completed, 10000, 20);
    *seen = u;
    /* and the transfer is back at the mouse before the next one */
    POLL_UNTIL(!bus_state(mouse, &b) || b.reads_waiting >= HCTWINE_READS, 5000, 10);
    if (!quiet) printf("  sent by the mouse    :%s\n", hex(text, report, length));
    if (!quiet && u.reads_completed == before.reads_completed + 1)
        printf("  received by the class:%s\n", hex(text, u.last_report, u.last_length));
    return u.reads_completed == before.reads_completed + 1;
}

static const UCHAR pan_report[] = {0x00, 0x03, 0xfe, 0x00, 0x01};
static const UCHAR pan_rewritten[] = {0x00, 0x03, 0xfe, 0x30, 0x01};

/* One report with horizontal scroll: TRUE when it reached the class driver as `expected`. */
static BOOL report_is(ULONG mouse, const UCHAR *expected, BOOL quiet)
{
    struct hctwine_upper_state u;
    BOOL back = report_round_trip(mouse, pan_report, sizeof(pan_report), &u, quiet);
    return back && u.last_read_status == 0 && u.last_length == sizeof(pan_report) &&
           !memcmp(u.last_report, expected, sizeof(pan_report));
}

static BOOL control_device_present(void)
{
    HANDLE h = open_link("\\\\.\\" HCT_EXTRA_LINK_BASE "1");
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(h);
    return TRUE;
}

static char tool_output[16384]; /* what the last run of hctctl wrote, standard output and error */

/* Starts hctctl.exe, its output to `out` unless that is NULL. */
static BOOL start_tool(const char *dir, const char *arguments, HANDLE out, PROCESS_INFORMATION *pi)
{
    STARTUPINFOA si = {sizeof(si)};
    char command[2 * MAX_PATH];
    snprintf(command, sizeof(command), "\"%s\\hctctl.exe\" %s", dir, arguments);
    printf("  $ %s%s\n", command, out ? "" : "   (left running)");
    si.dwFlags = out ? STARTF_USESTDHANDLES : 0;
    si.hStdOutput = si.hStdError = out;
    if (CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &si, pi)) return TRUE;
    printf("  could not start it: error %lu\n", GetLastError());
    return FALSE;
}

/* Waits for a started hctctl, ended (exit code 99) when it runs longer than `ms`: its exit code. */
static DWORD wait_tool(PROCESS_INFORMATION *pi, DWORD ms)
{
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(pi->hProcess, ms) != WAIT_OBJECT_0)
    {
        printf("  it did not finish in %lu s\n", ms / 1000);
        TerminateProcess(pi->hProcess, 99);
    }
    GetExitCodeProcess(pi->hProcess, &code);
    CloseHandle(pi->hThread);
    CloseHandle(pi->hProcess);
    return code;
}

/* Runs hctctl.exe, its output kept and shown, and returns its exit code, or -1. */
static int run_tool(const char *dir, const char *format, ...)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    PROCESS_INFORMATION pi;
    char arguments[MAX_PATH];
    DWORD code, got = 0;
    HANDLE out = CreateFileA("C:\\hctctl-output.txt", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, 0, NULL);
    va_list args;
    va_start(args, format);
    vsnprintf(arguments, sizeof(arguments), format, args);
    va_end(args);
    if (!start_tool(dir, arguments, out, &pi))
    {
        CloseHandle(out);
        return -1;
    }
    code = wait_tool(&pi, 60000);
    SetFilePointer(out, 0, NULL, FILE_BEGIN);
    ReadFile(out, tool_output, sizeof(tool_output) - 1, &got, NULL);
    tool_output[got] = 0;
    CloseHandle(out);
    fputs(tool_output, stdout);
    printf("  (exit code %lu)\n", code);
    return (int)code;
}

#define SNAP_FILE_MAX (1u << 20)
struct snapshot
{
    struct { BOOL present; DWORD type, size; BYTE data[512]; } value[HCTWINE_MICE]; /* each node's LowerFilters */
    BOOL service;         /* HKLM\System\CurrentControlSet\Services\hct */
    char image_path[MAX_PATH];
    DWORD delete_flag;    /* the SCM's mark for deletion */
    BOOL scm_open;        /* OpenService("hct") succeeds */
    BOOL file;            /* %SystemRoot%\System32\drivers\hct.sys */
    DWORD file_size;
    BYTE *file_data;
};

static HKEY node_key(ULONG mouse, REGSAM access)
{
    char path[256];
    HKEY key;
    snprintf(path, sizeof(path), "System\\CurrentControlSet\\Enum\\%s", instance_ids[mouse]);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key) ? NULL : key;
}

/* A file's bytes (up to SNAP_FILE_MAX), malloc'ed; FALSE with the open's error when it does not open. */
static BOOL read_whole(const char *path, BYTE **data, DWORD *size)
{
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    DWORD got = 0;
    *data = NULL;
    *size = 0;
    if (f == INVALID_HANDLE_VALUE) return FALSE;
    *size = GetFileSize(f, NULL);
    if (*size < SNAP_FILE_MAX && (*data = malloc(*size ? *size : 1))) ReadFile(f, *data, *size, &got, NULL);
    CloseHandle(f);
    return TRUE;
}

static void show_snapshot(const char *when, const struct snapshot *s);

/* Reads everything back, and shows it unless `when` is NULL. */
static void take_snapshot(struct snapshot *s, const char *when)
{
    HKEY key;
    char path[MAX_PATH];
    SC_HANDLE scm, service;
    ULONG i;
    free(s->file_data);
    memset(s, 0, sizeof(*s));
    for (i = 0; i < HCTWINE_MICE; i++)
    {
        s->value[i].size = sizeof(s->value[i].data);
        if (!(key = node_key(i, KEY_READ))) continue;
        /* The wide call: the narrow one hands string types back converted. */
        s->value[i].present =
            !RegQueryValueExW(key, L"LowerFilters", NULL, &s->value[i].type, s->value[i].data, &s->value[i].size);
        RegCloseKey(key);
    }
    if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\hct", 0, KEY_READ, &key))
    {
        DWORD size = sizeof(s->image_path), dsize = sizeof(s->delete_flag);
        s->service = TRUE;
        RegQueryValueExA(key, "ImagePath", NULL, NULL, (BYTE *)s->image_path, &size);
        RegQueryValueExA(key, "DeleteFlag", NULL, NULL, (BYTE *)&s->delete_flag, &dsize);
        RegCloseKey(key);
    }
    if ((scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT)))
    {
        if ((service = OpenServiceA(scm, "hct", SERVICE_QUERY_STATUS)))
        {
            s->scm_open = TRUE;
            CloseServiceHandle(service);
        }
        CloseServiceHandle(scm);
    }
    GetSystemDirectoryA(path, sizeof(path));
    strcat(path, "\\drivers\\hct.sys");
    s->file = read_whole(path, &s->file_data, &s->file_size) || GetLastError() != ERROR_FILE_NOT_FOUND;
    if (when) show_snapshot(when, s);
}

static void show_value(ULONG mouse, const struct snapshot *s)
{
    DWORD i;
    printf("  %s LowerFilters: ", instance_ids[mouse]);
    if (!s->value[mouse].present)
    {
        printf("(no value)\n");
        return;
    }
    printf("type %lu, %lu bytes:", s->value[mouse].type, s->value[mouse].size);
    for (i = 0; i + 1 < s->value[mouse].size; i += 2)
    {
        WCHAR c = s->value[mouse].data[i] | s->value[mouse].data[i + 1] << 8;
        if (c) printf("%c", c < 128 ? (char)c : '?');
        else printf("\\0");
    }
    printf("\n");
}

static void show_snapshot(const char *when, const struct snapshot *s)
{
    ULONG i;
    printf("  read back %s:\n", when);
    for (i = 0; i < HCTWINE_MICE; i++) show_value(i, s);
    printf("  service hct: %s%s%s%s; %%SystemRoot%%\\System32\\drivers\\hct.sys: %s (%lu bytes)\n",
           s->service ? "ImagePath " : "absent", s->service ? s->image_path : "",
           s->delete_flag ? ", marked for deletion" : "", s->scm_open ? ", the SCM opens it" : "",
           s->file ? "present" : "absent", s->file_size);
}

static BOOL same_value(const struct snapshot *a, const struct snapshot *b, ULONG mouse)
{
    return a->value[mouse].present == b->value[mouse].present &&
           (!a->value[mouse].present || (a->value[mouse].type == b->value[mouse].type &&
                                         a->value[mouse].size == b->value[mouse].size &&
                                         !memcmp(a->value[mouse].data, b->value[mouse].data, a->value[mouse].size)));
}

static BOOL same_snapshot(const struct snapshot *a, const struct snapshot *b)
{
    ULONG i;
    for (i = 0; i < HCTWINE_MICE; i++)
        if (!same_value(a, b, i)) return FALSE;
    return a->service == b->service && !strcmp(a->image_path, b->image_path) && a->delete_flag == b->delete_flag &&
           a->scm_open == b->scm_open && a->file == b->file && a->file_size == b->file_size &&
           (!a->file_size || (a->file_data && b->file_data && !memcmp(a->file_data, b->file_data, a->file_size)));
}

/* The value as a multi-string of the given entries ("a\0b\0\0"). */
static BOOL value_is(const struct snapshot *s, ULONG mouse, const char *entries, size_t length)
{
    DWORD i;
    if (!s->value[mouse].present || s->value[mouse].type != REG_MULTI_SZ || s->value[mouse].size != length * 2)
        return FALSE;
    for (i = 0; i < length; i++)
        if (s->value[mouse].data[2 * i] != (BYTE)entries[i] || s->value[mouse].data[2 * i + 1]) return FALSE;
    return TRUE;
}

static BOOL set_value(ULONG mouse, const WCHAR *data, DWORD bytes)
{
    HKEY key = node_key(mouse, KEY_SET_VALUE);
    LONG error;
    if (!key) return FALSE;
    error = data ? RegSetValueExW(key, L"LowerFilters", 0, REG_MULTI_SZ, (const BYTE *)data, bytes)
                 : RegDeleteValueW(key, L"LowerFilters");
    RegCloseKey(key);
    return !error;
}

/* A kernel service of another product's filter, hctwpass, as its own installer would create it. */
static BOOL create_other_filter_service(void)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS), service;
    if (!scm) return FALSE;
    service = CreateServiceA(scm, "hctwpass", "hct Wine test: another lower filter", SERVICE_ALL_ACCESS,
                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             "\\SystemRoot\\System32\\drivers\\hctwpass.sys", NULL, NULL, NULL, NULL, NULL);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return service != NULL;
}

static ULONG parse_bytes(const char *text, UCHAR *bytes)
{
    ULONG n = 0;
    unsigned value;
    int used;
    while (n < HCTWINE_MAX_REPORT && sscanf(text, " %2x%n", &value, &used) == 1)
    {
        bytes[n++] = (UCHAR)value;
        text += used;
    }
    return n;
}

static void unknown_code(ULONG code)
{
    HANDLE h = open_link("\\\\.\\" HCT_EXTRA_LINK_BASE "1");
    DWORD got, error = 0;
    BOOL ok = h != INVALID_HANDLE_VALUE && DeviceIoControl(h, code, NULL, 0, NULL, 0, &got, NULL);
    if (!ok) error = GetLastError();
    check(h != INVALID_HANDLE_VALUE && !ok && error == ERROR_INVALID_PARAMETER,
          "control code %#lx on \\\\.\\SLN_MouseExtra1 is refused with error 87 (got %s, %lu)", code,
          ok ? "success" : "failure", error);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

static void step(const char *name) { printf("--- %s\n", name); }

/* Where hct is when a mouse's stack is built: directly on its PDO, on another mouse, or nowhere. */
enum hct_at { HCT_ELSEWHERE, HCT_NOWHERE, HCT_HERE };

/* The checks of a mouse's stack just built: the filters `stack` names, lowest first, started; with
 * hct, the class driver's start sequence through it; without, a report comes through unchanged. */
static void check_stack(BOOL built, const char *what, ULONG mouse, const struct hctwine_upper_state *u, const char *stack,
                        enum hct_at hct)
{
    struct hctwine_bus_state b;
    check(built, "%s", what);
    if (hct != HCT_HERE)
    {
        check(u->attached && u->filter_status == 0 && !strcmp(u->stack, stack) && u->started && u->start_status == 0,
              "mouse %lu: the stack holds only the listed filters (\"%s\"), started", mouse + 1, stack);
        if (hct == HCT_NOWHERE) check(!control_device_present(), "no hct control device (\\\\.\\SLN_MouseExtra1 does not open)");
        check(report_is(mouse, pan_report, FALSE), "mouse %lu: a report with horizontal scroll reaches the class driver unchanged",
              mouse + 1);
        return;
    }
    bus_state(mouse, &b);
    check(u->attached && u->filter_status == 0 && !strcmp(u->stack, stack),
          "mouse %lu: the stand-in PnP manager loaded exactly the listed filters, lowest first: \"%s\"", mouse + 1, stack);
    check(u->started && u->start_status == 0,
          "mouse %lu: the start request went through the stack, the class driver's start sequence succeeded", mouse + 1);
    check(u->descriptor_status == 0 && u->descriptor_length == 63 && u->read_length == 5,
          "the class driver got the 63-byte report descriptor through hct and reads 5-byte reports");
    check(b.string_requests == 1, "hct asked for string descriptor 200 once at start");
    check(b.configurations_selected == 1 && b.set_idle_requests == 1 && b.hid_requests == 1,
          "the configuration was selected, SET_IDLE and the report descriptor request reached the mouse once each");
}

/* An install that must fail: nonzero exit, and everything read back as before. */
static void failed_install(const char *dir, const char *arguments, const char *why)
{
    struct snapshot before = {0}, after = {0};
    int code;
    take_snapshot(&before, NULL);
    code = run_tool(dir, "%s", arguments);
    take_snapshot(&after, NULL);
    check(code > 0 && code != 99 && same_snapshot(&before, &after),
          "hctctl %s (%s) fails (exit code %d) and leaves LowerFilters, the service and the file as they were", arguments,
          why, code);
    if (!same_snapshot(&before, &after)) show_snapshot("after", &after);
    free(before.file_data);
    free(after.file_data);
}

/* Reads the scenario file (see scenario.txt), and plays it when `play`: on, off, ioctl CODE,
 * report BYTES -> BYTES, unplug; lines starting with '#' and empty lines are skipped. FALSE when
 * it does not open or a line is not a step. */
static BOOL scenario(const char *path, const char *pkg, BOOL play)
{
    FILE *f = fopen(path, "r");
    char line[256], sent_text[3 * HCTWINE_MAX_REPORT + 1], expected_text[3 * HCTWINE_MAX_REPORT + 1], *arrow;
    UCHAR sent[HCTWINE_MAX_REPORT], expected[HCTWINE_MAX_REPORT];
    ULONG code, sent_length = 0, expected_length = 0;
    struct hctwine_upper_state u;
    struct hctwine_bus_state b;
    int number = 0;
    if (!f) printf("FAIL: cannot open the scenario %s\n", path);
    while (f && fgets(line, sizeof(line), f))
    {
        BOOL on_off, ioctl, unplug, report = FALSE;
        number++;
        line[strcspn(line, "\r\n")] = 0;
        if (!line[0] || line[0] == '#') continue;
        on_off = !strcmp(line, "on") || !strcmp(line, "off");
        unplug = !strcmp(line, "unplug");
        ioctl = sscanf(line, "ioctl %lx", &code) == 1;
        if (!strncmp(line, "report ", 7) && (arrow = strstr(line, "->")))
        {
            *arrow = 0;
            sent_length = parse_bytes(line + 7, sent);
            expected_length = parse_bytes(arrow + 2, expected);
            report = sent_length && expected_length;
        }
        if (!on_off && !unplug && !ioctl && !report)
        {
            printf("FAIL: %s line %d: not a step: %s\n", path, number, line);
            fclose(f);
            return FALSE;
        }
        if (!play) continue;
        if (on_off)
        {
            int exit_code = run_tool(pkg, "%s", line);
            check(exit_code == 0, "hctctl %s exits with 0 (got %d)", line, exit_code);
        }
        else if (ioctl)
            unknown_code(code);
        else if (unplug)
        {
            bus_state(MOUSE1, &b);
            check(b.reads_waiting == HCTWINE_READS, "the class driver's interrupt transfers are held by the mouse before unplugging");
            check(unplug_and_wait(MOUSE1), "the mouse is unplugged: the whole stack saw the surprise removal and the removal");
            upper_state(MOUSE1, &u);
            bus_state(MOUSE1, &b);
            check(u.surprise_removed && b.surprise_removed && !u.reads_outstanding && u.last_read_status != 0,
                  "the outstanding transfers came back failed at removal");
            check(!control_device_present(), "\\\\.\\SLN_MouseExtra1 is gone after removal");
        }
        else
        {
            BOOL back = report_round_trip(MOUSE1, sent, sent_length, &u, FALSE);
            check(back && u.last_read_status == 0 && u.last_read_usbd == 0 && u.last_length == expected_length &&
                      !memcmp(u.last_report, expected, expected_length),
                  "report%s reaches the class driver as%s", hex(sent_text, sent, sent_length),
                  hex(expected_text, expected, expected_length));
        }
    }
    if (f) fclose(f);
    return f != NULL;
}

/* Feeds horizontal scroll to a mouse until it comes back rewritten, for at most 2 s. */
static void check_switched_on(ULONG mouse, const char *what)
{
    DWORD start = GetTickCount();
    BOOL on;
    POLL_UNTIL(on = report_is(mouse, pan_rewritten, TRUE), 2000, 100);
    check(on, "%s", what);
    printf("  (%lu ms)\n", GetTickCount() - start);
}

/* Whether PendingFileRenameOperations holds a string that ends in `tail` (any case). */
static BOOL pending_names(const char *tail)
{
    char pending[8192];
    DWORD size = sizeof(pending) - 2, i, n = (DWORD)strlen(tail);
    HKEY key;
    BOOL found = FALSE;
    memset(pending, 0, sizeof(pending));
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key)) return FALSE;
    if (!RegQueryValueExA(key, "PendingFileRenameOperations", NULL, NULL, (BYTE *)pending, &size))
        for (i = 0; i < size; i += (DWORD)strlen(pending + i) + 1)
            if (strlen(pending + i) >= n && !_stricmp(pending + i + strlen(pending + i) - n, tail)) found = TRUE;
    RegCloseKey(key);
    return found;
}

static void check_uninstalled(const struct snapshot *now)
{
    BOOL scheduled = pending_names("\\hct.sys");
    check(!now->service || now->delete_flag || !now->scm_open,
          "the service hct is gone, or marked for deletion (its driver still loaded when it was deleted)");
    if (now->file && scheduled) printf("  (hct.sys is listed in PendingFileRenameOperations: removed at restart)\n");
    check(!now->file || scheduled, "%%SystemRoot%%\\System32\\drivers\\hct.sys is gone (or its removal at restart scheduled)");
}

static int installer(const char *scenario_path, const char *pkg, const char *nosys, const char *wrongarch, const char *upgrade)
{
    struct snapshot before = {0}, now = {0}, saved = {0};
    struct hctwine_upper_state u;
    PROCESS_INFORMATION keep = {0};
    DWORD code;
    static const WCHAR other_only[] = L"hctwpass\0";

    if (!scenario(scenario_path, pkg, FALSE)) return 1;
    bus = open_link_waiting("\\\\.\\HctWineBus", 20000);
    check(bus != INVALID_HANDLE_VALUE, "the fake bus is running (\\\\.\\HctWineBus opens)");
    if (bus == INVALID_HANDLE_VALUE) return 1;

    step("before install: mouse 1 plugged in, no LowerFilters value");
    check_stack(plug(MOUSE1, &u), "mouse 1 is plugged in and its stack built", MOUSE1, &u, "", HCT_NOWHERE);
    take_snapshot(&before, "before install");
    check(!before.value[MOUSE1].present && !before.service && !before.file, "no LowerFilters value, no service hct, no hct.sys");

    step("failed installs change nothing");
    failed_install(nosys, "install", "no hct.sys beside hctctl.exe");
    failed_install(pkg, "install --device USB\\VID_9999&PID_9999\\NOSUCH", "an unknown device");
    failed_install(wrongarch, "install", "the other width's hct.sys beside hctctl.exe");

    step("hctctl install");
    check(run_tool(pkg, "install") == 0, "hctctl install exits with 0");
    take_snapshot(&now, "after install");
    check(value_is(&now, MOUSE1, "hct\0", 5), "LowerFilters read back from the node's instance key: exactly \"hct\"");
    check(now.service && !now.delete_flag && now.scm_open, "the service hct exists");
    {
        BYTE *data;
        DWORD got;
        char path[MAX_PATH];
        snprintf(path, sizeof(path), "%s\\hct.sys", pkg);
        read_whole(path, &data, &got);
        check(now.file && now.file_data && data && got == now.file_size && !memcmp(data, now.file_data, got),
              "%%SystemRoot%%\\System32\\drivers\\hct.sys is the package's hct.sys, byte for byte");
        free(data);
    }
    check(!control_device_present(), "before the replug no hct control device: the running stack is unchanged");

    step("negative control: the value cleared, replug");
    saved = now;
    saved.file_data = NULL;
    check(set_value(MOUSE1, NULL, 0), "LowerFilters deleted from the node");
    check_stack(replug(MOUSE1, &u), "mouse 1 replugged", MOUSE1, &u, "", HCT_NOWHERE);
    check(set_value(MOUSE1, saved.value[MOUSE1].present ? (const WCHAR *)saved.value[MOUSE1].data : NULL,
                    saved.value[MOUSE1].size),
          "LowerFilters written back as hctctl install left it");

    step("replug: the stack is built from LowerFilters");
    check_stack(replug(MOUSE1, &u), "mouse 1 replugged", MOUSE1, &u, "hct", HCT_HERE);

    step("the session of tests/wine/scenario.txt (its driver trace is compared with the host's)");
    scenario(scenario_path, pkg, TRUE);
    request(bus, IOCTL_HCTWINE_MARK, 1, NULL, 0);

    step("hctctl on --keep: a second mouse installed and plugged, the first replugged");
    check_stack(plug(MOUSE1, &u), "mouse 1 plugged in again", MOUSE1, &u, "hct", HCT_HERE);
    DeleteFileA("C:\\keep.stop");
    check(start_tool(pkg, "on --keep --stop-file C:\\keep.stop", NULL, &keep), "hctctl on --keep started");
    check_switched_on(MOUSE1, "mouse 1 is switched on by hctctl on --keep within 2 s");
    check_stack(plug(MOUSE2, &u), "mouse 2 plugged in (no filter listed yet)", MOUSE2, &u, "", HCT_ELSEWHERE);
    check(run_tool(pkg, "install") != 0, "hctctl install without --device refuses to choose among two mouse nodes");
    check(run_tool(pkg, "install --device %s", instance_ids[MOUSE2]) == 0, "hctctl install --device (mouse 2) exits with 0");
    take_snapshot(&now, NULL);
    show_value(MOUSE2, &now);
    check(value_is(&now, MOUSE2, "hct\0", 5) && value_is(&now, MOUSE1, "hct\0", 5),
          "mouse 2's LowerFilters is \"hct\", mouse 1's unchanged");
    /* Replugged by hand: out for a second and a half. hctctl on --keep looks once a second where no
     * arrival notification comes (Wine), and a link gone and back between two looks is not new to it. */
    check_stack(replug_after(MOUSE2, 1500, &u), "mouse 2 replugged (out for 1.5 s, as by hand)", MOUSE2, &u, "hct", HCT_HERE);
    check_switched_on(MOUSE2, "mouse 2 is switched on by hctctl on --keep within 2 s");
    check(replug_after(MOUSE1, 1500, &u), "mouse 1 replugged (out for 1.5 s, as by hand)");
    check_switched_on(MOUSE1, "mouse 1 is switched on again by hctctl on --keep within 2 s");
    check(report_is(MOUSE2, pan_rewritten, FALSE), "mouse 2 still rewrites horizontal scroll: every mouse on");
    {
        HANDLE f = CreateFileA("C:\\keep.stop", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        code = keep.hProcess ? wait_tool(&keep, 10000) : (DWORD)-1;
        check(code == 0, "hctctl on --keep stops once its stop file appears, exit code 0 (got %lu)", code);
    }

    step("upgrade while loaded: another build of hct.sys installed with the driver loaded");
    code = (DWORD)run_tool(upgrade, "install --device %s", instance_ids[MOUSE1]);
    take_snapshot(&saved, NULL);
    check(code == 3010 && strstr(tool_output, "done, restart required") && pending_names("\\hct.sys.new") &&
              pending_names("\\drivers\\hct.sys") && saved.file_size == now.file_size &&
              !memcmp(saved.file_data, now.file_data, now.file_size),
          "upgrade while loaded: exit code 3010 (got %ld), \"done, restart required\", hct.sys.new "
          "scheduled to replace the loaded hct.sys at the restart, the loaded one kept", (long)code);
    free(saved.file_data);

    step("hctctl uninstall --all, replug");
    check(run_tool(pkg, "uninstall --all") == 0, "hctctl uninstall --all exits with 0");
    check(unplug_and_wait(MOUSE2), "mouse 2 unplugged");
    check_stack(replug(MOUSE1, &u), "mouse 1 replugged", MOUSE1, &u, "", HCT_NOWHERE);
    take_snapshot(&now, "after uninstall");
    check(!now.value[MOUSE1].present && !now.value[MOUSE2].present,
          "LowerFilters exactly as before install: no value on either node");
    check_uninstalled(&now);

    step("another filter already listed: install (a reinstall after a pending removal) keeps it, uninstall gives it back unchanged");
    check(create_other_filter_service(), "the other filter's service hctwpass created");
    check(set_value(MOUSE1, other_only, sizeof(other_only)), "mouse 1's LowerFilters set to \"hctwpass\"");
    check_stack(replug(MOUSE1, &u), "mouse 1 replugged", MOUSE1, &u, "hctwpass", HCT_NOWHERE);
    take_snapshot(&before, "before install");
    /* The uninstall above ran with the driver loaded: the file's deletion waits for the restart. */
    check(pending_names("\\hct.sys"), "hct.sys's removal at restart is pending (PendingFileRenameOperations)");
    code = (DWORD)run_tool(pkg, "install --device %s", instance_ids[MOUSE1]);
    take_snapshot(&now, NULL);
    show_value(MOUSE1, &now);
    check(code == 0 && !pending_names("\\hct.sys") && now.file && now.service && !now.delete_flag,
          "reinstall after a pending removal: exit code 0 (got %ld), no entry for hct.sys left in "
          "PendingFileRenameOperations, the file and the service there", (long)code);
    check(value_is(&now, MOUSE1, "hct\0hctwpass\0", 14),
          "LowerFilters read back: \"hct\" first (directly above the bus driver), then \"hctwpass\"");
    check_stack(replug(MOUSE1, &u), "mouse 1 replugged", MOUSE1, &u, "hct,hctwpass", HCT_HERE);
    check(run_tool(pkg, "on") == 0, "hctctl on exits with 0");
    check(report_is(MOUSE1, pan_rewritten, FALSE), "a report with horizontal scroll is rewritten through both filters");
    check(run_tool(pkg, "uninstall --device %s", instance_ids[MOUSE1]) == 0, "hctctl uninstall --device (mouse 1) exits with 0");
    check_stack(replug(MOUSE1, &u), "mouse 1 replugged", MOUSE1, &u, "hctwpass", HCT_NOWHERE);
    take_snapshot(&now, "after uninstall");
    check(same_value(&before, &now, MOUSE1), "LowerFilters exactly as before install: \"hctwpass\", byte for byte");
    check_uninstalled(&now);
    check(unplug_and_wait(MOUSE1), "mouse 1 unplugged at the end");

    if (upper != INVALID_HANDLE_VALUE) CloseHandle(upper);
    CloseHandle(bus);
    free(before.file_data);
    free(now.file_data);
    printf("%s: harness, %d failed check(s)\n", failures ? "FAIL" : "PASS", failures);
    return failures ? 1 : 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && !strcmp(argv[1], "install")) return install(argv[2]);
    if (argc == 7 && !strcmp(argv[1], "test")) return installer(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (argc == 2 && !strcmp(argv[1], "uninstall")) return uninstall();
    fprintf(stderr, "usage: hctwine install <inf> | test <scenario> <package dir> <dir without hct.sys> "
                    "<dir with the other width's hct.sys> <dir with another build of hct.sys> | uninstall\n");
    return 2;
}

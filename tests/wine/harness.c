/* User-mode side of the Wine end-to-end test of hct.sys.
 *
 *   hctwine install <inf>        creates the root device of the fake bus and installs its driver
 *   hctwine test <scenario> [hctctl.exe]
 *                                plugs the mouse, checks the start, then plays the scenario: switches
 *                                the feature with hctctl (or directly), sends other control codes,
 *                                feeds reports and checks what the fake class driver received,
 *                                unplugs the mouse; exit status 0 only when every check passed
 *   hctwine uninstall            removes the root device of the fake bus
 */
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>
#include <assert.h> /* static_assert in hctioctl.h */
#include <stdio.h>
#include <string.h>
#include "hctwine.h"
#include "../../usb/hct/hctioctl.h"

#define ROOT_HARDWARE_ID "hctwine_root_bus"
#define ROOT_INSTANCE "ROOT\\HCTWINE\\0000"

static int failures;

static void check(int ok, const char *what)
{
    printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok) failures++;
}

static void show_report(const char *label, const UCHAR *bytes, ULONG length)
{
    ULONG i;
    printf("  %s:", label);
    for (i = 0; i < length; i++) printf(" %02X", bytes[i]);
    printf("\n");
}

/* ------------------------------------------------------------------ install / uninstall */

static int install(const char *inf)
{
    static const char hardware_id[] = ROOT_HARDWARE_ID "\0";
    SP_DEVINFO_DATA device = {sizeof(device)};
    char copied[MAX_PATH];
    BOOL reboot = FALSE;
    HDEVINFO set;
    GUID class_guid;
    char class_name[64];

    if (!SetupDiGetINFClassA(inf, &class_guid, class_name, sizeof(class_name), NULL))
    {
        printf("FAIL: %s is not a readable INF (error %lu)\n", inf, GetLastError());
        return 1;
    }
    /* The mouse is installed later, when the bus reports it: its INF must be where setup looks. */
    if (!SetupCopyOEMInfA(inf, NULL, SPOST_NONE, 0, copied, sizeof(copied), NULL, NULL))
    {
        printf("FAIL: SetupCopyOEMInf(%s): error %lu\n", inf, GetLastError());
        return 1;
    }
    set = SetupDiCreateDeviceInfoList(&class_guid, NULL);
    if (set == INVALID_HANDLE_VALUE)
    {
        printf("FAIL: SetupDiCreateDeviceInfoList: error %lu\n", GetLastError());
        return 1;
    }
    if (!SetupDiCreateDeviceInfoA(set, ROOT_INSTANCE, &class_guid, NULL, NULL, 0, &device) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)hardware_id,
                                           sizeof(hardware_id)) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
    {
        printf("FAIL: creating the root device " ROOT_INSTANCE ": error %lu\n", GetLastError());
        SetupDiDestroyDeviceInfoList(set);
        return 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, ROOT_HARDWARE_ID, inf, INSTALLFLAG_FORCE, &reboot))
    {
        printf("FAIL: installing the fake bus on " ROOT_INSTANCE ": error %lu\n", GetLastError());
        return 1;
    }
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

    if (set == INVALID_HANDLE_VALUE)
    {
        printf("FAIL: SetupDiGetClassDevs: error %lu\n", GetLastError());
        return 1;
    }
    for (i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++)
    {
        if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof(id), NULL) || _stricmp(id, ROOT_INSTANCE))
            continue;
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            removed++;
        else
            printf("FAIL: removing %s: error %lu\n", id, GetLastError());
    }
    SetupDiDestroyDeviceInfoList(set);
    printf("uninstalled: %d root device(s) removed\n", removed);
    return removed ? 0 : 1;
}

/* ------------------------------------------------------------------ test */

static HANDLE open_link(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       0, NULL);
}

static HANDLE open_link_waiting(const char *path, DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        HANDLE h = open_link(path);
        if (h != INVALID_HANDLE_VALUE || GetTickCount() - start >= ms) return h;
        Sleep(50);
    }
}

static BOOL bus_state(HANDLE bus, struct hctwine_bus_state *s)
{
    DWORD got = 0;
    memset(s, 0, sizeof(*s));
    return DeviceIoControl(bus, IOCTL_HCTWINE_BUS_STATE, NULL, 0, s, sizeof(*s), &got, NULL) && got == sizeof(*s);
}

static BOOL upper_state(HANDLE upper, struct hctwine_upper_state *s)
{
    DWORD got = 0;
    memset(s, 0, sizeof(*s));
    return DeviceIoControl(upper, IOCTL_HCTWINE_UPPER_STATE, NULL, 0, s, sizeof(*s), &got, NULL) && got == sizeof(*s);
}

/* Runs hctctl.exe with one argument and returns its exit code, or -1 when it could not run. */
static int run_hctctl(const char *tool, const char *argument)
{
    STARTUPINFOA si = {sizeof(si)};
    PROCESS_INFORMATION pi;
    char command[MAX_PATH + 32];
    DWORD code = (DWORD)-1;

    snprintf(command, sizeof(command), "\"%s\" %s", tool, argument);
    if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
    {
        printf("  could not start %s: error %lu\n", command, GetLastError());
        return -1;
    }
    if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0)
    {
        printf("  %s did not finish in 30 s\n", command);
        TerminateProcess(pi.hProcess, 99);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (int)code;
}

static void switch_feature(const char *tool, BOOL on)
{
    char what[128];
    if (tool)
    {
        int code = run_hctctl(tool, on ? "on" : "off");
        snprintf(what, sizeof(what), "hctctl %s exits with 0 (got %d)", on ? "on" : "off", code);
        check(code == 0, what);
        return;
    }
    {
        HANDLE h = open_link("\\\\.\\" HCT_EXTRA_LINK_BASE "1");
        DWORD got;
        BOOL ok = h != INVALID_HANDLE_VALUE &&
                  DeviceIoControl(h, on ? IOCTL_VORIK_TESKMOUSE_TURN_ON : IOCTL_VORIK_TESKMOUSE_TURN_OFF, NULL, 0,
                                  NULL, 0, &got, NULL);
        snprintf(what, sizeof(what), "%s through \\\\.\\SLN_MouseExtra1 (error %lu)",
                 on ? "TURN_ON" : "TURN_OFF", ok ? 0 : GetLastError());
        check(ok, what);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
}

/* Feeds one report to the mouse, which holds the class driver's interrupt transfers, and returns
 * what came back up to the class driver. */
static BOOL report_round_trip(HANDLE bus, HANDLE upper, const UCHAR *report, ULONG length,
                              struct hctwine_upper_state *seen)
{
    struct hctwine_bus_state b;
    struct hctwine_upper_state before, u;
    DWORD got, start;

    if (!upper_state(upper, &before) || !bus_state(bus, &b)) return FALSE;
    if (b.reads_waiting != HCTWINE_READS)
    {
        printf("  the mouse holds %lu interrupt transfer(s), not %d\n", b.reads_waiting, HCTWINE_READS);
        return FALSE;
    }
    if (!DeviceIoControl(bus, IOCTL_HCTWINE_FEED, (void *)report, length, NULL, 0, &got, NULL))
    {
        printf("  feeding the report failed: error %lu\n", GetLastError());
        return FALSE;
    }
    for (start = GetTickCount(); upper_state(upper, &u) && u.reads_completed == before.reads_completed &&
                                 GetTickCount() - start < 10000;)
        Sleep(20);
    *seen = u;
    return u.reads_completed == before.reads_completed + 1;
}

/* One step of the scenario file (see scenario.txt): on, off, ioctl CODE, report BYTES -> BYTES,
 * unplug. Lines starting with '#' and empty lines are skipped. */
struct step
{
    char kind[8];
    ULONG code;
    UCHAR sent[HCTWINE_MAX_REPORT], expected[HCTWINE_MAX_REPORT];
    ULONG sent_length, expected_length;
};

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

static int read_scenario(const char *path, struct step *steps, int room)
{
    FILE *f = fopen(path, "r");
    char line[256];
    int n = 0, number = 0;
    if (!f)
    {
        printf("FAIL: cannot open the scenario %s\n", path);
        return -1;
    }
    while (fgets(line, sizeof(line), f))
    {
        struct step *st = &steps[n];
        char *arrow;
        number++;
        line[strcspn(line, "\r\n")] = 0;
        if (!line[0] || line[0] == '#') continue;
        if (n == room) break;
        memset(st, 0, sizeof(*st));
        if (!strcmp(line, "on") || !strcmp(line, "off") || !strcmp(line, "unplug"))
            strcpy(st->kind, line);
        else if (sscanf(line, "ioctl %lx", &st->code) == 1)
            strcpy(st->kind, "ioctl");
        else if (!strncmp(line, "report ", 7) && (arrow = strstr(line, "->")))
        {
            *arrow = 0;
            strcpy(st->kind, "report");
            st->sent_length = parse_bytes(line + 7, st->sent);
            st->expected_length = parse_bytes(arrow + 2, st->expected);
        }
        if (!st->kind[0] || (!strcmp(st->kind, "report") && (!st->sent_length || !st->expected_length)))
        {
            printf("FAIL: %s line %d: not a step: %s\n", path, number, line);
            fclose(f);
            return -1;
        }
        n++;
    }
    fclose(f);
    return n;
}

static void unknown_code(ULONG code)
{
    char what[160];
    HANDLE h = open_link("\\\\.\\" HCT_EXTRA_LINK_BASE "1");
    DWORD got, error = 0;
    BOOL ok = h != INVALID_HANDLE_VALUE && DeviceIoControl(h, code, NULL, 0, NULL, 0, &got, NULL);
    if (!ok) error = GetLastError();
    snprintf(what, sizeof(what), "control code %#lx on \\\\.\\SLN_MouseExtra1 is refused with error 87 (got %s, %lu)",
             code, ok ? "success" : "failure", error);
    check(h != INVALID_HANDLE_VALUE && !ok && error == ERROR_INVALID_PARAMETER, what);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

static void unplug(HANDLE bus, HANDLE upper, ULONG reads_before)
{
    struct hctwine_bus_state b;
    struct hctwine_upper_state u;
    HANDLE extra;
    DWORD got, start, error;

    bus_state(bus, &b);
    check(b.reads_waiting == HCTWINE_READS, "the class driver's interrupt transfers are held by the mouse before unplugging");
    check(DeviceIoControl(bus, IOCTL_HCTWINE_UNPLUG, NULL, 0, NULL, 0, &got, NULL), "the mouse is unplugged");
    for (start = GetTickCount(); upper_state(upper, &u) && !u.removed && GetTickCount() - start < 20000;)
        Sleep(50);
    bus_state(bus, &b);
    check(u.surprise_removed && u.removed && b.surprise_removed && b.removed,
          "the whole stack saw the surprise removal and the removal");
    check(u.reads_completed == reads_before + HCTWINE_READS && u.last_read_status != 0 && !u.reads_outstanding,
          "the outstanding transfers came back failed at removal");
    extra = open_link("\\\\.\\" HCT_EXTRA_LINK_BASE "1");
    error = GetLastError();
    check(extra == INVALID_HANDLE_VALUE, "\\\\.\\SLN_MouseExtra1 is gone after removal");
    if (extra != INVALID_HANDLE_VALUE) CloseHandle(extra);
    else printf("  (opening it now fails with error %lu)\n", error);
}

/* The requests that reached the mouse after the start: hct's string probe, then what the system's
 * class driver sends, each descriptor and class request completing as a control transfer. */
static void check_urb_sequence(const struct hctwine_bus_state *b)
{
    static const USHORT want[][2] = {
        {0x0B, 0x08}, /* hct: string descriptor 200 */
        {0x0B, 0x08}, {0x0B, 0x08}, {0x0B, 0x08}, /* device, configuration (9), configuration (all) */
        {0x00, 0x00}, /* SELECT_CONFIGURATION */
        {0x1B, 0x08}, /* SET_IDLE */
        {0x28, 0x08}, /* report descriptor */
        {0x09, 0x09}, {0x09, 0x09}, /* the interrupt transfers kept at the mouse */
    };
    ULONG i, n = sizeof(want) / sizeof(want[0]);
    BOOL same = b->urb_count >= n;
    printf("  URB functions at the mouse (sent -> completed):");
    for (i = 0; i < b->urb_count && i < HCTWINE_URB_LOG; i++)
    {
        printf(" %02x->%02x", b->urbs[i].down, b->urbs[i].up);
        if (i < n && (b->urbs[i].down != want[i][0] || b->urbs[i].up != want[i][1])) same = FALSE;
    }
    printf("\n");
    check(same, "the class driver's requests after start are the system's sequence, converted in place by the bus");
}

static int test(const char *scenario, const char *tool)
{
    struct step steps[64];
    struct hctwine_bus_state b;
    struct hctwine_upper_state u;
    HANDLE bus, upper;
    DWORD got, start;
    int n = read_scenario(scenario, steps, 64), i;
    char what[200];

    if (n < 0) return 1;
    bus = open_link_waiting("\\\\.\\HctWineBus", 20000);
    check(bus != INVALID_HANDLE_VALUE, "the fake bus is running (\\\\.\\HctWineBus opens)");
    if (bus == INVALID_HANDLE_VALUE) return 1;

    check(DeviceIoControl(bus, IOCTL_HCTWINE_PLUG, NULL, 0, NULL, 0, &got, NULL), "the mouse is plugged in");
    upper = open_link_waiting("\\\\.\\HctWineUpper", 20000);
    check(upper != INVALID_HANDLE_VALUE, "the fake class driver is loaded for the mouse (\\\\.\\HctWineUpper opens)");
    if (upper == INVALID_HANDLE_VALUE) return 1;
    for (start = GetTickCount(); upper_state(upper, &u) && !u.started && !u.removed && GetTickCount() - start < 20000;)
        Sleep(50);
    check(u.attached && u.filter_status == 0 && u.filter_attached,
          "hct's AddDevice put its device between the class driver and the mouse");
    if (u.filter_status) printf("  loading or attaching hct: status %#lx\n", (unsigned long)u.filter_status);
    check(u.started && u.start_status == 0, "the start request went through hct, and the class driver's start sequence succeeded");
    if (u.start_status) printf("  start: status %#lx\n", (unsigned long)u.start_status);
    check(u.descriptor_status == 0 && u.descriptor_length == 63 && u.read_length == 5,
          "the class driver got the 63-byte report descriptor through hct and reads 5-byte reports");
    for (start = GetTickCount(); bus_state(bus, &b) && b.reads_waiting < HCTWINE_READS && GetTickCount() - start < 10000;)
        Sleep(20);
    check(b.started, "the mouse's PDO was started");
    check(b.string_requests == 1, "hct asked for string descriptor 200 once at start");
    check(b.configurations_selected == 1 && b.set_idle_requests == 1 && b.hid_requests == 1,
          "the configuration was selected, SET_IDLE and the report descriptor request reached the mouse once each");
    check_urb_sequence(&b);

    /* The control device is first opened by the scenario's steps, as on the host: an extra open
     * here would show in the driver's trace. */
    for (i = 0; i < n; i++)
    {
        struct step *st = &steps[i];
        if (!strcmp(st->kind, "on") || !strcmp(st->kind, "off"))
            switch_feature(tool, st->kind[1] == 'n');
        else if (!strcmp(st->kind, "ioctl"))
            unknown_code(st->code);
        else if (!strcmp(st->kind, "unplug"))
            unplug(bus, upper, u.reads_completed);
        else
        {
            BOOL back = report_round_trip(bus, upper, st->sent, st->sent_length, &u);
            ULONG k;
            int at;
            show_report("sent by the mouse    ", st->sent, st->sent_length);
            if (back) show_report("received by the class", u.last_report, u.last_length);
            at = snprintf(what, sizeof(what), "report");
            for (k = 0; k < st->sent_length; k++) at += snprintf(what + at, sizeof(what) - at, " %02X", st->sent[k]);
            at += snprintf(what + at, sizeof(what) - at, " reaches the class driver as");
            for (k = 0; k < st->expected_length; k++) at += snprintf(what + at, sizeof(what) - at, " %02X", st->expected[k]);
            check(back && u.last_read_status == 0 && u.last_read_usbd == 0 && u.last_length == st->expected_length &&
                      !memcmp(u.last_report, st->expected, st->expected_length),
                  what);
        }
    }

    CloseHandle(upper);
    CloseHandle(bus);
    printf("%s: harness, %d failed check(s)\n", failures ? "FAIL" : "PASS", failures);
    return failures ? 1 : 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && !strcmp(argv[1], "install")) return install(argv[2]);
    if ((argc == 3 || argc == 4) && !strcmp(argv[1], "test")) return test(argv[2], argc == 4 ? argv[3] : NULL);
    if (argc == 2 && !strcmp(argv[1], "uninstall")) return uninstall();
    fprintf(stderr, "usage: hctwine install <inf> | test <scenario> [hctctl.exe] | uninstall\n");
    return 2;
}

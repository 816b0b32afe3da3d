/* Reads install/hct.inf (the template, its hardware ID filled in) with setupapi as Windows' device
 * installation does, for both widths, down to the files the package must hold. Where Wine's setupapi
 * differs from Windows' (Include/Needs, the key of a .HW HKR line), it says so instead of relying on it.
 *
 *   hctinf <inf> <package dir>     exit status 0 only when every line resolved and every check passed */
#include <windows.h>
#include <setupapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

static int failures;

static void check(int ok, const wchar_t *what, ...)
{
    va_list args;
    va_start(args, what);
    wprintf(L"%ls: ", ok ? L"PASS" : L"FAIL");
    vwprintf(what, args);
    wprintf(L"\n");
    va_end(args);
    if (!ok) failures++;
}

static void note(const wchar_t *what) { wprintf(L"note: %ls\n", what); }

/* Field `n` of a line (0: the key), substituted as setupapi substitutes strings; "" when absent. */
static const wchar_t *field(INFCONTEXT *line, DWORD n)
{
    static wchar_t buffers[8][512];
    static int next;
    wchar_t *b = buffers[next++ % 8];
    if (!SetupGetStringFieldW(line, n, b, 512, NULL)) b[0] = 0;
    return b;
}

/* The first line of `key` (any when NULL) in `section`, or a failed check `missing` (a format). */
static BOOL find_line(HINF inf, const wchar_t *section, const wchar_t *key, INFCONTEXT *line, const wchar_t *missing)
{
    if (SetupFindFirstLineW(inf, section, key, line)) return TRUE;
    check(0, missing, section, key);
    return FALSE;
}

static const wchar_t *value(HINF inf, const wchar_t *section, const wchar_t *key)
{
    INFCONTEXT line;
    return find_line(inf, section, key, &line, L"[%ls] has a %ls line") ? field(&line, 1) : NULL;
}

static BOOL section_exists(HINF inf, const wchar_t *name) { return SetupGetLineCountW(inf, name) >= 0; }

/* A substituted string must not keep a %token%: an unresolved string key stays as it is. */
static BOOL resolved(const wchar_t *text) { return text && text[0] && !wcschr(text, L'%'); }

struct platform
{
    const wchar_t *decoration;      /* [Manufacturer] decoration and DDInstall suffix */
    const wchar_t *files_section;   /* SourceDisksFiles.<arch> */
    const wchar_t *package_subdir;  /* the package's folder of this width */
    BOOL native;                    /* this program's own width, which setupapi resolves for */
};

static const struct platform platforms[] = {
    {L"NTx86", L"SourceDisksFiles.x86", L"x86", sizeof(void *) == 4},
    {L"NTamd64", L"SourceDisksFiles.amd64", L"x64", sizeof(void *) == 8},
};

/* The DDInstall section Windows installs for `base` on a platform: base.NTx86 / base.NTamd64 when
 * present, else base.NT, else base itself. */
static BOOL actual_section(HINF inf, const wchar_t *base, const wchar_t *decoration, wchar_t *out, size_t room)
{
    swprintf(out, room, L"%ls.%ls", base, decoration);
    if (section_exists(inf, out)) return TRUE;
    swprintf(out, room, L"%ls.NT", base);
    if (section_exists(inf, out)) return TRUE;
    swprintf(out, room, L"%ls", base);
    return section_exists(inf, out);
}

/* Include/Needs of HctMouse_Inst.NT<suffix>: Windows installs input.inf's HID_Inst.NT<suffix>, the system's
 * HID-over-USB install, with ours; Wine's setupapi ignores both lines: read here, their effect not shown. */
static void include_needs(HINF inf, const wchar_t *section)
{
    INFCONTEXT line;
    wchar_t want[64];
    const wchar_t *include = L"(none)", *needs = L"(none)", *suffix = wcsstr(section, L".NT");
    if (SetupFindFirstLineW(inf, section, L"Include", &line)) include = field(&line, 1);
    if (SetupFindFirstLineW(inf, section, L"Needs", &line)) needs = field(&line, 1);
    swprintf(want, 64, L"HID_Inst%ls", suffix ? suffix : L"");
    check(!_wcsicmp(include, L"input.inf") && !_wcsicmp(needs, want),
          L"[%ls] Include = %ls, Needs = %ls: input.inf's [%ls] with ours (Wine ignores both: read, not installed)",
          section, include, needs, want);
}

static void walk_copy_files(HINF inf, const wchar_t *section)
{
    INFCONTEXT line;
    const wchar_t *list, *dir = NULL;
    BOOL found = FALSE;
    if (!find_line(inf, section, L"CopyFiles", &line, L"[%ls] has a %ls line")) return;
    list = field(&line, 1);
    if (SetupFindFirstLineW(inf, list, NULL, &line))
        do found |= !_wcsicmp(field(&line, 0), L"hct.sys") || !_wcsicmp(field(&line, 1), L"hct.sys");
        while (SetupFindNextLine(&line, &line));
    check(found, L"[%ls] CopyFiles = %ls, which lists hct.sys", section, list);
    if (SetupFindFirstLineW(inf, L"DestinationDirs", list, &line)) dir = field(&line, 1);
    else if (SetupFindFirstLineW(inf, L"DestinationDirs", L"DefaultDestDir", &line)) dir = field(&line, 1);
    check(dir && !wcscmp(dir, L"12"), L"[DestinationDirs] sends %ls to DIRID 12 (%%SystemRoot%%\\System32\\drivers) (got %ls)",
          list, dir ? dir : L"none");
}

static void walk_hw(HINF inf, const wchar_t *section)
{
    INFCONTEXT line, reg;
    wchar_t hw[256];
    int flags = -1, count = 0;
    swprintf(hw, 256, L"%ls.HW", section);
    include_needs(inf, hw);
    if (!find_line(inf, hw, L"AddReg", &line, L"[%ls] exists with an %ls line")) return;
    do
    {
        const wchar_t *name = field(&line, 1);
        if (!SetupFindFirstLineW(inf, name, NULL, &reg))
        {
            check(0, L"[%ls] AddReg = %ls: that section exists and has lines", hw, name);
            continue;
        }
        do
        {
            const wchar_t *root = field(&reg, 1), *subkey = field(&reg, 2), *valname = field(&reg, 3);
            const wchar_t *data = field(&reg, 5);
            if (_wcsicmp(valname, L"LowerFilters")) continue;
            count++;
            if (!SetupGetIntField(&reg, 4, &flags)) flags = -1;
            check(!_wcsicmp(root, L"HKR") && !subkey[0] && flags == 0x00010000 && !wcscmp(data, L"hct") &&
                      SetupGetFieldCount(&reg) == 5,
                  L"[%ls] (from %ls): %ls,%ls,\"%ls\",0x%08x,\"%ls\" is HKR,,\"LowerFilters\",0x00010000 "
                  L"(REG_MULTI_SZ, replacing: hct the first entry, directly above the bus driver),\"hct\"",
                  name, hw, root, subkey, valname, (unsigned)flags, data);
        } while (SetupFindNextLine(&reg, &reg));
    } while (SetupFindNextMatchLineW(&line, L"AddReg", &line));
    check(count == 1, L"[%ls] writes LowerFilters exactly once (%d)", hw, count);
    note(L"a .HW section's HKR is the device's instance key on Windows (Enum\\<device>\\<instance>, where "
         L"the PnP manager reads LowerFilters); Wine's setupapi writes it to the instance key's Device Parameters "
         L"subkey instead, so this run reads the line and does not install it");
}

static void walk_services(HINF inf, const wchar_t *section)
{
    INFCONTEXT line;
    wchar_t services[256];
    BOOL hct = FALSE;
    swprintf(services, 256, L"%ls.Services", section);
    include_needs(inf, services);
    if (!find_line(inf, services, L"AddService", &line, L"[%ls] exists with an %ls line")) return;
    do
    {
        const wchar_t *name = field(&line, 1), *install = field(&line, 3);
        int flags = 0;
        const wchar_t *type, *start, *error, *binary;
        if (_wcsicmp(name, L"hct")) continue;
        hct = TRUE;
        if (field(&line, 2)[0] && !SetupGetIntField(&line, 2, &flags)) flags = -1;
        check(flags >= 0 && !(flags & 0x2), L"[%ls] AddService = hct with flags 0x%x: a filter, not the function service "
              L"(no SPSVCINST_ASSOCSERVICE)", services, (unsigned)flags);
        if (!section_exists(inf, install))
        {
            check(0, L"[%ls] AddService = hct,,%ls: that section exists", services, install);
            continue;
        }
        type = value(inf, install, L"ServiceType");
        start = value(inf, install, L"StartType");
        error = value(inf, install, L"ErrorControl");
        binary = value(inf, install, L"ServiceBinary");
        if (!type || !start || !error || !binary) continue;
        check(!wcscmp(type, L"1") && !wcscmp(start, L"3") && !wcscmp(error, L"1"),
              L"[%ls] ServiceType = %ls (1: kernel driver), StartType = %ls (3: demand), ErrorControl = %ls (1: normal)",
              install, type, start, error);
        /* Setup substitutes DIRIDs in a field: %12% reads as the drivers folder. */
        {
            size_t n = wcslen(binary);
            const wchar_t *tail = L"\\drivers\\hct.sys";
            size_t t = wcslen(tail);
            check(!_wcsicmp(binary, L"%12%\\hct.sys") || (n > t && !_wcsicmp(binary + n - t, tail)),
                  L"[%ls] ServiceBinary is %%12%%\\hct.sys (read as %ls)", install, binary);
        }
    } while (SetupFindNextMatchLineW(&line, L"AddService", &line));
    check(hct, L"[%ls] adds the service hct", services);
}

static void walk_source_files(HINF inf, const struct platform *p, const wchar_t *package)
{
    INFCONTEXT line, d;
    wchar_t path[MAX_PATH];
    const wchar_t *disk, *subdir;
    DWORD attributes;
    if (!find_line(inf, p->files_section, L"hct.sys", &line, L"[%ls] has a line for %ls")) return;
    disk = field(&line, 1);
    subdir = field(&line, 2);
    check(SetupFindFirstLineW(inf, L"SourceDisksNames", disk, &d) && resolved(field(&d, 1)),
          L"[%ls] hct.sys is on disk %ls, which [SourceDisksNames] names", p->files_section, disk);
    swprintf(path, MAX_PATH, L"%ls\\%ls\\hct.sys", package, subdir);
    attributes = GetFileAttributesW(path);
    check(!_wcsicmp(subdir, p->package_subdir) && attributes != INVALID_FILE_ATTRIBUTES &&
              !(attributes & FILE_ATTRIBUTE_DIRECTORY),
          L"[%ls] hct.sys = %ls,%ls: the package holds %ls\\hct.sys (%ls)", p->files_section, disk, subdir, subdir, path);
}

int wmain(int argc, wchar_t **argv)
{
    static const struct { const wchar_t *key, *want, *about; } version[] = {
        {L"Signature", L"$Windows NT$", L""},
        {L"Class", L"HIDClass", L" (the mouse's USB node is in the HID class)"},
        {L"ClassGuid", L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}", L" (HIDClass)"},
    };
    HINF inf;
    UINT error_line = 0;
    INFCONTEXT line;
    wchar_t what[600];
    const wchar_t *text;
    wchar_t models[256];
    size_t i;
    DWORD f, n;

    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc != 3)
    {
        fwprintf(stderr, L"usage: hctinf <inf> <package dir>\n");
        return 2;
    }
    inf = SetupOpenInfFileW(argv[1], NULL, INF_STYLE_WIN4, &error_line);
    check(inf != INVALID_HANDLE_VALUE, L"SetupOpenInfFile(%ls) opens it as a Windows NT INF (error %lu, line %u)", argv[1],
          inf == INVALID_HANDLE_VALUE ? GetLastError() : 0, error_line);
    if (inf == INVALID_HANDLE_VALUE) return 1;

    for (i = 0; i < sizeof(version) / sizeof(version[0]); i++)
    {
        text = value(inf, L"Version", version[i].key);
        check(text && !_wcsicmp(text, version[i].want), L"[Version] %ls = %ls%ls", version[i].key, text ? text : L"(none)",
              version[i].about);
    }
    text = value(inf, L"Version", L"Provider");
    check(resolved(text), L"[Version] Provider resolves through [Strings] (%ls)", text ? text : L"(none)");
    if (value(inf, L"Version", L"DriverVer") && SetupFindFirstLineW(inf, L"Version", L"DriverVer", &line))
    {
        unsigned mm, dd, yy, a, b, c, d;
        wchar_t extra, both[128];
        swprintf(both, 128, L"%ls,%ls", field(&line, 1), field(&line, 2));
        check(swscanf(both, L"%u/%u/%u,%u.%u.%u.%u%lc", &mm, &dd, &yy, &a, &b, &c, &d, &extra) == 7 && mm >= 1 &&
                  mm <= 12 && dd >= 1 && dd <= 31 && yy >= 2000,
              L"[Version] DriverVer = %ls (mm/dd/yyyy,w.x.y.z)", both);
    }
    text = value(inf, L"Version", L"CatalogFile");
    if (text)
    {
        check(text[0] && !wcschr(text, L'\\') && !wcschr(text, L'%'), L"[Version] CatalogFile = %ls: a file name, not a path",
              text);
        swprintf(what, 600, L"the catalog %ls is the developer's, made with Inf2Cat and signed on Windows; the package "
                 L"holds neither it nor this template, and hctctl install needs neither", text);
        note(what);
    }

    /* [Manufacturer] -> models, for each width */
    if (!find_line(inf, L"Manufacturer", NULL, &line, L"[%ls] has a line")) return 1;
    check(resolved(field(&line, 0)), L"[Manufacturer] the manufacturer's name resolves through [Strings]");
    swprintf(models, 256, L"%ls", field(&line, 1));
    n = SetupGetFieldCount(&line);
    for (i = 0; i < sizeof(platforms) / sizeof(platforms[0]); i++)
    {
        const struct platform *p = &platforms[i];
        wchar_t section[256];
        INFCONTEXT model;
        BOOL decorated = FALSE;
        int lines = 0;
        wprintf(L"--- %ls\n", p->decoration);
        for (f = 2; f <= n; f++) decorated |= !_wcsicmp(field(&line, f), p->decoration);
        check(decorated, L"[Manufacturer] %ls lists the decoration %ls", models, p->decoration);
        swprintf(section, 256, L"%ls.%ls", models, p->decoration);
        if (!find_line(inf, section, NULL, &model, L"[%ls] exists and has a model line")) continue;
        do
        {
            const wchar_t *desc = field(&model, 0), *install = field(&model, 1), *id = field(&model, 2);
            wchar_t actual[256];
            lines++;
            check(resolved(desc) && !_wcsnicmp(id, L"USB\\VID_", 8),
                  L"[%ls] %ls = %ls, %ls: one device's ID (USB\\VID_...), the description resolved", section, desc, install, id);
            if (!actual_section(inf, install, p->decoration, actual, 256))
            {
                check(0, L"[%ls] %ls: its DDInstall section resolves for %ls", section, install, p->decoration);
                continue;
            }
            check(1, L"[%ls] %ls: its DDInstall section for %ls is [%ls]", section, install, p->decoration, actual);
            if (p->native)
            {
                wchar_t theirs[256];
                BOOL ok = SetupDiGetActualSectionToInstallW(inf, install, theirs, 256, NULL, NULL);
                check(ok && !_wcsicmp(theirs, actual), L"setupapi's own resolution of %ls on this width is the same [%ls] (got %ls)",
                      install, actual, ok ? theirs : L"nothing");
            }
            include_needs(inf, actual);
            walk_copy_files(inf, actual);
            walk_hw(inf, actual);
            walk_services(inf, actual);
        } while (SetupFindNextLine(&model, &model));
        check(lines > 0, L"[%ls] has %d model line(s)", section, lines);
        walk_source_files(inf, p, argv[2]);
    }
    SetupCloseInfFile(inf);
    wprintf(L"%ls: %ls, %d failed check(s)\n", failures ? L"FAIL" : L"PASS", argv[1], failures);
    return failures ? 1 : 0;
}

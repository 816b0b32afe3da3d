/* Reads install/hct.inf, the per-mouse template with its hardware ID filled in, with setupapi and walks
 * it as Windows' device installation does, for both widths: [Version]; [Manufacturer] to the NTx86 and
 * NTamd64 models, each a device's own ID (USB\VID_...), never a compatible ID; each model's DDInstall
 * section as Windows resolves it (.NTx86 / .NTamd64, then .NT, then none); Include/Needs of input.inf in
 * its install, .HW and .Services sections; CopyFiles and [DestinationDirs]; the .HW AddReg, which must be
 * HKR,,"LowerFilters",REG_MULTI_SZ replacing,"hct" (hct first, as hctctl puts it); AddService hct with
 * %12%\hct.sys; [SourceDisksNames] and [SourceDisksFiles.x86/.amd64] naming files the package holds.
 *
 *   hctinf <inf> <package dir>     exit status 0 only when every line resolved and every check passed
 *
 * Where Wine's setupapi treats an INF differently from Windows' (Include/Needs, the key a .HW HKR
 * line writes to), this program says so instead of relying on Wine's behaviour. */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <wchar.h>

static int failures;

static void check(int ok, const wchar_t *what)
{
    wprintf(L"%ls: %ls\n", ok ? L"PASS" : L"FAIL", what);
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

/* The value of `key` in `section`, or NULL (with a failed check) when the line is not there. */
static const wchar_t *value(HINF inf, const wchar_t *section, const wchar_t *key)
{
    INFCONTEXT line;
    wchar_t what[256];
    if (SetupFindFirstLineW(inf, section, key, &line)) return field(&line, 1);
    swprintf(what, 256, L"[%ls] has a %ls line", section, key);
    check(0, what);
    return NULL;
}

static BOOL section_exists(HINF inf, const wchar_t *name) { return SetupGetLineCountW(inf, name) >= 0; }

/* A substituted string must not keep a %token%: an unresolved string key stays as it is. */
static BOOL resolved(const wchar_t *text) { return text && text[0] && !wcschr(text, L'%'); }

struct platform
{
    const wchar_t *decoration;      /* [Manufacturer] decoration and DDInstall suffix */
    const wchar_t *files_section;   /* SourceDisksFiles.<arch> */
    const wchar_t *package_subdir;  /* the package's folder of this width */
};

static const struct platform platforms[] = {
    {L"NTx86", L"SourceDisksFiles.x86", L"x86"},
    {L"NTamd64", L"SourceDisksFiles.amd64", L"x64"},
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
    wchar_t what[512], want[64];
    const wchar_t *include = L"(none)", *needs = L"(none)", *suffix = wcsstr(section, L".NT");
    if (SetupFindFirstLineW(inf, section, L"Include", &line)) include = field(&line, 1);
    if (SetupFindFirstLineW(inf, section, L"Needs", &line)) needs = field(&line, 1);
    swprintf(want, 64, L"HID_Inst%ls", suffix ? suffix : L"");
    swprintf(what, 512, L"[%ls] Include = %ls, Needs = %ls: input.inf's [%ls] with ours (Wine ignores both: read, "
             L"not installed)", section, include, needs, want);
    check(!_wcsicmp(include, L"input.inf") && !_wcsicmp(needs, want), what);
}

static void walk_copy_files(HINF inf, const wchar_t *section)
{
    INFCONTEXT line;
    wchar_t what[512];
    const wchar_t *list;
    BOOL found = FALSE;
    if (!SetupFindFirstLineW(inf, section, L"CopyFiles", &line))
    {
        swprintf(what, 512, L"[%ls] has a CopyFiles line", section);
        check(0, what);
        return;
    }
    list = field(&line, 1);
    if (SetupFindFirstLineW(inf, list, NULL, &line))
        do found |= !_wcsicmp(field(&line, 0), L"hct.sys") || !_wcsicmp(field(&line, 1), L"hct.sys");
        while (SetupFindNextLine(&line, &line));
    swprintf(what, 512, L"[%ls] CopyFiles = %ls, which lists hct.sys", section, list);
    check(found, what);
    {
        const wchar_t *dir = NULL;
        if (SetupFindFirstLineW(inf, L"DestinationDirs", list, &line)) dir = field(&line, 1);
        else if (SetupFindFirstLineW(inf, L"DestinationDirs", L"DefaultDestDir", &line)) dir = field(&line, 1);
        swprintf(what, 512, L"[DestinationDirs] sends %ls to DIRID 12 (%%SystemRoot%%\\System32\\drivers) (got %ls)", list,
                 dir ? dir : L"none");
        check(dir && !wcscmp(dir, L"12"), what);
    }
}

static void walk_hw(HINF inf, const wchar_t *section)
{
    INFCONTEXT line, reg;
    wchar_t hw[256], what[512];
    int flags = -1, count = 0;
    swprintf(hw, 256, L"%ls.HW", section);
    include_needs(inf, hw);
    if (!SetupFindFirstLineW(inf, hw, L"AddReg", &line))
    {
        swprintf(what, 512, L"[%ls] exists with an AddReg line", hw);
        check(0, what);
        return;
    }
    do
    {
        const wchar_t *name = field(&line, 1);
        if (!SetupFindFirstLineW(inf, name, NULL, &reg))
        {
            swprintf(what, 512, L"[%ls] AddReg = %ls: that section exists and has lines", hw, name);
            check(0, what);
            continue;
        }
        do
        {
            const wchar_t *root = field(&reg, 1), *subkey = field(&reg, 2), *valname = field(&reg, 3);
            const wchar_t *data = field(&reg, 5);
            if (_wcsicmp(valname, L"LowerFilters")) continue;
            count++;
            if (!SetupGetIntField(&reg, 4, &flags)) flags = -1;
            swprintf(what, 512, L"[%ls] (from %ls): %ls,%ls,\"%ls\",0x%08x,\"%ls\" is HKR,,\"LowerFilters\",0x00010000 "
                     L"(REG_MULTI_SZ, replacing: hct the first entry, directly above the bus driver),\"hct\"",
                     name, hw, root, subkey, valname, (unsigned)flags, data);
            check(!_wcsicmp(root, L"HKR") && !subkey[0] && flags == 0x00010000 && !wcscmp(data, L"hct") &&
                      SetupGetFieldCount(&reg) == 5,
                  what);
        } while (SetupFindNextLine(&reg, &reg));
    } while (SetupFindNextMatchLineW(&line, L"AddReg", &line));
    swprintf(what, 512, L"[%ls] writes LowerFilters exactly once (%d)", hw, count);
    check(count == 1, what);
    note(L"a .HW section's HKR is the device's instance key on Windows (Enum\\<device>\\<instance>, where "
         L"the PnP manager reads LowerFilters); Wine's setupapi writes it to the instance key's Device Parameters "
         L"subkey instead, so this run reads the line and does not install it");
}

static void walk_services(HINF inf, const wchar_t *section)
{
    INFCONTEXT line;
    wchar_t services[256], what[600];
    BOOL hct = FALSE;
    swprintf(services, 256, L"%ls.Services", section);
    include_needs(inf, services);
    if (!SetupFindFirstLineW(inf, services, L"AddService", &line))
    {
        swprintf(what, 600, L"[%ls] exists with an AddService line", services);
        check(0, what);
        return;
    }
    do
    {
        const wchar_t *name = field(&line, 1), *install = field(&line, 3);
        int flags = 0;
        const wchar_t *type, *start, *error, *binary;
        if (_wcsicmp(name, L"hct")) continue;
        hct = TRUE;
        if (field(&line, 2)[0] && !SetupGetIntField(&line, 2, &flags)) flags = -1;
        swprintf(what, 600, L"[%ls] AddService = hct with flags 0x%x: a filter, not the function service "
                 L"(no SPSVCINST_ASSOCSERVICE)", services, (unsigned)flags);
        check(flags >= 0 && !(flags & 0x2), what);
        if (!section_exists(inf, install))
        {
            swprintf(what, 600, L"[%ls] AddService = hct,,%ls: that section exists", services, install);
            check(0, what);
            continue;
        }
        type = value(inf, install, L"ServiceType");
        start = value(inf, install, L"StartType");
        error = value(inf, install, L"ErrorControl");
        binary = value(inf, install, L"ServiceBinary");
        if (!type || !start || !error || !binary) continue;
        swprintf(what, 600, L"[%ls] ServiceType = %ls (1: kernel driver), StartType = %ls (3: demand), ErrorControl = %ls (1: normal)",
                 install, type, start, error);
        check(!wcscmp(type, L"1") && !wcscmp(start, L"3") && !wcscmp(error, L"1"), what);
        /* Setup substitutes DIRIDs in a field: %12% reads as the drivers folder. */
        {
            size_t n = wcslen(binary);
            const wchar_t *tail = L"\\drivers\\hct.sys";
            size_t t = wcslen(tail);
            BOOL ok = !_wcsicmp(binary, L"%12%\\hct.sys") || (n > t && !_wcsicmp(binary + n - t, tail));
            swprintf(what, 600, L"[%ls] ServiceBinary is %%12%%\\hct.sys (read as %ls)", install, binary);
            check(ok, what);
        }
    } while (SetupFindNextMatchLineW(&line, L"AddService", &line));
    swprintf(what, 600, L"[%ls] adds the service hct", services);
    check(hct, what);
}

static void walk_source_files(HINF inf, const struct platform *p, const wchar_t *package)
{
    INFCONTEXT line;
    wchar_t what[600], path[MAX_PATH];
    const wchar_t *disk, *subdir;
    DWORD attributes;
    if (!SetupFindFirstLineW(inf, p->files_section, L"hct.sys", &line))
    {
        swprintf(what, 600, L"[%ls] has a line for hct.sys", p->files_section);
        check(0, what);
        return;
    }
    disk = field(&line, 1);
    subdir = field(&line, 2);
    {
        INFCONTEXT d;
        swprintf(what, 600, L"[%ls] hct.sys is on disk %ls, which [SourceDisksNames] names", p->files_section, disk);
        check(SetupFindFirstLineW(inf, L"SourceDisksNames", disk, &d) && resolved(field(&d, 1)), what);
    }
    swprintf(path, MAX_PATH, L"%ls\\%ls\\hct.sys", package, subdir);
    attributes = GetFileAttributesW(path);
    swprintf(what, 600, L"[%ls] hct.sys = %ls,%ls: the package holds %ls\\hct.sys (%ls)", p->files_section, disk, subdir,
             subdir, path);
    check(!_wcsicmp(subdir, p->package_subdir) && attributes != INVALID_FILE_ATTRIBUTES &&
              !(attributes & FILE_ATTRIBUTE_DIRECTORY),
          what);
}

int wmain(int argc, wchar_t **argv)
{
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
    swprintf(what, 600, L"SetupOpenInfFile(%ls) opens it as a Windows NT INF (error %lu, line %u)", argv[1],
             inf == INVALID_HANDLE_VALUE ? GetLastError() : 0, error_line);
    check(inf != INVALID_HANDLE_VALUE, what);
    if (inf == INVALID_HANDLE_VALUE) return 1;

    /* [Version] */
    text = value(inf, L"Version", L"Signature");
    swprintf(what, 600, L"[Version] Signature = %ls", text ? text : L"(none)");
    check(text && !_wcsicmp(text, L"$Windows NT$"), what);
    text = value(inf, L"Version", L"Class");
    swprintf(what, 600, L"[Version] Class = %ls (the mouse's USB node is in the HID class)", text ? text : L"(none)");
    check(text && !_wcsicmp(text, L"HIDClass"), what);
    text = value(inf, L"Version", L"ClassGuid");
    swprintf(what, 600, L"[Version] ClassGuid = %ls (HIDClass)", text ? text : L"(none)");
    check(text && !_wcsicmp(text, L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"), what);
    text = value(inf, L"Version", L"Provider");
    swprintf(what, 600, L"[Version] Provider resolves through [Strings] (%ls)", text ? text : L"(none)");
    check(resolved(text), what);
    {
        unsigned mm, dd, yy, a, b, c, d;
        wchar_t extra;
        if (value(inf, L"Version", L"DriverVer") && SetupFindFirstLineW(inf, L"Version", L"DriverVer", &line))
        {
            wchar_t both[128];
            swprintf(both, 128, L"%ls,%ls", field(&line, 1), field(&line, 2));
            swprintf(what, 600, L"[Version] DriverVer = %ls (mm/dd/yyyy,w.x.y.z)", both);
            check(swscanf(both, L"%u/%u/%u,%u.%u.%u.%u%lc", &mm, &dd, &yy, &a, &b, &c, &d, &extra) == 7 && mm >= 1 &&
                      mm <= 12 && dd >= 1 && dd <= 31 && yy >= 2000,
                  what);
        }
    }
    text = value(inf, L"Version", L"CatalogFile");
    if (text)
    {
        swprintf(what, 600, L"[Version] CatalogFile = %ls: a file name, not a path", text);
        check(text[0] && !wcschr(text, L'\\') && !wcschr(text, L'%'), what);
        swprintf(what, 600, L"the catalog %ls is the developer's, made with Inf2Cat and signed on Windows; the package "
                 L"holds neither it nor this template, and hctctl install needs neither", text);
        note(what);
    }

    /* [Manufacturer] -> models, for each width */
    if (!SetupFindFirstLineW(inf, L"Manufacturer", NULL, &line))
    {
        check(0, L"[Manufacturer] has a line");
        return 1;
    }
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
        swprintf(what, 600, L"[Manufacturer] %ls lists the decoration %ls", models, p->decoration);
        check(decorated, what);
        swprintf(section, 256, L"%ls.%ls", models, p->decoration);
        if (!SetupFindFirstLineW(inf, section, NULL, &model))
        {
            swprintf(what, 600, L"[%ls] exists and has a model line", section);
            check(0, what);
            continue;
        }
        do
        {
            const wchar_t *desc = field(&model, 0), *install = field(&model, 1), *id = field(&model, 2);
            wchar_t actual[256];
            lines++;
            swprintf(what, 600, L"[%ls] %ls = %ls, %ls: one device's ID (USB\\VID_...), the description resolved", section, desc, install, id);
            check(resolved(desc) && !_wcsnicmp(id, L"USB\\VID_", 8), what);
            swprintf(what, 600, L"[%ls] %ls: its DDInstall section resolves for %ls", section, install, p->decoration);
            if (!actual_section(inf, install, p->decoration, actual, 256))
            {
                check(0, what);
                continue;
            }
            swprintf(what, 600, L"[%ls] %ls: its DDInstall section for %ls is [%ls]", section, install, p->decoration, actual);
            check(1, what);
#if defined(_WIN64)
            if (i == 1)
#else
            if (i == 0)
#endif
            {
                wchar_t theirs[256];
                BOOL ok = SetupDiGetActualSectionToInstallW(inf, install, theirs, 256, NULL, NULL);
                swprintf(what, 600, L"setupapi's own resolution of %ls on this width is the same [%ls] (got %ls)", install,
                         actual, ok ? theirs : L"nothing");
                check(ok && !_wcsicmp(theirs, actual), what);
            }
            include_needs(inf, actual);
            walk_copy_files(inf, actual);
            walk_hw(inf, actual);
            walk_services(inf, actual);
        } while (SetupFindNextLine(&model, &model));
        swprintf(what, 600, L"[%ls] has %d model line(s)", section, lines);
        check(lines > 0, what);
        walk_source_files(inf, p, argv[2]);
    }
    SetupCloseInfFile(inf);
    wprintf(L"%ls: %ls, %d failed check(s)\n", failures ? L"FAIL" : L"PASS", argv[1], failures);
    return failures ? 1 : 0;
}

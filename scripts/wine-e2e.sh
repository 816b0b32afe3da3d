#!/usr/bin/env bash
# End-to-end test of a real kernel image of hct under Wine's NT kernel emulation, x64 (default) or
# x86, installed by hctctl itself. First install/hct.inf, the per-mouse template, with its
# placeholder hardware ID replaced by the fake mouse's, is read with setupapi as Windows would read
# it (tests/wine/inftest.c), and two broken copies of it must fail that reading.
# Then a fake USB bus reports USB mice; a fake class driver is their function driver, and it plays
# the PnP manager's part Wine leaves out: it loads exactly the filters the mouse's node lists in
# LowerFilters, in order. The harness (tests/wine/harness.c) checks that no filter is there before
# install, that failed installs change nothing, runs `hctctl install`, reads LowerFilters back,
# replugs (where Windows would restart the device), plays tests/wine/scenario.txt (switching the
# feature with hctctl, reports, an unknown control code, unplugging with reads outstanding), runs
# `hctctl on --keep` while a second mouse is installed and plugged and the first replugged, then
# an upgrade while the driver is loaded (exit 3010, the replacement scheduled), `hctctl uninstall`,
# and checks that LowerFilters, the service and the file are as before; once more with another
# filter already listed, with a reinstall after the file's removal was left pending. The driver's own trace from Wine, up to the end of the
# scenario's session, is compared line for line and byte for byte with the host build's trace of
# the same scenario (hct-sim run --script), but for the differences tests/wine/trace-allow.txt names.
#
#   scripts/wine-e2e.sh [x64|x86]
#   HCT_WIN_BUILD=dir   take hct.sys and hctctl.exe from dir (the package's ARCH folder, say) instead
#                       of building build/win-ARCH; the other width's hct.sys (for the wrong-width
#                       install) is taken from dir/../OTHER/ when there, else build/win-OTHER/
#   HCT_PACKAGE=dir     the package whose files hct.inf must name (default build/package/hct-VERSION)
#                       (the package holds no INF; the template names the package's x86\ and x64\)
#   KEEP_PREFIX=1       leave the prefix behind for inspection
#
# Installs what is missing with apt-get; for x86 that is wine32:i386, tried plainly, then pinned to
# the release's versions, never removing a package: when neither works the script says so in one
# line and skips itself: its last line "skipped: REASON", exit status 77 (test.sh counts it as
# skipped). Each architecture runs in a fresh prefix of its own under build/wine-e2e-ARCH/,
# every Wine step under a timeout, and the wineserver it started is ended. Exit status 0 only when
# every check passed.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
ARCH=${1:-x64}
case "$ARCH" in
  x64) TRIPLE=x86_64-w64-mingw32; WINEDIR=x86_64-windows; WINEPKG=libwine:amd64; MINGW=x86-64; WINEARCH=win64; OTHER=x86 ;;
  x86) TRIPLE=i686-w64-mingw32; WINEDIR=i386-windows; WINEPKG=libwine:i386; MINGW=i686; WINEARCH=win32; OTHER=x64 ;;
  *) echo "usage: scripts/wine-e2e.sh [x64|x86]" >&2; exit 2 ;;
esac
WORK=$ROOT/build/wine-e2e-$ARCH
OUT=$WORK/out
LOG=$WORK/driver.log
TRACE=$WORK/trace.txt
export WINEARCH
export WINEPREFIX=$WORK/prefix
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
T0=$(date +%s)
mkdir -p "$WORK"

say() { echo "wine-e2e $ARCH: $*"; }
fail() { echo "FAIL: $*"; echo "wine-e2e $ARCH: FAIL ($(($(date +%s) - T0)) s)"; exit 1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
apt_install() {  # apt_install ARGS...: installs only when apt would remove nothing
  local plan
  plan=$(DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -s -q --no-install-recommends "$@" 2>&1) ||
    { tail -n 5 <<<"$plan"; return 1; }
  if grep -q '^Remv ' <<<"$plan"; then
    echo "apt-get would remove: $(grep '^Remv ' <<<"$plan" | awk '{print $2}' | tr '\n' ' ')"
    return 1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-remove --no-install-recommends "$@"
}

# ---------------------------------------------------------------------------------------- tools
need=()
for p in wine wine64 cmake ninja-build python3 gcc-mingw-w64-$MINGW g++-mingw-w64-$MINGW binutils-mingw-w64-$MINGW mingw-w64-$MINGW-dev; do
  installed "$p" || need+=("$p")
done
if ((${#need[@]})); then
  say "installing ${need[*]}"
  { $SUDO apt-get update -qq && apt_install "${need[@]}"; } >"$WORK/apt.log" 2>&1 ||
    { tail -n 20 "$WORK/apt.log"; fail "apt-get install ${need[*]} (log: $WORK/apt.log)"; }
fi
if [ "$ARCH" = x86 ] && ! installed wine32:i386; then
  say "installing wine32:i386"
  {
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
    $SUDO apt-get update -qq
    echo "--- plain install"
    apt_install wine32:i386 || {
      # Where the i386 security index lags, apt resolves wine32 against other versions of the
      # gstreamer base plugins than wine64 has, and proposes to remove wine64: pin both to the
      # release's own version.
      V=$(apt-cache madison libgstreamer-plugins-base1.0-0 | awk -F' *[|] *' '$3 ~ / bookworm\/main / {print $2; exit}')
      echo "--- pinned install (gstreamer base plugins $V)"
      [ -n "$V" ] && apt_install --allow-downgrades -t bookworm wine32:i386 "libgstreamer-plugins-base1.0-0:i386=$V" \
        "libgstreamer-plugins-base1.0-0:amd64=$V" "gstreamer1.0-plugins-base=$V" "gstreamer1.0-x=$V"
    }
  } >"$WORK/apt.log" 2>&1
  if ! installed wine32:i386; then
    echo "skipped: wine32:i386 could not be installed, plainly or pinned, without removing a package; the x86 image is not run in Wine (log: $WORK/apt.log)"
    exit 77
  fi
fi
command -v wine >/dev/null && command -v wineserver >/dev/null || fail "wine is not on PATH after the install"
# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, also for a 64-bit prefix;
# a 64-bit prefix is run with the 64-bit loader itself, so that a machine that cannot execute
# 32-bit programs still runs it.
WINE=wine
if [ "$ARCH" = x64 ] && [ -x /usr/lib/wine/wine64 ]; then
  WINE=/usr/lib/wine/wine64
  export WINELOADER=$WINE
elif [ "$ARCH" = x86 ] && ! WINEDEBUG=-all timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "skipped: this machine cannot execute 32-bit programs (Wine's 32-bit loader fails: $(WINEDEBUG=-all /usr/lib/wine/wine --version 2>&1 | head -n 1)); the x86 image is not run in Wine"
  exit 77
fi

# ---------------------------------------------------------------------------------------- build
if [ -n "${HCT_WIN_BUILD:-}" ]; then
  WIN=$(cd "$HCT_WIN_BUILD" && pwd)
else
  WIN=$ROOT/build/win-$ARCH
  say "building the win-$ARCH preset"
  { cmake --preset win-$ARCH && cmake --build --preset win-$ARCH -j 2; } >"$WORK/build.log" 2>&1 ||
    { tail -n 30 "$WORK/build.log"; fail "building the win-$ARCH preset (log: $WORK/build.log)"; }
fi
[ -f "$WIN/hct.sys" ] && [ -f "$WIN/hctctl.exe" ] || fail "$WIN/hct.sys or $WIN/hctctl.exe is missing"
WRONG=$(dirname "$WIN")/$OTHER/hct.sys
[ -f "$WRONG" ] || WRONG=$ROOT/build/win-$OTHER/hct.sys
[ -f "$WRONG" ] || fail "no $OTHER hct.sys for the wrong-width install (build the win-$OTHER preset)"
VERSION=$(sed -n 's/^project(hct VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
PACKAGE=${HCT_PACKAGE:-$ROOT/build/package/hct-$VERSION}
[ -d "$PACKAGE" ] || fail "no package at $PACKAGE for reading hct.inf against (scripts/package.sh makes it)"
PACKAGE=$(cd "$PACKAGE" && pwd)
"$ROOT/tests/wine/build.sh" "$OUT" "$ARCH" >>"$WORK/build.log" 2>&1 ||
  { tail -n 30 "$WORK/build.log"; fail "building tests/wine for $ARCH (log: $WORK/build.log)"; }
SIM=$ROOT/build/host-release/bin/hct-sim
{ cmake --preset host-release && cmake --build --preset host-release -j 2 --target hct-sim; } >>"$WORK/build.log" 2>&1 ||
  { tail -n 30 "$WORK/build.log"; fail "building hct-sim (log: $WORK/build.log)"; }

# A kernel call Wine's ntoskrnl.exe does not export stops the image from loading, with nothing in
# the trace to say why: name it here instead.
WINEDLLS=$(dirname "$(dpkg -L "$WINEPKG" 2>/dev/null | grep "$WINEDIR/ntoskrnl.exe\$" | head -n 1)")
[ -d "$WINEDLLS" ] || fail "Wine's $WINEDIR/ntoskrnl.exe was not found (package $WINEPKG)"
exports_of() {  # the names a DLL of Wine exports, one a line (cached)
  local f=$WORK/exports-$1.txt
  [ -s "$f" ] || $TRIPLE-objdump -p "$WINEDLLS/$1" |
    awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^\t\[/{print $NF}' >"$f"
  cat "$f"
}
rm -f "$WORK"/exports-*.txt
missing=$(for sys in "$WIN/hct.sys" "$OUT/hctwbus.sys" "$OUT/hctwupper.sys" "$OUT/hctwpass.sys"; do
  $TRIPLE-objdump -p "$sys" |
    awk '/DLL Name:/{dll=tolower($3);next} /^$/{dll=""} dll && /^\t[0-9a-f]+\t *[0-9]+ +[A-Za-z_@]/{print dll, $NF}' |
    sort -u | while read -r dll fn; do
      if [ ! -f "$WINEDLLS/$dll" ]; then echo "$(basename "$sys"): $dll"; continue; fi
      exports_of "$dll" | grep -Fxc "$fn" >/dev/null || echo "$(basename "$sys"): $dll!$fn"
    done
done)
[ -z "$missing" ] || fail "imports Wine does not export: $missing"
echo "PASS: hct.sys and the fake drivers import only kernel calls that Wine exports ($ARCH)"

# ---------------------------------------------------------------------------------------- run
cleanup() {
  WINEDEBUG=-all timeout 20 wineserver -k >/dev/null 2>&1
  timeout 20 wineserver -w >/dev/null 2>&1
  [ -n "${KEEP_PREFIX:-}" ] || rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

WINEDEBUG=-all timeout 20 wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX" "$LOG" "$TRACE" "$WORK/wine-trace.bin"
say "creating a fresh $WINEARCH prefix"
WINEDEBUG=-all timeout 180 $WINE wineboot -i >/dev/null 2>&1 || fail "wineboot -i (a fresh prefix in $WINEPREFIX)"
timeout 60 wineserver -w || fail "the first-boot session did not end"
DRIVERS=$WINEPREFIX/drive_c/windows/system32/drivers
# hct.sys is not among them: hctctl install copies it from beside itself.
cp "$OUT/hctwbus.sys" "$OUT/hctwupper.sys" "$OUT/hctwpass.sys" "$DRIVERS/" || fail "copying the images into $DRIVERS"
C=$WINEPREFIX/drive_c
mkdir -p "$C/pkg" "$C/nosys" "$C/wrongarch" "$C/upgrade"
# C:\upgrade holds another build of hct.sys: the same image with one byte more at its end, which
# loads as well and differs from the installed file.
cp "$WIN/hctctl.exe" "$WIN/hct.sys" "$C/pkg/" && cp "$WIN/hctctl.exe" "$C/nosys/" &&
  cp "$WIN/hctctl.exe" "$WRONG" "$C/wrongarch/" && cp "$WIN/hctctl.exe" "$C/upgrade/" &&
  { cat "$WIN/hct.sys"; printf '\0'; } >"$C/upgrade/hct.sys" || fail "copying hctctl.exe and hct.sys into the prefix"
cp "$OUT/hctwine.exe" "$OUT/hctinf.exe" "$ROOT/tests/wine/hctwine.inf" "$ROOT/tests/wine/scenario.txt" "$C/" ||
  fail "copying the tools"
# The template filled in as its header tells a developer: the placeholder hardware ID, in both
# model lines, replaced by the fake mouse's (tests/wine/hctwine.inf). Its DriverVer carries the
# project's version.
PLACEHOLDER='USB\\VID_vvvv&PID_pppp'
[ "$(grep -c "= HctMouse_Inst, $PLACEHOLDER\$" "$ROOT/install/hct.inf")" = 2 ] ||
  fail "install/hct.inf does not carry the placeholder USB\\VID_vvvv&PID_pppp in both model lines"
sed "s/$PLACEHOLDER/USB\\\\VID_1234\\&PID_0001/" "$ROOT/install/hct.inf" >"$C/hct.inf"
grep -qi 'VID_vvvv\|Class_03&SubClass' <(grep -v '^;' "$C/hct.inf") &&
  fail "the filled hct.inf still holds the placeholder or a compatible ID"
grep -q "^DriverVer *= *[0-9/]*,$VERSION\$" "$C/hct.inf" ||
  fail "install/hct.inf's DriverVer is not the project's version $VERSION"
echo "PASS: install/hct.inf holds the placeholder hardware ID in both model lines and DriverVer $VERSION; filled with USB\\VID_1234&PID_0001"
# Two broken copies of hct.inf, which the reading must refuse: a model section gone, and the
# .HW section's AddReg naming a section that is not there.
sed '/^\[HctModels.NTamd64\]/,/^$/d' "$C/hct.inf" >"$C/broken-models.inf"
sed 's/^AddReg = HctMouse_Filter_AddReg/AddReg = HctMouse_No_Such_AddReg/' "$C/hct.inf" >"$C/broken-addreg.inf"
cmp -s "$C/broken-models.inf" "$C/hct.inf" || cmp -s "$C/broken-addreg.inf" "$C/hct.inf" &&
  fail "the broken copies of hct.inf came out the same as hct.inf (its sections were renamed?)"

# Kernel drivers run in winedevice.exe, which inherits the standard error and WINEDEBUG of the
# session's first process: DbgPrint arrives there on the warn+debugstr channel.
wineserver -p
WINEDEBUG=-all,warn+debugstr,err+ntoskrnl timeout 60 $WINE cmd /c echo session >"$LOG" 2>&1 ||
  fail "starting the Wine session"

RC=0
run() {  # run SECONDS ARGS...: one harness step, its output shown
  local secs=$1; shift
  WINEDEBUG=-all timeout "$secs" $WINE 'C:\hctwine.exe' "$@" 2>&1 | tr -d '\r'
  local rc=${PIPESTATUS[0]}
  [ "$rc" = 124 ] && echo "FAIL: hctwine $1 did not finish within $secs s"
  return "$rc"
}
# ---------------------------------------------------------------------------------------- hct.inf
ZPACKAGE="Z:$(tr / '\\' <<<"$PACKAGE")"
say "reading install/hct.inf (filled in) with setupapi, against the package $PACKAGE"
WINEDEBUG=-all timeout 60 $WINE 'C:\hctinf.exe' 'C:\hct.inf' "$ZPACKAGE" 2>&1 | tr -d '\r'
[ "${PIPESTATUS[0]}" = 0 ] && echo "PASS: install/hct.inf read by setupapi: every line resolves, both widths" ||
  { RC=1; echo "FAIL: install/hct.inf read by setupapi"; }
for broken in broken-models broken-addreg; do
  if WINEDEBUG=-all timeout 60 $WINE 'C:\hctinf.exe' "C:\\$broken.inf" "$ZPACKAGE" >"$WORK/$broken.txt" 2>&1; then
    RC=1; echo "FAIL: the reading accepted $broken.inf"; tr -d '\r' <"$WORK/$broken.txt" | grep FAIL
  else
    echo "PASS: the reading refuses $broken.inf: $(tr -d '\r' <"$WORK/$broken.txt" | grep -m 1 '^FAIL: \[')"
  fi
done

# ---------------------------------------------------------------------------------------- installer
run 120 install 'C:\hctwine.inf' || RC=1
if [ $RC = 0 ]; then
  run 300 test 'C:\scenario.txt' 'C:\pkg' 'C:\nosys' 'C:\wrongarch' 'C:\upgrade' || RC=1
fi
run 60 uninstall || RC=1
WINEDEBUG=-all timeout 20 wineserver -k >/dev/null 2>&1
timeout 20 wineserver -w >/dev/null 2>&1

# ---------------------------------------------------------------------------------------- trace
# The host build's trace of the same scenario: the bytes hct-sim writes after its report, which is
# the same as without --trace.
"$SIM" run --script tests/wine/scenario.txt >"$WORK/host-report.txt" 2>&1 &&
  "$SIM" run --script tests/wine/scenario.txt --trace=raw >"$WORK/host-run.bin" 2>&1 ||
  { cat "$WORK/host-report.txt"; fail "hct-sim run --script tests/wine/scenario.txt"; }
N=$(stat -c %s "$WORK/host-report.txt")
cmp -s -n "$N" "$WORK/host-report.txt" "$WORK/host-run.bin" || fail "hct-sim's report differs between two runs"
tail -c +$((N + 1)) "$WORK/host-run.bin" >"$WORK/host-trace.bin"
# The scenario's session ends at the harness's mark; what follows (two mice, --keep, a second
# install) has no host counterpart.
MARK=$(grep -n -m 1 -a 'hctwine-bus: mark 1$' "$LOG" | cut -d: -f1)
[ -n "$MARK" ] || { RC=1; echo "FAIL: the harness's mark after the scenario is not in Wine's log"; MARK=$(wc -l <"$LOG"); }
head -n "$((MARK - 1))" "$LOG" >"$WORK/session.log"
python3 tests/wine/compare-trace.py "$WORK/host-trace.bin" "$WORK/session.log" tests/wine/trace-allow.txt "$WORK/wine-trace.bin" || {
  RC=1
  echo "(the two traces: $WORK/host-trace.bin and $WORK/wine-trace.bin)"
}
tr -d '\r' <"$WORK/wine-trace.bin" >"$TRACE" 2>/dev/null
# The texts the driver must write, independent of both builds: a trace text changed in the driver
# sources changes both traces alike, and the comparison above would not see it. In order; other
# text may come between. "=TEXT" must be a whole line; any other TEXT may sit
# inside a line: the control device's "[DefaultHandler]" texts have no line start of their own, so
# they run on after whatever was written before them.
expect=(
  "= Device Lower Filter LOAD !!"
  "= Device Lower Filter - Add Device "
  "= Device Lower Filter - Add Device Successfully "
  "=[CreateExtraDO] Create Extra-Device-Object Successfully"
  "=[CreateExtraDO] Create Symbolic Link Successfully"
  "= Device Lower Filter - IRP_MJ_PNP"
  "=   IRP_MJ_PNP (IRP_MN_START_DEVICE)"
  "=The URB status = USBD_STATUS_SUCCESS , Operation succeed !! "
  "=-----Vorik Mouse Found"
  "=-----Vorik Mouse Tesk Functionality Start......"
  "= Device Lower Filter - IRP_MJ_INTERNAL_DEVICE_CONTROL"
  "= urb->UrbHeader.Function = 0x8"
  "= Setup Package"
  "=    80 6 0 1 0 0 12 0 "
  "=    80 6 0 2 0 0 9 0 "
  "=    80 6 0 2 0 0 22 0 "
  "= urb->UrbHeader.Function = 0x0"
  "=    21 a 0 0 0 0 0 0 "
  "=    81 6 0 22 0 0 7f 0 "
  "= total size = 0x28"
  "= x size = 0x8"
  "= x offset = 0x8"
  "= y size = 0x8"
  "= y offset = 0x10"
  "= wheel size = 0x8"
  "= wheel offset = 0x18"
  "= ac pan size = 0x8"
  " ac pan offset = 0x20"
  "[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_ON"
  "= urb->UrbHeader.Function = 0x9"
  "= Bulk Transfer Completed"
  "= Status = 0x0, Transfer Length = 0x5"
  "= Datat In Buffer Before re-assign 0x0 0x3 0xfe 0x0 0x1"
  "= Datat In Buffer After re-assign 0x0 0x3 0xfe 0x30 0x1"
  "[DefaultHandler]IOCTL_VORIK_TESKMOUSE_TURN_OFF"
  "= Datat In Buffer Before re-assign 0x0 0x3 0xfe 0x0 0x1"
  "= Datat In Buffer After re-assign 0x0 0x3 0xfe 0x0 0x1"
  "=   IRP_MJ_PNP (IRP_MN_SURPRISE_REMOVAL)"
  "= Status = 0xc0007000, Transfer Length = 0x0"
  "=   IRP_MJ_PNP (IRP_MN_REMOVE_DEVICE)"
  "= Device Lower Filter UNLOAD!!"
)
if printf '%s\n' "${expect[@]}" | awk '
    NR == FNR { want[n++] = $0; next }
    {
      rest = $0
      while (i < n) {
        w = want[i]
        if (substr(w, 1, 1) == "=") { if (rest != substr(w, 2)) break; rest = ""; i++; break }
        k = index(rest, w)
        if (k == 0) break
        rest = substr(rest, k + length(w)); i++
      }
    }
    END {
      if (i < n) { w = want[i]; sub(/^=/, "", w); print "FAIL: driver trace: missing, or out of order: \"" w "\""; exit 1 }
    }' - "$TRACE"; then
  echo "PASS: driver trace: load, AddDevice, start, setup packets, layout, TURN_ON/TURN_OFF, report dumps, removal and unload lines in order"
else
  RC=1
  echo "(the driver's trace from Wine, carriage returns dropped: $TRACE)"
fi
grep -q ":err:" "$LOG" && { echo "note: Wine reported errors, see $LOG:"; grep ":err:" "$LOG" | head -n 10; }

T=$(($(date +%s) - T0))
if [ $RC = 0 ]; then say "PASS ($T s)"; else say "FAIL ($T s); Wine's output: $LOG"; fi
exit $RC

#!/usr/bin/env bash
# End-to-end test of a real kernel image of hct under Wine's NT kernel emulation, x64 (default) or
# x86: a fake USB bus reports a mouse, a fake class driver loads hct.sys below itself and sends what
# the system's class driver sends, the harness plays tests/wine/scenario.txt (switching the feature
# with the real hctctl.exe, reports, an unknown control code, unplugging with reads outstanding) and
# checks what reaches the class driver. Then the driver's own trace from Wine is compared, line for
# line and byte for byte, with the host build's trace of the same scenario (hct-sim run --script),
# but for the differences tests/wine/trace-allow.txt names.
#
#   scripts/wine-e2e.sh [x64|x86]
#   HCT_WIN_BUILD=dir   take hct.sys and hctctl.exe from dir (a signed copy, say) instead of
#                       building build/win-ARCH
#   KEEP_PREFIX=1       leave the prefix behind for inspection
#
# Installs what is missing with apt-get; for x86 that is wine32:i386, tried plainly, then pinned to
# the release's versions, never removing a package: when neither works the script says so in one
# line and exits 0. Each architecture runs in a fresh prefix of its own under build/wine-e2e-ARCH/,
# every Wine step under a timeout, and the wineserver it started is ended. Exit status 0 only when
# every check passed.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
ARCH=${1:-x64}
case "$ARCH" in
  x64) TRIPLE=x86_64-w64-mingw32; WINEDIR=x86_64-windows; WINEPKG=libwine:amd64; MINGW=x86-64; WINEARCH=win64 ;;
  x86) TRIPLE=i686-w64-mingw32; WINEDIR=i386-windows; WINEPKG=libwine:i386; MINGW=i686; WINEARCH=win32 ;;
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
    echo "wine-e2e x86: SKIPPED: wine32:i386 could not be installed, plainly or pinned, without removing a package; the x86 image is not run in Wine (log: $WORK/apt.log)"
    exit 0
  fi
fi
command -v wine >/dev/null && command -v wineserver >/dev/null || fail "wine is not on PATH after the install"

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
missing=$(for sys in "$WIN/hct.sys" "$OUT/hctwbus.sys" "$OUT/hctwupper.sys"; do
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
WINEDEBUG=-all timeout 180 wineboot -i >/dev/null 2>&1 || fail "wineboot -i (a fresh prefix in $WINEPREFIX)"
timeout 60 wineserver -w || fail "the first-boot session did not end"
DRIVERS=$WINEPREFIX/drive_c/windows/system32/drivers
cp "$WIN/hct.sys" "$OUT/hctwbus.sys" "$OUT/hctwupper.sys" "$DRIVERS/" || fail "copying the images into $DRIVERS"
cp "$WIN/hctctl.exe" "$OUT/hctwine.exe" "$ROOT/tests/wine/hctwine.inf" "$ROOT/tests/wine/scenario.txt" "$WINEPREFIX/drive_c/" ||
  fail "copying the tools"

# Kernel drivers run in winedevice.exe, which inherits the standard error and WINEDEBUG of the
# session's first process: DbgPrint arrives there on the warn+debugstr channel.
wineserver -p
WINEDEBUG=-all,warn+debugstr,err+ntoskrnl timeout 60 wine cmd /c echo session >"$LOG" 2>&1 ||
  fail "starting the Wine session"

RC=0
run() {  # run SECONDS ARGS...: one harness step, its output shown
  local secs=$1; shift
  WINEDEBUG=-all timeout "$secs" wine 'C:\hctwine.exe' "$@" 2>&1 | tr -d '\r'
  local rc=${PIPESTATUS[0]}
  [ "$rc" = 124 ] && echo "FAIL: hctwine $1 did not finish within $secs s"
  return "$rc"
}
run 120 install 'C:\hctwine.inf' || RC=1
if [ $RC = 0 ]; then
  run 120 test 'C:\scenario.txt' 'C:\hctctl.exe' || RC=1
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
python3 tests/wine/compare-trace.py "$WORK/host-trace.bin" "$LOG" tests/wine/trace-allow.txt "$WORK/wine-trace.bin" || {
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

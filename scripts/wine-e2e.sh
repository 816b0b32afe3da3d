#!/usr/bin/env bash
# End-to-end test of the real x64 kernel image build/win-x64/hct.sys under Wine's NT kernel
# emulation: a fake USB bus reports a mouse, a fake class driver loads hct.sys below itself, the
# harness switches the feature with the real hctctl.exe, feeds reports and checks what reaches the
# class driver, then unplugs the mouse; the driver's own trace is checked afterwards.
#
# Installs wine (and the cross tools) with apt-get when missing, builds the win-x64 preset and the
# test's own pieces (tests/wine/), runs everything in a fresh prefix under build/wine-e2e/.
# Exit status 0 only when every check passed.
#   HCT_WIN_BUILD=dir   take hct.sys and hctctl.exe from dir instead of building build/win-x64
#   KEEP_PREFIX=1       leave the prefix behind for inspection
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
WORK=$ROOT/build/wine-e2e
OUT=$WORK/out
LOG=$WORK/driver.log
TRACE=$WORK/trace.txt
export WINEPREFIX=$WORK/prefix
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
T0=$(date +%s)

say() { echo "wine-e2e: $*"; }
fail() { echo "FAIL: $*"; echo "wine-e2e: FAIL ($(($(date +%s) - T0)) s)"; exit 1; }

# ---------------------------------------------------------------------------------------- tools
need=()
for p in wine wine64 cmake ninja-build gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  say "installing ${need[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  mkdir -p "$WORK"
  { $sudo_cmd apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${need[@]}"; } \
    >"$WORK/apt.log" 2>&1 || { tail -n 20 "$WORK/apt.log"; fail "apt-get install ${need[*]} (log: $WORK/apt.log)"; }
fi
command -v wine >/dev/null && command -v wineserver >/dev/null || fail "wine is not on PATH after the install"

# ---------------------------------------------------------------------------------------- build
if [ -n "${HCT_WIN_BUILD:-}" ]; then
  WIN=$(cd "$HCT_WIN_BUILD" && pwd)
else
  WIN=$ROOT/build/win-x64
  say "building the win-x64 preset"
  mkdir -p "$WORK"
  { cmake --preset win-x64 && cmake --build --preset win-x64 -j 2; } >"$WORK/build.log" 2>&1 ||
    { tail -n 30 "$WORK/build.log"; fail "building the win-x64 preset (log: $WORK/build.log)"; }
fi
[ -f "$WIN/hct.sys" ] && [ -f "$WIN/hctctl.exe" ] || fail "$WIN/hct.sys or $WIN/hctctl.exe is missing"
"$ROOT/tests/wine/build.sh" "$OUT" >>"$WORK/build.log" 2>&1 ||
  { tail -n 30 "$WORK/build.log"; fail "building tests/wine (log: $WORK/build.log)"; }

# A kernel call Wine's ntoskrnl.exe does not export stops the image from loading, with nothing in
# the trace to say why: name it here instead.
WINEDLLS=$(dirname "$(dpkg -L libwine 2>/dev/null | grep 'x86_64-windows/ntoskrnl.exe$' | head -n 1)")
[ -d "$WINEDLLS" ] || fail "Wine's x86_64 ntoskrnl.exe was not found (package libwine)"
exports_of() {  # the names a DLL of Wine exports, one a line (cached)
  local f=$WORK/exports-$1.txt
  [ -s "$f" ] || x86_64-w64-mingw32-objdump -p "$WINEDLLS/$1" |
    awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^\t\[/{print $NF}' >"$f"
  cat "$f"
}
mkdir -p "$WORK"
rm -f "$WORK"/exports-*.txt
missing=$(for sys in "$WIN/hct.sys" "$OUT/hctwbus.sys" "$OUT/hctwupper.sys"; do
  x86_64-w64-mingw32-objdump -p "$sys" |
    awk '/DLL Name:/{dll=tolower($3);next} /^$/{dll=""} dll && /^\t[0-9a-f]+\t *[0-9]+ +[A-Za-z_@]/{print dll, $NF}' |
    sort -u | while read -r dll fn; do
      if [ ! -f "$WINEDLLS/$dll" ]; then echo "$(basename "$sys"): $dll"; continue; fi
      exports_of "$dll" | grep -Fxc "$fn" >/dev/null || echo "$(basename "$sys"): $dll!$fn"
    done
done)
[ -z "$missing" ] || fail "imports Wine does not export: $missing"
echo "PASS: hct.sys and the fake drivers import only kernel calls that Wine exports"

# ---------------------------------------------------------------------------------------- run
cleanup() {
  WINEDEBUG=-all timeout 20 wineserver -k >/dev/null 2>&1
  timeout 20 wineserver -w >/dev/null 2>&1
  [ -n "${KEEP_PREFIX:-}" ] || rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

WINEDEBUG=-all timeout 20 wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX" "$LOG" "$TRACE"
say "creating a fresh prefix"
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
# Wine writes each DbgPrint as one record: a channel prefix, the text, and a line feed of its own
# when the text does not end in one. Joining the texts of hct.sys's records (the fakes' lines start
# with "hctwine-") rebuilds the stream a kernel debugger shows; its lines are then split at the line
# feeds, the carriage returns of the "\n\r" line starts dropped.
awk -v fakes="$WORK/fakes.txt" '
  function flush() {
    if (inrec) { if (rec ~ /^hctwine-/) print rec >fakes; else stream = stream rec }
    inrec = 0
  }
  /^[0-9a-f]+:(warn|err|fixme|trace):/ {
    flush()
    if (match($0, /^[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]+:[0-9a-f]+: /)) {
      rec = substr($0, RLENGTH + 1); inrec = 1
    }
    next
  }
  inrec { rec = rec "\n" $0 }
  END { flush(); gsub(/\r/, "", stream); printf "%s\n", stream }' "$LOG" >"$TRACE"
# In order; other text may come between. "=TEXT" must be a whole line; any other TEXT may sit
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
  echo "PASS: driver trace: load, AddDevice, start, layout, TURN_ON/TURN_OFF, report dumps and removal lines in order"
else
  RC=1
  echo "--- driver trace ($TRACE) ---"
  cat "$TRACE"
fi
grep -q ":err:" "$LOG" && { echo "note: Wine reported errors, see $LOG:"; grep ":err:" "$LOG" | head -n 10; }

T=$(($(date +%s) - T0))
if [ $RC = 0 ]; then say "PASS ($T s)"; else say "FAIL ($T s); Wine's output: $LOG"; fi
exit $RC

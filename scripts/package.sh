#!/usr/bin/env bash
# Makes the package a user installs from: build/package/hct-VERSION/ and build/package/hct-VERSION.zip
#
#   hct-VERSION/
#     x86/hct.sys  x86/hctctl.exe     the 32-bit images, the driver test-signed
#     x64/hct.sys  x64/hctctl.exe     the 64-bit images, the driver test-signed
#     hct.inf                         install/hct.inf, for installing through Windows' own tools
#     hct-test.cer                    the test certificate's public part (DER), to trust on a test machine
#     README.txt                      install, use, uninstall, recovery
#     SHA256SUMS                      sha256sum of every other file
#
# The images are taken from build/signed/ARCH/ (scripts/sign-images.sh, which signs build/win-ARCH/),
# the version from the project() line of CMakeLists.txt. Every file gets one fixed time stamp
# (SOURCE_DATE_EPOCH when set, else 2000-01-01), in the directory and in the zip, so that the same
# images give the same zip. scripts/check-package.sh checks the result.
#   scripts/package.sh        exit status 0 when the package was made
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

VERSION=$(sed -n 's/^project(hct VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$VERSION" ] || { echo "FAIL: no version in the project() line of CMakeLists.txt"; exit 1; }
NAME=hct-$VERSION
OUT=$ROOT/build/package
DIR=$OUT/$NAME
SIGNED=$ROOT/build/signed
EPOCH=${SOURCE_DATE_EPOCH:-946684800}

for a in x86 x64; do
  for f in hct.sys hctctl.exe; do
    [ -f "$SIGNED/$a/$f" ] || { echo "FAIL: $SIGNED/$a/$f is missing (run scripts/sign-images.sh first)"; exit 1; }
  done
done
[ -f "$SIGNED/testsign.crt" ] || { echo "FAIL: $SIGNED/testsign.crt is missing (run scripts/sign-images.sh first)"; exit 1; }

rm -rf "$DIR" "$OUT/$NAME.zip"
mkdir -p "$DIR/x86" "$DIR/x64"
for a in x86 x64; do
  cp "$SIGNED/$a/hct.sys" "$SIGNED/$a/hctctl.exe" "$DIR/$a/" || { echo "FAIL: copying the $a images"; exit 1; }
done
cp install/hct.inf "$DIR/hct.inf" || { echo "FAIL: copying install/hct.inf"; exit 1; }
# The public part only: the key stays in build/signed and never enters the package.
openssl x509 -in "$SIGNED/testsign.crt" -outform DER -out "$DIR/hct-test.cer" ||
  { echo "FAIL: converting the test certificate to DER"; exit 1; }

# Windows' Notepad wants CRLF line ends.
sed "s/@VERSION@/$VERSION/g; s/\$/\r/" <<'EOF' >"$DIR/README.txt"
hct @VERSION@ - lower filter driver for a USB HID mouse: horizontal scroll (AC Pan) into the wheel
=================================================================================================

TEST BUILD. hct.sys is signed with a throw-away test certificate (hct-test.cer), which
Windows accepts only on a machine in test-signing mode. Use a test machine, and keep a
second input device (keyboard, touchpad or another mouse) at hand.

Pick the folder of your Windows: x64\ on 64-bit Windows, x86\ on 32-bit Windows. Run every
command below in an administrator's command prompt, from that folder (hctctl.exe takes the
hct.sys that lies beside it).

Prepare the test machine (once)
  bcdedit /set testsigning on          then restart Windows
  certutil -addstore root ..\hct-test.cer
  certutil -addstore trustedpublisher ..\hct-test.cer

Install
  hctctl list                  the USB nodes a HID mouse sits on, their filters, whether hct is there
  hctctl install               the one USB mouse (several mice: hctctl install --device ID,
                               ID an instance ID or a unique hardware ID that hctctl list shows)
  Then unplug the mouse and plug it in again (or restart Windows), when hctctl says so.

Use
  hctctl on                    every hct mouse present: horizontal scroll moves the wheel
  hctctl off                   back to normal
  hctctl on --keep             stays running and switches on each hct mouse as it appears
                               (replug, resume, boot); the driver starts off at every plug
                               See docs/windows.md of the project to start it at logon.

Uninstall
  hctctl uninstall             (or hctctl uninstall --device ID, or --all)
  Then unplug and plug in the mouse again, or restart Windows. The service and
  %SystemRoot%\System32\drivers\hct.sys are removed once no mouse lists hct.

Recovery (the mouse stops working)
  With the keyboard: open an administrator's command prompt, go to this folder and run
  hctctl uninstall --all, then replug the mouse or restart.
  If Windows does not start normally: start in Safe Mode, run regedit and remove "hct" from the
  LowerFilters value of the mouse's key under
    HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_xxxx&PID_xxxx\<instance>
  (delete the value if hct was its only entry), then restart.

hct.inf installs the same filter through Windows' own tools for one mouse model; hctctl does not
need it. SHA256SUMS lists the checksum of every file of this package.
More: docs/windows.md of the project.
EOF

(cd "$DIR" && find . -type f ! -name SHA256SUMS | sed 's,^\./,,' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS) ||
  { echo "FAIL: writing SHA256SUMS"; exit 1; }
find "$DIR" -exec touch -h -d "@$EPOCH" {} +

python3 - "$OUT" "$NAME" "$EPOCH" <<'EOF' || { echo "FAIL: writing $OUT/$NAME.zip"; exit 1; }
import os, sys, time, zipfile
out, name, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip cannot hold a time before 1980
files = []
for top, dirs, names in os.walk(os.path.join(out, name)):
    dirs.sort()
    files += [os.path.join(top, n) for n in names]
with zipfile.ZipFile(os.path.join(out, name + ".zip"), "w", zipfile.ZIP_DEFLATED) as z:
    for path in sorted(files):
        info = zipfile.ZipInfo(os.path.relpath(path, out).replace(os.sep, "/"), stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with open(path, "rb") as f:
            z.writestr(info, f.read())
EOF
echo "PASS: made $DIR and $OUT/$NAME.zip"

#!/usr/bin/env bash
# Makes the package a user installs from: build/package/hct-VERSION/ and build/package/hct-VERSION.zip
#
#   hct-VERSION/
#     x86/hct.sys  x86/hctctl.exe     the 32-bit images, both test-signed (SHA-1 and nested SHA-256)
#     x64/hct.sys  x64/hctctl.exe     the 64-bit images, both test-signed (SHA-1 and nested SHA-256)
#     hct-test.cer                    the test certificate's public part (DER)
#     README.txt                      install, use, uninstall, recovery, in short
#     WINDOWS.md                      docs/windows.md: every step in full
#     SHA256SUMS                      sha256sum of every other file
#
# No INF: hctctl install is the one install path of the package (install/hct.inf is a per-mouse
# template for developers; docs/windows.md, "Installing through an INF instead", says why).
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
# Windows' Notepad before Windows 10 1809 shows a file with LF line ends as one line: CRLF.
sed 's/$/\r/' docs/windows.md >"$DIR/WINDOWS.md" || { echo "FAIL: copying docs/windows.md as WINDOWS.md"; exit 1; }
# The public part only: the key stays in build/signed and never enters the package.
openssl x509 -in "$SIGNED/testsign.crt" -outform DER -out "$DIR/hct-test.cer" ||
  { echo "FAIL: converting the test certificate to DER"; exit 1; }

sed "s/@VERSION@/$VERSION/g; s/\$/\r/" <<'EOF' >"$DIR/README.txt"
hct @VERSION@ - lower filter driver for a USB HID mouse: horizontal scroll (AC Pan) into the wheel
=================================================================================================

TEST BUILD. hct.sys and hctctl.exe are signed with a throw-away test certificate
(hct-test.cer, valid for 10 years from the day the images were signed). 64-bit Windows
loads a driver signed so only on a machine in test-signing mode. Use a test machine, and
keep a second input device (keyboard, touchpad or another mouse) at hand. WINDOWS.md,
beside this file, has every step below in full, and what was tried only in Wine.

Check the files first, in a command prompt in this folder, for each file SHA256SUMS lists:
  certutil -hashfile x64\hctctl.exe SHA256
prints the checksum that SHA256SUMS lists for x64/hctctl.exe (compare ignoring case and spaces).

Pick the folder of your Windows: x64\ on 64-bit Windows, x86\ on 32-bit Windows. Run every
command below in an administrator's command prompt, from that folder (hctctl.exe takes the
hct.sys that lies beside it). hctctl.exe does not ask for elevation itself: install and
uninstall refuse to run without it and say so.

Prepare the test machine (once; needed on 64-bit Windows)
  With BitLocker on the system drive, suspend it for one restart first, or Windows asks for
  the recovery key because the boot configuration changed:
    manage-bde -protectors -disable C: -RebootCount 1
  (Windows 7 has no -RebootCount: leave it out, and after the restart run
  manage-bde -protectors -enable C:)
  With Secure Boot on, bcdedit refuses to set testsigning: turn Secure Boot off in the
  firmware settings first.
  bcdedit /set testsigning on          then restart Windows ("Test Mode" shows on the desktop)
  hctctl install needs nothing else: in test mode Windows loads a test-signed driver without
  the certificate in any store (as Microsoft documents it; not tried here). The certificate
  stores serve only a signed driver package installed through an INF (WINDOWS.md);
  certutil -addstore Root ..\hct-test.cer only makes the images' signatures show as trusted in
  their Properties.

Install
  hctctl list                  the USB nodes a HID mouse sits on, their filters, whether hct is there
  hctctl install               the one USB mouse (several mice: hctctl install --device ID,
                               ID an instance ID or a unique hardware ID that hctctl list shows)
  Then unplug the mouse and plug it in again (or restart Windows), when hctctl says so.

Use
  hctctl on                    every hct mouse present: horizontal scroll moves the wheel
  hctctl off                   back to normal
  hctctl on --keep             stays running and switches on each hct mouse as it appears
                               (replug, resume, boot); the driver starts off at every plug.
                               WINDOWS.md ("Keep the feature on") starts it with Windows.

Uninstall
  hctctl uninstall             (or hctctl uninstall --device ID, or --all)
  Then unplug and plug in the mouse again, or restart Windows. The service and
  %SystemRoot%\System32\drivers\hct.sys are removed once no mouse lists hct.
  To leave test mode afterwards (uninstall hct first: a listed filter that Windows refuses to
  load takes the mouse with it): bcdedit /set testsigning off, certutil -delstore Root
  "HCT Test Signing" if you added it, then restart (suspend BitLocker again first, as above).

Recovery (the mouse stops working)
  With the keyboard: open an administrator's command prompt, go to this folder and run
  hctctl uninstall --all, then replug the mouse or restart.
  If Windows does not get that far: Safe Mode (WINDOWS.md). Safe Mode most likely loads hct
  too (it starts the drivers of input devices, their filters among them; not verified), but the
  keyboard usually works there: run hctctl uninstall --all in it. Or, with regedit, remove "hct"
  from the LowerFilters value (delete the value if hct was its only entry) of
    HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\<instance ID, as hctctl list prints it>
  then restart. WINDOWS.md ("When the mouse stops working") has the permissions and the
  offline registry from the recovery environment.

No INF file is in this package: hctctl install is its one way to install. WINDOWS.md
("Installing through an INF instead") says why, and what a developer with the WDK can build.
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

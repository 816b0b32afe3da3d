#!/usr/bin/env bash
# Signs both widths' images, hct.sys and hctctl.exe, with a throw-away test certificate, as
# docs/windows.md describes for a test machine: each twice, a SHA-1 signature and then a SHA-256 one
# nested in it (osslsigncode sign -nest), so that a Windows that cannot check SHA-256 (Windows 7
# without its SHA-2 update) has a signature it can check, and later Windows a SHA-256 one. The
# certificate is valid for 10 years (3650 days) from the day it is made: the signatures carry no
# time stamp from a time-stamping service, so they are judged against the certificate's validity
# on the day Windows checks them, and the certificate must outlive the package. Each result is
# checked: scripts/verify-signatures.sh (both signatures, verified against the certificate, and the
# image the unsigned one with only a certificate table added) and scripts/check-windows-image.sh
# again (signing appends the certificate table and rewrites the PE checksum). The signed images go
# to build/signed/ARCH/, so that the Wine run can take the very files a user would install
# (HCT_WIN_BUILD=build/signed/x64).
#   scripts/sign-images.sh [ARCH...]   default: x86 x64, each from build/win-ARCH (built already)
# Exit status 0 only when every image was signed and passed both checks.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
OUT=$ROOT/build/signed
mkdir -p "$OUT"
for tool in openssl osslsigncode; do
  command -v $tool >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done

# A new key each time: nothing of it is kept or trusted anywhere but in this check.
rm -f "$OUT/testsign.key" "$OUT/testsign.crt"
openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes -keyout "$OUT/testsign.key" -out "$OUT/testsign.crt" \
  -subj "/CN=HCT Test Signing" -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=codeSigning" -addext "basicConstraints=critical,CA:FALSE" >"$OUT/sign.log" 2>&1 ||
  { cat "$OUT/sign.log"; echo "FAIL: making the test certificate"; exit 1; }

sign() {  # sign IN OUT: a SHA-1 signature, then a SHA-256 one nested in it
  osslsigncode sign -certs "$OUT/testsign.crt" -key "$OUT/testsign.key" -h sha1 -n "$DESCRIPTION" \
    -in "$1" -out "$2.sha1" >>"$OUT/sign.log" 2>&1 &&
    osslsigncode sign -nest -certs "$OUT/testsign.crt" -key "$OUT/testsign.key" -h sha256 -n "$DESCRIPTION" \
      -in "$2.sha1" -out "$2" >>"$OUT/sign.log" 2>&1
  local rc=$?
  rm -f "$2.sha1"
  return $rc
}
DESCRIPTION="HCT mouse filter (test)"
RC=0
for arch in "${@:-x86 x64}"; do
  for a in $arch; do
    mkdir -p "$OUT/$a"
    for f in hct.sys hctctl.exe; do
      in=build/win-$a/$f
      out=$OUT/$a/$f
      rm -f "$out"
      [ -f "$in" ] || { echo "FAIL: $in is missing (build the win-$a preset first)"; RC=1; continue; }
      sign "$in" "$out" || { tail -n 5 "$OUT/sign.log"; echo "FAIL: osslsigncode sign $in"; RC=1; continue; }
      scripts/verify-signatures.sh "$out" "$OUT/testsign.crt" "$in" || RC=1
      if scripts/check-windows-image.sh "$out" "$a" >"$OUT/check-$a-$f.log" 2>&1; then
        echo "PASS: the signed $a/$f passes scripts/check-windows-image.sh (checksum rewritten)"
      else
        cat "$OUT/check-$a-$f.log"; echo "FAIL: scripts/check-windows-image.sh $out $a"; RC=1
      fi
    done
  done
done
exit $RC

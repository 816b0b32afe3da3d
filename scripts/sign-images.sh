#!/usr/bin/env bash
# Signs both kernel images with a throw-away test certificate, as docs/windows.md describes for a
# test machine, and checks the result: osslsigncode verify against that certificate, and
# scripts/check-windows-image.sh again (signing appends a certificate table and rewrites the PE
# checksum). The signed images go to build/signed/ARCH/hct.sys, beside a copy of hctctl.exe, so
# that the Wine run can take the very image a user would install (HCT_WIN_BUILD=build/signed/x64).
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
openssl req -x509 -newkey rsa:3072 -sha256 -days 30 -nodes -keyout "$OUT/testsign.key" -out "$OUT/testsign.crt" \
  -subj "/CN=HCT Test Signing" -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=codeSigning" -addext "basicConstraints=critical,CA:FALSE" >"$OUT/sign.log" 2>&1 ||
  { cat "$OUT/sign.log"; echo "FAIL: making the test certificate"; exit 1; }

RC=0
for arch in "${@:-x86 x64}"; do
  for a in $arch; do
    in=build/win-$a/hct.sys
    out=$OUT/$a/hct.sys
    mkdir -p "$OUT/$a"
    rm -f "$out"
    if [ ! -f "$in" ] || [ ! -f "build/win-$a/hctctl.exe" ]; then
      echo "FAIL: $in or build/win-$a/hctctl.exe is missing (build the win-$a preset first)"; RC=1; continue
    fi
    cp "build/win-$a/hctctl.exe" "$OUT/$a/"
    if ! osslsigncode sign -certs "$OUT/testsign.crt" -key "$OUT/testsign.key" -h sha256 -n "HCT mouse filter (test)" \
         -in "$in" -out "$out" >>"$OUT/sign.log" 2>&1; then
      tail -n 5 "$OUT/sign.log"; echo "FAIL: osslsigncode sign $in"; RC=1; continue
    fi
    if osslsigncode verify -in "$out" -CAfile "$OUT/testsign.crt" >"$OUT/verify-$a.log" 2>&1; then
      echo "PASS: $out is signed, and osslsigncode verify accepts it against the test certificate"
    else
      tail -n 10 "$OUT/verify-$a.log"; echo "FAIL: osslsigncode verify $out"; RC=1
    fi
    if scripts/check-windows-image.sh "$out" "$a" >"$OUT/check-$a.log" 2>&1; then
      echo "PASS: the signed $a image passes scripts/check-windows-image.sh (checksum rewritten)"
    else
      cat "$OUT/check-$a.log"; echo "FAIL: scripts/check-windows-image.sh $out $a"; RC=1
    fi
    cmp -s "$in" "$out" && { echo "FAIL: $out is the unsigned image"; RC=1; }
  done
done
exit $RC

#!/usr/bin/env bash
# Checks the package scripts/package.sh made, as a user receives it:
#   - exactly the files a package holds, in the directory and in the zip, and the zip's bytes the
#     directory's;
#   - no private key anywhere in it;
#   - SHA256SUMS right (sha256sum -c) and naming every other file;
#   - each image passes scripts/check-windows-image.sh for its width, each hct.sys carries a
#     signature osslsigncode verifies against the package's own hct-test.cer;
#   - the unsigned images are reproducible: the win presets built again into a second build
#     directory (build/win-ARCH-again) from the same tree give the same bytes as build/win-ARCH.
#   scripts/check-package.sh [--no-rebuild]     exit status 0 only when every check passed
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
REBUILD=1
[ "${1:-}" = --no-rebuild ] && REBUILD=0
VERSION=$(sed -n 's/^project(hct VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
NAME=hct-$VERSION
OUT=$ROOT/build/package
DIR=$OUT/$NAME
ZIP=$OUT/$NAME.zip
WORK=$ROOT/build/package-check
RC=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; RC=1; }
[ -n "$VERSION" ] || { echo "FAIL: no version in the project() line of CMakeLists.txt"; exit 1; }
[ -d "$DIR" ] && [ -f "$ZIP" ] || { echo "FAIL: $DIR or $ZIP is missing (run scripts/package.sh)"; exit 1; }

expected="README.txt
SHA256SUMS
hct-test.cer
hct.inf
x64/hct.sys
x64/hctctl.exe
x86/hct.sys
x86/hctctl.exe"
listed=$(cd "$DIR" && find . -mindepth 1 ! -type d | sed 's,^\./,,' | LC_ALL=C sort)
if [ "$listed" = "$expected" ]; then
  pass "$NAME/ holds exactly: $(echo $expected)"
else
  fail "$NAME/ holds other files than a package does: $(diff <(echo "$expected") <(echo "$listed") | grep '^[<>]' | tr '\n' ' ')"
fi
rm -rf "$WORK"
mkdir -p "$WORK/unzipped"
if python3 -m zipfile -e "$ZIP" "$WORK/unzipped" 2>"$WORK/unzip.log"; then
  zlisted=$(python3 -m zipfile -l "$ZIP" | tail -n +2 | awk '{print $1}' | LC_ALL=C sort)
  if [ "$zlisted" = "$(sed "s,^,$NAME/," <<<"$expected")" ] && diff -r "$DIR" "$WORK/unzipped/$NAME" >/dev/null; then
    pass "$NAME.zip holds the same files, byte for byte, under $NAME/"
  else
    fail "$NAME.zip differs from $NAME/: $(echo $zlisted)"
  fi
else
  fail "$NAME.zip cannot be read: $(cat "$WORK/unzip.log")"
fi

# No private key: by name, by PEM marker, and by content (a DER key parses as one).
keys=$(cd "$DIR" && find . -type f \( -iname '*.key' -o -iname '*.pfx' -o -iname '*.p12' -o -iname '*.pvk' -o -iname '*.pem' \))
markers=$(grep -rl -a -e 'PRIVATE KEY' "$DIR" "$ZIP" 2>/dev/null)
derkey=""
for f in $(find "$DIR" -type f); do
  openssl pkey -inform DER -in "$f" -noout 2>/dev/null && derkey+=" $f"
done
if [ -z "$keys$markers$derkey" ]; then
  pass "no private key in the package (no key file, no PEM key, no file that parses as a DER key)"
else
  fail "a private key in the package: $keys $markers $derkey"
fi
if openssl x509 -inform DER -in "$DIR/hct-test.cer" -noout -subject >"$WORK/cer.txt" 2>&1; then
  pass "hct-test.cer is a DER certificate ($(cat "$WORK/cer.txt"))"
else
  fail "hct-test.cer is not a DER certificate: $(cat "$WORK/cer.txt")"
fi

summed=$(awk '{print $2}' "$DIR/SHA256SUMS" | sed 's,^\*,,' | LC_ALL=C sort)
if (cd "$DIR" && sha256sum --strict -c SHA256SUMS >"$WORK/sums.log" 2>&1) &&
   [ "$summed" = "$(grep -vx SHA256SUMS <<<"$expected")" ]; then
  pass "SHA256SUMS names every other file and sha256sum -c accepts each"
else
  fail "SHA256SUMS: $(grep -v ': OK$' "$WORK/sums.log" | tr '\n' ' ') listed: $(echo $summed)"
fi

for a in x86 x64; do
  for f in hct.sys hctctl.exe; do
    if scripts/check-windows-image.sh "$DIR/$a/$f" "$a" >"$WORK/check-$a-$f.log" 2>&1; then
      pass "$a/$f passes scripts/check-windows-image.sh for $a"
    else
      cat "$WORK/check-$a-$f.log"; fail "$a/$f fails scripts/check-windows-image.sh for $a"
    fi
  done
  if osslsigncode verify -in "$DIR/$a/hct.sys" -CAfile <(openssl x509 -inform DER -in "$DIR/hct-test.cer") \
       >"$WORK/verify-$a.log" 2>&1; then
    pass "$a/hct.sys: osslsigncode verify accepts its signature against hct-test.cer"
  else
    tail -n 5 "$WORK/verify-$a.log"; fail "$a/hct.sys: the signature does not verify against hct-test.cer"
  fi
  # The package's images are the ones built: the signed driver is the unsigned one with a
  # certificate table added; the tool is the very file.
  if cmp -s "$DIR/$a/hctctl.exe" "build/win-$a/hctctl.exe"; then
    pass "$a/hctctl.exe is build/win-$a/hctctl.exe"
  else
    fail "$a/hctctl.exe is not build/win-$a/hctctl.exe"
  fi
done

# The same tree built twice: the unsigned images must come out byte for byte the same.
if [ $REBUILD = 1 ]; then
  for a in x86 x64; do
    case $a in x86) tc=cmake/mingw-i686.cmake ;; x64) tc=cmake/mingw-x86_64.cmake ;; esac
    again=build/win-$a-again
    # Compiled afresh (a new build directory, no compiler cache).
    rm -rf "$again"
    if { cmake -S . -B "$again" -G Ninja --toolchain "$tc" -DCMAKE_BUILD_TYPE=Release &&
         CCACHE_DISABLE=1 cmake --build "$again" -j 2 --target hct hctctl; } >"$WORK/rebuild-$a.log" 2>&1; then
      same=1
      for f in hct.sys hctctl.exe; do
        cmp -s "build/win-$a/$f" "$again/$f" || { same=0; fail "$a/$f differs between build/win-$a and $again: $(cmp "build/win-$a/$f" "$again/$f" 2>&1 | head -n 1)"; }
      done
      [ $same = 1 ] && pass "$a: hct.sys and hctctl.exe built again in $again are byte-identical to build/win-$a"
    else
      tail -n 20 "$WORK/rebuild-$a.log"; fail "building $a again into $again"
    fi
  done
fi
exit $RC

#!/usr/bin/env bash
# Checks the package scripts/package.sh made, as a user receives it:
#   - exactly the files a package holds, in the directory and in the zip, and the zip's bytes the
#     directory's;
#   - no private key anywhere in it;
#   - SHA256SUMS right (sha256sum -c) and naming every other file;
#   - README.txt names no file the package does not hold; WINDOWS.md is docs/windows.md;
#   - each image passes scripts/check-windows-image.sh for its width (among its checks the version
#     information and, for hctctl.exe, the manifest); each hct.sys and hctctl.exe carries the two
#     signatures, SHA-1 and a nested SHA-256, that osslsigncode verifies against the package's own
#     hct-test.cer (scripts/verify-signatures.sh), and is build/win-ARCH's image with only a
#     certificate table added;
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
WINDOWS.md
hct-test.cer
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

# Every file name README.txt mentions (a word with an extension, SHA256SUMS, the width folders)
# must be a file or folder of the package: its pointers resolve inside the zip.
named=$(tr -d '\r' <"$DIR/README.txt" | grep -oiE '([A-Za-z0-9_.%-]+\\)*[A-Za-z0-9_-]+\.(sys|exe|cer|crt|txt|md|inf|cat|pfx|zip|ps1|bat|cmd|reg)\b|SHA256SUMS|\bx(64|86)\\' | sort -u)
unresolved=""
for n in $named; do
  case "$n" in %*) continue ;; esac  # a path on the Windows machine (%SystemRoot%\...), not in the package
  case "$n" in x64\\ | x86\\) [ -d "$DIR/${n%\\}" ] || unresolved+=" $n"; continue ;; esac
  path=${n#..\\}
  path=${path//\\//}
  if [[ $path == */* ]]; then  # a path: from the package's top or from a width's folder
    [ -f "$DIR/$path" ] || [ -f "$DIR/x64/$path" ] || unresolved+=" $n"
  else
    [ -n "$(cd "$DIR" && find . -type f -name "$path")" ] || unresolved+=" $n"
  fi
done
if [ -z "$named" ]; then
  fail "README.txt names no file at all (README.txt missing?)"
elif [ -z "$unresolved" ]; then
  pass "every file README.txt names is in the package: $(echo $named)"
else
  fail "README.txt names files the package does not hold:$unresolved"
fi
if cmp -s <(tr -d '\r' <"$DIR/WINDOWS.md") docs/windows.md; then
  pass "WINDOWS.md is docs/windows.md (CRLF line ends)"
else
  fail "WINDOWS.md differs from docs/windows.md"
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
      pass "$a/$f passes scripts/check-windows-image.sh for $a ($(grep -E '^ok: +(version information|manifest)' "$WORK/check-$a-$f.log" | sed 's/^ok: *//' | paste -sd ';' | sed 's/;/; /g'))"
    else
      cat "$WORK/check-$a-$f.log"; fail "$a/$f fails scripts/check-windows-image.sh for $a"
    fi
  done
  # Both signatures of each image, and the image the one built with only a certificate table added.
  for f in hct.sys hctctl.exe; do
    scripts/verify-signatures.sh "$DIR/$a/$f" "$DIR/hct-test.cer" "build/win-$a/$f" >"$WORK/verify-$a-$f.log" 2>&1
    vrc=$?
    sed "s,$DIR/,,g" "$WORK/verify-$a-$f.log"
    [ $vrc = 0 ] || RC=1
  done
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

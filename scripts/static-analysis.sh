#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the driver (usb/hct/) and its report code
# (report/), as built for the host. Any finding fails. Skipped, with a note, when the tools are missing.
set -uo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-tidy >/dev/null || ! command -v cppcheck >/dev/null; then
  echo "static analysis skipped: clang-tidy or cppcheck not installed"
  exit 0
fi
sources=(usb/hct/*.cpp report/*.cpp)
rc=0

# A compile database of the host build, compiled by clang as clang-tidy parses it; configuring is
# enough, nothing is built. Without the benchmarks: they compile the driver a second time with its
# trace compiled out, and clang-tidy would check whichever of the two entries it meets.
cmake -S . -B build/analysis -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >build/analysis.log 2>&1 ||
  { echo "configuring build/analysis failed, see build/analysis.log"; exit 1; }
echo "clang-tidy: ${#sources[@]} files"
tidy_out=$(clang-tidy --quiet -p build/analysis "${sources[@]}" 2>/dev/null)
tidy_rc=$?
if ((tidy_rc == 0)) && ! grep -qE 'warning:|error:' <<<"$tidy_out"; then
  echo "clang-tidy: clean"
else
  grep -E -A3 'warning:|error:' <<<"$tidy_out"
  echo "clang-tidy: findings (exit $tidy_rc)"
  rc=1
fi

# useStlAlgorithm: driver code is kernel C++ without the standard library, so a raw loop is the form
# it has. Other findings are suppressed at their line (cppcheck-suppress) with the reason.
echo "cppcheck: usb/hct report"
if cppcheck --enable=warning,style,performance,portability --std=c++20 --inline-suppr --quiet \
    --error-exitcode=1 --suppress=missingIncludeSystem --suppress=useStlAlgorithm -D__x86_64__ -I . \
    usb/hct report; then
  echo "cppcheck: clean"
else
  rc=1
fi
exit $rc

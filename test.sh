#!/usr/bin/env bash
# Builds everything and runs every test: host tests under ASan+UBSan, a mutation run of the driver's
# sources against them, clang-tidy and cppcheck over the driver, the concurrency test under
# ThreadSanitizer, the fuzzers briefly under ASan+UBSan, the
# benchmarks once, instruction counts per report under callgrind, and both Windows kernel images with
# their checks, signed with a throw-away test certificate, packaged, and each installed with hctctl
# and run in Wine (the 32-bit one in a 32-bit prefix). Installs missing Debian packages first.
#
# Each step passes (exit status 0), fails (any other status), or skips itself: a step that cannot
# run here (scripts/wine-e2e.sh x86 on a machine that cannot execute 32-bit programs, say) exits
# with status 77 and prints as its last line of standard output "skipped: REASON". A skipped step
# is counted and shown as skipped, with its reason, never as passed; status 77 without that line
# is still a skip, its reason then "(no reason given)". The closing line reads
# "N passed, N failed, N skipped"; the exit status is 0 when no step failed.
set -uo pipefail
cd "$(dirname "$0")"
JOBS=${JOBS:-$(nproc)}
passed=0
failed=0
skipped=0
failures=()
skips=()
STEP_OUT=$(mktemp)
trap 'rm -f "$STEP_OUT"' EXIT

step() {  # step NAME COMMAND...
  local name=$1 rc reason; shift
  echo "==> $name"
  "$@" | tee "$STEP_OUT"
  rc=${PIPESTATUS[0]}
  if [ "$rc" = 0 ]; then
    passed=$((passed + 1))
  elif [ "$rc" = 77 ]; then
    reason=$(tail -n 1 "$STEP_OUT" | sed -n 's/^skipped: //p')
    skipped=$((skipped + 1)); skips+=("$name: ${reason:-(no reason given)}"); echo "SKIPPED: $name: ${reason:-(no reason given)}"
  else
    failed=$((failed + 1)); failures+=("$name"); echo "FAILED: $name"
  fi
}

ctest_preset() {  # ctest_preset BUILDDIR [ctest args...]
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure --timeout 600 "$@"
}

scripts/deps.sh || { echo "could not install the build dependencies"; exit 1; }

step "host build (ASan+UBSan)" bash -c "cmake --preset host >/dev/null && cmake --build --preset host -j $JOBS"
step "host tests" ctest_preset build/host -L 'host|report|stack|tool'
# Every planted fault of tests/mutants/, one at a time, in a scratch copy of the sources (about 4
# minutes on two cores once its build exists; that build is a second host build of the test binaries).
step "mutation run" env JOBS="$JOBS" scripts/mutants.sh
step "static analysis (clang-tidy, cppcheck)" scripts/static-analysis.sh
step "tsan build" bash -c "cmake --preset host-tsan >/dev/null && cmake --build --preset host-tsan -j $JOBS --target test_stack_tsan test_host"
step "tsan tests" bash -c "ctest --test-dir build/host-tsan --output-on-failure --timeout 600 -L tsan && build/host-tsan/bin/test_host --gtest_brief=1"
step "fuzz build (libFuzzer, ASan+UBSan)" bash -c "cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j $JOBS"
step "fuzz runs" ctest_preset build/fuzz -L fuzz
step "release build" bash -c "cmake --preset host-release >/dev/null && cmake --build --preset host-release -j $JOBS"
step "benchmarks (one short run)" build/host-release/bin/bench_report_path --benchmark_min_time=0.01
step "instructions per report (callgrind)" env MAX_RATIO=1.30 bench/callgrind.sh 500 --check
step "main job" build/host-release/bin/hct-sim run
# A capture of 10 000 reports replayed, and tshark on it: a smoke run that fails only when a run fails.
step "replay at real size (smoke)" bench/replay.sh 10000
for arch in x86 x64; do
  step "windows $arch image" bash -c "cmake --preset win-$arch >/dev/null && cmake --build --preset win-$arch -j $JOBS"
  step "windows $arch checks" bash -c "scripts/check-windows-image.sh build/win-$arch/hct.sys $arch && scripts/check-windows-image.sh build/win-$arch/hctctl.exe $arch"
done
step "windows images signed with a test certificate" scripts/sign-images.sh x86 x64
# The package a user receives (build/package/hct-VERSION/ and its .zip), and its check: the files,
# no private key, SHA256SUMS, the images' checks and signatures, the same bytes from a second build.
step "package" scripts/package.sh
step "package check" scripts/check-package.sh
# The package's own images, as a user installs them with hctctl install, each in a Wine prefix of
# its own width; hct.inf read by setupapi against the package.
VERSION=$(sed -n 's/^project(hct VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
for arch in x64 x86; do
  step "windows $arch package installed in Wine" env HCT_WIN_BUILD=build/package/hct-$VERSION/$arch timeout 600 scripts/wine-e2e.sh $arch
done

echo
if ((skipped)); then
  printf 'skipped: %s\n' "${skips[@]}"
fi
if ((failed)); then
  echo "failed steps: ${failures[*]}"
fi
echo "$passed passed, $failed failed, $skipped skipped"
((failed == 0))

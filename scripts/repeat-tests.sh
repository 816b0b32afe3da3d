#!/usr/bin/env bash
# Runs every test binary N times in a row (--gtest_repeat=N): the host build's (ASan+UBSan) and the
# ThreadSanitizer build's, each built first. Prints the failures per binary and exits non-zero if
# any run failed. Usage: scripts/repeat-tests.sh N [binary-name-filter]
set -uo pipefail
cd "$(dirname "$0")/.."
n=${1:?usage: scripts/repeat-tests.sh N [filter]}
filter=${2:-}
JOBS=${JOBS:-$(nproc)}
cmake --preset host >/dev/null && cmake --build --preset host -j "$JOBS" >/dev/null || { echo "host build failed"; exit 1; }
cmake --preset host-tsan >/dev/null && cmake --build --preset host-tsan -j "$JOBS" --target test_stack_tsan test_host >/dev/null ||
  { echo "tsan build failed"; exit 1; }

binaries=()
for b in build/host/bin/test_* build/host-tsan/bin/test_*; do
  [ -x "$b" ] && [[ "$b" == *"$filter"* ]] && binaries+=("$b")
done
logdir=build/repeat-tests
mkdir -p "$logdir"
total_failed=0
printf '%-36s %8s %8s %s\n' binary repeats failed "failing tests"
for b in "${binaries[@]}"; do
  log=$logdir/$(echo "$b" | tr / _).log
  # --gtest_brief keeps the log to the failures; the summary line of each iteration counts them.
  "$b" --gtest_repeat="$n" --gtest_brief=1 >"$log" 2>&1
  rc=$?
  failed_iterations=$(grep -c '^\[  FAILED  \] [0-9]* test' "$log")
  names=$(grep -E '^\[  FAILED  \] [A-Za-z_0-9/]+\.[A-Za-z_0-9/]+' "$log" | awk '{print $4}' | sort | uniq -c |
          awk '{printf "%s(%s) ", $2, $1}')
  if ((rc != 0 && failed_iterations == 0)); then
    failed_iterations=1
    names="crashed (exit $rc), see $log"
  fi
  printf '%-36s %8s %8s %s\n' "$b" "$n" "$failed_iterations" "$names"
  total_failed=$((total_failed + failed_iterations))
done
echo "iterations with a failure: $total_failed (logs in $logdir)"
((total_failed == 0))

#!/usr/bin/env bash
# Mutation run: plants each fault of tests/mutants/*.patch, one at a time, in a scratch copy of the
# sources (build/mutants/src, never the working tree), rebuilds what links the driver and report code
# (test_report, test_stack; test_host does not link them), and runs the report suite (for a fault in
# report/) and the full-stack suite in the four I/O modes, stopping at the first failure. Prints one
# row per mutant: what caught it (mode, test, kernel rule or sanitizer), or SURVIVED.
#
#   scripts/mutants.sh            every mutant (about 4 minutes on two cores, after a first build of
#                                 the scratch tree of about 1 to 5)
#   scripts/mutants.sh NAME...    the mutants whose file names contain NAME
#   scripts/mutants.sh --unique [NAME...]
#                                 on demand, not part of the test command (hours on two cores): every
#                                 test against every mutant, not stopping at the first failure, then,
#                                 for each test, the mutants only it catches, and the tests that catch
#                                 no mutant alone (a scratch tree of its own, build/mutants/unique/)
#
# Each patch's first line names the routine and the fault. A second line "# equivalent: REASON"
# marks a mutant that no test can tell from the shipped driver (listed in docs/reliability.md), so
# that its survival is expected; "# tsan: REASON" marks a data race, for which the concurrency test
# also runs in a ThreadSanitizer build of the scratch tree (build/mutants/src/build/host-tsan).
# Exit status 1 if any other mutant survived or failed to build, 2 on a problem of the run itself.
# JOBS (default 2) is the build's parallelism; logs go to build/mutants/logs/.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
SCRATCH=$ROOT/build/mutants/src
LOGS=$ROOT/build/mutants/logs
MODES=(normal complete-at-once force-pending cross-thread)
RUN_TIMEOUT=${RUN_TIMEOUT:-300}

selection=all
unique=0
patterns=()
for arg in "$@"; do
  case $arg in
    --all) selection=all ;;
    --unique) unique=1 ;;
    -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
    -*) echo "mutants.sh: unknown option $arg" >&2; exit 2 ;;
    *) selection=named; patterns+=("$arg") ;;
  esac
done

mutants=()
case $selection in
  all) for p in tests/mutants/*.patch; do mutants+=("$p"); done ;;
  named)
    for p in tests/mutants/*.patch; do
      for pat in "${patterns[@]}"; do [[ $(basename "$p") == *"$pat"* ]] && { mutants+=("$p"); break; }; done
    done ;;
esac
if ((${#mutants[@]} == 0)); then echo "mutants.sh: no mutant selected" >&2; exit 2; fi
# The unique-catch run has a scratch tree of its own, so a normal run can go on beside it.
if ((unique)); then SCRATCH=$ROOT/build/mutants/unique/src LOGS=$ROOT/build/mutants/unique/logs; fi
BUILD=$SCRATCH/build/host
TSAN_BUILD=$SCRATCH/build/host-tsan

# The scratch copy: files whose content changed are rewritten (new time stamp, so ninja rebuilds
# them), files gone from the tree are removed; anything a mutant left behind after an interrupted
# run is put back.
mkdir -p "$SCRATCH" "$LOGS"
sync_scratch() {
  local f
  git ls-files -co --exclude-standard | grep -v '^build/' | sort >"$LOGS/files.txt"
  while read -r f; do
    [[ -f $f ]] || continue
    if ! cmp -s "$f" "$SCRATCH/$f"; then mkdir -p "$SCRATCH/$(dirname "$f")" && cp "$f" "$SCRATCH/$f" || return 1; fi
  done <"$LOGS/files.txt"
  (cd "$SCRATCH" && find . -path ./build -prune -o -type f -print | sed 's|^\./||' | sort) |
    comm -23 - "$LOGS/files.txt" | while read -r f; do rm -f "$SCRATCH/$f"; done
}
sync_scratch || { echo "mutants.sh: could not copy the sources to $SCRATCH" >&2; exit 2; }
echo "==> scratch build in $BUILD"
start=$SECONDS
(cd "$SCRATCH" && { [[ -f $BUILD/build.ninja ]] || cmake --preset host >/dev/null; } &&
  cmake --build "$BUILD" -j "$JOBS" --target test_stack test_report >"$LOGS/build-base.log" 2>&1) ||
  { echo "mutants.sh: the unmutated scratch tree does not build, see $LOGS/build-base.log" >&2; exit 2; }
echo "    built in $((SECONDS - start)) s; ${#mutants[@]} mutants"

# caught_by LOG: the first failing test and what failed in it (kernel rule, sanitizer, assertion).
caught_by() {
  local log=$1 test what
  test=$(grep -m1 -oP '^\[  FAILED  \] \K[A-Za-z0-9_/.]+' "$log")
  if grep -q 'ERROR: AddressSanitizer\|runtime error:' "$log"; then
    [[ -n $test ]] || test=$(grep -oP '^\[ RUN      \] \K[A-Za-z0-9_/.]+' "$log" | tail -1)
    what=$(grep -m1 -oP 'ERROR: AddressSanitizer: \K[a-z-]+' "$log")
    [[ -n $what ]] && what="ASan $what" || what="UBSan $(grep -m1 -oP 'runtime error: \K.{0,40}' "$log")"
  elif grep -q 'kernel rule broken: ' "$log"; then
    what=$(grep -m1 -oP 'kernel rule broken: \K[A-Za-z]+' "$log")
  elif grep -q 'WARNING: ThreadSanitizer' "$log"; then
    [[ -n $test ]] || test=$(grep -oP '^\[ RUN      \] \K[A-Za-z0-9_/.]+' "$log" | tail -1)
    what="TSan $(grep -m1 -oP 'WARNING: ThreadSanitizer: \K[a-z]+( [a-z]+)*' "$log")"
  elif grep -q '^\*\*\* host kernel: wait .* can never be satisfied' "$log"; then
    test=$(grep -oP '^\[ RUN      \] \K[A-Za-z0-9_/.]+' "$log" | tail -1)
    what="WaitNeverSatisfied: the watchdog stopped the run"
  elif grep -q '^\*\*\* host kernel' "$log"; then
    [[ -n $test ]] || test=$(grep -oP '^\[ RUN      \] \K[A-Za-z0-9_/.]+' "$log" | tail -1)
    what="host kernel: $(grep -m1 -oP '^\*\*\* host kernel: \K.{0,60}' "$log")"
  else
    what=assertion
  fi
  echo "${test:-?} (${what:-?})"
}

# run_all BINARY LOG TAG [ENV...]: every test of BINARY, past failures and crashes. A run that ends
# in an abort (a kernel rule, a sanitizer) or a timeout counts against the test that was running,
# and the binary is started again on the tests not yet run. Prints one line "TAG:TEST" per failing test.
run_all() {
  local bin=$1 log=$2 tag=$3 rc t done_filter='' pass=0
  shift 3
  local -A seen=()
  : >"$log"
  while :; do
    pass=$((pass + 1))
    (timeout "$RUN_TIMEOUT" env "$@" "$bin" ${done_filter:+"--gtest_filter=-${done_filter#:}"} \
      >"$log.$pass" 2>&1; exit $?) 2>/dev/null
    rc=$?
    cat "$log.$pass" >>"$log"
    while read -r t; do seen[$t]=1; done < <(grep -oP '^\[ RUN      \] \K\S+' "$log.$pass")
    grep -P '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log.$pass" | grep -oP '^\[  FAILED  \] \K[^ ,]+' | sed "s|^|$tag:|"
    local last
    last=$(grep -oP '^\[( RUN      |       OK |  FAILED  )\] \K\S+' "$log.$pass" | tail -1)
    local last_kind
    last_kind=$(grep -oP '^\[( RUN      |       OK |  FAILED  )\]' "$log.$pass" | tail -1)
    rm -f "$log.$pass"
    if ((rc == 0)) || [[ $last_kind != '[ RUN      ]' ]] || ((pass > 400)); then
      # A failure exit after the last test finished is the summary's; nothing left to run.
      break
    fi
    echo "$tag:$last"
    done_filter=$(printf ':%s' "${!seen[@]}")
  done
}

if ((unique)); then
  RESULTS=$LOGS/catches.txt
  : >"$RESULTS"
  "$BUILD/bin/test_stack" --gtest_list_tests | awk '/^[^ ]/{s=$1} /^  /{print "stack:" s $1}' >"$LOGS/tests.txt"
  "$BUILD/bin/test_report" --gtest_list_tests | awk '/^[^ ]/{s=$1} /^  /{print "report:" s $1}' >>"$LOGS/tests.txt"
  echo "    $(wc -l <"$LOGS/tests.txt") tests; results in $RESULTS"
  for patch in "${mutants[@]}"; do
    name=$(basename "$patch" .patch)
    t0=$SECONDS
    files=$(grep -oP '^\+\+\+ b/\K\S+' "$patch")
    if ! patch -s -p1 -d "$SCRATCH" <"$patch" >"$LOGS/$name.patch.log" 2>&1; then
      echo "$name|does not apply|" >>"$RESULTS"; echo "  $name does not apply"; continue
    fi
    if ! cmake --build "$BUILD" -j "$JOBS" --target test_stack test_report >"$LOGS/$name.build.log" 2>&1; then
      echo "$name|build failed|" >>"$RESULTS"; echo "  $name BUILD FAILED"
    else
      {
        if grep -q '^report/' <<<"$files"; then run_all "$BUILD/bin/test_report" "$LOGS/$name.report.log" report; fi
        for mode in "${MODES[@]}"; do
          env_mode=$mode; [[ $mode == normal ]] && env_mode=
          run_all "$BUILD/bin/test_stack" "$LOGS/$name.$mode.log" stack HCT_IO_MODE="$env_mode" HCT_SEED=1
        done
      } >"$LOGS/$name.failed.txt"
      catchers=$(grep -oP '^(stack|report):\S+' "$LOGS/$name.failed.txt" | sort -u | tr '\n' ' ')
      equivalent_note=$(grep -m1 -oP '^# equivalent: \K.*' "$patch")
      echo "$name|${equivalent_note:+equivalent}|$catchers" >>"$RESULTS"
      printf '  %-44s %3d tests catch it  [%d s]\n' "$name" "$(wc -w <<<"$catchers")" "$((SECONDS - t0))"
    fi
    patch -s -R -p1 -d "$SCRATCH" <"$patch" >>"$LOGS/$name.patch.log" 2>&1 ||
      { echo "mutants.sh: could not take $name back out of the scratch tree" >&2; exit 2; }
  done
  echo
  echo "Unique-catch run: ${#mutants[@]} mutants, $(wc -l <"$LOGS/tests.txt") tests; $((SECONDS - start)) s"
  echo
  echo "Mutants only one test catches, by test:"
  awk -F'|' '{n=split($3, t, " "); if (n == 1) u[t[1]] = u[t[1]] " " $1; if (n == 0 && $2 == "") s = s " " $1}
    END {for (k in u) print "  " k ":" u[k]; if (s != "") print "  (caught by no test:" s ")"}' "$RESULTS" | sort
  echo
  echo "Tests that catch no mutant alone (each of their catches is also another test's):"
  awk -F'|' 'FNR == NR {n = split($3, t, " "); for (i = 1; i <= n; i++) {c[t[i]]++; if (n == 1) u[t[i]]++}; next}
    !u[$1] {printf "  %s  (%d catches)\n", $1, c[$1] + 0}' "$RESULTS" "$LOGS/tests.txt"
  exit 0
fi

declare -a rows
survived=0 caught=0 equivalent=0 broken=0
for patch in "${mutants[@]}"; do
  name=$(basename "$patch" .patch)
  t0=$SECONDS
  files=$(grep -oP '^\+\+\+ b/\K\S+' "$patch")
  if ! patch -s -p1 -d "$SCRATCH" <"$patch" >"$LOGS/$name.patch.log" 2>&1; then
    rows+=("$name|does not apply|0"); broken=$((broken + 1)); continue
  fi
  result=
  if ! cmake --build "$BUILD" -j "$JOBS" --target test_stack test_report >"$LOGS/$name.build.log" 2>&1; then
    result="BUILD FAILED"; broken=$((broken + 1))
  fi
  if [[ -z $result ]] && grep -q '^report/' <<<"$files"; then
    log=$LOGS/$name.report.log
    if ! (timeout "$RUN_TIMEOUT" "$BUILD/bin/test_report" --gtest_fail_fast >"$log" 2>&1; exit $?) 2>/dev/null; then
      result="report: $(caught_by "$log")"
    fi
  fi
  if [[ -z $result ]]; then
    for mode in "${MODES[@]}"; do
      log=$LOGS/$name.$mode.log
      env_mode=$mode; [[ $mode == normal ]] && env_mode=
      # A second command keeps the subshell from exec-ing the run, so an abort is reported to /dev/null.
      (timeout "$RUN_TIMEOUT" env HCT_IO_MODE="$env_mode" HCT_SEED=1 "$BUILD/bin/test_stack" --gtest_fail_fast >"$log" 2>&1; exit $?) 2>/dev/null
      rc=$?
      if ((rc == 124)); then result="$mode: timeout after ${RUN_TIMEOUT} s (a wait that never ends)"; break; fi
      if ((rc != 0)); then result="$mode: $(caught_by "$log")"; break; fi
    done
  fi
  if [[ -z $result ]] && grep -q '^# tsan: ' "$patch"; then
    log=$LOGS/$name.tsan.log
    if ! (cd "$SCRATCH" && { [[ -f $TSAN_BUILD/build.ninja ]] || cmake --preset host-tsan >/dev/null; } &&
      cmake --build "$TSAN_BUILD" -j "$JOBS" --target test_stack_tsan >"$LOGS/$name.tsan-build.log" 2>&1); then
      result="BUILD FAILED (ThreadSanitizer)"; broken=$((broken + 1))
    elif ! (timeout "$RUN_TIMEOUT" env HCT_IO_MODE=cross-thread HCT_SEED=1 "$TSAN_BUILD/bin/test_stack_tsan" \
        --gtest_filter='ConcurrencyTest.*' --gtest_repeat=3 --gtest_fail_fast >"$log" 2>&1; exit $?) 2>/dev/null; then
      result="tsan cross-thread: $(caught_by "$log")"
    fi
  fi
  patch -s -R -p1 -d "$SCRATCH" <"$patch" >>"$LOGS/$name.patch.log" 2>&1 ||
    { echo "mutants.sh: could not take $name back out of the scratch tree" >&2; exit 2; }
  if [[ -z $result ]]; then
    reason=$(grep -m1 -oP '^# equivalent: \K.*' "$patch")
    if [[ -n $reason ]]; then result="equivalent (documented): $reason"; equivalent=$((equivalent + 1))
    else result=SURVIVED; survived=$((survived + 1)); fi
  elif [[ $result != "BUILD FAILED"* ]]; then
    caught=$((caught + 1))
  fi
  rows+=("$name|$result|$((SECONDS - t0))")
  printf '  %-44s %s  [%d s]\n' "$name" "$result" "$((SECONDS - t0))"
done
# The file taken back out carries a new time stamp: its object is rebuilt on the next run.

echo
echo "Mutation run: ${#mutants[@]} mutants, $caught caught, $equivalent equivalent, $survived survived, $broken not built; $((SECONDS - start)) s"
printf '| %s | %s | %s |\n' "Mutant" "Caught by (mode: test (rule or sanitizer))" "s"
printf '|---|---|---|\n'
for row in "${rows[@]}"; do
  IFS='|' read -r n r s <<<"$row"
  printf '| %s | %s | %s |\n' "$n" "$r" "$s"
done
((survived == 0 && broken == 0))

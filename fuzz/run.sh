#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz build (ASan+UBSan) for SECONDS each, one after the other,
# growing a corpus kept under build/fuzz-corpus/<target> (seeded from fuzz/corpus). Crash inputs land
# in build/fuzz-findings/. Prints executions, coverage and corpus size per target; exits non-zero
# when a target found something. Usage: fuzz/run.sh SECONDS [target-name-filter]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [filter]}
filter=${2:-}
JOBS=${JOBS:-$(nproc)}
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$JOBS" --target $(sed -n "s/^hct_add_fuzzer(\(fuzz_[a-z_]*\).*/\1/p" fuzz/CMakeLists.txt) >/dev/null || { echo "fuzz build failed"; exit 1; }

# A field of a target's hct_add_fuzzer call in fuzz/CMakeLists.txt (CORPUS: the seed folder the
# smoke test uses too; OPTIONS: libFuzzer flags for every run of it).
field_of() {
  sed -n "/^hct_add_fuzzer($1\$/,/)/s/^ *$2 \([^)]*\).*/\1/p" fuzz/CMakeLists.txt
}

mkdir -p build/fuzz-findings build/fuzz-logs
found=0
printf '%-26s %12s %10s %8s %8s %s\n' target executions exec/s cov features result
for bin in build/fuzz/bin/fuzz_*; do
  name=$(basename "$bin")
  [[ -x "$bin" && "$name" == *"$filter"* ]] || continue
  corpus=build/fuzz-corpus/$name
  mkdir -p "$corpus"
  seeds=$(field_of "$name" CORPUS)
  log=build/fuzz-logs/$name.log
  read -r -a extra <<<"$(field_of "$name" OPTIONS)"
  # -max_total_time bounds the run; timeout(1) bounds a hang of the target itself.
  timeout --kill-after=30 $((seconds + 120)) "$bin" -max_total_time="$seconds" -print_final_stats=1 "${extra[@]}" \
    -artifact_prefix=build/fuzz-findings/"$name"- "$corpus" ${seeds:+fuzz/$seeds} >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  result=ok
  if ((rc != 0)); then
    result="FOUND (exit $rc), see $log"
    found=1
  fi
  printf '%-26s %12s %10s %8s %8s %s\n' "$name" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$result"
  echo "  corpus $corpus: $(ls "$corpus" | wc -l) inputs"
done
exit $found

#!/usr/bin/env bash
# Instructions per input report, counted by callgrind: repeatable where timings are not.
#
#   bench/callgrind.sh [REPORTS] [--check]
#
# Runs bench_report_count (optimised host build, no sanitizers) under callgrind for the bare stack
# (class driver directly on the bus), the filter with the feature off and on with the debug print
# filter off ("quiet"), and the filter with every trace line formatted ("traced"); only the report
# loop is collected; the two quiet filter runs are repeated with the driver's DbgPrint calls compiled
# out. Prints per report: all instructions, the ratio to the bare stack, the driver's own code (self
# cost of usb/hct/ and report/, with and without its DbgPrint calls), DbgPrint's calls and cost, what the host layer and the
# neighbours spend on the filter's behalf, and where that goes. --check fails when a quiet run misses
# a target: the driver's own code at most 300 instructions, the stack at most 1.25x the bare one
# (MAX_DRIVER and MAX_RATIO in the environment move them; the test command uses looser ones as a
# guard against regressions). Output files stay in build/callgrind/.
set -euo pipefail
cd "$(dirname "$0")/.."
reports=2000
check=()
for arg in "$@"; do
  case $arg in
    --check) check=(--check) ;;
    ''|*[!0-9]*) echo "usage: bench/callgrind.sh [REPORTS] [--check]" >&2; exit 2 ;;
    *) reports=$arg ;;
  esac
done
command -v valgrind >/dev/null || { echo "bench/callgrind.sh: valgrind is not installed (scripts/deps.sh installs it)" >&2; exit 2; }

export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache} CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
command -v ccache >/dev/null || unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER
[ -f build/host-release/CMakeCache.txt ] || cmake --preset host-release >/dev/null
cmake --build --preset host-release --target bench_report_count bench_report_count_without_dbgprint >/dev/null

bin=build/host-release/bin/bench_report_count
out=build/callgrind
mkdir -p "$out"
# The driver's functions by name, as callgrind names them (demangled).
nm -C --defined-only build/host-release/usb/hct/libhct_driver.a build/host-release/report/libhct_report.a |
  sed -n 's/^[0-9a-f]* [tT] //p' | sort -u >"$out/driver-symbols.txt"

run() {  # run NAME STACK TRACE [BINARY]
  local name=$1 program=${4:-$bin}
  echo "--- $name: $("$program" "$2" "$3" "$reports")" >&2
  timeout 600 valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/$name.out" \
    "$program" "$2" "$3" "$reports" >/dev/null 2>"$out/$name.log" || { cat "$out/$name.log" >&2; exit 1; }
}
run bare bare quiet
run off-quiet off quiet
run on-quiet on quiet
run on-traced on traced
run off-quiet-without-dbgprint off quiet "${bin}_without_dbgprint"
run on-quiet-without-dbgprint on quiet "${bin}_without_dbgprint"
python3 bench/callgrind_report.py --reports "$reports" --driver-symbols "$out/driver-symbols.txt" "${check[@]}" \
  --max-driver "${MAX_DRIVER:-300}" --max-ratio "${MAX_RATIO:-1.25}" \
  --without-dbgprint off-quiet="$out/off-quiet-without-dbgprint.out" \
  --without-dbgprint on-quiet="$out/on-quiet-without-dbgprint.out" \
  --bare "$out/bare.out" off-quiet="$out/off-quiet.out" on-quiet="$out/on-quiet.out" on-traced="$out/on-traced.out"

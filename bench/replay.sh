#!/usr/bin/env bash
# hct-sim run --capture on captures of real size, against tshark on the same files.
#
#   bench/replay.sh [REPORTS ...]      (default: 10000 100000 300000 1000000)
#
# Builds hct-sim and grow_capture in the optimised host build (host-release), grows captures of
# REPORTS reports each from fuzz/corpus/captures/usbpcap-enumeration.pcap (a USBPcap capture of the
# built-in mouse: its enumeration copied, its interrupt transfers repeated, one report a millisecond),
# and for each one times `hct-sim run --capture FILE` (table to /dev/null) and
# `tshark -r FILE -T fields -e usbhid.data` one after the other, with /usr/bin/time for wall time and
# peak memory (maximum resident set size). Prints one line per size: reports per second, peak
# memory, tshark's time and memory, and how many times faster hct-sim was. Fails only when a run
# fails, never on a time. Captures stay in build/replay-bench/.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=("$@")
((${#sizes[@]})) || sizes=(10000 100000 300000 1000000)
for n in "${sizes[@]}"; do
  case $n in ''|*[!0-9]*) echo "usage: bench/replay.sh [REPORTS ...]" >&2; exit 2 ;; esac
done
[ -x /usr/bin/time ] || { echo "bench/replay.sh: /usr/bin/time is missing (Debian package time; scripts/deps.sh installs it)" >&2; exit 2; }
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j2 --target hct-sim grow_capture >/dev/null
bin=build/host-release/bin
dir=build/replay-bench
mkdir -p "$dir"
have_tshark=1
command -v tshark >/dev/null || { have_tshark=0; echo "bench/replay.sh: tshark is not installed (scripts/deps.sh installs it): hct-sim timed alone" >&2; }

measure() {  # measure OUTPUT COMMAND... -> "seconds kilobytes"
  local out=$1; shift
  /usr/bin/time -f "%e %M" -o "$dir/time.txt" "$@" >"$out" 2>"$dir/stderr.txt" || { cat "$dir/stderr.txt" >&2; return 1; }
  cat "$dir/time.txt"
}

printf '%10s %10s %12s %10s %10s %10s %8s\n' reports "hct-sim s" "reports/s" "peak MB" "tshark s" "tshark MB" "ratio"
for n in "${sizes[@]}"; do
  file=$dir/mouse-$n.pcap
  [ -s "$file" ] || "$bin/grow_capture" fuzz/corpus/captures/usbpcap-enumeration.pcap "$file" "$n" >/dev/null
  read -r hs hk < <(measure /dev/null "$bin/hct-sim" run --capture "$file")
  ts=- tk=- ratio=-
  if ((have_tshark)); then
    read -r ts tk < <(measure /dev/null tshark -r "$file" -T fields -e usbhid.data)
    tk=$(awk -v k="$tk" 'BEGIN { printf "%.1f", k / 1024 }')
    ratio=$(awk -v a="$ts" -v b="$hs" 'BEGIN { printf "%.1fx", (b > 0 ? a / b : 0) }')
  fi
  rate=$(awk -v n="$n" -v s="$hs" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }')
  mb=$(awk -v k="$hk" 'BEGIN { printf "%.1f", k / 1024 }')
  printf '%10s %10s %12s %10s %10s %10s %8s\n' "$n" "$hs" "$rate" "$mb" "$ts" "$tk" "$ratio"
done

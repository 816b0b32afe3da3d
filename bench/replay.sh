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
# peak memory (maximum resident set size). Prints one line per size: wall and CPU time, reports
# per second, peak memory, the same for tshark, and how many times faster hct-sim was. Fails only
# when a run fails, never on a time. Captures stay in build/replay-bench/.
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

measure() {  # measure OUTPUT COMMAND... -> "wall-seconds cpu-seconds kilobytes"
  local out=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$dir/time.txt" "$@" >"$out" 2>"$dir/stderr.txt" || { cat "$dir/stderr.txt" >&2; return 1; }
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$dir/time.txt"
}

# Wall and CPU seconds (user + system); reports/s from the CPU time, which the load of others on a
# shared machine disturbs less; the ratio is tshark's wall time over hct-sim's, measured back to back.
printf '%9s %9s %8s %11s %8s %9s %8s %9s %7s\n' reports "hct-sim s" "cpu s" "reports/s" "peak MB" "tshark s" "cpu s" "peak MB" ratio
for n in "${sizes[@]}"; do
  file=$dir/mouse-$n.pcap
  [ -s "$file" ] || "$bin/grow_capture" fuzz/corpus/captures/usbpcap-enumeration.pcap "$file" "$n" >/dev/null
  read -r hs hc hk < <(measure /dev/null "$bin/hct-sim" run --capture "$file")
  ts=- tc=- tk=- ratio=-
  if ((have_tshark)); then
    read -r ts tc tk < <(measure /dev/null tshark -r "$file" -T fields -e usbhid.data)
    tk=$(awk -v k="$tk" 'BEGIN { printf "%.1f", k / 1024 }')
    ratio=$(awk -v a="$ts" -v b="$hs" 'BEGIN { printf "%.1fx", (b > 0 ? a / b : 0) }')
  fi
  rate=$(awk -v n="$n" -v s="$hc" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }')
  mb=$(awk -v k="$hk" 'BEGIN { printf "%.1f", k / 1024 }')
  printf '%9s %9s %8s %11s %8s %9s %8s %9s %7s\n' "$n" "$hs" "$hc" "$rate" "$mb" "$ts" "$tc" "$tk" "$ratio"
done

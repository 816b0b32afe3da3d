#!/usr/bin/env bash
# Peak memory and time per report of hct-sim on inputs of a million, next to `run --reports` and
# next to tshark reading the same capture.
#
#   bench/memory.sh [REPORTS]      (default: 1000000)
#
# Builds hct-sim in the optimised host build (host-release) and makes, in build/memory-bench/:
#   reports.txt   REPORTS reports of the built-in mouse, one a line (four kinds in turn)
#   distinct.pcap the enumeration of the built-in mouse (fuzz/corpus/captures/usbpcap-enumeration.pcap)
#                 then REPORTS completed interrupt-IN transfers of as many distinct devices
#                 (USBPcap records, bus 2 and up, every address once), then the mouse's own reports
# and measures with /usr/bin/time -v (peak resident memory, wall and CPU time):
#   hct-sim run --reports reports.txt          the streaming path the others are compared with
#   hct-sim rewrite DESCRIPTOR < reports.txt   reports on standard input
#   hct-sim rewrite DESCRIPTOR --reports reports.txt   reports from a file (where this build takes it)
#   hct-sim run --capture distinct.pcap        a capture of a million devices
#   tshark -r distinct.pcap -T fields -e usbhid.data   what a user would pick for the capture
# A command that fails is named with its exit code and its first line on standard error; the
# script fails only when the inputs cannot be made, never on a figure.
set -uo pipefail
cd "$(dirname "$0")/.."
n=${1:-1000000}
case $n in ''|*[!0-9]*) echo "usage: bench/memory.sh [REPORTS]" >&2; exit 2 ;; esac
[ -x /usr/bin/time ] || { echo "bench/memory.sh: /usr/bin/time is missing (Debian package time)" >&2; exit 2; }
cmake --preset host-release >/dev/null && cmake --build --preset host-release -j2 --target hct-sim >/dev/null || exit 2
bin=build/host-release/bin
dir=build/memory-bench
mkdir -p "$dir"
python3 - "$n" "$dir" <<'EOF' || exit 2
import struct, sys
n, out = int(sys.argv[1]), sys.argv[2]
kinds = ["00 03 fe 00 01", "00 00 00 00 ff", "01 05 fb 01 00", "00 00 00 00 00"]
with open(f"{out}/reports.txt", "w") as f:
    f.write("\n".join(kinds[i % 4] for i in range(n)) + "\n")
src = open("fuzz/corpus/captures/usbpcap-enumeration.pcap", "rb").read()
head, body = src[:24], src[24:]
records, pos = [], 0
while pos + 16 <= len(body):
    sec, frac, cap, length = struct.unpack_from("<IIII", body, pos)
    records.append((sec, frac, body[pos + 16:pos + 16 + cap]))
    pos += 16 + cap
def is_interrupt(rec):
    return len(rec) >= 27 and rec[22] == 1
first = next(i for i, r in enumerate(records) if is_interrupt(r[2]))
with open(f"{out}/distinct.pcap", "wb") as f:
    f.write(head)
    for sec, frac, rec in records[:first]:
        f.write(struct.pack("<IIII", sec, frac, len(rec), len(rec)) + rec)
    sec, frac = records[first][0], records[first][1]
    for i in range(n):
        bus, address = 2 + i // 65536, i % 65536
        rec = struct.pack("<HQIHBHHBBI", 27, 0x100000 + i, 0, 9, 1, bus, address, 0x81, 1, 8) + bytes([i & 0xFF] * 8)
        f.write(struct.pack("<IIII", sec + i // 1000, frac, len(rec), len(rec)) + rec)
    for s, fr, rec in records[first:]:
        f.write(struct.pack("<IIII", s + n // 1000 + 1, fr, len(rec), len(rec)) + rec)
EOF
# The report descriptor of the built-in mouse (sim/default_mouse.h), as hex text.
echo "05 01 09 02 a1 01 09 01 a1 00 05 09 19 01 29 05 15 00 25 01 95 05 75 01 81 02 95 01 75 03 81 01 05 01 09 30 09 31 15 81 25 7f 75 08 95 02 81 06 09 38 95 01 81 06 05 0c 0a 38 02 81 06 c0 c0" >"$dir/mouse.txt"

measure() {  # measure NAME COMMAND... (standard input from $stdin): one line of figures
  local name=$1; shift
  /usr/bin/time -v -o "$dir/time.txt" "$@" <"${stdin:-/dev/null}" >/dev/null 2>"$dir/stderr.txt"
  local code=$?
  local peak wall user sys
  peak=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$dir/time.txt")
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { print $2 }' "$dir/time.txt")
  user=$(awk -F': ' '/User time/ { print $2 }' "$dir/time.txt")
  sys=$(awk -F': ' '/System time/ { print $2 }' "$dir/time.txt")
  awk -v name="$name" -v n="$n" -v k="$peak" -v w="$wall" -v u="$user" -v s="$sys" -v code="$code" 'BEGIN {
    cpu = u + s; split(w, p, ":"); secs = (length(p) == 3 ? p[1] * 3600 + p[2] * 60 + p[3] : p[1] * 60 + p[2]);
    printf "%-44s %5d %10.1f %9.2f %9.2f %12.2f\n", name, code, k / 1024, secs, cpu, (n > 0 ? cpu * 1e6 / n : 0) }'
  ((code == 0 || code == 3)) || echo "    (exit $code: $(head -c 300 "$dir/stderr.txt" | head -1))"
}

printf '%-44s %5s %10s %9s %9s %12s\n' "$n reports" exit "peak MB" "wall s" "cpu s" "us/report"
stdin= measure "hct-sim run --reports FILE" "$bin/hct-sim" run --reports "$dir/reports.txt"
stdin=$dir/reports.txt measure "hct-sim rewrite DESCRIPTOR < FILE" "$bin/hct-sim" rewrite "$dir/mouse.txt"
stdin= measure "hct-sim rewrite DESCRIPTOR --reports FILE" "$bin/hct-sim" rewrite "$dir/mouse.txt" --reports "$dir/reports.txt"
stdin= measure "hct-sim run --capture (distinct devices)" "$bin/hct-sim" run --capture "$dir/distinct.pcap"
if command -v tshark >/dev/null; then
  stdin= measure "tshark -r (distinct devices) -e usbhid.data" tshark -r "$dir/distinct.pcap" -T fields -e usbhid.data
else
  echo "tshark is not installed: not measured"
fi

#!/usr/bin/env bash
# Writes the example captures again, from the repository's root or anywhere:
#   mouse.pcap    the built-in mouse's session as hct-sim run --write-capture writes it (USBPcap, the
#                 mouse below and above the filter; run --capture replays the view below)
#   mouse.pcapng  the same capture in pcapng, as Wireshark's editcap converts it
#   late.pcap     a usbmon capture started after the mouse was plugged in (no enumeration): the
#                 built-in mouse's reports at device 1.5 and the root hub's at 1.1 (the capture
#                 reader's fuzz seed, fuzz/corpus/captures/usbmon-late.pcap)
#   usb.pcap      a USBPcap capture of the built-in mouse's enumeration and reports at device 1.5,
#                 with a keyboard's report at 1.4 (fuzz/corpus/captures/usbpcap-enumeration.pcap)
# Usage: examples/make-captures.sh [HCT_SIM] (default build/host-release/bin/hct-sim)
set -euo pipefail
cd "$(dirname "$0")/.."
hct_sim=${1:-build/host-release/bin/hct-sim}
"$hct_sim" run --write-capture examples/mouse.pcap >/dev/null
editcap -F pcapng examples/mouse.pcap examples/mouse.pcapng
cp fuzz/corpus/captures/usbmon-late.pcap examples/late.pcap
cp fuzz/corpus/captures/usbpcap-enumeration.pcap examples/usb.pcap

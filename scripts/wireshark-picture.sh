#!/usr/bin/env bash
# Makes docs/wireshark.png: a capture written by `hct-sim run --write-capture`, opened in Debian's
# Wireshark under Xvfb, showing the completed interrupt reads of both views with one rewritten
# report's fields open. Run by hand (not by the test command); installs what it needs.
#   scripts/wireshark-picture.sh [HCT_SIM_BINARY] [OUTPUT_PNG]
set -euo pipefail
cd "$(dirname "$0")/.."
hct_sim=${1:-build/host-release/bin/hct-sim}
out=${2:-docs/wireshark.png}
pkgs=(wireshark-qt xvfb imagemagick xauth)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

tmp=$(mktemp -d)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$tmp"; }
trap cleanup EXIT

"$hct_sim" run --write-capture "$tmp/session.pcap" >/dev/null
# The first rewritten report, as the class driver got it: the second completed read in the view above.
frame=$(tshark -r "$tmp/session.pcap" -Y 'usb.bus_id == 2 && usb.transfer_type == 1 && usb.irp_info.direction == 1' \
          -T fields -e frame.number 2>/dev/null | head -1)

display=:${HCT_PICTURE_DISPLAY:-87}
width=1000 height=640
Xvfb "$display" -screen 0 ${width}x${height}x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 2
# A fresh profile of our own: the window filling the screen, no byte view, and a column with each
# report's bytes, so that a report below the filter and the same read above it stand one under the other.
mkdir -p "$tmp/config/wireshark"
cat >"$tmp/config/wireshark/recent_common" <<RECENT
gui.geometry_main_x: 0
gui.geometry_main_y: 0
gui.geometry_main_width: $width
gui.geometry_main_height: $height
gui.geometry_main_maximized: TRUE
RECENT
cat >"$tmp/config/wireshark/recent" <<RECENT
gui.byte_view_show: FALSE
gui.time_format: RELATIVE
RECENT
columns='"No.","%m","Source","%s","Destination","%d","USBD status","%Cus:usb.usbd_status:0:U","Report bytes","%Cus:usbhid.data:0:R","Info","%i"'
HOME=$tmp XDG_CONFIG_HOME=$tmp/config DISPLAY=$display \
  wireshark -r "$tmp/session.pcap" -Y 'usb.transfer_type == 1 && usb.irp_info.direction == 1' -g "$frame" \
            -o "gui.column.format:$columns" -o gui.packet_list_show_minimap:FALSE >/dev/null 2>&1 &
pids+=($!)
sleep "${HCT_PICTURE_WAIT:-12}"
mkdir -p "$(dirname "$out")"
DISPLAY=$display import -window root -crop 960x480+0+0 +repage -colors 32 "$out"
echo "$out: $(stat -c %s "$out") bytes"

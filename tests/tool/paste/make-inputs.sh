#!/usr/bin/env bash
# Writes the pasted forms of two report descriptors, each made by the tool whose output it is, for
# the paste reader's table test. The descriptors are the raw files beside this script:
#   mouse.bin     the built-in mouse (63 bytes, no report ID)
#   mouse-id.bin  a mouse with report ID 1 and a consumer collection with ID 2 (104 bytes, so the
#                 dumps' offsets pass 0x40)
# Each form NAME.FORM.txt holds exactly the bytes of NAME.bin: the test expects those bytes.
# Needs xxd, od, hexdump, tshark, python3, node and iconv. Run it from anywhere; it writes here.
set -euo pipefail
cd "$(dirname "$0")"

for name in mouse mouse-id; do
  bin=$name.bin
  # Wireshark: tshark -x prints a frame as the GUI's "Copy as Hex Dump" does, offset, bytes and
  # ASCII column (two blanks after the offset where the GUI puts three). The frame is a pcap of
  # one record of link type USER0 holding the descriptor alone.
  python3 - "$bin" "$name.pcap.tmp" <<'EOF'
import struct, sys
d = open(sys.argv[1], 'rb').read()
with open(sys.argv[2], 'wb') as f:
    f.write(struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, 147))
    f.write(struct.pack('<IIII', 0, 0, len(d), len(d)) + d)
EOF
  tshark -r "$name.pcap.tmp" -x 2>/dev/null >"$name.wireshark.txt"
  rm "$name.pcap.tmp"
  # The GUI's "Copy as Hex Dump" without its ASCII column: three blanks after the offset, bytes only.
  sed -E 's/^([0-9a-f]{4})  (.{47}).*$/\1   \2/; s/ +$//' "$name.wireshark.txt" >"$name.wireshark-no-ascii.txt"
  xxd -p -c 256 "$bin" | sed 's/../& /g' >"$name.hex.txt"
  od -Ax -tx1 "$bin" >"$name.od-ax.txt"
  od -tx1 "$bin" >"$name.od.txt"
  hexdump -C "$bin" >"$name.hexdump-c.txt"
  # hexdump -C with its ASCII column cut off, as a narrow terminal or a careless copy leaves it.
  cut -c1-58 "$name.hexdump-c.txt" | sed 's/ *$//' >"$name.hexdump-c-cut.txt"
  xxd "$bin" >"$name.xxd.txt"
  xxd -i "$bin" >"$name.xxd-i.txt"
  # A C array as a driver's source holds one, 8 bytes a line, with a comment.
  python3 -c '
import sys
d = open(sys.argv[1], "rb").read()
print("/* report descriptor */\nstatic const unsigned char rdesc[%d] = {" % len(d))
for i in range(0, len(d), 8):
    print("    " + ", ".join("0x%02X" % b for b in d[i:i + 8]) + ",")
print("};")' "$bin" >"$name.c-array.txt"
  python3 -c 'import sys; print(list(open(sys.argv[1], "rb").read()))' "$bin" >"$name.python-list.txt"
  python3 -c 'import sys; print("[" + ", ".join(hex(b) for b in open(sys.argv[1], "rb").read()) + "]")' "$bin" >"$name.python-hex-list.txt"
  # node's console.log of an array: of more than 100 items it shows 100 and "... N more items", so
  # the longer mouse's is cut (a refusal); JSON.stringify prints it whole.
  node -e 'console.log(Array.from(require("fs").readFileSync(process.argv[1])))' "$bin" >"$name.js-list.txt"
  node -e 'console.log(JSON.stringify(Array.from(require("fs").readFileSync(process.argv[1]))))' "$bin" >"$name.js-json.txt"
  python3 -c 'import sys; print(open(sys.argv[1], "rb").read())' "$bin" >"$name.bytes-literal.txt"
  # hid-recorder's recording of the device, with no events: written by hand from its format
  # (N:, P:, I: lines, "R: <length> <bytes>"), as no device is recorded here.
  { echo "# hid-recorder recording, no events"
    echo "N: Example Mouse"
    echo "P: usb-0000:00:14.0-2/input0"
    echo "I: 3 046d c077"
    echo "R: $(stat -c %s "$bin") $(xxd -p -c 1000 "$bin" | sed 's/../& /g; s/ $//')"; } >"$name.hid-recorder.txt"
  # usbhid-dump's output: written by hand from its documented format (a "BUS:DEV:IFACE:DESCRIPTOR
  # seconds.microseconds" header, then the bytes in upper-case hex, each with a blank before it, and
  # a blank line), as there is no USB device on this machine to dump. 32 bytes a line is a guess at
  # its line width; the reader takes lines of any width.
  { echo "001:005:000:DESCRIPTOR         1700000000.123456"
    xxd -p -c 32 "$bin" | sed 's/../ \U&/g'
    echo; } >"$name.usbhid-dump.txt"
done

# Hex text written by hand, with the comments people leave in it: '#' (as hid-decode writes),
# "//" and "/* */", and bytes as 0x05, 0X1 and run together.
cat >mouse.hex-comments.txt <<'EOF'
# the built-in mouse
0x05 0X1 09 02  // Usage Page (Generic Desktop), Usage (Mouse)
a101 /* Collection (Application) */ 0901 a100
05 09 19 01 29 05 15 00 25 01 95 05 75 01 81 02 95 01 75 03 81 01
05 01 09 30 09 31 15 81 25 7f 75 08 95 02 81 06 # X, Y
09 38 95 01 81 06 05 0c 0a 38 02 81 06 c0 c0
EOF

# Windows PowerShell's ">" writes UTF-16 little endian with its byte-order mark and CRLF lines:
# the xxd -p hex of the built-in mouse so saved. The other mouse's hex is in UTF-16 big endian.
xxd -p mouse.bin | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >mouse.utf16.txt
xxd -p mouse-id.bin | iconv -f UTF-8 -t UTF-16BE | { printf '\xfe\xff'; cat; } >mouse-id.utf16.txt

# Refused inputs.
# An xxd dump with a line's offset changed (0x30 written 0x40): a line seems missing.
sed 's/^00000030:/00000040:/' mouse-id.xxd.txt >bad-offset.xxd.txt
# A text under a name that is read as raw bytes (upper case is no matter).
cp mouse-id.xxd.txt mouse-id.xxd.RDESC
# od without its offset column, of a descriptor with 48 zero bytes after it: the "*" it writes for
# the repeated lines cannot be counted.
{ cat mouse.bin; head -c 48 /dev/zero; } | od -An -tx1 >repeated.od-an.txt
# The raw descriptor under a name that is not read as raw bytes.
cp mouse.bin mouse-raw.dat
# lsusb -v's report descriptor dump (written from its format, no device here): none of the forms.
cat >lsusb.txt <<'EOF'
          Report Descriptor: (length is 63)
            Item(Global): Usage Page, data= [ 0x01 ] 1
                            Generic Desktop Controls
            Item(Local ): Usage, data= [ 0x02 ] 2
                            Mouse
EOF

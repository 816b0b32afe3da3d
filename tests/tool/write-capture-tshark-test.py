#!/usr/bin/env python3
"""Opens captures written by `hct-sim run --write-capture` in Wireshark's own dissectors (tshark):
from the built-in mouse, from a hid-recorder recording and from the replay of a written capture.

Each capture must hold no malformed packet but the filter's probe reply (the mouse answers the
string request at index 200 with the raw bytes "START", no string descriptor, and Wireshark says
so), the class driver's URB functions in the view above the filter (bus 2), the converted control
transfers in the view below it (bus 1), the report descriptor's items decoded by the HID
dissector, and reports whose interrupt data differ between the views in the wheel byte only.

Usage: write-capture-tshark-test.py HCT_SIM_BINARY
Exit 77 (skipped, as ctest shows it) when tshark is not installed.
"""
import os
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
WHEEL_BYTE = 3  # the built-in mouse: buttons, X, Y, wheel, AC pan
DESCRIPTOR = (
    "05 01 09 02 a1 01 09 01 a1 00 05 09 19 01 29 05 15 00 25 01 95 05 75 01 81 02 95 01 75 03 81 01 "
    "05 01 09 30 09 31 15 81 25 7f 75 08 95 02 81 06 09 38 95 01 81 06 05 0c 0a 38 02 81 06 c0 c0")
RECORDING = (
    "# hid-recorder\nN: Recorded Mouse\nI: 3 1234 5678\nR: 63 " + DESCRIPTOR + "\n"
    "E: 0.000000 5 00 01 01 00 05\nE: 0.004000 5 00 00 00 01 00\nE: 0.012000 5 04 00 00 ff 80\n")
CLASS_SEQUENCE = ["0x000b", "0x000b", "0x000b", "0x0000", "0x001b", "0x0028", "0x0009"]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def tshark(path, display_filter, *fields):
    args = ["tshark", "-r", path, "-Y", display_filter, "-T", "fields", "-E", "separator=\t"]
    for f in fields:
        args += ["-e", f]
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        failures.append(f"{path}: tshark -Y '{display_filter}' failed: {done.stderr.strip()}")
        return []
    return [line.split("\t") for line in done.stdout.splitlines()]


def check_capture(path):
    name = os.path.basename(path)
    # The probe: the filter's own request for string 200, in the view below only.
    probes = tshark(path, "usb.irp_info.direction == 0 && usb.DescriptorIndex == 0xc8 && usb.bDescriptorType == 3",
                    "usb.bus_id", "usb.irp_id")
    check([bus for bus, _ in probes] == ["1"], f"{name}: the string-200 probe, below the filter only: {probes}")
    probe_irps = {irp for _, irp in probes}
    malformed = tshark(path, "_ws.malformed || _ws.expert.severity >= \"error\"", "frame.number", "usb.bus_id",
                       "usb.irp_id", "usb.irp_info.direction")
    for frame, bus, irp, direction in malformed:
        check(bus == "1" and irp in probe_irps and int(direction, 0) == 1,
              f"{name}: frame {frame} is malformed and is no reply to the probe")

    above = [f for (f,) in tshark(path, "usb.bus_id == 2 && usb.irp_info.direction == 0", "usb.function")]
    check(above[:len(CLASS_SEQUENCE)] == CLASS_SEQUENCE,
          f"{name}: the class driver's URB functions above the filter: {above[:10]}")
    below = tshark(path, "usb.bus_id == 1 && usb.irp_info.direction == 1 && usb.transfer_type == 2",
                   "usb.function", "usb.control_stage")
    functions = [f for f, _ in below]
    check(len(functions) == 7 and functions.count("0x0000") == 1 and functions.count("0x0008") == 6,
          f"{name}: the control transfers coming back below the filter, converted in place: {below}")

    items = tshark(path, "usbhid.item.local.usage && usb.transfer_type == 2", "usb.bus_id", "usbhid.item.global.usage", "usbhid.item.local.usage")
    check(sorted(bus for bus, *_ in items) == ["1", "2"], f"{name}: one decoded report descriptor per view: {items}")
    for bus, pages, usages in items:
        check("0x0c" in pages.split(",") and {"0x30", "0x31", "0x38"} <= set(usages.split(",")),
              f"{name}: bus {bus}: the HID dissector's items miss X, Y, the wheel or the consumer page: {pages} / {usages}")

    reports = tshark(path, "usb.transfer_type == 1 && usb.irp_info.direction == 1 && usb.usbd_status == 0",
                     "usb.bus_id", "usb.irp_id", "usbhid.data", "usb.capdata")
    by_irp = {}
    for bus, irp, hid, raw in reports:
        by_irp.setdefault(irp, {})[bus] = bytes.fromhex((hid or raw).replace(":", ""))
    rewritten = 0
    for irp, views in by_irp.items():
        if not check(set(views) == {"1", "2"}, f"{name}: read {irp} in one view only"):
            continue
        sent, received = views["1"], views["2"]
        changed = [i for i in range(max(len(sent), len(received)))
                   if i >= len(sent) or i >= len(received) or sent[i] != received[i]]
        check(changed in ([], [WHEEL_BYTE]), f"{name}: read {irp}: {sent.hex()} below, {received.hex()} above")
        rewritten += changed == [WHEEL_BYTE]
    check(len(by_irp) >= 3 and rewritten >= 1, f"{name}: {len(by_irp)} reports, {rewritten} rewritten")
    return len(by_irp), rewritten


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if shutil.which("tshark") is None:
        print("SKIPPED: tshark is not installed (scripts/deps.sh installs it)")
        return SKIPPED
    hct_sim = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="hct-tshark-") as tmp:
        recording = os.path.join(tmp, "mouse.hidrec")
        with open(recording, "w") as f:
            f.write(RECORDING)
        builtin, recorded, replayed = (os.path.join(tmp, n) for n in ("builtin.pcap", "recording.pcap", "replay.pcap"))
        for args, target in (([], builtin), (["--recording", recording], recorded), (["--capture", builtin], replayed)):
            done = subprocess.run([hct_sim, "run", *args, "--write-capture", target], capture_output=True, text=True)
            if done.returncode != 0:
                print(f"hct-sim run {' '.join(args)} failed ({done.returncode}): {done.stderr}")
                return 1
        for path in (builtin, recorded, replayed):
            count, rewritten = check_capture(path)
            print(f"{os.path.basename(path)}: {count} reports in both views, {rewritten} rewritten in the wheel byte")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

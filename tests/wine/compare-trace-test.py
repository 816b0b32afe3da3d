#!/usr/bin/env python3
"""Checks compare-trace.py on small made-up traces: Wine's record form is undone exactly, one
changed byte fails, an allowed difference passes only while it still occurs."""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
P = "0128:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: "
failures = 0


def compare(host, log, allow=""):
    with tempfile.TemporaryDirectory() as d:
        paths = [os.path.join(d, n) for n in ("host", "log", "allow")]
        for path, data in zip(paths, (host, log, allow.encode())):
            open(path, "wb").write(data)
        r = subprocess.run([sys.executable, os.path.join(HERE, "compare-trace.py")] + paths,
                           capture_output=True, text=True)
        return r.returncode, r.stdout


def expect(what, got, code, text=""):
    global failures
    ok = got[0] == code and text in got[1]
    print("%s: %s" % ("PASS" if ok else "FAIL", what))
    if not ok:
        failures += 1
        print(got[1])


# The driver wrote "\n\r A", "B\n", "\n\r C" and "[X]"; a fake and another channel wrote between.
host = b"\n\r A" + b"B\n" + b"\n\r C" + b"[X]"
log = (P + "\n\r A\n" + P + "hctwine-bus: plug\n" + P + "B\n" + "0030:err:ntoskrnl:x something\n" +
       P + "\n\r C\n" + P + "[X]\n").encode()
# Wine's output cannot show that "B\n" ended in its own line feed: the host has one empty line more.
lost = "why: lost line feed\n- \n"
expect("records joined again, the fakes' and other channels' lines left out", compare(host, log, lost), 0, "PASS")
expect("the line feed Wine hides is a difference of its own", compare(host, log), 1, "host line 3")
expect("one byte changed fails, naming both lines",
       compare(host.replace(b"C", b"D"), log, lost), 1, "- \\r D[X]\n+ \\r C[X]")
expect("an allow-list entry that matches nothing fails",
       compare(host, log, lost + "why: stale\n- \\r Z\n"), 1, "matches no difference")
sys.exit(1 if failures else 0)

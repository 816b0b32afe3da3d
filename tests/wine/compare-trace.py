#!/usr/bin/env python3
"""Compares the driver's trace from a Wine run with the host build's trace of the same scenario.

  compare-trace.py HOST_RAW WINE_LOG ALLOW_LIST [WINE_TRACE_OUT]

HOST_RAW is the exact bytes of `hct-sim run --script ... --trace=raw` (the trace only). WINE_LOG is
Wine's standard error with the warn+debugstr channel: every DbgPrint is one record there, the text
after the "vDbgPrintExWithPrefix ID:LEVEL: " prefix, with a line feed of Wine's own after a text that
does not end in one. The texts of hct.sys's records (the fakes' start with "hctwine-") are joined
again into the stream a kernel debugger shows. Both streams are cut into lines at each line feed,
carriage returns kept, and compared line for line, byte for byte. A difference passes only when an
entry of ALLOW_LIST names exactly its lines on both sides; an entry that matches nothing fails too.
Exit status 0 equal (but for the allowed differences), 1 different, 2 usage or unreadable input.
"""
import difflib
import re
import sys

HEADER = re.compile(rb"^[0-9a-f]+:(?:warn|err|fixme|trace):")
DBGPRINT = re.compile(rb"^[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]+:[0-9a-f]+: ")


def wine_stream(log):
    texts, current = [], None
    if log.endswith(b"\n"):
        log = log[:-1]  # the last record's own end
    for line in log.split(b"\n"):
        if HEADER.match(line):
            if current is not None:
                texts.append(current)
            m = DBGPRINT.match(line)
            current = line[m.end():] if m else None
        elif current is not None:
            current += b"\n" + line
    if current is not None:
        texts.append(current)
    # The last line of each record is the line feed Wine writes after it (or the text's own).
    return b"".join(t for t in texts if not t.startswith(b"hctwine-"))


def show(line):
    """A line as the allow-list writes it: printable ASCII as is, \\r and other bytes escaped."""
    out = []
    for b in line:
        if b == 0x5C:
            out.append("\\\\")
        elif b == 0x0D:
            out.append("\\r")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def read_allow_list(path):
    entries, entry = [], None
    with open(path, encoding="ascii") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("why: "):
                entry = {"why": line[5:], "host": [], "wine": [], "line": number, "used": 0}
                entries.append(entry)
            elif entry is not None and (line.startswith("- ") or line == "-"):
                entry["host"].append(line[2:])
            elif entry is not None and (line.startswith("+ ") or line == "+"):
                entry["wine"].append(line[2:])
            else:
                raise ValueError("%s:%d: expected \"why: ...\", \"- line\" or \"+ line\"" % (path, number))
    return entries


def main(argv):
    if len(argv) not in (4, 5):
        sys.stderr.write(__doc__)
        return 2
    try:
        host = open(argv[1], "rb").read()
        wine = wine_stream(open(argv[2], "rb").read())
        entries = read_allow_list(argv[3])
    except (OSError, ValueError) as e:
        print("FAIL: trace comparison: %s" % e)
        return 2
    if len(argv) == 5:
        open(argv[4], "wb").write(wine)
    if not host or not wine:
        print("FAIL: trace comparison: the %s trace is empty" % ("host" if not host else "Wine"))
        return 1
    host_lines = [show(l) for l in host.split(b"\n")]
    wine_lines = [show(l) for l in wine.split(b"\n")]
    unexplained = []
    matcher = difflib.SequenceMatcher(None, host_lines, wine_lines, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            continue
        hunk = (host_lines[i1:i2], wine_lines[j1:j2])
        entry = next((e for e in entries if (e["host"], e["wine"]) == hunk), None)
        if entry:
            entry["used"] += 1
        else:
            unexplained.append((i1 + 1, j1 + 1, hunk))
    stale = [e for e in entries if not e["used"]]
    for host_at, wine_at, (h, w) in unexplained:
        print("FAIL: trace: host line %d / Wine line %d differ, and no allow-list entry names it:" % (host_at, wine_at))
        for line in h:
            print("- " + line)
        for line in w:
            print("+ " + line)
    for e in stale:
        print("FAIL: trace: allow-list entry at line %d (%s) matches no difference" % (e["line"], e["why"]))
    if unexplained or stale:
        return 1
    print("PASS: driver trace: the Wine run and the host build agree on all %d lines, byte for byte, but for the %d "
          "difference(s) %s names" % (len(host_lines), sum(e["used"] for e in entries), argv[3]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

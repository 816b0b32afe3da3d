#!/usr/bin/env python3
"""Per-report instruction figures from callgrind output files (see bench/callgrind.sh).

  callgrind_report.py --reports N --driver-symbols FILE --bare BARE.out NAME=RUN.out ... [--check]

The driver's own code is every function defined in usb/hct/ and report/ (the names in
--driver-symbols, as `nm -C` prints them); its self cost is what it executes itself, inlined kernel
helpers included. DbgPrint's cost is the inclusive cost of every call into it. What the host layer
and the simulated neighbours spend on the filter's behalf is the rest of the difference to the bare
stack; the functions whose self cost grew most against the bare stack show where it goes.
"""
import argparse
import collections
import re
import sys

DBGPRINT = "DbgPrint"


class Profile:
    def __init__(self, path):
        self.self_cost = collections.Counter()  # function -> Ir executed in it
        self.call_cost = collections.Counter()  # (caller, callee) -> inclusive Ir of the calls
        self.calls = collections.Counter()      # (caller, callee) -> number of calls
        self.total = 0
        self._parse(path)

    def _parse(self, path):
        names = {}  # fn and cfn share one table of compressed names; file and object names are not needed

        def name(spec):
            # "(id) name" defines a compressed name, "(id)" refers to one, a bare name is itself.
            m = re.match(r"\((\d+)\)(?: (.*))?$", spec)
            if not m:
                return spec
            if m.group(2) is not None:
                names[m.group(1)] = m.group(2)
            return names[m.group(1)]

        fn = None
        callee = None
        pending_calls = None
        with open(path, encoding="utf-8", errors="replace") as f:
            for raw in f:
                line = raw.rstrip("\n")
                if not line:
                    continue
                c = line[0]
                if c.isdigit() or c in "+-*":
                    parts = line.split()
                    cost = int(parts[1]) if len(parts) > 1 else 0
                    if pending_calls is not None:
                        self.call_cost[(fn, callee)] += cost
                        self.calls[(fn, callee)] += pending_calls
                        pending_calls = None
                    else:
                        self.self_cost[fn] += cost
                    continue
                key, _, value = line.partition("=")
                if key == "fn":
                    fn = name(value)
                elif key == "cfn":
                    callee = name(value)
                elif key == "calls":
                    pending_calls = int(value.split()[0])
                elif key == "summary" or key == "totals":
                    self.total = max(self.total, int(value.split()[0]))
        if self.total == 0:
            self.total = sum(self.self_cost.values())

    def inclusive_into(self, function):
        return sum(cost for (caller, callee), cost in self.call_cost.items() if callee == function and caller != function)

    def calls_into(self, function):
        return sum(n for (caller, callee), n in self.calls.items() if callee == function and caller != function)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reports", type=int, required=True)
    ap.add_argument("--driver-symbols", required=True)
    ap.add_argument("--bare", required=True)
    ap.add_argument("--check", action="store_true", help="fail when a target is missed")
    ap.add_argument("--max-driver", type=float, default=300.0)
    ap.add_argument("--max-ratio", type=float, default=1.25)
    ap.add_argument("--top", type=int, default=12)
    ap.add_argument("--without-dbgprint", action="append", default=[], metavar="NAME=FILE",
                    help="the run NAME with the driver's DbgPrint calls compiled out")
    ap.add_argument("runs", nargs="+", help="NAME=FILE; names ending in '-quiet' are checked against the targets")
    args = ap.parse_args()

    with open(args.driver_symbols, encoding="utf-8") as f:
        driver = {line.strip() for line in f if line.strip()}
    n = args.reports
    bare = Profile(args.bare)
    without = dict(spec.split("=", 1) for spec in args.without_dbgprint)

    def driver_cost(profile):
        return sum(cost for fn, cost in profile.self_cost.items() if fn in driver) / n
    print(f"reports per run: {n}")
    print(f"{'stack':<22}{'Ir/report':>11}{'x bare':>8}{'driver':>9}{'no dbgp':>9}{'DbgPrint':>10}{'calls':>7}{'Ir/call':>9}{'host+sim':>10}")
    print(f"{'bare':<22}{bare.total / n:>11.0f}{1.0:>8.2f}")
    failures = []
    details = []
    for spec in args.runs:
        label, _, path = spec.partition("=")
        p = Profile(path)
        total = p.total / n
        driver_self = driver_cost(p)
        own = driver_cost(Profile(without[label])) if label in without else None
        dbg = p.inclusive_into(DBGPRINT) / n
        dbg_calls = p.calls_into(DBGPRINT) / n
        per_call = dbg / dbg_calls if dbg_calls else 0.0
        behalf = total - bare.total / n - driver_self
        ratio = p.total / bare.total
        own_text = f"{own:>9.0f}" if own is not None else f"{'-':>9}"
        print(f"{label:<22}{total:>11.0f}{ratio:>8.2f}{driver_self:>9.0f}{own_text}{dbg:>10.0f}{dbg_calls:>7.1f}{per_call:>9.1f}{behalf:>10.0f}")
        grown = []
        for fn in set(p.self_cost) | set(bare.self_cost):
            if fn in driver:
                continue
            delta = (p.self_cost.get(fn, 0) - bare.self_cost.get(fn, 0)) / n
            if abs(delta) >= 1:
                grown.append((delta, fn))
        grown.sort(reverse=True)
        details.append((label, grown[: args.top],
                        sorted(((cost / n, fn) for fn, cost in p.self_cost.items() if fn in driver), reverse=True)))
        if label.endswith("-quiet"):
            checked = own if own is not None else driver_self
            if checked > args.max_driver:
                failures.append(f"{label}: the driver's own code runs {checked:.0f} instructions per report without DbgPrint (at most {args.max_driver:.0f})")
            if ratio > args.max_ratio:
                failures.append(f"{label}: {ratio:.2f}x the bare stack (at most {args.max_ratio:.2f}x)")
    print("\ncolumns: driver = self cost of usb/hct/ and report/ functions; no dbgp = the same with the driver's DbgPrint")
    print("calls compiled out (what its own code costs without them); DbgPrint = inclusive cost of its calls;")
    print("host+sim = the rest of the difference to the bare stack, DbgPrint included (host layer and neighbours on the filter's behalf)")
    for label, grown, own in details:
        print(f"\n{label}: the driver's functions (Ir per report)")
        for cost, fn in own:
            if cost >= 0.5:
                print(f"  {cost:>8.1f}  {fn}")
        print(f"{label}: other functions whose self cost grew most against the bare stack (Ir per report)")
        for delta, fn in grown:
            print(f"  {delta:>+8.1f}  {fn}")
    if args.check:
        for failure in failures:
            print("TARGET MISSED: " + failure)
        return 1 if failures else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())

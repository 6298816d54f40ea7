"""The speed targets of the package's split and combine, each beside its reference.

Run with the installed wheel:  python bench/bench_targets.py [--rounds 11] [--no-counts]
    [--other PYTHON] [--json FILE]

Every workload and its reference are timed in one interleaved run: each round times every case
once (a batch of calls for a fast case), and the figure is the median over the rounds. A
reference is a call of the same run (one os.urandom(136), or varnhold_core on the same secret);
with --other PYTHON (the interpreter of an environment holding an earlier wheel) every round also
times the same cases there, alternating with this one, so that "before" and "after" share the
machine's load, and the ratio of each case to its own figure there is shown too.

Instructions per call (callgrind) and system calls per call (strace -c) are counted as in
bench.py: the difference of two runs that differ only in the number of calls. Valgrind gives a
program no vDSO, so a split's instructions are those of its getrandom fallback.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench import callgrind_instructions, repeat, strace_calls  # shared with bench.py

SECRET = bytes(range(32))
URANDOM = "os.urandom(136)"


def _varnhold():
    import varnhold

    return varnhold


def _core():
    import varnhold_core

    return varnhold_core


def _safe_split(k, n):
    return lambda: (_varnhold().split, (SECRET, k, n))


def _safe_split_blakley(k, n):
    return lambda: (lambda s: _varnhold().split(s, k, n, scheme="blakley"), (SECRET,))


def _safe_combine(k, scheme):
    def setup():
        v = _varnhold()
        shares = v.split(SECRET, k, k, scheme=scheme) if scheme == "blakley" else None
        return v.combine, (shares if shares is not None else v.split(SECRET, k, k),)

    return setup


def _core_split(k, n):
    return lambda: (_core().shamir_split, (SECRET, k, n))


def _core_combine(k, scheme):
    def setup():
        vc = _core()
        split = vc.blakley_split if scheme == "blakley" else vc.shamir_split
        combine = vc.blakley_combine if scheme == "blakley" else vc.shamir_combine
        return combine, (split(SECRET, k, k), k)

    return setup


# name -> (setup returning the function and its arguments, seconds a sample at most, call counts
# of the two counted runs or None where callgrind would take many minutes).
CASES = {
    URANDOM: (lambda: (os.urandom, (136,)), 0.002, (500, 1500)),
    "varnhold.split 3-of-5": (_safe_split(3, 5), 0.002, (500, 1500)),
    "varnhold.combine k=3": (_safe_combine(3, "shamir"), 0.002, (500, 1500)),
    "core blakley_combine k=3": (_core_combine(3, "blakley"), 0.002, (500, 1500)),
    "varnhold.combine blakley k=3": (_safe_combine(3, "blakley"), 0.002, (500, 1500)),
    "core blakley_combine k=128": (_core_combine(128, "blakley"), 0.02, (2, 4)),
    "varnhold.combine blakley k=128": (_safe_combine(128, "blakley"), 0.02, (2, 4)),
    "core blakley_combine k=1024": (_core_combine(1024, "blakley"), 0, None),
    "varnhold.combine blakley k=1024": (_safe_combine(1024, "blakley"), 0, None),
    "core shamir_split 2-of-65536": (_core_split(2, 65536), 0, (1, 2)),
    "varnhold.split 2-of-65536": (_safe_split(2, 65536), 0, (1, 2)),
    "varnhold.split 10-of-20": (_safe_split(10, 20), 0.002, (200, 600)),
    "varnhold.split 128-of-255": (_safe_split(128, 255), 0.01, (2, 4)),
    "varnhold.combine k=10": (_safe_combine(10, "shamir"), 0.002, (200, 600)),
    "varnhold.combine k=128": (_safe_combine(128, "shamir"), 0.01, (2, 4)),
    "varnhold.combine k=1024": (_safe_combine(1024, "shamir"), 0, (1, 2)),
}

# workload -> (its reference: a case of this run, or None for the same case in the other
# environment; the target ratio).
TARGETS = {
    "varnhold.split 3-of-5": (URANDOM, 1.4),
    "varnhold.combine k=3": (URANDOM, 1.2),
    "varnhold.combine blakley k=3": ("core blakley_combine k=3", 2.0),
    "varnhold.combine blakley k=128": ("core blakley_combine k=128", 1.3),
    "varnhold.combine blakley k=1024": ("core blakley_combine k=1024", 1.3),
    "varnhold.split 2-of-65536": ("core shamir_split 2-of-65536", 2.0),
    "varnhold.split 10-of-20": (None, 1.3),
    "varnhold.split 128-of-255": (None, 1.3),
    "varnhold.combine k=10": (None, 1.3),
    "varnhold.combine k=128": (None, 1.3),
    "varnhold.combine k=1024": (None, 1.3),
}


def timing_child(rounds):
    """Times every case once a round, in the same order; prints one JSON list per round."""
    prepared = {}
    for name, (setup, sample_s, _) in CASES.items():
        function, args = setup()
        if sample_s == 0:  # a slow call: one a sample
            prepared[name] = (function, args, 1)
            continue
        # The first call pays for one-time work (the vDSO state's mapping, imports): the batch
        # is sized by the fastest of three calls after it.
        repeat(function, args, 1)
        once = 1 << 62
        for _ in range(3):
            start = time.perf_counter_ns()
            repeat(function, args, 1)
            once = min(once, max(time.perf_counter_ns() - start, 1))
        prepared[name] = (function, args, max(1, int(sample_s * 1e9 // once)))
    for _ in range(rounds):
        times = {}
        for name, (function, args, batch) in prepared.items():
            start = time.perf_counter_ns()
            repeat(function, args, batch)
            times[name] = (time.perf_counter_ns() - start) / batch
        print(json.dumps(times), flush=True)


def counted_child(name, calls):
    function, args = CASES[name][0]()
    repeat(function, args, calls)


def child_command(python, *arguments):
    return [python, os.path.abspath(__file__), *arguments]


def timed_rounds(python):
    out = subprocess.run(
        child_command(python, "--time", "1"), check=True, capture_output=True, text=True
    ).stdout
    return [json.loads(line) for line in out.splitlines()]


def instructions(python, name, pair, folder):
    totals = [
        callgrind_instructions(
            child_command(python, "--calls", name, str(calls)), os.path.join(folder, "cg")
        )
        for calls in pair
    ]
    return (totals[1] - totals[0]) / (pair[1] - pair[0])


def system_calls(python, name, pair, folder):
    runs = [
        strace_calls(child_command(python, "--calls", name, str(calls)), os.path.join(folder, "st"))
        for calls in pair
    ]
    extra = {}
    for syscall in set(runs[0]) | set(runs[1]):
        difference = (runs[1].get(syscall, 0) - runs[0].get(syscall, 0)) / (pair[1] - pair[0])
        if abs(difference) >= 0.5:
            extra[syscall] = difference
    return " ".join("%s %g" % item for item in sorted(extra.items())) or "none"


def show(ns):
    for limit, unit in ((1e3, "ns"), (1e6, "us"), (1e9, "ms")):
        if ns < limit:
            return "%.3g %s" % (ns / (limit / 1e3), unit)
    return "%.3g s" % (ns / 1e9)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--time":
        timing_child(int(sys.argv[2]))
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--calls":
        counted_child(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--other", help="the Python of an environment with the earlier wheel")
    parser.add_argument("--no-counts", action="store_true", help="wall time only")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    pythons = {"this": sys.executable}
    if args.other:
        pythons["other"] = args.other
    samples = {side: {name: [] for name in CASES} for side in pythons}
    for _ in range(args.rounds):
        for side, python in pythons.items():
            for times in timed_rounds(python):
                for name, ns in times.items():
                    samples[side][name].append(ns)
    medians = {
        side: {name: statistics.median(values) for name, values in by_name.items()}
        for side, by_name in samples.items()
    }
    counts = {side: {} for side in pythons}
    if not args.no_counts and shutil.which("valgrind") and shutil.which("strace"):
        with tempfile.TemporaryDirectory() as folder:
            for side, python in pythons.items():
                for name, (_, _, pair) in CASES.items():
                    if pair is not None:
                        counts[side][name] = (
                            instructions(python, name, pair, folder),
                            system_calls(python, name, pair, folder),
                        )
    print("%-32s %9s %14s %-12s" % ("case", "median", "instructions", "system calls"), end="")
    print("  %9s %14s  ratio (target)" % ("other", "instructions") if args.other else "  ratio")
    for name in CASES:
        figures = counts["this"].get(name, (None, "-"))
        line = "%-32s %9s %14s %-12s" % (
            name,
            show(medians["this"][name]),
            "-" if figures[0] is None else "{:,.0f}".format(figures[0]),
            figures[1],
        )
        if args.other:
            other = counts["other"].get(name, (None, "-"))
            line += "  %9s %14s" % (
                show(medians["other"][name]),
                "-" if other[0] is None else "{:,.0f}".format(other[0]),
            )
        if name in TARGETS:
            reference, target = TARGETS[name]
            if reference is not None:
                ratio = medians["this"][name] / medians["this"][reference]
                line += "  %.2fx of %s (at most %.1fx)" % (ratio, reference, target)
                if args.other:
                    ratio = medians["other"][name] / medians["other"][reference]
                    line += "; other %.2fx" % ratio
            elif args.other:
                ratio = medians["this"][name] / medians["other"][name]
                line += "  %.2fx of other (at most %.1fx)" % (ratio, target)
        print(line, flush=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"medians": medians, "counts": counts}, out, indent=1)


if __name__ == "__main__":
    main()

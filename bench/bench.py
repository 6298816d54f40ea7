"""Per-call cost of the module's functions: median wall time, instructions and system calls.

Run after installing the module:  python bench/bench.py  [--only NAME...] [--no-counts]

Instructions per call are counted with callgrind (when valgrind is installed) and system calls
per call with strace -c (when strace is installed). Each count is the difference of two runs of
the same program that differ only in how many times the call is made, divided by that difference,
so the interpreter's start-up and the setup of the inputs cancel out. Valgrind gives a program no
vDSO, so the instructions of varnhold.split are those of its fallback, the getrandom system call
(the kernel's side of a system call is never counted); strace leaves the vDSO in place.
"""

import argparse
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SECRET = bytes(range(32))


def _core():
    import varnhold_core

    return varnhold_core


def _safe():
    """The typed package, when it is installed next to the core."""
    try:
        import varnhold
    except ImportError:
        return None
    if not hasattr(varnhold, "split") or not hasattr(varnhold, "combine"):
        return None
    return varnhold


# name -> (setup returning the function and its arguments, wall-clock budget in seconds, call
# counts for the two counted runs). The setup runs in every process, so it must not depend on the
# call count. The counted loop calls the function itself with local arguments (see `repeat`), so
# the figures hold the call and nothing of a wrapper around it.
def _shamir_combine(k):
    def setup():
        vc = _core()
        return vc.shamir_combine, (vc.shamir_split(SECRET, k, k), k)

    return setup


def _blakley_combine(k):
    def setup():
        vc = _core()
        return vc.blakley_combine, (vc.blakley_split(SECRET, k, k), k)

    return setup


def _split(function, k, n):
    def setup():
        return getattr(_core(), function), (SECRET, k, n)

    return setup


def _safe_split():
    return _safe().split, (SECRET, 3, 5)


def _safe_combine():
    v = _safe()
    return v.combine, (v.split(SECRET, 3, 5)[:3],)


def _urandom():
    # The reference of the split's target: one request to the kernel for as many bytes.
    return os.urandom, (136,)


def _generate_key():
    return _core().generate_key, ()


def repeat(function, args, calls):
    """Calls function(*args) `calls` times, as a caller's own loop would: the arguments are locals
    and the call is written out, with no unpacking or wrapper in between."""
    if len(args) == 0:
        for _ in range(calls):
            function()
    elif len(args) == 1:
        (a,) = args
        for _ in range(calls):
            function(a)
    elif len(args) == 2:
        a, b = args
        for _ in range(calls):
            function(a, b)
    else:
        a, b, c = args
        for _ in range(calls):
            function(a, b, c)


CASES = [
    ("generate_key", _generate_key, 0.5, (500, 1500)),
    ("shamir_combine k=3", _shamir_combine(3), 0.5, (500, 1500)),
    ("blakley_combine k=3", _blakley_combine(3), 0.5, (500, 1500)),
    ("shamir_split k=3 n=5", _split("shamir_split", 3, 5), 0.5, (500, 1500)),
    ("blakley_split k=3 n=5", _split("blakley_split", 3, 5), 0.5, (500, 1500)),
    ("shamir_split k=2 n=65536", _split("shamir_split", 2, 65536), 2, (1, 2)),
    ("shamir_combine k=255", _shamir_combine(255), 1, (2, 4)),
    ("shamir_combine k=4096", _shamir_combine(4096), 3, (1, 2)),
    ("blakley_combine k=64", _blakley_combine(64), 1, (2, 4)),
    ("blakley_combine k=256", _blakley_combine(256), 2, (1, 2)),
    ("varnhold.split 3-of-5", _safe_split, 0.5, (500, 1500)),
    ("os.urandom(136)", _urandom, 0.5, (500, 1500)),
    ("varnhold.combine 3 shares", _safe_combine, 0.5, (500, 1500)),
]


def available(setup):
    if setup in (_safe_split, _safe_combine):
        return _safe() is not None
    return True


def median_ns(function, args, budget_s=1.0, min_samples=5, max_samples=200):
    """Median of per-call times; fast calls are timed in batches so the clock's cost vanishes."""
    start = time.perf_counter_ns()
    function(*args)
    once = max(time.perf_counter_ns() - start, 1)
    batch = max(1, int(2_000_000 // once))  # about 2 ms a sample
    samples = []
    deadline = time.perf_counter() + budget_s
    while len(samples) < min_samples or (
        len(samples) < max_samples and time.perf_counter() < deadline
    ):
        start = time.perf_counter_ns()
        repeat(function, args, batch)
        samples.append((time.perf_counter_ns() - start) / batch)
    return statistics.median(samples), len(samples)


def show(ns):
    if ns < 1e3:
        return "%.0f ns" % ns
    if ns < 1e6:
        return "%.2f us" % (ns / 1e3)
    if ns < 1e9:
        return "%.2f ms" % (ns / 1e6)
    return "%.3f s" % (ns / 1e9)


def show_count(value):
    if value is None:
        return "-"
    if abs(value) >= 1e6:
        return "%.2f M" % (value / 1e6)
    return "{:,.0f}".format(value)


MEMORY_PROBE = r"""
import json, sys
import varnhold_core as vc

# VmHWM, unlike ru_maxrss, starts afresh with this program rather than with the forked parent.
def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])

before = status_kib("VmRSS")
shares = getattr(vc, sys.argv[1])(bytes(range(32)), int(sys.argv[2]), int(sys.argv[3]))
peak = status_kib("VmHWM")
returned = sys.getsizeof(shares) + sum(sys.getsizeof(s) for s in shares)
print(json.dumps({"peak_extra": (peak - before) * 1024, "returned": returned}))
"""


def peak_memory(function, k, n):
    """Peak resident memory a fresh process gains during one call, against what it returns."""
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, function, str(k), str(n)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    figures = json.loads(out)
    return figures["peak_extra"], figures["returned"]


def run_calls(name, calls):
    """Child mode: set the case up, then make the call `calls` times."""
    setup = dict((case[0], case[1]) for case in CASES)[name]
    function, args = setup()
    repeat(function, args, calls)


def child_command(name, calls):
    return [sys.executable, os.path.abspath(__file__), "--child", name, str(calls)]


# A fixed string hash seed: the two counted runs must make the same dictionary probes.
CHILD_ENV = dict(os.environ, PYTHONHASHSEED="0")


def callgrind_instructions(command, out):
    """The instructions a command runs, counted by callgrind into files named from `out`."""
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + command,
        check=True,
        capture_output=True,
        env=CHILD_ENV,
    )
    total = 0
    for path in glob.glob(out + "*"):
        with open(path) as counts:
            for line in counts:
                if line.startswith(("summary:", "totals:")):
                    total = max(total, int(line.split()[1]))
        os.remove(path)
    return total


def strace_calls(command, out):
    """The system calls a command makes, by name, as strace -c counts them into `out`."""
    subprocess.run(
        ["strace", "-f", "-c", "-U", "name,calls", "-o", out] + command,
        check=True,
        capture_output=True,
        env=CHILD_ENV,
    )
    counts = {}
    with open(out) as summary:
        for line in summary:
            parts = line.split()
            if len(parts) == 2 and parts[1].isdigit() and parts[0] != "total":
                counts[parts[0]] = int(parts[1])
    return counts


def callgrind_total(name, calls, folder):
    out = os.path.join(folder, "cg.%s.%d" % (abs(hash(name)), calls))
    return callgrind_instructions(child_command(name, calls), out)


def strace_counts(name, calls, folder):
    out = os.path.join(folder, "st.%s.%d" % (abs(hash(name)), calls))
    return strace_calls(child_command(name, calls), out)


def per_call_instructions(name, pair, folder):
    low, high = pair
    return (callgrind_total(name, high, folder) - callgrind_total(name, low, folder)) / (high - low)


def per_call_syscalls(name, pair, folder):
    low, high = pair
    first = strace_counts(name, low, folder)
    second = strace_counts(name, high, folder)
    extra = {}
    for syscall in set(first) | set(second):
        difference = (second.get(syscall, 0) - first.get(syscall, 0)) / (high - low)
        if abs(difference) >= 0.5:
            extra[syscall] = difference
    return extra


def show_syscalls(extra):
    if extra is None:
        return "-"
    if not extra:
        return "none"
    return " ".join("%s %g" % (name, count) for name, count in sorted(extra.items()))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        run_calls(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", nargs="*", help="run only cases whose name starts with these")
    parser.add_argument("--no-counts", action="store_true", help="wall time only")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    count_instructions = not args.no_counts and shutil.which("valgrind") is not None
    count_syscalls = not args.no_counts and shutil.which("strace") is not None
    print("%-28s %12s %8s %14s  %s" % ("case", "median", "samples", "instructions", "system calls"))
    figures = {}
    with tempfile.TemporaryDirectory() as folder:
        for name, setup, budget, pair in CASES:
            if args.only and not any(name.startswith(prefix) for prefix in args.only):
                continue
            if not available(setup):
                print("%-28s (not installed)" % name)
                continue
            ns, samples = median_ns(*setup(), budget_s=budget, min_samples=3 if budget > 1 else 5)
            instructions = per_call_instructions(name, pair, folder) if count_instructions else None
            syscalls = per_call_syscalls(name, pair, folder) if count_syscalls else None
            figures[name] = {"median_ns": ns, "instructions": instructions, "syscalls": syscalls}
            print(
                "%-28s %12s %8d %14s  %s"
                % (name, show(ns), samples, show_count(instructions), show_syscalls(syscalls)),
                flush=True,
            )
    if args.json:
        with open(args.json, "w") as out:
            json.dump(figures, out, indent=1)
    for function in ("shamir_split", "blakley_split"):
        if args.only and not any(
            function.startswith(p) or p.startswith(function) for p in args.only
        ):
            continue
        extra, returned = peak_memory(function, 2, 1048576)
        print(
            "%s k=2 n=1048576: peak %.1f MiB for a result of %.1f MiB (%.2fx)"
            % (function, extra / 2**20, returned / 2**20, extra / returned)
        )


if __name__ == "__main__":
    main()

"""Median time per call of the module's functions, and the peak memory of the largest split.

Run after installing the module:  python bench/bench.py  [--only NAME...]
"""

import argparse
import json
import statistics
import subprocess
import sys
import time

import varnhold_core as vc

SECRET = bytes(range(32))


def median_ns(call, budget_s=1.0, min_samples=5, max_samples=200):
    """Median of per-call times; fast calls are timed in batches so the clock's cost vanishes."""
    start = time.perf_counter_ns()
    call()
    once = max(time.perf_counter_ns() - start, 1)
    batch = max(1, int(2_000_000 // once))  # about 2 ms a sample
    samples = []
    deadline = time.perf_counter() + budget_s
    while len(samples) < min_samples or (
        len(samples) < max_samples and time.perf_counter() < deadline
    ):
        start = time.perf_counter_ns()
        for _ in range(batch):
            call()
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
        check=True, capture_output=True, text=True,
    ).stdout
    figures = json.loads(out)
    return figures["peak_extra"], figures["returned"]


def cases():
    shamir_k = {k: vc.shamir_split(SECRET, k, k) for k in (3, 255, 4096)}
    blakley_k = {k: vc.blakley_split(SECRET, k, k) for k in (3, 256, 1024)}
    return [
        ("generate_key", lambda: vc.generate_key(), 0.5),
        ("shamir_split k=3 n=5", lambda: vc.shamir_split(SECRET, 3, 5), 0.5),
        ("shamir_split k=2 n=1048576", lambda: vc.shamir_split(SECRET, 2, 1048576), 6),
        ("shamir_combine k=3", lambda: vc.shamir_combine(shamir_k[3], 3), 0.5),
        ("shamir_combine k=255", lambda: vc.shamir_combine(shamir_k[255], 255), 1),
        ("shamir_combine k=4096", lambda: vc.shamir_combine(shamir_k[4096], 4096), 3),
        ("blakley_split k=3 n=5", lambda: vc.blakley_split(SECRET, 3, 5), 0.5),
        ("blakley_split k=2 n=1048576", lambda: vc.blakley_split(SECRET, 2, 1048576), 10),
        ("blakley_combine k=3", lambda: vc.blakley_combine(blakley_k[3], 3), 0.5),
        ("blakley_combine k=256", lambda: vc.blakley_combine(blakley_k[256], 256), 2),
        ("blakley_combine k=1024", lambda: vc.blakley_combine(blakley_k[1024], 1024), 8),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", nargs="*", help="run only cases whose name starts with these")
    args = parser.parse_args()
    print("%-30s %12s %8s" % ("case", "median", "samples"))
    for name, call, budget in cases():
        if args.only and not any(name.startswith(prefix) for prefix in args.only):
            continue
        ns, samples = median_ns(call, budget_s=budget, min_samples=3 if budget > 2 else 5)
        print("%-30s %12s %8d" % (name, show(ns), samples), flush=True)
    for function in ("shamir_split", "blakley_split"):
        if args.only and not any(function.startswith(p) or p.startswith(function) for p in args.only):
            continue
        extra, returned = peak_memory(function, 2, 1048576)
        print("%s k=2 n=1048576: peak %.1f MiB for a result of %.1f MiB (%.2fx)"
              % (function, extra / 2**20, returned / 2**20, extra / returned))


if __name__ == "__main__":
    main()

"""Cost of locating wrong Shamir shares: wall time, CPU time and peak memory of varnhold.check
on a 2-of-m set of bare shares with a few of them altered, each case in a child interpreter of
its own, so that its peak memory (ru_maxrss) is the case's alone.

    python bench/decoder_cost.py [--sizes 500,1000,4000,12000] [--wrong 1,5]

"Rise" is the peak memory of the child minus what it held before the call, with the shares
already in memory.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    """
    import json, resource, sys, time
    import varnhold, varnhold_core as vc

    m, wrong = int(sys.argv[1]), int(sys.argv[2])
    shares = vc.shamir_split(bytes(range(32)), 2, m)
    for i in range(wrong):
        # Share 3i + 2: its last value moved to the next one, still below p.
        at = 3 * i + 1
        head, last = shares[at].rsplit(":", 1)
        shares[at] = head + ":" + "%032x" % ((int(last, 16) + 1) % (2**127 - 1))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start, cpu = time.perf_counter(), time.process_time()
    report = varnhold.check(shares, k=2)
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - cpu
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    found = sum(1 for s in report.shares if s.state == "wrong")
    print(json.dumps({"seconds": seconds, "cpu": cpu_seconds, "peak_kib": peak,
                      "rise_kib": max(0, peak - before), "found": found}))
    """
)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="500,1000,4000,12000")
    parser.add_argument("--wrong", default="1,5")
    args = parser.parse_args()
    columns = ("m", "wrong", "found", "wall s", "cpu s", "peak MB", "rise MB")
    print(" ".join(f"{c:>{w}}" for c, w in zip(columns, (7, 5, 5, 8, 8, 8, 8))))
    for wrong in (int(w) for w in args.wrong.split(",")):
        for m in (int(s) for s in args.sizes.split(",")):
            done = subprocess.run(
                [sys.executable, "-c", CHILD, str(m), str(wrong)],
                capture_output=True,
                text=True,
                check=True,
            )
            r = json.loads(done.stdout)
            print(
                f"{m:>7} {wrong:>5} {r['found']:>5} {r['seconds']:>8.2f} {r['cpu']:>8.2f}"
                f" {r['peak_kib'] / 1024:>8.1f} {r['rise_kib'] / 1024:>8.1f}",
                flush=True,
            )


if __name__ == "__main__":
    main()

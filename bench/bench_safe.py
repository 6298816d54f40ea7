"""Cost of the package varnhold's split and combine next to varnhold_core's: median wall time per
call and instructions per call (callgrind, the difference of a run with many calls and a run
with one, so that start-up drops out).

Run after installing the wheel:  python bench/bench_safe.py  [--no-callgrind]
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile

from bench import median_ns, show

SECRET = bytes(range(32))

SETUP = """
import varnhold, varnhold_core as vc
SECRET = bytes(range(32))
safe_s = varnhold.split(SECRET, 3, 5)
safe_b = varnhold.split(SECRET, 3, 5, scheme="blakley")
core_s = vc.shamir_split(SECRET, 3, 5)
core_b = vc.blakley_split(SECRET, 3, 5)
"""

CASES = {
    "varnhold_core.shamir_split(3, 5)": "vc.shamir_split(SECRET, 3, 5)",
    "varnhold.split(3, 5)": "varnhold.split(SECRET, 3, 5)",
    "varnhold_core.shamir_combine(3 of 5)": "vc.shamir_combine(core_s[:3], 3)",
    "varnhold.combine(3 of 5)": "varnhold.combine(safe_s[:3])",
    "varnhold.combine(all 5)": "varnhold.combine(safe_s)",
    "varnhold_core.blakley_split(3, 5)": "vc.blakley_split(SECRET, 3, 5)",
    "varnhold.split(3, 5, blakley)": "varnhold.split(SECRET, 3, 5, scheme='blakley')",
    "varnhold_core.blakley_combine(3 of 5)": "vc.blakley_combine(core_b[:3], 3)",
    "varnhold.combine(blakley 3 of 5)": "varnhold.combine(safe_b[:3])",
    "varnhold.combine(blakley all 5)": "varnhold.combine(safe_b)",
}


def instructions(statement, calls):
    with tempfile.TemporaryDirectory() as folder:
        out = folder + "/callgrind.out"
        code = SETUP + f"\nfor _ in range({calls}):\n    {statement}\n"
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-c",
                code,
            ],
            check=True,
            capture_output=True,
        )
        text = open(out).read()
        return int(re.search(r"^summary: (\d+)", text, re.M).group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--no-callgrind", action="store_true")
    args = parser.parse_args()
    space = {}
    exec(SETUP, space)
    use_callgrind = not args.no_callgrind and shutil.which("valgrind")
    for name, statement in CASES.items():
        ns, samples = median_ns(lambda s=statement: eval(s, space), ())
        line = f"{name:40s} {show(ns):>10s} ({samples} samples)"
        if use_callgrind:
            per_call = (instructions(statement, 201) - instructions(statement, 1)) / 200
            line += f"  {per_call:12,.0f} instructions"
        print(line, flush=True)


if __name__ == "__main__":
    main()

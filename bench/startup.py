"""Start-up time of the command line, as processes, against a bare interpreter.

Runs `python -c pass`, `varnhold --help` and `varnhold split -k 3 -n 5 < key` in turn, round
after round (so that a busy machine slows all three alike), and prints the median wall time of
each and its ratio to `python -c pass`. `varnhold` is the console script beside this interpreter
when installed, else `python -m varnhold`.

    python bench/startup.py [--rounds 41]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def varnhold_command() -> list[str]:
    script = Path(sys.executable).with_name("varnhold")
    return [str(script)] if script.exists() else [sys.executable, "-m", "varnhold"]


def timed(command: list[str], stdin_path: str | None) -> float:
    with open(stdin_path or os.devnull, "rb") as stdin:
        start = time.perf_counter()
        subprocess.run(command, stdin=stdin, stdout=subprocess.DEVNULL, check=True)
        return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=41)
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory() as folder:
        key = os.path.join(folder, "key.txt")
        with open(key, "w") as file:
            file.write(os.urandom(32).hex() + "\n")
        cases = {
            "python -c pass": ([sys.executable, "-c", "pass"], None),
            "varnhold --help": ([*varnhold_command(), "--help"], None),
            "varnhold split -k 3 -n 5 < key": (
                [*varnhold_command(), "split", "-k", "3", "-n", "5"],
                key,
            ),
        }
        times: dict[str, list[float]] = {name: [] for name in cases}
        for command, stdin in cases.values():  # warm the file cache once
            timed(command, stdin)
        for _ in range(rounds):
            for name, (command, stdin) in cases.items():
                times[name].append(timed(command, stdin))
    base = statistics.median(times["python -c pass"])
    print(f"{'command':34} {'median ms':>10} {'x python -c pass':>17}   ({rounds} rounds)")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"{name:34} {median * 1000:10.1f} {median / base:17.2f}")


if __name__ == "__main__":
    main()

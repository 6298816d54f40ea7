"""Start-up time of the command line, as processes, against a bare interpreter.

Runs `python -c pass`, `varnhold --help` and `varnhold split -k 3 -n 5 < key` in turn, round
after round (so that a busy machine slows all three alike), and prints the median wall time of
each and its ratio to `python -c pass`; the goal is at most 2.

`varnhold` is the console script beside this interpreter when the package is installed; else the
same launcher that pip writes for it (it imports re, then calls varnhold.cli.main) is run with
this interpreter, from a temporary folder. `--module` times `python -m varnhold` instead, which
also loads runpy.

The package's bytecode is cached as in an installed package, even when PYTHONDONTWRITEBYTECODE is
set: the children write and read it under a temporary PYTHONPYCACHEPREFIX, filled by one warm-up
round, so no run compiles source and nothing is written beside the sources. What is left to cut
shows with `python -X importtime -m varnhold --help`, run the same way (PYTHONDONTWRITEBYTECODE
unset, PYTHONPYCACHEPREFIX set, once to fill it): otherwise every module's self time includes
compiling its source, which an installed package never does (that made varnhold._report, a
module of classes, look like 1.7 ms; from its bytecode it takes about 0.3 ms).

    PYTHONPATH=python python bench/startup.py [--rounds 41] [--module]
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

# What pip writes for the console script `varnhold` (project.scripts in pyproject.toml).
LAUNCHER = """\
import re
import sys
from varnhold.cli import main
if __name__ == "__main__":
    sys.argv[0] = re.sub(r"(-script\\.pyw|\\.exe)?$", "", sys.argv[0])
    sys.exit(main())
"""


def varnhold_command(folder: str, module: bool) -> list[str]:
    script = Path(sys.executable).with_name("varnhold")
    if module:
        return [sys.executable, "-m", "varnhold"]
    if script.exists():
        return [str(script)]
    launcher = Path(folder, "varnhold")
    launcher.write_text(LAUNCHER)
    return [sys.executable, str(launcher)]


def timed(command: list[str], stdin_path: str | None, env: dict[str, str]) -> float:
    with open(stdin_path or os.devnull, "rb") as stdin:
        start = time.perf_counter()
        subprocess.run(command, stdin=stdin, stdout=subprocess.DEVNULL, env=env, check=True)
        return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--module", action="store_true", help="time python -m varnhold")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, PYTHONPYCACHEPREFIX=os.path.join(folder, "pycache"))
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        key = os.path.join(folder, "key.txt")
        with open(key, "w") as file:
            file.write(os.urandom(32).hex() + "\n")
        varnhold = varnhold_command(folder, options.module)
        cases = {
            "python -c pass": ([sys.executable, "-c", "pass"], None),
            "varnhold --help": ([*varnhold, "--help"], None),
            "varnhold split -k 3 -n 5 < key": ([*varnhold, "split", "-k", "3", "-n", "5"], key),
        }
        times: dict[str, list[float]] = {name: [] for name in cases}
        for command, stdin in cases.values():  # bytecode and the file cache, once
            timed(command, stdin, env)
        for _ in range(options.rounds):
            for name, (command, stdin) in cases.items():
                times[name].append(timed(command, stdin, env))
    base = statistics.median(times["python -c pass"])
    how = "python -m varnhold" if options.module else " ".join(Path(word).name for word in varnhold)
    print(f"varnhold run as: {how}; {sys.executable}")
    print(f"{'command':34} {'median ms':>10} {'x python -c pass':>17}   ({options.rounds} rounds)")
    for name, values in times.items():
        median = statistics.median(values)
        print(f"{name:34} {median * 1000:10.1f} {median / base:17.2f}")


if __name__ == "__main__":
    main()

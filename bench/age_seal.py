"""Sealing and unsealing a large file: varnhold.age's seal and unseal (from shares), the
`varnhold seal`/`unseal` commands on named files ("cli", whose output is synced before it is
put in place) and through standard input and output ("cli-pipe", the streaming path), beside
pyrage's own encrypt_file/decrypt_file (alone, and followed by an fsync of the output) and the
standard `age` command, in the same run. Each
operation runs in a child process of its own; the figures are the median wall time (start-up
included, the same for every Python child) and the peak resident memory of that child (the
highest of the runs), measured by GNU time.

Run with pyrage and bech32 installed and varnhold importable:
    python bench/age_seal.py [--size-mib 1024] [--repeat 3] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Tuple

CHILD = {
    "varnhold": {
        "seal": "import varnhold.age as a\n"
        "with open(IN, 'rb') as r, open(OUT, 'wb') as w: a.seal(r, w, [RECIPIENT])",
        "unseal": "import varnhold.age as a\n"
        "with open(IN, 'rb') as r, open(OUT, 'wb') as w: a.unseal(r, w, SHARES)",
    },
    # pyrage followed by the fsync that varnhold's all-or-nothing output makes before it puts a
    # file in place: the same durability, to tell varnhold's own cost from the disk's.
    "pyrage+sync": {
        "seal": "import os, pyrage\n"
        "pyrage.encrypt_file(IN, OUT, [pyrage.x25519.Recipient.from_str(RECIPIENT)])\n"
        "fd = os.open(OUT, os.O_RDONLY); os.fsync(fd)",
        "unseal": "import os, pyrage\n"
        "pyrage.decrypt_file(IN, OUT, [pyrage.x25519.Identity.from_str(IDENTITY)])\n"
        "fd = os.open(OUT, os.O_RDONLY); os.fsync(fd)",
    },
    "pyrage": {
        "seal": "import pyrage\n"
        "pyrage.encrypt_file(IN, OUT, [pyrage.x25519.Recipient.from_str(RECIPIENT)])",
        "unseal": "import pyrage\n"
        "pyrage.decrypt_file(IN, OUT, [pyrage.x25519.Identity.from_str(IDENTITY)])",
    },
}


def run(command: List[str], folder: str) -> Tuple[float, int]:
    """Wall seconds and peak resident KiB of one child process. The peak comes from GNU time:
    a child forked from this process would count this process's own memory as its peak."""
    report = os.path.join(folder, "peak")
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *command])
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"failed ({done.returncode}): {' '.join(command)}")
    with open(report) as file:
        return elapsed, int(file.read().split()[-1])


TOOLS = ["varnhold", "cli", "cli-pipe", "pyrage+sync", "pyrage", "age"]


def command(tool: str, operation: str, source: str, target: str, folder: str) -> List[str]:
    if tool.startswith("cli"):
        varnhold = [sys.executable, "-m", "varnhold"]
        if operation == "seal":
            words = [*varnhold, "seal", "-r", os.path.join(folder, "recipient.txt")]
        else:
            words = [*varnhold, "unseal", "-o"]
        if tool == "cli":
            words += [target, source] if operation == "unseal" else ["-o", target, source]
        else:
            words += ["-", "-"] if operation == "unseal" else ["-o", "-", "-"]
        if operation == "unseal":
            words.append(os.path.join(folder, "shares.txt"))
        if tool == "cli":
            return words
        line = " ".join(shlex.quote(w) for w in words)
        return ["sh", "-c", f"{line} < {shlex.quote(source)} > {shlex.quote(target)}"]
    if tool == "age":
        if operation == "seal":
            with open(os.path.join(folder, "recipient.txt")) as file:
                return ["age", "-r", file.read().strip(), "-o", target, source]
        return ["age", "-d", "-i", os.path.join(folder, "identity.txt"), "-o", target, source]
    prelude = (
        f"IN, OUT = {source!r}, {target!r}\n"
        f"FOLDER = {folder!r}\n"
        "RECIPIENT = open(FOLDER + '/recipient.txt').read().strip()\n"
        "SHARES = open(FOLDER + '/shares.txt').read().split()\n"
        "IDENTITY = open(FOLDER + '/identity.txt').read().strip()\n"
    )
    return [sys.executable, "-c", prelude + CHILD[tool][operation]]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=1024, help="file size (default 1 GiB)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each (median reported)")
    parser.add_argument("--dir", help="where the files go (default: a temporary folder)")
    args = parser.parse_args()
    if shutil.which("age") is None or not os.path.exists("/usr/bin/time"):
        sys.exit("the age and GNU time commands are needed (apt-get install age time)")
    import varnhold.age

    folder = tempfile.mkdtemp(prefix="age-seal-", dir=args.dir)
    try:
        made = varnhold.age.new_identity(2, 3)
        shares = list(made.shares[:2])
        for name, text in [
            ("recipient.txt", made.recipient),
            ("shares.txt", "\n".join(shares)),
            ("identity.txt", varnhold.age.identity_text(shares)),
        ]:
            descriptor = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT, 0o600)
            with os.fdopen(descriptor, "w") as file:
                file.write(text + "\n")
        plain = os.path.join(folder, "plain")
        with open(plain, "wb") as file:
            for _ in range(args.size_mib):
                file.write(os.urandom(1 << 20))
        results: Dict[Tuple[str, str], List[Tuple[float, int]]] = {}
        sealed = os.path.join(folder, "sealed.age")
        opened = os.path.join(folder, "opened")
        for _ in range(args.repeat):
            for tool in TOOLS:
                results.setdefault((tool, "seal"), []).append(
                    run(command(tool, "seal", plain, sealed, folder), folder)
                )
                results.setdefault((tool, "unseal"), []).append(
                    run(command(tool, "unseal", sealed, opened, folder), folder)
                )
                if subprocess.run(["cmp", "-s", plain, opened]).returncode != 0:
                    sys.exit(f"{tool}: the unsealed file differs from the original")
                os.remove(opened)
                os.remove(sealed)
        print(f"{args.size_mib} MiB, median of {args.repeat} runs")
        print(f"{'':20} {'seconds':>8} {'peak MiB':>8} {'x pyrage':>9} {'x age':>6}")
        for operation in ["seal", "unseal"]:
            medians = {
                tool: statistics.median(t for t, _ in results[(tool, operation)]) for tool in TOOLS
            }
            for tool in TOOLS:
                peak = max(m for _, m in results[(tool, operation)]) / 1024
                print(
                    f"{tool + ' ' + operation:20} {medians[tool]:8.2f} {peak:8.1f} "
                    f"{medians[tool] / medians['pyrage']:9.2f} "
                    f"{medians[tool] / medians['age']:6.2f}"
                )
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()

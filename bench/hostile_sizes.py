"""Peak memory (ru_maxrss) and wall time of hostile-size calls, each in a child interpreter under
an address-space limit, so that a fault ends the child and never exhausts the machine: calls of
the native module, then command lines given hostile inputs (which must stop at their bounds).

    python bench/hostile_sizes.py [headroom_mib]
"""

import json
import os
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent(
    """
    import json, os, resource, sys, time
    import varnhold_core as vc

    def one_share(k):
        return ",".join(["%032x" % 1] * k) + "".join(":%032x" % c for c in (1, 2, 3, 4))

    setup, call, headroom = sys.argv[1], sys.argv[2], int(sys.argv[3])
    exec(setup)
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom, resource.RLIM_INFINITY))
    start = time.monotonic()
    try:
        eval(call)
        outcome = "ok"
    except BaseException as error:
        outcome = type(error).__name__ + ": " + str(error)[:40]
    print(json.dumps({"outcome": outcome, "seconds": round(time.monotonic() - start, 3),
                      "maxrss_mib_before_call": before // 1024,
                      "maxrss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024}))
    """
)

SECRET = "bytes(range(32))"
CASES = [
    (
        "1.3 MB: [s] * 39744, k=39744",
        "s = one_share(39744); shares = [s] * 39744",
        "vc.blakley_combine(shares, 39744)",
    ),
    (
        "[s] * 8000, k=8000",
        "s = one_share(8000); shares = [s] * 8000",
        "vc.blakley_combine(shares, 8000)",
    ),
    (
        "[s] * 12000, k=12000",
        "s = one_share(12000); shares = [s] * 12000",
        "vc.blakley_combine(shares, 12000)",
    ),
    (
        "[s, copy of s] * 6000, k=12000",
        "s = one_share(12000); shares = [s, ''.join(list(s))] * 6000",
        "vc.blakley_combine(shares, 12000)",
    ),
    (
        "valid share 0 + 39743 short texts",
        "shares = [one_share(39744)] + [str(i) for i in range(39743)]",
        "vc.blakley_combine(shares, 39744)",
    ),
    ("blakley_split(s, 1000, 762916): 23.5 GiB", "", f"vc.blakley_split({SECRET}, 1000, 762916)"),
    ("blakley_split(s, 1000, 1800): 60 MB", "", f"vc.blakley_split({SECRET}, 1000, 1800)"),
    (
        "blakley_combine of 3 shares (small call)",
        f"shares = vc.blakley_split({SECRET}, 3, 3)",
        "vc.blakley_combine(shares, 3)",
    ),
]


# The command line in a child under the limit: exit status, message length, time, peak memory
# (Linux).
CLI_CHILD = textwrap.dedent(
    """
    import json, os, resource, sys, time
    limit = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    err = os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.dup2(err, 2)
    from varnhold.cli import run

    def peak_mib():  # this process's own peak (VmHWM), unlike ru_maxrss, which counts its parent's
        with open("/proc/self/status") as status:
            line = next(line for line in status if line.startswith("VmHWM:"))
        return int(line.split()[1]) // 1024

    start = time.monotonic()
    status = run(sys.argv[3:])
    print(json.dumps({"status": status, "seconds": round(time.monotonic() - start, 3),
                      "message_bytes": os.fstat(2).st_size,
                      "peak_mib": peak_mib()}))
    """
)


def _lines(count, width):
    # Written in pieces, so that this process stays small: a child's peak memory
    # (ru_maxrss) starts from its parent's.
    return lambda handle: [
        handle.write("".join(f"{i:0{width}d}\n" for i in range(start, min(start + 4096, count))))
        for start in range(0, count, 4096)
    ]


def _repeat(text, times):
    return lambda handle: [handle.write(text) for _ in range(times)]


# (name, files to make in a scratch folder, the command's arguments)
CLI_CASES = [
    ("combine /dev/zero (one endless line)", {}, ["combine", "/dev/zero"]),
    ("split /dev/zero (endless secret)", {}, ["split", "-k", "2", "-n", "3", "/dev/zero"]),
    ("combine 2^20 + 1 distinct lines", {"many": _lines(2**20 + 1, 8)}, ["combine", "many"]),
    ("check 100,000 unreadable lines", {"bad": _lines(100_000, 8)}, ["check", "bad"]),
    ("combine 64 MB of 2-byte lines", {"short": _repeat("x\n" * 4096, 8192)}, ["combine", "short"]),
    ("combine a 1 MiB + 1 line", {"long": _repeat("a", (1 << 20) + 1)}, ["combine", "long"]),
    ("combine 8 lines of 1 MiB", {"wide": _repeat("a" * (1 << 20) + "\n", 8)}, ["combine", "wide"]),
]


def run_cli_cases(headroom):
    with tempfile.TemporaryDirectory() as scratch:
        for name, files, args in CLI_CASES:
            for file_name, write in files.items():
                with open(os.path.join(scratch, file_name), "w") as handle:
                    write(handle)
            try:
                done = subprocess.run(
                    [sys.executable, "-c", CLI_CHILD, str(headroom), "err.txt", *args],
                    capture_output=True,
                    text=True,
                    timeout=120,
                    cwd=scratch,
                )
                result = (
                    json.loads(done.stdout.splitlines()[-1])
                    if done.stdout
                    else {"outcome": f"exit {done.returncode}", "stderr": done.stderr[-200:]}
                )
            except subprocess.TimeoutExpired:
                result = {"outcome": "still running after 120 s (killed)"}
            for file_name in files:
                os.unlink(os.path.join(scratch, file_name))
            print(f"{name:45} {json.dumps(result)}")


def main():
    headroom = (int(sys.argv[1]) if len(sys.argv) > 1 else 3072) << 20
    run_cli_cases(headroom)
    for name, setup, call in CASES:
        try:
            done = subprocess.run(
                [sys.executable, "-c", CHILD, setup, call, str(headroom)],
                capture_output=True,
                text=True,
                timeout=120,
            )
            result = (
                json.loads(done.stdout)
                if done.returncode == 0
                else {"outcome": f"exit {done.returncode}", "stderr": done.stderr[-200:]}
            )
        except subprocess.TimeoutExpired:
            result = {"outcome": "still running after 120 s (killed)"}
        print(f"{name:45} {json.dumps(result)}")


if __name__ == "__main__":
    main()

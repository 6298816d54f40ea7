"""Peak memory (ru_maxrss) and wall time of hostile-size calls, each in a child interpreter under
an address-space limit, so that a fault ends the child and never exhausts the machine.

    python bench/hostile_sizes.py [headroom_mib]
"""

import json
import subprocess
import sys
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


def main():
    headroom = (int(sys.argv[1]) if len(sys.argv) > 1 else 3072) << 20
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

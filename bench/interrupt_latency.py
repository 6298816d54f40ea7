"""Time from SIGINT to KeyboardInterrupt for long calls.

Run after installing the module:  python bench/interrupt_latency.py  [--runs N] [--delay S]

A child process sends the signal (the call holds the interpreter lock, so no thread of this
interpreter could) and prints when it did, on the monotonic clock both processes share. A call
that ends before the signal is reported as such. Prints one line per call: median and worst
latency over the runs.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import time

import varnhold_core as core

SECRET = bytes(range(32))

SENDER = (
    "import os, signal, sys, time\n"
    "time.sleep(float(sys.argv[2]))\n"
    "sent = time.monotonic()\n"
    "os.kill(int(sys.argv[1]), signal.SIGINT)\n"
    "print(sent, flush=True)\n"
)


def shamir_shares(count):
    values = ":".join(["0" * 31 + "1"] * 4)
    return [f"{index}:{values}" for index in range(1, count + 1)]


def blakley_shares(k):
    constants = ":".join(["0" * 31 + "1"] * 4)
    shares = []
    for _ in range(k):
        coefficients = bytearray(os.urandom(16 * k))
        coefficients[0::16] = bytes(b & 0x3F for b in coefficients[0::16])
        shares.append(coefficients.hex(",", 16) + ":" + constants)
    return shares


CALLS = {
    "shamir_split(s, 4096, 2**20)": (
        lambda: None,
        lambda _: core.shamir_split(SECRET, 4096, 2**20),
    ),
    "shamir_split(s, 2**20, 2**20)": (
        lambda: None,
        lambda _: core.shamir_split(SECRET, 2**20, 2**20),
    ),
    "blakley_combine k=2048": (
        lambda: blakley_shares(2048),
        lambda shares: core.blakley_combine(shares, 2048),
    ),
    "shamir_combine k=100000": (
        lambda: shamir_shares(100_000),
        lambda shares: core.shamir_combine(shares, 100_000),
    ),
    "shamir_combine k=10^6": (
        lambda: shamir_shares(1_000_000),
        lambda shares: core.shamir_combine(shares, 1_000_000),
    ),
}


def latency(call, delay):
    child = subprocess.Popen(
        [sys.executable, "-c", SENDER, str(os.getpid()), str(delay)],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        call()
        finished = True
    except KeyboardInterrupt:
        finished = False
    raised = time.monotonic()
    sent = float(child.communicate()[0])
    if finished:
        # The signal is still on its way or pending: let it arrive here, outside the call.
        try:
            time.sleep(max(0.0, sent - time.monotonic()) + 0.5)
        except KeyboardInterrupt:
            pass
        return None
    return raised - sent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--delay", type=float, default=0.5)
    parser.add_argument("--only", nargs="*")
    options = parser.parse_args()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for name, (make, call) in CALLS.items():
        if options.only and name not in options.only:
            continue
        arguments = make()
        run = lambda c=call, a=arguments: c(a)  # noqa: E731
        seen = [latency(run, options.delay) for _ in range(options.runs)]
        stopped = [s for s in seen if s is not None]
        if not stopped:
            print(f"{name}: ended before the signal in every run")
            continue
        print(
            f"{name}: median {statistics.median(stopped):.4f} s, worst {max(stopped):.4f} s"
            f" over {len(stopped)} runs"
        )


if __name__ == "__main__":
    main()

"""Ctrl-C during a long call: a real SIGINT from a child process ends every long loop with
KeyboardInterrupt within a second, and the interpreter carries on as before.

The signal must come from outside the interpreter: the call holds the interpreter lock from start
to end, so a Python timer thread would never run while it lasts. The child reads the same
monotonic clock, so the time from the signal to the exception can be measured."""

import os
import signal
import subprocess
import sys
import time

import pytest
import varnhold_core as core

import varnhold

SECRET = bytes(range(32))
# Long enough for the call to be well under way, short enough for the child to start first.
DELAY = 0.4
LATENCY_LIMIT = 1.0

# Sends SIGINT after a delay, or as soon as it reads a line when the delay is "go".
SENDER = (
    "import os, signal, sys, time\n"
    "sys.stdin.readline() if sys.argv[2] == 'go' else time.sleep(float(sys.argv[2]))\n"
    "sent = time.monotonic()\n"
    "os.kill(int(sys.argv[1]), signal.SIGINT)\n"
    "print(sent, flush=True)\n"
)


@pytest.fixture(autouse=True)
def default_sigint_handler():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


class SignalsWhenSized(list):
    """A list whose size query, made once before the module reads the items, tells the child to
    send the signal: the items are then read by the list's own iterator, with no Python code in
    between. Reading a long list is fast, so a fixed delay could miss it."""

    go = None

    def __len__(self):
        SignalsWhenSized.go.write("go\n")
        SignalsWhenSized.go.flush()
        return super().__len__()


def interrupt(call, when):
    """Runs call() while a child sends SIGINT (after DELAY seconds, or when a SignalsWhenSized
    list is sized); returns the seconds from the signal to the KeyboardInterrupt."""
    child = subprocess.Popen(
        [sys.executable, "-c", SENDER, str(os.getpid()), when],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    SignalsWhenSized.go = child.stdin
    ended = None
    try:
        started = time.monotonic()
        try:
            call()
            ended = "returned"
        except KeyboardInterrupt:
            raised = time.monotonic()
        except Exception as error:
            ended = f"raised {error!r}"
    finally:
        SignalsWhenSized.go = None
        try:
            output, _ = child.communicate(timeout=10)
        except BaseException:
            child.kill()
            child.wait()
            raise
    if ended is not None:
        # The signal still comes: let it arrive here, then report the call that ran to its end.
        try:
            time.sleep(0.5)
        except KeyboardInterrupt:
            pass
        pytest.fail(f"the call {ended} before SIGINT stopped it")
    sent = float(output)
    # The signal reached the call itself, not the code around it.
    assert started < sent <= raised
    return raised - sent


def still_usable():
    shares = core.shamir_split(SECRET, 3, 5)
    assert core.shamir_combine(shares[2:], 3) == SECRET
    shares = varnhold.split(SECRET, 2, 3, scheme="blakley")
    assert varnhold.combine(shares[1:]) == SECRET


def hex_element(value):
    return format(value, "032x")


def synthetic_shamir_shares(count):
    """Well-formed shares at distinct indices: the combine reads and weighs every one of them."""
    values = ":".join([hex_element(1)] * 4)
    return [f"{index}:{values}" for index in range(1, count + 1)]


def synthetic_blakley_shares(k):
    """k shares of threshold k with random coefficients below 2^126, so the system is
    almost surely regular and the elimination runs to the end."""
    shares = []
    constants = ":".join([hex_element(1)] * 4)
    for _ in range(k):
        coefficients = bytearray(os.urandom(16 * k))
        coefficients[0::16] = bytes(b & 0x3F for b in coefficients[0::16])
        shares.append(coefficients.hex(",", 16) + ":" + constants)
    return shares


def with_wrong_values(shares, positions):
    """The same shares with the last value digit of each given one changed."""
    changed = list(shares)
    for position in positions:
        text = changed[position]
        last = "1" if text[-1] != "1" else "2"
        changed[position] = text[:-1] + last
    return changed


def shamir_with_wrong_shares():
    # The decoder's cost grows as m^2: 30,000 shares keep it busy for seconds, long past the
    # signal (1,000 shares are decoded before it arrives).
    shares = core.shamir_split(SECRET, 2, 30_000)
    return with_wrong_values(shares, [3, 50, 400])


def blakley_with_wrong_share():
    shares = core.blakley_split(SECRET, 160, 170)
    return with_wrong_values(shares, [7])


# One row per long loop: (name, make the arguments, the call). Building the arguments is not
# timed; each call would run for seconds to hours if nothing stopped it.
CASES = [
    ("shamir_split draws", lambda: None, lambda _: core.shamir_split(SECRET, 2**20, 2**20)),
    (
        "shamir_combine k=100000",
        lambda: synthetic_shamir_shares(100_000),
        lambda shares: core.shamir_combine(shares, 100_000),
    ),
    (
        "blakley_combine k=2048",
        lambda: synthetic_blakley_shares(2048),
        lambda shares: core.blakley_combine(shares, 2048),
    ),
    ("blakley_split k=n=3000", lambda: None, lambda _: core.blakley_split(SECRET, 3000, 3000)),
    (
        "share list conversion",
        lambda: SignalsWhenSized(str(i) for i in range(1_500_000)),
        lambda items: core.shamir_combine(items, len(items) + 1),
    ),
    (
        "safe combine, Shamir decoder",
        shamir_with_wrong_shares,
        lambda shares: varnhold.combine(shares, k=2),
    ),
    (
        "safe check, Blakley decoder",
        blakley_with_wrong_share,
        lambda shares: varnhold.check(shares, k=160),
    ),
    (
        "safe split",
        lambda: None,
        lambda _: varnhold.split(SECRET, 2**20, 2**20),
    ),
]


@pytest.mark.parametrize("name, make, call", CASES, ids=[case[0] for case in CASES])
def test_long_call_stops_on_sigint(name, make, call):
    arguments = make()
    when = "go" if isinstance(arguments, SignalsWhenSized) else str(DELAY)
    latency = interrupt(lambda: call(arguments), when)
    assert latency < LATENCY_LIMIT, f"{name}: {latency:.3f} s from SIGINT to KeyboardInterrupt"
    still_usable()


def test_wrong_share_sets_are_long_enough_to_interrupt():
    # The decoder rows above only prove something if the decoder really runs: the sets hold wrong
    # shares that the check locates.
    report = varnhold.check(with_wrong_values(core.shamir_split(SECRET, 20, 30), [4]), k=20)
    assert [s.state for s in report.shares].count("wrong") == 1
    report = varnhold.check(with_wrong_values(core.blakley_split(SECRET, 10, 12), [7]), k=10)
    assert report.shares[7].state == "wrong"

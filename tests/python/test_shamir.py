import itertools
import random
import re
import signal
import time

import pytest
import varnhold_core as vc
from hypothesis import given, settings
from hypothesis import strategies as st

from support import SECRET, P, chunks, parse_shamir, shamir_share

SHARE_RE = re.compile(r"^([1-9][0-9]*)(:[0-9a-f]{32}){4}$")


def lagrange_at(points, x):
    """The value at x of the polynomial through `points`, in Python integers mod p."""
    total = 0
    for i, (xi, yi) in enumerate(points):
        num = den = 1
        for j, (xj, _) in enumerate(points):
            if j != i:
                num = num * (x - xj) % P
                den = den * (xi - xj) % P
        total = (total + yi * num * pow(den, P - 2, P)) % P
    return total


@pytest.mark.parametrize(
    "secret, k, n, message",
    [
        (b"x" * 31, 1, 0, "Secret must be 32 bytes"),
        (b"", 2, 3, "Secret must be 32 bytes"),
        (b"x" * 33, 2, 3, "Secret must be 32 bytes"),
        (SECRET, 1, 3, "Invalid k/n parameters"),
        (SECRET, 0, 3, "Invalid k/n parameters"),
        (SECRET, 3, 2, "Invalid k/n parameters"),
        (SECRET, True, 3, "Invalid k/n parameters"),
        (SECRET, 2**64 - 1, 2**64 - 1, "Invalid n: must be <= 1048576"),
        (SECRET, 2, 1048577, "Invalid n: must be <= 1048576"),
    ],
)
def test_split_validation_order(secret, k, n, message):
    with pytest.raises(ValueError) as info:
        vc.shamir_split(secret, k, n)
    assert str(info.value) == message


@pytest.mark.parametrize("k, n", [(2, 2), (3, 5), (5, 5), (10, 40)])
def test_split_shares_lie_on_one_polynomial_per_chunk(k, n):
    shares = vc.shamir_split(SECRET, k, n)
    assert len(shares) == n
    parsed = [parse_shamir(s) for s in shares]
    for position, share in enumerate(shares, start=1):
        assert SHARE_RE.match(share), share
        assert parsed[position - 1][0] == position
    for c, chunk in enumerate(chunks(SECRET)):
        points = [(x, values[c]) for x, values in parsed]
        # The first k points fix a polynomial of degree below k: its value at 0 is the chunk
        # and every other share lies on it.
        assert lagrange_at(points[:k], 0) == chunk
        for x, y in points[k:]:
            assert lagrange_at(points[:k], x) == y


def test_largest_n_is_accepted():
    shares = vc.shamir_split(SECRET, 2, 1048576)
    assert len(shares) == 1048576
    assert shares[-1].startswith("1048576:") and len(shares[-1]) == 139
    assert vc.shamir_combine([shares[-1], shares[123456]], 2) == SECRET


def test_splits_are_fresh():
    assert vc.shamir_split(SECRET, 2, 3) != vc.shamir_split(SECRET, 2, 3)


@settings(max_examples=30, deadline=None)
@given(
    secret=st.binary(min_size=32, max_size=32),
    k=st.integers(2, 8),
    extra=st.integers(0, 4),
    seed=st.integers(0, 2**32),
)
def test_any_k_shares_in_any_order_rebuild(secret, k, extra, seed):
    shares = vc.shamir_split(secret, k, k + extra)
    rng = random.Random(seed)
    chosen = rng.sample(shares, k)
    assert vc.shamir_combine(chosen, k) == secret
    # More shares than k: only the first k are read, the rest may be anything.
    assert vc.shamir_combine(tuple(chosen) + ("garbage", "", "1:2:3"), k) == secret
    # Uppercase hex reads the same.
    assert vc.shamir_combine([s.upper() for s in chosen], k) == secret


def test_threshold_matters():
    shares = vc.shamir_split(SECRET, 3, 6)
    assert vc.shamir_combine(shares[:2], 2) != SECRET
    assert vc.shamir_combine(shares[:5], 5) == SECRET


def test_share_at_zero_carries_the_chunks():
    other = shamir_share(3, [P - 1, 2**64 + 9, 0, 12345])
    zero = shamir_share(0, [1, 2**64 + 2, 3, 4])
    result = vc.shamir_combine([other, zero], 2)
    assert [int.from_bytes(result[8 * c : 8 * c + 8], "big") for c in range(4)] == [1, 2, 3, 4]


V = ":" + "0" * 32
GOOD1 = "1" + V * 4
GOOD2 = "2" + V * 4
P_DEC = str(P)


@pytest.mark.parametrize(
    "shares, k, message",
    [
        ([], 0, "Invalid k: threshold must be at least 2"),
        ([GOOD1], 1, "Invalid k: threshold must be at least 2"),
        ([GOOD1, GOOD2], 3, "Need at least 3 shares"),
        ([GOOD1, "1" + V * 3], 2, "Invalid format"),
        ([GOOD1, GOOD2 + ":"], 2, "Invalid format"),
        ([GOOD1, "-2" + V * 4], 2, "Invalid share index: -2"),
        ([GOOD1, " 2" + V * 4], 2, "Invalid share index:  2"),
        ([GOOD1, V * 4], 2, "Invalid share index: "),
        (["9" * 39 + V * 4, GOOD1], 2, "Invalid share index: " + "9" * 39),
        ([GOOD1, P_DEC + V * 4], 2, "Invalid share index: %s must be < 2^127-1" % P_DEC),
        ([GOOD1, "+0" + P_DEC + V * 4], 2, "Invalid share index: %s must be < 2^127-1" % P_DEC),
        ([GOOD1, "+01" + V * 4], 2, "Duplicate share index 1"),
        ([GOOD1, "7" + V * 4, "007" + V * 3 + ":bad"], 3, "Duplicate share index 7"),
        (
            [GOOD1, "2" + V * 3 + ":" + "0" * 31],
            2,
            "Invalid share value: expected exactly 32 hex chars",
        ),
        ([GOOD1, "2" + V * 3 + ":" + "f" * 32], 2, "Invalid share value: value must be < 2^127-1"),
        (
            [GOOD1, "2" + V * 3 + ":" + "é" * 16],
            2,
            "Invalid share value: expected exactly 32 hex chars",
        ),
        (
            [GOOD1, "2" + V * 3 + ":" + "0" * 30 + "é"],
            2,
            "Invalid share value: expected exactly 32 hex chars",
        ),
        # The first faulty share decides, and a later share's fault is never seen.
        (["x" + V * 4, "y"], 2, "Invalid share index: x"),
    ],
)
def test_combine_failures_in_order(shares, k, message):
    with pytest.raises(ValueError) as info:
        vc.shamir_combine(shares, k)
    assert str(info.value) == message


def test_combine_always_returns_32_bytes_for_unrelated_shares():
    a = vc.shamir_split(SECRET, 2, 2)
    b = vc.shamir_split(bytes(32), 2, 3)
    result = vc.shamir_combine([a[0], b[1]], 2)
    assert type(result) is bytes and len(result) == 32


def test_all_subsets_of_a_small_split():
    shares = vc.shamir_split(SECRET, 3, 5)
    for subset in itertools.permutations(shares, 3):
        assert vc.shamir_combine(list(subset), 3) == SECRET


@pytest.mark.parametrize(
    "split, k",
    [(vc.shamir_split, 200000), (vc.blakley_split, 200)],
    ids=["shamir", "blakley"],
)
def test_a_long_split_ends_at_a_signal(split, k):
    # Both calls would run for many minutes; a signal handler's exception ends them between shares.
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            split(SECRET, k, 1048576)
        assert time.monotonic() - start < 20
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)

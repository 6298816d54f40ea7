import random
import re

import pytest
import varnhold_core as vc

from support import SECRET, P, blakley_share, chunks, parse_blakley, solve_mod_p

# Hand-made shares of threshold 3 whose coefficient rows are independent.
K3 = [
    blakley_share([1, 2, 3], [10, 20, 30, 40]),
    blakley_share([4, 5, 6], [11, 21, 31, 41]),
    blakley_share([7, 8, 10], [12, 22, 32, 42]),
]


@pytest.mark.parametrize(
    "secret, k, n, message",
    [
        (b"x" * 31, 0, 0, "Secret must be 32 bytes"),
        (b"", 2, 3, "Secret must be 32 bytes"),
        (b"x" * 33, 2, 3, "Secret must be 32 bytes"),
        (SECRET, 0, 5, "Invalid k/n"),
        (SECRET, 1, 5, "Invalid k/n"),
        (SECRET, 4, 3, "Invalid k/n"),
        (SECRET, 1048578, 1048577, "Invalid k/n"),
        (SECRET, 2, 1048577, "Invalid n: must be <= 1048576"),
        (SECRET, 2**64 - 1, 2**64 - 1, "Invalid n: must be <= 1048576"),
    ],
)
def test_split_messages_in_order(secret, k, n, message):
    with pytest.raises(ValueError) as info:
        vc.blakley_split(secret, k, n)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "shares, k, message",
    [
        ([], 1, "Not enough shares: got 0, need 1"),
        (["x", "y", "z"], 5, "Not enough shares: got 3, need 5"),
        (["x"], 1, "Invalid k: threshold must be at least 2"),
        ([], 0, "Invalid k: threshold must be at least 2"),
        ([K3[0] + ":", "x"], 2, "Share 0 has invalid format: expected 5 parts, got 6"),
        ([K3[0], K3[1], ""], 3, "Share 2 has invalid format: expected 5 parts, got 1"),
        ([K3[0], K3[1] + "\n", ""], 3, "Invalid share value: expected exactly 32 hex chars"),
        (
            [K3[0].replace(":", ",:", 1)] + K3[1:],
            3,
            "Invalid coefficient: expected exactly 32 hex chars",
        ),
        (
            [blakley_share([1, P, 3], [0] * 4)] + K3[1:],
            3,
            "Invalid coefficient: value must be < 2^127-1",
        ),
        (
            [blakley_share([1, 2, 3], [0, P, 0, 0])] + K3[1:],
            3,
            "Invalid share value: value must be < 2^127-1",
        ),
        (K3, 2, "Share 0 has invalid number of coefficients: expected 2, got 3"),
        ([K3[0], K3[1], K3[0]], 3, "System is linearly dependent"),
        ([K3[0], blakley_share([0, 0, 0], [1, 2, 3, 4]), K3[2]], 3, "System is linearly dependent"),
    ],
)
def test_combine_messages_in_order(shares, k, message):
    with pytest.raises(ValueError) as info:
        vc.blakley_combine(shares, k)
    assert str(info.value) == message


def test_constructed_shares():
    c = chunks(SECRET)
    shares = [blakley_share([1, 1], [v + 5 for v in c]), blakley_share([1, 2], [v + 10 for v in c])]
    assert vc.blakley_combine(shares, 2) == SECRET
    # Only the low 64 bits of coordinate 0 are kept.
    shares = [blakley_share([1, 0], [2**64 + 5, 0, 0, 0]), blakley_share([0, 1], [1, 2, 3, 4])]
    assert vc.blakley_combine(shares, k=2) == bytes(7) + b"\x05" + bytes(24)


@pytest.mark.parametrize("k", [2, 3, 5, 17])
def test_any_k_shares_in_any_order_rebuild_the_secret(k):
    rng = random.Random(k)
    secret = bytes(rng.randrange(256) for _ in range(32))
    shares = vc.blakley_split(secret, k, k + 4)
    for _ in range(4):
        assert vc.blakley_combine(rng.sample(shares, k), k) == secret
    garbage = ["", "::::", "zz", "x" * 300, K3[0]]
    assert vc.blakley_combine(rng.sample(shares, k) + garbage, k) == secret
    assert vc.blakley_combine([s.upper() for s in shares[:k]], k) == secret


@pytest.mark.parametrize("k, n", [(2, 2), (3, 8), (6, 9)])
def test_every_share_lies_on_the_secret_points(k, n):
    secret = bytes(random.Random(n).randrange(256) for _ in range(32))
    shares = vc.blakley_split(secret, k, n)
    layout = re.compile(
        r"^[0-7][0-9a-f]{31}(,[0-7][0-9a-f]{31}){%d}(:[0-7][0-9a-f]{31}){4}$" % (k - 1)
    )
    assert len(shares) == n
    assert all(layout.match(s) and len(s) == 33 * k + 131 for s in shares)
    parsed = [parse_blakley(s) for s in shares]
    assert all(a != 0 for coefficients, _ in parsed for a in coefficients)
    rows = [coefficients for coefficients, _ in parsed[:k]]
    for j, chunk in enumerate(chunks(secret)):
        point = solve_mod_p(rows, [constants[j] for _, constants in parsed[:k]])
        assert point[0] == chunk
        for coefficients, constants in parsed:
            assert sum(a * x for a, x in zip(coefficients, point)) % P == constants[j]


def test_two_splits_differ_and_a_zero_secret_is_shared_too():
    assert vc.blakley_split(SECRET, 2, 3) != vc.blakley_split(SECRET, 2, 3)
    zero_shares = vc.blakley_split(bytes(32), 2, 2)
    assert vc.blakley_combine(zero_shares, 2) == bytes(32)


def test_split_that_cannot_fit_in_memory_fails_at_once():
    with pytest.raises(MemoryError):
        vc.blakley_split(SECRET, 1048576, 1048576)


def test_combine_of_one_share_repeated_is_dependent_without_building_the_system():
    k = 50000  # k * (k + 4) elements of 16 bytes would be about 40 GB
    big = blakley_share([1] * k, [1, 2, 3, 4])
    with pytest.raises(ValueError, match="^System is linearly dependent$"):
        vc.blakley_combine([big] * k, k)
    # A share 0 that is not a valid share of threshold k is reported instead.
    with pytest.raises(ValueError, match="^Share 0 has invalid number of coefficients"):
        vc.blakley_combine([big] * k, k - 1)

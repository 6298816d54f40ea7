"""Dishonest custodians against envelope version 2. Each row of FORGERS is one way a coalition of
fewer than k custodians alters what it brings to a combine of exactly k shares, always under a
correct check (recomputed here as the share format defines it). No forged set may rebuild a wrong
secret: each must raise ShareError for a reason about the set, never about a text (a forgery that
happens to rebuild the true secret is counted apart). One row lies outside the model of
docs/security.md (custodians who pool shares they do not all bring) and is expected to win with
Shamir: it marks the hole that document describes. The forgers' field arithmetic is their own,
in Python integers; the package does none of it here."""

from __future__ import annotations

import hashlib
import random
from collections import Counter

import pytest

import varnhold
from support import P

KS = (2, 3, 5, 9)
XZ = 0xC96C5795D7870F42  # the ECMA-182 polynomial, bit-reversed


def step(crc):
    """Eight steps of the bitwise CRC-64/XZ register: one byte's worth."""
    for _ in range(8):
        crc = (crc >> 1) ^ (XZ if crc & 1 else 0)
    return crc


BYTE = [step(b) for b in range(256)]


def crc64(data):
    """CRC-64/XZ, each byte's eight bitwise steps taken from BYTE."""
    crc = 2**64 - 1
    for byte in data:
        crc = (crc >> 8) ^ BYTE[(crc ^ byte) & 0xFF]
    return crc ^ (2**64 - 1)


def seal(body):
    raw = body.encode()
    return "%s-%016x%02x" % (body, crc64(raw), sum(raw) % 251)


def field(digest):
    """Bytes 0 to 15 of a digest, big-endian, top bit cleared, reduced modulo p."""
    return (int.from_bytes(digest[:16], "big") & (2**127 - 1)) % P


def tag(key, secret):
    return field(hashlib.blake2s(secret, key=key.to_bytes(16, "big")).digest())


def inverse(x):
    return pow(x, -1, P)


def weights(xs):
    """The Lagrange weights of the points xs at 0."""
    out = []
    for j, xj in enumerate(xs):
        num = den = 1
        for m, xm in enumerate(xs):
            if m != j:
                num, den = num * xm % P, den * (xm - xj) % P
        out.append(num * inverse(den) % P)
    return out


def chunks(secret):
    return [int.from_bytes(secret[8 * c : 8 * c + 8], "big") for c in range(4)]


class Split:
    """A genuine split of k + 1 shares, each read as a point: (number, x, six y), x the Shamir
    index or the Blakley node, y the value (Blakley: the constant divided by the node)."""

    def __init__(self, rng, scheme, k):
        self.scheme, self.k, self.secret = scheme, k, rng.randbytes(32)
        texts = varnhold.split(self.secret, k, k + 1, scheme=scheme)
        assert seal(texts[0].rsplit("-", 1)[0]) == texts[0]
        self.set_id = texts[0].split("-")[3]
        self.shares = [self.read(text) for text in texts]
        self.genuine = {(n, tuple(ys)): text for (n, _, ys), text in zip(self.shares, texts)}
        self.taken = {share[0] for share in self.shares}

    def x(self, number):
        if self.scheme == "shamir":
            return number
        data = b"vh2 row" + bytes.fromhex(self.set_id) + number.to_bytes(8, "big")
        return field(hashlib.blake2s(data).digest()) % (P - 1) + 1

    def read(self, text):
        number, values = text.split("-")[4:6]
        x = self.x(int(number))
        scale = 1 if self.scheme == "shamir" else inverse(x)
        return int(number), x, [int(v, 16) * scale % P for v in values.split(":")]

    def text(self, number, ys):
        if (number, tuple(ys)) in self.genuine:
            return self.genuine[number, tuple(ys)]
        scale = 1 if self.scheme == "shamir" else self.x(number)
        values = ":".join("%032x" % (y * scale % P) for y in ys)
        return seal(f"vh2-{self.scheme[0]}-{self.k}-{self.set_id}-{number}-{values}")

    def fresh(self, rng):
        """A number the split never wrote: small or up to 2^64."""
        number = rng.choice((rng.randrange(1, 2**16), rng.randrange(1, 2**64)))
        if number in self.taken:
            return self.fresh(rng)
        self.taken.add(number)
        return number


def moved(rng, split):
    """Amounts that move the secret to one of the forger's choosing (its chunks stay below 2^64)
    and the key and the tag by chosen amounts, or not at all."""
    goal = chunks(rng.randbytes(32))
    return [(b - a) % P for a, b in zip(chunks(split.secret), goal)] + [
        rng.randrange(P) * rng.randrange(2) for _ in range(2)
    ]


def shifted(rng, split, cheats, amounts):
    """`cheats` of the k shares used shift their values so that the rebuilt values move by
    `amounts`: the weighted shifts add up to them (Shamir and Blakley are both linear)."""
    used = rng.sample(split.shares, split.k)
    lam = weights([x for _, x, _ in used])
    parts = [[rng.randrange(P) for _ in amounts] for _ in range(cheats - 1)]
    left = [d - sum(w * p[c] for w, p in zip(lam[1:], parts)) for c, d in enumerate(amounts)]
    parts.insert(0, [d * inverse(lam[0]) % P for d in left])
    out = [(n, [(y + d) % P for y, d in zip(ys, p)]) for (n, _, ys), p in zip(used, parts)]
    return out + [(n, ys) for n, _, ys in used[cheats:]]


def claimed(rng, split, made_up):
    """Up to k - 1 of the k shares used are brought under numbers the split never wrote, with
    made-up values or their own."""
    used = rng.sample(split.shares, split.k)
    cheats = rng.randrange(1, split.k)
    out = [(n, ys) for n, _, ys in used[cheats:]]
    for _, _, ys in used[:cheats]:
        out.append((split.fresh(rng), [rng.randrange(P) for _ in ys] if made_up else ys))
    return out


def replaced(rng, split):
    """One share is replaced by the share of the same number from another split of the same
    secret, brought under this set's id."""
    other = varnhold.split(split.secret, split.k, split.k + 1, scheme=split.scheme)
    used = rng.sample(range(split.k + 1), split.k)
    values = other[used[0]].split("-")[5]
    body = f"vh2-{split.scheme[0]}-{split.k}-{split.set_id}-{split.shares[used[0]][0]}-{values}"
    return [(split.shares[j][0], split.shares[j][2]) for j in used[1:]], [seal(body)]


def steered(rng, split, honest, guess=None):
    """k - 1 custodians pool their shares, which with the secret they know give every honest
    value as a known amount plus an unknown multiple of q(x) (q vanishes at the pooled points,
    q(0) = 1; the multiple is 0 for the chunks, R - r for the key and T - tag(r) for the tag,
    r their guess of R). k - honest texts come under new numbers, made so that the rebuilt
    values would be a secret of their choosing, a key and its tag if the guess were right.
    Beside two honest shares the last Shamir index is chosen so that the multiple drops out
    and the guess does not matter; a Blakley node follows from its number, and cannot be."""
    pooled, kept = split.shares[: split.k - 1], split.shares[split.k - 1 :][:honest]
    numbers = [split.fresh(rng) for _ in range(split.k - honest)]
    xs, h = [split.x(n) for n in numbers], [x for _, x, _ in kept]
    q = [1] * honest
    for j in range(honest):
        for _, x, _ in pooled:
            q[j] = q[j] * (h[j] - x) * inverse(-x) % P
    if honest == 2 and split.scheme == "shamir":
        a = [q[j] * weights([h[j], h[1 - j]] + xs[:-1])[0] % P for j in (0, 1)]
        xs[-1] = numbers[-1] = (a[0] * h[1] + a[1] * h[0]) * inverse(a[0] + a[1]) % P
    guess = rng.randrange(P) if guess is None else guess
    goal, key = rng.randbytes(32), rng.randrange(P)
    base = chunks(split.secret) + [guess, tag(guess, split.secret)]
    lam = weights(h + xs)
    # The polynomial through the pooled points and (0, 0), at each honest point.
    at_h = [weights([x - hj for _, x, _ in pooled] + [-hj]) for hj in h]
    forged = [[rng.randrange(P) for _ in range(6)] for _ in xs[:-1]]
    last = []
    for c, want in enumerate(chunks(goal) + [key, tag(key, goal)]):
        known = sum(
            w * (sum(a * ys[c] for a, (_, _, ys) in zip(at, pooled)) + base[c] * qj)
            for w, at, qj in zip(lam, at_h, q)
        )
        left = want - known - sum(w * f[c] for w, f in zip(lam[honest:], forged))
        last.append(left * inverse(lam[-1]) % P)
    return [(n, ys) for n, _, ys in kept] + list(zip(numbers, forged + [last]))


# Each row: the forger, (rng, split) -> the k shares it hands to combine as (number, six y), or
# those and finished texts; the k it is tried with, in turn; and the trials. The rows inside the
# model of docs/security.md make more than 10^4 trials per scheme.
FORGERS = {
    "lone: six values shifted by chosen amounts": (
        lambda r, s: shifted(r, s, 1, [r.randrange(P) for _ in range(6)]),
        KS,
        1700,
    ),
    "lone: secret moved by delta (delta / lambda_i), key and tag shifted or not": (
        lambda r, s: shifted(r, s, 1, moved(r, s)),
        KS,
        1700,
    ),
    "up to k - 1: secret moved by delta, key and tag shifted or not": (
        lambda r, s: shifted(r, s, r.randrange(1, s.k), moved(r, s)),
        KS,
        1700,
    ),
    "up to k - 1: other numbers, made-up values": (lambda r, s: claimed(r, s, True), KS, 1700),
    "up to k - 1: other numbers, own values": (lambda r, s: claimed(r, s, False), KS, 1700),
    "a share of another split under this set id": (replaced, KS, 1700),
    "k - 1 bring their shares under new numbers, steered to a secret of their choosing": (
        lambda r, s: steered(r, s, 1),
        KS,
        1700,
    ),
    "k - 1 pool their shares, k - 2 bring one under numbers that cancel": (
        lambda r, s: steered(r, s, 2),
        KS[1:],
        400,
    ),
}
# Outside the model: the forgers choose a Shamir index freely, and the last row sets the secret
# at will (docs/security.md, what it does not cover). A Blakley node is not theirs to choose.
HOLE = ("shamir", "k - 1 pool their shares, k - 2 bring one under numbers that cancel")


@pytest.mark.parametrize(
    "scheme, row",
    [
        pytest.param(*case, marks=pytest.mark.xfail(reason="cancelling indices", strict=True))
        if case == HOLE
        else case
        for case in [(s, row) for s in ("shamir", "blakley") for row in FORGERS]
    ],
)
def test_no_forged_set_rebuilds_a_wrong_secret(scheme, row):
    rng = random.Random(f"{scheme} {row}")
    forger, ks, trials = FORGERS[row]
    outcomes = Counter()
    for trial in range(trials):
        split = Split(rng, scheme, ks[trial % len(ks)])
        forged = forger(rng, split)
        pairs, texts = forged if isinstance(forged, tuple) else (forged, [])
        texts = texts + [split.text(n, ys) for n, ys in pairs]
        assert len(texts) == split.k
        rng.shuffle(texts)
        try:
            secret = varnhold.combine(texts)
        except varnhold.ShareError as error:
            assert "checksum" not in error.reason and "envelope" not in error.reason, error
            outcomes["refused: " + error.reason.split(":")[0]] += 1
        else:
            outcomes["true secret" if secret == split.secret else "WRONG SECRET"] += 1
    print(f"\n{scheme} / {row}: {dict(outcomes)}")
    assert sum(outcomes.values()) == trials and outcomes["WRONG SECRET"] == 0


@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
@pytest.mark.parametrize("k", KS)
def test_steered_forgers_win_when_they_know_the_key(scheme, k):
    """The control: what stops the steered forgers is the key they do not know, not a fault of
    their making. Given R, their set rebuilds a secret of their choosing."""
    split = Split(random.Random(k), scheme, k)
    used = split.shares[:k]
    key = sum(w * ys[4] for w, (_, _, ys) in zip(weights([x for _, x, _ in used]), used)) % P
    texts = [split.text(n, ys) for n, ys in steered(random.Random(k), split, 1, key)]
    assert varnhold.combine(texts) != split.secret

"""Dishonest custodians against envelope version 2. Each row of FORGERS is one way a coalition of
fewer than k custodians, who may pool any number of their shares, alters what it brings to a
combine of exactly k shares, always under a correct check (recomputed here as the share format
defines it). Values 0 to 4 of a share are shared; value 5 is the set's tag T itself, which every
forger reads off its own share and writes into its texts unless the row says otherwise. No forged
set may rebuild a wrong secret: each must raise ShareError for a reason about the set, never
about a text (a forgery that happens to rebuild the true secret is counted apart). The forgers'
field arithmetic is their own, in Python integers; the package does none of it here."""

from __future__ import annotations

import hashlib
import random
from collections import Counter

import pytest

import varnhold
from support import P

KS = (2, 3, 5, 9)
SHARED = 5  # values 0 to 4 are shared, value 5 is the tag
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
    """A genuine split of k + 1 shares, each read as (number, x, six y): x the Shamir index or the
    Blakley node; y_0 .. y_4 the shared values (Blakley: the constants divided by the node), y_5
    the tag T as written."""

    def __init__(self, rng, scheme, k):
        self.scheme, self.k, self.secret = scheme, k, rng.randbytes(32)
        texts = varnhold.split(self.secret, k, k + 1, scheme=scheme)
        assert seal(texts[0].rsplit("-", 1)[0]) == texts[0]
        self.set_id = texts[0].split("-")[3]
        self.shares = [self.read(text) for text in texts]
        self.tag = self.shares[0][2][SHARED]
        self.genuine = {(n, tuple(ys)): text for (n, _, ys), text in zip(self.shares, texts)}
        self.taken = {share[0] for share in self.shares}

    def x(self, number):
        if self.scheme == "shamir":
            return number
        data = b"vh2 row" + bytes.fromhex(self.set_id) + number.to_bytes(8, "big")
        return field(hashlib.blake2s(data).digest()) % (P - 1) + 1

    def scales(self, number, power):
        """Each value's factor from y to the text and back: the node (power 1 or -1) for the
        shared Blakley values, 1 for Shamir and for the tag."""
        node = 1 if self.scheme == "shamir" else pow(self.x(number), power, P)
        return [node] * SHARED + [1]

    def read(self, text):
        number, values = text.split("-")[4:6]
        number = int(number)
        ys = [int(v, 16) * a % P for v, a in zip(values.split(":"), self.scales(number, -1))]
        return number, self.x(number), ys

    def text(self, number, ys):
        if (number, tuple(ys)) in self.genuine:
            return self.genuine[number, tuple(ys)]
        values = ":".join("%032x" % (y * a % P) for y, a in zip(ys, self.scales(number, 1)))
        return seal(f"vh2-{self.scheme[0]}-{self.k}-{self.set_id}-{number}-{values}")

    def key(self):
        """R, rebuilt from the first k shares."""
        used = self.shares[: self.k]
        lam = weights([x for _, x, _ in used])
        return sum(w * ys[4] for w, (_, _, ys) in zip(lam, used)) % P

    def fresh(self, rng):
        """A number the split never wrote: small or up to 2^64."""
        number = rng.choice((rng.randrange(1, 2**16), rng.randrange(1, 2**64)))
        if number in self.taken:
            return self.fresh(rng)
        self.taken.add(number)
        return number


def moved(rng, split):
    """Amounts that move the secret to one of the forger's choosing (its chunks stay below 2^64)
    and the key by a chosen amount, or not at all."""
    goal = chunks(rng.randbytes(32))
    key = rng.randrange(P) * rng.randrange(2)
    return [(b - a) % P for a, b in zip(chunks(split.secret), goal)] + [key]


def shifted(rng, split, cheats, amounts):
    """`cheats` of the k shares used shift their shared values so that the rebuilt values move by
    `amounts`: the weighted shifts add up to them (Shamir and Blakley are both linear). The tag
    stays as written."""
    used = rng.sample(split.shares, split.k)
    lam = weights([x for _, x, _ in used])
    parts = [[rng.randrange(P) for _ in amounts] for _ in range(cheats - 1)]
    left = [d - sum(w * p[c] for w, p in zip(lam[1:], parts)) for c, d in enumerate(amounts)]
    parts.insert(0, [d * inverse(lam[0]) % P for d in left])
    out = [
        (n, [(y + d) % P for y, d in zip(ys, p)] + ys[SHARED:])
        for (n, _, ys), p in zip(used, parts)
    ]
    return out + [(n, ys) for n, _, ys in used[cheats:]]


def claimed(rng, split, made_up):
    """Up to k - 1 of the k shares used are brought under numbers the split never wrote, with
    made-up shared values or their own, and the set's tag."""
    used = rng.sample(split.shares, split.k)
    cheats = rng.randrange(1, split.k)
    out = [(n, ys) for n, _, ys in used[cheats:]]
    for _, _, ys in used[:cheats]:
        made = [rng.randrange(P) for _ in range(SHARED)] + [split.tag]
        out.append((split.fresh(rng), made if made_up else ys))
    return out


def replaced(rng, split):
    """One share is replaced by the share of the same number from another split of the same
    secret, brought under this set's id with this set's tag."""
    other = varnhold.split(split.secret, split.k, split.k + 1, scheme=split.scheme)
    used = rng.sample(range(split.k + 1), split.k)
    values = other[used[0]].split("-")[5].split(":")[:SHARED] + ["%032x" % split.tag]
    number = split.shares[used[0]][0]
    body = f"vh2-{split.scheme[0]}-{split.k}-{split.set_id}-{number}-{':'.join(values)}"
    return [(split.shares[j][0], split.shares[j][2]) for j in used[1:]], [seal(body)]


def steered(rng, split, honest, goal, key, guess=None, tagged=None):
    """k - 1 custodians pool their shares, which with the secret they know give every honest
    shared value as a known amount plus an unknown multiple of q(x) (q vanishes at the pooled
    points, q(0) = 1; the multiple is 0 for the chunks and R - r for the key, r their guess of R,
    random unless given). k - honest texts come under new numbers, made so that the rebuilt
    values would be the secret `goal` and the key `key` if the guess were right, and carry the
    tag `tagged` (the set's T unless given). Beside two honest shares the last Shamir index is
    chosen so that the multiple drops out and the guess does not matter: the forgers then choose
    every rebuilt value. A Blakley node follows from its number, and cannot be chosen."""
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
    base = chunks(split.secret) + [guess]
    lam = weights(h + xs)
    # The polynomial through the pooled points and (0, 0), at each honest point.
    at_h = [weights([x - hj for _, x, _ in pooled] + [-hj]) for hj in h]
    forged = [[rng.randrange(P) for _ in range(SHARED)] for _ in xs[:-1]]
    last = []
    for c, want in enumerate(chunks(goal) + [key]):
        known = sum(
            w * (sum(a * ys[c] for a, (_, _, ys) in zip(at, pooled)) + base[c] * qj)
            for w, at, qj in zip(lam, at_h, q)
        )
        left = want - known - sum(w * f[c] for w, f in zip(lam[honest:], forged))
        last.append(left * inverse(lam[-1]) % P)
    written = [split.tag if tagged is None else tagged]
    return [(n, ys) for n, _, ys in kept] + [
        (n, f + written) for n, f in zip(numbers, forged + [last])
    ]


def aimed(rng, split, honest, own_tag):
    """Steered forgers aiming at a random secret and key, with the set's tag or the tag of what
    they aim at."""
    goal, key = rng.randbytes(32), rng.randrange(P)
    return steered(rng, split, honest, goal, key, tagged=tag(key, goal) if own_tag else None)


# Each row: the forger, (rng, split) -> the k shares it hands to combine as (number, six y), or
# those and finished texts; the k it is tried with, in turn; and the trials (more than 10^4 per
# scheme in all).
FORGERS = {
    "lone: five shared values shifted by chosen amounts": (
        lambda r, s: shifted(r, s, 1, [r.randrange(P) for _ in range(SHARED)]),
        KS,
        1300,
    ),
    "lone: secret moved by delta (delta / lambda_i), key shifted or not": (
        lambda r, s: shifted(r, s, 1, moved(r, s)),
        KS,
        1300,
    ),
    "up to k - 1: secret moved by delta, key shifted or not": (
        lambda r, s: shifted(r, s, r.randrange(1, s.k), moved(r, s)),
        KS,
        1300,
    ),
    "up to k - 1: other numbers, made-up values": (lambda r, s: claimed(r, s, True), KS, 1300),
    "up to k - 1: other numbers, own values": (lambda r, s: claimed(r, s, False), KS, 1300),
    "a share of another split under this set id and tag": (replaced, KS, 1300),
    "k - 1 bring their shares under new numbers, steered to a secret of their choosing": (
        lambda r, s: aimed(r, s, 1, False),
        KS,
        1300,
    ),
    "k - 1 pool their shares, k - 2 bring one under numbers that cancel": (
        lambda r, s: aimed(r, s, 2, False),
        KS[1:],
        900,
    ),
    "k - 1 pool, k - 2 bring one under cancelling numbers and the tag of what they aim at": (
        lambda r, s: aimed(r, s, 2, True),
        KS[1:],
        900,
    ),
}


@pytest.mark.parametrize("row", FORGERS)
@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
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
@pytest.mark.parametrize("k, honest", [(k, h) for k in KS for h in (1, 2) if h < k])
def test_steered_forgers_rebuild_what_they_aim_at(scheme, k, honest):
    """The control: the steered forgers' texts rebuild exactly the key and secret they aim at
    (given R, which the cancelling Shamir forgers do not need), so what refuses them is the
    honest shares' T, not a fault of their making. Aiming at a wrong secret, they are refused for
    the tag; had every text, the honest ones too, the tag of their aim, they would win; aiming at
    the true key and secret, their texts pass."""
    rng = random.Random(f"{scheme} {k} {honest}")
    split = Split(rng, scheme, k)
    r = split.key()
    guess = None if (scheme, honest) == ("shamir", 2) else r
    goal, key = rng.randbytes(32), rng.randrange(P)
    forged = steered(rng, split, honest, goal, key, guess)
    with pytest.raises(varnhold.ShareError, match="tag does not match"):
        varnhold.combine([split.text(n, ys) for n, ys in forged])
    retagged = [split.text(n, ys[:SHARED] + [tag(key, goal)]) for n, ys in forged]
    assert varnhold.combine(retagged) == goal != split.secret
    true = steered(rng, split, honest, split.secret, r, guess)
    assert {n for n, _ in true} - {n for n, _, _ in split.shares}
    assert varnhold.combine([split.text(n, ys) for n, ys in true]) == split.secret

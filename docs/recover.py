#!/usr/bin/env python3
"""Rebuild a varnhold secret from its shares with nothing but Python (3.6 or later).

For the day nothing else is left: this script is slow and does nothing against timing attacks
(the arithmetic runs on Python integers, whose time depends on the values). Prefer the varnhold
package whenever it can be installed; run this on an offline machine you trust.

    python3 recover.py SHARE_FILE...          each non-blank line of each file is a share
    python3 recover.py < shares.txt           shares on standard input, one a line
    python3 recover.py -k 3 SHARE_FILE...     bare shares (without an envelope) need k

It reads envelope shares (`vh1-...`) of both schemes, Shamir and Blakley, and bare shares when k
is given; verifies every share's check, rebuilds the secret from the first k shares, verifies
every further share against it, and prints the 32-byte secret as 64 hexadecimal digits. Any
share that is mistyped, damaged, of another set, or disagrees is refused by name, and nothing is
printed but the reasons. Everything here follows docs/share-format.md.
"""

import argparse
import sys
from collections import namedtuple

P = 2**127 - 1  # the field's prime
DECIMAL_DIGITS = set("0123456789")
HEX_DIGITS = set("0123456789abcdef")

# One readable share. scheme: "s" or "b"; k, set_id and number are None for a bare share;
# version: the envelope version or None; x: the Shamir index (None for Blakley); row: the Blakley
# coefficients (None for Shamir); values: the four values (Shamir) or constants (Blakley).
Share = namedtuple("Share", "name scheme k set_id number version x row values")


class Refused(Exception):
    """A share, or the set, cannot be used; the message says why."""


# ---------------------------------------------------------------------------------- text rules


def trim(text):
    """Surrounding spaces, tabs, CR and LF, and a UTF-8 byte-order mark before the text."""
    text = text.strip(" \t\r\n")
    if text.startswith("\ufeff"):
        text = text[1:].strip(" \t\r\n")
    return text


def plain_decimal(field, what, low, below):
    """Digits only, no sign, no leading zero, low <= value < below: as every writer spells it."""
    if not field or not set(field) <= DECIMAL_DIGITS or (len(field) > 1 and field[0] == "0"):
        raise Refused(what + " is not plain decimal")
    value = int(field)
    if not low <= value < below:
        raise Refused(what + " is out of range")
    return value


def field_element(text, what, lower_only):
    """Exactly 32 hexadecimal digits, a value below p."""
    digits = text if lower_only else text.lower()
    if len(text) != 32 or not set(digits) <= HEX_DIGITS:
        case = "lowercase " if lower_only else ""
        raise Refused(what + " is not 32 " + case + "hexadecimal digits")
    value = int(text, 16)
    if value >= P:
        raise Refused(what + " is not below 2^127-1")
    return value


def parse_bare(name, text, k, in_envelope):
    """A bare share: `index:v0:v1:v2:v3` (Shamir) or `a0,..,a(k-1):c0:c1:c2:c3` (Blakley).

    Upper-case digits are read only outside an envelope; index 0, a signed or zero-padded index
    and a zero coefficient are refused: no split writes them."""
    scheme = "b" if "," in text else "s"
    fields = text.split(":")
    if len(fields) != 5:
        raise Refused("does not have the five ':'-separated parts of a share")
    values = [field_element(f, "a share value", in_envelope) for f in fields[1:]]
    if scheme == "s":
        x = plain_decimal(fields[0], "the share index", 1, P)
        return Share(name, "s", k, None, None, None, x, None, values)
    row = [field_element(f, "a coefficient", in_envelope) for f in fields[0].split(",")]
    if len(row) != k:
        raise Refused("has %d coefficients, but k = %d" % (len(row), k))
    if 0 in row:
        raise Refused("has a coefficient of 0, which no split writes")
    return Share(name, "b", k, None, None, None, None, row, values)


# ------------------------------------------------------------------------ envelope, version 1


def check_v1(body):
    """The version 1 check: a polynomial hash modulo 2^32-5 over 8-byte little-endian blocks,
    then the byte sum modulo 251; 10 lowercase hexadecimal digits."""
    h = 0
    for j in range(0, len(body), 8):
        w = int.from_bytes(body[j : j + 8].ljust(8, b"\0"), "little")
        h = (h * 0x6C8E9CF5 + w) % 4294967291
    return "%08x%02x" % (h, sum(body) % 251)


def open_v1(name, text):
    """`vh1-{s|b}-{k}-{set id}-{number}-{bare share}-{check}`; the check comes before any field."""
    if len(text) < 11 or text[-11] != "-" or not set(text[-10:]) <= HEX_DIGITS:
        raise Refused("has no valid checksum field (mistyped or cut short?)")
    body = text[:-11]
    if check_v1(body.encode("ascii")) != text[-10:]:
        raise Refused("checksum does not match: the share is mistyped or damaged")
    fields = body.split("-")
    if len(fields) != 6:
        raise Refused("does not have the seven fields of an envelope")
    _, scheme, k_text, set_id, number_text, bare = fields
    if scheme not in ("s", "b"):
        raise Refused("has an unknown scheme")
    k = plain_decimal(k_text, "the threshold", 2, 1048577)
    if len(set_id) != 16 or not set(set_id) <= HEX_DIGITS:
        raise Refused("has an invalid set id")
    number = plain_decimal(number_text, "the share number", 1, P if scheme == "s" else 2**64)
    share = parse_bare(name, bare, k, in_envelope=True)
    if share.scheme != scheme:
        raise Refused("holds a share of the other scheme")
    if scheme == "s" and bare.split(":")[0] != number_text:
        raise Refused("its envelope number is not the share's index")
    return share._replace(k=k, set_id=set_id, number=number, version="1")


def verify_set_v1(shares, chunks):
    """Version 1 has no more to verify once the set agrees; a later version checks its tag
    here."""
    return chunks


# A new envelope version adds its reader and its set verification here.
VERSIONS = {"1": (open_v1, verify_set_v1)}


def read_share(name, text, k):
    """One share text: an envelope by its `vh` tag, else a bare share (which needs k)."""
    text = trim(text)
    if not text:
        raise Refused("is empty")
    if not text.startswith("vh"):
        if k is None:
            raise Refused("is a bare share, which needs -k (and never joins envelope shares)")
        return parse_bare(name, text, k, in_envelope=False)
    if any(not 0x21 <= ord(c) <= 0x7E for c in text):
        raise Refused("contains a character that no share has")
    version = text[2:].split("-", 1)[0]
    if version not in VERSIONS:
        if version and set(version) <= DECIMAL_DIGITS:
            raise Refused(
                "is written in envelope version %s, which this script cannot read "
                "(or the share is mistyped)" % version
            )
        raise Refused("has no valid version (mistyped?)")
    return VERSIONS[version][0](name, text)


# ---------------------------------------------------------------------------------- the set


def choose_set(shares, k):
    """The largest group of envelopes (scheme, k, set id), the earliest on a tie; every other
    share is refused. Bare shares never mix with envelopes."""
    envelopes = [s for s in shares if s.version is not None]
    if not envelopes:
        if len({s.scheme for s in shares}) > 1:
            raise Refused("the bare shares mix Shamir and Blakley shares")
        return shares
    groups = {}
    for s in envelopes:
        groups.setdefault((s.scheme, s.k, s.set_id), []).append(s)
    key = max(groups, key=lambda g: len(groups[g]))  # max() keeps the first of equals
    problems = []
    if k is not None and k != key[1]:
        problems.append("k = %d was given, but the shares were made with k = %d" % (k, key[1]))
    for s in shares:
        if s.version is None:
            problems.append(s.name + ": is a bare share; it cannot join a set of envelopes")
        elif (s.scheme, s.k, s.set_id) != key:
            problems.append(s.name + ": belongs to another set (scheme, k or set id differ)")
    if problems:
        raise Refused("\n".join(problems))
    return groups[key]


def distinct(shares):
    """Drops exact repeats; refuses two different shares at one Shamir index or under one
    Blakley number."""
    kept, seen = [], {}
    for s in shares:
        keys = [s.x] if s.scheme == "s" else [(tuple(s.row), tuple(s.values)), s.number]
        earlier = next((seen[key] for key in keys if key is not None and key in seen), None)
        if earlier is not None and earlier[1:] == s[1:]:
            continue  # the same share twice (the name, first, may differ)
        if earlier is not None:
            raise Refused("%s: differs from %s, which has the same number" % (s.name, earlier.name))
        seen.update((key, s) for key in keys if key is not None)
        kept.append(s)
    return kept


# ------------------------------------------------------------------------------- rebuilding


def inverse(a):
    return pow(a, P - 2, P)


def lagrange_at(points, x):
    """The value at x of the polynomial of degree < len(points) through points [(xi, yi)]."""
    total = 0
    for i, (xi, yi) in enumerate(points):
        num, den = 1, 1
        for j, (xj, _) in enumerate(points):
            if j != i:
                num = num * (x - xj) % P
                den = den * (xi - xj) % P
        total = (total + yi * num * inverse(den)) % P
    return total


def rebuild_shamir(shares, k):
    """The first k shares give the four polynomials; every later share must lie on them."""
    first = shares[:k]
    chunks = [lagrange_at([(s.x, s.values[c]) for s in first], 0) for c in range(4)]
    for s in shares[k:]:
        for c in range(4):
            if lagrange_at([(t.x, t.values[c]) for t in first], s.x) != s.values[c]:
                raise Refused(s.name + ": disagrees with the other shares")
    return chunks


def rebuild_blakley(shares, k):
    """Gauss-Jordan elimination over every share's row [a0..a(k-1) | c0..c3]: the system must
    have rank k and be consistent; the point's coordinate 0 is the chunk."""
    rows = [list(s.row) + list(s.values) for s in shares]
    for col in range(k):
        pivot = next((r for r in range(col, len(rows)) if rows[r][col]), None)
        if pivot is None:
            raise Refused("fewer than k of the shares are independent hyperplanes")
        rows[col], rows[pivot] = rows[pivot], rows[col]
        inv = inverse(rows[col][col])
        rows[col] = [v * inv % P for v in rows[col]]
        for r in range(len(rows)):
            if r != col and rows[r][col]:
                f = rows[r][col]
                rows[r] = [(v - f * w) % P for v, w in zip(rows[r], rows[col])]
    if any(v for row in rows[k:] for v in row[k:]):
        raise Refused("the shares disagree: one of them is wrong, or they mix splits")
    return rows[0][k:]


def combine(texts, k=None):
    """[(name, text)] -> the 32-byte secret; raises Refused naming every share it cannot use."""
    shares, problems = [], []
    for name, text in texts:
        try:
            shares.append(read_share(name, text, k))
        except Refused as error:
            problems.append("%s: %s" % (name, error))
    if problems:
        raise Refused("\n".join(problems))
    if not shares:
        raise Refused("no share was given")
    shares = distinct(choose_set(shares, k))
    k = shares[0].k
    if len(shares) < k:
        raise Refused("need at least %d shares of one set, got %d" % (k, len(shares)))
    rebuild = rebuild_shamir if shares[0].scheme == "s" else rebuild_blakley
    chunks = rebuild(shares, k)
    if shares[0].version is not None:
        chunks = VERSIONS[shares[0].version][1](shares, chunks)
    if any(c >= 2**64 for c in chunks):
        raise Refused(
            "the shares do not rebuild a secret of one split: "
            "they mix splits, a share was altered, or k is wrong"
        )
    return b"".join(c.to_bytes(8, "big") for c in chunks)


# ----------------------------------------------------------------------------- command line


def share_lines(named_texts):
    """Each non-blank line is a share, named by its source (and line, when it has several)."""
    out = []
    for source, content in named_texts:
        lines = [(n, line) for n, line in enumerate(content.splitlines(), 1) if line.strip()]
        for n, line in lines:
            out.append((source if len(lines) == 1 else "%s line %d" % (source, n), line))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description="Rebuild a varnhold secret from its shares.")
    parser.add_argument("-k", type=int, help="the threshold, needed for bare shares")
    parser.add_argument("files", nargs="*", help="share files (default: standard input)")
    args = parser.parse_args(argv)
    if args.k is not None and not 2 <= args.k <= 1048576:
        parser.error("k must be 2 to 1048576")
    try:
        if args.files:
            sources = []
            for path in args.files:
                with open(path, encoding="utf-8") as f:
                    sources.append((path, f.read()))
        else:
            sources = [("standard input", sys.stdin.read())]
        secret = combine(share_lines(sources), args.k)
    except (OSError, UnicodeDecodeError) as error:
        print("recover.py: cannot read the shares: %s" % error, file=sys.stderr)
        return 2
    except Refused as error:
        print("recover.py: no secret was rebuilt:\n%s" % error, file=sys.stderr)
        return 1
    print(secret.hex())
    return 0


if __name__ == "__main__":
    sys.exit(main())

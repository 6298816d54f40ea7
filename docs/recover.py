#!/usr/bin/env python3
"""Rebuild a varnhold secret from its shares with nothing but Python (3.6 or later).

WARNING: for the day nothing else is left. This script is slow and does nothing against timing
attacks: the arithmetic runs on Python integers, whose time depends on the values, and the
checks look up tables by the share's bytes. Prefer the varnhold package whenever it can be
installed; run this on an offline machine you trust.

    python3 recover.py SHARE_FILE...          each non-blank line of each file is a share
    python3 recover.py < shares.txt           shares on standard input, one a line
    python3 recover.py -k 3 SHARE_FILE...     bare shares (without an envelope) need k

It reads envelope shares of versions 1 (`vh1-...`) and 2 (`vh2-...`) of both schemes, Shamir
and Blakley, and bare shares when k is given; verifies every share's check, rebuilds the secret
from the first k shares, verifies every further share against it (and, in version 2, the
secret's tag), and prints the 32-byte secret as 64 hexadecimal digits. It takes one set at a
time: a share that is mistyped, damaged, of another set or version, or that disagrees is
refused by name, and nothing is printed but the reasons; it does not try to find which share is
wrong. Everything here follows docs/share-format.md and docs/check-v2.md.
"""

import argparse
import hashlib
import sys
from collections import namedtuple

P = 2**127 - 1  # the field's prime
DECIMAL_DIGITS = set("0123456789")
HEX_DIGITS = set("0123456789abcdef")

# One readable share. scheme: "s" or "b"; k, set_id, number and version are None for a bare
# share. x: the point's abscissa (the Shamir index, or a version 2 Blakley share's node) and
# values: the values there; row: a version 1 or bare Blakley share's coefficients (else None)
# and values: its constants.
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


def is_plain_decimal(field):
    return bool(field) and set(field) <= DECIMAL_DIGITS and (field == "0" or field[0] != "0")


def plain_decimal(field, what, low, below):
    """Digits only, no sign, no leading zero, low <= value < below: as every writer spells it."""
    if not is_plain_decimal(field) or not low <= int(field) < below:
        raise Refused("envelope has an invalid " + what)
    return int(field)


def field_element(text, what, lower_only):
    """Exactly 32 hexadecimal digits, a value below p."""
    digits = text if lower_only else text.lower()
    if len(text) != 32 or not set(digits) <= HEX_DIGITS:
        case = "lowercase " if lower_only else ""
        raise Refused(what + " is not 32 " + case + "hexadecimal digits")
    if int(text, 16) >= P:
        raise Refused(what + " is not below 2^127-1")
    return int(text, 16)


def parse_bare(name, text, k, in_envelope):
    """A bare share: `index:v0:v1:v2:v3` (Shamir) or `a0,..,a(k-1):c0:c1:c2:c3` (Blakley).

    Upper-case digits are read only outside an envelope; index 0, a signed or zero-padded index
    and a zero coefficient are refused: no split writes them."""
    fields = text.split(":")
    if len(fields) != 5:
        raise Refused("does not have the five ':'-separated parts of a share")
    values = [field_element(f, "a share value", in_envelope) for f in fields[1:]]
    if "," not in text:
        if not is_plain_decimal(fields[0]) or not 1 <= int(fields[0]) < P:
            raise Refused("has an invalid share index (no split writes 0, a sign or a zero)")
        return Share(name, "s", k, None, None, None, int(fields[0]), None, values)
    row = [field_element(f, "a coefficient", in_envelope) for f in fields[0].split(",")]
    if len(row) != k:
        raise Refused("has %d coefficients, but k = %d" % (len(row), k))
    if 0 in row:
        raise Refused("has a zero coefficient, which no split writes")
    return Share(name, "b", k, None, None, None, None, row, values)


# ----------------------------------------------------------------------------------- checks


def check_v1(body):
    """Version 1: a polynomial hash modulo 2^32-5 over 8-byte little-endian blocks (8 digits),
    then the byte sum modulo 251 (2 digits)."""
    h = 0
    for j in range(0, len(body), 8):
        block = int.from_bytes(body[j : j + 8].ljust(8, b"\0"), "little")
        h = (h * 0x6C8E9CF5 + block) % 4294967291  # R and P = 2^32 - 5
    return "%08x%02x" % (h, sum(body) % 251)


def eight_steps(register):
    """Eight bits out of the register (the ECMA-182 polynomial, bit-reversed)."""
    for _ in range(8):
        register = (register >> 1) ^ (0xC96C5795D7870F42 if register & 1 else 0)
    return register


CRC_TABLE = [eight_steps(byte) for byte in range(256)]  # computed once for every low byte


def check_v2(body):
    """Version 2: CRC-64/XZ (bytes taken least significant bit first, the register all ones at
    the start and complemented at the end; 16 digits), then the byte sum modulo 251 (2
    digits)."""
    crc = 2**64 - 1
    for byte in body:
        crc = CRC_TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return "%016x%02x" % (crc ^ (2**64 - 1), sum(body) % 251)


def checked_body(text, check, digits):
    """The text before its last `-`, once the check after it matches."""
    if len(text) <= digits or text[-digits - 1] != "-" or not set(text[-digits:]) <= HEX_DIGITS:
        raise Refused("envelope has no valid checksum field (mistyped or cut short?)")
    if check(text[: -digits - 1].encode("ascii")) != text[-digits:]:
        raise Refused("checksum does not match: the share is mistyped or damaged")
    return text[: -digits - 1]


def envelope_fields(body):
    """The six fields of a checked body; scheme, k, set id and number read and checked."""
    fields = body.split("-")
    if len(fields) != 6:
        raise Refused("envelope has too %s fields" % ("many" if len(fields) > 6 else "few"))
    _, scheme, k_text, set_id, number_text, rest = fields
    if scheme not in ("s", "b"):
        raise Refused("envelope has an unknown scheme")
    k = plain_decimal(k_text, "threshold", 2, 1048577)
    if len(set_id) != 16 or not set(set_id) <= HEX_DIGITS:
        raise Refused("envelope has an invalid set id")
    number = plain_decimal(number_text, "share number", 1, P if scheme == "s" else 2**64)
    return scheme, k, set_id, number, rest


# ---------------------------------------------------------------------------------- envelopes


def open_v1(name, text):
    """`vh1-{s|b}-{k}-{set id}-{number}-{bare share}-{check}`."""
    scheme, k, set_id, number, bare = envelope_fields(checked_body(text, check_v1, 10))
    share = parse_bare(name, bare, k, in_envelope=True)
    if share.scheme != scheme:
        raise Refused("holds a share of the other scheme")
    if scheme == "s" and bare.split(":")[0] != str(number):
        raise Refused("its envelope number is not the share's index")
    return share._replace(k=k, set_id=set_id, number=number, version="1")


def blakley_node(set_id, number):
    """A version 2 Blakley share's node h: its row is h, h^2, ..., h^k."""
    data = b"vh2 row" + bytes.fromhex(set_id) + number.to_bytes(8, "big")
    u = int.from_bytes(hashlib.blake2s(data).digest()[:16], "big") & (2**127 - 1)
    return u % (P - 1) + 1


def open_v2(name, body):
    """`vh2-{s|b}-{k}-{set id}-{number}-{v0}:..:{v5}`, its check already verified."""
    scheme, k, set_id, number, text = envelope_fields(body)
    if set(text) & set("ABCDEF"):
        raise Refused("has upper-case hexadecimal digits, which no envelope is written with")
    fields = text.split(":")
    if len(fields) != 6:
        raise Refused("envelope has %d values, not 6" % len(fields))
    values = [field_element(f, "a share value", True) for f in fields]
    x = number
    if scheme == "b":
        # Share j holds h g_c(h), where g_c has the point's coordinates as its coefficients and
        # s_c as its constant term: the point (h, v_c / h) lies on g_c, as a Shamir share does.
        # Value 5 is the tag itself, the same in every share: it is not divided.
        x = blakley_node(set_id, number)
        h_inverse = inverse(x)
        values = [v * h_inverse % P for v in values[:5]] + values[5:]
    return Share(name, scheme, k, set_id, number, "2", x, None, values)


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
    last = text.rsplit("-", 1)[1] if "-" in text else None
    if last is not None and len(last) == 18:  # the length of the last field names the check
        body = checked_body(text, check_v2, 18)
        if version == "2":
            return open_v2(name, body)
    elif version == "1":
        return open_v1(name, text)
    if version in ("1", "2"):  # a version whose check has the other length
        raise Refused("envelope has no valid checksum field (mistyped or cut short?)")
    if is_plain_decimal(version) and int(version) < 2**64:
        raise Refused(
            "names envelope version %s, which this script cannot read, or is mistyped" % version
        )
    raise Refused("envelope has no valid version (mistyped?)")


# ---------------------------------------------------------------------------------- the set


def choose_set(shares, k):
    """The largest group of envelopes (version, scheme, k, set id), the earliest on a tie; any
    other share is refused, since this script takes one set only. Bare shares never join
    envelopes."""
    envelopes = [s for s in shares if s.version is not None]
    if not envelopes:
        if len({s.scheme for s in shares}) > 1:
            raise Refused("the bare shares mix Shamir and Blakley shares")
        return shares
    groups = {}
    for s in envelopes:
        groups.setdefault((s.version, s.scheme, s.k, s.set_id), []).append(s)
    key = max(groups, key=lambda g: len(groups[g]))  # max() keeps the first of equals
    problems = []
    if k is not None and k != key[2]:
        problems.append("k = %d was given, but the shares were made with k = %d" % (k, key[2]))
    for s in shares:
        if s.version is None:
            problems.append(s.name + ": is a bare share, which never joins envelope shares")
        elif (s.version, s.scheme, s.k, s.set_id) != key:
            problems.append(s.name + ": belongs to another set (version, scheme, k or set id)")
    if problems:
        raise Refused("\n".join(problems))
    return groups[key]


def distinct(shares):
    """Drops exact repeats; refuses two different shares at one point (the same Shamir index,
    or the same version 2 Blakley node, which two numbers share with probability 2^-126)."""
    kept, seen = [], {}
    for s in shares:
        key = s.x if s.x is not None else (tuple(s.row), tuple(s.values))
        if key in seen and seen[key].values != s.values:
            raise Refused("%s: differs from %s at the same number" % (s.name, seen[key].name))
        if key not in seen:
            seen[key] = s
            kept.append(s)
    return kept


# ------------------------------------------------------------------------------- rebuilding


def inverse(a):
    return pow(a, P - 2, P)


def lagrange_weights(xs, x):
    """w_i with f(x) = sum w_i f(xs[i]) for every polynomial f of degree < len(xs)."""
    weights = []
    for i, xi in enumerate(xs):
        num, den = 1, 1
        for j, xj in enumerate(xs):
            if j != i:
                num = num * (x - xj) % P
                den = den * (xi - xj) % P
        weights.append(num * inverse(den) % P)
    return weights


def interpolate(shares, k):
    """Shamir, and version 2 Blakley: the first k points give each value's polynomial, whose
    value at 0 is the shared value; every later share must lie on all of them."""
    first = shares[:k]
    xs = [s.x for s in first]

    def values_at(x):
        weights = lagrange_weights(xs, x)
        columns = range(len(first[0].values))
        return [sum(w * s.values[c] for w, s in zip(weights, first)) % P for c in columns]

    for s in shares[k:]:
        if values_at(s.x) != s.values:
            raise Refused(
                s.name + ": disagrees with the first k shares (it or one of them is wrong)"
            )
    return values_at(0)


def eliminate(shares, k):
    """Version 1 Blakley: Gauss-Jordan elimination over every share's row [a0..a(k-1) | c0..c3];
    the system must have rank k and be consistent; the point's coordinate 0 is the chunk."""
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


def tag(key, secret):
    """T = the BLAKE2s digest of the secret keyed with R's 16 big-endian bytes, its first 16
    bytes big-endian, the top bit cleared, modulo p."""
    digest = hashlib.blake2s(secret, key=key.to_bytes(16, "big")).digest()
    return (int.from_bytes(digest[:16], "big") & (2**127 - 1)) % P


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
    values = (interpolate if shares[0].row is None else eliminate)(shares, k)
    if any(c >= 2**64 for c in values[:4]):
        raise Refused(
            "the shares do not rebuild a secret of one split: "
            "they mix splits, a share was altered, or k is wrong"
        )
    secret = b"".join(c.to_bytes(8, "big") for c in values[:4])
    # Version 2: every share carries the tag of the key and the secret (a constant, which the
    # interpolation above has also compared across the shares beyond k).
    expected = tag(values[4], secret) if shares[0].version == "2" else None
    if expected is not None and any(s.values[5] != expected for s in shares):
        raise Refused(
            "the secret's tag does not match: a share was altered after its check was "
            "written, or the shares mix splits"
        )
    if shares[0].version is None and len(shares) == k:
        print("recover.py: warning: exactly k bare shares, nothing verifies them", file=sys.stderr)
    return secret


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

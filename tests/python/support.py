"""Helpers shared by the Python tests: the field, the secret's chunks and the two share texts,
written here with Python integers so that they share nothing with the module."""

P = 2**127 - 1
SECRET = bytes(range(32))


def chunks(secret):
    """The four big-endian 8-byte chunks of a 32-byte secret."""
    return [int.from_bytes(secret[8 * j : 8 * j + 8], "big") for j in range(4)]


def to_secret(values):
    """The secret whose chunks are the low 64 bits of the four values."""
    return b"".join((v % 2**64).to_bytes(8, "big") for v in values)


def shamir_share(index, values):
    return str(index) + "".join(":%032x" % v for v in values)


def parse_shamir(share):
    index, *values = share.split(":")
    return int(index), [int(v, 16) for v in values]


def blakley_share(coefficients, constants):
    return ",".join("%032x" % a for a in coefficients) + "".join(":%032x" % c for c in constants)


def parse_blakley(share):
    coefficients, *constants = share.split(":")
    return [int(a, 16) for a in coefficients.split(",")], [int(c, 16) for c in constants]


def solve_mod_p(rows, rhs):
    """Gauss-Jordan elimination in Python integers mod p; None when the system is singular."""
    n = len(rows)
    m = [list(row) + [b] for row, b in zip(rows, rhs)]
    for c in range(n):
        pivot = next((r for r in range(c, n) if m[r][c] % P), None)
        if pivot is None:
            return None
        m[c], m[pivot] = m[pivot], m[c]
        inverse = pow(m[c][c], P - 2, P)
        m[c] = [v * inverse % P for v in m[c]]
        for r in range(n):
            if r != c and m[r][c]:
                f = m[r][c]
                m[r] = [(v - f * w) % P for v, w in zip(m[r], m[c])]
    return [row[n] for row in m]


def envelope(body):
    """The envelope text with its check, computed as the share format documents it."""
    raw, h = body.encode(), 0
    for j in range(0, len(raw), 8):
        h = (h * 0x6C8E9CF5 + int.from_bytes(raw[j : j + 8].ljust(8, b"\0"), "little")) % (
            2**32 - 5
        )
    return "%s-%08x%02x" % (body, h, sum(raw) % 251)


def split_v1(secret, k, n, scheme, rng):
    """A set of version 1 envelopes, as splits wrote them before version 2: the core's bare
    shares, numbered 1 to n, under a set id drawn from rng."""
    import varnhold_core

    bare = getattr(varnhold_core, scheme + "_split")(secret, k, n)
    set_id = "%016x" % rng.getrandbits(64)
    return [envelope(f"vh1-{scheme[0]}-{k}-{set_id}-{i}-{s}") for i, s in enumerate(bare, 1)]

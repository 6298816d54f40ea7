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


def crc64_xz(data):
    """CRC-64/XZ, bit by bit, as docs/check-v2.md defines it."""
    crc = 0xFFFFFFFFFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0xC96C5795D7870F42 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFFFFFFFFFF


def sealed(body):
    """The body with the check of its version: 18 digits for vh2, 10 (``envelope``) for vh1."""
    if not body.startswith("vh2-"):
        return envelope(body)
    raw = body.encode()
    return "%s-%016x%02x" % (body, crc64_xz(raw), sum(raw) % 251)


def version_1(bare_shares, k, set_id=0x0123456789ABCDEF):
    """Envelopes of version 1 around bare shares, as the package wrote them before version 2: the
    number of a Shamir share is its index, of a Blakley share its place."""
    texts = []
    for place, bare in enumerate(bare_shares, start=1):
        scheme = "b" if "," in bare else "s"
        number = place if scheme == "b" else int(bare.split(":")[0])
        texts.append(envelope("vh1-%s-%d-%016x-%d-%s" % (scheme, k, set_id, number, bare)))
    return texts

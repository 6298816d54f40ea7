"""Writes the seed corpora of the fuzz targets (run once; the seeds are kept in the tree).

The shares are made here with Python integers, so the seeds do not depend on the module."""

import os
import random

P = 2**127 - 1
HERE = os.path.dirname(os.path.abspath(__file__))


def chunks(secret):
    return [int.from_bytes(secret[8 * c : 8 * c + 8], "big") for c in range(4)]


def shamir_shares(secret, k, n, rng):
    polys = [[c] + [rng.randrange(P) for _ in range(k - 1)] for c in chunks(secret)]
    out = []
    for x in range(1, n + 1):
        values = [sum(a * pow(x, j, P) for j, a in enumerate(poly)) % P for poly in polys]
        out.append(str(x) + "".join(":%032x" % v for v in values))
    return out


def blakley_shares(secret, k, n, rng):
    points = [[c] + [rng.randrange(1, P) for _ in range(k - 1)] for c in chunks(secret)]
    out = []
    for _ in range(n):
        a = [rng.randrange(1, P) for _ in range(k)]
        constants = [sum(x * y for x, y in zip(a, point)) % P for point in points]
        out.append(",".join("%032x" % v for v in a) + "".join(":%032x" % v for v in constants))
    return out


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    rng = random.Random(9)
    secret = bytes(range(32))
    for k, n in [(2, 3), (3, 5), (5, 5)]:
        s = shamir_shares(secret, k, n, rng)
        b = blakley_shares(secret, k, n, rng)
        write("shamir_combine", "valid_k%d" % k, ("%d\n" % k + "\n".join(s)).encode())
        write("blakley_combine", "valid_k%d" % k, ("%d\n" % k + "\n".join(b)).encode())
        write("share_parsers", "shamir_k%d" % k, bytes([k]) + s[0].encode())
        write("share_parsers", "blakley_k%d" % k, bytes([k]) + b[0].encode())
    s = shamir_shares(secret, 3, 4, rng)
    write("shamir_combine", "duplicate", ("3\n%s\n%s\n%s" % (s[0], s[1], "+0" + s[0])).encode())
    write("shamir_combine", "index_zero", ("2\n0" + s[0][1:] + "\n" + s[1]).encode())
    write("shamir_combine", "trailing_junk", ("2\n%s\n%s\nnot a share" % (s[0], s[1])).encode())
    write("shamir_combine", "index_p", ("2\n%d%s\n%s" % (P, s[0][1:], s[1])).encode())
    b = blakley_shares(secret, 2, 3, rng)
    write("blakley_combine", "dependent", ("2\n%s\n%s" % (b[0], b[0])).encode())
    write("blakley_combine", "upper_case", ("2\n%s\n%s" % (b[0].upper(), b[1])).encode())
    write("blakley_combine", "trailing_comma", ("2\n%s\n%s" % (b[0].replace(":", ",:", 1), b[1])).encode())
    for name, text in [
        ("zero", "0" * 32),
        ("p_minus_1", "7" + "f" * 30 + "e"),
        ("p", "7" + "f" * 31),
        ("upper", "7" + "F" * 30 + "E"),
        ("short", "0" * 31),
        ("two_byte", "\u00e9" * 16),
    ]:
        write("field_hex", name, text.encode())
    for k, n in [(2, 2), (3, 5), (6, 10)]:
        data = bytes(range(32)) + bytes([k - 2, n - k]) + bytes(rng.randrange(256) for _ in range(300))
        write("round_trip", "k%d_n%d" % (k, n), data)


if __name__ == "__main__":
    main()

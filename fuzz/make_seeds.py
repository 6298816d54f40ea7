"""Writes the seed corpora of the fuzz targets (run once; the seeds are kept in the tree).

The shares are made here with Python integers, so the seeds do not depend on the module."""

import pathlib
import os
import random
import zlib

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


def envelope(scheme, k, set_id, number, bare):
    body = "vh1-%s-%d-%016x-%d-%s" % (scheme, k, set_id, number, bare)
    data = body.encode()
    return body + "-%08x%02x" % (zlib.crc32(data), sum(data) % 251)


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
    # The safe layer: envelopes read back (first byte 0) and written then read (any other first
    # byte); share lists for the verifying combine; structured inputs for the wrong-share target.
    s = shamir_shares(secret, 3, 6, rng)
    b = blakley_shares(secret, 2, 4, rng)
    es = [envelope("s", 3, 0x0123456789abcdef, i + 1, t) for i, t in enumerate(s)]
    eb = [envelope("b", 2, 0xfedcba9876543210, i + 1, t) for i, t in enumerate(b)]
    write("envelope", "shamir", b"\0" + es[0].encode())
    write("envelope", "blakley", b"\0" + eb[0].encode())
    write("envelope", "padded", b"\0\xef\xbb\xbf  " + es[1].encode() + b"\r\n")
    write("envelope", "bad_check", b"\0" + es[2][:-1].encode() + b"0")
    write("envelope", "version_2", b"\0vh2-" + es[0][4:].encode())
    write("envelope", "write_shamir", b"\1" + bytes(rng.randrange(256) for _ in range(80)))
    write("envelope", "write_blakley", b"\2\0" + bytes(rng.randrange(256) for _ in range(200)))
    write("share_set", "envelopes_k3", ("0\n" + "\n".join(es)).encode())
    write("share_set", "envelopes_mixed", ("0\n" + "\n".join(es[:4] + eb[:2])).encode())
    write("share_set", "bare_blakley", ("2\n" + "\n".join(b)).encode())
    # Version 2 envelopes: the document's vectors of k = 3.
    v2 = {}
    document = pathlib.Path(__file__).resolve().parent.parent / "docs" / "share-format.md"
    for line in document.read_text().splitlines():
        words = line.split()
        if len(words) == 5 and words[1] == "3" and words[2] == "v2":
            v2.setdefault(words[0], []).append(words[4])
    write("envelope", "v2_shamir", b"\0" + v2["shamir"][0].encode())
    write("envelope", "v2_blakley", b"\0" + v2["blakley"][1].encode())
    write("share_set", "v2_shamir_k3", ("0\n" + "\n".join(v2["shamir"])).encode())
    write("share_set", "v2_blakley_k3", ("0\n" + "\n".join(v2["blakley"])).encode())
    wrong = s[:5] + [s[5].split(":")[0] + ":" + ":".join(["%032x" % 5] * 4)]
    write("share_set", "bare_one_wrong", ("3\n" + "\n".join(wrong)).encode())
    write("share_set", "k_mismatch", ("2\n" + "\n".join(es[:3])).encode())
    for name, head in [("shamir", 1), ("blakley", 0)]:
        for e in range(3):
            data = bytes(range(32)) + bytes(range(100, 132)) + bytes([head, e % 2, 1, 12, 10])
            data += bytes([0x50]) + bytes(rng.randrange(256) for _ in range(0x50))
            data += bytes(rng.randrange(256) for _ in range(12))
            data += bytes([1 if i < e else 0 for i in range(10)] * 4)
            data += bytes(rng.randrange(256) for _ in range(200))
            write("wrong_shares", "%s_%d" % (name, e), data)


if __name__ == "__main__":
    main()

"""Both combines against a model written here with Python integers: for random share sets
(valid, corrupted, mixed between splits, reordered, with junk after the first k) the module and
the model give the same secret, or the same exception type and message."""

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from varnhold_core import blakley_combine, blakley_split, shamir_combine, shamir_split

from support import P, solve_mod_p, to_secret

HEX32 = re.compile(r"[0-9A-Fa-f]{32}\Z")
INDEX = re.compile(r"\+?[0-9]+\Z")


class ModelError(Exception):
    pass


def parse_hex(text, label):
    if len(text.encode()) != 32 or not HEX32.match(text):
        raise ModelError(f"Invalid {label}: expected exactly 32 hex chars")
    value = int(text, 16)
    if value >= P:
        raise ModelError(f"Invalid {label}: value must be < 2^127-1")
    return value


def model_shamir_combine(shares, k):
    if k < 2:
        raise ModelError("Invalid k: threshold must be at least 2")
    if len(shares) < k:
        raise ModelError(f"Need at least {k} shares")
    points = []
    for text in shares[:k]:
        fields = text.split(":")
        if len(fields) != 5:
            raise ModelError("Invalid format")
        if not INDEX.match(fields[0]) or int(fields[0]) >= 2**128:
            raise ModelError(f"Invalid share index: {fields[0]}")
        x = int(fields[0])
        if x >= P:
            raise ModelError(f"Invalid share index: {x} must be < 2^127-1")
        if any(x == seen for seen, _ in points):
            raise ModelError(f"Duplicate share index {x}")
        points.append((x, [parse_hex(f, "share value") for f in fields[1:]]))
    chunks = []
    for c in range(4):
        total = 0
        for i, (xi, values) in enumerate(points):
            num = den = 1
            for j, (xj, _) in enumerate(points):
                if j != i:
                    num = num * -xj % P
                    den = den * (xi - xj) % P
            total += num * pow(den, P - 2, P) * values[c]
        chunks.append(total % P)
    return to_secret(chunks)


def model_blakley_combine(shares, k):
    if len(shares) < k:
        raise ModelError(f"Not enough shares: got {len(shares)}, need {k}")
    if k < 2:
        raise ModelError("Invalid k: threshold must be at least 2")
    rows, constants = [], []
    for i, text in enumerate(shares[:k]):
        parts = text.split(":")
        if len(parts) != 5:
            raise ModelError(f"Share {i} has invalid format: expected 5 parts, got {len(parts)}")
        coefficients = [parse_hex(item, "coefficient") for item in parts[0].split(",")]
        if len(coefficients) != k:
            raise ModelError(
                f"Share {i} has invalid number of coefficients: expected {k}, "
                f"got {len(coefficients)}"
            )
        rows.append(coefficients)
        constants.append([parse_hex(part, "share value") for part in parts[1:]])
    chunks = []
    for c in range(4):
        solution = solve_mod_p(rows, [row[c] for row in constants])
        if solution is None:
            raise ModelError("System is linearly dependent")
        chunks.append(solution[0])
    return to_secret(chunks)


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except (ValueError, ModelError) as error:
        return ("error", str(error))


def edit(text, data):
    """One corruption of a share text, chosen by hypothesis."""
    kind = data.draw(
        st.sampled_from(
            ["char", "drop", "insert", "upper", "colon", "comma", "prefix", "swap", "p", "empty"]
        )
    )
    if kind == "empty" or not text:
        return ""
    at = data.draw(st.integers(0, len(text) - 1))
    if kind == "char":
        return (
            text[:at] + data.draw(st.sampled_from("0123456789abcdefABCDEFg+-: ,é")) + text[at + 1 :]
        )
    if kind == "drop":
        return text[:at] + text[at + 1 :]
    if kind == "insert":
        return text[:at] + data.draw(st.sampled_from("0f:, +\n")) + text[at:]
    if kind == "upper":
        return text.upper()
    if kind == "colon":
        return text + ":"
    if kind == "comma":
        return text.replace(":", ",", 1)
    if kind == "prefix":
        return data.draw(st.sampled_from(["+", "0", "+0", "-", " "])) + text
    if kind == "swap":
        return text[at:] + text[:at]
    # A field of the share set to p or above.
    fields = text.split(":")
    fields[data.draw(st.integers(0, len(fields) - 1))] = data.draw(
        st.sampled_from(["7" + "f" * 31, "8" + "0" * 31, str(P), "1" * 39])
    )
    return ":".join(fields)


def share_set(split, data):
    """Shares from one or two splits, reordered, some corrupted, some duplicated, maybe junk."""
    k = data.draw(st.integers(2, 5), label="k")
    n = data.draw(st.integers(k, k + 3), label="n")
    secret = data.draw(st.binary(min_size=32, max_size=32), label="secret")
    shares = split(secret, k, n)
    if data.draw(st.booleans(), label="mix"):
        other_k = data.draw(st.sampled_from([k, k + 1, max(2, k - 1)]))
        shares = shares + split(data.draw(st.binary(min_size=32, max_size=32)), other_k, other_k)
    shares = data.draw(st.permutations(shares), label="order")
    count = data.draw(st.integers(0, len(shares)), label="count")
    shares = list(shares[:count])
    for _ in range(data.draw(st.integers(0, 2), label="edits")):
        if shares:
            i = data.draw(st.integers(0, len(shares) - 1))
            shares[i] = edit(shares[i], data)
    if shares and data.draw(st.booleans(), label="duplicate"):
        shares.insert(data.draw(st.integers(0, len(shares))), data.draw(st.sampled_from(shares)))
    claimed_k = data.draw(st.sampled_from([k, k, k, k - 1, k + 1, 0, 1]), label="claimed k")
    return secret, shares, claimed_k


FAST = settings(max_examples=2500, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize(
    "split, combine, model",
    [
        (shamir_split, shamir_combine, model_shamir_combine),
        (blakley_split, blakley_combine, model_blakley_combine),
    ],
    ids=["shamir", "blakley"],
)
@FAST
@given(data=st.data())
def test_combine_matches_the_model(split, combine, model, data):
    secret, shares, k = share_set(split, data)
    expected = outcome(model, shares, k)
    assert outcome(combine, shares, k) == expected


@settings(max_examples=300, deadline=None)
@given(st.binary(min_size=32, max_size=32), st.integers(2, 6), st.data())
def test_model_rebuilds_what_the_module_splits(secret, k, data):
    # Keeps the model honest: on valid shares it must give back the secret itself.
    n = data.draw(st.integers(k, k + 3))
    for split, model in [
        (shamir_split, model_shamir_combine),
        (blakley_split, model_blakley_combine),
    ]:
        chosen = data.draw(st.permutations(split(secret, k, n)))[:k]
        assert model(chosen, k) == secret

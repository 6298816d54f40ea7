"""The package varnhold as a caller sees it: envelope shares, combines that name the shares at
fault, reports, new and refreshed shares."""

import copy
import importlib.metadata
import inspect
import json
import pathlib
import pickle
import re

import pytest
import varnhold_core

import varnhold
from support import version_1

SECRET = bytes(range(32))
HEX_FIELD = re.compile(r"[0-9a-fA-F]{32}")


def retype(share, at):
    """The share with the hex digit at `at` changed to another digit."""
    digit = share[at]
    return share[:at] + ("1" if digit == "0" else "0") + share[at + 1 :]


def fault(shares, exc):
    """Asserts that no value of any share leaks into the message, and returns it."""
    message = str(exc.value)
    for share in shares:
        for value in HEX_FIELD.findall(share):
            assert value.lower() not in message.lower()
    return message


HEX_RUN = re.compile(r"[0-9a-fA-F]{8,}")


def _moved_colon(share):
    """The bare share with its first colon moved 15 characters into the first value."""
    head, rest = share.split(":", 1)
    return head + rest[:15] + ":" + rest[15:]


_BARE = varnhold_core.shamir_split(SECRET, 3, 5)
_PLANES = varnhold_core.blakley_split(SECRET, 3, 5)
_ENVELOPES = varnhold.split(SECRET, 3, 5)
# Each row: a name, how the third share of a set is damaged, and the set (bare ones need k).
_MALFORMED = [
    ("colon moved", _moved_colon, _BARE),
    ("index past the field", lambda s: "2" * 39 + s[s.index(":") :], _BARE),
    ("index of hex", lambda s: s.split(":")[1] + s[s.index(":") :], _BARE),
    ("value not hex", lambda s: s[:-1] + "g", _BARE),
    ("value short", lambda s: s[:-1], _BARE),
    ("value long", lambda s: s + "abcdef0123", _BARE),
    ("part dropped", lambda s: s[: s.rindex(":")], _BARE),
    ("coefficient not hex", lambda s: "x" + s[1:], _PLANES),
    ("coefficients joined", lambda s: s.replace(",", "", 1), _PLANES),
    ("plane colon moved", _moved_colon, _PLANES),
    ("envelope typo", lambda s: retype(s, 60), _ENVELOPES),
    ("envelope cut", lambda s: s[:100], _ENVELOPES),
    ("envelope upper case", str.upper, _ENVELOPES),
    ("envelope version of digits", lambda s: "vh12345678" + s[3:], _ENVELOPES),
    ("envelope colon moved", _moved_colon, _ENVELOPES),
    ("envelope bare part swapped", lambda s: s[:40] + _BARE[2] + s[-11:], _ENVELOPES),
]


@pytest.mark.parametrize(
    "damage,shares", [row[1:] for row in _MALFORMED], ids=[row[0] for row in _MALFORMED]
)
def test_messages_never_hold_share_text(damage, shares):
    given = [shares[0], shares[1], damage(shares[2]), shares[3]]
    k = None if given[0].startswith("vh") else 3
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(given, k=k)
    report = varnhold.check(given, k=k)
    messages = [str(exc.value), exc.value.reason, report.problem or ""]
    messages += [status.reason or "" for status in report.shares]
    shown = " ".join(messages).lower()
    assert 2 in exc.value.positions
    for run in HEX_RUN.findall(given[2]):
        for at in range(len(run) - 7):
            assert run[at : at + 8].lower() not in shown


@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
@pytest.mark.parametrize("k,n", [(2, 2), (3, 5), (5, 9)])
def test_round_trip_with_any_k_and_all(scheme, k, n):
    shares = varnhold.split(SECRET, k, n, scheme=scheme)
    assert len(shares) == n
    for share in shares:
        assert share.startswith("vh2-") and share.isascii() and share.isprintable()
        assert not any(c.isspace() for c in share)
    assert varnhold.combine(shares) == SECRET
    assert varnhold.combine(shares[-k:]) == SECRET
    assert varnhold.combine(reversed(shares[:k])) == SECRET


@pytest.mark.parametrize(
    "wrap",
    [
        lambda s: s + "\n",
        lambda s: s + "\r\n",
        lambda s: "\ufeff" + s,
        lambda s: "  \t" + s + " \n",
    ],
    ids=["LF", "CRLF", "BOM", "blanks"],
)
def test_reading_forgives_line_ends_blanks_and_byte_order_mark(wrap):
    shares = varnhold.split(SECRET, 2, 3)
    assert varnhold.combine([wrap(s) for s in shares]) == SECRET


def test_split_sets_differ_and_set_id_is_shared():
    first, second = varnhold.split(SECRET, 2, 3), varnhold.split(SECRET, 2, 3)
    ids = {s.split("-")[3] for s in first}
    assert len(ids) == 1 and ids != {s.split("-")[3] for s in second}
    assert varnhold.check(first).set_id == ids.pop()


def _typo(shares):
    return [shares[0], retype(shares[1], 60), *shares[2:]], (1,), "checksum does not match"


def _foreign(shares):
    other = varnhold.split(SECRET, 3, 5)
    return [shares[0], shares[1], other[2], shares[3]], (2,), "belongs to another set"


def _extra_char(shares):
    return [shares[0], shares[1] + "x", shares[2]], (1,), "envelope has no valid checksum field"


def _other_scheme(shares):
    blakley = varnhold.split(SECRET, 3, 5, scheme="blakley")
    return (
        [shares[0], blakley[1], shares[2], shares[3]],
        (1,),
        "is a Blakley share, the set is Shamir",
    )


def _too_few(shares):
    return shares[:2], (), "need at least 3 shares of one set, got 2"


@pytest.mark.parametrize("make", [_typo, _foreign, _extra_char, _other_scheme, _too_few])
def test_envelope_faults_are_named(make):
    shares = varnhold.split(SECRET, 3, 5)
    given, positions, reason = make(shares)
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(given)
    assert exc.value.positions == positions
    assert reason in exc.value.reason
    message = fault(given, exc)
    for position in positions:
        assert message.startswith(f"share {position + 1}")


def test_envelope_k_contradicted_by_caller():
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(varnhold.split(SECRET, 3, 5), k=2)
    assert exc.value.positions == ()
    assert str(exc.value) == "k = 2 was given, but the shares were made with k = 3"


def _bare_value_changed(k, n):
    shares = varnhold_core.shamir_split(SECRET, k, n)
    shares[3] = retype(shares[3], len(shares[3]) - 1)
    return shares, k, (3,)


def _bare_other_split(k, n):
    shares = varnhold_core.shamir_split(SECRET, k, n)
    other = varnhold_core.shamir_split(SECRET, k, n)
    shares[0], shares[4] = other[0], other[4]
    return shares, k, (0, 4)


def _bare_blakley_one_wrong(k, n):
    shares = varnhold_core.blakley_split(SECRET, k, n)
    shares[2] = varnhold_core.blakley_split(SECRET, k, n)[2]
    return shares, k, (2,)


@pytest.mark.parametrize("make", [_bare_value_changed, _bare_other_split, _bare_blakley_one_wrong])
def test_wrong_bare_shares_are_located(make):
    shares, k, positions = make(3, 8)
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(shares, k=k)
    assert exc.value.positions == positions
    assert exc.value.reason == "disagrees with the other shares"
    fault(shares, exc)
    report = varnhold.check(shares, k=k)
    assert [s.position for s in report.shares if s.state == "wrong"] == list(positions)
    assert not report.ok and report.problem is None
    # Dropping the named shares gives the secret.
    kept = [s for i, s in enumerate(shares) if i not in positions]
    assert varnhold.combine(kept, k=k) == SECRET


@pytest.mark.parametrize(
    "shares,k",
    [
        # k given as 2 for a 3-of-5 split.
        (varnhold_core.shamir_split(SECRET, 3, 5)[:2], 2),
        (varnhold_core.shamir_split(SECRET, 3, 5), 2),
        # four shares where the first is wrong: too few to tell which.
        (
            [varnhold_core.shamir_split(SECRET, 3, 5)[0]]
            + varnhold_core.shamir_split(SECRET, 3, 5)[1:4],
            3,
        ),
        # k shares from two splits.
        (
            varnhold_core.shamir_split(SECRET, 3, 5)[:2]
            + varnhold_core.shamir_split(SECRET, 3, 5)[4:],
            3,
        ),
    ],
    ids=["k-too-small-exact", "k-too-small-extra", "first-wrong-of-four", "mixed"],
)
def test_bare_sets_that_cannot_be_trusted_never_give_a_secret(shares, k):
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(shares, k=k)
    assert exc.value.positions == ()
    fault(shares, exc)


def test_check_report_of_a_mixed_list():
    shares = varnhold.split(SECRET, 2, 4)
    given = [
        shares[0],
        shares[0],
        "",
        retype(shares[2], 70),
        varnhold.split(SECRET, 2, 4)[3],
        shares[1],
    ]
    report = varnhold.check(given)
    assert (report.scheme, report.k, report.count) == ("shamir", 2, 6)
    assert [s.state for s in report.shares] == [
        "good",
        "duplicate",
        "unreadable",
        "unreadable",
        "foreign",
        "good",
    ]
    assert [s.number for s in report.shares] == [1, 1, None, None, 4, 2]
    assert report.shares[2].reason == "is empty"
    assert report.problem is None and not report.ok
    assert varnhold.check(shares).ok


def test_bare_shares_need_k():
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(varnhold_core.shamir_split(SECRET, 2, 2))
    assert "only be read when k is given" in str(exc.value)


@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
def test_new_share_joins_the_set(scheme):
    shares = varnhold.split(SECRET, 3, 5, scheme=scheme)
    fresh = varnhold.new_share(shares[2:])
    assert fresh.startswith(f"vh2-{scheme[0]}-3-{shares[0].split('-')[3]}-6-")
    assert varnhold.combine([fresh, shares[0], shares[1]]) == SECRET
    assert varnhold.check(shares + [fresh]).ok
    bare = (
        varnhold_core.shamir_split(SECRET, 3, 5)
        if scheme == "shamir"
        else varnhold_core.blakley_split(SECRET, 3, 5)
    )
    bare_fresh = varnhold.new_share(bare[1:], k=3)
    assert not bare_fresh.startswith("vh")
    assert varnhold.combine([bare_fresh, bare[0], bare[1], bare[4]], k=3) == SECRET


def test_new_shamir_share_at_an_index():
    shares = varnhold.split(SECRET, 2, 3)
    assert varnhold.new_share(shares, index=2) == shares[1]
    assert varnhold.new_share(shares[:2]).split("-")[4] == "3"
    big = varnhold.new_share(shares, index=2**100)
    assert varnhold.combine([big, shares[0]]) == SECRET


@pytest.mark.parametrize(
    "scheme,index,message",
    [
        ("shamir", 0, "index must be at least 1 and below 2^127-1"),
        ("shamir", 2**127 - 1, "index must be at least 1 and below 2^127-1"),
        ("blakley", 2**64, "a Blakley share's number must be at least 1 and below 2^64"),
    ],
)
def test_new_share_refusals(scheme, index, message):
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.new_share(varnhold.split(SECRET, 2, 3, scheme=scheme), index=index)
    assert str(exc.value) == message and exc.value.positions == ()


def test_new_share_refuses_a_set_with_a_bad_share():
    shares = varnhold.split(SECRET, 2, 3)
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.new_share([shares[0], retype(shares[1], 50)])
    assert exc.value.positions == (1,)


@pytest.mark.parametrize("bare", [False, True])
def test_refresh_keeps_the_secret_and_parts_from_old_shares(bare):
    shares = varnhold_core.shamir_split(SECRET, 3, 5) if bare else varnhold.split(SECRET, 3, 5)
    k = 3 if bare else None
    refreshed = varnhold.refresh(shares, k=k)
    assert len(refreshed) == 5
    assert [number(s) for s in refreshed] == [number(s) for s in shares]
    assert varnhold.combine(refreshed[1:], k=k) == SECRET
    with pytest.raises(varnhold.ShareError):
        varnhold.combine([shares[0]] + refreshed[1:4], k=k)


def number(share):
    return share.split("-")[4] if share.startswith("vh") else share.split(":")[0]


def test_refresh_of_bare_blakley_is_refused():
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.refresh(varnhold_core.blakley_split(SECRET, 2, 3), k=2)
    assert exc.value.positions == ()
    assert "cannot be refreshed" in str(exc.value)


@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
def test_refresh_upgrades_version_1_sets(scheme):
    bare = getattr(varnhold_core, scheme + "_split")(SECRET, 3, 5)
    old = version_1(bare, 3)
    given = [old[4], old[1], old[2], old[1]]
    refreshed = varnhold.refresh(given)
    assert [s[:4] for s in refreshed] == ["vh2-"] * 3
    assert [number(s) for s in refreshed] == ["5", "2", "3"]
    assert varnhold.combine(refreshed) == SECRET
    with pytest.raises(varnhold.ShareError, match="belongs to another set"):
        varnhold.combine(refreshed[:2] + old[:1])


@pytest.mark.parametrize(
    "call",
    [
        lambda: varnhold.combine("vh1-s"),
        lambda: varnhold.combine([b"vh1-s"]),
        lambda: varnhold.combine(varnhold.split(SECRET, 2, 2), k=True),
        lambda: varnhold.combine(varnhold.split(SECRET, 2, 2), k="2"),
        lambda: varnhold.split(bytearray(32), 2, 3),
        lambda: varnhold.split(SECRET, 2.0, 3),
        lambda: varnhold.new_share(varnhold.split(SECRET, 2, 2), index="3"),
    ],
)
def test_argument_types(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: varnhold.split(SECRET[:31], 2, 3), "Secret must be 32 bytes"),
        (lambda: varnhold.split(SECRET, 1, 3), "Invalid k/n parameters"),
        (lambda: varnhold.split(SECRET, 1, 3, scheme="blakley"), "Invalid k/n"),
        (
            lambda: varnhold.split(SECRET, 2, 3, scheme="other"),
            "scheme must be 'shamir' or 'blakley'",
        ),
        (lambda: varnhold.combine([], k=1), "k must be at least 2"),
    ],
)
def test_value_errors(call, message):
    with pytest.raises(ValueError) as exc:
        call()
    assert str(exc.value) == message


class _ListOfShares(list):
    pass


# combine takes the usual list of exactly k shares in one native call and hands every other call
# to the package's reading: both ways must give the same answers. Each row: the call's arguments
# (positional, keywords) built from a 3-of-4 set, then the secret or (exception, message).
_SHARES = varnhold.split(SECRET, 3, 4)
_COMBINE_CALLS = [
    ("exactly k", (_SHARES[:3],), {}, SECRET),
    ("k given as keyword", (), {"shares": _SHARES[1:], "k": 3}, SECRET),
    ("k None given", (_SHARES[:3],), {"k": None}, SECRET),
    ("more than k", (_SHARES,), {}, SECRET),
    ("a list subclass", (_ListOfShares(_SHARES[:3]),), {}, SECRET),
    ("a tuple", (tuple(_SHARES[:3]),), {}, SECRET),
    ("a generator", ((s for s in _SHARES[:3]),), {"k": 3}, SECRET),
    ("padded texts", ([" " + s + "\r\n" for s in _SHARES[:3]],), {}, SECRET),
    (
        "fewer than k",
        (_SHARES[:2],),
        {},
        (varnhold.ShareError, "need at least 3 shares of one set, got 2"),
    ),
    (
        "k contradicted",
        (_SHARES[:3],),
        {"k": 4},
        (varnhold.ShareError, "k = 4 was given, but the shares were made with k = 3"),
    ),
    ("k below 2", (_SHARES[:3],), {"k": -1}, (varnhold.ShareError, "k must be at least 2")),
    (
        "k past a word",
        (_SHARES[:3],),
        {"k": 2**70},
        (varnhold.ShareError, "k must be at most 1048576"),
    ),
    ("k a bool", (_SHARES[:3],), {"k": True}, (TypeError, "k must be an int or None, not bool")),
    (
        "a share not str",
        ([_SHARES[0], _SHARES[1].encode(), _SHARES[2]],),
        {},
        (TypeError, "share 2 must be str, not bytes"),
    ),
    (
        "a single str",
        (_SHARES[0],),
        {},
        (TypeError, "shares must be an iterable of str, not a single str"),
    ),
    ("no shares", (), {}, (TypeError, None)),
    ("k positional", (_SHARES[:3], 3), {}, (TypeError, None)),
    ("an unknown keyword", (_SHARES[:3],), {"n": 3}, (TypeError, None)),
]


@pytest.mark.parametrize(
    "args,kwargs,expected",
    [row[1:] for row in _COMBINE_CALLS],
    ids=[row[0] for row in _COMBINE_CALLS],
)
def test_combine_calls_native_or_read_in_full(args, kwargs, expected):
    if isinstance(expected, bytes):
        assert varnhold.combine(*args, **kwargs) == expected
        return
    error, message = expected
    with pytest.raises(error) as exc:
        varnhold.combine(*args, **kwargs)
    if message is not None:
        assert str(exc.value) == message


_PUBLIC_FUNCTIONS = ["generate_key", "split", "combine", "check", "new_share", "refresh"]


@pytest.mark.parametrize("name", _PUBLIC_FUNCTIONS)
def test_public_functions_show_types_and_documentation(name):
    function = getattr(varnhold, name)
    signature = inspect.signature(function)
    assert function.__name__ == name and function.__module__ == "varnhold"
    assert function.__doc__ and signature.return_annotation is not inspect.Signature.empty
    assert all(p.annotation is not inspect.Parameter.empty for p in signature.parameters.values())


def test_combine_signature():
    assert str(inspect.signature(varnhold.combine)) == (
        "(shares: 'Iterable[str]', *, k: 'Optional[int]' = None, unchecked: 'bool' = False)"
        " -> 'bytes'"
    )


def test_version_is_written_once():
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    if not pyproject.exists():
        pytest.skip("not run from a source tree")
    text = pyproject.read_text()
    assert 'dynamic = ["version"]' in text and 'input = "python/varnhold/__init__.py"' in text
    try:
        installed = importlib.metadata.version("varnhold")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("varnhold is not installed")
    assert varnhold.__version__ == installed


def test_reports_are_values():
    shares = varnhold.split(SECRET, 2, 3)
    report, again = varnhold.check(shares), varnhold.check(shares)
    assert report == again and hash(report) == hash(again) and report != varnhold.check(shares[:2])
    assert pickle.loads(pickle.dumps(report)) == report == copy.deepcopy(report)
    assert repr(report.shares[0]) == "ShareStatus(position=0, number=1, state='good', reason=None)"
    for value, field in [(report, "k"), (report.shares[0], "state")]:
        with pytest.raises(AttributeError):
            setattr(value, field, None)


def test_share_limit_is_the_native_one():
    assert varnhold.MAX_SHARES == 2**20
    with pytest.raises(varnhold.ShareError, match=f"k must be at most {varnhold.MAX_SHARES}$"):
        varnhold.combine(varnhold.split(SECRET, 2, 2), k=varnhold.MAX_SHARES + 1)


def test_generate_key():
    a, b = varnhold.generate_key(), varnhold.generate_key()
    assert isinstance(a, bytes) and len(a) == 32 and a != b


# Envelope shares of version 1, written by varnhold 0.1.0 (splits, new shares and refreshes of
# both schemes, k = 2, 3, 5 and 9): stored shares must stay readable, and refresh upgrades them.
VERSION_1_SETS = json.loads(
    (pathlib.Path(__file__).parent / "data" / "version_1_shares.json").read_text()
)["sets"]


@pytest.mark.parametrize(
    "stored", VERSION_1_SETS, ids=[f"{s['made']}-{s['scheme']}-{s['k']}" for s in VERSION_1_SETS]
)
def test_stored_version_1_shares_still_read(stored):
    secret, shares = bytes.fromhex(stored["secret"]), stored["shares"]
    assert varnhold.check(shares).ok and varnhold.combine(shares) == secret
    upgraded = varnhold.refresh(shares)
    assert {s[:4] for s in upgraded} == {"vh2-"} and varnhold.combine(upgraded) == secret

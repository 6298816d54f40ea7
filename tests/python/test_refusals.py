"""Shares that no split, new share or refresh writes are refused by the safe layer (the bare
module still reads them), bare shares never join envelopes, and exactly k bare shares are read
only on the caller's explicit word."""

import pathlib
import re
import subprocess
import sys

import pytest
import varnhold_core

import varnhold
from support import SECRET, envelope, sealed, version_1

BARE = varnhold_core.shamir_split(SECRET, 3, 5)
PLANES = varnhold_core.blakley_split(SECRET, 3, 5)
# What splits wrote before version 2, which carries no bare share.
ENV = version_1(BARE, 3)
ENV_B = version_1(PLANES, 3)
V2 = varnhold.split(SECRET, 3, 5)
CHOSEN = ":0000000000000000dededededededede" * 4
ROW_1_0_0 = "%032x,%032x,%032x" % (1, 0, 0)
HEX_RUN = re.compile(r"[0-9a-fA-F]{16,}")
VALUE_RUN = re.compile(r"[0-9a-fA-F]{17,}")


def bare_of(share):
    return share.rsplit("-", 1)[0].split("-")[5]


def reseal(share, bare):
    """`share` carrying another bare share under a valid check, as a dishonest custodian can."""
    return envelope("-".join(share.split("-")[:5] + [bare]))


def at(share, index):
    return index + share[share.index(":") :]


def v2_with(share, number=None, values=None):
    """A version 2 share with another number field or values, under a valid check."""
    fields = share.rsplit("-", 1)[0].split("-")
    fields[4] = fields[4] if number is None else number
    fields[5] = fields[5] if values is None else values(fields[5])
    return sealed("-".join(fields))


TYPO = BARE[2][:-5] + ("1" if BARE[2][-5] == "0" else "0") + BARE[2][-4:]

# Each row: the shares given, k, what the reason says, and the positions blamed.
REFUSALS = {
    "index 0": ([at(BARE[0], "0"), *BARE[1:4]], 3, "has index 0", (0,)),
    "signed index": ([at(BARE[0], "+1"), *BARE[1:4]], 3, "with a sign", (0,)),
    "index with a leading zero": ([at(BARE[0], "01"), *BARE[1:4]], 3, "leading zero", (0,)),
    "signed index in an envelope": (
        [reseal(ENV[0], at(bare_of(ENV[0]), "+1")), *ENV[1:4]],
        None,
        "with a sign",
        (0,),
    ),
    "zero coefficient": (["0" * 32 + PLANES[0][32:], *PLANES[1:4]], 3, "zero coefficient", (0,)),
    "row 1,0,0 in an envelope": (
        [ENV_B[0], ENV_B[1], reseal(ENV_B[2], ROW_1_0_0 + CHOSEN)],
        None,
        "zero coeff",
        (2,),
    ),
    "upper-case hex in an envelope": (
        [reseal(ENV[0], bare_of(ENV[0]).upper()), ENV[1], ENV[2]],
        None,
        "upper-case",
        (0,),
    ),
    "version 2 number with a leading zero": (
        [v2_with(V2[0], number="01"), *V2[1:3]],
        None,
        "invalid share number",
        (0,),
    ),
    "version 2 number 0": ([v2_with(V2[0], number="0"), *V2[1:3]], None, "share number", (0,)),
    "version 2 upper-case hex": ([v2_with(V2[0], values=str.upper), *V2[1:3]], None, "upper", (0,)),
    "index-0 bare share beside envelopes": ([ENV[0], ENV[1], "0" + CHOSEN], None, "bare", (2,)),
    "envelope typed bare": ([ENV[0], ENV[1], bare_of(ENV[2])[:-1] + "0"], None, "bare", (2,)),
    "bare among envelopes, k given": ([ENV[0], BARE[1], *ENV[2:4]], 3, "never joins", (1,)),
    "exactly k bare, a typo": ([*BARE[:2], TYPO], 3, "unchecked=True (--unchecked)", ()),
    "exactly k bare and a repeat": ([*BARE[:3], BARE[0]], 3, "give one more share", ()),
    "exactly k bare Blakley": (PLANES[:3], 3, "cannot be checked", ()),
}


@pytest.mark.parametrize("shares,k,reason,positions", REFUSALS.values(), ids=REFUSALS.keys())
def test_refused_sets(shares, k, reason, positions):
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(shares, k=k)
    # combine also names a repeated share when too few remain without it.
    repeats = tuple(i for i, share in enumerate(shares) if share in shares[:i])
    assert reason in exc.value.reason and exc.value.positions == (positions or repeats)
    assert not HEX_RUN.search(str(exc.value)) and not varnhold.check(shares, k=k).ok
    for make in (varnhold.new_share, varnhold.refresh):
        with pytest.raises(varnhold.ShareError) as made:
            make(shares, k=k)
        # Bare Blakley sets are never refreshed.
        if make is varnhold.new_share or not any("," in share for share in shares):
            assert made.value.positions == positions


@pytest.mark.parametrize("shares", [[s.upper() for s in BARE[:4]], BARE[2:]], ids=["upper", "k"])
def test_bare_sets_still_read(shares):
    options = {"k": 3, "unchecked": len(shares) == 3}
    assert varnhold.combine(shares, **options) == SECRET
    fresh = varnhold.new_share(shares, **options)
    assert varnhold.combine([fresh, *shares[1:]], **options) == SECRET


# Each row: the arguments, the shares on standard input, the exit status and what standard
# error says.
CLI = {
    "exactly k bare": (["combine", "-k", 3], BARE[:3], 1, "--unchecked"),
    "exactly k bare, --unchecked": (["combine", "-k", 3, "--unchecked"], BARE[:3], 0, ""),
    "bare among envelopes": (["refresh"], [ENV[0], ENV[1], BARE[2]], 1, "<stdin>:3"),
    "version 2 upper-case": (["combine"], [v2_with(V2[0], values=str.upper), *V2[1:3]], 1, "upper"),
}


@pytest.mark.parametrize("args,stdin,status,says", CLI.values(), ids=CLI.keys())
def test_command_line(args, stdin, status, says):
    command = [sys.executable, "-m", "varnhold", *map(str, args)]
    result = subprocess.run(command, input="\n".join(stdin).encode(), capture_output=True)
    err = result.stderr.decode()
    assert result.returncode == status and says in err and not HEX_RUN.search(err), err
    assert status != 0 or result.stdout.decode().strip() == SECRET.hex()


def documented_refusals():
    """The format document's refusal vectors: (k, text, reason)."""
    document = pathlib.Path(__file__).resolve().parents[2] / "docs" / "share-format.md"
    rows = []
    for line in document.read_text().splitlines():
        if line.startswith("refused "):
            _, k, text, reason = line.split(" ", 3)
            rows.append((None if k == "-" else int(k), text, reason))
    return rows


@pytest.mark.parametrize("k,text,reason", documented_refusals())
def test_documented_refusals(k, text, reason):
    status = varnhold.check([text], k=k).shares[0]
    assert status.state != "good" and status.reason == reason
    command = [sys.executable, "-m", "varnhold", "check", *(["-k", str(k)] if k else [])]
    result = subprocess.run(command, input=text.encode(), capture_output=True)
    assert result.returncode != 0 and reason in result.stdout.decode() + result.stderr.decode()


def test_the_document_has_refusals_of_each_form():
    texts = [text for _, text, _ in documented_refusals()]
    assert {text[:3] for text in texts} >= {"vh1", "vh2", "vh3", "0:5", "+1:", "01:"}


@pytest.mark.parametrize("shares,k,reason,positions", REFUSALS.values(), ids=REFUSALS.keys())
def test_refused_sets_through_the_command_line(shares, k, reason, positions):
    command = [sys.executable, "-m", "varnhold", "check", *(["-k", str(k)] if k else [])]
    result = subprocess.run(command, input="\n".join(shares).encode(), capture_output=True)
    said = result.stdout.decode() + result.stderr.decode()
    # check shows each set id (16 digits, public); never a value.
    assert result.returncode != 0 and reason in said and not VALUE_RUN.search(said), said

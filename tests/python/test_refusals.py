"""Shares that no split, new share or refresh writes are refused by the safe layer (the bare
module still reads them), bare shares never join envelopes, and exactly k bare shares are read
only on the caller's explicit word."""

import re
import subprocess
import sys

import pytest
import varnhold_core

import varnhold
from support import SECRET, P, envelope

ENV = varnhold.split(SECRET, 3, 5)
ENV_B = varnhold.split(SECRET, 3, 5, scheme="blakley")
BARE = varnhold_core.shamir_split(SECRET, 3, 5)
PLANES = varnhold_core.blakley_split(SECRET, 3, 5)
CHOSEN = ":0000000000000000dededededededede" * 4
HEX_RUN = re.compile(r"[0-9a-fA-F]{16,}")


def reseal(share, bare):
    """The envelope `share` carrying another bare share under a valid check, as a dishonest
    custodian would make it."""
    head = share.rsplit("-", 1)[0].split("-")
    return envelope("-".join(head[:5] + [bare]))


def bare_of(share):
    return share.rsplit("-", 1)[0].split("-")[5]


def reindexed(share, index):
    return index + share[share.index(":") :]


def typo(share):
    at = len(share) - 5
    return share[:at] + ("1" if share[at] == "0" else "0") + share[at + 1 :]


# Each row: the shares given, k, what the reason says, and the positions blamed.
REFUSALS = {
    "index 0": ([reindexed(BARE[0], "0"), *BARE[1:4]], 3, "has index 0", (0,)),
    "index with a sign": ([reindexed(BARE[0], "+1"), *BARE[1:4]], 3, "with a sign", (0,)),
    "index with a leading zero": ([reindexed(BARE[0], "01"), *BARE[1:4]], 3, "leading", (0,)),
    "index p": ([reindexed(BARE[0], str(P)), *BARE[1:4]], 3, "below 2^127-1", (0,)),
    "signed index in an envelope": (
        [reseal(ENV[0], reindexed(bare_of(ENV[0]), "+1")), *ENV[1:4]],
        None,
        "with a sign",
        (0,),
    ),
    "zero coefficient": (["0" * 32 + PLANES[0][32:], *PLANES[1:4]], 3, "zero coefficient", (0,)),
    "zero coefficients in an envelope, chosen constants": (
        [ENV_B[0], ENV_B[1], reseal(ENV_B[2], "1".zfill(32) + ("," + "0" * 32) * 2 + CHOSEN)],
        None,
        "zero coefficient",
        (2,),
    ),
    "upper-case hex in an envelope": (
        [reseal(ENV[0], bare_of(ENV[0]).upper()), ENV[1], ENV[2]],
        None,
        "upper-case",
        (0,),
    ),
    "index-0 bare share beside two envelopes": (
        [ENV[0], ENV[1], "0" + CHOSEN],
        None,
        "never joins a set of envelopes",
        (2,),
    ),
    "bare share typed without its envelope": (
        [ENV[0], ENV[1], typo(bare_of(ENV[2]))],
        None,
        "never joins a set of envelopes",
        (2,),
    ),
    "bare share among envelopes, k given": (
        [ENV[0], BARE[1], ENV[2], ENV[3]],
        3,
        "never joins a set of envelopes",
        (1,),
    ),
    "exactly k bare shares with a typo": ([BARE[0], BARE[1], typo(BARE[2])], 3, "unchecked", ()),
    "exactly k bare Blakley shares": (PLANES[:3], 3, "give one more share", ()),
    "exactly k bare shares and a repeat": ([*BARE[:3], BARE[0]], 3, "cannot be checked", ()),
}


@pytest.mark.parametrize("shares,k,reason,positions", REFUSALS.values(), ids=REFUSALS.keys())
def test_refused_sets(shares, k, reason, positions):
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine(shares, k=k)
    assert reason in exc.value.reason and exc.value.positions == positions
    assert not varnhold.check(shares, k=k).ok
    for make in (varnhold.new_share, varnhold.refresh):
        with pytest.raises(varnhold.ShareError) as made:
            make(shares, k=k)
        if not any("," in share for share in shares):  # Blakley sets are never refreshed
            assert made.value.positions == positions
    shown = " ".join([str(exc.value), str(made.value)])
    assert not HEX_RUN.search(shown)


# Each row: what must still be read, with the keyword arguments of every call.
ACCEPTED = {
    "upper-case bare shares beyond k": ([s.upper() for s in BARE[:4]], {"k": 3}),
    "exactly k bare shares, unchecked": (BARE[2:], {"k": 3, "unchecked": True}),
    "exactly k bare Blakley shares, unchecked": (PLANES[:3], {"k": 3, "unchecked": True}),
    "k envelopes": (ENV[1:4], {}),
}


@pytest.mark.parametrize("shares,kwargs", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_sets_still_read(shares, kwargs):
    assert varnhold.combine(shares, **kwargs) == SECRET
    fresh = varnhold.new_share(shares, **kwargs)
    assert varnhold.combine([fresh, *shares[1:]], **kwargs) == SECRET


def test_unchecked_is_a_bool():
    with pytest.raises(TypeError, match="unchecked must be a bool"):
        varnhold.combine(BARE[:3], k=3, unchecked=1)


def cli(*args, stdin):
    return subprocess.run(
        [sys.executable, "-m", "varnhold", *map(str, args)],
        input="\n".join(stdin).encode(),
        capture_output=True,
        timeout=60,
    )


# Each row: the arguments, the shares on standard input, the exit status and what the one
# error line says (nothing when it succeeds).
CLI = {
    "exactly k bare": (["combine", "-k", 3], BARE[:3], 1, "--unchecked"),
    "exactly k bare, --unchecked": (["combine", "-k", 3, "--unchecked"], BARE[:3], 0, ""),
    "bare among envelopes": (["combine"], [ENV[0], ENV[1], BARE[2]], 1, "<stdin>:3"),
    "index 0": (["check", "-k", 3], [reindexed(BARE[0], "0"), *BARE[1:4]], 1, "<stdin>:1"),
    "refresh of exactly k bare": (["refresh", "-k", 3], BARE[:3], 1, "one more share"),
}


@pytest.mark.parametrize("args,stdin,status,says", CLI.values(), ids=CLI.keys())
def test_command_line(args, stdin, status, says):
    result = cli(*args, stdin=stdin)
    err = result.stderr.decode()
    assert result.returncode == status, err
    assert says in err and not HEX_RUN.search(err)
    if status == 0:
        assert result.stdout.decode().strip() == SECRET.hex()

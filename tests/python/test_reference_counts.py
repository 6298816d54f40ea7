"""Every public function's success path and each class of failure, repeated many times: nothing
may grow. On a debug interpreter the total reference count is compared; everywhere the argument
objects' reference counts, the interpreter's allocated blocks and the process's peak memory."""

import gc
import resource
import sys

import pytest
from varnhold_core import blakley_combine, blakley_split, generate_key, shamir_combine, shamir_split

import varnhold
from support import SECRET

ROUNDS = 2000


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Hostile:
    """A sequence whose __len__, __getitem__ or __iter__ misbehaves as asked."""

    def __init__(self, items, length=None, iterate=None):
        self.items, self.length, self.iterate = items, length, iterate

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]


class HostileIter(Hostile):
    def __iter__(self):
        if isinstance(self.iterate, BaseException):
            raise self.iterate
        return iter(self.iterate if self.iterate is not None else self.items)


SHAMIR = shamir_split(SECRET, 3, 5)
BLAKLEY = blakley_split(SECRET, 3, 5)
ENVELOPES = varnhold.split(SECRET, 3, 5)

# Each row: an id, the call, the exception it must raise (None: it must succeed).
CALLS = [
    ("generate_key", lambda: generate_key(), None),
    ("shamir_split", lambda: shamir_split(SECRET, 3, 5), None),
    ("blakley_split", lambda: blakley_split(SECRET, 3, 5), None),
    ("shamir_combine", lambda: shamir_combine(SHAMIR, 3), None),
    ("blakley_combine", lambda: blakley_combine(BLAKLEY, 3), None),
    ("keywords", lambda: shamir_combine(k=3, shares=tuple(SHAMIR)), None),
    ("binding-missing", lambda: shamir_split(SECRET, 2), TypeError),
    ("binding-extra", lambda: blakley_combine(BLAKLEY, 3, 4), TypeError),
    ("binding-unknown-keyword", lambda: shamir_split(SECRET, 2, 3, z=1), TypeError),
    ("binding-twice", lambda: blakley_split(SECRET, 2, 3, k=2), TypeError),
    ("generate-key-argument", lambda: generate_key(1), TypeError),
    ("conversion-secret", lambda: shamir_split("text", 2, 3), TypeError),
    ("conversion-size-type", lambda: blakley_split(SECRET, 2.0, 3), TypeError),
    ("conversion-overflow", lambda: shamir_split(SECRET, 2, 2**64), OverflowError),
    ("conversion-negative", lambda: shamir_combine(SHAMIR, -1), OverflowError),
    ("conversion-shares-type", lambda: blakley_combine("abc", 2), TypeError),
    ("conversion-share-item", lambda: shamir_combine(SHAMIR[:2] + [b"x"], 2), TypeError),
    ("conversion-surrogate", lambda: shamir_combine(["\ud800"], 2), UnicodeEncodeError),
    ("hostile-index-raises", lambda: shamir_split(SECRET, Index(KeyError("k")), 3), KeyError),
    ("hostile-index-type", lambda: blakley_combine(BLAKLEY, Index("2")), TypeError),
    # The length is only a hint for the first allocation: a failing or lying __len__ is ignored.
    ("hostile-len-raises", lambda: shamir_combine(Hostile(SHAMIR, length=RuntimeError()), 3), None),
    ("hostile-len-huge", lambda: blakley_combine(Hostile(BLAKLEY, length=2**62), 3), None),
    ("hostile-len-negative", lambda: shamir_combine(HostileIter(SHAMIR, length=-5), 3), None),
    (
        "hostile-iter-raises",
        lambda: blakley_combine(HostileIter(BLAKLEY, iterate=LookupError("i")), 3),
        LookupError,
    ),
    (
        "hostile-iter-bad-item",
        lambda: shamir_combine(HostileIter(SHAMIR, iterate=[SHAMIR[0], 7]), 2),
        TypeError,
    ),
    ("scheme-secret-length", lambda: shamir_split(SECRET[:31], 2, 3), ValueError),
    ("scheme-k-n", lambda: blakley_split(SECRET, 4, 3), ValueError),
    ("scheme-too-many", lambda: shamir_split(SECRET, 2, 2**20 + 1), ValueError),
    ("scheme-need-more", lambda: shamir_combine(SHAMIR[:2], 3), ValueError),
    ("scheme-format", lambda: shamir_combine(["1:2"] + SHAMIR, 3), ValueError),
    ("scheme-duplicate", lambda: shamir_combine([SHAMIR[0]] * 3, 3), ValueError),
    ("scheme-bad-value", lambda: blakley_combine([BLAKLEY[0][:-1]] + BLAKLEY, 3), ValueError),
    ("scheme-dependent", lambda: blakley_combine([BLAKLEY[0]] * 3, 3), ValueError),
    ("scheme-coefficients", lambda: blakley_combine(BLAKLEY, 2), ValueError),
    ("package-split", lambda: varnhold.split(SECRET, 3, 5), None),
    ("package-combine-native", lambda: varnhold.combine(ENVELOPES[:3]), None),
    ("package-combine-read-in-full", lambda: varnhold.combine(ENVELOPES, k=3), None),
    ("package-combine-fails", lambda: varnhold.combine(ENVELOPES[:2]), ValueError),
    ("package-combine-arity", lambda: varnhold.combine(ENVELOPES, 3), TypeError),
    ("package-combine-blames", lambda: varnhold.combine(ENVELOPES[:2] + ["vh1-x"]), ValueError),
    ("package-combine-share-type", lambda: varnhold.combine(iter([ENVELOPES[0], 1])), TypeError),
    ("package-check", lambda: varnhold.check(ENVELOPES[:2] + ["vh1-x"]), None),
    ("package-new-share", lambda: varnhold.new_share(ENVELOPES, index=9), None),
    ("package-new-share-index", lambda: varnhold.new_share(ENVELOPES, index=0), ValueError),
    ("package-refresh", lambda: varnhold.refresh(ENVELOPES), None),
    ("package-split-scheme", lambda: varnhold.split(SECRET, 2, 3, scheme="x"), ValueError),
]

WATCHED = [SECRET, SHAMIR, BLAKLEY, *SHAMIR, *BLAKLEY, ENVELOPES, *ENVELOPES]


def run(call, expected, rounds):
    for _ in range(rounds):
        if expected is None:
            call()
        else:
            try:
                call()
            except expected:
                pass


@pytest.mark.parametrize(
    "call, expected", [(c, e) for _, c, e in CALLS], ids=[name for name, _, _ in CALLS]
)
def test_repeated_calls_leave_nothing_behind(call, expected):
    if expected is not None:
        with pytest.raises(expected):
            call()
    run(call, expected, 50)  # warm the interpreter's caches
    gc.collect()
    total = getattr(sys, "gettotalrefcount", None)
    total_before = total() if total else 0
    watched_before = [sys.getrefcount(obj) for obj in WATCHED]
    blocks_before = sys.getallocatedblocks()
    run(call, expected, ROUNDS)
    gc.collect()
    # A reference or object kept per call would leave at least ROUNDS behind.
    if total:
        assert total() - total_before < ROUNDS // 10
    assert [sys.getrefcount(obj) for obj in WATCHED] == watched_before
    # The interpreter's own caches move the count of blocks by up to a few hundred now and then
    # (CPython 3.12 after a long test session), without growing with the calls: a leak leaves its
    # blocks in every batch, so a single batch that left fewer is enough.
    growth = [sys.getallocatedblocks() - blocks_before]
    while len(growth) < 3 and growth[-1] >= ROUNDS // 10:
        blocks_before = sys.getallocatedblocks()
        run(call, expected, ROUNDS)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks_before)
    assert growth[-1] < ROUNDS // 10, growth


def test_peak_memory_stays_flat_over_many_mixed_calls():
    # C++ heap memory is invisible to the interpreter's counters; a leaked share text or parse
    # buffer per call would add tens of megabytes over these calls.
    def mixed(rounds):
        for name, call, expected in CALLS:
            if not name.startswith(("generate", "scheme-too")):
                run(call, expected, rounds)

    mixed(200)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    mixed(3000)
    growth_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert growth_kib < 4096, f"peak memory grew by {growth_kib} KiB"

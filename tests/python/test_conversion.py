"""Conversion of arguments into the module's values and of results back into Python objects:
exact exception types and messages, the order of conversions, hostile argument objects and
reference counts on every failure path."""

import operator
import sys

import pytest
from varnhold_core import blakley_combine, blakley_split, shamir_combine, shamir_split

S = bytes(range(32))
SPLITS = [shamir_split, blakley_split]
COMBINES = [shamir_combine, blakley_combine]
MAX_U64 = 2**64 - 1


def raised_by(call, *args):
    try:
        call(*args)
    except BaseException as e:  # noqa: BLE001
        return e
    raise AssertionError("no exception")


class Holder:
    class Nested:
        pass


class HiddenName(type):
    """A metaclass whose classes refuse to give a usable __qualname__."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            if cls.__dict__.get("refuse"):
                raise AttributeError(name)
            return 42
        return super().__getattribute__(name)


class NoName(metaclass=HiddenName):
    refuse = True


class NumericName(metaclass=HiddenName):
    refuse = False


class Bytes(bytes):
    pass


@pytest.mark.parametrize("split", SPLITS)
@pytest.mark.parametrize(
    "secret, shown",
    [
        ("abc", "'str' object"),
        (bytearray(32), "'bytearray' object"),
        (memoryview(S), "'memoryview' object"),
        (None, "'None'"),
        (32, "'int' object"),
        ([S], "'list' object"),
        (Holder.Nested(), "'Holder.Nested' object"),
        (NoName(), "'<failed to extract type name>' object"),
        (NumericName(), "'<failed to extract type name>' object"),
    ],
    ids=["str", "bytearray", "memoryview", "None", "int", "list", "nested", "noname", "numname"],
)
def test_secret_must_be_bytes(split, secret, shown):
    error = raised_by(split, secret, 2, 3)
    assert type(error) is TypeError
    assert error.args == (f"argument 'secret': {shown} is not an instance of 'bytes'",)


@pytest.mark.parametrize("split, combine", list(zip(SPLITS, COMBINES)))
def test_bytes_subclass_is_a_secret_and_results_are_exact_types(split, combine):
    shares = split(Bytes(S), 2, 3)
    assert type(shares) is list and len(shares) == 3
    assert all(type(share) is str for share in shares)
    rebuilt = combine(shares[1:], 2)
    assert type(rebuilt) is bytes and rebuilt == S
    # The subclass's bytes are what is read: a short one is refused by the scheme, not here.
    assert type(raised_by(split, Bytes(S[:31]), 2, 3)) is ValueError


class Index:
    """An argument with an integer index, recording when it is asked."""

    def __init__(self, value, log=None, name=None):
        self.value, self.log, self.name = value, log, name

    def __index__(self):
        if self.log is not None:
            self.log.append(self.name)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IntWithOtherIndex(int):
    def __index__(self):
        return 5


def interpreter_index_text(value):
    """The interpreter's own TypeError text when value has no usable integer index."""
    error = raised_by(operator.index, value)
    assert type(error) is TypeError
    return str(error)


@pytest.mark.parametrize(
    "value",
    [2.0, "3", None, b"3", Index("2"), Index(2.5)],
    ids=["float", "str", "None", "bytes", "index-str", "index-float"],
)
@pytest.mark.parametrize("which", ["k", "n", "combine-k"])
def test_size_without_integer_index(which, value):
    if which == "k":
        error = raised_by(blakley_split, S, value, 3)
    elif which == "n":
        error = raised_by(blakley_split, S, 2, value)
    else:
        error = raised_by(shamir_combine, [], value)
    name = "n" if which == "n" else "k"
    assert type(error) is TypeError
    assert error.args == (f"argument '{name}': {interpreter_index_text(value)}",)


@pytest.mark.parametrize(
    "value",
    [-1, 2**64, -(10**30), 10**30, Index(-1), Index(2**64)],
    ids=["minus-one", "2**64", "very-negative", "very-large", "index-minus-one", "index-2**64"],
)
@pytest.mark.parametrize("position", [1, 2])
def test_size_out_of_range_is_the_interpreters_overflow(value, position):
    args = [S, 2, 3]
    args[position] = value
    for error in (raised_by(shamir_split, *args), raised_by(shamir_combine, ["a"], value)):
        assert type(error) is OverflowError
        assert not str(error).startswith("argument")


@pytest.mark.parametrize(
    "function, args, message",
    [
        (shamir_combine, ([], MAX_U64), f"Need at least {MAX_U64} shares"),
        (shamir_combine, ([], Index(2**63)), f"Need at least {2**63} shares"),
        (blakley_combine, (["a"], Index(MAX_U64)), f"Not enough shares: got 1, need {MAX_U64}"),
        (shamir_split, (S, MAX_U64, 3), "Invalid k/n parameters"),
        (shamir_split, (S, 2, MAX_U64), "Invalid n: must be <= 1048576"),
        (blakley_split, (S, 2, Index(2**32 + 3)), "Invalid n: must be <= 1048576"),
        (shamir_split, (S, True, 3), "Invalid k/n parameters"),
        (blakley_split, (S, 2, False), "Invalid k/n"),
        (shamir_combine, ([], True), "Invalid k: threshold must be at least 2"),
        # An int subclass is read as the int it is; its __index__ is not consulted.
        (shamir_combine, ([], IntWithOtherIndex(1)), "Invalid k: threshold must be at least 2"),
        (shamir_combine, ([], Index(3)), "Need at least 3 shares"),
        (shamir_split, (b"x" * 32, 3, 2), "Invalid k/n parameters"),
        (shamir_split, (b"", 2, 3), "Secret must be 32 bytes"),
        (blakley_combine, (["a", "b"], 3), "Not enough shares: got 2, need 3"),
    ],
)
def test_sizes_reach_the_scheme_exactly(function, args, message):
    error = raised_by(function, *args)
    assert type(error) is ValueError
    assert error.args == (message,)
    assert error.__cause__ is None


class TypeErrorSubclass(TypeError):
    pass


def type_error_with_cause():
    try:
        raise ValueError("y")
    except ValueError as inner_cause:
        try:
            raise TypeError("x") from inner_cause
        except TypeError as e:
            return e


@pytest.mark.parametrize(
    "inner, message",
    [
        (TypeError("x"), "argument 'k': x"),
        (TypeError(), "argument 'k': "),
        (TypeError("a", "b"), "argument 'k': " + str(TypeError("a", "b"))),
        (type_error_with_cause(), "argument 'k': x"),
    ],
    ids=["plain", "empty", "two-args", "with-cause"],
)
def test_exact_type_error_from_index_is_prefixed_with_its_cause(inner, message):
    cause, args_before = inner.__cause__, inner.args
    for call in (
        lambda: shamir_split(S, Index(inner), 3),
        lambda: shamir_combine([], Index(inner)),
    ):
        error = raised_by(call)
        assert type(error) is TypeError and error is not inner
        assert error.args == (message,)
        assert error.__cause__ is cause
        assert error.__suppress_context__ is True
    assert inner.args == args_before


@pytest.mark.parametrize(
    "inner",
    [TypeErrorSubclass("sub"), ValueError("v"), KeyError("k"), ZeroDivisionError("z")],
    ids=["TypeError-subclass", "ValueError", "KeyError", "ZeroDivisionError"],
)
def test_other_errors_from_index_pass_through_unchanged(inner):
    for call in (
        lambda: blakley_split(S, 2, Index(inner)),
        lambda: blakley_combine([], Index(inner)),
    ):
        error = raised_by(call)
        assert error is inner
        assert error.args == inner.args


class Shares:
    """A sequence by item access, with an optional hook per protocol method."""

    def __init__(self, items, length=None, iterate=None, log=None):
        self.items, self.length, self.iterate, self.log = list(items), length, iterate, log

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.log is not None and i == 0:
            self.log.append("shares")
        return self.items[i]


class IterShares(Shares):
    def __iter__(self):
        if self.log is not None:
            self.log.append("shares")
        if isinstance(self.iterate, BaseException):
            raise self.iterate
        return self.iterate if self.iterate is not None else iter(self.items)


class Failing:
    def __init__(self, error):
        self.error = error

    def __iter__(self):
        return self

    def __next__(self):
        raise self.error


class OnlyIter:
    def __iter__(self):
        return iter(["a"])


class Mapping(dict):
    def __getitem__(self, key):
        return "a"


class Text(str):
    pass


@pytest.mark.parametrize("combine", COMBINES)
@pytest.mark.parametrize(
    "shares, text",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (Text("abc"), "Can't extract `str` to `Vec`"),
        ({"a": "b"}, "'dict' object is not an instance of 'Sequence'"),
        (Mapping(), "'Mapping' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
        ({"a"}, "'set' object is not an instance of 'Sequence'"),
        (frozenset(), "'frozenset' object is not an instance of 'Sequence'"),
        ((s for s in ["a"]), "'generator' object is not an instance of 'Sequence'"),
        (iter(["a"]), "'list_iterator' object is not an instance of 'Sequence'"),
        (OnlyIter(), "'OnlyIter' object is not an instance of 'Sequence'"),
        (2, "'int' object is not an instance of 'Sequence'"),
        ([b"x"], "'bytes' object is not an instance of 'str'"),
        (b"ab", "'int' object is not an instance of 'str'"),
        (bytearray(b"ab"), "'int' object is not an instance of 'str'"),
        (range(3), "'int' object is not an instance of 'str'"),
        (["a", None], "'None' is not an instance of 'str'"),
        (("a", "b", 5), "'int' object is not an instance of 'str'"),
        (Shares(["a", Holder.Nested()]), "'Holder.Nested' object is not an instance of 'str'"),
        (IterShares([], iterate=TypeError("t")), "t"),
        (IterShares([], iterate=Failing(TypeError("n"))), "n"),
    ],
    ids=lambda value: type(value).__name__ if not isinstance(value, str) else repr(value)[:12],
)
def test_shares_refused_with_type_error(combine, shares, text):
    error = raised_by(combine, shares, 2)
    assert type(error) is TypeError
    assert error.args == ("argument 'shares': " + text,)


class NotAnIterator:
    pass


def test_shares_whose_iterator_is_not_one():
    shares = IterShares([], iterate=NotAnIterator())
    expected = str(raised_by(iter, shares))
    error = raised_by(shamir_combine, shares, 2)
    assert type(error) is TypeError and error.args == ("argument 'shares': " + expected,)


@pytest.mark.parametrize(
    "shares",
    [
        IterShares([], iterate=TypeErrorSubclass("sub")),
        IterShares([], iterate=ValueError("v")),
        IterShares([], iterate=Failing(KeyError("k"))),
        IterShares([], iterate=Failing(TypeErrorSubclass("sub"))),
    ],
    ids=["iter-TypeError-subclass", "iter-ValueError", "next-KeyError", "next-TypeError-subclass"],
)
def test_other_errors_while_iterating_pass_through_unchanged(shares):
    error = raised_by(blakley_combine, shares, 2)
    expected = shares.iterate if isinstance(shares.iterate, BaseException) else shares.iterate.error
    assert error is expected


def test_share_with_lone_surrogate_is_the_interpreters_encode_error():
    expected = raised_by(str.encode, "ok\ud800", "utf-8")
    for combine in COMBINES:
        error = raised_by(combine, ["a", "ok\ud800"], 2)
        assert type(error) is UnicodeEncodeError
        assert str(error) == str(expected)


@pytest.mark.parametrize(
    "wrap",
    [
        list,
        tuple,
        lambda items: [Text(item) for item in items],
        Shares,
        IterShares,
        lambda items: Shares(items, length=ValueError("no length")),
        lambda items: Shares(items, length=TypeError("no length")),
        lambda items: Shares(items, length=-5),
        lambda items: Shares(items, length=sys.maxsize),
        lambda items: Shares(items, length=2**62),
        lambda items: Shares(items, length=2**70),
    ],
    ids=[
        "list",
        "tuple",
        "str-subclass",
        "item-access",
        "iterable",
        "len-ValueError",
        "len-TypeError",
        "len-negative",
        "len-maxsize",
        "len-2**62",
        "len-2**70",
    ],
)
def test_sequences_of_str_are_accepted_in_order(wrap, capsys):
    shamir_shares = shamir_split(S, 2, 3)
    blakley_shares = blakley_split(S, 2, 3)
    assert shamir_combine(wrap(shamir_shares[::-1]), 2) == S
    assert blakley_combine(wrap(blakley_shares[1:]), 2) == S
    # Every item is converted, in order: the count and the position named by the scheme show it.
    three = wrap(["a", "b", "c"])
    assert str(raised_by(blakley_combine, three, 5)) == "Not enough shares: got 3, need 5"
    assert str(raised_by(blakley_combine, wrap(["x", "y:z"]), 2)) == (
        "Share 0 has invalid format: expected 5 parts, got 1"
    )
    assert str(raised_by(blakley_combine, wrap(["y:z", "x"]), 2)) == (
        "Share 0 has invalid format: expected 5 parts, got 2"
    )
    # The same object given again is an item of its own each time.
    assert str(raised_by(blakley_combine, wrap(["a"] * 3), 5)) == "Not enough shares: got 3, need 5"
    repeated = wrap([blakley_split(S, 3, 3)[0]] * 2 + ["y:z"])
    assert str(raised_by(blakley_combine, repeated, 3)) == (
        "Share 2 has invalid format: expected 5 parts, got 2"
    )
    # A failing length is not reported anywhere.
    assert capsys.readouterr() == ("", "")


def k_and_n(log, k, n):
    return Index(k, log, "k"), Index(n, log, "n")


# Each row: function, arguments made around a log of conversions, the log, the failure.
CONVERSION_ORDER = [
    (shamir_split, lambda log: ("abc", *k_and_n(log, "x", "x")), [], "'secret'"),
    (blakley_split, lambda log: (S, *k_and_n(log, "x", "x")), ["k"], "'k'"),
    (shamir_split, lambda log: (S, *k_and_n(log, -1, "x")), ["k"], OverflowError),
    (blakley_split, lambda log: (S, *k_and_n(log, 2, "x")), ["k", "n"], "'n'"),
    (shamir_split, lambda log: (b"", *k_and_n(log, 2, "x")), ["k", "n"], "'n'"),
    (blakley_split, lambda log: (S, *k_and_n(log, 0, 0)), ["k", "n"], ValueError),
    (
        shamir_combine,
        lambda log: (Shares([1], log=log), Index("x", log, "k")),
        ["shares"],
        "'shares'",
    ),
    (
        blakley_combine,
        lambda log: (IterShares(["a"], log=log), Index("x", log, "k")),
        ["shares", "k"],
        "'k'",
    ),
    (
        shamir_combine,
        lambda log: (IterShares([], log=log), Index(0, log, "k")),
        ["shares", "k"],
        ValueError,
    ),
    (blakley_combine, lambda log: ("abc", Index(-1, log, "k")), [], "'shares'"),
]


@pytest.mark.parametrize("function, args, expected_log, kind", CONVERSION_ORDER)
def test_arguments_are_converted_in_parameter_order(function, args, expected_log, kind):
    log = []
    error = raised_by(function, *args(log))
    assert log == expected_log
    if isinstance(kind, str):
        assert type(error) is TypeError and str(error).startswith(f"argument {kind}: ")
    else:
        assert type(error) is kind


class CausedIndex:
    """Raises a fresh TypeError with the given cause, or a fresh ValueError without one."""

    def __init__(self, cause):
        self.cause = cause

    def __index__(self):
        if self.cause is None:
            raise ValueError("no index")
        raise TypeError("x") from self.cause


def test_failing_calls_leave_reference_counts_unchanged():
    secret = bytes(range(100, 132))
    short = bytes(range(7))
    rejected_secret = bytearray(32)
    big = 10**30
    in_range = 2**63 + 12345
    index = Index(in_range)
    items = [f"share-{i}-" + "x" * 40 for i in range(3)]
    shares = list(items)
    bad_shares = items[:2] + [b"not text"]
    mapping = {"a": "b"}
    cause = ValueError("the cause")
    caused = CausedIndex(cause)
    calls = [
        (lambda: shamir_split(secret, caused, 3), TypeError),
        (lambda: blakley_combine(shares, caused), TypeError),
        (lambda: shamir_split(secret, 2, CausedIndex(None)), ValueError),
        (lambda: shamir_split(secret, index, big, z=1), TypeError),
        (lambda: shamir_combine(shares, index, 3), TypeError),
        (lambda: blakley_split(secret, k=index, n=3, secret=secret), TypeError),
        (lambda: shamir_split(rejected_secret, index, 3), TypeError),
        (lambda: shamir_split(secret, index, big), OverflowError),
        (lambda: blakley_split(secret, index, "n"), TypeError),
        (lambda: shamir_combine(bad_shares, index), TypeError),
        (lambda: blakley_combine(mapping, big), TypeError),
        (lambda: shamir_combine(shares, big), OverflowError),
        (lambda: shamir_split(short, index, 3), ValueError),
        (lambda: shamir_split(secret, index, 3), ValueError),
        (lambda: shamir_combine(shares, index), ValueError),
        (lambda: blakley_combine(shares, index), ValueError),
        (lambda: shamir_combine(shares, 2), ValueError),
    ]
    watched = [
        secret,
        short,
        rejected_secret,
        big,
        in_range,
        index,
        shares,
        bad_shares,
        mapping,
        cause,
        caused,
        *items,
        bad_shares[2],
    ]
    for call, expected in calls:
        call_error = raised_by(call)
        assert type(call_error) is expected, call_error
        del call_error
        before = [sys.getrefcount(obj) for obj in watched]
        blocks = sys.getallocatedblocks()
        for _ in range(1000):
            try:
                call()
            except expected:
                pass
        # A leaked exception or text per call would leave a thousand blocks or more behind.
        assert sys.getallocatedblocks() - blocks < 200
        after = [sys.getrefcount(obj) for obj in watched]
        assert after == before


@pytest.mark.parametrize("split, combine", list(zip(SPLITS, COMBINES)))
def test_results_are_owned_by_the_caller_alone(split, combine):
    shares = split(bytes(range(1, 33)), 2, 3)
    # The list and each text are referenced only by the caller (and getrefcount's argument).
    assert sys.getrefcount(shares) == 2
    assert [sys.getrefcount(shares[i]) for i in range(3)] == [2, 2, 2]
    rebuilt = combine(shares[:2], 2)
    assert sys.getrefcount(rebuilt) == 2

"""The values the safe layer reports in. They are defined here once and built by the native
module, which reads every set of shares; the package re-exports them."""

from __future__ import annotations

# typing is imported only by a type checker (a type checker takes this block as always run) and
# by the first use of Scheme or ShareState at run time: the command line never needs it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Literal, Optional, Tuple, Union

    # Spelled as unions of one-value literals: the same types to a type checker as
    # Literal["shamir", "blakley"], and a Union at runtime too, so the type stub checker finds
    # them in step.
    Scheme = Union[Literal["shamir"], Literal["blakley"]]
    ShareState = Union[
        Literal["good"],
        Literal["wrong"],
        Literal["unreadable"],
        Literal["duplicate"],
        Literal["foreign"],
    ]
else:

    def __getattr__(name: str) -> object:
        """Scheme and ShareState, made from typing on first use (the same values as above)."""
        values = {
            "Scheme": ("shamir", "blakley"),
            "ShareState": ("good", "wrong", "unreadable", "duplicate", "foreign"),
        }
        if name not in values:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from typing import Literal, Union

        alias = Union[tuple(Literal[value] for value in values[name])]
        globals()[name] = alias
        return alias


class ShareError(ValueError):
    """A share problem. ``positions`` are the 0-based input positions of the offending shares
    (ascending; empty when no share can be blamed); ``reason`` is the problem without any
    position. ``str(error)`` counts positions from 1."""

    __module__ = "varnhold"

    positions: Tuple[int, ...]
    reason: str
    #: For shares of several sets given together (by ``recover``): the positions of each set's
    #: shares, one tuple a set in the order first seen; empty otherwise.
    groups: Tuple[Tuple[int, ...], ...] = ()
    #: For a secret ``recover`` could not determine: the report on every share given.
    report: Optional[ShareReport] = None

    def __init__(self, message: str, positions: Tuple[int, ...] = (), reason: Optional[str] = None):
        super().__init__(message)
        self.positions = tuple(positions)
        self.reason = message if reason is None else reason


class _Record:
    """An immutable value compared, hashed and shown by its fields (its __slots__)."""

    __slots__: Tuple[str, ...] = ()

    def _fields(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot assign to field {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete field {name!r}")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, _Record) or type(other) is not type(self):
            return NotImplemented
        return self._fields() == other._fields()

    def __hash__(self) -> int:
        return hash(self._fields())

    # Copies and pickles are made through the constructor, which takes the fields in order.
    def __reduce__(self) -> Tuple[type, Tuple[Any, ...]]:
        return type(self), self._fields()

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"{type(self).__name__}({fields})"


class ShareStatus(_Record):
    """What was found about one input share."""

    __module__ = "varnhold"
    __slots__ = ("position", "number", "state", "reason")

    position: int
    number: Optional[int]
    state: ShareState
    reason: Optional[str]

    def __init__(
        self, position: int, number: Optional[int], state: ShareState, reason: Optional[str]
    ) -> None:
        for name, value in zip(self.__slots__, (position, number, state, reason)):
            object.__setattr__(self, name, value)


class ShareReport(_Record):
    """What a list of shares was found to be."""

    __module__ = "varnhold"
    __slots__ = ("scheme", "k", "set_id", "count", "shares", "problem")

    scheme: Optional[Scheme]
    k: Optional[int]
    set_id: Optional[str]
    count: int
    shares: Tuple[ShareStatus, ...]
    problem: Optional[str]

    def __init__(
        self,
        scheme: Optional[Scheme],
        k: Optional[int],
        set_id: Optional[str],
        count: int,
        shares: Tuple[ShareStatus, ...],
        problem: Optional[str],
    ) -> None:
        values = (scheme, k, set_id, count, shares, problem)
        for name, value in zip(self.__slots__, values):
            object.__setattr__(self, name, value)

    @property
    def ok(self) -> bool:
        """True when there is no set-level problem and every share is good."""
        return self.problem is None and all(s.state == "good" for s in self.shares)

    @property
    def partial(self) -> bool:
        """True when fewer than k shares were given and every one of them is good: each passes
        its own check (an envelope's checksum; a bare share only parses), all belong to one set
        and none repeats another. The set-level verdict (do they rebuild the secret, do the
        extras agree) needs k shares, so ``ok`` stays False and ``problem`` says how many are
        missing."""
        return (
            self.k is not None
            and 0 < self.count < self.k
            and all(s.state == "good" for s in self.shares)
        )


class Recovery(_Record):
    """What ``recover`` found: the secret, rebuilt from the good shares, and the report on every
    share given. ``dropped`` are the positions of the shares left out (state other than
    "good"), ascending. The secret is never shown by ``repr``."""

    __module__ = "varnhold"
    __slots__ = ("secret", "report", "dropped")

    secret: bytes
    report: ShareReport
    dropped: Tuple[int, ...]

    def __init__(self, secret: bytes, report: ShareReport, dropped: Tuple[int, ...]) -> None:
        for name, value in zip(self.__slots__, (secret, report, tuple(dropped))):
            object.__setattr__(self, name, value)

    def __repr__(self) -> str:
        return f"Recovery(secret=<hidden>, report={self.report!r}, dropped={self.dropped!r})"

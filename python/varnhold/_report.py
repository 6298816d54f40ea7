"""The values the safe layer reports in. They are defined here once and built by the native
module, which reads every set of shares; the package re-exports them."""

from __future__ import annotations

from typing import Any, Literal, Optional, Tuple, Union

# Spelled as unions of one-value literals: the same types to a type checker as Literal["shamir",
# "blakley"], and a Union at runtime too, so the type stub checker finds them in step.
Scheme = Union[Literal["shamir"], Literal["blakley"]]
ShareState = Union[
    Literal["good"],
    Literal["wrong"],
    Literal["unreadable"],
    Literal["duplicate"],
    Literal["foreign"],
]


class ShareError(ValueError):
    """A share problem. ``positions`` are the 0-based input positions of the offending shares
    (ascending; empty when no share can be blamed); ``reason`` is the problem without any
    position. ``str(error)`` counts positions from 1."""

    __module__ = "varnhold"

    positions: Tuple[int, ...]
    reason: str

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

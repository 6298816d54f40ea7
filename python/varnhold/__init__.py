"""Threshold secret sharing of 32-byte secrets with shares that check themselves.

Shares made here are envelopes: one line of ASCII that names its scheme, threshold and set and
carries a checksum around the share text of ``varnhold_core``. ``combine`` uses every share it is
given, verifies every share beyond the k it needs, and returns the secret only when all of them
agree; otherwise it raises :class:`ShareError` naming the shares at fault where they can be told.
Bare ``varnhold_core`` share texts are accepted too when ``k`` is given.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterable, List, Literal, Optional, Tuple, Union, cast

import varnhold_core

from . import _native

if TYPE_CHECKING:
    from ._native import _RawReport

__version__ = "0.1.0"

__all__ = [
    "Scheme",
    "ShareState",
    "ShareError",
    "ShareStatus",
    "ShareReport",
    "generate_key",
    "split",
    "combine",
    "check",
    "new_share",
    "refresh",
    "__version__",
]

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

_P = (1 << 127) - 1
_BLAMED = ("wrong", "unreadable", "foreign")


class ShareError(ValueError):
    """A share problem. ``positions`` are the 0-based input positions of the offending shares
    (ascending; empty when no share can be blamed); ``reason`` is the problem without any
    position. ``str(error)`` counts positions from 1."""

    positions: Tuple[int, ...]
    reason: str

    def __init__(self, message: str, positions: Tuple[int, ...] = (), reason: Optional[str] = None):
        super().__init__(message)
        self.positions = tuple(positions)
        self.reason = message if reason is None else reason


@dataclass(frozen=True)
class ShareStatus:
    """What was found about one input share."""

    position: int
    number: Optional[int]
    state: ShareState
    reason: Optional[str]


@dataclass(frozen=True)
class ShareReport:
    """What a list of shares was found to be."""

    scheme: Optional[Scheme]
    k: Optional[int]
    set_id: Optional[str]
    count: int
    shares: Tuple[ShareStatus, ...]
    problem: Optional[str]

    @property
    def ok(self) -> bool:
        """True when there is no set-level problem and every share is good."""
        return self.problem is None and all(s.state == "good" for s in self.shares)


def _report(raw: _RawReport) -> Tuple[ShareReport, Optional[str]]:
    scheme, k, set_id, form, problem, shares = raw
    statuses = tuple(
        ShareStatus(position=i, number=number, state=cast(ShareState, state), reason=reason)
        for i, (number, state, reason) in enumerate(shares)
    )
    report = ShareReport(
        scheme=cast(Optional[Scheme], scheme),
        k=k,
        set_id=set_id,
        count=len(statuses),
        shares=statuses,
        problem=problem,
    )
    return report, form


def _error_for(report: ShareReport) -> Optional[ShareError]:
    """The ShareError a report calls for, or None when every share agrees."""
    blamed = [s for s in report.shares if s.state in _BLAMED]
    if not blamed and report.problem is None:
        return None
    parts: List[str] = []
    reasons: List[str] = []
    for s in blamed:
        label = f"share {s.position + 1}"
        if s.number is not None:
            label += f" (number {s.number})"
        parts.append(f"{label}: {s.reason}")
        # A blamed share always has a reason; an empty one is never listed.
        if s.reason and s.reason not in reasons:
            reasons.append(s.reason)
    if report.problem is not None:
        parts.append(report.problem)
        reasons.append(report.problem)
    return ShareError("; ".join(parts), tuple(s.position for s in blamed), "; ".join(reasons))


def _share_list(shares: Iterable[str]) -> List[str]:
    if isinstance(shares, (str, bytes)):
        raise TypeError("shares must be an iterable of str, not a single " + type(shares).__name__)
    items = list(shares)
    for i, item in enumerate(items):
        if not isinstance(item, str):
            raise TypeError(f"share {i + 1} must be str, not {type(item).__name__}")
    return items


def _k_argument(k: Optional[int]) -> int:
    if k is None:
        return 0
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int or None, not {type(k).__name__}")
    if k < 2:
        raise ShareError("k must be at least 2", (), "k must be at least 2")
    # Envelopes never carry more than this; a larger k cannot belong to any split.
    if k > 1048576:
        raise ShareError("k must be at most 1048576", (), "k must be at most 1048576")
    return k


def generate_key() -> bytes:
    """32 fresh random bytes from the operating system's random source."""
    return varnhold_core.generate_key()


# split(secret, k, n, *, scheme="shamir") -> List[str]: splits a 32-byte secret into n envelope
# shares, any k of which rebuild it. Raises TypeError for a secret that is not bytes or a k or n
# that is not an int, ValueError for a negative k or n, for a scheme other than "shamir" and
# "blakley", for a secret that is not 32 bytes or for k, n outside 2 <= k <= n <= 2^20. All
# random bytes of the split come from one request to the operating system. It is the native
# function itself, checks included, so that a split costs one call.
split = _native.split


def check(shares: Iterable[str], *, k: Optional[int] = None) -> ShareReport:
    """Verifies the shares as combine does and reports on each of them, without returning the
    secret."""
    items = _share_list(shares)
    report, _ = _report(_native.check(items, _k_argument(k)))
    return report


def _combine(shares: Iterable[str], *, k: Optional[int] = None) -> bytes:
    """Rebuilds the secret from every share given.

    At least k valid shares of one set are needed; every share beyond k is verified and the
    rebuilt chunks are range-checked. Raises ShareError unless every share agrees."""
    items = shares if type(shares) is list else _share_list(shares)
    result = _native.combine(items, 0 if k is None else _k_argument(k))
    if isinstance(result, bytes):
        return result
    # Only failures get here: a list that holds something other than str, or a report.
    if result is None:
        items = _share_list(items)
        result = _native.combine(items, 0 if k is None else _k_argument(k))
        if isinstance(result, bytes):
            return result
        if result is None:
            raise TypeError("shares must be an iterable of str")
    report, _ = _report(result)
    raise _error_for(report) or ShareError("the shares do not rebuild a secret")


# combine(shares, *, k=None) -> bytes, the function above in one native call for its common
# case: a list of exactly k shares of one set, with k not given or an int in range. Everything
# else, failures included, is handed to it.
combine = _native.combining(_combine)


def new_share(
    shares: Iterable[str], *, k: Optional[int] = None, index: Optional[int] = None
) -> str:
    """A new share of the set the shares belong to, in their form (envelope or bare).

    Shamir: the share at ``index`` (default: one above the highest index given). Blakley: a fresh
    random hyperplane through the set's points (``index`` is refused)."""
    items = _share_list(shares)
    if index is None:
        index_text = ""
    elif isinstance(index, bool) or not isinstance(index, int):
        raise TypeError(f"index must be an int or None, not {type(index).__name__}")
    elif not 1 <= index < _P:
        raise ShareError(
            "index must be at least 1 and below 2^127-1",
            (),
            "index must be at least 1 and below 2^127-1",
        )
    else:
        index_text = str(index)
    raw, share, failure = _native.new_share(items, _k_argument(k), index_text)
    report, _ = _report(raw)
    error = _error_for(report)
    if error is not None:
        raise error
    if failure is not None or share is None:
        message = failure or "no share could be made"
        raise ShareError(message, (), message)
    return share


def refresh(shares: Iterable[str], *, k: Optional[int] = None) -> List[str]:
    """New shares at the same indices for the same secret, which no longer combine with the old
    ones. Shamir only; envelope shares get a fresh set id."""
    items = _share_list(shares)
    raw, refreshed, failure = _native.refresh(items, _k_argument(k))
    report, _ = _report(raw)
    if failure is not None:
        raise ShareError(failure, (), failure)
    error = _error_for(report)
    if error is not None:
        raise error
    if refreshed is None:
        raise ShareError(
            "the shares could not be refreshed", (), "the shares could not be refreshed"
        )
    return refreshed

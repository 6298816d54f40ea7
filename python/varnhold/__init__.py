"""Threshold secret sharing of 32-byte secrets with shares that check themselves.

Shares made here are envelopes: one line of ASCII that names its scheme, threshold and set and
carries a checksum around the share text of ``varnhold_core``. ``combine`` uses every share it is
given, verifies every share beyond the k it needs, and returns the secret only when all of them
agree; otherwise it raises :class:`ShareError` naming the shares at fault where they can be told.
Bare ``varnhold_core`` share texts are accepted too when ``k`` is given, never mixed with
envelopes; exactly k bare shares cannot be checked, and are read only with ``unchecked=True``.
"""

from __future__ import annotations

# typing is not imported at run time (it takes longer to import than the command line needs to
# print its help); a type checker takes this block as always run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterable, List, Optional, Sequence, Tuple

    from ._report import Recovery, Scheme, ShareError, ShareReport, ShareState, ShareStatus

    #: The most shares a split makes, and the largest k a set can have.
    MAX_SHARES: int

    from . import _native as _native_module
else:
    # The native module once _load_native has run: calls test this name (a global lookup)
    # instead of running an import statement each time. (The package's own attribute `_native`
    # is left to the import system, so that `from varnhold import _native` always imports it.)
    _native_module = None

# The one place the version is written: the build reads it from here too (pyproject.toml).
__version__ = "0.1.0"

__all__ = [
    "MAX_SHARES",
    "Scheme",
    "ShareState",
    "ShareError",
    "ShareStatus",
    "ShareReport",
    "Recovery",
    "generate_key",
    "split",
    "combine",
    "recover",
    "check",
    "new_share",
    "refresh",
    "reshare",
    "__version__",
]

# Every function below is one call of the native module, which checks the arguments (it must
# before it reads them, so it is their one owner), raises the errors and builds the reports.
# The native modules are loaded by the first call that needs them, not on import: the command
# line's help and its argument errors need neither (loading them is a good part of its start-up).
# The names of __all__ that are not defined here (MAX_SHARES and the classes of _report) are made
# on first use by __getattr__ for the same reason (the command line's help and a split that
# succeeds never use them; the functions below import them where they use them, and the native
# module imports _report when it builds a report or raises a ShareError).


def _load_native() -> None:
    global _native_module
    from . import _native

    _native_module = _native


if not TYPE_CHECKING:

    def __getattr__(name: str) -> object:
        if name == "MAX_SHARES":
            _load_native()
            value = _native_module.max_shares
        elif name in __all__:  # the others of __all__ are defined, so never asked for here
            from . import _report

            value = getattr(_report, name)
        else:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted({*globals(), *__all__})


def generate_key() -> bytes:
    """32 fresh random bytes from the operating system's random source."""
    import varnhold_core

    return varnhold_core.generate_key()


def split(secret: bytes, k: int, n: int, *, scheme: Scheme = "shamir") -> List[str]:
    """Splits a 32-byte secret into n envelope shares, any k of which rebuild it.

    Raises TypeError for a secret that is not bytes or a k or n that is not an int, ValueError
    for a negative k or n, for a scheme other than "shamir" and "blakley", for a secret that is
    not 32 bytes or for k, n outside 2 <= k <= n <= MAX_SHARES. All random bytes of the split
    come from one request to the operating system."""
    if not _native_module:
        _load_native()
    return _native_module.split(secret, k, n, scheme)


def combine(shares: Iterable[str], *, k: Optional[int] = None, unchecked: bool = False) -> bytes:
    """Rebuilds the secret from every share given.

    At least k valid shares of one set are needed; every share beyond k is verified and the
    rebuilt chunks are range-checked. Exactly k bare shares are refused unless ``unchecked`` is
    True, which gives no protection: a wrong share then gives a wrong secret without an error.
    Raises ShareError unless every share agrees, TypeError for shares that are not an iterable
    of str, a k that is neither None nor an int, or an ``unchecked`` that is not a bool. A share
    that repeats an earlier one is named when too few shares remain without it."""
    if not _native_module:
        _load_native()
    try:
        return _native_module.combine(shares, k, unchecked)
    except ValueError as error:  # a ShareError is one; _report is imported only on this path
        named = _repeats_named(shares, k, error)
        if named is None:
            raise
        raise named from None


def _repeats_named(shares: object, k: Optional[int], error: ValueError) -> Optional[ShareError]:
    """The error of a combine that failed for too few shares, with the repeated shares that
    caused it named; None to keep the error as it was."""
    from ._report import ShareError

    if not isinstance(error, ShareError) or error.positions:
        return None
    if not isinstance(shares, (list, tuple)):
        return None
    report = _native_module.check(shares, k)
    repeats = tuple(s.position for s in report.shares if s.state == "duplicate")
    if not repeats:
        return None
    reason = f"repeats an earlier share; {error.reason}"
    return ShareError(f"{_numbered(repeats)}: {reason}", repeats, reason)


def recover(shares: Iterable[str], *, k: Optional[int] = None, unchecked: bool = False) -> Recovery:
    """Rebuilds the secret past damaged shares, when the shares given determine it.

    Unlike ``combine``, shares that fail their own check, cannot be read, repeat another or are
    located as wrong by the decoder are dropped (``Recovery.dropped``, each with its state and
    reason in ``Recovery.report``), as long as at least k good shares of the set remain and the
    decoder accounts for every disagreement. Shares of two or more sets are never settled by a
    majority: ShareError with ``groups`` naming each set's shares. When the secret is not
    determined, ShareError says which shares were dropped and how many more are needed, or that
    the wrong ones cannot be told apart. ``unchecked`` and TypeError as for ``combine``."""
    from ._report import Recovery

    if not _native_module:
        _load_native()
    texts: Sequence[str] = shares if isinstance(shares, (list, tuple)) else list(shares)
    report = _native_module.check(texts, k)
    if any(status.state == "foreign" for status in report.shares):
        raise _sets_error(texts, report, k)
    dropped = tuple(s.position for s in report.shares if s.state != "good")
    if report.problem is not None:
        if unchecked and not dropped:
            # Exactly k bare shares, read on the caller's word: nothing can be dropped.
            return Recovery(_native_module.combine(texts, k, True), report, ())
        raise _undetermined_error(report, dropped)
    good = [texts[s.position] for s in report.shares if s.state == "good"]
    secret = _native_module.combine(good, k, unchecked)
    return Recovery(secret, report, dropped)


def _numbered(positions: Iterable[int]) -> str:
    listed = [p + 1 for p in positions]
    return ("share " if len(listed) == 1 else "shares ") + ", ".join(map(str, listed))


def _sets_error(texts: Sequence[str], report: ShareReport, k: Optional[int]) -> ShareError:
    """The shares grouped by the set each one belongs to, read one by one (good and foreign
    shares are readable by definition)."""
    from ._report import ShareError

    if not _native_module:
        _load_native()
    groups: dict[tuple[object, ...], list[int]] = {}
    for status in report.shares:
        if status.state in ("good", "foreign"):
            alone = _native_module.check([texts[status.position]], k)
            key = (alone.scheme, alone.k, alone.set_id)
            groups.setdefault(key, []).append(status.position)
    parts = "; ".join(
        f"set {number} ({key[0]}, k {key[1]}): {_numbered(members)}"
        for number, (key, members) in enumerate(groups.items(), start=1)
    )
    reason = (
        f"shares of {len(groups)} different sets were given, and a set is never chosen by a "
        "majority: give the shares of one set only"
    )
    error = ShareError(f"{reason} ({parts})", (), reason)
    error.groups = tuple(tuple(members) for members in groups.values())
    return error


def _undetermined_error(report: ShareReport, dropped: Tuple[int, ...]) -> ShareError:
    from ._report import ShareError

    reason = report.problem or "the secret is not determined"
    good = sum(1 for s in report.shares if s.state == "good")
    if report.k is not None and good < report.k:
        missing = report.k - good
        advice = f"add {missing} more share{'s' if missing > 1 else ''} of this set"
    else:
        advice = "add more shares of this set, or leave out the ones you doubt"
    reason = f"{reason}; {advice}"
    message = f"{_numbered(dropped)} left out: {reason}" if dropped else reason
    error = ShareError(message, dropped, reason)
    error.report = report
    return error


def check(shares: Iterable[str], *, k: Optional[int] = None) -> ShareReport:
    """Verifies the shares as combine does and reports on each of them, without returning the
    secret. Fewer than k shares get each share's own verdict: ``partial`` is True when every
    one of them is good (intact, of one set, none repeated)."""
    if not _native_module:
        _load_native()
    return _native_module.check(shares, k)


def new_share(
    shares: Iterable[str],
    *,
    k: Optional[int] = None,
    index: Optional[int] = None,
    unchecked: bool = False,
) -> str:
    """A new share of the set the shares belong to, in their form (envelope or bare) and
    envelope version.

    Shamir: the share at ``index`` (default: one above the highest index given). Blakley: the
    share numbered ``index`` (default: one above the highest number given); in version 2 its
    hyperplane follows from its number, so remaking a number gives the same share, while version 1
    and bare shares get a fresh random hyperplane (bare Blakley shares take no index). Raises
    ShareError when the shares do not form a sound set or the index is out of range (Shamir:
    1 to below 2^127-1; Blakley: 1 to below 2^64). ``unchecked`` as for combine."""
    if not _native_module:
        _load_native()
    return _native_module.new_share(shares, k, index, unchecked)


def refresh(
    shares: Iterable[str], *, k: Optional[int] = None, unchecked: bool = False
) -> List[str]:
    """New shares with the same numbers for the same secret, which no longer combine with the old
    ones. Envelope shares of either scheme and version become a fresh split in envelope version 2
    under a new set id (this is how stored version 1 shares are upgraded); bare shares must be
    Shamir and stay bare. Raises ShareError when the shares do not form a sound set.
    ``unchecked`` as for combine."""
    if not _native_module:
        _load_native()
    return _native_module.refresh(shares, k, unchecked)


def reshare(shares: Iterable[str], k: int, n: int, *, scheme: Optional[Scheme] = None) -> List[str]:
    """A new set of n envelope shares (version 2, a fresh set id), any k of which rebuild the same
    secret, made from at least k shares of one set that are read and verified as combine reads
    them. The secret is rebuilt and split again inside one native call: it never reaches Python
    and is wiped. ``scheme`` defaults to the old set's. Old and new shares never combine
    together. Raises ShareError as combine does for the old shares, and split's errors for k, n
    and scheme."""
    if not _native_module:
        _load_native()
    return _native_module.reshare(shares, k, n, scheme)

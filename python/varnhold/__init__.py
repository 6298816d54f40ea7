"""Threshold secret sharing of 32-byte secrets with shares that check themselves.

Shares made here are envelopes: one line of ASCII that names its scheme, threshold and set and
carries a checksum around the share text of ``varnhold_core``. ``combine`` uses every share it is
given, verifies every share beyond the k it needs, and returns the secret only when all of them
agree; otherwise it raises :class:`ShareError` naming the shares at fault where they can be told.
Bare ``varnhold_core`` share texts are accepted too when ``k`` is given, never mixed with
envelopes; exactly k bare shares cannot be checked, and are read only with ``unchecked=True``.
"""

from __future__ import annotations

from typing import Iterable, List, Optional

import varnhold_core

from . import _native
from ._report import Scheme, ShareError, ShareReport, ShareState, ShareStatus

# The one place the version is written: the build reads it from here too (pyproject.toml).
__version__ = "0.1.0"

#: The most shares a split makes, and the largest k a set can have.
MAX_SHARES: int = _native.max_shares

__all__ = [
    "MAX_SHARES",
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

# Every function below is one call of the native module, which checks the arguments (it must
# before it reads them, so it is their one owner), raises the errors and builds the reports.


def generate_key() -> bytes:
    """32 fresh random bytes from the operating system's random source."""
    return varnhold_core.generate_key()


def split(secret: bytes, k: int, n: int, *, scheme: Scheme = "shamir") -> List[str]:
    """Splits a 32-byte secret into n envelope shares, any k of which rebuild it.

    Raises TypeError for a secret that is not bytes or a k or n that is not an int, ValueError
    for a negative k or n, for a scheme other than "shamir" and "blakley", for a secret that is
    not 32 bytes or for k, n outside 2 <= k <= n <= MAX_SHARES. All random bytes of the split
    come from one request to the operating system."""
    return _native.split(secret, k, n, scheme)


def combine(shares: Iterable[str], *, k: Optional[int] = None, unchecked: bool = False) -> bytes:
    """Rebuilds the secret from every share given.

    At least k valid shares of one set are needed; every share beyond k is verified and the
    rebuilt chunks are range-checked. Exactly k bare shares are refused unless ``unchecked`` is
    True, which gives no protection: a wrong share then gives a wrong secret without an error.
    Raises ShareError unless every share agrees, TypeError for shares that are not an iterable
    of str, a k that is neither None nor an int, or an ``unchecked`` that is not a bool."""
    return _native.combine(shares, k, unchecked)


def check(shares: Iterable[str], *, k: Optional[int] = None) -> ShareReport:
    """Verifies the shares as combine does and reports on each of them, without returning the
    secret."""
    return _native.check(shares, k)


def new_share(
    shares: Iterable[str],
    *,
    k: Optional[int] = None,
    index: Optional[int] = None,
    unchecked: bool = False,
) -> str:
    """A new share of the set the shares belong to, in their form (envelope or bare).

    Shamir: the share at ``index`` (default: one above the highest index given). Blakley: a fresh
    random hyperplane through the set's points (``index`` is refused). Raises ShareError when the
    shares do not form a sound set or the index is not at least 1 and below 2^127-1.
    ``unchecked`` as for combine."""
    return _native.new_share(shares, k, index, unchecked)


def refresh(
    shares: Iterable[str], *, k: Optional[int] = None, unchecked: bool = False
) -> List[str]:
    """New shares at the same indices for the same secret, which no longer combine with the old
    ones. Shamir only; envelope shares get a fresh set id. Raises ShareError when the shares do
    not form a sound Shamir set. ``unchecked`` as for combine."""
    return _native.refresh(shares, k, unchecked)

"""Threshold secret sharing of 32-byte secrets over GF(2^127 - 1), bare interface.

Shares carry nothing that ties them to their split: a wrong, foreign or mistyped share, or a
wrong k, rebuilds some other 32 bytes without an error. The `varnhold` package catches those
mistakes; use this module when the exact bare interface is wanted.
"""

from collections.abc import Sequence
from typing import SupportsIndex

__all__ = ["generate_key", "shamir_split", "shamir_combine", "blakley_split", "blakley_combine"]

def generate_key() -> bytes:
    """Return 32 fresh random bytes from the operating system's random source.

    Raises PanicException (derived from BaseException) when the random source fails.
    """

def shamir_split(secret: bytes, k: SupportsIndex, n: SupportsIndex) -> list[str]:
    """Split a 32-byte secret into n Shamir shares, any k of which rebuild it.

    Each share is the text "index:v0:v1:v2:v3", the index from 1 to n in decimal and the
    values of the four chunks' random polynomials of degree k - 1 as 32 hexadecimal digits.

    Raises ValueError when the secret is not 32 bytes long, unless 2 <= k <= n, and when n is
    above 1048576; TypeError when the secret is not bytes or k, n are not integers;
    OverflowError for negative k or n; MemoryError when the shares cannot fit in memory;
    PanicException when the random source fails.
    """

def shamir_combine(shares: Sequence[str], k: SupportsIndex) -> bytes:
    """Rebuild the 32-byte secret from the first k Shamir shares of the sequence.

    Every entry is converted to text (a non-str one after the k-th still raises TypeError),
    but shares after the k-th are never parsed. Shares that are wrong, come from another split
    or are combined with a wrong k give some other 32 bytes without an error.

    Raises ValueError when fewer than k shares are given, when k is below 2, and when one of
    the first k shares is malformed or repeats an index; TypeError when shares is a str, not
    a sequence, or holds anything but str; OverflowError for a negative k.
    """

def blakley_split(secret: bytes, k: SupportsIndex, n: SupportsIndex) -> list[str]:
    """Split a 32-byte secret into n Blakley shares, any k of which rebuild it.

    Each share is the text "a0,...,a(k-1):c0:c1:c2:c3": the k nonzero coefficients of a
    random hyperplane and its constant for each of the four chunks, as 32 hexadecimal digits.

    Raises ValueError when the secret is not 32 bytes long, unless 2 <= k <= n, and when n is
    above 1048576; TypeError when the secret is not bytes or k, n are not integers;
    OverflowError for negative k or n; MemoryError when the shares cannot fit in memory;
    PanicException when the random source fails.
    """

def blakley_combine(shares: Sequence[str], k: SupportsIndex) -> bytes:
    """Rebuild the 32-byte secret from the first k Blakley shares of the sequence.

    Every entry is converted to text (a non-str one after the k-th still raises TypeError),
    but shares after the k-th are never parsed. Shares that are wrong, come from another split
    or are combined with a wrong k give some other 32 bytes without an error.

    Raises ValueError when fewer than k shares are given, when k is below 2, when one of the
    first k shares is malformed or has a coefficient count other than k, and when the k
    hyperplanes are not independent; TypeError when shares is a str, not a sequence, or holds
    anything but str; OverflowError for a negative k.
    """

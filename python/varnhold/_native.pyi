# The private native module behind the varnhold package. Its results are the raw tuples that
# the package turns into reports and errors; only the package calls it.
from collections.abc import Sequence
from typing import Callable, Literal, Optional, Tuple, TypeVar, Union

# (number, state, reason) of one share.
_RawStatus = Tuple[Optional[int], str, Optional[str]]
# (scheme, k, set id, "envelope" | "bare", problem, statuses)
_RawReport = Tuple[
    Optional[str],
    Optional[int],
    Optional[str],
    Optional[str],
    Optional[str],
    Tuple[_RawStatus, ...],
]

def split(
    secret: bytes, k: int, n: int, *, scheme: Literal["shamir", "blakley"] = ...
) -> list[str]: ...
def shamir_split(secret: bytes, k: int, n: int) -> list[str]: ...
def blakley_split(secret: bytes, k: int, n: int) -> list[str]: ...
def check(shares: Sequence[str], k: int) -> _RawReport: ...
def combine(shares: list[str], k: int) -> Union[bytes, _RawReport, None]: ...

_Combine = TypeVar("_Combine", bound=Callable[..., bytes])

# The package's combine: the same function, taking its common case natively.
def combining(fallback: _Combine) -> _Combine: ...
def new_share(
    shares: Sequence[str], k: int, index: str
) -> Tuple[_RawReport, Optional[str], Optional[str]]: ...
def refresh(
    shares: Sequence[str], k: int
) -> Tuple[_RawReport, Optional[list[str]], Optional[str]]: ...

"""The operating system's random source as a caller sees it, with getrandom refused by a seccomp
filter in a child interpreter (see conftest.py)."""

import errno
import os

import pytest

FAILURE_BODY = """
    import varnhold_core
    try:
        key = varnhold_core.generate_key()
        outcome = {"returned": len(key)}
    except BaseException as e:
        outcome = {"type": type(e).__name__, "message": str(e),
                   "is_exception": isinstance(e, Exception)}
    print(json.dumps(outcome))
"""


@pytest.mark.parametrize("refusal", [errno.EIO, errno.EACCES, errno.EINVAL])
def test_getrandom_failure_raises_panic_with_system_text(run_filtered_child, refusal):
    # Any refusal other than EPERM/ENOSYS leaves getrandom in use, so its error ends the call.
    outcome = run_filtered_child(refusal, FAILURE_BODY)
    assert outcome == {
        "type": "PanicException",
        "message": "Error: " + os.strerror(refusal),
        "is_exception": False,
    }


FALLBACK_BODY = """
    import varnhold_core
    before = device_fds()
    first = varnhold_core.generate_key()
    after_first = device_fds()
    second = varnhold_core.generate_key()
    after_second = device_fds()
    new_first = {fd: t for fd, t in after_first.items() if fd not in before}
    new_second = {fd: t for fd, t in after_second.items() if fd not in before}
    print(json.dumps({
        "types": [type(first).__name__, type(second).__name__],
        "keys": [first.hex(), second.hex()],
        "after_first": new_first,
        "after_second": new_second,
    }))
"""


@pytest.mark.parametrize("refusal", [errno.ENOSYS, errno.EPERM], ids=["ENOSYS", "EPERM"])
def test_refused_getrandom_falls_back_to_one_urandom_descriptor(run_filtered_child, refusal):
    outcome = run_filtered_child(refusal, FALLBACK_BODY)
    assert outcome["types"] == ["bytes", "bytes"]
    first, second = (bytes.fromhex(k) for k in outcome["keys"])
    assert len(first) == len(second) == 32
    assert first != second
    # Exactly one new descriptor, on /dev/urandom, and it is the same one after the second call:
    # /dev/random was closed after polling and nothing was reopened.
    assert list(outcome["after_first"].values()) == ["/dev/urandom"]
    assert outcome["after_second"] == outcome["after_first"]

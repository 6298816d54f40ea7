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


# The safe layer draws through the kernel's vDSO where it exports getrandom. A filter installed
# before the first draw makes the vDSO's own system call fail, so the safe layer falls back to
# the system call for good: EPERM goes on to /dev/urandom, EIO ends the call as the core's would.
SAFE_BODY = """
    import varnhold, varnhold_core
    from varnhold import _native
    try:
        shares = [varnhold.split(bytes(32), 3, 5) for _ in range(2)]
        outcome = {"distinct": len({s for split in shares for s in split}),
                   "devices": sorted(device_fds().values())}
    except BaseException as e:
        outcome = {"type": type(e).__name__, "message": str(e)}
    outcome["source"] = _native.random_source()
    print(json.dumps(outcome))
"""


@pytest.mark.parametrize(
    "refusal, expected",
    [
        (errno.EPERM, {"distinct": 10, "devices": ["/dev/urandom"]}),
        (errno.EIO, {"type": "PanicException", "message": "Error: " + os.strerror(errno.EIO)}),
    ],
    ids=["EPERM", "EIO"],
)
def test_filter_before_first_draw_sends_the_safe_layer_to_the_system_call(
    run_filtered_child, refusal, expected
):
    assert run_filtered_child(refusal, SAFE_BODY) == dict(expected, source="system call")


# The filter after a first draw: the vDSO's state is keyed, so the safe layer's draws make no
# system call and succeed, while the core's own system call meets the filter.
KEYED_BODY = """
    import varnhold, varnhold_core
    from varnhold import _native
    varnhold.split(bytes(32), 3, 5)
    source = _native.random_source()
    install_filter(5)  # EIO
    shares = {s for _ in range(20) for s in varnhold.split(bytes(32), 3, 5)}
    try:
        varnhold_core.generate_key()
        core = "returned"
    except BaseException as e:
        core = type(e).__name__
    print(json.dumps({"source": source, "distinct": len(shares), "core": core}))
"""


def test_keyed_vdso_state_serves_splits_without_the_system_call(run_filtered_child):
    outcome = run_filtered_child(None, KEYED_BODY)
    if outcome["source"] != "vdso":
        pytest.skip("this kernel exports no getrandom in its vDSO")
    assert outcome == {"source": "vdso", "distinct": 100, "core": "PanicException"}


# A child forked after the state was keyed gets the state's page wiped and rekeys: parent and
# child split the same secret into different shares.
FORK_BODY = """
    import varnhold
    varnhold.split(bytes(32), 3, 5)
    read_end, write_end = os.pipe()
    pid = os.fork()
    shares = varnhold.split(bytes(32), 3, 5)
    if pid == 0:
        os.write(write_end, json.dumps(shares).encode())
        os._exit(0)
    os.close(write_end)
    child = json.loads(os.read(read_end, 65536))
    os.waitpid(pid, 0)
    print(json.dumps({"parent": shares, "child": child}))
"""


def test_parent_and_child_after_fork_draw_different_bytes(run_filtered_child):
    outcome = run_filtered_child(None, FORK_BODY)
    assert len(outcome["child"]) == len(outcome["parent"]) == 5
    assert not set(outcome["child"]) & set(outcome["parent"])

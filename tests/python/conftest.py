"""Shared helpers for the Python tests.

`run_filtered_child` runs a snippet in a child interpreter in which a seccomp filter makes the
getrandom system call fail with a chosen error number. The filter is installed after the child
interpreter has started (its own start-up may use getrandom) and before the snippet imports
varnhold_core, so every request the module makes meets the filter. This is also the only way to
get hold of PanicException: the class exists once the module has raised one."""

import json
import os
import platform
import subprocess
import sys
import textwrap

import pytest
import varnhold_core

# Prints {"seccomp": false} and exits when the kernel or the sandbox refuses the filter.
FILTER_PRELUDE = textwrap.dedent(
    """
    import ctypes, json, os, sys

    GETRANDOM = 318
    AUDIT_ARCH_X86_64 = 0xC000003E
    SECCOMP_RET_ALLOW = 0x7FFF0000
    SECCOMP_RET_ERRNO = 0x00050000
    PR_SET_NO_NEW_PRIVS = 38
    PR_SET_SECCOMP = 22
    SECCOMP_MODE_FILTER = 2
    LD_W_ABS = 0x20
    JEQ_K = 0x15
    RET_K = 0x06

    class SockFilter(ctypes.Structure):
        _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8),
                    ("jf", ctypes.c_uint8), ("k", ctypes.c_uint32)]

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_uint16), ("filter", ctypes.POINTER(SockFilter))]

    def install_filter(refusal_errno):
        program = (SockFilter * 7)(
            SockFilter(LD_W_ABS, 0, 0, 4),                  # seccomp_data.arch
            SockFilter(JEQ_K, 1, 0, AUDIT_ARCH_X86_64),
            SockFilter(RET_K, 0, 0, SECCOMP_RET_ALLOW),
            SockFilter(LD_W_ABS, 0, 0, 0),                  # seccomp_data.nr
            SockFilter(JEQ_K, 0, 1, GETRANDOM),
            SockFilter(RET_K, 0, 0, SECCOMP_RET_ERRNO | refusal_errno),
            SockFilter(RET_K, 0, 0, SECCOMP_RET_ALLOW),
        )
        fprog = SockFprog(len(program), program)
        libc = ctypes.CDLL(None, use_errno=True)
        ulong = ctypes.c_ulong
        if libc.prctl(PR_SET_NO_NEW_PRIVS, ulong(1), ulong(0), ulong(0), ulong(0)) != 0 or \\
                libc.prctl(PR_SET_SECCOMP, ulong(SECCOMP_MODE_FILTER), ctypes.byref(fprog),
                           ulong(0), ulong(0)) != 0:
            print(json.dumps({"seccomp": False, "errno": ctypes.get_errno()}))
            sys.exit(0)

    def device_fds():
        # Which descriptors point at the random devices right now.
        found = {}
        for name in os.listdir("/proc/self/fd"):
            try:
                target = os.readlink("/proc/self/fd/" + name)
            except OSError:
                continue  # the descriptor listdir itself used
            if target in ("/dev/random", "/dev/urandom"):
                found[name] = target
        return found
    """
)


def _run_filtered_child(refusal_errno, body):
    """Runs FILTER_PRELUDE, install_filter(refusal_errno) unless that is None, and then body in
    a child interpreter; returns the JSON object printed on the child's last line of output."""
    if sys.platform != "linux" or platform.machine() != "x86_64":
        pytest.skip("the filter program is written for Linux on x86-64")
    # With no refusal the snippet installs the filter itself, when it chooses.
    first = "" if refusal_errno is None else f"\ninstall_filter({refusal_errno})\n"
    code = FILTER_PRELUDE + first + textwrap.dedent(body)
    # The child must find the same module the tests import, wherever it was built.
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(varnhold_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    completed = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
    )
    assert completed.returncode == 0, completed.stderr
    result = json.loads(completed.stdout.strip().splitlines()[-1])
    if result.get("seccomp") is False:
        pytest.skip(f"seccomp filter refused (errno {result['errno']})")
    return result


@pytest.fixture
def run_filtered_child():
    return _run_filtered_child

"""Hostile sizes run in a child interpreter whose address space may grow only by a fixed amount,
so that a fault ends the child with MemoryError or a kill, never the test machine's memory."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
import varnhold_core as vc

from support import SECRET

MIB = 1 << 20


CHILD_PRELUDE = textwrap.dedent(
    """
    import json, os, resource, sys, time
    import varnhold_core as vc

    PAGE = os.sysconf("SC_PAGE_SIZE")
    SECRET = bytes(range(32))

    def address_space():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * PAGE

    def limit_growth(headroom):
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, resource.RLIM_INFINITY))

    def one_share(k):
        return ",".join(["%032x" % 1] * k) + "".join(":%032x" % c for c in (1, 2, 3, 4))

    def report(call):
        start = time.monotonic()
        try:
            value = call()
            outcome = {"ok": len(value)}
        except BaseException as error:
            outcome = {"error": type(error).__name__, "message": str(error)}
        outcome["seconds"] = time.monotonic() - start
        outcome["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps(outcome))
    """
)


def run_child(body, timeout=60):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(vc.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    completed = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.strip().splitlines()[-1])


@pytest.fixture(autouse=True)
def linux_only():
    if not sys.platform.startswith("linux"):
        pytest.skip("address-space limits and /proc are Linux interfaces")


# Each row: setup run before the limit, the call, the headroom, and the outcome expected.
HOSTILE = [
    pytest.param(
        "s = one_share(39744); shares = [s] * 39744",  # 1.3 MB of text, the k x k system 23.5 GiB
        "vc.blakley_combine(shares, 39744)",
        64 * MIB,
        {"error": "ValueError", "message": "System is linearly dependent"},
        id="one-share-object-repeated-k-times",
    ),
    pytest.param(
        "s = one_share(39744); t = ''.join(list(s)); shares = [s, t] * 19872",
        "vc.blakley_combine(shares, 39744)",
        64 * MIB,
        {"error": "ValueError", "message": "System is linearly dependent"},
        id="two-equal-texts-alternating",
    ),
    pytest.param(
        "shares = [one_share(39744)] + [str(i) for i in range(1, 39744)]",
        "vc.blakley_combine(shares, 39744)",
        64 * MIB,
        {"error": "ValueError", "message": "Share 1 has invalid format: expected 5 parts, got 1"},
        id="one-valid-share-then-short-texts",
    ),
    pytest.param(
        "",
        "vc.blakley_split(SECRET, 1000, 762916)",
        256 * MIB,  # 23.5 GiB of output
        {"error": "MemoryError"},
        id="split-output-of-23-GiB",
    ),
    pytest.param(
        "",
        "vc.blakley_split(SECRET, 1000, 3500)",
        96 * MIB,  # 116 MB of output
        {"error": "MemoryError"},
        id="split-output-just-over-the-limit",
    ),
    pytest.param(
        "",
        "vc.blakley_split(SECRET, 1000, 1800)",
        96 * MIB,  # 60 MB of output
        {"ok": 1800},
        id="split-output-under-the-limit",
    ),
    pytest.param(
        "shares = vc.blakley_split(SECRET, 1500, 1500)",  # 75 MB of distinct shares
        # The 36 MB system does not fit; from Python 3.10 on the texts are read in place, and
        # on 3.9 their copy alone would not fit either.
        "vc.blakley_combine(shares, 1500)",
        24 * MIB,
        {"error": "MemoryError"},
        id="combine-of-distinct-rows-over-the-limit",
    ),
]


@pytest.mark.parametrize("setup, call, headroom, expected", HOSTILE)
def test_hostile_sizes_end_cleanly_under_a_memory_limit(setup, call, headroom, expected):
    outcome = run_child(f"""
    {setup}
    limit_growth({headroom})
    report(lambda: {call})
    """)
    assert {key: outcome.get(key) for key in expected} == expected, outcome


class Length:
    """A list of shares whose __len__ raises the given exception."""

    def __init__(self, items, error):
        self.items, self.error = items, error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        return self.items[i]


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize(
    "combine, split",
    [(vc.shamir_combine, vc.shamir_split), (vc.blakley_combine, vc.blakley_split)],
    ids=["shamir", "blakley"],
)
@pytest.mark.parametrize(
    "error, propagates",
    [
        (KeyboardInterrupt(), True),
        (SystemExit(3), True),
        (Interrupt("own"), True),
        (GeneratorExit(), True),
        (ValueError("no length"), False),
        (LookupError("no length"), False),
        (ArithmeticError("no length"), False),
    ],
    ids=lambda v: type(v).__name__ if isinstance(v, BaseException) else str(v),
)
def test_only_ordinary_errors_of_len_are_ignored(combine, split, error, propagates):
    shares = Length(split(SECRET, 2, 3), error)
    if propagates:
        with pytest.raises(BaseException) as raised:
            combine(shares, 2)
        assert raised.value is error
    else:
        assert combine(shares, 2) == SECRET


REENTRY_HOOKS = {
    # An __import__ replacement sees the import that the module makes for its first message.
    "builtins-import": """
        import builtins
        original = builtins.__import__
        def hook(name, *args, **kwargs):
            if name == "collections.abc":
                inner.append(attempt())
            return original(name, *args, **kwargs)
        builtins.__import__ = hook
    """,
    # A finder on sys.meta_path runs while collections.abc is imported afresh.
    "meta-path-finder": """
        sys.modules.pop("collections.abc", None)
        import collections
        if hasattr(collections, "abc"):
            del collections.abc
        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == "collections.abc":
                    inner.append(attempt())
                return None
        sys.meta_path.insert(0, Finder())
    """,
}


@pytest.mark.parametrize("hook", sorted(REENTRY_HOOKS))
def test_reentrant_first_use_fails_the_inner_call_instead_of_hanging(hook):
    outcome = run_child(
        textwrap.dedent("""
    inner = []
    def attempt():
        try:
            vc.blakley_combine(None, 2)
        except BaseException as error:
            return [type(error).__name__, str(error)]
        return None
    """)
        + textwrap.dedent(REENTRY_HOOKS[hook])
        + textwrap.dedent("""
    try:
        vc.shamir_combine(None, 2)
        outer = None
    except BaseException as error:
        outer = [type(error).__name__, str(error)]
    again = attempt()
    print(json.dumps({"inner": inner, "outer": outer, "again": again}))
    """),
        timeout=30,
    )
    sequence_message = "argument 'shares': 'None' is not an instance of 'Sequence'"
    assert len(outcome["inner"]) == 1, outcome
    kind, message = outcome["inner"][0]
    assert kind == "RuntimeError" and "same thread" in message, outcome
    # The outer call and every later one get the ordinary message.
    assert outcome["outer"] == ["TypeError", sequence_message]
    assert outcome["again"] == ["TypeError", sequence_message]

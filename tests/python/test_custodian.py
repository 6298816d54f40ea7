"""A custodian's runs, as real processes: one share checked alone, recovery past damaged shares,
added shares that are never copies, shares and keys typed at a hidden prompt in a real
pseudo-terminal, messages, help and success lines."""

import os
import pty
import re
import select
import signal
import termios
import time

import pytest
import varnhold_core

import varnhold
from test_cli import assert_one_line_error, cli_command, corrupt, ok, run

KEY = bytes(range(32))
HEX = KEY.hex()


@pytest.fixture(scope="module")
def sets():
    return {
        "s": varnhold.split(KEY, 3, 5),
        "o": varnhold.split(KEY, 3, 5),  # another set of the same key
        "b": varnhold_core.shamir_split(KEY, 3, 5),
    }


def lines(given):
    return ("\n".join(given) + "\n").encode()


def pick(sets, given):
    """Shares named like "s0 s1! o2 b3~ s4^": set and position, then ! for a typo, ~ for a
    wrong value (bare shares), ^ for upper case."""
    marks = {"!": corrupt, "~": lambda t: t[:-1] + ("1" if t[-1] != "1" else "2"), "^": str.upper}
    out = []
    for word in given.split():
        share = sets[word[0]][int(word[1])]
        out.append(marks[word[2]](share) if len(word) > 2 else share)
    return out


# Fewer than k shares: each share's own verdict. Rows: shares, -k, exit status, standard output.
CHECK_CASES = [
    ("one", "s2", [], 0, "good: this share is intact; 3 shares of this set"),
    ("two", "s0 s1", [], 0, "good: these shares are intact; 3 shares"),
    ("bare", "b0", ["-k", 3], 0, "good: this share is readable (bare"),
    ("repeat", "s0 s0", [], 1, "duplicate"),
    ("foreign", "s0 o1", [], 1, "foreign"),
    ("typo", "s0!", [], 1, "checksum does not match"),
]


@pytest.mark.parametrize(
    "name, given, k, status, said", CHECK_CASES, ids=[r[0] for r in CHECK_CASES]
)
def test_check_of_fewer_than_k_shares(sets, name, given, k, status, said):
    shares = pick(sets, given)
    result = run("check", *k, stdin=lines(shares))
    assert result.returncode == status and said in result.stdout.decode(), result.stderr
    assert varnhold.check(shares, k=k[1] if k else None).partial == (status == 0)


# Rows: shares, -k, exit status, what standard error says (the warnings, or the one error).
RECOVER_CASES = [
    ("typo", "s0 s1! s2 s3", [], 0, "left out <stdin>:2: unreadable"),
    ("repeat", "s0 s0 s1 s2", [], 0, "<stdin>:2: duplicate: repeats <stdin>:1"),
    ("upper", "s0^ s1 s2 s3", [], 0, "<stdin>:1: unreadable: written in upper case"),
    ("wrong", "b0~ b1 b2 b3 b4", ["-k", 3], 0, "<stdin>:1: wrong"),
    ("too-few", "s0! s1 s2", [], 1, "<stdin>:1: unreadable: checksum does not match; need"),
    ("add-one", "s0! s1 s2", [], 1, "got 2; add 1 more share of this set"),
    ("undecided", "b0~ b1 b2 b3", ["-k", 3], 1, "cannot be told"),
    (
        "two-sets",
        "s0 s1 o2 o3",
        [],
        1,
        "(set 1: <stdin>:1, <stdin>:2; set 2: <stdin>:3, <stdin>:4)",
    ),
    (
        "no-vote",
        "s0 s1 s2 o3",
        [],
        1,
        "one set only (set 1: <stdin>:1, <stdin>:2, <stdin>:3; set 2: <stdin>:4)",
    ),
]


@pytest.mark.parametrize(
    "name, given, k, status, said", RECOVER_CASES, ids=[r[0] for r in RECOVER_CASES]
)
def test_recovery_past_damaged_shares(sets, name, given, k, status, said):
    shares = pick(sets, given)
    result = run("combine", *k, stdin=lines(shares))
    assert result.returncode == status and said in result.stderr.decode(), result.stderr
    assert result.stdout == (HEX.encode() + b"\n" if status == 0 else b"")
    kwargs = {"k": k[1]} if k else {}
    if status == 0:
        recovery = varnhold.recover(shares, **kwargs)
        assert recovery.secret == KEY and len(recovery.dropped) == 1 and HEX not in repr(recovery)
        if recovery.report.shares[recovery.dropped[0]].state != "duplicate":
            with pytest.raises(varnhold.ShareError):  # combine stays strict
                varnhold.combine(shares, **kwargs)
    else:
        assert_one_line_error(result, status)
        with pytest.raises(varnhold.ShareError):
            varnhold.recover(shares, **kwargs)


def test_combine_names_a_repeated_share(sets):
    with pytest.raises(varnhold.ShareError) as exc:
        varnhold.combine([sets["s"][0], sets["s"][1], sets["s"][0]])
    assert exc.value.positions == (2,) and str(exc.value).startswith("share 3: repeats")


@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
def test_added_shares_are_never_copies_unless_asked(tmp_path, scheme):
    shares = varnhold.split(KEY, 3, 5, scheme=scheme)
    for number, share in enumerate(shares, start=1):
        (tmp_path / f"share-{number}.txt").write_text(share + "\n")
    given = [tmp_path / f"share-{n}.txt" for n in (1, 2, 3)]
    fresh = run("add-share", *given)
    number = int(fresh.stdout.decode().split("-")[4])
    assert fresh.returncode == 0 and number >= 2**32 and fresh.stderr == b""
    remade = run("add-share", "--index", 4, "-o", tmp_path / "new", *given)
    assert "share 4 on purpose (--index 4)" in remade.stderr.decode() and remade.returncode == 0
    again = (tmp_path / "new" / "share-4.txt").read_text().strip()
    assert again == shares[3]  # a share's number decides its values in both schemes
    for made in (fresh.stdout.decode().strip(), again):
        assert made not in shares[:3] and varnhold.combine([made, shares[0], shares[4]]) == KEY


@pytest.mark.parametrize(
    "args, stdin, status, fragment",
    [
        (["split", "-k", 6, "-n", 5], HEX.encode(), 2, "(2 <= k <= n <= 1048576)"),
        (["combine", "--k", 3], b"", 2, "(did you mean -k?) (see varnhold combine --help)"),
        (["combine"], lines(varnhold_core.shamir_split(KEY, 2, 3)), 1, "read with -k K"),
    ],
)
def test_mended_messages(args, stdin, status, fragment):
    err = assert_one_line_error(run(*args, stdin=stdin), status, fragment)
    assert err.count(fragment) == 1 and "k is given" not in err


@pytest.mark.parametrize(
    "command", ["keygen", "split", "combine", "check", "add-share", "refresh", "reshare", "print"]
)
def test_help_has_a_description_and_two_examples(command):
    text = ok(command, "--help").decode()
    examples = text.split("examples:\n")[1].split("\n\n")[0].splitlines()
    assert len(examples) == 2 and all(" varnhold " in f" {e}" for e in examples)
    assert "exit status:" not in text and "varnhold --help" in text
    assert "exit status:" in ok("--help").decode()


def test_every_writer_says_what_it_wrote(tmp_path):
    two = ["shares/share-1.txt", "shares/share-3.txt"]
    steps = [
        ("keygen -o key.txt", "wrote key.txt"),
        ("split -k 2 -n 3 -o shares key.txt", "wrote 3 shares into shares"),
        ("combine -o again.txt", "wrote again.txt"),
        ("add-share -o more", "wrote 1 share into more"),
        ("refresh -o renewed", "wrote 2 shares into renewed"),
        ("reshare -k 2 -n 4 -o moved", "wrote 4 shares into moved"),
        ("print -o sheets", "wrote 2 sheets into sheets"),
    ]
    for step, said in steps:
        words = step.split()
        result = run(*words, *(two if words[0] not in ("keygen", "split") else []), cwd=tmp_path)
        assert result.returncode == 0 and said in result.stderr.decode(), result.stderr
    assert (tmp_path / "again.txt").read_text() == (tmp_path / "key.txt").read_text()


# Typed at a terminal


def terminal_run(args, typed, wait_for, signum=None):
    """Runs the command line in a new pseudo-terminal; before each line typed, waits for the
    prompt it answers, then (with `signum`) for the next prompt and sends the signal. Returns
    what the terminal showed, the exit status and whether the terminal echoes at the end."""
    pid, fd = pty.fork()
    if pid == 0:  # pragma: no cover - the child
        command = [*cli_command(), *map(str, args)]
        os.execv(command[0], command)
    shown = b""
    deadline = time.monotonic() + 30

    def read_until(needle):
        nonlocal shown
        while needle is None or needle not in shown:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError(f"waited for {needle!r}; the terminal shows {shown!r}")
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the child is gone
                chunk = b""
            if not chunk:
                return
            shown += chunk

    for line, prompt in zip(typed, wait_for):
        read_until(prompt)
        os.write(fd, line.encode() + b"\n")
    if signum is not None:
        read_until(wait_for[len(typed)])
        os.kill(pid, signum)
    read_until(None)
    _, status = os.waitpid(pid, 0)
    echo = bool(termios.tcgetattr(fd)[3] & termios.ECHO)
    os.close(fd)
    shown = shown.decode(errors="replace").replace("\r", "")
    return shown, os.waitstatus_to_exitcode(status), echo


def test_shares_typed_at_a_hidden_prompt_stop_at_k(sets):
    good, bare = sets["s"], sets["b"]
    typed = [good[4], corrupt(good[1]), good[1], good[2]]  # no Ctrl-D: the run stops at k
    prompts = [b"Share 1 of ?: ", b"Share 2 of 3: ", b"Share 2 of 3: ", b"Share 3 of 3: "]
    shown, status, _ = terminal_run(["combine"], typed, prompts)
    assert status == 0 and shown.endswith(HEX + "\n")
    assert "refused: checksum does not match; type it again" in shown
    assert "1 of 3 shares" in shown and "3 of 3 shares" in shown and "Share 4" not in shown
    assert not re.search(r"[0-9a-f]{16}:", shown)  # no share text was echoed
    # Bare shares need k + 1, so that the extra one verifies the others.
    shown, status, _ = terminal_run(
        ["combine", "-k", 3], bare[:4], [b"of 3: ", b"of 4: ", b"of 4: ", b"of 4: "]
    )
    assert status == 0 and "4 of 4 shares" in shown and shown.endswith(HEX + "\n")


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_the_echo_comes_back_however_the_run_ends(signum):
    _, status, echo = terminal_run(["combine"], [], [b"Share 1 of ?: "], signum)
    assert status == 128 + signum and echo


def test_a_key_typed_at_a_terminal_is_not_shown():
    shown, status, _ = terminal_run(["split", "-k", 2, "-n", 3], [HEX], [b"not shown): "])
    shares = [line for line in shown.splitlines() if line.startswith("vh2-")]
    assert status == 0 and len(shares) == 3 and HEX not in shown
    assert varnhold.combine(shares[:2]) == KEY
    shown, status, _ = terminal_run(["split", "--raw", "-k", 2, "-n", 3], [], [])
    assert status == 2 and "cannot be typed at a terminal" in shown

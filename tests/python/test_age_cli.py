"""The age commands of the command line (keygen --age, recipient, combine --age, seal, unseal,
--to, -i), run as real processes, beside the standard age tool."""

import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from test_age import cheat
from test_cli import assert_one_line_error, cli_command, mode_of, ok, run

OLD_PYTHON = sys.version_info < (3, 10)
MISSING = [name for name in ("age", "age-keygen", "ssh-keygen") if shutil.which(name) is None]


def tool(*args, stdin=b""):
    done = subprocess.run(list(map(str, args)), input=stdin, capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """A threshold identity 2-of-3 in `made/`, and three custodians: two age keys, one SSH."""
    if OLD_PYTHON or MISSING:
        pytest.skip(f"needs Python 3.10 or later and {', '.join(MISSING) or 'the age tools'}")
    folder = tmp_path_factory.mktemp("keys")
    recipient = ok("keygen", "--age", "-k", 2, "-n", 3, "-o", folder / "made").decode().strip()
    tool("age-keygen", "-o", folder / "a1")
    tool("age-keygen", "-o", folder / "a2")
    tool("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", folder / "s3")
    lines = [tool("age-keygen", "-y", folder / name).decode() for name in ("a1", "a2")]
    (folder / "to.txt").write_text("".join(lines) + (folder / "s3.pub").read_text())
    return folder, recipient


def files_in(folder):
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else []


def pick(folder, *numbers):
    return [folder / f"share-{number}.txt" for number in numbers]


def test_keygen_age_writes_shares_and_recipient(keys):
    folder, recipient = keys
    made = folder / "made"
    assert files_in(made) == ["recipient.txt", "share-1.txt", "share-2.txt", "share-3.txt"]
    assert all(mode_of(made / name) == 0o600 for name in files_in(made))
    assert recipient.startswith("age1") and (made / "recipient.txt").read_text() == recipient + "\n"
    assert ok("recipient", made / "share-3.txt", made / "share-1.txt").decode() == recipient + "\n"


@pytest.mark.parametrize(
    "case",
    ["varnhold-seals-age-opens", "age-seals-varnhold-unseals", "to-ssh-key", "to-age-key"],
)
def test_interoperability_with_the_age_tool(keys, tmp_path, case):
    folder, recipient = keys
    made, data = folder / "made", os.urandom(100_000)
    (tmp_path / "plain").write_bytes(data)
    if case == "varnhold-seals-age-opens":
        ok("seal", "-r", made / "recipient.txt", "-o", tmp_path / "s.age", tmp_path / "plain")
        identity = ok("combine", "--age", *pick(made, 1, 2))
        assert identity.startswith(b"AGE-SECRET-KEY-1")
        assert tool("age", "-d", "-i", "-", tmp_path / "s.age", stdin=identity) == data
    elif case == "age-seals-varnhold-unseals":
        tool("age", "-r", recipient, "-o", tmp_path / "s.age", tmp_path / "plain")
        ok("unseal", "-o", tmp_path / "out", tmp_path / "s.age", *pick(made, 2, 3))
        assert (tmp_path / "out").read_bytes() == data and mode_of(tmp_path / "out") == 0o600
    else:
        secret = os.urandom(32).hex().encode()
        ok("split", "-k", 2, "-n", 3, "--to", folder / "to.txt", "-o", tmp_path / "t", stdin=secret)
        assert files_in(tmp_path / "t") == [f"share-{i}.txt.age" for i in (1, 2, 3)]
        key, number = (folder / "s3", 3) if case == "to-ssh-key" else (folder / "a1", 1)
        share = tool("age", "-d", "-i", key, tmp_path / "t" / f"share-{number}.txt.age")
        (tmp_path / "share").write_bytes(share)
        other = tmp_path / "t" / "share-2.txt.age"
        assert ok("combine", "-i", folder / "a2", tmp_path / "share", other) == secret + b"\n"


@pytest.mark.parametrize("size", [0, 1, 1 << 20])
@pytest.mark.parametrize("way", ["files", "pipes", "armor", "fresh", "embed"])
def test_seal_unseal_round_trip(keys, tmp_path, size, way):
    folder, _ = keys
    made, data = folder / "made", os.urandom(size)
    plain, sealed, out = tmp_path / "plain", tmp_path / "plain.age", tmp_path / "out"
    plain.write_bytes(data)
    shares = pick(made, 1, 3)
    if way in ("files", "armor"):
        ok("seal", "-r", made / "recipient.txt", *(["-a"] if way == "armor" else []), plain)
        assert sealed.read_bytes().startswith(b"-----BEGIN" if way == "armor" else b"age-")
    elif way == "pipes":
        sealed.write_bytes(ok("seal", "-r", made / "recipient.txt", "-", stdin=data))
        assert ok("unseal", "-o", "-", "-", *shares, stdin=sealed.read_bytes()) == data
    elif way == "fresh":
        recipient = ok("seal", "-k", 2, "-n", 3, "-o", tmp_path / "d", plain).decode().strip()
        sealed = tmp_path / "d" / "plain.age"
        shares = pick(tmp_path / "d", 2, 3)
        assert (tmp_path / "d" / "recipient.txt").read_text().strip() == recipient
    else:
        if size > 65536:
            result = run("seal", "--embed", "-k", 2, "-n", 3, "-o", tmp_path / "d", plain)
            assert_one_line_error(result, 2, "64 KiB", "without --embed")
            assert not (tmp_path / "d").exists()
            return
        ok("seal", "--embed", "-k", 2, "-n", 3, "-o", tmp_path / "d", plain)
        shares = pick(tmp_path / "d", 1, 3)
        assert ok("unseal", "-o", "-", *shares) == data
        assert "result: all shares agree" in ok("check", *shares).decode()
        return
    ok("unseal", "-o", out, sealed, *shares)
    assert out.read_bytes() == data and mode_of(out) == 0o600


@pytest.mark.parametrize(
    "command, count, written",
    [
        (["keygen", "--age", "-k", 2, "-n", 3], 3, ["recipient.txt"]),
        (["seal", "--embed", "-k", 2, "-n", 3, "PLAIN"], 3, ["recipient.txt"]),
        (["seal", "-k", 2, "-n", 3, "PLAIN"], 3, ["plain.age", "recipient.txt"]),
        (["add-share", "--index", "6", "-i", "A1", "-i", "S3", "ENC1", "ENC3"], 1, []),
        (["refresh", "-i", "A1", "-i", "S3", "ENC1", "ENC3"], 2, []),
        (["reshare", "-k", 2, "-n", 3, "-i", "A1", "-i", "S3", "ENC1", "ENC3"], 3, []),
        (["split", "-k", 2, "-n", 4], 3, None),
        (["keygen", "--age", "-k", 2, "-n", 2], 3, None),
    ],
    ids=["keygen", "embed", "seal", "add-share", "refresh", "reshare", "split-4", "keygen-2"],
)
def test_shares_encrypted_to_each_custodian(keys, tmp_path, command, count, written):
    """With --to each share is for one custodian alone; a count of recipients that is not the
    count of shares writes nothing."""
    folder, _ = keys
    secret = os.urandom(32).hex().encode()
    ok("split", "-k", 2, "-n", 3, "--to", folder / "to.txt", "-o", tmp_path / "enc", stdin=secret)
    (tmp_path / "plain").write_bytes(b"a passphrase\n")
    names = {
        "PLAIN": tmp_path / "plain",
        "A1": folder / "a1",
        "S3": folder / "s3",
        "ENC1": tmp_path / "enc" / "share-1.txt.age",
        "ENC3": tmp_path / "enc" / "share-3.txt.age",
    }
    words = [names.get(word, word) for word in command]
    (tmp_path / "to").write_text("".join((folder / "to.txt").read_text().splitlines(True)[:count]))
    result = run(*words, "--to", tmp_path / "to", "-o", tmp_path / "out", stdin=b"0" * 64)
    if written is None:
        assert_one_line_error(result, 2, "recipients for", "nothing was written")
        assert not (tmp_path / "out").exists()
        return
    assert result.returncode == 0, result.stderr.decode()
    made = files_in(tmp_path / "out")
    encrypted = [name for name in made if name.endswith(".txt.age")]
    assert len(encrypted) == count and sorted(set(made) - set(encrypted)) == written
    # Custodians 1 and 3 open theirs together; each share is readable by its custodian alone.
    first, last = tmp_path / "out" / encrypted[0], tmp_path / "out" / encrypted[-1]
    wrong = run("check", "-i", folder / "a2", first)
    assert_one_line_error(wrong, 1, "none of the identities given opens this share")
    if count == 3:
        both = ok("check", "-i", folder / "a1", "-i", folder / "s3", first, last).decode()
        assert "all shares agree" in both


@pytest.mark.parametrize("wrong", ["cheating", "foreign", "another-identity"])
@pytest.mark.parametrize("output", ["file", "stdout"])
def test_wrong_shares_refused_with_nothing_written(keys, tmp_path, wrong, output):
    folder, _ = keys
    made = folder / "made"
    (tmp_path / "plain").write_bytes(os.urandom(300_000))
    ok("seal", "-r", made / "recipient.txt", tmp_path / "plain")
    other = tmp_path / "other"
    ok("keygen", "--age", "-k", 2, "-n", 3, "-o", other)
    own = [(made / f"share-{i}.txt").read_text().strip() for i in (1, 2)]
    shares = {
        "cheating": [own[0], cheat(own[1])],
        "foreign": [own[0], (other / "share-2.txt").read_text().strip()],
        "another-identity": [(other / f"share-{i}.txt").read_text().strip() for i in (1, 2)],
    }[wrong]
    (tmp_path / "shares").write_text("\n".join(shares) + "\n")
    target = tmp_path / "out" if output == "file" else "-"
    result = run("unseal", "-o", target, tmp_path / "plain.age", tmp_path / "shares")
    message = {
        "cheating": "tag does not match",
        "foreign": "need at least 2",
        "another-identity": "does not open this file",
    }[wrong]
    assert_one_line_error(result, 1, message, secrets=shares)
    assert result.stdout == b"" and not (tmp_path / "out").exists()


@pytest.mark.parametrize("through", ["named-file", "standard-input"])
def test_ctrl_c_during_a_large_unseal_leaves_nothing(keys, tmp_path, through):
    folder, _ = keys
    made = folder / "made"
    sealed = tmp_path / "big.age"
    zeros = ["head", "-c", str(256 << 20), "/dev/zero"]
    with open(sealed, "wb") as file, subprocess.Popen(zeros, stdout=subprocess.PIPE) as head:
        subprocess.run(
            [*cli_command(), "seal", "-r", made / "recipient.txt", "-"],
            stdin=head.stdout,
            stdout=file,
            check=True,
            timeout=120,
        )
    out = tmp_path / "out"
    out.mkdir()
    source = "-" if through == "standard-input" else sealed
    with open(sealed, "rb") as stdin:
        command = [*cli_command(), "unseal", "-o", out / "big", source, *pick(made, 1, 2)]
        process = subprocess.Popen(command, stdin=stdin, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not os.listdir(out) and time.monotonic() < deadline:
            time.sleep(0.005)
        assert os.listdir(out), "the unseal never started writing"
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=120)
    assert process.returncode == 130, err.decode()
    assert err == b"varnhold: interrupted; nothing was written\n"
    assert os.listdir(out) == []


@pytest.mark.parametrize(
    "args, status, fragment",
    [
        (["seal", "PLAIN"], 2, "needs -r RECIPIENT"),
        (["seal", "-r", "age1xyz", "PLAIN"], 2, "cannot be used"),
        (["seal", "-k", 2, "-n", 3, "-r", "RCPT", "PLAIN"], 2, "either -r"),
        (["split", "-k", 2, "-n", 3, "--to", "TO"], 2, "needs -o DIR"),
        (["keygen", "-k", 2, "-n", 3], 2, "go with keygen --age"),
        (["unseal", "-o", "OUT", "-"], 2, "cannot both come from standard input"),
        (["keygen", "--age", "-k", 2, "-o", "OUT"], 2, "needs -k K, -n N and -o DIR"),
        (["combine", "ENC1", "ENC3"], 1, "give the custodian's key with -i"),
        (["combine", "-i", "PLAIN", "ENC1"], 2, "not an age identity"),
    ],
)
def test_age_usage_errors(keys, tmp_path, args, status, fragment):
    folder, _ = keys
    (tmp_path / "plain").write_bytes(b"data")
    names = {
        "PLAIN": tmp_path / "plain",
        "RCPT": folder / "made" / "recipient.txt",
        "TO": folder / "to.txt",
        "ENC1": tmp_path / "plain.age",
        "ENC3": tmp_path / "plain.age",
        "OUT": tmp_path / "out",
    }
    tool("age", "-r", (names["RCPT"]).read_text().strip(), "-o", names["ENC1"], names["PLAIN"])
    before = files_in(tmp_path)
    result = run(*[names.get(word, word) for word in args], stdin=b"0" * 64)
    assert_one_line_error(result, status, fragment)
    assert files_in(tmp_path) == before


@pytest.mark.skipif(not OLD_PYTHON, reason="only CPython 3.9 lacks pyrage")
@pytest.mark.parametrize("args", [["seal", "-r", "x", "-"], ["combine", "--age"], ["recipient"]])
def test_python_39_is_told_that_the_age_commands_need_310(args):
    assert_one_line_error(run(*args), 2, "need Python 3.10 or later")


def test_progress_bar_on_a_terminal_for_a_large_file(keys, tmp_path):
    import fcntl
    import pty
    import struct
    import termios

    folder, _ = keys
    data = os.urandom(64 << 20)
    (tmp_path / "plain").write_bytes(data)
    pid, terminal = pty.fork()
    if pid == 0:  # the child: standard error is an 80-column terminal
        try:
            fcntl.ioctl(2, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
            recipient = str(folder / "made" / "recipient.txt")
            command = [*cli_command(), "seal", "-r", recipient, str(tmp_path / "plain")]
            os.execv(command[0], command)
        finally:
            os._exit(127)
    with open(terminal, "rb", buffering=0, closefd=True) as screen:
        shown = b"".join(iter(lambda: _read_or_end(screen), b""))
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, shown
    assert b"100%" in shown and b"64.0M/64.0M" in shown, shown
    opened = ok("unseal", "-o", "-", tmp_path / "plain.age", *pick(folder / "made", 1, 2))
    assert opened == data


def _read_or_end(screen):
    try:
        return screen.read(4096)
    except OSError:  # the terminal's other end has closed
        return b""


@pytest.mark.parametrize("operation", ["seal", "unseal"])
def test_standard_streams_on_regular_files_are_read_and_appended_in_place(
    keys, tmp_path, operation
):
    """`< file` is read from where it stands and `>> file` keeps what it holds."""
    folder, _ = keys
    made, data = folder / "made", os.urandom(200_000)
    if operation == "seal":
        words, stdin_data = ["seal", "-r", made / "recipient.txt", "-"], data
    else:
        words = ["unseal", "-o", "-", "-", *pick(made, 1, 2)]
        stdin_data = ok("seal", "-r", made / "recipient.txt", "-", stdin=data)
    (tmp_path / "in").write_bytes(b"skipped" + stdin_data)
    (tmp_path / "out").write_bytes(b"kept")
    with open(tmp_path / "in", "rb") as stdin, open(tmp_path / "out", "ab") as stdout:
        os.lseek(stdin.fileno(), len(b"skipped"), os.SEEK_SET)
        done = subprocess.run([*cli_command(), *map(str, words)], stdin=stdin, stdout=stdout)
    assert done.returncode == 0
    kept, result = (tmp_path / "out").read_bytes()[:4], (tmp_path / "out").read_bytes()[4:]
    if operation == "seal":
        result = ok("unseal", "-o", "-", "-", *pick(made, 1, 3), stdin=result)
    assert kept == b"kept" and result == data


def test_unseal_asks_for_the_shares_at_a_hidden_prompt(keys, tmp_path):
    from test_custodian import terminal_run

    folder, _ = keys
    (tmp_path / "plain").write_bytes(b"the passphrase\n")
    made = folder / "made"
    ok("seal", "-r", made / "recipient.txt", "-o", tmp_path / "s.age", tmp_path / "plain")
    typed = [(made / f"share-{i}.txt").read_text().strip() for i in (1, 3)]
    shown, status, _ = terminal_run(
        ["unseal", "-o", tmp_path / "out", tmp_path / "s.age"],
        typed,
        [b"Share 1 of ?: ", b"Share 2 of 2: "],
    )
    assert status == 0 and (tmp_path / "out").read_bytes() == b"the passphrase\n"
    assert "2 of 2 shares" in shown and typed[0][-20:] not in shown

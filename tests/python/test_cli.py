"""The command line, run as a real process on real files in temporary folders."""

import os
import re
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest
import varnhold_core

pytest.importorskip("varnhold.cli")

HEX_RUN = re.compile(r"[0-9a-fA-F]{16,}")


def cli_command():
    # The console script the wheel installs, beside the interpreter; else the module.
    script = Path(sys.executable).with_name("varnhold")
    return [str(script)] if script.exists() else [sys.executable, "-m", "varnhold"]


def run(*args, stdin=b"", cwd=None, umask=None):
    preexec = (lambda: os.umask(umask)) if umask is not None else None
    return subprocess.run(
        [*cli_command(), *map(str, args)],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        timeout=60,
        preexec_fn=preexec,
    )


def ok(*args, **kwargs):
    result = run(*args, **kwargs)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr == b""
    return result.stdout


def assert_one_line_error(result, status, *fragments, secrets=()):
    """Fails unless the run ended with `status` and exactly one line on standard error that
    holds every fragment, no traceback, and none of the secret texts."""
    err = result.stderr.decode()
    assert result.returncode == status, err
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert "Traceback" not in err
    for fragment in fragments:
        assert fragment in err, err
    for secret in secrets:
        assert secret not in err
    assert not HEX_RUN.search(err), err
    return err


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def share_files(folder):
    return sorted(folder.glob("share-*.txt"), key=lambda p: int(p.stem.split("-")[1]))


@pytest.fixture
def key(tmp_path):
    ok("keygen", "-o", tmp_path / "key.txt")
    return (tmp_path / "key.txt").read_text().strip()


def test_key_ceremony(tmp_path, key):
    assert mode_of(tmp_path / "key.txt") == 0o600
    assert re.fullmatch(r"[0-9a-f]{64}", key)

    ok("split", "-k", 3, "-n", 5, "-o", tmp_path / "shares", tmp_path / "key.txt")
    files = share_files(tmp_path / "shares")
    assert [f.name for f in files] == [f"share-{i}.txt" for i in range(1, 6)]
    assert all(mode_of(f) == 0o600 for f in files)

    # Two custodians lose their shares; any three still rebuild the key.
    files[1].unlink()
    files[3].unlink()
    kept = [files[0], files[2], files[4]]
    assert ok("combine", *kept).decode() == key + "\n"

    report = ok("check", *kept).decode()
    assert "scheme: shamir" in report and "k: 3" in report and "shares: 3" in report
    assert key not in report

    ok("add-share", "-o", tmp_path / "shares", *kept)
    added = set(share_files(tmp_path / "shares")) - set(kept)
    assert len(added) == 1 and mode_of(next(iter(added))) == 0o600
    assert ok("combine", *added, kept[0], kept[1]).decode() == key + "\n"

    ok("refresh", "-o", tmp_path / "fresh", *kept)
    fresh = share_files(tmp_path / "fresh")
    assert [f.name for f in fresh] == [f.name for f in kept]
    assert ok("combine", *fresh).decode() == key + "\n"
    mixed = run("combine", fresh[0], fresh[1], kept[2])
    assert_one_line_error(mixed, 1, secrets=[key])

    # A custodian mistypes one digit: the share is named by its file and line.
    text = kept[1].read_text()
    position = len(text) // 2
    typo = text[:position] + ("1" if text[position] != "1" else "2") + text[position + 1 :]
    kept[1].write_text(typo)
    result = run("combine", *kept)
    assert_one_line_error(result, 1, f"{kept[1]}:1", secrets=[key, typo.strip()])
    assert result.stdout == b""


@pytest.mark.parametrize(
    "split_args, combine_args",
    [
        (["-k", 3, "-n", 5], []),
        (["-k", 2, "-n", 4, "--scheme", "blakley"], []),
        (["-k", 3, "-n", 5, "--bare"], ["-k", 3]),
        (["-k", 3, "-n", 5, "--bare", "--scheme", "blakley"], ["-k", 3]),
    ],
)
def test_pipeline_through_standard_streams(split_args, combine_args):
    key = ok("keygen")
    shares = ok("split", *split_args, stdin=key)
    assert len(shares.splitlines()) == split_args[3]
    assert ok("combine", *combine_args, stdin=shares) == key


def test_bare_split_writes_the_bare_module_format(tmp_path, key):
    shares = ok("split", "-k", 3, "-n", 5, "--bare", stdin=key.encode()).decode().split()
    assert varnhold_core.shamir_combine(shares[2:], 3) == bytes.fromhex(key)
    assert run("combine", stdin="\n".join(shares).encode()).returncode == 1  # k is needed


@pytest.mark.parametrize(
    "decorate",
    [
        lambda lines: "\r\n".join(lines) + "\r\n",
        lambda lines: "\ufeff" + "\n".join(lines),
        lambda lines: "\ufeff" + "\r\n\r\n".join(lines) + "\r\n\r\n",
        lambda lines: "\n\n  " + "\n \t\n".join(lines) + "  \n",
    ],
    ids=["crlf", "bom", "bom-crlf-blank-lines", "blank-lines-and-spaces"],
)
def test_share_and_secret_files_from_other_editors(tmp_path, key, decorate):
    secret_file = tmp_path / "secret.txt"
    secret_file.write_bytes(decorate([key]).encode())
    shares = ok("split", "-k", 2, "-n", 3, secret_file).decode().split()
    both = tmp_path / "both.txt"
    both.write_bytes(decorate(shares[:2]).encode())
    assert ok("combine", both).decode() == key + "\n"
    assert ok("combine", stdin=decorate(shares[1:]).encode()).decode() == key + "\n"


def test_raw_secret_in_and_out(tmp_path):
    raw = bytes(range(32))
    (tmp_path / "raw.bin").write_bytes(raw)
    shares = ok("split", "--raw", "-k", 2, "-n", 2, tmp_path / "raw.bin")
    assert ok("combine", "--raw", stdin=shares) == raw
    assert ok("combine", stdin=shares).decode() == raw.hex() + "\n"
    ok("combine", "--raw", "-o", tmp_path / "out.bin", stdin=shares)
    assert (tmp_path / "out.bin").read_bytes() == raw and mode_of(tmp_path / "out.bin") == 0o600


def test_files_are_0600_under_a_permissive_umask(tmp_path, key):
    ok("keygen", "-o", tmp_path / "k2.txt", umask=0)
    ok("split", "-k", 2, "-n", 3, "-o", tmp_path / "out", stdin=key.encode(), umask=0)
    assert mode_of(tmp_path / "k2.txt") == 0o600
    assert all(mode_of(f) == 0o600 for f in share_files(tmp_path / "out"))
    assert mode_of(tmp_path / "out") == 0o700


def test_refuses_to_overwrite_and_writes_nothing(tmp_path, key):
    out = tmp_path / "out"
    out.mkdir()
    (out / "share-3.txt").write_text("precious\n")
    result = run("split", "-k", 2, "-n", 5, "-o", out, stdin=key.encode())
    assert_one_line_error(result, 2, "share-3.txt", "already exists", secrets=[key])
    assert sorted(p.name for p in out.iterdir()) == ["share-3.txt"]
    assert (out / "share-3.txt").read_text() == "precious\n"

    shares = ok("split", "-k", 2, "-n", 2, stdin=key.encode())
    for command in (["combine", "-o"], ["keygen", "-o"]):
        target = tmp_path / "taken.txt"
        target.write_text("old\n")
        result = run(*command, target, stdin=shares)
        assert_one_line_error(result, 2, "already exists", secrets=[key])
        assert target.read_text() == "old\n"


def test_failed_runs_leave_no_files(tmp_path, key):
    tmp_path = tmp_path / "empty"
    tmp_path.mkdir()
    shares = ok("split", "-k", 3, "-n", 3, stdin=key.encode()).decode().split()
    result = run("combine", "-o", tmp_path / "secret.txt", stdin="\n".join(shares[:2]).encode())
    assert_one_line_error(result, 1, secrets=[key])
    result = run("split", "-k", 2, "-n", 3, "-o", tmp_path / "new", stdin=b"not a key\n")
    assert_one_line_error(result, 2, "<stdin>")
    result = run("refresh", "-o", tmp_path / "fresh", stdin=shares[0].encode())
    assert_one_line_error(result, 1)
    assert sorted(p.name for p in tmp_path.iterdir()) == []


def corrupt(share):
    position = len(share) - 5
    return share[:position] + ("0" if share[position] != "0" else "1") + share[position + 1 :]


@pytest.fixture
def split_set(tmp_path, key):
    shares = ok("split", "-k", 3, "-n", 5, stdin=key.encode()).decode().split()
    other = ok("split", "-k", 3, "-n", 5, stdin=ok("keygen")).decode().split()
    return key, shares, other


# One row per kind of bad share input: the lines given on standard input, the extra arguments,
# and what the single error line must name.
SHARE_INPUT_CASES = [
    ("too-few", lambda s, o: s[:2], [], []),
    ("typo", lambda s, o: [s[0], corrupt(s[1]), s[2]], [], ["<stdin>:2"]),
    ("foreign", lambda s, o: [s[0], s[1], o[2], s[3]], [], ["<stdin>:3"]),
    ("garbage", lambda s, o: [s[0], "hello", s[1], s[2]], [], ["<stdin>:2"]),
    ("hex-garbage", lambda s, o: [s[0], s[1], "ab" * 40 + ":" + "cd" * 40], [], ["<stdin>:3"]),
    ("not-utf8", lambda s, o: [s[0], "\udcff\udcfe", s[1], s[2]], [], ["<stdin>:2"]),
    ("wrong-k", lambda s, o: s[:3], ["-k", 2], []),
    ("bare-without-k", lambda s, o: varnhold_core.shamir_split(b"\x07" * 32, 2, 3), [], []),
]


@pytest.mark.parametrize("command", ["combine", "check"])
@pytest.mark.parametrize(
    "lines, extra, names",
    [row[1:] for row in SHARE_INPUT_CASES],
    ids=[row[0] for row in SHARE_INPUT_CASES],
)
def test_rejected_shares_are_one_line_errors(split_set, command, lines, extra, names):
    key, shares, other = split_set
    given = lines(shares, other)
    stdin = "\n".join(given).encode("utf-8", errors="surrogateescape")
    result = run(command, *extra, stdin=stdin)
    assert_one_line_error(result, 1, *names, secrets=[key, *shares, *other])
    if command == "combine":
        assert result.stdout == b""
    else:
        assert key.encode() not in result.stdout and b"result: rejected" in result.stdout


def test_check_names_the_wrong_share_by_file_and_line(tmp_path, split_set):
    key, shares, _ = split_set
    (tmp_path / "a.txt").write_text("\n".join(shares[:2]) + "\n")
    (tmp_path / "b.txt").write_text("\n" + corrupt(shares[2]) + "\n" + shares[3] + "\n")
    result = run("check", tmp_path / "a.txt", tmp_path / "b.txt")
    assert_one_line_error(result, 1, f"{tmp_path / 'b.txt'}:2")
    report = result.stdout.decode()
    assert f"{tmp_path / 'a.txt'}:1: number 1: good" in report
    assert re.search(
        rf"{re.escape(str(tmp_path / 'b.txt'))}:2: number \S+: (wrong|unreadable)", report
    )
    for share in shares:
        assert share not in report


@pytest.mark.parametrize(
    "args, stdin, status, fragment",
    [
        ([], b"", 2, "error"),
        (["frobnicate"], b"", 2, "invalid choice"),
        (["split", "-n", "5"], b"", 2, "-k"),
        (["split", "-k", "three", "-n", "5"], b"", 2, "three"),
        (["split", "-k", "4", "-n", "3"], b"00" * 32, 2, "-k 4 -n 3"),
        (["split", "-k", "2", "-n", "3"], b"00" * 31, 2, "64 hexadecimal digits"),
        (["split", "-k", "2", "-n", "3"], b"00 " * 32, 2, "64 hexadecimal digits"),
        (["split", "--raw", "-k", "2", "-n", "3"], b"\0" * 31, 2, "not 31"),
        (["split", "-k", "2", "-n", "3", "missing.txt"], b"", 2, "missing.txt: cannot read"),
        (["combine", "missing.txt"], b"", 1, "missing.txt: cannot read"),
        (["add-share", "--index", "0"], b"", 2, "--index"),
    ],
)
def test_usage_errors_and_unreadable_files(tmp_path, args, stdin, status, fragment):
    result = run(*args, stdin=stdin, cwd=tmp_path)
    assert_one_line_error(result, status, fragment)
    assert list(tmp_path.iterdir()) == []


def test_console_script_and_module_agree():
    if not Path(sys.executable).with_name("varnhold").exists():
        pytest.skip("the console script is not installed beside this interpreter")
    module = subprocess.run([sys.executable, "-m", "varnhold", "--help"], capture_output=True)
    script = run("--help")
    assert module.returncode == script.returncode == 0
    assert module.stdout == script.stdout and b"combine" in module.stdout


def test_closed_output_pipe_is_one_line(key):
    # The reader stops after the first share.
    split = subprocess.Popen(
        [*cli_command(), "split", "-k", "2", "-n", "20000"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    split.stdin.write(key.encode())
    split.stdin.close()
    split.stdout.readline()
    split.stdout.close()
    err = split.stderr.read().decode()
    split.stderr.close()
    assert split.wait(timeout=60) in (0, 1)
    assert "Traceback" not in err and err.count("\n") <= 1


def test_shell_pipeline_as_in_the_readme(tmp_path):
    if shutil.which("sh") is None:
        pytest.skip("no shell")
    command = " ".join(cli_command())
    script = (
        f"{command} keygen -o key.txt && {command} split -k 3 -n 5 -o shares key.txt && "
        f"cat shares/share-1.txt shares/share-3.txt shares/share-5.txt | {command} combine"
    )
    result = subprocess.run(["sh", "-c", script], cwd=tmp_path, capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == (tmp_path / "key.txt").read_text()


def test_file_names_that_look_like_hex_are_kept_in_errors(tmp_path, split_set):
    key, shares, _ = split_set
    name = tmp_path / "0123456789abcdef0123456789abcdef.share"
    name.write_text(corrupt(shares[0]) + "\n")
    result = run("combine", name, stdin=b"")
    err = result.stderr.decode()
    assert result.returncode == 1 and err.count("\n") == 1
    assert f"{name}:1" in err and key not in err and shares[0] not in err

"""The command line, run as a real process on real files in temporary folders."""

import os
import re
import resource
import shutil
import signal
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
    # Only the success line of a command that wrote files.
    assert all(line.startswith(b"varnhold: wrote ") for line in result.stderr.splitlines())
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


@pytest.mark.parametrize("umask", [0, 0o277, 0o777])
def test_files_are_0600_whatever_the_umask(tmp_path, key, umask):
    ok("keygen", "-o", tmp_path / "k2.txt", umask=umask)
    ok("split", "-k", 2, "-n", 3, "-o", tmp_path / "out", stdin=key.encode(), umask=umask)
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
# and what the single error line must name. Fewer than k good shares remain in every row (with
# k of them, combine leaves the bad ones out and check reports a lone share as good).
SHARE_INPUT_CASES = [
    ("too-few-with-a-repeat", lambda s, o: [s[0], s[1], s[1]], [], ["<stdin>:3"]),
    ("typo", lambda s, o: [s[0], corrupt(s[1]), s[2]], [], ["<stdin>:2"]),
    ("foreign", lambda s, o: [s[0], s[1], o[2], s[3]], [], ["<stdin>:3"]),
    ("garbage", lambda s, o: [s[0], "hello", s[1]], [], ["<stdin>:2"]),
    ("hex-garbage", lambda s, o: [s[0], s[1], "ab" * 40 + ":" + "cd" * 40], [], ["<stdin>:3"]),
    ("not-utf8", lambda s, o: [s[0], "\udcff\udcfe", s[1]], [], ["<stdin>:2"]),
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
    # Shares that never reached the reader are not a success; the run ends quietly.
    assert split.wait(timeout=60) in (1, -signal.SIGPIPE)
    assert err == ""


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


def tree(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


@pytest.fixture
def full_disk(tmp_path):
    """A folder with no room left: a 64 KiB tmpfs when running as root, else None."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        yield None
        return
    mount = tmp_path / "full"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", mount]).returncode:
        yield None
        return
    try:
        yield mount
    finally:
        subprocess.run(["umount", mount], check=True)


# A writer that fails with ENOSPC after 30 bytes, installed before the command line loads.
ENOSPC_WRITER = """
import errno, os, sys
real, left = os.write, [30]
def write(fd, data):
    if fd > 2 and left[0] <= 0:
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    if fd > 2:
        data = data[: left[0]]
        left[0] -= len(data)
    return real(fd, data)
os.write = write
from varnhold.cli import main
main(sys.argv[1:])
"""


def limited(memory_mib=512, close=()):
    def preexec():
        resource.setrlimit(resource.RLIMIT_AS, (memory_mib << 20, memory_mib << 20))
        for fd in close:
            os.close(fd)

    return preexec


# One row per way a run can fail: the arguments (built in the test's folder `d`, which holds
# key.txt, shares.txt of a 2-of-3 set and a folder `target`), standard input, the exit status
# and what the single error line must say. Every row runs under an address-space limit.
SPLIT_2000 = ["split", "-k", 2, "-n", 2000, "-o"]
FAILURES = [
    (
        "full-disk-split",
        "tmpfs",
        lambda d, f: [*SPLIT_2000, f / "out", d / "key.txt"],
        1,
        ["No space left"],
    ),
    (
        "full-disk-keygen",
        "tmpfs",
        lambda d, f: ["keygen", "-o", f / "key.txt"],
        1,
        ["No space left"],
    ),
    (
        "enospc-split",
        "writer",
        lambda d, f: [*SPLIT_2000, f / "out", d / "key.txt"],
        1,
        ["No space left"],
    ),
    (
        "enospc-combine",
        "writer",
        lambda d, f: ["combine", "-o", f / "s.txt", d / "shares.txt"],
        1,
        ["No space left"],
    ),
    (
        "full-stdout",
        "",
        lambda d, f: ["split", "-k", 2, "-n", 20, d / "key.txt", ">", "/dev/full"],
        1,
        ["standard output: cannot write"],
    ),
    (
        "symlinked-folder",
        "",
        lambda d, f: ["split", "-k", 2, "-n", 3, "-o", d / "link", d / "key.txt"],
        2,
        ["is a symbolic link"],
    ),
    (
        "symlinked-file",
        "",
        lambda d, f: ["combine", "-o", d / "dangling", d / "shares.txt"],
        2,
        ["is a symbolic link"],
    ),
    (
        "file-in-symlinked-folder",
        "",
        lambda d, f: ["keygen", "-o", d / "link" / "dangling"],
        2,
        ["is a symbolic link"],
    ),
    (
        "zero-shares",
        "",
        lambda d, f: ["combine", "/dev/zero"],
        1,
        ["/dev/zero:1: line longer than 1048576"],
    ),
    (
        "zero-secret",
        "",
        lambda d, f: ["split", "-k", 2, "-n", 3, "-o", d / "o", "/dev/zero"],
        2,
        ["longer than 4096 bytes"],
    ),
    (
        "line-over-limit",
        "",
        lambda d, f: ["combine", "--max-share-size", 100, d / "shares.txt"],
        1,
        ["shares.txt:1: line longer than 100"],
    ),
    (
        "too-many-lines",
        "",
        lambda d, f: ["combine", d / "many.txt"],
        1,
        ["many.txt:1048577: more than 1048576 share lines"],
    ),
    ("many-bad-lines", "", lambda d, f: ["check", d / "bad.txt"], 1, ["bad.txt:3 and 99997 more"]),  # noqa: E501
    (
        "share-as-name",
        "",
        lambda d, f: ["combine", d / "shares.txt", (d / "shares.txt").read_text().split()[1]],
        1,
        ["argument 3 "],
    ),
    (
        "secret-as-name",
        "",
        lambda d, f: ["split", "-k", 2, "-n", 3, (d / "key.txt").read_text().strip()],
        2,
        ["argument 6 "],
    ),
    (
        "undecodable-name",
        "",
        lambda d, f: ["combine", os.fsdecode(b"n\xff\n")],
        1,
        ["n\\xff\\x0a: cannot read"],
    ),
    (
        "stdout-closed",
        "",
        lambda d, f: ["combine", d / "shares.txt", "close", 1],
        1,
        ["standard output is closed"],
    ),
    ("stdin-closed", "", lambda d, f: ["combine", "close", 0], 1, ["standard input is closed"]),
    (
        "index-too-big",
        "",
        lambda d, f: ["add-share", "--index", 2**127 - 1, d / "shares.txt"],
        2,
        ["--index"],
    ),
]


@pytest.mark.parametrize(
    "mode, make, status, fragments", [r[1:] for r in FAILURES], ids=[r[0] for r in FAILURES]
)
def test_failures_are_one_line_and_leave_nothing(
    tmp_path, full_disk, key, mode, make, status, fragments
):
    if mode == "tmpfs" and full_disk is None:
        pytest.skip("a full tmpfs needs root; the enospc rows inject the same failure")
    shares = ok("split", "-k", 2, "-n", 3, stdin=key.encode())
    (tmp_path / "shares.txt").write_bytes(shares)
    (tmp_path / "key.txt").write_text(key)
    (tmp_path / "many.txt").write_text("".join(f"{i}\n" for i in range(2**20 + 1)))
    (tmp_path / "bad.txt").write_text("x\n" * 100000)
    (tmp_path / "target").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "target")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    (tmp_path / "target" / "dangling").symlink_to(tmp_path / "nowhere")
    args = [str(a) for a in make(tmp_path, full_disk if mode == "tmpfs" else tmp_path / "target")]
    close = [int(args.pop())] if "close" in args[-2:] else []
    args = [a for a in args if a != "close"]
    stdout_path = args.pop() if ">" in args else os.devnull
    args = [a for a in args if a != ">"]
    if mode == "tmpfs":
        with open(full_disk / "filler", "wb", buffering=0) as filler:
            with pytest.raises(OSError):
                while True:
                    filler.write(b"\0" * 4096)
    before = tree(tmp_path)
    command = [sys.executable, "-c", ENOSPC_WRITER] if mode == "writer" else cli_command()
    with open(stdout_path, "wb") as stdout:
        result = subprocess.run(
            [*command, *args],
            stdin=subprocess.DEVNULL,
            stdout=stdout,
            stderr=subprocess.PIPE,
            timeout=120,
            preexec_fn=limited(close=close),
        )
    assert_one_line_error(result, status, *fragments, secrets=[key, *shares.decode().split()])
    assert len(result.stderr) < 1000
    assert tree(tmp_path) == before


@pytest.mark.parametrize(
    "signum, when",
    [
        (signal.SIGINT, lambda names: len(names) >= 1),
        (signal.SIGTERM, lambda names: len(names) >= 1500),
        (signal.SIGINT, lambda names: any(n.startswith("share-") for n in names)),
        (signal.SIGHUP, lambda names: sum(n.startswith("share-") for n in names) >= 100),
    ],
    ids=["first-file", "half-written", "placing", "half-placed"],
)
def test_a_signal_leaves_nothing(tmp_path, key, signum, when):
    (tmp_path / "key.txt").write_text(key)
    out = tmp_path / "out"
    split = subprocess.Popen(
        [*cli_command(), "split", "-k", "2", "-n", "3000", "-o", out, tmp_path / "key.txt"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    while split.poll() is None:
        try:
            if when(os.listdir(out)):
                break
        except FileNotFoundError:
            pass
    split.send_signal(signum)
    _, err = split.communicate(timeout=60)
    assert split.returncode == 128 + signum, err
    assert err == b"varnhold: interrupted; nothing was written\n"
    assert tree(tmp_path) == ["key.txt"]

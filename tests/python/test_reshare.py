"""reshare moves a set to a new k, n or scheme, through the command line and the API; the old
shares are read as combine reads them, and the secret is in no output, file or message."""

import os

import pytest
import varnhold_core

import varnhold
from support import version_1
from test_cli import corrupt, run, share_files, tree
from test_custodian import terminal_run

KEY = os.urandom(32)
OLD = {
    "s": varnhold.split(KEY, 3, 5),
    "b": varnhold.split(KEY, 3, 5, scheme="blakley"),
    "1": version_1(varnhold_core.blakley_split(KEY, 3, 5), 3),  # a stored version 1 set
    "o": varnhold.split(os.urandom(32), 3, 5),
    "x": varnhold_core.shamir_split(KEY, 3, 5),  # bare
}
OLD["n"] = varnhold.reshare(OLD["s"][:3], 4, 7)

# Rows: the old shares (set and position, ! for a typo), the new k, n and scheme, the exit status
# and what standard error says. The API reads as combine does: it succeeds on the rows of status
# 0 without a typo.
CASES = {
    "3-of-5 to 4-of-7": ("s0 s2 s4", 4, 7, None, 0, ""),
    "to 2-of-2": ("s4 s3 s1 s0", 2, 2, None, 0, ""),
    "blakley to shamir": ("b1 b2 b3", 3, 5, "shamir", 0, ""),
    "shamir to blakley": ("s0 s1 s2", 2, 3, "blakley", 0, ""),
    "version 1 to 2": ("10 11 14", 3, 4, None, 0, ""),
    "typo left out": ("s0 s1! s2 s3", 2, 3, None, 0, "left out <stdin>:2: unreadable"),
    "typo, too few": ("s0 s1! s2", 2, 3, None, 1, "<stdin>:2: unreadable"),
    "foreign": ("s0 s1 o2 s3", 2, 3, None, 1, "2 different sets"),
    "old and new": ("s0 s1 s2 n0 n1 n2 n3", 2, 3, None, 1, "2 different sets"),
    "bare": ("x0 x1 x2 x3", 2, 3, None, 1, "reshare reads envelope shares only"),
    "k above n, before reading": ("s0", 4, 3, None, 2, "2 <= k <= n <= 1048576"),
}


@pytest.mark.parametrize("output", [[], ["-o", "new"]], ids=["stdout", "folder"])
@pytest.mark.parametrize("given, k, n, scheme, status, says", CASES.values(), ids=CASES.keys())
def test_reshare(tmp_path, output, given, k, n, scheme, status, says):
    old = [(corrupt if w[2:] else str)(OLD[w[0]][int(w[1])]) for w in given.split()]
    args = ["-k", k, "-n", n, *(["--scheme", scheme] if scheme else []), *output]
    result = run("reshare", *args, cwd=tmp_path, stdin="\n".join(old).encode())
    err = result.stderr.decode()
    assert result.returncode == status and says in err, err
    files = share_files(tmp_path / "new")
    assert all(os.stat(f).st_mode & 0o777 == 0o600 for f in files)
    made = [[f.read_text().strip() for f in files] or result.stdout.decode().split()]
    assert KEY.hex() not in "".join([err, *made[0]]) and not any(s in err for s in old)
    if status:
        assert made == [[]] and tree(tmp_path) == []
        made = []
    if status != 2:
        try:
            made.append(varnhold.reshare(old, k, n, scheme=scheme))
        except varnhold.ShareError:
            assert status or "!" in given
        else:
            assert not status and "!" not in given
    for new in made:
        report, before = varnhold.check(new), varnhold.check(old[:1])
        assert (len(new), report.ok, report.k) == (n, True, k) and new[0].startswith("vh2-")
        assert report.scheme == (scheme or before.scheme) and report.set_id != before.set_id
        assert varnhold.combine(new[-k:]) == KEY and varnhold.check(new[: k - 1]).partial


def test_an_existing_share_file_is_kept(tmp_path):
    (tmp_path / "share-2.txt").write_text("precious\n")
    result = run("reshare", "-k", 2, "-n", 3, "-o", tmp_path, stdin="\n".join(OLD["s"]).encode())
    assert result.returncode == 2 and "share-2.txt: already exists" in result.stderr.decode()
    assert tree(tmp_path) == ["share-2.txt"] and result.stdout == b""


def test_shares_typed_at_a_terminal():
    # The old k comes from the shares (-k is the new set's); a bare share is refused at once.
    typed = [OLD["x"][0], *OLD["b"][:3]]
    prompts = [b"Share 1 of ?: ", b"type it again", b"Share 2 of 3: ", b"Share 3 of 3: "]
    shown, status, _ = terminal_run(["reshare", "-k", 2, "-n", 2], typed, prompts)
    assert "refused: a bare share (no envelope); reshare reads envelope shares only" in shown
    new = [line for line in shown.splitlines() if line.startswith("vh2-b-2-")]
    assert status == 0 and varnhold.combine(new) == KEY and KEY.hex() not in shown

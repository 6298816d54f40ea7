"""docs/recover.py, the standard-library recovery script: it rebuilds every vector of the format
document, agrees with varnhold.combine on random sets, refuses damaged shares by name, imports
nothing outside the standard library and ships in the sdist."""

import ast
import importlib.util
import random
import subprocess
import sys
import sysconfig
import tarfile
from pathlib import Path

import pytest

import varnhold

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "docs" / "recover.py"
_spec = importlib.util.spec_from_file_location("recover", SCRIPT)
recover = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(recover)


def documented_sets():
    """{(scheme, k, form): [share texts]} and the secret, from the document's vector lines."""
    sets, secret = {}, None
    for line in (ROOT / "docs" / "share-format.md").read_text(encoding="utf-8").splitlines():
        words = line.split()
        if len(words) == 2 and words[0] == "secret":
            secret = words[1]
        if len(words) == 5 and words[0] in ("shamir", "blakley"):
            sets.setdefault((words[0], int(words[1]), words[2]), []).append(words[4])
    return sets, secret


SETS, SECRET = documented_sets()


def run(args, stdin=""):
    return subprocess.run(
        [sys.executable, str(SCRIPT), *args], input=stdin, capture_output=True, text=True
    )


def test_document_has_every_vector_set():
    assert sorted(SETS) == sorted(
        (s, k, f) for s in ("shamir", "blakley") for k in (2, 3, 5) for f in ("bare", "envelope")
    )


@pytest.mark.parametrize("key", sorted(SETS), ids=lambda key: "-".join(map(str, key)))
def test_every_vector_set_gives_its_secret(key, tmp_path):
    scheme, k, form = key
    texts = SETS[key]
    if form == "envelope":  # one file a share, the extra one last
        files = [tmp_path / f"share{i}.txt" for i in range(len(texts))]
        for path, text in zip(files, texts):
            path.write_text(text + "\n")
        result = run([str(f) for f in files])
    else:  # bare shares on standard input, with k
        result = run(["-k", str(k)], "\n".join(reversed(texts)) + "\n")
    assert (result.returncode, result.stdout, result.stderr) == (0, SECRET + "\n", "")


@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
def test_random_sets_agree_with_the_package(scheme):
    rng = random.Random(scheme)
    for _ in range(500):
        k = rng.randint(2, 16)
        n = rng.randint(k, k + 4)
        secret = rng.getrandbits(256).to_bytes(32, "big")
        shares = varnhold.split(secret, k, n, scheme=scheme)
        chosen = rng.sample(shares, rng.randint(k, n))
        rebuilt = recover.combine([(str(i), t) for i, t in enumerate(chosen)])
        assert rebuilt == varnhold.combine(chosen) == secret


def _retype(text, at, new):
    return text[:at] + new + text[at + 1 :]


SHARE = SETS[("shamir", 3, "envelope")][1]
BLAKLEY = SETS[("blakley", 3, "envelope")][1]
FORGED = _retype(SHARE, 60, "f" if SHARE[60] != "f" else "e")[:-11]  # a value changed, the
FORGED += "-" + recover.check_v1(FORGED.encode())  # check made to match
# (case, the damaged second share, the reason the script gives for it)
DAMAGE = [
    ("digit", _retype(SHARE, 60, "f" if SHARE[60] != "f" else "e"), "checksum does not match"),
    ("swap", SHARE[:40] + SHARE[41] + SHARE[40] + SHARE[42:], "checksum does not match"),
    ("deleted", SHARE[:50] + SHARE[51:], "checksum does not match"),
    ("inserted", SHARE[:50] + "7" + SHARE[50:], "checksum does not match"),
    ("check", SHARE[:-1] + ("0" if SHARE[-1] != "0" else "1"), "checksum does not match"),
    ("cut", SHARE[:-12], "no valid checksum field"),
    ("version", "vh2" + SHARE[3:], "envelope version 2"),
    ("tag", "vhl" + SHARE[3:], "no valid version"),
    ("space", SHARE[:30] + " " + SHARE[30:], "no share has"),
    ("blakley digit", _retype(BLAKLEY, 90, "0" if BLAKLEY[90] != "0" else "1"), "checksum"),
    ("foreign", SETS[("shamir", 2, "envelope")][1], "belongs to another set"),
    ("bare", SETS[("shamir", 3, "bare")][1], "never joins envelope shares"),
    ("forged", FORGED, "disagrees with the other shares"),
]


@pytest.mark.parametrize("damaged, reason", [d[1:] for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_damaged_share_is_refused_by_name(damaged, reason, tmp_path):
    texts = SETS[("shamir", 3, "envelope")]
    files = []
    # Three good shares first, so that the damaged one is never among the k that rebuild.
    for i, text in enumerate([texts[0], texts[2], texts[3], damaged]):
        files.append(tmp_path / f"custodian{i}.txt")
        files[-1].write_text(text + "\n")
    result = run([str(f) for f in files])
    assert result.returncode == 1 and result.stdout == ""
    assert "custodian3.txt: " in result.stderr and reason in result.stderr
    assert "custodian0.txt" not in result.stderr


def test_script_imports_only_the_standard_library():
    stdlib = Path(sysconfig.get_paths()["stdlib"]).resolve()
    names = set()
    for node in ast.walk(ast.parse(SCRIPT.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            names.add(node.module.split(".")[0])
    assert names and "varnhold" not in names
    for name in names:
        origin = importlib.util.find_spec(name).origin
        builtin = origin in ("built-in", "frozen") or name == "__future__"
        assert builtin or (
            stdlib in Path(origin).resolve().parents and "site-packages" not in origin
        ), name


def test_sdist_ships_the_script(tmp_path, monkeypatch):
    # In the test extra; a shared environment without it still runs the rest of this file.
    build = pytest.importorskip("scikit_build_core.build")
    monkeypatch.chdir(ROOT)
    name = build.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as sdist:
        members = {Path(m).relative_to(Path(m).parts[0]).as_posix() for m in sdist.getnames()}
    assert {"docs/recover.py", "docs/share-format.md"} <= members

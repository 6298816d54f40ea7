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
import varnhold_core

import varnhold
from support import version_1

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "docs" / "recover.py"
_spec = importlib.util.spec_from_file_location("recover", SCRIPT)
recover = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(recover)


def documented_sets():
    """{(scheme, k, form): [share texts]}, {(scheme, k, "key" or "tag"): value} and the secret,
    from the document's vector lines; form is "bare", or the envelope's version tag ("vh1",
    "vh2")."""
    sets, values, secret = {}, {}, None
    for line in (ROOT / "docs" / "share-format.md").read_text(encoding="utf-8").splitlines():
        words = line.split()
        if len(words) == 2 and words[0] == "secret":
            secret = words[1]
        if len(words) != 5 or words[0] not in ("shamir", "blakley"):
            continue
        if words[2] in ("key", "tag"):
            values[(words[0], int(words[1]), words[2])] = int(words[4], 16)
        else:
            form = "bare" if words[2] == "bare" else words[4][:3]
            sets.setdefault((words[0], int(words[1]), form), []).append(words[4])
    return sets, values, secret


SETS, KEYS_AND_TAGS, SECRET = documented_sets()


def run(args, stdin=""):
    return subprocess.run(
        [sys.executable, str(SCRIPT), *args], input=stdin, capture_output=True, text=True
    )


def test_document_has_every_vector_set():
    forms = ("bare", "vh1", "vh2")
    assert sorted(SETS) == sorted(
        (s, k, f) for s in ("shamir", "blakley") for k in (2, 3, 5) for f in forms
    )
    assert all(len(texts) == k + 1 for (_, k, _), texts in SETS.items())
    assert len(KEYS_AND_TAGS) == 12


@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
@pytest.mark.parametrize("k", [2, 3, 5])
def test_version_2_vectors_rebuild_their_key_and_tag(scheme, k):
    """The key R and the tag T the document lists are the fifth and sixth values rebuilt, and
    T is R's tag of the secret."""
    shares = [recover.read_share(str(i), t, None) for i, t in enumerate(SETS[(scheme, k, "vh2")])]
    key, tag = (KEYS_AND_TAGS[(scheme, k, name)] for name in ("key", "tag"))
    assert recover.interpolate(shares, k)[4:] == [key, tag]
    assert recover.tag(key, bytes.fromhex(SECRET)) == tag


@pytest.mark.parametrize(
    "check, body, expected",
    [
        ("check_v1", b"123456789", "c9bf63aae2"),
        ("check_v1", b"", "0000000000"),
        ("check_v2", b"123456789", "995dc9bbdf1939fae2"),
    ],
)
def test_documented_check_examples(check, body, expected):
    assert getattr(recover, check)(body) == expected


@pytest.mark.parametrize("key", sorted(SETS), ids=lambda key: "-".join(map(str, key)))
def test_every_vector_set_gives_its_secret(key, tmp_path):
    scheme, k, form = key
    texts = SETS[key]
    if form != "bare":  # one file a share, the extra one last
        files = [tmp_path / f"share{i}.txt" for i in range(len(texts))]
        for path, text in zip(files, texts):
            path.write_text(text + "\n")
        result = run([str(f) for f in files])
    else:  # bare shares on standard input, with k
        result = run(["-k", str(k)], "\n".join(reversed(texts)) + "\n")
    assert (result.returncode, result.stdout, result.stderr) == (0, SECRET + "\n", "")


def test_exactly_k_bare_shares_are_rebuilt_with_a_warning():
    result = run(["-k", "3"], "\n".join(SETS[("shamir", 3, "bare")][1:]))
    assert (result.returncode, result.stdout) == (0, SECRET + "\n")
    assert "exactly k bare shares, nothing verifies them" in result.stderr


def _mistype(text, rng):
    at = rng.randrange(len(text))
    new = rng.choice([chr(c) for c in range(0x21, 0x7F) if chr(c) != text[at]])
    return text[:at] + new + text[at + 1 :]


@pytest.mark.parametrize("version", ["vh1", "vh2"])
@pytest.mark.parametrize("scheme", ["shamir", "blakley"])
def test_random_sets_agree_with_the_package(scheme, version):
    rng = random.Random(scheme + version)
    for _ in range(500):
        k = rng.randint(2, 16)
        n = rng.randint(k, k + 4)
        secret = rng.getrandbits(256).to_bytes(32, "big")
        if version == "vh1":
            bare = getattr(varnhold_core, scheme + "_split")(secret, k, n)
            shares = version_1(bare, k, set_id=rng.getrandbits(64))
        else:
            shares = varnhold.split(secret, k, n, scheme=scheme)
        assert all(share.startswith(version + "-") for share in shares)
        chosen = rng.sample(shares, rng.randint(k, n))
        rebuilt = recover.combine([(str(i), t) for i, t in enumerate(chosen)])
        assert rebuilt == varnhold.combine(chosen) == secret
        wrong = rng.randrange(len(chosen))
        chosen[wrong] = _mistype(chosen[wrong], rng)
        with pytest.raises(recover.Refused, match=f"(?m)^{wrong}: "):
            recover.combine([(str(i), t) for i, t in enumerate(chosen)])
        with pytest.raises(varnhold.ShareError):
            varnhold.combine(chosen)


def _retype(text, at):
    return text[:at] + ("f" if text[at] != "f" else "e") + text[at + 1 :]


def _swap(text):
    at = next(i for i in range(40, len(text)) if text[i] != text[i + 1])
    return text[:at] + text[at + 1] + text[at] + text[at + 2 :]


def _forge(text, edit):
    """The text edited before its check, the check then written to match."""
    body, check = text.rsplit("-", 1)
    body = edit(body)
    return (
        body + "-" + getattr(recover, "check_v2" if len(check) == 18 else "check_v1")(body.encode())
    )


# (case, damaged from the set's second share, the reason the script gives)
DAMAGE = [
    ("digit", lambda t: _retype(t, 70), "checksum does not match"),
    ("swap", _swap, "checksum does not match"),
    ("deleted", lambda t: t[:50] + t[51:], "checksum does not match"),
    ("inserted", lambda t: t[:50] + "7" + t[50:], "checksum does not match"),
    ("check", lambda t: t[:-1] + ("0" if t[-1] != "0" else "1"), "checksum does not match"),
    ("cut", lambda t: t[:-12], "no valid checksum field"),
    ("future", lambda t: _forge(t, lambda b: "vh3" + b[3:]), "names envelope version 3"),
    ("tag", lambda t: _forge(t, lambda b: "vhl" + b[3:]), "no valid version"),
    ("space", lambda t: t[:30] + " " + t[30:], "no share has"),
    ("value", lambda t: _forge(t, lambda b: _retype(b, 70)), "disagrees with the first k"),
]


@pytest.mark.parametrize("version", ["vh1", "vh2"])
@pytest.mark.parametrize("damage, reason", [d[1:] for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_damaged_share_is_refused_by_name(version, damage, reason, tmp_path):
    texts = SETS[("shamir", 3, version)]
    assert reason in _refusal([texts[0], texts[2], texts[3]], damage(texts[1]), tmp_path)


def _vector(form, k=3, at=-1):
    return lambda: SETS[("shamir", k, form)][at]


# (case, the set's version, how many of its good shares come first, the share added last, the
# reason; a set-wide reason names no share)
FOREIGN = [
    ("other set", "vh1", 3, _vector("vh1", k=2), "belongs to another set"),
    ("other version", "vh1", 3, _vector("vh2"), "belongs to another set"),
    ("other version", "vh2", 3, _vector("vh1"), "belongs to another set"),
    ("bare", "vh2", 3, _vector("bare"), "never joins envelope shares"),
    ("altered key", "vh2", 2, lambda: _forge(_vector("vh2")(), lambda b: _retype(b, 170)), "tag"),
]


@pytest.mark.parametrize(
    "version, good, share, reason",
    [f[1:] for f in FOREIGN],
    ids=[f"{f[0]}-{f[1]}" for f in FOREIGN],
)
def test_share_foreign_to_the_set_is_refused(version, good, share, reason, tmp_path):
    texts = SETS[("shamir", 3, version)]
    assert reason in _refusal(texts[:good], share(), tmp_path, blamed=good == 3)


def _refusal(good, damaged, tmp_path, blamed=True):
    """The script's reason for the set of the good shares and the damaged one, given last (so
    it is never among the k that rebuild); the damaged share's file is named, no other."""
    files = []
    for i, text in enumerate([*good, damaged]):
        files.append(tmp_path / f"custodian{i}.txt")
        files[-1].write_text(text + "\n")
    result = run([str(f) for f in files])
    assert result.returncode == 1 and result.stdout == ""
    assert "custodian0.txt" not in result.stderr
    last = f"custodian{len(good)}.txt: "
    assert (last in result.stderr) is blamed
    return result.stderr.split(last)[-1] if blamed else result.stderr


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
    assert {"docs/recover.py", "docs/share-format.md", "docs/check-v2.md"} <= members

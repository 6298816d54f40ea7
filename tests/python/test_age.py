"""varnhold.age: threshold identities, sealed files, shares encrypted to custodians, embedded
small secrets, and interoperability with the standard age command."""

import io
import os
import shutil
import subprocess
import sys

import pytest

import varnhold
from support import P
from support import sealed as with_check

OLD_PYTHON = sys.version_info < (3, 10)
needs_age_tool = pytest.mark.skipif(shutil.which("age") is None, reason="the age command")


@pytest.fixture(scope="module")
def age():
    if OLD_PYTHON:
        pytest.skip("varnhold.age needs Python 3.10 or later")
    import varnhold.age

    return varnhold.age


@pytest.fixture(scope="module")
def identity(age):
    return age.new_identity(2, 4)


def cheat(share):
    """What a dishonest custodian can hand in: their Shamir share with its first value lowered
    by one and a valid check (version 1 shares then rebuild a shifted secret; version 2 shares
    fail their tag)."""
    fields = share.rsplit("-", 1)[0].split("-")
    values = fields[5].split(":")
    first = 0 if share.startswith("vh2-") else 1  # version 1 starts with the index
    values[first] = "%032x" % ((int(values[first], 16) - 1) % P)
    return with_check("-".join(fields[:5] + [":".join(values)]))


def sealed(age, data, recipient, armored=False):
    out = io.BytesIO()
    age.seal(io.BytesIO(data), out, [recipient], armored=armored)
    return out.getvalue()


def test_python_39_is_told_that_age_needs_310():
    if not OLD_PYTHON:
        pytest.skip("only CPython 3.9 lacks pyrage")
    with pytest.raises(ImportError, match="needs Python 3.10 or later"):
        import varnhold.age  # noqa: F401


def test_importing_varnhold_and_its_command_line_leaves_pyrage_alone():
    code = (
        "import sys, varnhold, varnhold.cli; print(sorted({'pyrage', 'bech32'} & set(sys.modules)))"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0 and out.stdout.strip() == "[]", out.stderr


@pytest.mark.parametrize("size", [0, 1, 1 << 20])
@pytest.mark.parametrize("armored", [False, True])
@pytest.mark.parametrize("pick", [slice(0, 2), slice(1, 3), slice(0, 3)], ids=["12", "23", "all"])
def test_seal_and_unseal_round_trip(age, identity, size, armored, pick):
    data = os.urandom(size)
    out = io.BytesIO()
    age.unseal(
        io.BytesIO(sealed(age, data, identity.recipient, armored)), out, identity.shares[pick]
    )
    assert out.getvalue() == data
    assert age.recipient(identity.shares[pick]) == identity.recipient


def test_identity_from_a_blakley_split_and_its_repr_hides_the_shares(age):
    made = age.new_identity(3, 4, scheme="blakley")
    assert age.identity_text(made.shares[1:]).startswith("AGE-SECRET-KEY-1")
    assert age.recipient(made.shares[:3]) == made.recipient
    assert made.shares[0] not in repr(made) and made.recipient in repr(made)


@pytest.mark.parametrize(
    "at, bits, same",
    [(0, 0x07, True), (31, 0xC0, True), (0, 0x08, False), (31, 0x20, False)],
    ids=["low-bits", "high-bits", "bit3", "bit253"],
)
def test_only_the_clamped_bits_of_the_secret_leave_the_identity_alone(age, at, bits, same):
    secret = bytes(range(32))
    flipped = bytearray(secret)
    flipped[at] ^= bits
    first = age.recipient(varnhold.split(secret, 2, 2))
    assert (age.recipient(varnhold.split(bytes(flipped), 2, 2)) == first) == same


@pytest.mark.parametrize(
    "shares_of, error, message",
    [
        (lambda own, other: [own[0], cheat(own[1])], "ShareError", "tag does not match"),
        (lambda own, other: list(other[:2]), "AgeError", "does not open this file"),
        (lambda own, other: [own[0], other[1]], "ShareError", "need at least 2"),
        (lambda own, other: [own[0], own[1], cheat(own[2])], "ShareError", "inconsistent"),
        (lambda own, other: [own[0], own[1], cheat(own[2]), own[3]], "ShareError", "share 3"),
    ],
    ids=["cheating", "another-identity", "foreign", "cheating-plus-one", "cheating-plus-two"],
)
def test_wrong_shares_are_refused_and_nothing_is_written(age, identity, shares_of, error, message):
    other = age.new_identity(2, 3)
    file = sealed(age, b"x" * 200_000, identity.recipient)
    out = io.BytesIO()
    kind = age.AgeError if error == "AgeError" else varnhold.ShareError
    with pytest.raises(kind, match=message) as caught:
        age.unseal(io.BytesIO(file), out, shares_of(identity.shares, other.shares))
    assert out.getvalue() == b""
    assert not any(s.split("-")[5][:20] in str(caught.value) for s in identity.shares)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda f: f[: len(f) - 70_000], "cut short after 65536 bytes"),
        (lambda f: f[:-5] + bytes([f[-5] ^ 1]) + f[-4:], "damaged or cut short"),
        (lambda f: b"not an age file" + f, "not a readable age file"),
    ],
    ids=["truncated", "flipped", "garbage"],
)
def test_damaged_sealed_file_is_reported(age, identity, damage, message):
    file = sealed(age, b"y" * 200_000, identity.recipient)
    with pytest.raises(age.AgeError, match=message):
        age.unseal(io.BytesIO(damage(file)), io.BytesIO(), identity.shares[:2])


class Failing:
    def __init__(self, error):
        self.read = self.write = lambda _: (_ for _ in ()).throw(error)


@pytest.mark.parametrize("error", [KeyboardInterrupt(), OSError(28, "No space left on device")])
@pytest.mark.parametrize("side", ["reader", "writer"])
@pytest.mark.parametrize("operation", ["seal", "unseal"])
def test_stream_failures_reach_the_caller_unchanged(age, identity, error, side, operation):
    data = sealed(age, b"z" * 100_000, identity.recipient) if operation == "unseal" else b"z"
    extra = identity.shares[:2] if operation == "unseal" else [identity.recipient]
    reader = Failing(error) if side == "reader" else io.BytesIO(data)
    writer = Failing(error) if side == "writer" else io.BytesIO()
    with pytest.raises(type(error)) as caught:
        getattr(age, operation)(reader, writer, extra)
    assert caught.value is error


class Trickle(io.BytesIO):
    """An output that takes at most 1000 bytes a call, as a raw file may."""

    def write(self, data):
        return super().write(bytes(data[:1000]))


def test_outputs_that_take_part_of_each_write_get_everything(age, identity):
    data, file, out = os.urandom(300_000), Trickle(), Trickle()
    age.seal(io.BytesIO(data), file, [identity.recipient])
    age.unseal(io.BytesIO(file.getvalue()), out, identity.shares[:2])
    assert out.getvalue() == data


@pytest.mark.parametrize(
    "data", [b"", b"correct horse battery staple\n", bytes(range(256)) * 256], ids=len
)
def test_embedded_secrets_come_back_from_any_k_files(age, data):
    recipient, texts = age.seal_embedded(data, 3, 5)
    assert recipient.startswith("age1") and all(age.is_embedded(t) for t in texts)
    share, armored = age.parse_embedded("\ufeff" + texts[0].replace("\n", "\r\n"))
    assert varnhold.check([share], k=None).shares[0].state == "good"
    assert age.unseal_embedded([texts[4], texts[0], texts[2]]) == data
    # One damaged copy of the sealed data does not lose it.
    damaged = texts[1].replace(armored.splitlines()[2], "A" * len(armored.splitlines()[2]))
    assert age.unseal_embedded([damaged, texts[3], texts[0]]) == data


ARMOR = "-----BEGIN AGE ENCRYPTED FILE-----\n-----END AGE ENCRYPTED FILE-----\n"
REFUSALS = {
    "embed-64k": (lambda a: a.seal_embedded(b"x" * 65537, 2, 3), "at most 64 KiB"),
    "two-shares": (lambda a: a.parse_embedded("vh1-x\nvh1-y\n" + ARMOR), "one share line"),
    "no-block": (lambda a: a.parse_embedded("vh1-x\n"), "exactly one block"),
    "no-recipient": (lambda a: a.seal(io.BytesIO(), io.BytesIO(), []), "at least one"),
    "dss": (lambda a: a.encrypt_share("vh1-x", "ssh-dss AAAAB3"), "a recipient is"),
    "bad-age1": (lambda a: a.encrypt_share("vh1-x", "age1notbech32"), "cannot be used"),
    "multiline": (lambda a: a.encrypt_share("two\nlines", "age1x"), "one line of ASCII"),
    "no-identity": (lambda a: a.read_identities(b"# none\n\n"), "holds no identity"),
    "typo": (lambda a: a.read_identities(b"AGE-SECRET-KEY-1TYPO\n"), "identity:1: not an"),
}


@pytest.mark.parametrize("call, message", REFUSALS.values(), ids=REFUSALS)
def test_refusals_say_why(age, call, message):
    with pytest.raises(age.AgeError, match=message):
        call(age)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """(recipient, identity file) of custodian keys made by age-keygen and ssh-keygen."""
    if shutil.which("ssh-keygen") is None or shutil.which("age-keygen") is None:
        pytest.skip("ssh-keygen and age-keygen are needed")
    folder, made = tmp_path_factory.mktemp("keys"), {}
    subprocess.run(["age-keygen", "-o", folder / "age"], check=True, capture_output=True)
    public = subprocess.run(["age-keygen", "-y", folder / "age"], capture_output=True, text=True)
    made["age"] = (public.stdout.strip(), folder / "age")
    for kind, options in [("ed25519", []), ("rsa", ["-b", "2048"]), ("protected", ["-N", "pw"])]:
        key_type = "rsa" if kind == "rsa" else "ed25519"
        command = ["ssh-keygen", "-q", "-t", key_type, "-N", "", *options, "-f", folder / kind]
        subprocess.run(command, check=True)
        made[kind] = ((folder / (kind + ".pub")).read_text().strip(), folder / kind)
    return made


@pytest.mark.parametrize("kind", ["age", "ed25519", "rsa"])
def test_shares_encrypted_to_a_custodian_open_with_their_key(age, identity, keys, kind):
    recipient, key_file = keys[kind]
    text = age.encrypt_share(identity.shares[0], recipient)
    assert text.startswith("-----BEGIN AGE ENCRYPTED FILE-----")
    assert age.decrypt_share(text, age.load_identities([key_file])) == identity.shares[0]
    others = [path for name, (_, path) in keys.items() if name not in (kind, "protected")]
    with pytest.raises(age.AgeError, match="none of the identities"):
        age.decrypt_share(text, age.load_identities(others))
    if shutil.which("age"):
        opened = subprocess.run(
            ["age", "-d", "-i", key_file], input=text.encode(), capture_output=True, check=True
        )
        assert opened.stdout.decode().strip() == identity.shares[0]


def test_passphrase_protected_ssh_key_is_refused_with_the_way_out(age, keys):
    with pytest.raises(age.AgeError, match="passphrase.*standard age tool") as caught:
        age.load_identities([keys["protected"][1]])
    assert str(keys["protected"][1]) in str(caught.value)


@needs_age_tool
@pytest.mark.parametrize("size", [0, 1, 300_000])
def test_interoperates_with_the_age_command(age, identity, tmp_path, size):
    data = os.urandom(size)
    key_file = tmp_path / "identity.txt"
    key_file.write_text(age.identity_text(identity.shares[1:]) + "\n")
    keygen = subprocess.run(["age-keygen", "-y", key_file], capture_output=True, text=True)
    assert keygen.stdout.strip() == identity.recipient
    # varnhold seals, age opens with the identity rebuilt from the shares.
    (tmp_path / "a.age").write_bytes(sealed(age, data, identity.recipient))
    opened = subprocess.run(
        ["age", "-d", "-i", key_file, tmp_path / "a.age"], capture_output=True, check=True
    )
    assert opened.stdout == data
    # age seals to the threshold recipient (binary and armored), varnhold unseals.
    for armor in [[], ["-a"]]:
        made = subprocess.run(
            ["age", "-r", identity.recipient, *armor], input=data, capture_output=True, check=True
        )
        out = io.BytesIO()
        age.unseal(io.BytesIO(made.stdout), out, identity.shares[:2])
        assert out.getvalue() == data

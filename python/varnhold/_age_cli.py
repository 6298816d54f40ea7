"""The age commands of the command line: threshold age identities (`keygen --age`, `recipient`,
`combine --age`), sealed files (`seal`, `unseal`), shares encrypted to each custodian (`--to`)
and read back with their keys (`-i`).

Only these commands load this module, and with it `varnhold.age`, pyrage and (for a progress
bar) tqdm. Inputs are bounded and outputs go through the same `_output.Transaction` as every
other command: a sealed or unsealed file is written under a temporary name and appears only
when it is complete.
"""

from __future__ import annotations

import argparse
import io
import os
import signal
import stat
import sys
from types import ModuleType
from typing import Any, BinaryIO, Callable, List, Optional, Tuple

from . import _input, _output, cli

# An input at least this large gets a progress bar when standard error is a terminal.
PROGRESS_FROM = 64 << 20
# A recipients file holds a line per custodian.
MAX_RECIPIENTS_FILE = 1 << 20
READ_SIZE = 1 << 16
STDOUT = 1


def need_age() -> ModuleType:
    """varnhold.age, or a one-line error saying what is missing."""
    try:
        from varnhold import age
    except ImportError as error:
        if sys.version_info < (3, 10):
            raise cli.CliError(
                "the age commands and options (seal, unseal, recipient, --age, --to, -i) need "
                "Python 3.10 or later: their age library, pyrage, has no build for Python "
                "%d.%d; every other command works here" % sys.version_info[:2],
                cli.EXIT_USAGE,
            ) from None
        raise cli.CliError(str(error), cli.EXIT_USAGE) from None
    return age


def age_failure(error: Exception, written: str = "nothing was written") -> cli.CliError:
    return cli.CliError(f"{cli.printable(str(error))}; {written}", cli.EXIT_REJECTED)


# Recipients and identities


def _recipient_lines(data: bytes, name: str) -> List[str]:
    text = data.decode("utf-8", errors="replace").lstrip("\ufeff")
    lines = [line.strip() for line in text.splitlines()]
    recipients = [line for line in lines if line and not line.startswith("#")]
    if not recipients:
        raise cli.CliError(f"{name}: holds no recipient", cli.EXIT_USAGE)
    return recipients


def read_recipients(argument: str, args: argparse.Namespace) -> List[str]:
    """The recipients an argument gives: itself when it is one (age1..., ssh-...), else the
    lines of the file it names (blank lines and # comments skipped), each checked."""
    age = need_age()
    if argument.startswith(("age1", "ssh-ed25519 ", "ssh-rsa ")):
        recipients, name = [argument], "recipient"
    else:
        source = cli._source(argument, args)
        try:
            data = _input.read_limited(
                source, MAX_RECIPIENTS_FILE, "larger than 1 MiB; not a file of recipients"
            )
        except _input.InputError as error:
            raise cli.CliError(error.message, cli.EXIT_USAGE) from None
        recipients, name = _recipient_lines(data, source.name), source.name
    try:
        return list(age.check_recipients(recipients))
    except age.AgeError as error:
        raise cli.CliError(f"{name}: {error}", cli.EXIT_USAGE) from None


def prepare_to(args: argparse.Namespace) -> None:
    """Reads --to RECIPIENTS into args.to_recipients before anything is made."""
    if getattr(args, "to", None) is None:
        return
    if getattr(args, "output", None) is None:
        raise cli.CliError(
            "--to writes share-<number>.txt.age files and needs -o DIR", cli.EXIT_USAGE
        )
    args.to_recipients = read_recipients(args.to, args)


def encrypt_files(
    files: List[Tuple[str, bytes]], args: argparse.Namespace
) -> List[Tuple[str, bytes]]:
    """Each share file encrypted (armored) to its custodian, in share order, as NAME.age; a
    count of recipients other than the count of shares is refused before anything is made."""
    age = need_age()
    recipients: List[str] = args.to_recipients
    if len(recipients) != len(files):
        raise cli.CliError(
            f"{cli.printable(args.to)}: {len(recipients)} recipients for {len(files)} shares; "
            "give one recipient per share, in share order; nothing was written",
            cli.EXIT_USAGE,
        )
    encrypted = []
    for (name, data), recipient in zip(files, recipients):
        out = io.BytesIO()
        age.seal(io.BytesIO(data), out, [recipient], armored=True)
        encrypted.append((name + ".age", out.getvalue()))
    return encrypted


def decrypter(args: argparse.Namespace) -> Optional[_input.Decrypt]:
    """What opens encrypted share files with the -i identity files, or None without -i."""
    paths: Optional[List[str]] = getattr(args, "identity", None)
    if not paths:
        return None
    age = need_age()
    identities: List[Any] = []
    for path in paths:
        source = cli._source(path, args)
        try:
            data = _input.read_limited(source, 1 << 20, "larger than 1 MiB; not an identity file")
            identities += age.read_identities(data, source.name)
        except _input.InputError as error:
            raise cli.CliError(error.message, cli.EXIT_USAGE) from None
        except age.AgeError as error:
            raise cli.CliError(cli.printable(str(error)), cli.EXIT_USAGE) from None

    def decrypt(data: bytes, name: str) -> str:
        try:
            text: str = age.decrypt_share(data, identities)
        except age.AgeError as error:
            raise _input.InputError(f"{name}: {error}") from None
        return text

    return decrypt


# Streams


class _FdWriter:
    """Writes everything it is given to a file descriptor, counting it on the input."""

    def __init__(self, fd: int, source: Input) -> None:
        self.fd = fd
        self.source = source

    def write(self, data: bytes) -> int:
        _output.write_all(self.fd, data)
        self.source.delivered += len(data)
        return len(data)


class _Counted:
    """A reader that moves a progress bar."""

    def __init__(self, reader: BinaryIO, bar: Any) -> None:
        self.reader = reader
        self.bar = bar

    def read(self, size: int) -> bytes:
        data = self.reader.read(size)
        self.bar.update(len(data))
        return data


class Input:
    """The file to seal or unseal: a named file or standard input, opened once."""

    def __init__(self, path: str, args: argparse.Namespace) -> None:
        self.name = cli.STDIN_NAME if path == "-" else cli.printable(path)
        self.named = path != "-"
        if path == "-":
            if 0 in args.closed_streams:
                raise cli.CliError("standard input is closed", cli.EXIT_USAGE)
            self.file: BinaryIO = os.fdopen(0, "rb", closefd=False)
        else:
            try:
                self.file = open(path, "rb")  # noqa: SIM115 - closed by close()
            except OSError as error:
                raise cli.CliError(
                    f"{self.name}: cannot read: {error.strerror or 'error'}", cli.EXIT_USAGE
                ) from None
        info = os.fstat(self.file.fileno())
        if stat.S_ISDIR(info.st_mode):
            self.close()
            raise cli.CliError(f"{self.name}: is a directory", cli.EXIT_USAGE)
        self.regular = stat.S_ISREG(info.st_mode)
        self.delivered = 0  # bytes written from it by the streaming path
        self.size = info.st_size if self.regular else 0

    def path(self) -> str:
        """A path that opens this very file (not the name, which may have changed)."""
        return f"/proc/self/fd/{self.file.fileno()}"

    def close(self) -> None:
        if self.file.fileno() != 0:
            self.file.close()


def _bar(source: Input) -> Any:
    if source.size < PROGRESS_FROM or not sys.stderr.isatty():
        return None
    # tqdm's types are not installed with it; the bar is used only through Any.
    import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]

    return tqdm.tqdm(
        total=source.size, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr
    )


def transfer(
    source: Input,
    fd: int,
    streaming: Callable[[Any, Any], None],
    by_path: Optional[Callable[[str, str], None]],
) -> None:
    """Runs `streaming(reader, writer)` from the input into `fd`, with a progress bar for a
    large input when standard error is a terminal. Without a bar, a regular file into a regular
    file goes through `by_path` (pyrage reads and writes the files itself, which is faster),
    in a child process so that Ctrl-C stops it at once. Standard input and output always
    stream: pyrage would reopen them from their start, and truncate."""
    bar = _bar(source)
    fast = bar is None and source.named and source.regular and fd != STDOUT
    if by_path is not None and fast and os.path.isdir("/proc/self/fd"):
        if stat.S_ISREG(os.fstat(fd).st_mode):
            target = f"/proc/self/fd/{fd}"
            in_child(lambda: by_path(source.path(), target))
            return
    reader: Any = source.file if bar is None else _Counted(source.file, bar)
    try:
        streaming(reader, _FdWriter(fd, source))
    finally:
        if bar is not None:
            bar.close()


def in_child(call: Callable[[], None]) -> None:
    """Runs `call` in a forked child and waits for it. pyrage's file functions hold the
    interpreter until they return, so a signal handler of this process would wait for the whole
    file; the parent waits here instead, and any exception it gets while waiting (Ctrl-C, the
    transaction's signals) stops the child at once. The child's error comes back as AgeError
    with its message (its messages never show a secret)."""
    age = need_age()
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: leaves only through os._exit, never through the caller's code
        status = 0
        try:
            os.close(reading)
            call()
        except BaseException as error:
            text = str(error) if isinstance(error, ValueError) else type(error).__name__
            status = 1
            try:
                _output.write_all(writing, text.encode("utf-8", "replace")[:4096])
            except BaseException:
                pass
        finally:
            os._exit(status)
    os.close(writing)
    try:
        _, status = os.waitpid(pid, 0)
    except BaseException:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(reading)
        raise
    with os.fdopen(reading, "rb") as pipe:
        message = pipe.read(4097).decode("utf-8", "replace")
    if status != 0:
        raise age.AgeError(message or f"the age library stopped (status {status})")


def write_file(
    target: Optional[str],
    fill: Callable[[int], None],
    args: argparse.Namespace,
) -> None:
    """Writes one output file through a transaction, or standard output for None or -."""
    if target is None or target == "-":
        if 1 in args.closed_streams:
            raise cli.CliError("standard output is closed; nothing was written", cli.EXIT_REJECTED)
        fill(STDOUT)
        return
    parent, name = os.path.split(target)
    if not name:
        raise cli.CliError(f"{cli.printable(target)}: not a file name", cli.EXIT_USAGE)
    with _output.Transaction() as out:
        place = parent or "."
        folder = out.folder(place, create=False, name=cli.printable(place), follow=True)
        out.refuse_existing(folder, [name])
        out.stream(folder, name, fill)
    cli.note(f"wrote {target} (mode 0600)")


# Commands


def cmd_keygen_age(args: argparse.Namespace) -> int:
    age = need_age()
    if args.output is None or args.k is None or args.n is None:
        raise cli.CliError("keygen --age needs -k K, -n N and -o DIR", cli.EXIT_USAGE)
    prepare_to(args)
    made = _new_identity(age, args)
    extra = [("recipient.txt", (made.recipient + "\n").encode("ascii"))]
    cli.write_shares(made.shares, cli.share_numbers(made.shares, None), args.output, args, extra)
    cli.write_stdout((made.recipient + "\n").encode("ascii"), args)
    return cli.EXIT_OK


def _new_identity(age: ModuleType, args: argparse.Namespace) -> Any:
    try:
        return age.new_identity(args.k, args.n, scheme=args.scheme)
    except (ValueError, OverflowError) as error:
        raise cli.CliError(
            f"cannot split with -k {args.k} -n {args.n}: {cli._scrub(str(error))}", cli.EXIT_USAGE
        ) from None


def cmd_recipient(args: argparse.Namespace) -> int:
    age = need_age()
    shares = cli.read_shares(args)
    cli.write_stdout((age.recipient(shares.texts, k=args.k) + "\n").encode("ascii"), args)
    return cli.EXIT_OK


def identity_text(args: argparse.Namespace, texts: List[str]) -> bytes:
    age = need_age()
    text: str = age.identity_text(texts, k=args.k)
    return (text + "\n").encode("ascii")


def cmd_seal(args: argparse.Namespace) -> int:
    age = need_age()
    fresh = args.k is not None or args.n is not None
    if args.recipient and fresh:
        raise cli.CliError("seal takes either -r RECIPIENT or -k K -n N -o DIR", cli.EXIT_USAGE)
    if not args.recipient and not fresh:
        raise cli.CliError(
            "seal needs -r RECIPIENT (an existing threshold recipient) or -k K -n N -o DIR "
            "(a new one)",
            cli.EXIT_USAGE,
        )
    if fresh and (args.k is None or args.n is None or args.output is None):
        raise cli.CliError("seal with a new identity needs -k K, -n N and -o DIR", cli.EXIT_USAGE)
    if args.embed and not fresh:
        raise cli.CliError(
            "seal --embed makes a new identity: give -k K -n N -o DIR", cli.EXIT_USAGE
        )
    if args.to is not None and not fresh:
        raise cli.CliError(
            "--to goes with -k K -n N -o DIR (the shares it encrypts)", cli.EXIT_USAGE
        )
    prepare_to(args)
    if args.embed:
        return _seal_embedded(age, args)
    if fresh:
        return _seal_fresh(age, args)
    recipients: List[str] = []
    for argument in args.recipient:
        recipients += read_recipients(argument, args)
    source = Input(args.file, args)
    try:
        target = args.output
        if target is None:
            target = "-" if args.file == "-" else args.file + ".age"
        write_file(target, _sealer(age, source, recipients, args.armor), args)
    except age.AgeError as error:
        raise age_failure(error) from None
    finally:
        source.close()
    return cli.EXIT_OK


def _sealer(
    age: ModuleType, source: Input, recipients: List[str], armored: bool
) -> Callable[[int], None]:
    def fill(fd: int) -> None:
        transfer(
            source,
            fd,
            lambda reader, writer: age.seal(reader, writer, recipients, armored=armored),
            None if armored else (lambda src, dst: age.seal_file(src, dst, recipients)),
        )

    return fill


def _seal_fresh(age: ModuleType, args: argparse.Namespace) -> int:
    source = Input(args.file, args)
    try:
        made = _new_identity(age, args)
        name = "data.age" if args.file == "-" else os.path.basename(args.file) + ".age"
        extra = [("recipient.txt", (made.recipient + "\n").encode("ascii"))]
        sealed = (name, _sealer(age, source, [made.recipient], args.armor))
        numbers = cli.share_numbers(made.shares, None)
        cli.write_shares(made.shares, numbers, args.output, args, extra, sealed=sealed)
    except age.AgeError as error:
        raise age_failure(error) from None
    finally:
        source.close()
    cli.write_stdout((made.recipient + "\n").encode("ascii"), args)
    return cli.EXIT_OK


def _seal_embedded(age: ModuleType, args: argparse.Namespace) -> int:
    source = cli._source(args.file, args)
    try:
        data = _input.read_limited(
            source,
            age.EMBED_LIMIT,
            f"larger than 64 KiB ({age.EMBED_LIMIT} bytes): with --embed every share file "
            "carries a full copy of the sealed data; seal it without --embed to a file of "
            "its own",
        )
    except _input.InputError as error:
        raise cli.CliError(error.message, cli.EXIT_USAGE) from None
    try:
        recipient, texts = age.seal_embedded(data, args.k, args.n, scheme=args.scheme)
    except age.AgeError as error:
        raise age_failure(error) from None
    except (ValueError, OverflowError) as error:
        raise cli.CliError(
            f"cannot split with -k {args.k} -n {args.n}: {cli._scrub(str(error))}", cli.EXIT_USAGE
        ) from None
    shares = [age.parse_embedded(text)[0] for text in texts]
    extra = [("recipient.txt", (recipient + "\n").encode("ascii"))]
    numbers = cli.share_numbers(shares, None)
    cli.write_shares(shares, numbers, args.output, args, extra, contents=texts)
    cli.write_stdout((recipient + "\n").encode("ascii"), args)
    return cli.EXIT_OK


def _is_share_file(path: str, args: argparse.Namespace) -> bool:
    """True when the first file given to unseal is a share file rather than the sealed file:
    an embedded share file, as it is or encrypted to one of the -i identities."""
    if path == "-":
        return False
    source = cli._source(path, args)
    try:
        kind = _input.peek_kind(source)
        if kind == "embedded":
            return True
        if kind != "age" or not args.identity:
            return False
        return bool(_input.read_shares([source], args.max_share_size, decrypter(args)).sealed)
    except _input.InputError:
        return False


def cmd_unseal(args: argparse.Namespace) -> int:
    age = need_age()
    args.files = list(args.share_files)
    if not args.files:
        raise cli.CliError("unseal needs the sealed file (or embedded share files)", cli.EXIT_USAGE)
    if _is_share_file(args.files[0], args):
        args.share_files = args.files
        shares = cli.read_shares(args)
        return _unseal_embedded(age, shares, args)
    args.share_files = args.files[1:]
    if args.files[0] == "-" and "-" in (args.share_files or ["-"]):
        raise cli.CliError(
            "the sealed file and the shares cannot both come from standard input; "
            "name the share files",
            cli.EXIT_USAGE,
        )
    source = Input(args.files[0], args)
    try:
        shares = cli.read_shares(args)
        # Wrong shares are named before any output is made.
        age.identity_text(shares.texts, k=args.k)

        def fill(fd: int) -> None:
            transfer(
                source,
                fd,
                lambda reader, writer: age.unseal(reader, writer, shares.texts, k=args.k),
                lambda src, dst: age.unseal_file(src, dst, shares.texts, k=args.k),
            )

        write_file(args.output, fill, args)
    except age.AgeError as error:
        if args.output == "-" and source.delivered:
            raise age_failure(error, "standard output may hold part of the data") from None
        # Nothing of a damaged file is left to discard: its output file was removed.
        raise age_failure(ValueError(str(error).replace("; discard the output", ""))) from None
    finally:
        source.close()
    return cli.EXIT_OK


def _unseal_embedded(age: ModuleType, shares: _input.ShareLines, args: argparse.Namespace) -> int:
    if not shares.sealed:
        raise cli.CliError("no embedded sealed data in the share files given", cli.EXIT_REJECTED)
    data: Optional[bytes] = None
    failure: Optional[Exception] = None
    # Each distinct copy is tried in turn, so one damaged copy does not lose the data.
    for copy in shares.sealed:
        try:
            texts = [age.embed(share, copy) for share in shares.texts]
            data = age.unseal_embedded(texts, k=args.k)
            break
        except age.AgeError as error:
            failure = error
    if data is None:
        raise age_failure(failure or age.AgeError("nothing to unseal"))
    plain = data
    write_file(args.output, lambda fd: _output.write_all(fd, plain), args)
    return cli.EXIT_OK

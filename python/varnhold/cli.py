"""The `varnhold` command line: a thin front end over the `varnhold` package.

Every share is handled by the package; this module only reads and writes files, maps each
share back to the file and line it came from, and turns failures into one-line messages and
exit statuses. Outputs are written only after every check has passed, so a failed run leaves
no partial files behind.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from collections.abc import Sequence
from typing import BinaryIO, NoReturn

import varnhold

EXIT_OK = 0
EXIT_REJECTED = 1  # the shares were rejected (unreadable, foreign, inconsistent, too few)
EXIT_USAGE = 2  # the command itself is wrong: options, numbers, secret text, output places

STDIN_NAME = "<stdin>"
UTF8_BOM = b"\xef\xbb\xbf"
HEX_DIGITS = frozenset(b"0123456789abcdefABCDEF")
# A share file that starts like a PNG or JPEG file is a picture of a sheet or a QR code.
IMAGE_SIGNATURES = (b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff")
PAPER_EXTRA = "pip install 'varnhold[paper]'"
SECRET_BYTES = 32

# A message must never carry share or secret material, whatever produced it. Field elements
# are 32 hex digits and secrets 64, while nothing legitimate in a message (indices, counts,
# set ids of the report are printed separately) is that long, so long hex runs are blanked.
_LONG_HEX_RUN = re.compile(r"[0-9A-Fa-f]{16,}")

EPILOG = """\
exit status: 0 success; 1 the shares were rejected (unreadable, foreign, inconsistent,
too few); 2 usage error (bad option or number, malformed secret, output already exists).
Shares are read one per line from the files given, or from standard input; blank lines
are ignored. Output files are created with mode 0600 and never overwritten."""


class CliError(Exception):
    """A failure reported as one line on standard error with the given exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors fit on one line."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _scrub(text: str) -> str:
    return _LONG_HEX_RUN.sub("<hidden>", text)


def _stdin_bytes() -> bytes:
    return sys.stdin.buffer.read()


def _read_named(path: str, status: int) -> tuple[bytes, str]:
    """The bytes of a file (or of standard input for "-") and the name messages use."""
    if path == "-":
        return _stdin_bytes(), STDIN_NAME
    try:
        with open(path, "rb") as handle:
            return handle.read(), path
    except OSError as error:
        raise CliError(f"{path}: cannot read: {error.strerror or 'error'}", status) from None


# Reading shares


class ShareInput:
    """Share texts in input order, each with the file and line it came from."""

    def __init__(self) -> None:
        self.texts: list[str] = []
        self.origins: list[str] = []

    def add_source(self, data: bytes, name: str) -> None:
        if data.startswith(IMAGE_SIGNATURES):
            for number, text in enumerate(image_shares(data, name), start=1):
                self.texts.append(text)
                self.origins.append(f"{name}:code {number}")
            return
        if data.startswith(UTF8_BOM):
            data = data[len(UTF8_BOM) :]
        for number, line in enumerate(data.split(b"\n"), start=1):
            if line.endswith(b"\r"):
                line = line[:-1]
            if not line.strip():
                continue
            # Undecodable bytes become U+FFFD, which no share contains, so the package
            # reports the share as unreadable with its own reason.
            self.texts.append(line.decode("utf-8", errors="replace"))
            self.origins.append(f"{name}:{number}")

    def where(self, positions: Sequence[int]) -> str:
        names = [
            self.origins[p] if 0 <= p < len(self.origins) else f"share {p + 1}" for p in positions
        ]
        return ", ".join(names)


def read_shares(args: argparse.Namespace) -> ShareInput:
    """Reads the shares of the command and keeps them on args, so that an error raised
    later can name the file and line of each share it blames."""
    paths: Sequence[str] = args.share_files
    shares = ShareInput()
    args.shares_read = shares
    stdin_read = False
    for path in paths or ["-"]:
        if path == "-":
            if stdin_read:
                continue
            stdin_read = True
        data, name = _read_named(path, EXIT_REJECTED)
        shares.add_source(data, name)
    return shares


def image_shares(data: bytes, name: str) -> list[str]:
    """The texts of the QR codes in a picture; the image libraries load only here."""
    try:
        from varnhold import images

        return images.share_texts_in_image(data)
    except ImportError as error:
        raise paper_missing(error) from None
    except ValueError as error:
        raise CliError(f"{name}: {_scrub(str(error))}", EXIT_REJECTED) from None


def paper_missing(error: ImportError) -> CliError:
    return CliError(
        f"share sheets and pictures need the module {error.name or 'of the paper extra'}: "
        f"{PAPER_EXTRA}",
        EXIT_USAGE,
    )


def share_error_message(error: varnhold.ShareError, shares: ShareInput) -> str:
    # Only the reason is scrubbed: file names are the caller's own and may look like hex.
    reason = _scrub(getattr(error, "reason", None) or str(error))
    positions = tuple(getattr(error, "positions", ()))
    if positions:
        return f"{shares.where(positions)}: {reason}"
    return reason


# Secrets


def parse_secret(data: bytes, name: str, raw: bool) -> bytes:
    if raw:
        if len(data) != SECRET_BYTES:
            raise CliError(
                f"{name}: a raw secret must be exactly {SECRET_BYTES} bytes, not {len(data)}",
                EXIT_USAGE,
            )
        return data
    if data.startswith(UTF8_BOM):
        data = data[len(UTF8_BOM) :]
    text = data.strip()
    # bytes.fromhex would also accept spaces between digit pairs; only 64 digits are a secret.
    if len(text) != 2 * SECRET_BYTES or not HEX_DIGITS.issuperset(text):
        raise CliError(
            f"{name}: the secret must be {2 * SECRET_BYTES} hexadecimal digits "
            "(or exactly 32 bytes with --raw)",
            EXIT_USAGE,
        )
    return bytes.fromhex(text.decode("ascii"))


def render_secret(secret: bytes, raw: bool) -> bytes:
    return secret if raw else secret.hex().encode("ascii") + b"\n"


# Writing outputs


def _create_exclusive(path: str, data: bytes) -> None:
    flags = (
        os.O_WRONLY
        | os.O_CREAT
        | os.O_EXCL
        | getattr(os, "O_CLOEXEC", 0)
        | getattr(os, "O_NOFOLLOW", 0)
    )
    fd = os.open(path, flags, 0o600)
    try:
        # The umask may only have narrowed the mode; make it exactly owner read and write.
        os.fchmod(fd, 0o600)
        view = memoryview(data)
        while view:
            written = os.write(fd, view)
            view = view[written:]
        os.fsync(fd)
    finally:
        os.close(fd)


def write_files(files: Sequence[tuple[str, bytes]], made_dir: str | None = None) -> None:
    """Creates every file or none: nothing is overwritten, and a failure part-way removes
    what this call created (and the directory it made for them)."""
    for path, _ in files:
        if os.path.lexists(path):
            _remove_dir(made_dir)
            raise CliError(f"{path}: already exists; nothing was written", EXIT_USAGE)
    created: list[str] = []
    try:
        for path, data in files:
            try:
                _create_exclusive(path, data)
            except FileExistsError:
                raise CliError(f"{path}: already exists; nothing was written", EXIT_USAGE) from None
            except OSError as error:
                raise CliError(
                    f"{path}: cannot create: {error.strerror or 'error'}; nothing was written",
                    EXIT_USAGE,
                ) from None
            created.append(path)
    except BaseException:
        for path in created:
            try:
                os.unlink(path)
            except OSError:
                pass
        _remove_dir(made_dir)
        raise


def _remove_dir(path: str | None) -> None:
    if path is not None:
        try:
            os.rmdir(path)
        except OSError:
            pass


def prepare_dir(path: str) -> str | None:
    """Makes the output folder when it is missing; returns it when this run made it."""
    if os.path.isdir(path):
        return None
    if os.path.lexists(path):
        raise CliError(f"{path}: not a directory", EXIT_USAGE)
    try:
        os.mkdir(path, 0o700)
    except OSError as error:
        raise CliError(
            f"{path}: cannot create directory: {error.strerror or 'error'}", EXIT_USAGE
        ) from None
    return path


def write_shares(shares: Sequence[str], numbers: Sequence[int], directory: str | None) -> None:
    if directory is None:
        _write_stdout("".join(share + "\n" for share in shares).encode("ascii"))
        return
    made = prepare_dir(directory)
    files = [
        (os.path.join(directory, f"share-{number}.txt"), (share + "\n").encode("ascii"))
        for share, number in zip(shares, numbers)
    ]
    write_files(files, made)


def write_secret_output(data: bytes, path: str | None) -> None:
    if path is None or path == "-":
        _write_stdout(data)
    else:
        write_files([(path, data)])


def _write_stdout(data: bytes) -> None:
    out: BinaryIO = sys.stdout.buffer
    out.write(data)
    out.flush()


def share_numbers(shares: Sequence[str], k: int | None) -> list[int]:
    """The number of each share within its set (for Shamir its index), for file names."""
    report = varnhold.check(shares, k=k)
    numbers: list[int] = []
    for position, status in enumerate(report.shares):
        numbers.append(status.number if status.number is not None else position + 1)
    if len(set(numbers)) != len(numbers):
        numbers = list(range(1, len(shares) + 1))
    return numbers


# Subcommands


def cmd_keygen(args: argparse.Namespace) -> int:
    write_secret_output(render_secret(varnhold.generate_key(), raw=False), args.output)
    return EXIT_OK


def cmd_split(args: argparse.Namespace) -> int:
    data, name = _read_named(args.secret_file, EXIT_USAGE)
    secret = parse_secret(data, name, args.raw)
    try:
        if args.bare:
            import varnhold_core

            split_bare = (
                varnhold_core.shamir_split
                if args.scheme == "shamir"
                else varnhold_core.blakley_split
            )
            shares = split_bare(secret, args.k, args.n)
            numbers = list(range(1, len(shares) + 1))
        else:
            shares = varnhold.split(secret, args.k, args.n, scheme=args.scheme)
            numbers = (
                list(range(1, len(shares) + 1))
                if args.output is None
                else share_numbers(shares, None)
            )
    except (ValueError, OverflowError) as error:
        raise CliError(
            f"cannot split with -k {args.k} -n {args.n}: {_scrub(str(error))}", EXIT_USAGE
        ) from None
    write_shares(shares, numbers, args.output)
    return EXIT_OK


def cmd_combine(args: argparse.Namespace) -> int:
    shares = read_shares(args)
    secret = varnhold.combine(shares.texts, k=args.k)
    write_secret_output(render_secret(secret, args.raw), args.output)
    return EXIT_OK


def cmd_check(args: argparse.Namespace) -> int:
    shares = read_shares(args)
    report = varnhold.check(shares.texts, k=args.k)
    lines = [
        f"scheme: {report.scheme or 'unknown'}",
        f"k: {report.k if report.k is not None else 'unknown'}",
        f"set id: {report.set_id or ('none (bare shares)' if report.scheme else 'unknown')}",
        f"shares: {report.count}",
    ]
    bad: list[str] = []
    for status in report.shares:
        where = shares.where([status.position])
        number = f"number {status.number}" if status.number is not None else "number unknown"
        detail = f": {_scrub(status.reason)}" if status.reason else ""
        lines.append(f"  {where}: {number}: {status.state}{detail}")
        if status.state != "good":
            bad.append(f"{where} {status.state}")
    if report.problem:
        lines.append(f"problem: {_scrub(report.problem)}")
    lines.append("result: all shares agree" if report.ok else "result: rejected")
    _write_stdout(("\n".join(lines) + "\n").encode("utf-8"))
    if report.ok:
        return EXIT_OK
    summary = "; ".join(bad) if bad else _scrub(report.problem or "rejected")
    raise CliError(f"check failed: {summary}", EXIT_REJECTED)


def cmd_add_share(args: argparse.Namespace) -> int:
    shares = read_shares(args)
    new = varnhold.new_share(shares.texts, k=args.k, index=args.index)
    numbers = [share_numbers([*shares.texts, new], args.k)[-1]] if args.output else [0]
    write_shares([new], numbers, args.output)
    return EXIT_OK


def cmd_refresh(args: argparse.Namespace) -> int:
    shares = read_shares(args)
    fresh = varnhold.refresh(shares.texts, k=args.k)
    numbers = share_numbers(fresh, args.k) if args.output else []
    write_shares(fresh, numbers, args.output)
    return EXIT_OK


def cmd_print(args: argparse.Namespace) -> int:
    shares = read_shares(args)
    if not shares.texts:
        raise CliError("no share was given; no sheet was written", EXIT_REJECTED)
    from varnhold import sheet

    files: list[tuple[str, bytes]] = []
    printed: dict[int, int] = {}
    for position, text in enumerate(shares.texts):
        where = shares.where([position])
        try:
            made = sheet.make_sheet(text)
        except ImportError as error:
            raise paper_missing(error) from None
        except ValueError as error:
            raise CliError(
                f"{where}: {_scrub(str(error))}; no sheet was written", EXIT_REJECTED
            ) from None
        if made.number in printed:
            earlier = shares.where([printed[made.number]])
            raise CliError(
                f"{where}: a second share numbered {made.number} (the first is {earlier}); "
                "print each set into a folder of its own; no sheet was written",
                EXIT_USAGE,
            )
        printed[made.number] = position
        base = os.path.join(args.output, f"share-{made.number}")
        files += [(base + ".pdf", made.pdf), (base + ".svg", made.svg)]
    write_files(files, prepare_dir(args.output))
    return EXIT_OK


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="varnhold",
        description="Split a 32-byte secret into shares that any k of them rebuild, "
        "with mistakes caught.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"varnhold {varnhold.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name,
            help=summary,
            description=summary,
            epilog=EPILOG,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        return sub

    keygen = command("keygen", "write a fresh random key as 64 hexadecimal digits")
    keygen.add_argument(
        "-o", "--output", metavar="FILE", help="create FILE (mode 0600) instead of printing"
    )
    keygen.set_defaults(run=cmd_keygen)

    split = command("split", "split a secret into n shares, any k of which rebuild it")
    split.add_argument("-k", type=_count, required=True, help="shares needed to rebuild")
    split.add_argument("-n", type=_count, required=True, help="shares to make")
    split.add_argument("--scheme", choices=("shamir", "blakley"), default="shamir")
    split.add_argument(
        "--bare", action="store_true", help="write bare shares without the checksummed envelope"
    )
    split.add_argument("--raw", action="store_true", help="read the secret as exactly 32 raw bytes")
    split.add_argument(
        "-o", "--output", metavar="DIR", help="write share-<number>.txt files into DIR"
    )
    split.add_argument(
        "secret_file",
        nargs="?",
        default="-",
        metavar="SECRET_FILE",
        help="64 hexadecimal digits; standard input when absent or -",
    )
    split.set_defaults(run=cmd_split)

    def share_command(name: str, summary: str) -> argparse.ArgumentParser:
        sub = command(name, summary)
        sub.add_argument("-k", type=_count, default=None, help="threshold (needed for bare shares)")
        sub.add_argument(
            "share_files",
            nargs="*",
            metavar="SHARE_FILE",
            help="files of shares, one per line; standard input when none",
        )
        return sub

    combine = share_command("combine", "rebuild the secret; every share given is verified")
    combine.add_argument("--raw", action="store_true", help="write the secret as 32 raw bytes")
    combine.add_argument(
        "-o", "--output", metavar="FILE", help="create FILE (mode 0600) instead of printing"
    )
    combine.set_defaults(run=cmd_combine)

    check = share_command("check", "verify shares and report on them; no secret is written")
    check.set_defaults(run=cmd_check)

    add_share = share_command("add-share", "make one more share for an existing set")
    add_share.add_argument(
        "--index", type=_count, default=None, help="the new share's index (Shamir)"
    )
    add_share.add_argument(
        "-o", "--output", metavar="DIR", help="write share-<number>.txt into DIR"
    )
    add_share.set_defaults(run=cmd_add_share)

    refresh = share_command("refresh", "replace Shamir shares by new ones for the same secret")
    refresh.add_argument(
        "-o", "--output", metavar="DIR", help="write share-<number>.txt files into DIR"
    )
    refresh.set_defaults(run=cmd_refresh)

    sheets = command("print", "write a printable sheet (PDF and SVG, with a QR code) per share")
    sheets.add_argument(
        "-o",
        "--output",
        metavar="DIR",
        default=".",
        help="write share-<number>.pdf and .svg into DIR (default: the current folder)",
    )
    sheets.add_argument(
        "share_files",
        nargs="*",
        metavar="SHARE_FILE",
        help="files of envelope shares, one per line; standard input when none",
    )
    sheets.set_defaults(run=cmd_print)
    return parser


def _fail(message: str, status: int) -> int:
    try:
        sys.stderr.write(f"varnhold: {message}\n")
        sys.stderr.flush()
    except OSError:
        pass
    return status


def run(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except CliError as error:
        return _fail(error.message, error.status)
    except varnhold.ShareError as error:
        return _fail(share_error_message(error, _last_input(args)), EXIT_REJECTED)
    except BrokenPipeError:
        # The reader went away; nothing more can be said on standard output.
        _silence_stdout()
        return _fail("standard output closed before everything was written", EXIT_REJECTED)
    except KeyboardInterrupt:
        return _fail("interrupted; nothing was written", 130)
    except MemoryError:
        return _fail("out of memory", EXIT_REJECTED)
    except OSError as error:
        return _fail(f"{error.strerror or type(error).__name__}", EXIT_REJECTED)
    except Exception as error:  # noqa: BLE001 - never a traceback, never a value
        return _fail(f"internal error ({type(error).__name__})", EXIT_REJECTED)
    except BaseException as error:
        if isinstance(error, SystemExit):
            raise
        # The native code's internal failure (the random source failing) derives from
        # BaseException; its message never holds secret data.
        return _fail(f"internal failure: {_scrub(str(error))}", EXIT_REJECTED)


def _last_input(args: argparse.Namespace) -> ShareInput:
    shares = getattr(args, "shares_read", None)
    return shares if isinstance(shares, ShareInput) else ShareInput()


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except OSError:
        pass


def main(argv: Sequence[str] | None = None) -> NoReturn:
    sys.exit(run(argv))

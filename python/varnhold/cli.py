"""The `varnhold` command line: a thin front end over the `varnhold` package.

Every share is handled by the package; this module only parses the command, reads its inputs
through `_input` (bounded before they are read), writes its outputs through `_output` (complete
or absent, whatever fails or interrupts the run), maps each share back to the file and line it
came from, and turns failures into one-line messages and exit statuses.
"""

from __future__ import annotations

import argparse
import os
import sys

import varnhold

# _input and _output are imported by the commands that read or write (the help and argument
# errors need neither, and importing them took a good part of printing the help); a type
# checker takes this block as always run. typing is imported by a type checker only: see _input.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, NoReturn, Sequence

    from . import _input

EXIT_OK = 0
EXIT_REJECTED = 1  # the shares were rejected, or an input or output failed
EXIT_USAGE = 2  # the command itself is wrong: options, numbers, secret text, output places
EXIT_SIGNAL = 128  # plus the signal's number, as a shell reports it

STDIN_NAME = "<stdin>"
UTF8_BOM = b"\xef\xbb\xbf"
HEX_DIGITS = frozenset(b"0123456789abcdefABCDEF")
PAPER_EXTRA = "pip install 'varnhold[paper]'"
HEX_TEXT = frozenset("0123456789abcdefABCDEF")
SECRET_BYTES = 32
SHAMIR_INDEX_LIMIT = (1 << 127) - 1

# A message must never carry share or secret material, whatever produced it. Field elements
# are 32 hex digits and secrets 64, while nothing legitimate in a reason (counts and indices
# are small; set ids are printed separately by check) is 8 hex digits long, so such runs are
# blanked. File names are the caller's own and are never blanked.
HIDDEN_RUN = 8

# Said once, on the top-level help; each subcommand's help points to it.
EPILOG = """\
exit status: 0 success; 1 the shares were rejected (unreadable, foreign, inconsistent,
too few), an input could not be read or an output could not be written; 2 usage error
(bad option or number, malformed secret, output that exists or cannot be made there);
128+N ended by signal N (130 for Ctrl-C). Shares are read one per line from the files
given, or from standard input; blank lines are ignored; a line is at most 1 MiB unless
--max-share-size allows more, a run at most 1048576 shares. Output files are created with
mode 0600 (folders 0700) and never overwritten; a failed or interrupted run leaves none.
At a terminal, shares and secrets are asked for with the input hidden."""
SEE_ALSO = "exit status, input and output rules: varnhold --help"

# Shares added by add-share without --index get a random index (Shamir) or number (Blakley)
# drawn from the operating system in [2^32, 2^64). A split numbers its shares 1..n with
# n <= 2^20, so no share of the set can hold it; two added shares collide with probability
# 1 / (2^64 - 2^32), about 5.4e-20, and m added shares with about m^2 / 2^65.
FRESH_LOW = 1 << 32
FRESH_HIGH = 1 << 64


class CliError(Exception):
    """A failure reported as one line on standard error with the given exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors fit on one line and point to its own help. A parser made
    with `built=False` is a subcommand that is listed but not run: it is never set up as a parser
    and its arguments are never defined (setting up the parsers was most of the command line's
    start-up); it keeps what it was given (prog, description, formatter_class...) and takes
    `add_argument` and `set_defaults`, which do nothing, and no other call."""

    def __init__(self, *args: Any, built: bool = True, **kwargs: Any) -> None:
        self.built = built
        if built:
            super().__init__(*args, **kwargs)
        else:
            self.__dict__.update(kwargs)

    def add_argument(self, *args: Any, **kwargs: Any) -> Any:
        return super().add_argument(*args, **kwargs) if self.built else None

    def set_defaults(self, **kwargs: Any) -> None:
        if self.built:
            super().set_defaults(**kwargs)

    def _check_help(self, action: argparse.Action) -> None:
        # Newer argparse checks each subcommand's help text with the subcommand's own parser.
        if self.built:
            getattr(super(), "_check_help", lambda action: None)(action)

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def unrecognized(self, extra: Sequence[str]) -> NoReturn:
        """Refuses options this command does not know, suggesting the short option a long
        spelling stands for (`--k` for `-k`)."""
        hints = [
            word.split("=")[0][1:]
            for word in extra
            if word.startswith("--") and word.split("=")[0][1:] in self._option_string_actions
        ]
        hint = f" (did you mean {', '.join(hints)}?)" if hints else ""
        self.error(f"unrecognized arguments: {' '.join(map(printable, extra))}{hint}")


def _scrub(text: str) -> str:
    """`text` with every run of HIDDEN_RUN or more hexadecimal digits replaced."""
    out: list[str] = []
    run = 0
    for ch in text:
        if ch in HEX_TEXT:
            run += 1
            out.append(ch)
            continue
        if run >= HIDDEN_RUN:
            del out[len(out) - run :]
            out.append("<hidden>")
        run = 0
        out.append(ch)
    if run >= HIDDEN_RUN:
        del out[len(out) - run :]
        out.append("<hidden>")
    return "".join(out)


def printable(text: str) -> str:
    """`text` on one line: undecodable bytes of a file name and control characters are
    written as escapes."""
    if text.isprintable():
        return text
    out = []
    for ch in text:
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte of a name (surrogateescape)
            out.append(f"\\x{code - 0xDC00:02x}")
        elif not ch.isprintable():
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")
        else:
            out.append(ch)
    return "".join(out)


def _looks_like_share(text: str) -> bool:
    """True for an argument that is share or secret text rather than a file name: no folder
    separator, and a run of 16 or more hexadecimal digits with a colon, or 64 digits alone."""
    if os.sep in text or "/" in text:
        return False
    longest = run = 0
    for ch in text:
        run = run + 1 if ch in HEX_TEXT else 0
        longest = max(longest, run)
    return longest >= 16 and (":" in text or len(text.strip()) == 2 * SECRET_BYTES)


def _source(path: str, args: argparse.Namespace) -> _input.Source:
    """The input named by an argument; text that looks like a share is named by its position
    among the arguments and never shown."""
    from . import _input

    if path == "-":
        return _input.Source(None, STDIN_NAME)
    if _looks_like_share(path):
        argv: list[str] = args.argv
        number = argv.index(path) + 1 if path in argv else 0
        return _input.Source(path, f"argument {number} (share text, not a file name)")
    return _input.Source(path, printable(path))


def fresh_index() -> int:
    """A share index no share of a split can hold, from the operating system's random source."""
    return FRESH_LOW + int.from_bytes(os.urandom(8), "big") % (FRESH_HIGH - FRESH_LOW)


def note(message: str) -> None:
    """A line on standard error that is not an error: what was written, what was left out."""
    from . import _output

    try:
        _output.write_all(2, printable(f"varnhold: {message}").encode("utf-8") + b"\n")
    except OSError:
        pass


def describe(reason: str, text: str, command: str = "") -> str:
    """A share's reason as a custodian reads it; `text` (the share) decides the wording and is
    never shown. `command` is the subcommand that read the share: reshare's -k is the new set's,
    so a bare share, which only the old k would let it read, is told apart there."""
    if text.startswith("VH") and text == text.upper():
        return "written in upper case; envelope shares are read in lower case only: retype it"
    if "only be read when k is given" in reason:
        if command == "reshare":
            return "a bare share (no envelope); reshare reads envelope shares only"
        return "a bare share (no envelope), which can only be read with -k K"
    return _scrub(reason)


def _check_stdin(source: _input.Source, args: argparse.Namespace, status: int) -> None:
    if source.path is None and 0 in args.closed_streams:
        raise CliError("standard input is closed", status)


# Reading shares


def read_shares(args: argparse.Namespace) -> _input.ShareLines:
    """Reads the shares of the command and keeps them on args, so that an error raised
    later can name the file and line of each share it blames."""
    from . import _input

    if not args.share_files and 0 not in args.closed_streams and os.isatty(0):
        from . import _prompt

        typed = _prompt.read_shares(
            args.k, lambda reason, text: describe(reason, text, args.command)
        )
        args.shares_read = typed
        return typed
    sources = [_source(path, args) for path in args.share_files or ["-"]]
    for source in sources:
        _check_stdin(source, args, EXIT_REJECTED)
    decrypt = None
    if getattr(args, "identity", None):
        from . import _age_cli

        decrypt = _age_cli.decrypter(args)
    try:
        shares = _input.read_shares(sources, args.max_share_size, decrypt)
    except _input.InputError as error:
        raise CliError(error.message, EXIT_REJECTED) from None
    except ImportError as error:
        raise paper_missing(error) from None
    args.shares_read = shares
    return shares


def paper_missing(error: ImportError) -> CliError:
    return CliError(
        f"share sheets and pictures need the module {error.name or 'of the paper extra'}: "
        f"{PAPER_EXTRA}",
        EXIT_USAGE,
    )


def share_error_message(
    error: varnhold.ShareError, shares: _input.ShareLines, command: str = ""
) -> str:
    # Only the reason is scrubbed: file names are the caller's own and may look like hex.
    reason = _scrub(getattr(error, "reason", None) or str(error))
    positions = tuple(getattr(error, "positions", ()))
    if error.groups:
        sets = "; ".join(
            f"set {number}: {shares.where(group)}"
            for number, group in enumerate(error.groups, start=1)
        )
        return f"{reason} ({sets})"
    if "only be read when k is given" in reason:
        reason = describe(reason, "", command)
    if positions:
        first = positions[0]
        text = shares.texts[first] if first < len(shares.texts) else ""
        if len(positions) == 1 and text:
            reason = describe(reason, text) if reason.startswith("Invalid") else reason
        return f"{shares.where(positions)}: {reason}"
    return reason


def dropped_shares(
    report: varnhold.ShareReport, shares: _input.ShareLines, command: str = ""
) -> list[str]:
    """Each share that is not good, named with its reason; a repeat names what it repeats.
    Shares left out for the same reason are named together, the reason said once."""
    from . import _input

    reasons: dict[str, list[int]] = {}
    first_seen: dict[str, int] = {}
    named = 0  # repeats named with what they repeat: the first few, so the reasons stay few
    for status in report.shares:
        if status.state == "good":
            continue
        text = shares.texts[status.position]
        reason = describe(status.reason or status.state, text, command)
        if status.state == "duplicate" and named < _input.NAMED_POSITIONS:
            if not first_seen:
                for position, seen in enumerate(shares.texts):
                    first_seen.setdefault(seen, position)
            first = first_seen.get(text, status.position)
            if first < status.position:
                reason = f"repeats {shares.origin(first)}"
                named += 1
        reasons.setdefault(f"{status.state}: {reason}", []).append(status.position)
    return [f"{shares.where(positions)}: {reason}" for reason, positions in reasons.items()]


# Secrets


def read_secret(args: argparse.Namespace) -> bytes:
    from . import _input

    source = _source(args.secret_file, args)
    _check_stdin(source, args, EXIT_USAGE)
    if source.path is None and os.isatty(0):
        if args.raw:
            raise CliError(
                "a raw secret cannot be typed at a terminal: give it in a file "
                "(varnhold split --raw -k 3 -n 5 key.bin)",
                EXIT_USAGE,
            )
        from . import _prompt

        return parse_secret(_prompt.read_secret(), "the key typed", raw=False)
    try:
        data = _input.read_secret(source)
    except _input.InputError as error:
        raise CliError(error.message, EXIT_USAGE) from None
    return parse_secret(data, source.name, args.raw)


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


def write_stdout(data: bytes, args: argparse.Namespace) -> None:
    if 1 in args.closed_streams:
        raise CliError("standard output is closed; nothing was written", EXIT_REJECTED)
    from . import _output

    _output.write_stdout(data)


def write_shares(
    shares: Sequence[str],
    numbers: Sequence[int],
    directory: str | None,
    args: argparse.Namespace,
    extra: Sequence[tuple[str, bytes]] = (),
    contents: Sequence[str] | None = None,
    sealed: tuple[str, Callable[[int], None]] | None = None,
) -> None:
    """Writes the shares, one file each (`contents` when a file holds more than its share
    line), with the `extra` files and the `sealed` file that its writer streams, all in one
    transaction; with --to each share file is encrypted to its custodian."""
    from . import _output

    if directory is None:
        write_stdout("".join(share + "\n" for share in shares).encode("ascii"), args)
        return
    texts = contents if contents is not None else [share + "\n" for share in shares]
    files = [(f"share-{number}.txt", text.encode("ascii")) for number, text in zip(numbers, texts)]
    if getattr(args, "to_recipients", None) is not None:
        from . import _age_cli

        files = _age_cli.encrypt_files(files, args)
    files += extra
    names = [name for name, _ in files] + ([sealed[0]] if sealed else [])
    with _output.Transaction() as out:
        folder = out.folder(directory, create=True, name=printable(directory))
        out.refuse_existing(folder, names)
        for name, data in files:
            out.write(folder, name, data)
        if sealed:
            out.stream(folder, sealed[0], sealed[1])
    listed = names[0] if len(names) == 1 else f"{names[0]} .. {names[-1]}"
    count = "1 share" if len(shares) == 1 else f"{len(shares)} shares"
    others = len(names) - len(shares)
    also = f" and {others} more file{'s' if others > 1 else ''}" if others else ""
    note(f"wrote {count}{also} into {directory}: {listed}")


def write_secret_output(data: bytes, path: str | None, args: argparse.Namespace) -> None:
    from . import _output

    if path is None or path == "-":
        write_stdout(data, args)
        return
    parent, name = os.path.split(path)
    if not name:
        raise CliError(f"{printable(path)}: not a file name", EXIT_USAGE)
    with _output.Transaction() as out:
        place = parent or "."
        folder = out.folder(place, create=False, name=printable(place), follow=True)
        out.refuse_existing(folder, [name])
        out.write(folder, name, data)
    note(f"wrote {path} (mode 0600)")


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
    if args.age:
        from . import _age_cli

        return _age_cli.cmd_keygen_age(args)
    if args.k is not None or args.n is not None or args.to is not None:
        raise CliError("-k, -n and --to go with keygen --age", EXIT_USAGE)
    write_secret_output(render_secret(varnhold.generate_key(), raw=False), args.output, args)
    return EXIT_OK


def prepare_to(args: argparse.Namespace) -> None:
    if args.to is not None:
        from . import _age_cli

        _age_cli.prepare_to(args)


def cmd_split(args: argparse.Namespace) -> int:
    prepare_to(args)
    secret = read_secret(args)
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
        raise bad_size("split", args.k, args.n, _scrub(str(error))) from None
    write_shares(shares, numbers, args.output, args)
    return EXIT_OK


def bad_size(command: str, k: int, n: int, reason: str) -> CliError:
    return CliError(
        f"cannot {command} with -k {k} -n {n}: {reason} (2 <= k <= n <= {varnhold.MAX_SHARES})",
        EXIT_USAGE,
    )


def undetermined(error: varnhold.ShareError, shares: _input.ShareLines, command: str) -> Exception:
    """What combine says when the shares do not determine the secret: each share left out with
    its reason, then what is missing; any other share error as it is."""
    from . import _input

    if error.positions and error.report is not None:
        left = dropped_shares(error.report, shares, command)[: _input.NAMED_POSITIONS]
        # Without k (bare shares without -k) the reason of each share says it all.
        rest = f"; {_scrub(error.reason)}" if error.report.k is not None else ""
        return CliError(f"{'; '.join(left)}{rest}", EXIT_REJECTED)
    return error


def warn_left_out(
    report: varnhold.ShareReport, shares: _input.ShareLines, made: str, command: str
) -> None:
    """A warning for each share left out, and what the good ones made, said before the output."""
    lines = dropped_shares(report, shares, command)
    for line in lines:
        note(f"warning: left out {line}")
    if lines:
        good = sum(1 for status in report.shares if status.state == "good")
        note(f"warning: {made} from the {good} good shares")


def cmd_combine(args: argparse.Namespace) -> int:
    shares = read_shares(args)
    if args.age:
        if args.raw:
            raise CliError(
                "--age writes the identity as text; it does not go with --raw", EXIT_USAGE
            )
        if args.unchecked:
            raise CliError("--unchecked does not go with --age", EXIT_USAGE)
        from . import _age_cli

        write_secret_output(_age_cli.identity_text(args, shares.texts), args.output, args)
        return EXIT_OK
    try:
        recovery = varnhold.recover(shares.texts, k=args.k, unchecked=args.unchecked)
    except varnhold.ShareError as error:
        raise undetermined(error, shares, args.command) from None
    warn_left_out(recovery.report, shares, "the secret was rebuilt", args.command)
    write_secret_output(render_secret(recovery.secret, args.raw), args.output, args)
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
    bad: list[int] = []
    for status in report.shares:
        where = shares.origin(status.position)
        number = f"number {status.number}" if status.number is not None else "number unknown"
        detail = (
            f": {describe(status.reason, shares.texts[status.position])}" if status.reason else ""
        )
        lines.append(f"  {where}: {number}: {status.state}{detail}")
        if status.state != "good":
            bad.append(status.position)
    if report.partial:
        # Fewer than k shares, each intact: a custodian checking their own share.
        intact = "intact" if report.set_id else "readable (bare shares carry no checksum)"
        what = f"this share is {intact}" if report.count == 1 else f"these shares are {intact}"
        lines.append(f"good: {what}; {report.k} shares of this set are needed to recover")
    else:
        if report.problem:
            lines.append(f"problem: {_scrub(report.problem)}")
        lines.append("result: all shares agree" if report.ok else "result: rejected")
    write_stdout(("\n".join(lines) + "\n").encode("utf-8"), args)
    if report.ok or report.partial:
        return EXIT_OK
    summary = f"{shares.where(bad)} not good" if bad else _scrub(report.problem or "rejected")
    raise CliError(f"check failed: {summary}", EXIT_REJECTED)


def cmd_add_share(args: argparse.Namespace) -> int:
    prepare_to(args)
    shares = read_shares(args)
    report = varnhold.check(shares.texts, k=args.k)
    index = args.index
    if index is None and report.ok and (report.scheme == "shamir" or report.set_id):
        # Never a copy of a share the set already has: a fresh index (see FRESH_LOW). A bare
        # Blakley share has no number to give.
        index = fresh_index()
    new = varnhold.new_share(shares.texts, k=args.k, index=index, unchecked=args.unchecked)
    number = share_numbers([*shares.texts, new], args.k)[-1]
    if args.index is not None:
        # A version 2 share's number decides its values in both schemes; a version 1 Blakley
        # share gets a fresh hyperplane.
        note(
            f"remade share {args.index} on purpose (--index {args.index}): the same share as before"
            if report.scheme == "shamir" or not new.startswith("vh1-")
            else f"made a new share {args.index} on purpose (--index {args.index}); an old "
            f"share {args.index} still works beside it"
        )
    write_shares([new], [number], args.output, args)
    return EXIT_OK


def cmd_refresh(args: argparse.Namespace) -> int:
    prepare_to(args)
    shares = read_shares(args)
    fresh = varnhold.refresh(shares.texts, k=args.k, unchecked=args.unchecked)
    numbers = share_numbers(fresh, args.k) if args.output else []
    write_shares(fresh, numbers, args.output, args)
    return EXIT_OK


def cmd_reshare(args: argparse.Namespace) -> int:
    k, n, limit = args.new_k, args.n, varnhold.MAX_SHARES
    if not 2 <= k <= n <= limit:
        # Refused before a share is read or typed; the native call checks them again.
        raise CliError(
            f"cannot reshare with -k {k} -n {n}: a set needs 2 <= k <= n <= {limit}", EXIT_USAGE
        )
    prepare_to(args)
    shares = read_shares(args)
    used, report = usable_shares(shares, args.command)
    try:
        fresh = varnhold.reshare(used, k, n, scheme=args.scheme)
    except varnhold.ShareError as error:
        # Blamed among the shares used: named by their place among the shares given.
        kept = [status.position for status in report.shares if status.state == "good"]
        error.positions = tuple(kept[position] for position in error.positions)
        raise
    except (ValueError, OverflowError) as error:
        raise bad_size("reshare", k, n, _scrub(str(error))) from None
    warn_left_out(report, shares, "the new set was made", args.command)
    write_shares(fresh, share_numbers(fresh, None) if args.output else [], args.output, args)
    return EXIT_OK


def usable_shares(
    shares: _input.ShareLines, command: str
) -> tuple[list[str], varnhold.ShareReport]:
    """The shares that rebuild the secret, chosen as combine chooses them (`varnhold.recover`):
    the good ones, when they determine it; shares of two sets, or too few good ones, are refused
    with combine's messages. Only the report is read here: the secret stays in the native call
    that uses the shares."""
    report = varnhold.check(shares.texts)
    if any(status.state == "foreign" for status in report.shares):
        raise varnhold._sets_error(shares.texts, report, None)
    if report.problem is not None:
        dropped = tuple(status.position for status in report.shares if status.state != "good")
        raise undetermined(varnhold._undetermined_error(report, dropped), shares, command)
    good = [shares.texts[status.position] for status in report.shares if status.state == "good"]
    return good, report


def cmd_print(args: argparse.Namespace) -> int:
    shares = read_shares(args)
    if not shares.texts:
        raise CliError("no share was given; no sheet was written", EXIT_REJECTED)
    from varnhold import _output, sheet

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
        base = f"share-{made.number}"
        files += [(base + ".pdf", made.pdf), (base + ".svg", made.svg)]
    with _output.Transaction() as out:
        folder = out.folder(args.output, create=True, name=printable(args.output))
        out.refuse_existing(folder, [name for name, _ in files])
        for name, data in files:
            out.write(folder, name, data)
    sheets = "1 sheet" if len(files) == 2 else f"{len(files) // 2} sheets"
    note(f"wrote {sheets} into {args.output}: {files[0][0]} .. {files[-1][0]}")
    return EXIT_OK


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        shown = "<hidden>" if _looks_like_share(text) else repr(printable(text))
        raise argparse.ArgumentTypeError(f"not a whole number: {shown}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def _index(text: str) -> int:
    value = _count(text)
    if value >= SHAMIR_INDEX_LIMIT:
        raise argparse.ArgumentTypeError("must be below 2^127-1")
    return value


def _size(text: str) -> int:
    value = _count(text)
    if value > 1 << 40:
        raise argparse.ArgumentTypeError("must be at most 2^40 bytes")
    return value


def _default_max_share_size(sub: argparse.ArgumentParser) -> int | None:
    """The longest share line a subcommand reads by default; None for a subcommand that is only
    listed, whose arguments are never defined (the limit's owner, _input, is not imported then)."""
    if isinstance(sub, _Parser) and not sub.built:
        return None
    from . import _input

    return _input.DEFAULT_MAX_SHARE_SIZE


def _age_command(name: str) -> Callable[[argparse.Namespace], int]:
    def run_command(args: argparse.Namespace) -> int:
        from . import _age_cli

        command: Callable[[argparse.Namespace], int] = getattr(_age_cli, name)
        return command(args)

    return run_command


class _Formatter(argparse.HelpFormatter):
    """argparse's formatter, told the terminal's width as argparse would find it (COLUMNS, else
    the terminal, else 80), without importing shutil for it: every argument defined and every
    help shown makes a formatter. Paragraphs are filled to the width, except lists of examples
    (a paragraph whose lines are indented or end with a colon), which are kept as written."""

    def __init__(self, prog: str) -> None:
        try:
            columns = int(os.environ.get("COLUMNS", "0")) or os.get_terminal_size(1).columns
        except (ValueError, OSError):
            columns = 80
        super().__init__(prog, width=max(columns, 1) - 2)

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        fill = super()._fill_text
        blocks = text.split("\n\n")
        return "\n\n".join(
            block
            if any(line.startswith("  ") or line.endswith(":") for line in block.splitlines())
            else fill(block, width, indent)
            for block in blocks
        )


def build_parser(only: str | None = None) -> _Parser:
    """The command line's parser; with `only`, the arguments of that subcommand alone are
    defined (the others are listed in the help, and never run)."""
    parser = _Parser(
        prog="varnhold",
        description="Split a 32-byte secret into shares that any k of them rebuild, "
        "with mistakes caught; protect files of any size with a threshold age identity "
        "(seal, unseal; Python 3.10 or later).",
        epilog=EPILOG,
        formatter_class=_Formatter,
    )
    parser.add_argument("--version", action="version", version=f"varnhold {varnhold.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    parser.set_defaults(subparsers={})

    def command(name: str, summary: str, details: str, *examples: str) -> argparse.ArgumentParser:
        shown = "\n".join(f"  {example}" for example in examples)
        sub = commands.add_parser(
            name,
            help=summary,
            description=f"{summary[0].upper()}{summary[1:]}. {details}",
            epilog=f"examples:\n{shown}\n\n{SEE_ALSO}",
            formatter_class=_Formatter,
            built=only in (None, name),
        )
        parser.get_default("subparsers")[name] = sub
        return sub

    def to_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--to",
            metavar="RECIPIENTS",
            help="a file of one age or SSH recipient per line, in share order: each share is "
            "written as share-<number>.txt.age encrypted to its custodian (needs -o DIR)",
        )

    keygen = command(
        "keygen",
        "write a fresh random key as 64 hexadecimal digits, or with --age a threshold age "
        "identity split into shares",
        "The key comes from the operating system's random source. With --age it is an age "
        "identity whose shares go into DIR with its recipient in DIR/recipient.txt.",
        "varnhold keygen -o key.txt          # a new file, mode 0600",
        "varnhold keygen --age -k 3 -n 5 -o shares   # prints the recipient age1...",
    )
    keygen.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="create FILE (mode 0600) instead of printing; with --age the folder DIR for the "
        "shares and recipient.txt",
    )
    keygen.add_argument(
        "--age", action="store_true", help="make an age identity split into shares (needs -k -n -o)"
    )
    keygen.add_argument("-k", type=_count, default=None, help="with --age: shares needed")
    keygen.add_argument("-n", type=_count, default=None, help="with --age: shares to make")
    keygen.add_argument("--scheme", choices=("shamir", "blakley"), default="shamir")
    to_option(keygen)
    keygen.set_defaults(run=cmd_keygen)

    split = command(
        "split",
        "split a secret into n shares, any k of which rebuild it",
        "The secret is 64 hexadecimal digits (32 raw bytes with --raw) from SECRET_FILE or "
        "standard input; at a terminal it is asked for with the input hidden. Each share is "
        "one line: an envelope with the scheme, k, a set id, the share's number and a "
        "checksum, or varnhold_core's bare share with --bare.",
        "varnhold split -k 3 -n 5 -o shares key.txt   # shares/share-1.txt .. share-5.txt",
        "varnhold split -k 2 -n 3 --scheme blakley < key.txt",
    )
    split.add_argument("-k", type=_count, required=True, help="shares needed to rebuild")
    split.add_argument("-n", type=_count, required=True, help="shares to make")
    split.add_argument(
        "--scheme",
        choices=("shamir", "blakley"),
        default="shamir",
        help="shamir (default): polynomials; blakley: hyperplanes (envelope shares are as long "
        "in both, whatever k; bare Blakley shares grow with k)",
    )
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
    to_option(split)
    split.set_defaults(run=cmd_split)

    def share_command(
        name: str,
        summary: str,
        details: str,
        *examples: str,
        metavar: str = "SHARE_FILE",
        files_help: str = "files of shares, one per line; standard input when none",
        threshold: bool = True,
    ) -> argparse.ArgumentParser:
        details += (
            " Shares are read from the files given, one a line, or from standard input; at a "
            "terminal they are asked for one at a time, hidden, each checked as it is typed."
        )
        sub = command(name, summary, details, *examples)
        if threshold:
            sub.add_argument(
                "-k", type=_count, default=None, help="threshold (needed for bare shares)"
            )
        else:
            sub.set_defaults(k=None)  # envelope shares only: each names its set's k
        sub.add_argument("share_files", nargs="*", metavar=metavar, help=files_help)
        sub.add_argument(
            "--max-share-size",
            type=_size,
            default=_default_max_share_size(sub),
            metavar="BYTES",
            help="longest share line accepted (default 1 MiB; version 1 and bare Blakley shares "
            "of a large k are longer)",
        )
        sub.add_argument(
            "-i",
            "--identity",
            action="append",
            metavar="IDENTITY_FILE",
            help="an age identity file or SSH private key (no passphrase) that opens share "
            "files encrypted to a custodian (.age); repeatable",
        )
        return sub

    def unchecked_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--unchecked",
            action="store_true",
            help="read exactly k bare shares, which nothing can check: no protection, a wrong "
            "share gives a wrong secret without an error",
        )

    combine = share_command(
        "combine",
        "rebuild the secret; every share given is verified",
        "A share that fails its own check, repeats another or is located as wrong is left "
        "out with a warning when the others still determine the secret; shares of different "
        "sets are refused.",
        "varnhold combine -o key.txt share-1.txt share-3.txt share-5.txt",
        "cat shares/share-*.txt | varnhold combine",
    )
    combine.add_argument("--raw", action="store_true", help="write the secret as 32 raw bytes")
    combine.add_argument(
        "--age", action="store_true", help="write the age identity AGE-SECRET-KEY-1... instead"
    )
    combine.add_argument(
        "-o", "--output", metavar="FILE", help="create FILE (mode 0600) instead of printing"
    )
    unchecked_option(combine)
    combine.set_defaults(run=cmd_combine)

    check = share_command(
        "check",
        "verify shares and report on them; no secret is written",
        "Each share's own state is reported; one share alone, or fewer than k, is 'good' when "
        "each is intact and of one set; k or more are also checked against each other.",
        "varnhold check share-3.txt           # a custodian checks their own share",
        "varnhold check shares/share-*.txt",
    )
    check.set_defaults(run=cmd_check)

    add_share = share_command(
        "add-share",
        "make one more share for an existing set",
        "The new Shamir share gets a fresh random index (at least 2^32) that no share of the "
        "set holds, so it is never a copy of a custodian's share; --index remakes a given "
        "share on purpose.",
        "varnhold add-share -o shares share-1.txt share-3.txt share-5.txt",
        "varnhold add-share --index 2 -o shares share-1.txt share-3.txt share-5.txt",
    )
    add_share.add_argument(
        "--index",
        type=_index,
        default=None,
        metavar="X",
        help="remake share X, for instance to replace a lost share (version 1 Blakley: a new "
        "share numbered X)",
    )
    add_share.add_argument(
        "-o", "--output", metavar="DIR", help="write share-<number>.txt into DIR"
    )
    unchecked_option(add_share)
    to_option(add_share)
    add_share.set_defaults(run=cmd_add_share)

    refresh = share_command(
        "refresh",
        "replace shares by new ones for the same secret",
        "The new shares have the same numbers and a new set id; they no longer combine with "
        "the old ones, so lost or stolen old shares become useless.",
        "varnhold refresh -o renewed share-1.txt share-3.txt share-5.txt",
        "cat share-*.txt | varnhold refresh",
    )
    refresh.add_argument(
        "-o", "--output", metavar="DIR", help="write share-<number>.txt files into DIR"
    )
    unchecked_option(refresh)
    to_option(refresh)
    refresh.set_defaults(run=cmd_refresh)

    reshare = share_command(
        "reshare",
        "make a new set of n shares, any k of which rebuild the same secret, from shares of "
        "an existing set",
        "The old shares are envelope shares, read and verified as combine reads them (at least k "
        "of one set; a damaged share among more is left out with a warning). The secret is "
        "rebuilt and split again inside one native call, then wiped: it is never written to a "
        "file or a message, nor handed to Python. The new set is version 2, with a new set id "
        "and the old set's scheme unless --scheme says otherwise; old and new shares never "
        "combine together.",
        "varnhold reshare -k 4 -n 7 -o board shares/share-*.txt   # 3 of 5 becomes 4 of 7",
        "cat share-2.txt share-4.txt | varnhold reshare -k 2 -n 2 --scheme blakley",
        threshold=False,
    )
    reshare.add_argument(
        "-k", dest="new_k", metavar="K", type=_count, required=True, help="shares the new set needs"
    )
    reshare.add_argument("-n", type=_count, required=True, help="shares of the new set to make")
    reshare.add_argument(
        "--scheme",
        choices=("shamir", "blakley"),
        default=None,
        help="the new set's scheme (default: the old set's)",
    )
    reshare.add_argument(
        "-o", "--output", metavar="DIR", help="write share-<number>.txt files into DIR"
    )
    to_option(reshare)
    reshare.set_defaults(run=cmd_reshare)

    recipient = share_command(
        "recipient",
        "print the age recipient of the identity the shares hold",
        "Only the public recipient age1... is printed; the identity never leaves.",
        "varnhold recipient share-1.txt share-3.txt share-5.txt",
        "varnhold recipient shares/share-*.txt > recipient.txt",
    )
    recipient.set_defaults(run=_age_command("cmd_recipient"))

    seal = command(
        "seal",
        "encrypt a file of any size to a threshold age recipient (-r), or to a new identity "
        "whose shares are written with it (-k -n -o DIR)",
        "Anyone can seal to the recipient; unsealing needs k shares. Large files are streamed; "
        "the output is complete or absent (Python 3.10 or later).",
        "varnhold seal -r shares/recipient.txt backup.tar",
        "varnhold seal -k 3 -n 5 -o vault passwords.kdbx   # vault/passwords.kdbx.age + shares",
    )
    seal.add_argument(
        "-r",
        "--recipient",
        action="append",
        metavar="RECIPIENT_OR_FILE",
        help="an age or SSH recipient, or a file of them (such as recipient.txt); repeatable",
    )
    seal.add_argument("-k", type=_count, default=None, help="a new identity: shares needed")
    seal.add_argument("-n", type=_count, default=None, help="a new identity: shares to make")
    seal.add_argument("--scheme", choices=("shamir", "blakley"), default="shamir")
    seal.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="with -r: the sealed file (default FILE.age; - for standard output); with -k -n: "
        "the folder DIR for the shares, recipient.txt and FILE.age",
    )
    seal.add_argument("-a", "--armor", action="store_true", help="write ASCII-armored age")
    seal.add_argument(
        "--embed",
        action="store_true",
        help="write the sealed data (at most 64 KiB) into every share file, so that any k "
        "share files alone recover it",
    )
    to_option(seal)
    seal.add_argument("file", metavar="FILE", help="the file to seal; - for standard input")
    seal.set_defaults(run=_age_command("cmd_seal"))

    unseal = share_command(
        "unseal",
        "rebuild the age identity from the shares and decrypt a sealed file (or the data "
        "embedded in share files)",
        "The shares are verified as combine verifies them; a file that the rebuilt identity "
        "does not open is refused and nothing is written.",
        "varnhold unseal -o backup.tar backup.tar.age share-1.txt share-3.txt share-5.txt",
        "varnhold unseal -o secret.txt vault/share-1.txt vault/share-2.txt  # --embed shares",
        metavar="FILE",
        files_help="the sealed file (- for standard input), then files of shares (standard "
        "input when none); or only embedded share files",
    )
    unseal.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        required=True,
        help="the file to create (mode 0600, complete or absent); - for standard output",
    )
    unseal.set_defaults(run=_age_command("cmd_unseal"))

    sheets = command(
        "print",
        "write a printable sheet (PDF and SVG, with a QR code) per share",
        "Each sheet holds the share as a QR code and as numbered groups of four characters, "
        "with the set id, k, its number and recovery steps (needs the paper extra).",
        "varnhold print -o sheets shares/share-*.txt",
        "varnhold combine sheet-1.jpg sheet-3.png share-5.txt   # photos read back",
    )
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
    sheets.set_defaults(run=cmd_print, max_share_size=_default_max_share_size(sheets))
    return parser


def _fail(message: str, status: int) -> int:
    from . import _output

    line = printable(f"varnhold: {message}") + "\n"
    try:
        _output.write_all(2, line.encode("utf-8"))
    except OSError:
        pass
    return status


def _parse(words: list[str]) -> argparse.Namespace:
    """The command's arguments, or the exit with argparse's help, version or usage error.

    argparse's own words (usage:, options, its errors) are taken as written, in English like
    every other message of the command line, for the parsing only: argparse would look each of
    them up in the message catalog of the program's default domain (the command line has none),
    importing locale and searching the file system once per word, half of the time the parsing
    takes."""
    lookups = vars(argparse)
    saved = lookups["_"], lookups["ngettext"]
    lookups.update(_=_as_written, ngettext=_plural_as_written)
    try:
        # The subcommand is the first word that is not an option: the top level has no option
        # that takes a value.
        parser = build_parser(next((word for word in words if not word.startswith("-")), ""))
        args, extra = parser.parse_known_args(words)
        if extra:
            sub = args.subparsers.get(args.command, parser)
            (sub if isinstance(sub, _Parser) else parser).unrecognized(extra)
        return args
    finally:
        lookups.update(_=saved[0], ngettext=saved[1])


def _as_written(message: str) -> str:
    return message


def _plural_as_written(singular: str, plural: str, count: int) -> str:
    return singular if count == 1 else plural


def run(argv: Sequence[str] | None = None) -> int:
    closed = reopen_closed_standard_streams()
    words = list(sys.argv[1:] if argv is None else argv)
    args = _parse(words)
    args.argv = words
    args.closed_streams = closed
    try:
        status: int = args.run(args)
        return status
    except CliError as error:
        return _fail(error.message, error.status)
    except varnhold.ShareError as error:
        status = EXIT_REJECTED
        if args.command == "add-share" and args.index is not None and not error.positions:
            status = EXIT_USAGE  # the index asked for cannot be given (taken, or Blakley)
        return _fail(share_error_message(error, _last_input(args), args.command), status)
    except BrokenPipeError:
        # The reader went away: nothing more can be said on standard output, and the run did
        # not deliver what it should have.
        _silence_stdout()
        return EXIT_REJECTED
    except KeyboardInterrupt:
        # Outside an output transaction: no file was made, though standard output may hold
        # part of what was asked.
        return _fail("interrupted", EXIT_SIGNAL + 2)
    except MemoryError:
        return _fail("out of memory; nothing was written", EXIT_REJECTED)
    except OSError as error:
        return _fail(f"{error.strerror or type(error).__name__}", EXIT_REJECTED)
    except Exception as error:  # noqa: BLE001 - never a traceback, never a value
        return _fail_otherwise(error)
    except BaseException as error:
        if isinstance(error, SystemExit):
            raise
        return _fail_otherwise(error)


def _fail_otherwise(error: BaseException) -> int:
    """An output that failed or was interrupted, else an internal error. _output is imported
    here, not on every run: none of its errors can have been raised before a command loaded it."""
    from . import _output

    if isinstance(error, _output.OutputError):
        return _fail(error.message, EXIT_USAGE if error.place else EXIT_REJECTED)
    if isinstance(error, _output.Interrupted):
        return _fail("interrupted; nothing was written", EXIT_SIGNAL + error.signum)
    if isinstance(error, Exception):
        return _fail(f"internal error ({type(error).__name__})", EXIT_REJECTED)
    # The native code's internal failure (the random source failing) derives from
    # BaseException; its message never holds secret data.
    return _fail(f"internal failure: {_scrub(str(error))}", EXIT_REJECTED)


def reopen_closed_standard_streams() -> frozenset[int]:
    """Puts /dev/null on standard input, output and error where they are closed, so that no
    file this run opens takes their place, and returns which of them were closed."""
    closed = []
    for fd, mode in ((0, os.O_RDONLY), (1, os.O_WRONLY), (2, os.O_WRONLY)):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
            try:
                null = os.open(os.devnull, mode)
                if null != fd:
                    os.dup2(null, fd)
                    os.close(null)
            except OSError:
                pass
    return frozenset(closed)


def _last_input(args: argparse.Namespace) -> _input.ShareLines:
    from . import _input

    shares = getattr(args, "shares_read", None)
    return shares if isinstance(shares, _input.ShareLines) else _input.ShareLines()


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def main(argv: Sequence[str] | None = None) -> NoReturn:
    """The command line as a process: runs it, then exits with its status."""
    try:
        status = run(argv)
    finally:
        # On its way out the interpreter collects cyclic garbage, and each collection walks every
        # object still alive: argparse's, re's, the parser's, whatever the command loaded. That
        # was a good part of a short run's time (about 1.5 ms of the help's 25). What is alive
        # now is moved out of the collector's reach; it is freed, as it would be, when the
        # process ends. Everything else of the exit is unchanged: the standard streams are
        # flushed and closed, the modules are torn down, and nothing a command made was waiting
        # for a collection (every file and output is closed before `run` returns).
        import gc

        gc.freeze()
    sys.exit(status)

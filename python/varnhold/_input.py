"""Inputs read with a bound on what they may cost, checked before the bytes are held.

A secret file is read up to `MAX_SECRET_FILE` bytes. Share files and standard input are read
in chunks and cut into lines as they arrive: a line longer than the share size limit, or more
than `MAX_SHARE_LINES` share lines in one run, stops the reading with an `InputError`, whatever
the source still holds. Each share keeps where it came from (source and line) in two compact
arrays, so a message can name it without ever showing it.

Every source is first recognised by its opening bytes (`source_kind`); a kind of share file
other than lines of text gets its own reader and its own documented bound in `_READERS`: a
picture of a sheet, a share file encrypted to its custodian (age), and an embedded share file
(its share line followed by armored sealed data, whose copies are kept in `ShareLines.sealed`).
"""

from __future__ import annotations

import os

# typing is imported by a type checker only (it takes this block as always run): importing it
# is a good part of the command line's start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Dict, Iterator, List, Optional, Sequence

    # Opens an encrypted share file's bytes into its text; raises InputError.
    Decrypt = Callable[[bytes, str], str]
else:

    def __getattr__(name: str) -> object:
        """Decrypt, made on first use at run time (the command line never needs it)."""
        if name != "Decrypt":
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from collections.abc import Callable

        return Callable[[bytes, str], str]


MAX_SECRET_FILE = 4096
DEFAULT_MAX_SHARE_SIZE = 1 << 20
MAX_SHARE_LINES = 1 << 20
# Blank lines hold nothing, but reading them still takes time; they are bounded too.
MAX_BLANK_LINES = 1 << 24
CHUNK = 1 << 16
UTF8_BOM = b"\xef\xbb\xbf"
STDIN = 0
NAMED_POSITIONS = 3  # a message names this many shares and counts the rest
# A share file that starts like a PNG or JPEG file is a picture of a sheet or of a QR code; it
# is read whole, up to this size (a phone's photo is a few MiB).
IMAGE_SIGNATURES = (b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff")
MAX_IMAGE_FILE = 64 << 20
# An encrypted or embedded share file holds one share and at most 64 KiB of sealed data, armored
# (once more when encrypted): it is read whole, up to twice the share size limit and 1 MiB more.
AGE_HEADS = (b"age-encryption.org/", b"-----BEGIN AGE ENCRYPTED FILE-----")
ARMOR_LINE = b"\n-----BEGIN AGE ENCRYPTED FILE-----"
EMBED_ROOM = 1 << 20


class InputError(Exception):
    """An input that cannot be used; `message` names it and never shows its content."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class Source:
    """One input: a path, or standard input when `path` is None; `name` is what messages show."""

    def __init__(self, path: str | None, name: str) -> None:
        self.path = path
        self.name = name

    def open(self) -> int:
        if self.path is None:
            return STDIN
        try:
            return os.open(self.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            raise InputError(f"{self.name}: cannot read: {error.strerror or 'error'}") from None

    def chunks(self, fd: int) -> Iterator[bytes]:
        while True:
            try:
                chunk = os.read(fd, CHUNK)
            except OSError as error:
                raise InputError(f"{self.name}: cannot read: {error.strerror or 'error'}") from None
            if not chunk:
                return
            yield chunk


def _closing(source: Source, fd: int) -> None:
    if fd != STDIN:
        os.close(fd)


def read_secret(source: Source) -> bytes:
    """The bytes of a secret file, refused beyond MAX_SECRET_FILE bytes."""
    return read_limited(
        source,
        MAX_SECRET_FILE,
        f"longer than {MAX_SECRET_FILE} bytes; a secret is 64 hexadecimal digits or 32 bytes",
    )


def read_limited(source: Source, limit: int, too_long: str) -> bytes:
    """The bytes of a small file (a secret, recipients, data to embed), refused with
    `too_long` as soon as more than `limit` bytes arrive."""
    fd = source.open()
    try:
        data = bytearray()
        for chunk in source.chunks(fd):
            data += chunk
            if len(data) > limit:
                raise InputError(f"{source.name}: {too_long}")
        return bytes(data)
    finally:
        _closing(source, fd)


class ShareLines:
    """Share texts in input order, each with the source and line it came from."""

    def __init__(self, decrypt: Optional[Decrypt] = None) -> None:
        self.texts: List[str] = []
        self.names: List[str] = []
        self.sealed: List[str] = []  # distinct armored copies from embedded share files
        self.decrypt = decrypt
        # Imported here: array imports collections.abc, which a command reading no share
        # (help, split) does without.
        from array import array

        self._source = array("I")
        self._line = array("Q")

    def add(self, text: str, source: int, line: int) -> None:
        if len(self.texts) >= MAX_SHARE_LINES:
            raise InputError(
                f"{self.names[source]}:{line}: more than {MAX_SHARE_LINES} share lines"
            )
        self.texts.append(text)
        self._source.append(source)
        self._line.append(line)

    def origin(self, position: int) -> str:
        if 0 <= position < len(self.texts):
            return f"{self.names[self._source[position]]}:{self._line[position]}"
        return f"share {position + 1}"

    def where(self, positions: Sequence[int]) -> str:
        """The origins of the first few positions, and how many more there are."""
        named = ", ".join(self.origin(p) for p in positions[:NAMED_POSITIONS])
        rest = len(positions) - NAMED_POSITIONS
        return f"{named} and {rest} more" if rest > 0 else named


def source_kind(head: bytes) -> str:
    """The kind of share file that starts with `head` (its first chunk): a picture, an age
    file (a share encrypted to its custodian), an embedded share file, or lines of text."""
    if head.startswith(IMAGE_SIGNATURES):
        return "image"
    if head.lstrip(UTF8_BOM + b" \t\r\n").startswith(AGE_HEADS):
        return "age"
    return "embedded" if ARMOR_LINE in head else "lines"


def _read_lines(
    source: Source, first: bytes, rest: Iterator[bytes], into: ShareLines, max_size: int
) -> None:
    """Lines of text, one share a line, each at most `max_size` bytes (line end excluded)."""
    index = len(into.names)
    into.names.append(source.name)
    number = 0
    blank = 0
    pending = bytearray(first[len(UTF8_BOM) :] if first.startswith(UTF8_BOM) else first)

    def take(line: bytes) -> None:
        nonlocal number, blank
        number += 1
        if line.endswith(b"\r"):
            line = line[:-1]
        if len(line) > max_size:
            raise InputError(f"{source.name}:{number}: {_too_long(max_size)}")
        if not line.strip():
            blank += 1
            if blank > MAX_BLANK_LINES:
                raise InputError(f"{source.name}: more than {MAX_BLANK_LINES} blank lines")
            return
        # Undecodable bytes become U+FFFD, which no share contains, so the package reports
        # the share as unreadable with its own reason.
        into.add(line.decode("utf-8", errors="replace"), index, number)

    def scan() -> None:
        start = 0
        while True:
            end = pending.find(b"\n", start)
            if end < 0:
                break
            take(bytes(pending[start:end]))
            start = end + 1
        del pending[:start]
        if len(pending) > max_size + 1:  # +1: a carriage return may still come before "\n"
            raise InputError(f"{source.name}:{number + 1}: {_too_long(max_size)}")

    scan()
    for chunk in rest:
        pending += chunk
        scan()
    if pending:
        take(bytes(pending))


def _read_image(
    source: Source, first: bytes, rest: Iterator[bytes], into: ShareLines, max_size: int
) -> None:
    """The QR codes of a picture, one share a code, numbered like lines from the top. The image
    libraries load only here; their ImportError is the caller's to report."""
    data = bytearray(first)
    for chunk in rest:
        data += chunk
        if len(data) > MAX_IMAGE_FILE:
            raise InputError(
                f"{source.name}: a picture larger than {MAX_IMAGE_FILE >> 20} MiB; scale it down"
            )
    from varnhold import images

    try:
        texts = images.share_texts_in_image(bytes(data))
    except images.ImageError as error:
        raise InputError(f"{source.name}: {error}") from None
    index = len(into.names)
    into.names.append(source.name)
    for number, text in enumerate(texts, start=1):
        if len(text) > max_size:
            raise InputError(f"{source.name}:{number}: {_too_long(max_size)}")
        into.add(text, index, number)


def _whole(source: Source, first: bytes, rest: Iterator[bytes], limit: int, what: str) -> bytes:
    data = bytearray(first)
    for chunk in rest:
        data += chunk
        if len(data) > limit:
            raise InputError(f"{source.name}: larger than {limit} bytes; not {what}")
    return bytes(data)


def _read_age(
    source: Source, first: bytes, rest: Iterator[bytes], into: ShareLines, max_size: int
) -> None:
    """A share file encrypted to its custodian, opened with the identities given (-i)."""
    data = _whole(source, first, rest, 2 * max_size + EMBED_ROOM, "an encrypted share file")
    if into.decrypt is None:
        raise InputError(
            f"{source.name}: an encrypted share file; give the custodian's key with "
            f"-i IDENTITY_FILE, or open it with age -d -i KEY {source.name}"
        )
    _add_text(source, into.decrypt(data, source.name), into, max_size)


def _read_embedded(
    source: Source, first: bytes, rest: Iterator[bytes], into: ShareLines, max_size: int
) -> None:
    """An embedded share file: one share line, then the armored sealed data."""
    data = _whole(source, first, rest, max_size + EMBED_ROOM, "an embedded share file")
    _add_text(source, data.decode("utf-8", errors="replace"), into, max_size)


def _add_text(source: Source, text: str, into: ShareLines, max_size: int) -> None:
    """The shares of a whole file's text: an embedded share file, or lines."""
    index = len(into.names)
    into.names.append(source.name)
    if ARMOR_LINE.decode() in text:
        try:
            from varnhold import age
        except ImportError as error:
            raise InputError(f"{source.name}: an embedded share file: {error}") from None
        try:
            share, armored = age.parse_embedded(text)
        except age.AgeError as error:
            raise InputError(f"{source.name}: {error}") from None
        if len(share) > max_size:
            raise InputError(f"{source.name}:1: {_too_long(max_size)}")
        into.add(share, index, 1)
        if armored not in into.sealed:
            into.sealed.append(armored)
        return
    for number, line in enumerate(text.lstrip("\ufeff").splitlines(), start=1):
        if len(line) > max_size:
            raise InputError(f"{source.name}:{number}: {_too_long(max_size)}")
        if line.strip():
            into.add(line.strip(), index, number)


def _too_long(max_size: int) -> str:
    return f"line longer than {max_size} bytes; not a share (see --max-share-size)"


_READERS: Dict[str, Callable[[Source, bytes, Iterator[bytes], ShareLines, int], None]] = {
    "lines": _read_lines,
    "image": _read_image,
    "age": _read_age,
    "embedded": _read_embedded,
}


def peek_kind(source: Source) -> str:
    """The kind of a named file, from its first chunk (see `source_kind`)."""
    fd = source.open()
    try:
        return source_kind(next(source.chunks(fd), b""))
    finally:
        _closing(source, fd)


def read_shares(
    sources: Sequence[Source], max_share_size: int, decrypt: Optional[Decrypt] = None
) -> ShareLines:
    """The shares of every source in turn; standard input is read once however often given.
    `decrypt` opens share files encrypted to their custodian."""
    shares = ShareLines(decrypt)
    stdin_read = False
    for source in sources:
        if source.path is None:
            if stdin_read:
                continue
            stdin_read = True
        fd = source.open()
        try:
            chunks = source.chunks(fd)
            first = next(chunks, b"")
            _READERS[source_kind(first)](source, first, chunks, shares, max_share_size)
        finally:
            _closing(source, fd)
    return shares

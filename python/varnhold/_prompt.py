"""Shares and secrets typed at a terminal, never echoed.

When standard input is a terminal and no file is given, a share command asks for one share at a
time with the terminal's echo off ("Share 1 of 3: "), checks each share as soon as it is
entered together with the ones accepted before it (a share that fails its own check, belongs to
another set or repeats one is refused at once with the reason, and asked for again), shows the
progress, and stops as soon as the set is complete: k envelope shares (k is read from the first),
or k + 1 bare shares (k from -k), so that the extra share verifies the others. Ctrl-D stops
early with the shares accepted so far.

The prompts and progress go to the terminal itself (/dev/tty), not to standard output or error,
and the echo stays off from the first prompt to the last.
"""

from __future__ import annotations

import os
import signal
import termios
from contextlib import contextmanager
from typing import Callable, Iterator, Optional

import varnhold

from . import _output
from ._input import ShareLines

TERMINAL_NAME = "<terminal>"
# A terminal in line mode delivers at most 4095 characters a line; longer shares (Blakley
# shares of k above 100 or so) are given in a file.
TERMINAL_LINE = 4095

# Turns a refusal's reason and the refused text into the line shown; it never shows the text.
DescribeFn = Callable[[str, str], str]


class _Terminal:
    """The terminal's file descriptor, read a line at a time (line mode delivers lines)."""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def say(self, text: str) -> None:
        data = text.encode("utf-8")
        while data:
            data = data[os.write(self.fd, data) :]

    def ask(self, prompt: str) -> Optional[str]:
        """One line typed after `prompt`, or None at the end of input (Ctrl-D)."""
        self.say(prompt)
        line = bytearray()
        while not line.endswith(b"\n"):
            chunk = os.read(self.fd, TERMINAL_LINE + 1)
            if not chunk:
                break
            line += chunk
        self.say("\n")  # the Enter that was not echoed
        if not line:
            return None
        return line.decode("utf-8", errors="replace").strip()


@contextmanager
def hidden_terminal() -> Iterator[_Terminal]:
    """The terminal, with its echo off until the block ends (however it ends). The echo stays
    off between prompts too, so that lines pasted ahead are neither shown nor flushed."""
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        fd = os.dup(0)
    handlers: list[tuple[int, object]] = []

    def interrupt(signum: int, frame: object) -> None:
        raise _output.Interrupted(signum)

    try:
        saved = termios.tcgetattr(fd)
        # SIGTERM and SIGHUP end the run through the code below too, so the echo comes back.
        for signum in _output.handled_signals():
            if signum != signal.SIGINT and signal.getsignal(signum) is not signal.SIG_IGN:
                handlers.append((signum, signal.signal(signum, interrupt)))
        quiet = list(saved)
        quiet[3] &= ~(termios.ECHO | termios.ECHONL)
        termios.tcsetattr(fd, termios.TCSANOW, quiet)
        try:
            yield _Terminal(fd)
        finally:
            termios.tcsetattr(fd, termios.TCSANOW, saved)
    finally:
        for signum, handler in handlers:
            signal.signal(signum, handler)  # type: ignore[arg-type]
        os.close(fd)


def read_shares(k: Optional[int], describe: DescribeFn) -> ShareLines:
    """The shares typed at the terminal, each checked as it comes. `describe(reason, text)`
    turns a refusal into the line shown (it never shows the share)."""
    shares = ShareLines()
    shares.names.append(TERMINAL_NAME)
    with hidden_terminal() as terminal:
        terminal.say("Type or paste each share and press Enter; it is not shown. Ctrl-D stops.\n")
        needed: Optional[int] = None
        line = 0
        while needed is None or len(shares.texts) < needed:
            shown = str(needed or k or "?")
            text = terminal.ask(f"Share {len(shares.texts) + 1} of {shown}: ")
            if text is None:
                break
            line += 1
            if not text:
                continue
            if len(text) >= TERMINAL_LINE:
                terminal.say("refused: too long to type at a terminal; give it in a file\n")
                continue
            report = varnhold.check([*shares.texts, text], k=k)
            status = report.shares[-1]
            if status.state != "good" or report.k is None:
                reason = status.reason or report.problem or "not a share"
                terminal.say(f"refused: {describe(reason, text)}; type it again\n")
                continue
            shares.add(text, 0, line)
            if needed is None:
                # Bare shares carry no checksum: one share more than k verifies the others.
                needed = report.k + (0 if report.set_id else 1)
            terminal.say(f"{len(shares.texts)} of {needed} shares\n")
    return shares


def read_secret() -> bytes:
    """A secret typed at the terminal with the echo off."""
    with hidden_terminal() as terminal:
        text = terminal.ask("Key (64 hexadecimal digits, not shown): ")
    return (text or "").encode("ascii", "replace")

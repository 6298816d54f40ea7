"""Outputs that are complete or absent: every folder and file a command makes goes through one
`Transaction`, which removes all of them when the run fails or is interrupted.

Each file is written under a temporary name in its target folder (mode 0600, created
exclusively, never through a symbolic link), synced to disk, and only put in place under its final
name, without overwriting anything, once every file of the run is complete. Folders are made
with mode 0700 whatever the umask, and a folder given as a symbolic link is refused. SIGINT,
SIGTERM and SIGHUP end the run through the same clean-up. Each step that makes something and
records it runs with those signals held back, so no signal can land between the two.
"""

from __future__ import annotations

import errno
import os
import stat
from types import TracebackType

TYPE_CHECKING = False  # typing is imported by a type checker only: see _input
if TYPE_CHECKING:
    from typing import Callable, List, Optional, Tuple, Type

_SIGNAL_NAMES = ("SIGINT", "SIGTERM", "SIGHUP")
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)
# Errors that say the place is wrong (a usage error) rather than that writing failed.
_PLACE_ERRORS = frozenset(
    (errno.EEXIST, errno.ELOOP, errno.ENOTDIR, errno.EISDIR, errno.ENOENT, errno.EACCES,
     errno.EPERM, errno.EROFS)
)  # fmt: skip
# Where hard links are missing, a checked rename puts files in place instead.
_NO_LINKS = frozenset((errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK))


# Each of the first files is synced on its own; beyond them, one sync of everything before
# the files are put in place is far cheaper than one journal commit per file.
SYNC_EACH_UP_TO = 8


def handled_signals() -> Tuple[int, ...]:
    """SIGINT, SIGTERM and SIGHUP, those of them the system has. The signal module is imported
    by the first output made, not by every run: a command that only prints needs none."""
    import signal

    return tuple(getattr(signal, name) for name in _SIGNAL_NAMES if hasattr(signal, name))


class OutputError(Exception):
    """An output could not be made. `place` is True when the target itself is unsuitable
    (exists, is a symbolic link, cannot be created there), False when writing failed."""

    def __init__(self, message: str, place: bool) -> None:
        super().__init__(message)
        self.message = message
        self.place = place


class Interrupted(BaseException):
    """The run received `signum` (SIGINT, SIGTERM or SIGHUP) while outputs were being made."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _failure(name: str, doing: str, error: OSError) -> OutputError:
    if error.errno == errno.EEXIST:
        return OutputError(f"{name}: already exists", True)
    if error.errno == errno.ELOOP:
        return OutputError(f"{name}: is a symbolic link", True)
    reason = error.strerror or type(error).__name__
    return OutputError(f"{name}: cannot {doing}: {reason}", error.errno in _PLACE_ERRORS)


class _Held:
    """Holds SIGINT, SIGTERM and SIGHUP back for the duration of a `with` block."""

    def __enter__(self) -> None:
        import signal

        signals = handled_signals()
        if signals:
            signal.pthread_sigmask(signal.SIG_BLOCK, signals)

    def __exit__(self, *exc: object) -> None:
        import signal

        signals = handled_signals()
        if signals:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)


_held = _Held()


class Folder:
    """An open folder that files are written into, named `name` in messages."""

    def __init__(self, fd: int, path: str, name: str) -> None:
        self.fd = fd
        self.path = path
        self.name = name


class Transaction:
    """Makes folders and files that all appear together, or not at all.

    `with Transaction() as out:` ... `out.folder(...)`, `out.write(...)`: leaving the block
    normally puts every file in place; an exception or signal removes every folder and file
    the transaction made, then propagates (a signal as `Interrupted`).
    """

    def __init__(self) -> None:
        self._folders: List[Folder] = []
        self._made_dirs: List[str] = []  # folders this run made, by path
        self._made: List[Tuple[int, str]] = []  # (folder fd, name) of files this run made
        self._pending: List[Tuple[Folder, str, str]] = []  # (folder, temporary, final name)
        self._handlers: List[Tuple[int, object]] = []
        self._unsynced = False  # files written without their own fsync

    def __enter__(self) -> Transaction:
        def interrupt(signum: int, frame: object) -> None:
            raise Interrupted(signum)

        import signal

        for signum in handled_signals():
            # A signal the caller ignores (nohup, a background job) stays ignored.
            if signal.getsignal(signum) is signal.SIG_IGN:
                continue
            try:
                self._handlers.append((signum, signal.signal(signum, interrupt)))
            except ValueError:  # not the main thread: signals stay as they are
                break
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        try:
            if kind is None:
                try:
                    self._commit()
                except BaseException:
                    self._rollback()
                    raise
            else:
                self._rollback()
                if isinstance(error, OutputError):
                    error.message += "; nothing was written"
        except OutputError as failure:
            failure.message += "; nothing was written"
            raise
        finally:
            self._close()

    def folder(
        self, path: str, create: bool, name: Optional[str] = None, follow: bool = False
    ) -> Folder:
        """The folder at `path`, made (mode 0700) when missing and `create` is set. Its last
        component is not followed when it is a symbolic link, unless `follow` is set (the
        folder that holds an output file given by name, rather than an output folder)."""
        shown = path if name is None else name
        flags = os.O_RDONLY | _DIRECTORY | _CLOEXEC | (0 if follow else _NOFOLLOW)
        try:
            with _held:
                made = False
                if create and not os.path.lexists(path):
                    os.mkdir(path, 0o700)
                    self._made_dirs.append(path)
                    made = True
                fd = os.open(path, flags)
                self._folders.append(Folder(fd, path, shown))
            if made:
                os.fchmod(fd, 0o700)  # the umask may have narrowed it
        except OSError as error:
            if error.errno == errno.ELOOP or (not follow and os.path.islink(path)):
                raise OutputError(f"{shown}: is a symbolic link", True) from None
            if error.errno == errno.ENOTDIR:
                raise OutputError(f"{shown}: not a directory", True) from None
            raise _failure(shown, "create directory" if create else "open", error) from None
        return self._folders[-1]

    def refuse_existing(self, folder: Folder, names: List[str]) -> None:
        """Fails, before anything is written, when any of `names` already exists in `folder`."""
        for file_name in names:
            try:
                found = os.stat(file_name, dir_fd=folder.fd, follow_symlinks=False)
            except FileNotFoundError:
                continue
            except OSError as error:
                raise _failure(_join(folder, file_name), "check", error) from None
            what = "is a symbolic link" if stat.S_ISLNK(found.st_mode) else "already exists"
            raise OutputError(f"{_join(folder, file_name)}: {what}", True)

    def write(self, folder: Folder, file_name: str, data: bytes) -> None:
        """Writes `data` completely to a temporary file; it takes `file_name` at the end."""
        self.stream(folder, file_name, lambda fd: write_all(fd, data))

    def stream(self, folder: Folder, file_name: str, fill: Callable[[int], object]) -> None:
        """Creates a temporary file and lets `fill` write it through its descriptor, however
        long that takes (a sealed or unsealed file); it takes `file_name` at the end. Whatever
        `fill` raises ends the transaction with nothing written."""
        temporary = f".{file_name}.{os.urandom(6).hex()}.part"
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC
        shown = _join(folder, file_name)
        try:
            with _held:
                self._made.append((folder.fd, temporary))
                try:
                    fd = os.open(temporary, flags, 0o600, dir_fd=folder.fd)
                except BaseException:
                    self._made.pop()
                    raise
            try:
                os.fchmod(fd, 0o600)  # the umask may have narrowed it
                fill(fd)
                if len(self._pending) < SYNC_EACH_UP_TO:
                    os.fsync(fd)
                else:
                    self._unsynced = True
            finally:
                os.close(fd)
        except OSError as error:
            raise _failure(shown, "write", error) from None
        self._pending.append((folder, temporary, file_name))

    def _commit(self) -> None:
        if self._unsynced:
            os.sync()  # waits until every written file is on disk
        for folder, temporary, final in self._pending:
            try:
                self._place(folder, temporary, final)
            except OSError as error:
                raise _failure(_join(folder, final), "create", error) from None
        for folder in self._folders:
            try:
                os.fsync(folder.fd)
            except OSError as error:
                if error.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP):
                    raise _failure(folder.name, "sync", error) from None
        self._made.clear()
        self._made_dirs.clear()
        self._pending.clear()

    def _place(self, folder: Folder, temporary: str, final: str) -> None:
        fd = folder.fd
        with _held:
            try:
                os.link(temporary, final, src_dir_fd=fd, dst_dir_fd=fd, follow_symlinks=False)
            except OSError as error:
                if error.errno not in _NO_LINKS:
                    raise
                try:
                    os.stat(final, dir_fd=fd, follow_symlinks=False)
                except FileNotFoundError:
                    pass
                else:
                    raise FileExistsError(errno.EEXIST, "exists") from None
                os.rename(temporary, final, src_dir_fd=fd, dst_dir_fd=fd)
                self._made.remove((fd, temporary))
            self._made.append((fd, final))
        _unlink_quietly(fd, temporary)

    def _rollback(self) -> None:
        with _held:
            for fd, file_name in reversed(self._made):
                _unlink_quietly(fd, file_name)
            for folder in self._folders:
                try:
                    os.fsync(folder.fd)
                except OSError:
                    pass
            for path in reversed(self._made_dirs):
                try:
                    os.rmdir(path)
                except OSError:
                    pass
            self._made.clear()
            self._made_dirs.clear()
            self._pending.clear()

    def _close(self) -> None:
        for folder in self._folders:
            try:
                os.close(folder.fd)
            except OSError:
                pass
        self._folders.clear()
        import signal

        for signum, handler in self._handlers:
            signal.signal(signum, handler)  # type: ignore[arg-type]
        self._handlers.clear()


def _join(folder: Folder, file_name: str) -> str:
    return os.path.join(folder.name, file_name) if folder.name != "." else file_name


def _unlink_quietly(fd: int, file_name: str) -> None:
    try:
        os.unlink(file_name, dir_fd=fd)
    except OSError:
        pass


def write_all(fd: int, data: bytes, write: Callable[[int, memoryview], int] = os.write) -> None:
    """Writes all of `data` to `fd`; a write that makes no progress is an error."""
    view = memoryview(data)
    while view:
        written = write(fd, view)
        if written <= 0:
            raise OSError(errno.EIO, "the write made no progress")
        view = view[written:]


STDOUT = 1


def write_stdout(data: bytes) -> None:
    """Writes `data` to standard output, unbuffered; a broken pipe raises BrokenPipeError, any
    other failure OutputError."""
    try:
        write_all(STDOUT, data)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _failure("standard output", "write", error) from None

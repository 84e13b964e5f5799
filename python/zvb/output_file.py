"""Where a converted file goes, so that a failed or stopped run loses nothing: a regular file is
written as a temporary file beside it and renamed over it once complete; standard output, a
descriptor of the process named as a path, a device or a FIFO is written as it is, and an
unfinished output there ends in bytes that no reader takes for a whole file."""

from __future__ import annotations

import contextlib
import os
import re
import signal
import stat
import tempfile
from typing import BinaryIO, Iterator

# Signals that end the process by default: a run undoes its output first, then ends by the same
# signal. SIGPIPE is left to the interpreter, which ignores it (a write then fails instead).
ENDING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGQUIT, signal.SIGUSR1,
                  signal.SIGUSR2, signal.SIGALRM, signal.SIGXCPU)

# Names of the process's own descriptors: written through the descriptor, never replaced.
OWN_DESCRIPTOR = re.compile(r"/dev/(?:(stdout)|(stderr)|fd/(\d+))|/proc/self/fd/(\d+)")

# After an unfinished output on a stream: an element header of an unknown type announcing more
# data than will ever follow.
UNFINISHED_MARK = b"\xff" * 24

# A name this long leaves room for the temporary name's additions within the system's limit.
LONGEST_TEMP_PREFIX = 200


class Stopped(BaseException):
    """A signal that ends the process arrived; the run is undone, then the process ends by it."""

    def __init__(self, signal_number: int):
        self.signal_number = signal_number
        super().__init__(signal.Signals(signal_number).name)


class _Signals:
    """Turns the ending signals into Stopped, except while an element is being written: it is
    finished first, so that an output stream stops at the end of an element."""

    def __init__(self) -> None:
        self.holding = False
        self.pending: int | None = None

    def _arrived(self, signal_number: int, _frame: object) -> None:
        if self.holding:
            self.pending = signal_number
        else:
            raise Stopped(signal_number)

    @contextlib.contextmanager
    def installed(self) -> Iterator[None]:
        """The handlers while the block runs; signals ignored before stay ignored."""
        previous = {}
        for number in ENDING_SIGNALS:
            if signal.getsignal(number) is not signal.SIG_IGN:
                previous[number] = signal.signal(number, self._arrived)
        try:
            yield
        finally:
            for number, handler in previous.items():
                signal.signal(number, handler)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
        if self.pending is not None:
            signal_number, self.pending = self.pending, None
            raise Stopped(signal_number)


signals = _Signals()


def end_by(stopped: Stopped) -> None:
    """Ends the process by the signal that stopped it, as the signal would have."""
    signal.signal(stopped.signal_number, signal.SIG_DFL)
    os.kill(os.getpid(), stopped.signal_number)


def _own_descriptor(path: str) -> int | None:
    match = OWN_DESCRIPTOR.fullmatch(path)
    if match is None:
        return None
    stdout, stderr, dev_fd, proc_fd = match.groups()
    return 1 if stdout else 2 if stderr else int(dev_fd or proc_fd)


class Output:
    """The output of one run: `stream` to write to, then `commit()` or `discard()`. `input_identity`
    (device, inode) names the input, which the output may not replace."""

    def __init__(self, path: str, input_identity: tuple[int, int] | None = None):
        self.path = path
        self.temp_name: str | None = None
        self.final_name: str | None = None
        self.in_element = True  # before the file header is out, and while an element is
        descriptor = 1 if path == "-" else _own_descriptor(path)
        if descriptor is not None:
            shown = "standard output" if path == "-" else path
            try:
                if os.isatty(descriptor):
                    raise ValueError(f"{shown} is a terminal: the binary output goes to a file "
                                     "or a pipe (redirect it or name OUT)")
                self.stream: BinaryIO = os.fdopen(os.dup(descriptor), "wb")
            except OSError as error:
                raise OSError(f"{shown}: {error.strerror}") from None
            return
        try:
            existing = os.stat(path)
        except FileNotFoundError:
            existing = None
        if existing is not None and input_identity == (existing.st_dev, existing.st_ino):
            raise ValueError(f"{path}: the output would replace the dump")
        if existing is not None and not stat.S_ISREG(existing.st_mode):
            try:
                self.stream = open(path, "wb")  # a device or a FIFO, or a folder that is refused
            except OSError as error:
                raise OSError(f"{path}: {error.strerror}") from None
            return
        self._open_replacement(existing)

    def _open_replacement(self, existing: os.stat_result | None) -> None:
        if existing is not None:
            # Refused as opening the file to write would refuse it; it is not changed.
            try:
                os.close(os.open(self.path, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK))
            except OSError as error:
                raise OSError(f"{self.path}: {error.strerror}") from None
        # Through symbolic links, so that a link stays a link to the new file.
        self.final_name = os.path.realpath(self.path)
        folder, name = os.path.split(self.final_name)
        prefix = f".{name}." if len(name.encode()) <= LONGEST_TEMP_PREFIX else ".zvb."
        try:
            descriptor, self.temp_name = tempfile.mkstemp(prefix=prefix, dir=folder or ".")
        except OSError as error:
            raise OSError(f"{self.path}: {error.strerror}") from None
        try:
            if existing is not None:
                # Owner before mode: a change of owner clears the set-user-ID and -group-ID bits.
                with contextlib.suppress(OSError):
                    os.fchown(descriptor, existing.st_uid, existing.st_gid)
                os.fchmod(descriptor, stat.S_IMODE(existing.st_mode))
            else:
                mask = os.umask(0)
                os.umask(mask)
                os.fchmod(descriptor, 0o666 & ~mask)
            self.stream = os.fdopen(descriptor, "wb", buffering=1 << 20)
        except BaseException:
            os.close(descriptor)
            self._remove_temp()
            raise

    def commit(self) -> None:
        """Writes what is buffered and puts a replacement in place."""
        self.stream.flush()
        self.stream.close()
        if self.temp_name is not None:
            os.replace(self.temp_name, self.final_name)
            self.temp_name = None

    def discard(self) -> None:
        """Undoes an unfinished output: the temporary file is removed; a stream that stopped at
        the end of an element gets UNFINISHED_MARK, so that a reader fails at its end (one that
        stopped inside an element, on a failed write, is short of its data already)."""
        if self.temp_name is None and not self.in_element and not self.stream.closed:
            with contextlib.suppress(OSError, ValueError):
                self.stream.write(UNFINISHED_MARK)
                self.stream.flush()
        with contextlib.suppress(OSError):
            self.stream.close()
        self._remove_temp()

    def _remove_temp(self) -> None:
        if self.temp_name is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.temp_name)
            self.temp_name = None

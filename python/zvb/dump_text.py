"""The lines of a text dump, read in large blocks from a file or standard input, plain or
compressed (gzip, bzip2, xz: told apart by their first bytes, not by the file's name)."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import lzma
import os
import stat
import sys
import zlib
from typing import BinaryIO, Iterator, NoReturn

import numpy as np

# Bytes read at a time; a line may be at most LONGEST_LINE bytes, so that a file without line
# ends (not a dump at all) is refused before it fills the memory.
BLOCK_SIZE = 8 << 20
LONGEST_LINE = 16 << 20

# First bytes of the compressed formats the standard library reads, and of others that it
# does not: those are named in the message.
READABLE_FORMATS = ((b"\x1f\x8b", "gzip", lambda stream: gzip.GzipFile(fileobj=stream)),
                    (b"BZh", "bzip2", bz2.BZ2File), (b"\xfd7zXZ\x00", "xz", lzma.LZMAFile))
OTHER_FORMATS = ((b"\x28\xb5\x2f\xfd", "zstd", "zstd -dc"), (b"\x04\x22\x4d\x18", "lz4", "lz4 -dc"),
                 (b"\x5d\x00\x00", "lzma", "xz -dc"))
MAGIC_SIZE = 6


class DumpError(ValueError):
    """A dump that cannot be converted; the message names the file and, where there is one,
    the line."""


class _Prefixed(io.RawIOBase):
    """A stream whose first bytes were already read, to tell its format."""

    def __init__(self, head: bytes, stream: BinaryIO):
        self.head = head
        self.stream = stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:
        if self.head:
            count = min(len(buffer), len(self.head))
            buffer[:count] = self.head[:count]
            self.head = self.head[count:]
            return count
        return self.stream.readinto(buffer)


@contextlib.contextmanager
def open_dump(path: str) -> Iterator[Lines]:
    """The lines of the dump at `path` ("-": standard input), closed at the end."""
    shown = path if path != "-" else "standard input"
    with contextlib.ExitStack() as closing:
        try:
            raw = sys.stdin.buffer if path == "-" else closing.enter_context(open(path, "rb"))
            head = raw.read(MAGIC_SIZE)
        except OSError as error:
            raise DumpError(f"{shown}: {error.strerror}") from None
        for magic, name, command in OTHER_FORMATS:
            if head.startswith(magic):
                raise DumpError(
                    f"{shown}: looks compressed with {name}, which this program does not read; "
                    f"decompress it first, e.g. {command} DUMP | python3 -m zvb from-dump - OUT")
        stream: BinaryIO = _Prefixed(head, raw)
        compression = None
        for magic, name, opener in READABLE_FORMATS:
            if head.startswith(magic):
                stream, compression = closing.enter_context(opener(stream)), name
        lines = Lines(stream, shown, compression)
        lines.identity = _identity(raw.fileno())
        yield lines


def _identity(descriptor: int) -> tuple[int, int] | None:
    """The device and inode of a regular file, to tell whether an output would replace it."""
    status = os.fstat(descriptor)
    return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None


class Lines:
    """The dump's lines without their ends, numbered from 1 for messages. Finds the line ends
    of each block read at once, so that the lines of a snapshot are taken as one slice."""

    def __init__(self, stream: BinaryIO, path: str, compression: str | None):
        self.stream = stream
        self.path = path
        self.compression = compression
        self.identity: tuple[int, int] | None = None  # of the dump, when it is a regular file
        self.number = 0  # the line last taken
        self._data = bytearray(BLOCK_SIZE)  # read into in place, the unfinished line first
        self._view = memoryview(self._data)
        self._filled = 0  # bytes of _data read
        self._ends = np.empty(0, dtype=np.int64)  # positions of b"\n" in _data
        self._next = 0  # index in _ends of the end of the next line
        self._start = 0  # where the next line starts in _data
        self._at_end = False

    def fail(self, message: str, line: int | None = None) -> NoReturn:
        raise DumpError(f"{self.path}:{self.number if line is None else line}: {message}") from None

    def _read_into(self, room: memoryview) -> int:
        try:
            return self.stream.readinto(room)
        except EOFError:
            raise DumpError(f"{self.path}: the {self.compression}-compressed dump is cut short "
                            f"after line {self.number}") from None
        except (OSError, zlib.error, lzma.LZMAError) as error:
            if self.compression is None:
                raise DumpError(f"{self.path}: {error.strerror or error}") from None
            raise DumpError(f"{self.path}: the {self.compression}-compressed dump is damaged "
                            f"after line {self.number} ({error})") from None

    def _refill(self) -> bool:
        """Reads until a line end follows the lines taken; False at the end of the dump."""
        filled = self._filled - self._start
        self._data[:filled] = bytes(self._view[self._start : self._filled])
        self._start = self._filled = 0
        while not self._at_end:
            if filled == len(self._data):
                if filled > LONGEST_LINE:
                    self.fail(f"line {self.number + 1} is longer than {LONGEST_LINE >> 20} MiB: "
                              "not a text dump", self.number + 1)
                self._view.release()
                self._data.extend(bytes(len(self._data)))
                self._view = memoryview(self._data)
            got = self._read_into(self._view[filled:])
            if got == 0:
                self._at_end = True
                if filled == 0:
                    return False
                self._view[filled] = 10  # the last line has no end of its own
                got = 1
            ends = np.flatnonzero(np.frombuffer(self._view[filled : filled + got],
                                                dtype=np.uint8) == 10)
            filled += got
            if len(ends):
                self._ends, self._next, self._filled = ends + (filled - got), 0, filled
                return True
        return False

    def read(self) -> bytes | None:
        """The next line, or None at the end of the dump."""
        if self._next == len(self._ends) and not self._refill():
            return None
        end = int(self._ends[self._next])
        line = bytes(self._view[self._start : end])
        self._start, self._next = end + 1, self._next + 1
        self.number += 1
        return line.rstrip(b"\r")

    def skip_to_item(self) -> None:
        """Passes the lines up to the next "ITEM:" line, or to the end of the dump."""
        while self._next < len(self._ends) or self._refill():
            if self._data.startswith(b"ITEM:", self._start):
                return
            self.read()

    def next(self) -> bytes:
        """The next line, which a snapshot needs."""
        line = self.read()
        if line is None:
            self.fail("the file ends inside a snapshot")
        return line

    def take(self, count: int, stop: bytes) -> bytes:
        """The next `count` lines with their ends, as one block of text; fewer when a line that
        starts with `stop` comes first, which is not taken."""
        pieces = []
        while count > 0:
            available = len(self._ends) - self._next
            if available == 0:
                if not self._refill():
                    self.fail("the file ends inside a snapshot")
                continue
            taken = min(count, available)
            end = int(self._ends[self._next + taken - 1]) + 1
            if self._data.startswith(stop, self._start):
                break
            found = self._data.find(b"\n" + stop, self._start, end)
            if found >= 0:
                end = found + 1
                taken = count = self._data.count(b"\n", self._start, end)
            pieces.append(bytes(self._view[self._start : end]))
            self._start, self._next = end, self._next + taken
            self.number += taken
            count -= taken
        return b"".join(pieces) if len(pieces) != 1 else pieces[0]

"""A ZVB file's bytes for the readers: its header, the whole file mapped for reading values
where they stand, and a window read into a buffer that is used again, for passes front to back.

Values are gathered with numpy from typed views of the bytes, a view per value type and per
phase (the offset modulo the value size), so that no value is read unaligned and none is
copied twice.
"""

from __future__ import annotations

import builtins
import mmap
import os
import sys
from dataclasses import dataclass

import numpy as np

from .format import (
    FILE_HEADER_SIZE,
    REASON_EOF,
    REASON_MAGIC,
    REASON_VERSION,
    ZVB_MAGIC,
    FormatError,
    file_header_struct,
    text_from_bytes,
)

HOST_ORDER = "<" if sys.byteorder == "little" else ">"
# A window of the file: large enough that reading it costs little per byte, small enough to
# stay in a processor's own cache while its headers and values are gathered (on a machine
# shared with other work, 1 MiB scanned twice as fast as 4 MiB).
WINDOW_SIZE = 1 << 20
# What is read after a jump far ahead (over a large array), until reading goes on in order.
SMALL_WINDOW = 1 << 16


@dataclass(frozen=True)
class Header:
    """The file header. `byte_order` is '<' or '>', the order of every number in the file."""

    byte_order: str
    creation_time: int
    creator: str
    creator_version: tuple[int, int]
    destination: str
    destination_version: tuple[int, int]
    format_version: tuple[int, int]


def element_name(raw: bytes) -> str:
    """A 16-byte name field as text: the bytes before its first NUL, all 16 without one."""
    end = raw.find(b"\0")
    return text_from_bytes(raw if end < 0 else raw[:end])


def read_header(path: str, data: bytes | mmap.mmap) -> Header:
    length = len(data)
    if length < FILE_HEADER_SIZE:
        raise FormatError(path, 0, REASON_EOF,
                          f"the file header takes {FILE_HEADER_SIZE} bytes, the file has {length}")
    raw = data[:FILE_HEADER_SIZE]
    magic = int.from_bytes(raw[:4], sys.byteorder)
    if magic == ZVB_MAGIC:
        order = HOST_ORDER
    elif int.from_bytes(raw[:4], "big" if sys.byteorder == "little" else "little") == ZVB_MAGIC:
        order = ">" if HOST_ORDER == "<" else "<"
    else:
        raise FormatError(path, 0, REASON_MAGIC, f"magic number 0x{magic:08X} at offset 0")
    (_, time, creator, destination, format_major, format_minor, creator_major, creator_minor,
     destination_major, destination_minor, _) = file_header_struct(order).unpack(raw)
    if format_major != 1:
        raise FormatError(path, 40, REASON_VERSION, f"format version {format_major}."
                          f"{format_minor} at offset 40, only 1.x is read")
    return Header(order, time, element_name(creator), (creator_major, creator_minor),
                  element_name(destination), (destination_major, destination_minor),
                  (format_major, format_minor))


class _Values:
    """Typed views on a buffer whose first byte stands at file offset `base`."""

    base = 0

    def __init__(self, buffer: object, capacity: int):
        self._buffer = buffer
        self._capacity = capacity
        self._views: dict[tuple[str, int], np.ndarray] = {}

    def view(self, dtype: np.dtype, phase: int) -> np.ndarray:
        """The buffer as values of `dtype` from its byte `phase` (below the value size) on."""
        key = (dtype.str, phase)
        found = self._views.get(key)
        if found is None:
            count = max(0, (self._capacity - phase) // dtype.itemsize)
            found = np.frombuffer(self._buffer, dtype, count, phase)
            self._views[key] = found
        return found

    def values(self, dtype: np.dtype, offsets: np.ndarray) -> np.ndarray:
        """One value of `dtype` (in its byte order) at each file offset, in host order."""
        return self.segments(dtype, offsets, None)

    def segments(self, dtype: np.dtype, offsets: np.ndarray, counts: np.ndarray | None,
                 keep: np.ndarray | None = None, out: np.ndarray | None = None) -> np.ndarray:
        """`counts[i]` values of `dtype` from file offset `offsets[i]` on, one segment after
        another (one value each without `counts`), in host order; with `keep` (a mask over
        those values) only the values it keeps. Written into `out` when given."""
        offsets = np.asarray(offsets, np.int64) - self.base
        width = dtype.itemsize
        shift = width.bit_length() - 1  # value sizes are powers of two
        if counts is None:
            total = len(offsets)
        else:
            counts = np.asarray(counts, np.int64)
            total = int(counts.sum())
        size = total if keep is None else int(np.count_nonzero(keep))
        if out is None:
            out = np.empty(size, dtype.newbyteorder("="))
        if size == 0:
            return out
        classes: list[tuple[int, np.ndarray | None]] = [(0, None)]
        if width > 1:
            phases = offsets & (width - 1)
            first = int(phases[0])
            if (phases == first).all():
                classes = [(first, None)]
            else:
                classes = [(int(phase), phases == phase) for phase in np.unique(phases)]
        if counts is not None:
            ends = np.cumsum(counts)
            within = np.arange(total, dtype=np.int64) - np.repeat(ends - counts, counts)
        for phase, chosen in classes:
            view = self.view(dtype, phase)
            words = (offsets - phase) >> shift
            index = words if counts is None else np.repeat(words, counts) + within
            if chosen is None and keep is None:
                out[:] = view[index]
                continue
            rows = None
            if chosen is not None:
                rows = chosen if counts is None else np.repeat(chosen, counts)
            if keep is not None:
                rows = keep if rows is None else rows & keep
            if keep is None:
                out[rows] = view[index[rows]]
            else:
                out[np.cumsum(keep)[rows] - 1] = view[index[rows]]
        return out


class Content(_Values):
    """The whole file, mapped (read into memory when it cannot be: a pipe, an empty file)."""

    def __init__(self, path: str):
        self.path = path
        self._stream = builtins.open(path, "rb")
        try:
            data: bytes | mmap.mmap = mmap.mmap(self._stream.fileno(), 0,
                                                access=mmap.ACCESS_READ)
            self.mapped = True
        except (OSError, ValueError):
            data = self._stream.read()
            self.mapped = False
        self.data = data
        self.length = len(data)
        super().__init__(data, self.length)
        self.header = read_header(path, data)
        self.order = self.header.byte_order

    def window(self) -> Window:
        """A window for reading this file front to back."""
        return Window(self)

    def read_into(self, buffer: memoryview, position: int) -> int:
        """Reads the file's bytes from `position` into `buffer`; returns how many it read."""
        if not self.mapped:
            piece = self.data[position:position + len(buffer)]
            buffer[:len(piece)] = piece
            return len(piece)
        done = 0
        while done < len(buffer):
            got = os.preadv(self._stream.fileno(), [buffer[done:]], position + done)
            if got == 0:
                break
            done += got
        return done


class Window(_Values):
    """Bytes `base` to `base + valid` of a file, in a buffer of its own; moved by `fill`."""

    def __init__(self, content: Content):
        self.content = content
        if not content.mapped:
            # Everything is in memory already: the window is the whole file and never moves.
            super().__init__(content.data, content.length)
            self.buffer = memoryview(content.data)
            self.valid = content.length
            self.fixed = True
        else:
            self.buffer = memoryview(bytearray(WINDOW_SIZE))
            super().__init__(self.buffer, WINDOW_SIZE)
            self.valid = 0
            self.fixed = False
        self.base = 0
        self.words = None  # the buffer as host-order 4-byte words, for the hot loop
        if content.order == HOST_ORDER:
            self.words = self.buffer[: len(self.buffer) & ~3].cast("I")

    @property
    def end(self) -> int:
        return self.base + self.valid

    def holds(self, start: int, stop: int) -> bool:
        return self.base <= start and stop <= self.base + self.valid

    def fill(self, position: int, need: int) -> bool:
        """Moves the window to hold bytes from `position` on (at least `need` of them where the
        file has them); False when the file has fewer than `need` bytes there."""
        if self.holds(position, position + need):
            return True
        if self.fixed:
            return False
        sequential = self.base <= position <= self.base + self.valid + SMALL_WINDOW
        base = position & ~7  # keeps offsets and buffer positions in the same phase
        size = WINDOW_SIZE if sequential or need > SMALL_WINDOW else SMALL_WINDOW
        self.base = base
        self.valid = self.content.read_into(self.buffer[:size], base)
        return self.holds(position, position + need)

    def headers(self, offsets: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The element headers at file offsets `offsets` (all inside the window) as three
        8-byte words each: the name's two halves, and the type word with the size."""
        relative = offsets - self.base
        phases = relative & 7
        first = int(phases[0]) if len(phases) else 0
        if not (phases == first).all():
            words = np.dtype(np.uint64)
            return (self.segments(words, offsets, None), self.segments(words, offsets + 8, None),
                    self.segments(words, offsets + 16, None))
        view = self.view(np.dtype(np.uint64), first)
        index = relative >> 3
        return view[index], view[index + 1], view[index + 2]


__all__ = ["Content", "Header", "Window", "element_name", "read_header"]

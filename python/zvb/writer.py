"""Writing a ZVB file element by element, in either byte order."""

from __future__ import annotations

import builtins
import os
import sys
import time
from types import TracebackType
from typing import BinaryIO

import numpy as np

from .format import (
    END_MARKER_TYPE,
    FLAG_ARRAY,
    FLAG_GROUP,
    FLAG_SINGLE,
    TYPE_NULL,
    ZVB_MAGIC,
    element_header_struct,
    file_header_struct,
    name_bytes,
    number_dtype,
    type_code,
)

# The creator name that files written by this package carry, and its version.
CREATOR = "ZVBPY"
CREATOR_VERSION = (1, 0)


class Writer:
    """Writes a ZVB file: the header on opening, then elements in file order. A group's
    elements follow it until `end()` closes it. Numbers are written in `byte_order` ('=' for
    the host's, '<' or '>'), converted as needed.

    Used as a context manager, a failure inside the block removes the unfinished file. Given a
    `stream`, the writer writes into it from where it stands and leaves it open (`path` then
    only names it), and removes nothing.
    """

    def __init__(self, path: str | os.PathLike[str], byte_order: str = "=",
                 creator: str = CREATOR, creator_version: tuple[int, int] = CREATOR_VERSION,
                 stream: BinaryIO | None = None):
        if byte_order == "=":
            byte_order = "<" if sys.byteorder == "little" else ">"
        self.path = os.fspath(path)
        self.byte_order = byte_order
        self._element_header = element_header_struct(byte_order)
        self._owns_stream = stream is None
        self._stream = builtins.open(self.path, "wb") if stream is None else stream
        self._stream.write(file_header_struct(byte_order).pack(
            ZVB_MAGIC, int(time.time()) & 0xFFFFFFFF, name_bytes(creator), name_bytes(""),
            1, 1, creator_version[0], creator_version[1], 0, 0, b"\0\0"))

    def element(self, name: str, type_word: int, data: bytes | memoryview = b"") -> None:
        """One element with its data as they are to stand in the file."""
        self._stream.write(self._element_header.pack(name_bytes(name), type_word, len(data)))
        self._stream.write(data)

    def _numbers(self, values: np.ndarray | object) -> tuple[int, np.ndarray]:
        array = np.asarray(values)
        code = type_code(array.dtype)
        target = number_dtype(code, self.byte_order)
        return code, np.ascontiguousarray(array, dtype=target)

    def array(self, name: str, values: np.ndarray) -> None:
        """An array of numbers in the value type that stores `values`' numpy type."""
        code, stored = self._numbers(values)
        self.element(name, FLAG_ARRAY | code, memoryview(stored.reshape(-1).view(np.uint8)))

    def single(self, name: str, value: np.generic) -> None:
        """One number, in the value type of its numpy type (np.float64(0.5), np.int32(3))."""
        code, stored = self._numbers(value)
        self.element(name, FLAG_SINGLE | code, stored.tobytes())

    def group(self, name: str, value: np.generic | None = None) -> None:
        """Opens a group, with a number as its value or without a value."""
        if value is None:
            self.element(name, FLAG_GROUP | TYPE_NULL)
        else:
            code, stored = self._numbers(value)
            self.element(name, FLAG_GROUP | FLAG_SINGLE | code, stored.tobytes())

    def end(self) -> None:
        """Closes the innermost open group."""
        self.element("", END_MARKER_TYPE)

    def close(self) -> None:
        if self._owns_stream:
            self._stream.close()
        else:
            self._stream.flush()

    def __enter__(self) -> Writer:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()
        if kind is not None and self._owns_stream:
            os.unlink(self.path)

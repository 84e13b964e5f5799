"""Reading a ZVB file into a tree of nodes whose arrays are mapped from the file."""

from __future__ import annotations

import builtins
import functools
import mmap
import os
import sys
from dataclasses import dataclass
from typing import Iterator

import numpy as np

from .format import (
    ELEMENT_HEADER_SIZE,
    FILE_HEADER_SIZE,
    FLAG_ARRAY,
    FLAG_END_GROUP,
    FLAG_GROUP,
    FLAG_SINGLE,
    REASON_EOF,
    REASON_MAGIC,
    REASON_VERSION,
    TYPE_ASCII,
    TYPE_MASK,
    TYPE_NULL,
    ZVB_MAGIC,
    FormatError,
    element_header_struct,
    file_header_struct,
    number_dtype,
    text_from_bytes,
    value_type_name,
)


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


class Node:
    """One element of a file: a group, an array, a single value, or an end-of-group marker.

    `children` holds a group's elements in file order without its end-of-group element, which
    is `end` (None when the file ended before the group was closed). `value` is the element's
    data: a numpy array for an array of numbers (mapped from the file, in the stored type and
    byte order), a numpy scalar for a single number, a str for a text (a list of them for an
    array of texts), None for no data, and the raw bytes for data without a value structure or
    a single value whose size does not fit its type.
    """

    __slots__ = ("name", "type", "size", "offset", "parent", "children", "end", "_file", "_value")

    def __init__(self, name: str, type_word: int, size: int, offset: int, file: File | None):
        self.name = name
        self.type = type_word
        self.size = size
        self.offset = offset  # of the element header; -1 for the root, which is not stored
        self.parent: Node | None = None
        self.children: list[Node] = []
        self.end: Node | None = None
        self._file = file
        self._value: object = _UNREAD

    @property
    def is_group(self) -> bool:
        return bool(self.type & FLAG_GROUP)

    @property
    def is_end(self) -> bool:
        return bool(self.type & FLAG_END_GROUP)

    @property
    def is_array(self) -> bool:
        return bool(self.type & FLAG_ARRAY) and not self.is_group

    @property
    def value_type(self) -> str:
        return value_type_name(self.type)

    @property
    def data(self) -> np.ndarray:
        """The element's data bytes, mapped from the file."""
        if self._file is None:
            return np.empty(0, np.uint8)
        return self._file._values(self.offset + ELEMENT_HEADER_SIZE, self.size, _BYTE)

    @property
    def value(self) -> object:
        if self._value is _UNREAD:
            self._value = _decode(self)
        return self._value

    def __iter__(self) -> Iterator[Node]:
        return iter(self.children)

    def __getitem__(self, name: str) -> Node:
        """The first child called `name`."""
        for child in self.children:
            if child.name == name:
                return child
        raise KeyError(name)

    def walk(self) -> Iterator[tuple[Node, int]]:
        """Every element below this node in file order, end-of-group elements included, with
        its depth (the node's children are at depth 0). Without recursion: any nesting."""
        stack: list[tuple[Iterator[Node], int]] = [(iter(_elements_of(self)), 0)]
        while stack:
            elements, depth = stack[-1]
            node = next(elements, None)
            if node is None:
                stack.pop()
                continue
            yield node, depth
            if node.is_group:
                stack.append((iter(_elements_of(node)), depth + 1))

    def __repr__(self) -> str:
        kind = "group" if self.is_group else "end" if self.is_end else "element"
        return f"<zvb {kind} {self.name!r} type=0x{self.type:x} size={self.size} at {self.offset}>"


class File(Node):
    """The root of a file's tree: a group without a name or a value, with the file header."""

    __slots__ = ("path", "header", "_content", "_map", "_map_name")

    def __init__(self, path: str, header: Header, content: bytes | mmap.mmap):
        super().__init__("", FLAG_GROUP | TYPE_NULL, 0, -1, None)
        self.path = path
        self.header = header
        self._content = content
        self._map = content if isinstance(content, mmap.mmap) else None
        self._map_name = os.path.abspath(path)

    def _values(self, start: int, count: int, dtype: np.dtype) -> np.ndarray:
        """`count` values of `dtype` from the byte `start` on: a numpy.memmap on the file's
        mapping (made directly: slicing a memmap costs several times more), or a view of the
        bytes read when the file could not be mapped."""
        if self._map is None:
            return np.frombuffer(self._content, dtype, count, start)
        values = np.ndarray.__new__(np.memmap, (count,), dtype, buffer=self._map, offset=start)
        values._mmap = self._map
        values.filename = self._map_name
        values.offset = start
        values.mode = "r"
        return values


_UNREAD = object()
_BYTE = np.dtype(np.uint8)
_UNREAD = object()


def _elements_of(node: Node) -> list[Node]:
    return node.children if node.end is None else node.children + [node.end]


def _decode(node: Node) -> object:
    if node.size == 0 and not node.type & FLAG_ARRAY:
        return None
    file = node._file
    assert file is not None
    code = node.type & TYPE_MASK
    dtype = _number_dtype(node.type, file.header.byte_order)
    if node.type & FLAG_ARRAY:
        if dtype is not None:
            # Bytes after the last whole value belong to no value.
            return file._values(node.offset + ELEMENT_HEADER_SIZE, node.size // dtype.itemsize,
                                dtype)
        if code == TYPE_ASCII:
            return _texts(node.data.tobytes())
        if code == TYPE_NULL:
            return None
        return node.data
    if node.type & FLAG_SINGLE:
        if dtype is not None and node.size == dtype.itemsize:
            return node.data.view(dtype)[0]
        if code == TYPE_ASCII:
            return _texts(node.data.tobytes())[0]
    return node.data.tobytes()


@functools.lru_cache(maxsize=None)
def _number_dtype(type_word: int, byte_order: str) -> np.dtype | None:
    return number_dtype(type_word, byte_order)


def _texts(raw: bytes) -> list[str]:
    """NUL-terminated texts one after another; the last one may lack its NUL."""
    if not raw:
        return []
    parts = raw.split(b"\0")
    if raw.endswith(b"\0"):
        parts.pop()
    return [text_from_bytes(part) for part in parts]


@functools.lru_cache(maxsize=4096)  # a file repeats a few names many times
def _name(raw: bytes) -> str:
    end = raw.find(b"\0")
    return text_from_bytes(raw if end < 0 else raw[:end])


def _map(path: str) -> bytes | mmap.mmap:
    """The file's bytes, mapped; read into memory when the file cannot be mapped (a pipe, or
    an empty file)."""
    with builtins.open(path, "rb") as stream:
        try:
            return mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):
            return stream.read()


def _read_header(path: str, data: bytes | mmap.mmap) -> Header:
    length = len(data)
    if length < FILE_HEADER_SIZE:
        raise FormatError(path, 0, REASON_EOF,
                          f"the file header takes {FILE_HEADER_SIZE} bytes, the file has {length}")
    raw = data[:FILE_HEADER_SIZE]
    magic = int.from_bytes(raw[:4], sys.byteorder)
    if magic == ZVB_MAGIC:
        order = "<" if sys.byteorder == "little" else ">"
    elif int.from_bytes(raw[:4], "big" if sys.byteorder == "little" else "little") == ZVB_MAGIC:
        order = ">" if sys.byteorder == "little" else "<"
    else:
        raise FormatError(path, 0, REASON_MAGIC, f"magic number 0x{magic:08X} at offset 0")
    (_, time, creator, destination, format_major, format_minor, creator_major, creator_minor,
     destination_major, destination_minor, _) = file_header_struct(order).unpack(raw)
    if format_major != 1:
        raise FormatError(path, 40, REASON_VERSION, f"format version {format_major}."
                          f"{format_minor} at offset 40, only 1.x is read")
    return Header(order, time, _name(creator), (creator_major, creator_minor), _name(destination),
                  (destination_major, destination_minor), (format_major, format_minor))


def open(path: str | os.PathLike[str]) -> File:
    """Reads the ZVB file at `path` into a tree and returns its root.

    Both byte orders are read. A level ends after its end-of-group element or where the file
    ends (a group cut short there keeps the elements read); an end-of-group element at the top
    level ends the tree; elements appended after a complete file are further top-level
    elements. Raises FormatError for a cut header, a wrong magic number, a format version
    other than 1, or element data that run past the end of the file.
    """
    path = os.fspath(path)
    data = _map(path)
    header = _read_header(path, data)
    root = File(path, header, data)
    element_header = element_header_struct(header.byte_order)
    length = len(data)
    # The groups whose levels are open, innermost last. Without recursion: any nesting.
    open_groups: list[Node] = [root]
    position = FILE_HEADER_SIZE
    while open_groups and position + ELEMENT_HEADER_SIZE <= length:
        name, type_word, size = element_header.unpack_from(data, position)
        data_start = position + ELEMENT_HEADER_SIZE
        if data_start + size > length:
            raise FormatError(path, position, REASON_EOF,
                              f'element "{_name(name)}" at offset {position} has {size} bytes '
                              f"of data, the file ends {length - data_start} bytes after its "
                              "header")
        node = Node(_name(name), type_word, size, position, root)
        parent = open_groups[-1]
        node.parent = parent
        position = data_start + size
        if type_word & FLAG_GROUP:
            if type_word & FLAG_END_GROUP:
                parent.end = node  # it closes its parent's level once its own children are read
            else:
                parent.children.append(node)
            open_groups.append(node)
        elif type_word & FLAG_END_GROUP:
            parent.end = node
            _close_level(open_groups)
        else:
            parent.children.append(node)
    return root


def _close_level(open_groups: list[Node]) -> None:
    """Closes the innermost open level; a group that is also an end-of-group element then
    closes the level it stands in, and so on outward."""
    closed = open_groups.pop()
    while closed.is_group and closed.is_end and open_groups:
        closed = open_groups.pop()


__all__ = ["File", "Header", "Node", "open"]

"""Reading a ZVB file into a tree of nodes whose arrays are mapped from the file.

The tree is kept as the scanner's runs of items (see scan.py); a node is made when it is asked
for, from its number among the file's elements, so that opening a file of millions of
elements makes no Python object per element.
"""

from __future__ import annotations

import bisect
import functools
import os
from collections import OrderedDict
from collections.abc import Sequence
from typing import Callable, Iterator, overload

import numpy as np

from .fileview import Content, Header
from .format import (
    ELEMENT_HEADER_SIZE,
    FLAG_ARRAY,
    FLAG_END_GROUP,
    FLAG_GROUP,
    FLAG_SINGLE,
    TYPE_ASCII,
    TYPE_MASK,
    TYPE_NULL,
    number_dtype,
    text_from_bytes,
    value_type_name,
)
from .scan import Run, Scanner

# Items whose element offsets are kept at hand, for nodes asked for one after another.
_LAYOUTS_KEPT = 64


class Node:
    """One element of a file: a group, an array, a single value, or an end-of-group marker.

    `children` holds a group's elements in file order without its end-of-group element, which
    is `end` (None when the file ended before the group was closed). `value` is the element's
    data: a numpy array for an array of numbers (mapped from the file, in the stored type and
    byte order), a numpy scalar for a single number, a str for a text (a list of them for an
    array of texts), None for no data, and the raw bytes for data without a value structure or
    a single value whose size does not fit its type. Nodes are made when asked for: two nodes
    of one element are equal, not the same object.
    """

    __slots__ = ("name", "type", "size", "offset", "_file", "_number", "_value")

    def __init__(self, name: str, type_word: int, size: int, offset: int, file: File | None,
                 number: int = -1):
        self.name = name
        self.type = type_word
        self.size = size
        self.offset = offset  # of the element header; -1 for the root, which is not stored
        self._file = file
        self._number = number  # among the file's elements in file order; -1 for the root
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
    def parent(self) -> Node | None:
        assert self._file is not None
        return self._file._parent_of(self._number)

    @property
    def children(self) -> Sequence[Node]:
        assert self._file is not None
        return self._file._children_of(self._number)

    @property
    def end(self) -> Node | None:
        assert self._file is not None
        return self._file._end_of(self._number)

    @property
    def data(self) -> np.ndarray:
        """The element's data bytes, mapped from the file."""
        if self._file is None or self._number < 0:
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
        assert self._file is not None
        return self._file._walk_below(self._number)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Node):
            return NotImplemented
        if self._file is None or other._file is None:
            return self is other
        return self._file is other._file and self._number == other._number

    def __hash__(self) -> int:
        return hash((id(self._file), self._number))

    def __repr__(self) -> str:
        kind = "group" if self.is_group else "end" if self.is_end else "element"
        return f"<zvb {kind} {self.name!r} type=0x{self.type:x} size={self.size} at {self.offset}>"


class _Children(Sequence):
    """Nodes made as they are asked for: the children of a node, by element number."""

    def __init__(self, file: File, numbers: Sequence[int]):
        self._file = file
        self._numbers = numbers

    def __len__(self) -> int:
        return len(self._numbers)

    @overload
    def __getitem__(self, index: int) -> Node: ...

    @overload
    def __getitem__(self, index: slice) -> list[Node]: ...

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self._file._node(number) for number in self._numbers[index]]
        return self._file._node(self._numbers[index])

    def __iter__(self) -> Iterator[Node]:
        node = self._file._node
        for number in self._numbers:
            yield node(number)

    def __add__(self, other: object) -> list[Node]:
        return list(self) + list(other)  # type: ignore[call-overload]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (list, tuple, _Children)):
            return list(self) == list(other)
        return NotImplemented

    def __repr__(self) -> str:
        return f"<zvb children: {len(self)} nodes>"


class _TopLevel(Sequence):
    """The element numbers of the top-level elements, one per item, run by run."""

    def __init__(self, runs: list[Run]):
        self._runs = runs
        self._ends = np.cumsum([len(run) for run in runs], dtype=np.int64)

    def __len__(self) -> int:
        return int(self._ends[-1]) if len(self._ends) else 0

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[k] for k in range(*index.indices(len(self)))]
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError(index)
        which = int(np.searchsorted(self._ends, index, side="right"))
        run = self._runs[which]
        item = index - (int(self._ends[which - 1]) if which else 0)
        return run.first + item * run.template.element_count


class File(Node):
    """The root of a file's tree: a group without a name or a value, with the file header."""

    __slots__ = ("path", "header", "_content", "_runs", "_firsts", "_top", "_tree_end",
                 "_layouts")

    def __init__(self, content: Content, runs: list[Run]):
        super().__init__("", FLAG_GROUP | TYPE_NULL, 0, -1, self)
        self.path = content.path
        self.header: Header = content.header
        self._content = content
        self._runs = runs
        self._firsts = [run.first for run in runs]
        # An item whose top element ends a group is the root's end, and the last item.
        self._tree_end = -1
        children_runs = runs
        if runs and runs[-1].template.type[0] & FLAG_END_GROUP:
            self._tree_end = runs[-1].first
            children_runs = runs[:-1]
        self._top = _TopLevel(children_runs)
        self._layouts: OrderedDict[tuple[int, int], tuple[list[int], list[int]]] = OrderedDict()

    def _values(self, start: int, count: int, dtype: np.dtype) -> np.ndarray:
        """`count` values of `dtype` from the byte `start` on: a numpy.memmap on the file's
        mapping (made directly: slicing a memmap costs several times more), or a view of the
        bytes read when the file could not be mapped."""
        content = self._content
        if not content.mapped:
            return np.frombuffer(content.data, dtype, count, start)
        values = np.ndarray.__new__(np.memmap, (count,), dtype, buffer=content.data,
                                    offset=start)
        values._mmap = content.data
        values.filename = os.path.abspath(self.path)
        values.offset = start
        values.mode = "r"
        return values

    # Element numbers to runs, items and nodes.
    def _locate(self, number: int) -> tuple[int, int, int]:
        which = bisect.bisect_right(self._firsts, number) - 1
        item, element = divmod(number - self._firsts[which], self._runs[which].template.element_count)
        return which, item, element

    def _item_layout(self, which: int, item: int) -> tuple[list[int], list[int]]:
        key = (which, item)
        found = self._layouts.get(key)
        if found is None:
            offsets, sizes = self._runs[which].part(slice(item, item + 1)).layout()
            found = (offsets[0].tolist(), sizes[0].tolist())
            self._layouts[key] = found
            if len(self._layouts) > _LAYOUTS_KEPT:
                self._layouts.popitem(last=False)
        else:
            self._layouts.move_to_end(key)
        return found

    def _node(self, number: int) -> Node:
        if number < 0:
            return self
        which, item, element = self._locate(number)
        template = self._runs[which].template
        offsets, sizes = self._item_layout(which, item)
        return Node(template.names[element], int(template.type[element]), sizes[element],
                    offsets[element], self, number)

    def _parent_of(self, number: int) -> Node | None:
        if number < 0:
            return None
        which, _, element = self._locate(number)
        parent = int(self._runs[which].template.parent[element])
        return self if parent < 0 else self._node(number - element + parent)

    def _children_of(self, number: int) -> Sequence[Node]:
        if number < 0:
            return _Children(self, self._top)
        which, _, element = self._locate(number)
        children = self._runs[which].template.structure()[0][element]
        base = number - element
        return _Children(self, [base + child for child in children])

    def _end_of(self, number: int) -> Node | None:
        if number < 0:
            return None if self._tree_end < 0 else self._node(self._tree_end)
        which, _, element = self._locate(number)
        end = self._runs[which].template.structure()[1][element]
        return None if end < 0 else self._node(number - element + end)

    def _walk_below(self, number: int) -> Iterator[tuple[Node, int]]:
        if number >= 0:
            which, item, element = self._locate(number)
            template = self._runs[which].template
            span = int(template.structure()[2][element])
            offsets, sizes = self._item_layout(which, item)
            depth = template.depth.tolist()
            base = number - element
            for e in range(element + 1, element + span):
                yield (Node(template.names[e], int(template.type[e]), sizes[e], offsets[e], self,
                            base + e), depth[e] - depth[element] - 1)
            return
        for run in self._runs:
            template = run.template
            names = template.names
            types = template.type.tolist()
            depths = template.depth.tolist()
            count = template.element_count
            number = run.first
            for piece in run.pieces(1 << 13):
                offsets, sizes = piece.layout()
                for item_offsets, item_sizes in zip(offsets.tolist(), sizes.tolist()):
                    for e in range(count):
                        yield (Node(names[e], types[e], item_sizes[e], item_offsets[e], self,
                                    number), depths[e])
                        number += 1

    def __eq__(self, other: object) -> bool:
        return self is other

    def __hash__(self) -> int:
        return id(self)


_UNREAD = object()
_BYTE = np.dtype(np.uint8)


def _decode(node: Node) -> object:
    file = node._file
    assert file is not None
    return decode(file._values, file.header.byte_order, node.type, node.size, node.offset)


def decode(values: Callable[[int, int, np.dtype], np.ndarray], byte_order: str, type_word: int,
           size: int, offset: int) -> object:
    """The value of the element whose header is at `offset`, as Node.value gives it;
    `values(start, count, dtype)` reads values from the file."""
    if size == 0 and not type_word & FLAG_ARRAY:
        return None
    code = type_word & TYPE_MASK
    dtype = _number_dtype(type_word, byte_order)
    start = offset + ELEMENT_HEADER_SIZE
    if type_word & FLAG_ARRAY:
        if dtype is not None:
            # Bytes after the last whole value belong to no value.
            return values(start, size // dtype.itemsize, dtype)
        if code == TYPE_ASCII:
            return _texts(values(start, size, _BYTE).tobytes())
        if code == TYPE_NULL:
            return None
        return values(start, size, _BYTE)
    if type_word & FLAG_SINGLE:
        if dtype is not None and size == dtype.itemsize:
            return values(start, 1, dtype)[0]
        if code == TYPE_ASCII:
            return _texts(values(start, size, _BYTE).tobytes())[0]
    return values(start, size, _BYTE).tobytes()


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


def open(path: str | os.PathLike[str]) -> File:
    """Reads the element headers of the ZVB file at `path` and returns its tree's root.

    Both byte orders are read. A level ends after its end-of-group element or where the file
    ends (a group cut short there keeps the elements read); an end-of-group element at the top
    level ends the tree; elements appended after a complete file are further top-level
    elements. Raises FormatError for a cut header, a wrong magic number, a format version
    other than 1, element data that run past the end of the file, or groups nested more than
    1000 deep, as zvbtrack refuses them. The headers are read in one pass and kept in runs of
    items of one shape; nodes are made when asked for.
    """
    content = Content(os.fspath(path))
    runs = []
    for run in Scanner(content).runs():
        run.window = None
        runs.append(run)
    return File(content, runs)


__all__ = ["File", "Header", "Node", "decode", "open"]

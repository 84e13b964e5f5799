"""Finding the elements of a ZVB file in one pass over their headers, without a Python object
per element.

A file is a sequence of top-level items: a top-level element and everything inside it (a
trajectory group with its arrays, copies and end marker, say). The scanner describes an item by
its shape, a Template (the names, types and fixed sizes of its elements, in file order), and
consecutive items of one shape as a Run: the template, where each item starts, and the value
counts of its arrays. Once two items in a row have had one shape, the items after them are not
read element by element: from an item's start and the size field of the first array of each
family (the arrays side by side in one group that hold as many values each), the next item's
start follows; the headers so predicted are then compared with the file in one numpy pass, and
where one differs the scanner reads element by element again. A file of a million trajectories
becomes a few hundred runs.
"""

from __future__ import annotations

import struct
from collections import OrderedDict
from typing import Iterator

import numpy as np

from .fileview import HOST_ORDER, Content, Window, element_name
from .format import (
    ELEMENT_HEADER_SIZE,
    FILE_HEADER_SIZE,
    FLAG_ARRAY,
    FLAG_END_GROUP,
    FLAG_GROUP,
    MAX_GROUP_DEPTH,
    NUMBER_TYPES,
    REASON_DEPTH,
    REASON_EOF,
    TYPE_MASK,
    FormatError,
)

# Items of more elements than this are described once and never predicted.
MAX_TEMPLATE_ELEMENTS = 4096
# Predicted items: the first prediction after a repeat is short, and each one that holds
# doubles the next, so that a file whose shapes change often loses little to predictions.
FIRST_BATCH = 16
MAX_BATCH = 1 << 16
TEMPLATE_CACHE = 256
# Elements handled by one numpy pass: temporaries of this many values stay in the heap that
# the allocator keeps, where larger ones would be mapped afresh (and fault in) every time.
PIECE_ELEMENTS = 1 << 13

_WIDTH = {code: np.dtype(numpy_type).itemsize for code, (_, numpy_type) in NUMBER_TYPES.items()}


def array_width(type_word: int) -> int:
    """The value size of an array of numbers, 0 for any other element."""
    if type_word & (FLAG_ARRAY | FLAG_GROUP) != FLAG_ARRAY:
        return 0
    return _WIDTH.get(type_word & TYPE_MASK, 0)


class Template:
    """The shape of one item: per element in file order its name, type word, parent and
    depth within the item, and its size: fixed, or the count of its family times its value
    size. A family is a run of arrays of numbers side by side in one group that held as many
    values each when the template was made; its count varies from item to item."""

    def __init__(self, raws: list[bytes], names: list[str], types: list[int], sizes: list[int],
                 parents: list[int], depths: list[int], closed: bool, ends_tree: bool):
        count = len(types)
        self.element_count = count
        self.names = names
        self.type = np.array(types, np.uint32)
        self.parent = np.array(parents, np.int32)
        self.depth = np.array(depths, np.int32)
        self.closed = closed  # False: the file ended inside the item
        self.ends_tree = ends_tree  # the item closes the top level: nothing after it is read
        self.item_bytes = sum(sizes) + ELEMENT_HEADER_SIZE * count
        family = [-1] * count
        widths = [0] * count
        fixed = list(sizes)
        self.family_counts: list[int] = []  # those of the item the template was made from
        self.family_first: list[int] = []  # the element that stands first in each family
        # For each family: the bytes from the end of the family before to its first header,
        # its first array's value size, its header bytes, and its bytes per value counted.
        self.fixed_before: list[int] = []
        self.first_width: list[int] = []
        self.family_fixed: list[int] = []
        self.family_width: list[int] = []
        gap = 0
        for e in range(count):
            width = array_width(types[e])
            if width and sizes[e] % width == 0:
                values = sizes[e] // width
                joins = (e > 0 and family[e - 1] >= 0 and parents[e - 1] == parents[e]
                         and self.family_counts[family[e - 1]] == values)
                if not joins:
                    self.family_first.append(e)
                    self.family_counts.append(values)
                    self.fixed_before.append(gap)
                    self.first_width.append(width)
                    self.family_fixed.append(0)
                    self.family_width.append(0)
                    gap = 0
                number = len(self.family_counts) - 1
                family[e] = number
                widths[e] = width
                fixed[e] = 0
                self.family_fixed[number] += ELEMENT_HEADER_SIZE
                self.family_width[number] += width
            else:
                gap += ELEMENT_HEADER_SIZE + sizes[e]
        self.tail = gap
        self.family_total = len(self.family_counts)
        self.family = np.array(family, np.int32)
        self.width = np.array(widths, np.int64)
        self.fixed = np.array(fixed, np.int64)
        self._family_index = np.maximum(self.family, 0)
        # Offsets within an item are affine in the family counts: a fixed part, and per
        # family the value bytes of its arrays before the element.
        steps = self.fixed + ELEMENT_HEADER_SIZE
        self._offset_fixed = np.cumsum(steps) - steps
        per_family = np.zeros((count, max(1, self.family_total)), np.int64)
        for e in range(count):
            if family[e] >= 0:
                per_family[e + 1:, family[e]] += widths[e]
        self._offset_per_family = per_family[:, :self.family_total].T.copy()
        names_words = np.frombuffer(b"".join(raws), np.uint64).reshape(count, 2)
        self.name0 = names_words[:, 0].copy()
        self.name1 = names_words[:, 1].copy()
        self.repeatable = closed and not ends_tree and count <= MAX_TEMPLATE_ELEMENTS
        self.cache: dict[object, object] = {}  # what readers derive from the shape, once

    def item_size(self, counts: np.ndarray) -> np.ndarray:
        """The bytes of items with these family counts, headers included."""
        fixed = self.tail + sum(self.fixed_before) + sum(self.family_fixed)
        if self.family_total == 0:
            return np.full(len(counts), fixed, np.int64)
        return counts @ np.array(self.family_width, np.int64) + fixed

    def sizes(self, counts: np.ndarray) -> np.ndarray:
        """The data sizes of every element of items with these family counts: (items, E)."""
        if self.family_total == 0:
            return np.broadcast_to(self.fixed, (len(counts), self.element_count)).copy()
        return self.fixed + self.width * counts[:, self._family_index]

    def members(self) -> list[list[int]]:
        """Each element's children with, last, the group that ends it when its end-of-group
        element is a group: what a group holds, for the trajectory readers (the tree shows
        such a group as the end of its parent)."""
        found = self.cache.get("members")
        if found is None:
            children, end, _ = self.structure()
            types = self.type.tolist()
            found = [kids + [end[e]] if end[e] >= 0 and types[end[e]] & FLAG_GROUP else kids
                     for e, kids in enumerate(children)]
            self.cache["members"] = found
        return found  # type: ignore[return-value]

    def structure(self) -> tuple[list[list[int]], list[int], np.ndarray]:
        """Each element's children without its end-of-group element, that element (-1 for
        none), and the number of elements each one spans (itself and all inside it)."""
        found = self.cache.get("structure")
        if found is None:
            count = self.element_count
            children: list[list[int]] = [[] for _ in range(count)]
            end = [-1] * count
            span = [1] * count
            types = self.type.tolist()
            parents = self.parent.tolist()
            for e in range(count - 1, -1, -1):  # inner elements first: no recursion
                parent = parents[e]
                if parent < 0:
                    continue
                span[parent] += span[e]
                if types[e] & FLAG_END_GROUP:
                    end[parent] = e
                else:
                    children[parent].append(e)
            for child_list in children:
                child_list.reverse()
            found = (children, end, np.array(span, np.int64))
            self.cache["structure"] = found
        return found  # type: ignore[return-value]


class Run:
    """Consecutive items of one shape: where each starts (its first header) and its family
    counts, (items, families). `first` numbers the run's first element among the file's
    elements (-1 for a selection of items); `window` holds all of the run's bytes while the
    scanner that made it has not moved on (None when it did not)."""

    __slots__ = ("template", "starts", "counts", "first", "window")

    def __init__(self, template: Template, starts: np.ndarray, counts: np.ndarray, first: int,
                 window: Window | None):
        self.template = template
        self.starts = starts
        self.counts = counts
        self.first = first
        self.window = window

    def __len__(self) -> int:
        return len(self.starts)

    def layout(self) -> tuple[np.ndarray, np.ndarray]:
        """Header offsets and data sizes of every element: two (items, E) arrays."""
        template = self.template
        sizes = template.sizes(self.counts)
        offsets = self.starts[:, None] + template._offset_fixed
        if template.family_total == 1:
            offsets += self.counts[:, :1] * template._offset_per_family[0]
        elif template.family_total:
            offsets += self.counts @ template._offset_per_family
        return offsets, sizes

    def part(self, chosen: slice | np.ndarray) -> Run:
        """The items that `chosen` (a slice, indices or a mask) picks."""
        first = -1
        if isinstance(chosen, slice) and self.first >= 0:
            first = self.first + chosen.indices(len(self))[0] * self.template.element_count
        return Run(self.template, self.starts[chosen], self.counts[chosen], first, self.window)

    def pieces(self, element_limit: int) -> Iterator[Run]:
        """The run in parts of at most `element_limit` elements (at least one item each)."""
        per_part = max(1, element_limit // max(1, self.template.element_count))
        if len(self) <= per_part:
            yield self
            return
        for begin in range(0, len(self), per_part):
            yield self.part(slice(begin, begin + per_part))


class Scanner:
    """Reads the element headers of a file front to back, as runs of items."""

    def __init__(self, content: Content):
        self.content = content
        self.path = content.path
        self.length = content.length
        self.window = content.window()
        self._unpack = struct.Struct(content.order + "16sII").unpack_from
        self._word = struct.Struct(content.order + "I").unpack_from
        self._size_type = np.dtype(content.order + "u4")
        self._templates: OrderedDict[tuple, Template] = OrderedDict()
        self._names: dict[bytes, str] = {}
        self.position = FILE_HEADER_SIZE
        self.elements = 0
        self.finished = False

    def runs(self) -> Iterator[Run]:
        """Every item of the file in runs, front to back; a run's `window` holds its bytes
        until the next run is asked for. Raises FormatError where zvbtrack refuses the file:
        element data that run past its end, or groups nested deeper than zvbtrack reads."""
        last: Template | None = None  # the shape of the item last read header by header
        predicted: Template | None = None  # a shape that two items in a row have had
        batch = FIRST_BATCH
        while not self.finished:
            if predicted is not None:
                run, going_on = self._predict(predicted, batch)
                if run is not None:
                    yield run
                if going_on:
                    batch = min(batch * 2, MAX_BATCH)
                    continue
                batch = FIRST_BATCH
                if self.finished:
                    break
            run = self._read_item()
            if run is None:
                break
            yield run
            template = run.template
            predicted = template if template is last and template.repeatable else None
            last = template

    def _read_item(self) -> Run | None:
        """One item, header by header."""
        window = self.window
        length = self.length
        unpack = self._unpack
        position = self.position
        if position + ELEMENT_HEADER_SIZE > length:
            self.finished = True
            return None
        start = position
        raws: list[bytes] = []
        types: list[int] = []
        sizes: list[int] = []
        parents: list[int] = []
        depths: list[int] = []
        open_groups: list[int] = []  # innermost last; no recursion
        ends_tree = False
        base, end, buffer = window.base, window.end, window.buffer
        while position + ELEMENT_HEADER_SIZE <= length:
            if position < base or position + ELEMENT_HEADER_SIZE > end:
                window.fill(position, ELEMENT_HEADER_SIZE)
                base, end, buffer = window.base, window.end, window.buffer
            raw, type_word, size = unpack(buffer, position - base)
            data_start = position + ELEMENT_HEADER_SIZE
            if data_start + size > length:
                raise FormatError(self.path, position, REASON_EOF,
                                  f'element "{element_name(raw)}" at offset {position} has '
                                  f"{size} bytes of data, the file ends "
                                  f"{length - data_start} bytes after its header")
            element = len(types)
            raws.append(raw)
            types.append(type_word)
            sizes.append(size)
            parents.append(open_groups[-1] if open_groups else -1)
            depths.append(len(open_groups))
            if type_word & FLAG_GROUP:
                if len(open_groups) >= MAX_GROUP_DEPTH:
                    raise FormatError(self.path, position, REASON_DEPTH,
                                      f'group "{element_name(raw)}" at offset {position} opens '
                                      f"level {len(open_groups) + 1}; zvbtrack reads "
                                      f"{MAX_GROUP_DEPTH}")
                open_groups.append(element)
                position = data_start + size
                continue
            position = data_start + size
            if type_word & FLAG_END_GROUP:
                # An end-of-group element closes its level; a group that carries the flag
                # itself closes the level around it once its own children are read. At the
                # top, the tree ends.
                if not open_groups:
                    ends_tree = True
                    break
                closed = open_groups.pop()
                while types[closed] & FLAG_END_GROUP:
                    if not open_groups:
                        ends_tree = True
                        break
                    closed = open_groups.pop()
                if ends_tree:
                    break
            if not open_groups:
                break
        self.position = position
        closed = not open_groups
        if ends_tree or not closed or position + ELEMENT_HEADER_SIZE > length:
            self.finished = True
        template = self._template(raws, types, sizes, parents, depths, closed, ends_tree)
        counts = np.array([[sizes[e] // int(template.width[e]) for e in template.family_first]],
                          np.int64).reshape(1, template.family_total)
        run = Run(template, np.array([start], np.int64), counts, self.elements,
                  window if window.holds(start, position) else None)
        self.elements += len(types)
        return run

    def _template(self, raws: list[bytes], types: list[int], sizes: list[int],
                  parents: list[int], depths: list[int], closed: bool,
                  ends_tree: bool) -> Template:
        names = self._names
        decoded = []
        for raw in raws:
            name = names.get(raw)
            if name is None:
                name = names[raw] = element_name(raw)
            decoded.append(name)
        template = Template(raws, decoded, types, sizes, parents, depths, closed, ends_tree)
        if not template.repeatable:
            return template
        # Array sizes vary from item to item: the key holds the families instead.
        key = (tuple(raws), tuple(types), template.fixed.tobytes(), template.family.tobytes())
        found = self._templates.get(key)
        if found is not None:
            self._templates.move_to_end(key)
            return found
        self._templates[key] = template
        if len(self._templates) > TEMPLATE_CACHE:
            self._templates.popitem(last=False)
        return template

    def _predict(self, template: Template, batch: int) -> tuple[Run | None, bool]:
        """About `batch` items of `template`'s shape from the current position, as far as the
        window holds them and their headers are what the shape predicts; and whether all of
        them were, so that predicting may go on."""
        window = self.window
        start = self.position
        starts, counts = self._predicted_starts(template, batch, start)
        if not starts and not (window.base == start & ~7 and window.valid > ELEMENT_HEADER_SIZE):
            # The window ends before the next item does: it moves on to the item and tries
            # once more.
            window.fill(start, min(template.item_bytes * 2, self.length - start))
            starts, counts = self._predicted_starts(template, batch, start)
        if not starts:
            return None, False
        at = np.array(starts, np.int64)
        families = template.family_total
        if families == 0:
            counts = np.zeros((len(at), 0), np.int64)
        elif families == 1:
            sizes = window.values(self._size_type, at + template.fixed_before[0] + 20)
            counts = (sizes // template.first_width[0]).reshape(-1, 1)
        run = Run(template, at, counts, self.elements, window)
        good = self._agreeing(run)
        if good == 0:
            return None, False
        if good < len(run):
            self.position = int(run.starts[good])
            run = run.part(slice(0, good))
        else:
            offsets, sizes = run.part(slice(len(run) - 1, None)).layout()
            self.position = int(offsets[-1, -1] + ELEMENT_HEADER_SIZE + sizes[-1, -1])
        self.elements += len(run) * template.element_count
        if self.position + ELEMENT_HEADER_SIZE > self.length:
            self.finished = True
        return run, good == len(at) and not self.finished

    def _predicted_starts(self, template: Template, batch: int,
                          position: int) -> tuple[list[int], np.ndarray | None]:
        """Where the items from `position` on start if they have `template`'s shape: as many
        as lie inside the window, about `batch` of them. Only the first array of each family
        is read (its size field); the comparison of headers comes after. With more than one
        family, their counts come too: (items, families)."""
        window = self.window
        base = window.base
        end = window.end
        if position < base:
            return [], None
        budget = position + batch * max(template.item_bytes, 1)
        starts: list[int] = []
        append = starts.append
        families = template.family_total
        if families == 0:
            size = template.item_bytes
            last = min(end - size, budget)
            while position <= last:
                append(position)
                position += size
            return starts, None
        if families == 1:
            # The hot loop of a file of many trajectories: one size field per item.
            before = template.fixed_before[0] + 20
            width = template.first_width[0]
            step = template.fixed_before[0] + template.family_fixed[0] + template.tail
            per_value = template.family_width[0]
            members = template.family_fixed[0] // ELEMENT_HEADER_SIZE
            last = min(end - before - 4, budget)
            words = window.words
            if (words is not None and per_value == members * width and position % 4 == 0
                    and before % 4 == 0 and step % 4 == 0 and width % 4 == 0):
                # A size that is no multiple of the value size leads to headers that the
                # comparison refuses; meanwhile the sizes scale as the first one's.
                shift = before - base
                while position <= last:
                    append(position)
                    position += step + words[(position + shift) >> 2] * members
            else:
                word = self._word
                buffer = window.buffer
                shift = before - base
                while position <= last:
                    append(position)
                    position += step + (word(buffer, position + shift)[0] // width) * per_value
            if starts and position > end:
                starts.pop()  # its end lies past the window (or past the file)
            return starts, None
        word = self._word
        buffer = window.buffer
        plan = list(zip(template.fixed_before, template.first_width, template.family_fixed,
                        template.family_width))
        tail = template.tail
        counts: list[int] = []
        while position <= budget:
            at = position
            row = []
            for before, width, fixed, per_value in plan:
                at += before
                if at + ELEMENT_HEADER_SIZE > end:
                    break
                values = word(buffer, at + 20 - base)[0] // width
                row.append(values)
                at += fixed + values * per_value
            if len(row) < families:
                break
            at += tail
            if at > end:
                break
            append(position)
            counts.extend(row)
            position = at
        return starts, np.array(counts, np.int64).reshape(len(starts), families)

    def _agreeing(self, run: Run) -> int:
        """How many items from the run's first on have every header the shape predicts."""
        template = run.template
        # Predictions from a size field that the shape does not fit can put items anywhere:
        # the comparison stops at the first that the window does not hold (one before it
        # differs from the prediction anyway).
        ends = run.starts + template.item_size(run.counts)
        inside = ends <= self.window.end
        if not inside.all():
            run = run.part(slice(0, int(np.argmin(inside))))
        good_items = 0
        # The type word and the size as the third 8-byte word of a header reads on this host.
        types = template.type.astype(np.uint64)
        swapped = self.content.order != HOST_ORDER
        if swapped:
            types = template.type.byteswap().astype(np.uint64)
        low_first = (HOST_ORDER == "<")
        for piece in run.pieces(PIECE_ELEMENTS):
            offsets, sizes = piece.layout()
            name0, name1, rest = self.window.headers(offsets.reshape(-1))
            stored = sizes.astype(np.uint32)
            if swapped:
                stored = stored.byteswap()
            stored = stored.astype(np.uint64)
            if low_first:
                expected = (stored << np.uint64(32)) | types
            else:
                expected = (types << np.uint64(32)) | stored
            same = rest.reshape(sizes.shape) == expected
            same &= name0.reshape(sizes.shape) == template.name0
            same &= name1.reshape(sizes.shape) == template.name1
            good = same.all(axis=1)
            if not good.all():
                return good_items + int(np.argmin(good))
            good_items += len(piece)
        return good_items


def scan(path: str) -> tuple[Content, Scanner]:
    """The file at `path` with its header read, and a scanner at its first element."""
    content = Content(path)
    return content, Scanner(content)


__all__ = ["HOST_ORDER", "Run", "Scanner", "Template", "array_width", "scan"]

"""The long table of a trajectory file, in two passes over its headers: the first finds the
columns, their types and the number of rows; the second fills each column, allocated once at
its final size, from the file. Between them only the plan is kept, so that the memory taken is
that of the result and of a window of the file.

Rows come trajectory by trajectory in file order, and within one by its blocks (see shape.py).
Work is done in pieces of a few thousand values, whose temporaries the allocator keeps.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Iterator, Union

import numpy as np

from .fileview import WINDOW_SIZE, Content, Window as FileWindow
from .format import ELEMENT_HEADER_SIZE
from .scan import Run, Scanner
from .select import Selection
from .shape import BlockShape, ItemShape, item_shape

PIECE_VALUES = 1 << 16
# Values copied at a time from one trajectory longer than a piece.
SLICE_VALUES = 1 << 20

Source = Union[Content, FileWindow]


def selected_runs(content: Content, chosen: Selection,
                  names: set[str] | None = None) -> Iterator[tuple[Run, ItemShape, Source]]:
    """The runs of trajectory groups whose identifiers are chosen, each with its shape and
    where its bytes are (the scanner's window while it holds them, else the mapped file).
    Every block's column names, chosen or not, go into `names` when given."""
    order = content.order
    for run in Scanner(content).runs():
        shape = item_shape(run.template, order)
        if not shape.is_trajectory:
            continue
        if names is not None:
            for block in shape.blocks:
                _add_names(names, shape, block)
        source: Source = run.window if run.window is not None else content
        if chosen.ids is not None:
            if not shape.group_number[0]:
                continue  # a trajectory group without a number has no identifier to match
            identifiers = source.values(shape.dtypes[0], run.starts + ELEMENT_HEADER_SIZE)
            matched = chosen.ids.matches(identifiers)
            if not matched.any():
                continue
            if not matched.all():
                run = run.part(matched)
        yield run, shape, source


def replayed_runs(content: Content,
                  runs: list[tuple[Run, ItemShape]]) -> Iterator[tuple[Run, ItemShape, Source]]:
    """Runs that an earlier pass kept, in parts each with where its bytes are: a window
    filled with just those bytes when they are few enough, else the mapped file."""
    window = content.window()
    for run, shape in runs:
        for piece in run.pieces(1 << 13):
            offsets, sizes = piece.part(slice(len(piece) - 1, None)).layout()
            start = int(piece.starts[0])
            end = int(offsets[-1, -1]) + ELEMENT_HEADER_SIZE + int(sizes[-1, -1])
            if end - start <= WINDOW_SIZE and window.fill(start, end - start):
                yield piece, shape, window
            else:
                yield piece, shape, content


# What a kept run costs: its starts and counts, and the shapes it does not share.
_KEPT_BUDGET = 64 << 20


def _add_names(names: set[str], shape: ItemShape, block: BlockShape) -> None:
    names.add(shape.names[0])
    names.update(shape.names[copy] for copy in block.copies)
    names.update(block.arrays)


def pieces(run: Run, shape: ItemShape) -> Iterator[Run]:
    """The run in parts of about PIECE_VALUES rows (at least one trajectory each)."""
    if len(run) == 0 or not shape.blocks:
        return
    rows = np.zeros(len(run), np.int64)
    for block in shape.blocks:
        rows += shape.rows(run, block)
    rows += 1  # a trajectory without rows costs too
    ends = np.cumsum(rows)
    if ends[-1] <= PIECE_VALUES:
        yield run
        return
    begin = 0
    while begin < len(run):
        before = ends[begin - 1] if begin else 0
        end = int(np.searchsorted(ends, before + PIECE_VALUES, side="right"))
        end = max(end, begin + 1)
        yield run.part(slice(begin, end))
        begin = end


@dataclass
class BlockRows:
    """The rows a block gives in each trajectory of a piece: `grid` samples per trajectory
    (its longest array, or with a window its loop variable's values), of which `kept` are
    rows; `keep` marks them among the grid's samples (None: all)."""

    grid: np.ndarray
    kept: np.ndarray
    keep: np.ndarray | None


def block_rows(piece: Run, offsets: np.ndarray, shape: ItemShape, block: BlockShape,
               chosen: Selection, source: Source) -> BlockRows:
    rows = shape.rows(piece, block)
    if chosen.window is None:
        return BlockRows(rows, rows, None)
    loop = block.arrays[block.loop_variable]
    counts = shape.value_counts(piece, loop)
    if len(piece) == 1 and counts[0] > SLICE_VALUES:
        keep = np.empty(int(counts[0]), bool)
        start = int(offsets[0, loop]) + ELEMENT_HEADER_SIZE
        for begin, values in _slices(source, shape.dtypes[loop], start, int(counts[0])):
            keep[begin:begin + len(values)] = chosen.window.keeps(values)
    else:
        values = source.segments(shape.dtypes[loop], offsets[:, loop] + ELEMENT_HEADER_SIZE,
                                 counts)
        keep = chosen.window.keeps(values)
    running = np.concatenate(([0], np.cumsum(keep, dtype=np.int64)))
    ends = np.cumsum(counts)
    kept = running[ends] - running[ends - counts]
    return BlockRows(counts, kept, keep)


def _slices(source: Source, dtype: np.dtype, start: int,
            count: int) -> Iterator[tuple[int, np.ndarray]]:
    """The `count` values from byte `start` on, SLICE_VALUES at a time (views of the file)."""
    width = dtype.itemsize
    view = source.view(dtype, (start - source.base) % width)
    first = (start - source.base) // width
    for begin in range(0, count, SLICE_VALUES):
        yield begin, view[first + begin:first + min(count, begin + SLICE_VALUES)]


@dataclass
class ColumnPlan:
    dtype: np.dtype | None = None  # of the values the sources give, in host order
    gap: bool = False  # some row has no value: NaN there, and the column is float64


@dataclass
class Plan:
    """The long table's columns in order, with their types, and its number of rows."""

    order: list[str]
    columns: dict[str, ColumnPlan]
    rows: int
    names: set[str]  # every column name of the file, chosen or not
    signatures: list[tuple] = field(default_factory=list)  # of the blocks with rows, in order
    # The chosen runs, when they take little memory: the second pass reads only their bytes
    # instead of all headers again. None: the second pass scans again.
    kept: list[tuple[Run, ItemShape]] | None = None
    blocks: int = 0  # the blocks that give rows (with a window, those with rows kept)

    def runs(self, content: Content, chosen: Selection) -> Iterator[tuple[Run, ItemShape,
                                                                          Source]]:
        """The chosen runs again, for the second pass."""
        if self.kept is not None:
            return replayed_runs(content, self.kept)
        return selected_runs(content, chosen)


def plan(content: Content, chosen: Selection) -> Plan:
    """The first pass: which blocks give rows, and so the columns and their types."""
    names: set[str] = set()
    signatures: dict[tuple, None] = {}
    # Per block signature seen: the columns it gives; per column, the types of its values
    # and whether some of its rows (in blocks that give it) have no value.
    provided: dict[tuple, set[str]] = {}
    rows_of: dict[tuple, int] = {}
    dtypes: dict[str, np.dtype] = {}
    short: set[str] = set()
    total = 0
    block_count = 0
    kept: list[tuple[Run, ItemShape]] | None = []
    cost = 0
    shapes: set[int] = set()
    for run, shape, source in selected_runs(content, chosen, names):
        if kept is not None:
            cost += run.starts.nbytes + run.counts.nbytes + 200
            if id(shape) not in shapes:
                shapes.add(id(shape))
                cost += 100 * run.template.element_count + 2000
            if cost > _KEPT_BUDGET:
                kept = None
            else:
                kept.append((run.part(slice(None)), shape))
        for piece in pieces(run, shape):
            offsets = piece.layout()[0]
            for block in shape.blocks:
                rows = block_rows(piece, offsets, shape, block, chosen, source)
                present = rows.kept > 0 if chosen.window is not None else None
                if present is not None and not present.any():
                    continue
                signature = block.signature
                signatures.setdefault(signature, None)
                block_count += len(piece) if present is None else int(present.sum())
                count = int(rows.kept.sum())
                rows_of[signature] = rows_of.get(signature, 0) + count
                total += count
                given = provided.setdefault(signature, set())
                for name in _block_columns(shape, block):
                    kind, element = block.source(shape, name)  # type: ignore[misc]
                    if kind == "group" and not shape.group_number[element]:
                        if count:
                            short.add(name)
                        continue
                    given.add(name)
                    dtype = shape.dtypes[element].newbyteorder("=")  # type: ignore[union-attr]
                    dtypes[name] = dtype if name not in dtypes else np.result_type(
                        dtypes[name], dtype)
                    if kind == "array" and count and _has_short(
                            shape.value_counts(piece, element), rows):
                        short.add(name)
    order = _column_order(list(signatures))
    columns = {}
    for name in order:
        gap = name in short or any(rows_of[s] and name not in provided[s] for s in signatures)
        columns[name] = ColumnPlan(dtypes.get(name), gap)
    return Plan(order, columns, total, names, list(signatures), kept, block_count)


def _block_columns(shape: ItemShape, block: BlockShape) -> list[str]:
    identifier, copies, _, arrays = block.signature
    return list(dict.fromkeys([identifier, *copies, *arrays]))


def _has_short(counts: np.ndarray, rows: BlockRows) -> bool:
    """Whether an array of these value counts lacks a value in some kept row."""
    if rows.keep is None:
        return bool((counts < rows.grid).any())
    if not (counts < rows.grid).any():
        return False
    within = np.arange(len(rows.keep)) - np.repeat(np.cumsum(rows.grid) - rows.grid, rows.grid)
    return bool((rows.keep & (within >= np.repeat(counts, rows.grid))).any())


def _column_order(signatures: list[tuple]) -> list[str]:
    """The identifier, the copies' names, the loop variable, then the other arrays, each in
    the order first met."""
    identifiers: dict[str, None] = {}
    copies: dict[str, None] = {}
    loops: dict[str, None] = {}
    for identifier, copy_names, loop, _ in signatures:
        identifiers.setdefault(identifier, None)
        for name in copy_names:
            copies.setdefault(name, None)
        loops.setdefault(loop, None)
    arrays: dict[str, None] = {}
    for _, _, _, array_names in signatures:
        for name in array_names:
            if name not in loops:
                arrays.setdefault(name, None)
    return list(dict.fromkeys([*identifiers, *copies, *loops, *arrays]))


class Scratch:
    """Buffers used again for every piece, so that the values of one are not gathered
    through temporaries that the allocator maps afresh each time."""

    def __init__(self, capacity: int = PIECE_VALUES):
        self.capacity = capacity
        self.counting = np.arange(capacity, dtype=np.int64)
        self.marks = np.zeros(capacity, np.int64)
        self.item = np.empty(capacity, np.int64)  # the trajectory of each row
        self.within = np.empty(capacity, np.int64)  # the row's index within its trajectory
        self.index = np.empty(capacity, np.int64)
        self.spread_of: tuple[int, int] | None = None  # (piece, block) spread out now

    def spread(self, key: tuple[int, int], counts: np.ndarray) -> int:
        """Spreads rows over trajectories, `counts[i]` rows for the i-th: fills `item` and
        `within` for the rows; returns their number."""
        total = int(counts.sum())
        if self.spread_of == key:
            return total
        ends = np.cumsum(counts)
        marks = self.marks[:total]
        marks[:] = 0
        np.add.at(marks, ends[:-1][ends[:-1] < total], 1)
        np.cumsum(marks, out=self.item[:total])
        np.take(ends - counts, self.item[:total], out=self.within[:total], mode="clip")
        np.subtract(self.counting[:total], self.within[:total], out=self.within[:total])
        self.spread_of = key
        return total


@dataclass
class PieceRows:
    """Where each block's rows of a piece go: `starts` (trajectories, blocks) from the
    table's row `first` on."""

    first: int
    blocks: list[BlockRows]
    starts: np.ndarray
    total: int
    scratch: Scratch | None = None


def piece_rows(piece: Run, offsets: np.ndarray, shape: ItemShape, chosen: Selection,
               source: Source, first: int, scratch: Scratch | None = None) -> PieceRows:
    blocks = [block_rows(piece, offsets, shape, block, chosen, source) for block in shape.blocks]
    kept = np.stack([rows.kept for rows in blocks], axis=1)
    flat = kept.reshape(-1)
    starts = (np.cumsum(flat) - flat + first).reshape(kept.shape)
    if scratch is not None:
        scratch.spread_of = None
    return PieceRows(first, blocks, starts, int(flat.sum()), scratch)


def _fill_fast(column: np.ndarray, source: Source, shape: ItemShape, piece: Run,
               offsets: np.ndarray, block_index: int, kind: str, element: int,
               layout: PieceRows) -> bool:
    """The usual case at the speed of a few passes over the rows: no window, the array as
    long as its block, one value phase. False when the case is another."""
    scratch = layout.scratch
    rows = layout.blocks[block_index]
    dtype = shape.dtypes[element]
    assert dtype is not None
    if scratch is None or rows.keep is not None or int(rows.kept.sum()) > scratch.capacity:
        return False
    data = offsets[:, element] + (ELEMENT_HEADER_SIZE - source.base)
    if kind == "array":
        if not (shape.value_counts(piece, element) == rows.grid).all():
            return False
        width = dtype.itemsize
        phases = data & (width - 1)
        phase = int(phases[0])
        if not (phases == phase).all():
            return False
    total = scratch.spread((id(piece), block_index), rows.kept)
    first = int(layout.starts[0, block_index])
    target = column[first:first + total]
    item = scratch.item[:total]
    if kind == "group":
        values = source.values(dtype, offsets[:, element] + ELEMENT_HEADER_SIZE)
        np.take(values.astype(column.dtype, copy=False), item, out=target, mode="clip")
        return True
    words = (data - phase) >> (width.bit_length() - 1)
    index = scratch.index[:total]
    np.take(words, item, out=index, mode="clip")
    index += scratch.within[:total]
    view = source.view(dtype, phase)
    if view.dtype == column.dtype:
        np.take(view, index, out=target, mode="clip")
    else:
        target[:] = view[index]
    return True


def _within(counts: np.ndarray) -> np.ndarray:
    """0, 1, ... counts[i]-1 for each i, one after another."""
    return np.arange(int(counts.sum()), dtype=np.int64) - np.repeat(
        np.cumsum(counts) - counts, counts)


def _contiguous(starts: np.ndarray, counts: np.ndarray) -> bool:
    return bool((starts[1:] == starts[:-1] + counts[:-1]).all())


def block_values(source: Source, shape: ItemShape, piece: Run, offsets: np.ndarray,
                 kind: str, element: int, rows: BlockRows,
                 out: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray | None]:
    """One column's values in a block's kept rows of a piece, in row order, and which of
    those rows have a value (None: all). A group gives its value to every row."""
    dtype = shape.dtypes[element]
    assert dtype is not None
    data = offsets[:, element] + ELEMENT_HEADER_SIZE
    if kind == "group":
        return np.repeat(source.values(dtype, data), rows.kept), None
    counts = shape.value_counts(piece, element)
    if (counts == rows.grid).all():
        if len(piece) == 1 and counts[0] > SLICE_VALUES:
            result = np.empty(int(rows.kept[0]), dtype.newbyteorder("=")) if out is None else out
            at = 0
            for begin, values in _slices(source, dtype, int(data[0]), int(counts[0])):
                if rows.keep is not None:
                    values = values[rows.keep[begin:begin + len(values)]]
                result[at:at + len(values)] = values
                at += len(values)
            return result, None
        return source.segments(dtype, data, counts, rows.keep, out), None
    # An array shorter than the block's grid: its rows past its end have no value.
    item = np.repeat(np.arange(len(piece)), rows.grid)
    within = _within(rows.grid)
    kept = np.ones(len(item), bool) if rows.keep is None else rows.keep
    present = (within < counts[item])[kept]
    item, within = item[kept][present], within[kept][present]
    values = np.empty(len(present), dtype.newbyteorder("="))
    values[present] = source.values(dtype, data[item] + within * dtype.itemsize)
    return values, present


def fill_column(column: np.ndarray, source: Source, shape: ItemShape, piece: Run,
                offsets: np.ndarray, block_index: int, name: str, layout: PieceRows) -> None:
    """Writes a block's values of one column into the table's column; rows without a value
    keep what the column holds (NaN where the plan found a gap)."""
    block = shape.blocks[block_index]
    found = block.source(shape, name)
    if found is None:
        return
    kind, element = found
    if kind == "group" and not shape.group_number[element]:
        return
    rows = layout.blocks[block_index]
    starts = layout.starts[:, block_index]
    total = int(rows.kept.sum())
    if total == 0:
        return
    contiguous = _contiguous(starts, rows.kept)
    if contiguous and _fill_fast(column, source, shape, piece, offsets, block_index, kind,
                                 element, layout):
        return
    if contiguous:
        first = int(starts[0])
        target = column[first:first + total]
        direct = target if column.dtype == shape.dtypes[element].newbyteorder("=") else None
        values, present = block_values(source, shape, piece, offsets, kind, element, rows,
                                       direct if kind == "array" else None)
        if present is None:
            if values is not direct:
                target[:] = values
        else:
            target[present] = values[present]
        return
    values, present = block_values(source, shape, piece, offsets, kind, element, rows)
    positions = np.repeat(starts, rows.kept) + _within(rows.kept)
    if present is None:
        column[positions] = values
    else:
        column[positions[present]] = values[present]


def integer_columns(columns: dict[str, np.ndarray]) -> None:
    """Turns, in place, each floating-point column whose every value is an exact integer
    (and none -0.0) into the integer type of its size: int64 for doubles, int32 for floats."""
    for name, column in columns.items():
        if column.dtype.kind != "f" or column.dtype.itemsize not in (4, 8):
            continue
        integer = np.dtype(np.int64 if column.dtype.itemsize == 8 else np.int32)
        bound = float(np.iinfo(integer).max) + 1.0  # 2^63 or 2^31, exactly
        whole = True
        for begin in range(0, len(column), SLICE_VALUES):
            part = column[begin:begin + SLICE_VALUES]
            if not (np.all(np.trunc(part) == part) and np.all(part < bound)
                    and np.all(part >= -bound) and not np.any(np.signbit(part) & (part == 0))):
                whole = False
                break
        if not whole:
            continue
        as_integers = column.view(integer)
        for begin in range(0, len(column), SLICE_VALUES):
            # Each part is converted through a temporary of its own size: the two views
            # share their memory.
            as_integers[begin:begin + SLICE_VALUES] = column[begin:begin + SLICE_VALUES]
        columns[name] = as_integers


__all__ = ["BlockRows", "ColumnPlan", "PieceRows", "Plan", "Scratch", "block_rows", "block_values",
           "fill_column", "integer_columns", "piece_rows", "pieces", "plan", "replayed_runs",
           "selected_runs"]

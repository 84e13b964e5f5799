"""Trajectories of a zvbtrack output: one group per identifier, as dicts, blocks of rows, and
one long table of numpy columns or a DataFrame."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Iterable, Iterator, Union

import numpy as np

from .fileview import Content
from .numtext import float_text
from .format import FLAG_GROUP, NUMBER_TYPES, TYPE_MASK
from .longtable import (Scratch, fill_column, integer_columns, piece_rows, pieces, plan,
                        selected_runs)
from .reader import Node, decode
from .select import Ids, Selection, WindowArgument, selection
from .shape import ItemShape

if TYPE_CHECKING:
    import pandas

# A trajectory's contents: arrays by name, and copies of enclosing groups as nested dicts.
Arrays = dict[str, Union[np.ndarray, "Arrays"]]
Columns = Union[str, Iterable[str], None]


def value_text(value: object) -> str:
    """A value as zvbdump shows it and its paths take it: integers in decimal, floating-point
    numbers in the shortest text that reads back exactly (see numtext)."""
    if isinstance(value, np.float32):
        return float_text(float(value), single=True)
    if isinstance(value, (np.floating, float)):
        return float_text(float(value))
    if isinstance(value, (np.integer, int)):
        return str(int(value))
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


def _holds_numbers(node: Node) -> bool:
    return node.is_array and (node.type & TYPE_MASK) in NUMBER_TYPES


def copy_key(into: Arrays, name: str, value: object) -> str:
    """The key of a copy in its parent's dict: "name=value" as zvbdump's paths take it, and
    "name=value[k]" for the k-th one after the first of the same name and value."""
    key = f"{name}={value_text(value)}"
    if key not in into:
        return key
    k = 1
    while f"{key}[{k}]" in into:
        k += 1
    return f"{key}[{k}]"


def contents(group: Node) -> Arrays:
    """The arrays of numbers directly in `group` by name, and each group in it (a copy of an
    enclosing group) as a nested dict under "name=value" ("name=value[1]" for a second copy
    of the same name and value, as zvbdump's paths select it)."""
    found: Arrays = {}
    pending: list[tuple[Node, Arrays]] = [(group, found)]  # no recursion: any nesting
    while pending:
        node, into = pending.pop()
        for child in node.children:
            if child.is_group:
                inner: Arrays = {}
                into[copy_key(into, child.name, child.value)] = inner
                pending.append((child, inner))
            elif _holds_numbers(child):
                into[child.name] = child.value
    return found


class _Items:
    """The trajectory groups a reader is asked for, one at a time, with their elements'
    offsets and values read where they stand in the mapped file."""

    def __init__(self, path: str | os.PathLike[str], chosen: Selection):
        self.content = Content(os.fspath(path))
        self.chosen = chosen

    def values(self, start: int, count: int, dtype: np.dtype) -> np.ndarray:
        width = dtype.itemsize
        view = self.content.view(dtype, start % width)
        return view[start // width:start // width + count]

    def value(self, shape: ItemShape, element: int, offsets: list[int],
              sizes: list[int]) -> object:
        return decode(self.values, self.content.order, shape.types[element], sizes[element],
                      offsets[element])

    def __iter__(self) -> Iterator[tuple[ItemShape, list[int], list[int]]]:
        for run, shape, _ in selected_runs(self.content, self.chosen):
            for piece in run.pieces(1 << 13):
                offsets, sizes = piece.layout()
                for item_offsets, item_sizes in zip(offsets.tolist(), sizes.tolist()):
                    yield shape, item_offsets, item_sizes


def _kept(chosen: Selection, loop_values: np.ndarray | None) -> np.ndarray | None:
    """Which samples of a level the window keeps (None: all, or no window)."""
    if chosen.window is None or loop_values is None:
        return None
    return chosen.window.keeps(loop_values)


def _apply(values: np.ndarray, kept: np.ndarray | None) -> np.ndarray:
    if kept is None:
        return values
    length = min(len(values), len(kept))
    return values[:length][kept[:length]]


def trajectories(path: str | os.PathLike[str], ids: Ids = None, columns: Columns = None,
                 window: WindowArgument = None) -> Iterator[tuple[object, Arrays]]:
    """Yields (identifier, contents) for every trajectory group of a zvbtrack output, in file
    order, one at a time as the file is read: the identifier is the group's value, the
    contents as `contents` makes them, arrays read-only on the file's mapping.

    The arrays are those zvbtrack wrote: the requested ones in command-line order, then the
    loop variable. When the steps were enclosed by groups with values of their own (a run
    number, say), zvbtrack copies those groups under each trajectory group and the arrays sit
    in the innermost copy: {"run=2": {"x": ..., "time": ...}}; a second copy of the same
    value is "run=2[1]", as zvbdump's paths select it.

    `ids` keeps the trajectories whose identifiers (compared as doubles: 0.0 is -0.0, NaN
    matches NaN) are listed: numbers, or a str as zvbtrack's -i takes it ("1,5,10..20",
    "@FILE"). `columns` keeps only the arrays of those names. `window=(lo, hi)` (or "LO..HI")
    keeps the samples whose loop variable (the last array of their group) v has lo <= v <= hi,
    an end None being open; a copy or a trajectory without such samples is left out. Only the
    headers and the selected arrays are read.
    """
    chosen = selection(ids, columns, window)
    items = _Items(path, chosen)
    for shape, offsets, sizes in items:
        found = _contents(items, shape, offsets, sizes)
        if found is not None:
            yield items.value(shape, 0, offsets, sizes), found


def _contents(items: _Items, shape: ItemShape, offsets: list[int],
              sizes: list[int]) -> Arrays | None:
    """A trajectory group's contents, or None when a window leaves none of its samples."""
    chosen = items.chosen
    wanted = None if chosen.columns is None else set(chosen.columns)
    children = shape.template.members()
    loops = {block.group: block for block in shape.blocks}
    root: Arrays = {}
    pending: list[tuple[int, Arrays]] = [(0, root)]  # no recursion: any nesting
    copies: list[tuple[Arrays, Arrays, str]] = []  # each copy's dict, its parent's, its key
    sampled: dict[int, bool] = {}  # by level: whether samples of it or inside it are kept
    while pending:
        group, into = pending.pop()
        block = loops.get(group)
        kept = None
        if block is not None and chosen.window is not None:
            loop = block.arrays[block.loop_variable]
            kept = _kept(chosen, items.value(shape, loop, offsets, sizes))
        sampled[id(into)] = kept is not None and bool(kept.any())
        for child in children[group]:
            if shape.types[child] & FLAG_GROUP:
                inner: Arrays = {}
                key = copy_key(into, shape.names[child], items.value(shape, child, offsets,
                                                                   sizes))
                into[key] = inner
                pending.append((child, inner))
                copies.append((inner, into, key))
            elif shape.widths[child] and (wanted is None or shape.names[child] in wanted):
                if kept is not None and not kept.any():
                    continue  # no sample of this level is in the window
                into[shape.names[child]] = _apply(items.value(shape, child, offsets, sizes), kept)
    if chosen.window is not None:
        # A copy left without samples goes; inner copies are decided before their parents.
        for inner, parent, key in reversed(copies):
            if sampled[id(inner)]:
                sampled[id(parent)] = True
            elif parent.get(key) is inner:
                del parent[key]
        if not sampled[id(root)]:
            return None
    return root


@dataclass
class Block:
    """The samples of one trajectory under one chain of enclosing-group copies: rows of the
    long table that share the identifier and the copies' values."""

    identifier: tuple[str, object]
    copies: list[tuple[str, object]]
    arrays: dict[str, np.ndarray]
    loop_variable: str | None  # the last array, which zvbtrack appends after the requested ones
    rows: int = field(init=False)

    def __post_init__(self) -> None:
        self.rows = max((len(values) for values in self.arrays.values()), default=0)


def blocks(path: str | os.PathLike[str], ids: Ids = None, columns: Columns = None,
           window: WindowArgument = None) -> Iterator[Block]:
    """The blocks of every trajectory group in file order, depth first through the copies;
    `ids`, `columns` and `window` as for `trajectories` (a block without samples in the
    window is left out)."""
    chosen = selection(ids, columns, window)
    wanted = None if chosen.columns is None else set(chosen.columns)
    items = _Items(path, chosen)
    for shape, offsets, sizes in items:
        identifier = (shape.names[0], items.value(shape, 0, offsets, sizes))
        for block in shape.blocks:
            kept = None
            if chosen.window is not None:
                loop = block.arrays[block.loop_variable]
                kept = _kept(chosen, items.value(shape, loop, offsets, sizes))
                if not kept.any():
                    continue
            arrays = {name: _apply(items.value(shape, element, offsets, sizes), kept)
                      for name, element in block.arrays.items()
                      if wanted is None or name in wanted}
            copies = [(shape.names[c], items.value(shape, c, offsets, sizes))
                      for c in block.copies]
            yield Block(identifier, copies, arrays, block.loop_variable)


def table(path: str | os.PathLike[str], ids: Ids = None, columns: Columns = None,
          window: WindowArgument = None) -> dict[str, np.ndarray]:
    """The long table as numpy columns: one row per sample of every trajectory, in file
    order; the identifier column first (named like the trajectory groups, "ID"), a column per
    copied enclosing group (its value), the loop variable, then the other arrays.

    Types: a column keeps the type its values are stored in (the widest where trajectories
    differ). A floating-point column whose every value is an exact integer (none -0.0) comes
    back as integers of the same size, int64 for doubles and int32 for floats: so the
    identifier column of a zvbtrack output, stored as doubles, is int64. A column that some
    rows lack (a trajectory without that array or copy, an array shorter than the others)
    holds NaN there and is float64.

    `ids`, `columns` (the columns to give, in that order) and `window` choose as for
    `trajectories`; the table is then that of the file with everything else removed. Each
    column is allocated once at its final size and filled from the file, read twice (its
    headers, then what is chosen).
    """
    content = Content(os.fspath(path))
    chosen = selection(ids, columns, window)
    found = plan(content, chosen)
    names = found.order
    if chosen.columns is not None:
        unknown = [name for name in chosen.columns if name not in found.names]
        if unknown:
            raise ValueError(f'no column "{unknown[0]}" in {content.path}: its columns are '
                             f"{', '.join(sorted(found.names)) or 'none'}")
        names = list(dict.fromkeys(chosen.columns))
    result: dict[str, np.ndarray] = {}
    for name in names:
        column_plan = found.columns.get(name)
        if column_plan is None or column_plan.gap or column_plan.dtype is None:
            result[name] = np.full(found.rows, math.nan)
        else:
            result[name] = np.empty(found.rows, column_plan.dtype)
    position = 0
    scratch = Scratch()
    for run, shape, source in found.runs(content, chosen):
        for piece in pieces(run, shape):
            offsets = piece.layout()[0]
            layout = piece_rows(piece, offsets, shape, chosen, source, position, scratch)
            if position + layout.total > found.rows:
                raise ValueError(f"{content.path} changed while it was read")
            for index in range(len(shape.blocks)):
                for name in names:
                    fill_column(result[name], source, shape, piece, offsets, index, name, layout)
            position += layout.total
    if position != found.rows:
        raise ValueError(f"{content.path} changed while it was read")
    integer_columns(result)
    return result


def to_pandas(path: str | os.PathLike[str], ids: Ids = None, columns: Columns = None,
              window: WindowArgument = None) -> "pandas.DataFrame":
    """All trajectories of a zvbtrack output as one long DataFrame: `table`'s columns, with
    its types and selection, one row per sample; the frame holds the columns without a
    copy."""
    import pandas

    return pandas.DataFrame(table(path, ids, columns, window), copy=False)


def write_csv(path: str | os.PathLike[str], out: IO[str], ids: Ids = None,
              columns: Columns = None, window: WindowArgument = None) -> None:
    """Writes the long table as CSV, trajectory by trajectory: numbers in the shortest text
    that reads back exactly, an empty cell where a trajectory lacks a column."""
    from .csvtable import write_table

    write_table(Content(os.fspath(path)), out, selection(ids, columns, window))


__all__ = ["Arrays", "Block", "blocks", "contents", "table", "to_pandas", "trajectories",
           "value_text", "write_csv"]

"""Trajectories of a zvbtrack output: one group per identifier, as dicts, one long table, CSV."""

from __future__ import annotations

import csv
import math
import os
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Iterator, Union

import numpy as np

from .format import NUMBER_TYPES, TYPE_MASK
from .reader import Node, open as open_file

if TYPE_CHECKING:
    import pandas

# A trajectory's contents: arrays by name, and copies of enclosing groups as nested dicts.
Arrays = dict[str, Union[np.ndarray, "Arrays"]]


def value_text(value: object) -> str:
    """A value as zvbdump shows it and its paths take it: integers in decimal, floating-point
    numbers in the shortest text that reads back exactly, without a ".0"."""
    if isinstance(value, np.float32):
        return _drop_point_zero(str(value))  # the shortest text of the single-precision value
    if isinstance(value, (np.floating, float)):
        return _drop_point_zero(repr(float(value)))
    if isinstance(value, (np.integer, int)):
        return str(int(value))
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


def _drop_point_zero(text: str) -> str:
    # The shortest text of a whole number below 1e16 ends in ".0", of larger ones in "e+NN".
    return text[:-2] if text.endswith(".0") else text


def _holds_numbers(node: Node) -> bool:
    return node.is_array and (node.type & TYPE_MASK) in NUMBER_TYPES


def contents(group: Node) -> Arrays:
    """The arrays of numbers directly in `group` by name, and each group in it (a copy of an
    enclosing group) as a nested dict under "name=value"."""
    found: Arrays = {}
    pending: list[tuple[Node, Arrays]] = [(group, found)]  # no recursion: any nesting
    while pending:
        node, into = pending.pop()
        for child in node.children:
            if child.is_group:
                inner: Arrays = {}
                into[f"{child.name}={value_text(child.value)}"] = inner
                pending.append((child, inner))
            elif _holds_numbers(child):
                into[child.name] = child.value
    return found


def trajectories(path: str | os.PathLike[str]) -> Iterator[tuple[object, Arrays]]:
    """Yields (identifier, contents) for every trajectory group of a zvbtrack output, in file
    order: the identifier is the group's value, the contents as `contents` makes them.

    The arrays are those zvbtrack wrote: the requested ones in command-line order, then the
    loop variable. When the steps were enclosed by groups with values of their own (a run
    number, say), zvbtrack copies those groups under each trajectory group and the arrays sit
    in the innermost copy: {"run=2": {"x": ..., "time": ...}}.
    """
    for group in open_file(path).children:
        if group.is_group:
            yield group.value, contents(group)


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


def blocks(path: str | os.PathLike[str]) -> Iterator[Block]:
    """The blocks of every trajectory group in file order, depth first through the copies."""
    for group in open_file(path).children:
        if not group.is_group:
            continue
        # A stack of (group, its copies from the trajectory group down): no recursion.
        pending: list[tuple[Node, list[tuple[str, object]]]] = [(group, [])]
        while pending:
            node, copies = pending.pop()
            arrays = {child.name: child.value for child in node.children if _holds_numbers(child)}
            if arrays:
                names = list(arrays)
                yield Block((group.name, group.value), copies, arrays, names[-1])
            inner = [child for child in node.children if child.is_group]
            for child in reversed(inner):
                pending.append((child, copies + [(child.name, child.value)]))


def columns(all_blocks: list[Block]) -> list[str]:
    """The long table's columns: the identifier, the copies' names, the loop variable, then
    the other arrays, each in the order first met."""
    identifiers: list[str] = []
    copies: list[str] = []
    loop: list[str] = []
    arrays: list[str] = []
    for block in all_blocks:
        _add_new(identifiers, [block.identifier[0]])
        _add_new(copies, [name for name, _ in block.copies])
        if block.loop_variable is not None:
            _add_new(loop, [block.loop_variable])
    for block in all_blocks:
        _add_new(arrays, [name for name in block.arrays if name not in loop])
    ordered: list[str] = []
    _add_new(ordered, identifiers + copies + loop + arrays)
    return ordered


def _add_new(names: list[str], candidates: list[str]) -> None:
    for name in candidates:
        if name not in names:
            names.append(name)


def _block_column(block: Block, name: str) -> np.ndarray | None:
    """The block's values for one column in host byte order: an array, a value repeated for
    every row, or None when the block has no such column. zvbtrack grows a trajectory's
    arrays together; an array shorter than the others (in a file made otherwise) is padded
    with NaN."""
    if name in block.arrays:
        values = block.arrays[name]
        values = values.astype(values.dtype.newbyteorder("="), copy=False)
        if len(values) < block.rows:
            values = np.concatenate([values, np.full(block.rows - len(values), math.nan)])
        return values
    for copy_name, copy_value in reversed(block.copies):
        if copy_name == name:
            return _repeat(copy_value, block.rows)
    if block.identifier[0] == name:
        return _repeat(block.identifier[1], block.rows)
    return None


def _repeat(value: object, rows: int) -> np.ndarray:
    array = np.asarray(value)
    return np.full(rows, array, dtype=array.dtype.newbyteorder("="))


def table(path: str | os.PathLike[str]) -> dict[str, np.ndarray]:
    """The long table as columns: one row per sample of every trajectory, in file order.
    A column that some blocks lack holds NaN in their rows (and turns floating-point)."""
    all_blocks = list(blocks(path))
    names = columns(all_blocks)
    result: dict[str, np.ndarray] = {}
    for name in names:
        parts = [_block_column(block, name) for block in all_blocks]
        if any(part is None for part in parts):
            parts = [np.full(block.rows, math.nan) if part is None else part.astype(np.float64)
                     for block, part in zip(all_blocks, parts)]
        result[name] = np.concatenate(parts) if parts else np.empty(0)
    return result


def to_pandas(path: str | os.PathLike[str]) -> "pandas.DataFrame":
    """All trajectories of a zvbtrack output as one long DataFrame: the identifier column
    first (named like the trajectory groups, "ID"), a column per copied enclosing group (its
    value), the loop variable, then the requested arrays; one row per sample."""
    import pandas

    return pandas.DataFrame(table(path))


def _cell_texts(values: np.ndarray) -> list[str]:
    if values.dtype.kind == "f" and values.dtype.itemsize == 4:
        return [_drop_point_zero(str(value)) for value in values]
    if values.dtype.kind == "f":
        return [_drop_point_zero(text) for text in map(repr, values.tolist())]
    return list(map(str, values.tolist()))


def write_csv(path: str | os.PathLike[str], out: IO[str]) -> None:
    """Writes the long table as CSV, trajectory by trajectory: numbers in the shortest text
    that reads back exactly, an empty cell where a trajectory lacks a column."""
    all_blocks = list(blocks(path))
    names = columns(all_blocks)
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(names)
    for block in all_blocks:
        cells = []
        for name in names:
            part = _block_column(block, name)
            cells.append([""] * block.rows if part is None else _cell_texts(part))
        writer.writerows(zip(*cells))

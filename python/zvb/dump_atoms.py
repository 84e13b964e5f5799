"""The atoms of a dump's snapshots: their columns, read in blocks by numpy's text parser, checked
value by value where the parser is not strict, and unwrapped from their image flags."""

from __future__ import annotations

import io
import math
import re
import warnings
from dataclasses import dataclass
from typing import NoReturn

import numpy as np

from .dump_text import Lines
from .format import NAME_SIZE

# Per-atom columns that hold whole numbers.
INTEGER_COLUMNS = frozenset({"id", "type", "mol", "proc", "procp1", "ix", "iy", "iz"})
S32_RANGE = (-(2**31), 2**31 - 1)
WHOLE_NUMBER = re.compile(rb"[+-]?[0-9]+")
INFINITY = re.compile(rb"[+-]?inf(inity)?", re.IGNORECASE)
# Coordinates and their image flags.
AXES = (("x", "ix"), ("y", "iy"), ("z", "iz"))


class Layout:
    """How the rows of an ATOMS item are parsed and which arrays they give."""

    def __init__(self, columns: list[str], kept: list[str] | None, unwrap: bool, lines: Lines):
        if not columns:
            lines.fail("the ATOMS item names no columns")
        names = ["ID" if column == "id" else column for column in columns]
        for column, name in zip(columns, names):
            if len(name.encode("utf-8", "surrogateescape")) >= NAME_SIZE:
                lines.fail(f'column "{column}" has a name longer than {NAME_SIZE - 1} bytes')
            if names.count(name) > 1:
                lines.fail(f'the ATOMS item names column "{column}" twice')
        if kept is not None:
            missing = [column for column in kept if column not in columns]
            if missing:
                lines.fail(f'--columns names "{missing[0]}", which the dump does not have '
                           f'(its columns: {" ".join(columns)})')
        self.columns = columns
        self.names = names  # of the arrays
        self.kept = [index for index, column in enumerate(columns)
                     if kept is None or column in kept or column == "id"]
        self.axes: list[tuple[int, int]] = []  # (coordinate, image flag) columns to unwrap
        if unwrap:
            for axis, flag in AXES:
                if axis in columns and columns.index(axis) in self.kept:
                    if flag not in columns:
                        lines.fail(f'--unwrap needs the image flag "{flag}" beside "{axis}" '
                                   "(dump custom ... ix iy iz)")
                    self.axes.append((columns.index(axis), columns.index(flag)))
            if not self.axes:
                lines.fail("--unwrap needs the wrapped coordinates x y z among the columns kept")
        # Every image flag there is: in a tilted box y's and z's move x too.
        self.flags = {flag: columns.index(flag) for _, flag in AXES if unwrap and flag in columns}
        self.parsed = sorted(set(self.kept) | set(self.flags.values()))
        # Columns left out are still there, as one byte each, so that every row is counted.
        self.dtype = np.dtype([(f"c{index}", ("i8" if column in INTEGER_COLUMNS else "f8")
                                if index in self.parsed else "S1")
                               for index, column in enumerate(columns)])

    def hint(self, text_column: str) -> str:
        others = [column for column in self.columns if column != text_column]
        return f"--columns {','.join(others)}" if others else "--columns"


class Box:
    """A snapshot's box as --unwrap adds it: its lengths, and its tilts (xy, xz, yz) or None."""

    def __init__(self, lines: Lines, item: str):
        words = item.split()[2:]
        if "abc" in words or "origin" in words:
            lines.fail("--unwrap does not take a box given by its edge vectors")
        tilted = words[:3] == ["xy", "xz", "yz"]
        rows = []
        for _ in range(3):
            try:
                rows.append([float(word) for word in lines.next().split()])
            except ValueError:
                rows.append([])
            if len(rows[-1]) != (3 if tilted else 2) or not all(map(math.isfinite, rows[-1])):
                lines.fail(f"expected {3 if tilted else 2} numbers of the box's bounds")
        (xlo, xhi, *xy), (ylo, yhi, *xz), (zlo, zhi, *yz) = rows
        self.tilts = (xy[0], xz[0], yz[0]) if tilted else None
        if self.tilts is not None:
            # The bounds of a tilted box are those of the box that holds it, widened by the
            # tilts that reach out (xy, then xz for x): taken off again in the other order.
            xy, xz, yz = self.tilts
            xlo, xhi = xlo - min(xz, 0.0), xhi - max(xz, 0.0)
            xlo, xhi = xlo - min(xy, 0.0), xhi - max(xy, 0.0)
            ylo, yhi = ylo - min(yz, 0.0), yhi - max(yz, 0.0)
        self.lengths = (xhi - xlo, yhi - ylo, zhi - zlo)


@dataclass
class Snapshot:
    """A snapshot read but not yet written: its time, its atom lines (from line `first`) and,
    for --unwrap, its box."""

    time: float
    count: int
    first: int
    block: bytes
    box: Box | None


def shown_value(value: bytes) -> str:
    """A value of the dump for a message, cut short when long."""
    text = value.decode("latin-1")
    return f'"{text}"' if len(text) <= 40 else f'"{text[:20]}..." ({len(text)} characters)'


def _out_of_range(column: str, shown: str, lines: Lines, number: int) -> NoReturn:
    lines.fail(f'column "{column}" holds {shown}, beyond the 32-bit whole numbers it is stored '
               "as", number)


def _diagnose(snapshot: Snapshot, layout: Layout, lines: Lines) -> None:
    """Says what is wrong with the first line of the snapshot that the parser cannot take."""
    for row, text in enumerate(snapshot.block.split(b"\n")[: snapshot.count]):
        number = snapshot.first + row
        values = text.split()
        if len(values) != len(layout.columns):
            lines.fail(f"{len(values)} values where the ATOMS item names "
                       f"{len(layout.columns)} columns", number)
        for index, (column, value) in enumerate(zip(layout.columns, values)):
            kind = layout.dtype[index].kind
            if kind == "S":
                continue
            shown = shown_value(value)
            try:
                float(value)
            except ValueError:
                lines.fail(f'column "{column}" holds {shown}, not a number: text columns can '
                           f"be left out with {layout.hint(column)}", number)
            if kind == "i" and not WHOLE_NUMBER.fullmatch(value):
                lines.fail(f'column "{column}" holds {shown}, not a whole number', number)
            if kind == "i" and not S32_RANGE[0] <= int(value) <= S32_RANGE[1]:
                _out_of_range(column, shown, lines, number)


class _Rows:
    """The parsed rows of a run of snapshots, and where each row stands in the dump."""

    def __init__(self, snapshots: list[Snapshot], layout: Layout, lines: Lines):
        self.snapshots = snapshots
        self.starts = np.cumsum([0] + [snapshot.count for snapshot in snapshots])
        text = snapshots[0].block if len(snapshots) == 1 else b"".join(
            snapshot.block for snapshot in snapshots)
        failure = None
        if self.starts[-1] == 0:
            self.values = np.empty(0, dtype=layout.dtype)
            return
        try:
            with warnings.catch_warnings():
                # Whole numbers written as 1.0 are refused, not read through a float.
                warnings.simplefilter("error")
                self.values = np.loadtxt(io.BytesIO(text), dtype=layout.dtype, comments=None,
                                         ndmin=1, encoding="latin-1")
            if len(self.values) != self.starts[-1]:  # the parser passes over empty lines
                failure = f"{len(self.values)} rows"
        except (ValueError, DeprecationWarning, UserWarning) as error:
            failure = str(error)
        if failure is not None:
            for snapshot in snapshots:
                _diagnose(snapshot, layout, lines)
            last = snapshots[-1].first + snapshots[-1].count - 1
            lines.fail(f"the atoms of lines {snapshots[0].first} to {last} cannot be read: "
                       f"{failure}", snapshots[0].first)

    def place(self, row: int) -> tuple[Snapshot, int]:
        """The snapshot of a row, and the row within it."""
        index = int(np.searchsorted(self.starts, row, side="right")) - 1
        return self.snapshots[index], row - int(self.starts[index])


def _checked(rows: _Rows, index: int, layout: Layout, lines: Lines) -> np.ndarray:
    """A column of whole numbers within 32 bits, or of doubles where only "inf" itself reads as
    infinity (a number beyond a double reads so too)."""
    values = rows.values[f"c{index}"]
    column = layout.columns[index]
    if values.dtype.kind == "i":
        outside = (values < S32_RANGE[0]) | (values > S32_RANGE[1])
        if outside.any():
            row = int(np.argmax(outside))
            snapshot, within = rows.place(row)
            _out_of_range(column, f'"{values[row]}"', lines, snapshot.first + within)
        return values.astype(np.int32)
    for row in np.flatnonzero(np.isinf(values)):
        snapshot, within = rows.place(int(row))
        value = snapshot.block.split(b"\n")[within].split()[index]
        if not INFINITY.fullmatch(value):
            lines.fail(f'column "{column}" holds {shown_value(value)}, beyond the range of a '
                       "double", snapshot.first + within)
    return values


def _unwrap(arrays: dict[int, np.ndarray], layout: Layout, snapshot: Snapshot,
            lines: Lines) -> None:
    """x + ix * (xhi - xlo); in a tilted box also + iy * xy + iz * xz for x and + iz * yz for
    y, added in this order as a simulation code adds them."""
    box = snapshot.box
    if box is None:
        lines.fail("--unwrap needs the BOX BOUNDS item of each snapshot, before its atoms",
                   snapshot.first - 1)
    flags = {name: arrays[index].astype(np.float64) for name, index in layout.flags.items()}
    for coordinate, flag in layout.axes:
        axis = layout.columns[coordinate]
        length = box.lengths["xyz".index(axis)]
        unwrapped = arrays[coordinate] + length * flags[layout.columns[flag]]
        if box.tilts is not None:
            xy, xz, yz = box.tilts
            for tilt, other in {"x": ((xy, "iy"), (xz, "iz")), "y": ((yz, "iz"),), "z": ()}[axis]:
                if tilt != 0.0:
                    if other not in flags:
                        lines.fail(f'--unwrap in a tilted box needs the image flag "{other}"',
                                   snapshot.first - 1)
                    unwrapped = unwrapped + tilt * flags[other]
        arrays[coordinate] = unwrapped


def read_atoms(snapshots: list[Snapshot], layout: Layout,
               lines: Lines) -> list[dict[int, np.ndarray]]:
    """The arrays of each snapshot, by column: the kept ones, unwrapped when asked. Snapshots of
    one layout are parsed at once, so that small ones cost little more than their text."""
    rows = _Rows(snapshots, layout, lines)
    columns = {index: _checked(rows, index, layout, lines) for index in layout.parsed}
    found = []
    for snapshot, start, end in zip(snapshots, rows.starts, rows.starts[1:]):
        arrays = {index: values[start:end] for index, values in columns.items()}
        if layout.axes and snapshot.count:
            _unwrap(arrays, layout, snapshot, lines)
        found.append(arrays)
    return found

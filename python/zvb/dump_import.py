"""Converting a text particle dump into a step file, one snapshot at a time.

The dump is a run of snapshots, each a few items:

    ITEM: TIMESTEP
    100
    ITEM: NUMBER OF ATOMS
    2
    ITEM: BOX BOUNDS pp pp pp
    0 10
    0 10
    0 10
    ITEM: ATOMS id type x y z
    1 1 0.5 0.5 0.5
    2 1 1.5 0.5 0.5

Each snapshot becomes a group named "time" with the timestep as its value (a double; times the
step length, when one is given), holding one array per column kept, in the dump's order: the
"id" column as the array "ID", the columns that hold whole numbers (id, type, mol, proc,
procp1, ix, iy, iz) as 32-bit integers, the others as doubles. A snapshot without atoms
becomes an empty group. The box and any other item are not carried over.

The atoms of a snapshot are read as one block by numpy's text parser; every row must hold as
many values as the ATOMS item names columns. Whole numbers beyond 32 bits, numbers beyond a
double and a timestep beyond 2^53 (whose double would not be exact) are refused, each with its
line.
"""

from __future__ import annotations

import io
import os
import re
import warnings
from collections.abc import Iterable
from typing import NoReturn

import numpy as np

from .dump_text import DumpError, Lines, open_dump
from .format import NAME_SIZE
from .output_file import Output, signals
from .writer import Writer

__all__ = ["DumpError", "INTEGER_COLUMNS", "convert"]

# Per-atom columns that hold whole numbers.
INTEGER_COLUMNS = frozenset({"id", "type", "mol", "proc", "procp1", "ix", "iy", "iz"})
GROUP_NAME = "time"
S32_RANGE = (-(2**31), 2**31 - 1)
# A snapshot's arrays must fit the 32-bit size of an element: 8-byte values for each atom.
MOST_ATOMS = (2**32 - 1) // 8
LARGEST_TIMESTEP = 2**53
WHOLE_NUMBER = re.compile(rb"[+-]?[0-9]+")
INFINITY = re.compile(rb"[+-]?inf(inity)?", re.IGNORECASE)
# Coordinates, their image flags and the box length that --unwrap adds for each flag.
AXES = (("x", "ix"), ("y", "iy"), ("z", "iz"))


class _Layout:
    """How the rows of an ATOMS item are parsed and which arrays they give."""

    def __init__(self, columns: list[str], kept: list[str] | None, unwrap: bool, lines: Lines):
        if not columns:
            lines.fail("the ATOMS item names no columns")
        names = ["ID" if column == "id" else column for column in columns]
        for column, name in zip(columns, names):
            if len(name.encode()) >= NAME_SIZE:
                lines.fail(f'column "{column}" has a name longer than {NAME_SIZE - 1} bytes')
            if names.count(name) > 1:
                lines.fail(f'the ATOMS item names column "{column}" twice')
        if kept is not None:
            missing = [column for column in kept if column not in columns]
            if missing:
                lines.fail(f'--columns names "{missing[0]}", which the dump does not have '
                           f'(its columns: {" ".join(columns)})')
        self.columns = columns
        self.kept = [index for index, column in enumerate(columns)
                     if kept is None or column in kept or column == "id"]
        self.names = names
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
        # Every image flag there is: a tilted box adds y's and z's to x.
        self.flags = {flag: columns.index(flag) for _, flag in AXES
                      if unwrap and flag in columns}
        parsed = set(self.kept) | set(self.flags.values())
        self.dtype = np.dtype([(f"c{index}", ("i8" if column in INTEGER_COLUMNS else "f8")
                                if index in parsed else "S1")
                               for index, column in enumerate(columns)])

    def hint(self, text_column: str) -> str:
        others = [column for column in self.columns if column != text_column]
        return f"--columns {','.join(others)}" if others else "--columns"


class _Box:
    """A snapshot's box: its lengths and tilts, as --unwrap adds them."""

    def __init__(self, lines: Lines, item: str):
        words = item.split()[2:]
        tilted = words[:3] == ["xy", "xz", "yz"]
        if "abc" in words or "origin" in words:
            lines.fail("--unwrap does not take a box given by its edge vectors")
        rows = []
        for _ in range(3):
            try:
                rows.append([float(word) for word in lines.next().split()])
            except ValueError:
                rows.append([])
            if len(rows[-1]) != (3 if tilted else 2):
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


def _whole_number(line: bytes, what: str, lines: Lines, lowest: int, highest: int) -> int:
    text = line.strip()
    if not WHOLE_NUMBER.fullmatch(text):
        lines.fail(f"expected {what}, found {_shown(text)}")
    if len(text) > 40 or not lowest <= int(text) <= highest:
        lines.fail(f"{what} of {_shown(text)} is out of range ({lowest} to {highest})")
    return int(text)


def _diagnose(block: bytes, first: int, layout: _Layout, count: int, lines: Lines,
              error: str) -> NoReturn:
    """Finds the line that the parser stumbled on and says what is wrong with it."""
    for row, text in enumerate(block.split(b"\n")[:count]):
        number = first + row
        if text.startswith(b"ITEM:"):
            lines.fail(f"the snapshot has {row} atom lines, its NUMBER OF ATOMS says {count}",
                       number)
        values = text.split()
        if len(values) != len(layout.columns):
            lines.fail(f"{len(values)} values where the ATOMS item names "
                       f"{len(layout.columns)} columns", number)
        for index, (column, value) in enumerate(zip(layout.columns, values)):
            kind = layout.dtype[index].kind
            if kind == "S":
                continue
            shown = _shown(value)
            try:
                float(value)
            except ValueError:
                lines.fail(f'column "{column}" holds {shown}, not a number: text columns can '
                           f"be left out with {layout.hint(column)}", number)
            if kind == "i" and not WHOLE_NUMBER.fullmatch(value):
                lines.fail(f'column "{column}" holds {shown}, not a whole number', number)
            if kind == "i" and not S32_RANGE[0] <= int(value) <= S32_RANGE[1]:
                _out_of_range(column, shown, lines, number)
    lines.fail(f"the atoms of lines {first} to {first + count - 1} cannot be read: {error}")


def _shown(value: bytes) -> str:
    """A value of the dump for a message, cut short when long."""
    text = value.decode("latin-1")
    return f'"{text}"' if len(text) <= 40 else f'"{text[:20]}..." ({len(text)} characters)'


def _out_of_range(column: str, shown: str, lines: Lines, number: int) -> NoReturn:
    lines.fail(f'column "{column}" holds {shown}, beyond the 32-bit whole numbers it is stored '
               "as", number)


def _check_range(values: np.ndarray, column: str, first: int, lines: Lines) -> None:
    outside = (values < S32_RANGE[0]) | (values > S32_RANGE[1])
    if outside.any():
        row = int(np.argmax(outside))
        _out_of_range(column, f'"{values[row]}"', lines, first + row)


def _check_finite(values: np.ndarray, index: int, block: bytes, first: int, layout: _Layout,
                  lines: Lines) -> None:
    """A number beyond a double reads as infinity: only "inf" itself may."""
    infinite = np.flatnonzero(np.isinf(values))
    if len(infinite) == 0:
        return
    rows = block.split(b"\n")
    for row in infinite:
        value = rows[row].split()[index]
        if not INFINITY.fullmatch(value):
            lines.fail(f'column "{layout.columns[index]}" holds {_shown(value)}, beyond the '
                       "range of a double", first + int(row))


def _read_atoms(lines: Lines, count: int, layout: _Layout) -> tuple[np.ndarray, bytes, int]:
    first = lines.number + 1
    block = lines.take(count)
    try:
        with warnings.catch_warnings():
            # Whole numbers written as 1.0 are refused, not read through a float.
            warnings.simplefilter("error")
            rows = np.loadtxt(io.BytesIO(block), dtype=layout.dtype, comments=None, ndmin=1,
                              encoding="latin-1")
    except (ValueError, DeprecationWarning, UserWarning) as error:
        _diagnose(block, first, layout, count, lines, str(error))
    if len(rows) != count:
        _diagnose(block, first, layout, count, lines, f"{len(rows)} rows")
    return rows, block, first


class _Writer(Writer):
    """A writer that finishes each element before a signal stops it, and tells its output
    whether it stands inside one."""

    def __init__(self, output: Output):
        self.output = output
        with signals.held():
            output.in_element = True
            super().__init__(output.path, stream=output.stream)
            output.in_element = False

    def element(self, name: str, type_word: int, data: bytes | memoryview = b"") -> None:
        with signals.held():
            self.output.in_element = True
            super().element(name, type_word, data)
            self.output.in_element = False


def _write_snapshot(out: _Writer, lines: Lines, time: float, count: int, layout: _Layout,
                    box: _Box | None) -> None:
    if count == 0:
        out.group(GROUP_NAME, np.float64(time))
        out.end()
        return
    rows, block, first = _read_atoms(lines, count, layout)
    arrays = {}
    for index in sorted(set(layout.kept) | set(layout.flags.values())):
        column = layout.columns[index]
        values = rows[f"c{index}"]
        if values.dtype.kind == "i":
            _check_range(values, column, first, lines)
            values = values.astype(np.int32)
        else:
            _check_finite(values, index, block, first, layout, lines)
        arrays[index] = values
    if layout.axes:
        if box is None:
            lines.fail("--unwrap needs the BOX BOUNDS item of each snapshot, before its atoms",
                       first - 1)
        _unwrap(arrays, layout, box, lines, first)
    out.group(GROUP_NAME, np.float64(time))
    for index in layout.kept:
        out.array(layout.names[index], arrays[index])
    out.end()


def _unwrap(arrays: dict[int, np.ndarray], layout: _Layout, box: _Box, lines: Lines,
            first: int) -> None:
    """x + ix * (xhi - xlo); in a tilted box also + iy * xy + iz * xz for x and + iz * yz for
    y, in the order a simulation code adds them."""
    flags = {name: arrays[index].astype(np.float64) for name, index in layout.flags.items()}
    for coordinate, flag in layout.axes:
        axis = layout.columns[coordinate]
        unwrapped = arrays[coordinate] + box.lengths["xyz".index(axis)] * flags[layout.columns[flag]]
        if box.tilts is not None:
            xy, xz, yz = box.tilts
            for tilt, other in {"x": ((xy, "iy"), (xz, "iz")), "y": ((yz, "iz"),), "z": ()}[axis]:
                if tilt != 0.0:
                    if other not in flags:
                        lines.fail(f'--unwrap in a tilted box needs the image flag "{other}"',
                                   first - 1)
                    unwrapped = unwrapped + tilt * flags[other]
        arrays[coordinate] = unwrapped


def _columns(kept: Iterable[str] | str | None) -> list[str] | None:
    if kept is None:
        return None
    names = kept.replace(",", " ").split() if isinstance(kept, str) else list(kept)
    if not names:
        raise DumpError("--columns names no column")
    return names


def _convert(lines: Lines, out: _Writer, kept: list[str] | None, step: float | None,
             unwrap: bool) -> int:
    snapshots = 0
    layouts: dict[str, _Layout] = {}
    timestep: int | None = None
    count: int | None = None
    box: _Box | None = None
    while (line := lines.read()) is not None:
        item = line[5:].strip().decode("latin-1") if line.startswith(b"ITEM:") else None
        if item is None:
            if line.strip():
                lines.fail('expected a line "ITEM: ..."')
        elif item == "TIMESTEP":
            timestep = _whole_number(lines.next(), "a timestep", lines, -LARGEST_TIMESTEP,
                                     LARGEST_TIMESTEP)
        elif item == "NUMBER OF ATOMS":
            count = _whole_number(lines.next(), "a number of atoms", lines, 0, MOST_ATOMS)
        elif item.startswith("BOX BOUNDS") and unwrap:
            box = _Box(lines, item)
        elif item.split()[:1] == ["ATOMS"]:
            if timestep is None or count is None:
                lines.fail("an ATOMS item before the TIMESTEP and NUMBER OF ATOMS items")
            if item not in layouts:
                layouts[item] = _Layout(item.split()[1:], kept, unwrap, lines)
            time = float(timestep) if step is None else float(timestep) * step
            _write_snapshot(out, lines, time, count, layouts[item], box)
            snapshots += 1
            timestep = count = box = None
        else:
            # BOX BOUNDS and any other item: their lines run to the next item.
            lines.skip_to_item()
    return snapshots


def convert(dump_path: str | os.PathLike[str], out_path: str | os.PathLike[str],
            columns: Iterable[str] | str | None = None, dt: float | None = None,
            unwrap: bool = False) -> int:
    """Converts the dump at `dump_path` ("-": standard input; plain, gzip, bzip2 or xz) into a
    step file at `out_path` ("-": standard output), in host byte order with the creator
    "ZVBPY", and returns the number of snapshots.

    `columns` keeps only these columns (and "id"), in the dump's order; `dt` makes each
    group's value the timestep times `dt`; `unwrap` adds to x, y and z their image flags
    (ix, iy, iz) times the box's lengths and tilts. Reads one snapshot at a time, so a dump
    larger than memory converts. Raises DumpError for a dump that cannot be converted, and
    leaves the output as it was: a file is replaced only once complete."""
    dump_path, out_path = os.fspath(dump_path), os.fspath(out_path)
    kept = _columns(columns)
    if dt is not None and not (np.isfinite(dt) and dt > 0):
        raise DumpError(f"--dt {dt}: the step length must be a positive number")
    with open_dump(dump_path) as lines:
        output = None
        try:
            with signals.held():  # the temporary file, once made, is known to be removed
                output = Output(out_path, lines.identity)
            out = _Writer(output)
            snapshots = _convert(lines, out, kept, dt, unwrap)
            out.close()
            output.commit()
        except BaseException:
            if output is not None:
                output.discard()
            raise
    return snapshots

"""Converting a text particle dump into a step file, a snapshot at a time.

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

The atom lines of a snapshot (or of a run of small ones) are parsed as one block by numpy's
text parser; every row must hold as many values as the ATOMS item names columns. Whole numbers
beyond 32 bits, numbers beyond a double and a timestep beyond 2^53 (whose double would not be
exact) are refused, each with its line.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable

import numpy as np

from .dump_atoms import INTEGER_COLUMNS, Box, Layout, Snapshot, read_atoms, shown_value
from .dump_text import DumpError, Lines, open_dump
from .format import (END_MARKER_TYPE, FLAG_ARRAY, FLAG_GROUP, FLAG_SINGLE, TYPE_DOUBLE, TYPE_S32,
                     name_bytes, number_dtype)
from .output_file import Output, signals
from .writer import Writer

__all__ = ["DumpError", "INTEGER_COLUMNS", "convert"]

GROUP_NAME = "time"
# A snapshot's arrays must fit the 32-bit size of an element: 8-byte values for each atom.
MOST_ATOMS = (2**32 - 1) // 8
LARGEST_TIMESTEP = 2**53
WHOLE_NUMBER = re.compile(rb"[+-]?[0-9]+")
# Snapshots are parsed together until their text reaches this many bytes.
BATCH_BYTES = 1 << 20


class _Writer(Writer):
    """A writer of snapshots that tells its output whether it stands inside one, which a signal
    lets it finish."""

    def __init__(self, output: Output):
        self.output = output
        with signals.held():
            super().__init__(output.path, stream=output.stream)
            output.in_element = False
        self._stored = {"i": number_dtype(TYPE_S32, self.byte_order),
                        "f": number_dtype(TYPE_DOUBLE, self.byte_order)}
        self._group = self._header(GROUP_NAME, FLAG_GROUP | FLAG_SINGLE | TYPE_DOUBLE)
        self._end = self._header("", END_MARKER_TYPE) + self._size(0)
        self._arrays: dict[int, list[tuple[int, bytes]]] = {}  # by layout

    def _header(self, name: str, type_word: int) -> bytes:
        """An element header but for its size."""
        return self._element_header.pack(name_bytes(name), type_word, 0)[:-4]

    def _size(self, size: int) -> bytes:
        return size.to_bytes(4, "little" if self.byte_order == "<" else "big")

    def snapshot(self, time: float, layout: Layout, arrays: dict[int, np.ndarray]) -> None:
        """A group of the snapshot's arrays, with its time as value, in one write."""
        headers = self._arrays.get(id(layout))
        if headers is None:
            headers = self._arrays[id(layout)] = [
                (index, self._header(layout.names[index], FLAG_ARRAY | (
                    TYPE_S32 if layout.dtype[index].kind == "i" else TYPE_DOUBLE)))
                for index in layout.kept]
        pieces = [self._group, self._size(8), np.array(time, self._stored["f"]).tobytes()]
        for index, header in headers if arrays else ():
            values = arrays[index]
            stored = np.ascontiguousarray(values, dtype=self._stored[values.dtype.kind])
            pieces += (header, self._size(stored.nbytes), memoryview(stored).cast("B"))
        pieces.append(self._end)
        with signals.held():
            self.output.in_element = True
            self._stream.writelines(pieces)
            self.output.in_element = False


def _whole_number(line: bytes, what: str, lines: Lines, lowest: int, highest: int) -> int:
    text = line.strip()
    shown = shown_value(text)
    if not WHOLE_NUMBER.fullmatch(text):
        lines.fail(f"expected {what}, found {shown}")
    if len(text) > 40 or not lowest <= int(text) <= highest:
        lines.fail(f"{what} of {shown} is out of range ({lowest} to {highest})")
    return int(text)


def _columns(kept: Iterable[str] | str | None) -> list[str] | None:
    if kept is None:
        return None
    names = kept.replace(",", " ").split() if isinstance(kept, str) else list(kept)
    if not names:
        raise DumpError("--columns names no column")
    return names


class _Batch:
    """Snapshots of one layout waiting to be parsed together and written in order."""

    def __init__(self, out: _Writer, lines: Lines):
        self.out, self.lines = out, lines
        self.layout: Layout | None = None
        self.snapshots: list[Snapshot] = []
        self.size = 0
        self.written = 0

    def add(self, layout: Layout, snapshot: Snapshot) -> None:
        if layout is not self.layout:
            self.write()
            self.layout = layout
        self.snapshots.append(snapshot)
        self.size += len(snapshot.block)
        if self.size >= BATCH_BYTES:
            self.write()

    def write(self) -> None:
        snapshots, self.snapshots, self.size = self.snapshots, [], 0
        if not snapshots:
            return
        for snapshot, arrays in zip(snapshots, read_atoms(snapshots, self.layout, self.lines)):
            self.out.snapshot(snapshot.time, self.layout, arrays if snapshot.count else {})
        self.written += len(snapshots)


def _convert(lines: Lines, out: _Writer, kept: list[str] | None, step: float | None,
             unwrap: bool) -> int:
    batch = _Batch(out, lines)
    try:
        _items(lines, batch, kept, step, unwrap)
    except DumpError:
        batch.write()  # a fault in an earlier snapshot's atoms comes first
        raise
    batch.write()
    return batch.written


def _items(lines: Lines, batch: _Batch, kept: list[str] | None, step: float | None,
           unwrap: bool) -> None:
    layouts: dict[str, Layout] = {}
    timestep: int | None = None
    count: int | None = None
    box: Box | None = None
    while (line := lines.read()) is not None:
        item = (line[5:].strip().decode("utf-8", "surrogateescape") if line.startswith(b"ITEM:")
                else None)
        if item is None:
            if line.strip():
                lines.fail('expected a line "ITEM: ..."')
        elif item == "TIMESTEP":
            timestep = _whole_number(lines.next(), "a timestep", lines, -LARGEST_TIMESTEP,
                                     LARGEST_TIMESTEP)
        elif item == "NUMBER OF ATOMS":
            count = _whole_number(lines.next(), "a number of atoms", lines, 0, MOST_ATOMS)
        elif item.startswith("BOX BOUNDS") and unwrap:
            box = Box(lines, item)
        elif item.split()[:1] == ["ATOMS"]:
            if timestep is None or count is None:
                lines.fail("an ATOMS item before the TIMESTEP and NUMBER OF ATOMS items")
            if item not in layouts:
                layouts[item] = Layout(item.split()[1:], kept, unwrap, lines)
            time = float(timestep) if step is None else float(timestep) * step
            first = lines.number + 1
            block = lines.take(count, b"ITEM:")
            if lines.number - first + 1 < count:
                lines.fail(f"the snapshot has {lines.number - first + 1} atom lines, its NUMBER "
                           f"OF ATOMS says {count}", lines.number + 1)
            batch.add(layouts[item], Snapshot(time, count, first, block, box))
            timestep = count = box = None
        else:
            # BOX BOUNDS and any other item: their lines run to the next item.
            lines.skip_to_item()


def convert(dump_path: str | os.PathLike[str], out_path: str | os.PathLike[str],
            columns: Iterable[str] | str | None = None, dt: float | None = None,
            unwrap: bool = False) -> int:
    """Converts the dump at `dump_path` ("-": standard input; plain, gzip, bzip2 or xz) into a
    step file at `out_path` ("-": standard output), in host byte order with the creator
    "ZVBPY", and returns the number of snapshots.

    `columns` keeps only these columns (and "id"), in the dump's order; `dt` makes each
    group's value the timestep times `dt`; `unwrap` adds to x, y and z their image flags
    (ix, iy, iz) times the box's lengths and tilts. Holds a snapshot (or up to a MiB of small
    ones) at a time, so a dump larger than memory converts. Raises DumpError for a dump that
    cannot be converted, and leaves the output as it was: a file is replaced only once
    complete."""
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
        except BaseException as error:
            if output is not None:
                with signals.held():  # a second signal waits until the first is undone
                    output.discard()
            if isinstance(error, OSError) and error.errno is not None:
                # A write that failed (a full disk, a reader that went away).
                shown = "standard output" if out_path == "-" else out_path
                raise OSError(f"{shown}: {error.strerror}") from None
            raise
    return snapshots

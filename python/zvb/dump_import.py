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

Each snapshot becomes a group named "time" with the timestep as its value (a double), holding
one array per column in the dump's order: the "id" column as the array "ID", the columns that
hold whole numbers (id, type, mol, proc, procp1, ix, iy, iz) as 32-bit integers, the others as
doubles. A snapshot without atoms becomes an empty group. The box and any other item are not
carried over.
"""

from __future__ import annotations

import os
from typing import BinaryIO, NoReturn

import numpy as np

from .format import NAME_SIZE
from .writer import Writer

# Per-atom columns that hold whole numbers.
INTEGER_COLUMNS = frozenset({"id", "type", "mol", "proc", "procp1", "ix", "iy", "iz"})
GROUP_NAME = "time"


class DumpError(ValueError):
    """A dump that does not have the layout above; the message names the file and line."""


class _Lines:
    """The dump's lines without their ends, numbered for messages."""

    def __init__(self, stream: BinaryIO, path: str):
        self.stream = stream
        self.path = path
        self.number = 0
        self.pending: bytes | None = None

    def read(self) -> bytes | None:
        """The next line, or None at the end of the file."""
        self.number += 1
        if self.pending is not None:
            line, self.pending = self.pending, None
            return line
        line = self.stream.readline()
        if not line:
            self.number -= 1
            return None
        return line.rstrip(b"\r\n")

    def unread(self, line: bytes) -> None:
        self.pending = line
        self.number -= 1

    def next(self) -> bytes:
        """The next line, which a snapshot needs."""
        line = self.read()
        if line is None:
            self.fail("the file ends inside a snapshot")
        return line

    def fail(self, message: str) -> NoReturn:
        raise DumpError(f"{self.path}:{self.number}: {message}")


def _item(line: bytes) -> str | None:
    return line[5:].strip().decode("ascii", "replace") if line.startswith(b"ITEM:") else None


def _array_name(column: str, lines: _Lines) -> str:
    name = "ID" if column == "id" else column
    if len(name.encode()) >= NAME_SIZE:
        lines.fail(f'column "{column}" has a name longer than {NAME_SIZE - 1} bytes')
    return name


def _column_values(tokens: list[bytes], column: str, lines: _Lines) -> np.ndarray:
    is_integer = column in INTEGER_COLUMNS
    try:
        values = np.array([int(token) if is_integer else float(token) for token in tokens],
                          dtype=np.int64 if is_integer else np.float64)
    except (ValueError, OverflowError):
        kind = "whole numbers" if is_integer else "numbers"
        lines.fail(f'column "{column}" of the snapshot above holds other things than {kind}')
    if not is_integer:
        return values
    if len(values) and (values.min() < -2**31 or values.max() >= 2**31):
        lines.fail(f'column "{column}" of the snapshot above holds numbers beyond 32 bits')
    return values.astype(np.int32)


def _write_snapshot(out: Writer, lines: _Lines, timestep: float, atom_count: int,
                    columns: list[str]) -> None:
    if not columns:
        lines.fail("the ATOMS item names no columns")
    names = [_array_name(column, lines) for column in columns]
    text = b" ".join(lines.next() for _ in range(atom_count))
    tokens = text.split()
    if len(tokens) != atom_count * len(columns):
        lines.fail(f"{atom_count} atoms of {len(columns)} columns need "
                   f"{atom_count * len(columns)} values, the snapshot has {len(tokens)}")
    out.group(GROUP_NAME, np.float64(timestep))
    if atom_count > 0:
        for index, (column, name) in enumerate(zip(columns, names)):
            out.array(name, _column_values(tokens[index :: len(columns)], column, lines))
    out.end()


def convert(dump_path: str | os.PathLike[str], out_path: str | os.PathLike[str]) -> int:
    """Converts the dump at `dump_path` into a step file at `out_path` (host byte order,
    creator "ZVBPY") and returns the number of snapshots. Reads one snapshot at a time, so a
    dump larger than memory converts. Raises DumpError for a dump of another layout; the
    output is then removed."""
    dump_path, out_path = os.fspath(dump_path), os.fspath(out_path)
    if os.path.exists(out_path) and os.path.samefile(dump_path, out_path):
        raise DumpError(f"{out_path}: the output would overwrite the dump")
    snapshots = 0
    with open(dump_path, "rb") as stream, Writer(out_path) as out:
        lines = _Lines(stream, dump_path)
        timestep: float | None = None
        atom_count: int | None = None
        while (line := lines.read()) is not None:
            item = _item(line)
            if item is None:
                if line.strip():
                    lines.fail('expected a line "ITEM: ..."')
            elif item == "TIMESTEP":
                timestep = float(_number(lines.next(), int, lines))
            elif item == "NUMBER OF ATOMS":
                atom_count = int(_number(lines.next(), int, lines))
                if atom_count < 0:
                    lines.fail("a negative number of atoms")
            elif item.split()[:1] == ["ATOMS"]:
                if timestep is None or atom_count is None:
                    lines.fail("an ATOMS item before the TIMESTEP and NUMBER OF ATOMS items")
                _write_snapshot(out, lines, timestep, atom_count, item.split()[1:])
                snapshots += 1
                timestep = atom_count = None
            else:
                # BOX BOUNDS and any other item: their lines run to the next item.
                while (line := lines.read()) is not None and _item(line) is None:
                    pass
                if line is not None:
                    lines.unread(line)
    return snapshots


def _number(line: bytes, kind: type, lines: _Lines) -> float | int:
    try:
        return kind(line.strip())
    except ValueError:
        lines.fail(f"expected a number, found {line[:40]!r}")

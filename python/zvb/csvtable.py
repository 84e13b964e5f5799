"""The long table as CSV text, written piece by piece as the file is read: the memory taken
is that of a piece of rows (or of the longest trajectory), however large the file."""

from __future__ import annotations

import csv
from typing import IO

import numpy as np

from .fileview import Content
from .numtext import number_texts
from .longtable import block_values, piece_rows, pieces, plan
from .select import Selection


def write_table(content: Content, out: IO[str], chosen: Selection) -> None:
    """Writes the long table of `content`'s trajectories (see tracks.table for what it holds)
    with a row of names; an empty cell where a row has no value."""
    found = plan(content, chosen)
    names = found.order
    if chosen.columns is not None:
        unknown = [name for name in chosen.columns if name not in found.names]
        if unknown:
            raise ValueError(f'no column "{unknown[0]}" in {content.path}: its columns are '
                             f"{', '.join(sorted(found.names)) or 'none'}")
        names = list(dict.fromkeys(chosen.columns))
    csv.writer(out, lineterminator="\n").writerow(names)
    for run, shape, source in found.runs(content, chosen):
        for piece in pieces(run, shape):
            offsets = piece.layout()[0]
            layout = piece_rows(piece, offsets, shape, chosen, source, 0)
            if layout.total == 0:
                continue
            cells = [_column_texts(name, layout, shape, piece, offsets, source)
                     for name in names]
            out.write("\n".join(map(",".join, zip(*cells))))
            out.write("\n")


def _column_texts(name, layout, shape, piece, offsets, source) -> list[str]:
    """The cells of one column for the rows of a piece."""
    texts = None
    for index, block in enumerate(shape.blocks):
        found = block.source(shape, name)
        rows = layout.blocks[index]
        if found is None or rows.kept.sum() == 0:
            continue
        kind, element = found
        if kind == "group" and not shape.group_number[element]:
            continue
        values, present = block_values(source, shape, piece, offsets, kind, element, rows)
        starts = layout.starts[:, index]
        if present is None and len(shape.blocks) == 1:
            return number_texts(values)  # the piece's rows, all of them
        if texts is None:
            texts = np.full(layout.total, "", dtype=object)
        positions = np.repeat(starts, rows.kept) + (
            np.arange(int(rows.kept.sum())) - np.repeat(np.cumsum(rows.kept) - rows.kept,
                                                         rows.kept))
        if present is not None:
            positions, values = positions[present], values[present]
        texts[positions] = np.array(number_texts(values), dtype=object)
    return [""] * layout.total if texts is None else texts.tolist()


__all__ = ["number_texts", "write_table"]

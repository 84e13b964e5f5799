"""Trajectories as an xarray Dataset in the contiguous ragged array layout of discrete sampling
geometries: each trajectory's samples one after another along `obs`, their number in a count
variable along `trajectory`."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Iterable

import numpy as np

from .fileview import Content
from .format import ELEMENT_HEADER_SIZE
from .longtable import Scratch, fill_column, piece_rows, pieces, plan
from .select import Ids, WindowArgument, selection
from .tracks import Columns

if TYPE_CHECKING:
    import xarray

COUNT_NAME = "rowSize"
TRAJECTORY = "trajectory"
OBS = "obs"


def _describe(signature: tuple) -> str:
    identifier, copies, _, arrays = signature
    return ", ".join([identifier, *copies, *arrays])


def to_xarray(path: str | os.PathLike[str], ids: Ids = None, columns: Columns = None,
              window: WindowArgument = None,
              coordinates: Iterable[str] = ("x", "y", "z")) -> "xarray.Dataset":
    """The trajectories of a zvbtrack output as an xarray Dataset with featureType
    "trajectory" in the contiguous ragged array layout (global attributes Conventions
    "CF-1.10" and featureType "trajectory").

    Each trajectory group is a trajectory, and so is each copy of enclosing groups in it (a
    trajectory per copy, as the long table splits them). Along `trajectory`: the identifier,
    named like the trajectory groups ("ID", with cf_role "trajectory_id"), one variable per
    copied enclosing group (its value), and `rowSize` (int32, sample_dimension "obs"), the
    number of samples of each. Along `obs`: every array and the loop variable in their stored
    types, the trajectories' samples one after another. The loop variable (axis "T") and
    those of `coordinates` that are present are coordinates; the other arrays carry a
    `coordinates` attribute naming them. `ids`, `columns` (arrays to keep) and `window` choose
    as for `trajectories`.

    Raises ValueError for a file whose trajectories hold different arrays or copies (choose
    one kind with `ids`), or arrays of unequal length within a trajectory.
    """
    import xarray

    content = Content(os.fspath(path))
    chosen = selection(ids, columns, window)
    found = plan(content, chosen)
    if len(found.signatures) > 1:
        first, other = found.signatures[0], found.signatures[1]
        raise ValueError(f"the trajectories of {content.path} differ: some have {_describe(other)}"
                         f", not {_describe(first)} as the first (choose one kind with ids)")
    if not found.signatures:
        return _empty(xarray)
    identifier, copy_names, loop, array_names = found.signatures[0]
    if chosen.columns is not None:
        unknown = [name for name in chosen.columns if name not in found.names]
        if unknown:
            raise ValueError(f'no column "{unknown[0]}" in {content.path}: its columns are '
                             f"{', '.join(sorted(found.names)) or 'none'}")
        array_names = tuple(name for name in array_names if name in chosen.columns)
    short = [name for name in array_names if found.columns[name].gap]
    if short:
        raise ValueError(f'the array "{short[0]}" of a trajectory in {content.path} is '
                         "shorter than the others")
    names = [identifier, *copy_names, COUNT_NAME, *array_names]
    clashing = [name for name in dict.fromkeys(names)
                if names.count(name) > 1 or name in (TRAJECTORY, OBS)]
    if clashing:
        raise ValueError(f'"{clashing[0]}" names two variables of {content.path}')
    unnumbered = [name for name in (identifier, *copy_names) if found.columns[name].gap
                  or found.columns[name].dtype is None]
    if unnumbered:
        raise ValueError(f'the group "{unnumbered[0]}" in {content.path} has a value that is '
                         "not a number")

    samples = {name: np.empty(found.rows, found.columns[name].dtype) for name in array_names}
    per_trajectory = {name: np.empty(found.blocks, found.columns[name].dtype)
                      for name in (identifier, *copy_names)}
    counts = np.empty(found.blocks, np.int32)
    row = 0
    trajectory = 0
    scratch = Scratch()
    for run, shape, source in found.runs(content, chosen):
        for piece in pieces(run, shape):
            offsets = piece.layout()[0]
            layout = piece_rows(piece, offsets, shape, chosen, source, row, scratch)
            if row + layout.total > found.rows:
                raise ValueError(f"{content.path} changed while it was read")
            for index, block in enumerate(shape.blocks):
                for name in array_names:
                    fill_column(samples[name], source, shape, piece, offsets, index, name, layout)
            # Trajectories in row order: item by item, and within one block by block.
            kept = np.stack([rows.kept for rows in layout.blocks], axis=1)
            present = kept > 0 if chosen.window is not None else np.ones(kept.shape, bool)
            taken = int(present.sum())
            if trajectory + taken > found.blocks:
                raise ValueError(f"{content.path} changed while it was read")
            where = slice(trajectory, trajectory + taken)
            counts[where] = kept[present]
            for name in per_trajectory:
                values = np.empty(kept.shape, per_trajectory[name].dtype)
                for index, block in enumerate(shape.blocks):
                    _, element = block.source(shape, name)  # type: ignore[misc]
                    values[:, index] = source.values(
                        shape.dtypes[element], offsets[:, element] + ELEMENT_HEADER_SIZE)
                per_trajectory[name][where] = values[present]
            row += layout.total
            trajectory += taken
    if row != found.rows or trajectory != found.blocks:
        raise ValueError(f"{content.path} changed while it was read")

    coordinate_names = [loop] + [name for name in coordinates
                                 if name in array_names and name != loop]
    coordinate_text = " ".join(name for name in coordinate_names if name in array_names)
    data_variables: dict[str, tuple] = {}
    coordinate_variables: dict[str, tuple] = {}
    data_variables[identifier] = ((TRAJECTORY,), per_trajectory[identifier],
                                  {"cf_role": "trajectory_id"})
    for name in copy_names:
        data_variables[name] = ((TRAJECTORY,), per_trajectory[name], {})
    data_variables[COUNT_NAME] = ((TRAJECTORY,), counts, {"sample_dimension": OBS})
    for name in array_names:
        if name in coordinate_names:
            attributes = {"axis": "T"} if name == loop else {}
            coordinate_variables[name] = ((OBS,), samples[name], attributes)
        else:
            attributes = {"coordinates": coordinate_text} if coordinate_text else {}
            data_variables[name] = ((OBS,), samples[name], attributes)
    return xarray.Dataset(data_variables, coords=coordinate_variables,
                          attrs={"Conventions": "CF-1.10", "featureType": "trajectory"})


def _empty(xarray) -> "xarray.Dataset":
    return xarray.Dataset({COUNT_NAME: ((TRAJECTORY,), np.empty(0, np.int32),
                                        {"sample_dimension": OBS})},
                          attrs={"Conventions": "CF-1.10", "featureType": "trajectory"})


__all__ = ["to_xarray"]

"""A picture of a few trajectories, drawn with matplotlib into a PNG file."""

from __future__ import annotations

import math
import os

from .select import Ids, WindowArgument, id_set
from .tracks import Block, blocks, value_text

FIRST_FEW = 5


def _axes(block: Block, x: str | None, y: str | None) -> tuple[str, str]:
    """The arrays on the axes: the first two requested arrays against each other, or the one
    requested array against the loop variable; `x` and `y` choose others."""
    requested = [name for name in block.arrays if name != block.loop_variable]
    if x is None:
        x = requested[0] if len(requested) >= 2 else block.loop_variable
    if y is None:
        y = next((name for name in requested if name != x), block.loop_variable)
    if x is None or y is None:
        raise ValueError("a trajectory without arrays cannot be drawn")
    return x, y


def plot(path: str | os.PathLike[str], output: str | os.PathLike[str],
         ids: Ids = None, x: str | None = None, y: str | None = None,
         size: tuple[int, int] = (600, 400), window: WindowArgument = None) -> int:
    """Draws the trajectories whose identifiers are `ids` (numbers, or a list as zvbtrack's
    -i takes it; the first few when None), one line each with a dot where it starts (in pieces
    of one color where copies of enclosing groups split it), into the PNG file `output`,
    `size` pixels large; with `window`, only their samples in it. Returns the number of
    trajectories drawn; ValueError when an identifier named by itself is not in the file, or
    an axis names an array that a chosen trajectory lacks."""
    import matplotlib

    matplotlib.use("Agg")  # files only, no display
    import matplotlib.pyplot as plt

    wanted = id_set(ids)
    chosen: list[Block] = []
    seen: list[float] = []  # the identifiers of the chosen blocks, in file order
    for block in blocks(path, ids=ids, window=window):
        identifier = float(block.identifier[1])
        if wanted is None and identifier not in seen and len(seen) == FIRST_FEW:
            break
        if identifier not in seen:
            seen.append(identifier)
        chosen.append(block)
    named = [] if wanted is None else wanted.exact()
    missing = [identifier for identifier in named
               if not any(identifier == found or math.isnan(identifier) and math.isnan(found)
                          for found in seen)]
    if missing:
        raise ValueError(f"no trajectory {', '.join(map(value_text, missing))} in {path}")
    if not chosen:
        raise ValueError(f"no trajectories in {path}")

    dpi = 100
    figure, axes = plt.subplots(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi)
    try:
        x_name, y_name = _axes(chosen[0], x, y)
        colors: dict[float, str] = {}
        for block in chosen:
            for name in (x_name, y_name):
                if name not in block.arrays:
                    raise ValueError(
                        f'trajectory {value_text(block.identifier[1])} has no array "{name}"')
            # A trajectory split by copies of enclosing groups is drawn in pieces of one color.
            identifier = float(block.identifier[1])
            first = identifier not in colors
            label = f"{block.identifier[0]} {value_text(block.identifier[1])}" if first else None
            line, = axes.plot(block.arrays[x_name], block.arrays[y_name], linewidth=1, label=label,
                              color=colors.get(identifier))
            colors[identifier] = line.get_color()
            if first:
                axes.plot(block.arrays[x_name][:1], block.arrays[y_name][:1], "o",
                          color=line.get_color(), markersize=3)
        axes.set_xlabel(x_name)
        axes.set_ylabel(y_name)
        axes.set_title(os.path.basename(os.fspath(path)), fontsize="medium")
        axes.legend(fontsize="small", loc="best")
        figure.tight_layout()
        figure.savefig(output, dpi=dpi)
    finally:
        plt.close(figure)
    return len(seen)

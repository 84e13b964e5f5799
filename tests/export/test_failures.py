"""What zvbexport refuses: files that zvbtrack did not write, damaged files, arrays that are not
there, targets that cannot take the output. Every refusal is one line and status 1, and leaves
no file behind and an existing target as it was."""

from __future__ import annotations

import os
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import netCDF4
import numpy as np
import pytest

from conftest import tool, write_trajectories
from zvb import reader as zvb_reader
from zvb import tracks


def plain(arrays: dict) -> list:
    return [(np.float64(5), arrays)]


def made_by(*zvbtrack_operands: str, objects: str = "30"):
    """A step file like zvbgen's demo, and what zvbtrack makes of it with these operands."""
    def make(folder: Path) -> Path:
        steps = folder / "steps.zvb"
        tool("zvbgen", "-p", "demo", "-N", objects, "-o", steps)
        path = folder / "tracks.zvb"
        tool("zvbtrack", "-o", path, steps, *zvbtrack_operands)
        return path
    return make


def written(groups: list, element_after: bool = False):
    def make(folder: Path) -> Path:
        path = folder / "tracks.zvb"
        write_trajectories(path, groups)
        if element_after:  # an array beside the trajectory groups
            with open(path, "ab") as out:
                out.write(b"x".ljust(16, b"\0") + np.array([0x803, 8], "=u4").tobytes() + bytes(8))
        return path
    return make


def steps(folder: Path) -> Path:
    path = folder / "steps.zvb"
    tool("zvbgen", "-p", "demo", "-o", path)
    return path


def two_kinds(folder: Path) -> Path:
    """Trajectories of two layouts in one file, as -a onto an earlier output makes them."""
    path = made_by("time", "x", "y")(folder)
    nested = folder / "nested.zvb"
    tool("zvbgen", "-T", "3", "-N", "2", "-n", "-o", nested)
    tool("zvbtrack", "-a", path, nested, "time", "y")
    return path


def retyped(folder: Path) -> Path:
    """The first array's type word made a text's."""
    path = made_by("time", "x", "y")(folder)
    data = bytearray(path.read_bytes())
    data[80 + 16:80 + 20] = np.array([0x801], "=u4").tobytes()
    path.write_bytes(bytes(data))
    return path


SAMPLES = {"x": np.arange(3.0), "y": np.arange(3.0), "time": np.arange(3.0)}

# name, the input, the options, the message ({input} and {target} stand for the paths).
REFUSALS = [
    ("step-file", steps, ["-f", "netcdf"],
     'Error: "{input}" was written by "ZVBGEN", not by zvbtrack: export the trajectories that '
     "zvbtrack makes of it"),
    ("unequal-arrays", written(plain({"x": np.arange(3.0), "y": np.arange(2.0),
                                      "time": np.arange(3.0)})), ["-f", "vtk"],
     'Error: "{input}": the trajectory at offset 48 has arrays of unequal length: "x" holds 3 '
     'values, "y" 2'),
    ("empty-array", written(plain({"x": np.empty(0), "y": np.empty(0), "time": np.empty(0)})),
     ["-f", "netcdf"],
     'Error: "{input}" is not a trajectory file as zvbtrack writes it: the empty array "x" at '
     "offset 80"),
    ("element-beside", written(plain(SAMPLES), element_after=True), ["-f", "netcdf"],
     'Error: "{input}" is not a trajectory file as zvbtrack writes it: an element beside the '
     "trajectory groups at offset 248"),
    ("text-array", retyped, ["-f", "vtk"],
     'Error: "{input}" is not a trajectory file as zvbtrack writes it: an element that is '
     "neither an array of numbers nor a group at offset 80"),
    ("two-kinds", two_kinds, ["-f", "netcdf"],
     'Error: "{input}": the trajectory at offset 198448 holds ID(double) step(s32): y(double) '
     "time(double), not ID(double): x(double) y(double) time(double) as the first: export one "
     "kind at a time"),
    ("no-x", written(plain({"a": np.arange(3.0), "b": np.arange(3.0), "time": np.arange(3.0)})),
     ["-f", "vtk"],
     'Error: "{input}" has no array "x" for the x coordinates (-x names it); its trajectories '
     'hold "a", "b", "time"'),
    ("named-z", made_by("time", "x", "y", "z"), ["-f", "netcdf", "-z", "w"],
     'Error: "{input}" has no array "w" for the z coordinates (-z names it); its trajectories '
     'hold "x", "y", "z", "time"'),
    ("same-name", written([(np.float64(5), [("x", np.int32(1), SAMPLES)])]), ["-f", "vtk"],
     'Error: "{input}": its trajectories hold two values named "x"; each needs a name of its '
     "own in the output"),
    ("reserved-name", written(plain({"rowSize": np.arange(3.0), "time": np.arange(3.0)})),
     ["-f", "netcdf"],
     'Error: "{input}": its trajectories hold a value named "rowSize", a name the output uses '
     "itself"),
    ("standard-input", steps, ["-f", "vtk", "-"],
     "Error: Standard input is not read: zvbexport reads its input twice, so give the file's "
     "name"),
    ("no-format", steps, [], "Error: Give the format: -f netcdf or -f vtk"),
    ("compressed-vtk", steps, ["-f", "vtk", "-c", "3"],
     "Error: -c compresses netCDF output; a vtk file is written uncompressed"),
    ("units-vtk", steps, ["-f", "vtk", "--time-units", "s"],
     "Error: --time-units names units in netCDF output; a vtk file has none"),
]


def run_export(target: Path, options: list, source: Path) -> subprocess.CompletedProcess:
    operands = [] if options[-1:] == ["-"] else [source]
    return tool("zvbexport", "-o", target, *options, *operands, check=False)


def assert_refused(result: subprocess.CompletedProcess, message: str, folder: Path,
                   target: Path, old: bytes | None) -> None:
    assert result.returncode == 1
    assert result.stderr == message + "\n"
    expected = [target.name] if old is not None else []
    assert sorted(path.name for path in folder.iterdir()) == expected
    if old is not None:
        assert target.read_bytes() == old


@pytest.mark.parametrize("row", REFUSALS, ids=[row[0] for row in REFUSALS])
def test_refusal_leaves_the_target_as_it_was(row: tuple, tmp_path: Path) -> None:
    _, make, options, message = row
    inputs = tmp_path / "in"
    inputs.mkdir()
    source = make(inputs)
    outputs = tmp_path / "out"
    outputs.mkdir()
    target = outputs / "existing.out"
    target.write_bytes(b"what was there")
    result = run_export(target, options, source)
    assert_refused(result, message.format(input=source, target=target), outputs, target,
                   b"what was there")


def cut_lengths(path: Path) -> list[int]:
    """Where a cut can change what a reader meets: at the start of every element header, one
    byte into it, one byte before its data, at its data and one byte into them; and inside the
    file header."""
    lengths = {0, 1, 47}
    pending = list(zvb_reader.open(path).children)
    while pending:
        node = pending.pop()
        pending.extend(node.children + ([node.end] if node.end is not None else []))
        start = node.offset
        lengths |= {start, start + 1, start + 23, start + 24, start + 24 + min(node.size, 1)}
    return sorted(length for length in lengths if length < path.stat().st_size)


def test_cut_file_reads_whole_groups_or_ends_at_the_cut(tmp_path: Path) -> None:
    """Cut at any of those lengths, a file reads cleanly where the cut falls between
    trajectory groups, and is refused as cut short everywhere else."""
    whole = tmp_path / "whole.zvb"
    write_trajectories(whole, [
        (np.float64(1), [("run", np.int32(0), {"x": np.arange(2.0), "y": np.ones(2),
                                                "time": np.arange(2.0)}),
                         ("run", np.int32(1), {"x": np.zeros(1), "y": np.ones(1),
                                               "time": np.zeros(1)})]),
        (np.float64(-2), [("run", np.int32(1), {"x": np.arange(3.0), "y": np.ones(3),
                                                "time": np.arange(3.0)})]),
    ])
    data = whole.read_bytes()
    # Where a trajectory group begins, the groups before it are a file of their own.
    boundaries = {48} | {node.offset for node in zvb_reader.open(whole).children}

    def check(length: int) -> str | None:
        folder = tmp_path / f"cut{length}"
        folder.mkdir()
        cut = folder / "cut.zvb"
        cut.write_bytes(data[:length])
        format_name = "netcdf" if length % 2 == 0 else "vtk"
        target = folder / "out"
        result = tool("zvbexport", "-f", format_name, "-o", target, cut, check=False)
        if length in boundaries:
            if result.returncode != 0:
                return f"{length}: {result.stderr}"
            if format_name == "netcdf":
                with netCDF4.Dataset(target) as exported:
                    if len(exported.dimensions["trajectory"]) != len(list(tracks.blocks(cut))):
                        return f"{length}: wrong number of trajectories"
            return None
        if (result.returncode, result.stderr) != (1, f'zvbexport: Error: "{cut}": Unexpected '
                                                     "end of file\n"):
            return f"{length}: {result.returncode} {result.stderr}"
        if sorted(path.name for path in folder.iterdir()) != ["cut.zvb"]:
            return f"{length}: left {list(folder.iterdir())}"
        return None

    with ThreadPoolExecutor(max_workers=4) as pool:
        failures = [failure for failure in pool.map(check, cut_lengths(whole)) if failure]
    assert failures == []



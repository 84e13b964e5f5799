"""zvbexport's outputs as the field's own readers see them: netCDF4-python and VTK's XML reader
read every output of trajectory files of many shapes, and every value equals, to the bit and in
its type, what the zvb package reads from the trajectory file."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

import netCDF4
import numpy as np
import pytest
import vtk
from vtk.util.numpy_support import vtk_to_numpy

from conftest import tool, write_trajectories
from zvb import tracks


@dataclass
class Shape:
    name: str
    make: object  # makes the trajectory file at the path it is given
    netcdf_options: list = field(default_factory=list)
    vtk_options: list = field(default_factory=list)
    coordinates: tuple = ("x", "y", "z")


def from_steps(*zvbgen_options: str, arrays=("x", "y", "z")):
    """A trajectory file as zvbtrack makes it of a step file that zvbgen makes."""
    def make(path: Path) -> None:
        steps = path.with_suffix(".steps")
        tool("zvbgen", *zvbgen_options, "-o", steps)
        tool("zvbtrack", "-o", path, steps, "time", *arrays)
    return make


def typed(path: Path) -> None:
    """Big-endian; integers of every size among the arrays, floats for the points; two levels
    of copies of enclosing groups; NaN, -0.0 and infinity among the identifiers; trajectories
    of one sample among longer ones."""
    generator = np.random.default_rng(5)
    identifiers = [np.nan, -0.0, 0.0, np.inf, 1e300, -7.5]
    groups = []
    for identifier in identifiers:
        runs = []
        for run in range(2):
            phases = []
            for phase in (3, 9):
                length = int(generator.integers(1, 6))
                phases.append(("phase", np.uint16(phase), {
                    "x": generator.random(length, dtype=np.float32),
                    "y": generator.random(length, dtype=np.float32),
                    "z": generator.random(length, dtype=np.float32) - np.float32(0.5),
                    "hits": generator.integers(0, 255, length, dtype=np.uint8),
                    "charge": generator.integers(-128, 127, length, dtype=np.int8),
                    "cell": generator.integers(0, 65535, length, dtype=np.uint16),
                    "level": generator.integers(-30000, 30000, length, dtype=np.int16),
                    "tag": generator.integers(-2**31, 2**31 - 1, length, dtype=np.int32),
                    "count": generator.integers(0, 2**32 - 1, length, dtype=np.uint32),
                    "time": np.arange(length, dtype=np.float64) * 0.25,
                }))
            runs.append(("run", np.int32(run - 1), phases))
        groups.append((np.float64(identifier), runs))
    write_trajectories(path, groups, byte_order=">")


def mixed_points(path: Path) -> None:
    """Float identifiers (NaN and -0.0 among them); coordinates of three types under other
    names; an integer loop variable."""
    generator = np.random.default_rng(8)
    groups = []
    for k, identifier in enumerate([np.nan, -0.0, 2.5, 1.0]):
        length = 1 + 3 * k
        groups.append((np.float32(identifier), {
            "a": generator.integers(-1000, 1000, length, dtype=np.int32),
            "b": generator.normal(size=length),
            "c": generator.integers(0, 65535, length, dtype=np.uint16),
            "step": np.arange(length, dtype=np.int32),
        }))
    write_trajectories(path, groups)


def one_trajectory(length: int):
    def make(path: Path) -> None:
        write_trajectories(path, [(np.float64(17), {
            "x": np.linspace(0, 1, length), "y": np.linspace(1, 2, length),
            "time": np.arange(length, dtype=np.float64)})])
    return make


SHAPES = [
    Shape("flat", from_steps("-p", "demo")),
    Shape("runs", from_steps("-p", "runs", "-T", "4", "-N", "40", "-S", "3")),
    Shape("nested-plane",
          from_steps("-T", "6", "-N", "12", "-f", "-n", "-c", "0.2", arrays=("x", "y")),
          coordinates=("x", "y", None)),
    Shape("typed", typed, ["-c", "4", "--time-units", "seconds since 2000-01-01"]),
    Shape("mixed-points", mixed_points, ["-x", "a", "-y", "b", "-z", "c"],
          ["-x", "a", "-y", "b", "-z", "c"], coordinates=("a", "b", "c")),
    Shape("one-trajectory", one_trajectory(7), coordinates=("x", "y", None)),
    Shape("one-sample", one_trajectory(1), coordinates=("x", "y", None)),
    Shape("empty", from_steps("-p", "demo", arrays=("nothing",)), coordinates=(None,) * 3),
]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("shapes")
    made = {}
    for shape in SHAPES:
        made[shape.name] = folder / f"{shape.name}.zvb"
        shape.make(made[shape.name])
    return made


def native(values) -> np.ndarray:
    array = np.atleast_1d(np.asarray(values))
    return array.astype(array.dtype.newbyteorder("="))


def assert_same_bits(actual, expected, what: str) -> None:
    """The same values in the same type, compared as bytes: NaN equals NaN, -0.0 is not 0.0."""
    actual, expected = native(actual), native(expected)
    assert actual.dtype == expected.dtype, f"{what}: {actual.dtype}, not {expected.dtype}"
    assert actual.shape == expected.shape, f"{what}: {actual.shape}, not {expected.shape}"
    assert actual.tobytes() == expected.tobytes(), f"{what} differs"


@dataclass
class Reference:
    """What the zvb package reads from a trajectory file, in the exporter's order."""
    blocks: list
    identifier: str
    enclosing: list  # the copies' names, outermost first
    arrays: list     # in file order, the loop variable last

    def rows(self) -> np.ndarray:
        return np.array([block.rows for block in self.blocks], dtype=np.int64)

    def identifiers(self, blocks=None) -> np.ndarray:
        chosen = self.blocks if blocks is None else blocks
        return concatenated([block.identifier[1] for block in chosen], np.float64)

    def enclosing_values(self, k: int, blocks=None) -> np.ndarray:
        chosen = self.blocks if blocks is None else blocks
        return concatenated([block.copies[k][1] for block in chosen], np.int32)

    def samples(self, name: str) -> np.ndarray:
        return concatenated([block.arrays[name] for block in self.blocks], np.float64)


def concatenated(parts: list, empty_type) -> np.ndarray:
    return np.concatenate([native(part) for part in parts]) if parts else np.empty(0, empty_type)


def reference(path: Path) -> Reference:
    blocks = list(tracks.blocks(path))
    if not blocks:
        return Reference([], "ID", [], [])
    first = blocks[0]
    return Reference(blocks, first.identifier[0], [name for name, _ in first.copies],
                     list(first.arrays))


def export(shape: Shape, inputs: dict, folder: Path, format_name: str) -> Path:
    extension = ".nc" if format_name == "netcdf" else ".vtp"
    output = folder / f"{shape.name}{extension}"
    options = shape.netcdf_options if format_name == "netcdf" else shape.vtk_options
    result = tool("zvbexport", "-v", "-f", format_name, *options, "-o", output,
                  inputs[shape.name], check=False)
    assert result.returncode == 0, result.stderr
    expected = reference(inputs[shape.name])
    samples = int(expected.rows().sum())
    source = inputs[shape.name]
    assert result.stderr.splitlines() == [
        f'Reading inputfile: "{source}"',
        f"{source}: {len(expected.blocks)} trajectories, {samples} samples",
        f'{source}: Writing "{output}"',
    ]
    assert sorted(path.name for path in folder.iterdir()) == [output.name]
    return output


@pytest.mark.parametrize("shape", SHAPES, ids=[shape.name for shape in SHAPES])
def test_netcdf_holds_every_value(shape: Shape, inputs: dict, tmp_path: Path) -> None:
    output = export(shape, inputs, tmp_path, "netcdf")
    expected = reference(inputs[shape.name])
    with netCDF4.Dataset(output) as data:
        data.set_auto_maskandscale(False)
        assert data.Conventions == "CF-1.10" and data.featureType == "trajectory"
        assert "zvbexport -v -f netcdf" in data.history and str(output) in data.history
        assert len(data.dimensions["trajectory"]) == len(expected.blocks)
        assert len(data.dimensions["obs"]) == int(expected.rows().sum())
        counts = data["rowSize"]
        assert counts.dimensions == ("trajectory",) and counts.sample_dimension == "obs"
        assert counts.dtype == np.int32 and np.array_equal(counts[:], expected.rows())
        identifiers = data[expected.identifier]
        assert identifiers.cf_role == "trajectory_id"
        assert identifiers.dimensions == ("trajectory",)
        assert_same_bits(identifiers[:], expected.identifiers(), "identifier")
        for k, name in enumerate(expected.enclosing):
            assert data[name].dimensions == ("trajectory",)
            assert_same_bits(data[name][:], expected.enclosing_values(k), name)
        present = [name for name in shape.coordinates if name is not None]
        assert set(data.variables) == {"rowSize", expected.identifier, *expected.enclosing,
                                       *expected.arrays}
        for name in expected.arrays:
            variable = data[name]
            assert variable.dimensions == ("obs",)
            assert variable.chunking() != "contiguous"
            assert_same_bits(variable[:], expected.samples(name), name)
            attributes = variable.ncattrs()
            if name == expected.arrays[-1]:
                assert variable.axis == "T"
            elif name in present:
                assert variable.axis == "XYZ"[shape.coordinates.index(name)]
            else:
                assert variable.coordinates.split() == [expected.arrays[-1], *present]
            if "--time-units" in shape.netcdf_options and name == expected.arrays[-1]:
                assert variable.units == "seconds since 2000-01-01"
            else:
                assert "units" not in attributes
            if "-c" in shape.netcdf_options:
                assert variable.filters()["zlib"]


def line_cells(cells: vtk.vtkCellArray) -> list[np.ndarray]:
    offsets = vtk_to_numpy(cells.GetOffsetsArray())
    connectivity = vtk_to_numpy(cells.GetConnectivityArray())
    return [connectivity[offsets[k]:offsets[k + 1]] for k in range(len(offsets) - 1)]


@pytest.mark.parametrize("shape", SHAPES, ids=[shape.name for shape in SHAPES])
def test_vtk_holds_every_value(shape: Shape, inputs: dict, tmp_path: Path) -> None:
    output = export(shape, inputs, tmp_path, "vtk")
    expected = reference(inputs[shape.name])
    reader = vtk.vtkXMLPolyDataReader()
    reader.SetFileName(str(output))
    reader.Update()
    assert reader.GetErrorCode() == 0
    polydata = reader.GetOutput()
    rows = expected.rows()
    starts = np.concatenate([[0], np.cumsum(rows)[:-1]]).astype(np.int64)
    assert polydata.GetNumberOfPoints() == rows.sum()
    # Vertices for trajectories of one sample, then polylines, each kind in file order.
    singles = [k for k in range(len(rows)) if rows[k] == 1]
    longer = [k for k in range(len(rows)) if rows[k] > 1]
    assert polydata.GetNumberOfVerts() == len(singles)
    assert polydata.GetNumberOfLines() == len(longer)
    assert polydata.GetNumberOfPolys() == 0 and polydata.GetNumberOfStrips() == 0
    vertices = line_cells(polydata.GetVerts())
    assert [list(cell) for cell in vertices] == [[starts[k]] for k in singles]
    lines = line_cells(polydata.GetLines())
    assert [list(cell) for cell in lines] == [
        list(range(starts[k], starts[k] + rows[k])) for k in longer]

    point_data = polydata.GetPointData()
    assert point_data.GetNumberOfArrays() == len(expected.arrays)
    for name in expected.arrays:
        assert_same_bits(vtk_to_numpy(point_data.GetArray(name)), expected.samples(name), name)
    if expected.arrays:
        assert point_data.GetScalars().GetName() == expected.arrays[-1]
    ordered = [expected.blocks[k] for k in singles + longer]
    cell_data = polydata.GetCellData()
    assert cell_data.GetNumberOfArrays() == 1 + len(expected.enclosing)
    assert_same_bits(vtk_to_numpy(cell_data.GetArray(expected.identifier)),
                     expected.identifiers(ordered), "identifier")
    for k, name in enumerate(expected.enclosing):
        assert_same_bits(vtk_to_numpy(cell_data.GetArray(name)),
                         expected.enclosing_values(k, ordered), name)

    if rows.sum() == 0:
        return
    axes = [expected.samples(name) if name is not None else None for name in shape.coordinates]
    kinds = {axis.dtype for axis in axes if axis is not None}
    point_type = np.float32 if kinds == {np.dtype(np.float32)} else np.float64
    columns = [axis.astype(point_type) if axis is not None else np.zeros(rows.sum(), point_type)
               for axis in axes]
    assert_same_bits(vtk_to_numpy(polydata.GetPoints().GetData()), np.stack(columns, axis=1),
                     "points")

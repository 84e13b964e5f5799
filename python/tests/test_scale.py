"""The readers that work in runs of items (trajectories, table, CSV, the ragged layout) against
zvbdump and the tree, on generated files of many shapes; damaged files in the middle of a run
of predicted items; selection against filtering the whole table."""

from __future__ import annotations

import collections
import csv
import io
import math
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import zvb
from conftest import PYTHON_DIR, dumped_elements, python_module, tool

VALUE_TYPES = [np.float64, np.float32, np.int32, np.uint8, np.int16, np.uint16, np.uint32,
               np.int8]


# Numbers where the shortest text turns from fixed to scientific notation, or where a type
# stops holding every whole number.
EDGE_NUMBERS = [1e4, -1e5, 1.2e6, 1.2e7, 120000.0, 1e-3, 1.5e-4, 1e-4, -1e-5, 0.00012, 2.0**24,
                2.0**24 + 2, 2.0**53, 2.0**53 + 2, 1e15, 1e16, 1.5e16, 123456789012345680.0, 0.1]


def random_values(rng: np.random.Generator, dtype: type, count: int,
                  whole: bool = False) -> np.ndarray:
    if np.dtype(dtype).kind == "f":
        values = rng.normal(0, 10, count).astype(dtype)
        if whole:
            return np.round(values)  # -0.0 among them now and then
        special = rng.random(count)
        values[special < 0.05] = -0.0
        values[(special > 0.05) & (special < 0.1)] = np.round(values[(special > 0.05) &
                                                                     (special < 0.1)])
        edges = (special > 0.1) & (special < 0.14)
        values[edges] = rng.choice(EDGE_NUMBERS, int(edges.sum()))
        values[special > 0.98] = math.nan
        return values
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, count, endpoint=True).astype(dtype)


def write_trajectories(path: Path, rng: np.random.Generator, uniform: bool) -> dict:
    """A trajectory file: a run of items of one shape broken now and then. Uniform files give
    every block the same columns (what zvbdump's long table takes); the others mix blocks at
    several depths, arrays missing or shorter than the others, and trajectories of another
    kind."""
    order = "<" if rng.random() < 0.5 else ">"
    depth = int(rng.integers(0, 3))
    copy_names = ["run", "step"][:depth]
    arrays = [("x", "y", "z", "vx")[k] for k in range(int(rng.integers(1, 4)))] + ["time"]
    types = {name: VALUE_TYPES[int(rng.integers(0, len(VALUE_TYPES)))] for name in arrays}
    identifier_type = [np.float64, np.int32, np.float32][int(rng.integers(0, 3))]
    usual_copies = int(rng.integers(1, 3))
    # Whole numbers in floating-point columns, and identifiers without fractions or NaN.
    whole = rng.random() < 0.3
    stored = dict(types, ID=identifier_type, **{name: np.int32 for name in copy_names})
    with zvb.Writer(path, byte_order=order) as out:
        for item in range(int(rng.integers(0, 300))):
            if not uniform and rng.random() < 0.03:
                out.array("loose", random_values(rng, np.float64, 2))  # a top-level array
            identifier = rng.choice([rng.integers(-5, 400), 0.5 + rng.integers(0, 9), -0.0,
                                     math.nan, 0.0], p=[0.8, 0.05, 0.05, 0.05, 0.05])
            if whole and not (identifier == 0 or float(identifier).is_integer()):
                identifier = float(rng.integers(-5, 400))
            out.group("ID", identifier_type(identifier) if identifier_type != np.int32 or
                      np.isfinite(identifier) else np.int32(-1))
            rare = rng.random() < 0.05
            count = int(rng.integers(0, 7)) if rng.random() < 0.9 else int(rng.integers(7, 40))

            def block(count: int) -> None:
                for name in arrays:
                    length = count
                    if not uniform and rare and name != "time" and rng.random() < 0.3:
                        length = max(0, count - 1)  # shorter than the others
                    if not uniform and rare and name == arrays[0] and rng.random() < 0.3:
                        continue  # missing
                    out.array(name, random_values(rng, types[name], length, whole))

            if not uniform and rare:
                block(count)  # arrays beside the copies, in the trajectory group itself

            def copies(level: int) -> None:
                if level == depth:
                    block(int(rng.integers(0, 7)) if rng.random() < 0.5 else count)
                    return
                for _ in range(usual_copies if not rare else int(rng.integers(1, 4))):
                    out.group(copy_names[level], np.int32(rng.integers(0, 4)))
                    copies(level + 1)
                    out.end()

            copies(0)
            out.end()
    return stored


def dumped_table(path: Path) -> tuple[list[str], list[list[str]]]:
    rows = list(csv.reader(io.StringIO(tool("zvbdump", "-c", path).stdout)))
    return rows[0], rows[1:]


def bits(values: np.ndarray) -> bytes:
    """The values as doubles (every stored and returned type converts exactly), bit for bit."""
    return np.asarray(values).astype(np.float64).tobytes()


def text_bits(texts: list[str], stored: type = np.float64) -> bytes:
    """The numbers that CSV cells read back as, a float's text as a float."""
    values = np.array([float(text) for text in texts], np.float64)
    if stored == np.float32:
        values = values.astype(np.float32)
    return values.astype(np.float64).tobytes()


def reference_table(path: Path) -> dict[str, np.ndarray]:
    """The long table from the tree that zvb.open reads, its nesting taken from the depths of
    a plain walk: a block of rows per group with arrays of numbers, NaN where a block lacks a
    column, every value as a double."""
    top: list[list] = []  # [name, value, arrays, inner groups] for each group at the top
    open_groups: list[list] = []
    root = zvb.open(path)
    for node, depth in root.walk():
        del open_groups[depth:]
        if node.is_group:
            group = [node.name, group_number(node, root.header.byte_order), {}, []]
            (open_groups[-1][3] if open_groups else top).append(group)
            open_groups.append(group)
        elif (open_groups and node.is_array and not node.is_end
              and node.type & 0xFF in zvb.format.NUMBER_TYPES):
            open_groups[-1][2][node.name] = node.value
    blocks = []
    pending = [(group, (group[0], group[1]), []) for group in reversed(top)]
    while pending:
        (_, _, arrays, inner), identifier, copies = pending.pop()
        if arrays:
            blocks.append((identifier, copies, arrays))
        for child in reversed(inner):
            pending.append((child, identifier, copies + [(child[0], child[1])]))
    names: dict[str, None] = {}
    for stage in ("identifier", "copies", "loop", "arrays"):
        loops = {list(arrays)[-1] for _, _, arrays in blocks}
        for (identifier_name, _), copies, arrays in blocks:
            new = {"identifier": [identifier_name], "copies": [name for name, _ in copies],
                   "loop": [list(arrays)[-1]],
                   "arrays": [name for name in arrays if name not in loops]}[stage]
            names.update(dict.fromkeys(new))
    table = {}
    for name in names:
        parts = []
        for (identifier_name, identifier), copies, arrays in blocks:
            rows = max(len(values) for values in arrays.values())
            part = np.full(rows, math.nan)
            if name in arrays:
                part[:len(arrays[name])] = arrays[name]
            elif name in [copy for copy, _ in copies]:
                part[:] = [value for copy, value in copies if copy == name][-1]
            elif name == identifier_name:
                part[:] = identifier
            parts.append(part)
        table[name] = np.concatenate(parts)
    return table


def long_table_differences(paths: list[str]) -> list[str]:
    """What differs, for each trajectory file, between its table and the table of its tree;
    and, where zvbdump's long table of it lies beside it (PATH.csv), between that and the
    Python CSV: the rows, and each column whose name heads one column only (a name given to
    more than one, such as an array requested as "ID", zvbdump writes once for each, and the
    Python table, a column per name, once)."""
    found = []
    for path in paths:
        table, tree = zvb.table(path), reference_table(Path(path))
        if {n: bits(v) for n, v in table.items()} != {n: bits(v) for n, v in tree.items()}:
            found.append(f"{path}: table differs from the tree: {sorted(table)} {sorted(tree)}")
        dumped = Path(path + ".csv")
        if not dumped.exists():
            continue
        text = io.StringIO()
        zvb.write_csv(path, text)
        mine = list(csv.reader(io.StringIO(text.getvalue())))
        theirs = list(csv.reader(io.StringIO(dumped.read_text(encoding="utf-8"))))
        once = [name for name, count in collections.Counter(theirs[0]).items() if count == 1]

        def column(rows: list[list[str]], name: str) -> list[str]:
            return [row[rows[0].index(name)] for row in rows[1:]]

        if (len(mine) != len(theirs) or set(mine[0]) != set(theirs[0])
                or any(column(mine, name) != column(theirs, name) for name in once)):
            found.append(f"{path}: CSV differs from zvbdump's: {text.getvalue()[:200]!r}")
    return found


def group_number(node: zvb.Node, byte_order: str) -> float:
    """A group's value in the long table: the first number of its data when its type holds
    numbers, whatever its shape flags say (as zvbdump takes it); NaN when it holds none."""
    dtype = zvb.format.number_dtype(node.type, byte_order)
    if dtype is None or node.size < dtype.itemsize:
        return math.nan
    return float(node.data[:dtype.itemsize].view(dtype)[0])



def check_integer_columns(table: dict[str, np.ndarray]) -> None:
    """A floating-point column of whole numbers (none -0.0) comes back as integers."""
    for name, values in table.items():
        if values.dtype.kind == "f":
            whole = np.isfinite(values) & (np.trunc(values) == values) & ~(
                (values == 0) & np.signbit(values))
            assert not whole.all() or len(values) == 0, name


@pytest.mark.parametrize("seed", range(24))
def test_generated_files_read_as_zvbdump_and_the_tree_read_them(tmp_path: Path,
                                                                seed: int) -> None:
    rng = np.random.default_rng(seed)
    uniform = seed % 3 != 2
    path = tmp_path / f"generated{seed}.zvb"
    stored = write_trajectories(path, rng, uniform)
    table = zvb.table(path)
    check_integer_columns(table)
    reference = reference_table(path)
    assert list(table) == list(reference)
    for name in table:
        assert bits(table[name]) == bits(reference[name]), name

    # The tree is zvbdump's, element by element; the trajectories, group by group, are
    # what the tree holds.
    root = zvb.open(path)
    assert [(node.offset, node.type, node.size, depth, node.name)
            for node, depth in root.walk()] == [
        (offset, type_word, size, depth, name)
        for offset, type_word, size, _, depth, name, _ in dumped_elements(path)[1]]
    expected = [(group.value, zvb.contents(group)) for group in root.children if group.is_group]
    found = list(zvb.trajectories(path))
    assert len(found) == len(expected)
    for (identifier, arrays), (tree_identifier, tree_arrays) in zip(found, expected):
        assert bits([identifier]) == bits([tree_identifier])
        assert _as_lists(arrays) == _as_lists(tree_arrays)

    text = io.StringIO()
    zvb.write_csv(path, text)
    rows = list(csv.reader(io.StringIO(text.getvalue())))
    assert rows[0] == list(table)
    for column, name in enumerate(rows[0]):
        cells = [row[column] for row in rows[1:]]
        gaps = np.array([cell == "" for cell in cells], bool)
        assert not (gaps & ~np.isnan(reference[name])).any(), name
        assert text_bits([cell or "nan" for cell in cells], stored[name]) == bits(
            reference[name]), name

    if uniform and len(next(iter(table.values()), [])):
        names, dumped = dumped_table(path)
        assert names == list(table) and len(dumped) == len(rows) - 1
        for column, name in enumerate(names):
            cells = [row[column] for row in dumped]
            assert text_bits(cells, stored[name]) == bits(table[name]), name
            # The same text: a float's shortest digits as a float, not as the double it
            # widens to, in the notation zvbdump takes.
            assert cells == [row[column] for row in rows[1:]], name


def _leaves(arrays: dict) -> list[dict]:
    """The dicts of a trajectory's contents in the long table's order: a dict's own arrays,
    then its copies."""
    own = {key: value for key, value in arrays.items() if not isinstance(value, dict)}
    found = [own] if own or not any(isinstance(v, dict) for v in arrays.values()) else []
    for value in arrays.values():
        if isinstance(value, dict):
            found += _leaves(value)
    return found


def _as_lists(arrays: dict) -> dict:
    return {key: _as_lists(value) if isinstance(value, dict)
            else (value.dtype.newbyteorder("=").str, value.astype(
                value.dtype.newbyteorder("=")).tobytes()) for key, value in arrays.items()}


@pytest.mark.parametrize("seed", range(6))
def test_selection_reads_what_filtering_the_whole_table_leaves(tmp_path: Path,
                                                               seed: int) -> None:
    rng = np.random.default_rng(100 + seed)
    path = tmp_path / "chosen.zvb"
    write_trajectories(path, rng, uniform=True)
    whole = zvb.table(path)
    if not whole:
        return
    loop = [name for name in whole if name not in ("ID", "run", "step")][0]
    identifiers = np.asarray(whole["ID"], np.float64)
    values = np.asarray(whole[loop], np.float64)
    present = identifiers[~np.isnan(identifiers)]
    chosen = [float(v) for v in rng.choice(np.unique(present), min(5, len(np.unique(present))),
                                           replace=False)] + [math.nan, -0.0]
    low, high = np.nanquantile(values, [0.3, 0.7]) if np.isfinite(values).any() else (0, 1)
    cases = [
        (dict(ids=chosen), np.isin(identifiers, chosen) | np.isnan(identifiers)
         | ((identifiers == 0) & (-0.0 in chosen))),
        (dict(ids=f"..{chosen[0]},{chosen[1]}.."), (identifiers <= chosen[0])
         | (identifiers >= chosen[1])),
        (dict(window=(low, high)), (values >= low) & (values <= high)),
        (dict(window=f"{low}..", ids=chosen[:2], columns=[loop, "ID"]),
         (values >= low) & np.isin(identifiers, chosen[:2])),
    ]
    for options, rows in cases:
        found = zvb.table(path, **options)
        if rows.any() or "columns" in options:
            assert list(found) == options.get("columns", list(whole)), options
        for name in found:
            assert bits(found[name]) == bits(whole[name][rows]), (options, name)
        frame = zvb.to_pandas(path, **options)
        assert list(frame.columns) == list(found)
        for name in found:
            assert bits(frame[name].to_numpy()) == bits(found[name]), (options, name)
        # The trajectories chosen so hold the same samples, and no copy without one.
        if "columns" not in options:
            leaves = [leaf for _, arrays in zvb.trajectories(path, **options)
                      for leaf in _leaves(arrays)]
            if "window" in options:
                assert all(leaf and len(leaf[loop]) for leaf in leaves), options
            assert bits(np.concatenate([leaf[loop] for leaf in leaves] or [[]])) == bits(
                found.get(loop, [])), options


def test_ragged_layout_holds_the_table(tmp_path: Path) -> None:
    path = tmp_path / "runs.zvb"
    steps = tmp_path / "steps.zvb"
    tool("zvbgen", "-T", "7", "-N", "30", "-r", "3", "-c", "0.2", "-f", "-o", steps)
    tool("zvbtrack", "-o", path, steps, "time", "x", "y", "z")
    table = zvb.table(path)
    data = zvb.to_xarray(path)
    assert data.attrs == {"Conventions": "CF-1.10", "featureType": "trajectory"}
    assert dict(data.sizes) == {"trajectory": len(data["rowSize"]), "obs": len(table["ID"])}
    assert data["rowSize"].dtype == np.int32 and int(data["rowSize"].sum()) == data.sizes["obs"]
    assert data["rowSize"].attrs == {"sample_dimension": "obs"}
    assert data["ID"].attrs == {"cf_role": "trajectory_id"}
    assert data["time"].attrs == {"axis": "T"}
    # Each trajectory's rows: one identifier and run each, as the table repeats them.
    for name in ("ID", "run"):
        assert bits(np.repeat(data[name].to_numpy(), data["rowSize"].to_numpy())) == bits(
            table[name])
    for name in ("time", "x", "y", "z"):
        assert data[name].dims == ("obs",) and data[name].dtype == np.float64
        assert bits(data[name].to_numpy()) == bits(table[name])
    assert set(data.coords) == {"time", "x", "y", "z"}
    # A data variable names the coordinates; the file written reads back as it was.
    some = zvb.to_xarray(path, ids="0..200", window=(0.2, None))
    assert some.attrs == data.attrs and int(some["rowSize"].min()) > 0
    written = tmp_path / "some.nc"
    some.to_netcdf(written)
    import warnings

    warnings.filterwarnings("ignore", "numpy.ndarray size changed")  # netCDF4's build
    import netCDF4

    with netCDF4.Dataset(written) as back:
        assert back.featureType == "trajectory" and back["ID"].cf_role == "trajectory_id"
        assert back["rowSize"].sample_dimension == "obs"
        assert back["time"].axis == "T"
        assert bits(back["x"][:].data) == bits(some["x"].to_numpy())

    with pytest.raises(ValueError, match="differ"):
        mixed = tmp_path / "mixed.zvb"
        tool("zvbtrack", "-o", mixed, steps, "time", "x")
        tool("zvbtrack", "-a", mixed, steps, "time", "y")
        zvb.to_xarray(mixed)


def element_spans(data: bytes) -> tuple[list[tuple[int, int, int, str]], str | None, int]:
    """Every element header (offset, type word, size, name) as a plain front-to-back reading
    finds them; the reason it stops early (data past the end, groups nested too deeply) and
    the offset of the element it stops at."""
    unpack = struct.Struct("<16sII").unpack_from
    position, found = 48, []
    open_groups: list[bool] = []  # whether each open group closes its parent too
    while position + 24 <= len(data):
        name, type_word, size = unpack(data, position)
        if position + 24 + size > len(data):
            return found, "Unexpected end of file", position
        found.append((position, type_word, size,
                      name.split(b"\0")[0].decode("utf-8", "surrogateescape")))
        position += 24 + size
        if type_word & 0x100:
            if len(open_groups) == 1000:
                return found, "Groups nested too deeply", found[-1][0]
            open_groups.append(bool(type_word & 0x200))
        elif type_word & 0x200:
            # An end marker at the top ends the tree; a group that is an end marker itself
            # closes its parent's level when its own closes.
            if not open_groups:
                break
            closes_parent = open_groups.pop()
            while closes_parent and open_groups:
                closes_parent = open_groups.pop()
            if closes_parent:
                break
    return found, None, -1


def test_damage_inside_a_run_of_predicted_items_is_found(tmp_path: Path) -> None:
    """Headers changed or cut where the readers predict them: every reader meets the damage
    where a plain reading does, and gives zvbtrack's reason and the offset."""
    steps = tmp_path / "steps.zvb"
    intact = tmp_path / "intact.zvb"
    tool("zvbgen", "-T", "20", "-N", "400", "-c", "0.05", "-o", steps)
    tool("zvbtrack", "-o", intact, steps, "time", "x", "y")
    content = intact.read_bytes()
    spans = element_spans(content)[0]
    # Read intact, the trajectories come in a few runs of predicted items, not one by one.
    from zvb.scan import scan

    runs = list(scan(str(intact))[1].runs())
    assert sum(map(len, runs)) == sum(1 for _, type_word, _, _ in spans if type_word == 0x503)
    assert len(runs) < 20
    rng = np.random.default_rng(7)
    damaged = []
    for offset, type_word, size, _ in [spans[int(k)] for k in rng.integers(100, len(spans), 10)]:
        for field, value in [(20, size + 8), (20, max(size - 8, 3)), (16, type_word | 0x100),
                             (16, type_word | 0x200), (0, 0x41)]:
            data = bytearray(content)
            if field == 0:
                data[offset] = value
            else:
                data[offset + field:offset + field + 4] = struct.pack("<I", value)
            damaged.append(bytes(data))
        damaged.append(content[:offset + 30])
    deep = bytearray(content[:48])
    for _ in range(1001):
        deep += struct.pack("<16sII", b"g", 0x502, 4) + b"\0\0\0\0"
    damaged.append(bytes(deep))
    reasons = set()
    for data in damaged:
        path = tmp_path / "damaged.zvb"
        path.write_bytes(data)
        expected, reason, stop = element_spans(data)
        if reason is None:
            assert [(node.offset, node.type, node.size, node.name)
                    for node, _ in zvb.open(path).walk()] == expected
            table, reference = zvb.table(path), reference_table(path)
            assert {name: bits(values) for name, values in table.items()} == {
                name: bits(values) for name, values in reference.items()}
            continue
        run = tool("zvbtrack", "-o", tmp_path / "out.zvb", path, "time", "x", check=False)
        assert run.stderr == f'zvbtrack: Error: "{path}": {reason}\n'
        reasons.add(reason)
        for read in (zvb.open, zvb.table, lambda p: list(zvb.trajectories(p))):
            with pytest.raises(zvb.FormatError) as caught:
                read(path)
            assert (caught.value.reason, caught.value.offset) == (reason, stop)
    assert reasons == {"Unexpected end of file", "Groups nested too deeply"}


def test_csv_command_with_a_closed_or_broken_output(files: dict[str, Path],
                                                    tmp_path: Path) -> None:
    environment = {"PYTHONPATH": str(PYTHON_DIR)}
    command = [sys.executable, "-m", "zvb", "csv", str(files["tracks"])]
    closed = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True, env=environment, close_fds=True,
                            preexec_fn=lambda: __import__("os").close(1))
    assert (closed.returncode, closed.stderr) == (1, 'zvb: "-": Bad file descriptor\n')
    big = tmp_path / "big.zvb"
    tool("zvbgen", "-T", "50", "-N", "2000", "-o", tmp_path / "steps.zvb")
    tool("zvbtrack", "-o", big, tmp_path / "steps.zvb", "time", "x", "y", "z")
    reader = subprocess.Popen(["head", "-c", "100"], stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL)
    broken = subprocess.run([*command[:-1], str(big)], stdout=reader.stdin,
                            stderr=subprocess.PIPE, text=True, env=environment)
    reader.stdin.close()
    reader.wait()
    assert (broken.returncode, broken.stderr) == (1, 'zvb: "-": Broken pipe\n')

    chosen = python_module("csv", "-i", "..100", "-w", "0.5..1", "-c", "time,ID",
                           files["tracks"])
    rows = list(csv.reader(io.StringIO(chosen.stdout)))
    expected = zvb.table(files["tracks"], ids="..100", window=(0.5, 1), columns=["time", "ID"])
    assert rows[0] == ["time", "ID"] and len(rows) - 1 == len(expected["ID"]) > 0
    assert text_bits([row[1] for row in rows[1:]]) == bits(expected["ID"])
    for arguments, message in [(["-w", "2..1"], 'invalid window "2..1": 2 is above 1'),
                               (["-i", "1,a"], 'invalid identifier list "1,a": "a" is not a '
                                               "number"),
                               (["-c", "w"], 'no column "w" in')]:
        run = python_module("csv", *arguments, files["tracks"])
        assert run.returncode == 1 and run.stderr.startswith(f"zvb: {message}"), run.stderr

"""Molecular dynamics runs dumped as text, converted with from-dump, transposed with zvbtrack:
the trajectories hold the dump's own numbers, and the coordinates unwrapped from the image
flags are the simulation code's own unwrapped ones. Damaged dumps and signals leave the output
as it was."""

from __future__ import annotations

import gzip
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import zvb
from conftest import BUILD, PYTHON_DIR, python_module, same_bits, tool

# Atoms rain onto a slab one every 5 steps; one every 20 steps evaporates from the space above
# it. Only the rained atoms are dumped, so the first snapshot has none.
RAIN = """\
units           lj
atom_style      atomic
boundary        p p f
lattice         fcc 1.0
region          box block 0 5 0 5 0 10
create_box      2 box
region          substrate block INF INF INF INF INF 2
create_atoms    1 region substrate
pair_style      lj/cut 2.5
pair_coeff      * * 1.0 1.0
mass            * 1.0
neigh_modify    delay 0
group           addatoms type 2
region          mobile block 0 5 0 5 1 INF
group           mobile region mobile
fix             1 mobile langevin 1.0 1.0 0.1 587283
fix             2 mobile nve
fix             3 addatoms nve
region          slab block 0 5 0 5 8 9
fix             4 addatoms deposit 100 2 5 12345 region slab near 1.0 vz -1.0 -1.0
fix             5 addatoms wall/reflect zhi EDGE
region          above block 0 5 0 5 6 INF
fix             6 addatoms evaporate 20 1 above 4321
dump            1 addatoms custom 10 rain.dump id type x y z vx
run             300
"""


# A hot gas of two elements in a periodic box ({box}: upright or tilted), whose atoms cross the
# box's faces: the dump holds the wrapped coordinates with their image flags, the element's
# name as text and, for comparison, the unwrapped coordinates, all doubles in full.
GAS = """\
units           lj
atom_style      atomic
lattice         fcc 0.4
region          box {box}
create_box      2 box
create_atoms    1 box
set             type 1 type/fraction 2 0.3 8832
mass            * 1.0
pair_style      lj/cut 2.5
pair_coeff      * * 1.0 1.0
velocity        all create 3.0 4928459 loop geom
fix             1 all nve
timestep        0.005
dump            1 all custom 25 gas.dump.gz id type element x y z ix iy iz xu yu zu vx
dump_modify     1 element Ar Kr format float %.17g
run             500
"""


def run_lammps(script: str, folder: Path) -> None:
    program = shutil.which("lmp")
    if program is None:
        pytest.fail("lmp is missing: the package lammps brings it (sh tools/install-deps.sh)")
    (folder / "in.run").write_text(script)
    subprocess.run([program, "-in", "in.run", "-log", "none", "-screen", "none"], cwd=folder,
                   check=True, timeout=120, env=dict(os.environ, OMP_NUM_THREADS="1"))


def snapshots(dump: Path) -> list[tuple[int, list[str], list[list[str]]]]:
    """(timestep, column names, rows of texts) of every snapshot of the dump."""
    opener = gzip.open if dump.suffix == ".gz" else open
    with opener(dump, "rt") as text:
        lines = text.read().splitlines()
    found = []
    for i, line in enumerate(lines):
        if line == "ITEM: TIMESTEP":
            timestep, count = int(lines[i + 1]), int(lines[i + 3])
            atoms = next(j for j in range(i, len(lines)) if lines[j].startswith("ITEM: ATOMS"))
            rows = [row.split() for row in lines[atoms + 1 : atoms + 1 + count]]
            found.append((timestep, lines[atoms].split()[2:], rows))
    return found


def test_deposited_and_evaporated_atoms_keep_the_dumps_numbers(tmp_path: Path) -> None:
    run_lammps(RAIN, tmp_path)
    dump = tmp_path / "rain.dump"
    taken = snapshots(dump)
    ids = [{int(row[0]) for row in rows} for _, _, rows in taken]
    assert len(taken) == 31 and not ids[0]
    assert ids[-1] - ids[len(ids) // 2] and ids[len(ids) // 2] - ids[-1]  # arrived, evaporated

    steps, tracks = tmp_path / "rain.zvb", tmp_path / "tracks.zvb"
    run = python_module("from-dump", dump, steps)
    assert run.returncode == 0, run.stderr
    groups = zvb.open(steps).children
    assert [(g.name, g.type, float(g.value)) for g in groups] == [
        ("time", 0x503, float(timestep)) for timestep, _, _ in taken]
    assert groups[0].children == []
    assert [(a.name, a.value.dtype.kind) for a in groups[-1]] == [
        ("ID", "i"), ("type", "i"), ("x", "f"), ("y", "f"), ("z", "f"), ("vx", "f")]

    tool("zvbtrack", "-o", tracks, steps, "time", "x", "y", "z", "vx")
    trajectories = dict(zvb.trajectories(tracks))
    assert set(trajectories) == set().union(*ids)
    evaporated = min(ids[len(ids) // 2] - ids[-1])
    for atom in (min(ids[1]), evaporated, max(ids[-1])):
        arrays = trajectories[atom]
        rows = [(timestep, row) for timestep, _, rows in taken for row in rows
                if int(row[0]) == atom]
        assert np.array_equal(arrays["time"], [timestep for timestep, _ in rows])
        for column, name in enumerate(taken[-1][1]):
            if name in arrays:
                assert same_bits([row[column] for _, row in rows], arrays[name]), (atom, name)


@pytest.mark.parametrize("box", ["block 0 4 0 5 0 6", "prism 0 4 0 5 0 6 1.5 0.5 -0.7"])
def test_unwrapped_coordinates_are_the_simulation_codes_own(tmp_path: Path, box: str) -> None:
    run_lammps(GAS.format(box=box), tmp_path)
    dump, steps, tracks = tmp_path / "gas.dump.gz", tmp_path / "gas.zvb", tmp_path / "tracks.zvb"
    taken = snapshots(dump)
    columns = taken[0][1]
    assert columns[2] == "element" and len(taken) == 21

    refused = python_module("from-dump", dump, steps)
    assert refused.returncode == 1 and not steps.exists()
    assert 'column "element" holds "Ar", not a number: text columns can be left out with ' \
           "--columns id,type,x,y,z,ix,iy,iz,xu,yu,zu,vx" in refused.stderr, refused.stderr

    run = python_module("from-dump", "--columns", "id,x,y,z,vx", "--dt", "0.005", "--unwrap",
                        dump, steps)
    assert run.returncode == 0, run.stderr
    assert [a.name for a in zvb.open(steps).children[0]] == ["ID", "x", "y", "z", "vx"]
    tool("zvbtrack", "-o", tracks, steps, "time", "x", "y", "z", "vx")
    trajectories = dict(zvb.trajectories(tracks))

    # The three atoms that crossed the box's faces most often, each at least once.
    final = {int(row[0]): row for row in taken[-1][2]}
    crossings = {atom: sum(abs(int(flag)) for flag in row[6:9]) for atom, row in final.items()}
    atoms = sorted(crossings, key=lambda atom: (-crossings[atom], atom))[:3]
    assert crossings[atoms[-1]] > 0
    for atom in atoms:
        rows = [(timestep, row) for timestep, _, rows in taken for row in rows
                if int(row[0]) == atom]
        arrays = trajectories[atom]
        assert arrays["time"].tobytes() == np.array(
            [float(timestep) * 0.005 for timestep, _ in rows]).tobytes()
        assert same_bits([row[12] for _, row in rows], arrays["vx"])
        for axis, unwrapped in (("x", 9), ("y", 10), ("z", 11)):
            expected = [row[unwrapped] for _, row in rows]
            if box.startswith("block"):
                assert same_bits(expected, arrays[axis]), (atom, axis)
            else:
                # A tilted box's lengths come back from the bounds of the box that holds it,
                # to within the last bits.
                assert np.allclose(arrays[axis], np.array(expected, dtype=float), rtol=0,
                                   atol=1e-12), (atom, axis)


def snapshot(timestep: str = "5", rows: tuple[str, ...] = ("1 1 0.5 0 0.5", "2 1 0.25 1 0.5"),
             columns: str = "id type x ix y", count: int | None = None, box: bool = True) -> str:
    bounds = "ITEM: BOX BOUNDS pp pp pp\n0 1\n0 1\n0 1\n" if box else ""
    count = len(rows) if count is None else count
    return (f"ITEM: TIMESTEP\n{timestep}\nITEM: NUMBER OF ATOMS\n{count}\n{bounds}"
            f"ITEM: ATOMS {columns}\n" + "".join(row + "\n" for row in rows))


GOOD = snapshot()
# The second snapshot's atoms are on lines 21 and 22.
DAMAGED = [
    ("fields", GOOD + snapshot("10", ("1 1 0.5 0 0.5 7", "2 1 0.25 1")), [],
     "rain.dump:21: 6 values where the ATOMS item names 5 columns"),
    ("extra value", GOOD + snapshot("10", ("1 1 0.5 0 0.5", "2 1 0.25 1 0.5 7")), [],
     "rain.dump:22: 6 values where the ATOMS item names 5 columns"),
    ("blank line", GOOD + snapshot("10", ("1 1 0.5 0 0.5", "")), [],
     "rain.dump:22: 0 values where the ATOMS item names 5 columns"),
    ("id of 2^31", GOOD + snapshot("10", ("1 1 0.5 0 0.5", "2147483648 1 0.25 1 0.5")), [],
     'rain.dump:22: column "id" holds "2147483648", beyond the 32-bit whole numbers'),
    ("flag below -2^31", GOOD + snapshot("10", ("1 1 0.5 0 0.5", "2 1 0.25 -2147483649 0.5")),
     [], 'rain.dump:22: column "ix" holds "-2147483649", beyond the 32-bit whole numbers'),
    ("whole number as float", GOOD + snapshot("10", ("1.0 1 0.5 0 0.5", "2 1 0.25 1 0.5")), [],
     'rain.dump:21: column "id" holds "1.0", not a whole number'),
    ("long timestep", GOOD + snapshot("1" * 400), [],
     'rain.dump:13: a timestep of "11111111111111111111..." (400 characters) is out of range'),
    ("long number", GOOD + snapshot("10", ("1 1 0.5 0 0.5", "2 1 " + "9" * 400 + " 1 0.5")), [],
     'rain.dump:22: column "x" holds "99999999999999999999..." (400 characters), beyond the '
     "range of a double"),
    ("text", GOOD.replace("0.25", "abc"), [], 'rain.dump:11: column "x" holds "abc", not a '
     "number: text columns can be left out with --columns id,type,ix,y"),
    ("atoms missing", snapshot(count=3) + GOOD, [],
     "rain.dump:12: the snapshot has 2 atom lines, its NUMBER OF ATOMS says 3"),
    ("cut", GOOD + GOOD[:-15], [], "rain.dump:21: the file ends inside a snapshot"),
    ("stray", "hello\n" + GOOD, [], 'rain.dump:1: expected a line "ITEM: ..."'),
    ("cut gzip", gzip.compress((GOOD * 50).encode())[:-30], [],
     "rain.dump: the gzip-compressed dump is cut short after line"),
    ("other compression", b"\x28\xb5\x2f\xfd" + bytes(20), [],
     "rain.dump: looks compressed with zstd, which this program does not read"),
    ("unknown column", GOOD, ["--columns", "id,vx"],
     'rain.dump:9: --columns names "vx", which the dump does not have'),
    ("no image flags", GOOD + snapshot("10", ("1 1 0.5 0.5", "2 1 0.25 0.5"), "id type x y"),
     ["--unwrap", "--columns", "x"], 'rain.dump:20: --unwrap needs the image flag "ix" beside "x"'),
    ("no bounds", GOOD + snapshot("10", box=False), ["--unwrap", "--columns", "x"],
     "rain.dump:16: --unwrap needs the BOX BOUNDS item of each snapshot"),
]


def test_damaged_dumps_are_refused_and_leave_the_output_as_it_was(tmp_path: Path) -> None:
    dump, out = tmp_path / "rain.dump", tmp_path / "out.zvb"
    # The bounds themselves are whole numbers of 32 bits, and stay what they are.
    dump.write_text(snapshot(rows=("-2147483648 1 0.5 2147483647 0.5", "2147483647 1 0.25 0 1")))
    assert python_module("from-dump", dump, out).returncode == 0
    arrays = {array.name: array.value for array in zvb.open(out).children[0]}
    assert arrays["ID"].tolist() == [-2**31, 2**31 - 1] and arrays["ix"].tolist() == [2**31 - 1, 0]

    kept = b"an earlier output"
    for case, text, options, message in DAMAGED:
        dump.write_bytes(text if isinstance(text, bytes) else text.encode())
        out.write_bytes(kept)
        run = python_module("from-dump", *options, dump, out)
        assert run.returncode == 1 and message in run.stderr, (case, run.stderr)
        assert "Traceback" not in run.stderr, case
        assert out.read_bytes() == kept and sorted(os.listdir(tmp_path)) == [
            "out.zvb", "rain.dump"], case

    # Written to a pipe, the snapshots converted before the damage reach the reader, which
    # then finds the stream unfinished instead of taking it for a whole file.
    dump.write_text(DAMAGED[0][1])
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    convert = subprocess.Popen([sys.executable, "-m", "zvb", "from-dump", dump, "-"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment)
    transpose = subprocess.run([BUILD / "zvbtrack", "-o", tmp_path / "tracks.zvb", "-", "time",
                                "x"], stdin=convert.stdout, capture_output=True, text=True)
    assert convert.wait() == 1 and transpose.returncode == 1
    assert 'zvbtrack: Error: "-": Unexpected end of file' in transpose.stderr


@pytest.mark.parametrize("ending", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_leaves_the_output_as_it_was(tmp_path: Path, ending: int) -> None:
    out = tmp_path / "out.zvb"
    out.write_bytes(b"an earlier output")
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    # The signal at its default in the converter, as a terminal leaves it: a test run started
    # in the background has SIGINT ignored, and the converter keeps an ignored signal ignored.
    convert = subprocess.Popen([sys.executable, "-m", "zvb", "from-dump", "-", out],
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
                               preexec_fn=lambda: signal.signal(ending, signal.SIG_DFL))
    # A snapshot and the start of the next, then the run waits for more input.
    convert.stdin.write((GOOD + GOOD[:30]).encode())
    convert.stdin.flush()
    for _ in range(3000):
        if len(os.listdir(tmp_path)) > 1:
            break
        time.sleep(0.01)
    assert len(os.listdir(tmp_path)) == 2  # the temporary file beside the output
    convert.send_signal(ending)
    assert convert.wait(timeout=60) == -ending, convert.stderr.read()
    assert out.read_bytes() == b"an earlier output" and os.listdir(tmp_path) == ["out.zvb"]

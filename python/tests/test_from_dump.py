"""A molecular dynamics run where atoms are deposited and evaporate, dumped as text, converted
with from-dump, transposed with zvbtrack: the trajectories hold the dump's own numbers."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import zvb
from conftest import python_module, same_bits, tool

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


def snapshots(dump: Path) -> list[tuple[int, list[str], list[list[str]]]]:
    """(timestep, column names, rows of texts) of every snapshot of the dump."""
    lines = dump.read_text().splitlines()
    found = []
    for i, line in enumerate(lines):
        if line == "ITEM: TIMESTEP":
            timestep, count = int(lines[i + 1]), int(lines[i + 3])
            atoms = next(j for j in range(i, len(lines)) if lines[j].startswith("ITEM: ATOMS"))
            rows = [row.split() for row in lines[atoms + 1 : atoms + 1 + count]]
            found.append((timestep, lines[atoms].split()[2:], rows))
    return found


def test_deposited_and_evaporated_atoms_keep_the_dumps_numbers(tmp_path: Path) -> None:
    program = shutil.which("lmp")
    if program is None:
        pytest.fail("lmp is missing: the package lammps brings it (sh tools/install-deps.sh)")
    (tmp_path / "in.rain").write_text(RAIN)
    subprocess.run([program, "-in", "in.rain", "-log", "none", "-screen", "none"], cwd=tmp_path,
                   check=True, timeout=120, env=dict(os.environ, OMP_NUM_THREADS="1"))
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


def test_damaged_dumps_are_refused_and_leave_no_output(tmp_path: Path) -> None:
    snapshot = ("ITEM: TIMESTEP\n5\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n"
                "0 1\n0 1\n0 1\nITEM: ATOMS id type x\n1 1 0.5\n2 1 0.25\n")
    cases = {
        "cut": (snapshot[:-9], "rain.dump:10: the file ends inside a snapshot"),
        "text": (snapshot.replace("0.25", "abc"), 'rain.dump:11: column "x" holds "abc", not a'),
        "wide": (snapshot.replace("2 1 0.25", "3000000000 1 0.25"),
                 'rain.dump:11: column "id" holds "3000000000", beyond the 32-bit'),
        "short": (snapshot.replace("1 1 0.5\n", "1 1\n"),
                  "rain.dump:10: 2 values where the ATOMS item names 3 columns"),
        "stray": ("hello\n" + snapshot, 'rain.dump:1: expected a line "ITEM: ..."'),
    }
    for case, (text, message) in cases.items():
        dump, out = tmp_path / "rain.dump", tmp_path / "out.zvb"
        dump.write_text(text)
        run = python_module("from-dump", dump, out)
        assert run.returncode == 1 and message in run.stderr, (case, run.stderr)
        assert not out.exists(), case

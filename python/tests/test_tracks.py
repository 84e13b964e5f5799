"""Trajectories, the long table and its CSV, and the plot, against zvbdump and the input."""

from __future__ import annotations

import csv
import io
import math
import struct
from pathlib import Path

import numpy as np
import pytest

import zvb
import zvb.plot
from conftest import dumped_elements, python_module, same_bits, tool
from zvb.tracks import value_text


def leaves(arrays: dict, path: str = "") -> list[tuple[str, dict]]:
    """Each dict of arrays in a trajectory's contents, with its zvbdump path below the
    trajectory group: copies are keyed "name=value", as the path steps are written."""
    found = [(path, {k: v for k, v in arrays.items() if isinstance(v, np.ndarray)})]
    for key, inner in arrays.items():
        if isinstance(inner, dict):
            found += leaves(inner, f"{path}/{key}")
    return [(p, a) for p, a in found if a]


@pytest.mark.parametrize("name", ["tracks", "nested_tracks", "appended"])
def test_trajectories_agree_with_zvbdump(files: dict[str, Path], name: str) -> None:
    path = files[name]
    found = list(zvb.trajectories(path))
    _, elements = dumped_elements(path)
    top_groups = [e for e in elements if e[4] == 0 and e[1] & 0x100]
    assert [value_text(identifier) for identifier, _ in found] == [e[6][0] for e in top_groups]
    for index in (0, 1, len(found) // 2, len(found) - 1):
        identifier, arrays = found[index]
        # The same identifier may stand in more than one group (appended runs).
        occurrence = [i for i, _ in found[:index]].count(identifier)
        for below, leaf in leaves(arrays)[:3]:
            selection = f"/ID={value_text(identifier)}[{occurrence}]{below}"
            dumped = tool("zvbdump", "-c", "-p", selection, path).stdout
            rows = list(csv.reader(io.StringIO(dumped)))
            assert rows[0] == list(leaf), selection
            for column, name_of_array in enumerate(rows[0]):
                assert same_bits([row[column] for row in rows[1:]], leaf[name_of_array]), selection


def input_samples(path: Path, arrays: list[str], enclosing: bool) -> list[tuple]:
    """Every sample of a step file: identifier, the enclosing group's value, the step's time,
    then the arrays, as zvbtrack reads them (in doubles)."""
    samples = []
    for step in (node for node, _ in zvb.open(path).walk() if node.name == "time"):
        outer = [float(step.parent.value)] if enclosing else []
        columns = [step["ID"].value] + [step[name].value for name in arrays]
        for values in zip(*columns):
            samples.append((float(values[0]), *outer, float(step.value), *map(float, values[1:])))
    return samples


@pytest.mark.parametrize("name, steps, columns, arrays", [
    ("tracks", "steps", ["ID", "time", "x", "y", "z"], ["x", "y", "z"]),
    ("nested_tracks", "nested", ["ID", "step", "time", "z", "x"], ["z", "x"]),
])
def test_long_table_holds_every_sample_of_the_input(files: dict[str, Path], name: str,
                                                    steps: str, columns: list[str],
                                                    arrays: list[str]) -> None:
    table = zvb.to_pandas(files[name])
    assert list(table.columns) == columns
    expected = input_samples(files[steps], arrays, enclosing="step" in columns)
    rows = [tuple(map(float, row)) for row in table.itertuples(index=False)]
    assert sorted(rows) == sorted(expected)
    # Trajectories in the order their identifiers first appear; each one's samples in step order.
    first_seen = list(dict.fromkeys(sample[0] for sample in expected))
    assert list(dict.fromkeys(table["ID"])) == first_seen
    for identifier in first_seen[:20]:
        times = [row[columns.index("time")] for row in rows if row[0] == identifier]
        assert times == sorted(times) and len(times) > 0


@pytest.mark.parametrize("name", ["nested_tracks", "appended"])
def test_csv_command_writes_the_long_table(files: dict[str, Path], name: str) -> None:
    run = python_module("csv", files[name])
    assert run.returncode == 0, run.stderr
    rows = list(csv.reader(io.StringIO(run.stdout)))
    table = zvb.table(files[name])
    assert rows[0] == list(table)
    assert len(rows) - 1 == len(next(iter(table.values())))
    for column, values in enumerate(table.values()):
        texts = [row[column] for row in rows[1:]]
        missing = np.isnan(values) if values.dtype.kind == "f" else np.zeros(len(values), bool)
        assert all((text == "") == gap for text, gap in zip(texts, missing))
        assert same_bits([t for t in texts if t], values[~missing])
    if name == "appended":
        # The first run has no "step", the second copies "time" groups instead of arrays.
        assert rows[0] == ["ID", "time", "step", "x", "y"]
        assert 0 < sum(math.isnan(v) for v in table["step"]) < len(table["step"])


def test_plot_command_draws_the_chosen_trajectories(files: dict[str, Path], tmp_path: Path) -> None:
    found = [identifier for identifier, _ in zvb.trajectories(files["tracks"])]
    picture = tmp_path / "two.png"
    run = python_module("plot", files["tracks"], "--id", value_text(found[3]),
                        "--id", value_text(found[0]), "-x", "time", "-o", picture)
    assert run.returncode == 0, run.stderr
    signature, width, height = struct.unpack(">8s8xII", picture.read_bytes()[:24])
    assert signature == b"\x89PNG\r\n\x1a\n" and (width, height) == (600, 400)
    assert zvb.plot.plot(files["tracks"], tmp_path / "few.png") == 5
    split = next(zvb.trajectories(files["nested_tracks"]))[0]  # in pieces, one per step
    assert zvb.plot.plot(files["nested_tracks"], tmp_path / "split.png", [split]) == 1

    # Chosen by a list and a window: every trajectory with samples in it, none without.
    chosen = zvb.table(files["tracks"], ids="..100", window=(0.5, 1))
    drawn = zvb.plot.plot(files["tracks"], tmp_path / "some.png", "..100", window="0.5..1")
    assert drawn == len(np.unique(chosen["ID"])) > 5
    run = python_module("plot", files["tracks"], "-i", "..100", "-w", "0.5..1", "-o",
                        tmp_path / "cli.png")
    assert run.returncode == 0 and (tmp_path / "cli.png").read_bytes()[:4] == b"\x89PNG"

    run = python_module("plot", files["tracks"], "--id", "0.5", "-o", tmp_path / "none.png")
    assert run.returncode == 1 and "no trajectory 0.5 in" in run.stderr
    run = python_module("plot", files["tracks"], "-y", "w", "-o", tmp_path / "none.png")
    assert run.returncode == 1 and 'has no array "w"' in run.stderr

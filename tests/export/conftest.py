"""The built programs (ZVB_BUILD_DIR, by default the checkout's build/), the Python package of
the checkout as the reference reader, and trajectory files of many shapes to export."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

CHECKOUT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("ZVB_BUILD_DIR", CHECKOUT / "build")).resolve()
sys.path.insert(0, str(CHECKOUT / "python"))

from zvb.writer import Writer  # noqa: E402  (the checkout's package, found through sys.path)


def tool(name: str, *arguments: str | Path, check: bool = True) -> subprocess.CompletedProcess:
    """Runs a built program; its standard output and error come back as text."""
    program = BUILD / name
    if not program.exists():
        pytest.fail(f"{program} is missing: build the tools (make build) or set ZVB_BUILD_DIR")
    return subprocess.run([str(program), *map(str, arguments)], capture_output=True, text=True,
                          check=check)


def write_trajectories(path: Path, groups: list, byte_order: str = "=",
                       identifier: str = "ID") -> None:
    """A file of the shape zvbtrack writes, in any value types: a trajectory group per
    (value, contents), where contents are the arrays ({name: values}) or the copies of
    enclosing groups inside it ([(name, value, contents), ...])."""
    with Writer(path, byte_order, creator="ZVBTRACK") as out:
        pending = [(identifier, value, contents) for value, contents in reversed(groups)]
        while pending:  # no recursion: a None closes the group opened before
            item = pending.pop()
            if item is None:
                out.end()
                continue
            name, value, contents = item
            out.group(name, value)
            pending.append(None)
            if isinstance(contents, dict):
                for array_name, values in contents.items():
                    out.array(array_name, values)
            else:
                pending.extend(reversed(contents))

"""The built tools (ZVB_BUILD_DIR, by default the checkout's build/) and files made with them."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

CHECKOUT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("ZVB_BUILD_DIR", CHECKOUT / "build")).resolve()
PYTHON_DIR = CHECKOUT / "python"


def tool(name: str, *arguments: str | Path, check: bool = True) -> subprocess.CompletedProcess:
    """Runs a built tool; its standard output and error come back as text."""
    program = BUILD / name
    if not program.exists():
        pytest.fail(f"{program} is missing: build the tools (make build) or set ZVB_BUILD_DIR")
    return subprocess.run([str(program), *map(str, arguments)], capture_output=True, text=True,
                          check=check)


def python_module(*arguments: str | Path) -> subprocess.CompletedProcess:
    """Runs python3 -m zvb from the checkout, as the demo does."""
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    return subprocess.run([sys.executable, "-m", "zvb", *map(str, arguments)],
                          capture_output=True, text=True, env=environment)


@pytest.fixture(scope="session")
def files(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    """Step files made by zvbgen and their trajectories made by zvbtrack:
    "steps" (doubles), "nested" (floats, each step inside an s32-valued group of its own),
    "tracks" and "nested_tracks" their outputs, "appended" two runs in one file."""
    folder = tmp_path_factory.mktemp("files")
    made = {name: folder / f"{name}.zvb"
            for name in ("steps", "nested", "tracks", "nested_tracks", "appended")}
    tool("zvbgen", "-p", "demo", "-o", made["steps"])
    tool("zvbgen", "-T", "12", "-N", "20", "-c", "0.1", "-f", "-n", "-S", "7", "-o", made["nested"])
    tool("zvbtrack", "-o", made["tracks"], made["steps"], "time", "x", "y", "z")
    tool("zvbtrack", "-o", made["nested_tracks"], made["nested"], "time", "z", "x")
    tool("zvbtrack", "-o", made["appended"], made["steps"], "time", "x", "y")
    tool("zvbtrack", "-a", made["appended"], made["nested"], "step", "y", "x")
    return made

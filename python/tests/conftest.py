"""The built tools (ZVB_BUILD_DIR, by default the checkout's build/) and files made with them."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
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


# One element line of "zvbdump -n 0": offset, type word, kind, value type, bytes, values,
# then the name indented by two spaces per level and " = " with the values.
ELEMENT_LINE = re.compile(
    r"^ *(\d+)  0x([0-9A-F]+) +(\w+) +(\S+) +(\d+) +(\d+)  ((?:  )*)(\S.*?)(?: = (.*))?$")


def dumped_elements(path: Path) -> tuple[str, list[tuple]]:
    """zvbdump's header line and, per element: offset, type word, bytes, value count, depth,
    name and the values' texts."""
    lines = tool("zvbdump", "-n", "0", path).stdout.splitlines()
    elements = []
    for line in lines[2:]:
        match = ELEMENT_LINE.match(line)
        assert match, line
        offset, type_word, _, _, size, count, indent, name, values = match.groups()
        elements.append((int(offset), int(type_word, 16), int(size), int(count),
                         len(indent) // 2, "" if name == '""' else name,
                         values.split(", ") if values else []))
    return lines[0], elements


def same_bits(texts: list[str], values: np.ndarray) -> bool:
    """True when the numbers that the texts read back as are `values`, bit for bit."""
    native = values.dtype.newbyteorder("=")
    convert = int if native.kind in "iu" else float
    expected = np.array([convert(text) for text in texts], dtype=native)
    actual = np.asarray(values).astype(native)
    return expected.tobytes() == actual.tobytes()


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

"""zvb.open against zvbdump: every element, every value to the bit, both byte orders, and
damaged files refused as zvbtrack refuses them."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

import zvb
from conftest import dumped_elements, same_bits, tool


def reversed_copy(path: Path, copy: Path) -> None:
    """Writes the file again in the other byte order, element by element."""
    root = zvb.open(path)
    order = root.header.byte_order
    other = ">" if order == "<" else "<"
    with zvb.Writer(copy, byte_order=other, creator=root.header.creator) as out:
        for node, _ in root.walk():
            data = node.data
            stored = zvb.format.number_dtype(node.type, order)
            if stored is not None and node.size % stored.itemsize == 0:
                data = data.view(stored).astype(stored.newbyteorder(other))
            out.element(node.name, node.type, data.tobytes())


@pytest.mark.parametrize("name", ["steps", "nested", "tracks", "nested_tracks", "appended",
                                  "reversed"])
def test_every_element_and_value_agrees_with_zvbdump(files: dict[str, Path], tmp_path: Path,
                                                     name: str) -> None:
    path = files.get(name)
    if name == "reversed":
        path = tmp_path / "reversed.zvb"
        reversed_copy(files["nested_tracks"], path)
    header_line, elements = dumped_elements(path)
    root = zvb.open(path)
    host = "<" if sys.byteorder == "little" else ">"
    assert ("host byte order" in header_line) == (root.header.byte_order == host)
    assert f'creator "{root.header.creator}"' in header_line

    walked = list(root.walk())
    assert len(walked) == len(elements)
    for (node, depth), (offset, type_word, size, count, dump_depth, dump_name, texts) in zip(
            walked, elements):
        where = f"{name}: element at {offset}"
        assert (node.offset, node.type, node.size, depth, node.name) == (
            offset, type_word, size, dump_depth, dump_name), where
        value = node.value
        if node.is_end or size == 0:
            assert value is None or len(value) == 0, where
            continue
        values = value if isinstance(value, np.ndarray) else np.array([value])
        assert len(values) == count, where
        assert same_bits(texts, values), where
        assert isinstance(value, np.memmap) == node.is_array, where
        assert values.dtype.byteorder in ("|", root.header.byte_order, "="), where

    if name == "reversed":
        original = zvb.open(files["nested_tracks"])
        assert "reversed byte order" in header_line
        assert [(n.name, n.type, n.size) for n, _ in original.walk()] == [
            (n.name, n.type, n.size) for n, _ in walked]


def element_spans(path: Path) -> list[tuple[int, int]]:
    """(start, end) of every element of an intact file: its header and its data."""
    return [(node.offset, node.offset + 24 + node.size) for node, _ in zvb.open(path).walk()]


def test_damaged_files_fail_as_zvbtrack_fails(tmp_path: Path) -> None:
    intact = tmp_path / "intact.zvb"
    tool("zvbgen", "-T", "3", "-N", "4", "-o", intact)
    content = intact.read_bytes()
    spans = element_spans(intact)
    # Cuts through the file header, and into each element's header and data at its edges.
    cuts = set(range(50))
    for start, end in spans:
        cuts |= {start + 1, start + 12, start + 23, start + 24, start + 25, end - 1}
    damaged = {f"cut at {length}": content[:length] for length in sorted(cuts)}
    damaged["bad magic"] = b"\x00" + content[1:]
    damaged["version 0"] = content[:40] + b"\x00" + content[41:]
    damaged["version 2"] = content[:40] + b"\x02" + content[41:]
    damaged["minor version 9"] = content[:41] + b"\x09" + content[42:]
    failures = set()
    for case, data in damaged.items():
        path = tmp_path / "damaged.zvb"
        path.write_bytes(data)
        run = tool("zvbtrack", "-o", tmp_path / "out.zvb", path, "time", "x", check=False)
        if run.returncode == 0:
            root = zvb.open(path)  # reads what zvbtrack reads
            whole = [start for start, end in spans if end <= len(data)]
            assert [node.offset for node, _ in root.walk()] == whole, case
            continue
        with pytest.raises(zvb.FormatError) as caught:
            zvb.open(path)
        error = caught.value
        assert f"zvbtrack: Error: {str(error).split(' (')[0]}\n" == run.stderr, case
        failures.add(error.reason)
        if error.reason == "Unexpected end of file" and len(data) >= 48:
            # the element whose data run past the end
            assert error.offset == max(start for start, _ in spans if start + 24 <= len(data)), case
        assert str(error.offset) in str(error), case
    assert failures == {"Unexpected end of file", "Not a ZV-File", "Invalid ZVB-version"}


def test_end_markers_and_value_types(tmp_path: Path) -> None:
    """Shapes a writer may leave: an end marker that is a group with children of its own, an
    end marker at the top level with elements after it, and every value type."""
    path = tmp_path / "shapes.zvb"
    with zvb.Writer(path) as out:
        out.group("run", np.int32(2))
        out.array("u8", np.array([1, 255], np.uint8))
        out.array("s8", np.array([-128, 5], np.int8))
        out.array("u16", np.array([65535], np.uint16))
        out.array("s16", np.array([-2, 3], np.int16))
        out.array("u32", np.array([4294967295], np.uint32))
        out.array("f", np.array([0.1, -0.5], np.float32))
        out.element("text", zvb.format.FLAG_SINGLE | zvb.format.TYPE_ASCII, b"hi\0")
        out.element("raw", 0x70, b"\x01\x02\x03")
        out.element("closer", zvb.format.FLAG_GROUP | zvb.format.FLAG_END_GROUP)
        out.single("inside", np.float64(1.5))
        out.end()  # closes "closer", which then closes "run"
        out.single("top", np.int32(-7))
        out.end()  # ends the tree
        out.single("ignored", np.int32(1))
    _, elements = dumped_elements(path)
    root = zvb.open(path)
    assert [child.name for child in root] == ["run", "top"] and root.end is not None
    run = root["run"]
    assert run.value == 2 and run.end is not None and run.end.name == "closer"
    assert run.end["inside"].value == 1.5 and run.end.end is not None
    assert run["text"].value == "hi" and run["raw"].value == b"\x01\x02\x03"
    assert [(n.offset, n.name) for n, _ in root.walk()] == [(e[0], e[5]) for e in elements]
    for node, _ in root.walk():
        texts = next(e[6] for e in elements if e[0] == node.offset)
        if isinstance(node.value, (np.ndarray, np.generic)) and node.type & 0xFF != 0x70:
            assert same_bits(texts, np.atleast_1d(node.value)), node
            assert np.atleast_1d(node.value).dtype.name == {
                "u8": "uint8", "s8": "int8", "u16": "uint16", "s16": "int16", "u32": "uint32",
                "f": "float32", "inside": "float64", "top": "int32", "run": "int32"}[node.name]

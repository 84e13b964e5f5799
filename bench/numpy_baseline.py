#!/usr/bin/env python3
"""The short numpy script that zvbtrack replaces, as a yardstick for the benchmark.

  numpy_baseline.py IN loop_var arrays ... > OUT

Handles what zvbgen makes without -n: top-level groups named loop_var with their own double
value, each holding an "ID" array and the named arrays, in the host's (little-endian) byte
order. Writes the trajectory file zvbtrack writes for it (same bytes but the creation time):
one group "ID" per identifier in the order first met, holding the arrays and loop_var as
doubles. It has none of zvbtrack's checks: it is here to be timed.
"""

import struct
import sys
import time

import numpy as np

GROUP, END, SINGLE, ARRAY = 0x100, 0x200, 0x400, 0x800
DTYPES = {0x02: "<i4", 0x03: "<f8", 0x20: "u1", 0x30: "i1", 0x40: "<u2", 0x50: "<i2",
          0x60: "<u4", 0x90: "<f4"}
TRAJECTORY = GROUP | SINGLE | 0x03
DOUBLES = ARRAY | 0x03
END_MARKER = END | SINGLE | 0x10


def element_header(name, kind, size):
    return struct.pack("<16sII", name.encode(), kind, size)


def main():
    source, loop_var, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    data = np.memmap(source, dtype="u1", mode="r")
    ids, columns, loop_values, counts = [], {name: [] for name in names}, [], []
    at, depth, step = 48, 0, None
    while at < len(data):
        name, kind, size = struct.unpack_from("<16sII", data, at)
        name = name.split(b"\0")[0].decode()
        body = data[at + 24:at + 24 + size]
        at += 24 + size
        if kind & END:
            depth -= 1
            if depth == 0 and step is not None:
                columns_here = [step[n] for n in names]
                count = min(len(c) for c in columns_here)
                ids.append(step["ID"][:count])
                for n, c in zip(names, columns_here):
                    columns[n].append(c[:count])
                loop_values.append(step[loop_var])
                counts.append(count)
                step = None
            continue
        values = body.view(DTYPES[kind & 0xFF]).astype(np.float64)
        if kind & GROUP:
            depth += 1
            if depth == 1 and name == loop_var:
                step = {loop_var: values[0]}
        elif step is not None and depth == 1:
            step[name] = values

    ids = np.concatenate(ids)
    unique, first, inverse = np.unique(ids, return_index=True, return_inverse=True)
    rank = np.empty(len(unique), dtype=np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(len(unique))
    trajectory = rank[inverse]
    order = np.argsort(trajectory, kind="stable")
    bounds = np.concatenate(([0], np.cumsum(np.bincount(trajectory, minlength=len(unique)))))
    sorted_columns = [np.concatenate(columns[n])[order] for n in names]
    sorted_columns.append(np.repeat(np.array(loop_values), counts)[order])
    column_names = names + [loop_var]
    ids_in_order = unique[np.argsort(first, kind="stable")]

    out = sys.stdout.buffer
    out.write(struct.pack("<II16s16sBBBBBB2x", 0x059F4C75, int(time.time()) & 0xFFFFFFFF,
                          b"ZVBTRACK", b"", 1, 1, 1, 0, 0, 0))
    for number, identifier in enumerate(ids_in_order):
        begin, end = bounds[number], bounds[number + 1]
        out.write(element_header("ID", TRAJECTORY, 8) + struct.pack("<d", identifier))
        for name, column in zip(column_names, sorted_columns):
            out.write(element_header(name, DOUBLES, 8 * (end - begin)))
            out.write(column[begin:end].tobytes())
        out.write(element_header("", END_MARKER, 0))


if __name__ == "__main__":
    main()

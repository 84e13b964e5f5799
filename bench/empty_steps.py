#!/usr/bin/env python3
"""Time of zvbtrack on inputs of M empty top-level groups, for M, 2M, 4M and 8M.

Each group is a step without arrays (a header and an end marker, 48 bytes): every lookup of a
step misses and goes up to the root, whose children are the M steps. The time should double
with M, and 2.2 MB of such steps (about 46,000) should take well under 0.1 s.

Example: python3 bench/empty_steps.py --build build --first 46000
"""

import argparse
import os
import struct
import subprocess
import tempfile
import time


def write_steps(path, count):
    header = struct.pack("<II16s16sBBBBBB2s", 0x059F4C75, 0, b"BENCH", b"", 1, 1, 1, 0, 0, 0,
                         b"\0\0")
    step = struct.pack("<16sII", b"time", 0x110, 0) + struct.pack("<16sII", b"", 0x610, 0)
    with open(path, "wb") as f:
        f.write(header)
        f.write(step * count)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--first", type=int, default=46000, help="M, the smallest count")
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    binary = os.path.join(args.build, "zvbtrack")
    with tempfile.TemporaryDirectory() as work:
        for factor in (1, 2, 4, 8):
            count = args.first * factor
            path = os.path.join(work, "steps.zvb")
            write_steps(path, count)
            times = []
            for _ in range(args.reps):
                start = time.perf_counter()
                subprocess.run([binary, "-o", os.path.join(work, "out.zvb"), path, "time", "x"],
                               check=True, stderr=subprocess.DEVNULL)
                times.append(time.perf_counter() - start)
            times.sort()
            print("%9d steps, %6.1f MB: median %.4f s" % (count, os.path.getsize(path) / 1e6,
                                                          times[len(times) // 2]))


if __name__ == "__main__":
    main()

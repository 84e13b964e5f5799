#!/usr/bin/env python3
"""What a selection costs against the full run, on one preset (default wide).

Makes the input once with zvbgen (as bench.py does), then times, interleaved and with the
page cache warm, median of --reps repetitions:
  full   zvbtrack -o OUT IN time x y z
  ids    the same with -i LO..HI, a range of about --ids-share of the identifiers
  window the same with -w LO..HI, about --steps-share of the steps (the first ones)
  dry    the full run with -n (counts, writes nothing)
and prints wall time, CPU time, peak RSS and output size of each, with the ratio of its wall
time to the full run's. zvbgen numbers its first objects from 1, about 2 apart, and those
that come later after them, so that 1..3*N*share (N the preset's objects) is about that share
of the trajectories; the dry runs say how many it is.

Example: python3 bench/selection_bench.py --build build --reps 3
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import make_input, timed  # noqa: E402

STEP = 0.1  # zvbgen's steps are valued 0, 0.1, 0.2, ...
STEPS = {"small": 200, "medium": 1000, "wide": 50, "long": 20000}
OBJECTS = {"small": 2000, "medium": 10000, "wide": 1000000, "long": 100}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "zvbbench"))
    parser.add_argument("--preset", default="wide", choices=sorted(STEPS))
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--ids-share", type=float, default=0.01)
    parser.add_argument("--steps-share", type=float, default=0.10)
    args = parser.parse_args()
    os.makedirs(args.workdir, exist_ok=True)
    zvbtrack = os.path.join(args.build, "zvbtrack")
    source = make_input(os.path.join(args.build, "zvbgen"), args.workdir, args.preset)
    output = os.path.join(args.workdir, args.preset + ".selected")
    last_id = int(3 * OBJECTS[args.preset] * args.ids_share)
    steps = max(1, round(STEPS[args.preset] * args.steps_share))
    high = (steps - 0.5) * STEP  # between the last step kept and the first left out
    base = [zvbtrack, "-o", output]
    operands = [source, "time", "x", "y", "z"]
    runs = {
        "full": base + operands,
        "ids": base + ["-i", "1..%d" % last_id] + operands,
        "window": base + ["-w", "..%g" % high] + operands,
        "dry": base + ["-n"] + operands,
    }
    subprocess.run(["cat", source], stdout=subprocess.DEVNULL, check=True)  # warm the cache
    figures = {name: [] for name in runs}
    sizes = {}
    for _ in range(args.reps):
        for name, command in runs.items():
            if os.path.exists(output):
                os.unlink(output)
            figures[name].append(timed(command))
            sizes[name] = os.path.getsize(output) if os.path.exists(output) else 0
    if os.path.exists(output):
        os.unlink(output)
    full_wall = statistics.median(f[0] for f in figures["full"])
    print("%s: input %.0f MB, -i 1..%d, -w ..%g, reps %d" %
          (args.preset, os.path.getsize(source) / 1e6, last_id, high, args.reps))
    for name in ("full", "ids", "window"):
        counted = subprocess.run(runs[name][:3] + ["-n"] + runs[name][3:], check=True,
                                 stderr=subprocess.PIPE, text=True).stderr
        print("  %s: %s" % (name, counted.splitlines()[0].split(": ", 1)[1]))
    print("| run | wall s | cpu s | peak RSS MB | output MB | wall / full |")
    print("|---|---|---|---|---|---|")
    for name in runs:
        wall = statistics.median(f[0] for f in figures[name])
        cpu = statistics.median(f[1] for f in figures[name])
        rss = statistics.median(f[2] for f in figures[name]) / 1024
        print("| %s | %.3f | %.3f | %.1f | %.1f | %.3f |" %
              (name, wall, cpu, rss, sizes[name] / 1e6, wall / full_wall))


if __name__ == "__main__":
    main()

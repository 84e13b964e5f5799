#!/usr/bin/env python3
"""Benchmark of zvbexport against the I/O floor of the same bytes.

Makes a preset's trajectories once (outside the repository): zvbgen -p PRESET, then
zvbtrack -o traj.zvb steps.zvb time x y z. Warms the page cache, exports once in each format
to learn the output sizes, then measures in one interleaved run, median of --reps repetitions:
  floor   reading the trajectory file with cat to /dev/null, plus writing a file of the
          output's size (head -c SIZE /dev/zero);
  export  zvbexport -f FORMAT -o OUT traj.zvb: wall time, CPU time, peak RSS;
for netcdf and vtk, each against its own floor, and prints the ratios. Before every measured
command the previous output is removed and what the commands before wrote is flushed to the
disk (sync), then the machine is left idle --settle seconds: otherwise a command meets the
write-back of the gigabytes written before it, and which one does depends on the order. The
targets are an
export within 2x of its floor (uncompressed) and a peak RSS under 64 MB; the last lines say
whether they are met. --compress LEVEL also times netCDF with zlib at LEVEL (no target).

Example: python3 bench/export_bench.py --build build --reps 5
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import timed  # noqa: E402  (the same measuring as bench.py's)

RATIO_TARGET = 2.0
RSS_TARGET = 64 << 20


def make_trajectories(build, workdir, preset):
    path = os.path.join(workdir, preset + ".traj.zvb")
    if not os.path.exists(path):
        steps = os.path.join(workdir, preset + ".steps.zvb")
        print("making %s ..." % path, file=sys.stderr)
        subprocess.run([os.path.join(build, "zvbgen"), "-p", preset, "-o", steps], check=True)
        subprocess.run([os.path.join(build, "zvbtrack"), "-o", path + ".part", steps,
                        "time", "x", "y", "z"], check=True)
        os.remove(steps)
        os.rename(path + ".part", path)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="build directory with the programs")
    parser.add_argument("--workdir", default=os.environ.get("ZVB_BENCH_DIR", "/tmp/zvbbench"))
    parser.add_argument("--preset", default="wide", help="zvbgen preset (default wide)")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--compress", metavar="LEVEL", type=int,
                        help="also time netCDF compressed at this zlib level")
    parser.add_argument("--settle", metavar="SECONDS", type=float, default=1.0,
                        help="idle time after the sync before each command (default 1)")
    parser.add_argument("--keep", action="store_true", help="keep the trajectory file")
    args = parser.parse_args()

    os.makedirs(args.workdir, exist_ok=True)
    source = make_trajectories(args.build, args.workdir, args.preset)
    exporter = os.path.join(args.build, "zvbexport")
    filler = os.path.join(args.workdir, "export.fill")
    runs = {"netcdf": [], "vtk": []}
    if args.compress is not None:
        runs["netcdf -c %d" % args.compress] = []
    commands, outputs, sizes = {}, {}, {}
    for name in runs:
        words = name.split()
        outputs[name] = os.path.join(args.workdir, "export." + words[0] + str(len(words)))
        commands[name] = [exporter, "-f", *words, "-o", outputs[name], source]
    floors = {name: [] for name in runs}

    def settle(*paths):
        for path in paths:
            if os.path.exists(path):
                os.remove(path)
        os.sync()
        time.sleep(args.settle)

    timed(["cat", source])  # warm the page cache
    for name in runs:
        timed(commands[name])
        sizes[name] = os.path.getsize(outputs[name])
    for _ in range(args.reps):
        for name in runs:
            settle(outputs[name])
            read = timed(["cat", source])[0]
            settle()
            write = timed(["head", "-c", str(sizes[name]), "/dev/zero"], filler)[0]
            settle(filler)
            floors[name].append((read, write))
            runs[name].append(timed(commands[name]))

    in_size = os.path.getsize(source)
    print("%s trajectories: %.1f MB, %d runs each, interleaved" % (args.preset, in_size / 1e6,
                                                                  args.reps))
    met = True
    for name in runs:
        read = statistics.median(f[0] for f in floors[name])
        write = statistics.median(f[1] for f in floors[name])
        floor = statistics.median(f[0] + f[1] for f in floors[name])
        wall = statistics.median(r[0] for r in runs[name])
        cpu = statistics.median(r[1] for r in runs[name])
        rss = statistics.median(r[2] for r in runs[name]) * 1024
        print("\n  %s: output %.1f MB" % (name, sizes[name] / 1e6))
        print("  %-24s %8.3fs (read %.3fs + write %.3fs)" % ("I/O floor", floor, read, write))
        print("  %-24s %8.3fs" % ("zvbexport wall", wall))
        print("  %-24s %8.3fs" % ("zvbexport CPU", cpu))
        print("  %-24s %8.1f MB" % ("peak RSS", rss / 1e6))
        print("  %-24s %8.2f" % ("wall / floor", wall / floor))
        if "-c" not in name:
            met = met and wall / floor <= RATIO_TARGET and rss < RSS_TARGET
    for name in runs:
        os.remove(outputs[name])
    if not args.keep:
        os.remove(source)
    print("\ntargets (uncompressed within %.0fx of the floor, peak RSS under %d MB): %s" %
          (RATIO_TARGET, RSS_TARGET >> 20, "met" if met else "MISSED"))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Benchmark of zvbtrack against the I/O floor of the machine.

Makes the inputs once (outside the repository) with zvbgen, warms the page cache, then
measures in one interleaved run, median of --reps repetitions per preset:
  floor  reading the input with cat to /dev/null, plus writing an output-sized file;
  run    zvbtrack IN time x y z > OUT: wall time, CPU time, MB/s of input, peak RSS;
and prints a table per preset with the ratios to the floor and of peak RSS to the output.
With --reference BIN it also runs a second zvbtrack once per preset and checks that both
outputs are byte-identical (all but the creation time, bytes 4..7). With --numpy PYTHON it
also times bench/numpy_baseline.py, the short numpy script zvbtrack replaces, under that
interpreter (one with numpy; `apt-get install python3-numpy` gives /usr/bin/python3 one), and
checks its output too.

With --mpi N [N ...] it also times `mpirun -q --mca pml ob1 -np N zvbtrack-mpi -o OUT IN time x y z` for
each N in the same interleaved run, checks that its output is zvbtrack's, and prints its wall
time, CPU time of all ranks, and its ratio to zvbtrack's wall time (as root, mpirun is given
--allow-run-as-root).

With --settle SECONDS every measured command starts with its output file removed, what the
commands before it wrote flushed to the disk (sync), and the machine left idle that long.
Without it each command finds the page cache as the one before left it: the commands that
run later meet the write-back of up to three outputs. On a virtual machine that gives freed memory back to its host,
memory freed shortly before a command is cheap to take again and memory freed long before is
not; without settling, zvbtrack (whose output is cut to nothing as it starts) finds its pages
warm and a command that runs later does not. Settling puts every command in the same state.

With --memory-limit SIZE (as root) every command, floor and zvbtrack alike, runs inside a
memory cgroup of that size (v2 memory.max or v1 memory.limit_in_bytes, whichever the machine
has), and the figures say so.

Example: python3 bench/bench.py --build build --presets medium wide --reps 5
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

PRESETS = ["small", "medium", "wide", "long", "nested", "runs"]


CGROUP = None  # the cgroup every measured command runs in, when --memory-limit is given


def make_cgroup(limit):
    """A memory cgroup of `limit` bytes; returns the file that takes a process into it."""
    v2 = os.path.exists("/sys/fs/cgroup/cgroup.controllers")
    base = "/sys/fs/cgroup" if v2 else "/sys/fs/cgroup/memory"
    path = os.path.join(base, "zvbbench")
    os.makedirs(path, exist_ok=True)
    if v2:
        with open(os.path.join(path, "memory.max"), "w") as f:
            f.write(str(limit))
    else:
        with open(os.path.join(path, "memory.limit_in_bytes"), "w") as f:
            f.write(str(limit))
    return os.path.join(path, "cgroup.procs")


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.upper().rstrip("B").rstrip("I")
    if text and text[-1] in units:
        return int(text[:-1]) * units[text[-1]]
    return int(text)


def timed(command, stdout_path=None):
    """Runs a shell-free command under /usr/bin/time; returns wall, user+sys, max RSS (KiB).

    The wall time is taken here to the microsecond (/usr/bin/time gives hundredths, too coarse
    for a floor of a tenth of a second); it includes starting /usr/bin/time, as the floor's
    commands do too."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
        try:
            start = time.perf_counter()
            wrapped = ["/usr/bin/time", "-f", "%U %S %M", "-o", report.name] + command
            if CGROUP:
                wrapped = ["/bin/sh", "-c", 'echo $$ > "$0" && exec "$@"', CGROUP] + wrapped
            result = subprocess.run(wrapped, stdout=out, stderr=subprocess.PIPE)
            wall = time.perf_counter() - start
        finally:
            if stdout_path:
                out.close()
        if result.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(command), result.stderr.decode()))
        user, system, rss = report.read().split()[-3:]
        return wall, float(user) + float(system), int(rss)


def make_input(zvbgen, workdir, preset):
    path = os.path.join(workdir, preset + ".zvb")
    if not os.path.exists(path):
        print("making %s ..." % path, file=sys.stderr)
        subprocess.run([zvbgen, "-p", preset, "-o", path + ".part"], check=True)
        os.rename(path + ".part", path)
    return path


def mpi_command(build, ranks, source, output):
    # All ranks on this one machine: the shared-memory transport is named, so that Open MPI
    # does not spend 0.2 s at start probing for network fabrics the machine does not have.
    command = ["mpirun", "-q", "--oversubscribe", "--mca", "pml", "ob1", "-np", str(ranks)]
    if os.geteuid() == 0:
        command.append("--allow-run-as-root")
    return command + [os.path.join(build, "zvbtrack-mpi"), "-o", output, source,
                      "time", "x", "y", "z"]


def same_output(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        head_a, head_b = fa.read(8), fb.read(8)
        if head_a[:4] != head_b[:4]:
            return False
        while True:
            block_a, block_b = fa.read(1 << 20), fb.read(1 << 20)
            if block_a != block_b:
                return False
            if not block_a:
                return True


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="build directory with zvbtrack, zvbgen")
    parser.add_argument("--binary", help="zvbtrack to measure (default: BUILD/zvbtrack)")
    parser.add_argument("--reference", help="second zvbtrack whose output must be identical")
    parser.add_argument("--numpy", metavar="PYTHON",
                        help="also time the numpy script under this interpreter")
    parser.add_argument("--workdir", default=os.environ.get("ZVB_BENCH_DIR", "/tmp/zvbbench"))
    parser.add_argument("--presets", nargs="+", default=PRESETS, choices=PRESETS)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--mpi", metavar="N", type=int, nargs="+", default=[],
                        help="also time zvbtrack-mpi under mpirun with N ranks")
    parser.add_argument("--settle", metavar="SECONDS", type=float, default=0,
                        help="remove each command's output and wait before timing it")
    parser.add_argument("--memory-limit", metavar="SIZE",
                        help="run floor and zvbtrack in a memory cgroup of SIZE (512M, 1G)")
    args = parser.parse_args()
    global CGROUP
    if args.memory_limit:
        CGROUP = make_cgroup(parse_size(args.memory_limit))

    binary = args.binary or os.path.join(args.build, "zvbtrack")
    zvbgen = os.path.join(args.build, "zvbgen")
    os.makedirs(args.workdir, exist_ok=True)
    inputs = {p: make_input(zvbgen, args.workdir, p) for p in args.presets}

    for preset in args.presets:
        source = inputs[preset]
        output = os.path.join(args.workdir, preset + ".out")
        filler = os.path.join(args.workdir, preset + ".fill")
        command = [binary, source, "time", "x", "y", "z"]
        # Warm the page cache and learn the output size.
        timed(["cat", source])
        timed(command, output)
        in_size = os.path.getsize(source)
        out_size = os.path.getsize(output)
        baseline = None
        if args.numpy and preset not in ("nested", "runs"):  # the script knows flat steps only
            script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "numpy_baseline.py")
            baseline = [args.numpy, script, source, "time", "x", "y", "z"]
        mpi_output = output + ".mpi"
        mpi_commands = {n: mpi_command(args.build, n, source, mpi_output) for n in args.mpi}
        mpi_runs = {n: [] for n in args.mpi}
        mpi_verdicts = {}
        for n, mpi in mpi_commands.items():
            timed(mpi)  # warm, and check
            mpi_verdicts[n] = "identical" if same_output(output, mpi_output) else "DIFFERENT"
        floors, runs, baseline_runs = [], [], []
        def settle(*paths):
            if args.settle > 0:
                for path in paths:
                    if os.path.exists(path):
                        os.remove(path)
                os.sync()  # no command finds another's output still being written back
                time.sleep(args.settle)

        for _ in range(args.reps):
            settle()
            read = timed(["cat", source])[0]
            settle(filler)
            write = timed(["head", "-c", str(out_size), "/dev/zero"], filler)[0]
            floors.append((read, write))
            settle(output)
            runs.append(timed(command, output))
            if baseline:
                settle(filler)
                baseline_runs.append(timed(baseline, filler))
            for n, mpi in mpi_commands.items():
                settle(mpi_output)
                mpi_runs[n].append(timed(mpi))
        if baseline:
            verdict = "identical" if same_output(output, filler) else "DIFFERENT"
        os.remove(filler)
        read_floor = statistics.median(f[0] for f in floors)
        write_floor = statistics.median(f[1] for f in floors)
        floor = statistics.median(f[0] + f[1] for f in floors)
        wall = statistics.median(r[0] for r in runs)
        cpu = statistics.median(r[1] for r in runs)
        rss = statistics.median(r[2] for r in runs) * 1024
        limit = ", memory limit %s" % args.memory_limit if args.memory_limit else ""
        if args.settle > 0:
            limit += ", settled %g s" % args.settle
        print("\n%s: input %.1f MB, output %.1f MB, %d runs%s" %
              (preset, in_size / 1e6, out_size / 1e6, args.reps, limit))
        print("  %-28s %10s" % ("", "median"))
        print("  %-28s %9.3fs (read %.3fs + write %.3fs)" % ("I/O floor", floor, read_floor,
                                                              write_floor))
        print("  %-28s %9.3fs" % ("zvbtrack wall", wall))
        print("  %-28s %9.3fs" % ("zvbtrack CPU (user+sys)", cpu))
        print("  %-28s %9.1f" % ("MB/s of input", in_size / 1e6 / wall if wall > 0 else 0))
        print("  %-28s %9.1f MB" % ("peak RSS", rss / 1e6))
        print("  %-28s %9.2f" % ("wall / floor", wall / floor if floor > 0 else float("inf")))
        print("  %-28s %9.2f" % ("peak RSS / output size", rss / out_size))
        if baseline:
            numpy_wall = statistics.median(r[0] for r in baseline_runs)
            print("  %-28s %9.3fs, CPU %.3fs, peak RSS %.1f MB, output %s" % (
                "numpy script wall", numpy_wall,
                statistics.median(r[1] for r in baseline_runs),
                statistics.median(r[2] for r in baseline_runs) * 1024 / 1e6, verdict))
            print("  %-28s %9.2f" % ("numpy script / zvbtrack", numpy_wall / wall))
        for n in args.mpi:
            mpi_wall = statistics.median(r[0] for r in mpi_runs[n])
            print("  %-28s %9.3fs, CPU %.3fs, output %s" % (
                "zvbtrack-mpi, %d rank%s, wall" % (n, "" if n == 1 else "s"), mpi_wall,
                statistics.median(r[1] for r in mpi_runs[n]), mpi_verdicts[n]))
            print("  %-28s %9.2f" % ("  / zvbtrack wall", mpi_wall / wall))
        if os.path.exists(mpi_output):
            os.remove(mpi_output)
        if args.reference:
            expected = output + ".reference"
            timed([args.reference, source, "time", "x", "y", "z"], expected)
            verdict = "identical" if same_output(output, expected) else "DIFFERENT"
            print("  %-28s %9s" % ("output vs reference", verdict))
            os.remove(expected)
        sys.stdout.flush()


if __name__ == "__main__":
    main()

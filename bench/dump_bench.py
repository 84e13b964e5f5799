#!/usr/bin/env python3
"""Benchmark of `python3 -m zvb from-dump` on generated particle dumps.

Writes dumps (outside the repository, in --dir) of about each --sizes MB, snapshots of --atoms
atoms with the columns a simulation code writes for `dump custom ... id type x y z ix iy iz vx
vy vz` (six significant digits, as its default format), then runs in one interleaved loop,
--reps times each:
  floor     cat DUMP > /dev/null (reading the dump from the page cache);
  from-dump python3 -m zvb from-dump DUMP OUT;
  parse     numpy's loadtxt alone on a snapshot's atom lines (at least a MiB of them, as
            from-dump takes small snapshots together), called as from-dump calls it, in this
            process: the ceiling that from-dump's own work (reading, checking, writing) lowers;
and with --gzip also from-dump of the dump compressed with gzip -1, and with --reference DIR the
from-dump of another version of the package (DIR holds its zvb/, as python/ does) on the plain
dumps, checking that both outputs are the same bytes (but for the creation time, bytes 4..7).
With --memory-limit MB (as root) every from-dump runs inside a memory cgroup of that size (v2
memory.max or v1 memory.limit_in_bytes), smaller than the dump. It prints per dump the median
wall time, CPU time (user + system), MB/s of dump text by
wall and by CPU time, and the peak RSS of the process. Memory should not grow with the dump's
length (the snapshots are alike), and MB/s by CPU time is the figure less disturbed by other
work on a shared machine.

Example: /usr/bin/python3 bench/dump_bench.py --sizes 200 400 --reps 3
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COLUMNS = "id type x y z ix iy iz vx vy vz"


def snapshot_text(atoms: int, seed: int) -> bytes:
    """The atom lines of one snapshot, as a simulation code prints them with %g."""
    rng = np.random.default_rng(seed)
    ids = rng.permutation(atoms) + 1
    types = rng.integers(1, 4, atoms)
    positions = rng.random((atoms, 3)) * 40.0
    images = rng.integers(-3, 4, (atoms, 3))
    velocities = rng.normal(0.0, 1.0, (atoms, 3))
    rows = [f"{i} {t} {x:g} {y:g} {z:g} {a} {b} {c} {u:g} {v:g} {w:g}"
            for i, t, (x, y, z), (a, b, c), (u, v, w)
            in zip(ids, types, positions, images, velocities)]
    return ("\n".join(rows) + "\n").encode()


def make_dump(path: str, megabytes: int, atoms: int) -> int:
    """A dump of about `megabytes` MB; returns its length in bytes."""
    block = snapshot_text(atoms, 1)
    target = megabytes * 1_000_000
    written = 0
    with open(path, "wb") as out:
        step = 0
        while written < target:
            header = (f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF ATOMS\n{atoms}\n"
                      "ITEM: BOX BOUNDS pp pp pp\n0 40\n0 40\n0 40\n"
                      f"ITEM: ATOMS {COLUMNS}\n").encode()
            out.write(header)
            out.write(block)
            written += len(header) + len(block)
            step += 100
    return written


def parse_only(atoms: int) -> tuple[float, float, int]:
    """Wall and CPU time of loadtxt on a snapshot's atom lines, as from-dump parses them."""
    import io

    single = snapshot_text(atoms, 1)
    copies = -(-(1 << 20) // len(single))
    block = single * copies
    dtype = np.dtype([(f"c{i}", "i8" if name in ("id", "type", "ix", "iy", "iz") else "f8")
                      for i, name in enumerate(COLUMNS.split())])
    wall, cpu = time.perf_counter(), time.process_time()
    rows = np.loadtxt(io.BytesIO(block), dtype=dtype, comments=None, ndmin=1, encoding="latin-1")
    assert len(rows) == atoms * copies
    return time.perf_counter() - wall, time.process_time() - cpu, len(block)


def same_output(path: str, other: str) -> bool:
    """Whether two outputs are the same bytes but for the creation time (bytes 4..7), compared
    a MiB at a time: a child forked from a large process would report its size as its own."""
    with open(path, "rb") as mine, open(other, "rb") as theirs:
        first, second = mine.read(1 << 20), theirs.read(1 << 20)
        if first[:4] + first[8:] != second[:4] + second[8:]:
            return False
        while first or second:
            first, second = mine.read(1 << 20), theirs.read(1 << 20)
            if first != second:
                return False
    return True


CGROUP = None  # the file that takes a process into the memory cgroup, with --memory-limit


def make_cgroup(limit: int) -> str:
    v2 = os.path.exists("/sys/fs/cgroup/cgroup.controllers")
    path = os.path.join("/sys/fs/cgroup" if v2 else "/sys/fs/cgroup/memory", "zvbdumpbench")
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "memory.max" if v2 else "memory.limit_in_bytes"), "w") as f:
        f.write(str(limit))
    return os.path.join(path, "cgroup.procs")


def enter_cgroup() -> None:
    with open(CGROUP, "w") as procs:
        procs.write(str(os.getpid()))


def run(command: list[str], package: str, limited: bool = False) -> tuple[float, float, int]:
    """Wall time, CPU time (user + system) and peak RSS in bytes of one command."""
    environment = dict(os.environ, PYTHONPATH=package)
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               env=environment,
                               preexec_fn=enter_cgroup if limited and CGROUP else None)
    errors = process.stderr.read()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"failed ({status}): {' '.join(command)}\n{errors.decode()}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[200, 400], metavar="MB")
    parser.add_argument("--atoms", type=int, default=20_000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--gzip", action="store_true", help="also a gzip-compressed dump")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--reference", metavar="DIR", help="another version's python/ folder")
    parser.add_argument("--memory-limit", type=int, metavar="MB",
                        help="run from-dump in a memory cgroup of this many MB (as root)")
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--keep", action="store_true", help="keep the dumps for a rerun")
    arguments = parser.parse_args()

    global CGROUP
    if arguments.memory_limit:
        CGROUP = make_cgroup(arguments.memory_limit << 20)
    folder = os.path.join(arguments.dir, "zvb-dump-bench")
    os.makedirs(folder, exist_ok=True)
    cases = []  # (label, dump, bytes of text)
    for size in arguments.sizes:
        dump = os.path.join(folder, f"atoms-{size}MB-{arguments.atoms}.dump")
        length = os.path.getsize(dump) if os.path.exists(dump) else make_dump(
            dump, size, arguments.atoms)
        cases.append((f"{size} MB", dump, length))
        if arguments.gzip:
            packed = dump + ".gz"
            if not os.path.exists(packed):
                with open(packed, "wb") as out:
                    subprocess.run(["gzip", "-1", "-c", dump], stdout=out, check=True)
            cases.append((f"{size} MB .gz", packed, length))
    out = os.path.join(folder, "out.zvb")
    reference_out = os.path.join(folder, "reference.zvb")
    package = os.path.join(CHECKOUT, "python")
    figures: dict[tuple[str, str], list[tuple[float, float, int]]] = {}
    parses = []
    for _ in range(arguments.reps):
        for label, dump, _ in cases:
            command = [arguments.python, "-m", "zvb", "from-dump", dump, out]
            if not dump.endswith(".gz"):
                figures.setdefault((label, "floor"), []).append(run(["cat", dump], package))
                if arguments.reference:
                    figures.setdefault((label, "reference"), []).append(
                        run(command[:-1] + [reference_out], os.path.abspath(arguments.reference)))
            figures.setdefault((label, "from-dump"), []).append(run(command, package, True))
            if arguments.reference and not dump.endswith(".gz") and not same_output(
                    out, reference_out):
                sys.exit(f"{label}: the outputs differ")
        parses.append(parse_only(arguments.atoms))
    limit = f", from-dump in a {arguments.memory_limit} MB cgroup" if CGROUP else ""
    print(f"snapshots of {arguments.atoms} atoms, columns {COLUMNS}; median of "
          f"{arguments.reps}; MB/s of dump text{limit}")
    print(f"{'dump':>12} {'command':>10} {'wall s':>8} {'cpu s':>8} {'MB/s wall':>10} "
          f"{'MB/s cpu':>9} {'peak RSS MB':>12}")
    for label, dump, length in cases:
        for command in ("floor", "reference", "from-dump"):
            if (label, command) not in figures:
                continue
            runs = figures[(label, command)]
            wall = statistics.median(r[0] for r in runs)
            cpu = statistics.median(r[1] for r in runs)
            rss = max(r[2] for r in runs)
            print(f"{label:>12} {command:>10} {wall:8.2f} {cpu:8.2f} {length / 1e6 / wall:10.0f} "
                  f"{length / 1e6 / max(cpu, 1e-9):9.0f} {rss / 1e6:12.0f}")
    block = parses[0][2]
    wall = statistics.median(p[0] for p in parses)
    cpu = statistics.median(p[1] for p in parses)
    print(f"{'atom lines':>12} {'parse':>10} {wall:8.3f} {cpu:8.3f} {block / 1e6 / wall:10.0f} "
          f"{block / 1e6 / cpu:9.0f}")
    os.remove(out)
    if arguments.reference:
        os.remove(reference_out)
    if not arguments.keep:
        for _, dump, _ in cases:
            os.remove(dump)


if __name__ == "__main__":
    main()

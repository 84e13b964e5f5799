#!/usr/bin/env python3
"""Benchmark of the Python package's readers on a preset's trajectories (wide by default).

Makes the inputs once (zvbgen -p PRESET, then zvbtrack time x y z, in $ZVB_BENCH_DIR, default
/tmp/zvbbench, named as bench/csv_bench.sh names them), warms the page cache, then measures in
one interleaved run, --reps times each, every command a process of its own under
/usr/bin/time (wall time, peak RSS):
  pipe       zvbdump -c FILE | pandas.read_csv
  to_pandas  zvb.to_pandas(FILE)
  table      zvb.table(FILE)
  ids        zvb.table(FILE, ids=the first 100 identifiers), and the call's own time
and prints medians with the ratios to the pipe and of peak RSS to the frame's size. Then, as
root, to_pandas, table and the pipe run once more inside a memory cgroup (v2 memory.max or v1
memory.limit_in_bytes) of 1.3 times the frame plus 150 MB (--limit to choose another size),
where each either completes or is killed.

The Python that runs the readers is --python (default /usr/bin/python3, Debian's, which has
numpy and pandas). Timing on a machine shared with other work is noisy: compare the figures of
one run with each other, and run again on a quiet machine for absolute ones.

Example: /usr/bin/python3 bench/python_bench.py --build build --preset wide --reps 3
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

READERS = {
    "pipe": """
import subprocess, pandas
p = subprocess.Popen([ZVBDUMP, "-c", FILE], stdout=subprocess.PIPE)
frame = pandas.read_csv(p.stdout)
assert p.wait() == 0
result = dict(rows=len(frame), bytes=int(frame.memory_usage().sum()))
""",
    "to_pandas": """
frame = zvb.to_pandas(FILE)
result = dict(rows=len(frame), bytes=int(frame.memory_usage().sum()),
              types=sorted({str(t) for t in frame.dtypes}))
""",
    "table": """
columns = zvb.table(FILE)
result = dict(rows=len(next(iter(columns.values()))),
              bytes=sum(c.nbytes for c in columns.values()))
""",
    "ids": """
import time
ids = IDS
start = time.perf_counter()
columns = zvb.table(FILE, ids=ids)
result = dict(rows=len(columns["ID"]), call=time.perf_counter() - start)
""",
}


def reader_script(name: str, trajectories: str, build: str, ids: list[float]) -> str:
    return "\n".join([
        "import json, sys",
        f"sys.path.insert(0, {os.path.join(CHECKOUT, 'python')!r})",
        "import zvb",
        f"FILE = {trajectories!r}",
        f"ZVBDUMP = {os.path.join(build, 'zvbdump')!r}",
        f"IDS = {ids!r}",
        READERS[name],
        "print(json.dumps(result))",
    ])


def timed(python: str, script: str, cgroup: str | None = None) -> dict:
    """Runs a reader; its wall time, peak RSS, status and what it printed."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as times:
        command = ["/usr/bin/time", "-f", "%e %M", "-o", times.name, python, "-c", script]
        if cgroup is not None:
            command = ["sh", "-c", f'echo $$ > "{cgroup}" && exec "$@"', "sh", *command]
        run = subprocess.run(command, capture_output=True, text=True)
        fields = times.read().split()
    measured = {"status": run.returncode, "stderr": run.stderr.strip()}
    try:
        measured["wall"], measured["rss"] = float(fields[-2]), int(fields[-1]) * 1024
    except (IndexError, ValueError):
        pass  # killed before /usr/bin/time could write
    if run.returncode == 0:
        measured.update(json.loads(run.stdout.strip().splitlines()[-1]))
    return measured


def make_cgroup(limit: int) -> tuple[str, str]:
    """A memory cgroup of `limit` bytes: the file that takes a process in, and the one that
    tells its peak."""
    v2 = os.path.exists("/sys/fs/cgroup/cgroup.controllers")
    base = "/sys/fs/cgroup" if v2 else "/sys/fs/cgroup/memory"
    path = os.path.join(base, "zvbpython")
    os.makedirs(path, exist_ok=True)
    limit_file, peak_file = ("memory.max", "memory.peak") if v2 else (
        "memory.limit_in_bytes", "memory.max_usage_in_bytes")
    with open(os.path.join(path, limit_file), "w") as f:
        f.write(str(limit))
    return os.path.join(path, "cgroup.procs"), os.path.join(path, peak_file)


def reset_peak(peak_file: str) -> None:
    try:
        with open(peak_file, "w") as f:
            f.write("0")
    except OSError:
        pass  # v2's memory.peak is reset by a new cgroup only


def read_peak(peak_file: str) -> int | None:
    try:
        with open(peak_file) as f:
            return int(f.read())
    except (OSError, ValueError):
        return None


def make_inputs(build: str, folder: str, preset: str) -> str:
    os.makedirs(folder, exist_ok=True)
    steps = os.path.join(folder, f"{preset}.zvb")
    trajectories = os.path.join(folder, f"{preset}.traj.zvb")
    if not os.path.exists(steps):
        subprocess.run([os.path.join(build, "zvbgen"), "-p", preset, "-o", steps + ".part"],
                       check=True)
        os.replace(steps + ".part", steps)
    if not os.path.exists(trajectories):
        subprocess.run([os.path.join(build, "zvbtrack"), "-o", trajectories + ".part", steps,
                        "time", "x", "y", "z"], check=True)
        os.replace(trajectories + ".part", trajectories)
    return trajectories


def first_identifiers(build: str, trajectories: str, count: int) -> list[float]:
    """The identifiers of the first trajectories, as zvbdump's tree shows them."""
    listing = subprocess.Popen([os.path.join(build, "zvbdump"), "-n", "1", trajectories],
                               stdout=subprocess.PIPE, text=True)
    found = []
    assert listing.stdout is not None
    for line in listing.stdout:
        parts = line.split()
        if len(parts) > 3 and parts[2] == "group" and parts[-3] == "ID":
            found.append(float(parts[-1]))
            if len(found) == count:
                break
    listing.kill()
    listing.wait()
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(CHECKOUT, "build"))
    parser.add_argument("--preset", default="wide")
    parser.add_argument("--reps", type=int, default=1)
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--limit", type=int, help="bytes of the memory cgroup")
    parser.add_argument("--no-cgroup", action="store_true", help="skip the runs in a cgroup")
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    folder = os.environ.get("ZVB_BENCH_DIR", "/tmp/zvbbench")
    trajectories = make_inputs(build, folder, arguments.preset)
    with open(trajectories, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    ids = first_identifiers(build, trajectories, 100)
    print(f"{arguments.preset}: {trajectories}, {os.path.getsize(trajectories)} bytes; "
          f"{arguments.reps} run(s) of each, interleaved", flush=True)

    results: dict[str, list[dict]] = {name: [] for name in READERS}
    for _ in range(arguments.reps):
        for name in READERS:
            measured = timed(arguments.python, reader_script(name, trajectories, build, ids))
            if measured["status"] != 0:
                print(f"{name} failed: {measured['stderr']}", file=sys.stderr)
                return 1
            results[name].append(measured)
            print(f"  {name:10} {measured['wall']:7.2f} s  peak RSS "
                  f"{measured['rss'] / 2**20:7.0f} MiB", flush=True)
    frame = results["to_pandas"][0]["bytes"]
    pipe_wall = statistics.median(m["wall"] for m in results["pipe"])
    print(f"\nframe: {results['to_pandas'][0]['rows']} rows, {frame / 2**20:.0f} MiB, types "
          f"{', '.join(results['to_pandas'][0]['types'])}")
    print(f"{'':10} {'wall s':>8} {'/pipe':>7} {'peak RSS MiB':>13} {'/frame':>7}")
    for name, runs in results.items():
        wall = statistics.median(m["wall"] for m in runs)
        rss = statistics.median(m["rss"] for m in runs)
        print(f"{name:10} {wall:8.2f} {wall / pipe_wall:7.3f} {rss / 2**20:13.0f} "
              f"{rss / frame:7.3f}")
    call = statistics.median(m["call"] for m in results["ids"])
    print(f"ids: the first 100 trajectories ({results['ids'][0]['rows']} rows) in {call:.3f} s "
          "within the process (its wall time above includes starting Python and numpy)")

    if arguments.no_cgroup:
        return 0
    if os.geteuid() != 0:
        print("\nnot root: no runs in a memory cgroup")
        return 0
    limit = arguments.limit or int(1.3 * frame + 150 * 2**20)
    procs, peak_file = make_cgroup(limit)
    print(f"\nin a memory cgroup of {limit / 2**20:.0f} MiB (1.3 x frame + 150 MiB):")
    for name in ("to_pandas", "table", "pipe"):
        reset_peak(peak_file)
        measured = timed(arguments.python, reader_script(name, trajectories, build, ids), procs)
        peak = read_peak(peak_file)
        state = "completed" if measured["status"] == 0 else f"status {measured['status']}" + (
            " (killed)" if measured["status"] in (-9, 137) or "Killed" in measured["stderr"]
            else "")
        wall = f"{measured['wall']:.2f} s" if "wall" in measured else "-"
        peak_text = f", cgroup peak {peak / 2**20:.0f} MiB" if peak else ""
        print(f"  {name:10} {state:20} {wall}{peak_text}")
    try:
        os.rmdir(os.path.dirname(procs))  # empty again: every process in it has ended
    except OSError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Peak memory and scratch space of zvbtrack by memory budget.

For each budget (ZVBTRACK_MEMORY), runs zvbtrack on one input and prints its wall time, its
peak resident memory, the output's size, and the most disk space its temporary files took at
once (sampled every few milliseconds from its open descriptors: the files are removed at once,
so only the process can see them).

    python3 bench/window_memory.py --build build --preset medium 64M 16M 1M 64K 1
    python3 bench/window_memory.py --build build --input one.zvb --operands "time x" 64M 16M 4M
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time


def scratch_bytes(pid):
    """Disk space held by the process's removed temporary files."""
    total = 0
    folder = f"/proc/{pid}/fd"
    try:
        names = os.listdir(folder)
    except OSError:
        return 0
    for name in names:
        path = os.path.join(folder, name)
        try:
            target = os.readlink(path)
            if "zvbtrack-scratch" not in target or not target.endswith("(deleted)"):
                continue
            total += os.stat(path).st_blocks * 512
        except OSError:
            pass
    return total


def measure(program, args, budget, output):
    environment = dict(os.environ, ZVBTRACK_MEMORY=budget)
    started = time.monotonic()
    process = subprocess.Popen([program, "-o", output, *args], env=environment,
                               stderr=subprocess.PIPE)
    peak_scratch = 0
    while True:
        peak_scratch = max(peak_scratch, scratch_bytes(process.pid))
        finished, status, usage = os.wait4(process.pid, os.WNOHANG)
        if finished != 0:
            break
        time.sleep(0.005)
    wall = time.monotonic() - started
    error = process.stderr.read().decode(errors="replace").strip()
    process.stderr.close()
    return wall, usage.ru_maxrss * 1024, peak_scratch, os.waitstatus_to_exitcode(status), error


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the build with zvbtrack and zvbgen")
    parser.add_argument("--preset", help="make the input with zvbgen -p PRESET")
    parser.add_argument("--input", help="the input file (instead of --preset)")
    parser.add_argument("--operands", default="time x y z",
                        help="the loop variable and the arrays, in one word (default: \"time x y z\")")
    parser.add_argument("budgets", nargs="+", help="values of ZVBTRACK_MEMORY")
    arguments = parser.parse_args()
    program = os.path.join(arguments.build, "zvbtrack")
    with tempfile.TemporaryDirectory(dir=".") as folder:
        source = arguments.input
        if source is None:
            source = os.path.join(folder, "in.zvb")
            subprocess.run([os.path.join(arguments.build, "zvbgen"), "-p",
                            arguments.preset or "medium", "-o", source], check=True)
        output = os.path.join(folder, "out.zvb")
        print(f"{'budget':>8} {'wall s':>8} {'peak RSS MB':>12} {'output MB':>10} "
              f"{'scratch MB':>11} {'scratch/output':>15}")
        for budget in arguments.budgets:
            wall, rss, scratch, status, error = measure(program, [source, *arguments.operands.split()],
                                                        budget, output)
            size = os.path.getsize(output) if status == 0 else 0
            ratio = f"{scratch / size:.2f}" if size else "-"
            print(f"{budget:>8} {wall:8.2f} {rss / 1e6:12.1f} {size / 1e6:10.1f} "
                  f"{scratch / 1e6:11.1f} {ratio:>15}" + ("" if status == 0 else f"  {error}"))
            sys.stdout.flush()


if __name__ == "__main__":
    main()

"""python3 -m zvb: plot trajectories, write them as one CSV table, import a particle dump."""

from __future__ import annotations

import argparse
import os
import sys

from .dump_import import DumpError, convert
from .format import FormatError


def _plot(arguments: argparse.Namespace) -> None:
    from .plot import plot

    output = arguments.output or os.path.splitext(os.path.basename(arguments.file))[0] + ".png"
    plot(arguments.file, output, arguments.id, arguments.x, arguments.y)
    print(output)


def _csv(arguments: argparse.Namespace) -> None:
    from .tracks import write_csv

    write_csv(arguments.file, sys.stdout)


def _from_dump(arguments: argparse.Namespace) -> None:
    from .output_file import Stopped, end_by, signals

    try:
        with signals.installed():
            snapshots = convert(arguments.dump, arguments.out, arguments.columns, arguments.dt,
                                arguments.unwrap)
    except Stopped as stopped:
        end_by(stopped)
        raise
    except MemoryError:
        raise DumpError(f"{arguments.dump}: out of memory: each snapshot is read whole") from None
    shown = "standard output" if arguments.out == "-" else arguments.out
    print(f"{shown}: {snapshots} snapshots", file=sys.stderr)


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="python3 -m zvb", description=__doc__)
    commands = main.add_subparsers(dest="command", required=True, metavar="command")

    plot = commands.add_parser(
        "plot", help="draw trajectories of a zvbtrack output into a PNG file",
        description="Draws the chosen trajectories (the first five by default), one line each, "
                    "the first two arrays against each other (or the one array against the "
                    "loop variable).")
    plot.add_argument("file", help="a zvbtrack output")
    plot.add_argument("--id", type=float, action="append", metavar="ID",
                      help="draw the trajectory of this identifier (repeatable)")
    plot.add_argument("-o", "--output", metavar="PNG",
                      help="the picture to write (default: FILE's name with .png, here)")
    plot.add_argument("-x", metavar="ARRAY", help="the array on the horizontal axis")
    plot.add_argument("-y", metavar="ARRAY", help="the array on the vertical axis")
    plot.set_defaults(run=_plot)

    table = commands.add_parser(
        "csv", help="write all trajectories as one long CSV table to standard output",
        description="Writes one row per sample: the identifier, the values of copied "
                    "enclosing groups, the loop variable, then the arrays.")
    table.add_argument("file", help="a zvbtrack output")
    table.set_defaults(run=_csv)

    dump = commands.add_parser(
        "from-dump", help="convert a text particle dump into a ZVB step file",
        description="Converts a dump of ITEM: TIMESTEP / NUMBER OF ATOMS / BOX BOUNDS / ATOMS "
                    "snapshots into one group named time per snapshot, ready for zvbtrack. "
                    "The group's value is the timestep number unless --dt gives the step "
                    "length. A gzip, bzip2 or xz dump is read as it is. A failed or stopped run "
                    "leaves OUT as it was.")
    dump.add_argument("dump", help="the text dump, - for standard input")
    dump.add_argument("out", help="the ZVB file to write, - for standard output")
    dump.add_argument("--columns", metavar="LIST",
                      help="keep only these columns, as id,type,x,y,z (id is always kept); "
                           "leaves out text columns such as element")
    dump.add_argument("--dt", type=float, metavar="STEP",
                      help="the time of a snapshot is its timestep times STEP")
    dump.add_argument("--unwrap", action="store_true",
                      help="add the image flags (ix iy iz) times the box lengths to x y z")
    dump.set_defaults(run=_from_dump)
    return main


def main(argv: list[str] | None = None) -> int:
    arguments = parser().parse_args(argv)
    try:
        arguments.run(arguments)
    except BrokenPipeError:
        # A reader that stopped early, as head does, is no error; what is left unwritten goes
        # nowhere, so that the exit does not fail on it again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (FormatError, DumpError, ValueError, OSError) as error:
        print(f"zvb: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""python3 -m zvb: plot trajectories, write them as one CSV table, import a particle dump."""

from __future__ import annotations

import argparse
import errno
import os
import sys

from .dump_import import DumpError, convert
from .format import FormatError


class _OutputError(Exception):
    """Standard output could not be written."""


class _Output:
    """Standard output for the table, its failures told apart from those of reading."""

    def __init__(self, stream):
        if stream is None:  # the process started with its standard output closed
            raise _OutputError(os.strerror(errno.EBADF))
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except OSError as error:
            raise _OutputError(error.strerror or str(error)) from error

    def flush(self) -> None:
        try:
            self._stream.flush()
        except OSError as error:
            raise _OutputError(error.strerror or str(error)) from error


def _plot(arguments: argparse.Namespace) -> None:
    from .plot import plot

    output = arguments.output or os.path.splitext(os.path.basename(arguments.file))[0] + ".png"
    ids = arguments.id
    if arguments.ids is not None:
        ids = arguments.ids if ids is None else ",".join([arguments.ids, *map(repr, ids)])
    plot(arguments.file, output, ids, arguments.x, arguments.y, window=arguments.window)
    print(output)


def _csv(arguments: argparse.Namespace) -> None:
    from .tracks import write_csv

    out = _Output(sys.stdout)
    write_csv(arguments.file, out, ids=arguments.ids, columns=arguments.columns,
              window=arguments.window)
    out.flush()


def _selection_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("-i", "--ids", metavar="LIST",
                         help="only the trajectories of these identifiers: numbers and ranges "
                              "a..b (either end may be left out) separated by commas, or @FILE "
                              "with such items separated by commas, blanks or new lines; "
                              "compared as doubles (0 and -0 are one identifier, nan matches "
                              "nan)")
    command.add_argument("-w", "--window", metavar="LO..HI",
                         help="only the samples whose loop variable v has LO <= v <= HI "
                              "(either end may be left out)")


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
    _selection_options(plot)
    plot.set_defaults(run=_plot)

    table = commands.add_parser(
        "csv", help="write all trajectories as one long CSV table to standard output",
        description="Writes one row per sample: the identifier, the values of copied "
                    "enclosing groups, the loop variable, then the arrays.")
    table.add_argument("file", help="a zvbtrack output")
    _selection_options(table)
    table.add_argument("-c", "--columns", metavar="NAMES",
                       help="only these columns, comma-separated, in this order")
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
    except _OutputError as error:
        # One line, as zvbdump says it; what is left unwritten goes nowhere, so that the exit
        # does not fail on it again.
        print(f'zvb: "-": {error}', file=sys.stderr)
        if sys.stdout is not None:
            try:
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            except OSError:
                pass
        return 1
    except BrokenPipeError:
        # A reader that stopped early while the picture's name was printed.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (FormatError, DumpError, ValueError, OSError) as error:
        print(f"zvb: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The `algo-health` command: train, score and forecast from the shell.

A thin host over the Python API: it checks its options and output paths
before reading any data, runs the jobs of `algo.machine` and `algo.fleet`, and
formats what they return. The analytics are all the library's; its printed
lines and warnings stay out of the output unless `--verbose`. Failures the
caller can fix (`AlgoHealthError`) end with one line that names the flags
that fix them; anything else is a fault of ours, shown with its traceback
under `--verbose`.
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback

from algo import blas, machine, modelfile
from algo.cli import alert_commands, fleet_commands, machine_commands
from algo.cli.options import EXIT_FAILED, FLAG_NAMES, Parser
from algo.cli.output import EXIT_FLAGGED, Progress
from algo.errors import AlgoHealthError
from algo.results import printable

EXIT_BROKEN_PIPE = 141
EXIT_INTERRUPTED = 130

__all__ = ["EXIT_FAILED", "EXIT_FLAGGED", "build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="algo-health",
        description="Machine-health analytics for rotating equipment: train a health model, score new data, "
        "forecast the remaining useful life.",
        epilog="Examples:\n  algo-health demo\n  algo-health train history.csv --model pump.model\n"
        "  algo-health score today.csv --model pump.model --out scores.csv\n"
        "  algo-health rul scores.csv --model pump.model --chart rul.png",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {modelfile.library_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="command")
    machine_commands.commands.register(commands)
    model_parser = commands.add_parser("model", help="Model files: convert those of earlier releases.",
                                       description="Model files written by `train`.")
    machine_commands.model_commands.register(model_parser.add_subparsers(dest="model_command", required=True,
                                                                         metavar="command"))
    fleet_parser = commands.add_parser(
        "fleet", help="Train, score and forecast many machines on Dask, with a history store.",
        description="Train, score and forecast a fleet of machines on Dask (a local cluster by default), keeping "
                    "models, scores, lights and forecasts in a store folder (DuckDB).",
        epilog="Examples:\n  algo-health fleet demo\n  algo-health fleet train history/ --store plant.store\n"
               "  algo-health fleet score today/ --store plant.store\n  algo-health fleet rul --store plant.store\n"
               "  algo-health fleet status --store plant.store",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    fleet_subcommands = fleet_parser.add_subparsers(dest="fleet_command", required=True, metavar="command")
    fleet_commands.commands.register(fleet_subcommands)
    alert_commands.commands.register(fleet_subcommands)
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as stop:  # --help, --version, or a usage error already reported
        return stop.code if isinstance(stop.code, int) else EXIT_FAILED
    progress = Progress(enabled=not args.quiet and sys.stderr.isatty())
    args.stdout = sys.stdout  # the report's stream; the library's own lines are diverted while it runs
    try:
        with machine.library_output(args.verbose), blas.one_thread():
            return args.run(args, progress)
    except AlgoHealthError as error:
        print(printable(f"algo-health {args.command}: error: {error.message(FLAG_NAMES)}"), file=sys.stderr)
        return EXIT_FAILED
    except BrokenPipeError:
        quiet_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as error:  # a fault of ours: one line, and its traceback for whoever debugs it
        if args.verbose:
            traceback.print_exc(file=sys.stderr)
        print(printable(f"algo-health {args.command}: unexpected error: {type(error).__name__}: {error}"), file=sys.stderr)
        return EXIT_FAILED


def quiet_stdout() -> None:
    """Points stdout at /dev/null, so that flushing it at exit after a closed pipe stays quiet."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # no real file behind stdout (a test's capture)
        pass

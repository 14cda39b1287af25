"""The command line's options, each declared once, and the registry of its commands.

A command names the shared options it takes (`uses`) and declares its own
arguments beside its handler; `Family.register` adds them all to a parser.
Option values are checked when the command line is parsed, before any data is
read.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from algo import checks, config, reading, writing
from algo.alerts.config import AlertConfig
from algo.config import DEFAULT_CONFIG, Configuration
from algo.errors import AlgoHealthError
from algo.machine import SCORE_TIGHTNESS

EXIT_FAILED = 1

# How the command line names what the library's remedies refer to (`algo.errors.PYTHON_NAMES` names them for
# Python callers).
FLAG_NAMES = {
    "dayfirst": "--dayfirst",
    "no_dayfirst": "--no-dayfirst",
    "time_format": "--time-format",
    "time_column": "--time-column",
    "encoding": "--encoding",
    "running_when": "--running-when",
    "id_column": "--id-column",
    "config": "--config",
    "folder": "--folder",
    "train": "`algo-health fleet train`",
    "upgrade": "`algo-health fleet upgrade`",
    "trust_pickle": "--trust-pickle",
    "upgrade_model": "`algo-health model upgrade FILE`",
}


class Parser(argparse.ArgumentParser):
    """Usage errors end like every other failed command: one line and exit code 1."""

    def error(self, message: str):
        self.exit(EXIT_FAILED, f"{self.prog}: error: {message}\n")


# --- checked values -------------------------------------------------------------


def option(check: Callable):
    """An argparse type that runs `check` on the text when the command line is parsed."""

    def parse(text: str):
        try:
            return check(text)
        except AlgoHealthError as error:
            raise argparse.ArgumentTypeError(error.message(FLAG_NAMES)) from None
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r}: not a valid value") from None

    return parse


def output(suffixes: tuple[str, ...] | None = None):
    return option(lambda path: str(writing.check_output(path, suffixes)))


def _config_text(text: str) -> str:
    Configuration.parse(text)
    return text


def _codebook_file(path: str) -> dict:
    return checks.codebook(reading.read_json(path), path)


def at_least(minimum: int):
    return option(lambda text: checks.at_least(int(text), minimum))


# --- declarations -----------------------------------------------------------------


@dataclass(frozen=True)
class Argument:
    """One argument or option as argparse takes it."""

    names: tuple[str, ...]
    settings: dict

    def add(self, parser) -> None:
        parser.add_argument(*self.names, **self.settings)


def arg(*names: str, **settings) -> Argument:
    return Argument(names, settings)


@dataclass(frozen=True)
class Group:
    """Options that go together, shown under their title in the help."""

    title: str
    arguments: tuple[Argument, ...]

    def add(self, parser) -> None:
        group = parser.add_argument_group(self.title)
        for argument in self.arguments:
            argument.add(group)


# Every command's.
OUTPUT = Group("output", (
    arg("--json", action="store_true", help="print a JSON document instead of the report"),
    arg("--quiet", action="store_true", help="no progress lines on stderr"),
    arg("--verbose", action="store_true",
        help="show the library's own warnings and printed lines on stderr, and the traceback of an unexpected "
             "error"),
))
READING = Group("reading the input", (
    arg("--time-column", help="the time column (default: '_time', 'Time', 'Timestamp', ...)"),
    arg("--time-format", help="strptime format of the times, e.g. '%%d.%%m.%%Y %%H:%%M:%%S'"),
    arg("--dayfirst", action=argparse.BooleanOptionalAction, default=None,
        help="numeric dates are day first (12.01.2024 is 12 January); asked for when a file could be read "
             "either way"),
    arg("--delimiter", help="CSV column separator (default: detected)"),
    arg("--decimal", help="CSV decimal mark, '.' or ',' (default: detected)"),
    arg("--encoding", help="text encoding of a CSV file (default UTF-8)"),
    arg("--running-when", metavar="CONDITION",
        help="rows in which the machine runs, e.g. 'RPM > 300'; 'always' keeps every row. Default: above a tenth "
             "of the speed column's 95th percentile when there is one (a model keeps the condition it was "
             "trained under)"),
))
CONFIG = arg("--config", default=DEFAULT_CONFIG, type=option(_config_text), help=config.help_text())
CODEBOOK = arg("--codebook", type=option(_codebook_file),
               help="codebook JSON with the valid range of each feature, e.g.\n" + checks.CODEBOOK_EXAMPLE)
TIGHTNESS = arg("--tightness", type=option(lambda text: checks.fraction(float(text))), default=SCORE_TIGHTNESS,
                help="health index of a sample on the T2 limit, as a fraction of 100 (default %(default)s)")
ID_COLUMN = arg("--id-column", help="the machine column of a single table holding every machine")
ENGINE = Group("where the machines run", (
    arg("--scheduler", metavar="ADDRESS",
        help="an existing Dask scheduler, e.g. tcp://10.0.0.5:8786 (default: DASK_SCHEDULER_ADDRESS, else a local "
             "cluster started for the run)"),
    arg("--workers", type=at_least(0),
        help="worker processes of the local cluster (default: one per core); 0 runs the machines one after the "
             "other in this process"),
))
STORE = arg("--store", required=True, help="the store folder (made by `fleet train`)")
ALERT_CONFIG = arg("--alerts", metavar="FILE", type=option(AlertConfig.load),
                   help="the alert configuration (TOML) for this run; default: alerts.toml in the store folder, "
                        "else the default rules and no channel")


def read_options(args) -> reading.ReadOptions:
    return reading.ReadOptions(time_column=args.time_column, time_format=args.time_format, dayfirst=args.dayfirst,
                               delimiter=args.delimiter, decimal=args.decimal, encoding=args.encoding,
                               running_when=args.running_when)


# --- commands -----------------------------------------------------------------------


@dataclass(frozen=True)
class Command:
    name: str
    run: Callable
    summary: str
    examples: tuple[str, ...]
    uses: tuple  # shared options (Argument or Group)
    arguments: tuple[Argument, ...]  # its own


@dataclass
class Family:
    """Commands registered beside their handlers, added to a parser's subcommands together."""

    prefix: str = ""  # "fleet " for the fleet's commands, as they are named in messages
    commands: list[Command] = field(default_factory=list)

    def command(self, name: str, summary: str, examples: Sequence[str], uses: Sequence = (),
                arguments: Sequence[Argument] = ()) -> Callable:
        def register(run: Callable) -> Callable:
            self.commands.append(Command(name, run, summary, tuple(examples), tuple(uses), tuple(arguments)))
            return run

        return register

    def register(self, subcommands) -> None:
        for command in self.commands:
            parser = subcommands.add_parser(
                command.name, help=command.summary, description=command.summary,
                epilog="Examples:\n" + "\n".join(f"  {e}" for e in command.examples),
                formatter_class=argparse.RawTextHelpFormatter)
            for declared in (*command.arguments, *command.uses, OUTPUT):
                declared.add(parser)
            parser.set_defaults(run=command.run, command=self.prefix + command.name)

"""The one base of the failures the host layers report to their caller as one line.

An `AlgoHealthError` is input, a setting, a file or a store that cannot be used
as asked: the caller's to fix, not a fault of ours. The command line and the
fleet catch this base alone; anything else is a bug and keeps its traceback.

A message states the problem in the caller's terms. Where a setting would fix
it, the error carries a remedy whose `{placeholders}` name the settings, and
each audience names them its own way: `str(error)` in the Python API's terms
(`dayfirst=True`), the command line with its flags (`--dayfirst`).
"""

from __future__ import annotations

from collections.abc import Mapping

# How the Python API names what remedies refer to.
PYTHON_NAMES = {
    "dayfirst": "dayfirst=True",
    "no_dayfirst": "dayfirst=False",
    "time_format": "time_format",
    "time_column": "time_column",
    "encoding": "encoding",
    "running_when": "running_when",
    "id_column": "id_column",
    "config": "the configuration",
    "folder": "folder",
    "train": "algo.fleet.train",
    "upgrade": "algo.fleet.upgrade",
    "trust_pickle": "trust_pickle=True",
    "upgrade_model": "modelfile.upgrade",
}


class _Names(dict):
    """Names of an audience; a name it lacks shows as itself rather than failing the message."""

    def __missing__(self, key: str) -> str:
        return key


class AlgoHealthError(Exception):
    """Something the caller asked for that cannot be done as asked; one line, no traceback.

    `stage` is where a fleet machine's outcome records the failure ("input", "check", ...).
    """

    stage = "error"

    def __init__(self, problem: str, remedy: str | None = None):
        super().__init__(problem)
        self.problem = problem
        self.remedy = remedy  # e.g. "pass {dayfirst} (or {time_format})"

    def message(self, names: Mapping[str, str] = PYTHON_NAMES) -> str:
        """The problem and its remedy, with the remedy's settings named as `names` says."""
        if not self.remedy:
            return self.problem
        return f"{self.problem}; {self.remedy.format_map(_Names(names))}"

    def __str__(self) -> str:
        return self.message()

    def record(self) -> tuple[str, str, str | None]:
        """The error as a failed outcome records it: stage, message and data note."""
        return self.stage, str(self), None

    def __reduce__(self):
        # Pickled with its remedy, so that an error raised on a Dask worker reads the same on the driver.
        return self.__class__, (self.problem, self.remedy)


class CheckError(AlgoHealthError, ValueError):
    """Input or settings refused before or instead of a library call."""

    stage = "check"


class FleetError(AlgoHealthError):
    """A fleet command that cannot run as asked."""

    stage = "fleet"

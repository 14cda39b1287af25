"""Per-machine settings of a fleet: what differs from the fleet's defaults, from a manifest file."""

from __future__ import annotations

from dataclasses import dataclass, replace
from pathlib import Path

import pandas as pd

from algo import checks, machine, reading
from algo.alerts.config import machine_settings
from algo.config import DEFAULT_CONFIG, Configuration
from algo.errors import AlgoHealthError, CheckError
from algo.fleet.discovery import recording

MANIFEST_COLUMNS = ("machine", "config", "codebook", "iso_power", "iso_foundation", "sister", "alerts")


@dataclass(frozen=True)
class Settings:
    """How one machine is trained and graded, where it differs from the fleet's defaults."""

    config: str = DEFAULT_CONFIG
    codebook: dict | None = None
    iso_power: float | None = None
    iso_foundation: str | None = None
    sister: tuple[str, ...] = ()  # a failed sister machine's recording, to learn the deadline from
    alerts: dict | None = None  # the machine's own alert rule settings ("signal.days=20; silent=off")


def read_manifest(path: str, defaults: Settings) -> dict[str, Settings]:
    """Per-machine settings from a CSV or JSON manifest, one row (or object) per machine; empty cells keep the defaults."""
    table = _manifest_table(path)
    expected = f"expected a machine column and any of {', '.join(MANIFEST_COLUMNS[1:])}"
    if "machine" not in table.columns:
        raise CheckError(f"manifest {path} has no machine column; {expected}")
    unknown = [str(c) for c in table.columns if c not in MANIFEST_COLUMNS]
    if unknown:
        raise CheckError(f"manifest {path}: unknown columns {', '.join(unknown)}; {expected}")
    folder = Path(path).parent
    settings = {}
    for row in table.to_dict(orient="records"):
        name = str(row["machine"])
        if name in settings:
            raise CheckError(f"manifest {path}: machine {name!r} appears twice")
        try:
            settings[name] = _machine_settings(row, defaults, folder)
        except AlgoHealthError as error:
            raise CheckError(f"manifest {path}, machine {name!r}: {error.problem}", error.remedy) from None
    return settings


def _manifest_table(path: str) -> pd.DataFrame:
    if str(path).lower().endswith(".json"):
        document = reading.read_json(path)
        if isinstance(document, dict):  # {"pump-1": {"config": ...}, ...}
            document = [{"machine": name, **(entry or {})} for name, entry in document.items()]
        if not isinstance(document, list) or not all(isinstance(entry, dict) for entry in document):
            raise CheckError(f"manifest {path}: expected a list of objects, one per machine")
        return pd.DataFrame(document)
    table, _ = reading.read_table(path, text=True)  # names as written: "007" is not "7"
    return table


def _machine_settings(row: dict, defaults: Settings, folder: Path) -> Settings:
    given = {key: value for key, value in row.items() if key != "machine" and not _blank(value)}
    settings = defaults
    if "config" in given:
        settings = replace(settings, config=str(given["config"]).strip())
        Configuration.parse(settings.config)
    if "codebook" in given:
        codebook_path = _beside(folder, str(given["codebook"]))
        settings = replace(settings, codebook=checks.codebook(reading.read_json(codebook_path), codebook_path))
    if ("iso_power" in given) != ("iso_foundation" in given):
        raise CheckError("ISO 20816-3 lights need both iso_power and iso_foundation")
    if "iso_power" in given:
        try:
            power = float(given["iso_power"])
        except ValueError:
            raise CheckError(f"iso_power {given['iso_power']!r} is not a number") from None
        foundation = str(given["iso_foundation"]).strip()
        machine.iso_limits(power, foundation)  # refuses what the ISO lookup would refuse
        settings = replace(settings, iso_power=power, iso_foundation=foundation)
    if "sister" in given:
        settings = replace(settings, sister=recording(_beside(folder, str(given["sister"]))))
    if "alerts" in given:
        settings = replace(settings, alerts=machine_settings(given["alerts"]))
    return settings


def _blank(value) -> bool:
    return value is None or (isinstance(value, float) and value != value) or (isinstance(value, str) and not value.strip())


def _beside(folder: Path, path: str) -> str:
    """A path of the manifest, relative to the manifest's own folder unless absolute or a URL."""
    return path if "://" in path or Path(path).is_absolute() else str(folder / path)

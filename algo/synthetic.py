"""Synthetic condition-monitoring rows of a rotating machine, and of a fleet of them.

A reproducible stand-in for a real export, shared by the tests, the benchmarks
and the demos: one row per sample with a "_time" column, tri-axial vibration
features, band powers, failure-mode indicators, temperature and speed. The
machine runs a daily load cycle; an optional fault develops from a given time
on and shows where such a fault shows in practice: a bearing fault in the
upper bands, the peaks and crest factors; imbalance in the first band on the
radial axes; misalignment in the second band on the axial axis; looseness in
the low harmonics and the peaks; each in its failure-mode indicator.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

AXES = ("X", "Y", "Z")
TIME_MEASURES = ("Overall", "Peak", "Peak_to_Peak", "Crest_Factor", "Overall_QC")
BANDS = tuple(f"Power_in_Band_{band:02d}" for band in range(1, 11))
FAIL_MODES = ("Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass")

_AXIS_LEVEL = {"X": 2.0, "Y": 1.6, "Z": 1.2}  # mm/s r.m.s., a healthy medium machine
_BAND_SHARE = np.array([0.30, 0.22, 0.14, 0.10, 0.08, 0.06, 0.04, 0.03, 0.02, 0.01])


@dataclass(frozen=True)
class Fault:
    """Where a developing fault shows, as growth per unit of its severity."""

    indicator: str  # the failure-mode indicator that rises
    axes: tuple[float, float, float]  # overall level, per axis X, Y, Z
    crest: float  # crest factor
    bands: tuple[float, ...]  # power of each band


FAULTS = {
    "bearing": Fault("Bearing", (0.6, 0.6, 0.6), 1.5, (0, 0, 0, 0, 0, 0.5, 1.0, 1.5, 2.0, 2.5)),
    "imbalance": Fault("Imbalance", (0.9, 0.9, 0.2), 0.0, (3.0, 0.3, 0, 0, 0, 0, 0, 0, 0, 0)),
    "misalignment": Fault("Misalignment", (0.3, 0.3, 0.9), 0.2, (1.0, 2.5, 0.5, 0, 0, 0, 0, 0, 0, 0)),
    "looseness": Fault("Looseness", (0.5, 0.5, 0.3), 0.8, (0.5, 1.0, 1.5, 1.5, 1.0, 0.5, 0, 0, 0, 0)),
}


def feature_columns() -> list[str]:
    """The feature names of a full export, in export order."""
    axis_features = [f"{axis}_{measure}" for measure in TIME_MEASURES for axis in AXES]
    bands = [f"{axis}_{band}" for axis in AXES for band in BANDS]
    percentages = [f"{mode}_percentage" for mode in FAIL_MODES]
    return ["RPM", *axis_features, *bands, *FAIL_MODES, *percentages, "Temperature"]


def raw_label(feature: str) -> str:
    """The display label a raw export uses for `feature` ("X-Power in Band 01", "Bearing %")."""
    if feature == "_time":
        return "Time"
    if feature.endswith("_percentage"):
        return feature[: -len("_percentage")] + " %"
    if feature[:2] in ("X_", "Y_", "Z_"):
        return feature[0] + "-" + feature[2:].replace("_", " ")
    return feature


def machine_frame(
    start: str | pd.Timestamp = "2024-01-01",
    periods: int = 3600,
    freq: str = "1s",
    *,
    seed: int = 0,
    fault_start: str | pd.Timestamp | None = None,
    fault_days: float = 60.0,
    fault: str = "bearing",
    raw_labels: bool = False,
    time_as_text: bool = False,
) -> pd.DataFrame:
    """Rows of one machine, `periods` samples `freq` apart from `start`.

    With `fault_start`, a fault of the kind `fault` (a key of FAULTS) grows from
    that time on; its severity reaches 1 (a clearly failing machine) after
    `fault_days` days and keeps growing. `raw_labels` gives the display labels of a raw export ("Time",
    "X-Overall", ...); `time_as_text` gives the times as text, as a CSV would.
    """
    rng = np.random.default_rng(seed)
    times = pd.date_range(start, periods=periods, freq=freq)
    days = (times - times[0]).total_seconds().to_numpy() / 86400.0
    load = 0.5 + 0.3 * np.sin(2 * np.pi * (days % 1.0)) + 0.05 * rng.standard_normal(periods)
    severity = _fault_severity(times, fault_start, fault_days)
    signature = FAULTS[fault]

    columns: dict[str, np.ndarray] = {"RPM": 1480 + 15 * load + rng.normal(0, 2, periods)}
    overall = {}
    for axis, growth in zip(AXES, signature.axes):
        level = _AXIS_LEVEL[axis] * (1 + 0.25 * load + growth * severity)
        overall[axis] = level * np.exp(rng.normal(0, 0.04, periods))
        crest = 1.5 + signature.crest * severity + rng.normal(0, 0.05, periods)
        peak = overall[axis] * crest
        columns[f"{axis}_Overall"] = overall[axis]
        columns[f"{axis}_Peak"] = peak
        columns[f"{axis}_Peak_to_Peak"] = 2 * peak * np.exp(rng.normal(0, 0.02, periods))
        columns[f"{axis}_Crest_Factor"] = crest
        columns[f"{axis}_Overall_QC"] = overall[axis] + rng.normal(0, 0.01, periods)
    for axis in AXES:
        power = overall[axis] ** 2
        for share, growth, band in zip(_BAND_SHARE, signature.bands, BANDS):
            noise = np.exp(rng.normal(0, 0.08, periods))
            columns[f"{axis}_{band}"] = power * share * (1 + growth * severity) * noise
    indicators = {mode: np.abs(rng.normal(0.4, 0.1, periods)) for mode in FAIL_MODES}
    indicators[signature.indicator] = indicators[signature.indicator] + 6 * severity
    columns.update(indicators)
    total = sum(indicators.values())
    for mode in FAIL_MODES:
        columns[f"{mode}_percentage"] = 100 * indicators[mode] / total
    columns["Temperature"] = 40 + 8 * load + 10 * severity + rng.normal(0, 0.3, periods)

    frame = pd.DataFrame({name: columns[name] for name in feature_columns()})
    frame.insert(0, "_time", times.strftime("%Y-%m-%d %H:%M:%S") if time_as_text else times)
    if raw_labels:
        frame.columns = [raw_label(name) for name in frame.columns]
    return frame


# How often a real export deviates from one clean row per second.
SPLIT_SHARE = 0.02  # seconds delivered as two partial rows
MISSING_SHARE = 0.001  # cells left empty
GAP_MINUTES = 5  # one downtime gap, starting at 40 % of the span


def as_export(frame: pd.DataFrame, *, seed: int = 0, time_as_text: bool = False) -> pd.DataFrame:
    """The rows of `frame` (from `machine_frame`, times as datetimes) as a real export delivers them.

    Times carry a millisecond jitter within their second; a share of the
    seconds comes as two partial rows, the first with the time-domain values,
    the second with the band and failure-mode values, both with a temperature
    and a speed that disagree; a few cells are empty; the machine is down for a
    few minutes once. `time_as_text` gives the times as text with milliseconds.
    """
    rng = np.random.default_rng(seed)
    times = frame["_time"]
    start = times.iloc[0] + (times.iloc[-1] - times.iloc[0]) * 0.4
    rows = frame[(times < start) | (times >= start + pd.Timedelta(minutes=GAP_MINUTES))].reset_index(drop=True)
    values = [c for c in rows.columns if c != "_time"]
    cells = rows[values].to_numpy(copy=True)
    cells[rng.random(cells.shape) < MISSING_SHARE] = np.nan
    rows[values] = cells

    split = np.flatnonzero(rng.random(len(rows)) < SPLIT_SHARE)
    shared = [c for c in ("RPM", "Temperature") if c in values]
    later = [c for c in values if any(k in c for k in ("Band", *FAIL_MODES))]
    second = rows.iloc[split].copy()
    second[[c for c in values if c not in later + shared]] = np.nan
    second[shared] = second[shared].to_numpy() * 1.001
    rows.loc[split, later] = np.nan

    jitter = rng.integers(0, 1000, len(rows))
    jitter[split] //= 2  # the first half of a split second's row ...
    rows["_time"] += pd.to_timedelta(jitter, unit="ms")
    second["_time"] += pd.to_timedelta(rng.integers(500, 1000, len(second)), unit="ms")  # ... the second half
    rows = pd.concat([rows, second]).sort_values("_time", kind="stable").reset_index(drop=True)
    if time_as_text:
        rows["_time"] = rows["_time"].dt.strftime("%Y-%m-%d %H:%M:%S.%f").str[:-3]
    return rows


def _fault_severity(times: pd.DatetimeIndex, fault_start: str | None, fault_days: float) -> np.ndarray:
    if fault_start is None:
        return np.zeros(len(times))
    elapsed = (times - pd.Timestamp(fault_start)).total_seconds().to_numpy() / 86400.0
    return np.clip(elapsed / fault_days, 0.0, None) ** 2


@dataclass
class SampleMachine:
    """A monitored machine whose bearing wears out, and a recording of a failed sister machine.

    `healthy` is `healthy_days` of 1 Hz rows to train on; `daily_batches` holds
    one hour of 1 Hz rows per day of the monitored period, during which a
    bearing fault develops; `failure_recording` is an hour of a sister machine
    of the same type whose bearing has worn out further, to learn the deadline
    from.
    """

    healthy: pd.DataFrame
    daily_batches: list[pd.DataFrame]
    failure_recording: pd.DataFrame


def sample_machine(
    start: str = "2024-01-01",
    healthy_days: int = 3,
    monitored_days: int = 120,
    *,
    failure_day: int = 140,
    fault_days: float = 1500.0,
    seed: int = 0,
    raw_labels: bool = False,
) -> SampleMachine:
    """The sample machine: healthy history, daily batches as a fault grows, a failure recording.

    The fault starts with the monitored period and follows the growth of
    `machine_frame` with `fault_days`; the sister machine is recorded at the
    wear the monitored machine reaches on `failure_day`.
    """
    first_day = pd.Timestamp(start) + pd.Timedelta(days=healthy_days)

    def hour_of_day(day: int, seed: int) -> pd.DataFrame:
        return machine_frame(first_day + pd.Timedelta(days=day, hours=10), periods=3600, seed=seed,
                             fault_start=first_day, fault_days=fault_days, raw_labels=raw_labels)

    healthy = machine_frame(start, periods=healthy_days * 86_400, seed=seed, raw_labels=raw_labels)
    batches = [hour_of_day(day, seed + 1 + day) for day in range(monitored_days)]
    return SampleMachine(healthy, batches, hour_of_day(failure_day, seed + 1 + monitored_days))


# --- a fleet ---------------------------------------------------------------------

# Machine kinds of a fleet with the power (kW) and foundation their ISO 20816-3 class is looked up by.
KINDS = {"pump": (75.0, "Rigid"), "fan": (30.0, "Flexible"), "motor": (200.0, "Rigid"),
         "compressor": (450.0, "Flexible")}
# Seconds of 1 Hz rows in each hour of a fleet machine's training rows, and in each of its daily batches.
FLEET_SECONDS = 1800
# The fault severity at which a machine of the fleet counts as failed (see `sister_recording`).
FAILED_SEVERITY = 0.01
# The fleet's faulty machines, by position: the fault, the day it started and the day the machine fails.
FLEET_FAULTS = {0: ("bearing", -20, 30), 2: ("imbalance", -20, 26), 5: ("misalignment", -20, 33),
                9: ("looseness", -30, 40), 14: ("bearing", 0, 60)}
# Machines whose latest batch file is broken, by position.
FLEET_BROKEN = {3: "empty", 7: "corrupt", 10: "no time"}


@dataclass(frozen=True)
class FleetMachine:
    """One machine of a synthetic fleet.

    A machine with a `fault` reaches the failed severity on `failure_day`
    (counted from the start of monitoring); its fault started on `fault_day`.
    A machine with `broken` has its latest batch file broken in that way
    ("empty", "corrupt" or "no time").
    """

    name: str
    kind: str
    seed: int
    fault: str | None = None
    fault_day: float = 0.0
    failure_day: float = 0.0
    broken: str | None = None

    def rows(self, start: pd.Timestamp, monitoring: pd.Timestamp, periods: int, seed: int) -> pd.DataFrame:
        """`periods` 1 Hz rows from `start` as an export labels them, with the fault as far as it has grown
        (monitoring began at `monitoring`)."""
        if self.fault is None:
            return machine_frame(start, periods=periods, seed=seed, raw_labels=True)
        fault_days = (self.failure_day - self.fault_day) / np.sqrt(FAILED_SEVERITY)
        return machine_frame(start, periods=periods, seed=seed, fault=self.fault,
                             fault_start=monitoring + pd.Timedelta(days=self.fault_day), fault_days=fault_days,
                             raw_labels=True)


def fleet(size: int = 20, seed: int = 0) -> list[FleetMachine]:
    """A fleet of pumps, fans, motors and compressors: most healthy, five with a developing fault (two of them
    failing within a fortnight of a month's monitoring), three with a broken latest batch."""
    rng = np.random.default_rng(seed)
    kinds = list(KINDS)
    machines = []
    for number in range(size):
        kind = kinds[number % len(kinds)]
        fault, fault_day, failure_day = FLEET_FAULTS.get(number, (None, 0.0, 0.0))
        machines.append(FleetMachine(f"{kind}-{number + 1:02d}", kind, int(rng.integers(1 << 30)), fault,
                                     fault_day, failure_day, FLEET_BROKEN.get(number)))
    return machines


def hourly_rows(machine: FleetMachine, start: pd.Timestamp, hours: int) -> pd.DataFrame:
    """The first half hour of each of `hours` hours at 1 Hz: enough seconds per hour for hour bins."""
    start = pd.Timestamp(start)
    frames = [machine.rows(start + pd.Timedelta(hours=hour), start, FLEET_SECONDS, machine.seed + hour)
              for hour in range(hours)]
    return pd.concat(frames, ignore_index=True)


def daily_batch(machine: FleetMachine, monitoring: pd.Timestamp, day: int) -> pd.DataFrame:
    """The batch of monitoring day `day`: half an hour of 1 Hz rows from 10:00."""
    start = pd.Timestamp(monitoring) + pd.Timedelta(days=day, hours=10)
    return machine.rows(start, pd.Timestamp(monitoring), FLEET_SECONDS, machine.seed + 100_000 + day)


def sister_recording(kind: str, start: pd.Timestamp) -> pd.DataFrame:
    """Half an hour of a failed sister machine of a kind: a bearing worn to the failed severity."""
    sister = FleetMachine(f"{kind}-sister", kind, 7 + len(kind), "bearing", -1.0, 0.0)
    return sister.rows(pd.Timestamp(start), pd.Timestamp(start), FLEET_SECONDS, sister.seed)


def write_broken(path: str | Path, how: str, frame: pd.DataFrame) -> None:
    """A batch file broken as exports break: "empty" (no bytes), "corrupt" (cut short), "no time" (unreadable times)."""
    path = Path(path)
    if how == "empty":
        path.write_bytes(b"")
    elif how == "corrupt":
        frame.to_parquet(path, index=False)
        path.write_bytes(path.read_bytes()[: path.stat().st_size // 3])
    elif how == "no time":
        frame.assign(**{frame.columns[0]: "n/a"}).to_parquet(path, index=False)
    else:
        raise ValueError(f"unknown way to break a file: {how!r}")

"""Synthetic condition-monitoring rows of a rotating machine.

A reproducible stand-in for a real export, shared by the tests, the benchmarks
and the demo: one row per sample with a "_time" column, tri-axial vibration
features, band powers, failure-mode indicators, temperature and speed. The
machine runs a daily load cycle; an optional bearing fault develops from a
given time on and shows where a bearing fault shows in practice: in the upper
bands, the peaks and crest factors, and the bearing indicator.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

AXES = ("X", "Y", "Z")
TIME_MEASURES = ("Overall", "Peak", "Peak_to_Peak", "Crest_Factor", "Overall_QC")
BANDS = tuple(f"Power_in_Band_{band:02d}" for band in range(1, 11))
FAIL_MODES = ("Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass")

_AXIS_LEVEL = {"X": 2.0, "Y": 1.6, "Z": 1.2}  # mm/s r.m.s., a healthy medium machine
_BAND_SHARE = np.array([0.30, 0.22, 0.14, 0.10, 0.08, 0.06, 0.04, 0.03, 0.02, 0.01])
_FAULT_BANDS = np.array([0, 0, 0, 0, 0, 0.5, 1.0, 1.5, 2.0, 2.5])  # growth per unit fault severity


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
    fault_start: str | None = None,
    fault_days: float = 60.0,
    raw_labels: bool = False,
    time_as_text: bool = False,
) -> pd.DataFrame:
    """Rows of one machine, `periods` samples `freq` apart from `start`.

    With `fault_start`, a bearing fault grows from that time on; its severity
    reaches 1 (a clearly failing bearing) after `fault_days` days and keeps
    growing. `raw_labels` gives the display labels of a raw export ("Time",
    "X-Overall", ...); `time_as_text` gives the times as text, as a CSV would.
    """
    rng = np.random.default_rng(seed)
    times = pd.date_range(start, periods=periods, freq=freq)
    days = (times - times[0]).total_seconds().to_numpy() / 86400.0
    load = 0.5 + 0.3 * np.sin(2 * np.pi * (days % 1.0)) + 0.05 * rng.standard_normal(periods)
    severity = _fault_severity(times, fault_start, fault_days)

    columns: dict[str, np.ndarray] = {"RPM": 1480 + 15 * load + rng.normal(0, 2, periods)}
    overall = {}
    for axis in AXES:
        level = _AXIS_LEVEL[axis] * (1 + 0.25 * load + 0.6 * severity)
        overall[axis] = level * np.exp(rng.normal(0, 0.04, periods))
        crest = 1.5 + 1.5 * severity + rng.normal(0, 0.05, periods)
        peak = overall[axis] * crest
        columns[f"{axis}_Overall"] = overall[axis]
        columns[f"{axis}_Peak"] = peak
        columns[f"{axis}_Peak_to_Peak"] = 2 * peak * np.exp(rng.normal(0, 0.02, periods))
        columns[f"{axis}_Crest_Factor"] = crest
        columns[f"{axis}_Overall_QC"] = overall[axis] + rng.normal(0, 0.01, periods)
    for axis in AXES:
        power = overall[axis] ** 2
        for share, growth, band in zip(_BAND_SHARE, _FAULT_BANDS, BANDS):
            noise = np.exp(rng.normal(0, 0.08, periods))
            columns[f"{axis}_{band}"] = power * share * (1 + growth * severity) * noise
    indicators = {mode: np.abs(rng.normal(0.4, 0.1, periods)) for mode in FAIL_MODES}
    indicators["Bearing"] = indicators["Bearing"] + 6 * severity
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

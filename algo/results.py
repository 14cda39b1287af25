"""What a machine's jobs produced, in the one vocabulary that every host layer speaks.

The command line prints these summaries (as text or `--json`), the fleet
commits them to its store and the report draws them from there, so a
remaining life, a model or a light reads the same wherever it is shown. The
JSON form of any value comes from `plain`, and the store's parameters from
`scalar`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from datetime import datetime

import numpy as np
import pandas as pd

from algo import machine

SCORE_COLUMNS = ("time", "tsquare", "health_index", "suspicious_variable")
LIGHT_COLUMNS = ("kind", "feature", "time", "value", "light", "upper_warning", "upper_alert", "lower_warning",
                 "lower_alert")
LIMIT_COLUMNS = LIGHT_COLUMNS[5:]
FORECAST_COLUMNS = ("time", "score", "upper", "lower")


# --- plain values ------------------------------------------------------------------


def scalar(value):
    """A plain Python scalar: numpy numbers as Python ones, and NaN, infinities and NaT as None."""
    if value is None or value is pd.NaT:
        return None
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (pd.Timestamp, datetime)) and pd.isna(value):
        return None
    return value


def plain(value):
    """A JSON-ready copy of numbers, times, arrays and containers (missing values as null, times in ISO form)."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, pd.DataFrame):
        return records(value)
    value = scalar(value)
    if isinstance(value, datetime):
        return value.isoformat()
    return value


def printable(text) -> str:
    """Text with what a terminal would act on rather than show written as escapes ("\\x1b"): control
    characters (a line break, cursor moves, OSC 52 writing the clipboard), the bidirectional overrides that
    reorder what is shown, and the lone surrogates that stand for the bytes of a file name that is not UTF-8.
    A line stays one line and cannot steer the terminal it is printed on."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in str(text))


def records(table: pd.DataFrame) -> list[dict]:
    return [plain(row) for row in table.to_dict(orient="records")]


# --- a trained model ---------------------------------------------------------------


@dataclass(frozen=True)
class ModelSummary:
    """What people read of a trained model: its limits, its training window and how robust it is."""

    algo_config: str
    ucl: float
    rul_deadline: float
    rul_warning_line: float | None
    time_scale: str
    train_start: pd.Timestamp
    train_end: pd.Timestamp
    robust_index: float
    robust_status: str
    running_when: str  # the running condition the model was trained under, applied again when scoring
    samples: int
    features: int
    components: int

    @classmethod
    def of(cls, model: dict, settings: dict) -> ModelSummary:
        return cls(algo_config=model["algo_config"], ucl=model["ucl"], rul_deadline=model["rul_deadline"],
                   rul_warning_line=scalar(model.get("rul_warning_line")), time_scale=model["time_scale"],
                   train_start=pd.Timestamp(model["start_time"]), train_end=pd.Timestamp(model["end_time"]),
                   robust_index=model["training_model_robust_index"],
                   robust_status=model["training_model_robust_status"],
                   running_when=settings.get("running_when") or "always", samples=len(model["T2"]),
                   features=len(model["pca"].feature_names_in_), components=int(model["pca"].n_components_))


@dataclass(frozen=True)
class MachineRecord:
    """A trained machine as the fleet keeps it: its model's summary, file and what scoring grades against."""

    model: ModelSummary
    model_file: str  # relative to the store
    thresholds: dict | None  # failure-mode limits learnt from the training rows
    iso_power: float | None = None
    iso_foundation: str | None = None
    attributes: dict = field(default_factory=dict)  # what its data's partitions say of it: site, line
    alert_settings: dict | None = None  # the machine's own alert rule settings, from its manifest row


# --- scores and lights -------------------------------------------------------------


def score_rows(scored: machine.Scored, time_name: str) -> pd.DataFrame:
    """A scored batch as the store keeps it: time, T², health index and the batch's suspicious variable."""
    table = scored.table
    return pd.DataFrame({"time": table[time_name].to_numpy(), "tsquare": table["tsquare"].to_numpy(),
                         "health_index": table["Score"].to_numpy(), "suspicious_variable": scored.suspicious_variable})


def light_rows(kind: str, graded: machine.Graded) -> pd.DataFrame:
    """One row per graded feature: its mean, light and limits; ISO limits stand as the upper warning and alert."""
    entries = graded.lights
    limits = {"upper_warning": [_number(e.get("upper_warning", e.get("warning"))) for e in entries.values()],
              "upper_alert": [_number(e.get("upper_alert", e.get("alert"))) for e in entries.values()],
              "lower_warning": [_number(e.get("lower_warning")) for e in entries.values()],
              "lower_alert": [_number(e.get("lower_alert")) for e in entries.values()]}
    return pd.DataFrame({"kind": [kind] * len(entries), "feature": list(entries),
                         "time": [graded.window[1]] * len(entries),
                         "value": [_number(graded.values.get(feature)) for feature in entries],
                         "light": [entry["light"] for entry in entries.values()], **limits},
                        columns=list(LIGHT_COLUMNS))


def _number(value) -> float:
    """A limit or a mean as a number: NaN where there is none, or where it is text that is no number (ISO limits
    may be given as text)."""
    try:
        return float(value)
    except (TypeError, ValueError):
        return float("nan")


def lights_document(graded: machine.Graded, kind: str) -> dict:
    """A grading as JSON: the window, each feature's light, mean and limits, the worst light, what was skipped."""
    table = light_rows(kind, graded).set_index("feature")
    return {
        "window": {"start": graded.window[0], "end": graded.window[1]},
        "lights": {feature: plain(row) for feature, row in
                   table[["value", "light", *LIMIT_COLUMNS]].to_dict(orient="index").items()},
        "worst": graded.worst(),
        "skipped": graded.skipped,
    }


# --- remaining life ----------------------------------------------------------------


@dataclass(frozen=True)
class RulSummary:
    """A remaining-life result as people read it.

    When the life is unknown (too little history, say), `rul`, `unit` and the
    death probability are None and `note` says why. `show` is the grade's text,
    None for a result that is not graded.
    """

    rul: float | None
    unit: str | None
    rul_at_least: bool  # the machine outlives the forecast's horizon: the life is at least `rul`
    signal: str
    show: str | None
    death_probability: float | None
    rul_deadline: float
    rul_warning_line: float | None
    note: str | None
    last_time: pd.Timestamp | None  # the latest score the forecast starts from
    forecast: pd.DataFrame | None = field(default=None, compare=False)  # FORECAST_COLUMNS

    @classmethod
    def of(cls, rul: dict, time_name: str, last_time=None) -> RulSummary:
        """The summary of the library's result; `time_name` is the model's time column."""
        known = rul["rul_days"] >= 0
        return cls(rul=scalar(rul["rul_days"]) if known else None, unit=rul["unit"] if known else None,
                   rul_at_least=machine.at_least(rul), signal=rul["signal"],
                   show=rul["show"] if isinstance(rul["show"], str) else None,
                   death_probability=scalar(rul["death_probability"]) if known else None,
                   rul_deadline=scalar(rul["rul_deadline"]), rul_warning_line=scalar(rul.get("rul_warning_line")),
                   note=None if known else rul["unit"], last_time=None if last_time is None else pd.Timestamp(last_time),
                   forecast=_forecast(rul, time_name))

    def life(self) -> str:
        """The remaining life as people read it: "13 days", "≥ 90 days", "unknown"."""
        return life_text(self.rul, self.unit, self.rul_at_least)

    def document(self) -> dict:
        """The result as JSON, with its forecast steps."""
        fields = {name: getattr(self, name) for name in self.__dataclass_fields__ if name != "forecast"}
        return plain({**fields, "forecast": [] if self.forecast is None else self.forecast})


def _forecast(rul: dict, time_name: str) -> pd.DataFrame | None:
    steps = machine.forecast_rows(rul)
    if steps is None:
        return None
    return pd.DataFrame({"time": steps[time_name].to_numpy(), "score": steps["Score"].to_numpy(),
                         "upper": steps["upper_CI"].to_numpy(), "lower": steps["lower_CI"].to_numpy()})


def life_text(rul, unit: str | None, at_least: bool) -> str:
    """A remaining life as people read it: "13 days", "≥ 90 days"."""
    if rul is None or pd.isna(rul) or rul < 0:
        return "unknown"
    return f"{'≥ ' if at_least else ''}{rul:g} {unit}"


# --- what one machine's job produced for the store ---------------------------------


@dataclass
class Produced:
    """Everything one machine's job produced that the store keeps; each part None when the job made none."""

    machine: MachineRecord | None = None
    scores: pd.DataFrame | None = None  # SCORE_COLUMNS
    lights: pd.DataFrame | None = None  # LIGHT_COLUMNS
    rul: RulSummary | None = None

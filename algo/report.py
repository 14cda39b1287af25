"""The fleet report: one self-contained HTML page for a maintenance planner.

The page answers the three morning questions: which machines need attention
first, why, and how long they have. It is rendered from a `Snapshot` of the
fleet store's frames; the only analytics on it are the library's own. Bad
zones come from `HI.detect_bad_HI_zone` on the health-index history of each
machine's current model, and the alarm times are those scores whose T²
exceeds the model's limit.
Script, styles and data are inline, so the page opens on a plant computer
without a network and can be mailed or put on a share.
"""

from __future__ import annotations

import html
import json
import math
import string
from dataclasses import dataclass, field
from datetime import datetime, timezone
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd

from algo import machine, writing
from algo.alerts import tables as alert_tables
from algo.results import plain

PAGE = resources.files("algo") / "report_page"
PAGE_SUFFIXES = (".html", ".htm")
# What the page shows of an alert.
ALERT_COLUMNS = ("machine", "rule", "severity", "since", "opened", "escalated", "cleared", "acknowledged_by",
                 "acknowledged_at", "note", "summary")
# What the page shows of a machine's model.
MODEL_COLUMNS = ("algo_config", "ucl", "rul_deadline", "rul_warning_line", "train_start", "train_end", "trained_at")
# Finer than anyone reads a health index (0-100) or a T² off a chart, and short
# enough that 200 machines' month of hourly scores stay within a few megabytes.
DECIMALS = 2


@dataclass(frozen=True)
class Snapshot:
    """The store's frames at one moment, as its read API returns them, where and when (UTC) they were read."""

    source: str
    made: datetime
    status: pd.DataFrame
    history: pd.DataFrame
    forecasts: pd.DataFrame
    machines: pd.DataFrame
    lights: pd.DataFrame
    alerts: pd.DataFrame = field(default_factory=lambda: pd.DataFrame(columns=[*ALERT_COLUMNS, "is_open"]))


def snapshot(store, source: str | Path) -> Snapshot:
    """What the page shows, read from an open fleet store."""
    return Snapshot(
        source=str(source),
        made=datetime.now(timezone.utc),
        status=store.status(),
        history=store.history(current_model=True),
        forecasts=store.forecasts(),
        machines=store.machines(),
        lights=store.lights(),
        alerts=alert_tables.history(store),
    )


def write(store: str | Path, out: str | Path) -> Path:
    """The page of the fleet store in the folder `store`, written whole to `out`."""
    from algo.store import Store

    out = writing.check_output(out, PAGE_SUFFIXES)  # before the store is read
    with Store.open(store, mode="r") as opened:
        snap = snapshot(opened, store)
    return writing.write_text(out, render(snap))


def write_page(snap: Snapshot, out: str | Path) -> Path:
    """The page of `snap`, written whole to `out`."""
    out = writing.check_output(out, PAGE_SUFFIXES)
    return writing.write_text(out, render(snap))


def render(snap: Snapshot) -> str:
    """The page as one HTML document."""
    template = string.Template(_asset("page.html"))
    return template.substitute(
        title=html.escape(f"Fleet health: {snap.source}"),
        style=_asset("page.css"),
        data=page_json(page_data(snap)),
        plotly=_plotly_script(),
        script=_asset("page.js"),
    )


def _asset(name: str) -> str:
    return (PAGE / name).read_text(encoding="utf-8")


def _plotly_script() -> str:
    from plotly.offline import get_plotlyjs

    return get_plotlyjs()


def page_json(document: dict) -> str:
    """`document` as compact JSON that is safe inside a script element."""
    text = json.dumps(document, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    # No machine name or error text may close the script element that holds the data.
    return text.replace("<", "\\u003c")


# --- the data behind the page ---------------------------------------------------


def page_data(snap: Snapshot) -> dict:
    """Everything the page shows: one entry per machine, in the store's risk order."""
    history = _by_machine(_scored(snap.history))
    forecasts = _by_machine(snap.forecasts)
    lights = _by_machine(snap.lights)
    alerts = _by_machine(snap.alerts)
    models = {row["machine"]: row for row in snap.machines.to_dict(orient="records")}
    machines = [
        {**machine_entry(row, history.get(row["machine"]), forecasts.get(row["machine"]),
                         models.get(row["machine"]), lights.get(row["machine"])),
         "alerts": alert_entries(alerts.get(row["machine"]))}
        for row in snap.status.to_dict(orient="records")
    ]
    return {
        "made": snap.made.strftime("%Y-%m-%d %H:%M UTC"),
        "source": snap.source,
        "failed": int((snap.status["last_outcome"] == "failed").sum()),
        "open_alerts": alert_entries(snap.alerts[snap.alerts["is_open"].astype(bool)]),
        "machines": machines,
    }


def alert_entries(alerts: pd.DataFrame | None) -> list[dict]:
    """Alerts as the page shows them, in the store's order: open ones first, worst and newest first."""
    if alerts is None:
        return []
    return [{key: plain(row[key]) for key in ALERT_COLUMNS} for row in alerts.to_dict(orient="records")]


def _scored(history: pd.DataFrame) -> pd.DataFrame:
    # A batch too short to score comes back with T² and health index -1: it has no score to draw.
    return history[~(history["tsquare"] < 0)]


def _by_machine(frame: pd.DataFrame) -> dict[str, pd.DataFrame]:
    return {name: rows for name, rows in frame.groupby("machine", sort=False)}


def machine_entry(status: dict, scores, forecast, model, lights) -> dict:
    """One machine: its status row, model limits, scores, alarms, bad zones, forecast and lights."""
    entry = {key: plain(value) for key, value in status.items()}
    entry["model"] = None if model is None else {key: plain(model.get(key)) for key in MODEL_COLUMNS}
    entry["scores"] = None if scores is None else {
        "time": time_steps(scores["time"]),
        "health_index": rounded(scores["health_index"]),
        "tsquare": rounded(scores["tsquare"]),
    }
    entry["alarms"] = [] if scores is None or model is None else alarms(scores, model["ucl"])
    entry["zones"] = [] if scores is None or model is None else bad_zones(scores, model)
    entry["forecast"] = None if forecast is None else {
        "time": time_steps(forecast["time"]),
        "score": rounded(forecast["score"]),
        "upper": rounded(forecast["upper"]),
        "lower": rounded(forecast["lower"]),
    }
    entry["lights"] = [] if lights is None else [
        [row["kind"], row["feature"], plain(row["value"]), plain(row["light"])]
        for row in lights.to_dict(orient="records")
    ]
    return entry


def alarms(scores: pd.DataFrame, ucl: float) -> list:
    """Positions of the scores whose T² exceeds the model's limit, grouped by the variable stored behind them."""
    positions = np.flatnonzero((scores["tsquare"] > ucl).to_numpy())
    variables = scores["suspicious_variable"].to_numpy()[positions]
    groups: dict = {}
    for position, variable in zip(positions.tolist(), variables):
        groups.setdefault(plain(variable), []).append(position)
    return [[variable, group] for variable, group in groups.items()]


def bad_zones(scores: pd.DataFrame, model: dict) -> list[list[int]]:
    """The library's bad-HI zones of the stored history, as pairs of epoch seconds."""
    threshold = zone_threshold(model)
    if threshold is None or scores.empty:
        return []
    frame = pd.DataFrame({"Score": scores["health_index"].to_numpy()}, index=pd.DatetimeIndex(scores["time"]))
    zones = machine.bad_zones(frame, threshold)
    return [[_epoch(start), _epoch(end)] for start, end in zones]


def zone_threshold(model: dict) -> float | None:
    """The health index below which a stretch counts as bad: the warning line where the model has one."""
    # A model without a warning line has only its failure deadline to tell a bad stretch by.
    for key in ("rul_warning_line", "rul_deadline"):
        value = plain(model.get(key))
        if value is not None:
            return value
    return None


# --- compact JSON values ----------------------------------------------------------


def time_steps(times: pd.Series) -> list[int]:
    """Epoch seconds of the first time, then the step to each next one: short numbers for regular scores."""
    seconds = pd.DatetimeIndex(times).to_numpy(dtype="datetime64[s]").astype(np.int64)
    return np.diff(seconds, prepend=0).tolist()


def rounded(values: pd.Series) -> list:
    """Values to `DECIMALS` places, a missing or infinite value as null."""
    numbers = np.round(pd.to_numeric(values, errors="coerce").to_numpy(dtype=float), DECIMALS)
    return [value if math.isfinite(value) else None for value in numbers.tolist()]


def _epoch(time: pd.Timestamp) -> int:
    # The store's times are naive UTC; the page reads epoch seconds as UTC and shows them so.
    return int(pd.Timestamp(time).value // 1_000_000_000)

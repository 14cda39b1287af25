"""The alerting's tables in the fleet store: what the rules read of each machine, the alerts, the outbox.

`alert_watch` keeps, per machine, the little the rules need, brought up to
date from each committed batch: so evaluating a rule costs the same whatever
the length of a machine's history. Its batch times are JSON text, since the
oldest DuckDB releases supported cannot replace a row with a list in it. The tables are the store's (its migration
makes them); this module holds the SQL that reads and writes them.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from datetime import datetime

import numpy as np
import pandas as pd

from algo.alerts.config import AlertConfig, Rule
from algo.alerts.rules import Facts
from algo.alerts.state import Acknowledgement, Alert
from algo.results import Produced, scalar
from algo.store import Outcome, Store, naive_utc

# Commands whose failures are failures of a machine's input (its files), which the failing-input rule counts.
INPUT_COMMANDS = ("train", "score")
# Batch ends kept per machine, for its usual interval between batches.
RECENT_BATCHES = 11
ALERT_COLUMNS = ("alert", "machine", "rule", "severity", "since", "opened", "escalated", "cleared", "gone_since",
                 "acknowledged_by", "acknowledged_at", "note", "triggered", "summary", "run")
LIGHT_FACTS = ("kind", "feature", "value", "light", "upper_warning", "upper_alert", "lower_warning", "lower_alert")


def _records(result) -> list[dict]:
    names = [column[0] for column in result.description]
    return [dict(zip(names, row)) for row in result.fetchall()]


def _only(machines: Sequence[str] | None, column: str = "machine") -> tuple[str, list]:
    if machines is None:
        return "TRUE", []
    return f"list_contains(?, {column})", [list(machines)]


# --- what the rules read ------------------------------------------------------------------


def alarm_line(ucl, warning_line) -> str:
    """What makes a score alarming for a model, in words: a health index below its warning line where it has
    one, else a T² above its limit (as `_score_runs` counts them)."""
    if warning_line is not None and not pd.isna(warning_line):
        return f"health index below the warning line {warning_line:.1f}"
    if ucl is not None and not pd.isna(ucl):
        return f"T² above its limit {ucl:.4g}"
    return "no limit"


def update_watch(store: Store, command: str, entries: Sequence[tuple[Outcome, Produced]]) -> None:
    """Brings what the rules read of each machine of a committed batch up to date (in its transaction)."""
    names = [outcome.machine for outcome, _ in entries]
    where, parameters = _only(names)
    known = {row["machine"]: row for row in _records(store.execute(
        f"SELECT * FROM alert_watch WHERE {where}", parameters))}
    limits = store.execute(f"SELECT machine, ucl, rul_warning_line FROM machines WHERE {where}", parameters).df()
    runs = _score_runs(entries, known, limits.set_index("machine"))
    for outcome, produced in entries:
        row = dict(known.get(outcome.machine) or _unwatched(outcome.machine))
        if outcome.machine in runs:
            count, trailing, last = runs[outcome.machine]
            row["alarm_streak"] = row["alarm_streak"] + count if trailing is None else trailing
            row["batch_ends"] = json.dumps([*json.loads(row["batch_ends"])[-(RECENT_BATCHES - 1):], last.isoformat()])
            row["last_score"] = last
        if produced.rul is not None:
            rul = produced.rul
            row.update(signal=rul.signal, rul=rul.rul, unit=rul.unit, rul_at_least=rul.rul_at_least)
        if command in INPUT_COMMANDS:
            failed = outcome.outcome == "failed"
            row["failed_runs"] = row["failed_runs"] + 1 if failed else 0
            if failed:
                row["last_error"] = json.dumps({"stage": outcome.stage, "message": outcome.message,
                                                "note": outcome.note, "run": outcome.run})
        row["run"] = outcome.run
        known[outcome.machine] = row
    store.insert_records("alert_watch", [known[name] for name in dict.fromkeys(names)], key=["machine"])


def _unwatched(machine: str) -> dict:
    return {"machine": machine, "last_score": None, "batch_ends": "[]", "alarm_streak": 0, "signal": None,
            "rul": None, "unit": None, "rul_at_least": False, "failed_runs": 0, "last_error": None, "run": None}


def _score_runs(entries: Sequence[tuple[Outcome, Produced]], known: dict,
                limits: pd.DataFrame) -> dict[str, tuple[int, int | None, datetime]]:
    """Per trained machine of the batch with scores later than its latest (a batch scored again adds nothing):
    how many, how many alarming ones end them (None: all of them), and the latest time."""
    parts = [(outcome.machine, produced.scores) for outcome, produced in entries
             if produced.scores is not None and not produced.scores.empty and outcome.machine in limits.index]
    if not parts:
        return {}

    def column(name: str) -> np.ndarray:  # numpy, not a frame per machine: a batch holds thousands of machines
        return np.concatenate([scores[name].to_numpy() for _, scores in parts])

    scores = pd.DataFrame({"machine": np.repeat([name for name, _ in parts], [len(s) for _, s in parts]),
                           "time": naive_utc(column("time")).to_numpy(),
                           "tsquare": column("tsquare").astype(float),
                           "health_index": column("health_index").astype(float)})
    latest = pd.to_datetime(scores["machine"].map({name: row["last_score"] for name, row in known.items()}))
    # A batch too short to score has T² -1: no score.
    scores = scores[(scores["tsquare"] >= 0) & ~(scores["time"] <= latest)].sort_values(["machine", "time"])
    if scores.empty:
        return {}
    line = scores["machine"].map(limits["rul_warning_line"])
    alarming = np.where(line.notna(), scores["health_index"] < line,
                        scores["tsquare"] > scores["machine"].map(limits["ucl"]))
    by_machine = scores.groupby("machine", sort=False)
    position = by_machine.cumcount()
    last_calm = position.where(~alarming).groupby(scores["machine"], sort=False).max()
    counts, ends, last_calm = by_machine.size().to_dict(), by_machine["time"].max().to_dict(), last_calm.to_dict()
    return {name: (count, None if pd.isna(last_calm[name]) else int(count - last_calm[name] - 1),
                   ends[name].to_pydatetime()) for name, count in counts.items()}


def read_facts(store: Store, config: AlertConfig, machines: Sequence[str] | None, wall: datetime) -> list[Facts]:
    """The facts of the machines (all that are watched, when None), with each machine's rules."""
    where, parameters = _only(machines, "w.machine")
    rows = _records(store.execute(f"""
        SELECT w.*, m.ucl, m.rul_warning_line, m.alert_settings FROM alert_watch w LEFT JOIN machines m
        USING (machine) WHERE {where} ORDER BY w.machine""", parameters))
    latest = store.execute("SELECT max(last_score) FROM alert_watch").fetchall()[0][0]
    lights: dict[str, list[dict]] = {}
    where, parameters = _only(machines)
    # The rules look at yellow and red lights only.
    for light in _records(store.execute(f"""SELECT machine, {', '.join(LIGHT_FACTS)} FROM lights
                                            WHERE light IN ('yellow', 'red') AND {where}""", parameters)):
        lights.setdefault(light.pop("machine"), []).append({k: scalar(v) for k, v in light.items()})
    rules_of = _rules_cache(config)
    return [_facts(row, rules_of(row["alert_settings"]), latest, wall, tuple(lights.get(row["machine"], ())))
            for row in rows]


def _rules_cache(config: AlertConfig):
    cache: dict[str | None, dict[str, Rule]] = {}

    def rules_of(settings: str | None) -> dict[str, Rule]:
        if settings not in cache:
            cache[settings] = config.rules_of(json.loads(settings) if settings else None)
        return cache[settings]

    return rules_of


def _facts(row: dict, rules: dict[str, Rule], latest: datetime | None, wall: datetime, lights: tuple) -> Facts:
    now = wall if rules["silent"]["clock"] == "wall" or latest is None else latest
    return Facts(
        machine=row["machine"], clock=row["last_score"] or wall, now=now, rules=rules, last_score=row["last_score"],
        batch_ends=tuple(datetime.fromisoformat(end) for end in json.loads(row["batch_ends"])), alarm_streak=row["alarm_streak"] or 0,
        alarm_line=alarm_line(row["ucl"], row["rul_warning_line"]), signal=row["signal"], rul=scalar(row["rul"]),
        unit=row["unit"], rul_at_least=bool(row["rul_at_least"]), failed_runs=row["failed_runs"] or 0,
        last_error=json.loads(row["last_error"]) if row["last_error"] else None, lights=lights)


# --- the alerts ----------------------------------------------------------------------------


def open_alerts(store: Store, machines: Sequence[str] | None) -> dict[tuple[str, str], Alert]:
    where, parameters = _only(machines)
    rows = _records(store.execute(f"SELECT * FROM alerts WHERE cleared IS NULL AND {where}", parameters))
    return {(row["machine"], row["rule"]): _alert(row) for row in rows}


def _alert(row: dict) -> Alert:
    by, at, note = (row.pop(column) for column in ("acknowledged_by", "acknowledged_at", "note"))
    return Alert(**{**row, "triggered": json.loads(row["triggered"]) if row["triggered"] else {}},
                 acknowledged=None if by is None else Acknowledgement(by, at, note))


def next_alert_number(store: Store) -> int:
    return int(store.execute("SELECT coalesce(max(alert), 0) + 1 FROM alerts").fetchall()[0][0])


def put_alerts(store: Store, alerts: Iterable[Alert]) -> None:
    store.insert_records("alerts", [_alert_row(alert) for alert in alerts], key=["alert"])


def _alert_row(alert: Alert) -> dict:
    acknowledged = alert.acknowledged or Acknowledgement(None, None, None)
    row = {column: getattr(alert, column, None) for column in ALERT_COLUMNS}
    return {**row, "triggered": json.dumps(alert.triggered), "acknowledged_by": acknowledged.by,
            "acknowledged_at": acknowledged.at, "note": acknowledged.note}


def history(store: Store, open_only: bool = False, machines: Sequence[str] | None = None) -> pd.DataFrame:
    """The alerts, open ones first, worst and newest first."""
    where, parameters = _only(machines)
    return store.execute(f"""
        SELECT {', '.join(ALERT_COLUMNS)}, cleared IS NULL AS is_open FROM alerts
        WHERE {where} {'AND cleared IS NULL' if open_only else ''}
        ORDER BY cleared IS NULL DESC, list_position(['info', 'warning', 'critical'], severity) DESC,
                 coalesce(escalated, opened) DESC, alert DESC""", parameters).df()


def acknowledge(store: Store, machine: str, rule: str | None, by: str, note: str | None, when: datetime) -> int:
    """Acknowledges the machine's open alerts (of one rule, or all); how many."""
    found = store.execute("""UPDATE alerts SET acknowledged_by = ?, acknowledged_at = ?, note = ?
                             WHERE machine = ? AND (? IS NULL OR rule = ?) AND cleared IS NULL RETURNING alert""",
                          [by, when, note, machine, rule, rule]).fetchall()
    return len(found)


# --- the outbox ------------------------------------------------------------------------------


def put_notifications(store: Store, rows: list[dict]) -> None:
    store.insert_records("outbox", rows)


def pending(store: Store) -> list[dict]:
    """The notifications not yet delivered, oldest first."""
    return _records(store.execute("""SELECT key, channel, payload, attempts FROM outbox WHERE delivered IS NULL
                                     ORDER BY created, alert, key, channel"""))


def mark_delivered(store: Store, key: str, channel: str, when: datetime, tries: int) -> None:
    store.execute("""UPDATE outbox SET delivered = ?, last_attempt = ?, attempts = attempts + ?, last_error = NULL
                     WHERE key = ? AND channel = ?""", [when, when, tries, key, channel])


def mark_failed(store: Store, key: str, channel: str, when: datetime, tries: int, error: str) -> None:
    store.execute("""UPDATE outbox SET last_attempt = ?, attempts = attempts + ?, last_error = ?
                     WHERE key = ? AND channel = ?""", [when, tries, error, key, channel])


def outbox(store: Store) -> pd.DataFrame:
    return store.execute("""SELECT key, channel, alert, transition, created, attempts, last_attempt, last_error,
                                   delivered FROM outbox ORDER BY created, alert, channel""").df()

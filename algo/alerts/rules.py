"""The rules: what each says of a machine, from what the store holds of it.

A rule reads a machine's `Facts` (its latest remaining life and signal, its
latest lights, the run of alarming scores at the end of its history, when its
batches arrived, how many runs in a row failed it) and finds a severity, the
values behind it and one line for people; or nothing, when its condition does
not hold. Whether that opens, escalates or clears an alert is `state`'s.
"""

from __future__ import annotations

import statistics

from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import datetime

import pandas as pd

from algo.alerts.config import Rule
from algo.results import life_text, plain

MINUTES_A_DAY = 1440
COLOUR_RANK = {"yellow": 1, "red": 2}


@dataclass(frozen=True)
class Facts:
    """What the rules read of one machine."""

    machine: str
    clock: datetime  # the machine's own time: its latest score, or the wall clock before it has one
    now: datetime  # the time a silence is measured to (the fleet's latest score, or the wall clock)
    rules: dict[str, Rule]
    last_score: datetime | None = None
    batch_ends: tuple[datetime, ...] = ()  # the latest score of each of its recent batches
    alarm_streak: int = 0  # alarming scores at the end of its history
    alarm_line: str | None = None  # what made them alarming: "health index below the warning line 62.5"
    signal: str | None = None
    rul: float | None = None
    unit: str | None = None
    rul_at_least: bool = False
    failed_runs: int = 0  # runs in a row that failed the machine's input (training or scoring)
    last_error: dict | None = None
    lights: tuple[dict, ...] = field(default=())  # the latest lights: kind, feature, value, light and limits


@dataclass(frozen=True)
class Finding:
    severity: str
    triggered: dict  # the values behind it, kept with the alert and sent with its notifications
    summary: str


@dataclass(frozen=True)
class Condition:
    """A rule's verdict on a machine at the machine's time: a finding, or None when the condition is gone."""

    machine: str
    rule: str
    time: datetime
    finding: Finding | None


def conditions(facts: Facts, only: set[str] | None = None) -> list[Condition]:
    """Every rule's condition on the machine (a rule switched off finds nothing); `only` names rules."""
    found = []
    for name, check in RULES.items():
        rule = facts.rules[name]
        if only is not None and name not in only:
            continue
        finding = check(facts, rule) if rule.enabled else None
        found.append(Condition(facts.machine, name, facts.clock, finding))
    return found


# --- the rules ---------------------------------------------------------------------------


def remaining_days(facts: Facts) -> float | None:
    if facts.rul is None or pd.isna(facts.rul) or facts.rul_at_least:  # a life beyond the horizon is no short one
        return None
    return facts.rul if facts.unit == "days" else facts.rul / MINUTES_A_DAY


def signal_rule(facts: Facts, rule: Rule) -> Finding | None:
    days = remaining_days(facts)
    short = days is not None and days < rule["days"]
    if not short and facts.signal not in COLOUR_RANK:
        return None
    red = short or facts.signal == "red"
    life = life_text(facts.rul, facts.unit, facts.rul_at_least)
    triggered = {"signal": facts.signal, "remaining_life": facts.rul, "unit": facts.unit,
                 "rul_at_least": facts.rul_at_least, "days_limit": rule["days"]}
    return Finding(rule.severity if red else rule.lower_severity(), plain(triggered),
                   f"signal {facts.signal}, remaining life {life} (alerts below {rule['days']:g} days)")


def light_rule(kind: str) -> Callable[[Facts, Rule], Finding | None]:
    what = "failure-mode" if kind == "failure_mode" else "ISO 20816-3"

    def check(facts: Facts, rule: Rule) -> Finding | None:
        lit = [light for light in facts.lights if light["kind"] == kind and light["light"] in COLOUR_RANK]
        if not lit:
            return None
        worst = max(lit, key=lambda light: (COLOUR_RANK[light["light"]], light["feature"]))
        limit = crossed_limit(worst)
        triggered = {"feature": worst["feature"], "value": worst["value"], "light": worst["light"], "limit": limit,
                     "others": {light["feature"]: light["light"] for light in lit if light is not worst}}
        severity = rule.severity if worst["light"] == "red" else rule.lower_severity()
        against = "" if limit is None else f" against its limit {limit:.4g}"
        return Finding(severity, plain(triggered),
                       f"{what} light {worst['light']}: {worst['feature']} {_number(worst['value'])}{against}"
                       + (f", and {len(lit) - 1} more" if len(lit) > 1 else ""))

    return check


def crossed_limit(light: dict) -> float | None:
    """The limit a yellow or red light's value is past: its upper or lower warning or alert."""
    level = "alert" if light["light"] == "red" else "warning"
    upper, lower = light.get(f"upper_{level}"), light.get(f"lower_{level}")
    value = light["value"]
    if upper is not None and not pd.isna(upper) and (value is None or pd.isna(value) or value >= upper):
        return float(upper)
    return None if lower is None or pd.isna(lower) else float(lower)


def streak_rule(facts: Facts, rule: Rule) -> Finding | None:
    if facts.alarm_streak < rule["scores"]:
        return None
    triggered = {"scores": facts.alarm_streak, "limit": rule["scores"], "against": facts.alarm_line}
    return Finding(rule.severity, triggered,
                   f"{facts.alarm_streak} alarming scores in a row ({facts.alarm_line}; alerts from {rule['scores']})")


def silence_limit(facts: Facts, rule: Rule) -> pd.Timedelta | None:
    """How long a machine may go without a new score: as set, else `factor` times its usual interval between
    batches (the median of its recent ones); None while it has had fewer than two batches."""
    if rule["after"] is not None:
        return rule["after"]
    if len(facts.batch_ends) < 2:
        return None
    ends = facts.batch_ends
    return pd.Timedelta(statistics.median(later - earlier for earlier, later in zip(ends, ends[1:]))) * rule["factor"]


def silent_rule(facts: Facts, rule: Rule) -> Finding | None:
    limit = silence_limit(facts, rule)
    if facts.last_score is None or limit is None or limit <= pd.Timedelta(0):
        return None
    quiet = pd.Timestamp(facts.now) - pd.Timestamp(facts.last_score)
    if quiet <= limit:
        return None
    triggered = {"last_score": facts.last_score, "silent_for": str(quiet), "limit": str(limit)}
    return Finding(rule.severity, plain(triggered),
                   f"no new score since {pd.Timestamp(facts.last_score):%Y-%m-%d %H:%M} ({quiet} without one; "
                   f"alerts after {limit})")


def failing_input_rule(facts: Facts, rule: Rule) -> Finding | None:
    if facts.failed_runs < rule["runs"]:
        return None
    error = facts.last_error or {}
    line = f"{error.get('stage')}: {error.get('message')}" + (f" ({error['note']})" if error.get("note") else "")
    triggered = {"runs": facts.failed_runs, "limit": rule["runs"], "last_error": error}
    return Finding(rule.severity, triggered, f"{facts.failed_runs} run{'s' if facts.failed_runs != 1 else ''} in a row failed; the last: {line}")


def _number(value) -> str:
    return "none" if value is None or pd.isna(value) else f"{value:.4g}"


RULES: dict[str, Callable[[Facts, Rule], Finding | None]] = {
    "signal": signal_rule,
    "failure_mode": light_rule("failure_mode"),
    "iso": light_rule("iso"),
    "streak": streak_rule,
    "silent": silent_rule,
    "failing_input": failing_input_rule,
}

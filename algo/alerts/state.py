"""An alert's life: opened on a transition, escalated, acknowledged, cleared once its condition has stayed away.

There is at most one open alert per machine and rule. While it is open it is
not told again: a condition that comes back before the rule's `hold` has passed
keeps the alert it had, so a machine that flaps between green and yellow around
a limit raises one alert, not one per batch (the minimum duration is on the
clearing side: the condition must be gone for `hold`, measured on the machine's
own clock, its latest score). A higher severity escalates the alert and is told;
a lower one changes nothing. An acknowledged alert is told nothing more, its
clearing included, unless it escalates, which lifts the acknowledgement.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from datetime import datetime

import pandas as pd

from algo.alerts.config import SEVERITIES, Rule
from algo.alerts.rules import Condition

OPENED, ESCALATED, CLEARED = "opened", "escalated", "cleared"


@dataclass(frozen=True)
class Acknowledgement:
    by: str
    at: datetime
    note: str | None


@dataclass(frozen=True)
class Alert:
    """An alert as the store keeps it; times are naive UTC. `since` is the machine's time when its condition
    was first seen, `opened`/`escalated`/`cleared` when alerting noticed, `gone_since` the machine's time since
    when the condition is away (None while it holds)."""

    alert: int
    machine: str
    rule: str
    severity: str
    since: datetime
    opened: datetime
    triggered: dict
    summary: str
    run: int | None
    escalated: datetime | None = None
    cleared: datetime | None = None
    gone_since: datetime | None = None
    acknowledged: Acknowledgement | None = None


@dataclass(frozen=True)
class Change:
    """An alert after a step; `transition` is what is told ("opened", "escalated", "cleared"), None for a change
    kept quietly (the condition away or back within the hold), and `notify` whether anyone is told."""

    alert: Alert
    transition: str | None
    notify: bool


def step(current: Alert | None, condition: Condition, rule: Rule, now: datetime, run: int | None,
         number: int) -> Change | None:
    """What `condition` does to the machine's open alert of its rule (`current`, or None); `number` is the
    alert number a new alert takes. None: nothing changes."""
    finding = condition.finding
    if current is None:
        if finding is None:
            return None
        opened = Alert(number, condition.machine, condition.rule, finding.severity, condition.time, now,
                       finding.triggered, finding.summary, run)
        return Change(opened, OPENED, True)
    if finding is not None:
        if _rank(finding.severity) > _rank(current.severity):
            escalated = replace(current, severity=finding.severity, escalated=now, triggered=finding.triggered,
                                summary=finding.summary, gone_since=None, acknowledged=None, run=run)
            return Change(escalated, ESCALATED, True)
        return Change(replace(current, gone_since=None), None, False) if current.gone_since is not None else None
    gone_since = current.gone_since or condition.time
    if pd.Timestamp(condition.time) - pd.Timestamp(gone_since) >= rule.hold:
        cleared = replace(current, cleared=now, gone_since=gone_since)
        return Change(cleared, CLEARED, current.acknowledged is None)
    return Change(replace(current, gone_since=gone_since), None, False) if current.gone_since is None else None



def _rank(severity: str) -> int:
    return SEVERITIES.index(severity)

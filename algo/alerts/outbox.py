"""The outbox: each notification written with the alert change that makes it, then delivered after the commit.

A notification is a row per channel, written in the transaction of the results
and alert changes that caused it, so none is lost with a crash and none is
made for a change that was rolled back. Delivery reads the rows not yet
delivered, sends each (retrying a failed send with a doubling wait), and marks
it delivered only once its receiver took it: a row is never sent after its
mark, and one sent but not marked (the process killed in between) is sent
again with the same idempotency key. A run spends at most its budget on
delivery; what is left waits for the next run or `fleet alerts send`.
"""

from __future__ import annotations

import hashlib
import json
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from datetime import datetime

from algo.alerts import channels, tables
from algo.alerts.config import AlertConfig
from algo.alerts.state import Change
from algo.results import plain
from algo.store import Store, utc_now


def idempotency_key(machine: str, rule: str, transition: str, when: datetime) -> str:
    """The key of a notification: the same for every send of it, different for every other notification."""
    identity = json.dumps([machine, rule, transition, when.isoformat()], ensure_ascii=False)
    return hashlib.sha256(identity.encode()).hexdigest()[:32]


def payload(change: Change, when: datetime, store: str) -> dict:
    """The JSON document of a notification (README: the payload)."""
    alert = change.alert
    return plain({
        "key": idempotency_key(alert.machine, alert.rule, change.transition, when),
        "transition": change.transition, "time": when, "machine": alert.machine, "rule": alert.rule,
        "severity": alert.severity, "summary": alert.summary, "since": alert.since, "opened": alert.opened,
        "triggered": alert.triggered, "alert": alert.alert, "run": alert.run, "store": store,
    })


def notifications(changes: Iterable[Change], config: AlertConfig, when: datetime, store: str) -> list[dict]:
    """The outbox rows of the changes that are told: one per change and channel that takes it."""
    rows = []
    for change in changes:
        if not change.notify:
            continue
        document = payload(change, when, store)
        text = json.dumps(document, ensure_ascii=False)
        for channel in config.channels:
            if channel.takes(change.alert.severity, change.alert.machine):
                rows.append({"key": document["key"], "channel": channel.name, "alert": change.alert.alert,
                             "transition": change.transition, "created": when, "payload": text, "attempts": 0})
    return rows


@dataclass
class Delivery:
    """What a delivery did: notifications delivered, those left waiting, and why per channel that failed."""

    delivered: int = 0
    waiting: int = 0
    problems: dict[str, str] = field(default_factory=dict)


def deliver(store: Store, config: AlertConfig, budget: float | None = None) -> Delivery:
    """Sends what the outbox holds, oldest first, within `budget` seconds (the configuration's by default).

    A channel that fails a notification after its retries is left for this time: the rest of its
    notifications wait with it, in their order.
    """
    budget = config.delivery.budget.total_seconds() if budget is None else budget
    deadline = time.monotonic() + budget
    report = Delivery()
    for row in tables.pending(store):
        channel = config.channel(row["channel"])
        if channel is None or row["channel"] in report.problems or time.monotonic() >= deadline:
            report.waiting += 1
            if channel is None:
                report.problems.setdefault(row["channel"], "no such channel in the alert configuration")
            continue
        tries, problem = _attempt(channel, json.loads(row["payload"]), config, deadline)
        if problem is None:
            tables.mark_delivered(store, row["key"], row["channel"], utc_now(), tries)
            report.delivered += 1
        else:
            tables.mark_failed(store, row["key"], row["channel"], utc_now(), tries, problem)
            report.problems[row["channel"]] = problem
            report.waiting += 1
    return report


def _attempt(channel, notification: dict, config: AlertConfig, deadline: float) -> tuple[int, str | None]:
    """Tries to send, again after a doubling wait while retries and the budget last: (tries, the last problem
    or None when it was delivered)."""
    wait, problem, tries = config.delivery.backoff.total_seconds(), "the delivery budget ran out", 0
    for attempt in range(config.delivery.retries + 1):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        if attempt:
            time.sleep(min(wait, left))
            wait *= 2
            left = deadline - time.monotonic()
            if left <= 0:
                break
        tries += 1
        try:
            channels.send(channel, notification, left)
            return tries, None
        except channels.DeliveryError as error:
            problem = error.problem
    return tries, problem


def test_message(when: datetime) -> dict:
    return {"key": idempotency_key("", "", "test", when), "test": True, "transition": "test", "time": when.isoformat(),
            "machine": None, "rule": None, "severity": None, "summary": "a test message from algo-health"}


def test_channels(config: AlertConfig) -> dict[str, str | None]:
    """One test message to every channel, without retries: each channel's problem, None where it arrived."""
    message = test_message(utc_now())
    results = {}
    for channel in config.channels:
        try:
            channels.send(channel, message, config.delivery.budget.total_seconds())
            results[channel.name] = None
        except channels.DeliveryError as error:
            results[channel.name] = error.problem
    return results

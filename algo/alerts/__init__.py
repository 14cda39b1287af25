"""Alerts: the people responsible hear about a machine when it needs them, once, and reliably.

A host concern, computed from what the fleet store holds: after each batch of
results a run commits, the rules (`rules`) read what the store keeps of the
batch's machines (`tables`), each (machine, rule) alert steps through its life
(`state`), and the notifications of what changed go to the outbox in the same
transaction as the results (`outbox`). After the run's last commit the silent
machines are looked for across the fleet and the outbox is delivered to the
channels of the configuration (`config`, `channels`) within a time budget.
"""

from __future__ import annotations

import getpass
from collections import Counter
from collections.abc import Sequence
from pathlib import Path

import pandas as pd

from algo.alerts import outbox, rules, state, tables
from algo.alerts.config import STORE_FILE, AlertConfig, AlertConfigError, for_store
from algo.alerts.outbox import Delivery
from algo.errors import CheckError
from algo.results import Produced
from algo.store import Outcome, Store, utc_now

__all__ = ["STORE_FILE", "AlertConfig", "AlertConfigError", "Alerting", "Delivery", "acknowledge", "check",
           "history", "send", "test"]


class Alerting:
    """The alerting of one run on an open store (its one writer)."""

    def __init__(self, store: Store, config: AlertConfig, command: str | None = None):
        self.store = store
        self.config = config
        self.command = command
        self.changes: Counter[str] = Counter()  # transitions told in this run, by name

    def during_commit(self, entries: Sequence[tuple[Outcome, Produced]]) -> None:
        """In a batch's transaction: what the rules read of its machines, and what that changes."""
        tables.update_watch(self.store, self.command, entries)
        self.evaluate([outcome.machine for outcome, _ in entries], run=entries[0][0].run)

    def evaluate(self, machines: Sequence[str] | None = None, only: set[str] | None = None,
                 run: int | None = None) -> None:
        """Steps the alerts of the machines (all, when None) by their rules (`only` some), in the transaction
        of the caller, with their notifications."""
        now = utc_now()
        facts = tables.read_facts(self.store, self.config, machines, now)
        current = tables.open_alerts(self.store, machines)
        number = tables.next_alert_number(self.store)
        changes = []
        for machine in facts:
            for condition in rules.conditions(machine, only):
                change = state.step(current.get((condition.machine, condition.rule)), condition,
                                    machine.rules[condition.rule], now, run, number)
                if change is not None:
                    changes.append(change)
                    number += change.transition == state.OPENED
        tables.put_alerts(self.store, [change.alert for change in changes])
        tables.put_notifications(self.store, outbox.notifications(changes, self.config, now, str(self.store.path)))
        self.changes.update(change.transition for change in changes if change.transition)

    def finish(self, run: int | None = None, deliver: bool = True) -> Delivery:
        """After a run's last commit: the silent machines of the whole fleet, then the outbox's delivery."""
        with self.store.transaction():
            self.evaluate(None, only={"silent"}, run=run)
        return outbox.deliver(self.store, self.config) if deliver else Delivery()

    def summary(self, delivery: Delivery) -> dict:
        """What the run's alerting did, for the command's report."""
        return {"opened": self.changes[state.OPENED], "escalated": self.changes[state.ESCALATED],
                "cleared": self.changes[state.CLEARED], "delivered": delivery.delivered,
                "waiting": delivery.waiting, "problems": dict(delivery.problems)}


# --- the Python API ------------------------------------------------------------------------


def check(store: str | Path, config: AlertConfig | str | Path | None = None) -> dict:
    """Every rule on every machine of the store, now (the silent-machine rule on the wall clock too, where the
    configuration says so), then the outbox's delivery; returns what changed and what was delivered."""
    config = for_store(store, config)
    with Store.open(store, "w", create=False) as opened:
        alerting = Alerting(opened, config)
        with opened.transaction():
            alerting.evaluate(None)
        return alerting.summary(outbox.deliver(opened, config))


def send(store: str | Path, config: AlertConfig | str | Path | None = None) -> Delivery:
    """Delivers what the outbox holds (what runs could not deliver within their budget)."""
    config = for_store(store, config)
    with Store.open(store, "w", create=False) as opened:
        return outbox.deliver(opened, config)


def acknowledge(store: str | Path, machine: str, rule: str | None = None, note: str | None = None,
                by: str | None = None) -> int:
    """Acknowledges a machine's open alerts (of `rule`, or all): nothing more is told of them until they
    escalate. Returns how many; none open is a CheckError."""
    if rule is not None and rule not in rules.RULES:
        raise CheckError(f"no rule {rule!r}; the rules are {', '.join(rules.RULES)}")
    with Store.open(store, "w", create=False) as opened, opened.transaction():
        count = tables.acknowledge(opened, machine, rule, by or getpass.getuser(), note, utc_now())
    if not count:
        raise CheckError(f"machine {machine!r} has no open alert" + (f" of rule {rule}" if rule else ""))
    return count


def history(store: str | Path, open_only: bool = False) -> pd.DataFrame:
    """The store's alerts: open ones first, worst and newest first."""
    with Store.open(store) as opened:
        return tables.history(opened, open_only)


def test(config: AlertConfig | str | Path) -> dict[str, str | None]:
    """One test message to every channel of a configuration: each channel's problem, None where it arrived."""
    config = config if isinstance(config, AlertConfig) else AlertConfig.load(config)
    if not config.channels:
        raise AlertConfigError(f"{config.source or 'the alert configuration'} has no channel to test")
    return outbox.test_channels(config)

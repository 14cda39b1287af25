"""The fleet's alert commands: `fleet alerts` (list, check, send, test) and `fleet ack`, thin over `algo.alerts`."""

from __future__ import annotations

import json
from dataclasses import asdict

import pandas as pd

from algo import alerts
from algo.alerts.config import AlertConfig
from algo.alerts.rules import RULES
from algo.cli.options import STORE, Family, arg, option
from algo.cli.output import EXIT_FLAGGED, Progress, emit
from algo.errors import CheckError
from algo.results import plain, records

commands = Family(prefix="fleet ")

ALERT_FILE = "the alert configuration (TOML)"
ACTIONS = ("list", "check", "send", "test")


def summary_lines(summary: dict | None) -> list[str]:
    """What a run's alerting did, in a line, and a line per channel that could not be reached."""
    if not summary:
        return []
    delivered, *problems = delivery_lines(summary)
    return [f"alerts: {summary['opened']} opened, {summary['escalated']} escalated, {summary['cleared']} cleared; "
            f"{delivered}", *problems]


def delivery_lines(delivery: dict) -> list[str]:
    lines = [f"{delivery['delivered']} notifications delivered, {delivery['waiting']} waiting"]
    lines += [f"  channel {name}: {problem}" for name, problem in delivery["problems"].items()]
    if delivery["waiting"]:
        lines.append("  the waiting notifications go with the next run, or `algo-health fleet alerts send`")
    return lines


def alert_lines(table: pd.DataFrame) -> list[str]:
    """The alerts as text, a line each (`emit` escapes what a terminal would act on)."""
    if table.empty:
        return ["no alerts"]
    lines = [f"{'alert':>5}  {'machine':<16} {'rule':<13} {'severity':<8} {'state':<24} {'since':<16}  summary"]
    for row in table.itertuples():
        lines.append(f"{row.alert:>5}  {row.machine:<16} {row.rule:<13} {row.severity:<8} "
                     f"{alert_state(row):<24} {pd.Timestamp(row.since):%Y-%m-%d %H:%M}  {row.summary}")
    return lines


def alert_state(row) -> str:
    if not pd.isna(row.cleared):
        return f"cleared {pd.Timestamp(row.cleared):%Y-%m-%d %H:%M}"
    if isinstance(row.acknowledged_by, str):
        return f"open, ack {row.acknowledged_by}"
    return "open, escalated" if not pd.isna(row.escalated) else "open"


def alerts_document(table: pd.DataFrame) -> dict:
    return {"alerts": [{**entry, "triggered": plain(json.loads(entry["triggered"] or "{}"))}
                       for entry in records(table)]}


@commands.command("alerts", "List the store's alerts; check every rule now, send what waits, or test the channels.",
                  ["algo-health fleet alerts --store plant.store --open",
                   "algo-health fleet alerts check --store plant.store",
                   "algo-health fleet alerts send --store plant.store --config alerts.toml",
                   "algo-health fleet alerts test --config alerts.toml"],
                  arguments=[arg("action", nargs="?", choices=ACTIONS, default="list",
                                 help="list (default): the alerts, open first; check: every rule on every machine "
                                      "now; send: deliver the notifications that wait; test: one test message to "
                                      "every channel of --config"),
                             arg("--store", help="the store folder (all but test)"),
                             arg("--config", metavar="FILE", type=option(AlertConfig.load),
                                 help=f"{ALERT_FILE}; default: alerts.toml in the store folder"),
                             arg("--open", action="store_true", help="list only the open alerts")])
def cmd_alerts(args, progress: Progress) -> int:
    if args.action == "test":
        if args.config is None:
            raise CheckError("`fleet alerts test` needs --config, the alert configuration to test")
        return _test(args)
    if args.store is None:
        raise CheckError(f"`fleet alerts {args.action}` needs --store")
    if args.action == "list":
        table = alerts.history(args.store, open_only=args.open)
        emit(args, alerts_document(table), alert_lines(table))
        return 0
    if args.action == "check":
        summary = alerts.check(args.store, args.config)
        emit(args, {"alerts": summary}, summary_lines(summary))
        return 0
    delivery = asdict(alerts.send(args.store, args.config))
    emit(args, {"delivery": delivery}, delivery_lines(delivery))
    return EXIT_FLAGGED if delivery["waiting"] else 0


def _test(args) -> int:
    results = alerts.test(args.config)
    lines = [f"{name}: {'delivered' if problem is None else f'failed: {problem}'}"
             for name, problem in results.items()]
    emit(args, {"channels": [{"channel": name, "delivered": problem is None, "problem": problem}
                             for name, problem in results.items()]}, lines)
    return EXIT_FLAGGED if any(problem is not None for problem in results.values()) else 0


@commands.command("ack", "Acknowledge a machine's open alerts: nothing more is sent of them unless they escalate.",
                  ["algo-health fleet ack pump-07 --store plant.store",
                   "algo-health fleet ack pump-07 --rule signal --note 'bearing ordered' --store plant.store"],
                  arguments=[arg("machine", help="the machine whose open alerts are acknowledged"),
                             arg("--rule", choices=tuple(RULES), help="only this rule's alert"),
                             arg("--note", help="a note kept with the acknowledgement"),
                             arg("--by", help="who acknowledges (default: the user running the command)")],
                  uses=[STORE])
def cmd_ack(args, progress: Progress) -> int:
    count = alerts.acknowledge(args.store, args.machine, args.rule, args.note, args.by)
    emit(args, {"machine": args.machine, "acknowledged": count},
         [f"{count} open alert{'s' if count != 1 else ''} of {args.machine} acknowledged"])
    return 0

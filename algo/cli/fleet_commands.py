"""The `fleet` commands: thin over `algo.fleet`, which runs the machines, and `algo.store`, which keeps
what they produce."""

from __future__ import annotations

import time
from pathlib import Path

import pandas as pd

from algo import alerts, fleet, report, store
from algo.cli.alert_commands import summary_lines
from algo.cli.options import ALERT_CONFIG, CODEBOOK, CONFIG, ENGINE, ID_COLUMN, READING, STORE, TIGHTNESS, Family
from algo.cli.options import arg, at_least
from algo.cli.options import output, read_options
from algo.cli.output import EXIT_FLAGGED, Progress, emit
from algo.fleet.demo import DEMO_ALERTS_FILE
from algo.results import life_text, records

commands = Family(prefix="fleet ")

LAYOUT = ("DATA: a folder with a file <machine>.csv / <machine>.parquet, a folder <machine>/ or "
          "machine=<machine>/ of such files per machine; or one table with --id-column")
DATA = arg("data", help=LAYOUT)


def where(args, progress: Progress) -> dict:
    return {"scheduler": args.scheduler, "workers": args.workers, "progress": progress.enabled,
            **({"alert_config": args.alerts} if "alerts" in args else {})}


def run_report(args, outcomes: pd.DataFrame, what: str, flagged: bool = False) -> int:
    """One line for the run (and whether it resumed an interrupted one), one per failed machine, the run's
    notes; exit code 2 when machines failed, or when `flagged`."""
    counts = outcomes["outcome"].value_counts()
    failed = outcomes[outcomes["outcome"] == "failed"]
    run, resumed = outcomes.attrs.get("run"), outcomes.attrs.get("resumed")
    lines = [f"run {run}: {what} {len(outcomes)} machines: {counts.get('ok', 0)} ok, "
             f"{counts.get('stopped', 0)} stopped (not running), {len(failed)} failed"]
    if resumed is not None:
        lines.append(f"resumed the interrupted run {run} on the same input: {len(resumed)} machines it had committed "
                     "were not run again")
    lines += [f"  {row.machine}: {store.error_line(row.stage, row.message, row.note)}" for row in failed.itertuples()]
    if len(failed):
        lines.append(f"{len(failed)} machines failed: `algo-health fleet status --store {args.store}` shows them "
                     f"with the rest; their error records are in the store's outcomes table (run {run})")
    lines += summary_lines(outcomes.attrs.get("alerts"))
    document = {"run": run, "resumed": resumed is not None, "not_run_again": resumed or [],
                "machines": len(outcomes), "ok": int(counts.get("ok", 0)), "stopped": int(counts.get("stopped", 0)),
                "failed": len(failed), "outcomes": records(outcomes), "alerts": outcomes.attrs.get("alerts")}
    emit(args, document, lines, outcomes.attrs.get("notes", []))
    return EXIT_FLAGGED if len(failed) or flagged else 0


@commands.command("train", "Train a health model of every machine of a fleet.",
                  ["algo-health fleet train history/ --store plant.store",
                   "algo-health fleet train history/ --store plant.store --manifest machines.csv "
                   "--config 1,0,0,1,2,1,2,1",
                   "algo-health fleet train export.parquet --id-column asset --store plant.store "
                   "--scheduler tcp://10.0.0.5:8786"],
                  uses=[READING, ENGINE, STORE, ID_COLUMN, CONFIG, CODEBOOK, ALERT_CONFIG],
                  arguments=[DATA, arg("--manifest", help="CSV or JSON, one row per machine: machine and any of "
                                       "config, codebook (a file), iso_power, iso_foundation, sister (a failed "
                                       "sister machine's file or folder), alerts (the machine's alert rule "
                                       "settings, e.g. 'signal.days=20; silent=off')"),
                             arg("--strict", action="store_true",
                                 help=f"exit with {EXIT_FLAGGED} when a manifest row names no machine of DATA")])
def cmd_train(args, progress: Progress) -> int:
    outcomes = fleet.train(args.data, args.store, manifest=args.manifest, id_column=args.id_column,
                           options=read_options(args), config=args.config, codebook=args.codebook,
                           **where(args, progress))
    return run_report(args, outcomes, "trained", flagged=args.strict and bool(outcomes.attrs["strays"]))


@commands.command("score", "Score each machine's new batch and add it to the store's history.",
                  ["algo-health fleet score today/ --store plant.store",
                   "algo-health fleet score s3://plant/today/ --store plant.store --workers 8"],
                  uses=[READING, ENGINE, STORE, ID_COLUMN, ALERT_CONFIG],
                  arguments=[DATA, arg("--replace", action="store_true",
                                       help="a time scored before takes this batch's score and lights (a corrected "
                                            "re-export); by default the stored ones are kept and counted in a note")])
def cmd_score(args, progress: Progress) -> int:
    outcomes = fleet.score(args.data, args.store, id_column=args.id_column, options=read_options(args),
                           replace=args.replace, **where(args, progress))
    return run_report(args, outcomes, "scored")


@commands.command("rul", "Forecast each machine's remaining life from its stored scores.",
                  ["algo-health fleet rul --store plant.store"], uses=[ENGINE, STORE, TIGHTNESS, ALERT_CONFIG])
def cmd_rul(args, progress: Progress) -> int:
    outcomes = fleet.rul(args.store, tightness=args.tightness, **where(args, progress))
    return run_report(args, outcomes, "forecast")


def status_lines(table: pd.DataFrame) -> list[str]:
    """The status table as text, riskiest machines first."""
    def cell(value, form="{}", missing="-"):
        return missing if pd.isna(value) else form.format(value)

    header = (f"{'machine':<16} {'health':>6}  {'remaining life':<15} {'signal':<7} {'death %':>7}  "
              f"{'failure modes':<13} {'ISO':<6} {'alarm variable':<18} last run")
    lines = [header]
    for row in table.itertuples():
        life = life_text(None if pd.isna(row.rul) else row.rul, row.unit, bool(row.rul_at_least))
        outcome = cell(row.last_outcome)
        if isinstance(row.last_error, str):
            outcome += f": {row.last_error}"
        lines.append(f"{row.machine:<16} {cell(row.health_index, '{:6.1f}'):>6}  {life:<15} "
                     f"{cell(row.signal, missing='unknown'):<7} {cell(row.death_probability, '{:7.1f}'):>7}  "
                     f"{cell(row.failure_mode_light):<13} {cell(row.iso_light):<6} {cell(row.alarm_variable):<18} "
                     f"{outcome}")
    return lines


def status_document(table: pd.DataFrame) -> dict:
    return {"machines": records(table)}


@commands.command("status", "One line per machine, riskiest first: health index, remaining life, signal, lights "
                  "and last error.",
                  ["algo-health fleet status --store plant.store", "algo-health fleet status --store plant.store --json"],
                  uses=[STORE])
def cmd_status(args, progress: Progress) -> int:
    table = fleet.status(args.store)
    emit(args, status_document(table), status_lines(table))
    return 0


@commands.command("report", "Write the fleet report: one self-contained HTML page of every machine in a fleet "
                  "store.", ["algo-health fleet report --store plant.store --out fleet.html"], uses=[STORE],
                  arguments=[arg("--out", default="fleet.html", type=output(report.PAGE_SUFFIXES),
                                 help="page to write (.html), default %(default)s")])
def cmd_report(args, progress: Progress) -> int:
    progress.stage(f"reading the fleet store {args.store}")
    page = fleet.report(args.store, args.out)
    emit(args, {"report": str(Path(page).resolve())}, [f"fleet report written to {page}"])
    return 0


@commands.command("upgrade", "Bring a store made by an earlier release up to date: its layout, and its pickled "
                  "model files converted to the format that loads without running code (trusting them).",
                  ["algo-health fleet upgrade --store plant.store"], uses=[STORE])
def cmd_upgrade(args, progress: Progress) -> int:
    done = fleet.upgrade(args.store)
    layout = (f"layout {done.layout}" if done.layout_before == done.layout
              else f"layout {done.layout_before} upgraded to {done.layout}")
    emit(args, {"store": str(args.store), "layout_before": done.layout_before, "layout": done.layout,
                "models_converted": done.models_converted},
         [f"store {args.store}: {layout}; {done.models_converted} pickled model files converted"])
    return 0


@commands.command("demo", "A synthetic fleet trained, scored for a month and forecast.",
                  ["algo-health fleet demo", "algo-health fleet demo --workers 2 --folder /tmp/fleet-demo"],
                  uses=[ENGINE],
                  arguments=[arg("--folder", default="algo-health-fleet-demo",
                                 help="where the demo writes its files and store, default %(default)s (replaced "
                                      "when an earlier demo made it)"),
                             arg("--machines", type=at_least(1), default=20,
                                 help="machines in the fleet, default %(default)s"),
                             arg("--days", type=at_least(1), default=30, help="daily batches scored, default "
                                                                             "%(default)s")])
def cmd_demo(args, progress: Progress) -> int:
    started = time.perf_counter()
    table = fleet.demo(args.folder, machines=args.machines, days=args.days, **where(args, progress))
    store_path = Path(args.folder).resolve() / "store"
    raised = alerts.history(store_path)
    lines = [f"Synthetic fleet of {args.machines} pumps, fans, motors and compressors: trained on a day of 1 Hz "
             f"rows, {args.days} daily batches scored, remaining life forecast, in {time.perf_counter() - started:.0f} s",
             "", *status_lines(table), "", demo_alerts_line(raised, store_path.parent / DEMO_ALERTS_FILE),
             f"store: {store_path} (DuckDB tables: machines, scores, lights, light_history, rul, forecast, runs, "
             "outcomes, alerts, outbox)",
             f"report: {store_path.parent / 'fleet.html'}",
             f"again: algo-health fleet status --store {store_path}"]
    emit(args, {"store": str(store_path), "report": str(store_path.parent / "fleet.html"),
                "alerts": {"raised": len(raised), "open": int(raised["is_open"].sum()),
                           "by_rule": raised["rule"].value_counts().to_dict()},
                **status_document(table)}, lines)
    return 0


def demo_alerts_line(raised: pd.DataFrame, notifications: Path) -> str:
    by_rule = ", ".join(f"{count} {rule}" for rule, count in raised["rule"].value_counts().items())
    return (f"alerts: {len(raised)} raised ({by_rule or 'none'}), {int(raised['is_open'].sum())} still open; "
            f"notifications in {notifications}")

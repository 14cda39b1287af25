"""The single-machine commands: demo, train, score, rul, iso, thresholds, lights.

Each runs one machine's jobs (`algo.machine`) and formats the summaries of
`algo.results`; the command adds nothing to the analytics.
"""

from __future__ import annotations

import glob
import math
from pathlib import Path

import pandas as pd

from algo import charts, checks, machine, modelfile, reading, synthetic, writing
from algo.cli.options import CODEBOOK, CONFIG, READING, TIGHTNESS, Family, Group, arg, at_least, option, output
from algo.cli.options import read_options
from algo.cli.output import EXIT_FLAGGED, Progress, emit, flagged, input_line, reading_summary
from algo.config import DEMO_CONFIG
from algo.errors import CheckError
from algo.reading import Frame, ReadOptions
from algo.results import LIMIT_COLUMNS, ModelSummary, RulSummary, light_rows, lights_document, plain, records

commands = Family()
MODEL_FILE = Group("the model", (
    arg("--model", required=True, help="model file written by `train`"),
    arg("--trust-pickle", action="store_true",
        help="read a model file of the pickled formats of earlier releases, which can run code written into it: "
             "only for files from a trusted source (`algo-health model upgrade` converts them once)"),
))


def input_files(patterns: list[str]) -> list[str]:
    """The files named, with patterns that name no file expanded as globs (in name order)."""
    files = []
    for pattern in patterns:
        if pattern == "-" or "://" in pattern or Path(pattern).exists() or not glob.has_magic(pattern):
            files.append(pattern)
            continue
        matched = sorted(glob.glob(pattern))
        if not matched:
            raise reading.InputError(f"no file matches {pattern}")
        files += matched
    return files


def load_model(args) -> modelfile.ModelFile:
    if not Path(args.model).is_file():
        raise reading.InputError(f"no such file: {args.model}")
    return modelfile.read(args.model, trust_pickle=args.trust_pickle)


# --- demo ------------------------------------------------------------------------


@commands.command("demo", "Run the whole road on a built-in sample machine: train, score, forecast.",
                  ["algo-health demo", "algo-health demo --out chart.png --json"],
                  arguments=[arg("--out", default="algo-health-demo.png", type=output(charts.CHART_SUFFIXES),
                                 help="chart file (.png, .svg or .pdf), default %(default)s"),
                             arg("--days", type=at_least(1), default=120, help="monitored days, default %(default)s")])
def cmd_demo(args, progress: Progress) -> int:
    progress.stage("building the sample machine")
    sample = synthetic.sample_machine(monitored_days=args.days, raw_labels=True)
    every_row = ReadOptions(running_when="always")
    progress.stage(f"training on {len(sample.healthy):,} healthy 1 Hz rows (hour bins, warning line)")
    trained = machine.train(Frame(sample.healthy, "the healthy days"), every_row, DEMO_CONFIG)
    model_file = modelfile.ModelFile(trained.model, trained.settings)
    progress.stage("learning the failure deadline from a failed sister machine")
    model_file.model = model = machine.learn_deadline(Frame(sample.failure_recording, "the failed sister machine"),
                                                      every_row, model_file)
    progress.stage(f"scoring {len(sample.daily_batches)} daily one-hour batches")
    scored = [machine.score(Frame(batch, f"day {day + 1}"), every_row, model_file)
              for day, batch in enumerate(sample.daily_batches)]
    scores = pd.concat([batch.table for batch in scored], ignore_index=True)
    progress.stage("forecasting the remaining useful life")
    time_name = model["datetime_name"]
    rul = RulSummary.of(machine.forecast(scores, model), time_name, scores[time_name].max())
    history = scores.set_index(time_name)[["Score"]]
    zones = machine.bad_zones(history, model["rul_warning_line"], envelope_window="3D", density_window="10D")
    iso = machine.iso_lights(scored[-1].reading.rows, 75, "Rigid")
    chart = charts.health_chart(args.out, history, rul, model, chart_title(rul), zones)
    progress.stage(f"chart written to {chart}")

    last = history["Score"].iloc[-1]
    limits = next(iter(iso.lights.values()))
    lines = [
        "Sample machine: 3 healthy days at 1 Hz, then one hour a day while a bearing fault develops",
        f"model: T2 limit {model['ucl']:.2f}, robustness {model['training_model_robust_index']} "
        f"({model['training_model_robust_status']})",
        f"deadline learnt from the failed sister machine: health index {model['rul_deadline']:.1f}; "
        f"warning line {model['rul_warning_line']:.1f}",
        f"health index after {len(history)} days: {last:.1f} "
        f"(variable behind the latest alarm: {scored[-1].suspicious_variable})",
        *rul_lines(rul),
        "bad zones: " + (", ".join(f"{s:%Y-%m-%d} to {e:%Y-%m-%d}" for s, e in zones) or "none"),
        f"ISO 20816-3 (75 kW, rigid; warning {limits['warning']}, alert {limits['alert']} mm/s): "
        + ", ".join(f"{feature} {entry['light']}" for feature, entry in iso.lights.items()),
        f"chart: {Path(chart).resolve()}",
    ]
    document = {
        "model": {k: model[k] for k in ("ucl", "rul_deadline", "rul_warning_line", "training_model_robust_index")},
        "health_index_last": last,
        "rul": rul.document(),
        "bad_zones": [[s, e] for s, e in zones],
        "iso": lights_document(iso, "iso"),
        "chart": str(Path(chart).resolve()),
    }
    emit(args, document, lines)
    return 0


# --- train, score, rul ------------------------------------------------------------


@commands.command("train", "Train a health model on raw rows (CSV or Parquet).",
                  ["algo-health train history.csv --model pump.model",
                   "algo-health train history.parquet --config 1,0,0,1,2,1,1,1 --codebook codebook.json "
                   "--model pump.model",
                   "algo-health train export.csv --dayfirst --running-when 'RPM > 300' --model pump.model"],
                  uses=[READING, CONFIG, CODEBOOK],
                  arguments=[arg("data", nargs="+",
                                 help="raw rows ('-' for standard input); several files are joined in time order"),
                             arg("--model", required=True, type=output(), help="model file to write")])
def cmd_train(args, progress: Progress) -> int:
    progress.stage(f"reading and training on {', '.join(args.data)} with configuration {args.config}")
    trained = machine.train(input_files(args.data), read_options(args), args.config, args.codebook)
    modelfile.save(trained.model, args.model, trained.settings)
    progress.stage(f"model written to {args.model}")
    summary = ModelSummary.of(trained.model, trained.settings)
    document = {
        "model": str(args.model),
        "input": reading_summary(trained.reading),
        "samples": summary.samples,
        "features": summary.features,
        "components": summary.components,
        "ucl": summary.ucl,
        "rul_deadline": summary.rul_deadline,
        "rul_warning_line": summary.rul_warning_line,
        "training_model_robust_index": summary.robust_index,
        "training_model_robust_status": summary.robust_status,
        "start_time": summary.train_start,
        "end_time": summary.train_end,
    }
    lines = [
        f"model written to {args.model}",
        f"{summary.samples} samples x {summary.features} features, {summary.components} components, "
        f"T2 limit {summary.ucl:.2f}",
        f"robustness {summary.robust_index} ({summary.robust_status}), deadline health index "
        f"{summary.rul_deadline:.1f}",
        input_line(trained.reading),
    ]
    emit(args, document, lines, trained.notes)
    return 0


@commands.command("score", "Score new raw rows against a model: T2, health index, suspicious variable.",
                  ["algo-health score today.csv --model pump.model",
                   "algo-health score 'days/*.csv' --model pump.model --out scores.parquet",
                   "algo-health score today.csv --model pump.model --out scores.csv --append"],
                  uses=[READING, MODEL_FILE],
                  arguments=[arg("data", nargs="+",
                                 help="raw rows to score, one batch per file (files or glob patterns)"),
                             arg("--out", type=output(writing.TABLE_SUFFIXES),
                                 help="write the scores to this file (.csv, .json or .parquet)"),
                             arg("--append", action="store_true",
                                 help="add to the scores already in --out; a time scored again keeps its latest "
                                      "score")])
def cmd_score(args, progress: Progress) -> int:
    if args.append and not args.out:
        raise CheckError("--append needs --out, the score file to append to")
    model_file = load_model(args)
    model = model_file.model
    batches = []
    for source in input_files(args.data):
        progress.stage(f"scoring {source}")
        batches.append(machine.score(source, read_options(args), model_file))
    time_name = model["datetime_name"]
    table = pd.concat([b.table for b in batches], ignore_index=True) if batches else pd.DataFrame()
    if args.out:
        write_scores(args.out, table, time_name, append=args.append)
        progress.stage(f"scores written to {args.out}")
    document, lines = score_report(batches, table, model)
    if args.out:
        lines.append(f"scores {'appended' if args.append else 'written'} to {args.out}")
    notes = [note if len(batches) == 1 else f"{b.reading.source}: {note}" for b in batches for note in b.notes]
    emit(args, document, lines, notes)
    return 0


def write_scores(path: str, table: pd.DataFrame, time_name: str, append: bool) -> None:
    """The scores, after those already in `path` when appending; a time scored again keeps its latest score."""
    if append and Path(path).exists():
        table = pd.concat([reading.read_scores(path, time_name), table], ignore_index=True)
    table = table.drop_duplicates(time_name, keep="last").sort_values(time_name, kind="stable")
    writing.write_table(path, table)


def score_report(batches: list[machine.Scored], table: pd.DataFrame, model: dict) -> tuple[dict, list[str]]:
    stopped = [b.reading.source for b in batches if b.stopped]
    variables = [b.suspicious_variable for b in batches if b.suspicious_variable]
    above = int((table["tsquare"] > model["ucl"]).sum()) if len(table) else 0
    document = {
        "batches": [{**reading_summary(b.reading), "status": "stopped" if b.stopped else "scored",
                     "samples": len(b.table), "suspicious_variable": b.suspicious_variable} for b in batches],
        "samples": len(table),
        "above_limit": above,
        "health_index_last": table["Score"].iloc[-1] if len(table) else None,
        "health_index_min": table["Score"].min() if len(table) else None,
        "suspicious_variable": variables[-1] if variables else None,
        "scores": records(table),
    }
    lines = [f"{len(table)} samples scored, {above} above the T2 limit {model['ucl']:.2f}"]
    if len(table):
        lines.append(f"health index: last {table['Score'].iloc[-1]:.1f}, lowest {table['Score'].min():.1f}")
        lines.append(f"variable behind the latest alarm: {document['suspicious_variable']}")
    if stopped:
        lines.append(f"stopped: the machine was not running in {', '.join(stopped)}; nothing scored there")
    return document, lines


@commands.command("rul", "Forecast the health index and report the remaining useful life.",
                  ["algo-health rul scores.csv --model pump.model",
                   "algo-health rul scores.parquet --model pump.model --chart rul.png --json"],
                  uses=[MODEL_FILE, TIGHTNESS],
                  arguments=[arg("scores", nargs="+",
                                 help="scores as `score --out` writes them (.csv, .json or .parquet)"),
                             arg("--chart", type=output(charts.CHART_SUFFIXES),
                                 help="write a chart of history and forecast to this file (.png, .svg or .pdf)")])
def cmd_rul(args, progress: Progress) -> int:
    model = load_model(args).model
    time_name = model["datetime_name"]
    scores = reading.read_scores(input_files(args.scores), time_name)
    progress.stage(f"forecasting from {len(scores)} scores")
    rul = RulSummary.of(machine.forecast(scores, model, args.tightness), time_name, scores[time_name].max())
    lines = rul_lines(rul)
    if args.chart:
        history = machine.health_index(scores, model, args.tightness)
        written = charts.health_chart(args.chart, history, rul, model, chart_title(rul))
        lines.append(f"chart written to {written}")
    emit(args, rul.document(), lines)
    return 0


def rul_lines(rul: RulSummary) -> list[str]:
    if rul.rul is None:
        grade = f"({rul.note})"
    else:
        grade = f"({rul.show})" if rul.show is not None else "(not graded: the forecast outlives its horizon)"
    death = "unknown" if rul.death_probability is None else f"{rul.death_probability:.1f} %"
    lines = [
        f"remaining useful life: {rul.life()}  signal {rul.signal}  {grade}",
        f"death probability at the horizon: {death}",
        f"deadline health index: {rul.rul_deadline:.1f}",
    ]
    if rul.rul_warning_line is not None:
        lines.append(f"warning line: {rul.rul_warning_line:.1f}")
    return lines


def chart_title(rul: RulSummary) -> str:
    return f"Remaining useful life: {rul.life()} ({rul.signal})"


# --- lights ----------------------------------------------------------------------

GRADING = [arg("--last", metavar="DURATION", type=option(checks.duration),
               help="grade the mean of the latest stretch (e.g. 1h, 30min, 2D) instead of the whole input"),
           arg("--fail-on", choices=machine.LIGHT_ORDER[1:],
               help=f"exit with {EXIT_FLAGGED} when a light is at or past this colour")]


def grading_lines(kind: str, graded: machine.Graded) -> list[str]:
    """The window graded, then a line per feature: its mean, light and, where all are numbers, its limits."""
    start, end = graded.window
    lines = [f"graded on the mean of {start:%Y-%m-%d %H:%M:%S} to {end:%Y-%m-%d %H:%M:%S}"]
    for row in light_rows(kind, graded).itertuples():
        value = float("nan") if pd.isna(row.value) else row.value
        limits = [getattr(row, column) for column in LIMIT_COLUMNS]
        shown = (f"warning {limits[2]:.3g} to {limits[0]:.3g}, alert {limits[3]:.3g} to {limits[1]:.3g}"
                 if kind == "failure_mode" and all(math.isfinite(limit) for limit in limits) else "")
        lines.append(f"  {row.feature:<24} {value:10.3f}  {row.light or 'none':<6}  {shown}")
    return lines


def graded_rows(args, progress: Progress) -> reading.Reading:
    progress.stage(f"reading {args.data}")
    data = reading.read_rows(input_files([args.data]), read_options(args))
    return machine.running_rows(data, "nothing to grade")


@commands.command("iso", "ISO 20816-3 limits for a machine and traffic lights of its overall levels.",
                  ["algo-health iso today.csv --power 75 --foundation Rigid",
                   "algo-health iso today.csv --power 75 --foundation Rigid --last 1h --fail-on red"],
                  uses=[READING, *GRADING],
                  arguments=[arg("data", help="raw rows with the overall vibration levels"),
                             arg("--power", type=option(lambda text: checks.positive(float(text))), required=True,
                                 help="machine power in kW (15 and above)"),
                             arg("--foundation", required=True, choices=["Rigid", "Flexible"],
                                 help="foundation type")])
def cmd_iso(args, progress: Progress) -> int:
    limits = machine.iso_limits(args.power, args.foundation)
    data = graded_rows(args, progress)
    graded = machine.iso_lights(machine.latest(data.rows, args.last), args.power, args.foundation)
    lines = [f"ISO 20816-3 limits for {args.power:g} kW, {args.foundation}: warning {limits['warning']} mm/s, "
             f"alert {limits['alert']} mm/s", *grading_lines("iso", graded)]
    document = {"warning": limits["warning"], "alert": limits["alert"], "input": reading_summary(data),
                **lights_document(graded, "iso")}
    emit(args, document, lines, data.notes)
    return EXIT_FLAGGED if flagged(args, graded.worst()) else 0


@commands.command("thresholds", "Learn failure-mode warning and alert limits from healthy rows.",
                  ["algo-health thresholds healthy.csv --out thresholds.json"], uses=[READING],
                  arguments=[arg("data", help="raw rows of healthy operation"),
                             arg("--out", required=True, type=output((".json",)), help="thresholds JSON file to write")])
def cmd_thresholds(args, progress: Progress) -> int:
    progress.stage(f"reading {args.data}")
    thresholds, data = machine.learn_thresholds(input_files([args.data]), read_options(args))
    writing.write_json(args.out, plain(thresholds))
    lines = [f"warning and alert limits of {len(thresholds)} features written to {args.out}", input_line(data)]
    emit(args, {"thresholds": thresholds, "input": reading_summary(data)}, lines, data.notes)
    return 0


@commands.command("lights", "Traffic lights of new rows against learnt failure-mode limits.",
                  ["algo-health lights today.csv --thresholds thresholds.json",
                   "algo-health lights today.csv --thresholds thresholds.json --last 1h --fail-on yellow"],
                  uses=[READING, *GRADING],
                  arguments=[arg("data", help="raw rows to evaluate"),
                             arg("--thresholds", required=True, help="thresholds JSON written by `thresholds`")])
def cmd_lights(args, progress: Progress) -> int:
    thresholds = reading.read_json(args.thresholds)
    if not isinstance(thresholds, dict) or not all(isinstance(v, dict) for v in thresholds.values()):
        raise CheckError(f"{args.thresholds} holds no thresholds: expected an object of features, each "
                         '{"upper_warning": ..., "upper_alert": ..., "lower_warning": ..., "lower_alert": ...}')
    data = graded_rows(args, progress)
    graded = machine.failure_mode_lights(machine.latest(data.rows, args.last), thresholds)
    counts = {colour: sum(e["light"] == colour for e in graded.lights.values()) for colour in machine.LIGHT_ORDER}
    lines = [f"{len(graded.lights)} features: " + ", ".join(f"{n} {colour}" for colour, n in counts.items()),
             *grading_lines("failure_mode", graded)]
    notes = list(data.notes)
    if graded.skipped:
        notes.append(f"not in {args.thresholds}, not graded: {', '.join(graded.skipped)}")
    emit(args, {"input": reading_summary(data), **lights_document(graded, "failure_mode")}, lines, notes)
    return EXIT_FLAGGED if flagged(args, graded.worst()) else 0


# --- model files -----------------------------------------------------------------

model_commands = Family(prefix="model ")


@model_commands.command("upgrade", "Convert model files of the pickled formats of earlier releases, in place, to "
                        "the format that loads without running code. Only for files from a trusted source: each "
                        "is unpickled once to be converted.",
                        ["algo-health model upgrade pump.model", "algo-health model upgrade models/*.model"],
                        arguments=[arg("files", nargs="+", help="model files (or glob patterns)")])
def cmd_model_upgrade(args, progress: Progress) -> int:
    files = input_files(args.files)
    converted = []
    for path in files:
        if not Path(path).is_file():
            raise reading.InputError(f"no such file: {path}")
        if modelfile.upgrade(path):
            converted.append(path)
        progress.stage(f"{path}: {'converted' if converted[-1:] == [path] else 'already in the current format'}")
    emit(args, {"converted": converted, "current": [path for path in files if path not in converted]},
         [f"{len(converted)} of {len(files)} model files converted", *(f"  {path}" for path in converted)])
    return 0

"""The `algo-health` command: train, score and forecast from the shell.

A thin host over the native modules: it checks its options and output paths
before reading any data, runs one machine's jobs (`algo.machine`), and writes
reports, model files and charts whole or not at all. The analytics are all the
library's; its printed lines and warnings stay out of the output unless
`--verbose`.
"""

from __future__ import annotations

import argparse
import glob
import json
import math
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from algo import charts, checks, fleet, machine, modelfile, reading, report, store, synthetic, writing
from algo.machine import DEFAULT_CONFIG, DEMO_CONFIG, SCORE_TIGHTNESS, life_text

EXIT_FAILED = 1
EXIT_FLAGGED = 2  # completed, and something is at or past the level asked to fail on
EXIT_BROKEN_PIPE = 141

CONFIG_HELP = """configuration: eight comma-separated fields (default %(default)s):
  1 time scale: 0 minute bins, 1 hour bins
  2 testing outlier removal: 1 drops per-minute IQR outliers when scoring
  3 low-resolution screening: 1 drops near-zero features
  4 feature families: 1 all, 2 without failure modes, 3 frequency bands only
  5 scaling: 1 none, 2 standardise, 3 min-max
  6 model: 1 PCA health model
  7 deadline: 1 from mean + 12 sd of training T2, 2 warning line at mean + 24 sd
  8 features: 1 time bins, 2/3/4 rolling windows of 120/3600/60 rows"""

CODEBOOK_HELP = ("codebook JSON with the valid range of each feature, e.g.\n" + checks.CODEBOOK_EXAMPLE)

# Failures reported to the user as one line, without a traceback.
USER_ERRORS = (reading.InputError, checks.CheckError, writing.OutputError, machine.JobError,
               modelfile.ModelFileError, fleet.FleetError, store.StoreError)


class Progress:
    """Stage-by-stage progress on stderr, for a person watching a terminal."""

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.started = time.perf_counter()

    def stage(self, text: str) -> None:
        if self.enabled:
            print(f"[{time.perf_counter() - self.started:6.1f}s] {text}", file=sys.stderr, flush=True)


# --- input and output ---------------------------------------------------------


def read_options(args) -> reading.ReadOptions:
    return reading.ReadOptions(time_column=args.time_column, time_format=args.time_format, dayfirst=args.dayfirst,
                               delimiter=args.delimiter, decimal=args.decimal, encoding=args.encoding,
                               running_when=args.running_when)


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


def load_model(path: str) -> modelfile.ModelFile:
    if not Path(path).is_file():
        raise reading.InputError(f"no such file: {path}")
    return modelfile.read(path)


def plain(value):
    """A JSON-ready copy of numbers, arrays and containers (NaN as null, times in ISO form)."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return None if math.isnan(value) else float(value)
    if isinstance(value, pd.Timestamp):
        return None if pd.isna(value) else value.isoformat()
    if value is pd.NaT:
        return None
    return value


def records(table: pd.DataFrame) -> list[dict]:
    return [plain(row) for row in table.to_dict(orient="records")]


def emit(args, document: dict, lines: list[str], notes: list[str] = ()) -> None:
    """The report: a JSON document with `--json`, else lines of text with the notes last."""
    if args.json:
        text = json.dumps(plain({**document, "notes": list(notes)}), indent=2, ensure_ascii=False, allow_nan=False)
    else:
        text = "\n".join([*lines, *(f"note: {note}" for note in notes)])
    print(text, file=args.stdout, flush=True)


def reading_summary(data: reading.Reading) -> dict:
    return {"source": data.source, "rows": data.total, "rows_used": len(data.rows), "downtime_rows": data.stopped,
            "running_when": str(data.running_when) if data.running_when else "always"}


def flagged(args, worst: str | None) -> bool:
    """Whether the worst light is at or past the `--fail-on` level."""
    order = machine.LIGHT_ORDER
    return bool(args.fail_on and worst in order and order.index(worst) >= order.index(args.fail_on))


# --- commands -------------------------------------------------------------------


def cmd_train(args, progress: Progress) -> int:
    progress.stage(f"reading and training on {', '.join(args.data)} with configuration {args.config}")
    trained = machine.train(input_files(args.data), read_options(args), args.config, args.codebook)
    model = trained.model
    modelfile.save(model, args.model, trained.settings)
    progress.stage(f"model written to {args.model}")
    summary = {
        "model": str(args.model),
        "input": reading_summary(trained.reading),
        "samples": len(model["T2"]),
        "features": len(model["pca"].feature_names_in_),
        "components": int(model["pca"].n_components_),
        "ucl": model["ucl"],
        "rul_deadline": model["rul_deadline"],
        "rul_warning_line": model.get("rul_warning_line"),
        "training_model_robust_index": model["training_model_robust_index"],
        "training_model_robust_status": model["training_model_robust_status"],
        "start_time": model["start_time"],
        "end_time": model["end_time"],
    }
    lines = [
        f"model written to {args.model}",
        f"{summary['samples']} samples x {summary['features']} features, {summary['components']} components, "
        f"T2 limit {model['ucl']:.2f}",
        f"robustness {model['training_model_robust_index']} ({model['training_model_robust_status']}), "
        f"deadline health index {model['rul_deadline']:.1f}",
        input_line(trained.reading),
    ]
    emit(args, summary, lines, trained.notes)
    return 0


def input_line(data: reading.Reading) -> str:
    line = f"{len(data.rows):,} of {data.total:,} rows used"
    if data.stopped:
        line += f"; {data.stopped:,} rows of downtime left out (running when {data.running_when})"
    return line


def cmd_score(args, progress: Progress) -> int:
    if args.append and not args.out:
        raise checks.CheckError("--append needs --out, the score file to append to")
    model_file = load_model(args.model)
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


def cmd_rul(args, progress: Progress) -> int:
    model = load_model(args.model).model
    scores = reading.read_scores(input_files(args.scores), model["datetime_name"])
    progress.stage(f"forecasting from {len(scores)} scores")
    rul = machine.forecast(scores, model, args.tightness)
    lines = rul_lines(rul)
    if args.chart:
        history = machine.hi_module().Health_Index(scores.set_index(model["datetime_name"])[["tsquare"]], model["ucl"],
                                             args.tightness)
        written = charts.health_chart(args.chart, history, rul, model, chart_title(rul))
        lines.append(f"chart written to {written}")
    emit(args, rul_document(rul), lines)
    return 0


def rul_lines(rul: dict) -> list[str]:
    life = life_text(rul["rul_days"], rul["unit"], machine.at_least(rul))
    grade = f"({rul['show']})" if isinstance(rul["show"], str) else "(not graded: the forecast outlives its horizon)"
    if rul["rul_days"] < 0:
        life, grade = "unknown", f"({rul['unit']})"
    lines = [
        f"remaining useful life: {life}  signal {rul['signal']}  {grade}",
        f"death probability at the horizon: {rul['death_probability']:.1f} %",
        f"deadline health index: {rul['rul_deadline']:.1f}",
    ]
    if "rul_warning_line" in rul:
        lines.append(f"warning line: {rul['rul_warning_line']:.1f}")
    return lines


def chart_title(rul: dict) -> str:
    life = life_text(rul["rul_days"], rul["unit"], machine.at_least(rul))
    return f"Remaining useful life: {life} ({rul['signal']})"


def rul_document(rul: dict) -> dict:
    known = rul["rul_days"] >= 0
    steps = machine.forecast_rows(rul)
    return {
        "rul": rul["rul_days"] if known else None,
        "unit": rul["unit"] if known else None,
        "rul_at_least": machine.at_least(rul),
        "signal": rul["signal"],
        "show": rul["show"],
        "death_probability": rul["death_probability"] if known else None,
        "rul_deadline": rul["rul_deadline"],
        "rul_warning_line": rul.get("rul_warning_line"),
        "note": None if known else rul["unit"],
        "forecast": records(steps) if steps is not None else [],
    }


def grading_lines(graded: machine.Graded, limits_of) -> list[str]:
    start, end = graded.window
    lines = [f"graded on the mean of {start:%Y-%m-%d %H:%M:%S} to {end:%Y-%m-%d %H:%M:%S}"]
    for feature, entry in graded.lights.items():
        value = graded.values.get(feature, float("nan"))
        lines.append(f"  {feature:<24} {value:10.3f}  {entry['light'] or 'none':<6}  {limits_of(entry)}")
    return lines


def grading_document(graded: machine.Graded) -> dict:
    return {
        "window": {"start": graded.window[0], "end": graded.window[1]},
        "lights": {feature: {**{k: v for k, v in entry.items() if not k.startswith("error_")},
                             "value": graded.values.get(feature)} for feature, entry in graded.lights.items()},
        "worst": graded.worst(),
        "skipped": graded.skipped,
    }


def graded_rows(args, progress: Progress) -> reading.Reading:
    progress.stage(f"reading {args.data}")
    data = reading.read_rows(input_files([args.data]), read_options(args))
    if data.all_stopped:
        raise checks.CheckError(f"{data.source}: the machine was not running (all {data.stopped:,} rows are "
                                f"downtime, running when {data.running_when}); nothing to grade")
    return data


def cmd_iso(args, progress: Progress) -> int:
    limits = machine.iso_limits(args.power, args.foundation)
    data = graded_rows(args, progress)
    graded = machine.iso_lights(machine.latest(data.rows, args.last), args.power, args.foundation)
    lines = [f"ISO 20816-3 limits for {args.power:g} kW, {args.foundation}: warning {limits['warning']} mm/s, "
             f"alert {limits['alert']} mm/s"]
    lines += grading_lines(graded, lambda entry: "")
    document = {"warning": limits["warning"], "alert": limits["alert"], "input": reading_summary(data),
                **grading_document(graded)}
    emit(args, document, lines, data.notes)
    return EXIT_FLAGGED if flagged(args, graded.worst()) else 0


def cmd_thresholds(args, progress: Progress) -> int:
    progress.stage(f"reading {args.data}")
    data = reading.read_rows(input_files([args.data]), read_options(args))
    if data.all_stopped:
        raise checks.CheckError(f"{data.source}: all {data.stopped:,} rows are downtime; nothing to learn from")
    thresholds = machine.evaluation(machine.hi_module().pre_feature_training(data.rows), "threshold training")
    writing.write_json(args.out, plain(thresholds))
    lines = [f"warning and alert limits of {len(thresholds)} features written to {args.out}", input_line(data)]
    emit(args, {"thresholds": thresholds, "input": reading_summary(data)}, lines, data.notes)
    return 0


def cmd_lights(args, progress: Progress) -> int:
    thresholds = reading.read_json(args.thresholds)
    if not isinstance(thresholds, dict) or not all(isinstance(v, dict) for v in thresholds.values()):
        raise checks.CheckError(f"{args.thresholds} holds no thresholds: expected an object of features, each "
                                '{"upper_warning": ..., "upper_alert": ..., "lower_warning": ..., "lower_alert": ...}')
    data = graded_rows(args, progress)
    graded = machine.failure_mode_lights(machine.latest(data.rows, args.last), thresholds)
    counts = {colour: sum(e["light"] == colour for e in graded.lights.values()) for colour in machine.LIGHT_ORDER}
    lines = [f"{len(graded.lights)} features: " + ", ".join(f"{n} {colour}" for colour, n in counts.items())]
    lines += grading_lines(graded, lambda e: f"warning {e['lower_warning']:.3g} to {e['upper_warning']:.3g}, "
                                             f"alert {e['lower_alert']:.3g} to {e['upper_alert']:.3g}"
                           if all(isinstance(e[k], (int, float)) for k in machine.LIMIT_KEYS) else "")
    notes = list(data.notes)
    if graded.skipped:
        notes.append(f"not in {args.thresholds}, not graded: {', '.join(graded.skipped)}")
    emit(args, {"input": reading_summary(data), **grading_document(graded)}, lines, notes)
    return EXIT_FLAGGED if flagged(args, graded.worst()) else 0


def cmd_demo(args, progress: Progress) -> int:
    HI, RUL = machine.hi_module(), machine.rul_module()
    checked = machine.checked
    progress.stage("building the sample machine")
    sample = synthetic.sample_machine(monitored_days=args.days, raw_labels=True)
    healthy = HI.rename_columns(sample.healthy)
    progress.stage(f"training on {len(healthy):,} healthy 1 Hz rows (hour bins, warning line)")
    model = checked(HI.training_model(healthy, DEMO_CONFIG), "training")
    progress.stage("learning the failure deadline from a failed sister machine")
    failure = HI.rename_columns(sample.failure_recording)
    model = checked(HI.failure_deadline_learning([failure], model, None), "deadline learning")
    progress.stage(f"scoring {len(sample.daily_batches)} daily one-hour batches")
    scored = [checked(HI.testing_model(HI.rename_columns(b), model), "scoring") for b in sample.daily_batches]
    t2 = pd.concat([result["T2"] for result in scored])
    history = pd.concat([result["HI_Score"] for result in scored])
    progress.stage("forecasting the remaining useful life")
    rul = checked(RUL.rul_calculation(t2, model, SCORE_TIGHTNESS), "the RUL calculation")
    zones = HI.detect_bad_HI_zone(history, model["rul_warning_line"], envelope_window="3D", density_window="10D")
    iso = machine.iso_lights(HI.rename_columns(sample.daily_batches[-1]), 75, "Rigid")
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
        f"(variable behind the latest alarm: {scored[-1]['suspicious_variable']})",
        *rul_lines(rul),
        "bad zones: " + (", ".join(f"{s:%Y-%m-%d} to {e:%Y-%m-%d}" for s, e in zones) or "none"),
        f"ISO 20816-3 (75 kW, rigid; warning {limits['warning']}, alert {limits['alert']} mm/s): "
        + ", ".join(f"{feature} {entry['light']}" for feature, entry in iso.lights.items()),
        f"chart: {Path(chart).resolve()}",
    ]
    document = {
        "model": {k: model[k] for k in ("ucl", "rul_deadline", "rul_warning_line", "training_model_robust_index")},
        "health_index_last": last,
        "rul": rul_document(rul),
        "bad_zones": [[s, e] for s, e in zones],
        "iso": grading_document(iso),
        "chart": str(Path(chart).resolve()),
    }
    emit(args, document, lines)
    return 0


# --- parser -----------------------------------------------------------------


class Parser(argparse.ArgumentParser):
    """Usage errors end like every other failed command: one line and exit code 1."""

    def error(self, message: str):
        self.exit(EXIT_FAILED, f"{self.prog}: error: {message}\n")


def option(check):
    """An argparse type that runs `check` on the text when the command line is parsed, before any data is read."""

    def parse(text: str):
        try:
            return check(text)
        except (checks.CheckError, reading.InputError, writing.OutputError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r}: not a valid value") from None

    return parse


def output(suffixes: tuple[str, ...] | None = None):
    return option(lambda path: str(writing.check_output(path, suffixes)))


def config_text(text: str) -> str:
    checks.config_fields(text)
    return text


def codebook_file(path: str) -> dict:
    return checks.codebook(reading.read_json(path), path)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="algo-health",
        description="Machine-health analytics for rotating equipment: train a health model, score new data, "
        "forecast the remaining useful life.",
        epilog="Examples:\n  algo-health demo\n  algo-health train history.csv --model pump.model\n"
        "  algo-health score today.csv --model pump.model --out scores.csv\n"
        "  algo-health rul scores.csv --model pump.model --chart rul.png",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {modelfile.library_version()}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="print a JSON document instead of the report")
    common.add_argument("--quiet", action="store_true", help="no progress lines on stderr")
    common.add_argument("--verbose", action="store_true",
                        help="show the library's own warnings and printed lines on stderr")
    rows = argparse.ArgumentParser(add_help=False)
    group = rows.add_argument_group("reading the input")
    group.add_argument("--time-column", help="the time column (default: '_time', 'Time', 'Timestamp', ...)")
    group.add_argument("--time-format", help="strptime format of the times, e.g. '%%d.%%m.%%Y %%H:%%M:%%S'")
    group.add_argument("--dayfirst", action=argparse.BooleanOptionalAction, default=None,
                       help="numeric dates are day first (12.01.2024 is 12 January); asked for when a file could be "
                            "read either way")
    group.add_argument("--delimiter", help="CSV column separator (default: detected)")
    group.add_argument("--decimal", help="CSV decimal mark, '.' or ',' (default: detected)")
    group.add_argument("--encoding", help="text encoding of a CSV file (default UTF-8)")
    group.add_argument("--running-when", metavar="CONDITION",
                       help="rows in which the machine runs, e.g. 'RPM > 300'; 'always' keeps every row. Default: "
                            "above a tenth of the speed column's 95th percentile when there is one (a model keeps the "
                            "condition it was trained under)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="command")

    def command(name, function, help_text, examples, parents=(common,)):
        sub = commands.add_parser(name, parents=list(parents), help=help_text, description=help_text,
                                  epilog="Examples:\n" + "\n".join(f"  {e}" for e in examples),
                                  formatter_class=argparse.RawTextHelpFormatter)
        sub.set_defaults(run=function)
        return sub

    demo = command("demo", cmd_demo, "Run the whole road on a built-in sample machine: train, score, forecast.",
                   ["algo-health demo", "algo-health demo --out chart.png --json"])
    demo.add_argument("--out", default="algo-health-demo.png", type=output(charts.CHART_SUFFIXES),
                      help="chart file (.png, .svg or .pdf), default %(default)s")
    demo.add_argument("--days", type=option(lambda text: checks.at_least(int(text), 1)),
                      default=120, help="monitored days, default %(default)s")

    train = command("train", cmd_train, "Train a health model on raw rows (CSV or Parquet).",
                    ["algo-health train history.csv --model pump.model",
                     "algo-health train history.parquet --config 1,0,0,1,2,1,1,1 --codebook codebook.json "
                     "--model pump.model",
                     "algo-health train export.csv --dayfirst --running-when 'RPM > 300' --model pump.model"],
                    parents=(common, rows))
    train.add_argument("data", nargs="+", help="raw rows ('-' for standard input); several files are joined in time order")
    train.add_argument("--model", required=True, type=output(), help="model file to write")
    train.add_argument("--config", default=DEFAULT_CONFIG, type=option(config_text), help=CONFIG_HELP)
    train.add_argument("--codebook", type=option(codebook_file), help=CODEBOOK_HELP)

    score = command("score", cmd_score, "Score new raw rows against a model: T2, health index, suspicious variable.",
                    ["algo-health score today.csv --model pump.model",
                     "algo-health score 'days/*.csv' --model pump.model --out scores.parquet",
                     "algo-health score today.csv --model pump.model --out scores.csv --append"],
                    parents=(common, rows))
    score.add_argument("data", nargs="+", help="raw rows to score, one batch per file (files or glob patterns)")
    score.add_argument("--model", required=True, help="model file written by `train`")
    score.add_argument("--out", type=output(writing.TABLE_SUFFIXES),
                       help="write the scores to this file (.csv, .json or .parquet)")
    score.add_argument("--append", action="store_true",
                       help="add to the scores already in --out; a time scored again keeps its latest score")

    rul = command("rul", cmd_rul, "Forecast the health index and report the remaining useful life.",
                  ["algo-health rul scores.csv --model pump.model", "algo-health rul scores.parquet --model pump.model "
                   "--chart rul.png --json"])
    rul.add_argument("scores", nargs="+", help="scores as `score --out` writes them (.csv, .json or .parquet)")
    rul.add_argument("--model", required=True, help="model file written by `train`")
    rul.add_argument("--tightness", type=option(lambda text: checks.fraction(float(text))),
                     default=SCORE_TIGHTNESS,
                     help="health index of a sample on the T2 limit, as a fraction of 100 (default %(default)s)")
    rul.add_argument("--chart", type=output(charts.CHART_SUFFIXES), help="write a chart of history and forecast to this file (.png, .svg or .pdf)")

    grading = argparse.ArgumentParser(add_help=False)
    grading.add_argument("--last", metavar="DURATION", type=option(checks.duration),
                         help="grade the mean of the latest stretch (e.g. 1h, 30min, 2D) instead of the whole input")
    grading.add_argument("--fail-on", choices=machine.LIGHT_ORDER[1:],
                         help=f"exit with {EXIT_FLAGGED} when a light is at or past this colour")

    iso = command("iso", cmd_iso, "ISO 20816-3 limits for a machine and traffic lights of its overall levels.",
                  ["algo-health iso today.csv --power 75 --foundation Rigid",
                   "algo-health iso today.csv --power 75 --foundation Rigid --last 1h --fail-on red"],
                  parents=(common, rows, grading))
    iso.add_argument("data", help="raw rows with the overall vibration levels")
    iso.add_argument("--power", type=option(lambda text: checks.positive(float(text))),
                     required=True, help="machine power in kW (15 and above)")
    iso.add_argument("--foundation", required=True, choices=["Rigid", "Flexible"], help="foundation type")

    thresholds = command("thresholds", cmd_thresholds, "Learn failure-mode warning and alert limits from healthy rows.",
                         ["algo-health thresholds healthy.csv --out thresholds.json"], parents=(common, rows))
    thresholds.add_argument("data", help="raw rows of healthy operation")
    thresholds.add_argument("--out", required=True, type=output((".json",)), help="thresholds JSON file to write")

    lights = command("lights", cmd_lights, "Traffic lights of new rows against learnt failure-mode limits.",
                     ["algo-health lights today.csv --thresholds thresholds.json",
                      "algo-health lights today.csv --thresholds thresholds.json --last 1h --fail-on yellow"],
                     parents=(common, rows, grading))
    lights.add_argument("data", help="raw rows to evaluate")
    lights.add_argument("--thresholds", required=True, help="thresholds JSON written by `thresholds`")
    add_fleet_commands(commands, common, rows)
    return parser


# --- fleet: many machines on Dask, with a history store ---------------------------
# The `fleet` commands are thin: `algo.fleet` runs the machines, `algo.store` keeps what they produce.


def fleet_where(args, progress: Progress) -> dict:
    return {"scheduler": args.scheduler, "workers": args.workers, "progress": progress.enabled}


def fleet_run_report(args, outcomes: pd.DataFrame, what: str) -> int:
    """One line for the run, one per failed machine; exit code 2 when machines failed."""
    counts = outcomes["outcome"].value_counts()
    failed = outcomes[outcomes["outcome"] == "failed"]
    run = outcomes.attrs.get("run")
    lines = [f"run {run}: {what} {len(outcomes)} machines: {counts.get('ok', 0)} ok, "
             f"{counts.get('stopped', 0)} stopped (not running), {len(failed)} failed"]
    lines += [f"  {row.machine}: {store.error_line(row.stage, row.message, row.note)}" for row in failed.itertuples()]
    if len(failed):
        lines.append(f"{len(failed)} machines failed: `algo-health fleet status --store {args.store}` shows them "
                     f"with the rest; their error records are in the store's outcomes table (run {run})")
    document = {"run": run, "machines": len(outcomes), "ok": int(counts.get("ok", 0)),
                "stopped": int(counts.get("stopped", 0)), "failed": len(failed), "outcomes": records(outcomes)}
    emit(args, document, lines)
    return EXIT_FLAGGED if len(failed) else 0


def cmd_fleet_train(args, progress: Progress) -> int:
    outcomes = fleet.train(args.data, args.store, manifest=args.manifest, id_column=args.id_column,
                           options=read_options(args), config=args.config, codebook=args.codebook,
                           **fleet_where(args, progress))
    return fleet_run_report(args, outcomes, "trained")


def cmd_fleet_score(args, progress: Progress) -> int:
    outcomes = fleet.score(args.data, args.store, id_column=args.id_column, options=read_options(args),
                           **fleet_where(args, progress))
    return fleet_run_report(args, outcomes, "scored")


def cmd_fleet_rul(args, progress: Progress) -> int:
    outcomes = fleet.rul(args.store, tightness=args.tightness, **fleet_where(args, progress))
    return fleet_run_report(args, outcomes, "forecast")


def fleet_status_lines(table: pd.DataFrame) -> list[str]:
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


def fleet_status_document(table: pd.DataFrame) -> dict:
    return {"machines": records(table)}


def cmd_fleet_status(args, progress: Progress) -> int:
    table = fleet.status(args.store)
    emit(args, fleet_status_document(table), fleet_status_lines(table))
    return 0


def cmd_fleet_report(args, progress: Progress) -> int:
    progress.stage(f"reading the fleet store {args.store}")
    page = fleet.report(args.store, args.out)
    emit(args, {"report": str(Path(page).resolve())}, [f"fleet report written to {page}"])
    return 0


def cmd_fleet_demo(args, progress: Progress) -> int:
    started = time.perf_counter()
    table = fleet.demo(args.folder, machines=args.machines, days=args.days, **fleet_where(args, progress))
    store_path = Path(args.folder).resolve() / "store"
    lines = [f"Synthetic fleet of {args.machines} pumps, fans, motors and compressors: trained on a day of 1 Hz "
             f"rows, {args.days} daily batches scored, remaining life forecast, in {time.perf_counter() - started:.0f} s",
             "", *fleet_status_lines(table), "",
             f"store: {store_path} (DuckDB tables: machines, scores, lights, rul, forecast, runs, outcomes)",
             f"report: {store_path.parent / 'fleet.html'}",
             f"again: algo-health fleet status --store {store_path}"]
    emit(args, {"store": str(store_path), "report": str(store_path.parent / "fleet.html"),
                **fleet_status_document(table)}, lines)
    return 0


def add_fleet_commands(commands, common: argparse.ArgumentParser, rows: argparse.ArgumentParser) -> None:
    """`algo-health fleet train|score|rul|status|demo`."""
    fleet_parser = commands.add_parser(
        "fleet", help="Train, score and forecast many machines on Dask, with a history store.",
        description="Train, score and forecast a fleet of machines on Dask (a local cluster by default), keeping "
                    "models, scores, lights and forecasts in a store folder (DuckDB).",
        epilog="Examples:\n  algo-health fleet demo\n  algo-health fleet train history/ --store plant.store\n"
               "  algo-health fleet score today/ --store plant.store\n  algo-health fleet rul --store plant.store\n"
               "  algo-health fleet status --store plant.store",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    subcommands = fleet_parser.add_subparsers(dest="fleet_command", required=True, metavar="command")
    engine = argparse.ArgumentParser(add_help=False)
    group = engine.add_argument_group("where the machines run")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="an existing Dask scheduler, e.g. tcp://10.0.0.5:8786 (default: DASK_SCHEDULER_ADDRESS, "
                            "else a local cluster started for the run)")
    group.add_argument("--workers", type=option(lambda text: checks.at_least(int(text), 0)),
                       help="worker processes of the local cluster (default: one per core); 0 runs the machines "
                            "one after the other in this process")
    store_option = argparse.ArgumentParser(add_help=False)
    store_option.add_argument("--store", required=True, help="the store folder (made by `fleet train`)")
    layout = ("DATA: a folder with a file <machine>.csv / <machine>.parquet, a folder <machine>/ or "
              "machine=<machine>/ of such files per machine; or one table with --id-column")

    def command(name, function, help_text, examples, parents):
        sub = subcommands.add_parser(name, parents=list(parents), help=help_text, description=help_text,
                                     epilog="Examples:\n" + "\n".join(f"  {e}" for e in examples),
                                     formatter_class=argparse.RawTextHelpFormatter)
        sub.set_defaults(run=function, command=f"fleet {name}")
        return sub

    train = command("train", cmd_fleet_train, "Train a health model of every machine of a fleet.",
                    ["algo-health fleet train history/ --store plant.store",
                     "algo-health fleet train history/ --store plant.store --manifest machines.csv "
                     "--config 1,0,0,1,2,1,2,1",
                     "algo-health fleet train export.parquet --id-column asset --store plant.store "
                     "--scheduler tcp://10.0.0.5:8786"],
                    (common, rows, engine, store_option))
    train.add_argument("data", help=layout)
    train.add_argument("--id-column", help="the machine column of a single table holding every machine")
    train.add_argument("--manifest", help="CSV or JSON, one row per machine: machine and any of config, codebook (a file), "
                            "iso_power, iso_foundation, sister (a failed sister machine's file or folder)")
    train.add_argument("--config", default=DEFAULT_CONFIG, type=option(config_text), help=CONFIG_HELP)
    train.add_argument("--codebook", type=option(codebook_file), help=CODEBOOK_HELP)

    score = command("score", cmd_fleet_score, "Score each machine's new batch and add it to the store's history.",
                    ["algo-health fleet score today/ --store plant.store",
                     "algo-health fleet score s3://plant/today/ --store plant.store --workers 8"],
                    (common, rows, engine, store_option))
    score.add_argument("data", help=layout)
    score.add_argument("--id-column", help="the machine column of a single table holding every machine")

    rul = command("rul", cmd_fleet_rul, "Forecast each machine's remaining life from its stored scores.",
                  ["algo-health fleet rul --store plant.store"], (common, engine, store_option))
    rul.add_argument("--tightness", type=option(lambda text: checks.fraction(float(text))), default=SCORE_TIGHTNESS,
                     help="health index of a sample on the T2 limit, as a fraction of 100 (default %(default)s)")

    command("status", cmd_fleet_status, "One line per machine, riskiest first: health index, remaining life, "
            "signal, lights and last error.",
            ["algo-health fleet status --store plant.store", "algo-health fleet status --store plant.store --json"],
            (common, store_option))

    page = command("report", cmd_fleet_report, "Write the fleet report: one self-contained HTML page of every "
                   "machine in a fleet store.", ["algo-health fleet report --store plant.store --out fleet.html"],
                   (common, store_option))
    page.add_argument("--out", default="fleet.html", type=output(report.PAGE_SUFFIXES),
                      help="page to write (.html), default %(default)s")

    demo = command("demo", cmd_fleet_demo, "A synthetic fleet trained, scored for a month and forecast.",
                   ["algo-health fleet demo", "algo-health fleet demo --workers 2 --folder /tmp/fleet-demo"],
                   (common, engine))
    demo.add_argument("--folder", default="algo-health-fleet-demo",
                      help="where the demo writes its files and store, default %(default)s (replaced when an "
                           "earlier demo made it)")
    demo.add_argument("--machines", type=option(lambda text: checks.at_least(int(text), 1)), default=20,
                      help="machines in the fleet, default %(default)s")
    demo.add_argument("--days", type=option(lambda text: checks.at_least(int(text), 1)), default=30,
                      help="daily batches scored, default %(default)s")
def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as stop:  # --help, --version, or a usage error already reported
        return stop.code if isinstance(stop.code, int) else EXIT_FAILED
    progress = Progress(enabled=not args.quiet and sys.stderr.isatty())
    args.stdout = sys.stdout  # the report's stream; the library's own lines are diverted while it runs
    try:
        with machine.library_output(args.verbose):
            return args.run(args, progress)
    except USER_ERRORS as error:
        print(f"algo-health {args.command}: error: {error}", file=sys.stderr)
        return EXIT_FAILED
    except BrokenPipeError:
        quiet_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # a fault of ours: still one line, never a traceback
        print(f"algo-health {args.command}: unexpected error: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_FAILED


def quiet_stdout() -> None:
    """Points stdout at /dev/null, so that flushing it at exit after a closed pipe stays quiet."""
    import os

    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # no real file behind stdout (a test's capture)
        pass

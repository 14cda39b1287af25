"""The `algo-health` command: train, score and forecast from the shell.

A thin host over the native modules: it reads files, calls `algo.HI.HI` and
`algo.RUL.RUL`, and writes reports, model files and charts. The analytics are
all theirs.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from algo import modelfile, synthetic

DEFAULT_CONFIG = "0,0,0,1,2,1,1,1"
DEMO_CONFIG = "1,0,0,1,2,1,2,1"
SCORE_TIGHTNESS = 0.9

CONFIG_HELP = """configuration: eight comma-separated fields (default %(default)s):
  1 time scale: 0 minute bins, 1 hour bins
  2 testing outlier removal: 1 drops per-minute IQR outliers when scoring
  3 low-resolution screening: 1 drops near-zero features
  4 feature families: 1 all, 2 without failure modes, 3 frequency bands only
  5 scaling: 1 none, 2 standardise, 3 min-max
  6 model: 1 PCA health model
  7 deadline: 1 from mean + 12 sd of training T2, 2 warning line at mean + 24 sd
  8 features: 1 time bins, 2/3/4 rolling windows of 120/3600/60 rows"""


class CliError(Exception):
    """A failure reported to the user as one line, without a traceback."""


class Progress:
    """Stage-by-stage progress on stderr, for a person watching a terminal."""

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.started = time.perf_counter()

    def stage(self, text: str) -> None:
        if self.enabled:
            print(f"[{time.perf_counter() - self.started:6.1f}s] {text}", file=sys.stderr, flush=True)


# --- modules, files and records -------------------------------------------------


def _hi():
    from algo.HI import HI

    return HI


def _rul():
    from algo.RUL import RUL

    return RUL


def read_table(path: str | Path) -> pd.DataFrame:
    """A CSV or Parquet file as a frame."""
    path = Path(path)
    if not path.is_file():
        raise CliError(f"no such file: {path}")
    try:
        if path.suffix.lower() in (".parquet", ".pq"):
            return pd.read_parquet(path)
        return pd.read_csv(path)
    except (ValueError, OSError, ImportError) as error:
        raise CliError(f"cannot read {path}: {error}") from None


def read_rows(path: str | Path) -> pd.DataFrame:
    """Raw monitoring rows with their labels renamed to feature names."""
    rows = _hi().rename_columns(read_table(path))
    if "_time" not in rows.columns:
        raise CliError(f"{path} has no time column: expected 'Time' or '_time' among {list(rows.columns)[:8]}")
    return rows


def read_json(path: str | Path):
    path = Path(path)
    if not path.is_file():
        raise CliError(f"no such file: {path}")
    try:
        return json.loads(path.read_text())
    except ValueError as error:
        raise CliError(f"{path} is not valid JSON: {error}") from None


def load_model(path: str | Path) -> dict:
    if not Path(path).is_file():
        raise CliError(f"no such file: {path}")
    try:
        return modelfile.load(path)
    except modelfile.ModelFileError as error:
        raise CliError(str(error)) from None


def checked(result: dict, what: str) -> dict:
    """The result of a guarded pipeline, or its failure as a CliError."""
    if result.get("is_error") == "True":
        note = result.get("error_code")
        detail = f" (note: {note})" if note not in (None, "None") else ""
        raise CliError(f"{what} failed at stage {result.get('error_stage')}: {result.get('error_message')}{detail}")
    return result


def evaluation(result, what: str):
    """The result of an evaluation that reports failure as its exception text."""
    if isinstance(result, str):
        raise CliError(f"{what} failed: {result}")
    return result


def plain(value):
    """A JSON-ready copy of numbers, arrays and containers (NaN as null)."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, (np.integer,)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return None if math.isnan(value) else float(value)
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d %H:%M:%S")
    return value


def emit(args, document: dict, lines: list[str]) -> None:
    if args.json:
        print(json.dumps(plain(document), indent=2, ensure_ascii=False))
    else:
        print("\n".join(lines))


def score_table(result: dict, time_name: str) -> pd.DataFrame:
    """T² and health index of a test result, one row per time stamp."""
    table = result["T2"].join(result["HI_Score"])
    table.index.name = time_name
    return table.reset_index()


# --- charts -----------------------------------------------------------------


def health_chart(path: Path, history: pd.DataFrame, rul: dict, model: dict, zones=()) -> Path:
    """The health-index history with the forecast, its band, deadline, warning line and bad zones."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The fonts matplotlib itself ships, so that no missing font is reported.
    style = {"font.family": ["sans-serif"], "font.sans-serif": ["DejaVu Sans"]}
    with plt.rc_context(style):
        figure, axes = plt.subplots(figsize=(11, 5))
        axes.plot(history.index, history["Score"], color="tab:blue", lw=1.2, label="health index")
        table = rul.get("rul_predict")
        if isinstance(table, pd.DataFrame):
            time_name = model["datetime_name"]
            forecast = table[table["upper_CI"].notna()]
            axes.plot(forecast[time_name], forecast["Score"], color="tab:purple", lw=1.5, label="forecast")
            axes.fill_between(forecast[time_name], forecast["lower_CI"], forecast["upper_CI"],
                              color="tab:purple", alpha=0.15, label="90 % band")
        axes.axhline(model["rul_deadline"], color="tab:red", ls="--", lw=1, label="deadline")
        if "rul_warning_line" in model:
            axes.axhline(model["rul_warning_line"], color="tab:orange", ls=":", lw=1, label="warning line")
        for number, (start, end) in enumerate(zones):
            axes.axvspan(start, end, color="tab:red", alpha=0.08, label="bad zone" if number == 0 else None)
        axes.set_ylim(0, 105)
        axes.set_ylabel("health index (0-100)")
        axes.set_title(f"Remaining useful life: {rul.get('rul_days')} {rul.get('unit')} ({rul.get('signal')})")
        axes.legend(loc="lower left", fontsize=8)
        axes.grid(alpha=0.3)
        figure.autofmt_xdate()
        figure.tight_layout()
        figure.savefig(path, dpi=110)
        plt.close(figure)
    return path


# --- commands ---------------------------------------------------------------


def rul_lines(rul: dict) -> list[str]:
    lines = [
        f"remaining useful life: {rul['rul_days']} {rul['unit']}  signal {rul['signal']}  ({rul['show']})",
        f"death probability at the horizon: {rul['death_probability']:.1f} %",
        f"deadline health index: {rul['rul_deadline']:.1f}",
    ]
    if "rul_warning_line" in rul:
        lines.append(f"warning line: {rul['rul_warning_line']:.1f}")
    return lines


def rul_document(rul: dict) -> dict:
    document = {k: v for k, v in rul.items() if k != "rul_predict" and not k.startswith("error_")}
    table = rul.get("rul_predict")
    if isinstance(table, pd.DataFrame):
        document["forecast"] = table[table["upper_CI"].notna()].to_dict(orient="records")
    return document


def cmd_train(args, progress: Progress) -> None:
    HI = _hi()
    progress.stage(f"reading {args.data}")
    rows = read_rows(args.data)
    codebook = read_json(args.codebook) if args.codebook else None
    progress.stage(f"training on {len(rows):,} rows with configuration {args.config}")
    model = checked(HI.training_model(rows, args.config, codebook), "training")
    modelfile.save(model, args.model)
    progress.stage(f"model written to {args.model}")
    summary = {
        "model": str(args.model),
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
        "note": model["error_code"],
    }
    lines = [
        f"model written to {args.model}",
        f"{summary['samples']} samples x {summary['features']} features, {summary['components']} components, "
        f"T2 limit {model['ucl']:.2f}",
        f"robustness {model['training_model_robust_index']} ({model['training_model_robust_status']}), "
        f"deadline health index {model['rul_deadline']:.1f}",
    ]
    if model["error_code"] != "None":
        lines.append(f"note: {model['error_code']}")
    emit(args, summary, lines)


def cmd_score(args, progress: Progress) -> None:
    HI = _hi()
    model = load_model(args.model)
    progress.stage(f"reading {args.data}")
    rows = read_rows(args.data)
    progress.stage(f"scoring {len(rows):,} rows")
    result = checked(HI.testing_model(rows, model), "scoring")
    table = score_table(result, model["datetime_name"])
    if args.out:
        out = Path(args.out)
        if out.suffix.lower() == ".json":
            out.write_text(table.to_json(orient="records", date_format="iso", indent=2))
        else:
            table.to_csv(out, index=False)
        progress.stage(f"scores written to {out}")
    above = int((table["tsquare"] > model["ucl"]).sum())
    document = {
        "samples": len(table),
        "above_limit": above,
        "health_index_last": table["Score"].iloc[-1],
        "health_index_min": table["Score"].min(),
        "suspicious_variable": result["suspicious_variable"],
        "scores": table.to_dict(orient="records"),
    }
    lines = [
        f"{len(table)} samples scored, {above} above the T2 limit {model['ucl']:.2f}",
        f"health index: last {table['Score'].iloc[-1]:.1f}, lowest {table['Score'].min():.1f}",
        f"variable behind the first alarm: {result['suspicious_variable']}",
    ]
    if args.out:
        lines.append(f"scores written to {args.out}")
    emit(args, document, lines)


def cmd_rul(args, progress: Progress) -> None:
    RUL = _rul()
    model = load_model(args.model)
    time_name = model["datetime_name"]
    scores = read_table(args.scores)
    if time_name not in scores.columns or "tsquare" not in scores.columns:
        raise CliError(f"{args.scores} needs the columns '{time_name}' and 'tsquare' (as `score --out` writes them)")
    t2 = scores.assign(**{time_name: pd.to_datetime(scores[time_name])}).set_index(time_name)[["tsquare"]]
    progress.stage(f"forecasting from {len(t2)} scores")
    rul = checked(RUL.rul_calculation(t2, model, args.tightness), "the RUL calculation")
    lines = rul_lines(rul)
    if args.chart:
        history = _hi().Health_Index(t2, model["ucl"], args.tightness)
        health_chart(Path(args.chart), history, rul, model)
        lines.append(f"chart written to {args.chart}")
    emit(args, rul_document(rul), lines)


def cmd_iso(args, progress: Progress) -> None:
    HI = _hi()
    limits = HI.ISO20816_overall(args.power, args.foundation)
    if limits["error_stage"] != "None":
        raise CliError(f"no ISO 20816-3 limits: {limits['error_message']}")
    progress.stage(f"reading {args.data}")
    lights = evaluation(HI.ISO20816_light(read_rows(args.data), limits["warning"], limits["alert"]), "ISO evaluation")
    lines = [f"ISO 20816-3 limits for {args.power} kW, {args.foundation}: warning {limits['warning']} mm/s, "
             f"alert {limits['alert']} mm/s"]
    lines += [f"  {feature:<12} {entry['light']}" for feature, entry in lights.items()]
    emit(args, {"warning": limits["warning"], "alert": limits["alert"], "lights": lights}, lines)


def cmd_thresholds(args, progress: Progress) -> None:
    progress.stage(f"reading {args.data}")
    thresholds = evaluation(_hi().pre_feature_training(read_rows(args.data)), "threshold training")
    Path(args.out).write_text(json.dumps(plain(thresholds), indent=2))
    lines = [f"warning and alert limits of {len(thresholds)} features written to {args.out}"]
    emit(args, thresholds, lines)


def cmd_lights(args, progress: Progress) -> None:
    thresholds = read_json(args.thresholds)
    progress.stage(f"reading {args.data}")
    lights = evaluation(_hi().pre_feature_light(read_rows(args.data), thresholds), "light evaluation")
    counts = {colour: sum(entry["light"] == colour for entry in lights.values()) for colour in ("green", "yellow", "red")}
    lines = [f"{len(lights)} features: " + ", ".join(f"{n} {colour}" for colour, n in counts.items())]
    lines += [f"  {feature:<24} {entry['light']}" for feature, entry in lights.items() if entry["light"] != "green"]
    emit(args, lights, lines)


def cmd_demo(args, progress: Progress) -> None:
    HI, RUL = _hi(), _rul()
    progress.stage("building the sample machine")
    machine = synthetic.sample_machine(monitored_days=args.days, raw_labels=True)
    healthy = HI.rename_columns(machine.healthy)
    progress.stage(f"training on {len(healthy):,} healthy 1 Hz rows (hour bins, warning line)")
    model = checked(HI.training_model(healthy, DEMO_CONFIG), "training")
    progress.stage("learning the failure deadline from a failed sister machine")
    failure = HI.rename_columns(machine.failure_recording)
    model = checked(HI.failure_deadline_learning([failure], model, None), "deadline learning")
    progress.stage(f"scoring {len(machine.daily_batches)} daily one-hour batches")
    scored = [checked(HI.testing_model(HI.rename_columns(b), model), "scoring") for b in machine.daily_batches]
    t2 = pd.concat([result["T2"] for result in scored])
    history = pd.concat([result["HI_Score"] for result in scored])
    progress.stage("forecasting the remaining useful life")
    rul = checked(RUL.rul_calculation(t2, model, SCORE_TIGHTNESS), "the RUL calculation")
    zones = HI.detect_bad_HI_zone(history, model["rul_warning_line"], envelope_window="3D", density_window="10D")
    limits = HI.ISO20816_overall(75, "Rigid")
    latest = HI.rename_columns(machine.daily_batches[-1])
    lights = evaluation(HI.ISO20816_light(latest, limits["warning"], limits["alert"]), "ISO evaluation")
    chart = health_chart(Path(args.out), history, rul, model, zones)
    progress.stage(f"chart written to {chart}")

    last = history["Score"].iloc[-1]
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
        + ", ".join(f"{feature} {entry['light']}" for feature, entry in lights.items()),
        f"chart: {chart.resolve()}",
    ]
    document = {
        "model": {k: model[k] for k in ("ucl", "rul_deadline", "rul_warning_line", "training_model_robust_index")},
        "health_index_last": last,
        "rul": rul_document(rul),
        "bad_zones": [[s, e] for s, e in zones],
        "iso": lights,
        "chart": str(chart.resolve()),
    }
    emit(args, document, lines)


# --- parser -----------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="algo-health",
        description="Machine-health analytics for rotating equipment: train a health model, score new data, "
        "forecast the remaining useful life.",
        epilog="Examples:\n  algo-health demo\n  algo-health train history.csv --model pump.model\n"
        "  algo-health score today.csv --model pump.model --out scores.csv\n"
        "  algo-health rul scores.csv --model pump.model --chart rul.png",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="print a JSON document instead of the report")
    common.add_argument("--quiet", action="store_true", help="no progress lines on stderr")
    commands = parser.add_subparsers(dest="command", required=True, metavar="command")

    def command(name, function, help_text, examples):
        sub = commands.add_parser(name, parents=[common], help=help_text, description=help_text,
                                  epilog="Examples:\n" + "\n".join(f"  {e}" for e in examples),
                                  formatter_class=argparse.RawTextHelpFormatter)
        sub.set_defaults(run=function)
        return sub

    demo = command("demo", cmd_demo, "Run the whole road on a built-in sample machine: train, score, forecast.",
                   ["algo-health demo", "algo-health demo --out chart.png --json"])
    demo.add_argument("--out", default="algo-health-demo.png", help="chart file (PNG), default %(default)s")
    demo.add_argument("--days", type=int, default=120, help="monitored days, default %(default)s")

    train = command("train", cmd_train, "Train a health model on raw rows (CSV or Parquet).",
                    ["algo-health train history.csv --model pump.model",
                     "algo-health train history.parquet --config 1,0,0,1,2,1,1,1 --codebook codebook.json "
                     "--model pump.model"])
    train.add_argument("data", help="raw rows: a time column 'Time' or '_time' and the sensor features")
    train.add_argument("--model", required=True, help="model file to write")
    train.add_argument("--config", default=DEFAULT_CONFIG, help=CONFIG_HELP)
    train.add_argument("--codebook", help="codebook JSON with the valid range of each feature")

    score = command("score", cmd_score, "Score new raw rows against a model: T2, health index, suspicious variable.",
                    ["algo-health score today.csv --model pump.model",
                     "algo-health score today.csv --model pump.model --out scores.csv"])
    score.add_argument("data", help="raw rows to score")
    score.add_argument("--model", required=True, help="model file written by `train`")
    score.add_argument("--out", help="write the scores to this file (.csv or .json)")

    rul = command("rul", cmd_rul, "Forecast the health index and report the remaining useful life.",
                  ["algo-health rul scores.csv --model pump.model", "algo-health rul scores.csv --model pump.model "
                   "--chart rul.png --json"])
    rul.add_argument("scores", help="scores as `score --out` writes them (time and 'tsquare' columns)")
    rul.add_argument("--model", required=True, help="model file written by `train`")
    rul.add_argument("--tightness", type=float, default=SCORE_TIGHTNESS,
                     help="health index of a sample on the T2 limit, as a fraction of 100 (default %(default)s)")
    rul.add_argument("--chart", help="write a chart of history and forecast to this PNG file")

    iso = command("iso", cmd_iso, "ISO 20816-3 limits for a machine and traffic lights of its overall levels.",
                  ["algo-health iso today.csv --power 75 --foundation Rigid"])
    iso.add_argument("data", help="raw rows with the overall vibration levels")
    iso.add_argument("--power", type=float, required=True, help="machine power in kW (15 and above)")
    iso.add_argument("--foundation", required=True, choices=["Rigid", "Flexible"], help="foundation type")

    thresholds = command("thresholds", cmd_thresholds, "Learn failure-mode warning and alert limits from healthy rows.",
                         ["algo-health thresholds healthy.csv --out thresholds.json"])
    thresholds.add_argument("data", help="raw rows of healthy operation")
    thresholds.add_argument("--out", required=True, help="thresholds JSON file to write")

    lights = command("lights", cmd_lights, "Traffic lights of new rows against learnt failure-mode limits.",
                     ["algo-health lights today.csv --thresholds thresholds.json"])
    lights.add_argument("data", help="raw rows to evaluate")
    lights.add_argument("--thresholds", required=True, help="thresholds JSON written by `thresholds`")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    progress = Progress(enabled=not args.quiet and sys.stderr.isatty())
    try:
        args.run(args, progress)
    except CliError as error:
        print(f"algo-health {args.command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # a fault of ours: still one line, never a traceback
        print(f"algo-health {args.command}: unexpected error: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0

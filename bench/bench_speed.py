"""End-to-end speed of the pipelines against their pandas formulation.

Every workload runs our call and the straightforward pandas formulation
(tests/pandas_pipelines.py and the formulations of the building blocks, which
the tests check our code against) alternately in one process and prints the
best wall-clock time of each and their ratio. The machine is shared, so
absolute times move from run to run; a ratio measured within one run stays
meaningful.

Workloads, each on clean rows (one row per whole second) and on rows shaped
like a real export (algo.synthetic.as_export: millisecond jitter, 2 % of the
seconds as two partial rows that disagree on temperature and speed, 0.1 % of
the cells empty, one downtime gap):
- training_model for every configuration family on one and on seven days of
  1 Hz rows of a CSV-like export (71 columns, times as text);
- testing_model of a minute-bin model on a one-hour and on a one-day batch;
- compress_by_second "last" on one day (clean rows: 10 % of the seconds
  repeated);
- feature_extraction_rolling 120/60 on one day x 59 columns against the
  window-by-window loop.
Then the stage profile of a training and of a testing call: the share of each
stage in the library's own accounting (audit events "algo.stage", see
README), or, for builds that do not report stages, the share of each module
function the pipeline calls through its globals.

BLAS runs on one thread (--blas-threads to change): on a shared two-core
machine more threads mostly measure the neighbours' load, and both sides call
the same LAPACK routines through scikit-learn.

Usage: python bench_speed.py [training] [testing] [compression] [rolling] [profile]
       [--days 1 7] [--rows clean|real|both] [--blas-threads 1]
       (all workloads, 1 and 7 days and both kinds of rows by default;
       seven-day rolling formulations take minutes)
"""

import argparse
import time
import warnings
from types import SimpleNamespace

import numpy as np
from threadpoolctl import threadpool_limits

from algo.HI import HI
from algo.synthetic import FAIL_MODES, as_export, machine_frame
from bench_compress_by_second import raw_export as export_with_repeats
from bench_pipelines import raw_export
from common import reference, stage_seconds

training_formulation = reference("pandas_pipelines", "training_model")
testing_formulation = reference("pandas_pipelines", "testing_model")
pandas_compress = reference("test_compression", "pandas_compress")
rolling_by_windows = reference("test_features", "rolling_by_windows")

TRAINING = {"minute bins": "0,0,0,1,2,1,1,1", "hour bins": "1,0,0,1,2,1,1,1",
            "hour bins, low-resolution screening": "1,0,1,1,2,1,1,1",
            "rolling 120/60": "0,0,0,1,2,1,1,2", "rolling 3600/1800": "0,0,0,1,2,1,1,3",
            "rolling 60/30": "0,0,0,1,2,1,1,4"}
MINUTE_MODEL = TRAINING["minute bins"]
ROWS = {"clean": False, "real": True}
BATCHES = {"1-hour batch": 3600, "1-day batch": 86_400}


def batch(periods, real):
    """A testing batch a week after the training rows, times as text."""
    rows = machine_frame("2024-01-08", periods=periods, seed=1, time_as_text=not real)
    return as_export(rows, seed=1, time_as_text=True) if real else rows


def compression_rows(real):
    return as_export(machine_frame(periods=86_400)) if real else export_with_repeats(24)


def rolling_rows(real):
    rows = machine_frame("2024-01-01", periods=86_400)
    if real:
        rows = HI.compress_by_second(as_export(rows), "_time")[0]
    return rows.set_index("_time")


def alternately(ours, theirs, ours_runs=3, their_runs=2):
    """Best seconds of each, the calls interleaved; and each one's last result."""
    best = [float("inf"), float("inf")]
    results = [None, None]
    for run in range(max(ours_runs, their_runs)):
        for i, (fn, runs) in enumerate(((ours, ours_runs), (theirs, their_runs))):
            if run < runs:
                start = time.perf_counter()
                results[i] = fn()
                best[i] = min(best[i], time.perf_counter() - start)
    return best, results


def row(label, kind, seconds):
    ours, theirs = seconds
    print(f"  {label:<44} {kind:<6} {ours:9.4f} s {theirs:10.3f} s {theirs / ours:9.1f} x", flush=True)


def header(title):
    print(f"\n{title}\n  {'workload':<44} {'rows':<6} {'ours':>11} {'pandas':>12} {'ratio':>11}")


def assert_close_t2(ours, theirs):
    a, b = ours["T2"]["tsquare"].to_numpy(), theirs["T2"]["tsquare"].to_numpy()
    assert a.shape == b.shape and np.allclose(a, b, rtol=1e-9, atol=0), "results differ"


def training(days_list, kinds):
    header("training_model (1 Hz export, 71 columns, times as text)")
    for days in days_list:
        for kind in kinds:
            raw = raw_export(days, ROWS[kind])
            their_runs = 1 if days > 1 else 2
            for label, config in TRAINING.items():
                seconds, (model, expected) = alternately(lambda: HI.training_model(raw, config),
                                                         lambda: training_formulation(raw, config), 3, their_runs)
                assert model["is_error"] == "False", model["error_message"]
                assert_close_t2(model, expected)
                row(f"{label}, {days} day{'s' if days > 1 else ''}", kind, seconds)


def testing(_days_list, kinds):
    header("testing_model with a minute-bin model trained on one day")
    for kind in kinds:
        model = HI.training_model(raw_export(1, ROWS[kind]), MINUTE_MODEL)
        for label, periods in BATCHES.items():
            rows = batch(periods, ROWS[kind])
            runs = (20, 10) if periods == 3600 else (5, 3)
            seconds, (result, expected) = alternately(lambda: HI.testing_model(rows, model),
                                                      lambda: testing_formulation(rows, model), *runs)
            assert result["is_error"] == "False", result["error_message"]
            assert_close_t2(result, expected)
            row(label, kind, seconds)


def compression(_days_list, kinds):
    header("compress_by_second (one day; clean rows: 10 % of the seconds repeated)")
    for kind in kinds:
        raw = compression_rows(ROWS[kind])
        seconds, _ = alternately(lambda: HI.compress_by_second(raw, "_time"), lambda: pandas_compress(raw, "_time"))
        row('"last"', kind, seconds)


def rolling(_days_list, kinds):
    header("feature_extraction_rolling 120/60 (one day x 59 columns)")
    for kind in kinds:
        rows = rolling_rows(ROWS[kind])
        names = list(rows.columns)
        time_domain = [c for c in names if any(k in c for k in ("Overall", "Peak", "Crest"))]
        fail_mode = [c for c in names if c.endswith("percentage") or c in FAIL_MODES]
        record = SimpleNamespace(time=time_domain, frequency=[c for c in names if c not in time_domain + fail_mode],
                                 fail_mode=fail_mode)
        seconds, _ = alternately(lambda: HI.feature_extraction_rolling(rows, record, 120, 60),
                                 lambda: rolling_by_windows(rows, record, 120, 60), 5, 1)
        row("window 120, step 60", kind, seconds)


def stage_profile(label, call, repeat=5):
    call()
    start = time.perf_counter()
    _, seconds = stage_seconds(lambda: [call() for _ in range(repeat)])
    total = (time.perf_counter() - start) / repeat
    stages = {name: s / repeat for name, s in seconds.items()}
    print(f"\n{label}: {total * 1e3:.1f} ms per call (stages the library reports)")
    for name, s in sorted(stages.items(), key=lambda item: -item[1]):
        print(f"  {name:<32} {s * 1e3:9.2f} ms  {100 * s / total:5.1f} %")
    rest = total - sum(stages.values())
    print(f"  {'(outside the stages)':<32} {rest * 1e3:9.2f} ms  {100 * rest / total:5.1f} %")


def profile(_days_list, kinds):
    for kind in kinds:
        raw = raw_export(1, ROWS[kind])
        for config in (MINUTE_MODEL, TRAINING["hour bins, low-resolution screening"]):
            stage_profile(f"training_model {config}, one day, {kind} rows", lambda: HI.training_model(raw, config))
        model = HI.training_model(raw, MINUTE_MODEL)
        for label, periods in BATCHES.items():
            rows = batch(periods, ROWS[kind])
            stage_profile(f"testing_model, {label}, {kind} rows", lambda: HI.testing_model(rows, model),
                          repeat=20 if periods == 3600 else 5)


WORKLOADS = {"training": training, "testing": testing, "compression": compression, "rolling": rolling,
             "profile": profile}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("workloads", nargs="*", metavar="workload", help=", ".join(WORKLOADS))
    parser.add_argument("--days", nargs="+", type=int, default=[1, 7])
    parser.add_argument("--rows", choices=[*ROWS, "both"], default="both")
    parser.add_argument("--blas-threads", type=int, default=1)
    args = parser.parse_args()
    unknown = set(args.workloads) - set(WORKLOADS)
    if unknown:
        parser.error(f"unknown workload {', '.join(sorted(unknown))}")
    warnings.simplefilter("ignore")
    kinds = list(ROWS) if args.rows == "both" else [args.rows]
    with threadpool_limits(limits=args.blas_threads, user_api="blas"):
        for name in args.workloads or list(WORKLOADS):
            WORKLOADS[name](args.days, kinds)


if __name__ == "__main__":
    main()

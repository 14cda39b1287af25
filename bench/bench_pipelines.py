"""training_model on 7 days of 1 Hz rows, testing_model on one hour.

The raw frame is what a CSV export gives: about 70 columns (the synthetic
machine's 59 features plus extra numeric channels) and the times as text.
Each configuration is trained in a fresh state of the process first (the
first large call pays for the memory the process grows into) and then
repeated. Stage shares are those the pipeline reports (audit events
"algo.stage"). The stages made native are then compared with their pandas
formulation on the same data.

Usage: python bench_pipelines.py [days]   (default 7)
"""

import sys
import time

import numpy as np

from algo.HI import HI
from algo.synthetic import as_export, machine_frame
from common import best_time, peak_bytes, report, reference, stage_seconds

pandas_compress = reference("test_compression", "pandas_compress")


CONFIGS = {"minute bins": "0,0,0,1,2,1,1,1", "rolling 120/60": "0,0,0,1,2,1,1,2"}
EXTRA_CHANNELS = 11


def raw_export(days, real=False):
    """`days` of 1 Hz rows with the extra channels, times as text; `real` gives them as a
    real export does (see algo.synthetic.as_export)."""
    frame = machine_frame("2024-01-01", periods=days * 86_400, time_as_text=not real)
    rng = np.random.default_rng(0)
    for i in range(EXTRA_CHANNELS):
        frame[f"Channel_{i:02d}"] = rng.normal(size=len(frame))
    return as_export(frame, time_as_text=True) if real else frame


def stage_shares(raw, config):
    start = time.perf_counter()
    _, stages = stage_seconds(lambda: HI.training_model(raw, config))
    total = time.perf_counter() - start
    stages["(outside the stages)"] = total - sum(stages.values())
    for name, seconds in stages.most_common():
        print(f"    {name:<34} {seconds:7.3f} s  {100 * seconds / total:5.1f} %")


def per_window_loop(features, names, windows, window=120, step=60):
    """The rolling features window by window, in pandas (the first `windows` windows)."""
    rows = []
    for start in range(0, windows * step, step):
        sub = features.iloc[start:start + window]
        rows.append(np.concatenate([sub[names].max().values, sub[names].mean().values]))
    return rows


def main():
    days = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    raw = raw_export(days)
    print(f"raw export: {len(raw):,} rows x {raw.shape[1]} columns ({raw.memory_usage(deep=True).sum() / 2**20:,.0f} "
          f"MiB), times as text\n")

    for label, config in CONFIGS.items():
        start = time.perf_counter()
        model = HI.training_model(raw, config)
        first = time.perf_counter() - start
        assert model["is_error"] == "False", model["error_message"]
        repeated, _ = best_time(lambda: HI.training_model(raw, config), repeat=2)
        peak, _ = peak_bytes(lambda: HI.training_model(raw, config))
        print(f"training_model, {label} ({config}): {len(model['T2']):,} samples")
        report("  first large call in the process", first)
        report("  repeated call", repeated)
        print(f"  peak traced memory {peak / 2**20:,.0f} MiB; stage shares of one call:")
        stage_shares(raw, config)
        print()

    print("native stages against their pandas formulation on the same rows:")
    native, _ = best_time(lambda: HI.compress_by_second(raw, "_time"), repeat=2)
    plain, _ = best_time(lambda: pandas_compress(raw, "_time"), repeat=1)
    report("  compress_by_second", native, plain, "pandas")
    rows = HI.compress_by_second(raw, "_time")[0].set_index("_time")
    names = [c for c in rows.columns if "Overall" in c or "Peak" in c or "Crest" in c or "Band" in c]
    record = HI.SimpleNamespace(time=names[:12], frequency=names[12:], fail_mode=[])
    native, _ = best_time(lambda: HI.feature_extraction_rolling(rows, record, 120, 60), repeat=2)
    sample = 500
    plain, _ = best_time(lambda: per_window_loop(rows, names, sample), repeat=1)
    plain *= (len(rows) - 120) // 60 / sample
    report("  feature_extraction_rolling (loop extrapolated)", native, plain, "pandas windows")
    print()

    model = HI.training_model(raw, CONFIGS["minute bins"])
    hour = machine_frame("2024-01-08", periods=3600, seed=1, time_as_text=True)
    seconds, result = best_time(lambda: HI.testing_model(hour, model), repeat=10)
    assert result["is_error"] == "False", result["error_message"]
    report("testing_model, one hour (3,600 rows)", seconds)


if __name__ == "__main__":
    main()

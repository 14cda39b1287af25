"""feature_extraction on 7 days of 1-second rows at the minute scale.

The maximum and the mean are resampled in chunks of 50,000 rows so that the
memory a call needs stays a small fraction of the input; the straightforward
formulation resamples the whole selection at once. Both are timed and their
peak traced memory (Python and numpy allocations) is set against the input.
"""

from types import SimpleNamespace

import pandas as pd

from algo.HI import HI
from algo.synthetic import AXES, BANDS, FAIL_MODES, machine_frame
from common import best_time, peak_bytes, report

DAYS, TIME_SCALE = 7, "min"


def families():
    time = [f"{a}_{m}" for m in ("Overall", "Peak", "Peak_to_Peak", "Crest_Factor") for a in AXES]
    frequency = [f"{a}_{b}" for a in AXES for b in BANDS]
    return SimpleNamespace(time=time, frequency=frequency, fail_mode=list(FAIL_MODES))


def whole_frame_features(df, icn, time_scale):
    names = icn.time + icn.frequency + icn.fail_mode
    parts = [df[names].resample(time_scale).max().add_suffix("_max"),
             df[names].resample(time_scale).mean().add_suffix("_mean"),
             df[icn.time].resample(time_scale).std().add_suffix("_std")]
    return pd.concat(parts, axis=1).dropna(axis="index", how="any")


def main():
    df = machine_frame(periods=DAYS * 86_400).set_index("_time")
    icn = families()
    input_bytes = df.memory_usage(deep=True).sum()
    print(f"feature_extraction: {len(df):,} rows x {df.shape[1]} columns ({input_bytes / 2**20:.0f} MiB), "
          f"{len(icn.time + icn.frequency + icn.fail_mode)} indicator columns, time scale {TIME_SCALE!r}")

    ours_s, (features, _) = best_time(lambda: HI.feature_extraction(df, icn, TIME_SCALE), repeat=2)
    whole_s, expected = best_time(lambda: whole_frame_features(df, icn, TIME_SCALE), repeat=2)
    pd.testing.assert_frame_equal(features, expected, check_freq=False, rtol=1e-12)
    print(f"{len(features):,} feature rows, equal to one resample of the whole frame")
    report("whole-frame resample", whole_s)
    report("feature_extraction (chunked)", ours_s)
    print(f"chunking costs {ours_s / whole_s:.2f} x the time of the whole-frame resample")

    ours_peak, _ = peak_bytes(lambda: HI.feature_extraction(df, icn, TIME_SCALE))
    whole_peak, _ = peak_bytes(lambda: whole_frame_features(df, icn, TIME_SCALE))
    print(f"peak traced memory: feature_extraction {ours_peak / 2**20:.0f} MiB = {ours_peak / input_bytes:.2f} x "
          f"input (goal below 3 x); whole-frame resample {whole_peak / 2**20:.0f} MiB = "
          f"{whole_peak / input_bytes:.2f} x input")


if __name__ == "__main__":
    main()

"""feature_extraction_rolling on 7 days of 1-second rows, window 120, step 60.

Compares the native window kernel with the window-by-window pandas loop
(max, mean and std of every window slice). The loop is timed on the first
tenth of the windows and extrapolated linearly (every window costs the same).
Also checks that the kernel releases the GIL: a pure-Python thread keeps
counting while the calls run.
"""

import threading
import time
from types import SimpleNamespace

import pandas as pd

from algo.HI import HI
from algo.synthetic import AXES, BANDS, FAIL_MODES, machine_frame
from common import best_time, peak_bytes, report

DAYS, WINDOW, STEP = 7, 120, 60


def families():
    time = [f"{a}_{m}" for m in ("Overall", "Peak", "Peak_to_Peak", "Crest_Factor") for a in AXES]
    frequency = [f"{a}_{b}" for a in AXES for b in BANDS[:6]]
    return SimpleNamespace(time=time, frequency=frequency, fail_mode=list(FAIL_MODES))


def window_loop(df, icn, window, step, windows=None):
    names = icn.time + icn.frequency + icn.fail_mode
    results, index = [], []
    starts = range(0, len(df) - window + 1, step)[:windows]
    for start in starts:
        sub = df.iloc[start:start + window]
        feat = dict(zip([c + "_max" for c in names], sub[names].max().values))
        feat.update(zip([c + "_mean" for c in names], sub[names].mean().values))
        feat.update(zip([c + "_std" for c in icn.time], sub[icn.time].std().values))
        results.append(feat)
        index.append(df.index[start + window - 1])
    return pd.DataFrame(results, index=pd.DatetimeIndex(index, name=df.index.name)).dropna()


def other_thread_share(call, repeat=10):
    """How fast a pure-Python thread counts while `call` runs, against while the
    main thread sleeps: near 0 when the call holds the GIL."""
    running, count = True, [0]

    def spin():
        while running:
            count[0] += 1

    thread = threading.Thread(target=spin)
    thread.start()
    rates = []
    for work in (lambda: time.sleep(0.5), lambda: [call() for _ in range(repeat)]):
        before, start = count[0], time.perf_counter()
        work()
        rates.append((count[0] - before) / (time.perf_counter() - start))
    running = False
    thread.join()
    return rates[1] / rates[0]


def main():
    df = machine_frame(periods=DAYS * 86_400).set_index("_time")
    icn = families()
    windows = len(range(0, len(df) - WINDOW + 1, STEP))
    print(f"feature_extraction_rolling: {len(df):,} rows x {len(icn.time + icn.frequency + icn.fail_mode)} "
          f"indicator columns, window {WINDOW}, step {STEP}: {windows:,} windows")

    native_s, (features, _) = best_time(lambda: HI.feature_extraction_rolling(df, icn, WINDOW, STEP))
    sample = windows // 10
    loop_sample_s, reference = best_time(lambda: window_loop(df, icn, WINDOW, STEP, sample), repeat=1)
    loop_s = loop_sample_s * windows / sample
    pd.testing.assert_frame_equal(features.iloc[:sample], reference, check_exact=True)
    print(f"first {sample:,} windows identical to the pandas loop")

    report(f"pandas loop, {sample:,} windows (measured)", loop_sample_s)
    report("pandas loop, all windows (extrapolated x10)", loop_s)
    report("feature_extraction_rolling", native_s, loop_s, "pandas loop")

    input_bytes = df.memory_usage(deep=True).sum()
    peak, _ = peak_bytes(lambda: HI.feature_extraction_rolling(df, icn, WINDOW, STEP))
    print(f"peak traced memory {peak / 2**20:.1f} MiB ({peak / input_bytes:.3f} x the "
          f"{input_bytes / 2**20:.0f} MiB input)")

    share = other_thread_share(lambda: HI.feature_extraction_rolling(df, icn, WINDOW, STEP))
    print(f"another Python thread kept {share:.0%} of its idle pace during the calls (the kernel releases the GIL)")

if __name__ == "__main__":
    main()

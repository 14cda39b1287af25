"""Throughput of 2 host threads against 1 on the rolling and per-minute kernels.

The native kernels release the interpreter's lock, so two threads working on
different frames overlap in them; what is left of each call (pandas building
the frames around the kernel) still takes the lock in turn. Each thread gets
its own frame of a week of 1-second rows; the speed-up is the time of two
calls in a row over the time of the same two calls in two threads (2.0 at
best, on a machine with two idle cores).
"""

import threading
from types import SimpleNamespace

from algo.HI import HI
from algo.synthetic import AXES, BANDS, FAIL_MODES, machine_frame
from common import best_time, report

DAYS = 7


def families():
    time = [f"{a}_{m}" for m in ("Overall", "Peak", "Peak_to_Peak", "Crest_Factor") for a in AXES]
    frequency = [f"{a}_{b}" for a in AXES for b in BANDS]
    return SimpleNamespace(time=time, frequency=frequency, fail_mode=list(FAIL_MODES))


def in_threads(calls):
    threads = [threading.Thread(target=call) for call in calls]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def compare(label, calls):
    one_s, _ = best_time(lambda: [call() for call in calls])
    two_s, _ = best_time(lambda: in_threads(calls))
    report(f"{label}: 2 calls, 1 thread", one_s)
    report(f"{label}: 2 calls, 2 threads", two_s, one_s, "1 thread")
    return one_s / two_s


def main():
    raws = [machine_frame("2024-03-01", periods=DAYS * 86_400, seed=seed) for seed in (1, 2)]
    icn = families()
    indexed = [raw.set_index("_time") for raw in raws]
    print(f"{len(raws[0]):,} rows per thread, {len(raws[0].columns) - 1} feature columns")
    rolling = compare("feature_extraction_rolling 120/60",
                      [lambda df=df: HI.feature_extraction_rolling(df, icn, 120, 60) for df in indexed])
    minute = compare("drop_outliers_by_min",
                     [lambda df=df: HI.drop_outliers_by_min(df, "_time") for df in raws])
    print(f"speed-up of 2 threads over 1: rolling {rolling:.2f}x, per-minute {minute:.2f}x")


if __name__ == "__main__":
    main()

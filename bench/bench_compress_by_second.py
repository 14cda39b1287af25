"""compress_by_second on one day of 1 Hz rows with repeated seconds.

86,400 rows from the synthetic machine, plus 10 % of its seconds exported a
second time a fraction of a second later, each repeat missing about a third of
its values and disagreeing on about a third of the others. Compares the native
path with the pandas formulation the tests check it against: one grouped fill
and one duplicate drop for "last", and for "mode" the per-second reducer called
by pandas on every column that conflicts somewhere (all of them here, so that
run takes minutes).

Usage: python bench_compress_by_second.py [hours]   (default 24)
"""

import sys
import tracemalloc
import warnings

import numpy as np
import pandas as pd
from pandas.testing import assert_frame_equal

from algo.HI import HI
from algo.synthetic import machine_frame
from common import best_time, report, reference

pandas_compress = reference("test_compression", "pandas_compress")


REPEATED_SHARE, MISSING_SHARE, CONFLICT_SHARE = 0.10, 0.3, 0.3


def raw_export(hours, seed=0):
    frame = machine_frame(periods=hours * 3600, seed=seed)
    rng = np.random.default_rng(seed)
    repeats = frame.sample(frac=REPEATED_SHARE, random_state=seed)
    values = repeats.iloc[:, 1:].to_numpy(copy=True)
    values[rng.random(values.shape) < CONFLICT_SHARE] *= 1.01
    values[rng.random(values.shape) < MISSING_SHARE] = np.nan
    repeats.iloc[:, 1:] = values
    repeats["_time"] += pd.to_timedelta(rng.integers(1, 1000, len(repeats)), unit="ms")
    return pd.concat([frame, repeats]).sort_values("_time", kind="stable").reset_index(drop=True)


def peak_mib(fn):
    """Peak of the memory numpy and Python allocate during one call."""
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak / 2**20


def compare(raw, on_conflict, pandas_runs):
    """Times both paths, checks they agree and reports their peak memory.

    The pandas "mode" path is run once and its memory is not traced: tracing
    would slow its per-second Python calls and take minutes more.
    """
    ours = lambda: HI.compress_by_second(raw, "_time", on_conflict)  # noqa: E731
    theirs = lambda: pandas_compress(raw, "_time", on_conflict)  # noqa: E731
    ours_s, (out, conflicts) = best_time(ours)
    theirs_s, (expected, expected_conflicts) = best_time(theirs, repeat=pandas_runs)
    assert_frame_equal(out, expected)
    assert_frame_equal(conflicts, expected_conflicts)
    print(f'on_conflict="{on_conflict}": {len(out):,} seconds, {len(conflicts):,} conflicting (second, column) pairs')
    report("  pandas formulation", theirs_s)
    report("  native", ours_s, theirs_s, "pandas")
    pandas_memory = f"{peak_mib(theirs):.0f} MiB" if pandas_runs > 1 else "not traced"
    print(f"  peak memory: native {peak_mib(ours):.0f} MiB, pandas {pandas_memory}")


def main():
    hours = int(sys.argv[1]) if len(sys.argv) > 1 else 24
    raw = raw_export(hours)
    print(f"compress_by_second: {len(raw):,} rows x {raw.shape[1] - 1} value columns, {hours} h at 1 Hz")
    warnings.simplefilter("ignore")
    compare(raw, "last", pandas_runs=3)
    compare(raw, "mode", pandas_runs=1)


if __name__ == "__main__":
    main()

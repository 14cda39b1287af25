"""IQR_outlier_percent_clean on 1,000,000 rows x 20 heavy-tailed columns.

Compares the native filter (native quantiles and fence tests, marks by row
position) with the column-by-column pandas formulation (dropna, Series.quantile,
boolean Series, label-aligned |=). A max_ratio of 1 % makes the heavy tails
take the percentile fallback, so each column needs four quantiles.
"""

import numpy as np
import pandas as pd

from algo.HI import HI
from common import best_time, report, reference

pandas_clean = reference("test_cleaning", "iqr_reference")

ROWS, COLUMNS, MAX_RATIO = 1_000_000, 20, 0.01


def heavy_tailed_frame():
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.standard_t(3, size=(ROWS, COLUMNS)), columns=[f"f{i:02d}" for i in range(COLUMNS)])
    frame = frame.mask(rng.random(frame.shape) < 0.01)
    frame.insert(0, "_time", pd.date_range("2024-01-01", periods=ROWS, freq="s"))
    return frame


def main():
    df = heavy_tailed_frame()
    native_s, kept = best_time(lambda: HI.IQR_outlier_percent_clean(df, MAX_RATIO, "_time"), repeat=1)
    pandas_s, expected = best_time(lambda: pandas_clean(df, MAX_RATIO, "_time"), repeat=1)
    assert kept.index.equals(expected.index)
    print(f"IQR_outlier_percent_clean: {ROWS:,} rows x {COLUMNS} columns, max_ratio {MAX_RATIO}, "
          f"{len(kept):,} rows kept")
    report("pandas formulation", pandas_s)
    report("native filter", native_s, pandas_s, "pandas")


if __name__ == "__main__":
    main()

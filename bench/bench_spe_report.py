"""find_SPE_abnormal_times on 200,000 rows x 59 residual columns, 5 % alarms.

Compares the native per-alarm ranking with the row-by-row pandas report
(.loc, ** 2, sort_values, head and a dict per alarm).
"""

import numpy as np
import pandas as pd

from algo.HI import HI
from common import best_time, report, reference

pandas_report = reference("test_alarms", "spe_report_reference")

ROWS, FEATURES, ALARM_SHARE = 200_000, 59, 0.05


def residual_frames():
    rng = np.random.default_rng(0)
    index = pd.date_range("2024-01-01", periods=ROWS, freq="s", name="_time")
    residual = pd.DataFrame(rng.normal(size=(ROWS, FEATURES)), index=index,
                            columns=[f"f{i:02d}" for i in range(FEATURES)])
    spe = (residual ** 2).sum(axis=1).rename("SPE").to_frame()
    return spe, float(spe["SPE"].quantile(1 - ALARM_SHARE)), residual


def main():
    spe, limit, residual = residual_frames()
    native_s, (_, found) = best_time(lambda: HI.find_SPE_abnormal_times(spe, limit, residual))
    pandas_s, (_, expected) = best_time(lambda: pandas_report(spe, limit, residual), repeat=1)
    pd.testing.assert_frame_equal(found, expected)
    print(f"find_SPE_abnormal_times: {ROWS:,} rows x {FEATURES} residuals, {len(found):,} alarms")
    report("row-by-row pandas report", pandas_s)
    report("native ranking", native_s, pandas_s, "pandas")


if __name__ == "__main__":
    main()

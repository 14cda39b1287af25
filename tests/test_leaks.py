"""Repeated calls keep the process's memory flat.

A native function that forgets a reference leaks one host object per call; one
that forgets a buffer leaks native memory. Calling a function a thousand times
with fresh inputs then shows as a steady growth of the interpreter's allocated
blocks or of the resident set size. Inputs are rebuilt for every call, since
pandas keeps weak references to the views of long-lived frames, which would
grow for a while by themselves. bench/bench_leaks.py prints the growth per
call of every exported function.
"""

import gc
import os
import sys
import warnings
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from algo.HI import HI
from algo.RUL import RUL

pytestmark = [
    pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident set size from /proc"),
    # Under PYTHONMALLOC=malloc (as in the sanitizer run, whose quarantine also
    # holds freed memory) neither measure means anything.
    pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="needs the interpreter's own object allocator"),
]

WARM_UP, CALLS = 400, 400
FEATURES = ["X_Overall", "Y_Overall", "X_Power_in_Band_01"]
VALUES = np.random.default_rng(0).normal(size=(12, 3)) + 5
# Two rows per second, so that per-second compression meets conflicts.
TIMES = pd.date_range("2024-01-01", periods=6, freq="5s").repeat(2).to_numpy()


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def raw():
    return pd.DataFrame({"_time": TIMES.copy(), **{name: VALUES[:, j].copy() for j, name in enumerate(FEATURES)}})


def features():
    return pd.DataFrame(VALUES.copy(), columns=FEATURES, index=pd.DatetimeIndex(TIMES.copy(), name="_time"))


def tsquare():
    return pd.DataFrame({"tsquare": np.abs(VALUES[:, 0])}, index=pd.DatetimeIndex(TIMES.copy(), name="_time"))


def family_record():
    return SimpleNamespace(time=FEATURES[:2], frequency=FEATURES[2:], fail_mode=[])


SCALED, _ = HI.standardize(features())
MU, COV, UCL, PCA = HI.health_modeling(SCALED)


def scored():
    scaled = pd.DataFrame(SCALED.to_numpy(), columns=FEATURES, index=pd.DatetimeIndex(TIMES.copy(), name="_time"))
    return HI.cal_T2(scaled, PCA, MU, COV, scaled.index)


def spe_alarms():
    residuals = pd.DataFrame(VALUES - 5, columns=FEATURES)  # a unique index: the native ranking
    spe = pd.DataFrame({"SPE": (residuals**2).sum(axis=1)})
    return HI.find_SPE_abnormal_times(spe, 1.0, residuals, top_k=2)


# Cheap calls through every native path: kernels, argument binding, error
# records, raised errors and exception texts.
CALLS_BY_NAME = {
    "Health_Index": lambda: HI.Health_Index(tsquare(), UCL, 0.9),
    "T2_Anomaly_Rate": lambda: HI.T2_Anomaly_Rate(VALUES[:, 0].copy(), 5.0),
    "cal_T2": scored,
    "feature_extraction_rolling": lambda: HI.feature_extraction_rolling(features(), family_record(), 4, 2),
    "drop_outliers_by_min": lambda: HI.drop_outliers_by_min(raw(), "_time"),
    "compress_by_second": lambda: HI.compress_by_second(raw(), "_time", "mode"),
    "IQR_outlier_percent_clean": lambda: HI.IQR_outlier_percent_clean(raw(), 0.05, "_time"),
    "find_SPE_abnormal_times": spe_alarms,
    "death_probability": lambda: RUL.death_probability(45.0, 55.0, 35.0, 40.0),
    "training_model error record": lambda: HI.training_model(None, "0,0,0,1,2,1,1,1"),
    "testing_model raising KeyError": lambda: HI.testing_model(raw(), {}),
    "rul_calculation error record": lambda: RUL.rul_calculation(tsquare(), {"datetime_name": "_time"}, 0.9),
    "ISO20816_overall error record": lambda: HI.ISO20816_overall(10, "Rigid"),
    "pre_feature_light exception text": lambda: HI.pre_feature_light(None, {}),
    "wrong argument count": lambda: HI.standardize(features(), 1),
}


def run(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


@pytest.mark.parametrize("name", CALLS_BY_NAME)
def test_repeated_calls_keep_memory_flat(name):
    call = CALLS_BY_NAME[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run(call, WARM_UP)
        gc.collect()
        rss = rss_bytes()
        run(call, CALLS)
        gc.collect()
        blocks = sys.getallocatedblocks()
        run(call, CALLS)
        gc.collect()
    # A leaked object per call adds CALLS blocks in the last round; caches of
    # the libraries that are still filling up after the warm-up add a few.
    assert sys.getallocatedblocks() - blocks < CALLS / 2
    assert rss_bytes() - rss < 8 * 2**20

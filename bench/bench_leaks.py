"""Memory growth per call of every exported function, called thousands of times.

Each function is called with small inputs (rebuilt for every call from pickled
copies, so that pandas' bookkeeping of views of long-lived frames does not
count), first to warm the libraries' caches, then in a measured loop. A
function that leaks grows the interpreter's allocated blocks (host objects) or
the resident set (buffers) by a steady amount per call; the table shows both,
per call, for the measured loop. Guarded pipelines are also called on input
that ends in their error record. Linux only (reads /proc/self/statm).
"""

import gc
import os
import pickle
import sys
import time
import warnings
from contextlib import redirect_stdout
from types import SimpleNamespace

import numpy as np
import pandas as pd

from algo.HI import HI
from algo.RUL import RUL
from algo.synthetic import machine_frame

SECONDS_PER_FUNCTION = 4.0  # the measured loop's time budget
CALLS = (300, 3000)  # fewest and most measured calls
WARM_UP = (20, 300, 2.0)  # fewest and most warm-up calls, and their time budget


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Inputs:
    """Small inputs of every function, pickled once and unpickled for each call."""

    def __init__(self):
        raw = machine_frame("2024-03-01", periods=900, freq="1s", seed=1)
        failure = machine_frame("2024-03-05", periods=600, freq="1s", seed=2, fault_start="2024-01-01", fault_days=5)
        feature_names = ["X_Overall", "Y_Overall", "X_Peak", "X_Power_in_Band_01", "Y_Power_in_Band_02", "Bearing"]
        features = raw.set_index("_time")[feature_names]
        record = SimpleNamespace(time=feature_names[:3], frequency=feature_names[3:5], fail_mode=feature_names[5:])
        scaled, scaler = HI.standardize(features)
        mu, cov, ucl, pca = HI.health_modeling(scaled)
        t2, scores = HI.cal_T2(scaled, pca, mu, cov, scaled.index)
        residuals, spe, spe_ucl, _ = HI.SPE_residual(features, features.index, 0.05)
        model = HI.training_model(raw, "0,0,0,1,2,1,1,1")
        hour_t2 = pd.DataFrame({"tsquare": np.abs(np.random.default_rng(0).normal(3, 1, 120))},
                               index=pd.date_range("2024-03-01", periods=120, freq="1min", name="_time"))
        codebook = {"setup_name": "demo", "config": {"axis": {"X": {"time_domain": [
            {"type": "overall_rms", "min": 0.5, "max": 9}]}}}}
        self.pickled = pickle.dumps(dict(
            raw=raw, failure=failure, features=features, record=record, scaled=scaled, scaler=scaler, mu=mu,
            cov=cov, ucl=ucl, pca=pca, t2=t2, scores=scores, residuals=residuals, spe=spe, spe_ucl=spe_ucl,
            model=model, hour_t2=hour_t2, codebook=codebook,
            minmax=HI.minmax_scale(features)[1], thresholds=HI.pre_feature_training(raw),
            score=HI.Health_Index(t2, ucl, 0.9), alerts=list(t2.index[::50])))

    def __call__(self):
        return SimpleNamespace(**pickle.loads(self.pickled))


CALLS_BY_NAME = {
    "rename_columns": lambda x: HI.rename_columns(x.raw),
    "feature_extraction": lambda x: HI.feature_extraction(x.features, x.record, "min"),
    "safe_resample_max": lambda x: HI.safe_resample_max(x.features, list(x.features.columns), "min", 200),
    "safe_resample_mean": lambda x: HI.safe_resample_mean(x.features, list(x.features.columns), "min", 200),
    "feature_extraction_rolling": lambda x: HI.feature_extraction_rolling(x.features, x.record, 60, 30),
    "standardize": lambda x: HI.standardize(x.features),
    "testing_scaler": lambda x: HI.testing_scaler(x.features, x.scaler),
    "minmax_scale": lambda x: HI.minmax_scale(x.features),
    "testing_minmax": lambda x: HI.testing_minmax(x.features, x.minmax),
    "health_modeling": lambda x: HI.health_modeling(x.scaled),
    "cal_T2": lambda x: HI.cal_T2(x.scaled, x.pca, x.mu, x.cov, x.scaled.index),
    "Health_Index": lambda x: HI.Health_Index(x.t2, x.ucl, 0.9),
    "T2_Anomaly_Rate": lambda x: HI.T2_Anomaly_Rate(x.t2["tsquare"].values, x.ucl),
    "SPE_residual": lambda x: HI.SPE_residual(x.features, x.features.index, 0.05),
    "find_T2_abnormal_times": lambda x: HI.find_T2_abnormal_times(x.t2, x.ucl / 4),
    "find_SPE_abnormal_times": lambda x: HI.find_SPE_abnormal_times(x.spe, x.spe_ucl / 4, x.residuals),
    "SPE_residual_testing": lambda x: HI.SPE_residual_testing(x.scaled, x.scaled, x.scaled.index, 0.05),
    "time_filter": lambda x: HI.time_filter(x.features, "_time", 100),
    "drop_outliers_by_min": lambda x: HI.drop_outliers_by_min(x.raw, "_time"),
    "low_resolution": lambda x: HI.low_resolution(x.features),
    "compress_by_second": lambda x: HI.compress_by_second(pd.concat([x.raw, x.raw.iloc[::3]]), "_time", "mode"),
    "feature_threshold_mapping": lambda x: HI.feature_threshold_mapping(x.codebook),
    "codebook_df_filter": lambda x: HI.codebook_df_filter(x.raw, HI.feature_threshold_mapping(x.codebook), "all",
                                                          False),
    "training_model": lambda x: HI.training_model(x.raw, "0,0,0,1,2,1,1,1"),
    "training_model (error record)": lambda x: HI.training_model(x.raw, "0,0,0,1,2,1,1"),
    "testing_model": lambda x: HI.testing_model(x.raw.iloc[:300], x.model),
    "testing_model (error record)": lambda x: HI.testing_model(x.raw.drop(columns="X_Overall"), x.model),
    "analyze_T2_anomalies": lambda x: HI.analyze_T2_anomalies(x.scaled, x.scores, x.features, x.t2, x.pca,
                                                              x.ucl / 4),
    "detect_bad_HI_zone": lambda x: HI.detect_bad_HI_zone(x.score, 95, "5min", "min", 0.1, "10min", 0.5),
    "group_alert_times": lambda x: HI.group_alert_times(x.alerts, "1min"),
    "IQR_outlier_percent_clean": lambda x: HI.IQR_outlier_percent_clean(x.raw, 0.05, "_time"),
    "outlier_clean": lambda x: HI.outlier_clean(x.raw, x.model),
    "chebyshev_ucl": lambda x: HI.chebyshev_ucl(x.t2["tsquare"].values),
    "purge_by_chebyshev": lambda x: HI.purge_by_chebyshev(x.scaled),
    "outlier_chebyshev_T2_purging": lambda x: HI.outlier_chebyshev_T2_purging(x.raw, "0,0,0,1,2,1,1,1"),
    "training_model_GB_compare": lambda x: HI.training_model_GB_compare(x.raw, x.failure, "min"),
    "failure_deadline_learning": lambda x: HI.failure_deadline_learning([x.failure], x.model, None),
    "failure_deadline_learning (error record)": lambda x: HI.failure_deadline_learning([], x.model, None),
    "pre_feature_training": lambda x: HI.pre_feature_training(x.raw),
    "pre_feature_light": lambda x: HI.pre_feature_light(x.failure, x.thresholds),
    "pre_feature_light (exception text)": lambda x: HI.pre_feature_light(x.raw, {}),
    "ISO20816_overall": lambda x: HI.ISO20816_overall(200, "Rigid"),
    "ISO20816_overall (error record)": lambda x: HI.ISO20816_overall(10, "Rigid"),
    "ISO20816_light": lambda x: HI.ISO20816_light(x.raw, 2.8, 4.5),
    "rul_model": lambda x: RUL.rul_model(HI.Health_Index(x.hour_t2, 10, 0.9)["Score"], 10, 40),
    "death_probability": lambda x: RUL.death_probability(45.0, 55.0, 35.0, 40.0),
    "rul_calculation": lambda x: RUL.rul_calculation(x.hour_t2, {**x.model, "ucl": 10}, 0.9),
    "rul_calculation (error record)": lambda x: RUL.rul_calculation(x.hour_t2, {"datetime_name": "_time"}, 0.9),
    "wrong argument count (TypeError)": lambda x: HI.standardize(x.features, 1),
}


def measure(call, inputs):
    def once():
        x = inputs()
        try:
            call(x)
        except Exception:
            pass

    fewest, most, budget = WARM_UP
    start, warm_up = time.perf_counter(), 0
    while warm_up < most and (warm_up < fewest or time.perf_counter() - start < budget):
        once()
        warm_up += 1
    per_call = (time.perf_counter() - start) / warm_up
    calls = int(min(max(SECONDS_PER_FUNCTION / per_call, CALLS[0]), CALLS[1]))
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    for _ in range(calls):
        once()
    gc.collect()
    return calls, per_call, (sys.getallocatedblocks() - blocks) / calls, (rss_bytes() - rss) / calls


def main():
    warnings.simplefilter("ignore")
    inputs = Inputs()
    print(f"{'function':<42} {'calls':>6} {'ms/call':>8} {'blocks/call':>12} {'RSS bytes/call':>15}")
    worst = 0.0
    for name, call in CALLS_BY_NAME.items():
        # Progress lines of the cleaning and filtering steps go nowhere (a
        # buffer that kept them would grow).
        with open(os.devnull, "w") as sink, redirect_stdout(sink):
            calls, seconds, blocks, rss = measure(call, inputs)
        worst = max(worst, blocks)
        print(f"{name:<42} {calls:>6} {seconds * 1e3:>8.2f} {blocks:>12.3f} {rss:>15.1f}", flush=True)
    print(f"largest growth: {worst:.3f} allocated blocks per call (a leaked object per call shows as 1 or more)")


if __name__ == "__main__":
    main()

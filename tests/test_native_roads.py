"""The native roads of the pipelines: taken only past the module's own collaborators, and ending where the plain road ends.

A pipeline skips a collaborator's call (compression, extraction, cleaning, the
fitted scaler and PCA arithmetic, repeated cleaning passes) only while the
module global is the module's own function or the library object bound at
initialisation. A host that rebinds one to a wrapper must see it called, and,
since the wrapper only forwards, the result must not change: the rebound road
builds frames where the native one keeps columns, so this also checks every
frame the native road would otherwise hand over. Where the rebound road leaves
the binned means to pandas (whose newest releases sum them in another order)
the results agree to 1e-9 relative, elsewhere exactly.
"""

import functools
import sys
import time

import numpy as np
import pandas as pd
import pytest

from algo import synthetic
from algo.HI import HI

TYPICAL = "0,0,0,1,2,1,1,1"
HOURS = "1,0,0,1,2,1,1,1"
SCREENED = "1,0,1,1,2,1,1,1"
ROLLING = "0,0,0,1,2,1,1,2"
PANDAS_MEANS = {"safe_resample_max", "pd"}  # rebound, these leave the binned means to pandas
LIBRARY = {"pd": "pandas", "np": "numpy", "PCA": "sklearn.decomposition", "StandardScaler": "sklearn.preprocessing"}


@functools.lru_cache(maxsize=None)
def _export():
    """Six hours of rows as an export gives them: jittered text times, seconds split over two partial rows,
    empty cells, gaps, and whole rows repeated with other values."""
    df = synthetic.as_export(synthetic.machine_frame("2024-03-01", periods=6 * 3600, seed=5), seed=5)
    repeats = df.iloc[::50].copy()
    repeats["_time"] += pd.Timedelta(milliseconds=400)
    repeats.iloc[:, 1:] = repeats.iloc[:, 1:] * 1.01
    df = pd.concat([df.drop(df.index[4000:4600]), repeats]).sort_values("_time", kind="stable")
    df["_time"] = df["_time"].dt.strftime("%Y-%m-%d %H:%M:%S.%f")
    return df.reset_index(drop=True)


def export():
    return _export().copy()


@functools.lru_cache(maxsize=None)
def _model(config):
    model = HI.training_model(export(), config)
    assert model["is_error"] == "False", model["error_message"]
    return model


def rebound(monkeypatch, name):
    """Rebinds the module global `name` to a forwarding wrapper; returns its call count."""
    calls = []
    original = getattr(HI, name)
    if name in LIBRARY:
        class Forwarding:
            def __getattr__(self, attribute):
                calls.append(attribute)
                return getattr(original, attribute)

            def __call__(self, *args, **kwargs):
                calls.append("()")
                return original(*args, **kwargs)

        monkeypatch.setattr(HI, name, Forwarding())
    else:
        def forwarding(*args, **kwargs):
            calls.append(name)
            return original(*args, **kwargs)

        monkeypatch.setattr(HI, name, forwarding)
    return calls


def assert_same_result(result, expected, rtol=0.0):
    assert list(result) == list(expected)
    close = functools.partial(np.testing.assert_allclose, rtol=rtol, atol=0)
    for key, value in expected.items():
        if key == "build_time":
            continue
        if isinstance(value, pd.DataFrame):
            pd.testing.assert_frame_equal(result[key], value, check_exact=rtol == 0, rtol=rtol or 1e-5)
        elif isinstance(value, np.ndarray):
            # mean and covariance of centred, uncorrelated scores: noise off the variances' scale
            close(result[key], value, atol=rtol * np.abs(expected["cov"]).max())
        elif hasattr(value, "get_params"):
            assert type(result[key]) is type(value)
            for attribute in ("mean_", "scale_", "components_", "explained_variance_"):
                if hasattr(value, attribute):
                    fitted = getattr(value, attribute)  # a PCA's mean of scaled data is noise around 0
                    close(np.abs(getattr(result[key], attribute)), np.abs(fitted),
                          atol=rtol * max(np.abs(fitted).max(), 1.0))
        elif key == "indicator_col_name":
            assert vars(result[key]) == vars(value)
        elif isinstance(value, float) and rtol:
            assert result[key] == pytest.approx(value, rel=rtol), key
        else:
            assert result[key] == value or (value != value and result[key] != result[key]), key


TRAINING_STEPS = ["compress_by_second", "feature_extraction", "safe_resample_max", "standardize", "health_modeling",
                  "cal_T2", "Health_Index", "T2_Anomaly_Rate", "SPE_residual", "pd", "PCA", "StandardScaler"]


@pytest.mark.parametrize("config, name", [(TYPICAL, n) for n in TRAINING_STEPS]
                         + [(HOURS, "time_filter"), (ROLLING, "feature_extraction_rolling")]
                         + [(SCREENED, n) for n in ("low_resolution", "pd")])
def test_training_calls_a_rebound_collaborator_and_ends_the_same(monkeypatch, config, name):
    calls = rebound(monkeypatch, name)
    result = HI.training_model(export(), config)
    assert calls, f"{name} was not called"
    monkeypatch.undo()
    assert_same_result(result, _model(config), rtol=1e-9 if name in PANDAS_MEANS else 0.0)


@pytest.mark.parametrize("config, name", [(TYPICAL, n) for n in ("compress_by_second", "feature_extraction",
                                                                  "testing_scaler", "cal_T2", "Health_Index",
                                                                  "analyze_T2_anomalies", "pd")]
                         + [(ROLLING, "feature_extraction_rolling")])
def test_testing_calls_a_rebound_collaborator_and_ends_the_same(monkeypatch, config, name):
    batch = synthetic.machine_frame("2024-03-02", periods=3600, seed=6, fault_start="2024-03-01", fault_days=0.5)
    expected = HI.testing_model(batch, dict(_model(config)))
    calls = rebound(monkeypatch, name)
    result = HI.testing_model(batch, dict(_model(config)))
    assert calls, f"{name} was not called"
    assert_same_result(result, expected, rtol=1e-9 if name in PANDAS_MEANS else 0.0)


@functools.lru_cache(maxsize=None)
def _disturbed():
    """Two days whose daily load cycle keeps every pass below the robustness
    standard; eight band columns are disturbed in 3 % of the minutes, which the
    passes from 4 % on leave out, so that later passes keep the same rows."""
    df = synthetic.machine_frame("2024-01-01", periods=2 * 86_400, seed=0)
    rng = np.random.default_rng(0)
    minute = np.arange(len(df)) // 60
    for column in [c for c in df.columns if "Band" in c][:8]:
        chosen = rng.choice(minute[-1] + 1, int(0.03 * (minute[-1] + 1)), replace=False)
        df.loc[np.isin(minute, chosen), column] *= 8
    return df


@pytest.mark.parametrize("name", ["IQR_outlier_percent_clean", "feature_extraction", "health_modeling"])
def test_cleaning_passes_call_a_rebound_collaborator_every_pass_and_end_the_same(monkeypatch, name):
    """Passes that keep the rows of the previous pass train the same model; a
    rebound collaborator is still called in every pass."""
    settings = {"datetime_name": "_time", "algo_config": TYPICAL, "time_scale": "min", "codebook_setup": None}
    expected = HI.outlier_clean(_disturbed().copy(), dict(settings), 0.01, 0.01, 0.06)
    assert expected["training_model_robust_index"] < 0.9, "the passes must run to the limit"
    calls = rebound(monkeypatch, name)
    result = HI.outlier_clean(_disturbed().copy(), dict(settings), 0.01, 0.01, 0.06)
    assert len(calls) == 5, calls  # the sixth allowance adds up to 0.060000000000000005
    assert_same_result(result, expected)


def test_pipelines_report_their_stages_to_audit_hooks():
    events, active = [], [True]

    def hook(event, args):
        if active[0] and event == "algo.stage":
            events.append(args)

    sys.addaudithook(hook)
    start = time.perf_counter()
    try:
        HI.training_model(export(), TYPICAL)
    finally:
        active[0] = False
    total = time.perf_counter() - start
    stages = [stage for pipeline, stage, _ in events if pipeline == "training_model"]
    assert stages == ["time parsing", "compression", "selection", "extraction", "scaling", "model", "assembly"]
    assert all(seconds >= 0 for *_, seconds in events) and sum(s for *_, s in events) <= total

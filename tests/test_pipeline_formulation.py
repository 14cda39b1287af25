"""The pipelines against their plain pandas formulation, on messy raw exports.

Raw rows as exports deliver them: repeated seconds that each carry part of the
columns, gaps, missing cells, float32 channels, a text column, times as text or
as datetimes, rows out of order. The model dictionary and the test result must
be those of `pandas_pipelines.py`: the model's arithmetic may run natively
(scaler and PCA applied from their fitted attributes, binned means summed in
another order than pandas' newest releases), so values agree to 1e-9 relative,
the rest exactly.
"""

import functools
import importlib.util
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from algo import synthetic
from algo.HI import HI


def _load(name):
    found = importlib.util.spec_from_file_location(name, Path(__file__).with_name(f"{name}.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


formulation = _load("pandas_pipelines")

pytestmark = pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")

CONFIGS = {
    "minute bins": "0,0,0,1,2,1,1,1",
    "hour bins": "1,0,0,1,2,1,1,1",
    "rolling 120/60, min-max, warning line": "0,0,0,1,3,1,2,2",
    "rolling 60/30, no failure modes": "0,0,0,2,2,1,1,4",
    "minute bins, frequency only, screened": "0,0,1,3,2,1,1,1",
}
RTOL = 1e-9


def messy_export(seed, hours, *, start="2024-03-01", as_text=False, unsorted=False):
    """Rows of the synthetic machine as an export delivers them; odd seeds give whole
    seconds as text (repeats then share their time) and a float32 feature."""
    rng = np.random.default_rng(seed)
    df = synthetic.machine_frame(start, periods=hours * 3600, seed=seed)
    values = df.iloc[:, 1:].to_numpy(copy=True)
    values[rng.random(values.shape) < 0.01] = np.nan
    df.iloc[:, 1:] = values
    gap = rng.integers(0, len(df) - 900)
    df = df.drop(df.index[gap:gap + int(rng.integers(60, 900))])
    repeats = df.sample(frac=0.05, random_state=seed)
    repeats.iloc[:, 1:] = repeats.iloc[:, 1:].mask(rng.random(repeats.iloc[:, 1:].shape) < 0.5)
    repeats["_time"] += pd.to_timedelta(rng.integers(1, 999, len(repeats)), unit="ms")
    df = pd.concat([df, repeats]).sort_values("_time", kind="stable")
    df["Channel_A"] = df["X_Overall"].astype(np.float32)
    df["Site"] = "pump 7"
    if seed % 2:
        df["Z_Crest_Factor"] = df["Z_Crest_Factor"].astype(np.float32)
    if as_text:
        df["_time"] = df["_time"].dt.strftime("%Y-%m-%d %H:%M:%S" if seed % 2 else "%Y-%m-%d %H:%M:%S.%f")
    if unsorted:
        df = df.sample(frac=1.0, random_state=seed)
    return df.reset_index(drop=True)


def assert_same_frame(ours, theirs):
    pd.testing.assert_frame_equal(ours, theirs, check_exact=False, rtol=RTOL, atol=0)


def assert_same_model(model, expected):
    assert list(model) == list(expected)
    assert_same_frame(model["T2"], expected["T2"])
    assert_same_frame(model["HI_Score"], expected["HI_Score"])
    for key in ("ucl", "rul_deadline_t_square", "rul_deadline", "rul_warning_line"):
        if key in expected:
            assert model[key] == pytest.approx(expected[key], rel=RTOL), key
    for key in ("datetime_name", "time_scale", "training_anomalies", "model_bias", "training_model_robust_index",
                "training_model_robust_status", "algo_config", "codebook_setup", "is_error", "error_code",
                "error_stage", "error_message", "start_time", "end_time"):
        assert model[key] == expected[key], key
    assert vars(model["indicator_col_name"]) == vars(expected["indicator_col_name"])
    # Scores are centred and uncorrelated: the mean and the covariance off its
    # diagonal are rounding noise, compared against the variances' scale.
    scale = np.abs(expected["cov"]).max()
    np.testing.assert_allclose(model["mu"], expected["mu"], rtol=0, atol=RTOL * scale)
    np.testing.assert_allclose(model["cov"], expected["cov"], rtol=RTOL, atol=RTOL * scale)
    scaler, pca = model["scaler"], model["pca"]
    assert type(scaler) is type(expected["scaler"])
    for name in ("mean_", "scale_", "min_", "data_min_", "data_max_", "var_"):
        if hasattr(expected["scaler"], name):
            np.testing.assert_allclose(getattr(scaler, name), getattr(expected["scaler"], name), rtol=RTOL)
    assert pca.n_components_ == expected["pca"].n_components_
    assert list(pca.feature_names_in_) == list(expected["pca"].feature_names_in_)
    np.testing.assert_allclose(pca.explained_variance_, expected["pca"].explained_variance_, rtol=1e-7)


@pytest.mark.parametrize("config", CONFIGS.values(), ids=CONFIGS.keys())
def test_training_matches_the_formulation(config):
    hours = 8 if config == CONFIGS["hour bins"] else 4
    df = messy_export(seed=sum(map(ord, config)), hours=hours, as_text=config.endswith("1"))
    before = df.copy()
    assert_same_model(HI.training_model(df, config), formulation.training_model(df, config))
    pd.testing.assert_frame_equal(df, before)


@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(seed=st.integers(0, 2**16), as_text=st.booleans(), unsorted=st.booleans(),
       config=st.sampled_from([CONFIGS["minute bins"], "0,0,0,1,3,1,1,2"]))
def test_training_on_random_exports(seed, as_text, unsorted, config):
    df = messy_export(seed, hours=2, as_text=as_text, unsorted=unsorted)
    assert_same_model(HI.training_model(df, config), formulation.training_model(df, config))


@functools.lru_cache(maxsize=None)
def trained(config):
    model = HI.training_model(messy_export(seed=4, hours=8), config)
    assert model["is_error"] == "False", model["error_message"]
    return model


@pytest.mark.parametrize("config, minutes", [(CONFIGS["minute bins"], 60), (CONFIGS["minute bins"], 7),
                                             ("0,1,0,1,2,1,1,1", 10), (CONFIGS["hour bins"], 180),
                                             (CONFIGS["rolling 120/60, min-max, warning line"], 60),
                                             (CONFIGS["rolling 60/30, no failure modes"], 60)])
@pytest.mark.parametrize("as_text", [False, True])
def test_testing_matches_the_formulation(config, minutes, as_text):
    model = trained(config)
    batch = messy_export(seed=2, hours=3, start="2024-03-02", as_text=as_text).iloc[: minutes * 62]
    batch.loc[batch.index[20:40], "Y_Peak"] *= 5  # an alarm to attribute
    result, expected = HI.testing_model(batch, dict(model)), formulation.testing_model(batch, dict(model))
    assert list(result) == list(expected)
    assert_same_frame(result["T2"], expected["T2"])
    assert_same_frame(result["HI_Score"], expected["HI_Score"])
    for key in ("rul_deadline", "suspicious_variable", "is_error", "error_code", "error_stage", "error_message"):
        assert result[key] == expected[key], key

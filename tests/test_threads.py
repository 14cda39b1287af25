"""Pipelines called from several host threads at once give the sequential results.

The native kernels (rolling windows, per-minute fences, per-second merging,
T²) run without the interpreter's lock, so calls on different data really do
overlap; nothing they share may change what a call computes.
"""

import contextlib
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from algo import synthetic
from algo.HI import HI

THREADS = 4
# Minute bins, rolling windows, per-minute outlier dropping when scoring, min-max scaling.
CONFIGS = ["0,0,0,1,2,1,1,1", "0,0,0,1,2,1,1,2", "0,1,0,1,2,1,1,1", "0,0,0,1,3,1,2,4"]


def job(i):
    """Training and test rows of machine i, with some repeated seconds to merge."""
    train = synthetic.machine_frame("2024-03-01", periods=2400, freq="1s", seed=10 + i)
    test = synthetic.machine_frame("2024-03-02", periods=900, freq="1s", seed=20 + i, fault_start="2024-02-01")
    test = pd.concat([test, test.iloc[::7].assign(X_Overall=lambda d: d["X_Overall"] * 1.01)])
    return CONFIGS[i % len(CONFIGS)], train, test


def train_and_score(config, train, test, start=None):
    if start is not None:
        start.wait()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = HI.training_model(train, config)
        return model, HI.testing_model(test, model)


def assert_same_values(a, b, key):
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_exact=True, obj=key)
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b, err_msg=key)
    elif hasattr(a, "get_params"):  # fitted scaler or PCA: every learned array
        assert type(a) is type(b), key
        for name, value in vars(a).items():
            assert_same_values(value, vars(b)[name], f"{key}.{name}")
    elif hasattr(a, "__dict__"):
        assert vars(a) == vars(b), key
    else:
        assert a == b or (a != a and b != b), key


def assert_same_result(a, b):
    assert list(a) == list(b)
    for key in a:
        if key != "build_time":  # the wall clock
            assert_same_values(a[key], b[key], key)


def test_concurrent_training_and_scoring_match_the_sequential_results():
    jobs = [job(i) for i in range(THREADS)]
    sequential = [train_and_score(*j) for j in jobs]
    for model, test in sequential:
        assert model["is_error"] == "False" and test["is_error"] == "False", (model["error_message"],
                                                                                test["error_message"])
    for _ in range(2):
        start = threading.Barrier(THREADS)
        with ThreadPoolExecutor(THREADS) as pool:
            concurrent = list(pool.map(lambda j: train_and_score(*j, start=start), jobs))
        for (model, test), (seq_model, seq_test) in zip(concurrent, sequential):
            assert_same_result(model, seq_model)
            assert_same_result(test, seq_test)


@pytest.mark.parametrize("call", [
    lambda df: HI.drop_outliers_by_min(df, "_time"),
    lambda df: HI.compress_by_second(df, "_time", "mode"),
    lambda df: HI.IQR_outlier_percent_clean(df, 0.05, "_time"),
], ids=["drop_outliers_by_min", "compress_by_second", "IQR_outlier_percent_clean"])
def test_concurrent_kernel_calls_match_the_sequential_results(call):
    frames = [pd.concat([job(i)[2]] * 2) for i in range(THREADS)]
    sequential = [call(df) for df in frames]
    with ThreadPoolExecutor(THREADS) as pool:
        concurrent = list(pool.map(call, frames * 3))
    for got, expected in zip(concurrent, sequential * 3):
        if isinstance(expected, tuple):
            for g, e in zip(got, expected):
                pd.testing.assert_frame_equal(g, e, check_exact=True)
        else:
            pd.testing.assert_frame_equal(got, expected, check_exact=True)


def blas_counts():
    from threadpoolctl import threadpool_info

    return {library["num_threads"] for library in threadpool_info() if library["user_api"] == "blas"}


def host_block(seen):
    from algo import blas

    with blas.one_thread():
        seen.append(blas_counts())


def model_stage(pipeline):
    """Runs `pipeline` (training or scoring) and gives the BLAS counts its model stage ran with."""
    def run(seen, monkeypatch):
        fitting, scoring = HI.health_modeling, HI.cal_T2
        monkeypatch.setattr(HI, "health_modeling", lambda *a, **k: seen.append(blas_counts()) or fitting(*a, **k))
        monkeypatch.setattr(HI, "cal_T2", lambda *a, **k: seen.append(blas_counts()) or scoring(*a, **k))
        config, train, test = job(0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = HI.training_model(train, config)
            if pipeline == "testing_model":
                seen.clear()
                HI.testing_model(test, model)
        assert seen, "the model stage was not reached"
    return run


@pytest.mark.parametrize("caller", ["nobody", "threadpool_limits", "environment"])
def test_blas_runs_on_one_thread_unless_its_caller_limited_it(monkeypatch, caller):
    from threadpoolctl import threadpool_limits

    from algo import blas

    for name in blas.LIMIT_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    limit = max(blas_counts()) + 1  # a count of the caller's: none the libraries started with
    for where in (lambda seen, _: host_block(seen), model_stage("training_model"), model_stage("testing_model")):
        before, seen = blas_counts(), []
        with contextlib.ExitStack() as stack:
            if caller == "threadpool_limits":
                stack.enter_context(threadpool_limits(limit, user_api="blas"))
            elif caller == "environment":
                stack.enter_context(monkeypatch.context()).setenv("OPENBLAS_NUM_THREADS", str(limit))
            where(seen, monkeypatch)
        expected = {"nobody": {1}, "threadpool_limits": {limit}, "environment": before}[caller]
        assert all(counts == expected for counts in seen), seen
        assert blas_counts() == before  # and restored afterwards

"""Loading, globals, signatures and argument binding of the native modules."""

import importlib
import importlib.util
import inspect
import pickle
import traceback

import numpy as np
import pandas as pd
import pytest

from algo.HI import HI

HI_GLOBALS = [
    "os", "np", "pd", "st", "datetime", "glob", "plt", "StandardScaler", "PCA", "f", "skew",
    "ticker", "pickle", "norm", "SimpleNamespace", "Counter", "ARIMA",
]


def exported_functions(module):
    return [name for name, value in vars(module).items() if type(value).__name__ == "native_function"]


def test_globals_are_bound_in_order_before_the_functions():
    names = [name for name in vars(HI) if not name.startswith("__")]
    assert names[: len(HI_GLOBALS)] == HI_GLOBALS
    assert names[len(HI_GLOBALS):] == exported_functions(HI)
    import datetime as dt
    import types
    assert HI.datetime is dt.datetime  # the class replaces the module bound before it
    assert HI.SimpleNamespace is types.SimpleNamespace


def test_all_lists_the_star_exports():
    assert HI.__all__ == [
        "feature_extraction", "health_modeling", "Health_Index", "cal_T2", "training_model",
        "testing_model", "analyze_T2_anomalies", "detect_bad_HI_zone",
    ]


def test_rebinding_a_global_changes_what_the_functions_call(monkeypatch):
    calls = []

    class RecordingScaler:
        def fit(self, df):
            calls.append("fit")

        def transform(self, df):
            calls.append("transform")
            return np.zeros(df.shape)

    monkeypatch.setattr(HI, "StandardScaler", RecordingScaler)
    frame, scaler = HI.standardize(pd.DataFrame({"a": [1.0, 2.0]}))
    assert isinstance(scaler, RecordingScaler) and calls == ["fit", "transform"]
    assert frame["a"].tolist() == [0.0, 0.0]


def test_a_missing_global_is_reported_by_name(monkeypatch):
    monkeypatch.delattr(HI, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        HI.T2_Anomaly_Rate([1.0], 0.5)


def test_signatures_names_and_defaults():
    sig = inspect.signature(HI.health_modeling)
    assert str(sig) == "(df_scaled, alpha=0.05)"
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert HI.health_modeling.__defaults__ == (0.05,)
    assert HI.cal_T2.__defaults__ is None
    assert HI.cal_T2.__name__ == "cal_T2" and HI.cal_T2.__module__ == "algo.HI.HI"
    for name in exported_functions(HI):
        inspect.signature(getattr(HI, name))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: HI.standardize(), "standardize() takes at least 1 positional argument (0 given)"),
        (lambda: HI.standardize(1, 2), "standardize() takes at most 1 positional argument (2 given)"),
        (lambda: HI.cal_T2(1, 2, 3), "cal_T2() takes at least 5 positional arguments (3 given)"),
        (lambda: HI.health_modeling(1, 2, 3), "health_modeling() takes at most 2 positional arguments (3 given)"),
        (lambda: HI.health_modeling(alpha=0.1), "health_modeling() takes at least 1 positional argument (0 given)"),
        (lambda: HI.health_modeling(1, beta=2), "health_modeling() got an unexpected keyword argument 'beta'"),
        (lambda: HI.health_modeling(1, df_scaled=2),
         "health_modeling() got multiple values for keyword argument 'df_scaled'"),
    ],
)
def test_wrong_arguments_raise_type_error(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_in_any_order():
    values = np.array([1.0, 5.0, 3.0])
    assert HI.T2_Anomaly_Rate(ucl=2.0, tsquare_values=values) == HI.T2_Anomaly_Rate(values, 2.0)


def test_failures_carry_a_traceback_entry_of_the_function():
    with pytest.raises(KeyError) as info:
        HI.Health_Index(pd.DataFrame({"x": [1.0]}), 1.0, 0.9)
    entries = traceback.extract_tb(info.value.__traceback__)
    assert any(e.filename == "algo/HI/HI.py" and e.name == "algo.HI.HI.Health_Index" for e in entries)


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(HI.cal_T2)) is HI.cal_T2


def test_executing_another_module_object_is_refused_and_reload_is_a_no_op():
    found = importlib.util.find_spec("algo.HI.HI")
    other = importlib.util.module_from_spec(found)
    with pytest.raises(RuntimeError, match=r"^Module 'HI' has already been imported\. Re-initialisation is not supported\.$"):
        found.loader.exec_module(other)
    assert importlib.reload(HI) is HI


def test_loading_into_a_second_interpreter_is_refused():
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interp = subinterpreters.create()
    try:
        with pytest.raises(Exception, match="Interpreter change detected - this module can only be loaded into one interpreter per process."):
            subinterpreters.run_string(interp, "import algo.HI.HI")
    finally:
        subinterpreters.destroy(interp)


def test_rul_frame_sets_its_globals_and_plotting_default():
    import matplotlib.pyplot as plt
    from algo.RUL import RUL

    assert [n for n in vars(RUL) if not n.startswith("__")][:6] == ["pd", "np", "plt", "HI", "os", "ARIMA"]
    assert RUL.HI is HI
    assert RUL.__all__ == ["rul_model", "rul_calculation"]
    assert plt.rcParams["font.sans-serif"] == ["Microsoft YaHei"]

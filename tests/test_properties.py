"""Every exported function against malformed and extreme input.

Whatever the host hands over (empty, tiny or odd-typed frames, unsorted or
repeated times, infinities, wrong argument types, absurd window sizes), a call
must end in one of its documented outcomes: a result, an ordinary Python
exception (building blocks and unguarded pipelines), the error record (guarded
pipelines) or the exception text (failure-mode evaluations). It must never
crash the interpreter, hang, raise SystemError or let a native exception
escape under a generic type, and it must leave the caller's data as it was
(apart from the documented in-place label stripping of `rename_columns` and the
"codebook_setup" entry that `testing_model` may add).
"""

import contextlib
import copy
import functools
import inspect
import math
import signal
import warnings
from dataclasses import dataclass
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from algo import synthetic
from algo.HI import HI
from algo.RUL import RUL

FEATURES = synthetic.feature_columns()
CONFIGS = ["0,0,0,1,2,1,1,1", "1,0,0,1,2,1,1,1", "0,0,0,1,2,1,1,2", "0,0,0,1,3,1,2,1", "0,1,1,2,1,1,1,4"]
STATUS_KEYS = ["is_error", "error_code", "error_stage", "error_message"]
CALL_SECONDS = 30  # far above any call here; only a hang gets near it


# --- outcomes ---------------------------------------------------------------------


class Hang(BaseException):
    """Raised into a call that overran its time; not an Exception, so no guard swallows it."""


@contextlib.contextmanager
def time_limit(seconds):
    def overrun(signum, frame):
        raise Hang(f"call still running after {seconds} s")

    previous = signal.signal(signal.SIGALRM, overrun)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# Texts of native failures that must never reach the host as such: binding
# casts, unknown C++ exceptions and the kernels' own consistency checks.
NATIVE_TEXTS = ("Unable to cast", "unknown C++ exception", "C++ type", "row order", "seconds fall along",
                "output length differs", "do not line up")


def assert_not_native(message):
    assert not any(text in message for text in NATIVE_TEXTS), message


def raised_by_our_frame(error):
    """Whether the innermost traceback entry is one of the modules' functions (not a library's code)."""
    tb = error.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_filename.startswith("algo/")


def call(function, args):
    """("returned", value) or ("raised", exception); fails on crashes of the contract."""
    with warnings.catch_warnings(), time_limit(CALL_SECONDS):
        warnings.simplefilter("ignore")
        try:
            return "returned", function(*args)
        except SystemError as error:  # a native failure, never a proper outcome
            pytest.fail(f"{function.__name__} raised SystemError: {error}")
        except Exception as error:
            assert_not_native(str(error))
            if raised_by_our_frame(error):
                # Our own raises are deliberate ValueError/TypeError/KeyError...; a
                # RuntimeError or MemoryError from our frame is a C++ exception.
                assert not isinstance(error, (RuntimeError, MemoryError)), repr(error)
            return "raised", error


def stages(prefix, *numbers):
    return {f"{prefix}{n:02d}" for n in numbers}


def assert_status_record(result, stage_codes):
    assert isinstance(result, dict), result
    for key in STATUS_KEYS:
        assert isinstance(result[key], str), (key, result[key])
    assert result["is_error"] in ("True", "False")
    if result["is_error"] == "True":
        assert result["error_stage"] in stage_codes, result["error_stage"]
        assert_not_native(result["error_message"])
    else:
        assert result["error_stage"] == "None" and result["error_message"] == "None"


# --- the caller's data ----------------------------------------------------------


def assert_same(before, after, where="argument"):
    """`after` (the object the caller passed) still equals `before` (a deep copy taken before the call)."""
    if isinstance(before, pd.DataFrame):
        assert isinstance(after, pd.DataFrame), where
        pd.testing.assert_frame_equal(after, before, check_exact=True, check_freq=True, check_flags=True, obj=where)
        assert after.columns.name == before.columns.name, where
    elif isinstance(before, pd.Series):
        pd.testing.assert_series_equal(after, before, check_exact=True, check_freq=True, obj=where)
    elif isinstance(before, pd.Index):
        pd.testing.assert_index_equal(after, before, exact=True, obj=where)
    elif isinstance(before, np.ndarray):
        assert isinstance(after, np.ndarray) and after.dtype == before.dtype and after.shape == before.shape, where
        assert pd.Series(after.ravel()).equals(pd.Series(before.ravel())), where
    elif isinstance(before, dict):
        assert list(after) == list(before), where
        for key in before:
            assert_same(before[key], after[key], f"{where}[{key!r}]")
    elif isinstance(before, (list, tuple)):
        assert type(after) is type(before) and len(after) == len(before), where
        for i, (b, a) in enumerate(zip(before, after)):
            assert_same(b, a, f"{where}[{i}]")
    elif isinstance(before, SimpleNamespace) or hasattr(before, "get_params"):
        assert type(after) is type(before), where
        assert_same(vars(before), vars(after), f"{where}.__dict__")
    elif isinstance(before, (bool, int, float, complex, str, bytes, np.generic)) and not pd.isna(before):
        assert type(after) is type(before) and after == before, where
    else:  # None, missing markers, plain objects: the copy is a new object of the same kind
        assert type(after) is type(before), where


def snapshot(args):
    return [copy.deepcopy(arg) for arg in args]


# --- strategies: frames -------------------------------------------------------------

COLUMN_KINDS = ["float64", "float32", "int64", "uint8", "bool", "Int64", "Float64", "text", "object", "category",
                "all_nan", "constant", "inf", "huge", "tiny", "holes", "negative_zero", "datetime"]
TIME_KINDS = ["naive", "tz", "unit_s", "unsorted", "duplicated", "text", "blank_text", "nat", "garbage", "epoch",
              "mixed_offsets", "absent"]
ROWS = st.sampled_from([0, 1, 2, 3, 5, 40] + [150] * 6)
# How odd a frame is: clean, one odd column, odd times, or odd all over.
ODDNESS = st.sampled_from(["clean", "clean", "one column", "times", "all over"])
STEPS = st.sampled_from(["1s", "10s", "10s", "1min"])


@functools.lru_cache(maxsize=None)
def base_frame(rows, step, seed):
    return synthetic.machine_frame("2024-03-01", periods=max(rows, 1), freq=step, seed=seed).iloc[:rows]


def odd_column(kind, base):
    """The values of a float column `base` turned into a column of `kind`."""
    n = len(base)
    holes = np.arange(n) % 3 == 1
    scaled = np.round(base * 100)
    if kind == "float32":
        return base.astype(np.float32)
    if kind == "int64":
        return scaled.astype(np.int64)
    if kind == "uint8":
        return (np.abs(scaled) % 256).astype(np.uint8)
    if kind == "bool":
        return base > (np.median(base) if n else 0)
    if kind in ("Int64", "Float64"):
        values = pd.array(scaled.astype(np.int64) if kind == "Int64" else base, dtype=kind)
        values[holes] = pd.NA
        return values
    if kind == "text":
        return pd.Series([f"{v:.3f}" for v in base], dtype="str").to_numpy()
    if kind == "object":
        return np.array([v if i % 2 else f"{v:.2f}" for i, v in enumerate(base)], dtype=object)
    if kind == "category":
        return pd.Categorical(np.round(base, 1))
    if kind == "all_nan":
        return np.full(n, np.nan)
    if kind == "constant":
        return np.full(n, 1.25)
    if kind == "negative_zero":
        return np.where(np.arange(n) % 2 == 0, 0.0, -0.0)
    if kind == "datetime":
        return pd.date_range("2024-01-01", periods=n, freq="h").to_numpy()
    values = base.copy()
    if kind == "inf":
        values[::4], values[2::4] = np.inf, -np.inf
    elif kind == "huge":
        values *= 1e300
    elif kind == "tiny":
        values *= 1e-300
    elif kind == "holes":
        values[holes] = np.nan
    return values


def odd_times(kind, times):
    n = len(times)
    order = np.arange(n)
    if kind == "tz":
        return times.tz_localize("Asia/Taipei")
    if kind == "unit_s":
        return times.as_unit("s")
    if kind == "unsorted":
        return times[np.argsort((order * 7919) % max(n, 1), kind="stable")]
    if kind == "duplicated":
        return times[order // 2]
    if kind == "text":
        return pd.Series(times.strftime("%Y-%m-%d %H:%M:%S"), dtype="str").to_numpy()
    if kind == "blank_text":
        return np.array([" " if i % 4 == 1 else t for i, t in enumerate(times.strftime("%Y-%m-%d %H:%M:%S"))],
                        dtype=object)
    if kind == "nat":
        return times.where(order % 5 != 2)
    if kind == "garbage":
        return np.array(["not a time" if i % 3 == 0 else str(t) for i, t in enumerate(times)], dtype=object)
    if kind == "epoch":
        return times.asi8 // 10**9
    if kind == "mixed_offsets":
        stamps = times.strftime("%Y-%m-%d %H:%M:%S")
        return np.array([s + ("+08:00" if i % 2 else "+00:00") for i, s in enumerate(stamps)], dtype=object)
    return times


@st.composite
def raw_frames(draw, rows=ROWS, odd=True, raw_labels=False):
    """Raw rows: a "_time" column and feature columns, some of them made odd."""
    n = draw(rows)
    base = base_frame(n, draw(STEPS), draw(st.integers(0, 2)))
    if draw(st.booleans()):
        names = FEATURES
    else:
        names = draw(st.lists(st.sampled_from(FEATURES), min_size=1, max_size=10, unique=True))
    oddness = draw(ODDNESS) if odd else "clean"
    odd_name = draw(st.sampled_from(names))
    data = {}
    time_kind = draw(st.sampled_from(TIME_KINDS)) if oddness in ("times", "all over") else "naive"
    if time_kind != "absent":
        data["_time"] = odd_times(time_kind, pd.DatetimeIndex(base["_time"]))
    for name in names:
        odd_here = oddness == "one column" and name == odd_name or oddness == "all over" and draw(st.booleans())
        data[name] = odd_column(draw(st.sampled_from(COLUMN_KINDS)) if odd_here else "float64",
                                base[name].to_numpy())
    if oddness == "all over" and draw(st.booleans()):
        data["note"] = odd_column("text", np.arange(n, dtype=float))
    frame = pd.DataFrame(data)
    if raw_labels:
        frame.columns = [f" {synthetic.raw_label(c)} " if i % 3 == 0 else synthetic.raw_label(c)
                         for i, c in enumerate(frame.columns)]
    return frame


INDEX_KINDS = ["naive", "tz", "unit_s", "unsorted", "duplicated", "nat", "range", "text"]


@st.composite
def feature_frames(draw, rows=ROWS, columns=None, odd=True):
    """Feature rows indexed by time (mostly), with columns of odd kinds now and then."""
    n = draw(rows)
    base = base_frame(n, draw(STEPS), draw(st.integers(0, 2)))
    names = columns or draw(st.lists(st.sampled_from(FEATURES[1:40]), min_size=1, max_size=6, unique=True))
    oddness = draw(ODDNESS) if odd else "clean"
    odd_name = draw(st.sampled_from(names))
    data = {}
    for name in names:
        odd_here = oddness == "one column" and name == odd_name or oddness == "all over" and draw(st.booleans())
        data[name] = odd_column(draw(st.sampled_from(COLUMN_KINDS)) if odd_here else "float64",
                                base[name].to_numpy())
    index_kind = draw(st.sampled_from(INDEX_KINDS)) if oddness in ("times", "all over") else "naive"
    times = pd.DatetimeIndex(base["_time"], name="_time")
    if index_kind == "range":
        index = pd.RangeIndex(n)
    elif index_kind == "text":
        index = pd.Index(times.strftime("%H:%M:%S"), dtype="str")
    else:
        index = pd.DatetimeIndex(odd_times(index_kind, times), name="_time")
    return pd.DataFrame(data, index=index)


# --- strategies: other arguments -------------------------------------------------------

JUNK = st.sampled_from([
    None, 0, -1, 1, 2**70, -(2**70), 0.5, math.nan, math.inf, -math.inf, 1 + 1j, "", "abc", "h", "min", b"x",
    [], [1, 2], (), {}, {"a": 1}, np.nan, np.float32(0.5), np.int64(3), np.array([1.0, 2.0]), np.zeros((2, 2)),
    pd.NA, pd.NaT, True, object(), pd.Series([1.0, 2.0]), pd.DataFrame(),
])


def either(good, junk_one_in=8):
    """Mostly `good`, now and then any junk value."""
    # sampled_from picks evenly; integers() would favour 0.
    return st.sampled_from(range(junk_one_in)).flatmap(lambda i: JUNK if i == 0 else good)


NUMBERS = st.sampled_from([0, 1, 2, 3, -1, 0.05, 0.5, 0.9, 1.5, 1e-300, 1e300, math.nan, math.inf, -math.inf,
                           np.float32(0.25), np.int8(2), True])
FRACTIONS = st.sampled_from([0.0, 0.01, 0.05, 0.5, 0.95, 1.0, -0.1, 1.5, math.nan, np.float32(0.05)])
WINDOWS = st.sampled_from([1, 2, 3, 30, 60, 120, 2**40, 2**70, 0, -1, -5, 2.5, np.int64(3), "3", None])
TIME_SCALES = st.sampled_from(["min", "h", "1s", "5min", "D", "0min", "-1min", "bogus", "", 5, None])
WINDOW_TEXTS = st.sampled_from(["1D", "10D", "1h", "5min", "0s", "-1D", 3, 0, -2, "bogus", None])


def records(columns):
    """Family records naming some of `columns` (and sometimes names a frame lacks)."""
    names = st.lists(st.sampled_from(list(columns) + ["X_Overall", "Y_Power_in_Band_03", "missing"]), max_size=4)
    record = st.builds(lambda t, f, m: SimpleNamespace(time=t, frequency=f, fail_mode=m), names, names, names)
    odd = st.sampled_from([SimpleNamespace(time="X_Overall", frequency=[], fail_mode=[]),
                           SimpleNamespace(time=(), frequency=(), fail_mode=()), SimpleNamespace(time=[])])
    return either(st.one_of(record, odd))


@st.composite
def frame_and_record(draw):
    df = draw(feature_frames())
    return df, draw(records(df.columns))


# --- reference models -------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def _reference(columns):
    """A health model of standardised reference rows with `columns` features."""
    rng = np.random.default_rng(columns)
    latent = rng.normal(size=(60, 2))
    values = latent @ rng.normal(size=(2, columns)) + 0.3 * rng.normal(size=(60, columns))
    index = pd.date_range("2024-01-01", periods=60, freq="min", name="_time")
    frame = pd.DataFrame(values, index=index, columns=FEATURES[1:1 + columns])
    scaled, scaler = HI.standardize(frame)
    mu, cov, ucl, pca = HI.health_modeling(scaled)
    return SimpleNamespace(frame=frame, scaled=scaled, scaler=scaler, mu=mu, cov=cov, ucl=ucl, pca=pca)


def reference(columns=4):
    return copy.deepcopy(_reference(columns))


@st.composite
def scored_frames(draw):
    """Rows in the reference model's columns (odd values included) with its model items, some mismatched."""
    ref = reference(draw(st.sampled_from([1, 4])))
    df = draw(feature_frames(columns=list(ref.frame.columns)))
    mu = draw(either(st.sampled_from([ref.mu, ref.mu[:1], np.append(ref.mu, 0.0), np.full_like(ref.mu, np.nan)])))
    cov = draw(either(st.sampled_from([ref.cov, np.asarray(ref.cov)[..., None], np.eye(3), np.float64(2.0),
                                       np.full_like(ref.cov, np.inf)])))
    return ref, df, mu, cov


@functools.lru_cache(maxsize=None)
def _trained(config):
    # Hours of 1 Hz rows: the hour scale needs a few full hours.
    model = HI.training_model(synthetic.machine_frame("2024-03-01", periods=5 * 3600, freq="1s", seed=1), config)
    assert model["is_error"] == "False", model["error_message"]
    return model


@functools.lru_cache(maxsize=None)
def _refined():
    failure = synthetic.machine_frame("2024-03-05", periods=600, freq="2s", seed=5, fault_start="2024-01-01",
                                      fault_days=10)
    model = HI.failure_deadline_learning([failure], _trained(CONFIGS[0]), None)
    assert model["is_error"] == "False", model["error_message"]
    return model


MODEL_EDITS = [None] * 8 + [
    ("drop", "datetime_name"), ("drop", "scaler"), ("drop", "rul_deadline"), ("drop", "algo_config"),
    ("drop", "codebook_setup"),
    ("set", "datetime_name", "Time"), ("set", "datetime_name", 5), ("set", "algo_config", "1,2,3"),
    ("set", "algo_config", None), ("set", "algo_config", "0,0,0,1,2,1,1,9"), ("set", "scaler", None),
    ("set", "pca", "pca"), ("set", "cov", np.eye(2)), ("set", "ucl", 0), ("set", "ucl", math.nan),
    ("set", "indicator_col_name", SimpleNamespace(time=["missing"], frequency=[], fail_mode=[])),
    ("set", "time_scale", "bogus"), ("set", "codebook_setup", {"setup_name": "x", "config": {"axis": {}}}),
    ("set", "rul_deadline_t_square", "x"),
]


@st.composite
def model_dictionaries(draw):
    choice = draw(st.sampled_from(CONFIGS[:4] + ["refined"]))
    model = copy.deepcopy(_refined() if choice == "refined" else _trained(choice))
    edit = draw(st.sampled_from(MODEL_EDITS))
    if edit and edit[0] == "drop":
        model.pop(edit[1], None)
    elif edit:
        model[edit[1]] = edit[2]
    return draw(either(st.just(model), junk_one_in=12))


CODEBOOKS = st.sampled_from([None] * 6 + [
    {}, {"setup_name": "None"},
    {"setup_name": "a", "config": {"axis": {"X": {"time_domain": [{"type": "overall_rms", "min": 0.5, "max": 9}]}}}},
    {"setup_name": "a", "config": {"axis": {"X": {"time_domain": [{"type": "overall_rms", "min": 1e9}]}}}},
    {"setup_name": "a", "config": {"axis": {"X": {"time_domain": [{"type": "peak", "min": "1"}]}}}},
    {"setup_name": "a", "config": {"axis": {"X": {"time_domain": [{"type": "peak", "min": math.nan}]}}}},
    {"setup_name": "a", "config": {"fail_mode_thresholds": [{"type": "bearing", "min": None, "max": 0.1}]}},
    {"setup_name": "a", "config": {}}, {"setup_name": "a"}, {"config": {"axis": []}},
])

THRESHOLD_MAPS = st.sampled_from([
    {}, {"X_Overall": {"min": 0.5, "max": 9}}, {"X_Overall": {"min": 1e9}}, {"X_Peak": {"min": "1"}},
    {"X_Peak": {"min": math.nan, "max": None}}, {"Bearing": {"min": None, "max": None}}, {"missing": {"min": 0}},
    {"X_Overall": {"min": np.array([1.0, 2.0])}}, {"_time": {"min": 0}}, {"X_Overall": None},
])


@st.composite
def tsquare_frames(draw):
    """T² frames: mostly a time index over an hour to a few months, odd values and indexes now and then."""
    n = draw(st.sampled_from([0, 1, 5, 40, 200]))
    step = draw(st.sampled_from(["1min", "30min", "1D"]))
    rng = np.random.default_rng(draw(st.integers(0, 3)))
    values = np.abs(rng.normal(3, 2, n)) * np.linspace(1, 4, n)
    kind = draw(st.sampled_from(["float64", "float64", "inf", "holes", "huge", "Float64", "text", "all_nan"]))
    index = pd.date_range("2024-01-01", periods=n, freq=step, name="_time")
    index_kind = draw(st.sampled_from(["naive", "naive", "tz", "unsorted", "duplicated", "range"]))
    index = pd.RangeIndex(n) if index_kind == "range" else pd.DatetimeIndex(odd_times(index_kind, index), name="_time")
    return pd.DataFrame({"tsquare": odd_column(kind, values)}, index=index)


# --- the cases ---------------------------------------------------------------------------

RAISES_OR_RETURNS = "raises or returns"  # building blocks and unguarded pipelines
GUARDED = "guarded"                      # always the result or its error record
GUARDED_AFTER_TIME_NAME = "guarded after the time-column name"  # may only raise reading "datetime_name"
TEXT_ON_FAILURE = "dict or str"
ALWAYS_DICT = "dict"


@dataclass
class Case:
    function: object
    arguments: st.SearchStrategy  # a tuple of positional arguments
    outcome: str = RAISES_OR_RETURNS
    examples: int = 60
    stage_codes: frozenset = frozenset()  # of a guarded pipeline

    def __str__(self):
        return self.function.__name__


def args(*strategies):
    return st.tuples(*strategies)


def cal_t2_arguments(scored):
    ref, df, mu, cov = scored
    return df, ref.pca, mu, cov, df.index


def attribution_arguments(scored):
    ref, df, _, _ = scored
    scores = ref.pca.transform(ref.frame.iloc[: len(df)]) if len(df) else np.zeros((0, 2))
    return args(st.just(df), st.just(scores), st.just(df), either(tsquare_frames()), either(st.just(ref.pca)),
                either(NUMBERS), either(WINDOWS))


CONFIG_TEXTS = either(st.sampled_from(CONFIGS * 2 + ["1,2,3", " 0, 0,0,1,2,1,1,1 ", "0,0,0,1,2,1,1,1,1"]))
TIME_COLUMNS = either(st.sampled_from(["_time", "X_Overall", "missing"]))
START_FRACTIONS = st.sampled_from([0.01] * 6).flatmap(lambda usual: st.one_of(st.just(usual), FRACTIONS))
LIMIT_FRACTIONS = st.one_of(st.just(0.5), FRACTIONS)
LIGHT_THRESHOLDS = st.sampled_from([
    {}, {"X_Overall": {"upper_warning": 1, "upper_alert": 2}},
    {name: {"upper_warning": 3, "upper_alert": 6, "lower_warning": "0", "lower_alert": None} for name in FEATURES},
    {name: {"upper_warning": math.nan, "upper_alert": "x", "lower_warning": -1, "lower_alert": -2}
     for name in FEATURES},
])
TRAINING_STAGES = stages("Error_", *range(1, 10))
TESTING_STAGES = stages("Error_", *range(1, 8))
DEADLINE_STAGES = stages("Error_", 1, 2, 3, 6, 7, 8)
RUL_STAGES = stages("RUL_Error_", *range(1, 8))


CASES = [
    Case(HI.rename_columns, args(either(raw_frames(raw_labels=True)))),
    Case(HI.feature_extraction, frame_and_record().flatmap(lambda fr: args(st.just(fr[0]), st.just(fr[1]),
                                                                              TIME_SCALES))),
    Case(HI.safe_resample_max, feature_frames().flatmap(
        lambda df: args(st.just(df), either(st.just(list(df.columns))), TIME_SCALES, either(WINDOWS)))),
    Case(HI.safe_resample_mean, feature_frames().flatmap(
        lambda df: args(st.just(df), either(st.sampled_from([list(df.columns), df.columns[0]])), TIME_SCALES,
                        either(WINDOWS)))),
    Case(HI.feature_extraction_rolling, frame_and_record().flatmap(
        lambda fr: args(st.just(fr[0]), st.just(fr[1]), WINDOWS, WINDOWS)), examples=100),
    Case(HI.standardize, args(either(feature_frames()))),
    Case(HI.minmax_scale, args(either(feature_frames()))),
    Case(HI.testing_scaler, args(either(feature_frames(columns=FEATURES[1:5])), either(st.just(reference().scaler)))),
    Case(HI.testing_minmax, args(either(feature_frames(columns=FEATURES[1:5])),
                                 either(st.just(HI.minmax_scale(reference().frame)[1])))),
    Case(HI.health_modeling, args(either(feature_frames()), either(FRACTIONS))),
    Case(HI.cal_T2, scored_frames().map(cal_t2_arguments), examples=80),
    Case(HI.Health_Index, args(either(tsquare_frames()), either(NUMBERS), either(NUMBERS))),
    Case(HI.T2_Anomaly_Rate, args(either(tsquare_frames().map(lambda f: f["tsquare"].to_numpy())), either(NUMBERS))),
    Case(HI.SPE_residual, feature_frames().flatmap(
        lambda df: args(st.just(df), either(st.just(df.index)), either(FRACTIONS)))),
    Case(HI.SPE_residual_testing, feature_frames().flatmap(
        lambda df: args(st.just(df), either(st.just(df.to_numpy())), either(st.just(df.index)), either(FRACTIONS)))),
    Case(HI.find_T2_abnormal_times, args(either(tsquare_frames()), either(NUMBERS))),
    Case(HI.find_SPE_abnormal_times, feature_frames().flatmap(
        lambda df: args(st.just(pd.DataFrame({"SPE": np.arange(len(df), dtype=float)}, index=df.index)),
                        either(NUMBERS), either(st.just(df)), either(WINDOWS)))),
    Case(HI.time_filter, args(either(feature_frames()), st.just("_time"), either(NUMBERS))),
    Case(HI.drop_outliers_by_min, args(
        either(raw_frames()), TIME_COLUMNS,
        either(st.sampled_from([None, [], ["_time"], ["_time", "X_Overall"], ("_time",), "_time"])),
        either(NUMBERS)), examples=80),
    Case(HI.low_resolution, args(either(feature_frames()))),
    Case(HI.compress_by_second, args(
        either(raw_frames()), TIME_COLUMNS,
        either(st.sampled_from(["last", "first", "mode", "nan", "concat", "other"])), either(st.booleans())),
        examples=120),
    Case(HI.feature_threshold_mapping, args(either(CODEBOOKS))),
    Case(HI.codebook_df_filter, args(
        either(raw_frames()), either(THRESHOLD_MAPS), either(st.sampled_from(["all", "min", "max"])), st.just(False))),
    Case(HI.training_model, args(either(raw_frames()), CONFIG_TEXTS, either(CODEBOOKS)),
         outcome=GUARDED, examples=80, stage_codes=TRAINING_STAGES),
    Case(HI.testing_model, args(either(raw_frames()), model_dictionaries()),
         outcome=GUARDED_AFTER_TIME_NAME, examples=80, stage_codes=TESTING_STAGES),
    Case(HI.analyze_T2_anomalies, scored_frames().flatmap(attribution_arguments)),
    Case(HI.detect_bad_HI_zone, args(
        either(tsquare_frames().map(lambda f: f.rename(columns={"tsquare": "Score"}))), either(NUMBERS),
        WINDOW_TEXTS, either(st.sampled_from(["min", "quantile", "max"])), either(FRACTIONS), WINDOW_TEXTS,
        either(FRACTIONS))),
    Case(HI.group_alert_times, args(
        either(tsquare_frames().map(lambda f: list(f.index))), either(WINDOW_TEXTS))),
    Case(HI.IQR_outlier_percent_clean, args(either(raw_frames()), either(FRACTIONS), either(st.just("_time")),
                                            either(NUMBERS)), examples=100),
    Case(HI.outlier_clean, args(
        either(raw_frames()), model_dictionaries(), either(START_FRACTIONS),
        either(st.sampled_from([0.01, 0.2, 0, -0.01])), either(LIMIT_FRACTIONS)),
        outcome=GUARDED, examples=50, stage_codes=TRAINING_STAGES),
    Case(HI.chebyshev_ucl, args(either(tsquare_frames().map(lambda f: f["tsquare"].to_numpy())), either(FRACTIONS),
                                either(st.booleans()))),
    Case(HI.purge_by_chebyshev, args(either(feature_frames()), either(FRACTIONS), either(WINDOWS),
                                     either(st.booleans()))),
    Case(HI.outlier_chebyshev_T2_purging, args(either(raw_frames()), either(st.sampled_from(CONFIGS))), examples=50),
    Case(HI.training_model_GB_compare, args(either(raw_frames()), either(raw_frames()), TIME_SCALES), examples=50),
    Case(HI.failure_deadline_learning, args(either(st.lists(raw_frames(), max_size=2)), model_dictionaries(), JUNK),
         outcome=GUARDED_AFTER_TIME_NAME, examples=50, stage_codes=DEADLINE_STAGES),
    Case(HI.pre_feature_training, args(either(raw_frames())), outcome=TEXT_ON_FAILURE),
    Case(HI.pre_feature_light, args(either(raw_frames()), either(LIGHT_THRESHOLDS)), outcome=TEXT_ON_FAILURE),
    Case(HI.ISO20816_overall, args(either(NUMBERS), either(st.sampled_from(["Rigid", "Flexible", "rigid"]))),
         outcome=ALWAYS_DICT),
    Case(HI.ISO20816_light, args(either(raw_frames()), either(NUMBERS), either(NUMBERS)), outcome=TEXT_ON_FAILURE),
    Case(RUL.rul_model, args(
        either(tsquare_frames().map(lambda f: f["tsquare"])), either(st.sampled_from([0, 1, 5, 30, -1, 2.5, "3"])),
        either(NUMBERS)), examples=30),
    Case(RUL.death_probability, args(*[either(NUMBERS)] * 4)),
    Case(RUL.rul_calculation, args(either(tsquare_frames()), model_dictionaries(), either(NUMBERS)),
         outcome=GUARDED_AFTER_TIME_NAME, examples=30, stage_codes=RUL_STAGES),
]


def test_every_exported_function_is_exercised():
    native = (type(HI.standardize), type(RUL.rul_model))
    exported = {name for module in (HI, RUL) for name, value in vars(module).items() if type(value) in native}
    assert {str(case) for case in CASES} == exported and len(exported) == 42


@pytest.mark.parametrize("case", CASES, ids=str)
def test_argument_binding_errors_are_type_errors(case):
    count = len(inspect.signature(case.function).parameters)
    with pytest.raises(TypeError, match="takes at most"):
        case.function(*[None] * (count + 1))
    with pytest.raises(TypeError, match="takes at least"):
        case.function()
    with pytest.raises(TypeError, match="unexpected keyword argument 'no_such_argument'"):
        case.function(*[None] * count, no_such_argument=None)
    with pytest.raises(TypeError, match="multiple values"):
        case.function(*[None] * count, **{next(iter(inspect.signature(case.function).parameters)): None})


def expected_after(case, before, after):
    """The caller's arguments as they may look after the call: `rename_columns`
    strips the labels in place, `testing_model` may record that a model has no
    codebook."""
    expected = list(before)
    if case.function is HI.rename_columns and isinstance(before[0], pd.DataFrame):
        expected[0] = before[0].copy()
        with contextlib.suppress(Exception):
            expected[0].columns = expected[0].columns.str.strip()
    if (case.function is HI.testing_model and isinstance(before[1], dict) and "codebook_setup" not in before[1]
            and after[1].get("codebook_setup", "absent") is None):
        expected[1] = {**before[1], "codebook_setup": None}
    return expected


def check_outcome(case, arguments, outcome, value):
    if case.outcome == RAISES_OR_RETURNS:
        return
    if case.outcome == GUARDED_AFTER_TIME_NAME and outcome == "raised":
        # Only the read of the time-column name before the guard may fail, and
        # then as that read fails.
        dictionary = arguments[1]
        with pytest.raises(type(value)):
            dictionary["datetime_name"]
        return
    assert outcome == "returned", f"{case} raised {value!r}"
    if case.outcome in (GUARDED, GUARDED_AFTER_TIME_NAME):
        assert_status_record(value, case.stage_codes)
    elif case.outcome == TEXT_ON_FAILURE:
        assert isinstance(value, (dict, str)), value
        if isinstance(value, str):
            assert_not_native(value)
    else:
        assert isinstance(value, dict) and value["error_stage"] in ("None", "Incomplete information"), value
        assert_not_native(value["error_message"])


@pytest.mark.parametrize("case", CASES, ids=str)
def test_odd_input_ends_in_a_documented_outcome(case):
    @settings(max_examples=case.examples, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(case.arguments)
    def run(arguments):
        before = snapshot(arguments)
        outcome, value = call(case.function, arguments)
        check_outcome(case, arguments, outcome, value)
        for i, (expected, after) in enumerate(zip(expected_after(case, before, arguments), arguments)):
            assert_same(expected, after, f"{case} argument {i}")

    run()


# --- regressions found by the cases above ---------------------------------------------


def test_unconvertible_values_raise_numpy_errors():
    ref = reference()
    with pytest.raises(ValueError, match="could not convert"):
        HI.cal_T2(ref.scaled, ref.pca, ["a"] * len(ref.mu), ref.cov, ref.scaled.index)
    with pytest.raises(TypeError):  # float() of a two-value limit
        HI.SPE_residual(ref.frame, ref.frame.index, np.array([0.05, 0.1]))


@pytest.mark.parametrize("iqr_k", [1 + 1j, np.array([1.0, 2.0]), None])
def test_odd_fence_factors_are_compared_by_pandas(iqr_k):
    df = pd.DataFrame({"a": [1.0, 2.0, 3.0, 50.0], "b": [1, 2, 3, 4]})
    outcome, value = call(HI.IQR_outlier_percent_clean, (df, 0.5, "_time", iqr_k))
    if outcome == "raised":
        assert isinstance(value, (TypeError, ValueError))


def test_a_window_ending_before_the_frame_fails_at_once():
    df = pd.DataFrame({"X_Overall": np.arange(10.0)}, index=pd.date_range("2024", periods=10, freq="s"))
    record = SimpleNamespace(time=["X_Overall"], frequency=[], fail_mode=[])
    for window in (-(10**9), -(2**70)):
        with time_limit(5), pytest.raises(IndexError):
            HI.feature_extraction_rolling(df, record, window, 1)
    assert len(HI.feature_extraction_rolling(df, record, -5, 1)[0]) == 5  # slices that end from the back


def test_all_missing_nullable_column_in_the_threshold_evaluations():
    df = synthetic.machine_frame(periods=20)[["_time", "X_Overall", "Y_Overall"]]
    df["Y_Overall"] = pd.array([None] * 20, dtype="Float64")
    limits = HI.pre_feature_training(df)
    assert limits["Y_Overall"]["upper_warning"] is pd.NA and isinstance(limits["X_Overall"]["upper_alert"], float)
    for result in (HI.pre_feature_light(df, limits), HI.ISO20816_light(df, 1.0, 2.0)):
        assert isinstance(result, str) and "NAType" in result


class Interrupting:
    """Stands in for any collaborator or value: using it raises KeyboardInterrupt."""

    def __call__(self, *args, **kwargs):
        raise KeyboardInterrupt

    __ge__ = __le__ = __gt__ = __lt__ = __call__


@pytest.mark.parametrize("name, call", [
    ("compress_by_second", lambda df, model: HI.training_model(df, CONFIGS[0])),
    ("compress_by_second", lambda df, model: HI.testing_model(df, model)),
    ("compress_by_second", lambda df, model: HI.outlier_clean(df, model)),
    ("compress_by_second", lambda df, model: HI.failure_deadline_learning([df], model, None)),
    ("compress_by_second", lambda df, model: HI.pre_feature_training(df)),
    ("compress_by_second", lambda df, model: HI.ISO20816_light(df, 1.0, 2.0)),
    ("Health_Index", lambda df, model: RUL.rul_calculation(model["T2"], model, 0.9)),
    (None, lambda df, model: HI.ISO20816_overall(Interrupting(), "Rigid")),
])
def test_guards_let_interrupts_through(monkeypatch, name, call):
    """The guards catch the host's Exception family only: Ctrl-C still stops a long run."""
    model = copy.deepcopy(_trained(CONFIGS[0]))
    if name:
        monkeypatch.setattr(HI, name, Interrupting())
    with pytest.raises(KeyboardInterrupt):
        call(base_frame(40, "10s", 0).copy(), model)

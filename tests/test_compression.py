"""Per-second compression against the plain pandas formulation, plus hand-checked cases."""

import inspect
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pandas.testing import assert_frame_equal

from algo.HI import HI
from algo.synthetic import as_export, machine_frame

pytestmark = [
    # Text times that do not parse make pandas fall back to guessing each one.
    pytest.mark.filterwarnings("ignore:Could not infer format:UserWarning"),
    # The pandas formulation reads time-zone aware times through `.values`.
    pytest.mark.filterwarnings("ignore:Series.values returning an ndarray that drops timezone"),
]

PANDAS_2 = int(pd.__version__.split(".")[0]) < 3
STRATEGIES = ["last", "first", "mode", "concat", "nan", "anything else"]


def pandas_compress(df, time_col, on_conflict="last", want_conflicts=True):
    """The group-by formulation, run entirely in pandas."""

    def reduce_series(s):
        s = s.dropna()
        if s.empty:
            return np.nan
        uniq = pd.unique(s)
        if len(uniq) == 1:
            return uniq[0]
        if on_conflict == "mode":
            m = s.mode(dropna=True)
            return s.iloc[-1] if m.empty else m.iloc[-1]
        if on_conflict == "concat":
            return "|".join(map(str, pd.unique(s.astype(str))))
        if on_conflict == "nan":
            return np.nan
        return s.iloc[-1]

    def report(nunique):
        return (nunique.gt(1).stack().loc[lambda s: s].reset_index()
                .rename(columns={"level_1": "column", 0: "conflict"}).drop(columns="conflict"))

    d = df.copy()
    for col in [c for c in d.columns if d[c].dtype == object or d[c].dtype == "str"]:  # object or default text
        d[col] = d[col].mask(d[col].astype(str).str.fullmatch(r"\s*"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # dateutil fallback for unparseable text
        d[time_col] = pd.to_datetime(d[time_col], errors="coerce")
    d = d.sort_values(time_col)
    d["_sec"] = d[time_col].values.astype("datetime64[s]")
    feature_cols = [c for c in d.columns if c not in (time_col, "_sec")]

    d_fast = d.copy()
    grouped = d_fast.groupby("_sec", sort=False)[feature_cols]
    d_fast[feature_cols] = grouped.bfill() if on_conflict == "first" else grouped.ffill()
    keep = "first" if on_conflict == "first" else "last"
    base = d_fast.drop_duplicates("_sec", keep=keep)[["_sec"] + feature_cols]
    nunique = d.groupby("_sec")[feature_cols].nunique(dropna=True)
    conflicts = report(nunique) if want_conflicts else None
    conflict_cols = nunique.columns[nunique.gt(1).any(axis=0)].tolist()
    if on_conflict in ("last", "first") or not conflict_cols:
        return base.rename(columns={"_sec": time_col}), conflicts
    slow_fixed = d.groupby("_sec", as_index=False)[conflict_cols].agg(reduce_series)
    if PANDAS_2:  # pandas 2 widens float32 reducer results; pandas 3, like the library, keeps float32
        widened = [c for c in conflict_cols if d[c].dtype == np.float32 and slow_fixed[c].dtype == np.float64]
        slow_fixed[widened] = slow_fixed[widened].astype(np.float32)
    out = base.drop(columns=conflict_cols).merge(slow_fixed, on="_sec", how="left")
    return out.rename(columns={"_sec": time_col}), conflicts


def assert_same_as_pandas(df, on_conflict, want_conflicts=True, time_col="_time"):
    before = df.copy()
    out, conflicts = HI.compress_by_second(df, time_col, on_conflict, want_conflicts)
    expected_out, expected_conflicts = pandas_compress(df, time_col, on_conflict, want_conflicts)
    assert_frame_equal(out, expected_out)
    if want_conflicts:
        assert_frame_equal(conflicts, expected_conflicts)
    else:
        assert conflicts is None
    assert_frame_equal(df, before)  # the caller's frame is left alone
    return out, conflicts


# --- random frames -----------------------------------------------------------

VALUE_POOL = [0.0, -0.0, 1.5, 2.0, 2.0, 7.25, np.nan, np.nan]
TEXT_POOL = ["a", "b", "b", "", "   ", None, "c d"]


@st.composite
def raw_frames(draw):
    n = draw(st.integers(0, 40))
    seconds = draw(st.integers(1, 6))
    ints = st.integers(0, 10 ** 6)
    rows = st.lists(st.tuples(st.integers(0, seconds - 1), st.sampled_from([0, 0, 1, 250, 999]), ints), min_size=n,
                    max_size=n)
    stamps = []
    for second, millis, _ in draw(rows):
        stamps.append(pd.Timestamp("2024-03-01 08:00:00") + pd.Timedelta(seconds=second, milliseconds=millis))
    as_text = draw(st.booleans())
    times = [t.strftime("%Y-%m-%d %H:%M:%S.%f") if as_text else t for t in stamps]
    for i in draw(st.sets(st.integers(0, max(n - 1, 0)), max_size=3)) if n else []:
        times[i] = "not a time" if as_text else pd.NaT
    pick = lambda pool: draw(st.lists(st.sampled_from(pool), min_size=n, max_size=n))  # noqa: E731
    small_ints = st.lists(st.integers(-3, 3), min_size=n, max_size=n)
    frame = pd.DataFrame({
        "_time": pd.Series(times, dtype=object if as_text else "datetime64[ns]"),
        "X_Overall": np.array(pick(VALUE_POOL), dtype=float),
        "Y_Overall": np.array(pick(VALUE_POOL), dtype=np.float32),
        "RPM": np.array(draw(small_ints), dtype=np.int64),
        "Bearing": np.array(draw(small_ints), dtype=np.int8),
        "Looseness": np.array(draw(small_ints), dtype=np.int32) % 2 == 0,
        "Imbalance": np.array(draw(small_ints), dtype=np.int64).astype(np.uint16) % 3,
        "Temperature": np.full(n, 40.0),
        "note": pd.Series(pick(TEXT_POOL), dtype=draw(st.sampled_from([object, "str", "string"]))),
    })
    if draw(st.booleans()):
        frame["grade"] = pd.array(draw(st.lists(st.sampled_from([1, 2, None]), min_size=n, max_size=n)),
                                  dtype="Int64")
    if draw(st.booleans()):  # a caller's index that is neither a range nor unique
        frame.index = np.arange(n) // 2 * 10
    return frame


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frame=raw_frames(), on_conflict=st.sampled_from(STRATEGIES), want_conflicts=st.booleans())
def test_random_frames_match_the_pandas_formulation(frame, on_conflict, want_conflicts):
    assert_same_as_pandas(frame, on_conflict, want_conflicts)


@pytest.mark.parametrize("on_conflict", STRATEGIES)
def test_equal_timestamps_keep_the_order_of_the_pandas_sort(on_conflict):
    # Large enough for the unstable quicksort to reorder equal times; every row
    # carries its own values, so the picked rows reveal the order.
    rng = np.random.default_rng(7)
    n = 3000
    times = pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 40, n) * 250, unit="ms")
    frame = pd.DataFrame({
        "_time": times,
        "X_Overall": rng.normal(size=n),
        "RPM": rng.integers(0, 4, n),
        "Looseness": rng.random(n) < 0.5,
        "Z_Peak": np.where(rng.random(n) < 0.6, np.nan, rng.integers(0, 3, n)).astype(np.float32),
    })
    assert_same_as_pandas(frame, on_conflict)


@pytest.mark.parametrize("on_conflict", ["last", "mode", "concat"])
def test_realistic_export_with_repeated_seconds(on_conflict):
    rng = np.random.default_rng(3)
    frame = machine_frame(periods=600, seed=3)
    repeats = frame.sample(frac=0.2, random_state=3)
    values = repeats.iloc[:, 1:].to_numpy(copy=True)
    values[rng.random(values.shape) < 0.3] = np.nan
    values[rng.random(values.shape) < 0.2] *= 1.01
    repeats.iloc[:, 1:] = values
    repeats["_time"] += pd.to_timedelta(rng.integers(0, 1000, len(repeats)), unit="ms")
    raw = pd.concat([frame, repeats]).sample(frac=1, random_state=3)
    out, conflicts = assert_same_as_pandas(raw, on_conflict)
    assert len(out) == 600 and not conflicts.empty


@pytest.mark.parametrize("on_conflict", ["last", "first", "mode"])
@pytest.mark.parametrize("as_text", [False, True])
def test_seconds_split_over_partial_rows_as_exports_give_them(on_conflict, as_text):
    """Jittered times, seconds in two partial rows that disagree on speed and temperature, empty cells."""
    raw = as_export(machine_frame(periods=20_000, seed=4), seed=4, time_as_text=as_text)
    out, conflicts = assert_same_as_pandas(raw, on_conflict)
    assert len(out) < len(raw) and set(conflicts["column"]) == {"RPM", "Temperature"}


def time_texts(times, layout, storage):
    texts = pd.Series(times).dt.strftime(layout)
    return texts.astype(object) if storage == "object" else texts.astype("str")


def ordered(n, seconds_apart=1.0):
    return pd.Timestamp("2024-02-28 23:59:00") + pd.to_timedelta(np.arange(n) * seconds_apart, unit="s")


ISO_LAYOUTS = ["%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M:%S.%f", "%Y-%m-%dT%H:%M:%S.%f"]
# Times in one ISO layout are read natively, times ordered and one to a second
# skip the sort and the picking; everything else is left to pandas' parser and
# sort. Each must compress as the pandas formulation does.
TIME_COLUMNS = {
    "ordered seconds": lambda layout, storage: time_texts(ordered(300), layout, storage),
    "repeated seconds": lambda layout, storage: time_texts(ordered(300, 0.4), layout, storage),
    "unordered": lambda layout, storage: time_texts(ordered(300, 0.7)[::-1], layout, storage),
    "a leap day and a date that does not exist": lambda layout, storage: time_texts(
        ordered(300), layout, storage).replace({"2024-02-29 00:00:30": "2024-02-30 00:00:30"}),
    "before 1970": lambda layout, storage: time_texts(ordered(300) - pd.Timedelta(days=20_000), layout, storage),
    "two layouts": lambda layout, storage: pd.concat(
        [time_texts(ordered(150), "%Y-%m-%d %H:%M:%S", storage),
         time_texts(ordered(150) + pd.Timedelta(minutes=5), layout, storage)], ignore_index=True),
    "milliseconds": lambda layout, storage: pd.Series(ordered(300, 0.4)).dt.as_unit("ms"),
    "seconds, zoned": lambda layout, storage: pd.Series(ordered(300, 1.5)).dt.as_unit("s").dt.tz_localize("Asia/Taipei"),
}


@pytest.mark.parametrize("storage", ["object", "str"])
@pytest.mark.parametrize("layout", ISO_LAYOUTS)
@pytest.mark.parametrize("times", TIME_COLUMNS.values(), ids=TIME_COLUMNS.keys())
def test_time_columns_read_natively_or_by_pandas_compress_alike(times, layout, storage):
    column = times(layout, storage)
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"_time": column, "X_Overall": rng.normal(size=len(column)),
                          "Y_Peak": np.where(rng.random(len(column)) < 0.3, np.nan, 1.0).astype(np.float32)})
    assert_same_as_pandas(frame, "last")
    assert_same_as_pandas(frame.iloc[7:], "last")  # text held from an offset into its buffer


def test_text_times_in_several_arrow_chunks():
    chunks = [pd.DataFrame({"_time": time_texts(ordered(100) + pd.Timedelta(minutes=2 * i), ISO_LAYOUTS[2], "str"),
                            "X_Overall": np.arange(100.0) + i}) for i in range(3)]
    assert_same_as_pandas(pd.concat(chunks, ignore_index=True), "last")


@pytest.mark.parametrize("on_conflict", ["last", "nan", "concat"])
@pytest.mark.parametrize("time_col", ["_time", "_sec"])
def test_odd_layouts_match_the_pandas_formulation(on_conflict, time_col):
    frame = pd.DataFrame({
        "a": [1.0, 2.0, 3.0, np.nan],
        time_col: ["2024-01-01 00:00:00", "2024-01-01 00:00:00.5", "bad", "2024-01-01 00:00:01"],
        "flag": [True, False, True, True],
        "cat": pd.Categorical(["x", "y", "x", None]),
    })
    if time_col == "_time":
        frame["_sec"] = 0  # overwritten by the working column, never a feature
    frame.columns = pd.Index(list(frame.columns), dtype=object, name="features")
    assert_same_as_pandas(frame, on_conflict, time_col=time_col)


@pytest.mark.parametrize("on_conflict", ["mode", "nan", "concat", "anything else"])
@pytest.mark.parametrize("untimed", [False, True], ids=["all timed", "one untimed row"])
@pytest.mark.parametrize("values", [[1, 0, 1, 0], [1, 0, 1, 1]], ids=["every second conflicts", "one conflicts"])
@pytest.mark.parametrize("dtype", ["bool", "int8", "uint64", "float32"])
def test_resolved_columns_keep_the_dtype_pandas_gives(dtype, values, untimed, on_conflict):
    # Missing results, joined texts and the untimed row each change the dtype
    # pandas ends with, differently per column dtype.
    times = ["2024-01-01 00:00:00.0", "2024-01-01 00:00:00.5", "2024-01-01 00:00:01.0", "2024-01-01 00:00:01.5"]
    frame = pd.DataFrame({"_time": times + ["never"] * untimed, "v": np.array(values + [1] * untimed).astype(dtype)})
    assert_same_as_pandas(frame, on_conflict)


@pytest.mark.parametrize("frame", [
    pd.DataFrame({"_time": pd.Series([], dtype="datetime64[ns]"), "a": pd.Series([], dtype=float),
                  "i": pd.Series([], dtype="int64")}),
    pd.DataFrame({"_time": ["2024-01-01 00:00:00", "2024-01-01 00:00:00"]}),
    pd.DataFrame({"_time": ["never", "nope"], "a": [1.0, 2.0], "i": [1, 2]}),
    pd.DataFrame({"_time": pd.to_datetime(["2024-01-01 00:00:00.7", "2024-01-01 00:00:00.2"])
                  .tz_localize("Europe/Berlin"), "a": [1.0, 2.0]}),
], ids=["empty", "time only", "no parseable time", "time zone"])
@pytest.mark.parametrize("on_conflict", ["last", "mode"])
def test_degenerate_frames_match_the_pandas_formulation(frame, on_conflict):
    assert_same_as_pandas(frame, on_conflict)


def graded_rows(kind):
    rng = np.random.default_rng(len(kind))
    times = pd.Timestamp("2024-03-01") + pd.to_timedelta(np.arange(300) * 1000 + rng.integers(0, 900, 300), unit="ms")
    values = rng.normal(size=(300, 3))
    values[rng.random((300, 3)) < 0.1] = np.nan
    frame = pd.DataFrame({"_time": times, "X_Overall": values[:, 0], "Y_Overall": values[:, 1],
                          "Temperature": values[:, 2], "RPM": rng.integers(0, 3000, 300), "Running": True})
    frame.loc[5, "Y_Overall"] = np.inf
    if kind == "zoned":
        frame["_time"] = frame["_time"].dt.tz_localize("Europe/Berlin")
    elif kind == "repeated seconds":
        frame = pd.concat([frame, frame.iloc[::9].assign(X_Overall=lambda d: d["X_Overall"] + 1)])
    elif kind == "out of order":
        frame = frame.iloc[::-1]
    elif kind == "a row without a time":
        frame.loc[0, "_time"] = pd.NaT
    return frame


@pytest.mark.parametrize("kind", ["a row a second", "zoned", "repeated seconds", "out of order",
                                  "a row without a time"])
def test_the_lights_means_are_those_of_the_per_second_rows(kind):
    from algo import machine

    rows = graded_rows(kind)
    expected = HI.compress_by_second(rows, "_time")[0].select_dtypes(include="number").mean()
    pd.testing.assert_series_equal(machine.per_second_means(rows), expected, check_exact=True)


# --- hand-checked behaviour --------------------------------------------------

def two_rows(x, y=(np.nan, np.nan), times=("2024-01-01 12:00:00.1", "2024-01-01 12:00:00.9")):
    return pd.DataFrame({"_time": pd.to_datetime(list(times)), "X_Overall": list(x), "Y_Overall": list(y)})


def test_partial_rows_of_one_second_merge_into_one_row():
    frame = two_rows([1.0, np.nan], [np.nan, 2.0])
    for on_conflict in ("last", "first"):
        out, conflicts = HI.compress_by_second(frame, "_time", on_conflict)
        assert out.columns.tolist() == ["_time", "X_Overall", "Y_Overall"]
        assert out["_time"].tolist() == [pd.Timestamp("2024-01-01 12:00:00")]
        assert out["_time"].dtype == "datetime64[s]"
        assert out[["X_Overall", "Y_Overall"]].values.tolist() == [[1.0, 2.0]]
        assert conflicts.empty and conflicts.columns.tolist() == ["_sec", "column"]


def test_conflicting_values_per_strategy():
    frame = two_rows([1.0, 3.0])
    results = {s: HI.compress_by_second(frame, "_time", s)[0]["X_Overall"].iloc[0] for s in STRATEGIES}
    assert results["last"] == 3.0 and results["first"] == 1.0 and results["mode"] == 3.0
    assert results["concat"] == "1.0|3.0" and np.isnan(results["nan"]) and results["anything else"] == 3.0
    out, conflicts = HI.compress_by_second(frame, "_time", "nan")
    assert out.columns.tolist() == ["_time", "Y_Overall", "X_Overall"]  # resolved columns move to the end
    assert conflicts.values.tolist() == [[pd.Timestamp("2024-01-01 12:00:00"), "X_Overall"]]


@pytest.mark.parametrize("values, expected", [([2.0, 2.0, 5.0], 2.0), ([5.0, 2.0], 5.0), ([1, 3, 3, 1], 3)])
def test_mode_prefers_the_largest_of_tied_modes(values, expected):
    frame = pd.DataFrame({"_time": pd.Timestamp("2024-01-01")
                          + pd.to_timedelta(np.arange(len(values)) * 100, unit="ms"), "v": values})
    assert HI.compress_by_second(frame, "_time", "mode")[0]["v"].tolist() == [expected]


def test_blank_text_counts_as_missing():
    frame = pd.DataFrame({"_time": ["2024-01-01 00:00:00.0", "2024-01-01 00:00:00.5"], "note": ["ok", "   "]})
    assert HI.compress_by_second(frame, "_time")[0]["note"].tolist() == ["ok"]


def test_rows_without_a_time_leave_one_empty_row_at_the_end():
    frame = pd.DataFrame({"_time": ["2024-01-01 00:00:01", "garbage", "2024-01-01 00:00:00"], "RPM": [1, 2, 3]})
    out, _ = HI.compress_by_second(frame, "_time")
    assert out["_time"].isna().tolist() == [False, False, True]
    assert out["RPM"].tolist()[:2] == [3.0, 1.0] and np.isnan(out["RPM"].iloc[2])


def test_without_conflicts_every_strategy_gives_the_last_result():
    frame = two_rows([1.0, np.nan], [np.nan, 2.0])
    expected = HI.compress_by_second(frame, "_time", "last", False)[0]
    for on_conflict in ["last", "mode", "concat", "nan", "anything else"]:
        out, conflicts = HI.compress_by_second(frame, "_time", on_conflict, want_conflicts=False)
        assert_frame_equal(out, expected)
        assert conflicts is None


@pytest.mark.parametrize("index_name", ["_time", "_sec"])
def test_an_index_named_like_the_time_column_is_no_ambiguity(index_name):
    # pandas' sort and group-by refuse a label that names both an index level
    # and a column; here the column is meant, as for an unnamed index.
    frame = two_rows([1.0, 3.0]).iloc[::-1]
    frame.index = pd.Index(frame["_time"], name=index_name)
    out, conflicts = HI.compress_by_second(frame, "_time")
    expected, expected_conflicts = pandas_compress(frame.rename_axis(None), "_time")
    assert_frame_equal(out, expected.rename_axis(index_name))
    assert_frame_equal(conflicts, expected_conflicts)


@pytest.mark.parametrize("argument, value", [("time_col", None), ("time_col", 3), ("on_conflict", None),
                                             ("on_conflict", b"last")])
def test_time_col_and_on_conflict_must_be_text(argument, value):
    arguments = {"df": "not even a frame", "time_col": "_time", "on_conflict": "last", argument: value}
    message = f"argument '{argument}' must be str, not {type(value).__name__}"
    with pytest.raises(TypeError, match=message):
        HI.compress_by_second(**arguments)


def test_bad_frames_raise_clear_errors():
    with pytest.raises(KeyError):
        HI.compress_by_second(pd.DataFrame({"t": [1]}), "_time")
    for repeated in ("a", "_time"):
        frame = pd.DataFrame([["2024-01-01", 1.0, 2.0]], columns=["_time", "a", repeated])
        with pytest.raises(ValueError, match=rf"unique column labels; repeated: \['{repeated}'\]"):
            HI.compress_by_second(frame, "_time")


@pytest.mark.parametrize("call", [
    lambda: HI.training_model(None, "0,0,0,1,2,1,1,1")["error_message"],
    lambda: HI.pre_feature_training(None),
    lambda: HI.pre_feature_light(None, {}),
    lambda: HI.ISO20816_light(None, 2.8, 4.5),
])
def test_a_missing_frame_fails_on_its_copy(call):
    assert call() == "'NoneType' object has no attribute 'copy'"


def test_signature_and_annotations():
    assert str(inspect.signature(HI.compress_by_second)) == (
        "(df: 'pd.DataFrame', time_col: 'str', on_conflict: 'str' = 'last', want_conflicts: 'bool' = True)")

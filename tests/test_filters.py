"""Hourly time filter, per-minute IQR outlier dropping and low-resolution screening."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from algo.HI import HI
from algo.synthetic import machine_frame


def low_resolution(df):
    """The columns whose rounded 75th percentile is below 0.01 (or, when all are, below 0.8 of the largest)."""
    q3 = [round(pd.to_numeric(df[c], errors="coerce").dropna().quantile(0.75), 4) for c in df.columns]
    check = pd.DataFrame({"Column": df.columns, "Q3": q3})
    threshold = 0.01
    if (check["Q3"] < threshold).all():
        threshold = check["Q3"].max() * 0.8
    return check.loc[check["Q3"] < threshold, "Column"].tolist()


def drop_by_minutes(df, time_col, exclude_cols=None, iqr_k=1.5):
    """Minute by minute and column by column with pandas."""
    if exclude_cols is None:
        exclude_cols = [time_col]
    df = df.copy()
    df[time_col] = pd.to_datetime(df[time_col])
    df = df.set_index(time_col)
    cleaned = []
    for _, group in df.groupby(pd.Grouper(freq="1min")):
        group_clean = group.copy()
        for col in group.columns:
            if col in exclude_cols:
                continue
            q1, q3 = group[col].quantile(0.25), group[col].quantile(0.75)
            iqr = q3 - q1
            lower, upper = q1 - iqr_k * iqr, q3 + iqr_k * iqr
            group_clean = group_clean[(group_clean[col] >= lower) & (group_clean[col] <= upper)]
        cleaned.append(group_clean)
    return pd.concat(cleaned).sort_index().reset_index()


def assert_same_outcome(ours, reference):
    """Equal frames, or the same exception type and text."""
    try:
        expected = reference()
    except Exception as error:  # noqa: BLE001 - any library error must be reproduced
        with pytest.raises(type(error)) as raised:
            ours()
        assert str(raised.value) == str(error)
        return
    pd.testing.assert_frame_equal(ours(), expected, check_exact=True)


DTYPES = ["float64", "float32", "int64", "int16"]


def raw_frame(seed, rows, dtypes, *, sorted_times, missing_times):
    """A "_time" column over a few minutes (repeated, sub-second, optionally
    shuffled or missing times) and feature columns with missing values, whole
    minutes without values, constant stretches and spikes."""
    rng = np.random.default_rng(seed)
    minutes = max(1, rows // 25)
    resolution = rng.choice([1, 250, 1000])
    offsets = np.sort(rng.integers(0, minutes * 60_000, rows)) // resolution * resolution
    times = pd.Timestamp("2024-05-01 23:58:00") + pd.to_timedelta(offsets, unit="ms")
    if not sorted_times:
        times = times[rng.permutation(rows)]
    times = pd.Series(times)
    if missing_times:
        times[rng.random(rows) < 0.05] = pd.NaT
    data = {"_time": times}
    dead_minute = times.dt.floor("min") == times.dt.floor("min").iloc[rng.integers(rows)]
    for j, name in enumerate(dtypes):
        dtype = np.dtype(name)
        values = rng.normal(10, 3, rows)
        values[rng.random(rows) < 0.05] *= 20
        flat = rng.integers(0, rows)
        values[flat:flat + rng.integers(0, 60)] = values[flat]
        if dtype.kind == "f":
            values[rng.random(rows) < 0.08] = np.nan
            if j == 0:
                values[dead_minute] = np.nan
        else:
            values = np.round(values * 100)
        data[f"c{j}"] = values.astype(dtype)
    return pd.DataFrame(data)


class TestMinuteOutlierKernel:
    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(
        seed=st.integers(0, 2**32 - 1),
        rows=st.integers(1, 300),
        dtypes=st.lists(st.sampled_from(DTYPES), min_size=1, max_size=4),
        sorted_times=st.booleans(),
        missing_times=st.booleans(),
        iqr_k=st.sampled_from([1.5, 0.0, 0.5, 3, 1]),
        exclude=st.sampled_from([None, [], ["_time", "c1"], ("c0",)]),
    )
    def test_matches_pandas_minute_by_minute(self, seed, rows, dtypes, sorted_times, missing_times, iqr_k, exclude):
        df = raw_frame(seed, rows, dtypes, sorted_times=sorted_times, missing_times=missing_times)
        before = df.copy()
        assert_same_outcome(lambda: HI.drop_outliers_by_min(df, "_time", exclude, iqr_k),
                            lambda: drop_by_minutes(df, "_time", exclude, iqr_k))
        pd.testing.assert_frame_equal(df, before)

    def test_realistic_hour_with_text_times_and_an_excluded_label(self):
        df = machine_frame(periods=3600, seed=2, fault_start="2023-12-01", time_as_text=True)
        df = df.iloc[np.random.default_rng(0).permutation(len(df))]
        df.insert(1, "label", "run")
        exclude = ["_time", "label", "RPM"]
        pd.testing.assert_frame_equal(HI.drop_outliers_by_min(df, "_time", exclude),
                                      drop_by_minutes(df, "_time", exclude), check_exact=True)

    @pytest.mark.parametrize("tz", ["Asia/Kolkata", "Europe/Amsterdam"])
    def test_minutes_of_zoned_times_start_at_local_midnight(self, tz):
        # Amsterdam kept its local mean time (+00:19:32) until 1937, so its
        # minutes are not UTC minutes.
        rng = np.random.default_rng(1)
        times = pd.date_range("1930-06-01 00:00", periods=600, freq="7s", tz=tz)
        df = pd.DataFrame({"_time": times, "v": rng.normal(0, 1, 600) ** 3})
        pd.testing.assert_frame_equal(HI.drop_outliers_by_min(df, "_time"), drop_by_minutes(df, "_time"),
                                      check_exact=True)

    @pytest.mark.parametrize("column, iqr_k", [
        (pd.array([1.0, 2.0, None, 50.0, 3.0, 2.5], dtype="Float64"), 1.5),
        (pd.array([1, 2, None, 50, 3, 2], dtype="Int64"), 1.5),
        (np.array([-100, 100, 90, 95, -90, 99], dtype=np.int8), 1.5),  # numpy's int8 differences wrap
        (np.array([1.0, 2.0, 3.0, 50.0, 3.0, 2.5]), np.float32(1.5)),
        (np.array([True, False, True, True, False, True]), 1.5),
        (pd.Series(["a", "b", "c", "d", "e", "f"], dtype="str"), 1.5),
        (pd.Series(list("abcdef"), dtype="category"), 1.5),
    ])
    def test_what_the_kernel_does_not_handle_behaves_as_in_pandas(self, column, iqr_k):
        df = pd.DataFrame({"_time": pd.date_range("2024-01-01", periods=6, freq="15s"), "v": column})
        assert_same_outcome(lambda: HI.drop_outliers_by_min(df, "_time", iqr_k=iqr_k),
                            lambda: drop_by_minutes(df, "_time", iqr_k=iqr_k))


class TestMinuteOutlierRule:
    @staticmethod
    def frame(values, seconds=None):
        seconds = range(len(values)) if seconds is None else seconds
        times = pd.Timestamp("2024-01-01 08:00") + pd.to_timedelta(list(seconds), unit="s")
        return pd.DataFrame({"_time": times, "v": values})

    def test_hand_checked_fences(self):
        # Q1 = 2, Q3 = 4, IQR = 2: fences -1 and 7 (inclusive).
        result = HI.drop_outliers_by_min(self.frame([1.0, 2.0, 3.0, 4.0, 100.0, -1.0, 7.0]), "_time")
        assert result["v"].tolist() == [1.0, 2.0, 3.0, 4.0, -1.0, 7.0]
        assert list(result.columns) == ["_time", "v"] and result.index.equals(pd.RangeIndex(6))

    def test_fences_come_from_the_whole_minute_while_rows_go_column_by_column(self):
        df = self.frame([1.0, 2.0, 3.0, 4.0, 100.0])
        df["w"] = [100.0, 1.0, 2.0, 3.0, 4.0]
        assert HI.drop_outliers_by_min(df, "_time")["v"].tolist() == [2.0, 3.0, 4.0]

    def test_each_minute_is_judged_on_its_own(self):
        result = HI.drop_outliers_by_min(self.frame([1.0, 1.0, 1.0, 50.0, 50.0, 50.0], [0, 1, 2, 60, 61, 62]),
                                         "_time")
        assert result["v"].tolist() == [1.0, 1.0, 1.0, 50.0, 50.0, 50.0]

    def test_identical_values_all_survive_and_a_lone_missing_value_does_not(self):
        assert len(HI.drop_outliers_by_min(self.frame([5.0] * 4), "_time")) == 4
        result = HI.drop_outliers_by_min(self.frame([5.0, 6.0, np.nan], [0, 1, 60]), "_time")
        assert result["v"].tolist() == [5.0, 6.0]

    def test_rows_come_back_sorted_by_time_stably(self):
        df = self.frame([3.0, 1.0, 2.0, 4.0], [61, 5, 61, 5])
        result = HI.drop_outliers_by_min(df, "_time", exclude_cols=[])
        assert result["v"].tolist() == [1.0, 4.0, 3.0, 2.0]

    def test_bad_input(self):
        df = self.frame([1.0, 2.0])
        with pytest.raises(KeyError):
            HI.drop_outliers_by_min(df, "time")
        with pytest.raises(ValueError, match="No objects to concatenate"):
            HI.drop_outliers_by_min(df.iloc[:0], "_time")
        with pytest.raises(ValueError):
            HI.drop_outliers_by_min(pd.DataFrame({"_time": ["not a time"], "v": [1.0]}), "_time")


class TestTimeFilter:
    @staticmethod
    def frame(counts, start="2024-01-01 00:00"):
        """`counts[i]` rows spread over hour i."""
        times = [pd.Timestamp(start) + pd.Timedelta(hours=h) + pd.Timedelta(seconds=3600 * i / n)
                 for h, n in enumerate(counts) for i in range(n)]
        return pd.DataFrame({"v": np.arange(len(times), dtype=float)}, index=pd.DatetimeIndex(times, name="_time"))

    def test_hours_below_the_count_are_removed(self):
        df = self.frame([3599, 3600])
        result = HI.time_filter(df, "_time", 3600)
        pd.testing.assert_frame_equal(result, df.iloc[3599:])

    def test_partial_first_and_last_hours_are_judged_by_their_own_counts(self):
        df = self.frame([5, 40, 0, 40, 12], start="2024-01-01 22:00")
        df = df.iloc[[*range(3, 5), *range(5, 85), *range(85, 94)]]  # 2, 40, 0, 40 and 9 rows
        result = HI.time_filter(df, "ignored", 10)
        assert result.index.floor("h").unique().tolist() == [pd.Timestamp("2024-01-01 23:00"),
                                                             pd.Timestamp("2024-01-02 01:00")]
        assert len(result) == 80

    def test_needs_a_datetime_index(self):
        with pytest.raises(TypeError, match="DatetimeIndex"):
            HI.time_filter(pd.DataFrame({"v": [1.0]}), "_time", 1)


class TestLowResolution:
    def test_small_columns_are_found_by_their_third_quartile(self):
        df = pd.DataFrame({"small": [0.001, 0.002, 0.005, 0.005, 0.005], "big": [1.0, 2.0, 3.2, 3.2, 3.2],
                           "edge": [0.0, 0.005, 0.01, 0.01, 0.02]})
        before = df.copy()
        assert HI.low_resolution(df) == ["small"]
        pd.testing.assert_frame_equal(df, before)

    def test_threshold_follows_an_all_small_data_set(self):
        df = pd.DataFrame({"a": [0.002] * 4, "b": [0.004] * 4, "c": [0.009] * 4})
        assert HI.low_resolution(df) == ["a", "b"]  # threshold 0.009 * 0.8

    def test_text_column_is_normal_and_stops_the_adaptation(self):
        df = pd.DataFrame({"a": [0.002] * 4, "b": [0.009] * 4, "text": ["x", "y", "z", "w"]})
        assert HI.low_resolution(df) == ["a", "b"]
        mixed = pd.DataFrame({"a": [0.002] * 4, "n": ["0.001", "bad", "0.001", "0.001"], "big": [1.0] * 4})
        assert HI.low_resolution(mixed) == ["a", "n"]

    def test_values_are_rounded_to_four_decimals_first(self):
        df = pd.DataFrame({"a": [0.00996] * 4, "b": [0.00994] * 4, "big": [1.0] * 4})
        assert HI.low_resolution(df) == ["b"]

    def test_unreadable_columns_are_normal(self):
        df = pd.DataFrame([[0.001, 0.001, 5.0]] * 3, columns=["a", "a", "b"])
        assert HI.low_resolution(df) == []
        assert HI.low_resolution(pd.DataFrame(index=range(3))) == []

    @pytest.mark.parametrize("rows", [7, 4095, 4096, 30_000])  # around the native quantile's sampling
    @pytest.mark.parametrize("seed", range(4))
    def test_random_frames_match_the_pandas_formulation(self, rows, seed):
        """Columns near the threshold, and columns of two levels whose Q3 falls where the levels meet (so
        that each order statistic decides), with missing values (some columns empty), ties, infinities
        and a float32 column."""
        rng = np.random.default_rng(seed)
        columns = {}
        for j in range(12):
            values = rng.lognormal(0, 0.5, rows) * 10 ** rng.uniform(-3.5, -1.5)
            if j % 3 == 1:
                values = np.round(values, 4)
            missing = rng.random(rows) < (0.0, 0.01, 0.6, 1.0)[j % 4]
            if j % 3 == 2:  # the lower level up to one of the ranks Q3 interpolates between, or just past them
                present = np.flatnonzero(~missing)
                lower = int(0.75 * (len(present) - 1)) + rng.integers(0, 3)
                values[present] = np.where(rng.permutation(len(present)) < lower, 0.001, 0.03)
            values[missing] = np.nan
            if j == 5:
                values[rng.integers(0, rows, 3)] = [np.inf, -np.inf, np.inf]
            columns[f"c{j}"] = values.astype(np.float32) if j == 7 else values
        df = pd.DataFrame(columns)
        with np.errstate(invalid="ignore"):
            assert HI.low_resolution(df) == low_resolution(df)

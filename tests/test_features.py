"""Binned and rolling feature extraction against the plain pandas formulations."""

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from algo.HI import HI
from algo.synthetic import machine_frame


def families(time, frequency=(), fail_mode=()):
    return SimpleNamespace(time=list(time), frequency=list(frequency), fail_mode=list(fail_mode))


def feature_names(icn):
    names = icn.time + icn.frequency + icn.fail_mode
    return ([c + "_max" for c in names], [c + "_mean" for c in names], [c + "_std" for c in icn.time])


def rolling_by_windows(df, icn, window, step):
    """Window by window with pandas, indexed by the last row's time under df's index name."""
    names = icn.time + icn.frequency + icn.fail_mode
    max_name, mean_name, std_name = feature_names(icn)
    results, last_rows = [], []
    window = min(window, len(df))
    for start in range(0, len(df) - window + 1, step):
        sub = df.iloc[start:start + window]
        feat = dict(zip(max_name, sub[names].max().values))
        feat.update(zip(mean_name, sub[names].mean().values))
        if icn.time:
            feat.update(zip(std_name, sub[icn.time].std().values))
        results.append(feat)
        last_rows.append(start + window - 1)
    return pd.DataFrame(results, index=df.index[last_rows]).dropna(axis="index", how="any")


def unchunked_features(df, icn, time_scale):
    names = icn.time + icn.frequency + icn.fail_mode
    max_name, mean_name, std_name = feature_names(icn)
    parts = [df[names].resample(time_scale).max(), df[names].resample(time_scale).mean(),
             df[icn.time].resample(time_scale).std()]
    for part, labels in zip(parts, (max_name, mean_name, std_name)):
        part.columns = labels
    return pd.concat(parts, axis=1).dropna(axis="index", how="any")


DTYPES = ["float64", "float32", "int64", "int32", "uint8"]


def random_frame(seed, rows, columns, dtypes, *, sorted_times=True):
    """Indicator columns with gaps, runs of missing values, constant stretches and
    repeated, sub-second and (optionally) unsorted timestamps."""
    rng = np.random.default_rng(seed)
    steps = rng.choice([0, 250, 1000, 60_000], size=rows, p=[0.1, 0.3, 0.5, 0.1])
    times = pd.Timestamp("2024-03-01 23:55") + pd.to_timedelta(np.cumsum(steps), unit="ms")
    if not sorted_times:
        times = times[rng.permutation(rows)]
    data = {}
    for j in range(columns):
        dtype = np.dtype(dtypes[j % len(dtypes)])
        if dtype.kind == "f":
            values = rng.normal(50, 10, rows) * 10.0 ** rng.integers(-3, 4)
            values[rng.random(rows) < 0.1] = np.nan
            gap = rng.integers(0, rows)
            values[gap:gap + rng.integers(0, 150)] = np.nan
        else:
            values = rng.integers(0, 200, rows)
        flat = rng.integers(0, rows)
        values[flat:flat + rng.integers(0, 80)] = values[flat]
        data[f"c{j}"] = values.astype(dtype)
    return pd.DataFrame(data, index=pd.DatetimeIndex(times, name="_time"))


class TestRollingKernel:
    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(
        seed=st.integers(0, 2**32 - 1),
        rows=st.integers(1, 400),
        dtypes=st.lists(st.sampled_from(DTYPES), min_size=1, max_size=4),
        time_columns=st.integers(0, 3),
        window=st.integers(1, 150),
        step=st.integers(1, 150),
        sorted_times=st.booleans(),
    )
    def test_matches_pandas_window_by_window(self, seed, rows, dtypes, time_columns, window, step, sorted_times):
        df = random_frame(seed, rows, 5, dtypes, sorted_times=sorted_times)
        icn = families(df.columns[:time_columns], df.columns[time_columns:4], df.columns[4:])
        features, returned = HI.feature_extraction_rolling(df, icn, window, step)
        assert returned is icn
        pd.testing.assert_frame_equal(features, rolling_by_windows(df, icn, window, step), rtol=1e-12)

    def test_float64_windows_are_bit_identical_on_realistic_data(self):
        df = machine_frame(periods=4000, seed=3).set_index("_time")
        icn = families(df.columns[1:13], df.columns[16:46], df.columns[46:52])
        for window, step in [(120, 60), (60, 30), (3600, 1800)]:
            features, _ = HI.feature_extraction_rolling(df, icn, window, step)
            pd.testing.assert_frame_equal(features, rolling_by_windows(df, icn, window, step), check_exact=True)
        # A frame over one row-major matrix: pandas then sums along a strided axis.
        matrix = pd.DataFrame(df.to_numpy(), index=df.index, columns=df.columns)
        features, _ = HI.feature_extraction_rolling(matrix, icn, 120, 60)
        pd.testing.assert_frame_equal(features, rolling_by_windows(matrix, icn, 120, 60), rtol=1e-12)

    def test_large_values_with_small_spread_keep_their_deviation(self):
        # A one-pass sum-of-squares formula would cancel catastrophically here.
        rng = np.random.default_rng(0)
        df = pd.DataFrame({"a": 1e9 + rng.normal(0, 1e-3, 240)},
                          index=pd.date_range("2024-01-01", periods=240, freq="s"))
        features, _ = HI.feature_extraction_rolling(df, families(["a"]), 120, 60)
        expected = [df["a"].iloc[s:s + 120].std() for s in (0, 60, 120)]
        np.testing.assert_allclose(features["a_std"], expected, rtol=1e-9)
        assert features["a_std"].between(5e-4, 2e-3).all()

    @pytest.mark.parametrize("extra", [
        pd.array([1, None, 3, 4, 5, 6], dtype="Int64"),
        pd.array([1.5, 2.5, None, 4.0, 5.0, 6.0], dtype="Float64"),
        np.array([True, False, True, True, False, True]),
        np.array([2**60, 1, 2, 3, 4, 5], dtype=np.int64),  # beyond float64's exact integers
    ])
    def test_columns_the_kernel_does_not_handle_go_through_pandas(self, extra):
        df = pd.DataFrame({"a": np.arange(6.0), "b": extra},
                          index=pd.date_range("2024-01-01", periods=6, freq="s", name="_time"))
        icn = families(["a"], ["b"])
        features, _ = HI.feature_extraction_rolling(df, icn, 3, 2)
        pd.testing.assert_frame_equal(features, rolling_by_windows(df, icn, 3, 2))

    def test_a_text_column_fails_as_in_pandas(self):
        df = pd.DataFrame({"a": [1.0, 2.0, 3.0], "label": ["x", "y", "z"]},
                          index=pd.date_range("2024-01-01", periods=3, freq="s"))
        icn = families(["a"], ["label"])
        with pytest.raises(TypeError) as expected:
            rolling_by_windows(df, icn, 2, 1)
        with pytest.raises(TypeError) as raised:
            HI.feature_extraction_rolling(df, icn, 2, 1)
        assert str(raised.value) == str(expected.value)


class TestRollingWindows:
    @staticmethod
    def frame(rows):
        index = pd.date_range("2024-01-01", periods=rows, freq="s", name="_time")
        return pd.DataFrame({"x": np.arange(rows, dtype=float), "b": np.arange(rows) % 7 * 1.0}, index=index)

    def test_windows_start_every_step_and_are_labelled_by_their_last_row(self):
        df = self.frame(300)
        features, _ = HI.feature_extraction_rolling(df, families(["x"], ["b"]), 120, 60)
        assert list(features.columns) == ["x_max", "b_max", "x_mean", "b_mean", "x_std"]
        assert features.index.equals(df.index[[119, 179, 239, 299]])
        assert features["x_max"].tolist() == [119.0, 179.0, 239.0, 299.0]
        assert features["x_mean"].tolist() == [59.5, 119.5, 179.5, 239.5]
        assert features["x_std"].iloc[0] == pytest.approx(np.std(np.arange(120.0), ddof=1), rel=1e-15)

    def test_a_window_longer_than_the_data_shrinks_to_it(self):
        features, _ = HI.feature_extraction_rolling(self.frame(100), families(["x"]), 120, 60)
        assert len(features) == 1 and features["x_max"].iloc[0] == 99.0

    def test_index_keeps_the_name_type_and_resolution_of_the_input(self):
        df = self.frame(10)
        df.index = df.index.as_unit("ns").tz_localize("Europe/Berlin")
        features, _ = HI.feature_extraction_rolling(df, families(["x"]), 4, 3)
        assert isinstance(features.index, pd.DatetimeIndex)
        assert features.index.name == "_time" and features.index.dtype == df.index.dtype
        assert features.index.equals(df.index[[3, 6, 9]])

    def test_windows_with_a_missing_statistic_are_dropped(self):
        df = self.frame(9)
        df.iloc[3:6, 1] = np.nan  # window 2 of "b" is all missing
        df.iloc[7, 0] = np.nan    # window 3 keeps two values of "x"
        features, _ = HI.feature_extraction_rolling(df, families(["x"], ["b"]), 3, 3)
        assert features.index.equals(df.index[[2, 8]])
        assert features["x_std"].iloc[1] == pytest.approx(np.std([6.0, 8.0], ddof=1))

    def test_single_row_windows_have_no_deviation_unless_there_is_no_time_family(self):
        df = self.frame(5)
        assert HI.feature_extraction_rolling(df, families(["x"]), 1, 1)[0].empty
        features, _ = HI.feature_extraction_rolling(df, families([], ["x"]), 1, 1)
        assert list(features.columns) == ["x_max", "x_mean"] and len(features) == 5

    def test_bad_input_raises_and_leaves_the_frame_alone(self):
        df = self.frame(10)
        before = df.copy()
        with pytest.raises(KeyError, match="missing"):
            HI.feature_extraction_rolling(df, families(["x", "missing"]), 4, 2)
        with pytest.raises(ValueError, match="must not be zero"):
            HI.feature_extraction_rolling(df, families(["x"]), 4, 0)
        with pytest.raises(IndexError):
            HI.feature_extraction_rolling(df.iloc[:0], families(["x"]), 4, 2)
        assert HI.feature_extraction_rolling(df, families(["x"]), 4, -1)[0].empty
        pd.testing.assert_frame_equal(df, before)


class TestChunkedResampling:
    @settings(max_examples=60, deadline=None)
    @given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 300), chunk_size=st.integers(1, 120),
           time_scale=st.sampled_from(["min", "15s", "h"]), sorted_times=st.booleans())
    def test_chunks_recombine_to_one_resample(self, seed, rows, chunk_size, time_scale, sorted_times):
        # Bins that no chunk reaches are absent rather than empty (and an empty
        # bin turns an integer column into floats); only bins with values are
        # compared.
        df = random_frame(seed, rows, 3, ["float64", "float32", "int64"], sorted_times=sorted_times)
        names = list(df.columns)
        maxima = HI.safe_resample_max(df, names, time_scale, chunk_size).dropna(how="all")
        means = HI.safe_resample_mean(df, names, time_scale, chunk_size).dropna(how="all")
        whole = df[names].resample(time_scale)
        pd.testing.assert_frame_equal(maxima, whole.max().dropna(how="all"), check_freq=False, check_dtype=False)
        pd.testing.assert_frame_equal(means, whole.mean().dropna(how="all"), check_freq=False,
                                      check_dtype=False, rtol=1e-6)

    def test_a_bin_split_across_chunks(self):
        index = pd.date_range("2024-01-01 10:00:05", periods=5, freq="10s")
        df = pd.DataFrame({"X_Overall": [1.0, 7.0, 2.0, 4.0, 3.0]}, index=index)
        assert HI.safe_resample_max(df, ["X_Overall"], "min", chunk_size=3)["X_Overall"].tolist() == [7.0]
        means = HI.safe_resample_mean(df, "X_Overall", "1min", chunk_size=3)
        assert list(means.columns) == ["X_Overall"] and means["X_Overall"].tolist() == [3.4]

    def test_mean_needs_a_datetime_index_and_uses_its_own_pandas(self, monkeypatch):
        with pytest.raises(ValueError, match="^df.index 必須是 DatetimeIndex$"):
            HI.safe_resample_mean(pd.DataFrame({"a": [1.0]}), ["a"], "min")
        monkeypatch.setattr(HI, "pd", None)
        df = pd.DataFrame({"a": [1.0, 3.0]}, index=pd.date_range("2024-01-01", periods=2, freq="s"))
        assert HI.safe_resample_mean(df, ["a"], "min")["a"].tolist() == [2.0]

    def test_empty_frames_fail_in_the_recombination(self):
        df = pd.DataFrame({"a": []}, index=pd.DatetimeIndex([]))
        with pytest.raises(ValueError, match="No objects to concatenate"):
            HI.safe_resample_max(df, ["a"], "min")
        with pytest.raises(TypeError, match="NoneType"):
            HI.safe_resample_mean(df, ["a"], "min")
        with pytest.raises(ValueError, match="No objects to concatenate"):
            HI.feature_extraction(df, families(["a"]), "min")


def chunked_pandas_road(df, icn, time_scale):
    """feature_extraction with safe_resample_max rebound to itself, which keeps it on the chunked pandas road."""
    original = HI.safe_resample_max
    HI.safe_resample_max = lambda *args, **kwargs: original(*args, **kwargs)
    try:
        return HI.feature_extraction(df, icn, time_scale)[0]
    finally:
        HI.safe_resample_max = original


class TestBinnedKernel:
    """Minute and hour bins of sorted float64 frames are extracted natively, into the frame the chunked pandas road
    builds, index frequency included. pandas 2 gives the same bits; pandas 3 sums sorted blocks without missing
    values pairwise instead of compensated, so means agree to 1e-12."""

    @settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 400), time_columns=st.integers(0, 3),
           time_scale=st.sampled_from(["min", "h"]), unit=st.sampled_from(["s", "ms", "ns"]),
           dtypes=st.sampled_from([["float64"], ["float64"], ["float64", "float32"], ["float64", "int64"]]),
           infinities=st.booleans())
    def test_matches_the_chunked_pandas_road(self, seed, rows, time_columns, time_scale, unit, dtypes, infinities):
        df = random_frame(seed, rows, 5, dtypes)
        df.index = df.index.as_unit(unit)
        if infinities:
            df.iloc[::7, 0] = np.inf
            df.iloc[3::11, 0] = -np.inf
        icn = families(df.columns[:time_columns], df.columns[time_columns:4], df.columns[4:])
        pd.testing.assert_frame_equal(HI.feature_extraction(df, icn, time_scale)[0],
                                      chunked_pandas_road(df, icn, time_scale), rtol=1e-12)

    @pytest.mark.parametrize("seconds_apart, gap", [
        (6, None),              # 50,000 rows end exactly at a bin: the chunks join without a straddled bin
        (6, (49_990, 50_020)),  # ... and with a gap at the join
        (6, (100, 130)),        # ... and with empty bins inside the first chunk
        (1, None),              # the chunk boundary cuts a bin
    ])
    def test_chunk_boundaries_and_the_index_frequency(self, seconds_apart, gap):
        rows = 60_000
        times = pd.Timestamp("2024-01-01") + pd.to_timedelta(np.arange(rows) * seconds_apart, unit="s")
        rng = np.random.default_rng(seconds_apart)
        df = pd.DataFrame({"a": rng.normal(5, 1, rows), "b": rng.normal(0, 3, rows)},
                          index=pd.DatetimeIndex(times, name="_time"))
        if gap:
            df = df.drop(df.index[gap[0]:gap[1]])
        icn = families(["a"], ["b"])
        features = HI.feature_extraction(df, icn, "min")[0]
        pd.testing.assert_frame_equal(features, chunked_pandas_road(df, icn, "min"), rtol=1e-12)
        assert (features.index.freq is not None) == (seconds_apart == 6 and gap is None)

    @pytest.mark.parametrize("every", [2, 3])
    def test_evenly_spaced_complete_bins_keep_a_multiple_of_the_time_scale(self, every):
        # Bins of one row have no deviation and are dropped: every `every`-th minute stays.
        minutes = np.arange(30)
        rows = np.repeat(minutes, np.where(minutes % every == 0, 3, 1))
        times = pd.Timestamp("2024-01-01") + pd.to_timedelta(rows * 60 + np.arange(len(rows)) % 3, unit="s")
        df = pd.DataFrame({"a": np.arange(len(rows), dtype=float)}, index=pd.DatetimeIndex(times, name="_time"))
        features = HI.feature_extraction(df, families(["a"]), "min")[0]
        pd.testing.assert_frame_equal(features, chunked_pandas_road(df, families(["a"]), "min"))
        assert features.index.freq == pd.tseries.frequencies.to_offset(f"{every}min")


class TestFeatureExtraction:
    def test_matches_one_resample_of_the_whole_frame(self):
        df = machine_frame(periods=7200, seed=5).set_index("_time")
        df.iloc[100:400, 2] = np.nan
        icn = families(df.columns[1:13], df.columns[16:46], df.columns[46:52])
        before = df.copy()
        features, returned = HI.feature_extraction(df, icn, "min")
        assert returned is icn
        expected = unchunked_features(df, icn, "min")
        assert list(features.columns) == list(expected.columns)
        pd.testing.assert_frame_equal(features, expected, check_freq=False, rtol=1e-12)
        pd.testing.assert_frame_equal(df, before)

    def test_bins_of_one_row_are_dropped_when_there_is_a_time_family(self):
        times = pd.DatetimeIndex(["2024-01-01 00:00:10", "2024-01-01 00:00:20", "2024-01-01 00:01:30",
                                  "2024-01-01 00:03:00", "2024-01-01 00:03:40"], name="_time")
        df = pd.DataFrame({"x": [1.0, 3.0, 5.0, 2.0, 2.0], "b": [1.0, 2.0, 3.0, 4.0, 5.0]}, index=times)
        features, _ = HI.feature_extraction(df, families(["x"], ["b"]), "min")
        assert features.index.equals(times[[0, 3]].floor("min"))
        assert features.loc[:, "x_std"].tolist() == [np.std([1.0, 3.0], ddof=1), 0.0]
        features, _ = HI.feature_extraction(df, families([], ["b"]), "min")
        assert list(features.columns) == ["b_max", "b_mean"] and len(features) == 3

    def test_missing_column_and_non_datetime_index(self):
        df = machine_frame(periods=10).set_index("_time")
        with pytest.raises(KeyError):
            HI.feature_extraction(df, families(["X_Overall", "nope"]), "min")
        with pytest.raises(TypeError, match="DatetimeIndex"):
            HI.feature_extraction(df.reset_index(), families(["X_Overall"]), "min")

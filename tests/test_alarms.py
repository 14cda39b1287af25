"""Abnormal times, T² attribution, bad health-index zones and alert grouping."""

import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from algo.HI import HI


def spe_report_reference(spe_df, spe_ucl, residual_df, top_k=3):
    """The row-by-row pandas formulation of the SPE alarm report."""
    times = spe_df[spe_df["SPE"] > spe_ucl].index
    rows = []
    for t in times:
        top = (residual_df.loc[t] ** 2).sort_values(ascending=False).head(top_k)
        row = {"Time": t}
        for rank, (name, value) in enumerate(top.items(), 1):
            row[f"Top{rank}_Var"] = name
            row[f"Top{rank}_Contrib"] = value
        rows.append(row)
    return times, pd.DataFrame(rows).set_index("Time")


INDEXES = {
    "minutes": lambda n: pd.date_range("2024-03-01", periods=n, freq="min", name="_time"),
    "seconds unit": lambda n: pd.date_range("2024-03-01", periods=n, freq="s").as_unit("s"),
    "nanoseconds unit": lambda n: pd.date_range("2024-03-01", periods=n, freq="s").as_unit("ns"),
    "time zone": lambda n: pd.date_range("2024-03-01", periods=n, freq="h", tz="Asia/Taipei"),
    "shuffled integers": lambda n: pd.Index(np.random.default_rng(n).permutation(n) * 7),
}


class TestT2AbnormalTimes:
    def test_strictly_above_in_row_order(self):
        index = pd.DatetimeIndex(["2024-01-03", "2024-01-01", "2024-01-02", "2024-01-04"])
        t2 = pd.DataFrame({"tsquare": [5.0, 2.0, 9.0, np.nan]}, index=index)
        found = HI.find_T2_abnormal_times(t2, 2.0)
        assert isinstance(found, pd.DatetimeIndex)
        assert found.equals(pd.DatetimeIndex(["2024-01-03", "2024-01-02"]))
        assert HI.find_T2_abnormal_times(t2, 9.0).empty


class TestSPEAbnormalTimes:
    @staticmethod
    def frames(rows, features, index_kind, seed, nan_share=0.0):
        rng = np.random.default_rng(seed)
        index = INDEXES[index_kind](rows)
        residual = pd.DataFrame(rng.normal(size=(rows, features)), index=index,
                                columns=[f"X_Power_in_Band_{i:02d}" for i in range(features)])
        residual = residual.mask(rng.random(residual.shape) < nan_share)
        spe = pd.DataFrame({"SPE": rng.chisquare(3, size=rows)}, index=index)
        return spe, residual

    @settings(max_examples=60, deadline=None)
    @given(rows=st.integers(1, 40), features=st.integers(1, 14), top_k=st.integers(-4, 16),
           index_kind=st.sampled_from(sorted(INDEXES)), seed=st.integers(0, 2**32 - 1),
           nan_share=st.sampled_from([0.0, 0.2]))
    def test_matches_the_pandas_report(self, rows, features, top_k, index_kind, seed, nan_share):
        # top_k covers 0 (times only), negative counts, Top10 and more ranks than features
        spe, residual = self.frames(rows, features, index_kind, seed, nan_share)
        limit = np.nextafter(np.quantile(spe["SPE"], 0.5), -np.inf)  # at least one alarm
        expected_times, expected = spe_report_reference(spe, limit, residual, top_k)
        times, report = HI.find_SPE_abnormal_times(spe, limit, residual, top_k)
        assert times.equals(expected_times)
        # The report is indexed by the alarm times themselves, resolution included
        # (pandas 2 would widen a list of time stamps to nanoseconds).
        assert report.index.dtype == times.dtype
        pd.testing.assert_frame_equal(report, expected, check_index_type=False)

    def test_default_top_three_and_a_value_on_the_limit(self):
        index = pd.date_range("2024-01-01", periods=3, freq="D")
        spe = pd.DataFrame({"SPE": [4.0, 1.0, 5.0]}, index=index)
        residual = pd.DataFrame({"a": [1.0, 0.0, -3.0], "b": [-2.0, 0.0, 1.0], "c": [0.5, 0.0, 2.5],
                                 "d": [0.1, 0.0, 0.0]}, index=index)
        times, report = HI.find_SPE_abnormal_times(spe, 4.0, residual)
        assert times.equals(index[[2]])
        assert list(report.columns) == ["Top1_Var", "Top1_Contrib", "Top2_Var", "Top2_Contrib",
                                        "Top3_Var", "Top3_Contrib"]
        assert report.index.name == "Time"
        assert report.iloc[0].tolist() == ["a", 9.0, "c", 6.25, "b", 1.0]

    def test_no_alarm_gives_an_empty_report_instead_of_an_error(self):
        spe, residual = self.frames(20, 4, "minutes", seed=3)
        times, report = HI.find_SPE_abnormal_times(spe, spe["SPE"].max(), residual)
        assert times.empty and isinstance(times, pd.DatetimeIndex)
        assert report.empty and report.index.name == "Time"
        assert isinstance(report.index, pd.DatetimeIndex)
        assert report.columns.tolist() == ["Top1_Var", "Top1_Contrib", "Top2_Var", "Top2_Contrib",
                                           "Top3_Var", "Top3_Contrib"]
        # the empty report still joins the reports of other periods
        _, later = HI.find_SPE_abnormal_times(spe, 0.0, residual)
        assert pd.concat([report, later]).shape == later.shape

    def test_other_dtypes_follow_pandas(self):
        spe, residual = self.frames(10, 4, "minutes", seed=4)
        integers = (residual * 10).round().astype("int64")
        _, expected = spe_report_reference(spe, 1.0, integers)
        _, report = HI.find_SPE_abnormal_times(spe, 1.0, integers)
        pd.testing.assert_frame_equal(report, expected)
        assert report["Top1_Contrib"].dtype == np.int64

    def test_an_alarm_time_missing_from_the_residuals_raises_key_error(self):
        spe, residual = self.frames(10, 3, "minutes", seed=5)
        with pytest.raises(KeyError):
            HI.find_SPE_abnormal_times(spe, 0.0, residual.iloc[1:])


def correlated_features(rows, columns, seed):
    rng = np.random.default_rng(seed)
    latent = rng.normal(size=(rows, 3))
    values = latent @ rng.normal(size=(3, len(columns))) + 0.2 * rng.normal(size=(rows, len(columns)))
    index = pd.date_range("2024-01-01", periods=rows, freq="min", name="_time")
    return pd.DataFrame(values, index=index, columns=columns)


class TestT2Attribution:
    COLUMNS = ["X_Overall_max", "X_Overall_mean", "Y_Peak_mean", "Y_Peak_std", "Z_Crest_Factor_max",
               "Temperature"]

    @pytest.mark.parametrize("faulty, expected", [("Y_Peak_mean", "Y_Peak"), ("Z_Crest_Factor_max", "Z_Crest_Factor"),
                                                  ("Temperature", "Temperature")])
    def test_names_the_feature_with_the_injected_fault(self, faulty, expected):
        train = correlated_features(600, self.COLUMNS, seed=7)
        scaled, scaler = HI.standardize(train)
        mu, cov, _, pca = HI.health_modeling(scaled)
        _, train_scores = HI.cal_T2(scaled, pca, mu, cov, scaled.index)
        test = correlated_features(200, self.COLUMNS, seed=8)
        test.iloc[120:, self.COLUMNS.index(faulty)] += 20 * train[faulty].std()
        test_scaled = HI.testing_scaler(test, scaler)
        t2, scores = HI.cal_T2(test_scaled, pca, mu, cov, test_scaled.index)
        # a limit above every healthy test sample, so the first alarm is the fault
        limit = t2["tsquare"].iloc[:120].max()
        assert HI.find_T2_abnormal_times(t2, limit)[0] == test.index[120]
        assert HI.analyze_T2_anomalies(test_scaled, scores, test, t2, pca, limit) == expected

    @staticmethod
    def fixed_model(components, variances):
        return types.SimpleNamespace(components_=np.array(components, dtype=float),
                                     explained_variance_=np.array(variances, dtype=float))

    def test_only_the_dominant_component_counts(self):
        # Component 0 dominates the T² of the sample (share 4.0 against 3.61) although
        # feature "b" is the largest in the data; on component 0 only "a" contributes.
        pca = self.fixed_model([[1, 0, 0], [0, 1, 0]], [1, 1])
        scaled = pd.DataFrame({"a_max": [0.1], "b_max": [5.0], "c_max": [0.0]})
        scores = np.array([[2.0, 1.9]])
        health = pd.DataFrame({"tsquare": [10.0]})
        assert HI.analyze_T2_anomalies(scaled, scores, scaled, health, pca, 1.0) == "a"

    def test_ranks_by_absolute_contribution(self):
        pca = self.fixed_model([[0.6, 0.8]], [1])
        scaled = pd.DataFrame({"Bearing_std": [-3.0], "RPM": [1.0]})
        health = pd.DataFrame({"tsquare": [10.0]})
        assert HI.analyze_T2_anomalies(scaled, np.array([[1.0]]), scaled, health, pca, 1.0) == "Bearing"

    def test_uses_the_first_alarm_in_row_order(self):
        pca = self.fixed_model([[1, 0], [0, 1]], [1, 1])
        index = pd.DatetimeIndex(["2024-01-02", "2024-01-01", "2024-01-03"])
        scaled = pd.DataFrame({"a": [0.0, 0.0, 3.0], "b": [0.0, 3.0, 0.0]}, index=index)
        scores = scaled.to_numpy()
        health = pd.DataFrame({"tsquare": [0.0, 9.0, 9.0]}, index=index)
        assert HI.analyze_T2_anomalies(scaled, scores, scaled, health, pca, 1.0) == "b"

    def test_no_sample_above_the_limit_gives_none(self):
        pca = self.fixed_model([[1.0]], [1])
        scaled = pd.DataFrame({"a": [1.0, 2.0]})
        health = pd.DataFrame({"tsquare": [1.0, 2.0]})
        assert HI.analyze_T2_anomalies(scaled, np.ones((2, 1)), scaled, health, pca, 2.0) is None

    @pytest.mark.parametrize("name, base", [("X_Overall_max", "X_Overall"), ("Temp_std", "Temp"), ("RPM", "RPM"),
                                            ("a_max_mean", "a_max"), ("maximum", "maximum")])
    def test_strips_one_statistic_suffix(self, name, base):
        pca = self.fixed_model([[1.0]], [1])
        scaled = pd.DataFrame({name: [2.0]})
        health = pd.DataFrame({"tsquare": [4.0]})
        assert HI.analyze_T2_anomalies(scaled, np.array([[2.0]]), scaled, health, pca, 1.0) == base


def health_score(days, degradation=None, seed=0):
    """A 10-minute health index around 95; `degradation` is (first day, last day) of a drop to ~55."""
    rng = np.random.default_rng(seed)
    index = pd.date_range("2024-01-01", periods=days * 144, freq="10min", name="_time")
    score = 95 + 2 * rng.standard_normal(len(index))
    if degradation is not None:
        first, last = (pd.Timestamp("2024-01-01") + pd.Timedelta(days=d) for d in degradation)
        score[(index >= first) & (index < last)] -= 40
    return pd.DataFrame({"Score": score}, index=index)


def bad_zones_reference(df, threshold, envelope_window="1D", envelope_method="min", envelope_param=0.1,
                        density_window="10D", density_threshold=0.7):
    rolling = df["Score"].rolling(envelope_window)
    envelope = rolling.min() if envelope_method == "min" else rolling.quantile(envelope_param)
    density = (envelope < threshold).rolling(density_window, center=True).mean()
    return group_reference(list(df.index[density >= density_threshold]), envelope_window)


def group_reference(alert_times, window):
    if not alert_times:
        return []
    times = sorted(pd.to_datetime(alert_times))
    start = previous = times[0]
    intervals = []
    for t in times[1:]:
        if t - previous > pd.Timedelta(window):
            intervals.append((start, previous))
            start = t
        previous = t
    intervals.append((start, previous))
    return intervals


class TestBadZones:
    # The column assignments on the detector's own copy are plain ones, which
    # pandas 2 must not mistake for chained assignments.
    @pytest.mark.filterwarnings("error::FutureWarning")
    def test_two_week_degradation_is_one_zone(self):
        df = health_score(60, degradation=(25, 39))
        before = df.copy()
        zones = HI.detect_bad_HI_zone(df, 80)
        assert zones == bad_zones_reference(df, 80)
        assert len(zones) == 1
        start, end = zones[0]
        # The drop runs from Jan 26 to Feb 9; the 1-day minimum envelope stays low a day
        # longer. An alert needs 7 low days in a centred 10-day window, so the zone
        # starts about 2 days into the low envelope and ends about 2 days before its end.
        sample = pd.Timedelta("10min")
        assert abs(start - pd.Timestamp("2024-01-28")) <= sample
        assert abs(end - (pd.Timestamp("2024-02-08") - sample)) <= sample
        pd.testing.assert_frame_equal(df, before)

    def test_healthy_score_has_no_zone(self):
        assert HI.detect_bad_HI_zone(health_score(30), 80) == []

    def test_quantile_envelope_and_custom_windows(self):
        df = health_score(20, degradation=(5, 12), seed=1)
        options = dict(envelope_window="6h", envelope_method="quantile", envelope_param=0.25,
                       density_window="2D", density_threshold=0.5)
        zones = HI.detect_bad_HI_zone(df, 80, **options)
        assert zones == bad_zones_reference(df, 80, **options) and len(zones) == 1

    def test_envelope_param_is_ignored_by_the_minimum(self):
        df = health_score(40, degradation=(10, 25))
        assert HI.detect_bad_HI_zone(df, 80, envelope_param=0.9) == HI.detect_bad_HI_zone(df, 80)

    def test_unknown_method_is_rejected_before_the_score_is_read(self):
        with pytest.raises(ValueError, match="^envelope_method 必須是 'quantile' 或 'min'$"):
            HI.detect_bad_HI_zone(pd.DataFrame({"other": [1.0]}), 80, envelope_method="max")

    def test_groups_through_the_module_global(self, monkeypatch):
        seen = []
        monkeypatch.setattr(HI, "group_alert_times", lambda times, window: seen.append((times, window)) or "x")
        df = health_score(30, degradation=(5, 25))
        assert HI.detect_bad_HI_zone(df, 80, envelope_window="12h") == "x"
        times, window = seen[0]
        assert type(times) is list and isinstance(times[0], pd.Timestamp) and window == "12h"


class TestAlertGrouping:
    T0 = pd.Timestamp("2024-05-01 08:00")

    def test_exactly_one_window_apart_stays_together(self):
        times = [self.T0, self.T0 + pd.Timedelta("1D"), self.T0 + pd.Timedelta("2D") + pd.Timedelta("1ns")]
        assert HI.group_alert_times(times, "1D") == [(times[0], times[1]), (times[2], times[2])]

    def test_unsorted_and_duplicated_times(self):
        t = [self.T0 + pd.Timedelta(hours=h) for h in (5, 0, 1, 1, 30)]
        assert HI.group_alert_times(t, "2h") == [(t[1], t[2]), (t[0], t[0]), (t[4], t[4])]

    def test_text_times_and_a_single_alert(self):
        assert HI.group_alert_times(["2024-05-01 10:00", "2024-05-01 09:00"], "1h") == [
            (pd.Timestamp("2024-05-01 09:00"), pd.Timestamp("2024-05-01 10:00"))]
        assert HI.group_alert_times([self.T0], "not a window") == [(self.T0, self.T0)]

    def test_empty_list_and_ambiguous_containers(self):
        assert HI.group_alert_times([], "1D") == []
        with pytest.raises(ValueError, match="ambiguous"):
            HI.group_alert_times(pd.DatetimeIndex([self.T0]), "1D")

    @settings(max_examples=80, deadline=None)
    @given(offsets=st.lists(st.integers(0, 10_000), max_size=40), window=st.integers(0, 600),
           unit=st.sampled_from(["s", "ms", "us", "ns"]), tz=st.sampled_from([None, "UTC", "Europe/Berlin"]))
    def test_matches_the_time_by_time_loop(self, offsets, window, unit, tz):
        base = pd.Timestamp("2024-03-31", tz=tz).as_unit(unit)
        times = [base + pd.Timedelta(seconds=o) for o in offsets]
        window = f"{window}s"
        assert HI.group_alert_times(times, window) == group_reference(times, window)

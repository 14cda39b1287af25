"""IQR percent clean, the Chebyshev limit and the Chebyshev purge."""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from algo.HI import HI
from algo.synthetic import machine_frame


def iqr_reference(df, max_ratio, datetime_name, iqr_k=1.5):
    """The pandas formulation of the filter, marks aligned on (unique) labels."""
    drop_mask = pd.Series(False, index=df.index)
    numeric_cols = df.drop(columns=[datetime_name], errors="ignore").select_dtypes(include=[np.number]).columns
    for col in numeric_cols:
        series = df[col].dropna()
        q1, q3 = series.quantile([0.25, 0.75])
        iqr = q3 - q1
        mask_iqr = (series < q1 - iqr_k * iqr) | (series > q3 + iqr_k * iqr)
        if mask_iqr.sum() / len(series) <= max_ratio:
            mask = mask_iqr
        else:
            mask = (series < series.quantile(max_ratio / 2)) | (series > series.quantile(1 - max_ratio / 2))
        # a plain `drop_mask |= mask` turns nullable once a nullable column has marked,
        # and the rows a later column is missing in then read as marked
        drop_mask |= mask.reindex(df.index, fill_value=False).astype(bool)
    return df.loc[~drop_mask]


def mixed_frame(rows, seed, nan_share):
    """Columns of every numeric kind the filter meets, with ties, tails and gaps."""
    rng = np.random.default_rng(seed)

    def gaps(values):
        return np.where(rng.random(rows) < nan_share, np.nan, values)

    return pd.DataFrame({
        "_time": pd.date_range("2024-01-01", periods=rows, freq="s"),
        "ties": gaps(rng.integers(-4, 5, rows).astype(float)),
        "tails": gaps(rng.standard_t(2, rows)),
        "spikes": gaps(np.where(rng.random(rows) < 0.1, np.inf, rng.normal(size=rows))),
        "counts": rng.integers(0, 30, rows),
        "narrow": rng.normal(size=rows).astype("float32"),
        "nullable": pd.array(rng.integers(-50, 50, rows), dtype="Int64"),
        "uptime": pd.to_timedelta(np.where(rng.random(rows) < nan_share, np.nan, rng.integers(0, 99, rows)),
                                  unit="s"),
        "label": rng.choice(["a", "b"], rows),
    }, index=rng.permutation(rows) * 3)


class TestIQRPercentClean:
    @settings(max_examples=80, deadline=None)
    @given(rows=st.integers(1, 80), seed=st.integers(0, 2**32 - 1), nan_share=st.sampled_from([0.0, 0.3]),
           max_ratio=st.sampled_from([0.0, 0.01, 0.05, 0.1, 0.25, 0.5, 1.0]),
           iqr_k=st.sampled_from([0.0, 0.5, 1.5, 3.0]))
    def test_matches_the_pandas_formulation(self, rows, seed, nan_share, max_ratio, iqr_k):
        df = mixed_frame(rows, seed, nan_share)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all-missing columns divide 0 by 0
            expected = iqr_reference(df, max_ratio, "_time", iqr_k)
        pd.testing.assert_frame_equal(HI.IQR_outlier_percent_clean(df, max_ratio, "_time", iqr_k), expected)

    # 0..18 and 100: quartiles 4.75 and 14.25, fences -9.5 and 28.5, so the IQR rule
    # marks 100 alone, 1/20 = 0.05 of the column.
    SPREAD = pd.DataFrame({"v": [*range(19), 100.0]})

    def test_ratio_equal_to_max_ratio_keeps_the_iqr_rule(self):
        assert HI.IQR_outlier_percent_clean(self.SPREAD, 0.05, "_time")["v"].max() == 18

    def test_ratio_above_max_ratio_cuts_both_tails(self):
        # quantiles 0.02 and 0.98 are 0.38 and 68.84: 0 and 100 go
        kept = HI.IQR_outlier_percent_clean(self.SPREAD, 0.04, "_time")
        assert kept["v"].tolist() == list(range(1, 19))

    def test_values_on_the_fences_stay(self):
        # quartiles 1 and 3: fences -2 and 6 at k=1.5, -1.8 and 5.8 at k=1.4
        df = pd.DataFrame({"v": [-2.0, 1, 1, 2, 2, 3, 3, 6]})
        assert len(HI.IQR_outlier_percent_clean(df, 0.25, "_time")) == 8
        assert HI.IQR_outlier_percent_clean(df, 0.25, "_time", iqr_k=1.4)["v"].tolist() == [1, 1, 2, 2, 3, 3]

    def test_values_on_the_cuts_stay(self):
        # iqr_k=0 marks 6 of 11 values; the fallback cuts at the 0.1 and 0.9 quantiles, 1 and 9
        df = pd.DataFrame({"v": np.arange(11.0)})
        kept = HI.IQR_outlier_percent_clean(df, 0.2, "_time", iqr_k=0)
        assert kept["v"].tolist() == list(range(1, 10))

    def test_an_outlier_in_one_column_removes_its_row(self):
        df = pd.DataFrame({"a": np.arange(20.0), "b": [0.0] * 10 + [50.0] + [0.0] * 9},
                          index=pd.date_range("2024-01-01", periods=20, freq="min"))
        before = df.copy()
        kept = HI.IQR_outlier_percent_clean(df, 0.1, "_time")
        assert kept.index.equals(df.index.delete(10)) and kept.columns.equals(df.columns)
        pd.testing.assert_frame_equal(df, before)

    def test_the_time_column_is_never_examined(self):
        df = pd.DataFrame({"epoch": [1.0, 2.0, 3.0, 4.0, 1e9], "v": [1.0, 2.0, 3.0, 2.0, 1.0]})
        assert len(HI.IQR_outlier_percent_clean(df, 0.3, "epoch")) == 5
        assert len(HI.IQR_outlier_percent_clean(df, 0.3, "other")) == 4

    def test_frame_without_numbers_is_returned_whole(self):
        df = pd.DataFrame({"label": ["a", "b", "c"], "flag": [True, False, True]})
        pd.testing.assert_frame_equal(HI.IQR_outlier_percent_clean(df, 0.1, "_time"), df)

    def test_all_missing_column_marks_nothing_silently(self):
        df = pd.DataFrame({"gap": [np.nan] * 5, "v": [1.0, 2.0, 3.0, 2.0, 90.0]})
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            kept = HI.IQR_outlier_percent_clean(df, 0.3, "_time")
        assert kept.index.tolist() == [0, 1, 2, 3]

    def test_repeated_labels_and_nullable_gaps_are_marked_by_position(self):
        # Selecting and aligning by label fails for these frames; positions do not.
        values = {"a": [1.0, np.nan, 2.0, 3.0, 2.0, 40.0], "b": [5.0, 5.0, 6.0, -70.0, 5.0, 6.0]}
        expected = [True, True, True, False, True, False]
        repeated = pd.DataFrame(values, index=[0, 0, 1, 1, 2, 2])
        assert (HI.IQR_outlier_percent_clean(repeated, 0.2, "_time").index == repeated.index[expected]).all()
        nullable = pd.DataFrame(values).astype("Float64")
        assert HI.IQR_outlier_percent_clean(nullable, 0.2, "_time").index.tolist() == [0, 1, 2, 4]
        shared = pd.DataFrame(values).set_axis(["v", "v"], axis=1)
        assert HI.IQR_outlier_percent_clean(shared, 0.2, "_time").index.tolist() == [0, 1, 2, 4]


class TestChebyshevLimit:
    def test_cantelli_and_chebyshev_multipliers(self):
        values = np.random.default_rng(0).chisquare(4, 500)
        m, s = values.mean(), values.std(ddof=1)
        assert HI.chebyshev_ucl(values) == pytest.approx(m + np.sqrt(19) * s, rel=1e-14)
        assert HI.chebyshev_ucl(values, one_sided=False) == pytest.approx(m + np.sqrt(20) * s, rel=1e-14)
        assert HI.chebyshev_ucl(values, alpha=0.2) == pytest.approx(m + 2 * s, rel=1e-14)
        assert HI.chebyshev_ucl(values, alpha=0.25, one_sided=False) == pytest.approx(m + 2 * s, rel=1e-14)

    def test_zero_spread_gives_the_mean(self):
        assert HI.chebyshev_ucl(np.full(10, 3.5)) == 3.5


def purge_reference(df_scaled, alpha=0.05, max_iter=10, one_sided=True):
    """The loop written out in Python; returns the result and the printed lines."""
    lines, df, previous = [], df_scaled.copy(), None
    k = np.sqrt((1 - alpha) / alpha) if one_sided else 1 / np.sqrt(alpha)
    for i in range(max_iter):
        mu, cov, _, pca = HI.health_modeling(df)
        t2 = HI.cal_T2(df, pca, mu, cov, df.index)[0]["tsquare"]
        ucl = t2.mean() + k * t2.std(ddof=1)
        keep = t2 <= ucl
        removed = int((~keep).sum())
        change = abs(ucl - previous) if previous is not None else np.inf
        lines.append(f"第 {i + 1} 次篩選：UCL = {ucl:.3f}，移除 {removed} 筆；UCL 變化量 = {change:.4f}")
        if removed == 0 or (previous is not None and change < 1e-3):
            lines.append("Chebyshev purging 收斂 ✅")
            break
        df, previous = df.loc[keep], ucl
    lines.append(f"最終保留樣本數：{len(df)}")
    return (df, pca, mu, cov, ucl), lines


@pytest.fixture(scope="module")
def scaled_machine():
    """Standardised minute features of a healthy machine with a few disturbed rows."""
    raw = machine_frame("2024-01-01", periods=1500, freq="1min", seed=3).set_index("_time")
    rng = np.random.default_rng(3)
    rows = rng.choice(len(raw), 20, replace=False)
    raw.iloc[rows, rng.integers(0, raw.shape[1], 20)] *= 1.6
    return HI.standardize(raw)[0]


class TestChebyshevPurge:
    @pytest.mark.parametrize("options", [{}, {"one_sided": False, "alpha": 0.1}])
    def test_matches_the_written_out_loop(self, scaled_machine, capsys, options):
        before = scaled_machine.copy()
        (frame, pca, mu, cov, ucl) = HI.purge_by_chebyshev(scaled_machine, **options)
        printed = capsys.readouterr().out.splitlines()
        (ref_frame, ref_pca, ref_mu, ref_cov, ref_ucl), lines = purge_reference(scaled_machine, **options)
        assert printed == lines
        assert printed[-2] == "Chebyshev purging 收斂 ✅" and len(printed) > 3
        assert printed[0].endswith("UCL 變化量 = inf")
        assert frame.index.equals(ref_frame.index) and len(frame) < len(scaled_machine)
        assert ucl == pytest.approx(ref_ucl, rel=1e-12)
        np.testing.assert_allclose(cov, ref_cov, rtol=1e-10)
        # converged: the model was fitted on exactly the returned rows
        assert pca.n_samples_ == len(frame) and mu.shape == (pca.n_components_,)
        pd.testing.assert_frame_equal(scaled_machine, before)

    def test_exhausting_max_iter_returns_the_purged_frame_of_the_last_fit(self, scaled_machine, capsys):
        frame, pca, *_ = HI.purge_by_chebyshev(scaled_machine, max_iter=2)
        printed = capsys.readouterr().out.splitlines()
        _, lines = purge_reference(scaled_machine, max_iter=2)
        assert printed == lines and len(printed) == 3
        removed = int(printed[1].split("移除 ")[1].split(" ")[0])
        assert removed > 0 and pca.n_samples_ == len(frame) + removed
        assert printed[2] == f"最終保留樣本數：{len(frame)}"

    def test_a_settled_limit_stops_with_flagged_rows_kept(self, scaled_machine, capsys, monkeypatch):
        limits = iter([12.0, 11.9996])

        def scripted_limit(values, alpha, one_sided):
            limit = next(limits)
            assert (values > limit).any()
            return limit

        monkeypatch.setattr(HI, "chebyshev_ucl", scripted_limit)
        frame, *_, ucl = HI.purge_by_chebyshev(scaled_machine)
        printed = capsys.readouterr().out.splitlines()
        assert printed[1].startswith("第 2 次篩選：UCL = 12.000，移除 ")
        assert printed[1].endswith("筆；UCL 變化量 = 0.0004")
        assert printed[2] == "Chebyshev purging 收斂 ✅"
        assert ucl == 11.9996 and f"最終保留樣本數：{len(frame)}" == printed[3]

    def test_collaborators_are_module_globals(self, scaled_machine, capsys, monkeypatch):
        calls = []
        fit, score = HI.health_modeling, HI.cal_T2
        monkeypatch.setattr(HI, "health_modeling", lambda df: calls.append(("fit", len(df))) or fit(df))
        monkeypatch.setattr(HI, "cal_T2", lambda df, *model: calls.append(("score", len(df))) or score(df, *model))
        HI.purge_by_chebyshev(scaled_machine, max_iter=2)
        first, second = len(scaled_machine), calls[2][1]
        assert calls == [("fit", first), ("score", first), ("fit", second), ("score", second)] and second < first

    def test_no_iteration_fails_on_the_unbound_model(self, scaled_machine, capsys):
        with pytest.raises(UnboundLocalError, match="^cannot access local variable 'pca' where it is not"):
            HI.purge_by_chebyshev(scaled_machine, max_iter=0)
        assert capsys.readouterr().out == f"最終保留樣本數：{len(scaled_machine)}\n"

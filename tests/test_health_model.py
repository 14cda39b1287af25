"""Scalers, PCA with Hotelling T², health index and SPE against independent numpy."""

import warnings

import numpy as np
import pandas as pd
import pytest
import sklearn
from scipy import stats
from sklearn.decomposition import PCA
from sklearn.preprocessing import MinMaxScaler, StandardScaler

from algo.HI import HI


def correlated_frame(rows=400, features=8, factors=3, seed=0):
    rng = np.random.default_rng(seed)
    latent = rng.normal(size=(rows, factors))
    values = latent @ rng.normal(size=(factors, features)) + 0.3 * rng.normal(size=(rows, features))
    index = pd.date_range("2024-01-01", periods=rows, freq="min", name="_time")
    return pd.DataFrame(values, index=index, columns=[f"f{i}" for i in range(features)])


def eigen_model(x, share=0.9):
    """PCA by eigendecomposition: retained eigenvalues/vectors as scikit-learn picks them."""
    eigenvalues, vectors = np.linalg.eigh(np.cov(x.T))
    order = np.argsort(eigenvalues)[::-1]
    eigenvalues, vectors = eigenvalues[order], vectors[:, order]
    k = int(np.searchsorted(np.cumsum(eigenvalues) / eigenvalues.sum(), share, side="right") + 1)
    return eigenvalues, vectors, k


class TestScalers:
    def test_standardize_returns_frame_then_fitted_scaler_with_labels_kept(self):
        index = pd.DatetimeIndex(["2024-01-01", "2024-01-01", "2024-01-02"], name="_time")
        df = pd.DataFrame({"a": [1.0, 2.0, 3.0], "const": [5.0, 5.0, 5.0]}, index=index)
        frame, scaler = HI.standardize(df)
        assert isinstance(scaler, StandardScaler)
        assert frame.index.equals(df.index) and frame.columns.equals(df.columns)
        np.testing.assert_allclose(frame["a"], (df["a"] - 2) / np.std(df["a"]))
        assert (frame["const"] == 0).all()

    def test_minmax_maps_to_unit_range_and_constant_to_zero(self):
        df = pd.DataFrame({"a": [2.0, 4.0, 6.0], "const": [1.0, 1.0, 1.0]})
        frame, scaler = HI.minmax_scale(df)
        assert isinstance(scaler, MinMaxScaler)
        assert frame["a"].tolist() == [0.0, 0.5, 1.0] and (frame["const"] == 0).all()

    @pytest.mark.parametrize("fit, apply", [("standardize", "testing_scaler"), ("minmax_scale", "testing_minmax")])
    def test_testing_side_uses_the_fitted_statistics(self, fit, apply):
        train = pd.DataFrame({"a": [0.0, 10.0]})
        _, scaler = getattr(HI, fit)(train)
        new = pd.DataFrame({"a": [5.0, 20.0]}, index=[7, 8])
        frame = getattr(HI, apply)(new, scaler)
        np.testing.assert_allclose(frame["a"], scaler.transform(new)[:, 0])
        assert frame.index.tolist() == [7, 8]

    def test_bad_input_raises_the_library_errors(self):
        with pytest.raises(AttributeError):  # an array has no labels; the scaler was fitted first
            HI.standardize(np.ones((3, 2)))
        _, scaler = HI.standardize(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 1.0]}))
        with pytest.raises(ValueError):
            HI.testing_scaler(pd.DataFrame({"a": [1.0]}), scaler)


class TestHealthModel:
    def test_model_and_t2_match_an_eigendecomposition(self):
        x = correlated_frame()
        scaled, _ = HI.standardize(x)
        mu, cov, ucl, pca = HI.health_modeling(scaled)
        eigenvalues, vectors, k = eigen_model(scaled.to_numpy())
        n = len(scaled)
        assert pca.n_components_ == k and cov.shape == (k, k)
        np.testing.assert_allclose(mu, 0, atol=1e-12)
        np.testing.assert_allclose(np.diag(cov), eigenvalues[:k], rtol=1e-10)
        assert ucl == pytest.approx(k * (n - 1) / (n - k) * stats.f.ppf(0.95, k, n - k), rel=1e-12)

        t2, scores = HI.cal_T2(scaled, pca, mu, cov, scaled.index)
        centred = scaled.to_numpy() - scaled.to_numpy().mean(axis=0)
        expected = ((centred @ vectors[:, :k]) ** 2 / eigenvalues[:k]).sum(axis=1)
        assert list(t2.columns) == ["tsquare"] and t2.index.equals(scaled.index)
        np.testing.assert_allclose(t2["tsquare"], expected, rtol=1e-8)
        assert scores.shape == (n, k)

    def test_alpha_moves_the_limit(self):
        scaled, _ = HI.standardize(correlated_frame())
        assert HI.health_modeling(scaled, alpha=0.01)[2] > HI.health_modeling(scaled)[2]

    def test_one_dominant_component_is_refitted_with_two(self):
        rng = np.random.default_rng(1)
        base = rng.normal(size=200)
        df = pd.DataFrame({f"f{i}": base + 0.01 * rng.normal(size=200) for i in range(4)})
        mu, cov, ucl, pca = HI.health_modeling(df)
        assert pca.n_components_ == 2 and pca.n_components == 2 and cov.shape == (2, 2)
        assert ucl == pytest.approx(2 * 199 / 198 * stats.f.ppf(0.95, 2, 198))

    def test_single_feature_model_can_be_scored(self):
        df = pd.DataFrame({"a": np.random.default_rng(2).normal(size=50)})
        mu, cov, ucl, pca = HI.health_modeling(df)
        assert np.ndim(cov) == 0 and pca.n_components_ == 1
        assert ucl == pytest.approx(49 / 49 * stats.f.ppf(0.95, 1, 49))
        t2, scores = HI.cal_T2(df, pca, mu, cov, df.index)
        np.testing.assert_allclose(t2["tsquare"], (scores[:, 0] - mu[0]) ** 2 / cov, rtol=1e-12)

    def test_as_many_rows_as_components_divides_by_zero(self):
        df = pd.DataFrame({"a": [1.0, 2.0], "b": [1.0, 2.5], "c": [0.0, 1.0]})
        with pytest.raises(ZeroDivisionError):
            HI.health_modeling(df)

    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    def test_bad_input_raises_the_library_errors(self):
        with pytest.raises(ValueError, match="must be between 0 and min"):
            HI.health_modeling(pd.DataFrame({"a": [1.0], "b": [2.0]}))
        with pytest.raises(ValueError, match="NaN"):
            HI.health_modeling(pd.DataFrame({"a": [1.0, np.nan, 3.0], "b": [2.0, 3.0, 1.0]}))


class TestT2Kernel:
    @staticmethod
    def row_loop(scores, mu, cov):
        inverse = np.linalg.pinv(np.atleast_2d(cov))
        return np.array([(x - mu) @ inverse @ (x - mu).T for x in scores])

    class FixedScores:
        """A stand-in PCA whose transform returns prepared scores."""

        def __init__(self, scores):
            self.scores = scores

        def transform(self, _):
            return self.scores

    @pytest.mark.parametrize("rows, k", [(1, 1), (5, 3), (1003, 7), (257, 17), (64, 60)])
    def test_matches_the_row_by_row_quadratic_form(self, rows, k):
        rng = np.random.default_rng(rows * k)
        scores = rng.normal(size=(rows, k)) * rng.uniform(0.1, 10, size=k)
        mu = rng.normal(size=k)
        a = rng.normal(size=(k, k))
        cov = a @ a.T + np.eye(k)
        t2, returned = HI.cal_T2(None, self.FixedScores(scores), mu, cov, pd.RangeIndex(rows))
        assert returned is scores
        np.testing.assert_allclose(t2["tsquare"], self.row_loop(scores, mu, cov), rtol=1e-12)

    def test_singular_covariance_uses_the_pseudo_inverse(self):
        rng = np.random.default_rng(3)
        scores = rng.normal(size=(100, 3))
        scores[:, 2] = scores[:, 0] + scores[:, 1]
        mu, cov = scores.mean(axis=0), np.cov(scores.T)
        t2, _ = HI.cal_T2(None, self.FixedScores(scores), mu, cov, pd.RangeIndex(100))
        np.testing.assert_allclose(t2["tsquare"], self.row_loop(scores, mu, cov), rtol=1e-9)

    def test_float32_and_integer_scores_are_promoted(self):
        scores = np.arange(12, dtype=np.int64).reshape(6, 2)
        mu, cov = np.array([1.0, 2.0]), np.array([[2.0, 0.5], [0.5, 1.0]])
        for values in (scores, scores.astype(np.float32)):
            t2, _ = HI.cal_T2(None, self.FixedScores(values), mu, cov, pd.RangeIndex(6))
            np.testing.assert_allclose(t2["tsquare"], self.row_loop(scores.astype(float), mu, cov), rtol=1e-12)

    def test_mismatches_raise(self):
        scores = np.ones((4, 2))
        with pytest.raises(ValueError, match="do not match the 2 components"):
            HI.cal_T2(None, self.FixedScores(scores), np.zeros(3), np.eye(2), pd.RangeIndex(4))
        with pytest.raises(ValueError, match="Length of values"):
            HI.cal_T2(None, self.FixedScores(scores), np.zeros(2), np.eye(2), pd.RangeIndex(5))


class TestHealthIndex:
    def test_reference_points_and_labels(self):
        index = pd.date_range("2024-01-01", periods=5, freq="h", name="_time")
        t2 = pd.DataFrame({"tsquare": [0.0, 10.0, 20.0, np.nan, 1e6]}, index=index)
        score = HI.Health_Index(t2, 10.0, 0.9)
        assert list(score.columns) == ["Score"] and score.index.equals(index)
        np.testing.assert_allclose(score["Score"].iloc[:3], [100.0, 90.0, 81.0], rtol=1e-12)
        assert np.isnan(score["Score"].iloc[3]) and score["Score"].iloc[4] == 0.0

    def test_tightness_above_one_is_not_clamped(self):
        score = HI.Health_Index(pd.DataFrame({"tsquare": [5.0]}), 5.0, 1.1)
        assert score["Score"].iloc[0] == pytest.approx(110.0)

    def test_anomaly_rate_counts_strictly_above(self):
        assert HI.T2_Anomaly_Rate(np.array([1.0, 2.0, 3.0, 4.0]), 2.0) == 0.5
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            assert np.isnan(HI.T2_Anomaly_Rate(np.array([]), 1.0))


class TestSPE:
    def test_matches_an_eigendecomposition(self):
        x = correlated_frame(features=10)
        z = ((x - x.mean()) / x.std(ddof=0)).to_numpy()
        eigenvalues, vectors, k = eigen_model(z)
        residual = z - z @ vectors[:, :k] @ vectors[:, :k].T
        spe = (residual ** 2).sum(axis=1)
        lam = eigenvalues[k:]
        t1, t2, t3 = lam.sum(), (lam ** 2).sum(), (lam ** 3).sum()
        h0 = 1 - 2 * t1 * t3 / (3 * t2 ** 2)
        z95 = stats.norm.ppf(0.95)
        limit = t1 * (z95 * np.sqrt(2 * t2 * h0 ** 2) / t1 + 1 + t2 * h0 * (h0 - 1) / t1 ** 2) ** (1 / h0)

        residual_df, spe_df, spe_ucl, ratio = HI.SPE_residual(x, x.index, 0.05)
        assert residual_df.columns.equals(x.columns) and residual_df.index.equals(x.index)
        assert list(spe_df.columns) == ["SPE"]
        np.testing.assert_allclose(residual_df.to_numpy(), residual, atol=1e-9)
        np.testing.assert_allclose(spe_df["SPE"], spe, rtol=1e-8, atol=1e-12)
        assert spe_ucl == pytest.approx(limit, rel=1e-9)
        assert ratio == np.mean(spe_df["SPE"].to_numpy() > spe_ucl)

    def test_testing_variant_refits_on_the_scaled_data_it_is_given(self):
        x = correlated_frame(features=6, seed=4)
        scaled, _ = HI.standardize(x)
        fitted = HI.SPE_residual(x, x.index, 0.05)
        again = HI.SPE_residual_testing(x, scaled, scaled.index, 0.05)
        pd.testing.assert_frame_equal(fitted[1], again[1], rtol=1e-8, atol=1e-10)
        assert fitted[2] == pytest.approx(again[2], rel=1e-9)

    def test_all_components_kept_gives_no_limit_and_no_alarms(self):
        df = pd.DataFrame({"a": np.random.default_rng(5).normal(size=30)})
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            _, spe_df, spe_ucl, ratio = HI.SPE_residual(df, df.index, 0.05)
        assert np.isnan(spe_ucl) and ratio == 0


class RecordingScaler(StandardScaler):
    """A scaler of the host's own (a subclass): its transform is called, never bypassed."""

    def transform(self, X, copy=None):
        return super().transform(X, copy) + 1.0


def fitted_arithmetic_cases():
    """Fitted estimators and the input their arithmetic is applied to: natively when the estimator takes the
    input as it is, by the estimator's own method otherwise."""
    x = correlated_frame(rows=300, features=6, seed=7)
    with_nan = x.copy()
    with_nan.iloc[3, 2] = np.nan
    with_inf = x.copy()
    with_inf.iloc[5, 1] = np.inf
    reordered = x[list(x.columns[::-1])]
    mixed = x.astype({"f0": np.float32, "f1": np.int64})
    pandas_output = StandardScaler().fit(x).set_output(transform="pandas")
    return {
        "standard": (StandardScaler().fit(x), x),
        "standard, missing values": (StandardScaler().fit(x), with_nan),
        "standard, infinity": (StandardScaler().fit(x), with_inf),
        "standard, columns reordered": (StandardScaler().fit(x), reordered),
        "standard, mixed dtypes": (StandardScaler().fit(x), mixed),
        "standard, fitted on an array": (StandardScaler().fit(x.to_numpy()), x),
        "standard without mean": (StandardScaler(with_mean=False).fit(x), x),
        "standard, pandas output": (pandas_output, x),
        "host's own scaler": (RecordingScaler().fit(x), x),
        "min-max": (MinMaxScaler().fit(x), x),
        "min-max, clipped": (MinMaxScaler(clip=True).fit(x), x * 2),
        "pca": (PCA(n_components=0.9).fit(x), x),
        "pca, missing values": (PCA(n_components=0.9).fit(x), with_nan),
        "pca, whitened": (PCA(n_components=3, whiten=True).fit(x), x),
        "pca on arrays": (PCA(n_components=0.9).fit(x.to_numpy()), x.to_numpy()),
    }


class TestFittedArithmetic:
    """The module applies scikit-learn's StandardScaler, MinMaxScaler and PCA natively from their fitted
    attributes, summing in a fixed order: the scaled values are the estimator's own, the PCA scores and
    reconstructions agree to 1e-12 of the data's scale. Anything the estimator would take otherwise (a subclass,
    other output containers or options, input it converts, warns about or rejects) goes to its own method, with
    its results and its errors."""

    @pytest.mark.parametrize("case", fitted_arithmetic_cases().items(), ids=lambda case: case[0])
    def test_results_and_errors_are_the_estimators(self, case):
        _, (estimator, X) = case
        pca = isinstance(estimator, PCA)
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                expected = estimator.transform(X)
        except ValueError as error:
            with pytest.raises(ValueError, match=str(error).splitlines()[0][:40]):
                self.ours(estimator, X)
            return
        with warnings.catch_warnings(record=True) as ours_caught:
            warnings.simplefilter("always")
            ours = self.ours(estimator, X)
        assert [str(w.message) for w in ours_caught] == [str(w.message) for w in caught]
        expected = np.asarray(expected)
        scale = np.abs(np.asarray(X, dtype=float)).max()
        np.testing.assert_allclose(ours, expected, rtol=0, atol=1e-12 * scale if pca else 0)

    def test_spe_reconstruction_is_the_estimators(self):
        values = correlated_frame(rows=300, features=6, seed=7).to_numpy()
        refitted = PCA(n_components=0.9).fit(values)
        rebuilt = refitted.inverse_transform(refitted.transform(values))
        residual = HI.SPE_residual_testing(pd.DataFrame(values), values, np.arange(len(values)), 0.05)[0]
        np.testing.assert_allclose(residual.to_numpy(), values - rebuilt, rtol=0, atol=1e-12 * np.abs(values).max())

    @staticmethod
    def ours(estimator, X):
        if isinstance(estimator, PCA):
            return HI.cal_T2(X, estimator, np.zeros(estimator.n_components_), np.eye(estimator.n_components_),
                             pd.RangeIndex(len(X)))[1]
        return HI.testing_scaler(X, estimator).to_numpy()

    def test_an_estimator_that_transforms_in_place_still_does(self):
        x = correlated_frame(rows=50, features=3, seed=8)
        scaler = StandardScaler(copy=False).fit(x)
        expected = scaler.transform(x.copy())
        frame = x.copy()
        np.testing.assert_array_equal(HI.testing_scaler(frame, scaler).to_numpy(), expected)

    def test_the_configured_output_is_respected(self):
        x = correlated_frame(rows=50, features=4, seed=9)
        pca = PCA(n_components=0.9).fit(x)
        with sklearn.config_context(transform_output="pandas"):
            scores = HI.cal_T2(x, pca, np.zeros(pca.n_components_), np.eye(pca.n_components_), x.index)[1]
        assert isinstance(scores, pd.DataFrame)

"""ARIMA health-index forecast, death probability and the guarded RUL calculation."""

import inspect
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from statsmodels.tsa.arima.model import ARIMA

from algo.HI import HI
from algo.RUL import RUL

pytestmark = pytest.mark.filterwarnings("ignore::statsmodels.tools.sm_exceptions.ModelWarning")

UCL, TIGHTNESS, DEADLINE = 10.0, 0.9, 40
DATA_PROBLEM = "There\u2019s a problem with the data."
KEYS = ["rul_predict", "rul_days", "rul_deadline", "signal", "show", "unit", "death_probability",
        "is_error", "error_code", "error_stage", "error_message"]


def tsquare_frame(scores, freq, name="_time", unit="ns"):
    """A T² frame whose health index (UCL, TIGHTNESS) is `scores`."""
    index = pd.date_range("2024-01-01", periods=len(scores), freq=freq, name=name, unit=unit)
    tsquare = UCL * np.log(np.asarray(scores, dtype=float) / 100) / np.log(TIGHTNESS)
    return pd.DataFrame({"tsquare": tsquare}, index=index)


def declining(n, seed=0):
    rng = np.random.default_rng(seed)
    return np.linspace(95, 55, n) + rng.normal(0, 1, n)


def model_dictionary(time_scale="h", **extra):
    return {"datetime_name": "_time", "ucl": UCL, "rul_deadline": DEADLINE, "time_scale": time_scale, **extra}


class PreparedForecast:
    """Stands in for rul_model: records its arguments, returns a forecast with the given step count."""

    def __init__(self, steps):
        self.steps, self.calls = steps, []

    def __call__(self, train, max_RUL, deadline):
        self.calls.append(SimpleNamespace(train=train.copy(), max_RUL=max_RUL, deadline=deadline))
        index = pd.RangeIndex(train.index[-1] + 1, train.index[-1] + 1 + max_RUL)
        predict = np.linspace(70, 45, max_RUL)
        return predict, pd.Series(predict + 8, index=index), pd.Series(predict - 8, index=index), self.steps


@pytest.fixture
def prepared(monkeypatch):
    def install(steps=0):
        forecast = PreparedForecast(steps)
        monkeypatch.setattr(RUL, "rul_model", forecast)
        return forecast
    return install


class FakeARIMA:
    """Stands in for the ARIMA class with a prepared forecast mean and band."""

    def __init__(self, mean, half_width=5.0):
        self.mean, self.half_width, self.seen = np.asarray(mean, dtype=float), half_width, {}

    def __call__(self, train, order, trend):
        self.seen.update(order=order, trend=trend)
        return self

    def fit(self):
        return self

    def get_forecast(self, steps):
        self.seen["steps"] = steps
        index = pd.RangeIndex(100, 100 + len(self.mean))
        self.predicted_mean = pd.Series(self.mean, index=index, name="predicted_mean")
        return self

    def summary_frame(self, alpha):
        self.seen["alpha"] = alpha
        m = self.predicted_mean
        return pd.DataFrame({"mean": m, "mean_se": 1.0, "mean_ci_lower": m - self.half_width,
                             "mean_ci_upper": m + self.half_width})


class TestRulModel:
    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_matches_statsmodels_clipped_to_the_health_scale(self, seed):
        rng = np.random.default_rng(seed)
        train = pd.Series(np.linspace(70, 20, 90) + np.cumsum(rng.normal(0, 1.5, 90)))
        predict, upper, lower, rul_days = RUL.rul_model(train, 60, 30)

        summary = ARIMA(train, order=(1, 1, 0), trend="t").fit().get_forecast(60).summary_frame(alpha=0.1)
        assert isinstance(predict, np.ndarray) and isinstance(upper, pd.Series) and isinstance(lower, pd.Series)
        np.testing.assert_allclose(predict, summary["mean"].clip(0, 100), rtol=1e-9)
        pd.testing.assert_series_equal(upper, summary["mean_ci_upper"].clip(0, 100), rtol=1e-9)
        pd.testing.assert_series_equal(lower, summary["mean_ci_lower"].clip(0, 100), rtol=1e-9)
        assert upper.index[0] == 90  # continues the integer positions of the sample
        above = (summary["mean"] > 30).to_numpy()
        assert rul_days == (60 if above.all() else int(np.argmin(above)))

    def test_flat_series_above_the_deadline_lasts_the_whole_horizon(self):
        assert RUL.rul_model(pd.Series([80.0] * 40), 10, DEADLINE)[3] == 10

    def test_model_settings(self, monkeypatch):
        fake = FakeARIMA([50.0, 45.0])
        monkeypatch.setattr(RUL, "ARIMA", fake)
        RUL.rul_model(pd.Series([1.0, 2.0]), 2, DEADLINE)
        assert fake.seen == {"order": (1, 1, 0), "trend": "t", "steps": 2, "alpha": 0.1}

    @pytest.mark.parametrize("mean, deadline, steps", [
        ([50, 45, 39, 42, 60], 40, 2),    # life ends at the first crossing, recovery earns nothing
        ([50, 40, 60], 40, 1),            # on the deadline counts as failed
        ([39, 50, 60], 40, 0),
        ([50, 45, 41], 40, 3),
        ([120, 101, 99, -5], 100, 2),     # judged on the unclipped mean
        ([50, np.nan, 60], 40, 1),        # an undefined forecast is no evidence of life
    ])
    def test_remaining_life_ends_at_the_first_crossing(self, monkeypatch, mean, deadline, steps):
        monkeypatch.setattr(RUL, "ARIMA", FakeARIMA(mean))
        predict, upper, lower, rul_days = RUL.rul_model(pd.Series([1.0, 2.0]), len(mean), deadline)
        assert rul_days == steps and type(rul_days) is int
        np.testing.assert_array_equal(predict, np.clip(mean, 0, 100))
        np.testing.assert_array_equal(upper, np.clip(np.add(mean, 5), 0, 100))
        np.testing.assert_array_equal(lower, np.clip(np.subtract(mean, 5), 0, 100))


class TestDeathProbability:
    @pytest.mark.parametrize("predict, ucl, lcl, deadline, expected", [
        (60, 70, 50, 40, 0),       # whole band above the deadline
        (45, 55, 35, 40, 75),      # a quarter of the band width above the deadline
        (55, 55, 35, 40, 25),
        (60, 60, 40, 40, 0),       # LCL on the deadline: the formula, a full width above
        (45, 50, 40, 40, 50),
        (40, 50, 30, 40, 100),     # on the deadline
        (30, 50, 20, 40, 100),     # below it, clipped
        (80, 50, 20, 40, 0),       # far above a band that reaches the deadline, clipped
        (45, 30, 30, 40, 0),       # zero width: any distance above is far
        (40, 30, 30, 40, 100),
        (45, 20, 35, 40, 0),       # an inverted band counts as zero width
    ])
    def test_hand_checked_values(self, predict, ucl, lcl, deadline, expected):
        result = RUL.death_probability(predict, ucl, lcl, deadline)
        assert isinstance(result, np.generic | np.ndarray) and result == pytest.approx(expected)

    def test_bad_input_raises_numpy_errors(self):
        with pytest.raises(ValueError, match="ambiguous"):
            RUL.death_probability([45, 46], [55, 56], [35, 36], 40)
        with pytest.raises(ValueError):
            RUL.death_probability("high", 55, 35, 40)

    def test_docstring(self):
        assert inspect.getdoc(RUL.death_probability).splitlines() == [
            "使用 predict 與 deadline 的距離，並用 UCL-LCL 作為不確定性寬度，",
            "計算死亡風險。",
            "前提：",
            "- HI 越低代表越差",
            "- HI <= deadline 視為死亡 / 失效",
            "- UCL / LCL 已經被限制在 0~100",
        ]


def reference_table(scores, freq, predict, upper, lower, horizon):
    """History bins then forecast steps, written out directly."""
    binned = scores.resample(freq).mean()
    start = binned.index[-1] + pd.tseries.frequencies.to_offset(freq)
    future = pd.date_range(start, periods=horizon, freq=freq)
    blank = [np.nan] * len(binned)
    return pd.DataFrame({
        "_time": list(binned.index) + list(future),
        "Score": list(binned["Score"]) + list(predict),
        "upper_CI": blank + list(upper),
        "lower_CI": blank + list(lower),
    })


class TestRulCalculation:
    @pytest.mark.parametrize("days, horizon", [(30, 15), (59, 15), (60, 30), (89, 30), (90, 90), (200, 90)])
    def test_daily_horizon_follows_the_history_length(self, prepared, days, horizon):
        forecast = prepared(steps=0)
        t2 = tsquare_frame(declining(days), "D")
        result = RUL.rul_calculation(t2, model_dictionary(), TIGHTNESS)

        call = forecast.calls[0]
        scores = HI.Health_Index(t2, UCL, TIGHTNESS)["Score"]
        assert call.max_RUL == horizon and call.deadline == DEADLINE
        np.testing.assert_allclose(call.train, scores.iloc[-90:])
        assert call.train.index[0] == max(days - 90, 0)
        predict, upper, lower, _ = PreparedForecast(0)(call.train, horizon, DEADLINE)
        expected = reference_table(scores.to_frame(), "D", predict, upper, lower, horizon)
        pd.testing.assert_frame_equal(result["rul_predict"], expected, check_dtype=False, check_exact=False)
        assert result["unit"] == "days" and result["is_error"] == "False"

    def test_under_thirty_days_is_not_enough_and_fits_nothing(self, prepared):
        forecast = prepared()
        result = RUL.rul_calculation(tsquare_frame(declining(29), "D"), model_dictionary(), TIGHTNESS)
        assert forecast.calls == []
        assert list(result) == KEYS and np.isnan(result["rul_predict"]) and np.isnan(result["show"])
        assert [result[k] for k in KEYS[1:3] + KEYS[3:4] + KEYS[5:]] == [
            -1, DEADLINE, "gray", "RUL data is not enough", -1, "False", "None", "None", "None"]

    def test_daily_bins_average_sub_daily_rows_and_keep_empty_days(self, prepared):
        prepared()
        t2 = tsquare_frame(declining(24 * 45), "h", unit="s")
        t2 = t2.drop(t2.index[24 * 10:24 * 11])  # one day without data
        result = RUL.rul_calculation(t2, model_dictionary(), TIGHTNESS)
        table = result["rul_predict"]
        expected = HI.Health_Index(t2, UCL, TIGHTNESS).resample("D").mean()["Score"]
        assert len(table) == 45 + 15 and np.isnan(table["Score"].iloc[10])
        np.testing.assert_allclose(table["Score"].iloc[:45], expected)
        assert table["_time"].iloc[45] == pd.Timestamp("2024-02-15")

    @pytest.mark.parametrize("days, steps, signal, show", [
        (90, 29, "red", "< 30"), (90, 30, "yellow", "30 - 90"), (90, 89, "yellow", "30 - 90"),
        (90, 90, "green", "\u2265 90"),
        (60, 29, "red", "< 30"), (60, 30, "green", "\u2265 30"),
        (30, 14, "red", "< 15"), (30, 15, "green", "\u2265 15"),
        (90, float("nan"), "red", "< 30"),
    ])
    def test_daily_grades(self, prepared, days, steps, signal, show):
        prepared(steps)
        result = RUL.rul_calculation(tsquare_frame(declining(days), "D"), model_dictionary(), TIGHTNESS)
        assert (result["signal"], result["show"]) == (signal, show)
        assert result["rul_days"] is steps

    @pytest.mark.parametrize("steps, signal, show, minutes", [
        (20, "green", "\u2265 100", 100), (19, "yellow", "40 - 100", 95), (8, "yellow", "40 - 100", 40),
        (7, "red", " < 40", 35), (0, "red", " < 40", 0),
    ])
    def test_five_minute_grades_count_steps_and_report_minutes(self, prepared, steps, signal, show, minutes):
        prepared(steps)
        result = RUL.rul_calculation(tsquare_frame(declining(41), "5min"), model_dictionary("min"), TIGHTNESS)
        assert (result["signal"], result["show"], result["rul_days"]) == (signal, show, minutes)
        assert result["unit"] == "minutes"

    @pytest.mark.parametrize("bins, steps, signal, minutes", [
        (12, 6, "gray", 30), (39, 19, "gray", 95),  # above the deadline to the end of a short horizon
        (12, 5, "red", 25), (39, 18, "yellow", 90),  # crossings inside it grade as usual
        (41, 20, "green", 100),
    ])
    def test_short_five_minute_horizon_outlived_is_ungraded(self, prepared, bins, steps, signal, minutes):
        prepared(steps)
        result = RUL.rul_calculation(tsquare_frame(declining(bins), "5min"), model_dictionary("min"), TIGHTNESS)
        assert (result["signal"], result["rul_days"], result["is_error"]) == (signal, minutes, "False")
        assert (signal == "gray") == (not isinstance(result["show"], str) and np.isnan(result["show"]))

    @pytest.mark.parametrize("bins, horizon", [(7, 3), (41, 20), (200, 20)])
    def test_five_minute_horizon_is_half_the_bins_at_most_twenty(self, prepared, bins, horizon):
        forecast = prepared()
        t2 = tsquare_frame(declining(5 * bins), "min")  # one-minute rows, five to a bin
        result = RUL.rul_calculation(t2, model_dictionary("min"), TIGHTNESS)

        call = forecast.calls[0]
        scores = HI.Health_Index(t2, UCL, TIGHTNESS)
        assert call.max_RUL == horizon and len(call.train) == min(bins, 90)
        predict, upper, lower, _ = PreparedForecast(0)(call.train, horizon, DEADLINE)
        expected = reference_table(scores, "5min", predict, upper, lower, horizon)
        pd.testing.assert_frame_equal(result["rul_predict"], expected, check_dtype=False, check_exact=False)

    @pytest.mark.parametrize("time_scale", ["H", "hour", " h", "min", np.nan])
    def test_only_exactly_h_is_daily(self, prepared, time_scale):
        forecast = prepared()
        result = RUL.rul_calculation(tsquare_frame(declining(41), "5min"), model_dictionary(time_scale), TIGHTNESS)
        assert result["unit"] == "minutes" and forecast.calls[0].max_RUL == 20

    def test_death_probability_at_the_last_step_through_the_module_global(self, prepared, monkeypatch):
        forecast = prepared()
        seen = []
        monkeypatch.setattr(RUL, "death_probability", lambda *args: seen.append(args) or 12.5)
        result = RUL.rul_calculation(tsquare_frame(declining(60), "D"), model_dictionary(), TIGHTNESS)
        predict, upper, lower, _ = PreparedForecast(0)(forecast.calls[0].train, 30, DEADLINE)
        assert seen == [(predict[-1], upper.iloc[-1], lower.iloc[-1], DEADLINE)]
        assert result["death_probability"] == 12.5

    @pytest.mark.parametrize("time_scale, periods, freq", [("h", 120, "D"), ("min", 41, "5min")])
    def test_with_the_real_forecast(self, time_scale, periods, freq):
        t2 = tsquare_frame(declining(periods, seed=3), freq)
        dictionary = model_dictionary(time_scale)
        original = (t2.copy(), dict(dictionary))
        result = RUL.rul_calculation(t2, dictionary, TIGHTNESS)

        train = HI.Health_Index(t2, UCL, TIGHTNESS)["Score"].reset_index(drop=True)
        horizon = 90 if time_scale == "h" else 20
        predict, upper, lower, steps = RUL.rul_model(train[-90:], horizon, DEADLINE)
        death = RUL.death_probability(predict[-1], upper.iloc[-1], lower.iloc[-1], DEADLINE)
        assert list(result) == KEYS and result["is_error"] == "False"
        assert result["rul_days"] == steps * (1 if time_scale == "h" else 5)
        assert result["death_probability"] == death
        np.testing.assert_allclose(result["rul_predict"]["Score"].iloc[periods:], predict)
        pd.testing.assert_frame_equal(t2, original[0])
        assert dictionary == original[1]


class TestRulCalculationFailures:
    def check_failure(self, result, stage, message):
        assert list(result) == KEYS
        assert np.isnan(result["rul_predict"]) and np.isnan(result["show"])
        data = [result[k] for k in ("rul_days", "signal", "unit", "death_probability")]
        assert data == [-1, "gray", DATA_PROBLEM, -1]
        assert [result[k] for k in KEYS[7:]] == ["True", "None", stage, message]

    def test_health_index_failure_is_stage_one(self):
        result = RUL.rul_calculation(pd.DataFrame({"t2": [1.0]}), model_dictionary(), TIGHTNESS)
        self.check_failure(result, "RUL_Error_01", "'tsquare'")
        assert result["rul_deadline"] == DEADLINE

    def test_health_index_is_called_through_the_module_global(self, monkeypatch):
        def failing(tsquare_df, ucl, score_tightness):
            raise RuntimeError(f"scored with {ucl} and {score_tightness}")
        monkeypatch.setattr(RUL, "HI", SimpleNamespace(Health_Index=failing))
        result = RUL.rul_calculation(tsquare_frame(declining(40), "D"), model_dictionary(), 0.8)
        self.check_failure(result, "RUL_Error_01", "scored with 10.0 and 0.8")

    def test_missing_time_scale_is_stage_two(self):
        dictionary = model_dictionary()
        del dictionary["time_scale"]
        self.check_failure(RUL.rul_calculation(tsquare_frame(declining(40), "D"), dictionary, TIGHTNESS),
                           "RUL_Error_02", "'time_scale'")

    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    def test_forecast_failures_are_stage_four(self, monkeypatch):
        one_bin = tsquare_frame([90.0], "5min")  # a horizon of zero steps
        result = RUL.rul_calculation(one_bin, model_dictionary("min"), TIGHTNESS)
        self.check_failure(result, "RUL_Error_04", "Prediction must have `end` after `start`.")

        monkeypatch.setattr(RUL, "rul_model", lambda *args: (1, 2, 3))
        result = RUL.rul_calculation(tsquare_frame(declining(40), "D"), model_dictionary(), TIGHTNESS)
        self.check_failure(result, "RUL_Error_04", "not enough values to unpack (expected 4, got 3)")

    def test_time_column_named_otherwise_fails_reading_the_last_time(self, prepared):
        prepared()
        t2 = tsquare_frame(declining(40), "D", name="time")
        self.check_failure(RUL.rul_calculation(t2, model_dictionary(), TIGHTNESS), "RUL_Error_04", "'_time'")

    def test_missing_deadline_is_reported_not_raised(self):
        dictionary = model_dictionary()
        del dictionary["rul_deadline"]
        result = RUL.rul_calculation(tsquare_frame(declining(40), "D"), dictionary, TIGHTNESS)
        self.check_failure(result, "RUL_Error_01", "'rul_deadline'")
        assert result["rul_deadline"] is None

    def test_missing_time_name_raises_before_the_guard(self):
        with pytest.raises(KeyError, match="datetime_name"):
            RUL.rul_calculation(tsquare_frame(declining(40), "D"), {"ucl": UCL}, TIGHTNESS)

    @pytest.mark.parametrize("fails", [False, True])
    def test_warning_line_is_copied_last_when_present(self, prepared, fails):
        prepared()
        t2 = tsquare_frame(declining(40), "D")
        if fails:
            t2 = t2.rename(columns={"tsquare": "t2"})
        result = RUL.rul_calculation(t2, model_dictionary(rul_warning_line=55.5), TIGHTNESS)
        assert result["is_error"] == str(fails)
        assert list(result) == KEYS + ["rul_warning_line"] and result["rul_warning_line"] == 55.5


class TestModuleInterface:
    def test_star_import_leaves_out_death_probability(self):
        namespace = {}
        exec("from algo.RUL.RUL import *", namespace)
        assert {"rul_model", "rul_calculation"} <= namespace.keys() and "death_probability" not in namespace
        assert callable(RUL.death_probability)

    def test_importing_rul_first_imports_hi(self, tmp_path):
        code = "from algo.RUL import RUL; print(RUL.HI.__name__, RUL.HI.Health_Index.__name__)"
        out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True)
        assert out.stdout.split() == ["algo.HI.HI", "Health_Index"]

    def test_signatures_have_no_defaults_and_one_docstring(self):
        functions = [name for name, value in vars(RUL).items() if type(value).__name__ == "native_function"]
        assert functions == ["rul_model", "death_probability", "rul_calculation"]
        assert str(inspect.signature(RUL.rul_model)) == "(train, max_RUL, deadline)"
        assert str(inspect.signature(RUL.death_probability)) == "(predict, UCL, LCL, deadline)"
        assert str(inspect.signature(RUL.rul_calculation)) == "(tsquare_df, dictionary, score_tightness)"
        assert all(getattr(RUL, name).__defaults__ is None for name in functions)
        assert RUL.rul_model.__doc__ is None and RUL.rul_calculation.__doc__ is None

    @pytest.mark.parametrize("call, message", [
        (lambda: RUL.rul_model(pd.Series([1.0]), 10), "rul_model() takes at least 3 positional arguments (2 given)"),
        (lambda: RUL.death_probability(1, 2, 3), "death_probability() takes at least 4 positional arguments (3 given)"),
        (lambda: RUL.rul_calculation(None, {}), "rul_calculation() takes at least 3 positional arguments (2 given)"),
    ])
    def test_missing_arguments_raise_type_error(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


class TestSampleMachine:
    """A model of the sample machine's healthy days forecasts its worn bearing."""

    @pytest.fixture(scope="class")
    def scored(self):
        from algo import synthetic

        machine = synthetic.sample_machine()
        model = HI.training_model(machine.healthy, "1,0,0,1,2,1,2,1")
        model = HI.failure_deadline_learning([machine.failure_recording], model, None)
        assert model["is_error"] == "False", model["error_message"]
        results = [HI.testing_model(batch, model) for batch in machine.daily_batches]
        return model, pd.concat([r["T2"] for r in results]), pd.concat([r["HI_Score"] for r in results])

    @pytest.mark.filterwarnings("ignore::Warning")
    def test_warns_before_the_deadline_and_death_grows_likelier(self, scored):
        model, t2, score = scored
        assert 0 < model["rul_deadline"] < model["rul_warning_line"]
        reports = {days: RUL.rul_calculation(t2.iloc[:days], model, 0.9) for days in (40, 70, 100, 120)}
        assert all(r["is_error"] == "False" and r["unit"] == "days" for r in reports.values())
        assert reports[40]["signal"] == "green"
        for days in (100, 120):
            assert reports[days]["signal"] in ("yellow", "red")
            assert score["Score"].iloc[days - 1] > model["rul_deadline"]  # the warning comes first
            assert 0 <= reports[days]["rul_days"] < 90
        deaths = [reports[d]["death_probability"] for d in sorted(reports)]
        assert deaths == sorted(deaths) and deaths[-1] > deaths[0]
        assert reports[120]["rul_warning_line"] == model["rul_warning_line"]

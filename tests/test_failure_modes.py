"""Failure deadline learning, failure-mode thresholds and lights, ISO 20816-3 zones."""

import functools
import math

import numpy as np
import pandas as pd
import pytest

from algo import synthetic
from algo.HI import HI

TYPICAL = "0,0,0,1,2,1,1,1"
LEARNED_KEYS = [
    "T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name", "datetime_name",
    "rul_deadline_t_square", "rul_deadline", "time_scale", "training_anomalies", "model_bias",
    "training_model_robust_index", "training_model_robust_status", "algo_config",
    "is_error", "error_code", "error_stage", "error_message",
]
MISMATCH = ("The sensor features for deadline learning don\u2019t match the model\u2019s training features. "
            "Please make sure they are consistent.")


@functools.lru_cache(maxsize=None)
def _model(config):
    history = synthetic.machine_frame("2024-05-01", periods=3 * 3600, seed=7)
    model = HI.training_model(history, config)
    assert model["is_error"] == "False", model["error_message"]
    return model


def model(config=TYPICAL):
    return dict(_model(config))


def failing(start="2024-06-01", minutes=90, seed=8):
    """A recording of the machine with a bearing fault: its health index is far below the healthy one."""
    return synthetic.machine_frame(start, periods=minutes * 60, seed=seed, fault_start="2024-04-01", fault_days=300)


def first_quartile_t2(recording, trained):
    return HI.testing_model(recording, trained)["T2"]["tsquare"].quantile(0.25)


class TestDeadlineLearning:
    def test_one_recording_moves_the_deadline_towards_the_failure(self):
        trained = model()
        learned = HI.failure_deadline_learning([failing()], trained, None)
        assert list(learned)[: len(LEARNED_KEYS)] == LEARNED_KEYS
        assert learned["is_error"] == "False", learned["error_message"]
        q = first_quartile_t2(failing(), trained)
        score = 100 * 0.9 ** (q / trained["ucl"])
        assert learned["rul_deadline"] == pytest.approx(max(score, trained["rul_deadline"]))
        assert learned["rul_deadline_t_square"] == pytest.approx(min(q, trained["rul_deadline_t_square"]))
        assert learned["rul_deadline"] >= trained["rul_deadline"]
        assert learned["rul_deadline_t_square"] <= trained["rul_deadline_t_square"]
        for key in ("T2", "pca", "scaler", "ucl", "algo_config", "training_model_robust_status"):
            assert learned[key] is trained[key]

    def test_quartile_on_the_limit_scores_90(self):
        recording = failing()
        on_limit = dict(model(), ucl=first_quartile_t2(recording, model()))
        assert HI.failure_deadline_learning([recording], dict(on_limit, rul_deadline=80.0), None)[
            "rul_deadline"] == pytest.approx(90.0)
        assert HI.failure_deadline_learning([recording], dict(on_limit, rul_deadline=95.0), None)[
            "rul_deadline"] == 95.0

    def test_two_recordings_take_the_lowest_quartile_and_highest_score(self):
        trained = dict(model(), rul_deadline_t_square=1e12, rul_deadline=0.0)
        early, late = failing("2024-05-15", seed=9), failing("2024-06-01", seed=10)
        learned = HI.failure_deadline_learning([early, late], trained, "ignored")
        quartiles = [first_quartile_t2(r, trained) for r in (early, late)]
        assert learned["rul_deadline_t_square"] == pytest.approx(min(quartiles))
        assert learned["rul_deadline"] == pytest.approx(100 * 0.9 ** (min(quartiles) / trained["ucl"]))

    def test_refined_model_keeps_codebook_warning_line_and_times(self):
        trained = dict(model("0,0,0,1,2,1,2,1"), codebook_setup={"setup_name": "None"})
        learned = HI.failure_deadline_learning([failing()], trained, None)
        assert learned["is_error"] == "False", learned["error_message"]
        assert list(learned) == LEARNED_KEYS + [
            "codebook_setup", "rul_warning_line", "build_time", "start_time", "end_time"]
        for key in ("codebook_setup", "rul_warning_line", "build_time", "start_time", "end_time"):
            assert learned[key] == trained[key]
        # a warning-line model has deadline score 0 and deadline T2 +inf: both move
        assert math.isfinite(learned["rul_deadline_t_square"]) and learned["rul_deadline"] > 0

    def test_resampling_setting_3_scores_time_bins(self):
        trained = model("0,0,0,1,2,1,1,3")
        learned = HI.failure_deadline_learning([failing()], trained, None)
        assert learned["is_error"] == "False", learned["error_message"]
        assert learned["rul_deadline_t_square"] == pytest.approx(
            min(first_quartile_t2(failing(), trained), trained["rul_deadline_t_square"]))

    def test_missing_feature_is_noted_in_the_failure(self):
        learned = HI.failure_deadline_learning([failing().drop(columns="Y_Peak")], model(), None)
        assert learned["is_error"] == "True" and learned["error_code"] == MISMATCH
        assert len(learned) == 24 and learned["datetime_name"] == "_time"

    @pytest.mark.parametrize("dfs, config, stage", [
        ([], TYPICAL, "Error_02"),
        ("recording", "0,0,0,1,2,1,1", "Error_02"),
        ([pd.DataFrame({"x": [1.0]})], TYPICAL, "Error_01"),
        ([failing()], "0,0,0,1,2,0,1,1", "Error_08"),
    ])
    def test_failures_are_reported(self, dfs, config, stage):
        learned = HI.failure_deadline_learning(dfs, dict(model(), algo_config=config), None)
        assert learned["is_error"] == "True" and learned["error_stage"] == stage
        assert list(learned)[-4:] == ["is_error", "error_code", "error_stage", "error_message"]

    def test_a_model_without_its_time_column_name_raises(self):
        with pytest.raises(KeyError):
            HI.failure_deadline_learning([failing()], {"algo_config": TYPICAL}, None)


def rows(**columns):
    """One row per second for each given column of values."""
    length = len(next(iter(columns.values())))
    return pd.DataFrame({"_time": pd.date_range("2024-01-01", periods=length, freq="s"), **columns})


class TestThresholds:
    def test_limits_at_three_and_six_standard_deviations(self):
        result = HI.pre_feature_training(rows(
            X_Overall=[1.0, 2, 3, 4, 5], Temperature=[1.0] * 5, Y_Overall_QC=[1.0] * 5,
            bearing_PERCENTAGE=[1.0] * 5, Bearing_Peak=[2.0, 2, 2, 2, 2], Z_Power_in_Band_01=[4.0] * 5,
            Looseness=[1.0, 3, 1, 3, 1]))
        assert list(result) == ["X_Overall", "Bearing_Peak", "Z_Power_in_Band_01", "Looseness"]
        x = result["X_Overall"]
        assert list(x) == ["upper_warning", "upper_alert", "lower_warning", "lower_alert"]
        std = np.std([1, 2, 3, 4, 5], ddof=1)
        assert x["upper_warning"] == pytest.approx(3 + 3 * std) == pytest.approx(7.743, abs=1e-3)
        assert x["lower_alert"] == pytest.approx(3 - 6 * std) == pytest.approx(-6.487, abs=1e-3)
        assert set(result["Bearing_Peak"].values()) == {2.0}

    def test_failures_return_the_exception_text(self):
        assert HI.pre_feature_training(pd.DataFrame({"X_Overall": [1.0]})) == "'_time'"


class TestLights:
    LIMITS = {"upper_warning": 6.0, "upper_alert": 9.0, "lower_warning": 0.0, "lower_alert": -3.0}

    @staticmethod
    def lights(means, limits):
        names = [f"X_Power_in_Band_{i:02d}" for i in range(1, len(means) + 1)]
        frame = rows(**{name: [value] for name, value in zip(names, means)})
        result = HI.pre_feature_light(frame, {name: dict(limits) for name in names})
        return [result[name]["light"] for name in names]

    def test_both_sides(self):
        means = [3, 7, 10, -1, -4, 6, 9, 0, -3, np.nan]
        assert self.lights(means, self.LIMITS) == [
            "green", "yellow", "red", "yellow", "red", "green", "yellow", "green", "yellow", None]

    def test_upper_limits_only(self):
        limits = dict(self.LIMITS, lower_warning=None, lower_alert=None)
        assert self.lights([6, 9, 9.5], limits) == ["green", "yellow", "red"]

    def test_lower_limits_only(self):
        limits = dict(self.LIMITS, upper_warning=None, upper_alert=None)
        assert self.lights([0, 0.1, -3, -1], limits) == ["yellow", "green", "red", "yellow"]

    def test_no_or_incomplete_limits_have_no_light(self):
        none = dict.fromkeys(self.LIMITS)
        assert self.lights([1.0], none) == [None]
        assert self.lights([1.0], dict(none, upper_warning=6.0)) == [None]

    def test_result_reports_the_limits_read(self):
        frame = rows(X_Overall=[1.0, 2.0])
        result = HI.pre_feature_light(frame, {"X_Overall": self.LIMITS})
        assert result == {"X_Overall": {**self.LIMITS, "light": "green"}}

    def test_feature_without_limits_returns_the_conversion_error(self):
        assert HI.pre_feature_light(rows(X_Overall=[1.0]), {}) == "could not convert string to float: ''"


class TestISO20816:
    @pytest.mark.parametrize("power, foundation, limits", [
        (15, "Rigid", (2.8, 4.5)), (300, "Rigid", (2.8, 4.5)), (300, "Flexible", (4.5, 7.1)),
        (300.5, "Rigid", (4.5, 7.1)), (1000, "Flexible", (7.1, 11.0)),
    ])
    def test_limit_table(self, power, foundation, limits):
        assert HI.ISO20816_overall(power, foundation) == {
            "warning": limits[0], "alert": limits[1], "error_stage": "None", "error_message": "None"}

    @pytest.mark.parametrize("power, foundation, message", [
        (14.9, "Rigid", "Power must be greater than or equal to 15 kW."),
        (float("nan"), "Flexible", "Power must be greater than or equal to 15 kW."),
        (100, "rigid", "foundation_type must be 'Rigid' or 'Flexible'."),
        (10, "concrete", "foundation_type must be 'Rigid' or 'Flexible'."),
        ("100", "Rigid", "'>=' not supported between instances of 'str' and 'int'"),
    ])
    def test_incomplete_information(self, power, foundation, message):
        assert HI.ISO20816_overall(power, foundation) == {
            "warning": None, "alert": None, "error_stage": "Incomplete information", "error_message": message}

    def test_lights_by_overall_mean(self):
        frame = rows(X_Overall=[2.8], Y_Overall=[2.81], Z_Overall=[4.5], X_Peak=[100.0], X_Overall_QC=[9.0])
        result = HI.ISO20816_light(frame, 2.8, 4.5)
        assert {k: v["light"] for k, v in result.items()} == {
            "X_Overall": "green", "Y_Overall": "yellow", "Z_Overall": "yellow"}
        assert result["X_Overall"] == {"warning": 2.8, "alert": 4.5, "light": "green",
                                       "error_stage": "None", "error_message": "None"}
        assert HI.ISO20816_light(rows(X_Overall=[4.51]), 2.8, 4.5)["X_Overall"]["light"] == "red"

    def test_text_limits_grade_the_same_and_are_reported_unchanged(self):
        result = HI.ISO20816_light(rows(X_Overall=[3.0]), "2.8", "4.5")
        assert result["X_Overall"]["light"] == "yellow" and result["X_Overall"]["warning"] == "2.8"

    def test_edge_frames(self):
        assert HI.ISO20816_light(rows(X_Peak=[1.0]), 2.8, 4.5) == {}
        assert HI.ISO20816_light(rows(X_Overall=[np.nan]), 2.8, 4.5)["X_Overall"]["light"] is None
        assert HI.ISO20816_light(pd.DataFrame({"X_Overall": [1.0]}), 2.8, 4.5) == "'_time'"
        assert HI.ISO20816_light(rows(X_Overall=[1.0]), "high", 4.5) == "could not convert string to float: 'high'"

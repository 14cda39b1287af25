"""Training and testing pipelines: the model dictionary end to end."""

import functools
import math
import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.preprocessing import MinMaxScaler, StandardScaler

from algo import synthetic
from algo.HI import HI

TYPICAL = "0,0,0,1,2,1,1,1"
MODEL_KEYS = [
    "T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name", "datetime_name",
    "rul_deadline_t_square", "rul_deadline", "time_scale", "training_anomalies", "model_bias",
    "training_model_robust_index", "training_model_robust_status", "algo_config", "codebook_setup",
    "is_error", "error_code", "error_stage", "error_message", "build_time", "start_time", "end_time",
]
ERROR_KEYS = [
    "T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name", "datetime_name",
    "rul_deadline_t_square", "rul_deadline", "time_scale", "training_anomalies", "model_bias",
    "training_model_robust_index", "training_model_robust_status", "algo_config", "build_time",
    "start_time", "end_time", "codebook_setup", "is_error", "error_code", "error_stage", "error_message",
]
TEST_KEYS = ["T2", "HI_Score", "rul_deadline", "suspicious_variable",
             "is_error", "error_code", "error_stage", "error_message"]


@functools.lru_cache(maxsize=None)
def _history(hours):
    return synthetic.machine_frame("2024-03-01", periods=hours * 3600, freq="1s", seed=hours)


def history(hours=3):
    return _history(hours).copy()


def batch(start="2024-03-02 00:00", minutes=60, seed=99):
    return synthetic.machine_frame(start, periods=minutes * 60, freq="1s", seed=seed)


@functools.lru_cache(maxsize=None)
def _trained(config, hours):
    return HI.training_model(history(hours), config)


def trained(config=TYPICAL, hours=3):
    model = _trained(config, hours)
    assert model["is_error"] == "False", model["error_message"]
    return model


def assert_failed(result, stage, message=None):
    assert result["is_error"] == "True" and result["error_stage"] == stage, result["error_message"]
    if message is not None:
        assert message in result["error_message"]


class TestTypicalRoad:
    def test_raw_export_trains_and_scores_consistently(self):
        raw = synthetic.machine_frame("2024-03-01", periods=3 * 3600, seed=3, raw_labels=True)
        model = HI.training_model(HI.rename_columns(raw), TYPICAL)
        assert list(model) == MODEL_KEYS
        assert (model["is_error"], model["error_code"], model["error_stage"], model["error_message"]) == (
            "False", "None", "None", "None")
        assert model["time_scale"] == "min" and model["datetime_name"] == "_time"
        assert isinstance(model["scaler"], StandardScaler) and model["codebook_setup"] is None
        assert model["start_time"] == "2024-03-01 00:00:00" and model["end_time"] == "2024-03-01 02:59:59"
        t2 = model["T2"]["tsquare"]
        assert len(t2) == 180 and model["T2"].index.name == "_time"
        expected_deadline = max(100 * 0.9 ** ((t2.mean() + 12 * t2.std()) / model["ucl"]), 0.0)
        assert model["rul_deadline"] == pytest.approx(expected_deadline)
        assert model["rul_deadline_t_square"] == pytest.approx(t2.mean() + 12 * t2.std())
        robust = round(1 - max(model["training_anomalies"], model["model_bias"]), 2)
        assert model["training_model_robust_index"] == robust
        assert model["training_model_robust_status"] == ("verify" if robust >= 0.9 else "warning")

        result = HI.testing_model(batch(), model)
        assert list(result) == TEST_KEYS and result["is_error"] == "False", result["error_message"]
        assert len(result["T2"]) == 60 and result["rul_deadline"] == model["rul_deadline"]
        assert result["HI_Score"]["Score"].between(0, 100).all()

    def test_scoring_the_training_rows_reproduces_the_training_t2(self):
        model = trained()
        result = HI.testing_model(history(), model)
        pd.testing.assert_frame_equal(result["T2"], model["T2"], rtol=1e-9)
        pd.testing.assert_frame_equal(result["HI_Score"], model["HI_Score"], rtol=1e-9)

    def test_whitespace_around_fields_changes_nothing(self):
        spaced = HI.training_model(history(), " 0 , 0,0 ,1, 2,1 ,1,  1 ")
        pd.testing.assert_frame_equal(spaced["T2"], trained()["T2"])
        assert spaced["algo_config"] == " 0 , 0,0 ,1, 2,1 ,1,  1 "

    def test_caller_frame_is_untouched(self):
        df = history()
        before = df.copy()
        HI.training_model(df, TYPICAL)
        HI.testing_model(df, trained())
        pd.testing.assert_frame_equal(df, before)

    def test_model_survives_pickle(self):
        model = trained()
        restored = pickle.loads(pickle.dumps(model))
        new = batch()
        pd.testing.assert_frame_equal(HI.testing_model(new, restored)["T2"], HI.testing_model(new, model)["T2"])

    def test_suspicious_variable_names_the_faulty_feature(self):
        faulty = batch()
        faulty["Z_Peak"] *= 6
        result = HI.testing_model(faulty, trained())
        assert result["suspicious_variable"] == "Z_Peak"

    def test_no_alarm_names_nothing(self):
        lenient = dict(trained(), ucl=1e12)
        assert HI.testing_model(batch(), lenient)["suspicious_variable"] is None


class TestConfigurationFields:
    @pytest.mark.parametrize("config, stage", [
        ("0,0,0,1,2,1,1", "Error_02"),
        ("0,0,0,1,2,1,1,1,1", "Error_02"),
        ("2,0,0,1,2,1,1,1", "Error_06"),   # binned features need a time scale
        ("2,0,0,1,2,1,1,2", "Error_09"),   # rolling features do not; the dictionary does
        ("0,0,0,4,2,1,1,1", "Error_06"),   # no family record
        ("0,0,0,1,4,1,1,1", "Error_08"),   # nothing scaled
        ("0,0,0,1,2,0,1,1", "Error_09"),   # no model, no deadline
        ("0,0,0,1,2,1,3,1", "Error_09"),   # no deadline
    ])
    def test_invalid_values_fail_at_their_stage(self, config, stage):
        assert_failed(HI.training_model(history(), config), stage)

    def test_field_count_messages_are_the_unpacking_ones(self):
        assert HI.training_model(history(), "0,0,0,1,2,1,1")["error_message"] == (
            "not enough values to unpack (expected 8, got 7)")
        assert HI.training_model(history(), "0,0,0,1,2,1,1,1,1")["error_message"] == (
            "too many values to unpack (expected 8)")

    def test_error_form(self):
        result = HI.training_model(history(), "0,0,0,1,2,1,1")
        assert list(result) == ERROR_KEYS
        assert result["datetime_name"] == "_time" and result["training_model_robust_status"] == "None"
        assert all(result[k] is None for k in ERROR_KEYS if k not in (
            "datetime_name", "training_model_robust_status", "is_error", "error_code", "error_stage",
            "error_message"))

    def test_hour_scale(self):
        model = trained("1,0,0,1,2,1,1,1", hours=6)
        assert model["time_scale"] == "h" and len(model["T2"]) == 6

    def test_thin_hours_are_dropped_on_the_hour_scale(self):
        df = history(6)
        df = df.drop(df.index[3600:3600 + 2000])  # the second hour keeps 1600 rows
        model = HI.training_model(df, "1,0,0,1,2,1,1,1")
        assert len(model["T2"]) == 5 and pd.Timestamp("2024-03-01 01:00") not in model["T2"].index

    def test_families_by_feature_setting(self):
        record = trained()["indicator_col_name"]
        assert record.time[:3] == ["X_Overall", "Y_Overall", "Z_Overall"] and "X_Peak_to_Peak" in record.time
        assert len(record.frequency) == 30 and record.fail_mode == list(synthetic.FAIL_MODES)
        assert all("QC" not in c and "percentage" not in c for c in record.time + record.fail_mode)
        two = trained("0,0,0,2,2,1,1,1")["indicator_col_name"]
        assert two.fail_mode == [] and two.time == record.time
        three = trained("0,0,0,3,2,1,1,1")
        assert three["indicator_col_name"].time == [] and three["indicator_col_name"].fail_mode == []
        assert all(c.endswith(("_max", "_mean")) for c in three["pca"].feature_names_in_)

    def test_low_resolution_features_are_screened_out(self):
        df = history()
        df["X_Power_in_Band_10"] = 0.001
        model = HI.training_model(df, "0,0,1,1,2,1,1,1")
        assert "X_Power_in_Band_10" not in model["indicator_col_name"].frequency
        assert "X_Power_in_Band_10" in trained()["indicator_col_name"].frequency

    def test_scalers_by_scale_setting(self):
        unscaled = trained("0,0,0,1,1,1,1,1")["scaler"]
        assert isinstance(unscaled, StandardScaler) and not hasattr(unscaled, "mean_")
        assert isinstance(trained("0,0,0,1,3,1,1,1")["scaler"], MinMaxScaler)

    def test_warning_line_mode(self):
        model = trained("0,0,0,1,2,1,2,1")
        assert list(model) == MODEL_KEYS + ["rul_warning_line"]
        t2 = model["T2"]["tsquare"]
        assert model["rul_deadline"] == 0 and math.isinf(model["rul_deadline_t_square"])
        assert model["rul_warning_line"] == pytest.approx(
            100 * 0.9 ** ((t2.mean() + 24 * t2.std()) / model["ucl"]))

    @pytest.mark.parametrize("setting, window", [("2", 120), ("4", 60)])
    def test_rolling_settings_score_a_window_as_one_row(self, setting, window):
        config = f"0,0,0,1,2,1,1,{setting}"
        model = trained(config)
        assert model["T2"].index.name == "_time"
        new = batch()
        result = HI.testing_model(new, model)
        t2 = result["T2"]
        assert len(t2) == 1 and t2.index.name == "_time"
        assert t2.index[0] == pd.Timestamp(new["_time"].iloc[-1])
        assert result["HI_Score"].index.equals(t2.index)

    def test_rolling_one_hour_windows(self):
        model = trained("0,0,0,1,2,1,1,3", hours=6)
        assert len(model["T2"]) == 11  # windows start every half hour and must fit in the six hours

    def test_no_extraction_models_the_rows_themselves(self):
        model = trained("0,0,0,1,2,1,1,5")
        assert len(model["T2"]) == 3 * 3600

    def test_testing_drops_outliers_by_minute_when_asked(self):
        model = trained("0,1,0,1,2,1,1,1")
        spiky = batch()
        spiky.loc[spiky.index[::97], "X_Overall"] = 1e6
        result = HI.testing_model(spiky, model)
        assert result["is_error"] == "False"
        assert result["T2"]["tsquare"].max() < HI.testing_model(spiky, trained())["T2"]["tsquare"].max()


class TestCodebook:
    @staticmethod
    def codebook(**extra):
        return {"config": {"axis": {"X": {"time_domain": [{"type": "overall_rms", "min": 0, "max": 2.6}]}}},
                **extra}

    @pytest.mark.parametrize("codebook", [None, {}, {"setup_name": "None", "config": "ignored"}])
    def test_no_filtering(self, codebook):
        model = HI.training_model(history(), TYPICAL, codebook)
        pd.testing.assert_frame_equal(model["T2"], trained()["T2"])
        assert model["codebook_setup"] is codebook

    def test_missing_setup_name_filters(self, capsys):
        df = history()
        df.loc[df.index[:3600], "X_Overall"] = 10.0  # the first hour is out of range
        model = HI.training_model(df, TYPICAL, self.codebook())
        assert model["is_error"] == "False" and len(model["T2"]) == 120
        assert model["T2"].index[0] == pd.Timestamp("2024-03-01 01:00")
        assert "[卡控] X_Overall: min=0, max=2.6, 超限筆數=" in capsys.readouterr().out

    def test_codebook_that_removes_everything_leaves_its_note(self, capsys):
        codebook = self.codebook(setup_name="pump")
        codebook["config"]["axis"]["X"]["time_domain"][0]["max"] = -1
        result = HI.training_model(history(), TYPICAL, codebook)
        assert result["is_error"] == "True"
        assert result["error_code"].startswith("No data available. After codebook filtering")

    def test_testing_enforces_lower_bounds_only(self, capsys):
        model = dict(trained(), codebook_setup=self.codebook(setup_name="pump"))
        result = HI.testing_model(batch(), model)
        assert len(result["T2"]) == 60
        assert "[卡控下限] X_Overall: min=0, 小於下限筆數=0" in capsys.readouterr().out

    def test_testing_adds_a_missing_codebook_key(self):
        model = {k: v for k, v in trained().items() if k != "codebook_setup"}
        HI.testing_model(batch(), model)
        assert model["codebook_setup"] is None


class TestTestingBoundaries:
    def test_placeholder_below_301_rows_on_the_hour_scale(self):
        model = trained("1,0,0,1,2,1,1,1", hours=6)
        short = HI.testing_model(batch(minutes=5), model)  # 300 rows
        assert list(short) == TEST_KEYS and short["is_error"] == "False"
        assert short["T2"]["tsquare"].tolist() == [-1.0] and short["HI_Score"]["Score"].tolist() == [-1.0]
        assert short["T2"].index.equals(short["HI_Score"].index)
        assert short["suspicious_variable"] == "None" and short["rul_deadline"] == model["rul_deadline"]
        enough = batch(minutes=5)
        enough = pd.concat([enough, batch("2024-03-02 00:05", minutes=1).iloc[:1]])
        scored = HI.testing_model(enough, model)
        assert scored["is_error"] == "False" and scored["T2"]["tsquare"].iloc[0] != -1.0

    def test_minute_scale_scores_short_batches(self):
        result = HI.testing_model(batch(minutes=5), trained())
        assert result["is_error"] == "False" and len(result["T2"]) == 5


class TestBadInput:
    def test_training_failures_are_reported_not_raised(self):
        no_time = history().drop(columns="_time")
        assert_failed(HI.training_model(no_time, TYPICAL), "Error_01", "_time")
        unparseable = history().assign(_time="not a time")
        assert_failed(HI.training_model(unparseable, TYPICAL), "Error_03", "NaT")
        single = history().iloc[:1]
        assert HI.training_model(single, TYPICAL)["is_error"] == "True"
        assert_failed(HI.training_model(history(), None), "Error_02", "split")
        nan_only = history()
        nan_only.iloc[:, 1:] = np.nan
        result = HI.training_model(nan_only, TYPICAL)
        assert result["is_error"] == "True" and result["error_code"].startswith("No data available")

    def test_testing_failures_are_reported_not_raised(self):
        model = trained()
        assert_failed(HI.testing_model(batch().drop(columns="_time"), model), "Error_01")
        error_model = HI.training_model(history(), "bad")
        assert_failed(HI.testing_model(batch(), error_model), "Error_03", "split")
        missing_feature = batch().drop(columns="X_Overall")
        assert_failed(HI.testing_model(missing_feature, model), "Error_05", "X_Overall")
        with pytest.raises(KeyError):
            HI.testing_model(batch(), {"algo_config": TYPICAL})

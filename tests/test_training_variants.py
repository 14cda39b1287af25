"""The training variants: IQR cleaning with retries, Chebyshev purging and good/bad comparison."""

import functools
import itertools
import math
import re
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from sklearn.preprocessing import MinMaxScaler

from algo import synthetic
from algo.HI import HI

TYPICAL = "0,0,0,1,2,1,1,1"
ROWS_AS_FEATURES = "0,0,0,1,2,1,1,5"  # no extraction: every cleaned row is a sample
CLEAN_KEYS = [
    "T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name", "datetime_name",
    "rul_deadline_t_square", "rul_deadline", "time_scale", "training_anomalies", "model_bias",
    "training_model_robust_index", "training_model_robust_status", "start_time", "end_time", "algo_config",
    "codebook_setup", "is_error", "error_code", "error_stage", "error_message", "build_time", "respond",
]
ERROR_KEYS = [
    "T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name", "datetime_name",
    "rul_deadline_t_square", "rul_deadline", "time_scale", "training_anomalies", "model_bias",
    "training_model_robust_index", "training_model_robust_status", "algo_config", "build_time",
    "start_time", "end_time", "codebook_setup", "is_error", "error_code", "error_stage", "error_message",
]
PURGE_KEYS = [
    "T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name", "datetime_name",
    "rul_deadline_t_square", "rul_deadline", "time_scale", "training_anomalies", "model_bias",
    "training_model_robust_index", "training_model_robust_status", "algo_config",
    "is_error", "error_code", "error_stage", "error_message", "build_time", "start_time", "end_time",
]
COMPARE_KEYS = [
    "T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name", "datetime_name",
    "rul_deadline", "rul_warning_line", "time_scale", "training_anomalies", "model_bias",
    "training_model_robust_index", "training_model_robust_status", "build_time", "start_time", "end_time",
]
MEETS = "Data cleaned successfully. Robustness index meets standard."
BELOW = "Robustness index still below standard. Recommended to select another time period for modeling."


@functools.lru_cache(maxsize=None)
def _machine(seconds, seed=1):
    return synthetic.machine_frame("2024-03-01", periods=seconds, freq="1s", seed=seed)


def machine(seconds=3600):
    return _machine(seconds).copy()


@functools.lru_cache(maxsize=None)
def _spiky():
    """20 minutes of rows where eight band columns each spike in 3 % of the rows.

    Cleaning that may cut only 1 % of a column leaves most spikes in and the
    model flags too many of its own rows; from a 4 % allowance on the IQR fences
    take all spikes out.
    """
    df = _machine(1200)
    rng = np.random.default_rng(0)
    for column in [c for c in df.columns if "Band" in c][:8]:
        rows = rng.choice(len(df), 36, replace=False)
        df.loc[rows, column] *= 8
    return df


def spiky():
    return _spiky().copy()


def settings(algo_config=TYPICAL, **overrides):
    return {"datetime_name": "_time", "algo_config": algo_config, "time_scale": "min", "codebook_setup": None,
            **overrides}


def without_quality_columns(df):
    return df.loc[:, ~df.columns.str.contains("percentage|QC", case=False)]


def trained_on_cleaned_rows(df, max_ratio, algo_config):
    """What one cleaning pass should give: the training pipeline on the IQR-cleaned rows."""
    cleaned = HI.IQR_outlier_percent_clean(without_quality_columns(df), max_ratio, "_time")
    model = HI.training_model(cleaned, algo_config)
    assert model["is_error"] == "False", model["error_message"]
    return model


def assert_same_model(result, expected):
    pd.testing.assert_frame_equal(result["T2"], expected["T2"])
    pd.testing.assert_frame_equal(result["HI_Score"], expected["HI_Score"])
    for key in ("ucl", "rul_deadline_t_square", "rul_deadline", "training_anomalies", "model_bias",
                "training_model_robust_index", "training_model_robust_status", "start_time", "end_time"):
        assert result[key] == expected[key], key


@pytest.fixture
def cleaning_ratios(monkeypatch):
    """The max_ratio of every cleaning pass, recorded through the module global."""
    ratios = []
    clean = HI.IQR_outlier_percent_clean

    def recording(df, max_ratio, datetime_name, *args, **kwargs):
        ratios.append(max_ratio)
        return clean(df, max_ratio, datetime_name, *args, **kwargs)

    monkeypatch.setattr(HI, "IQR_outlier_percent_clean", recording)
    return ratios


def passes(count, start=0.01, step=0.01):
    """The ratios of `count` passes, accumulated by repeated addition as the loop does."""
    return list(itertools.accumulate([start] + [step] * (count - 1)))


def assert_failed(result, stage, message=None, note="None"):
    assert list(result) == ERROR_KEYS
    assert (result["is_error"], result["error_stage"], result["error_code"]) == ("True", stage, note), (
        result["error_message"])
    if message is not None:
        assert result["error_message"] == message


def unbound(name):
    return f"cannot access local variable '{name}' where it is not associated with a value"


class TestOutlierCleanPasses:
    def test_clean_data_needs_one_pass(self, cleaning_ratios):
        df = machine()
        result = HI.outlier_clean(df, settings())
        assert cleaning_ratios == [0.01]
        assert list(result) == CLEAN_KEYS and result["respond"] == MEETS
        assert (result["is_error"], result["error_code"], result["error_stage"], result["error_message"]) == (
            "False", "None", "None", "None")
        assert result["training_model_robust_status"] == "verify" and result["datetime_name"] == "_time"
        assert result["algo_config"] == TYPICAL and result["time_scale"] == "min"
        assert_same_model(result, trained_on_cleaned_rows(df, 0.01, TYPICAL))

    def test_outliers_are_cleaned_with_a_growing_allowance(self, cleaning_ratios):
        df = spiky()
        result = HI.outlier_clean(df, settings(ROWS_AS_FEATURES))
        used = list(cleaning_ratios)
        assert used == passes(4)
        assert result["respond"] == MEETS and result["training_model_robust_index"] >= 0.9
        assert_same_model(result, trained_on_cleaned_rows(df, used[-1], ROWS_AS_FEATURES))
        for ratio in used[:-1]:  # every earlier pass fell short
            assert trained_on_cleaned_rows(df, ratio, ROWS_AS_FEATURES)["training_model_robust_index"] < 0.9

    def test_no_pass_meeting_the_standard_returns_the_last(self, cleaning_ratios):
        df = spiky()
        result = HI.outlier_clean(df, settings(ROWS_AS_FEATURES), 0.01, 0.01, 0.03)
        assert cleaning_ratios == passes(3)
        assert result["respond"] == BELOW and list(result) == CLEAN_KEYS
        assert result["training_model_robust_status"] == "warning" and result["is_error"] == "False"
        assert_same_model(result, trained_on_cleaned_rows(df, cleaning_ratios[-1], ROWS_AS_FEATURES))

    def test_the_allowance_grows_by_repeated_addition(self, cleaning_ratios, monkeypatch):
        monkeypatch.setattr(HI, "T2_Anomaly_Rate", lambda values, ucl: 0.5)  # never robust
        result = HI.outlier_clean(machine(600), settings(ROWS_AS_FEATURES), 0.01, 0.01, 0.06)
        # five passes: the sixth allowance adds up to 0.060000000000000005
        assert cleaning_ratios == passes(5) and result["respond"] == BELOW
        assert result["training_model_robust_index"] == 0.5

    def test_start_above_the_limit_runs_no_pass(self, cleaning_ratios):
        result = HI.outlier_clean(machine(), settings(), 0.6)
        assert cleaning_ratios == []
        assert_failed(result, "Error_06", unbound("result"))

    @pytest.mark.parametrize("step", [0.0, -0.01, 1e-20])
    def test_a_step_that_does_not_grow_the_allowance_is_refused(self, step, cleaning_ratios):
        result = HI.outlier_clean(spiky(), settings(ROWS_AS_FEATURES), 0.01, step)
        assert cleaning_ratios == [0.01]
        assert_failed(result, "Error_09", f"max_ratio_step must make max_ratio grow: 0.01 + {step!r} gives "
                                          f"{0.01 + step!r}")
        # data that meets the standard at once never needs the step
        assert HI.outlier_clean(machine(), settings(), 0.01, step)["respond"] == MEETS

    def test_warning_line_mode(self):
        result = HI.outlier_clean(machine(), settings("0,0,0,1,2,1,2,1"))
        assert list(result) == CLEAN_KEYS[:-1] + ["rul_warning_line", "respond"]
        t2 = result["T2"]["tsquare"]
        assert result["rul_deadline"] == 0 and math.isinf(result["rul_deadline_t_square"])
        assert result["rul_warning_line"] == pytest.approx(100 * 0.9 ** ((t2.mean() + 24 * t2.std()) / result["ucl"]))

    def test_caller_data_is_untouched(self):
        df, dictionary = spiky(), settings(ROWS_AS_FEATURES)
        before, kept = df.copy(), dict(dictionary)
        HI.outlier_clean(df, dictionary, 0.01, 0.01, 0.02)
        pd.testing.assert_frame_equal(df, before)
        assert dictionary == kept


class TestOutlierCleanSettings:
    def test_the_dictionary_names_the_time_column_and_scale(self):
        df = machine().rename(columns={"_time": "stamp"})
        # the first field is read but not used: the dictionary gives the scale
        result = HI.outlier_clean(df, settings("7,0,0,1,2,1,1,1", datetime_name="stamp"))
        assert result["is_error"] == "False", result["error_message"]
        assert result["datetime_name"] == "stamp" and result["T2"].index.name == "stamp"
        pd.testing.assert_frame_equal(result["T2"].rename_axis("_time"), HI.outlier_clean(machine(), settings())["T2"])

    def test_thin_hours_are_dropped_below_2500_rows(self):
        # uniform values: the IQR fences mark nothing, so every hour keeps its rows
        rng = np.random.default_rng(0)
        df = pd.DataFrame({"_time": pd.date_range("2024-03-01", periods=5 * 3600, freq="s")})
        for column in ["X_Overall", "X_Power_in_Band_01", "Y_Power_in_Band_02", "Bearing"]:
            df[column] = rng.uniform(1, 2, len(df))
        df = df.drop(df.index[3600:4800])  # the second hour keeps 2400 rows
        result = HI.outlier_clean(df, settings("1,0,0,1,2,1,1,1", time_scale="h"))
        assert result["T2"].index.hour.tolist() == [0, 2, 3, 4]

    def test_families_by_feature_setting(self):
        df = machine()
        record = HI.outlier_clean(df, settings())["indicator_col_name"]
        assert len(record.time) == 12 and len(record.frequency) == 30
        assert record.fail_mode == list(synthetic.FAIL_MODES)  # "Gear_mesh" included
        assert not {"RPM", "Temperature"} & set(record.time + record.frequency + record.fail_mode)
        two = HI.outlier_clean(df, settings("0,0,0,2,2,1,1,1"))["indicator_col_name"]
        assert two.fail_mode == [] and two.time == record.time
        three = HI.outlier_clean(df, settings("0,0,0,3,2,1,1,1"))
        assert three["indicator_col_name"].time == [] and three["indicator_col_name"].fail_mode == []
        assert all("_Power_in_Band_" in c for c in three["pca"].feature_names_in_)

    def test_low_resolution_columns_leave_the_cleaned_frame(self, monkeypatch):
        seen = []
        clean = HI.IQR_outlier_percent_clean
        monkeypatch.setattr(HI, "IQR_outlier_percent_clean",
                            lambda df, *args: seen.append(list(df.columns)) or clean(df, *args))
        df = machine()
        df["X_Power_in_Band_10"] = np.where(np.arange(len(df)) % 100 == 0, 5.0, 0.001)
        result = HI.outlier_clean(df, settings("0,0,1,1,2,1,1,1"))
        assert "X_Power_in_Band_10" not in result["indicator_col_name"].frequency
        assert "X_Power_in_Band_10" not in seen[0]  # its rare high readings cost no rows

    @pytest.mark.parametrize("algo_config, stage, message", [
        ("0,0,0,1,2,1,1", "Error_02", "not enough values to unpack (expected 8, got 7)"),
        ("0,0,0,1,2,1,1,1,1", "Error_02", "too many values to unpack (expected 8)"),
        ("0,0,0,4,2,1,1,1", "Error_06", unbound("indicator_col_name")),
        ("0,0,0,4,2,1,1,5", "Error_09", unbound("indicator_col_name")),
        ("0,0,0,1,4,1,1,1", "Error_08", unbound("df_scaled")),
        ("0,0,0,1,2,0,1,1", "Error_09", unbound("T2")),
        ("0,0,0,1,2,1,3,1", "Error_09", unbound("rul_deadline_t_square")),
    ])
    def test_invalid_fields_fail_at_their_stage(self, algo_config, stage, message):
        assert_failed(HI.outlier_clean(machine(), settings(algo_config)), stage, message)

    def test_error_form_reports_the_fixed_time_name(self):
        df = machine().rename(columns={"_time": "stamp"})
        result = HI.outlier_clean(df, settings("0,0,0,1,2,1,1", datetime_name="stamp"))
        assert_failed(result, "Error_02")
        assert result["datetime_name"] == "_time" and result["training_model_robust_status"] == "None"
        assert all(result[k] is None for k in ERROR_KEYS[:21] if k not in ("datetime_name",
                                                                           "training_model_robust_status"))

    @pytest.mark.parametrize("missing, stage", [
        ("datetime_name", "Error_02"), ("algo_config", "Error_02"), ("time_scale", "Error_02"),
        ("codebook_setup", "Error_03"),
    ])
    def test_missing_dictionary_keys_are_reported(self, missing, stage):
        dictionary = {k: v for k, v in settings().items() if k != missing}
        assert_failed(HI.outlier_clean(machine(), dictionary), stage, repr(missing))

    def test_stages_of_bad_rows(self):
        assert_failed(HI.outlier_clean(machine().drop(columns="_time"), settings()), "Error_01")
        assert_failed(HI.outlier_clean(machine().assign(_time="never"), settings()), "Error_03")
        # two minutes: too little to model, and the limit's n - k hits zero
        assert_failed(HI.outlier_clean(machine(120), settings()), "Error_08", "division by zero",
                      note="Data is not sufficient for modeling.")


class TestOutlierCleanCodebook:
    @staticmethod
    def codebook(**extra):
        return {"config": {"axis": {"X": {"time_domain": [{"type": "overall_rms", "min": 0, "max": 5}]}}},
                **extra}

    @pytest.mark.parametrize("codebook", [None, {}, {"setup_name": "None", "config": "ignored"}])
    def test_no_filtering(self, codebook, capsys):
        result = HI.outlier_clean(machine(), settings(codebook_setup=codebook))
        pd.testing.assert_frame_equal(result["T2"], HI.outlier_clean(machine(), settings())["T2"])
        assert result["codebook_setup"] is codebook and capsys.readouterr().out == ""

    @pytest.mark.parametrize("name", [{}, {"setup_name": "pump"}])
    def test_filtering_keeps_the_rows_in_range(self, name, capsys):
        df = machine()
        df.loc[df.index[:1200], "X_Overall"] = 10.0  # the first 20 minutes are out of range
        codebook = self.codebook(**name)
        result = HI.outlier_clean(df, settings(codebook_setup=codebook))
        assert result["is_error"] == "False" and result["codebook_setup"] is codebook
        assert result["T2"].index.min() >= pd.Timestamp("2024-03-01 00:20")
        assert "[卡控] X_Overall: min=0, max=5, 超限筆數=1200" in capsys.readouterr().out

    def test_removing_every_row_sets_no_note(self, capsys):
        codebook = self.codebook(setup_name="pump")
        codebook["config"]["axis"]["X"]["time_domain"][0]["max"] = -1
        assert_failed(HI.outlier_clean(machine(), settings(codebook_setup=codebook)), "Error_03")


def scaled_minute_features(df):
    """The standardised minute features of all families, prepared as a training pipeline does."""
    rows = without_quality_columns(df.set_index("_time"))
    groups = {"time": ("Overall", "Peak", "Crest"), "frequency": ("Band",),
              "fail_mode": ("Bearing", "Looseness", "Misalignment", "Imbalance", "Gear", "Van")}
    families, placed = {}, set()
    for family, keywords in groups.items():
        families[family] = [c for c in rows.columns if c not in placed and any(k in c for k in keywords)]
        placed.update(families[family])
    record = SimpleNamespace(**families)
    features, _ = HI.feature_extraction(rows, record, "min")
    return HI.standardize(features)[0]


PURGE_LINE = re.compile(r"第 \d+ 次篩選：UCL = \d+\.\d{3}，移除 \d+ 筆；UCL 變化量 = (inf|\d+\.\d{4})")


def disturbed():
    """Two hours of minute features, one of whose minutes the purge takes out."""
    df = machine(2 * 3600)
    df.loc[df.index[600:660], "X_Power_in_Band_07"] *= 3
    return df


class TestChebyshevPurgingPipeline:
    def test_model_of_the_kept_rows_scores_every_row(self, capsys):
        df = disturbed()
        scaled = scaled_minute_features(df)
        kept = HI.purge_by_chebyshev(scaled)[0]
        expected_out = capsys.readouterr().out
        lines = expected_out.splitlines()
        assert all(PURGE_LINE.fullmatch(line) for line in lines[:-2])
        assert lines[-2:] == ["Chebyshev purging 收斂 ✅", f"最終保留樣本數：{len(kept)}"]
        purged = scaled.index.difference(kept.index)
        assert len(purged) > 0

        result = HI.outlier_chebyshev_T2_purging(df, TYPICAL)
        assert capsys.readouterr().out == expected_out
        assert list(result) == PURGE_KEYS
        mu, cov, ucl, pca = HI.health_modeling(kept)
        np.testing.assert_allclose(result["mu"], mu)
        np.testing.assert_allclose(result["cov"], cov)
        assert result["ucl"] == pytest.approx(ucl)
        t2 = HI.cal_T2(scaled, pca, mu, cov, scaled.index)[0]
        pd.testing.assert_frame_equal(result["T2"], t2, check_index_type=False)
        assert list(result["T2"].index) == list(scaled.index)  # the purged rows are scored too
        pd.testing.assert_frame_equal(result["HI_Score"], HI.Health_Index(t2, ucl, 0.9), check_index_type=False)
        assert result["training_anomalies"] == HI.T2_Anomaly_Rate(t2["tsquare"].values, ucl)

    def test_status_and_fixed_entries(self, capsys):
        result = HI.outlier_chebyshev_T2_purging(disturbed(), TYPICAL)
        assert (result["is_error"], result["error_code"], result["error_stage"], result["error_message"]) == (
            "False", "None", "None", "None")
        assert "codebook_setup" not in result and result["datetime_name"] == "_time"
        assert result["algo_config"] == TYPICAL and result["time_scale"] == "min"
        assert (result["start_time"], result["end_time"]) == ("2024-03-01 00:00:00", "2024-03-01 01:59:59")
        t2 = result["T2"]["tsquare"]
        assert result["rul_deadline_t_square"] == pytest.approx(t2.mean() + 12 * t2.std())
        robust = round(1 - max(result["training_anomalies"], result["model_bias"]), 2)
        assert result["training_model_robust_index"] == robust

    def test_warning_line_mode(self, capsys):
        result = HI.outlier_chebyshev_T2_purging(machine(), "0,0,0,1,2,1,2,1")
        assert list(result) == PURGE_KEYS + ["rul_warning_line"]
        t2 = result["T2"]["tsquare"]
        assert result["rul_deadline"] == 0 and math.isinf(result["rul_deadline_t_square"])
        assert result["rul_warning_line"] == pytest.approx(100 * 0.9 ** ((t2.mean() + 24 * t2.std()) / result["ucl"]))

    def test_model_field_is_ignored_and_field_8_4_extracts_nothing(self, capsys):
        result = HI.outlier_chebyshev_T2_purging(machine(600), "0,0,0,1,2,0,1,4")
        assert result["is_error"] == "False" and result["pca"] is not None
        assert len(result["T2"]) == 600 and "X_Overall" in result["pca"].feature_names_in_

    @pytest.mark.parametrize("algo_config, name", [
        ("2,0,0,1,2,1,1,1", "time_scale"),            # binned features need the scale
        ("2,0,0,1,2,1,1,2", "time_scale"),            # rolling ones do not; the dictionary does
        ("0,0,0,4,2,1,1,1", "indicator_col_name"),
        ("0,0,0,1,4,1,1,1", "df_scaled"),
        ("0,0,0,1,2,1,3,1", "rul_deadline_t_square"),
    ])
    def test_unset_fields_raise(self, algo_config, name, capsys):
        with pytest.raises(UnboundLocalError, match=f"^{re.escape(unbound(name))}$"):
            HI.outlier_chebyshev_T2_purging(machine(), algo_config)

    @pytest.mark.parametrize("algo_config, message", [
        ("0,0,0,1,2,1,1", "not enough values to unpack (expected 8, got 7)"),
        ("0,0,0,1,2,1,1,1,1", "too many values to unpack (expected 8)"),
    ])
    def test_field_count_raises(self, algo_config, message):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            HI.outlier_chebyshev_T2_purging(machine(), algo_config)


def bad_period(days=90):
    start = pd.Timestamp("2024-03-01") + pd.Timedelta(days=days)
    return synthetic.machine_frame(start, periods=1800, freq="1s", seed=2, fault_start="2024-03-01",
                                   fault_days=300)


def t_square(result, features):
    """T² of feature rows against a model dictionary, written out in numpy."""
    scaled = pd.DataFrame(result["scaler"].transform(features), index=features.index, columns=features.columns)
    scores = result["pca"].transform(scaled)
    centred = scores - result["mu"]
    return np.einsum("ij,jk,ik->i", centred, np.linalg.pinv(result["cov"]), centred)


@functools.lru_cache(maxsize=None)
def compared():
    return HI.training_model_GB_compare(machine(), bad_period(), "min")


class TestGoodBadComparison:
    def test_result_layout(self):
        result = compared()
        assert list(result) == COMPARE_KEYS
        assert result["datetime_name"] == "_time" and result["time_scale"] == "min"
        assert isinstance(result["scaler"], MinMaxScaler)
        record = result["indicator_col_name"]
        assert record.time == [] and record.fail_mode == [] and len(record.frequency) == 30
        assert (result["start_time"], result["end_time"]) == ("2024-03-01 00:00:00", "2024-03-01 00:59:59")
        assert len(result["T2"]) == 59  # windows of 120 rows every 60 rows over the good hour
        robust = round(1 - max(result["training_anomalies"], result["model_bias"]), 2)
        assert result["training_model_robust_index"] == robust
        assert result["training_model_robust_status"] == ("verify" if robust >= 0.9 else "warning")

    def test_deadline_and_warning_line_come_from_the_bad_period(self):
        result = compared()
        rows = bad_period().set_index("_time")[result["indicator_col_name"].frequency]
        features = pd.concat([rows.resample("min").max().add_suffix("_max"),
                              rows.resample("min").mean().add_suffix("_mean")], axis=1)
        bad_t2 = t_square(result, features)
        good_t2 = result["T2"]["tsquare"]
        ucl = result["ucl"]
        assert result["rul_deadline"] == pytest.approx(100 * 0.9 ** (bad_t2.mean() / ucl))
        midpoint = (good_t2.mean() + np.quantile(bad_t2, 0.05)) / 2
        assert result["rul_warning_line"] == pytest.approx(100 * 0.9 ** (midpoint / ucl))
        assert result["rul_deadline"] < result["rul_warning_line"] < result["HI_Score"]["Score"].min()

    def test_testing_cannot_use_the_result(self):
        result = HI.testing_model(bad_period(), compared())
        assert (result["is_error"], result["error_stage"], result["error_message"]) == (
            "True", "Error_03", "'algo_config'")

    def test_failures_raise(self):
        with pytest.raises(KeyError):
            HI.training_model_GB_compare(machine().drop(columns="_time"), bad_period(), "min")

"""The exported functions of both modules: names, order, parameters and defaults."""

import inspect

import pytest

from algo.HI import HI
from algo.RUL import RUL

REQUIRED = inspect.Parameter.empty

# name, then (parameter, default) pairs; REQUIRED marks a parameter without one
HI_FUNCTIONS = [
    ("rename_columns", ("df", REQUIRED)),
    ("feature_extraction", ("df", REQUIRED), ("indicator_col_name", REQUIRED), ("time_scale", REQUIRED)),
    ("safe_resample_max", ("df", REQUIRED), ("indicator_name", REQUIRED), ("time_scale", REQUIRED),
     ("chunk_size", 50000)),
    ("safe_resample_mean", ("df", REQUIRED), ("indicator_name", REQUIRED), ("time_scale", REQUIRED),
     ("chunk_size", 50000)),
    ("feature_extraction_rolling", ("df", REQUIRED), ("indicator_col_name", REQUIRED), ("window", REQUIRED),
     ("step", REQUIRED)),
    ("standardize", ("df", REQUIRED)),
    ("testing_scaler", ("df", REQUIRED), ("scaler", REQUIRED)),
    ("minmax_scale", ("df", REQUIRED)),
    ("testing_minmax", ("df", REQUIRED), ("scaler", REQUIRED)),
    ("health_modeling", ("df_scaled", REQUIRED), ("alpha", 0.05)),
    ("cal_T2", ("df_scaled", REQUIRED), ("pca", REQUIRED), ("model_mu", REQUIRED), ("model_cov", REQUIRED),
     ("df_scaled_index", REQUIRED)),
    ("Health_Index", ("tsquare_df", REQUIRED), ("ucl", REQUIRED), ("score_tightness", REQUIRED)),
    ("T2_Anomaly_Rate", ("tsquare_values", REQUIRED), ("ucl", REQUIRED)),
    ("SPE_residual", ("df", REQUIRED), ("df_scaled_index", REQUIRED), ("alpha", REQUIRED)),
    ("find_T2_abnormal_times", ("T2", REQUIRED), ("ucl", REQUIRED)),
    ("find_SPE_abnormal_times", ("spe_df", REQUIRED), ("spe_ucl", REQUIRED), ("residual_df", REQUIRED),
     ("top_k", 3)),
    ("SPE_residual_testing", ("df", REQUIRED), ("df_scaled", REQUIRED), ("df_scaled_index", REQUIRED),
     ("alpha", REQUIRED)),
    ("time_filter", ("df", REQUIRED), ("datetime_name", REQUIRED), ("sec_count", REQUIRED)),
    ("drop_outliers_by_min", ("df", REQUIRED), ("time_col", REQUIRED), ("exclude_cols", None), ("iqr_k", 1.5)),
    ("low_resolution", ("df", REQUIRED)),
    ("compress_by_second", ("df", REQUIRED), ("time_col", REQUIRED), ("on_conflict", "last"),
     ("want_conflicts", True)),
    ("feature_threshold_mapping", ("config_data", REQUIRED)),
    ("codebook_df_filter", ("df", REQUIRED), ("threshold_map", REQUIRED), ("control", REQUIRED),
     ("verbose", True)),
    ("training_model", ("df", REQUIRED), ("algo_config", REQUIRED), ("codebook", None)),
    ("testing_model", ("df", REQUIRED), ("dictionary", REQUIRED)),
    ("analyze_T2_anomalies", ("df_scaled_test", REQUIRED), ("df_pca_test", REQUIRED), ("df_test", REQUIRED),
     ("df_health_test", REQUIRED), ("pca", REQUIRED), ("ucl", REQUIRED), ("top_k", 3)),
    ("detect_bad_HI_zone", ("df", REQUIRED), ("threshold", REQUIRED), ("envelope_window", "1D"),
     ("envelope_method", "min"), ("envelope_param", 0.1), ("density_window", "10D"),
     ("density_threshold", 0.7)),
    ("group_alert_times", ("alert_times", REQUIRED), ("window", REQUIRED)),
    ("IQR_outlier_percent_clean", ("df", REQUIRED), ("max_ratio", REQUIRED), ("datetime_name", REQUIRED),
     ("iqr_k", 1.5)),
    ("outlier_clean", ("df", REQUIRED), ("dictionary", REQUIRED), ("max_ratio_start", 0.01),
     ("max_ratio_step", 0.01), ("max_ratio_limit", 0.5)),
    ("chebyshev_ucl", ("T2_values", REQUIRED), ("alpha", 0.05), ("one_sided", True)),
    ("purge_by_chebyshev", ("df_scaled", REQUIRED), ("alpha", 0.05), ("max_iter", 10), ("one_sided", True)),
    ("outlier_chebyshev_T2_purging", ("df", REQUIRED), ("algo_config", REQUIRED)),
    ("training_model_GB_compare", ("df_good", REQUIRED), ("df_bad", REQUIRED), ("time_scale", REQUIRED)),
    ("failure_deadline_learning", ("dfs", REQUIRED), ("dictionary", REQUIRED), ("info", REQUIRED)),
    ("pre_feature_training", ("df", REQUIRED)),
    ("pre_feature_light", ("df", REQUIRED), ("threshold", REQUIRED)),
    ("ISO20816_overall", ("power", REQUIRED), ("foundation_type", REQUIRED)),
    ("ISO20816_light", ("df", REQUIRED), ("warning", REQUIRED), ("alert", REQUIRED)),
]
HI_ALL = ["feature_extraction", "health_modeling", "Health_Index", "cal_T2", "training_model", "testing_model",
          "analyze_T2_anomalies", "detect_bad_HI_zone"]

RUL_FUNCTIONS = [
    ("rul_model", ("train", REQUIRED), ("max_RUL", REQUIRED), ("deadline", REQUIRED)),
    ("death_probability", ("predict", REQUIRED), ("UCL", REQUIRED), ("LCL", REQUIRED), ("deadline", REQUIRED)),
    ("rul_calculation", ("tsquare_df", REQUIRED), ("dictionary", REQUIRED), ("score_tightness", REQUIRED)),
]
RUL_ALL = ["rul_model", "rul_calculation"]

def exported(module):
    """The module's functions, in the order they became module attributes.

    Each extension module carries its own copy of the native function type.
    """
    native = {type(value) for value in vars(module).values() if type(value).__name__ == "native_function"}
    assert len(native) == 1
    return [name for name, value in vars(module).items() if type(value) in native]


def parameters(function):
    """(name, default) of every parameter; defaults typed, so 1 and 1.0 and True differ."""
    found = []
    for parameter in inspect.signature(function).parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, parameter
        default = parameter.default
        found.append((parameter.name, default if default is REQUIRED else (type(default), default)))
    return found


def expected_parameters(row):
    return [(name, default if default is REQUIRED else (type(default), default)) for name, default in row[1:]]


@pytest.mark.parametrize("module, table, star", [(HI, HI_FUNCTIONS, HI_ALL), (RUL, RUL_FUNCTIONS, RUL_ALL)],
                         ids=["HI", "RUL"])
def test_functions_in_order_with_their_parameters(module, table, star):
    assert exported(module) == [row[0] for row in table]
    for row in table:
        function = getattr(module, row[0])
        assert function.__name__ == row[0] and function.__module__ == module.__name__
        assert parameters(function) == expected_parameters(row), row[0]
    assert module.__all__ == star


def test_star_import_leaves_death_probability_out():
    namespace = {}
    exec("from algo.RUL.RUL import *", namespace)
    assert [name for name in namespace if not name.startswith("__")] == RUL_ALL
    assert RUL.death_probability.__doc__.startswith("使用 predict 與 deadline 的距離")
    assert RUL.rul_model.__doc__ is None and RUL.rul_calculation.__doc__ is None


def test_annotations():
    assert HI.rename_columns.__annotations__ == {"df": "pd.DataFrame", "return": "pd.DataFrame"}
    assert HI.compress_by_second.__annotations__ == {
        "df": "pd.DataFrame", "time_col": "str", "on_conflict": "str", "want_conflicts": "bool"}
    annotated = {"rename_columns", "compress_by_second"}
    assert not any(getattr(HI, row[0]).__annotations__ for row in HI_FUNCTIONS if row[0] not in annotated)

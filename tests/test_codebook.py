"""Codebook threshold maps and the range filter with its progress lines."""

import numpy as np
import pandas as pd
import pytest

from algo.HI import HI

CONFIG = {
    "config": {
        "axis": {
            "X": {
                "time_domain": [
                    {"type": "overall_rms", "min": 0, "max": 2500},
                    {"type": "peak", "min": 100},
                    {"type": "kurtosis", "max": 9.5},
                ],
                "power_in_band": [{"type": "power_in_band_01", "min": 0.5, "max": 3}],
            },
            "Y": {"power_in_band": [{"type": "Power_in_band_10"}]},
            "Z": {},
        },
        "fail_mode_thresholds": [
            {"type": "bearing", "min": 0, "max": 5},
            {"type": "Van_pass", "max": 1},
            {"type": "van_pass", "max": 2},
            {"type": "peak_to_peak"},
        ],
    },
    "setup_name": "pump 7",
}


def test_threshold_map_names_every_backend_type():
    assert HI.feature_threshold_mapping(CONFIG) == {
        "X_Overall": {"min": 0, "max": 2500},
        "X_Peak": {"min": 100, "max": None},
        "X_kurtosis": {"min": None, "max": 9.5},  # unknown types pass through
        "X_power_in_Band_01": {"min": 0.5, "max": 3},
        "Y_Power_in_Band_10": {"min": None, "max": None},
        "Bearing": {"min": 0, "max": 5},
        "Van_Pass": {"min": None, "max": 1},
        "van_pass": {"min": None, "max": 2},
        "peak_to_peak": {"min": None, "max": None},
    }
    assert list(HI.feature_threshold_mapping(CONFIG))[0] == "X_Overall"


def test_a_later_entry_replaces_an_earlier_one():
    config = {"config": {"axis": {"X": {"time_domain": [{"type": "peak", "min": 1}, {"type": "peak", "min": 2}]}},
                         "fail_mode_thresholds": [{"type": "bearing", "max": 1}, {"type": "bearing", "max": 3}]}}
    assert HI.feature_threshold_mapping(config) == {"X_Peak": {"min": 2, "max": None},
                                                    "Bearing": {"min": None, "max": 3}}


@pytest.mark.parametrize("config, error", [
    ({}, KeyError),
    ({"config": {}}, KeyError),
    ({"config": {"axis": {"X": {"time_domain": [{"min": 1}]}}}}, KeyError),
    ("config", TypeError),
])
def test_malformed_configurations_raise_the_library_errors(config, error):
    with pytest.raises(error):
        HI.feature_threshold_mapping(config)


@pytest.fixture
def readings():
    return pd.DataFrame({"X_Overall": [0.0, 1.0, 2.5, np.nan, 4.0], "X_Peak": [10, 20, 30, 40, 50]},
                        index=pd.date_range("2024-01-01", periods=5, freq="s", name="_time"))


def test_all_limits_inclusive_with_exact_progress_lines(readings, capsys):
    limits = {"X_Overall": {"min": 1.0, "max": 2.5}, "Temperature": {"min": 0}, "X_Peak": {"min": None, "max": 40}}
    kept, removed = HI.codebook_df_filter(readings, limits, "all")
    assert capsys.readouterr().out.splitlines() == [
        "[卡控] X_Overall: min=1.0, max=2.5, 超限筆數=3",
        "[跳過] df中沒有欄位: Temperature",
        "[卡控] X_Peak: min=None, max=40, 超限筆數=1",  # counted again though X_Overall rejects it already
        "原始筆數: 5",
        "保留筆數: 2",
        "刪除筆數: 3",
    ]
    assert kept["X_Overall"].tolist() == [1.0, 2.5]  # the missing value fails its comparison
    pd.testing.assert_frame_equal(pd.concat([kept, removed]).sort_index(), readings, check_freq=False)


def test_min_control_ignores_upper_limits(readings, capsys):
    kept, removed = HI.codebook_df_filter(readings, {"X_Peak": {"min": 20, "max": 30}}, "min")
    assert capsys.readouterr().out.splitlines() == [
        "[卡控下限] X_Peak: min=20, 小於下限筆數=1", "原始筆數: 5", "保留筆數: 4", "刪除筆數: 1"]
    assert kept["X_Peak"].tolist() == [20, 30, 40, 50] and removed.index.equals(readings.index[:1])


def test_empty_limits_filter_nothing_but_still_report(readings, capsys):
    kept, removed = HI.codebook_df_filter(readings, {"X_Overall": {"min": None, "max": None}}, "all")
    assert capsys.readouterr().out.splitlines()[0] == "[卡控] X_Overall: min=None, max=None, 超限筆數=0"
    pd.testing.assert_frame_equal(kept, readings)
    assert removed.empty and list(removed.columns) == list(readings.columns)


def test_quiet_run_prints_nothing_and_returns_copies(readings, capsys):
    limits = {"X_Overall": {"min": 1.0}, "RPM": {"min": 0}}
    loud = HI.codebook_df_filter(readings, limits, "all")
    capsys.readouterr()
    kept, removed = HI.codebook_df_filter(readings, limits, "all", verbose=False)
    assert capsys.readouterr().out == ""
    pd.testing.assert_frame_equal(kept, loud[0])
    pd.testing.assert_frame_equal(removed, loud[1])
    kept.iloc[0, 0] = -1.0
    assert readings["X_Overall"].iloc[1] == 1.0


@pytest.mark.parametrize("control", ["max", "ALL", None])
def test_unknown_control_fails_before_printing(readings, capsys, control):
    with pytest.raises(ValueError, match="^control 只允許 'all' 或 'min'$"):
        HI.codebook_df_filter(readings, {"Missing": {"min": 0}}, control)
    assert capsys.readouterr().out == ""

"""The configuration's typed view means what the native pipelines do with each field's values."""

import pytest
from sklearn.preprocessing import MinMaxScaler, StandardScaler

from algo import config, synthetic
from algo.checks import CheckError
from algo.config import Configuration, Deadline, Families, Features, Scaling, TimeScale
from algo.HI import HI

ROWS = 1800


def families(model):
    names = model["indicator_col_name"]
    return tuple(bool(getattr(names, family)) for family in ("time", "frequency", "fail_mode"))


def scaler(model):
    fitted = hasattr(model["scaler"], "n_features_in_")
    return type(model["scaler"]) if fitted else None


# What each value of a field does to a trained model; testing outlier removal and low-resolution screening
# only show on data made for them, and the model field has one value.
MEANINGS = {
    TimeScale.MINUTE: lambda model: model["time_scale"] == "min",
    TimeScale.HOUR: lambda model: model["time_scale"] == "h",
    Families.ALL: lambda model: families(model) == (True, True, True),
    Families.WITHOUT_FAILURE_MODES: lambda model: families(model) == (True, True, False),
    Families.FREQUENCY_BANDS: lambda model: families(model) == (False, True, False),
    Scaling.NONE: lambda model: scaler(model) is None,
    Scaling.STANDARD: lambda model: scaler(model) is StandardScaler,
    Scaling.MIN_MAX: lambda model: scaler(model) is MinMaxScaler,
    Deadline.MEAN_12_SD: lambda model: "rul_warning_line" not in model and model["rul_deadline"] > 0,
    Deadline.WARNING_LINE: lambda model: model["rul_warning_line"] > 0 and model["rul_deadline"] == 0,
    Features.TIME_BINS: lambda model: len(model["T2"]) == ROWS // 60,
    **{rolling: lambda model, window=rolling.window: len(model["T2"]) == (ROWS - window) // (window // 2) + 1
       for rolling in (Features.ROLLING_60, Features.ROLLING_120)},
}


def field_of(choice: config.Choice) -> int:
    return next(number for number, (_, _, kind) in enumerate(config.FIELDS) if kind is type(choice))


@pytest.mark.parametrize("choice", list(MEANINGS), ids=str)
def test_each_value_means_to_the_library_what_it_means_here(choice):
    fields = config.DEFAULT_CONFIG.split(",")
    fields[field_of(choice)] = choice.code
    text = ",".join(fields)
    assert getattr(Configuration.parse(text), config.FIELDS[field_of(choice)][0]) is choice
    if choice is TimeScale.HOUR:  # hour bins keep hours of at least 1800 rows
        rows = synthetic.machine_frame("2024-03-01", periods=4 * ROWS, freq="2s", seed=1)
    else:
        rows = synthetic.machine_frame("2024-03-01", periods=ROWS, seed=1)
    model = HI.training_model(rows, text)
    assert model["is_error"] == "False", model["error_message"]
    assert MEANINGS[choice](model)


@pytest.mark.parametrize("text, message", [
    ("0,0,0,1,2,1,1", "expected 8 comma-separated fields, got 7"),
    ("0,0,0,1,2,1,1,5", r"field 8 \(features\) is '5'; expected 1 \(time bins\), 2 \(rolling windows of 120"),
    ("2,0,0,1,2,1,1,1", r"field 1 \(time scale\) is '2'"),
])
def test_values_outside_the_fields_are_refused(text, message):
    with pytest.raises(CheckError, match=message):
        Configuration.parse(text)

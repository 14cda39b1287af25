"""Model dictionaries that users stored keep scoring as they did.

tests/data/stored_models.pkl holds models trained by an earlier build (with the
oldest supported releases, see tests/data/make_models.py) and the results of
scoring fixed rows with them. A change that stops the code from reading a
stored model, or scores it differently, fails here.
"""

import copy
import importlib.util
import pickle
import warnings
from pathlib import Path

import pandas as pd
import pytest

from algo.HI import HI

DATA = Path(__file__).with_name("data")


def _load(name, path):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


make_models = _load("make_models", DATA / "make_models.py")

with open(make_models.PATH, "rb") as f, warnings.catch_warnings():
    # scikit-learn warns when it loads estimators pickled by another release.
    warnings.simplefilter("ignore")
    STORED = pickle.load(f)


def test_every_configuration_family_is_stored():
    configs = {model["algo_config"] for model in STORED["models"].values()}
    assert configs == set(make_models.CONFIGS.values())
    assert "rul_warning_line" in STORED["models"]["min-max with warning line"]
    learnt, trained = STORED["models"]["minute bins, deadline learnt"], STORED["models"]["minute bins"]
    assert learnt["rul_deadline"] > trained["rul_deadline"]


@pytest.mark.parametrize("name", STORED["expected"])
def test_stored_model_scores_as_it_did(name):
    model = copy.deepcopy(STORED["models"][name])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = HI.testing_model(make_models.as_scored(STORED["rows"]), model)
    expected = STORED["expected"][name]
    assert list(result) == list(expected)
    assert result["is_error"] == "False", result["error_message"]
    # Other releases of numpy and scikit-learn may round the last bits differently.
    for key in ("T2", "HI_Score"):
        pd.testing.assert_frame_equal(result[key], expected[key], check_exact=False, rtol=1e-9,
                                      check_column_type=False)  # str labels or object labels by release
    for key in ("rul_deadline", "suspicious_variable", "error_code", "error_stage", "error_message"):
        assert result[key] == expected[key], key

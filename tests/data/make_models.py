"""Writes stored_models.pkl: model dictionaries as users keep them, and how they score.

One model per configuration family (minute bins, hour bins, rolling windows,
min-max scaling with a warning line) and one refined by failure deadline
learning, each trained on a little synthetic history, together with the rows
they are scored on and the `testing_model` results of that scoring.
tests/test_stored_models.py loads them and checks that today's code scores the
stored models the same way.

Run it with the OLDEST supported releases (.ci/min-versions.txt):

    python tests/data/make_models.py

Pickles travel from older releases to newer ones but not back: newer pandas
pickles its text labels with a dtype that older pandas cannot rebuild, so a
file written with the current releases would not load under the oldest ones.
scikit-learn loads estimators pickled by an older release with a warning
(InconsistentVersionWarning), and they transform as before.
"""

import pickle
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import sklearn

from algo.HI import HI
from algo.synthetic import machine_frame

PATH = Path(__file__).with_name("stored_models.pkl")
CONFIGS = {
    "minute bins": "0,0,0,1,2,1,1,1",
    "hour bins": "1,0,0,1,2,1,1,1",
    "rolling windows": "0,0,0,1,2,1,1,2",
    "min-max with warning line": "0,0,0,1,3,1,2,1",
}


def history(config):
    # The hour scale keeps hours of at least 1800 rows and needs a few of them.
    if config == CONFIGS["hour bins"]:
        return machine_frame("2024-03-01", periods=4 * 1800, freq="2s", seed=1)
    return machine_frame("2024-03-01", periods=1800, freq="1s", seed=1)


def scored_rows():
    """An hour of rows, 10 s apart, with a bearing fault coming up; stored as float32 to keep the file small."""
    rows = machine_frame("2024-06-01", periods=360, freq="10s", seed=7, fault_start="2024-04-01")
    return rows.astype({column: np.float32 for column in rows.columns if column != "_time"})


def as_scored(stored_rows):
    """The rows the models score: the stored float32 values, exactly, as float64."""
    return stored_rows.astype({column: np.float64 for column in stored_rows.columns if column != "_time"})


def trained_models(columns=slice(None)):
    """A model of each configuration family and one with its deadline learnt, trained on `columns` of the rows."""
    models = {name: HI.training_model(history(config).loc[:, columns], config) for name, config in CONFIGS.items()}
    # An early stage of a failure, which scores above the trained deadline and so raises it.
    failure = machine_frame("2024-05-01", periods=600, freq="1s", seed=9, fault_start="2024-03-01", fault_days=1000)
    models["minute bins, deadline learnt"] = HI.failure_deadline_learning([failure.loc[:, columns]],
                                                                          models["minute bins"], None)
    for name, model in models.items():
        assert model["is_error"] == "False", (name, model["error_message"])
    assert models["minute bins, deadline learnt"]["rul_deadline"] > models["minute bins"]["rul_deadline"]
    return models


def scores(models, stored_rows):
    """The `testing_model` result of each model on the rows."""
    expected = {name: HI.testing_model(as_scored(stored_rows), dict(model)) for name, model in models.items()}
    for name, result in expected.items():
        assert result["is_error"] == "False", (name, result["error_message"])
    return expected


def main():
    warnings.simplefilter("ignore")
    models = trained_models()
    stored_rows = scored_rows()
    expected = scores(models, stored_rows)

    versions = {"numpy": np.__version__, "pandas": pd.__version__, "scikit-learn": sklearn.__version__}
    with open(PATH, "wb") as f:
        pickle.dump({"versions": versions, "rows": stored_rows, "models": models, "expected": expected}, f,
                    protocol=4)
    print(f"wrote {PATH.name} ({PATH.stat().st_size / 1024:.0f} KiB) with {versions}")


if __name__ == "__main__":
    main()

"""Writes model_files/: model files as the oldest supported releases write them, and how they score.

A model of each configuration family (as in make_models.py, on a few columns
of every feature family so that the files stay small; a learnt deadline
changes only numbers), each in a model file, together with the rows they are
scored on (rows.parquet) and the `testing_model` results of that scoring
(expected.json, floats written exactly). tests/test_modelfile.py reads the
files with the running releases and checks that they score the same.

Run it with the OLDEST supported releases (.ci/min-versions.txt):

    python tests/data/make_model_files.py
"""

import json
import re
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import sklearn

import make_models
from algo import modelfile, writing

FOLDER = Path(__file__).with_name("model_files")
COLUMNS = ["_time", "X_Overall", "Y_Overall", "Z_Peak", "X_Power_in_Band_01", "Z_Power_in_Band_08", "Bearing",
           "Imbalance"]
SETTINGS = {"running_when": "X_Overall > 0.5"}


def file_name(family: str) -> str:
    return re.sub(r"[^a-z]+", "-", family).strip("-") + ".model"


def as_document(result: dict) -> dict:
    """A scoring result in JSON: frames as their time stamps, labels and values, the rest as it is."""
    return {key: {"index": [str(stamp) for stamp in value.index], "columns": value.columns.tolist(),
                  "values": value.to_numpy().ravel().tolist()} if isinstance(value, pd.DataFrame) else value
            for key, value in result.items()}


def main():
    warnings.simplefilter("ignore")
    models = make_models.trained_models(COLUMNS)
    del models["minute bins, deadline learnt"]
    rows = make_models.scored_rows().loc[:, COLUMNS]
    FOLDER.mkdir(exist_ok=True)
    with writing.atomic_file(FOLDER / "rows.parquet") as stream:
        rows.to_parquet(stream, index=False, compression="zstd", use_dictionary=False, write_statistics=False)
    expected = {}
    for family, result in make_models.scores(models, rows).items():
        modelfile.save(models[family], FOLDER / file_name(family), SETTINGS)
        expected[family] = {"file": file_name(family), "result": as_document(result)}
    versions = {"numpy": np.__version__, "pandas": pd.__version__, "scikit-learn": sklearn.__version__}
    document = {"versions": versions, "settings": SETTINGS, "scores": expected}
    writing.write_text(FOLDER / "expected.json", json.dumps(document, separators=(",", ":"), allow_nan=False) + "\n")
    size = sum(path.stat().st_size for path in FOLDER.iterdir())
    print(f"wrote {FOLDER.name}/ ({size / 1024:.0f} KiB) with {versions}")


if __name__ == "__main__":
    main()

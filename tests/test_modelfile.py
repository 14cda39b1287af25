"""Model files: read back as written without running code, across releases, and refused when foreign.

tests/data/model_files holds model files written under the oldest supported
releases and how they scored there (tests/data/make_model_files.py).
"""

import copy
import hashlib
import io
import json
import os
import pickle
import runpy
import warnings
import zipfile
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from sklearn.preprocessing import StandardScaler

from algo import modelfile
from algo.HI import HI

DATA = Path(__file__).with_name("data")
FILES = DATA / "model_files"
EXPECTED = json.loads((FILES / "expected.json").read_text())
make_models = SimpleNamespace(**runpy.run_path(str(DATA / "make_models.py")))
FAMILIES = [*make_models.CONFIGS, "minute bins, deadline learnt"]
SETTINGS = {"running_when": "RPM > 100"}
# The health index is numpy's exponential of T², whose last bit differs between releases.
ROUNDING = {"HI_Score": 1e-15}


@pytest.fixture(scope="module")
def models():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return make_models.trained_models()


@pytest.fixture(scope="module")
def scored():
    rows = make_models.as_scored(make_models.scored_rows())
    return lambda model: HI.testing_model(rows, copy.deepcopy(model))


def assert_same(read, written, where="model"):
    """The same values of the same types, dtypes, labels and frequencies, to the bit."""
    assert type(read) is type(written), where
    if isinstance(written, pd.DataFrame):
        pd.testing.assert_frame_equal(read, written, check_exact=True, check_freq=True, check_index_type=True,
                                      check_column_type=True, obj=where)
    elif isinstance(written, pd.Series):
        pd.testing.assert_series_equal(read, written, check_exact=True, check_freq=True, check_index_type=True,
                                       obj=where)
    elif isinstance(written, np.ndarray):
        assert read.dtype == written.dtype, where
        np.testing.assert_array_equal(read, written, err_msg=where)
    elif isinstance(written, dict):
        assert list(read) == list(written), where
        for key in written:
            assert_same(read[key], written[key], f"{where}[{key!r}]")
    elif isinstance(written, (list, tuple)):
        assert len(read) == len(written), where
        for i, (left, right) in enumerate(zip(read, written)):
            assert_same(left, right, f"{where}[{i}]")
    elif hasattr(written, "__dict__"):
        assert_same(vars(read), vars(written), where)
    else:  # the text of a float is exact; that of a time stamp names its zone
        assert (repr(read), getattr(read, "unit", None)) == (repr(written), getattr(written, "unit", None)), where


def pickled_file(model, found_format):
    payload = pickle.dumps(model)
    header = {"format": found_format, "library": "0.1.0", "settings": SETTINGS}
    if found_format == 2:
        header |= {"bytes": len(payload), "sha256": hashlib.sha256(payload).hexdigest()}
    return modelfile.MAGIC + json.dumps(header).encode() + b"\n" + payload


@pytest.mark.parametrize("family", FAMILIES)
def test_a_read_model_is_the_written_one_and_scores_bit_for_bit(models, scored, family, tmp_path, monkeypatch):
    model = models[family]
    path = modelfile.save(model, tmp_path / "pump.model", SETTINGS)

    def forbidden(*args, **kwargs):
        raise AssertionError("a model file of this format was unpickled")

    for name in ("loads", "load", "Unpickler"):
        monkeypatch.setattr(pickle, name, forbidden)
    found = modelfile.read(path)
    assert (found.format, found.settings) == (modelfile.FORMAT, SETTINGS)
    assert_same(found.model, model)
    assert_same(scored(found.model), scored(model))
    assert modelfile.dumps(found.model, found.settings) == path.read_bytes()


@pytest.mark.parametrize("family", EXPECTED["scores"])
def test_files_of_the_oldest_releases_score_as_they_did(family):
    stored = EXPECTED["scores"][family]
    found = modelfile.read(FILES / stored["file"])
    assert found.settings == EXPECTED["settings"]
    # Text labels come back as the running pandas builds them.
    assert found.model["T2"].columns.dtype == pd.Index(["tsquare"]).dtype
    rows = pd.read_parquet(FILES / "rows.parquet")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = HI.testing_model(make_models.as_scored(rows), found.model)
    assert list(result) == list(stored["result"])
    for key, expected in stored["result"].items():
        if isinstance(result[key], pd.DataFrame):
            frame = result[key]
            assert ([str(stamp) for stamp in frame.index], frame.columns.tolist()) == (expected["index"],
                                                                                     expected["columns"]), key
            np.testing.assert_allclose(frame.to_numpy().ravel(), expected["values"], rtol=ROUNDING.get(key, 0),
                                       atol=0, err_msg=key)
        else:
            assert result[key] == expected, key


ODD_VALUES = {
    "time stamp in a zone": pd.Timestamp("2024-03-31 01:30", tz="Europe/Berlin").as_unit("s"),
    "time span": pd.Timedelta(90, unit="ms").as_unit("ms"),
    "scalars": [np.float32("nan"), np.int64(-3), np.bool_(True), np.uint8(7), float("-inf"), -0.0, 2**70, None],
    "containers": (SimpleNamespace(time=["a"], frequency=[]), {"k": (1, "b")}, []),
    "frame": pd.DataFrame({"f32": np.float32([1.5, np.nan]), "i": [1, 2], "b": [True, False], "text": ["a", None],
                           "zoned": pd.DatetimeIndex(["2024-01-01", "2024-07-01"]).tz_localize("America/New_York"),
                           "naive": pd.DatetimeIndex(["2024-01-01", "NaT"]).as_unit("ms")},
                          index=pd.RangeIndex(10, 14, 2, name="row")),
    "series": pd.Series(["x", "y"], index=pd.Index([3.5, 1.0], name="at"), name="label"),
    "arrays": [np.array(["a"], dtype=object), np.array(["ab", "c"]), np.arange(6, dtype="<i2").reshape(2, 3).T,
               np.array(["2024-01-01"], dtype="M8[D]")],
}


@pytest.mark.parametrize("value", ODD_VALUES.values(), ids=ODD_VALUES)
def test_every_kind_of_value_reads_back_as_written(value):
    model = {"algo_config": "0,0,0,1,2,1,1,1", "value": value}
    assert_same(modelfile.parse(modelfile.dumps(model), "pump.model").model, model)


def rewritten(data, document=lambda doc: doc, members=None):
    """`data` with its model document and members changed and its checksum recomputed, as a forger would."""
    _, _, payload = data[len(modelfile.MAGIC):].partition(b"\n")
    source = zipfile.ZipFile(io.BytesIO(payload))
    contents = {name: source.read(name) for name in source.namelist()}
    contents[modelfile.DOCUMENT] = json.dumps(document(json.loads(contents[modelfile.DOCUMENT]))).encode()
    contents |= members or {}
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, content in contents.items():
            archive.writestr(name, content)
    forged = buffer.getvalue()
    header = {"format": 3, "bytes": len(forged), "sha256": hashlib.sha256(forged).hexdigest()}
    return modelfile.MAGIC + json.dumps(header).encode() + b"\n" + forged


def with_scaler(node):
    def change(document):
        document["items"]["scaler"] = node
        return document
    return change


def npy(array):
    buffer = io.BytesIO()
    np.save(buffer, array, allow_pickle=True)
    return buffer.getvalue()


@pytest.mark.parametrize("forge, message", [
    (lambda data, model: pickled_file(model, 2), "a pickled model file of format 2: loading it could run code"),
    (lambda data, model: pickled_file(model, 1), "convert it with modelfile.upgrade"),
    (lambda data, model: rewritten(data, with_scaler({"type": "os.system", "attributes": {}})),
     "claims a foreign type 'os.system' at model['scaler']"),
    (lambda data, model: rewritten(data, with_scaler({"type": "RandomForestClassifier"})),
     "claims a foreign type 'RandomForestClassifier'"),
    (lambda data, model: rewritten(data, with_scaler({"type": "StandardScaler", "attributes": {
        "transform": {"type": "null"}}})), "sets the attribute 'transform'"),
    (lambda data, model: rewritten(data, members={"arrays/0.npy": npy(np.array([print], dtype=object))}),
     "arrays/0.npy, which is not a plain array: Object arrays cannot be loaded"),
    (lambda data, model: rewritten(data, members={"arrays/0.npy": pickle.dumps(os.system)}),
     "arrays/0.npy, which is not a plain array"),
    (lambda data, model: rewritten(data, with_scaler({"type": "numpy", "dtype": "object", "value": 0})),
     "model['scaler'] claims the numpy scalar type 'object'"),
    (lambda data, model: rewritten(data, with_scaler({"type": "Timestamp", "value": 0, "unit": "s",
                                                      "tz": "dateutil//etc/passwd"})),
     "model['scaler'] claims the time zone 'dateutil//etc/passwd'"),
    (lambda data, model: data[:-100] + bytes([data[-100] ^ 1]) + data[-99:], "do not match the checksum"),
    (lambda data, model: data[: len(data) // 2], "cut short"),
])
def test_foreign_damaged_and_untrusted_files_are_refused(models, forge, message):
    model = models["minute bins"]
    with pytest.raises(modelfile.ModelFileError) as refused:
        modelfile.parse(forge(modelfile.dumps(model), model), "pump.model")
    text = str(refused.value)
    assert text.startswith("pump.model ") and message in text and "\n" not in text
    assert str(pickle.loads(pickle.dumps(refused.value))) == text  # errors travel from fleet workers


class StandardScalerOfOurOwn(StandardScaler):
    pass


@pytest.mark.parametrize("value, message", [
    (np.array([1, "a"], dtype=object), "model['extra'] is an array of dtype object"),
    ([1, {"b": object()}], "model['extra'][1]['b'] is a builtins.object"),
    ({1: 2}, "model['extra'][1] is keyed by something other than text"),
    (StandardScalerOfOurOwn(), "StandardScalerOfOurOwn, which a model file does not hold"),
    (pd.DataFrame({"a": pd.Categorical(["x"])}), "model['extra'] column 'a' is of dtype category"),
    (pd.Series([1], index=pd.MultiIndex.from_tuples([(1, 2)])), "model['extra'].index is a MultiIndex"),
])
def test_values_a_model_file_cannot_hold_are_refused_when_written(models, value, message):
    with pytest.raises(modelfile.ModelFileError, match="cannot write the model") as refused:
        modelfile.dumps(models["minute bins"] | {"extra": value})
    assert message in str(refused.value)


@pytest.mark.parametrize("found_format", modelfile.PICKLED_FORMATS)
def test_pickled_files_are_read_when_trusted_and_upgraded_in_place(models, scored, found_format, tmp_path):
    model = models["min-max with warning line"]
    path = tmp_path / "pump.model"
    path.write_bytes(pickled_file(model, found_format))
    trusted = modelfile.read(path, trust_pickle=True)
    assert trusted.format == found_format
    assert_same(trusted.model, model)

    assert modelfile.upgrade(path) is True
    upgraded = modelfile.read(path)
    assert (upgraded.format, upgraded.settings) == (modelfile.FORMAT, SETTINGS)
    assert_same(scored(upgraded.model), scored(model))
    assert modelfile.upgrade(path) is False
    assert os.listdir(tmp_path) == ["pump.model"]

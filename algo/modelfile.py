"""Model files: a model dictionary behind a small checked header, read without running code.

A model file is a magic line, a JSON header line (the format, the library
version, the payload's length and SHA-256, and what the host decided at
training time and must apply again when scoring, such as when the machine
counts as running), then the payload: an uncompressed zip archive of one JSON
document, `model.json`, and the `.npy` arrays it refers to.

The document describes the dictionary value by value, each value an object
whose "type" comes from a closed list: numbers, text, booleans, null, lists,
tuples, dictionaries with text keys, numpy scalars and arrays, time stamps and
time spans, frames and series with their index, the feature-family record,
and the fitted StandardScaler, MinMaxScaler and PCA as their attributes.
Reading rebuilds each value with this module's own constructors and reads the
arrays with `allow_pickle=False`: nothing in a file names code to import or
run, and a type outside the list is refused. Frames come back as the running
pandas builds them from their values, so text labels take its default dtype.

Formats 1 and 2 were pickles: a crafted one runs code when it is read, so
they are read only from a source the caller says it trusts, and `upgrade`
rewrites them in this format.
"""

from __future__ import annotations

import datetime
import functools
import hashlib
import io
import json
import pickle
import re
import zipfile
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
from algo import writing
from algo.errors import AlgoHealthError

MAGIC = b"ALGO-HEALTH-MODEL\n"
FORMAT = 3
PICKLED_FORMATS = (1, 2)  # format 1 has no checksum either
READABLE_FORMATS = (*PICKLED_FORMATS, FORMAT)
DOCUMENT = "model.json"

SCALAR_DTYPES = frozenset({"bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                           "float16", "float32", "float64"})
ARRAY_KINDS = "biufcmMU"  # numbers, booleans, time stamps, time spans, fixed-width text: no objects
TIME_UNITS = ("s", "ms", "us", "ns")
NON_FINITE = {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf")}
ZONE_NAME = re.compile(r"[A-Za-z][\w+-]*(/[\w+-]+)*")  # "Europe/Berlin", "UTC": never a path to a file


class ModelFileError(AlgoHealthError, ValueError):
    """A file that is not a model file this version can read, or a model it cannot write."""

    stage = "check"


class PickledModelFile(ModelFileError):
    """A model file of a pickled format, read only when its source is trusted."""

    def __init__(self, source: str, found_format: int):
        super().__init__(f"{source} is a pickled model file of format {found_format}: loading it could run code "
                         "written into it", "once its source is trusted, read it with {trust_pickle} or convert it "
                         "with {upgrade_model}")
        self.source = source
        self.format = found_format

    def __reduce__(self):  # travels between processes as it was raised
        return type(self), (self.source, self.format)


@functools.cache
def estimators() -> dict[str, type]:
    """The classes a model file may hold, looked up by the name it gives: only these are ever built.

    Imported when a model is first read or written, so that a command's `--help` need not load scikit-learn.
    """
    from sklearn.decomposition import PCA
    from sklearn.preprocessing import MinMaxScaler, StandardScaler

    return {"StandardScaler": StandardScaler, "MinMaxScaler": MinMaxScaler, "PCA": PCA}


@dataclass
class ModelFile:
    model: dict
    settings: dict = field(default_factory=dict)  # host settings recorded at training time
    format: int = FORMAT  # the format the file was written in


@functools.cache
def library_version() -> str:
    try:
        return metadata.version("algo-health")
    except metadata.PackageNotFoundError:
        return "unknown"


# --- files ----------------------------------------------------------------------------


def save(model: dict, path: str | Path, settings: dict | None = None) -> Path:
    """Writes `model` to `path` (whole or not at all) with the header and returns the path."""
    return writing.write_bytes(path, dumps(model, settings))


def dumps(model: dict, settings: dict | None = None) -> bytes:
    """The contents of a model file of `model`; ModelFileError names a value a model file cannot hold."""
    payload = _archive(model)
    header = {"format": FORMAT, "library": library_version(), "bytes": len(payload),
              "sha256": hashlib.sha256(payload).hexdigest(), "settings": settings or {}}
    return MAGIC + json.dumps(header).encode() + b"\n" + payload


def read(path: str | Path, *, trust_pickle: bool = False) -> ModelFile:
    """A model file written by `save`; ModelFileError when it is not one or was damaged.

    A pickled model file (formats 1 and 2) raises PickledModelFile unless `trust_pickle`.
    """
    return parse(Path(path).read_bytes(), str(path), trust_pickle=trust_pickle)


def parse(data: bytes, source: str, *, trust_pickle: bool = False) -> ModelFile:
    """The contents of a model file, read elsewhere (`source` names it in messages)."""
    header, payload = _header(data, source)
    found = header["format"]
    if found in PICKLED_FORMATS and not trust_pickle:
        raise PickledModelFile(source, found)
    if found >= 2:
        _check_payload(source, header, payload)
    model = _unpickled(payload, source) if found in PICKLED_FORMATS else _unpacked(payload, source)
    if not isinstance(model, dict) or "algo_config" not in model:
        raise ModelFileError(f"{source} holds no model dictionary")
    return ModelFile(model, header.get("settings") or {}, found)


def load(path: str | Path, *, trust_pickle: bool = False) -> dict:
    """The model dictionary of a model file written by `save`."""
    return read(path, trust_pickle=trust_pickle).model


def upgrade(path: str | Path) -> bool:
    """Rewrites a pickled model file in this format, whole or not at all; False when it already is.

    Calling it says that the file comes from a trusted source: it is unpickled.
    """
    found = read(path, trust_pickle=True)
    if found.format == FORMAT:
        return False
    save(found.model, path, found.settings)
    return True


def _header(data: bytes, source: str) -> tuple[dict, bytes]:
    if not data.startswith(MAGIC):
        raise ModelFileError(f"{source} is not a model file")
    header_line, _, payload = data[len(MAGIC):].partition(b"\n")
    try:
        header = json.loads(header_line)
    except ValueError:
        raise ModelFileError(f"{source} has a damaged model-file header") from None
    found = header.get("format") if isinstance(header, dict) else None
    if type(found) is not int or found not in READABLE_FORMATS:  # a boolean is no format
        library = header.get("library", "unknown") if isinstance(header, dict) else "unknown"
        raise ModelFileError(
            f"{source} was written by algo-health {library} in model-file format {found}; this version "
            f"({library_version()}) reads format {FORMAT}, and the pickled formats 1 and 2 from a trusted source")
    return header, payload


def _check_payload(source: str, header: dict, payload: bytes) -> None:
    recorded = header.get("bytes")
    if not isinstance(recorded, int) or not isinstance(header.get("sha256"), str):
        raise ModelFileError(f"{source} has a damaged model-file header")
    if len(payload) != recorded:
        raise ModelFileError(f"{source} is damaged: it holds {len(payload):,} bytes of model where its header "
                             f"records {recorded:,} (cut short or appended to)")
    if hashlib.sha256(payload).hexdigest() != header.get("sha256"):
        raise ModelFileError(f"{source} is damaged: its contents do not match the checksum in its header "
                             "(changed since it was written)")


def _unpickled(payload: bytes, source: str):
    try:
        return pickle.loads(payload)
    except Exception as error:  # a truncated or foreign payload
        raise ModelFileError(f"{source} holds no readable model: {error}") from None


# --- the archive ----------------------------------------------------------------------


def _archive(model: dict) -> bytes:
    encoder = _Encoder()
    document = json.dumps(encoder.value(model, "model"), allow_nan=False).encode()
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        _add_member(archive, DOCUMENT, document)
        for name, array in encoder.arrays.items():
            npy = io.BytesIO()
            np.save(npy, array, allow_pickle=False)
            _add_member(archive, name, npy.getvalue())
    return buffer.getvalue()


def _add_member(archive: zipfile.ZipFile, name: str, data: bytes) -> None:
    # A fixed date keeps the file, and so its checksum, a function of the model alone.
    archive.writestr(zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0)), data)


def _unpacked(payload: bytes, source: str):
    try:
        archive = zipfile.ZipFile(io.BytesIO(payload))
        # Stored members only: what a member unpacks to is then no larger than the file.
        if any(member.compress_type != zipfile.ZIP_STORED for member in archive.infolist()):
            raise ModelFileError(f"{source} holds compressed members, which model files never do")
        if DOCUMENT not in archive.namelist():
            raise ModelFileError(f"{source} holds no model document")
        return _Decoder(source, archive).value(json.loads(archive.read(DOCUMENT)), "model")
    except ModelFileError:
        raise
    except zipfile.BadZipFile as error:
        raise ModelFileError(f"{source} holds no readable model: {error}") from None
    except KeyError as error:
        raise ModelFileError(f"{source} holds a malformed model: a value lacks its field {error}") from None
    except (ValueError, TypeError, AttributeError, OverflowError, RecursionError) as error:
        raise ModelFileError(f"{source} holds a malformed model: {error}") from None


def _tz_name(tz, where: str) -> str | None:
    """The name the running pandas builds `tz` again from (pytz or zoneinfo, as its default is)."""
    if tz is None:
        return None
    if tz is datetime.timezone.utc:
        return "UTC"
    name = getattr(tz, "key", None) or getattr(tz, "zone", None)
    if not isinstance(name, str):
        raise ModelFileError(f"cannot write the model: {where} has the time zone {tz}, which has no name")
    return name


def _is_text(values: pd.Series) -> bool:
    if isinstance(values.dtype, pd.StringDtype):
        return True
    return values.dtype == object and all(isinstance(item, str) or pd.isna(item) for item in values)


def _path(where: str, key: str, attribute: bool) -> str:
    return f"{where}.{key}" if attribute else f"{where}[{key!r}]"


class _Encoder:
    """The document of a model, and the arrays it refers to by member name."""

    def __init__(self):
        self.arrays: dict[str, np.ndarray] = {}
        self._by_type = {
            type(None): lambda value, where: {"type": "null"},
            bool: lambda value, where: {"type": "bool", "value": value},
            int: lambda value, where: {"type": "int", "value": value},
            float: lambda value, where: {"type": "float", "value": _number(value)},
            str: lambda value, where: {"type": "text", "value": value},
            list: self._items, tuple: self._items,
            dict: self._dict, SimpleNamespace: self._namespace,
            np.ndarray: self._ndarray, pd.Timestamp: self._timestamp, pd.Timedelta: self._timedelta,
            pd.DataFrame: self._frame, pd.Series: self._series,
            **{estimator: self._estimator for estimator in estimators().values()},
        }

    def value(self, value, where: str) -> dict:
        encode = self._by_type.get(type(value))  # exact types: a subclass may behave otherwise
        if encode is not None:
            return encode(value, where)
        if isinstance(value, np.generic) and value.dtype.name in SCALAR_DTYPES:
            return {"type": "numpy", "dtype": value.dtype.name, "value": _number(value.item())}
        raise self._refused(where, f"a {type(value).__module__}.{type(value).__qualname__}")

    @staticmethod
    def _refused(where: str, what: str) -> ModelFileError:
        return ModelFileError(f"cannot write the model: {where} is {what}, which a model file does not hold")

    def _items(self, value, where):
        items = [self.value(item, f"{where}[{i}]") for i, item in enumerate(value)]
        return {"type": type(value).__name__, "items": items}

    def _attributes(self, items: dict, where: str, attribute: bool = False) -> dict:
        encoded = {}
        for key, item in items.items():
            if not isinstance(key, str):
                raise self._refused(f"{where}[{key!r}]", "keyed by something other than text")
            encoded[key] = self.value(item, _path(where, key, attribute))
        return encoded

    def _dict(self, value, where):
        return {"type": "dict", "items": self._attributes(value, where)}

    def _namespace(self, value, where):
        return {"type": "namespace", "attributes": self._attributes(vars(value), where, attribute=True)}

    def _estimator(self, value, where):
        return {"type": type(value).__name__, "attributes": self._attributes(vars(value), where, attribute=True)}

    def _ndarray(self, value, where):
        if value.dtype == object and value.ndim == 1 and all(isinstance(item, str) for item in value):
            return {"type": "text_array", "values": value.tolist()}  # scikit-learn's feature names
        if value.dtype.kind not in ARRAY_KINDS:
            raise self._refused(where, f"an array of dtype {value.dtype}")
        return {"type": "ndarray", "member": self._array(value)}

    def _array(self, value: np.ndarray) -> str:
        name = f"arrays/{len(self.arrays)}.npy"
        # The dtype alone: unpickled time stamps carry an empty metadata mapping that .npy cannot keep.
        self.arrays[name] = value.view(np.dtype(value.dtype.str))
        return name

    def _timestamp(self, value, where):
        return {"type": "Timestamp", "value": int(value.asm8.view("i8")), "unit": value.unit,
                "tz": _tz_name(value.tz, where)}

    def _timedelta(self, value, where):
        return {"type": "Timedelta", "value": int(value.asm8.view("i8")), "unit": value.unit}

    def _frame(self, value, where):
        return {"type": "DataFrame", "index": self._index(value.index, f"{where}.index"),
                "columns": self._index(value.columns, f"{where}.columns"),
                "data": [self._column(value.iloc[:, j], f"{where} column {label!r}")
                         for j, label in enumerate(value.columns)]}

    def _series(self, value, where):
        return {"type": "Series", "index": self._index(value.index, f"{where}.index"),
                "values": self._column(value, where), "name": self.value(value.name, f"{where}.name")}

    def _index(self, index: pd.Index, where: str) -> dict:
        name = self.value(index.name, f"{where}.name")
        if type(index) is pd.RangeIndex:
            return {"type": "RangeIndex", "start": index.start, "stop": index.stop, "step": index.step, "name": name}
        if type(index) is pd.DatetimeIndex:
            return {"type": "DatetimeIndex", "values": self._column(pd.Series(index), where),
                    "freq": index.freqstr, "name": name}
        if type(index) is not pd.Index:
            raise self._refused(where, f"a {type(index).__name__}")
        return {"type": "Index", "values": self._column(pd.Series(index), where), "name": name}

    def _column(self, values: pd.Series, where: str) -> dict:
        """A frame's column or an index's values, without their index."""
        dtype = values.dtype
        if isinstance(dtype, pd.DatetimeTZDtype):
            utc = values.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy()
            return {"kind": "datetime", "member": self._array(utc), "tz": _tz_name(dtype.tz, where)}
        if isinstance(dtype, np.dtype) and dtype.kind in ARRAY_KINDS:
            return {"kind": "array", "member": self._array(values.to_numpy())}
        if _is_text(values):
            return {"kind": "text", "values": [item if isinstance(item, str) else None for item in values]}
        raise self._refused(where, "of objects other than text" if dtype == object else f"of dtype {dtype}")


def _number(value):
    return value if not isinstance(value, float) or np.isfinite(value) else str(value)


class _Decoder:
    """A model rebuilt from its document, each value by the constructor its type names."""

    def __init__(self, source: str, archive: zipfile.ZipFile):
        self.source = source
        self.archive = archive
        self._by_type = {
            "null": lambda node, where: None,
            "bool": lambda node, where: self._checked(node["value"], bool, where),
            "int": lambda node, where: self._checked(node["value"], int, where),
            "float": lambda node, where: float(self._number(node["value"], where)),
            "text": lambda node, where: self._checked(node["value"], str, where),
            "list": lambda node, where: self._items(node, where),
            "tuple": lambda node, where: tuple(self._items(node, where)),
            "dict": lambda node, where: self._attributes(node["items"], where),
            "namespace": lambda node, where: SimpleNamespace(**self._attributes(node["attributes"], where, True)),
            "numpy": self._numpy, "ndarray": lambda node, where: self._array(node["member"], where),
            "text_array": lambda node, where: np.array(self._texts(node["values"], where), dtype=object),
            "Timestamp": self._timestamp, "Timedelta": self._timedelta,
            "DataFrame": self._frame, "Series": self._series,
            **{name: self._estimator for name in estimators()},
        }

    def value(self, node, where: str):
        tag = node.get("type") if isinstance(node, dict) else None
        decode = self._by_type.get(tag) if isinstance(tag, str) else None
        if decode is None:
            raise self._foreign(tag, where, "value")
        return decode(node, where)

    def _foreign(self, tag, where: str, what: str) -> ModelFileError:
        return ModelFileError(f"{self.source} claims a foreign type {tag!r} at {where}; "
                              f"a model file holds no such {what}")

    def _malformed(self, where: str, problem: str) -> ModelFileError:
        return ModelFileError(f"{self.source} holds a malformed model: {where} {problem}")

    def _checked(self, value, kind: type, where: str):
        if type(value) is not kind:
            raise self._malformed(where, f"holds {value!r} where {kind.__name__} was expected")
        return value

    def _number(self, value, where: str):
        if type(value) in (int, float):
            return value
        if value in NON_FINITE:
            return NON_FINITE[value]
        raise self._malformed(where, f"holds {value!r} where a number was expected")

    def _texts(self, values, where: str) -> list:
        return [self._checked(item, str, where) for item in self._checked(values, list, where)]

    def _items(self, node, where):
        return [self.value(item, f"{where}[{i}]") for i, item in enumerate(self._checked(node["items"], list, where))]

    def _attributes(self, items, where: str, attribute: bool = False) -> dict:
        return {key: self.value(item, _path(where, key, attribute))
                for key, item in self._checked(items, dict, where).items()}

    def _numpy(self, node, where):
        dtype = node["dtype"]
        if dtype not in SCALAR_DTYPES:
            raise self._malformed(where, f"claims the numpy scalar type {dtype!r}")
        value = self._checked(node["value"], bool, where) if dtype == "bool" else self._number(node["value"], where)
        return np.dtype(dtype).type(value)

    def _array(self, member, where: str) -> np.ndarray:
        try:
            data = self.archive.read(self._checked(member, str, where))
        except KeyError:
            raise self._malformed(where, f"refers to {member}, which it does not hold") from None
        try:
            array = np.load(io.BytesIO(data), allow_pickle=False)
        except ValueError as error:  # an object array, or a pickle in place of an array
            raise ModelFileError(f"{self.source} holds {member}, which is not a plain array: {error}") from None
        if not isinstance(array, np.ndarray) or array.dtype.kind not in ARRAY_KINDS:
            raise ModelFileError(f"{self.source} holds {member}, which is not a plain array")
        return array

    def _unit(self, node, where: str) -> str:
        unit = node["unit"]
        if unit not in TIME_UNITS:
            raise self._malformed(where, f"claims the time unit {unit!r}")
        return unit

    def _zone(self, name, where: str) -> str:
        if not isinstance(name, str) or not ZONE_NAME.fullmatch(name):
            raise self._malformed(where, f"claims the time zone {name!r}")
        return name

    def _timestamp(self, node, where):
        stamp = pd.Timestamp(np.datetime64(self._checked(node["value"], int, where), self._unit(node, where)))
        return stamp if node["tz"] is None else stamp.tz_localize("UTC").tz_convert(self._zone(node["tz"], where))

    def _timedelta(self, node, where):
        return pd.Timedelta(np.timedelta64(self._checked(node["value"], int, where), self._unit(node, where)))

    def _estimator(self, node, where):
        kind = estimators()[node["type"]]
        estimator = kind()
        for name, value in self._attributes(node["attributes"], where, attribute=True).items():
            # Fitted attributes and parameters only: never a method, property or dunder of the class.
            if not name.isidentifier() or name.startswith("__") or hasattr(kind, name):
                raise self._malformed(where, f"sets the attribute {name!r}")
            setattr(estimator, name, value)
        return estimator

    def _frame(self, node, where):
        index = self._index(node["index"], f"{where}.index")
        columns = self._index(node["columns"], f"{where}.columns")
        data = [self._column(column, f"{where}.data") for column in self._checked(node["data"], list, where)]
        if len(data) != len(columns):
            raise self._malformed(where, f"has {len(data)} columns of data for {len(columns)} labels")
        frame = pd.DataFrame(dict(enumerate(data)), index=index)  # by position: labels may repeat
        frame.columns = columns
        return frame

    def _series(self, node, where):
        return pd.Series(self._column(node["values"], where), index=self._index(node["index"], f"{where}.index"),
                         name=self.value(node["name"], f"{where}.name"))

    def _index(self, node, where: str) -> pd.Index:
        tag = self._checked(node, dict, where).get("type")
        name = self.value(node["name"], f"{where}.name")
        if tag == "RangeIndex":
            bounds = (self._checked(node[key], int, where) for key in ("start", "stop", "step"))
            return pd.RangeIndex(*bounds, name=name)
        if tag == "DatetimeIndex":
            freq = None if node["freq"] is None else self._checked(node["freq"], str, where)
            return pd.DatetimeIndex(self._column(node["values"], where), freq=freq, name=name)
        if tag == "Index":
            return pd.Index(self._column(node["values"], where), name=name)
        raise self._foreign(tag, where, "index")

    def _column(self, node, where: str):
        """A column's values as the running pandas builds them, without an index to align to."""
        kind = self._checked(node, dict, where).get("kind")
        if kind == "array":
            return self._array(node["member"], where)
        if kind == "datetime":
            stamps = pd.DatetimeIndex(self._array(node["member"], where))
            return stamps.tz_localize("UTC").tz_convert(self._zone(node["tz"], where))
        if kind == "text":
            return [None if item is None else self._checked(item, str, where) for item in
                    self._checked(node["values"], list, where)]
        raise self._foreign(kind, where, "column")

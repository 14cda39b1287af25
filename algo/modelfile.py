"""Model files: a model dictionary pickled behind a small checked header.

A model file holds fitted scikit-learn objects and DataFrames, so it is a
pickle: load model files only from a trusted source. The header lets a reader
refuse, with a clear message, files that are not model files, that were
written in a format this version does not read, or whose payload was changed
or cut short since it was written (its SHA-256 and length are in the header).
The header also carries what the host decided at training time and must apply
again when scoring, such as when the machine counts as running.
"""

from __future__ import annotations

import hashlib
import json
import pickle
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path

from algo import writing
from algo.errors import AlgoHealthError

MAGIC = b"ALGO-HEALTH-MODEL\n"
FORMAT = 2
# Format 1 files have no checksum; they are still read.
READABLE_FORMATS = (1, 2)


class ModelFileError(AlgoHealthError, ValueError):
    """A file that is not a model file this version can read."""

    stage = "check"


@dataclass
class ModelFile:
    model: dict
    settings: dict = field(default_factory=dict)  # host settings recorded at training time


def library_version() -> str:
    try:
        return metadata.version("algo-health")
    except metadata.PackageNotFoundError:
        return "unknown"


def save(model: dict, path: str | Path, settings: dict | None = None) -> Path:
    """Writes `model` to `path` (whole or not at all) with the header and returns the path."""
    return writing.write_bytes(path, dumps(model, settings))


def dumps(model: dict, settings: dict | None = None) -> bytes:
    """The contents of a model file of `model`: the header, then the pickled dictionary."""
    payload = pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
    header = {"format": FORMAT, "library": library_version(), "bytes": len(payload),
              "sha256": hashlib.sha256(payload).hexdigest(), "settings": settings or {}}
    return MAGIC + json.dumps(header).encode() + b"\n" + payload


def read(path: str | Path) -> ModelFile:
    """A model file written by `save`; ModelFileError when it is not one or was damaged."""
    return parse(Path(path).read_bytes(), str(path))


def parse(data: bytes, source: str) -> ModelFile:
    """The contents of a model file, read elsewhere (`source` names it in messages)."""
    if not data.startswith(MAGIC):
        raise ModelFileError(f"{source} is not a model file")
    header_line, _, payload = data[len(MAGIC):].partition(b"\n")
    try:
        header = json.loads(header_line)
    except ValueError:
        raise ModelFileError(f"{source} has a damaged model-file header") from None
    if not isinstance(header, dict) or header.get("format") not in READABLE_FORMATS:
        found = header.get("format") if isinstance(header, dict) else None
        library = header.get("library", "unknown") if isinstance(header, dict) else "unknown"
        raise ModelFileError(
            f"{source} was written by algo-health {library} in model-file format {found}; "
            f"this version ({library_version()}) reads formats {', '.join(map(str, READABLE_FORMATS))}"
        )
    if header["format"] >= 2:
        _check_payload(source, header, payload)
    try:
        model = pickle.loads(payload)
    except Exception as error:  # a truncated or foreign payload
        raise ModelFileError(f"{source} holds no readable model: {error}") from None
    if not isinstance(model, dict) or "algo_config" not in model:
        raise ModelFileError(f"{source} holds no model dictionary")
    return ModelFile(model, header.get("settings") or {})


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


def load(path: str | Path) -> dict:
    """The model dictionary of a model file written by `save`."""
    return read(path).model

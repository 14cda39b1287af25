"""Model files: a model dictionary pickled behind a small version header.

A model file holds fitted scikit-learn objects and DataFrames, so it is a
pickle: load model files only from a trusted source. The header lets a reader
refuse, with a clear message, files that are not model files or that were
written in a format this version does not read.
"""

from __future__ import annotations

import json
import pickle
from importlib import metadata
from pathlib import Path

MAGIC = b"ALGO-HEALTH-MODEL\n"
FORMAT = 1


class ModelFileError(ValueError):
    """A file that is not a model file this version can read."""


def library_version() -> str:
    try:
        return metadata.version("algo-health")
    except metadata.PackageNotFoundError:
        return "unknown"


def save(model: dict, path: str | Path) -> Path:
    """Writes `model` to `path` with the header and returns the path."""
    path = Path(path)
    header = json.dumps({"format": FORMAT, "library": library_version()}).encode() + b"\n"
    path.write_bytes(MAGIC + header + pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL))
    return path


def load(path: str | Path) -> dict:
    """Reads a model written by `save`; ModelFileError when it is not one."""
    path = Path(path)
    with path.open("rb") as stream:
        if stream.read(len(MAGIC)) != MAGIC:
            raise ModelFileError(f"{path} is not a model file")
        try:
            header = json.loads(stream.readline())
        except ValueError:
            raise ModelFileError(f"{path} has a damaged model-file header") from None
        if header.get("format") != FORMAT:
            raise ModelFileError(
                f"{path} was written by algo-health {header.get('library', 'unknown')} in model-file format "
                f"{header.get('format')}; this version ({library_version()}) reads format {FORMAT}"
            )
        try:
            model = pickle.load(stream)
        except Exception as error:  # a truncated or foreign payload
            raise ModelFileError(f"{path} holds no readable model: {error}") from None
    if not isinstance(model, dict) or "algo_config" not in model:
        raise ModelFileError(f"{path} holds no model dictionary")
    return model

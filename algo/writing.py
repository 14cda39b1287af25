"""Writing output files whole or not at all.

Every file goes to a temporary file beside its target and is renamed into
place once it is complete and on disk, so a full disk, a size limit or an
interrupt leaves the previous file as it was. The format of a table follows
the extension of its path.
"""

from __future__ import annotations

import contextlib
import json
import os
import tempfile
from pathlib import Path
from typing import IO, Iterator

import pandas as pd

from algo.errors import AlgoHealthError

TABLE_SUFFIXES = (".csv", ".json", ".parquet", ".parq", ".pq")


class OutputError(AlgoHealthError, ValueError):
    """An output path that cannot be written."""

    stage = "output"


def check_output(path: str | Path, suffixes: tuple[str, ...] | None = None) -> Path:
    """`path` if a file can be written there, checked before any work is done."""
    path = Path(path)
    if suffixes is not None and path.suffix.lower() not in suffixes:
        raise OutputError(f"{path}: expected a file ending in {', '.join(suffixes)}")
    if path.is_dir():
        raise OutputError(f"{path} is a folder, not a file")
    folder = path.parent
    if not folder.is_dir():
        raise OutputError(f"{path}: no such folder {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{path}: the folder {folder} is not writable")
    if path.exists() and not os.access(path, os.W_OK):
        raise OutputError(f"{path} is not writable")
    return path


@contextlib.contextmanager
def atomic_file(path: str | Path, mode: str = "wb") -> Iterator[IO]:
    """A temporary file beside `path` that replaces it when the block completes, and vanishes otherwise."""
    path = Path(path)
    try:
        handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    except OSError as error:
        raise OutputError(f"cannot write {path}: {error.strerror}") from None
    try:
        with os.fdopen(handle, mode) as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, _mode_for(path))
        os.replace(temporary, path)
    except BaseException as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        if isinstance(error, OSError):  # a full disk or a size limit: the previous file stays
            raise OutputError(f"cannot write {path}: {error.strerror or error}") from None
        raise


def _mode_for(path: Path) -> int:
    """The permissions of the file being replaced, or those a new file gets."""
    try:
        return path.stat().st_mode & 0o777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def write_bytes(path: str | Path, data: bytes) -> Path:
    with atomic_file(path) as stream:
        stream.write(data)
    return Path(path)


def write_text(path: str | Path, text: str) -> Path:
    return write_bytes(path, text.encode("utf-8"))


def write_json(path: str | Path, document) -> Path:
    return write_text(path, json.dumps(document, indent=2, ensure_ascii=False, allow_nan=False) + "\n")


def write_table(path: str | Path, table: pd.DataFrame) -> Path:
    """`table` as CSV, JSON records or Parquet, by the extension of `path`."""
    path = Path(path)
    suffix = path.suffix.lower()
    with atomic_file(path) as stream:
        if suffix == ".json":
            stream.write(table.to_json(orient="records", date_format="iso", indent=2).encode("utf-8"))
        elif suffix in (".parquet", ".parq", ".pq"):
            table.to_parquet(stream, index=False)
        else:
            stream.write(table.to_csv(index=False).encode("utf-8"))
    return path


def save_figure(path: str | Path, figure, **options) -> Path:
    """A matplotlib figure in the format its extension names, written whole."""
    path = Path(path)
    image_format = path.suffix.lower().lstrip(".") or "png"
    with atomic_file(path) as stream:
        figure.savefig(stream, format=image_format, **options)
    return path

"""Which machines a fleet's data holds, and where each machine's rows are.

A fleet is a folder (a local path or an fsspec URL) in which each machine is a
file, a folder of files or a Hive partition, or one table with a machine
column. Discovery lists the files only; each machine's own job reads them.
"""

from __future__ import annotations

import urllib.parse
from dataclasses import dataclass

from algo import reading
from algo.reading import InputError, ReadOptions

DATA_SUFFIXES = (".csv", *reading.PARQUET_SUFFIXES)
HIVE_KEY = "machine="


@dataclass(frozen=True)
class TableSlice:
    """One machine's rows of a table that holds many machines, told apart by `id_column`."""

    table: str
    id_column: str
    machine: str


@dataclass(frozen=True)
class MachineInput:
    machine: str
    sources: tuple  # file paths or URLs, joined in time order; or one TableSlice


def discover(data: str, id_column: str | None = None) -> list[MachineInput]:
    """The machines of a fleet folder (or of one table with `id_column`), sorted by name.

    In a folder each machine is a file `<machine>.csv` / `<machine>.parquet`, a
    folder `<machine>/` of such files, or a Hive partition `machine=<machine>/`.
    Names starting with "." or "_" (hidden files, `_SUCCESS` markers) are not
    machines.
    """
    fs, root = filesystem(data)
    if not fs.exists(root):
        raise InputError(f"no such file or folder: {data}")
    if id_column is not None:
        if fs.isdir(root):
            raise InputError(f"{data} is a folder, but a machine column names the machines of one CSV or "
                             "Parquet table", "give the table, or no {id_column}")
        return [MachineInput(name, (TableSlice(data, id_column, name),)) for name in _table_machines(data, id_column)]
    if not fs.isdir(root):
        raise InputError(f"{data} is a file: a fleet is a folder of machines",
                         "or one table whose machine column {id_column} names")
    machines: dict[str, tuple] = {}
    for entry in sorted(fs.ls(root, detail=True), key=lambda e: e["name"]):
        base = entry["name"].rstrip("/").rsplit("/", 1)[-1]
        if base.startswith((".", "_")):
            continue
        if entry["type"] == "directory":
            name = urllib.parse.unquote(base[len(HIVE_KEY):]) if base.startswith(HIVE_KEY) else base
            sources = tuple(_url(fs, data, p) for p in _data_files(fs, entry["name"]))
        elif base.lower().endswith(DATA_SUFFIXES):
            name, sources = base.rsplit(".", 1)[0], (_url(fs, data, entry["name"]),)
        else:
            continue
        if name in machines:
            raise InputError(f"machine {name!r} has both a file and a folder in {data}; keep one")
        machines[name] = sources
    if not machines:
        raise InputError(f"no machines in {data}: expected <machine>.csv, <machine>.parquet, a folder <machine>/ "
                         "or machine=<machine>/ of such files")
    return [MachineInput(name, sources) for name, sources in machines.items()]


def filesystem(data: str):
    from fsspec.core import url_to_fs

    try:
        return url_to_fs(str(data))
    except (ImportError, ValueError) as error:  # an unknown protocol, or its package is missing
        raise InputError(f"cannot open {data}: {error}") from None


def _url(fs, data: str, path: str) -> str:
    """A path as the readers take it: plain for local files, with its protocol otherwise."""
    return fs.unstrip_protocol(path) if "://" in str(data) else path


def _data_files(fs, folder: str) -> list[str]:
    """The CSV and Parquet files under a folder, at any depth (partitions by date and the like)."""
    found = fs.find(folder)
    return sorted(p for p in found if p.lower().endswith(DATA_SUFFIXES)
                  and not any(part.startswith((".", "_")) for part in p[len(folder):].split("/") if part))


def _table_machines(table: str, id_column: str) -> list[str]:
    frame, _ = reading.read_table(table)
    if id_column not in frame.columns:
        raise InputError(f"{table} has no column {id_column!r}, the machine column named; its columns: "
                         + ", ".join(map(str, frame.columns[:8])), "see {id_column}")
    names = frame[id_column].dropna().astype(str).unique()
    if not len(names):
        raise InputError(f"{table}: no machine names in column {id_column!r}")
    return sorted(names)


def readable(sources: tuple, options: ReadOptions) -> list:
    """What the readers take: the files themselves, or a machine's rows of a shared table."""
    if not (len(sources) == 1 and isinstance(sources[0], TableSlice)):
        return list(sources)
    piece = sources[0]
    table, _ = reading.read_table(piece.table, options)
    rows = table[table[piece.id_column].astype(str) == piece.machine].drop(columns=piece.id_column)
    return [reading.Frame(rows.reset_index(drop=True), f"{piece.table} [{piece.id_column}={piece.machine}]")]


def recording(path: str) -> tuple[str, ...]:
    """The files of a recording: one file, or the data files of a folder in name order."""
    fs, root = filesystem(path)
    if not fs.exists(root):
        raise InputError(f"no such file or folder: {path}")
    if fs.isdir(root):
        files = tuple(_url(fs, path, p) for p in _data_files(fs, root))
        if not files:
            raise InputError(f"no CSV or Parquet files in {path}")
        return files
    return (path,)

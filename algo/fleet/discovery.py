"""Which machines a fleet's data holds, and where each machine's rows are.

A fleet is a folder (a local path or an fsspec URL) or one table with a
machine column. In a folder, a machine is a file `<machine>.csv` /
`<machine>.parquet`, a folder `<machine>/` of such files, or a Hive partition
`machine=<machine>/` at any depth. Other partition keys either split a
machine's files by time (`date=`, `hour=`, or values that are dates) or
describe it (`site=`, `line=`): those become the machine's
attributes, and must be the same for all its files, or the machines could not
be told apart. Discovery lists the files; each machine's own job reads them,
except the rows of one shared table, which is read once here and split.
"""

from __future__ import annotations

import hashlib
import json
import os
import urllib.parse
from collections import defaultdict
from collections.abc import Iterator
from dataclasses import dataclass, field

import pandas as pd

from algo import reading
from algo.reading import InputError, ReadOptions

DATA_SUFFIXES = (".csv", *reading.PARQUET_SUFFIXES)
HIVE_KEY = "machine"
# Partition keys that split a machine's files by time, whatever their values look like.
TIME_KEYS = frozenset({"year", "month", "week", "day", "date", "dt", "hour", "minute", "time", "timestamp", "ts"})
# A folder with more files than this is no machine's recording (a sister set to "/", say).
MAX_FILES = 50_000


@dataclass(frozen=True)
class MachineInput:
    machine: str
    sources: tuple  # file paths or URLs, joined in time order; or the machine's rows of a shared table
    fingerprint: str = ""  # the input's file names, sizes and modification times, digested
    attributes: dict = field(default_factory=dict, hash=False)  # partition keys that describe it: site, line


@dataclass(frozen=True)
class Discovered:
    machines: list[MachineInput]
    notes: list[str] = field(default_factory=list)

    def fingerprint(self) -> str:
        """The whole fleet's input: a run resumes only on the same."""
        return _digest([(m.machine, m.fingerprint) for m in self.machines])


def discover(data: str, id_column: str | None = None, options: ReadOptions = ReadOptions()) -> Discovered:
    """The machines of a fleet folder (or of one table with `id_column`), sorted by name.

    Names starting with "." or "_" (hidden files, `_SUCCESS` markers) are not machines.
    """
    fs, root = filesystem(data)
    if not fs.exists(root):
        raise InputError(f"no such file or folder: {data}")
    if id_column is not None:
        if fs.isdir(root):
            raise InputError(f"{data} is a folder, but a machine column names the machines of one CSV or "
                             "Parquet table", "give the table, or no {id_column}")
        return _table_machines(data, fs.info(root), id_column, options)
    if not fs.isdir(root):
        raise InputError(f"{data} is a file: a fleet is a folder of machines",
                         "or one table whose machine column {id_column} names")
    files = [(parts, _url(fs, data, path), info) for parts, path, info in _files_under(fs, root)
             if parts[-1].lower().endswith(DATA_SUFFIXES)]
    placed = _placed(files, data)
    if not placed:
        raise InputError(f"no machines in {data}: expected <machine>.csv, <machine>.parquet, a folder <machine>/ "
                         "or machine=<machine>/ of such files")
    machines = [MachineInput(name, tuple(path for path, _, _ in files), _digest(files),
                             _attributes(name, partitions, data))
                for name, (files, partitions) in sorted(_by_machine(placed).items())]
    return Discovered(machines)


def filesystem(data: str):
    from fsspec.core import url_to_fs

    try:
        return url_to_fs(str(data))
    except (ImportError, ValueError) as error:  # an unknown protocol, or its package is missing
        raise InputError(f"cannot open {data}: {error}") from None


def _url(fs, data: str, path: str) -> str:
    """A path as the readers take it: plain for local files, with its protocol otherwise."""
    return fs.unstrip_protocol(path) if "://" in str(data) else path


def _text(name: str) -> str:
    """A name from the file system as text: the bytes of a name that is not UTF-8 written as escapes."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _digest(items) -> str:
    return hashlib.sha256(json.dumps(items, default=str).encode("utf-8", "surrogateescape")).hexdigest()


# --- walking the folder ---------------------------------------------------------


def _files_under(fs, root: str) -> Iterator[tuple[tuple[str, ...], str, dict]]:
    """(path parts below `root`, path, listing) of each file below `root`; hidden names are skipped and
    symbolic links followed (a folder reached twice is walked once)."""
    pending, walked, count = [(root, ())], {os.path.realpath(root)} if _is_local(fs) else set(), 0
    while pending:
        folder, parts = pending.pop()
        for entry in fs.ls(folder, detail=True):
            base = entry["name"].rstrip("/").rsplit("/", 1)[-1]
            entry = _followed(fs, entry)
            if base.startswith((".", "_")) or entry is None:
                continue
            if entry["type"] == "directory":
                if entry["real"] not in walked:
                    walked.add(entry["real"])
                    pending.append((entry["name"], (*parts, base)))
                continue
            count += 1
            if count > MAX_FILES:
                raise InputError(f"{root} holds more than {MAX_FILES:,} files: too many for a fleet's or a machine's "
                                 "folder")
            yield (*parts, base), entry["name"], entry


def _is_local(fs) -> bool:
    return "file" in (fs.protocol if isinstance(fs.protocol, tuple) else (fs.protocol,))


def _followed(fs, entry: dict) -> dict | None:
    """A listing entry as a file or a folder; a symbolic link as what it points to (None when it points nowhere)."""
    if not (entry.get("islink") and _is_local(fs)):
        return {**entry, "real": entry["name"]}
    real = os.path.realpath(entry["name"])
    if not os.path.exists(real):
        return None
    return {**fs.info(real), "name": entry["name"], "real": real}


# --- placing files with their machines ---------------------------------------------


def _key(part: str) -> str | None:
    return part.split("=", 1)[0] if "=" in part else None


def _value(part: str) -> str:
    return _text(urllib.parse.unquote(part.split("=", 1)[1]))


def _placed(files: list, data: str) -> list[tuple[str, str, dict, dict]]:
    """(machine, path, listing, partitions) of each file: named by its machine= partition at any depth, else a
    machine itself at the top, or in a machine's folder."""
    placed = []
    for parts, path, info in files:
        named = [part for part in parts[:-1] if _key(part) == HIVE_KEY]
        if len(named) > 1:
            raise InputError(f"{path} is in more than one machine= partition: each file belongs to one machine")
        if named:
            partitions = {_key(part): _value(part) for part in parts[:-1] if _key(part) not in (None, HIVE_KEY)}
            placed.append((_value(named[0]), path, info, partitions))
        elif len(parts) == 1:
            placed.append((_text(parts[0].rsplit(".", 1)[0]), path, {**info, "alone": True}, {}))
        elif _key(parts[0]) is not None:
            raise InputError(f"{path} is partitioned by {_key(parts[0])}= but by no machine= key, so the machine it "
                             "belongs to cannot be told")
        else:
            placed.append((_text(parts[0]), path, info, {}))
    return placed


def _by_machine(placed: list) -> dict[str, tuple[list, list[dict]]]:
    """Per machine: its files as (path, size, modification time) in path order, and each file's partitions."""
    machines, alone = defaultdict(lambda: ([], [])), defaultdict(list)
    for name, path, info, keys in placed:
        files, partitions = machines[name]
        files.append((path, info.get("size"), _modified(info)))
        partitions.append(keys)
        if info.get("alone"):
            alone[name].append(path)
    for name, (files, _) in machines.items():
        if len(alone[name]) > 1:
            shown = " and ".join(sorted(p.rsplit("/", 1)[-1] for p in alone[name]))
            raise InputError(f"machine {name!r} has two files, {shown}; keep one")
        if alone[name] and len(files) > 1:
            raise InputError(f"machine {name!r} has both a file and a folder; keep one")
        files.sort()
    return machines


def _modified(info: dict):
    # Each file system names it its own way.
    for key in ("mtime", "LastModified", "updated", "last_modified", "ETag", "etag"):
        if info.get(key) is not None:
            return info[key]
    return None


def _is_time(key: str, values: set[str]) -> bool:
    """A partition key that splits files by time: named so (year=, hour=), or whose values are dates or times."""
    if key.lower() in TIME_KEYS:
        return True
    values = pd.Series(sorted(values))
    numbers = pd.to_numeric(values, errors="coerce").notna()
    return not numbers.any() and bool(pd.to_datetime(values, errors="coerce", format="mixed").notna().all())


def _attributes(machine: str, partitions: list[dict], data: str) -> dict:
    """The partition keys that describe a machine; a key other than a time that differs between its files would
    make two machines one."""
    values = defaultdict(set)
    for keys in partitions:
        for key, value in keys.items():
            values[key].add(value)
    attributes = {}
    for key, found in values.items():
        if _is_time(key, found):
            continue
        if len(found) > 1:
            shown = " and ".join(f"{key}={value}" for value in sorted(found)[:2])
            raise InputError(f"machine {machine!r} is found under {shown} in {data}: machines cannot be told apart "
                             "when their names repeat across partitions")
        attributes[key] = found.pop()
    return attributes


# --- one table of many machines ---------------------------------------------------------


def _table_machines(table: str, info: dict, id_column: str, options: ReadOptions) -> Discovered:
    """The machines of one table, read once and split by its machine column (read as text: "007" is not "7")."""
    frame, _ = reading.read_table(table, options, text=[id_column])
    if id_column not in frame.columns:
        raise InputError(f"{table} has no column {id_column!r}, the machine column named; its columns: "
                         + ", ".join(map(str, frame.columns[:8])), "see {id_column}")
    named = frame[id_column].notna() & (frame[id_column].astype(str).str.strip() != "")
    if not named.any():
        raise InputError(f"{table}: no machine names in column {id_column!r}")
    notes = [] if named.all() else [f"{int((~named).sum()):,} rows of {table} without a machine name left out"]
    stamp = (info.get("size"), _modified(info))
    machines = [MachineInput(str(name), (reading.Frame(rows.drop(columns=id_column).reset_index(drop=True),
                                                       f"{table} [{id_column}={name}]"),),
                             _digest([table, id_column, name, stamp]))
                for name, rows in frame[named].groupby(frame.loc[named, id_column].astype(str), sort=True)]
    return Discovered(machines, notes)


# --- a recording named by a manifest ------------------------------------------------------


def recording(path: str) -> tuple[str, ...]:
    """The files of a recording: one file, or the data files of a folder in name order."""
    fs, root = filesystem(path)
    if not fs.exists(root):
        raise InputError(f"no such file or folder: {path}")
    if fs.isdir(root):
        files = tuple(sorted(_url(fs, path, p) for parts, p, _ in _files_under(fs, root)
                             if parts[-1].lower().endswith(DATA_SUFFIXES)))
        if not files:
            raise InputError(f"no CSV or Parquet files in {path}")
        return files
    return (path,)

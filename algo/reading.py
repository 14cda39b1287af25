"""Reading monitoring rows, score files and codebooks strictly and honestly.

Plant-historian exports come in many shapes: semicolon-separated with a
decimal comma, a units row under the header, day-first dates, a daylight-saving
change in the UTC offsets, an odd "Bad" cell among a day of readings. Every
guess made here can be overridden by an option, and everything that was
dropped or coerced is reported in `Reading.notes` rather than lost silently.
Readings that cannot be trusted end in an `InputError` whose message names
the cause.
"""

from __future__ import annotations

import codecs
import csv
import io
import json
import re
import sys
import warnings
from collections.abc import Collection, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Union

import numpy as np
import pandas as pd

from algo.errors import AlgoHealthError

TIME = "_time"
# Time-column labels recognised without a time_column option, best first.
TIME_LABELS = ("_time", "Time", "time", "Timestamp", "timestamp", "DateTime", "Datetime", "datetime", "Date", "date")
# Speed columns that tell a running machine from a stopped one.
SPEED_LABELS = ("RPM", "rpm", "Speed", "speed")
PARQUET_SUFFIXES = (".parquet", ".parq", ".pq")
CSV_DELIMITERS = ",;\t|"
SNIFF_BYTES = 64 * 1024
# A machine runs when its speed exceeds this share of its typical top speed
# (the 95th percentile of the speed readings).
RUNNING_SHARE = 0.1



@dataclass(frozen=True)
class Frame:
    """Rows already in memory, read as a file holding them would be; `name` stands for the file in messages."""

    table: pd.DataFrame
    name: str


Source = Union[str, Path, IO[bytes], Frame]


class InputError(AlgoHealthError, ValueError):
    """Input that cannot be read as asked."""

    stage = "input"


@dataclass(frozen=True)
class ReadOptions:
    """How to read a file; `None` lets the reader detect the setting and report what it found."""

    time_column: str | None = None
    time_format: str | None = None
    dayfirst: bool | None = None
    delimiter: str | None = None
    decimal: str | None = None
    encoding: str | None = None
    running_when: str | None = None  # "RPM > 300", "always", or None for the default from a speed column


@dataclass
class Reading:
    """Rows ready for the library: "_time" parsed, labels renamed, numbers coerced, downtime left out."""

    rows: pd.DataFrame
    source: str
    notes: list[str] = field(default_factory=list)
    total: int = 0  # data rows in the input
    stopped: int = 0  # rows left out as downtime
    running_when: Condition | None = None

    @property
    def all_stopped(self) -> bool:
        return self.rows.empty and self.stopped > 0


# --- running condition -----------------------------------------------------------

_OPERATORS = {">": np.greater, ">=": np.greater_equal, "<": np.less, "<=": np.less_equal,
              "==": np.equal, "!=": np.not_equal}
_CONDITION = re.compile(r"^\s*(?P<column>.+?)\s*(?P<op>>=|<=|==|!=|>|<)\s*(?P<value>[-+0-9.eE]+)\s*$")


@dataclass(frozen=True)
class Condition:
    """When a machine counts as running: `column op value`, e.g. RPM > 148.2."""

    column: str
    op: str
    value: float

    @classmethod
    def parse(cls, text: str) -> Condition | None:
        """The condition of `text`; None for "always" (every row counts as running)."""
        if text.strip().lower() in ("always", "none", ""):
            return None
        match = _CONDITION.match(text)
        try:
            value = float(match["value"]) if match else float("nan")
        except ValueError:
            value = float("nan")
        if not match or not np.isfinite(value):
            raise InputError(f"running condition {text!r}: expected COLUMN OP NUMBER with OP one of "
                             f"{' '.join(_OPERATORS)} (e.g. 'RPM > 300'), or 'always'", "see {running_when}")
        return cls(match["column"], match["op"], value)

    def __str__(self) -> str:
        return f"{self.column} {self.op} {self.value:g}"

    def running(self, rows: pd.DataFrame) -> np.ndarray:
        """Rows that run; a row whose reading is missing is given the benefit of the doubt."""
        if self.column not in rows.columns:
            raise InputError(f"the running condition names the column {self.column!r}, which the input does "
                             "not have", "see {running_when}")
        values = pd.to_numeric(rows[self.column], errors="coerce").to_numpy(dtype=float, na_value=np.nan)
        with np.errstate(invalid="ignore"):
            return _OPERATORS[self.op](values, self.value) | np.isnan(values)


def default_condition(rows: pd.DataFrame) -> Condition | None:
    """Running above a tenth of the typical top speed, when the rows have a speed column."""
    for label in SPEED_LABELS:
        if label in rows.columns:
            speed = pd.to_numeric(rows[label], errors="coerce").to_numpy(dtype=float, na_value=np.nan)
            speed = speed[~np.isnan(speed)]
            top = float(np.quantile(speed, 0.95)) if len(speed) else 0.0
            return Condition(label, ">", round(RUNNING_SHARE * top, 3))
    return None


# --- sources -----------------------------------------------------------------


def _name(source: Source) -> str:
    if isinstance(source, Frame):
        return source.name
    if source == "-":
        return "standard input"
    return str(source) if isinstance(source, (str, Path)) else getattr(source, "name", "input")


def _is_url(source: Source) -> bool:
    return isinstance(source, str) and "://" in source


def _raw_bytes(source: Source) -> bytes:
    """The bytes of a URL (through fsspec), standard input ("-") or an open binary file."""
    try:
        if source == "-":
            return sys.stdin.buffer.read()
        if _is_url(source):
            import fsspec

            with fsspec.open(source, "rb") as stream:
                return stream.read()
        return source.read()
    except (OSError, ImportError, ValueError) as error:
        if isinstance(error, InputError):
            raise
        raise InputError(f"cannot read {_name(source)}: {error}") from None


def _kind(source: Source, head: bytes) -> str:
    suffix = Path(str(source)).suffix.lower() if isinstance(source, (str, Path)) and source != "-" else ""
    if suffix in PARQUET_SUFFIXES or head[:4] == b"PAR1":
        return "parquet"
    if suffix == ".json" or (not suffix and head.lstrip()[:1] in (b"[", b"{")):
        return "json"
    return "csv"


class EmptyInput(InputError):
    """A file without a single byte of data."""


def _opened(source: Source) -> tuple[bytes, str | io.BytesIO, bool]:
    """The head of a source, what the parsers read it from, and whether it is empty (or only blanks).

    A local file is given to the parsers by its path: they read it faster than a copy of its bytes, and
    only the head is read here, to tell its kind and separator.
    """
    if isinstance(source, (str, Path)) and source != "-" and not _is_url(source):
        path = Path(source)
        try:
            size = path.stat().st_size if path.is_file() else None
            if size is None:
                raise InputError(f"no such file: {path}")
            with open(path, "rb") as stream:
                head = stream.read(SNIFF_BYTES)
        except OSError as error:
            raise InputError(f"cannot read {_name(source)}: {error}") from None
        return head, str(path), size == 0 or (size <= len(head) and head.isspace())
    data = _raw_bytes(source)
    return data[:SNIFF_BYTES], io.BytesIO(data), not data or data.isspace()


def read_table(source: Source, options: ReadOptions = ReadOptions(),
               text: Collection[str] | bool = ()) -> tuple[pd.DataFrame, list[str]]:
    """A CSV, Parquet or JSON-records table as read, and notes on what was detected.

    The columns named in `text` (every column when `text` is True) are read as text, as written: an
    identifier "007" stays "007" and a blank cell stays blank.
    """
    if isinstance(source, Frame):
        return _time_index_as_column(source.table), []
    head, content, empty = _opened(source)
    kind = _kind(source, head)
    name = _name(source)
    if empty:
        raise EmptyInput(f"{name} is empty")
    try:
        if kind == "parquet":
            return _as_text(_time_index_as_column(_read_parquet(content)), text), []
        if kind == "json":
            return _as_text(pd.DataFrame(json.loads(_whole(content))), text), []
        return _read_csv(head, content, name, options, text)
    except InputError:
        raise
    except (ValueError, OSError, ImportError, pd.errors.ParserError) as error:
        raise InputError(f"cannot read {name} as {kind.upper()}: {_one_line(error)}") from None


def _read_parquet(content: str | io.BytesIO) -> pd.DataFrame:
    if isinstance(content, io.BytesIO):
        return pd.read_parquet(content)
    with open(content, "rb") as stream:  # a file object: Arrow takes no path that is not UTF-8
        return pd.read_parquet(stream)


def _whole(content: str | io.BytesIO) -> bytes:
    return content.getvalue() if isinstance(content, io.BytesIO) else Path(content).read_bytes()


def _time_index_as_column(frame: pd.DataFrame) -> pd.DataFrame:
    """A Parquet table keeps its time as the index when written from a time-indexed frame."""
    index = frame.index
    if isinstance(index, pd.DatetimeIndex) or index.name in TIME_LABELS:
        return frame.reset_index(names=index.name or TIME)
    return frame


def _text(data: bytes, name: str, encoding: str | None, partial: bool = False) -> str:
    """`data` decoded; `partial`: the head of a file, which may end inside a character."""
    try:
        return codecs.getincrementaldecoder(encoding or "utf-8-sig")().decode(data, final=not partial)
    except LookupError:
        raise InputError(f"text encoding {encoding!r} is not a known one", "see {encoding}") from None
    except UnicodeDecodeError as error:
        remedy = None if encoding else "give its {encoding} (e.g. cp1252 or latin-1)"
        raise InputError(f"{name} is not {encoding or 'UTF-8'} text (byte {error.start})", remedy) from None


def _as_text(frame: pd.DataFrame, text: Collection[str] | bool) -> pd.DataFrame:
    """The columns of `text` as text where they hold a value (a table that keeps types has no zeros to keep)."""
    for label in frame.columns if text is True else [c for c in text if c in frame.columns]:
        frame[label] = frame[label].map(lambda value: value if pd.isna(value) else str(value)).astype(object)
    return frame


def _read_csv(head: bytes, content: str | io.BytesIO, name: str, options: ReadOptions,
              text: Collection[str] | bool = ()) -> tuple[pd.DataFrame, list[str]]:
    sample = _text(head, name, options.encoding, partial=True)
    notes = []
    delimiter = options.delimiter or _sniff_delimiter(sample)
    decimal = options.decimal or _sniff_decimal(sample, delimiter)
    if options.delimiter is None and delimiter != ",":
        notes.append(f"columns separated by {delimiter!r}")
    if options.decimal is None and decimal != ".":
        notes.append(f"decimal {decimal!r} detected")
    as_text = ({"dtype": str, "keep_default_na": False} if text is True
               else {"dtype": dict.fromkeys(text, str)} if text else {})
    # Spaces after the delimiters ("a, b") are skipped when the head has them: skipping costs the parser a
    # fifth more, and an export writes every line alike.
    spaced = f"{delimiter} " in sample
    try:
        # The parser decodes as it reads: half the work of decoding the whole file first.
        frame = pd.read_csv(content, encoding=options.encoding or "utf-8-sig", sep=delimiter, decimal=decimal,
                            skipinitialspace=spaced, **as_text)
    except UnicodeDecodeError:
        _text(_whole(content), name, options.encoding)  # where the file stops being text, in its own bytes
        raise
    return frame, notes


def _sniff_delimiter(sample: str) -> str:
    lines = sample.splitlines()
    if _splits_evenly(lines[:6], ","):  # as most exports are: no need to sniff
        return ","
    head = "\n".join(lines[:50])
    try:
        return csv.Sniffer().sniff(head, delimiters=CSV_DELIMITERS).delimiter
    except csv.Error:
        header = lines[0] if lines else ""
        counts = {d: header.count(d) for d in CSV_DELIMITERS}
        best = max(counts, key=counts.get)
        return best if counts[best] else ","


def _splits_evenly(lines: list[str], delimiter: str) -> bool:
    """Whether a header with no quotes splits on `delimiter`, and the lines after it as often."""
    if len(lines) < 2 or '"' in lines[0]:
        return False
    count = lines[0].count(delimiter)
    return count > 0 and all(line.count(delimiter) == count for line in lines[1:] if line)


_DECIMAL_COMMA = re.compile(r"^[+-]?\d+,\d+(?:[eE][+-]?\d+)?$")
_DECIMAL_POINT = re.compile(r"^[+-]?\d*\.\d+(?:[eE][+-]?\d+)?$")


def _sniff_decimal(sample: str, delimiter: str) -> str:
    """A comma is the decimal mark when columns are not comma-separated and numbers use it."""
    if delimiter == ",":
        return "."
    fields = [f.strip().strip('"') for line in sample.splitlines()[1:50] for f in line.split(delimiter)]
    commas = sum(bool(_DECIMAL_COMMA.match(f)) for f in fields)
    points = sum(bool(_DECIMAL_POINT.match(f)) for f in fields)
    return "," if commas > points else "."


def _one_line(error: Exception) -> str:
    return " ".join(str(error).split())


# --- times -----------------------------------------------------------------------

_NUMERIC_DATE = re.compile(r"^\s*(\d{1,2})[./-](\d{1,2})[./-]\d{2,4}\b")
_OFFSET = re.compile(r"(?:Z|[+-]\d{2}:?\d{2})$")


def find_time_column(frame: pd.DataFrame, options: ReadOptions, name: str) -> str:
    if options.time_column is not None:
        if options.time_column not in frame.columns:
            raise InputError(f"{name} has no column {options.time_column!r}, the time column named; "
                             f"its columns: {_listed(frame.columns)}", "see {time_column}")
        return options.time_column
    for label in TIME_LABELS:
        if label in frame.columns:
            return label
    raise InputError(f"{name} has no time column: expected 'Time' or '_time' among {_listed(frame.columns)}",
                     "or name it with {time_column}")


def parse_times(values: pd.Series, options: ReadOptions, label: str) -> tuple[pd.Series, list[str]]:
    """Time stamps of a column, NaT where a value is not a time, and notes on how they were read."""
    if pd.api.types.is_datetime64_any_dtype(values.dtype):
        return values, []
    if options.time_format is None:
        plain = _plain_iso(values)
        if plain is not None:
            return plain, []
    text = values.astype("string").str.strip().replace("", pd.NA)
    present = text.dropna()
    if present.empty:
        return pd.Series(pd.NaT, index=values.index, dtype="datetime64[ns]"), []
    if options.time_format:
        return _with_format(text, options.time_format), []
    dates = present[~present.str.slice(0, 10).duplicated()]  # the first time of each calendar day
    if dates.str.match(_NUMERIC_DATE).mean() > 0.5:
        dayfirst = _day_month_order(dates, options.dayfirst, label)
        return _inferred(text, dayfirst), []
    endings = pd.Series(present.str.slice(-6).unique())
    offsets = endings.str.extract(f"({_OFFSET.pattern})", expand=False).dropna().unique()
    if len(offsets) > 1:
        shown = ", ".join(sorted(offsets)[:4])
        note = f"times carried {len(offsets)} different UTC offsets ({shown}); converted to UTC"
        return _iso(text, utc=True), [note]
    times = _iso(text, utc=False)
    if times.notna().sum() * 2 < len(present):
        times = _inferred(text, bool(options.dayfirst))
    if times.notna().sum() * 2 < len(present):
        example = present[times[present.index].isna()].iloc[0]
        raise InputError(f"cannot read the times in column {label!r} (e.g. {example!r})",
                         "give their {time_format}, e.g. '%d.%m.%Y %H:%M:%S'")
    return times, []


def _plain_iso(values: pd.Series) -> pd.Series | None:
    """The times of a column that is ISO text through and through, with at most one UTC offset, as most exports
    write them; None for anything else, which the careful reading below takes on."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # pandas' warning of mixed offsets: not plain
            times = pd.to_datetime(values, format="ISO8601")
    except (ValueError, TypeError, Warning):
        return None
    if not pd.api.types.is_datetime64_any_dtype(times.dtype) or times.isna().any():
        return None
    return times


def _day_month_order(dates: pd.Series, dayfirst: bool | None, label: str) -> bool:
    """Whether numeric dates are day first; refuses to guess when the data allow a day-first reading."""
    if dayfirst is not None:
        return dayfirst
    parts = dates.str.extract(_NUMERIC_DATE).astype(float)
    day_first_only = parts[0] > 12
    if not day_first_only.any() and (parts[1] > 12).any():
        return False  # only a month-first reading fits every date
    first = dates.iloc[0]
    if day_first_only.any():
        witness = dates[day_first_only].iloc[0]
        raise InputError(f"the dates in column {label!r} are ambiguous: {first!r} reads as day first or month "
                         f"first, and {witness!r} only as day first", "pass {dayfirst} (or {time_format})")
    raise InputError(f"the dates in column {label!r} are ambiguous: {first!r} reads as day first or month first "
                     "and no date tells which", "pass {dayfirst} or {no_dayfirst} (or {time_format})")


def _quietly(parse, *args, **kwargs) -> pd.Series:
    with warnings.catch_warnings():
        # pandas warns when it falls back to parsing value by value; the
        # values it cannot read are counted and reported instead.
        warnings.simplefilter("ignore", UserWarning)
        return parse(*args, **kwargs)


def _with_format(text: pd.Series, time_format: str) -> pd.Series:
    utc = "%z" in time_format
    return _quietly(pd.to_datetime, text, format=time_format, errors="coerce", utc=utc)


def _iso(text: pd.Series, utc: bool) -> pd.Series:
    try:
        return _quietly(pd.to_datetime, text, format="ISO8601", errors="coerce", utc=utc)
    except (ValueError, TypeError):  # offsets on some values and none on others
        return _quietly(pd.to_datetime, text, format="ISO8601", errors="coerce", utc=True)


def _inferred(text: pd.Series, dayfirst: bool) -> pd.Series:
    return _quietly(pd.to_datetime, text, dayfirst=dayfirst, errors="coerce")


# --- numbers ---------------------------------------------------------------------


def coerce_numbers(frame: pd.DataFrame, skip: Sequence[str]) -> list[str]:
    """Text columns that are mostly numbers become numbers, in place; notes say what was coerced or left out."""
    coerced, left_out = [], []
    textual = [label for label, dtype in frame.dtypes.items()
               if label not in skip and (dtype == object or pd.api.types.is_string_dtype(dtype))]
    for label in textual:
        text = frame[label].astype("string").str.strip().replace("", pd.NA)
        present = text.notna()
        numbers = pd.to_numeric(text, errors="coerce")
        bad = present & numbers.isna()
        if not present.any():
            frame[label] = numbers.astype(float)
        elif bad.sum() * 2 <= present.sum():
            frame[label] = numbers.astype(float)
            if bad.any():
                coerced.append(f"{label} {int(bad.sum())} ({text[bad].iloc[0]!r})")
        else:
            left_out.append(f"{label} ({text[bad].iloc[0]!r})")
    notes = []
    if coerced:
        notes.append("non-numeric cells read as missing: " + ", ".join(coerced))
    if left_out:
        notes.append("text columns left out: " + ", ".join(left_out))
    return notes


# --- rows ------------------------------------------------------------------------


def read_rows(sources: Source | Sequence[Source], options: ReadOptions = ReadOptions()) -> Reading:
    """Raw monitoring rows of one machine, from one file or several joined in time order."""
    from algo.HI import HI

    sources = [sources] if isinstance(sources, (str, Path, Frame)) or hasattr(sources, "read") else list(sources)
    if not sources:
        raise InputError("no input files")
    names = ", ".join(_name(s) for s in sources[:3]) + (f" and {len(sources) - 3} more" if len(sources) > 3 else "")
    notes: list[str] = []
    frames = []
    for source in sources:
        try:
            table, table_notes = read_table(source, options)
        except EmptyInput:
            if len(sources) == 1:
                raise
            notes.append(f"{_name(source)} is empty")
            continue
        notes += [n for n in table_notes if n not in notes]
        if table.empty:
            if len(sources) == 1:
                raise InputError(f"{_name(source)} has a header but no rows")
            notes.append(f"{_name(source)} has no rows")
            continue
        frames.append((_name(source), _with_parsed_time(table, options, _name(source), notes)))
    if not frames:
        raise InputError(f"{names}: no rows")
    _one_kind_of_time(frames)
    rows = pd.concat([f for _, f in frames], ignore_index=True) if len(frames) > 1 else frames[0][1]
    total = len(rows)
    readable = rows[TIME].notna()
    if not readable.all():
        notes.append(f"{int((~readable).sum()):,} of {total:,} rows without a readable time left out")
        rows = rows[readable]
    if rows.empty:
        raise InputError(f"{names}: none of the {total:,} rows has a readable time")
    rows = rows.sort_values(TIME, kind="stable").reset_index(drop=True) if len(frames) > 1 else rows
    rows = HI.rename_columns(rows)
    notes += coerce_numbers(rows, skip=[TIME])
    condition = Condition.parse(options.running_when) if options.running_when else default_condition(rows)
    reading = Reading(rows, names, notes, total=total, running_when=condition)
    if condition is not None:
        running = condition.running(rows)
        reading.stopped = int((~running).sum())
        if reading.stopped:
            reading.rows = rows[running].reset_index(drop=True)
            notes.append(f"{reading.stopped:,} rows of downtime left out (running when {condition})")
    return reading


def _one_kind_of_time(frames: list[tuple[str, pd.DataFrame]]) -> None:
    """Refuses files of one machine of which some give UTC times (they carried offsets) and others local ones."""
    zoned = {isinstance(frame[TIME].dtype, pd.DatetimeTZDtype): name for name, frame in frames}
    if len(zoned) > 1:
        raise InputError(f"the times of {zoned[True]} carry UTC offsets and those of {zoned[False]} do not, so "
                         "they cannot be put in one order; a machine's files need times of one kind")


def _with_parsed_time(table: pd.DataFrame, options: ReadOptions, name: str, notes: list[str]) -> pd.DataFrame:
    """The table with its time column parsed and named "_time" in front."""
    label = find_time_column(table, options, name)
    times, time_notes = parse_times(table[label], options, label)
    notes += [n for n in time_notes if n not in notes]
    rest = table.drop(columns=[c for c in (label, TIME) if c in table.columns])
    rest.insert(0, TIME, times.to_numpy() if times.dt.tz is None else times)
    return rest


def _listed(labels) -> str:
    labels = [str(label) for label in labels]
    return ", ".join(labels[:8]) + (f" and {len(labels) - 8} more" if len(labels) > 8 else "")


# --- scores, JSON and codebooks ---------------------------------------------------


def read_scores(sources: Source | Sequence[Source], time_name: str) -> pd.DataFrame:
    """Score files as `score --out` writes them (CSV, JSON or Parquet): time, "tsquare" and "Score"."""
    sources = [sources] if isinstance(sources, (str, Path)) else list(sources)
    frames = []
    for source in sources:
        table, _ = read_table(source)
        if time_name not in table.columns or "tsquare" not in table.columns:
            raise InputError(f"{_name(source)} needs the columns '{time_name}' and 'tsquare' "
                             "(as scoring writes them)")
        times, _ = parse_times(table[time_name], ReadOptions(), time_name)
        frames.append(table.assign(**{time_name: times}).dropna(subset=[time_name]))
    scores = pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0]
    scores["tsquare"] = pd.to_numeric(scores["tsquare"], errors="coerce")
    if scores.empty:
        raise InputError(f"{', '.join(map(_name, sources))} holds no scores")
    return scores.drop_duplicates(time_name, keep="last").sort_values(time_name).reset_index(drop=True)


def read_json(path: str | Path):
    path = Path(path)
    if not path.is_file():
        raise InputError(f"no such file: {path}")
    try:
        return json.loads(path.read_text(encoding="utf-8-sig"))
    except (ValueError, UnicodeDecodeError) as error:
        raise InputError(f"{path} is not valid JSON: {_one_line(error)}") from None

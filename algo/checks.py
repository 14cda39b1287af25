"""Checks of options, codebooks and rows before the library sees them.

Options and configuration are checked before any data is read, so a typo
costs nothing; rows are checked once read, so that input the library could
only fail on, or worse, turn into a model of nothing, ends with a message
that names the cause.
"""

from __future__ import annotations

import math
from collections.abc import Iterable

import numpy as np
import pandas as pd

from algo.config import Configuration, TimeScale
from algo.errors import CheckError

TIME = "_time"

# Hours with fewer distinct seconds are dropped before hour bins are formed.
HOUR_MIN_ROWS = 1800
# Fewer samples than this cannot make a model.
MIN_SAMPLES = 3

CODEBOOK_EXAMPLE = ('{"setup_name": "pump-7", "config": {"axis": {"X": {"time_domain": [{"type": "overall_rms", '
                    '"min": 0, "max": 25}], "power_in_band": [{"type": "Power_in_band_01", "max": 4}]}}, '
                    '"fail_mode_thresholds": [{"type": "bearing", "min": 0, "max": 80}]}}')


# --- options -----------------------------------------------------------------------


def fraction(value: float) -> float:
    if not 0 < value < 1:
        raise CheckError(f"{value:g}: expected a number between 0 and 1 (exclusive)")
    return value


def positive(value: float) -> float:
    if not (math.isfinite(value) and value > 0):
        raise CheckError(f"{value:g}: expected a finite number above 0")
    return value


def at_least(value: int, minimum: int) -> int:
    if value < minimum:
        raise CheckError(f"{value}: expected at least {minimum}")
    return value


def duration(text: str) -> pd.Timedelta:
    try:
        span = pd.Timedelta(text)
    except ValueError:
        span = pd.NaT
    if pd.isna(span) or span <= pd.Timedelta(0):
        raise CheckError(f"{text!r}: expected a duration such as 1h, 30min or 2D")
    return span


# --- codebooks ---------------------------------------------------------------------


def codebook(document, source: str) -> dict:
    """A codebook of the shape the library reads, or a CheckError that shows that shape."""
    problem = _codebook_problem(document)
    if problem:
        raise CheckError(f"{source} is not a codebook: {problem}; expected e.g. {CODEBOOK_EXAMPLE}")
    return document


def _codebook_problem(document) -> str | None:
    if not isinstance(document, dict):
        return f"it holds a JSON {type(document).__name__}, not an object"
    config = document.get("config")
    if not isinstance(config, dict) or not isinstance(config.get("axis"), dict):
        return 'it has no "config" object with an "axis" object'
    for axis, record in config["axis"].items():
        if not isinstance(record, dict):
            return f'axis "{axis}" is not an object'
        for key in ("time_domain", "power_in_band"):
            problem = _ranges_problem(record.get(key, []), f'"{axis}" {key}')
            if problem:
                return problem
    return _ranges_problem(config.get("fail_mode_thresholds", []), "fail_mode_thresholds")


def _ranges_problem(items, where: str) -> str | None:
    if not isinstance(items, list):
        return f"{where} is not a list"
    for item in items:
        if not isinstance(item, dict) or not isinstance(item.get("type"), str):
            return f'{where} has an entry without a "type" text: {item!r}'
        for bound in ("min", "max"):
            value = item.get(bound)
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
                return f'{where} "{item["type"]}" has a {bound} that is not a number: {value!r}'
    return None


# --- rows --------------------------------------------------------------------------


def feature_notes(rows: pd.DataFrame, ignore: Iterable[str] = ()) -> list[str]:
    """Notes on the numeric columns that carry nothing to learn from; a CheckError when none varies."""
    ignore = {TIME, *ignore}
    numeric = [c for c in rows.select_dtypes(include="number").columns if c not in ignore]
    # A column holds one value exactly when its least and greatest are equal, and none when both are missing:
    # the verdict of counting its distinct values, in two reductions rather than a pass of hashing.
    bounds = {c: _bounds(rows[c]) for c in numeric}
    empty = [c for c in numeric if np.isnan(bounds[c][0])]
    constant = [c for c in numeric if bounds[c][0] == bounds[c][1]]
    causes = [f"{label}: {_names(columns)}" for label, columns in (("no values", empty), ("constant", constant))
              if columns]
    if len(empty) + len(constant) == len(numeric):
        raise CheckError(f"no feature varies in the {len(rows):,} rows ({'; '.join(causes) or 'no numeric columns'})")
    return [f"columns left without use, {cause}" for cause in causes]


def model_features(rows: pd.DataFrame, model: dict) -> None:
    """Refuses a batch that lacks a feature the model was trained on, or has no value of one."""
    families = model["indicator_col_name"]
    features = list(dict.fromkeys([*families.time, *families.frequency, *families.fail_mode]))
    missing = [f for f in features if f not in rows.columns]
    if missing:
        raise CheckError(f"the rows lack {len(missing)} of the model's {len(features)} features: {_names(missing)}")
    counts = rows.count()  # of every column at once: taking the features' columns one by one costs more
    empty = [f for f in features if not counts[f]]
    if empty:
        raise CheckError(f"no values in {len(empty)} of the model's {len(features)} features in the "
                         f"{len(rows):,} rows: {_names(empty)}")


def sampling(rows: pd.DataFrame, config: Configuration, minimum_samples: int) -> None:
    """Refuses rows too sparse for the bins or windows of `config` to hold `minimum_samples` samples."""
    seconds = _distinct_seconds(rows[TIME])
    window = config.rolling_window
    if window is not None:
        if len(seconds) < window + minimum_samples - 1:
            raise CheckError(f"rolling windows of {window:,} rows need at least {window + minimum_samples - 1:,} "
                             f"distinct seconds; the input has {len(seconds):,}")
        return
    if config.time_scale is TimeScale.HOUR:
        per_hour = np.unique(seconds // 3600, return_counts=True)[1]
        full = int((per_hour >= HOUR_MIN_ROWS).sum())
        if full < minimum_samples:
            raise CheckError(f"hour bins need {minimum_samples} hours with at least {HOUR_MIN_ROWS:,} distinct "
                             f"seconds each; the input has {full} (at most {int(per_hour.max()):,} seconds in an "
                             "hour)", "sample more often or use minute bins (field 1 of {config} = 0)")
        return
    minutes = len(np.unique(seconds // 60))
    if minutes < minimum_samples:
        raise CheckError(f"minute bins need rows in at least {minimum_samples} minutes; the input has {minutes}")


def _bounds(values: pd.Series) -> tuple[float, float]:
    """The least and greatest value of a numeric column, NaN for a column without values."""
    numbers = values.to_numpy(dtype=float, na_value=np.nan)
    return float(np.fmin.reduce(numbers, initial=np.nan)), float(np.fmax.reduce(numbers, initial=np.nan))


def whole_seconds(times: pd.Series) -> np.ndarray:
    """The whole second of each time, on its own clock (a zoned time's local seconds), as integers."""
    if isinstance(times.dtype, pd.DatetimeTZDtype):
        times = times.dt.tz_localize(None)
    return times.to_numpy().astype("datetime64[s]").view(np.int64)


def _distinct_seconds(times: pd.Series) -> np.ndarray:
    """The distinct whole seconds of the times in order."""
    seconds = whole_seconds(times)
    if len(seconds) and (seconds[1:] >= seconds[:-1]).all():  # rows in time order, as read: no sort needed
        return seconds[np.concatenate(([True], seconds[1:] != seconds[:-1]))]
    return np.unique(seconds)


def _names(columns: list[str]) -> str:
    shown = ", ".join(map(str, columns[:6]))
    return shown + (f" and {len(columns) - 6} more" if len(columns) > 6 else "")

"""One machine's jobs, from its files to small results: train, score, forecast, grade.

The command line runs them for one machine and the fleet runs them for many,
so both give the same result for the same data. Each job reads its input
strictly (`algo.reading`), refuses input the library could only fail on or
turn into a model of nothing (`algo.checks`), calls the library, and turns a
pipeline's error record into a `JobError`. The library's printed lines and
warnings are kept out of the caller's output (`library_output`).
"""

from __future__ import annotations

import contextlib
import io
import sys
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field, replace

import pandas as pd

from algo import checks, modelfile
from algo.config import DEFAULT_CONFIG, Configuration
from algo.errors import AlgoHealthError, CheckError
from algo.reading import ReadOptions, Reading, Source, read_rows

SCORE_TIGHTNESS = 0.9
LIGHT_ORDER = ("green", "yellow", "red")
LIMIT_KEYS = ("upper_warning", "upper_alert", "lower_warning", "lower_alert")


class JobError(AlgoHealthError):
    """A library pipeline that returned its error record: the stage it reached, its message and data note."""

    def __init__(self, what: str, record: dict):
        self.what = what
        self.error_record = record
        self.stage = str(record.get("error_stage"))
        self.library_message = str(record.get("error_message"))
        note = record.get("error_code")
        self.note = None if note in (None, "None") else str(note)
        super().__init__(f"{what} failed at stage {self.stage}: {self.library_message}"
                         + (f" (note: {self.note})" if self.note else ""))

    def __reduce__(self):
        return self.__class__, (self.what, self.error_record)

    def record(self) -> tuple[str, str, str | None]:
        return self.stage, f"{self.what}: {self.library_message}", self.note


@contextlib.contextmanager
def library_output(verbose: bool = False) -> Iterator[None]:
    """The library's printed lines and warnings go to stderr when `verbose`, and nowhere otherwise."""
    with warnings.catch_warnings(), contextlib.redirect_stdout(sys.stderr if verbose else io.StringIO()):
        if not verbose:
            warnings.simplefilter("ignore")
        yield


def hi_module():
    """`algo.HI.HI`, imported when first needed so that `--help` stays quick."""
    from algo.HI import HI

    return HI


def rul_module():
    from algo.RUL import RUL

    return RUL


def checked(result: dict, what: str) -> dict:
    """The result of a guarded pipeline, or its error record raised as a JobError."""
    if result.get("is_error") == "True":
        raise JobError(what, result)
    return result


def evaluation(result, what: str):
    """The result of an evaluation that reports failure as its exception text."""
    if isinstance(result, str):
        raise CheckError(f"{what} failed: {result}")
    return result


def _note(record: dict) -> list[str]:
    note = record.get("error_code")
    return [] if note in (None, "None") else [f"note: {note}"]


# --- training --------------------------------------------------------------------


@dataclass
class Trained:
    model: dict
    settings: dict  # recorded in the model file and applied again when scoring
    thresholds: dict | None  # failure-mode warning and alert limits learnt from the same rows
    reading: Reading
    notes: list[str] = field(default_factory=list)


def train(sources: Source | Sequence[Source], options: ReadOptions = ReadOptions(),
          config: str = DEFAULT_CONFIG, codebook: dict | None = None) -> Trained:
    """A health model of normal operation from raw rows, with the running condition it was trained under."""
    configuration = Configuration.parse(config)
    reading = running_rows(read_rows(sources, options), "nothing to train on")
    rows = reading.rows
    ignore = [reading.running_when.column] if reading.running_when else []
    notes = [*reading.notes, *checks.feature_notes(rows, ignore)]
    checks.sampling(rows, configuration, checks.MIN_SAMPLES)
    HI = hi_module()
    model = checked(HI.training_model(rows, config, codebook), "training")
    notes += _note(model)
    thresholds = HI.pre_feature_training(rows)
    if isinstance(thresholds, str):
        notes.append(f"no failure-mode limits: {thresholds}")
        thresholds = None
    running = str(reading.running_when) if reading.running_when else "always"
    return Trained(model, {"running_when": running}, thresholds, reading, notes)


def running_rows(reading: Reading, nothing: str) -> Reading:
    """The reading, unless the machine did not run in any of its rows; `nothing` says what that leaves."""
    if reading.all_stopped:
        raise CheckError(f"{reading.source}: all {reading.stopped:,} rows are downtime (running when "
                         f"{reading.running_when}); {nothing}")
    return reading


def learn_thresholds(sources: Source | Sequence[Source], options: ReadOptions = ReadOptions()) -> tuple[dict, Reading]:
    """Failure-mode warning and alert limits learnt from healthy rows, with the reading they came from."""
    reading = running_rows(read_rows(sources, options), "nothing to learn from")
    return evaluation(hi_module().pre_feature_training(reading.rows), "threshold training"), reading


# --- scoring -----------------------------------------------------------------------


@dataclass
class Scored:
    """One batch scored: a row per sample with the model's time column, "tsquare" and "Score"."""

    table: pd.DataFrame
    suspicious_variable: str | None
    reading: Reading
    notes: list[str] = field(default_factory=list)

    @property
    def stopped(self) -> bool:
        """The whole batch was downtime: nothing was scored."""
        return self.reading.all_stopped


def as_trained(options: ReadOptions, model_file: modelfile.ModelFile) -> ReadOptions:
    """Options under which the machine counts as running as they say, else as it did when the model was trained."""
    trained_under = model_file.settings.get("running_when") or "always"
    return replace(options, running_when=options.running_when or trained_under)


def score(sources: Source | Sequence[Source], options: ReadOptions, model_file: modelfile.ModelFile) -> Scored:
    """T² and health index of one batch of raw rows against a trained model."""
    model = model_file.model
    reading = read_rows(sources, as_trained(options, model_file))
    time_name = model["datetime_name"]
    if reading.all_stopped:
        empty = pd.DataFrame({time_name: pd.Series(dtype="datetime64[ns]"), "tsquare": [], "Score": []})
        return Scored(empty, None, reading, reading.notes)
    checks.model_features(reading.rows, model)
    checks.sampling(reading.rows, Configuration.parse(model["algo_config"]), 1)
    result = checked(hi_module().testing_model(reading.rows, model), "scoring")
    table = result["T2"].join(result["HI_Score"])
    if (table["tsquare"] == -1.0).all() and (table["Score"] == -1.0).all():
        # The pipeline's mark of a batch too small to score, stamped with the clock.
        raise CheckError(f"{reading.source}: {len(reading.rows):,} rows are too few to score with an "
                                "hour-scale model (at least 301 distinct seconds)")
    table.index.name = time_name
    variable = result["suspicious_variable"]
    return Scored(table.reset_index(), None if variable in (None, "None") else variable, reading, reading.notes)


def learn_deadline(sources: Source | Sequence[Source], options: ReadOptions, model_file: modelfile.ModelFile) -> dict:
    """The model with its deadline learnt from a failed sister machine's recording, read as its own batches are."""
    rows = read_rows(sources, as_trained(options, model_file)).rows
    return checked(hi_module().failure_deadline_learning([rows], model_file.model, None), "deadline learning")


# --- remaining life -----------------------------------------------------------------


def forecast(scores: pd.DataFrame, model: dict, tightness: float = SCORE_TIGHTNESS) -> dict:
    """The RUL result of a score history (the model's time column and "tsquare")."""
    time_name = model["datetime_name"]
    t2 = scores.set_index(time_name)[["tsquare"]].sort_index()
    return checked(rul_module().rul_calculation(t2, model, tightness), "the RUL calculation")


def health_index(scores: pd.DataFrame, model: dict, tightness: float = SCORE_TIGHTNESS) -> pd.DataFrame:
    """The health index ("Score") of a score history (the model's time column and "tsquare"), indexed by time."""
    t2 = scores.set_index(model["datetime_name"])[["tsquare"]]
    return hi_module().Health_Index(t2, model["ucl"], tightness)


def forecast_rows(rul: dict) -> pd.DataFrame | None:
    """The forecast steps of a RUL result's table, without the history bins before them."""
    table = rul.get("rul_predict")
    if not isinstance(table, pd.DataFrame):
        return None
    return table[table["upper_CI"].notna() | table["lower_CI"].notna()]


def at_least(rul: dict) -> bool:
    """The remaining life reaches the end of the forecast: the machine outlives the horizon."""
    steps = forecast_rows(rul)
    if steps is None or rul["rul_days"] < 0 or steps.empty:
        return False
    step = 5 if rul["unit"] == "minutes" else 1
    return rul["rul_days"] >= step * len(steps)


# --- lights ----------------------------------------------------------------------


@dataclass
class Graded:
    """Lights of the features of one stretch of rows, with the mean each was graded on."""

    lights: dict  # the library's per-feature records
    values: dict  # feature -> the graded mean
    window: tuple[pd.Timestamp, pd.Timestamp]
    skipped: list[str] = field(default_factory=list)

    def worst(self) -> str | None:
        found = [entry["light"] for entry in self.lights.values() if entry["light"] in LIGHT_ORDER]
        return max(found, key=LIGHT_ORDER.index) if found else None


def latest(rows: pd.DataFrame, span: pd.Timedelta | None) -> pd.DataFrame:
    """The rows of the last `span` of time, or all rows."""
    return rows if span is None else rows[rows["_time"] > rows["_time"].max() - span]


def per_second_means(rows: pd.DataFrame) -> pd.Series:
    """The mean of each numeric column over the per-second rows the lights are graded on."""
    times = rows["_time"]
    seconds = checks.whole_seconds(times)
    if not times.hasnans and (seconds[1:] > seconds[:-1]).all():  # a row a second, in order: nothing to merge
        return rows.select_dtypes(include="number").mean()
    per_second = hi_module().compress_by_second(rows, "_time")[0]
    return per_second.select_dtypes(include="number").mean()


def _graded(rows: pd.DataFrame, lights: dict, means: pd.Series | None, skipped: list[str] | None = None) -> Graded:
    means = per_second_means(rows) if means is None else means
    values = {feature: float(means[feature]) for feature in lights if feature in means.index}
    return Graded(lights, values, (rows["_time"].min(), rows["_time"].max()), skipped or [])


def failure_mode_lights(rows: pd.DataFrame, thresholds: dict, means: pd.Series | None = None) -> Graded:
    """Lights against learnt limits; features the limits do not cover are listed as skipped, not fatal.

    `means` (`per_second_means` of the rows) saves working them out again when several gradings share rows.
    """
    uncovered = {label: dict.fromkeys(LIMIT_KEYS) for label in rows.columns if label not in thresholds}
    lights = evaluation(hi_module().pre_feature_light(rows, {**uncovered, **thresholds}), "light evaluation")
    skipped = [feature for feature in lights if feature in uncovered]
    return _graded(rows, {f: e for f, e in lights.items() if f not in uncovered}, means, skipped)


def iso_limits(power: float, foundation: str) -> dict:
    """Warning and alert limits of ISO 20816-3 for a machine's power (kW) and foundation."""
    limits = hi_module().ISO20816_overall(power, foundation)
    if limits["error_stage"] != "None":
        raise CheckError(f"no ISO 20816-3 limits: {limits['error_message']}")
    return limits


def iso_lights(rows: pd.DataFrame, power: float, foundation: str, means: pd.Series | None = None) -> Graded:
    """Lights of the overall vibration levels; each record carries the limits it was graded against."""
    limits = iso_limits(power, foundation)
    lights = evaluation(hi_module().ISO20816_light(rows, limits["warning"], limits["alert"]), "ISO evaluation")
    return _graded(rows, lights, means)


# --- bad stretches ------------------------------------------------------------------


def bad_zones(health: pd.DataFrame, threshold: float, **windows) -> list:
    """The library's bad-HI zones (start, end) of a health-index history indexed by time ("Score")."""
    return hi_module().detect_bad_HI_zone(health, threshold, **windows)

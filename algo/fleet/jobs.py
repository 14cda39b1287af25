"""The fleet's jobs: pure functions of one machine's input, run wherever the engine puts them.

A job reads its machine's files itself, runs the single-machine job of
`algo.machine`, and returns a `Result`: the machine's outcome and the little
the store keeps of what it produced, never raw rows. Every failure becomes a
failed outcome, so one bad machine stops no other.
"""

from __future__ import annotations

import time
import traceback
from collections.abc import Callable
from dataclasses import dataclass, field
import pandas as pd

from algo import blas, machine, modelfile
from algo.errors import AlgoHealthError, CheckError
from algo.fleet.manifest import Settings
from algo.reading import ReadOptions
from algo.results import Produced, RulSummary, light_rows, score_rows
from algo.store import Outcome, Store, StoreError


@dataclass(frozen=True)
class TrainJob:
    machine: str
    sources: tuple
    options: ReadOptions
    settings: Settings


@dataclass(frozen=True)
class ShippedModel:
    """A machine's model file as the store holds it, parsed and checked by the worker that uses it.

    Shipping the bytes spares the driver reading every model only to serialise
    it again, and a damaged or missing file fails its own machine, not the run.
    """

    source: str
    data: bytes | None = None
    problem: str | None = None  # why the store could not give the file

    @classmethod
    def read(cls, store: Store, machine: str, name: str) -> ShippedModel:
        """The model file the store names for a machine; what keeps it from the job is the job's failure."""
        try:
            path = store.model_path(machine, name)
        except StoreError as error:
            return cls(str(name), problem=str(error))
        try:
            return cls(str(path), path.read_bytes())
        except OSError as error:
            return cls(str(path), problem=f"the model of machine {machine!r}: {error.strerror}: {path}")

    def open(self) -> modelfile.ModelFile:
        """The model, never unpickled: a store's pickled model files are converted once, by its upgrade."""
        if self.data is None:
            raise modelfile.ModelFileError(self.problem)
        try:
            return modelfile.parse(self.data, self.source)
        except modelfile.PickledModelFile as error:
            raise modelfile.ModelFileError(error.problem, "convert the store's model files with {upgrade}") from None


@dataclass(frozen=True)
class ScoreJob:
    machine: str
    sources: tuple
    options: ReadOptions
    model: ShippedModel
    thresholds: dict | None
    iso_power: float | None
    iso_foundation: str | None


@dataclass(frozen=True)
class ForecastJob:
    machine: str
    history: pd.DataFrame  # the machine's stored "time" and "tsquare"
    model: ShippedModel
    tightness: float = machine.SCORE_TIGHTNESS


@dataclass
class TrainedModel:
    """A training job's model, which the driver writes to the store before it commits the machine."""

    model_file: modelfile.ModelFile
    thresholds: dict | None  # failure-mode limits learnt from the same rows


@dataclass
class Result(Outcome):
    """What a job sends back: its machine's outcome and what the store keeps of what it produced."""

    produced: Produced = field(default_factory=Produced)
    trained: TrainedModel | None = None


def attempt(job, work: Callable) -> Result:
    """`work(job)` with its failures turned into a failed Result, so that one bad machine stops no other."""
    started = time.perf_counter()
    try:
        with machine.library_output(), blas.one_thread():
            result = work(job)
    except AlgoHealthError as error:
        stage, message, note = error.record()
        result = Result(job.machine, "failed", stage, message, note)
    except Exception as error:  # a fault of ours or of a library: recorded with its traceback, and the fleet goes on
        result = Result(job.machine, "failed", "unexpected", f"{type(error).__name__}: {error}",
                        traceback=traceback.format_exc())
    result.duration = time.perf_counter() - started
    return result


def train_job(job: TrainJob) -> Result:
    return attempt(job, _train)


def score_job(job: ScoreJob) -> Result:
    return attempt(job, _score)


def forecast_job(job: ForecastJob) -> Result:
    return attempt(job, _forecast)


def _train(job: TrainJob) -> Result:
    settings = job.settings
    trained = machine.train(list(job.sources), job.options, settings.config, settings.codebook)
    model_file, notes = modelfile.ModelFile(trained.model, trained.settings), list(trained.notes)
    if settings.sister:
        model_file.model = machine.learn_deadline(list(settings.sister), job.options, model_file)
        notes.append(f"deadline learnt from the failed sister machine: health index "
                     f"{model_file.model['rul_deadline']:.1f}")
    return Result(job.machine, rows=len(trained.reading.rows), notes=notes,
                  trained=TrainedModel(model_file, trained.thresholds))


def _score(job: ScoreJob) -> Result:
    model_file = job.model.open()
    scored = machine.score(list(job.sources), job.options, model_file)
    if scored.stopped:
        return Result(job.machine, "stopped", rows=0, notes=list(scored.notes))
    notes = list(scored.notes)
    produced = Produced(scores=score_rows(scored, model_file.model["datetime_name"]),
                        lights=_lights(job, scored.reading.rows, notes))
    return Result(job.machine, rows=len(scored.reading.rows), notes=notes, produced=produced)


def _lights(job: ScoreJob, rows: pd.DataFrame, notes: list[str]) -> pd.DataFrame | None:
    """The batch's failure-mode and ISO lights; a grading that fails is a note, the scores still count."""
    if not job.thresholds and job.iso_power is None:
        return None
    means = machine.per_second_means(rows)
    gradings = []
    if job.thresholds:
        gradings.append(("failure_mode", lambda: machine.failure_mode_lights(rows, job.thresholds, means)))
    if job.iso_power is not None:
        gradings.append(("iso", lambda: machine.iso_lights(rows, job.iso_power, job.iso_foundation, means)))
    tables = []
    for kind, grade in gradings:
        try:
            tables.append(light_rows(kind, grade()))
        except CheckError as error:
            notes.append(f"no {kind.replace('_', '-')} lights: {error}")
    return pd.concat(tables, ignore_index=True) if tables else None


def _forecast(job: ForecastJob) -> Result:
    model = job.model.open().model
    time_name = model["datetime_name"]
    rul = machine.forecast(job.history.rename(columns={"time": time_name}), model, job.tightness)
    summary = RulSummary.of(rul, time_name, job.history["time"].max() if len(job.history) else None)
    return Result(job.machine, rows=len(job.history), notes=[summary.note] if summary.note else [],
                  produced=Produced(rul=summary))

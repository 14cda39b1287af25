"""The fleet's Python API: train, score and forecast every machine, and read the store back."""

from __future__ import annotations

import contextlib
import difflib
from collections.abc import Iterator
from dataclasses import asdict, dataclass
from pathlib import Path

import pandas as pd

from algo import alerts, checks, machine, modelfile
from algo import report as html_report
from algo.config import DEFAULT_CONFIG, Configuration
from algo.errors import CheckError, FleetError
from algo.fleet.discovery import discover
from algo.fleet.driver import Plan, Progress, run
from algo.fleet.engines import Cluster, Loop, engine
from algo.fleet.jobs import ForecastJob, Result, ScoreJob, ShippedModel, TrainJob, forecast_job, score_job, train_job
from algo.fleet.manifest import Settings, read_manifest
from algo.reading import ReadOptions
from algo.results import MachineRecord, ModelSummary, Produced
from algo.store import Store
from algo.writing import OutputError

NOT_TRAINED = CheckError("no model: the machine has not been trained successfully", "{train} first")


def _where(data: str) -> str:
    return data if "://" in str(data) else str(Path(data).resolve())


@contextlib.contextmanager
def _engine_for(where, scheduler, workers) -> Iterator[Loop | Cluster]:
    if where is not None:
        yield where
    else:
        with engine(scheduler, workers) as started:
            yield started


AlertSettings = alerts.AlertConfig | str | Path | None


def train(data: str, store: str | Path, *, manifest: str | None = None, id_column: str | None = None,
          options: ReadOptions = ReadOptions(), config: str = DEFAULT_CONFIG, codebook: dict | None = None,
          scheduler: str | None = None, workers: int | None = None, where: Loop | Cluster | None = None,
          progress: bool = False, alert_config: AlertSettings = None) -> pd.DataFrame:
    """Trains a health model of every machine in `data` and keeps it in the store; returns the run's outcomes.

    The outcomes' `attrs` name the manifest's rows that match no machine ("strays") and carry the run's notes.
    `alert_config` (here and for `score` and `rul`): an `algo.alerts.AlertConfig` or its TOML file; by default
    the store folder's alerts.toml, else the default rules with no channel.
    """
    Configuration.parse(config)
    alert_config = alerts.for_store(store, alert_config)
    defaults = Settings(config=config, codebook=codebook)
    found = discover(data, id_column, options)
    settings = read_manifest(manifest, defaults) if manifest else {}
    strays = [name for name in settings if name not in {m.machine for m in found.machines}]
    notes = [*found.notes, *(stray_note(manifest, name, found.machines) for name in strays)]
    inputs = {m.machine: m for m in found.machines}
    with Store.open(store, "w") as opened, _engine_for(where, scheduler, workers) as started:
        key = {"command": "train", "data": _where(data), "input": found.fingerprint(), "id_column": id_column,
               "options": asdict(options), "config": config, "codebook": codebook,
               "manifest": _where(manifest) if manifest else None, "settings": settings}

        def jobs(done: set) -> Iterator[TrainJob]:
            for entry in found.machines:
                if entry.machine not in done:
                    yield TrainJob(entry.machine, entry.sources, options, settings.get(entry.machine, defaults))

        def kept(target: Store, result: Result) -> Produced:
            return _trained_machine(target, result, settings.get(result.machine, defaults),
                                    inputs[result.machine].attributes)

        plan = Plan("train", _where(data), key, len(found.machines), train_job, jobs, kept=kept, notes=notes,
                    alerting=alerts.Alerting(opened, alert_config, "train"))
        outcomes = run(opened, plan, started, Progress(progress))
    outcomes.attrs["strays"] = strays
    return outcomes


def stray_note(manifest: str, name: str, machines) -> str:
    """A manifest row that names no machine, and the machine it may have meant."""
    names = [m.machine for m in machines]
    alike = [other for other in names if other.strip().casefold() == name.strip().casefold()]
    near = alike or difflib.get_close_matches(name, names, n=1)
    hint = f" (did you mean {near[0]!r}?)" if near else ""
    return f"manifest {manifest}: no machine is named {name!r}{hint}; its settings are not used"


def _trained_machine(store: Store, result: Result, settings: Settings, attributes: dict) -> Produced:
    """A trained machine's model written to the store's models, and its row of the machines table; a model
    that cannot be written fails its machine only."""
    if result.trained is None:
        return Produced()
    model_file = result.trained.model_file
    try:
        name = store.save_model(result.machine, result.run, model_file.model, model_file.settings)
    except OutputError as error:
        result.outcome, (result.stage, result.message, result.note) = "failed", error.record()
        return Produced()
    summary = ModelSummary.of(model_file.model, model_file.settings)
    return Produced(machine=MachineRecord(summary, name, result.trained.thresholds, settings.iso_power,
                                          settings.iso_foundation, attributes, settings.alerts))


def score(data: str, store: str | Path, *, id_column: str | None = None, options: ReadOptions = ReadOptions(),
          replace: bool = False, scheduler: str | None = None, workers: int | None = None,
          where: Loop | Cluster | None = None, progress: bool = False, alert_config: AlertSettings = None
          ) -> pd.DataFrame:
    """Scores the new batch of every trained machine in `data` and appends it to the store's history.

    A time scored already keeps its stored score and lights, and the machine's notes say so; with `replace`
    the new batch replaces them (a corrected re-export).
    """
    alert_config = alerts.for_store(store, alert_config)
    found = discover(data, id_column, options)
    with Store.open(store, "w", create=False) as opened:
        trained = opened.trained()
        if not any(entry.machine in trained for entry in found.machines):
            raise FleetError(f"no machine of {data} has a model in {store}", "{train} first")
        key = {"command": "score", "data": _where(data), "input": found.fingerprint(), "id_column": id_column,
               "options": asdict(options), "replace": replace,
               "models": sorted((name, known["model_file"]) for name, known in trained.items())}
        stage, message, _ = NOT_TRAINED.record()
        untrained = [Result(m.machine, "failed", stage, message) for m in found.machines if m.machine not in trained]

        def jobs(done: set) -> Iterator[ScoreJob]:
            for entry in found.machines:
                known = trained.get(entry.machine)
                if known is not None and entry.machine not in done:
                    yield ScoreJob(entry.machine, entry.sources, options,
                                   ShippedModel.read(opened, entry.machine, known["model_file"]), known["thresholds"],
                                   known["iso_power"], known["iso_foundation"])

        plan = Plan("score", _where(data), key, len(found.machines), score_job, jobs, decided=untrained,
                    replace=replace, notes=found.notes, alerting=alerts.Alerting(opened, alert_config, "score"))
        with _engine_for(where, scheduler, workers) as started:
            return run(opened, plan, started, Progress(progress))


def rul(store: str | Path, *, tightness: float = machine.SCORE_TIGHTNESS, scheduler: str | None = None,
        workers: int | None = None, where: Loop | Cluster | None = None, progress: bool = False,
        alert_config: AlertSettings = None) -> pd.DataFrame:
    """Forecasts every trained machine's remaining life from the scores of its current model."""
    checks.fraction(tightness)
    alert_config = alerts.for_store(store, alert_config)
    with Store.open(store, "w", create=False) as opened, _engine_for(where, scheduler, workers) as started:
        trained = opened.trained()
        if not trained:
            raise FleetError(f"{store} holds no trained machine", "{train} first")
        # The scores and models a forecast starts from: new ones make a new run.
        key = {"command": "rul", "tightness": tightness, "input": opened.latest_run(("train", "score"))}

        def jobs(done: set) -> Iterator[ForecastJob]:
            for name in sorted(trained):
                if name not in done:
                    yield ForecastJob(name, opened.tsquare_history(name),
                                      ShippedModel.read(opened, name, trained[name]["model_file"]), tightness)

        plan = Plan("rul", None, key, len(trained), forecast_job, jobs,
                    alerting=alerts.Alerting(opened, alert_config, "rul"))
        return run(opened, plan, started, Progress(progress))


def status(store: str | Path) -> pd.DataFrame:
    """One row per machine, riskiest first (see `Store.status`)."""
    with Store.open(store) as opened:
        return opened.status()


def report(store: str | Path, out: str | Path = "fleet.html") -> Path:
    """The fleet report of a store: one self-contained HTML page a planner opens in a browser."""
    return html_report.write(store, out)


@dataclass(frozen=True)
class Upgraded:
    """What `upgrade` did to a store."""

    layout_before: int
    layout: int
    models_converted: int  # pickled model files rewritten in the format that loads without running code


def upgrade(store: str | Path) -> Upgraded:
    """Brings a store made by an earlier release up to date: its layout, and its pickled model files converted.

    Calling it says that the store's model files come from a trusted source: pickled ones are unpickled once,
    here, to be rewritten. Every other command refuses them.
    """
    with Store.open(store, "w", create=False) as opened:
        converted = sum(modelfile.upgrade(opened.model_path(name, known["model_file"]))
                        for name, known in sorted(opened.trained().items()))
        return Upgraded(opened.found_layout, opened.layout(), converted)

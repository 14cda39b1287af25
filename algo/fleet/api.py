"""The fleet's Python API: train, score and forecast every machine, and read the store back."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from dataclasses import asdict
from pathlib import Path

import pandas as pd

from algo import alerts, checks, machine
from algo import report as html_report
from algo.config import DEFAULT_CONFIG, Configuration
from algo.errors import CheckError, FleetError
from algo.fleet.discovery import discover
from algo.fleet.driver import Progress, run
from algo.fleet.engines import Cluster, Loop, engine
from algo.fleet.jobs import ForecastJob, Result, ScoreJob, ShippedModel, TrainJob, forecast_job, score_job, train_job
from algo.fleet.manifest import Settings, read_manifest
from algo.reading import ReadOptions
from algo.results import MachineRecord, ModelSummary, Produced
from algo.store import Store

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

    `alert_config` (here and for `score` and `rul`): an `algo.alerts.AlertConfig` or its TOML file; by default
    the store folder's alerts.toml, else the default rules with no channel."""
    Configuration.parse(config)
    alert_config = alerts.for_store(store, alert_config)
    defaults = Settings(config=config, codebook=codebook)
    machines = discover(data, id_column)
    settings = read_manifest(manifest, defaults) if manifest else {}
    with Store.open(store, "w") as opened, _engine_for(where, scheduler, workers) as started:
        key = {"command": "train", "data": _where(data), "id_column": id_column, "options": asdict(options),
               "config": config, "codebook": codebook, "manifest": _where(manifest) if manifest else None}

        def jobs(done: set) -> Iterator[TrainJob]:
            for entry in machines:
                if entry.machine not in done:
                    yield TrainJob(entry.machine, entry.sources, options, settings.get(entry.machine, defaults))

        def kept(target: Store, result: Result) -> Produced:
            return _trained_machine(target, result, settings.get(result.machine, defaults))

        return run(opened, "train", _where(data), key, jobs, len(machines), train_job, started, Progress(progress),
                   kept=kept, alerting=alerts.Alerting(opened, alert_config, "train"))


def _trained_machine(store: Store, result: Result, settings: Settings) -> Produced:
    """A trained machine's model written to the store's models, and its row of the machines table."""
    if result.trained is None:
        return Produced()
    model_file = result.trained.model_file
    name = store.save_model(result.machine, result.run, model_file.model, model_file.settings)
    summary = ModelSummary.of(model_file.model, model_file.settings)
    return Produced(machine=MachineRecord(summary, name, result.trained.thresholds, settings.iso_power,
                                          settings.iso_foundation, settings.alerts))


def score(data: str, store: str | Path, *, id_column: str | None = None, options: ReadOptions = ReadOptions(),
          scheduler: str | None = None, workers: int | None = None, where: Loop | Cluster | None = None,
          progress: bool = False, alert_config: AlertSettings = None) -> pd.DataFrame:
    """Scores the new batch of every trained machine in `data` and appends it to the store's history."""
    alert_config = alerts.for_store(store, alert_config)
    machines = discover(data, id_column)
    with Store.open(store, "w", create=False) as opened:
        trained = opened.trained()
        if not any(entry.machine in trained for entry in machines):
            raise FleetError(f"no machine of {data} has a model in {store}", "{train} first")
        key = {"command": "score", "data": _where(data), "id_column": id_column, "options": asdict(options)}
        stage, message, _ = NOT_TRAINED.record()
        untrained = [Result(m.machine, "failed", stage, message) for m in machines if m.machine not in trained]

        def jobs(done: set) -> Iterator[ScoreJob]:
            for entry in machines:
                known = trained.get(entry.machine)
                if known is not None and entry.machine not in done:
                    yield ScoreJob(entry.machine, entry.sources, options,
                                   ShippedModel.read(entry.machine, known["model_file"]), known["thresholds"],
                                   known["iso_power"], known["iso_foundation"])

        with _engine_for(where, scheduler, workers) as started:
            return run(opened, "score", _where(data), key, jobs, len(machines), score_job, started,
                       Progress(progress), decided=untrained, alerting=alerts.Alerting(opened, alert_config, "score"))


def rul(store: str | Path, *, tightness: float = machine.SCORE_TIGHTNESS, scheduler: str | None = None,
        workers: int | None = None, where: Loop | Cluster | None = None, progress: bool = False,
        alert_config: AlertSettings = None) -> pd.DataFrame:
    """Forecasts every trained machine's remaining life from its stored history of scores."""
    checks.fraction(tightness)
    alert_config = alerts.for_store(store, alert_config)
    with Store.open(store, "w", create=False) as opened, _engine_for(where, scheduler, workers) as started:
        trained = opened.trained()
        if not trained:
            raise FleetError(f"{store} holds no trained machine", "{train} first")

        def jobs(done: set) -> Iterator[ForecastJob]:
            for name in sorted(trained):
                if name not in done:
                    yield ForecastJob(name, opened.tsquare_history(name),
                                      ShippedModel.read(name, trained[name]["model_file"]), tightness)

        return run(opened, "rul", None, {"command": "rul", "tightness": tightness}, jobs, len(trained),
                   forecast_job, started, Progress(progress), alerting=alerts.Alerting(opened, alert_config, "rul"))


def status(store: str | Path) -> pd.DataFrame:
    """One row per machine, riskiest first (see `Store.status`)."""
    with Store.open(store) as opened:
        return opened.status()


def report(store: str | Path, out: str | Path = "fleet.html") -> Path:
    """The fleet report of a store: one self-contained HTML page a planner opens in a browser."""
    return html_report.write(store, out)


def upgrade(store: str | Path) -> tuple[int, int]:
    """Brings a store made by an earlier release to this release's layout; returns the layouts before and after."""
    with Store.open(store, "w", create=False) as opened:
        return opened.found_layout, opened.layout()

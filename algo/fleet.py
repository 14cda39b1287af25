"""The fleet: train, score and forecast many machines on Dask, with a history store.

Each machine's work is a pure function of its own input, run on a Dask worker:
the worker reads the machine's files itself (a local path or an fsspec URL),
runs the single-machine job of `algo.machine`, and sends back a small result —
a model, a batch of scores and lights, a forecast — never raw rows. The driver
submits the jobs, commits the results to the store as they arrive (a machine
with all it produced, or nothing of it), and is the only process that touches
the store. So a
fleet result is the single-machine result for the same data, and the same job
functions run in a plain loop (`workers=0`), on a `LocalCluster` and on a
cluster.

A run can be interrupted at any point: machines are committed whole, and the
same command run again resumes the unfinished run, skipping the machines it
has committed already. Scores are keyed by machine and time, so a batch that is
scored twice adds nothing.
"""

from __future__ import annotations

import contextlib
import io
import itertools
import json
import logging
import os
import shutil
import sys
import time
import urllib.parse
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path

import pandas as pd

from algo import checks, machine, modelfile, reading, synthetic
from algo import report as html_report
from algo.reading import InputError, ReadOptions
from algo.store import Outcome, Store

DATA_SUFFIXES = (".csv", *reading.PARQUET_SUFFIXES)
HIVE_KEY = "machine="
MANIFEST_COLUMNS = ("machine", "config", "codebook", "iso_power", "iso_foundation", "sister")
# Dask retries a job whose call raised; a worker that dies is handled apart, by
# the scheduler, which moves its jobs to the other workers.
RETRIES = 2
# Jobs handed to the scheduler ahead of the results, per worker thread: enough
# to keep every worker busy while the driver commits, few enough that models
# shipped to scoring jobs do not pile up in the scheduler's memory.
JOBS_AHEAD = 4
# Seconds a cluster's result waits for others to be committed with. A commit
# costs the store milliseconds however few machines it holds, so gathering
# what arrives meanwhile halves the driver's work, which on a small machine
# takes cores from the workers; a driver killed loses at most this much of the
# run.
COMMIT_EVERY = 0.5
NOT_TRAINED = "no model: the machine has not been trained successfully (`algo-health fleet train`)"


class FleetError(Exception):
    """A fleet command that cannot run as asked; the message is one line for the user."""


# --- machines and their input ------------------------------------------------------


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
    fs, root = _filesystem(data)
    if not fs.exists(root):
        raise InputError(f"no such file or folder: {data}")
    if id_column is not None:
        if fs.isdir(root):
            raise InputError(f"--id-column needs DATA to be one CSV or Parquet table; {data} is a folder")
        return [MachineInput(name, (TableSlice(data, id_column, name),)) for name in _table_machines(data, id_column)]
    if not fs.isdir(root):
        raise InputError(f"{data} is a file: a fleet is a folder of machines, or one table whose machine column "
                         "--id-column names")
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


def _filesystem(data: str):
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
        raise InputError(f"{table} has no column {id_column!r} (--id-column); its columns: "
                         + ", ".join(map(str, frame.columns[:8])))
    names = frame[id_column].dropna().astype(str).unique()
    if not len(names):
        raise InputError(f"{table}: no machine names in column {id_column!r}")
    return sorted(names)


def _sources(sources: tuple, options: ReadOptions) -> list:
    """What the readers take: the files themselves, or a machine's rows of a shared table as Parquet in memory."""
    if not (len(sources) == 1 and isinstance(sources[0], TableSlice)):
        return list(sources)
    piece = sources[0]
    table, _ = reading.read_table(piece.table, options)
    rows = table[table[piece.id_column].astype(str) == piece.machine].drop(columns=piece.id_column)
    buffer = io.BytesIO()
    rows.to_parquet(buffer, index=False)
    buffer.seek(0)
    buffer.name = f"{piece.table} [{piece.id_column}={piece.machine}]"
    return [buffer]


# --- per-machine settings ----------------------------------------------------------


@dataclass(frozen=True)
class Settings:
    """How one machine is trained and graded, where it differs from the fleet's defaults."""

    config: str = machine.DEFAULT_CONFIG
    codebook: dict | None = None
    iso_power: float | None = None
    iso_foundation: str | None = None
    sister: tuple[str, ...] = ()  # a failed sister machine's recording, to learn the deadline from


def read_manifest(path: str, defaults: Settings) -> dict[str, Settings]:
    """Per-machine settings from a CSV or JSON manifest, one row (or object) per machine; empty cells keep the defaults."""
    table = _manifest_table(path)
    expected = f"expected a machine column and any of {', '.join(MANIFEST_COLUMNS[1:])}"
    if "machine" not in table.columns:
        raise checks.CheckError(f"manifest {path} has no machine column; {expected}")
    unknown = [str(c) for c in table.columns if c not in MANIFEST_COLUMNS]
    if unknown:
        raise checks.CheckError(f"manifest {path}: unknown columns {', '.join(unknown)}; {expected}")
    folder = Path(path).parent
    settings = {}
    for row in table.to_dict(orient="records"):
        name = str(row["machine"])
        if name in settings:
            raise checks.CheckError(f"manifest {path}: machine {name!r} appears twice")
        try:
            settings[name] = _machine_settings(row, defaults, folder)
        except (checks.CheckError, InputError) as error:
            raise checks.CheckError(f"manifest {path}, machine {name!r}: {error}") from None
    return settings


def _manifest_table(path: str) -> pd.DataFrame:
    if str(path).lower().endswith(".json"):
        document = reading.read_json(path)
        if isinstance(document, dict):  # {"pump-1": {"config": ...}, ...}
            document = [{"machine": name, **(entry or {})} for name, entry in document.items()]
        if not isinstance(document, list) or not all(isinstance(entry, dict) for entry in document):
            raise checks.CheckError(f"manifest {path}: expected a list of objects, one per machine")
        return pd.DataFrame(document)
    table, _ = reading.read_table(path)
    return table


def _machine_settings(row: dict, defaults: Settings, folder: Path) -> Settings:
    given = {key: value for key, value in row.items() if key != "machine" and not _blank(value)}
    settings = defaults
    if "config" in given:
        settings = replace(settings, config=str(given["config"]).strip())
        checks.config_fields(settings.config)
    if "codebook" in given:
        codebook_path = _beside(folder, str(given["codebook"]))
        settings = replace(settings, codebook=checks.codebook(reading.read_json(codebook_path), codebook_path))
    if ("iso_power" in given) != ("iso_foundation" in given):
        raise checks.CheckError("ISO 20816-3 lights need both iso_power and iso_foundation")
    if "iso_power" in given:
        try:
            power = float(given["iso_power"])
        except ValueError:
            raise checks.CheckError(f"iso_power {given['iso_power']!r} is not a number") from None
        foundation = str(given["iso_foundation"]).strip()
        machine.iso_limits(power, foundation)  # refuses what the ISO lookup would refuse
        settings = replace(settings, iso_power=power, iso_foundation=foundation)
    if "sister" in given:
        settings = replace(settings, sister=_recording(_beside(folder, str(given["sister"]))))
    return settings


def _blank(value) -> bool:
    return value is None or (isinstance(value, float) and value != value) or (isinstance(value, str) and not value.strip())


def _beside(folder: Path, path: str) -> str:
    """A path of the manifest, relative to the manifest's own folder unless absolute or a URL."""
    return path if "://" in path or Path(path).is_absolute() else str(folder / path)


def _recording(path: str) -> tuple[str, ...]:
    fs, root = _filesystem(path)
    if not fs.exists(root):
        raise InputError(f"no such file or folder: {path}")
    if fs.isdir(root):
        files = tuple(_url(fs, path, p) for p in _data_files(fs, root))
        if not files:
            raise InputError(f"no CSV or Parquet files in {path}")
        return files
    return (path,)


# --- the jobs: pure functions of one machine's input ------------------------------


@dataclass(frozen=True)
class TrainJob:
    machine: str
    sources: tuple
    options: ReadOptions
    settings: Settings


@dataclass(frozen=True)
class ShippedModel:
    """A machine's model file as the store holds it, parsed and checked by the worker that uses it.

    Shipping the bytes spares the driver unpickling every model only to pickle
    it again, and a damaged or missing file fails its own machine, not the run.
    """

    source: str
    data: bytes | None = None
    problem: str | None = None  # why the store could not give the file

    @classmethod
    def read(cls, machine: str, path: Path) -> ShippedModel:
        try:
            return cls(str(path), path.read_bytes())
        except OSError as error:
            return cls(str(path), problem=f"the model of machine {machine!r}: {error.strerror}: {path}")

    def open(self) -> modelfile.ModelFile:
        if self.data is None:
            raise modelfile.ModelFileError(self.problem)
        return modelfile.parse(self.data, self.source)


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
class Result(Outcome):
    """What a job sends back: its machine's outcome and the little the store keeps of what it produced."""

    data: dict = field(default_factory=dict)


def attempt(job, work: Callable) -> Result:
    """`work(job)` with its failures turned into a failed Result, so that one bad machine stops no other."""
    started = time.perf_counter()
    try:
        with machine.library_output():
            result = work(job)
    except machine.JobError as error:
        result = Result(job.machine, "failed", error.stage, f"{error.what}: {error.message}", error.note)
    except InputError as error:
        result = Result(job.machine, "failed", "input", str(error))
    except (checks.CheckError, modelfile.ModelFileError) as error:
        result = Result(job.machine, "failed", "check", str(error))
    except Exception as error:  # a fault of ours or of a library: recorded, and the fleet goes on
        result = Result(job.machine, "failed", "unexpected", f"{type(error).__name__}: {error}")
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
    trained = machine.train(_sources(job.sources, job.options), job.options, settings.config, settings.codebook)
    model, notes = trained.model, list(trained.notes)
    if settings.sister:
        model = machine.learn_deadline(list(settings.sister), job.options, modelfile.ModelFile(model, trained.settings))
        notes.append(f"deadline learnt from the failed sister machine: health index {model['rul_deadline']:.1f}")
    record = {"model": model, "model_settings": trained.settings, "thresholds": trained.thresholds}
    return Result(job.machine, rows=len(trained.reading.rows), notes=notes, data=record)


def _score(job: ScoreJob) -> Result:
    model_file = job.model.open()
    scored = machine.score(_sources(job.sources, job.options), job.options, model_file)
    if scored.stopped:
        return Result(job.machine, "stopped", rows=0, notes=list(scored.notes))
    time_name = model_file.model["datetime_name"]
    scores = scored.table.rename(columns={time_name: "time", "Score": "health_index"})
    scores["suspicious_variable"] = scored.suspicious_variable
    notes = list(scored.notes)
    lights = _lights(job, scored.reading.rows, notes)
    return Result(job.machine, rows=len(scored.reading.rows), notes=notes, data={"scores": scores, "lights": lights})


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
            tables.append(light_table(kind, grade()))
        except checks.CheckError as error:
            notes.append(f"no {kind.replace('_', '-')} lights: {error}")
    return pd.concat(tables, ignore_index=True) if tables else None


def light_table(kind: str, graded: machine.Graded) -> pd.DataFrame:
    """One row per feature; ISO records carry their limits as the upper warning and alert."""
    rows = []
    for feature, entry in graded.lights.items():
        rows.append({"time": graded.window[1], "kind": kind, "feature": feature,
                     "value": graded.values.get(feature), "light": entry["light"],
                     "upper_warning": entry.get("upper_warning", entry.get("warning")),
                     "upper_alert": entry.get("upper_alert", entry.get("alert")),
                     "lower_warning": entry.get("lower_warning"), "lower_alert": entry.get("lower_alert")})
    table = pd.DataFrame(rows)
    limits = ["value", "upper_warning", "upper_alert", "lower_warning", "lower_alert"]
    table[limits] = table[limits].apply(pd.to_numeric, errors="coerce")  # ISO limits may be given as text
    return table


def _forecast(job: ForecastJob) -> Result:
    model = job.model.open().model
    time_name = model["datetime_name"]
    scores = job.history.rename(columns={"time": time_name})
    rul = machine.forecast(scores, model, job.tightness)
    known = rul["rul_days"] >= 0
    summary = {"last_time": job.history["time"].max() if len(job.history) else None,
               "rul": rul["rul_days"] if known else None, "unit": rul["unit"],
               "rul_at_least": machine.at_least(rul), "signal": rul["signal"],
               "show": rul["show"] if isinstance(rul["show"], str) else None,
               "death_probability": rul["death_probability"] if known else None,
               "rul_deadline": rul["rul_deadline"], "rul_warning_line": rul.get("rul_warning_line")}
    steps = machine.forecast_rows(rul)
    forecast = None if steps is None else steps.rename(
        columns={time_name: "time", "Score": "score", "upper_CI": "upper", "lower_CI": "lower"})
    notes = [] if known else [rul["unit"]]
    return Result(job.machine, rows=len(job.history), notes=notes, data={"rul": summary, "forecast": forecast})


# --- engines: where the jobs run ---------------------------------------------------


class Loop:
    """The jobs one after the other in this process: no Dask, for small fleets and as a baseline."""

    dashboard = None

    def results(self, function: Callable, jobs: Iterable) -> Iterator[list[Result]]:
        return ([function(job)] for job in jobs)


class Cluster:
    """The jobs on a Dask cluster, their results in the order they complete, each gathered with those that
    complete in the `COMMIT_EVERY` seconds after it."""

    def __init__(self, client, dashboard: bool = True):
        """`dashboard`: whether the scheduler's dashboard can show pages (a local one needs bokeh here)."""
        self.client = client
        self.dashboard = _dashboard(client) if dashboard else None

    def results(self, function: Callable, jobs: Iterable) -> Iterator[list[Result]]:
        from distributed import as_completed

        jobs = iter(jobs)
        ahead = JOBS_AHEAD * max(1, sum(self.client.nthreads().values()))
        running, machines = as_completed(), {}

        def submit(job) -> None:
            future = self.client.submit(function, job, retries=RETRIES, pure=False,
                                        key=f"{function.__name__}-{job.machine}-{time.time_ns()}")
            machines[future.key] = job.machine
            running.add(future)

        for job in itertools.islice(jobs, ahead):
            submit(job)
        gathered, due = [], 0.0
        while not running.is_empty():
            finished = running.next_batch(block=not gathered)  # holding results, only what is in already
            if finished and not gathered:
                due = time.monotonic() + COMMIT_EVERY
            gathered += [self._result(future, machines.pop(future.key)) for future in finished]
            for following in itertools.islice(jobs, len(finished)):
                submit(following)
            if running.is_empty() or time.monotonic() >= due:
                yield gathered
                gathered = []
            elif not finished:
                time.sleep(COMMIT_EVERY / 20)

    @staticmethod
    def _result(future, machine: str) -> Result:
        try:
            return future.result()
        except Exception as error:  # the job's workers died too often (KilledWorker), or it could not run
            return Result(machine, "failed", "worker", f"{type(error).__name__}: {error}")
        finally:
            future.release()


def _dashboard(client) -> str | None:
    try:
        return client.dashboard_link if client.scheduler_info().get("services", {}).get("dashboard") else None
    except Exception:  # no dashboard is no failure
        return None


def local_workers() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


# Dask's nannies start their workers with a fixed malloc trim threshold, which also turns off glibc's
# adaptive mmap threshold: every large array is then mapped and unmapped afresh, and a day of rows trains
# a third slower than in a plain process. A job's arrays live for one job, so the default suits them.
NANNY_TRIM = "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_"


@contextlib.contextmanager
def engine(scheduler: str | None = None, workers: int | None = None) -> Iterator[Loop | Cluster]:
    """Where the jobs run: an existing Dask cluster (`scheduler`, or DASK_SCHEDULER_ADDRESS), this process
    (`workers=0`), or a LocalCluster of `workers` processes (default one per core) started and stopped here."""
    scheduler = scheduler or os.environ.get("DASK_SCHEDULER_ADDRESS") or None
    if workers == 0 and scheduler is None:
        yield Loop()
        return
    _quiet_dask()
    import dask
    from distributed import Client, LocalCluster

    cluster = None
    try:
        if scheduler:
            client = Client(scheduler, timeout="20s")
        else:
            # A free port: the scheduler serves HTTP even without a dashboard, and a fixed port would clash
            # with another run's.
            with dask.config.set({NANNY_TRIM: None}):
                cluster = LocalCluster(n_workers=workers or local_workers(), threads_per_worker=1,
                                       processes=True, dashboard_address=":0", silence_logs=logging.ERROR)
            client = Client(cluster)
    except (OSError, TimeoutError) as error:
        if cluster is not None:
            cluster.close()
        where = f"the Dask scheduler at {scheduler}" if scheduler else "a local Dask cluster"
        raise FleetError(f"cannot reach {where}: {' '.join(str(error).split())}") from None
    try:
        yield Cluster(client, dashboard=bool(scheduler) or _has_bokeh())
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _has_bokeh() -> bool:
    import importlib.util

    return importlib.util.find_spec("bokeh") is not None


def _quiet_dask() -> None:
    """Dask reports every lost worker and closed connection on stderr; the run reports what matters itself."""
    for name in ("distributed", "bokeh", "tornado"):
        logging.getLogger(name).setLevel(logging.CRITICAL)


# --- the driver ------------------------------------------------------------------


class Progress:
    """A bar on stderr while machines complete: done and failed, rate, time left."""

    def __init__(self, enabled: bool):
        self.enabled = enabled

    @contextlib.contextmanager
    def bar(self, what: str, total: int, done: int) -> Iterator[Callable[[Result], None]]:
        from tqdm import tqdm

        failed = 0
        with tqdm(total=total, initial=done, desc=what, unit="machine", file=sys.stderr,
                  disable=not self.enabled, dynamic_ncols=True) as bar:
            def update(result: Result) -> None:
                nonlocal failed
                failed += result.outcome == "failed"
                bar.set_postfix_str(f"{failed} failed", refresh=False)
                bar.update()

            yield update

    def say(self, text: str) -> None:
        if self.enabled:
            print(text, file=sys.stderr, flush=True)


def run(store: Store, command: str, data: str | None, key: dict, jobs: Callable[[set], Iterable], total: int,
        function: Callable, produced: Callable[[Store, Result], dict], where: Loop | Cluster,
        progress: Progress, decided: Iterable[Result] = ()) -> pd.DataFrame:
    """Runs `function` over the jobs not yet committed in this run (`jobs(done)`), committing the results as
    they arrive (each with what `produced` makes of it for the store), after the results `decided` without a
    job; returns the run's outcomes, one row per machine."""
    record = store.begin_run(command, data, json.dumps(key, sort_keys=True), total)
    if record.resumed:
        progress.say(f"resuming run {record.run}: {len(record.done)} of {total} machines already committed")
    if where.dashboard:
        progress.say(f"Dask dashboard: {where.dashboard}")
    try:
        with progress.bar(command, total, len(record.done)) as advance:
            decided = [result for result in decided if result.machine not in record.done]
            for results in itertools.chain([decided], where.results(function, jobs(record.done))):
                numbered = [replace(result, run=record.run) for result in results]
                store.commit_many([(result, produced(store, result)) for result in numbered])
                for result in results:
                    advance(result)
    except BaseException:
        store.end_run(record.run, "interrupted")
        raise
    store.end_run(record.run, "completed")
    outcomes = store.outcomes(record.run)
    outcomes.attrs["run"] = record.run
    return outcomes


def _training_produced(store: Store, result: Result, settings: Settings) -> dict:
    if result.outcome != "ok":
        return {}
    model = result.data["model"]
    model_file = store.save_model(result.machine, result.run, model, result.data["model_settings"])
    return {"machine": {
        "algo_config": model["algo_config"], "ucl": model["ucl"], "rul_deadline": model["rul_deadline"],
        "rul_warning_line": model.get("rul_warning_line"), "time_scale": model["time_scale"],
        "train_start": pd.Timestamp(model["start_time"]), "train_end": pd.Timestamp(model["end_time"]),
        "robust_index": model["training_model_robust_index"],
        "robust_status": model["training_model_robust_status"],
        "running_when": result.data["model_settings"].get("running_when"),
        "iso_power": settings.iso_power, "iso_foundation": settings.iso_foundation,
        "thresholds": result.data["thresholds"], "model_file": model_file}}


def _scores_produced(store: Store, result: Result) -> dict:
    return {"scores": result.data.get("scores"), "lights": result.data.get("lights")}


def _forecast_produced(store: Store, result: Result) -> dict:
    return {"rul": result.data.get("rul"), "forecast": result.data.get("forecast")}


# --- the Python API --------------------------------------------------------------


def _where(data: str) -> str:
    return data if "://" in str(data) else str(Path(data).resolve())


@contextlib.contextmanager
def _engine_for(where, scheduler, workers):
    if where is not None:
        yield where
    else:
        with engine(scheduler, workers) as started:
            yield started


def train(data: str, store: str | Path, *, manifest: str | None = None, id_column: str | None = None,
          options: ReadOptions = ReadOptions(), config: str = machine.DEFAULT_CONFIG, codebook: dict | None = None,
          scheduler: str | None = None, workers: int | None = None, where: Loop | Cluster | None = None,
          progress: bool = False) -> pd.DataFrame:
    """Trains a health model of every machine in `data` and keeps it in the store; returns the run's outcomes."""
    checks.config_fields(config)
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

        def produced(target: Store, result: Result) -> dict:
            return _training_produced(target, result, settings.get(result.machine, defaults))

        return run(opened, "train", _where(data), key, jobs, len(machines), train_job, produced, started,
                   Progress(progress))


def score(data: str, store: str | Path, *, id_column: str | None = None, options: ReadOptions = ReadOptions(),
          scheduler: str | None = None, workers: int | None = None, where: Loop | Cluster | None = None,
          progress: bool = False) -> pd.DataFrame:
    """Scores the new batch of every trained machine in `data` and appends it to the store's history."""
    machines = discover(data, id_column)
    with Store.open(store, "w", create=False) as opened:
        trained = opened.trained()
        if not any(entry.machine in trained for entry in machines):
            raise FleetError(f"no machine of {data} has a model in {store}; `fleet train` first")
        key = {"command": "score", "data": _where(data), "id_column": id_column, "options": asdict(options)}

        untrained = [Result(m.machine, "failed", "check", NOT_TRAINED) for m in machines if m.machine not in trained]

        def jobs(done: set) -> Iterator[ScoreJob]:
            for entry in machines:
                known = trained.get(entry.machine)
                if known is not None and entry.machine not in done:
                    yield ScoreJob(entry.machine, entry.sources, options,
                                   ShippedModel.read(entry.machine, known["model_file"]), known["thresholds"],
                                   known["iso_power"], known["iso_foundation"])

        with _engine_for(where, scheduler, workers) as started:
            return run(opened, "score", _where(data), key, jobs, len(machines), score_job, _scores_produced, started,
                       Progress(progress), decided=untrained)


def rul(store: str | Path, *, tightness: float = machine.SCORE_TIGHTNESS, scheduler: str | None = None,
        workers: int | None = None, where: Loop | Cluster | None = None, progress: bool = False) -> pd.DataFrame:
    """Forecasts every trained machine's remaining life from its stored history of scores."""
    checks.fraction(tightness)
    with Store.open(store, "w", create=False) as opened, _engine_for(where, scheduler, workers) as started:
        trained = opened.trained()
        if not trained:
            raise FleetError(f"{store} holds no trained machine; `fleet train` first")

        def jobs(done: set) -> Iterator[ForecastJob]:
            for name in sorted(trained):
                if name not in done:
                    yield ForecastJob(name, opened.tsquare_history(name),
                                      ShippedModel.read(name, trained[name]["model_file"]), tightness)

        return run(opened, "rul", None, {"command": "rul", "tightness": tightness}, jobs, len(trained),
                   forecast_job, _forecast_produced, started, Progress(progress))


def status(store: str | Path) -> pd.DataFrame:
    """One row per machine, riskiest first (see `Store.status`)."""
    with Store.open(store) as opened:
        return opened.status()


# --- the demo --------------------------------------------------------------------

DEMO_MARKER = ".algo-health-fleet-demo"
DEMO_START = pd.Timestamp("2024-03-01")


def report(store: str | Path, out: str | Path = "fleet.html") -> Path:
    """The fleet report of a store: one self-contained HTML page a planner opens in a browser."""
    return html_report.write(store, out)


def demo(folder: str | Path = "algo-health-fleet-demo", *, machines: int = 20, days: int = 30,
         scheduler: str | None = None, workers: int | None = None, progress: bool = False) -> pd.DataFrame:
    """A synthetic fleet trained, scored day by day, forecast and reported in `folder`; returns the status table.

    Raw files are removed once their run has stored its results, except the latest day's batches: the store
    (`folder`/store) keeps what matters.
    """
    folder = _demo_folder(Path(folder))
    data, store = folder / "data", folder / "store"
    fleet_machines = synthetic.fleet(machines)
    say = Progress(progress).say
    manifest = _write_demo_training(data, fleet_machines)
    with engine(scheduler, workers) as where, ThreadPoolExecutor(1) as writer:
        say(f"training {len(fleet_machines)} machines on a day of hourly rows")
        train(str(data / "train"), store, manifest=str(manifest), config=machine.DEMO_CONFIG, where=where,
              progress=progress)
        shutil.rmtree(data / "train")

        def batches(day: int):
            return writer.submit(_write_demo_batches, data / "batches" / f"day-{day + 1:02d}", fleet_machines, day,
                                 broken=day == days - 1)

        upcoming = batches(0)
        for day in range(days):
            day_folder = upcoming.result()
            if day + 1 < days:
                upcoming = batches(day + 1)  # written while this day's batches are scored
            score(str(day_folder), store, where=where, progress=progress)
            if day + 1 < days:
                shutil.rmtree(day_folder)
        rul(store, where=where, progress=progress)
    report(store, folder / "fleet.html")
    return status(store)


def _demo_folder(folder: Path) -> Path:
    """The demo's folder, emptied when an earlier demo made it; any other folder with files in it is refused."""
    if folder.exists() and any(folder.iterdir()):
        if not (folder / DEMO_MARKER).exists():
            raise FleetError(f"{folder} is not empty and was not made by the demo; choose another --folder")
        shutil.rmtree(folder)
    (folder / "data").mkdir(parents=True)
    (folder / DEMO_MARKER).touch()
    return folder


def _write_demo_training(data: Path, machines: list[synthetic.FleetMachine]) -> Path:
    """A day of hourly rows per machine, a failed sister machine's recording per kind, and the manifest."""
    (data / "train").mkdir(parents=True)
    (data / "sisters").mkdir()
    for entry in machines:
        rows = synthetic.hourly_rows(entry, DEMO_START - pd.Timedelta(days=1), hours=24)
        rows.to_parquet(data / "train" / f"{entry.name}.parquet", index=False)
    kinds = sorted({entry.kind for entry in machines})
    for kind in kinds:
        synthetic.sister_recording(kind, DEMO_START).to_parquet(data / "sisters" / f"{kind}.parquet", index=False)
    manifest = pd.DataFrame([{"machine": entry.name, "iso_power": synthetic.KINDS[entry.kind][0],
                              "iso_foundation": synthetic.KINDS[entry.kind][1],
                              "sister": f"sisters/{entry.kind}.parquet"} for entry in machines])
    manifest.to_csv(data / "manifest.csv", index=False)
    return data / "manifest.csv"


def _write_demo_batches(folder: Path, machines: list[synthetic.FleetMachine], day: int, broken: bool) -> Path:
    folder.mkdir(parents=True)
    for entry in machines:
        rows = synthetic.daily_batch(entry, DEMO_START, day)
        path = folder / f"{entry.name}.parquet"
        if broken and entry.broken:
            synthetic.write_broken(path, entry.broken, rows)
        else:
            rows.to_parquet(path, index=False)
    return folder

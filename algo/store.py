"""The fleet's history store: a folder with an embedded DuckDB database and the model files.

Everything that speaks SQL lives in this module, so that another database
could take DuckDB's place without touching the rest. The tables are meant to
be queried by people too: machines, scores, lights, rul, forecast, runs and
outcomes, each keyed by its natural key (a score by machine and time, a
remaining-life result by machine and run), so that writing the same result
twice adds nothing. Times are naive UTC timestamps.

One process writes a store at a time: `Store.open(path, "w")` takes an
exclusive lock on a file in the folder, which the operating system releases
when the process ends, however it ends. Each machine's outcome is committed
in one transaction together with the rows it produced (and with the other
machines whose results arrived with it), so an interrupted run leaves every
machine either fully recorded or not at all.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import math
import os
import urllib.parse
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path

import pandas as pd

from algo import modelfile

DATABASE = "fleet.duckdb"
LOCK = "lock"
MODELS = "models"
SCHEMA_VERSION = "1"

SCHEMA = """
CREATE TABLE IF NOT EXISTS store_info (key VARCHAR PRIMARY KEY, value VARCHAR);
CREATE TABLE IF NOT EXISTS machines (
    machine VARCHAR PRIMARY KEY,
    algo_config VARCHAR, ucl DOUBLE, rul_deadline DOUBLE, rul_warning_line DOUBLE, time_scale VARCHAR,
    train_start TIMESTAMP, train_end TIMESTAMP, trained_at TIMESTAMP, trained_run BIGINT,
    robust_index DOUBLE, robust_status VARCHAR, running_when VARCHAR,
    iso_power DOUBLE, iso_foundation VARCHAR, thresholds VARCHAR, model_file VARCHAR,
    last_outcome VARCHAR, last_run BIGINT
);
CREATE TABLE IF NOT EXISTS scores (
    machine VARCHAR, time TIMESTAMP, tsquare DOUBLE, health_index DOUBLE, suspicious_variable VARCHAR, run BIGINT,
    PRIMARY KEY (machine, time)
);
CREATE TABLE IF NOT EXISTS lights (
    machine VARCHAR, kind VARCHAR, feature VARCHAR, time TIMESTAMP, value DOUBLE, light VARCHAR,
    upper_warning DOUBLE, upper_alert DOUBLE, lower_warning DOUBLE, lower_alert DOUBLE, run BIGINT,
    PRIMARY KEY (machine, kind, feature)
);
CREATE TABLE IF NOT EXISTS rul (
    machine VARCHAR, run BIGINT, last_time TIMESTAMP, rul DOUBLE, unit VARCHAR, rul_at_least BOOLEAN,
    signal VARCHAR, "show" VARCHAR, death_probability DOUBLE, rul_deadline DOUBLE, rul_warning_line DOUBLE,
    PRIMARY KEY (machine, run)
);
CREATE TABLE IF NOT EXISTS forecast (
    machine VARCHAR, run BIGINT, time TIMESTAMP, score DOUBLE, upper DOUBLE, lower DOUBLE,
    PRIMARY KEY (machine, run, time)
);
CREATE TABLE IF NOT EXISTS runs (
    run BIGINT PRIMARY KEY, command VARCHAR, data VARCHAR, key VARCHAR,
    started TIMESTAMP, ended TIMESTAMP, status VARCHAR, machines INTEGER
);
CREATE TABLE IF NOT EXISTS outcomes (
    run BIGINT, machine VARCHAR, outcome VARCHAR, stage VARCHAR, message VARCHAR, note VARCHAR,
    duration DOUBLE, rows BIGINT, notes VARCHAR, committed TIMESTAMP,
    PRIMARY KEY (run, machine)
);
"""

MACHINE_COLUMNS = ("algo_config", "ucl", "rul_deadline", "rul_warning_line", "time_scale", "train_start",
                   "train_end", "robust_index", "robust_status", "running_when", "iso_power", "iso_foundation")
SCORE_COLUMNS = ("time", "tsquare", "health_index", "suspicious_variable")
LIGHT_COLUMNS = ("kind", "feature", "time", "value", "light", "upper_warning", "upper_alert", "lower_warning",
                 "lower_alert")
RUL_COLUMNS = ("last_time", "rul", "unit", "rul_at_least", "signal", "show", "death_probability", "rul_deadline",
               "rul_warning_line")
FORECAST_COLUMNS = ("time", "score", "upper", "lower")

# Risk order of the status table: red, yellow, then machines whose state is
# not known (no forecast, a gray forecast, or a failed last run), then green.
RISK = """CASE WHEN signal = 'red' THEN 0 WHEN signal = 'yellow' THEN 1
               WHEN signal = 'green' AND coalesce(last_outcome, 'ok') <> 'failed' THEN 3 ELSE 2 END"""
LIGHT_RANK = "CASE light WHEN 'red' THEN 3 WHEN 'yellow' THEN 2 WHEN 'green' THEN 1 END"


class StoreError(Exception):
    """A store that cannot be used as asked; the message is one line for the user."""


class StoreBusy(StoreError):
    """Another process is writing the store."""


def utc_now() -> datetime:
    return datetime.now(timezone.utc).replace(tzinfo=None)


def naive_utc(times) -> pd.Series:
    """Times as naive UTC: zoned times are converted, naive ones are taken as UTC already."""
    times = pd.to_datetime(pd.Series(times))
    if times.dt.tz is not None:
        times = times.dt.tz_convert("UTC").dt.tz_localize(None)
    return times


def _model_stem(machine: str) -> str:
    # Machine names come from file names and table cells; quoting keeps any of them one safe file name.
    return urllib.parse.quote(machine, safe="-_.")


def _model_file_name(machine: str, run: int) -> str:
    # A new file per training run, so that the database switches from the old model to the new one in the
    # transaction that records the training, and never names a file that is half a run ahead of it.
    return f"{_model_stem(machine)}.r{run}.model"


@dataclass
class Outcome:
    """What one job did for one machine in a run: "ok", "stopped" (nothing running to score) or "failed"."""

    machine: str
    outcome: str = "ok"
    stage: str | None = None
    message: str | None = None
    note: str | None = None
    duration: float = 0.0
    rows: int | None = None
    notes: list[str] = field(default_factory=list)
    run: int | None = None  # numbered by the run that commits it


def error_line(stage: str, message: str, note: str | None) -> str:
    """A failed outcome's error record as one line, as the status table shows it: "stage: message (note)"."""
    return f"{stage}: {message}" + (f" ({note})" if isinstance(note, str) and note else "")


@dataclass
class RunRecord:
    run: int
    resumed: bool
    done: set[str]  # machines whose outcome this run has already committed


class Store:
    """A fleet store folder, opened for reading ("r") or as its one writer ("w")."""

    def __init__(self, path: Path, connection, lock_file=None):
        self.path = path
        self._db = connection
        self._lock_file = lock_file

    # --- opening and closing -----------------------------------------------------

    @classmethod
    def open(cls, path: str | Path, mode: str = "r", create: bool = True) -> Store:
        """The store at `path`, for reading or writing; writing makes it unless `create` is false."""
        import duckdb

        if mode not in ("r", "w"):
            raise ValueError(f"mode must be 'r' or 'w', not {mode!r}")
        path = Path(path)
        database = path / DATABASE
        if (mode == "r" or not create) and not database.is_file():
            raise StoreError(f"no fleet store at {path} (`algo-health fleet train DATA --store {path}` makes one)")
        if mode == "w":
            _make_folder(path)
        lock_file = _lock(path, exclusive=mode == "w")
        try:
            connection = duckdb.connect(str(database), read_only=mode == "r")
        except duckdb.Error as error:
            lock_file.close()
            raise StoreError(_connection_problem(path, error)) from None
        store = cls(path, connection, lock_file)
        try:
            store._check_schema(writable=mode == "w")
        except BaseException:
            store.close()
            raise
        return store

    def close(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None
        if self._lock_file is not None:
            self._lock_file.close()  # releases the lock
            self._lock_file = None

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _check_schema(self, writable: bool) -> None:
        if writable:
            self._db.execute(SCHEMA)
            self._db.execute("INSERT INTO store_info VALUES ('schema', ?) ON CONFLICT DO NOTHING", [SCHEMA_VERSION])
        found = self._db.execute("SELECT value FROM store_info WHERE key = 'schema'").fetchone()
        if found is None or found[0] != SCHEMA_VERSION:
            raise StoreError(f"{self.path} holds a store of layout {found[0] if found else 'unknown'}; "
                             f"this version reads layout {SCHEMA_VERSION}")

    # --- the read API ---------------------------------------------------------------

    def _frame(self, sql: str, parameters=()) -> pd.DataFrame:
        return self._db.execute(sql, list(parameters)).df()

    @staticmethod
    def _only(machines, column: str = "machine") -> tuple[str, list]:
        if machines is None:
            return "TRUE", []
        return f"list_contains(?, {column})", [[str(m) for m in machines]]

    def status(self) -> pd.DataFrame:
        """One row per machine, riskiest first: latest health index, remaining life, signal, lights, last error.

        A machine's last outcome is "failed" while the latest run of any command (train, score, rul) failed
        for it, so that a forecast made after a broken batch does not hide the broken batch; `last_error` is
        the latest such failure.
        """
        return self._frame(f"""
            WITH known AS (SELECT machine FROM machines UNION SELECT machine FROM outcomes),
            last_score AS (
                SELECT s.machine, s.time AS last_time, s.health_index, s.suspicious_variable AS alarm_variable
                FROM scores s JOIN (SELECT machine, max(time) AS time FROM scores GROUP BY machine) m
                USING (machine, time)),
            last_rul AS (SELECT * FROM rul QUALIFY row_number() OVER (PARTITION BY machine ORDER BY run DESC) = 1),
            per_command AS (
                SELECT o.*, r.command FROM outcomes o JOIN runs r USING (run)
                QUALIFY row_number() OVER (PARTITION BY machine, command ORDER BY committed DESC) = 1),
            last_outcome AS (
                SELECT machine,
                       CASE WHEN bool_or(outcome = 'failed') THEN 'failed'
                            ELSE arg_max(outcome, committed) END AS last_outcome,
                       max(run) AS last_run, max(committed) AS last_run_at,
                       arg_max(stage || ': ' || message || coalesce(' (' || note || ')', ''), committed)
                           FILTER (WHERE outcome = 'failed') AS last_error
                FROM per_command GROUP BY machine),
            lights_now AS (
                SELECT machine, max({LIGHT_RANK}) FILTER (WHERE kind = 'failure_mode') AS failure_mode_rank,
                       max({LIGHT_RANK}) FILTER (WHERE kind = 'iso') AS iso_rank
                FROM lights GROUP BY machine),
            table_ AS (
                SELECT k.machine, s.health_index, s.last_time, r.rul, r.unit, coalesce(r.rul_at_least, FALSE)
                       AS rul_at_least, r.signal, r."show", r.death_probability,
                       ['green', 'yellow', 'red'][l.failure_mode_rank] AS failure_mode_light,
                       ['green', 'yellow', 'red'][l.iso_rank] AS iso_light,
                       s.alarm_variable, o.last_outcome, o.last_error, o.last_run, o.last_run_at
                FROM known k LEFT JOIN last_score s USING (machine) LEFT JOIN last_rul r USING (machine)
                LEFT JOIN lights_now l USING (machine) LEFT JOIN last_outcome o USING (machine))
            SELECT * FROM table_ ORDER BY {RISK}, rul ASC NULLS LAST, machine""")

    def history(self, machines=None) -> pd.DataFrame:
        where, parameters = self._only(machines)
        return self._frame(f"""SELECT machine, time, tsquare, health_index, suspicious_variable, run FROM scores
                               WHERE {where} ORDER BY machine, time""", parameters)

    def forecasts(self, machines=None) -> pd.DataFrame:
        """The forecast of each machine's latest remaining-life result (none when that result had none)."""
        where, parameters = self._only(machines, "f.machine")
        return self._frame(f"""
            SELECT f.machine, f.time, f.score, f.upper, f.lower FROM forecast f
            JOIN (SELECT machine, max(run) AS run FROM rul GROUP BY machine) r USING (machine, run)
            WHERE {where} ORDER BY f.machine, f.time""", parameters)

    def machines(self) -> pd.DataFrame:
        return self._frame("""
            SELECT machine, algo_config, ucl, rul_deadline, rul_warning_line, time_scale, train_start, train_end,
                   trained_at, iso_power, iso_foundation, robust_index, robust_status, running_when, model_file,
                   last_outcome, last_run
            FROM machines ORDER BY machine""")

    def lights(self, machines=None) -> pd.DataFrame:
        """The lights of each machine's latest graded batch, by kind ("failure_mode", "iso")."""
        where, parameters = self._only(machines)
        return self._frame(f"""
            SELECT machine, kind, feature, value, light, time, upper_warning, upper_alert, lower_warning, lower_alert
            FROM lights WHERE {where} ORDER BY machine, kind, feature""", parameters)

    def runs(self) -> pd.DataFrame:
        return self._frame("""
            SELECT r.run, r.command, r.started, r.ended, r.status, r.machines,
                   count(o.machine) FILTER (WHERE o.outcome <> 'failed') AS succeeded,
                   count(o.machine) FILTER (WHERE o.outcome = 'failed') AS failed, r.data
            FROM runs r LEFT JOIN outcomes o USING (run)
            GROUP BY r.run, r.command, r.started, r.ended, r.status, r.machines, r.data ORDER BY r.run""")

    def outcomes(self, run: int | None = None) -> pd.DataFrame:
        where, parameters = ("TRUE", []) if run is None else ("run = ?", [int(run)])
        return self._frame(f"""SELECT run, machine, outcome, stage, message, note, duration, rows, notes, committed
                               FROM outcomes WHERE {where} ORDER BY run, machine""", parameters)

    # --- what a run needs to know ------------------------------------------------------

    def trained(self) -> dict[str, dict]:
        """The trained machines: their model file, failure-mode limits and ISO settings."""
        rows = self._frame("SELECT machine, model_file, thresholds, iso_power, iso_foundation FROM machines")
        return {row.machine: {"model_file": self.path / row.model_file,
                              "thresholds": json.loads(row.thresholds) if isinstance(row.thresholds, str) else None,
                              "iso_power": None if pd.isna(row.iso_power) else float(row.iso_power),
                              "iso_foundation": row.iso_foundation if isinstance(row.iso_foundation, str) else None}
                for row in rows.itertuples()}

    def model(self, machine: str) -> modelfile.ModelFile:
        """A machine's current model, read and checked."""
        found = self._db.execute("SELECT model_file FROM machines WHERE machine = ?", [machine]).fetchone()
        if found is None:
            raise StoreError(f"{self.path} has no model of machine {machine!r}")
        path = self.path / found[0]
        try:
            data = path.read_bytes()
        except OSError as error:
            raise StoreError(f"the model of machine {machine!r}: {error.strerror}: {path}") from None
        return modelfile.parse(data, str(path))

    def tsquare_history(self, machine: str) -> pd.DataFrame:
        """Every stored T² of a machine, in time order: the input of its remaining-life forecast."""
        return self._frame("SELECT time, tsquare FROM scores WHERE machine = ? ORDER BY time", [machine])

    # --- runs --------------------------------------------------------------------------

    def begin_run(self, command: str, data: str | None, key: str, machines: int) -> RunRecord:
        """A new run, or the unfinished run of the same command on the same data, to be resumed."""
        self._db.execute("UPDATE runs SET status = 'interrupted' WHERE status = 'running'")  # we hold the lock
        found = self._db.execute("""SELECT run FROM runs WHERE key = ? AND status <> 'completed'
                                    ORDER BY run DESC LIMIT 1""", [key]).fetchone()
        if found is not None:
            run = int(found[0])
            self._db.execute("UPDATE runs SET status = 'running', machines = ? WHERE run = ?", [machines, run])
            done = {m for (m,) in self._db.execute("SELECT machine FROM outcomes WHERE run = ?", [run]).fetchall()}
            return RunRecord(run, True, done)
        run = int(self._db.execute("SELECT coalesce(max(run), 0) + 1 FROM runs").fetchone()[0])
        self._db.execute("INSERT INTO runs VALUES (?, ?, ?, ?, ?, NULL, 'running', ?)",
                         [run, command, data, key, utc_now(), machines])
        return RunRecord(run, False, set())

    def end_run(self, run: int, status: str) -> None:
        self._db.execute("UPDATE runs SET status = ?, ended = ? WHERE run = ?", [status, utc_now(), run])

    # --- committing one machine's outcome ----------------------------------------------

    def save_model(self, machine: str, run: int, model: dict, settings: dict) -> str:
        """Writes a machine's model file for a run; it counts once `commit` names it."""
        name = f"{MODELS}/{_model_file_name(machine, run)}"
        modelfile.save(model, self.path / name, settings)
        return name

    def commit(self, outcome: Outcome, *, machine: dict | None = None, scores: pd.DataFrame | None = None,
               lights: pd.DataFrame | None = None, rul: dict | None = None,
               forecast: pd.DataFrame | None = None) -> None:
        """One machine's outcome and everything it produced, in one transaction."""
        self.commit_many([(outcome, {"machine": machine, "scores": scores, "lights": lights, "rul": rul,
                                     "forecast": forecast})])

    def commit_many(self, entries: Sequence[tuple[Outcome, dict]]) -> None:
        """Machines' outcomes, each with what it produced (the keywords of `commit`), in one transaction.

        A statement costs DuckDB milliseconds whatever its size, so the rows of all the machines go into
        each table in one statement: a fleet's driver commits what its workers sent since it last committed.
        """
        if not entries:
            return
        for outcome, _ in entries:
            if outcome.run is None:
                raise ValueError(f"the outcome of machine {outcome.machine!r} is not numbered with its run")
        db = self._db
        db.begin()
        try:
            for outcome, produced in entries:
                if produced.get("machine") is not None:
                    self._put_machine(outcome, produced["machine"])
                if produced.get("rul") is not None:
                    self._put_rul(outcome, produced["rul"])
            self._insert("scores", SCORE_COLUMNS, _rows(entries, "scores", SCORE_COLUMNS), ["time"])
            self._put_lights(_rows(entries, "lights", LIGHT_COLUMNS))
            self._insert("forecast", FORECAST_COLUMNS, _rows(entries, "forecast", FORECAST_COLUMNS), ["time"])
            self._put_outcomes([outcome for outcome, _ in entries])
            db.commit()
        except BaseException:
            db.rollback()
            raise
        for outcome, produced in entries:
            if produced.get("machine") is not None:
                self._remove_old_models(outcome.machine, produced["machine"]["model_file"])

    def _put_machine(self, outcome: Outcome, machine: dict) -> None:
        columns = (*MACHINE_COLUMNS, "thresholds", "model_file", "trained_at", "trained_run")
        values = [_plain(machine[c]) for c in MACHINE_COLUMNS]
        thresholds = machine.get("thresholds")
        values += [None if thresholds is None else json.dumps(thresholds), machine["model_file"], utc_now(),
                   outcome.run]
        updates = ", ".join(f"{c} = excluded.{c}" for c in columns)
        self._db.execute(f"INSERT INTO machines (machine, {_names(columns)}) VALUES (?{', ?' * len(columns)}) "
                         f"ON CONFLICT (machine) DO UPDATE SET {updates}", [outcome.machine, *values])

    def _put_rul(self, outcome: Outcome, rul: dict) -> None:
        values = [_plain(rul[c]) for c in RUL_COLUMNS]
        self._db.execute(f"INSERT INTO rul (machine, run, {_names(RUL_COLUMNS)}) VALUES "
                         f"(?, ?{', ?' * len(RUL_COLUMNS)})", [outcome.machine, outcome.run, *values])
        # Only the latest forecast is kept: a daily forecast of up to 90 steps per machine would outgrow the
        # scores of an hour-bin model; the rul table keeps every result.
        self._db.execute("DELETE FROM forecast WHERE machine = ? AND run < ?", [outcome.machine, outcome.run])

    @contextlib.contextmanager
    def _incoming(self, rows: pd.DataFrame | list[dict]) -> Iterator[None]:
        """`rows` (a frame, or records with the same keys) as the table "incoming" while the block runs."""
        import pyarrow

        # DuckDB scans an Arrow table with less preparation than a DataFrame of text columns.
        table = (pyarrow.Table.from_pylist(rows) if isinstance(rows, list)
                 else pyarrow.Table.from_pandas(rows, preserve_index=False))
        self._db.register("incoming", table)
        yield
        # Not when the block failed: the transaction is aborted then, and refuses even this until the
        # rollback; the next registration replaces the name.
        self._db.unregister("incoming")

    def _insert(self, table: str, columns: tuple[str, ...], rows: pd.DataFrame | None, key: list[str],
                conflict: str = "ON CONFLICT DO NOTHING", then: str | None = None) -> None:
        """Rows of machines; rows whose natural key is stored already are left as they are (by default).
        `then`: a statement run next on the same rows."""
        if rows is None:
            return
        with self._incoming(rows.drop_duplicates(["machine", *key], keep="last")):
            self._db.execute(f"INSERT INTO {table} (machine, run, {_names(columns)}) "
                             f"SELECT machine, run, {_names(columns)} FROM incoming {conflict}")
            if then:
                self._db.execute(then)

    def _put_lights(self, lights: pd.DataFrame | None) -> None:
        """A batch's lights replace the machine's lights of their kind, unless an earlier batch was scored last.

        Only the latest lights are kept: scored hourly, a machine's lights would otherwise outgrow its scores
        fifty times over, and the scores carry the history.
        """
        updates = ", ".join(f"{c} = excluded.{c}" for c in LIGHT_COLUMNS[2:])
        no_longer_graded = """DELETE FROM lights
            USING (SELECT machine, kind, max(time) AS latest FROM incoming GROUP BY machine, kind) AS batch
            WHERE lights.machine = batch.machine AND lights.kind = batch.kind AND lights.time < batch.latest"""
        newer = f"ON CONFLICT DO UPDATE SET {updates}, run = excluded.run WHERE excluded.time >= lights.time"
        self._insert("lights", LIGHT_COLUMNS, lights, ["kind", "feature"], conflict=newer, then=no_longer_graded)

    def _put_outcomes(self, outcomes: list[Outcome]) -> None:
        committed = utc_now()
        records = [{"run": o.run, "machine": o.machine, "outcome": o.outcome, "stage": o.stage,
                    "message": o.message, "note": o.note, "duration": float(o.duration), "rows": o.rows,
                    "notes": "; ".join(o.notes) or None, "committed": committed} for o in outcomes]
        with self._incoming(records):
            self._db.execute("INSERT INTO outcomes SELECT * FROM incoming")
            self._db.execute("UPDATE machines SET last_outcome = incoming.outcome, last_run = incoming.run "
                             "FROM incoming WHERE machines.machine = incoming.machine")

    def _remove_old_models(self, machine: str, current: str) -> None:
        prefix = f"{_model_stem(machine)}.r"
        for old in (self.path / MODELS).glob(f"{prefix}*.model"):
            if old.name != Path(current).name and old.name[len(prefix):-len(".model")].isdigit():
                with contextlib.suppress(FileNotFoundError):
                    old.unlink()


def _rows(entries: Sequence[tuple[Outcome, dict]], kind: str, columns: tuple[str, ...]) -> pd.DataFrame | None:
    """The rows of one kind that the machines produced, with their machine and run; None when there are none."""
    frames = [produced[kind].loc[:, list(columns)].assign(time=lambda f: naive_utc(f["time"]).to_numpy(),
                                                          machine=outcome.machine, run=outcome.run)
              for outcome, produced in entries if produced.get(kind) is not None and not produced[kind].empty]
    return pd.concat(frames, ignore_index=True) if frames else None


def _names(columns) -> str:
    """Column names quoted, since some ("show") are words of SQL."""
    return ", ".join(f'"{c}"' for c in columns)


def _plain(value):
    """A value DuckDB takes as a parameter: numpy scalars as Python numbers, NaN and NaT as NULL."""
    if value is None:
        return None
    if isinstance(value, pd.Timestamp):
        return None if pd.isna(value) else naive_utc([value]).iloc[0].to_pydatetime()
    if hasattr(value, "item"):
        value = value.item()
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


def _make_folder(path: Path) -> None:
    try:
        (path / MODELS).mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise StoreError(f"cannot make the store folder {path}: {error.strerror}") from None


def _lock(path: Path, exclusive: bool):
    """The store's lock file, locked; StoreBusy at once when another process holds it."""
    lock_path = path / LOCK
    try:
        lock_file = open(lock_path, "a+" if exclusive else "r")
    except FileNotFoundError:
        return open(os.devnull)  # a store made before locking existed, or being made: nothing to wait for
    except OSError as error:
        raise StoreError(f"cannot open {lock_path}: {error.strerror}") from None
    try:
        fcntl.flock(lock_file, (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB)
    except OSError as error:
        busy = error.errno in (errno.EWOULDBLOCK, errno.EACCES)
        message = _busy(path, lock_file, exclusive) if busy else f"cannot lock {lock_path}: {error.strerror}"
        lock_file.close()
        raise (StoreBusy if busy else StoreError)(message) from None
    if exclusive:
        lock_file.seek(0)
        lock_file.truncate()
        lock_file.write(str(os.getpid()))
        lock_file.flush()
    return lock_file


def _busy(path: Path, lock_file, exclusive: bool) -> str:
    """Who holds the lock: a run (exclusive, its pid in the file) or readers (shared)."""
    if exclusive:
        try:
            fcntl.flock(lock_file, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except OSError:
            pass
        else:
            fcntl.flock(lock_file, fcntl.LOCK_UN)
            return f"store {path} is open for reading in another process; try again when it has closed"
    lock_file.seek(0)
    holder = lock_file.read().strip() or "unknown"
    return f"store {path} is in use by another run (pid {holder}); try again when it has ended"


def _connection_problem(path: Path, error: Exception) -> str:
    text = " ".join(str(error).split())
    if "lock" in text.lower():
        return f"store {path} is open in another process ({text})"
    return f"cannot open the store {path}: {text}"

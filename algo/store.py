"""The fleet's history store: a folder with an embedded DuckDB database and the model files.

The SQL of the results lives in this module, and that of the alerts in
`algo.alerts.tables`, so that another database could take DuckDB's place
without touching the rest. The tables are meant to
be queried by people too: machines, scores, lights, light_history, rul,
forecast, runs, outcomes, alerts and outbox, each keyed by its natural key (a score by machine and time, a
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
import hashlib
import json
import os
import stat
import urllib.parse
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path, PurePosixPath

import numpy as np
import pandas as pd

from algo import modelfile
from algo.errors import AlgoHealthError
from algo.results import FORECAST_COLUMNS, LIGHT_COLUMNS, SCORE_COLUMNS, MachineRecord, Produced, RulSummary, scalar

DATABASE = "fleet.duckdb"
LOCK = "lock"
MODELS = "models"

# The tables as the first release made them.
LAYOUT_1 = """
CREATE TABLE machines (
    machine VARCHAR PRIMARY KEY,
    algo_config VARCHAR, ucl DOUBLE, rul_deadline DOUBLE, rul_warning_line DOUBLE, time_scale VARCHAR,
    train_start TIMESTAMP, train_end TIMESTAMP, trained_at TIMESTAMP, trained_run BIGINT,
    robust_index DOUBLE, robust_status VARCHAR, running_when VARCHAR,
    iso_power DOUBLE, iso_foundation VARCHAR, thresholds VARCHAR, model_file VARCHAR,
    last_outcome VARCHAR, last_run BIGINT
);
CREATE TABLE scores (
    machine VARCHAR, time TIMESTAMP, tsquare DOUBLE, health_index DOUBLE, suspicious_variable VARCHAR, run BIGINT,
    PRIMARY KEY (machine, time)
);
CREATE TABLE lights (
    machine VARCHAR, kind VARCHAR, feature VARCHAR, time TIMESTAMP, value DOUBLE, light VARCHAR,
    upper_warning DOUBLE, upper_alert DOUBLE, lower_warning DOUBLE, lower_alert DOUBLE, run BIGINT,
    PRIMARY KEY (machine, kind, feature)
);
CREATE TABLE rul (
    machine VARCHAR, run BIGINT, last_time TIMESTAMP, rul DOUBLE, unit VARCHAR, rul_at_least BOOLEAN,
    signal VARCHAR, "show" VARCHAR, death_probability DOUBLE, rul_deadline DOUBLE, rul_warning_line DOUBLE,
    PRIMARY KEY (machine, run)
);
CREATE TABLE forecast (
    machine VARCHAR, run BIGINT, time TIMESTAMP, score DOUBLE, upper DOUBLE, lower DOUBLE,
    PRIMARY KEY (machine, run, time)
);
CREATE TABLE runs (
    run BIGINT PRIMARY KEY, command VARCHAR, data VARCHAR, key VARCHAR,
    started TIMESTAMP, ended TIMESTAMP, status VARCHAR, machines INTEGER
);
CREATE TABLE outcomes (
    run BIGINT, machine VARCHAR, outcome VARCHAR, stage VARCHAR, message VARCHAR, note VARCHAR,
    duration DOUBLE, rows BIGINT, notes VARCHAR, committed TIMESTAMP,
    PRIMARY KEY (run, machine)
);
"""

# The store's layouts: each migration brings a store from the layout before it to its own number. A writer
# applies those a store lacks in one transaction when it opens it, so a store made by any release is read
# by the later ones.
MIGRATIONS = (
    (1, LAYOUT_1),
    # An unknown remaining life has no unit; why it is unknown is its note. Unexpected failures keep their
    # traceback.
    (2, """ALTER TABLE rul ADD COLUMN note VARCHAR;
           UPDATE rul SET note = unit, unit = NULL WHERE rul IS NULL;
           ALTER TABLE outcomes ADD COLUMN traceback VARCHAR;"""),
    # A machine keeps the partition keys that describe it (site, line); a score, the training run of the model
    # that made it, so that a retrained machine is judged against the model that scored it.
    (3, """ALTER TABLE machines ADD COLUMN attributes VARCHAR;
           ALTER TABLE scores ADD COLUMN model_run BIGINT;
           UPDATE scores SET model_run = machines.trained_run FROM machines WHERE scores.machine = machines.machine;"""),
    # Alerts: their history, the notifications waiting to be delivered, what the rules read of each machine,
    # the changes of every light, and the rule settings a machine's manifest row gave. The tables whose rows
    # change have no index: the oldest DuckDB releases supported refuse some updates of indexed rows (their
    # keys, alert, (key, channel) and machine, are kept by `algo.alerts.tables`).
    (4, """
CREATE TABLE light_history (
    machine VARCHAR, kind VARCHAR, feature VARCHAR, time TIMESTAMP, value DOUBLE, light VARCHAR,
    upper_warning DOUBLE, upper_alert DOUBLE, lower_warning DOUBLE, lower_alert DOUBLE, run BIGINT,
    PRIMARY KEY (machine, kind, feature, time)
);
CREATE TABLE alerts (
    alert BIGINT, machine VARCHAR, rule VARCHAR, severity VARCHAR, since TIMESTAMP,
    opened TIMESTAMP, escalated TIMESTAMP, cleared TIMESTAMP, gone_since TIMESTAMP,
    acknowledged_by VARCHAR, acknowledged_at TIMESTAMP, note VARCHAR, triggered VARCHAR, summary VARCHAR,
    run BIGINT
);
CREATE TABLE outbox (
    key VARCHAR, channel VARCHAR, alert BIGINT, transition VARCHAR, created TIMESTAMP, payload VARCHAR,
    attempts INTEGER, last_attempt TIMESTAMP, last_error VARCHAR, delivered TIMESTAMP
);
CREATE TABLE alert_watch (
    machine VARCHAR, last_score TIMESTAMP, batch_ends VARCHAR, alarm_streak INTEGER,
    signal VARCHAR, rul DOUBLE, unit VARCHAR, rul_at_least BOOLEAN, failed_runs INTEGER, last_error VARCHAR,
    run BIGINT
);
ALTER TABLE machines ADD COLUMN alert_settings VARCHAR;"""),
)
LAYOUT = MIGRATIONS[-1][0]

MODEL_COLUMNS = ("algo_config", "ucl", "rul_deadline", "rul_warning_line", "time_scale", "train_start",
                 "train_end", "robust_index", "robust_status", "running_when")
MACHINE_COLUMNS = (*MODEL_COLUMNS, "iso_power", "iso_foundation", "thresholds", "model_file", "attributes",
                   "alert_settings")
RUL_COLUMNS = ("last_time", "rul", "unit", "rul_at_least", "signal", "show", "death_probability", "rul_deadline",
               "rul_warning_line", "note")
OUTCOME_COLUMNS = ("run", "machine", "outcome", "stage", "message", "note", "duration", "rows", "notes",
                   "committed", "traceback")

# Risk order of the status table: red, yellow, then machines whose state is
# not known (no forecast, a gray forecast, or a failed last run), then green.
RISK = """CASE WHEN signal = 'red' THEN 0 WHEN signal = 'yellow' THEN 1
               WHEN signal = 'green' AND coalesce(last_outcome, 'ok') <> 'failed' THEN 3 ELSE 2 END"""
LIGHT_RANK = "CASE light WHEN 'red' THEN 3 WHEN 'yellow' THEN 2 WHEN 'green' THEN 1 END"


class StoreError(AlgoHealthError):
    """A store that cannot be used as asked."""

    stage = "store"


class StoreBusy(StoreError):
    """Another process is writing the store."""


def utc_now() -> datetime:
    return datetime.now(timezone.utc).replace(tzinfo=None)


def naive_utc(times) -> pd.Series:
    """Times as naive UTC: zoned times are converted, naive ones are taken as UTC already."""
    if isinstance(times, pd.Series) and pd.api.types.is_datetime64_dtype(times.dtype):
        return times  # as most batches hold them: nothing to convert
    times = pd.to_datetime(pd.Series(times))
    if times.dt.tz is not None:
        times = times.dt.tz_convert("UTC").dt.tz_localize(None)
    return times


# Bytes of a model file's name taken from its machine's name; file systems hold 255.
STEM_BYTES = 120


def _model_stem(machine: str) -> str:
    """The machine's name as a file name: quoted, so that any name is one safe name, and cut to a length every
    file system holds, with a digest of the whole name that keeps long names that begin alike apart."""
    stem = urllib.parse.quote(machine, safe="-_.")
    if len(stem) <= STEM_BYTES:
        return stem
    digest = hashlib.sha256(machine.encode("utf-8", "surrogateescape")).hexdigest()[:16]
    return f"{stem[:STEM_BYTES - len(digest) - 1]}-{digest}"  # never read back: the table keeps the name


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
    traceback: str | None = None  # of an unexpected failure: a fault to report, not bad input


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
        self.found_layout: int | None = None  # the layout the store had when it was opened

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
            raise StoreError(f"no fleet store at {path}", "{train} makes one")
        if mode == "w":
            _make_folder(path)
        lock_file = _lock(path, exclusive=mode == "w")
        try:
            # A writer's statements are small, many and one at a time: DuckDB's threads only add their
            # coordination to each, and take cores from the fleet's workers.
            connection = duckdb.connect(str(database), read_only=mode == "r",
                                        config={"threads": 1} if mode == "w" else {})
        except duckdb.Error as error:
            lock_file.close()
            raise StoreError(_connection_problem(path, error)) from None
        store = cls(path, connection, lock_file)
        try:
            store._bring_up_to_date(writable=mode == "w")
        except duckdb.Error as error:
            store.close()
            raise StoreError(_connection_problem(path, error)) from None
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

    def layout(self) -> int:
        """The store's layout number; 0 for a database without the store's tables yet."""
        known = self._db.execute("SELECT count(*) FROM information_schema.tables "
                                 "WHERE table_name = 'store_info'").fetchone()[0]
        found = self._db.execute("SELECT value FROM store_info WHERE key = 'schema'").fetchone() if known else None
        if found is None:
            return 0
        if not str(found[0]).isdigit():
            raise StoreError(f"{self.path} holds a store of an unknown layout {found[0]!r}")
        return int(found[0])

    def _bring_up_to_date(self, writable: bool) -> None:
        """Applies the migrations an older store lacks (a writer only); refuses a layout this release cannot read."""
        layout = self.found_layout = self.layout()
        if layout > LAYOUT:
            raise StoreError(f"{self.path} holds a store of layout {layout}, made by a later release; this one "
                             f"reads layouts up to {LAYOUT}")
        if layout == LAYOUT:
            return
        if not writable:
            raise StoreError(f"{self.path} holds a store of layout {layout}, older than this release's layout "
                             f"{LAYOUT}", "{upgrade} brings it up to date")
        self._migrate(layout)

    def _migrate(self, layout: int) -> None:
        db = self._db
        with self.transaction():
            db.execute("CREATE TABLE IF NOT EXISTS store_info (key VARCHAR PRIMARY KEY, value VARCHAR)")
            for number, statements in MIGRATIONS:
                if number > layout:
                    db.execute(statements)
            db.execute("INSERT OR REPLACE INTO store_info VALUES ('schema', ?)", [str(LAYOUT)])

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        """The block's statements committed together, or none of them."""
        self._db.begin()
        try:
            yield
            self._db.commit()
        except BaseException as error:
            self._abandon(error)
            raise

    # --- the tables of other concerns (alerting) -----------------------------------------

    def execute(self, sql: str, parameters=()):
        """A statement on the store's connection; its result reads with `.df()` or `.fetchall()`."""
        return self._db.execute(sql, list(parameters))

    def insert_records(self, table: str, records: list[dict], key: Sequence[str] = ()) -> None:
        """Rows (records with the same keys, the table's columns) into `table`, replacing those with the same
        `key` columns."""
        if not records:
            return
        columns = _names(records[0])
        with self._incoming(records):
            if key:
                same = " AND ".join(f'{table}."{c}" = incoming."{c}"' for c in key)
                self._db.execute(f"DELETE FROM {table} USING incoming WHERE {same}")
            self._db.execute(f"INSERT INTO {table} ({columns}) SELECT {columns} FROM incoming")

    # --- the read API ---------------------------------------------------------------

    def _frame(self, sql: str, parameters=()) -> pd.DataFrame:
        import duckdb

        try:
            return self._db.execute(sql, list(parameters)).df()
        except (duckdb.IOException, duckdb.FatalException, duckdb.InternalException) as error:
            raise StoreError(f"cannot read the store {self.path}, its {DATABASE} may be damaged: "
                             f"{_one_line(error)}") from None

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
                       AS rul_at_least, r.signal, r."show", r.death_probability, r.note,
                       ['green', 'yellow', 'red'][l.failure_mode_rank] AS failure_mode_light,
                       ['green', 'yellow', 'red'][l.iso_rank] AS iso_light,
                       s.alarm_variable, o.last_outcome, o.last_error, o.last_run, o.last_run_at
                FROM known k LEFT JOIN last_score s USING (machine) LEFT JOIN last_rul r USING (machine)
                LEFT JOIN lights_now l USING (machine) LEFT JOIN last_outcome o USING (machine))
            SELECT * FROM table_ ORDER BY {RISK}, rul ASC NULLS LAST, machine""")

    def history(self, machines=None, current_model: bool = False) -> pd.DataFrame:
        """Each machine's scores with the training run of the model that made them (`model_run`); only those
        of its current model when `current_model`."""
        where, parameters = self._only(machines, "s.machine")
        current = "s.model_run = m.trained_run" if current_model else "TRUE"
        return self._frame(f"""SELECT s.machine, s.time, s.tsquare, s.health_index, s.suspicious_variable, s.run,
                                      s.model_run
                               FROM scores s LEFT JOIN machines m USING (machine)
                               WHERE {where} AND {current} ORDER BY s.machine, s.time""", parameters)

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
        return self._frame(f"""SELECT {_names(OUTCOME_COLUMNS)} FROM outcomes WHERE {where} ORDER BY run, machine""",
                           parameters)

    # --- what a run needs to know ------------------------------------------------------

    def trained(self) -> dict[str, dict]:
        """The trained machines: their model file (as the machines table names it), failure-mode limits and ISO
        settings."""
        rows = self._frame("SELECT machine, model_file, thresholds, iso_power, iso_foundation FROM machines")
        return {row.machine: {"model_file": row.model_file,
                              "thresholds": json.loads(row.thresholds) if isinstance(row.thresholds, str) else None,
                              "iso_power": None if pd.isna(row.iso_power) else float(row.iso_power),
                              "iso_foundation": row.iso_foundation if isinstance(row.iso_foundation, str) else None}
                for row in rows.itertuples()}

    def model_path(self, machine: str, name: str) -> Path:
        """The file of a machine's model as the machines table names it, which must lie in the store's models
        folder: the table can be written by anyone with a DuckDB client, and nothing outside the store is loaded."""
        relative = PurePosixPath(str(name))
        models = Path(os.path.realpath(self.path / MODELS))
        path = self.path / relative
        if (relative.is_absolute() or ".." in relative.parts or relative.parts[:1] != (MODELS,)
                or Path(os.path.realpath(path)).parent != models):
            raise StoreError(f"the model file of machine {machine!r} is named {str(name)!r}, which is not a file of "
                             f"the store's {MODELS} folder")
        return path

    def model(self, machine: str) -> modelfile.ModelFile:
        """A machine's current model, read and checked."""
        found = self._db.execute("SELECT model_file FROM machines WHERE machine = ?", [machine]).fetchone()
        if found is None:
            raise StoreError(f"{self.path} has no model of machine {machine!r}")
        path = self.model_path(machine, found[0])
        try:
            data = path.read_bytes()
        except OSError as error:
            raise StoreError(f"the model of machine {machine!r}: {error.strerror}: {path}") from None
        return modelfile.parse(data, str(path))

    def tsquare_history(self, machine: str) -> pd.DataFrame:
        """The T² of a machine scored by its current model, in time order: the input of its remaining-life
        forecast, which scores of an earlier model, with another limit, would mislead."""
        return self._frame("""SELECT time, tsquare FROM scores JOIN machines USING (machine)
                              WHERE machine = ? AND model_run = trained_run ORDER BY time""", [machine])

    # --- runs --------------------------------------------------------------------------

    def latest_run(self, commands: Sequence[str]) -> int | None:
        """The number of the latest run of any of `commands`."""
        return self._db.execute("SELECT max(run) FROM runs WHERE list_contains(?, command)",
                                [list(commands)]).fetchone()[0]

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

    def commit(self, outcome: Outcome, produced: Produced | None = None) -> None:
        """One machine's outcome and everything it produced, in one transaction."""
        self.commit_many([(outcome, produced or Produced())])

    def commit_many(self, entries: Sequence[tuple[Outcome, Produced]], replace: bool = False,
                    during: Callable[[Sequence[tuple[Outcome, Produced]]], None] | None = None) -> None:
        """Machines' outcomes, each with what it produced, in one transaction.

        A time scored again keeps its first score and the lights stay those of the first batch that ended
        there, and the outcome's notes say how many scores were kept so; with `replace` the new batch replaces
        both (a corrected re-export). A statement costs DuckDB milliseconds whatever its size, so the rows of
        all the machines go into each table in one statement: a fleet's driver commits what its workers sent
        since it last committed. `during(entries)` runs in the same transaction once the rows are in
        (alerting writes what they raise).
        """
        if not entries:
            return
        for outcome, _ in entries:
            if outcome.run is None:
                raise ValueError(f"the outcome of machine {outcome.machine!r} is not numbered with its run")
        with self.transaction():
            for outcome, produced in entries:
                if produced.machine is not None:
                    self._put_machine(outcome, produced.machine)
                if produced.rul is not None:
                    self._put_rul(outcome, produced.rul)
            self._put_scores(entries, replace)
            self._put_lights(_rows(entries, lambda p: p.lights, LIGHT_COLUMNS), replace)
            forecasts = _rows(entries, lambda p: p.rul and p.rul.forecast, FORECAST_COLUMNS)
            self._insert("forecast", FORECAST_COLUMNS, forecasts)
            self._put_outcomes([outcome for outcome, _ in entries])
            if during is not None:
                during(entries)
        for outcome, produced in entries:
            if produced.machine is not None:
                self._remove_old_models(outcome.machine, produced.machine.model_file)

    def _abandon(self, error: BaseException) -> None:
        """Rolls back the transaction `error` ended; a store that could not be written (a full disk, a size
        limit) is a StoreError naming why."""
        import duckdb

        with contextlib.suppress(duckdb.Error):  # an I/O failure at the commit has ended the transaction already
            self._db.rollback()
        if isinstance(error, (duckdb.IOException, duckdb.FatalException)):
            raise StoreError(f"cannot write the store {self.path}: {_one_line(error)}") from None

    def _put_machine(self, outcome: Outcome, record: MachineRecord) -> None:
        columns = (*MACHINE_COLUMNS, "trained_at", "trained_run")
        thresholds, alert_settings = (None if part is None else json.dumps(part)
                                      for part in (record.thresholds, record.alert_settings))
        attributes = json.dumps(record.attributes) if record.attributes else None
        values = [*(_parameter(getattr(record.model, c)) for c in MODEL_COLUMNS), record.iso_power,
                  record.iso_foundation, thresholds, record.model_file, attributes, alert_settings, utc_now(),
                  outcome.run]
        updates = ", ".join(f"{c} = excluded.{c}" for c in columns)
        self._db.execute(f"INSERT INTO machines (machine, {_names(columns)}) VALUES (?{', ?' * len(columns)}) "
                         f"ON CONFLICT (machine) DO UPDATE SET {updates}", [outcome.machine, *values])

    def _put_rul(self, outcome: Outcome, rul: RulSummary) -> None:
        values = [_parameter(getattr(rul, c)) for c in RUL_COLUMNS]
        self._db.execute(f"INSERT INTO rul (machine, run, {_names(RUL_COLUMNS)}) VALUES "
                         f"(?, ?{', ?' * len(RUL_COLUMNS)})", [outcome.machine, outcome.run, *values])
        # Only the latest forecast is kept: a daily forecast of up to 90 steps per machine would outgrow the
        # scores of an hour-bin model; the rul table keeps every result.
        self._db.execute("DELETE FROM forecast WHERE machine = ? AND run < ?", [outcome.machine, outcome.run])

    @contextlib.contextmanager
    def _incoming(self, rows) -> Iterator[None]:
        """`rows` (an Arrow table, or records with the same keys) as the table "incoming" while the block runs."""
        import pyarrow

        # DuckDB scans an Arrow table with less preparation than a DataFrame of text columns.
        table = pyarrow.Table.from_pylist(rows) if isinstance(rows, list) else rows
        self._db.register("incoming", table)
        yield
        # Not when the block failed: the transaction is aborted then, and refuses even this until the
        # rollback; the next registration replaces the name.
        self._db.unregister("incoming")

    def _insert(self, table: str, columns: tuple[str, ...], rows, conflict: str = "ON CONFLICT DO NOTHING",
                then: str | None = None) -> None:
        """Rows of machines (an Arrow table, or None); rows whose natural key is stored already are left as they
        are (by default). `then`: a statement run next on the same rows."""
        if rows is None:
            return
        with self._incoming(rows):
            self._db.execute(f"INSERT INTO {table} (machine, run, {_names(columns)}) "
                             f"SELECT machine, run, {_names(columns)} FROM incoming {conflict}")
            if then:
                self._db.execute(then)

    def _put_scores(self, entries: Sequence[tuple[Outcome, Produced]], replace: bool) -> None:
        """The batches' scores, each with the training run of the machine's model; times stored already are
        counted in their outcome's notes."""
        rows = _rows(entries, lambda p: p.scores, SCORE_COLUMNS)
        if rows is None:
            return
        insert = (f"INSERT INTO scores (machine, run, {_names(SCORE_COLUMNS)}, model_run) "
                  f"SELECT i.machine, i.run, {_names(SCORE_COLUMNS, of='i')}, m.trained_run "
                  "FROM incoming i LEFT JOIN machines m USING (machine) ON CONFLICT")
        with self._incoming(rows):
            # Counted before the insert: RETURNING after DO NOTHING also returns the rows left alone on some
            # DuckDB releases.
            stored = Counter(dict(self._db.execute("SELECT machine, count(*) FROM incoming JOIN scores "
                                                   "USING (machine, time) GROUP BY machine").fetchall()))
            if replace:
                updates = ", ".join(f"{c} = excluded.{c}" for c in (*SCORE_COLUMNS[1:], "run", "model_run"))
                self._db.execute(f"{insert} DO UPDATE SET {updates}")
            else:
                self._db.execute(f"{insert} DO NOTHING")
        for outcome, produced in entries:
            if stored.get(outcome.machine):
                what = "replaced by this batch's" if replace else "kept (replace them to store this batch's)"
                outcome.notes.append(f"{stored[outcome.machine]:,} of the batch's {len(produced.scores):,} times "
                                     f"were scored before, by an earlier export: their stored scores and lights "
                                     f"{what}")

    def _put_lights(self, lights, replace: bool) -> None:
        """A batch's lights replace the machine's lights of their kind when the batch ends later than the one that
        graded them (or, replacing, as late), and are dropped otherwise, as its scores are.

        Only the latest lights are kept here: scored hourly, a machine's lights would otherwise outgrow its
        scores fifty times over. Their history keeps each change of a light instead (and its first grading).
        """
        updates = ", ".join(f"{c} = excluded.{c}" for c in LIGHT_COLUMNS[2:])
        no_longer_graded = """DELETE FROM lights
            USING (SELECT machine, kind, max(time) AS latest FROM incoming GROUP BY machine, kind) AS batch
            WHERE lights.machine = batch.machine AND lights.kind = batch.kind AND lights.time < batch.latest"""
        later = ">=" if replace else ">"
        newer = f"ON CONFLICT DO UPDATE SET {updates}, run = excluded.run WHERE excluded.time {later} lights.time"
        if lights is not None:
            self._record_light_changes(lights)
        self._insert("lights", LIGHT_COLUMNS, lights, conflict=newer, then=no_longer_graded)

    def _record_light_changes(self, lights) -> None:
        with self._incoming(lights):
            self._db.execute(f"""
                INSERT INTO light_history (machine, run, {_names(LIGHT_COLUMNS)})
                SELECT i.machine, i.run, {_names(LIGHT_COLUMNS, of="i")} FROM incoming i
                LEFT JOIN lights l USING (machine, kind, feature)
                WHERE l.time IS NULL OR (i.time > l.time AND l.light IS DISTINCT FROM i.light)
                ON CONFLICT DO NOTHING""")

    def _put_outcomes(self, outcomes: list[Outcome]) -> None:
        committed = utc_now()
        records = [{"run": o.run, "machine": o.machine, "outcome": o.outcome, "stage": o.stage,
                    "message": o.message, "note": o.note, "duration": float(o.duration), "rows": o.rows,
                    "notes": "; ".join(o.notes) or None, "committed": committed, "traceback": o.traceback}
                   for o in outcomes]
        with self._incoming(records):
            self._db.execute(f"INSERT INTO outcomes ({_names(OUTCOME_COLUMNS)}) "
                             f"SELECT {_names(OUTCOME_COLUMNS)} FROM incoming")
            self._db.execute("UPDATE machines SET last_outcome = incoming.outcome, last_run = incoming.run "
                             "FROM incoming WHERE machines.machine = incoming.machine")

    def _remove_old_models(self, machine: str, current: str) -> None:
        prefix = f"{_model_stem(machine)}.r"
        for old in (self.path / MODELS).glob(f"{prefix}*.model"):
            if old.name != Path(current).name and old.name[len(prefix):-len(".model")].isdigit():
                with contextlib.suppress(FileNotFoundError):
                    old.unlink()


def _rows(entries: Sequence[tuple[Outcome, Produced]], part, columns: tuple[str, ...]):
    """The rows of one kind (`part` of what each produced) of the machines, with their machine and run, as one
    Arrow table with the times as naive UTC and one row per natural key (the last); None when there are none.

    Columns are joined as numpy arrays, not frame by frame: a commit holds hundreds of machines."""
    import pyarrow

    parts = [(outcome, rows) for outcome, produced in entries
             if (rows := part(produced)) is not None and not rows.empty]
    if not parts:
        return None
    lengths = [len(rows) for _, rows in parts]
    arrays = {"machine": np.repeat(np.array([outcome.machine for outcome, _ in parts], dtype=object), lengths),
              "run": np.repeat(np.array([outcome.run for outcome, _ in parts], dtype=np.int64), lengths)}
    for column in columns:
        values = [(naive_utc(rows[column]) if column == "time" else rows[column]).to_numpy() for _, rows in parts]
        arrays[column] = np.concatenate(values) if len(values) > 1 else values[0]
    key = ["machine", "time", *(c for c in ("kind", "feature") if c in columns)]
    last = ~pd.DataFrame({c: arrays[c] for c in key}).duplicated(keep="last").to_numpy()
    if not last.all():
        arrays = {name: values[last] for name, values in arrays.items()}
    types = {"machine": pyarrow.string(), "run": pyarrow.int64()}
    return pyarrow.table({name: pyarrow.array(values, type=types.get(name), from_pandas=True)
                          for name, values in arrays.items()})


def _names(columns, of: str | None = None) -> str:
    """Column names quoted, since some ("show") are words of SQL; of the table `of` when given."""
    prefix = f"{of}." if of else ""
    return ", ".join(f'{prefix}"{c}"' for c in columns)


def _parameter(value):
    """A value DuckDB takes as a parameter: a plain scalar, and times as naive UTC."""
    if isinstance(value, pd.Timestamp) and not pd.isna(value):
        return naive_utc([value]).iloc[0].to_pydatetime()
    return scalar(value)


def _make_folder(path: Path) -> None:
    try:
        (path / MODELS).mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise StoreError(f"cannot make the store folder {path}: {error.strerror}") from None


def _lock(path: Path, exclusive: bool):
    """The store's lock file, locked; StoreBusy at once when another process holds it.

    The file is opened without following a symbolic link and only written once the lock is held, so a link
    planted in its place never has its target truncated or overwritten.
    """
    lock_path = path / LOCK
    # Never blocks either: a FIFO put there is refused below rather than waited on.
    flags = (os.O_RDWR | os.O_CREAT if exclusive else os.O_RDONLY) | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
    try:
        descriptor = os.open(lock_path, flags, 0o644)
    except FileNotFoundError:
        return open(os.devnull)  # a store made before locking existed, or being made: nothing to wait for
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise StoreError(f"the lock file {lock_path} is a symbolic link; a store's lock is a plain file") from None
        raise StoreError(f"cannot open {lock_path}: {error.strerror}") from None
    lock_file = os.fdopen(descriptor, "r+" if exclusive else "r")
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        lock_file.close()
        raise StoreError(f"the lock file {lock_path} is not a plain file")
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


def _one_line(error: Exception) -> str:
    return " ".join(str(error).split())


def _connection_problem(path: Path, error: Exception) -> str:
    text = _one_line(error)
    if "could not set lock" in text.lower():
        return f"store {path} is open in another process ({text})"
    return f"cannot open the store {path}, its {DATABASE} may be damaged: {text}"

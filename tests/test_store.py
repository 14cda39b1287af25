"""The fleet store: natural keys, a machine committed whole or not at all, the read API's order, the one-writer lock."""

import os
import re
import signal
import subprocess
import sys

import pandas as pd
import pytest

from algo import store as store_module
from algo.results import Produced, RulSummary
from algo.store import Outcome, Store, StoreBusy, StoreError


def scores(start, hours, health=90.0):
    times = pd.date_range(start, periods=hours, freq="h")
    return pd.DataFrame({"time": times, "tsquare": 1.0, "health_index": health, "suspicious_variable": None})


def rul_row(rul, signal, note=None, forecast=None):
    return RulSummary(rul=rul, unit=None if rul is None else "days", rul_at_least=False, signal=signal, show=None,
                      death_probability=50.0, rul_deadline=20.0, rul_warning_line=None, note=note,
                      last_time=pd.Timestamp("2024-01-02"), forecast=forecast)


def commit_run(store, command, outcomes, key=None):
    """A completed run whose machines commit what `outcomes` maps them to, (outcome, what it produced), all in
    one transaction as a fleet's driver commits what arrived together."""
    record = store.begin_run(command, "data", key or f"{command}-{len(store.runs())}", len(outcomes))
    entries = []
    for name, (outcome, produced) in outcomes.items():
        stage, message = ("input", f"{name} is empty") if outcome == "failed" else (None, None)
        entries.append((Outcome(name, outcome, stage, message, run=record.run), Produced(**produced)))
    store.commit_many(entries)
    store.end_run(record.run, "completed")
    return record.run


@pytest.fixture
def store(tmp_path):
    with Store.open(tmp_path / "store", "w") as opened:
        yield opened


def test_the_same_batch_twice_adds_nothing(store):
    for _ in range(2):
        commit_run(store, "score", {"a": ("ok", {"scores": scores("2024-01-01", 3)})})
    commit_run(store, "score", {"a": ("ok", {"scores": scores("2024-01-01 02:00", 2, health=50.0)})})
    history = store.history()
    assert list(history["time"]) == list(pd.date_range("2024-01-01", periods=4, freq="h"))
    assert list(history["health_index"]) == [90.0, 90.0, 90.0, 50.0]  # the time stored first keeps its score
    assert list(history["run"]) == [1, 1, 1, 3]


def test_a_failed_commit_leaves_nothing_of_its_machines(store):
    import duckdb

    record = store.begin_run("score", "data", "k", 2)
    good = (Outcome("a", run=record.run), Produced(scores=scores("2024-01-02", 2)))
    broken = (Outcome("b", run=record.run), Produced(lights=scores("2024-01-01", 2).drop(columns="tsquare")))
    with pytest.raises(KeyError):
        store.commit_many([good, broken])
    with pytest.raises(duckdb.ConstraintException):  # DuckDB's error, not the aborted transaction's after it
        store.commit_many([good, good])
    assert store.history().empty and store.outcomes().empty
    store.commit_many([good])  # the store goes on
    assert len(store.history()) == 2


def test_status_puts_the_riskiest_first(store):
    commit_run(store, "score", {name: ("ok", {"scores": scores("2024-01-01", 2)}) for name in "abcdefg"}
               | {"h": ("failed", {})})
    commit_run(store, "rul", {"a": ("ok", {"rul": rul_row(40, "green")}), "b": ("ok", {"rul": rul_row(3, "red")}),
                              "c": ("ok", {"rul": rul_row(None, "gray", note="RUL data is not enough")}),
                              "d": ("ok", {"rul": rul_row(20, "yellow")}), "e": ("ok", {"rul": rul_row(1, "red")}),
                              "f": ("ok", {"rul": rul_row(10, "green")}), "h": ("ok", {"rul": rul_row(90, "green")})})
    table = store.status()
    # red by remaining life, yellow, then unknown (gray, never forecast, failed batch), green by remaining life
    assert list(table["machine"]) == ["e", "b", "d", "h", "c", "g", "f", "a"]
    failed = table.set_index("machine").loc["h"]
    assert failed["last_outcome"] == "failed" and failed["last_error"] == "input: h is empty"
    assert failed["signal"] == "green"  # the forecast made after the broken batch does not hide it


def test_a_later_success_of_the_same_command_clears_the_error(store):
    commit_run(store, "score", {"a": ("failed", {})})
    commit_run(store, "score", {"a": ("ok", {"scores": scores("2024-01-01", 1)})})
    row = store.status().iloc[0]
    assert row["last_outcome"] == "ok" and pd.isna(row["last_error"])


def test_latest_lights_and_forecasts(store):
    def lights(time, light):
        return pd.DataFrame({"time": [pd.Timestamp(time)] * 2, "kind": ["failure_mode", "failure_mode"],
                             "feature": ["X_Overall", "Bearing"], "value": [1.0, 2.0], "light": ["green", light],
                             "upper_warning": 1.0, "upper_alert": 2.0, "lower_warning": 0.0, "lower_alert": -1.0})

    forecast = pd.DataFrame({"time": pd.date_range("2024-01-03", periods=2), "score": [80.0, 70.0],
                             "upper": [90.0, 85.0], "lower": [70.0, 60.0]})
    commit_run(store, "score", {"a": ("ok", {"lights": lights("2024-01-01", "red")})})
    commit_run(store, "score", {"a": ("ok", {"lights": lights("2024-01-02", "yellow")})})
    commit_run(store, "score", {"a": ("ok", {"lights": lights("2024-01-01", "red")})})  # an old batch again
    commit_run(store, "rul", {"a": ("ok", {"rul": rul_row(5, "red", forecast=forecast)})})
    assert list(store.lights()["light"]) == ["yellow", "green"] and len(store.lights()) == 2
    assert store.status().iloc[0]["failure_mode_light"] == "yellow"
    assert list(store.forecasts()["score"]) == [80.0, 70.0]
    commit_run(store, "rul", {"a": ("ok", {"rul": rul_row(None, "gray", note="RUL data is not enough")})})
    assert store.forecasts().empty  # the latest result has no forecast; an older one is not shown for it


def test_an_unfinished_run_of_the_same_command_and_data_is_resumed(store):
    first = store.begin_run("score", "data", "same", 3)
    store.commit(Outcome("a", run=first.run))
    # the driver died here: the run is still "running" in the store
    again = store.begin_run("score", "data", "same", 3)
    assert again.resumed and again.run == first.run and again.done == {"a"}
    store.end_run(again.run, "completed")
    assert not store.begin_run("score", "data", "same", 3).resumed
    assert not store.begin_run("score", "other data", "other", 3).resumed


class TestOneWriter:
    def test_a_second_writer_or_a_reader_is_turned_away_at_once(self, store, tmp_path):
        for mode in ("w", "r"):
            with pytest.raises(StoreBusy, match=rf"in use by another run \(pid {os.getpid()}\)"):
                Store.open(tmp_path / "store", mode)

    def test_a_writer_is_turned_away_while_a_reader_has_it_open(self, tmp_path):
        Store.open(tmp_path / "store", "w").close()
        with Store.open(tmp_path / "store", "r"), pytest.raises(StoreBusy, match="open for reading"):
            Store.open(tmp_path / "store", "w")

    def test_the_lock_goes_with_a_killed_writer(self, tmp_path):
        holder = subprocess.Popen([sys.executable, "-c", "import sys, time; from algo.store import Store; "
                                   f"s = Store.open({str(tmp_path / 'store')!r}, 'w'); print('open', flush=True); "
                                   "time.sleep(60)"], stdout=subprocess.PIPE, text=True, cwd=tmp_path)
        try:
            assert holder.stdout.readline().strip() == "open"
            with pytest.raises(StoreBusy, match=f"pid {holder.pid}"):
                Store.open(tmp_path / "store", "w")
        finally:
            holder.send_signal(signal.SIGKILL)
            holder.wait()
        Store.open(tmp_path / "store", "w").close()


def test_missing_store_and_other_layouts_are_refused(tmp_path):
    with pytest.raises(StoreError, match="no fleet store at"):
        Store.open(tmp_path / "nothing")
    with Store.open(tmp_path / "store", "w") as store:
        store._db.execute("UPDATE store_info SET value = '99' WHERE key = 'schema'")
    for mode in ("r", "w"):
        with pytest.raises(StoreError, match="layout 99, made by a later release"):
            Store.open(tmp_path / "store", mode)


def test_an_older_store_is_migrated_by_a_writer_and_named_to_a_reader(tmp_path):
    import duckdb

    from algo import fleet
    from algo.cli.options import FLAG_NAMES

    path = tmp_path / "store"
    (path / "models").mkdir(parents=True)
    with duckdb.connect(str(path / "fleet.duckdb")) as db:  # a store as the first release left it
        db.execute(store_module.LAYOUT_1)
        db.execute("CREATE TABLE store_info (key VARCHAR PRIMARY KEY, value VARCHAR)")
        db.execute("INSERT INTO store_info VALUES ('schema', '1')")
        db.execute("INSERT INTO rul (machine, run, rul, unit, signal) VALUES ('a', 1, NULL, 'RUL data is not "
                   "enough', 'gray'), ('b', 1, 12, 'days', 'red')")
    with pytest.raises(StoreError) as refused:
        Store.open(path)
    assert "layout 1, older than" in str(refused.value)
    assert refused.value.message(FLAG_NAMES).endswith("`algo-health fleet upgrade` brings it up to date")
    assert fleet.upgrade(path) == fleet.api.Upgraded(1, store_module.LAYOUT, 0)
    assert fleet.upgrade(path).layout_before == store_module.LAYOUT
    with Store.open(path) as opened:
        rul = opened._db.execute("SELECT machine, rul, unit, note FROM rul ORDER BY machine").fetchall()
    assert rul == [("a", None, None, "RUL data is not enough"), ("b", 12.0, "days", None)]


@pytest.mark.parametrize("fault, message", [("size limit", "cannot write the store .*File too large"),
                                            ("damaged", "may be damaged")])
def test_a_store_that_cannot_be_written_or_read_says_why(tmp_path, fault, message):
    path = tmp_path / "store"
    Store.open(path, "w").close()
    if fault == "damaged":
        data = bytearray((path / "fleet.duckdb").read_bytes())
        for position in range(5000, len(data), 997):
            data[position] ^= 0xFF
        (path / "fleet.duckdb").write_bytes(bytes(data))
        with pytest.raises(StoreError, match=message):
            Store.open(path).status()
        return
    script = ("import resource, signal, sys, pandas as pd; from algo.store import Outcome, Store; "
              "from algo.results import Produced; "
              "signal.signal(signal.SIGXFSZ, signal.SIG_IGN); limit = __import__('os').path.getsize(sys.argv[1] + "
              "'/fleet.duckdb') + 300_000; resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)); "
              "store = Store.open(sys.argv[1], 'w'); run = store.begin_run('score', 'd', 'k', 1).run; "
              "rows = pd.DataFrame({'time': pd.date_range('2024', periods=400_000, freq='s'), 'tsquare': 1.0, "
              "'health_index': 2.0, 'suspicious_variable': 'x'}); "
              "store.commit_many([(Outcome('a', run=run), Produced(scores=rows))])")
    result = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 1 and re.search(message, result.stderr.splitlines()[-1])
    assert "StoreError" in result.stderr and "rollback" not in result.stderr

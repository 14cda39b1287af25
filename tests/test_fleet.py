"""The fleet end to end on a small generated fleet: the same results as one machine at a time, on Dask too,
and every good machine committed exactly once whatever goes wrong."""

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

from algo import cli, fleet, machine, synthetic
from algo.fleet import discovery, engines, manifest
from algo.reading import InputError, ReadOptions
from algo.store import Store

GOOD = ["fan c", "motor-d", "pump-a", "pump-b"]
ALL = ["empty", *GOOD]


def frame(start, minutes, seed, **options):
    return synthetic.machine_frame(start, periods=60 * minutes, seed=seed, raw_labels=True, **options)


def write_fleet(root: Path) -> Path:
    """History in every layout a fleet folder allows, a machine with an empty file, and two batches:
    consecutive half hours (so that minute scores make a forecast), the second with one batch cut short."""
    history, day1, day2 = root / "history", root / "day1", root / "day2"
    for folder in (history, day1, day2, history / "fan c", history / "machine=motor-d", history / "_logs"):
        folder.mkdir(parents=True)
    frame("2024-05-01", 90, 1).to_csv(history / "pump-a.csv", index=False)
    frame("2024-05-01", 90, 2).to_parquet(history / "pump-b.parquet", index=False)
    frame("2024-05-01", 45, 3).to_parquet(history / "fan c" / "part-1.parquet", index=False)
    frame("2024-05-01 00:45", 45, 4).to_parquet(history / "fan c" / "part-0.parquet", index=False)
    frame("2024-05-01", 90, 5).to_parquet(history / "machine=motor-d" / "part-0.parquet", index=False)
    (history / "empty.csv").write_text("")
    (history / "_SUCCESS").write_text("")
    (history / "notes.txt").write_text("not a machine")
    for number, name in enumerate(ALL):
        fault = {"fault_start": "2024-05-02 10:00", "fault_days": 0.05} if name == "pump-b" else {}
        frame("2024-05-02 10:00", 30, 10 + number, **fault).to_parquet(day1 / f"{name}.parquet", index=False)
        later = frame("2024-05-02 10:30", 30, 20 + number, **fault)
        if name == "fan c":
            synthetic.write_broken(day2 / f"{name}.parquet", "corrupt", later)
        else:
            later.to_parquet(day2 / f"{name}.parquet", index=False)
    return root


@pytest.fixture(scope="module")
def fleet_dir(tmp_path_factory):
    return write_fleet(tmp_path_factory.mktemp("fleet"))


@pytest.fixture(scope="module")
def reference(fleet_dir, tmp_path_factory):
    """A store filled in this process, one machine after the other: trained, two batches scored, forecast."""
    store = tmp_path_factory.mktemp("reference") / "store"
    fleet.train(str(fleet_dir / "history"), store, workers=0)
    shutil.copytree(store, store.with_name("trained"))
    for day in ("day1", "day2"):
        fleet.score(str(fleet_dir / day), store, workers=0)
    fleet.rul(store, workers=0)
    return store


def trained_copy(reference: Path, target: Path) -> Path:
    shutil.copytree(reference.with_name("trained"), target)
    return target


def stored(store: Path):
    with Store.open(store) as opened:
        return opened.history(), opened.outcomes(), opened.runs()


def assert_committed_once(store: Path, expected_history: pd.DataFrame, machines=GOOD):
    """Every good machine's scores exactly once, as the reference has them; one outcome per machine per run."""
    history, outcomes, runs = stored(store)
    assert not history.duplicated(["machine", "time"]).any()
    assert not outcomes.duplicated(["run", "machine"]).any()
    assert set(runs["status"]) == {"completed"}
    columns = ["machine", "time", "tsquare", "health_index", "suspicious_variable"]
    ours = history[history["machine"].isin(machines)][columns].reset_index(drop=True)
    pd.testing.assert_frame_equal(ours, expected_history[columns].reset_index(drop=True))


def day1_history(reference: Path, machines=GOOD) -> pd.DataFrame:
    history, _, _ = stored(reference)
    return history[history["machine"].isin(machines) & (history["run"] == 2)]


# --- input -------------------------------------------------------------------------


def test_machines_of_every_layout(fleet_dir):
    found = {m.machine: m.sources for m in discovery.discover(str(fleet_dir / "history")).machines}
    assert sorted(found) == ALL  # no _logs, _SUCCESS or notes.txt
    assert [Path(p).name for p in found["fan c"]] == ["part-0.parquet", "part-1.parquet"]
    url = {m.machine: m.sources for m in discovery.discover((fleet_dir / "history").as_uri()).machines}
    assert url["pump-a"] == ((fleet_dir / "history" / "pump-a.csv").as_uri(),)


@pytest.mark.parametrize("layout, message", [
    ({}, "no machines in"),
    ({"a.csv": "", "a/x.csv": ""}, "machine 'a' has both a file and a folder"),
    ({"table.csv": "asset,Time\n"}, "is a file: a fleet is a folder"),
])
def test_layouts_that_are_no_fleet(tmp_path, layout, message):
    for name, text in layout.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    data = tmp_path / "table.csv" if "table.csv" in layout else tmp_path
    with pytest.raises(InputError, match=message):
        discovery.discover(str(data))


def test_one_table_with_a_machine_column(tmp_path):
    rows = [frame("2024-05-01", 90, seed).assign(asset=name) for seed, name in enumerate(["p1", "p2"])]
    pd.concat(rows).to_csv(tmp_path / "all.csv", index=False)
    outcomes = fleet.train(str(tmp_path / "all.csv"), tmp_path / "store", id_column="asset", workers=0)
    assert list(outcomes["outcome"]) == ["ok", "ok"]
    rows[0].drop(columns="asset").to_csv(tmp_path / "p1.csv", index=False)
    alone = machine.train(str(tmp_path / "p1.csv"))
    with Store.open(tmp_path / "store") as store:
        assert store.model("p1").model["ucl"] == alone.model["ucl"]


class TestManifest:
    def write(self, tmp_path, text, name="manifest.csv"):
        (tmp_path / name).write_text(text)
        return str(tmp_path / name)

    def test_settings_where_they_differ(self, tmp_path):
        (tmp_path / "sisters").mkdir()
        frame("2024-05-01", 30, 9).to_parquet(tmp_path / "sisters" / "pump.parquet")
        path = self.write(tmp_path, "machine,config,iso_power,iso_foundation,sister\n"
                                    "a,1,0,0,1,2,1,2,1,75,Rigid,sisters/pump.parquet\nb,,,,\n".replace(
                                        "1,0,0,1,2,1,2,1", '"1,0,0,1,2,1,2,1"'))
        settings = manifest.read_manifest(path, manifest.Settings())
        assert settings["a"].config == "1,0,0,1,2,1,2,1" and settings["a"].iso_foundation == "Rigid"
        assert settings["a"].sister == (str(tmp_path / "sisters" / "pump.parquet"),)
        assert settings["b"] == manifest.Settings()
        as_json = self.write(tmp_path, json.dumps({"a": {"iso_power": 500, "iso_foundation": "Flexible"}}),
                             "manifest.json")
        assert manifest.read_manifest(as_json, manifest.Settings())["a"].iso_power == 500

    @pytest.mark.parametrize("text, message", [
        ("machine,colour\na,red\n", "unknown columns colour"),
        ("name,config\na,x\n", "no machine column"),
        ('machine,config\na,"0,0"\n', "machine 'a': configuration '0,0': expected 8"),
        ("machine,iso_power\na,75\n", "need both iso_power and iso_foundation"),
        ("machine,iso_power,iso_foundation\na,10,Rigid\n", "Power must be greater than or equal to 15 kW."),
        ("machine,sister\na,missing.csv\n", "no such file or folder"),
        ("machine,codebook\na,missing.json\n", "no such file"),
        ("machine\na\na\n", "appears twice"),
    ])
    def test_one_line_for_what_is_wrong(self, tmp_path, text, message):
        from algo.checks import CheckError

        with pytest.raises(CheckError, match=message):
            manifest.read_manifest(self.write(tmp_path, text), manifest.Settings())


# --- results -----------------------------------------------------------------------


def test_each_machine_as_alone(fleet_dir, reference):
    """Models, scores, lights and forecasts of the fleet are those of the single-machine jobs on the same files."""
    with Store.open(reference) as store:
        history, lights, status = store.history(), store.lights(), store.status().set_index("machine")
        forecasts, outcomes = store.forecasts(), store.outcomes()
        sources = {m.machine: m.sources for m in discovery.discover(str(fleet_dir / "history")).machines}
        for name in GOOD:
            model_file = store.model(name)
            alone = machine.train(list(sources[name]))
            assert model_file.model["ucl"] == alone.model["ucl"]
            pd.testing.assert_frame_equal(model_file.model["T2"], alone.model["T2"])
            batches = [machine.score(str(fleet_dir / day / f"{name}.parquet"), ReadOptions(), model_file)
                       for day in ("day1", "day2") if not (name == "fan c" and day == "day2")]
            table = pd.concat([b.table for b in batches], ignore_index=True)
            ours = history[history["machine"] == name]
            assert list(ours["time"]) == list(table["_time"])
            assert list(ours["tsquare"]) == list(table["tsquare"])
            assert list(ours["health_index"]) == list(table["Score"])
            graded = machine.failure_mode_lights(batches[-1].reading.rows, alone.thresholds)
            mine = lights[lights["machine"] == name].set_index("feature")
            assert {f: e["light"] for f, e in graded.lights.items()} == mine["light"].to_dict()
            rul = machine.forecast(table, model_file.model)
            assert (status.loc[name, "signal"], status.loc[name, "rul"]) == (rul["signal"], rul["rul_days"])
            steps = machine.forecast_rows(rul)
            assert list(forecasts[forecasts["machine"] == name]["score"]) == list(steps["Score"])
    # runs: 1 train, 2 and 3 score, 4 rul; the empty file trains nothing, so there is nothing to forecast
    failed = {(row.machine, row.run) for row in outcomes.itertuples() if row.outcome == "failed"}
    assert failed == {("empty", 1), ("empty", 2), ("empty", 3), ("fan c", 3)}
    assert len(outcomes) == 5 + 5 + 5 + 4
    assert status.loc["fan c", "last_error"].startswith("input: cannot read")
    assert isinstance(status.loc["pump-b", "alarm_variable"], str)  # the machine with a fault


# --- the command --------------------------------------------------------------------


def run_cli(capsys, *args):
    code = cli.main([str(a) for a in args])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_command_reports_and_exit_codes(fleet_dir, reference, tmp_path, capsys):
    store = trained_copy(reference, tmp_path / "store")
    code, out, err = run_cli(capsys, "fleet", "score", fleet_dir / "day1", "--store", store, "--workers", 0)
    assert code == 2 and err == ""
    assert out.splitlines()[0] == "run 2: scored 5 machines: 4 ok, 0 stopped (not running), 1 failed"
    assert "empty: check: no model" in out and "fleet status --store" in out
    code, out, _ = run_cli(capsys, "fleet", "status", "--store", store, "--json")
    machines = json.loads(out)["machines"]
    assert code == 0 and machines[0]["machine"] == "empty" and machines[0]["last_outcome"] == "failed"
    code, out, _ = run_cli(capsys, "fleet", "score", fleet_dir / "day1", "--store", store, "--workers", 0, "--json")
    assert code == 2 and json.loads(out)["failed"] == 1
    code, out, _ = run_cli(capsys, "fleet", "status", "--store", store)
    assert code == 0 and out.splitlines()[0].startswith("machine") and "pump-b" in out
    for args, message in [(("status", "--store", tmp_path / "nowhere"), "no fleet store at"),
                          (("score", fleet_dir / "day1", "--store", tmp_path / "nowhere"), "no fleet store at"),
                          (("score", tmp_path / "nowhere", "--store", store), "no such file or folder"),
                          (("train", fleet_dir / "history", "--store", store, "--config", "9"), "'9': expected 8")]:
        code, out, err = run_cli(capsys, "fleet", *args)
        assert code == 1 and out == "" and message in err and len(err.splitlines()) == 1


def test_demo_shows_failing_and_broken_machines(tmp_path, capsys):
    code, out, err = run_cli(capsys, "fleet", "demo", "--folder", tmp_path / "demo", "--machines", 4,
                             "--days", 1, "--workers", 0)
    assert code == 0 and err == ""
    broken = [line for line in out.splitlines() if line.startswith("compressor-04")]
    assert broken and "failed: input:" in broken[0] and "is empty" in broken[0]
    [raised] = [line for line in out.splitlines() if line.startswith("alerts: ")]
    notified = [json.loads(line) for line in (tmp_path / "demo" / "alerts.jsonl").read_text().splitlines()]
    assert raised.startswith(f"alerts: {len(notified)} raised (")
    assert ("compressor-04", "failing_input", "opened") in {(n["machine"], n["rule"], n["transition"]) for n in notified}
    page = tmp_path / "page.html"
    code, _, err = run_cli(capsys, "fleet", "report", "--store", tmp_path / "demo" / "store", "--out", page)
    assert code == 0 and err == ""
    for written in (page, tmp_path / "demo" / "fleet.html"):
        text = written.read_text()
        assert all(name in text for name in ("pump-01", "fan-02", "motor-03", "compressor-04"))
    code, _, err = run_cli(capsys, "fleet", "demo", "--folder", tmp_path, "--days", 1)
    assert code == 1 and "was not made by the demo" in err


# --- faults ------------------------------------------------------------------------


class Stopping(engines.Loop):
    """The in-process engine, stopping the driver after `after` results: by SIGKILL, or as Ctrl-C does."""

    def __init__(self, after: int, how: str):
        self.after, self.how = after, how

    def results(self, function, jobs):
        for number, result in enumerate(super().results(function, jobs)):
            if number == self.after:
                if self.how == "kill":
                    os.kill(os.getpid(), signal.SIGKILL)
                raise KeyboardInterrupt
            yield result


@pytest.mark.parametrize("how", ["kill", "interrupt"])
def test_an_interrupted_run_resumes(fleet_dir, reference, tmp_path, capsys, how):
    store = trained_copy(reference, tmp_path / "store")
    script = ("import sys; from algo import fleet; sys.path.insert(0, sys.argv[3]); from test_fleet import Stopping; "
              "fleet.score(sys.argv[1], sys.argv[2], where=Stopping(2, sys.argv[4]))")
    driver = subprocess.run([sys.executable, "-c", script, str(fleet_dir / "day1"), str(store),
                             str(Path(__file__).parent), how], capture_output=True, text=True,
                            cwd=tmp_path)  # away from the source tree, whose package has no built modules
    assert driver.returncode == -(signal.SIGKILL if how == "kill" else signal.SIGINT)
    _, outcomes, runs = stored(store)
    # the untrained machine's failure, then two results of jobs: Ctrl-C commits them all, a kill loses those the
    # driver held for its next commit
    committed = len(outcomes[outcomes["run"] == 2])
    assert (committed == 3 if how == "interrupt" else committed <= 3)
    assert runs.iloc[-1]["status"] in ("running", "interrupted")
    code, out, _ = run_cli(capsys, "fleet", "score", fleet_dir / "day1", "--store", store, "--workers", 0)
    assert code == 2 and out.startswith("run 2:")  # the same run, finished
    assert_committed_once(store, day1_history(reference))


def test_a_second_run_on_a_busy_store_ends_at_once(fleet_dir, reference, tmp_path, capsys):
    store = trained_copy(reference, tmp_path / "store")
    with Store.open(store, "w"):
        started = time.perf_counter()
        code, out, err = run_cli(capsys, "fleet", "score", fleet_dir / "day1", "--store", store)
        assert time.perf_counter() - started < 5
    assert code == 1 and out == "" and f"is in use by another run (pid {os.getpid()})" in err
    _, outcomes, runs = stored(store)
    assert len(runs) == 1 and len(outcomes) == len(ALL)  # the training run alone, as it was


def test_a_damaged_model_file_fails_its_machine_only(fleet_dir, reference, tmp_path):
    store = trained_copy(reference, tmp_path / "store")
    with Store.open(store) as opened:
        model_file = store / opened.machines().set_index("machine").loc["pump-a", "model_file"]
    model_file.write_bytes(model_file.read_bytes()[:-10])
    outcomes = fleet.score(str(fleet_dir / "day1"), store, workers=0).set_index("machine")
    assert "cut short" in outcomes.loc["pump-a", "message"] and outcomes.loc["pump-a", "outcome"] == "failed"
    others = [name for name in GOOD if name != "pump-a"]
    assert_committed_once(store, day1_history(reference, others), others)


class KillingWorker(engines.Cluster):
    """A local cluster one of whose busy worker processes is killed as soon as the first result arrives."""

    killed = 0

    def _results(self, future, value, machines):
        if not self.killed:
            busy = [address for address, tasks in self.client.processing().items() if tasks]
            for pid in self.client.run(os.getpid, workers=busy[:1]).values():
                os.kill(pid, signal.SIGKILL)
                self.killed += 1
        return super()._results(future, value, machines)


# Jobs one to a task, and (once the first has been timed) all the others in one task.
@pytest.mark.parametrize("settings", [engines.EngineSettings(),
                                      engines.EngineSettings(tasks_ahead=1, task_seconds=3600)],
                         ids=["one job a task", "jobs grouped"])
def test_a_killed_worker_loses_and_doubles_nothing(fleet_dir, reference, tmp_path, settings):
    from distributed import Client, LocalCluster

    store = trained_copy(reference, tmp_path / "store")
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=50) as cluster, \
            Client(cluster) as client:
        killing = KillingWorker(client, settings=settings)
        outcomes = fleet.score(str(fleet_dir / "day1"), store, where=killing)
    assert killing.killed == 1
    assert sorted(outcomes[outcomes["outcome"] == "ok"]["machine"]) == GOOD
    assert_committed_once(store, day1_history(reference))


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def dask_processes(workers: int, tls: list[str] = ()):
    """A `dask scheduler` and `workers` `dask worker` processes on 127.0.0.1 (with the TLS options `tls`); yields
    the scheduler's address once the workers have joined."""
    port = free_port()
    address = f"{'tls' if tls else 'tcp'}://127.0.0.1:{port}"
    dask = str(Path(sys.executable).with_name("dask"))
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    processes = [subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard",
                                   *(["--protocol", "tls"] if tls else []), *tls], **quiet)]
    worker = [dask, "worker", address, "--nthreads", "1", "--no-dashboard", "--host", "127.0.0.1", *tls]
    processes += [subprocess.Popen(worker, **quiet) for _ in range(workers)]
    try:
        from distributed import Client
        from distributed.security import Security

        security = Security(tls_ca_file=tls[1], tls_client_cert=tls[3], tls_client_key=tls[5],
                            require_encryption=True) if tls else None
        with Client(address, timeout="30s", security=security) as client:
            client.wait_for_workers(workers, timeout=60)
        yield address
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            process.wait(timeout=30)


def test_score_on_a_dask_scheduler_and_two_workers(fleet_dir, reference, tmp_path, capsys):
    store = trained_copy(reference, tmp_path / "store")
    with dask_processes(2) as address:
        code, out, err = run_cli(capsys, "fleet", "score", fleet_dir / "day1", "--store", store,
                                 "--scheduler", address)
    assert code == 2 and err == "" and out.startswith("run 2: scored 5 machines: 4 ok")
    assert_committed_once(store, day1_history(reference))


def test_score_over_tls_with_certificates_of_our_own(fleet_dir, reference, tmp_path):
    """The fleet over TLS as README sets it up: Dask's own security settings, here from the environment."""
    store = trained_copy(reference, tmp_path / "store")
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=fleet",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    tls = ["--tls-ca-file", str(cert), "--tls-cert", str(cert), "--tls-key", str(key)]
    environment = {**os.environ, "DASK_DISTRIBUTED__COMM__REQUIRE_ENCRYPTION": "True",
                   "DASK_DISTRIBUTED__COMM__TLS__CA_FILE": str(cert),
                   "DASK_DISTRIBUTED__COMM__TLS__CLIENT__CERT": str(cert),
                   "DASK_DISTRIBUTED__COMM__TLS__CLIENT__KEY": str(key)}
    with dask_processes(1, tls) as address:
        assert address.startswith("tls://")
        result = subprocess.run([sys.executable, "-m", "algo", "fleet", "score", str(fleet_dir / "day1"),
                                 "--store", str(store), "--scheduler", address], capture_output=True, text=True,
                                env=environment, cwd=tmp_path)
    assert result.returncode == 2 and result.stdout.startswith("run 2: scored 5 machines: 4 ok"), result.stderr
    assert_committed_once(store, day1_history(reference))


# --- one vocabulary -------------------------------------------------------------------


@pytest.mark.parametrize("name", ["pump-b", "fan c"])  # a red forecast, and one not graded (no "show")
def test_one_forecast_reads_the_same_in_the_command_the_store_and_the_report(reference, tmp_path, capsys, name):
    from algo import report
    from algo.results import plain

    with Store.open(reference) as store:
        history = store.history([name])
        model_file = reference / store.machines().set_index("machine").loc[name, "model_file"]
        stored_row = store.status().set_index("machine").loc[name]
        stored_forecast = store.forecasts([name])
        page = next(m for m in report.page_data(report.snapshot(store, reference))["machines"] if m["machine"] == name)
    scores = tmp_path / "scores.parquet"
    history.rename(columns={"time": "_time"}).to_parquet(scores)
    code, out, err = run_cli(capsys, "rul", scores, "--model", model_file, "--json")
    assert code == 0, err
    command = json.loads(out)
    for key in ("rul", "unit", "rul_at_least", "signal", "show", "death_probability", "note"):
        assert command[key] == plain(stored_row[key]) == page[key], key
    assert [step["score"] for step in command["forecast"]] == list(stored_forecast["score"])


def test_an_unexpected_failure_keeps_its_traceback(fleet_dir, reference, tmp_path, monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("a fault of ours")

    store = trained_copy(reference, tmp_path / "store")
    monkeypatch.setattr(machine, "score", broken)
    outcomes = fleet.score(str(fleet_dir / "day1"), store, workers=0).set_index("machine")
    failed = outcomes.loc["pump-a"]
    assert (failed["stage"], failed["message"]) == ("unexpected", "RuntimeError: a fault of ours")
    assert "Traceback" in failed["traceback"] and "in broken" in failed["traceback"]
    assert pd.isna(outcomes.loc["empty", "traceback"])  # bad input is no fault: no traceback


def test_an_interrupted_run_is_resumed_on_the_same_input_only(fleet_dir, reference, tmp_path, capsys):
    store, today = trained_copy(reference, tmp_path / "store"), tmp_path / "today"
    shutil.copytree(fleet_dir / "day1", today)
    with pytest.raises(KeyboardInterrupt):
        fleet.score(str(today), store, where=Stopping(2, "interrupt"))
    _, out, _ = run_cli(capsys, "fleet", "score", today, "--store", store, "--workers", 0, "--json")
    resumed = json.loads(out)
    assert resumed["run"] == 2 and resumed["resumed"] and len(resumed["not_run_again"]) == 3  # and "empty"
    with pytest.raises(KeyboardInterrupt):
        fleet.score(str(today), store, where=Stopping(2, "interrupt"))
    shutil.rmtree(today)
    shutil.copytree(fleet_dir / "day2", today)  # the next day's batches, in the same folder
    _, out, _ = run_cli(capsys, "fleet", "score", today, "--store", store, "--workers", 0, "--json")
    refilled = json.loads(out)
    assert refilled["run"] == 4 and not refilled["resumed"] and refilled["machines"] == len(ALL)
    history, _, _ = stored(store)
    day2 = history[history["time"] >= pd.Timestamp("2024-05-02 10:30")]
    assert sorted(day2["machine"].unique()) == [name for name in GOOD if name != "fan c"]  # its day 2 is broken


def test_a_re_export_keeps_the_first_scores_and_lights_unless_replaced(fleet_dir, reference, tmp_path):
    store, corrected = trained_copy(reference, tmp_path / "store"), tmp_path / "corrected"
    fleet.score(str(fleet_dir / "day1"), store, workers=0)
    corrected.mkdir()
    frame("2024-05-02 10:00", 30, 99, fault_start="2024-05-01", fault_days=0.01).to_parquet(
        corrected / "pump-a.parquet", index=False)  # the same half hour, exported again with other values

    def pump_a():
        with Store.open(store) as opened:
            return (opened.history(["pump-a"])[["tsquare", "health_index"]].reset_index(drop=True),
                    opened.lights(["pump-a"])[["feature", "value", "light"]].reset_index(drop=True))

    first = pump_a()
    outcome = fleet.score(str(corrected), store, workers=0).iloc[0]
    assert "30 of the batch's 30 times were scored before" in outcome["notes"] and "kept" in outcome["notes"]
    for ours, before in zip(pump_a(), first):
        pd.testing.assert_frame_equal(ours, before)
    fleet.score(str(corrected), store, workers=0, replace=True)
    for ours, before in zip(pump_a(), first):
        assert not ours.equals(before)


def test_a_retrained_machine_is_judged_by_its_current_model(fleet_dir, reference, tmp_path):
    store, history = trained_copy(reference, tmp_path / "store"), tmp_path / "history"
    fleet.score(str(fleet_dir / "day1"), store, workers=0)
    history.mkdir()
    frame("2024-05-01", 90, 77).to_parquet(history / "pump-a.parquet", index=False)
    fleet.train(str(history), store, workers=0)  # run 3
    fleet.score(str(fleet_dir / "day2"), store, workers=0)
    with Store.open(store) as opened:
        scores = opened.history(["pump-a"])
        assert sorted(scores["model_run"].unique()) == [1, 3]
        current = opened.tsquare_history("pump-a")
        assert list(current["time"]) == list(scores[scores["model_run"] == 3]["time"])
        assert len(opened.history(["pump-a"], current_model=True)) == len(current)

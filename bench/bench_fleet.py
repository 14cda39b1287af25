"""What the fleet costs around the library, and its throughput on local workers.

Scoring: 200 machines, a one-hour batch each (3,600 rows at 1 Hz, a CSV export with display labels and times
as text), against models of the default configuration (minute bins) with failure-mode and ISO lights.
Training: 20 machines, one day of 1 Hz rows each (86,400 rows, CSV). Each is run these ways over the same
files:

- the library's own work: `pd.read_csv` of each file, then for scoring `testing_model` and the two light calls
  (`pre_feature_light`, `ISO20816_light`) on the frame read, for training `training_model` and
  `pre_feature_training`: the floor of any host;
- loop: the fleet's job functions one machine after the other in this process, no store and no Dask;
- fleet, in-process: the fleet with `workers=0` (jobs and store in this process);
- fleet, 1 and 2 local workers: a LocalCluster of worker processes, started and warmed apart.

Printed: machines per second, CPU ms per machine of every process of the run, the fleet's CPU against the
library's own work (targets: scoring at most 2x, training at most 1.5x), the driver's CPU per scored machine
(its main thread on a cluster, the in-process fleet less the loop otherwise; target at most 5 ms), and two
workers against the loop (target at least 1.6x). Each way runs once per round, in turn, and the best of the
rounds is shown: on a shared machine, a burst of load spoils one round's figure rather than all of one way's.

Store growth: a year of hourly batches for a few machines committed a day at a time, with hour-bin models
(one score a batch) and minute-bin models (sixty a batch); the database file's size after a checkpoint, per
machine-year.

    cd bench && python bench_fleet.py [--machines 200] [--trained 20] [--rounds 3]
"""

import argparse
import os
import shutil
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd

from algo import fleet, machine, modelfile, synthetic
from algo.fleet import discovery, engines, jobs, manifest
from algo.HI import HI
from algo.reading import ReadOptions
from algo.results import Produced
from algo.store import Outcome, Store

SCORE_HISTORY_HOURS = 2


def write_files(root: Path, machines: int, trained: int) -> dict:
    """Histories (Parquet) and one-hour CSV batches for the scoring fleet, a day of CSV rows per training machine."""
    paths = {name: root / name for name in ("history", "batch", "day")}
    for folder in paths.values():
        folder.mkdir()
    names = [f"m{number:04d}" for number in range(machines)]
    for number, name in enumerate(names):
        history = synthetic.machine_frame("2024-06-01", periods=SCORE_HISTORY_HOURS * 3600, seed=number)
        history.to_parquet(paths["history"] / f"{name}.parquet", index=False)
        batch = synthetic.machine_frame("2024-06-02 10:00", periods=3600, seed=10_000 + number, raw_labels=True,
                                        time_as_text=True)
        batch.to_csv(paths["batch"] / f"{name}.csv", index=False)
    for number in range(trained):
        day = synthetic.machine_frame("2024-06-01", periods=86_400, seed=20_000 + number, raw_labels=True,
                                      time_as_text=True)
        day.to_csv(paths["day"] / f"t{number:03d}.csv", index=False)
    manifest_table = pd.DataFrame({"machine": names, "iso_power": 75.0, "iso_foundation": "Rigid"})
    manifest_table.to_csv(root / "manifest.csv", index=False)
    paths["manifest"] = root / "manifest.csv"
    return paths


def trained_machines(store: Path) -> dict:
    with Store.open(store) as opened:
        return {name: (jobs.ShippedModel.read(opened, name, known["model_file"]), known)
                for name, known in sorted(opened.trained().items())}


def own_scoring(paths: dict, shipped: dict):
    """The library's own work, as a function: each batch read with pandas, scored and graded."""
    limits = HI.ISO20816_overall(75.0, "Rigid")
    models = {name: model.open().model for name, (model, _) in shipped.items()}  # read once, outside the timing
    return lambda: [_own_score(paths["batch"] / f"{name}.csv", models[name], known["thresholds"], limits)
                    for name, (_, known) in shipped.items()]


def _own_score(path: Path, model: dict, thresholds: dict, limits: dict) -> None:
    rows = HI.rename_columns(pd.read_csv(path))
    assert HI.testing_model(rows, model)["is_error"] == "False"
    HI.pre_feature_light(rows, thresholds)
    HI.ISO20816_light(rows, limits["warning"], limits["alert"])


def own_training(paths: dict) -> None:
    for path in sorted(paths["day"].iterdir()):
        rows = HI.rename_columns(pd.read_csv(path))
        assert HI.training_model(rows, machine.DEFAULT_CONFIG)["is_error"] == "False"
        HI.pre_feature_training(rows)


def loop_scoring(paths: dict, shipped: dict) -> None:
    """The fleet's scoring jobs one after the other, no store and no Dask."""
    for name, (model, known) in shipped.items():
        job = jobs.ScoreJob(name, (str(paths["batch"] / f"{name}.csv"),), ReadOptions(), model,
                            known["thresholds"], known["iso_power"], known["iso_foundation"])
        assert jobs.score_job(job).outcome == "ok"


def loop_training(paths: dict) -> None:
    for entry in discovery.discover(str(paths["day"])).machines:
        job = jobs.TrainJob(entry.machine, entry.sources, ReadOptions(), manifest.Settings())
        assert jobs.train_job(job).outcome == "ok"


def cpu_seconds(where) -> dict:
    """CPU seconds used so far by every process of the run (this one with its scheduler, and the cluster's
    workers), and by this process's main thread: the driver's own."""
    total = time.process_time()
    if isinstance(where, engines.Cluster):
        total += sum(where.client.run(time.process_time).values())
    return {"cpu": total, "driver": time.thread_time() if threading.current_thread() is threading.main_thread()
            else float("nan")}


def measured(function, where=None) -> dict:
    """Wall-clock, CPU and driver seconds of `function()`, whose outcomes (when it returns any) must be ok."""
    before, started = cpu_seconds(where), time.perf_counter()
    outcomes = function()
    wall = time.perf_counter() - started
    after = cpu_seconds(where)
    if isinstance(outcomes, pd.DataFrame):
        assert (outcomes["outcome"] == "ok").all(), outcomes[outcomes["outcome"] != "ok"].head()
    return {"wall": wall, **{key: after[key] - before[key] for key in after}}


def warm_up() -> None:
    """A small machine trained and scored from CSV, as the jobs read them: every library's first use, done
    before any timing (a command pays it once, in the cluster's start)."""
    import io

    rows = synthetic.machine_frame("2024-06-01", periods=3 * 3600, raw_labels=True, time_as_text=True)
    buffer = io.BytesIO(rows.to_csv(index=False).encode())
    with machine.library_output():
        trained = machine.train(buffer)
        buffer.seek(0)
        model = modelfile.parse(modelfile.dumps(trained.model, trained.settings), "warm-up")
        scored = machine.score(buffer, ReadOptions(), model)
        machine.failure_mode_lights(scored.reading.rows, trained.thresholds)
        machine.iso_lights(scored.reading.rows, 75.0, "Rigid")


def warm_engine(workers: int):
    """A started engine whose workers have used the library once, and the seconds that took."""
    started = time.perf_counter()
    context = engines.engine(workers=workers)
    where = context.__enter__()
    if isinstance(where, engines.Cluster):
        where.client.run(warm_up)
    return context, where, time.perf_counter() - started


def fleet_round(paths: dict, trained_store: Path, root: Path, workers: int) -> tuple[dict, float]:
    context, where, start = warm_engine(workers)
    try:
        store, models = root / f"store-{workers}", root / f"trained-{workers}"
        for old in (store, models):
            shutil.rmtree(old, ignore_errors=True)
        shutil.copytree(trained_store, store)
        return {"score": measured(lambda: fleet.score(str(paths["batch"]), store, where=where), where),
                "train": measured(lambda: fleet.train(str(paths["day"]), models, where=where), where)}, start
    finally:
        context.__exit__(None, None, None)


def throughput(paths: dict, trained_store: Path, root: Path, machines: int, trained: int, rounds: int) -> None:
    best: dict[str, dict] = {}
    load = os.getloadavg()[0]
    shipped = trained_machines(trained_store)
    scoring = own_scoring(paths, shipped)

    def keep(way: str, figures: dict) -> None:
        kept = best.setdefault(way, {})
        for kind, values in figures.items():
            kept[kind] = {key: min(value, kept.get(kind, {}).get(key, float("inf"))) for key, value in values.items()}

    warm_up()
    with machine.library_output():
        for _ in range(rounds):
            keep("library's own work", {"score": measured(scoring), "train": measured(lambda: own_training(paths))})
            keep("loop", {"score": measured(lambda: loop_scoring(paths, shipped)),
                          "train": measured(lambda: loop_training(paths))})
            for workers in (0, 1, 2):
                run, start = fleet_round(paths, trained_store, root, workers)
                keep("fleet, in-process" if workers == 0 else f"fleet, {workers} worker{'s' * (workers > 1)}", run)
    counts = {"score": machines, "train": trained}
    print(f"best of {rounds} rounds; load average when they began: {load:.1f} (1 min, {os.cpu_count()} cores)")
    print(f"{'':<24}" + "".join(f"{kind + ' ' + str(count) + ' machines':^44}" for kind, count in counts.items()))
    print(f"{'':<24}" + f"{'machines/s':>11}{'vs loop':>9}{'CPU ms/m':>10}{'vs own':>8}{'driver':>7}" * 2)
    own, loop = best["library's own work"], best["loop"]
    for way, figures in best.items():
        cells = ""
        for kind, count in counts.items():
            wall, cpu, driver = figures[kind]["wall"], figures[kind]["cpu"], driver_ms(best, way, kind, count)
            cells += (f"{count / wall:11.2f}{loop[kind]['wall'] / wall:8.2f}x{1000 * cpu / count:10.1f}"
                      f"{cpu / own[kind]['cpu']:7.2f}x" + (f"{driver:6.1f} " if driver == driver else " " * 7))
        print(f"{way:<24}{cells}")
    print("targets: fleet CPU vs own at most 2x (score) and 1.5x (train); driver at most 5 ms a scored machine; "
          "2 workers at least 1.6x the loop")


def driver_ms(best: dict, way: str, kind: str, count: int) -> float:
    """The driver's CPU ms per machine: its main thread on a cluster, the in-process fleet less the loop."""
    if way == "fleet, in-process":
        return 1000 * (best[way][kind]["cpu"] - best["loop"][kind]["cpu"]) / count
    if way.startswith("fleet,"):
        return 1000 * best[way][kind]["driver"] / count
    return float("nan")


def store_growth(root: Path) -> None:
    rng = np.random.default_rng(0)
    print("\nstore size per machine-year of hourly scores (committed a day at a time)")
    for label, machines, per_hour in (("hour-bin models (1 score a batch)", 20, 1),
                                      ("minute-bin models (60 scores a batch)", 2, 60)):
        path = root / f"growth-{per_hour}"
        Store.open(path, "w").close()
        empty = (path / "fleet.duckdb").stat().st_size
        started = time.perf_counter()
        with Store.open(path, "w") as store:
            for day in range(365):
                run = store.begin_run("score", "bench", f"day {day}", machines).run
                times = pd.date_range("2025-01-01", periods=24 * per_hour, freq=f"{60 // per_hour}min") \
                    + pd.Timedelta(days=day)
                for number in range(machines):
                    tsquare = rng.gamma(2.0, 3.0, len(times))
                    scores = pd.DataFrame({"time": times, "tsquare": tsquare,
                                           "health_index": 100 * 0.9 ** (tsquare / 25),
                                           "suspicious_variable": np.where(tsquare > 20, "X_Overall", None)})
                    store.commit(Outcome(f"m{number:02d}", run=run), Produced(scores=scores))
                store.end_run(run, "completed")
            store._db.execute("CHECKPOINT")
        seconds = time.perf_counter() - started
        grown = (path / "fleet.duckdb").stat().st_size - empty
        print(f"  {label:<40} {grown / machines / 2**20:8.2f} MiB per machine-year "
              f"({8760 * per_hour:,} rows; {machines * 365 / seconds:,.0f} commits/s)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--machines", type=int, default=200)
    parser.add_argument("--trained", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-fleet-") as folder:
        root = Path(folder)
        paths = write_files(root, args.machines, args.trained)
        trained_store = root / "trained"
        with machine.library_output():
            outcomes = fleet.train(str(paths["history"]), trained_store, manifest=str(paths["manifest"]), workers=2)
        assert (outcomes["outcome"] == "ok").all()
        throughput(paths, trained_store, root, args.machines, args.trained, args.rounds)
        store_growth(root)


if __name__ == "__main__":
    main()

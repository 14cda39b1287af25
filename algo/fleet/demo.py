"""The fleet demo: a synthetic fleet trained, scored for a month, forecast and reported."""

from __future__ import annotations

import shutil
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pandas as pd

from algo import synthetic
from algo.alerts import STORE_FILE
from algo.config import DEMO_CONFIG
from algo.errors import FleetError
from algo.fleet.api import report, rul, score, status, train
from algo.fleet.driver import Progress
from algo.fleet.engines import engine

DEMO_MARKER = ".algo-health-fleet-demo"
DEMO_START = pd.Timestamp("2024-03-01")
DEMO_ALERTS_FILE = "alerts.jsonl"
# Every notification to a JSON-lines file beside the store; a single broken batch counts as failing input,
# so that the demo's broken files raise alerts on their one bad day.
DEMO_ALERTS = f"""[rules.failing_input]
runs = 1

[channels.log]
type = "file"
path = "../{DEMO_ALERTS_FILE}"
"""


def demo(folder: str | Path = "algo-health-fleet-demo", *, machines: int = 20, days: int = 30,
         scheduler: str | None = None, workers: int | None = None, progress: bool = False) -> pd.DataFrame:
    """A synthetic fleet trained, scored day by day, forecast and reported in `folder`; returns the status table.

    Raw files are removed once their run has stored its results, except the latest day's batches: the store
    (`folder`/store) keeps what matters. Its alerts go to `folder`/alerts.jsonl.
    """
    folder = _demo_folder(Path(folder))
    data, store = folder / "data", folder / "store"
    store.mkdir()
    (store / STORE_FILE).write_text(DEMO_ALERTS, encoding="utf-8")
    fleet_machines = synthetic.fleet(machines)
    say = Progress(progress).say
    manifest = _write_demo_training(data, fleet_machines)
    with engine(scheduler, workers) as where, ThreadPoolExecutor(1) as writer:
        say(f"training {len(fleet_machines)} machines on a day of hourly rows")
        train(str(data / "train"), store, manifest=str(manifest), config=DEMO_CONFIG, where=where,
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
            raise FleetError(f"{folder} is not empty and was not made by the demo", "choose another {folder}")
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

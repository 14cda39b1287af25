"""The fleet report of 200 machines with 30 days of hourly scores each.

Prints the page size, the time to write it, and the time until it is
interactive in headless Chromium (the table built and the riskiest machine's
charts drawn), measured by the page from the start of its navigation.

The fleet: one hour-scale health model of the synthetic machine; each
machine's hourly T² is drawn from the model's own training T², and on a third
of the machines grows from a random day on as a fault develops. Health index,
forecast, signal and death probability come from the library, and the page
from `algo.report` as the command writes it.

    python bench_report.py                      # the figures
    python bench_report.py --screenshot shot.png --page fleet.html
                                                # time and photograph an existing page at 1280×800
"""

import argparse
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from algo import report
from algo.HI import HI
from algo.RUL import RUL
from algo.synthetic import machine_frame
from common import best_time, reference

MACHINES, DAYS = 200, 30
SIGNAL_RANK = {"red": 0, "yellow": 1, "green": 3}
Machine = reference("test_report", "Machine")


def hourly_fleet(count: int = MACHINES, days: int = DAYS, seed: int = 0) -> list:
    healthy = machine_frame("2024-01-01", periods=2 * 86400, seed=seed)
    model = HI.training_model(healthy, "1,0,0,1,2,1,1,1")
    lights = reference("test_report", "lights_of")(machine_frame("2024-02-01", periods=3600, seed=seed + 1),
                                                    HI.pre_feature_training(healthy))
    times = pd.date_range("2024-01-03", periods=days * 24, freq="h", name=model["datetime_name"])
    rng = np.random.default_rng(seed)
    machines = []
    for number in range(count):
        tsquare = rng.choice(model["T2"]["tsquare"].to_numpy(), len(times))
        faulty = number % 3 == 0
        if faulty:
            onset, rate = rng.integers(0, len(times)), rng.uniform(0.002, 0.012)
            tsquare = tsquare * np.exp(rate * np.clip(np.arange(len(times)) - onset, 0, None))
        t2 = pd.DataFrame({"tsquare": tsquare}, index=times)
        score = HI.Health_Index(t2, model["ucl"], 0.9)["Score"].to_numpy()
        variable = np.where(tsquare > model["ucl"], "Bearing" if faulty else "X_Overall", None)
        history = pd.DataFrame({"time": times, "tsquare": tsquare, "health_index": score,
                                "suspicious_variable": variable})
        machines.append(Machine(f"machine-{number:03d}", model, history, RUL.rul_calculation(t2, model, 0.9),
                                lights=lights))
    return sorted(machines, key=lambda m: (SIGNAL_RANK.get(m.rul["signal"], 2), m.rul["rul_days"]))


def time_to_interactive(page: Path, screenshot: Path | None, loads: int = 3) -> tuple[float, float]:
    """Best milliseconds from navigation to the page's interactive mark, and best wall seconds of a load."""
    chromium, open_page = reference("test_report", "chromium"), reference("test_report", "open_page")
    paths = reference("test_report", "chromium_paths")()
    if paths is None:
        raise SystemExit(reference("test_report", "NO_BROWSER"))
    marks, walls = [], []
    with chromium(*paths) as session:
        for _ in range(loads):
            session.get("about:blank")
            start = time.perf_counter()
            open_page(session, page)
            walls.append(time.perf_counter() - start)
            marks.append(session.execute_script(
                "return performance.getEntriesByName('fleet-interactive')[0].startTime"))
        if screenshot:
            session.save_screenshot(str(screenshot))
    return min(marks), min(walls)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--page", type=Path, help="time this page instead of the synthetic fleet's")
    parser.add_argument("--screenshot", type=Path, help="save a 1280×800 screenshot of the page here")
    args = parser.parse_args()
    page = args.page
    if page is None:
        start = time.perf_counter()
        with warnings.catch_warnings():  # the forecasts' fitting notes, which say nothing about the page
            warnings.simplefilter("ignore")
            fleet = hourly_fleet()
        snapshot = reference("test_report", "fleet_snapshot")(fleet, source="bench-fleet.duckdb")
        print(f"fleet of {MACHINES} machines x {DAYS} days of hourly scores built in "
              f"{time.perf_counter() - start:.1f} s ({len(snapshot.history):,} scores)")
        page = Path(tempfile.mkdtemp()) / "fleet.html"
        seconds, _ = best_time(lambda: report.write_page(snapshot, page))
        print(f"{'page written':<46} {seconds:9.2f} s")
    print(f"{'page size':<46} {page.stat().st_size / 1e6:9.2f} MB")
    mark, wall = time_to_interactive(page, args.screenshot)
    print(f"{'interactive in headless Chromium':<46} {mark / 1000:9.2f} s after navigation starts "
          f"({wall:.2f} s for the whole load)")
    if args.screenshot:
        print(f"screenshot: {args.screenshot}")


if __name__ == "__main__":
    main()

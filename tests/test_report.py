"""The fleet report, opened and driven in headless Chromium.

The page is rendered from a snapshot of store frames built from real library
output on synthetic machines: a failing pump, a healthy fan, a mill with too
few days for a forecast (and a name that tries to break out of the page's
markup), and a kiln whose training failed.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import pickle
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from datetime import datetime

import numpy as np
import pandas as pd
import pytest
from PIL import Image
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from algo import report, synthetic
from algo.HI import HI
from algo.RUL import RUL

TIGHTNESS = 0.9
LIGHT_ORDER = ("red", "yellow", "green")
WINDOW = (1280, 800)


# --- store frames from library results ------------------------------------------


@dataclass
class Machine:
    """One machine's library results, as the fleet keeps them."""

    name: str
    model: dict | None = None
    history: pd.DataFrame = field(default_factory=lambda: pd.DataFrame(columns=SCORES))
    rul: dict | None = None
    error: str | None = None  # "stage: message (note)" of a failed last run
    lights: list[tuple] = field(default_factory=list)  # (kind, feature, value, light)


SCORES = ["time", "tsquare", "health_index", "suspicious_variable"]


def scores_of(results: list[dict]) -> pd.DataFrame:
    """testing_model results as the store keeps their scores: a row per score, with its batch's variable."""
    return pd.concat([pd.DataFrame({
        "time": result["T2"].index,
        "tsquare": result["T2"]["tsquare"].to_numpy(),
        "health_index": result["HI_Score"]["Score"].to_numpy(),
        "suspicious_variable": result["suspicious_variable"],
    }) for result in results], ignore_index=True)


def worst_light(lights, kind):
    words = [light for k, _, _, light in lights if k == kind]
    return next((word for word in LIGHT_ORDER if word in words), None)


def status_row(machine: Machine) -> dict:
    rul = machine.rul or {}
    last = machine.history.iloc[-1] if len(machine.history) else {}
    return {
        "machine": machine.name,
        "health_index": last.get("health_index", np.nan),
        "last_time": last.get("time", pd.NaT),
        "rul": rul.get("rul_days", np.nan),
        "unit": rul.get("unit"),
        "rul_at_least": str(rul.get("show", "")).startswith("≥"),
        "signal": rul.get("signal", "failed"),
        "show": rul.get("show"),
        "death_probability": rul.get("death_probability", np.nan),
        "failure_mode_light": worst_light(machine.lights, "failure_mode"),
        "iso_light": worst_light(machine.lights, "iso"),
        "alarm_variable": last.get("suspicious_variable"),
        "last_outcome": "failed" if machine.error else "ok",
        "last_error": machine.error,
        "last_run": 1,
    }


def model_row(machine: Machine) -> dict:
    model = machine.model
    return {
        "machine": machine.name, "algo_config": model["algo_config"], "ucl": model["ucl"],
        "rul_deadline": model["rul_deadline"], "rul_warning_line": model.get("rul_warning_line", np.nan),
        "time_scale": model["time_scale"], "train_start": pd.Timestamp(model["start_time"]),
        "train_end": pd.Timestamp(model["end_time"]), "trained_at": pd.Timestamp(model["build_time"]),
        "iso_power": 75.0, "iso_foundation": "Rigid",
    }


def forecast_rows(machine: Machine) -> pd.DataFrame:
    table = machine.rul["rul_predict"]
    steps = table[table["upper_CI"].notna()]
    return pd.DataFrame({"machine": machine.name, "time": steps[machine.model["datetime_name"]],
                         "score": steps["Score"], "upper": steps["upper_CI"], "lower": steps["lower_CI"]})


def fleet_snapshot(machines: list[Machine], source: str = "fleet.duckdb") -> report.Snapshot:
    """The frames the store's read API returns for `machines`, given in risk order."""
    histories = [m.history.assign(machine=m.name, run=1) for m in machines if len(m.history)]
    with_forecast = [m for m in machines if m.rul is not None and isinstance(m.rul.get("rul_predict"), pd.DataFrame)]
    return report.Snapshot(
        source=source,
        made=datetime(2024, 5, 6, 7, 30),
        status=pd.DataFrame([status_row(m) for m in machines]),
        history=pd.concat(histories, ignore_index=True),
        forecasts=pd.concat([forecast_rows(m) for m in with_forecast], ignore_index=True),
        machines=pd.DataFrame([model_row(m) for m in machines if m.model is not None]),
        lights=pd.DataFrame([(m.name, *light) for m in machines for light in m.lights],
                            columns=["machine", "kind", "feature", "value", "light"]),
        alerts=pd.DataFrame(ALERTS).assign(is_open=lambda alerts: alerts["cleared"].isna()),
    )


# The store's alerts, open ones first: the pump's signal, and the kiln's failing input, cleared.
ALERTS = [
    {"machine": "pump-1", "rule": "signal", "severity": "critical", "since": pd.Timestamp("2024-05-02 05:00"),
     "opened": pd.Timestamp("2024-05-02 05:01"), "escalated": pd.NaT, "cleared": pd.NaT, "acknowledged_by": None,
     "acknowledged_at": pd.NaT, "note": None, "summary": "signal red, remaining life 0.5 days"},
    {"machine": "kiln-4", "rule": "failing_input", "severity": "warning", "since": pd.Timestamp("2024-05-01"),
     "opened": pd.Timestamp("2024-05-01 00:01"), "escalated": pd.NaT, "cleared": pd.Timestamp("2024-05-03"),
     "acknowledged_by": "kim", "acknowledged_at": pd.Timestamp("2024-05-02"), "note": None,
     "summary": "2 runs in a row failed"},
]


def lights_of(batch: pd.DataFrame, thresholds: dict) -> list[tuple]:
    """Failure-mode and ISO lights of a batch, with each feature's mean as its value."""
    limits = HI.ISO20816_overall(75, "Rigid")
    iso = HI.ISO20816_light(batch, limits["warning"], limits["alert"])
    failure_modes = HI.pre_feature_light(batch, thresholds)
    return ([("failure_mode", f, batch[f].mean(), entry["light"]) for f, entry in failure_modes.items()]
            + [("iso", f, batch[f].mean(), entry["light"]) for f, entry in iso.items()])


# --- the test fleet ------------------------------------------------------------------


def minute_machine(name, healthy, model, seed, fault_days=None) -> Machine:
    """Six hours scored against a minute-scale model of three healthy hours."""
    start = pd.Timestamp("2024-05-02")
    batches = [synthetic.machine_frame(start + pd.Timedelta(hours=h), periods=3600, seed=seed + 1 + h,
                                       fault_start=start if fault_days else None, fault_days=fault_days or 1)
               for h in range(6)]
    scored = [HI.testing_model(batch, model) for batch in batches]
    t2 = pd.concat([result["T2"] for result in scored])
    return Machine(name, model, scores_of(scored), RUL.rul_calculation(t2, model, TIGHTNESS),
                   lights=lights_of(batches[-1], HI.pre_feature_training(healthy)))


def daily_machine(name) -> Machine:
    """An hour-scale model with a warning line, and twenty daily scores: too few days for a forecast."""
    model = HI.training_model(synthetic.machine_frame("2024-04-01", periods=86400, seed=5), "1,0,0,1,2,1,2,1")
    days = pd.date_range("2024-04-02 10:00", periods=20, freq="D")
    scored = [HI.testing_model(synthetic.machine_frame(day, periods=400, seed=10 + n, fault_start=days[0],
                                                       fault_days=200), model) for n, day in enumerate(days)]
    t2 = pd.concat([result["T2"] for result in scored])
    return Machine(name, model, scores_of(scored), RUL.rul_calculation(t2, model, TIGHTNESS))


def failed_machine(name) -> Machine:
    model = HI.training_model(synthetic.machine_frame("2024-05-01", periods=100, seed=9), "1,0,0,1,2,1,1,1")
    assert model["is_error"] == "True"
    return Machine(name, error=f"{model['error_stage']}: {model['error_message']}")


@pytest.fixture(scope="module")
def fleet() -> list[Machine]:
    """The test fleet in risk order: red, then gray and failed, then green."""
    healthy = synthetic.machine_frame("2024-05-01", periods=3 * 3600, seed=1)
    model = HI.training_model(healthy, "0,0,0,1,2,1,1,1")
    machines = [minute_machine("pump-1", healthy, model, seed=1, fault_days=0.5),
                daily_machine('mill "3" </script>'), failed_machine("kiln-4"),
                minute_machine("fan-2", healthy, model, seed=20)]
    assert [m.rul["signal"] if m.rul else None for m in machines] == ["red", "gray", None, "green"]
    return machines


# --- the page in the browser --------------------------------------------------------

NO_BROWSER = ("no headless browser: these tests drive Debian's chromium with its chromium-driver "
              "(apt-get install chromium chromium-driver; .ci/run installs them)")


def chromium_paths() -> tuple[str, str] | None:
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    return (browser, driver) if browser and driver else None


@contextlib.contextmanager
def chromium(browser: str, driver: str):
    """Headless Chromium showing pages at 1280×800 that keeps its console and network logs."""
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--force-device-scale-factor=1",
                     f"--window-size={WINDOW[0]},{WINDOW[1]}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    # The driver's path is given, so selenium does not go looking for one on the network. The
    # browser is far from UTC, so that a chart moving the store's UTC times into its zone shows.
    service = Service(driver, env={**os.environ, "TZ": "Asia/Tokyo"})
    session = webdriver.Chrome(service=service, options=options)
    try:
        # The window's frame takes part of its size even without a screen: grow it by that much.
        inner = session.execute_script("return [window.innerWidth, window.innerHeight]")
        session.set_window_size(2 * WINDOW[0] - inner[0], 2 * WINDOW[1] - inner[1])
        yield session
    finally:
        session.quit()


def open_page(session, path) -> None:
    session.get(path.resolve().as_uri())
    WebDriverWait(session, 60).until(lambda s: s.execute_script("return document.body.dataset.ready"))


def requested_urls(session) -> list[str]:
    """What the page asked for, but for data: URLs, which carry their content in themselves."""
    events = (json.loads(entry["message"])["message"] for entry in session.get_log("performance"))
    urls = (event["params"]["request"]["url"] for event in events if event["method"] == "Network.requestWillBeSent")
    return [url for url in urls if not url.startswith("data:")]


@pytest.fixture(scope="module")
def session():
    paths = chromium_paths()
    if paths is None:
        pytest.skip(NO_BROWSER)
    with chromium(*paths) as driver:
        yield driver


@pytest.fixture(scope="module")
def page(fleet, session, tmp_path_factory):
    """The page of the test fleet, written by a fresh interpreter as the command writes it (no warnings), and opened."""
    folder = tmp_path_factory.mktemp("report")
    (folder / "snapshot.pkl").write_bytes(pickle.dumps(fleet_snapshot(fleet)))
    write = ("import pathlib, pickle, sys; from algo import report; "
             "report.write_page(pickle.loads(pathlib.Path(sys.argv[1]).read_bytes()), sys.argv[2])")
    # Run from the temporary folder, so that the installed package is imported and not the source tree.
    run = subprocess.run([sys.executable, "-c", write, "snapshot.pkl", "fleet.html"],
                         cwd=folder, capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    open_page(session, folder / "fleet.html")
    return folder / "fleet.html"


def table_names(session) -> list[str]:
    rows = session.find_elements(By.CSS_SELECTOR, "#fleet-table tbody tr")
    return [row.get_attribute("data-machine") for row in rows if row.is_displayed()]


def choose(session, name) -> None:
    row = next(r for r in session.find_elements(By.CSS_SELECTOR, "#fleet-table tbody tr")
               if r.get_attribute("data-machine") == name)
    row.click()
    WebDriverWait(session, 30).until(
        lambda s: s.find_element(By.ID, "machine-view").get_attribute("data-machine") == name)


def traces(session, chart) -> dict:
    """Each trace of a chart by name: its number of points (gaps, null, not counted), its gaps and first value."""
    return session.execute_script("""
        return Object.fromEntries(document.getElementById(arguments[0]).data.map(trace => [trace.name, {
            points: trace.x.filter(x => x !== null).length,
            gaps: trace.x.filter(x => x === null).length,
            y: trace.y[0]}]));""", chart)


def test_page_opens_offline_without_console_errors(page, session):
    errors = [entry for entry in session.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []
    assert requested_urls(session) == [page.resolve().as_uri()]


def test_table_lists_machines_in_risk_order_and_sorts_and_filters(page, session, fleet):
    risk_order = [machine.name for machine in fleet]
    assert table_names(session) == risk_order
    header = {button.text.replace("\n", " "): button for button in session.find_elements(By.CSS_SELECTOR, "th button")}
    header["Machine"].click()
    assert table_names(session) == sorted(risk_order)
    header["Machine"].click()
    assert table_names(session) == sorted(risk_order, reverse=True)
    header["Health index"].click()  # lowest first, the kiln without one last
    assert table_names(session) == ["pump-1", 'mill "3" </script>', "fan-2", "kiln-4"]
    header["#"].click()
    assert table_names(session) == risk_order
    search = session.find_element(By.ID, "filter")
    search.send_keys("PU")
    assert table_names(session) == ["pump-1"]
    assert session.find_element(By.ID, "shown").text == "1 of 4 machines"
    search.clear()
    search.send_keys(" ")  # an input event with nothing to match: every machine again
    assert table_names(session) == risk_order


def test_choosing_a_machine_draws_its_charts(page, session, fleet):
    pump, mill = fleet[0], fleet[1]
    choose(session, pump.name)
    history = pump.history
    alarms = int((history["tsquare"] > pump.model["ucl"]).sum())
    zones = HI.detect_bad_HI_zone(history.set_index("time")[["health_index"]].rename(columns={"health_index": "Score"}),
                                  pump.model["rul_deadline"])
    health = traces(session, "hi-chart")
    assert health["health index"]["points"] == len(history) == 360
    start = session.execute_script("return document.getElementById('hi-chart')._fullLayout.xaxis.range[0]")
    assert pd.Timestamp(start) == history["time"].iloc[0]  # the stored UTC time, whatever the browser's zone
    assert health["forecast"]["points"] == 20 and health["90 % band"]["points"] == 20
    assert health["alarm"]["points"] == alarms > 0
    assert health["bad zone"]["gaps"] == len(zones) > 0
    assert health["deadline"]["y"] == pytest.approx(pump.model["rul_deadline"], abs=0.01)
    tsquare = traces(session, "t2-chart")
    assert tsquare["T²"]["points"] == 360 and tsquare["alarm"]["points"] == alarms
    assert tsquare["control limit"]["y"] == pytest.approx(pump.model["ucl"], abs=0.01)

    choose(session, mill.name)  # a name with markup in it, shown as text
    assert session.find_element(By.ID, "machine-name").text == mill.name
    health = traces(session, "hi-chart")
    assert health["health index"]["points"] == 20 and "forecast" not in health
    assert health["warning line"]["y"] == pytest.approx(mill.model["rul_warning_line"], abs=0.01)


def test_failed_machine_shows_its_error(page, session, fleet):
    kiln = fleet[2]
    cells = {row.get_attribute("data-machine"): row.find_elements(By.TAG_NAME, "td")[-1]
             for row in session.find_elements(By.CSS_SELECTOR, "#fleet-table tbody tr")}
    assert cells[kiln.name].text == kiln.error and kiln.error.startswith("Error_06: ")
    choose(session, kiln.name)
    assert session.find_element(By.ID, "machine-error").text == f"Last run failed: {kiln.error}"
    assert traces(session, "hi-chart") == {} and traces(session, "t2-chart") == {}


def test_screenshot_is_not_blank(page, session, fleet):
    choose(session, fleet[0].name)
    image = Image.open(io.BytesIO(session.get_screenshot_as_png())).convert("RGB")
    assert image.size == WINDOW
    pixels = np.asarray(image).reshape(-1, 3)
    assert len(np.unique(pixels, axis=0)) > 200
    assert (pixels.min(axis=1) < 200).mean() > 0.02  # more ink than a white page with a few lines of text


def test_open_alerts_lead_the_page_and_each_machine_shows_its_alerts(page, session, fleet):
    banner = session.find_elements(By.CSS_SELECTOR, "#open-alert-list li")
    assert [" ".join(item.text.split()) for item in banner] == [
        "critical pump-1 signal: signal red, remaining life 0.5 days (since 2024-05-02 05:00:00)"]
    choose(session, "kiln-4")
    banner[0].click()
    WebDriverWait(session, 30).until(
        lambda s: s.find_element(By.ID, "machine-view").get_attribute("data-machine") == "pump-1")
    choose(session, "kiln-4")
    history = [" ".join(item.text.split()) for item in session.find_elements(By.CSS_SELECTOR, "#machine-alerts li")]
    assert history == ["warning failing_input: 2 runs in a row failed (since 2024-05-01 00:00:00, acknowledged by "
                       "kim, cleared 2024-05-03 00:00:00)"]

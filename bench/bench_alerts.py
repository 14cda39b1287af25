"""The cost of alert rules per machine and run, on a store with a month of hourly scores.

A store of 1,000 machines with 30 days of hourly scores (720 each, one score a
batch as hour-bin models give), ten failure-mode lights each and a daily
remaining life. Then hourly runs: each commits every machine's new batch (a
score and its lights) in one transaction, as the driver does, once with the
alerting of the batch (what the rules read brought up to date, every rule on
every machine of the batch, the alerts stepped, the outbox written; timed
apart) and once without, in turn. Also timed: the
end-of-run look for silent machines across the fleet, `fleet alerts check`'s
evaluation of every rule on every machine, and the straightforward
formulation of the same rules in pandas, which reads the history each run
(trailing alarms, batch intervals, failed runs and the latest lights and
remaining life by machine).

    cd bench && python bench_alerts.py [--machines 1000] [--days 30] [--rounds 5]
"""

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from algo import alerts
from algo.alerts import AlertConfig
from algo.results import Produced
from algo.store import Outcome, Store

from common import best_time, report

START = pd.Timestamp("2024-01-01")
FEATURES = [f"feature_{n}" for n in range(10)]
UCL, WARNING_LINE = 25.0, 60.0


def fill(store: Store, machines: int, hours: int) -> None:
    """A month of history written straight to the tables: machines, hourly scores, the latest lights, daily
    remaining life and the outcomes of the runs."""
    store.execute(f"""INSERT INTO machines (machine, ucl, rul_warning_line)
                      SELECT 'm' || lpad(i::VARCHAR, 5, '0'), {UCL}, {WARNING_LINE} FROM range(?) t(i)""", [machines])
    store.execute("""INSERT INTO scores SELECT 'm' || lpad(m::VARCHAR, 5, '0'), ?::TIMESTAMP + h * INTERVAL 1 HOUR,
                            random() * 20, 70 + random() * 30, NULL, h + 1
                     FROM range(?) a(m), range(?) b(h)""", [START, machines, hours])
    store.execute("""INSERT INTO outcomes (run, machine, outcome) SELECT h + 1, 'm' || lpad(m::VARCHAR, 5, '0'), 'ok'
                     FROM range(?) a(m), range(?) b(h)""", [machines, hours])
    store.execute("""INSERT INTO runs (run, command, status) SELECT h + 1, 'score', 'completed' FROM range(?) b(h)""",
                  [hours])
    store.execute("""INSERT INTO rul (machine, run, rul, unit, signal) SELECT 'm' || lpad(m::VARCHAR, 5, '0'),
                            (d + 1) * 24, 60, 'days', 'green' FROM range(?) a(m), range(?) b(d)""",
                  [machines, hours // 24])


def batches(machines: int, hour: int, run: int) -> list[tuple[Outcome, Produced]]:
    time_ = START + pd.Timedelta(hours=hour)
    rng = np.random.default_rng(hour)
    entries = []
    for number in range(machines):
        scores = pd.DataFrame({"time": [time_], "tsquare": [rng.random() * 20], "health_index": [70 + rng.random() * 30],
                               "suspicious_variable": [None]})
        lights = pd.DataFrame({"kind": "failure_mode", "feature": FEATURES, "time": time_,
                               "value": rng.random(len(FEATURES)), "light": "green", "upper_warning": 1.0,
                               "upper_alert": 2.0, "lower_warning": np.nan, "lower_alert": np.nan})
        entries.append((Outcome(f"m{number:05d}", run=run), Produced(scores=scores, lights=lights)))
    return entries


def commit(store: Store, entries, during) -> float:
    started = time.perf_counter()
    store.commit_many(entries, during=during)
    return time.perf_counter() - started


def straightforward(store: Store) -> pd.DataFrame:
    """The rules' inputs from the whole history in pandas, as one would write them without a watch table."""
    scores = store.execute("SELECT machine, time, tsquare, health_index, run FROM scores").df()
    lines = store.execute("SELECT machine, ucl, rul_warning_line FROM machines").df().set_index("machine")
    scores = scores.join(lines, on="machine").sort_values(["machine", "time"])
    scores["alarming"] = scores["health_index"] < scores["rul_warning_line"]
    calm = (~scores["alarming"]).groupby(scores["machine"]).cumsum()
    streak = scores.assign(calm=calm).groupby(["machine", "calm"])["alarming"].sum().groupby("machine").last()
    ends = scores.groupby(["machine", "run"])["time"].max().groupby("machine")
    usual = ends.apply(lambda times: times.tail(11).diff().median())
    last = scores.groupby("machine")["time"].max()
    outcomes = store.execute("SELECT machine, run, outcome FROM outcomes ORDER BY run").df()
    failed = outcomes.groupby("machine")["outcome"].apply(lambda o: (o[::-1] != "ok").cumprod().sum())
    rul = store.execute("SELECT * FROM rul").df().sort_values("run").groupby("machine").last()
    lights = store.execute("SELECT machine, light FROM lights").df()
    worst = lights.groupby("machine")["light"].agg(lambda words: words.isin(["yellow", "red"]).any())
    return pd.DataFrame({"streak": streak, "usual": usual, "last": last, "failed": failed,
                         "signal": rul["signal"], "lit": worst})


def check_all(store: Store, alerting: alerts.Alerting) -> None:
    with store.transaction():
        alerting.evaluate(None)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--machines", type=int, default=1000)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    hours = args.days * 24
    with tempfile.TemporaryDirectory() as folder, Store.open(Path(folder) / "store", "w") as store:
        started = time.perf_counter()
        fill(store, args.machines, hours - 4)
        alerting = alerts.Alerting(store, AlertConfig(), "score")
        for hour in range(hours - 4, hours):  # the last hours through alerting, so that it knows the batches
            commit(store, batches(args.machines, hour, hour + 1), alerting.during_commit)
        print(f"{args.machines} machines, {hours} hourly scores each: store filled in "
              f"{time.perf_counter() - started:.1f} s")
        with_alerts, without, hooked = [], [], []

        def timed_alerting(entries) -> None:
            started = time.perf_counter()
            alerting.during_commit(entries)
            hooked.append(time.perf_counter() - started)

        for round_ in range(args.rounds):
            hour = hours + 2 * round_
            without.append(commit(store, batches(args.machines, hour, hour + 1), None))
            with_alerts.append(commit(store, batches(args.machines, hour + 1, hour + 2), timed_alerting))
        finish, _ = best_time(lambda: alerting.finish(deliver=False), args.rounds)
        check, _ = best_time(lambda: check_all(store, alerting), args.rounds)
        plain, _ = best_time(lambda: straightforward(store), min(args.rounds, 3))
    cost = min(hooked)
    report("commit of a run's batches, without alerts", min(without))
    report("commit of a run's batches, with alerts", min(with_alerts))
    print(f"{'alerting of a run, in its transaction':<46} {cost:9.4f} s   {cost / args.machines * 1e3:8.3f} ms "
          "a machine")
    report("silent machines at the end of a run (fleet)", finish)
    report("every rule on every machine (alerts check)", check, plain, "the pandas formulation")
    report("the pandas formulation (reads the history)", plain)


if __name__ == "__main__":
    main()

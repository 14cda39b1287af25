"""The fleet's driver: the one process that talks to the store while the jobs run elsewhere.

It starts or resumes a run, hands the jobs to an engine, and commits each
list of results in one transaction as it arrives, so an interrupted run
leaves every machine either fully recorded or not at all.
"""

from __future__ import annotations

import contextlib
import itertools
import json
import sys
from collections.abc import Callable, Iterable, Iterator
from dataclasses import replace

import pandas as pd

from algo.alerts import Alerting
from algo.fleet.engines import Cluster, Loop
from algo.fleet.jobs import Result
from algo.results import Produced
from algo.store import Store


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
        function: Callable, where: Loop | Cluster, progress: Progress, decided: Iterable[Result] = (),
        kept: Callable[[Store, Result], Produced] = lambda store, result: result.produced,
        alerting: Alerting | None = None) -> pd.DataFrame:
    """Runs `function` over the jobs not yet committed in this run (`jobs(done)`), committing the results as
    they arrive (each with what `kept` makes of it for the store, and with the alerts they raise), after the
    results `decided` without a job; returns the run's outcomes, one row per machine, and in their
    attrs["alerts"] what the run's alerting did once the last results were committed."""
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
                store.commit_many([(result, kept(store, result)) for result in numbered],
                                  during=alerting and alerting.during_commit)
                for result in results:
                    advance(result)
    except BaseException:
        store.end_run(record.run, "interrupted")
        raise
    store.end_run(record.run, "completed")
    outcomes = store.outcomes(record.run)
    outcomes.attrs["run"] = record.run
    if alerting is not None:
        outcomes.attrs["alerts"] = alerting.summary(alerting.finish(record.run))
    return outcomes

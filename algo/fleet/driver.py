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
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field, replace

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


def _as_produced(store: Store, result: Result) -> Produced:
    return result.produced


@dataclass
class Plan:
    """One command's run: what makes it the same run when resumed, its jobs, and what the store keeps."""

    command: str
    data: str | None
    key: dict  # the command, a fingerprint of its input and its options: a run resumes only on the same key
    total: int  # machines
    function: Callable  # the job
    jobs: Callable[[set], Iterable]  # the jobs of the machines not in the set, committed already
    decided: list[Result] = field(default_factory=list)  # results known without a job
    kept: Callable[[Store, Result], Produced] = _as_produced  # what the store keeps of a result
    replace: bool = False  # a time scored again takes the new score (see `Store.commit_many`)
    notes: list[str] = field(default_factory=list)  # on the run as a whole, reported with its outcomes
    alerting: Alerting | None = None  # the alerts its results raise, written with them


def run(store: Store, plan: Plan, where: Loop | Cluster, progress: Progress) -> pd.DataFrame:
    """Runs the plan's jobs not yet committed in this run, after the results decided without a job; returns
    the run's outcomes, one row per machine, with the run's number, the machines a resumed run did not run
    again, the plan's notes and what the run's alerting did once the last results were committed in `attrs`.

    Results are committed together, with the alerts they raise, once the first of them has waited
    `commit_every` seconds (a statement costs the store the same for one machine as for many), and when the
    run ends or is interrupted by Ctrl-C; a driver killed loses what it holds, which the next run does again.
    """
    record = store.begin_run(plan.command, plan.data, json.dumps(plan.key, sort_keys=True, default=str), plan.total)
    if record.resumed:
        progress.say(f"resuming run {record.run}: {len(record.done)} of {plan.total} machines already committed")
    if where.dashboard:
        progress.say(f"Dask dashboard: {where.dashboard}")
    held, since = [], 0.0
    alerting = plan.alerting

    def commit(advance: Callable[[Result], None]) -> None:
        store.commit_many([(result, plan.kept(store, result)) for result in held], plan.replace,
                          during=alerting and alerting.during_commit)
        for result in held:
            advance(result)
        held.clear()

    with progress.bar(plan.command, plan.total, len(record.done)) as advance:
        try:
            decided = [result for result in plan.decided if result.machine not in record.done]
            for results in itertools.chain([decided], where.results(plan.function, plan.jobs(record.done))):
                if results and not held:
                    since = time.monotonic()
                held += [replace(result, run=record.run) for result in results]
                if held and (not results or time.monotonic() - since >= where.settings.commit_every):
                    commit(advance)
            commit(advance)
        except KeyboardInterrupt:
            commit(advance)  # what was computed is kept: the resumed run need not do it again
            store.end_run(record.run, "interrupted")
            raise
        except BaseException:
            store.end_run(record.run, "interrupted")
            raise
    store.end_run(record.run, "completed")
    outcomes = store.outcomes(record.run)
    outcomes.attrs.update(run=record.run, resumed=sorted(record.done) if record.resumed else None, notes=plan.notes)
    if alerting is not None:
        outcomes.attrs["alerts"] = alerting.summary(alerting.finish(record.run))
    return outcomes

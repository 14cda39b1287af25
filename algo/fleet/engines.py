"""Where the fleet's jobs run: this process, a local Dask cluster, or an existing one.

An engine takes a job function and the jobs, and yields their results in
lists as they complete; an empty list says that none completed for a while,
so that the driver commits the results it holds.
"""

from __future__ import annotations

import contextlib
import itertools
import logging
import os
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass

from algo.errors import FleetError
from algo.fleet.jobs import Result

# Dask's nannies start their workers with a fixed malloc trim threshold, which also turns off glibc's
# adaptive mmap threshold: every large array is then mapped and unmapped afresh, and a day of rows trains
# a third slower than in a plain process. A job's arrays live for one job, so the default suits them.
NANNY_TRIM = "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_"
# A worker samples its threads' stacks every few milliseconds for the dashboard's profile: a tenth of the CPU
# of jobs as short as scoring an hour, for a page that local runs seldom open.
WORKER_PROFILE = "distributed.worker.profile.enabled"


@dataclass(frozen=True)
class EngineSettings:
    """How the jobs are handed to a cluster and their results gathered."""

    # Dask retries a job whose call raised; a worker that dies is handled apart, by the scheduler, which
    # moves its jobs to the other workers.
    retries: int = 2
    # Tasks handed to the scheduler ahead of the results, per worker thread: enough to keep every worker busy
    # while the driver commits, few enough that models shipped to scoring jobs do not pile up in the
    # scheduler's memory.
    tasks_ahead: int = 4
    # Seconds of work a task is given: short jobs (scoring an hour takes tens of milliseconds) go several to a
    # task, so that the few milliseconds every task costs the scheduler, the driver and the worker are paid
    # once for several machines; jobs that take longer (training) go one to a task.
    task_seconds: float = 0.25
    largest_task: int = 16  # jobs; a worker lost loses no more than this to be done again
    # Seconds a result waits for others to be committed with. A commit costs the store milliseconds however
    # few machines it holds, so gathering what arrives meanwhile divides the driver's work, which on a small
    # machine takes cores from the workers; a driver killed loses at most this much of the run.
    commit_every: float = 0.5


class Loop:
    """The jobs one after the other in this process: no Dask, for small fleets and as a baseline."""

    dashboard = None
    settings = EngineSettings()

    def __init__(self, settings: EngineSettings = EngineSettings()):
        self.settings = settings

    def results(self, function: Callable, jobs: Iterable) -> Iterator[list[Result]]:
        return ([function(job)] for job in jobs)


class Cluster:
    """The jobs on a Dask cluster, a few to a task when they are short, their results in the order their tasks
    complete, in the lists `as_completed` takes them in; an empty list after `commit_every` seconds in which
    none completed."""

    def __init__(self, client, dashboard: bool = True, settings: EngineSettings = EngineSettings()):
        """`dashboard`: whether the scheduler's dashboard can show pages (a local one needs bokeh here)."""
        self.client = client
        self.settings = settings
        self.dashboard = _dashboard(client) if dashboard else None

    def results(self, function: Callable, jobs: Iterable) -> Iterator[list[Result]]:
        from distributed import as_completed

        jobs = iter(jobs)
        running: dict[str, tuple] = {}  # future key -> (future, its jobs' machines)
        size = TaskSize(self.settings)

        def submit(tasks: int) -> list:
            futures = []
            for _ in range(tasks):
                group = list(itertools.islice(jobs, size.jobs))
                if not group:
                    break
                future = self.client.submit(run_jobs, function, group, retries=self.settings.retries, pure=False,
                                            key=f"{function.__name__}-{group[0].machine}-{time.time_ns()}")
                running[future.key] = (future, [job.machine for job in group])
                futures.append(future)
            return futures

        ahead = self.settings.tasks_ahead * max(1, sum(self.client.nthreads().values()))
        finished = as_completed(submit(ahead), with_results=True, raise_errors=False)
        for batch in finished.batches():
            results = [result for future, value in batch
                       for result in self._results(future, value, running.pop(future.key)[1])]
            size.learn(results)
            yield results
            finished.update(submit(len(batch)))  # keeps the tasks in flight, and the iteration going
            while running and not self._one_completes(running):
                yield []

    def _one_completes(self, running: dict) -> bool:
        """Whether one of the running jobs completes within `commit_every` seconds."""
        from distributed import wait

        try:
            wait([future for future, _ in running.values()], timeout=self.settings.commit_every,
                 return_when="FIRST_COMPLETED")
        except TimeoutError:
            return False
        return True

    @staticmethod
    def _results(future, value, machines: list[str]) -> list[Result]:
        """A task's results; the jobs of a task whose workers died too often (KilledWorker), or that could not
        run, fail."""
        if future.status == "finished":
            return value
        error = value[1] if isinstance(value, tuple) else value  # (type, exception, traceback), or a cancellation
        return [Result(machine, "failed", "worker", f"{type(error).__name__}: {error}") for machine in machines]


def run_jobs(function: Callable, jobs: list) -> list[Result]:
    """A task: its jobs one after the other (each turns its own failures into its result)."""
    return [function(job) for job in jobs]


class TaskSize:
    """How many jobs a task is given: one until jobs have been timed, then about `task_seconds` of them."""

    def __init__(self, settings: EngineSettings):
        self.settings = settings
        self.jobs = 1
        self._seconds = self._count = 0

    def learn(self, results: list[Result]) -> None:
        timed = [result.duration for result in results if result.duration]  # not jobs lost with a worker
        self._seconds += sum(timed)
        self._count += len(timed)
        if self._count:
            typical = max(self._seconds / self._count, 1e-3)
            self.jobs = max(1, min(self.settings.largest_task, int(self.settings.task_seconds / typical)))


def _dashboard(client) -> str | None:
    try:
        return client.dashboard_link if client.scheduler_info().get("services", {}).get("dashboard") else None
    except Exception:  # no dashboard is no failure
        return None


def local_workers() -> int:
    """Worker processes of a local cluster: one per core this process may use, as Dask counts them (CPU
    affinity and cgroup quotas included)."""
    from dask.system import cpu_count

    return cpu_count()


@contextlib.contextmanager
def engine(scheduler: str | None = None, workers: int | None = None,
           settings: EngineSettings = EngineSettings()) -> Iterator[Loop | Cluster]:
    """Where the jobs run: an existing Dask cluster (`scheduler`, or DASK_SCHEDULER_ADDRESS), this process
    (`workers=0`), or a LocalCluster of `workers` processes (default one per core) started and stopped here."""
    scheduler = scheduler or os.environ.get("DASK_SCHEDULER_ADDRESS") or None
    if workers == 0 and scheduler is None:
        yield Loop(settings)
        return
    _quiet_dask()
    import dask
    from distributed import Client, LocalCluster

    cluster = None
    try:
        if scheduler:
            client = Client(scheduler, timeout="20s")
        else:
            # A free port: the scheduler serves HTTP even without a dashboard, and a fixed port would clash
            # with another run's.
            with dask.config.set({NANNY_TRIM: None, WORKER_PROFILE: False}):
                cluster = LocalCluster(n_workers=workers or local_workers(), threads_per_worker=1,
                                       processes=True, dashboard_address=":0", silence_logs=logging.ERROR)
            client = Client(cluster)
    except (OSError, TimeoutError) as error:
        if cluster is not None:
            cluster.close()
        where = f"the Dask scheduler at {scheduler}" if scheduler else "a local Dask cluster"
        raise FleetError(f"cannot reach {where}: {' '.join(str(error).split())}") from None
    try:
        yield Cluster(client, dashboard=bool(scheduler) or _has_bokeh(), settings=settings)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _has_bokeh() -> bool:
    import importlib.util

    return importlib.util.find_spec("bokeh") is not None


def _quiet_dask() -> None:
    """Dask reports every lost worker and closed connection on stderr; the run reports what matters itself."""
    for name in ("distributed", "bokeh", "tornado"):
        logging.getLogger(name).setLevel(logging.CRITICAL)

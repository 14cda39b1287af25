"""The fleet: train, score and forecast many machines on Dask, with a history store.

Each machine's work is a pure function of its own input (`jobs`), run on a Dask
worker: the worker reads the machine's files itself (a local path or an fsspec
URL), runs the single-machine job of `algo.machine`, and sends back a small
result — a model, a batch of scores and lights, a forecast — never raw rows.
The driver (`driver`) submits the jobs to an engine (`engines`: this process, a
local cluster or an existing one), commits the results to the store as they
arrive (a machine with all it produced, or nothing of it), and is the only
process that touches the store. So a fleet result is the single-machine result
for the same data, and the same job functions run in a plain loop
(`workers=0`), on a `LocalCluster` and on a cluster.

A run can be interrupted at any point: machines are committed whole, and the
same command run again resumes the unfinished run, skipping the machines it
has committed already. Scores are keyed by machine and time, so a batch that is
scored twice adds nothing.

Where the machines and their files are is `discovery`; what differs per machine
comes from a `manifest`.
"""

from algo.errors import FleetError
from algo.fleet.api import report, rul, score, status, train, upgrade
from algo.fleet.demo import demo

__all__ = ["FleetError", "demo", "report", "rul", "score", "status", "train", "upgrade"]

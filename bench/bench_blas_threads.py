"""Training on a busy machine: BLAS on one thread against BLAS on every core.

A second process keeps every core busy while a fresh interpreter trains a
minute-bin model on a day of 1 Hz rows (and fits one 1440 x 108 SVD, the size
of such a model's matrix), several times. "Before" is the library as it ran
when BLAS took its default threads: the run sets OPENBLAS_NUM_THREADS (and
OMP_NUM_THREADS) to the number of cores, a limit of the process's owner,
which the library keeps. "After" sets nothing, so the pipelines run their
model stage on one thread. Both kinds of run alternate, so the load they see
is the same; the figures are the best, median and worst of the repeats.

Usage: python bench_blas_threads.py [repeats]   (default 5)
"""

import json
import multiprocessing
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, time, warnings
import numpy as np
from bench_pipelines import raw_export
from algo.HI import HI

raw = raw_export(1)
matrix = np.random.default_rng(0).normal(size=(1440, 108))
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    HI.training_model(raw.iloc[:7200], "0,0,0,1,2,1,1,1")  # warm-up: imports, first allocations
    start = time.perf_counter()
    model = HI.training_model(raw, "0,0,0,1,2,1,1,1")
    training = time.perf_counter() - start
assert model["is_error"] == "False", model["error_message"]
from algo import blas
with blas.one_thread():  # the SVD as the model stage runs it
    start = time.perf_counter()
    np.linalg.svd(matrix, full_matrices=False)
    svd = time.perf_counter() - start
print(json.dumps({"training": training, "svd": svd}))
"""


def spin():
    while True:
        pass


def timed_run(threads):
    env = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")}
    if threads:
        env.update(OPENBLAS_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", CHILD], env=env, check=True, capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.abspath(__file__)))
    return json.loads(out.stdout.strip().splitlines()[-1])


def summary(values):
    return f"best {min(values) * 1e3:8.1f} ms  median {statistics.median(values) * 1e3:8.1f} ms  " \
           f"worst {max(values) * 1e3:8.1f} ms"


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    cores = os.cpu_count() or 1
    load = [multiprocessing.Process(target=spin, daemon=True) for _ in range(cores)]
    for process in load:
        process.start()
    runs = {"before (BLAS on every core)": [], "after (one thread)": []}
    try:
        for _ in range(repeats):
            runs["before (BLAS on every core)"].append(timed_run(cores))
            runs["after (one thread)"].append(timed_run(None))
    finally:
        for process in load:
            process.terminate()
    print(f"{cores} cores, each kept busy by another process; {repeats} runs of each kind")
    for label, results in runs.items():
        print(f"{label}")
        for key in ("training", "svd"):
            print(f"  {key:<9} {summary([r[key] for r in results])}")
    before, after = (statistics.median([r["training"] for r in results]) for results in runs.values())
    print(f"training, median before / median after: {before / after:.2f}x")


if __name__ == "__main__":
    main()

"""BLAS on one thread for the health model, unless its caller limited BLAS already.

The health model's matrices are small (a day of minute bins is 1440 rows by a
hundred features), so more BLAS threads buy nothing, and on a busy machine
they mostly wait for each other: one such SVD took seconds instead of
milliseconds on two loaded cores. The command line, the fleet's jobs and the
pipelines' model stage therefore run BLAS on one thread. A limit set by the
process's owner stands: an environment variable such as OMP_NUM_THREADS, or a
thread count other than the one a library started with (a caller's
`threadpoolctl.threadpool_limits`).
"""

from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Iterator

import threadpoolctl

# Environment variables by which a process's owner limits the threads of BLAS.
LIMIT_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS")


def _blas_threads(libraries) -> dict[str, int]:
    return {library["filepath"]: library["num_threads"] for library in libraries
            if library["user_api"] == "blas"}


# The counts when this module is first imported (the native health module imports it as it loads), before any
# call of ours: a library found later starts with the count it has when first seen.
_STARTING = _blas_threads(threadpoolctl.threadpool_info())


@functools.cache
def _controller():
    import scipy.linalg  # noqa: F401  (loads the BLAS that scikit-learn's PCA calls, to be found below)

    return threadpoolctl.ThreadpoolController().select(user_api="blas")


def limit_to_one_thread():
    """BLAS limited to one thread, and the limiter whose `restore_original_limits()` undoes it; None, with
    nothing changed, when a limit is set already."""
    blas = _controller()
    running = _blas_threads(blas.info())
    for path, count in running.items():
        _STARTING.setdefault(path, count)
    if any(name in os.environ for name in LIMIT_VARIABLES) or any(
            count != _STARTING[path] for path, count in running.items()):
        return None
    return blas.limit(limits=1)


@contextlib.contextmanager
def one_thread() -> Iterator[None]:
    """BLAS on one thread while the block runs, unless limited already (`limit_to_one_thread`)."""
    limiter = limit_to_one_thread()
    try:
        yield
    finally:
        if limiter is not None:
            limiter.restore_original_limits()

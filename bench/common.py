"""Timing helpers shared by the benchmark scripts."""

import collections
import importlib
import sys
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"


def best_time(fn, repeat=3):
    """Best wall-clock seconds of `repeat` calls, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def report(label, seconds, baseline=None, baseline_label="baseline"):
    line = f"{label:<46} {seconds:9.4f} s"
    if baseline is not None:
        line += f"   {baseline / seconds:8.1f}x faster than {baseline_label}"
    print(line)


def peak_bytes(fn):
    """Peak bytes traced (Python and numpy allocations) while `fn()` runs, and its result."""
    import tracemalloc

    tracemalloc.start()
    try:
        result = fn()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return peak, result


def reference(module, name):
    """A pandas formulation from the tests, which check the native code against it."""
    if str(TESTS) not in sys.path:
        sys.path.insert(0, str(TESTS))
    return getattr(importlib.import_module(module), name)


_recording = []


def _record_stage(event, args):
    if _recording and event == "algo.stage":
        _recording[-1][args[1]] += args[2]


def stage_seconds(fn):
    """`fn()` and the seconds it spent in each stage the pipelines report (audit
    events "algo.stage": pipeline, stage, seconds); an empty count from builds
    that report none."""
    if not getattr(stage_seconds, "hooked", False):
        sys.addaudithook(_record_stage)  # hooks stay for the process's life: one for all calls
        stage_seconds.hooked = True
    _recording.append(collections.Counter())
    try:
        result = fn()
    finally:
        seconds = _recording.pop()
    return result, seconds

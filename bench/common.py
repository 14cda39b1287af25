"""Timing helpers shared by the benchmark scripts."""

import time


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

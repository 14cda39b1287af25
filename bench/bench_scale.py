"""training_model on 30 days of 1-second rows: time and peak memory.

About 2.6 million rows of the 59 generator features plus a few extra numeric
columns (as exports carry: spare sensors the model does not use), trained with
the typical configuration "0,0,0,1,2,1,1,1" (minute bins, all feature
families, standardisation, the PCA health model and the 12-sigma deadline).
Peak memory is the resident set size sampled while the call runs, shown also
as a multiple of the input frame's size. Linux only (reads /proc/self/statm).
"""

import os
import threading
import time

import numpy as np

from algo.HI import HI
from algo.synthetic import machine_frame

DAYS, EXTRA_COLUMNS = 30, 11
CONFIG = "0,0,0,1,2,1,1,1"


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class PeakRss:
    """The largest resident set size seen while the block runs, sampled every 20 ms."""

    def __enter__(self):
        self.peak, self._running = rss_bytes(), True
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()
        return self

    def _sample(self):
        while self._running:
            self.peak = max(self.peak, rss_bytes())
            time.sleep(0.02)

    def __exit__(self, *exc):
        self._running = False
        self._thread.join()
        self.peak = max(self.peak, rss_bytes())


def main():
    start = time.perf_counter()
    df = machine_frame("2024-01-01", periods=DAYS * 86_400, freq="1s", seed=0)
    rng = np.random.default_rng(1)
    for i in range(EXTRA_COLUMNS):
        df[f"Spare_{i + 1:02d}"] = rng.normal(size=len(df))
    input_bytes = df.memory_usage(deep=True).sum()
    print(f"{len(df):,} rows x {len(df.columns)} columns ({input_bytes / 2**30:.2f} GiB), "
          f"generated in {time.perf_counter() - start:.1f} s")

    before = rss_bytes()
    with PeakRss() as peak:
        start = time.perf_counter()
        model = HI.training_model(df, CONFIG)
        seconds = time.perf_counter() - start
    assert model["is_error"] == "False", model["error_message"]
    print(f"training_model {CONFIG}: {seconds:.1f} s, {len(model['T2']):,} minute rows, "
          f"robustness {model['training_model_robust_index']}")
    print(f"peak RSS {peak.peak / 2**30:.2f} GiB ({(peak.peak - before) / 2**30:.2f} GiB above the "
          f"{before / 2**30:.2f} GiB before the call: {(peak.peak - before) / input_bytes:.1f} x the input)")


if __name__ == "__main__":
    main()

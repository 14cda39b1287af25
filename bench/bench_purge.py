"""purge_by_chebyshev on 10,000 standardised rows of 59 machine features.

Each purge iteration refits the PCA health model and scores every remaining
row. Compares the native purge with the same loop written in Python, whose T²
is the row-by-row quadratic form; scikit-learn's PCA fits are the same in both.
"""

import contextlib
import io

import numpy as np
from scipy.stats import f
from sklearn.decomposition import PCA

from algo.HI import HI
from algo.synthetic import machine_frame
from common import best_time, report

ROWS, OUTLIER_SHARE = 10_000, 0.01


def scaled_frame():
    raw = machine_frame("2024-01-01", periods=ROWS, freq="1min", seed=0).set_index("_time")
    rng = np.random.default_rng(0)
    rows = rng.choice(ROWS, int(ROWS * OUTLIER_SHARE), replace=False)
    for row in rows:  # a few disturbed features per outlier row
        columns = rng.choice(raw.shape[1], 3, replace=False)
        raw.iloc[row, columns] *= rng.uniform(1.5, 3.0, size=3)
    return HI.standardize(raw)[0]


def python_purge(df_scaled, alpha=0.05, max_iter=10):
    df, previous = df_scaled.copy(), None
    k = np.sqrt((1 - alpha) / alpha)
    for i in range(max_iter):
        pca = PCA(n_components=0.9).fit(df)
        scores = pca.transform(df)
        mu, cov = scores.mean(axis=0), np.cov(scores.T)
        n, p = scores.shape
        _ = p * (n - 1) / (n - p) * f.ppf(0.95, p, n - p)  # the F limit the model also computes
        inverse = np.linalg.pinv(cov)
        t2 = np.array([(x - mu) @ inverse @ (x - mu).T for x in scores])
        ucl = np.mean(t2) + k * np.std(t2, ddof=1)
        keep = t2 <= ucl
        removed = int((~keep).sum())
        change = abs(ucl - previous) if previous is not None else np.inf
        print(f"第 {i + 1} 次篩選：UCL = {ucl:.3f}，移除 {removed} 筆；UCL 變化量 = {change:.4f}")
        if removed == 0 or (previous is not None and change < 1e-3):
            break
        df, previous = df.loc[keep], ucl
    return df, ucl


def quietly(fn):
    """Runs fn with its printed lines captured; returns (result, lines)."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = fn()
    return result, out.getvalue().splitlines()


def main():
    scaled = scaled_frame()
    native_s, (result, lines) = best_time(lambda: quietly(lambda: HI.purge_by_chebyshev(scaled)), repeat=1)
    python_s, ((kept, ucl), python_lines) = best_time(lambda: quietly(lambda: python_purge(scaled)), repeat=1)

    iterations = sum(line.startswith("第 ") for line in lines)
    assert iterations == len(python_lines) and len(kept) == len(result[0])
    print(f"purge_by_chebyshev: {ROWS:,} rows x {scaled.shape[1]} features, {OUTLIER_SHARE:.0%} disturbed rows")
    print(f"{iterations} iterations, {len(result[0]):,} rows kept, final limit {result[4]:.3f} "
          f"(Python loop {ucl:.3f})")
    report("native purge, total", native_s, python_s, "Python loop")
    report("native purge, per iteration", native_s / iterations)
    report("Python loop with row-by-row T2, total", python_s)
    report("Python loop, per iteration", python_s / iterations)


if __name__ == "__main__":
    main()

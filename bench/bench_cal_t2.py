"""cal_T2 on 200,000 x 60 standardised rows.

Compares the native T² evaluation with the row-by-row formulation (one
quadratic form per row in a Python loop) and with one vectorised numpy einsum
over the same scores. The whole call also includes scikit-learn's PCA
transform, which is the same in every formulation and is timed on its own.
"""

import numpy as np
import pandas as pd

from algo.HI import HI
from common import best_time, report

ROWS, FEATURES, FACTORS = 200_000, 60, 12


def scaled_frame():
    rng = np.random.default_rng(0)
    latent = rng.normal(size=(ROWS, FACTORS))
    values = latent @ rng.normal(size=(FACTORS, FEATURES)) + 0.5 * rng.normal(size=(ROWS, FEATURES))
    frame = pd.DataFrame(values, columns=[f"f{i:02d}" for i in range(FEATURES)])
    return HI.standardize(frame)[0]


def row_loop_t2(scores, mu, cov):
    inverse = np.linalg.pinv(cov)
    return [(x - mu) @ inverse @ (x - mu).T for x in scores]


def einsum_t2(scores, mu, cov):
    d = scores - mu
    return np.einsum("ij,jk,ik->i", d, np.linalg.pinv(cov), d)


class PreparedScores:
    """Stands in for the PCA so that only the T² evaluation is timed."""

    def __init__(self, scores):
        self.scores = scores

    def transform(self, _):
        return self.scores


def main():
    scaled = scaled_frame()
    mu, cov, _, pca = HI.health_modeling(scaled)
    print(f"cal_T2: {ROWS:,} rows x {FEATURES} features, {pca.n_components_} retained components")

    transform_s, scores = best_time(lambda: pca.transform(scaled))
    whole_s, (t2, _) = best_time(lambda: HI.cal_T2(scaled, pca, mu, cov, scaled.index))
    prepared = PreparedScores(scores)
    native_s, _ = best_time(lambda: HI.cal_T2(scaled, prepared, mu, cov, scaled.index), repeat=5)
    loop_s, reference = best_time(lambda: row_loop_t2(scores, mu, cov), repeat=1)
    einsum_s, vectorised = best_time(lambda: einsum_t2(scores, mu, cov))

    relative = np.max(np.abs(t2["tsquare"].to_numpy() - reference) / np.abs(reference))
    print(f"largest relative difference from the row loop: {relative:.1e}")
    report("PCA transform (shared by every formulation)", transform_s)
    report("row-by-row quadratic forms", loop_s)
    report("numpy einsum", einsum_s)
    report("native T2 (cal_T2 without the transform)", native_s, loop_s, "row loop")
    print(f"{'':<46} {'':11}   {einsum_s / native_s:8.1f}x the speed of einsum")
    report("cal_T2, whole call", whole_s, transform_s + loop_s, "transform + row loop")


if __name__ == "__main__":
    main()

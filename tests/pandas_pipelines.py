"""The training and testing pipelines written out in plain pandas, numpy and scikit-learn.

The straightforward formulation of the two pipelines, step by step as the
library documents them, with the building blocks the tests check the native
code against (per-second compression, window-by-window rolling features,
minute-by-minute outlier dropping). `test_pipeline_formulation.py` checks the
native pipelines against it; the speed benchmarks time them against it.
"""

import sys
from datetime import datetime
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
from scipy.stats import f, norm
from sklearn.decomposition import PCA
from sklearn.preprocessing import MinMaxScaler, StandardScaler

sys.path.insert(0, str(Path(__file__).parent))
from test_compression import pandas_compress  # noqa: E402
from test_features import rolling_by_windows  # noqa: E402
from test_filters import drop_by_minutes, low_resolution  # noqa: E402

TIME_FORMAT = "%Y-%m-%d %H:%M:%S"
KEYWORDS = {"time": ["Overall", "Peak", "Crest"], "frequency": ["Band"],
            "fail_mode": ["Bearing", "Looseness", "Misalignment", "Imbalance", "Gear", "Van"]}
TRAINING_WINDOWS = {"2": (120, 60), "3": (3600, 1800), "4": (60, 30)}
SCORING_WINDOWS = {"2": (120, 60), "4": (60, 30)}


# --- preparation ----------------------------------------------------------------------


def time_filter(df, sec_count):
    hourly_counts = df.resample("1h").size()
    thin = hourly_counts[hourly_counts < sec_count]
    return df[~df.index.floor("h").isin(thin.index)]


def resample_max(df, names, time_scale, chunk_size=50000):
    parts = [df.iloc[s:s + chunk_size][names].resample(time_scale).max() for s in range(0, len(df), chunk_size)]
    return pd.concat(parts).groupby(level=0).max()


def resample_mean(df, names, time_scale, chunk_size=50000):
    weighted_sum = count_sum = None
    for start in range(0, len(df), chunk_size):
        chunk = df.iloc[start:start + chunk_size][names].resample(time_scale)
        mean, count = chunk.mean(), chunk.count()
        if weighted_sum is None:
            weighted_sum, count_sum = mean * count, count
        else:
            weighted_sum = weighted_sum.add(mean * count, fill_value=0)
            count_sum = count_sum.add(count, fill_value=0)
    return weighted_sum / count_sum


def binned_features(df, icn, time_scale):
    names = icn.time + icn.frequency + icn.fail_mode
    df_max = resample_max(df, names, time_scale)
    df_max.columns = [c + "_max" for c in names]
    df_mean = resample_mean(df, names, time_scale)
    df_mean.columns = [c + "_mean" for c in names]
    df_std = df[icn.time].resample(time_scale).std()
    df_std.columns = [c + "_std" for c in icn.time]
    return pd.concat([df_max, df_mean, df_std], axis=1).dropna(axis="index", how="any")


def features(df, icn, extraction, time_scale, windows, sec_count=None):
    if extraction == "1":
        if sec_count and time_scale == "h":
            df = time_filter(df, sec_count)
        return binned_features(df, icn, time_scale)
    if extraction in windows:
        return rolling_by_windows(df, icn, *windows[extraction])
    return df


def prepared_rows(df, time_col="_time"):
    """Compressed rows: the time column and the numeric columns."""
    df = pandas_compress(df, time_col)[0]
    return df[[time_col] + df.select_dtypes(include="number").columns.tolist()]


def indexed_by_time(df, time_col="_time"):
    df = df.copy()
    df[time_col] = pd.to_datetime(df[time_col], errors="coerce")
    span = df[time_col].min().strftime(TIME_FORMAT), df[time_col].max().strftime(TIME_FORMAT)
    return df.dropna(subset=[time_col]).set_index(time_col), span


def families(columns):
    found = {family: [] for family in KEYWORDS}
    for col in columns:
        for family, keywords in KEYWORDS.items():
            if any(k in col for k in keywords):
                found[family].append(col)
                break
    return found


# --- health model ---------------------------------------------------------------------


def health_model(scaled):
    pca = PCA(n_components=0.9).fit(scaled)
    scores = pca.transform(scaled)
    if np.ndim(np.cov(scores.T)) < 2:
        pca = PCA(n_components=min(scaled.shape[1], 2)).fit(scaled)
        scores = pca.transform(scaled)
    mu, cov = scores.mean(axis=0), np.cov(scores.T)
    n, k = scores.shape
    ucl = k * (n - 1) / (n - k) * f.ppf(1 - 0.05, k, n - k)
    return mu, cov, ucl, pca


def t_square(scaled, pca, mu, cov):
    scores = pca.transform(scaled)
    d = scores - mu
    metric = np.linalg.pinv(np.reshape(cov, (1, 1)) if np.ndim(cov) == 0 else cov)
    return pd.DataFrame({"tsquare": ((d @ metric) * d).sum(axis=1)}, index=scaled.index), scores


def health_index(t2, ucl):
    return pd.DataFrame({"Score": np.exp(np.log(0.9) * (t2["tsquare"] / ucl)) * 100}, index=t2.index)


def spe_ratio(features):
    scaled = StandardScaler().fit(features).transform(features)
    pca = PCA(n_components=0.9).fit(scaled)
    spe = ((scaled - pca.inverse_transform(pca.transform(scaled))) ** 2).sum(axis=1)
    residual = PCA().fit(scaled).explained_variance_[pca.n_components_:]
    theta1, theta2, theta3 = (np.sum(residual ** i) for i in (1, 2, 3))
    h0 = 1 - (2 * theta1 * theta3) / (3 * theta2 ** 2)
    z = norm.ppf(1 - 0.05)
    limit = theta1 * (z * np.sqrt(2 * theta2 * h0 ** 2) / theta1 + 1 + theta2 * h0 * (h0 - 1) / theta1 ** 2) ** (1 / h0)
    return np.sum(spe > limit) / len(spe)


def health_score(t_square, ucl):
    return max(np.exp(np.log(0.9) * (t_square / ucl)) * 100, 0.0)


# --- the pipelines --------------------------------------------------------------------


def training_model(df, algo_config, codebook=None):
    """The model dictionary of a configuration without codebook filtering."""
    df = prepared_rows(df)
    ts, _, low, feature, scale, model, deadline, extraction = [p.strip() for p in algo_config.split(",")]
    time_scale = {"0": "min", "1": "h"}[ts]
    df, (start_time, end_time) = indexed_by_time(df)
    df = df.loc[:, ~df.columns.str.contains("percentage", case=False, na=False)]
    df = df.loc[:, ~df.columns.str.contains("QC", case=False, na=False)]
    found = families(df.columns)
    if low == "1":
        screened = low_resolution(df)
        found = {family: [c for c in names if c not in screened] for family, names in found.items()}
    kept = {"1": ("time", "frequency", "fail_mode"), "2": ("time", "frequency"), "3": ("frequency",)}[feature]
    icn = SimpleNamespace(**{family: found[family] if family in kept else [] for family in KEYWORDS})
    df = features(df, icn, extraction, time_scale, TRAINING_WINDOWS, sec_count=1800)
    if scale == "1":
        scaler, scaled = StandardScaler(), df
    else:
        scaler = (StandardScaler if scale == "2" else MinMaxScaler)().fit(df)
        scaled = pd.DataFrame(scaler.transform(df), index=df.index, columns=df.columns)
    assert model == "1"
    mu, cov, ucl, pca = health_model(scaled)
    t2, _ = t_square(scaled, pca, mu, cov)
    anomalies = np.sum(t2["tsquare"].values > ucl) / len(t2)
    bias = spe_ratio(df)
    m, s = t2["tsquare"].mean(), t2["tsquare"].std()
    result = {"T2": t2, "HI_Score": health_index(t2, ucl), "mu": mu, "cov": cov, "ucl": ucl, "scaler": scaler,
              "pca": pca, "indicator_col_name": icn, "datetime_name": "_time"}
    if deadline == "1":
        result["rul_deadline_t_square"] = m + 12 * s
        result["rul_deadline"] = health_score(m + 12 * s, ucl)
    else:
        result["rul_deadline_t_square"], result["rul_deadline"] = np.inf, 0
        warning_line = health_score(m + 24 * s, ucl)
    robust = round(1 - max(anomalies, bias), 2)
    result.update({"time_scale": time_scale, "training_anomalies": anomalies, "model_bias": bias,
                   "training_model_robust_index": robust,
                   "training_model_robust_status": "verify" if robust >= 0.9 else "warning",
                   "algo_config": algo_config, "codebook_setup": codebook, "is_error": "False",
                   "error_code": "None" if len(scaled) >= 3 else "Data is not sufficient for modeling.",
                   "error_stage": "None", "error_message": "None",
                   "build_time": datetime.now().strftime(TIME_FORMAT), "start_time": start_time,
                   "end_time": end_time})
    if deadline == "2":
        result["rul_warning_line"] = warning_line
    return result


def contributions_leader(scaled, scores, pca, position):
    """The base name of the feature with the largest contribution to the dominant component."""
    shares = scores[position] ** 2 / pca.explained_variance_
    contribution = scaled.iloc[position] * pca.components_.T[:, np.argmax(shares)]
    table = pd.DataFrame({"Variable": scaled.columns, "Contribution": contribution,
                          "AbsContribution": np.abs(contribution)})
    name = table.sort_values(by="AbsContribution", ascending=False)["Variable"].iloc[0]
    for suffix in ("_max", "_mean", "_std"):
        if name.endswith(suffix):
            return name[:-len(suffix)]
    return name


def testing_model(df, dictionary):
    """The test result of rows long enough to score, without codebook filtering."""
    time_col = dictionary["datetime_name"]
    df = prepared_rows(df, time_col)
    ts, outliers, _, _, scale, _, _, extraction = [p.strip() for p in dictionary["algo_config"].split(",")]
    icn = dictionary["indicator_col_name"]
    wanted = list(dict.fromkeys([time_col] + list(icn.time) + list(icn.frequency) + list(icn.fail_mode)))
    df = df.loc[:, [c for c in wanted if c in df.columns]].copy()
    if outliers == "1":
        df = drop_by_minutes(df, time_col)
    df, _ = indexed_by_time(df, time_col)
    df = features(df, icn, "1" if extraction == "3" else extraction, dictionary["time_scale"], SCORING_WINDOWS)
    scaled = df if scale == "1" else pd.DataFrame(dictionary["scaler"].transform(df), index=df.index,
                                                  columns=df.columns)
    t2, scores = t_square(scaled, dictionary["pca"], dictionary["mu"], dictionary["cov"])
    if extraction in SCORING_WINDOWS:
        t2 = pd.DataFrame({"tsquare": [t2["tsquare"].mean()]}, index=t2.index[-1:])
    alarms = t2[t2["tsquare"] > dictionary["ucl"]]
    suspicious = None
    if len(alarms):
        suspicious = contributions_leader(scaled, scores, dictionary["pca"], t2.index.get_loc(alarms.index[0]))
    return {"T2": t2, "HI_Score": health_index(t2, dictionary["ucl"]), "rul_deadline": dictionary["rul_deadline"],
            "suspicious_variable": suspicious, "is_error": "False", "error_code": "None", "error_stage": "None",
            "error_message": "None"}

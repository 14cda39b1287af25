// The HI extension module: its globals, `__all__` and exported functions.
#include "core/blas_threads.hpp"
#include "core/function.hpp"
#include "core/module_frame.hpp"
#include "alarms.hpp"
#include "cleaning.hpp"
#include "codebook.hpp"
#include "compression.hpp"
#include "failure_modes.hpp"
#include "features.hpp"
#include "filters.hpp"
#include "health_model.hpp"
#include "naming.hpp"
#include "pipelines.hpp"

namespace algo::hi {
namespace {

constexpr FunctionDef kFunctions[] = {
    def<&rename_columns>("rename_columns", "(df: 'pd.DataFrame') -> 'pd.DataFrame'",
                         "Strip the labels of df in place; return a copy with raw export labels renamed to feature "
                         "names."),
    def<&feature_extraction>(
        "feature_extraction", "(df, indicator_col_name, time_scale)",
        "Per-bin maximum and mean of every indicator column and standard deviation of the time-domain columns; "
        "return (features, indicator_col_name)."),
    def<&safe_resample_max>("safe_resample_max", "(df, indicator_name, time_scale, chunk_size=50000)",
                            "Per-bin maxima of the named columns, resampled chunk by chunk."),
    def<&safe_resample_mean>("safe_resample_mean", "(df, indicator_name, time_scale, chunk_size=50000)",
                             "Per-bin means of the named columns, resampled chunk by chunk."),
    def<&feature_extraction_rolling>(
        "feature_extraction_rolling", "(df, indicator_col_name, window, step)",
        "Maximum, mean and standard deviation over windows of `window` rows every `step` rows; "
        "return (features, indicator_col_name)."),
    def<&standardize>("standardize", "(df)",
                      "Fit a StandardScaler on df; return (scaled frame, fitted scaler)."),
    def<&testing_scaler>("testing_scaler", "(df, scaler)",
                         "Scale df with an already fitted scaler; return the scaled frame."),
    def<&minmax_scale>("minmax_scale", "(df)", "Fit a MinMaxScaler on df; return (scaled frame, fitted scaler)."),
    def<&testing_minmax>("testing_minmax", "(df, scaler)",
                         "Scale df with an already fitted scaler; return the scaled frame."),
    def<&health_modeling>("health_modeling", "(df_scaled, alpha=0.05)",
                          "Fit the PCA health model; return (mu, cov, ucl, pca) with the Hotelling T\u00b2 limit."),
    def<&cal_T2>("cal_T2", "(df_scaled, pca, model_mu, model_cov, df_scaled_index)",
                 "Hotelling T\u00b2 of every row; return (frame with column 'tsquare', PCA scores)."),
    def<&Health_Index>("Health_Index", "(tsquare_df, ucl, score_tightness)",
                       "Health index 100 * score_tightness ** (T\u00b2 / ucl); return a frame with column 'Score'."),
    def<&T2_Anomaly_Rate>("T2_Anomaly_Rate", "(tsquare_values, ucl)",
                          "Share of T\u00b2 values strictly above ucl."),
    def<&SPE_residual>("SPE_residual", "(df, df_scaled_index, alpha)",
                       "Standardise df and fit the SPE model; return (residuals, SPE frame, SPE limit, SPE ratio)."),
    def<&find_T2_abnormal_times>("find_T2_abnormal_times", "(T2, ucl)",
                                 "Index of the rows whose T\u00b2 is strictly above ucl."),
    def<&find_SPE_abnormal_times>(
        "find_SPE_abnormal_times", "(spe_df, spe_ucl, residual_df, top_k=3)",
        "Times whose SPE is strictly above spe_ucl; return (alarm index, report of the top_k squared residuals)."),
    def<&SPE_residual_testing>(
        "SPE_residual_testing", "(df, df_scaled, df_scaled_index, alpha)",
        "Fit the SPE model on already scaled data; return (residuals, SPE frame, SPE limit, SPE ratio)."),
    def<&time_filter>("time_filter", "(df, datetime_name, sec_count)",
                      "Drop the rows of every clock hour that holds fewer than sec_count rows."),
    def<&drop_outliers_by_min>(
        "drop_outliers_by_min", "(df, time_col, exclude_cols=None, iqr_k=1.5)",
        "Drop the rows outside the IQR fences of their calendar minute, column by column; rows sorted by time."),
    def<&low_resolution>("low_resolution", "(df)", "Names of the columns whose 75th percentile shows no usable resolution."),
    def<&compress_by_second>(
        "compress_by_second",
        "(df: 'pd.DataFrame', time_col: 'str', on_conflict: 'str' = 'last', want_conflicts: 'bool' = True)",
        "Merge the rows of each second into one; return (frame, conflict report or None)."),
    def<&feature_threshold_mapping>("feature_threshold_mapping", "(config_data)",
                                    "Turn a back-end codebook configuration into a feature threshold map."),
    def<&codebook_df_filter>("codebook_df_filter", "(df, threshold_map, control, verbose=True)",
                             "Keep the rows inside the threshold map's limits; return (kept rows, removed rows)."),
    def<&training_model>("training_model", "(df, algo_config, codebook=None)",
                         "Train a health model of raw rows; return the model dictionary or its error form."),
    def<&testing_model>("testing_model", "(df, dictionary)",
                        "Score raw rows against a model dictionary; return T\u00b2, health index, deadline and "
                        "the variable behind the first alarm."),
    def<&analyze_T2_anomalies>(
        "analyze_T2_anomalies", "(df_scaled_test, df_pca_test, df_test, df_health_test, pca, ucl, top_k=3)",
        "Base name of the feature driving the first T\u00b2 alarm, or None without an alarm."),
    def<&detect_bad_HI_zone>("detect_bad_HI_zone",
                             "(df, threshold, envelope_window='1D', envelope_method='min', envelope_param=0.1, "
                             "density_window='10D', density_threshold=0.7)",
                             "(start, end) intervals where the health score's lower envelope stays below threshold."),
    def<&group_alert_times>("group_alert_times", "(alert_times, window)",
                            "Merge alert times into (start, end) intervals split at gaps longer than window."),
    def<&IQR_outlier_percent_clean>(
        "IQR_outlier_percent_clean", "(df, max_ratio, datetime_name, iqr_k=1.5)",
        "Drop rows outside any numeric column's IQR fences, cutting max_ratio of a column at most."),
    def<&outlier_clean>(
        "outlier_clean", "(df, dictionary, max_ratio_start=0.01, max_ratio_step=0.01, max_ratio_limit=0.5)",
        "Train on IQR-cleaned rows, allowing a growing outlier share until the model is robust; return the model "
        "dictionary with its 'respond' text, or its error form."),
    def<&chebyshev_ucl>("chebyshev_ucl", "(T2_values, alpha=0.05, one_sided=True)",
                        "Distribution-free T\u00b2 limit: mean + k * sample std (Cantelli or Chebyshev k)."),
    def<&purge_by_chebyshev>(
        "purge_by_chebyshev", "(df_scaled, alpha=0.05, max_iter=10, one_sided=True)",
        "Refit the health model and drop rows above the Chebyshev limit until it settles; "
        "return (frame, pca, mu, cov, ucl)."),
    def<&outlier_chebyshev_T2_purging>(
        "outlier_chebyshev_T2_purging", "(df, algo_config)",
        "Train on the rows left after iterative Chebyshev purging of T\u00b2 outliers; return the model "
        "dictionary."),
    def<&training_model_GB_compare>(
        "training_model_GB_compare", "(df_good, df_bad, time_scale)",
        "Train on a good period and place deadline and warning line by scoring a bad period."),
    def<&failure_deadline_learning>(
        "failure_deadline_learning", "(dfs, dictionary, info)",
        "Refine a model's deadline from failure recordings; return the updated model dictionary."),
    def<&pre_feature_training>("pre_feature_training", "(df)",
                               "Warning (3 sigma) and alert (6 sigma) limits per feature of healthy rows."),
    def<&pre_feature_light>("pre_feature_light", "(df, threshold)",
                            "Traffic light per feature: the feature mean against its limits."),
    def<&ISO20816_overall>("ISO20816_overall", "(power, foundation_type)",
                           "ISO 20816-3 warning (zone B/C) and alert (zone C/D) limits in mm/s."),
    def<&ISO20816_light>("ISO20816_light", "(df, warning, alert)",
                         "Traffic light per overall-level feature: its mean against the ISO limits."),
};

void populate(py::module_ m) {
    m.attr("os") = import_module("os");
    m.attr("np") = import_module("numpy");
    m.attr("pd") = import_module("pandas");
    m.attr("st") = import_module("scipy.stats");
    m.attr("datetime") = import_module("datetime");
    m.attr("glob") = import_from("glob", "glob");
    m.attr("plt") = import_module("matplotlib.pyplot");
    m.attr("StandardScaler") = import_from("sklearn.preprocessing", "StandardScaler");
    m.attr("PCA") = import_from("sklearn.decomposition", "PCA");
    m.attr("f") = import_from("scipy.stats", "f");
    m.attr("skew") = import_from("scipy.stats", "skew");
    m.attr("ticker") = import_module("matplotlib.ticker");
    m.attr("pickle") = import_module("pickle");
    m.attr("norm") = import_from("scipy.stats", "norm");
    m.attr("SimpleNamespace") = import_from("types", "SimpleNamespace");
    m.attr("Counter") = import_from("collections", "Counter");
    m.attr("ARIMA") = import_from("statsmodels.tsa.arima.model", "ARIMA");
    m.attr("datetime") = import_from("datetime", "datetime");
    m.attr("__all__") = py::list(py::make_tuple("feature_extraction", "health_modeling", "Health_Index", "cal_T2",
                                                 "training_model", "testing_model", "analyze_T2_anomalies",
                                                 "detect_bad_HI_zone"));
    add_functions(m, "algo/HI/HI.py", kFunctions);
    import_blas_rule();
}

ModuleFrame frame{"HI", "algo.HI.HI", "Machine-health model: preparation, PCA health model, pipelines.", &populate};

}  // namespace
}  // namespace algo::hi

PyMODINIT_FUNC PyInit_HI() { return PyModuleDef_Init(&algo::ModuleDefinition<algo::hi::frame>::definition); }

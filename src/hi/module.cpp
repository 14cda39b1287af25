// The HI extension module: its globals, `__all__` and exported functions.
#include "core/function.hpp"
#include "core/module_frame.hpp"
#include "features.hpp"
#include "filters.hpp"
#include "health_model.hpp"

namespace algo::hi {
namespace {

constexpr FunctionDef kFunctions[] = {
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
    def<&SPE_residual_testing>(
        "SPE_residual_testing", "(df, df_scaled, df_scaled_index, alpha)",
        "Fit the SPE model on already scaled data; return (residuals, SPE frame, SPE limit, SPE ratio)."),
    def<&time_filter>("time_filter", "(df, datetime_name, sec_count)",
                      "Drop the rows of every clock hour that holds fewer than sec_count rows."),
    def<&drop_outliers_by_min>(
        "drop_outliers_by_min", "(df, time_col, exclude_cols=None, iqr_k=1.5)",
        "Drop the rows outside the IQR fences of their calendar minute, column by column; rows sorted by time."),
    def<&low_resolution>("low_resolution", "(df)", "Names of the columns whose 75th percentile shows no usable resolution."),
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
}

ModuleFrame frame{"HI", "algo.HI.HI", &populate};

PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(frame, spec); }
int exec(PyObject* module) { return exec_module(frame, module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "HI", "Machine-health model: preparation, PCA health model, pipelines.", 0, nullptr,
    slots,                 nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace algo::hi

PyMODINIT_FUNC PyInit_HI() { return PyModuleDef_Init(&algo::hi::definition); }

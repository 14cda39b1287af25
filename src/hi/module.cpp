// The HI extension module: its globals, `__all__` and exported functions.
#include "codebook.hpp"
#include "compression.hpp"
#include "core/function.hpp"
#include "core/module_frame.hpp"
#include "health_model.hpp"
#include "naming.hpp"

namespace algo::hi {
namespace {

constexpr FunctionDef kFunctions[] = {
    def<&rename_columns>("rename_columns", "(df: 'pd.DataFrame') -> 'pd.DataFrame'",
                         "Strip the labels of df in place; return a copy with raw export labels renamed to feature "
                         "names."),
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
    def<&compress_by_second>(
        "compress_by_second",
        "(df: 'pd.DataFrame', time_col: 'str', on_conflict: 'str' = 'last', want_conflicts: 'bool' = True)",
        "Merge the rows of each second into one; return (frame, conflict report or None)."),
    def<&feature_threshold_mapping>("feature_threshold_mapping", "(config_data)",
                                    "Turn a back-end codebook configuration into a feature threshold map."),
    def<&codebook_df_filter>("codebook_df_filter", "(df, threshold_map, control, verbose=True)",
                             "Keep the rows inside the threshold map's limits; return (kept rows, removed rows)."),
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

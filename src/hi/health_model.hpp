// The PCA health model: scalers, PCA with Hotelling T², the health index and
// the SPE residual model.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object standardize(const Module& m, py::object df);
py::object testing_scaler(const Module& m, py::object df, py::object scaler);
py::object minmax_scale(const Module& m, py::object df);
py::object testing_minmax(const Module& m, py::object df, py::object scaler);

py::object health_modeling(const Module& m, py::object df_scaled, py::object alpha);
py::object cal_T2(const Module& m, py::object df_scaled, py::object pca, py::object model_mu, py::object model_cov,
                  py::object df_scaled_index);

py::object Health_Index(const Module& m, py::object tsquare_df, py::object ucl, py::object score_tightness);
py::object T2_Anomaly_Rate(const Module& m, py::object tsquare_values, py::object ucl);

py::object SPE_residual(const Module& m, py::object df, py::object df_scaled_index, py::object alpha);
py::object SPE_residual_testing(const Module& m, py::object df, py::object df_scaled, py::object df_scaled_index,
                                py::object alpha);

}  // namespace algo::hi

// Alarm reporting on the monitoring statistics: abnormal times of T² and SPE,
// the feature behind the first T² alarm, and periods of low health index.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object find_T2_abnormal_times(const Module& m, py::object T2, py::object ucl);
py::object find_SPE_abnormal_times(const Module& m, py::object spe_df, py::object spe_ucl, py::object residual_df,
                                   py::object top_k);

py::object analyze_T2_anomalies(const Module& m, py::object df_scaled_test, py::object df_pca_test, py::object df_test,
                                py::object df_health_test, py::object pca, py::object ucl, py::object top_k);

py::object detect_bad_HI_zone(const Module& m, py::object df, py::object threshold, py::object envelope_window,
                              py::object envelope_method, py::object envelope_param, py::object density_window,
                              py::object density_threshold);
py::object group_alert_times(const Module& m, py::object alert_times, py::object window);

}  // namespace algo::hi

// Outlier cleaning of training data: the per-column IQR filter with its
// percentile fallback, and the Chebyshev-limit purge of T² outliers.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object IQR_outlier_percent_clean(const Module& m, py::object df, py::object max_ratio, py::object datetime_name,
                                     py::object iqr_k);

py::object chebyshev_ucl(const Module& m, py::object T2_values, py::object alpha, py::object one_sided);
py::object purge_by_chebyshev(const Module& m, py::object df_scaled, py::object alpha, py::object max_iter,
                              py::object one_sided);

}  // namespace algo::hi

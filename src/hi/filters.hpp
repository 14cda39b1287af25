// Row and column filters of raw data: thin clock hours, per-minute outliers
// and low-resolution columns.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object time_filter(const Module& m, py::object df, py::object datetime_name, py::object sec_count);
py::object drop_outliers_by_min(const Module& m, py::object df, py::object time_col, py::object exclude_cols,
                                py::object iqr_k);
py::object low_resolution(const Module& m, py::object df);

}  // namespace algo::hi

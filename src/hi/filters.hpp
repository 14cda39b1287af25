// Row and column filters of raw data: thin clock hours, per-minute outliers
// and low-resolution columns.
#pragma once

#include "core/arrays.hpp"
#include "core/function.hpp"

#include <vector>

namespace algo::hi {

py::object time_filter(const Module& m, py::object df, py::object datetime_name, py::object sec_count);
py::object drop_outliers_by_min(const Module& m, py::object df, py::object time_col, py::object exclude_cols,
                                py::object iqr_k);
py::object low_resolution(const Module& m, py::object df);

namespace filters {

// low_resolution of the columns `labels` whose rounded Q3 are `q3` (None
// where a column cannot be read as numbers).
py::object low_resolution_by_q3(const Module& m, py::handle labels, py::list q3);

// The Q3 of float64 columns, rounded as low_resolution rounds pandas' Q3 of them.
py::list rounded_q3_of(const std::vector<DoubleArray>& columns);

}  // namespace filters

}  // namespace algo::hi

// Feature extraction: per-bin and per-window maxima, means and standard
// deviations of the indicator columns.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object feature_extraction(const Module& m, py::object df, py::object indicator_col_name, py::object time_scale);
py::object safe_resample_max(const Module& m, py::object df, py::object indicator_name, py::object time_scale,
                             py::object chunk_size);
py::object safe_resample_mean(const Module& m, py::object df, py::object indicator_name, py::object time_scale,
                              py::object chunk_size);
py::object feature_extraction_rolling(const Module& m, py::object df, py::object indicator_col_name,
                                      py::object window, py::object step);

}  // namespace algo::hi

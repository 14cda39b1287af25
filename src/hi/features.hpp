// Feature extraction: per-bin and per-window maxima, means and standard
// deviations of the indicator columns.
#pragma once

#include "core/arrays.hpp"
#include "core/function.hpp"

#include <cstdint>
#include <functional>
#include <optional>

namespace algo::hi {

py::object feature_extraction(const Module& m, py::object df, py::object indicator_col_name, py::object time_scale);
py::object safe_resample_max(const Module& m, py::object df, py::object indicator_name, py::object time_scale,
                             py::object chunk_size);
py::object safe_resample_mean(const Module& m, py::object df, py::object indicator_name, py::object time_scale,
                              py::object chunk_size);
py::object feature_extraction_rolling(const Module& m, py::object df, py::object indicator_col_name,
                                      py::object window, py::object step);

namespace features {

// The indicator columns of a family record and the names of their features.
struct Names {
    py::object time;       // time-domain columns, the only ones with a deviation
    py::object indicator;  // time + frequency + fail_mode
    py::list max, mean, std;

    static Names of(py::handle indicator_col_name);
};

// The names of a record whose families are plain lists naming each column
// once, the only records the native extractions take.
std::optional<Names> plain_names(py::handle indicator_col_name);

// Time-ordered rows as the native extractions read them.
struct SortedRows {
    Int64Array times;       // the index values, non-decreasing, no NaT
    py::object index_type;  // their numpy datetime64 dtype
    py::object index_name;
    std::size_t length() const { return static_cast<std::size_t>(times.size()); }
    // The j-th indicator column over the rows, float64.
    std::function<DoubleArray(std::size_t j)> column;
};

// The bin width of a time scale the native extraction takes ("min", "h"), in
// units of the index type.
std::optional<std::int64_t> bin_width(py::handle time_scale, py::handle index_type);

// feature_extraction of the rows: bins of `width`, every statistic of every
// indicator column, the bins with a missing statistic dropped. The frame
// comes out as pandas builds it, down to the frequency its index keeps.
py::object binned(const Module& m, const SortedRows& rows, const Names& names, std::int64_t width,
                  py::handle time_scale);

// feature_extraction_rolling of the rows (window and step as the function
// takes them); nothing when an argument is outside what the kernel takes.
std::optional<py::object> rolling(const Module& m, const SortedRows& rows, const Names& names, py::handle window,
                                  py::handle step);

}  // namespace features
}  // namespace algo::hi

// Per-second compression of raw rows.
#pragma once

#include "core/function.hpp"
#include "core/kernels/per_second.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace algo::hi {

py::object compress_by_second(const Module& m, py::object df, py::object time_col, py::object on_conflict,
                              py::object want_conflicts);

namespace compression {

using RowArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// numpy's NaT as int64: the second of a row whose time did not parse.
inline constexpr std::int64_t kNoSecond = INT64_MIN;

// Object columns, and the NaN-missing string dtype ("str") that holds text by
// default in newer pandas where older versions used object.
bool holds_text(py::handle pd, py::handle dtype);

// The kernel's view of a column of a plain numeric or boolean numpy dtype.
std::optional<kernels::ValueType> kernel_type(py::handle dtype);

// A raw frame's rows in the order in which pandas sorts its time column, cut
// into whole seconds: what compress_by_second groups by. Times are read
// natively from datetime columns and from text in one ISO layout, and parsed
// by pandas (errors coerced, blank text missing) otherwise.
class TimeOrder {
public:
    TimeOrder(const Module& m, py::handle time_column);
    TimeOrder(const TimeOrder&) = delete;
    TimeOrder& operator=(const TimeOrder&) = delete;

    const kernels::SecondGroups& groups() const { return *groups_; }
    std::size_t seconds() const { return groups_->size(); }
    // Rows without a time make one more output row.
    bool untimed() const { return groups_->timed_rows() < groups_->rows(); }
    std::size_t output_rows() const { return seconds() + (untimed() ? 1 : 0); }
    // Every row has a second of its own and the rows are in time order: the
    // compression changes nothing but the times.
    bool identity() const { return identity_; }

    // Row numbers in time order, rows without a time last.
    const RowArray& order() const { return order_; }
    // Each row's second, by row number (NaT for rows without a time).
    const RowArray& row_seconds() const { return seconds_; }
    // The output rows' seconds, NaT for the row of the rows without a time.
    RowArray output_seconds() const;
    // Positions in time order, and row numbers, of the first or last row of
    // each output row.
    RowArray end_positions(kernels::End end) const;
    RowArray end_rows(kernels::End end) const;
    // Per output row, the row holding a column's first or last value of its
    // second; -1 (or a row holding a missing value) where there is none, -1
    // for the row without a time. Marks the seconds with several distinct
    // values in `conflicting` (one entry per second) when given.
    RowArray picked_rows(const kernels::TypedColumn& column, kernels::End end,
                         std::vector<std::uint8_t>* conflicting = nullptr) const;

    // The values picked_rows picks from a float64 or float32 column, gathered
    // as they are picked: an array of the column's dtype, NaN where no row is
    // picked.
    py::array picked_values(const kernels::TypedColumn& column, kernels::End end) const;

private:
    RowArray order_, seconds_;
    bool identity_ = false;
    std::optional<kernels::SecondGroups> groups_;
};

}  // namespace compression
}  // namespace algo::hi

// Typed access to numpy buffers for the native kernels.
#pragma once

#include "kernels/column.hpp"
#include "python.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace algo {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// `values` as the numpy array type `Array`, converting (copying) only when it
// is not one already. A failed conversion raises numpy's own error, which
// `Array::ensure` would clear, leaving nothing to report.
template <class Array>
Array to_array(py::handle values) {
    return Array(py::reinterpret_borrow<py::object>(values));
}

// A C-contiguous float64 view of `values`, converting (copying) only when the
// buffer is not already one.
inline DoubleArray as_doubles(py::handle values) { return to_array<DoubleArray>(values); }

inline std::span<const double> span_of(const DoubleArray& array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
}

inline std::span<double> mutable_span_of(DoubleArray& array) {
    return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

inline Int64Array as_int64s(py::handle values) { return to_array<Int64Array>(values); }

inline std::span<const std::int64_t> span_of(const Int64Array& array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
}

// A pandas column widened to float64 for a kernel; `values` is the column's
// own buffer when it already is float64.
struct NumericColumn {
    DoubleArray values;
    bool single;  // a float32 column
    kernels::Column view() const { return {span_of(values), single}; }
};

// Integers that float64 holds exactly and whose differences do not overflow
// a signed type of `signed_bytes` bytes (0 for unsigned types), since numpy
// subtracts integers in their own type.
inline bool exact_integers(std::span<const double> values, std::size_t signed_bytes) {
    constexpr double kExact = 9007199254740992.0;  // 2**53
    double lo = 0, hi = 0;
    for (double v : values) {
        if (!(std::fabs(v) < kExact)) return false;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (values.empty() || signed_bytes == 0 || signed_bytes >= 8) return true;
    return hi - lo <= std::ldexp(1.0, 8 * static_cast<int>(signed_bytes) - 1) - 1;
}

// The values of a pandas Series of numpy float64 (native byte order), without
// a copy when its buffer is contiguous; nothing for any other dtype.
inline std::optional<DoubleArray> float64_values(py::handle series) {
    py::object dtype = series.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype)) return std::nullopt;
    const auto type = py::reinterpret_borrow<py::dtype>(dtype);
    if (type.kind() != 'f' || type.itemsize() != 8 || !truthy(type.attr("isnative"))) return std::nullopt;
    return as_doubles(series.attr("to_numpy")());
}

// The values of the pandas Series `series` for a kernel that reproduces
// numpy's arithmetic on them: float64 and float32 columns, and integer
// columns per `exact_integers`. Nothing for any other column (bool, datetime,
// object, text, categorical, nullable extension types...), which the caller
// leaves to pandas.
inline std::optional<NumericColumn> numeric_column(py::handle series) {
    py::object dtype = series.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype)) return std::nullopt;
    const auto type = py::reinterpret_borrow<py::dtype>(dtype);
    const char kind = type.kind();
    const auto bytes = static_cast<std::size_t>(type.itemsize());
    const bool floating = kind == 'f' && (bytes == 4 || bytes == 8);
    if (!floating && kind != 'i' && kind != 'u') return std::nullopt;
    NumericColumn column{as_doubles(series.attr("to_numpy")()), floating && bytes == 4};
    if (!floating && !exact_integers(span_of(column.values), kind == 'i' ? bytes : 0)) return std::nullopt;
    return column;
}

}  // namespace algo

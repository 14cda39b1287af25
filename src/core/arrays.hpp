// Typed access to numpy buffers for the native kernels.
#pragma once

#include "python.hpp"

#include <pybind11/numpy.h>

#include <cstddef>
#include <span>

namespace algo {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A C-contiguous float64 view of `values`, converting (copying) only when the
// buffer is not already one.
inline DoubleArray as_doubles(py::handle values) {
    DoubleArray array = DoubleArray::ensure(values);
    if (!array) throw py::error_already_set();
    return array;
}

inline std::span<const double> span_of(const DoubleArray& array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
}

inline std::span<double> mutable_span_of(DoubleArray& array) {
    return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

}  // namespace algo

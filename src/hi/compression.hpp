// Per-second compression of raw rows.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object compress_by_second(const Module& m, py::object df, py::object time_col, py::object on_conflict,
                              py::object want_conflicts);

}  // namespace algo::hi

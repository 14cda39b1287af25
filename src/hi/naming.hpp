// Raw export labels to the feature names the rest of the module works with.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object rename_columns(const Module& m, py::object df);

}  // namespace algo::hi

// The training and testing pipelines.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object training_model(const Module& m, py::object df, py::object algo_config, py::object codebook);
py::object testing_model(const Module& m, py::object df, py::object dictionary);

}  // namespace algo::hi

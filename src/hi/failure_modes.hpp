// Failure deadline learning, failure-mode thresholds and their lights, and the
// ISO 20816-3 severity zones.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object failure_deadline_learning(const Module& m, py::object dfs, py::object dictionary, py::object info);
py::object pre_feature_training(const Module& m, py::object df);
py::object pre_feature_light(const Module& m, py::object df, py::object threshold);
py::object ISO20816_overall(const Module& m, py::object power, py::object foundation_type);
py::object ISO20816_light(const Module& m, py::object df, py::object warning, py::object alert);

}  // namespace algo::hi

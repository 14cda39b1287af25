// The configuration string of a health model, parsed once into the choices
// its eight fields make.
#pragma once

#include "core/python.hpp"

namespace algo::hi::config {

// Each field's values by their digit in the string. `other` stands for any
// other text, which the pipelines take as the string's own reading does: the
// step whose choice it is leaves its result unset, and a later step fails on
// it.
enum class TimeScale { minute /* 0 */, hour /* 1 */, other };
enum class Switch { off, on /* 1; anything else is off */ };
enum class Families { all /* 1 */, without_failure_modes /* 2 */, frequency_bands /* 3 */, other };
enum class Scaling { none /* 1 */, standard /* 2 */, min_max /* 3 */, other };
enum class Model { pca /* 1 */, other };
enum class Deadline { mean_12_sd /* 1 */, warning_line /* 2 */, other };
enum class Features { time_bins /* 1 */, rolling_120 /* 2 */, rolling_3600 /* 3 */, rolling_60 /* 4 */, other };

struct Settings {
    TimeScale time_scale;
    Switch testing_outlier_removal;
    Switch low_resolution_screening;
    Families families;
    Scaling scaling;
    Model model;
    Deadline deadline;
    Features features;

    // Splits at every "," and strips each piece; exactly eight fields, or the
    // host's unpacking error.
    static Settings parse(py::handle algo_config);
};

}  // namespace algo::hi::config

// The training pipelines (plain, outlier-cleaning, Chebyshev-purging and
// good/bad comparison) and the testing pipeline.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object training_model(const Module& m, py::object df, py::object algo_config, py::object codebook);
py::object testing_model(const Module& m, py::object df, py::object dictionary);
py::object outlier_clean(const Module& m, py::object df, py::object dictionary, py::object max_ratio_start,
                         py::object max_ratio_step, py::object max_ratio_limit);
py::object outlier_chebyshev_T2_purging(const Module& m, py::object df, py::object algo_config);
py::object training_model_GB_compare(const Module& m, py::object df_good, py::object df_bad, py::object time_scale);

}  // namespace algo::hi

// Codebook ranges: the back end's valid operating range of each feature, as a
// threshold map, and the row filter that applies it.
#pragma once

#include "core/function.hpp"

namespace algo::hi {

py::object feature_threshold_mapping(const Module& m, py::object config_data);
py::object codebook_df_filter(const Module& m, py::object df, py::object threshold_map, py::object control,
                              py::object verbose);

}  // namespace algo::hi

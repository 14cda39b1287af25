// Remaining useful life: the ARIMA forecast of the health index, the death
// probability at the end of the horizon, and the guarded RUL calculation.
#pragma once

#include "core/function.hpp"

namespace algo::rul {

py::object rul_model(const Module& m, py::object train, py::object max_RUL, py::object deadline);
py::object death_probability(const Module& m, py::object predict, py::object UCL, py::object LCL,
                             py::object deadline);
py::object rul_calculation(const Module& m, py::object tsquare_df, py::object dictionary,
                           py::object score_tightness);

}  // namespace algo::rul

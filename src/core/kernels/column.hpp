// A numeric column as the kernels see it.
#pragma once

#include <span>

namespace algo::kernels {

// The values of one column widened to float64 (exactly). `single` marks a
// float32 column: pandas forms some of its statistics in float32, and the
// kernels round those the same way.
struct Column {
    std::span<const double> values;
    bool single = false;
};

}  // namespace algo::kernels

// Maximum, mean and sample standard deviation of fixed-length row windows.
#pragma once

#include "column.hpp"

#include <cstddef>
#include <span>

namespace algo::kernels {

// `count` windows of `length` rows; window w covers rows
// [w * step, w * step + length).
struct WindowGrid {
    std::size_t count;
    std::size_t length;
    std::size_t step;
};

// Statistics of every window of every column, stored at [j * grid.count + w]
// for column j and window w: `max` and `mean` of the window's non-NaN values,
// and, for the first std.size() / grid.count columns only, their sample
// standard deviation (ddof 1) in `std`. A statistic without enough values
// (none; fewer than two for the deviation) is NaN. Sums are formed in numpy's
// order and precision, so the values are those pandas gives for the window.
void window_moments(std::span<const Column> columns, WindowGrid grid, std::span<double> max, std::span<double> mean,
                    std::span<double> std);

}  // namespace algo::kernels

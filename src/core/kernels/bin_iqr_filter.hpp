// Interquartile-range outlier filter within time bins.
#pragma once

#include "column.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace algo::kernels {

// Integer timestamps cut into bins of `width` units counted from `origin`:
// bin b holds the times [origin + b * width, origin + (b + 1) * width). Rows
// whose time is `missing` belong to no bin; no other time lies before `origin`.
struct TimeBins {
    std::span<const std::int64_t> times;
    std::int64_t origin;
    std::int64_t width;
    std::int64_t missing;
};

// The rows that survive the IQR rule within their bin, as row positions in
// time order (stable for equal times); rows without a bin are dropped.
// Within a bin, each column in turn gives the quartiles Q1 and Q3 of the bin's
// non-NaN values, interpolated linearly in numpy's order and precision, and
// the inclusive fences Q1 - k * IQR and Q3 + k * IQR; a row survives when each
// column's value lies within that column's fences (a NaN never does). The
// fences come from all rows of the bin while the filter accumulates from one
// column to the next.
std::vector<std::size_t> bin_iqr_filter(const TimeBins& bins, std::span<const Column> columns, double k);

}  // namespace algo::kernels

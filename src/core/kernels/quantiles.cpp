#include "quantiles.hpp"

#include <algorithm>
#include <cmath>

namespace algo::kernels {

OrderStatistics::OrderStatistics(std::span<const double> values) {
    values_.reserve(values.size());
    for (const double v : values) {
        if (!std::isnan(v)) values_.push_back(v);
    }
}

double OrderStatistics::at(std::size_t rank) {
    auto above = std::lower_bound(placed_.begin(), placed_.end(), rank);
    if (above != placed_.end() && *above == rank) return values_[rank];
    // Values between two placed ranks are exactly those of the ranks between them.
    const std::size_t first = above == placed_.begin() ? 0 : *std::prev(above) + 1;
    const std::size_t last = above == placed_.end() ? values_.size() : *above;
    std::nth_element(values_.begin() + first, values_.begin() + rank, values_.begin() + last);
    placed_.insert(above, rank);
    return values_[rank];
}

// This file is built without floating-point contraction: a fused multiply-add
// would round differently from numpy's separate multiply and add.
double OrderStatistics::quantile(double q) {
    const std::size_t n = values_.size();
    const double virtual_index = static_cast<double>(n - 1) * q;
    std::size_t previous, next;
    double gamma;
    if (virtual_index >= static_cast<double>(n - 1)) {
        // numpy takes the last value and measures gamma from index -1.
        previous = next = n - 1;
        gamma = virtual_index - (-1.0);
    } else {
        const double below = std::floor(virtual_index);
        previous = static_cast<std::size_t>(below);
        next = previous + 1;
        gamma = virtual_index - below;
    }
    const double a = at(previous);
    const double b = at(next);
    const double difference = b - a;
    return gamma >= 0.5 ? b - difference * (1 - gamma) : a + difference * gamma;
}

}  // namespace algo::kernels

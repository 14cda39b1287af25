// Quantiles of a sample, as numpy computes them by default.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace algo::kernels {

// The non-NaN values of a sample, ready for quantile queries. Each query
// partially sorts only the stretch between order statistics already placed,
// so a few queries cost little more than one.
class OrderStatistics {
public:
    explicit OrderStatistics(std::span<const double> values);

    std::size_t size() const { return values_.size(); }

    // The q-quantile (0 <= q <= 1) of a non-empty sample by numpy's default
    // "linear" method, with numpy's own index and interpolation arithmetic so
    // that the result is the same double.
    double quantile(double q);

private:
    double at(std::size_t rank);
    friend double quantile(std::span<const double> values, double q);

    std::vector<double> values_;
    std::vector<std::size_t> placed_;  // ranks whose value is in place, ascending
};

// OrderStatistics(values).quantile(q), NaN when every value is NaN, in a
// few linear passes: only the values in the stretch of the value range that
// holds the two order statistics are partially sorted.
double quantile(std::span<const double> values, double q);

}  // namespace algo::kernels

#include "quantiles.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>

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

namespace {

// The ranks numpy's "linear" method interpolates between for the q-quantile
// of n values, and its weight of the upper one.
struct Neighbours {
    std::size_t previous, next;
    double gamma;
};

Neighbours neighbours(std::size_t n, double q) {
    const double virtual_index = static_cast<double>(n - 1) * q;
    if (virtual_index >= static_cast<double>(n - 1)) {
        // numpy takes the last value and measures gamma from index -1.
        return {n - 1, n - 1, virtual_index - (-1.0)};
    }
    const double below = std::floor(virtual_index);
    const auto previous = static_cast<std::size_t>(below);
    return {previous, previous + 1, virtual_index - below};
}

// This file is built without floating-point contraction: a fused multiply-add
// would round differently from numpy's separate multiply and add.
double interpolated(double a, double b, double gamma) {
    const double difference = b - a;
    return gamma >= 0.5 ? b - difference * (1 - gamma) : a + difference * gamma;
}

// Below this many values one partial sort costs less than the passes over them.
constexpr std::size_t kFewValues = 4096;
// A pass over many values asks for the cache line kPrefetchAhead values on
// once per line (kPrefetchStride values); a hint, which never faults.
constexpr std::size_t kPrefetchStride = 8, kPrefetchAhead = 256;
// Every kSampleStep-th value is sampled to bracket an order statistic.
constexpr std::size_t kSampleStep = 32;

// Values bracketing the order statistics of a q-quantile: a sample's values
// some 3.5 standard errors of its rank either side of its own q-quantile.
struct Bracket {
    double lo, hi;
};

std::optional<Bracket> sampled_bracket(std::span<const double> values, double q) {
    std::vector<double> sample;
    sample.reserve(values.size() / kSampleStep + 1);
    for (std::size_t i = 0; i < values.size(); i += kSampleStep) {
        if (!std::isnan(values[i])) sample.push_back(values[i]);
    }
    const std::size_t m = sample.size();
    if (m < 64) return std::nullopt;
    const auto margin = static_cast<std::size_t>(1.5 * std::sqrt(static_cast<double>(m))) + 2;
    const auto rank = static_cast<std::size_t>(q * static_cast<double>(m - 1));
    const std::size_t low = rank > margin ? rank - margin : 0, high = std::min(m - 1, rank + margin);
    std::nth_element(sample.begin(), sample.begin() + low, sample.end());
    const double lo = sample[low];
    std::nth_element(sample.begin() + low, sample.begin() + high, sample.end());
    return Bracket{lo, sample[high]};
}

}  // namespace

double OrderStatistics::quantile(double q) {
    const Neighbours at_q = neighbours(values_.size(), q);
    const double a = at(at_q.previous);
    return interpolated(a, at(at_q.next), at_q.gamma);
}

double quantile(std::span<const double> values, double q) {
    const auto bracket = values.size() < kFewValues ? std::nullopt : sampled_bracket(values, q);
    if (!bracket) {
        OrderStatistics order(values);
        return order.size() == 0 ? std::numeric_limits<double>::quiet_NaN() : order.quantile(q);
    }
    // One pass counts the values below and above the bracket and keeps those
    // inside it (NaN is neither); without branches, since which of the three
    // a value falls in is as good as random. The values are fetched well
    // ahead: the pass is bound by reading them from memory.
    std::unique_ptr<double[]> inside(new double[values.size()]);  // left uninitialised: written before read
    std::size_t below = 0, above = 0, kept = 0;
    const std::size_t last = values.size() - 1;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i % kPrefetchStride == 0) __builtin_prefetch(values.data() + std::min(i + kPrefetchAhead, last));
        const double v = values[i];
        below += v < bracket->lo;
        above += v > bracket->hi;
        inside[kept] = v;
        kept += static_cast<std::size_t>((v >= bracket->lo) & (v <= bracket->hi));
    }
    const std::size_t n = below + kept + above;
    const Neighbours at_q = neighbours(n, q);
    // A sample that missed the order statistics leaves them to one partial sort.
    if (at_q.previous < below || at_q.next >= below + kept) return OrderStatistics(values).quantile(q);
    OrderStatistics order(std::span<const double>(inside.get(), kept));
    const double a = order.at(at_q.previous - below);
    return interpolated(a, order.at(at_q.next - below), at_q.gamma);
}

}  // namespace algo::kernels

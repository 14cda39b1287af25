#include "bin_iqr_filter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace algo::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Fences {
    double lower, upper;
};

// Positions of the rows with a time, stably sorted by time.
std::vector<std::size_t> time_order(const TimeBins& bins) {
    std::vector<std::size_t> order;
    order.reserve(bins.times.size());
    for (std::size_t i = 0; i < bins.times.size(); ++i) {
        if (bins.times[i] != bins.missing) order.push_back(i);
    }
    auto earlier = [&](std::size_t a, std::size_t b) { return bins.times[a] < bins.times[b]; };
    if (!std::is_sorted(order.begin(), order.end(), earlier)) std::stable_sort(order.begin(), order.end(), earlier);
    return order;
}

// Unsigned, because a span of valid times can exceed the signed range.
std::uint64_t bin_of(const TimeBins& bins, std::size_t row) {
    const auto elapsed = static_cast<std::uint64_t>(bins.times[row]) - static_cast<std::uint64_t>(bins.origin);
    return elapsed / static_cast<std::uint64_t>(bins.width);
}

// numpy's linear quantile `q` of `values` (not empty, no NaN; reordered).
double linear_quantile(std::vector<double>& values, double q, bool single) {
    const std::size_t last = values.size() - 1;
    const double virtual_index = static_cast<double>(last) * q;
    // At the last index numpy takes the last value for both neighbours and
    // measures the weight from index -1.
    const bool clipped = virtual_index >= static_cast<double>(last);
    const double below_index = clipped ? -1.0 : std::floor(virtual_index);
    const double gamma = virtual_index - below_index;
    const std::size_t below = clipped ? last : static_cast<std::size_t>(below_index);

    std::nth_element(values.begin(), values.begin() + below, values.end());
    const double a = values[below];
    const double b = clipped ? a : *std::min_element(values.begin() + below + 1, values.end());
    // The difference is taken in the column's own type, float32 for float32.
    const double diff = single ? static_cast<double>(static_cast<float>(b) - static_cast<float>(a)) : b - a;
    return gamma >= 0.5 ? b - diff * (1 - gamma) : a + diff * gamma;
}

// pandas hands back a float32 column's quartiles as float32 when the column
// has a missing value in the bin (float64 otherwise); the fence arithmetic
// then runs in float32, with the factor converted to float32.
Fences fences(double q1, double q3, double k, bool float32_quartiles) {
    if (float32_quartiles) {
        const float f1 = static_cast<float>(q1), f3 = static_cast<float>(q3), fk = static_cast<float>(k);
        const float iqr = f3 - f1;
        return {f1 - fk * iqr, f3 + fk * iqr};
    }
    const double iqr = q3 - q1;
    return {q1 - k * iqr, q3 + k * iqr};
}

Fences bin_fences(const Column& column, std::span<const std::size_t> rows, double k, std::vector<double>& buffer) {
    buffer.clear();
    for (std::size_t row : rows) {
        if (!std::isnan(column.values[row])) buffer.push_back(column.values[row]);
    }
    if (buffer.empty()) return {kNaN, kNaN};
    const bool has_nan = buffer.size() < rows.size();
    const double q1 = linear_quantile(buffer, 0.25, column.single);
    const double q3 = linear_quantile(buffer, 0.75, column.single);
    return fences(q1, q3, k, column.single && has_nan);
}

}  // namespace

std::vector<std::size_t> bin_iqr_filter(const TimeBins& bins, std::span<const Column> columns, double k) {
    const std::vector<std::size_t> order = time_order(bins);
    std::vector<std::size_t> kept;
    kept.reserve(order.size());
    std::vector<char> alive;
    std::vector<double> buffer;
    for (std::size_t first = 0; first < order.size();) {
        const std::uint64_t bin = bin_of(bins, order[first]);
        std::size_t end = first + 1;
        while (end < order.size() && bin_of(bins, order[end]) == bin) ++end;
        const std::span<const std::size_t> rows(order.data() + first, end - first);

        alive.assign(rows.size(), 1);
        for (const Column& column : columns) {
            const Fences f = bin_fences(column, rows, k, buffer);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const double v = column.values[rows[i]];
                alive[i] &= v >= f.lower && v <= f.upper;
            }
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (alive[i]) kept.push_back(rows[i]);
        }
        first = end;
    }
    return kept;
}

}  // namespace algo::kernels

#include "window_moments.hpp"

#include <cmath>
#include <limits>

namespace algo::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// numpy's pairwise summation (eight interleaved partial sums in blocks of up
// to 128 terms, halves above that), in the accumulator type `Acc`. pandas sums
// a window through numpy with missing values replaced by 0, so summing the same
// terms in the same order gives its sums bit for bit.
template <class Acc, class Term>
Acc pairwise_sum(const double* x, std::size_t n, const Term& term) {
    constexpr std::size_t kLanes = 8, kBlock = 128;
    if (n < kLanes) {
        Acc sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += term(x[i]);
        return sum;
    }
    if (n <= kBlock) {
        Acc r[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) r[l] = term(x[l]);
        std::size_t i = kLanes;
        for (; i < n - n % kLanes; i += kLanes) {
            for (std::size_t l = 0; l < kLanes; ++l) r[l] += term(x[i + l]);
        }
        Acc sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += term(x[i]);
        return sum;
    }
    std::size_t half = n / 2;
    half -= half % kLanes;
    return pairwise_sum<Acc>(x, half, term) + pairwise_sum<Acc>(x + half, n - half, term);
}

// The largest non-NaN value of a window (NaN without one) and their count.
// Four running maxima keep the comparisons from waiting on each other; of
// equal values any may win, which only matters for the sign of a zero.
struct Extent {
    double max;
    std::size_t count;
};

Extent extent(const double* x, std::size_t n) {
    constexpr std::size_t kLanes = 4;
    double max[kLanes];
    std::size_t count[kLanes] = {};
    for (std::size_t l = 0; l < kLanes; ++l) max[l] = -std::numeric_limits<double>::infinity();
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            const double v = x[i + l];
            count[l] += v == v;
            max[l] = v > max[l] ? v : max[l];
        }
    }
    for (; i < n; ++i) {
        count[0] += x[i] == x[i];
        max[0] = x[i] > max[0] ? x[i] : max[0];
    }
    double best = max[0];
    std::size_t total = count[0];
    for (std::size_t l = 1; l < kLanes; ++l) {
        best = max[l] > best ? max[l] : best;
        total += count[l];
    }
    return {total > 0 ? best : kNaN, total};
}

template <class Acc>
Acc window_sum(const double* x, std::size_t n) {
    return pairwise_sum<Acc>(x, n, [](double v) { return v == v ? Acc(v) : Acc(0); });
}

// pandas' variance takes two passes over the window: the mean first, then the
// squared deviations from it, so no cancellation can occur. A float32
// column's variance is rounded to float32 before its square root.
double window_std(const double* x, std::size_t n, double sum, std::size_t count, bool single) {
    if (count < 2) return kNaN;
    const double avg = sum / static_cast<double>(count);
    const double squares = pairwise_sum<double>(x, n, [avg](double v) {
        const double d = avg - v;
        return std::isnan(v) ? 0.0 : d * d;
    });
    const double variance = squares / static_cast<double>(count - 1);
    if (single) return std::sqrt(static_cast<float>(variance));
    return std::sqrt(variance);
}

}  // namespace

void window_moments(std::span<const Column> columns, WindowGrid grid, std::span<double> max, std::span<double> mean,
                    std::span<double> std) {
    const std::size_t std_columns = grid.count == 0 ? 0 : std.size() / grid.count;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const Column& column = columns[j];
        for (std::size_t w = 0; w < grid.count; ++w) {
            const double* x = column.values.data() + w * grid.step;
            const std::size_t at = j * grid.count + w;
            const Extent e = extent(x, grid.length);
            // The float64 sum serves a float64 column's mean and every deviation.
            const bool summed = !column.single || j < std_columns;
            const double sum = summed ? window_sum<double>(x, grid.length) : 0.0;
            max[at] = e.max;
            // A float32 column's mean is its float32 sum over a float32 count.
            if (e.count == 0) {
                mean[at] = kNaN;
            } else if (column.single) {
                mean[at] = window_sum<float>(x, grid.length) / static_cast<float>(e.count);
            } else {
                mean[at] = sum / static_cast<double>(e.count);
            }
            if (j < std_columns) std[at] = window_std(x, grid.length, sum, e.count, column.single);
        }
    }
}

}  // namespace algo::kernels

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

// One window's sum of its non-NaN values, in the accumulator type `Acc` and
// numpy's order, with the largest of them and their count found on the way.
template <class Acc>
struct Reading {
    Acc sum;
    double max;  // NaN without values
    std::size_t count;
};

template <class Acc>
Reading<Acc> read_window(const double* x, std::size_t n) {
    double max = -std::numeric_limits<double>::infinity();
    std::size_t count = 0;
    const Acc sum = pairwise_sum<Acc>(x, n, [&](double v) {
        const bool present = v == v;
        count += present;
        max = v > max ? v : max;
        return present ? Acc(v) : Acc(0);
    });
    return {sum, count > 0 ? max : kNaN, count};
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
            const Reading<double> r = read_window<double>(x, grid.length);
            max[at] = r.max;
            // A float32 column's mean is its float32 sum over a float32 count.
            if (r.count == 0) {
                mean[at] = kNaN;
            } else if (column.single) {
                mean[at] = read_window<float>(x, grid.length).sum / static_cast<float>(r.count);
            } else {
                mean[at] = r.sum / static_cast<double>(r.count);
            }
            if (j < std_columns) std[at] = window_std(x, grid.length, r.sum, r.count, column.single);
        }
    }
}

}  // namespace algo::kernels

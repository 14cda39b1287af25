#include "bin_moments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace algo::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Floor division, also for times before the epoch.
std::int64_t floor_to(std::int64_t t, std::int64_t width) {
    const std::int64_t rest = t % width;
    return rest < 0 ? t - rest - width : t - rest;
}

// pandas' grouped mean: compensated summation whose compensation restarts when
// an infinity makes it NaN.
struct KahanMean {
    double sum = 0, compensation = 0;
    std::size_t count = 0;

    void add(double v) {
        if (std::isnan(v)) return;
        ++count;
        const double y = v - compensation;
        const double t = sum + y;
        compensation = t - sum - y;
        if (std::isnan(compensation)) compensation = 0;
        sum = t;
    }
    double mean() const { return count == 0 ? kNaN : sum / static_cast<double>(count); }
};

// pandas' grouped variance: Welford's updates.
struct Welford {
    double mean = 0, squares = 0;
    std::size_t count = 0;

    void add(double v) {
        if (std::isnan(v)) return;
        ++count;
        const double old = mean;
        mean += (v - old) / static_cast<double>(count);
        squares += (v - mean) * (v - old);
    }
    double std() const { return count < 2 ? kNaN : std::sqrt(squares / static_cast<double>(count - 1)); }
};

double max_of(const double* x, std::size_t n) {
    double max = -std::numeric_limits<double>::infinity();
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(x[i])) continue;
        any = true;
        if (x[i] > max) max = x[i];
    }
    return any ? max : kNaN;
}

// The means of a bin's parts in successive chunks, recombined through
// count-weighted sums: a part without values adds nothing (pandas fills it
// with 0 where another part has a value).
double chunked_mean(const double* x, std::size_t begin, std::size_t end, std::size_t chunk_rows) {
    double weighted = kNaN;
    std::size_t count = 0;
    for (std::size_t part = begin; part < end;) {
        const std::size_t part_end = std::min(end, (part / chunk_rows + 1) * chunk_rows);
        KahanMean m;
        for (std::size_t i = part; i < part_end; ++i) m.add(x[i]);
        if (m.count > 0) {
            const double contribution = m.mean() * static_cast<double>(m.count);
            weighted = count == 0 ? contribution : weighted + contribution;
            count += m.count;
        }
        part = part_end;
    }
    return count == 0 ? kNaN : weighted / static_cast<double>(count);
}

}  // namespace

Bins cut_sorted_times(std::span<const std::int64_t> times, std::int64_t width) {
    if (width <= 0) throw std::invalid_argument("bin width must be positive");
    Bins bins;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const std::int64_t label = floor_to(times[i], width);
        if (bins.labels.empty() || label != bins.labels.back()) {
            if (!bins.labels.empty() && label < bins.labels.back()) {
                throw std::invalid_argument("times must be in non-decreasing order");
            }
            bins.labels.push_back(label);
            bins.starts.push_back(i);
        }
    }
    bins.starts.push_back(times.size());
    return bins;
}

std::vector<std::size_t> rows_of_full_bins(const Bins& bins, std::size_t min_rows) {
    std::vector<std::size_t> rows;
    for (std::size_t b = 0; b < bins.size(); ++b) {
        if (bins.rows(b) < min_rows) continue;
        for (std::size_t i = bins.starts[b]; i < bins.starts[b + 1]; ++i) rows.push_back(i);
    }
    return rows;
}

void bin_moments(std::span<const double> values, const Bins& bins, std::size_t chunk_rows, std::span<double> max,
                 std::span<double> mean, std::span<double> std) {
    const std::size_t n = bins.size();
    if (chunk_rows == 0) throw std::invalid_argument("chunks must hold rows");
    if (bins.starts.back() != values.size()) throw std::invalid_argument("bins do not cover the column");
    if (max.size() != n || mean.size() != n || (!std.empty() && std.size() != n)) {
        throw std::invalid_argument("outputs must hold one value per bin");
    }
    const double* x = values.data();
    for (std::size_t b = 0; b < n; ++b) {
        const std::size_t begin = bins.starts[b], end = bins.starts[b + 1];
        max[b] = max_of(x + begin, end - begin);
        mean[b] = chunked_mean(x, begin, end, chunk_rows);
        if (!std.empty()) {
            Welford w;
            for (std::size_t i = begin; i < end; ++i) w.add(x[i]);
            std[b] = w.std();
        }
    }
}

}  // namespace algo::kernels

#include "bin_moments.hpp"

#include "time_units.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace algo::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// pandas' grouped mean: compensated summation whose compensation restarts when
// an infinity makes it NaN. Missing values leave the state as it is; the
// updates are written as selections so that the lanes below run without
// branches.
struct KahanMean {
    double sum = 0, compensation = 0;
    std::size_t count = 0;

    void add(double v) {
        const bool present = v == v;
        const double y = v - compensation;
        const double t = sum + y;
        double c = t - sum - y;
        c = c == c ? c : 0.0;
        sum = present ? t : sum;
        compensation = present ? c : compensation;
        count += present;
    }
    double mean() const { return count == 0 ? kNaN : sum / static_cast<double>(count); }
};

// pandas' grouped variance: Welford's updates.
struct Welford {
    double mean = 0, squares = 0;
    std::size_t count = 0;

    void add(double v) {
        const bool present = v == v;
        count += present;
        const double old = mean;
        const double next = mean + (v - old) / static_cast<double>(count ? count : 1);
        const double squares_next = squares + (v - next) * (v - old);
        mean = present ? next : mean;
        squares = present ? squares_next : squares;
    }
    double std() const { return count < 2 ? kNaN : std::sqrt(squares / static_cast<double>(count - 1)); }
};

constexpr std::size_t kLanes = 4;

// One group of up to kLanes columns read in step.
struct Lanes {
    const double* x[kLanes];
    std::size_t count;
};

// The statistics of a full group are written out for kLanes columns, so that
// the compiler keeps every lane's state in registers; a last, partial group
// pads its lanes with the group's first column and drops their results.
template <class Visit>
void in_step(const Lanes& lanes, std::size_t begin, std::size_t end, Visit&& visit) {
    const double* x[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) x[l] = lanes.x[l < lanes.count ? l : 0];
    for (std::size_t i = begin; i < end; ++i) {
        for (std::size_t l = 0; l < kLanes; ++l) visit(l, x[l][i]);
    }
}

// The maximum over the whole bin, and the means of the bin's parts in
// successive chunks, recombined through count-weighted sums: a part without
// values adds nothing (pandas fills it with 0 where another part has a value).
void lane_max_and_mean(const Lanes& lanes, std::size_t begin, std::size_t end, std::size_t chunk_rows,
                       double* max_out, double* mean_out) {
    double max[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) max[l] = -std::numeric_limits<double>::infinity();
    double weighted[kLanes] = {};
    std::size_t count[kLanes] = {};
    for (std::size_t part = begin; part < end;) {
        const std::size_t part_end = std::min(end, (part / chunk_rows + 1) * chunk_rows);
        KahanMean m[kLanes];
        in_step(lanes, part, part_end, [&](std::size_t l, double v) {
            m[l].add(v);
            max[l] = v > max[l] ? v : max[l];
        });
        for (std::size_t l = 0; l < lanes.count; ++l) {
            if (m[l].count == 0) continue;
            const double contribution = m[l].mean() * static_cast<double>(m[l].count);
            weighted[l] = count[l] == 0 ? contribution : weighted[l] + contribution;
            count[l] += m[l].count;
        }
        part = part_end;
    }
    for (std::size_t l = 0; l < lanes.count; ++l) {
        max_out[l] = count[l] == 0 ? kNaN : max[l];
        mean_out[l] = count[l] == 0 ? kNaN : weighted[l] / static_cast<double>(count[l]);
    }
}

void lane_std(const Lanes& lanes, std::size_t begin, std::size_t end, double* out) {
    Welford w[kLanes];
    in_step(lanes, begin, end, [&](std::size_t l, double v) { w[l].add(v); });
    for (std::size_t l = 0; l < lanes.count; ++l) out[l] = w[l].std();
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

void bin_moments(std::span<const double* const> columns, const Bins& bins, std::size_t chunk_rows,
                 std::size_t std_columns, std::span<double> max, std::span<double> mean, std::span<double> std) {
    const std::size_t n = bins.size(), k = columns.size();
    if (chunk_rows == 0) throw std::invalid_argument("chunks must hold rows");
    if (std_columns > k || max.size() != k * n || mean.size() != k * n || std.size() != std_columns * n) {
        throw std::invalid_argument("outputs must hold one value per column and bin");
    }
    double results[kLanes], means[kLanes];
    for (std::size_t first = 0; first < k; first += kLanes) {
        Lanes lanes{{}, std::min(kLanes, k - first)};
        for (std::size_t l = 0; l < lanes.count; ++l) lanes.x[l] = columns[first + l];
        const std::size_t deviations = std_columns > first ? std::min(lanes.count, std_columns - first) : 0;
        auto store = [&](std::span<double> target, const double* values, std::size_t count, std::size_t b) {
            for (std::size_t l = 0; l < count; ++l) target[(first + l) * n + b] = values[l];
        };
        for (std::size_t b = 0; b < n; ++b) {
            const std::size_t begin = bins.starts[b], end = bins.starts[b + 1];
            lane_max_and_mean(lanes, begin, end, chunk_rows, results, means);
            store(max, results, lanes.count, b);
            store(mean, means, lanes.count, b);
            if (deviations == 0) continue;
            Lanes timed = lanes;
            timed.count = deviations;
            lane_std(timed, begin, end, results);
            store(std, results, deviations, b);
        }
    }
}

}  // namespace algo::kernels

// Maximum, mean and sample standard deviation of time-ordered rows per time
// bin, as pandas resamples them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace algo::kernels {

// Sorted integer times cut into bins of `width` units aligned to multiples of
// `width`: bin b starts at time labels[b] and holds the rows
// [starts[b], starts[b + 1]). Only bins that hold rows are listed.
struct Bins {
    std::vector<std::int64_t> labels;
    std::vector<std::size_t> starts;  // one more entry than labels

    std::size_t size() const { return labels.size(); }
    std::size_t rows(std::size_t b) const { return starts[b + 1] - starts[b]; }
};

// `times` must be in non-decreasing order and `width` positive.
Bins cut_sorted_times(std::span<const std::int64_t> times, std::int64_t width);

// The rows of the bins that hold at least `min_rows` rows, in order.
std::vector<std::size_t> rows_of_full_bins(const Bins& bins, std::size_t min_rows);

// Statistics per bin of the non-NaN values of each column:
// - `max`: the largest value (the first of equal ones), NaN without values;
// - `mean`: the frame is read in chunks of `chunk_rows` rows (bins may straddle
//   chunk boundaries); each chunk's part of a bin is averaged with compensated
//   (Kahan) summation as pandas' grouped mean does, and the parts are
//   recombined as sum(mean * count) / sum(count), NaN without values;
// - `std`, for the first `std_columns` columns only: the sample standard
//   deviation (ddof 1) by Welford's updates over the whole bin, as pandas'
//   grouped variance does, NaN with fewer than two values.
// columns[c] holds column c's rows in time order; its statistic of bin b is
// stored at [c * bins.size() + b]. Columns are taken a few at a time, so
// that their sums, which each wait on the previous term, overlap.
void bin_moments(std::span<const double* const> columns, const Bins& bins, std::size_t chunk_rows,
                 std::size_t std_columns, std::span<double> max, std::span<double> mean, std::span<double> std);

}  // namespace algo::kernels

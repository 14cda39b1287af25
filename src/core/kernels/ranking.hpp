// Per-row ranking of a dense matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace algo::kernels {

// For every row of the row-major n-by-`columns` matrix `rows`, the `keep`
// largest entries, largest first. Rank i of row r goes to element i·n + r of
// `positions` (its column) and of `values` (its value), so that each rank is
// one contiguous run over the rows. `keep` is at most `columns`.
// NaN ranks below every number; equal entries keep their column order, which
// is the order a stable descending sort gives them.
void largest_per_row(std::span<const double> rows, std::size_t columns, std::size_t keep,
                     std::span<std::int64_t> positions, std::span<double> values);

}  // namespace algo::kernels

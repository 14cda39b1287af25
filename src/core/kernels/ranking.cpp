#include "ranking.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace algo::kernels {

void largest_per_row(std::span<const double> rows, std::size_t columns, std::size_t keep,
                     std::span<std::int64_t> positions, std::span<double> values) {
    const std::size_t n = columns == 0 ? 0 : rows.size() / columns;
    std::vector<std::size_t> order(columns);
    for (std::size_t r = 0; r < n; ++r) {
        const double* row = rows.data() + r * columns;
        auto ranks_before = [row](std::size_t a, std::size_t b) {
            const bool a_nan = std::isnan(row[a]), b_nan = std::isnan(row[b]);
            if (a_nan != b_nan) return b_nan;
            if (!a_nan && row[a] != row[b]) return row[a] > row[b];
            return a < b;
        };
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::partial_sort(order.begin(), order.begin() + keep, order.end(), ranks_before);
        for (std::size_t i = 0; i < keep; ++i) {
            positions[i * n + r] = static_cast<std::int64_t>(order[i]);
            values[i * n + r] = row[order[i]];
        }
    }
}

}  // namespace algo::kernels

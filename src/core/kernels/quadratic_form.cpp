#include "quadratic_form.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace algo::kernels {

namespace {

// Register blocking of the product d·S: kRows samples times kCols columns of
// S are accumulated in registers while one pass runs down the rows of S.
constexpr std::size_t kRows = 4;
constexpr std::size_t kCols = 8;

typedef double Lane __attribute__((vector_size(4 * sizeof(double))));
constexpr std::size_t kLanes = kCols / 4;

#if defined(__GNUC__) && !defined(__clang__)
// `load` is always inlined into its caller, so the vector type never crosses a
// call boundary whose ABI could differ between instruction sets.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
inline Lane load(const double* p) {
    Lane v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// `d` holds kRows centred samples, each padded with zeros to `width`; `metric`
// is S padded with zero columns to `width`. Adds (d·S)·dᵀ of each sample to `t`.
// One build for every CPU: the lanes are summed in a fixed order, so a T² is
// the same double wherever the wheel runs.
void block_forms(const double* d, const double* metric, std::size_t k, std::size_t width, double* t) {
    for (std::size_t j0 = 0; j0 < width; j0 += kCols) {
        Lane acc[kRows][kLanes] = {};
        for (std::size_t i = 0; i < k; ++i) {
            const double* s = metric + i * width + j0;
            Lane row[kLanes];
            for (std::size_t l = 0; l < kLanes; ++l) row[l] = load(s + 4 * l);
            for (std::size_t r = 0; r < kRows; ++r) {
                const double di = d[r * width + i];
                for (std::size_t l = 0; l < kLanes; ++l) acc[r][l] += di * row[l];
            }
        }
        for (std::size_t r = 0; r < kRows; ++r) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                const Lane prod = acc[r][l] * load(d + r * width + j0 + 4 * l);
                t[r] += prod[0] + prod[1] + prod[2] + prod[3];
            }
        }
    }
}

}  // namespace

void quadratic_forms(std::span<const double> rows, std::span<const double> mu, std::span<const double> metric,
                     std::span<double> out) {
    const std::size_t k = mu.size();
    const std::size_t n = out.size();
    const std::size_t width = (k + kCols - 1) / kCols * kCols;

    std::vector<double> padded_metric(k * width, 0.0);
    for (std::size_t i = 0; i < k; ++i) std::copy_n(metric.data() + i * k, k, padded_metric.data() + i * width);

    std::vector<double> d(kRows * width, 0.0);
    for (std::size_t start = 0; start < n; start += kRows) {
        const std::size_t b = std::min(kRows, n - start);
        for (std::size_t r = 0; r < kRows; ++r) {
            const double* x = rows.data() + (start + std::min(r, b - 1)) * k;
            for (std::size_t j = 0; j < k; ++j) d[r * width + j] = x[j] - mu[j];
        }
        double t[kRows] = {};
        block_forms(d.data(), padded_metric.data(), k, width, t);
        std::copy_n(t, b, out.data() + start);
    }
}

}  // namespace algo::kernels

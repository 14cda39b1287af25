#include "projections.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace algo::kernels {

namespace {

void require(bool condition, const char* message) {
    if (!condition) throw std::invalid_argument(message);
}

}  // namespace

void standardized(const Matrix& x, std::span<const double> center, std::span<const double> scale,
                  std::span<double> out) {
    const std::size_t n = x.rows, p = x.columns;
    require((center.empty() || center.size() == p) && (scale.empty() || scale.size() == p) && out.size() == n * p,
            "standardisation shapes do not match");
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            double v = x.at(i, j);
            if (!center.empty()) v -= center[j];
            if (!scale.empty()) v /= scale[j];
            out[i * p + j] = v;
        }
    }
}

void rescaled(const Matrix& x, std::span<const double> scale, std::span<const double> offset, std::span<double> out) {
    const std::size_t n = x.rows, p = x.columns;
    require(scale.size() == p && offset.size() == p && out.size() == n * p, "rescaling shapes do not match");
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            const double scaled = x.at(i, j) * scale[j];
            out[i * p + j] = scaled + offset[j];
        }
    }
}

void project(const Matrix& x, std::span<const double> mean, std::span<const double> components, std::size_t k,
             std::span<double> out) {
    const std::size_t n = x.rows, p = x.columns;
    require(mean.size() == p && components.size() == k * p && out.size() == n * k, "projection shapes do not match");
    // Each score is one sum over the features in order. Blocks of rows by
    // components are summed side by side, so that the sums overlap and each
    // value loaded serves several of them.
    constexpr std::size_t kRows = 2, kComponents = 4;
    std::vector<double> centred(kRows * p);
    for (std::size_t i0 = 0; i0 < n; i0 += kRows) {
        const std::size_t rows = std::min(kRows, n - i0);
        for (std::size_t r = 0; r < kRows; ++r) {
            const std::size_t i = i0 + std::min(r, rows - 1);  // a short block repeats its last row
            for (std::size_t j = 0; j < p; ++j) centred[r * p + j] = x.at(i, j) - mean[j];
        }
        for (std::size_t c0 = 0; c0 < k; c0 += kComponents) {
            const std::size_t count = std::min(kComponents, k - c0);
            const double* component[kComponents];
            for (std::size_t s = 0; s < kComponents; ++s) component[s] = components.data() + (c0 + std::min(s, count - 1)) * p;
            double sums[kRows][kComponents] = {};
            for (std::size_t j = 0; j < p; ++j) {
                for (std::size_t r = 0; r < kRows; ++r) {
                    const double v = centred[r * p + j];
                    for (std::size_t s = 0; s < kComponents; ++s) sums[r][s] += v * component[s][j];
                }
            }
            for (std::size_t r = 0; r < rows; ++r) {
                for (std::size_t s = 0; s < count; ++s) out[(i0 + r) * k + c0 + s] = sums[r][s];
            }
        }
    }
}

void reconstruct(const Matrix& scores, std::span<const double> mean, std::span<const double> components,
                 std::span<double> out) {
    const std::size_t n = scores.rows, k = scores.columns, p = mean.size();
    require(components.size() == k * p && out.size() == n * p, "reconstruction shapes do not match");
    for (std::size_t i = 0; i < n; ++i) {
        double* row = out.data() + i * p;
        for (std::size_t j = 0; j < p; ++j) row[j] = 0;
        for (std::size_t c = 0; c < k; ++c) {
            const double s = scores.at(i, c);
            const double* component = components.data() + c * p;
            for (std::size_t j = 0; j < p; ++j) row[j] += s * component[j];
        }
        for (std::size_t j = 0; j < p; ++j) row[j] += mean[j];
    }
}

}  // namespace algo::kernels

#include "projections.hpp"

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
    std::vector<double> centred(p);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < p; ++j) centred[j] = x.at(i, j) - mean[j];
        for (std::size_t c = 0; c < k; ++c) {
            const double* row = components.data() + c * p;
            double sum = 0;
            for (std::size_t j = 0; j < p; ++j) sum += centred[j] * row[j];
            out[i * k + c] = sum;
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

// The arithmetic of fitted scalers and principal-component models.
#pragma once

#include <cstddef>
#include <span>

namespace algo::kernels {

// A matrix of doubles in memory: element (i, j) at data[i * row_stride + j *
// column_stride] (strides in elements), as numpy lays out a 2-D array.
struct Matrix {
    const double* data;
    std::size_t rows, columns;
    std::ptrdiff_t row_stride, column_stride;

    double at(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * column_stride];
    }
};

// out(i, j) = (x(i, j) - center[j]) / scale[j], row-major; an empty center
// or scale leaves out that step.
void standardized(const Matrix& x, std::span<const double> center, std::span<const double> scale,
                  std::span<double> out);

// out(i, j) = x(i, j) * scale[j] + offset[j], row-major, each step rounded on
// its own.
void rescaled(const Matrix& x, std::span<const double> scale, std::span<const double> offset, std::span<double> out);

// The scores of the rows of x on k components (row-major k-by-p):
// out(i, c) = sum over j, in order, of (x(i, j) - mean[j]) * components(c, j).
void project(const Matrix& x, std::span<const double> mean, std::span<const double> components, std::size_t k,
             std::span<double> out);

// The rows rebuilt from their scores: out(i, j) = sum over c, in order, of
// scores(i, c) * components(c, j), plus mean[j]; row-major n-by-p.
void reconstruct(const Matrix& scores, std::span<const double> mean, std::span<const double> components,
                 std::span<double> out);

}  // namespace algo::kernels

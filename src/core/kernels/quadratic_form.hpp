// Hotelling T² of many rows at once.
#pragma once

#include <cstddef>
#include <span>

namespace algo::kernels {

// out[i] = (x_i - mu) · S · (x_i - mu)ᵀ for every row x_i of the row-major
// n-by-k matrix `rows`; `metric` is the row-major k-by-k matrix S. The product
// is evaluated as (d·S)·dᵀ, the order of the row-by-row formulation.
void quadratic_forms(std::span<const double> rows, std::span<const double> mu, std::span<const double> metric,
                     std::span<double> out);

}  // namespace algo::kernels

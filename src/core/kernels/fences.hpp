// Values outside a pair of fences.
#pragma once

#include <cstddef>
#include <span>

namespace algo::kernels {

// The number of values strictly below `lower` or strictly above `upper`. NaN
// values, and every value against a NaN fence, are never outside.
std::size_t count_outside(std::span<const double> values, double lower, double upper);

// Sets marks[i] for every value outside the fences; other marks are left as
// they are, so that several columns can mark one row mask.
void mark_outside(std::span<const double> values, double lower, double upper, std::span<bool> marks);

}  // namespace algo::kernels

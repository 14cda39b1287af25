#include "fences.hpp"

namespace algo::kernels {

namespace {

inline bool outside(double v, double lower, double upper) { return v < lower || v > upper; }

}  // namespace

std::size_t count_outside(std::span<const double> values, double lower, double upper) {
    std::size_t count = 0;
    for (const double v : values) count += outside(v, lower, upper);
    return count;
}

void mark_outside(std::span<const double> values, double lower, double upper, std::span<bool> marks) {
    for (std::size_t i = 0; i < values.size(); ++i) marks[i] = marks[i] || outside(values[i], lower, upper);
}

}  // namespace algo::kernels

// Time stamps as counts of a numpy datetime unit since the epoch.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace algo::kernels {

// How many of a numpy datetime unit ("s", "ms", "us", "ns") make a second;
// nothing for other units.
inline std::optional<std::int64_t> units_per_second(std::string_view unit) {
    if (unit == "s") return 1;
    if (unit == "ms") return 1000;
    if (unit == "us") return 1000000;
    if (unit == "ns") return 1000000000;
    return std::nullopt;
}

// Floor division, also for times before the epoch.
inline std::int64_t floor_div(std::int64_t t, std::int64_t width) { return t / width - (t % width < 0 ? 1 : 0); }

// The start of the bin of `width` that holds `t`.
inline std::int64_t floor_to(std::int64_t t, std::int64_t width) { return floor_div(t, width) * width; }

}  // namespace algo::kernels

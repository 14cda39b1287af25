// Times written in one ISO 8601 layout, read as nanoseconds since the epoch.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace algo::kernels {

// Reads every text as "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DDTHH:MM:SS", with or
// without a fraction of 1 to 9 digits, into `nanoseconds`. All texts must
// share one layout (separator and fraction width, which is what a parser
// that infers its format from the first text accepts for all of them), fall
// in the years 1970 to 2261 and name an existing date and time; otherwise the
// result is false and `nanoseconds` is unspecified.
bool read_iso_times(std::span<const std::string_view> texts, std::span<std::int64_t> nanoseconds);

}  // namespace algo::kernels

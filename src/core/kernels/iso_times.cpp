#include "iso_times.hpp"

#include <stdexcept>

namespace algo::kernels {

namespace {

constexpr std::size_t kWhole = 19;  // "YYYY-MM-DD HH:MM:SS"

struct Layout {
    char separator;
    std::size_t fraction_digits;  // 0: no fraction
    std::size_t length() const { return kWhole + (fraction_digits ? fraction_digits + 1 : 0); }
};

bool digits(std::string_view text, std::size_t at, std::size_t count, std::int64_t& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool layout_of(std::string_view text, Layout& layout) {
    if (text.size() < kWhole || (text[10] != ' ' && text[10] != 'T')) return false;
    layout.separator = text[10];
    layout.fraction_digits = 0;
    if (text.size() == kWhole) return true;
    if (text[kWhole] != '.' || text.size() < kWhole + 2 || text.size() > kWhole + 10) return false;
    layout.fraction_digits = text.size() - kWhole - 1;
    return true;
}

bool leap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::int64_t days_in_month(std::int64_t year, std::int64_t month) {
    static constexpr std::int64_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool read_one(std::string_view text, const Layout& layout, std::int64_t& nanoseconds) {
    if (text.size() != layout.length() || text[10] != layout.separator) return false;
    if (text[4] != '-' || text[7] != '-' || text[13] != ':' || text[16] != ':') return false;
    std::int64_t year, month, day, hour, minute, second, fraction = 0;
    if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
        !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second)) {
        return false;
    }
    if (layout.fraction_digits && !digits(text, kWhole + 1, layout.fraction_digits, fraction)) return false;
    if (year < 1970 || year > 2261 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    for (std::size_t i = layout.fraction_digits; i < 9; ++i) fraction *= 10;
    const std::int64_t seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    nanoseconds = seconds * 1000000000 + fraction;
    return true;
}

}  // namespace

bool read_iso_times(std::span<const std::string_view> texts, std::span<std::int64_t> nanoseconds) {
    if (texts.size() != nanoseconds.size()) throw std::invalid_argument("one time per text");
    if (texts.empty()) return true;
    Layout layout;
    if (!layout_of(texts[0], layout)) return false;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!read_one(texts[i], layout, nanoseconds[i])) return false;
    }
    return true;
}

}  // namespace algo::kernels

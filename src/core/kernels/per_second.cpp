#include "per_second.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace algo::kernels {

namespace {

template <class T>
struct Values {
    const std::byte* data;
    std::ptrdiff_t stride;

    T operator()(std::int64_t row) const {
        if constexpr (std::is_same_v<T, bool>) {
            return std::to_integer<std::uint8_t>(data[row * stride]) != 0;
        } else {
            T value;
            std::memcpy(&value, data + row * stride, sizeof value);
            return value;
        }
    }
};

template <class T>
bool is_missing(T value) {
    if constexpr (std::is_floating_point_v<T>) {
        return value != value;
    } else {
        return false;
    }
}

// The bit pattern of a float (so that 0.0 and -0.0 differ), the value itself
// for the other types.
template <class T>
auto representation(T value) {
    if constexpr (std::is_same_v<T, double>) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    } else if constexpr (std::is_same_v<T, float>) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    } else {
        return value;
    }
}

template <class F>
void dispatch(const TypedColumn& column, F&& f) {
    const std::byte* d = column.data;
    const std::ptrdiff_t s = column.stride;
    switch (column.type) {
        case ValueType::float64: return f(Values<double>{d, s});
        case ValueType::float32: return f(Values<float>{d, s});
        case ValueType::int64: return f(Values<std::int64_t>{d, s});
        case ValueType::int32: return f(Values<std::int32_t>{d, s});
        case ValueType::int16: return f(Values<std::int16_t>{d, s});
        case ValueType::int8: return f(Values<std::int8_t>{d, s});
        case ValueType::uint64: return f(Values<std::uint64_t>{d, s});
        case ValueType::uint32: return f(Values<std::uint32_t>{d, s});
        case ValueType::uint16: return f(Values<std::uint16_t>{d, s});
        case ValueType::uint8: return f(Values<std::uint8_t>{d, s});
        case ValueType::boolean: return f(Values<bool>{d, s});
    }
    throw std::invalid_argument("unknown column value type");
}

template <class Span>
void require_one_per_second(const Span& out, const SecondGroups& groups) {
    if (out.size() != groups.size()) throw std::invalid_argument("output length differs from the number of seconds");
}

// Position (in time order) of the first non-missing value in [begin, end), or end.
template <class T>
std::size_t first_present(const Values<T>& values, const SecondGroups& groups, std::size_t begin, std::size_t end) {
    while (begin < end && is_missing(values(groups.row(begin)))) ++begin;
    return begin;
}

template <class T>
std::size_t last_present(const Values<T>& values, const SecondGroups& groups, std::size_t begin, std::size_t end) {
    for (std::size_t p = end; p > begin; --p) {
        if (!is_missing(values(groups.row(p - 1)))) return p - 1;
    }
    return end;
}

// Whether a non-missing value after position `first` differs from the one at `first`.
template <class T>
bool differs_after(const Values<T>& values, const SecondGroups& groups, std::size_t first, std::size_t end) {
    const T reference = values(groups.row(first));
    for (std::size_t p = first + 1; p < end; ++p) {
        const T value = values(groups.row(p));
        if (!is_missing(value) && !(value == reference)) return true;
    }
    return false;
}

// Non-missing values of one second with their positions, sorted by value and
// then by position, so that each run of equal values starts where the value
// first appears.
template <class Key>
class SortedSecond {
public:
    template <class T, class ToKey>
    void fill(const Values<T>& values, const SecondGroups& groups, std::size_t begin, std::size_t end, ToKey to_key) {
        entries_.clear();
        for (std::size_t p = begin; p < end; ++p) {
            const T value = values(groups.row(p));
            if (!is_missing(value)) entries_.emplace_back(to_key(value), p);
        }
        std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
            if (a.first < b.first) return true;
            if (b.first < a.first) return false;
            return a.second < b.second;
        });
    }

    // Calls f(first position, count) for each run of equal values, smallest value first.
    template <class F>
    void for_each_run(F&& f) const {
        for (std::size_t i = 0; i < entries_.size();) {
            std::size_t j = i + 1;
            while (j < entries_.size() && entries_[j].first == entries_[i].first) ++j;
            f(entries_[i].second, j - i);
            i = j;
        }
    }

private:
    using Entry = std::pair<Key, std::size_t>;
    std::vector<Entry> entries_;
};

template <class T>
std::size_t mode_position(const Values<T>& values, const SecondGroups& groups, std::size_t begin, std::size_t end,
                          SortedSecond<T>& scratch) {
    scratch.fill(values, groups, begin, end, [](T value) { return value; });
    std::size_t best = end, best_count = 0;
    scratch.for_each_run([&](std::size_t position, std::size_t count) {
        if (count >= best_count) {  // ascending runs: a tie goes to the larger value
            best = position;
            best_count = count;
        }
    });
    return best;
}

}  // namespace

SecondGroups::SecondGroups(std::span<const std::int64_t> order, std::span<const std::int64_t> seconds,
                           std::int64_t no_second)
    : order_(order) {
    const std::size_t n = order.size();
    if (seconds.size() != n) throw std::invalid_argument("row order and seconds differ in length");
    auto second_at = [&](std::size_t position) {
        const std::int64_t row = order[position];
        if (row < 0 || static_cast<std::size_t>(row) >= n) {
            throw std::invalid_argument("row order names a row outside the table");
        }
        return seconds[static_cast<std::size_t>(row)];
    };
    std::size_t p = 0;
    for (; p < n; ++p) {
        const std::int64_t second = second_at(p);
        if (second == no_second) break;
        if (!seconds_.empty() && second == seconds_.back()) continue;
        if (!seconds_.empty() && second < seconds_.back()) {
            throw std::invalid_argument("seconds fall along the row order");
        }
        seconds_.push_back(second);
        starts_.push_back(p);
    }
    starts_.push_back(p);
    for (; p < n; ++p) {
        if (second_at(p) != no_second) throw std::invalid_argument("rows without a time must come last");
    }
    find_stretches();
}

void SecondGroups::find_stretches() {
    auto single = [&](std::size_t g) { return starts_[g + 1] - starts_[g] == 1; };
    for (std::size_t g = 0; g < size();) {
        if (!single(g)) {
            ++g;
            continue;
        }
        const std::size_t first = g;
        const std::int64_t first_row = order_[starts_[g]];
        while (g + 1 < size() && single(g + 1) &&
               order_[starts_[g + 1]] == first_row + static_cast<std::int64_t>(g + 1 - first)) {
            ++g;
        }
        ++g;
        if (g - first >= kLeastStretch) stretches_.push_back({first, g - first, first_row});
    }
}

void pick_rows(const TypedColumn& column, const SecondGroups& groups, End end, std::span<std::int64_t> rows) {
    require_one_per_second(rows, groups);
    dispatch(column, [&](const auto& values) {
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const std::size_t b = groups.begin(g), e = groups.end(g);
            const std::size_t p = end == End::first ? first_present(values, groups, b, e)
                                                    : last_present(values, groups, b, e);
            rows[g] = p == e ? -1 : groups.row(p);
        }
    });
}

void pick_rows_marking_conflicts(const TypedColumn& column, const SecondGroups& groups, End end,
                                 std::span<std::int64_t> rows, std::span<std::uint8_t> conflicting) {
    require_one_per_second(rows, groups);
    require_one_per_second(conflicting, groups);
    const bool last = end == End::last;
    dispatch(column, [&](const auto& values) {
        using T = decltype(values(0));
        for (std::size_t g = 0; g < groups.size(); ++g) {
            std::int64_t first_row = -1, last_row = -1;
            T reference{};
            bool differs = false;
            for (std::size_t p = groups.begin(g), e = groups.end(g); p < e; ++p) {
                const std::int64_t row = groups.row(p);
                const T value = values(row);
                if (is_missing(value)) continue;
                if (first_row < 0) {
                    first_row = row;
                    reference = value;
                } else {
                    differs = differs || !(value == reference);
                }
                last_row = row;
            }
            rows[g] = last ? last_row : first_row;
            conflicting[g] = differs;
        }
    });
}

namespace {

// Positions ahead whose row numbers, group starts and values the loop below
// asks the cache for, once every kPrefetchStride seconds. Rows in time order
// are mostly in their own order, so a value is asked for where a row number
// equal to its position points; a hint, which never faults.
constexpr std::size_t kPrefetchStride = 8, kPrefetchAhead = 256;

// The values of seconds of one row each, rows `first_row` on: each row's
// value, a quiet NaN for any missing value. The rows after them are asked
// for too (up to `last_row`), since the next stretch mostly follows on.
template <class T>
void copy_stretch(const Values<T>& values, std::int64_t first_row, std::size_t count, std::size_t last_row,
                  T* out) {
    constexpr T none = std::numeric_limits<T>::quiet_NaN();
    if (values.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {  // contiguous: a loop that vectorises
        const auto* source = reinterpret_cast<const T*>(values.data) + first_row;
        const std::size_t room = last_row - static_cast<std::size_t>(first_row);
        for (std::size_t i = 0; i < count; i += kPrefetchStride) {
            __builtin_prefetch(source + std::min(i + kPrefetchAhead, room));
        }
        for (std::size_t i = 0; i < count; ++i) out[i] = is_missing(source[i]) ? none : source[i];
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const T value = values(first_row + static_cast<std::int64_t>(i));
        out[i] = is_missing(value) ? none : value;
    }
}

// Seconds [from, to) one by one. The loop reads the groups through local
// pointers: its stores of conflict marks (bytes, which may alias anything)
// would otherwise reload them.
template <class T, bool Mark>
void pick_seconds(const Values<T>& values, const SecondGroups& groups, End end, std::size_t from, std::size_t to,
                  T* out, std::uint8_t* conflicting) {
    constexpr T none = std::numeric_limits<T>::quiet_NaN();
    const std::size_t count = groups.size();
    const std::size_t* starts = groups.starts().data();
    const std::int64_t* order = groups.order().data();
    const std::size_t last_row = groups.rows() - 1;
    for (std::size_t g = from; g < to; ++g) {
        const std::size_t b = starts[g], e = starts[g + 1];
        if (g % kPrefetchStride == 0) {
            const std::size_t ahead = std::min(b + kPrefetchAhead, last_row);
            __builtin_prefetch(starts + std::min(g + kPrefetchAhead, count));
            __builtin_prefetch(order + ahead);
            __builtin_prefetch(values.data + static_cast<std::ptrdiff_t>(ahead) * values.stride);
        }
        if (e - b == 1) {  // a second of one row: its value, or the second has none
            const T value = values(order[b]);
            out[g] = is_missing(value) ? none : value;
            if constexpr (Mark) conflicting[g] = 0;
            continue;
        }
        const std::size_t first = first_present(values, groups, b, e);
        const std::size_t p = end == End::first || first == e ? first : last_present(values, groups, first, e);
        out[g] = p == e ? none : values(order[p]);
        if constexpr (Mark) conflicting[g] = first < e && differs_after(values, groups, first, e);
    }
}

template <class T, bool Mark>
void pick_float_values(const Values<T>& values, const SecondGroups& groups, End end, T* out,
                       std::uint8_t* conflicting) {
    std::size_t g = 0;
    for (const SecondGroups::Stretch& stretch : groups.stretches()) {
        pick_seconds<T, Mark>(values, groups, end, g, stretch.first_second, out, conflicting);
        copy_stretch(values, stretch.first_row, stretch.count, groups.rows() - 1, out + stretch.first_second);
        if constexpr (Mark) std::fill_n(conflicting + stretch.first_second, stretch.count, std::uint8_t{0});
        g = stretch.first_second + stretch.count;
    }
    pick_seconds<T, Mark>(values, groups, end, g, groups.size(), out, conflicting);
}

template <class T>
void pick_float_values(const TypedColumn& column, const SecondGroups& groups, End end, std::span<T> out,
                       std::span<std::uint8_t> conflicting) {
    const ValueType expected = std::is_same_v<T, double> ? ValueType::float64 : ValueType::float32;
    if (column.type != expected) throw std::invalid_argument("picked values differ in type from their column");
    require_one_per_second(out, groups);
    const Values<T> values{column.data, column.stride};
    if (conflicting.empty()) return pick_float_values<T, false>(values, groups, end, out.data(), nullptr);
    require_one_per_second(conflicting, groups);
    pick_float_values<T, true>(values, groups, end, out.data(), conflicting.data());
}

}  // namespace

void pick_values(const TypedColumn& column, const SecondGroups& groups, End end, std::span<double> out,
                 std::span<std::uint8_t> conflicting) {
    pick_float_values(column, groups, end, out, conflicting);
}

void pick_values(const TypedColumn& column, const SecondGroups& groups, End end, std::span<float> out,
                 std::span<std::uint8_t> conflicting) {
    pick_float_values(column, groups, end, out, conflicting);
}

void resolve_rows(const TypedColumn& column, const SecondGroups& groups, Resolution resolution,
                  std::span<std::int64_t> rows) {
    require_one_per_second(rows, groups);
    dispatch(column, [&](const auto& values) {
        using T = decltype(values(0));
        SortedSecond<T> scratch;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const std::size_t b = groups.begin(g), e = groups.end(g);
            std::size_t p = first_present(values, groups, b, e);
            if (p < e && differs_after(values, groups, p, e)) {
                switch (resolution) {
                    case Resolution::mode: p = mode_position(values, groups, p, e, scratch); break;
                    case Resolution::missing: p = e; break;
                    case Resolution::last: p = last_present(values, groups, p, e); break;
                }
            }
            rows[g] = p == e ? -1 : groups.row(p);
        }
    });
}

RowLists distinct_rows(const TypedColumn& column, const SecondGroups& groups, std::span<const std::uint8_t> flagged) {
    if (flagged.size() != groups.size()) throw std::invalid_argument("flags differ from the number of seconds");
    RowLists lists;
    lists.offsets.reserve(groups.size() + 1);
    lists.offsets.push_back(0);
    dispatch(column, [&](const auto& values) {
        using T = decltype(values(0));
        using Key = decltype(representation(T{}));
        SortedSecond<Key> scratch;
        std::vector<std::size_t> firsts;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            if (flagged[g]) {
                scratch.fill(values, groups, groups.begin(g), groups.end(g),
                             [](T value) { return representation(value); });
                firsts.clear();
                scratch.for_each_run([&](std::size_t position, std::size_t) { firsts.push_back(position); });
                std::sort(firsts.begin(), firsts.end());
                for (std::size_t p : firsts) lists.rows.push_back(groups.row(p));
            }
            lists.offsets.push_back(lists.rows.size());
        }
    });
    return lists;
}

}  // namespace algo::kernels

// Per-second reductions over time-ordered rows: the hot loops of per-second
// compression. Columns arrive as typed strided buffers, results leave as row
// numbers, so the caller keeps the values' own types when it builds its output.
//
// "Missing" means NaN; integer and boolean columns have no missing values.
// Values compare the way a hash table of the data-frame library compares them:
// 0.0 and -0.0 are one value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace algo::kernels {

enum class ValueType : std::uint8_t {
    float64, float32,
    int64, int32, int16, int8,
    uint64, uint32, uint16, uint8,
    boolean,  // one byte, zero is false
};

// A column of values of one type; the value of row r sits r * stride bytes
// after `data`. (Not the float64 `Column` of column.hpp: one name for two
// types would break the one-definition rule.)
struct TypedColumn {
    const std::byte* data;
    std::ptrdiff_t stride;
    ValueType type;
};

// Rows put in time order and cut into runs that share a second.
class SecondGroups {
public:
    // `order`: row numbers in time order; it must outlive the groups.
    // `seconds`: the second of each row, by row number; rows without a time
    // hold `no_second` and must come last in `order`. Throws
    // std::invalid_argument when `order` names a row outside `seconds` or
    // the seconds fall along it.
    SecondGroups(std::span<const std::int64_t> order, std::span<const std::int64_t> seconds,
                 std::int64_t no_second);

    std::size_t size() const { return seconds_.size(); }
    std::int64_t second(std::size_t g) const { return seconds_[g]; }
    // Positions in time order of the rows of second g: [begin(g), end(g)).
    std::size_t begin(std::size_t g) const { return starts_[g]; }
    std::size_t end(std::size_t g) const { return starts_[g + 1]; }
    // Rows that have a time; the rest, [timed_rows(), rows()), belong to no second.
    std::size_t timed_rows() const { return starts_.back(); }
    std::size_t rows() const { return order_.size(); }
    std::int64_t row(std::size_t position) const { return order_[position]; }
    // begin(g) for every g, then timed_rows(); and row(p) for every position.
    std::span<const std::size_t> starts() const { return starts_; }
    std::span<const std::int64_t> order() const { return order_; }

    // `count` seconds from `first_second` on of one row each, rows
    // `first_row`, `first_row` + 1, ...: what a second's row is in most
    // exports, which a column's values can be copied across at once.
    struct Stretch {
        std::size_t first_second, count;
        std::int64_t first_row;
    };
    // The maximal such stretches of at least kLeastStretch seconds, in order.
    std::span<const Stretch> stretches() const { return stretches_; }
    static constexpr std::size_t kLeastStretch = 8;

private:
    void find_stretches();

    std::span<const std::int64_t> order_;
    std::vector<std::int64_t> seconds_;
    std::vector<std::size_t> starts_;
    std::vector<Stretch> stretches_;
};

enum class End { first, last };

// rows[g]: the row of the first or last non-missing value of second g, -1
// when the second has none.
void pick_rows(const TypedColumn& column, const SecondGroups& groups, End end, std::span<std::int64_t> rows);

// pick_rows, and conflicting[g] = 1 when second g holds more than one
// distinct non-missing value (else 0), in one pass over the values.
void pick_rows_marking_conflicts(const TypedColumn& column, const SecondGroups& groups, End end,
                                 std::span<std::int64_t> rows, std::span<std::uint8_t> conflicting);

// The values pick_rows (or pick_rows_marking_conflicts, when `conflicting`
// is not empty) picks from a float64 or float32 column, gathered in the same
// pass: out[g] is the picked value of second g, or a quiet NaN where none is
// picked. `out` is of the column's type; throws std::invalid_argument when
// the column is no float column of that type.
void pick_values(const TypedColumn& column, const SecondGroups& groups, End end, std::span<double> out,
                 std::span<std::uint8_t> conflicting = {});
void pick_values(const TypedColumn& column, const SecondGroups& groups, End end, std::span<float> out,
                 std::span<std::uint8_t> conflicting = {});

// How a second with several distinct values is resolved: its most frequent
// value (the largest of equally frequent ones), a missing value, or its last
// non-missing value.
enum class Resolution { mode, missing, last };

// rows[g]: the row whose value second g takes, -1 for a missing result. A
// second without values is missing; one with a single distinct value takes
// the first row holding it; a conflicting one follows `resolution` and takes
// the first row holding the chosen value.
void resolve_rows(const TypedColumn& column, const SecondGroups& groups, Resolution resolution,
                  std::span<std::int64_t> rows);

// Row lists: list g is rows[offsets[g]] .. rows[offsets[g + 1] - 1].
struct RowLists {
    std::vector<std::size_t> offsets;
    std::vector<std::int64_t> rows;
};

// For each flagged second, the rows where its distinct non-missing values
// first appear, in time order. Values are told apart by their representation
// here, so 0.0 and -0.0 differ (their text differs). Unflagged seconds get
// empty lists.
RowLists distinct_rows(const TypedColumn& column, const SecondGroups& groups, std::span<const std::uint8_t> flagged);

}  // namespace algo::kernels

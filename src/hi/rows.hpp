// The rows a pipeline prepares on their way from the raw frame to features.
//
// Compression, column selection, time parsing and indexing, hourly filtering
// and row cleaning only choose rows and columns. While they run natively the
// rows stay the caller's columns (or, when seconds repeat, the per-second
// values picked from them) behind a row order, a selection and a row subset:
// nothing is copied, and the native extractions read the columns straight
// from there. The first step that needs a frame (a collaborator the host
// rebound, a codebook, a column or time scale the kernels do not take) gets
// the frame these steps would have built, and from then on the rows are that
// frame and every step works on it through pandas as the plain road does.
#pragma once

#include "compression.hpp"
#include "core/arrays.hpp"
#include "core/function.hpp"
#include "core/stage_clock.hpp"
#include "features.hpp"

#include <memory>
#include <optional>
#include <vector>

namespace algo::hi {

// Earliest and latest parsed time, "%Y-%m-%d %H:%M:%S"; NaT fails to format.
struct TimeSpan {
    py::object start, end;
};

class Rows {
public:
    // compress_by_second(df, time_col)[0]. Natively when compress_by_second
    // is the module's own and every column but the time is float64, float32
    // or plain text (which no later step keeps). The clock, when given,
    // times the time parsing and the compression.
    static Rows compressed(const Module& m, py::handle df, py::handle time_col, StageClock* clock = nullptr);
    // Rows that are a frame already.
    static Rows of(py::object frame);

    // The frame of the rows, built once when they are still native.
    const py::object& frame();
    bool native() const { return native_ != nullptr; }
    // Whether the rows are no frame at all but None (as a collaborator may return).
    bool is_none() const { return !native_ && frame_.is_none(); }

    std::size_t length() const;  // len(df)
    bool empty() const;          // df.empty
    py::list labels() const;     // the column labels, in order
    // The time column's label, then the labels of the numeric columns.
    py::list numeric_labels(py::handle time_col) const;

    // df[labels]; the labels are among the frame's.
    void select(py::handle labels);
    // df.drop(columns=labels, errors="ignore")
    void drop(py::handle labels);
    // df[time_col] = pd.to_datetime(df[time_col], errors="coerce"), on a
    // frame of the rows' own.
    void parse_times(const Module& m, py::handle time_col);
    TimeSpan time_span(py::handle time_col) const;
    // Rows with a time, indexed by it.
    void index_by_time(py::handle time_col);
    // df.loc[keep], keep a boolean mask of the rows.
    void keep(py::array_t<bool> keep);

    // Hours with fewer than `min_rows` rows left out, as time_filter does;
    // false when the rows are not native and indexed by time.
    bool drop_thin_hours(std::size_t min_rows);
    // The time-indexed native rows whose indicator columns `names` all are
    // float64 columns of the rows; nothing otherwise.
    std::optional<features::SortedRows> sorted_rows(const features::Names& names) const;

    // The values of a numeric column of the native rows, float64, over the
    // rows; for the native row cleaning.
    struct Numeric {
        py::object label;
        DoubleArray values;
        bool float64;
    };
    std::vector<Numeric> numeric_columns() const;

private:
    struct Native;
    explicit Rows(std::shared_ptr<const Native> native) : native_(std::move(native)) {}
    explicit Rows(py::object frame) : frame_(std::move(frame)) {}

    std::shared_ptr<const Native> native_;
    py::object frame_;
};

}  // namespace algo::hi

#include "features.hpp"

#include "core/kernels/bin_moments.hpp"
#include "core/kernels/time_units.hpp"
#include "core/kernels/window_moments.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace algo::hi {

namespace {

namespace kn = kernels;

// The chunk size safe_resample_max and safe_resample_mean use by default, so
// the one feature_extraction resamples with.
constexpr std::size_t kChunkRows = 50000;

py::list suffixed(py::handle names, const char* suffix) {
    py::list out;
    const py::str tail(suffix);
    for (py::handle name : names) out.append(py::reinterpret_borrow<py::object>(name) + tail);
    return out;
}

// Calls `visit(df.iloc[start:end])` for the row chunks of `chunk_size` rows.
template <class Visit>
void for_each_chunk(py::handle df, py::handle chunk_size, Visit&& visit) {
    const py::int_ rows(py::len(df));
    py::object size = py::reinterpret_borrow<py::object>(chunk_size);
    for (py::handle start : builtin("range")(0, rows, size)) {
        py::object end = builtin("min")(py::reinterpret_borrow<py::object>(start) + size, rows);
        visit(df.attr("iloc")[py::slice(start, end, py::none())]);
    }
}

py::array_t<py::ssize_t> positions_of(const std::vector<py::ssize_t>& rows) {
    py::array_t<py::ssize_t> positions(static_cast<py::ssize_t>(rows.size()));
    std::copy(rows.begin(), rows.end(), positions.mutable_data());
    return positions;
}

// A DatetimeIndex of index values of the rows' type and name.
py::object time_index(const Module& m, const Int64Array& values, const features::SortedRows& rows,
                      py::handle freq = py::none()) {
    return m.global("pd").attr("DatetimeIndex")(values.attr("view")(rows.index_type), "freq"_a = freq,
                                                "name"_a = rows.index_name);
}

// The rows of a frame with a sorted, naive DatetimeIndex without NaT, for the
// native extractions; nothing for any other frame.
std::optional<features::SortedRows> sorted_rows(const Module& m, py::handle df) {
    py::object pd = m.global("pd");
    if (!m.binds("pd", "pandas") || !py::isinstance(df, pd.attr("DataFrame"))) return std::nullopt;
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex")) || !index.attr("tz").is_none() || py::len(index) == 0 ||
        !truthy(index.attr("is_monotonic_increasing")) || truthy(index.attr("hasnans"))) {
        return std::nullopt;
    }
    return features::SortedRows{as_int64s(index.attr("asi8")), index.attr("dtype"), index.attr("name"), {}};
}

// The columns of a frame with unique labels that `names` names, in that
// order; nothing when one is missing (pandas then selects them, and reports a
// missing one in its own words). Read by walking the frame's columns once,
// which costs less than looking each label up.
std::optional<std::vector<py::object>> named_columns(py::handle df, py::handle names) {
    py::object columns = df.attr("columns");
    if (!truthy(columns.attr("is_unique"))) return std::nullopt;
    py::dict by_label;
    for (py::handle name : names) by_label[name] = py::none();
    for (py::handle item : df.attr("items")()) {
        auto pair = py::reinterpret_borrow<py::tuple>(item);
        if (by_label.contains(pair[0])) by_label[pair[0]] = pair[1];
    }
    std::vector<py::object> found;
    for (py::handle name : names) {
        py::object column = by_label[name];
        if (column.is_none()) return std::nullopt;
        found.push_back(column);
    }
    return found;
}

// The float64 indicator columns of a frame that names each of them once; nothing
// when one is missing, repeated or of another dtype.
std::optional<std::vector<DoubleArray>> float64_columns(py::handle df, const features::Names& names) {
    auto columns = named_columns(df, names.indicator);
    if (!columns) return std::nullopt;
    std::vector<DoubleArray> values;
    for (const py::object& series : *columns) {
        auto column = float64_values(series);
        if (!column) return std::nullopt;
        values.push_back(std::move(*column));
    }
    return values;
}

// ---- Binned features ---------------------------------------------------------

// The frequency the frame pandas assembles keeps on its index, as a multiple
// of the time scale; 0 for none. Each chunk's bins run without a hole; their
// concatenation still runs regularly only when every chunk starts in the bin
// after the previous chunk's last one. Dropping the incomplete bins then takes
// the rest by position, which keeps a frequency when the bins left are evenly
// spaced: every k-th bin keeps k times the time scale.
std::int64_t kept_frequency(const kn::Bins& bins, const std::vector<std::size_t>& kept, std::int64_t width) {
    for (std::size_t b = 0; b + 1 < bins.size(); ++b) {
        const std::size_t first = bins.starts[b], next = bins.starts[b + 1];
        const bool chunk_ends_inside = (first / kChunkRows) != ((next - 1) / kChunkRows);
        const bool chunk_ends_here = next % kChunkRows == 0;
        if (chunk_ends_inside) return 0;  // the bin is cut by a chunk boundary
        if (chunk_ends_here && bins.labels[b + 1] != bins.labels[b] + width) return 0;
    }
    if (kept.size() < 2) return 1;
    const std::int64_t spacing = bins.labels[kept[1]] - bins.labels[kept[0]];
    for (std::size_t i = 2; i < kept.size(); ++i) {
        if (bins.labels[kept[i]] - bins.labels[kept[i - 1]] != spacing) return 0;
    }
    return spacing / width;
}

std::vector<std::size_t> complete_bins(const DoubleArray& statistics, std::size_t bins) {
    const std::size_t features = static_cast<std::size_t>(statistics.shape(0));
    const double* values = statistics.data();
    std::vector<std::size_t> kept;
    for (std::size_t b = 0; b < bins; ++b) {
        bool complete = true;
        for (std::size_t f = 0; f < features && complete; ++f) complete = !std::isnan(values[f * bins + b]);
        if (complete) kept.push_back(b);
    }
    return kept;
}

std::optional<py::object> binned_from_frame(const Module& m, py::handle df, const features::Names& names,
                                            py::handle time_scale) {
    if (!m.owns("safe_resample_max") || !m.owns("safe_resample_mean")) return std::nullopt;
    auto rows = sorted_rows(m, df);
    if (!rows) return std::nullopt;
    const auto width = features::bin_width(time_scale, rows->index_type);
    auto columns = float64_columns(df, names);
    if (!width || !columns) return std::nullopt;
    rows->column = [&columns](std::size_t j) { return (*columns)[j]; };
    return features::binned(m, *rows, names, *width, time_scale);
}

// ---- Rolling windows ------------------------------------------------------

// The windows one by one, with pandas computing each window's statistics.
py::object rolling_by_windows(const Module& m, py::handle df, const features::Names& names, py::handle window,
                              py::handle starts) {
    py::list results;
    std::vector<py::ssize_t> last_rows;
    py::object zip = builtin("zip");
    py::object index = df.attr("index");
    for (py::handle start : starts) {
        py::object end = py::reinterpret_borrow<py::object>(start) + py::reinterpret_borrow<py::object>(window);
        py::object sub = df.attr("iloc")[py::slice(start, end, py::none())];
        py::dict feat;
        feat.attr("update")(zip(names.max, sub[names.indicator].attr("max")().attr("values")));
        feat.attr("update")(zip(names.mean, sub[names.indicator].attr("mean")().attr("values")));
        if (truthy(names.time)) feat.attr("update")(zip(names.std, sub[names.time].attr("std")().attr("values")));
        results.append(feat);
        // Each window's last time is looked up as the window is made, so a
        // window that ends outside the frame (a window of no rows in an empty
        // frame, a window of minus many rows) fails at once with pandas'
        // IndexError instead of after running through every start.
        py::object last = end - py::int_(1);
        index.attr("__getitem__")(last);
        last_rows.push_back(last.cast<py::ssize_t>());
    }
    // The index: the time of each window's last row, taken from df's own index
    // so that its type, resolution, time zone and name carry over.
    return m.global("pd").attr("DataFrame")(results, "index"_a = index[positions_of(last_rows)]);
}

// A window length or step the kernel can take: a positive integer.
std::optional<py::ssize_t> positive_index(py::handle value) {
    const py::ssize_t n = PyNumber_AsSsize_t(value.ptr(), nullptr);  // saturates
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (n < 1) return std::nullopt;
    return n;
}

// The dtype pandas gives a frame column built from per-window scalars of
// `dtype` (pandas versions differ in whether they keep narrow scalar types).
py::object scalar_column_dtype(py::handle pd, py::handle np, py::handle dtype) {
    py::dict row;
    row[py::int_(0)] = np.attr("zeros")(1, dtype)[py::int_(0)];
    py::list rows;
    rows.append(row);
    return pd.attr("DataFrame")(rows).attr("dtypes").attr("iloc")[py::int_(0)];
}

// The kernel's results of one statistic as frame columns.
void add_columns(py::dict& data, const py::list& labels, const DoubleArray& values, py::handle dtype) {
    for (std::size_t j = 0; j < labels.size(); ++j) {
        data[labels[j]] = values[py::int_(j)].attr("astype")(dtype);
    }
}

// Windows of `length` rows every `step` rows as the kernel lays them out.
struct WindowPlan {
    std::size_t count, length, step;
    std::vector<py::ssize_t> last_rows() const {
        std::vector<py::ssize_t> rows(count);
        for (std::size_t w = 0; w < count; ++w) rows[w] = static_cast<py::ssize_t>(w * step + length - 1);
        return rows;
    }
};

// The plan of the windows of `starts` (a range), when the kernel takes them:
// positive lengths and steps, windows that end inside the frame.
std::optional<WindowPlan> window_plan(std::size_t rows, py::handle window, py::handle starts) {
    const auto length = positive_index(window);
    const auto step = positive_index(starts.attr("step"));
    if (!length || !step || rows == 0) return std::nullopt;
    const std::size_t count = py::len(starts);
    if (count == 0) return std::nullopt;
    if (starts[py::int_(-1)].cast<std::size_t>() + static_cast<std::size_t>(*length) > rows) return std::nullopt;
    return WindowPlan{count, static_cast<std::size_t>(*length), static_cast<std::size_t>(*step)};
}

// All windows in one native pass, columns converted to float64 for the kernel;
// the frame's columns get the dtypes pandas would give them.
py::object rolling_frame(const Module& m, const std::vector<NumericColumn>& columns, const py::list& column_dtypes,
                         const py::list& mean_dtypes, const features::Names& names, const WindowPlan& plan,
                         py::handle index) {
    py::object pd = m.global("pd");
    py::module_ np = py::module_::import("numpy");
    const std::size_t k = columns.size(), time_columns = py::len(names.time);
    const auto windows = static_cast<py::ssize_t>(plan.count);
    DoubleArray max({static_cast<py::ssize_t>(k), windows}), mean({static_cast<py::ssize_t>(k), windows}),
        std({static_cast<py::ssize_t>(time_columns), windows});
    std::vector<kn::Column> views;
    for (const NumericColumn& column : columns) views.push_back(column.view());
    {
        py::gil_scoped_release nogil;
        kn::window_moments(views, {plan.count, plan.length, plan.step}, mutable_span_of(max), mutable_span_of(mean),
                           mutable_span_of(std));
    }

    py::list labels = names.max + names.mean + names.std;
    if (std::all_of(columns.begin(), columns.end(), [](const NumericColumn& c) { return !c.single; }) &&
        std::all_of(column_dtypes.begin(), column_dtypes.end(),
                    [&](py::handle dtype) { return dtype.equal(np.attr("dtype")("float64")); })) {
        // Windows of float64 columns give float64 statistics: the three blocks
        // of statistics by window are the frame's one block.
        py::object block = np.attr("concatenate")(py::make_tuple(max, mean, std));
        return pd.attr("DataFrame")(block.attr("T"), "index"_a = index, "columns"_a = labels, "copy"_a = false);
    }
    // pandas reduces each window to one Series per statistic, in the common
    // type of the columns' results, then builds the frame from those scalars.
    auto frame_dtype = [&](py::handle dtypes) {
        return scalar_column_dtype(pd, np, np.attr("result_type")(*py::reinterpret_borrow<py::object>(dtypes)));
    };
    py::dict data;
    add_columns(data, names.max, max, frame_dtype(column_dtypes));
    add_columns(data, names.mean, mean, frame_dtype(mean_dtypes));
    if (time_columns > 0) {
        add_columns(data, names.std, std,
                    frame_dtype(mean_dtypes[py::slice(0, static_cast<py::ssize_t>(time_columns), 1)]));
    }
    return pd.attr("DataFrame")(data, "index"_a = index);
}

// All windows of a frame in one native pass. Nothing when a column or an
// argument is outside what the kernel reproduces; pandas then takes the
// windows one by one.
std::optional<py::object> rolling_by_kernel(const Module& m, py::handle df, const features::Names& names,
                                            py::handle window, py::handle starts) {
    const auto plan = window_plan(py::len(df), window, starts);
    // A list of time-domain names makes the indicator list start with them.
    if (!plan || !PyList_CheckExact(names.time.ptr())) return std::nullopt;
    // The selection raises pandas' own error for a missing column; more
    // columns than names means that df repeats a name.
    py::object selected = df.attr("iloc")[py::slice(0, 0, 1)][names.indicator];
    if (py::len(selected.attr("columns")) != py::len(names.indicator)) return std::nullopt;
    py::object pd = m.global("pd");
    py::module_ np = py::module_::import("numpy");
    const auto series_list = named_columns(df, names.indicator);
    if (!series_list) return std::nullopt;
    py::list column_dtypes, mean_dtypes;
    std::vector<NumericColumn> columns;
    for (const py::object& series : *series_list) {
        auto column = py::isinstance(series, pd.attr("Series")) ? numeric_column(series) : std::nullopt;
        if (!column) return std::nullopt;
        column_dtypes.append(series.attr("dtype"));
        mean_dtypes.append(np.attr(column->single ? "float32" : "float64"));
        columns.push_back(std::move(*column));
    }
    py::object index = df.attr("index")[positions_of(plan->last_rows())];
    return rolling_frame(m, columns, column_dtypes, mean_dtypes, names, *plan, index);
}

// A window longer than the data shrinks to the whole frame; windows start
// every `step` rows and must fit.
std::pair<py::object, py::object> window_starts(std::size_t rows, py::handle window, py::handle step) {
    py::object length = builtin("min")(window, rows);
    py::object starts = builtin("range")(0, py::int_(rows) - length + py::int_(1), step);
    return {length, starts};
}

py::object without_incomplete_rows(py::handle frame) {
    return frame.attr("dropna")("axis"_a = "index", "how"_a = "any");
}

}  // namespace

namespace features {

Names Names::of(py::handle indicator_col_name) {
    py::object time = indicator_col_name.attr("time");
    py::object frequency = indicator_col_name.attr("frequency");
    py::object fail_mode = indicator_col_name.attr("fail_mode");
    py::object indicator = time + frequency + fail_mode;
    return {time, indicator, suffixed(indicator, "_max"), suffixed(indicator, "_mean"), suffixed(time, "_std")};
}

std::optional<Names> plain_names(py::handle indicator_col_name) {
    for (const char* family : {"time", "frequency", "fail_mode"}) {
        if (!py::hasattr(indicator_col_name, family) || !PyList_CheckExact(indicator_col_name.attr(family).ptr())) {
            return std::nullopt;
        }
    }
    Names names = Names::of(indicator_col_name);
    if (py::len(py::set(names.indicator)) != py::len(names.indicator)) return std::nullopt;
    return names;
}

std::optional<std::int64_t> bin_width(py::handle time_scale, py::handle index_type) {
    std::int64_t seconds = 0;
    if (PyUnicode_CheckExact(time_scale.ptr()) && is_text(time_scale, "min")) seconds = 60;
    if (PyUnicode_CheckExact(time_scale.ptr()) && is_text(time_scale, "h")) seconds = 3600;
    if (seconds == 0) return std::nullopt;
    const std::string unit = text(py::module_::import("numpy").attr("datetime_data")(index_type)[py::int_(0)]);
    const std::optional<std::int64_t> per_second = kn::units_per_second(unit);
    if (!per_second) return std::nullopt;
    return seconds * *per_second;
}

py::object binned(const Module& m, const SortedRows& rows, const Names& names, std::int64_t width,
                  py::handle time_scale) {
    const std::size_t p = py::len(names.indicator), t = py::len(names.time);
    kn::Bins bins;
    {
        py::gil_scoped_release nogil;
        bins = kn::cut_sorted_times(span_of(rows.times), width);
    }
    const std::size_t n = bins.size();
    std::vector<DoubleArray> indicator_columns;
    std::vector<const double*> indicator_values;
    for (std::size_t j = 0; j < p; ++j) {
        indicator_columns.push_back(rows.column(j));
        if (static_cast<std::size_t>(indicator_columns.back().size()) != rows.length()) {
            raise(PyExc_ValueError, "an indicator column does not have one value per row");
        }
        indicator_values.push_back(indicator_columns.back().data());
    }
    DoubleArray statistics({static_cast<py::ssize_t>(2 * p + t), static_cast<py::ssize_t>(n)});
    auto block = [&](std::size_t first, std::size_t count) {
        return std::span<double>(statistics.mutable_data() + first * n, count * n);
    };
    {
        py::gil_scoped_release nogil;
        kn::bin_moments(indicator_values, bins, kChunkRows, t, block(0, p), block(p, p), block(2 * p, t));
    }
    const std::vector<std::size_t> kept = complete_bins(statistics, n);
    Int64Array labels(static_cast<py::ssize_t>(kept.size()));
    std::vector<py::ssize_t> kept_positions(kept.begin(), kept.end());
    for (std::size_t i = 0; i < kept.size(); ++i) labels.mutable_at(static_cast<py::ssize_t>(i)) = bins.labels[kept[i]];
    const std::int64_t multiple = kept_frequency(bins, kept, width);
    py::object freq = py::none();
    if (multiple == 1) freq = py::reinterpret_borrow<py::object>(time_scale);
    if (multiple > 1) freq = py::str(std::to_string(multiple)) + py::reinterpret_borrow<py::object>(time_scale);
    py::object index = time_index(m, labels, rows, freq);
    // One block of features by bins, whole (no copy) when every bin is complete.
    py::object values = statistics.attr("T");
    if (kept.size() < n) values = values[positions_of(kept_positions)];
    py::list columns = names.max + names.mean + names.std;
    return m.global("pd").attr("DataFrame")(values, "index"_a = index, "columns"_a = columns, "copy"_a = false);
}

std::optional<py::object> rolling(const Module& m, const SortedRows& rows, const Names& names, py::handle window,
                                  py::handle step) {
    auto [length, starts] = window_starts(rows.length(), window, step);
    const auto plan = window_plan(rows.length(), length, starts);
    if (!plan) return std::nullopt;
    py::module_ np = py::module_::import("numpy");
    py::list column_dtypes, mean_dtypes;
    std::vector<NumericColumn> columns;
    for (std::size_t j = 0; j < py::len(names.indicator); ++j) {
        columns.push_back({rows.column(j), false});
        column_dtypes.append(np.attr("float64"));
        mean_dtypes.append(np.attr("float64"));
    }
    const std::vector<py::ssize_t> last_rows = plan->last_rows();
    Int64Array last_times(static_cast<py::ssize_t>(last_rows.size()));
    for (std::size_t w = 0; w < last_rows.size(); ++w) {
        last_times.mutable_at(static_cast<py::ssize_t>(w)) = rows.times.at(last_rows[w]);
    }
    py::object frame = rolling_frame(m, columns, column_dtypes, mean_dtypes, names, *plan,
                                     time_index(m, last_times, rows));
    return without_incomplete_rows(frame);
}

}  // namespace features

py::object safe_resample_max(const Module& m, py::object df, py::object indicator_name, py::object time_scale,
                             py::object chunk_size) {
    py::list result;
    for_each_chunk(df, chunk_size, [&](py::object chunk) {
        result.append(chunk[indicator_name].attr("resample")(time_scale).attr("max")());
    });
    // A bin cut by a chunk boundary appears once per chunk.
    return m.global("pd").attr("concat")(result).attr("groupby")("level"_a = 0).attr("max")();
}

py::object safe_resample_mean(const Module&, py::object df, py::object indicator_name, py::object time_scale,
                              py::object chunk_size) {
    py::module_ pd = py::module_::import("pandas");
    if (!py::isinstance(df.attr("index"), pd.attr("DatetimeIndex"))) {
        raise(PyExc_ValueError, "df.index 必須是 DatetimeIndex");
    }
    if (py::isinstance<py::str>(indicator_name)) {
        py::list single;
        single.append(indicator_name);
        indicator_name = single;
    }

    // Chunk means are recombined through count-weighted sums, never averaged.
    py::object weighted_sum = py::none(), count_sum = py::none();
    for_each_chunk(df, chunk_size, [&](py::object chunk) {
        py::object resampled = chunk[indicator_name].attr("resample")(time_scale).attr("mean")();
        py::object count = chunk[indicator_name].attr("resample")(time_scale).attr("count")();
        if (weighted_sum.is_none()) {
            weighted_sum = resampled * count;
            count_sum = count;
        } else {
            weighted_sum = weighted_sum.attr("add")(resampled * count, "fill_value"_a = 0);
            count_sum = count_sum.attr("add")(count, "fill_value"_a = 0);
        }
    });
    return weighted_sum / count_sum;
}

py::object feature_extraction(const Module& m, py::object df, py::object indicator_col_name, py::object time_scale) {
    // Plain records over float64 columns of a sorted minute- or hour-binned
    // frame go through the kernel in one pass; everything else through the
    // chunked resampling.
    if (auto names = features::plain_names(indicator_col_name)) {
        if (auto features = binned_from_frame(m, df, *names, time_scale)) {
            return py::make_tuple(*features, indicator_col_name);
        }
    }
    const features::Names names = features::Names::of(indicator_col_name);
    py::object df_max = m.call("safe_resample_max", df, names.indicator, time_scale);
    df_max.attr("columns") = names.max;
    py::object df_mean = m.call("safe_resample_mean", df, names.indicator, time_scale);
    df_mean.attr("columns") = names.mean;
    py::object df_std = df[names.time].attr("resample")(time_scale).attr("std")();
    df_std.attr("columns") = names.std;
    py::list parts;
    parts.append(df_max);
    parts.append(df_mean);
    parts.append(df_std);
    py::object df_features = m.global("pd").attr("concat")(parts, "axis"_a = 1);
    // Empty bins, and bins of one row (no deviation), are dropped.
    return py::make_tuple(without_incomplete_rows(df_features), indicator_col_name);
}

py::object feature_extraction_rolling(const Module& m, py::object df, py::object indicator_col_name,
                                      py::object window, py::object step) {
    const features::Names names = features::Names::of(indicator_col_name);
    auto [length, starts] = window_starts(py::len(df), window, step);
    std::optional<py::object> df_features = rolling_by_kernel(m, df, names, length, starts);
    if (!df_features) df_features = rolling_by_windows(m, df, names, length, starts);
    return py::make_tuple(without_incomplete_rows(*df_features), indicator_col_name);
}

}  // namespace algo::hi

#include "features.hpp"

#include "core/arrays.hpp"
#include "core/kernels/window_moments.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace algo::hi {

namespace {

// The indicator columns of a family record and the names of their features.
struct FeatureNames {
    py::object time;       // time-domain columns, the only ones with a deviation
    py::object indicator;  // time + frequency + fail_mode
    py::list max, mean, std;
};

py::list suffixed(py::handle names, const char* suffix) {
    py::list out;
    const py::str tail(suffix);
    for (py::handle name : names) out.append(py::reinterpret_borrow<py::object>(name) + tail);
    return out;
}

FeatureNames feature_names(py::handle indicator_col_name) {
    py::object time = indicator_col_name.attr("time");
    py::object frequency = indicator_col_name.attr("frequency");
    py::object fail_mode = indicator_col_name.attr("fail_mode");
    py::object indicator = time + frequency + fail_mode;
    return {time, indicator, suffixed(indicator, "_max"), suffixed(indicator, "_mean"), suffixed(time, "_std")};
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

// ---- Rolling windows ------------------------------------------------------

// The rolling frame's index: the time of each window's last row, taken from
// df's own index so that its type, resolution, time zone and name carry over.
py::object window_index(py::handle df, const std::vector<py::ssize_t>& last_rows) {
    py::array_t<py::ssize_t> positions(static_cast<py::ssize_t>(last_rows.size()));
    std::copy(last_rows.begin(), last_rows.end(), positions.mutable_data());
    return df.attr("index")[positions];
}

// The windows one by one, with pandas computing each window's statistics.
py::object rolling_by_windows(const Module& m, py::handle df, const FeatureNames& names, py::handle window,
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
    return m.global("pd").attr("DataFrame")(results, "index"_a = window_index(df, last_rows));
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

// All windows in one native pass. Nothing when a column or an argument is
// outside what the kernel reproduces; pandas then takes the windows one by one.
std::optional<py::object> rolling_by_kernel(const Module& m, py::handle df, const FeatureNames& names,
                                            py::handle window, py::handle starts) {
    const auto length = positive_index(window);
    const auto step = positive_index(starts.attr("step"));
    if (!length || !step) return std::nullopt;
    const std::size_t rows = py::len(df), count = py::len(starts);
    // A list of time-domain names makes the indicator list start with them.
    if (rows == 0 || count == 0 || !PyList_CheckExact(names.time.ptr())) return std::nullopt;
    // The window starts are those of `starts`; the last window must end inside the frame.
    if (starts[py::int_(-1)].cast<std::size_t>() + static_cast<std::size_t>(*length) > rows) return std::nullopt;
    // The selection raises pandas' own error for a missing column; more
    // columns than names means that df repeats a name.
    py::object selected = df.attr("iloc")[py::slice(0, 0, 1)][names.indicator];
    if (py::len(selected.attr("columns")) != py::len(names.indicator)) return std::nullopt;
    py::object pd = m.global("pd");
    py::module_ np = py::module_::import("numpy");
    py::list column_dtypes, mean_dtypes;
    std::vector<NumericColumn> columns;
    for (py::handle name : names.indicator) {
        py::object series = df[name];
        auto column = py::isinstance(series, pd.attr("Series")) ? numeric_column(series) : std::nullopt;
        if (!column) return std::nullopt;
        column_dtypes.append(series.attr("dtype"));
        mean_dtypes.append(np.attr(column->single ? "float32" : "float64"));
        columns.push_back(std::move(*column));
    }

    const std::size_t k = columns.size(), time_columns = py::len(names.time);
    const auto windows = static_cast<py::ssize_t>(count);
    DoubleArray max({static_cast<py::ssize_t>(k), windows}), mean({static_cast<py::ssize_t>(k), windows}),
        std({static_cast<py::ssize_t>(time_columns), windows});
    std::vector<kernels::Column> views;
    for (const NumericColumn& column : columns) views.push_back(column.view());
    {
        py::gil_scoped_release nogil;
        kernels::window_moments(views, {count, static_cast<std::size_t>(*length), static_cast<std::size_t>(*step)},
                                mutable_span_of(max), mutable_span_of(mean), mutable_span_of(std));
    }

    // pandas reduces each window to one Series per statistic, in the common
    // type of the columns' results, then builds the frame from those scalars.
    auto frame_dtype = [&](py::handle dtypes) {
        return scalar_column_dtype(pd, np, np.attr("result_type")(*py::reinterpret_borrow<py::object>(dtypes)));
    };
    py::dict data;
    add_columns(data, names.max, max, frame_dtype(column_dtypes));
    add_columns(data, names.mean, mean, frame_dtype(mean_dtypes));
    if (time_columns > 0) add_columns(data, names.std, std, frame_dtype(mean_dtypes[py::slice(0, time_columns, 1)]));

    std::vector<py::ssize_t> last_rows(count);
    for (std::size_t w = 0; w < count; ++w) last_rows[w] = static_cast<py::ssize_t>(w) * *step + *length - 1;
    return pd.attr("DataFrame")(data, "index"_a = window_index(df, last_rows));
}

}  // namespace

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
    const FeatureNames names = feature_names(indicator_col_name);
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
    df_features = df_features.attr("dropna")("axis"_a = "index", "how"_a = "any");
    return py::make_tuple(df_features, indicator_col_name);
}

py::object feature_extraction_rolling(const Module& m, py::object df, py::object indicator_col_name,
                                      py::object window, py::object step) {
    const FeatureNames names = feature_names(indicator_col_name);
    // A window longer than the data shrinks to the whole frame.
    window = builtin("min")(window, py::len(df));
    py::object starts = builtin("range")(0, py::int_(py::len(df)) - window + py::int_(1), step);
    std::optional<py::object> df_features = rolling_by_kernel(m, df, names, window, starts);
    if (!df_features) df_features = rolling_by_windows(m, df, names, window, starts);
    py::object complete = df_features->attr("dropna")("axis"_a = "index", "how"_a = "any");
    return py::make_tuple(complete, indicator_col_name);
}

}  // namespace algo::hi

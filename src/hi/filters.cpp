#include "filters.hpp"

#include "core/arrays.hpp"
#include "core/kernels/bin_iqr_filter.hpp"
#include "core/kernels/quantiles.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace algo::hi {

namespace {

// Python's `item in container`.
bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// ---- Per-minute outliers ----------------------------------------------------

// Every calendar minute filtered by pandas, one column after the other.
py::object per_minute_by_groups(const Module& m, py::handle frame, py::handle exclude_cols, py::handle iqr_k) {
    py::object pd = m.global("pd");
    py::object k = py::reinterpret_borrow<py::object>(iqr_k);
    py::list cleaned;
    for (py::handle item : frame.attr("groupby")(pd.attr("Grouper")("freq"_a = "1min"))) {
        py::object group = item[py::int_(1)];
        py::object group_clean = group.attr("copy")();
        for (py::handle col : group.attr("columns")) {
            if (contains(exclude_cols, col)) continue;
            py::object q1 = group[col].attr("quantile")(0.25);
            py::object q3 = group[col].attr("quantile")(0.75);
            py::object iqr = q3 - q1;
            py::object lower = q1 - k * iqr;
            py::object upper = q3 + k * iqr;
            py::object above = ge(group_clean[col], lower);
            py::object below = le(group_clean[col], upper);
            group_clean = group_clean[above & below];
        }
        cleaned.append(group_clean);
    }
    return pd.attr("concat")(cleaned).attr("sort_index")().attr("reset_index")();
}

// The fence factor when numpy would use it as a plain float64 (a Python float,
// or an int that float64 holds exactly).
std::optional<double> plain_factor(py::handle iqr_k) {
    if (PyFloat_CheckExact(iqr_k.ptr())) return PyFloat_AS_DOUBLE(iqr_k.ptr());
    if (!PyLong_CheckExact(iqr_k.ptr())) return std::nullopt;
    const double k = PyLong_AsDouble(iqr_k.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!(std::fabs(k) < 9007199254740992.0)) return std::nullopt;
    return k;
}

// The calendar minutes of `index` as pandas' Grouper cuts them: bins of one
// minute counted from midnight of the first day.
kernels::TimeBins minute_bins(py::handle pd, py::handle index, const Int64Array& times) {
    py::object unit = index.attr("unit");
    py::object origin = index.attr("min")().attr("normalize")().attr("as_unit")(unit);
    const py::object one_unit = pd.attr("Timedelta")(1, "unit"_a = unit);
    return {span_of(times), origin.attr("asm8").attr("astype")("int64").cast<std::int64_t>(),
            pd.attr("Timedelta")("minutes"_a = 1).attr("__floordiv__")(one_unit).cast<std::int64_t>(),
            std::numeric_limits<std::int64_t>::min()};
}

// All minutes in one native pass. Nothing when a column or an argument is
// outside what the kernel reproduces; pandas then filters minute by minute.
std::optional<py::object> per_minute_by_kernel(const Module& m, py::handle frame, py::handle exclude_cols,
                                               py::handle iqr_k) {
    py::object pd = m.global("pd");
    py::object index = frame.attr("index");
    const auto k = plain_factor(iqr_k);
    if (!k || !py::isinstance(index, pd.attr("DatetimeIndex")) || !truthy(index.attr("notna")().attr("any")()) ||
        !truthy(frame.attr("columns").attr("is_unique"))) {
        return std::nullopt;
    }
    std::vector<NumericColumn> columns;
    py::object labels = frame.attr("columns");
    for (std::size_t j = 0; j < py::len(labels); ++j) {
        if (contains(exclude_cols, labels[py::int_(j)])) continue;
        auto column = numeric_column(frame.attr("iloc")[py::make_tuple(py::slice(), j)]);
        if (!column) return std::nullopt;
        columns.push_back(std::move(*column));
    }
    const Int64Array times = as_int64s(index.attr("asi8"));
    const kernels::TimeBins bins = minute_bins(pd, index, times);

    std::vector<kernels::Column> views;
    for (const NumericColumn& column : columns) views.push_back(column.view());
    std::vector<std::size_t> kept;
    {
        py::gil_scoped_release nogil;
        kept = kernels::bin_iqr_filter(bins, views, *k);
    }
    py::array_t<py::ssize_t> positions(static_cast<py::ssize_t>(kept.size()));
    std::copy(kept.begin(), kept.end(), positions.mutable_data());
    return frame.attr("take")(positions).attr("reset_index")();
}

// ---- Low resolution ---------------------------------------------------------

// The 75th percentile of a column's numeric values, rounded to 4 decimals;
// None when the column cannot be read as numbers.
py::object rounded_q3(const Module& m, py::handle df, py::handle col) {
    try {
        py::object s = m.global("pd").attr("to_numeric")(df[col], "errors"_a = "coerce").attr("dropna")();
        py::object q3_val = s.attr("quantile")(0.75);
        return builtin("round")(q3_val, 4);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

}  // namespace

py::object time_filter(const Module&, py::object df, py::object /*datetime_name*/, py::object sec_count) {
    py::object hourly_counts = df.attr("resample")("1h").attr("size")();
    py::object below_sec_count = hourly_counts[lt(hourly_counts, sec_count)];
    py::object thin = df.attr("index").attr("floor")("h").attr("isin")(below_sec_count.attr("index"));
    return df[~thin];
}

py::object drop_outliers_by_min(const Module& m, py::object df, py::object time_col, py::object exclude_cols,
                                py::object iqr_k) {
    if (exclude_cols.is_none()) {
        py::list time_only;
        time_only.append(time_col);
        exclude_cols = time_only;
    }
    py::object frame = df.attr("copy")();
    set_column(frame, time_col, m.global("pd").attr("to_datetime")(frame[time_col]));
    frame = frame.attr("set_index")(time_col);
    if (auto result = per_minute_by_kernel(m, frame, exclude_cols, iqr_k)) return *result;
    return per_minute_by_groups(m, frame, exclude_cols, iqr_k);
}

py::object low_resolution(const Module& m, py::object df) {
    // The Q3 of float64 columns is found natively, that of any other column
    // by pandas' own conversion and quantile.
    py::object columns = df.attr("columns");
    const bool native = m.binds("pd", "pandas") && truthy(columns.attr("is_unique"));
    std::vector<std::optional<DoubleArray>> values;
    std::vector<DoubleArray> float64;
    for (py::handle col : columns) {
        values.push_back(native ? float64_values(df[col]) : std::nullopt);
        if (values.back()) float64.push_back(*values.back());
    }
    const py::list native_q3 = filters::rounded_q3_of(float64);
    py::list q3;
    py::ssize_t next = 0, j = 0;
    for (py::handle col : columns) q3.append(values[j++] ? native_q3[next++] : rounded_q3(m, df, col));
    return filters::low_resolution_by_q3(m, columns, q3);
}

namespace filters {

py::object low_resolution_by_q3(const Module& m, py::handle labels, py::list q3) {
    // A frame without columns has no low-resolution column (and no Q3 to
    // look at).
    if (py::len(labels) == 0) return py::list();
    py::list results;
    py::ssize_t j = 0;
    for (py::handle col : labels) {
        py::dict record;
        record["Column"] = col;
        record["Q3"] = q3[j++];
        results.append(record);
    }
    py::object df_check = m.global("pd").attr("DataFrame")(results);
    py::object q3_column = df_check[py::str("Q3")];

    // When every column is small the threshold follows the largest of them,
    // so that a uniformly low-scaled data set is not emptied.
    py::object q3_th = py::float_(0.01);
    if (truthy(lt(q3_column, q3_th).attr("all")())) q3_th = q3_column.attr("max")() * py::float_(0.8);

    py::list low;
    for (py::handle value : q3_column.attr("tolist")()) {
        low.append(py::bool_(!value.is_none() && truthy(lt(value, q3_th))));
    }
    return df_check.attr("loc")[py::make_tuple(low, "Column")].attr("tolist")();
}

py::list rounded_q3_of(const std::vector<DoubleArray>& columns) {
    std::vector<double> q3(columns.size());
    {
        py::gil_scoped_release nogil;
        for (std::size_t j = 0; j < columns.size(); ++j) q3[j] = kernels::quantile(span_of(columns[j]), 0.75);
    }
    // pandas gives the quantile as numpy's float64, whose rounding is numpy's
    // (scaled, rounded to even, scaled back), not Python's exact one.
    py::object float64 = py::module_::import("numpy").attr("float64");
    py::object round = builtin("round");
    py::list rounded;
    for (double value : q3) rounded.append(round(float64(value), 4));
    return rounded;
}

}  // namespace filters

}  // namespace algo::hi

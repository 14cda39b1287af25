#include "alarms.hpp"

#include "core/arrays.hpp"
#include "core/kernels/ranking.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace algo::hi {

namespace {

// --- SPE report ---------------------------------------------------------------

// How many entries `head(top_k)` keeps of `available` (a negative count drops
// that many from the end).
py::ssize_t head_length(py::handle top_k, py::ssize_t available) {
    const py::ssize_t n = PyNumber_AsSsize_t(top_k.ptr(), nullptr);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n >= 0 ? std::min(n, available) : std::max<py::ssize_t>(available + n, 0);
}

py::str rank_key(std::size_t rank, const char* field) { return py::str("Top" + std::to_string(rank) + field); }

// The report of alarms whose squared residuals are the rows of `squared`,
// ranked natively; `Time` goes through a column, as in a frame built from
// report rows, so the index carries the times' dtype and no frequency.
py::object ranked_report(const Module& m, py::handle alarm_times, py::handle features, const DoubleArray& squared,
                         py::ssize_t keep) {
    const py::ssize_t n = squared.shape(0);
    py::array_t<std::int64_t> positions(std::vector<py::ssize_t>{keep, n});
    DoubleArray values(std::vector<py::ssize_t>{keep, n});
    {
        py::gil_scoped_release nogil;
        kernels::largest_per_row(span_of(squared), static_cast<std::size_t>(squared.shape(1)),
                                 static_cast<std::size_t>(keep),
                                 {positions.mutable_data(), static_cast<std::size_t>(positions.size())},
                                 mutable_span_of(values));
    }
    py::dict data;
    data["Time"] = alarm_times;
    for (py::ssize_t i = 0; i < keep; ++i) {
        const auto rank = static_cast<std::size_t>(i + 1);
        data[rank_key(rank, "_Var")] = features.attr("take")(positions[py::int_(i)]).attr("tolist")();
        data[rank_key(rank, "_Contrib")] = values[py::int_(i)];
    }
    return m.global("pd").attr("DataFrame")(data).attr("set_index")("Time");
}

// Row positions of the alarm times in `residual_df` when the native ranking
// gives what pandas gives: float64 residuals under a unique index holding
// every alarm time. Otherwise the pandas formulation runs, and reports a
// missing time or other dtypes the pandas way.
std::optional<py::object> residual_rows(const Module& m, py::handle residual_df, py::handle alarm_times) {
    py::object np = m.global("np");
    py::object float64 = np.attr("dtype")("float64");
    for (py::handle dtype : residual_df.attr("dtypes")) {
        if (!truthy(eq(dtype, float64))) return std::nullopt;
    }
    py::object index = residual_df.attr("index");
    if (!truthy(index.attr("is_unique"))) return std::nullopt;
    py::object positions = index.attr("get_indexer")(alarm_times);
    if (truthy(np.attr("any")(lt(positions, py::int_(0))))) return std::nullopt;
    return positions;
}

// The report row by row in pandas, for the residual frames `residual_rows`
// leaves out.
py::object pandas_report(const Module& m, py::handle alarm_times, py::handle residual_df, py::handle top_k) {
    py::list rows;
    for (py::handle time : alarm_times) {
        py::object squared = power(residual_df.attr("loc")[time], py::int_(2));
        py::object top = squared.attr("sort_values")("ascending"_a = false).attr("head")(top_k);
        py::dict row;
        row["Time"] = time;
        std::size_t rank = 1;
        for (py::handle item : top.attr("items")()) {
            row[rank_key(rank, "_Var")] = item[py::int_(0)];
            row[rank_key(rank, "_Contrib")] = item[py::int_(1)];
            ++rank;
        }
        rows.append(row);
    }
    return m.global("pd").attr("DataFrame")(rows).attr("set_index")("Time");
}

// --- T² attribution -------------------------------------------------------------

// Each feature's share of the sample's score on the component that dominates
// its T²: one table row per feature, largest absolute contribution first.
py::object variable_contributions(const Module& m, py::handle df_scaled, py::handle pca, py::handle data_pca,
                                  py::handle df_columns, py::handle sample_index) {
    py::object np = m.global("np");
    py::object x = df_scaled.attr("iloc")[sample_index];
    py::object loadings = pca.attr("components_").attr("T");
    py::object scores = data_pca[sample_index];
    py::object shares = power(scores, py::int_(2)) / pca.attr("explained_variance_");
    py::object dominant = np.attr("argmax")(shares);
    py::object contribution = x * loadings[py::make_tuple(py::slice(py::none(), py::none(), py::none()), dominant)];
    py::dict table;
    table["Variable"] = df_columns;
    table["Contribution"] = contribution;
    table["AbsContribution"] = np.attr("abs")(contribution);
    return m.global("pd").attr("DataFrame")(table).attr("sort_values")("by"_a = "AbsContribution",
                                                                         "ascending"_a = false);
}

// The measurement a feature was extracted from: X_Overall_max -> X_Overall.
py::object base_feature_name(py::object name) {
    for (const char* suffix : {"_max", "_mean", "_std"}) {
        if (truthy(name.attr("endswith")(suffix))) {
            const auto length = static_cast<py::ssize_t>(std::char_traits<char>::length(suffix));
            return name[py::slice(py::none(), py::int_(-length), py::none())];
        }
    }
    return name;
}

// --- bad health-index zones --------------------------------------------------------

// The method is checked before the score is read, so a bad method is reported
// as such whatever the frame holds.
py::object lower_envelope(py::handle frame, py::handle window, py::handle method, py::handle param) {
    const bool quantile = is_text(method, "quantile");
    if (!quantile && !is_text(method, "min")) {
        raise(PyExc_ValueError, "envelope_method 必須是 'quantile' 或 'min'");
    }
    py::object rolling = frame[py::str("Score")].attr("rolling")("window"_a = window, "center"_a = false);
    return quantile ? rolling.attr("quantile")(param) : rolling.attr("min")();
}

py::tuple interval(py::handle times, py::ssize_t first, py::ssize_t last) {
    py::object start = times[py::int_(first)];
    py::object end = times[py::int_(last)];
    return py::make_tuple(start, end);
}

}  // namespace

py::object find_T2_abnormal_times(const Module&, py::object T2, py::object ucl) {
    return T2[gt(T2[py::str("tsquare")], ucl)].attr("index");
}

py::object find_SPE_abnormal_times(const Module& m, py::object spe_df, py::object spe_ucl, py::object residual_df,
                                   py::object top_k) {
    py::object alarm_times = spe_df[gt(spe_df[py::str("SPE")], spe_ucl)].attr("index");
    py::object features = residual_df.attr("columns");
    py::object report;
    if (py::len(alarm_times) == 0) {
        // A healthy machine has no SPE alarm: an empty report, not an error.
        const auto p = static_cast<py::ssize_t>(py::len(features));
        const py::ssize_t keep = head_length(top_k, p);
        report = ranked_report(m, alarm_times, features, DoubleArray(std::vector<py::ssize_t>{0, p}), keep);
    } else if (auto rows = residual_rows(m, residual_df, alarm_times)) {
        py::object np = m.global("np");
        py::object alarm_residuals = np.attr("take")(residual_df.attr("to_numpy")(), *rows, "axis"_a = 0);
        DoubleArray squared = as_doubles(power(alarm_residuals, py::int_(2)));
        const py::ssize_t keep = head_length(top_k, squared.shape(1));
        report = ranked_report(m, alarm_times, features, squared, keep);
    } else {
        report = pandas_report(m, alarm_times, residual_df, top_k);
    }
    return py::make_tuple(alarm_times, report);
}

py::object analyze_T2_anomalies(const Module& m, py::object df_scaled_test, py::object df_pca_test, py::object df_test,
                                py::object df_health_test, py::object pca, py::object ucl, py::object) {
    py::object alarms = df_health_test[gt(df_health_test[py::str("tsquare")], ucl)];
    if (truthy(alarms.attr("empty"))) return py::none();
    py::object first_alarm = alarms.attr("index")[py::int_(0)];
    py::object position = df_health_test.attr("index").attr("get_loc")(first_alarm);
    py::object table =
        variable_contributions(m, df_scaled_test, pca, df_pca_test, df_test.attr("columns"), position);
    return base_feature_name(table[py::str("Variable")].attr("iloc")[py::int_(0)]);
}

py::object detect_bad_HI_zone(const Module& m, py::object df, py::object threshold, py::object envelope_window,
                              py::object envelope_method, py::object envelope_param, py::object density_window,
                              py::object density_threshold) {
    py::object frame = df.attr("copy")();
    set_column(frame, py::str("envelope"), lower_envelope(frame, envelope_window, envelope_method, envelope_param));
    set_column(frame, py::str("is_low"), lt(frame[py::str("envelope")], threshold));
    set_column(frame, py::str("rolling_density"),
               frame[py::str("is_low")].attr("rolling")("window"_a = density_window, "center"_a = true).attr("mean")());
    set_column(frame, py::str("alert"), ge(frame[py::str("rolling_density")], density_threshold));
    py::object alert_index = frame.attr("index")[frame[py::str("alert")].attr("to_numpy")()];
    return m.call("group_alert_times", py::list(alert_index), "window"_a = envelope_window);
}

py::object group_alert_times(const Module& m, py::object alert_times, py::object window) {
    py::list intervals;
    if (!truthy(alert_times)) return intervals;
    py::object pd = m.global("pd");
    py::object times = pd.attr("to_datetime")(alert_times).attr("sort_values")();
    const auto n = static_cast<py::ssize_t>(py::len(times));
    py::ssize_t start = 0;
    if (n > 1) {
        // Interval ends are the times followed by a gap longer than the window.
        py::object gaps = times[py::slice(1, n, 1)] - times[py::slice(0, n - 1, 1)];
        py::object longer = gt(gaps, pd.attr("Timedelta")(window));
        const py::array_t<std::int64_t, py::array::forcecast> ends(m.global("np").attr("flatnonzero")(longer));
        for (const std::int64_t end : std::span<const std::int64_t>(ends.data(), ends.size())) {
            intervals.append(interval(times, start, static_cast<py::ssize_t>(end)));
            start = static_cast<py::ssize_t>(end) + 1;
        }
    }
    intervals.append(interval(times, start, n - 1));
    return intervals;
}

}  // namespace algo::hi

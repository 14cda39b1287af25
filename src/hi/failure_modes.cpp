#include "failure_modes.hpp"

#include "core/blas_threads.hpp"
#include "core/status.hpp"
#include "stages.hpp"
#include "pipeline_steps.hpp"

#include <cmath>

namespace algo::hi {

namespace {

constexpr const char* kTimeColumn = "_time";

// --- failure deadline learning ---------------------------------------------

// What one failure recording says about the deadline: the first quartile of
// its T² and the health score of that quartile.
struct FailureQuartile {
    py::object t_square, score;
};

FailureQuartile score_failure_recording(const Module& m, py::object df, py::handle dictionary, py::handle time_col,
                                        const config::Settings& settings, status::Progress& progress) {
    auto stored = [&](const char* key) { return py::object(dictionary[py::str(key)]); };

    progress.enter(stages::training::kCompression);
    Rows rows = Rows::compressed(m, df, time_col);

    progress.enter(stages::training::kColumns);
    const py::list required = steps::model_columns(time_col, stored("indicator_col_name"));
    const py::list available = steps::present(required, rows.numeric_labels(time_col));
    rows.select(available);
    if (available.size() < required.size()) progress.notice(status::kNoteFeatureMismatch);
    if (settings.testing_outlier_removal == config::Switch::on) rows = Rows::of(m.call("drop_outliers_by_min", rows.frame(), time_col));
    rows.parse_times(m, time_col);
    rows.index_by_time(time_col);

    progress.enter(stages::training::kExtraction);
    const steps::Extraction extraction = steps::scoring_extraction(settings.features);
    Local features("features");
    if (extraction.kind != steps::Extraction::Kind::none) {
        Local record("indicator_col_name", stored("indicator_col_name"));
        features = steps::extract(m, extraction, rows, record, Local("time_scale", stored("time_scale")), time_col);
    }

    progress.enter(stages::training::kScaling);
    const Local df_scaled = steps::apply_scaling(m, settings.scaling, features.get(), stored("scaler"));

    progress.enter(stages::training::kModel);
    if (settings.model != config::Model::pca) raise_unbound("rul_deadline_failure");
    py::object pca = stored("pca"), mu = stored("mu"), cov = stored("cov");
    py::object index = df_scaled.get().attr("index");
    py::object t2 = item(m.call("cal_T2", df_scaled.get(), pca, mu, cov, index), 0);
    py::object quartile = t2[py::str("tsquare")].attr("quantile")(0.25);
    return {quartile, steps::health_score(m, quartile, stored("ucl"))};
}

py::dict learn_deadline(const Module& m, py::handle dfs, py::handle dictionary, py::handle time_col,
                        status::Progress& progress) {
    auto stored = [&](const char* key) { return py::object(dictionary[py::str(key)]); };
    const config::Settings settings = config::Settings::parse(stored("algo_config"));
    py::list scores, quartiles;
    for (py::handle df : dfs) {
        FailureQuartile q = score_failure_recording(m, py::reinterpret_borrow<py::object>(df), dictionary,
                                                    time_col, settings, progress);
        scores.append(q.score);
        quartiles.append(q.t_square);
    }
    py::object np = m.global("np");
    // The deadline only moves towards the failures: its T² can only fall and
    // its score only rise.
    py::object t_square = builtin("min")(np.attr("min")(quartiles), py::float_(stored("rul_deadline_t_square")));
    py::object deadline = builtin("max")(np.attr("max")(scores), py::float_(stored("rul_deadline")));

    py::dict result;
    for (const char* key : {"T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
                            "datetime_name"}) {
        result[key] = stored(key);
    }
    result["rul_deadline_t_square"] = t_square;
    result["rul_deadline"] = deadline;
    for (const char* key : {"time_scale", "training_anomalies", "model_bias", "training_model_robust_index",
                            "training_model_robust_status", "algo_config"}) {
        result[key] = stored(key);
    }
    status::append_success(result, progress);
    // A refined model keeps what testing and the RUL report read from the
    // model it refines: its codebook, warning line and time stamps.
    for (const char* key : {"codebook_setup", "rul_warning_line", "build_time", "start_time", "end_time"}) {
        if (dictionary.contains(key)) result[key] = stored(key);
    }
    return result;
}

// --- failure-mode thresholds and lights ------------------------------------

// Rows as the threshold evaluations see them: one per second, numeric,
// indexed by time, without quality columns.
py::object prepared_rows(const Module& m, py::handle df) {
    const py::str time_col(kTimeColumn);
    Rows rows = Rows::compressed(m, df, time_col);
    rows.select(steps::without_quality(m, rows.numeric_labels(time_col), time_col));
    rows.parse_times(m, time_col);
    rows.index_by_time(time_col);
    return rows.frame();
}

// The feature-family columns only: time-domain, then frequency, then
// failure-mode features.
py::object family_columns(py::handle rows) {
    const steps::Families families = steps::Families::of(rows.attr("columns"));
    return rows[families.time + families.frequency + families.fail_mode];
}

struct Limits {
    py::object upper_warning, upper_alert, lower_warning, lower_alert;
};

// The light of a feature mean. One-sided limits grade that side only; a NaN
// mean against both sides matches no band and has no light.
py::object light_of(double value, const Limits& limits) {
    const bool upper = !limits.upper_warning.is_none() && !limits.upper_alert.is_none();
    const bool lower = !limits.lower_warning.is_none() && !limits.lower_alert.is_none();
    auto uw = [&] { return float_of(limits.upper_warning); };
    auto ua = [&] { return float_of(limits.upper_alert); };
    auto lw = [&] { return float_of(limits.lower_warning); };
    auto la = [&] { return float_of(limits.lower_alert); };
    if (upper && !lower) {
        if (value <= uw()) return py::str("green");
        if (uw() < value && value <= ua()) return py::str("yellow");
        return py::str("red");
    }
    if (lower && !upper) {
        if (value > lw()) return py::str("green");
        if (la() < value && value <= lw()) return py::str("yellow");
        return py::str("red");
    }
    if (upper && lower) {
        if (lw() <= value && value <= uw()) return py::str("green");
        if ((uw() < value && value <= ua()) || (la() <= value && value < lw())) return py::str("yellow");
        if (value > ua() || value < la()) return py::str("red");
    }
    return py::none();
}

// The ISO zone light of an overall-level mean; a NaN mean has none.
py::object zone_light(double value, py::handle warning, py::handle alert) {
    if (value <= float_of(warning)) return py::str("green");
    if (float_of(warning) < value && value <= float_of(alert)) return py::str("yellow");
    if (value > float_of(alert)) return py::str("red");
    return py::none();
}

// Feature names and their means over the rows.
struct FeatureMeans {
    py::list features, means;
};
FeatureMeans feature_means(py::handle rows) {
    py::object mean = rows.attr("mean")("numeric_only"_a = true);
    return {mean.attr("index").attr("tolist")(), mean.attr("tolist")()};
}

py::object threshold_training(const Module& m, py::handle df) {
    py::object rows = family_columns(prepared_rows(m, df));
    py::list features = rows.attr("columns").attr("tolist")();
    py::list means = rows.attr("mean")().attr("tolist")();
    py::list stds = rows.attr("std")().attr("tolist")();
    py::dict result;
    for (std::size_t i = 0; i < features.size(); ++i) {
        // Host arithmetic: the missing mean of an all-missing nullable column
        // gives missing limits, as the column statistics do.
        const py::object mean = means[i], std = stds[i];
        py::dict limits;
        limits["upper_warning"] = mean + py::int_(3) * std;
        limits["upper_alert"] = mean + py::int_(6) * std;
        limits["lower_warning"] = mean - py::int_(3) * std;
        limits["lower_alert"] = mean - py::int_(6) * std;
        result[features[i]] = limits;
    }
    return result;
}

py::object threshold_lights(const Module& m, py::handle df, py::handle threshold) {
    const FeatureMeans means = feature_means(family_columns(prepared_rows(m, df)));
    py::dict result;
    for (std::size_t i = 0; i < means.features.size(); ++i) {
        py::object limits = threshold.attr("get")(means.features[i], py::dict());
        auto limit = [&](const char* key) { return py::object(limits.attr("get")(key, "")); };
        const Limits read{limit("upper_warning"), limit("upper_alert"), limit("lower_warning"), limit("lower_alert")};
        py::dict entry;
        entry["upper_warning"] = read.upper_warning;
        entry["upper_alert"] = read.upper_alert;
        entry["lower_warning"] = read.lower_warning;
        entry["lower_alert"] = read.lower_alert;
        entry["light"] = light_of(float_of(means.means[i]), read);
        result[means.features[i]] = entry;
    }
    return result;
}

// --- ISO 20816-3 ------------------------------------------------------------

py::object overall_limits(py::handle power, py::handle foundation_type) {
    if (!contains(py::make_tuple("Rigid", "Flexible"), foundation_type)) raise(PyExc_ValueError, "foundation_type must be 'Rigid' or 'Flexible'.");
    const bool rigid = is_text(foundation_type, "Rigid");
    double warning = 0, alert = 0;
    if (truthy(ge(power, py::int_(15))) && truthy(le(power, py::int_(300)))) {
        warning = rigid ? 2.8 : 4.5;
        alert = rigid ? 4.5 : 7.1;
    } else if (truthy(gt(power, py::int_(300)))) {
        warning = rigid ? 4.5 : 7.1;
        alert = rigid ? 7.1 : 11.0;
    } else {
        raise(PyExc_ValueError, "Power must be greater than or equal to 15 kW.");
    }
    py::dict result;
    result["warning"] = warning;
    result["alert"] = alert;
    result["error_stage"] = status::kNone;
    result["error_message"] = status::kNone;
    return result;
}

py::object overall_lights(const Module& m, py::handle df, py::handle warning, py::handle alert) {
    py::object rows = prepared_rows(m, df);
    py::list overall;
    for (py::handle column : rows.attr("columns")) {
        if (contains(column, py::str("Overall"))) overall.append(column);
    }
    const FeatureMeans means = feature_means(rows[overall]);
    py::dict result;
    for (std::size_t i = 0; i < means.features.size(); ++i) {
        py::dict entry;
        entry["warning"] = warning;
        entry["alert"] = alert;
        entry["light"] = zone_light(float_of(means.means[i]), warning, alert);
        entry["error_stage"] = status::kNone;
        entry["error_message"] = status::kNone;
        result[means.features[i]] = entry;
    }
    return result;
}

py::object exception_text(const std::string& message) { return py::str(message); }

}  // namespace

py::object failure_deadline_learning(const Module& m, py::object dfs, py::object dictionary, py::object /*info*/) {
    const BlasOnOneThread one_thread;
    py::object time_col = dictionary[py::str("datetime_name")];
    status::Progress progress(stages::training::kConfiguration);
    return status::guarded([&] { return learn_deadline(m, dfs, dictionary, time_col, progress); },
                           [&](const std::string& message) {
                               return steps::model_error_record(progress, message, /*with_codebook=*/false);
                           });
}

py::object pre_feature_training(const Module& m, py::object df) {
    return status::guarded([&] { return threshold_training(m, df); }, exception_text);
}

py::object pre_feature_light(const Module& m, py::object df, py::object threshold) {
    return status::guarded([&] { return threshold_lights(m, df, threshold); }, exception_text);
}

py::object ISO20816_overall(const Module&, py::object power, py::object foundation_type) {
    return status::guarded([&] { return overall_limits(power, foundation_type); },
                           [](const std::string& message) {
                               py::dict result;
                               result["warning"] = py::none();
                               result["alert"] = py::none();
                               result["error_stage"] = "Incomplete information";
                               result["error_message"] = message;
                               return result;
                           });
}

py::object ISO20816_light(const Module& m, py::object df, py::object warning, py::object alert) {
    return status::guarded([&] { return overall_lights(m, df, warning, alert); }, exception_text);
}

}  // namespace algo::hi

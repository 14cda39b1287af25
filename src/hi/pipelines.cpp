#include "pipelines.hpp"

#include "cleaning.hpp"
#include "core/blas_threads.hpp"
#include "core/stage_clock.hpp"
#include "core/status.hpp"
#include "filters.hpp"
#include "pipeline_steps.hpp"
#include "rows.hpp"
#include "stages.hpp"

#include <algorithm>
#include <optional>

namespace algo::hi {

namespace {

constexpr const char* kTimeColumn = "_time";

// Windows of the rolling choices; time bins resample, dropping
// hours with fewer than `hour_min_rows` rows on the hour scale first.
steps::Extraction training_extraction(config::Features choice, int hour_min_rows) {
    switch (choice) {
        case config::Features::time_bins:
            return steps::Extraction::binned(hour_min_rows);
        case config::Features::rolling_120:
            return steps::Extraction::rolling(120, 60);
        case config::Features::rolling_3600:
            return steps::Extraction::rolling(3600, 1800);
        case config::Features::rolling_60:
            return steps::Extraction::rolling(60, 30);
        case config::Features::other:
            break;
    }
    return {};
}

// Status, build time and data span close a trained model dictionary; a
// warning-line model ends with its line.
void close_model(const Module& m, const steps::ModelEntries& trained, const TimeSpan& span,
                 const status::Progress& progress, py::dict& result) {
    status::append_success(result, progress);
    result["build_time"] = steps::now_text(m);
    result["start_time"] = span.start;
    result["end_time"] = span.end;
    if (trained.warning_line) result["rul_warning_line"] = *trained.warning_line;
}

// Scaling, the health model and the model entries of features, under the
// stage codes of the training pipelines.
steps::ModelEntries model_of(const Module& m, const config::Settings& settings, py::handle features,
                             const Local& record, py::handle time_col, const Local& time_scale,
                             status::Progress& progress, StageClock& clock) {
    clock.enter("scaling");
    progress.enter(stages::training::kScaling);
    const steps::FittedScaling scaling = steps::fit_scaling(m, settings.scaling, features);

    clock.enter("model");
    progress.enter(stages::training::kModel);
    steps::check_model_size(scaling.frame, progress);
    std::optional<steps::HealthModel> model;
    if (settings.model == config::Model::pca) model = steps::fit_health_model(m, scaling.frame, scaling.frame, features);

    clock.enter("assembly");
    progress.enter(stages::training::kAssembly);
    return steps::model_entries(m, settings.deadline, bound(model, "T2"), scaling, record, time_col, time_scale);
}

// Compressed rows: the time column and the numeric columns but the quality
// ones, times parsed, the span of the times, rows indexed by their time.
TimeSpan prepared_rows(const Module& m, Rows& rows, py::handle time_col) {
    rows.select(steps::without_quality(m, rows.numeric_labels(time_col), time_col));
    rows.parse_times(m, time_col);
    const TimeSpan span = rows.time_span(time_col);
    rows.index_by_time(time_col);
    return span;
}

// The rounded Q3 of the time-indexed native rows' columns, all float64,
// computed natively; nothing for other rows.
std::optional<py::list> native_rounded_q3(const Module& m, const Rows& rows) {
    if (!rows.native() || !m.binds("pd", "pandas")) return std::nullopt;
    std::vector<DoubleArray> values;
    for (Rows::Numeric& column : rows.numeric_columns()) {
        if (!column.float64) return std::nullopt;
        values.push_back(std::move(column.values));
    }
    if (values.size() != py::len(rows.labels())) return std::nullopt;  // the time is a column yet
    return filters::rounded_q3_of(values);
}

// The names of the low-resolution columns. The module's own screening only
// reads the frame it is given, so native rows stay native.
py::object low_resolution_of(const Module& m, Rows& rows) {
    if (!m.owns("low_resolution")) return m.call("low_resolution", rows.frame());
    if (auto q3 = native_rounded_q3(m, rows)) return filters::low_resolution_by_q3(m, rows.labels(), *q3);
    return m.call("low_resolution", Rows(rows).frame());
}

py::dict train(const Module& m, py::object df, py::handle algo_config, py::handle codebook,
               status::Progress& progress, StageClock& clock) {
    const py::str time_col(kTimeColumn);
    progress.enter(stages::training::kCompression);
    Rows rows = Rows::compressed(m, df, time_col, &clock);

    clock.enter("selection");
    progress.enter(stages::training::kConfiguration);
    const config::Settings settings = config::Settings::parse(algo_config);
    const Local time_scale = steps::time_scale_of(settings);

    progress.enter(stages::training::kColumns);
    const TimeSpan span = prepared_rows(m, rows, time_col);
    if (steps::codebook_applies(codebook)) steps::codebook_filter(m, rows, codebook, "all");
    if (rows.empty()) progress.notice(status::kNoteCodebookEmpty);

    progress.enter(stages::training::kFamilies);
    steps::Families families = steps::Families::of(rows.labels());
    if (settings.low_resolution_screening == config::Switch::on) {
        progress.enter(stages::training::kScreening);
        families.remove(low_resolution_of(m, rows));
    }

    progress.enter(stages::training::kExtraction);
    Local record = steps::family_record(m, settings.families, families);
    clock.enter("extraction");
    py::object features =
        steps::extract(m, training_extraction(settings.features, 1800), rows, record, time_scale, time_col);
    if (steps::is_empty(features)) progress.notice(status::kNoteDowntime);

    const steps::ModelEntries trained = model_of(m, settings, features, record, time_col, time_scale, progress, clock);
    clock.enter("assembly");
    py::dict result = trained.entries;
    result["algo_config"] = algo_config;
    result["codebook_setup"] = codebook;
    close_model(m, trained, span, progress, result);
    return result;
}

// The allowed outlier share of the next cleaning pass. A step that does not
// grow it would repeat the same pass for ever on data that never meets the
// standard, so it is refused instead.
py::object grown_ratio(py::handle max_ratio, py::handle step) {
    py::object grown = max_ratio + step;
    if (truthy(le(grown, max_ratio))) {
        raise(PyExc_ValueError, "max_ratio_step must make max_ratio grow: " + text(py::repr(max_ratio)) + " + " +
                                    text(py::repr(step)) + " gives " + text(py::repr(grown)));
    }
    return grown;
}

// The rows of each cleaning pass: IQR_outlier_percent_clean of a copy of the
// prepared rows. The module's own cleaning of native float64 rows marks them
// natively and finds each column's fences once for all passes, since passes
// differ only in the allowed outlier share.
class CleaningPasses {
public:
    CleaningPasses(const Module& m, Rows rows) : m_(m), rows_(std::move(rows)) {
        const auto columns = rows_.numeric_columns();
        native_ = m.owns("IQR_outlier_percent_clean") && m.binds("np", "numpy") && rows_.native() &&
                  std::all_of(columns.begin(), columns.end(), [](const Rows::Numeric& c) { return c.float64; });
    }

    struct Pass {
        Rows rows;
        bool same_rows;  // as the previous pass
    };

    Pass cleaned(py::handle max_ratio, py::handle datetime_name) {
        if (!native_) {
            py::object frame = rows_.frame().attr("copy")();
            return {Rows::of(m_.call("IQR_outlier_percent_clean", frame, max_ratio, datetime_name)), false};
        }
        if (!marks_) {
            std::vector<py::object> columns;
            for (Rows::Numeric& column : rows_.numeric_columns()) {
                columns.push_back(m_.global("pd").attr("Series")(column.values, "copy"_a = false));
            }
            marks_.emplace(m_, std::move(columns), py::float_(1.5), rows_.length());
        }
        py::array_t<bool> drop = marks_->rows_to_drop(max_ratio);
        std::vector<bool> dropped(drop.data(), drop.data() + drop.size());
        const bool same_rows = previous_ && *previous_ == dropped;
        previous_ = std::move(dropped);
        Rows pass = rows_;
        pass.keep(m_.global("np").attr("logical_not")(drop));
        return {pass, same_rows};
    }

private:
    const Module& m_;
    Rows rows_;
    bool native_;
    std::optional<cleaning::OutlierMarks> marks_;
    std::optional<std::vector<bool>> previous_;
};

// What a cleaning pass trains from its rows.
struct PassModel {
    TimeSpan span;
    steps::ModelEntries trained;
};

// Whether a pass on the rows of the previous pass trains the very model that
// pass trained: every step of the pass is the module's own, on the libraries
// bound at initialisation, and the model was not refitted with a fixed
// component count (a solver scikit-learn may then pick draws random numbers).
bool repeats_previous_model(const Module& m, const PassModel& previous) {
    for (const char* step : {"time_filter", "feature_extraction", "safe_resample_max", "safe_resample_mean",
                             "feature_extraction_rolling", "standardize", "minmax_scale", "health_modeling", "cal_T2",
                             "Health_Index", "T2_Anomaly_Rate", "SPE_residual"}) {
        if (!m.owns(step)) return false;
    }
    const bool libraries = m.binds("np", "numpy") && m.binds("pd", "pandas") &&
                           m.binds("StandardScaler", "sklearn.preprocessing", "StandardScaler") &&
                           m.binds("PCA", "sklearn.decomposition", "PCA") && m.binds("f", "scipy.stats", "f") &&
                           m.binds("norm", "scipy.stats", "norm");
    return libraries && PyFloat_Check(previous.trained.entries["pca"].attr("n_components").ptr());
}

// Training on the rows that survive IQR cleaning, retried with a growing
// allowed outlier share until the model is robust enough.
py::dict clean_and_train(const Module& m, py::object df, py::handle dictionary, py::handle ratio_start,
                         py::handle ratio_step, py::handle ratio_limit, status::Progress& progress,
                         StageClock& clock) {
    auto stored = [&](const char* key) { return py::object(dictionary[py::str(key)]); };
    const py::object time_col = stored("datetime_name");
    const config::Settings settings = config::Settings::parse(stored("algo_config"));
    const Local time_scale("time_scale", stored("time_scale"));

    progress.enter(stages::training::kCompression);
    Rows rows = Rows::compressed(m, df, time_col, &clock);
    clock.enter("selection");
    rows.select(rows.numeric_labels(time_col));

    progress.enter(stages::training::kColumns);
    rows.select(steps::without_quality(m, rows.labels(), time_col));
    const py::object codebook = stored("codebook_setup");
    if (steps::codebook_applies(codebook)) steps::codebook_filter(m, rows, codebook, "all");

    progress.enter(stages::training::kFamilies);
    steps::Families families = steps::Families::of(rows.labels());

    progress.enter(stages::training::kScreening);
    if (settings.low_resolution_screening == config::Switch::on) {
        py::object low = low_resolution_of(m, rows);
        rows.drop(low);
        families.remove(low);
    }

    progress.enter(stages::training::kExtraction);
    Local record = steps::family_record(m, settings.families, families);

    CleaningPasses passes(m, rows);
    std::optional<PassModel> model;
    std::optional<py::dict> result;
    for (py::object max_ratio = py::reinterpret_borrow<py::object>(ratio_start); truthy(le(max_ratio, ratio_limit));
         max_ratio = grown_ratio(max_ratio, ratio_step)) {
        clock.enter("cleaning");
        progress.enter(stages::training::kColumns);
        CleaningPasses::Pass cleaned = passes.cleaned(max_ratio, stored("datetime_name"));
        // Passes differ only in the allowed outlier share; once it keeps the
        // same rows, the pass trains the same model again.
        if (!(cleaned.same_rows && model && repeats_previous_model(m, *model))) {
            clock.enter("selection");
            cleaned.rows.parse_times(m, time_col);
            const TimeSpan span = cleaned.rows.time_span(time_col);
            cleaned.rows.index_by_time(time_col);

            clock.enter("extraction");
            progress.enter(stages::training::kExtraction);
            py::object features = steps::extract(m, training_extraction(settings.features, 2500),
                                                 cleaned.rows, record, time_scale, time_col);
            steps::ModelEntries trained = model_of(m, settings, features, record, time_col, time_scale, progress, clock);
            model = PassModel{span, {trained.entries.attr("copy")(), trained.warning_line}};
        }
        clock.enter("assembly");
        progress.enter(stages::training::kAssembly);
        result = model->trained.entries.attr("copy")();
        py::dict& pass = *result;
        pass["start_time"] = model->span.start;
        pass["end_time"] = model->span.end;
        pass["algo_config"] = stored("algo_config");
        pass["codebook_setup"] = codebook;
        status::append_success(pass, progress);
        pass["build_time"] = steps::now_text(m);
        if (model->trained.warning_line) pass["rul_warning_line"] = *model->trained.warning_line;
        if (truthy(ge(pass["training_model_robust_index"], py::float_(0.9)))) {
            pass["respond"] = status::kRespondMeetsStandard;
            return pass;
        }
        // A step that leaves the fraction where it is (0, or too small to
        // change it) would repeat this very pass for ever.
    }
    py::dict last = bound(result, "result");
    last["respond"] = status::kRespondBelowStandard;
    return last;
}

// Training on the rows left after iterative Chebyshev purging of the T²
// outliers; every row is still scored against the purged model.
py::dict purge_and_train(const Module& m, py::object df, py::handle algo_config, StageClock& clock) {
    const py::str time_col(kTimeColumn);
    status::Progress progress(status::kNone);
    Rows rows = Rows::compressed(m, df, time_col, &clock);
    clock.enter("selection");
    const config::Settings settings = config::Settings::parse(algo_config);
    const Local time_scale = steps::time_scale_of(settings);
    const TimeSpan span = prepared_rows(m, rows, time_col);

    steps::Families families = steps::Families::of(rows.labels());
    if (settings.low_resolution_screening == config::Switch::on) families.remove(low_resolution_of(m, rows));
    Local record = steps::family_record(m, settings.families, families);
    // This recipe has no 60-row windows: they extract nothing.
    const steps::Extraction extraction = settings.features == config::Features::rolling_60
                                             ? steps::Extraction{}
                                             : training_extraction(settings.features, 1800);
    clock.enter("extraction");
    py::object features = steps::extract(m, extraction, rows, record, time_scale, time_col);
    if (steps::is_empty(features)) progress.notice(status::kNoteDowntime);

    clock.enter("scaling");
    const steps::FittedScaling scaling = steps::fit_scaling(m, settings.scaling, features);
    clock.enter("model");
    steps::check_model_size(scaling.frame, progress);
    py::object purged = item(m.call("purge_by_chebyshev", scaling.frame.get(), "alpha"_a = 0.05, "max_iter"_a = 10,
                                    "one_sided"_a = true),
                             0);
    const steps::HealthModel model = steps::fit_health_model(m, purged, scaling.frame, features);
    clock.enter("assembly");
    const steps::ModelEntries trained =
        steps::model_entries(m, settings.deadline, model, scaling, record, time_col, time_scale);
    py::dict result = trained.entries;
    result["algo_config"] = algo_config;
    close_model(m, trained, span, progress, result);
    return result;
}

// A model of the good period whose deadline and warning line are placed by
// scoring the bad period with it.
py::dict compare_and_train(const Module& m, py::object df_good, py::object df_bad, py::handle time_scale) {
    const py::str time_col(kTimeColumn);
    Rows good = Rows::of(df_good), bad = Rows::of(df_bad);
    good.select(steps::without_quality(m, good.numeric_labels(time_col), time_col));
    bad.select(bad.numeric_labels(time_col));
    good.parse_times(m, time_col);
    const TimeSpan span = good.time_span(time_col);
    good.index_by_time(time_col);

    // The good model watches the frequency bands alone.
    steps::Families families = steps::Families::of(good.labels());
    families.remove(m.call("low_resolution", good.frame()));
    Local record = steps::family_record(m, config::Families::frequency_bands, families);
    const Local scale("time_scale", py::reinterpret_borrow<py::object>(time_scale));
    py::object good_features = steps::extract(m, steps::Extraction::rolling(120, 60), good, record, scale, time_col);
    const steps::FittedScaling scaling = steps::fit_scaling(m, config::Scaling::min_max, good_features);
    const steps::HealthModel model = steps::fit_health_model(m, scaling.frame, scaling.frame, good_features);
    const steps::Robustness robustness = steps::robustness_of(model);

    bad.parse_times(m, time_col);
    bad.index_by_time(time_col);
    py::object bad_features = steps::extract(m, steps::Extraction::binned(), bad, record, scale, time_col);
    py::object bad_scaled = m.call("testing_minmax", bad_features, scaling.scaler.get());
    py::object bad_index = bad_scaled.attr("index");
    py::object bad_t2 = item(m.call("cal_T2", bad_scaled, model.pca, model.mu, model.cov, bad_index), 0);
    py::object bad_tsquare = bad_t2[py::str("tsquare")];
    py::object good_tsquare = model.t2[py::str("tsquare")];
    py::object deadline = steps::health_score(m, bad_tsquare.attr("mean")(), model.ucl);
    py::object midpoint = (good_tsquare.attr("mean")() + bad_tsquare.attr("quantile")(0.05)) / py::int_(2);
    py::object warning_line = steps::health_score(m, midpoint, model.ucl);

    py::dict result = steps::fitted_model_entries(model, scaling, record, time_col);
    result["rul_deadline"] = deadline;
    result["rul_warning_line"] = warning_line;
    result["time_scale"] = time_scale;
    result["training_anomalies"] = model.anomaly_rate;
    result["model_bias"] = model.spe_ratio;
    result["training_model_robust_index"] = robustness.index;
    result["training_model_robust_status"] = robustness.status;
    result["build_time"] = steps::now_text(m);
    result["start_time"] = span.start;
    result["end_time"] = span.end;
    return result;
}

// The result for a batch too short to score: -1.0 marks a window that was not
// scored.
py::dict placeholder_result(const Module& m, py::handle dictionary, const status::Progress& progress) {
    py::object pd = m.global("pd");
    py::object now = pd.attr("to_datetime")(steps::now_text(m));
    py::list index;
    index.append(now);
    py::dict t2_column, score_column;
    t2_column["tsquare"] = py::make_tuple(-1.0);
    score_column["Score"] = py::make_tuple(-1.0);
    py::dict result;
    result["T2"] = pd.attr("DataFrame")(t2_column, "index"_a = index);
    result["HI_Score"] = pd.attr("DataFrame")(score_column, "index"_a = index);
    result["rul_deadline"] = dictionary[py::str("rul_deadline")];
    result["suspicious_variable"] = status::kNone;
    status::append_success(result, progress);
    return result;
}

// The mean T² of a rolling window as one row, stamped with the window's last
// time (and keeping the index name, so the frame can go on to the RUL
// calculation).
py::object window_mean(const Module& m, py::handle t2) {
    py::dict column;
    column["tsquare"] = py::make_tuple(t2[py::str("tsquare")].attr("mean")());
    py::object last = t2.attr("index")[py::slice(py::int_(-1), py::none(), py::none())];
    return m.global("pd").attr("DataFrame")(column, "index"_a = last);
}

py::dict test(const Module& m, py::object df, py::handle dictionary, py::handle time_col,
              status::Progress& progress, StageClock& clock) {
    auto stored = [&](const char* key) { return py::object(dictionary[py::str(key)]); };

    progress.enter(stages::scoring::kCompression);
    Rows rows = Rows::compressed(m, df, time_col, &clock);

    clock.enter("selection");
    progress.enter(stages::scoring::kConfiguration);
    const config::Settings settings = config::Settings::parse(stored("algo_config"));
    dictionary.attr("setdefault")("codebook_setup", py::none());
    py::object codebook = stored("codebook_setup");
    if (steps::codebook_applies(codebook)) steps::codebook_filter(m, rows, codebook, "min");

    progress.enter(stages::scoring::kTooLittleData);
    if (rows.is_none() || (rows.length() < 301 && settings.time_scale != config::TimeScale::minute)) {
        return placeholder_result(m, dictionary, progress);
    }

    progress.enter(stages::scoring::kColumns);
    const py::list wanted = steps::model_columns(time_col, stored("indicator_col_name"));
    rows.select(steps::present(wanted, rows.numeric_labels(time_col)));
    if (settings.testing_outlier_removal == config::Switch::on) rows = Rows::of(m.call("drop_outliers_by_min", rows.frame(), time_col));
    rows.parse_times(m, time_col);
    rows.index_by_time(time_col);

    clock.enter("extraction");
    progress.enter(stages::scoring::kExtraction);
    const steps::Extraction extraction = steps::scoring_extraction(settings.features);
    Local record("indicator_col_name", stored("indicator_col_name"));
    py::object df_features =
        steps::extract(m, extraction, rows, record, Local("time_scale", stored("time_scale")), time_col);

    clock.enter("scaling");
    progress.enter(stages::scoring::kScaling);
    const Local df_scaled = steps::apply_scaling(m, settings.scaling, df_features, stored("scaler"));

    clock.enter("model");
    progress.enter(stages::scoring::kModel);
    Local t2("T2");
    py::object scores;
    if (settings.model == config::Model::pca && extraction.kind != steps::Extraction::Kind::none) {
        py::object pca = stored("pca"), mu = stored("mu"), cov = stored("cov");
        py::object index = df_scaled.get().attr("index");
        auto [full_t2, pca_scores] = unpack<2>(m.call("cal_T2", df_scaled.get(), pca, mu, cov, index));
        scores = pca_scores;
        t2 = extraction.kind == steps::Extraction::Kind::rolling ? window_mean(m, full_t2) : full_t2;
    }
    py::object score = m.call("Health_Index", t2.get(), stored("ucl"), 0.9);
    py::object rul_deadline = stored("rul_deadline");
    py::object suspicious = m.call("analyze_T2_anomalies", df_scaled.get(), scores, df_features, t2.get(),
                                   stored("pca"), stored("ucl"), "top_k"_a = 3);

    clock.enter("assembly");
    py::dict result;
    result["T2"] = t2.get();
    result["HI_Score"] = score;
    result["rul_deadline"] = rul_deadline;
    result["suspicious_variable"] = suspicious;
    status::append_success(result, progress);
    return result;
}

py::dict testing_error_record(const status::Progress& progress, const std::string& message) {
    py::dict record;
    for (const char* key : {"T2", "HI_Score", "rul_deadline", "suspicious_variable"}) record[key] = py::none();
    status::append_failure(record, progress, message);
    return record;
}

}  // namespace

py::object training_model(const Module& m, py::object df, py::object algo_config, py::object codebook) {
    status::Progress progress(stages::kStart);
    StageClock clock("training_model");
    const BlasOnOneThread one_thread;
    py::object result = status::guarded([&] { return train(m, df, algo_config, codebook, progress, clock); },
                                        [&](const std::string& message) {
                                            return steps::model_error_record(progress, message,
                                                                             /*with_codebook=*/true);
                                        });
    clock.report();
    return result;
}

py::object outlier_clean(const Module& m, py::object df, py::object dictionary, py::object max_ratio_start,
                         py::object max_ratio_step, py::object max_ratio_limit) {
    // A dictionary without "datetime_name" is reported like any other failure
    // of the configuration stage.
    status::Progress progress(stages::training::kConfiguration);
    StageClock clock("outlier_clean");
    const BlasOnOneThread one_thread;
    py::object result = status::guarded(
        [&] {
            return clean_and_train(m, df, dictionary, max_ratio_start, max_ratio_step, max_ratio_limit, progress,
                                   clock);
        },
        [&](const std::string& message) {
            return steps::model_error_record(progress, message, /*with_codebook=*/true);
        });
    clock.report();
    return result;
}

py::object outlier_chebyshev_T2_purging(const Module& m, py::object df, py::object algo_config) {
    StageClock clock("outlier_chebyshev_T2_purging");
    const BlasOnOneThread one_thread;
    py::dict result = purge_and_train(m, df, algo_config, clock);
    clock.report();
    return result;
}

py::object training_model_GB_compare(const Module& m, py::object df_good, py::object df_bad, py::object time_scale) {
    const BlasOnOneThread one_thread;
    return compare_and_train(m, df_good, df_bad, time_scale);
}

py::object testing_model(const Module& m, py::object df, py::object dictionary) {
    py::object time_col = dictionary[py::str("datetime_name")];
    status::Progress progress(stages::kStart);
    StageClock clock("testing_model");
    const BlasOnOneThread one_thread;
    py::object result =
        status::guarded([&] { return test(m, df, dictionary, time_col, progress, clock); },
                        [&](const std::string& message) { return testing_error_record(progress, message); });
    clock.report();
    return result;
}

}  // namespace algo::hi

#include "pipelines.hpp"

#include "core/status.hpp"
#include "pipeline_steps.hpp"

#include <optional>

namespace algo::hi {

namespace {

constexpr const char* kTimeColumn = "_time";

// Windows of the rolling settings; "1" resamples into time bins.
steps::Extraction training_extraction(const std::string& setting) {
    if (setting == "1") return steps::Extraction::binned(1800);
    if (setting == "2") return steps::Extraction::rolling(120, 60);
    if (setting == "3") return steps::Extraction::rolling(3600, 1800);
    if (setting == "4") return steps::Extraction::rolling(60, 30);
    return {};
}

py::dict train(const Module& m, py::object df, py::handle algo_config, py::handle codebook,
               status::Progress& progress) {
    const py::str time_col(kTimeColumn);
    progress.enter("Error_01");
    df = steps::compressed(m, df, time_col);

    progress.enter("Error_02");
    const steps::Settings settings = steps::Settings::parse(algo_config);
    const Local time_scale = steps::time_scale_of(settings);

    progress.enter("Error_03");
    df = steps::numeric_with_time(df, time_col);
    df = steps::with_parsed_times(m, df, time_col);
    const steps::TimeSpan span = steps::time_span(df, time_col);
    df = steps::without_quality_columns(steps::indexed_by_time(df, time_col));
    if (steps::codebook_applies(codebook)) df = steps::codebook_filtered(m, df, codebook, "all");
    if (steps::is_empty(df)) progress.notice(status::kNoteCodebookEmpty);

    progress.enter("Error_04");
    steps::Families families = steps::Families::of(df.attr("columns"));
    if (settings.low_feature_select == "1") {
        progress.enter("Error_05");
        families.remove(m.call("low_resolution", df));
    }

    progress.enter("Error_06");
    Local record = steps::family_record(m, settings.feature, families);
    steps::extract(m, training_extraction(settings.feature_extraction), df, record, time_scale, time_col);
    if (steps::is_empty(df)) progress.notice(status::kNoteDowntime);

    progress.enter("Error_07");
    const steps::FittedScaling scaling = steps::fit_scaling(m, settings.scale, df);

    progress.enter("Error_08");
    steps::check_model_size(scaling.frame, progress);
    std::optional<steps::HealthModel> model;
    if (settings.model == "1") model = steps::fit_health_model(m, scaling.frame, scaling.frame, df);

    progress.enter("Error_09");
    const steps::HealthModel& fitted = bound(model, "T2");
    const steps::Deadline deadline = steps::deadline_of(m, settings.rul_deadline, fitted);
    const steps::Robustness robustness = steps::robustness_of(fitted);
    py::dict result = steps::model_entries(fitted, scaling, record, time_col, deadline, time_scale, robustness);
    result["algo_config"] = algo_config;
    result["codebook_setup"] = codebook;
    status::append_success(result, progress);
    result["build_time"] = steps::now_text(m);
    result["start_time"] = span.start;
    result["end_time"] = span.end;
    if (deadline.warning_line) result["rul_warning_line"] = *deadline.warning_line;
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
              status::Progress& progress) {
    auto stored = [&](const char* key) { return py::object(dictionary[py::str(key)]); };

    progress.enter("Error_01");
    df = steps::compressed(m, df, time_col);

    progress.enter("Error_03");
    const steps::Settings settings = steps::Settings::parse(stored("algo_config"));
    dictionary.attr("setdefault")("codebook_setup", py::none());
    py::object codebook = stored("codebook_setup");
    if (steps::codebook_applies(codebook)) df = steps::codebook_filtered(m, df, codebook, "min");

    progress.enter("Error_02");
    if (df.is_none() || (py::len(df) < 301 && settings.time_scale != "0")) {
        return placeholder_result(m, dictionary, progress);
    }

    progress.enter("Error_04");
    df = steps::numeric_with_time(df, time_col);
    df = steps::select_present(df, steps::model_columns(time_col, stored("indicator_col_name")));
    if (settings.testing_outlier_clean == "1") df = m.call("drop_outliers_by_min", df, time_col);
    df = steps::indexed_by_time(steps::with_parsed_times(m, df, time_col), time_col);

    progress.enter("Error_05");
    const steps::Extraction extraction = steps::scoring_extraction(settings.feature_extraction);
    Local record("indicator_col_name", stored("indicator_col_name"));
    steps::extract(m, extraction, df, record, Local("time_scale", stored("time_scale")), time_col);

    progress.enter("Error_06");
    const Local df_scaled = steps::apply_scaling(m, settings.scale, df, stored("scaler"));

    progress.enter("Error_07");
    Local t2("T2");
    py::object scores;
    if (settings.model == "1" && extraction.kind != steps::Extraction::Kind::none) {
        py::object pca = stored("pca"), mu = stored("mu"), cov = stored("cov");
        py::object index = df_scaled.get().attr("index");
        std::vector<py::object> scored = unpack(m.call("cal_T2", df_scaled.get(), pca, mu, cov, index), 2);
        scores = scored[1];
        t2 = extraction.kind == steps::Extraction::Kind::rolling ? window_mean(m, scored[0]) : scored[0];
    }
    py::object score = m.call("Health_Index", t2.get(), stored("ucl"), 0.9);
    py::object rul_deadline = stored("rul_deadline");
    py::object suspicious = m.call("analyze_T2_anomalies", df_scaled.get(), scores, df, t2.get(), stored("pca"),
                                   stored("ucl"), "top_k"_a = 3);

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
    status::Progress progress("init");
    return status::guarded([&] { return train(m, df, algo_config, codebook, progress); },
                           [&](const std::string& message) {
                               return steps::model_error_record(progress, message, /*with_codebook=*/true);
                           });
}

py::object testing_model(const Module& m, py::object df, py::object dictionary) {
    py::object time_col = dictionary[py::str("datetime_name")];
    status::Progress progress("init");
    return status::guarded([&] { return test(m, df, dictionary, time_col, progress); },
                           [&](const std::string& message) { return testing_error_record(progress, message); });
}

}  // namespace algo::hi

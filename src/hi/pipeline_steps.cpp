#include "pipeline_steps.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <limits>
#include <initializer_list>

namespace algo::hi::steps {

namespace {

constexpr const char* kTimeFormat = "%Y-%m-%d %H:%M:%S";

const std::array<const char*, 3> kTimeKeywords = {"Overall", "Peak", "Crest"};
const std::array<const char*, 1> kFrequencyKeywords = {"Band"};
const std::array<const char*, 6> kFailModeKeywords = {"Bearing", "Looseness", "Misalignment",
                                                      "Imbalance", "Gear",    "Van"};

template <std::size_t N>
bool contains_any(py::handle label, const std::array<const char*, N>& keywords) {
    for (const char* keyword : keywords) {
        if (contains(label, py::str(keyword))) return true;
    }
    return false;
}

}  // namespace

Local time_scale_of(const config::Settings& settings) {
    Local time_scale("time_scale");
    if (settings.time_scale == config::TimeScale::minute) {
        time_scale = py::str("min");
    } else if (settings.time_scale == config::TimeScale::hour) {
        time_scale = py::str("h");
    }
    return time_scale;
}

py::list without_quality(const Module& m, const py::list& labels, py::handle time_col) {
    py::object text = m.global("pd").attr("Index")(labels).attr("str");
    auto containing = [&](const char* word) {
        return text.attr("contains")(word, "case"_a = false, "na"_a = false).cast<py::array_t<bool>>();
    };
    const auto percentage = containing("percentage"), quality = containing("QC");
    py::list kept;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if ((!percentage.at(i) && !quality.at(i)) || truthy(eq(labels[i], time_col))) kept.append(labels[i]);
    }
    return kept;
}

py::list present(py::handle wanted, py::handle labels) {
    py::list found;
    for (py::handle label : wanted) {
        if (contains(labels, label)) found.append(label);
    }
    return found;
}

bool codebook_applies(py::handle codebook) {
    return truthy(codebook) && truthy(ne(codebook.attr("get")("setup_name"), py::str("None")));
}

void codebook_filter(const Module& m, Rows& rows, py::handle codebook, const char* control) {
    py::object mapping = m.call("feature_threshold_mapping", codebook);
    rows = Rows::of(item(m.call("codebook_df_filter", rows.frame(), mapping, "control"_a = control), 0));
}

bool is_empty(py::handle df) { return df.is_none() || truthy(df.attr("empty")); }

Families Families::of(py::handle columns) {
    Families families;
    for (py::handle column : columns) {
        if (contains_any(column, kTimeKeywords)) {
            families.time.append(column);
        } else if (contains_any(column, kFrequencyKeywords)) {
            families.frequency.append(column);
        } else if (contains_any(column, kFailModeKeywords)) {
            families.fail_mode.append(column);
        }
    }
    return families;
}

void Families::remove(py::handle names) {
    auto kept = [&](const py::list& family) {
        py::list result;
        for (py::handle name : family) {
            if (!contains(names, name)) result.append(name);
        }
        return result;
    };
    time = kept(time);
    frequency = kept(frequency);
    fail_mode = kept(fail_mode);
}

Local family_record(const Module& m, config::Families choice, const Families& families) {
    Local record("indicator_col_name");
    py::object make = m.global("SimpleNamespace");
    if (choice == config::Families::all) {
        record = make("time"_a = families.time, "frequency"_a = families.frequency, "fail_mode"_a = families.fail_mode);
    } else if (choice == config::Families::without_failure_modes) {
        record = make("time"_a = families.time, "frequency"_a = families.frequency, "fail_mode"_a = py::list());
    } else if (choice == config::Families::frequency_bands) {
        record = make("time"_a = py::list(), "frequency"_a = families.frequency, "fail_mode"_a = py::list());
    }
    return record;
}

py::list model_columns(py::handle time_col, py::handle record) {
    py::list columns;
    py::set seen;
    auto add = [&](py::handle name) {
        if (!seen.contains(name)) {
            seen.add(name);
            columns.append(name);
        }
    };
    add(time_col);
    for (const char* family : {"time", "frequency", "fail_mode"}) {
        for (py::handle name : py::list(record.attr(family))) add(name);
    }
    return columns;
}

Extraction scoring_extraction(config::Features choice) {
    switch (choice) {
        case config::Features::time_bins:
        case config::Features::rolling_3600:
            return Extraction::binned();
        case config::Features::rolling_120:
            return Extraction::rolling(120, 60);
        case config::Features::rolling_60:
            return Extraction::rolling(60, 30);
        case config::Features::other:
            break;
    }
    return {};
}

namespace {

// The feature frame of an extraction's result; its family record replaces `record`.
py::object returned_features(py::handle result, Local& record) {
    auto [features, returned_record] = unpack<2>(result);
    record = returned_record;
    return features;
}

// The extractions the module's own functions would run, natively on the
// rows; nothing when the rows or the record are beyond the kernels.
std::optional<py::object> native_binned(const Module& m, const Rows& rows, py::handle record, py::handle time_scale) {
    if (!m.owns("feature_extraction") || !m.owns("safe_resample_max") || !m.owns("safe_resample_mean")) {
        return std::nullopt;
    }
    const auto names = features::plain_names(record);
    const auto sorted = names ? rows.sorted_rows(*names) : std::nullopt;
    if (!sorted || sorted->length() == 0) return std::nullopt;
    const auto width = features::bin_width(time_scale, sorted->index_type);
    if (!width) return std::nullopt;
    return features::binned(m, *sorted, *names, *width, time_scale);
}

std::optional<py::object> native_rolling(const Module& m, const Rows& rows, py::handle record, int window, int step) {
    if (!m.owns("feature_extraction_rolling")) return std::nullopt;
    const auto names = features::plain_names(record);
    const auto sorted = names ? rows.sorted_rows(*names) : std::nullopt;
    if (!sorted) return std::nullopt;
    return features::rolling(m, *sorted, *names, py::int_(window), py::int_(step));
}

}  // namespace

py::object extract(const Module& m, const Extraction& extraction, Rows& rows, Local& record, const Local& time_scale,
                   py::handle time_col) {
    std::optional<py::object> features;
    switch (extraction.kind) {
        case Extraction::Kind::none:
            return rows.frame();
        case Extraction::Kind::binned:
            if (extraction.hour_min_rows > 0 && is_text(time_scale.get(), "h") &&
                !(m.owns("time_filter") && rows.drop_thin_hours(static_cast<std::size_t>(extraction.hour_min_rows)))) {
                rows = Rows::of(m.call("time_filter", rows.frame(), time_col, "sec_count"_a = extraction.hour_min_rows));
            }
            features = native_binned(m, rows, record.get(), time_scale.get());
            if (features) return *features;
            return returned_features(m.call("feature_extraction", rows.frame(), record.get(), time_scale.get()), record);
        case Extraction::Kind::rolling:
            features = native_rolling(m, rows, record.get(), extraction.window, extraction.step);
            if (features) return *features;
            return returned_features(m.call("feature_extraction_rolling", rows.frame(), record.get(),
                                            extraction.window, extraction.step),
                                     record);
    }
    return rows.frame();
}

FittedScaling fit_scaling(const Module& m, config::Scaling choice, py::handle df) {
    FittedScaling scaling;
    auto fitted = [&](const char* function) {
        auto [frame, scaler] = unpack<2>(m.call(function, df));
        scaling.frame = frame;
        scaling.scaler = scaler;
    };
    if (choice == config::Scaling::none) {
        scaling.frame = py::reinterpret_borrow<py::object>(df);
        scaling.scaler = m.global("StandardScaler")();
    } else if (choice == config::Scaling::standard) {
        fitted("standardize");
    } else if (choice == config::Scaling::min_max) {
        fitted("minmax_scale");
    }
    return scaling;
}

Local apply_scaling(const Module& m, config::Scaling choice, py::handle df, py::handle scaler) {
    Local scaled("df_scaled");
    if (choice == config::Scaling::none) {
        scaled = py::reinterpret_borrow<py::object>(df);
    } else if (choice == config::Scaling::standard) {
        scaled = m.call("testing_scaler", df, scaler);
    } else if (choice == config::Scaling::min_max) {
        scaled = m.call("testing_minmax", df, scaler);
    }
    return scaled;
}

void check_model_size(const Local& df_scaled, status::Progress& progress) {
    const py::object& frame = df_scaled.get();
    if (frame.is_none() || py::len(frame) < 3) progress.notice(status::kNoteTooFewRows);
}

HealthModel fit_health_model(const Module& m, py::handle fit_frame, py::handle scaled, py::handle features) {
    HealthModel model;
    auto [mu, cov, ucl, pca] = unpack<4>(m.call("health_modeling", fit_frame));
    model.mu = mu;
    model.cov = cov;
    model.ucl = ucl;
    model.pca = pca;
    py::object index = scaled.attr("index");
    model.t2 = item(m.call("cal_T2", scaled, model.pca, model.mu, model.cov, index), 0);
    model.score = m.call("Health_Index", model.t2, model.ucl, 0.9);
    model.anomaly_rate = m.call("T2_Anomaly_Rate", model.t2[py::str("tsquare")].attr("values"), model.ucl);
    model.spe_ratio = unpack<4>(m.call("SPE_residual", features, index, "alpha"_a = 0.05))[3];
    return model;
}

namespace {

struct Deadline {
    Local t_square{"rul_deadline_t_square"};
    Local score{"rul_deadline"};
    std::optional<py::object> warning_line;
};

// The health score of a T² value, never below 0.
py::object clipped_score(const Module& m, py::handle t_square, py::handle ucl) {
    return builtin("max")(health_score(m, t_square, ucl), 0.0);
}

Deadline deadline_of(const Module& m, config::Deadline choice, const HealthModel& model) {
    Deadline deadline;
    py::object t2 = model.t2[py::str("tsquare")];
    auto spread = [&](int sigmas) { return t2.attr("mean")() + py::int_(sigmas) * t2.attr("std")(); };
    if (choice == config::Deadline::mean_12_sd) {
        py::object t_square = spread(12);
        deadline.t_square = t_square;
        deadline.score = clipped_score(m, t_square, model.ucl);
    } else if (choice == config::Deadline::warning_line) {
        deadline.warning_line = clipped_score(m, spread(24), model.ucl);
        deadline.score = py::int_(0);
        deadline.t_square = py::float_(std::numeric_limits<double>::infinity());
    }
    return deadline;
}

}  // namespace

Robustness robustness_of(const HealthModel& model) {
    py::object worst = builtin("max")(model.anomaly_rate, model.spe_ratio);
    py::object index = builtin("round")(py::int_(1) - worst, 2);
    return {index, py::str(truthy(ge(index, py::float_(0.9))) ? "verify" : "warning")};
}

py::object health_score(const Module& m, py::handle t_square, py::handle ucl) {
    py::object np = m.global("np");
    py::object ratio = t_square / ucl;
    return np.attr("exp")(np.attr("log")(0.9) * ratio) * py::int_(100);
}

py::object now_text(const Module& m) {
    return m.global("datetime").attr("now")().attr("strftime")(kTimeFormat);
}

py::dict fitted_model_entries(const HealthModel& model, const FittedScaling& scaling, const Local& record,
                              py::handle time_col) {
    py::dict entries;
    entries["T2"] = model.t2;
    entries["HI_Score"] = model.score;
    entries["mu"] = model.mu;
    entries["cov"] = model.cov;
    entries["ucl"] = model.ucl;
    entries["scaler"] = scaling.scaler.get();
    entries["pca"] = model.pca;
    entries["indicator_col_name"] = record.get();
    entries["datetime_name"] = time_col;
    return entries;
}

ModelEntries model_entries(const Module& m, config::Deadline choice, const HealthModel& model,
                           const FittedScaling& scaling, const Local& record, py::handle time_col,
                           const Local& time_scale) {
    const Deadline deadline = deadline_of(m, choice, model);
    const Robustness robustness = robustness_of(model);
    py::dict entries = fitted_model_entries(model, scaling, record, time_col);
    entries["rul_deadline_t_square"] = deadline.t_square.get();
    entries["rul_deadline"] = deadline.score.get();
    entries["time_scale"] = time_scale.get();
    entries["training_anomalies"] = model.anomaly_rate;
    entries["model_bias"] = model.spe_ratio;
    entries["training_model_robust_index"] = robustness.index;
    entries["training_model_robust_status"] = robustness.status;
    return {entries, deadline.warning_line};
}

py::dict model_error_record(const status::Progress& progress, const std::string& message, bool with_codebook) {
    py::dict record;
    for (const char* key : {"T2", "HI_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name"}) {
        record[key] = py::none();
    }
    record["datetime_name"] = "_time";
    for (const char* key : {"rul_deadline_t_square", "rul_deadline", "time_scale", "training_anomalies",
                            "model_bias", "training_model_robust_index"}) {
        record[key] = py::none();
    }
    record["training_model_robust_status"] = status::kNone;
    for (const char* key : {"algo_config", "build_time", "start_time", "end_time"}) record[key] = py::none();
    if (with_codebook) record["codebook_setup"] = py::none();
    status::append_failure(record, progress, message);
    return record;
}

}  // namespace algo::hi::steps

// The preparation road that the pipelines share: configuration fields,
// column and time preparation, codebook filtering, feature families, feature
// extraction and scaling by setting, and the health model fitted on the
// result. Each pipeline strings these steps together in its own order, under
// its own stage codes; where pipelines differ the step takes a parameter.
#pragma once

#include "core/function.hpp"
#include "core/status.hpp"
#include "rows.hpp"
#include "settings.hpp"

#include <optional>
#include <string>

namespace algo::hi::steps {

// "min" for minute bins, "h" for hour bins; any other value leaves it unset.
Local time_scale_of(const config::Settings& settings);

// The labels of `labels` without those of quality columns: labels containing
// "percentage" or "QC" in any case. The time column's label stays.
py::list without_quality(const Module& m, const py::list& labels, py::handle time_col);

// Those of `wanted` that are among `labels`, in the order of `wanted`.
py::list present(py::handle wanted, py::handle labels);

// Whether a codebook asks for filtering: truthy and not named "None".
bool codebook_applies(py::handle codebook);

// Rows inside the codebook ranges; `control` is "all" or "min".
void codebook_filter(const Module& m, Rows& rows, py::handle codebook, const char* control);

bool is_empty(py::handle df);

// Feature columns sorted into the time-domain, frequency and failure-mode
// families by keyword; the first matching family wins.
struct Families {
    py::list time, frequency, fail_mode;

    static Families of(py::handle columns);
    // Drops the given names from every family, keeping the order of the rest.
    void remove(py::handle names);
};

// The family record of a families choice: all of them, without failure modes,
// or the frequency bands only; any other value leaves it unset.
Local family_record(const Module& m, config::Families choice, const Families& families);

// The columns a model was trained on: the time column, then the members of
// its family record, each name once.
py::list model_columns(py::handle time_col, py::handle record);

// How a pipeline turns prepared rows into features.
struct Extraction {
    enum class Kind { none, binned, rolling } kind = Kind::none;
    int window = 0, step = 0;  // rolling
    int hour_min_rows = 0;     // binned: thin hours dropped first on the hour scale (0: never)

    static Extraction binned(int hour_min_rows = 0) { return {Kind::binned, 0, 0, hour_min_rows}; }
    static Extraction rolling(int window, int step) { return {Kind::rolling, window, step, 0}; }
};

// How a stored model's features choice extracts features when new data is
// scored: time bins and 3600-row windows resample into time bins (never
// dropping thin hours); 120- and 60-row windows roll by 60 and 30 rows.
Extraction scoring_extraction(config::Features choice);

// Runs the extraction and returns the feature frame; the family record the
// extraction returns replaces `record`. `Kind::none` returns the rows' frame
// and leaves the record. The module's own extractions run natively on rows
// that are native still.
py::object extract(const Module& m, const Extraction& extraction, Rows& rows, Local& record, const Local& time_scale,
                   py::handle time_col);

// Scaling by choice when a model is trained: none (an unfitted standard
// scaler stands in), standardize or minmax_scale; otherwise unset.
struct FittedScaling {
    Local frame{"df_scaled"};
    Local scaler{"scaler"};
};
FittedScaling fit_scaling(const Module& m, config::Scaling choice, py::handle df);

// Scaling by choice with a stored scaler: none, testing_scaler or
// testing_minmax; otherwise unset.
Local apply_scaling(const Module& m, config::Scaling choice, py::handle df, py::handle scaler);

// Notes too little data to model: fewer than 3 scaled rows.
void check_model_size(const Local& df_scaled, status::Progress& progress);

// The PCA health model of the training rows and what it says about them.
struct HealthModel {
    py::object mu, cov, ucl, pca;
    py::object t2, score, anomaly_rate, spe_ratio;
};

// Fits on `fit_frame`, scores `scaled` (T², health index, anomaly rate) and
// fits the SPE model on the unscaled features `features`.
HealthModel fit_health_model(const Module& m, py::handle fit_frame, py::handle scaled, py::handle features);

// 100 * exp(ln 0.9 * t_square / ucl): the health score of a T² value with the
// pipelines' score tightness 0.9.
py::object health_score(const Module& m, py::handle t_square, py::handle ucl);

// 1 - the larger of the T² and SPE anomaly shares, rounded to 2 decimals, and
// its verdict: "verify" from 0.9 on, "warning" below.
struct Robustness {
    py::object index, status;
};
Robustness robustness_of(const HealthModel& model);

// datetime.now() as "%Y-%m-%d %H:%M:%S".
py::object now_text(const Module& m);

// The entries of a fitted model every trained model dictionary starts with,
// "T2" to "datetime_name".
py::dict fitted_model_entries(const HealthModel& model, const FittedScaling& scaling, const Local& record,
                              py::handle time_col);

// The entries every trained model dictionary of a configuration string starts
// with, "T2" to "training_model_robust_status", and the warning line that some
// end with.
//
// The deadline follows the deadline choice: mean_12_sd puts it at the health
// score of mean + 12 standard deviations of the training T²; warning_line draws a warning
// line at mean + 24 standard deviations instead, with a deadline score of 0
// whose T² is +inf (the T² that scores 0); any other value leaves it unset.
struct ModelEntries {
    py::dict entries;
    std::optional<py::object> warning_line;
};
ModelEntries model_entries(const Module& m, config::Deadline choice, const HealthModel& model,
                           const FittedScaling& scaling, const Local& record, py::handle time_col,
                           const Local& time_scale);

// The error form of a model dictionary: every data entry None except the
// fixed ones, then the status keys.
py::dict model_error_record(const status::Progress& progress, const std::string& message, bool with_codebook);

}  // namespace algo::hi::steps

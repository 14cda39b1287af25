#include "forecast.hpp"

#include "core/status.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace algo::rul {

namespace {

// Stages of the RUL calculation, in the order they run.
constexpr const char* kStageHealthIndex = "RUL_Error_01";
constexpr const char* kStageResampling = "RUL_Error_02";
constexpr const char* kStageHorizon = "RUL_Error_03";
constexpr const char* kStageForecast = "RUL_Error_04";
constexpr const char* kStageGrading = "RUL_Error_05";
constexpr const char* kStageTable = "RUL_Error_06";
constexpr const char* kStageDeathProbability = "RUL_Error_07";

constexpr const char* kUnitTooLittleHistory = "RUL data is not enough";
constexpr const char* kUnitDataProblem = "There\u2019s a problem with the data.";

// Only the most recent bins train the forecast: older behaviour says little
// about where the machine is heading now.
constexpr py::ssize_t kTrainingBins = 90;

// --- forecast ---------------------------------------------------------------

// The health index lives on 0..100; the forecast and its band are shown on
// that scale.
py::object on_health_scale(py::handle values) { return values.attr("clip")("lower"_a = 0, "upper"_a = 100); }

// Forecast steps before the first one that is not above the deadline, judged
// on the unclipped mean. A machine that has failed stays failed, so a forecast
// that recovers after crossing the deadline earns no further life.
py::int_ steps_before_failure(py::handle mean, py::handle deadline) {
    py::array_t<bool, py::array::c_style | py::array::forcecast> above(gt(mean, deadline));
    std::span<const bool> flags(above.data(), static_cast<std::size_t>(above.size()));
    return py::int_(std::ranges::find(flags, false) - flags.begin());
}

// --- death probability ------------------------------------------------------

// A band of zero or negative width would divide by zero or flip the sign of
// the distance; it counts as a vanishingly narrow band instead.
constexpr double kWidthFloor = 1e-06;

// np.array(value, dtype=float)
py::object as_float_array(py::handle np, py::handle value) {
    return np.attr("array")(value, "dtype"_a = py::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)));
}

// --- RUL calculation --------------------------------------------------------

// How a remaining life is graded: the least number of forecast steps that
// earns the grade, best grade first. The last grade takes every count the
// others leave, so a count that compares false with every floor (NaN from a
// substituted forecast) is graded as the worst.
struct Grade {
    long floor;
    const char* signal;
    const char* show;
};
constexpr long kAnyCount = std::numeric_limits<long>::min();

constexpr Grade kNinetyDayGrades[] = {
    {90, "green", "\u2265 90"}, {30, "yellow", "30 - 90"}, {kAnyCount, "red", "< 30"}};
constexpr Grade kThirtyDayGrades[] = {{30, "green", "\u2265 30"}, {kAnyCount, "red", "< 30"}};
constexpr Grade kFifteenDayGrades[] = {{15, "green", "\u2265 15"}, {kAnyCount, "red", "< 15"}};
// Five-minute steps; the labels are in minutes.
constexpr Grade kFiveMinuteGrades[] = {
    {20, "green", "\u2265 100"}, {8, "yellow", "40 - 100"}, {kAnyCount, "red", " < 40"}};

const Grade& grade_of(py::handle steps, std::span<const Grade> grades) {
    for (const Grade& grade : grades.first(grades.size() - 1)) {
        if (truthy(ge(steps, py::int_(grade.floor)))) return grade;
    }
    return grades.back();
}

// The forecast horizon in steps and how its remaining life is graded.
struct Plan {
    py::ssize_t horizon;
    std::span<const Grade> grades;
};

// The signal and band label of a remaining life. A forecast that stays above
// the deadline to the end of a horizon too short to earn the best grade says
// only that the machine outlives the horizon: grading it would call a healthy
// machine failing because its history is short, so it is left ungraded.
std::pair<py::object, py::object> graded(const Module& m, py::handle steps, const Plan& plan) {
    const bool outlives_horizon = truthy(ge(steps, py::int_(plan.horizon)));
    if (outlives_horizon && plan.horizon < plan.grades.front().floor) {
        return {py::str("gray"), m.global("np").attr("nan")};
    }
    const Grade& grade = grade_of(steps, plan.grades);
    return {py::str(grade.signal), py::str(grade.show)};
}

// Daily history: a longer history supports a longer horizon; under 30 days
// there is too little to forecast at all.
std::optional<Plan> daily_plan(py::ssize_t days) {
    if (days < 30) return std::nullopt;
    if (days >= 90) return Plan{90, kNinetyDayGrades};
    if (days >= 60) return Plan{30, kThirtyDayGrades};
    return Plan{15, kFifteenDayGrades};
}

// Five-minute history: forecast half as far as the history reaches, at most
// 100 minutes.
std::optional<Plan> five_minute_plan(py::ssize_t bins) {
    return Plan{std::min<py::ssize_t>(bins / 2, 20), kFiveMinuteGrades};
}

// The time step the health index is averaged over and forecast in.
struct Cadence {
    const char* rule;          // resampling rule and forecast frequency
    const char* step_keyword;  // pd.Timedelta keyword of one step
    int step_length;           // one step in units of `unit`
    const char* unit;          // unit of the reported remaining life
    std::optional<Plan> (*plan)(py::ssize_t bins);
};

constexpr Cadence kDaily{"D", "days", 1, "days", &daily_plan};
constexpr Cadence kFiveMinutes{"5min", "minutes", 5, "minutes", &five_minute_plan};

struct Forecast {
    py::object predict, upper, lower, steps, future_dates;
};

Forecast forecast_ahead(const Module& m, const Cadence& cadence, py::ssize_t horizon, py::handle history,
                        py::handle train, py::handle datetime_name, py::handle deadline) {
    py::object rul_model = m.global("rul_model");
    py::object recent = train[py::slice(-kTrainingBins, std::nullopt, std::nullopt)];
    auto [predict, upper, lower, steps] = unpack<4>(rul_model(recent, horizon, deadline));
    py::object last_time = history[datetime_name].attr("iloc")[py::int_(-1)];
    py::object pd = m.global("pd");
    py::dict one_step;
    one_step[cadence.step_keyword] = cadence.step_length;
    py::object start = last_time + pd.attr("Timedelta")(**one_step);
    py::object future_dates = pd.attr("date_range")("start"_a = start, "periods"_a = horizon, "freq"_a = cadence.rule);
    return {predict, upper, lower, steps, future_dates};
}

// pd.concat([head, tail], ignore_index=True)
py::object stacked(py::handle pd, py::handle head, py::handle tail) {
    py::list parts;
    parts.append(head);
    parts.append(tail);
    return pd.attr("concat")(parts, "ignore_index"_a = true);
}

// History bins followed by the forecast steps; the band is blank over the
// history.
py::object output_table(const Module& m, py::handle datetime_name, py::handle binned, py::handle history,
                        const Forecast& forecast) {
    py::object pd = m.global("pd");
    py::object series = pd.attr("Series");
    py::object nan = m.global("np").attr("nan");
    py::list blank;
    for (py::ssize_t i = 0, n = py::len(binned); i < n; ++i) blank.append(nan);
    py::dict columns;
    columns[datetime_name] = stacked(pd, history[datetime_name], series(forecast.future_dates));
    columns["Score"] = stacked(pd, binned["Score"], series(forecast.predict));
    columns["upper_CI"] = stacked(pd, series(blank), series(forecast.upper));
    columns["lower_CI"] = stacked(pd, series(blank), series(forecast.lower));
    return pd.attr("DataFrame")(columns);
}

py::object death_probability_at_horizon(const Module& m, const Forecast& forecast, py::handle deadline) {
    py::object death_probability = m.global("death_probability");
    py::object predict = forecast.predict[py::int_(-1)];
    py::object upper = forecast.upper.attr("iloc")[py::int_(-1)];
    py::object lower = forecast.lower.attr("iloc")[py::int_(-1)];
    return death_probability(predict, upper, lower, deadline);
}

// The data entries of the RUL result, in their order.
struct Report {
    py::object rul_predict, rul_days, rul_deadline, signal, show, unit, death_probability;
};

// No forecast: too little history, or a failure explained by `unit`.
Report without_forecast(const Module& m, py::object rul_deadline, const char* unit) {
    py::object nan = m.global("np").attr("nan");
    return {nan, py::int_(-1), rul_deadline, py::str("gray"), nan, py::str(unit), py::int_(-1)};
}

py::dict result_of(const Report& report) {
    py::dict result;
    result["rul_predict"] = report.rul_predict;
    result["rul_days"] = report.rul_days;
    result["rul_deadline"] = report.rul_deadline;
    result["signal"] = report.signal;
    result["show"] = report.show;
    result["unit"] = report.unit;
    result["death_probability"] = report.death_probability;
    return result;
}

Report calculate(const Module& m, py::handle tsquare_df, py::handle dictionary, py::handle score_tightness,
                 py::handle datetime_name, status::Progress& progress) {
    progress.enter(kStageHealthIndex);
    py::object health_index = m.global("HI").attr("Health_Index");
    py::object ucl = dictionary["ucl"];
    py::object scores = health_index(tsquare_df, ucl, score_tightness);
    py::object rul_deadline = dictionary["rul_deadline"];

    progress.enter(kStageResampling);
    const Cadence& cadence = is_text(dictionary["time_scale"], "h") ? kDaily : kFiveMinutes;
    py::object binned = scores.attr("resample")(cadence.rule).attr("mean")();
    py::object history = binned.attr("reset_index")("drop"_a = false);
    py::object train = history["Score"];

    progress.enter(kStageHorizon);
    py::tuple shape = train.attr("shape");
    std::optional<Plan> plan = cadence.plan(shape[0].cast<py::ssize_t>());
    if (!plan) return without_forecast(m, rul_deadline, kUnitTooLittleHistory);

    progress.enter(kStageForecast);
    Forecast forecast = forecast_ahead(m, cadence, plan->horizon, history, train, datetime_name, rul_deadline);

    progress.enter(kStageGrading);
    auto [signal, show] = graded(m, forecast.steps, *plan);
    // Daily steps already are days.
    py::object rul = cadence.step_length == 1 ? forecast.steps : forecast.steps * py::int_(cadence.step_length);

    progress.enter(kStageTable);
    py::object table = output_table(m, datetime_name, binned, history, forecast);

    progress.enter(kStageDeathProbability);
    py::object death = death_probability_at_horizon(m, forecast, rul_deadline);
    return {table, rul, rul_deadline, signal, show, py::str(cadence.unit), death};
}

// The deadline a failure result reports. The dictionary may lack it (that may
// be the failure being reported), and reporting must not fail in turn.
py::object reported_deadline(py::handle dictionary) {
    return status::guarded([&] { return dictionary.attr("get")("rul_deadline"); },
                           [](const std::string&) { return py::none(); });
}

}  // namespace

py::object rul_model(const Module& m, py::object train, py::object max_RUL, py::object deadline) {
    py::object model = m.global("ARIMA")(train, "order"_a = py::make_tuple(1, 1, 0), "trend"_a = "t");
    py::object forecast = model.attr("fit")().attr("get_forecast")("steps"_a = max_RUL);
    py::object summary = forecast.attr("summary_frame")("alpha"_a = 0.1);
    py::object predict = m.global("np").attr("array")(on_health_scale(summary["mean"]));
    py::object upper_CI = on_health_scale(summary["mean_ci_upper"]);
    py::object lower_CI = on_health_scale(summary["mean_ci_lower"]);
    py::object rul_days = steps_before_failure(forecast.attr("predicted_mean"), deadline);
    return py::make_tuple(predict, upper_CI, lower_CI, rul_days);
}

py::object death_probability(const Module& m, py::object predict, py::object UCL, py::object LCL,
                             py::object deadline) {
    py::object np = m.global("np");
    predict = as_float_array(np, predict);
    UCL = as_float_array(np, UCL);
    LCL = as_float_array(np, LCL);
    py::object width = UCL - LCL;
    width = np.attr("where")(le(width, py::int_(0)), kWidthFloor, width);
    py::object risk;
    if (truthy(gt(LCL, deadline))) {
        risk = py::int_(0);  // the whole band lies above the deadline
    } else {
        // The forecast's distance above the deadline in percent of the band
        // width: certain failure at the deadline, none a full width above it.
        risk = py::int_(100) - py::int_(100) * (predict - deadline) / width;
    }
    return np.attr("clip")(risk, 0, 100);
}

py::object rul_calculation(const Module& m, py::object tsquare_df, py::object dictionary,
                           py::object score_tightness) {
    py::object datetime_name = dictionary["datetime_name"];
    status::Progress progress(kStageHealthIndex);
    py::object result = status::guarded(
        [&] {
            py::dict result = result_of(calculate(m, tsquare_df, dictionary, score_tightness, datetime_name, progress));
            status::append_success(result, progress);
            return result;
        },
        [&](const std::string& message) {
            py::dict result = result_of(without_forecast(m, reported_deadline(dictionary), kUnitDataProblem));
            status::append_failure(result, progress, message);
            return result;
        });
    if (contains(dictionary, py::str("rul_warning_line"))) {
        result["rul_warning_line"] = dictionary["rul_warning_line"];
    }
    return result;
}

}  // namespace algo::rul

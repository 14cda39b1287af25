"""rul_calculation on 120 daily values and on 41 five-minute bins.

The T² frames come from the synthetic machine: a PCA health model of its
first, healthy stretch scores every row, and a bearing fault grows later on.
The ARIMA fit and forecast (rul_model) is timed on its own with the same
training values the calculation passes it, and reported as a share of the
whole call. The rest (health index, resampling, grading, the output table and
the death probability) is timed as the whole call with rul_model returning a
prepared forecast, since the difference of two noisy totals says little.
"""

import warnings

from algo.HI import HI
from algo.RUL import RUL
from algo.synthetic import machine_frame
from common import best_time, report

TIGHTNESS, DEADLINE = 0.9, 40.0


def tsquare_and_model(periods, freq, healthy_rows, fault_start, fault_days):
    rows = machine_frame("2024-01-01", periods=periods, freq=freq, seed=7, fault_start=fault_start,
                         fault_days=fault_days)
    features = rows.set_index("_time")
    scaled_healthy, scaler = HI.standardize(features.iloc[:healthy_rows])
    mu, cov, ucl, pca = HI.health_modeling(scaled_healthy)
    scaled = HI.testing_scaler(features, scaler)
    tsquare, _ = HI.cal_T2(scaled, pca, mu, cov, scaled.index)
    dictionary = {"datetime_name": "_time", "ucl": ucl, "rul_deadline": DEADLINE}
    return tsquare, dictionary


def training_values(tsquare, dictionary, rule):
    scores = HI.Health_Index(tsquare, dictionary["ucl"], TIGHTNESS).resample(rule).mean()
    return scores.reset_index()["Score"][-90:]


def without_forecast_cost(forecast, call):
    """Times `call` with rul_model returning the prepared `forecast` at once."""
    fitted = RUL.rul_model
    RUL.rul_model = lambda train, max_RUL, deadline: forecast
    try:
        return best_time(call, repeat=5)[0]
    finally:
        RUL.rul_model = fitted


def measure(label, tsquare, dictionary, rule, horizon):
    train = training_values(tsquare, dictionary, rule)
    model_s, forecast = best_time(lambda: RUL.rul_model(train, horizon, DEADLINE), repeat=5)
    whole_s, result = best_time(lambda: RUL.rul_calculation(tsquare, dictionary, TIGHTNESS), repeat=5)
    rest_s = without_forecast_cost(forecast, lambda: RUL.rul_calculation(tsquare, dictionary, TIGHTNESS))
    assert result["is_error"] == "False", result["error_message"]
    print(f"{label}: {len(tsquare):,} T² rows, {len(train)} training bins, horizon {horizon}; "
          f"RUL {result['rul_days']} {result['unit']}, signal {result['signal']}")
    report("  rul_model (ARIMA fit and forecast)", model_s)
    report("  rul_calculation, forecast prepared", rest_s)
    report("  rul_calculation, whole call", whole_s)
    print(f"  ARIMA share of the whole call: {model_s / whole_s:.0%}")


def main():
    warnings.simplefilter("ignore")  # statsmodels convergence notes on short noisy series
    daily, daily_model = tsquare_and_model(120 * 24, "h", 30 * 24, "2024-03-01", 160)
    measure("daily", daily, {**daily_model, "time_scale": "h"}, "D", 90)
    five_minute, five_minute_model = tsquare_and_model(41 * 5 * 60, "s", 60 * 60, "2024-01-01 01:30", 1)
    measure("5-minute", five_minute, {**five_minute_model, "time_scale": "min"}, "5min", 20)


if __name__ == "__main__":
    main()

"""Failure-mode thresholds and lights, and the ISO 20816-3 lights, on one day of 1 Hz rows."""

from algo.HI import HI
from algo.synthetic import machine_frame
from common import best_time, report


def main():
    healthy = machine_frame("2024-01-01", periods=86_400, seed=0)
    today = machine_frame("2024-01-02", periods=86_400, seed=1, fault_start="2024-01-01", fault_days=200)
    print(f"one day: {len(today):,} rows x {today.shape[1]} columns")

    seconds, thresholds = best_time(lambda: HI.pre_feature_training(healthy))
    assert isinstance(thresholds, dict), thresholds
    report(f"pre_feature_training (limits of {len(thresholds)} features)", seconds)
    seconds, lights = best_time(lambda: HI.pre_feature_light(today, thresholds))
    assert isinstance(lights, dict), lights
    report("pre_feature_light", seconds)
    limits = HI.ISO20816_overall(75, "Rigid")
    seconds, zones = best_time(lambda: HI.ISO20816_light(today, limits["warning"], limits["alert"]))
    assert isinstance(zones, dict), zones
    report("ISO20816_light", seconds)
    total, _ = best_time(lambda: (HI.pre_feature_light(today, thresholds),
                                  HI.ISO20816_light(today, limits["warning"], limits["alert"])))
    report("failure-mode evaluation of the day (both lights)", total)
    colours = [entry["light"] for entry in lights.values()]
    print(f"lights: {colours.count('green')} green, {colours.count('yellow')} yellow, {colours.count('red')} red")


if __name__ == "__main__":
    main()

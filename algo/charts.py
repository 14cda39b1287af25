"""The health-index chart of one machine: history, forecast and its band, deadline, warning line, bad zones."""

from __future__ import annotations

from pathlib import Path

import pandas as pd

from algo import writing
from algo.results import RulSummary

CHART_SUFFIXES = (".png", ".svg", ".pdf")
# The fonts matplotlib itself ships, so that no missing font is reported.
STYLE = {"font.family": ["sans-serif"], "font.sans-serif": ["DejaVu Sans"]}


def health_chart(path: str | Path, history: pd.DataFrame, rul: RulSummary, model: dict, title: str,
                 zones=()) -> Path:
    """Writes the chart to `path` (format by extension) and returns the path written."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with plt.rc_context(STYLE):
        figure, axes = plt.subplots(figsize=(11, 5))
        axes.plot(history.index, history["Score"], color="tab:blue", lw=1.2, label="health index")
        forecast = rul.forecast
        if forecast is not None:
            axes.plot(forecast["time"], forecast["score"], color="tab:purple", lw=1.5, label="forecast")
            axes.fill_between(forecast["time"], forecast["lower"], forecast["upper"],
                              color="tab:purple", alpha=0.15, label="90 % band")
        axes.axhline(model["rul_deadline"], color="tab:red", ls="--", lw=1, label="deadline")
        if "rul_warning_line" in model:
            axes.axhline(model["rul_warning_line"], color="tab:orange", ls=":", lw=1, label="warning line")
        for number, (start, end) in enumerate(zones):
            axes.axvspan(start, end, color="tab:red", alpha=0.08, label="bad zone" if number == 0 else None)
        axes.set_ylim(0, 105)
        axes.set_ylabel("health index (0-100)")
        axes.set_title(title)
        axes.legend(loc="lower left", fontsize=8)
        axes.grid(alpha=0.3)
        figure.autofmt_xdate()
        figure.tight_layout()
        try:
            return writing.save_figure(path, figure, dpi=110)
        finally:
            plt.close(figure)

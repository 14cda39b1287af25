"""The eight-field configuration string of a health model, parsed once into a typed view.

The library takes the configuration as text ("0,0,0,1,2,1,1,1"); the host
layers read it through `Configuration`, and the command's help text and the
checks are derived from the fields declared here, so that a field means one
thing everywhere.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass

from algo.errors import CheckError

DEFAULT_CONFIG = "0,0,0,1,2,1,1,1"
# The demos' configuration: hour bins with a warning line, so that a month of daily batches gets a daily
# forecast (and, in the fleet demo, the failed sister machines set each machine's deadline).
DEMO_CONFIG = "1,0,0,1,2,1,2,1"


class Choice(enum.Enum):
    """A value a field takes: its digit in the string and what it means."""

    def __new__(cls, code: str, meaning: str, window: int | None = None):
        member = object.__new__(cls)
        member._value_ = code
        member.meaning = meaning
        member.window = window  # rows a rolling window spans
        return member

    @property
    def code(self) -> str:
        return self.value


TimeScale = Choice("TimeScale", {"MINUTE": ("0", "minute bins"), "HOUR": ("1", "hour bins")})
Switch = Choice("Switch", {"OFF": ("0", "off"), "ON": ("1", "on")})
Families = Choice("Families", {"ALL": ("1", "all"), "WITHOUT_FAILURE_MODES": ("2", "without failure modes"),
                               "FREQUENCY_BANDS": ("3", "frequency bands only")})
Scaling = Choice("Scaling", {"NONE": ("1", "none"), "STANDARD": ("2", "standardise"), "MIN_MAX": ("3", "min-max")})
Model = Choice("Model", {"PCA": ("1", "PCA health model")})
Deadline = Choice("Deadline", {"MEAN_12_SD": ("1", "from mean + 12 sd of training T2"),
                               "WARNING_LINE": ("2", "warning line at mean + 24 sd")})
Features = Choice("Features", {"TIME_BINS": ("1", "time bins"),
                               "ROLLING_120": ("2", "rolling windows of 120 rows", 120),
                               "ROLLING_3600": ("3", "rolling windows of 3600 rows", 3600),
                               "ROLLING_60": ("4", "rolling windows of 60 rows", 60)})


# The fields in their order in the string: attribute, title, values.
FIELDS: tuple[tuple[str, str, type[Choice]], ...] = (
    ("time_scale", "time scale", TimeScale),
    ("testing_outlier_removal", "testing outlier removal (per-minute IQR outliers dropped when scoring)", Switch),
    ("low_resolution_screening", "low-resolution screening (near-zero features dropped)", Switch),
    ("families", "feature families", Families),
    ("scaling", "scaling", Scaling),
    ("model", "model", Model),
    ("deadline", "deadline", Deadline),
    ("features", "features", Features),
)


@dataclass(frozen=True)
class Configuration:
    """A configuration string, checked field by field against the values each field takes."""

    text: str
    time_scale: TimeScale
    testing_outlier_removal: Switch
    low_resolution_screening: Switch
    families: Families
    scaling: Scaling
    model: Model
    deadline: Deadline
    features: Features

    @classmethod
    def parse(cls, text: str) -> Configuration:
        parts = [part.strip() for part in str(text).split(",")]
        if len(parts) != len(FIELDS):
            raise CheckError(f"configuration {text!r}: expected {len(FIELDS)} comma-separated fields, "
                             f"got {len(parts)} (e.g. {DEFAULT_CONFIG})")
        values = {}
        for number, (part, (attribute, title, choice)) in enumerate(zip(parts, FIELDS), start=1):
            try:
                values[attribute] = choice(part)
            except ValueError:
                expected = ", ".join(f"{c.code} ({c.meaning})" for c in choice)
                raise CheckError(f"configuration {text!r}: field {number} ({title}) is {part!r}; "
                                 f"expected {expected}") from None
        return cls(str(text), **values)

    @property
    def rolling_window(self) -> int | None:
        """Rows a rolling window spans, or None for time bins."""
        return self.features.window


def help_text(default: str = DEFAULT_CONFIG) -> str:
    """What each field means, for the command's help."""
    lines = [f"configuration: eight comma-separated fields (default {default}):"]
    for number, (_, title, choice) in enumerate(FIELDS, start=1):
        lines.append(f"  {number} {title}: " + ", ".join(f"{c.code} {c.meaning}" for c in choice))
    return "\n".join(lines)

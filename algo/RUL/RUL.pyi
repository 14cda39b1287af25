"""Remaining useful life of rotating equipment (native module)."""

import os as os
from typing import Any

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from statsmodels.tsa.arima.model import ARIMA as ARIMA

from algo.HI import HI as HI

__all__: list[str]

def rul_model(train: pd.Series, max_RUL: int, deadline: float) -> tuple[np.ndarray, pd.Series, pd.Series, int]: ...
def death_probability(predict: float, UCL: float, LCL: float, deadline: float) -> np.ndarray: ...
def rul_calculation(tsquare_df: pd.DataFrame, dictionary: dict[str, Any], score_tightness: float) -> dict[str, Any]: ...

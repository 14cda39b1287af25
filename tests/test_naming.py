"""Raw export labels to feature names."""

import inspect

import pandas as pd
import pytest

from algo.HI import HI
from algo.synthetic import machine_frame


def test_a_full_raw_export_gets_the_feature_vocabulary():
    raw = machine_frame(periods=3, raw_labels=True)
    renamed = HI.rename_columns(raw)
    expected = machine_frame(periods=3).columns
    assert len(expected) == 60 and renamed.columns.tolist() == expected.tolist()
    assert renamed.columns.tolist()[:3] == ["_time", "RPM", "X_Overall"]
    assert {"X_Power_in_Band_01", "Z_Power_in_Band_10", "Van_Pass_percentage", "Y_Overall_QC"} <= set(renamed)
    pd.testing.assert_frame_equal(renamed.set_axis(raw.columns, axis=1), raw)


def test_labels_are_stripped_on_the_callers_frame_only_renamed_on_the_copy():
    raw = pd.DataFrame([[1, 2, 3, 4, 5]],
                       columns=[" X-Overall ", "Time", "_time ", "X-Power in Band 1", "Bearing %\t"])
    renamed = HI.rename_columns(raw)
    assert renamed.columns.tolist() == ["X_Overall", "_time", "_time", "X-Power in Band 1", "Bearing_percentage"]
    assert raw.columns.tolist() == ["X-Overall", "Time", "_time", "X-Power in Band 1", "Bearing %"]
    assert renamed is not raw and renamed.values.tolist() == [[1, 2, 3, 4, 5]]


def test_feature_names_pass_unchanged():
    frame = machine_frame(periods=2)
    pd.testing.assert_frame_equal(HI.rename_columns(frame.copy()), frame)


def test_labels_that_are_not_text_raise_the_library_error():
    with pytest.raises(AttributeError, match=".str accessor"):
        HI.rename_columns(pd.DataFrame([[1, 2]], columns=[0, 1]))


def test_signature_carries_the_annotations():
    assert str(inspect.signature(HI.rename_columns)) == "(df: 'pd.DataFrame') -> 'pd.DataFrame'"

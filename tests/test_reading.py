"""Reading real exports: formats, times, numbers and downtime, each reported rather than guessed."""

import io
import re

import numpy as np
import pandas as pd
import pytest

from algo import reading, synthetic
from algo.cli.options import FLAG_NAMES
from algo.reading import InputError, ReadOptions, read_rows


def refusal(path, options: ReadOptions, message: str) -> None:
    """Reading refuses with `message` as the command line words it, and names no flag to a Python caller."""
    with pytest.raises(InputError) as refused:
        read_rows(path, options)
    assert re.search(message, refused.value.message(FLAG_NAMES)), refused.value.message(FLAG_NAMES)
    assert "--" not in str(refused.value)


@pytest.fixture(scope="module")
def export():
    """Ten minutes of a machine as exported: display labels, times as text."""
    return synthetic.machine_frame("2024-01-13 10:00", periods=600, seed=3, raw_labels=True, time_as_text=True)


def expected_rows(export):
    return synthetic.machine_frame("2024-01-13 10:00", periods=600, seed=3)


def write_csv(frame, path, **options):
    frame.to_csv(path, index=False, **options)
    return path


@pytest.mark.parametrize("layout, options", [
    ("comma", {}),
    ("comma and space", {}),
    ("semicolon and decimal comma", {}),
    ("tab, overridden", {"delimiter": "\t"}),
    ("parquet with the time as index", {}),
    ("standard input", {}),
    ("two files out of order", {}),
])
def test_layouts_read_to_the_same_rows(export, tmp_path, monkeypatch, layout, options):
    if layout == "comma":
        sources = write_csv(export, tmp_path / "a.csv")
    elif layout == "comma and space":
        sources = tmp_path / "a.csv"
        sources.write_text(export.to_csv(index=False).replace(",", ", "))
    elif layout == "semicolon and decimal comma":
        sources = write_csv(export, tmp_path / "a.csv", sep=";", decimal=",")
    elif layout == "tab, overridden":
        sources = write_csv(export, tmp_path / "a.txt", sep="\t")
    elif layout == "parquet with the time as index":
        sources = tmp_path / "a.parq"
        export.assign(Time=pd.to_datetime(export["Time"])).set_index("Time").to_parquet(sources)
    elif layout == "standard input":
        monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(export.to_csv(index=False).encode())))
        sources = "-"
    else:
        sources = [write_csv(export.iloc[300:], tmp_path / "late.csv"), write_csv(export.iloc[:300], tmp_path / "early.csv")]
    rows = read_rows(sources, ReadOptions(**options)).rows
    expected = expected_rows(export)
    assert list(rows.columns) == list(expected.columns)
    np.testing.assert_array_equal(rows["_time"].to_numpy(), expected["_time"].to_numpy())
    np.testing.assert_allclose(rows.drop(columns="_time").to_numpy(), expected.drop(columns="_time").to_numpy())


@pytest.mark.parametrize("times, options, first, last, message", [
    # day first, told
    (["12.01.2024 22:00", "13.01.2024 00:00"], {"dayfirst": True}, "2024-01-12 22:00", "2024-01-13 00:00", None),
    # only month first fits
    (["01/12/2024 22:00", "01/13/2024 00:00"], {}, "2024-01-12 22:00", "2024-01-13 00:00", None),
    (["12.01.2024 22:00", "13.01.2024 00:00"], {}, None, None, r"ambiguous: '12.01.2024 22:00'.*'13.01.2024 00:00' only "
                                                               r"as day first; pass --dayfirst"),
    (["01.02.2024 10:00", "02.02.2024 10:00"], {}, None, None, "no date tells which; pass --dayfirst or --no-dayfirst"),
    (["01.02.2024 10:00", "02.02.2024 10:00"], {"dayfirst": False}, "2024-01-02 10:00", "2024-02-02 10:00", None),
    (["2024-01-12 22:00", "2024/13/01"], {"time_format": "%Y-%m-%d %H:%M"}, "2024-01-12 22:00", "2024-01-12 22:00", None),
    (["whenever", "soon"], {}, None, None, r"cannot read the times in column 'Time' \(e.g. 'whenever'\); give their --time-format"),
])
def test_times_are_read_as_told_or_refused_when_ambiguous(tmp_path, times, options, first, last, message):
    path = write_csv(pd.DataFrame({"Time": times, "X-Overall": [1.0, 2.0]}), tmp_path / "t.csv")
    if message:
        return refusal(path, ReadOptions(**options), message)
    rows = read_rows(path, ReadOptions(**options)).rows
    assert (rows["_time"].min(), rows["_time"].max()) == (pd.Timestamp(first), pd.Timestamp(last))


def test_mixed_offsets_become_utc_and_unreadable_times_are_counted(tmp_path):
    times = ["2024-03-31T01:58:00+01:00", "2024-03-31T03:00:00+02:00", "bad", "", "2024-03-31T03:02:00+02:00"]
    path = write_csv(pd.DataFrame({"Time": times, "X-Overall": [1.0, 2, 3, 4, 5]}), tmp_path / "dst.csv")
    found = read_rows(path)
    assert list(found.rows["_time"]) == list(pd.to_datetime(["2024-03-31 00:58", "2024-03-31 01:00",
                                                              "2024-03-31 01:02"], utc=True))
    assert list(found.rows["X_Overall"]) == [1.0, 2.0, 5.0]
    assert found.notes == ["times carried 2 different UTC offsets (+01:00, +02:00); converted to UTC",
                           "2 of 5 rows without a readable time left out"]


def test_stray_text_cells_are_coerced_and_counted(export, tmp_path):
    frame = export.astype(object)
    frame.iloc[5, 1] = "Bad"
    frame["Status"] = "Running"
    units = pd.DataFrame([["", *["mm/s"] * (frame.shape[1] - 1)]], columns=frame.columns)
    found = read_rows(write_csv(pd.concat([units, frame]), tmp_path / "units.csv"))
    assert len(found.rows) == 600 and found.rows["RPM"].dtype == float and np.isnan(found.rows["RPM"].iloc[5])
    assert found.notes == ["1 of 601 rows without a readable time left out",
                           "non-numeric cells read as missing: RPM 1 ('Bad')",
                           "text columns left out: Status ('Running')"]


@pytest.mark.parametrize("running_when, speed, stopped, condition", [
    (None, [1480.0] * 4 + [0.0] * 2, 2, "RPM > 148"),
    ("RPM >= 1000", [1480.0, 900, 1480, 1480, np.nan, 0], 2, "RPM >= 1000"),  # an unknown speed counts as running
    ("always", [0.0] * 6, 0, None),
    (None, [0.0] * 6, 6, "RPM > 0"),
])
def test_downtime_is_left_out_and_counted(tmp_path, running_when, speed, stopped, condition):
    frame = pd.DataFrame({"Time": pd.date_range("2024-01-01", periods=6, freq="s"), "RPM": speed,
                          "X-Overall": np.arange(6.0)})
    found = read_rows(write_csv(frame, tmp_path / "s.csv"), ReadOptions(running_when=running_when))
    assert found.stopped == stopped and len(found.rows) == 6 - stopped
    assert (str(found.running_when) if found.running_when else None) == condition
    assert found.all_stopped == (stopped == 6)


@pytest.mark.parametrize("content, options, message", [
    (b"", {}, "is empty"),
    (b"Time,X-Overall\n", {}, "has a header but no rows"),
    (b"When,X-Overall\n2024-01-01,1\n", {}, "has no time column: expected 'Time' or '_time'"),
    (b"When,X-Overall\n2024-01-01,1\n", {"time_column": "Zeit"}, "has no column 'Zeit'"),
    ("Time,Schwingstärke\n2024-01-01,1\n".encode("latin-1"), {}, "is not UTF-8 text.*--encoding"),
    (b"Time,RPM\n2024-01-01,1\n", {"running_when": "RPM is high"}, "expected COLUMN OP NUMBER"),
    (b"Time,RPM\n2024-01-01,1\n", {"running_when": "Speed > 3"}, "names the column 'Speed'"),
])
def test_unreadable_input_names_its_cause(tmp_path, content, options, message):
    path = tmp_path / "bad.csv"
    path.write_bytes(content)
    refusal(path, ReadOptions(**options), message)


def test_a_named_encoding_reads_what_utf8_cannot(tmp_path):
    path = tmp_path / "latin.csv"
    path.write_bytes("Time;Temperatur °C\n2024-01-01 00:00:00;1,5\n".encode("latin-1"))
    rows = read_rows(path, ReadOptions(encoding="latin-1")).rows
    assert rows["Temperatur °C"].tolist() == [1.5]


def test_score_files_of_every_format_read_back(tmp_path):
    scores = pd.DataFrame({"_time": pd.date_range("2024-01-01", periods=3, freq="min"), "tsquare": [1.0, 2, 3],
                           "Score": [99.0, 98, 97]})
    paths = [tmp_path / "s.csv", tmp_path / "s.json", tmp_path / "s.parquet"]
    scores.iloc[:2].to_csv(paths[0], index=False)
    scores.iloc[1:2].to_json(paths[1], orient="records", date_format="iso")
    scores.iloc[2:].to_parquet(paths[2], index=False)
    read = reading.read_scores(paths, "_time")
    assert read["tsquare"].tolist() == [1.0, 2.0, 3.0]
    assert read["_time"].dt.tz_localize(None).tolist() == scores["_time"].tolist()

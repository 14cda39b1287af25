"""What a fleet's data looks like in the field: partitions nested every way, identifiers that look like numbers,
manifests with near misses, and names a terminal or a file system cannot take as they are."""

import json
import os

import pandas as pd
import pytest

from algo import cli, fleet, reading, synthetic
from algo.fleet import discovery
from algo.reading import InputError
from algo.store import Store


def rows(start="2024-05-01", minutes=60, seed=1):
    return synthetic.machine_frame(start, periods=60 * minutes, seed=seed, raw_labels=True)


def lay_out(root, paths):
    for path in paths:
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        rows(seed=len(path)).to_parquet(root / path, index=False)
    return root


@pytest.mark.parametrize("paths, machines", [
    (["site=north/machine=a/p.parquet", "site=north/machine=b/p.parquet", "site=south/machine=c/p.parquet"],
     {"a": ({"site": "north"}, 1), "b": ({"site": "north"}, 1), "c": ({"site": "south"}, 1)}),
    (["date=2024-05-01/machine=a/p.parquet", "date=2024-05-02/machine=a/p.parquet",
      "date=2024-05-01/machine=b/p.parquet"], {"a": ({}, 2), "b": ({}, 1)}),
    (["machine=a/year=2024/month=05/p.parquet", "machine=a/year=2024/month=06/p.parquet", "b/x/p.parquet"],
     {"a": ({}, 2), "b": ({}, 1)}),
    (["line=2/machine=a%20%231/p.parquet"], {"a #1": ({"line": "2"}, 1)}),
])
def test_machines_of_nested_partitions(tmp_path, paths, machines):
    found = discovery.discover(str(lay_out(tmp_path, paths))).machines
    assert {m.machine: (m.attributes, len(m.sources)) for m in found} == machines


@pytest.mark.parametrize("paths, message", [
    (["site=north/machine=a/p.parquet", "site=south/machine=a/p.parquet"], "cannot be told apart"),
    (["site=north/a.parquet"], "partitioned by site= but by no machine= key"),
    (["machine=a/machine=b/p.parquet"], "more than one machine= partition"),
    (["pump.csv", "pump.parquet"], "machine 'pump' has two files, pump.csv and pump.parquet"),
])
def test_layouts_whose_machines_cannot_be_told_apart(tmp_path, paths, message):
    with pytest.raises(InputError, match=message):
        discovery.discover(str(lay_out(tmp_path, paths)))


def test_identifiers_are_text_and_manifest_strays_are_named(tmp_path, capsys):
    table = pd.concat([rows(seed=seed).assign(asset=name) for seed, name in enumerate(["007", "7"])])
    table.to_csv(tmp_path / "all.csv", index=False)
    (tmp_path / "manifest.csv").write_text("machine,iso_power,iso_foundation\n007,75,Rigid\n7,,\n07,,\n"
                                           "ghost,,\n")
    code = cli.main(["fleet", "train", str(tmp_path / "all.csv"), "--id-column", "asset", "--store",
                     str(tmp_path / "store"), "--manifest", str(tmp_path / "manifest.csv"), "--workers", "0",
                     "--json", "--strict"])
    report = json.loads(capsys.readouterr().out)
    assert code == 2 and sorted(o["machine"] for o in report["outcomes"] if o["outcome"] == "ok") == ["007", "7"]
    assert [note for note in report["notes"] if "'07'" in note] == [
        f"manifest {tmp_path / 'manifest.csv'}: no machine is named '07' (did you mean '007'?); its settings are "
        "not used"]
    assert any("'ghost'; its settings" in note for note in report["notes"])
    with Store.open(tmp_path / "store") as store:
        assert store.machines().set_index("machine").loc["007", "iso_power"] == 75


def test_hostile_and_unholdable_names(tmp_path, capsys):
    """ESC sequences reach no terminal; names too long for a file name, or not UTF-8, fail nothing."""
    data = tmp_path / "data"
    names = {"machine=pump%1B%5B2J%1B%5D52%3Bc%3BZXZpbA%3D%3D%07": "pump\x1b[2J\x1b]52;c;ZXZpbA==\x07",
             "x" * 248: "x" * 248, "軸受" * 15: "軸受" * 15}
    lay_out(data, [f"{folder}/p.parquet" for folder in names])
    with open(os.fsencode(data) + b"/m\xff.parquet", "wb") as latin:  # a name that is not UTF-8
        latin.write(rows(seed=9).to_parquet(index=False))
    outcomes = fleet.train(str(data), tmp_path / "store", workers=0)
    assert sorted(outcomes["machine"]) == sorted([*names.values(), "m\\xff"])
    assert set(outcomes["outcome"]) == {"ok"}
    assert cli.main(["fleet", "status", "--store", str(tmp_path / "store")]) == 0
    out = capsys.readouterr().out
    assert "\x1b" not in out and "\x07" not in out and "pump\\x1b[2J\\x1b]52;c;ZXZpbA==\\x07" in out


@pytest.mark.parametrize("case, message", [
    ("zoned and naive", "carry UTC offsets and those of"),
    ("empty part", None),
    ("latin-1 table", None),
    ("linked folder", None),
])
def test_smaller_cases_of_real_folders(tmp_path, case, message):
    data = tmp_path / "data"
    (data / "m").mkdir(parents=True)
    id_column = None
    if case == "zoned and naive":
        rows().to_csv(data / "m" / "a.csv", index=False)
        zoned = rows("2024-05-02").assign(Time=lambda f: f["Time"].dt.tz_localize("UTC").dt.tz_convert("+02:00"))
        zoned.to_csv(data / "m" / "b.csv", index=False)
    elif case == "empty part":
        rows().to_parquet(data / "m" / "a.parquet", index=False)
        (data / "m" / "b.csv").write_bytes(b"")
    elif case == "latin-1 table":
        data = tmp_path / "all.csv"
        rows().assign(asset="Kühler").to_csv(data, index=False, encoding="latin-1")
        id_column = "asset"
    else:
        os.rmdir(data / "m")
        (tmp_path / "elsewhere").mkdir()
        rows().to_parquet(tmp_path / "elsewhere" / "a.parquet", index=False)
        os.symlink(tmp_path / "elsewhere", data / "m")
    found = discovery.discover(str(data), id_column, reading.ReadOptions(encoding="latin-1"))
    if message:
        with pytest.raises(InputError, match=message):
            reading.read_rows(list(found.machines[0].sources))
        return
    reading.read_rows(list(found.machines[0].sources), reading.ReadOptions(encoding="latin-1"))
    assert [m.machine for m in found.machines] == ["Kühler" if id_column else "m"]


def test_a_recording_with_too_many_files_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(discovery, "MAX_FILES", 3)
    for number in range(5):
        (tmp_path / f"{number}.csv").write_text("")
    with pytest.raises(InputError, match="holds more than 3 files"):
        discovery.recording(str(tmp_path))

"""The algo-health command end to end on small generated files."""

import json
import logging
import subprocess
import sys

import pytest

from algo import cli, modelfile, synthetic


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Raw exports as CSV and Parquet, and a model trained from the CSV."""
    folder = tmp_path_factory.mktemp("cli")
    history = synthetic.machine_frame("2024-03-01", periods=3 * 3600, seed=1, raw_labels=True, time_as_text=True)
    today = synthetic.machine_frame("2024-03-02", periods=3600, seed=2, raw_labels=True, time_as_text=True)
    paths = {"history": folder / "history.csv", "today": folder / "today.parquet", "folder": folder}
    history.to_csv(paths["history"], index=False)
    today.to_parquet(paths["today"], index=False)
    paths["model"] = folder / "pump.model"
    assert cli.main(["train", str(paths["history"]), "--model", str(paths["model"]), "--quiet"]) == 0
    return paths


def run(capsys, *args):
    code = cli.main([str(a) for a in args])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def run_json(capsys, *args):
    code, out, err = run(capsys, *args, "--json")
    assert code == 0, err
    return json.loads(out)


class TestCommands:
    def test_train_writes_a_model_file(self, files, capsys):
        model = modelfile.load(files["model"])
        assert model["is_error"] == "False" and model["time_scale"] == "min"
        summary = run_json(capsys, "train", files["today"], "--model", files["folder"] / "p.model",
                           "--config", "0,0,0,1,2,1,2,1")
        assert summary["samples"] == 60 and summary["rul_warning_line"] > 0
        assert summary["training_model_robust_status"] in ("verify", "warning")

    def test_score_writes_csv_and_json(self, files, capsys):
        scores_csv = files["folder"] / "scores.csv"
        report = run_json(capsys, "score", files["today"], "--model", files["model"], "--out", scores_csv)
        assert report["samples"] == 60 and len(report["scores"]) == 60
        assert set(report["scores"][0]) == {"_time", "tsquare", "Score"}
        assert scores_csv.read_text().startswith("_time,tsquare,Score")
        scores_json = files["folder"] / "scores.json"
        assert run(capsys, "score", files["today"], "--model", files["model"], "--out", scores_json)[0] == 0
        assert len(json.loads(scores_json.read_text())) == 60

    def test_rul_from_scores_with_a_chart(self, files, capsys):
        scores = files["folder"] / "scores-for-rul.csv"
        run(capsys, "score", files["today"], "--model", files["model"], "--out", scores)
        chart = files["folder"] / "rul.png"
        report = run_json(capsys, "rul", scores, "--model", files["model"], "--chart", chart)
        assert report["unit"] == "minutes" and report["signal"] in ("green", "yellow", "red")
        assert report["is_error"] == "False" and len(report["forecast"]) == 6  # 12 five-minute bins
        assert chart.stat().st_size > 10_000

    def test_iso_limits_and_lights(self, files, capsys):
        report = run_json(capsys, "iso", files["today"], "--power", 75, "--foundation", "Rigid")
        assert (report["warning"], report["alert"]) == (2.8, 4.5)
        assert set(report["lights"]) == {"X_Overall", "Y_Overall", "Z_Overall"}

    def test_thresholds_then_lights(self, files, capsys):
        thresholds = files["folder"] / "thresholds.json"
        learnt = run_json(capsys, "thresholds", files["history"], "--out", thresholds)
        assert "X_Overall" in learnt and json.loads(thresholds.read_text()) == learnt
        lights = run_json(capsys, "lights", files["today"], "--thresholds", thresholds)
        assert set(lights) == set(learnt)
        assert {entry["light"] for entry in lights.values()} <= {"green", "yellow", "red", None}

    def test_human_report(self, files, capsys):
        code, out, err = run(capsys, "score", files["today"], "--model", files["model"])
        assert code == 0 and "60 samples scored" in out and err == ""  # no progress when stderr is no terminal


class TestBadInput:
    @pytest.mark.parametrize("make_args, message", [
        (lambda f: ["score", f["folder"] / "missing.csv", "--model", f["model"]], "no such file"),
        (lambda f: ["score", f["today"], "--model", f["history"]], "is not a model file"),
        (lambda f: ["train", f["folder"] / "layout.csv", "--model", f["folder"] / "x.model"], "has no time column"),
        (lambda f: ["train", f["history"], "--model", f["folder"] / "x.model", "--config", "0,0,0"],
         "training failed at stage Error_02: not enough values to unpack (expected 8, got 3)"),
        (lambda f: ["iso", f["today"], "--power", 5, "--foundation", "Rigid"],
         "Power must be greater than or equal to 15 kW."),
        (lambda f: ["lights", f["today"], "--thresholds", f["history"]], "is not valid JSON"),
        (lambda f: ["rul", f["today"], "--model", f["model"]], "needs the columns '_time' and 'tsquare'"),
    ])
    def test_one_line_message_and_exit_code(self, files, capsys, make_args, message):
        (files["folder"] / "layout.csv").write_text("a,b\n1,2\n")
        code, out, err = run(capsys, *make_args(files))
        assert code == 1 and out == ""
        assert message in err and len(err.strip().splitlines()) == 1 and "Traceback" not in err

    def test_model_file_from_another_format_version(self, files, capsys):
        newer = files["folder"] / "newer.model"
        newer.write_bytes(modelfile.MAGIC + b'{"format": 99, "library": "9.0"}\n' + b"payload")
        code, _, err = run(capsys, "score", files["today"], "--model", newer)
        assert code == 1 and "model-file format 99" in err


def test_demo_runs_the_whole_road(tmp_path, capsys, caplog):
    chart = tmp_path / "demo.png"
    with caplog.at_level(logging.WARNING):
        report = run_json(capsys, "demo", "--out", chart, "--days", 100)
    assert chart.stat().st_size > 20_000
    assert not [r for r in caplog.records if "findfont" in r.getMessage()]
    assert report["rul"]["signal"] in ("yellow", "red") and report["rul"]["unit"] == "days"
    assert 0 < report["model"]["rul_deadline"] < report["model"]["rul_warning_line"]
    assert report["bad_zones"] and set(report["iso"]) == {"X_Overall", "Y_Overall", "Z_Overall"}


def test_module_entry_point_shows_help():
    result = subprocess.run([sys.executable, "-m", "algo", "--help"], capture_output=True, text=True, cwd="/")
    assert result.returncode == 0 and "demo" in result.stdout and "train" in result.stdout

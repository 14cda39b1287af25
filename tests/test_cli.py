"""The algo-health command end to end on small generated files."""

import json
import logging
import os
import resource
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from algo import cli, modelfile, synthetic, writing


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
    paths["thresholds"] = folder / "thresholds.json"
    assert cli.main(["thresholds", str(paths["history"]), "--out", str(paths["thresholds"]), "--quiet"]) == 0
    paths["codebook"] = folder / "codebook.json"
    paths["codebook"].write_text(json.dumps({"setup_name": "pump", "config": {"axis": {"X": {"time_domain": [
        {"type": "overall_rms", "min": 0, "max": 25}]}}}}))
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
        assert summary["input"]["running_when"].startswith("RPM > ")

    def test_score_writes_every_format_and_appends_without_duplicates(self, files, capsys):
        for suffix in (".csv", ".json", ".parquet"):
            out = files["folder"] / f"scores{suffix}"
            report = run_json(capsys, "score", files["today"], "--model", files["model"], "--out", out)
            assert report["samples"] == 60 and set(report["scores"][0]) == {"_time", "tsquare", "Score"}
            assert len(pd.read_parquet(out) if suffix == ".parquet" else
                       pd.read_json(out) if suffix == ".json" else pd.read_csv(out)) == 60
        later = files["folder"] / "later.csv"
        synthetic.machine_frame("2024-03-03", periods=3600, seed=4, raw_labels=True).to_csv(later, index=False)
        out = files["folder"] / "scores.parquet"
        for batch in (files["today"], later, files["today"]):
            assert run(capsys, "score", batch, "--model", files["model"], "--out", out, "--append")[0] == 0
        assert len(pd.read_parquet(out)) == 120 and pd.read_parquet(out)["_time"].is_unique

    def test_one_hour_of_healthy_scores_is_ungraded(self, files, capsys):
        scores = files["folder"] / "hour.json"
        run(capsys, "score", files["today"], "--model", files["model"], "--out", scores)
        chart = files["folder"] / "rul.svg"
        report = run_json(capsys, "rul", scores, "--model", files["model"], "--chart", chart)
        assert (report["signal"], report["show"], report["unit"]) == ("gray", None, "minutes")
        assert report["rul_at_least"] is True and len(report["forecast"]) == report["rul"] / 5 == 6
        assert chart.read_text().startswith("<?xml")
        code, out, _ = run(capsys, "rul", scores, "--model", files["model"])
        assert "remaining useful life: ≥ 30 minutes  signal gray  (not graded" in out

    def test_lights_grade_what_the_limits_cover_and_fail_on_a_colour(self, files, capsys):
        limits = json.loads(files["thresholds"].read_text())
        del limits["X_Overall"]
        partial = files["folder"] / "partial.json"
        partial.write_text(json.dumps(limits))
        report = run_json(capsys, "lights", files["today"], "--thresholds", partial, "--last", "10min")
        assert report["skipped"] == ["X_Overall"] and set(report["lights"]) == set(limits)
        assert report["window"] == {"start": "2024-03-02T00:50:00", "end": "2024-03-02T00:59:59"}
        assert all(np.isfinite(entry["value"]) for entry in report["lights"].values())
        tight = {feature: dict.fromkeys(("upper_warning", "upper_alert"), 0.0) | dict.fromkeys(
            ("lower_warning", "lower_alert")) for feature in limits}
        files["folder"].joinpath("tight.json").write_text(json.dumps(tight))
        assert run(capsys, "lights", files["today"], "--thresholds", files["folder"] / "tight.json",
                   "--fail-on", "red")[0] == cli.EXIT_FLAGGED

    def test_iso_grades_the_latest_stretch(self, files, capsys):
        report = run_json(capsys, "iso", files["today"], "--power", 75, "--foundation", "Rigid", "--last", "1h")
        assert (report["warning"], report["alert"], report["worst"]) == (2.8, 4.5, "green")
        assert set(report["lights"]) == {"X_Overall", "Y_Overall", "Z_Overall"}
        assert run(capsys, "iso", files["today"], "--power", 75, "--foundation", "Rigid", "--fail-on", "yellow",
                   "--quiet")[0] == 0

    def test_a_stopped_batch_is_reported_not_scored(self, files, capsys):
        stopped = files["folder"] / "stopped.csv"
        synthetic.machine_frame("2024-03-04", periods=600, seed=5, raw_labels=True).assign(RPM=0.0).to_csv(
            stopped, index=False)
        report = run_json(capsys, "score", files["today"], stopped, "--model", files["model"])
        assert [b["status"] for b in report["batches"]] == ["scored", "stopped"] and report["samples"] == 60
        assert report["batches"][1]["downtime_rows"] == 600

    def test_every_command_prints_valid_json_with_library_lines_kept_out(self, files, capsys):
        commands = [
            ["train", files["history"], "--model", files["folder"] / "cb.model", "--codebook", files["codebook"]],
            ["score", files["today"], "--model", files["folder"] / "cb.model"],
            ["thresholds", files["today"], "--out", files["folder"] / "t.json"],
            ["lights", files["today"], "--thresholds", files["thresholds"]],
            ["iso", files["today"], "--power", 400, "--foundation", "Flexible"],
        ]
        for command in commands:
            document = run_json(capsys, *command)
            assert isinstance(document["notes"], list)
        assert modelfile.load(files["folder"] / "cb.model")["codebook_setup"]["setup_name"] == "pump"


@pytest.fixture(scope="module")
def broken(files):
    """Exports with the faults real files have."""
    folder, good = files["folder"], synthetic.machine_frame("2024-03-05", periods=1800, seed=6, raw_labels=True)
    made = {"header only": good.head(0), "no readable time": good.assign(Time="soon"),
            "constant": good.assign(**{c: 1.0 for c in good.columns[1:]}),
            "no values": good.assign(**{c: None for c in good.columns[2:]}),
            "all downtime": good.assign(RPM=0.0),
            "sparse": synthetic.machine_frame("2024-03-05", periods=1080, freq="10s", raw_labels=True)}
    paths = {}
    for name, frame in made.items():
        paths[name] = folder / f"{name.replace(' ', '-')}.csv"
        frame.to_csv(paths[name], index=False)
    paths["day first"] = folder / "dayfirst.csv"
    good.assign(Time=pd.date_range("2024-01-12 23:45", periods=1800, freq="s").strftime("%d.%m.%Y %H:%M:%S")).to_csv(
        paths["day first"], index=False, sep=";", decimal=",")
    paths["bad codebook"] = folder / "bad-codebook.json"
    paths["bad codebook"].write_text('{"config": {"axis": {"X": {"time_domain": [{"min": 0}]}}}}')
    return paths


class TestBadInput:
    @pytest.mark.parametrize("make_args, message", [
        (lambda f, b: ["train", b["header only"]], "has a header but no rows"),
        (lambda f, b: ["train", b["no readable time"]], "cannot read the times in column 'Time' (e.g. 'soon')"),
        (lambda f, b: ["train", b["constant"]], "no feature varies in the 1,800 rows (constant: X_Overall, "),
        (lambda f, b: ["train", b["all downtime"]], "all 1,800 rows are downtime (running when RPM > 0)"),
        (lambda f, b: ["train", b["sparse"], "--config", "1,0,0,1,2,1,1,1"],
         "hour bins need 3 hours with at least 1,800 distinct seconds each; the input has 0"),
        (lambda f, b: ["train", b["day first"]], "'13.01.2024 00:00:00' only as day first; pass --dayfirst"),
        (lambda f, b: ["train", f["history"], "--config", "9,0,0,1,2,1,1,1"],
         "argument --config: configuration '9,0,0,1,2,1,1,1': field 1 (time scale) is '9'; expected 0 (minute bins)"),
        (lambda f, b: ["train", f["history"], "--codebook", b["bad codebook"]],
         'is not a codebook: "X" time_domain has an entry without a "type" text'),
        (lambda f, b: ["train", f["history"], "--codebook", b["bad codebook"].with_name("missing.json")],
         "no such file"),
        (lambda f, b: ["score", f["today"], "--model", f["history"]], "is not a model file"),
        (lambda f, b: ["score", b["no values"], "--model", f["model"]],
         "no values in 48 of the model's 48 features in the 1,800 rows: X_Overall, "),
        (lambda f, b: ["score", f["today"], "--model", f["model"], "--out", f["folder"] / "scores.xlsx"],
         "expected a file ending in .csv, .json, .parquet"),
        (lambda f, b: ["rul", f["today"], "--model", f["model"]], "needs the columns '_time' and 'tsquare'"),
        (lambda f, b: ["rul", f["today"], "--model", f["model"], "--tightness", 1], "between 0 and 1"),
        (lambda f, b: ["iso", f["today"], "--power", "inf", "--foundation", "Rigid"], "finite number above 0"),
        (lambda f, b: ["iso", f["today"], "--power", 5, "--foundation", "Rigid"],
         "Power must be greater than or equal to 15 kW."),
        (lambda f, b: ["lights", f["today"], "--thresholds", f["history"]], "is not valid JSON"),
        (lambda f, b: ["demo", "--days", 0], "argument --days: 0: expected at least 1"),
    ])
    def test_one_line_message_exit_code_and_nothing_written(self, files, broken, capsys, make_args, message):
        args = make_args(files, broken)
        if args[0] == "train":
            args += ["--model", files["folder"] / "never.model"]
        code, out, err = run(capsys, *args)
        assert code == 1 and out == ""
        assert message in err and len(err.strip().splitlines()) == 1 and "Traceback" not in err
        assert not (files["folder"] / "never.model").exists()

    def test_model_files_that_changed_are_refused(self, files, capsys, tmp_path):
        payload = files["model"].read_bytes()
        damaged = {
            "flipped": payload[:-100] + bytes(b ^ 0xFF for b in payload[-100:-92]) + payload[-92:],
            "truncated": payload[: len(payload) // 2],
            "newer format": modelfile.MAGIC + b'{"format": 99, "library": "9.0"}\n' + b"payload",
        }
        for name, content in damaged.items():
            path = tmp_path / f"{name}.model"
            path.write_bytes(content)
            code, _, err = run(capsys, "score", files["today"], "--model", path)
            assert code == 1
            assert {"flipped": "do not match the checksum", "truncated": "cut short",
                    "newer format": "model-file format 99"}[name] in err


class TestWholeWrites:
    def test_an_interrupted_write_leaves_the_previous_file(self, tmp_path, monkeypatch):
        target = writing.write_text(tmp_path / "model", "previous")

        def interrupted(fd):
            raise KeyboardInterrupt

        monkeypatch.setattr(os, "fsync", interrupted)
        with pytest.raises(KeyboardInterrupt):
            writing.write_text(target, "new")
        assert target.read_text() == "previous" and os.listdir(tmp_path) == ["model"]

    def test_a_size_limit_leaves_the_previous_model(self, files, tmp_path):
        model = tmp_path / "pump.model"
        model.write_bytes(files["model"].read_bytes())

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failing write, not a killed process
            resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))

        result = subprocess.run([sys.executable, "-m", "algo", "train", str(files["history"]), "--model", str(model)],
                                capture_output=True, text=True, preexec_fn=limited, cwd="/")
        assert result.returncode == 1 and "cannot write" in result.stderr and "File too large" in result.stderr
        assert model.read_bytes() == files["model"].read_bytes() and os.listdir(tmp_path) == ["pump.model"]


def test_a_closed_pipe_ends_quietly(files):
    command = f"{sys.executable} -m algo score {files['today']} --model {files['model']} --json | head -c 10"
    result = subprocess.run(["bash", "-o", "pipefail", "-c", command], capture_output=True, text=True, cwd="/")
    assert result.stdout == '{\n  "batch' and result.stderr == ""


def test_demo_runs_the_whole_road(tmp_path, capsys, caplog):
    chart = tmp_path / "demo.png"
    with caplog.at_level(logging.WARNING):
        report = run_json(capsys, "demo", "--out", chart, "--days", 100)
    assert chart.stat().st_size > 20_000
    assert not [r for r in caplog.records if "findfont" in r.getMessage()]
    assert report["rul"]["signal"] in ("yellow", "red") and report["rul"]["unit"] == "days"
    assert 0 < report["model"]["rul_deadline"] < report["model"]["rul_warning_line"]
    assert report["bad_zones"] and set(report["iso"]["lights"]) == {"X_Overall", "Y_Overall", "Z_Overall"}


def test_module_entry_point_shows_help_and_version():
    result = subprocess.run([sys.executable, "-m", "algo", "--help"], capture_output=True, text=True, cwd="/")
    assert result.returncode == 0 and "demo" in result.stdout and "train" in result.stdout
    result = subprocess.run([sys.executable, "-m", "algo", "--version"], capture_output=True, text=True, cwd="/")
    assert result.returncode == 0 and result.stdout.startswith("algo-health ")


def test_an_unexpected_error_is_one_line_with_its_traceback_under_verbose(files, capsys, monkeypatch):
    from algo import machine

    def broken(*args, **kwargs):
        raise RuntimeError("a fault of ours")

    monkeypatch.setattr(machine, "train", broken)
    for flags, traceback_shown in (((), False), (("--verbose",), True)):
        code, out, err = run(capsys, "train", files["history"], "--model", files["folder"] / "x.model", *flags)
        assert code == 1 and out == ""
        assert err.splitlines()[-1] == "algo-health train: unexpected error: RuntimeError: a fault of ours"
        assert ("Traceback" in err and "in broken" in err) == traceback_shown


def test_every_remedy_has_a_flag_and_a_python_name():
    from algo.cli.options import FLAG_NAMES
    from algo.errors import PYTHON_NAMES

    assert FLAG_NAMES.keys() == PYTHON_NAMES.keys()

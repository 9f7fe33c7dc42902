"""The tuning loop on small configurations whose benchmark has a known optimum."""

import csv
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import yaml

from knobsmith import cli
from knobsmith.stagekit import StageKit

SCRIPT = str(pathlib.Path(sys.executable).parent / "knobsmith")

# score = 100 - (x - 7)^2, plus 10 when mode is b: the optimum is x=7, mode=b, score 110.
BENCH = """\
x=$(cat x)
mode=$(cat mode)
bonus=0
if [ "$mode" = b ]; then bonus=10; fi
echo $(( 100 - (x - 7) * (x - 7) + bonus )) > score
"""


def setup(folder, *, iterations=30, timeout=0, target=None, bench=BENCH):
    (folder / "x").write_text("0\n")
    (folder / "mode").write_text("a\n")
    (folder / "bench.sh").write_text(textwrap.dedent(bench))
    config = {
        "iterations": iterations, "timeout": timeout, "benchmark": "sh bench.sh",
        "startworkload": "", "stopworkload": "",
        "evaluations": [{"name": "score", "info": {"get": "cat score", "type": "positive", "target": target}}],
        "object": [
            {"name": "x", "info": {"desc": "", "get": "cat x", "set": "echo $value > x", "needrestart": "false",
                                   "type": "discrete", "dtype": "int", "scope": [0, 10], "step": 1, "items": []}},
            {"name": "mode", "info": {"desc": "", "get": "cat mode", "set": "echo $value > mode",
                                      "needrestart": "false", "type": "discrete", "dtype": "string",
                                      "options": ["a", "b", "c"]}},
        ],
    }
    (folder / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))


def tune(folder, *args, monkeypatch=None):
    """Runs `knobsmith tune` in `folder`, in this process; returns the exit status."""
    monkeypatch.chdir(folder)
    status = cli.main(["tune", "tune.yaml", "--report", "report", *args])
    return status


def trials(folder):
    with open(folder / "report" / "trials.csv", newline="") as stream:
        return list(csv.DictReader(stream))


def test_the_optimum_is_found_and_applied(tmp_path, monkeypatch, capsys):
    setup(tmp_path, iterations=40)
    assert tune(tmp_path, monkeypatch=monkeypatch) == 0
    out = capsys.readouterr()
    assert "baseline score = 51" in out.err
    best = yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())
    assert best["values"] == {"x": 7, "mode": "b"} and best["best"] == 110.0 and best["baseline"] == 51.0
    assert best["improvement_percent"] == 115.69 and best["left_applied"] == "the best values"
    assert ((tmp_path / "x").read_text(), (tmp_path / "mode").read_text()) == ("7\n", "b\n")
    # 33 configurations in all: each is measured once, then the run stops short of its budget.
    measured = [(row["x"], row["mode"]) for row in trials(tmp_path)]
    assert len(measured) == len(set(measured)) == 33
    assert "stopped: every configuration the sampler can still propose was measured" in out.out
    assert f"report: {tmp_path / 'report'}" in out.out
    assert (tmp_path / "report" / "metric.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "bak_tune.ini").read_text().startswith("[params]\nx = 0\nmode = a\n")


def test_restore_flag_leaves_the_backed_up_values(tmp_path, monkeypatch, capsys):
    setup(tmp_path, iterations=5)
    assert tune(tmp_path, "--restore", monkeypatch=monkeypatch) == 0
    assert ((tmp_path / "x").read_text(), (tmp_path / "mode").read_text()) == ("0\n", "a\n")
    assert "left applied: the backed-up values" in capsys.readouterr().out


# As BENCH, but x=3 makes the benchmark fail and x=4 makes the metric unreadable.
FAILING_AT_3_AND_4 = """\
x=$(cat x)
mode=$(cat mode)
if [ "$x" = 3 ]; then exit 1; fi
if [ "$x" = 4 ]; then echo oops > score; exit 0; fi
bonus=0
if [ "$mode" = b ]; then bonus=10; fi
echo $(( 100 - (x - 7) * (x - 7) + bonus )) > score
"""


def test_failed_trials_are_recorded_and_skipped(tmp_path, monkeypatch, capsys):
    setup(tmp_path, iterations=16, bench=FAILING_AT_3_AND_4)
    assert tune(tmp_path, monkeypatch=monkeypatch) == 0
    rows = trials(tmp_path)
    failed = [row for row in rows if row["state"] == "FAIL"]
    assert {row["x"] for row in failed} == {"3", "4"}
    notes = {row["note"] for row in failed}
    assert notes <= {"the benchmark ended with exit status 1", "the metric is not a number: 'oops'"} and len(notes) == 2
    assert all(row["score"] == "" for row in failed)
    assert yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())["values"] == {"x": 7, "mode": "b"}


def test_three_failures_in_a_row_stop_the_run_and_restore(tmp_path, monkeypatch, capsys):
    # Every trial fails: the benchmark refuses to run once a set command has touched x.
    setup(tmp_path, iterations=20, bench="if [ ! -f touched ]; then echo 1 > score; else exit 1; fi\n")
    config = yaml.safe_load((tmp_path / "tune.yaml").read_text())
    config["object"][0]["info"]["set"] = "sh set.sh $value"
    (tmp_path / "set.sh").write_text('echo "$1" > x\ntouch touched\n')
    (tmp_path / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    assert tune(tmp_path, monkeypatch=monkeypatch) == 1
    out, err = capsys.readouterr()
    assert [row["state"] for row in trials(tmp_path)] == ["FAIL"] * 3
    assert "stopped: 3 trials failed in a row; no trial completed" in out
    assert "left applied: the backed-up values" in out
    assert err.rstrip().endswith("knobsmith: the run failed: 3 trials failed in a row; no trial completed")
    assert (tmp_path / "x").read_text() == "0\n"


@pytest.mark.parametrize(
    "settings, reason",
    [
        ({"target": "50%"}, "the target of 50% is reached"),
        ({"timeout": 1, "bench": BENCH + "sleep 0.4\n"}, "the time budget of 1 s is spent"),
        ({"iterations": 3}, "the budget of 3 trials is spent"),
    ],
)
def test_stop_conditions(tmp_path, monkeypatch, capsys, settings, reason):
    setup(tmp_path, **settings)
    assert tune(tmp_path, monkeypatch=monkeypatch) == 0
    out = capsys.readouterr().out
    assert f"stopped: {reason}" in out
    assert len(trials(tmp_path)) < 30


@pytest.mark.parametrize(
    "broken, args, message",
    [
        ("x_get", [], "no parameter value could be read, so nothing was backed up; not tuning"),
        ("exit 1\n", [], "the baseline could not be measured: the benchmark ended with exit status 1"),
        ("sleep 300\n", ["--benchmark-timeout", "0.5"],
         "the baseline could not be measured: the benchmark timed out after 0.5 s"),
    ],
)
def test_a_run_that_cannot_start_says_why(tmp_path, monkeypatch, capsys, broken, args, message):
    setup(tmp_path, bench=BENCH if broken == "x_get" else broken)
    if broken == "x_get":
        (tmp_path / "x").unlink()
    assert tune(tmp_path, *args, monkeypatch=monkeypatch) == 1
    err = capsys.readouterr().err
    assert err.rstrip().endswith(f"knobsmith: {message}")
    assert (broken != "x_get") == ("the backed-up values are restored" in err)
    assert not (tmp_path / "report" / "trials.csv").exists()


def test_an_error_mid_run_restores_and_says_so(tmp_path, monkeypatch, capsys):
    setup(tmp_path, iterations=10)
    real = StageKit.apply_params
    calls = []

    def failing_once(self, params):
        calls.append(dict(params))
        if len(calls) == 2:
            raise RuntimeError("disk on fire")
        return real(self, params)

    monkeypatch.setattr(StageKit, "apply_params", failing_once)
    assert tune(tmp_path, monkeypatch=monkeypatch) == 1
    err = capsys.readouterr().err
    assert "knobsmith: stopped by an error; the backed-up values are restored (read back)" in err
    assert err.rstrip().endswith("knobsmith: RuntimeError: disk on fire")
    assert calls[-1] == {"x": "0", "mode": "a"}
    assert ((tmp_path / "x").read_text(), (tmp_path / "mode").read_text()) == ("0\n", "a\n")


def test_ctrl_c_restores_and_says_so(tmp_path):
    slow = BENCH + 'if [ -f trial-running ]; then exec sleep 60; fi\n'
    setup(tmp_path, iterations=10, bench=slow)
    config = yaml.safe_load((tmp_path / "tune.yaml").read_text())
    config["object"][0]["info"]["set"] = "sh set.sh $value"
    (tmp_path / "set.sh").write_text('echo "$1" > x\ntouch trial-running\n')
    (tmp_path / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    process = subprocess.Popen([SCRIPT, "tune", "tune.yaml"], cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(3000):
            if (tmp_path / "trial-running").exists():
                break
            time.sleep(0.01)
        time.sleep(0.2)  # let the benchmark start
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130
    assert "knobsmith: interrupted by SIGINT; the backed-up values are restored (read back)" in err
    assert (tmp_path / "x").read_text() == "0\n" and "Traceback" not in err


def test_a_stored_study_resumes(tmp_path, monkeypatch, capsys):
    setup(tmp_path, iterations=4)
    storage = f"sqlite:///{tmp_path / 'study.db'}"
    assert tune(tmp_path, "--storage", storage, monkeypatch=monkeypatch) == 0
    assert len(trials(tmp_path)) == 4
    config = yaml.safe_load((tmp_path / "tune.yaml").read_text())
    config["iterations"] = 7
    (tmp_path / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    capsys.readouterr()
    assert tune(tmp_path, "--storage", storage, monkeypatch=monkeypatch) == 0
    err = capsys.readouterr().err
    assert "resuming 4 earlier trials; baseline score = 51" in err
    rows = trials(tmp_path)
    # Proposals that repeat a measured configuration take trial numbers but are not measured.
    assert [row["trial"] for row in rows[:4]] == ["0", "1", "2", "3"] and len(rows) == 7
    assert len({(row["x"], row["mode"]) for row in rows}) == 7
    assert (tmp_path / "bak_tune.ini").read_text().startswith("[params]\nx = 0\n")


def test_dry_run_touches_nothing(tmp_path, monkeypatch, capsys):
    setup(tmp_path)
    assert tune(tmp_path, "--dry-run", monkeypatch=monkeypatch) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[:6] == ["# read and back up the current values", "cat x", "cat mode", "# measure the baseline",
                         "sh bench.sh", "cat score"]
    assert lines[6] == "# trial 0" and lines[7].startswith("echo ") and lines[7].endswith(" > x")
    assert lines[-2:] == ["sh bench.sh", "cat score"]
    assert sorted(path.name for path in tmp_path.iterdir()) == ["bench.sh", "mode", "tune.yaml", "x"]


def test_the_progress_bar_shows_the_trial_the_last_and_the_best(tmp_path, monkeypatch, capsys):
    from knobsmith.tuner.loop import Options, TuningRun
    from knobsmith.tuner.measuring import Measurer

    setup(tmp_path, iterations=3)
    monkeypatch.chdir(tmp_path)
    run = TuningRun(Options("tune.yaml", progress=True), say=lambda line: None)
    with open(tmp_path / "benchmark.log", "w") as log:
        run.run(Measurer(run.cfg.get_benchmark_script(), run.metric_command, log))
    final = capsys.readouterr().err.split("\r")[-1]
    assert final.startswith("tuning: 100%") and "3/3" in final
    assert "last=" in final and "best=" in final

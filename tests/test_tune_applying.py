"""Tuning a simulated server with real commands: values that fail or do not take, restarts in the
right order and only when needed, a workload that never becomes ready, and signals."""

import csv
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest
import yaml

from knobsmith import cli
from knobsmith.params.applying import same_value, telling_line

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from conftest import knob_config  # noqa: E402

SCRIPT = str(pathlib.Path(sys.executable).parent / "knobsmith")

# The server: x is set live, r only through an option file (r.pending) that a start reads. A start
# takes a moment, wipes the live value of x, and only then answers the readiness check.
SCRIPTS = {
    "set.sh": 'echo "set $1 $2" >> journal\necho "$2" > "$1"\n',
    "stop.sh": "echo stop >> journal\nrm -f running\n",
    "start.sh": "echo start >> journal\nsleep 0.3\ncp r.pending r\necho 0 > x\necho listening\ntouch running\n",
    "bench.sh": 'echo "bench x=$(cat x) r=$(cat r)" >> journal\necho $(( 100 - ($(cat x) - 3) * ($(cat x) - 3) + $(cat r) )) > score\n',
}


def server(folder, *, iterations=4, set_x="sh set.sh x $value", start="sh start.sh", ready="test -f running",
           ready_timeout=None, r_scope=(1, 2), bench="sh bench.sh"):
    for name, text in SCRIPTS.items():
        (folder / name).write_text(text)
    for name, value in (("x", "0"), ("r", "0"), ("r.pending", "0"), ("running", "")):
        (folder / name).write_text(value + "\n")
    r = {"name": "r", "info": {"desc": "", "get": "cat r", "set": "sh set.sh r.pending $value", "needrestart": "true",
                               "type": "discrete", "dtype": "int", "scope": list(r_scope), "step": 1, "items": []}}
    config = knob_config(iterations=iterations, x={"set": set_x, "scope": [0, 5]}, knobs=("x",), objects=[r],
                         benchmark=bench, startworkload=start, stopworkload="sh stop.sh", readyworkload=ready)
    if ready_timeout is not None:
        config["readytimeout"] = ready_timeout
    (folder / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))


def tune(folder, monkeypatch, *args):
    monkeypatch.chdir(folder)
    return cli.main(["tune", "tune.yaml", "--report", "report", *args])


def trials(folder):
    with open(folder / "report" / "trials.csv", newline="") as stream:
        return [row for row in csv.DictReader(stream) if row["state"] != "REPEAT"]


def journal(folder):
    return (folder / "journal").read_text().splitlines()


def test_restart_parameters_then_restart_then_live_ones_and_no_needless_restart(tmp_path, monkeypatch, capsys):
    server(tmp_path, iterations=6)
    assert tune(tmp_path, monkeypatch) == 0, capsys.readouterr().err
    rows = trials(tmp_path)
    assert all(row["state"] == "COMPLETE" for row in rows)
    # Split the journal at each benchmark: what ran before it belongs to that trial.
    steps, current = [], []
    for line in journal(tmp_path):
        current.append(line)
        if line.startswith("bench "):
            steps.append(current)
            current = []
    baseline, *measured = steps
    assert baseline == ["bench x=0 r=0"]
    previous_r = "0"
    for row, step in zip(rows, measured):
        # Each benchmark ran with its trial's values in effect.
        assert step[-1] == f"bench x={row['x']} r={row['r']}"
        if row["r"] != previous_r:
            assert step[:-1] == [f"set r.pending {row['r']}", "stop", "start", f"set x {row['x']}"]
        else:
            assert step[:-1] == [f"set x {row['x']}"]
        previous_r = row["r"]
    # The end leaves the best values applied, restarting only if r differs from the last trial's.
    best = yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())
    assert best["left_applied"] == "the best values"
    assert ((tmp_path / "x").read_text().strip(), (tmp_path / "r").read_text().strip()) == (
        str(best["values"]["x"]), str(best["values"]["r"]))
    assert "listening" in (tmp_path / "report" / "workload.log").read_text()


def test_failed_and_clamped_values_fail_their_trial_and_are_never_best(tmp_path, monkeypatch, capsys):
    # x=4 is refused with an error; x=5 is clamped to 3 with exit status 0, as a server does.
    (tmp_path / "setx.sh").write_text(
        'case "$1" in\n4) echo "ERROR 1231: x cannot be 4" >&2\nexit 1 ;;\n5) echo 3 > x ;;\n*) echo "$1" > x ;;\nesac\n')
    # A budget over every configuration (x 0..5, r 0..1): whatever the sampler's path, 4 and 5 are tried.
    server(tmp_path, iterations=12, set_x="sh setx.sh $value", r_scope=(0, 1))
    assert tune(tmp_path, monkeypatch, "--seed", "3") == 0, capsys.readouterr().err
    rows = trials(tmp_path)
    by_x = {value: [row for row in rows if row["x"] == value] for value in ("4", "5")}
    assert by_x["4"] and by_x["5"], "the sampler never tried 4 and 5"
    for row in by_x["4"]:
        assert (row["state"], row["note"]) == ("FAIL", "x: the set command failed (exit status 1): ERROR 1231: x cannot be 4")
    for row in by_x["5"]:
        assert (row["state"], row["note"], row["x in effect"]) == ("FAIL", "x: requested 5, in effect 3", "3")
    assert all(row["x in effect"] == "" for row in rows if row["x"] != "5")
    best = yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())
    assert best["values"]["x"] == 3


@pytest.mark.parametrize(
    "start, note",
    [
        ("echo cannot bind port 3306 >&2\nexit 1\n",
         "the workload's start command ended with exit status 1: cannot bind port 3306"),
        ("echo still loading\n", "the workload was not ready after 1 s: still loading"),
    ],
)
def test_a_workload_that_never_becomes_ready_fails_the_trial_with_its_output(tmp_path, monkeypatch, capsys, start, note):
    (tmp_path / "badstart.sh").write_text(start)
    server(tmp_path, iterations=5, start="sh badstart.sh", ready_timeout=1)
    assert tune(tmp_path, monkeypatch) == 1
    out, err = capsys.readouterr()
    rows = trials(tmp_path)
    assert [row["state"] for row in rows] == ["FAIL"] and {row["note"] for row in rows} == {note}
    # The backed-up r cannot be restarted into either: the system, not the trial's values, is broken.
    stopped = (f"the system, not the configuration, is broken: after trial 0 failed, the backed-up values failed "
               f"too ({note})")
    assert f"stopped: {stopped}" in out
    assert f"left applied: NOT the backed-up values: {note}" in out
    assert f"knobsmith: the run failed: {stopped}" in err
    assert note.rsplit(": ", 1)[1] in (tmp_path / "report" / "workload.log").read_text()


@pytest.mark.parametrize(
    "key, value, message",
    [
        ("readytimeout", 0, "readytimeout must be a number of seconds greater than 0, not 0"),
        ("readytimeout", "soon", "readytimeout must be a number of seconds greater than 0, not 'soon'"),
        ("readyworkload", ["ping"], "readyworkload must be a command (a string), not list"),
        ("readyworkload", "ping; rm -rf x", "readyworkload breaks the shell-metacharacter rule"),
    ],
)
def test_bad_readiness_keys_stop_the_run_before_anything_runs(tmp_path, monkeypatch, capsys, key, value, message):
    server(tmp_path)
    config = yaml.safe_load((tmp_path / "tune.yaml").read_text())
    config[key] = value
    (tmp_path / "tune.yaml").write_text(yaml.safe_dump(config))
    assert tune(tmp_path, monkeypatch) == 1
    assert capsys.readouterr().err.splitlines()[-1] == f"knobsmith: {message}"
    assert not (tmp_path / "journal").exists()


@pytest.mark.parametrize("number, again, terminal", [
    (signal.SIGTERM, None, True),
    (signal.SIGHUP, None, True),
    # A second signal while the first one's interruption ends the group, whose child ignores
    # SIGTERM: the group is still ended, by SIGKILL, and the run ends as the first signal said.
    (signal.SIGTERM, signal.SIGINT, True),
    # The terminal is gone before its hangup: only the printing stops.
    (signal.SIGHUP, None, False),
], ids=["SIGTERM", "SIGHUP", "second-signal", "terminal-gone"])
def test_a_signal_restores_ends_the_benchmark_group_and_keeps_the_report(tmp_path, number, again, terminal):
    # The benchmark of the first trial starts a child that would outlive a killed shell.
    child = "(trap '' TERM\nexec sleep 60)" if again else "sleep 60"
    bench = f"if [ -f trial ]; then {child} & echo $! > child\nwait\nfi\nsh bench.sh\n"
    server(tmp_path, iterations=5, bench="sh slowbench.sh")
    (tmp_path / "slowbench.sh").write_text(bench)
    (tmp_path / "set.sh").write_text(SCRIPTS["set.sh"] + "touch trial\n")
    process = subprocess.Popen([SCRIPT, "tune", "tune.yaml", "--report", "report"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(3000):
            if (tmp_path / "child").exists():
                break
            time.sleep(0.01)
        if not terminal:
            process.stdout.close()
            process.stderr.close()
        process.send_signal(number)
        if again:
            time.sleep(0.5)
            process.send_signal(again)
        out, err = process.communicate(timeout=60) if terminal else (process.wait(timeout=60), "")
    finally:
        process.kill()
    name = signal.Signals(number).name
    assert process.returncode == 128 + number, err
    if terminal:
        assert f"knobsmith: interrupted by {name}; the backed-up values are restored (read back)" in err
    assert (tmp_path / "x").read_text() == "0\n"
    child = int((tmp_path / "child").read_text())
    with pytest.raises(ProcessLookupError):
        for _ in range(100):
            os.kill(child, 0)
            time.sleep(0.05)
    assert [(row["state"], row["note"]) for row in trials(tmp_path)] == [("FAIL", f"interrupted by {name}")]
    assert yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())["left_applied"] == "the backed-up values"


@pytest.mark.parametrize(
    "requested, text, same",
    [
        (7, "7", True), (7, "3", False), (7, "7.0", True), (0.1234567, "0.123457", True), (0.5, "0.6", False),
        (1e-05, "1e-05", True), (2.0, "2", True), (134217728, "134217728", True), (3, "", False), (3, "three", False),
        ("row", "ROW", True), ("O_DIRECT", "fsync", False), ("0.5", "0.50", True), ("60", "60", True),
        ("deadline", None, False), (True, "True", True), (float("nan"), "nan", False),
        # A server that clamps a value a few percent off did not take it.
        (1000, "960", False), ("1000", "1050", False), (134217728, "134217000", False),
    ],
)
def test_a_value_read_back_is_compared_up_to_its_printed_rounding(requested, text, same):
    assert same_value(requested, text) is same


@pytest.mark.parametrize(
    "text, line",
    [
        ("--------------\nSET GLOBAL x=1\n--------------\n\nERROR 1231 (42000): bad value\n", "ERROR 1231 (42000): bad value"),
        ("\n  sh: 1: nosuch: not found\nmore\n", "sh: 1: nosuch: not found"),
        ("---\n\n", ""),
    ],
)
def test_the_telling_line_of_an_error_output(text, line):
    assert telling_line(text) == line


def test_a_killed_run_leaves_the_report_of_its_finished_trials(tmp_path):
    # The third trial's benchmark never ends; the run is then killed outright.
    bench = "if [ -f trials ] && [ $(wc -l < trials) -ge 3 ]; then echo $$ > sleeper\nexec sleep 60\nfi\nsh bench.sh\n"
    server(tmp_path, iterations=6, bench="sh slowbench.sh")
    (tmp_path / "slowbench.sh").write_text(bench)
    (tmp_path / "set.sh").write_text(SCRIPTS["set.sh"] + 'if [ "$1" = x ]; then echo $2 >> trials; fi\n')
    process = subprocess.Popen([SCRIPT, "tune", "tune.yaml", "--report", "report"], cwd=tmp_path,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(3000):
            if (tmp_path / "trials").exists() and len((tmp_path / "trials").read_text().splitlines()) >= 3:
                break
            time.sleep(0.01)
        time.sleep(0.3)
        process.kill()
        process.wait(timeout=30)
    finally:
        process.kill()
        if (tmp_path / "sleeper").exists():
            os.kill(int((tmp_path / "sleeper").read_text()), signal.SIGKILL)
    rows = trials(tmp_path)
    assert [row["state"] for row in rows] == ["COMPLETE", "COMPLETE"]
    best = yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())
    assert best["left_applied"] == "(the run has not ended)" and best["best_trial"] in (0, 1)

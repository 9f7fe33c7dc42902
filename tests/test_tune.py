"""The tuning loop on small configurations whose benchmark has a known optimum."""

import csv
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest
import yaml

from knobsmith import cli
from knobsmith.stagekit import StageKit
from knobsmith.tuner import proposing
from knobsmith.tuner import study as studies

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
# score = 100 - (x - 7)^2, plus 10 when mode is b: the optimum is x=7, mode=b, score 110.
from conftest import SCORE_BENCH as BENCH  # noqa: E402
from conftest import guarded  # noqa: E402

SCRIPT = str(pathlib.Path(sys.executable).parent / "knobsmith")


def tune(folder, *args, monkeypatch=None):
    """Runs `knobsmith tune` in `folder`, in this process; returns the exit status."""
    monkeypatch.chdir(folder)
    status = cli.main(["tune", "tune.yaml", "--report", "report", *args])
    return status


def trials(folder, repeats=False):
    """The rows of trials.csv; those of proposals that repeated a measured configuration with `repeats`."""
    with open(folder / "report" / "trials.csv", newline="") as stream:
        return [row for row in csv.DictReader(stream) if repeats or row["state"] != "REPEAT"]


def test_the_optimum_is_found_and_applied(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload(iterations=40)
    assert tune(tmp_path, monkeypatch=monkeypatch) == 0
    out = capsys.readouterr()
    assert "baseline score = 51" in out.err
    best = yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())
    assert best["values"] == {"x": 7, "mode": "b"} and best["best"] == 110.0 and best["baseline"] == 51.0
    assert best["improvement_percent"] == 115.69 and best["left_applied"] == "the best values"
    assert best["sampler"] == "gaussian-process" and "proposals by the gaussian-process sampler" in out.err
    assert ((tmp_path / "x").read_text(), (tmp_path / "mode").read_text()) == ("7\n", "b\n")
    # 33 configurations in all: each is measured once, then the run stops short of its budget.
    rows = trials(tmp_path, repeats=True)
    measured = [(row["x"], row["mode"]) for row in rows if row["state"] != "REPEAT"]
    assert len(measured) == len(set(measured)) == 33
    # A proposal that repeated one is a row of its own, naming the trial it repeats: no gaps.
    repeats = [row for row in rows if row["state"] == "REPEAT"]
    assert repeats and [int(row["trial"]) for row in rows] == list(range(len(rows)))
    for row in repeats:
        earlier = rows[int(row["note"].split()[2].rstrip(":"))]
        assert (earlier["x"], earlier["mode"]) == (row["x"], row["mode"]) and earlier["state"] == "COMPLETE"
        assert re.search(rf"^{row['trial']} +REPEAT +as trial {earlier['trial']} ", out.out, re.M)
    assert "stopped: every configuration the sampler can still propose was measured" in out.out
    assert f"report: {tmp_path / 'report'}" in out.out
    assert (tmp_path / "report" / "metric.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "bak_tune.ini").read_text().startswith("[params]\nx = 0\nmode = a\n")


def test_restore_flag_leaves_the_backed_up_values(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload(iterations=5)
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


def test_failed_trials_are_recorded_and_skipped(knob_workload, tmp_path, monkeypatch, capsys):
    # A budget over the 33 configurations: every one is tried, the failing ones included.
    knob_workload(iterations=40, bench=FAILING_AT_3_AND_4)
    assert tune(tmp_path, monkeypatch=monkeypatch) == 0
    rows = trials(tmp_path)
    failed = [row for row in rows if row["state"] == "FAIL"]
    assert {row["x"] for row in failed} == {"3", "4"}
    notes = {row["note"] for row in failed}
    assert notes <= {"the benchmark ended with exit status 1", "the metric is not a number: 'oops'"} and len(notes) == 2
    assert all(row["score"] == "" for row in failed)
    assert yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())["values"] == {"x": 7, "mode": "b"}


# Half the space fails as a server out of memory would; the optimum, x=30 and mode b, lies in the other half.
HALF_FAILS = """\
x=$(cat x)
if [ "$x" -ge 50 ]; then echo out of memory; exit 1; fi
bonus=0
if [ "$(cat mode)" = b ]; then bonus=100; fi
echo $(( 10000 - (x - 30) * (x - 30) + bonus )) > score
"""


def test_failed_trials_steer_the_search_away_and_the_run_spends_its_budget(knob_workload, monkeypatch):
    folder = knob_workload(bench=HALF_FAILS, iterations=30, x={"scope": [0, 100]})
    assert tune(folder, "--confirm", "0", monkeypatch=monkeypatch) == 0
    rows = trials(folder)
    assert len(rows) == 30
    failed = [row["state"] == "FAIL" for row in rows]
    assert failed == [int(row["x"]) >= 50 for row in rows]
    assert {row["note"] for row in rows if row["state"] == "FAIL"} == {"the benchmark ended with exit status 1: out of memory"}
    assert all(row["score"] == "" for row in rows if row["state"] == "FAIL")
    # The sampler learns where trials fail: after its random start (where half fail), under a
    # quarter of its proposals go there.
    start = proposing.GP_START_UP
    assert sum(failed[start:]) < (30 - start) / 4 and sum(failed) < 8


@pytest.mark.parametrize("prelude, settings, state", [
    ("if [ $(cat x) -ge 6 ]; then exit 1; fi\n", {}, "FAIL"),
    # A broken guardrail is measured, yet as infeasible as a failure.
    ("cat x > latency\n", {"evaluations": guarded({"max": 5})}, "COMPLETE"),
], ids=["failed", "out of bound"])
def test_every_infeasible_configuration_stays_so_until_the_space_is_spent(knob_workload, monkeypatch, prelude,
                                                                          settings, state):
    # Of the 33 configurations, the 15 with x >= 6 fail or break the bound; the budget outlasts them
    # all, so most proposals at the end repeat measured ones, answered with their results (some at random).
    folder = knob_workload(prelude=prelude, iterations=60, **settings)
    assert tune(folder, "--confirm", "0", "--max-failed", "1", monkeypatch=monkeypatch) == 0
    rows = trials(folder)
    assert len({(row["x"], row["mode"]) for row in rows}) == len(rows) >= 30
    assert [row["state"] == state and (state == "FAIL" or row["note"].startswith("out of bound: latency"))
            for row in rows] == [int(row["x"]) >= 6 for row in rows]
    best = yaml.safe_load((folder / "report" / "best.yaml").read_text())
    assert best["values"] == {"x": 5, "mode": "b"}
    optuna = proposing.optuna_module()
    storage = studies.journal(str(folder / "report"))
    study = optuna.load_study(study_name=optuna.get_all_study_names(storage)[0], storage=storage)
    assert len(study.trials) > 60
    for trial in study.trials:
        assert trial.constraints == {"0": 1.0 if int(trial.params["x"]) >= 6 else 0.0}


# latency is x during the search (the baseline and 33 configurations), x + 1 when measured again.
DRIFTING_LATENCY = """\
runs=$(( $(cat runs 2>/dev/null || echo 0) + 1 ))
echo $runs > runs
if [ $runs -gt 34 ]; then echo $(( $(cat x) + 1 )) > latency; else cat x > latency; fi
"""


def test_every_evaluation_is_measured_and_a_candidate_out_of_bound_when_confirmed_is_ruled_out(
        knob_workload, monkeypatch, capsys):
    folder = knob_workload(prelude=DRIFTING_LATENCY, iterations=40, evaluations=guarded({"max": 5}))
    assert tune(folder, monkeypatch=monkeypatch) == 0
    out = capsys.readouterr().out
    rows = trials(folder)
    assert len(rows) == 33 and all(float(row["latency"]) == int(row["x"]) for row in rows)
    best = yaml.safe_load((folder / "report" / "best.yaml").read_text())
    # The baseline's evaluations are those of the baseline measured with the best, as its gain is.
    assert (best["guardrails"], best["baseline_evaluations"]) == ({"latency": {"max": 5.0}}, {"latency": 1.0})
    # The search's three best within the bound: (5, b) 106, (4, b) 101, and x=5 with a or c (96).
    entries = {entry["label"]: entry for entry in best["confirmation"][1:]}
    ruled_out = {label for label, entry in entries.items() if entry["values"]["x"] == 5}
    assert len(entries) == 3 and len(ruled_out) == 2
    for label in ruled_out:
        assert entries[label]["out_of_bound"] == "latency 6 breaks its bound (max 5, runs 6, 6, 6)"
        assert f"{label} was ruled out: latency 6 breaks its bound (max 5, runs 6, 6, 6)" in best["verdict"]
    assert best["values"] == {"x": 4, "mode": "b"} and best["best_evaluations"] == {"latency": 5.0}
    assert all(type(value) is float for entry in best["confirmation"]
               for value in entry["evaluations"]["latency"]["measurements"])
    assert ((folder / "x").read_text(), (folder / "mode").read_text()) == ("4\n", "b\n")
    assert "OUT OF BOUND" in out and (folder / "report" / "evaluations.png").exists()


def longest_failing_streak(rows):
    streak = longest = 0
    for row in rows:
        streak = streak + 1 if row["state"] == "FAIL" else 0
        longest = max(longest, streak)
    return longest


# Only x 0 and 1 work.
MOSTLY_FAILS = "if [ $(cat x) -ge 2 ]; then exit 1; fi\n" + BENCH
BREAKS_AT_RUN_4 = ('n=$(( $(cat runs 2>/dev/null || echo 0) + 1 ))\necho $n > runs\n'
                   'if [ $n -ge 4 ]; then echo disk full; exit 1; fi\n' + BENCH)


@pytest.mark.parametrize(
    "bench, args, status, states, stopped",
    [
        # More than three in a row fail, and the run goes on to the end of its budget.
        (MOSTLY_FAILS, ["--max-failed", "1"], 0, None, "the budget of 10 trials is spent"),
        (MOSTLY_FAILS, ["--max-failed", "0.3"], 1, None,
         "4 of the budget of 10 trials failed, more than the share --max-failed 0.3 allows"),
        # Baseline, trials 0 and 1; trial 2 fails and so do the backed-up values after it.
        (BREAKS_AT_RUN_4, [], 1, ["COMPLETE", "COMPLETE", "FAIL"],
         "the system, not the configuration, is broken: after trial 2 failed, the backed-up values failed too "
         "(the benchmark ended with exit status 1: disk full); check the workload and its benchmark before tuning "
         "again"),
    ],
)
def test_a_run_stops_for_failures_only_when_the_system_is_broken_or_too_many_failed(
        knob_workload, monkeypatch, capsys, bench, args, status, states, stopped):
    folder = knob_workload(bench=bench, iterations=10, values={"x": "1", "mode": "a"})
    assert tune(folder, "--confirm", "0", *args, monkeypatch=monkeypatch) == status
    out, err = capsys.readouterr()
    rows = trials(folder)
    assert f"stopped: {stopped}" in out
    if status == 0:
        assert len(rows) == 10 and longest_failing_streak(rows) > 3
    else:
        assert err.rstrip().endswith(f"knobsmith: the run failed: {stopped}")
    if states is not None:
        assert [row["state"] for row in rows] == states
        assert "left applied: the backed-up values" in out
        assert ((folder / "x").read_text(), (folder / "mode").read_text()) == ("1\n", "a\n")


@pytest.mark.parametrize(
    "settings, reason",
    [
        ({"target": "50%"}, "the target of 50% is reached"),
        ({"timeout": 1, "bench": BENCH + "sleep 0.4\n"}, "the time budget of 1 s is spent"),
        ({"iterations": 3}, "the budget of 3 trials is spent"),
    ],
)
def test_stop_conditions(knob_workload, tmp_path, monkeypatch, capsys, settings, reason):
    knob_workload(**settings)
    assert tune(tmp_path, monkeypatch=monkeypatch) == 0
    out = capsys.readouterr().out
    assert f"stopped: {reason}" in out
    assert len(trials(tmp_path)) < 30


@pytest.mark.parametrize(
    "broken, args, message",
    [
        ("x_get", [], "x could not be read: exit status 1: cat: x: No such file or directory; not tuning, nothing "
                      "was changed (mode is backed up in bak_tune.ini)"),
        ("mode_get", [], "mode could not be read: the value is not UTF-8; not tuning, nothing was changed "
                         "(x is backed up in bak_tune.ini)"),
        ("exit 1\n", [], "the baseline could not be measured: the benchmark ended with exit status 1"),
        ("sleep 300\n", ["--benchmark-timeout", "0.5"],
         "the baseline could not be measured: the benchmark timed out after 0.5 s"),
    ],
)
def test_a_run_that_cannot_start_says_why(knob_workload, tmp_path, monkeypatch, capsys, broken, args, message):
    reading = broken in ("x_get", "mode_get")
    knob_workload(bench=BENCH if reading else broken)
    if broken == "x_get":
        (tmp_path / "x").unlink()
    if broken == "mode_get":
        (tmp_path / "mode").write_bytes(b"\xff\n")
    assert tune(tmp_path, *args, monkeypatch=monkeypatch) == 1
    err = capsys.readouterr().err
    assert err.rstrip().endswith(f"knobsmith: {message}")
    assert (not reading) == ("the backed-up values are restored" in err)
    assert not (tmp_path / "report" / "trials.csv").exists()


def test_an_error_mid_run_restores_and_says_so(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload(iterations=10)
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


INTERRUPTED = "the backed-up values"


@pytest.mark.parametrize("moment, number, status, said, left", [
    ("benchmark", signal.SIGINT, 130, "interrupted by SIGINT; the backed-up values are restored (read back)",
     INTERRUPTED),
    ("confirmation", signal.SIGTERM, 143,
     "interrupted by SIGTERM during the confirmation; the backed-up values are restored (read back)", INTERRUPTED),
    # Once the run has ended, a signal waits for its report to be written whole.
    ("report", signal.SIGINT, 0, "SIGINT came as the run ended; it had ended and its report is complete",
     "the best values"),
    ("report", signal.SIGTERM, 0, "SIGTERM came as the run ended; it had ended and its report is complete",
     "the best values"),
], ids=["benchmark", "confirmation", "report-SIGINT", "report-SIGTERM"])
def test_a_signal_at_each_moment_of_a_run(knob_workload, moment, number, status, said, left):
    # Every run is counted; a trial's benchmark never ends, or the confirmation's runs are slow.
    slow = {"benchmark": "[ $(wc -l < runs) -gt 1 ] && exec sleep 60",
            "confirmation": "[ $(wc -l < runs) -gt 5 ] && sleep 0.5", "report": ":"}[moment]
    folder = knob_workload(iterations=4, bench=BENCH + f"echo run >> runs\n{slow}\nexit 0\n")
    marker = {"benchmark": "baseline score", "confirmation": "confirming the", "report": "stopped:"}[moment]
    with subprocess.Popen([SCRIPT, "tune", "tune.yaml", "--report", "report", "--confirm", "2"], cwd=folder,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          env={**os.environ, "PYTHONUNBUFFERED": "1"}) as process:
        try:
            seen = []
            for line in process.stdout:
                seen.append(line)
                if line.startswith(marker):
                    break
            if moment == "benchmark":
                while len((folder / "runs").read_text().splitlines()) < 2:
                    time.sleep(0.01)
                time.sleep(0.2)
            process.send_signal(number)
            out = "".join(seen) + process.stdout.read()  # what the loop above read ahead too
            process.wait(timeout=60)
        finally:
            process.kill()
    assert process.returncode == status, out
    assert f"knobsmith: {said}" in out and "Traceback" not in out
    report = yaml.safe_load((folder / "report" / "best.yaml").read_text())
    assert report["left_applied"] == left
    values = {"x": (folder / "x").read_text().strip(), "mode": (folder / "mode").read_text().strip()}
    assert values == ({"x": "0", "mode": "a"} if left == INTERRUPTED else
                      {name: str(value) for name, value in report["values"].items()})
    # Ended early or not, the trials so far are shown.
    assert re.search(r"^trial +state ", out, re.M) and re.search(r"^0\*? +(COMPLETE|FAIL) ", out, re.M)
    if moment == "report":
        assert f"left applied: {left}" in out and (folder / "report" / "metric.png").exists()
    if moment == "confirmation":
        # Nothing is taken from a confirmation cut short: the search's best and gain stand.
        assert report["stopped_because"] == ("interrupted by SIGTERM during the confirmation, after the search "
                                             "ended (the budget of 4 trials is spent)")
        assert (report["verdict"], report["beyond_noise"]) == ("none: the confirmation was cut short", None)
        searched = max(trials(folder), key=lambda row: float(row["score"]))
        assert report["best_trial"] == int(searched["trial"]) and report["best"] == float(searched["score"])


def test_a_stored_study_resumes(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload(iterations=3)  # every trial of both runs proposed at random (see start_up_trials)
    storage = f"sqlite:///{tmp_path / 'study.db'}"
    assert tune(tmp_path, "--storage", storage, monkeypatch=monkeypatch) == 0
    assert len(trials(tmp_path)) == 3
    # Resumed as it is, the finished study says so and runs nothing; --reconfirm runs its end again.
    (tmp_path / "x").write_text("9\n")
    capsys.readouterr()
    assert tune(tmp_path, "--storage", storage, "--resume", monkeypatch=monkeypatch) == 0
    out = capsys.readouterr()
    assert "is finished (3 trials measured of a budget of 3" in out.err and "add --reconfirm" in out.err
    assert out.out == "" and (tmp_path / "x").read_text() == "9\n" and len(trials(tmp_path)) == 3
    assert tune(tmp_path, "--storage", storage, "--resume", "--reconfirm", monkeypatch=monkeypatch) == 0
    assert "left applied: " in capsys.readouterr().out and (tmp_path / "x").read_text() != "9\n"
    config = yaml.safe_load((tmp_path / "tune.yaml").read_text())
    config["iterations"] = 6
    (tmp_path / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    capsys.readouterr()
    assert tune(tmp_path, "--storage", storage, monkeypatch=monkeypatch) == 0
    err = capsys.readouterr().err
    assert "resuming 3 earlier trials; baseline score = 51" in err
    rows = trials(tmp_path)
    # The resumed sampler has a seed of its own: had it replayed the first run's proposals, they
    # would have taken trial numbers as repeats, answered without being measured.
    assert [row["trial"] for row in rows] == ["0", "1", "2", "3", "4", "5"]
    assert len({(row["x"], row["mode"]) for row in rows}) == 6
    assert (tmp_path / "bak_tune.ini").read_text().startswith("[params]\nx = 0\n")


def test_a_resumed_run_never_applies_confirms_or_chooses_a_kept_trial_outside_the_narrowed_scope(
        knob_workload, monkeypatch, capsys):
    folder = knob_workload(iterations=10, values={"x": "9", "mode": "a"})
    assert tune(folder, "--confirm", "0", monkeypatch=monkeypatch) == 0
    first = trials(folder)
    assert any(int(row["x"]) < 8 for row in first)
    knob_workload(iterations=16, x={"scope": [8, 10]}, values={"x": "9", "mode": "a"})
    (folder / "history").unlink()
    assert tune(folder, "--resume", monkeypatch=monkeypatch) == 0
    # Every x set since is one the narrowed scope allows (9 is the backed-up value, too).
    assert {line for line in (folder / "history").read_text().splitlines() if line.startswith("x=")} <= \
        {"x=8", "x=9", "x=10"}
    best = yaml.safe_load((folder / "report" / "best.yaml").read_text())
    assert 8 <= best["values"]["x"] <= 10
    assert all(8 <= entry["values"]["x"] <= 10 for entry in best["confirmation"][1:])
    for row in trials(folder)[:len(first)]:  # kept in the report, marked
        assert ("outside the configuration's space: x=" in row["note"]) == (int(row["x"]) < 8)
    assert "earlier trials lie outside the configuration's space (trial " in capsys.readouterr().err


def test_dry_run_touches_nothing(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload()
    assert tune(tmp_path, "--dry-run", monkeypatch=monkeypatch) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[:6] == ["# read and back up the current values", "cat x", "cat mode", "# measure the baseline",
                         "sh bench.sh", "cat score"]
    assert lines[6] == "# trial 0" and lines[7].startswith("sh set.sh x ")
    assert lines[-2:] == ["sh bench.sh", "cat score"]
    assert sorted(path.name for path in tmp_path.iterdir()) == ["bench.sh", "mode", "set.sh", "tune.yaml", "x"]


def test_the_progress_bar_shows_the_trial_the_last_and_the_best(knob_workload, tmp_path, monkeypatch, capsys):
    from knobsmith.tuner.measuring import Measurer
    from knobsmith.tuner.plan import Options
    from knobsmith.tuner.runs import tuning_run

    knob_workload(iterations=3)
    monkeypatch.chdir(tmp_path)
    run = tuning_run(Options("tune.yaml", progress=True), say=lambda line: None)
    with open(tmp_path / "benchmark.log", "w") as log:
        run.run(Measurer(run.plan, log))
    final = capsys.readouterr().err.split("\r")[-1]
    assert final.startswith("tuning: 100%") and "3/3" in final
    assert "last=" in final and "best=" in final


def test_the_plan_optimises_the_first_evaluation_and_keeps_the_others_typed(knob_workload, monkeypatch):
    from knobsmith.tuner.plan import Evaluation, TuningPlan

    latency = {"name": "latency", "info": {"get": "cat latency", "type": "negative", "target": None}}
    score = {"name": "score", "info": {"get": "cat score", "type": "positive", "target": "20%"}}
    monkeypatch.chdir(knob_workload(iterations=3, timeout=5, evaluations=[score, latency]))
    plan = TuningPlan.load("tune.yaml")
    assert plan.evaluations == (Evaluation("score", "cat score", "maximize"),
                                Evaluation("latency", "cat latency", "minimize"))
    assert (plan.budget.trials, plan.budget.seconds, plan.budget.target) == (3, 5, 20)
    assert dict(plan.gets) == {"x": "cat x", "mode": "cat mode"} and list(plan.space) == ["x", "mode"]


def test_pareto_reports_the_front_and_apply_trial_applies_one_of_it(knob_workload, tmp_path, monkeypatch, capsys):
    assert tune(knob_workload(tmp_path / "one"), "--pareto", monkeypatch=monkeypatch) == 1
    assert "--pareto optimises every evaluation without a bound, and this configuration has none after the first" \
        in capsys.readouterr().err
    # latency = x: each x up to 7 with mode b trades score for latency; nothing beyond 7 does.
    folder = knob_workload(prelude="cat x > latency\n", iterations=40, evaluations=guarded({}))
    assert tune(folder, "--pareto", monkeypatch=monkeypatch) == 0
    assert "left applied: the backed-up values (a Pareto front has no one best" in capsys.readouterr().out
    assert ((folder / "x").read_text(), (folder / "mode").read_text()) == ("0\n", "a\n")
    best = yaml.safe_load((folder / "report" / "best.yaml").read_text())
    front = {(entry["values"]["x"], entry["values"]["mode"]): entry for entry in best["pareto_front"]}
    assert set(front) == {(x, "b") for x in range(8)}
    assert front[(5, "b")]["objectives"] == {"score": 106.0, "latency": 5.0}
    assert (folder / "report" / "pareto.png").exists()
    assert cli.main(["apply", "tune.yaml", "--from", "report/best.yaml", "--trial", str(front[(5, "b")]["trial"])]) == 0
    assert ((folder / "x").read_text(), (folder / "mode").read_text()) == ("5\n", "b\n")
    off = next(row["trial"] for row in trials(folder) if row["mode"] == "a")
    assert cli.main(["apply", "tune.yaml", "--from", "report/best.yaml", "--trial", off]) == 1
    assert f"trial {off} is not on the Pareto front of report/best.yaml" in capsys.readouterr().err

"""Runs that resume after a kill, and runs that measure through the noise: repeats per trial,
warm-up runs, and the confirmation of the best candidates against the baseline."""

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
from knobsmith.tuner import proposing
from knobsmith.tuner import study as studies

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from conftest import guarded  # noqa: E402

SCRIPT = str(pathlib.Path(sys.executable).parent / "knobsmith")

# score = 100 - (x - 7)^2 (+10 with mode b), times a wobble that cycles through -3 %, +3 %, 0 %
# from run to run, so repeated measurements of one configuration differ. Every run is logged.
NOISY = """\
x=$(cat x); mode=$(cat mode)
n=$(cat runs 2>/dev/null | wc -l)
echo "$x $mode" >> runs
bonus=0; if [ "$mode" = b ]; then bonus=10; fi
score=$(( 100 - (x - 7) * (x - 7) + bonus ))
case $(( n % 3 )) in 0) w=97 ;; 1) w=103 ;; *) w=100 ;; esac
echo $(( score * w )) > score
"""


def tune(folder, monkeypatch, *args):
    monkeypatch.chdir(folder)
    return cli.main(["tune", "tune.yaml", "--report", "report", *args])


def rows(folder):
    with open(folder / "report" / "trials.csv", newline="") as stream:
        return [row for row in csv.DictReader(stream) if row["state"] != "REPEAT"]


def best(folder):
    return yaml.safe_load((folder / "report" / "best.yaml").read_text())


def runs(folder):
    return [line.split() for line in (folder / "runs").read_text().splitlines()]


def applied(folder):
    return (folder / "x").read_text().strip(), (folder / "mode").read_text().strip()


def test_repeats_record_the_median_and_the_spread(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload(iterations=4, bench=NOISY)
    assert tune(tmp_path, monkeypatch, "--warmup", "2", "--repeats", "3", "--confirm", "0") == 0
    # 2 warm-up runs and 3 baseline runs on the defaults, then 3 runs per trial.
    assert len(runs(tmp_path)) == 2 + 3 + 4 * 3
    report = best(tmp_path)
    assert report["baseline"] == 5100.0 and report["baseline_spread"] == 306.0  # 51 * (97, 103, 100)
    for row in rows(tmp_path):
        measured = [float(value) for value in row["measurements"].split()]
        assert len(measured) == 3 and float(row["score"]) == sorted(measured)[1]
        assert float(row["spread"]) == max(measured) - min(measured) > 0


def test_the_confirmation_interleaves_the_candidates_with_the_baseline(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload(iterations=12, bench=NOISY)
    assert tune(tmp_path, monkeypatch, "--confirm", "2", "--confirm-rounds", "3") == 0
    out = capsys.readouterr().out
    report = best(tmp_path)
    entries = report["confirmation"]
    assert [entry["label"] for entry in entries][0] == "baseline" and len(entries) == 3
    assert all(len(entry["measurements"]) == 3 for entry in entries)
    # The last 9 benchmark runs: three rounds of the baseline and both candidates, each round
    # starting one further along.
    configs = [("0", "a")] + [tuple(str(entry["values"][name]) for name in ("x", "mode")) for entry in entries[1:]]
    last = [tuple(run) for run in runs(tmp_path)[-9:]]
    assert last == [configs[0], configs[1], configs[2], configs[1], configs[2], configs[0],
                    configs[2], configs[0], configs[1]]
    chosen = max(entries[1:], key=lambda entry: entry["median"])
    assert report["values"] == chosen["values"] and report["best"] == chosen["median"]
    # The gain is stated against the baseline measured with the best, its values numbers.
    assert report["baseline"] == entries[0]["median"]
    assert report["baseline_of"] == "the confirmation, measured with the best"
    assert entries[0]["values"] == {"x": 0, "mode": "a"} and report["run_baseline"] != report["baseline"]
    assert report["improvement_percent"] == round((chosen["median"] / entries[0]["median"] - 1) * 100, 2)
    assert report["beyond_noise"] is True and "beyond the noise" in report["verdict"]
    assert applied(tmp_path) == tuple(str(chosen["values"][name]) for name in ("x", "mode"))
    assert report["left_applied"] == "the best values" and "(confirmed)" in out


@pytest.mark.parametrize("breaks", [False, True], ids=["candidate", "system"])
def test_a_candidate_failing_in_the_confirmation_is_ruled_out(knob_workload, monkeypatch, capsys, breaks):
    # After the search's 12 trials, the optimum's x=7 crashes the benchmark, or breaks it for good.
    crashing = ('n=$(cat runs 2>/dev/null | wc -l)\necho "$(cat x) $(cat mode)" >> runs\n'
                f'if [ $n -gt 12 ] && [ $(cat x) = 7 ]; then {"touch broken" if breaks else "exit 1"}; fi\n'
                'if [ -f broken ]; then exit 1; fi\n')
    folder = knob_workload(iterations=12, prelude=crashing)
    assert tune(folder, monkeypatch, "--confirm", "3") == breaks
    err = capsys.readouterr().err
    report = best(folder)
    ruled_out = [entry for entry in report["confirmation"][1:] if entry["values"]["x"] == 7]
    assert ruled_out and len(ruled_out) < 3
    said = [f"{entry['label']} was ruled out: the benchmark ended with exit status 1" for entry in ruled_out]
    if breaks:
        # The first is ruled out, and the backed-up values fail after it: nothing is taken from the rest.
        assert said[0] in err and "the system, not the configuration, is broken: after " in err
        assert report["verdict"] == f"none: the backed-up values failed after {ruled_out[0]['label']} failed"
        assert report["left_applied"] == "the backed-up values" and applied(folder) == ("0", "a")
        return
    assert all(line in err and line in report["verdict"] for line in said)
    assert report["values"]["x"] != 7 and applied(folder)[0] != "7"
    # Each failure is followed by a run on the backed-up values before the next candidate.
    confirming = runs(folder)[13:]
    assert all(confirming[index + 1] == ["0", "a"] for index, run in enumerate(confirming) if run[0] == "7")


def edge_bench(other):
    """The backed-up configuration (x=0, mode=a) scores 100, every other one `other`, plus a
    wobble that cycles through -3, +3 and 0 from run to run."""
    return f"""\
n=$(cat runs 2>/dev/null | wc -l)
echo "$(cat x) $(cat mode)" >> runs
score={other}; if [ "$(cat x) $(cat mode)" = "0 a" ]; then score=100; fi
case $(( n % 3 )) in 0) w=-3 ;; 1) w=3 ;; *) w=0 ;; esac
echo $(( score + w )) > score
"""


KEEP, NO_CONFIRMATION = ("--keep-within-noise",), ("--confirm", "0")
NO_GAIN = "the backed-up values (no gain beyond the noise)"
NOT_BETTER = "the backed-up values (the best did not measure better than the baseline)"


@pytest.mark.parametrize("direction, other, flags, left, verdict", [
    # Measurements that only touch the baseline's (103 against 103) are not beyond it.
    ("positive", 106, (), NO_GAIN, "not beyond the noise"),
    ("negative", 94, (), NO_GAIN, "not beyond the noise"),
    # A better median whose measurements overlap the baseline's is not beyond the noise either.
    ("positive", 101, (), NO_GAIN, "not beyond the noise"),
    ("negative", 99, (), NO_GAIN, "not beyond the noise"),
    ("positive", 101, KEEP, "the best values", "not beyond the noise"),
    # Worse than the baseline: never left applied, whatever the flags.
    ("positive", 99, KEEP, NOT_BETTER, "not better than the baseline"),
    ("positive", 90, KEEP, NOT_BETTER, "no trial measured better than the baseline"),
    ("positive", 90, NO_CONFIRMATION, NOT_BETTER, "no trial measured better than the baseline"),
])
def test_only_a_gain_beyond_the_noise_is_left_applied(knob_workload, monkeypatch, capsys, direction, other, flags,
                                                      left, verdict):
    evaluation = {"name": "score", "info": {"get": "cat score", "type": direction, "target": None}}
    folder = knob_workload(iterations=6, bench=edge_bench(other), evaluations=[evaluation])
    status = tune(folder, monkeypatch, "--confirm", "2", *flags)
    out = capsys.readouterr()
    report = best(folder)
    assert status == 0, out.err
    assert f"left applied: {left}" in out.out and report["left_applied"] == left
    assert verdict in report["verdict"] and f"verdict: {report['verdict']}" in out.out
    assert report["beyond_noise"] is (None if flags == NO_CONFIRMATION else False) and "(confirmed)" not in out.out
    assert (applied(folder) == ("0", "a")) == (left != "the best values")
    # A best worse than the baseline is not called one without a word.
    said = [line for line in out.out.splitlines() if line.startswith("best: ")]
    assert said and all(("beat the baseline; the closest: " in line) == (left == NOT_BETTER) for line in said), said


def test_a_killed_run_keeps_its_trials_and_resumes_without_repeating_one(knob_workload, tmp_path, monkeypatch, capsys):
    knob_workload(iterations=14, bench=NOISY + "sleep 0.2\n")
    process = subprocess.Popen([SCRIPT, "tune", "tune.yaml", "--report", "report"], cwd=tmp_path,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(3000):
            finished = rows(tmp_path) if (tmp_path / "report" / "trials.csv").exists() else []
            if len(finished) >= 4:
                break
            time.sleep(0.01)
        process.send_signal(signal.SIGKILL)
        process.wait(timeout=30)
    finally:
        process.kill()
    before = rows(tmp_path)
    assert len(before) >= 4 and all(row["state"] == "COMPLETE" for row in before)

    # The same command again does not start over the kept study.
    assert tune(tmp_path, monkeypatch) == 1
    assert "holds the study of an earlier run" in capsys.readouterr().err

    assert tune(tmp_path, monkeypatch, "--resume") == 0
    err = capsys.readouterr().err
    after = rows(tmp_path)
    assert after[: len(before)] == before and "resuming" in err
    measured = [(row["x"], row["mode"]) for row in after if row["state"] == "COMPLETE"]
    assert len(measured) == len(set(measured)) == 14
    # The backup of the first run is what a resumed run comes back to, not the killed trial's values.
    assert best(tmp_path)["run_baseline"] == 4947.0  # the first baseline run: 51 * 97
    assert os.path.exists(tmp_path / "report" / "study.journal")


@pytest.mark.parametrize(
    "knob, log",
    [
        ({"dtype": "int", "type": "continuous", "range": [16, 4096]}, True),
        ({"dtype": "float", "type": "continuous", "range": [0.01, 5.0]}, True),
        ({"dtype": "int", "type": "continuous", "range": [0, 4096]}, False),  # 0 has no logarithm
        ({"dtype": "int", "type": "continuous", "range": [1, 32]}, False),
    ],
)
def test_wide_ranges_are_searched_on_a_log_scale(knob, log):
    import optuna

    from knobsmith.tuner.space import suggestion

    trial = optuna.create_study().ask()
    suggestion({"name": "k", **knob})(trial)
    assert trial.distributions["k"].log is log


def test_a_float_step_proposes_the_value_a_person_would_write():
    import optuna

    from knobsmith.tuner.proposing import configuration
    from knobsmith.tuner.space import suggestion

    study = optuna.create_study(sampler=optuna.samplers.RandomSampler(seed=3))
    knob = {"name": "ratio", "dtype": "float", "type": "discrete", "range": [0.1, 0.9], "step": 0.1}
    values = {suggestion(knob)(study.ask()) for _ in range(60)}
    assert values == {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9}
    # What the study keeps unrounded is the same configuration as the value set.
    assert configuration({"ratio": 0.30000000000000004}) == configuration({"ratio": 0.3})


# A knob of each kind: int and float on a grid, on a log scale and plain, a grid with items, strings.
EVERY_KIND = [
    {"name": "workers", "dtype": "int", "type": "discrete", "range": [1, 64], "step": 1},
    {"name": "cache_mb", "dtype": "int", "type": "continuous", "range": [16, 65536]},
    {"name": "ratio", "dtype": "float", "type": "discrete", "range": [0.1, 0.9], "step": 0.1},
    {"name": "delay", "dtype": "float", "type": "continuous", "range": [0.001, 10.0]},
    {"name": "share", "dtype": "float", "type": "continuous", "range": [0.0, 1.0]},
    {"name": "prefetch", "dtype": "int", "type": "discrete", "range": [0, 512], "step": 32, "items": [1000]},
    {"name": "mode", "dtype": "string", "type": "discrete", "options": ["a", "b", "c"]},
]


def proposals_of_the_default_sampler(seed, budget=12, earlier=0):
    """The configurations tune's sampler proposes over EVERY_KIND after `earlier` random trials;
    those with a ratio over 0.5 fail."""
    import math

    from knobsmith.tuner.space import suggestion

    optuna = proposing.optuna_module()
    study = optuna.create_study(direction="maximize", sampler=optuna.samplers.RandomSampler(seed=seed))
    proposer = proposing.Proposer(study, {knob["name"]: suggestion(knob) for knob in EVERY_KIND}, seed)
    proposed = []
    for count in range(earlier + budget):
        if count == earlier:
            study.sampler = proposing.sampler(optuna, budget, seed)
        trial, values = proposer.propose()
        if count >= earlier:
            proposed.append(values)
        if values["ratio"] > 0.5:
            proposing.tell_failed(study, trial, "out of memory", 0.0)
        else:
            study.tell(trial, 10 - abs(math.log2(values["cache_mb"] / 4096)) - values["share"]
                       + (values["mode"] == "b"))
        proposer.record(trial)
    return proposed


@pytest.mark.parametrize("budget, earlier", [(12, 0), (2, 230)])  # 230: more points than the model fits on
def test_the_default_sampler_proposes_only_values_of_the_space_and_repeats_itself_for_a_seed(budget, earlier):
    from knobsmith.tuner.space import described, outside

    proposed = proposals_of_the_default_sampler(5, budget, earlier)
    assert [outside(described(EVERY_KIND), values) for values in proposed] == [""] * len(proposed)
    assert all(type(values["workers"]) is int and type(values["ratio"]) is float for values in proposed)
    assert proposed == proposals_of_the_default_sampler(5, budget, earlier) != proposals_of_the_default_sampler(
        6, budget, earlier)


@pytest.mark.parametrize("kind, guardrail", [
    ("max", lambda x: x + 1.0),  # a latency: modelled on a log scale
    ("min", lambda x: 1001.0 - x),  # free memory, bounded from below
    ("max", lambda x: x - 50.0),  # not all positive: modelled as it is
], ids=["max", "min", "not positive"])
def test_the_sampler_models_a_guardrail_and_proposes_within_its_bound(kind, guardrail):
    # The metric grows with x (2 % noise); the bound holds for x <= 400. Told only which trials
    # broke it, the sampler proposes beyond it more often than not.
    import random

    from knobsmith.tuner.guardrails import kept_on
    from knobsmith.tuner.plan import Bound
    from knobsmith.tuner.space import suggestion

    bounds = {"latency": Bound(kind, guardrail(400))}
    study = proposing.optuna_module().create_study(direction="maximize",
                                                   sampler=studies.sampler(20, 3, bounds=bounds))
    proposer = proposing.Proposer(study, {"x": suggestion(
        {"name": "x", "dtype": "int", "type": "discrete", "range": [0, 1000], "step": 1, "items": []})}, 3)
    noise = random.Random(3)
    proposed = []
    for _ in range(20):
        trial, values = proposer.propose()
        proposed.append(values["x"])
        kept_on(trial, bounds, {"latency": [guardrail(values["x"])]})
        study.tell(trial, (1000.0 + values["x"]) * (1 + noise.gauss(0, 0.02)))
        proposer.record(trial)
    modelled = proposed[proposing.random_starts(20):]
    assert sum(x <= 400 for x in modelled) >= len(modelled) - 2
    assert 400 in proposed


def test_a_study_whose_failures_were_told_failed_resumes_with_them_failed(knob_workload, monkeypatch):
    # Studies written before failures were told infeasible hold them as failed trials.
    folder = knob_workload(iterations=3, x={"scope": [0, 2]})
    assert tune(folder, monkeypatch, "--confirm", "0") == 0
    optuna = proposing.optuna_module()
    storage = studies.journal(str(folder / "report"))
    study = optuna.load_study(study_name=optuna.get_all_study_names(storage)[0], storage=storage)
    spaces = {"x": optuna.distributions.IntDistribution(0, 2), "mode": optuna.distributions.CategoricalDistribution(
        ["a", "b", "c"])}
    measured = {(row["x"], row["mode"]) for row in rows(folder)}
    old = [(x, mode) for x in "012" for mode in "abc" if (x, mode) not in measured][:2]
    for x, mode in old:
        study.add_trial(optuna.trial.create_trial(state=optuna.trial.TrialState.FAIL, params={"x": int(x), "mode": mode},
                                                  distributions=spaces, user_attrs={"failure": "out of memory"}))
    knob_workload(iterations=40, x={"scope": [0, 2]})
    assert tune(folder, monkeypatch, "--resume", "--confirm", "0") == 0
    after = rows(folder)
    # Each configuration once: the old failures were never measured again, and stay failed.
    assert sorted((row["x"], row["mode"]) for row in after) == [(x, mode) for x in "012" for mode in "abc"]
    assert {(row["x"], row["mode"]): (row["state"], row["note"]) for row in after if row["state"] == "FAIL"} == {
        configuration: ("FAIL", "out of memory") for configuration in old}


# y, a third knob the benchmark never reads, backed up as 0 and searched in [1, 3]: every best
# changes it, and putting it back costs nothing. x in [5, 7] and mode in b, c change too.
UNREAD_Y = {"name": "y", "info": {"desc": "", "needrestart": "false", "type": "discrete", "get": "cat y",
                                  "set": "sh set.sh y $value", "dtype": "int", "scope": [1, 3], "step": 1, "items": []}}
COUNTED = 'n=$(cat runs 2>/dev/null | wc -l)\necho "$(cat x) $(cat mode) $(cat y)" >> runs\n'
SEARCH_RUNS = 1 + 10 + 4 * 3  # the baseline, the trials, the confirmation of three candidates
CRASHED = "the benchmark ended with exit status 1"


def minimal_workload(knob_workload, prelude="", **settings):
    return knob_workload(iterations=10, prelude=COUNTED + prelude, values={"x": "0", "mode": "a", "y": "0"},
                         x={"scope": [5, 7]}, mode={"options": ["b", "c"]}, objects=[UNREAD_Y], **settings)


def knobs(folder):
    return {name: (folder / name).read_text().strip() for name in ("x", "mode", "y")}


def test_minimal_puts_back_a_knob_that_does_not_matter_and_keeps_one_that_does(knob_workload, monkeypatch, capsys):
    folder = minimal_workload(knob_workload)
    assert tune(folder, monkeypatch, "--minimal") == 0
    out = capsys.readouterr().out
    minimal = best(folder)["minimal"]
    assert minimal["complete"] is True and minimal["put_back"] == {"y": "0"}
    assert minimal["changed"]["x"] == best(folder)["values"]["x"]
    left = {name: str(value) for name, value in minimal["values"].items()}
    assert knobs(folder) == left and best(folder)["left_applied"] == "the smallest change that keeps the gain"
    assert len(runs(folder)) == SEARCH_RUNS + minimal["benchmark_runs"] > SEARCH_RUNS
    assert f"put back: y=0; score {minimal['median']:g}" in out
    assert f"{minimal['benchmark_runs']} more benchmark runs" in out

    # Applied again from best.yaml, and found again on the finished run.
    (folder / "x").write_text("0\n")
    assert cli.main(["apply", "tune.yaml", "--from", "report/best.yaml", "--minimal"]) == 0
    assert knobs(folder) == left
    assert cli.main(["minimize", "tune.yaml", "--from", "report/best.yaml"]) == 0
    again = best(folder)["minimal"]
    assert (again["changed"], again["put_back"]) == (minimal["changed"], minimal["put_back"])
    assert best(folder)["left_applied"] == "the smallest change that keeps the gain" and knobs(folder) == left


@pytest.mark.parametrize("failing, bound, complete, left", [
    # Putting y back crashes the benchmark: y stays changed, and the search goes on.
    ('[ "$(cat y)" = 0 ] && [ "$(cat x)" != 0 ] && exit 1', None, True, "the smallest change that keeps the gain"),
    # Putting y back breaks the latency's bound, though the score keeps: y stays changed too.
    ('{ [ "$(cat y)" = 0 ] && [ "$(cat x)" != 0 ] && echo 9 || echo 1; } > latency', {"max": 5}, True,
     "the smallest change that keeps the gain"),
    # The best itself crashes once the search has begun: nothing of it is left applied.
    (f'[ $n -ge {SEARCH_RUNS} ] && [ "$(cat y)" != 0 ] && exit 1', None, False,
     "the backed-up values (the best failed when measured again)"),
], ids=["step", "guardrail", "best"])
def test_a_failure_in_the_search_for_the_smallest_change(knob_workload, monkeypatch, capsys, failing, bound,
                                                         complete, left):
    guard = {} if bound is None else {"evaluations": guarded(bound)}
    folder = minimal_workload(knob_workload, failing + "\n", **guard)
    assert tune(folder, monkeypatch, "--minimal") == 0
    report = best(folder)
    assert report["minimal"]["complete"] is complete and report["left_applied"] == left
    if complete:
        step = next(step for step in report["minimal"]["steps"] if step["put_back"] == "y")
        assert step["kept_changed"] and step["verdict"] == (
            f"putting it back failed: {CRASHED}" if bound is None else
            "putting it back breaks a guardrail: latency 9 breaks its bound (max 5, runs 9, 9, 9)")
        assert report["minimal"]["values"]["y"] == report["values"]["y"] and knobs(folder)["y"] != "0"
    else:
        assert report["minimal"]["note"] == f"the best failed when measured again: {CRASHED}"
        assert knobs(folder) == {"x": "0", "mode": "a", "y": "0"}


def test_no_smallest_change_without_a_confirmed_gain(knob_workload, monkeypatch, capsys):
    folder = knob_workload(iterations=3)
    assert tune(folder, monkeypatch, "--confirm", "0") == 0
    history = (folder / "history").read_text()
    assert cli.main(["minimize", "tune.yaml", "--from", "report/best.yaml"]) == 1
    assert cli.main(["apply", "tune.yaml", "--from", "report/best.yaml", "--minimal"]) == 1
    err = capsys.readouterr().err.splitlines()
    assert err[-2].startswith("knobsmith: report/best.yaml holds no best confirmed beyond the noise")
    assert err[-1].startswith("knobsmith: report/best.yaml holds no smallest change found to its end")
    assert (folder / "history").read_text() == history

"""Warm starts: an earlier run's trials given to a new study as priors."""

import csv
import statistics

import pytest
import yaml

from knobsmith import cli
from knobsmith.tuner import proposing, warm_start
from knobsmith.tuner.space import described, suggestion

# The source fails where x is 9 or more, as a server out of memory would.
FAILS_HIGH = 'if [ "$(cat x)" -ge 9 ]; then exit 1; fi\n'


def tune(folder, *args, monkeypatch):
    monkeypatch.chdir(folder)
    return cli.main(["tune", "tune.yaml", "--report", "report", *args])


def rows(folder):
    with open(folder / "report" / "trials.csv", newline="") as stream:
        return list(csv.DictReader(stream))


@pytest.fixture
def source(knob_workload, tmp_path, monkeypatch):
    """A finished run of the knob workload in tmp_path/source, some of its trials failed."""
    folder = knob_workload(tmp_path / "source", iterations=12, prelude=FAILS_HIGH)
    assert tune(folder, "--confirm", "0", monkeypatch=monkeypatch) == 0
    return folder


def test_priors_inform_the_run_but_are_never_counted_applied_unmeasured_or_the_best(
        source, knob_workload, tmp_path, monkeypatch, capsys):
    measured = [row for row in rows(source) if row["state"] in ("COMPLETE", "FAIL")]
    assert any(row["state"] == "FAIL" for row in measured)
    best = yaml.safe_load((source / "report" / "best.yaml").read_text())
    folder = knob_workload(tmp_path / "here", iterations=3)
    assert tune(folder, "--warm-start", str(source / "report"), monkeypatch=monkeypatch) == 0
    found = rows(folder)
    priors = [row for row in found if row["state"] == "PRIOR"]
    here = [row for row in found if row["state"] == "COMPLETE"]
    assert len(priors) == len(measured) and len(here) == 3  # the budget is of trials measured here
    # A failure of the source travels as one: infeasible, with its reason.
    assert sum("failed there" in row["note"] for row in priors) == sum(row["state"] == "FAIL" for row in measured)
    # The source's best is measured first; every configuration applied was measured here.
    assert {"x": int(here[0]["x"]), "mode": here[0]["mode"]} == best["values"]
    applied = set((folder / "history").read_text().splitlines())
    assert applied <= {f"{name}={row[name]}" for row in here for name in ("x", "mode")} | {"x=0", "mode=a"}
    chosen = yaml.safe_load((folder / "report" / "best.yaml").read_text())
    assert chosen["best_trial"] in {int(row["trial"]) for row in here}
    assert all(entry["trial"] in {None, *(int(row["trial"]) for row in here)} for entry in chosen["confirmation"])
    capsys.readouterr()
    # Resumed with the same source, the study keeps its priors once.
    config = yaml.safe_load((folder / "tune.yaml").read_text())
    config["iterations"] = 4
    (folder / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    assert tune(folder, "--resume", "--warm-start", str(source / "report"), monkeypatch=monkeypatch) == 0
    assert "was given to this study before" in capsys.readouterr().err
    again = rows(folder)
    assert sum(row["state"] == "PRIOR" for row in again) == len(priors)
    assert sum(row["state"] == "COMPLETE" for row in again) == 4


def test_values_outside_the_space_drop_their_trial_and_a_missing_parameter_takes_the_backed_up_value(
        knob_workload, tmp_path, monkeypatch, capsys):
    source = knob_workload(tmp_path / "source", iterations=8, knobs=("x",))
    assert tune(source, "--confirm", "0", monkeypatch=monkeypatch) == 0
    xs = [int(row["x"]) for row in rows(source) if row["state"] == "COMPLETE"]
    assert any(x > 5 for x in xs) and any(x <= 5 for x in xs)
    folder = knob_workload(tmp_path / "here", iterations=2, x={"scope": [0, 5]}, values={"x": "1", "mode": "c"})
    capsys.readouterr()
    journal = str(source / "report" / "study.journal")  # the study itself, not its report
    assert tune(folder, "--confirm", "0", "--warm-start", journal, monkeypatch=monkeypatch) == 0
    assert f"{sum(x > 5 for x in xs)} dropped (trial " in capsys.readouterr().err
    priors = [row for row in rows(folder) if row["state"] == "PRIOR"]
    assert sorted(int(row["x"]) for row in priors) == sorted(x for x in xs if x <= 5)
    assert {row["mode"] for row in priors} == {"c"}


def _metric(name):
    return lambda source: _edit_best(source, metric=name)


def _edit_best(source, **changes):
    path = source / "report" / "best.yaml"
    path.write_text(yaml.safe_dump({**yaml.safe_load(path.read_text()), **changes}, sort_keys=False))


@pytest.mark.parametrize("spoil, args, said", [
    (_metric("latency"), (), "measured latency (larger is better), this configuration measures score"),
    (lambda source: _edit_best(source, direction="minimize"), (),
     "measured score (smaller is better), this configuration measures score (larger is better)"),
    (lambda source: (source / "report" / "trials.csv").unlink(), (), "cannot be read: "),
    (lambda source: None, ("--study", "s", "--storage", "sqlite:///s.db"), "leave --warm-start out with --study"),
    (lambda source: None, ("--pareto",), "--pareto"),
])
def test_a_source_that_cannot_be_used_is_refused_before_anything_runs(
        source, knob_workload, tmp_path, monkeypatch, capsys, spoil, args, said):
    spoil(source)
    folder = knob_workload(tmp_path / "here", iterations=2)
    capsys.readouterr()
    assert tune(folder, "--warm-start", str(source / "report"), *args, monkeypatch=monkeypatch) == 1
    told = [line for line in capsys.readouterr().err.splitlines() if not line.startswith("WARNING")]
    assert len(told) == 1 and told[0].startswith("knobsmith: ") and said in told[0]
    assert not (folder / "history").exists() and not (folder / "report").exists()


@pytest.mark.parametrize("make", [
    lambda optuna, seed: proposing.sampler(optuna, 15, seed),
    lambda optuna, seed: proposing.tpe_sampler(optuna, 15, seed),
])
def test_both_samplers_propose_near_the_priors_best(make):
    # One knob in [0, 100]: priors peaked at 70, failing from 90 on.
    knob = {"name": "x", "type": "continuous", "dtype": "int", "range": [0, 100]}
    space = {"x": suggestion(knob)}
    earlier = [warm_start.Earlier(number, {"x": x}, None if x >= 90 else 1000.0 - (x - 70) ** 2,
                                  failure="out of memory" if x >= 90 else "")
               for number, x in enumerate(range(0, 100, 7))]
    source = warm_start.Source("earlier", "score", "maximize", 500.0, trials=earlier)
    optuna = proposing.optuna_module()
    distances = []
    for seed in range(1, 4):
        with proposing.quiet_constraints(optuna):
            study = optuna.create_study(direction="maximize", sampler=make(optuna, seed))
            here = warm_start.Here(space, described([knob]), {"x": 50}, 500.0, "maximize")
            warm_start.give(study, [source], here, lambda line: None)
            proposer = proposing.Proposer(study, space, seed)
            for _ in range(5):
                trial, values = proposer.propose()
                study.tell(trial, 1000.0 - (values["x"] - 70) ** 2)
                proposer.record(trial)
                distances.append(abs(values["x"] - 70))
    assert statistics.median(distances) <= 10  # at random, 25

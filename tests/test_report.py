"""The report folder and table built from results, and the ranking of parameter importances."""

import csv
import random

import optuna
import pytest
import yaml

from knobsmith.tuner import importance, report
from knobsmith.tuner.results import Confirmed, Ending, Result, Row


def repeated(baseline=(99.0, 101.0, 100.0), candidates=None, **extra):
    """A maximized run of three repeats per trial in which trial 2 measured best; with `candidates`
    (trial, measurements), a confirmation against `baseline`."""
    result = Result("qps", "maximize", 100.0, baseline_measurements=[98.0, 100.0, 103.0], **extra)
    result.rows = [Row(0, "COMPLETE", 105.0, {"x": 1, "mode": "a"}, measurements=[104.0, 105.0, 107.5]),
                   Row(1, "FAIL", None, {"x": 2, "mode": "b"}, note="timed out"),
                   Row(2, "COMPLETE", 120.0, {"x": 3, "mode": "b"}, in_effect={"x": "4"},
                       measurements=[119.9, 120.0, 122.1]),
                   Row(3, "COMPLETE", 110.0, {"x": 5, "mode": "a"}, measurements=[110.0])]
    result.ending = Ending("the best values", {"x": 5}, [], True)
    if candidates is not None:
        result.confirmation = [Confirmed("baseline", None, {}, list(baseline))] + [
            Confirmed(f"trial {number}", number, result.rows[number].params, values, "" if values else "no start")
            for number, values in candidates]
        result.verdict, result.beyond_noise = "trial 3 is better beyond the noise", True
    return result


def written(folder, result, plot=False):
    report.write(str(folder), result, plot=plot)
    with open(folder / "trials.csv", newline="", encoding="utf-8") as stream:
        rows = list(csv.DictReader(stream))
    return rows, yaml.safe_load((folder / "best.yaml").read_text(encoding="utf-8"))


def test_trials_csv_has_each_measurement_and_their_spread(tmp_path):
    rows, _ = written(tmp_path, repeated())
    assert list(rows[0]) == ["trial", "state", "qps", "spread", "measurements", "x", "mode", "x in effect", "note"]
    assert [(row["spread"], row["measurements"]) for row in rows] == [
        ("3.5", "104.0 105.0 107.5"), ("", ""), ("2.2", "119.9 120.0 122.1"), ("", "110.0")]  # 2.2, not 2.19999...
    assert (rows[1]["note"], rows[2]["x in effect"]) == ("timed out", "4")


@pytest.mark.parametrize("baseline, candidates, best, trial, percent, spread", [
    ((), None, 120.0, 2, 20.0, 5.0),  # no confirmation: the search's best
    # The gain and the spread are those of the baseline measured with the best.
    ((99.0, 101.0, 100.0), [(2, [108.0, 110.0]), (3, [115.0, 113.0])], 114.0, 3, 14.0, 2.0),
    ((), [(3, [115.0])], 120.0, 2, 20.0, 5.0),  # the baseline not measured again: nothing to compare with
    ((100.0,), [(3, [])], 120.0, 2, 20.0, 5.0),  # no candidate measured again
])
def test_best_yaml_takes_the_confirmed_best_when_there_is_one(tmp_path, baseline, candidates, best, trial, percent,
                                                              spread):
    result = repeated(baseline, candidates)
    _, summary = written(tmp_path, result)
    assert (summary["best"], summary["best_trial"], summary["improvement_percent"]) == (best, trial, percent)
    assert summary["values"] == result.rows[trial].params
    assert ("verdict" in summary, "confirmation" in summary) == (bool(candidates),) * 2
    assert (summary["baseline"], summary["baseline_spread"]) == (100.0, spread)
    assert summary["baseline_of"].startswith("the confirmation" if spread == 2.0 else "the run")


def test_best_yaml_lists_the_confirmation_and_the_importances(tmp_path):
    result = repeated(candidates=[(3, [115.0, 113.0]), (2, [])], importance={"x": 0.75, "mode": 0.25})
    result.baseline_measurements = [100.0]
    _, summary = written(tmp_path, result)
    assert summary["confirmation"] == [
        {"label": "baseline", "trial": None, "values": {}, "median": 100.0, "spread": 2.0,
         "measurements": [99.0, 101.0, 100.0]},
        {"label": "trial 3", "trial": 3, "values": {"x": 5, "mode": "a"}, "median": 114.0, "spread": 2.0,
         "measurements": [115.0, 113.0]},
        {"label": "trial 2", "trial": 2, "values": {"x": 3, "mode": "b"}, "median": None, "spread": None,
         "measurements": [], "note": "no start"}]
    assert (summary["verdict"], summary["beyond_noise"]) == (result.verdict, True)
    assert list(summary["importance"].items()) == [("x", 0.75), ("mode", 0.25)]
    assert summary["baseline_spread"] == 2.0  # of the baseline the gain is against, not the run's single one
    assert list(summary)[-2:] == ["stopped_because", "left_applied"]


def test_table_shows_the_spread_only_with_repeats_and_marks_the_chosen_best():
    lines = [line.split() for line in report.table(repeated()).splitlines()]
    assert lines[0] == ["trial", "state", "qps", "spread", "x", "mode"]
    assert lines[3:] == [["2*", "COMPLETE", "120", "2.2", "3", "b"], ["3", "COMPLETE", "110", "-", "5", "a"]]
    assert report.table(repeated(candidates=[(2, [101.0]), (3, [115.0])])).splitlines()[4].startswith("3* ")
    single = Result("qps", "maximize", 1.0, rows=[Row(0, "COMPLETE", 2.0, {"x": 1}, measurements=[2.0])])
    assert report.table(single).splitlines()[0].split() == ["trial", "state", "qps", "x"]


@pytest.mark.parametrize("result", [
    repeated(candidates=[(2, [108.0, 110.0]), (3, [115.0])], importance={"x": 0.9, "mode": 0.1}),
    repeated(baseline=(), candidates=[(2, [])]),
    Result("qps", "maximize", 10.0, rows=[Row(0, "COMPLETE", 12.0, {"x": 1})]),  # resumed: no measurements
    Result("qps", "maximize", 10.0, rows=[Row(0, "FAIL", None, {"x": 1}), Row(1, "RUNNING", None, {"x": 2})]),
    Result("qps", "maximize", 10.0),
], ids=["confirmed", "confirmation-unmeasured", "no-repeats", "none-completed", "no-rows"])
def test_the_plots_are_written(tmp_path, result):
    report.write(str(tmp_path), result)
    assert (tmp_path / "metric.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "importance.png").exists() == bool(result.importance)
    assert not [path for path in tmp_path.iterdir() if path.name.endswith(".tmp")]


def test_a_write_cut_short_leaves_the_previous_file_whole(tmp_path, monkeypatch):
    report.write(str(tmp_path), repeated(), plot=False)
    before = (tmp_path / "trials.csv").read_bytes()

    def killed(source, target):
        raise KeyboardInterrupt

    monkeypatch.setattr(report.os, "replace", killed)
    with pytest.raises(KeyboardInterrupt):
        report.write(str(tmp_path), repeated(importance={"x": 1.0}), plot=False)
    assert (tmp_path / "trials.csv").read_bytes() == before
    assert sorted(path.name for path in tmp_path.iterdir()) == ["best.yaml", "trials.csv"]


# -- importance.rank

SPACE = {"x": optuna.distributions.FloatDistribution(0.0, 10.0), "y": optuna.distributions.IntDistribution(0, 10),
         "mode": optuna.distributions.CategoricalDistribution(["a", "b", "c"])}


def study(count, seed=0, direction="minimize", value=lambda params: params["x"] * 10, names=tuple(SPACE), noise=0.5,
          **attrs):
    """`count` trials in which only x changes the value (unless `value` says otherwise)."""
    draw = random.Random(seed)
    made = optuna.create_study(direction=direction)
    for _ in range(count):
        params = {"x": draw.uniform(0, 10), "y": draw.randint(0, 10), "mode": draw.choice("abc")}
        params = {name: params[name] for name in names}
        made.add_trial(optuna.trial.create_trial(params=params, distributions={name: SPACE[name] for name in params},
                                                 value=value(params) + draw.uniform(0, noise), user_attrs=attrs))
    return made


@pytest.mark.parametrize("direction, sign", [("minimize", 1), ("maximize", -1)])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_the_parameter_that_drives_the_value_ranks_first(direction, sign, seed):
    ranked = importance.rank(study(30, seed, direction, lambda params: sign * params["x"] * 10))
    assert list(ranked)[0] == "x" and set(ranked) == set(SPACE)
    assert list(ranked.values()) == sorted(ranked.values(), reverse=True)
    assert sum(ranked.values()) == pytest.approx(1.0, abs=1e-3)
    assert all(round(value, 4) == value for value in ranked.values())


def test_trials_told_a_known_value_do_not_count():
    made = study(4)
    made.add_trials(study(20, seed=5, duplicate_of=0).trials)
    assert importance.rank(made) == {}
    made.add_trials(study(2, seed=6).trials)
    assert list(importance.rank(made))[0] == "x"


@pytest.mark.parametrize("made", [
    study(0), study(4), study(20, names=("x",)), study(20, value=lambda params: 7.0, noise=0),
    study(16, value=lambda params: float("inf")),
], ids=["no-trials", "too-few", "one-parameter", "constant", "infinite"])
def test_no_ranking_where_it_would_mean_nothing(made):
    assert importance.rank(made) == {}

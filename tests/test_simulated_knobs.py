"""The simulated system of the tuning-quality benchmark: its optimum is real and it can be tuned."""

import importlib.util
import itertools
import json
import os
import pathlib
import random
import subprocess
import sys

import pytest
import yaml

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = str(pathlib.Path(sys.executable).parent / "knobsmith")

_spec = importlib.util.spec_from_file_location("simulated_knobs", ROOT / "benchmarks" / "simulated_knobs.py")
sim = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sim)

KNOBS = {knob["name"]: knob for knob in sim.KNOBS}


def values(name):
    """A grid over a knob's search space: its steps, else steps of 16 (ints) or 0.05 (floats)."""
    knob = KNOBS[name]
    if knob["dtype"] == "string":
        return knob["options"]
    low, high = knob["scope"]
    if knob["dtype"] == "int":
        return list(range(low, high + 1, knob.get("step") or 16))
    step = knob.get("step") or 0.05
    return [round(low + index * step, 12) for index in range(round((high - low) / step) + 1)]


@pytest.mark.parametrize("pair", [("threads", "buffer_mb"), ("compression", "level"), ("flush_ratio", "cache_ratio")])
def test_no_pair_of_interacting_knobs_beats_the_optimum(pair):
    best = sim.f(sim.OPTIMUM)
    assert best == sim.PEAK
    for first, second in itertools.product(values(pair[0]), values(pair[1])):
        assert sim.f({**sim.OPTIMUM, pair[0]: first, pair[1]: second}) <= best


def test_nothing_in_the_space_beats_the_optimum_and_the_defaults_are_mediocre():
    rng = random.Random(7)
    scores = [sim.f({name: rng.choice(values(name)) for name in KNOBS}) for _ in range(20000)]
    assert max(scores) < sim.PEAK
    assert 0.25 * sim.PEAK < sim.f(sim.DEFAULTS) < 0.5 * sim.PEAK
    assert sim.OPTIMUM.keys() == sim.DEFAULTS.keys() == KNOBS.keys()
    assert all(sim.OPTIMUM[name] in values(name) for name in KNOBS)


def test_the_written_configuration_is_valid_and_its_commands_round_trip(tmp_path):
    config = sim.write_config(str(tmp_path), iterations=30)
    env = {**os.environ, "XDG_STATE_HOME": str(tmp_path / "state")}
    checked = subprocess.run([SCRIPT, "check", config], capture_output=True, text=True, cwd=tmp_path, env=env)
    assert checked.returncode == 0, checked.stderr
    settings = json.loads(checked.stdout)
    assert settings["max_eval"] == 30 and settings["eval_type"] == "positive"
    assert [knob["name"] for knob in settings["knobs"]] == list(KNOBS)
    assert sim.read_config(str(tmp_path)) == sim.DEFAULTS

    pairs = [f"{name}={value}" for name, value in sim.OPTIMUM.items()]
    applied = subprocess.run([SCRIPT, "apply", config, *pairs], capture_output=True, text=True, cwd=tmp_path, env=env)
    assert applied.returncode == 0, applied.stderr
    assert sim.read_config(str(tmp_path)) == sim.OPTIMUM
    scores = measurements(tmp_path, config, 2)
    assert scores[0] != scores[1]  # every measurement draws its own noise
    assert all(0.8 * sim.PEAK < score < 1.2 * sim.PEAK for score in scores)


def measurements(folder, config, count):
    command = yaml.safe_load(pathlib.Path(config).read_text())["benchmark"]
    scores = []
    for _ in range(count):
        assert subprocess.run(command, shell=True, cwd=folder).returncode == 0
        scores.append(float((folder / "score").read_text()))
    return scores


def test_a_noise_stream_repeats_and_is_the_one_measured_in_process(tmp_path):
    runs = []
    for name in ("a", "b"):
        config = sim.write_config(str(tmp_path / name), noise="seed 3")
        runs.append(measurements(tmp_path / name, config, 3))
    assert runs[0] == runs[1] and len(set(runs[0])) == 3
    in_process = [sim.measure(sim.DEFAULTS, "seed 3", index) for index in range(3)]
    assert runs[0] == pytest.approx(in_process, rel=1e-6)


def test_a_value_outside_its_knob_makes_the_benchmark_fail(tmp_path):
    sim.write_config(str(tmp_path))
    (tmp_path / "knobs" / "compression").write_text("brotli\n")
    done = subprocess.run([sys.executable, "-S", sim.__file__], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 1 and "brotli" in done.stderr and not (tmp_path / "score").exists()


_found = importlib.util.spec_from_file_location("problems", ROOT / "benchmarks" / "problems.py")
problems = sys.modules["problems"] = importlib.util.module_from_spec(_found)  # its dataclass looks itself up there
_found.loader.exec_module(problems)


@pytest.mark.parametrize("name", list(problems.PROBLEMS))
def test_each_problem_of_the_suite_peaks_at_its_feasible_optimum(name):
    problem = problems.PROBLEMS[name]
    optimum = {**problem.defaults, **problem.optimum}
    assert optimum.keys() == problem.defaults.keys()
    assert problem.f(optimum) == pytest.approx(problems.PEAK) and problem.share(problem.optimum) == pytest.approx(1)
    assert not problem.failure(optimum) and not problem.failure(problem.defaults)
    rng = random.Random(5)
    for _ in range(5000):
        config = {}
        for knob in problem.knobs:
            if knob["dtype"] == "string":
                config[knob["name"]] = rng.choice(knob["options"])
            else:
                low, high = knob["scope"]
                value = low * (high / low) ** rng.random() if low > 0 and rng.random() < 0.5 else rng.uniform(low, high)
                config[knob["name"]] = round(value) if knob["dtype"] == "int" else value
        assert problem.f(config) <= problem.f(optimum)

"""The benchmarks' plain-Python renderings agree with the modules they are timed against."""

import copy
import importlib.util
import pathlib
import sys

import pytest

from knobsmith.loadplan import Cfg
from knobsmith.vetplan import Vetplan

BENCHMARKS = pathlib.Path(__file__).resolve().parents[1] / "benchmarks"


def load(name):
    found = importlib.util.spec_from_file_location(name, BENCHMARKS / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


make_configs = load("make_configs")
plain_python = load("plain_python")

# One fault each, where the validator has a check; None deletes the field.
FAULTS = [
    ("iterations", 0), ("iterations", "10"), ("iterations", None), ("timeout", 0), ("timeout", -1),
    ("benchmark", " "), ("benchmark", "a; b"), ("benchmark", 3), ("startworkload", None), ("stopworkload", 1),
    ("evaluations", []), ("evaluations", {}), ("evaluations.name", 5), ("evaluations.get", "a && b"),
    ("evaluations.type", "up"), ("evaluations.target", "95"), ("evaluations.target", "0%"),
    ("evaluations.target", None), ("object", "x"), ("object.name", 1), ("object.desc", 7), ("object.desc", ""),
    ("object.get", "x`y`"), ("object.set", None), ("object.needrestart", "yes"), ("object.needrestart", "true"),
    ("object.type", "range"), ("object.dtype", "bool"), ("object.scope", [5, 1]), ("object.scope", [1, "a"]),
    ("object.scope", [1]), ("object.scope", None), ("object.step", "1"), ("object.step", None),
    ("object.items", {}), ("object.options", []), ("object.options", ["ok", "a\nb"]), ("deep", "nested"),
]


def faulty(field, value):
    config = make_configs.configuration(8)
    if field == "deep":
        deep = 1
        for _ in range(100):
            deep = [deep]
        config["extra"] = deep
        return config
    holder, name = config, field
    if field.startswith("evaluations."):
        holder, name = config["evaluations"][0]["info"], field.split(".")[1]
        if name == "name":
            holder = config["evaluations"][0]
    elif field.startswith("object."):
        index = 1 if field in ("object.options",) else 0  # the second object is the one with options
        holder, name = config["object"][index]["info"], field.split(".")[1]
        if name == "name":
            holder = config["object"][index]
    if value is None:
        del holder[name]
    else:
        holder[name] = value
    return config


@pytest.mark.parametrize("objects", [1, 4, 50])
def test_generated_configurations_are_valid_both_ways(objects):
    config = make_configs.configuration(objects)
    assert Vetplan().is_valid(config) is True
    assert plain_python.PlainVetplan().is_valid(config) is True


@pytest.mark.parametrize("field, value", FAULTS)
def test_the_plain_validator_refuses_what_the_validator_refuses(field, value):
    config = faulty(field, value)
    assert plain_python.PlainVetplan().is_valid(copy.deepcopy(config)) is Vetplan().is_valid(config)


def test_the_plain_reader_loads_and_answers_alike(tmp_path):
    path = make_configs.write(str(tmp_path / "tuning.yaml"), 12)
    cfg, plain = Cfg(), plain_python.PlainCfg()
    assert cfg.init(path) is True and plain.init(path) is True
    assert plain.yml == cfg.yml
    for name in ("get_project", "get_benchmark_script", "get_performance_get_script", "get_performance_target",
                 "get_evaluations_type", "get_optimizer_info", "get_params_get_script", "get_params_set_script",
                 "get_workload_options"):
        assert getattr(plain, name)() == getattr(cfg, name)(), name

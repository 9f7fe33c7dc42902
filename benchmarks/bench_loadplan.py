"""Cfg().init of a 2,000-object file and each accessor on 2,000 objects, next to plain Python.

Prints, best (median) of several interleaved rounds in one run: Cfg().init as it runs (libyaml's
events), Cfg().init with its loader substituted (the pure-Python parser alone, as the reader used
to read), and a plain-Python rendering of the same loading and checks; then each accessor of the
compiled reader next to its plain-Python rendering. Usage: python benchmarks/bench_loadplan.py
"""

from __future__ import annotations

import copy
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import knobsmith.loadplan as loadplan  # noqa: E402
import knobsmith.yaml_bounds as yaml_bounds  # noqa: E402
from knobsmith.loadplan import Cfg  # noqa: E402
from make_configs import configuration, write  # noqa: E402
from plain_python import PlainCfg  # noqa: E402
from timing import interleaved, print_table  # noqa: E402

OBJECTS = 2000
ROUNDS = 5
ACCESSOR_CALLS = 20
ACCESSORS = ["get_project", "get_benchmark_script", "get_performance_get_script", "get_performance_target",
             "get_evaluations_type", "get_optimizer_info", "get_params_get_script", "get_params_set_script",
             "get_workload_options"]


def init_with_the_pure_parser(path: str) -> bool:
    installed = loadplan.bounded_loader
    loadplan.bounded_loader = lambda stream: yaml_bounds.bounded_loader(stream)  # a substitute: the exact path
    try:
        return Cfg().init(path)
    finally:
        loadplan.bounded_loader = installed


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = write(os.path.join(folder, "tuning.yaml"), OBJECTS)
        size = os.path.getsize(path)
        plain = PlainCfg()
        assert Cfg().init(path) and init_with_the_pure_parser(path) and plain.init(path)
        assert Cfg().yml == plain.yml
        # In turns: timed one after the other, a change in the machine's load moved the ratio by half.
        figures = interleaved({
            "Cfg().init": lambda: Cfg().init(path),
            "Cfg().init, pure parser": lambda: init_with_the_pure_parser(path),
            "plain Python init": lambda: plain.init(path),
        }, ROUNDS)
    print_table(f"init of a {OBJECTS}-object file ({size // 1024} KB), best of {ROUNDS} interleaved rounds:",
                figures, "plain Python init")

    config = configuration(OBJECTS)
    cfg, plain = Cfg(), PlainCfg()
    cfg.yml, plain.yml = copy.deepcopy(config), copy.deepcopy(config)
    cfg.project = plain.project = "tuning"
    print(f"\naccessors on {OBJECTS} objects, per call, best of {ROUNDS} interleaved rounds of {ACCESSOR_CALLS} calls:")
    for name in ACCESSORS:
        compiled, python = getattr(cfg, name), getattr(plain, name)
        assert compiled() == python(), name
        figures = interleaved({"Cfg": compiled, "plain": python}, ROUNDS, ACCESSOR_CALLS)
        print_table(f" {name}", figures, "plain")


if __name__ == "__main__":
    main()

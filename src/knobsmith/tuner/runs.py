"""A tuning run as the command line starts it: of one host, or of a fleet's worker."""

from __future__ import annotations

from collections.abc import Callable

from knobsmith.tuner import space_checks, warm_start
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.host import HostRun
from knobsmith.tuner.loop import TuningRun
from knobsmith.tuner.plan import Options, TuningPlan
from knobsmith.tuner.worker import WorkerRun


def tuning_run(options: Options, say: Callable[[str], None]) -> TuningRun:
    """The run `options` ask for, its plan read from their configuration."""
    plan = TuningPlan.load(options.config)
    if options.pareto and not plan.unbounded:
        raise TuneError("--pareto optimises every evaluation without a bound, and this configuration has none "
                        "after the first: add one, or leave --pareto out")
    for line in space_checks.unknown_keys(plan.cfg.yml):
        say(f"warning: {line}")
    if options.study is not None:
        return WorkerRun(plan, options, say)
    run = HostRun(plan, options, say)
    if options.warm_start:
        if options.pareto:
            raise TuneError("a warm start gives the sampler one objective's trials and --pareto optimises several: "
                            "leave one of them out")
        objective = plan.objective
        run.sources = warm_start.read(options.warm_start, objective.name, objective.direction,
                                      relative=options.relative)
    return run

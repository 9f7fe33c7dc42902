"""The plan of a tuning run, read once from its configuration: what is measured, what is
searched, how much may be spent, and the commands that read the parameters and measure; and the
options the run was started with."""

from __future__ import annotations

import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from knobsmith.loadplan import Cfg
from knobsmith.tuner import fleet as fleets
from knobsmith.tuner import space_checks
from knobsmith.tuner.failures import MAX_FAILED, TuneError
from knobsmith.tuner.space import Suggest, described, suggestion


def direction_of(kind: Any) -> str:
    """The direction of an evaluation's type: "positive" is larger when better."""
    return "maximize" if kind == "positive" else "minimize"


@dataclass(frozen=True)
class Bound:
    """A guardrail: the value an evaluation may not pass."""

    kind: str  # "max" or "min"
    limit: float

    def kept(self, value: float) -> bool:
        return value <= self.limit if self.kind == "max" else value >= self.limit

    def describe(self) -> str:
        return f"{self.kind} {self.limit:g}"

    def stored(self) -> dict[str, float]:
        return {self.kind: self.limit}


@dataclass(frozen=True)
class Evaluation:
    """A value measured after every benchmark run."""

    name: str
    command: str  # prints the value
    direction: str  # "maximize" or "minimize"
    bound: Bound | None = None  # only after the objective


def bound_of(info: Mapping[str, Any]) -> Bound | None:
    """An evaluation's guardrail (checked by space_checks before)."""
    for kind in ("max", "min"):
        if info.get(kind) is not None:
            return Bound(kind, float(info[kind]))
    return None


@dataclass(frozen=True)
class Budget:
    trials: int
    seconds: float  # 0: no time budget
    target: float  # percent better than the baseline at which the run stops; 0: none

    def spent(self, finished: int, started: float, counted: str = "") -> str:
        """Why a run stops before its next trial: its budget of trials or of time is spent; "" if not."""
        if finished >= self.trials:
            return f"the budget of {self.trials} trials is spent{counted}"
        if self.seconds and time.monotonic() - started >= self.seconds:
            return f"the time budget of {self.seconds} s is spent"
        return ""


@dataclass(frozen=True)
class TuningPlan:
    config: str  # the configuration file, as named
    project: str
    evaluations: tuple[Evaluation, ...]  # the objective first; only it is optimised, the others may be bounded
    space: Mapping[str, Suggest]  # how a trial proposes each parameter's value
    described: dict[str, dict[str, Any]]  # the values each parameter may take (space.described)
    budget: Budget
    benchmark: str
    gets: Mapping[str, str]  # each parameter's get command
    cfg: Cfg  # the loaded configuration, which reading and setting the parameters take

    @property
    def objective(self) -> Evaluation:
        return self.evaluations[0]

    @property
    def others(self) -> tuple[Evaluation, ...]:
        return self.evaluations[1:]

    @property
    def unbounded(self) -> tuple[Evaluation, ...]:
        """The evaluations after the objective without a bound: the further objectives of --pareto."""
        return tuple(evaluation for evaluation in self.others if evaluation.bound is None)

    @property
    def pareto(self) -> tuple[Evaluation, ...]:
        """The objectives of --pareto: the objective and every evaluation after it without a bound."""
        return (self.objective, *self.unbounded)

    @property
    def bounds(self) -> dict[str, Bound]:
        return {evaluation.name: evaluation.bound for evaluation in self.others if evaluation.bound is not None}

    @classmethod
    def load(cls, config: str) -> TuningPlan:
        """The plan of `config`, refused when it cannot be used or its space cannot be searched."""
        cfg = Cfg()
        if not cfg.init(config):
            raise TuneError(f"{config} cannot be used (see the lines above)")
        refused = space_checks.fault(cfg.yml)
        if refused:
            raise TuneError(refused)
        settings = cfg.get_optimizer_info()
        name, command = next(iter(cfg.get_performance_get_script().items()))
        objective = Evaluation(name, command, direction_of(settings["eval_type"]))
        others = [Evaluation(str(entry["name"]), str(entry["info"]["get"]), direction_of(entry["info"]["type"]),
                             bound_of(entry["info"])) for entry in cfg.yml["evaluations"][1:]]
        knobs = settings["knobs"]
        # The time budget as written: 30, not 30.0, in what the run says.
        budget = Budget(int(settings["max_eval"]), settings.get("max_time") or 0, float(settings["target"] or 0))
        return cls(config, cfg.get_project(), (objective, *others), {knob["name"]: suggestion(knob) for knob in knobs},
                   described(knobs), budget, cfg.get_benchmark_script() or "",
                   {name: entry["get"] for name, entry in cfg.get_params_get_script().items()}, cfg)


@dataclass
class Options:
    config: str
    seed: int = 1
    restore: bool = False
    storage: str | None = None  # a study URL; default a journal file in the report folder
    resume: bool = False  # go on with the study kept in the report folder
    reconfirm: bool = False  # a finished study runs its end (the confirmation) again
    progress: bool | None = None  # None: only on a terminal
    report: str | None = None  # the report folder; default knobsmith-report-<project>
    warmup: int = 0  # benchmark runs before the baseline, not recorded
    repeats: int = 1  # benchmark runs per trial; the metric is their median
    confirm: int = 3  # candidates measured again at the end against the baseline; 0: none
    confirm_rounds: int = 3
    max_failed: float = MAX_FAILED
    keep_within_noise: bool = False  # leave the best applied even when its gain is within the noise
    pareto: bool = False  # every evaluation without a bound is an objective; the front is reported
    minimal: bool = False  # after the confirmation, look for the smallest change that keeps the gain
    study: str | None = None  # a study shared by a fleet of workers, in `storage`
    worker: str | None = None  # this worker's name; default the host's
    relative: bool = False  # a fleet's values (a warm start's priors) are gains over each worker's (source's) baseline
    warm_start: tuple[str, ...] = ()  # earlier runs whose trials the study starts from
    heartbeat: int = fleets.HEARTBEAT  # seconds between a fleet worker's signs of life
    reconnect: float = fleets.RECONNECT  # seconds a fleet worker tries to reach its database again

"""The trials of a run and how it ended: what the report and the summary are made of."""

from __future__ import annotations

import statistics
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from knobsmith.tuner.space import outside

if TYPE_CHECKING:
    from knobsmith.tuner.minimizing import Minimal
    from knobsmith.tuner.plan import Bound, TuningPlan


def spread(values: list[float]) -> float:
    """How far apart repeated measurements of one configuration are (their range)."""
    return max(values) - min(values) if len(values) > 1 else 0.0


def measured(value: float | None) -> float:
    """The value of a trial or candidate known to have been measured."""
    if value is None:
        raise ValueError("a measured value was expected")
    return value


@dataclass
class Row:
    number: int
    state: str  # COMPLETE, FAIL or RUNNING (a trial cut short)
    value: float | None  # the median of `measurements`
    params: dict[str, Any]
    note: str = ""
    in_effect: dict[str, str] = field(default_factory=dict)  # values read back that differ from params
    measurements: list[float] = field(default_factory=list)  # one per repeat
    worker: str = ""  # in a fleet: the worker that measured it
    raw: float | None = None  # with gains as values: the metric itself (the median of `measurements`)
    others: dict[str, list[float]] = field(default_factory=dict)  # the other evaluations' measurements
    broken: str = ""  # the guardrail its measurements broke
    repeats: int | None = None  # the earlier trial whose configuration it repeats (state REPEAT: not run)

    @property
    def spread(self) -> float:
        return spread(self.measurements)


@dataclass
class Confirmed:
    """A candidate (or the baseline) measured again at the end, interleaved with the others."""

    label: str  # "baseline" or "trial N"
    number: int | None  # the trial's number; None for the baseline
    params: dict[str, Any]
    measurements: list[float] = field(default_factory=list)
    note: str = ""  # why it could not be measured again, if it could not
    others: dict[str, list[float]] = field(default_factory=dict)  # the other evaluations' measurements
    broken: str = ""  # the guardrail its measurements broke

    @property
    def value(self) -> float | None:
        return statistics.median(self.measurements) if self.measurements else None

    @property
    def spread(self) -> float:
        return spread(self.measurements)


@dataclass
class Ending:
    """What was left applied at the end, as read back."""

    wanted: str  # "the best values" or "the backed-up values"
    values: dict[str, Any] = field(default_factory=dict)
    problems: list[str] = field(default_factory=list)
    done: bool = False  # the values were applied and read back as asked

    def describe(self) -> str:
        return self.wanted if self.done else f"NOT {self.wanted}: " + "; ".join(self.problems)


GAIN = " gain %"  # after the metric's name, when the values are gains


@dataclass
class Result:
    metric: str
    direction: str
    baseline: float
    rows: list[Row] = field(default_factory=list)
    stop_reason: str = ""
    failed: bool = False  # the run stopped because of failures, or none of its trials completed
    ending: Ending | None = None
    baseline_measurements: list[float] = field(default_factory=list)
    # The end-of-run confirmation: the baseline first, then the candidates, best first.
    confirmation: list[Confirmed] = field(default_factory=list)
    verdict: str = ""  # what the confirmation showed, in words
    beyond_noise: bool | None = None  # None: no confirmation was made
    confirmation_cut_short: bool = False  # its measurements are partial: no best or gain is taken from them
    importance: dict[str, float] = field(default_factory=dict)  # most important first
    # A fleet's values may be gains in percent over each worker's own baseline (the baseline
    # is then 0), and the report names each worker's host, baseline and trials.
    relative: bool = False
    workers: dict[str, dict[str, Any]] = field(default_factory=dict)
    # The configuration's space (space.described), when a configuration is in force: a kept
    # trial outside it (the scope was narrowed since) stays in the report, but is never applied.
    space: dict[str, dict[str, Any]] = field(default_factory=dict)
    sampler: str = ""  # what proposed the trials, as best.yaml names it
    minimal: Minimal | None = None  # the smallest change that keeps the gain, when it was looked for
    others: list[str] = field(default_factory=list)  # the evaluations after the objective
    bounds: dict[str, Bound] = field(default_factory=dict)  # the guardrails among them
    baseline_others: dict[str, list[float]] = field(default_factory=dict)
    objectives: dict[str, str] = field(default_factory=dict)  # with --pareto: each objective's direction

    def front(self) -> list[Row]:
        """With --pareto: the completed trials no other one is at least as good as in every
        objective and better in one, best first by the first objective."""
        if not self.objectives:
            return []
        signs = [1.0 if direction == "maximize" else -1.0 for direction in self.objectives.values()]

        def point(row: Row) -> list[float]:
            found = {name: statistics.median(values) for name, values in row.others.items() if values}
            values = [measured(row.value), *(found[name] for name in list(self.objectives)[1:])]
            return [sign * value for sign, value in zip(signs, values, strict=True)]

        points = [(row, point(row)) for row in self.completed()]
        front = [row for row, mine in points
                 if not any(all(a >= b for a, b in zip(theirs, mine, strict=True)) and theirs != mine
                            for _, theirs in points)]
        return sorted(front, key=lambda row: signs[0] * measured(row.value), reverse=True)

    def outside(self, row: Row) -> str:
        """Why `row` is not a configuration of the space in force ("" when it is, or none is)."""
        return outside(self.space, row.params) if self.space else ""

    def ruled_out(self, row: Row) -> str:
        """Why the confirmation ruled `row` out: it failed when measured again, or broke a guardrail
        ("" when it did not)."""
        return next((entry.note or entry.broken for entry in self.confirmation[1:]
                     if entry.number == row.number and (entry.note or entry.broken)), "")

    def completed(self) -> list[Row]:
        """The trials measured with a configuration of the space in force, within the guardrails,
        and not ruled out."""
        return [row for row in self.rows if row.state == "COMPLETE" and row.value is not None
                and not row.broken and not self.outside(row) and not self.ruled_out(row)]

    def none_completed(self) -> str:
        """Why no trial is among the completed ones."""
        if any(row.broken for row in self.rows):
            return "no trial kept the guardrails"
        return "no trial completed" + (" within the configuration's space" if any(map(self.outside, self.rows)) else "")

    def better(self, a: float, b: float) -> bool:
        return a > b if self.direction == "maximize" else a < b

    @classmethod
    def of_gains(cls, metric: str) -> Result:
        """A fleet's result whose values are gains over each worker's own baseline."""
        return cls(metric + GAIN, "maximize", 0.0, relative=True)

    @classmethod
    def planned(cls, plan: TuningPlan, baseline: float, measurements: list[float], *, gains: bool = False,
                pareto: bool = False) -> Result:
        """The result of a run of `plan`, its values the objective's or (`gains`) gains over the baseline."""
        objective = plan.objective
        result = (cls.of_gains(objective.name) if gains else
                  cls(objective.name, objective.direction, baseline, baseline_measurements=measurements))
        result.space = plan.described
        result.others = [other.name for other in plan.others]
        result.bounds = plan.bounds
        if pareto:
            result.objectives = {evaluation.name: evaluation.direction for evaluation in plan.pareto}
        return result

    @property
    def raw_metric(self) -> str:
        """The metric's own name, also beside gains ("tps gain %" -> "tps")."""
        return self.metric.removesuffix(GAIN) if self.relative else self.metric

    def best(self, rows: list[Row] | None = None) -> Row | None:
        """The best trial as measured during the search (of `rows`, when given)."""
        done = self.completed() if rows is None else rows
        if not done:
            return None
        pick = max if self.direction == "maximize" else min
        return pick(done, key=lambda row: measured(row.value))

    def confirmed_best(self) -> Confirmed | None:
        """The candidate whose confirmation measured best, when a confirmation was made."""
        candidates = [entry for entry in self.confirmation[1:]
                      if entry.value is not None and not entry.note and not entry.broken]
        if not candidates or self.confirmation_cut_short:
            return None
        pick = max if self.direction == "maximize" else min
        return pick(candidates, key=lambda entry: measured(entry.value))

    def measured_better(self) -> bool:
        """Whether the best measured better than the baseline measured with it: the confirmation's
        when one was made, else the run's."""
        if self.confirmation:
            chosen, baseline = self.confirmed_best(), self.confirmation[0].value
            return (chosen is not None and chosen.value is not None and baseline is not None
                    and self.better(chosen.value, baseline))
        best = self.best()
        return best is not None and best.value is not None and self.better(best.value, self.baseline)

    def improvement(self, value: float, baseline: float | None = None) -> float | None:
        """Percent better than the baseline (positive is better), or None for a zero baseline."""
        if self.relative:
            return value  # a gain over its own worker's baseline already
        base = self.baseline if baseline is None else baseline
        if base == 0:
            return None
        gain = value - base if self.direction == "maximize" else base - value
        return gain / abs(base) * 100

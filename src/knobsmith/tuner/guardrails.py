"""Guardrails: bounds on the evaluations after the objective. A configuration keeps them when the
median of each bounded evaluation's measurements stays within its bound. With --pareto, the
evaluations without a bound are objectives of their own."""

from __future__ import annotations

import statistics
from collections.abc import Mapping, Sequence
from typing import Any

from knobsmith.tuner.labels import BROKEN, OTHERS
from knobsmith.tuner.plan import Bound, TuningPlan


def medians(measurements: Mapping[str, Sequence[float]]) -> dict[str, float]:
    return {name: float(statistics.median(values)) for name, values in measurements.items() if values}


def broken(bounds: Mapping[str, Bound], measurements: Mapping[str, Sequence[float]]) -> str:
    """Which guardrail `measurements` (each evaluation's runs of one configuration) break, with
    their values; "" when they keep every bound. An evaluation not measured keeps nothing."""
    for name, bound in bounds.items():
        values = list(measurements.get(name) or [])
        if not values:
            return f"{name} was not measured (bound {bound.describe()})"
        median = statistics.median(values)
        if not bound.kept(median):
            runs = "" if len(values) == 1 else f", runs {', '.join(f'{value:g}' for value in values)}"
            return f"{name} {median:g} breaks its bound ({bound.describe()}{runs})"
    return ""


def kept_on(trial: Any, bounds: Mapping[str, Bound], others: dict[str, list[float]]) -> str:
    """Keeps a trial's other evaluations with it, and the guardrail they broke, which it answers
    ("" when none): such a trial was measured, but is never the best, and the sampler sees it
    infeasible, as it sees a failure."""
    if others:
        trial.set_user_attr(OTHERS, others)
    broke = broken(bounds, others)
    if broke:
        trial.set_user_attr(BROKEN, broke)
    return broke


def objective_values(plan: TuningPlan, value: float, others: Mapping[str, Sequence[float]],
                     pareto: bool) -> float | list[float]:
    """What a trial is told: its value, and with --pareto each unbounded evaluation's median."""
    if not pareto:
        return value
    found = medians(others)
    return [value, *(found[evaluation.name] for evaluation in plan.unbounded)]

"""Guardrails: bounds on the evaluations after the objective. A configuration keeps them when the
median of each bounded evaluation's measurements stays within its bound."""

from __future__ import annotations

import statistics
from collections.abc import Mapping, Sequence

from knobsmith.tuner.plan import Bound


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

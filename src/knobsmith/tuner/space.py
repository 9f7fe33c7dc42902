"""The search space: how a trial proposes a value for each knob of the optimizer settings."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

Suggest = Callable[[Any], Any]
LOG_SCALE_RATIO = 100


def _grid(low: float, high: float, step: float, dtype: str) -> list[float]:
    count = int(math.floor((high - low) / step + 1e-9)) + 1
    values = [low + index * step for index in range(count)]
    return [int(value) for value in values] if dtype == "int" else [round(value, 12) for value in values]


def suggestion(knob: dict[str, Any]) -> Suggest:
    """How a trial proposes a value for one knob of the optimizer settings."""
    name, dtype, kind = knob["name"], knob["dtype"], knob["type"]
    if dtype == "string":
        options = list(knob["options"])
        return lambda trial: trial.suggest_categorical(name, options)
    low, high = knob["range"]
    step = knob.get("step") or 0
    if kind == "discrete" and step and step > 0:
        step = max(1, int(step)) if dtype == "int" else float(step)
        grid = _grid(low, high, step, dtype)
        items = [item for item in (knob.get("items") or []) if isinstance(item, (int, float))]
        if items:
            choices = sorted(set(grid) | set(items))
            return lambda trial: trial.suggest_categorical(name, choices)
        top = grid[-1]
        if dtype == "int":
            return lambda trial: trial.suggest_int(name, int(low), int(top), step=step)
        # A step of 0.1 yields 0.30000000000000004: the value set is the one a person would write.
        return lambda trial: round(trial.suggest_float(name, float(low), float(top), step=step), 12)
    # A range over two orders of magnitude or more (memory and buffer sizes) is searched on a log
    # scale, so that 64 MB and 128 MB are as far apart as 2 GB and 4 GB.
    log = low > 0 and high / low >= LOG_SCALE_RATIO
    if dtype == "int":
        return lambda trial: trial.suggest_int(name, int(low), int(high), log=log)
    return lambda trial: trial.suggest_float(name, float(low), float(high), log=log)

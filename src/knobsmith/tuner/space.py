"""The search space: how a trial proposes a value for each knob of the optimizer settings."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

Suggest = Callable[[Any], Any]
LOG_SCALE_RATIO = 100
MAX_CHOICES = 10_000  # values of a step grid merged with items, which is searched as a list


def grid_size(low: float, high: float, step: float, dtype: str) -> int:
    """How many values the step grid of [low, high] holds, computed: a range of two billion
    values is never listed."""
    if dtype == "int":
        return (int(high) - int(low)) // max(1, int(step)) + 1
    return int(math.floor((high - low) / step + 1e-9)) + 1


def grid_value(low: float, index: int, step: float, dtype: str) -> float:
    """The grid's value `index` steps above `low`."""
    if dtype == "int":
        return int(low) + index * max(1, int(step))
    # A step of 0.1 yields 0.30000000000000004: the value set is the one a person would write.
    return round(low + index * step, 12)


def _numbers(items: Any) -> list[float]:
    return [item for item in (items or []) if isinstance(item, (int, float)) and not isinstance(item, bool)]


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
        size = grid_size(low, high, step, dtype)
        items = _numbers(knob.get("items"))
        if items:
            # Only a grid merged with items is a list (the checks keep it short: MAX_CHOICES).
            grid = (grid_value(low, index, step, dtype) for index in range(size))
            choices = sorted(set(grid) | set(items))
            return lambda trial: trial.suggest_categorical(name, choices)
        top = grid_value(low, size - 1, step, dtype)
        if dtype == "int":
            return lambda trial: trial.suggest_int(name, int(low), int(top), step=step)
        return lambda trial: round(trial.suggest_float(name, float(low), float(top), step=step), 12)
    # A range over two orders of magnitude or more (memory and buffer sizes) is searched on a log
    # scale, so that 64 MB and 128 MB are as far apart as 2 GB and 4 GB.
    log = low > 0 and high / low >= LOG_SCALE_RATIO
    if dtype == "int":
        return lambda trial: trial.suggest_int(name, int(low), int(high), log=log)
    return lambda trial: trial.suggest_float(name, float(low), float(high), log=log)


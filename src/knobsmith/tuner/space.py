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
    return math.floor((high - low) / step + 1e-9) + 1


def grid_value(low: float, index: int, step: float, dtype: str) -> float:
    """The grid's value `index` steps above `low`."""
    if dtype == "int":
        return int(low) + index * max(1, int(step))
    # A step of 0.1 yields 0.30000000000000004: the value set is the one a person would write.
    return round(low + index * step, 12)


def is_number(value: Any) -> bool:
    """An int or a float as YAML gives them (a boolean is neither)."""
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _numbers(items: Any) -> list[float]:
    return [item for item in (items or []) if is_number(item)]


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


# -- the space as data: what a fleet's workers must share, and what a kept trial must fit


def described(knobs: list[dict[str, Any]]) -> dict[str, dict[str, Any]]:
    """The values each knob may take, by name, as JSON data (kept with a fleet's study)."""
    space: dict[str, dict[str, Any]] = {}
    for knob in knobs:
        if knob["dtype"] == "string":
            space[knob["name"]] = {"dtype": "string", "options": list(knob["options"])}
            continue
        entry = {"dtype": knob["dtype"], "range": list(knob["range"])}
        step = knob.get("step") or 0
        if knob["type"] == "discrete" and step > 0:
            entry.update(step=step, items=_numbers(knob.get("items")))
        space[knob["name"]] = entry
    return space


def typed(space: dict[str, dict[str, Any]], values: dict[str, Any]) -> dict[str, Any]:
    """`values` (a backup's are text) as numbers where the space holds numbers; a value that is
    not one stays as it was read."""
    found = {}
    for name, value in values.items():
        dtype = space.get(name, {}).get("dtype")
        if dtype in ("int", "float") and isinstance(value, str):
            try:
                number = float(value)
                value = int(number) if dtype == "int" and number.is_integer() else number
            except ValueError:
                pass
        found[name] = value
    return found


def describe(entry: dict[str, Any]) -> str:
    """A knob's values in words: "int in [0, 10] step 1", "one of a, b"."""
    if entry["dtype"] == "string":
        return "one of " + ", ".join(map(str, entry["options"]))
    low, high = entry["range"]
    said = f"{entry['dtype']} in [{low:g}, {high:g}]"
    if "step" in entry:
        said += f" step {entry['step']:g}"
        if entry["items"]:
            said += " or one of " + ", ".join(f"{item:g}" for item in entry["items"])
    return said


def _fits(entry: dict[str, Any], value: Any) -> bool:
    if entry["dtype"] == "string":
        return value in entry["options"]
    if not is_number(value):
        return False
    if "step" in entry and value in entry["items"]:
        return True
    low, high = entry["range"]
    if not low <= value <= high or (entry["dtype"] == "int" and value != int(value)):
        return False
    if "step" not in entry:
        return True
    steps = (value - low) / entry["step"]
    return bool(abs(steps - round(steps)) <= 1e-6 + abs(steps) * 1e-12)  # rounding of values far up a fine grid


def off_grid(low: float, high: float, step: float, dtype: str, items: Any, value: float) -> list[float]:
    """The allowed values next to `value` (one below, one above) when it lies between the steps of
    [low, high] and is none of `items`; [] when it may be taken."""
    numbers = _numbers(items)
    if _fits({"dtype": dtype, "range": [low, high], "step": step, "items": numbers}, value):
        return []
    steps = math.floor((value - low) / step)
    top = grid_value(low, grid_size(low, high, step, dtype) - 1, step, dtype)
    grid = [grid_value(low, index, step, dtype) for index in (steps, steps + 1) if index >= 0 and
            grid_value(low, index, step, dtype) <= top]
    allowed = sorted(set(grid) | set(numbers))
    below = [near for near in allowed if near < value]
    above = [near for near in allowed if near > value]
    return below[-1:] + above[:1]


def outside(space: dict[str, dict[str, Any]], values: dict[str, Any]) -> str:
    """Why `values` are not a configuration of `space`, in words; "" when they are."""
    for name, value in values.items():
        if name not in space:
            return f"{name} is not one of its parameters"
        if not _fits(space[name], value):
            return f"{name}={value} is not {describe(space[name])}"
    missing = [name for name in space if name not in values]
    return f"{missing[0]} has no value" if missing else ""


def difference(theirs: dict[str, dict[str, Any]], mine: dict[str, dict[str, Any]]) -> str:
    """The first difference between a study's space and this configuration's, in words; "" when
    they are the same."""
    for name, entry in theirs.items():
        if name not in mine:
            return f"the study's parameter {name} is not in this configuration"
        if entry != mine[name]:
            return f"{name} is {describe(entry)} in the study, {describe(mine[name])} here"
    extra = [name for name in mine if name not in theirs]
    return f"this configuration's parameter {extra[0]} is not in the study" if extra else ""

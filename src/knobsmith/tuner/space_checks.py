"""What the tuner cannot search, found before anything runs.

The validator passes some parameters that no search can use: bounds that are NaN, infinite or
text, steps that make no grid, names that are empty or taken twice. Each is refused here, in one
line naming the parameter, so that `check` does not pass what `tune` would fail on midway.
"""

from __future__ import annotations

import difflib
import json
import math
from functools import cache
from pathlib import Path
from typing import Any

from knobsmith.tuner.space import MAX_CHOICES, grid_size, is_number

FLOAT_GRID = 2**53  # steps of a float grid beyond which low + k * step is no longer exact


def _finite(value: float) -> bool:
    try:
        return math.isfinite(value)
    except OverflowError:  # an integer past the floats'
        return False


def _text(value: Any) -> str:
    text = f"{value!r}" if isinstance(value, str) else f"{value:g}" if isinstance(value, float) else str(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _value_fault(value: Any, whole: bool, name: str) -> str:
    """Why a bound or an item cannot be a value of the parameter `name`; "" when it can."""
    if not is_number(value):
        quotes = ", without quotes" if isinstance(value, str) else ""
        return f"{_text(value)} is not a number; write it as a number{quotes}"
    if not _finite(value):
        return f"{_text(value)} is not a finite number; give finite numbers"
    if whole and value != int(value):
        return (f"{_text(value)} is not a whole number, and {name} is an int parameter; "
                'give whole numbers or dtype "float"')
    return ""


def _numbers_fault(info: dict[str, Any], name: str) -> tuple[str, str]:
    """(key, fault) of a numeric parameter's scope, step and items; ("", "") when they are sound."""
    whole = info.get("dtype") == "int"
    scope = info.get("scope")
    if not isinstance(scope, list) or len(scope) != 2:
        return "", ""  # the validator's to report
    for bound in scope:
        fault = _value_fault(bound, whole, name)
        if fault:
            return "scope", fault
    low, high = scope
    if not _finite(high - low):
        return "scope", f"[{low:g}, {high:g}] is too wide to search; narrow it"
    step = info.get("step")
    if info.get("type") != "discrete" or step is None:
        return "", ""
    if not is_number(step) or not _finite(step) or step <= 0:
        return "step", f"{_text(step)} is not a number above 0; give the distance between two values to try"
    if whole and step != int(step):
        return "step", f"{_text(step)} is not a whole number, and {name} is an int parameter; give a whole step"
    if step > high - low:
        return "step", (f"{_text(step)} is larger than the range [{low:g}, {high:g}]; "
                        f"give a step of at most {high - low:g}")
    if not whole and not float(high - low) / step <= FLOAT_GRID:
        return "step", (f"{_text(step)} makes a grid over [{low:g}, {high:g}] finer than floating-point numbers "
                        "tell apart; give a larger step")
    items = [item for item in info.get("items") or [] if is_number(item)]
    for item in items:
        fault = _value_fault(item, whole, name)
        if fault:
            return "items", fault
    size = grid_size(low, high, step, str(info.get("dtype")))
    if items and size + len(items) > MAX_CHOICES:
        return "items", (f"a grid of {size} values merged with items is too many to choose from (at most "
                         f"{MAX_CHOICES}); leave items empty or give a larger step")
    return "", ""


def _fault(info: dict[str, Any], name: str) -> tuple[str, str]:
    """(key, fault) of one parameter's info; ("", "") when it can be searched."""
    for key, what in (("get", "prints the current value"), ("set", "applies $value")):
        command = info.get(key)
        if isinstance(command, str) and not command.strip():
            return key, f"the command is empty; give the command that {what}"
    if isinstance(info.get("set"), str) and "$value" not in info["set"]:
        return "set", "the command has no $value, so the value could never reach the system; write $value where it goes"
    if info.get("dtype") == "string":
        options = info.get("options")
        if isinstance(options, list):
            seen = set()
            for option in options:
                if str(option) in seen:
                    return "options", f"{option} is listed twice; list each option once"
                seen.add(str(option))
        return "", ""
    return _numbers_fault(info, name)


def _bound_fault(evaluations: Any) -> str:
    """The first guardrail (info.max or info.min of an evaluation) that cannot be kept, as
    "evaluations[NAME].info.KEY: why; what to do"; "" when every one can."""
    if not isinstance(evaluations, list):
        return ""
    for index, entry in enumerate(evaluations):
        info = entry.get("info") if isinstance(entry, dict) else None
        if not isinstance(info, dict):
            continue
        where = f"evaluations[{entry.get('name', index)}].info"
        given = [key for key in ("max", "min") if info.get(key) is not None]
        if given and index == 0:
            return (f"{where}.{given[0]}: the first evaluation is the objective, which is optimised, not bounded; "
                    "put the bound on an evaluation after it")
        if len(given) > 1:
            return f"{where}: both max and min are given; give one bound per evaluation"
        for key in given:
            value = info[key]
            if not is_number(value) or not _finite(value):
                quotes = ", without quotes" if isinstance(value, str) else ""
                return f"{where}.{key}: {_text(value)} is not a finite number; write the bound as a number{quotes}"
    return ""


def fault(config: Any) -> str:
    """The first parameter of a loaded configuration that the tuner cannot search, or guardrail it
    cannot keep, as "object[NAME].info.KEY: why; what to do"; "" when there is none."""
    refused = _bound_fault(config.get("evaluations")) if isinstance(config, dict) else ""
    if refused:
        return refused
    objects = config.get("object") if isinstance(config, dict) else None
    if not isinstance(objects, list):
        return ""
    seen: set[str] = set()
    for index, obj in enumerate(objects):
        if not isinstance(obj, dict):
            continue
        name = obj.get("name")
        if isinstance(name, str) and not name.strip():
            return f"object[{index}].name: the name is empty; give every parameter a name"
        if isinstance(name, str) and name in seen:
            return f"object[{name}].name: two parameters are named {name}; give each its own name"
        seen.add(str(name))
        info = obj.get("info")
        key, why = _fault(info, str(name)) if isinstance(info, dict) else ("", "")
        if why:
            return f"object[{name}].info.{key}: {why}"
    return ""


def not_finite(value: Any, path: str = "") -> str:
    """Where in `value` a NaN or an infinity lies (JSON has neither); "" when nowhere."""
    if isinstance(value, float) and not math.isfinite(value):
        return path or "the settings"
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, item in items:
        found = not_finite(item, f"{path}[{key}]" if isinstance(key, int) else f"{path}.{key}".lstrip("."))
        if found:
            return found
    return ""


@cache
def _schema() -> dict[str, Any]:
    with open(Path(__file__).parent.parent / "schema" / "tuning-config.schema.json", encoding="utf-8") as stream:
        schema: dict[str, Any] = json.load(stream)
    return schema


def _unknown(mapping: Any, known: dict[str, Any], path: str) -> list[str]:
    """A warning for each key of `mapping` not among `known`, naming the nearest known one."""
    if not isinstance(mapping, dict):
        return []
    lines = []
    for key in mapping:
        if key in known:
            continue
        near = difflib.get_close_matches(str(key), list(known), n=1)
        lines.append(f"{path}{key}: not a known key" + (f"; did you mean {near[0]}?" if near else ""))
    return lines


def unknown_keys(config: Any) -> list[str]:
    """Keys the tuner never reads (a misspelt optional key is otherwise silently ignored)."""
    schema = _schema()
    lines = _unknown(config, schema["properties"], "")
    if not isinstance(config, dict):
        return lines
    for list_key, kind in (("evaluations", "evaluation"), ("object", "parameter")):
        entries = config.get(list_key)
        known = schema["definitions"][kind]["properties"]
        for index, entry in enumerate(entries if isinstance(entries, list) else []):
            if not isinstance(entry, dict):
                continue
            name = entry.get("name")
            label = f"{list_key}[{name if isinstance(name, str) and name.strip() else index}]"
            lines += _unknown(entry, known, f"{label}.")
            lines += _unknown(entry.get("info"), known["info"]["properties"], f"{label}.info.")
    return lines

"""Numeric ranges fitted to this machine: they hold the value in effect, memory-sized ones follow
the memory the server may use, and a discrete range keeps its values on its step grid.

The tuner's grid of a discrete range starts at the low bound and goes up by the step, so a
range holds a value only when the value lies on that grid. Bounds are computed as fractions:
0.1 steps stay exact.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

# cgroup v2: the memory limit of the group this process runs in, as a container sees it.
CGROUP_MEMORY_MAX = "/sys/fs/cgroup/memory.max"

Number = int | float


@dataclass(frozen=True)
class Fitted:
    scope: list[Number]
    note: str | None = None  # what was changed and why
    refusal: str | None = None  # why the range was left as it is although it misses the value
    step: Number | None = None  # the step of a range put on a grid of its own


def _as(value: Fraction, dtype: str | None) -> Number:
    return int(value) if dtype == "int" else float(value)


def _n(value: Number) -> str:
    return str(value) if isinstance(value, int) else format(value, ".12g")


def _shown(scope: list[Number]) -> str:
    return f"[{_n(scope[0])}, {_n(scope[1])}]"


def on_blocks(scope: list[Number], step: Number | None, discrete: bool, block: int, whose: str) -> Fitted | None:
    """An int range on the grid of multiples of `block`, which the server keeps the value in (any
    other value is rounded, and a trial's read-back would fail); None when it is on it already."""
    grid = math.lcm(int(step), block) if discrete and step and float(step).is_integer() and step > 0 else block
    if discrete and step == grid:
        return None
    low, high = -(-int(scope[0]) // grid) * grid, int(scope[1]) // grid * grid
    if high <= low:
        return Fitted(scope, refusal=f"its range {_shown(scope)} holds no two multiples of {grid}, which {whose} "
                      "keeps it in")
    return Fitted([low, high], note=f"range {_shown(scope)} -> {_shown([low, high])} step {grid}: {whose} keeps it "
                  f"in multiples of {block}", step=grid)


def read_limits(entry: dict[str, Any]) -> tuple[Number, Number] | None:
    """The entry's `limits: [min, max]`: the values the parameter itself takes."""
    limits = entry.get("limits")
    if (isinstance(limits, list) and len(limits) == 2
            and all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in limits)):
        return limits[0], limits[1]
    return None


def hold(scope: list[Number], value: Number, *, dtype: str | None, discrete: bool, step: Number | None,
         limits: tuple[Number, Number] | None = None) -> Fitted:
    """`scope` widened just enough to hold `value`, on the step grid of a discrete range."""
    if limits is not None and not limits[0] <= value <= limits[1]:
        return Fitted(scope, refusal=f"the value in effect, {_n(value)}, lies outside the limits "
                      f"{_shown(list(limits))}: range left as it is")
    low, high, v = Fraction(str(scope[0])), Fraction(str(scope[1])), Fraction(str(value))
    grid = Fraction(str(step)) if discrete and step and step > 0 else None
    on_grid = grid is None or (v - low) % grid == 0
    if low <= v <= high and on_grid:
        return Fitted(scope)
    new_low, new_high = min(low, v), max(high, v)
    why = f"holds the value in effect, {_n(value)}"
    if grid is not None:
        assert step is not None
        # Up from the low bound to the grid point of the value, the high bound down to the grid.
        new_low += (v - new_low) % grid
        new_high = new_low + math.floor((new_high - new_low) / grid) * grid
        if new_high <= new_low:  # one value left on the grid: one step more on a side that allows it
            if limits is None or new_low + grid <= limits[1]:
                new_high = new_low + grid
            elif new_low - grid >= limits[0]:
                new_low -= grid
            else:
                return Fitted(scope, refusal=f"no range of step {_n(step)} within the limits holds the value "
                              f"in effect, {_n(value)}: range left as it is")
        if not on_grid or new_low != min(low, v):
            why += f" on the grid of step {_n(step)}"
    fitted = [_as(new_low, dtype), _as(new_high, dtype)]
    return Fitted(fitted, note=f"range {_shown(scope)} -> {_shown(fitted)}: {why}")


def memory_available() -> tuple[int, str]:
    """The memory a server on this machine may use, in bytes, and where that figure comes from:
    the machine's total, or the cgroup limit when it is lower."""
    import psutil  # type: ignore[import-untyped]  # slow to import: only memory-sized entries need it

    total = int(psutil.virtual_memory().total)
    try:
        with open(CGROUP_MEMORY_MAX, encoding="ascii") as stream:
            limit_text = stream.read().strip()
    except (OSError, UnicodeDecodeError):
        limit_text = ""
    if limit_text.isdigit() and 0 < int(limit_text) < total:
        return int(limit_text), "the cgroup memory limit"
    return total, "the memory total"


def _percent(share: float) -> str:
    """0.7 as 70%, 0.0005 as 0.05%: as many digits as the share has."""
    return f"{share * 100:.6g}%"


def memory_scope(shares: object, memory: int, source: str, *, dtype: str | None,
                 limits: tuple[Number, Number] | None, grid: Number | None = None) -> Fitted | None:
    """The range from the low to the high share of `memory`, within the limits, its bounds on
    multiples of `grid` when given (a server that rounds the value to a unit reads back only
    multiples of it); None when the entry's `memory` is not [low_share, high_share] with
    0 < low < high."""
    if not (isinstance(shares, list) and len(shares) == 2
            and all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in shares)
            and 0 < shares[0] < shares[1]):
        return None
    low, high = Fraction(memory * shares[0]), Fraction(memory * shares[1])
    if limits is not None:
        low, high = max(low, Fraction(str(limits[0]))), min(high, Fraction(str(limits[1])))
    if grid is not None and grid > 0:
        unit = Fraction(str(grid))
        low, high = math.ceil(low / unit) * unit, math.floor(high / unit) * unit
    scope = [_as(low, dtype), _as(high, dtype)]
    if scope[0] >= scope[1]:
        return Fitted(scope, refusal=f"{_percent(shares[0])} to {_percent(shares[1])} of {source}, {memory} bytes, "
                      "leaves no range within the limits")
    return Fitted(scope, note=f"range {_shown(scope)}: {_percent(shares[0])} to {_percent(shares[1])} of {source}, "
                  f"{memory} bytes")


def within(scope: list[Number], limits: tuple[Number, Number], whose: str, *, dtype: str | None, discrete: bool,
           step: Number | None) -> Fitted:
    """`scope` cut to the values `whose` takes, `limits`, its low bound kept on its grid; a
    refusal when nothing of it is left."""
    low, high = Fraction(str(scope[0])), Fraction(str(scope[1]))
    lowest, highest = Fraction(str(limits[0])), Fraction(str(limits[1]))
    if lowest <= low and high <= highest:
        return Fitted(scope)
    new_low, new_high = max(low, lowest), min(high, highest)
    if discrete and step and step > 0:
        grid = Fraction(str(step))
        new_low = low + math.ceil((new_low - low) / grid) * grid
        new_high = new_low + math.floor((new_high - new_low) / grid) * grid
    if new_low >= new_high:
        return Fitted(scope, refusal=f"its range {_shown(scope)} lies outside the values {whose} takes, "
                      f"{_shown(list(limits))}")
    fitted = [_as(new_low, dtype), _as(new_high, dtype)]
    return Fitted(fitted, note=f"range {_shown(scope)} -> {_shown(fitted)}: {whose} takes {_shown(list(limits))}")


def narrower(first: tuple[Number, Number] | None, second: tuple[Number, Number] | None,
             ) -> tuple[Number, Number] | None:
    """The values both limits allow (the first alone when they share none)."""
    if first is None or second is None:
        return first or second
    both = (max(first[0], second[0]), min(first[1], second[1]))
    return both if both[0] <= both[1] else first

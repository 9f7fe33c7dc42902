"""The trials of a run and how it ended: what the report and the summary are made of."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class Row:
    number: int
    state: str  # COMPLETE, FAIL or RUNNING (a trial cut short)
    value: float | None
    params: dict[str, Any]
    note: str = ""
    in_effect: dict[str, str] = field(default_factory=dict)  # values read back that differ from params


@dataclass
class Ending:
    """What was left applied at the end, as read back."""

    wanted: str  # "the best values" or "the backed-up values"
    values: dict[str, Any] = field(default_factory=dict)
    problems: list[str] = field(default_factory=list)
    done: bool = False  # the values were applied and read back as asked

    def describe(self) -> str:
        return self.wanted if self.done else f"NOT {self.wanted}: " + "; ".join(self.problems)


@dataclass
class Result:
    metric: str
    direction: str
    baseline: float
    rows: list[Row] = field(default_factory=list)
    stop_reason: str = ""
    failed: bool = False  # the run stopped because of failures, or none of its trials completed
    ending: Ending | None = None

    def completed(self) -> list[Row]:
        return [row for row in self.rows if row.state == "COMPLETE" and row.value is not None]

    def best(self) -> Row | None:
        done = self.completed()
        if not done:
            return None
        pick = max if self.direction == "maximize" else min
        return pick(done, key=lambda row: row.value)

    def improvement(self, value: float) -> float | None:
        """Percent better than the baseline (positive is better), or None for a zero baseline."""
        if self.baseline == 0:
            return None
        gain = value - self.baseline if self.direction == "maximize" else self.baseline - value
        return gain / abs(self.baseline) * 100

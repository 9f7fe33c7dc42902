"""Running the benchmark and reading the metric, their output kept in the run's log."""

from __future__ import annotations

import math
import os
import subprocess
import time
from dataclasses import dataclass, field
from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.params import processes
from knobsmith.tuner.failures import TrialFailed
from knobsmith.tuner.plan import TuningPlan


@dataclass
class Measurer:
    """Runs the plan's benchmark (a process group of its own, ended with everything it started when
    the run is interrupted or a limit is reached) and then every evaluation's command.

    The benchmark stops at its own limit and at the end of the run's time budget: at `deadline`
    while the loop runs, else after `time_budget` seconds (the baseline, the confirmation)."""

    plan: TuningPlan
    log: Any  # a text stream opened for appending to a file
    benchmark_timeout: float | None = None  # seconds; None: no limit of its own
    metric_timeout: float | None = None
    time_budget: float | None = None  # the run's, in seconds
    deadline: float | None = None  # time.monotonic() when the run's time budget is spent
    # The evaluations after the objective, as the last benchmark run measured them.
    others: dict[str, float] = field(default_factory=dict)
    runs: int = 0  # benchmark runs started, so that a stage of the run can say what it spent

    def _note(self, command: str) -> int:
        self.log.write(f"$ {command}\n")
        self.log.flush()
        offset: int = self.log.tell()
        return offset

    def _benchmark_limit(self) -> tuple[float | None, str]:
        """The benchmark's time limit, and what to say when it is reached."""
        budget = self.time_budget if self.deadline is None else self.deadline - time.monotonic()
        if budget is None or (self.benchmark_timeout is not None and self.benchmark_timeout <= budget):
            return self.benchmark_timeout, _timed_out("the benchmark", self.benchmark_timeout)
        if budget <= 0:
            raise TrialFailed(f"the run's time budget ({self.time_budget:g} s) ran out before the benchmark started")
        return budget, (f"the benchmark timed out after {budget:.3g} s, when the run's time budget "
                        f"({self.time_budget:g} s) ran out")

    def _run(self, command: str, timeout: float | None, timed_out: str, stdout: Any) -> tuple[int, str]:
        try:
            return processes.run(command, stdout=stdout, stderr=self.log, timeout=timeout)
        except subprocess.TimeoutExpired:
            self.log.write(f"knobsmith: {timed_out}; it was ended with everything it started\n")
            self.log.flush()
            raise TrialFailed(timed_out) from None

    def measure(self, label: str) -> tuple[float, float]:
        """(metric, benchmark seconds) of one benchmark run; the other evaluations in `others`."""
        self.others = {}
        self.runs += 1
        timer = Timer()
        limit, timed_out = self._benchmark_limit()
        offset = self._note(self.plan.benchmark)
        # The run's timings go to the shared Timer; the seconds returned are this call's own.
        timer.tick(f"{label} start")
        started = time.monotonic()
        status, _ = self._run(self.plan.benchmark, limit, timed_out, self.log)
        seconds = time.monotonic() - started
        timer.tick(f"{label} end")
        if status != 0:
            said = processes.tail(self.log.name, offset, lines=1)
            ended = f"the benchmark ended with {processes.describe_status(status)}"
            raise TrialFailed(ended + (f": {said}" if said else ""))
        value = self._read(self.plan.objective.command, "the metric")
        # Every run reads every evaluation, so that the guardrails are measured as the metric is.
        self.others = {other.name: self._read(other.command, f"the evaluation {other.name}")
                       for other in self.plan.others}
        return value, seconds

    def repeated(self, labels: list[str]) -> tuple[list[float], float, dict[str, list[float]]]:
        """A run per label: the metric of each, the last one's benchmark seconds, and each other
        evaluation's measurements."""
        values: list[float] = []
        others: dict[str, list[float]] = {other.name: [] for other in self.plan.others}
        seconds = 0.0
        for label in labels:
            value, seconds = self.measure(label)
            values.append(value)
            for name, other in self.others.items():
                others[name].append(other)
        return values, seconds, others

    def trial(self, number: int, repeats: int) -> tuple[list[float], dict[str, list[float]]]:
        """The metric of each of trial `number`'s runs (at least one), and each other evaluation's."""
        labels = ([f"trial {number}"] if repeats <= 1 else
                  [f"trial {number} run {index + 1}" for index in range(repeats)])
        measurements, _, others = self.repeated(labels)
        return measurements, others

    def _read(self, command: str, what: str) -> float:
        """The number `command` prints, `what` naming it when it fails."""
        self._note(command)
        status, out = self._run(command, self.metric_timeout, _timed_out(f"{what}'s command", self.metric_timeout),
                                subprocess.PIPE)
        self.log.write(out)
        self.log.flush()
        text = out.strip()
        if status != 0:
            raise TrialFailed(f"{what}'s command ended with {processes.describe_status(status)}")
        try:
            value = float(text)
        except ValueError:
            raise TrialFailed(f"{what} is not a number: {text[:60]!r}") from None
        if not math.isfinite(value):
            raise TrialFailed(f"{what} is not a finite number: {text[:60]!r}")
        return value


def _timed_out(what: str, limit: float | None) -> str:
    return "" if limit is None else f"{what} timed out after {limit:g} s"


def open_log(folder: str, name: str) -> Any:
    """A log file of the run, appended to."""
    return open(os.path.join(folder, name), "a", encoding="utf-8", errors="replace")

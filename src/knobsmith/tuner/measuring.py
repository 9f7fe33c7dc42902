"""Running the benchmark and reading the metric, their output kept in the run's log."""

from __future__ import annotations

import math
import os
import subprocess
from dataclasses import dataclass
from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.tuner import processes
from knobsmith.tuner.failures import TrialFailed


@dataclass
class Measurer:
    """Runs the benchmark (a process group of its own, ended with everything it started when the
    run is interrupted) and then the metric's command."""

    benchmark: str
    metric_command: str
    log: Any  # a text stream opened for appending to a file

    def _note(self, command: str) -> int:
        self.log.write(f"$ {command}\n")
        self.log.flush()
        return self.log.tell()

    def measure(self, label: str) -> tuple[float, float]:
        """(metric, benchmark seconds) of one benchmark run."""
        timer = Timer()
        offset = self._note(self.benchmark)
        timer.tick(f"{label} start")
        status, _ = processes.run(self.benchmark, stdout=self.log, stderr=self.log)
        timer.tick(f"{label} end")
        seconds = timer.p_time[-1][1] - timer.p_time[-2][1]
        if status != 0:
            said = processes.tail(self.log.name, offset, lines=1)
            raise TrialFailed(f"the benchmark ended with {processes.describe_status(status)}" + (f": {said}" if said else ""))
        self._note(self.metric_command)
        status, out = processes.run(self.metric_command, stdout=subprocess.PIPE, stderr=self.log)
        self.log.write(out)
        self.log.flush()
        text = out.strip()
        if status != 0:
            raise TrialFailed(f"the metric's command ended with {processes.describe_status(status)}")
        try:
            value = float(text)
        except ValueError:
            raise TrialFailed(f"the metric is not a number: {text[:60]!r}") from None
        if not math.isfinite(value):
            raise TrialFailed(f"the metric is not a finite number: {text[:60]!r}")
        return value, seconds


def open_log(folder: str, name: str) -> Any:
    """A log file of the run, appended to."""
    return open(os.path.join(folder, name), "a", encoding="utf-8", errors="replace")

"""A tuning run as the command line runs it: SIGTERM and SIGHUP end it like Ctrl-C, the
benchmark's output goes to the report folder's log, and a run ended early puts its values back."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from knobsmith.params import signals
from knobsmith.tuner import report
from knobsmith.tuner.measuring import Measurer, open_log
from knobsmith.tuner.results import Result


def measure(run: Any, *, benchmark_timeout: float | None, metric_timeout: float | None) -> Result:
    """Runs `run` (a TuningRun) to its end."""
    with signals.as_interrupts():
        os.makedirs(run.folder, exist_ok=True)
        with open_log(run.folder, "benchmark.log") as log:
            result: Result = run.run(Measurer(run.plan, log, benchmark_timeout=benchmark_timeout,
                                              metric_timeout=metric_timeout))
    return result


def end_early(run: Any, error: BaseException, say: Callable[[str], None],
              show: Callable[[str], None] = lambda table: None) -> None:
    """After Ctrl-C, SIGTERM, SIGHUP or an error mid-run: the backed-up values are put back (no
    signal cuts that short) and the report of the trials so far is written; `say` tells it, and
    `show` gets the table of those trials."""
    with signals.deferred():
        say(run.abort(error))
        if run.result is not None:
            if run.result.rows:
                show(report.table(run.result))
            try:
                report.write(run.folder, run.result)
                say(f"the report of the trials so far: {run.folder}")
            except Exception as failure:
                say(f"the report could not be written: {failure}")

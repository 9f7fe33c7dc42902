"""The tuning loop: back up, measure a baseline, try values chosen by Optuna, keep the best.

A driver in Python over the modules: Cfg reads the configuration, StageKit reads, backs up and
applies values, Timer keeps the benchmark's duration; Optuna's TPE sampler proposes the values.
"""

from __future__ import annotations

import math
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit

SHELL = "/bin/sh"
FAILURES_IN_A_ROW = 3


class TuneError(Exception):
    """A failure that ends the run; the caller restores the backed-up values."""


class TrialFailed(Exception):
    """A benchmark or metric that could not be measured; the trial is recorded as failed."""


def _optuna() -> Any:
    try:
        import optuna
    except ImportError:
        raise TuneError("knobsmith tune needs Optuna: pip install 'knobsmith[tune]'") from None
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    return optuna


# --- the search space ---------------------------------------------------------------------------

Suggest = Callable[[Any], Any]


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
        return lambda trial: trial.suggest_float(name, float(low), float(top), step=step)
    if dtype == "int":
        return lambda trial: trial.suggest_int(name, int(low), int(high))
    return lambda trial: trial.suggest_float(name, float(low), float(high))


# --- running the benchmark and reading the metric ------------------------------------------------


@dataclass
class Measurer:
    """Runs the benchmark and reads the metric; their output is kept in a log file."""

    benchmark: str
    metric_command: str
    log: Any  # a text stream

    def _run(self, command: str) -> subprocess.CompletedProcess[str]:
        self.log.write(f"$ {command}\n")
        self.log.flush()
        result = subprocess.run([SHELL, "-c", command], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                errors="replace")
        self.log.write(result.stdout + result.stderr)
        self.log.flush()
        return result

    def measure(self, label: str) -> tuple[float, float]:
        """(metric, benchmark seconds) of one benchmark run."""
        timer = Timer()
        timer.tick(f"{label} start")
        result = self._run(self.benchmark)
        timer.tick(f"{label} end")
        seconds = timer.p_time[-1][1] - timer.p_time[-2][1]
        if result.returncode != 0:
            raise TrialFailed(f"the benchmark exited with status {result.returncode}")
        reading = self._run(self.metric_command)
        text = reading.stdout.strip()
        try:
            value = float(text)
        except ValueError:
            raise TrialFailed(f"the metric is not a number: {text[:60]!r}") from None
        if not math.isfinite(value):
            raise TrialFailed(f"the metric is not a finite number: {text[:60]!r}")
        return value, seconds


# --- the run ------------------------------------------------------------------------------------


@dataclass
class Options:
    config: str
    seed: int = 1
    restore: bool = False
    storage: str | None = None
    progress: bool | None = None  # None: only on a terminal


@dataclass
class Row:
    number: int
    state: str
    value: float | None
    params: dict[str, Any]
    note: str = ""


@dataclass
class Result:
    metric: str
    direction: str
    baseline: float
    rows: list[Row] = field(default_factory=list)
    stop_reason: str = ""
    applied: dict[str, Any] = field(default_factory=dict)
    restored: bool = False

    def best(self) -> Row | None:
        done = [row for row in self.rows if row.state == "COMPLETE" and row.value is not None]
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


class TuningRun:
    def __init__(self, options: Options, say: Callable[[str], None]) -> None:
        self.options = options
        self.say = say
        self.cfg = Cfg()
        if not self.cfg.init(options.config):
            raise TuneError(f"{options.config} cannot be used (see the lines above)")
        self.settings = self.cfg.get_optimizer_info()
        self.metric_name, self.metric_command = next(iter(self.cfg.get_performance_get_script().items()))
        self.direction = "maximize" if self.settings["eval_type"] == "positive" else "minimize"
        self.space = {knob["name"]: suggestion(knob) for knob in self.settings["knobs"]}
        self.backup: dict[str, str] = {}

    # -- the study

    def _study(self, optuna: Any, storage: str | None) -> Any:
        """The study: kept in `storage` (and resumed from it) when given, else in memory."""
        sampler = optuna.samplers.TPESampler(n_startup_trials=self.settings["random_starts"], seed=self.options.seed)
        return optuna.create_study(
            storage=storage, sampler=sampler, study_name=f"knobsmith-{self.cfg.get_project()}",
            direction=self.direction, load_if_exists=storage is not None,
        )

    def _ask(self, study: Any) -> tuple[Any, dict[str, Any]]:
        trial = study.ask()
        return trial, {name: suggest(trial) for name, suggest in self.space.items()}

    # -- dry run

    def dry_run(self) -> list[str]:
        """The commands a first trial would run, nothing run or written."""
        optuna = _optuna()
        _, values = self._ask(self._study(optuna, storage=None))
        lines = ["# read and back up the current values"]
        lines += [entry["get"] for entry in self.cfg.get_params_get_script().values()]
        lines += ["# measure the baseline", self.cfg.get_benchmark_script(), self.metric_command, "# trial 0"]
        commands = self.cfg.get_params_set_script()
        lines += [commands[name]["set"].replace("$value", str(value)) for name, value in values.items()]
        if any(commands[name]["needrestart"] == "true" for name in values):
            workload = self.cfg.get_workload_options()
            lines += [workload["stop"], workload["start"] + " >/dev/null 2>&1 &"]
        lines += [self.cfg.get_benchmark_script(), self.metric_command]
        return lines

    # -- the loop

    def run(self, measurer: Measurer) -> Result:
        optuna = _optuna()
        study = self._study(optuna, self.options.storage)
        kit = StageKit()
        stored = study.user_attrs
        if "backup" in stored:
            # A resumed study: the state before its first trial is the one to come back to.
            self.backup = dict(stored["backup"])
            baseline = float(stored["baseline"])
            self.say(f"resuming {len(study.trials)} earlier trials; baseline {self.metric_name} = {baseline:g}")
        else:
            self.backup = kit.backup_params()
            if not self.backup:
                raise TuneError("no parameter value could be read, so nothing was backed up; not tuning")
            baseline, seconds = self._baseline(measurer)
            Timer().set_benchmark_time(seconds)
            study.set_user_attr("backup", self.backup)
            study.set_user_attr("baseline", baseline)
            self.say(f"baseline {self.metric_name} = {baseline:g} (benchmark {seconds:.1f} s)")
        for stale in study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.RUNNING,)):
            study.tell(stale.number, state=optuna.trial.TrialState.FAIL, skip_if_finished=True)

        result = Result(self.metric_name, self.direction, baseline)
        result.rows = [self._row(trial) for trial in study.trials]
        self._loop(study, optuna, kit, measurer, result)

        best = result.best()
        if self.options.restore or best is None:
            kit.set_params(self.backup)
            result.restored = True
        else:
            kit.set_params(best.params)
            result.applied = dict(best.params)
        return result

    def _baseline(self, measurer: Measurer) -> tuple[float, float]:
        try:
            return measurer.measure("baseline")
        except TrialFailed as failure:
            raise TuneError(f"the baseline could not be measured: {failure}") from None

    @staticmethod
    def _row(trial: Any) -> Row:
        value = trial.value if trial.state.name == "COMPLETE" else None
        return Row(trial.number, trial.state.name, value, dict(trial.params), trial.user_attrs.get("failure", ""))

    def _loop(self, study: Any, optuna: Any, kit: StageKit, measurer: Measurer, result: Result) -> None:
        budget = int(self.settings["max_eval"])
        max_time = self.settings.get("max_time") or 0
        target = float(self.settings["target"] or 0)
        finished = sum(row.state in ("COMPLETE", "FAIL") for row in result.rows)
        started = time.monotonic()
        failures = 0
        progress = _progress(budget, finished, self.options.progress)
        try:
            while True:
                if finished >= budget:
                    result.stop_reason = f"the budget of {budget} trials is spent"
                    return
                if max_time and time.monotonic() - started >= max_time:
                    result.stop_reason = f"the time budget of {max_time} s is spent"
                    return
                trial, values = self._ask(study)
                kit.set_params(values)
                try:
                    value, _ = measurer.measure(f"trial {trial.number}")
                except TrialFailed as failure:
                    trial.set_user_attr("failure", str(failure))
                    study.tell(trial, state=optuna.trial.TrialState.FAIL)
                    result.rows.append(Row(trial.number, "FAIL", None, values, str(failure)))
                    failures += 1
                    finished += 1
                    progress.update(str(failure))
                    if failures >= FAILURES_IN_A_ROW:
                        result.stop_reason = f"{FAILURES_IN_A_ROW} trials failed in a row"
                        return
                    continue
                failures = 0
                finished += 1
                study.tell(trial, value)
                result.rows.append(Row(trial.number, "COMPLETE", value, values))
                best = result.best()
                progress.update(f"last={value:g} best={best.value:g}" if best else "")
                gain = result.improvement(best.value) if best else None
                if target > 0 and gain is not None and gain >= target:
                    result.stop_reason = f"the target of {target:g}% is reached ({gain:.1f}% better)"
                    return
        finally:
            progress.close()


class _progress:
    """A progress bar on standard error (tqdm when it is there and standard error is a terminal)."""

    def __init__(self, total: int, initial: int, wanted: bool | None) -> None:
        self.bar = None
        show = sys.stderr.isatty() if wanted is None else wanted
        if show:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, initial=initial, desc="tuning", unit="trial", file=sys.stderr)

    def update(self, text: str) -> None:
        if self.bar is not None:
            self.bar.set_postfix_str(text, refresh=False)
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()

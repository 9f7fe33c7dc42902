"""The tuning loop: back up, measure a baseline, try values chosen by Optuna, keep the best.

Every trial's values are applied in the order the workload needs (see `applying`) and read back
before its benchmark runs: a trial whose values did not take fails and is never the best. At the
end, the best values (or the backed-up ones) are applied and read back, and the run says what is
in effect only once the read-back confirmed it.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit
from knobsmith.tuner import state
from knobsmith.tuner.applying import Applier, planned_commands, same_value
from knobsmith.tuner.failures import TrialFailed, TuneError
from knobsmith.tuner.measuring import Measurer
from knobsmith.tuner.progress import Progress
from knobsmith.tuner.results import Ending, Result, Row
from knobsmith.tuner.signals import Interrupted
from knobsmith.tuner.space import suggestion
from knobsmith.tuner.workload import Workload

FAILURES_IN_A_ROW = 3
BACKED_UP = "the backed-up values"
BEST = "the best values"


def _optuna() -> Any:
    try:
        import optuna
    except ImportError:
        raise TuneError("knobsmith tune needs Optuna: pip install 'knobsmith[tune]'") from None
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    return optuna


@dataclass
class Options:
    config: str
    seed: int = 1
    restore: bool = False
    storage: str | None = None
    progress: bool | None = None  # None: only on a terminal
    report: str | None = None  # the report folder; default knobsmith-report-<project>


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
        self.folder = os.path.abspath(options.report or f"knobsmith-report-{self.cfg.get_project()}")
        self.workload = Workload.from_config(self.cfg, os.path.join(self.folder, "workload.log"))
        self.backup: dict[str, str] = {}
        self.applier: Applier | None = None
        self.result: Result | None = None
        self._study_handle: Any = None
        self._running: tuple[Any, dict[str, Any]] | None = None  # the trial whose values are applied
        # Called with the result after every trial, so that a killed run leaves what it measured.
        self.after_trial: Callable[[Result], None] = lambda result: None

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
        gets = self.cfg.get_params_get_script()
        lines = ["# read and back up the current values", *(entry["get"] for entry in gets.values())]
        lines += ["# measure the baseline", self.cfg.get_benchmark_script(), self.metric_command, "# trial 0"]
        lines += planned_commands(self.cfg, self.workload, values)
        lines += ["# read the values back", *(gets[name]["get"] for name in values)]
        lines += [self.cfg.get_benchmark_script(), self.metric_command]
        return lines

    # -- the loop

    def run(self, measurer: Measurer) -> Result:
        optuna = _optuna()
        os.makedirs(self.folder, exist_ok=True)
        study = self._study_handle = self._study(optuna, self.options.storage)
        kit = StageKit()
        stored = study.user_attrs
        if "backup" in stored:
            # A resumed study: the state before its first trial is the one to come back to.
            self.backup = dict(stored["backup"])
            baseline = float(stored["baseline"])
            self.applier = Applier(kit, self.cfg, self.workload, known=self.backup)
            self.say(f"resuming {len(study.trials)} earlier trials; baseline {self.metric_name} = {baseline:g}")
        else:
            self.backup = kit.backup_params()
            if not self.backup:
                raise TuneError("no parameter value could be read, so nothing was backed up; not tuning")
            self._keep_originals()
            self.applier = Applier(kit, self.cfg, self.workload, known=self.backup)
            baseline, seconds = self._baseline(measurer)
            Timer().set_benchmark_time(seconds)
            study.set_user_attr("backup", self.backup)
            study.set_user_attr("baseline", baseline)
            self.say(f"baseline {self.metric_name} = {baseline:g} (benchmark {seconds:.1f} s)")
        for stale in study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.RUNNING,)):
            study.tell(stale.number, state=optuna.trial.TrialState.FAIL, skip_if_finished=True)

        result = self.result = Result(self.metric_name, self.direction, baseline)
        result.rows = [self._row(trial) for trial in study.trials]
        self._loop(study, optuna, measurer, result)
        if not result.completed():
            result.failed = True
            result.stop_reason += "; no trial completed"

        best = result.best()
        if self.options.restore or best is None:
            self._leave(BACKED_UP, self.backup)
        else:
            self._leave(BEST, best.params)
        return result

    def _keep_originals(self) -> None:
        """The first values read of a project are kept for good; later runs say when what they
        find differs from them."""
        project = self.cfg.get_project()
        if state.keep_originals(project, self.backup, self.options.config):
            self.say(f"the original values are kept in {state.folder(project)}")
            return
        kept = state.originals(project) or {}
        differing = [f"{name}={value} (originally {kept[name]})" for name, value in self.backup.items()
                     if name in kept and not same_value(kept[name], value)]
        if differing:
            self.say("the current values differ from the originals (a previous run left values applied): "
                     + ", ".join(differing) + "; the baseline is measured on what is applied now; "
                     "knobsmith restore " + self.options.config + " puts the originals back")

    def _baseline(self, measurer: Measurer) -> tuple[float, float]:
        try:
            return measurer.measure("baseline")
        except TrialFailed as failure:
            raise TuneError(f"the baseline could not be measured: {failure}") from None

    def _leave(self, wanted: str, values: dict[str, Any]) -> Ending:
        """Applies `values` and reads them back: what is left applied at the end."""
        assert self.applier is not None
        outcome = self.applier.apply(values)
        ending = Ending(wanted, dict(values), outcome.problems, outcome.ok)
        if ending.done:
            state.record_applied(self.cfg.get_project(), values, "tune")
        if self.result is not None:
            self.result.ending = ending
        return ending

    @staticmethod
    def _row(trial: Any) -> Row:
        value = trial.value if trial.state.name == "COMPLETE" else None
        return Row(trial.number, trial.state.name, value, dict(trial.params), trial.user_attrs.get("failure", ""),
                   dict(trial.user_attrs.get("in_effect", {})))

    def _fail(self, study: Any, optuna: Any, trial: Any, values: dict[str, Any], note: str,
              in_effect: dict[str, str]) -> None:
        trial.set_user_attr("failure", note)
        study.tell(trial, state=optuna.trial.TrialState.FAIL)
        assert self.result is not None
        self.result.rows.append(Row(trial.number, "FAIL", None, values, note, in_effect))

    def _loop(self, study: Any, optuna: Any, measurer: Measurer, result: Result) -> None:
        assert self.applier is not None
        budget = int(self.settings["max_eval"])
        max_time = self.settings.get("max_time") or 0
        target = float(self.settings["target"] or 0)
        finished = sum(row.state in ("COMPLETE", "FAIL") for row in result.rows)
        started = time.monotonic()
        failures = 0
        progress = Progress(budget, finished, self.options.progress)
        try:
            while True:
                if finished >= budget:
                    result.stop_reason = f"the budget of {budget} trials is spent"
                    return
                if max_time and time.monotonic() - started >= max_time:
                    result.stop_reason = f"the time budget of {max_time} s is spent"
                    return
                trial, values = self._ask(study)
                self._running = (trial, values)
                outcome = self.applier.apply(values)
                in_effect = outcome.in_effect()
                if in_effect:
                    trial.set_user_attr("in_effect", in_effect)
                try:
                    if not outcome.ok:
                        raise TrialFailed("; ".join(outcome.problems))
                    value, _ = measurer.measure(f"trial {trial.number}")
                except TrialFailed as failure:
                    self._running = None
                    self._fail(study, optuna, trial, values, str(failure), in_effect)
                    self.after_trial(result)
                    failures += 1
                    finished += 1
                    progress.update(str(failure))
                    if failures >= FAILURES_IN_A_ROW:
                        result.stop_reason = f"{FAILURES_IN_A_ROW} trials failed in a row"
                        result.failed = True
                        return
                    continue
                self._running = None
                failures = 0
                finished += 1
                study.tell(trial, value)
                result.rows.append(Row(trial.number, "COMPLETE", value, values))
                self.after_trial(result)
                best = result.best()
                progress.update(f"last={value:g} best={best.value:g}" if best else "")
                gain = result.improvement(best.value) if best else None
                if target > 0 and gain is not None and gain >= target:
                    result.stop_reason = f"the target of {target:g}% is reached ({gain:.1f}% better)"
                    return
        finally:
            progress.close()

    # -- an end before the end

    def abort(self, error: BaseException) -> str:
        """After an interruption or an error: the trial cut short is recorded as failed, the
        backed-up values are put back and read back. Returns what to tell the user."""
        what = (f"interrupted by {error}" if isinstance(error, Interrupted)
                else "interrupted" if isinstance(error, KeyboardInterrupt) else "stopped by an error")
        if self._running is not None and self.result is not None:
            trial, values = self._running
            self._running = None
            try:
                self._fail(self._study_handle, _optuna(), trial, values, what, {})
            except Exception:  # the study's storage may be what failed
                pass
            self.result.stop_reason = what
        elif self.result is not None and not self.result.stop_reason:
            self.result.stop_reason = what
        if not self.backup or self.applier is None:
            return what
        try:
            ending = self._leave(BACKED_UP, self.backup)
        except Exception as failure:
            return f"{what}; restoring the backed-up values failed too: {failure}"
        if ending.done:
            return f"{what}; the backed-up values are restored (read back)"
        return f"{what}; restoring the backed-up values failed: " + "; ".join(ending.problems)


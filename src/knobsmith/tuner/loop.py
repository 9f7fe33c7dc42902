"""The tuning loop: back up, measure a baseline, try values chosen by Optuna, keep the best.

Every trial's values are applied in the order the workload needs (see `applying`) and read back
before its benchmark runs: a trial whose values did not take fails and is never the best. A trial
may be measured several times (its metric is the median). At the end, the best candidates are
measured again against the baseline (see `confirming`); the best values are left applied when
their gain stands out of the noise, the backed-up ones otherwise, and the run says what is in
effect only once a read-back confirmed it. The study is kept in the report folder, so a run cut
short can be resumed.
"""

from __future__ import annotations

import os
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit
from common.tool_cmd import plain_projectname
from knobsmith.tuner import importance, shellsafe, state
from knobsmith.tuner.applying import Applier, planned_commands, same_value
from knobsmith.tuner.confirming import confirm
from knobsmith.tuner.failures import TrialFailed, TuneError
from knobsmith.tuner.measuring import Measurer
from knobsmith.tuner.proposing import Proposer, optuna_module, sampler, storage_for, was_measured
from knobsmith.tuner.progress import Progress
from knobsmith.tuner.results import Ending, Result, Row
from knobsmith.tuner.signals import Interrupted
from knobsmith.tuner.space import suggestion
from knobsmith.tuner.workload import Workload

FAILURES_IN_A_ROW = 3
BACKED_UP = "the backed-up values"
BEST = "the best values"
NO_GAIN = "the backed-up values (no gain beyond the noise)"


@dataclass
class Options:
    config: str
    seed: int = 1
    restore: bool = False
    storage: str | None = None  # a study URL; default a journal file in the report folder
    resume: bool = False  # go on with the study kept in the report folder
    progress: bool | None = None  # None: only on a terminal
    report: str | None = None  # the report folder; default knobsmith-report-<project>
    warmup: int = 0  # benchmark runs before the baseline, not recorded
    repeats: int = 1  # benchmark runs per trial; the metric is their median
    confirm: int = 3  # candidates measured again at the end against the baseline; 0: none
    confirm_rounds: int = 3
    keep_within_noise: bool = False  # leave the best applied even when its gain is within the noise


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
        project = self.cfg.get_project()
        moved = state.adopt_earlier_folder(project, options.config)
        if moved is not None:
            say(f"the kept values of {options.config} moved from {moved} to {state.folder(project)}")
        self.folder = os.path.abspath(options.report or f"knobsmith-report-{project}")
        self.study_name = f"knobsmith-{project}"
        earlier = f"knobsmith-report-{plain_projectname(options.config)}"
        if options.report is None and not os.path.exists(self.folder) and os.path.isfile(
                os.path.join(earlier, "study.journal")):
            # Altered project names carry a hash now; the folder may also be that of the file
            # whose name is the plain one, so it is pointed at, not taken.
            say(f"an earlier run of {options.config} may be kept in {earlier}: "
                f"--report {earlier} --resume goes on with it")
        self.workload = Workload.from_config(self.cfg, os.path.join(self.folder, "workload.log"))
        self.backup: dict[str, str] = {}
        self.applier: Applier | None = None
        self.result: Result | None = None
        self._study_handle: Any = None
        self._running: tuple[Any, dict[str, Any]] | None = None  # the trial whose values are applied
        # Called with the result after every trial, so that a killed run leaves what it measured.
        self.after_trial: Callable[[Result], None] = lambda result: None

    # -- the study

    def _study(self, optuna: Any, storage: Any, seed: int) -> Any:
        return optuna.create_study(
            storage=storage, sampler=sampler(optuna, int(self.settings["max_eval"]), seed),
            study_name=self.study_name, direction=self.direction, load_if_exists=True,
        )

    def _own_study_name(self, optuna: Any, storage: Any) -> None:
        """The name of this configuration's study in the report folder's journal. A study kept
        there under another name would otherwise stay beside a new one whose report files
        replace its own; only the configuration's name before altered names carried a hash is
        taken as its own."""
        names = optuna.get_all_study_names(storage)
        if not names or self.study_name in names:
            return
        earlier = f"knobsmith-{plain_projectname(self.options.config)}"
        if names == [earlier]:
            self.study_name = earlier
            return
        raise TuneError(f"{self.folder} holds the study of another configuration ({', '.join(names)}): "
                        "--report DIR runs this one elsewhere")

    def _open_study(self, optuna: Any) -> Any:
        """The run's study: a new one, or the one kept by an earlier run when it is resumed (with
        --resume, or a storage named again). A resumed study gets a seed of its own, so that it does
        not replay the random proposals of the run before."""
        storage = storage_for(optuna, self.folder, self.options.storage)
        if self.options.storage is None:
            self._own_study_name(optuna, storage)
        study = self._study(optuna, storage, self.options.seed)
        if study.trials or "backup" in study.user_attrs:
            if not (self.options.resume or self.options.storage):
                raise TuneError(
                    f"{self.folder} holds the study of an earlier run ({len(study.trials)} trials): "
                    "--resume goes on with it, --report DIR starts a new run elsewhere")
            study.sampler = sampler(optuna, int(self.settings["max_eval"]),
                                    self.options.seed + 1009 * len(study.trials))
        return study

    # -- dry run

    def dry_run(self) -> list[str]:
        """The commands a first trial would run, nothing run or written."""
        optuna = optuna_module()
        trial = self._study(optuna, None, self.options.seed).ask()
        values = {name: suggest(trial) for name, suggest in self.space.items()}
        gets = self.cfg.get_params_get_script()
        lines = ["# read and back up the current values", *(entry["get"] for entry in gets.values())]
        lines += ["# measure the baseline", self.cfg.get_benchmark_script(), self.metric_command, "# trial 0"]
        lines += planned_commands(self.cfg, self.workload, values)
        lines += ["# read the values back", *(gets[name]["get"] for name in values)]
        lines += [self.cfg.get_benchmark_script(), self.metric_command]
        return lines

    # -- the loop

    def run(self, measurer: Measurer) -> Result:
        optuna = optuna_module()
        os.makedirs(self.folder, exist_ok=True)
        study = self._study_handle = self._open_study(optuna)
        kit = StageKit()
        stored = study.user_attrs
        for stale in study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.RUNNING,)):
            # A run killed mid-trial: that trial was cut short, not measured.
            study.tell(stale.number, state=optuna.trial.TrialState.FAIL, skip_if_finished=True)
        if "backup" in stored:
            # A resumed study: the state before its first trial is the one to come back to. What is
            # in effect now is unknown (a killed run leaves its last trial's values), so it is read.
            self.backup = self._safe_backup(dict(stored["backup"]),
                                            f"the backup stored with the study in {self.folder}")
            baseline = float(stored["baseline"])
            baseline_measurements = list(stored.get("baseline_measurements", [baseline]))
            self.applier = Applier(kit, self.cfg, self.workload)
            self.say(f"resuming {sum(map(was_measured, study.trials))} earlier trials; "
                     f"baseline {self.metric_name} = {baseline:g}")
        else:
            backup = kit.backup_params()
            if not backup:
                raise TuneError("no parameter value could be read, so nothing was backed up; not tuning")
            self._keep_originals(backup)
            self.backup = self._safe_backup(backup, "the backup of the current values")
            self.applier = Applier(kit, self.cfg, self.workload, known=self.backup)
            baseline_measurements, seconds = self._baseline(measurer)
            baseline = statistics.median(baseline_measurements)
            Timer().set_benchmark_time(seconds)
            study.set_user_attr("backup", self.backup)
            study.set_user_attr("baseline", baseline)
            study.set_user_attr("baseline_measurements", baseline_measurements)
            spread = max(baseline_measurements) - min(baseline_measurements)
            self.say(f"baseline {self.metric_name} = {baseline:g}"
                     + (f" (spread {spread:g} over {len(baseline_measurements)} runs)" if spread else "")
                     + f" (benchmark {seconds:.1f} s)")

        result = self.result = Result(self.metric_name, self.direction, baseline,
                                      baseline_measurements=baseline_measurements)
        result.rows = [self._row(trial) for trial in study.trials if "duplicate_of" not in trial.user_attrs]
        proposer = Proposer(study, optuna, self.space, self.options.seed + 7 * len(study.trials))
        self._loop(study, optuna, proposer, measurer, result)
        if not result.completed():
            result.failed = True
            result.stop_reason += "; no trial completed"
        result.importance = importance.rank(study)
        if self.options.confirm > 0 and not result.failed:
            confirm(result, self.applier, measurer, self.backup, count=self.options.confirm,
                    rounds=max(1, self.options.confirm_rounds), say=self.say)
        self._end(result)
        return result

    def _safe_backup(self, backup: dict[str, str], what: str) -> dict[str, str]:
        """`backup` when every value of it can be put back through its set command: every way a
        run ends (the end itself, the confirmation's baseline, an interruption) applies it, so a
        value the shell could read as syntax stops the run before anything is changed."""
        refused = shellsafe.refusals(backup, shellsafe.declarations(self.cfg))
        if refused:
            raise TuneError(f"{what} could not be put back safely: {'; '.join(refused)}; "
                            "not tuning, nothing was changed")
        return backup

    def _end(self, result: Result) -> None:
        best = result.best()
        chosen = result.confirmed_best()
        if self.options.restore or best is None:
            self._leave(BACKED_UP, self.backup)
        elif result.beyond_noise is False and not self.options.keep_within_noise:
            self.say(f"no gain beyond the noise ({result.verdict}): the backed-up values are left applied")
            self._leave(NO_GAIN, self.backup)
        else:
            self._leave(BEST, chosen.params if chosen is not None else best.params)

    def _keep_originals(self, backup: dict[str, str]) -> None:
        """The first values read of a project are kept for good (with a warning for each value a
        restore will refuse); later runs say when what they find differs from them."""
        project = self.cfg.get_project()
        if state.keep_originals(project, backup, self.options.config):
            self.say(f"the original values are kept in {state.folder(project)}")
            for refusal in shellsafe.refusals(backup, shellsafe.declarations(self.cfg)):
                self.say(f"warning: {refusal}; restore will refuse it")
            return
        kept = state.originals(project) or {}
        differing = [f"{name}={value} (originally {kept[name]})" for name, value in backup.items()
                     if name in kept and not same_value(kept[name], value)]
        if differing:
            self.say("the current values differ from the originals (a previous run left values applied): "
                     + ", ".join(differing) + "; the baseline is measured on what is applied now; "
                     "knobsmith restore " + self.options.config + " puts the originals back")

    def _baseline(self, measurer: Measurer) -> tuple[list[float], float]:
        """The baseline's measurements (after the warm-up runs) and the last benchmark's seconds."""
        try:
            for number in range(self.options.warmup):
                measurer.measure(f"warm-up {number + 1}")
            measured = [measurer.measure("baseline") for _ in range(max(1, self.options.repeats))]
        except TrialFailed as failure:
            raise TuneError(f"the baseline could not be measured: {failure}") from None
        return [value for value, _ in measured], measured[-1][1]

    def _measure(self, measurer: Measurer, number: int) -> list[float]:
        repeats = max(1, self.options.repeats)
        if repeats == 1:
            return [measurer.measure(f"trial {number}")[0]]
        return [measurer.measure(f"trial {number} run {index + 1}")[0] for index in range(repeats)]

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
        note = trial.user_attrs.get("failure") or ("cut short" if trial.state.name == "FAIL" else "")
        return Row(trial.number, trial.state.name, value, dict(trial.params), note,
                   dict(trial.user_attrs.get("in_effect", {})),
                   list(trial.user_attrs.get("measurements", [] if value is None else [value])))

    def _fail(self, study: Any, optuna: Any, trial: Any, values: dict[str, Any], note: str,
              in_effect: dict[str, str], *, cut_short: bool = False) -> None:
        trial.set_user_attr("cut_short" if cut_short else "failure", True if cut_short else note)
        study.tell(trial, state=optuna.trial.TrialState.FAIL)
        assert self.result is not None
        self.result.rows.append(Row(trial.number, "FAIL", None, values, note, in_effect))

    def _loop(self, study: Any, optuna: Any, proposer: Proposer, measurer: Measurer, result: Result) -> None:
        assert self.applier is not None
        budget = int(self.settings["max_eval"])
        max_time = self.settings.get("max_time") or 0
        target = float(self.settings["target"] or 0)
        finished = sum(was_measured(trial) for trial in study.trials)
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
                proposal = proposer.propose()
                if proposal is None:
                    result.stop_reason = "every configuration the sampler can still propose was measured"
                    return
                trial, values = proposal
                self._running = (trial, values)
                outcome = self.applier.apply(values)
                in_effect = outcome.in_effect()
                if in_effect:
                    trial.set_user_attr("in_effect", in_effect)
                try:
                    if not outcome.ok:
                        raise TrialFailed("; ".join(outcome.problems))
                    measurements = self._measure(measurer, trial.number)
                except TrialFailed as failure:
                    self._running = None
                    self._fail(study, optuna, trial, values, str(failure), in_effect)
                    proposer.record(trial.number)
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
                value = statistics.median(measurements)
                if len(measurements) > 1:
                    trial.set_user_attr("measurements", measurements)
                study.tell(trial, value)
                proposer.record(trial.number)
                result.rows.append(Row(trial.number, "COMPLETE", value, values, measurements=measurements))
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
                self._fail(self._study_handle, optuna_module(), trial, values, what, {}, cut_short=True)
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


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
import random
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from knobsmith.lapclock import Timer
from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit
from common.tool_cmd import plain_projectname
from knobsmith.tuner import fleet as fleets
from knobsmith.tuner import importance, shellsafe, space_checks, state
from knobsmith.tuner.applying import Applier, back_up, planned_commands, same_value
from knobsmith.tuner.confirming import confirm
from knobsmith.tuner.failures import MAX_FAILED, TrialFailed, TuneError
from knobsmith.tuner.measuring import Measurer
from knobsmith.tuner.proposing import (Proposer, measured_failure, optuna_module, sampler, sampler_name,
                                       start_up_trials, storage_for, tell_failed, was_measured)
from knobsmith.tuner.progress import Progress
from knobsmith.tuner.results import Ending, Result, Row
from knobsmith.tuner.signals import Interrupted
from knobsmith.tuner.space import described, suggestion
from knobsmith.tuner.trials import rows_of, workers_of
from knobsmith.tuner.workload import Workload

BACKED_UP = "the backed-up values"
BEST = "the best values"
NO_GAIN = "the backed-up values (no gain beyond the noise)"
NOT_MEASURED_BETTER = "the backed-up values (the best did not measure better than the baseline)"
NOT_BETTER = "the backed-up values (the study's best is not better than this host's baseline)"


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
    max_failed: float = MAX_FAILED
    keep_within_noise: bool = False  # leave the best applied even when its gain is within the noise
    study: str | None = None  # a study shared by a fleet of workers, in `storage`
    worker: str | None = None  # this worker's name; default the host's
    relative: bool = False  # a fleet's values are gains over each worker's own baseline
    heartbeat: int = fleets.HEARTBEAT  # seconds between a fleet worker's signs of life
    reconnect: float = fleets.RECONNECT  # seconds a fleet worker tries to reach its database again


def spent(finished: int, budget: int, started: float, max_time: float, counted: str = "") -> str:
    """Why a run stops before its next trial: its budget of trials or of time is spent; "" if not."""
    if finished >= budget:
        return f"the budget of {budget} trials is spent{counted}"
    if max_time and time.monotonic() - started >= max_time:
        return f"the time budget of {max_time} s is spent"
    return ""


class TuningRun:
    def __init__(self, options: Options, say: Callable[[str], None]) -> None:
        self.options = options
        self.say = say
        self.cfg = Cfg()
        if not self.cfg.init(options.config):
            raise TuneError(f"{options.config} cannot be used (see the lines above)")
        refused = space_checks.fault(self.cfg.yml)
        if refused:
            raise TuneError(refused)
        self.settings = self.cfg.get_optimizer_info()
        self.metric_name, self.metric_command = next(iter(self.cfg.get_performance_get_script().items()))
        self.direction = "maximize" if self.settings["eval_type"] == "positive" else "minimize"
        self.space = {knob["name"]: suggestion(knob) for knob in self.settings["knobs"]}
        self.described = described(self.settings["knobs"])
        project = self.cfg.get_project()
        self.state_key = self._adopt(project, None)
        self.folder = os.path.abspath(options.report or f"knobsmith-report-{project}")
        self.study_name = f"knobsmith-{project}"
        self.fleet: fleets.Fleet | None = None
        if options.study is not None:
            if not options.storage:
                raise TuneError("--study names a study shared by a fleet: --storage URL says where it is kept")
            name = fleets.check_worker_name(options.worker) if options.worker else fleets.default_worker()
            self.fleet = fleets.Fleet(name, fleets.Settings(self.metric_name, self.direction, options.relative,
                                                            self.described), max(1, options.heartbeat))
            self.study_name = options.study
            self.state_key = self._adopt(project, options.worker)
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
        self._confirming = False  # the best candidates are being measured again
        self.broken = ""  # why the backed-up values failed too, when they did
        self.fleet_baseline = 0.0  # a fleet worker's own baseline, which gains are measured against
        # Called with the result after every trial, so that a killed run leaves what it measured.
        self.after_trial: Callable[[Result], None] = lambda result: None

    def _adopt(self, project: str, worker: str | None) -> str:
        """The name of the folder of the values kept for the configuration file (as `worker`),
        after moving there the folder an earlier version kept for it."""
        key, moved = state.own_folder(project, self.options.config, worker)
        if moved:
            self.say(moved)
        return key

    # -- the study

    def _study(self, optuna: Any, storage: Any, seed: int) -> Any:
        budget = int(self.settings["max_eval"])
        if self.fleet is None:
            chosen, direction = sampler(optuna, budget, seed), self.direction
        else:
            chosen = fleets.sampler(optuna, start_up_trials(budget), fleets.worker_seed(seed, self.fleet.name))
            direction = self.fleet.settings.study_direction
        return optuna.create_study(storage=storage, sampler=chosen, study_name=self.study_name,
                                   direction=direction, load_if_exists=True)

    def _own_study_name(self, optuna: Any, storage: Any) -> None:
        """The name of this configuration's study in the report folder's journal. A study kept
        there under another name would otherwise stay beside a new one whose report files
        replace its own; only the configuration's name before altered names carried a hash is
        taken as its own."""
        names = optuna.get_all_study_names(storage)
        if self.study_name in names:
            self._check_owner(storage.get_study_user_attrs(storage.get_study_id_from_name(self.study_name)))
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
        if self.fleet is not None:
            assert self.options.storage is not None
            storage = fleets.rdb_storage(optuna, self.options.storage, self.fleet.heartbeat)
            storage = fleets.Reconnecting(optuna, storage, self.options.storage, self.options.reconnect, self.say)
            try:
                study = self._study(optuna, storage, self.options.seed)
            except Exception as error:
                raise TuneError(f"the study {self.study_name} cannot be opened in "
                                f"{fleets.redacted(self.options.storage)}: "
                                f"{fleets.hidden(fleets.first_line(error), self.options.storage)}") from None
            self.fleet.agree(study)
            return study
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
        measurer.time_budget = self.settings.get("max_time") or None
        kit = StageKit()
        if self.fleet is not None:
            baseline, baseline_measurements = self._join(study, kit, measurer)
            self.fleet_baseline = baseline
        else:
            baseline, baseline_measurements = self._start(study, optuna, kit, measurer)
        if self.fleet is not None and self.fleet.settings.relative:
            result = self.result = Result.of_gains(self.metric_name)
        else:
            result = self.result = Result(self.metric_name, self.direction, baseline,
                                          baseline_measurements=baseline_measurements)
        result.space = self.described
        result.rows = rows_of(study)
        result.sampler = sampler_name(study.sampler)
        self.say(f"proposals by the {result.sampler} sampler")
        self._say_outside(result)
        seed = self.options.seed if self.fleet is None else fleets.worker_seed(self.options.seed, self.fleet.name)
        proposer = Proposer(study, optuna, self.space, seed + 7 * len(study.trials), result.baseline)
        if self.fleet is None:
            self._loop(study, optuna, proposer, measurer, result)
        else:
            self._fleet_loop(study, optuna, proposer, measurer, result)
            result.rows = rows_of(study)
            result.workers = workers_of(study, result)
        if not result.completed():
            result.failed = True
            result.stop_reason += "; no trial completed" + (
                " within the configuration's space" if any(map(result.outside, result.rows)) else "")
        result.importance = importance.rank(study)
        if self.options.confirm > 0 and not result.failed and self.fleet is None:
            self._confirming = True
            confirm(result, self.applier, measurer, self.backup, count=self.options.confirm,
                    rounds=max(1, self.options.confirm_rounds), say=self.say,
                    recover=lambda what: self._recovered(measurer, what, result))
            self._confirming = False
        self._end(result, baseline)
        return result

    def _say_outside(self, result: Result) -> None:
        """Kept trials whose values the configuration no longer allows (its space was narrowed)
        stay in the report; they are never applied, confirmed or chosen as the best."""
        outside = [row for row in result.rows if result.outside(row)]
        if outside:
            lie = "trial lies" if len(outside) == 1 else "trials lie"
            self.say(f"{len(outside)} earlier {lie} outside the configuration's space (trial {outside[0].number}: "
                     f"{result.outside(outside[0])}): kept in the report, never applied or chosen as the best")

    def _start(self, study: Any, optuna: Any, kit: Any, measurer: Measurer) -> tuple[float, list[float]]:
        """A run of one host: the backup and baseline stored with a resumed study, or new ones."""
        stored = study.user_attrs
        self._check_owner(stored)
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
            return baseline, baseline_measurements
        baseline, baseline_measurements = self._back_up_and_measure(kit, measurer)
        study.set_user_attr("backup", self.backup)
        study.set_user_attr("config", os.path.realpath(self.options.config))
        study.set_user_attr("baseline", baseline)
        study.set_user_attr("baseline_measurements", baseline_measurements)
        return baseline, baseline_measurements

    def _check_owner(self, stored: dict[str, Any]) -> None:
        """Refuses a study another configuration file wrote: resuming it would measure this file's
        parameters against its baseline and put its backup back (one without the record is
        taken as this file's, as before)."""
        owner, own = stored.get("config"), os.path.realpath(self.options.config)
        if owner is not None and owner != own:
            where = self.folder if self.options.storage is None else fleets.redacted(self.options.storage)
            raise TuneError(f"the study {self.study_name} in {where} is that of {owner}, not of {own}: "
                            "--report DIR (or another --storage) runs this one elsewhere; nothing was changed")

    def _back_up_and_measure(self, kit: Any, measurer: Measurer) -> tuple[float, list[float]]:
        """Reads and keeps the current values, then measures the baseline on them."""
        backup, unread = back_up(kit, self.cfg)
        self._keep_originals(backup, unread)
        if unread:
            # A value not backed up could not be put back at the end.
            kept = (f"{', '.join(backup)} {'is' if len(backup) == 1 else 'are'} backed up in "
                    f"bak_{self.cfg.get_project()}.ini" if backup else "nothing was backed up")
            raise TuneError("; ".join(f"{name} could not be read: {why}" for name, why in unread.items())
                            + f"; not tuning, nothing was changed ({kept})")
        self.backup = self._safe_backup(backup, "the backup of the current values")
        self.applier = Applier(kit, self.cfg, self.workload, known=self.backup)
        baseline_measurements, seconds = self._baseline(measurer)
        baseline = statistics.median(baseline_measurements)
        Timer().set_benchmark_time(seconds)
        spread = max(baseline_measurements) - min(baseline_measurements)
        self.say(f"baseline {self.metric_name} = {baseline:g}"
                 + (f" (spread {spread:g} over {len(baseline_measurements)} runs)" if spread else "")
                 + f" (benchmark {seconds:.1f} s)")
        return baseline, baseline_measurements

    def _join(self, study: Any, kit: Any, measurer: Measurer) -> tuple[float, list[float]]:
        """A fleet worker's start: one that joins for the first time backs up its host and
        measures its own baseline; one restarted with the same command finds its record in the
        study and puts its backed-up values back, since it may have died with a trial's applied."""
        fleet = self.fleet
        assert fleet is not None
        left = fleet.settle_own(study)
        if left:
            self.say(f"trial {', '.join(map(str, left))} of worker {fleet.name}, left running when it stopped, "
                     "is marked failed")
        member = fleet.member(study)
        if member is not None:
            self.backup = self._safe_backup(member.backup, f"the backup of worker {fleet.name} stored with the study")
            self.applier = Applier(kit, self.cfg, self.workload)
            outcome = self.applier.apply(self.backup)
            if not outcome.ok:
                raise TuneError(f"worker {fleet.name} could not put its backed-up values back: "
                                + "; ".join(outcome.problems))
            self.say(f"worker {fleet.name} rejoins the study {self.study_name}: its backed-up values are restored "
                     f"(read back); its baseline {self.metric_name} = {member.baseline:g}")
            return member.baseline, member.baseline_measurements or [member.baseline]
        others = len(fleets.members(study))
        baseline, measurements = self._back_up_and_measure(kit, measurer)
        if fleet.settings.relative and baseline == 0:
            raise TuneError(f"the baseline {self.metric_name} is 0, so no gain over it can be computed: "
                            "--relative needs a metric that is not 0")
        member = fleets.Member(fleet.name, fleet.host, self.backup, baseline, measurements)
        fleet.join(study, member)
        assert self.options.storage is not None
        state.record_worker(self.state_key, self.study_name, {
            **member.stored(), "worker": fleet.name, "storage": fleets.redacted(self.options.storage)})
        self.say(f"worker {fleet.name} joined the study {self.study_name} "
                 f"({others} other worker{'s' if others != 1 else ''}, {sum(map(was_measured, study.trials))} trials)")
        return baseline, measurements

    def _safe_backup(self, backup: dict[str, str], what: str) -> dict[str, str]:
        """`backup` when every value of it can be put back through its set command: every way a
        run ends (the end itself, the confirmation's baseline, an interruption) applies it, so a
        value the shell could read as syntax stops the run before anything is changed."""
        refused = shellsafe.refusals(backup, shellsafe.declarations(self.cfg))
        if refused:
            raise TuneError(f"{what} could not be put back safely: {'; '.join(refused)}; "
                            "not tuning, nothing was changed")
        return backup

    def _end(self, result: Result, baseline: float) -> None:
        best = result.best()
        chosen = result.confirmed_best()
        if self.options.restore or best is None or self.broken:
            self._leave(BACKED_UP, self.backup)
        elif self.fleet is None and not result.measured_better():
            # Never a configuration that measured no better, --keep-within-noise or not.
            result.verdict = result.verdict or "no trial measured better than the baseline"
            self.say(f"{result.verdict}: the backed-up values are left applied")
            self._leave(NOT_MEASURED_BETTER, self.backup)
        elif result.beyond_noise is False and not self.options.keep_within_noise:
            self.say(f"no gain beyond the noise ({result.verdict}): the backed-up values are left applied")
            self._leave(NO_GAIN, self.backup)
        elif self.fleet is not None and not result.better(best.value, 0.0 if result.relative else baseline):
            # The study's best may have been measured on another host; this one keeps what it had.
            self.say(f"the study's best, trial {best.number} ({result.metric} = {best.value:g}), is not better than "
                     f"this host's baseline {baseline:g}: the backed-up values are left applied")
            self._leave(NOT_BETTER, self.backup)
        else:
            self._leave(BEST, chosen.params if chosen is not None else best.params)

    def _keep_originals(self, backup: dict[str, str], unread: dict[str, str]) -> None:
        """The first value read of each parameter is kept for good (see state.keep_originals);
        later runs say when what they find differs from the originals."""
        kept = state.originals(self.state_key) or {}
        for line in state.keep_originals(self.state_key, backup, self.options.config,
                                         shellsafe.declarations(self.cfg), unread):
            self.say(line)
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
            state.record_applied(self.state_key, values, "tune")
        if self.result is not None:
            self.result.ending = ending
        return ending


    def _fail(self, study: Any, optuna: Any, trial: Any, values: dict[str, Any], note: str,
              in_effect: dict[str, str], *, cut_short: bool = False) -> None:
        assert self.result is not None
        if cut_short:
            # Nothing was learned of its configuration: failed, but not infeasible.
            fleets.stop_waiting(study)
            trial.set_user_attr("cut_short", True)
            study.tell(trial, state=optuna.trial.TrialState.FAIL, skip_if_finished=self.fleet is not None)
        else:
            tell_failed(study, trial, note, self.result.baseline, skip_if_finished=self.fleet is not None)
        worker = "" if self.fleet is None else self.fleet.name
        self.result.rows.append(Row(trial.number, "FAIL", None, values, note, in_effect, worker=worker))

    def _trial(self, study: Any, optuna: Any, proposer: Proposer, measurer: Measurer, result: Result,
               trial: Any, values: dict[str, Any]) -> tuple[float | None, str]:
        """Applies a trial's values, reads them back, measures and tells the study: the trial's
        value, or None and why it failed."""
        assert self.applier is not None
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
            return None, str(failure)
        self._running = None
        raw = statistics.median(measurements)
        value = raw
        if self.fleet is not None:
            trial.set_user_attr("raw", raw)
            if self.fleet.settings.relative:
                value = fleets.gain(raw, self.fleet_baseline, self.direction)
        if len(measurements) > 1 or self.fleet is not None:
            trial.set_user_attr("measurements", measurements)
        told = study.tell(trial, value, skip_if_finished=self.fleet is not None)
        if told.state.name != "COMPLETE":
            # Another worker found its heartbeats late and marked it failed meanwhile.
            self.say(f"trial {trial.number} was marked failed by another worker while it ran (its heartbeats "
                     f"were late): its {self.metric_name} {raw:g} is kept in benchmark.log only")
            return None, "marked failed by another worker"
        proposer.record(trial.number)
        worker = "" if self.fleet is None else self.fleet.name
        result.rows.append(Row(trial.number, "COMPLETE", value, values, measurements=measurements, worker=worker,
                               raw=raw if result.relative else None))
        self.after_trial(result)
        return value, ""

    def _loop(self, study: Any, optuna: Any, proposer: Proposer, measurer: Measurer, result: Result) -> None:
        budget = int(self.settings["max_eval"])
        max_time = self.settings.get("max_time") or 0
        target = float(self.settings["target"] or 0)
        finished = sum(was_measured(trial) for trial in study.trials)
        started = time.monotonic()
        measurer.deadline = started + max_time if max_time else None
        progress = Progress(budget, finished, self.options.progress)
        try:
            while True:
                result.stop_reason = spent(finished, budget, started, max_time)
                if result.stop_reason:
                    return
                proposal = proposer.propose()
                if proposal is None:
                    result.stop_reason = "every configuration the sampler can still propose was measured"
                    return
                value, failure = self._trial(study, optuna, proposer, measurer, result, *proposal)
                finished += 1
                if self._after(study, measurer, proposal[0], value, failure, result, progress, target):
                    return
        finally:
            measurer.deadline = None  # after the loop, a benchmark may take the whole time budget
            progress.close()

    def _after(self, study: Any, measurer: Measurer, trial: Any, value: float | None, failure: str,
               result: Result, progress: Progress, target: float) -> bool:
        """Counts a trial's end; True when the run stops here (the system is broken, too many
        failed, the target)."""
        if value is None:
            progress.update(failure)
            return "failure" in trial.user_attrs and self._after_failure(study, measurer, trial.number, result)
        best = result.best()
        progress.update(f"last={value:g} best={best.value:g}" if best else "")
        gain = result.improvement(best.value) if best else None
        if target > 0 and gain is not None and gain >= target:
            result.stop_reason = f"the target of {target:g}% is reached ({gain:.1f}% better)"
            return True
        return False

    def _after_failure(self, study: Any, measurer: Measurer, number: int, result: Result) -> bool:
        """After trial `number` failed: True when the run stops, because the backed-up values
        fail too or more than the --max-failed share of the budget has failed."""
        if not self._recovered(measurer, f"trial {number}", result):
            return True
        budget = int(self.settings["max_eval"])
        failed = sum(map(measured_failure, study.get_trials(deepcopy=False)))
        if failed > self.options.max_failed * budget:
            result.stop_reason = (f"{failed} of the budget of {budget} trials failed, more than the share "
                                  f"--max-failed {self.options.max_failed:g} allows")
            result.failed = True
            return True
        return False

    def _recovered(self, measurer: Measurer, what: str, result: Result) -> bool:
        """Puts the backed-up values back after `what` failed: False, and the run failed, when they
        fail too (the system, not the configuration, is broken)."""
        problem = self._recover(measurer)
        if not problem:
            return True
        self.broken = problem
        self.say(f"after {what} failed, the backed-up values failed too: {problem}")
        result.stop_reason = "; ".join(filter(None, [
            result.stop_reason, f"the system, not the configuration, is broken: after {what} failed, the backed-up "
            f"values failed too ({problem}); check the workload and its benchmark before tuning again"]))
        result.failed = True
        return False

    def _recover(self, measurer: Measurer) -> str:
        """Puts the backed-up values back after a failed trial and checks that the workload works
        with them: it becomes ready (with a readiness command), else the benchmark runs on them.
        Returns "" when it does, else what failed."""
        assert self.applier is not None
        outcome = self.applier.apply(self.backup)
        if not outcome.ok:
            return "; ".join(outcome.problems)
        if self.workload.ready:
            return "" if outcome.restarted else self.workload.check_ready()
        try:
            measurer.measure("baseline check")
        except TrialFailed as failure:
            if measurer.deadline is not None and time.monotonic() >= measurer.deadline:
                return ""  # the time budget ran out, not the system; the run ends on it anyway
            return str(failure)
        return ""

    def _fleet_loop(self, study: Any, optuna: Any, proposer: Proposer, measurer: Measurer, result: Result) -> None:
        """The loop of one worker of a fleet: the budget and the measured configurations are the
        whole study's. When the others are measuring the rest of the budget, it waits for them,
        so that it ends with the study's best known; a trial abandoned by a dead worker frees its
        place again."""
        fleet = self.fleet
        assert fleet is not None
        budget = int(self.settings["max_eval"])
        max_time = self.settings.get("max_time") or 0
        target = float(self.settings["target"] or 0)
        started = time.monotonic()
        measurer.deadline = started + max_time if max_time else None
        waiting = False
        progress = Progress(budget, sum(map(was_measured, study.trials)), self.options.progress)
        try:
            while True:
                fleet.fail_stale(study)
                trials = study.get_trials(deepcopy=False)
                reached = study.user_attrs.get(fleets.TARGET_REACHED)
                if reached is not None and target > 0:
                    result.stop_reason = f"the target of {target:g}% is reached (trial {reached})"
                    return
                measured = sum(map(was_measured, trials))
                result.stop_reason = spent(measured, budget, started, max_time, " (over all workers)")
                if result.stop_reason:
                    return
                busy = sum(map(fleets.in_flight, trials))
                if measured + busy >= budget:
                    if not waiting:
                        self.say(f"worker {fleet.name}: the rest of the budget is being measured by other "
                                 f"workers ({busy} trial{'s' if busy != 1 else ''}); waiting for them to end")
                        waiting = True
                    time.sleep(fleets.POLL)
                    continue
                waiting = False
                proposer.learn(trials)
                with fleets.quiet_asking():
                    proposal = proposer.propose()
                if proposal is None:
                    # The best is known once the trials of the others have ended too.
                    while any(map(fleets.in_flight, study.get_trials(deepcopy=False))):
                        time.sleep(fleets.POLL)
                        fleet.fail_stale(study)
                    result.stop_reason = "every configuration the sampler can still propose was measured"
                    return
                trial, values = proposal
                with fleet.beat(study, trial):
                    token = fleet.claim(trial)
                    verdict = fleet.admit(study.get_trials(deepcopy=False), token, values, budget)
                    if verdict is not None:
                        self._set_aside(study, optuna, proposer, trial, verdict)
                        time.sleep(fleets.POLL * random.random())  # two that race do not race again
                        continue
                    value, failure = self._trial(study, optuna, proposer, measurer, result, trial, values)
                result.rows = rows_of(study)
                if self._after(study, measurer, trial, value, failure, result, progress, target):
                    if result.stop_reason.startswith("the target"):
                        study.set_user_attr(fleets.TARGET_REACHED, trial.number)
                    return
        finally:
            measurer.deadline = None  # after the loop, a benchmark may take the whole time budget
            progress.close()

    @staticmethod
    def _set_aside(study: Any, optuna: Any, proposer: Proposer, trial: Any, verdict: tuple[str, Any]) -> None:
        """A trial that another worker's claim overtook: its place of the budget was taken, or
        its configuration is measured or being measured. It is not counted and not shown."""
        why, earlier = verdict
        if why == "duplicate":
            proposer.tell_known(trial, earlier)
            return
        trial.set_user_attr("not_run", "the budget was taken by other workers")
        study.tell(trial, state=optuna.trial.TrialState.FAIL)

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
        elif self.result is not None:
            # The search had ended: its reason stays, after the interruption's.
            if self._confirming:
                what += " during the confirmation"
                # Its measurements so far are kept, but neither a best nor a gain is taken from them.
                self.result.confirmation_cut_short = True
                self.result.verdict, self.result.beyond_noise = "none: the confirmation was cut short", None
            self.result.stop_reason = f"{what}, after the search ended ({self.result.stop_reason})"
        if not self.backup or self.applier is None:
            return what
        try:
            ending = self._leave(BACKED_UP, self.backup)
        except Exception as failure:
            return f"{what}; restoring the backed-up values failed too: {failure}"
        if ending.done:
            return f"{what}; the backed-up values are restored (read back)"
        return f"{what}; restoring the backed-up values failed: " + "; ".join(ending.problems)


"""The tuning loop: back up, measure a baseline, try values chosen by Optuna, keep the best.

Every trial's values are applied in the order the workload needs (see `applying`) and read back
before its benchmark runs: a trial whose values did not take fails and is never the best. A trial
may be measured several times (its metric is the median). The loop is the same for a run of one
host (`host`) and for a worker of a fleet (`worker`); each of them opens its study, starts, and
proposes the next trial in its own way, and decides what is left applied at the end.
"""

from __future__ import annotations

import abc
import contextlib
import os
import statistics
import time
from collections.abc import Callable, Iterator
from typing import Any

from common.tool_cmd import plain_projectname
from knobsmith.params import state
from knobsmith.params.applying import Applier, planned_commands
from knobsmith.params.signals import Interrupted
from knobsmith.params.workload import Workload
from knobsmith.stagekit import StageKit
from knobsmith.tuner import importance
from knobsmith.tuner import study as studies
from knobsmith.tuner.database import stop_waiting
from knobsmith.tuner.failures import TrialFailed
from knobsmith.tuner.guardrails import kept_on, objective_values
from knobsmith.tuner.labels import CUT_SHORT, FAILURE, measured_failure, was_measured
from knobsmith.tuner.measuring import Measurer
from knobsmith.tuner.plan import Options, TuningPlan
from knobsmith.tuner.progress import Progress
from knobsmith.tuner.proposing import Proposer, optuna_module, sampler_name, tell_failed
from knobsmith.tuner.results import Ending, Result, Row
from knobsmith.tuner.starting import Starting
from knobsmith.tuner.trials import row_of, rows_of

BACKED_UP = "the backed-up values"
BEST = "the best values"
NO_GAIN = "the backed-up values (no gain beyond the noise)"
MINIMAL = "the smallest change that keeps the gain"
EXHAUSTED = "every configuration the sampler can still propose was measured"

Proposal = tuple[Any, dict[str, Any]]  # a trial and its values


class TuningRun(Starting, abc.ABC):
    """The loop, and what every run keeps while it runs. A run of one host and a fleet's worker
    differ in the methods below the loop's own state."""

    shared = False  # the study's trials may be told by other workers too
    worker = ""  # the fleet worker's name, on every row it measures
    relative = False  # the values told are gains over the baseline

    def __init__(self, plan: TuningPlan, options: Options, say: Callable[[str], None]) -> None:
        self.plan = plan
        self.options = options
        self.say = say
        self.state_key = self._adopt(None)
        self.folder = os.path.abspath(options.report or f"knobsmith-report-{plan.project}")
        self.study_name = f"knobsmith-{plan.project}"
        earlier = f"knobsmith-report-{plain_projectname(options.config)}"
        if options.report is None and not os.path.exists(self.folder) and os.path.isfile(
                os.path.join(earlier, "study.journal")):
            # Altered project names carry a hash now; the folder may also be that of the file
            # whose name is the plain one, so it is pointed at, not taken.
            say(f"an earlier run of {options.config} may be kept in {earlier}: "
                f"--report {earlier} --resume goes on with it")
        self.workload = Workload.from_config(plan.cfg, os.path.join(self.folder, "workload.log"))
        self.backup: dict[str, str] = {}
        self.baseline_others: dict[str, list[float]] = {}
        self.applier: Applier | None = None
        self.result: Result | None = None
        self.study: Any = None
        self.measurer: Measurer | None = None
        self.proposer: Proposer | None = None
        self.finished = 0  # the study's measured trials, counted by the loop as they end
        self._running: Proposal | None = None  # the trial whose values are applied
        self._confirming = False  # the best candidates are being measured again
        self.broken = ""  # why the backed-up values failed too, when they did
        # Called with the result after every trial, so that a killed run leaves what it measured.
        self.after_trial: Callable[[Result], None] = lambda result: None

    def _adopt(self, worker: str | None) -> str:
        """The name of the folder of the values kept for the configuration file (as `worker`),
        after moving there the folder an earlier version kept for it."""
        key, moved = state.own_folder(self.plan.project, self.options.config, worker)
        if moved:
            self.say(moved)
        return key

    # -- what a run of one host and a fleet's worker do each their own way

    @abc.abstractmethod
    def _sampler(self, seed: int) -> Any:
        """The sampler of the run's study, seeded with `seed`."""

    @abc.abstractmethod
    def _study_direction(self) -> str | list[str]:
        """The direction of the values told to the study (of each, with --pareto)."""

    @abc.abstractmethod
    def _open_study(self) -> Any:
        """The run's study, new or kept by an earlier run."""

    @abc.abstractmethod
    def _start(self, kit: Any) -> tuple[float, list[float]]:
        """The baseline and its measurements, with the backup and the applier in place."""

    @abc.abstractmethod
    def _next(self, started: float) -> Proposal | None:
        """The next trial to measure; None when the run stops here (the result says why)."""

    @contextlib.contextmanager
    def _admitted(self, trial: Any, values: dict[str, Any]) -> Iterator[bool]:
        """While a proposed trial runs: whether it may run."""
        yield True

    @abc.abstractmethod
    def _kept_back(self, result: Result, best: Row, baseline: float) -> str:
        """What is left applied instead of the best, when the best may not be ("" when it may)."""

    def _confirm(self, result: Result) -> None:
        """Measures the best candidates again at the end (only a run of one host does)."""

    def _value(self, trial: Any, raw: float) -> float:
        """The value a trial is told with, of its metric `raw`."""
        return raw

    def ended_already(self) -> str:
        """What a run of a study that already ended says instead of running ("" when it runs)."""
        return ""

    def _seed(self) -> int:
        """The seed of the random proposals tried when the sampler keeps repeating measured configurations."""
        return self.options.seed

    # -- dry run

    def dry_run(self) -> list[str]:
        """The commands a first trial would run, nothing run or written."""
        trial = studies.create(None, self.study_name, self._study_direction(), self._sampler(self.options.seed)).ask()
        values = {name: suggest(trial) for name, suggest in self.plan.space.items()}
        gets = self.plan.gets
        lines = ["# read and back up the current values", *gets.values()]
        measuring = [self.plan.benchmark, *(evaluation.command for evaluation in self.plan.evaluations)]
        lines += ["# measure the baseline", *measuring, "# trial 0"]
        lines += planned_commands(self.plan.cfg, self.workload, values)
        lines += ["# read the values back", *(gets[name] for name in values)]
        lines += measuring
        return lines

    # -- the run

    def run(self, measurer: Measurer) -> Result:
        os.makedirs(self.folder, exist_ok=True)
        self.measurer = measurer
        study = self.study = self._open_study()
        measurer.time_budget = self.plan.budget.seconds or None
        baseline, measurements = self._start(StageKit())
        result = self.result = Result.planned(self.plan, baseline, measurements, gains=self.relative,
                                              pareto=self.options.pareto)
        result.baseline_others = self.baseline_others
        result.rows = rows_of(study)
        result.sampler = sampler_name(study.sampler)
        self.say(f"proposals by the {result.sampler} sampler")
        self._say_outside(result)
        seed = self._seed() + 7 * len(study.get_trials(deepcopy=False))
        self.proposer = Proposer(study, dict(self.plan.space), seed, result.baseline)
        self._search()
        if not result.completed():
            result.failed = True
            result.stop_reason += "; " + result.none_completed()
        result.importance = importance.rank(study)
        self._confirm(result)
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

    def _search(self) -> None:
        assert self.measurer is not None
        seconds = self.plan.budget.seconds
        started = time.monotonic()
        self.measurer.deadline = started + seconds if seconds else None
        self.finished = sum(map(was_measured, self.study.get_trials(deepcopy=False)))
        progress = Progress(self.plan.budget.trials, self.finished, self.options.progress)
        try:
            while True:
                proposal = self._next(started)
                if proposal is None:
                    return
                trial, values = proposal
                with self._admitted(trial, values) as admitted:
                    if not admitted:
                        continue
                    value, failure = self._trial(trial, values)
                self.finished += 1
                if self._after(trial, value, failure, progress):
                    return
        finally:
            self.measurer.deadline = None  # after the loop, a benchmark may take the whole time budget
            progress.close()

    def _trial(self, trial: Any, values: dict[str, Any]) -> tuple[float | None, str]:
        """Applies a trial's values, reads them back, measures and tells the study: the trial's
        value, or None and why it failed."""
        assert self.applier is not None and self.result is not None and self.measurer is not None
        self._running = (trial, values)
        outcome = self.applier.apply(values)
        in_effect = outcome.in_effect()
        if in_effect:
            trial.set_user_attr("in_effect", in_effect)
        try:
            if not outcome.ok:
                raise TrialFailed("; ".join(outcome.problems))
            measurements, others = self.measurer.trial(trial.number, self.options.repeats)
        except TrialFailed as failure:
            self._running = None
            self._fail(trial, values, str(failure), in_effect)
            self._told(trial)
            return None, str(failure)
        self._running = None
        raw = statistics.median(measurements)
        value = self._value(trial, raw)
        if len(measurements) > 1 or self.shared:
            trial.set_user_attr("measurements", measurements)
        broke = kept_on(trial, self.plan.bounds, others)
        told = self.study.tell(trial, objective_values(self.plan, value, others, self.options.pareto),
                               skip_if_finished=self.shared)
        if told.state.name != "COMPLETE":
            # Another worker found its heartbeats late and marked it failed meanwhile.
            self.say(f"trial {trial.number} was marked failed by another worker while it ran (its heartbeats "
                     f"were late): its {self.plan.objective.name} {raw:g} is kept in benchmark.log only")
            return None, "marked failed by another worker"
        self._add_row(Row(trial.number, "COMPLETE", value, values, measurements=measurements, worker=self.worker,
                          raw=raw if self.result.relative else None, others=others, broken=broke))
        self._told(trial)
        return value, ""

    def _told(self, trial: Any) -> None:
        assert self.proposer is not None and self.result is not None
        self.proposer.record(trial)
        self.after_trial(self.result)

    def _fail(self, trial: Any, values: dict[str, Any], note: str, in_effect: dict[str, str], *,
              cut_short: bool = False) -> None:
        assert self.result is not None
        if cut_short:
            # Nothing was learned of its configuration: failed, but not infeasible.
            stop_waiting(self.study)
            trial.set_user_attr(CUT_SHORT, True)
            self.study.tell(trial, state=optuna_module().trial.TrialState.FAIL, skip_if_finished=self.shared)
        else:
            tell_failed(self.study, trial, note, self.result.baseline, skip_if_finished=self.shared)
        self._add_row(Row(trial.number, "FAIL", None, values, note, in_effect, worker=self.worker))

    def _add_row(self, row: Row) -> None:
        """Adds a trial's row, after those of the proposals asked before it that repeated a measured configuration."""
        assert self.proposer is not None and self.result is not None
        self.result.rows += [*map(row_of, self.proposer.take_repeated()), row]

    def _after(self, trial: Any, value: float | None, failure: str, progress: Progress) -> bool:
        """Counts a trial's end; True when the run stops here (the system is broken, too many
        failed, the target)."""
        result = self.result
        assert result is not None
        if value is None:
            progress.update(failure)
            return FAILURE in trial.user_attrs and self._after_failure(trial.number)
        best = result.best()
        best_value = None if best is None else best.value
        progress.update(f"last={value:g} best={best_value:g}" if best_value is not None else "")
        gain = None if best_value is None else result.improvement(best_value)
        target = self.plan.budget.target
        if target > 0 and gain is not None and gain >= target:
            result.stop_reason = f"the target of {target:g}% is reached ({gain:.1f}% better)"
            return True
        return False

    def _after_failure(self, number: int) -> bool:
        """After trial `number` failed: True when the run stops, because the backed-up values
        fail too or more than the --max-failed share of the budget has failed."""
        result = self.result
        assert result is not None
        if not self._recovered(f"trial {number}"):
            return True
        budget = self.plan.budget.trials
        failed = sum(map(measured_failure, self.study.get_trials(deepcopy=False)))
        if failed > self.options.max_failed * budget:
            result.stop_reason = (f"{failed} of the budget of {budget} trials failed, more than the share "
                                  f"--max-failed {self.options.max_failed:g} allows")
            result.failed = True
            return True
        return False

    def _recovered(self, what: str) -> bool:
        """Puts the backed-up values back after `what` failed: False, and the run failed, when they
        fail too (the system, not the configuration, is broken)."""
        result = self.result
        assert result is not None
        problem = self._recover()
        if not problem:
            return True
        self.broken = problem
        self.say(f"after {what} failed, the backed-up values failed too: {problem}")
        result.stop_reason = "; ".join(filter(None, [
            result.stop_reason, f"the system, not the configuration, is broken: after {what} failed, the backed-up "
            f"values failed too ({problem}); check the workload and its benchmark before tuning again"]))
        result.failed = True
        return False

    def _recover(self) -> str:
        """Puts the backed-up values back after a failed trial and checks that the workload works
        with them: it becomes ready (with a readiness command), else the benchmark runs on them.
        Returns "" when it does, else what failed."""
        assert self.applier is not None and self.measurer is not None
        outcome = self.applier.apply(self.backup)
        if not outcome.ok:
            return "; ".join(outcome.problems)
        if self.workload.ready:
            return "" if outcome.restarted else self.workload.check_ready()
        try:
            self.measurer.measure("baseline check")
        except TrialFailed as failure:
            if self.measurer.deadline is not None and time.monotonic() >= self.measurer.deadline:
                return ""  # the time budget ran out, not the system; the run ends on it anyway
            return str(failure)
        return ""

    # -- the end

    def _end(self, result: Result, baseline: float) -> None:
        best = result.best()
        chosen = result.confirmed_best()
        if self.options.restore or best is None or self.broken:
            self._leave(BACKED_UP, self.backup)
            return
        kept_back = self._kept_back(result, best, baseline)
        if kept_back:
            self._leave(kept_back, self.backup)
        elif result.beyond_noise is False and not self.options.keep_within_noise:
            self.say(f"no gain beyond the noise ({result.verdict}): the backed-up values are left applied")
            self._leave(NO_GAIN, self.backup)
        elif result.minimal is not None and result.minimal.complete:
            self._leave(MINIMAL, result.minimal.values)
        else:
            self._leave(BEST, chosen.params if chosen is not None else best.params)

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

    def abort(self, error: BaseException) -> str:
        """After an interruption or an error: the trial cut short is recorded as failed, the
        backed-up values are put back and read back. Returns what to tell the user."""
        what = (f"interrupted by {error}" if isinstance(error, Interrupted)
                else "interrupted" if isinstance(error, KeyboardInterrupt) else "stopped by an error")
        if self._running is not None and self.result is not None:
            trial, values = self._running
            self._running = None
            with contextlib.suppress(Exception):  # the study's storage may be what failed
                self._fail(trial, values, what, {}, cut_short=True)
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

"""A worker of a fleet: one host measuring trials of a study shared in a database (see `fleet`).
The budget and the measured configurations are the whole study's; a worker measures its trials
against its own baseline, and at the end leaves the study's best applied when it is better than
that baseline."""

from __future__ import annotations

import contextlib
import random
import time
from collections.abc import Callable, Iterator
from typing import Any

from knobsmith.params import state
from knobsmith.params.applying import Applier
from knobsmith.tuner import fleet as fleets
from knobsmith.tuner import study as studies
from knobsmith.tuner.database import Reconnecting, first_line, hidden, redacted
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.labels import NOT_RUN, in_flight, was_measured
from knobsmith.tuner.loop import EXHAUSTED, Proposal, TuningRun
from knobsmith.tuner.plan import Options, TuningPlan
from knobsmith.tuner.progress import Progress
from knobsmith.tuner.proposing import optuna_module
from knobsmith.tuner.results import Result, Row
from knobsmith.tuner.trials import rows_of, workers_of

NOT_BETTER = "the backed-up values (the study's best is not better than this host's baseline)"


class WorkerRun(TuningRun):
    shared = True

    def __init__(self, plan: TuningPlan, options: Options, say: Callable[[str], None]) -> None:
        if not options.storage:
            raise TuneError("--study names a study shared by a fleet: --storage URL says where it is kept")
        assert options.study is not None
        self.url = options.storage
        name = fleets.check_worker_name(options.worker) if options.worker else fleets.default_worker()
        super().__init__(plan, options, say)
        objective = plan.objective
        guardrails = {name: bound.stored() for name, bound in plan.bounds.items()}
        self.fleet = fleets.Fleet(name, fleets.Settings(objective.name, objective.direction, options.relative,
                                                        plan.described, guardrails), max(1, options.heartbeat))
        self.worker = name
        self.relative = options.relative
        self.study_name = options.study
        self.state_key = self._adopt(options.worker)
        self.own_baseline = 0.0  # which the gains are measured against

    def _seed(self) -> int:
        return fleets.worker_seed(self.options.seed, self.worker)

    def _sampler(self, seed: int) -> Any:
        return studies.sampler(self.plan.budget.trials, fleets.worker_seed(seed, self.worker), shared=True)

    def _study_direction(self) -> str:
        return self.fleet.settings.study_direction

    def _open_study(self) -> Any:
        storage = studies.database(self.url, self.fleet.heartbeat)
        storage = Reconnecting(storage, self.url, self.options.reconnect, self.say)
        try:
            study = studies.create(storage, self.study_name, self._study_direction(), self._sampler(self.options.seed))
        except Exception as error:
            raise TuneError(f"the study {self.study_name} cannot be opened in {redacted(self.url)}: "
                            f"{hidden(first_line(error), self.url)}") from None
        self.fleet.agree(study)
        return study

    def _start(self, kit: Any) -> tuple[float, list[float]]:
        """One that joins for the first time backs up its host and measures its own baseline; one
        restarted with the same command finds its record in the study and puts its backed-up
        values back, since it may have died with a trial's applied."""
        fleet, study = self.fleet, self.study
        left = fleet.settle_own(study, self.say)
        if left:
            self.say(f"trial {', '.join(map(str, left))} of worker {fleet.name}, left running when it stopped, "
                     "is marked failed")
        member = fleet.member(study)
        if member is not None:
            self.backup = self._safe_backup(member.backup, f"the backup of worker {fleet.name} stored with the study")
            self.applier = Applier(kit, self.plan.cfg, self.workload)
            outcome = self.applier.apply(self.backup)
            if not outcome.ok:
                raise TuneError(f"worker {fleet.name} could not put its backed-up values back: "
                                + "; ".join(outcome.problems))
            self.say(f"worker {fleet.name} rejoins the study {self.study_name}: its backed-up values are restored "
                     f"(read back); its baseline {self.plan.objective.name} = {member.baseline:g}")
            self.own_baseline = member.baseline
            return member.baseline, member.baseline_measurements or [member.baseline]
        others = len(fleets.members(study))
        baseline, measurements = self._back_up_and_measure(kit)
        if fleet.settings.relative and baseline == 0:
            raise TuneError(f"the baseline {self.plan.objective.name} is 0, so no gain over it can be computed: "
                            "--relative needs a metric that is not 0")
        member = fleets.Member(fleet.name, fleet.host, self.backup, baseline, measurements)
        fleet.join(study, member)
        state.record_worker(self.state_key, self.study_name, {
            **member.stored(), "worker": fleet.name, "storage": redacted(self.url)})
        measured = sum(map(was_measured, study.get_trials(deepcopy=False)))
        self.say(f"worker {fleet.name} joined the study {self.study_name} "
                 f"({others} other worker{'s' if others != 1 else ''}, {measured} trials)")
        self.own_baseline = baseline
        return baseline, measurements

    def _search(self) -> None:
        super()._search()
        assert self.result is not None
        self.result.rows = rows_of(self.study)
        self.result.workers = workers_of(self.study, self.result)

    def _next(self, started: float) -> Proposal | None:
        """When the others are measuring the rest of the budget, it waits for them, so that it
        ends with the study's best known; a trial abandoned by a dead worker frees its place again."""
        assert self.result is not None and self.proposer is not None
        study, budget = self.study, self.plan.budget
        waiting = fleets.Waiting(self.say, self.worker, self.fleet.heartbeat)
        while True:
            self.fleet.fail_stale(study)
            trials = study.get_trials(deepcopy=False)
            reached = study.user_attrs.get(fleets.TARGET_REACHED)
            if reached is not None and budget.target > 0:
                self.result.stop_reason = f"the target of {budget.target:g}% is reached (trial {reached})"
                return None
            measured = sum(map(was_measured, trials))
            self.result.stop_reason = budget.spent(measured, started, " (over all workers)")
            if self.result.stop_reason:
                return None
            busy = sum(map(in_flight, trials))
            if measured + busy < budget.trials:
                break
            waiting.wait(f"the rest of the budget, being measured by other workers, to end ({fleets.busy(trials)})")
        self.proposer.learn(trials)
        with fleets.quiet_asking():
            proposal = self.proposer.propose()
        if proposal is None:
            # The best is known once the trials of the others have ended too.
            waiting = fleets.Waiting(self.say, self.worker, self.fleet.heartbeat)
            while any(map(in_flight, trials := study.get_trials(deepcopy=False))):
                waiting.wait(f"the trials other workers are measuring to end ({fleets.busy(trials)}), "
                             "so that the study's best is known")
                self.fleet.fail_stale(study)
            self.result.stop_reason = EXHAUSTED
        return proposal

    @contextlib.contextmanager
    def _admitted(self, trial: Any, values: dict[str, Any]) -> Iterator[bool]:
        """A heartbeat while the trial runs; a trial that another worker's claim overtook (its
        place of the budget was taken, or its configuration is measured or being measured) is
        set aside, not counted and not shown."""
        with self.fleet.beat(self.study, trial):
            token = self.fleet.claim(trial)
            verdict = self.fleet.admit(self.study.get_trials(deepcopy=False), token, values, self.plan.budget.trials)
            if verdict is None:
                yield True
                return
            why, earlier = verdict
            if why == "duplicate":
                assert self.proposer is not None
                self.proposer.tell_known(trial, earlier)
            else:
                trial.set_user_attr(NOT_RUN, "the budget was taken by other workers")
                self.study.tell(trial, state=optuna_module().trial.TrialState.FAIL)
            time.sleep(fleets.POLL * random.random())  # two that race do not race again
            yield False

    def _value(self, trial: Any, raw: float) -> float:
        trial.set_user_attr("raw", raw)
        return fleets.gain(raw, self.own_baseline, self.plan.objective.direction) if self.relative else raw

    def _after(self, trial: Any, value: float | None, failure: str, progress: Progress) -> bool:
        assert self.result is not None
        self.result.rows = rows_of(self.study)
        if not super()._after(trial, value, failure, progress):
            return False
        if self.result.stop_reason.startswith("the target"):
            self.study.set_user_attr(fleets.TARGET_REACHED, trial.number)
        return True

    def _kept_back(self, result: Result, best: Row, baseline: float) -> str:
        if best.value is not None and result.better(best.value, 0.0 if result.relative else baseline):
            return ""
        # The study's best may have been measured on another host; this one keeps what it had.
        self.say(f"the study's best, trial {best.number} ({result.metric} = {best.value:g}), is not better than "
                 f"this host's baseline {baseline:g}: the backed-up values are left applied")
        return NOT_BETTER

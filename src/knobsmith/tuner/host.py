"""A run of one host: its study is kept in the report folder (or at a URL) with its backup and
baseline, so that a run cut short can be resumed; at the end, the best candidates are measured
again against the baseline (see `confirming`), and the best values are left applied when their
gain stands out of the noise, the backed-up ones otherwise. The run says what is in effect only
once a read-back confirmed it."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

from common.tool_cmd import plain_projectname
from knobsmith.params.applying import Applier
from knobsmith.tuner import study as studies
from knobsmith.tuner import warm_start
from knobsmith.tuner.confirming import confirm
from knobsmith.tuner.database import redacted
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.labels import was_measured
from knobsmith.tuner.loop import EXHAUSTED, Proposal, TuningRun
from knobsmith.tuner.minimizing import minimize
from knobsmith.tuner.proposing import optuna_module, tpe_sampler
from knobsmith.tuner.results import Result, Row
from knobsmith.tuner.trials import row_of

PARETO = "the backed-up values (a Pareto front has no one best: apply one of its trials with --trial N)"
NOT_MEASURED_BETTER = "the backed-up values (the best did not measure better than the baseline)"
BEST_FAILED = "the backed-up values (the best failed when measured again)"
ENDED = "ended"  # how the study's last run ended, kept with it: a finished study is not run again unasked


class HostRun(TuningRun):
    sources: Sequence[warm_start.Source] = ()  # earlier runs whose trials become the study's priors

    def _sampler(self, seed: int) -> Any:
        if self.options.pareto:
            # The light GP optimises one objective; TPE samples a front of several.
            return tpe_sampler(optuna_module(), self.plan.budget.trials, seed)
        return studies.sampler(self.plan.budget.trials, seed, bounds=self.plan.bounds)

    def _study_direction(self) -> str | list[str]:
        if self.options.pareto:
            return [evaluation.direction for evaluation in self.plan.pareto]
        return self.plan.objective.direction

    def _open_study(self) -> Any:
        """The run's study: a new one, or the one kept by an earlier run when it is resumed (with
        --resume, or a storage named again). A resumed study gets a seed of its own, so that it does
        not replay the random proposals of the run before."""
        if self.study is not None:
            return self.study  # opened to see whether it is finished
        storage = studies.storage_for(self.folder, self.options.storage)
        if self.options.storage is None:
            self._own_study_name(storage)
        study = studies.create(storage, self.study_name, self._study_direction(), self._sampler(self.options.seed))
        wanted = len(self._study_direction()) if self.options.pareto else 1
        if len(study.directions) != wanted:
            raise TuneError(f"{self.folder} holds the study of a run with {len(study.directions)} objectives, this "
                            f"one has {wanted}: --report DIR runs it elsewhere")
        if study.trials or "backup" in study.user_attrs:
            if not (self.options.resume or self.options.storage):
                raise TuneError(
                    f"{self.folder} holds the study of an earlier run ({len(study.trials)} trials): "
                    "--resume goes on with it, --report DIR starts a new run elsewhere")
            study.sampler = self._sampler(self.options.seed + 1009 * len(study.trials))
        return study

    def ended_already(self) -> str:
        """What a resumed study whose run ended, and that has nothing left to measure, says
        instead of running its end again (without --reconfirm); "" when it runs."""
        if not (self.options.resume or self.options.storage) or self.options.reconfirm:
            return ""
        study = self.study = self._open_study()
        ended = study.user_attrs.get(ENDED)
        if ended is None:
            return ""
        budget = self.plan.budget
        measured = sum(map(was_measured, study.get_trials(deepcopy=False)))
        reason = str(ended.get("reason", ""))
        unchanged = ended.get("space") == self.plan.described and ended.get("target") == budget.target
        if measured < budget.trials and not (unchanged and (reason == EXHAUSTED or reason.startswith("the target"))):
            return ""
        where = self.folder if self.options.storage is None else redacted(self.options.storage)
        again = ("write its Pareto front again" if self.options.pareto else
                 f"measure its {self.options.confirm} best candidates against the baseline again and leave the best "
                 "applied" if self.options.confirm > 0 else "leave its best applied again")
        return (f"the study in {where} is finished ({measured} trials measured of a budget of {budget.trials}; "
                f"its run stopped: {reason}): nothing was run or changed, its report is in {self.folder}; "
                f"give the configuration more iterations (or a wider space) to go on with it, or add --reconfirm "
                f"to {again}")

    def _end(self, result: Result, baseline: float) -> None:
        super()._end(result, baseline)
        self.study.set_user_attr(ENDED, {"reason": result.stop_reason, "space": self.plan.described,
                                         "target": self.plan.budget.target})

    def _own_study_name(self, storage: Any) -> None:
        """The name of this configuration's study in the report folder's journal. A study kept
        there under another name would otherwise stay beside a new one whose report files
        replace its own; only the configuration's name before altered names carried a hash is
        taken as its own."""
        names = studies.names(storage)
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

    def _check_owner(self, stored: dict[str, Any]) -> None:
        """Refuses a study another configuration file wrote: resuming it would measure this file's
        parameters against its baseline and put its backup back (one without the record is
        taken as this file's, as before)."""
        owner, own = stored.get("config"), os.path.realpath(self.options.config)
        if owner is not None and owner != own:
            where = self.folder if self.options.storage is None else redacted(self.options.storage)
            raise TuneError(f"the study {self.study_name} in {where} is that of {owner}, not of {own}: "
                            "--report DIR (or another --storage) runs this one elsewhere; nothing was changed")

    def _start(self, kit: Any) -> tuple[float, list[float]]:
        """The backup and baseline, then the priors of the warm start's sources given to the study."""
        baseline, measurements = self._stored_or_new(kit)
        if self.sources:
            objective = self.plan.objective
            here = warm_start.Here(self.plan.space, self.plan.described, self.backup, baseline, objective.direction,
                                   self.options.relative)
            warm_start.give(self.study, self.sources, here, self.say)
        return baseline, measurements

    def _stored_or_new(self, kit: Any) -> tuple[float, list[float]]:
        """The backup and baseline stored with a resumed study, or new ones."""
        study = self.study
        stored = study.user_attrs
        self._check_owner(stored)
        states = optuna_module().trial.TrialState
        for stale in study.get_trials(deepcopy=False, states=(states.RUNNING,)):
            # A run killed mid-trial: that trial was cut short, not measured.
            study.tell(stale.number, state=states.FAIL, skip_if_finished=True)
        if "backup" in stored:
            # A resumed study: the state before its first trial is the one to come back to. What is
            # in effect now is unknown (a killed run leaves its last trial's values), so it is read.
            self.backup = self._safe_backup(dict(stored["backup"]),
                                            f"the backup stored with the study in {self.folder}")
            baseline = float(stored["baseline"])
            measurements = list(stored.get("baseline_measurements", [baseline]))
            self.baseline_others = dict(stored.get("baseline_others", {}))
            self.applier = Applier(kit, self.plan.cfg, self.workload)
            if stored.get(ENDED) is not None:
                study.set_user_attr(ENDED, None)  # until this run ends: one cut short has not
            self.say(f"resuming {sum(map(was_measured, study.trials))} earlier trials; "
                     f"baseline {self.plan.objective.name} = {baseline:g}")
            return baseline, measurements
        baseline, measurements = self._back_up_and_measure(kit)
        study.set_user_attr("backup", self.backup)
        study.set_user_attr("config", os.path.realpath(self.options.config))
        study.set_user_attr("metric", self.plan.objective.name)  # a later run's warm start checks it
        study.set_user_attr("baseline", baseline)
        study.set_user_attr("baseline_measurements", measurements)
        study.set_user_attr("baseline_others", self.baseline_others)
        return baseline, measurements

    def _next(self, started: float) -> Proposal | None:
        assert self.result is not None and self.proposer is not None
        budget = self.plan.budget
        self.result.stop_reason = budget.spent(self.finished, started)
        if self.result.stop_reason:
            return None
        proposal = self.proposer.propose()
        if proposal is None:
            self.result.stop_reason = EXHAUSTED
            self.result.rows += map(row_of, self.proposer.take_repeated())
        return proposal

    def _confirm(self, result: Result) -> None:
        if self.options.confirm <= 0 or result.failed or self.options.pareto:
            return
        assert self.applier is not None and self.measurer is not None
        self._confirming = True
        confirm(result, self.applier, self.measurer, self.backup, count=self.options.confirm,
                rounds=max(1, self.options.confirm_rounds), say=self.say, recover=self._recovered)
        self._confirming = False
        if self.options.minimal:
            self._minimize(result)

    def _minimize(self, result: Result) -> None:
        chosen = result.confirmed_best()
        if result.failed or chosen is None or not result.beyond_noise:
            self.say("the smallest change is not looked for: no best was confirmed beyond the noise")
            return
        assert self.applier is not None and self.measurer is not None
        minimize(result, chosen.params, self.backup, self.applier, self.measurer,
                 rounds=max(1, self.options.confirm_rounds), say=self.say, recover=self._recovered)

    def _kept_back(self, result: Result, best: Row, baseline: float) -> str:
        if self.options.pareto:
            return PARETO
        if result.minimal is not None and result.minimal.best_failed:
            self.say("the best failed when measured again: the backed-up values are left applied")
            return BEST_FAILED
        if result.measured_better():
            return ""
        # Never a configuration that measured no better, --keep-within-noise or not.
        result.verdict = result.verdict or "no trial measured better than the baseline"
        self.say(f"{result.verdict}: the backed-up values are left applied")
        return NOT_MEASURED_BETTER

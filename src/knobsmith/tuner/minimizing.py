"""The smallest change that keeps the gain: from the confirmed best, the knobs it changed are put
back to their backed-up values one at a time, the least important first; each step is measured
interleaved with the best, as the confirmation measures, and a knob stays changed only when
putting it back costs more than the noise. Each step is judged against the best, not against the
step before, so that small losses cannot add up unseen."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from knobsmith.atomic_write import write_atomically
from knobsmith.params import shellsafe, signals, state
from knobsmith.params.applying import Applier, same_value
from knobsmith.params.operations import keep_originals_before_change, values_of
from knobsmith.params.workload import Workload
from knobsmith.stagekit import StageKit
from knobsmith.tuner import report
from knobsmith.tuner.confirming import beyond_noise, interleave
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.guardrails import broken
from knobsmith.tuner.loop import BACKED_UP, BEST, MINIMAL
from knobsmith.tuner.measuring import Measurer, open_log
from knobsmith.tuner.plan import TuningPlan
from knobsmith.tuner.results import Confirmed, Ending, Result


@dataclass
class Step:
    """One knob put back, measured interleaved with the best."""

    knob: str
    best: Confirmed
    without: Confirmed  # the smallest change so far, with `knob` put back
    kept: bool = False  # `knob` stays changed
    verdict: str = ""


@dataclass
class Minimal:
    best: dict[str, Any]  # the confirmed best's values
    backup: dict[str, Any]
    values: dict[str, Any]  # the smallest change so far: the best with the knobs put back that may be
    steps: list[Step] = field(default_factory=list)
    runs: int = 0  # benchmark runs spent on the steps
    complete: bool = False
    note: str = ""  # why the search stopped before its end

    def _changed(self, values: Mapping[str, Any]) -> dict[str, Any]:
        return {name: value for name, value in values.items() if not same_value(value, self.backup.get(name))}

    @property
    def changed(self) -> dict[str, Any]:
        """The knobs the smallest change leaves changed, with their values."""
        return self._changed(self.values)

    @property
    def reverted(self) -> dict[str, Any]:
        """The knobs the best changed that are put back, with their backed-up values."""
        return {name: self.backup[name] for name in self._changed(self.best) if name not in self.changed}

    @property
    def measured(self) -> Step | None:
        """The step that measured the smallest change as it is; None while it is the best itself."""
        return next((step for step in reversed(self.steps) if not step.kept and step.without.measurements), None)

    @property
    def best_failed(self) -> str:
        """Why the best failed when a step measured it again ("" when it never did)."""
        return next((step.best.note for step in self.steps if step.best.note), "")


def least_important_first(names: Iterable[str], importance: Mapping[str, float]) -> list[str]:
    """Knobs without a rank first, then the ranked ones from the least important; ties in the
    configuration's order."""
    return sorted(names, key=lambda name: importance.get(name, -1.0))


def judge(result: Result, step: Step) -> None:
    """Whether putting the step's knob back keeps the gain. Every step is judged here alone, so
    that whatever else rules a configuration out belongs here too."""
    without, best = step.without, step.best
    if without.note:
        step.kept, step.verdict = True, f"putting it back failed: {without.note}"
        return
    if without.value is None or best.value is None:
        step.kept, step.verdict = True, "it could not be measured"
        return
    broke = broken(result.bounds, without.others)
    if broke:
        step.kept, step.verdict = True, f"putting it back breaks a guardrail: {broke}"
        return
    step.kept = beyond_noise(result, best, without)
    said = "worse beyond the noise" if step.kept else "within the noise"
    step.verdict = (f"{result.metric} {without.value:g} (spread {without.spread:g}) against the best's "
                    f"{best.value:g} (spread {best.spread:g}), {said}")


def minimize(result: Result, best: Mapping[str, Any], backup: Mapping[str, Any], applier: Applier,
             measurer: Measurer, *, rounds: int, say: Callable[[str], None],
             recover: Callable[[str], bool]) -> Minimal:
    """Looks for the smallest change from `backup` that keeps the gain of `best` (confirmed beyond
    the noise), fills `result.minimal` as it goes and answers it. A step that fails keeps its knob;
    `recover` (given what failed) puts the backed-up values back, and False from it ends the search,
    as does the best failing: the search is then not complete."""
    minimal = result.minimal = Minimal(dict(best), dict(backup), dict(best))
    order = least_important_first(minimal.changed, result.importance)
    say(f"looking for the smallest change that keeps the gain: the {len(order)} changed knobs put back one at a "
        f"time, the least important first, each step measured {rounds} times interleaved with the best")
    started = measurer.runs
    try:
        for knob in order:
            step = Step(knob, Confirmed("the best", None, dict(best)),
                        Confirmed(f"{knob} put back", None, {**minimal.values, knob: backup[knob]}))
            minimal.steps.append(step)
            if len(minimal.changed) == 1:
                # Putting the last one back is the baseline, which the confirmation measured worse.
                step.kept, step.verdict = True, "the backed-up values alone measured worse beyond the noise"
            else:
                broke = interleave([step.best, step.without], rounds, applier, measurer, "measuring", say=say,
                                   recover=recover)
                if broke or step.best.note:
                    minimal.note = (f"the backed-up values failed after {broke} failed" if broke
                                    else f"the best failed when measured again: {step.best.note}")
                    say(f"the search for the smallest change stopped: {minimal.note}")
                    return minimal
                judge(result, step)
            if not step.kept:
                minimal.values = dict(step.without.params)
            say(f"{knob} {'stays changed' if step.kept else 'is put back'}: {step.verdict}")
        minimal.complete = True
    finally:
        minimal.runs = measurer.runs - started
    return minimal


# -- on a finished run (knobsmith minimize)


@dataclass
class Finished:
    """What `knobsmith minimize` takes from a finished run's best.yaml."""

    path: str
    summary: dict[str, Any]
    result: Result
    best: dict[str, Any]
    backup: dict[str, str]


def read_finished(path: str, plan: TuningPlan) -> Finished:
    """The confirmed best, the backed-up values and the importances of a run of `plan`, read from
    its best.yaml; TuneError when it has no gain confirmed beyond the noise to keep."""
    import yaml

    try:
        with open(path, encoding="utf-8") as stream:
            summary = yaml.safe_load(stream)
    except (OSError, UnicodeDecodeError, yaml.YAMLError) as error:
        raise TuneError(f"{path} cannot be read: {str(error).splitlines()[0]}") from None
    if not isinstance(summary, dict) or summary.get("metric") != plan.objective.name:
        metric = summary.get("metric") if isinstance(summary, dict) else None
        raise TuneError(f"{path} is not the best.yaml of a run of {plan.config}: its metric is {metric!r}, "
                        f"not {plan.objective.name!r}")
    confirmation, values = summary.get("confirmation"), summary.get("values")
    if summary.get("beyond_noise") is not True or not isinstance(confirmation, list) or not isinstance(values, dict):
        raise TuneError(f"{path} holds no best confirmed beyond the noise, so there is no gain to keep: "
                        "only a run whose confirmation found one (tune --confirm, the default) has one")
    baseline = confirmation[0] if confirmation and isinstance(confirmation[0], dict) else {}
    backup = baseline.get("values") if baseline.get("label") == "baseline" else None
    if not isinstance(backup, dict) or set(values) - set(backup):
        raise TuneError(f"{path} does not hold the backed-up values of every parameter of its best")
    best = values_of(plan.cfg, plan.config, [(str(name), str(value)) for name, value in values.items()])
    backup = {str(name): str(value) for name, value in backup.items()}
    refused = shellsafe.refusals(backup, shellsafe.declarations(plan.cfg))
    if refused:
        raise TuneError(f"the backed-up values of {path} could not be put back safely: {'; '.join(refused)}; "
                        "nothing was changed")
    result = Result(str(summary["metric"]), str(summary.get("direction")), float(summary.get("baseline") or 0))
    result.bounds = plan.bounds
    importance = summary.get("importance")
    if isinstance(importance, dict):
        result.importance = {str(name): float(value) for name, value in importance.items()
                             if isinstance(value, (int, float))}
    return Finished(path, summary, result, best, backup)


@dataclass
class Minimized:
    """How `knobsmith minimize` ended."""

    result: Result  # its `minimal` is what the search came to
    ending: Ending
    interrupted: KeyboardInterrupt | None = None


def on_finished_run(config: str, path: str, *, rounds: int, say: Callable[[str], None],
                    benchmark_timeout: float | None, metric_timeout: float | None) -> Minimized:
    """Looks for the smallest change of the run whose best.yaml is `path`, leaves it applied, adds
    it to best.yaml under `minimal:` and says there what is left applied now. When the search
    stops before its end, the backed-up values are left applied if the best or they failed, else
    (an interruption, an error) the best."""
    plan = TuningPlan.load(config)
    finished = read_finished(path, plan)
    folder = os.path.dirname(os.path.abspath(path))
    applier = Applier(StageKit(), plan.cfg, Workload.from_config(plan.cfg, os.path.join(folder, "workload.log")))
    for line in keep_originals_before_change(plan.cfg, config):
        say(line)

    def recover(what: str) -> bool:
        outcome = applier.apply(finished.backup)
        if not outcome.ok:
            say(f"after {what} failed, the backed-up values failed too: {'; '.join(outcome.problems)}")
        return outcome.ok

    with signals.as_interrupts(), open_log(folder, "benchmark.log") as log:
        measurer = Measurer(plan, log, benchmark_timeout=benchmark_timeout, metric_timeout=metric_timeout)
        try:
            minimize(finished.result, finished.best, finished.backup, applier, measurer, rounds=rounds, say=say,
                     recover=recover)
        except KeyboardInterrupt as interruption:
            with signals.deferred():
                return Minimized(finished.result, _end(finished, applier, plan, config), interruption)
        except Exception as error:
            with signals.deferred():
                ending = _end(finished, applier, plan, config)
            raise TuneError(f"stopped by an error: {error}; left applied: {ending.describe()}") from error
    with signals.deferred():
        return Minimized(finished.result, _end(finished, applier, plan, config))


def _end(finished: Finished, applier: Applier, plan: TuningPlan, config: str) -> Ending:
    """Leaves what the search came to applied, and writes it to best.yaml."""
    # An interruption may come before the search has started.
    minimal = finished.result.minimal = finished.result.minimal or Minimal(finished.best, finished.backup,
                                                                           finished.best)
    if minimal.complete:
        wanted, values = MINIMAL, minimal.values
    elif minimal.note:
        wanted, values = BACKED_UP, finished.backup
    else:
        wanted, values = BEST, finished.best
    outcome = applier.apply(values)
    ending = Ending(wanted, dict(values), outcome.problems, outcome.ok)
    if ending.done:
        state.record_applied(state.key(plan.project, config), values, "minimize")
    finished.summary["minimal"] = report.minimal_summary(minimal)
    finished.summary["left_applied"] = ending.describe()
    write_atomically(finished.path, report.yaml_text(finished.summary), private=False)
    return ending

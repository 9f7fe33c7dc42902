"""A study's trials as a run's result: the rows of the report, and, for a fleet, its workers."""

from __future__ import annotations

from typing import Any

from knobsmith.tuner import fleet as fleets
from knobsmith.tuner.labels import BROKEN, DUPLICATE_OF, FAILURE, OTHERS, PRIOR, failed, shown
from knobsmith.tuner.results import Result, Row


def row_of(trial: Any) -> Row:
    earlier = trial.user_attrs.get(DUPLICATE_OF)
    if earlier is not None:
        return Row(trial.number, "REPEAT", None, dict(trial.params), f"repeats trial {earlier}: not run again",
                   worker=str(trial.user_attrs.get("worker", "")), repeats=int(earlier))
    prior = trial.user_attrs.get(PRIOR)
    if prior is not None:
        failure, broken = trial.user_attrs.get(FAILURE), trial.user_attrs.get(BROKEN)
        return Row(trial.number, PRIOR.upper(), None if failure else trial.values[0], dict(trial.params),
                   f"from {prior}, not measured here" + (f"; failed there: {failure}" if failure else "")
                   + (f"; out of bound there: {broken}" if broken else ""))
    # A failed trial is told complete with a placeholder value (see proposing.tell_failed).
    state = "FAIL" if failed(trial) else trial.state.name
    value = trial.values[0] if state == "COMPLETE" else None  # the first objective, of --pareto's too
    note = trial.user_attrs.get(FAILURE) or ("cut short" if state == "FAIL" else "")
    raw = trial.user_attrs.get("raw")
    return Row(trial.number, state, value, dict(trial.params), note,
               dict(trial.user_attrs.get("in_effect", {})),
               list(trial.user_attrs.get("measurements", [] if value is None else [value])),
               worker=str(trial.user_attrs.get("worker", "")), raw=None if raw is None else float(raw),
               others={name: [float(value) for value in values]
                       for name, values in trial.user_attrs.get(OTHERS, {}).items()},
               broken=str(trial.user_attrs.get(BROKEN, "")))


def rows_of(study: Any) -> list[Row]:
    return [row_of(trial) for trial in study.get_trials(deepcopy=False) if shown(trial)]


def workers_of(study: Any, result: Result) -> dict[str, dict[str, Any]]:
    """Each worker of a fleet's study: its host, its own baseline, how many trials it measured
    and the best of them."""
    found: dict[str, dict[str, Any]] = {}
    for name, member in sorted(fleets.members(study).items()):
        own = [row for row in result.completed() if row.worker == name]
        best = result.best(own)
        found[name] = {
            "host": member.host,
            "baseline": member.baseline,
            "trials": sum(1 for row in result.rows if row.worker == name and row.repeats is None),
            "completed": len(own),
            "best_trial": None if best is None else best.number,
            "best": None if best is None else best.value,
        }
    return found


"""A study's trials as a run's result: the rows of the report, and, for a fleet, its workers."""

from __future__ import annotations

import statistics
from typing import Any

from knobsmith.tuner import fleet as fleets
from knobsmith.tuner.proposing import failed
from knobsmith.tuner.results import Result, Row


def row_of(trial: Any) -> Row:
    # A failed trial is told complete with a placeholder value (see proposing.tell_failed).
    state = "FAIL" if failed(trial) else trial.state.name
    value = trial.value if state == "COMPLETE" else None
    note = trial.user_attrs.get("failure") or ("cut short" if state == "FAIL" else "")
    raw = trial.user_attrs.get("raw")
    return Row(trial.number, state, value, dict(trial.params), note,
               dict(trial.user_attrs.get("in_effect", {})),
               list(trial.user_attrs.get("measurements", [] if value is None else [value])),
               worker=str(trial.user_attrs.get("worker", "")), raw=None if raw is None else float(raw))


def shown(trial: Any) -> bool:
    """A trial the report lists: measured, failed or cut short; not one answered with an earlier
    trial's result, one a fleet set aside before running it, or one being measured now."""
    return (trial.state.name != "RUNNING" and "duplicate_of" not in trial.user_attrs
            and "not_run" not in trial.user_attrs)


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
            "trials": sum(1 for row in result.rows if row.worker == name),
            "completed": len(own),
            "best_trial": None if best is None else best.number,
            "best": None if best is None else best.value,
        }
    return found


def fleet_result(study: Any) -> Result:
    """The result of a fleet's whole study, as any machine can read it from the database."""
    settings = fleets.stored_settings(study)
    if settings is None:
        raise ValueError(f"the study {study.study_name} is not a fleet's (no worker ever joined it)")
    baselines = [member.baseline for member in fleets.members(study).values()]
    if settings.relative:
        result = Result.of_gains(settings.metric)
    else:
        result = Result(settings.metric, settings.direction, statistics.median(baselines) if baselines else 0.0)
    result.rows = rows_of(study)
    result.workers = workers_of(study, result)
    return result

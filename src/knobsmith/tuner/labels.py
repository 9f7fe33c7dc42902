"""The labels knobsmith keeps on a study's trials (as user attributes), and what they tell of a
trial. They are stored: a study written by an earlier version is read with the same names."""

from __future__ import annotations

from typing import Any

FAILURE = "failure"  # why the trial's configuration failed; it is told infeasible
BROKEN = "broken_bound"  # which guardrail its measurements broke: measured, but infeasible
OTHERS = "others"  # the evaluations after the objective: each one's measurements
CUT_SHORT = "cut_short"  # interrupted or killed: nothing was learned of its configuration
DUPLICATE_OF = "duplicate_of"  # answered with the result of an earlier trial it repeats
NOT_RUN = "not_run"  # set aside by a fleet's worker before it ran
CLAIM = "claim"  # the token of the fleet's worker that made the trial its own
PRIOR = "prior"  # taken from an earlier run (warm_start): the source and its trial; never measured here


def failed(trial: Any) -> bool:
    """A trial that failed: one told infeasible with a placeholder value, or one told FAIL (an
    interruption, or a study written when failures were told so)."""
    return bool(trial.state.name == "FAIL" or FAILURE in trial.user_attrs)


def stand_in(trial: Any) -> bool:
    """A trial that was never run itself: answered with an earlier one's result, or set aside."""
    return DUPLICATE_OF in trial.user_attrs or NOT_RUN in trial.user_attrs


def was_measured(trial: Any) -> bool:
    """A trial whose configuration was tried: completed, or failed for a reason of its own (not
    cut short by an interruption or a kill, a stand-in for an earlier trial, or a prior)."""
    if DUPLICATE_OF in trial.user_attrs or PRIOR in trial.user_attrs or trial.user_attrs.get(CUT_SHORT):
        return False
    return bool(trial.state.name == "COMPLETE" or (trial.state.name == "FAIL" and FAILURE in trial.user_attrs))


def measured_failure(trial: Any) -> bool:
    """A trial whose configuration was tried and failed (counted against the share that may fail)."""
    return was_measured(trial) and FAILURE in trial.user_attrs


def in_flight(trial: Any) -> bool:
    """A trial some worker is measuring now (or was, until its heartbeat is found missing). A
    trial counts from its claim on, which comes after its first heartbeat: a worker killed
    before that leaves a trial nobody waits for."""
    return bool(trial.state.name == "RUNNING" and CLAIM in trial.user_attrs and not stand_in(trial))


def shown(trial: Any) -> bool:
    """A trial the report lists: measured, failed, cut short, or answered with the result of an
    earlier trial it repeats; not one a fleet set aside before running it, one being measured now, or one
    queued to be (a warm start's)."""
    return bool(trial.state.name not in ("RUNNING", "WAITING") and NOT_RUN not in trial.user_attrs)

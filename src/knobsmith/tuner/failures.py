"""The ways a tuning run or one of its trials can fail."""

from __future__ import annotations

# The share of the budget that may fail before a run stops (tune --max-failed).
MAX_FAILED = 0.5
# A fleet's trial abandoned, a worker cut off from its database (here, not in fleet, so that the
# command line's help texts need not import the fleet).
HEARTBEAT = 10  # seconds between a running trial's signs of life
STALE_AFTER = 3  # heartbeats missed before a running trial counts as abandoned
RECONNECT = 300  # seconds a worker tries to reach the study's database again before it stops


class TuneError(Exception):
    """A failure that ends the run; the caller restores the backed-up values."""


class TrialFailed(Exception):
    """A trial that could not be measured (its values did not take, its benchmark or metric
    failed); the trial is recorded as failed with this text as its note."""

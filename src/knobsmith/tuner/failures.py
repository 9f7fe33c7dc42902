"""The ways a tuning run or one of its trials can fail."""

from __future__ import annotations

# The share of the budget that may fail before a run stops (tune --max-failed).
MAX_FAILED = 0.5


class TuneError(Exception):
    """A failure that ends the run; the caller restores the backed-up values."""


class TrialFailed(Exception):
    """A trial that could not be measured (its values did not take, its benchmark or metric
    failed); the trial is recorded as failed with this text as its note."""

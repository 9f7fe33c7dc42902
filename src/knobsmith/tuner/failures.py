"""The ways a tuning run or one of its trials can fail."""

from __future__ import annotations


class TuneError(Exception):
    """A failure that ends the run; the caller restores the backed-up values."""


class TrialFailed(Exception):
    """A trial that could not be measured (its values did not take, its benchmark or metric
    failed); the trial is recorded as failed with this text as its note."""

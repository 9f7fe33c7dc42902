"""Where a run's trials are kept and what proposes them: a study in the report folder's journal,
at a URL, or in a fleet's database, its sampler, and a fleet's study read back as a result."""

from __future__ import annotations

import copy
import fcntl
import os
import random
import statistics
import time
import warnings
from collections.abc import Mapping
from typing import Any

from knobsmith.tuner import fleet as fleets
from knobsmith.tuner import importance
from knobsmith.tuner.database import first_line, hidden, redacted
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.labels import in_flight, was_measured
from knobsmith.tuner.plan import Bound
from knobsmith.tuner.proposing import infeasibility, optuna_module, quiet_constraints, start_up_trials
from knobsmith.tuner.proposing import sampler as host_sampler
from knobsmith.tuner.results import Result
from knobsmith.tuner.trials import rows_of, workers_of

JOURNAL = "study.journal"
OPEN_ATTEMPTS = 5
CREATION_RACE = ("already exists", "Duplicate entry", "duplicate key")


class KernelLock:
    """Locks the journal with flock(2): a run killed while writing holds no lock afterwards,
    where a lock file left behind would stall the resumed run for its grace period. (The
    backend only calls acquire and release.)"""

    def __init__(self, path: str) -> None:
        self.path = path + ".lock"
        self.fd = -1

    def acquire(self) -> bool:
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return True

    def release(self) -> None:
        fd, self.fd = self.fd, -1
        os.close(fd)  # closing the only descriptor of the lock releases it


def journal(folder: str) -> Any:
    """The journal file of the report folder."""
    return journal_file(os.path.join(folder, JOURNAL))


def journal_file(path: str) -> Any:
    optuna_module()
    from optuna.storages import JournalStorage
    from optuna.storages.journal import JournalFileBackend

    return JournalStorage(JournalFileBackend(path, lock_obj=KernelLock(path)))  # type: ignore[arg-type]


def storage_for(folder: str, url: str | None) -> Any:
    """The storage named by `url`, else the journal file of the report folder."""
    return url if url else journal(folder)


def with_driver(url: str) -> str:
    """`url` with the PostgreSQL driver the fleet installs (psycopg) when it names none: the
    default of SQLAlchemy has changed between its versions."""
    scheme, separator, rest = url.partition("://")
    return f"postgresql+psycopg://{rest}" if separator and scheme in ("postgresql", "postgres") else url


def database(url: str, heartbeat: int | None = None) -> Any:
    """A fleet's database; a worker's has heartbeats on, so that abandoned trials can be told apart."""
    optuna = optuna_module()
    shown, url = url, with_driver(url)
    for attempt in range(OPEN_ATTEMPTS):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", optuna.exceptions.ExperimentalWarning)
                return optuna.storages.RDBStorage(
                    url, heartbeat_interval=heartbeat,
                    grace_period=None if heartbeat is None else fleets.STALE_AFTER * heartbeat,
                    engine_kwargs={"pool_pre_ping": True})
        except ImportError as error:
            raise TuneError(f"the study's database needs a driver that is not installed ({error}): "
                            "pip install 'knobsmith[fleet]'") from None
        except Exception as error:  # the database's own words: unreachable, refused, unknown
            # Workers that start together race to create the tables and note their version; the
            # losers find them made (PostgreSQL, SQLite) or the version noted (MySQL, MariaDB).
            if attempt + 1 == OPEN_ATTEMPTS or not any(word in str(error) for word in CREATION_RACE):
                raise TuneError(f"the study's database {redacted(shown)} cannot be used: "
                                f"{hidden(first_line(error), shown)}") from None
            time.sleep(0.2 + random.random())
    raise AssertionError("unreachable")


def sampler(budget: int, seed: int, *, shared: bool = False, bounds: Mapping[str, Bound] | None = None) -> Any:
    """The sampler of a study of `budget` trials, with the guardrails `bounds`. A fleet's (`shared`)
    keeps its proposals away from the trials other workers are measuring now (they count as the
    worst value until they end), so that parallel workers do not all try one region."""
    optuna = optuna_module()
    if not shared:
        return host_sampler(optuna, budget, seed, bounds)
    fleet_tpe = type("TPESampler", (OneReadPerTrial, optuna.samplers.TPESampler), {})
    with quiet_constraints(optuna):  # constant_liar is experimental too
        return fleet_tpe(n_startup_trials=start_up_trials(budget), seed=seed, multivariate=False,
                         constant_liar=True, constraints_func=infeasibility)


class OneReadPerTrial:
    """Mixed into a sampler that reads the study's trials once per parameter (TPE with the
    constant liar does, to count the running ones): it reads them once, when the trial is created,
    and proposes every parameter from that. In a fleet's database each read of a large study
    takes long, and one read per trial is as current as the trial's own start."""

    held: tuple[int, Any] | None = None  # the trial's number, and the study as read for it

    def before_trial(self, study: Any, trial: Any) -> None:
        self.held = (trial.number, ReadOnce(study, study.get_trials(deepcopy=False)))
        super().before_trial(study, trial)  # type: ignore[misc]

    def sample_independent(self, study: Any, trial: Any, name: str, distribution: Any) -> Any:
        if self.held is not None and self.held[0] == trial.number:
            study = self.held[1]
        return super().sample_independent(study, trial, name, distribution)  # type: ignore[misc]

    def after_trial(self, study: Any, trial: Any, state: Any, values: Any) -> None:
        self.held = None
        super().after_trial(study, trial, state, values)  # type: ignore[misc]


class ReadOnce:
    """A study whose trials are those read once (`trials`); all else is the study's own."""

    def __init__(self, study: Any, trials: list[Any]) -> None:
        self.study = study
        self.read = trials

    def __getattr__(self, name: str) -> Any:
        return getattr(self.study, name)

    def get_trials(self, deepcopy: bool = True, states: Any = None) -> list[Any]:
        found = [trial for trial in self.read if states is None or trial.state in states]
        return copy.deepcopy(found) if deepcopy else found

    def _get_trials(self, deepcopy: bool = True, states: Any = None, use_cache: bool = False) -> list[Any]:
        return self.get_trials(deepcopy, states)


def create(storage: Any, name: str, direction: str | list[str], chosen: Any) -> Any:
    """The study `name` in `storage`: the one kept there, or a new one (of several objectives, given
    a direction for each)."""
    directions = [direction] if isinstance(direction, str) else direction
    return optuna_module().create_study(storage=storage, sampler=chosen, study_name=name, directions=directions,
                                        load_if_exists=True)


def names(storage: Any) -> list[str]:
    return list(optuna_module().get_all_study_names(storage))


def fleet_study(url: str, name: str) -> Any:
    """A fleet's study, read from its database by any machine."""
    storage = database(url)
    try:
        return optuna_module().load_study(study_name=name, storage=storage)
    except KeyError:
        raise TuneError(f"there is no study {name} in {redacted(url)}") from None


def fleet_result(study: Any) -> Result:
    """The result of a fleet's whole study as it stands: every worker's trials, and how many are
    measured and being measured."""
    settings = fleets.stored_settings(study)
    if settings is None:
        raise TuneError(f"the study {study.study_name} is not a fleet's (no worker ever joined it)")
    baselines = [member.baseline for member in fleets.members(study).values()]
    if settings.relative:
        result = Result.of_gains(settings.metric)
    else:
        result = Result(settings.metric, settings.direction, statistics.median(baselines) if baselines else 0.0)
    result.rows = rows_of(study)
    # The other evaluations as the workers measured them, and the bounds they agreed on.
    result.others = list(dict.fromkeys(name for row in result.rows for name in row.others))
    result.bounds = {name: Bound(kind, float(limit)) for name, bound in settings.guardrails.items()
                     for kind, limit in bound.items()}
    result.workers = workers_of(study, result)
    result.importance = importance.rank(study)
    trials = study.get_trials(deepcopy=False)
    running = sum(map(in_flight, trials))
    result.stop_reason = f"{sum(map(was_measured, trials))} trials measured" + (
        f", {running} being measured now" if running else "")
    return result

"""A fleet: several hosts, each a worker, tuning alike workloads as one study in a shared database.

The study lives in a relational database (PostgreSQL, MySQL, or SQLite for workers of one
machine) that every worker reads and writes through Optuna's storage. What a worker needs to
share beyond Optuna's own trials is kept in the study's user attributes:

- "fleet": what the study measures (the metric, its direction, whether values are gains over
  each host's baseline) and the values each parameter may take, written by the first worker and
  checked by every other;
- "worker:<name>": one record per worker (its host, its backup, its baseline), so that a worker
  restarted with the same command finds its own backup and puts it back;
- "target_reached": the trial that reached the configuration's target, which stops every worker.

Every trial carries its worker and host, and its raw metric. A worker proves it is alive by a
heartbeat per trial; a trial whose heartbeat stopped is marked failed by the next worker that
looks. The budget is counted over the whole study: a worker proposes a trial only while the
trials measured and being measured are fewer than the budget, and a configuration is never
measured twice, whichever worker measured it. Both checks run again after the trial is created,
when every other worker can see it, so two workers never both pass them for the last slot or for
the same configuration (of two that race, at least one sees the other).
"""

from __future__ import annotations

import contextlib
import random
import re
import socket
import threading
import time
import warnings
import zlib
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

from knobsmith.tuner.database import Reconnecting
from knobsmith.tuner.failures import HEARTBEAT as HEARTBEAT  # the fleet's own, defined where the help reads it
from knobsmith.tuner.failures import RECONNECT as RECONNECT
from knobsmith.tuner.failures import STALE_AFTER as STALE_AFTER
from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.labels import CLAIM, in_flight, was_measured
from knobsmith.tuner.proposing import configuration
from knobsmith.tuner.space import difference

FLEET = "fleet"
TARGET_REACHED = "target_reached"
WORKER_PREFIX = "worker:"
POLL = 0.5  # seconds between looks at the study while waiting for other workers
WORKER_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}")


def busy(trials: Iterable[Any]) -> str:
    """The trials being measured, and by which worker: "trial 5 by w1, trial 7 by w2"."""
    return ", ".join(f"trial {trial.number} by {trial.user_attrs.get('worker', '?')}"
                     for trial in trials if in_flight(trial))


class Waiting:
    """Says what a worker waits for when it starts waiting, and again every REMIND seconds, with
    how long it has waited: a worker that waits is never silent for long."""

    REMIND = 30.0

    def __init__(self, say: Callable[[str], None], worker: str, heartbeat: int) -> None:
        self.say, self.worker, self.heartbeat = say, worker, heartbeat
        self.since: float | None = None
        self.reminded = 0.0

    def wait(self, what: str) -> None:
        """Waits one look at the study for `what`."""
        now = time.monotonic()
        if self.since is None:
            self.since = self.reminded = now
            self.say(f"worker {self.worker}: waiting for {what}; a trial whose worker stops sending heartbeats "
                     f"is failed after {STALE_AFTER * self.heartbeat} s")
        elif now - self.reminded >= self.REMIND:
            self.reminded = now
            self.say(f"worker {self.worker}: still waiting, for {now - self.since:.0f} s now, for {what}")
        time.sleep(POLL)


def default_worker() -> str:
    """The host's name, cut to what a worker name may hold."""
    name = re.sub(r"[^A-Za-z0-9._-]", "_", socket.gethostname())[:64]
    return name if WORKER_NAME.fullmatch(name) else "worker"


def check_worker_name(name: str) -> str:
    if not WORKER_NAME.fullmatch(name):
        raise TuneError(f"--worker {name!r}: a worker's name is 1 to 64 letters, digits, '.', '_' or '-', "
                        "beginning with a letter or digit")
    return name


@contextlib.contextmanager
def quiet_asking() -> Iterator[None]:
    """Optuna warns on every ask that heartbeats are meant for its own optimize loop; the fleet
    records them itself (see Heartbeat)."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Heartbeat of storage", category=UserWarning)
        yield


def worker_seed(seed: int, worker: str) -> int:
    """Each worker's own seed: workers given the same --seed must not propose alike."""
    return seed + zlib.crc32(worker.encode()) % 1_000_003



def counts(trial: Any) -> bool:
    """A trial that takes a place of the budget: measured, or being measured."""
    return was_measured(trial) or in_flight(trial)


@dataclass
class Member:
    """One worker's record in the study."""

    name: str
    host: str
    backup: dict[str, str]
    baseline: float
    baseline_measurements: list[float] = field(default_factory=list)

    def stored(self) -> dict[str, Any]:
        return {"host": self.host, "backup": self.backup, "baseline": self.baseline,
                "baseline_measurements": self.baseline_measurements,
                "joined": time.strftime("%Y-%m-%dT%H:%M:%S%z")}

    @classmethod
    def from_stored(cls, name: str, stored: Any) -> Member:
        if not isinstance(stored, dict) or not isinstance(stored.get("backup"), dict):
            raise TuneError(f"the study's record of worker {name} is not one knobsmith wrote")
        return cls(name, str(stored.get("host", "")), {str(k): str(v) for k, v in stored["backup"].items()},
                   float(stored["baseline"]), [float(value) for value in stored.get("baseline_measurements", [])])


def members(study: Any) -> dict[str, Member]:
    return {key[len(WORKER_PREFIX):]: Member.from_stored(key[len(WORKER_PREFIX):], value)
            for key, value in study.user_attrs.items() if key.startswith(WORKER_PREFIX)}


@dataclass
class Settings:
    """What every worker of a study must agree on."""

    metric: str
    direction: str  # of the raw metric: "maximize" or "minimize"
    relative: bool
    # The values each parameter may take (space.described); None in a study written before it was kept.
    space: dict[str, Any] | None = field(default=None, compare=False)
    # The guardrails, as {evaluation: {"max" or "min": bound}}; a trial breaking one is infeasible for all.
    guardrails: dict[str, dict[str, float]] = field(default_factory=dict, compare=False)

    def stored(self) -> dict[str, Any]:
        kept: dict[str, Any] = {"metric": self.metric, "direction": self.direction, "relative": self.relative}
        if self.guardrails:
            kept["guardrails"] = self.guardrails
        return kept if self.space is None else {**kept, "space": self.space}

    @property
    def study_direction(self) -> str:
        return "maximize" if self.relative else self.direction  # a gain is larger when better


def stored_settings(study: Any) -> Settings | None:
    stored = study.user_attrs.get(FLEET)
    if not isinstance(stored, dict):
        return None
    space = stored.get("space")
    guardrails = stored.get("guardrails")
    return Settings(str(stored["metric"]), str(stored["direction"]), bool(stored["relative"]),
                    space if isinstance(space, dict) else None, guardrails if isinstance(guardrails, dict) else {})


def _guardrails(guardrails: dict[str, dict[str, float]]) -> str:
    return ", ".join(f"{name} {kind} {limit:g}" for name, bound in guardrails.items()
                     for kind, limit in bound.items()) or "none"


def gain(raw: float, baseline: float, direction: str) -> float:
    """Percent better than `baseline` (positive is better)."""
    better = raw - baseline if direction == "maximize" else baseline - raw
    return better / abs(baseline) * 100


class Fleet:
    """This worker's view of the study it shares."""

    def __init__(self, name: str, settings: Settings, heartbeat: int = HEARTBEAT) -> None:
        self.name = name
        self.host = socket.gethostname()
        self.settings = settings
        self.heartbeat = heartbeat

    def key(self) -> str:
        return WORKER_PREFIX + self.name

    # -- joining

    def agree(self, study: Any) -> None:
        """Writes the study's settings when it has none yet, and refuses to join a study that
        measures something else or searches other values (a study written before its space was
        kept is joined as before: its trials outside this worker's space are never applied). Read
        again after writing: of two first workers that differ, the one whose settings were
        overwritten finds out."""
        found = stored_settings(study)
        if found is None:
            if "backup" in study.user_attrs:
                raise TuneError(f"the study {study.study_name} holds a run of a single host, not a fleet's: "
                                "--study NAME names another")
            study.set_user_attr(FLEET, self.settings.stored())
            found = stored_settings(study)
        if found != self.settings:
            assert found is not None
            relative = "gains over each host's baseline (--relative)" if found.relative else "the raw metric"
            raise TuneError(f"the study {study.study_name} measures {found.metric} ({found.direction}, as "
                            f"{relative}); this worker would record {self.settings.metric} "
                            f"({self.settings.direction}{', as gains' if self.settings.relative else ''})")
        if found.guardrails != self.settings.guardrails:
            raise TuneError(f"the study {study.study_name} keeps the guardrails {_guardrails(found.guardrails)}; "
                            f"this worker's configuration gives {_guardrails(self.settings.guardrails)}: every worker "
                            "of a study keeps the same bounds, or --study NAME names another study")
        differs = difference(found.space, self.settings.space) if found.space and self.settings.space else ""
        if differs:
            raise TuneError(f"the study {study.study_name} searches other values than this worker's configuration: "
                            f"{differs}; every worker of a study searches the same parameters, or --study NAME "
                            "names another study")

    def member(self, study: Any) -> Member | None:
        stored = study.user_attrs.get(self.key())
        return None if stored is None else Member.from_stored(self.name, stored)

    def join(self, study: Any, member: Member) -> None:
        study.set_user_attr(self.key(), member.stored())

    def own_running(self, study: Any) -> list[Any]:
        return [trial for trial in study.get_trials(deepcopy=False)
                if trial.state.name == "RUNNING" and trial.user_attrs.get("worker") == self.name]

    def settle_own(self, study: Any, say: Callable[[str], None]) -> list[int]:
        """The numbers of the trials this worker left running when it stopped, now marked failed.
        A trial whose heartbeat is still fresh may be another live process of the same name: it is
        given the time a heartbeat takes to go stale, and then this one refuses to run."""
        left = self.own_running(study)
        numbers = [trial.number for trial in left]
        deadline = time.monotonic() + (STALE_AFTER + 1) * self.heartbeat
        if left:
            say(f"worker {self.name}: trial {', '.join(map(str, numbers))} was left running when it stopped; "
                f"waiting up to {(STALE_AFTER + 1) * self.heartbeat} s for its heartbeat to go stale (another "
                "process of this worker may still be measuring it)")
        while left and time.monotonic() < deadline:
            self.fail_stale(study)
            left = self.own_running(study)
            if left:
                time.sleep(min(1.0, self.heartbeat))
        if left:
            raise TuneError(f"worker {self.name} is measuring trial {left[0].number} of the study "
                            f"{study.study_name} in another process: give this one its own --worker NAME")
        return numbers

    # -- the shared budget

    def fail_stale(self, study: Any) -> None:
        """Marks failed the running trials whose worker stopped sending heartbeats; not while this
        worker could not reach the database lately, since the others could not beat either."""
        import optuna

        storage = study._storage
        lately = time.monotonic() - STALE_AFTER * self.heartbeat
        if isinstance(storage, Reconnecting) and storage.unreachable_at > lately:
            return
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", optuna.exceptions.ExperimentalWarning)
            optuna.storages.fail_stale_trials(study)

    def claim(self, trial: Any) -> str:
        """Marks a new trial as this worker's, before any other worker can judge it."""
        token = f"{self.name}:{time.time_ns()}:{random.getrandbits(32)}"
        trial.set_user_attr("worker", self.name)
        trial.set_user_attr("host", self.host)
        trial.set_user_attr(CLAIM, token)
        return token

    @staticmethod
    def admit(trials: Iterable[Any], token: str, values: dict[str, Any], budget: int) -> tuple[str, Any] | None:
        """Why the new trial (the one claimed with `token`) must not run: ("budget", None) when
        the others measured or are measuring the whole budget, ("duplicate", earlier) when its
        configuration is measured or being measured; None when it may run."""
        others = [trial for trial in trials if trial.user_attrs.get(CLAIM) != token and counts(trial)]
        if len(others) >= budget:
            return "budget", None
        key = configuration(values)
        # A measured trial first: its result can be told to the sampler.
        for trial in sorted(others, key=lambda trial: not was_measured(trial)):
            if len(trial.params) == len(values) and configuration(trial.params) == key:
                return "duplicate", trial
        return None

    def beat(self, study: Any, trial: Any) -> Heartbeat:
        return Heartbeat(study, trial, self.heartbeat)


class Heartbeat:
    """Tells the study, every few seconds while a trial runs, that its worker is alive."""

    def __init__(self, study: Any, trial: Any, interval: int) -> None:
        self.storage = study._storage
        # A beat missed while the database is away is not waited for: the next one is on time.
        self.beats: Any = self.storage.storage if isinstance(self.storage, Reconnecting) else self.storage
        self.trial_id = trial._trial_id
        self.interval = interval
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, name="knobsmith-heartbeat", daemon=True)

    def __enter__(self) -> Heartbeat:
        self.storage.record_heartbeat(self.trial_id)
        self.thread.start()
        return self

    def __exit__(self, *_exc: object) -> None:
        self.stop.set()
        self.thread.join()

    def _run(self) -> None:
        while not self.stop.wait(self.interval):
            try:
                self.beats.record_heartbeat(self.trial_id)
            except Exception:
                if isinstance(self.storage, Reconnecting):
                    self.storage.unreachable()

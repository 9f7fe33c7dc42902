"""A study's proposals: its sampler, and how a configuration that was already measured is never
measured again."""

from __future__ import annotations

import contextlib
import math
import os
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

from knobsmith.tuner.failures import TuneError
from knobsmith.tuner.labels import BROKEN, DUPLICATE_OF, FAILURE, failed, was_measured

if TYPE_CHECKING:
    from knobsmith.tuner.plan import Bound

# Proposals in a row that repeat measured configurations before the sampler is set aside for a
# random proposal, and random proposals before the space counts as exhausted.
REPEATS_BEFORE_RANDOM = 8
RANDOM_ATTEMPTS = 64


def optuna_module() -> Any:
    # OpenBLAS threads spinning over the sampler's small matrices slow it down (threefold on two
    # busy cores). The variable is read when NumPy and SciPy (each with its own OpenBLAS) load,
    # and is not left for the commands a run starts.
    single = "OPENBLAS_NUM_THREADS" not in os.environ and "numpy" not in sys.modules
    if single:
        os.environ["OPENBLAS_NUM_THREADS"] = "1"
    try:
        import optuna

        if single:
            with contextlib.suppress(ImportError):
                import scipy.linalg  # noqa: F401
    except ImportError:
        raise TuneError("knobsmith tune needs Optuna: pip install 'knobsmith[tune]'") from None
    finally:
        if single:
            del os.environ["OPENBLAS_NUM_THREADS"]
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    return optuna


# The share of the budget proposed at random before TPE takes over, where the light GP cannot run
# (no SciPy): a third measured best over the suite of noisy problems of
# benchmarks/bench_samplers.py at 30 trials; univariate TPE beat the multivariate one there.
START_UP_SHARE = 1 / 3
MIN_START_UP = 4
# The GP's random start: 8 trials of 30 measured best; fewer in a short run, so that the model
# still proposes most of it.
GP_START_UP = 8


def start_up_trials(budget: int) -> int:
    return max(MIN_START_UP, round(budget * START_UP_SHARE))


def random_starts(budget: int) -> int:
    """The random proposals a host's sampler makes before its model takes over; told without
    importing the model's SciPy and NumPy, which `check` does not load."""
    from importlib.util import find_spec

    usable = all(find_spec(name) is not None for name in ("numpy", "scipy"))
    return min(GP_START_UP, start_up_trials(budget)) if usable else start_up_trials(budget)


def sampler(optuna: Any, budget: int, seed: int, bounds: Mapping[str, Bound] | None = None) -> Any:
    """The light Gaussian-process sampler, which measured best on the suite, modelling each of the
    guardrails `bounds`; TPE without SciPy (a trial breaking a guardrail is infeasible to both)."""
    try:
        from knobsmith.tuner import gp
    except ImportError:
        return tpe_sampler(optuna, budget, seed)
    return gp.make(optuna, random_starts(budget), seed, constraints_func=infeasibility, bounds=bounds)


def tpe_sampler(optuna: Any, budget: int, seed: int) -> Any:
    with quiet_constraints(optuna):
        return optuna.samplers.TPESampler(n_startup_trials=start_up_trials(budget), seed=seed, multivariate=False,
                                          constraints_func=infeasibility)


def sampler_name(chosen: Any) -> str:
    """The sampler as the output and best.yaml name it."""
    return getattr(chosen, "label", None) or ("tpe" if type(chosen).__name__ == "TPESampler"
                                              else type(chosen).__name__)


@contextlib.contextmanager
def quiet_constraints(optuna: Any) -> Iterator[None]:
    """Silences the warning that `constraints_func` is experimental (or, lately, to be replaced):
    it is how the sampler learns of every failed trial, those of a resumed study's runs too."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", optuna.exceptions.ExperimentalWarning)
        warnings.simplefilter("ignore", FutureWarning)
        yield


def infeasibility(trial: Any) -> tuple[float]:
    """The sampler's constraint: a failed trial, or one that broke a guardrail, is infeasible (> 0),
    so that the sampler steers away from where it failed instead of ignoring it."""
    return (1.0,) if FAILURE in trial.user_attrs or BROKEN in trial.user_attrs else (0.0,)


def placeholder(study: Any, direction: str, baseline: float, index: int = 0) -> float:
    """The value a failed trial is told with (for its objective `index`): the worst measured so far,
    else the baseline (0 for a further objective). The sampler sees it only as infeasible; a real
    value from the study keeps the objective's range as measured, where an infinite or invented one
    would skew samplers that scale the values."""
    values = [trial.values[index] for trial in study.get_trials(deepcopy=False)
              if trial.state.name == "COMPLETE" and not failed(trial) and trial.values
              and math.isfinite(trial.values[index])]
    if not values:
        return baseline if index == 0 else 0.0
    worst: float = min(values) if direction == "maximize" else max(values)
    return worst


def tell_failed(study: Any, trial: Any, note: str, baseline: float, *, skip_if_finished: bool = False) -> Any:
    """Tells the study that `trial` failed (`note` says why): complete, so that the sampler's
    constraint is computed for it, with a placeholder value, and infeasible."""
    trial.set_user_attr(FAILURE, note)
    values = [placeholder(study, direction.name.lower(), baseline, index)
              for index, direction in enumerate(study.directions)]
    return study.tell(trial, values, skip_if_finished=skip_if_finished)


def configuration(values: dict[str, Any]) -> tuple[tuple[str, str], ...]:
    """A configuration as a key: 5 and 5.0 are the same value, as a set command writes them."""
    def text(value: Any) -> str:
        if isinstance(value, float):
            value = round(value, 12)  # a stored 0.30000000000000004 is the 0.3 that was set
            return str(int(value)) if value.is_integer() else repr(value)
        return str(value)

    return tuple(sorted((name, text(value)) for name, value in values.items()))


class Proposer:
    """Asks the study for configurations it has not measured yet.

    A proposal that repeats a measured configuration is told that configuration's known result
    (marked `duplicate_of`) without running anything, so the sampler learns from it; after a
    few in a row, a random proposal is tried instead; when random proposals repeat too, the
    space is exhausted and `propose` returns None."""

    def __init__(self, study: Any, space: dict[str, Callable[[Any], Any]], seed: int,
                 baseline: float = 0.0) -> None:
        self.study = study
        self.baseline = baseline  # a failed trial's placeholder while nothing was measured
        self.optuna = optuna_module()
        self.space = space
        self.seed = seed
        self.measured: dict[tuple[tuple[str, str], ...], Any] = {}
        self.learned: set[int] = set()  # the trials (by id) in `measured`: a finished trial never changes
        self.repeated: list[Any] = []  # the trials told as repeats since `take_repeated` last
        self.learn(study.get_trials(deepcopy=False))

    def learn(self, trials: Iterable[Any]) -> None:
        for trial in trials:
            if trial._trial_id not in self.learned and was_measured(trial):
                self.learned.add(trial._trial_id)
                self.measured.setdefault(configuration(trial.params), trial)

    def _ask(self, sampler: Any = None) -> tuple[Any, dict[str, Any]]:
        """A new trial and its values, proposed by `sampler` (default the study's). The study's
        own is back before the trial is told: it computes the constraint of a failed one."""
        kept = self.study.sampler
        self.study.sampler = sampler or kept
        try:
            trial = self.study.ask()
            return trial, {name: suggest(trial) for name, suggest in self.space.items()}
        finally:
            self.study.sampler = kept

    def tell_known(self, trial: Any, earlier: Any) -> None:
        """Answers `trial` with the result of `earlier`, whose configuration it repeats."""
        trial.set_user_attr(DUPLICATE_OF, earlier.number)
        if FAILURE in earlier.user_attrs:
            # Infeasible like the trial it repeats (of a study written before failures were
            # told so too).
            tell_failed(self.study, trial, earlier.user_attrs[FAILURE], self.baseline)
        elif earlier.state.name == "COMPLETE":
            if BROKEN in earlier.user_attrs:
                trial.set_user_attr(BROKEN, earlier.user_attrs[BROKEN])
            self.study.tell(trial, earlier.values)
        else:  # another worker is measuring it: nothing is known of it yet
            self.study.tell(trial, state=self.optuna.trial.TrialState.FAIL)
        self.repeated.append(self.study._storage.get_trial(trial._trial_id))

    def take_repeated(self) -> list[Any]:
        """The trials told as repeats since the last call, so that the report lists them."""
        taken, self.repeated = self.repeated, []
        return taken

    def _unmeasured(self, attempts: int, sampler: Any = None) -> tuple[Any, dict[str, Any]] | None:
        for _ in range(attempts):
            trial, values = self._ask(sampler)
            earlier = self.measured.get(configuration(values))
            if earlier is None:
                return trial, values
            self.tell_known(trial, earlier)
        return None

    def propose(self) -> tuple[Any, dict[str, Any]] | None:
        proposal = self._unmeasured(REPEATS_BEFORE_RANDOM)
        if proposal is not None:
            return proposal
        seed = self.seed + len(self.study.get_trials(deepcopy=False))
        return self._unmeasured(RANDOM_ATTEMPTS, self.optuna.samplers.RandomSampler(seed=seed))

    def record(self, trial: Any) -> None:
        """Remembers a trial just finished as measured."""
        # Read alone, by its id: reading every trial of a large study's database takes long.
        self.learn([self.study._storage.get_trial(trial._trial_id)])

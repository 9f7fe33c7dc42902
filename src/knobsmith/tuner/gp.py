"""A Gaussian-process sampler on NumPy and SciPy, for the few hundred trials a tuning run has.

Every knob is a coordinate of [0, 1] (on a log scale where its range is searched so); a string
knob is an option's index, and two configurations differ on it or not. The model is a Matérn-5/2
kernel with a length scale per knob and a noise term, fitted to the logarithm of the values by
maximising the marginal likelihood times a prior on the length scales (longer the more knobs there
are: with 30 points in 20 dimensions a plain maximum overfits). The next configuration maximises
the log of the expected improvement over the best posterior mean among measured feasible
configurations (a lucky noisy measurement is not the bar), plus the log of the probability of
being feasible: from a second model of which trials failed, and from a model of each guardrail's
value, of the probability that it keeps its bound. An earlier run's trials (a warm start's priors)
differ from those measured here in one more coordinate, fitted like the others: how far their
values carry over is learned from the trials measured here."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from scipy import linalg, optimize, special

from knobsmith.tuner.guardrails import broken, medians
from knobsmith.tuner.labels import BROKEN, OTHERS, PRIOR

if TYPE_CHECKING:
    from knobsmith.tuner.plan import Bound

SQRT5 = math.sqrt(5.0)
LOG_SCALES = (math.log(0.01), math.log(1000.0))
LOG_SIGNAL = (math.log(0.05), math.log(20.0))
LOG_NOISE = (math.log(1e-6), math.log(1.0))
RANDOM_CANDIDATES = 2048
LOCAL_PARENTS = 8
LOCAL_ROUNDS = 5
LOCAL_CHILDREN = 48
# A second, random start of the fit helps while points are few; past this many, the fit from the
# prior's centre is as good and the fits are what a proposal costs.
SECOND_START_UP_TO = 100
# The fit's cost grows with the cube of the points: past this many, the length scales are fitted
# on a random subset of them (hundreds of points pin them as well as all), and the model is
# conditioned on all.
FIT_POINTS = 200
# Chosen on the suite mean of benchmarks/bench_samplers.py: the centre of the prior of the log
# length scales (plus half the log of the knobs' count), and values modelled as their logarithm.
PRIOR_CENTRE = -1.4
LOG_VALUES = True


# -- the space as coordinates


class Coordinate:
    """One knob as a coordinate of [0, 1] (a string knob: the index of its option)."""

    def __init__(self, distribution: Any) -> None:
        self.distribution = distribution
        self.choices: tuple[Any, ...] | None = getattr(distribution, "choices", None)
        if self.choices is not None:
            return
        low, high = float(distribution.low), float(distribution.high)
        self.log = bool(distribution.log)
        self.integer = type(distribution).__name__.startswith("Int")
        self.step = float(distribution.step) if distribution.step else (1.0 if self.integer else 0.0)
        self.low, self.high = low, high
        # A grid's end values own half a step beyond it, as much as the values within own.
        half = self.step / 2 if self.step else 0.0
        ends = (low - half, high + half) if not self.log else (max(low - half, low / 2), high + half)
        self.ends = tuple(math.log(end) for end in ends) if self.log else ends

    @property
    def categorical(self) -> bool:
        return self.choices is not None

    def to_unit(self, value: Any) -> float:
        if self.choices is not None:
            return float(self.choices.index(value))
        return float(self.units(np.array([value], dtype=float))[0])

    def units(self, values: np.ndarray) -> np.ndarray:
        # The one computation of coordinates, so that a candidate equal to a measured
        # configuration has the very same coordinates (and is known as measured).
        low, high = self.ends
        scaled = np.log(values) if self.log else values
        return np.full_like(values, 0.5) if high <= low else (scaled - low) / (high - low)

    def values(self, units: np.ndarray) -> np.ndarray:
        """The knob's values at the coordinates `units` (float, on the grid where it has one)."""
        low, high = self.ends
        scaled = low + np.clip(units, 0.0, 1.0) * (high - low)
        values = np.exp(scaled) if self.log else scaled
        if self.step:
            values = self.low + np.round((values - self.low) / self.step) * self.step
        clipped: np.ndarray = np.clip(values, self.low, self.high)
        return clipped

    def snap(self, units: np.ndarray) -> np.ndarray:
        """The coordinates of the values at `units`: only values a trial can take are scored."""
        return units if self.choices is not None else self.units(self.values(units))

    def value(self, unit: float) -> Any:
        if self.choices is not None:
            return self.choices[int(unit)]
        value = float(self.values(np.array([unit]))[0])
        if self.integer:
            return round(value)
        return round(value, 12) if self.step else value


class Elsewhere(Coordinate):
    """Where a configuration was measured: 0 here, 1 by an earlier run (a warm start's prior). Its
    length scale is how far that run's values carry over here; every proposal is one to measure here."""

    def __init__(self) -> None:
        self.choices = ("here",)

    def snap(self, units: np.ndarray) -> np.ndarray:
        return np.zeros_like(units)


# -- the model


def _distances(a: np.ndarray, b: np.ndarray, categorical: np.ndarray) -> np.ndarray:
    """Per knob, the squared difference of numbers, or 1 where string options differ: (len a, len b, d)."""
    diff = a[:, None, :] - b[None, :, :]
    squared: np.ndarray = np.where(categorical, (diff != 0).astype(float), diff * diff)
    return squared


def _scaled_distances(a: np.ndarray, b: np.ndarray, inverse_scales2: np.ndarray, categorical: np.ndarray) -> np.ndarray:
    """The squared distances between the rows of `a` and `b` in length scales, without the array
    of `_distances` (thousands of candidates by hundreds of points by every knob)."""
    numeric = ~categorical
    weights = np.sqrt(inverse_scales2[numeric])
    left, right = a[:, numeric] * weights, b[:, numeric] * weights
    r2 = np.maximum(np.sum(left**2, axis=1)[:, None] + np.sum(right**2, axis=1)[None, :] - 2.0 * left @ right.T, 0.0)
    for column in np.flatnonzero(categorical):
        r2 += inverse_scales2[column] * (a[:, column, None] != b[None, :, column])
    squared: np.ndarray = r2
    return squared


def _matern(r2: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The Matérn-5/2 correlation at squared distance r2, and its derivative in r2."""
    r = np.sqrt(np.maximum(r2, 0.0))
    decay = np.exp(-SQRT5 * r)
    return (1.0 + SQRT5 * r + 5.0 / 3.0 * r2) * decay, -5.0 / 6.0 * (1.0 + SQRT5 * r) * decay


class Model:
    """A Gaussian process over points `x` (rows of coordinates) with values `y`, fitted at once."""

    def __init__(self, x: np.ndarray, y: np.ndarray, categorical: np.ndarray, rng: np.random.Generator,
                 centre: float = 0.0) -> None:
        self.x, self.categorical = x, categorical
        self.mean, self.scale = float(np.mean(y)), float(np.std(y)) or 1.0
        self.y = (y - self.mean) / self.scale
        dims = x.shape[1]
        fitted = np.sort(rng.choice(len(y), FIT_POINTS, replace=False)) if len(y) > FIT_POINTS else slice(None)
        self.fit_y = self.y[fitted]
        self.distances = _distances(x[fitted], x[fitted], categorical)
        # Longer scales the more knobs there are: a model of 30 points in 20 dimensions explains
        # only a few of them.
        self.prior = (centre + 0.5 * math.log(dims), math.sqrt(3.0))
        starts = [np.concatenate([np.full(dims, self.prior[0]), [0.0, math.log(1e-2)]])]
        if len(y) <= SECOND_START_UP_TO:
            starts.append(np.concatenate([rng.normal(self.prior[0], 1.0, dims), [0.0, math.log(1e-1)]]))
        bounds = [LOG_SCALES] * dims + [LOG_SIGNAL, LOG_NOISE]
        best: Any = None
        for start in starts:
            start = np.clip(start, [low for low, _ in bounds], [high for _, high in bounds])
            found = optimize.minimize(self._loss, start, jac=True, method="L-BFGS-B", bounds=bounds,
                                      options={"maxiter": 60})
            if best is None or found.fun < best.fun:
                best = found
        self._condition(best.x)

    def _loss(self, theta: np.ndarray) -> tuple[float, np.ndarray]:
        """Minus the log posterior of the hyperparameters `theta`, and its gradient."""
        dims = self.x.shape[1]
        scales, signal, noise = np.exp(theta[:dims]), math.exp(theta[dims]), math.exp(theta[dims + 1])
        r2 = self.distances @ (1.0 / scales**2)
        correlation, slope = _matern(r2)
        kernel = signal * correlation + (noise + 1e-8) * np.eye(len(self.fit_y))
        try:
            factor = linalg.cho_factor(kernel, lower=True, check_finite=False)
        except linalg.LinAlgError:
            return 1e10, np.zeros_like(theta)
        alpha = linalg.cho_solve(factor, self.fit_y, check_finite=False)
        inverse = linalg.cho_solve(factor, np.eye(len(self.fit_y)), check_finite=False)
        weights = np.outer(alpha, alpha) - inverse
        mean, spread = self.prior
        loss = (0.5 * self.fit_y @ alpha + np.sum(np.log(np.diag(factor[0])))
                + 0.5 * np.sum(((theta[:dims] - mean) / spread) ** 2) + 0.5 * theta[dims] ** 2)
        grad = np.empty_like(theta)
        # dK/dlog(scale_i) = signal * slope * (-2 distance_i / scale_i^2)
        grad[:dims] = (np.einsum("ab,abi->i", weights * slope, self.distances) * signal / scales**2
                       + (theta[:dims] - mean) / spread**2)
        grad[dims] = -0.5 * np.sum(weights * correlation) * signal + theta[dims]
        grad[dims + 1] = -0.5 * np.trace(weights) * noise
        return float(loss), grad

    def _condition(self, theta: np.ndarray) -> None:
        dims = self.x.shape[1]
        self.theta = theta
        self.inverse_scales2 = np.exp(-2.0 * theta[:dims])
        self.signal, self.noise = math.exp(theta[dims]), math.exp(theta[dims + 1])
        self._solve(self.x, self.y)

    def _solve(self, x: np.ndarray, y: np.ndarray) -> None:
        self.points, self.targets = x, y
        kernel = self.signal * _matern(_scaled_distances(x, x, self.inverse_scales2, self.categorical))[0]
        self.factor = linalg.cholesky(kernel + (self.noise + 1e-8) * np.eye(len(x)), lower=True, check_finite=False)
        self.alpha = linalg.cho_solve((self.factor, True), y, check_finite=False)

    def believe(self, pending: np.ndarray) -> None:
        """Conditions on configurations being measured elsewhere as if they measured the
        posterior mean: no new information, but less uncertainty there, so proposals spread."""
        if len(pending):
            guess, _ = self.predict(pending)
            self._solve(np.vstack([self.points, pending]),
                        np.concatenate([self.targets, (guess - self.mean) / self.scale]))

    def predict(self, x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Posterior mean and standard deviation of the noise-free value at `x`, in y's units."""
        cross = self.signal * _matern(_scaled_distances(x, self.points, self.inverse_scales2, self.categorical))[0]
        mean = cross @ self.alpha
        solved = linalg.solve_triangular(self.factor, cross.T, lower=True, check_finite=False)
        variance = np.maximum(self.signal - np.sum(solved**2, axis=0), 1e-12)
        return mean * self.scale + self.mean, np.sqrt(variance) * self.scale


def log_expected_improvement(z: np.ndarray) -> np.ndarray:
    """log(phi(z) + z Phi(z)), accurate far below the bar too, where proposals must still be told apart."""
    low = z < -1.0
    result = np.empty_like(z)
    high_z = z[~low]
    result[~low] = np.log(np.exp(-0.5 * high_z**2) / math.sqrt(2 * math.pi) + high_z * special.ndtr(high_z))
    low_z = np.maximum(z[low], -1e6)
    ratio = low_z * math.sqrt(math.pi / 2) * special.erfcx(-low_z / math.sqrt(2))
    result[low] = -0.5 * low_z**2 - 0.5 * math.log(2 * math.pi) + np.log(np.maximum(1.0 + ratio, 1e-300))
    return result


# -- the sampler


class GPSampler:
    """An Optuna sampler (a `BaseSampler` by duck typing, made one by `make`): random for the
    first `start_up` trials, then the model's proposals over the knobs every trial shares."""

    label = "gaussian-process"

    def __init__(self, optuna: Any, start_up: int, seed: int,
                 constraints_func: Callable[[Any], Sequence[float]] | None = None,
                 bounds: Mapping[str, Bound] | None = None) -> None:
        self.optuna = optuna
        self.start_up = start_up
        self.seed = seed
        self.constraints_func = constraints_func
        self.bounds = dict(bounds or {})  # the guardrails, each modelled on its measured values
        self.random = optuna.samplers.RandomSampler(seed=seed)
        self.space = optuna.search_space.IntersectionSearchSpace()

    def reseed_rng(self) -> None:
        self.random.reseed_rng()

    def infer_relative_search_space(self, study: Any, trial: Any) -> dict[str, Any]:
        return {name: distribution for name, distribution in self.space.calculate(study).items()
                if not distribution.single()}

    def sample_independent(self, study: Any, trial: Any, name: str, distribution: Any) -> Any:
        return self.random.sample_independent(study, trial, name, distribution)

    def sample_relative(self, study: Any, trial: Any, space: dict[str, Any]) -> dict[str, Any]:
        if not space:
            return {}
        states = self.optuna.trial.TrialState
        finished = study.get_trials(deepcopy=False, states=(states.COMPLETE, states.FAIL))
        names = sorted(space)
        shared = [done for done in finished if all(name in done.params for name in names)]
        if sum(done.state == states.COMPLETE for done in shared) < self.start_up:
            return {}
        coordinates = [Coordinate(space[name]) for name in names]
        rng = np.random.default_rng([self.seed & 0xFFFFFFFF, len(study.get_trials(deepcopy=False))])
        rows, values, feasible, real, elsewhere = [], [], [], [], []
        others: list[dict[str, list[float]]] = []
        sign = 1.0 if study.direction.name == "MAXIMIZE" else -1.0
        for done in shared:
            ok = self._feasible(done)
            if done.state == states.FAIL and ok:
                continue  # interrupted, or cut short: nothing known of the configuration
            rows.append([coordinate.to_unit(done.params[name])
                         for coordinate, name in zip(coordinates, names, strict=True)])
            # A trial that broke a guardrail was measured: its value is real, only infeasible.
            measured = ok or (BROKEN in done.user_attrs and done.state == states.COMPLETE)
            values.append(sign * done.value if measured else math.nan)
            feasible.append(ok)
            real.append(measured)
            others.append(done.user_attrs.get(OTHERS) or {} if measured else {})
            elsewhere.append(PRIOR in done.user_attrs)
        x, y, ok_mask, real_mask = np.array(rows, dtype=float), np.array(values), np.array(feasible), np.array(real)
        prior = np.array(elsewhere, dtype=bool)
        guards: list[np.ndarray] = []
        if self.bounds:
            guards, ok_mask, kept = guardrail_margins(self.bounds, others, real_mask)
            # An earlier run's trial brings no guardrail values here: its own feasibility stands,
            # and it sets no bar for what keeps the bounds here.
            ok_mask = np.where(prior, np.array(feasible, dtype=bool), ok_mask)
            kept = kept & ~prior
        else:
            kept = ok_mask
        width = len(names)
        if prior.any():
            coordinates.append(Elsewhere())
            x = np.column_stack([x, prior.astype(float)])
        if LOG_VALUES and np.all(sign * y[real_mask] > 0):
            # Gains multiply (a throughput, a latency): modelled as sums, their effects are smoother.
            y = sign * np.log(sign * y)
        if ok_mask.sum() < 2:
            return {}
        pending = np.array([[coordinate.to_unit(running.params[name])
                             for coordinate, name in zip(coordinates[:width], names, strict=True)]
                            for running in study.get_trials(deepcopy=False, states=(states.RUNNING,))
                            if running.number != trial.number and all(name in running.params for name in names)],
                           dtype=float).reshape(-1, width)
        pending = np.column_stack([pending, np.zeros((len(pending), len(coordinates) - width))])
        chosen = propose(coordinates, x, y, ok_mask, pending, rng, real_mask, guards, kept)
        return {name: coordinate.value(unit)
                for name, coordinate, unit in zip(names, coordinates[:width], chosen[:width], strict=True)}

    def _feasible(self, trial: Any) -> bool:
        if self.constraints_func is None:
            complete: bool = trial.state.name == "COMPLETE"
            return complete
        return all(value <= 0 for value in self.constraints_func(trial))

    def before_trial(self, study: Any, trial: Any) -> None:
        self.random.before_trial(study, trial)

    def after_trial(self, study: Any, trial: Any, state: Any, values: Any) -> None:
        if self.constraints_func is not None:
            # Kept with the trial as Optuna's own samplers keep them (trial.constraints).
            from optuna.samplers._base import _process_constraints_after_trial

            _process_constraints_after_trial(self.constraints_func, study, trial, state)
        self.random.after_trial(study, trial, state, values)


def guardrail_margins(bounds: Mapping[str, Bound], others: list[dict[str, list[float]]],
                      measured: np.ndarray) -> tuple[list[np.ndarray], np.ndarray, np.ndarray]:
    """Each guardrail's margin per trial (positive: broken; NaN: not measured), on a log scale
    where its values and bound are positive, for the guardrails measured often enough to be
    modelled; whether each trial is feasible apart from them (measured, keeping the guardrails
    not modelled); and whether it kept every guardrail."""
    margins: list[np.ndarray] = []
    modelled: set[str] = set()
    for name, bound in bounds.items():
        found = np.array([medians(point).get(name, math.nan) for point in others], dtype=float)
        known = np.isfinite(found)
        if known.sum() < 3:
            continue  # too few to model: a trial breaking it counts as failed
        limit = np.array(bound.limit)
        if bound.limit > 0 and np.all(found[known] > 0):
            # A latency or a memory size: its noise and effects multiply.
            found, limit = np.where(known, np.log(np.where(known, found, 1.0)), math.nan), np.log(limit)
        margins.append(found - limit if bound.kind == "max" else limit - found)
        modelled.add(name)
    # A modelled guardrail that was not measured counts as broken too, as it does for the best.
    apart = {name: bound for name, bound in bounds.items() if name not in modelled}
    ok = np.array([bool(was) and not broken(apart, point) and all(point.get(name) for name in modelled)
                   for was, point in zip(measured, others, strict=True)])
    kept = np.array([bool(was) and not broken(bounds, point) for was, point in zip(measured, others, strict=True)])
    return margins, ok, kept


def propose(coordinates: list[Coordinate], x: np.ndarray, y: np.ndarray, ok: np.ndarray, pending: np.ndarray,
            rng: np.random.Generator, real: np.ndarray | None = None, guards: Sequence[np.ndarray] = (),
            kept: np.ndarray | None = None) -> np.ndarray:
    """The coordinates of the next configuration: the best of random candidates and of local
    searches around the best configurations, by log expected improvement plus log feasibility.
    `real` marks the values measured (default: the feasible ones); an infeasible one may be.
    `guards` are the guardrails' margins (positive: broken, NaN: not measured), each modelled
    for the probability of keeping it; `kept` marks the trials that kept them (default: `ok`)."""
    real = ok if real is None else real
    kept = ok if kept is None else kept
    categorical = np.array([coordinate.categorical for coordinate in coordinates])
    sizes = np.array([len(coordinate.choices) if coordinate.choices is not None else 0 for coordinate in coordinates])
    # A failed configuration counts as the worst measured too: the expected improvement falls
    # around it at once, where the model of failures needs several to draw the region's edge.
    objective = Model(x, np.where(real, y, np.min(y[real])), categorical, rng, PRIOR_CENTRE)
    objective.believe(pending)
    feasibility = Model(x, (~ok).astype(float), categorical, rng, PRIOR_CENTRE) if not ok.all() else None
    if feasibility is not None:
        feasibility.believe(pending)
    margins = [Model(x[~np.isnan(guard)], guard[~np.isnan(guard)], categorical, rng, PRIOR_CENTRE) for guard in guards]
    for margin in margins:
        margin.believe(pending)
    # The bar is the best believed among configurations that kept every guardrail (while none
    # has, proposals only seek to keep them), each as it would measure here: a prior's value is
    # another run's.
    best_at = (x[kept] if kept.any() else x[ok]).copy()
    for column, coordinate in enumerate(coordinates):
        if isinstance(coordinate, Elsewhere):
            best_at[:, column] = 0.0
    mean_at_points, _ = objective.predict(best_at)
    bar = float(np.max(mean_at_points)) if kept.any() else math.nan
    known = {row.tobytes() for row in np.vstack([x, pending])}

    def snap(candidates: np.ndarray) -> np.ndarray:
        for column, coordinate in enumerate(coordinates):
            candidates[:, column] = coordinate.snap(candidates[:, column])
        return candidates

    def score(candidates: np.ndarray) -> np.ndarray:
        if math.isnan(bar):
            result = np.zeros(len(candidates))
        else:
            mean, deviation = objective.predict(candidates)
            result = np.log(deviation) + log_expected_improvement((mean - bar) / deviation)
        if feasibility is not None:
            failing, spread = feasibility.predict(candidates)
            result += special.log_ndtr((0.5 - failing) / spread)
        for margin in margins:
            over, spread = margin.predict(candidates)
            result += special.log_ndtr(-over / spread)
        seen = np.array([row.tobytes() in known for row in candidates])
        return np.where(seen, -np.inf, result)

    def draw(count: int) -> np.ndarray:
        units = rng.random((count, len(coordinates)))
        units[:, categorical] = np.floor(units[:, categorical] * sizes[categorical])
        return snap(units)

    candidates = draw(RANDOM_CANDIDATES)
    scores = score(candidates)
    # Local searches start from the best candidates and the best measured configurations.
    order = np.argsort(-scores, kind="stable")[:LOCAL_PARENTS]
    best_measured = best_at[np.argsort(-mean_at_points, kind="stable")[:LOCAL_PARENTS]]
    parents = np.vstack([candidates[order], best_measured])
    parent_scores = np.concatenate([scores[order], score(best_measured.copy())])
    for spread in np.geomspace(0.2, 0.02, LOCAL_ROUNDS):
        children = np.repeat(parents, LOCAL_CHILDREN, axis=0)
        # Each child moves a few knobs: moving all of them at once is a random draw in 20 dimensions.
        moved = rng.random(children.shape) < min(1.0, 3.0 / len(coordinates))
        moved[np.arange(len(children)), rng.integers(0, len(coordinates), len(children))] = True
        steps = rng.normal(0.0, spread, children.shape)
        numeric = moved & ~categorical
        children[numeric] = np.clip(children[numeric] + steps[numeric], 0.0, 1.0)
        options = np.floor(rng.random(children.shape) * np.maximum(sizes, 1))
        flipped = moved & categorical
        children[flipped] = options[flipped]
        children = snap(children)
        child_scores = score(children).reshape(len(parents), LOCAL_CHILDREN)
        best_child = np.argmax(child_scores, axis=1)
        better = child_scores[np.arange(len(parents)), best_child] > parent_scores
        parents[better] = children.reshape(len(parents), LOCAL_CHILDREN, -1)[better, best_child[better]]
        parent_scores[better] = child_scores[better, best_child[better]]
    if np.all(np.isinf(parent_scores)) and np.all(np.isinf(scores)):
        drawn: np.ndarray = draw(1)[0]
        return drawn
    pool = np.vstack([parents, candidates])
    pool_scores = np.concatenate([parent_scores, scores])
    chosen: np.ndarray = pool[int(np.argmax(pool_scores))]
    return chosen


def make(optuna: Any, start_up: int, seed: int, constraints_func: Callable[[Any], Sequence[float]] | None = None,
         bounds: Mapping[str, Bound] | None = None) -> Any:
    """The sampler as an Optuna `BaseSampler`, so that a study accepts it."""
    sampler_class = type("GPSampler", (GPSampler, optuna.samplers.BaseSampler), {})
    return sampler_class(optuna, start_up, seed, constraints_func, bounds)

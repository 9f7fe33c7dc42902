"""Which knobs mattered: parameter importances of a study's completed trials.

The evaluator is Optuna's PED-ANOVA, which needs nothing beyond numpy (the fANOVA and
mean-decrease-impurity evaluators need scikit-learn, which the tuner does not depend on).
Importances are a summary for the report: when they cannot be computed, or would mean nothing,
`rank` returns an empty dict rather than raising, so that a report is always written.
"""

from __future__ import annotations

import logging
import math
import warnings
from typing import Any

from knobsmith.tuner.labels import DUPLICATE_OF, FAILURE, PRIOR

log = logging.getLogger(__name__)

# Below this many measured trials the ranking is noise.
MIN_TRIALS = 5
# The top trials whose parameter distribution is compared with all trials' have to be at least
# this many, or the comparison is against a single point.
MIN_TOP_TRIALS = 3
DIGITS = 4


def rank(study: Any) -> dict[str, float]:
    """Importances of the parameters, summing to about 1, the most important first; {} when
    there are too few measured trials, a single parameter, or nothing that varied."""
    import optuna

    trials = [trial for trial in study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.COMPLETE,))
              if DUPLICATE_OF not in trial.user_attrs  # told a known value, not measured
              and FAILURE not in trial.user_attrs  # told a placeholder value, infeasible
              and PRIOR not in trial.user_attrs  # measured on another host, or another day
              and trial.values and math.isfinite(trial.values[0])]
    names = {name for trial in trials for name in trial.distributions}
    if len(trials) < MIN_TRIALS or len(names) < 2 or len({trial.values[0] for trial in trials}) < 2:
        return {}
    quantile = min(0.5, max(0.1, MIN_TOP_TRIALS / len(trials)))
    try:
        # For the first objective alone, of --pareto's studies too.
        measured = optuna.create_study(directions=study.directions[:1])
        measured.add_trials(trials if len(study.directions) == 1 else [
            optuna.trial.create_trial(params=trial.params, distributions=trial.distributions, value=trial.values[0])
            for trial in trials])
        evaluator = optuna.importance.PedAnovaImportanceEvaluator(target_quantile=quantile)
        with warnings.catch_warnings():
            # It warns when few trials fall in a regime of a parameter; the ranking stands.
            warnings.simplefilter("ignore")
            raw = evaluator.evaluate(measured, params=None)
    except (ValueError, ArithmeticError) as error:
        log.debug("parameter importances could not be computed: %s", error)
        return {}
    except Exception as error:
        log.warning("parameter importances could not be computed: %s", error)
        return {}
    total = sum(raw.values())
    if not math.isfinite(total) or total <= 0:
        return {}  # no parameter told the better trials apart
    ranked = sorted(raw.items(), key=lambda item: item[1], reverse=True)
    return {name: round(value / total, DIGITS) for name, value in ranked}

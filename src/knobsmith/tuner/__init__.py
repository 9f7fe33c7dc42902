"""The tuner: a driver in Python over the compiled modules, one module per concern.

- `space`: the search space Optuna samples from the optimizer settings;
- `measuring`: running the benchmark and reading the metric;
- `results`: the trials of a run and what was left applied;
- `loop`: the tuning loop on Optuna;
- `fleet`: a worker of a study shared by many hosts, and the study's shared budget;
- `trials`: a study's trials as the rows of a report;
- `report`: the table, trials.csv, best.yaml and the plot.

Reading and setting a host's parameters is `knobsmith.params`'s.
"""

from knobsmith.tuner.failures import TrialFailed, TuneError

__all__ = ["TrialFailed", "TuneError"]

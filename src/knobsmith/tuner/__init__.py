"""The tuner: a driver in Python over the compiled modules, one module per concern.

- `space`: the search space Optuna samples from the optimizer settings;
- `processes`: the benchmark's and the workload's commands as process groups of their own;
- `workload`: stopping, starting and waiting for the workload;
- `applying`: applying values in the right order, restarting when needed, reading them back;
- `measuring`: running the benchmark and reading the metric;
- `results`: the trials of a run and what was left applied;
- `loop`: the tuning loop on Optuna;
- `fleet`: a worker of a study shared by many hosts, and the study's shared budget;
- `trials`: a study's trials as the rows of a report;
- `report`: the table, trials.csv, best.yaml and the plot;
- `signals`: SIGTERM and SIGHUP handled like Ctrl-C.
"""

from knobsmith.tuner.failures import TrialFailed, TuneError

__all__ = ["TrialFailed", "TuneError"]

"""The tuner: a driver in Python over the compiled modules, one module per concern.

- `space`: the search space Optuna samples from the optimizer settings;
- `measuring`: running the benchmark and reading the metric;
- `results`: the trials of a run and what was left applied;
- `plan`: the plan of a run, read once from its configuration (evaluations, space, budget, commands);
- `labels`: the labels kept on a study's trials, and what they tell of a trial;
- `study`: opening a study (journal, URL, a fleet's database), its sampler, a fleet's study as a result;
- `proposing`: proposals that never measure a configuration twice;
- `loop`: the tuning loop on Optuna, with `starting` (backup and baseline);
- `host` and `worker`: the run of one host and a fleet's worker, the two kinds of run the loop drives;
- `minimizing`: the smallest change that keeps the confirmed best's gain;
- `runs`: the run the command line asks for;
- `fleet`: a worker's view of a study shared by many hosts, and the study's shared budget;
- `database`: a fleet's database, its URL without secrets, calls that wait for it to come back;
- `trials`: a study's trials as the rows of a report;
- `report`: the table, trials.csv, best.yaml and the plot.

Reading and setting a host's parameters is `knobsmith.params`'s.
"""

from knobsmith.tuner.failures import TrialFailed, TuneError

__all__ = ["TrialFailed", "TuneError"]

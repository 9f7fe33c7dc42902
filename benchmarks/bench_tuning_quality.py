"""How much of the possible gain a tuning run leaves the user with, on a simulated system.

The system is benchmarks/simulated_knobs.py: ten knobs kept in files, a noisy throughput with a
known optimum. For every seed, `knobsmith tune` runs on a fresh copy of it (a subprocess in its own
folder, with its own XDG_STATE_HOME), and what the run left applied is read from the knob files
and scored without noise:

    share = (f(left) - f(defaults)) / (f(optimum) - f(defaults))

Plain Optuna runs on the same noisy function, in this process, with the same search space (the
suggest calls knobsmith derives from the configuration) and the same budget, as a naive tuner
would: random search and the default TPE sampler, the best trial's values being what is left.
Since the space is knobsmith's, a change to it moves these rows too: buffer_mb, whose range spans
more than two orders of magnitude, is searched on a log scale as knobsmith does now; on a linear
scale the problem is easier for both (seeds 1 to 300: 0.858 and 0.914 against 0.829 and 0.898).

The noise of seed S is one stream for every method (the k-th measurement of each gets the same
factor), so a knobsmith run with the same seed and arguments repeats exactly, and differences
between rows are not differences of luck with the noise.

Usage:
    python benchmarks/bench_tuning_quality.py [--seeds 20] [--trials 30] [--jobs N] [--per-seed]
        [--tune-args "--repeats 1"] [--variant "default=" --variant "confirm=--confirm 3"]
        [--knobsmith COMMAND]

--tune-args go to every knobsmith run; each --variant NAME=ARGS is a row of its own, its ARGS
added after them (without --variant, one row named knobsmith). --knobsmith runs another build,
e.g. a launcher of an older checkout. The table gives, per method, the share's mean, median,
minimum and standard error over the seeds, the benchmark runs a run spent (knobsmith's counted in
its benchmark.log: baseline, warm-up, repeats and confirmation included) and the seconds taken.
A knobsmith run that exits non-zero is listed under the table with the end of its error output
(and marked "!" in --per-seed); its share is still what it left applied, which is what the user
would be left with, and the row counts it under "failed".
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import pathlib
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Any, Callable

import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import simulated_knobs as sim  # noqa: E402

KNOBSMITH = [str(pathlib.Path(sys.executable).parent / "knobsmith")]


@dataclass
class Outcome:
    seed: int
    share: float | None  # None: nothing could be scored
    seconds: float
    measurements: int  # benchmark runs the method spent
    failure: str = ""  # why the run is not a clean one


@dataclass
class Row:
    method: str
    outcomes: list[Outcome]
    wall: float


def noise_stream(seed: int) -> str:
    """The noise every method meets with `seed`: its k-th measurement gets the same factor."""
    return f"seed {seed}"


# -- the search space, as knobsmith derives it


def search_space(folder: str) -> dict[str, Callable[[Any], Any]]:
    """{name: suggest} of the configuration, from the settings `knobsmith check` prints."""
    from knobsmith.tuner.space import suggestion

    config = sim.write_config(folder)
    done = subprocess.run([*KNOBSMITH, "check", config], capture_output=True, text=True, cwd=folder)
    if done.returncode != 0:
        sys.exit(f"knobsmith check refused the simulated configuration:\n{done.stderr}")
    settings = json.loads(done.stdout)
    return {knob["name"]: suggestion(knob) for knob in settings["knobs"]}


# -- plain Optuna


def optuna_run(make_sampler: Callable[[int], Any], space: dict[str, Callable[[Any], Any]], seed: int,
               trials: int) -> Outcome:
    import optuna

    started = time.perf_counter()
    study = optuna.create_study(direction="maximize", sampler=make_sampler(seed))
    for number in range(trials):
        trial = study.ask()
        values = {name: suggest(trial) for name, suggest in space.items()}
        # Measurement 0 of a knobsmith run is its baseline: trial k meets the noise of its trial k.
        study.tell(trial, sim.measure(values, noise_stream(seed), number + 1))
    best = {**sim.DEFAULTS, **study.best_trial.params}
    return Outcome(seed, sim.share(sim.f(best)), time.perf_counter() - started, trials)


def optuna_rows(space: dict[str, Callable[[Any], Any]], seeds: list[int], trials: int) -> list[Row]:
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    samplers = {
        "optuna random": lambda seed: optuna.samplers.RandomSampler(seed=seed),
        "optuna TPE (default)": lambda seed: optuna.samplers.TPESampler(seed=seed),
    }
    rows = []
    for name, make in samplers.items():
        started = time.perf_counter()
        outcomes = [optuna_run(make, space, seed, trials) for seed in seeds]
        rows.append(Row(name, outcomes, time.perf_counter() - started))
    return rows


# -- knobsmith


def tail(text: str, lines: int = 4) -> str:
    return "\n".join(text.strip().splitlines()[-lines:])


def knobsmith_run(knobsmith: list[str], args: list[str], seed: int, trials: int) -> Outcome:
    with tempfile.TemporaryDirectory(prefix="knobsmith-quality-") as folder:
        config = sim.write_config(folder, iterations=trials, noise=noise_stream(seed))
        env = {**os.environ, "XDG_STATE_HOME": os.path.join(folder, "state")}
        command = [*knobsmith, "tune", os.path.basename(config), "--seed", str(seed), "--report", "report", *args]
        started = time.perf_counter()
        done = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL)
        seconds = time.perf_counter() - started
        failure = "" if done.returncode == 0 else f"exit status {done.returncode}: {tail(done.stderr)}"
        runs = benchmark_runs(folder, config)
        try:
            left = sim.read_config(folder)
        except (OSError, ValueError) as error:
            failure = (failure + "; " if failure else "") + f"knob files unreadable: {error}"
            return Outcome(seed, None, seconds, runs, failure)
        return Outcome(seed, sim.share(sim.f(left)), seconds, runs, failure)


def benchmark_runs(folder: str, config: str) -> int:
    """How often the run started the benchmark, as its benchmark.log tells."""
    with open(config, encoding="utf-8") as stream:
        line = f"$ {yaml.safe_load(stream)['benchmark']}\n"
    try:
        with open(os.path.join(folder, "report", "benchmark.log"), encoding="utf-8", errors="replace") as stream:
            return sum(text == line for text in stream)
    except OSError:
        return 0


def knobsmith_row(name: str, knobsmith: list[str], args: list[str], seeds: list[int], trials: int,
                  jobs: int) -> Row:
    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        outcomes = list(pool.map(lambda seed: knobsmith_run(knobsmith, args, seed, trials), seeds))
    return Row(name, outcomes, time.perf_counter() - started)


# -- the table


def table(rows: list[Row]) -> str:
    head = ["method", "runs", "failed", "mean", "median", "min", "std err", "benchmarks", "s/run", "wall s"]
    lines = [head]
    for row in rows:
        shares = [outcome.share for outcome in row.outcomes if outcome.share is not None]
        failed = sum(bool(outcome.failure) for outcome in row.outcomes)
        per_run = statistics.fmean(outcome.seconds for outcome in row.outcomes)
        measured = statistics.fmean(outcome.measurements for outcome in row.outcomes)
        if shares:
            error = statistics.stdev(shares) / len(shares) ** 0.5 if len(shares) > 1 else 0.0
            numbers = [f"{statistics.fmean(shares):.3f}", f"{statistics.median(shares):.3f}", f"{min(shares):.3f}",
                       f"{error:.3f}"]
        else:
            numbers = ["-"] * 4
        lines.append([row.method, str(len(shares)), str(failed), *numbers, f"{measured:.1f}", f"{per_run:.2f}",
                      f"{row.wall:.1f}"])
    widths = [max(len(line[column]) for line in lines) for column in range(len(head))]
    return "\n".join("  ".join(cell.ljust(width) if column == 0 else cell.rjust(width)
                               for column, (cell, width) in enumerate(zip(line, widths))) for line in lines)


def per_seed(rows: list[Row]) -> str:
    lines = ["seed  " + "  ".join(row.method for row in rows)]
    for index, seed in enumerate(outcome.seed for outcome in rows[0].outcomes):
        cells = []
        for row in rows:
            outcome = row.outcomes[index]
            text = "-" if outcome.share is None else f"{outcome.share:.3f}" + ("!" if outcome.failure else "")
            cells.append(text.rjust(len(row.method)))
        lines.append(f"{seed:<4}  " + "  ".join(cells))
    return "\n".join(lines)


def failures(rows: list[Row]) -> dict[tuple[str, str], list[tuple[int, float | None]]]:
    """(method, failure) -> [(seed, share)]: the seeds that failed alike, together."""
    grouped: dict[tuple[str, str], list[tuple[int, float | None]]] = {}
    for row in rows:
        for outcome in row.outcomes:
            if outcome.failure:
                grouped.setdefault((row.method, outcome.failure), []).append((outcome.seed, outcome.share))
    return grouped


def variants(given: list[str]) -> list[tuple[str, list[str]]]:
    if not given:
        return [("knobsmith", [])]
    parsed = []
    for text in given:
        name, equals, args = text.partition("=")
        if not equals or not name:
            sys.exit(f"--variant {text!r} is not NAME=ARGS")
        parsed.append((f"knobsmith {name}", shlex.split(args)))
    return parsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=20, help="runs per method (seeds 1..N)")
    parser.add_argument("--trials", type=int, default=30, help="the trial budget of every run")
    parser.add_argument("--tune-args", default="", help="arguments added to every knobsmith tune")
    parser.add_argument("--variant", action="append", default=[], metavar="NAME=ARGS",
                        help="a knobsmith row of its own, with ARGS added (repeatable)")
    parser.add_argument("--knobsmith", default=shlex.join(KNOBSMITH), metavar="COMMAND",
                        help="the knobsmith command to run (default: the one installed next to this Python)")
    parser.add_argument("--per-seed", action="store_true", help="also print every seed's share per method")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="knobsmith runs at a time")
    args = parser.parse_args()
    seeds = list(range(1, args.seeds + 1))
    common = shlex.split(args.tune_args)
    knobsmith = shlex.split(args.knobsmith)
    started = time.perf_counter()

    print(f"simulated system: {len(sim.KNOBS)} knobs, f(defaults) = {sim.f(sim.DEFAULTS):.1f}, "
          f"f(optimum) = {sim.f(sim.OPTIMUM):.1f}, noise {sim.NOISE:.0%}; "
          f"{len(seeds)} seeds x {args.trials} trials", flush=True)
    with tempfile.TemporaryDirectory(prefix="knobsmith-quality-") as folder:
        space = search_space(folder)
    rows = optuna_rows(space, seeds, args.trials)
    for name, extra in variants(args.variant):
        print(f"{name}: {shlex.join([*knobsmith, 'tune', *common, *extra])} ...", flush=True)
        rows.append(knobsmith_row(name, knobsmith, common + extra, seeds, args.trials, args.jobs))

    print()
    print(table(rows))
    if args.per_seed:
        print()
        print(per_seed(rows))
    failed = failures(rows)
    if failed:
        print(f"\nfailed runs ({sum(len(seeds) for seeds in failed.values())}):")
        for (method, failure), seeds in failed.items():
            said = ", ".join(f"{seed} ({'not scored' if share is None else f'share {share:.3f}'})"
                             for seed, share in seeds)
            print(f"  {method}, seed{'s' if len(seeds) > 1 else ''} {said}:\n    " + failure.replace("\n", "\n    "))
    print(f"\nwall time {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()

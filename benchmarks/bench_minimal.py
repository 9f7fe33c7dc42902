"""The smallest change that keeps the gain (`tune --minimal`), on the simulated problems of
benchmarks/problems.py, in-process.

Each run does what `knobsmith tune --minimal` does after its search: the search of
bench_samplers.py (the knobsmith method), the confirmation of knobsmith.tuner.confirming (the 3 best
candidates and the defaults, 3 rounds interleaved) and the search of knobsmith.tuner.minimizing
(3 rounds per step), through a simulated applier and benchmark: measurement k of a run draws
from the problem's noise stream named by the seed and k, continuing after the trials'.

For each problem the table gives, over the runs whose best was confirmed beyond the noise:
- knobs: knobs the full best changes -> knobs the smallest change leaves changed (means);
- matter: the knobs that matter (those whose optimum is not their default);
- <= matter+1: runs leaving at most the knobs that matter changed plus one;
- unneeded: knobs left changed that do not matter (mean);
- kept: the share of the full best's noise-free gain over the defaults the smallest change keeps
  (mean, and the worst run), and runs keeping at least 0.97 of it;
- runs: the extra benchmark runs the search spent (mean, and the most).

Usage:
    python benchmarks/bench_minimal.py [--seeds 20] [--trials 30] [--problems a,b] [--rounds 3] [--jobs 2]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import multiprocessing
import os
import pathlib
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Any

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_samplers import METHODS, search  # noqa: E402
from problems import PROBLEMS, Guardrail, Problem, named  # noqa: E402

from knobsmith.tuner import importance  # noqa: E402
from knobsmith.tuner.confirming import confirm  # noqa: E402
from knobsmith.tuner.failures import TrialFailed  # noqa: E402
from knobsmith.tuner.minimizing import minimize  # noqa: E402
from knobsmith.tuner.results import Result  # noqa: E402
from knobsmith.tuner.trials import rows_of  # noqa: E402

GOAL_SHARE = 0.97


@dataclass
class Applied:
    ok: bool = True
    problems: tuple[str, ...] = ()


class Host:
    """The simulated host: the applier and the benchmark of the confirmation and the search."""

    def __init__(self, problem: Problem, seed: int, first: int, guardrail: Guardrail | None = None) -> None:
        self.problem, self.seed, self.index = problem, seed, first
        self.guardrail = guardrail  # the one evaluation after the objective, if any
        self.config = dict(problem.defaults)
        self.runs = 0
        self.others: dict[str, float] = {}

    def apply(self, values: dict[str, Any]) -> Applied:
        self.config = {**self.config, **values}
        return Applied()

    def measure(self, label: str) -> tuple[float, float]:
        self.runs += 1
        self.index += 1
        why = self.problem.failure(self.config)
        if why:
            raise TrialFailed(why)
        if self.guardrail is not None:
            self.others = {self.guardrail.name: self.guardrail.measure(self.config, self.seed, self.index)}
        return self.problem.measure(self.config, self.seed, self.index), 0.0


@dataclass
class Outcome:
    confirmed: bool  # the best's gain was confirmed beyond the noise, so the search ran
    changed: int = 0  # knobs the full best changes
    left: int = 0  # knobs the smallest change leaves changed
    unneeded: int = 0  # of those, knobs that do not matter
    kept: float = 1.0  # share of the full best's noise-free gain kept
    runs: int = 0
    complete: bool = True


def run(problem: Problem, seed: int, trials: int, rounds: int) -> Outcome:
    found = search(problem, METHODS["knobsmith"], seed, trials)
    defaults = problem.defaults
    result = Result("f", "maximize", problem.measure(defaults, seed, 0), rows=rows_of(found.study))
    result.importance = importance.rank(found.study)
    host = Host(problem, seed, trials)
    never_broken = lambda label: True  # noqa: E731
    confirm(result, host, host, defaults, count=3, rounds=rounds, say=lambda line: None,  # type: ignore[arg-type]
            recover=never_broken)
    chosen = result.confirmed_best()
    if chosen is None or not result.beyond_noise:
        return Outcome(False)
    minimal = minimize(result, chosen.params, defaults, host, host, rounds=rounds,  # type: ignore[arg-type]
                       say=lambda line: None, recover=never_broken)
    best = {**defaults, **chosen.params}
    low, full = problem.f(defaults), problem.f(best)
    kept = (problem.f({**defaults, **minimal.values}) - low) / (full - low) if full > low else 1.0
    left = set(minimal.changed)
    return Outcome(True, len(left) + len(minimal.reverted), len(left), len(left - mattering(problem)), kept,
                   minimal.runs, minimal.complete)


def mattering(problem: Problem) -> set[str]:
    return {name for name, value in problem.optimum.items() if value != problem.defaults[name]}


def task(job: tuple[str, int, int, int]) -> tuple[str, Outcome]:
    name, seed, trials, rounds = job
    return name, run(PROBLEMS[name], seed, trials, rounds)


def table(results: dict[str, list[Outcome]], seeds: int) -> str:
    head = ["problem", "confirmed", "knobs", "matter", "<= matter+1", "unneeded", "kept (worst)",
            f">= {GOAL_SHARE}", "runs (most)"]
    lines = [head]
    for name, outcomes in results.items():
        done = [outcome for outcome in outcomes if outcome.confirmed]
        matter = len(mattering(PROBLEMS[name]))
        if not done:
            lines.append([name, f"0/{seeds}", *["-"] * (len(head) - 2)])
            continue
        lines.append([
            name, f"{len(done)}/{seeds}",
            f"{statistics.fmean(o.changed for o in done):.1f} -> {statistics.fmean(o.left for o in done):.1f}",
            str(matter), f"{sum(o.left <= matter + 1 for o in done)}/{len(done)}",
            f"{statistics.fmean(o.unneeded for o in done):.2f}",
            f"{statistics.fmean(o.kept for o in done):.3f} ({min(o.kept for o in done):.3f})",
            f"{sum(o.kept >= GOAL_SHARE for o in done)}/{len(done)}",
            f"{statistics.fmean(o.runs for o in done):.1f} ({max(o.runs for o in done)})"])
    widths = [max(len(line[column]) for line in lines) for column in range(len(head))]
    return "\n".join("  ".join(cell.ljust(width) if column == 0 else cell.rjust(width)
                               for column, (cell, width) in enumerate(zip(line, widths))) for line in lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=20, help="runs per problem (seeds 1..N)")
    parser.add_argument("--trials", type=int, default=30, help="the trial budget of every run")
    parser.add_argument("--problems", default=",".join(PROBLEMS), help="comma-separated problems")
    parser.add_argument("--rounds", type=int, default=3, help="measurements per entry (tune --confirm-rounds)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="processes")
    args = parser.parse_args()
    names = named(args.problems)
    started = time.perf_counter()
    jobs = [(name, seed, args.trials, args.rounds) for name in names for seed in range(1, args.seeds + 1)]
    results: dict[str, list[Outcome]] = {name: [] for name in names}
    with concurrent.futures.ProcessPoolExecutor(args.jobs, mp_context=multiprocessing.get_context("fork")) as pool:
        for name, outcome in pool.map(task, jobs, chunksize=2):
            results[name].append(outcome)
    print(f"{args.trials} trials per run, {args.rounds} rounds per step; problems: " + ", ".join(
        f"{name} ({len(PROBLEMS[name].knobs)} knobs, {len(mattering(PROBLEMS[name]))} matter, noise "
        f"{PROBLEMS[name].noise:.0%})" for name in names))
    print()
    print(table(results, args.seeds))
    spent = [outcome.runs for outcomes in results.values() for outcome in outcomes if outcome.confirmed]
    if spent:
        print(f"\nthe search for the smallest change spent {statistics.fmean(spent):.1f} extra benchmark runs per run "
              f"on average, at most {max(spent)}")
    print(f"wall time {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()

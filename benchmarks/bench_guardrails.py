"""How well a tuning run keeps a guardrail whose bound the unconstrained best breaks.

The system is benchmarks/simulated_knobs.py (ten knobs, a noisy throughput, known optimum) with a
second evaluation, a latency in ms that grows with the threads and with a low flush ratio:

    latency = 2 + 0.5 * threads + 8 * max(0, 0.45 - flush_ratio)

times lognormal noise of LATENCY_NOISE. The defaults measure 4 ms; the unconstrained optimum
(12 threads, flush 0.3) measures 9.2 ms and breaks the bound, max 6 ms. The best configuration
that keeps the bound is found by a grid search over threads and flush ratio, the other knobs at
their best given those two (the buffer follows the threads, the cache ratio the flush ratio).

For every seed, `knobsmith tune` runs on a fresh copy (a subprocess in its own folder, with its own
XDG_STATE_HOME), and what it left applied is scored without noise: whether its latency keeps the
bound, and the share of the best gain among configurations that keep it,

    share = (f(left) - f(defaults)) / (f(best within the bound) - f(defaults))

The summary gives the runs that kept the bound, the mean and minimum share over those runs, and the
mean share over all runs with a run that broke the bound scored 0.

With --in-process, the guarded problems of benchmarks/problems.py (this one among them, as
tenknobs_latency) run in-process instead, as bench_minimal.py runs them: the search of
bench_samplers.py with the guardrail measured after every trial, then the confirmation of
knobsmith.tuner.confirming (3 candidates, 3 rounds) through a simulated host; what is left applied
is the confirmed best when its gain is beyond the noise, else the defaults, as tune leaves it. The
methods: knobsmith (the GP modelling the guardrail's value), knobsmith-binary (the same GP told only
which trials broke the bound, as it was before it modelled the value) and knobsmith-tpe (TPE, as
without SciPy). A table per method gives, per problem, the runs that kept the bound and the mean
share over them, then the seconds per proposal.

Usage:
    python benchmarks/bench_guardrails.py [--seeds 20] [--trials 30] [--jobs N] [--per-seed]
        [--tune-args "--repeats 1"]
    python benchmarks/bench_guardrails.py --in-process [--problems a,b] [--methods knobsmith,knobsmith-tpe]

Run with --measure in a folder written by it, it is that folder's benchmark.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import math
import multiprocessing
import os
import pathlib
import random
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import simulated_knobs as sim  # noqa: E402
from problems import GUARDED  # noqa: E402
from problems import latency_ms as latency  # noqa: E402

KNOBSMITH = [str(pathlib.Path(sys.executable).parent / "knobsmith")]
PROBLEM, GUARDRAIL = GUARDED["tenknobs_latency"]
BOUND = GUARDRAIL.limit  # ms
LATENCY_NOISE = GUARDRAIL.noise


def best_within_bound() -> tuple[float, dict[str, Any]]:
    """The best noise-free throughput among configurations that keep the bound, and one of them."""
    return GUARDRAIL.best(PROBLEM)


def measure() -> int:
    """One benchmark run: the simulated system's throughput, then its latency with noise drawn
    from the folder's stream at the same index."""
    status = sim.main()
    if status:
        return status
    with open("noise", encoding="utf-8") as kept:
        stream = kept.read()
    with open("measured", encoding="utf-8") as kept:
        index = int(kept.read()) - 1
    value = latency(sim.read_config(".")) * math.exp(random.Random(f"{stream}/latency/{index}").gauss(0, LATENCY_NOISE))
    with open("latency", "w", encoding="utf-8") as written:
        written.write(f"{value:.6f}\n")
    return 0


def write_config(folder: str, trials: int, seed: int) -> str:
    import yaml

    path = sim.write_config(folder, iterations=trials, noise=f"seed {seed}")
    with open(path, encoding="utf-8") as stream:
        config = yaml.safe_load(stream)
    config["benchmark"] = f"{shlex.quote(sys.executable)} -S {shlex.quote(os.path.abspath(__file__))} --measure"
    config["evaluations"].append({"name": "latency_ms", "info": {"get": "cat latency", "type": "negative",
                                                                 "target": None, "max": BOUND}})
    with open(path, "w", encoding="utf-8") as stream:
        yaml.safe_dump(config, stream, sort_keys=False)
    return path


def run(seed: int, trials: int, args: list[str], best: float) -> tuple[int, float, float, str]:
    """(seed, noise-free latency left, share of the best gain within the bound, failure)."""
    with tempfile.TemporaryDirectory(prefix="knobsmith-guardrails-") as folder:
        config = write_config(folder, trials, seed)
        env = {**os.environ, "XDG_STATE_HOME": os.path.join(folder, "state")}
        command = [*KNOBSMITH, "tune", os.path.basename(config), "--seed", str(seed), "--report", "report", *args]
        done = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        failure = "" if done.returncode == 0 else f"exit status {done.returncode}: {done.stderr.strip()[-300:]}"
        left = sim.read_config(folder)
    low = sim.f(sim.DEFAULTS)
    return seed, latency(left), (sim.f(left) - low) / (best - low), failure


def samplers() -> dict[str, Any]:
    """The in-process methods: each makes a sampler of (optuna, budget, seed, bounds)."""
    from knobsmith.tuner import proposing

    return {"knobsmith": proposing.sampler,
            "knobsmith-binary": lambda optuna, budget, seed, bounds: proposing.sampler(optuna, budget, seed),
            "knobsmith-tpe": lambda optuna, budget, seed, bounds: proposing.tpe_sampler(optuna, budget, seed)}


def in_process(job: tuple[str, str, int, int]) -> tuple[str, str, int, bool, float, list[float]]:
    """One run of a guarded problem: (problem, method, seed, whether what is left keeps the bound
    noise-free, its share of the best gain within the bound, seconds per proposal)."""
    from bench_minimal import Host
    from bench_samplers import Method, bounds_of, search

    from knobsmith.tuner.confirming import confirm
    from knobsmith.tuner.results import Result
    from knobsmith.tuner.trials import rows_of

    name, method, seed, trials = job
    problem, guardrail = GUARDED[name]
    bounds = bounds_of(guardrail)
    make = samplers()[method]
    found = search(problem, Method(lambda optuna, budget, seed: make(optuna, budget, seed, bounds), True), seed,
                   trials, guardrail)
    defaults = problem.defaults
    result = Result("f", "maximize", problem.measure(defaults, seed, 0), rows=rows_of(found.study),
                    others=[guardrail.name], bounds=bounds)
    host = Host(problem, seed, trials, guardrail)
    confirm(result, host, host, defaults, count=3, rounds=3, say=lambda line: None,  # type: ignore[arg-type]
            recover=lambda label: True)
    chosen = result.confirmed_best()
    left = {**defaults, **chosen.params} if chosen is not None and result.beyond_noise else defaults
    best, _ = BESTS[name]
    low = problem.f(defaults)
    return name, method, seed, guardrail.kept(left), (problem.f(left) - low) / (best - low), found.proposal_seconds


BESTS: dict[str, tuple[float, dict[str, Any]]] = {}


def in_process_table(outcomes: list[tuple[str, str, int, bool, float, list[float]]], names: list[str],
                     methods: list[str]) -> str:
    head = ["method", *(f"{name} kept/share" for name in names), "mean share", "s/proposal"]
    lines = [head]
    for method in methods:
        cells, means = [method], []
        for name in names:
            runs = [(kept, share) for problem, done, _, kept, share, _ in outcomes if (problem, done) == (name, method)]
            shares = [share for kept, share in runs if kept]
            means.append(statistics.fmean(shares) if shares else 0.0)
            cells.append(f"{len(shares)}/{len(runs)} {means[-1]:.3f}")
        cells.append(f"{statistics.fmean(means):.3f}")
        seconds = [second for _, done, _, _, _, spent in outcomes if done == method for second in spent]
        cells.append(f"{statistics.fmean(seconds):.3f}")
        lines.append(cells)
    widths = [max(len(line[column]) for line in lines) for column in range(len(head))]
    return "\n".join("  ".join(cell.ljust(width) if column == 0 else cell.rjust(width)
                               for column, (cell, width) in enumerate(zip(line, widths))) for line in lines)


def main_in_process(args: argparse.Namespace) -> None:
    names = [name for name in args.problems.split(",") if name]
    methods = [name for name in args.methods.split(",") if name]
    unknown = [name for name in names if name not in GUARDED] + [name for name in methods if name not in samplers()]
    if unknown:
        sys.exit(f"unknown problems or methods: {', '.join(unknown)} (problems: {', '.join(GUARDED)}; methods: "
                 f"{', '.join(samplers())})")
    started = time.perf_counter()
    for name in names:
        BESTS[name] = GUARDED[name][1].best(GUARDED[name][0])
    jobs = [(name, method, seed, args.trials) for name in names for method in methods
            for seed in range(1, args.seeds + 1)]
    with concurrent.futures.ProcessPoolExecutor(args.jobs, mp_context=multiprocessing.get_context("fork")) as pool:
        outcomes = list(pool.map(in_process, jobs, chunksize=2))
    print(f"{args.trials} trials per run, {args.seeds} seeds; kept/share: runs whose left configuration keeps the "
          f"bound noise-free / their mean share of the best gain within it")
    for name in names:
        problem, guardrail = GUARDED[name]
        print(f"  {name}: {problem.name} ({len(problem.knobs)} knobs, noise {problem.noise:.0%}), "
              f"{guardrail.name} {guardrail.kind} {guardrail.limit:g} (noise {guardrail.noise:.0%}); best within "
              f"f = {BESTS[name][0]:.1f} of {problem.f({**problem.defaults, **problem.optimum}):.1f}")
    print()
    print(in_process_table(outcomes, names, methods))
    if args.per_seed:
        for name, method, seed, kept, share, _ in outcomes:
            print(f"{name} {method} seed {seed}: share {share:.3f}{'' if kept else ' (breaks the bound)'}")
    print(f"\nwall time {time.perf_counter() - started:.1f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--trials", type=int, default=30)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--tune-args", default="", help="arguments added to every knobsmith tune")
    parser.add_argument("--per-seed", action="store_true")
    parser.add_argument("--in-process", action="store_true", help="the guarded problems, in-process")
    parser.add_argument("--problems", default=",".join(GUARDED), help="with --in-process: comma-separated")
    parser.add_argument("--methods", default="knobsmith,knobsmith-binary,knobsmith-tpe",
                        help="with --in-process: comma-separated")
    args = parser.parse_args()
    if args.measure:
        sys.exit(measure())
    if args.in_process:
        main_in_process(args)
        return
    best, config = best_within_bound()
    print(f"f(defaults) = {sim.f(sim.DEFAULTS):.1f}, latency {latency(sim.DEFAULTS):g} ms; unconstrained optimum "
          f"f = {sim.f(sim.OPTIMUM):.1f}, latency {latency(sim.OPTIMUM):g} ms; best within max {BOUND:g} ms: "
          f"f = {best:.1f} (threads {config['threads']}, flush_ratio {config['flush_ratio']:g}); "
          f"{args.seeds} seeds x {args.trials} trials", flush=True)
    started = time.perf_counter()
    extra = shlex.split(args.tune_args)
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        outcomes = list(pool.map(lambda seed: run(seed, args.trials, extra, best), range(1, args.seeds + 1)))
    kept = [share for _, ms, share, _ in outcomes if ms <= BOUND + 1e-9]
    if args.per_seed:
        for seed, ms, share, failure in outcomes:
            print(f"seed {seed:3}: latency {ms:.2f} ms{'' if ms <= BOUND + 1e-9 else ' (breaks the bound)'}, "
                  f"share {share:.3f}{'  ' + failure if failure else ''}")
    failed = [(seed, failure) for seed, _, _, failure in outcomes if failure]
    print(f"kept the bound: {len(kept)} of {len(outcomes)} runs")
    if kept:
        print(f"share of the best gain within the bound, runs that kept it: mean {statistics.mean(kept):.3f}, "
              f"min {min(kept):.3f}")
    print(f"mean share over all runs (a run breaking the bound scores 0): "
          f"{sum(kept) / len(outcomes):.3f}")
    for seed, failure in failed:
        print(f"seed {seed} exited non-zero: {failure}")
    print(f"wall time {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()

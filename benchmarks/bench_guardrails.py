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

Usage:
    python benchmarks/bench_guardrails.py [--seeds 20] [--trials 30] [--jobs N] [--per-seed]
        [--tune-args "--repeats 1"]

Run with --measure in a folder written by it, it is that folder's benchmark.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import math
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

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import simulated_knobs as sim  # noqa: E402

KNOBSMITH = [str(pathlib.Path(sys.executable).parent / "knobsmith")]
BOUND = 6.0  # ms
LATENCY_NOISE = 0.03


def latency(config: dict[str, Any]) -> float:
    """The noise-free latency of a configuration, in ms."""
    return 2.0 + 0.5 * config["threads"] + 8.0 * max(0.0, 0.45 - config["flush_ratio"])


def best_within_bound() -> tuple[float, dict[str, Any]]:
    """The best noise-free throughput among configurations that keep the bound, and one of them."""
    best: tuple[float, dict[str, Any]] = (0.0, sim.DEFAULTS)
    for threads in range(1, 33):
        for step in range(1001):
            flush = step / 1000
            config = {**sim.OPTIMUM, "threads": threads, "flush_ratio": flush,
                      "buffer_mb": min(4096, 64 * threads), "cache_ratio": max(0.1, round(0.9 - flush, 1))}
            if latency(config) <= BOUND and sim.f(config) > best[0]:
                best = (sim.f(config), config)
    return best


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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--trials", type=int, default=30)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--tune-args", default="", help="arguments added to every knobsmith tune")
    parser.add_argument("--per-seed", action="store_true")
    args = parser.parse_args()
    if args.measure:
        sys.exit(measure())
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

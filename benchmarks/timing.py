"""Best-of-rounds timing and the table the benchmarks print."""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable


def best_of(run: Callable[[], object], rounds: int, calls: int = 1) -> tuple[float, float]:
    """(best, median) seconds per call over `rounds` rounds of `calls` calls each."""
    costs = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            run()
        costs.append((time.perf_counter() - start) / calls)
    return min(costs), statistics.median(costs)


def interleaved(runs: dict[str, Callable[[], object]], rounds: int, calls: int = 1) -> dict[str, tuple[float, float]]:
    """(best, median) seconds per call of each run, the runs taking turns in each round, so that a
    change in the machine's load weighs on all of them alike."""
    costs: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            start = time.perf_counter()
            for _ in range(calls):
                run()
            costs[name].append((time.perf_counter() - start) / calls)
    return {name: (min(values), statistics.median(values)) for name, values in costs.items()}


def show(seconds: float) -> str:
    return f"{seconds * 1000:10.3f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:10.1f} us"


def print_table(title: str, figures: dict[str, tuple[float, float]], base: str) -> None:
    """One line per figure: best, median, and the ratio of the best to the best of `base`."""
    print(title)
    reference = figures[base][0]
    width = max(len(name) for name in figures)
    for name, (best, median) in figures.items():
        print(f"  {name:{width}s} {show(best)} (median {show(median).strip()})   {best / reference:6.3f} x {base}")

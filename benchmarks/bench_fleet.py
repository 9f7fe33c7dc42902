"""Wall time of a tuning budget run by one worker and by several, on one PostgreSQL study.

Starts a private PostgreSQL server (as the fleet tests do), then, for each fleet size, runs that
many `knobsmith tune` workers in parallel on copies of a simulated workload whose benchmark takes
a fixed time, and prints the wall time, the trials per worker and the share of the workers' time
spent outside the benchmark (applying, reading back, the study's database, starting up).

Usage: python benchmarks/bench_fleet.py [--trials 30] [--seconds 1] [--workers 1 3]
"""

from __future__ import annotations

import argparse
import csv
import os
import pathlib
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
from postgres_server import private_server  # noqa: E402
from test_fleet import workload  # noqa: E402
from test_tune import BENCH as SCORE  # noqa: E402

SCRIPT = str(pathlib.Path(sys.executable).parent / "knobsmith")
# Each run notes when it began and ended; the score is the tests' (its optimum at x=7, mode=b).
BENCH = 'echo "start $(date +%s.%N)" >> runs\nsleep {seconds}\n' + SCORE + 'echo "end $(date +%s.%N)" >> runs\n'


def benchmark_runs(folder: pathlib.Path) -> list[tuple[float, float]]:
    """(start, end) of every benchmark run of a worker, on the wall clock."""
    runs, begun = [], 0.0
    for line in (folder / "runs").read_text().splitlines():
        word, stamp = line.split()
        if word == "start":
            begun = float(stamp)
        else:
            runs.append((begun, float(stamp)))
    return runs


def fleet(url: str, base: pathlib.Path, size: int, trials: int, seconds: float) -> None:
    study = f"bench-{size}"
    folders = [base / study / f"w{index}" for index in range(size)]
    for folder in folders:
        workload(folder, x=0, mode="a", iterations=trials, bench=BENCH.replace("{seconds}", f"{seconds:g}"), top=30)
    environment = dict(os.environ, XDG_STATE_HOME=str(base / study / "state"))
    started, wall_started = time.monotonic(), time.time()
    workers = [subprocess.Popen([SCRIPT, "tune", "tune.yaml", "--storage", url, "--study", study,
                                 "--worker", folder.name, "--report", "report"],
                                cwd=folder, env=environment, stdout=subprocess.DEVNULL,
                                stderr=open(folder / "err", "w")) for folder in folders]
    statuses = [process.wait() for process in workers]
    wall, wall_ended = time.monotonic() - started, time.time()
    if any(statuses):
        raise SystemExit(f"a worker failed: {[(folder / 'err').read_text() for folder in folders]}")
    with open(folders[0] / "report" / "trials.csv", newline="") as stream:
        rows = list(csv.DictReader(stream))
    per_worker = {folder.name: sum(row["worker"] == folder.name for row in rows) for folder in folders}
    runs = {folder.name: benchmark_runs(folder) for folder in folders}
    inside = sum(end - start for own in runs.values() for start, end in own)
    outside = 1 - inside / (wall * size)
    print(f"{size} worker{'s' if size > 1 else ''}: {len(rows)} trials in {wall:.1f} s wall "
          f"(trials per worker {per_worker}); benchmark runs {inside:.1f} s of {wall * size:.1f} worker-seconds, "
          f"{outside:.0%} outside the benchmark")
    for name, own in runs.items():
        # Outside the benchmark: before its first run (start-up, reading the values), between runs
        # (applying, reading back, the study), after its last (waiting for others, the end, the report).
        between = sum(start - end for (_, end), (start, _) in zip(own, own[1:]))
        print(f"  {name}: {own[0][0] - wall_started:.1f} s before the first run, {between:.1f} s between "
              f"{len(own)} runs ({between / max(1, len(own) - 1):.2f} s each), {wall_ended - own[-1][1]:.1f} s after the last")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=30)
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 3])
    args = parser.parse_args()
    with private_server() as url, tempfile.TemporaryDirectory(prefix="knobsmith-bench-fleet-") as folder:
        print(f"{args.trials} trials, benchmark {args.seconds:g} s, PostgreSQL study, {os.cpu_count()} cores")
        for size in args.workers:
            fleet(url, pathlib.Path(folder), size, args.trials, args.seconds)


if __name__ == "__main__":
    main()

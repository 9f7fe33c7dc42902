"""The tuner's own cost per trial as a study grows: the seconds spent outside the benchmark between
two trials when the study already holds 30, 300 or 1,000 trials, for one host (its journal file)
and for a fleet (8 workers on a private PostgreSQL).

A study of N trials is made by a short run (one trial, so that its parameters are the run's own),
then filled up to N with measured trials of random values; the run measured here goes on with it
for a few trials more (per worker, in a fleet) with a benchmark that sleeps a fraction of a
second. What it prints per row: the mean gap between two benchmark runs (proposing, applying and
reading back the values, the study's reads and writes), the SQL statements per trial of the fleet
(the server logs every statement while it runs, so the workers' joining is counted in), and, with
--profile, where the host's and one worker's time goes. `--only alone` times the proposing alone, in
this process: a fleet worker's on PostgreSQL with 7 trials of others running, and the host's
sampler, with no other process on the cores. With the defaults the script runs in 4 to 5 minutes on
two cores (a 1,000-trial study of 8 workers is made in seconds, and measured for 24 trials).

Usage: python benchmarks/bench_scale.py [--sizes 30 300 1000] [--workers 8] [--seconds 0.2]
       [--extra 4] [--more 3] [--only host|fleet|alone] [--rounds 5] [--profile]
"""

from __future__ import annotations

import argparse
import cProfile
import os
import pathlib
import pstats
import random
import subprocess
import sys
import tempfile
import time
from typing import Any

import yaml

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
from bench_fleet import SCRIPT, benchmark_runs  # noqa: E402
from conftest import KNOB_SET, SCORE_BENCH, knob_config  # noqa: E402
from postgres_server import private_server  # noqa: E402

BENCH = 'echo "start $(date +%s.%N)" >> runs\nsleep {seconds}\n' + SCORE_BENCH + 'echo "end $(date +%s.%N)" >> runs\n'
X_TOP = 100_000  # wide enough that 1,000 trials do not exhaust the space
STUDY = "scale"


def write_workload(folder: pathlib.Path, trials: int, seconds: float, extra: int) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    knob = {"desc": "", "needrestart": "false", "type": "discrete", "dtype": "int", "step": 1, "items": []}
    objects = [{"name": f"k{index}", "info": {**knob, "get": f"cat k{index}", "set": f"sh set.sh k{index} $value",
                                             "scope": [0, 1000]}} for index in range(extra)]
    for name in ["x", "mode", *(f"k{index}" for index in range(extra))]:
        (folder / name).write_text("a\n" if name == "mode" else "0\n")
    (folder / "bench.sh").write_text(BENCH.replace("{seconds}", f"{seconds:g}"))
    (folder / "set.sh").write_text(KNOB_SET)
    config = knob_config(iterations=trials, x={"scope": [0, X_TOP]}, objects=objects)
    (folder / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))


def fill(study: Any, count: int, seed: int) -> None:
    """Adds `count` measured trials of random values, alike the study's first one."""
    import optuna

    first = study.trials[0]
    rng = random.Random(seed)
    trials = []
    for _ in range(count):
        params = {}
        for name, distribution in first.distributions.items():
            if isinstance(distribution, optuna.distributions.CategoricalDistribution):
                params[name] = rng.choice(distribution.choices)
            else:
                params[name] = rng.randint(int(distribution.low), int(distribution.high))
        value = float(rng.randint(50, 110))
        attrs = {"worker": "filler", "host": "filler", "measurements": [value], "raw": value}
        trials.append(optuna.trial.create_trial(params=params, distributions=first.distributions, value=value,
                                                user_attrs=attrs if "worker" in first.user_attrs else {}))
    study.add_trials(trials)


def tune(folder: pathlib.Path, arguments: list[str], env: dict[str, str], profile: str | None = None) -> Any:
    command = [SCRIPT, "tune", "tune.yaml", "--confirm", "0", *arguments]
    if profile:
        command = [sys.executable, "-m", "cProfile", "-o", profile, *command]
    return subprocess.Popen(command, cwd=folder, env=env, stdout=subprocess.DEVNULL,
                            stderr=open(folder / "err", "a"))


def waited(processes: list[Any], folders: list[pathlib.Path]) -> None:
    if any(process.wait() for process in processes):
        raise SystemExit("a run failed: " + " | ".join((folder / "err").read_text()[-400:] for folder in folders))


def gaps(folder: pathlib.Path) -> list[float]:
    """The gaps between the trials' benchmark runs (the first run is the baseline, or a resumed
    run's first trial: the gap after it holds no start-up)."""
    runs = benchmark_runs(folder)
    return [start - end for (_, end), (start, _) in zip(runs[1:], runs[2:])]


def host(base: pathlib.Path, size: int, args: argparse.Namespace, env: dict[str, str]) -> tuple[float, int]:
    import optuna

    from knobsmith.tuner import study as studies

    folder = base / f"host-{size}"
    write_workload(folder, 1, args.seconds, args.extra)
    waited([tune(folder, ["--report", "report"], env)], [folder])
    storage = studies.journal(str(folder / "report"))
    name = optuna.get_all_study_names(storage)[0]
    fill(optuna.load_study(study_name=name, storage=storage), size - 1, size)
    write_workload(folder, size + args.more + 1, args.seconds, args.extra)
    (folder / "runs").unlink()
    profile = str(base / f"host-{size}.prof") if args.profile else None
    waited([tune(folder, ["--report", "report", "--resume"], env, profile)], [folder])
    found = gaps(folder)
    if profile:
        print(f"  host, {size} trials, {show(profile, args.more + 1)}")
    return sum(found) / len(found), 0


def fleet(base: pathlib.Path, url: str, log: str, size: int, args: argparse.Namespace,
          env: dict[str, str]) -> tuple[float, float]:
    import optuna

    from knobsmith.tuner import study as studies

    name = f"{STUDY}-{size}"
    common = ["--storage", url, "--study", name, "--report", "report"]
    starter = base / f"fleet-{size}" / "starter"
    write_workload(starter, 1, args.seconds, args.extra)
    waited([tune(starter, [*common, "--worker", "starter"], env)], [starter])
    fill(optuna.load_study(study_name=name, storage=studies.database(url)), size - 1, size)
    folders = [base / f"fleet-{size}" / f"w{index}" for index in range(args.workers)]
    budget = size + args.workers * args.more
    for folder in folders:
        write_workload(folder, budget, args.seconds, args.extra)
    logged = os.path.getsize(log)
    profile = str(base / f"fleet-{size}.prof") if args.profile else None
    workers = [tune(folder, [*common, "--worker", folder.name], env, profile if index == 0 else None)
               for index, folder in enumerate(folders)]
    waited(workers, folders)
    statements = statements_since(log, logged)
    found = [gap for folder in folders for gap in gaps(folder)]
    if profile:
        measured = len(benchmark_runs(folders[0])) - 1  # after its baseline
        print(f"  fleet, {size} trials, worker {folders[0].name} ({measured} trials): {show(profile, max(1, measured))}")
    return sum(found) / len(found), statements / (args.workers * args.more)


# What the profile is summed up by: a name, and the function (file, name) whose time it is.
PARTS = {
    "proposing": ("tuner/proposing.py", "propose"),
    "reading every trial": ("storages/_cached_storage.py", "get_all_trials"),
    "admitting": ("tuner/worker.py", "_admitted"),
    "applying and reading back": ("params/applying.py", "apply"),
    "report files": ("tuner/report.py", "write"),
}


def statements_since(log: str, offset: int) -> int:
    with open(log, encoding="utf-8", errors="replace") as stream:
        stream.seek(offset)
        return sum(" statement: " in line for line in stream)


def proposing_alone(url: str, log: str, size: int, args: argparse.Namespace) -> tuple[float, float, float]:
    """Seconds per proposal of a fleet's worker, and of a host's sampler, on a study of `size`
    trials (in PostgreSQL for the fleet, with 7 trials of other workers running; in memory for the
    host), in this process: the proposing alone, with no other worker on the cores."""
    from knobsmith.tuner import fleet as fleets
    from knobsmith.tuner import proposing
    from knobsmith.tuner import study as studies
    from knobsmith.tuner.space import suggestion

    space = {"x": suggestion({"name": "x", "dtype": "int", "type": "discrete", "range": [0, X_TOP], "step": 1}),
             "mode": suggestion({"name": "mode", "dtype": "string", "type": "discrete", "options": ["a", "b", "c"]}),
             **{f"k{index}": suggestion({"name": f"k{index}", "dtype": "int", "type": "discrete",
                                         "range": [0, 1000], "step": 1}) for index in range(args.extra)}}
    seconds, statements = [], 0
    for storage, shared in ((studies.database(url, 10), True), (None, False)):
        study = studies.create(storage, f"alone-{size}", "maximize", studies.sampler(size + 8, 1, shared=shared))
        first, _ = proposing.Proposer(study, space, 1).propose()  # type: ignore[misc]
        study.tell(first, 80.0)
        fill(study, size - 8, size)
        with fleets.quiet_asking():
            running = [proposing.Proposer(study, space, 2).propose() for _ in range(7)]
        for trial, _ in running:  # type: ignore[misc]
            trial.set_user_attr("claim", "elsewhere")
        proposer = proposing.Proposer(study, space, 3)
        spent, logged = 0.0, os.path.getsize(log)
        for _ in range(args.rounds):
            started = time.perf_counter()
            with fleets.quiet_asking():
                trial, _ = proposer.propose()  # type: ignore[misc]
            spent += time.perf_counter() - started
            study.tell(trial, 90.0)
        seconds.append(spent / args.rounds)
        statements = statements or statements_since(log, logged)
    return seconds[0], seconds[1], statements / args.rounds


def show(profile: str, trials: int) -> str:
    """Where the profiled run's time went, per trial it measured (profiled, so slower than bare)."""
    stats = pstats.Stats(profile).stats  # type: ignore[attr-defined]
    parts = []
    for label, (path, name) in PARTS.items():
        found = [(calls, cumulative) for (file, _, function), (_, calls, _, cumulative, _) in stats.items()
                 if file.endswith(path) and function == name]
        if found:
            calls, seconds = map(sum, zip(*found))
            parts.append(f"{label} {seconds / trials:.2f} s ({calls / trials:.1f} calls)")
    return "per trial: " + ", ".join(parts)


def logging_statements(url: Any) -> str:
    """Turns on the server's log of every statement; returns the log's path."""
    import psycopg

    with psycopg.connect(str(url).replace("postgresql://", "postgresql://", 1), autocommit=True) as connection:
        connection.execute("ALTER SYSTEM SET log_statement = 'all'")
        connection.execute("SELECT pg_reload_conf()")
    return url.pg_ctl[url.pg_ctl.index("-l") + 1]


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load {one:.1f} (1 min), {five:.1f} (5 min), {os.cpu_count()} cores"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[30, 300, 1000])
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=0.2, help="the benchmark's sleep")
    parser.add_argument("--extra", type=int, default=4, help="int knobs beside x and mode")
    parser.add_argument("--more", type=int, default=3, help="trials measured per run (per worker in a fleet)")
    parser.add_argument("--only", choices=["host", "fleet", "alone"])
    parser.add_argument("--profile", action="store_true", help="profile the host run and the first worker")
    parser.add_argument("--rounds", type=int, default=5, help="proposals timed in-process (--only alone)")
    args = parser.parse_args()
    print(f"{args.extra + 2} knobs, benchmark sleeps {args.seconds:g} s, {args.more} trials measured per run, "
          f"fleet of {args.workers} workers; {load()}")
    with tempfile.TemporaryDirectory(prefix="knobsmith-bench-scale-") as folder:
        base = pathlib.Path(folder)
        env = dict(os.environ, XDG_STATE_HOME=str(base / "state"))
        rows = []
        if args.only == "alone":
            with private_server() as url:
                log = logging_statements(url)
                for size in args.sizes:
                    fleet_seconds, host_seconds, statements = proposing_alone(url, log, size, args)
                    rows.append(f"| proposing alone, fleet's TPE (PostgreSQL) / host's GP (in memory) | {size} | "
                                f"{fleet_seconds:.3f} s / {host_seconds:.3f} s | {statements:.0f} with its tell | | "
                                f"{load()} |")
                    print(rows[-1], flush=True)
        elif args.only != "fleet":
            for size in args.sizes:
                started = time.monotonic()
                gap, _ = host(base, size, args, env)
                rows.append(f"| host, journal file | {size} | {gap:.2f} s | | {time.monotonic() - started:.0f} s | {load()} |")
                print(rows[-1], flush=True)
        if args.only in (None, "fleet"):
            with private_server() as url:
                log = logging_statements(url)
                for size in args.sizes:
                    started = time.monotonic()
                    gap, statements = fleet(base, url, log, size, args, env)
                    rows.append(f"| fleet of {args.workers}, PostgreSQL | {size} | {gap:.2f} s | {statements:.0f} | "
                                f"{time.monotonic() - started:.0f} s | {load()} |")
                    print(rows[-1], flush=True)
    print("\n| study | trials in it | outside the benchmark per trial | SQL statements per trial | run | load |")
    print("|---|---|---|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()

"""Simulated tuning problems of different kinds, for choosing the sampler on more than one.

Each problem has its knobs in the form of simulated_knobs.KNOBS (type, dtype, scope or options,
step, default), a noise-free value f to maximize, a failure predicate and a noise level. Every f is
PEAK * exp(-penalty), each term of the penalty zero at the optimum and positive elsewhere (a
flat-bottomed well, or a cost per string option that is zero for the best one), so the optimum is
known by construction: f(optimum) = PEAK, and no configuration does better. Every optimum is
feasible.

A measurement is f times lognormal noise drawn from a stream named by the problem, the seed and
the measurement's index: every method meeting a seed meets the same noise on its k-th measurement.

The problems (knobs that matter / knobs, noise):

- sparse8 (3/8, 3 %): a worker count, a cache size over 2.4 orders of magnitude and an I/O mode.
- sparse8_oom (3/8, 3 %): the same, failing "out of memory" when workers x cache passes 64 GB, a
  joint corner of two knobs; the optimum uses three quarters of that.
- database14 (6/14, 6 %): shaped like a database server: memory sizes over three orders of
  magnitude with the optimum near the top, two interacting pairs (the cache estimate follows the
  buffers; the memory per query follows the connections), and an I/O concurrency whose effect is
  linear with its optimum in the top fifth of [1, 1000].
- batch10 (5/10, 5 %): a batch size whose best value lies just under the threshold above which a
  run fails (a timeout), a compression whose best level depends on the algorithm, a flush interval.
- strings20 (4/20, 2 %): mostly string knobs; the best allocator depends on the engine; a read-ahead
  size over 3.6 orders of magnitude, best near the top.
- tenknobs (6/10, 4 %): benchmarks/simulated_knobs.py, the problem the sampler was first chosen on.

Guarded problems add to a problem a second evaluation with a bound its optimum breaks (GUARDED):

- tenknobs_latency: tenknobs with a latency growing with the threads and a low flush ratio, max 6 ms
  (benchmarks/bench_guardrails.py runs it through `knobsmith tune`).
- sparse8_memory: sparse8_oom with the memory workers x cache take, max 24 GB (the optimum takes 49).
- batch10_latency: batch10 with a latency growing with the batch size and the flush interval, max
  15 ms (the optimum's is 34).
- database14_free: database14 with the memory left free by the buffers and the memory per query,
  min 56 GB (a bound from below; the optimum leaves 48).
"""

from __future__ import annotations

import math
import pathlib
import random
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import simulated_knobs as sim  # noqa: E402

PEAK = 1000.0
Config = dict[str, Any]


def well(distance: float, width: float, weight: float) -> float:
    """Zero at distance 0, `weight` far away; flat near 0, steepest about `width` off."""
    return weight * (1.0 - math.exp(-0.5 * abs(distance / width) ** 3))


def octaves(value: float, best: float) -> float:
    """How many factors of two `value` is off `best`."""
    return math.log2(value / best)


def knob(name: str, kind: str, dtype: str, scope: Any, default: Any, step: float | None = None) -> dict[str, Any]:
    item: dict[str, Any] = {"name": name, "type": kind, "dtype": dtype, "default": default}
    item["options" if dtype == "string" else "scope"] = scope
    if step is not None:
        item["step"] = step
    return item


def never(config: Config) -> str:
    return ""


@dataclass(frozen=True)
class Problem:
    name: str
    knobs: list[dict[str, Any]]
    penalty: Callable[[Config], float]
    optimum: Config  # the knobs that matter; the others keep their defaults
    noise: float  # sd of the log of the multiplicative noise
    failure: Callable[[Config], str] = field(default=never)  # why a configuration fails, "" when it runs

    @property
    def defaults(self) -> Config:
        return {item["name"]: item["default"] for item in self.knobs}

    def f(self, config: Config) -> float:
        return PEAK * math.exp(-self.penalty(config))

    def measure(self, config: Config, seed: int, index: int) -> float:
        rng = random.Random(f"{self.name}/{seed}/{index}")
        return self.f(config) * math.exp(rng.gauss(0.0, self.noise))

    def share(self, config: Config) -> float:
        """The part of the possible gain over the defaults that `config` captures, noise-free."""
        low = self.f(self.defaults)
        return (self.f({**self.defaults, **config}) - low) / (PEAK - low)

    def settings(self) -> list[dict[str, Any]]:
        """The knobs as the optimizer settings knobsmith derives from a configuration."""
        settings = []
        for item in self.knobs:
            entry = {key: item[key] for key in ("name", "type", "dtype")}
            if item["dtype"] == "string":
                entry["options"] = list(item["options"])
            else:
                entry.update(range=list(item["scope"]), step=item.get("step", 0), items=[])
            settings.append(entry)
        return settings


# -- sparse8 and sparse8_oom

SPARSE_KNOBS = [
    knob("workers", "discrete", "int", [1, 64], 4, 1),
    knob("cache_mb", "continuous", "int", [32, 8192], 256),
    knob("io_mode", "discrete", "string", ["sync", "async", "direct", "mmap"], "sync"),
    knob("log_level", "discrete", "string", ["debug", "info", "warn", "error"], "info"),
    knob("batch_delay", "continuous", "float", [0.0, 10.0], 1.0),
    knob("prefetch_kb", "discrete", "int", [0, 512], 64, 32),
    knob("checksum", "discrete", "string", ["on", "off"], "on"),
    knob("retries", "discrete", "int", [0, 10], 3, 1),
]
IO_COST = {"sync": 0.5, "async": 0.2, "direct": 0.0, "mmap": 0.35}


def sparse_penalty(config: Config) -> float:
    return (well(config["workers"] - 24, 14, 0.5) + well(octaves(config["cache_mb"], 2048), 2.0, 0.8)
            + IO_COST[config["io_mode"]])


def out_of_memory(config: Config) -> str:
    return "out of memory" if config["workers"] * config["cache_mb"] > 98304 else ""


# -- database14

DATABASE_KNOBS = [
    knob("shared_buffers_mb", "continuous", "int", [16, 16384], 128),
    knob("effective_cache_mb", "continuous", "int", [64, 65536], 4096),
    knob("max_connections", "discrete", "int", [10, 2000], 100, 10),
    knob("work_mem_kb", "continuous", "int", [64, 262144], 4096),
    knob("io_concurrency", "continuous", "int", [1, 1000], 1),
    knob("checkpoint_target", "continuous", "float", [0.1, 0.99], 0.5),
    knob("wal_buffers_kb", "continuous", "int", [64, 16384], 512),
    knob("random_page_cost", "continuous", "float", [1.0, 10.0], 4.0),
    knob("autovacuum_naptime", "discrete", "int", [1, 600], 60, 1),
    knob("deadlock_timeout_ms", "discrete", "int", [100, 10000], 1000, 100),
    knob("log_min_duration_ms", "continuous", "int", [0, 10000], 0),
    knob("synchronous_commit", "discrete", "string", ["on", "off", "local", "remote_write"], "on"),
    knob("log_destination", "discrete", "string", ["stderr", "csvlog", "syslog"], "stderr"),
    knob("jit", "discrete", "string", ["on", "off"], "on"),
]


def database_penalty(config: Config) -> float:
    buffers, connections = config["shared_buffers_mb"], config["max_connections"]
    return (well(octaves(buffers, 12288), 2.5, 0.5)
            + well(octaves(config["effective_cache_mb"], 3 * buffers), 2.0, 0.3)
            + well((connections - 300) / 300, 1.0, 0.3)
            + well(octaves(config["work_mem_kb"] * connections, 4 * 1024 * 1024), 2.5, 0.4)
            + well((config["io_concurrency"] - 800) / 500, 1.0, 0.4)
            + well((config["checkpoint_target"] - 0.9) / 0.3, 1.0, 0.3))


# -- batch10

BATCH_KNOBS = [
    knob("batch_size", "continuous", "int", [1, 10000], 100),
    knob("flush_interval_ms", "discrete", "int", [10, 5000], 1000, 10),
    knob("compression", "discrete", "string", ["none", "gzip", "snappy", "zstd"], "none"),
    knob("level", "discrete", "int", [1, 9], 5, 1),
    knob("threads", "discrete", "int", [1, 32], 2, 1),
    knob("queue_ratio", "continuous", "float", [0.05, 0.95], 0.5),
    knob("ack_mode", "discrete", "string", ["all", "leader", "none"], "all"),
    knob("linger_ms", "continuous", "float", [0.0, 100.0], 5.0),
    knob("socket_kb", "discrete", "int", [64, 4096], 128, 64),
    knob("metrics", "discrete", "string", ["on", "off"], "on"),
]
COMPRESSION_COST = {"none": 0.3, "gzip": 0.25, "snappy": 0.1, "zstd": 0.0}
BEST_LEVEL = {"gzip": 6, "zstd": 3}


def batch_penalty(config: Config) -> float:
    compression = config["compression"]
    cost = (well(octaves(config["batch_size"], 3000), 2.5, 0.7) + well((config["flush_interval_ms"] - 200) / 1000, 1.0, 0.3)
            + COMPRESSION_COST[compression] + well(config["threads"] - 8, 8, 0.3))
    if compression in BEST_LEVEL:
        cost += well(config["level"] - BEST_LEVEL[compression], 3, 0.2)
    return cost


def timeout(config: Config) -> str:
    return "timed out" if config["batch_size"] > 4000 else ""


# -- strings20

STRING_KNOBS = [
    knob("engine", "discrete", "string", ["heap", "btree", "lsm", "columnar", "memory"], "heap"),
    knob("allocator", "discrete", "string", ["system", "pooled", "arena"], "system"),
    knob("sort_method", "discrete", "string", ["quick", "merge", "radix", "heap"], "quick"),
    knob("readahead_kb", "continuous", "int", [4, 16384], 128),
    *(knob(f"option_{index}", "discrete", "string", ["a", "b", "c"][: 2 + index % 2], "a") for index in range(8)),
    knob("timer_hz", "discrete", "int", [100, 1000], 250, 50),
    knob("spin_count", "continuous", "int", [0, 5000], 100),
    knob("max_files", "continuous", "int", [64, 65536], 1024),
    knob("slab_pages", "discrete", "int", [1, 64], 8, 1),
    knob("grace_s", "continuous", "float", [0.0, 30.0], 5.0),
    knob("jitter", "continuous", "float", [0.0, 1.0], 0.1),
    knob("backoff", "continuous", "float", [1.0, 4.0], 2.0),
    knob("stats_every", "discrete", "int", [1, 100], 10, 1),
]
ENGINE_COST = {"heap": 0.6, "btree": 0.35, "lsm": 0.0, "columnar": 0.15, "memory": 0.5}
BEST_ALLOCATOR = {"heap": "system", "btree": "pooled", "lsm": "arena", "columnar": "pooled", "memory": "arena"}
SORT_COST = {"quick": 0.2, "merge": 0.1, "radix": 0.0, "heap": 0.3}


def strings_penalty(config: Config) -> float:
    cost = ENGINE_COST[config["engine"]] + SORT_COST[config["sort_method"]]
    cost += 0.0 if config["allocator"] == BEST_ALLOCATOR[config["engine"]] else 0.2
    return cost + well(octaves(config["readahead_kb"], 8192), 2.0, 0.6)


PROBLEMS = {problem.name: problem for problem in [
    Problem("sparse8", SPARSE_KNOBS, sparse_penalty, {"workers": 24, "cache_mb": 2048, "io_mode": "direct"}, 0.03),
    Problem("sparse8_oom", SPARSE_KNOBS, sparse_penalty, {"workers": 24, "cache_mb": 2048, "io_mode": "direct"}, 0.03,
            out_of_memory),
    Problem("database14", DATABASE_KNOBS, database_penalty,
            {"shared_buffers_mb": 12288, "effective_cache_mb": 36864, "max_connections": 300, "work_mem_kb": 13981,
             "io_concurrency": 800, "checkpoint_target": 0.9}, 0.06),
    Problem("batch10", BATCH_KNOBS, batch_penalty,
            {"batch_size": 3000, "flush_interval_ms": 200, "compression": "zstd", "level": 3, "threads": 8}, 0.05,
            timeout),
    Problem("strings20", STRING_KNOBS, strings_penalty,
            {"engine": "lsm", "allocator": "arena", "sort_method": "radix", "readahead_kb": 8192}, 0.02),
    Problem("tenknobs", sim.KNOBS, sim.penalty, sim.OPTIMUM, sim.NOISE),
]}


def named(text: str) -> list[str]:
    """The problems a comma-separated `--problems` names; exits naming the unknown ones."""
    names = [name for name in text.split(",") if name]
    unknown = [name for name in names if name not in PROBLEMS]
    if unknown:
        sys.exit(f"unknown problems: {', '.join(unknown)} (known: {', '.join(PROBLEMS)})")
    return names


# -- guarded problems


@dataclass(frozen=True)
class Guardrail:
    """A second evaluation with a bound (`kind` "max" or "min"): noise-free `value`, measured with
    lognormal noise; the best configuration within the bound is among `candidates`."""

    name: str
    value: Callable[[Config], float]
    kind: str
    limit: float
    noise: float
    candidates: Callable[[], Iterable[Config]]

    def kept(self, config: Config) -> bool:
        value = self.value(config)
        return value <= self.limit + 1e-9 if self.kind == "max" else value >= self.limit - 1e-9

    def measure(self, config: Config, seed: int, index: int) -> float:
        rng = random.Random(f"{self.name}/{seed}/{index}")
        return self.value(config) * math.exp(rng.gauss(0.0, self.noise))

    def best(self, problem: Problem) -> tuple[float, Config]:
        """The best noise-free value of `problem` within the bound, and a configuration giving it."""
        best: tuple[float, Config] = (problem.f(problem.defaults), problem.defaults)
        for candidate in self.candidates():
            config = {**problem.defaults, **problem.optimum, **candidate}
            if self.kept(config) and not problem.failure(config) and problem.f(config) > best[0]:
                best = (problem.f(config), config)
        return best


def latency_ms(config: Config) -> float:
    return 2.0 + 0.5 * config["threads"] + 8.0 * max(0.0, 0.45 - config["flush_ratio"])


def latency_candidates() -> Iterator[Config]:
    # The buffer follows the threads, the cache ratio the flush ratio.
    for threads in range(1, 33):
        for step in range(1001):
            flush = step / 1000
            yield {"threads": threads, "flush_ratio": flush, "buffer_mb": min(4096, 64 * threads),
                   "cache_ratio": max(0.1, round(0.9 - flush, 1))}


MEMORY_LIMIT_MB = 24 * 1024


def memory_gb(config: Config) -> float:
    return 1.0 + config["workers"] * config["cache_mb"] / 1024


def memory_candidates() -> Iterator[Config]:
    # The cache is best as near 2048 MB as the bound lets it be.
    for workers in range(1, 65):
        yield {"workers": workers, "cache_mb": max(32, min(2048, (MEMORY_LIMIT_MB - 1024) // workers))}


def batch_latency_ms(config: Config) -> float:
    return 2.0 + config["batch_size"] / 100 + config["flush_interval_ms"] / 100


def batch_latency_candidates() -> Iterator[Config]:
    # The batch is best as near 3000 as the bound lets it be.
    for flush in range(10, 5001, 10):
        batch = min(3000, 1300 - flush)
        if batch >= 1:
            yield {"flush_interval_ms": flush, "batch_size": batch}


def free_gb(config: Config) -> float:
    # The kernel keeps a gigabyte free, swapping out what does not fit.
    used = config["shared_buffers_mb"] / 1024 + config["work_mem_kb"] * config["max_connections"] / 1024**2
    return max(1.0, 64.0 - used)


def free_candidates() -> Iterator[Config]:
    # The memory per query is best as near its optimum as what the buffers leave lets it be, the
    # cache estimate three times the buffers.
    for buffers in range(16, 8193, 16):
        for connections in range(10, 1001, 10):
            work = min(4 * 1024 * 1024 // connections, (8192 - buffers) * 1024 // connections)
            if work >= 64:
                yield {"shared_buffers_mb": buffers, "effective_cache_mb": 3 * buffers,
                       "max_connections": connections, "work_mem_kb": work}


GUARDED = {
    "tenknobs_latency": (PROBLEMS["tenknobs"], Guardrail("latency_ms", latency_ms, "max", 6.0, 0.03,
                                                         latency_candidates)),
    "sparse8_memory": (PROBLEMS["sparse8_oom"], Guardrail("memory_gb", memory_gb, "max", MEMORY_LIMIT_MB / 1024,
                                                          0.02, memory_candidates)),
    "batch10_latency": (PROBLEMS["batch10"], Guardrail("latency_ms", batch_latency_ms, "max", 15.0, 0.03,
                                                       batch_latency_candidates)),
    "database14_free": (PROBLEMS["database14"], Guardrail("free_gb", free_gb, "min", 56.0, 0.01, free_candidates)),
}

"""A simulated system to tune: ten knobs, a throughput with a known optimum, noisy measurements.

Six knobs matter, four do not. The throughput is 1000 at the optimum and falls off as
1000 * exp(-penalty), each term of the penalty being zero at the optimum and positive elsewhere:

- `compression` is worth most as zstd (lz4 and none cost 0.45 and 0.6); its `level` wants 3 for
  zstd and 1 for lz4, matters little, and not at all without compression;
- `flush_ratio` wants 0.3 and costs most when far off; `cache_ratio` wants what `flush_ratio`
  leaves of 0.9 (a small cost);
- `buffer_mb` wants 64 MB per thread, so its best value moves with `threads` (judged in factors of
  two, a large cost when far off); `threads` itself wants 12 (a small cost);
- `scheduler`, `log_level`, `prefetch_kb` and `retry_delay` change nothing.

The defaults (4 threads, 128 MB, no compression, level 6, flush 0.85, cache 0.5) give about 270,
a little over a quarter of the optimum. A measurement is the throughput times lognormal noise of
4 %.

The weights and widths are set so that plain random search with 30 trials leaves about 0.83 of
the possible gain and Optuna's default TPE sampler about 0.90 (seeds 1 to 300: 0.829 and 0.898,
standard errors 0.006 and 0.008), in the search space knobsmith derives, buffer_mb on a log
scale. Almost half of TPE's shortfall comes from the one seed in twelve that ends without zstd:
tried a couple of times along with poor values of the other knobs, it looked no better than lz4
and was dropped.

Run as a script in a folder written by `write_config`, it is that folder's benchmark: it reads the
knob files in knobs/, measures once and writes the result to the file `score`. Its noise comes
from a named stream when the folder has one (a run with the same seed can then be repeated
exactly, and two tuners meet the same noise), else from os.urandom.
"""

from __future__ import annotations

import math
import os
import random
import shlex
import sys
from typing import Any

NOISE = 0.04  # sd of the log of the multiplicative noise
PEAK = 1000.0

# name, type, dtype, scope or options, step, default
KNOBS: list[dict[str, Any]] = [
    {"name": "threads", "type": "discrete", "dtype": "int", "scope": [1, 32], "step": 1, "default": 4},
    {"name": "buffer_mb", "type": "continuous", "dtype": "int", "scope": [16, 4096], "default": 128},
    {"name": "compression", "type": "discrete", "dtype": "string", "options": ["none", "lz4", "zstd"],
     "default": "none"},
    {"name": "level", "type": "discrete", "dtype": "int", "scope": [1, 9], "step": 1, "default": 6},
    {"name": "flush_ratio", "type": "continuous", "dtype": "float", "scope": [0.0, 1.0], "default": 0.85},
    {"name": "cache_ratio", "type": "discrete", "dtype": "float", "scope": [0.1, 0.9], "step": 0.1, "default": 0.5},
    {"name": "scheduler", "type": "discrete", "dtype": "string", "options": ["fifo", "deadline", "cfq", "noop"],
     "default": "fifo"},
    {"name": "log_level", "type": "discrete", "dtype": "string", "options": ["debug", "info", "warn", "error"],
     "default": "info"},
    {"name": "prefetch_kb", "type": "discrete", "dtype": "int", "scope": [0, 256], "step": 16, "default": 64},
    {"name": "retry_delay", "type": "continuous", "dtype": "float", "scope": [0.1, 5.0], "default": 1.0},
]

DEFAULTS = {knob["name"]: knob["default"] for knob in KNOBS}
OPTIMUM = {**DEFAULTS, "threads": 12, "buffer_mb": 768, "compression": "zstd", "level": 3,
           "flush_ratio": 0.3, "cache_ratio": 0.6}

# Each term of the penalty is a flat-bottomed well, zero at the optimum and WEIGHT far from it:
# WEIGHT * (1 - exp(-|distance / WIDTH|^3 / 2)). Distances: threads in threads, buffer_mb in factors
# of two off 64 MB per thread, level in levels off the compression's best, the ratios as they are.
WEIGHT = {"threads": 0.2, "buffer_mb": 0.9, "level": 0.1, "flush_ratio": 1.15, "cache_ratio": 0.2}
WIDTH = {"threads": 7.0, "buffer_mb": 3.2, "level": 5.5, "flush_ratio": 0.5, "cache_ratio": 0.6}
COMPRESSION_COST = {"zstd": 0.0, "lz4": 0.45, "none": 0.6}
BEST_LEVEL = {"zstd": 3, "lz4": 1}
LEVEL_MATTERS = {"zstd": 1.0, "lz4": 0.2}


def well(name: str, distance: float) -> float:
    return WEIGHT[name] * (1.0 - math.exp(-0.5 * abs(distance / WIDTH[name]) ** 3))


def penalty(config: dict[str, Any]) -> float:
    threads, compression, flush = config["threads"], config["compression"], config["flush_ratio"]
    cost = well("threads", threads - 12)
    cost += well("buffer_mb", math.log2(config["buffer_mb"] / (64 * threads)))
    cost += COMPRESSION_COST[compression]
    if compression != "none":
        cost += LEVEL_MATTERS[compression] * well("level", config["level"] - BEST_LEVEL[compression])
    cost += well("flush_ratio", flush - 0.3)
    cost += well("cache_ratio", config["cache_ratio"] - (0.9 - flush))
    return cost


def f(config: dict[str, Any]) -> float:
    """The noise-free throughput of a configuration."""
    return PEAK * math.exp(-penalty(config))


def measure(config: dict[str, Any], stream: str | None, index: int) -> float:
    """The `index`-th measurement of a noise stream: f times lognormal noise. Every method tuning
    with the same stream meets the same noise on its k-th measurement; no stream, fresh noise."""
    rng = random.Random(os.urandom(16) if stream is None else f"{stream}/{index}")
    return f(config) * math.exp(rng.gauss(0.0, NOISE))


def share(value: float) -> float:
    """The part of the possible gain over the defaults that `value` captures."""
    low = f(DEFAULTS)
    return (value - low) / (PEAK - low)


# -- the simulated system on disk


def parse(knob: dict[str, Any], text: str) -> Any:
    """A knob's value as its file holds it."""
    text = text.strip()
    if knob["dtype"] == "string":
        if text not in knob["options"]:
            raise ValueError(f"{knob['name']}: {text!r} is not one of {knob['options']}")
        return text
    value = float(text)
    if knob["dtype"] == "int":
        if value != int(value):
            raise ValueError(f"{knob['name']}: {text!r} is not an integer")
        value = int(value)
    low, high = knob["scope"]
    if not low - 1e-9 <= value <= high + 1e-9:
        raise ValueError(f"{knob['name']}: {text!r} is outside [{low}, {high}]")
    return value


def read_config(folder: str) -> dict[str, Any]:
    """The configuration applied in `folder` (its knob files)."""
    config = {}
    for knob in KNOBS:
        with open(os.path.join(folder, "knobs", knob["name"]), encoding="utf-8") as stream:
            config[knob["name"]] = parse(knob, stream.read())
    return config


def write_config(folder: str, iterations: int = 30, noise: str | None = None) -> str:
    """Writes the knob files (at their defaults) and the tuning configuration into `folder`;
    returns the configuration's path. Commands are relative to `folder`, where tune runs. With
    `noise`, the benchmark draws its noise from that stream (kept in the file `noise`, with the
    count of measurements so far in `measured`), so that a run can be repeated exactly."""
    os.makedirs(os.path.join(folder, "knobs"), exist_ok=True)
    if noise is not None:
        with open(os.path.join(folder, "noise"), "w", encoding="utf-8") as stream:
            stream.write(noise)
    for knob in KNOBS:
        with open(os.path.join(folder, "knobs", knob["name"]), "w", encoding="utf-8") as stream:
            stream.write(f"{knob['default']}\n")
    objects = []
    for knob in KNOBS:
        info: dict[str, Any] = {
            "desc": "", "get": f"cat knobs/{knob['name']}", "set": f"echo $value > knobs/{knob['name']}",
            "needrestart": "false", "type": knob["type"], "dtype": knob["dtype"],
        }
        if knob["dtype"] == "string":
            info["options"] = list(knob["options"])
        else:
            info["scope"] = list(knob["scope"])
        if knob["type"] == "discrete" and knob["dtype"] != "string":
            info["step"] = knob["step"]
            info["items"] = []
        objects.append({"name": knob["name"], "info": info})
    config = {
        "iterations": iterations, "timeout": 0,
        # -S: no site packages to load, the benchmark only needs the standard library.
        "benchmark": f"{shlex.quote(sys.executable)} -S {shlex.quote(os.path.abspath(__file__))}",
        "startworkload": "", "stopworkload": "",
        "evaluations": [{"name": "throughput", "info": {"get": "cat score", "type": "positive", "target": None}}],
        "object": objects,
    }
    import yaml  # only the writer needs it; the benchmark itself starts without it

    path = os.path.join(folder, "tune.yaml")
    with open(path, "w", encoding="utf-8") as stream:
        yaml.safe_dump(config, stream, sort_keys=False)
    return path


def main() -> int:
    """One benchmark run in the current folder."""
    try:
        config = read_config(".")
    except (OSError, ValueError) as error:
        print(f"simulated_knobs: {error}", file=sys.stderr)
        return 1
    stream, index = None, 0
    if os.path.exists("noise"):
        with open("noise", encoding="utf-8") as kept:
            stream = kept.read()
        if os.path.exists("measured"):
            with open("measured", encoding="utf-8") as kept:
                index = int(kept.read())
        with open("measured", "w", encoding="utf-8") as kept:
            kept.write(f"{index + 1}\n")
    value = measure(config, stream, index)
    with open("score", "w", encoding="utf-8") as stream:
        stream.write(f"{value:.6f}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

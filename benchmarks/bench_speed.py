"""Every speed figure of the package in one run: Cfg().init and the accessors, the validator,
`knobsmith recommend cpu` and `--version` beside the interpreter's start-up, and the runner quiet
and with every core busy. Usage: python benchmarks/bench_speed.py
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_get_params  # noqa: E402
import bench_loadplan  # noqa: E402
import bench_recommend  # noqa: E402
import bench_vetplan  # noqa: E402


def main() -> None:
    # The runner's comes last: it loads the machine and works in a folder of its own.
    for bench in (bench_loadplan, bench_vetplan, bench_recommend, bench_get_params):
        print(f"\n== {bench.__name__}")
        bench.main()


if __name__ == "__main__":
    main()

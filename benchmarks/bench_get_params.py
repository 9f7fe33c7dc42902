"""Cost per command of StageKit.get_params next to a plain posix_spawn loop and subprocess.

Runs the same 200 get commands three ways in one process, in interleaved rounds, and prints the
cost per command (the best of the rounds) and the ratios: once on the machine as it is, once with
every core kept busy by a bounded CPU load, where a runner that sleeps between looks at its
child sees the child's end late. Usage: python benchmarks/bench_get_params.py
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager

from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit
from timing import interleaved

PARAMETERS = 200
ROUNDS = 5
SHELL = "/bin/sh"
LOAD_SECONDS = 120  # a load left behind by an interrupted run ends by itself


def commands() -> list[str]:
    return [f"echo {index}" for index in range(PARAMETERS)]


def plain_posix_spawn(command: str) -> tuple[bytes, bytes]:
    out_read, out_write = os.pipe()
    err_read, err_write = os.pipe()
    pid = os.posix_spawn(
        SHELL, [SHELL, "-c", command], os.environ,
        file_actions=[(os.POSIX_SPAWN_DUP2, out_write, 1), (os.POSIX_SPAWN_DUP2, err_write, 2)],
    )
    os.close(out_write)
    os.close(err_write)
    chunks = {out_read: [], err_read: []}
    for fd in (out_read, err_read):
        while data := os.read(fd, 65536):
            chunks[fd].append(data)
        os.close(fd)
    os.waitpid(pid, 0)
    return b"".join(chunks[out_read]), b"".join(chunks[err_read])


@contextmanager
def cpu_load() -> Iterator[int]:
    """One spinning process per core, each ending by itself after LOAD_SECONDS at the latest."""
    spin = f"import time\nend = time.monotonic() + {LOAD_SECONDS}\nwhile time.monotonic() < end: pass\n"
    spinners = [subprocess.Popen([sys.executable, "-c", spin]) for _ in range(os.cpu_count() or 1)]
    try:
        time.sleep(0.2)  # running before the measuring starts
        yield len(spinners)
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()


def per_command(runs: dict[str, Callable[[], object]]) -> dict[str, tuple[float, float]]:
    """Best and median cost per command in milliseconds, the ways taking turns in each round."""
    return {name: (best / PARAMETERS * 1000, median / PARAMETERS * 1000)
            for name, (best, median) in interleaved(runs, ROUNDS).items()}


def show(title: str, figures: dict[str, tuple[float, float]]) -> None:
    base = figures["plain posix_spawn loop"][0]
    print(title)
    for name, (best, median) in figures.items():
        print(f"  {name:24s} {best:7.3f} ms ({median:.3f} ms)   ratio to posix_spawn {best / base:.3f}")


def main() -> None:
    cmds = commands()
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        Cfg().yml = {"object": [{"name": f"p{i}", "info": {"get": cmd}} for i, cmd in enumerate(cmds)]}
        kit = StageKit()
        assert kit.get_params()["p199"] == "199"
        runs = {
            "StageKit.get_params": kit.get_params,
            "plain posix_spawn loop": lambda: [plain_posix_spawn(cmd) for cmd in cmds],
            "subprocess.run": lambda: [subprocess.run([SHELL, "-c", cmd], capture_output=True) for cmd in cmds],
        }
        quiet = per_command(runs)
        with cpu_load() as spinners:
            loaded = per_command(runs)
    show(f"{PARAMETERS} get commands, best (median) of {ROUNDS} interleaved rounds, per command:", quiet)
    show(f"the same with {spinners} processes spinning (every core busy):", loaded)


if __name__ == "__main__":
    main()

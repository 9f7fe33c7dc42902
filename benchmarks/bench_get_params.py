"""Cost per command of StageKit.get_params next to a plain posix_spawn loop and subprocess.

Runs the same 200 get commands three ways in one process and prints the cost per command
(the best of several rounds) and the ratios. Usage: python benchmarks/bench_get_params.py
"""

from __future__ import annotations

import os
import statistics
import subprocess
import tempfile
import time

from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit

PARAMETERS = 200
ROUNDS = 7
SHELL = "/bin/sh"


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


def per_command(run) -> float:
    """Best cost per command over the rounds, in milliseconds."""
    costs = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        run()
        costs.append((time.perf_counter() - start) / PARAMETERS * 1000)
    return min(costs), statistics.median(costs)


def main() -> None:
    cmds = commands()
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        Cfg().yml = {"object": [{"name": f"p{i}", "info": {"get": cmd}} for i, cmd in enumerate(cmds)]}
        kit = StageKit()
        assert kit.get_params()["p199"] == "199"
        figures = {
            "StageKit.get_params": per_command(kit.get_params),
            "plain posix_spawn loop": per_command(lambda: [plain_posix_spawn(cmd) for cmd in cmds]),
            "subprocess.run": per_command(
                lambda: [subprocess.run([SHELL, "-c", cmd], capture_output=True) for cmd in cmds]
            ),
        }
    base = figures["plain posix_spawn loop"][0]
    print(f"{PARAMETERS} get commands, best (median) of {ROUNDS} rounds, per command:")
    for name, (best, median) in figures.items():
        print(f"  {name:24s} {best:7.3f} ms ({median:.3f} ms)   ratio to posix_spawn {best / base:.3f}")


if __name__ == "__main__":
    main()

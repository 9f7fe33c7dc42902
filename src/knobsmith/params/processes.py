"""Commands of the benchmark and of the workload, each run as a process group of its own.

A benchmark started by `/bin/sh -c` may start further programs; killing the shell alone would
leave them running. Each command therefore leads a process group, and ending it ends the group.
"""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import time
from typing import IO, Any

from knobsmith.params import signals

SHELL = "/bin/sh"
GRACE_SECONDS = 3.0


def end_group(process: subprocess.Popen[Any], grace: float = GRACE_SECONDS) -> None:
    """Ends the process group that `process` leads: SIGTERM, then SIGKILL to what is left after
    `grace` seconds. The leader is reaped. A signal that arrives meanwhile (a second Ctrl-C) does
    not cut this short, or a group that ignores SIGTERM would outlive us: it is delivered after."""
    with signals.deferred() as noted:
        _end_group(process, grace)
    for number in noted[:1]:
        signal.raise_signal(number)


def _end_group(process: subprocess.Popen[Any], grace: float) -> None:
    _signal_group(process.pid, signal.SIGTERM)
    deadline = time.monotonic() + grace
    with contextlib.suppress(subprocess.TimeoutExpired):
        process.wait(timeout=grace)
    while _group_alive(process.pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    _signal_group(process.pid, signal.SIGKILL)
    process.wait()


def _signal_group(group: int, number: int) -> None:
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(group, number)


def _group_alive(group: int) -> bool:
    try:
        os.killpg(group, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def run(command: str, *, stdout: IO[Any] | int | None, stderr: IO[Any] | int | None,
        timeout: float | None = None) -> tuple[int, str]:
    """Runs `command` to its end as a process group of its own, standard input closed. It leads
    a session of its own too: without a controlling terminal, a command that would ask for a
    password there fails at once instead of stopping in the background until its time limit.

    Returns the exit status (the negative signal number when a signal ended it) and the
    standard output when `stdout` is subprocess.PIPE (else ""). Whatever interrupts the wait
    (Ctrl-C, a timeout: subprocess.TimeoutExpired) ends the whole group before it propagates.
    """
    process = subprocess.Popen([SHELL, "-c", command], stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                               start_new_session=True, text=True, errors="replace")
    try:
        out, _ = process.communicate(timeout=timeout)
    except BaseException as error:
        try:
            end_group(process)
        except KeyboardInterrupt:
            # A second signal changes nothing once the first interrupted; one during a time
            # limit's ending is an interruption.
            if not isinstance(error, KeyboardInterrupt):
                raise
        raise
    finally:
        for stream in (process.stdout, process.stderr):  # left open when the wait was cut short
            if stream is not None:
                stream.close()
    return process.returncode, out or ""


class Detached:
    """A command started in a session of its own, so that it outlives this process and no signal
    of this terminal reaches it. It is reaped when asked about, never waited for."""

    def __init__(self, command: str, log: IO[Any]) -> None:
        log.flush()
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_DUP2, log.fileno(), 1),
            (os.POSIX_SPAWN_DUP2, log.fileno(), 2),
        ]
        # The interpreter ignores SIGPIPE and SIGXFSZ; the workload gets the usual dispositions.
        self.pid = os.posix_spawn(SHELL, [SHELL, "-c", command], os.environ, file_actions=actions, setsid=True,
                                  setsigdef=(signal.SIGPIPE, signal.SIGXFSZ))
        self.status: int | None = None

    def poll(self) -> int | None:
        """The exit status once it has ended (negative: the signal that ended it), else None."""
        if self.status is None:
            try:
                pid, wait_status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                self.status = 0
                return self.status
            if pid:
                self.status = os.waitstatus_to_exitcode(wait_status)
        return self.status


def describe_status(status: int) -> str:
    return f"killed by signal {-status}" if status < 0 else f"exit status {status}"


def tail(path: str, offset: int, lines: int = 5) -> str:
    """The last `lines` non-blank lines written to the file at `path` after `offset`, joined by
    " | " (the file may be large: only its last 64 KiB are read)."""
    try:
        with open(path, "rb") as stream:
            size = stream.seek(0, os.SEEK_END)
            stream.seek(max(offset, size - 65536))
            text = stream.read().decode("utf-8", "replace")
    except OSError:
        return ""
    kept = [line.strip() for line in text.splitlines() if line.strip()]
    return " | ".join(kept[-lines:])

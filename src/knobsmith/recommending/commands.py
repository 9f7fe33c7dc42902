"""A command run once to read something: /bin/sh -c in a process group of its own (and off the
terminal), so that a time limit ends the command and whatever it started."""

from __future__ import annotations

import collections
import errno
import os
import subprocess
from dataclasses import dataclass

from knobsmith.params.processes import SHELL, end_group

DEFAULT_TIMEOUT = 60.0


@dataclass(frozen=True)
class Outcome:
    status: int | None  # None: ended at its time limit
    out: str
    err: str

    @property
    def ok(self) -> bool:
        """Exit status 0 and nothing on standard error: a warning there means the value is in doubt."""
        return self.status == 0 and not self.err.strip()

    def failure(self, timeout: float | None) -> str:
        """Why the command counts as failed, in one line."""
        said = one_line(self.err)
        if self.status is None:
            return f"did not end within {timeout:g} s" + (f": {said}" if said else "")
        if self.status < 0:
            what = f"was killed by signal {-self.status}"
        elif self.status:
            what = f"failed with exit status {self.status}"
        else:
            what = "wrote to standard error"
        return f"{what}: {said}" if said else what


def one_line(text: str, limit: int = 240) -> str:
    """A command's output as one printable line: its lines joined by " | ", control characters
    replaced, cut at `limit` characters."""
    # The mysql client frames a failed statement in lines of dashes: they say nothing.
    lines = [line.strip() for line in text.splitlines() if line.strip().strip("-")]
    joined = " | ".join(lines)
    printable = "".join(char if char.isprintable() else "?" for char in joined)
    return printable if len(printable) <= limit else printable[:limit - 3] + "..."


def run(command: str, timeout: float | None = DEFAULT_TIMEOUT) -> Outcome:
    return _finish(_start(command), timeout)


def run_all(commands: list[str], timeout: float | None = DEFAULT_TIMEOUT, at_once: int = 8) -> list[Outcome]:
    """Each command run as `run` runs it, up to `at_once` of them at a time (reads that do not
    depend on one another: while one starts, the others run); their outcomes in order. A command's
    time limit counts from when its output is waited for, so it has at least that long."""
    outcomes: list[Outcome] = []
    running: collections.deque[subprocess.Popen[str]] = collections.deque()
    try:
        for command in commands:
            if len(running) == at_once:
                outcomes.append(_finish(running.popleft(), timeout))
            running.append(_start(command))
        while running:
            outcomes.append(_finish(running.popleft(), timeout))
    except BaseException:
        for process in running:
            end_group(process)
        raise
    return outcomes


def _start(command: str) -> subprocess.Popen[str]:
    # A session of its own only where there is a terminal to leave: a new session is also a new
    # scheduling group, which a busy machine runs a time slice late.
    terminal = _has_terminal()
    return subprocess.Popen([SHELL, "-c", command], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=terminal,
                            process_group=None if terminal else 0, text=True, errors="replace")


def _has_terminal() -> bool:
    try:
        os.close(os.open("/dev/tty", os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC))
    except OSError as error:
        return error.errno != errno.ENXIO  # ENXIO: none; anything else, as if there were one
    return True


def _finish(process: subprocess.Popen[str], timeout: float | None) -> Outcome:
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        end_group(process)
        try:
            out, err = process.communicate(timeout=1)
        except subprocess.TimeoutExpired:  # a descendant that left the group still holds the pipes
            out, err = "", ""
        return Outcome(None, out or "", err or "")
    except BaseException:
        end_group(process)
        raise
    return Outcome(process.returncode, out or "", err or "")

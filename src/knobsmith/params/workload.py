"""The workload: stopped, started in the background with its output kept, and waited for.

The start command is not put in the background by a trailing "&": it is started in a session of
its own and its output goes to a log file, so that a server that fails to start can say why.
When the configuration names a readiness command (`readyworkload`), a restart waits until the
old workload has stopped answering and the new one answers; without it, nothing is waited for.
"""

from __future__ import annotations

import os
import subprocess
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from knobsmith.params import ParamsError, processes
from knobsmith.params.shellsafe import breaks_shell_rule

if TYPE_CHECKING:
    from knobsmith.loadplan import Cfg

DEFAULT_READY_TIMEOUT = 120.0
POLL_SECONDS = 0.5


@dataclass
class Workload:
    start: str
    stop: str
    ready: str = ""
    ready_timeout: float = DEFAULT_READY_TIMEOUT
    log_path: str = os.devnull
    # Every workload started by this run; kept so that none is reaped behind our back.
    started: list[processes.Detached] = field(default_factory=list)

    @classmethod
    def from_config(cls, cfg: Cfg, log_path: str) -> Workload:
        """The workload of the loaded configuration; ParamsError for unusable readiness keys."""
        yml = cfg.yml
        options = cfg.get_workload_options()
        ready = yml.get("readyworkload") or ""
        if not isinstance(ready, str):
            raise ParamsError(f"readyworkload must be a command (a string), not {type(ready).__name__}")
        if ready and breaks_shell_rule(ready):
            raise ParamsError("readyworkload breaks the shell-metacharacter rule")
        timeout = yml.get("readytimeout")
        if timeout is None or timeout == "":
            timeout = DEFAULT_READY_TIMEOUT
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not 0 < timeout < float("inf"):
            raise ParamsError(f"readytimeout must be a number of seconds greater than 0, not {timeout!r}")
        for key, command in (("startworkload", options.get("start", "")), ("stopworkload", options.get("stop", ""))):
            if breaks_shell_rule(command):
                raise ParamsError(f"{key} breaks the shell-metacharacter rule")
        return cls(options.get("start", ""), options.get("stop", ""), ready, float(timeout), log_path)

    def commands(self) -> list[str]:
        """The commands of a restart, for a dry run."""
        lines = [self.stop, f"{self.start} (in the background, its output to {self.log_path})"]
        if self.ready:
            lines.append(f"{self.ready} (until it exits 0, at most {self.ready_timeout:g} s)")
        return lines

    def restart(self) -> str:
        """Stops and starts the workload and waits until it is ready. Returns "" when it is, else
        what went wrong, with the last lines of the workload's own output."""
        with open(self.log_path, "a", encoding="utf-8") as log:
            log.write(f"$ {self.stop}\n")
            log.flush()
            status, _ = processes.run(self.stop, stdout=log, stderr=log)
            if status != 0:
                log.write(f"# the stop command ended with {processes.describe_status(status)}\n")
            if self.ready and not self._wait(ready=False):
                return f"the workload still answered {self.ready_timeout:g} s after its stop command"
            self._reap()
            log.write(f"$ {self.start}\n")
            log.flush()
            offset = log.seek(0, os.SEEK_END)
            process = processes.Detached(self.start, log)
            self.started.append(process)
        if not self.ready:
            return ""
        if self._wait(ready=True, process=process):
            return ""
        ended = process.poll()
        why = (f"the workload's start command ended with {processes.describe_status(ended)}"
               if ended is not None and ended != 0
               else f"the workload was not ready after {self.ready_timeout:g} s")
        output = processes.tail(self.log_path, offset)
        return why + (f": {output}" if output else " (it wrote nothing)")

    def check_ready(self) -> str:
        """Waits until the running workload answers its readiness command: "" when it does, else
        what went wrong."""
        if self._wait(ready=True):
            return ""
        return f"the workload was not ready after {self.ready_timeout:g} s (its readiness command: {self.ready})"

    def _wait(self, *, ready: bool, process: processes.Detached | None = None) -> bool:
        """Polls the readiness command until it answers `ready` (exit 0 or not). Gives up at the
        timeout, or at once when the started workload has ended with a failure."""
        deadline = time.monotonic() + self.ready_timeout
        while True:
            remaining = deadline - time.monotonic()
            try:
                status, _ = processes.run(self.ready, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                          timeout=max(remaining, 0.1))
            except subprocess.TimeoutExpired:
                status = -1
            if (status == 0) == ready:
                return True
            if process is not None and process.poll() not in (None, 0):
                return False
            if time.monotonic() + POLL_SECONDS > deadline:
                return False
            time.sleep(POLL_SECONDS)

    def _reap(self) -> None:
        self.started = [process for process in self.started if process.poll() is None]

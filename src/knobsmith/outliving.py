"""Standard streams that outlive their reader, so that a command that loses its terminal still
ends as it should."""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import sys
from collections.abc import Callable
from typing import Any


class Outliving:
    """A standard stream whose reader may go away (the terminal hung up, the reader of a pipe
    left): writing to it then stops, and nothing else does, so that a run still puts its values
    back and writes its report."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream

    def write(self, text: str) -> int:
        try:
            return int(self.stream.write(text))
        except OSError as error:
            self._gone(error)
            return len(text)

    def flush(self) -> None:
        try:
            self.stream.flush()
        except OSError as error:
            self._gone(error)

    def _gone(self, error: OSError) -> None:
        if error.errno not in (errno.EPIPE, errno.EIO):
            raise error
        # What is left in the stream's buffer goes nowhere too, or the interpreter's last flush
        # would fail and change the exit status.
        try:
            null = os.open(os.devnull, os.O_WRONLY)
        except OSError:
            return
        with contextlib.suppress(OSError, ValueError):
            os.dup2(null, self.stream.fileno())
        os.close(null)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


def outliving_the_terminal(command: Callable[[argparse.Namespace], int]) -> Callable[[argparse.Namespace], int]:
    """`command` with standard streams that outlive their reader: a run that loses its terminal
    still ends as it should. Once a stream is found gone, its descriptor leads nowhere, so later
    lines are lost without an error."""

    def run(args: argparse.Namespace) -> int:
        streams = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = Outliving(sys.stdout), Outliving(sys.stderr)
        try:
            return command(args)
        finally:
            sys.stdout, sys.stderr = streams

    return run

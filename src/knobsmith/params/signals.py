"""SIGTERM and SIGHUP end a run the way Ctrl-C does: the values are restored and the report kept."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType

HANDLED = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(KeyboardInterrupt):
    """A signal asked the run to end."""

    def __init__(self, number: int) -> None:
        super().__init__(signal.Signals(number).name)
        self.number = number


def _raise(number: int, _frame: FrameType | None) -> None:
    raise Interrupted(number)


@contextlib.contextmanager
def as_interrupts() -> Iterator[None]:
    """Within the block, SIGINT, SIGTERM and SIGHUP raise Interrupted."""
    previous = {number: signal.signal(number, _raise) for number in HANDLED}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


@contextlib.contextmanager
def deferred() -> Iterator[list[int]]:
    """Within the block (a restore that must not be cut short), the signals are only noted. Their
    handlers run in the main thread only, so elsewhere there is nothing to defer."""
    noted: list[int] = []
    if threading.current_thread() is not threading.main_thread():
        yield noted
        return
    previous = {number: signal.signal(number, lambda number, _frame: noted.append(number)) for number in HANDLED}
    try:
        yield noted
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def exit_status(error: BaseException) -> int:
    """The shell's convention: 128 plus the signal's number."""
    return 128 + (error.number if isinstance(error, Interrupted) else signal.SIGINT)

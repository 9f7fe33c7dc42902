"""The logger every knobsmith module writes its lines through."""

from __future__ import annotations

import logging
import sys
from typing import TextIO

LOGGER_NAME = "knobsmith"


class StandardErrorHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """Writes to whatever sys.stderr is at the time of the line (it may be replaced)."""

    def __init__(self) -> None:
        logging.Handler.__init__(self)

    @property
    def stream(self) -> TextIO:
        return sys.stderr


_FALLBACK = StandardErrorHandler()
_FALLBACK.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))


def _emit(level: int, parts: tuple[object, ...]) -> None:
    logger = logging.getLogger(LOGGER_NAME)
    message = " ".join(str(part) for part in parts)
    if logger.hasHandlers():
        logger.log(level, message, stacklevel=3)
        return
    # The host configured nothing: show info and above (or the level it set on our logger) on
    # standard error rather than lose them.
    threshold = logger.level or logging.INFO
    if level >= threshold and not logger.disabled:
        _FALLBACK.handle(logger.makeRecord(logger.name, level, "(knobsmith)", 0, message, (), None))


class Logger:
    """Takes one message, or several parts joined with one blank, at one of four levels."""

    def error(self, *parts: object) -> None:
        _emit(logging.ERROR, parts)

    def warning(self, *parts: object) -> None:
        _emit(logging.WARNING, parts)

    def info(self, *parts: object) -> None:
        _emit(logging.INFO, parts)

    def debug(self, *parts: object) -> None:
        _emit(logging.DEBUG, parts)

"""What an entry's get command reads on this machine, and which string options the machine offers."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass

from knobsmith.recommending import commands

_INT = re.compile(r"[-+]?\d+")
_FLOAT = re.compile(r"[-+]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?")
_BRACKETED = re.compile(r"\[([^\[\]\s]+)\]")


@dataclass(frozen=True)
class Probe:
    value: str | None  # what the get command printed, stripped; None when it failed
    failure: str | None  # why the get command counts as failed

    @property
    def ok(self) -> bool:
        return self.failure is None


def probe(get: str, timeout: float | None, runner: Callable[..., commands.Outcome] = commands.run) -> Probe:
    outcome = runner(get, timeout)
    if not outcome.ok:
        return Probe(None, f"its get command {outcome.failure(timeout)}")
    return Probe(outcome.out.strip(), None)


def offered(text: str) -> tuple[list[str], str] | None:
    """The choices a kernel file lists with the one in effect in brackets ("none [mq-deadline]
    kyber") and that one; None when `text` is not such a list."""
    words = text.split()
    chosen = [index for index, word in enumerate(words) if _BRACKETED.fullmatch(word)]
    if len(chosen) != 1 or any("[" in word or "]" in word for index, word in enumerate(words) if index != chosen[0]):
        return None
    words[chosen[0]] = words[chosen[0]][1:-1]
    return words, words[chosen[0]]


def number(text: str, dtype: str | None) -> int | float | None:
    """The value a get command printed as a number of the entry's dtype, or None when it is not one."""
    text = text.strip()
    if dtype == "int":
        return int(text) if _INT.fullmatch(text) else None
    if dtype == "float" and _FLOAT.fullmatch(text):
        return float(text)
    return None

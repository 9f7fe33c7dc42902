"""What every command of the command line shares: its one-line failures, its notes and the limit of
a get or set command."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable
from typing import NoReturn


class CommandError(Exception):
    """A failure that the command line reports as one line and exit status 1."""


def fail(message: str) -> NoReturn:
    raise CommandError(message)


def limit(args: argparse.Namespace) -> float | None:
    """The limit of a get or set command, in seconds; None: no limit."""
    return args.command_timeout if args.command_timeout > 0 else None


def tell(lines: Iterable[str]) -> None:
    for line in lines:
        print(f"knobsmith: {line}", file=sys.stderr)

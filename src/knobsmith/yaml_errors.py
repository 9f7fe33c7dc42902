"""Where a configuration file stops being YAML, as one line a person can act on.

The configuration reader says only that a file is not YAML, sometimes not even that; this parses
the file again, the way the reader does, to name the line and column (counted from 1) where the
parser gave up and what it expected there.
"""

from __future__ import annotations

import re

import yaml

from knobsmith.yaml_bounds import bounded_loader

# The line breaks the YAML parser counts; lines and columns are reckoned as it reckons them.
_BREAK = re.compile("\r\n|[\r\n\x85\u2028\u2029]")


def yaml_position(path: str) -> str | None:
    """`path line L, column C: what went wrong`, or None when the file parses or cannot be read.

    The file is read and parsed as the configuration reader does (UTF-8, universal newlines, the
    full loader and its bounds), so the place named is the place the reader stumbled on.
    """
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:
        return None  # the reader has already said the file is missing or unreadable
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line, column = _line_column(data[: error.start].decode("utf-8"))
        return f"{path} line {line}, column {column}: not UTF-8 text ({error.reason})"
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    try:
        yaml.load(text, Loader=bounded_loader)  # type: ignore[arg-type]  # called as Loader(stream)
    except yaml.MarkedYAMLError as error:
        return _marked(path, error)
    except yaml.reader.ReaderError as error:
        line, column = _line_column(text[: error.position])
        return f"{path} line {line}, column {column}: unacceptable character #x{error.character:04x}: {error.reason}"
    except Exception:  # a hint must never take the place of the failure it explains
        return None
    return None


def _marked(path: str, error: yaml.MarkedYAMLError) -> str | None:
    problem, mark = error.problem, error.problem_mark
    context, context_mark = error.context, error.context_mark
    if mark is None or problem is None:  # only the context is known: it becomes the message
        problem, mark, context, context_mark = context, context_mark, None, None
    if mark is None or problem is None:
        return None
    where = f"{path} {_at(mark)}: {_one_line(problem)}"
    if context is None:
        return where
    if context_mark is None or (context_mark.line, context_mark.column) == (mark.line, mark.column):
        return f"{where} ({_one_line(context)})"
    return f"{where} ({_one_line(context)} at {_at(context_mark)})"


def _at(mark: yaml.Mark) -> str:
    return f"line {mark.line + 1}, column {mark.column + 1}"


def _line_column(before: str) -> tuple[int, int]:
    """The 1-based line and column of the character that follows `before`."""
    lines = _BREAK.split(before)
    return len(lines), len(lines[-1]) + 1


def _one_line(text: str) -> str:
    return " ".join(part.strip() for part in text.splitlines() if part.strip())

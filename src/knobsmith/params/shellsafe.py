"""Values that reach a shell as text: which ones the shell could read as syntax.

A set command is written with `$value` in it, and the value is put in its place as plain text
before the shell runs the command. Values the optimizer proposes come from the declared ranges and
options and are safe; values read back from the system (a get command's output, a backup file,
the kept originals, a study's stored backup) are not, since a get command prints whatever is there.
Such a value is applied only when no character of it is shell syntax, or when it is one of the
parameter's declared options (which the configuration's author wrote and the set command quotes
as it needs).
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from knobsmith.loadplan import Cfg

# Characters the shell reads as syntax in an unquoted word or inside quotes: pipes, lists,
# redirections, subshells, expansions, globs, comments, home directories and every kind of
# quoting. Braces are in too: `{-x,y}` expands to two words, one of them an option.
SYNTAX = frozenset("|&;<>()$`'\"\\*?[]#~{}")

# A number as a get command prints it: -5, 0.25, -1e-3.
_NUMBER = re.compile(r"-?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?")


def unsafe_reason(value: Any, options: Iterable[Any] | None = None, *, numeric: bool = False) -> str | None:
    """Why `value` must not be put into a set command, or None when it may.

    A declared option is always accepted. A value starting with `-` could be read as an option of
    the command it lands in and is refused, except a plain number (-5, -0.5) of a numeric
    parameter: the configuration declares the parameter a number, so its set command is written
    to take one, sign included.
    """
    text = str(value)
    if options is not None and text in {str(option) for option in options}:
        return None
    if any(char in "\n\r" for char in text):
        return "holds a line break"
    found = list(dict.fromkeys(char for char in text if char in SYNTAX))
    if found:
        return f"holds shell syntax ({' '.join(found)})"
    control = [char for char in text if (ord(char) < 32 and char != "\t") or ord(char) == 127]
    if control:
        return f"holds a control character ({ascii(control[0])[1:-1]})"
    if text.startswith("-") and not (numeric and _NUMBER.fullmatch(text)):
        return "starts with '-' (a command could take it for an option)"
    return None


def breaks_shell_rule(command: str) -> bool:
    """Whether a command breaks the rule every command run here obeys (no ; ` $( ${ && || line
    break or !): the pattern is the library's own, so that a command it would refuse is refused
    before anything runs. A NUL cannot reach a shell at all."""
    from knobsmith.vetplan import Vetplan

    return bool(Vetplan.SHELL_METACHARACTERS.search(command)) or "\0" in command


def _info(infos: Mapping[str, Mapping[str, Any]], name: str) -> Mapping[str, Any]:
    """The declaration of `name`; backup files keep names in lower case."""
    if name in infos:
        return infos[name]
    lowered = {key.lower(): info for key, info in infos.items()}
    return lowered.get(name.lower(), {})


def refusals(values: Mapping[str, Any], infos: Mapping[str, Mapping[str, Any]]) -> list[str]:
    """`name = 'value' reason` for every value of `values` that must not reach a set command;
    `infos` are the parameters' declarations (the configuration's `info` of each object)."""
    return list(refusals_by_name(values, infos).values())


def refusals_by_name(values: Mapping[str, Any], infos: Mapping[str, Mapping[str, Any]]) -> dict[str, str]:
    """The refusals of `refusals`, by the name of the parameter refused."""
    found = {}
    for name, value in values.items():
        info = _info(infos, name)
        options = info.get("options")
        reason = unsafe_reason(value, options if isinstance(options, list) else None,
                               numeric=info.get("dtype") in ("int", "float"))
        if reason is not None:
            found[name] = f"{name} = {str(value)!r} {reason}"
    return found


def declarations(cfg: Cfg) -> dict[str, Mapping[str, Any]]:
    """The `info` of every parameter of a loaded configuration, by name."""
    return {obj["name"]: obj.get("info", {}) for obj in cfg.yml.get("object", [])}

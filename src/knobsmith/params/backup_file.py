"""Reads a backup file back exactly as the backup writer wrote it.

The writer puts each value after "name = ", doubles every "%", and starts each further line of a
value with one tab. A general INI reader loses what a value held: it splits lines at a carriage
return too (a value holding one made the whole file unreadable), strips the blanks that begin or
end a line. This reader undoes exactly what the writer did,
so a value comes back byte for byte, and still takes what a person may have edited by hand:
comments, blank lines, "name=value", "name: value", indented continuation lines, CRLF line ends.
"""

from __future__ import annotations


class BackupFileError(ValueError):
    """The file is not a backup this reader can take; the message says where and why."""


def _lines(text: str) -> list[str]:
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    # A file whose every line ends in CR was saved with CRLF line ends (the writer never ends the
    # section line "[params]" with one); elsewhere a CR belongs to the value.
    if lines and all(line.endswith("\r") for line in lines):
        lines = [line[:-1] for line in lines]
    return lines


def _unescape(value: str) -> str:
    return value.replace("%%", "%")


def parse(text: str) -> dict[str, dict[str, str]]:
    """The sections of a backup text, each a mapping of option names to values in file order."""
    sections: dict[str, dict[str, str]] = {}
    section: dict[str, str] | None = None
    option: str | None = None  # the option whose value a continuation line extends
    for number, line in enumerate(_lines(text), start=1):
        continued = line.startswith("\t") or (line.strip(" ") and line[:1] == " ")
        if option is not None and section is not None and continued:
            # The writer's continuation is one tab (alone when the value had an empty line); a
            # hand-made one may be indented with blanks.
            more = line[1:] if line.startswith("\t") else line.lstrip(" \t")
            section[option] += "\n" + _unescape(more)
            continue
        option = None
        stripped = line.strip(" \t\r")
        if not stripped or stripped[0] in "#;":
            continue
        if stripped.startswith("[") and stripped.endswith("]"):
            name = stripped[1:-1]
            if name in sections:
                raise BackupFileError(f"line {number}: section [{name}] appears twice")
            section = sections[name] = {}
            continue
        if section is None:
            raise BackupFileError(f"line {number}: a value before the first section")
        cut = min((index for index in (line.find("="), line.find(":")) if index > 0), default=-1)
        name = line[:cut].strip(" \t") if cut > 0 else ""
        if not name:
            raise BackupFileError(f"line {number}: not a 'name = value' line")
        if name in section:
            raise BackupFileError(f"line {number}: {name} appears twice in its section")
        # The writer puts one blank after the delimiter and values never begin with blanks of
        # their own (a read value has its ends stripped); a hand-made line may have none or more.
        section[name] = _unescape(line[cut + 1:].lstrip(" \t"))
        option = name
    return sections


def read(path: str) -> list[tuple[str, str, str]]:
    """(name, value, set command) of every parameter of a backup file, in file order."""
    try:
        with open(path, "rb") as stream:
            text = stream.read().decode("utf-8")
    except UnicodeDecodeError as error:
        raise BackupFileError(f"{path} is not a readable backup: it is not UTF-8 text ({error.reason} "
                              f"at byte {error.start})") from None
    except OSError as error:
        raise BackupFileError(f"{path} is not a readable backup: {error.strerror or error}") from None
    try:
        sections = parse(text)
    except BackupFileError as error:
        raise BackupFileError(f"{path} is not a readable backup: {error}") from None
    if "params" not in sections or "set" not in sections:
        raise BackupFileError(f"{path} is not a backup: it needs a [params] and a [set] section")
    params = sections["params"]
    entries = []
    for option, quoted in sections["set"].items():
        name = option.removeprefix("set_")
        if not option.startswith("set_") or name not in params:
            raise BackupFileError(f"{path}: [set] {option} has no value in [params]")
        if len(quoted) < 2 or quoted[0] != '"' or quoted[-1] != '"':
            raise BackupFileError(f"{path}: [set] {option} is not a quoted command")
        entries.append((name, params[name], quoted[1:-1]))
    return entries

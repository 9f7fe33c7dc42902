"""The library's messages in the user's language.

The library writes its messages in its own words (mostly Chinese, with Python reprs), and callers
and stored logs rely on them as they are. The command line shows each in the locale's language:
the original when LC_ALL, LC_MESSAGES or LANG (the first one set) asks for Chinese, else English
from the gettext catalog locale/en/LC_MESSAGES/knobsmith.po (compiled to .mo at install), whose
entries are keyed by the library's templates; the variable parts are matched and written out
again: a field's path one way (object[NAME].info.KEY), a found value in words.
"""

from __future__ import annotations

import datetime
import os
import re
from functools import cache
from pathlib import Path
from typing import Any

from knobsmith import catalog

_CATALOG = Path(__file__).parent / "locale" / "en" / "LC_MESSAGES" / "knobsmith"
_PLACEHOLDER = re.compile(r"\{(\w+)\}")
_CJK = re.compile("[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")

# The library cuts the values it shows to 200 characters; a longer message (a name or a path that
# long) stays as written, since matching a template of several parts grows with its square.
MAX_MATCHED = 2000
_MISSING = object()  # a value not at hand
# The configuration file the messages are about (see about()), and its content once read.
_source: dict[str, Any] = {"path": None}


def chinese() -> bool:
    for variable in ("LC_ALL", "LC_MESSAGES", "LANG"):
        value = os.environ.get(variable)
        if value:
            return value.lower().startswith("zh")
    return False


@cache
def entries() -> dict[str, str]:
    """The English catalog: the compiled one when the install made it, else its source."""
    compiled = _CATALOG.with_suffix(".mo")
    return catalog.read_mo(str(compiled)) if compiled.exists() else catalog.read_po(str(_CATALOG.with_suffix(".po")))


@cache
def _templates() -> list[tuple[list[str], str, str]]:
    """(literal pieces of a library message's template, its pattern, its English), the most
    literal text first, so that a template is tried before a looser one that would also match."""
    found = []
    for template, english in entries().items():
        pieces = _PLACEHOLDER.split(template)
        pattern = "".join(re.escape(piece) if index % 2 == 0 else f"(?P<{piece}>.*?)"
                          for index, piece in enumerate(pieces))
        literal = sum(len(piece) for piece in pieces[::2])
        found.append((literal, pieces[::2], pattern, english))
    found.sort(key=lambda entry: -entry[0])
    return [(literals, pattern, english) for _, literals, pattern, english in found]


def about(path: str | None) -> None:
    """Names the configuration file that the following messages are about (None: none)."""
    _source.clear()
    _source["path"] = path


def template(message: str) -> tuple[str, dict[str, str]] | None:
    """The English template of a library message and its variable parts; None when the catalog
    does not know it."""
    if len(message) > MAX_MATCHED:
        return None
    for literals, pattern, english in _templates():
        # Compiling every pattern costs a command's start-up more than its work: only a template
        # whose literal text the message holds is compiled.
        if not (message.startswith(literals[0]) and message.endswith(literals[-1])
                and all(piece in message for piece in literals[1:-1])):
            continue
        matched = re.fullmatch(pattern, message, re.DOTALL)
        if matched:
            return english, matched.groupdict()
    return None


def render(message: str) -> str:
    """`message` of the library in the user's language; a message the catalog does not know stays
    as it is."""
    found = None if chinese() else template(message)
    if found is None:
        return message
    english, parts = found
    return _PLACEHOLDER.sub(lambda wanted: _part(wanted.group(1), parts), english)


def template_comments(text: str) -> str:
    """A recommended configuration's text with the comments of its header in the user's language."""
    if chinese():
        return text
    known = entries()

    def english(comment: re.Match[str]) -> str:
        return f"# {known[comment.group(1)]}" if comment.group(1) in known else comment.group(0)

    return re.sub(r"#(\S+)$", english, text, flags=re.MULTILINE)


# -- the variable parts


def _part(name: str, parts: dict[str, str]) -> str:
    if name == "field":
        return field_path(parts["field"])
    if name == "yaml_problem":
        return _yaml_problem()
    if name == "sibling":  # "object[x].info.type" and "scope": object[x].info.scope
        return field_path(parts["field"]).rpartition(".")[0] + "." + parts["key"]
    if name == "field_name":
        return field_path(parts["field"]).rpartition(".")[2]
    if name.startswith("found"):
        return _found(name, parts)
    return parts[name]


def field_path(raw: str) -> str:
    """A field's path as the library writes it in one of its ways (objects[x].needrestart,
    'object-needrestart', name-0, evaluations-info-get), written one way:
    object[x].info.needrestart."""
    document = _document()
    matched = re.fullmatch(r"objects\[(.*)\]\.(?:info\.)?(\w+)", raw)
    if matched:
        return _entry_path("object", matched.group(1), matched.group(2))
    matched = re.fullmatch(r"(name|info)-(\d+)", raw)
    if matched:
        return f"object[{matched.group(2)}].{matched.group(1)}"
    matched = re.fullmatch(r"(object|evaluations)(?:-info)?-(\w+)|(object|evaluations)s?\.(name)", raw)
    if matched:
        section, key = (matched.group(1), matched.group(2)) if matched.group(1) else (matched.group(3), "name")
        return _entry_path(section, _label(document, section, key), key)
    return raw


def _entry_path(section: str, label: str, key: str) -> str:
    return f"{section}[{label}].{key}" if key in ("name", "info") else f"{section}[{label}].info.{key}"


def _label(document: Any, section: str, key: str) -> str:
    """How to name the first entry of `section` whose `key` is missing or faulty (its name, or
    its index when it has none); "?" when the file is not at hand."""
    entries = document.get(section) if isinstance(document, dict) else None
    for index, entry in enumerate(entries if isinstance(entries, list) else []):
        if not isinstance(entry, dict):
            continue
        if key == "name":
            faulty = not isinstance(entry.get("name"), str)
        else:
            info = entry.get("info")
            faulty = key not in info if isinstance(info, dict) else key == "info"
        if faulty:
            name = entry.get("name")
            return name if isinstance(name, str) and name else str(index)
    return "?"


_KINDS = {"bool": "a boolean", "int": "a whole number", "float": "a number", "str": "a string", "list": "a list",
          "tuple": "a list", "dict": "a mapping", "NoneType": "nothing (null)", "date": "a date",
          "datetime": "a date and time"}


def _kind(type_name: str) -> str:
    return _KINDS.get(type_name, f"a value of type {type_name}")


def _found(name: str, parts: dict[str, str]) -> str:
    """The value found, in words: its kind and, when the file is at hand, the value itself
    (found_quoted adds how to make it a string, found_number how to make it a number)."""
    if name == "found_value":
        value = _value_at(parts["field"])
        return _text(value) if value is not _MISSING else parts["value"]
    type_name = parts.get("type") or re.sub(r"<class '(?:\w+\.)*(\w+)'>", r"\1", parts.get("pytype", ""))
    value = _value_at(parts["field"]) if "field" in parts else _MISSING
    said = _kind(type_name)
    if value is _MISSING or value is None:
        return said
    said += f" ({_text(value)})"
    if name == "found_quoted" and isinstance(value, (bool, int, float, datetime.date)):
        said += f'; quote it: "{_text(value)}"'
    if name == "found_number" and isinstance(value, str) and _number(value):
        said += f"; write it without quotes: {value}"
    return said


def _number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _text(value: Any) -> str:
    """A value as YAML writes it (true, null, 16), cut short."""
    import yaml

    if isinstance(value, str):
        text = value
    elif isinstance(value, datetime.date):
        text = value.isoformat()
    else:
        text = yaml.safe_dump(value, default_flow_style=True, allow_unicode=True, width=1 << 20)
        text = text.removesuffix("\n...\n").strip()
    return text if len(text) <= 60 else text[:57] + "..."


def _value_at(path: str) -> Any:
    """The value at a field's path in the file the messages are about; _MISSING when it is not
    at hand."""
    document = _document()
    matched = re.fullmatch(r"(object|evaluations)\[(.*)\]\.(?:(info)\.)?(\w+)", field_path(path))
    if matched:
        section, label, info, key = matched.groups()
        entries = document.get(section) if isinstance(document, dict) else None
        for index, entry in enumerate(entries if isinstance(entries, list) else []):
            if isinstance(entry, dict) and label in (entry.get("name"), str(index)):
                holder = entry.get("info") if info else entry
                return holder.get(key, _MISSING) if isinstance(holder, dict) else _MISSING
        return _MISSING
    return document.get(path, _MISSING) if isinstance(document, dict) else _MISSING


def _document() -> Any:
    """The content of the file the messages are about, read as the configuration reader reads it;
    None when there is none or it cannot be read."""
    if "document" not in _source:
        _source["document"] = _MISSING
        path = _source["path"]
        if path is not None:
            import yaml

            from knobsmith.yaml_bounds import bounded_loader

            try:
                with open(path, encoding="utf-8") as stream:
                    _source["document"] = yaml.load(stream.read(), Loader=bounded_loader)  # type: ignore[arg-type]
            except Exception:  # a message must never fail for its explanation
                pass
    return _source["document"]


def _yaml_problem() -> str:
    """Why the file the messages are about is no configuration: empty, or where it stops being YAML."""
    path = _source["path"]
    if path is None:
        return "the file is not YAML that can be read"
    from knobsmith.yaml_errors import yaml_position

    where = yaml_position(path)
    if where is not None:
        return where
    document = _document()
    if document is None:
        return f"{path}: the file is empty"
    if document is not _MISSING and not document:
        return f"{path}: the file holds no settings, only {_text(document)}"
    return f"{path}: the file is not YAML that can be read"

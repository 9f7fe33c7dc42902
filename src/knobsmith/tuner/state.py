"""What knobsmith keeps of a project between runs: the original values and the last applied ones.

The originals are the values read the first time knobsmith looked at a project, before it changed
anything; nothing overwrites them later, so they survive any number of runs, backups and
applications. They live in $XDG_STATE_HOME/knobsmith/<project>/ (~/.local/state when the variable
is unset), readable by the owner only, and every file there is replaced atomically.
"""

from __future__ import annotations

import json
import os
import time
from collections.abc import Mapping
from typing import Any

from knobsmith.atomic_write import write_atomically

ORIGINALS = "originals.json"
APPLIED = "applied.json"


def folder(project: str) -> str:
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "knobsmith", project)


def adopt_earlier_folder(project: str, config: str) -> str | None:
    """Moves the folder an earlier version kept for `config` under its plain name to the
    project's present name, and answers the folder it came from; None when there is nothing to move.

    Names that had to be altered now carry a hash, so "a b;c.yaml" is no longer the project
    a_b_c: its originals would be out of reach and read again from a system already changed.
    The folder moves only when its originals were kept for this very file (the project a_b_c
    may be a_b_c.yaml's) and the present name has no folder yet.
    """
    from common.tool_cmd import plain_projectname

    earlier = plain_projectname(config)
    if earlier == project or os.path.exists(folder(project)):
        return None
    try:
        content = _read(os.path.join(folder(earlier), ORIGINALS))
    except (OSError, ValueError):
        return None
    if content is None or content.get("config") != os.path.abspath(config):
        return None
    os.rename(folder(earlier), folder(project))
    return folder(earlier)


def _write(path: str, content: Mapping[str, Any]) -> None:
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    write_atomically(path, json.dumps(content, ensure_ascii=False, indent=2) + "\n")


def _read(path: str) -> dict[str, Any] | None:
    try:
        with open(path, encoding="utf-8") as stream:
            content = json.load(stream)
    except FileNotFoundError:
        return None
    if not isinstance(content, dict) or not isinstance(content.get("values"), dict):
        raise ValueError(f"{path} is not a file knobsmith wrote")
    return content


def originals(project: str) -> dict[str, str] | None:
    """The project's original values, or None when none were kept yet."""
    content = _read(os.path.join(folder(project), ORIGINALS))
    return None if content is None else dict(content["values"])


def keep_originals(project: str, values: Mapping[str, Any], config: str) -> bool:
    """Keeps `values` as the project's originals unless some are kept already; True when kept now."""
    path = os.path.join(folder(project), ORIGINALS)
    if os.path.exists(path):
        return False
    _write(path, {"values": {name: str(value) for name, value in values.items()},
                  "config": os.path.abspath(config), "kept_at": time.strftime("%Y-%m-%dT%H:%M:%S%z")})
    return True


def last_applied(project: str) -> dict[str, str]:
    content = _read(os.path.join(folder(project), APPLIED))
    return {} if content is None else dict(content["values"])


def record_applied(project: str, values: Mapping[str, Any], by: str) -> None:
    """Notes values that were applied and read back, over those noted before."""
    merged = {**last_applied(project), **{name: str(value) for name, value in values.items()}}
    _write(os.path.join(folder(project), APPLIED),
           {"values": merged, "by": by, "at": time.strftime("%Y-%m-%dT%H:%M:%S%z")})


def record_worker(project: str, study: str, record: Mapping[str, Any]) -> str:
    """Keeps a fleet worker's record of a study (its backup and baseline) beside its originals, so
    that the host keeps its own copy whatever becomes of the study's database; answers its path."""
    name = "".join(char if char.isalnum() or char in "._-" else "_" for char in study)
    path = os.path.join(folder(project), f"fleet-{name}.json")
    _write(path, {**record, "study": study, "at": time.strftime("%Y-%m-%dT%H:%M:%S%z")})
    return path

"""What knobsmith keeps of a project between runs: the original values and the last applied ones.

The originals are the values read the first time knobsmith looked at a parameter of a
configuration file, before it changed anything; nothing overwrites them later, so they survive any
number of runs, backups and applications. They live in $XDG_STATE_HOME/knobsmith/<project>-<hash>/
(~/.local/state when the variable is unset; the hash is that of the file's real path), readable by
the owner only, and every file there is replaced atomically.
"""

from __future__ import annotations

import hashlib
import json
import os
import time
from collections.abc import Iterable, Mapping
from typing import Any

from knobsmith.atomic_write import write_atomically
from knobsmith.params import shellsafe

ORIGINALS = "originals.json"
APPLIED = "applied.json"


def worker_key(project: str, worker: str | None) -> str:
    """The name under which a worker's originals are kept: a worker named with --worker keeps
    its own, so that several workers of one machine keep apart."""
    return project if worker is None else f"{project}@{worker}"


def folder(project: str) -> str:
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "knobsmith", project)


def key(project: str, config: str, worker: str | None = None) -> str:
    """The name of the folder kept for the configuration file `config` (of the project `project`,
    as fleet worker `worker` when given): the project's name and a hash of the file's real path,
    so that c.yaml of one folder never shares its originals with c.yaml of another."""
    real = os.path.realpath(config).encode("utf-8", "surrogateescape")
    return worker_key(f"{project}-{hashlib.sha256(real).hexdigest()[:8]}", worker)


def _same_file(recorded: Any, config: str) -> bool:
    return isinstance(recorded, str) and (recorded == os.path.abspath(config)
                                          or os.path.realpath(recorded) == os.path.realpath(config))


def adopt_earlier_folder(project: str, config: str, worker: str | None = None) -> str | None:
    """Moves the folder an earlier version kept for `config`, under the project's name alone or
    its plain name, to the file's own folder (see `key`), and answers the folder it came from;
    None when there is nothing to move.

    The folder moves only when its originals were kept for this very file (the project c may be
    another folder's c.yaml, the project a_b_c may be a_b_c.yaml's) and the file has no folder yet.
    """
    from common.tool_cmd import plain_projectname

    present = key(project, config, worker)
    if os.path.exists(folder(present)):
        return None
    for earlier in dict.fromkeys(worker_key(name, worker) for name in (project, plain_projectname(config))):
        try:
            content = _read(os.path.join(folder(earlier), ORIGINALS))
        except (OSError, ValueError):
            continue
        if content is not None and _same_file(content.get("config"), config):
            os.rename(folder(earlier), folder(present))
            return folder(earlier)
    return None


def own_folder(project: str, config: str, worker: str | None = None) -> tuple[str, str]:
    """The name of the folder kept for `config` (see `key`), after moving there the folder an
    earlier version kept for it, and what to tell the user of that move ("" when none)."""
    moved = adopt_earlier_folder(project, config, worker)
    present = key(project, config, worker)
    said = "" if moved is None else f"the kept values of {config} moved from {moved} to {folder(present)}"
    return present, said


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


def keep_originals(project: str, values: Mapping[str, Any], config: str,
                   infos: Mapping[str, Mapping[str, Any]], unread: Iterable[str] = ()) -> list[str]:
    """Keeps each value of `values` whose parameter has no original yet, so that a parameter added
    to the configuration later gets one too; nothing kept is ever overwritten. `infos` are the
    parameters' declarations, `unread` the parameters whose reading failed. Answers what to tell
    the user.

    A value restore would refuse is not kept (the next safe reading is), nor one of a parameter
    that knobsmith applied a value to before it was first read: that value is knobsmith's own.
    """
    path = os.path.join(folder(project), ORIGINALS)
    content = _read(path) or {"values": {}}
    kept = dict(content["values"])
    applied = last_applied(project)
    refused = shellsafe.refusals_by_name(values, infos)
    lines = [f"warning: {refusal}; restore will refuse it" + (
        "" if name in kept else ", so it is not kept as the original value (the next safe reading will be)")
        for name, refusal in refused.items()]
    new = {name: str(value) for name, value in values.items()
           if name not in kept and name not in refused and name not in applied}
    lines += [f"warning: {name} gets no original value: knobsmith applied a value to it before it was first read"
              for name in values if name not in kept and name in applied]
    lines += [f"warning: the original value of {name} is not kept: reading it failed"
              for name in unread if name not in kept]
    if new:
        _write(path, {**content, "values": {**kept, **new}, "config": os.path.realpath(config),
                      "kept_at": content.get("kept_at") or time.strftime("%Y-%m-%dT%H:%M:%S%z")})
        lines.insert(0, f"the original values are kept in {folder(project)}" if not kept else
                     f"the original value{'s' if len(new) > 1 else ''} of {', '.join(new)} "
                     f"{'are' if len(new) > 1 else 'is'} kept in {folder(project)}")
    return lines


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

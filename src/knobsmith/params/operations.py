"""backup, apply, restore and diff on a loaded configuration: each takes its inputs and answers
what happened (or raises ParamsError before anything ran), for the command line to tell."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

from knobsmith.loadplan import Cfg
from knobsmith.params import ParamsError, backup_file, shellsafe, state
from knobsmith.params.applying import (
    Applier,
    Outcome,
    back_up,
    configured,
    not_kept,
    planned_commands,
    read_ok,
    same_value,
    why_unread,
)
from knobsmith.params.workload import Workload
from knobsmith.stagekit import StageKit
from knobsmith.tuner.space import is_number, off_grid


@contextlib.contextmanager
def command_limit(seconds: float | None) -> Iterator[None]:
    """Within the block a get or set command is ended after `seconds` (None: no limit). The compiled
    module reads its limit from StageKit.COMMAND_TIMEOUT alone, so it is set there for the block."""
    previous = StageKit.COMMAND_TIMEOUT
    StageKit.COMMAND_TIMEOUT = seconds
    try:
        yield
    finally:
        StageKit.COMMAND_TIMEOUT = previous


@dataclass
class Backup:
    values: dict[str, str]  # backed up, in bak_<project>.ini
    unread: dict[str, str]  # why each other parameter was not
    path: str
    told: list[str] = field(default_factory=list)


@dataclass
class Application:
    """What an apply or a restore did: the commands of a dry run, or the outcome."""

    values: dict[str, Any]
    outcome: Outcome | None = None
    commands: list[str] = field(default_factory=list)
    told: list[str] = field(default_factory=list)  # to tell first: what was left out, originals kept
    left_out: bool = False  # a parameter was refused or had nothing to restore


def backup(cfg: Cfg, config: str, *, timeout: float | None = None) -> Backup:
    """Backs up every parameter read well, and keeps the values read as originals."""
    with command_limit(timeout):
        values, unread = back_up(StageKit(), cfg)
    done = Backup(values, unread, os.path.abspath(f"bak_{cfg.get_project()}.ini"))
    if values:
        done.told = _keep_originals(cfg, config, values, unread)
    return done


def _keep_originals(cfg: Cfg, config: str, values: Mapping[str, Any], unread: Iterable[str] = ()) -> list[str]:
    """The first value knobsmith reads of each parameter becomes its original, kept for good."""
    return state.keep_originals(state.key(cfg.get_project(), config), values, config,
                                shellsafe.declarations(cfg), unread)


def keep_originals_before_change(cfg: Cfg, config: str) -> list[str]:
    """Before a change, reads every parameter that has no original yet, to keep it."""
    kept = state.originals(state.key(cfg.get_project(), config)) or {}
    missing = [obj["name"] for obj in cfg.yml["object"] if obj["name"] not in kept]
    if not missing:
        return []
    readings = StageKit().read_params(missing)
    unread = [name for name, why in map(not_kept, readings.items()) if why]
    return _keep_originals(cfg, config, {name: reading["value"] for name, reading in readings.items()
                                         if name not in unread}, unread)


def _number(text: str, dtype: str, name: str) -> int | float:
    convert: Callable[[str], int | float] = int if dtype == "int" else float
    try:
        return convert(text)
    except ValueError:
        raise ParamsError(f"{name}: {text!r} is not {'an integer' if dtype == 'int' else 'a number'}") from None


def _converted(info: dict[str, Any], name: str, text: str) -> Any:
    """`text` as a value of the parameter, or a ParamsError saying why it cannot be one."""
    dtype = info.get("dtype")
    value: Any = text if dtype == "string" else _number(text, str(dtype), name)
    options = info.get("options")
    if isinstance(options, list) and options and dtype == "string" and value not in options:
        raise ParamsError(f"{name}: {text!r} is not one of {', '.join(map(str, options))}")
    scope = info.get("scope")
    if dtype != "string" and isinstance(scope, list) and len(scope) == 2:
        low, high = scope
        if not low <= value <= high:
            raise ParamsError(f"{name}: {text} is outside [{low}, {high}]")
        # A value between the steps is one the tuner could never propose.
        step: Any = info.get("step")
        if info.get("type") == "discrete" and is_number(step) and step > 0:
            nearest = off_grid(low, high, step, str(dtype), info.get("items"), value)
            if nearest:
                raise ParamsError(f"{name}: {text} is not on its step of {step:g} from {low:g}; "
                                  f"the nearest allowed values are {' and '.join(f'{near:g}' for near in nearest)}")
    return value


def values_of(cfg: Cfg, config: str, pairs: Iterable[tuple[str, str]]) -> dict[str, Any]:
    """The (name, text) pairs as values of the configuration's parameters, checked against their
    declarations: ParamsError for the first that is not one."""
    infos = {obj["name"]: obj["info"] for obj in cfg.yml["object"]}
    values = {}
    for name, text in pairs:
        if name not in infos:
            raise ParamsError(f"{name} is not a parameter of {config}")
        values[name] = _converted(infos[name], name, text)
    return values


def _best_yaml(path: str) -> Any:
    import yaml

    try:
        with open(path, encoding="utf-8") as stream:
            return yaml.safe_load(stream)
    except (OSError, UnicodeDecodeError, yaml.YAMLError) as error:
        raise ParamsError(f"{path} cannot be read: {str(error).splitlines()[0]}") from None


def best_values(path: str, trial: int | None = None) -> list[tuple[str, str]]:
    """The values of a run's best.yaml (of trial `trial` of its Pareto front, when given), as
    (name, text) pairs to check like any other."""
    summary = _best_yaml(path)
    values = summary.get("values") if isinstance(summary, dict) else None
    if trial is not None:
        front = summary.get("pareto_front") if isinstance(summary, dict) else None
        if not isinstance(front, list) or not front:
            raise ParamsError(f"{path} holds no Pareto front (tune --pareto writes one): leave --trial out")
        found = [entry for entry in front if isinstance(entry, dict) and entry.get("trial") == trial]
        if not found:
            listed = ", ".join(str(entry.get("trial")) for entry in front if isinstance(entry, dict))
            raise ParamsError(f"trial {trial} is not on the Pareto front of {path}; give one of its trials: {listed}")
        values = found[0].get("values")
    if not isinstance(values, dict) or not values:
        raise ParamsError(f"{path} holds no values (a best.yaml of a run that completed a trial has them)")
    return [(str(name), str(value)) for name, value in values.items()]


def minimal_values(cfg: Cfg, config: str, path: str) -> dict[str, Any]:
    """The values of the smallest change kept in a run's best.yaml: those it leaves changed, checked
    like any other, and the backed-up values it puts back, which were read from the system and are
    refused only when the shell could read them as syntax, as a restore's are."""
    summary = _best_yaml(path)
    section = summary.get("minimal") if isinstance(summary, dict) else None
    if not isinstance(section, dict) or section.get("complete") is not True:
        raise ParamsError(f"{path} holds no smallest change found to its end: tune --minimal, or "
                          f"knobsmith minimize CONFIG --from {path}, finds it")
    changed, put_back = section.get("changed"), section.get("put_back")
    if not isinstance(changed, dict) or not isinstance(put_back, dict):
        raise ParamsError(f"{path} holds no values of its smallest change (changed: and put_back:)")
    values = values_of(cfg, config, [(str(name), str(value)) for name, value in changed.items()])
    backed_up = {str(name): str(value) for name, value in put_back.items()}
    infos = shellsafe.declarations(cfg)
    unknown = [name for name in backed_up if name not in infos]
    if unknown:
        raise ParamsError(f"{unknown[0]} is not a parameter of {config}")
    refused = shellsafe.refusals(backed_up, infos)
    if refused:
        raise ParamsError(f"{path}: {refused[0]}; nothing was applied")
    return {**values, **backed_up}


def _workload(cfg: Cfg, log: str | None) -> Workload:
    return Workload.from_config(cfg, log or f"knobsmith-workload-{cfg.get_project()}.log")


def _applied(cfg: Cfg, done: Application, workload: Workload, *, dry_run: bool, timeout: float | None,
             key: str | None = None, by: str = "", verify: bool = True) -> Application:
    """`done` once its values are applied in the order the workload needs (or, in a dry run, its
    commands listed); values read back are noted as the last applied ones of the state folder `key`."""
    if dry_run:
        done.commands = planned_commands(cfg, workload, done.values)
        return done
    with command_limit(timeout):
        done.outcome = Applier(StageKit(), cfg, workload).apply(done.values, verify=verify)
    if done.outcome.ok and key is not None:
        state.record_applied(key, {name: entry.requested for name, entry in done.outcome.params.items()}, by)
    return done


def _refuse_unsafe(values: Mapping[str, Any], infos: Mapping[str, Mapping[str, Any]], told: list[str]) -> None:
    """Stops a restore of values read from the system or a file before any of them runs when one
    could be read as shell syntax: a partial application would leave a mix."""
    refused = shellsafe.refusals(values, infos)
    if refused:
        raise ParamsError(f"restore refused: {refused[-1]}; nothing was applied",
                          told + [f"restore refused: {refusal}" for refusal in refused[:-1]])


def apply(cfg: Cfg, config: str, values: dict[str, Any], *, log: str | None = None, dry_run: bool = False,
          timeout: float | None = None) -> Application:
    """Applies checked values (see values_of), keeping the originals of the parameters first."""
    workload = _workload(cfg, log)
    done = Application(values)
    if not dry_run:
        with command_limit(timeout):
            done.told = keep_originals_before_change(cfg, config)
    return _applied(cfg, done, workload, dry_run=dry_run, timeout=timeout,
                    key=state.key(cfg.get_project(), config), by="apply")


def restore_backup(path: str, cfg: Cfg | None = None, config: str | None = None, *, log: str | None = None,
                   dry_run: bool = False, timeout: float | None = None) -> Application:
    """Applies the values of a backup file through its own set commands; with the configuration
    (`cfg` loaded from the file `config`) its get commands read them back and its restart flags apply."""
    if cfg is None or config is None:
        cfg, config = Cfg(), None
    objects = {} if config is None else {obj["name"].lower(): obj for obj in cfg.yml["object"]}
    try:
        entries = backup_file.read(path)
    except backup_file.BackupFileError as error:
        raise ParamsError(str(error)) from None
    # The values first: one the shell could read as syntax stops the whole restore.
    _refuse_unsafe({name: value for name, value, _ in entries if config is None or name in objects},
                   {name: obj.get("info", {}) for name, obj in objects.items()}, [])
    done = Application({})
    accepted = []
    for name, value, template in entries:
        if shellsafe.breaks_shell_rule(template.replace("$value", value)):
            done.told.append(f"refused {name}: its command breaks the shell-metacharacter rule")
        elif config is not None and name not in objects:
            done.told.append(f"refused {name}: it is not a parameter of {config}")
        else:
            accepted.append((name, template))
            done.values[name] = value
    done.left_out = len(accepted) < len(entries)
    if not done.values:
        return done
    # The backup's own set commands, with the configuration's get commands and restart flags.
    base = {"startworkload": "", "stopworkload": ""} if config is None else dict(cfg.yml)
    base["object"] = [{"name": name, "info": {**objects.get(name, {}).get("info", {"needrestart": "false", "get": ""}),
                                              "set": template}} for name, template in accepted]
    if config is None and log is None:
        log = os.devnull  # without the configuration there is no restart flag, so no restart to log
    with configured(cfg, base):
        workload = _workload(cfg, log)
        return _applied(cfg, done, workload, dry_run=dry_run, timeout=timeout, verify=config is not None)


def restore_originals(cfg: Cfg, config: str, key: str, project: str, *, log: str | None = None,
                      dry_run: bool = False, timeout: float | None = None) -> Application:
    """Puts back the values kept as the originals of the configuration file (in the state folder
    `key`, of `project`), through its commands."""
    kept = state.originals(key)
    if kept is None:
        raise ParamsError(f"no original values are kept for {project} (in {state.folder(key)})")
    known = set(cfg.get_params_set_script())
    done = Application({name: value for name, value in kept.items() if name in known})
    done.told = [f"refused {name}: it is not a parameter of {config}" for name in kept if name not in known]
    done.told += [f"{name} was not restored: no original value of it is kept" for name in known if name not in kept]
    done.left_out = bool(done.told)
    _refuse_unsafe(done.values, shellsafe.declarations(cfg), done.told)
    return _applied(cfg, done, _workload(cfg, log), dry_run=dry_run, timeout=timeout, key=key, by="restore")


@dataclass
class Diff:
    rows: list[list[str]]  # parameter, current, original, last applied
    originals_kept: bool
    differing: list[str] = field(default_factory=list)  # read, and not their originals
    unread: list[str] = field(default_factory=list)


def diff(cfg: Cfg, key: str, *, timeout: float | None = None) -> Diff:
    """Current, original and last applied values side by side."""
    kept = state.originals(key) or {}
    applied = state.last_applied(key)
    with command_limit(timeout):
        readings = StageKit().read_params()
    rows = [[name, str(reading["value"]) if read_ok(reading) else f"(unreadable: {why_unread(reading)})",
             kept.get(name, "-"), applied.get(name, "-")] for name, reading in readings.items()]
    differing = [name for name, reading in readings.items()
                 if name in kept and read_ok(reading) and not same_value(kept[name], reading["value"])]
    unread = [name for name, reading in readings.items() if not read_ok(reading)]
    return Diff(rows, bool(kept), differing, unread)

"""From the parameter database to config.yaml: the library's own steps (load, select, adapt,
write), with the server filter, probing and range fitting around them, and the comment block
that says what these did."""

from __future__ import annotations

import contextlib
import logging
import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

import knobsmith.recommend as library
from common.config import OUTPUT_DIR_VARIABLE
from knobsmith.params.shellsafe import breaks_shell_rule
from knobsmith.recommending import commands, notes, option_files, probing, ranges, servers

DATABASE = "/knobsmith/paramsdb.json5.extu"
# The letter that marks a scene's entries in their keys, as selectparams reads them.
SCENE_LETTERS = {"cpu": "C", "io": "I", "net": "N", "mysql": "M"}
SERVER_SCENES = ("mysql",)  # scenes of a server, whose host-wide entries are written only with --host

_logger = logging.getLogger("knobsmith")


@dataclass
class Entry:
    key: str
    raw: dict[str, Any]  # the database entry, extra keys (limits, memory) included
    item: Any  # its ParamsItem
    value: int | float | None = None  # the numeric value in effect, once read
    variable: servers.Variable | None = None  # what the server says of the variable it reads and sets

    @property
    def name(self) -> str:
        return str(self.item.name)


@dataclass
class Result:
    written: bool
    path: str | None = None
    entries: list[Entry] = field(default_factory=list)
    notes: notes.Notes | None = None
    detection: servers.Detection | None = None
    unknown_keep: list[str] = field(default_factory=list)


def _load(scene: str) -> list[Entry] | None:
    path = library.Config().get_inst_path() + DATABASE
    text = library.SetScript().de_file(path)
    db = library.Paramsdb()
    if not db.loaddb(text):
        _logger.error(f"加载{text}失败")
        return None
    items = db.selectparams(scene)
    letter = SCENE_LETTERS.get(scene)
    keys = [key for key in db.dataset if letter is not None and letter in key]
    if len(keys) != len(items):
        raise RuntimeError(f"the scene {scene} selected {len(items)} entries of {len(keys)} keys")
    return [Entry(key, db.dataset[key], item) for key, item in zip(keys, items, strict=True)]


def _breaks_shell_rule(entry: Entry) -> str | None:
    for field_name in ("get", "set"):
        command = entry.raw.get(field_name)
        if not isinstance(command, str) or breaks_shell_rule(command):
            return f"its {field_name} command breaks the shell rule (no ; ! ` line break && || $( ${{)"
    return None


def _filter_servers(entries: list[Entry], probe: bool, timeout: float | None, record: notes.Notes,
                    ) -> tuple[list[Entry], servers.Detection | None]:
    specific = {id(entry) for entry in entries if servers.is_server_specific(entry.raw)}
    detection = servers.detect(timeout) if probe else None
    if detection is not None:
        record.server = str(detection.server) if detection.server else f"none could be asked: {detection.error}"
    kept, named = [], set()
    folders: list[option_files.Folder] = []  # found once, when an entry needs it
    for entry in entries:
        if id(entry) in specific:
            reason = _server_reason(entry, detection)
            if reason is None and detection is None:
                # Not asked: of several entries for one variable, the first is written.
                if entry.name in named:
                    reason = "an earlier entry of the same name is written (the server was not asked)"
                named.add(entry.name)
            if reason is not None:
                record.leave_out(entry.name, reason)
                continue
        if servers.CONFDIR_PLACEHOLDER in str(entry.item.get) + str(entry.item.set):
            folders = folders or [_option_folder(detection, timeout, record)]
            if folders[0].path is None:
                record.leave_out(entry.name, f"it writes an option file, and {folders[0].why}")
                continue
            entry.item.get = entry.item.get.replace(servers.CONFDIR_PLACEHOLDER, folders[0].path)
            entry.item.set = entry.item.set.replace(servers.CONFDIR_PLACEHOLDER, folders[0].path)
            # A value the server reads again later at start would never be the one tuned.
            overruled = option_files.set_after(folders[0], entry.name, entry.item.set)
            if overruled is not None:
                record.leave_out(entry.name, overruled)
                continue
        kept.append(entry)
    return kept, detection


def _server_reason(entry: Entry, detection: servers.Detection | None) -> str | None:
    version = entry.raw.get("version")
    if not isinstance(version, str):
        return "its version names no server"
    try:
        servers.clauses(version)
    except ValueError as error:
        return str(error)
    if detection is None:
        return None
    if detection.server is None:
        return f"the server could not be asked: {detection.error}"
    if not servers.selects(version, detection.server):
        return f"for {version}, not {detection.server}"
    return None


def _option_folder(detection: servers.Detection | None, timeout: float | None,
                   record: notes.Notes) -> option_files.Folder:
    """The folder that option-file entries write to: the one the server reads, as it and its
    process say; not asked (--no-probe), the first packaged server folder that exists."""
    if detection is None:
        folder = servers.confdir()
        found = option_files.Folder(folder, "the first packaged server's folder that exists (no server was asked)"
                                    if folder else f"none of {', '.join(servers.CONFDIRS)} exists",
                                    option_files.DEFAULT_FILES, option_files.groups_read(None, None))
    elif detection.server is None:
        found = option_files.Folder(None, f"the server could not be asked: {detection.error}")
    else:
        found = option_files.server_folder(timeout, family=detection.server.family,
                                           version=detection.server.version)
    record.option_files = f"{found.path}: {found.why}" if found.path else f"none: {found.why}"
    return found


def _adapt(entries: list[Entry], record: notes.Notes) -> list[Entry]:
    adapter = library.Adaptenv()
    kept = {id(item) for item in adapter.handle([entry.item for entry in entries])}
    for entry in entries:
        if id(entry.item) not in kept:
            record.leave_out(entry.name, _adapt_reason(adapter, entry))
    return [entry for entry in entries if id(entry.item) in kept]


def _adapt_reason(adapter: Any, entry: Entry) -> str:
    adapt = entry.item.adapt or []
    if "disk" in adapt:
        if not adapter.get_all_disks():
            return "this machine shows no physical disk"
        path = adapter.get_file_path(entry.item.get)
        return f"this machine has no {path}" if path else "its get command names no file to look for"
    if "version" in adapt:
        return f"not for this system's release (it needs {entry.item.version})"
    if entry.name == "innodb_buffer_pool_instances":
        return "too little memory for a range of instances"
    return "this machine does not suit it"


def _probe(entries: list[Entry], keep: set[str], timeout: float | None, record: notes.Notes,
           detection: servers.Detection | None) -> list[Entry]:
    server = detection.server if detection is not None else None
    variables = servers.server_variables(server, timeout) if server is not None else None
    if variables is not None and server is not None:
        servers.cap_at_start(variables, server, timeout)
    names = [servers.variable_name(str(entry.item.get), str(entry.item.set)) for entry in entries]
    error = detection.error if detection is not None else None
    # A get command of a server's variable would meet the same server, or wait as long for it.
    unasked = [error is not None and name is not None for name in names]
    # The reads depend on nothing but the machine: all of them at once, then each looked at.
    reads = [entry.item.get for entry, skip in zip(entries, unasked, strict=True) if not skip]
    outcomes = iter(commands.run_all(reads, timeout))
    kept = []
    for entry, name, skip in zip(entries, names, unasked, strict=True):
        if server is not None:
            entry.variable = variables.get(name) if variables is not None and name is not None else None
        if skip:
            reason: str | None = f"the server could not be asked: {error}"
        else:
            reason = _probe_one(entry, timeout, record, next(outcomes))
        if reason is None and server is not None:
            reason = servers.unfit_set(str(entry.item.set), str(entry.item.needrestart), server, entry.variable)
        if reason is None:
            kept.append(entry)
        elif entry.name in keep:
            record.unfitted.append((entry.name, f"kept as asked (--keep), although {reason}"))
            kept.append(entry)
        else:
            record.leave_out(entry.name, reason)
    return kept


def _probe_one(entry: Entry, timeout: float | None, record: notes.Notes, outcome: commands.Outcome) -> str | None:
    """Takes in the entry's value as its get command read it; why it is to be left out, or None."""
    item = entry.item
    found = probing.probe(item.get, timeout, lambda *_: outcome)
    if not found.ok:
        return found.failure
    assert found.value is not None
    if item.dtype == "string":
        choices = probing.offered(found.value)
        if choices is None and entry.variable is not None and entry.variable.choices:
            choices = list(entry.variable.choices), found.value
        return None if choices is None else _fit_options(entry, *choices, record)
    if item.dtype in ("int", "float"):
        entry.value = probing.number(found.value, item.dtype)
        if entry.value is None:
            return f"its get command prints {commands.one_line(found.value, 80)!r}, not a number of type {item.dtype}"
    return None


def _fit_options(entry: Entry, offered: list[str], current: str, record: notes.Notes) -> str | None:
    """Keeps the options the machine offers (words compare without case, as the server and the
    kernel read them); why the entry is to be left out when none is left."""
    item = entry.item
    offers = {word.lower() for word in offered}
    declared = list(item.options or [])
    options = [option for option in declared if str(option).lower() in offers]
    if not options:
        return f"the machine offers none of its options (it offers {' '.join(offered)})"
    if current.lower() not in {str(option).lower() for option in options}:
        options.append(current)  # what is in effect stays reachable
    if options != declared:
        said = f"options {' '.join(map(str, declared))} -> {' '.join(map(str, options))}: the machine offers " \
               f"{' '.join(offered)}"
        if current not in declared:
            said += f", {current} in effect"
        item.options = options
        record.fitted.append((entry.name, said))
    return None


def _fit_ranges(entries: list[Entry], keep: set[str], server: servers.Server | None,
                record: notes.Notes) -> list[Entry]:
    memory: tuple[int, str] | None = None
    kept = []
    for entry in entries:
        item = entry.item
        kept.append(entry)
        if item.dtype not in ("int", "float") or not isinstance(item.scope, list) or len(item.scope) != 2:
            continue
        served = entry.variable.limits if entry.variable is not None else None
        limits = ranges.narrower(ranges.read_limits(entry.raw), served)
        discrete = item.type == "discrete"
        said: list[str] = []
        if "memory" in entry.raw:
            memory = memory or ranges.memory_available()
            sized = ranges.memory_scope(entry.raw["memory"], *memory, dtype=item.dtype, limits=limits,
                                        grid=item.step if discrete else None)
            if sized is None:
                record.unfitted.append((entry.name, "its memory is not [low_share, high_share]: the database's range"))
            elif sized.refusal:
                record.unfitted.append((entry.name, sized.refusal))
            else:
                item.scope = sized.scope
                said.append(sized.note or "")
        block = entry.variable.block if entry.variable is not None else None
        if block and item.dtype == "int":
            blocks = ranges.on_blocks(list(item.scope), item.step, discrete, block, str(server))
            if blocks is not None and blocks.refusal:
                record.unfitted.append((entry.name, blocks.refusal))
            elif blocks is not None:
                item.type, item.step, item.scope, discrete = "discrete", blocks.step, blocks.scope, True
                said.append(blocks.note or "")
        if entry.value is not None:
            held = ranges.hold(list(item.scope), entry.value, dtype=item.dtype, discrete=discrete, step=item.step,
                               limits=limits)
            if held.refusal:
                record.unfitted.append((entry.name, held.refusal))
            elif held.note:
                item.scope = held.scope
                said.append(held.note)
        if served is not None:
            cut = ranges.within(list(item.scope), served, str(server), dtype=item.dtype, discrete=discrete,
                                step=item.step)
            if cut.refusal:
                if entry.name not in keep:
                    kept.pop()
                    record.leave_out(entry.name, cut.refusal)
                    continue
                record.unfitted.append((entry.name, f"kept as asked (--keep), although {cut.refusal}"))
            elif cut.note:
                item.scope = cut.scope
                said.append(cut.note)
        if said:
            record.fitted.append((entry.name, "; ".join(said)))
    return kept


@contextlib.contextmanager
def _output_folder(folder: str | None) -> Iterator[None]:
    """Within the block the library writes into `folder` (None: $KNOBSMITH_OUTPUT_DIR or here): its
    writer reads the folder from that variable alone, so it names `folder` for the block."""
    if folder is None:
        yield
        return
    os.makedirs(folder, mode=0o700, exist_ok=True)
    previous = os.environ.get(OUTPUT_DIR_VARIABLE)
    os.environ[OUTPUT_DIR_VARIABLE] = os.path.abspath(folder)
    try:
        yield
    finally:
        if previous is None:
            del os.environ[OUTPUT_DIR_VARIABLE]
        else:
            os.environ[OUTPUT_DIR_VARIABLE] = previous


def recommend(scene: str, *, probe: bool = True, keep: Iterable[str] = (),
              timeout: float | None = commands.DEFAULT_TIMEOUT, output: str | None = None,
              host: bool = False) -> Result:
    """Writes config.yaml for `scene` in the folder `output` (None: the output folder); the result
    says what was written. A server's scene leaves its host-wide entries out unless `host`."""
    with _output_folder(output):
        return _recommend(scene, probe, keep, timeout, host)


def _recommend(scene: str, probe: bool, keep: Iterable[str], timeout: float | None, host: bool) -> Result:
    entries = _load(scene)
    if not entries:
        return Result(False)
    record = notes.Notes(scene, probe)
    keep = set(keep)
    unknown_keep = sorted(keep - {entry.name for entry in entries})
    runnable = []
    for entry in entries:
        reason = _breaks_shell_rule(entry)
        if reason is None:
            runnable.append(entry)
        else:
            record.leave_out(entry.name, reason)
    entries = runnable
    if scene in SERVER_SCENES and not host:
        # Kernel values change every program of the machine, and need root: apart from the server's.
        record.host_wide = [entry.name for entry in entries if not servers.reaches_server(entry.raw)]
        entries = [entry for entry in entries if servers.reaches_server(entry.raw)]
    detection = None
    if scene == "mysql" or any(servers.is_server_specific(entry.raw) for entry in entries):
        entries, detection = _filter_servers(entries, probe, timeout, record)
    entries = _adapt(entries, record)
    if probe:
        entries = _probe(entries, keep, timeout, record, detection)
    entries = _fit_ranges(entries, keep, detection.server if detection else None, record)
    if not library.Recoyamlfile().writefile([entry.item for entry in entries]):
        return Result(False, notes=record, detection=detection, unknown_keep=unknown_keep)
    path = library.Config().get_output_path() + "config.yaml"
    notes.prepend(path, notes.block(record))
    if scene in SERVER_SCENES:
        notes.add_readiness(path)
    return Result(True, path, entries, record, detection, unknown_keep)

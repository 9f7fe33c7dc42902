"""Where the database server that the client reaches reads option files at start: the server
says its host and pid file, its process says which option file it was started with (else it
reads the default ones), and their !include and !includedir lines name the folders. What the
server reads after a file of knobsmith's outranks it, so that is looked for too."""

from __future__ import annotations

import os
import pwd
import re
from collections.abc import Callable
from dataclasses import dataclass

from knobsmith.recommending import commands

SERVER_QUERY = "mysql -N -B -e 'SELECT @@GLOBAL.hostname, @@GLOBAL.pid_file, @@GLOBAL.datadir'"
# What a server started without --defaults-file reads, in order.
DEFAULT_FILES = ("/etc/my.cnf", "/etc/mysql/my.cnf")
SERVER_PROGRAMS = ("mariadbd", "mysqld")
DEEPEST_INCLUDE = 10
# The sections each server reads; a version's own sections (mysqld-10.11) are added.
GROUPS = {"mariadb": ("mysqld", "server", "mariadb", "mariadbd", "client-server", "galera"),
          "mysql": ("mysqld", "server")}
VERSIONED_GROUPS = {"mariadb": ("mysqld", "mariadb", "mariadbd"), "mysql": ("mysqld",)}
# Options of the command line that say which files are read, not what is set.
_FILE_OPTIONS = ("defaults-file", "defaults-extra-file", "defaults-group-suffix", "no-defaults", "print-defaults")
_OUTPUT = re.compile(r">\s*(\S+)\s*$")


@dataclass(frozen=True)
class Folder:
    path: str | None  # the folder the server reads option files from; None when none was found
    why: str  # which option file includes it, or why none was found
    files: tuple[str, ...] = ()  # the option files the server reads, in order
    groups: frozenset[str] = frozenset()  # the sections of them it reads
    arguments: tuple[str, ...] = ()  # its command line, whose options outrank every file


def groups_read(family: str | None, version: tuple[int, ...] | None, suffix: str = "") -> frozenset[str]:
    """The sections of option files that a server of `family` reads (None: any server's)."""
    families = [family] if family in GROUPS else list(GROUPS)
    found = {group for name in families for group in GROUPS[name]}
    if version is not None:
        release = ".".join(map(str, version[:2]))
        found |= {f"{group}-{release}" for name in families for group in VERSIONED_GROUPS[name]}
    return frozenset(found | ({group + suffix for group in found} if suffix else set()))


def server_folder(timeout: float | None, runner: Callable[..., commands.Outcome] = commands.run,
                  family: str | None = None, version: tuple[int, ...] | None = None) -> Folder:
    """The folder of option files of the server the client reaches: the last its option files
    include, since files read last win."""
    import socket  # only a server's scene asks: not imported at every start

    outcome = runner(SERVER_QUERY, timeout)
    if not outcome.ok:
        return Folder(None, f"{SERVER_QUERY} {outcome.failure(timeout)}")
    fields = outcome.out.strip().split("\t")
    if len(fields) != 3:
        return Folder(None, f"{SERVER_QUERY} printed {commands.one_line(outcome.out)!r}, not host, pid file, datadir")
    host, pid_file, datadir = fields
    here = socket.gethostname()
    if host != here:
        return Folder(None, f"the server runs on {host}, not on this machine ({here}), where its option files are")
    pid_path = pid_file if os.path.isabs(pid_file) else os.path.join(datadir, pid_file)
    try:
        with open(pid_path, encoding="utf-8") as stream:
            pid = int(stream.read().split()[0])
        with open(f"/proc/{pid}/cmdline", "rb") as stream:
            arguments = [part.decode(errors="replace") for part in stream.read().split(b"\0") if part]
    except (OSError, ValueError, IndexError) as error:
        return Folder(None, f"its process cannot be found through its pid file {pid_path}: {error}")
    if not arguments or os.path.basename(arguments[0]) not in SERVER_PROGRAMS:
        return Folder(None, f"process {pid} of its pid file {pid_path} is not a server ({' '.join(arguments[:1])})")
    files = option_files(arguments[1:], _home(pid))
    folders = [folder for path in files for folder in included(path) if os.path.isdir(folder)]
    if not folders:
        return Folder(None, f"its option files ({', '.join(files) or 'none: --no-defaults'}) include no folder")
    suffix = _named(arguments[1:]).get("defaults-group-suffix", "")
    return Folder(folders[-1], f"the last folder that the server's option files ({', '.join(files)}) include",
                  tuple(files), groups_read(family, version, suffix), tuple(arguments[1:]))


def _named(arguments: list[str]) -> dict[str, str]:
    return dict(argument[2:].split("=", 1) for argument in arguments if argument.startswith("--") and "=" in argument)


def _home(pid: int) -> str | None:
    """The home folder of the user a process runs as, whose ~/.my.cnf a server reads last."""
    try:
        return pwd.getpwuid(os.stat(f"/proc/{pid}").st_uid).pw_dir
    except (OSError, KeyError):
        return None


def option_files(arguments: list[str], home: str | None = None) -> list[str]:
    """The option files a server started with `arguments` (by a user whose home is `home`) reads."""
    named = _named(arguments)
    if "--no-defaults" in arguments:
        return []
    extra = [named["defaults-extra-file"]] if "defaults-extra-file" in named else []
    if "defaults-file" in named:
        return [named["defaults-file"], *extra]
    return [*DEFAULT_FILES, *extra, *([os.path.join(home, ".my.cnf")] if home else [])]


def option_name(text: str) -> str:
    """An option's name as the server matches it: - and _ alike, without the loose- prefix."""
    return text.strip().lower().replace("-", "_").removeprefix("loose_")


def set_after(folder: Folder, option: str, set_command: str) -> str | None:
    """Where the server, after reading the option file that `set_command` writes, sets `option`
    again (a later file, or its command line), which would outrank the written value; None
    where nothing does, as far as its option files tell."""
    name = option_name(option)
    given = [argument for argument in folder.arguments if argument.startswith("--")
             and argument[2:].split("=", 1)[0] not in _FILE_OPTIONS
             and option_name(argument[2:].split("=", 1)[0]) == name]
    if given:
        return f"set on the server's command line ({given[-1]}), which outranks its option files: remove it " \
               "there to tune it"
    written = _OUTPUT.search(set_command)
    if written is None:
        return None
    reads = [read for path in folder.files for read in _read(path, written.group(1))]
    ours = [index for index, (source, number, _) in enumerate(reads) if source == written.group(1) and not number]
    if not ours:
        return None
    later = []
    groups: dict[str, str] = {}  # the section each file is in at the line read
    for index, (source, number, line) in enumerate(reads):
        if line.startswith("[") and line.endswith("]"):
            groups[source] = line[1:-1].strip().lower()
        elif (index > ours[-1] and number and line[:1] not in ("", "#", ";", "!") and source in groups
              and groups[source] in folder.groups
              and option_name(line.split("=", 1)[0]) == name):
            later.append(f"{source} (line {number})")
    if not later:
        return None
    return f"set again in {', '.join(later)}, read after knobsmith's file: remove it there to tune it"


def included(path: str) -> list[str]:
    """The folders that the option file at `path` includes (!includedir), also through the files
    it includes (!include), in the order the server reads them; none for a file it cannot read."""
    return [source for source, number, line in _read(path) if not number and line == "!includedir"]


def _read(path: str, written: str | None = None, depth: int = 0) -> list[tuple[str, int, str]]:
    """(file, line number, line) of each line the server reads from the option file at `path` and
    the files it includes, in that order. Each folder included comes as (folder, 0, "!includedir")
    before its files; the file `written` as (written, 0, "") in its place, also when not there yet."""
    if path == written:
        return [(path, 0, "")]
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            lines = stream.read().splitlines()
    except OSError:
        return []
    found = []
    for number, line in enumerate(lines, 1):
        line = line.strip()
        directive, _, target = line.partition(" ")
        target = target.strip()
        if directive == "!includedir" and target and depth < DEEPEST_INCLUDE:
            folder = target.rstrip("/") or "/"
            found.append((folder, 0, directive))
            try:
                names = {name for name in os.listdir(folder) if name.endswith(".cnf")}
            except OSError:
                names = set()
            if written is not None and os.path.dirname(written) == folder:
                names.add(os.path.basename(written))
            for name in sorted(names):  # the server reads a folder's files in the order of their names
                found += _read(os.path.join(folder, name), written, depth + 1)
        elif directive == "!include" and target and depth < DEEPEST_INCLUDE:
            found += _read(target, written, depth + 1)
        else:
            found.append((path, number, line))
    return found

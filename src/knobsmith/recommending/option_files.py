"""Where the database server that the client reaches reads option files at start: the server
says its host and pid file, its process says which option file it was started with (else it
reads the default ones), and their !include and !includedir lines name the folders."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass

from knobsmith.recommending import commands

SERVER_QUERY = "mysql -N -B -e 'SELECT @@GLOBAL.hostname, @@GLOBAL.pid_file, @@GLOBAL.datadir'"
# What a server started without --defaults-file reads, in order.
DEFAULT_FILES = ("/etc/my.cnf", "/etc/mysql/my.cnf")
SERVER_PROGRAMS = ("mariadbd", "mysqld")
DEEPEST_INCLUDE = 10


@dataclass(frozen=True)
class Folder:
    path: str | None  # the folder the server reads option files from; None when none was found
    why: str  # which option file includes it, or why none was found


def server_folder(timeout: float | None, runner: Callable[..., commands.Outcome] = commands.run) -> Folder:
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
    files = option_files(arguments[1:])
    folders = [folder for path in files for folder in included(path) if os.path.isdir(folder)]
    if not folders:
        return Folder(None, f"its option files ({', '.join(files) or 'none: --no-defaults'}) include no folder")
    return Folder(folders[-1], f"the last folder that the server's option files ({', '.join(files)}) include")


def option_files(arguments: list[str]) -> list[str]:
    """The option files a server started with `arguments` reads."""
    named = dict(argument[2:].split("=", 1) for argument in arguments
                 if argument.startswith("--") and "=" in argument)
    if "--no-defaults" in arguments:
        return []
    files = [named["defaults-file"]] if "defaults-file" in named else list(DEFAULT_FILES)
    return files + ([named["defaults-extra-file"]] if "defaults-extra-file" in named else [])


def included(path: str, depth: int = 0) -> list[str]:
    """The folders that the option file at `path` includes (!includedir), also through the files
    it includes (!include), in the order the server reads them; none for a file it cannot read."""
    if depth > DEEPEST_INCLUDE:
        return []
    try:
        with open(path, encoding="utf-8", errors="replace") as stream:
            lines = stream.read().splitlines()
    except OSError:
        return []
    folders = []
    for line in lines:
        directive, _, target = line.strip().partition(" ")
        target = target.strip()
        if directive == "!includedir" and target:
            folders.append(target.rstrip("/") or "/")
        elif directive == "!include" and target:
            folders += included(target, depth + 1)
    return folders

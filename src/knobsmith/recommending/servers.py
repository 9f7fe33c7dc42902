"""Which database server answers, and which server-specific entries select it.

An entry whose `adapt` holds "server" names the servers it suits in `version`: comma-separated
clauses, any of which selects it: `mariadb`, `mysql>=8.0`, `mariadb<10.6`, `mariadb>=10.5<11.0`.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import Any

from knobsmith.recommending import commands

FAMILIES = ("mariadb", "mysql")
VERSION_QUERY = "mysql -N -B -e 'SELECT VERSION()'"
CONFDIR_PLACEHOLDER = "@MYSQL_CONFDIR@"
# Folders whose option files a packaged server reads at start, most specific first.
CONFDIRS = ("/etc/mysql/mariadb.conf.d", "/etc/my.cnf.d", "/etc/mysql/conf.d")

Version = tuple[int, int, int]

_NUMBER = r"\d+\.\d+(?:\.\d+)?"
_CLAUSE = re.compile(rf"({'|'.join(FAMILIES)})(?:>=({_NUMBER}))?(?:<({_NUMBER}))?")
_LEADING_VERSION = re.compile(r"(\d+)\.(\d+)(?:\.(\d+))?")


@dataclass(frozen=True)
class Server:
    family: str
    version: Version

    def __str__(self) -> str:
        name = "MariaDB" if self.family == "mariadb" else "MySQL"
        return f"{name} {'.'.join(map(str, self.version))}"


def version_tuple(text: str) -> Version:
    parts = [int(part) for part in text.split(".")]
    return tuple([*parts, 0, 0][:3])  # type: ignore[return-value]


def parse_server(text: str) -> Server | None:
    """The server that `SELECT VERSION()` describes ("10.11.6-MariaDB-0+deb12u1", "8.0.36",
    "8.4.0-commercial"), or None when the text holds no version."""
    text = text.strip()
    family = "mariadb" if "mariadb" in text.lower() else "mysql"
    if family == "mariadb" and text.startswith("5.5.5-"):
        text = text[len("5.5.5-"):]  # the prefix some proxies and old clients put before the real version
    found = _LEADING_VERSION.match(text)
    if found is None:
        return None
    major, minor, patch = found.groups()
    return Server(family, (int(major), int(minor), int(patch or 0)))


def clauses(version: str) -> list[tuple[str, Version | None, Version | None]]:
    """The clauses of a `version` field as (family, lowest included, first excluded).
    Raises ValueError naming the first clause that is not one of the known forms."""
    found = []
    for clause in version.split(","):
        clause = clause.strip()
        matched = _CLAUSE.fullmatch(clause)
        if matched is None:
            raise ValueError(f"the version clause {clause!r} is not of the form family, family>=A.B, family<A.B "
                             "or family>=A.B<C.D (family: mariadb or mysql)")
        family, low, high = matched.groups()
        found.append((family, version_tuple(low) if low else None, version_tuple(high) if high else None))
    return found


def selects(version: str, server: Server) -> bool:
    """Whether any clause of `version` selects `server`. Raises ValueError for an unreadable clause."""
    return any(family == server.family and (low is None or server.version >= low)
               and (high is None or server.version < high)
               for family, low, high in clauses(version))


def is_server_specific(entry: dict[str, Any]) -> bool:
    adapt = entry.get("adapt")
    return isinstance(adapt, list) and "server" in adapt


_CLIENT = re.compile(r"\s*(?:mysql|mariadb)\s")


def reaches_server(entry: dict[str, Any]) -> bool:
    """Whether an entry is the database server's (its commands run the client, or write the
    server's option files); the others (kernel, sysctl) change the whole host."""
    commands_of = [str(entry.get(name, "")) for name in ("get", "set")]
    return is_server_specific(entry) or any(_CLIENT.match(command) or CONFDIR_PLACEHOLDER in command
                                            for command in commands_of)


@dataclass(frozen=True)
class Detection:
    server: Server | None
    error: str | None  # the client's words when no server could be asked


def detect(timeout: float | None, runner: Callable[..., commands.Outcome] = commands.run) -> Detection:
    """Asks the server that the mysql client reaches (its option files, MYSQL_HOST, ...) for its version."""
    outcome = runner(VERSION_QUERY, timeout)
    if not outcome.ok:
        return Detection(None, f"{VERSION_QUERY} {outcome.failure(timeout)}")
    server = parse_server(outcome.out)
    if server is None:
        return Detection(None, f"{VERSION_QUERY} printed {commands.one_line(outcome.out)!r}, not a server version")
    return Detection(server, None)


def confdir() -> str | None:
    """The first folder of CONFDIRS that exists."""
    return next((folder for folder in CONFDIRS if os.path.isdir(folder)), None)


VARIABLES_QUERY = ("mysql -N -B -e \"SELECT LOWER(VARIABLE_NAME), READ_ONLY, IFNULL(NUMERIC_MIN_VALUE, ''), "
                   "IFNULL(NUMERIC_MAX_VALUE, ''), IFNULL(ENUM_VALUE_LIST, ''), IFNULL(NUMERIC_BLOCK_SIZE, '') "
                   "FROM information_schema.SYSTEM_VARIABLES\"")
_SET_GLOBAL = re.compile(r"\bSET\s+(?:GLOBAL\s+|@@GLOBAL\.)(\w+)\s*=", re.IGNORECASE)
_SELECT_GLOBAL = re.compile(r"@@(?:GLOBAL\.)?(\w+)", re.IGNORECASE)
_PERSIST = re.compile(r"\bSET\s+PERSIST(?:_ONLY)?\b", re.IGNORECASE)


@dataclass(frozen=True)
class Variable:
    read_only: bool
    limits: tuple[int | float, int | float] | None  # the values the server takes, when it says
    choices: tuple[str, ...] | None = None  # the words it takes, when it says
    block: int | None = None  # it keeps the value in multiples of this, when it says


def _number(text: str) -> int | float | None:
    try:
        return int(text)
    except ValueError:
        try:
            return float(text)
        except ValueError:
            return None


def parse_variables(text: str) -> dict[str, Variable]:
    """The rows of VARIABLES_QUERY: name, YES/NO, lowest and highest value (blank for words), the
    words it takes, comma-separated (blank for numbers), and the multiple it keeps a number in."""
    found = {}
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) not in (5, 6):
            continue
        name, read_only, low, high, words = fields[:5]
        bounds = (_number(low), _number(high))
        limits = None if bounds[0] is None or bounds[1] is None or bounds[0] >= bounds[1] else bounds
        block = _number(fields[5]) if len(fields) == 6 else None
        found[name] = Variable(read_only == "YES", limits,  # type: ignore[arg-type]
                               tuple(words.split(",")) if words else None,
                               block if isinstance(block, int) and block > 1 else None)
    return found


def server_variables(server: Server, timeout: float | None,
                     runner: Callable[..., commands.Outcome] = commands.run) -> dict[str, Variable] | None:
    """What a MariaDB server says of its variables in SYSTEM_VARIABLES; None when the server is
    another or does not say."""
    if server.family != "mariadb":
        return None
    outcome = runner(VARIABLES_QUERY, timeout)
    return parse_variables(outcome.out) if outcome.ok else None


START_QUERY = "mysql -N -B -e 'SELECT @@GLOBAL.open_files_limit, @@GLOBAL.max_connections, @@GLOBAL.table_open_cache'"
# Files a MariaDB server keeps open besides two per cached table of each instance and one per
# connection (what it asks for at start, as its log says when the limit is short).
OWN_FILES = 33


def cap_at_start(variables: dict[str, Variable], server: Server, timeout: float | None,
                 runner: Callable[..., commands.Outcome] = commands.run) -> None:
    """Narrows what `variables` say table_open_cache_instances takes to what a MariaDB server
    keeps at start: it lowers the number until the files they need fit its open-files limit, so
    a larger one would be written, and read back lower."""
    variable = variables.get("table_open_cache_instances")
    if server.family != "mariadb" or variable is None:
        return
    outcome = runner(START_QUERY, timeout)
    try:
        files, connections, tables = (int(field) for field in (outcome.out if outcome.ok else "").split())
    except ValueError:  # not three whole numbers: the server did not say
        return
    if tables <= 0:
        return
    most = max(1, (files - connections - OWN_FILES) // (2 * tables))
    low, high = variable.limits or (1, most)
    variables["table_open_cache_instances"] = replace(variable, limits=(low, min(high, most)))


def variable_name(get_command: str, set_command: str) -> str | None:
    """The server variable that an entry reads and sets, as far as its commands name it."""
    found = _SET_GLOBAL.search(set_command) or _SELECT_GLOBAL.search(get_command)
    return found.group(1).lower() if found else None


def unfit_set(set_command: str, needrestart: str, server: Server, variable: Variable | None) -> str | None:
    """Why `server` would refuse the set command, or None as far as can be told without running it."""
    if server.family == "mariadb" and _PERSIST.search(set_command):
        return f"{server} has no SET PERSIST: its set command would fail"
    found = _SET_GLOBAL.search(set_command)
    if needrestart != "true" and found and variable is not None and variable.read_only:
        return f"{server} has {found.group(1)} read-only: SET GLOBAL would fail"
    return None

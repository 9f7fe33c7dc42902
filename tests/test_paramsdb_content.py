"""The shipped parameter database: its server entries, limits and commands, and (where MariaDB is
installed) the MariaDB entries against a real server."""

import decimal
import functools
import os
import pathlib
import re
import shutil
import subprocess
import sys

import json5
import pytest

from common.config import Config
from knobsmith.recommending import servers

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:  # the shared helper sits beside this file
    sys.path.insert(0, HERE)
from mariadb_server import SBIN, private_server, require_mariadb  # noqa: E402

SHELL_RULE = re.compile(r"[;!`\n]|&&|\|\||\$\(|\$\{")
CONFDIR = "@MYSQL_CONFDIR@"
RELEASES = [("mariadb", (10, 11, 0)), ("mariadb", (10, 11, 19)), ("mysql", (8, 0, 0)), ("mysql", (8, 0, 30)),
            ("mysql", (8, 4, 0))]


@functools.cache
def database():
    with open(Config().get_inst_path() + "/knobsmith/paramsdb.json5.extu", encoding="utf-8") as stream:
        return json5.loads(stream.read())


def server_entries():
    return [(key, entry) for key, entry in database().items() if "M" in key and "server" in entry["adapt"]]


def release(text):
    return tuple(int(part) for part in text.split("."))


def clauses(version):
    """(family, lowest release, first release past) of each clause, as recommend reads them; None
    where a clause is malformed."""
    try:
        return servers.clauses(version)
    except ValueError:
        return None


def selects(entry, family, at):
    return servers.selects(entry["version"], servers.Server(family, at))


def families(entry):
    return {name for name, _, _ in clauses(entry["version"])}


def test_every_server_variable_is_tied_to_servers():
    for key, entry in database().items():
        if entry["get"].startswith("mysql "):
            assert "M" in key and "server" in entry["adapt"], key
            assert clauses(entry["version"]), (key, entry["version"])


@pytest.mark.parametrize(("family", "at"), RELEASES, ids=[f"{name}-{'.'.join(map(str, at))}" for name, at in RELEASES])
def test_each_server_release_has_enough_distinct_entries(family, at):
    names = [entry["name"] for _, entry in server_entries() if selects(entry, family, at)]
    assert len(names) >= 25, names
    assert len(names) == len(set(names)), sorted(name for name in names if names.count(name) > 1)


def test_scope_lies_within_limits():
    for key, entry in database().items():
        numeric = entry["dtype"] in ("int", "float")
        if "server" in entry["adapt"] and numeric:
            assert "limits" in entry, key
        if "limits" not in entry:
            continue
        low, high = entry["limits"]
        assert numeric and low < high, key
        assert low <= entry["scope"][0] < entry["scope"][1] <= high, key
        if entry["dtype"] == "int":
            assert isinstance(low, int) and isinstance(high, int), key


def test_memory_shares_are_sane():
    sized = {key: entry for key, entry in database().items() if "memory" in entry}
    assert {entry["name"] for entry in sized.values()} >= {"innodb_buffer_pool_size", "sort_buffer_size"}
    for key, entry in sized.items():
        low, high = entry["memory"]
        assert 0 < low < high <= 0.8 and entry["dtype"] == "int", key
        if entry["name"] != "innodb_buffer_pool_size":
            assert high <= 0.1, key  # nothing else may take the buffer pool's share


def test_every_command_obeys_the_shell_rule():
    for key, entry in database().items():
        assert not SHELL_RULE.search(entry["get"]), key
        assert "$value" in entry["set"] and not SHELL_RULE.search(entry["set"]), key


def test_server_commands_follow_each_servers_syntax():
    for key, entry in server_entries():
        name, live = entry["name"], entry["needrestart"] == "false"
        value = '"$value"' if entry["dtype"] == "string" else "$value"
        assert entry["needrestart"] in ("true", "false"), key
        assert entry["get"] == f"mysql -N -B -e 'SELECT @@GLOBAL.{name}'", key
        if families(entry) == {"mariadb"}:
            assert "PERSIST" not in entry["set"], key
            expected = (f"mysql -e 'SET GLOBAL {name} = {value}'" if live else
                        f"printf '[mysqld]\\n{name} = %s\\n' $value > {CONFDIR}/99-knobsmith-{name}.cnf")
        else:
            assert families(entry) == {"mysql"}, key  # every shared form would fail on one of the two
            expected = f"mysql -e 'SET {'PERSIST' if live else 'PERSIST_ONLY'} {name} = {value}'"
        assert entry["set"] == expected, key


def test_an_option_file_command_writes_a_file_the_server_reads(tmp_path):
    restart = [entry for _, entry in server_entries() if CONFDIR in entry["set"]]
    assert restart
    for entry in restart:
        sample = entry["options"][0] if entry["dtype"] == "string" else entry["scope"][1]
        command = entry["set"].replace(CONFDIR, str(tmp_path)).replace("$value", str(sample))
        subprocess.run(["/bin/sh", "-c", command], check=True, timeout=30)
        written = (tmp_path / f"99-knobsmith-{entry['name']}.cnf").read_text()
        assert written == f"[mysqld]\n{entry['name']} = {sample}\n"


# --- Against a real MariaDB ------------------------------------------------------------------------

def number(text):
    return decimal.Decimal(text)


def test_mariadb_entries_match_a_real_server(tmp_path):
    """One private server: each selected entry's variable exists, its restart flag and limits are the
    server's, its get command answers and a live entry's set command takes the current value back."""
    require_mariadb()
    with private_server(tmp_path / "db") as server:
        at = release(re.match(r"\d+\.\d+\.\d+", server.sql("SELECT VERSION()"))[0])
        entries = {entry["name"]: entry for _, entry in server_entries() if selects(entry, "mariadb", at)}
        assert len(entries) >= 25
        names = ", ".join(f"'{name.upper()}'" for name in entries)
        rows = server.sql("SELECT VARIABLE_NAME, VARIABLE_TYPE, NUMERIC_MIN_VALUE, NUMERIC_MAX_VALUE, READ_ONLY, "
                          "ENUM_VALUE_LIST FROM information_schema.SYSTEM_VARIABLES "
                          f"WHERE VARIABLE_NAME IN ({names})").splitlines()
        known = {row.split("\t")[0].lower(): row.split("\t")[1:] for row in rows}
        assert sorted(known) == sorted(entries)

        home = tmp_path / "home"
        home.mkdir()
        (home / ".my.cnf").write_text(f"[client]\nhost = 127.0.0.1\nport = {server.env['KNOBSMITH_MARIADB_PORT']}\n"
                                      "user = root\n")
        env = dict(server.env, HOME=str(home))
        confdir = tmp_path / "conf.d"
        confdir.mkdir()

        def shell(command):
            done = subprocess.run(["/bin/sh", "-c", command.replace(CONFDIR, str(confdir))], capture_output=True,
                                  text=True, env=env, timeout=120)
            assert done.returncode == 0 and done.stderr == "", (command, done.stderr)
            return done.stdout.rstrip("\n")

        written = {}
        for name, entry in entries.items():
            kind, low, high, read_only, enum = known[name]
            assert (read_only == "YES") == (entry["needrestart"] == "true"), name
            if kind == "BOOLEAN":
                assert entry["limits"] == [0, 1], name
            elif kind == "ENUM":
                assert set(entry["options"]) <= set(enum.split(",")), name
            else:
                assert [number(str(bound)) for bound in entry["limits"]] == [number(low), number(high)], name
            current = shell(entry["get"])
            if entry["dtype"] != "string":
                assert entry["limits"][0] <= number(current) <= entry["limits"][1], name
            shell(entry["set"].replace("$value", current))
            if entry["needrestart"] == "false":
                assert shell(entry["get"]) == current, name
            else:
                written[name] = current

        # The option files as the server reads them at its next start.
        (tmp_path / "options.cnf").write_text(f"[mysqld]\n!includedir {confdir}\n")
        root = ["--user=root"] if os.getuid() == 0 else []
        mariadbd = shutil.which("mariadbd", path=os.pathsep.join([os.environ.get("PATH", ""), *SBIN]))
        help_text = subprocess.run([mariadbd, f"--defaults-file={tmp_path / 'options.cnf'}", *root, "--verbose",
                                    "--help"], capture_output=True, text=True, env=env, timeout=120).stdout
        read = dict(re.findall(r"^(\S+) +(\S+)$", help_text, re.MULTILINE))
        assert written and {name: read[name.replace("_", "-")] for name in written} == written

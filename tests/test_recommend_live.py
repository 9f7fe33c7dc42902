"""knobsmith recommend as a user runs it, on whatever machine runs the tests and against a real
MariaDB server of the test's own: everything written reads, holds what is in effect, and (for
the server's live variables) takes its own value back."""

import os
import pathlib
import subprocess
import sys

import pytest
import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from mariadb_server import private_server  # noqa: E402

from knobsmith.recommending import probing  # noqa: E402

SCRIPT = pathlib.Path(sys.executable).parent / "knobsmith"


def knobsmith(*args, env=None):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "knobsmith"]
    result = subprocess.run([*command, *args], capture_output=True, text=True, env=env, timeout=900)
    assert "Traceback" not in result.stderr, result.stderr
    assert result.returncode == 0, result.stderr
    return result


def holds(info, text):
    """Why the written entry does not hold the value its get command printed, or None."""
    if info["dtype"] == "string":
        choices = probing.offered(text)
        if choices is not None and not set(info["options"]) <= set(choices[0]):
            return f"options {info['options']} beyond what the machine offers, {choices[0]}"
        return None
    value = probing.number(text, info["dtype"])
    if value is None:
        return f"{text!r} is not a number"
    low, high = info["scope"]
    if not low <= value <= high:
        return f"{value} outside {info['scope']}"
    step = info.get("step")
    if info["type"] == "discrete" and step and round((value - low) / step, 9) % 1:
        return f"{value} off the grid of {info['scope']} step {step}"
    return None


def check_written(path, env=None):
    """Reads every entry of the recommended file and returns (objects, faults)."""
    objects = yaml.safe_load(path.read_text(encoding="utf-8"))["object"] or []
    faults = []
    for obj in objects:
        outcome = subprocess.run(["/bin/sh", "-c", obj["info"]["get"]], capture_output=True, text=True, env=env,
                                 timeout=60, stdin=subprocess.DEVNULL)
        if outcome.returncode or outcome.stderr.strip():
            faults.append(f"{obj['name']}: get failed: {outcome.stderr.strip()}")
            continue
        fault = holds(obj["info"], outcome.stdout.strip())
        if fault:
            faults.append(f"{obj['name']}: {fault}")
    return objects, faults


def filled_in(path, into):
    """The recommended file with its header filled in, as a user would."""
    text = path.read_text(encoding="utf-8")
    for blank, value in (('benchmark: "" # fill in', 'benchmark: "sh bench.sh"'),
                         ('startworkload: "" # fill in', 'startworkload: "systemctl start app"'),
                         ('stopworkload: "" # fill in', 'stopworkload: "systemctl stop app"'),
                         ('  name: "" # fill in', '  name: "qps"'), ('    get: "" # fill in', '    get: "cat qps"'),
                         ('    type: "" # fill in', '    type: "positive"')):
        text = text.replace(blank, value, 1)
    into.write_text(text, encoding="utf-8")
    return str(into)


@pytest.mark.parametrize("scene", ["cpu", "io", "net"])
def test_what_is_written_for_this_machine_holds_today(tmp_path, scene):
    knobsmith("recommend", scene, "--output", str(tmp_path))
    objects, faults = check_written(tmp_path / "config.yaml")
    assert objects and faults == []
    knobsmith("check", filled_in(tmp_path / "config.yaml", tmp_path / "filled.yaml"))


def test_against_a_private_mariadb_server(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    with private_server(tmp_path / "db") as server:
        (home / ".my.cnf").write_text(f"[client]\nhost=127.0.0.1\nport={server.env['KNOBSMITH_MARIADB_PORT']}\n"
                                      "user=root\n")
        env = dict(server.env, HOME=str(home))
        # As the example's tune leaves it: its own file, read after knobsmith's, sets the variable.
        server.ctl("setopt", "innodb_flush_method", server.sql("SELECT @@GLOBAL.innodb_flush_method"))
        result = knobsmith("recommend", "mysql", "--output", str(tmp_path / "out"), env=env)
        assert "knobsmith: the database server is MariaDB 10.11." in result.stderr
        path = tmp_path / "out" / "config.yaml"
        assert path.read_text(encoding="utf-8").splitlines()[1].startswith("# Server: MariaDB 10.11.")
        objects, faults = check_written(path, env)
        assert objects and faults == []
        # Option files go to the folder this server reads, not a packaged server's; kernel
        # entries are left to --host.
        written = [obj for obj in objects if "99-knobsmith-" in obj["info"]["set"]]
        assert written and all(f"> {server.folder}/conf.d/99-knobsmith-" in obj["info"]["set"] for obj in written)
        assert "innodb_flush_method" not in [obj["name"] for obj in objects]
        assert (f"#   innodb_flush_method: set again in {server.folder}/conf.d/innodb_flush_method.cnf (line 2), "
                "read after knobsmith's file: remove it there to tune it") in path.read_text(encoding="utf-8")
        assert not any(obj["info"]["get"].startswith("sysctl") for obj in objects)
        assert "host-wide (kernel) entries not written: --host writes them too" in result.stderr
        # The server keeps the buffer pool in whole MiB: every value of the range is one.
        pool = next(obj["info"] for obj in objects if obj["name"] == "innodb_buffer_pool_size")
        assert pool["step"] == 1048576 and all(bound % 1048576 == 0 for bound in pool["scope"])
        knobsmith("check", filled_in(path, tmp_path / "filled.yaml"))
        # Each live server variable takes its own value back; kernel entries are not touched here.
        for obj in objects:
            info = obj["info"]
            if info["needrestart"] != "false" or not info["get"].startswith("mysql "):
                continue
            value = subprocess.run(["/bin/sh", "-c", info["get"]], capture_output=True, text=True, env=env,
                                   timeout=60).stdout.strip()
            outcome = subprocess.run(["/bin/sh", "-c", info["set"].replace("$value", value)], capture_output=True,
                                     text=True, env=env, timeout=60)
            assert outcome.returncode == 0 and not outcome.stderr.strip(), (obj["name"], outcome.stderr)
        # What the option files that are written say is in effect after a restart.
        wanted = {}
        for obj in written:
            info, current = obj["info"], server.sql(f"SELECT @@GLOBAL.{obj['name']}")
            wanted[obj["name"]] = next(str(value) for value in info.get("options") or info["scope"]
                                       if str(value) != current)
            subprocess.run(["/bin/sh", "-c", info["set"].replace("$value", wanted[obj["name"]])], check=True, env=env)
        server.restart()
        assert {name: server.sql(f"SELECT @@GLOBAL.{name}") for name in wanted} == wanted

"""The MariaDB example (examples/mariadb.yaml and its ctl.sh) against a real private server."""

import os
import pathlib
import subprocess
import sys

import pytest
import yaml

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:  # the shared helper sits beside this file
    sys.path.insert(0, HERE)
from mariadb_server import CTL, REPO, private_server, require_mariadb, server_pids  # noqa: E402

CONFIG = yaml.safe_load((REPO / "examples" / "mariadb.yaml").read_text())
LIVE = [knob for knob in CONFIG["object"] if knob["info"]["needrestart"] == "false"]
RESTART = [knob for knob in CONFIG["object"] if knob["info"]["needrestart"] == "true"]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    require_mariadb()
    # Deeper than a unix socket path may be: the socket has to go elsewhere, and every command agree.
    folder = tmp_path_factory.mktemp("mariadb") / ("state-" + "x" * 90)
    with private_server(folder) as running:
        yield running


def shell(command, server):
    """A configuration's command, run the way knobsmith runs it."""
    return subprocess.run(["/bin/sh", "-c", command], capture_output=True, text=True, cwd=REPO, env=server.env,
                          timeout=120)


def grid_ends(knob):
    info = knob["info"]
    if info["dtype"] == "string":
        return info["options"]
    low, high, step = info["scope"][0], info["scope"][1], info["step"]
    return [low, low + (high - low) // step * step]


@pytest.mark.parametrize(("knob", "value"), [(knob, value) for knob in LIVE for value in grid_ends(knob)],
                         ids=lambda item: item["name"] if isinstance(item, dict) else str(item))
def test_a_live_value_reads_back_as_set(server, knob, value):
    applied = shell(knob["info"]["set"].replace("$value", str(value)), server)
    assert applied.returncode == 0, applied.stderr
    assert applied.stderr == ""  # no warning: the server took the value unchanged
    assert shell(knob["info"]["get"], server).stdout == f"{value}\n"


@pytest.mark.parametrize(("name", "value", "status", "said", "after"), [
    ("innodb_adaptive_hash_index", "BOGUS", 1, "can't be set to the value of 'BOGUS'", None),
    ("innodb_flush_method", "fsync", 1, "is a read only variable", None),
    ("no_such_variable", "1", 1, "Unknown system variable 'no_such_variable'", None),
    ("sort_buffer_size", "1' OR '1", 1, "may not hold a quote", None),
    ("table_open_cache", "5", 0, "Truncated incorrect table_open_cache value: '5'", "10"),
])
def test_set_passes_on_what_the_server_says(server, name, value, status, said, after):
    before = server.ctl("get", name, check=False).stdout
    result = server.ctl("set", name, value, check=False)
    assert (result.returncode != 0) == bool(status)
    assert said in result.stderr
    assert server.ctl("get", name, check=False).stdout == (before if after is None else f"{after}\n")


def test_restart_values_take_effect_after_a_restart_and_bench_measures(server):
    wanted = {knob["name"]: str(grid_ends(knob)[0]) for knob in RESTART}
    for knob in RESTART:
        assert shell(knob["info"]["set"].replace("$value", wanted[knob["name"]]), server).returncode == 0
    assert shell(RESTART[0]["info"]["get"], server).stdout != f"{wanted[RESTART[0]['name']]}\n"
    server.ctl("stop")
    assert server_pids(server.folder) == []  # stop returns once the server is gone, as a restart needs
    server.restart()
    assert {knob["name"]: shell(knob["info"]["get"], server).stdout.strip() for knob in RESTART} == wanted

    assert shell(CONFIG["benchmark"], server).returncode == 0
    assert float(shell(CONFIG["evaluations"][0]["info"]["get"], server).stdout) > 0


@pytest.mark.parametrize(("command", "status", "said"), [
    (["stop"], 0, ""),
    (["ping"], 1, ""),
    (["start"], 1, "init' first"),
    (["bench"], 1, "init' first"),
    (["tps"], 1, "no benchmark result"),
    (["get", "x;y"], 1, "not a variable name"),
], ids=lambda item: " ".join(item) if isinstance(item, list) else None)
def test_commands_without_a_server(tmp_path, command, status, said):
    require_mariadb()
    env = dict(os.environ, KNOBSMITH_MARIADB_DIR=str(tmp_path / "none"))
    result = subprocess.run(["sh", str(CTL), *command], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == status
    assert said in result.stderr

"""knobsmith tune, apply and restore against a real MariaDB server of the test's own.

The server runs as an ordinary process in a temporary folder, on a private socket and port,
through the shipped example's examples/mariadb/ctl.sh; the tuning configuration is the shipped
examples/mariadb.yaml, cut down to a few short trials.
"""

import csv
import os
import pathlib
import subprocess
import sys

import pytest
import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from mariadb_server import CTL, REPO, private_server, require_mariadb  # noqa: E402

SCRIPT = pathlib.Path(sys.executable).parent / "knobsmith"
LIVE = ["innodb_flush_log_at_trx_commit", "innodb_io_capacity", "table_open_cache", "sort_buffer_size"]
RESTART = "innodb_log_buffer_size"


def knobsmith(server, folder, *args):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "knobsmith"]
    # The server outlives a test; the state folder of kept originals is the test's own.
    env = dict(server.env, XDG_STATE_HOME=os.environ["XDG_STATE_HOME"])
    result = subprocess.run([*command, *args], capture_output=True, text=True, cwd=folder, env=env, timeout=900)
    assert "Traceback" not in result.stderr, result.stderr
    return result


def configuration(folder, *, iterations=3, names=(*LIVE, RESTART), benchmark=None, extra=()):
    """examples/mariadb.yaml with absolute paths, the parameters `names` (plus `extra` objects)."""
    text = (REPO / "examples" / "mariadb.yaml").read_text().replace("examples/mariadb/ctl.sh", str(CTL))
    config = yaml.safe_load(text)
    config["iterations"] = iterations
    # A baseline taken on a busy machine can be beaten by the example's stretch target at once.
    config["evaluations"][0]["info"]["target"] = "100000%"
    config["object"] = [obj for obj in config["object"] if obj["name"] in names] + list(extra)
    if benchmark is not None:
        config["benchmark"] = benchmark
    (folder / "mariadb.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    return config


def selected(server, names):
    return server.sql("SELECT " + ", ".join(f"@@GLOBAL.{name}" for name in names)).split("\t")


def trials(folder):
    with open(folder / "report" / "trials.csv", newline="") as stream:
        return list(csv.DictReader(stream))


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    require_mariadb()
    with private_server(tmp_path_factory.mktemp("mariadb"), bench_seconds=2) as running:
        yield running


def test_each_trial_runs_with_its_values_in_effect_and_restore_brings_back_the_originals(server, tmp_path):
    names = [*LIVE, RESTART]
    originals = selected(server, names)
    configuration(tmp_path, benchmark=f"sh {tmp_path / 'bench.sh'}")
    # The benchmark first notes what the server has in effect, then runs the example's benchmark.
    query = "SELECT " + ", ".join(f"@@GLOBAL.{name}" for name in names)
    (tmp_path / "bench.sh").write_text(f'sh {CTL} sql "{query}" >> {tmp_path / "seen.tsv"}\nexec sh {CTL} bench\n')

    result = knobsmith(server, tmp_path, "tune", "mariadb.yaml", "--report", "report", "--restore", "--confirm", "0")
    assert result.returncode == 0, result.stdout + result.stderr
    rows = trials(tmp_path)
    assert [row["state"] for row in rows] == ["COMPLETE"] * 3, rows
    seen = [line.split("\t") for line in (tmp_path / "seen.tsv").read_text().splitlines()]
    assert seen[0] == originals  # the baseline
    for row, values in zip(rows, seen[1:], strict=True):
        assert values == [row[name] for name in names]
    assert "left applied: the backed-up values" in result.stdout
    assert selected(server, names) == originals
    # What the closing note of a run reports: the baseline's and the best trial's throughput.
    summary = yaml.safe_load((tmp_path / "report" / "best.yaml").read_text())
    print(f"\nbaseline {summary['baseline']:.1f} TPS, best {summary['best']:.1f} TPS")


def test_a_refused_and_a_clamped_value_are_reported_not_claimed(server, tmp_path):
    extra = [
        {"name": "innodb_change_buffering", "info": {
            "desc": "", "get": f"sh {CTL} get innodb_change_buffering",
            "set": f"sh {CTL} set innodb_change_buffering $value", "needrestart": "false",
            "type": "discrete", "dtype": "string", "options": ["all", "none", "bogus"]}},
        {"name": "innodb_read_ahead_threshold", "info": {
            "desc": "", "get": f"sh {CTL} get innodb_read_ahead_threshold",
            "set": f"sh {CTL} set innodb_read_ahead_threshold $value", "needrestart": "false",
            "type": "discrete", "dtype": "int", "scope": [0, 100], "step": 1, "items": []}},
    ]
    configuration(tmp_path, names=(), extra=extra)
    before = selected(server, ["innodb_change_buffering", "innodb_read_ahead_threshold"])
    assert knobsmith(server, tmp_path, "backup", "mariadb.yaml").returncode == 0

    refused = knobsmith(server, tmp_path, "apply", "mariadb.yaml", "innodb_change_buffering=bogus")
    assert refused.returncode == 1
    assert "knobsmith: innodb_change_buffering: the set command failed (exit status 1): ERROR 1231" in refused.stderr
    assert "Variable 'innodb_change_buffering' can't be set to the value of 'bogus'" in refused.stderr

    clamped = knobsmith(server, tmp_path, "apply", "mariadb.yaml", "innodb_read_ahead_threshold=70")
    assert clamped.returncode == 1
    assert "knobsmith: innodb_read_ahead_threshold: requested 70, in effect 64" in clamped.stderr
    assert selected(server, ["innodb_change_buffering"]) == before[:1]

    assert knobsmith(server, tmp_path, "restore", "mariadb.yaml").returncode == 0
    assert selected(server, ["innodb_change_buffering", "innodb_read_ahead_threshold"]) == before


def test_a_server_killed_during_a_trial_fails_the_run_and_is_not_called_restored(server, tmp_path):
    # The first trial's benchmark kills the server; the run must not claim anything it cannot check.
    kill = f'kill -KILL "$(cat {server.folder}/mariadbd.pid)"'
    (tmp_path / "bench.sh").write_text(
        f"if [ -f {tmp_path / 'baseline-done'} ]; then {kill}\nexit 1\nfi\n"
        f"touch {tmp_path / 'baseline-done'}\nexec sh {CTL} bench\n")
    configuration(tmp_path, names=LIVE[:3], benchmark=f"sh {tmp_path / 'bench.sh'}")
    try:
        result = knobsmith(server, tmp_path, "tune", "mariadb.yaml", "--report", "report")
        assert result.returncode == 1
        rows = trials(tmp_path)
        assert [row["state"] for row in rows] == ["FAIL"]
        assert rows[0]["note"].startswith("the benchmark ended with exit status 1")
        assert "left applied: NOT the backed-up values" in result.stdout
        # Putting the backed-up values back fails too: the server, not the trial's values, is at fault.
        assert ("knobsmith: the run failed: the system, not the configuration, is broken: after trial 0 failed, "
                "the backed-up values failed too (innodb_flush_log_at_trx_commit: the set command failed") in result.stderr
    finally:
        server.restart()

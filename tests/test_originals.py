"""The original values of a project are kept once, survive every later run, and come back."""

import os
import stat

import pytest
import yaml

from knobsmith import cli
from knobsmith.tuner import state

# score = 100 - (x - 7)^2: every run leaves x near 7 applied.
BENCH = "echo $(( 100 - ($(cat x) - 7) * ($(cat x) - 7) )) > score\n"


def setup(folder):
    (folder / "x").write_text("0\n")
    (folder / "bench.sh").write_text(BENCH)
    config = {
        "iterations": 6, "timeout": 0, "benchmark": "sh bench.sh", "startworkload": "", "stopworkload": "",
        "evaluations": [{"name": "score", "info": {"get": "cat score", "type": "positive", "target": None}}],
        "object": [{"name": "x", "info": {"desc": "", "get": "cat x", "set": "echo $value > x", "needrestart": "false",
                                          "type": "discrete", "dtype": "int", "scope": [0, 10], "step": 1,
                                          "items": []}}],
    }
    (folder / "demo.yaml").write_text(yaml.safe_dump(config, sort_keys=False))


def run(folder, monkeypatch, *args):
    monkeypatch.chdir(folder)
    return cli.main(list(args))


def test_originals_survive_two_runs_and_a_backup_and_come_back(tmp_path, monkeypatch, capsys, private_state):
    setup(tmp_path)
    assert run(tmp_path, monkeypatch, "tune", "demo.yaml", "--report", "r1") == 0
    assert "the original values are kept in" in capsys.readouterr().err
    assert (tmp_path / "x").read_text() != "0\n"  # the best values are left applied

    assert run(tmp_path, monkeypatch, "tune", "demo.yaml", "--report", "r2", "--seed", "2") == 0
    err = capsys.readouterr().err
    assert "the current values differ from the originals (a previous run left values applied): x=" in err
    assert "(originally 0)" in err
    assert run(tmp_path, monkeypatch, "backup", "demo.yaml") == 0
    assert (tmp_path / "bak_demo.ini").read_text().startswith("[params]\nx = ")  # the library's backup moved on
    assert state.originals("demo") == {"x": "0"}
    path = private_state / "knobsmith" / "demo" / "originals.json"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert sorted(os.listdir(path.parent)) == ["applied.json", "originals.json"]  # no temporary file left

    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "diff", "demo.yaml") == 0
    current = (tmp_path / "x").read_text().strip()
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == ["parameter", "current", "original", "last", "applied"]
    assert lines[1].split() == ["x", current, "0", state.last_applied("demo")["x"]]

    assert run(tmp_path, monkeypatch, "restore", "demo.yaml") == 0
    assert (tmp_path / "x").read_text() == "0\n"
    assert "restored the 1 original value of demo (read back)" in capsys.readouterr().out


def test_originals_are_never_overwritten(private_state):
    assert state.keep_originals("p", {"a": 1, "b": "x y"}, "p.yaml") is True
    assert state.keep_originals("p", {"a": 2}, "p.yaml") is False
    assert state.originals("p") == {"a": "1", "b": "x y"}
    assert state.originals("other") is None


def test_restore_without_originals_says_so(tmp_path, monkeypatch, capsys):
    setup(tmp_path)
    assert run(tmp_path, monkeypatch, "restore", "demo.yaml") == 1
    assert "knobsmith: no original values are kept for demo" in capsys.readouterr().err
    assert (tmp_path / "x").read_text() == "0\n"


def test_the_best_values_of_a_run_can_be_applied_again(tmp_path, monkeypatch, capsys):
    setup(tmp_path)
    assert run(tmp_path, monkeypatch, "tune", "demo.yaml", "--report", "r1", "--restore") == 0
    best = yaml.safe_load((tmp_path / "r1" / "best.yaml").read_text())["values"]
    assert (tmp_path / "x").read_text() == "0\n"
    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "apply", "demo.yaml", "--from", "r1/best.yaml") == 0
    assert (tmp_path / "x").read_text() == f"{best['x']}\n"
    assert capsys.readouterr().out.strip() == "applied 1 parameter (read back)"
    assert run(tmp_path, monkeypatch, "apply", "demo.yaml", "x=2", "--from", "r1/best.yaml") == 0
    assert (tmp_path / "x").read_text() == "2\n"


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "empty.yaml cannot be read: [Errno 2] No such file or directory: 'empty.yaml'"),
        ("values: {}\n", "empty.yaml holds no values"),
        ("values: {x: 11}\n", "x: 11 is outside [0, 10]"),
        ("values: {y: 1}\n", "y is not a parameter of demo.yaml"),
    ],
)
def test_a_best_yaml_that_cannot_be_applied(tmp_path, monkeypatch, capsys, content, message):
    setup(tmp_path)
    if content is not None:
        (tmp_path / "empty.yaml").write_text(content)
    assert run(tmp_path, monkeypatch, "apply", "demo.yaml", "--from", "empty.yaml") == 1
    assert capsys.readouterr().err.splitlines()[-1].startswith(f"knobsmith: {message}")
    assert (tmp_path / "x").read_text() == "0\n"

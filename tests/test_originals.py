"""The original values of a project are kept once, survive every later run, and come back."""

import os
import stat

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

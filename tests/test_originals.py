"""The original values of a project are kept once, survive every later run, and come back."""

import os
import stat

import pytest
import yaml

from knobsmith import cli
from knobsmith.params import state

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


def kept(folder, project="demo", config="demo.yaml"):
    """The originals kept for the configuration file `config` of `folder`."""
    return state.originals(state.key(project, str(folder / config)))


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
    assert kept(tmp_path) == {"x": "0"}
    path = private_state / "knobsmith" / state.key("demo", str(tmp_path / "demo.yaml")) / "originals.json"
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert sorted(os.listdir(path.parent)) == ["applied.json", "originals.json"]  # no temporary file left

    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "diff", "demo.yaml") == 1  # the best values differ from the originals
    current = (tmp_path / "x").read_text().strip()
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == ["parameter", "current", "original", "last", "applied"]
    assert lines[1].split() == ["x", current, "0", state.last_applied(state.key("demo", str(tmp_path / "demo.yaml")))["x"]]

    assert run(tmp_path, monkeypatch, "restore", "demo.yaml") == 0
    assert (tmp_path / "x").read_text() == "0\n"
    assert "restored the 1 original value of demo (read back)" in capsys.readouterr().out
    assert run(tmp_path, monkeypatch, "diff", "demo.yaml") == 0
    (tmp_path / "x").unlink()
    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "diff", "demo.yaml") == 2
    assert "(unreadable: exit status 1: cat: x: No such file or directory)" in capsys.readouterr().out


def test_originals_are_never_overwritten_nor_taken_from_what_knobsmith_applied(private_state):
    folder = private_state / "knobsmith" / "p"
    assert state.keep_originals("p", {"a": 1}, "p.yaml", {}) == [f"the original values are kept in {folder}"]
    state.record_applied("p", {"c": 4}, "apply")
    assert state.keep_originals("p", {"a": 2, "b": "x y", "c": 4}, "p.yaml", {}) == [
        f"the original value of b is kept in {folder}",
        "warning: c gets no original value: knobsmith applied a value to it before it was first read"]
    assert state.originals("p") == {"a": "1", "b": "x y"}
    assert state.originals("other") is None


def without_mode(folder):
    config = yaml.safe_load((folder / "tune.yaml").read_text())
    config["object"] = [obj for obj in config["object"] if obj["name"] != "mode"]
    (folder / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))


@pytest.mark.parametrize(
    "first, status, said",
    [
        # Added to the configuration after the originals were kept.
        (without_mode, 0, "knobsmith: the original values are kept in"),
        (b"a (current)\n", 0, "so it is not kept as the original value (the next safe reading will be)"),
        (b"a" * 5000 + b"\n", 1, "mode could not be read: the get command printed more than 4096 bytes (4 KiB)"),
        (b"\xff\xfe\n", 1, "mode could not be read: the value is not UTF-8"),
    ],
)
def test_a_parameter_without_an_original_gets_one_at_its_first_good_reading(
        knob_workload, monkeypatch, capsys, first, status, said):
    folder = knob_workload()
    whole = (folder / "tune.yaml").read_text()
    if callable(first):
        first(folder)
    else:
        (folder / "mode").write_bytes(first)
    assert run(folder, monkeypatch, "backup", "tune.yaml") == status
    out, err = capsys.readouterr()
    assert said in err and len(out + err) < 2000  # a long value is never shown whole
    assert kept(folder, "tune", "tune.yaml") == {"x": "0"}  # the others are kept all the same
    assert len((folder / "bak_tune.ini").read_text()) < 200
    (folder / "tune.yaml").write_text(whole)
    (folder / "x").write_text("3\n")
    assert run(folder, monkeypatch, "restore", "tune.yaml") == 1
    out, err = capsys.readouterr()
    assert "knobsmith: mode was not restored: no original value of it is kept" in err
    assert (folder / "x").read_text() == "0\n"

    knob_workload(values={"x": "0", "mode": "b"})
    assert run(folder, monkeypatch, "backup", "tune.yaml") == 0
    assert "knobsmith: the original value of mode is kept in" in capsys.readouterr().err
    (folder / "mode").write_text("c\n")
    assert run(folder, monkeypatch, "restore", "tune.yaml") == 0
    assert (folder / "mode").read_text() == "b\n" and kept(folder, "tune", "tune.yaml") == {"x": "0", "mode": "b"}


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

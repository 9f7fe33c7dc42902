"""Distinct configuration files keep distinct files, and what earlier versions kept stays reachable."""

import json
import shutil

import pytest
import yaml

from knobsmith import cli
from knobsmith.tuner import state

ALTERED = "a b;c.yaml"  # its plain name a_b_c is also the name of a_b_c.yaml


def write_config(folder, name, variable):
    (folder / variable).write_text("0\n")
    (folder / "bench.sh").write_text("echo 1 > score\n")
    config = {
        "iterations": 3, "timeout": 0, "benchmark": "sh bench.sh", "startworkload": "", "stopworkload": "",
        "evaluations": [{"name": "score", "info": {"get": "cat score", "type": "positive", "target": None}}],
        "object": [{"name": variable, "info": {"desc": "", "get": f"cat {variable}", "set": f"echo $value > {variable}",
                                               "needrestart": "false", "type": "discrete", "dtype": "int",
                                               "scope": [0, 10], "step": 1, "items": []}}],
    }
    (folder / name).write_text(yaml.safe_dump(config, sort_keys=False))


def run(folder, monkeypatch, *args):
    monkeypatch.chdir(folder)
    return cli.main(list(args))


def test_two_files_with_the_same_plain_name_keep_separate_backups_and_originals(tmp_path, monkeypatch, private_state):
    write_config(tmp_path, ALTERED, "x")
    write_config(tmp_path, "a_b_c.yaml", "y")
    assert run(tmp_path, monkeypatch, "backup", ALTERED) == 0
    assert run(tmp_path, monkeypatch, "backup", "a_b_c.yaml") == 0
    assert (tmp_path / "bak_a_b_c-ddb90c96.ini").read_text().startswith("[params]\nx = 0\n")
    assert (tmp_path / "bak_a_b_c.ini").read_text().startswith("[params]\ny = 0\n")
    assert state.originals("a_b_c-ddb90c96") == {"x": "0"} and state.originals("a_b_c") == {"y": "0"}


def keep_as_an_earlier_version_did(private_state, folder, config, values):
    kept = private_state / "knobsmith" / "a_b_c"
    kept.mkdir(parents=True)
    (kept / "originals.json").write_text(json.dumps({"values": values, "config": str(folder / config)}))
    return kept


def test_originals_kept_under_the_plain_name_move_to_the_new_one(tmp_path, monkeypatch, capsys, private_state):
    write_config(tmp_path, ALTERED, "x")
    (tmp_path / "x").write_text("8\n")  # changed since the originals were kept
    kept = keep_as_an_earlier_version_did(private_state, tmp_path, ALTERED, {"x": "3"})
    assert run(tmp_path, monkeypatch, "restore", ALTERED) == 0
    assert (tmp_path / "x").read_text() == "3\n"
    assert f"moved from {kept} to {kept}-ddb90c96" in capsys.readouterr().err
    assert not kept.exists() and state.originals("a_b_c-ddb90c96") == {"x": "3"}


def test_originals_of_the_file_with_the_plain_name_stay_its_own(tmp_path, monkeypatch, private_state):
    write_config(tmp_path, ALTERED, "x")
    kept = keep_as_an_earlier_version_did(private_state, tmp_path, "a_b_c.yaml", {"y": "3"})
    assert run(tmp_path, monkeypatch, "backup", ALTERED) == 0
    assert state.originals("a_b_c") == {"y": "3"} and kept.exists()
    assert state.originals("a_b_c-ddb90c96") == {"x": "0"}  # read now: the system was not changed by knobsmith


def test_tune_goes_on_with_a_study_kept_under_the_plain_name_and_refuses_another(tmp_path, monkeypatch, capsys,
                                                                               private_state):
    # An earlier version ran this file under the plain name: its study and folder are named so.
    write_config(tmp_path, "a_b_c.yaml", "x")
    assert run(tmp_path, monkeypatch, "tune", "a_b_c.yaml") == 0
    shutil.move(tmp_path / "a_b_c.yaml", tmp_path / ALTERED)
    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "tune", ALTERED, "--dry-run") == 0
    assert ("an earlier run of a b;c.yaml may be kept in knobsmith-report-a_b_c: "
            "--report knobsmith-report-a_b_c --resume goes on with it") in capsys.readouterr().err
    assert run(tmp_path, monkeypatch, "tune", ALTERED, "--report", "knobsmith-report-a_b_c", "--resume") == 0
    assert "resuming 3 earlier trials" in capsys.readouterr().err

    write_config(tmp_path, "other.yaml", "x")
    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "tune", "other.yaml", "--report", "knobsmith-report-a_b_c") == 1
    assert ("holds the study of another configuration (knobsmith-a_b_c): --report DIR runs this one elsewhere"
            in capsys.readouterr().err)

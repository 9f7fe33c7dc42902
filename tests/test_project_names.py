"""Distinct configuration files keep distinct files, and what earlier versions kept stays reachable."""

import json
import shutil

import pytest
import yaml

from knobsmith import cli
from knobsmith.params import state
from knobsmith.tuner.proposing import optuna_module
from knobsmith.tuner.study import journal

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


def kept(config, project="a_b_c-ddb90c96"):
    """The originals kept for the configuration file `config`."""
    return state.originals(state.key(project, str(config)))


def test_two_files_with_the_same_plain_name_keep_separate_backups_and_originals(tmp_path, monkeypatch, private_state):
    write_config(tmp_path, ALTERED, "x")
    write_config(tmp_path, "a_b_c.yaml", "y")
    assert run(tmp_path, monkeypatch, "backup", ALTERED) == 0
    assert run(tmp_path, monkeypatch, "backup", "a_b_c.yaml") == 0
    assert (tmp_path / "bak_a_b_c-ddb90c96.ini").read_text().startswith("[params]\nx = 0\n")
    assert (tmp_path / "bak_a_b_c.ini").read_text().startswith("[params]\ny = 0\n")
    assert kept(tmp_path / ALTERED) == {"x": "0"} and kept(tmp_path / "a_b_c.yaml", "a_b_c") == {"y": "0"}


def keep_as_an_earlier_version_did(private_state, name, config, values):
    folder = private_state / "knobsmith" / name
    folder.mkdir(parents=True)
    (folder / "originals.json").write_text(json.dumps({"values": values, "config": str(config)}))
    return folder


# Earlier versions kept a file's originals under its project's name, before altered names carried
# a hash (a_b_c) and since (a_b_c-ddb90c96, c).
@pytest.mark.parametrize("config, earlier", [(ALTERED, "a_b_c"), (ALTERED, "a_b_c-ddb90c96"), ("c.yaml", "c")])
def test_originals_kept_for_the_file_under_an_earlier_name_move_to_its_own_folder(
        tmp_path, monkeypatch, capsys, private_state, config, earlier):
    write_config(tmp_path, config, "x")
    (tmp_path / "x").write_text("8\n")  # changed since the originals were kept
    folder = keep_as_an_earlier_version_did(private_state, earlier, tmp_path / config, {"x": "3"})
    assert run(tmp_path, monkeypatch, "restore", config) == 0
    assert (tmp_path / "x").read_text() == "3\n"
    project = "c" if config == "c.yaml" else "a_b_c-ddb90c96"
    own = state.folder(state.key(project, str(tmp_path / config)))
    assert f"moved from {folder} to {own}" in capsys.readouterr().err
    assert not folder.exists() and kept(tmp_path / config, project) == {"x": "3"}


@pytest.mark.parametrize("config, earlier, owner", [(ALTERED, "a_b_c", "a_b_c.yaml"), ("c.yaml", "c", "web/c.yaml")])
def test_originals_of_another_file_of_the_same_name_stay_its_own(tmp_path, monkeypatch, private_state, config,
                                                                 earlier, owner):
    write_config(tmp_path, config, "x")
    folder = keep_as_an_earlier_version_did(private_state, earlier, tmp_path / owner, {"y": "3"})
    assert run(tmp_path, monkeypatch, "backup", config) == 0
    assert state.originals(earlier) == {"y": "3"} and folder.exists()
    project = "c" if config == "c.yaml" else "a_b_c-ddb90c96"
    assert kept(tmp_path / config, project) == {"x": "0"}  # read now: the system was not changed by knobsmith


def test_two_files_of_the_same_name_in_two_folders_keep_their_own_originals_and_studies(
        tmp_path, monkeypatch, capsys, knob_workload):
    for folder in ("shop", "web"):
        (tmp_path / folder).mkdir()
        knob_workload(name=f"{folder}/c.yaml", iterations=3)
    assert run(tmp_path, monkeypatch, "backup", "shop/c.yaml") == 0
    (tmp_path / "x").write_text("5\n")
    assert run(tmp_path, monkeypatch, "tune", "web/c.yaml", "--restore", "--confirm", "0") == 0
    assert "differ from the originals" not in capsys.readouterr().err
    (tmp_path / "x").write_text("2\n")
    assert run(tmp_path, monkeypatch, "restore", "web/c.yaml") == 0
    assert (tmp_path / "x").read_text() == "5\n"  # web's original, not shop's 0

    history = (tmp_path / "history").read_text()
    assert run(tmp_path, monkeypatch, "tune", "shop/c.yaml", "--resume", "--restore") == 1
    assert (f"the study knobsmith-c in {tmp_path / 'knobsmith-report-c'} is that of {tmp_path / 'web' / 'c.yaml'}, "
            f"not of {tmp_path / 'shop' / 'c.yaml'}: --report DIR (or another --storage) runs this one elsewhere; "
            "nothing was changed") in capsys.readouterr().err
    assert (tmp_path / "history").read_text() == history and (tmp_path / "x").read_text() == "5\n"


def test_tune_goes_on_with_a_study_kept_under_the_plain_name_and_refuses_another(tmp_path, monkeypatch, capsys,
                                                                               private_state):
    # An earlier version ran this file under the plain name: its study and folder are named so.
    write_config(tmp_path, "a_b_c.yaml", "x")
    assert run(tmp_path, monkeypatch, "tune", "a_b_c.yaml") == 0
    optuna = optuna_module()
    storage = journal(str(tmp_path / "knobsmith-report-a_b_c"))
    optuna.load_study(study_name="knobsmith-a_b_c", storage=storage).set_user_attr("config", None)  # none kept then
    shutil.move(tmp_path / "a_b_c.yaml", tmp_path / ALTERED)
    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "tune", ALTERED, "--dry-run") == 0
    assert ("an earlier run of a b;c.yaml may be kept in knobsmith-report-a_b_c: "
            "--report knobsmith-report-a_b_c --resume goes on with it") in capsys.readouterr().err
    # Its run had ended: --reconfirm runs its end again rather than only saying so.
    assert run(tmp_path, monkeypatch, "tune", ALTERED, "--report", "knobsmith-report-a_b_c", "--resume",
               "--reconfirm") == 0
    assert "resuming 3 earlier trials" in capsys.readouterr().err

    write_config(tmp_path, "other.yaml", "x")
    capsys.readouterr()
    assert run(tmp_path, monkeypatch, "tune", "other.yaml", "--report", "knobsmith-report-a_b_c") == 1
    assert ("holds the study of another configuration (knobsmith-a_b_c): --report DIR runs this one elsewhere"
            in capsys.readouterr().err)

"""Values read from the system reach a set command only when the shell cannot read them as syntax."""

import pytest
import yaml

from knobsmith import cli
from knobsmith.params import state
from knobsmith.params.shellsafe import unsafe_reason


@pytest.mark.parametrize("char", list("|&;<>()$`'\"\\*?[]#~{}"))
def test_every_syntax_character_is_refused_where_ever_it_stands(char):
    for value in (f"7{char}", f"{char}7", f"a {char} b"):
        assert unsafe_reason(value) == f"holds shell syntax ({char})"
        assert unsafe_reason(value, ["other"], numeric=True) == f"holds shell syntax ({char})"


@pytest.mark.parametrize(
    "value, options, numeric, reason",
    [
        ("7\ntouch x", None, False, "holds a line break"),
        ("7\r", None, True, "holds a line break"),
        ("a\x1bb", None, False, "holds a control character (\\x1b)"),
        ("7 | touch x; rm y", None, False, "holds shell syntax (| ;)"),
        ("-rf", None, False, "starts with '-' (a command could take it for an option)"),
        ("-5", None, False, "starts with '-' (a command could take it for an option)"),  # not declared a number
        ("-5", ["5"], False, "starts with '-' (a command could take it for an option)"),
        ("--5", None, True, "starts with '-' (a command could take it for an option)"),
        ("-5 -rf", None, True, "starts with '-' (a command could take it for an option)"),
        ("-x", None, True, "starts with '-' (a command could take it for an option)"),
        ("-5;x", None, True, "holds shell syntax (;)"),
        # A number of a numeric parameter, sign included, is what its set command takes.
        ("-5", None, True, None),
        ("-0.5", None, True, None),
        ("-.5", None, True, None),
        ("-1e-3", None, True, None),
        ("7", None, False, None),
        ("x y\tz", None, False, None),
        ("/var/lib/db,a=b:c@d+e%", None, False, None),
        ("", None, False, None),
        # A declared option is the configuration's own word, whatever it holds.
        ("a|b", ["fast", "a|b"], False, None),
        ("-fast", ["-fast"], False, None),
        ("5", [5], False, None),
        ("a|b", ["fast"], False, "holds shell syntax (|)"),
    ],
)
def test_unsafe_reason(value, options, numeric, reason):
    assert unsafe_reason(value, options, numeric=numeric) == reason


PWNED = "7 | touch {marker}"


def setup(folder, value="7", *, scope=(1, 100)):
    """Two parameters read from files; p1's file holds `value` as a get command prints it."""
    (folder / "p0.val").write_text("3\n")
    (folder / "p1.val").write_text(f"{value}\n")
    (folder / "bench.sh").write_text("echo run >> runs\n")
    knob = {"desc": "", "needrestart": "false", "type": "discrete", "dtype": "int", "scope": list(scope), "step": 1,
            "items": []}
    config = {
        "iterations": 3, "timeout": 0, "benchmark": "sh bench.sh", "startworkload": "", "stopworkload": "",
        "evaluations": [{"name": "t", "info": {"get": "echo 1", "type": "negative", "target": None}}],
        "object": [
            {"name": "p0", "info": {**knob, "get": "cat p0.val", "set": "echo $value > p0.val"}},
            {"name": "p1", "info": {**knob, "get": "cat p1.val", "set": "echo $value > p1.val"}},
        ],
    }
    (folder / "inj.yaml").write_text(yaml.safe_dump(config, sort_keys=False))


def run(folder, monkeypatch, *args):
    monkeypatch.chdir(folder)
    return cli.main(list(args))


@pytest.fixture
def poisoned(tmp_path, monkeypatch, capsys):
    """A system whose p1 prints a pipeline, backed up by the command line: the warning, and the backup."""
    marker = tmp_path / "pwned"
    setup(tmp_path, PWNED.format(marker=marker))
    assert run(tmp_path, monkeypatch, "backup", "inj.yaml") == 0
    err = capsys.readouterr().err
    assert (f"knobsmith: warning: p1 = '7 | touch {marker}' holds shell syntax (|); restore will refuse it, "
            "so it is not kept as the original value (the next safe reading will be)\n") in err
    assert err.count("warning") == 1  # once, though the originals are kept from the same reading
    assert "touch" in (tmp_path / "bak_inj.ini").read_text()  # the backup is written all the same
    assert state.originals(state.key("inj", str(tmp_path / "inj.yaml"))) == {"p0": "3"}
    (tmp_path / "p0.val").write_text("9\n")  # moved on since: a restore would put 3 back
    return marker


@pytest.mark.parametrize(
    "args",
    [["restore", "bak_inj.ini"], ["restore", "bak_inj.ini", "--config", "inj.yaml"],
     ["restore", "bak_inj.ini", "--dry-run"]],
)
def test_restore_of_a_poisoned_value_runs_nothing(tmp_path, monkeypatch, capsys, poisoned, args):
    assert run(tmp_path, monkeypatch, *args) == 1
    captured = capsys.readouterr()
    assert captured.err == (f"knobsmith: restore refused: p1 = '7 | touch {poisoned}' holds shell syntax (|); "
                            "nothing was applied\n")
    assert captured.out == ""
    assert not poisoned.exists()
    assert (tmp_path / "p0.val").read_text() == "9\n"  # no partial restore either


# A carriage return used to make the whole file unreadable; now the file reads and the value is named.
@pytest.mark.parametrize("written, shown", [("7\n\ttouch pwned", "7\\ntouch pwned"), ("7\rtouch pwned", "7\\rtouch pwned")])
def test_a_line_break_is_refused_and_shown(tmp_path, monkeypatch, capsys, written, shown):
    setup(tmp_path)
    (tmp_path / "bak.ini").write_bytes(f'[params]\np1 = {written}\n\n[set]\nset_p1 = "echo $value > p1.val"\n'.encode())
    assert run(tmp_path, monkeypatch, "restore", "bak.ini") == 1
    assert capsys.readouterr().err == f"knobsmith: restore refused: p1 = '{shown}' holds a line break; nothing was applied\n"
    assert not (tmp_path / "pwned").exists()


def test_a_negative_number_is_restored_when_the_parameter_is_declared_numeric(tmp_path, monkeypatch, capsys):
    setup(tmp_path, "-5", scope=(-10, 10))
    assert run(tmp_path, monkeypatch, "backup", "inj.yaml") == 0
    assert "warning" not in capsys.readouterr().err
    (tmp_path / "p1.val").write_text("4\n")
    # Without the configuration nothing says p1 is a number.
    assert run(tmp_path, monkeypatch, "restore", "bak_inj.ini") == 1
    assert "p1 = '-5' starts with '-'" in capsys.readouterr().err
    assert run(tmp_path, monkeypatch, "restore", "bak_inj.ini", "--config", "inj.yaml") == 0
    assert (tmp_path / "p1.val").read_text() == "-5\n"


def test_tune_stops_before_any_trial_when_its_backup_could_not_be_put_back(tmp_path, monkeypatch, capsys):
    marker = tmp_path / "pwned"
    setup(tmp_path, PWNED.format(marker=marker))
    assert run(tmp_path, monkeypatch, "tune", "inj.yaml", "--report", "r1", "--restore") == 1
    err = capsys.readouterr().err
    assert err.splitlines()[-1] == (
        f"knobsmith: the backup of the current values could not be put back safely: p1 = '7 | touch {marker}' "
        "holds shell syntax (|); not tuning, nothing was changed")
    assert f"\nwarning: p1 = '7 | touch {marker}' holds shell syntax (|); restore will refuse it, so" in err
    assert not (tmp_path / "runs").exists()  # not even the baseline was measured
    assert (tmp_path / "p0.val").read_text() == "3\n"
    assert not marker.exists()


def test_a_resumed_study_with_a_poisoned_backup_is_not_resumed(tmp_path, monkeypatch, capsys):
    import optuna

    marker = tmp_path / "pwned"
    setup(tmp_path)
    storage = f"sqlite:///{tmp_path / 'study.db'}"
    study = optuna.create_study(storage=storage, study_name="knobsmith-inj", direction="minimize")
    study.set_user_attr("backup", {"p0": "3", "p1": PWNED.format(marker=marker)})
    study.set_user_attr("baseline", 1.0)
    assert run(tmp_path, monkeypatch, "tune", "inj.yaml", "--report", "r1", "--storage", storage) == 1
    err = capsys.readouterr().err
    assert err.splitlines()[-1].startswith("knobsmith: the backup stored with the study in ")
    assert err.splitlines()[-1].endswith(
        f"could not be put back safely: p1 = '7 | touch {marker}' holds shell syntax (|); not tuning, nothing was changed")
    assert not (tmp_path / "runs").exists()
    assert (tmp_path / "p1.val").read_text() == "7\n"
    assert not marker.exists()


def test_apply_warns_of_the_originals_it_keeps_and_applies_its_checked_values(tmp_path, monkeypatch, capsys):
    marker = tmp_path / "pwned"
    setup(tmp_path, PWNED.format(marker=marker))
    assert run(tmp_path, monkeypatch, "apply", "inj.yaml", "p1=8") == 0
    err = capsys.readouterr().err
    assert f"knobsmith: warning: p1 = '7 | touch {marker}' holds shell syntax (|); restore will refuse it" in err
    assert (tmp_path / "p1.val").read_text() == "8\n"
    assert not marker.exists()

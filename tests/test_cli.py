"""The knobsmith command line, run as a user runs it: the installed console script in a process."""

import json
import math
import os
import pathlib
import subprocess
import sys
import time

import pytest
import yaml

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from conftest import guarded  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SCRIPT = pathlib.Path(sys.executable).parent / "knobsmith"


def knobsmith(*args, cwd=None, env=None):
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "knobsmith"]
    result = subprocess.run([*command, *args], capture_output=True, text=True, cwd=cwd, env=env)
    assert "Traceback" not in result.stderr
    return result


@pytest.fixture
def machine(tmp_path):
    """A folder whose files are the tuned parameters, and a configuration that tunes them."""
    (tmp_path / "level").write_text("6\n")
    (tmp_path / "mode").write_text("fast\n")
    (tmp_path / "ratio").write_text("0.5\n")
    config = {
        "iterations": 5, "timeout": 0, "benchmark": "true",
        "startworkload": "sh -c 'echo started >> workload'", "stopworkload": "echo stopped >> workload",
        "evaluations": [{"name": "t", "info": {"get": "echo 1", "type": "negative", "target": None}}],
        "object": [
            {"name": "Level", "info": {"desc": "", "get": "cat level", "set": "echo $value > level", "needrestart": "true",
                                       "type": "discrete", "dtype": "int", "scope": [1, 9], "step": 1, "items": []}},
            {"name": "mode", "info": {"desc": "", "get": "cut -d ' ' -f 1 mode", "set": 'echo "$value" 100% > mode',
                                      "needrestart": "false", "type": "discrete", "dtype": "string",
                                      "options": ["fast", "safe"]}},
            {"name": "ratio", "info": {"desc": "", "get": "cat ratio", "set": "echo $value > ratio",
                                       "needrestart": "false", "type": "continuous", "dtype": "float", "scope": [0.1, 0.9]}},
        ],
    }
    (tmp_path / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    return tmp_path


def wait_until(condition, attempts=1000):
    for _ in range(attempts):
        if condition():
            return
        time.sleep(0.01)
    assert condition()


def test_version_and_help():
    assert knobsmith("--version").stdout.strip() == "knobsmith 0.1.0"
    assert knobsmith("--help").returncode == 0


# What the command imports, as it runs: the optimizer and the plotting stack are for tune and report,
# psutil for the few entries sized by memory or placed on a disk.
HEAVY_IMPORTS = """
import sys
from knobsmith.cli import main
try:
    main(sys.argv[1:])
except SystemExit:
    pass
print(sorted({name.split(".")[0] for name in sys.modules} & {"optuna", "matplotlib", "numpy", "scipy", "psutil"}))
"""


@pytest.mark.parametrize(("command", "said"), [(["--version"], "knobsmith 0.1.0"), (["check", "tune.yaml"], '"max_eval"'),
                                               (["recommend", "cpu", "--no-probe", "--output", "."], "config.yaml")])
def test_commands_start_without_the_libraries_they_do_not_need(knob_workload, command, said):
    result = subprocess.run([sys.executable, "-c", HEAVY_IMPORTS, *command], capture_output=True, text=True,
                            cwd=knob_workload())
    assert said in result.stdout, result.stderr
    assert result.stdout.splitlines()[-1] == "[]"


def test_check_prints_the_optimizer_settings_of_the_demo():
    result = knobsmith("check", str(EXAMPLES / "demo.yaml"))
    assert result.returncode == 0, result.stderr
    settings = json.loads(result.stdout)
    assert [knob["name"] for knob in settings["knobs"]] == ["threads", "buffer_mb", "level"]
    assert (settings["engine"], settings["max_eval"], settings["eval_type"]) == ("bayes", 20, "negative")


@pytest.mark.parametrize(
    "text, locale, line",
    [("iterations: 0\n", "zh_CN.UTF-8", "ERROR iterations应大于0，当前值: 0"),
     ("iterations: 0\n", "en_GB.UTF-8", "ERROR iterations must be above 0, found 0"),
     ('a: "open\n', "zh_CN.UTF-8", "ERROR Yaml format error: while scanning"),
     ('a: "open\n', "C.UTF-8", "ERROR {path} line 2, column 1: found unexpected end of stream")],
)
def test_check_reports_a_rejected_file(tmp_path, text, locale, line):
    path = tmp_path / "bad.yaml"
    path.write_text(text, encoding="utf-8")
    result = knobsmith("check", str(path), env={**os.environ, "LC_ALL": locale})
    assert result.returncode == 1 and result.stdout == ""
    lines = result.stderr.splitlines()
    assert lines[0].startswith(line.format(path=path))
    assert lines[-1] == f"knobsmith: {path} cannot be used (see the lines above)"


def test_backup_then_apply_then_restore(machine):
    backup = knobsmith("backup", "tune.yaml", cwd=machine)
    assert backup.returncode == 0, backup.stderr
    assert backup.stdout.splitlines() == ["Level = 6", "mode = fast", "ratio = 0.5", str(machine / "bak_tune.ini")]

    applied = knobsmith("apply", "tune.yaml", "Level=3", "mode=safe", "ratio=0.25", cwd=machine)
    assert applied.returncode == 0, applied.stderr
    assert applied.stdout.splitlines() == ["the workload was restarted", "applied 3 parameters (read back)"]
    assert [(machine / name).read_text() for name in ("level", "mode", "ratio")] == ["3\n", "safe 100%\n", "0.25\n"]
    wait_until(lambda: (machine / "workload").read_text() == "stopped\nstarted\n")  # started in the background

    dry = knobsmith("restore", "bak_tune.ini", "--dry-run", cwd=machine)
    assert dry.stdout.splitlines() == ["echo 6 > level", 'echo "fast" 100% > mode', "echo 0.5 > ratio"]
    assert (machine / "level").read_text() == "3\n"

    restored = knobsmith("restore", "bak_tune.ini", cwd=machine)
    assert restored.returncode == 0, restored.stderr
    assert restored.stdout.splitlines()[0] == "restored 3 parameters from bak_tune.ini"
    assert "not read back" in restored.stdout
    assert [(machine / name).read_text() for name in ("level", "mode", "ratio")] == ["6\n", "fast 100%\n", "0.5\n"]


def test_restore_of_the_originals_restarts_only_for_a_changed_restart_parameter(machine):
    # The first apply reads and keeps the originals; restoring them changes only mode back: no restart.
    assert knobsmith("apply", "tune.yaml", "mode=safe", cwd=machine).returncode == 0
    restored = knobsmith("restore", "tune.yaml", cwd=machine)
    assert restored.returncode == 0, restored.stderr
    assert restored.stdout.splitlines() == ["restored the 3 original values of tune (read back)"]
    assert not (machine / "workload").exists() and (machine / "mode").read_text() == "fast 100%\n"

    assert knobsmith("apply", "tune.yaml", "Level=2", cwd=machine).returncode == 0
    wait_until(lambda: (machine / "workload").read_text() == "stopped\nstarted\n")
    restored = knobsmith("restore", "tune.yaml", "--originals", cwd=machine)
    assert restored.stdout.splitlines()[0] == "the workload was restarted", restored.stderr
    assert (machine / "level").read_text() == "6\n"
    wait_until(lambda: (machine / "workload").read_text() == "stopped\nstarted\n" * 2)


def test_restore_of_a_backup_with_its_configuration_reads_back(machine):
    assert knobsmith("backup", "tune.yaml", cwd=machine).returncode == 0
    assert knobsmith("apply", "tune.yaml", "ratio=0.75", cwd=machine).returncode == 0
    restored = knobsmith("restore", "bak_tune.ini", "--config", "tune.yaml", cwd=machine)
    assert restored.stdout.splitlines() == ["restored 3 parameters from bak_tune.ini (read back)"], restored.stderr
    assert (machine / "ratio").read_text() == "0.5\n"


def failing_mode_setter(machine):
    """mode's set command now refuses the value safe, as a server refuses a bad value."""
    config = yaml.safe_load((machine / "tune.yaml").read_text())
    config["object"][1]["info"]["set"] = "sh setmode.sh $value"
    (machine / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    (machine / "setmode.sh").write_text(
        'if [ "$1" = safe ]; then echo "Variable mode cannot be set to safe" >&2\necho more >&2\nexit 3\nfi\n'
        'echo "$1" > mode\n'
    )


def test_apply_names_every_parameter_whose_set_failed(machine):
    failing_mode_setter(machine)
    result = knobsmith("apply", "tune.yaml", "mode=safe", "ratio=0.25", cwd=machine)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-2:] == [
        "knobsmith: mode: the set command failed (exit status 3): Variable mode cannot be set to safe",
        "knobsmith: 1 of 2 parameters failed: mode",
    ]
    assert (machine / "ratio").read_text() == "0.25\n" and (machine / "mode").read_text() == "fast\n"


def test_restore_exits_non_zero_when_a_set_fails(machine):
    failing_mode_setter(machine)
    (machine / "bak.ini").write_text('[params]\nmode = safe\nratio = 0.5\n\n[set]\nset_mode = "sh setmode.sh $value"\n'
                                     'set_ratio = "echo $value > ratio"\n\n')
    result = knobsmith("restore", "bak.ini", cwd=machine)
    assert result.returncode == 1 and "restored" not in result.stdout
    assert "knobsmith: mode: the set command failed (exit status 3): Variable mode cannot be set to safe" in result.stderr


def test_apply_says_when_a_value_did_not_take(machine):
    config = yaml.safe_load((machine / "tune.yaml").read_text())
    config["object"][2]["info"]["set"] = "echo 0.9 > ratio # $value"  # the machine clamps every value to 0.9
    (machine / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    result = knobsmith("apply", "tune.yaml", "ratio=0.25", cwd=machine)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-2:] == ["knobsmith: ratio: requested 0.25, in effect 0.9",
                                          "knobsmith: 1 of 1 parameters failed: ratio"]


def test_apply_dry_run_prints_the_commands_and_the_restart(machine):
    result = knobsmith("apply", "tune.yaml", "Level=4", "--dry-run", cwd=machine)
    assert result.stdout.splitlines() == [
        "echo 4 > level", "echo stopped >> workload",
        "sh -c 'echo started >> workload' (in the background, its output to knobsmith-workload-tune.log)",
    ]
    assert (machine / "level").read_text() == "6\n" and not (machine / "workload").exists()


@pytest.mark.parametrize(
    "assignment, message, level",
    [
        ("Level=12", "Level: 12 is outside [1, 9]", {}),
        ("Level=high", "Level: 'high' is not an integer", {}),
        ("ratio=1.5", "ratio: 1.5 is outside [0.1, 0.9]", {}),
        ("mode=turbo", "mode: 'turbo' is not one of fast, safe", {}),
        ("ghost=1", "ghost is not a parameter of tune.yaml", {}),
        ("Level", "'Level' is not NAME=VALUE", {}),
        ("Level=4", "Level: 4 is not on its step of 2 from 1; the nearest allowed values are 3 and 5", {"step": 2}),
        ("Level=6", "Level: 6 is not on its step of 4 from 1; the nearest allowed values are 5 and 7",
         {"step": 4, "items": [7]}),
    ],
)
def test_apply_refuses_before_anything_runs(machine, assignment, message, level):
    config = yaml.safe_load((machine / "tune.yaml").read_text())
    config["object"][0]["info"].update(level)
    (machine / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    result = knobsmith("apply", "tune.yaml", "mode=safe", assignment, cwd=machine)
    assert result.returncode == 1
    assert result.stderr.strip() == f"knobsmith: {message}"
    assert (machine / "mode").read_text() == "fast\n"


def test_a_backup_names_each_parameter_it_could_not_read_and_keeps_the_others(machine):
    (machine / "level").unlink()
    result = knobsmith("backup", "tune.yaml", cwd=machine)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert "knobsmith: Level could not be read: exit status 1: cat: level: No such file or directory" in lines
    assert lines[-1] == "knobsmith: backed up 2 of 3 parameters; not backed up: Level"
    assert (machine / "bak_tune.ini").read_text().startswith("[params]\nmode = fast\nratio = 0.5\n\n")


def test_backup_with_nothing_read_fails(machine):
    for name in ("level", "mode", "ratio"):
        (machine / name).unlink()
    result = knobsmith("backup", "tune.yaml", cwd=machine)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert [line.split(" could not")[0] for line in lines[:3]] == ["knobsmith: Level", "knobsmith: mode", "knobsmith: ratio"]
    assert lines[-1] == "knobsmith: no value could be read, so no backup was written"
    assert not (machine / "bak_tune.ini").exists()


def test_restore_refuses_unsafe_commands_and_runs_the_others(machine):
    (machine / "bak.ini").write_text(
        '[params]\nlevel = 2\nevil = 1\n\n[set]\nset_level = "echo $value > level"\nset_evil = "echo $value; touch pwned"\n\n'
    )
    result = knobsmith("restore", "bak.ini", cwd=machine)
    assert result.returncode == 1
    assert result.stderr.strip() == "knobsmith: refused evil: its command breaks the shell-metacharacter rule"
    assert (machine / "level").read_text() == "2\n" and not (machine / "pwned").exists()


@pytest.mark.parametrize(
    "content, message",
    [
        ("not an ini file", "bak.ini is not a readable backup: line 1: a value before the first section"),
        ("[params]\na = 1\n[params]\n", "bak.ini is not a readable backup: line 3: section [params] appears twice"),
        ("[params]\na = 1\na = 2\n", "bak.ini is not a readable backup: line 3: a appears twice in its section"),
        ("[params]\n= 1\n", "bak.ini is not a readable backup: line 2: not a 'name = value' line"),
        (b"[params]\na = \xff\n", "bak.ini is not a readable backup: it is not UTF-8 text (invalid start byte at byte 13)"),
        ("[params]\na = 1\n", "bak.ini is not a backup: it needs a [params] and a [set] section"),
        ('[params]\n\n[set]\nset_a = "echo"\n', "bak.ini: [set] set_a has no value in [params]"),
        ("[params]\na = 1\n[set]\nset_a = echo\n", "bak.ini: [set] set_a is not a quoted command"),
    ],
)
def test_restore_refuses_a_file_that_is_not_a_backup(machine, content, message):
    if isinstance(content, bytes):
        (machine / "bak.ini").write_bytes(content)
    else:
        (machine / "bak.ini").write_text(content)
    result = knobsmith("restore", "bak.ini", cwd=machine)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(f"knobsmith: {message}")


def test_restore_of_a_missing_file(machine):
    result = knobsmith("restore", "absent.ini", cwd=machine)
    assert result.returncode == 1 and "absent.ini is not a readable backup" in result.stderr


def test_recommend_writes_into_the_output_folder(tmp_path):
    result = knobsmith("recommend", "net", "--output", str(tmp_path / "out"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"{tmp_path}/out/config.yaml"
    assert "net.core.somaxconn" in (tmp_path / "out" / "config.yaml").read_text(encoding="utf-8")


def test_recommend_into_an_unsafe_folder_fails(tmp_path):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o777)
    result = knobsmith("recommend", "cpu", "--output", str(shared))
    assert result.returncode == 1
    assert result.stderr.splitlines() == ["ERROR the recommendation could not be written",
                                            "knobsmith: no recommendation written for the scene cpu"]


def test_unknown_scene_is_an_argument_error():
    result = knobsmith("recommend", "disk")
    assert result.returncode == 2 and "invalid choice: 'disk'" in result.stderr


def test_verbose_shows_debug_lines(tmp_path):
    result = knobsmith("--verbose", "recommend", "io", "--output", str(tmp_path))
    assert result.returncode == 0
    assert "INFO the recommendation is written to " in result.stderr


def test_apply_with_a_restart_that_fails_claims_nothing(machine):
    config = yaml.safe_load((machine / "tune.yaml").read_text())
    config.update(readyworkload="test -f up", readytimeout=1)  # the workload never answers
    (machine / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    result = knobsmith("apply", "tune.yaml", "Level=3", "mode=safe", cwd=machine)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.splitlines()[-2:] == [
        "knobsmith: the workload was not ready after 1 s (it wrote nothing)",
        "knobsmith: not in effect as far as knobsmith knows: Level, mode",
    ]
    assert (machine / "mode").read_text() == "fast\n"


def _x(**info):
    return lambda config: config["object"][0]["info"].update(info)


def _guard(bound, *, first=False):
    """Puts `bound` on the objective (`first`), or on a latency evaluation after it."""
    def edit(config):
        config["evaluations"] = guarded({} if first else bound)
        config["evaluations"][0]["info"].update(bound if first else {})
    return edit


def _also(name):
    return lambda config: config["object"].append({**config["object"][0], "name": name})


@pytest.mark.parametrize("edit, command, line", [
    (_x(scope=[math.nan, 10]), "tune", "object[x].info.scope: nan is not a finite number; give finite numbers"),
    (_x(scope=["1", "10"]), "tune",
     "object[x].info.scope: '1' is not a number; write it as a number, without quotes"),
    (_x(items=[2, 2.5]), "tune", "object[x].info.items: 2.5 is not a whole number, and x is an int parameter; "
     'give whole numbers or dtype "float"'),
    (_x(type="continuous", dtype="float", scope=[-math.inf, math.inf]), "tune",
     "object[x].info.scope: -inf is not a finite number; give finite numbers"),
    (_x(type="continuous", dtype="float", scope=[-1e308, 1e308]), "apply",
     "object[x].info.scope: [-1e+308, 1e+308] is too wide to search; narrow it"),
    (_x(scope=[0, 10.5]), "backup", "object[x].info.scope: 10.5 is not a whole number, and x is an int parameter; "
     'give whole numbers or dtype "float"'),
    (_x(step=0), "diff", "object[x].info.step: 0 is not a number above 0; give the distance between two values "
     "to try"),
    (_x(step=-2), "restore", "object[x].info.step: -2 is not a number above 0; give the distance between two values "
     "to try"),
    (_x(step=11), "tune", "object[x].info.step: 11 is larger than the range [0, 10]; give a step of at most 10"),
    (_x(step=1.5), "tune", "object[x].info.step: 1.5 is not a whole number, and x is an int parameter; "
     "give a whole step"),
    (_x(dtype="float", scope=[0, 1e300], step=0.5), "tune", "object[x].info.step: 0.5 makes a grid over "
     "[0, 1e+300] finer than floating-point numbers tell apart; give a larger step"),
    (_x(scope=[0, 2_000_000_000], items=[3]), "tune", "object[x].info.items: a grid of 2000000001 values merged with "
     "items is too many to choose from (at most 10000); leave items empty or give a larger step"),
    (_x(get=""), "tune", "object[x].info.get: the command is empty; give the command that prints the current value"),
    (_x(set="sh set.sh x"), "tune", "object[x].info.set: the command has no $value, so the value could never reach "
     "the system; write $value where it goes"),
    (_also("x"), "tune", "object[x].name: two parameters are named x; give each its own name"),
    (_also(""), "apply", "object[2].name: the name is empty; give every parameter a name"),
    (lambda config: config["object"][1]["info"].update(options=["a", "b", "a"]), "tune",
     "object[mode].info.options: a is listed twice; list each option once"),
    (_guard({"max": 5}, first=True), "tune", "evaluations[score].info.max: the first evaluation is the objective, "
     "which is optimised, not bounded; put the bound on an evaluation after it"),
    (_guard({"max": "5 ms"}), "tune",
     "evaluations[latency].info.max: '5 ms' is not a finite number; write the bound as a number, without quotes"),
    (_guard({"min": math.nan}), "tune", "evaluations[latency].info.min: nan is not a finite number; write the bound "
     "as a number"),
    (_guard({"max": 5, "min": 1}), "tune", "evaluations[latency].info: both max and min are given; give one bound "
     "per evaluation"),
], ids=lambda case: "" if callable(case) else None)
def test_what_no_search_can_use_is_refused_before_anything_runs(knob_workload, edit, command, line):
    folder = knob_workload()
    config = yaml.safe_load((folder / "tune.yaml").read_text())
    edit(config)
    (folder / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    arguments = {"apply": ["x=3"], "restore": ["--originals"]}.get(command, [])
    for args in (["check", "tune.yaml"], [command, "tune.yaml", *arguments]):
        result = knobsmith(*args, cwd=folder)
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr.splitlines() == [f"knobsmith: {line}"]
    assert not (folder / "history").exists() and not (folder / "knobsmith-report-tune").exists()


@pytest.mark.parametrize("iterations", [6, 14, 40])
def test_check_warns_of_unknown_keys_and_tells_the_random_start_that_tune_makes(knob_workload, iterations):
    from knobsmith.tuner import proposing

    folder = knob_workload(iterations=iterations, target="90%", readytimout=5, x={"stepp": 1})
    result = knobsmith("check", "tune.yaml", cwd=folder)
    assert result.returncode == 0
    assert result.stderr.splitlines() == [
        "knobsmith: warning: readytimout: not a known key; did you mean readytimeout?",
        "knobsmith: warning: object[x].info.stepp: not a known key; did you mean step?"]
    sampler = proposing.sampler(proposing.optuna_module(), iterations, 1)
    assert json.loads(result.stdout)["random_starts"] == sampler.start_up
    tuned = knobsmith("tune", "tune.yaml", "--dry-run", cwd=folder)
    assert "warning: readytimout: not a known key; did you mean readytimeout?" in tuned.stderr.splitlines()


@pytest.mark.parametrize("x, low, top, step", [
    ({"scope": [0, 2_000_000_000]}, 0, 2_000_000_000, 1),
    ({"scope": [0, 1e300], "step": 10}, 0, 1e300, 0),  # past the floats' precision: no grid to check
    ({"dtype": "float", "scope": [0.25, 1e12], "step": 0.5}, 0.25, 1e12 - 0.25, 0.5),
    ({"scope": [0, 50], "step": 7, "items": [3]}, 0, 49, 7),  # the grid merged with items: 3 or a multiple of 7
])
def test_a_vast_grid_is_searched_without_being_listed(knob_workload, x, low, top, step):
    folder = knob_workload(x=x)
    assert json.loads(knobsmith("check", "tune.yaml", cwd=folder).stdout)["knobs"][0]["range"] == x["scope"]
    # In a gigabyte of address space, which a grid written out as a list would not fit in (not under
    # AddressSanitizer, which reserves terabytes for its shadow memory: the plain run checks it).
    limit = "" if os.environ.get("KNOBSMITH_ASAN_PRELOAD") else "ulimit -v 1000000 && "
    dry = subprocess.run(["sh", "-c", limit + 'exec "$0" tune tune.yaml --dry-run', str(SCRIPT)],
                         cwd=folder, capture_output=True, text=True, check=False)
    assert dry.returncode == 0, dry.stderr
    value = float(next(line for line in dry.stdout.splitlines() if line.startswith("sh set.sh x ")).split()[-1])
    assert low <= value <= top
    assert not step or value == 3 or (value - low) / step == int((value - low) / step)

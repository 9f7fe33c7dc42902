import json
import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "knobsmith", *args], capture_output=True, text=True, cwd=cwd)


def test_check_prints_the_optimizer_settings_of_the_demo():
    result = run("check", str(EXAMPLES / "demo.yaml"))
    assert result.returncode == 0, result.stderr
    settings = json.loads(result.stdout)
    assert [knob["name"] for knob in settings["knobs"]] == ["level", "input"]
    assert (settings["engine"], settings["max_eval"], settings["eval_type"]) == ("bayes", 20, "negative")


def test_check_reports_a_rejected_file(tmp_path):
    path = tmp_path / "bad.yaml"
    path.write_text("iterations: 0\n", encoding="utf-8")
    result = run("check", str(path))
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.rstrip().endswith("ERROR iterations应大于0，当前值: 0")

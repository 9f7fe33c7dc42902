"""The shipped type stubs agree with the modules and serve their callers."""

import pathlib
import subprocess
import sys

DATA = pathlib.Path(__file__).resolve().parent / "data"
MODULES = ["knobsmith.loadplan", "knobsmith.vetplan", "knobsmith.stagekit", "knobsmith.lapclock", "knobsmith.recommend"]


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd)


def test_stubs_match_the_modules(tmp_path):
    result = run("mypy.stubtest", *MODULES, "--allowlist", str(DATA / "stubtest-allowlist.txt"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typical_use_type_checks(tmp_path):
    result = run("mypy", "--strict", "--no-incremental", str(DATA / "typing_usage.py"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr

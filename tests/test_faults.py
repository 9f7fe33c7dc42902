"""Faults from outside: full and read-only file systems, killed and misbehaving commands, closed
standard input. Each ends with the documented result, leaves the earlier backup as it was, and
leaks no descriptor and no child process."""

import shutil
import subprocess
import sys
import textwrap

import pytest

from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit

UNSHARE = shutil.which("unshare")


def in_small_filesystem(tmp_path, code, *, size="16k", read_only_after=None):
    """Runs Python `code` with its current folder on a tmpfs of `size` bytes, mounted in a user and
    mount namespace of its own (no root needed). `read_only_after` is Python run before the tmpfs
    is made read-only. Prints what `code` prints."""
    folder = tmp_path / "fs"
    folder.mkdir()
    prepare = textwrap.dedent(read_only_after or "")
    script = tmp_path / "child.py"
    script.write_text(
        "import os, sys\n"
        f"os.chdir({str(folder)!r})\n" + prepare + "\n"
        + ("os.system('mount -o remount,ro .')\n" if read_only_after is not None else "")
        + textwrap.dedent(code)
    )
    shell = f"mount -t tmpfs -o size={size} tmpfs {folder} && exec {sys.executable} {script}"
    result = subprocess.run([UNSHARE, "--user", "--map-root-user", "--mount", "sh", "-c", shell],
                            capture_output=True, text=True)
    if result.returncode != 0 and "Operation not permitted" in result.stderr:
        pytest.skip("no user namespaces here")
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


BACKUP_OF_BIG_VALUE = """
from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit
Cfg().yml = {"object": [{"name": "p", "info": {"get": "head -c 40000 /dev/zero | tr '\\\\0' a", "set": "s",
                                                "needrestart": "false"}}]}
Cfg().project = "demo"
before = sorted(os.listdir("/proc/self/fd"))
try:
    StageKit().backup_params()
    print("written")
except OSError as error:
    print(type(error).__name__, error.errno)
print(sorted(os.listdir("/proc/self/fd")) == before)
print(*sorted(os.listdir(".")))
print(open("bak_demo.ini").read().strip())
"""

EARLIER = 'open("bak_demo.ini", "w").write("earlier\\n")\n'


@pytest.mark.skipif(UNSHARE is None, reason="needs unshare")
def test_backup_on_a_full_file_system_keeps_the_earlier_one(tmp_path):
    # ENOSPC: the new backup does not fit; the temporary file is gone, the earlier backup intact.
    assert in_small_filesystem(tmp_path, EARLIER + BACKUP_OF_BIG_VALUE) == ["OSError", "28", "True", "bak_demo.ini", "earlier"]


@pytest.mark.skipif(UNSHARE is None, reason="needs unshare")
def test_backup_on_a_read_only_file_system_keeps_the_earlier_one(tmp_path):
    outcome = in_small_filesystem(tmp_path, BACKUP_OF_BIG_VALUE, size="1m", read_only_after=EARLIER)
    assert outcome == ["OSError", "30", "True", "bak_demo.ini", "earlier"]  # EROFS


WRITE_RECOMMENDATION = """
from knobsmith.recommend import ParamsItem, Recoyamlfile
os.environ["KNOBSMITH_OUTPUT_DIR"] = os.getcwd()
entry = {"name": "p", "desc": "d" * 2000, "get": "cat g", "set": "echo $value", "needrestart": "false",
         "type": "continuous", "dtype": "int", "scope": [1, 2], "step": 1, "items": [], "options": [],
         "level": "low", "version": "", "adapt": []}
before = sorted(os.listdir("/proc/self/fd"))
print(Recoyamlfile().writefile([ParamsItem(entry) for _ in range(40)]))
print(sorted(os.listdir("/proc/self/fd")) == before)
"""


@pytest.mark.skipif(UNSHARE is None, reason="needs unshare")
@pytest.mark.parametrize("read_only", [False, True])
def test_recommendation_on_a_full_or_read_only_file_system(tmp_path, read_only):
    outcome = in_small_filesystem(tmp_path, WRITE_RECOMMENDATION, read_only_after="" if read_only else None)
    assert outcome == ["False", "True"]  # "write file error." logged, nothing left open


@pytest.fixture
def read_with(tmp_path, monkeypatch, leftovers):
    """Reads one parameter through `command`; checks that nothing is left open or unreaped."""
    monkeypatch.chdir(tmp_path)

    def read(command, script=None):
        if script is not None:
            (tmp_path / "command.sh").write_text(textwrap.dedent(script))
        Cfg().yml = {"object": [{"name": "p", "info": {"get": command}}]}
        before = leftovers()
        values = StageKit().get_params()
        assert leftovers() == (before[0], [])
        return values

    return read


@pytest.mark.parametrize("signal_name", ["KILL", "TERM", "SEGV"])
def test_a_get_command_killed_by_a_signal_reads_as_empty(read_with, log_lines, signal_name):
    assert read_with(f"kill -{signal_name} $$") == {"p": ""}
    assert log_lines() == [("WARNING", "cannot get p")]


def test_closing_standard_output_early_while_writing_errors(read_with, errors):
    values = read_with("sh command.sh", """\
        exec 1>&-
        i=0
        while [ $i -lt 2000 ]; do echo "complaint $i" >&2; i=$((i + 1)); done
        """)
    assert values == {}
    (line,) = errors()
    assert line.startswith("run script failed: complaint 0\ncomplaint 1\n") and line.endswith("complaint 1999")


def test_closing_standard_error_early_while_writing_output(read_with, log_lines):
    values = read_with("sh command.sh", """\
        exec 2>&-
        head -c 300000 /dev/zero | tr '\\0' v
        """)
    assert values == {"p": "v" * 300000}
    assert log_lines() == []


def test_a_background_child_holding_the_pipes(read_with, log_lines):
    # The reading ends when the last holder of the pipes lets go, as the shell's own would.
    assert read_with("sleep 0.3 & echo ready") == {"p": "ready"}
    assert log_lines() == []


def test_closed_standard_input(tmp_path):
    code = textwrap.dedent(
        """
        import os
        os.close(0)
        from knobsmith.loadplan import Cfg
        from knobsmith.recommend import Adaptenv
        from knobsmith.stagekit import StageKit
        Cfg().yml = {"object": [{"name": "p", "info": {"get": "echo ok"}}]}
        print(StageKit().get_params())
        Cfg().yml = {"object": [{"name": "p", "info": {"get": "cat"}}]}
        print(StageKit().get_params())
        print(Adaptenv().get_disk_name_from_partition("/dev/nvme0n1p2"))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                            stdin=subprocess.DEVNULL)
    assert result.stdout.splitlines() == ["{'p': 'ok'}", "{}", "nvme0n1"], result.stderr
    # The command found no standard input (the caller had none) and said so on standard error.
    assert " ERROR run script failed: cat: -: Bad file descriptor\n" in result.stderr

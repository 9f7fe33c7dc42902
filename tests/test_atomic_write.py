"""Files written whole or not at all, with the mode their kind needs."""

import os
import stat
import subprocess
import sys

import pytest

from knobsmith import atomic_write


@pytest.mark.parametrize(("private", "mode"), [(True, 0o600), (False, 0o644)])
def test_a_file_is_replaced_whole_with_its_mode(tmp_path, private, mode):
    old_mask = os.umask(0o022)
    try:
        path = tmp_path / "best.yaml"
        path.write_text("old\n")
        atomic_write.write_atomically(str(path), "new ü\n", private=private)
    finally:
        os.umask(old_mask)
    assert path.read_text(encoding="utf-8") == "new ü\n"
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert os.listdir(tmp_path) == ["best.yaml"]


def test_a_write_that_fails_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    path = tmp_path / "originals.json"
    path.write_text("kept\n")

    def broken(source, target):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(atomic_write.os, "replace", broken)
    with pytest.raises(OSError):
        atomic_write.write_atomically(str(path), b"lost")
    assert path.read_text() == "kept\n" and os.listdir(tmp_path) == ["originals.json"]


# A writer that stops before its temporary replaces the file, until a line comes on its input.
HELD_WRITER = """\
import os, sys
from knobsmith import atomic_write
replace = os.replace
def held(source, target):
    print("written", flush=True)
    sys.stdin.readline()
    replace(source, target)
os.replace = held
atomic_write.write_atomically(sys.argv[1], sys.argv[2])
"""


def test_the_next_write_removes_the_temporary_of_a_killed_writer_and_keeps_a_live_one(tmp_path):
    path = tmp_path / "trials.csv"

    def temporaries():
        return sorted(entry.name for entry in tmp_path.iterdir() if entry.name.endswith(".tmp"))

    with subprocess.Popen([sys.executable, "-c", HELD_WRITER, str(path), "killed"], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as killed, \
            subprocess.Popen([sys.executable, "-c", HELD_WRITER, str(path), "live"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True) as live:
        assert killed.stdout.readline() == live.stdout.readline() == "written\n"
        killed.kill()
        killed.wait()
        assert len(temporaries()) == 2
        atomic_write.write_atomically(str(path), "mine\n")
        assert path.read_text() == "mine\n"
        assert [name.split(".")[3] for name in temporaries()] == [str(live.pid)]
        live.communicate("\n", timeout=30)
    assert live.returncode == 0 and path.read_text() == "live" and temporaries() == []

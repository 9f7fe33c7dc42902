"""Files written whole or not at all, with the mode their kind needs."""

import os
import stat

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

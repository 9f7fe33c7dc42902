"""`restore BACKUP.ini` applies the values in the order the backup file holds them: a later
value may depend on an earlier one (a pool size before the count that divides it)."""

import pytest

from knobsmith import cli


@pytest.mark.parametrize("names", [["zeta", "alpha", "mid"], ["b", "c", "a"]])
def test_restore_applies_values_in_file_order(tmp_path, monkeypatch, names):
    monkeypatch.chdir(tmp_path)
    params = "".join(f"{name} = {index}\n" for index, name in enumerate(names))
    sets = "".join(f'set_{name} = "echo {name}=$value >> order"\n' for name in names)
    (tmp_path / "bak_x.ini").write_text(f"[params]\n{params}\n[set]\n{sets}\n")
    assert cli.main(["restore", "bak_x.ini"]) == 0
    assert (tmp_path / "order").read_text().split() == [f"{name}={index}" for index, name in enumerate(names)]

"""A backup file gives back exactly the values that were backed up, whatever characters they hold."""

import pytest

from knobsmith.loadplan import Cfg
from knobsmith.stagekit import StageKit
from knobsmith.params import backup_file

# What a get command may print: carriage returns, CRLF line ends, lines that begin or end with
# blanks, an empty line, "%" signs, a line that looks like a comment or a section.
AWKWARD = {
    "vm.Swappiness": "60",
    "crlf": "first\r\nsecond",
    "cr": "half\rway",
    "indented": "top\n    nested\n\tand tabbed",
    "blank_ends": "a  \n  b",
    "empty_line": "above\n\nbelow",
    "percent": "100%% of 5% done",
    "lookalikes": "x\n# not a comment\n[not a section]\nk = v",
}


@pytest.fixture
def backed_up(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    objects = []
    for index, (name, value) in enumerate(AWKWARD.items()):
        (tmp_path / f"v{index}").write_bytes(value.encode())
        objects.append({"name": name, "info": {"get": f"cat v{index}", "set": f"echo $value > v{index}",
                                               "needrestart": "false"}})
    cfg = Cfg()
    cfg.yml = {"object": objects, "startworkload": "", "stopworkload": ""}
    cfg.project = "demo"
    StageKit().backup_params()
    return tmp_path / "bak_demo.ini"


def test_every_value_comes_back_exactly_with_its_set_command(backed_up):
    entries = backup_file.read(str(backed_up))
    # The file holds the names folded to lower case.
    assert [(name, value) for name, value, _ in entries] == [(name.lower(), value) for name, value in AWKWARD.items()]
    assert [command for _, _, command in entries] == [f"echo $value > v{index}" for index in range(len(AWKWARD))]


@pytest.mark.parametrize(
    "text, sections",
    [
        # What a person may write by hand: no blanks, a colon, comments, indented continuation.
        ("# kept\n[params]\na=1\nb: 2\n; note\nc = x\n  y\n\n[set]\n", {"params": {"a": "1", "b": "2", "c": "x\ny"}, "set": {}}),
        # A lone "%" is taken as it is; a delimiter inside the value stays in it.
        ("[params]\nd = 5% = half:full\n", {"params": {"d": "5% = half:full"}}),
        # Saved again by an editor with CRLF line ends: the CRs are the line ends, not the values'.
        ('[params]\r\nlevel = 6\r\nmulti = a\r\n\tb\r\n\r\n[set]\r\nset_level = "echo $value"\r\n',
         {"params": {"level": "6", "multi": "a\nb"}, "set": {"set_level": '"echo $value"'}}),
        # The tab alone is the continuation of an empty line inside the value.
        ("[params]\ne = top\n\t\n\tbottom\n", {"params": {"e": "top\n\nbottom"}}),
    ],
)
def test_hand_edited_backups(text, sections):
    assert backup_file.parse(text) == sections

import functools
import os
import re

import json5
import pytest

import knobsmith.recommend as recommend
from common.config import Config
from knobsmith.loadplan import Cfg
from knobsmith.recommend import Recomd

SHELL_RULE = re.compile(r"[;!`\n]|&&|\|\||\$\(|\$\{")


@functools.cache
def shipped_database():
    with open(Config().get_inst_path() + "/knobsmith/paramsdb.json5.extu", encoding="utf-8") as stream:
        return json5.loads(stream.read())


ENTRY = ("{name: '%s', desc: '', get: '%s', set: 'echo $value', needrestart: 'false', type: 'discrete', "
         "dtype: 'int', scope: [1, 2], step: 1, items: [], options: [], level: 'low', version: '', adapt: %s}")


def test_a_scene_without_entries_writes_nothing(own_database, output):
    own_database("{N01: %s}" % (ENTRY % ("n", "cat x", "[]")))
    assert Recomd().manager("cpu") is False
    assert os.listdir(output) == []


def test_an_unknown_scene_is_reported(own_database, output, errors):
    own_database("{C01: %s}" % (ENTRY % ("c", "cat x", "[]")))
    assert Recomd().manager("CPU") is False
    assert errors() == ["Cannot parse scene [CPU]. \n Select one from support scene lists: [cpu io net mysql]"]


@pytest.mark.parametrize("text", ["{}", "{C01: 'a && b'}"])
def test_a_database_that_does_not_load_is_named_by_its_text(own_database, output, errors, text):
    own_database(text)
    assert Recomd().manager("cpu") is False
    assert errors()[-1] == f"加载{text}失败"


def test_every_entry_dropped_gives_the_header_only(own_database, output):
    own_database("{C01: %s, C02: %s}" % (ENTRY % ("a", "echo 1", "['disk']"), ENTRY % ("b", "cat /nope", "['disk']")))
    assert Recomd().manager("cpu") is True
    assert (output / "config.yaml").read_text(encoding="utf-8").endswith("\nobject:\n")


def test_the_shipped_database_is_sound():
    db = shipped_database()
    counts = {scene: sum(letter in key for key in db) for scene, letter in (("cpu", "C"), ("io", "I"), ("net", "N"), ("mysql", "M"))}
    assert min(counts.values()) >= 15, counts
    for key, entry in db.items():
        info = recommend.ParamsItem(entry)
        sample = info.options[0] if info.dtype == "string" else info.scope[1]
        command = info.set.replace("$value", str(sample))
        assert "$value" in info.set and not SHELL_RULE.search(command), key
        assert not SHELL_RULE.search(info.get), key
        assert info.needrestart in ("true", "false") and info.level in ("Importance", "medium", "low"), key
        assert set(info.adapt) <= {"scope", "disk", "server"}, key
        if "disk" in info.adapt:
            assert info.get.startswith("cat /sys/block/sda/") and "sda" in info.set, key
        if info.dtype == "string":
            assert info.type == "discrete" and info.options, key
        else:
            assert len(info.scope) == 2 and info.scope[0] < info.scope[1] and info.step > 0, key


def completed(text):
    """The recommended file with its blanks filled in, as a user would."""
    for blank, value in (
        ('benchmark: "" #填写', 'benchmark: "sh bench.sh"'),
        ('startworkload: "" #填写', 'startworkload: "systemctl start app"'),
        ('stopworkload: "" #填写', 'stopworkload: "systemctl stop app"'),
        ('  name: "" #填写', '  name: "qps"'),
        ('    get: "" #填写', '    get: "cat qps"'),
        ('    type: "" #填写', '    type: "positive"'),
    ):
        assert blank in text
        text = text.replace(blank, value, 1)
    return text


@pytest.mark.parametrize("scene", ["cpu", "io", "net", "mysql"])
def test_each_scene_on_this_machine_gives_a_usable_configuration(output, tmp_path, scene, errors):
    assert Recomd().manager(scene) is True
    written = (output / "config.yaml").read_text(encoding="utf-8")
    path = tmp_path / f"{scene}.yaml"
    path.write_text(completed(written), encoding="utf-8")
    cfg = Cfg()
    assert cfg.init(str(path)) is True, errors()
    names = [knob["name"] for knob in cfg.get_optimizer_info()["knobs"]]
    expected = [entry["name"] for key, entry in shipped_database().items() if {"cpu": "C", "io": "I", "net": "N", "mysql": "M"}[scene] in key]
    assert names and set(names) <= set(expected)

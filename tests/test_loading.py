import pytest
import yaml

import knobsmith.loadplan as loadplan
from knobsmith.loadplan import Cfg


def test_valid_file_loads_and_the_reader_is_shared(write_config, config, errors):
    path = write_config(config)
    cfg = Cfg()
    assert cfg.init(path) is True
    assert (cfg.iter, cfg.time, cfg.project) == (True, True, "demo")
    assert errors() == []
    import knobsmith.loadplan as again

    assert again.Cfg() is cfg
    assert again.Cfg().yml == config


def test_directory_is_reported_and_still_names_the_project(tmp_path, errors):
    folder = tmp_path / "tuning.d"
    folder.mkdir()
    cfg = Cfg()
    assert cfg.init(str(folder)) is False
    assert errors() == [f"Is a directory: {folder}"]
    assert cfg.get_project() == "tuning.d"
    assert cfg.iter is True and cfg.time is True


def test_missing_file_is_reported_with_the_path_as_given(tmp_path, errors, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cfg = Cfg()
    skeleton = cfg.yml
    assert cfg.init("conf/absent.yaml") is False
    assert errors() == ["File not found: conf/absent.yaml"]
    assert cfg.yml is skeleton
    assert cfg.project == "absent"


def test_lexical_error_carries_the_parsers_description(write_config, errors):
    cfg = Cfg()
    skeleton = cfg.yml
    assert cfg.init(write_config('iterations: "10\n')) is False
    (line,) = errors()
    assert line.startswith("Yaml format error: while scanning a quoted scalar")
    assert "line 1, column 13" in line
    assert cfg.yml is skeleton


@pytest.mark.parametrize(
    "text, held",
    [("", None), ("# only a comment\n", None), ("{}\n", {}), ("[]\n", []), ("0\n", 0), ("false\n", False), ('""\n', "")],
)
def test_empty_document_is_a_yaml_error_and_is_kept(write_config, errors, text, held):
    cfg = Cfg()
    assert cfg.init(write_config(text)) is False
    assert errors() == ["Yaml  error"]
    assert cfg.yml == held and type(cfg.yml) is type(held)


@pytest.mark.parametrize(
    "raw",
    [
        "iterations: 10\nbenchmark: caf\xe9\n".encode("latin-1"),  # not UTF-8
        b"- a\nb: c\n",  # structural error found by the parser, not the scanner
        b"x: !!python/object/apply:os.system [echo hi]\n",  # a tag the full loader refuses
        b"x: !custom 1\n",
    ],
)
def test_other_load_failures_are_a_plain_yaml_error(tmp_path, errors, raw):
    path = tmp_path / "bad.yaml"
    path.write_bytes(raw)
    cfg = Cfg()
    skeleton = cfg.yml
    assert cfg.init(str(path)) is False
    assert errors() == ["Yaml  error"]
    assert cfg.yml is skeleton


def test_unreadable_file_is_a_yaml_error_not_a_missing_one(write_config, config, errors, monkeypatch):
    path = write_config(config)

    def refuse(*args, **kwargs):
        raise PermissionError(13, "Permission denied", args[0])

    # The reader opens files through the name open of its module, as Python code would.
    monkeypatch.setattr(loadplan, "open", refuse, raising=False)
    assert Cfg().init(path) is False
    assert errors() == ["Yaml  error"]


def test_interrupt_while_reading_is_not_swallowed(write_config, config, monkeypatch, errors):
    path = write_config(config)

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(loadplan, "open", interrupted, raising=False)
    with pytest.raises(KeyboardInterrupt):
        Cfg().init(path)
    assert errors() == []


def test_rejected_configuration_is_kept_with_the_validators_line(write_config, config, errors):
    del config["iterations"]
    cfg = Cfg()
    assert cfg.init(write_config(config)) is False
    assert errors() == ["缺少必需字段: 'iterations'"]
    assert cfg.yml == config


def test_second_load_replaces_the_first(write_config, config):
    cfg = Cfg()
    assert cfg.init(write_config(config, "first.yaml"))
    config["iterations"] = 3
    assert cfg.init(write_config(config, "second.yaml"))
    assert cfg.yml["iterations"] == 3
    assert cfg.get_project() == "second"


def test_yaml_is_read_with_the_full_loader_of_yaml_11(write_config, config):
    text = yaml.safe_dump(config, sort_keys=False).replace("iterations: 10", "iterations: 0x0a")
    cfg = Cfg()
    assert cfg.init(write_config(text))
    assert cfg.yml["iterations"] == 10


def test_collaborators_are_looked_up_at_each_call(write_config, config, monkeypatch):
    seen = []

    class RecordingLogger:
        def error(self, message):
            seen.append(message)

    class FixedName:
        def parse_projectname(self, path):
            return "fixed"

    monkeypatch.setattr(loadplan, "Logger", RecordingLogger)
    monkeypatch.setattr(loadplan, "ToolCmd", FixedName)
    monkeypatch.setattr(yaml, "load", lambda text, Loader: {})
    cfg = Cfg()
    assert cfg.init(write_config(config)) is False
    assert seen == ["Yaml  error"]
    assert cfg.project == "fixed"


def test_project_name_failure_propagates_before_anything_changes(monkeypatch):
    class Broken:
        def parse_projectname(self, path):
            raise RuntimeError("no name")

    monkeypatch.setattr(loadplan, "ToolCmd", Broken)
    cfg = Cfg()
    with pytest.raises(RuntimeError, match="no name"):
        cfg.init("x.yaml")
    assert not hasattr(cfg, "iter")

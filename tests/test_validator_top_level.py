import pytest

import knobsmith.vetplan as vetplan
from knobsmith.vetplan import Vetplan

PATTERN_TEXT = "re.compile('[;!`\\\\n]|&&|\\\\|\\\\||\\\\$\\\\(|\\\\$\\\\{')"


def shell_line(field):
    return f"{field}包含非法字符，禁止使用 shell 元字符: {PATTERN_TEXT}"


def test_pattern_text_is_the_compiled_patterns_repr():
    assert repr(Vetplan.SHELL_METACHARACTERS) == PATTERN_TEXT
    assert shell_line("benchmark") == (
        "benchmark包含非法字符，禁止使用 shell 元字符: re.compile('[;!`\\\\n]|&&|\\\\|\\\\||\\\\$\\\\(|\\\\$\\\\{')"
    )


def test_a_valid_configuration_passes_silently(config, errors):
    assert Vetplan().is_valid(config) is True
    assert errors() == []


@pytest.mark.parametrize(
    "change, line",
    [
        ({"iterations": "absent"}, "缺少必需字段: 'iterations'"),
        ({"iterations": 0}, "iterations应大于0，当前值: 0"),
        ({"iterations": -3}, "iterations应大于0，当前值: -3"),
        ({"iterations": "10"}, "iterations应为整数，当前类型: str"),
        ({"iterations": 1.5}, "iterations应为整数，当前类型: float"),
        ({"iterations": None}, "iterations应为整数，当前类型: NoneType"),
        ({"iterations": False}, "iterations应大于0，当前值: False"),
        ({"timeout": "absent"}, "缺少必需字段: 'timeout'"),
        ({"timeout": -1}, "timeout应大于0，当前值: -1"),
        ({"timeout": 2.5}, "timeout应为整数，当前类型: float"),
        ({"timeout": "1h"}, "timeout应为整数，当前类型: str"),
        ({"benchmark": "absent"}, "缺少必需字段: 'benchmark'"),
        ({"benchmark": "   "}, "benchmark不能为空"),
        ({"benchmark": 3}, "benchmark应为字符串，当前类型: int"),
        ({"benchmark": "run; rm -rf x"}, shell_line("benchmark")),
        ({"startworkload": "absent"}, "缺少必需字段: 'startworkload'"),
        ({"startworkload": None}, "startworkload应为字符串，当前类型: NoneType"),
        ({"startworkload": "a && b"}, shell_line("startworkload")),
        ({"stopworkload": "absent"}, "缺少必需字段: 'stopworkload'"),
        ({"stopworkload": ["stop"]}, "stopworkload应为字符串，当前类型: list"),
        ({"stopworkload": "kill $(cat pid)"}, shell_line("stopworkload")),
        # the first fault ends the validation: nothing is said of the second
        ({"iterations": 0, "benchmark": 3}, "iterations应大于0，当前值: 0"),
        ({"timeout": -1, "benchmark": 3}, "timeout应大于0，当前值: -1"),
    ],
)
def test_top_level_faults_give_exactly_one_line(config, errors, change, line):
    for key, value in change.items():
        if value == "absent":
            del config[key]
        else:
            config[key] = value
    assert Vetplan().is_valid(config) is False
    assert errors() == [line]


@pytest.mark.parametrize("iterations", [True, 1, 10**20])
@pytest.mark.parametrize("timeout", [0, None, "", [], {}, 0.0, False, 1, True])
def test_accepted_budgets(config, errors, iterations, timeout):
    config["iterations"] = iterations
    config["timeout"] = timeout
    assert Vetplan().is_valid(config) is True
    assert errors() == []


def test_an_empty_timeout_defers_to_the_iterations_check():
    assert Vetplan.check_timeout({"timeout": None, "iterations": 3}) is True
    assert Vetplan.check_timeout({"timeout": 0}) is False


@pytest.mark.parametrize(
    "command",
    ["", "a | b", "a & b", "a > f 2>&1 < g", "echo $HOME $1", "a\rb", "a\tb", "a $ (b)", "café ünïcode", 'say "hi"'],
)
def test_shell_rule_accepts(command, errors):
    assert Vetplan.check_shell_metacharacters(command, "f") is True
    assert errors() == []


@pytest.mark.parametrize(
    "command",
    ["a || b", "a && b", "$(id)", "${HOME}", "`id`", "!x", "a;b", "a\nb", "x\ud800;", "终端\n", "||"],
)
def test_shell_rule_refuses(command, errors):
    assert Vetplan.check_shell_metacharacters(command, "f") is False
    assert errors() == [shell_line("f")]


@pytest.mark.parametrize("value", [None, 5, ["a;b"], b"a;b"])
def test_shell_rule_examines_only_strings(value, errors):
    assert Vetplan.check_shell_metacharacters(value, "f") is True
    assert errors() == []


def test_shell_rule_names_the_field_by_its_text(errors):
    assert Vetplan.check_shell_metacharacters("a;b", 7) is False
    assert errors() == [shell_line("7")]


def test_restart_needs_both_workload_commands(config, errors):
    config["object"][0]["info"]["needrestart"] = "true"
    assert Vetplan().is_valid(config) is False
    assert errors() == ["startworkload必须存在,因为参数需要restart以生效"]
    config["startworkload"] = "svc start"
    assert Vetplan().is_valid(config) is False
    assert errors()[-1] == "stopworkload必须存在,因为参数需要restart以生效"
    config["stopworkload"] = "   "  # blanks are not empty here
    assert Vetplan().is_valid(config) is True


def test_restart_requirement_does_not_leak_into_the_next_validation(config, errors):
    restarting = {**config, "startworkload": "svc start", "stopworkload": "svc stop"}
    restarting["object"] = [{**config["object"][0], "info": {**config["object"][0]["info"], "needrestart": "true"}}]
    assert Vetplan().is_valid(restarting) is True
    assert Vetplan.need_restart is True
    assert Vetplan().is_valid(config) is True
    assert errors() == []


def test_check_object_alone_reads_the_flag_as_it_stands(config, errors):
    Vetplan.need_restart = True
    assert Vetplan.check_object(config) is False
    assert errors() == ["startworkload必须存在,因为参数需要restart以生效"]


@pytest.mark.parametrize("document, name", [(["a"], "list"), ("text", "str"), (None, "NoneType"), (3, "int")])
def test_a_document_that_is_not_a_mapping_is_refused(document, name, errors):
    assert Vetplan().is_valid(document) is False
    assert errors() == [f"配置文件内容应为字典，当前类型: {name}"]


def test_checks_are_reached_through_the_class(config, monkeypatch):
    monkeypatch.setattr(Vetplan, "check_exists", staticmethod(lambda option, cfg: option != "benchmark"))
    seen = []

    class RecordingLogger:
        def error(self, message):
            seen.append(message)

    monkeypatch.setattr(vetplan, "Logger", RecordingLogger)
    assert Vetplan().is_valid(config) is False
    assert seen == ["缺少必需字段: 'benchmark'"]


def test_key_names_are_read_through_the_class(config, monkeypatch, errors):
    monkeypatch.setattr(Vetplan, "ITER", "rounds")
    config["rounds"] = config.pop("iterations")
    assert Vetplan.check_iterations(config) is True
    config["rounds"] = 0
    assert Vetplan.check_iterations(config) is False
    assert errors() == ["rounds应大于0，当前值: 0"]

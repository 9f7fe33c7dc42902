import pytest

from knobsmith.vetplan import Vetplan

SHELL = "包含非法字符，禁止使用 shell 元字符: re.compile('[;!`\\\\n]|&&|\\\\|\\\\||\\\\$\\\\(|\\\\$\\\\{')"
TARGET_FORMAT = "evaluations[qps].info.target格式错误，应为'%'格式，如'95%'或'99.5%'，当前值: '{}'"


def validate(config, evaluations):
    config["evaluations"] = evaluations
    return Vetplan().is_valid(config)


def qps(**info):
    base = {"get": "cat qps", "type": "positive", "target": "95%"}
    base.update(info)
    return {"name": "qps", "info": {key: value for key, value in base.items() if value != "absent"}}


@pytest.mark.parametrize("target", ["95%", "99.5%", None, "", "0.5%", "１００%", "100%"])
def test_accepted_targets(config, errors, target):
    assert validate(config, [qps(target=target)]) is True
    assert errors() == []


@pytest.mark.parametrize(
    "target, line",
    [
        ("0%", "evaluations[qps].info.target必须大于0%，当前值: '0%'"),
        ("0.0%", "evaluations[qps].info.target必须大于0%，当前值: '0.0%'"),
        (95, "evaluations[qps].info.target应为字符串，当前类型: int"),
        (0.95, "evaluations[qps].info.target应为字符串，当前类型: float"),
        ("95", TARGET_FORMAT.format("95")),
        ("95.%", TARGET_FORMAT.format("95.%")),
        (".5%", TARGET_FORMAT.format(".5%")),
        ("-5%", TARGET_FORMAT.format("-5%")),
        ("95 %", TARGET_FORMAT.format("95 %")),
        ("95%%", TARGET_FORMAT.format("95%%")),
        ("1e2%", TARGET_FORMAT.format("1e2%")),
        # the end anchor also matches before a final line feed; the number then cannot be read
        ("95%\n", "无法解析evaluations[qps].info.target的数值部分: '95%\n'"),
        ("absent", "缺少必需字段: 'evaluations-info-target'"),
    ],
)
def test_target_faults_are_followed_by_the_summary(config, errors, target, line):
    assert validate(config, [qps(target=target)]) is False
    assert errors() == [line, "evaluations[qps].info.target 检查失败"]


@pytest.mark.parametrize(
    "info, lines",
    [
        ({"get": "absent"}, ["缺少必需字段: 'evaluations-info-get'", "evaluations[qps].info.get 检查失败"]),
        ({"get": 5}, ["evaluations[qps].info.get应为字符串，当前类型: int", "evaluations[qps].info.get 检查失败"]),
        ({"get": "x $(y)"}, ["evaluations[qps].info.get" + SHELL, "evaluations[qps].info.get 检查失败"]),
        ({"type": "absent"}, ["缺少必需字段: 'evaluations-info-type'", "evaluations[qps].info.type 检查失败"]),
        (
            {"type": "Positive"},
            ["evaluations[qps].info.type建议为'negative'或'positive'，当前值: Positive", "evaluations[qps].info.type 检查失败"],
        ),
        (
            {"type": None},
            ["evaluations[qps].info.type建议为'negative'或'positive'，当前值: None", "evaluations[qps].info.type 检查失败"],
        ),
        # get is checked before target: only the first fault is told
        ({"get": "a;b", "target": "bad"}, ["evaluations[qps].info.get" + SHELL, "evaluations[qps].info.get 检查失败"]),
    ],
)
def test_info_faults(config, errors, info, lines):
    assert validate(config, [qps(**info)]) is False
    assert errors() == lines


def test_an_empty_get_command_passes(config, errors):
    assert validate(config, [qps(get="")]) is True


@pytest.mark.parametrize(
    "evaluation, line",
    [
        ({"info": qps()["info"]}, "缺少必需字段: 'evaluations-name'"),
        ({"name": 5, "info": qps()["info"]}, "evaluations.name应为字符串，当前类型: int"),
        ({"name": "qps"}, "缺少必需字段: 'evaluations-info'"),
        ({"name": "qps", "info": None}, "evaluations[qps].info应为字典，当前类型: NoneType"),
        ({"name": "qps", "info": ["get"]}, "evaluations[qps].info应为字典，当前类型: list"),
        ({"name": "qps", "info": "get"}, "evaluations[qps].info应为字典，当前类型: str"),
    ],
)
def test_evaluation_level_faults_have_no_summary(config, errors, evaluation, line):
    assert validate(config, [evaluation]) is False
    assert errors() == [line]


def test_an_empty_name_is_a_name(config, errors):
    evaluation = qps(type="up")
    evaluation["name"] = ""
    assert validate(config, [evaluation]) is False
    assert errors()[-1] == "evaluations[].info.type 检查失败"


@pytest.mark.parametrize(
    "evaluations, line",
    [
        ("absent", "缺少必需字段: 'evaluations'"),
        ({"name": "qps"}, "evaluations应为列表，当前类型: dict"),
        (None, "evaluations应为列表，当前类型: NoneType"),
        ([], "evaluations列表为空"),
    ],
)
def test_list_level_faults(config, errors, evaluations, line):
    if evaluations == "absent":
        del config["evaluations"]
        assert Vetplan().is_valid(config) is False
    else:
        assert validate(config, evaluations) is False
    assert errors() == [line]


def test_stray_elements_are_reported_and_skipped(config, errors):
    assert validate(config, ["qps", qps(), 7]) is True
    assert errors() == ["evaluations[0]应为字典，当前类型: str", "evaluations[2]应为字典，当前类型: int"]


def test_every_evaluation_is_checked_in_order(config, errors):
    second = qps(type="sideways")
    second["name"] = "lat"
    assert validate(config, [qps(), second, qps(get=3)]) is False
    assert errors() == [
        "evaluations[lat].info.type建议为'negative'或'positive'，当前值: sideways",
        "evaluations[lat].info.type 检查失败",
    ]

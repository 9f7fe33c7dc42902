import pytest

from knobsmith.vetplan import Vetplan

SHELL = "包含非法字符，禁止使用 shell 元字符: re.compile('[;!`\\\\n]|&&|\\\\|\\\\||\\\\$\\\\(|\\\\$\\\\{')"


def p1(**info):
    """An object named p1: a discrete int by default, changed by `info` ("absent" removes a key)."""
    base = {
        "desc": "d",
        "get": "cat p1",
        "set": "echo $value > p1",
        "needrestart": "false",
        "type": "discrete",
        "dtype": "int",
        "scope": [1, 10],
        "step": 1,
        "items": [],
    }
    base.update(info)
    return {"name": "p1", "info": {key: value for key, value in base.items() if value != "absent"}}


def validate(config, *objects):
    config["object"] = list(objects)
    return Vetplan().is_valid(config)


def summary(field):
    return f"object[p1].info.{field} 检查失败"


@pytest.mark.parametrize(
    "info",
    [
        {},
        {"desc": None},
        {"desc": ""},
        {"desc": 0},
        {"get": "", "set": ""},
        {"step": 0.5, "dtype": "float"},
        {"step": True},
        {"step": -3},
        {"items": [1, "two", None]},
        {"type": "discrete", "dtype": "string", "options": ["on", "off"], "scope": [1, 2, 3], "items": "x"},
        {"type": "continuous", "dtype": "int", "step": "ignored", "items": "ignored", "options": "ignored"},
        {"type": "continuous", "dtype": "string", "scope": [0, 1], "options": ["a"]},
        {"scope": ["a", "b"]},
        {"scope": [1.5, 2]},
        {"needrestart": "false", "extra": "ignored"},
    ],
)
def test_accepted_objects(config, errors, info):
    assert validate(config, p1(**info)) is True
    assert errors() == []


@pytest.mark.parametrize(
    "info, field, line",
    [
        ({"desc": "absent"}, "desc", "缺少必需字段: 'object-desc'"),
        ({"desc": 5}, "desc", "objects[p1].desc应为字符串，当前类型: int"),
        ({"desc": ["x"]}, "desc", "objects[p1].desc应为字符串，当前类型: list"),
        ({"get": "absent"}, "get", "缺少必需字段: 'object-get'"),
        ({"get": 1}, "get", "objects[p1].get应为字符串，当前类型: int"),
        ({"get": "cat $(ls)"}, "get", "objects[p1].get" + SHELL),
        ({"set": "absent"}, "set", "缺少必需字段: 'object-set'"),
        ({"set": None}, "set", "objects[p1].set应为字符串，当前类型: NoneType"),
        ({"set": "a; b"}, "set", "objects[p1].set" + SHELL),
        ({"needrestart": "absent"}, "needrestart", "缺少必需字段: 'object-needrestart'"),
        ({"needrestart": True}, "needrestart", "objects[p1].needrestart应为字符串，当前类型: bool"),
        ({"needrestart": "yes"}, "needrestart", "objects[p1].info.needrestart为'true'或'false'，当前值: yes"),
        ({"needrestart": "True"}, "needrestart", "objects[p1].info.needrestart为'true'或'false'，当前值: True"),
        ({"type": "absent"}, "type", "缺少必需字段: 'object-info-type'"),
        ({"type": "Discrete"}, "type", "object[p1].info.type建议为'continuous'或'discrete'，当前值: Discrete"),
        ({"dtype": "absent"}, "dtype", "缺少必需字段: 'object-info-dtype'"),
        ({"dtype": "bool"}, "dtype", "object[p1].info.dtype建议为'int'或'float'或'string'，当前值: bool"),
        ({"scope": "absent"}, "scope", "object[p1].info.type为discrete类型但缺少scope字段"),
        ({"type": "continuous", "scope": "absent"}, "scope", "object[p1].info.type为continuous类型但缺少scope字段"),
        (
            {"type": "continuous", "dtype": "string", "options": ["a"], "scope": "absent"},
            "scope",
            "object[p1].info.type为continuous类型但缺少scope字段",
        ),
        ({"scope": "1-10"}, "scope", "object[p1].info.scope应为列表，当前类型: str"),
        ({"scope": [1]}, "scope", "object[p1].info.scope应包含两个值[最小值, 最大值]，当前长度: 1"),
        ({"scope": [1, 2, 3]}, "scope", "object[p1].info.scope应包含两个值[最小值, 最大值]，当前长度: 3"),
        ({"scope": [5, 5]}, "scope", "object[p1].info.scope最小值应小于最大值，当前: [5, 5]"),
        ({"scope": [10, 5]}, "scope", "object[p1].info.scope最小值应小于最大值，当前: [10, 5]"),
        ({"scope": ["a", 5]}, "scope", "object[p1].info.scope最小值和最大值无法比较，当前: [a, 5]"),
        ({"scope": [None, 5]}, "scope", "object[p1].info.scope最小值和最大值无法比较，当前: [None, 5]"),
        ({"step": "absent"}, "step", "object[p1].info.dtype为int/float类型但缺少step字段"),
        ({"step": "0.5"}, "step", "object[p1].info.step建议为'int'或'float'，当前值: 0.5,类型:<class 'str'>"),
        ({"step": None}, "step", "object[p1].info.step建议为'int'或'float'，当前值: None,类型:<class 'NoneType'>"),
        ({"items": "absent"}, "items", "object[p1].info.dtype为int/float类型但缺少items字段"),
        ({"items": {"a": 1}}, "items", "objects[p1].info.items应为列表，当前类型: dict"),
        ({"dtype": "string", "options": "absent"}, "options", "object[p1].info.dtype为string类型但缺少options字段"),
        ({"dtype": "string", "options": "on"}, "options", "object[p1].info.options应为列表，当前类型: str"),
        ({"dtype": "string", "options": []}, "options", "object[p1].info.options列表不能为空"),
        ({"dtype": "string", "options": ["on", 1]}, "options", "object[p1].info.options应为字符串列表"),
        ({"dtype": "string", "options": ["on", "a;b"]}, "options", "object[p1].options" + SHELL),
        # the first faulty field of the table hides every later one
        ({"desc": 5, "type": "Discrete"}, "desc", "objects[p1].desc应为字符串，当前类型: int"),
        ({"type": "x", "scope": "absent"}, "type", "object[p1].info.type建议为'continuous'或'discrete'，当前值: x"),
    ],
)
def test_field_faults_give_the_field_line_then_the_summary(config, errors, info, field, line):
    assert validate(config, p1(**info)) is False
    assert errors() == [line, summary(field)]


@pytest.mark.parametrize(
    "objects, line",
    [
        ([p1(), {"info": p1()["info"]}], "缺少必需字段: 'name-1'"),
        ([p1(), p1(), {"name": "p3"}], "缺少必需字段: 'info-2'"),
        ([{"name": 42, "info": p1()["info"]}], "objects.name应为字符串，当前类型: int"),
        (["p1"], "object[0]应为字典，当前类型: str"),
        ([p1(), None], "object[1]应为字典，当前类型: NoneType"),
        ([{"name": "p1", "info": None}], "objects[p1].info应为字典，当前类型: NoneType"),
        ([{"name": "p1", "info": "desc"}], "objects[p1].info应为字典，当前类型: str"),
    ],
)
def test_object_level_faults_have_no_summary(config, errors, objects, line):
    assert validate(config, *objects) is False
    assert errors() == [line]


@pytest.mark.parametrize("objects, name", [(None, "NoneType"), ({"name": "p1"}, "dict"), ("p1", "str"), (3, "int")])
def test_object_must_be_a_list(config, errors, objects, name):
    config["object"] = objects
    assert Vetplan().is_valid(config) is False
    assert errors() == [f"object应为列表，当前类型: {name}"]


def test_missing_object_list(config, errors):
    del config["object"]
    assert Vetplan().is_valid(config) is False
    assert errors() == ["缺少必需字段: 'object'"]


def test_empty_object_list_passes_and_an_empty_name_is_a_name(config, errors):
    assert validate(config) is True
    nameless = p1()
    nameless["name"] = ""
    assert validate(config, nameless) is True
    assert errors() == []


def test_restart_flag_is_raised_even_when_a_later_field_fails(config, errors):
    assert validate(config, p1(needrestart="true", type="bad")) is False
    assert Vetplan.need_restart is True
    assert errors() == ["object[p1].info.type建议为'continuous'或'discrete'，当前值: bad", summary("type")]


def test_restart_is_checked_after_every_object_has_passed(config, errors):
    second = p1(needrestart="false")
    assert validate(config, p1(needrestart="true"), second) is False
    assert errors() == ["startworkload必须存在,因为参数需要restart以生效"]


@pytest.mark.parametrize(
    "method, info",
    [
        ("check_objects_info_scope", {"dtype": "int"}),
        ("check_objects_info_step", {"type": "discrete"}),
        ("check_objects_info_options", {"type": "discrete"}),
    ],
)
def test_value_space_checks_alone_need_type_and_dtype(method, info):
    with pytest.raises(KeyError):
        getattr(Vetplan, method)({"name": "p1", "info": info})

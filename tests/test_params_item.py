import pytest

from knobsmith.recommend import ParamsItem

KEYS = ["name", "desc", "get", "set", "needrestart", "type", "dtype", "scope", "step", "items", "options",
        "level", "version", "adapt"]


def entry(**changes):
    base = {
        "name": "vm.swappiness", "desc": "swap eagerness", "get": "sysctl -n vm.swappiness",
        "set": "sysctl -w vm.swappiness=$value", "needrestart": "false", "type": "discrete", "dtype": "int",
        "scope": [0, 100], "step": 10, "items": [], "options": [], "level": "Importance", "version": "",
        "adapt": [],
    }
    base.update(changes)
    return base


@pytest.mark.parametrize("key", KEYS)
def test_every_key_is_required(key):
    incomplete = entry()
    del incomplete[key]
    with pytest.raises(KeyError):
        ParamsItem(incomplete)


def test_the_constructor_stores_without_checking():
    item = ParamsItem(entry(step=0, type="some word", extra="ignored"))
    assert (item.step, item.type, item.is_del) == (0, "some word", False)
    assert not hasattr(item, "_extra")


@pytest.mark.parametrize(
    "field, value, error, message",
    [
        ("step", 0, ValueError, "step必须大于0"),
        ("step", -1, ValueError, "step必须大于0"),
        ("step", "1", TypeError, "step必须是数值类型"),
        ("step", None, TypeError, "step必须是数值类型"),
        ("needrestart", "yes", TypeError, "needrestart必须是'true'或 'false'"),
        ("type", "Discrete", ValueError, "type必须是有效的参数类型: ['discrete', 'continuous']"),
        ("dtype", "bool", ValueError, "dtype必须是有效的类型: ['string', 'int', 'float']"),
        ("level", "importance", ValueError, "level必须是有效的级别: ['Importance', 'medium', 'low']"),
        ("desc", 5, TypeError, "Argument 'value' has incorrect type (expected str, got int)"),
        ("version", None, TypeError, "Argument 'value' has incorrect type (expected str, got NoneType)"),
        ("needrestart", True, TypeError, "Argument 'value' has incorrect type (expected str, got bool)"),
        ("scope", (1, 2), TypeError, "Argument 'value' has incorrect type (expected list, got tuple)"),
        ("items", None, TypeError, "Argument 'value' has incorrect type (expected list, got NoneType)"),
        ("adapt", "disk", TypeError, "Argument 'value' has incorrect type (expected list, got str)"),
    ],
)
def test_setters_refuse_with_their_messages(field, value, error, message):
    item = ParamsItem(entry())
    before = getattr(item, f"_{field}")
    with pytest.raises(error) as raised:
        setattr(item, field, value)
    assert str(raised.value) == message
    assert getattr(item, f"_{field}") == before


class Word(str):
    pass


class Items(list):
    pass


@pytest.mark.parametrize("field, value", [("get", Word("cat x")), ("options", Items(["a"]))])
def test_setters_want_exactly_str_and_list(field, value):
    with pytest.raises(TypeError):
        setattr(ParamsItem(entry()), field, value)


@pytest.mark.parametrize(
    "field, value",
    [("step", True), ("step", 0.5), ("needrestart", "true"), ("type", "continuous"), ("dtype", "string"),
     ("level", "low"), ("is_del", "anything"), ("desc", ""), ("scope", [])],
)
def test_setters_accept(field, value):
    item = ParamsItem(entry())
    setattr(item, field, value)
    assert getattr(item, field) == value


def test_list_fields_hand_out_copies_except_scope():
    item = ParamsItem(entry(items=[1], options=["a"], adapt=["disk"]))
    for field in ("items", "options", "adapt"):
        getattr(item, field).append("extra")
    item.scope.append(200)
    assert (item.items, item.options, item.adapt, item.scope) == ([1], ["a"], ["disk"], [0, 100, 200])
    given = ["x"]
    item.options = given
    given.append("y")
    assert item.options == ["x"]


def test_add_and_remove_change_the_stored_lists():
    item = ParamsItem(entry(items=[1, 2, 1], options=["a"]))
    item.add_item(3)
    item.add_item(3)
    item.remove_item(1)
    item.remove_item(99)
    item.add_option("b")
    item.add_option("a")
    item.remove_option("a")
    item.remove_option("zzz")
    assert (item.items, item.options) == ([2, 1, 3], ["b"])


def test_deletion_marks():
    item = ParamsItem(entry())
    item.mark_as_deleted()
    assert item.is_del is True
    item.mark_as_active()
    assert item.is_del is False


def test_name_is_read_only():
    item = ParamsItem(entry())
    with pytest.raises(AttributeError):
        item.name = "other"
    assert item.name == "vm.swappiness"


@pytest.mark.parametrize(
    "changes, field, error",
    [
        ({"needrestart": False}, "needrestart", TypeError),
        ({"name": 5}, "name", TypeError),
        ({"scope": "0-100"}, "scope", TypeError),
        ({"items": {"a": 1}}, "items", TypeError),
        ({"items": None}, "items", AttributeError),
        ({"adapt": "disk"}, "adapt", AttributeError),
    ],
)
def test_getters_check_what_the_constructor_let_through(changes, field, error):
    item = ParamsItem(entry(**changes))
    with pytest.raises(error):
        getattr(item, field)


def test_null_text_and_list_fields_read_as_null():
    item = ParamsItem(entry(desc=None, scope=None))
    assert item.desc is None and item.scope is None


def test_text_form():
    item = ParamsItem(entry(adapt=["disk"], items=[1, 2]))
    expected = (
        "(name='vm.swappiness',\n desc='swap eagerness', \nget='sysctl -n vm.swappiness',\n"
        " set='sysctl -w vm.swappiness=$value', \nneedrestart=false, \ntype='discrete', \ndtype='int',\n"
        " scope='[0, 100]',\n step=10, \nitems=[1, 2], \noptions=[],\n level='Importance', \nversion='',\n"
        " adapt='['disk']')"
    )
    assert str(item) == expected
    assert repr(item) == expected


@pytest.mark.parametrize(
    "name, getter_doc, setter_doc",
    [
        ("name", "获取参数名称（只读）", None),
        ("desc", "获取参数描述", "设置参数描述"),
        ("get", "获取获取脚本", "设置获取脚本"),
        ("set", "获取设置脚本", "设置设置脚本"),
        ("needrestart", "获取是否需要重启", "设置是否需要重启"),
        ("type", "获取参数类型", "设置参数类型"),
        ("dtype", "获取数据类型", "设置数据类型"),
        ("scope", "获取作用域", "设置作用域"),
        ("step", "获取步进值", "设置步进值"),
        ("items", "获取可选项列表", "设置可选项列表"),
        ("options", "获取枚举选项", "设置枚举选项"),
        ("level", "获取参数级别", "设置参数级别"),
        ("version", "获取版本要求", "设置版本要求"),
        ("adapt", "获取适配信息", "设置适配信息"),
        ("is_del", "获取是否删除标志", "设置是否删除标志"),
    ],
)
def test_property_help_texts(name, getter_doc, setter_doc):
    prop = vars(ParamsItem)[name]
    assert isinstance(prop, property)
    assert prop.__doc__ == getter_doc and prop.fget.__doc__ == getter_doc
    assert (prop.fset is None) if setter_doc is None else (prop.fset.__doc__ == setter_doc)


@pytest.mark.parametrize(
    "name, doc",
    [("add_item", "添加一个可选项"), ("remove_item", "移除一个可选项"), ("add_option", "设置单个选项"),
     ("remove_option", "获取单个选项"), ("mark_as_deleted", "标记为已删除"), ("mark_as_active", "标记为活跃")],
)
def test_method_help_texts(name, doc):
    assert getattr(ParamsItem, name).__doc__ == doc

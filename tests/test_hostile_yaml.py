"""Files and values built to exhaust the reader: refused with one line, never an exception."""

import os
import tempfile

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import knobsmith.loadplan as loadplan
import knobsmith.vetplan as vetplan
from knobsmith.loadplan import Cfg
from knobsmith.vetplan import Vetplan
from knobsmith.yaml_errors import yaml_position

DEPTH_LINE = "嵌套超过100层"


def depth_line(path):
    return (path if len(path) <= 200 else path[:200] + "...") + DEPTH_LINE


def laughs(levels):
    """Ten aliases per level: `levels` lines that stand for 10**levels values."""
    lines = ["a0: &a0 [x, x, x, x, x, x, x, x, x, x]"]
    lines += [f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 10)}]" for i in range(1, levels)]
    return "\n".join(lines) + "\n"


def nested_lists(levels):
    return "[" * levels + "]" * levels


def anchor_chain(length):
    return "a0: &a0 [x]\n" + "".join(f"a{i}: &a{i} [*a{i - 1}]\n" for i in range(1, length))


def nested(levels, leaf=1):
    value = leaf
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize("levels", [6, 7, 8])
def test_aliases_expanding_past_the_bound_are_a_yaml_error(write_config, errors, levels):
    path = write_config(laughs(levels))
    cfg = Cfg()
    skeleton = cfg.yml
    assert cfg.init(path) is False
    assert errors() == ["Yaml  error"]
    assert cfg.yml is skeleton
    assert yaml_position(path) is None  # the command line's second look is bounded too


def test_aliases_within_the_bound_load_the_same_values(write_config, config):
    text = yaml.safe_dump(config, sort_keys=False) + laughs(5)  # 10**5 values reached through aliases
    cfg = Cfg()
    assert cfg.init(write_config(text)) is True
    assert cfg.yml == yaml.load(text, Loader=yaml.FullLoader)
    assert cfg.yml["a4"][9] is cfg.yml["a3"]  # an alias is still the anchored value, not a copy


@pytest.mark.parametrize(
    "text, where",
    [
        (nested_lists(1000) + "\n", "[0][0][0]"),
        ("a: " + nested_lists(1000) + "\n", "a[0][0]"),
        ("a: " + "{b: " * 1000 + "1" + "}" * 1000 + "\n", "a.b.b.b"),
        (anchor_chain(1000), "a99[0]"),
        ("a: &a [*a]\n", "a[0][0]"),  # an anchor inside its own value: nested without end
    ],
    ids=["lists", "lists-under-a-key", "mappings", "anchor-chain", "recursive-anchor"],
)
def test_values_nested_too_deep_are_refused_with_the_place(write_config, errors, text, where):
    assert Cfg().init(write_config(text)) is False
    (line,) = errors()
    assert line.startswith(where) and line.endswith(DEPTH_LINE)
    assert len(line) <= 200 + len("...") + len(DEPTH_LINE)


@pytest.mark.parametrize("through", ["file", "validator"])
@pytest.mark.parametrize("levels, refused", [(99, False), (100, True)])
def test_the_bound_is_one_hundred_levels_counting_the_document(write_config, config, errors, through, levels, refused):
    config["extra"] = nested(levels)  # the document itself is the first level
    result = Cfg().init(write_config(config)) if through == "file" else Vetplan().is_valid(config)
    assert result is not refused
    assert errors() == ([depth_line("extra" + "[0]" * (levels - 1))] if refused else [])


def test_validator_walks_deep_cyclic_and_shared_values_without_raising(config, errors):
    deep = {}
    holder = deep
    for _ in range(100_000):
        holder["k"] = holder = {}
    cyclic = []
    cyclic.append(cyclic)
    shared = "x"
    for _ in range(60):  # 2**60 leaves once expanded, 60 lists in memory
        shared = [shared, shared]
    assert Vetplan().is_valid(deep) is False
    assert Vetplan().is_valid(cyclic) is False
    assert Vetplan().is_valid(nested(100_000)) is False
    config["object"][0]["info"]["scope"] = [shared, 1]
    assert Vetplan().is_valid(config) is False
    lines = errors()
    assert [line.endswith(DEPTH_LINE) for line in lines[:4]] == [True, True, True, False]
    assert lines[4] == "object[p1].info.scope 检查失败"
    assert lines[3].startswith("object[p1].info.scope最小值和最大值无法比较，当前: [[[[[[")
    assert lines[3].endswith("..., 1]") and len(lines[3]) < 300


@pytest.mark.parametrize(
    "target, shown",
    [("9" * 200 + "%x", "9" * 200 + "..."), ("9" * 199 + "x", "9" * 199 + "x")],
)
def test_long_values_are_cut_in_messages_short_ones_kept(config, errors, target, shown):
    config["evaluations"][0]["info"]["target"] = target
    assert Vetplan().is_valid(config) is False
    assert errors()[0] == f"evaluations[qps].info.target格式错误，应为'%'格式，如'95%'或'99.5%'，当前值: '{shown}'"


def test_an_integer_too_long_to_print_is_named_by_its_size(config, errors):
    config["iterations"] = -(10**5000)
    assert Vetplan().is_valid(config) is False
    assert errors() == ["iterations应大于0，当前值: <int of 16610 bits>"]


# ---------------------------------------------------------------------------------------------
# Property: any YAML text of anchors and aliases, any configuration: an answer, never a raise.

KEYS = ["iterations", "timeout", "benchmark", "evaluations", "object", "name", "info", "scope", "target", "x"]
SCALARS = ["1", "-1", "0x0a", "95%", "x", "''", "null", "true", "'a;b'", "[]", "{}", "9" * 300]


@st.composite
def anchored_documents(draw):
    """A mapping whose values are anchors built from scalars and aliases of earlier anchors."""
    lines, anchors = [], []
    for index in range(draw(st.integers(1, 12))):
        parts = []
        for _ in range(draw(st.integers(0, 12))):
            if anchors and draw(st.booleans()):
                parts.append(f"*{draw(st.sampled_from(anchors))}")
            else:
                parts.append(draw(st.sampled_from(SCALARS)))
        depth = draw(st.sampled_from([0, 0, 0, 1, 3, 99, 100, 101, 150]))
        if draw(st.booleans()):
            body = "[" + ", ".join(parts) + "]"
        else:
            body = "{" + ", ".join(f"{draw(st.sampled_from(KEYS))}{i}: {part}" for i, part in enumerate(parts)) + "}"
        body = "[" * depth + body + "]" * depth
        anchor = f"n{index}"
        lines.append(f"{draw(st.sampled_from(KEYS))}{index}: &{anchor} {body}")
        anchors.append(anchor)
    if draw(st.booleans()):  # an anchor named inside its own value
        lines.append("self: &self [1, *self]")
    return "\n".join(lines) + "\n"


def recording(run):
    saved = loadplan.Logger, vetplan.Logger

    class Lines:
        def error(self, message):
            assert isinstance(message, str) and len(message) < 2000

    loadplan.Logger = vetplan.Logger = Lines
    try:
        return run()
    finally:
        loadplan.Logger, vetplan.Logger = saved


# The values handed to the validator directly: the same as the full loader's, read by libyaml
# where it is present (the pure-Python parser would double the cost of a case).
FAST_LOADER = getattr(yaml, "CFullLoader", yaml.FullLoader)

# A case costs some 25 ms here (a file written, loaded and validated, then validated again as
# the unbounded loader reads it): 4,000 cases keep the slow suite near two minutes. Set
# KNOBSMITH_HOSTILE_EXAMPLES for a longer run (100,000 cases take some 45 minutes).
EXAMPLES = int(os.environ.get("KNOBSMITH_HOSTILE_EXAMPLES", "4000"))


@pytest.mark.slow
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=anchored_documents())
def test_any_anchored_document_is_answered_without_raising(text):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "hostile.yaml")
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(text)
        assert recording(lambda: Cfg().init(path)) in (True, False)
    try:
        value = yaml.load(text, Loader=FAST_LOADER)
    except RecursionError:
        return  # the unbounded loader's own limit; the reader's loader stops earlier
    assert recording(lambda: Vetplan().is_valid(value)) in (True, False)

"""Random configurations around a valid one: the validator always answers, and never silently no."""

import copy
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

KEYS = ["iterations", "timeout", "benchmark", "startworkload", "stopworkload", "evaluations", "object",
        "name", "info", "get", "set", "type", "target", "desc", "needrestart", "dtype", "scope", "step",
        "items", "options"]
WORDS = ["true", "false", "discrete", "continuous", "int", "float", "string", "positive", "negative",
         "95%", "0%", "a;b", "$(x)", "", " "]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 2**70), st.floats(), st.text(max_size=6), st.sampled_from(WORDS)
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=3), inner, max_size=4)
    ),
    max_leaves=8,
)


def paths(node, prefix=()):
    yield prefix
    children = node.items() if isinstance(node, dict) else enumerate(node) if isinstance(node, list) else ()
    for key, child in children:
        yield from paths(child, (*prefix, key))


def lookup(node, path):
    for step in path:
        node = node[step]
    return node


@st.composite
def configurations(draw, base):
    config = copy.deepcopy(base)
    config["object"].append(copy.deepcopy(config["object"][0]))
    config["object"][1]["info"]["needrestart"] = draw(st.sampled_from(["true", "false"]))
    for _ in range(draw(st.integers(1, 4))):
        every = [path for path in paths(config) if path]
        if not every:
            break
        leaves = [path for path in every if not isinstance(lookup(config, path), (dict, list))] or every
        # Mostly single fields, where each check looks; sometimes whole branches.
        path = draw(st.sampled_from(leaves) | st.sampled_from(leaves) | st.sampled_from(every))
        *parents, last = path
        holder = config
        for step in parents:
            holder = holder[step]
        action = draw(st.sampled_from(["replace", "delete", "append"]))
        if action == "delete":
            del holder[last]
        elif action == "append" and isinstance(holder[last], list):
            holder[last].append(draw(values))
        else:
            holder[last] = draw(scalars | values)
    return config


class RecordingLogger:
    lines: list = []

    def error(self, message):
        assert isinstance(message, str)
        RecordingLogger.lines.append(message)


def run_recording(run):
    """Runs `run` with the loader's and the validator's lines recorded; returns (result, lines)."""
    saved = loadplan.Logger, vetplan.Logger
    loadplan.Logger = vetplan.Logger = RecordingLogger
    RecordingLogger.lines = []
    try:
        return run(), RecordingLogger.lines
    finally:
        loadplan.Logger, vetplan.Logger = saved


# The base configuration is copied before every change, so sharing the fixture is safe.
SHARED_FIXTURE = [HealthCheck.function_scoped_fixture, HealthCheck.too_slow]


@settings(max_examples=600, deadline=None, suppress_health_check=SHARED_FIXTURE)
@given(data=st.data())
def test_validator_answers_a_boolean_and_explains_every_no(config, data):
    candidate = data.draw(configurations(config))
    result, lines = run_recording(lambda: Vetplan().is_valid(candidate))
    assert isinstance(result, bool)
    assert result or lines


@settings(max_examples=200, deadline=None, suppress_health_check=SHARED_FIXTURE)
@given(data=st.data())
def test_loading_any_yaml_document_answers_a_boolean(config, data):
    candidate = data.draw(configurations(config))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "random.yaml")
        with open(path, "w", encoding="utf-8") as stream:
            yaml.dump(candidate, stream, allow_unicode=True)
        result, lines = run_recording(lambda: Cfg().init(path))
    assert isinstance(result, bool)
    assert result or lines


# ---------------------------------------------------------------------------------------------
# The compiled fast path answers "valid" on its own and leaves everything else to the checks: with
# a check substituted (which turns the fast path off), every answer, line and flag is the same.


def exact_path(monkeypatch):
    """Turns the fast path off the way a host does: by substituting one of the checks."""
    original = Vetplan.check_exists
    monkeypatch.setattr(Vetplan, "check_exists", staticmethod(lambda option, cfg: original(option, cfg)))


def outcome(candidate):
    Vetplan.need_restart = "unset"
    result, lines = run_recording(lambda: Vetplan().is_valid(candidate))
    return result, list(lines), Vetplan.need_restart


@settings(max_examples=1000, deadline=None, suppress_health_check=SHARED_FIXTURE)
@given(data=st.data())
def test_the_fast_path_agrees_with_the_checks(config, data):
    candidate = data.draw(configurations(config))
    fast = outcome(candidate)
    with pytest.MonkeyPatch.context() as patch:
        exact_path(patch)
        assert outcome(candidate) == fast


def deep(levels):
    value = 1
    for _ in range(levels):
        value = [value]
    return value


class Subdict(dict):
    pass


class Substr(str):
    pass


def needs_restart(config):
    config["object"][0]["info"]["needrestart"] = "true"
    config["startworkload"] = ""


@pytest.mark.parametrize(
    "change",
    [
        lambda c: c["evaluations"].insert(0, "stray"),  # reported and skipped: valid, with a line
        lambda c: c["evaluations"].clear(),
        lambda c: c["evaluations"][0]["info"].update(target="９５%"),  # digits outside ASCII pass
        lambda c: c["evaluations"][0]["info"].update(target="95%\n"),
        lambda c: c["evaluations"][0]["info"].update(target="0.0%"),
        lambda c: c.update(extra=deep(99)),
        lambda c: c.update(extra=deep(100)),
        lambda c: c["object"][0]["info"].update(note=deep(96)),
        lambda c: c["object"][0]["info"].update(note=deep(97)),
        lambda c: c["object"][0]["info"].update(items=[deep(95)]),
        lambda c: c["object"][0]["info"].update(items=[deep(96)]),
        lambda c: c["object"][0].update(name=Substr("p1")),
        lambda c: c["object"][0].update(info=Subdict(c["object"][0]["info"])),
        lambda c: c["object"][0]["info"].update(scope=[1, "9"]),
        lambda c: c["object"][0]["info"].update(scope=[float("nan"), 5]),
        lambda c: c["object"][0]["info"].update(desc=0),
        lambda c: c["object"][0]["info"].update(desc=[1]),
        lambda c: c.update(timeout=[]),
        lambda c: c.update(benchmark="\u3000"),  # blank to str.strip()
        lambda c: c.update(benchmark="sh b.sh || true"),
        needs_restart,
    ],
)
def test_the_fast_path_leaves_what_it_does_not_handle_to_the_checks(config, monkeypatch, change):
    change(config)
    fast = outcome(config)
    exact_path(monkeypatch)
    assert outcome(config) == fast


def test_a_cfg_that_is_a_dict_subclass_or_a_shared_deep_value(config, monkeypatch):
    shared = "x"
    for _ in range(40):  # 2**40 leaves once expanded
        shared = [shared, shared]
    config["object"][0]["info"]["items"] = [shared]
    candidates = [Subdict(config), config]
    fast = [outcome(candidate) for candidate in candidates]
    assert fast[1][0] is True
    exact_path(monkeypatch)
    assert [outcome(candidate) for candidate in candidates] == fast


def test_a_valid_configuration_is_validated_without_making_objects(config, monkeypatch):
    import tracemalloc

    config["object"] = [copy.deepcopy(config["object"][0]) for _ in range(500)]

    def allocations():
        tracemalloc.start()
        try:
            assert Vetplan().is_valid(config) is True
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    fast = allocations()
    exact_path(monkeypatch)
    assert fast * 20 < allocations()


POOL = [None, True, False, 0, 1, -1, 2**70, 0.0, 0.5, float("nan"), "", " ", "\u3000", "x", "a;b", "$(x)", "a||b",
        "a|b", "${x}", "!", "`", "a\nb", "true", "false", "True", "discrete", "continuous", "int", "float", "string",
        "positive", "negative", "95%", "0%", "９５%", "95%\n", [], [1], [1, 2], [2, 1], [1, "9"], ["a", "b"],
        ["a;b"], {}, {"k": 1}, Substr("x"), deep(120)]


def test_every_field_set_to_every_awkward_value_gets_the_same_answer_both_ways(config):
    config["object"].append({"name": "s", "info": {"desc": "", "get": "cat s", "set": "echo $value > s",
                                                   "needrestart": "false", "type": "discrete", "dtype": "string",
                                                   "options": ["a", "b"]}})
    config["object"].append({"name": "c", "info": {"desc": "", "get": "cat c", "set": "echo $value > c",
                                                   "needrestart": "false", "type": "continuous",
                                                   "dtype": "float", "scope": [0.1, 0.9]}})
    fields = [path for path in paths(config) if path]
    differences = []
    for path in fields:
        *parents, last = path
        holder = lookup(config, parents)
        kept = holder[last]
        for value in POOL:
            holder[last] = value
            fast = outcome(config)
            with pytest.MonkeyPatch.context() as patch:
                exact_path(patch)
                exact = outcome(config)
            if fast != exact:
                differences.append((path, value, fast, exact))
        holder[last] = kept
    assert differences == []
    assert len(fields) * len(POOL) > 2000

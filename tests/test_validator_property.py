"""Random configurations around a valid one: the validator always answers, and never silently no."""

import copy
import os
import tempfile

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

"""The reader takes libyaml's events where it may: the same values, messages and lines as the pure parser."""

import datetime
import math
import os
import pathlib
import tempfile

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import knobsmith.loadplan as loadplan
import knobsmith.vetplan as vetplan
import knobsmith.yaml_bounds as yaml_bounds
from knobsmith.loadplan import Cfg

pytestmark = pytest.mark.skipif(yaml_bounds.libyaml_bounded_loader is None, reason="PyYAML without libyaml")

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def shape(value, seen=None):
    """`value` as nested tuples naming every type, an alias shown as the place it repeats."""
    seen = {} if seen is None else seen
    if isinstance(value, (list, tuple, dict, set)):
        if id(value) in seen:
            return ("same as", seen[id(value)])
        seen[id(value)] = len(seen)
        if isinstance(value, dict):
            return ("dict", [(shape(key, seen), shape(item, seen)) for key, item in value.items()])
        if isinstance(value, set):
            return ("set", sorted(repr(shape(item, seen)) for item in value))
        return (type(value).__name__, [shape(item, seen) for item in value])
    if isinstance(value, float) and math.isnan(value):
        return ("float", "nan")
    return (type(value).__name__, value)


def loaders_used(monkeypatch):
    """Which parsers the reader starts, in order: "libyaml" or "pure"."""
    used = []
    for cls, name in ((yaml_bounds._LibyamlFullLoader, "libyaml"), (yaml.reader.Reader, "pure")):

        def spy(self, stream, init=cls.__init__, name=name):
            used.append(name)
            init(self, stream)

        monkeypatch.setattr(cls, "__init__", spy)
    return used


def read(path):
    """(answer, value, logged lines) of Cfg().init(path), the lines recorded by substituted loggers."""
    lines = []

    class Lines:
        def error(self, message):
            lines.append(message)

    saved = loadplan.Logger, vetplan.Logger
    loadplan.Logger = vetplan.Logger = Lines
    try:
        cfg = Cfg()
        cfg.__init__()
        answer = cfg.init(path)
        return answer, shape(cfg.yml), lines
    finally:
        loadplan.Logger, vetplan.Logger = saved


def read_pure(path, monkeypatch):
    """What the reader answers when its loader is substituted: the pure parser alone."""
    with monkeypatch.context() as patch:
        patch.setattr(loadplan, "bounded_loader", lambda stream: yaml_bounds.bounded_loader(stream))
        return read(path)


def laughs(levels):
    lines = ["a0: &a0 [x, x, x, x, x, x, x, x, x, x]"]
    lines += [f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 10)}]" for i in range(1, levels)]
    return "\n".join(lines) + "\n"


VALID_CONFIG = {
    "iterations": 10, "timeout": 600, "benchmark": "sh bench.sh", "startworkload": "", "stopworkload": "",
    "evaluations": [{"name": "qps", "info": {"get": "cat qps.txt", "type": "positive", "target": "95%"}}],
    "object": [{"name": "p1", "info": {"desc": "first parameter", "get": "cat p1", "set": "echo $value > p1",
                                       "needrestart": "false", "type": "discrete", "dtype": "int",
                                       "scope": [1, 100], "step": 1, "items": []}}],
}
VALID = yaml.safe_dump(VALID_CONFIG, sort_keys=False, allow_unicode=True)

# Text that libyaml takes: the fast path must read it, and read it as the pure parser does.
TAKEN = {
    "valid": VALID,
    "valid-flow": yaml.safe_dump(VALID_CONFIG, default_flow_style=True),
    "crlf-and-wide": VALID.replace("first parameter", "第一个参数").replace("\n", "\r\n"),
    "leading-bom": "\ufeff" + VALID,
    "yaml-11-numbers": VALID + "n: [0x0a, 010, '010', 1:30, 1e3, 1.5e3, .inf, -.inf, .nan, 1_000, +12, 0b101]\n",
    "yaml-11-words": VALID + "w: [yes, no, on, off, y, n, ~, null, Null, '', 2001-12-14, 2001-12-14t21:59:43.10-05:00]\n",
    "tags": VALID + "t: [!!python/tuple [1, [2]], !!set {a, b}, !!str 1, !!float 1, !!binary aGk=, !!omap [a: 1, b: 2],"
                    " !!pairs [a: 1, a: 2], !!python/complex 1+2j, !!python/none '', !!python/bytes aGk=]\n",
    "anchors": VALID + "a: &x {k: [1, 2]}\nb: *x\nc: {<<: *x, z: 3}\nd: [&y 1, *y, &z [*x, *x]]\n",
    "block-scalars": VALID + "s: |\n  one\n   two\n\n  three\nt: >-\n  folded\n  text\n\nu: |+2\n    kept\n\n",
    "quoted-escapes": VALID + 's: "tab\\there \\u00e9 \\x41 \\N \\_ \\L \\P \\e"\nq: \'it\'\'s\'\n',
    "many-aliases": VALID + laughs(5),
    "empty": "",
    "comment-only": "# only a comment\n",
    "empty-mapping": "{}\n",
    "false": "false\n",
    "invalid-configuration": VALID.replace("iterations: 10", "iterations: 0"),
    "nested-99": VALID + "deep: " + "[" * 98 + "]" * 98 + "\n",
    "nested-100": VALID + "deep: " + "[" * 99 + "]" * 99 + "\n",  # within the loader's bound, not the validator's
    "anchor-chain": "a0: &a0 [x]\n" + "".join(f"a{i}: &a{i} [*a{i - 1}]\n" for i in range(1, 300)),
    "recursive-anchor": "a: &a [1, *a]\n",
    **{path.name: path.read_text(encoding="utf-8") for path in sorted(EXAMPLES.glob("*.yaml"))},
}

# Text refused somewhere (libyaml, the bounds or the constructors): the pure parser has the last word.
REFUSED = {
    "unclosed-quote": 'iterations: "10\n',
    "indentation": "a: 1\n  b: 2\n",
    "structure": "- a\nb: c\n",
    "unsafe-tag": "x: !!python/object/apply:os.system [echo hi]\n",
    "custom-tag": "x: !custom 1\n",
    "bad-int-tag": "x: !!int abc\n",
    "two-documents": "a: 1\n---\nb: 2\n",
    "duplicate-anchor": "a: &x 1\nb: &x 2\n",
    "undefined-alias": "a: *nowhere\n",
    "control-character": "a: x\x01\n",
    "laughs": laughs(7),
    "nested-101": VALID + "deep: " + "[" * 100 + "]" * 100 + "\n",
    "nested-100000": "[" * 100_000 + "]" * 100_000,  # libyaml's own composer would overflow the stack
    "block-nested": "- " * 100_000 + "x\n",
}

# Text libyaml reads otherwise than the pure parser: the reader leaves it to the pure parser.
READ_OTHERWISE = {
    "trailing-tab": VALID + "x: 1\t\n",
    "tab-line": VALID.replace("timeout: 600\n", "timeout: 600\n\t\n"),
    "bare-tag": VALID + "x: !\n",
    "bare-tag-in-flow": VALID + "x: [!, 1]\n",
    "commented-indicator": VALID + "x: |#c\n  y\n",
    "inner-bom": VALID + "\ufeff\n",
    "question-mark-in-flow": VALID + "x: !!python/tuple [1? , 2]\n",
    "question-mark-in-set": VALID + "y: !!set {a, b? }\n",
}


def write(text, folder):
    path = os.path.join(folder, "config.yaml")
    with open(path, "w", encoding="utf-8", newline="") as stream:
        stream.write(text)
    return path


@pytest.mark.parametrize("text", list(TAKEN.values()), ids=list(TAKEN))
def test_text_libyaml_takes_is_read_by_it_as_the_pure_parser_reads_it(tmp_path, monkeypatch, text):
    path = write(text, tmp_path)
    used = loaders_used(monkeypatch)
    fast = read(path)
    assert used == ["libyaml"]
    assert fast == read_pure(path, monkeypatch)
    assert used == ["libyaml", "pure"]


@pytest.mark.parametrize("text", list(REFUSED.values()), ids=list(REFUSED))
def test_refused_text_is_read_again_by_the_pure_parser_for_its_words(tmp_path, monkeypatch, text):
    path = write(text, tmp_path)
    used = loaders_used(monkeypatch)
    fast = read(path)
    assert used == ["libyaml", "pure"]
    answer, _, lines = fast
    assert answer is False and len(lines) == 1
    assert fast == read_pure(path, monkeypatch)


@pytest.mark.parametrize("text", list(READ_OTHERWISE.values()), ids=list(READ_OTHERWISE))
def test_text_libyaml_reads_otherwise_goes_to_the_pure_parser_alone(tmp_path, monkeypatch, text):
    path = write(text, tmp_path)
    used = loaders_used(monkeypatch)
    fast = read(path)
    assert used == ["pure"]
    assert fast == read_pure(path, monkeypatch)


def test_the_errors_of_a_refused_text_are_the_pure_parsers(write_config, errors):
    text = 'a: "open\nb: 1\n'
    assert Cfg().init(write_config(text)) is False
    with pytest.raises(yaml.scanner.ScannerError) as pure:
        yaml.load(text, Loader=yaml.FullLoader)
    assert errors() == [f"Yaml format error: {pure.value}"]


def other_yaml_module(patch):
    module = type(yaml)("yaml")
    module.__dict__.update(yaml.__dict__)
    patch.setattr(loadplan, "yaml", module)


def wrapped_load(patch):
    real = yaml.load
    patch.setattr(yaml, "load", lambda stream, Loader: real(stream, Loader=Loader))


def other_full_loader(patch):
    patch.setattr(yaml, "FullLoader", type("FullLoader", (yaml.FullLoader,), {}))


def other_bounded_loader(patch):
    patch.setattr(loadplan, "bounded_loader", lambda stream: yaml_bounds.bounded_loader(stream))


@pytest.mark.parametrize("substitute", [other_yaml_module, wrapped_load, other_full_loader, other_bounded_loader])
def test_anything_substituted_leaves_libyaml_out(write_config, config, monkeypatch, substitute):
    path = write_config(config)
    used = loaders_used(monkeypatch)
    substitute(monkeypatch)
    assert Cfg().init(path) is True
    assert used == ["pure"]


# ---------------------------------------------------------------------------------------------
# Property: generated YAML, well formed or broken, is read alike both ways.

SCALARS = ["1", "-1", "0x0a", "010", "1:30", "1e3", "1.5", ".inf", ".nan", "~", "null", "yes", "off", "2001-12-14",
           "2001-12-14 21:59:43.10 -5", "'quoted'", "'it''s'", '"esc\\t\\u00e9\\x41"', "plain text", "名前", "''",
           "a#b", "-", "?", "x:y", "@", "%", "9" * 30]
TAGGED = ["!!python/tuple [1, 2]", "!!set {a, b}", "!!str 1", "!!float 2", "!!int '7'", "!!binary aGk=",
          "!!omap [a: 1]", "!!pairs [a: 1, a: 2]", "!!python/complex 1+2j", "!!null ''", "!!bool yes",
          "!!timestamp 2001-12-14", "!!python/name:os.path.join ''", "!!python/object/apply:os.getcwd []"]
NOISE = [":", "- ", "? ", "[", "]", "{", "}", ",", "&", "*", "!", "|", ">", "#", "'", '"', "\\", "%", "@", "`",
         "\n", "\n  ", "  ", "\t", "\x85", "\u2028", "\ufeff", "\x01", "---\n", "...\n", "<<: "]


@st.composite
def documents(draw):
    """A block mapping of flow values with anchors, aliases and tags, sometimes broken in a few places."""
    anchors = []

    def flow(depth):
        choice = draw(st.integers(0, 9 if depth < 3 else 5))
        if choice <= 2:
            text = draw(st.sampled_from(SCALARS))
        elif choice == 3:
            text = draw(st.sampled_from(TAGGED))
        elif choice <= 5:
            text = f"*{draw(st.sampled_from(anchors))}" if anchors else draw(st.sampled_from(SCALARS))
        elif choice <= 7:
            text = "[" + ", ".join(flow(depth + 1) for _ in range(draw(st.integers(0, 4)))) + "]"
        else:
            items = [f"k{index}: {flow(depth + 1)}" for index in range(draw(st.integers(0, 4)))]
            if anchors and draw(st.booleans()):
                items.append(f"<<: *{draw(st.sampled_from(anchors))}")
            text = "{" + ", ".join(items) + "}"
        if not text.startswith("*") and draw(st.integers(0, 3)) == 0:
            anchor = f"n{len(anchors)}"
            text = f"&{anchor} {text}"
            anchors.append(anchor)
        return text

    lines = [f"{draw(st.sampled_from(['a', 'b', 'iterations', 'object', '名']))}{index}: {flow(0)}"
             for index in range(draw(st.integers(1, 6)))]
    text = "\n".join(lines) + "\n"
    for _ in range(draw(st.sampled_from([0, 0, 1, 2, 3]))):
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from(NOISE)) + text[at:]
    return text


@settings(max_examples=int(os.environ.get("KNOBSMITH_LIBYAML_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(text=documents())
def test_generated_text_is_read_alike_both_ways(text):
    with tempfile.TemporaryDirectory() as folder, pytest.MonkeyPatch.context() as monkeypatch:
        path = write(text, folder)
        assert read(path) == read_pure(path, monkeypatch)


@settings(max_examples=300, deadline=None)
@given(text=documents())
def test_what_libyaml_reads_the_pure_parser_reads_alike(text):
    """Below the reader: where the libyaml loader gives a value, the pure loader gives the same one;
    where a constructor fails on it (a timestamp that is not one), it fails the same way."""

    def outcome(loader):
        try:
            return "value", shape(yaml.load(text, Loader=loader))
        except yaml.YAMLError:
            return "yaml error", None
        except RecursionError:
            return "recursion", None
        except Exception as error:  # noqa: BLE001 - the kind of failure is what is compared
            return "error", type(error)

    fast = outcome(yaml_bounds.libyaml_bounded_loader)
    if fast[0] in ("yaml error", "recursion"):
        return  # the reader reads such a text again with the pure parser
    assert fast == outcome(yaml_bounds.bounded_loader)


def test_a_python_name_reads_as_the_same_object():
    value = yaml.load("f: !!python/name:os.path.join ''\nd: 2001-12-14\n", Loader=yaml_bounds.libyaml_bounded_loader)
    assert value == {"f": os.path.join, "d": datetime.date(2001, 12, 14)}


@pytest.mark.parametrize(
    "text, error",
    [
        ("a: " + "[" * 100 + "]" * 100 + "\n", yaml_bounds.NestingError),
        ("a: " + "{b: " * 150 + "1" + "}" * 150 + "\n", yaml_bounds.NestingError),
        ("- " * 100_000 + "x\n", yaml_bounds.NestingError),
        (laughs(7), yaml_bounds.ExpansionError),
    ],
    ids=["lists", "mappings", "block", "laughs"],
)
def test_the_bounds_hold_alike_with_libyaml(text, error):
    raised = []
    for loader in (yaml_bounds.libyaml_bounded_loader, yaml_bounds.bounded_loader):
        with pytest.raises(error) as caught:
            yaml.load(text, Loader=loader)
        raised.append(str(caught.value))
    assert raised[0] == raised[1]

"""The database is read by the compiled JSON5 parser where it may: the same content as json5.loads gives."""

import math
import os
import types

import json5
import json5.lib
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import knobsmith.recommend as recommend
from common.config import Config
from knobsmith.recommend import Paramsdb

pytest.importorskip("pyjson5")


def shape(value):
    """`value` as nested tuples naming every type, keys in order."""
    if isinstance(value, dict):
        return ("dict", [(shape(key), shape(item)) for key, item in value.items()])
    if isinstance(value, list):
        return ("list", [shape(item) for item in value])
    if isinstance(value, float) and math.isnan(value):
        return ("float", "nan")
    return (type(value).__name__, value)


@pytest.fixture
def json5_calls(monkeypatch):
    """The texts json5 parsed: its loads hands them to json5.lib.parse, which is watched."""
    calls = []
    parse = json5.lib.parse

    def spy(s, **options):
        calls.append(s)
        return parse(s, **options)

    monkeypatch.setattr(json5.lib, "parse", spy)
    return calls


def loaded(text):
    """What Paramsdb.loaddb leaves: ("value", shape of the dataset) or ("error", the ValueError's text)."""
    db = Paramsdb()
    try:
        db.loaddb(text)
    except ValueError as error:
        return ("error", str(error))
    return ("value", shape(db.dataset))


def expected(text):
    try:
        return ("value", shape(json5.loads(text)))
    except ValueError as error:
        return ("error", str(error))


def shipped():
    with open(Config().get_inst_path() + "/knobsmith/paramsdb.json5.extu", encoding="utf-8") as stream:
        return stream.read()


TAKEN = {
    "numbers": "{a: 1, b: -0x1F, c: 1.5, d: .5, e: 5., f: 1e3, g: -0, h: +7, i: Infinity, j: -Infinity, k: NaN, "
               "l: 123456789012345678901234567890, m: 0.1}",
    "strings": "{a: 'single', \"b\": \"dou\\\"ble\", c: 'tab\\t\\x41\\u00e9\\v\\0', d: 'line\\\ncontinued', e: '名'}",
    "nesting": "// comment\n{a: [1, [2, [3, {b: []}]], {}], /* block */ c: {d: {e: null}}, f: [true, false,],}",
    "duplicate-keys": "{a: 1, b: 2, a: 3}",
    "key-order": "{z: 1, a: 2, m: 3, $x: 4, _y: 5}",
    "top-level-list": "[1, 2.0, 'x']",
    "underscores-in-names": "{C_01: 'sched_autogroup 1_0 .e3', _x: 1, // 1_0\n y_1: 2 /* .e3 */}",
}

# Text the two parsers read differently: json5 alone reads it.
READ_OTHERWISE = {
    "zero-then-digit": "{a: '\\01'}",
    "surrogate-pair": "{a: '\\ud83d\\ude00'}",
    "lone-surrogate": "{a: '\\uDC00'}",
    "underscore-in-number": "{a: 1_000}",
    "underscore-after-a-blank": "{a:\u00a01_0}",
    "fraction-without-digits": "{a: .e3}",
}

# Text the compiled parser refuses: json5 reads it again, its errors are the ones raised.
REFUSED = {"broken": "{broken", "huge-exponent": "{a: 1e400}", "leading-zero": "{a: 08}", "nul": "[\x00]",
           "bad-escape": "{a: '\\8'}"}


@pytest.mark.parametrize("text", [shipped(), *TAKEN.values()], ids=["shipped", *TAKEN])
def test_compiled_parser_gives_json5s_content(json5_calls, text):
    got = loaded(text)
    assert json5_calls == []
    assert got == expected(text)


@pytest.mark.parametrize("text", [*READ_OTHERWISE.values(), *REFUSED.values()], ids=[*READ_OTHERWISE, *REFUSED])
def test_text_read_otherwise_or_refused_goes_to_json5(json5_calls, text):
    got = loaded(text)
    assert json5_calls == [text]
    assert got == expected(text)


@pytest.mark.parametrize("where", ["module", "loads"])
def test_a_substituted_json5_is_called(monkeypatch, where):
    seen = []

    def loads(text):
        seen.append(text)
        return {"C01": "x"}

    if where == "module":
        monkeypatch.setattr(recommend, "json5", types.SimpleNamespace(loads=loads))
    else:
        monkeypatch.setattr(json5, "loads", loads)
    db = Paramsdb()
    assert db.loaddb("{C01: 'y'}") is True
    assert (seen, db.dataset) == (["{C01: 'y'}"], {"C01": "x"})


class Text(str):
    pass


def test_a_str_subclass_goes_to_json5(json5_calls):
    text = Text("{C01: 'y'}")
    assert Paramsdb().loaddb(text) is True
    assert json5_calls == [text]


# ---------------------------------------------------------------------------------------------
# Property: generated JSON5 reads alike both ways.

NUMBERS = st.one_of(
    st.integers(-(10**30), 10**30).map(str),
    st.integers(0, 2**70).map(lambda n: f"{'-' if n % 3 == 0 else ''}0x{n:X}"),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.sampled_from(["1.", ".5", "-.5", "+1", "1e3", "1E-7", "-0", "-0.0", "Infinity", "-Infinity", "NaN", "+Infinity",
                     "1e400", "08", "0x", "1_0"]),
)
ESCAPES = ["\\n", "\\t", "\\'", '\\"', "\\\\", "\\b", "\\f", "\\v", "\\0", "\\x41", "\\u00e9", "\\ud83d\\ude00",
           "\\ud83d", "\\01", "\\q", "\\\n", "\u2028", "名", "\x7f", "é"]
STRINGS = st.lists(st.one_of(st.sampled_from(ESCAPES), st.text(alphabet="ab c/*", max_size=3)), max_size=5).map(
    lambda parts: "'" + "".join(parts).replace("'", "\\'") + "'"
)
KEYS = st.one_of(st.sampled_from(["a", "b", "$k", "_k", "C01", "名", "a1"]), STRINGS)
SPACE = st.sampled_from(["", " ", "\n", " // note\n", "/* note */", "\u00a0"])


def json5_texts():
    scalars = st.one_of(NUMBERS, STRINGS, st.sampled_from(["true", "false", "null"]))

    def containers(children):
        items = st.lists(st.tuples(SPACE, children), max_size=4)
        lists = st.tuples(items, st.booleans()).map(
            lambda t: "[" + ",".join(space + child for space, child in t[0]) + ("," if t[1] and t[0] else "") + "]")
        objects = st.tuples(st.lists(st.tuples(KEYS, SPACE, children), max_size=4), st.booleans()).map(
            lambda t: "{" + ",".join(f"{key}:{space}{child}" for key, space, child in t[0])
            + ("," if t[1] and t[0] else "") + "}")
        return st.one_of(lists, objects)

    return st.recursive(scalars, containers, max_leaves=20)


@settings(max_examples=int(os.environ.get("KNOBSMITH_JSON5_EXAMPLES", "400")), deadline=None)
@given(text=json5_texts())
def test_generated_json5_reads_alike_both_ways(text):
    assert loaded(text) == expected(text)

"""The YAML loader of the configuration reader, with bounds a hostile file cannot pass.

A few hundred bytes of anchors and aliases can stand for billions of values, and a value can be
nested deeper than the parser's own recursion allows. `bounded_loader` is the full loader the
reader has always used, with two guards while it composes the node graph: it stops at a nesting of
`MAX_DEPTH` levels, and refuses a document whose graph reaches more than `MAX_NODES` nodes (an
alias counting again every node under its anchor), before a single value is constructed. Normal files get
the same loader, the same constructors and the same values.

`libyaml_bounded_loader` is the same loader reading its events from libyaml where PyYAML was built
with it (None otherwise): the pure-Python scanner and parser are three quarters of the cost of a large
file. It composes with the same bounded code, so the bounds hold alike; only the messages of a file
that is not YAML may be worded differently, and the reader takes those from `bounded_loader`.
"""

from __future__ import annotations

import re
from typing import Any

import yaml

MAX_NODES = 1_000_000
MAX_DEPTH = 100
# Characters of a path a message shows before it says "...", as the validator shows values.
SHOWN_LENGTH = 200


class ExpansionError(yaml.YAMLError):
    """The document's aliases expand to more than MAX_NODES nodes."""


class ReadOtherwise(yaml.YAMLError):
    """The text holds something libyaml reads otherwise than the pure-Python parser."""


# A "!" that ends where it starts, and a comment right after a block scalar's indicator.
_BARE_TAG = re.compile(r"!(?=[\s,\]}]|\Z)")
_COMMENTED_HEADER = re.compile(r"[|>][-+0-9]*#")
# A "?" before a blank or a flow indicator: libyaml takes "1? " in a flow collection as a plain
# scalar, the pure parser refuses it.
_QUESTION_MARK = re.compile(r"\?(?=[\s,\]}:]|\Z)")


def _read_otherwise(text: str) -> bool:
    """Whether `text` holds what libyaml reads otherwise than the pure-Python parser.

    A tab (libyaml lets it pass where the pure parser refuses it), a byte order mark past the
    start (skipped by libyaml, a character to the pure parser), the bare non-specific tag "!" (an
    empty value so tagged is "" to libyaml, None to the pure parser), a comment right after a
    block scalar's indicator (refused by the pure parser), a "?" before a blank or a flow
    indicator (the key indicator, or the end of a plain scalar in a flow collection, which libyaml
    accepts where the pure parser does not). Plain searches first: a regular
    expression tried at every place of a large file would cost a twentieth of its reading.
    """
    if "\t" in text or text.find("\ufeff", 1) >= 0 or _COMMENTED_HEADER.search(text):
        return True
    if "?" in text and _QUESTION_MARK.search(text):
        return True
    for tag in _BARE_TAG.finditer(text):
        start = tag.start()
        if start == 0 or text[start - 1].isspace() or text[start - 1] in "[{,":
            return True
    return False


class NestingError(yaml.YAMLError):
    """A value of the document is nested deeper than MAX_DEPTH levels; str() is the error line."""


def nesting_message(path: str) -> str:
    """The line the validator writes for a value nested too deep, `path` naming where."""
    if len(path) > SHOWN_LENGTH:
        path = path[:SHOWN_LENGTH] + "..."
    return f"{path}嵌套超过{MAX_DEPTH}层"


def bounded_loader(stream: Any) -> yaml.FullLoader:
    """A FullLoader of `stream` whose composing keeps within the bounds."""
    loader = yaml.FullLoader(stream)
    _bounded(loader)
    return loader


if hasattr(yaml, "CFullLoader"):

    class _LibyamlFullLoader(yaml.CFullLoader, yaml.composer.Composer):
        """The full loader over libyaml's events, composed by the pure-Python composer.

        libyaml's own composer recurses in C without a limit (a few hundred thousand brackets
        overflow the stack) and cannot be bounded; its events can.
        """

        def __init__(self, stream: Any) -> None:
            yaml.CFullLoader.__init__(self, stream)
            yaml.composer.Composer.__init__(self)

        check_node = yaml.composer.Composer.check_node
        get_node = yaml.composer.Composer.get_node
        get_single_node = yaml.composer.Composer.get_single_node

    def _libyaml_bounded_loader(stream: Any) -> Any:
        """The bounded full loader of `stream`, its events read by libyaml.

        Raises ReadOtherwise, before reading anything, for a text holding what the two parsers
        read differently.
        """
        if not isinstance(stream, str) or _read_otherwise(stream):
            raise ReadOtherwise("libyaml would not read this text as the pure-Python parser does")
        loader = _LibyamlFullLoader(stream)
        _bounded(loader)
        return loader

    libyaml_bounded_loader: Any = _libyaml_bounded_loader
else:  # pragma: no cover - PyYAML built without libyaml
    libyaml_bounded_loader = None


def _bounded(loader: Any) -> None:
    """Keeps `loader`'s composing within the bounds."""
    compose_node = loader.compose_node
    # (parent, index) of every collection being composed around the current node.
    path: list[tuple[yaml.Node, Any]] = []
    # Nodes reached from each composed collection, every alias walked again: worked out once per
    # node as it is composed and reused wherever an alias names it, so the time is that of the
    # file, not of its expansion. A scalar counts one; so does a collection named by an alias
    # inside its own value (a recursive anchor).
    reached: dict[int, int] = {}
    count = reached.get

    def bounded_compose_node(parent: yaml.Node | None, index: Any) -> yaml.Node:
        if parent is None:
            node: yaml.Node = compose_node(parent, index)
        else:
            path.append((parent, index))
            try:
                # Both kinds named: libyaml's check_event compares classes, not isinstance.
                if len(path) >= MAX_DEPTH and loader.check_event(yaml.SequenceStartEvent, yaml.MappingStartEvent):
                    raise NestingError(nesting_message(_path_text(path)))
                node = compose_node(parent, index)
            finally:
                path.pop()
        if isinstance(node, yaml.ScalarNode) or id(node) in reached:
            return node
        if isinstance(node, yaml.SequenceNode):
            total = 1 + sum(count(id(child), 1) for child in node.value)
        else:
            total = 1 + sum(count(id(key), 1) + count(id(value), 1) for key, value in node.value)
        if total > MAX_NODES:
            raise ExpansionError(f"the document's aliases expand past {MAX_NODES} nodes")
        reached[id(node)] = total
        return node

    loader.compose_node = bounded_compose_node


def _path_text(path: list[tuple[yaml.Node, Any]]) -> str:
    """The path of the node being composed: `a.b[0]`, as the validator writes it."""
    steps = []
    for parent, index in path:
        if isinstance(parent, yaml.SequenceNode):
            steps.append(f"[{index}]")
        elif isinstance(index, yaml.ScalarNode):
            steps.append(index.value if not steps else f".{index.value}")
        else:
            steps.append("[?]")  # a key being composed, or a key that is itself a collection
    return "".join(steps)

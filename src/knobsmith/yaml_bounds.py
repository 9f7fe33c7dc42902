"""The YAML loader of the configuration reader, with bounds a hostile file cannot pass.

A few hundred bytes of anchors and aliases can stand for billions of values, and a value can be
nested deeper than the parser's own recursion allows. `bounded_loader` is the full loader the
reader has always used, with two guards while it composes the node graph: it stops at a nesting of
`MAX_DEPTH` levels, and refuses a document whose graph reaches more than `MAX_NODES` nodes (an
alias counting again every node under its anchor), before a single value is constructed. Normal files get
the same loader, the same constructors and the same values.
"""

from __future__ import annotations

from typing import Any

import yaml

MAX_NODES = 1_000_000
MAX_DEPTH = 100
# Characters of a path a message shows before it says "...", as the validator shows values.
SHOWN_LENGTH = 200


class ExpansionError(yaml.YAMLError):
    """The document's aliases expand to more than MAX_NODES nodes."""


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
            node = compose_node(parent, index)
        else:
            path.append((parent, index))
            try:
                if len(path) >= MAX_DEPTH and loader.check_event(yaml.CollectionStartEvent):
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

    loader.compose_node = bounded_compose_node  # type: ignore[method-assign]
    return loader


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

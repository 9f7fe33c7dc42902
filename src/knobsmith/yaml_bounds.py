"""The YAML loader of the configuration reader, with bounds a hostile file cannot pass.

A few hundred bytes of anchors and aliases can stand for billions of values, and a value can be
nested deeper than the parser's own recursion allows. `bounded_loader` is the full loader the
reader has always used, with two guards: composing stops at a nesting of `MAX_DEPTH` levels, and
a document whose node graph reaches more than `MAX_NODES` nodes (an alias counting once more for
every node under its anchor) is refused before a single value is constructed. Normal files get
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
    """A FullLoader of `stream` whose composing and constructing keep within the bounds."""
    loader = yaml.FullLoader(stream)
    compose_node = loader.compose_node
    construct_document = loader.construct_document
    path: list[str] = []

    def bounded_compose_node(parent: yaml.Node | None, index: Any) -> yaml.Node:
        if parent is None:
            return compose_node(parent, index)
        path.append(_step(parent, index, not path))
        try:
            if len(path) >= MAX_DEPTH and loader.check_event(yaml.CollectionStartEvent):
                raise NestingError(nesting_message("".join(path)))
            return compose_node(parent, index)
        finally:
            path.pop()

    def bounded_construct_document(node: yaml.Node) -> Any:
        if nodes_reached(node) > MAX_NODES:
            raise ExpansionError(f"the document's aliases expand past {MAX_NODES} nodes")
        return construct_document(node)

    loader.compose_node = bounded_compose_node  # type: ignore[method-assign]
    loader.construct_document = bounded_construct_document  # type: ignore[method-assign]
    return loader


def nodes_reached(root: yaml.Node, bound: int = MAX_NODES) -> int:
    """Nodes met walking the graph from `root`, every alias walked again; stops once past `bound`.

    Each node is counted once and the count reused wherever an alias names it, so the time is
    that of the file, not of its expansion. A node met again while its own children are being
    counted (a recursive anchor) counts as one.
    """
    counts: dict[int, int] = {}
    opened: set[int] = set()
    stack: list[tuple[yaml.Node, bool]] = [(root, False)]
    while stack:
        node, children_done = stack.pop()
        key = id(node)
        if children_done:
            total = 1 + sum(counts.get(id(child), 1) for child in _children(node))
            counts[key] = total
            if total > bound:
                return total
            continue
        if key in opened:
            continue
        opened.add(key)
        stack.append((node, True))
        stack.extend((child, False) for child in _children(node) if id(child) not in opened)
    return counts[id(root)]


def _children(node: yaml.Node) -> list[yaml.Node]:
    if isinstance(node, yaml.SequenceNode):
        return node.value
    if isinstance(node, yaml.MappingNode):
        return [part for pair in node.value for part in pair]
    return []


def _step(parent: yaml.Node, index: Any, first: bool) -> str:
    """The piece of a value's path that leads from `parent` to its child at `index`."""
    if isinstance(parent, yaml.SequenceNode):
        return f"[{index}]"
    if isinstance(index, yaml.ScalarNode):
        return index.value if first else f".{index.value}"
    return "[?]"  # a key being composed, or a key that is itself a collection

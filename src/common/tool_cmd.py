"""Small helpers around the tuning run's inputs."""

from __future__ import annotations

import hashlib
import os


def _safe_char(char: str) -> str:
    return char if char.isalnum() or char in "._-" else "_"


def _base_name(path: str | os.PathLike[str]) -> str:
    text = os.fspath(path)
    if text.endswith("/") or os.path.isdir(text):
        return os.path.basename(text.rstrip("/"))
    return os.path.splitext(os.path.basename(text))[0]


def plain_projectname(path: str | os.PathLike[str]) -> str:
    """The project name without the hash that keeps altered names apart: the name knobsmith gave
    every project before, under which earlier runs may have kept their files."""
    return "".join(_safe_char(char) for char in _base_name(path)) or "default"


class ToolCmd:
    def parse_projectname(self, path: str | os.PathLike[str]) -> str:
        """The project name of a configuration file: its base name without the extension.

        A directory gives its own name. The name goes into file names, so every character other
        than a letter, a digit, ".", "_" and "-" becomes "_"; nothing left gives "default". A
        name that had to be altered ends in "-" and eight hex digits of a hash of the original,
        so that "a b;c.yaml" and "a_b_c.yaml" do not share a backup file.
        """
        name = _base_name(path)
        plain = plain_projectname(path)
        if name and plain != name:
            digest = hashlib.sha256(name.encode("utf-8", "surrogateescape")).hexdigest()
            return f"{plain}-{digest[:8]}"
        return plain

"""Small helpers around the tuning run's inputs."""

from __future__ import annotations

import os


def _safe_char(char: str) -> str:
    return char if char.isalnum() or char in "._-" else "_"


class ToolCmd:
    def parse_projectname(self, path: str | os.PathLike[str]) -> str:
        """The project name of a configuration file: its base name without the extension.

        A directory gives its own name. The name goes into file names, so every character other
        than a letter, a digit, ".", "_" and "-" becomes "_"; nothing left gives "default".
        """
        text = os.fspath(path)
        if text.endswith("/") or os.path.isdir(text):
            name = os.path.basename(text.rstrip("/"))
        else:
            name = os.path.splitext(os.path.basename(text))[0]
        name = "".join(_safe_char(char) for char in name)
        return name or "default"

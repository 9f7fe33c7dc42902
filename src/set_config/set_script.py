"""Reading the stored parameter database."""

from __future__ import annotations

import os


class SetScript:
    def de_file(self, path: str | os.PathLike[str]) -> str:
        """The database's text (UTF-8 JSON5)."""
        with open(path, encoding="utf-8") as stream:
            return stream.read()

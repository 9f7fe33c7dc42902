"""Where knobsmith is installed and where it writes its output."""

from __future__ import annotations

import importlib
import os

OUTPUT_DIR_VARIABLE = "KNOBSMITH_OUTPUT_DIR"


class Config:
    def get_inst_path(self) -> str:
        """The folder that holds the installed knobsmith package."""
        package = importlib.import_module("knobsmith")
        return os.path.dirname(os.path.dirname(os.path.abspath(str(package.__file__))))

    def get_output_path(self) -> str:
        """The output folder: $KNOBSMITH_OUTPUT_DIR or the current one, always ending with "/"."""
        path = os.environ.get(OUTPUT_DIR_VARIABLE) or os.getcwd()
        return path if path.endswith("/") else path + "/"

"""`knobsmith recommend cpu` end to end, as a command and in-process, with each JSON5 parser.

Prints, best (median) of several rounds in one run: the command run as a subprocess, next to the
interpreter's own start-up and `knobsmith --version` (in interleaved rounds, the modules' bytecode
cached as an installed package has it), then Recomd().manager("cpu") and Paramsdb.loaddb of the
shipped database in-process, each as it runs (the compiled JSON5 parser) and with the module's
json5 substituted by a plain wrapper of json5.loads, the pure-Python parser the database was
always read with.
Usage: python benchmarks/bench_recommend.py
"""

from __future__ import annotations

import logging
import os
import subprocess
import sys
import tempfile
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import json5  # noqa: E402

import knobsmith.recommend as recommend  # noqa: E402
from common.config import Config  # noqa: E402
from knobsmith.recommend import Paramsdb, Recomd  # noqa: E402
from timing import best_of, interleaved, print_table  # noqa: E402

ROUNDS = 7
# The command line with the json5 module of the recommend module substituted, as a host may.
WITH_JSON5 = (
    "import sys, types, json5, knobsmith.recommend as r\n"
    "r.json5 = types.SimpleNamespace(loads=json5.loads)\n"
    "from knobsmith.cli import main\n"
    "sys.exit(main(sys.argv[1:]))\n"
)


class PureJson5:
    """Substitutes the module's json5 for the duration of a block."""

    def __enter__(self) -> None:
        self.installed = recommend.json5
        recommend.json5 = types.SimpleNamespace(loads=json5.loads)

    def __exit__(self, *exc: object) -> None:
        recommend.json5 = self.installed


def run_command(folder: str, pure: bool) -> None:
    start = [sys.executable, "-c", WITH_JSON5] if pure else [sys.executable, "-m", "knobsmith"]
    subprocess.run([*start, "recommend", "cpu", "--output", folder], check=True, capture_output=True)


def in_process(folder: str, pure: bool) -> bool:
    if pure:
        with PureJson5():
            return Recomd().manager("cpu")
    return Recomd().manager("cpu")


def main() -> None:
    logging.getLogger("knobsmith").setLevel(logging.WARNING)  # the manager logs where it wrote the file
    with open(Config().get_inst_path() + "/knobsmith/paramsdb.json5.extu", encoding="utf-8") as stream:
        database = stream.read()
    with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryDirectory() as bytecode:
        os.environ["KNOBSMITH_OUTPUT_DIR"] = folder
        # Compiled once, then read, as an installed package's modules are.
        os.environ.pop("PYTHONDONTWRITEBYTECODE", None)
        os.environ["PYTHONPYCACHEPREFIX"] = bytecode
        run_command(folder, False)
        written = open(os.path.join(folder, "config.yaml"), encoding="utf-8").read()
        run_command(folder, True)
        assert open(os.path.join(folder, "config.yaml"), encoding="utf-8").read() == written
        command = interleaved({
            "interpreter start-up": lambda: subprocess.run([sys.executable, "-c", "pass"], check=True),
            "knobsmith --version": lambda: subprocess.run([sys.executable, "-m", "knobsmith", "--version"],
                                                          check=True, capture_output=True),
            "recommend cpu (command)": lambda: run_command(folder, False),
            "recommend cpu, json5 (command)": lambda: run_command(folder, True),
        }, ROUNDS)
        assert in_process(folder, False) and in_process(folder, True)
        manager = {
            "Recomd().manager": best_of(lambda: in_process(folder, False), ROUNDS),
            "Recomd().manager, json5": best_of(lambda: in_process(folder, True), ROUNDS),
        }

    def load(pure: bool) -> bool:
        if pure:
            with PureJson5():
                return Paramsdb().loaddb(database)
        return Paramsdb().loaddb(database)

    loading = {
        "Paramsdb.loaddb": best_of(lambda: load(False), ROUNDS),
        "Paramsdb.loaddb, json5": best_of(lambda: load(True), ROUNDS),
    }
    print_table(f"knobsmith recommend cpu as a subprocess, best of {ROUNDS} interleaved rounds:", command,
                "recommend cpu, json5 (command)")
    start_up = command["interpreter start-up"][0]
    print(f"  recommend cpu beyond the interpreter's start-up: "
          f"+{(command['recommend cpu (command)'][0] - start_up) * 1000:.0f} ms; "
          f"--version: {command['knobsmith --version'][0] * 1000:.0f} ms")
    print_table(f"in-process, best of {ROUNDS}:", manager, "Recomd().manager, json5")
    print_table(f"the shipped database ({len(database) // 1024} KB), best of {ROUNDS}:", loading,
                "Paramsdb.loaddb, json5")


if __name__ == "__main__":
    main()

"""Vetplan().is_valid on a valid 10,000-object configuration, next to plain Python.

Prints the best (median) of several rounds of the compiled validator and of a plain-Python
rendering of the same checks, and their ratio. Usage: python benchmarks/bench_vetplan.py
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from knobsmith.vetplan import Vetplan  # noqa: E402
from make_configs import configuration  # noqa: E402
from plain_python import PlainVetplan  # noqa: E402
from timing import best_of, print_table  # noqa: E402

OBJECTS = 10_000
ROUNDS = 7


def main() -> None:
    config = configuration(OBJECTS)
    assert Vetplan().is_valid(config) and PlainVetplan().is_valid(config)
    figures = {
        "Vetplan().is_valid": best_of(lambda: Vetplan().is_valid(config), ROUNDS),
        "plain Python is_valid": best_of(lambda: PlainVetplan().is_valid(config), ROUNDS),
    }
    print_table(f"is_valid of {OBJECTS} objects, best of {ROUNDS}:", figures, "plain Python is_valid")


if __name__ == "__main__":
    main()

"""Reads the sanitizer logs of a test run and decides: any finding in knobsmith's code fails it.

A finding is an AddressSanitizer error, an UndefinedBehaviorSanitizer report, or a leak whose
allocation stack passes through knobsmith's modules. Leaks of the interpreter and of other
extensions (their stacks stay inside them) are counted and shown as a figure, not as findings.
A leak check that broke down also fails the run: its process ended with the exit code the
sanitizer options give leaks (0), not its own, so the tests that looked at it proved nothing.
Usage: python verdict.py LOG_FOLDER
"""

from __future__ import annotations

import pathlib
import re
import sys

OURS = re.compile(r"/knobsmith/\w+\.cpython|/cpp/(core|glue|modules)/|knobsmith::")
BROKEN = "LeakSanitizer has encountered a fatal error"
LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte", re.MULTILINE)


def leak_blocks(text: str) -> list[str]:
    starts = [match.start() for match in LEAK.finditer(text)] + [len(text)]
    return [text[start:end] for start, end in zip(starts, starts[1:])]


def main(folder: str) -> int:
    findings: list[str] = []
    broken: list[str] = []
    foreign_leaks = foreign_bytes = 0
    logs = sorted(pathlib.Path(folder).glob("*"))
    for log in logs:
        text = log.read_text(errors="replace")
        if BROKEN in text:
            broken.append(f"{log.name}:\n{text}")
            continue
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            findings.append(f"{log.name}:\n{text}")
            continue
        for block in leak_blocks(text):
            if OURS.search(block):
                findings.append(f"{log.name}:\n{block}")
            else:
                foreign_leaks += 1
                foreign_bytes += int(LEAK.match(block).group(2))
    for finding in findings + broken:
        print(finding)
    print(f"sanitizer logs: {len(logs)}; findings in knobsmith: {len(findings)}; "
          f"leaks outside knobsmith (interpreter, other extensions): {foreign_leaks} ({foreign_bytes} bytes)"
          + (f"; leak checks that broke down: {len(broken)}" if broken else ""))
    return 1 if findings or broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

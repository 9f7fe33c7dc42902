"""Loaded by every Python process of a sanitized test run (through PYTHONPATH).

The extension modules are built with AddressSanitizer, whose runtime must be loaded before
anything else, and with it the C++ runtime (ASan finds the real __cxa_throw only in a library
loaded at start). KNOBSMITH_ASAN_PRELOAD lists both, the ASan runtime first. A Python process started without it re-executes itself with the runtime preloaded;
once it runs, the preload is taken out of the environment again, so that the shells and tools it
starts stay as they are (their exit status and error output are part of what the tests check).
Python processes further down (the command line under test) come back here and do the same.
"""

import os
import sys

_PRELOAD = os.environ.get("KNOBSMITH_ASAN_PRELOAD", "")
_RUNTIME = _PRELOAD.split()[0] if _PRELOAD.split() else ""


def _runtime_loaded(runtime: str) -> bool:
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        return any(line.rstrip().endswith(runtime) for line in maps)


if _RUNTIME:
    if not _runtime_loaded(_RUNTIME):
        os.execve(sys.executable, sys.orig_argv, dict(os.environ, LD_PRELOAD=_PRELOAD))
    os.environ.pop("LD_PRELOAD", None)
